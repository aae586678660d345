// The exFAT scanner: the partition factory, the directory walk, the duplicate-directory merge
// and the free-space map.
#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/Hash.h"
#include "disk/DiskReader.h"
#include "fs/FileNode.h"
#include "fs/FreeSpaceMap.h"
#include "fs/RecycleNames.h"
#include "fs/TableRead.h"
#include "fs/exfat/ExfatRecord.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxFatBytes = 0x20000000;  // 512 MiB
constexpr uint32_t kMaxDepth = 32;
constexpr uint32_t kRootId = 2;
constexpr uint32_t kOrphanId = 1;
constexpr uint32_t kFirstFreeId = 3;
constexpr uint64_t kRootSizeHint = 0x10000;
constexpr uint32_t kRootLookSectors = 128;

// Clusters of the heap that lie on the device; none when the heap starts past its end.
uint64_t ClustersOnDevice(const ExfatGeometry& g, uint64_t lastSector) {
    if (g.clusterHeapSector > lastSector || g.clusterSectors == 0) return 0;
    return std::min<uint64_t>(g.clusterCount, (lastSector - g.clusterHeapSector) / g.clusterSectors + 1);
}

class ExfatWalk {
public:
    ExfatWalk(ExfatPartInfo& part, DiskReader& reader, const ExfatGeometry& g,
              const ParseProgressCallback& progress, bool partitionDeleted, bool deletedOnly)
        : part_(part), reader_(reader), g_(g), progress_(progress),
          partitionDeleted_(partitionDeleted), deletedOnly_(deletedOnly) {
        report_.fsType = kFsExfat;
        report_.volumeSector = part.volumeSector;
    }

    void Walk(const std::vector<ExfatDirEntry>& sets, uint32_t parent, uint32_t depth) {
        for (const ExfatDirEntry& set : sets) {
            if (stopped_) return;
            ++report_.itemsDone;
            if (!KeepGoing(progress_, report_)) {
                stopped_ = true;
                return;
            }
            RFileNode node = MakeNode(set, parent);
            uint32_t id = node.id;
            bool countable = node.IsFileKind() && node.valid;
            CountNode(node, report_);
            {
                auto lock = part_.WriteLock();
                if (part_.StoreNodeLocked(std::move(node)) == 0) continue;
                if (countable) part_.fileCount.fetch_add(1);
                if (RFileNode* p = part_.NodeAt(parent)) p->children.push_back(id);
            }
            if (!set.directory || set.firstCluster < 2 || set.length == 0 || depth >= kMaxDepth)
                continue;
            if (set.firstCluster > uint64_t{g_.clusterCount} + 1) continue;
            // The live tree is walked first, so that a deleted folder whose cluster a live one
            // took finds it claimed and does not show the live files as its own.
            if (set.deleted || partitionDeleted_) {
                deferred_.push_back({set, id, depth + 1});
                continue;
            }
            Enter(set, id, depth + 1);
        }
    }

    // The deleted folders met on the way, and those found inside them.
    void WalkDeleted() {
        for (size_t i = 0; i < deferred_.size() && !stopped_; ++i) {
            Deferred d = deferred_[i];
            Enter(d.set, d.node, d.depth);
        }
    }

    ParseProgress& Report() { return report_; }

private:
    struct Deferred {
        ExfatDirEntry set;
        uint32_t node, depth;
    };

    // Claiming a directory's first sector is what keeps a loop from being walked again.
    void Enter(const ExfatDirEntry& set, uint32_t node, uint32_t depth) {
        uint64_t first = g_.ClusterSector(set.firstCluster);
        if (!part_.IsSectorFree(first)) return;
        part_.Claim(first);
        std::vector<uint8_t> bytes;
        if (!ReadExfatDirectory(reader_, part_.fat, g_, set.firstCluster, set.length,
                                set.usesFatChain != 0, bytes))
            return;
        std::vector<ExfatDirEntry> children;
        ParseEntrySets(bytes, children);
        Walk(children, node, depth);
    }

