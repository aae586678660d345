// TIFF directory reading shared by the JPEG and TIFF parsers.
#include "carve/parsers/Exif.h"

#include <algorithm>
#include <vector>

#include "platform/Text.h"

namespace ravlin {

uint16_t TiffBytes::U16(uint64_t at) const {
    if (!Holds(at, 2)) return 0;
    const uint8_t* p = bytes_.data() + at;
    return static_cast<uint16_t>(bigEndian_ ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

uint32_t TiffBytes::U32(uint64_t at) const {
    if (!Holds(at, 4)) return 0;
    const uint8_t* p = bytes_.data() + at;
    return bigEndian_ ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                      : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

std::wstring TiffBytes::Text(uint64_t at, uint64_t count) const {
    if (at >= bytes_.size()) return {};
    uint64_t n = std::min<uint64_t>({count, 64, bytes_.size() - at});
    const uint8_t* p = bytes_.data() + at;
    uint64_t len = 0;
    while (len < n && p[len] != 0) ++len;
    return platform::MultiByteToWide(platform::kCodePageSystem, {p, static_cast<size_t>(len)});
}

uint32_t TiffTypeSize(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;  // 13: an IFD offset
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

bool ReadTiffEntry(const TiffBytes& tiff, uint64_t directory, uint32_t index, TiffEntry& entry) {
    uint64_t at = directory + 2 + uint64_t{index} * 12;
    if (!tiff.Holds(at, 12)) return false;
    entry.tag = tiff.U16(at);
    entry.type = tiff.U16(at + 2);
    entry.count = tiff.U32(at + 4);
    entry.word = tiff.U32(at + 8);
    uint32_t element = TiffTypeSize(entry.type);
    if (element == 0) return false;
    entry.valueBytes = uint64_t{element} * entry.count;
    entry.valueAt = entry.valueBytes > 4 ? entry.word : at + 8;
    return true;
}

namespace {

constexpr uint16_t kMake = 271, kModel = 272, kSoftware = 305, kDateTime = 306;
constexpr uint16_t kExifIfd = 34665, kDateTimeOriginal = 36867, kDateTimeDigitized = 36868;

void Walk(const TiffBytes& tiff, uint32_t offset, ExifTexts& texts, std::vector<uint32_t>& visited) {
    // Directories that point back to one already walked, or nest without end, are walked once.
    if (std::find(visited.begin(), visited.end(), offset) != visited.end() || visited.size() >= 16) return;
    visited.push_back(offset);
    uint16_t count = tiff.U16(offset);
    if (!tiff.Holds(offset, 2)) return;
    for (uint32_t i = 0; i < count; ++i) {
        TiffEntry e;
        if (!ReadTiffEntry(tiff, offset, i, e) || e.type > 12) return;
        if (!tiff.Holds(e.valueAt, 1)) return;
        switch (e.tag) {
            case kMake: texts.maker = tiff.Text(e.valueAt, e.count); break;
            case kModel:
            case kSoftware: texts.model = tiff.Text(e.valueAt, e.count); break;
            case kDateTime:
            case kDateTimeOriginal: texts.date = tiff.Text(e.valueAt, e.count); break;
            case kDateTimeDigitized:
                if (texts.date.empty()) texts.date = tiff.Text(e.valueAt, e.count);
                break;
            case kExifIfd: Walk(tiff, e.word, texts, visited); break;
            default: break;
        }
    }
}

}  // namespace

void WalkExifDirectory(const TiffBytes& tiff, uint32_t offset, ExifTexts& texts) {
    std::vector<uint32_t> visited;
    Walk(tiff, offset, texts, visited);
}

}  // namespace ravlin
