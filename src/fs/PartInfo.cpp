// The node store and the passes every scanner runs after its walk.
#include "fs/PartInfo.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "disk/DiskReader.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {
constexpr uint64_t kMaxUint64 = ~uint64_t{0};

// Stable sort on the `sector` field, a byte at a time from the lowest; bytes that every sector
// shares are skipped, so the sectors of a disk take three or four passes.
template <class T>
void StableSortBySector(std::vector<T>& items) {
    uint64_t some = 0, every = kMaxUint64;
    for (const T& item : items) some |= item.sector, every &= item.sector;
    std::vector<T> sorted(items.size());
    for (unsigned shift = 0; shift < 64; shift += 8) {
        if (((some ^ every) >> shift & 0xFF) == 0) continue;
        size_t start[256] = {};
        for (const T& item : items) ++start[(item.sector >> shift) & 0xFF];
        size_t at = 0;
        for (size_t& s : start) at += std::exchange(s, at);
        for (const T& item : items) sorted[start[(item.sector >> shift) & 0xFF]++] = item;
        items.swap(sorted);
    }
}
}  // namespace

PartInfo::~PartInfo() = default;

uint32_t PartInfo::StoreNode(RFileNode&& node) {
    auto lock = WriteLock();
    return StoreNodeLocked(std::move(node));
}

uint32_t PartInfo::StoreNodeLocked(RFileNode&& node) {
    uint32_t id = node.id;
    if (id == 0) return 0;
    RFileNode* slot = nodes_.Obtain(id);
    if (!slot) return 0;
    bool wasLive = slot->IsLive();
    *slot = std::move(node);
    NoteLivenessChange(wasLive, slot->IsLive());
    uint32_t next = nextNodeId.load();
    while (next < id + 1 && !nextNodeId.compare_exchange_weak(next, id + 1)) {
    }
    return id;
}

void PartInfo::AddFileNode(RFileNode&& node) {
    bool countable = node.IsFileKind() && node.valid;
    if (StoreNode(std::move(node)) != 0 && countable) fileCount.fetch_add(1);
}

void PartInfo::NoteLivenessChange(bool wasLive, bool isLive) {
    if (wasLive == isLive) return;
    if (isLive) {
        liveNodeCount.fetch_add(1);
    } else {
        liveNodeCount.fetch_sub(1);
    }
}

void PartInfo::ComputeTimeRange() {
    bool countDeleted = listedBySystemToo == 0 && fsType != kFsExtFind;
    ForEachNode([&](uint32_t, const RFileNode& node) {
        bool counted = node.kind == NodeKind::File ||
                       (node.kind == NodeKind::DeletedFile && countDeleted);
        if (!counted) return;
        if (node.firstTime != 0) {
            if (earliestTime == 0 || earliestTime > node.firstTime) earliestTime = node.firstTime;
            if (latestTime == 0 || latestTime < node.firstTime) latestTime = node.firstTime;
        }
        if (node.secondTime != 0 && (latestTime == 0 || latestTime < node.secondTime))
            latestTime = node.secondTime;
    });
}

void PartInfo::BuildStartIndex() {
    std::vector<StartIndexEntry> index;
    auto types = std::make_shared<std::vector<StartType>>();
    index.reserve(LiveNodeCount());
    types->reserve(LiveNodeCount());
    ForEachNode([&](uint32_t id, const RFileNode& node) {
        if (node.firstSector == 0 || node.IsDirectoryKind()) return;
        index.push_back({node.firstSector, id});
        if (node.IsFileKind()) types->push_back({node.firstSector, node.typeId});
    });
    // Both were gathered in id order: sorted stably by sector, the index is in (sector, id)
    // order, and the types of a shared sector are put in order among themselves.
    if (!std::is_sorted(index.begin(), index.end())) StableSortBySector(index);
    index.erase(std::unique(index.begin(), index.end()), index.end());
    startIndex = std::move(index);
    if (!std::is_sorted(types->begin(), types->end())) {
        StableSortBySector(*types);
        for (auto run = types->begin(); run != types->end();) {
            auto end = std::find_if(run, types->end(), [&](const StartType& t) { return t.sector != run->sector; });
            if (end - run > 1) std::sort(run, end);
            run = end;
        }
    }
    startTypes.Store(std::move(types));
}

bool PartInfo::ListsFileAt(uint64_t sector, uint32_t typeId) const {
    auto types = startTypes.Load();
    if (!types) return false;
    StartType key{sector, 0};
    for (auto it = std::lower_bound(types->begin(), types->end(), key);
         it != types->end() && it->sector == sector; ++it) {
        if (SameFormatFamily(it->typeId, typeId)) return true;
    }
    return false;
}

void PartInfo::AdoptOrphan(RFileNode& node) {
    if (node.id == rootNodeId || node.id == orphanFolderId) return;
    RFileNode* parent = LiveNodeAt(node.parentId);
    if (parent && parent->IsDirectoryKind()) return;
    RFileNode* orphans = NodeAt(orphanFolderId);
    node.parentId = orphanFolderId;
    if (orphans) orphans->children.push_back(node.id);
}

