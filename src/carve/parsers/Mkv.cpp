// Matroska: the EBML header, then the Segment element, whose size gives the file's.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kRead = 2048;
constexpr uint32_t kLastSegmentStart = 2017;

struct Vint {
    uint32_t length = 0;  // 0: no integer here
    uint64_t value = 0;
    bool unknown = false;  // every value bit set: the writer did not know the size
};

// An EBML variable-length integer at `at`: its length is the position of the first byte's
// highest set bit. Sizes drop the length marker, identifiers keep it.
Vint ReadVint(ByteSpan b, size_t at, bool keepMarker) {
    Vint v;
    uint8_t first = LoadU8(b, at);
    if (first == 0) return v;
    uint32_t length = 1;
    while (!(first & (0x80 >> (length - 1)))) ++length;
    if (at + length > b.size()) return v;
    uint64_t value = keepMarker ? first : first & (0xFF >> length);
    bool allOnes = value == (0xFFu >> length);
    for (uint32_t i = 1; i < length; ++i) {
        value = value << 8 | b[at + i];
        allOnes = allOnes && b[at + i] == 0xFF;
    }
    v.length = length;
    v.value = value;
    v.unknown = !keepMarker && allOnes;
    return v;
}

}  // namespace

class ParseMkvFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, kRead, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return got;
        ByteSpan h(buffer + at, kRead);
        if (LoadBE32(h, 0) != 0x1A45DFA3) return kParseInvalid;
        Vint headerSize = ReadVint(h, 4, false);
        if (headerSize.length == 0 || headerSize.unknown) return kParseInvalid;
        uint64_t segment = 4 + headerSize.length + headerSize.value;
        if (segment >= kLastSegmentStart) return kParseInvalid;
        Vint id = ReadVint(h, segment, true);
        if (id.length != 4 || id.value != 0x18538067) return kParseInvalid;
        Vint segmentSize = ReadVint(h, segment + 4, false);
        if (segmentSize.length == 0) return kParseInvalid;
        // A segment of unknown size (a live recording) is left to the carving loop's estimate.
        size = segmentSize.unknown ? 0 : segment + 4 + segmentSize.length + segmentSize.value;
        return kParseComplete;
    }
};

IParseFile* NewMkvParser() { return new ParseMkvFile(); }

}  // namespace ravlin
