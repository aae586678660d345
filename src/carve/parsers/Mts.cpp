// Transport streams in 192-byte packets: a hit is followed chunk by chunk while its continuity
// counters hold, and never measured; recordings come back whole from the video-fragment scan,
// which chains their scattered pieces.
#include "carve/MtsFragments.h"
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseMtsFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kTsChunkBytes, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            if (CheckTsPackets(buffer + at, kTsChunkPackets, counters_, offset == 0) != kTsChunkPackets)
                return kParseInvalid;
            offset += kTsChunkBytes;
        }
    }

private:
    FragmentRecord counters_;
};

IParseFile* NewMtsParser() { return new ParseMtsFile(); }

}  // namespace ravlin
