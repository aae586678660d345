// BMP: the header's reserved fields and info-header size checked, the size taken from the
// header's file-size field.
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
        if (h[6] | h[7] | h[8] | h[9] || (info != 40 && info != 124)) return kParseInvalid;
        uint32_t fileSize = LoadLE32(h, 2);
        // A size that does not even cover the headers is no bitmap.
        if (fileSize < 14 + info) return kParseInvalid;
        size = fileSize;
        return kParseComplete;
    }
};

IParseFile* NewBmpParser() { return new ParseBmpFile(); }

}  // namespace ravlin
