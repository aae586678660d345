// PNG files: walked chunk by chunk to IEND, asking for the sectors of each chunk header, the
// header chunk's CRC checked so that the walk is on a real file; a walk that cannot finish
// leaves the size to the carving loop's estimate.
#include <zlib.h>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kSignature = 8;
constexpr uint32_t kChunkHeader = 8;

bool ChunkTypeChar(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

class ParsePngFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        if (offset == 0) offset = kSignature;
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kChunkHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan h(buffer + at, kChunkHeader);
            uint32_t length = LoadBE32(h, 0);
            if (length > 0x7FFFFFFF || !ChunkTypeChar(h[4]) || !ChunkTypeChar(h[5]) || !ChunkTypeChar(h[6]) ||
                !ChunkTypeChar(h[7]))
                return Estimate();
            if (offset == kSignature) {
                // The header chunk: 13 bytes, and its CRC must hold.
                if (length != 13 || !BytesEqual(h, 4, "IHDR", 4)) return Estimate();
                got = LocateFileBytes(startSector, offset, kChunkHeader + 13 + 4, bufferFirstSector, bufferBytes, at, *this);
                if (got != kParseDataOk) return Unread(got);
                ByteSpan ihdr(buffer + at, kChunkHeader + 17);
                uint32_t crc = static_cast<uint32_t>(crc32(0, ihdr.data() + 4, 4 + 13));
                if (crc != LoadBE32(ihdr, kChunkHeader + 13)) return Estimate();
            }
            uint64_t end = offset + kChunkHeader + length + 4;
            if (end > kMaxCarvedBytes) return Estimate();
            if (BytesEqual(h, 4, "IEND", 4)) {
                size = end;
                return kParseComplete;
            }
            offset = end;
        }
    }

private:
};

IParseFile* NewPngParser() { return new ParsePngFile(); }

}  // namespace ravlin
