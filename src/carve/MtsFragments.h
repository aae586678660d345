// Transport streams in 192-byte packets (camcorder recordings): the packet rules, the follower
// that records every intact stretch of stream in the raw data, and the assembler that chains
// those stretches into recordings by their continuity counters.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "carve/BlockWindow.h"
#include "carve/ParseFile.h"
#include "fs/ScanItem.h"

namespace ravlin {

class ExtFindPartInfo;
struct ScanOutput;

inline constexpr uint32_t kTsPacket = 192;
inline constexpr uint32_t kTsChunkPackets = 2048;
inline constexpr uint32_t kTsChunkBytes = kTsPacket * kTsChunkPackets;  // 0x60000
inline constexpr uint32_t kTsFollowed = 4;  // PAT, video, audio and subtitle identifiers
inline constexpr uint32_t kCounterNotSeen = 0xFFFFFFFF;

// Packed: copy fields out before binding them to references.
#pragma pack(push, 1)
struct FragmentRecord {
    uint32_t kind = 0;  // 1 begins at a stream start, 2 in the middle, 0 none open
    uint64_t firstSector = 0;
    uint32_t headOffset = 0;  // of the first packet in the first sector: 0, 64 or 128
    uint8_t reserved1[8] = {};
    uint32_t firstCounters[kTsFollowed] = {kCounterNotSeen, kCounterNotSeen, kCounterNotSeen, kCounterNotSeen};
    uint64_t endSector = 0;  // exclusive
    uint32_t reserved2 = 0;
    uint32_t lastCounters[kTsFollowed] = {kCounterNotSeen, kCounterNotSeen, kCounterNotSeen, kCounterNotSeen};
};
#pragma pack(pop)
static_assert(sizeof(FragmentRecord) == 68, "FragmentRecord is packed");

// Checks `count` packets at `packets` against the continuity rule: for each followed identifier
// a packet with payload carries the last counter plus one (mod 16), one without payload the
// last counter again; with `fromStart` an identifier's first counter must be 0. Records first
// and last counters in `record`. Returns the index of the first bad packet (`count` when none).
uint32_t CheckTsPackets(const uint8_t* packets, uint32_t count, FragmentRecord& record, bool fromStart);

// The offset (0, 64 or 128) in the sector at `sector` where three packets in a row have their
// sync bytes, or -1; `available` bytes may be read from `sector` on.
int TsSyncOffset(const uint8_t* sector, size_t available);

// Follows the raw data for intact stretches of a 192-byte-packet transport stream. Its start
// sector moves forward as it goes; it only ever answers kParseNeedData or kParseInvalid.
class ParseMtsFrag final : public IParseVideoFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override;
    // Closes the open fragment at the end of the data offered (the end of the raw pass, or a
    // gap in it): the packets after the last whole chunk are checked as far as they go.
    void CloseAt(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes);
    // Closes the open fragment where its checked data ends and searches on from `sector`.
    void RestartAt(uint64_t sector);

    FragmentRecord open;
    std::vector<FragmentRecord> finished;

private:
    void Finish(uint64_t endByte);
};

// The video-files pseudo-partition with its root (5) and lost-files folder (4), as both video
// assemblers make it.
std::shared_ptr<ExtFindPartInfo> MakeVideoFilesPartition(const std::wstring& devicePath);

// Collects the fragments block by block through the block window, and turns the chains they
// make into the files of the video-files pseudo-partition.
class FragmentAssembler {
public:
    void Reset(const std::wstring& devicePath, RecordIndex* index);
    // The block at `blockFirst` was just fed to `window`.
    void FeedBlock(uint64_t blockFirst, const BlockWindow& window);
    // Closes what is open at the end of the raw pass, files the last block's items, and builds
    // the partition (always made; files only for chains of more than 1 MiB).
    std::shared_ptr<ExtFindPartInfo> Assemble(const BlockWindow& window, ScanOutput* output);

    size_t FragmentCount() const { return records_.size(); }
    const std::deque<FragmentRecord>& Fragments() const { return records_; }

private:
    void Collect();
    void FileCurrentBlock();

    std::unique_ptr<ParseMtsFrag> parser_;
    std::deque<FragmentRecord> records_;  // stable: items point at them
    std::vector<ScanItem> items_;         // every fragment item
    std::vector<ScanItem> blockItems_;    // the current block's
    uint64_t currentBlock_ = 0;
    bool haveBlock_ = false;
    std::wstring devicePath_;
    RecordIndex* index_ = nullptr;
};

}  // namespace ravlin
