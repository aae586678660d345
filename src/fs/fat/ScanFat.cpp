// The FAT scanner: the partition factory, the directory walk, the lost-high-word pass and the
// free-space map.
#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "common/Hash.h"
#include "disk/DiskReader.h"
#include "fs/FileNode.h"
#include "fs/FreeSpaceMap.h"
#include "fs/RecycleNames.h"
#include "fs/TableRead.h"
#include "fs/fat/FatRecord.h"
#include "types/FileTypes.h"
#include "types/Signatures.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxFatBytes = 0x10000000;  // 256 MiB
constexpr uint32_t kMaxDepth = 32;
constexpr uint32_t kRootId = 2;
constexpr uint32_t kOrphanId = 1;
constexpr uint32_t kFirstFreeId = 3;

// The table as far as it holds entries of clusters that exist: the FAT size field is one
// number from disk, and a damaged one must not size a buffer past the clusters the volume (and
// the device) can have. At most 256 MiB.
uint32_t TableSectors(DiskReader& reader, const FatGeometry& g) {
    uint64_t clusters = g.maxCluster;  // entries 0 to maxCluster
    uint64_t last = reader.LastSector();
    if (g.dataStart <= last && g.clusterSectors != 0)
        clusters = std::min<uint64_t>(clusters, (last - g.dataStart) / g.clusterSectors + 2);
    uint64_t needed = (clusters + 1) * (g.isFat32 ? 4 : 2);
    uint64_t bytes = std::min({uint64_t{g.bytesPerSector} * g.fatSectors, needed, kMaxFatBytes});
    return static_cast<uint32_t>((bytes + 511) / 512);
}

bool LoadTable(DiskReader& reader, const FatGeometry& g, std::vector<uint8_t>& fat,
               const KeepRunning& keepRunning) {
    uint32_t sectors = TableSectors(reader, g);
    if (sectors == 0) return false;
    fat.assign(size_t{sectors} * 512, 0);
    ReadAllocationTable(reader, g.fat1Sector, g.fatCount >= 2 ? g.fat2Sector : 0, sectors, fat.data(),
                        keepRunning);
    return true;
}

uint32_t ClusterOfSector(const FatGeometry& g, uint64_t sector) {
    if (sector < g.dataStart || g.clusterSectors == 0) return 0;
    uint64_t c = (sector - g.dataStart) / g.clusterSectors + 2;
    return c > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(c);
}

class FatWalk {
public:
    FatWalk(FatPartInfo& part, DiskReader& reader, const FatGeometry& g,
            const ParseProgressCallback& progress, bool partitionDeleted, bool deletedOnly)
        : part_(part), reader_(reader), g_(g), progress_(progress),
          partitionDeleted_(partitionDeleted), deletedOnly_(deletedOnly) {
        report_.fsType = part.fsType;
        report_.volumeSector = part.volumeSector;
    }

    // Walks one directory's entries under node `parent`.
    void Walk(const std::vector<FatDirEntry>& entries, uint32_t parent, uint32_t depth,
              bool parentDeleted) {
        for (const FatDirEntry& entry : entries) {
            if (stopped_) return;
            ++report_.itemsDone;
            if (!KeepGoing(progress_, report_)) {
                stopped_ = true;
                return;
            }
            bool deletedContext = parentDeleted || entry.deleted;
            RFileNode node = MakeNode(entry, parent, deletedContext);
            bool directory = node.IsDirectoryKind();
            uint32_t id = node.id;
            CountNode(node, report_);
            bool countable = node.IsFileKind() && node.valid;
            {
                auto lock = part_.WriteLock();
                if (part_.StoreNodeLocked(std::move(node)) == 0) continue;
                if (countable) part_.fileCount.fetch_add(1);
                if (RFileNode* p = part_.NodeAt(parent)) p->children.push_back(id);
            }
            if (!directory || entry.firstCluster < 2 || depth >= kMaxDepth) continue;
            // The live tree is walked first: a deleted directory's cluster may belong to a live
            // one by now, and must not hand its files over as deleted ones.
            if (deletedContext) {
                deferred_.push_back({entry.firstCluster, id, depth + 1});
                continue;
            }
            if (!visited_.insert(entry.firstCluster).second) continue;
            std::vector<uint8_t> bytes;
            ReadDirectoryChain(reader_, part_.fat, g_, entry.firstCluster, bytes, &part_, false);
            std::vector<FatDirEntry> children;
            ParseDirectory(bytes, entry.firstCluster, g_.isFat32 != 0, children, true);
            Walk(children, id, depth + 1, false);
        }
    }

