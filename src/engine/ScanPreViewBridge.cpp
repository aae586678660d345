// The view interface over the current scan: partitions and nodes from the partition list,
// the tree from the preview's snapshots, content through readers the host opens.
#include "engine/ScanPreViewBridge.h"

#include "disk/DiskReader.h"
#include "engine/ScanEngineImpl.h"
#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "results/ScanPreview.h"

namespace ravlin {
namespace {

bool HandleValid(const DiskReader& reader) { return !reader.IsClosed(); }

}  // namespace

const wchar_t* ScanPreViewBridge::PerThreadText::Keep(std::wstring text) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::wstring& kept = texts_[std::this_thread::get_id()];
    kept = std::move(text);
    return kept.c_str();
}

ScanPreViewBridge::~ScanPreViewBridge() {
    std::lock_guard<std::mutex> guard(readersLock_);
    readers_.clear();
    readerUses_.clear();
}

std::shared_ptr<PartView> ScanPreViewBridge::ViewOf(unsigned long long partIndex) const {
    auto preview = engine_->Preview();
    auto part = engine_->PartitionAt(partIndex);
    if (!preview || !part) return nullptr;
    return preview->PartViewOf(part.get());
}

unsigned long long ScanPreViewBridge::GetPartCount() const {
    auto output = engine_->Output();
    if (!output) return 0;
    auto parts = output->Partitions();
    return parts ? parts->size() : 0;
}

bool ScanPreViewBridge::GetPartBrief(unsigned long long partIndex, PartBrief* out) const {
    auto part = engine_->PartitionAt(partIndex);
    if (!part || !out) return false;
    PartBrief brief;
    brief.id = partIndex;
    brief.rootNodeId = part->rootNodeId;
    brief.orphanFolderId = part->orphanFolderId;
    brief.startSector = part->volumeSector;
    brief.sectorCount = part->sectorCount;
    brief.fsType = part->fsType;
    brief.devicePath = part->devicePath.c_str();
    brief.secondName = part->secondName.c_str();
    brief.displayName = part->displayName.c_str();
    {
        // The scan writes the label under the node lock: the brief points at this thread's copy.
        thread_local std::wstring label;
        auto nodes = part->ReadLock();
        label = part->volumeLabel;
        brief.volumeLabel = label.c_str();
    }
    brief.fileCount = part->FileCount();
    brief.listedBySystem = part->listedBySystem != 0;
    brief.driveLetter = part->driveLetter;
    *out = brief;
    return true;
}

bool ScanPreViewBridge::VisitNode(unsigned long long partIndex, unsigned int nodeId,
                                  void (*visit)(const RFileNode* node, void* context), void* context) const {
    auto part = engine_->PartitionAt(partIndex);
    if (!part || !visit) return false;
    auto nodes = part->ReadLock();
    const RFileNode* node = part->LiveNodeAt(nodeId);
    if (!node) return false;
    visit(node, context);
    return true;
}

bool ScanPreViewBridge::GetNodeBrief(unsigned long long partIndex, unsigned int nodeId,
                                     NodeBrief* out) const {
    auto part = engine_->PartitionAt(partIndex);
    if (!part || !out) return false;
    auto nodes = part->ReadLock();
    const RFileNode* node = part->LiveNodeAt(nodeId);
    if (!node) return false;
    NodeBrief brief;
    brief.id = node->id;
    brief.parentId = node->parentId;
    brief.size = node->size;
    brief.firstSector = node->firstSector;
    brief.kind = static_cast<uint32_t>(node->kind);
    brief.typeId = node->typeId;
    brief.isDirectory = node->IsDirectoryKind() ? 1 : 0;
    // The node may be renamed once the lock is let go: the name is handed out as a copy.
    brief.name = nameTexts_.Keep(DisplayNameOf(*node));
    brief.secondTime = node->secondTime;
    brief.localTime = node->localTime;
    *out = brief;
    return true;
}

