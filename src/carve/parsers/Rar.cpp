// RAR 1.5-4.x: the archive is walked block by block from its marker block to the end-of-archive
// block, each header read at the cursor and the data it announces stepped over.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kBaseHeader = 7;       // crc, type, flags, header size
constexpr uint16_t kHasData = 0x8000;     // a u32 data size follows the base header
constexpr uint16_t kLargeFile = 0x0100;   // file blocks: the data size has a high word at 32
constexpr uint8_t kEndOfArchive = 0x7B;
constexpr uint64_t kMaxDataSize = uint64_t{1} << 40;

}  // namespace

class ParseRarFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kBaseHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            ByteSpan h(buffer + at, kBaseHeader);
            uint8_t type = h[2];
            uint16_t flags = LoadLE16(h, 3);
            uint16_t headerSize = LoadLE16(h, 5);
            // The block types of RAR 1.5 to 4: marker, archive, file, the old comment,
            // authenticity, sub-block and recovery blocks, the new sub-block, the end.
            if (type < 0x72 || type > kEndOfArchive || headerSize < kBaseHeader) return kParseInvalid;
            if (type == kEndOfArchive) {
                size = offset + headerSize;
                return kParseComplete;
            }
            uint64_t step = headerSize;
            if (flags & kHasData) {
                bool large = (type == 0x74 || type == 0x7A) && (flags & kLargeFile) && headerSize >= 36;
                uint32_t need = large ? 36 : 11;
                if (headerSize < need) return kParseInvalid;
                got = LocateFileBytes(startSector, offset, need, bufferFirstSector, bufferBytes, at, *this);
                if (got != kParseDataOk) return got;
                ByteSpan full(buffer + at, need);
                uint64_t data = LoadLE32(full, 7);
                if (large) data |= uint64_t{LoadLE32(full, 32)} << 32;
                if (data > kMaxDataSize) return kParseInvalid;
                step += data;
            }
            offset += step;
        }
    }
};

IParseFile* NewRarParser() { return new ParseRarFile(); }

}  // namespace ravlin
