// MIDI files: the header chunk, then chunks by their lengths until the header's track count of
// MTrk chunks has been passed.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {


bool TypeChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' '; }

}  // namespace

class ParseMidFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        if (tracks_ == 0) {
            uint32_t got = LocateFileBytes(startSector, 0, 14, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan h(buffer + at, 14);
            const uint32_t length = LoadBE32(h, 4), format = LoadBE16(h, 8);
            tracks_ = LoadBE16(h, 10);
            if (length < 6 || length > 64 || format > 2 || tracks_ == 0 || (format == 0 && tracks_ != 1))
                return Estimate();
            offset = 8 + length;
        }
        while (seen_ < tracks_) {
            uint32_t got = LocateFileBytes(startSector, offset, 8, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan c(buffer + at, 8);
            if (!TypeChar(c[0]) || !TypeChar(c[1]) || !TypeChar(c[2]) || !TypeChar(c[3])) return Estimate();
            if (BytesEqual(c, 0, "MTrk", 4)) ++seen_;
            offset += 8 + uint64_t{LoadBE32(c, 4)};
            if (offset > kMaxCarvedBytes) return Estimate();
        }
        size = offset;
        return kParseComplete;
    }

private:
    uint32_t tracks_ = 0;  // MTrk chunks the header announces
    uint32_t seen_ = 0;
};

IParseFile* NewMidParser() { return new ParseMidFile(); }

}  // namespace ravlin
