// Executables: a PE image's end is the furthest of its headers, its sections' raw data, its
// certificate table and its COFF symbols with their string table. Bytes past that (an overlay
// such as an installer's payload) are not in what the headers state and stay out; DOS programs
// without a PE header are left to the estimate.
#include <algorithm>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kMaxHeaders = 0x10000;                // PE header, optional header, sections
constexpr uint32_t kCoffHeader = 24;
constexpr uint32_t kSection = 40;
constexpr uint32_t kSymbol = 18;

}  // namespace

class ParseExeFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        if (stage_ == 0) {
            uint32_t got = LocateFileBytes(startSector, 0, 64, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            pe_ = LoadLE32(ByteSpan(buffer + at, 64), 0x3C);
            if (pe_ < 64 || pe_ > kMaxHeaders) return Estimate();
            stage_ = 1;
        }
        if (stage_ == 1) {
            uint32_t got = LocateFileBytes(startSector, pe_, kCoffHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan c(buffer + at, kCoffHeader);
            if (!BytesEqual(c, 0, "PE\0\0", 4)) return Estimate();
            sections_ = LoadLE16(c, 6);
            optional_ = LoadLE16(c, 20);
            symbols_ = LoadLE32(c, 12);
            symbolCount_ = LoadLE32(c, 16);
            if (sections_ == 0 || sections_ > 96 || optional_ < 96) return Estimate();
            stage_ = 2;
        }
        if (stage_ == 2) {
            const uint32_t length = optional_ + sections_ * kSection;
            uint32_t got = LocateFileBytes(startSector, pe_ + kCoffHeader, length, bufferFirstSector, bufferBytes, at,
                                           *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan o(buffer + at, length);
            const uint16_t magic = LoadLE16(o, 0);
            if (magic != 0x10B && magic != 0x20B) return Estimate();
            uint64_t end = LoadLE32(o, 60);  // the headers' size
            const size_t directories = magic == 0x10B ? 96 : 112;
            if (LoadLE32(o, directories - 4) > 4 && directories + 5 * 8 <= optional_) {
                // The certificate table: a file offset, not an address.
                const uint64_t certificates = LoadLE32(o, directories + 32), bytes = LoadLE32(o, directories + 36);
                if (bytes != 0) end = std::max(end, certificates + bytes);
            }
            for (uint32_t i = 0; i < sections_; ++i) {
                const size_t s = optional_ + size_t{i} * kSection;
                const uint64_t raw = LoadLE32(o, s + 16), pointer = LoadLE32(o, s + 20);
                if (raw != 0) end = std::max(end, pointer + raw);
            }
            if (end > kMaxCarvedBytes) return Estimate();
            size = end;
            if (symbols_ == 0 || symbolCount_ == 0) return kParseComplete;
            offset = uint64_t{symbols_} + uint64_t{symbolCount_} * kSymbol;
            if (offset > kMaxCarvedBytes) return kParseComplete;
            stage_ = 3;
        }
        // COFF symbols (left in by some linkers) and the string table's size after them.
        uint32_t got = LocateFileBytes(startSector, offset, 4, bufferFirstSector, bufferBytes, at, *this);
        if (got == kParseNeedData) return got;
        if (got == kParseDataOk) {
            const uint64_t strings = LoadLE32(ByteSpan(buffer + at, 4), 0);
            if (strings >= 4 && offset + strings <= kMaxCarvedBytes) size = std::max<uint64_t>(size, offset + strings);
        }
        return kParseComplete;
    }

    uint32_t Abandon() override { return size != 0 ? kParseFound : Estimate(); }

private:
    uint32_t stage_ = 0;
    uint32_t pe_ = 0;  // where the PE header starts
    uint32_t sections_ = 0;
    uint32_t optional_ = 0;  // the optional header's length
    uint32_t symbols_ = 0;
    uint32_t symbolCount_ = 0;
};

IParseFile* NewExeParser() { return new ParseExeFile(); }

}  // namespace ravlin
