// The post-processing stages.
#include "engine/Stages.h"

#include <algorithm>
#include <map>
#include <set>
#include <cwchar>
#include <cwctype>

#include "carve/CarvedNodes.h"
#include "carve/MovieAssembly.h"
#include "discovery/LostPartitions.h"
#include "disk/DiskReader.h"
#include "fs/FileNode.h"
#include "fs/FreeSpaceMap.h"
#include "fs/PartInfo.h"
#include "fs/RecycleNames.h"
#include "fs/rebuild/Rebuild.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxSizeSectors = 3686400;

struct Pipeline {
    StageContext& c;
    std::vector<ScanItem> items;

    const ScanInput& input() const { return c.pass.input; }
    ScanOutput& output() const { return c.pass.output; }

    // Carving items a free-space scan's stages dropped, or cut at a cluster in use, by (start
    // sector, type): stage 3 applies them to the carved nodes.
    std::set<std::pair<uint64_t, uint32_t>> dropped;
    std::map<std::pair<uint64_t, uint32_t>, uint64_t> cut;

    // Stage 1: every item of every block, in block order. A free-space scan keeps the carving
    // hits that start a cluster of the volume: a file starts on one.
    void Collect() {
        for (uint64_t b = 0; b < c.records.BlockCount(); ++b)
            if (auto list = c.records.Block(c.records.FirstBlockSector() + b * kBlockUnit))
                items.insert(items.end(), list->begin(), list->end());
        const FreeSpaceMap* map = c.freeSpace;
        if (!map) return;
        std::erase_if(items, [&](const ScanItem& item) {
            const uint64_t start = item.startSector;
            if (item.origin != kOriginCarving ||
                (start >= map->firstSector && (start - map->firstSector) % map->sectorsPerCluster == 0))
                return false;
            const uint32_t type = item.typeId;
            dropped.emplace(start, type);
            return true;
        });
    }

    // The bytes of the `size` from `start` that lie in free clusters before the first one in
    // use (or the volume's end). Whole bytes of the bitmap are passed over at once.
    static uint64_t FreeBytesFrom(const FreeSpaceMap& map, uint64_t start, uint64_t size) {
        const uint64_t perCluster = map.sectorsPerCluster;
        if (start < map.firstSector) return size;
        const uint64_t wanted = (size + 511) / 512;
        uint64_t cluster = (start - map.firstSector) / perCluster;
        const uint64_t last = (start - map.firstSector + wanted - 1) / perCluster;
        while (cluster <= last) {
            if (cluster >= map.clusterCount || map.InUse(cluster)) break;
            if (cluster % 8 == 0 && cluster / 8 < map.bitmap.size() && map.bitmap[cluster / 8] == 0 &&
                cluster + 8 <= map.clusterCount) {
                cluster += 8;
                continue;
            }
            ++cluster;
        }
        if (cluster > last) return size;
        const uint64_t freeSectors = map.firstSector + cluster * perCluster - start;
        return std::min(freeSectors * 512, size);
    }

    // Stage 2: carving items still without a size run to the next file start, or the region's end.
    void CompleteSizes() {
        const uint64_t regionEnd = input().startSector + input().sectorCount;
        for (size_t i = 0; i < items.size(); ++i) {
            ScanItem& item = items[i];
            if (item.origin != kOriginCarving || item.size != 0) continue;
            const uint64_t start = item.startSector;
            uint64_t next = regionEnd;
            for (size_t j = i + 1; j < items.size(); ++j) {
                const ScanItem& other = items[j];
                if (other.startSector > start && (other.origin == kOriginCarving || other.origin == kOriginClassifier)) {
                    next = other.startSector;
                    break;
                }
            }
            item.size = next > start ? std::min(next - start, kMaxSizeSectors) * 512 : 0;
        }
        // A free-space scan's estimates end at the first cluster in use: what lies there is a
        // live file's. A hit whose own cluster is in use is a live file's data, not a lost file.
        const FreeSpaceMap* map = c.freeSpace;
        if (!map) return;
        for (ScanItem& item : items) {
            if (item.origin != kOriginCarving || item.size == 0) continue;
            const uint64_t start = item.startSector, size = item.size;
            const uint32_t type = item.typeId;
            const uint64_t free = FreeBytesFrom(*map, start, size);
            if (free == size || (free != 0 && item.status == kParseComplete)) continue;
            item.size = free;
            if (free == 0) item.status = kParseInvalid;
            cut[{start, type}] = free;
        }
    }

