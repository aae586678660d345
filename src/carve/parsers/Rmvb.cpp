// RealMedia: chunks of a known kind, each giving its size; a file needs its DATA chunk (the index
// after it is optional, and ffmpeg writes none).
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {

class ParseRmvbFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, 8, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            ByteSpan h(buffer + at, 8);
            bool known = false;
            for (const char* id : {".RMF", "PROP", "CONT", "MDPR", "DATA", "INDX"})
                known = known || BytesEqual(h, 0, id, 4);
            uint32_t chunkSize = LoadBE32(h, 4);
            // A chunk smaller than its own header is no chunk.
            if (!known || chunkSize < 8) break;
            if (BytesEqual(h, 0, "DATA", 4)) units_ = 1;
            else if (units_ > 0) ++units_;
            offset += chunkSize;
        }
        if (units_ < 1) return kParseInvalid;
        size = offset;
        return kParseComplete;
    }

private:
    uint32_t units_ = 0;
};

IParseFile* NewRmvbParser() { return new ParseRmvbFile(); }

}  // namespace ravlin