    RFileNode MakeNode(const ExfatDirEntry& set, uint32_t parent) {
        RFileNode node;
        node.id = nextId_++;
        node.parentId = parent;
        node.size = set.length;
        node.name = set.name;
        node.firstTime = static_cast<uint32_t>(set.creationTime);
        node.secondTime = static_cast<uint32_t>(set.modificationTime);
        node.localTime = set.localTime ? 1 : 0;
        bool deleted = set.deleted || partitionDeleted_;
        if (set.directory) {
            node.kind = deleted ? NodeKind::DeletedDirectory : NodeKind::Directory;
        } else {
            node.kind = deleted ? NodeKind::DeletedFile : NodeKind::File;
            node.typeId = TypeFromFileName(node.name);
        }
        bool inHeap = set.firstCluster >= 2 && set.firstCluster <= uint64_t{g_.clusterCount} + 1;
        if (inHeap) node.firstSector = g_.ClusterSector(set.firstCluster);
        node.readOnly = (set.attributes & 0x01) != 0;
        node.hidden = (set.attributes & 0x02) != 0;
        node.system = (set.attributes & 0x04) != 0;
        node.archive = (set.attributes & 0x20) != 0;
        node.directoryFlag = set.directory ? 1 : 0;
        if (set.directory && IsRecycleBinName(node.name))
            node.ext = std::make_shared<RFileNodeRecycleName>(kRecycleBinDisplayName);
        if (!set.directory && inHeap) {
            uint64_t clusters = std::max<uint64_t>(1, (set.length + g_.bytesPerCluster - 1) / g_.bytesPerCluster);
            if (deleted || !set.usesFatChain) {
                // A deleted file's chain is gone: its data is taken as one run (exFAT does not
                // chain contiguous files at all).
                node.runs = {{node.firstSector, clusters * g_.clusterSectors}};
            } else if (!part_.fat.empty()) {
                std::vector<DataRun> runs;
                if (ExfatChainToRuns(set.firstCluster, part_.fat, g_, runs)) node.runs = std::move(runs);
            }
        }
        if (deletedOnly_ && node.kind == NodeKind::File) node.valid = 0;
        return node;
    }

    ExfatPartInfo& part_;
    DiskReader& reader_;
    const ExfatGeometry& g_;
    const ParseProgressCallback& progress_;
    bool partitionDeleted_;
    bool deletedOnly_;
    uint32_t nextId_ = kFirstFreeId;
    ParseProgress report_;
    bool stopped_ = false;
    std::vector<Deferred> deferred_;
};

}  // namespace

std::shared_ptr<ExfatPartInfo> MakeExfatPartition(DiskReader& reader, uint64_t sector,
                                                  const uint8_t* bootCopy,
                                                  const KeepRunning& keepRunning) {
    uint8_t boot[512];
    if (bootCopy) {
        std::memcpy(boot, bootCopy, 512);
    } else if (!reader.ReadSectors(boot, sector, 1)) {
        return nullptr;
    }
    ExfatGeometry g;
    if (!DecodeExfatGeometry(std::span<const uint8_t>(boot, 512), sector, g)) return nullptr;
    auto part = std::make_shared<ExfatPartInfo>();
    part->volumeSector = part->startSector = sector;
    uint32_t scale = g.bytesPerSector / 512;
    part->sectorCount = g.volumeLength * scale;
    part->clusterHeapSector = g.clusterHeapSector;
    part->clusterCount = g.clusterCount;
    std::memcpy(part->bootSector.data(), boot, 512);
    // The table as the boot sector sizes it, but loaded only as far as it holds entries of the
    // clusters the volume has (a damaged length must not size a buffer), and claimed as a range.
    uint64_t fatBytes = uint64_t{g.bytesPerSector} * g.fatLength;
    uint64_t fatSectors = (fatBytes + 511) / 512;
    uint64_t loadBytes = std::min(fatBytes, (ClustersOnDevice(g, reader.LastSector()) + 2) * 4);
    uint64_t loadSectors = (loadBytes + 511) / 512;
    if (loadBytes >= 1 && loadBytes <= kMaxFatBytes) {
        part->fat.assign(loadSectors * 512, 0);
        ReadAllocationTable(reader, g.fatSector, 0, static_cast<uint32_t>(loadSectors),
                            part->fat.data(), keepRunning);
    }
    // The table ends where the cluster heap begins, whatever its length field says.
    uint64_t tableEnd = std::min(sector + part->sectorCount, g.clusterHeapSector);
    if (g.fatSector < tableEnd) part->ClaimRange(g.fatSector, std::min(fatSectors, tableEnd - g.fatSector));
    part->Claim(sector);
    if (g.volumeLength >= 13) part->Claim(sector + 12 * scale);  // the backup boot sector
    return part;
}

void MergeDuplicateDirectories(PartInfo& part) {
    auto lock = part.WriteLock();
    FnvMap<uint64_t, std::vector<uint32_t>> bySector;
    part.ForEachNode([&](uint32_t id, const RFileNode& node) {
        if (node.IsLive() && node.IsDirectoryKind() && node.firstSector != 0)
            bySector[node.firstSector].push_back(id);
    });
    for (auto& [sector, ids] : bySector) {
        if (ids.size() < 2) continue;
        for (uint32_t from : ids) {
            for (uint32_t to : ids) {
                RFileNode* a = part.NodeAt(from);
                RFileNode* b = part.NodeAt(to);
                if (from == to || a->children.empty() || !b->children.empty()) continue;
                if (b->firstTime <= a->firstTime) continue;  // only to a newer directory
                for (uint32_t child : a->children) {
                    if (RFileNode* c = part.NodeAt(child)) c->parentId = to;
                    b->children.push_back(child);
                }
                a->children.clear();
            }
        }
    }
}

