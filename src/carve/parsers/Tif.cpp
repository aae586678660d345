// TIFF and camera raw files: the directory chain measured by the data its entries point to.
// Files of 2 MiB or more are kept, retyped to the raw type of their camera's maker.
#include <algorithm>
#include <string>
#include <vector>

#include "carve/parsers/Exif.h"
#include "carve/parsers/Parsers.h"

namespace ravlin {
namespace {

constexpr uint64_t kLookLimit = 0x5800000;  // only the file's first 88 MiB are looked at
constexpr uint64_t kKeepFrom = 0x200000;    // smaller files are not carved
constexpr uint64_t kGrowBy = 0x800000;
constexpr uint32_t kMaxDirectories = 1024;
constexpr uint64_t kMaxSubIfds = 64;
constexpr uint32_t kMaxDepth = 8;

constexpr uint16_t kStripOffsets = 273, kStripByteCounts = 279, kTileOffsets = 324, kTileByteCounts = 325;
constexpr uint16_t kSubIfds = 330, kJpegOffset = 513, kJpegLength = 514, kExifIfd = 34665;
constexpr uint16_t kMake = 271, kModel = 272, kDateTime = 306, kDateTimeOriginal = 36867;

uint32_t RawTypeOfMaker(const std::wstring& maker) {
    static const std::pair<const wchar_t*, uint32_t> kMakers[] = {
        {L"Canon", 49}, {L"NIKON", 92},     {L"PENTAX", 98},     {L"SONY", 101}, {L"OLYMPUS", 104},
        {L"Panasonic", 50}, {L"Hasselblad", 50}, {L"SAMSUNG", 52}, {L"Mamiya", 102}};
    for (const auto& [word, type] : kMakers)
        if (maker.find(word) != std::wstring::npos) return type;
    return 50;
}

// One walk over the bytes of the file at hand. `short_` is set, with the bytes wanted, when a
// directory or value lies past them but inside the part of the file looked at.
class TiffWalk {
public:
    TiffWalk(const TiffBytes& tiff, uint64_t available) : tiff_(tiff), available_(available) {}

    void Chain(uint64_t directory) {
        while (directory < kLookLimit - 1 && !stopped_) {
            if (++directories_ > kMaxDirectories) return;
            if (std::find(seen_.begin(), seen_.end(), directory) != seen_.end()) return;
            seen_.push_back(directory);
            if (!Need(directory, 2)) return;
            uint32_t count = tiff_.U16(directory);
            if (count == 0 || count > 512) return;
            uint64_t end = directory + 2 + uint64_t{count} * 12;
            Raise(end);
            if (extent > kLookLimit) {
                stopped_ = true;
                return;
            }
            if (!Need(directory, end - directory + 4)) return;
            Entries(directory, count);
            uint64_t next = tiff_.U32(end);
            if (next == 0 || next <= end || end > kLookLimit - 4) return;
            directory = next;
        }
    }

    uint64_t extent = 0;
    std::wstring maker, model, date;
    bool short_ = false;
    uint64_t wanted = 0;  // bytes from the file start that would let the walk go on

private:
    // Whether [at, at + count) lies in the bytes at hand; notes what is missing when it does
    // not but lies within the part looked at.
    bool Need(uint64_t at, uint64_t count) {
        if (tiff_.Holds(at, count)) return true;
        if (at + count <= kLookLimit && at + count > available_) {
            short_ = true;
            wanted = std::max(wanted, at + count);
        }
        return false;
    }

    void Raise(uint64_t end) { extent = std::max(extent, end); }

    // Value `i` of an array entry of shorts or longs (offsets or byte counts).
    uint64_t Value(const TiffEntry& e, uint64_t i) const {
        return TiffTypeSize(e.type) == 2 ? tiff_.U16(e.valueAt + i * 2) : tiff_.U32(e.valueAt + i * 4);
    }
    bool HasValues(const TiffEntry& e) {
        uint32_t size = TiffTypeSize(e.type);
        return (size == 2 || size == 4) && Need(e.valueAt, e.valueBytes);
    }

