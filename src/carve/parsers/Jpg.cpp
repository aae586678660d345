// JPEG: the marker walk up to the start of scan, the camera texts of an EXIF APP1 segment, then
// the end-of-image marker searched from where the last search stopped, in a window that grows
// by a block at a time.
#include <cstring>
#include <set>
#include <string>

#include "carve/parsers/Exif.h"
#include "carve/parsers/Parsers.h"
#include "fs/ScanItem.h"

namespace ravlin {
namespace {

constexpr uint32_t kGrowBy = 0x800000;
constexpr uint32_t kWindowRefused = 0x10000001;   // a later call with this window ends the parse
constexpr uint32_t kWindowGrowLimit = 0x20000001;  // growth stops here within one call
constexpr uint32_t kOvershootLimit = 0x100000;    // a walk this far past the window is no JPEG

uint32_t Be16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }

}  // namespace

class ParseJpgFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override;

private:
    uint32_t WalkMarkers(const uint8_t* data, uint32_t length);
    void ReadExif(const uint8_t* segment, uint32_t length);

    uint32_t windowLength_ = 0;  // bytes of the file looked at, from its start
    uint32_t scanPosition_ = 0;  // where the end-marker search resumes; 0 before the scan
};

uint32_t ParseJpgFile::Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) {
    if (windowLength_ == 0) {
        // To the end of the block the start lies in.
        if (startSector < bufferFirstSector || startSector - bufferFirstSector >= kBlockUnit) return kParseInvalid;
        windowLength_ = static_cast<uint32_t>((bufferFirstSector + kBlockUnit - startSector) * 512);
    } else if (windowLength_ >= kWindowRefused) {
        return kParseInvalid;
    }
    uint32_t result = kParseInvalid;
    while (true) {
        size_t at = 0;
        result = LocateFileBytes(startSector, 0, windowLength_, bufferFirstSector, bufferBytes, at, *this);
        if (result != kParseDataOk) return result;
        const uint8_t* data = buffer + at;
        if (scanPosition_ == 0) {
            result = WalkMarkers(data, windowLength_);
            if (scanPosition_ == 0 && result != kParseNeedData) return result;
        }
        if (scanPosition_ != 0) {
            // The first FF D9 from where the last search stopped.
            const uint8_t* p = data + scanPosition_;
            const uint8_t* end = data + windowLength_;
            while (p + 1 < end) {
                p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p - 1)));
                if (!p) break;
                if (p[1] == 0xD9) {
                    size = static_cast<uint64_t>(p - data) + 2;
                    return kParseComplete;
                }
                ++p;
            }
            // A final FF may pair with the next window's first byte.
            scanPosition_ = windowLength_ - 1;
            result = kParseNeedData;
        }
        if (windowLength_ >= kWindowGrowLimit - kGrowBy) return result;
        windowLength_ += kGrowBy;
    }
}

uint32_t ParseJpgFile::WalkMarkers(const uint8_t* data, uint32_t length) {
    uint64_t p = 0;
    while (true) {
        if (p >= length) break;
        if (data[p] != 0xFF) {
            // A byte that is no marker: no JPEG, unless the window ends right after it.
            return p + 2 <= length ? kParseInvalid : kParseNeedData;
        }
        while (p < length && data[p] == 0xFF) ++p;  // fill bytes
        if (p >= length) break;
        uint8_t code = data[p];
        if (code == 0xDA) {
            scanPosition_ = static_cast<uint32_t>(p);
            return kParseDataOk;
        }
        if (code == 0xD8) {
            ++p;
            continue;
        }
        if (length - p < 3) {
            p = length;
            break;
        }
        uint32_t segment = Be16(data + p + 1);
        if (segment == 0) return kParseInvalid;
        if (code == 0xE1 && segment >= 32 && p + 1 + segment <= length) ReadExif(data + p + 3, segment - 2);
        p += 1 + segment;
    }
    return p - length < kOvershootLimit ? kParseNeedData : kParseInvalid;
}

void ParseJpgFile::ReadExif(const uint8_t* segment, uint32_t length) {
    static const uint8_t kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    static const uint8_t kIntel[] = {0x49, 0x49, 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00};
    static const uint8_t kMotorola[] = {0x4D, 0x4D, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x08};
    if (length < 6 + 8 || std::memcmp(segment, kExif, 6) != 0) return;
    const uint8_t* tiff = segment + 6;
    bool bigEndian;
    if (std::memcmp(tiff, kIntel, 8) == 0) bigEndian = false;
    else if (std::memcmp(tiff, kMotorola, 8) == 0) bigEndian = true;
    else return;
    ExifTexts texts;
    WalkExifDirectory(TiffBytes({tiff, length - 6u}, bigEndian), 8, texts);
    createInfo = MakeCreateInfo(texts.maker, texts.model, L"", texts.date);
}

IParseFile* NewJpgParser() { return new ParseJpgFile(); }

}  // namespace ravlin
