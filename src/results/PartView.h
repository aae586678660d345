// The preview's tree of one partition: an entry per node id, linked under the nodes' parents,
// with the visible, ticked and collected aggregates kept along the ancestor chains, and the
// immutable snapshots readers browse without waiting.
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
#include "common/SegmentedTable.h"
#include "platform/RwLock.h"
#include "ravlin/Ravlin.h"

namespace ravlin {

class PartInfo;
class VirtualFileTree;

inline constexpr uint32_t kCollectorSlots = 32;
inline constexpr uint32_t kNoTreeIndex = 0xFFFFFFFF;

enum class ScopeClass : uint8_t { Pending = 0, Outside = 1, OnPath = 2, Inside = 3 };

using NodePredicate = std::function<bool(const RFileNode&)>;

struct CollectorSlot {
    uint32_t id = 0;  // 0: free
    NodePredicate predicate;
};

// The found and ticked totals of the whole preview.
struct PreviewTotals {
    std::atomic<int64_t> checkedBytes{0};
    std::atomic<uint64_t> foundBytes{0};
    std::atomic<uint64_t> foundCount{0};
};

// What the per-node operations work with: the preview path, the filter and collectors of the
// current slice, the type index and the totals.
struct PreviewContext {
    const std::vector<std::wstring>& pathComponents;
    uint32_t scanKind;
    const NodePredicate& filter;
    const std::array<CollectorSlot, kCollectorSlots>& collectors;
    VirtualFileTree* tree;
    PreviewTotals& totals;
    uint32_t activeCollectors;  // bit k: slot k holds a collector
};

inline uint32_t ActiveCollectors(const std::array<CollectorSlot, kCollectorSlots>& slots) {
    uint32_t mask = 0;
    for (uint32_t k = 0; k < kCollectorSlots; ++k)
        if (slots[k].id != 0 && slots[k].predicate) mask |= 1u << k;
    return mask;
}

inline constexpr int kDirList = 0;   // child directories with visible files
inline constexpr int kFileList = 1;  // visible child files
inline constexpr int kAllList = 2;   // every attached child

// A directory's three child lists; files never get one.
struct ChildLists {
    std::array<std::vector<uint32_t>, 3> of;
};

struct PreviewEntry {
    uint8_t visible = 0;
    uint8_t attached = 0;
    uint8_t isDirectory = 0;
    uint8_t dirty = 0;  // bit 0: the entry, bits 1-3: its lists, queued for the next publication
    uint32_t parentId = 0;
    uint64_t visibleFiles = 0;
    std::unique_ptr<ChildLists> lists;
    uint32_t collectorBits = 0;
    uint32_t typeId = 0;
    uint64_t checkedFiles = 0;
    uint64_t checkedVisibleFiles = 0;
    uint64_t visibleBytes = 0;
    uint64_t fileSize = 0;
    uint8_t checked = 0;
    uint8_t scope = 0;
    uint16_t scopeDepth = 0;

    const std::vector<uint32_t>& Children(int list) const {
        static const std::vector<uint32_t> none;
        return lists ? lists->of[list] : none;
    }
    std::vector<uint32_t>& MutableChildren(int list) {
        if (!lists) lists = std::make_unique<ChildLists>();
        return lists->of[list];
    }
};

// One node's published state.
struct EntryBrief {
    uint32_t parentId = 0;
    uint64_t visibleFiles = 0;
    uint64_t visibleBytes = 0;
    uint64_t checkedVisibleFiles = 0;
    uint64_t checkedFiles = 0;
    uint8_t visible = 0;
    uint8_t isDirectory = 0;
    uint8_t attached = 0;
    uint8_t checked = 0;
    bool Empty() const {
        return parentId == 0 && visibleFiles == 0 && visibleBytes == 0 && checkedVisibleFiles == 0 &&
               checkedFiles == 0 && !visible && !isDirectory && !attached && !checked;
    }
};

inline constexpr uint32_t kReadBlockSlots = 1024;
using ReadBlock = std::array<EntryBrief, kReadBlockSlots>;
using IdList = std::shared_ptr<const std::vector<uint32_t>>;

// The published child lists of the directories among 1024 ids, by slot, ascending.
struct ListBlock {
    std::vector<std::pair<uint16_t, IdList>> lists;
    const std::vector<uint32_t>* Find(uint16_t slot) const;
    void Set(uint16_t slot, IdList list);  // a null list removes the slot
};

// Immutable leaves in pages of 64, copied on write page by page: a publication copies the page
// list (one pointer per 64 leaves) and only the pages and leaves it changes.
template <class Leaf>
class CowTable {
public:
    static constexpr size_t kFanout = 64;
    using Page = std::array<std::shared_ptr<const Leaf>, kFanout>;