bool ScanExfat(ExfatPartInfo& part, DiskReader& reader, const ParseProgressCallback& progress,
               bool partitionDeleted, bool deletedOnly) {
    ExfatGeometry g;
    if (!DecodeExfatGeometry(part.bootSector, part.volumeSector, g)) return false;
    {
        auto lock = part.WriteLock();
        NodeKind rootKind = partitionDeleted ? NodeKind::DeletedDirectory : NodeKind::Directory;
        part.StoreNodeLocked(FolderNode(kRootId, 0, rootKind, L"\\"));
        part.rootNodeId = kRootId;
        part.orphanFolderId = kOrphanId;
        part.StoreNodeLocked(FolderNode(kOrphanId, kRootId, NodeKind::DeletedDirectory, kLostPathFolderName));
        part.NodeAt(kRootId)->children.push_back(kOrphanId);
    }
    ExfatWalk walk(part, reader, g, progress, partitionDeleted, deletedOnly);
    std::vector<uint8_t> root;
    if (ReadExfatDirectory(reader, part.fat, g, g.rootCluster, kRootSizeHint, true, root)) {
        part.Claim(g.ClusterSector(g.rootCluster));
        std::vector<ExfatDirEntry> sets;
        ParseEntrySets(root, sets);
        {
            std::wstring label = ExfatVolumeLabel(root);
            auto lock = part.WriteLock();
            part.volumeLabel = std::move(label);
        }
        walk.Walk(sets, kRootId, 0);
        walk.WalkDeleted();
    }
    ParseProgress& report = walk.Report();
    if (KeepGoing(progress, report)) {
        auto lock = part.WriteLock();
        part.ForEachNode([&](uint32_t, RFileNode& node) {
            if (node.kind != NodeKind::Empty) part.AdoptOrphan(node);
        });
    }
    if (!KeepGoing(progress, report)) return false;
    report.finished = true;
    if (progress) progress(report);

    part.earliestTime = part.latestTime = 0;
    {
        auto lock = part.ReadLock();
        part.ComputeTimeRange();
    }
    MergeDuplicateDirectories(part);
    RecoverRecycleNames(part, &reader);
    if (part.carvingFollows) {
        auto lock = part.ReadLock();
        part.BuildStartIndex();
    }
    part.scanned.store(1);
    return true;
}

bool LoadExfatFreeSpace(DiskReader& reader, uint64_t volumeSector, FreeSpaceMap& out) {
    uint8_t boot[512];
    if (!reader.ReadSectors(boot, volumeSector, 1)) return false;
    ExfatGeometry g;
    if (!DecodeExfatGeometry(std::span<const uint8_t>(boot, 512), volumeSector, g)) return false;
    // The bitmap's entry comes first in the root: its first 64 KiB are plenty.
    uint32_t rootSectors = std::min<uint32_t>(g.clusterSectors, kRootLookSectors);
    std::vector<uint8_t> root(size_t{rootSectors} * 512);
    if (!reader.ReadSectors(root.data(), g.ClusterSector(g.rootCluster), rootSectors)) return false;
    uint32_t bitmapCluster = 0;
    uint64_t bitmapLength = 0;
    for (size_t at = 0; at + 32 <= root.size(); at += 32) {
        if (root[at] == 0) break;
        if (root[at] == 0x81) {
            bitmapCluster = LoadLE32(root, at + 20);
            bitmapLength = LoadLE64(root, at + 24);
            break;
        }
    }
    if (bitmapCluster < 2 || bitmapLength == 0 || bitmapCluster > uint64_t{g.clusterCount} + 1)
        return false;
    // Clusters past the device cannot be read: the map covers those that can.
    uint64_t clusters = std::min<uint64_t>(g.clusterCount, ClustersOnDevice(g, reader.LastSector()));
    uint64_t needed = (clusters + 7) / 8;
    uint64_t sectors = (std::min(bitmapLength, needed) + 511) / 512;
    if (clusters == 0 || sectors == 0) return false;
    std::vector<uint8_t> data(sectors * 512, 0);
    ReadAllocationTable(reader, g.ClusterSector(bitmapCluster), 0, static_cast<uint32_t>(sectors),
                        data.data(), {});
    FreeSpaceMap map;
    map.clusterCount = static_cast<uint32_t>(clusters);
    map.firstSector = g.clusterHeapSector;
    map.sectorsPerCluster = g.clusterSectors;
    map.bitmap.assign(needed, 0);
    std::copy_n(data.begin(), std::min<uint64_t>(needed, data.size()), map.bitmap.begin());
    out = std::move(map);
    return true;
}

}  // namespace ravlin