    // Hides the live carved file nodes `which` chooses, keeping the counters in step.
    template <class Which>
    void HideCarved(Which which) {
        uint32_t hidden = 0;
        {
            auto lock = c.carved->WriteLock();
            std::vector<uint32_t> ids;
            c.carved->ForEachNode([&](uint32_t id, const RFileNode& node) {
                if (node.IsLive() && node.IsFileKind() && which(node)) ids.push_back(id);
            });
            for (uint32_t id : ids) hidden += SetNodeValid(*c.carved, id, false);
        }
        output().SubtractFiles(hidden);
        uint64_t carved = output().carvedFiles.load();
        while (!output().carvedFiles.compare_exchange_weak(carved, carved > hidden ? carved - hidden : 0)) {
        }
    }

    // Stage 3, for a free-space scan: the nodes of the hits stages 1 and 2 dropped are hidden,
    // and those cut at a cluster in use take the shorter size.
    void ApplyFreeSpace() {
        if (!c.carved || (dropped.empty() && cut.empty())) return;
        HideCarved([&](const RFileNode& node) {
            const std::pair<uint64_t, uint32_t> key{node.firstSector, node.typeId};
            auto shorter = cut.find(key);
            return dropped.count(key) != 0 || (shorter != cut.end() && shorter->second == 0);
        });
        auto lock = c.carved->WriteLock();
        c.carved->ForEachNode([&](uint32_t id, const RFileNode& seen) {
            auto shorter = cut.find({seen.firstSector, seen.typeId});
            if (!seen.IsLive() || !seen.IsFileKind() || shorter == cut.end() || shorter->second >= seen.size) return;
            RFileNode& node = *c.carved->NodeAt(id);
            node.size = shorter->second;
            node.runs = {{node.firstSector, (node.size + 511) / 512}};
        });
    }

    // Stage 3, its first step: a complete carved file found again, whole, inside a complete
    // file of its own type is part of that file's bytes (a picture embedded in a picture, a
    // file inside an image of a disk): its node is hidden.
    void HideContainedDuplicates() {
        if (!c.carved) return;
        std::set<std::pair<uint64_t, uint32_t>> contained;
        auto endOf = [](const ScanItem& item) -> uint64_t { return item.startSector + (item.size + 511) / 512; };
        for (size_t i = 0; i < items.size(); ++i) {
            const ScanItem& outer = items[i];
            if (outer.origin != kOriginCarving || outer.status != kParseComplete || outer.size == 0) continue;
            const uint64_t end = endOf(outer);
            const uint32_t type = outer.typeId;
            for (size_t j = i + 1; j < items.size() && items[j].startSector <= end; ++j) {
                ScanItem& inner = items[j];
                if (inner.origin != kOriginCarving || inner.status != kParseComplete || inner.typeId != type ||
                    endOf(inner) > end)
                    continue;
                inner.status = kParseInvalid;
                const uint64_t start = inner.startSector;
                contained.emplace(start, type);
            }
        }
        if (contained.empty()) return;
        HideCarved([&](const RFileNode& node) { return contained.count({node.firstSector, node.typeId}) != 0; });
    }

    // Stage 3, its second step: a name harvested from an index block in raw data names the
    // carved file of its type and exact size, when exactly one has them, and takes its start.
    // Names that match none, or several (which one they name is not known), are dropped.
    void MatchNameRecords() {
        auto& names = c.found.names;
        if (!c.carved) {
            names.clear();
            return;
        }
        if (names.empty()) return;
        constexpr uint64_t kSeveral = ~uint64_t{0};
        std::map<std::pair<uint64_t, uint32_t>, uint64_t> starts;  // (size, type) -> start
        for (const ScanItem& item : items) {
            if (item.origin != kOriginCarving || item.status == kParseNeedData || item.status == kParseInvalid ||
                item.size == 0)
                continue;
            const uint64_t size = item.size, start = item.startSector;
            const uint32_t type = item.typeId;
            auto [at, made] = starts.try_emplace({size, type}, start);
            if (!made && at->second != start) at->second = kSeveral;
        }
        std::erase_if(names, [&](NameRecord& record) {
            auto at = starts.find({record.size, record.typeId});
            if (at == starts.end() || at->second == kSeveral) return true;
            record.startSector = at->second;
            return false;
        });
    }