unsigned long long ScanPreViewBridge::GetVisibleChildCount(unsigned long long partIndex,
                                                           unsigned int nodeId) const {
    auto view = ViewOf(partIndex);
    return view ? view->VisibleChildCount(nodeId) : 0;
}

unsigned int ScanPreViewBridge::GetVisibleChild(unsigned long long partIndex, unsigned int nodeId,
                                                unsigned long long index) const {
    auto view = ViewOf(partIndex);
    return view ? view->VisibleChildAt(nodeId, index) : 0;
}

unsigned long long ScanPreViewBridge::GetVisibleDirCount(unsigned long long partIndex,
                                                         unsigned int nodeId) const {
    auto view = ViewOf(partIndex);
    return view ? view->VisibleDirCount(nodeId) : 0;
}

unsigned long long ScanPreViewBridge::GetChildCount(unsigned long long partIndex,
                                                    unsigned int nodeId) const {
    auto view = ViewOf(partIndex);
    return view ? view->AllChildCount(nodeId) : 0;
}

unsigned int ScanPreViewBridge::GetChild(unsigned long long partIndex, unsigned int nodeId,
                                         unsigned long long index) const {
    auto view = ViewOf(partIndex);
    return view ? view->AllChildAt(nodeId, index) : 0;
}

unsigned long long ScanPreViewBridge::VisitChildren(unsigned long long partIndex, unsigned int nodeId,
                                                    bool visibleOnly, unsigned long long first,
                                                    unsigned long long count,
                                                    void (*visit)(const RFileNode* child, void* context),
                                                    void* context) const {
    // The ids and the nodes come from the same partition record, even if the list changes.
    auto preview = engine_->Preview();
    auto part = engine_->PartitionAt(partIndex);
    if (!preview || !part || !visit) return 0;
    auto view = preview->PartViewOf(part.get());
    if (!view) return 0;
    std::vector<uint32_t> ids;
    const uint64_t positions = view->ChildIds(nodeId, visibleOnly, first, count, ids);
    // The node lock is let go now and then, so that a running scan is never held up for long.
    constexpr size_t kPerLock = 512;
    for (size_t from = 0; from < ids.size(); from += kPerLock) {
        auto nodes = part->ReadLock();
        for (size_t i = from; i < ids.size() && i < from + kPerLock; ++i) {
            if (ids[i] == nodeId) continue;
            if (const RFileNode* node = part->LiveNodeAt(ids[i])) visit(node, context);
        }
    }
    return positions;
}

unsigned int ScanPreViewBridge::GetVisibleDir(unsigned long long partIndex, unsigned int nodeId,
                                              unsigned long long index) const {
    auto view = ViewOf(partIndex);
    return view ? view->VisibleDirAt(nodeId, index) : 0;
}

void ScanPreViewBridge::SetNodeChecked(unsigned long long partIndex, unsigned int nodeId,
                                       bool checked) {
    auto preview = engine_->Preview();
    auto part = engine_->PartitionAt(partIndex);
    if (preview && part) preview->SetNodeChecked(part, nodeId, checked);
}

void ScanPreViewBridge::SetNodesChecked(const unsigned long long* partIndexes,
                                        const unsigned int* nodeIds, int count, bool checked) {
    if (!partIndexes || !nodeIds || count < 1) return;
    auto preview = engine_->Preview();
    if (!preview) return;
    auto parts = preview->Partitions();
    if (!parts) return;
    std::vector<VirtualFileTree::NodeRef> refs;
    refs.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (partIndexes[i] < parts->size())
            refs.push_back({static_cast<uint32_t>(partIndexes[i]), nodeIds[i]});
    }
    preview->SetNodesChecked(*parts, refs, checked);
}

// Each calling thread gets its own buffer, so that two host threads asking at once cannot free
// the text the other is reading; the text stays valid until that thread asks again.
const wchar_t* ScanPreViewBridge::CurrentPath() const {
    std::wstring path;
    if (auto preview = engine_->Preview()) path = preview->CurrentPath();
    return pathTexts_.Keep(std::move(path));
}

