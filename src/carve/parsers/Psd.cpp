// Photoshop files: the header, the colour-mode, image-resource and layer sections by their
// lengths, then the merged image: raw (rows of the stated width) or RLE (the row byte counts
// summed). Other compressions, or sizes past the limits, leave the size to the estimate.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kHeader = 26;
constexpr uint32_t kCountsPerRead = 1 << 18;  // RLE row counts summed per read

}  // namespace

class ParsePsdFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        if (stage_ == kHead) {
            uint32_t got = LocateFileBytes(startSector, 0, kHeader, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan h(buffer + at, kHeader);
            const uint32_t channels = LoadBE16(h, 12), height = LoadBE32(h, 14), width = LoadBE32(h, 18);
            const uint32_t depth = LoadBE16(h, 22), mode = LoadBE16(h, 24);
            if (channels < 1 || channels > 56 || height < 1 || height > 30000 || width < 1 || width > 30000 ||
                (depth != 1 && depth != 8 && depth != 16 && depth != 32) || mode > 9)
                return Estimate();
            rows_ = uint64_t{channels} * height;
            rowBytes_ = (uint64_t{width} * depth + 7) / 8;
            offset = kHeader;
            stage_ = kSections;
        }
        // The three sections that state their lengths.
        while (stage_ < kCompression) {
            uint32_t got = LocateFileBytes(startSector, offset, 4, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            offset += 4 + uint64_t{LoadBE32(ByteSpan(buffer + at, 4), 0)};
            if (offset > kMaxCarvedBytes) return Estimate();
            ++stage_;
        }
        if (stage_ == kCompression) {
            uint32_t got = LocateFileBytes(startSector, offset, 2, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            const uint32_t compression = LoadBE16(ByteSpan(buffer + at, 2), 0);
            offset += 2;
            if (compression == 0) return Finish(offset + rows_ * rowBytes_);
            if (compression != 1) return Estimate();
            stage_ = kRowCounts;
        }
        // RLE: a big-endian 16-bit byte count per row of every channel, then the rows.
        while (counted_ < rows_) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(rows_ - counted_, kCountsPerRead));
            uint32_t got = LocateFileBytes(startSector, offset + counted_ * 2, n * 2, bufferFirstSector, bufferBytes,
                                           at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan counts(buffer + at, size_t{n} * 2);
            for (uint32_t i = 0; i < n; ++i) packed_ += LoadBE16(counts, size_t{i} * 2);
            counted_ += n;
        }
        return Finish(offset + rows_ * 2 + packed_);
    }

private:
    enum Stage : uint32_t { kHead, kSections, kCompression = kSections + 3, kRowCounts };

    uint32_t Finish(uint64_t end) {
        if (end > kMaxCarvedBytes) return Estimate();
        size = end;
        return kParseComplete;
    }

    uint32_t stage_ = kHead;
    uint64_t rows_ = 0;      // rows of all channels
    uint64_t rowBytes_ = 0;  // bytes of a raw row
    uint64_t counted_ = 0;   // RLE row counts read so far
    uint64_t packed_ = 0;    // and their sum
};

IParseFile* NewPsdParser() { return new ParsePsdFile(); }

}  // namespace ravlin