    // Stage 9: names from index blocks whose files no volume lists become deleted files
    // "INDX-<name>", each in a folder "Dir<parent record>" under the lost-path folder of the
    // NTFS volume that holds their data, or of a partition of reconstructed files.
    void MountIndexEntries() {
        auto& names = c.found.names;
        if (names.empty()) return;
        auto list = output().Partitions();
        auto represented = [&](const NameRecord& record) {
            for (const auto& part : *list) {
                if (part->fsType != kFsNtfs) continue;
                auto lock = part->ReadLock();
                const RFileNode* node = part->LiveNodeAt(record.nodeId);
                if (node && node->parentId == record.parentId && node->size == record.size &&
                    node->typeId == record.typeId)
                    return true;
            }
            return false;
        };
        std::map<PartInfo*, std::vector<const NameRecord*>> byPart;
        std::shared_ptr<NtfsPartInfo> reconstructed;
        for (const NameRecord& record : names) {
            if (record.startSector == 0 || record.size == 0 || record.typeId < 2 || record.name.empty() ||
                represented(record))
                continue;
            PartInfo* home = nullptr;
            for (const auto& part : *list)
                if (part->fsType == kFsNtfs && part->sectorCount != 0 && record.startSector >= part->startSector &&
                    record.startSector - part->startSector < part->sectorCount)
                    home = part.get();
            if (!home) {
                if (!reconstructed) {
                    reconstructed = std::make_shared<NtfsPartInfo>();
                    reconstructed->devicePath = input().devicePath;
                    reconstructed->secondName = L"OtherFile";
                    reconstructed->displayName = kCarvedPartitionName;
                    reconstructed->startSector = input().startSector;
                    reconstructed->sectorCount = input().sectorCount;
                }
                home = reconstructed.get();
            }
            byPart[home].push_back(&record);
        }
        for (auto& [part, records] : byPart) {
            uint32_t added = 0;
            {
                auto lock = part->WriteLock();
                if (!part->LiveNodeAt(part->rootNodeId)) {
                    const uint32_t id = part->NextNodeId() == 0 ? 1 : part->NextNodeId();
                    if (part->StoreNodeLocked(FolderNode(id, 0, NodeKind::Directory, L"\\")) == 0) continue;
                    part->rootNodeId = id;
                }
                if (!part->LiveNodeAt(part->orphanFolderId)) {
                    const uint32_t id = part->NextNodeId();
                    if (part->StoreNodeLocked(FolderNode(id, part->rootNodeId, NodeKind::Directory, kLostPathFolderName)) == 0)
                        continue;
                    part->NodeAt(part->rootNodeId)->children.push_back(id);
                    part->orphanFolderId = id;
                }
                // The folders of the lost-path folder by name, made once: millions of names may
                // go into thousands of folders.
                std::map<std::wstring, uint32_t> folders;
                for (uint32_t id : part->NodeAt(part->orphanFolderId)->children)
                    if (const RFileNode* child = part->LiveNodeAt(id); child && child->IsDirectoryKind())
                        folders.emplace(child->name, id);
                for (const NameRecord* record : records) {
                    wchar_t folderName[16];
                    std::swprintf(folderName, 16, L"Dir%08u", record->parentId);
                    uint32_t& folder = folders[folderName];
                    if (folder == 0) {
                        const uint32_t orphan = part->orphanFolderId;
                        folder = part->StoreNodeLocked(
                            FolderNode(part->NextNodeId(), orphan, NodeKind::DeletedDirectory, folderName));
                        if (folder != 0) part->NodeAt(orphan)->children.push_back(folder);
                    }
                    if (folder == 0) continue;
                    RFileNode node;
                    node.id = part->NextNodeId();
                    node.parentId = folder;
                    node.kind = NodeKind::DeletedFile;
                    node.typeId = record->typeId;
                    node.name = L"INDX-" + record->name;
                    node.size = record->size;
                    node.firstSector = record->startSector;
                    node.runs = {{record->startSector, (record->size + 511) / 512}};
                    node.firstTime = record->firstTime;
                    node.secondTime = record->secondTime;
                    const uint32_t id = part->StoreNodeLocked(std::move(node));
                    if (id == 0) continue;
                    part->NodeAt(folder)->children.push_back(id);
                    part->fileCount.fetch_add(1);
                    ++added;
                }
            }
            output().AddFiles(added);
        }
        if (reconstructed && reconstructed->FileCount() != 0) {
            reconstructed->scanned = 1;
            output().Publish(reconstructed);
        }
    }

