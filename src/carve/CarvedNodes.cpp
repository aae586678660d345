// Carved nodes: size estimates, the duplicate checks, names and the category and type folders.
#include "carve/CarvedNodes.h"

#include <algorithm>

#include "fs/FileNode.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {

// Types carved outside full scans: pictures and video.
bool PictureOrVideo(uint32_t type) {
    return (type >= 44 && type <= 52) || type == 64 || type == 66 || type == 67 || type == 68 ||
           type == 71 || type == 72 || type == 73 || type == 82 || type == 86 || type == 88 ||
           type == 92 || (type >= 98 && type <= 104) || (type >= 108 && type <= 114) ||
           type == 143 || type == 144;
}

// Whether the item's size is still to be estimated: none yet, or a bound its parser found
// (a Found item with a size), which the estimate may shorten.
bool Estimated(const ScanItem& item) {
    return item.origin == kOriginCarving && (item.size == 0 || item.status == kParseFound);
}

// The size of `item` ending at sector `end`: the distance, capped; never above a bound.
uint64_t EstimatedSize(const ScanItem& item, uint64_t end) {
    const uint64_t start = item.startSector;
    uint64_t size = end > start ? std::min(end - start, kMaxEstimateSectors) * 512 : 0;
    const uint64_t bound = item.size;
    return bound != 0 && bound < size ? bound : size;
}

bool IsFileStart(const ScanItem& item) {
    return item.origin == kOriginCarving || item.origin == kOriginClassifier;
}

}  // namespace

CarvedNodeBuilder::CarvedNodeBuilder(ScanOutput& output, RecordIndex& index,
                                     const CreateInfoStore& infos, uint64_t regionStart,
                                     uint64_t regionCount, uint32_t scanMode)
    : output_(output), index_(index), infos_(infos), regionStart_(regionStart), scanMode_(scanMode) {
    firstBlock_ = regionStart - regionStart % kBlockUnit;
    uint64_t last = regionCount == 0 ? regionStart : regionStart + regionCount - 1;
    lastBlock_ = last - last % kBlockUnit;
    regionEnd_ = regionCount == 0 ? regionStart : regionStart + regionCount;
}

std::shared_ptr<ExtFindPartInfo> CarvedNodeBuilder::CreateCarvedPartition(const std::wstring& sourceName) {
    auto part = std::make_shared<ExtFindPartInfo>();
    part->devicePath = sourceName;
    part->displayName = part->secondName = kCarvedPartitionName;
    part->listedBySystem = part->listedBySystemToo = 0;
    part->StoreNode(FolderNode(kCarvedRootId, 0, NodeKind::Directory, L"Root"));
    part->rootNodeId = kCarvedRootId;
    categoryFolders_.clear();
    typeFolders_.clear();
    carvedStarts_.clear();
    keptBack_.clear();
    partition_ = part;
    output_.Publish(part);
    return part;
}

uint32_t CarvedNodeBuilder::NewFolder(uint32_t parent, const std::wstring& name) {
    auto lock = partition_->WriteLock();
    RFileNode* parentNode = partition_->NodeAt(parent);
    if (!parentNode) return 0;
    uint32_t id = partition_->NextNodeId();
    if (partition_->StoreNodeLocked(FolderNode(id, parent, NodeKind::Directory, name)) == 0) return 0;
    partition_->NodeAt(parent)->children.push_back(id);
    return id;
}

uint32_t CarvedNodeBuilder::GetCategoryFolder(uint32_t category) {
    auto it = categoryFolders_.find(category);
    if (it != categoryFolders_.end()) return it->second;
    if (!partition_) return 0;
    uint32_t id = NewFolder(kCarvedRootId, CategoryName(category));
    if (id != 0) categoryFolders_[category] = id;
    return id;
}

uint32_t CarvedNodeBuilder::GetTypeFolder(uint32_t category, uint32_t typeId) {
    auto it = typeFolders_.find(typeId);
    if (it != typeFolders_.end()) return it->second;
    uint32_t categoryFolder = GetCategoryFolder(category);
    if (categoryFolder == 0) return 0;
    const wchar_t* name = TypeName(typeId);
    if (!name || !*name) return categoryFolder;  // no type folder: straight into the category
    uint32_t id = NewFolder(categoryFolder, name);
    if (id != 0) typeFolders_[typeId] = id;
    return id;
}

bool CarvedNodeBuilder::ListedByFileSystem(uint64_t sector, uint32_t typeId) const {
    for (const auto& part : *output_.Partitions()) {
        if (!part || part.get() == partition_.get() || part->fsType == kFsExtFind) continue;
        if (part->ListsFileAt(sector, typeId)) return true;
    }
    return false;
}

