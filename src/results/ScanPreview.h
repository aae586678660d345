// The live result model of one scan. Scanners only append nodes to their partitions; each
// TickPreview pulls the new ids into a filtered, browsable tree per partition, keeps the type
// index and the totals in step, and publishes snapshots that readers use without waiting.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Hash.h"
#include "fs/ScanOutput.h"
#include "results/PartView.h"
#include "results/VirtualFileTree.h"

namespace ravlin {

class ScanPreview {
public:
    ScanPreview(std::wstring previewPath, std::shared_ptr<ScanOutput> output, uint32_t scanKind);
    ScanPreview(const ScanPreview&) = delete;
    ScanPreview& operator=(const ScanPreview&) = delete;

    void SetNodeFilter(NodePredicate filter);
    // 0 when all 32 slots are taken.
    uint32_t AddCollector(NodePredicate predicate);
    void RemoveCollector(uint32_t id);
    uint64_t GetCollectedCount(uint32_t id, const PartInfo* part) const;

    // One slice of work, at most `budget` ids (0: no bound). True while there is work.
    bool TickPreview(uint32_t budget);
    bool FilterEnding() const { return filterGeneration_.load() == filterGenerationDone_.load(); }
    // A full refilter of every partition, 8192 ids per hold of a view's lock.
    void SweepTombstones();

    void SetNodeChecked(const std::shared_ptr<PartInfo>& part, uint32_t nodeId, bool checked);
    void SetNodesChecked(const PartitionList& parts, const std::vector<VirtualFileTree::NodeRef>& refs,
                         bool checked);

    std::wstring CurrentPath() const;
    std::shared_ptr<PartView> PartViewOf(const PartInfo* part) const;
    // "dir\sub\name" from the top live ancestor down.
    static std::wstring NodePath(const PartInfo& part, const RFileNode& node);

    std::shared_ptr<const PartitionList> Partitions() const { return output_->Partitions(); }
    const std::shared_ptr<ScanOutput>& Output() const { return output_; }
    VirtualFileTree& Tree() { return tree_; }
    const VirtualFileTree& Tree() const { return tree_; }
    uint64_t FoundCount() const { return totals_.foundCount.load(); }
    uint64_t FoundBytes() const { return totals_.foundBytes.load(); }
    int64_t CheckedBytes() const { return totals_.checkedBytes.load(); }
    const std::vector<std::wstring>& PathComponents() const { return pathComponents_; }

    // Tests run these where other threads may cut in: in a tick, once it has taken its copies
    // of the partition list, filter and collectors; in AddCollector, once the slot is claimed.
    std::function<void()> afterSliceForTesting_;
    std::function<void()> afterCollectorSlotForTesting_;

private:
    struct SliceState {
        std::shared_ptr<const PartitionList> parts;
        std::shared_ptr<const NodePredicate> filter;
        std::array<CollectorSlot, kCollectorSlots> collectors;
    };
    SliceState TakeSlice() const;
    PreviewContext Context(const SliceState& slice) {
        return {pathComponents_, scanKind_, *slice.filter, slice.collectors, &tree_, totals_,
                ActiveCollectors(slice.collectors)};
    }
    // Brings the views in line with the partition list; returns them in list order.
    std::vector<std::shared_ptr<PartView>> SyncViews(const SliceState& slice);
    bool ProcessPart(PartView& view, PartInfo& part, const PreviewContext& ctx, uint32_t& remaining,
                     uint64_t generation, uint32_t& lastIngested);

    std::shared_ptr<ScanOutput> output_;
    mutable std::mutex partsLock_;
    FnvMap<const PartInfo*, std::shared_ptr<PartView>> partViews_;
    mutable std::mutex filterLock_;
    std::shared_ptr<const NodePredicate> filter_;
    std::atomic<uint64_t> filterGeneration_{0};
    std::atomic<uint64_t> filterGenerationDone_{0};
    mutable std::mutex pathLock_;
    std::wstring currentPath_;
    VirtualFileTree tree_;
    mutable std::mutex collectorsLock_;
    std::array<CollectorSlot, kCollectorSlots> collectors_;
    uint32_t nextCollectorId_ = 1;
    std::wstring previewPath_;
    std::vector<std::wstring> pathComponents_;
    PreviewTotals totals_;
    uint32_t scanKind_;
};

}  // namespace ravlin
