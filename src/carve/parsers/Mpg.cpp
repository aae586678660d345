// MPEG program streams: the first pack with its system header, then packets by their start
// codes and lengths, up to the program end code or the first thing that is not a packet.
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kUnit = 512;
constexpr uint32_t kMinPackets = 11;
constexpr uint8_t kPack = 0xBA;
constexpr uint8_t kSequenceHeader = 0xB3;
constexpr uint8_t kProgramEnd = 0xB9;

bool StartCode(ByteSpan b, size_t at) {
    return LoadU8(b, at) == 0 && LoadU8(b, at + 1) == 0 && LoadU8(b, at + 2) == 1 && LoadU8(b, at + 3) >= 0xB0;
}

// The length of the pack header at `at`: MPEG-2 packs have 14 bytes and their stuffing,
// MPEG-1 packs 12.
size_t PackLength(ByteSpan b, size_t at) {
    uint8_t marker = LoadU8(b, at + 4);
    if ((marker & 0xC0) == 0x40) return 14 + (LoadU8(b, at + 13) & 7);
    if ((marker & 0xF0) == 0x20) return 12;
    return 0;
}

}  // namespace

class ParseMpgFile final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kUnit, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            ByteSpan h(buffer + at, kUnit);
            if (!firstPackRead_) {
                // The pack, its system header, and the packet after them.
                size_t pack = PackLength(h, 0);
                if (pack == 0 || !StartCode(h, pack)) return kParseInvalid;
                size_t next = pack + 6 + LoadBE16(h, pack + 4);
                if (next > kUnit - 6 || !StartCode(h, next)) return kParseInvalid;
                offset += next + 6 + LoadBE16(h, next + 4);
                firstPackRead_ = 1;
                packets_ = 1;
                continue;
            }
            if (!StartCode(h, 0)) break;
            uint8_t code = h[3];
            if (code == kProgramEnd) {
                offset += 4;
                ++packets_;
                break;
            }
            uint64_t step;
            if (code == kPack || code == kSequenceHeader) {
                size_t pack = code == kPack ? PackLength(h, 0) : 14;
                if (pack == 0 || !StartCode(h, pack)) break;
                step = pack + 6 + LoadBE16(h, pack + 4);
            } else {
                step = 6 + LoadBE16(h, 4);
            }
            ++packets_;
            offset += step;
        }
        if (packets_ < kMinPackets) return kParseInvalid;
        size = offset;
        return kParseComplete;
    }

private:
    uint32_t firstPackRead_ = 0;
    uint32_t packets_ = 0;
};

IParseFile* NewMpgParser() { return new ParseMpgFile(); }

}  // namespace ravlin
