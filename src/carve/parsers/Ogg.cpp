// Ogg files: pages walked one by one, each page's CRC checked, until every logical stream begun
// at the start has had its end-of-stream page; a next page that begins new streams (a chained
// file) is walked on the same way. A page that breaks off first leaves the size to the estimate.
#include <array>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kPageHeader = 27;
constexpr uint32_t kMaxStreams = 32;
constexpr uint8_t kContinued = 0x01, kBegin = 0x02, kEnd = 0x04;

// The Ogg page checksum: CRC-32 of polynomial 0x04C11DB7, unreflected, no final inversion.
uint32_t OggCrc(const uint8_t* p, size_t n) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = r & 0x80000000u ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        // The checksum field itself counts as zeros.
        uint8_t b = i >= 22 && i < 26 ? 0 : p[i];
        crc = (crc << 8) ^ table[((crc >> 24) ^ b) & 0xFF];
    }
    return crc;
}

}  // namespace

class ParseOggFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            if (offset > kMaxCarvedBytes) return Estimate();
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kPageHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Next(got);
            ByteSpan h(buffer + at, kPageHeader);
            const uint32_t segments = h[26];
            if (!BytesEqual(h, 0, "OggS", 4) || h[4] != 0 || h[5] > 7) return Next(kParseInvalid);
            got = LocateFileBytes(startSector, offset, kPageHeader + segments, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Next(got);
            uint32_t length = kPageHeader + segments;
            for (uint32_t i = 0; i < segments; ++i) length += buffer[at + kPageHeader + i];
            got = LocateFileBytes(startSector, offset, length, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Next(got);
            const uint8_t* page = buffer + at;
            if (OggCrc(page, length) != LoadLE32(ByteSpan(page, length), 22)) return Next(kParseInvalid);
            const uint8_t flags = page[5];
            const uint32_t serial = LoadLE32(ByteSpan(page, length), 14);
            if (open_ == 0) {
                // A first page, of the file or of a chained link: it must begin a stream.
                if (!(flags & kBegin) || (flags & kContinued)) return Next(kParseInvalid);
                count_ = 0;
                beginning_ = true;
            }
            if (flags & kBegin) {
                if (!beginning_ || count_ == kMaxStreams || Find(serial) < count_) return Next(kParseInvalid);
                serials_[count_] = serial;
                ended_[count_] = false;
                ++count_;
                ++open_;
            } else {
                beginning_ = false;
            }
            const uint32_t stream = Find(serial);
            if (stream == count_ || ended_[stream]) return Next(kParseInvalid);
            offset += length;
            if (flags & kEnd) {
                ended_[stream] = true;
                if (--open_ == 0) end_ = offset;  // every stream ended: the file may end here
            }
        }
    }

    uint32_t Abandon() override {
        if (open_ == 0 && end_ != 0) return Bound();
        return Estimate();
    }

private:
    // What a page that cannot be walked means: the end of the file after its last stream
    // ended (a chained link did not follow), a wait for data, or a file broken off.
    uint32_t Next(uint32_t got) {
        if (got == kParseNeedData) return got;
        if (open_ == 0 && end_ == offset && end_ != 0) {
            size = end_;
            return kParseComplete;
        }
        return Estimate();
    }
    uint32_t Bound() {
        size = end_;
        return kParseFound;
    }
    uint32_t Find(uint32_t serial) const {
        uint32_t i = 0;
        while (i < count_ && serials_[i] != serial) ++i;
        return i;
    }

    std::array<uint32_t, kMaxStreams> serials_{};
    std::array<bool, kMaxStreams> ended_{};
    uint32_t count_ = 0;     // streams of the current link
    uint32_t open_ = 0;      // of them, not ended
    bool beginning_ = false;  // still in the link's begin-of-stream pages
    uint64_t end_ = 0;       // where the last complete link ended
};

IParseFile* NewOggParser() { return new ParseOggFile(); }

}  // namespace ravlin
