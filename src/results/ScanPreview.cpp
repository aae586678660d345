// The preview model: ticks under a budget, refilter passes, collectors, ticking for recovery.
#include "results/ScanPreview.h"

#include <algorithm>
#include <shared_mutex>

#include "fs/PartInfo.h"

namespace ravlin {
namespace {

constexpr uint32_t kSweepSlice = 8192;
constexpr uint32_t kNoBound = 0xFFFFFFFF;
constexpr uint32_t kMaxPathDepth = 4096;  // deeper chains are loops in a damaged volume

}  // namespace

ScanPreview::ScanPreview(std::wstring previewPath, std::shared_ptr<ScanOutput> output, uint32_t scanKind)
    : output_(output ? std::move(output) : std::make_shared<ScanOutput>()),
      filter_(std::make_shared<const NodePredicate>([](const RFileNode&) { return true; })),
      tree_([this](const PartitionList& parts, const std::vector<VirtualFileTree::NodeRef>& refs,
                   bool checked) { SetNodesChecked(parts, refs, checked); }),
      previewPath_(std::move(previewPath)),
      scanKind_(scanKind) {
    std::wstring component;
    auto flush = [&] {
        if (!component.empty()) pathComponents_.push_back(component);
        component.clear();
    };
    for (wchar_t c : previewPath_) {
        if (c == L'\\' || c == L'/') {
            flush();
        } else {
            component.push_back(c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c);
        }
    }
    flush();
}

void ScanPreview::SetNodeFilter(NodePredicate filter) {
    if (!filter) filter = [](const RFileNode&) { return true; };
    {
        std::lock_guard<std::mutex> guard(filterLock_);
        filter_ = std::make_shared<const NodePredicate>(std::move(filter));
    }
    filterGeneration_.fetch_add(1);
}

uint32_t ScanPreview::AddCollector(NodePredicate predicate) {
    // The slot is claimed without its predicate, its counts are cleared, and only then is the
    // predicate put in: a tick in between finds the slot in use by nothing and counts nothing,
    // so no count it makes is wiped afterwards.
    uint32_t slot = kCollectorSlots;
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> guard(collectorsLock_);
        for (uint32_t k = 0; k < kCollectorSlots; ++k) {
            if (collectors_[k].id == 0) {
                slot = k;
                break;
            }
        }
        if (slot == kCollectorSlots) return 0;
        id = nextCollectorId_++;
        if (id == 0) id = nextCollectorId_++;
        collectors_[slot].id = id;
        collectors_[slot].predicate = nullptr;
    }
    if (afterCollectorSlotForTesting_) afterCollectorSlotForTesting_();
    std::vector<std::shared_ptr<PartView>> views;
    {
        std::lock_guard<std::mutex> guard(partsLock_);
        for (const auto& [part, view] : partViews_) views.push_back(view);
    }
    for (const auto& view : views) {
        std::lock_guard<platform::RwLock> guard(view->lock);
        view->ClearCollectorSlot(slot);
        view->publishedCounts[slot].store(0);
    }
    std::lock_guard<std::mutex> guard(collectorsLock_);
    if (collectors_[slot].id == id) collectors_[slot].predicate = std::move(predicate);
    return id;
}

void ScanPreview::RemoveCollector(uint32_t id) {
    if (id == 0) return;
    uint32_t slot = kCollectorSlots;
    {
        std::lock_guard<std::mutex> guard(collectorsLock_);
        for (uint32_t k = 0; k < kCollectorSlots; ++k) {
            if (collectors_[k].id == id) {
                slot = k;
                break;
            }
        }
        if (slot == kCollectorSlots) return;
        collectors_[slot] = CollectorSlot();
    }
    std::vector<std::shared_ptr<PartView>> views;
    {
        std::lock_guard<std::mutex> guard(partsLock_);
        for (const auto& [part, view] : partViews_) views.push_back(view);
    }
    for (const auto& view : views) {
        std::lock_guard<platform::RwLock> guard(view->lock);
        view->ClearCollectorSlot(slot);
        view->counters[slot] = 0;
        view->publishedCounts[slot].store(0);
    }
}

uint64_t ScanPreview::GetCollectedCount(uint32_t id, const PartInfo* part) const {
    if (id == 0 || !part) return 0;
    uint32_t slot = kCollectorSlots;
    {
        std::lock_guard<std::mutex> guard(collectorsLock_);
        for (uint32_t k = 0; k < kCollectorSlots; ++k)
            if (collectors_[k].id == id) slot = k;
    }
    if (slot == kCollectorSlots) return 0;
    auto view = PartViewOf(part);
    return view ? view->publishedCounts[slot].load() : 0;
}