    const Leaf* At(size_t index) const {
        size_t p = index / kFanout;
        if (p >= pages_.size() || !pages_[p]) return nullptr;
        return (*pages_[p])[index % kFanout].get();
    }
    size_t Capacity() const { return pages_.size() * kFanout; }

    // The edits of one publication to a table not yet published: each page and each leaf is
    // copied at most once.
    class Edit {
    public:
        explicit Edit(CowTable& table) : table_(table) {}
        Leaf& Writable(uint32_t index) {
            if (Leaf** known = leaves_.Find(index)) return **known;
            auto& slot = WritablePage(index / kFanout)[index % kFanout];
            auto copy = slot ? std::make_shared<Leaf>(*slot) : std::make_shared<Leaf>();
            Leaf* raw = copy.get();
            slot = std::move(copy);
            leaves_[index] = raw;
            return *raw;
        }

    private:
        Page& WritablePage(uint32_t p) {
            if (Page** known = pages_.Find(p)) return **known;
            if (p >= table_.pages_.size()) table_.pages_.resize(p + 1);
            auto& slot = table_.pages_[p];
            auto copy = slot ? std::make_shared<Page>(*slot) : std::make_shared<Page>();
            Page* raw = copy.get();
            slot = std::move(copy);
            pages_[p] = raw;
            return *raw;
        }
        CowTable& table_;
        FlatMap<uint32_t, Leaf*> leaves_;
        FlatMap<uint32_t, Page*> pages_;
    };

private:
    std::vector<std::shared_ptr<const Page>> pages_;
};

// An immutable snapshot of a partition's tree.
struct PartReadView {
    CowTable<ReadBlock> blocks;  // block b holds ids b * 1024 to b * 1024 + 1023
    uint32_t entryCount = 0;
    CowTable<ListBlock> dirChildren;
    CowTable<ListBlock> fileChildren;
    CowTable<ListBlock> allChildren;

    const EntryBrief* Brief(uint32_t id) const;
    const std::vector<uint32_t>* Dirs(uint32_t id) const { return ListOf(dirChildren, id); }
    const std::vector<uint32_t>* Files(uint32_t id) const { return ListOf(fileChildren, id); }
    const std::vector<uint32_t>* All(uint32_t id) const { return ListOf(allChildren, id); }

private:
    static const std::vector<uint32_t>* ListOf(const CowTable<ListBlock>& table, uint32_t id);
};

class PartView {
public:
    PartView();
    PartView(const PartView&) = delete;
    PartView& operator=(const PartView&) = delete;

    // ---- writer operations: the caller holds `lock` exclusively ----
    void Ingest(const PreviewContext& ctx, const PartInfo& part, uint32_t id, const RFileNode& node);
    void Detach(const PreviewContext& ctx, uint32_t id);
    uint32_t RefilterRange(const PreviewContext& ctx, const PartInfo& part, uint32_t from, uint32_t to);
    void SetNodeChecked(const PreviewContext& ctx, const PartInfo& part, uint32_t id, bool checked);
    // Takes the view's files out of the type index and the totals (the partition left the scan).
    void RemoveFromTree(const PreviewContext& ctx);
    // Clears a removed collector's bit in every entry and its count.
    void ClearCollectorSlot(uint32_t slot);
    // Publishes what changed since the last publication.
    void Publish();