unsigned long long ScanPreViewBridge::GetCheckedBytes() const {
    auto preview = engine_->Preview();
    if (!preview) return 0;
    int64_t bytes = preview->CheckedBytes();
    return bytes > 0 ? static_cast<unsigned long long>(bytes) : 0;
}

bool ScanPreViewBridge::GetNodeStatus(unsigned long long partIndex, unsigned int nodeId,
                                      NodeStatusBrief* out) const {
    if (!out) return false;
    *out = NodeStatusBrief();
    auto view = ViewOf(partIndex);
    return view && view->NodeStatus(nodeId, *out);
}

bool ScanPreViewBridge::OpenReader(unsigned long long partIndex) {
    std::lock_guard<std::mutex> guard(readersLock_);
    auto part = engine_->PartitionAt(partIndex);
    if (!part || !engine_->Preview()) return false;
    auto& reader = readers_[partIndex];
    if (!reader || !HandleValid(*reader)) {
        ScanInput input = engine_->InputCopy();
        DiskSourceInfo source;
        if (input.scanKind == 8) {
            source.devicePath = part->devicePath;
            source.totalSectors = part->volumeSector + part->sectorCount;
        } else {
            source.devicePath = input.devicePath;
            source.totalSectors = input.startSector + input.sectorCount;
        }
        auto opened = std::make_shared<DiskReader>();
        opened->Open(source, input.startSector, input.sectorCount);
        reader = std::move(opened);
    }
    if (!HandleValid(*reader)) {
        readers_.erase(partIndex);
        return false;
    }
    readerUses_[partIndex] += 1;
    return true;
}

bool ScanPreViewBridge::ReadNodeData(unsigned long long partIndex, unsigned int nodeId, void* buffer,
                                     unsigned long long offset, unsigned int length) {
    std::lock_guard<std::mutex> guard(readersLock_);
    auto it = readers_.find(partIndex);
    if (it == readers_.end() || !it->second || !HandleValid(*it->second)) return false;
    auto part = engine_->PartitionAt(partIndex);
    if (!part || !engine_->Preview() || !buffer || length == 0) return false;
    // What the read needs is copied under the node lock, and the device is read without it: a
    // slow read must not hold up the scanner or the preview.
    RFileNode copy;
    {
        auto nodes = part->ReadLock();
        const RFileNode* node = part->LiveNodeAt(nodeId);
        if (!node) return false;
        copy = CopyOfNode(*node);
    }
    return part->ReadFileData(it->second.get(), &copy, offset, static_cast<uint8_t*>(buffer), length) > 0;
}

bool ScanPreViewBridge::ReadNodeDataChecked(unsigned long long partIndex, unsigned int nodeId, void* buffer,
                                            unsigned long long offset, unsigned int length, ReadGap* gaps,
                                            unsigned int maxGaps, unsigned int* gapCount) {
    if (gapCount) *gapCount = 0;
    UnreadableCollector collector;
    bool read = ReadNodeData(partIndex, nodeId, buffer, offset, length);
    if (!gaps || !gapCount || maxGaps == 0) return read;
    unsigned int stored = 0;
    for (const UnreadableRange& r : collector.Ranges()) {
        if (stored < maxGaps) {
            gaps[stored++] = {r.offset, r.length};
        } else {
            ReadGap& tail = gaps[maxGaps - 1];
            tail.length = r.offset + r.length - tail.offset;
        }
    }
    *gapCount = stored;
    return read;
}

void ScanPreViewBridge::CloseReader(unsigned long long partIndex) {
    std::lock_guard<std::mutex> guard(readersLock_);
    auto it = readerUses_.find(partIndex);
    if (it == readerUses_.end()) return;
    if (it->second <= 1) {
        readerUses_.erase(it);
        readers_.erase(partIndex);
    } else {
        it->second -= 1;
    }
}

}  // namespace ravlin
