// MP3: the ID3v2 tag at the start (its title and artist kept), then MPEG audio frames, APE and
// ID3v1 tags walked one after another until something else follows.
#include <algorithm>
#include <string>
#include <string_view>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

constexpr uint32_t kMaxTag = 0xA00000;         // an ID3v2 tag larger than 10 MiB is no MP3's
constexpr uint32_t kTagTextWindow = 0x10000;  // tag frames are read from the first 64 KiB
constexpr uint32_t kMinUnits = 11;
constexpr size_t kMaxFrame = 2881;  // the longest MPEG audio frame (MPEG-2.5 Layer II, 160 kbit/s at 8 kHz)
constexpr uint32_t kMaxApeTag = 0x4000000;

uint32_t SynchSafe(const uint8_t* p) { return uint32_t{p[0]} << 21 | uint32_t{p[1]} << 14 | uint32_t{p[2]} << 7 | p[3]; }

// The text of a text frame: an encoding byte, then the text up to its first terminator.
std::wstring FrameText(const uint8_t* p, size_t n) {
    if (n < 2) return {};
    uint8_t encoding = p[0];
    ++p;
    --n;
    std::wstring out;
    if (encoding == 0) {  // ISO-8859-1
        for (size_t i = 0; i < n && p[i]; ++i) out += static_cast<wchar_t>(p[i]);
    } else if (encoding == 3) {
        size_t len = 0;
        while (len < n && p[len]) ++len;
        out = platform::Utf8ToWide(std::string(reinterpret_cast<const char*>(p), len));
    } else if (encoding == 1 || encoding == 2) {
        bool bigEndian = encoding == 2;
        if (encoding == 1 && n >= 2) {  // a byte-order mark leads
            bigEndian = p[0] == 0xFE && p[1] == 0xFF;
            if ((p[0] == 0xFF && p[1] == 0xFE) || bigEndian) {
                p += 2;
                n -= 2;
            }
        }
        std::u16string units;
        for (size_t i = 0; i + 1 < n; i += 2) {
            char16_t u = bigEndian ? static_cast<char16_t>(p[i] << 8 | p[i + 1])
                                   : static_cast<char16_t>(p[i] | p[i + 1] << 8);
            if (u == 0) break;
            units += u;
        }
        out = platform::Utf16ToWide(units.data(), units.size());
    }
    return out;
}

// The length of the MPEG audio frame whose 4-byte header is at `h`, 0 when it is none.
uint32_t FrameLength(const uint8_t* h) {
    static const uint16_t kBitrates[2][3][16] = {
        // MPEG-1: Layer I, II, III
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
        // MPEG-2 and 2.5: Layer I, II, III
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
    };
    static const uint32_t kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
    uint32_t version = (h[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: MPEG-2, 3: MPEG-1
    uint32_t layerBits = (h[1] >> 1) & 3;  // 1: III, 2: II, 3: I
    uint32_t bitrateIndex = h[2] >> 4;
    uint32_t rateIndex = (h[2] >> 2) & 3;
    uint32_t padding = (h[2] >> 1) & 1;
    if (version == 1 || layerBits == 0 || rateIndex == 3 || bitrateIndex == 0) return 0;
    uint32_t layer = 4 - layerBits;  // 1, 2 or 3
    uint32_t kbps = kBitrates[version == 3 ? 0 : 1][layer - 1][bitrateIndex];
    uint32_t rate = kRates[version][rateIndex];
    if (layer == 1) return (12 * kbps * 1000 / rate + padding) * 4;
    uint32_t coefficient = layer == 3 && version != 3 ? 72 : 144;
    return coefficient * kbps * 1000 / rate + padding;
}

}  // namespace

class ParseMp3File final : public IParseFile {
public:
    // Untagged: a bare stream of frames from the first byte on.
    explicit ParseMp3File(bool tagged) : tagged_(tagged), stage_(tagged ? 0 : 1) {}

    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        if (stage_ == 0) {
            size_t at = 0;
            uint32_t got = LocateFirstSector(*this, bufferFirstSector, bufferBytes, at);
            if (got != kParseDataOk) return got;
            const uint8_t* h = buffer + at;
            if (h[0] != 'I' || h[1] != 'D' || h[2] != '3' || h[3] < 2 || h[3] > 4) return kParseInvalid;
            if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return kParseInvalid;
            uint32_t tagSize = SynchSafe(h + 6);
            if (tagSize > kMaxTag) return kParseInvalid;
            ReadTagTexts(h, bufferBytes - at, tagSize);
            // A 2.4 tag may end in a 10-byte footer that its size leaves out.
            offset = uint64_t{tagSize} + 10 + (h[3] == 4 && (h[5] & 0x10) ? 10 : 0);
            stage_ = 1;
        }
        if (!tagged_ && units_ == 0 && ContinuesAStream(bufferFirstSector, buffer, bufferBytes)) return kParseInvalid;
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, 4, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            const uint8_t* h = buffer + at;
            if (h[0] == 'A' && h[1] == 'P' && h[2] == 'E' && h[3] == 'T') {
                got = LocateFileBytes(startSector, offset, 16, bufferFirstSector, bufferBytes, at, *this);
                if (got != kParseDataOk) return got;
                h = buffer + at;
                if (std::string_view(reinterpret_cast<const char*>(h), 8) != "APETAGEX") break;
                uint32_t tagSize = LoadLE32(ByteSpan(h, 16), 12);
                if (tagSize < 32 || tagSize > kMaxApeTag) break;
                // The tag's header steps over its items to its footer, the footer over itself.
                offset += stage_ < 2 ? tagSize : 32;
                stage_ = 2;
                continue;
            }
            if (h[0] == 'T' && h[1] == 'A' && h[2] == 'G') {
                ++units_;
                offset += 128;
                continue;
            }
            uint32_t length = FrameLength(h);
            if (length == 0) break;
            ++units_;
            offset += length;
        }
        if (units_ < kMinUnits) {
            // Too few frames: no MP3 after a tag; a bare stream keeps its start.
            if (tagged_) return kParseInvalid;
            size = 0;
            return kParseFound;
        }
        size = offset;
        return kParseComplete;
    }

