// Cabinet files: the header states the cabinet's size; its other fields (version 1.3, a folder
// and a file, the file entries inside) check that it is one. InstallShield cabinets leave the
// size to the estimate.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
class ParseCabFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, 36, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return Unread(got);
        ByteSpan h(buffer + at, 36);
        if (!BytesEqual(h, 0, "MSCF", 4)) return Estimate();
        const uint32_t cabinet = LoadLE32(h, 8), files = LoadLE32(h, 16);
        if (h[24] != 3 || h[25] != 1 || LoadLE16(h, 26) == 0 || LoadLE16(h, 28) == 0 || LoadLE16(h, 30) > 7 ||
            cabinet < 36 || cabinet > kMaxCarvedBytes || files < 36 || files >= cabinet)
            return Estimate();
        size = cabinet;
        return kParseComplete;
    }
};

IParseFile* NewCabParser() { return new ParseCabFile(); }

}  // namespace ravlin
