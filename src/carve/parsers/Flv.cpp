// Flash video: the header, then tags, each preceded by the size of the tag before it; the file
// ends where a tag's type or its predecessor's size stops making sense, and holds three tags at
// least.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kUnit = 16;
constexpr uint32_t kTagHeader = 11;
constexpr uint32_t kMinTags = 3;

uint32_t LoadBE24(ByteSpan b, size_t at) { return LoadBE32(b, at) >> 8; }

}  // namespace

class ParseFlvFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kUnit, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            ByteSpan h(buffer + at, kUnit);
            if (!headerRead_) {
                if (!BytesEqual(h, 0, "FLV", 3)) return kParseInvalid;
                uint32_t headerSize = LoadBE32(h, 5);
                if (headerSize < 9) return kParseInvalid;
                offset += headerSize;
                headerRead_ = 1;
                continue;
            }
            uint32_t previousSize = LoadBE32(h, 0);
            // A tag whose successor does not give its size back is not counted.
            if (tags_ >= 2 && previousSize != expected_) {
                if (tags_ - 1 < kMinTags) return kParseInvalid;
                size = offset - expected_;
                return kParseComplete;
            }
            uint8_t tagType = h[4];
            if (tagType != 8 && tagType != 9 && tagType != 18) {
                if (tags_ < kMinTags) return kParseInvalid;
                size = offset + 4;
                return kParseComplete;
            }
            uint32_t dataSize = LoadBE24(h, 5);
            ++tags_;
            expected_ = dataSize + kTagHeader;
            offset += uint64_t{dataSize} + 4 + kTagHeader;
        }
    }

private:
    uint32_t headerRead_ = 0;
    uint32_t tags_ = 0;
    uint32_t expected_ = 0;  // the size the next tag must give its predecessor
};

IParseFile* NewFlvParser() { return new ParseFlvFile(); }

}  // namespace ravlin
