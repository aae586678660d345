// The carved-files pseudo-partition and the nodes carved items become: sizes estimated to the
// next file start, files sorted into category and type folders.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "carve/Carver.h"
#include "common/Hash.h"
#include "fs/PartInfo.h"
#include "fs/ScanItem.h"
#include "fs/ScanOutput.h"

namespace ravlin {

inline const wchar_t* kCarvedPartitionName = L"\u91CD\u6784\u7684\u6587\u4EF6";  // 重构的文件
inline constexpr uint32_t kCarvedRootId = 1;
// A size estimate never runs past this many sectors (1,887,436,800 bytes).
inline constexpr uint64_t kMaxEstimateSectors = kMaxCarvedBytes / 512;

class CarvedNodeBuilder {
public:
    // The region scanned (its blocks and their items) and the scan mode, which limits the types
    // carved outside full scans.
    CarvedNodeBuilder(ScanOutput& output, RecordIndex& index, const CreateInfoStore& infos,
                      uint64_t regionStart, uint64_t regionCount, uint32_t scanMode);

    // Makes and publishes the partition carved files go to; forgets earlier folders.
    std::shared_ptr<ExtFindPartInfo> CreateCarvedPartition(const std::wstring& sourceName);
    const std::shared_ptr<ExtFindPartInfo>& Partition() const { return partition_; }

    // The block's items (sorted by start sector): sizes estimated to the next file start, nodes
    // for all but the block's last item, which waits for the next block.
    void BuildCarvedNodes(uint64_t blockFirst, const std::vector<ScanItem>& items);
    // One node for a finished item; false when the item makes none (see the rules in the
    // definition). `fromStage`: the item may already have a node of its type at its start.
    bool AddCarvedNode(const ScanItem& item, bool fromStage);
    // An item that finished as Found after its own block was analysed: its size is estimated to
    // the next file start after it, among the blocks indexed so far and `blockItems` (the block
    // at `horizon`, not indexed yet), else to the end of that block; then written back and given
    // its node. Other late items are written back and go through AddCarvedNode as they are.
    bool AddLateItem(ScanItem item, uint64_t horizon, const std::vector<ScanItem>& blockItems);
    // At the end of the raw pass: the items kept back for a next block that brought no items.
    void FinishKeptItems();

    uint32_t GetCategoryFolder(uint32_t category);
    uint32_t GetTypeFolder(uint32_t category, uint32_t typeId);

private:
    uint64_t EstimateEnd(const std::vector<ScanItem>& work, size_t i, uint64_t fallback) const;
    bool ListedByFileSystem(uint64_t sector, uint32_t typeId) const;
    uint32_t NewFolder(uint32_t parent, const std::wstring& name);

    ScanOutput& output_;
    RecordIndex& index_;
    const CreateInfoStore& infos_;
    uint64_t regionStart_;
    uint64_t firstBlock_;
    uint64_t lastBlock_;
    uint64_t regionEnd_;  // one past the region's last sector
    uint32_t scanMode_;
    std::shared_ptr<ExtFindPartInfo> partition_;
    FnvMap<uint32_t, uint32_t> categoryFolders_;
    FnvMap<uint32_t, uint32_t> typeFolders_;
    std::set<std::pair<uint64_t, uint32_t>> carvedStarts_;  // (sector, type) of the carved nodes
    std::set<uint64_t> keptBack_;                           // blocks whose last item waits
};

}  // namespace ravlin