    // Volumes are recovered in full scans only; a raw scan carves.
    bool VolumesWanted() const { return input().scanMode == kScanModeFull && !c.pass.reader.IsClosed(); }

    // Stage 4: logical volumes that extended boot records met in raw data still describe.
    void ResidualLogicalPartitions() {
        if (!VolumesWanted()) return;
        for (const ScanItem& item : items) {
            if (item.origin != kOriginClassifier || item.typeId != kFoundEbr || item.creationInfo == 0) continue;
            const auto* sector = reinterpret_cast<const uint8_t*>(uint64_t{item.creationInfo});
            AdoptResidualLogicalPartitions(c.pass, item.startSector, std::span<const uint8_t>(sector, 512));
        }
    }

    // Stage 5: volumes rebuilt from the file records and directory sectors met in raw data,
    // published as deleted partitions whose every node is deleted.
    void RecoverDamagedFileSystems() {
        for (const auto& part : c.provisional)
            if (output().Remove(part.get())) output().SubtractFiles(part->FileCount());
        if (!VolumesWanted()) return;
        auto list = output().Partitions();
        uint32_t n = 0;
        for (const auto& part : *list)
            if (part->listedBySystem || part->FileCount() != 0) ++n;
        std::vector<std::shared_ptr<PartInfo>> rebuilt;
        RebuildNtfsFromRecords(&c.pass.reader, items, rebuilt, n);
        RebuildFatFromDirectories(&c.pass.reader, items, rebuilt);
        RebuildExfatFromDirectories(&c.pass.reader, items, rebuilt);
        PublishRebuiltVolumes(c.pass, rebuilt);
    }

    // Stage 6: partitions found by searching that hold no file worth showing go.
    void FilterInvalidPartitions() {
        auto list = output().Partitions();
        for (const auto& part : *list) {
            if (part.get() == c.carved.get() || part->listedBySystem) continue;
            bool qualifying = false;
            {
                auto lock = part->ReadLock();
                part->ForEachNode([&](uint32_t id, const RFileNode& node) {
                    if (qualifying || !node.IsLive() || id == part->rootNodeId || id == part->orphanFolderId) return;
                    if ((node.kind == NodeKind::File || node.kind == NodeKind::DeletedFile) && !node.name.empty() &&
                        node.name[0] != L'$')
                        qualifying = true;
                });
            }
            if (qualifying) continue;
            if (output().Remove(part.get())) output().SubtractFiles(part->FileCount());
        }
    }

    // Stage 7: movies rebuilt from their movie boxes and the chunks found on the disk.
    void RecoverVideoFragments() {
        if (!c.video || c.video->Items().empty()) return;
        MovieAssembler assembler;
        if (!assembler.Collect(c.video->Items(), *c.video)) return;
        const uint32_t made = assembler.Assemble(c.pass.keepRunning);
        const auto& part = assembler.Partition();
        if (!part || made == 0) return;
        part->devicePath = input().devicePath;
        part->listedBySystem = part->listedBySystemToo = 0;
        output().Publish(part);
        output().AddFiles(part->FileCount());
    }

    // Stage 8: names made valid on Windows.
    void RepairNames() {
        for (const auto& part : *output().Partitions()) {
            auto lock = part->WriteLock();
            part->ForEachNode([&](uint32_t id, RFileNode& node) {
                if (node.kind == NodeKind::Empty || id == part->rootNodeId || id == part->orphanFolderId) return;
                if (node.name == L"\\") return;
                RepairName(node);
            });
        }
    }
};

}  // namespace

void PublishRebuiltVolumes(FileSystemPass& pass, const std::vector<std::shared_ptr<PartInfo>>& rebuilt) {
    for (const auto& part : rebuilt) {
        part->devicePath = pass.input.devicePath;
        part->displayName = NextDeletedPartitionName(*pass.output.Partitions());
        part->listedBySystem = part->listedBySystemToo = 0;
        {
            auto lock = part->WriteLock();
            part->ForEachNode([&](uint32_t id, RFileNode& node) {
                if (id == part->rootNodeId) return;
                if (node.kind == NodeKind::File) node.kind = NodeKind::DeletedFile;
                if (node.kind == NodeKind::Directory) node.kind = NodeKind::DeletedDirectory;
            });
        }
        pass.output.Publish(part);
        pass.output.AddFiles(part->FileCount());
    }
}

