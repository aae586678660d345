// Trees of FAT-family volumes rebuilt without their tables.
#include "fs/rebuild/ClusterTree.h"

#include <cwchar>

#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "fs/RecycleNames.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {

constexpr uint32_t kRootId = 2;
constexpr uint32_t kOrphanId = 1;
constexpr uint32_t kFirstFreeId = 3;
constexpr uint32_t kMaxCluster = 0xFFFFFFF5;

}  // namespace

void BuildClusterTree(PartInfo& part, DiskReader* reader, uint64_t clusterTwo, uint32_t clusterSectors,
                      uint32_t rootCluster, const std::map<uint32_t, std::vector<RebuiltEntry>>& entries) {
    part.StoreNode(FolderNode(kRootId, 0, NodeKind::DeletedDirectory, L"\\"));
    part.rootNodeId = kRootId;
    part.orphanFolderId = kOrphanId;
    part.StoreNode(FolderNode(kOrphanId, kRootId, NodeKind::DeletedDirectory, kLostPathFolderName));
    auto sectorOf = [&](uint32_t cluster) { return clusterTwo + uint64_t{cluster - 2} * clusterSectors; };
    // Node ids: the directories named by an entry first, so that their contents find them.
    uint32_t nextId = kFirstFreeId;
    std::map<uint32_t, uint32_t> directoryNode{{rootCluster, kRootId}};
    std::map<uint32_t, bool> claimedByDeleted;
    std::vector<std::pair<uint32_t, const RebuiltEntry*>> placed;  // id, entry
    std::vector<uint32_t> parentCluster;
    for (const auto& [cluster, list] : entries) {
        for (const RebuiltEntry& e : list) {
            const uint32_t id = nextId++;
            placed.emplace_back(id, &e);
            parentCluster.push_back(cluster);
            if (!e.directory || e.firstCluster < 2 || e.firstCluster > kMaxCluster || e.firstCluster == rootCluster)
                continue;
            auto [it, added] = directoryNode.emplace(e.firstCluster, id);
            if (added) {
                claimedByDeleted[e.firstCluster] = e.deleted;
            } else if (!e.deleted && claimedByDeleted[e.firstCluster]) {
                it->second = id;
                claimedByDeleted[e.firstCluster] = false;
            }
        }
    }
    // Directories met only through their own sectors go under the lost-path folder.
    for (const auto& [cluster, list] : entries) {
        if (list.empty() || directoryNode.count(cluster)) continue;
        wchar_t name[16];
        std::swprintf(name, 16, L"Dir%08u", cluster);
        const uint32_t id = nextId++;
        RFileNode dir = FolderNode(id, kOrphanId, NodeKind::DeletedDirectory, name);
        if (cluster >= 2) dir.firstSector = sectorOf(cluster);
        part.StoreNode(std::move(dir));
        directoryNode.emplace(cluster, id);
    }
    for (size_t i = 0; i < placed.size(); ++i) {
        const auto& [id, e] = placed[i];
        RFileNode node;
        node.id = id;
        auto parent = directoryNode.find(parentCluster[i]);
        node.parentId = parent != directoryNode.end() ? parent->second : kOrphanId;
        node.size = e->size;
        node.name = e->name;
        node.firstTime = e->created;
        node.secondTime = e->modified;
        node.localTime = e->localTime ? 1 : 0;
        node.kind = e->directory ? NodeKind::DeletedDirectory : NodeKind::DeletedFile;
        node.directoryFlag = e->directory ? 1 : 0;
        node.readOnly = (e->attributes & 0x01) != 0;
        node.hidden = (e->attributes & 0x02) != 0;
        node.system = (e->attributes & 0x04) != 0;
        node.archive = (e->attributes & 0x20) != 0;
        if (!e->directory) node.typeId = TypeFromFileName(node.name);
        if (e->firstCluster >= 2 && e->firstCluster <= kMaxCluster) {
            node.firstSector = sectorOf(e->firstCluster);
            if (!e->directory && e->size > 0) {
                // Contiguous, as deleted files are taken without a table.
                const uint64_t clusterBytes = uint64_t{clusterSectors} * 512;
                if (e->size <= kMaxRunSectors * 512 - clusterBytes)
                    node.runs = {{node.firstSector, (e->size + clusterBytes - 1) / clusterBytes * clusterSectors}};
            }
        }
        if (e->directory && IsRecycleBinName(node.name))
            node.ext = std::make_shared<RFileNodeRecycleName>(kRecycleBinDisplayName);
        const bool file = !e->directory;
        if (part.StoreNode(std::move(node)) != 0 && file) part.fileCount.fetch_add(1);
    }
    {
        auto lock = part.WriteLock();
        part.ForEachNode([&](uint32_t id, RFileNode& node) {
            if (node.kind == NodeKind::Empty || id == kRootId) return;
            RFileNode* parent = part.NodeAt(node.parentId);
            if (!parent || !parent->IsDirectoryKind() || node.parentId == id) {
                node.parentId = kOrphanId;
                parent = part.NodeAt(kOrphanId);
            }
            if (parent) parent->children.push_back(id);
        });
        part.ComputeTimeRange();
    }
    RecoverRecycleNames(part, reader);
    {
        auto lock = part.ReadLock();
        part.BuildStartIndex();
    }
}

}  // namespace ravlin
