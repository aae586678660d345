// The per-type index of the preview: for each file type, the visible file nodes of that type
// across partitions, their count, total size and ticked count. One writer (the preview's ticks)
// changes a locked state and publishes immutable snapshots that readers take without waiting.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/Hash.h"
#include "fs/ScanOutput.h"

namespace ravlin {

class PartInfo;

class VirtualFileTree {
public:
    struct NodeRef {
        uint32_t partIndex;
        uint32_t nodeId;
        bool operator==(const NodeRef& o) const { return partIndex == o.partIndex && nodeId == o.nodeId; }
    };

    // The writer's per-type record.
    struct TypeEntry {
        std::vector<NodeRef> refs;
        // key (partIndex << 32 | nodeId) -> index in refs, for the references whose place is
        // not in the dense table (below)
        FlatMap<uint64_t, uint64_t> positions;
        uint64_t count = 0;
        uint64_t totalSize = 0;
        uint64_t checkedCount = 0;
        bool refsChanged = false;  // the list itself changed since the last publication
    };

    struct TypeView {
        std::shared_ptr<const std::vector<NodeRef>> refs;
        uint64_t count = 0;
        uint64_t totalSize = 0;
        uint64_t checkedCount = 0;
    };

    struct ReadView {
        FnvMap<uint32_t, TypeView> types;
        std::shared_ptr<const PartitionList> parts;
    };

    // Ticks or unticks every listed node (the preview's bulk tick).
    using BulkTick = std::function<void(const PartitionList& parts, const std::vector<NodeRef>& refs,
                                        bool checked)>;

    VirtualFileTree() = default;
    explicit VirtualFileTree(BulkTick bulkTick) : bulkTick_(std::move(bulkTick)) {}
    VirtualFileTree(const VirtualFileTree&) = delete;
    VirtualFileTree& operator=(const VirtualFileTree&) = delete;

    // ---- writer ----
    uint32_t PartIndex(const std::shared_ptr<PartInfo>& part);
    void SyncParts(const PartitionList& list);
    // The caller holds WriteLock().
    void AddRef(uint32_t partIndex, uint32_t nodeId, uint32_t typeId, uint64_t size, bool checked);
    void RemoveRef(uint32_t partIndex, uint32_t nodeId, uint32_t typeId, uint64_t size, bool checked);
    void UpdateRef(uint32_t partIndex, uint32_t nodeId, uint32_t typeId, uint64_t size, bool checked,
                   bool add);
    void AdjustChecked(uint32_t typeId, bool checked);
    void Publish();
    std::unique_lock<std::mutex> WriteLock() { return std::unique_lock<std::mutex>(writeLock_); }

    // ---- readers: each works on one snapshot ----
    std::shared_ptr<const ReadView> Snapshot() const;
    std::shared_ptr<PartInfo> PartAt(uint32_t index) const;
    std::vector<std::pair<uint32_t, uint64_t>> ListTypes() const;
    uint64_t TypeCount(uint32_t typeId) const;
    uint64_t TypeSize(uint32_t typeId) const;
    uint64_t TypeCheckedCount(uint32_t typeId) const;
    int TypeCheckState(uint32_t typeId) const;
    std::vector<NodeRef> Refs(uint32_t typeId, uint64_t first, uint64_t count) const;
    void SetTypeChecked(uint32_t typeId, bool checked);

private:
    static uint64_t Key(uint32_t partIndex, uint32_t nodeId) {
        return (uint64_t{partIndex} << 32) | nodeId;
    }
    // Where a node's reference sits. Most nodes are listed under one type at a time, so the
    // place lives in a dense table by partition and node id; a node listed under a second type
    // meanwhile is found through that type's `positions`.
    struct Place {
        uint32_t typeId = 0;
        uint32_t position = 0;  // index in refs + 1; 0: the slot is free
    };
    static constexpr uint32_t kPlacePage = 4096;
    using PlacePage = std::array<Place, kPlacePage>;
    Place* PlaceOf(uint32_t partIndex, uint32_t nodeId, bool create);
    const uint64_t* FindPosition(TypeEntry& entry, uint32_t typeId, NodeRef ref, uint64_t& scratch);
    void SetPosition(TypeEntry& entry, uint32_t typeId, NodeRef ref, uint64_t position);
    void ErasePosition(TypeEntry& entry, uint32_t typeId, NodeRef ref);
    void RemoveAt(TypeEntry& entry, uint32_t typeId, uint64_t position);
    uint32_t AppendPart(const std::shared_ptr<PartInfo>& part);
    TypeEntry& EntryOf(uint32_t typeId);      // creates it
    void NoteChanged(uint32_t typeId);        // for the next publication

    BulkTick bulkTick_;
    mutable std::mutex writeLock_;
    PartitionList parts_;
    FnvMap<const PartInfo*, uint32_t> partIndexByPtr_;
    FnvMap<uint32_t, TypeEntry> types_;
    FlatSet<uint32_t> changedTypes_;
    TypeEntry* lastEntry_ = nullptr;  // of lastTypeId_
    uint32_t lastTypeId_ = 0;
    bool noted_ = false;  // lastNoted_ is in changedTypes_
    uint32_t lastNoted_ = 0;
    std::vector<std::vector<std::unique_ptr<PlacePage>>> places_;  // by partition, by id / 4096
    bool partsChanged_ = true;
    mutable std::mutex snapshotLock_;
    std::shared_ptr<const ReadView> current_;
};

}  // namespace ravlin
