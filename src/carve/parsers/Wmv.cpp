// ASF (WMV, WMA in its container): top-level objects named by their GUIDs, each giving its size.
#include <cstring>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kUnit = 512;
constexpr uint64_t kMaxObject = uint64_t{1} << 44;

// The GUIDs as text, in the order the objects are usually met.
constexpr const char* kGuids[] = {
    "B7DC0791-A9B7-11CF-8EE6-00C00C205365", "75B22636-668E-11CF-A6D9-00AA0062CE6C",
    "8CABDCA1-A947-11CF-8EE4-00C00C205365", "75B22630-668E-11CF-A6D9-00AA0062CE6C",
    "20FB5700-5B55-11CF-A8FD-00805F5C442B", "75B22633-668E-11CF-A6D9-00AA0062CE6C",
    "86D15240-311D-11D0-A3A4-00A0C90348F6", "86D15241-311D-11D0-A3A4-00A0C90348F6",
    "33000890-E5B1-11CF-89F4-00A0C90349CB", "D6E229D3-35DA-11D1-9034-00A0C90349BE",
    "5FBF03B5-A92E-11CF-8EE3-00C00C205365", "ABD3D211-A9BA-11CF-8EE6-00C00C205365",
    "1806D474-CADF-4509-A4BA-9AABCB96AAE8", "7BF875CE-468D-11D1-8D82-006097C9A2B2",
    "D2D0A440-E307-11D2-97F0-00A0C95EA850", "D6E229DC-35DA-11D1-9034-00A0C90349BE",
    "7C4346A9-EFE0-4BFC-B229-393EDE415C85", "C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA",
    "14E6A5CB-C672-4332-8399-A96952065B5A", "26F18B5D-4584-47EC-9F5F-0E651F0452C9",
    "D9AADE20-7C17-4F9C-BC28-8555DD98E2A2", "D6E229DF-35DA-11D1-9034-00A0C90349BE",
    "A08649CF-4775-4670-8A16-6E35357566CD", "D4FED15B-88D3-454F-81F0-ED5C45999E24",
    "2211B3FB-BD23-11D2-B4B7-00A0C955FC6E", "298AE614-2622-4C17-B935-DAE07EE9289C",
    "2211B3FC-BD23-11D2-B4B7-00A0C955FC6E", "1EFB1A30-0B62-11D0-A39B-00A0C90348F6",
    "F487CD01-A951-11CF-8EE6-00C00C205365", "9A04F079-9840-4286-AB92-E65BE0885F95",
};
constexpr size_t kGuidCount = sizeof kGuids / sizeof kGuids[0];

uint8_t Hex(char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10); }

// A GUID's 16 bytes as stored: the first three groups little-endian, the rest in order.
struct GuidTable {
    uint8_t bytes[kGuidCount][16];
    GuidTable() {
        static const int kOrder[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
        for (size_t g = 0; g < kGuidCount; ++g)
            for (int i = 0; i < 16; ++i)
                bytes[g][i] = static_cast<uint8_t>(Hex(kGuids[g][kOrder[i]]) << 4 | Hex(kGuids[g][kOrder[i] + 1]));
    }
    bool Holds(const uint8_t* guid) const {
        for (const auto& known : bytes)
            if (std::memcmp(known, guid, 16) == 0) return true;
        return false;
    }
};

}  // namespace

class ParseWmvFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        static const GuidTable guids;
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kUnit, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            ByteSpan h(buffer + at, kUnit);
            uint64_t objectSize = LoadLE64(h, 16);
            // An object smaller than its own 24-byte header, or past any disk, is no object.
            if (!guids.Holds(h.data()) || objectSize < 24 || objectSize > kMaxObject) break;
            ++units_;
            offset += objectSize;
        }
        if (units_ < 2) return kParseInvalid;
        size = offset;
        return kParseComplete;
    }

private:
    uint32_t units_ = 0;
};

IParseFile* NewWmvParser() { return new ParseWmvFile(); }

}  // namespace ravlin