const std::vector<std::wstring>& StageNames() {
    static const std::vector<std::wstring> names = {
        L"\u6536\u96C6\u626B\u63CF\u7ED3\u679C",              // 收集扫描结果
        L"\u8865\u9F50\u6587\u4EF6\u5927\u5C0F",              // 补齐文件大小
        L"\u6574\u7406\u6587\u4EF6\u5934\u5206\u533A",        // 整理文件头分区
        L"\u89E3\u6790\u6B8B\u7559\u903B\u8F91\u5206\u533A",  // 解析残留逻辑分区
        L"\u6062\u590D\u6B8B\u7F3A\u6587\u4EF6\u7CFB\u7EDF",  // 恢复残缺文件系统
        L"\u8FC7\u6EE4\u65E0\u6548\u5206\u533A",              // 过滤无效分区
        L"\u6062\u590D\u89C6\u9891\u788E\u7247",              // 恢复视频碎片
        L"\u4FEE\u590D\u975E\u6CD5\u6587\u4EF6\u540D",        // 修复非法文件名
        L"\u6302\u8F7D NTFS INDX \u6587\u4EF6",               // 挂载 NTFS INDX 文件
    };
    return names;
}

void RunStages(StageContext& context) {
    IScanHost* host = context.pass.input.host;
    const auto& names = StageNames();
    const uint32_t total = static_cast<uint32_t>(names.size());
    if (host) host->BeginStages(total);
    Pipeline p{context, {}, {}, {}};
    for (uint32_t i = 1; i <= total; ++i) {
        if (host) host->OnStage(i, total, names[i - 1].c_str());
        switch (i) {
            case 1: p.Collect(); break;
            case 2: p.CompleteSizes(); break;
            case 3:
                p.ApplyFreeSpace();
                p.HideContainedDuplicates();
                p.MatchNameRecords();
                break;
            case 4: p.ResidualLogicalPartitions(); break;
            case 5: p.RecoverDamagedFileSystems(); break;
            case 6: p.FilterInvalidPartitions(); break;
            case 7: p.RecoverVideoFragments(); break;
            case 8: p.RepairNames(); break;
            case 9: p.MountIndexEntries(); break;
            default: break;
        }
    }
    if (host) host->EndStages();
}

bool IsReservedDeviceName(const std::wstring& name) {
    if (name.empty()) return false;
    std::wstring n = name;
    while (!n.empty() && (n.back() == L' ' || n.back() == L'.')) n.pop_back();
    n = n.substr(0, n.find(L'.'));
    for (wchar_t& ch : n) ch = static_cast<wchar_t>(std::towupper(ch));
    if (n == L"CON" || n == L"PRN" || n == L"AUX" || n == L"NUL") return true;
    return n.size() == 4 && (n.compare(0, 3, L"COM") == 0 || n.compare(0, 3, L"LPT") == 0) && n[3] >= L'1' &&
           n[3] <= L'9';
}

bool RepairName(RFileNode& node) {
    // A stream's name is its file's name and its own, each repaired on its own.
    if (const auto* stream = dynamic_cast<const RFileNodeStream*>(node.ext.get())) {
        const std::wstring& own = stream->stream;
        if (node.name.size() > own.size() && node.name.compare(node.name.size() - own.size(), own.size(), own) == 0 &&
            node.name[node.name.size() - own.size() - 1] == L':') {
            RFileNode file, part;
            file.id = node.id;
            file.name = node.name.substr(0, node.name.size() - own.size() - 1);
            part.id = node.id;
            part.name = own;
            bool changed = RepairName(file) | RepairName(part);
            if (changed) node.name = file.name + L":" + part.name;
            return changed;
        }
    }
    bool changed = false;
    std::wstring name = node.name;
    if (name.empty()) {
        wchar_t made[24];
        const bool directory = node.kind == NodeKind::Directory || node.kind == NodeKind::DeletedDirectory;
        std::swprintf(made, 24, directory ? L"Dir%08u" : L"File%08u", node.id);
        name = made;
        changed = true;
    }
    for (wchar_t& ch : name) {
        if (ch < 32 || std::wcschr(L"\"*/:<>?\\|", ch)) {
            ch = L'_';
            changed = true;
        }
    }
    if (name.back() == L' ' || name.back() == L'.') {
        name.back() = L'_';
        changed = true;
    }
    if (IsReservedDeviceName(name)) {
        name += L'_';
        changed = true;
    }
    if (changed) node.name = std::move(name);
    return changed;
}

}  // namespace ravlin