ScanPreview::SliceState ScanPreview::TakeSlice() const {
    SliceState slice;
    slice.parts = output_->Partitions();
    {
        std::lock_guard<std::mutex> guard(filterLock_);
        slice.filter = filter_;
    }
    {
        std::lock_guard<std::mutex> guard(collectorsLock_);
        slice.collectors = collectors_;
    }
    return slice;
}

std::vector<std::shared_ptr<PartView>> ScanPreview::SyncViews(const SliceState& slice) {
    std::vector<std::shared_ptr<PartView>> ordered;
    std::vector<std::shared_ptr<PartView>> dropped;
    {
        std::lock_guard<std::mutex> guard(partsLock_);
        FnvMap<const PartInfo*, std::shared_ptr<PartView>> next;
        for (const auto& part : *slice.parts) {
            if (!part) {
                ordered.push_back(nullptr);
                continue;
            }
            auto it = partViews_.find(part.get());
            auto view = it != partViews_.end() ? it->second : std::make_shared<PartView>();
            next[part.get()] = view;
            ordered.push_back(view);
        }
        for (const auto& [part, view] : partViews_)
            if (!next.count(part)) dropped.push_back(view);
        partViews_.swap(next);
    }
    // A partition that left takes its files out of the totals.
    auto ctx = Context(slice);
    for (const auto& view : dropped) {
        std::lock_guard<platform::RwLock> guard(view->lock);
        view->RemoveFromTree(ctx);
    }
    return ordered;
}

bool ScanPreview::ProcessPart(PartView& view, PartInfo& part, const PreviewContext& ctx,
                              uint32_t& remaining, uint64_t generation, uint32_t& lastIngested) {
    // A finished file-system scan or a new filter: one full refilter pass.
    bool scanned = part.scanned.load() != 0;
    if (scanned || generation != view.doneGeneration) {
        if (!view.refilterActive) {
            part.scanned.store(0);
            view.refilterActive = true;
            view.refilterCursor = 0;
            view.refilterGeneration = generation;
        } else if (generation != view.refilterGeneration) {
            view.refilterCursor = 0;
            view.refilterGeneration = generation;
            part.scanned.store(0);
        }
    }
    auto nodes = part.ReadLock();
    while (view.refilterActive) {
        if (view.refilterCursor < view.EntryLimit()) {
            uint64_t span = std::max<uint32_t>(remaining, 1);
            uint32_t to = static_cast<uint32_t>(
                std::min<uint64_t>(uint64_t{view.refilterCursor} + span, view.EntryLimit()));
            uint32_t n = view.RefilterRange(ctx, part, view.refilterCursor, to);
            view.refilterCursor = to;
            remaining = remaining > n ? remaining - n : 0;
            if (view.refilterCursor < view.EntryLimit()) return true;
        }
        view.doneGeneration = view.refilterGeneration;
        view.refilterActive = false;
        view.refilterCursor = 0;
    }
    bool more = false;
    uint32_t high = part.NextNodeId();
    if (high > view.ingestCursor) {
        uint32_t end = high;
        if (remaining < high - view.ingestCursor) {
            end = view.ingestCursor + remaining;
            remaining = 0;
            more = true;
        } else {
            remaining -= high - view.ingestCursor;
        }
        for (uint32_t id = view.ingestCursor; id < end; ++id) {
            const RFileNode* node = part.LiveNodeAt(id);
            if (node) {
                view.Ingest(ctx, part, id, *node);
                lastIngested = id;
            } else {
                view.Detach(ctx, id);
            }
        }
        view.ingestCursor = end;
    }
    return more;
}

