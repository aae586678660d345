// 7-Zip files: the start header (its CRC checked) gives the offset and size of the next header,
// which ends the archive; the next header's own CRC is checked when it is small enough to read.
#include <zlib.h>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kStartHeader = 32;
constexpr uint64_t kMaxCheckedHeader = 16 << 20;

}  // namespace

class Parse7zFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        if (size == 0) {
            uint32_t got = LocateFileBytes(startSector, 0, kStartHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan h(buffer + at, kStartHeader);
            if (crc32(0, h.data() + 12, 20) != LoadLE32(h, 8)) return Estimate();
            const uint64_t nextOffset = LoadLE64(h, 12), nextSize = LoadLE64(h, 20);
            if (nextOffset > kMaxCarvedBytes || nextSize > kMaxCarvedBytes || kStartHeader + nextOffset + nextSize > kMaxCarvedBytes)
                return Estimate();
            offset = kStartHeader + nextOffset;
            headerBytes_ = nextSize;
            headerCrc_ = LoadLE32(h, 28);
            size = offset + nextSize;
        }
        if (headerBytes_ == 0 || headerBytes_ > kMaxCheckedHeader) return kParseComplete;
        uint32_t got = LocateFileBytes(startSector, offset, static_cast<uint32_t>(headerBytes_), bufferFirstSector,
                                       bufferBytes, at, *this);
        if (got != kParseDataOk) return Unread(got);
        if (crc32(0, buffer + at, static_cast<uInt>(headerBytes_)) != headerCrc_) return Estimate();
        return kParseComplete;
    }

private:
    uint64_t headerBytes_ = 0;
    uint32_t headerCrc_ = 0;
};

IParseFile* New7zParser() { return new Parse7zFile(); }

}  // namespace ravlin
