// Fujifilm raw files: the header's offsets and lengths of the embedded JPEG preview, the CFA
// header and the CFA data; the file ends where the last of them ends. The preview must start
// with a JPEG marker where the header puts it.
#include <algorithm>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kHeader = 0x6C;                       // through the CFA's length

}  // namespace

class ParseRafFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        if (preview_ == 0) {
            uint32_t got = LocateFileBytes(startSector, 0, kHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan h(buffer + at, kHeader);
            uint64_t end = 0;
            for (size_t field = 0x54; field < kHeader; field += 8) {
                const uint64_t start = LoadBE32(h, field), length = LoadBE32(h, field + 4);
                if (length == 0) continue;
                if (start < kHeader) return Estimate();
                end = std::max(end, start + length);
            }
            preview_ = LoadBE32(h, 0x54);
            if (preview_ < kHeader || LoadBE32(h, 0x58) < 4 || end > kMaxCarvedBytes) return Estimate();
            size = end;
        }
        uint32_t got = LocateFileBytes(startSector, preview_, 3, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return Unread(got);
        if (buffer[at] != 0xFF || buffer[at + 1] != 0xD8 || buffer[at + 2] != 0xFF) return Estimate();
        return kParseComplete;
    }

private:
    uint64_t preview_ = 0;  // where the JPEG preview starts
};

IParseFile* NewRafParser() { return new ParseRafFile(); }

}  // namespace ravlin