    // The deleted directories met on the way, and those found inside them. A directory whose
    // first cluster is allocated again holds someone else's entries: it is not entered.
    void WalkDeleted() {
        for (size_t i = 0; i < deferred_.size() && !stopped_; ++i) {
            Deferred d = deferred_[i];
            if (FatEntry(part_.fat, g_.EntryBits(), d.cluster) != 0) continue;
            if (!visited_.insert(d.cluster).second) continue;
            std::vector<uint8_t> bytes;
            if (!ReadDirectoryChain(reader_, part_.fat, g_, d.cluster, bytes, &part_, true)) continue;
            std::vector<FatDirEntry> children;
            ParseDirectory(bytes, d.cluster, g_.isFat32 != 0, children, false);
            Walk(children, d.node, d.depth, true);
        }
    }

    void MarkVisited(uint32_t cluster) { visited_.insert(cluster); }
    bool Stopped() const { return stopped_; }
    ParseProgress& Report() { return report_; }

private:
    RFileNode MakeNode(const FatDirEntry& entry, uint32_t parent, bool deletedContext) {
        RFileNode node;
        node.id = nextId_++;
        node.parentId = parent;
        node.size = entry.size;
        node.name = entry.name;
        // A deleted entry lost its first character to the deletion mark.
        if (entry.deleted && entry.shortNameUsed && !node.name.empty() && node.name[0] == L'\u00E5')
            node.name[0] = L'_';
        node.firstTime = static_cast<uint32_t>(entry.creationTime);
        node.secondTime = static_cast<uint32_t>(entry.modificationTime);
        node.localTime = 1;
        bool directory = (entry.attributes & 0x10) != 0;
        bool deleted = deletedContext || partitionDeleted_;
        if (directory) {
            node.kind = deleted ? NodeKind::DeletedDirectory : NodeKind::Directory;
        } else {
            node.kind = deleted ? NodeKind::DeletedFile : NodeKind::File;
            node.typeId = TypeFromFileName(node.name);
        }
        if (entry.firstCluster >= 2) node.firstSector = g_.ClusterSector(entry.firstCluster);
        node.readOnly = (entry.attributes & 0x01) != 0;
        node.hidden = (entry.attributes & 0x02) != 0;
        node.system = (entry.attributes & 0x04) != 0;
        node.volumeLabel = (entry.attributes & 0x08) != 0;
        node.archive = (entry.attributes & 0x20) != 0;
        node.directoryFlag = directory ? 1 : 0;
        if (directory && IsRecycleBinName(node.name))
            node.ext = std::make_shared<RFileNodeRecycleName>(kRecycleBinDisplayName);
        if (!directory && entry.firstCluster >= 2) {
            if (!deletedContext) {
                std::vector<DataRun> runs;
                if (ChainToRuns(entry.firstCluster, part_.fat, g_, runs)) node.runs = std::move(runs);
            } else {
                node.runs = ContiguousFreeRun(entry.firstCluster, entry.size);
            }
        }
        if (deletedOnly_ && node.kind == NodeKind::File) node.valid = 0;
        return node;
    }

    // A deleted file's data is taken to follow its first cluster over free clusters.
    std::vector<DataRun> ContiguousFreeRun(uint32_t first, uint64_t size) const {
        const uint32_t bits = g_.EntryBits();
        if (first > g_.maxCluster || FatEntry(part_.fat, bits, first) != 0) return {};
        uint64_t needed = std::max<uint64_t>(1, (size + g_.bytesPerCluster - 1) / g_.bytesPerCluster);
        uint64_t taken = 0;
        for (uint64_t c = first; taken < needed && c <= g_.maxCluster &&
                                 FatEntry(part_.fat, bits, static_cast<uint32_t>(c)) == 0;
             ++c)
            ++taken;
        return {{g_.ClusterSector(first), taken * g_.clusterSectors}};
    }

    FatPartInfo& part_;
    DiskReader& reader_;
    const FatGeometry& g_;
    const ParseProgressCallback& progress_;
    bool partitionDeleted_;
    bool deletedOnly_;
    struct Deferred {
        uint32_t cluster, node, depth;
    };
    uint32_t nextId_ = kFirstFreeId;
    FnvSet<uint32_t> visited_;
    std::vector<Deferred> deferred_;
    ParseProgress report_;
    bool stopped_ = false;
};