uint32_t PartInfo::FirstFreeIdFrom(uint32_t from) const {
    for (uint32_t id = from == 0 ? 1 : from; id < kSegmentedIdLimit; ++id) {
        const RFileNode* node = nodes_.Find(id);
        if (!node || node->kind == NodeKind::Empty) return id;
    }
    return 0;
}

namespace {

thread_local UnreadableCollector* currentCollector = nullptr;
constexpr uint32_t kRetrySectors = 8;  // a failed piece is read again 4 KiB at a time

// Reads `sectors` sectors from `first` into `temp` (zeros where unreadable) and notes the
// unreadable part of the file bytes [from, from + n), which lie `skip` bytes into `temp`.
void ReadPiece(DiskReader& reader, uint8_t* temp, uint64_t first, uint64_t sectors, uint64_t from,
               uint64_t n, uint64_t skip) {
    auto note = [&](uint64_t tempFrom, uint64_t tempTo) {  // bytes of `temp`
        uint64_t a = std::max(tempFrom, skip), b = std::min(tempTo, skip + n);
        if (a < b) UnreadableCollector::Note(from + (a - skip), b - a);
    };
    // Without a collector (the scan's own reads of metadata) a piece is read once: retrying it
    // 4 KiB at a time would multiply the time a failing disk costs the scan.
    if (!currentCollector) {
        reader.ReadSectors(temp, first, static_cast<uint32_t>(sectors));
        return;
    }
    const uint64_t last = reader.LastSector();
    // Sectors past the device cannot be read at all.
    uint64_t inside = first > last ? 0 : std::min<uint64_t>(sectors, last - first + 1);
    if (inside < sectors) note(inside * 512, sectors * 512);
    if (inside == 0) return;
    if (reader.ReadSectors(temp, first, static_cast<uint32_t>(inside))) return;
    for (uint64_t done = 0; done < inside; done += kRetrySectors) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kRetrySectors, inside - done));
        if (reader.IsDeviceLost() || !reader.ReadSectors(temp + done * 512, first + done, count))
            note(done * 512, (done + count) * 512);
    }
}

}  // namespace

UnreadableCollector::UnreadableCollector() : outer_(currentCollector) { currentCollector = this; }

UnreadableCollector::~UnreadableCollector() { currentCollector = outer_; }

void UnreadableCollector::Note(uint64_t offset, uint64_t length) {
    UnreadableCollector* c = currentCollector;
    if (!c || length == 0) return;
    if (!c->ranges_.empty() && c->ranges_.back().offset + c->ranges_.back().length == offset) {
        c->ranges_.back().length += length;
        return;
    }
    c->ranges_.push_back({offset, length});
}

uint32_t ReadRunsData(DiskReader* reader, const RFileNode& node, uint64_t offset, uint8_t* buffer,
                      uint32_t length) {
    if (!reader || !buffer || length == 0 || node.runs.empty() || offset >= node.size) return 0;
    uint64_t end = offset + std::min<uint64_t>(length, node.size - offset);
    uint64_t pos = 0;
    std::vector<uint8_t> temp;
    for (const DataRun& run : node.runs) {
        // Positions saturate: a run counted in damaged bytes must not wrap the file's offsets,
        // or a piece would be computed longer than the caller's buffer.
        uint64_t runBytes = run.sectorCount > kMaxUint64 / 512 ? kMaxUint64 : run.sectorCount * 512;
        uint64_t runEnd = pos > kMaxUint64 - runBytes ? kMaxUint64 : pos + runBytes;
        if (runEnd > offset && pos < end) {
            uint64_t from = std::max(pos, offset);
            uint64_t n = std::min(end, runEnd) - from;
            uint8_t* out = buffer + (from - offset);
            if (run.startSector == kSparseSector) {
                std::memset(out, 0, n);
            } else {
                uint64_t within = from - pos;
                uint64_t sectors = (within % 512 + n + 511) / 512;
                temp.assign(sectors * 512, 0);
                // A failed read leaves zeros, which is what the caller gets, and is noted; so
                // is a piece whose sector number would wrap past the end of the sector space.
                uint64_t first = run.startSector + within / 512;
                if (first >= run.startSector && first <= kMaxUint64 - sectors)
                    ReadPiece(*reader, temp.data(), first, sectors, from, n, within % 512);
                else
                    UnreadableCollector::Note(from, n);
                std::memcpy(out, temp.data() + within % 512, n);
            }
        }
        pos = runEnd;
        if (pos >= end) break;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(end, pos) - offset);
}

uint32_t PartInfo::ReadFileData(DiskReader* reader, const RFileNode* node, uint64_t offset,
                                uint8_t* buffer, uint32_t length) {
    return node ? ReadRunsData(reader, *node, offset, buffer, length) : 0;
}

}  // namespace ravlin
