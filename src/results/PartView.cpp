// The partition preview tree: classification under the preview path, attaching, visibility,
// aggregates, ticks, collectors, refiltering, and copy-on-write publication.
#include "results/PartView.h"

#include <algorithm>
#include <bit>

#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "platform/Text.h"
#include "results/VirtualFileTree.h"

namespace ravlin {
namespace {

constexpr uint32_t kMaxChain = 0x100000;  // bound on every walk up an ancestor chain

void SubtractFloor(uint64_t& value, uint64_t amount) { value = value > amount ? value - amount : 0; }

template <class T>
void AtomicSubtractFloor(std::atomic<T>& value, T amount) {
    T current = value.load();
    while (!value.compare_exchange_weak(current, current > amount ? current - amount : 0)) {
    }
}

bool HasSubtreeValues(const PreviewEntry& e) {
    return e.visibleFiles != 0 || e.visibleBytes != 0 || e.checkedVisibleFiles != 0 ||
           !e.Children(kDirList).empty() || !e.Children(kFileList).empty();
}

bool NamesMatch(const std::wstring& name, const std::wstring& component) {
    if (name.size() != component.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (platform::AsciiLower(name[i]) != component[i]) return false;
    return true;
}

}  // namespace

const EntryBrief* PartReadView::Brief(uint32_t id) const {
    const ReadBlock* block = blocks.At(id / kReadBlockSlots);
    return block ? &(*block)[id % kReadBlockSlots] : nullptr;
}

const std::vector<uint32_t>* PartReadView::ListOf(const CowTable<ListBlock>& table, uint32_t id) {
    const ListBlock* block = table.At(id / kReadBlockSlots);
    return block ? block->Find(static_cast<uint16_t>(id % kReadBlockSlots)) : nullptr;
}

const std::vector<uint32_t>* ListBlock::Find(uint16_t slot) const {
    auto it = std::lower_bound(lists.begin(), lists.end(), slot,
                               [](const auto& entry, uint16_t s) { return entry.first < s; });
    return it != lists.end() && it->first == slot ? it->second.get() : nullptr;
}

void ListBlock::Set(uint16_t slot, IdList list) {
    auto it = std::lower_bound(lists.begin(), lists.end(), slot,
                               [](const auto& entry, uint16_t s) { return entry.first < s; });
    bool present = it != lists.end() && it->first == slot;
    if (!list) {
        if (present) lists.erase(it);
    } else if (present) {
        it->second = std::move(list);
    } else {
        lists.insert(it, {slot, std::move(list)});
    }
}

PartView::PartView() {
    for (auto& c : publishedCounts) c.store(0);
}

PreviewEntry* PartView::Slot(uint32_t id) {
    PreviewEntry* e = entries_.Obtain(id);  // null for an id no node store can hold
    if (!e) return e;
    if (id >= entryLimit_) entryLimit_ = id + 1;
    if (id / 64 >= slotted_.size()) slotted_.resize(id / 64 + 1);
    slotted_[id / 64] |= uint64_t{1} << (id % 64);
    return e;
}

bool PartView::EverSlotted(uint32_t id) const {
    return id / 64 < slotted_.size() && (slotted_[id / 64] >> (id % 64) & 1) != 0;
}

PreviewEntry& PartView::Entry(uint32_t id) { return *Slot(id); }

// ---------------------------------------------------------------------------------------------
// Classification under the preview path
// ---------------------------------------------------------------------------------------------

ScopeClass PartView::Classify(const PreviewContext& ctx, const PartInfo& part, uint32_t id,
                              const RFileNode& node, uint32_t& missingId, uint16_t& depthOut) {
    const auto& components = ctx.pathComponents;
    if (components.empty()) return ScopeClass::Inside;
    struct Element {
        uint32_t id;
        const std::wstring* name;
    };
    std::vector<Element> chain{{id, &node.name}};
    uint32_t depth = 0;
    bool fromOnPath = false;
    const RFileNode* current = &node;
    uint32_t currentId = id;
    for (uint32_t step = 0; step < kMaxChain; ++step) {
        uint32_t p = current->parentId;
        if (p == 0 || p == currentId) break;
        const PreviewEntry* pe = entries_.Find(p);
        if (pe && pe->scope != static_cast<uint8_t>(ScopeClass::Pending)) {
            if (pe->scope == static_cast<uint8_t>(ScopeClass::OnPath)) {
                depth = pe->scopeDepth;
                fromOnPath = true;
                break;
            }
            return static_cast<ScopeClass>(pe->scope);
        }
        const RFileNode* parent = part.LiveNodeAt(p);
        if (!parent) {
            missingId = p;
            return ScopeClass::Pending;
        }
        chain.push_back({p, &parent->name});
        current = parent;
        currentId = p;
    }
    uint32_t topId = chain.back().id;
    if (topId == part.orphanFolderId) return ScopeClass::Inside;
    if (ctx.scanKind == 8 || ctx.scanKind == 5) {
        if (RecycleNameOf(node)) return ScopeClass::Inside;
        if (node.IsDirectoryKind()) {
            depthOut = 0;
            return ScopeClass::OnPath;
        }
    }
    // The root stands for the first component (the drive) and is not compared.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        bool isRoot = !fromOnPath && it->id == part.rootNodeId;
        if (!isRoot && it->name->empty()) continue;
        if (depth >= components.size()) return ScopeClass::Inside;
        if (!isRoot && !NamesMatch(*it->name, components[depth])) return ScopeClass::Outside;
        if (part.listedBySystem == 0) return ScopeClass::Outside;
        ++depth;
    }
    if (depth < components.size()) {
        depthOut = static_cast<uint16_t>(depth);
        return ScopeClass::OnPath;
    }
    return ScopeClass::Inside;
}

// ---------------------------------------------------------------------------------------------
// Ingest, attach, visibility and aggregates
// ---------------------------------------------------------------------------------------------

void PartView::Ingest(const PreviewContext& ctx, const PartInfo& part, uint32_t first,
                      const RFileNode& firstNode) {
    // Waiters released by one node are ingested in turn; a worklist keeps the stack flat.
    auto& work = ingestWork_;
    work.clear();
    work.push_back({first, &firstNode});
    for (size_t next = 0; next < work.size(); ++next) {
        auto [id, node] = work[next];
        PreviewEntry& e = Entry(id);
        bool placed = e.scope == static_cast<uint8_t>(ScopeClass::OnPath) ||
                      e.scope == static_cast<uint8_t>(ScopeClass::Inside);
        if (!(placed && e.attached)) {
            uint32_t missing = 0;
            uint16_t depth = 0;
            ScopeClass scope = Classify(ctx, part, id, *node, missing, depth);
            if (scope == ScopeClass::Pending) {
                e.scope = 0;
                e.scopeDepth = 0;
                if (missing != 0) {
                    auto& list = waiting_[missing];
                    if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
                }
                continue;
            }
            e.scope = static_cast<uint8_t>(scope);
            e.scopeDepth = scope == ScopeClass::OnPath ? depth : 0;
            if (scope == ScopeClass::OnPath || scope == ScopeClass::Inside) Attach(ctx, id, e, *node);
        }
        std::vector<uint32_t>* waiters = waiting_.Find(id);
        if (!waiters) continue;
        std::vector<uint32_t> released = std::move(*waiters);
        waiting_.Erase(id);
        for (uint32_t w : released) {
            if (const RFileNode* n = part.LiveNodeAt(w)) work.push_back({w, n});
        }
    }
}

void PartView::Link(uint32_t parent, uint32_t child, int list) {
    PreviewEntry* slot = parent == 0 ? nullptr : Slot(parent);
    if (!slot) return;
    PreviewEntry& p = *slot;
    if (p.attached && !p.isDirectory) return;
    p.MutableChildren(list).push_back(child);
    MarkList(parent, list, p);
}

void PartView::Unlink(uint32_t parent, uint32_t child, int list) {
    if (parent == 0) return;
    PreviewEntry* p = entries_.Find(parent);
    if (!p || !p->lists) return;
    auto& ids = p->lists->of[list];
    auto end = std::remove(ids.begin(), ids.end(), child);
    if (end == ids.end()) return;
    ids.erase(end, ids.end());
    MarkList(parent, list);
}

void PartView::Attach(const PreviewContext& ctx, uint32_t id, PreviewEntry& e, const RFileNode& node) {
    if (e.attached) return;
    uint32_t parent = node.parentId == id ? 0 : node.parentId;
    bool dir = node.IsDirectoryKind();
    bool subtree = HasSubtreeValues(e);
    if (subtree && !dir) {
        for (int list : {kDirList, kFileList}) {
            if (e.Children(list).empty()) continue;
            MarkList(id, list, e);
            e.lists->of[list].clear();
        }
        e.visibleFiles = e.visibleBytes = e.checkedVisibleFiles = 0;
    }
    e.parentId = parent;
    e.isDirectory = dir;
    Mark(id, e);
    if (dir && parent != 0) {
        if (e.visibleFiles != 0) {
            Link(parent, id, kDirList);
            PropagateUp(parent, e.visibleFiles, e.visibleBytes, e.checkedVisibleFiles, true);
        }
        AddCheckedToAncestors(parent, e.checkedFiles, true);
    }
    e.attached = 1;
    if (parent != 0) Link(parent, id, kAllList);
    if (!dir) {
        e.fileSize = e.visibleBytes = node.size;
        e.typeId = node.typeId;
        ctx.totals.foundBytes.fetch_add(node.size);
        ctx.totals.foundCount.fetch_add(1);
    }
    bool now = ctx.filter(node);
    if (now != (e.visible != 0)) SetVisible(ctx, id, e, now);
    EvaluateCollectors(ctx, e, node);
}

void PartView::SetVisible(const PreviewContext& ctx, uint32_t id, PreviewEntry& e, bool now) {
    if ((e.visible != 0) == now) return;
    if (e.isDirectory) {
        e.visible = now;
        Mark(id, e);
        return;
    }
    uint64_t v = e.visibleBytes;
    if (!now) e.visibleBytes = 0;
    e.visible = now;
    Mark(id, e);
    if (treePartIndex != kNoTreeIndex && ctx.tree)
        ctx.tree->UpdateRef(treePartIndex, id, e.typeId, v, e.checked != 0, now);
    if (e.parentId != 0) {
        if (now) {
            Link(e.parentId, id, kFileList);
        } else {
            Unlink(e.parentId, id, kFileList);
        }
    }
    PropagateUp(e.parentId, 1, v, e.checked ? 1 : 0, now);
}

void PartView::PropagateUp(uint32_t start, uint64_t files, uint64_t bytes, uint64_t ticked, bool add) {
    uint32_t id = start;
    for (uint32_t step = 0; id != 0 && step < kMaxChain; ++step) {
        PreviewEntry* slot = Slot(id);
        if (!slot) return;
        PreviewEntry& e = *slot;
        if (e.attached && !e.isDirectory) return;
        bool hadFiles = e.visibleFiles != 0;
        if (add) {
            e.visibleFiles += files;
            e.visibleBytes += bytes;
            e.checkedVisibleFiles += ticked;
        } else {
            SubtractFloor(e.visibleFiles, files);
            SubtractFloor(e.visibleBytes, bytes);
            SubtractFloor(e.checkedVisibleFiles, ticked);
        }
        if (!e.attached) return;
        uint32_t parent = e.parentId == id ? 0 : e.parentId;
        if (add && !hadFiles && e.visibleFiles != 0) Link(parent, id, kDirList);
        if (!add && hadFiles && e.visibleFiles == 0) Unlink(parent, id, kDirList);
        Mark(id, e);
        id = parent;
    }
}

void PartView::EvaluateCollectors(const PreviewContext& ctx, PreviewEntry& e, const RFileNode& node) {
    // Only the slots in use and those the entry counts in can change.
    for (uint32_t pending = ctx.activeCollectors | e.collectorBits; pending != 0; pending &= pending - 1) {
        const uint32_t k = static_cast<uint32_t>(std::countr_zero(pending));
        const CollectorSlot& slot = ctx.collectors[k];
        bool now = slot.id != 0 && !e.isDirectory && slot.predicate && slot.predicate(node);
        bool was = (e.collectorBits >> k) & 1;
        if (now == was) continue;
        if (now) {
            e.collectorBits |= 1u << k;
            ++counters[k];
        } else {
            e.collectorBits &= ~(1u << k);
            SubtractFloor(counters[k], 1);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Detaching, moving, refiltering
// ---------------------------------------------------------------------------------------------

// A directory's child lists and subtree values belong to its children, which stay attached
// under it: a directory that goes and comes back (a node replaced, a relink) keeps them, and
// only its own place in its parent and its amounts in the ancestors are undone here.
void PartView::Detach(const PreviewContext& ctx, uint32_t id) {
    // An entry never handed out holds nothing to take away: its memory is not even looked at,
    // which matters for the many ids of a scan whose nodes the preview never shows.
    if (!EverSlotted(id)) return;
    PreviewEntry* found = entries_.Find(id);
    if (!found) return;
    PreviewEntry& e = *found;
    if (e.isDirectory) {
        if (e.attached) DetachDirectory(id, e);
        return;
    }
    if (!e.attached && e.collectorBits == 0 && !HasSubtreeValues(e) && e.Children(kAllList).empty() &&
        !e.checked)
        return;
    bool visibleFile = e.visible && !e.isDirectory && e.attached;
    if (visibleFile && treePartIndex != kNoTreeIndex && ctx.tree)
        ctx.tree->UpdateRef(treePartIndex, id, e.typeId, e.visibleBytes, e.checked != 0, false);
    uint64_t files = 0, bytes = 0, ticked = 0;
    if (e.isDirectory) {
        files = e.visibleFiles, bytes = e.visibleBytes, ticked = e.checkedVisibleFiles;
    } else if (visibleFile) {
        files = 1, bytes = e.visibleBytes, ticked = e.checked ? 1 : 0;
    }
    uint32_t parent = e.parentId;
    Unlink(parent, id, e.isDirectory ? kDirList : kFileList);
    if (e.attached) Unlink(parent, id, kAllList);
    PropagateUp(parent, files, bytes, ticked, false);
    for (uint32_t k = 0; k < kCollectorSlots; ++k)
        if ((e.collectorBits >> k) & 1) SubtractFloor(counters[k], 1);
    e.collectorBits = 0;
    if (e.checked && !e.isDirectory) {
        // The tick leaves with the node: totals and the ancestors' ticked counts.
        AtomicSubtractFloor(ctx.totals.checkedBytes, static_cast<int64_t>(e.fileSize));
        uint32_t at = parent;
        for (uint32_t step = 0; at != 0 && step < kMaxChain; ++step) {
            PreviewEntry* a = entries_.Find(at);
            if (!a) break;
            SubtractFloor(a->checkedFiles, 1);
            Mark(at);
            if (a->parentId == at) break;
            at = a->parentId;
        }
        e.checked = 0;
    }
    if (e.attached && !e.isDirectory) {
        AtomicSubtractFloor(ctx.totals.foundBytes, e.fileSize);
        AtomicSubtractFloor(ctx.totals.foundCount, uint64_t{1});
    }
    for (int list = 0; list < 3; ++list)
        if (!e.Children(list).empty()) MarkList(id, list);
    e.visible = e.attached = 0;
    e.visibleFiles = e.visibleBytes = e.checkedVisibleFiles = e.checkedFiles = e.fileSize = 0;
    e.scope = 0;
    e.scopeDepth = 0;
    e.parentId = 0;
    e.lists.reset();
    Mark(id);
}

void PartView::DetachDirectory(uint32_t id, PreviewEntry& e) {
    uint32_t parent = e.parentId;
    Unlink(parent, id, kDirList);
    Unlink(parent, id, kAllList);
    PropagateUp(parent, e.visibleFiles, e.visibleBytes, e.checkedVisibleFiles, false);
    AddCheckedToAncestors(parent, e.checkedFiles, false);
    e.visible = e.attached = 0;
    e.scope = 0;
    e.scopeDepth = 0;
    e.parentId = 0;
    Mark(id);
}

void PartView::AddCheckedToAncestors(uint32_t start, uint64_t files, bool add) {
    for (uint32_t at = start, step = 0; at != 0 && step < kMaxChain && files; ++step) {
        PreviewEntry* a = add ? Slot(at) : entries_.Find(at);
        if (!a) break;
        if (add) {
            a->checkedFiles += files;
        } else {
            SubtractFloor(a->checkedFiles, files);
        }
        Mark(at);
        if (a->parentId == at) break;
        at = a->parentId;
    }
}

void PartView::Move(const PreviewContext&, uint32_t id, uint32_t newParent) {
    PreviewEntry& e = Entry(id);
    uint64_t files = 0, bytes = 0, ticked = 0;
    bool visibleFile = !e.isDirectory && e.visible;
    if (e.isDirectory) {
        files = e.visibleFiles, bytes = e.visibleBytes, ticked = e.checkedVisibleFiles;
    } else if (visibleFile) {
        files = 1, bytes = e.visibleBytes, ticked = e.checked ? 1 : 0;
    }
    uint32_t old = e.parentId;
    Unlink(old, id, e.isDirectory ? kDirList : kFileList);
    PropagateUp(old, files, bytes, ticked, false);
    Unlink(old, id, kAllList);
    // Ticks in the subtree move with it.
    uint64_t checkedBelow = e.isDirectory ? e.checkedFiles : (e.checked ? 1 : 0);
    AddCheckedToAncestors(old, checkedBelow, false);
    e.parentId = newParent;
    Mark(id);
    if (e.isDirectory && e.visibleFiles > 0) Link(newParent, id, kDirList);
    if (visibleFile) Link(newParent, id, kFileList);
    Link(newParent, id, kAllList);
    PropagateUp(newParent, files, bytes, ticked, true);
    AddCheckedToAncestors(newParent, checkedBelow, true);
}

// A visible file whose size or type changed keeps its aggregates and type entry right.
void PartView::RefreshFile(const PreviewContext& ctx, uint32_t id, const RFileNode& node) {
    PreviewEntry& e = Entry(id);
    if (node.size != e.fileSize) {
        ctx.totals.foundBytes.fetch_add(node.size);
        AtomicSubtractFloor(ctx.totals.foundBytes, e.fileSize);
        if (e.checked) {
            ctx.totals.checkedBytes.fetch_add(static_cast<int64_t>(node.size));
            AtomicSubtractFloor(ctx.totals.checkedBytes, static_cast<int64_t>(e.fileSize));
        }
        e.fileSize = node.size;
    }
    if (e.visible && (node.size != e.visibleBytes || node.typeId != e.typeId)) {
        if (treePartIndex != kNoTreeIndex && ctx.tree) {
            ctx.tree->UpdateRef(treePartIndex, id, e.typeId, e.visibleBytes, e.checked != 0, false);
            ctx.tree->UpdateRef(treePartIndex, id, node.typeId, node.size, e.checked != 0, true);
        }
        PropagateUp(e.parentId, 0, e.visibleBytes, 0, false);
        PropagateUp(e.parentId, 0, node.size, 0, true);
    }
    e.visibleBytes = node.size;
    e.typeId = node.typeId;
    Mark(id);
}

uint32_t PartView::RefilterRange(const PreviewContext& ctx, const PartInfo& part, uint32_t from,
                                 uint32_t to) {
    uint32_t visited = 0;
    to = std::min(to, entryLimit_);
    for (uint32_t id = from; id < to; ++id) {
        PreviewEntry* e = entries_.Find(id);
        if (!e) continue;
        ++visited;
        const RFileNode* node = part.NodeAt(id);
        if (!node || !node->IsLive()) {
            Detach(ctx, id);
            continue;
        }
        if (!e->attached) {
            Ingest(ctx, part, id, *node);
            continue;
        }
        if ((e->isDirectory != 0) != node->IsDirectoryKind()) {
            Detach(ctx, id);
            continue;
        }
        uint32_t parent = node->parentId == id ? 0 : node->parentId;
        if (parent != e->parentId) Move(ctx, id, parent);
        if (!e->isDirectory) {
            RefreshFile(ctx, id, *node);
            bool now = ctx.filter(*node);
            if (now != (e->visible != 0)) SetVisible(ctx, id, *e, now);
        }
        EvaluateCollectors(ctx, *e, *node);
    }
    return visited;
}

void PartView::RemoveFromTree(const PreviewContext& ctx) {
    entries_.ForEachBelow(entryLimit_, [&](uint32_t id, PreviewEntry& e) {
        if (!e.attached || e.isDirectory) return;
        if (e.visible && treePartIndex != kNoTreeIndex && ctx.tree)
            ctx.tree->UpdateRef(treePartIndex, id, e.typeId, e.visibleBytes, e.checked != 0, false);
        AtomicSubtractFloor(ctx.totals.foundBytes, e.fileSize);
        AtomicSubtractFloor(ctx.totals.foundCount, uint64_t{1});
        if (e.checked) AtomicSubtractFloor(ctx.totals.checkedBytes, static_cast<int64_t>(e.fileSize));
    });
}

void PartView::ClearCollectorSlot(uint32_t slot) {
    if (slot >= kCollectorSlots) return;
    uint32_t mask = ~(1u << slot);
    entries_.ForEachBelow(entryLimit_, [&](uint32_t, PreviewEntry& e) { e.collectorBits &= mask; });
    counters[slot] = 0;
}

// ---------------------------------------------------------------------------------------------
// Ticks
// ---------------------------------------------------------------------------------------------

void PartView::SetNodeChecked(const PreviewContext& ctx, const PartInfo& part, uint32_t first,
                              bool checked) {
    std::vector<uint32_t> stack{first};
    while (!stack.empty()) {
        uint32_t id = stack.back();
        stack.pop_back();
        const RFileNode* node = part.LiveNodeAt(id);
        PreviewEntry* e = entries_.Find(id);
        if (!node || !e || !e->visible) continue;
        if (e->isDirectory) {
            // Files and subdirectories in list order: directories first.
            const auto& files = e->Children(kFileList);
            const auto& dirs = e->Children(kDirList);
            stack.insert(stack.end(), files.rbegin(), files.rend());
            stack.insert(stack.end(), dirs.rbegin(), dirs.rend());
            continue;
        }
        if ((e->checked != 0) == checked) continue;
        e->checked = checked;
        Mark(id);
        if (checked) {
            ctx.totals.checkedBytes.fetch_add(static_cast<int64_t>(node->size));
        } else {
            AtomicSubtractFloor(ctx.totals.checkedBytes, static_cast<int64_t>(node->size));
        }
        if (ctx.tree) ctx.tree->AdjustChecked(e->typeId, checked);
        uint32_t at = e->parentId;
        for (uint32_t step = 0; at != 0 && step < kMaxChain; ++step) {
            PreviewEntry* a = Slot(at);
            if (!a) break;
            if (checked) {
                a->checkedFiles += 1;
                a->checkedVisibleFiles += 1;
            } else {
                SubtractFloor(a->checkedFiles, 1);
                SubtractFloor(a->checkedVisibleFiles, 1);
            }
            Mark(at);
            if (a->parentId == at) break;
            at = a->parentId;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Publication and readers
// ---------------------------------------------------------------------------------------------

void PartView::Mark(uint32_t id) {
    if (PreviewEntry* e = entries_.Find(id)) Mark(id, *e);
}

void PartView::Mark(uint32_t id, PreviewEntry& e) {
    if (e.dirty & 1) return;
    e.dirty |= 1;
    dirtyEntries_.push_back(id);
}

void PartView::MarkList(uint32_t id, int list) {
    if (PreviewEntry* e = entries_.Find(id)) MarkList(id, list, *e);
}

void PartView::MarkList(uint32_t id, int list, PreviewEntry& e) {
    uint8_t bit = static_cast<uint8_t>(2u << list);
    if (e.dirty & bit) return;
    e.dirty |= bit;
    dirtyLists_[list].push_back(id);
}

void PartView::Publish() {
    if (dirtyEntries_.empty() && dirtyLists_[0].empty() && dirtyLists_[1].empty() &&
        dirtyLists_[2].empty())
        return;
    std::shared_ptr<const PartReadView> old;
    {
        std::lock_guard<std::mutex> guard(readViewLock_);
        old = readView_;
    }
    auto next = std::make_shared<PartReadView>();
    if (old) *next = *old;  // pages, blocks and lists stay shared until written
    next->entryCount = entryLimit_;
    CowTable<ReadBlock>::Edit blocks(next->blocks);
    // Dirty ids come mostly in runs of the same block.
    uint32_t lastBlock = ~0u;
    ReadBlock* block = nullptr;
    for (uint32_t id : dirtyEntries_) {
        EntryBrief brief;
        if (PreviewEntry* e = entries_.Find(id)) {
            e->dirty &= static_cast<uint8_t>(~1u);
            brief.parentId = e->parentId;
            brief.visibleFiles = e->visibleFiles;
            brief.visibleBytes = e->visibleBytes;
            brief.checkedVisibleFiles = e->checkedVisibleFiles;
            brief.checkedFiles = e->checkedFiles;
            brief.visible = e->visible;
            brief.isDirectory = e->isDirectory;
            brief.attached = e->attached;
            brief.checked = e->checked;
        }
        if (id / kReadBlockSlots != lastBlock) {
            lastBlock = id / kReadBlockSlots;
            block = &blocks.Writable(lastBlock);
        }
        (*block)[id % kReadBlockSlots] = brief;
    }
    auto publishLists = [&](int list, CowTable<ListBlock>& table) {
        CowTable<ListBlock>::Edit edit(table);
        uint8_t bit = static_cast<uint8_t>(2u << list);
        for (uint32_t id : dirtyLists_[list]) {
            PreviewEntry* e = entries_.Find(id);
            if (e) e->dirty &= static_cast<uint8_t>(~bit);
            const std::vector<uint32_t>* ids = e ? &e->Children(list) : nullptr;
            edit.Writable(id / kReadBlockSlots)
                .Set(static_cast<uint16_t>(id % kReadBlockSlots),
                     ids && !ids->empty() ? std::make_shared<const std::vector<uint32_t>>(*ids) : IdList());
        }
        dirtyLists_[list] = {};
    };
    publishLists(kDirList, next->dirChildren);
    publishLists(kFileList, next->fileChildren);
    publishLists(kAllList, next->allChildren);
    dirtyEntries_ = {};
    std::lock_guard<std::mutex> guard(readViewLock_);
    readView_ = std::move(next);
}

std::shared_ptr<const PartReadView> PartView::Snapshot() const {
    std::lock_guard<std::mutex> guard(readViewLock_);
    return readView_;
}

uint64_t PartView::VisibleChildCount(uint32_t id) const {
    auto view = Snapshot();
    if (!view) return 0;
    const auto* dirs = view->Dirs(id);
    const auto* files = view->Files(id);
    return (dirs ? dirs->size() : 0) + (files ? files->size() : 0);
}

uint32_t PartView::VisibleChildAt(uint32_t id, uint64_t index) const {
    auto view = Snapshot();
    if (!view) return 0;
    const auto* dirs = view->Dirs(id);
    uint64_t dirCount = dirs ? dirs->size() : 0;
    if (index < dirCount) return (*dirs)[index];
    const auto* files = view->Files(id);
    index -= dirCount;
    return files && index < files->size() ? (*files)[index] : 0;
}

uint64_t PartView::VisibleDirCount(uint32_t id) const {
    auto view = Snapshot();
    const auto* dirs = view ? view->Dirs(id) : nullptr;
    return dirs ? dirs->size() : 0;
}

uint32_t PartView::VisibleDirAt(uint32_t id, uint64_t index) const {
    auto view = Snapshot();
    const auto* dirs = view ? view->Dirs(id) : nullptr;
    return dirs && index < dirs->size() ? (*dirs)[index] : 0;
}

uint64_t PartView::AllChildCount(uint32_t id) const {
    auto view = Snapshot();
    const auto* all = view ? view->All(id) : nullptr;
    return all ? all->size() : 0;
}

uint32_t PartView::AllChildAt(uint32_t id, uint64_t index) const {
    auto view = Snapshot();
    const auto* all = view ? view->All(id) : nullptr;
    return all && index < all->size() ? (*all)[index] : 0;
}

uint64_t PartView::ChildIds(uint32_t id, bool visibleOnly, uint64_t first, uint64_t count,
                            std::vector<uint32_t>& out) const {
    out.clear();
    auto view = Snapshot();
    if (!view) return 0;
    // Takes what falls in the range from one list, `skip` being where the list starts.
    auto add = [&](const std::vector<uint32_t>* ids, uint64_t skip) {
        if (!ids || first + out.size() >= skip + ids->size()) return;
        uint64_t from = first + out.size() - skip;
        uint64_t take = std::min<uint64_t>(ids->size() - from, count - out.size());
        out.insert(out.end(), ids->begin() + static_cast<ptrdiff_t>(from),
                   ids->begin() + static_cast<ptrdiff_t>(from + take));
    };
    if (visibleOnly) {
        const auto* dirs = view->Dirs(id);
        const uint64_t dirCount = dirs ? dirs->size() : 0;
        if (first < dirCount) add(dirs, 0);
        if (out.size() < count) add(view->Files(id), dirCount);
    } else {
        add(view->All(id), 0);
    }
    return out.size();
}

bool PartView::NodeStatus(uint32_t id, NodeStatusBrief& out) const {
    out = NodeStatusBrief();
    auto view = Snapshot();
    const EntryBrief* brief = view ? view->Brief(id) : nullptr;
    if (!brief || brief->Empty()) return false;
    out.known = 1;
    out.isDirectory = brief->isDirectory;
    out.visible = brief->visible;
    if (brief->isDirectory) {
        out.checkState = (brief->visibleFiles == 0 || brief->checkedVisibleFiles == 0) ? 0
                         : brief->checkedVisibleFiles >= brief->visibleFiles        ? 1
                                                                                    : 2;
    } else {
        out.checkState = brief->checked;
    }
    out.parentId = brief->parentId;
    out.visibleFiles = brief->visibleFiles;
    out.visibleBytes = brief->visibleBytes;
    out.checkedVisibleFiles = brief->checkedVisibleFiles;
    out.checkedFiles = brief->checkedFiles;
    return true;
}

}  // namespace ravlin