// High words that the clusters of nearby entries suggest for a deleted file.
std::vector<uint32_t> NeighbourHighWords(const FatPartInfo& part, const FatGeometry& g, uint32_t id) {
    std::vector<uint32_t> found;
    uint32_t limit = part.NextNodeId();
    for (uint32_t k = 1; k < 500; ++k) {
        for (int64_t other : {int64_t{id} + k, int64_t{id} - k}) {
            if (other < kFirstFreeId || other >= limit) continue;
            const RFileNode* n = part.NodeAt(static_cast<uint32_t>(other));
            // Only entries whose cluster numbers are whole: live ones.
            if (!n || !n->IsLive() || (n->kind != NodeKind::File && n->kind != NodeKind::Directory))
                continue;
            uint32_t cluster = ClusterOfSector(g, n->firstSector);
            if (cluster < 2) continue;
            uint32_t high = cluster >> 16;
            if (std::find(found.begin(), found.end(), high) == found.end()) found.push_back(high);
        }
        if (found.size() > 4 || (found.size() >= 2 && k > 100)) break;
    }
    std::sort(found.begin(), found.end());
    return found;
}

void RestoreHighWord(FatPartInfo& part, DiskReader& reader, const FatGeometry& g, RFileNode& node) {
    uint32_t low = ClusterOfSector(g, node.firstSector);
    if (low < 2 || low > 0xFFFF) return;
    std::vector<uint32_t> neighbours = NeighbourHighWords(part, g, node.id);
    std::vector<uint32_t> content;
    uint8_t sector[512];
    for (uint32_t h = 0; h <= (g.maxCluster >> 16) + 1; ++h) {
        uint32_t cluster = (h << 16) | low;
        if (cluster < 2 || cluster > g.maxCluster || FatEntry(part.fat, 32, cluster) != 0) continue;
        if (!reader.ReadSectors(sector, g.ClusterSector(cluster), 1)) continue;
        if (SectorMatchesType(node.typeId, std::span<const uint8_t>(sector, 512))) content.push_back(h);
    }
    std::optional<uint32_t> chosen;
    for (uint32_t h : neighbours) {
        if (std::find(content.begin(), content.end(), h) != content.end()) {
            chosen = h;
            break;
        }
    }
    if (!chosen && !content.empty() && !neighbours.empty()) {
        uint32_t target = neighbours.front();
        chosen = *std::min_element(content.begin(), content.end(), [&](uint32_t a, uint32_t b) {
            return (a > target ? a - target : target - a) < (b > target ? b - target : target - b);
        });
    }
    if (!chosen && !content.empty()) chosen = content.front();
    if (!chosen && !neighbours.empty()) chosen = neighbours.front();
    if (!chosen) return;
    uint32_t cluster = (*chosen << 16) | low;
    if (cluster == low || cluster > g.maxCluster) return;
    uint64_t clusters = std::max<uint64_t>(1, (node.size + g.bytesPerCluster - 1) / g.bytesPerCluster);
    node.firstSector = g.ClusterSector(cluster);
    node.runs = {{node.firstSector, clusters * g.clusterSectors}};
}

}  // namespace

std::shared_ptr<FatPartInfo> MakeFatPartition(DiskReader& reader, uint64_t sector,
                                              const uint8_t* bootCopy, const KeepRunning& keepRunning) {
    uint8_t boot[512];
    if (bootCopy) {
        std::memcpy(boot, bootCopy, 512);
    } else if (!reader.ReadSectors(boot, sector, 1)) {
        return nullptr;
    }
    FatGeometry g;
    if (!DecodeFatGeometry(std::span<const uint8_t>(boot, 512), sector, g)) return nullptr;
    auto part = std::make_shared<FatPartInfo>();
    part->volumeSector = part->startSector = sector;
    part->fsType = g.isFat32 ? kFsFat32 : g.isFat12 ? kFsFat12 : kFsFat16;
    part->sectorCount = g.totalSectors * (g.bytesPerSector / 512);
    part->dataStart = g.dataStart;
    part->isFat32 = g.isFat32;
    std::memcpy(part->bootSector.data(), boot, 512);
    if (!LoadTable(reader, g, part->fat, keepRunning)) return nullptr;
    // The copies as the boot sector places them, cut where the data area or the volume begins
    // to hold anything else.
    uint64_t tableEnd = std::min(sector + part->sectorCount, g.fatCount >= 2 ? g.rootDirSector : g.dataStart);
    for (uint64_t copy = 0; copy < std::min<uint64_t>(g.fatCount, 2); ++copy) {
        uint64_t first = g.fat1Sector + copy * g.fatSectors512;
        if (first < tableEnd) part->ClaimRange(first, std::min(g.fatSectors512, tableEnd - first));
    }
    // The reserved sectors (the boot sector, FAT32's information sector and backup boot sector)
    // are this volume's, not a volume of their own.
    if (g.fat1Sector > sector) part->ClaimRange(sector, std::min<uint64_t>(g.fat1Sector - sector, 64));
    return part;
}

