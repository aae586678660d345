// One found volume: where it lies, what it is called, and the nodes its scanner found.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>  // std::shared_lock
#include <string>
#include <vector>

#include "common/AtomicShared.h"
#include "common/Hash.h"
#include "common/SegmentedTable.h"
#include "disk/PartitionTables.h"
#include "platform/RwLock.h"
#include "ravlin/Ravlin.h"

namespace ravlin {

class DiskReader;

// Longest run any decoder keeps, in 512-byte sectors (128 PiB): byte counts of runs and their
// sums stay far from wrapping.
inline constexpr uint64_t kMaxRunSectors = uint64_t{1} << 48;

struct StartIndexEntry {
    uint64_t sector;
    uint32_t nodeId;
    bool operator<(const StartIndexEntry& o) const {
        return sector != o.sector ? sector < o.sector : nodeId < o.nodeId;
    }
    bool operator==(const StartIndexEntry& o) const {
        return sector == o.sector && nodeId == o.nodeId;
    }
};

// Node store rules: one scanner thread writes a partition; readers on other threads (the
// preview, the view) look only at ids below NextNodeId(). Every change to a node that is
// already stored happens under the exclusive node lock, and readers on other threads hold
// the shared node lock while they look at nodes, so a rename or a relink never tears under
// a reader.
class PartInfo {
public:
    virtual ~PartInfo();
    PartInfo(const PartInfo&) = delete;
    PartInfo& operator=(const PartInfo&) = delete;

    // Copies up to `length` bytes of the file from byte `offset`; returns the bytes produced.
    // Unreadable sectors give zeros; a bad node or offset gives 0.
    virtual uint32_t ReadFileData(DiskReader* reader, const RFileNode* node, uint64_t offset,
                                  uint8_t* buffer, uint32_t length);
    // False when the sector is known metadata of this volume.
    virtual bool IsSectorFree(uint64_t sector) const = 0;

    // Moves the node into its slot; returns its id, or 0 when the id is 0 or has no place.
    uint32_t StoreNode(RFileNode&& node);
    // StoreNode, counting a stored live file node in fileCount.
    void AddFileNode(RFileNode&& node);
    // The same with the node lock already held exclusively by the caller.
    uint32_t StoreNodeLocked(RFileNode&& node);

    // Faults in the store's memory for ids [first, end) ahead of the scanner; any thread.
    void PrefaultNodes(uint32_t first, uint32_t end) { nodes_.Prefault(first, end); }

    RFileNode* NodeAt(uint32_t id) const { return nodes_.Find(id); }
    RFileNode* LiveNodeAt(uint32_t id) const {
        RFileNode* node = nodes_.Find(id);
        return node && node->IsLive() ? node : nullptr;
    }
    uint32_t FileCount() const { return fileCount.load(); }
    uint32_t NextNodeId() const { return nextNodeId.load(std::memory_order_acquire); }
    uint32_t LiveNodeCount() const { return liveNodeCount.load(); }

    // Post-scan passes.
    void ComputeTimeRange();
    void BuildStartIndex();
    void AdoptOrphan(RFileNode& node);

    // Whether a file node of the scan starts at `sector` with type `typeId`, or a type of its
    // format family (from the start index: nodes stored after it was built are not seen). Any
    // thread.
    bool ListsFileAt(uint64_t sector, uint32_t typeId) const;

    // The first free id at or above `from` (a slot that is empty or has no segment yet).
    uint32_t FirstFreeIdFrom(uint32_t from) const;

    // Visits every slot below NextNodeId() in id order: f(id, node).
    template <class F>
    void ForEachNode(F&& f) const {
        nodes_.ForEachBelow(NextNodeId(), std::forward<F>(f));
    }

    std::unique_lock<platform::RwLock> WriteLock() const {
        return std::unique_lock<platform::RwLock>(nodeLock_);
    }
    std::shared_lock<platform::RwLock> ReadLock() const {
        return std::shared_lock<platform::RwLock>(nodeLock_);
    }
    // The write lock when no one holds the node lock now; not owned otherwise.
    std::unique_lock<platform::RwLock> TryWriteLock() const {
        return std::unique_lock<platform::RwLock>(nodeLock_, std::try_to_lock);
    }

    // Adjusts liveNodeCount after a node's liveness changed in place (kind or valid).
    void NoteLivenessChange(bool wasLive, bool isLive);