private:
    // Whether a frame that lies before the hit in the buffer ends exactly at it: the hit is then
    // a frame in the middle of a stream, not the stream's start.
    bool ContinuesAStream(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) const {
        if (startSector <= bufferFirstSector || startSector - bufferFirstSector >= bufferBytes / 512) return false;
        const size_t start = static_cast<size_t>(startSector - bufferFirstSector) * 512;
        const size_t from = start > kMaxFrame ? start - kMaxFrame : 0;
        for (size_t p = start - 1; p >= from && p + 4 <= bufferBytes; --p) {
            if (buffer[p] == 0xFF && FrameLength(buffer + p) == start - p) return true;
            if (p == 0) break;
        }
        return false;
    }

    // Title and artist from the tag's frames that lie in the first 64 KiB and in the buffer.
    void ReadTagTexts(const uint8_t* tag, size_t available, uint32_t tagSize) {
        uint8_t version = tag[3];
        uint8_t flags = tag[5];
        if (version == 2 && (flags & 0x40)) return;  // compressed 2.2 tags
        size_t end = std::min<size_t>({available, size_t{tagSize} + 10, kTagTextWindow});
        size_t at = 10;
        if (version > 2 && (flags & 0x40) && at + 4 <= end) {  // extended header
            uint32_t extended = version == 3 ? LoadBE32(ByteSpan(tag + at, 4), 0) + 4 : SynchSafe(tag + at);
            at += extended;
        }
        std::wstring title, artist;
        const size_t frameHeader = version == 2 ? 6 : 10;
        while (at + frameHeader <= end && tag[at] != 0) {
            const uint8_t* f = tag + at;
            uint32_t length;
            std::string_view id(reinterpret_cast<const char*>(f), version == 2 ? 3 : 4);
            if (version == 2) length = uint32_t{f[3]} << 16 | uint32_t{f[4]} << 8 | f[5];
            else length = version == 3 ? LoadBE32(ByteSpan(f, 8), 4) : SynchSafe(f + 4);
            if (length > end - at - frameHeader) break;
            const uint8_t* body = f + frameHeader;
            size_t bodyLength = length;
            bool readable = true;
            if (version == 3 && (f[9] & 0xC0)) readable = false;  // compressed or encrypted
            if (version == 4) {
                if (f[9] & 0x0C) readable = false;
                if ((f[9] & 0x01) && bodyLength >= 4) {  // a data-length indicator leads
                    body += 4;
                    bodyLength -= 4;
                }
            }
            if (readable) {
                if (id == "TIT2" || id == "TT2") title = FrameText(body, bodyLength);
                else if (id == "TPE1" || id == "TP1") artist = FrameText(body, bodyLength);
            }
            at += frameHeader + length;
        }
        createInfo = MakeCreateInfo(artist, L"", title, L"");
    }

    const bool tagged_;
    uint32_t stage_ = 0;  // 0 before the ID3v2 tag, 1 after it, 2 after an APE tag
    uint32_t units_ = 0;  // frames and ID3v1 tags
};

IParseFile* NewMp3Parser() { return new ParseMp3File(true); }
IParseFile* NewMpegFramesParser() { return new ParseMp3File(false); }

}  // namespace ravlin