    void Entries(uint64_t directory, uint32_t count) {
        TiffEntry stripOffsets, stripCounts, tileOffsets, tileCounts;
        uint64_t jpegOffset = 0, jpegLength = 0;
        std::vector<uint64_t> subIfds;
        for (uint32_t i = 0; i < count; ++i) {
            TiffEntry e;
            if (!ReadTiffEntry(tiff_, directory, i, e)) continue;
            // Values stored outside the directory are part of the file too.
            if (e.valueBytes > 4 && tiff_.Holds(e.valueAt, e.valueBytes)) Raise(e.valueAt + e.valueBytes);
            switch (e.tag) {
                case kMake:
                    if (Need(e.valueAt, std::min<uint64_t>(e.valueBytes, 64))) maker = tiff_.Text(e.valueAt, e.count);
                    break;
                case kModel:
                    if (Need(e.valueAt, std::min<uint64_t>(e.valueBytes, 64))) model = tiff_.Text(e.valueAt, e.count);
                    break;
                case kDateTime:
                case kDateTimeOriginal:
                    if (Need(e.valueAt, std::min<uint64_t>(e.valueBytes, 64))) date = tiff_.Text(e.valueAt, e.count);
                    break;
                case kStripOffsets: stripOffsets = e; break;
                case kStripByteCounts: stripCounts = e; break;
                case kTileOffsets: tileOffsets = e; break;
                case kTileByteCounts: tileCounts = e; break;
                case kJpegOffset: jpegOffset = e.word; break;
                case kJpegLength: jpegLength = e.word; break;
                case kSubIfds:
                    if (HasValues(e))
                        for (uint64_t k = 0; k < std::min<uint64_t>(e.count, kMaxSubIfds); ++k) subIfds.push_back(Value(e, k));
                    break;
                case kExifIfd: subIfds.push_back(e.word); break;
                default: break;
            }
        }
        DataEnd(stripOffsets, stripCounts);
        DataEnd(tileOffsets, tileCounts);
        if (jpegOffset != 0) Raise(jpegOffset + jpegLength);
        if (depth_ >= kMaxDepth) return;
        ++depth_;
        for (uint64_t sub : subIfds) Chain(sub);
        --depth_;
    }

    // The end of the pieces an offsets entry and its byte-counts entry describe.
    void DataEnd(const TiffEntry& offsets, const TiffEntry& counts) {
        if (offsets.tag == 0 || counts.tag == 0 || !HasValues(offsets) || !HasValues(counts)) return;
        for (uint64_t i = 0; i < std::min(offsets.count, counts.count); ++i) Raise(Value(offsets, i) + Value(counts, i));
    }

    const TiffBytes& tiff_;
    uint64_t available_;
    std::vector<uint64_t> seen_;
    uint32_t directories_ = 0;
    uint32_t depth_ = 0;
    bool stopped_ = false;
};

}  // namespace

class ParseTifFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        // The file's bytes at hand, up to the part looked at; more is asked for only when the
        // directories reach past them.
        size_t at = 0;
        uint32_t status = LocateFileBytes(startSector, 0, 512, bufferFirstSector, bufferBytes, at, *this);
        if (status != kParseDataOk) return status;
        uint64_t available = std::min<uint64_t>(bufferBytes - at, kLookLimit);
        bool bigEndian = buffer[at] == 'M';
        TiffBytes tiff({buffer + at, static_cast<size_t>(available)}, bigEndian);
        TiffWalk walk(tiff, available);
        walk.Chain(tiff.U32(4));
        if (walk.short_) {
            uint64_t want = std::min(std::max(walk.wanted, available + kGrowBy), kLookLimit);
            return LocateFileBytes(startSector, 0, static_cast<uint32_t>(want), bufferFirstSector, bufferBytes, at,
                                   *this);
        }
        if (walk.extent < kKeepFrom) return kParseInvalid;
        size = walk.extent;
        typeId = RawTypeOfMaker(walk.maker);
        createInfo = MakeCreateInfo(walk.maker, walk.model, L"", walk.date);
        return kParseComplete;
    }
};

IParseFile* NewTifParser() { return new ParseTifFile(); }

}  // namespace ravlin
