// BMP: the header's reserved fields and info-header size checked, the size taken from the
// header's file-size field.
#include <cstring>

#include "carve/parsers/Parsers.h"

namespace ravlin {
namespace {

constexpr uint64_t kFarAhead = 0x8000000;  // sectors

uint32_t Le32(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }

}  // namespace

class ParseBmpFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        if (startSector < bufferFirstSector) return kParseInvalid;
        uint64_t sectors = bufferBytes / 512;
        if (startSector - bufferFirstSector >= sectors) {
            if (startSector - bufferFirstSector - sectors > kFarAhead) return kParseInvalid;
            requestFirst = startSector;
            requestEnd = startSector + 1;
            return kParseNeedData;
        }
        const uint8_t* h = buffer + (startSector - bufferFirstSector) * 512;
        uint32_t info = Le32(h + 14);
        if (h[6] | h[7] | h[8] | h[9] || (info != 40 && info != 124)) return kParseInvalid;
        uint32_t fileSize = Le32(h + 2);
        // A size that does not even cover the headers is no bitmap.
        if (fileSize < 14 + info) return kParseInvalid;
        size = fileSize;
        return kParseComplete;
    }
};

IParseFile* NewBmpParser() { return new ParseBmpFile(); }

}  // namespace ravlin
