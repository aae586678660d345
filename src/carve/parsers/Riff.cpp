// RIFF containers: the size field gives the length; the form type names the format.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {

class ParseRiffFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, 32, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return got;
        ByteSpan h(buffer + at, 32);
        if (BytesEqual(h, 8, "WAVEfmt ", 8)) typeId = 53;
        else if (BytesEqual(h, 8, "AVI LIST", 8)) typeId = 73;
        else if (BytesEqual(h, 8, "ACON", 4)) typeId = 85;
        else if (BytesEqual(h, 8, "CDR", 3)) typeId = 118;
        else return kParseInvalid;
        // The size field counts what follows the 8-byte chunk header; a chunk of odd size
        // carries a pad byte.
        uint64_t length = LoadLE32(h, 4);
        size = 8 + length + (length & 1);
        return kParseComplete;
    }
};

IParseFile* NewRiffParser() { return new ParseRiffFile(); }

}  // namespace ravlin