bool ScanFat(FatPartInfo& part, DiskReader& reader, const ParseProgressCallback& progress,
             bool partitionDeleted, bool deletedOnly) {
    FatGeometry g;
    if (!DecodeFatGeometry(part.bootSector, part.volumeSector, g)) return false;
    {
        auto lock = part.WriteLock();
        NodeKind rootKind = partitionDeleted ? NodeKind::DeletedDirectory : NodeKind::Directory;
        part.StoreNodeLocked(FolderNode(kRootId, 0, rootKind, L"\\"));
        part.rootNodeId = kRootId;
        part.orphanFolderId = kOrphanId;
        part.StoreNodeLocked(FolderNode(kOrphanId, kRootId, NodeKind::DeletedDirectory, kLostPathFolderName));
        part.NodeAt(kRootId)->children.push_back(kOrphanId);
    }
    // The root is the volume's own: read as it is (what cannot be read stays zeros and ends
    // it), with bad slots costing only themselves.
    std::vector<uint8_t> root;
    if (g.isFat32) {
        ReadDirectoryChain(reader, part.fat, g, g.rootCluster, root, &part, false);
    } else {
        root.assign(size_t{g.rootDirSectors512} * 512, 0);
        if (!root.empty()) reader.ReadSectors(root.data(), g.rootDirSector, g.rootDirSectors512);
        for (uint32_t s = 0; s < g.rootDirSectors512; ++s) part.Claim(g.rootDirSector + s);
    }
    {
        std::wstring label = FatVolumeLabel(root, part.bootSector, g.isFat32 != 0);
        auto lock = part.WriteLock();
        part.volumeLabel = std::move(label);
    }
    FatWalk walk(part, reader, g, progress, partitionDeleted, deletedOnly);
    if (g.isFat32) walk.MarkVisited(g.rootCluster);  // an entry pointing back at the root
    {
        std::vector<FatDirEntry> entries;
        ParseDirectory(root, g.isFat32 ? g.rootCluster : 0, g.isFat32 != 0, entries, true);
        walk.Walk(entries, kRootId, 0, false);
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

    if (g.isFat32) {
        uint32_t limit = part.NextNodeId();
        for (uint32_t id = kFirstFreeId; id < limit; ++id) {
            RFileNode* node = part.NodeAt(id);
            if (!node || node->kind != NodeKind::DeletedFile || node->typeId < 36 || node->typeId > 177)
                continue;
            auto lock = part.WriteLock();
            RestoreHighWord(part, reader, g, *node);
        }
    }
    part.earliestTime = part.latestTime = 0;
    {
        auto lock = part.ReadLock();
        part.ComputeTimeRange();
    }
    RecoverRecycleNames(part, &reader);
    if (part.carvingFollows) {
        auto lock = part.ReadLock();
        part.BuildStartIndex();
    }
    part.scanned.store(1);
    return true;
}

bool LoadFatFreeSpace(DiskReader& reader, uint64_t volumeSector, FreeSpaceMap& out) {
    uint8_t boot[512];
    if (!reader.ReadSectors(boot, volumeSector, 1)) return false;
    FatGeometry g;
    if (!DecodeFatGeometry(std::span<const uint8_t>(boot, 512), volumeSector, g)) return false;
    std::vector<uint8_t> fat;
    if (!LoadTable(reader, g, fat, {})) return false;
    // The clusters the device holds, whatever the boot sector claims.
    uint32_t last = g.maxCluster;
    if (g.dataStart > reader.LastSector()) return false;
    last = static_cast<uint32_t>(std::min<uint64_t>(last, (reader.LastSector() - g.dataStart) / g.clusterSectors + 2));
    if (last < 2) return false;
    FreeSpaceMap map;
    map.clusterCount = last - 1;
    map.firstSector = g.dataStart;
    map.sectorsPerCluster = g.clusterSectors;
    map.bitmap.assign((uint64_t{map.clusterCount} + 7) / 8, 0);
    for (uint32_t c = 2; c <= last; ++c) {
        if (FatEntry(fat, g.EntryBits(), c) != 0) map.bitmap[(c - 2) / 8] |= 1 << ((c - 2) % 8);
    }
    out = std::move(map);
    return true;
}

}  // namespace ravlin
