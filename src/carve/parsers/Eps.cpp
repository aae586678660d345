// Binary EPS: a 30-byte header giving the offset and length of the PostScript and of the WMF
// and TIFF previews; the file ends where the last of them ends.
#include <algorithm>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kHeaderBytes = 30;

}  // namespace

class ParseEpsFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, kHeaderBytes, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return got;
        if (work == 0) {
            ByteSpan h(buffer + at, kHeaderBytes);
            uint64_t end = 0;
            // PostScript, WMF and TIFF: each present section lies after the header.
            for (int section = 0; section < 3; ++section) {
                uint32_t start = LoadLE32(h, 4 + 8 * section), length = LoadLE32(h, 8 + 8 * section);
                if (section == 0 && length == 0) return kParseInvalid;
                if (length == 0) continue;
                if (start < kHeaderBytes) return kParseInvalid;
                end = std::max(end, uint64_t{start} + length);
            }
            if (end > kMaxCarvedBytes) return kParseInvalid;
            size = end;
            offset = LoadLE32(h, 4);
            work = 1;
        }
        // The PostScript section begins as PostScript does.
        got = LocateFileBytes(startSector, offset, 2, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return got;
        if (buffer[at] != '%' || buffer[at + 1] != '!') return kParseInvalid;
        return kParseComplete;
    }
};

IParseFile* NewEpsParser() { return new ParseEpsFile(); }

}  // namespace ravlin
