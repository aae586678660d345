// DWG: drawings of AutoCAD R13 to 2000 are measured by their section locator; other versions
// are left to the carving loop's estimate (size 0).
#include <algorithm>
#include <cstring>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kHeaderRead = 0x10000;
constexpr uint32_t kMaxSeeker = 65520;  // the sentinel's 16 bytes lie in the first 64 KiB
constexpr uint32_t kMaxSections = 100;
constexpr uint32_t kLocatorAt = 25;
constexpr uint32_t kLocatorRecord = 9;

const uint8_t kImageSentinel[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                                    0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};

// The end of the last section the locator names, 0 when the header does not hold together.
uint64_t LocatedSize(ByteSpan h) {
    bool measured = false;
    for (const char* version : {"AC1015", "AC1014", "AC1013", "AC1012"})
        measured = measured || (BytesEqual(h, 0, version, 6) && h[6] == 0 && h[7] == 0);
    if (!measured) return 0;
    uint32_t seeker = LoadLE32(h, 13);
    uint32_t sections = LoadLE32(h, 21);
    if (seeker < 1 || seeker > kMaxSeeker || sections < 1 || sections > kMaxSections) return 0;
    if (std::memcmp(h.data() + seeker, kImageSentinel, sizeof kImageSentinel) != 0) return 0;
    uint64_t end = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        size_t record = kLocatorAt + i * kLocatorRecord;
        end = std::max(end, uint64_t{LoadLE32(h, record + 1)} + LoadLE32(h, record + 5));
    }
    return end <= kMaxCarvedBytes ? end : 0;
}

}  // namespace

class ParseDwgFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, kHeaderRead, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return got;
        size = LocatedSize(ByteSpan(buffer + at, kHeaderRead));
        return kParseComplete;
    }
};

IParseFile* NewDwgParser() { return new ParseDwgFile(); }

}  // namespace ravlin
