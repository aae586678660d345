// The video-fragment scanner: per block of a normal scan it records the QuickTime/MP4 boxes it
// meets (ftyp, moov with its chunk tables, mdat) and the offsets where sample data typically
// begins, as items of origin 1 in a list of its own, for the movie assembly after the pass.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

#include "carve/BlockWindow.h"
#include "fs/ScanItem.h"

namespace ravlin {

// Item types of the scanner.
inline constexpr uint32_t kVideoFtyp = 1;
inline constexpr uint32_t kVideoMoov = 2;
inline constexpr uint32_t kVideoMdat = 3;
inline constexpr uint32_t kVideoBlock = 4;
inline constexpr uint32_t kVideoLengthWords = 5;  // 4-byte-aligned big-endian words 32, 36, 40
inline constexpr uint32_t kVideoWordTwo = 6;      // big-endian words 2
inline constexpr uint32_t kVideoStartCodes = 7;   // 00 00 01

inline constexpr uint32_t kMaxMovieBox = 0x2000000;       // larger moov boxes are not parsed
inline constexpr uint32_t kMaxOffsetsPerList = 1u << 16;  // per block and type
inline constexpr uint64_t kMaxOffsetsPerScan = 1u << 26;  // 256 MiB of offsets in all

// What a movie box says: where it lies, its time and, per track, its chunks' file offsets.
struct MovieBoxRecord {
    uint64_t position = 0;  // absolute byte position of the box
    uint32_t size = 0;
    uint32_t time = 0x420000;  // packed local time (1980-01-01 00:00:00 when unknown)
    std::vector<std::vector<uint32_t>> chunkTables;
};

#pragma pack(push, 1)
struct MdatRecord {
    uint64_t position = 0;  // absolute byte position of the box
    uint64_t size = 0;      // its size field, or its 64-bit size when the field is 1
};
#pragma pack(pop)
static_assert(sizeof(MdatRecord) == 16, "MdatRecord is packed");

// Walks the movie box of `size` bytes at `box` (absolute byte `position`); nothing when it
// holds no chunk table. One debug line per atom walked.
std::optional<MovieBoxRecord> ParseMovieBox(const uint8_t* box, uint32_t size, uint64_t position);

// Packs a time (seconds since 1970, UTC) as local time: seconds, minutes, hours, day, month and
// years since 1980 from bit 0 up.
uint32_t PackLocalTime(int64_t seconds);

class VideoScanner {
public:
    void Reset(uint32_t scanMode);
    void ScanBlock(uint64_t blockFirst, const uint8_t* data);
    // Whether movie boxes wait for data, and whether one still wants the block at `blockFirst`.
    bool Waiting() const { return !waiting_.empty(); }
    bool WantsBlock(uint64_t blockFirst) const;
    // Parses the waiting movie boxes the window now holds; drops those it can no longer hold.
    void ContinueWaiting(const BlockWindow& window);

    const std::vector<ScanItem>& Items() const { return items_; }
    // Items of a saved scan go into the list, ahead of what this scan finds; their words point
    // at records their caller keeps for the scan's life.
    void AdoptSavedItems(const std::vector<ScanItem>& items);
    // The records behind the creation-info words of the items.
    const MovieBoxRecord* Movie(uint64_t word) const;
    const MdatRecord* Mdat(uint64_t word) const;
    // The packed list (count, then offsets from the item's start sector) of a per-block item.
    const std::vector<uint32_t>* Offsets(uint64_t word) const;

private:
    void AddMovie(size_t item, const uint8_t* box, uint32_t size, uint64_t position);
    void AddList(uint64_t blockFirst, uint32_t type, std::vector<uint32_t>&& list);

    struct Wait {
        size_t item;
        uint64_t position;
        uint32_t size;
    };
    uint32_t scanMode_ = 0;
    std::vector<ScanItem> items_;
    std::deque<MovieBoxRecord> movies_;
    std::deque<MdatRecord> mdats_;
    std::deque<std::vector<uint32_t>> lists_;
    std::unordered_map<uint64_t, uint32_t> kinds_;  // record address -> item type
    std::vector<Wait> waiting_;
    uint64_t offsetsKept_ = 0;
};

}  // namespace ravlin