bool ScanPreview::TickPreview(uint32_t budget) {
    // The generation is read before the filter is copied: a filter set in between is at least
    // as new as the generation this tick marks applied, and a newer generation makes the next
    // tick apply it again.
    uint64_t generation = filterGeneration_.load();
    SliceState slice = TakeSlice();
    if (afterSliceForTesting_) afterSliceForTesting_();
    auto views = SyncViews(slice);
    const PartitionList& parts = *slice.parts;
    tree_.SyncParts(parts);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i] || !views[i]) continue;
        std::lock_guard<platform::RwLock> guard(views[i]->lock);
        if (views[i]->treePartIndex == kNoTreeIndex) views[i]->treePartIndex = tree_.PartIndex(parts[i]);
    }
    uint32_t remaining = budget == 0 ? kNoBound : budget;
    bool more = false;
    bool busy = false;
    auto ctx = Context(slice);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i] || !views[i]) continue;
        if (remaining == 0) {
            more = true;
            break;
        }
        PartView& view = *views[i];
        PartInfo& part = *parts[i];
        constexpr uint32_t kNone = 0xFFFFFFFF;
        uint32_t lastIngested = kNone;
        {
            std::lock_guard<platform::RwLock> guard(view.lock);
            if (view.ingestCursor < part.NextNodeId() || view.refilterActive || part.scanned.load() != 0 ||
                view.doneGeneration != generation)
                busy = true;
            if (ProcessPart(view, part, ctx, remaining, generation, lastIngested)) more = true;
            view.Publish();
            for (uint32_t k = 0; k < kCollectorSlots; ++k) view.publishedCounts[k].store(view.counters[k]);
        }
        if (lastIngested != kNone) {
            std::wstring path;
            {
                auto nodes = part.ReadLock();
                if (const RFileNode* node = part.LiveNodeAt(lastIngested)) path = NodePath(part, *node);
            }
            std::lock_guard<std::mutex> guard(pathLock_);
            currentPath_ = std::move(path);
        }
    }
    bool passActive = false;
    for (const auto& view : views) {
        if (!view) continue;
        std::shared_lock<platform::RwLock> guard(view->lock);
        passActive = passActive || view->refilterActive || view->doneGeneration != generation;
    }
    if (!passActive) filterGenerationDone_.store(generation);
    tree_.Publish();
    return more || busy;
}

void ScanPreview::SweepTombstones() {
    SliceState slice = TakeSlice();
    auto ctx = Context(slice);
    for (const auto& part : *slice.parts) {
        if (!part) continue;
        auto view = PartViewOf(part.get());
        if (!view) continue;
        for (uint32_t from = 0;;) {
            std::lock_guard<platform::RwLock> guard(view->lock);
            if (from >= view->EntryLimit()) break;
            auto nodes = part->ReadLock();
            uint32_t to = std::min<uint32_t>(view->EntryLimit(), from + kSweepSlice);
            view->RefilterRange(ctx, *part, from, to);
            from = to;
        }
    }
}

void ScanPreview::SetNodeChecked(const std::shared_ptr<PartInfo>& part, uint32_t nodeId, bool checked) {
    if (!part) return;
    auto view = PartViewOf(part.get());
    if (!view) return;
    SliceState slice = TakeSlice();
    auto ctx = Context(slice);
    {
        std::lock_guard<platform::RwLock> guard(view->lock);
        auto nodes = part->ReadLock();
        view->SetNodeChecked(ctx, *part, nodeId, checked);
        view->Publish();
    }
    tree_.Publish();
}

void ScanPreview::SetNodesChecked(const PartitionList& parts, const std::vector<VirtualFileTree::NodeRef>& refs,
                                  bool checked) {
    if (refs.empty()) return;
    std::vector<VirtualFileTree::NodeRef> sorted;
    sorted.reserve(refs.size());
    for (const auto& ref : refs)
        if (ref.partIndex < parts.size()) sorted.push_back(ref);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.partIndex < b.partIndex; });
    SliceState slice = TakeSlice();
    auto ctx = Context(slice);
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        while (j < sorted.size() && sorted[j].partIndex == sorted[i].partIndex) ++j;
        const auto& part = parts[sorted[i].partIndex];
        auto view = part ? PartViewOf(part.get()) : nullptr;
        if (view) {
            std::lock_guard<platform::RwLock> guard(view->lock);
            auto nodes = part->ReadLock();
            for (size_t k = i; k < j; ++k) view->SetNodeChecked(ctx, *part, sorted[k].nodeId, checked);
            view->Publish();
        }
        i = j;
    }
    tree_.Publish();
}

std::wstring ScanPreview::CurrentPath() const {
    std::lock_guard<std::mutex> guard(pathLock_);
    return currentPath_;
}

std::shared_ptr<PartView> ScanPreview::PartViewOf(const PartInfo* part) const {
    std::lock_guard<std::mutex> guard(partsLock_);
    auto it = partViews_.find(part);
    return it != partViews_.end() ? it->second : nullptr;
}

std::wstring ScanPreview::NodePath(const PartInfo& part, const RFileNode& node) {
    std::vector<const std::wstring*> names;
    const RFileNode* current = &node;
    uint32_t currentId = node.id;
    for (uint32_t depth = 0; current && depth < kMaxPathDepth; ++depth) {
        if (!current->name.empty()) names.push_back(&current->name);
        uint32_t parent = current->parentId;
        if (parent == 0 || parent == currentId) break;
        current = part.LiveNodeAt(parent);
        currentId = parent;
    }
    std::wstring path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty()) path.push_back(L'\\');
        path += **it;
    }
    return path;
}

}  // namespace ravlin
