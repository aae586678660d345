// QuickTime and MP4: the top-level atoms walked from the file start, each header read where the
// cursor stands; a movie needs its moov and its mdat.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kAtomHeader = 16;
constexpr uint64_t kMaxAtom = uint64_t{1} << 44;  // larger sizes lie past any disk

bool AtomTypeChar(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The hit's type by the ftyp's major brand.
uint32_t TypeOfBrand(ByteSpan brand) {
    if (BytesEqual(brand, 0, "M4A ", 4)) return 69;
    if (BytesEqual(brand, 0, "3gp", 3)) return 68;
    if (BytesEqual(brand, 0, "M4V ", 4)) return 71;
    if (BytesEqual(brand, 0, "isom", 4) || BytesEqual(brand, 0, "mmp4", 4)) return 72;
    return 67;
}

}  // namespace

class ParseMovFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kAtomHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            ByteSpan h(buffer + at, kAtomHeader);
            uint64_t atomSize = LoadBE32(h, 0);
            uint64_t header = 8;
            if (atomSize == 1) {
                atomSize = uint64_t{LoadBE32(h, 8)} << 32 | LoadBE32(h, 12);
                header = 16;
            }
            // A size of 0 runs to the end of the file, which the walk cannot know; a size
            // smaller than its own header or past any disk is no atom.
            if (atomSize < header || atomSize > kMaxAtom) break;
            if (!(AtomTypeChar(h[4]) && AtomTypeChar(h[5]) && AtomTypeChar(h[6]) && AtomTypeChar(h[7]))) break;
            if (BytesEqual(h, 4, "moov", 4)) {
                if (moov_ > 0) break;
                ++moov_;
            } else if (BytesEqual(h, 4, "mdat", 4)) {
                if (mdat_ > 0) {
                    if (moov_ == 0) return kParseInvalid;
                    size = offset;
                    return kParseComplete;
                }
                ++mdat_;
            } else if (BytesEqual(h, 4, "ftyp", 4)) {
                typeId = TypeOfBrand(h.subspan(8));
            }
            offset += atomSize;
        }
        return Finish();
    }

private:
    uint32_t Finish() {
        if (moov_ == 0 || mdat_ == 0) return kParseInvalid;
        size = offset;
        return kParseComplete;
    }

    uint8_t moov_ = 0;
    uint8_t mdat_ = 0;
};

IParseFile* NewMovParser() { return new ParseMovFile(); }

}  // namespace ravlin
