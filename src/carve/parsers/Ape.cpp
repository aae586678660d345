// Monkey's Audio files of version 3.98 and later: the descriptor states the lengths of every
// part (descriptor, header, seek table, WAV header, frames, WAV trailer); an APE tag that follows
// at once is kept with the file. Older files, which state no length, are left to the estimate.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kDescriptor = 52;
constexpr uint32_t kTag = 32;            // an APE tag's header or footer
constexpr uint32_t kHasHeader = 1u << 31, kIsHeader = 1u << 29;
constexpr uint32_t kMaxTag = 16 << 20;

}  // namespace

class ParseApeFile final : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        if (offset == 0) {
            uint32_t got = LocateFileBytes(startSector, 0, kDescriptor, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return Unread(got);
            ByteSpan d(buffer + at, kDescriptor);
            if (LoadLE16(d, 4) < 3980) return Estimate();
            const uint32_t descriptor = LoadLE32(d, 8), header = LoadLE32(d, 12);
            const uint64_t frames = LoadLE32(d, 24) | uint64_t{LoadLE32(d, 28)} << 32;
            if (descriptor < kDescriptor || descriptor > 1024 || header < 24 || header > 1024 || frames == 0)
                return Estimate();
            offset = uint64_t{descriptor} + header + LoadLE32(d, 16) + LoadLE32(d, 20) + frames + LoadLE32(d, 32);
            if (offset > kMaxCarvedBytes) return Estimate();
            size = offset;
        }
        // An APE tag (with its header) right after the audio.
        uint32_t got = LocateFileBytes(startSector, offset, kTag, bufferFirstSector, bufferBytes, at, *this);
        if (got == kParseNeedData) return got;
        if (got == kParseDataOk) {
            ByteSpan t(buffer + at, kTag);
            const uint32_t length = LoadLE32(t, 12), flags = LoadLE32(t, 20);
            if (BytesEqual(t, 0, "APETAGEX", 8) && (flags & kHasHeader) && (flags & kIsHeader) && length >= kTag &&
                length <= kMaxTag && offset + kTag + length <= kMaxCarvedBytes)
                size = offset + kTag + length;
        }
        return kParseComplete;
    }

    // At the end of the data: the audio's length stands.
    uint32_t Abandon() override { return size != 0 ? kParseFound : Estimate(); }
};

IParseFile* NewApeParser() { return new ParseApeFile(); }

}  // namespace ravlin
