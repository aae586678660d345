// BMP: the header's reserved fields, info-header size (12, 40, 108 or 124 bytes: the core,
// version 3, 4 and 5 headers) and pixel-data offset checked, the size taken from the header's
// file-size field.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {

class ParseBmpFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFirstSector(*this, bufferFirstSector, bufferBytes, at);
        if (got != kParseDataOk) return got;
        ByteSpan h(buffer + at, 512);
        uint32_t info = LoadLE32(h, 14);
        if (h[6] | h[7] | h[8] | h[9] || (info != 12 && info != 40 && info != 108 && info != 124))
            return kParseInvalid;
        const uint32_t fileSize = LoadLE32(h, 2), pixels = LoadLE32(h, 10);
        // A size that does not even cover the headers, or pixels outside it, is no bitmap.
        if (fileSize < 14 + info || pixels < 14 + info || pixels > fileSize) return kParseInvalid;
        size = fileSize;
        return kParseComplete;
    }
};

IParseFile* NewBmpParser() { return new ParseBmpFile(); }

}  // namespace ravlin