bool CarvedNodeBuilder::AddCarvedNode(const ScanItem& item, bool fromStage) {
    if (!partition_ || item.origin != kOriginCarving) return false;
    if (item.status == kParseNeedData || item.status == kParseInvalid) return false;
    if (item.typeId == 0 || item.typeId == 1) return false;
    // A file the file-system scan already lists is not carved again.
    if (ListedByFileSystem(item.startSector, item.typeId)) return false;
    if (scanMode_ != 0 && !PictureOrVideo(item.typeId)) return false;
    const uint64_t sector = item.startSector;
    if (sector >= regionEnd_) return false;
    const uint32_t typeId = item.typeId;
    std::pair<uint64_t, uint32_t> start{sector, typeId};
    if (!fromStage && item.typeId != 61 && carvedStarts_.count(start)) return false;
    const _FILE_CREATE_INFO* info = infos_.Find(item.creationInfo);
    std::wstring name = CarvedFileName(item.typeId, item.startSector, info);
    if (name.empty()) return false;
    uint32_t folder = GetTypeFolder(CategoryOfType(item.typeId), item.typeId);
    if (folder == 0) return false;
    RFileNode node;
    node.kind = NodeKind::DeletedFile;
    node.typeId = item.typeId;
    node.firstSector = item.startSector;
    node.size = item.size;
    // A measured size may claim more than the region holds: the node keeps what is there.
    if (node.size > (regionEnd_ - sector) * 512) node.size = (regionEnd_ - sector) * 512;
    if (node.size != 0) node.runs = {{sector, (node.size + 511) / 512}};
    node.name = std::move(name);
    node.parentId = folder;
    if (info)
        node.ext = std::make_shared<RFileNodeCreationInfo>(FieldText(info->Maker, 32), FieldText(info->Model, 32),
                                                           FieldText(info->Title, 64), FieldText(info->Date, 12));
    {
        auto lock = partition_->WriteLock();
        node.id = partition_->NextNodeId();
        uint32_t id = node.id;
        if (partition_->StoreNodeLocked(std::move(node)) == 0) return false;
        partition_->fileCount.fetch_add(1);
        partition_->NodeAt(folder)->children.push_back(id);
    }
    carvedStarts_.insert(start);
    output_.carvedFiles.fetch_add(1);
    output_.AddFiles(1);
    return true;
}

// The end of item i: the start of the first later file start in `work`, else `fallback`.
uint64_t CarvedNodeBuilder::EstimateEnd(const std::vector<ScanItem>& work, size_t i,
                                        uint64_t fallback) const {
    for (size_t j = i + 1; j < work.size(); ++j) {
        if (work[j].startSector > work[i].startSector && IsFileStart(work[j])) return work[j].startSector;
    }
    return fallback;
}

void CarvedNodeBuilder::BuildCarvedNodes(uint64_t blockFirst, const std::vector<ScanItem>& items) {
    if (!partition_ || items.empty()) return;
    std::vector<ScanItem> work;
    // The item the block before kept back (none when its last item already has its node).
    if (blockFirst > firstBlock_ && keptBack_.erase(blockFirst - kBlockUnit)) {
        auto last = index_.LastItemOf(blockFirst - kBlockUnit);
        if (last && last->startSector >= regionStart_) work.push_back(*last);
    }
    work.insert(work.end(), items.begin(), items.end());
    uint64_t next = blockFirst + kBlockUnit;
    // No estimate runs past the region: its last block may hold fewer sectors.
    uint64_t fallback = std::min(next, regionEnd_);
    bool lookAhead = false;
    if (next <= lastBlock_) {
        auto following = index_.FirstItemFrom(next);
        if (following && following->startSector >= regionStart_) {
            work.push_back(*following);
            lookAhead = true;
        }
    }
    for (size_t i = 0; i < work.size(); ++i) {
        ScanItem& item = work[i];
        if (!Estimated(item)) continue;
        item.size = EstimatedSize(item, EstimateEnd(work, i, fallback));
    }
    // The last item waits for the next block; a look-ahead item only bounded the estimates.
    work.pop_back();
    if (!lookAhead) keptBack_.insert(blockFirst);
    for (const ScanItem& item : work) {
        if (item.origin == kOriginCarving && item.size != 0 && item.status != kParseNeedData &&
            item.status != kParseInvalid)
            index_.UpdateItem(item);
        AddCarvedNode(item, false);
    }
}

bool CarvedNodeBuilder::AddLateItem(ScanItem item, uint64_t horizon, const std::vector<ScanItem>& blockItems) {
    if (item.status == kParseFound && Estimated(item)) {
        const uint64_t start = item.startSector;
        const uint64_t ownBlock = start - start % kBlockUnit;
        uint64_t end = std::min(horizon + kBlockUnit, regionEnd_);
        auto consider = [&](const ScanItem& other) {
            uint64_t at = other.startSector;
            if (at > start && at < end && IsFileStart(other)) end = at;
        };
        if (auto own = index_.Block(ownBlock)) {
            for (const ScanItem& other : *own) consider(other);
        }
        if (auto following = index_.FirstItemFrom(ownBlock + kBlockUnit)) consider(*following);
        for (const ScanItem& other : blockItems) consider(other);
        item.size = EstimatedSize(item, end);
    }
    index_.UpdateItem(item);
    return AddCarvedNode(item, true);
}

void CarvedNodeBuilder::FinishKeptItems() {
    if (!partition_) return;
    for (uint64_t block : keptBack_) {
        auto last = index_.LastItemOf(block);
        if (!last || last->startSector < regionStart_) continue;
        ScanItem item = *last;
        if (Estimated(item)) {
            // To the next file start the index holds, else the end of the region.
            uint64_t end = regionEnd_;
            if (auto following = index_.FirstItemFrom(block + kBlockUnit)) end = following->startSector;
            item.size = EstimatedSize(item, end);
            if (item.size != 0 && item.status != kParseNeedData && item.status != kParseInvalid)
                index_.UpdateItem(item);
        }
        AddCarvedNode(item, false);
    }
    keptBack_.clear();
}

}  // namespace ravlin
