// The per-type index and its copy-on-write snapshots.
#include "results/VirtualFileTree.h"

#include <algorithm>
#include <unordered_set>

#include "fs/PartInfo.h"

namespace ravlin {

uint32_t VirtualFileTree::AppendPart(const std::shared_ptr<PartInfo>& part) {
    uint32_t index = static_cast<uint32_t>(parts_.size());
    parts_.push_back(part);
    partIndexByPtr_[part.get()] = index;
    partsChanged_ = true;
    return index;
}

uint32_t VirtualFileTree::PartIndex(const std::shared_ptr<PartInfo>& part) {
    if (!part) return 0;
    std::lock_guard<std::mutex> guard(writeLock_);
    auto it = partIndexByPtr_.find(part.get());
    return it != partIndexByPtr_.end() ? it->second : AppendPart(part);
}

void VirtualFileTree::SyncParts(const PartitionList& list) {
    std::lock_guard<std::mutex> guard(writeLock_);
    std::unordered_set<const PartInfo*> present;
    for (const auto& part : list)
        if (part) present.insert(part.get());
    std::vector<const PartInfo*> gone;
    for (const auto& [pointer, index] : partIndexByPtr_)
        if (!present.count(pointer)) gone.push_back(pointer);
    for (const PartInfo* pointer : gone) {
        uint32_t index = partIndexByPtr_[pointer];
        for (auto& [typeId, entry] : types_) {
            bool changed = false;
            for (uint64_t i = entry.refs.size(); i-- > 0;) {
                if (entry.refs[i].partIndex != index) continue;
                RemoveAt(entry, typeId, i);
                changed = true;
            }
            if (changed) {
                // The vanished partition's nodes leave the counts as well.
                entry.count = entry.refs.size();
                changedTypes_.Insert(typeId);
            }
        }
        parts_[index].reset();
        if (index < places_.size()) std::vector<std::unique_ptr<PlacePage>>().swap(places_[index]);
        partIndexByPtr_.erase(pointer);
        partsChanged_ = true;
    }
    for (const auto& part : list)
        if (part && !partIndexByPtr_.count(part.get())) AppendPart(part);
}

VirtualFileTree::Place* VirtualFileTree::PlaceOf(uint32_t partIndex, uint32_t nodeId, bool create) {
    if (partIndex >= places_.size()) {
        if (!create) return nullptr;
        places_.resize(partIndex + 1);
    }
    auto& pages = places_[partIndex];
    uint32_t page = nodeId / kPlacePage;
    if (page >= pages.size()) {
        if (!create) return nullptr;
        pages.resize(page + 1);
    }
    if (!pages[page]) {
        if (!create) return nullptr;
        pages[page] = std::make_unique<PlacePage>();
    }
    return &(*pages[page])[nodeId % kPlacePage];
}

const uint64_t* VirtualFileTree::FindPosition(TypeEntry& entry, uint32_t typeId, NodeRef ref,
                                              uint64_t& scratch) {
    const Place* place = PlaceOf(ref.partIndex, ref.nodeId, false);
    if (place && place->position != 0 && place->typeId == typeId) {
        scratch = place->position - 1;
        return &scratch;
    }
    return entry.positions.empty() ? nullptr : entry.positions.Find(Key(ref.partIndex, ref.nodeId));
}

void VirtualFileTree::SetPosition(TypeEntry& entry, uint32_t typeId, NodeRef ref, uint64_t position) {
    Place* place = PlaceOf(ref.partIndex, ref.nodeId, true);
    if (place->position != 0 && place->typeId == typeId) {
        place->position = static_cast<uint32_t>(position + 1);
    } else {
        entry.positions[Key(ref.partIndex, ref.nodeId)] = position;
    }
}

void VirtualFileTree::ErasePosition(TypeEntry& entry, uint32_t typeId, NodeRef ref) {
    Place* place = PlaceOf(ref.partIndex, ref.nodeId, false);
    if (place && place->position != 0 && place->typeId == typeId) {
        *place = Place();
    } else {
        entry.positions.Erase(Key(ref.partIndex, ref.nodeId));
    }
}

void VirtualFileTree::RemoveAt(TypeEntry& entry, uint32_t typeId, uint64_t position) {
    uint64_t last = entry.refs.size() - 1;
    NodeRef removed = entry.refs[position];
    ErasePosition(entry, typeId, removed);
    if (position != last) {
        entry.refs[position] = entry.refs[last];
        SetPosition(entry, typeId, entry.refs[position], position);
    }
    entry.refs.pop_back();
    entry.refsChanged = true;
}

void VirtualFileTree::AddRef(uint32_t partIndex, uint32_t nodeId, uint32_t typeId, uint64_t size,
                             bool checked) {
    TypeEntry& entry = EntryOf(typeId);
    NodeRef ref{partIndex, nodeId};
    uint64_t scratch = 0;
    if (FindPosition(entry, typeId, ref, scratch)) return;
    Place* place = PlaceOf(partIndex, nodeId, true);
    if (place->position == 0 && entry.refs.size() < 0xFFFFFFFFu) {
        place->typeId = typeId;
        place->position = static_cast<uint32_t>(entry.refs.size() + 1);
    } else {
        entry.positions[Key(partIndex, nodeId)] = entry.refs.size();
    }
    entry.refs.push_back(ref);
    entry.refsChanged = true;
    entry.count += 1;
    entry.totalSize += size;
    if (checked) entry.checkedCount += 1;
    NoteChanged(typeId);
}

VirtualFileTree::TypeEntry& VirtualFileTree::EntryOf(uint32_t typeId) {
    // Nodes come in runs of one type; entries are never erased, so the pointer stays good.
    if (!lastEntry_ || lastTypeId_ != typeId) {
        lastEntry_ = &types_[typeId];
        lastTypeId_ = typeId;
    }
    return *lastEntry_;
}

void VirtualFileTree::NoteChanged(uint32_t typeId) {
    if (noted_ && lastNoted_ == typeId) return;
    changedTypes_.Insert(typeId);
    noted_ = true;
    lastNoted_ = typeId;
}

void VirtualFileTree::RemoveRef(uint32_t partIndex, uint32_t nodeId, uint32_t typeId, uint64_t size,
                                bool checked) {
    auto it = types_.find(typeId);
    if (it == types_.end()) return;
    TypeEntry& entry = it->second;
    uint64_t scratch = 0;
    const uint64_t* position = FindPosition(entry, typeId, {partIndex, nodeId}, scratch);
    if (!position) return;
    RemoveAt(entry, typeId, *position);
    if (entry.count > 0) entry.count -= 1;
    entry.totalSize = entry.totalSize > size ? entry.totalSize - size : 0;
    if (checked && entry.checkedCount > 0) entry.checkedCount -= 1;
    changedTypes_.Insert(typeId);
}

void VirtualFileTree::UpdateRef(uint32_t partIndex, uint32_t nodeId, uint32_t typeId, uint64_t size,
                                bool checked, bool add) {
    std::lock_guard<std::mutex> guard(writeLock_);
    if (add) {
        AddRef(partIndex, nodeId, typeId, size, checked);
    } else {
        RemoveRef(partIndex, nodeId, typeId, size, checked);
    }
}

void VirtualFileTree::AdjustChecked(uint32_t typeId, bool checked) {
    std::lock_guard<std::mutex> guard(writeLock_);
    auto it = types_.find(typeId);
    if (it == types_.end()) return;
    if (checked) {
        it->second.checkedCount += 1;
    } else if (it->second.checkedCount > 0) {
        it->second.checkedCount -= 1;
    }
    changedTypes_.Insert(typeId);
}

void VirtualFileTree::Publish() {
    std::shared_ptr<const ReadView> old;
    {
        std::lock_guard<std::mutex> guard(snapshotLock_);
        old = current_;
    }
    auto next = std::make_shared<ReadView>();
    std::lock_guard<std::mutex> guard(writeLock_);
    if (!partsChanged_ && changedTypes_.empty() && old) return;
    if (old) next->types = old->types;  // lists stay shared
    if (partsChanged_ || !old || !old->parts) {
        next->parts = std::make_shared<const PartitionList>(parts_);
        partsChanged_ = false;
    } else {
        next->parts = old->parts;
    }
    for (uint32_t typeId : changedTypes_.Members()) {
        auto it = types_.find(typeId);
        if (it == types_.end() || it->second.count == 0) {
            next->types.erase(typeId);
            continue;
        }
        TypeEntry& entry = it->second;
        TypeView view;
        auto previous = next->types.find(typeId);
        // Counts alone changed (a tick): the published list is still right.
        if (!entry.refsChanged && previous != next->types.end() && previous->second.refs) {
            view.refs = previous->second.refs;
        } else {
            view.refs = std::make_shared<const std::vector<NodeRef>>(entry.refs);
        }
        entry.refsChanged = false;
        view.count = entry.count;
        view.totalSize = entry.totalSize;
        view.checkedCount = entry.checkedCount;
        next->types[typeId] = std::move(view);
    }
    changedTypes_.Reset();
    noted_ = false;
    std::lock_guard<std::mutex> swap(snapshotLock_);
    current_ = std::move(next);
}

std::shared_ptr<const VirtualFileTree::ReadView> VirtualFileTree::Snapshot() const {
    std::lock_guard<std::mutex> guard(snapshotLock_);
    return current_;
}

std::shared_ptr<PartInfo> VirtualFileTree::PartAt(uint32_t index) const {
    if (auto view = Snapshot(); view && view->parts && index < view->parts->size())
        return (*view->parts)[index];
    std::lock_guard<std::mutex> guard(writeLock_);
    return index < parts_.size() ? parts_[index] : nullptr;
}

std::vector<std::pair<uint32_t, uint64_t>> VirtualFileTree::ListTypes() const {
    std::vector<std::pair<uint32_t, uint64_t>> out;
    auto view = Snapshot();
    if (!view) return out;
    for (const auto& [typeId, type] : view->types)
        if (type.count != 0) out.emplace_back(typeId, type.count);
    std::sort(out.begin(), out.end());
    return out;
}

namespace {
template <class F>
uint64_t FromType(const std::shared_ptr<const VirtualFileTree::ReadView>& view, uint32_t typeId, F f) {
    if (!view) return 0;
    auto it = view->types.find(typeId);
    return it == view->types.end() ? 0 : f(it->second);
}
}  // namespace

uint64_t VirtualFileTree::TypeCount(uint32_t typeId) const {
    return FromType(Snapshot(), typeId, [](const TypeView& t) { return t.count; });
}

uint64_t VirtualFileTree::TypeSize(uint32_t typeId) const {
    return FromType(Snapshot(), typeId, [](const TypeView& t) { return t.totalSize; });
}

uint64_t VirtualFileTree::TypeCheckedCount(uint32_t typeId) const {
    return FromType(Snapshot(), typeId, [](const TypeView& t) { return t.checkedCount; });
}

int VirtualFileTree::TypeCheckState(uint32_t typeId) const {
    auto view = Snapshot();
    if (!view) return 0;
    auto it = view->types.find(typeId);
    if (it == view->types.end() || it->second.count == 0 || it->second.checkedCount == 0) return 0;
    return it->second.checkedCount >= it->second.count ? 1 : 2;
}

std::vector<VirtualFileTree::NodeRef> VirtualFileTree::Refs(uint32_t typeId, uint64_t first,
                                                            uint64_t count) const {
    auto view = Snapshot();
    if (!view) return {};
    auto it = view->types.find(typeId);
    if (it == view->types.end() || !it->second.refs) return {};
    const auto& refs = *it->second.refs;
    if (first >= refs.size()) return {};
    uint64_t end = count == 0 ? refs.size() : std::min<uint64_t>(first + count, refs.size());
    return std::vector<NodeRef>(refs.begin() + static_cast<long>(first), refs.begin() + static_cast<long>(end));
}

void VirtualFileTree::SetTypeChecked(uint32_t typeId, bool checked) {
    auto view = Snapshot();
    if (!view || !bulkTick_) return;
    auto it = view->types.find(typeId);
    if (it == view->types.end() || !it->second.refs || it->second.refs->empty() || !view->parts) return;
    bulkTick_(*view->parts, *it->second.refs, checked);
}

}  // namespace ravlin
