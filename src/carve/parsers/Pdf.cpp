// PDF files: searched for their end-of-file marks. After each "%%EOF" and its line break, a PDF
// that goes on (an incremental update, or a linearised file's first part) starts an object or
// a cross-reference table at once; anything else ends the file there. No mark within the
// search limit leaves the size to the estimate.
#include <cstring>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxSearch = uint64_t{512} << 20;
constexpr uint32_t kRun = 4 << 20;  // bytes searched per step
constexpr uint32_t kMark = 5;       // "%%EOF"
constexpr uint32_t kLook = 48;      // bytes looked at after a mark

bool Blank(uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f'; }
bool Digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Whether `p` (n bytes after a mark's line break) begins more PDF: "N G obj" or "xref".
bool PdfGoesOn(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n && Blank(p[i])) ++i;
    if (n - i >= 4 && std::memcmp(p + i, "xref", 4) == 0) return true;
    for (int number = 0; number < 2; ++number) {
        size_t digits = i;
        while (i < n && Digit(p[i])) ++i;
        if (i == digits || i - digits > 10) return false;
        size_t blanks = i;
        while (i < n && Blank(p[i])) ++i;
        if (i == blanks) return false;
    }
    return n - i >= 3 && std::memcmp(p + i, "obj", 3) == 0;
}

}  // namespace

class ParsePdfFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            if (mark_ != 0) {
                // Decide at the mark: the file ends here, or goes on.
                uint32_t got = LocateFileBytes(startSector, mark_, kLook, bufferFirstSector, bufferBytes, at, *this);
                if (got == kParseNeedData) return got;
                if (got != kParseDataOk) return End();
                const uint8_t* p = buffer + at;
                size_t breaks = 0;
                if (p[0] == '\r') ++breaks;
                if (p[breaks] == '\n') ++breaks;
                if (!PdfGoesOn(p + breaks, kLook - breaks)) {
                    mark_ += breaks;
                    return End();
                }
                offset = mark_;
                mark_ = 0;
            }
            if (offset >= kMaxSearch) return Estimate();
            size_t length = 0;
            uint32_t got = LocateFileRun(startSector, offset, kRun, bufferFirstSector, bufferBytes, at, length, *this);
            if (got == kParseDataOk && length < kMark) {
                got = LocateFileBytes(startSector, offset, kMark, bufferFirstSector, bufferBytes, at, *this);
                length = kMark;
            }
            if (got != kParseDataOk) return Unread(got);
            const uint8_t* p = buffer + at;
            const uint8_t* found = Search(p, length);
            if (found) {
                mark_ = offset + static_cast<uint64_t>(found - p) + kMark;
                continue;
            }
            offset += length - (kMark - 1);  // a mark may straddle the runs
        }
    }

    // The data after a mark never came: the file ends at it.
    uint32_t Abandon() override {
        if (mark_ == 0) return Estimate();
        size = mark_;
        return kParseFound;
    }

private:
    static const uint8_t* Search(const uint8_t* p, size_t n) {
        for (size_t i = 0; i + kMark <= n;) {
            const void* hit = std::memchr(p + i, '%', n - i - (kMark - 1));
            if (!hit) return nullptr;
            i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
            if (std::memcmp(p + i, "%%EOF", kMark) == 0) return p + i;
            ++i;
        }
        return nullptr;
    }
    uint32_t End() {
        size = mark_;
        return kParseComplete;
    }

    uint64_t mark_ = 0;  // one past the latest "%%EOF" whose sequel is undecided, 0 while none
};

IParseFile* NewPdfParser() { return new ParsePdfFile(); }

}  // namespace ravlin