    uint32_t fsType;
    uint64_t startSector = 0;
    uint64_t volumeSector = 0;
    uint64_t sectorCount = 0;
    std::atomic<uint32_t> scanned{0};
    std::wstring devicePath;
    std::wstring secondName;
    std::wstring displayName;
    // The label the volume gives itself, empty without one. Written by the scan under the
    // node lock (the partition is published by then), read under it.
    std::wstring volumeLabel;
    uint16_t driveLetter = 0;
    uint32_t listedBySystem = 0;
    uint32_t listedBySystemToo = 0;
    std::atomic<uint32_t> nextNodeId{0};
    std::atomic<uint32_t> liveNodeCount{0};
    std::atomic<uint32_t> rootNodeId{0};  // set during the scan, read by the preview
    std::atomic<uint32_t> orphanFolderId{0};
    std::atomic<uint32_t> fileCount{0};
    uint32_t earliestTime = 0;
    uint32_t latestTime = 0;
    // False when no raw pass follows the file-system scan (the quick kinds): the start indexes,
    // which serve only that pass, are then not built.
    bool carvingFollows = true;
    std::vector<StartIndexEntry> startIndex;
    // (start sector, type) of the file nodes, sorted, for the raw pass's duplicate check.
    struct StartType {
        uint64_t sector;
        uint32_t typeId;
        bool operator<(const StartType& o) const {
            return sector != o.sector ? sector < o.sector : typeId < o.typeId;
        }
    };
    AtomicSharedPtr<const std::vector<StartType>> startTypes;

protected:
    explicit PartInfo(uint32_t type) : fsType(type) {}

private:
    SegmentedTable<RFileNode> nodes_;
    mutable platform::RwLock nodeLock_;
};

// NTFS, FAT and exFAT records: the boot sector they were made from and the sectors of the
// file system's own metadata.
class FileSystemPartInfo : public PartInfo {
public:
    std::array<uint8_t, 512> bootSector{};
    FlatSet<uint64_t> claimedSectors;
    // Long stretches of metadata (the copies of a FAT), kept as ranges rather than one entry
    // per sector.
    std::vector<DataRun> claimedRanges;

    void Claim(uint64_t sector) { claimedSectors.Insert(sector); }
    void ClaimRange(uint64_t first, uint64_t count) {
        if (count != 0) claimedRanges.push_back({first, count});
    }
    bool IsClaimed(uint64_t sector) const {
        for (const DataRun& r : claimedRanges)
            if (sector >= r.startSector && sector - r.startSector < r.sectorCount) return true;
        return claimedSectors.Contains(sector);
    }

protected:
    explicit FileSystemPartInfo(uint32_t type) : PartInfo(type) {}
};

class NtfsPartInfo : public FileSystemPartInfo {
public:
    NtfsPartInfo() : FileSystemPartInfo(kFsNtfs) {}
    uint32_t ReadFileData(DiskReader* reader, const RFileNode* node, uint64_t offset,
                          uint8_t* buffer, uint32_t length) override;
    bool IsSectorFree(uint64_t sector) const override;

    std::vector<DataRun> mftRuns;
    uint64_t mirrorSector = 0;
};

class FatPartInfo : public FileSystemPartInfo {
public:
    FatPartInfo() : FileSystemPartInfo(kFsFat32) {}
    bool IsSectorFree(uint64_t sector) const override { return !IsClaimed(sector); }

    uint32_t isFat32 = 0;
    std::vector<uint8_t> fat;  // the in-memory file allocation table
    uint64_t dataStart = 0;
};

class ExfatPartInfo : public FileSystemPartInfo {
public:
    ExfatPartInfo() : FileSystemPartInfo(kFsExfat) {}
    bool IsSectorFree(uint64_t sector) const override { return !IsClaimed(sector); }

    std::vector<uint8_t> fat;
    std::vector<uint8_t> bitmap;
    uint32_t clusterCount = 0;
    uint64_t clusterHeapSector = 0;
};

// Pseudo-partition of files no file system lists (carved files, rebuilt videos).
class ExtFindPartInfo : public PartInfo {
public:
    ExtFindPartInfo() : PartInfo(kFsExtFind) {}
    bool IsSectorFree(uint64_t) const override { return true; }
};

// A range of a file's bytes that could not be read from the device (given as zeros).
struct UnreadableRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// While one lives, the content reads of its thread note in it the ranges they could not read.
// Collectors nest; the innermost one collects.
class UnreadableCollector {
public:
    UnreadableCollector();
    ~UnreadableCollector();
    UnreadableCollector(const UnreadableCollector&) = delete;
    UnreadableCollector& operator=(const UnreadableCollector&) = delete;

    // Ranges in file order, adjacent ones joined.
    const std::vector<UnreadableRange>& Ranges() const { return ranges_; }
    // Notes a range with the thread's collector; nothing when there is none.
    static void Note(uint64_t offset, uint64_t length);

private:
    std::vector<UnreadableRange> ranges_;
    UnreadableCollector* outer_;
};

// The base content reader over a node's runs (sparse runs read as zeros). While the thread has
// an UnreadableCollector, a piece that fails is read again 4 KiB at a time, and what still
// fails, and what lies past the device, is noted with it.
uint32_t ReadRunsData(DiskReader* reader, const RFileNode& node, uint64_t offset, uint8_t* buffer,
                      uint32_t length);

}  // namespace ravlin