    // ---- readers: any thread, no lock beyond a short copy of the snapshot pointer ----
    std::shared_ptr<const PartReadView> Snapshot() const;
    uint64_t VisibleChildCount(uint32_t id) const;
    uint32_t VisibleChildAt(uint32_t id, uint64_t index) const;
    uint64_t VisibleDirCount(uint32_t id) const;
    uint32_t VisibleDirAt(uint32_t id, uint64_t index) const;
    uint64_t AllChildCount(uint32_t id) const;
    uint32_t AllChildAt(uint32_t id, uint64_t index) const;
    // Positions `first` to `first + count - 1` of the children of `id`, from one snapshot: of
    // every attached one, or of the visible ones (directories first) with `visibleOnly`.
    // Returns how many of those positions the list has.
    uint64_t ChildIds(uint32_t id, bool visibleOnly, uint64_t first, uint64_t count,
                      std::vector<uint32_t>& out) const;
    bool NodeStatus(uint32_t id, NodeStatusBrief& out) const;

    // For tests and for the preview's bookkeeping (lock held).
    const PreviewEntry* EntryAt(uint32_t id) const { return entries_.Find(id); }
    uint32_t EntryLimit() const { return entryLimit_; }

    uint32_t ingestCursor = 0;
    std::array<uint64_t, kCollectorSlots> counters{};
    platform::RwLock lock;
    uint32_t refilterCursor = 0;
    bool refilterActive = false;
    uint64_t refilterGeneration = 0;
    uint64_t doneGeneration = 0;
    std::array<std::atomic<uint64_t>, kCollectorSlots> publishedCounts;
    uint32_t treePartIndex = kNoTreeIndex;

private:
    PreviewEntry* Slot(uint32_t id);
    PreviewEntry& Entry(uint32_t id);
    bool EverSlotted(uint32_t id) const;
    ScopeClass Classify(const PreviewContext& ctx, const PartInfo& part, uint32_t id,
                        const RFileNode& node, uint32_t& missingId, uint16_t& depth);
    void Attach(const PreviewContext& ctx, uint32_t id, PreviewEntry& e, const RFileNode& node);
    void ReleaseWaiters(const PreviewContext& ctx, const PartInfo& part, uint32_t id);
    void SetVisible(const PreviewContext& ctx, uint32_t id, PreviewEntry& e, bool now);
    void PropagateUp(uint32_t start, uint64_t files, uint64_t bytes, uint64_t ticked, bool add);
    void EvaluateCollectors(const PreviewContext& ctx, PreviewEntry& e, const RFileNode& node);
    void Link(uint32_t parent, uint32_t child, int list);
    void Unlink(uint32_t parent, uint32_t child, int list);
    void Move(const PreviewContext& ctx, uint32_t id, uint32_t newParent);
    void DetachDirectory(uint32_t id, PreviewEntry& e);
    void AddCheckedToAncestors(uint32_t start, uint64_t files, bool add);
    void RefreshFile(const PreviewContext& ctx, uint32_t id, const RFileNode& node);
    void Mark(uint32_t id);
    void Mark(uint32_t id, PreviewEntry& e);
    void MarkList(uint32_t id, int list);
    void MarkList(uint32_t id, int list, PreviewEntry& e);

    SegmentedTable<PreviewEntry> entries_;
    uint32_t entryLimit_ = 0;
    // Bit per id: its entry was handed out by Slot. Entries never handed out keep their
    // default state (at most marked for publication).
    std::vector<uint64_t> slotted_;
    FlatMap<uint32_t, std::vector<uint32_t>> waiting_;
    std::vector<std::pair<uint32_t, const RFileNode*>> ingestWork_;
    // Ids to republish, each queued once (the entry's dirty bits say whether it is queued).
    std::vector<uint32_t> dirtyEntries_;
    std::array<std::vector<uint32_t>, 3> dirtyLists_;  // dir, file, all
    mutable std::mutex readViewLock_;
    std::shared_ptr<const PartReadView> readView_;
};

}  // namespace ravlin
