// The NTFS scanner: the MFT walk, the tree, the factory and the free-space map.
#include "fs/ntfs/ScanNtfs.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "disk/DiskReader.h"
#include "disk/Prefetch.h"
#include "fs/FileNode.h"
#include "fs/FreeSpaceMap.h"
#include "fs/RecycleNames.h"

namespace ravlin {
namespace {

// The MFT is read 2 MiB at a time: unbuffered reads of a large MFT are bound by the
// number of requests, not by their size. A piece that fails is read again 64 KiB at a time,
// so that a bad sector costs only the records of its 64 KiB.
constexpr uint32_t kChunkSectors = 4096;
constexpr uint32_t kRetrySectors = 128;
// Node-store memory is faulted in ahead only this many records past the last record stored, so
// that a run list claiming a vast MFT of garbage commits no memory for it.
constexpr uint32_t kPrefaultAhead = 16384;
constexpr uint64_t kClaimedIndexClusters = 16;  // only short index runs are claimed
constexpr uint32_t kRootRecord = 5;
constexpr uint32_t kLastMetadataRecord = 10;
constexpr uint32_t kTreeSlice = 8192;  // nodes relinked per hold of the node lock
constexpr size_t kStoredPerLock = 64;  // records stored per hold of the node lock
// Named streams listed per volume, and the resident bytes their nodes keep.
constexpr size_t kMaxStreamNodes = 1u << 20;
constexpr uint64_t kMaxStreamResidentBytes = 256ull << 20;

std::atomic<LogFileAnalyser> logFileAnalyser{nullptr};

struct WalkResult {
    std::optional<NtfsRecord> logFile;  // record 2
    std::optional<NtfsRecord> bitmap;   // record 6
    std::vector<RFileNode> streams;     // nodes of named streams, ids not yet given
};

// Records the MFT's runs can hold, bounded by the node store's reach.
uint32_t MftExtent(const std::vector<DataRun>& runs, uint32_t perRecord) {
    uint64_t records = 0;
    for (const DataRun& run : runs) records += run.sectorCount / perRecord;
    return static_cast<uint32_t>(std::min<uint64_t>(records, kSegmentedIdLimit));
}

// The pieces the walk reads, made up one at a time: a run list that claims a vast MFT costs
// nothing until it is read, and nothing past the device or past the last record a node store
// can hold is read at all. A run that is sparse or lies past the device breaks the stream of
// records.
class MftPlan {
public:
    struct Piece {
        uint64_t sector = 0;
        uint32_t count = 0;
        bool breakBefore = false;
        uint32_t firstRecord = 0;  // records the piece holds a part of
        uint32_t endRecord = 0;
    };

    MftPlan(const std::vector<DataRun>& runs, uint32_t perRecord, uint32_t recordLimit,
            uint64_t lastSector)
        : runs_(runs), perRecord_(perRecord), limit_(recordLimit), lastSector_(lastSector) {}

    bool Next(Piece& out) {
        while (run_ < runs_.size() && offset_ + done_ < uint64_t{limit_} * perRecord_) {
            const DataRun& run = runs_[run_];
            uint64_t usable = 0;
            if (run.startSector != kSparseSector && run.startSector <= lastSector_)
                usable = std::min(run.sectorCount, lastSector_ - run.startSector + 1);
            if (done_ >= usable) {
                gap_ = gap_ || usable < run.sectorCount;
                offset_ += run.sectorCount;
                done_ = 0;
                ++run_;
                continue;
            }
            uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, usable - done_));
            uint64_t first = (offset_ + done_) / perRecord_;
            uint64_t end = (offset_ + done_ + count + perRecord_ - 1) / perRecord_;
            out.sector = run.startSector + done_;
            out.count = count;
            out.breakBefore = gap_;
            out.firstRecord = static_cast<uint32_t>(std::min<uint64_t>(first, limit_));
            out.endRecord = static_cast<uint32_t>(std::min<uint64_t>(end, limit_));
            gap_ = false;
            done_ += count;
            return true;
        }
        return false;
    }

private:
    const std::vector<DataRun>& runs_;
    uint32_t perRecord_;
    uint32_t limit_;
    uint64_t lastSector_;
    size_t run_ = 0;
    uint64_t offset_ = 0;  // sectors of the MFT before the current run
    uint64_t done_ = 0;    // sectors of the current run planned so far
    bool gap_ = false;
};

class MftWalk {
public:
    MftWalk(NtfsPartInfo& part, DiskReader& reader, const NtfsBootParams& params,
            const ParseProgressCallback& progress, bool partitionDeleted, bool deletedOnly)
        : part_(part),
          reader_(reader),
          params_(params),
          progress_(progress),
          partitionDeleted_(partitionDeleted),
          deletedOnly_(deletedOnly),
          recordBytes_(params.SectorsPerRecord() * 512),
          limit_(MftExtent(part.mftRuns, params.SectorsPerRecord())) {
        report_.fsType = kFsNtfs;
        report_.volumeSector = part.volumeSector;
    }

    WalkResult Run() {
        if (reader_.IsClosed() || params_.fileRecordSize == 0 || params_.bytesPerSector == 0)
            return {};
        // Three stages overlap: the reading thread reads the next piece, a decoding thread makes
        // the records of the piece before into nodes, and this thread stores them, in record
        // order. The node-store memory of a piece's records is faulted in on the reading thread,
        // so that the store finds it present. The reading and the decoding threads follow two
        // copies of the same plan.
        uint32_t perRecord = params_.SectorsPerRecord();
        uint64_t lastSector = reader_.LastSector();
        MftPlan ahead(part_.mftRuns, perRecord, limit_, lastSector);
        MftPlan::Piece read;
        PrefetchReader pieces(
            reader_,
            [&](PrefetchReader::Read& next) {
                if (!ahead.Next(read)) return false;
                next = {read.sector, read.count};
                return true;
            },
            kChunkSectors, 2,
            [&](size_t) {
                if (read.firstRecord <= lastStored_.load(std::memory_order_relaxed) + kPrefaultAhead)
                    part_.PrefaultNodes(read.firstRecord, read.endRecord);
            });
        std::exception_ptr decodeFailure;
        {
            // The decoding thread ends with the walk, however the walk ends.
            struct Decoder {
                DecodedQueue& queue;
                std::thread thread;
                ~Decoder() {
                    queue.Stop();
                    thread.join();
                }
            } decoder{decoded_, std::thread([&] {
                          try {
                              Decode(pieces);
                          } catch (...) {
                              decodeFailure = std::current_exception();
                          }
                          decoded_.Close();
                      })};
            // The stop request is polled for every piece, whether or not any of its records decode.
            std::vector<Decoded> batch;
            while (KeepGoingNow() && decoded_.Take(batch)) {
                for (size_t first = 0; first < batch.size() && !stopped_; first += kStoredPerLock) {
                    const size_t end = std::min(batch.size(), first + kStoredPerLock);
                    {
                        auto lock = part_.WriteLock();
                        for (size_t i = first; i < end; ++i) Store(std::move(batch[i]));
                    }
                    // Outside the lock: a paused scan waits here, and readers must not wait with it.
                    for (size_t i = first; i < end && !stopped_; ++i) {
                        ++report_.itemsDone;
                        if (!KeepGoing(progress_, report_)) stopped_ = true;
                    }
                }
                decoded_.GiveBack(std::move(batch));
            }
        }
        if (decodeFailure) std::rethrow_exception(decodeFailure);
        result_.logFile = std::move(logFile_);
        result_.bitmap = std::move(bitmap_);
        report_.finished = true;
        if (progress_) progress_(report_);
        return std::move(result_);
    }

private:
    // A record made a node, with what the walk still needs of it.
    struct Decoded {
        RFileNode node;
        std::vector<NtfsStream> streams;
        std::vector<DataRun> indexRuns;
        bool unlocatable = false;  // file data behind an attribute list that could not be followed
    };

    // Decoded records handed from the decoding thread to the walk, a piece at a time, at most
    // two pieces ahead. Emptied vectors go back to be filled again.
    class DecodedQueue {
    public:
        // False once the walk stopped: the decoding thread then ends.
        bool Hand(std::vector<Decoded>&& records) {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [&] { return stop_ || ready_.size() < 2; });
            if (stop_) return false;
            ready_.push_back(std::move(records));
            changed_.notify_all();
            return true;
        }
        // False once every piece was taken (or the walk stopped).
        bool Take(std::vector<Decoded>& records) {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [&] { return stop_ || closed_ || !ready_.empty(); });
            if (stop_ || ready_.empty()) return false;
            records = std::move(ready_.front());
            ready_.pop_front();
            changed_.notify_all();
            return true;
        }
        void GiveBack(std::vector<Decoded>&& records) {
            records.clear();
            std::lock_guard<std::mutex> guard(lock_);
            spare_.push_back(std::move(records));
        }
        std::vector<Decoded> Spare() {
            std::lock_guard<std::mutex> guard(lock_);
            if (spare_.empty()) return {};
            std::vector<Decoded> records = std::move(spare_.back());
            spare_.pop_back();
            return records;
        }
        bool Stopped() {
            std::lock_guard<std::mutex> guard(lock_);
            return stop_;
        }
        void Close() {
            std::lock_guard<std::mutex> guard(lock_);
            closed_ = true;
            changed_.notify_all();
        }
        void Stop() {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
            changed_.notify_all();
        }

    private:
        std::mutex lock_;
        std::condition_variable changed_;
        std::deque<std::vector<Decoded>> ready_;
        std::vector<std::vector<Decoded>> spare_;
        bool closed_ = false;
        bool stop_ = false;
    };

    // The decoding thread: records are taken from a byte stream of the whole MFT, so one that
    // straddles two runs (clusters smaller than records) is still whole; a sparse run breaks
    // the stream.
    void Decode(PrefetchReader& pieces) {
        MftPlan plan(part_.mftRuns, params_.SectorsPerRecord(), limit_, reader_.LastSector());
        std::vector<uint8_t> carry(recordBytes_);
        std::vector<uint8_t> joined(recordBytes_);
        size_t carried = 0;
        uint8_t* data;
        uint32_t count;
        bool ok;
        MftPlan::Piece piece;
        // A failed read gives zeros, which fail to decode.
        while (!decoded_.Stopped() && pieces.Next(data, count, ok) && plan.Next(piece)) {
            if (!ok) Reread(piece.sector, data, count);
            if (piece.breakBefore) carried = 0;
            std::vector<Decoded> records = decoded_.Spare();
            auto decode = [&](std::span<uint8_t> bytes) {
                // Resident content is re-read on demand; only the metadata files keep theirs.
                NtfsRecord record;
                if (DecodeFileRecordInPlace(bytes, part_.volumeSector, params_.sectorsPerCluster,
                                            record, limit_, kLastMetadataRecord))
                    MakeNode(std::move(record), records);
            };
            size_t available = size_t{count} * 512;
            size_t at = 0;
            if (carried != 0) {
                size_t need = recordBytes_ - carried;
                if (available < need) {
                    std::memcpy(carry.data() + carried, data, available);
                    carried += available;
                    if (!decoded_.Hand(std::move(records))) break;
                    continue;
                }
                std::memcpy(joined.data(), carry.data(), carried);
                std::memcpy(joined.data() + carried, data, need);
                decode(std::span<uint8_t>(joined.data(), recordBytes_));
                at = need;
                carried = 0;
            }
            for (; at + recordBytes_ <= available; at += recordBytes_) {
                // The piece is new to the processor's caches: ask for the next record while
                // this one is decoded.
                if (at + 2 * recordBytes_ <= available) {
                    for (size_t line = 0; line < recordBytes_; line += 64)
                        __builtin_prefetch(data + at + recordBytes_ + line, 1);
                }
                decode(std::span<uint8_t>(data + at, recordBytes_));
            }
            carried = available - at;
            std::memcpy(carry.data(), data + at, carried);
            if (!decoded_.Hand(std::move(records))) break;
        }
    }

    bool KeepGoingNow() {
        if (!stopped_ && !KeepGoing(progress_, report_)) stopped_ = true;
        return !stopped_;
    }

    // A failed read leaves zeros, which fail to decode.
    void Reread(uint64_t sector, uint8_t* data, uint32_t count) {
        for (uint32_t done = 0; done < count && !reader_.IsDeviceLost() && !decoded_.Stopped();
             done += kRetrySectors) {
            reader_.ReadSectors(data + size_t{done} * 512, sector + done,
                                std::min(kRetrySectors, count - done));
        }
    }

    // On the decoding thread: the node of a record, when it names one.
    void MakeNode(NtfsRecord&& record, std::vector<Decoded>& out) {
        bool hadList = record.hasAttributeList != 0;
        if (hadList && !reader_.IsClosed()) {
            ResolveAttributeList(reader_, params_, part_.volumeSector, part_.mftRuns,
                                 params_.SectorsPerRecord(), record);
        }
        if (record.name.empty()) return;
        if (record.recordNumber == 2 && !logFile_) logFile_ = record;
        if (record.recordNumber == 6 && !bitmap_) bitmap_ = record;
        if (record.recordNumber == 3 && !record.volumeName.empty()) {
            auto lock = part_.WriteLock();
            part_.volumeLabel = record.volumeName;
        }
        uint32_t number = record.recordNumber;
        Decoded& decoded = out.emplace_back();
        decoded.indexRuns = std::move(record.indexRuns);
        decoded.streams = std::move(record.streams);
        RFileNode& node = decoded.node;
        RecordToNode(std::move(record), node, partitionDeleted_, false);
        node.valid = 1;
        if (!node.name.empty() && node.name[0] == L'$' && number <= kLastMetadataRecord)
            node.valid = 0;  // metadata files are kept but not shown
        if (node.IsDirectoryKind() && IsRecycleBinName(node.name))
            node.ext = std::make_shared<RFileNodeRecycleName>(kRecycleBinDisplayName);
        if (deletedOnly_ && node.kind == NodeKind::File) node.valid = 0;
        // Data behind an attribute list that could not be followed cannot be located.
        decoded.unlocatable =
            node.IsFileKind() && hadList && !node.resident && node.runs.empty() && node.size > 0;
    }

    // With the node lock held; the caller reports progress once the lock is let go.
    void Store(Decoded&& decoded) {
        ClaimIndexSectors(decoded.indexRuns);
        if (decoded.unlocatable) return;
        RFileNode& node = decoded.node;
        bool inUseRoot = node.id == kRootRecord;
        bool countable = node.IsFileKind() && node.valid;
        CountNode(node, report_);
        KeepStreams(std::move(decoded.streams), node);
        uint32_t id = part_.StoreNodeLocked(std::move(node));
        if (id != 0 && countable) part_.fileCount.fetch_add(1);
        if (id > lastStored_.load(std::memory_order_relaxed))
            lastStored_.store(id, std::memory_order_relaxed);
        if (inUseRoot) part_.rootNodeId = kRootRecord;
    }

    // Stream nodes wait for ids above every record number: they are stored after the walk.
    void KeepStreams(std::vector<NtfsStream>&& streams, const RFileNode& owner) {
        if (streams.empty()) return;
        size_t first = result_.streams.size();
        AppendStreamNodes(std::move(streams), owner, result_.streams);
        size_t kept = first;
        for (size_t i = first; i < result_.streams.size(); ++i) {
            RFileNode& node = result_.streams[i];
            if (kept >= kMaxStreamNodes ||
                streamBytes_ + node.residentData.size() > kMaxStreamResidentBytes)
                break;
            streamBytes_ += node.residentData.size();
            if (deletedOnly_ && node.kind == NodeKind::File) node.valid = 0;
            CountNode(node, report_);
            if (kept != i) result_.streams[kept] = std::move(node);
            ++kept;
        }
        result_.streams.resize(kept);
    }

    void ClaimIndexSectors(const std::vector<DataRun>& indexRuns) {
        uint32_t spc = params_.sectorsPerCluster;
        for (const DataRun& run : indexRuns) {
            if (run.startSector == kSparseSector || run.sectorCount >= kClaimedIndexClusters * spc)
                continue;
            for (uint64_t s = 0; s < run.sectorCount; s += spc) part_.Claim(run.startSector + s);
        }
    }

    NtfsPartInfo& part_;
    DiskReader& reader_;
    const NtfsBootParams& params_;
    const ParseProgressCallback& progress_;
    bool partitionDeleted_;
    bool deletedOnly_;
    size_t recordBytes_;
    uint32_t limit_;
    ParseProgress report_;
    WalkResult result_;
    DecodedQueue decoded_;
    std::optional<NtfsRecord> logFile_;  // records 2 and 6, kept by the decoding thread
    std::optional<NtfsRecord> bitmap_;
    uint64_t streamBytes_ = 0;
    bool stopped_ = false;
    std::atomic<uint32_t> lastStored_{0};  // written by the walk, read by the reading thread
};

// Moves node `id` (and its subtree) under `parent` as derived copies; a duplicate already
// there makes the move a removal.
void Reparent(NtfsPartInfo& part, uint32_t id, uint32_t parentId) {
    const RFileNode* node = part.LiveNodeAt(id);
    const RFileNode* parent = part.LiveNodeAt(parentId);
    if (!node || !parent || !parent->IsDirectoryKind() || node->parentId == parentId) return;
    std::vector<uint32_t> subtree;
    std::vector<uint32_t> stack{id};
    while (!stack.empty() && subtree.size() < 1000000) {
        uint32_t at = stack.back();
        stack.pop_back();
        if (std::find(subtree.begin(), subtree.end(), at) != subtree.end()) continue;
        subtree.push_back(at);
        if (const RFileNode* n = part.NodeAt(at)) {
            for (uint32_t c : n->children) stack.push_back(c);
        }
    }
    for (uint32_t other : parent->children) {
        const RFileNode* o = part.LiveNodeAt(other);
        if (o && other != id && o->name == node->name && o->kind == node->kind &&
            o->firstSector == node->firstSector && o->size == node->size) {
            for (auto it = subtree.rbegin(); it != subtree.rend(); ++it) SetNodeValid(part, *it, false);
            return;
        }
    }
    // Copy in pre-order so parents exist before their children.
    FnvMap<uint32_t, uint32_t> copies;
    for (uint32_t source : subtree) {
        const RFileNode* s = part.NodeAt(source);
        if (!s || !s->IsLive()) continue;
        uint32_t newParent = source == id ? parentId : 0;
        if (source != id) {
            auto p = copies.find(s->parentId);
            if (p == copies.end()) continue;
            newParent = p->second;
        }
        uint32_t newId = part.NextNodeId();
        RFileNode copy = DeriveNodeCopy(*s, newId, newParent, L"");
        copy.residentData = s->residentData;
        bool countable = copy.IsFileKind();
        if (part.StoreNodeLocked(std::move(copy)) == 0) break;
        if (countable) part.fileCount.fetch_add(1);
        copies[source] = newId;
    }
    for (auto it = subtree.rbegin(); it != subtree.rend(); ++it) SetNodeValid(part, *it, false);
}

// What the tree pass gathers of each slot.
enum : uint8_t { kNoNode = 0, kFileSlot = 1, kFolderSlot = 2, kReparented = 4 };

// Parent references carry no sequence numbers here, so records of two deleted directories can
// name each other; their files would then reach neither the root nor the folder of lost paths.
// Each chain is followed up once; the node that closes a loop goes to the lost paths.
void BreakParentCycles(std::vector<uint32_t>& parents, std::vector<uint8_t>& slots, uint32_t root,
                       uint32_t orphans) {
    enum : uint8_t { kUnseen = 0, kOnPath = 1, kReaches = 2 };
    const uint32_t limit = static_cast<uint32_t>(parents.size());
    std::vector<uint8_t> state(limit, kUnseen);
    std::vector<uint32_t> path;
    for (uint32_t id = 0; id < limit; ++id) {
        path.clear();
        uint32_t at = id;
        // Each step marks a node never marked before: at most `limit` steps in all.
        while (at < limit && at != root && at != orphans && state[at] == kUnseen && slots[at] != kNoNode) {
            state[at] = kOnPath;
            path.push_back(at);
            at = parents[at];
        }
        if (at < limit && state[at] == kOnPath) {
            parents[path.back()] = orphans;
            slots[path.back()] |= kReparented;
        }
        for (uint32_t p : path) state[p] = kReaches;
    }
}

// Stream nodes take the ids after the last record.
void StoreStreamNodes(NtfsPartInfo& part, std::vector<RFileNode>& nodes) {
    for (RFileNode& node : nodes) {
        uint32_t id = part.FirstFreeIdFrom(part.NextNodeId());
        if (id == 0) break;
        node.id = id;
        part.AddFileNode(std::move(node));
    }
    nodes.clear();
}

}  // namespace

void SetLogFileAnalyser(LogFileAnalyser analyser) { logFileAnalyser.store(analyser); }

void BuildNtfsTree(NtfsPartInfo& part, bool partitionDeleted) {
    {
        auto lock = part.WriteLock();
        NodeKind dirKind = partitionDeleted ? NodeKind::DeletedDirectory : NodeKind::Directory;
        if (!part.LiveNodeAt(kRootRecord)) part.StoreNodeLocked(FolderNode(kRootRecord, 0, dirKind, L"\\"));
        part.rootNodeId = kRootRecord;
        // The folder of lost paths takes the next id; a record numbered at the end of the
        // store's reach leaves none there, and then the first free id below serves.
        uint32_t orphans = part.orphanFolderId;
        if (orphans == 0) orphans = part.FirstFreeIdFrom(part.NextNodeId());
        if (orphans == 0) orphans = part.FirstFreeIdFrom(kLastMetadataRecord + 1);
        if (orphans != 0 && !part.LiveNodeAt(orphans)) {
            orphans = part.StoreNodeLocked(FolderNode(orphans, kRootRecord, NodeKind::DeletedDirectory,
                                                      kLostPathFolderName));
        }
        // Without any id left, nodes without a parent go to the root.
        part.orphanFolderId = orphans != 0 ? orphans : kRootRecord;
    }
    // The nodes are gone over once to gather their parents and kinds; parents are checked and
    // loops broken on that copy, and then only the nodes whose parent changed and the folders
    // that gain children are written.
    const uint32_t limit = part.NextNodeId();
    const uint32_t root = part.rootNodeId;
    const uint32_t orphans = part.orphanFolderId;
    std::vector<uint32_t> parents(limit, 0);
    std::vector<uint8_t> slots(limit, kNoNode);
    for (uint32_t from = 0; from < limit; from += kTreeSlice) {
        auto lock = part.WriteLock();
        for (uint32_t id = from; id < std::min(limit, from + kTreeSlice); ++id) {
            RFileNode* node = part.NodeAt(id);
            if (!node) continue;
            if (!node->children.empty()) node->children.clear();
            if (node->kind == NodeKind::Empty) continue;
            parents[id] = node->parentId;
            slots[id] = node->IsDirectoryKind() ? kFolderSlot : kFileSlot;
        }
    }
    auto linked = [&](uint32_t id) { return slots[id] != kNoNode && id != root && id != orphans; };
    for (uint32_t id = 0; id < limit; ++id) {
        uint32_t& parent = parents[id];
        if (!linked(id)) continue;
        if (parent == id || parent >= limit || (slots[parent] & kFolderSlot) == 0) {
            parent = orphans;
            slots[id] |= kReparented;
        }
    }
    BreakParentCycles(parents, slots, root, orphans);
    std::vector<uint32_t> childCount(limit, 0);
    for (uint32_t id = 0; id < limit; ++id)
        if (linked(id)) ++childCount[parents[id]];
    if (orphans != root) ++childCount[root];
    for (uint32_t from = 0; from < limit; from += kTreeSlice) {
        auto lock = part.WriteLock();
        for (uint32_t id = from; id < std::min(limit, from + kTreeSlice); ++id) {
            if (!linked(id)) continue;
            const uint32_t parent = parents[id];
            if (slots[id] & kReparented) part.NodeAt(id)->parentId = parent;
            std::vector<uint32_t>& children = part.NodeAt(parent)->children;
            if (children.empty()) children.reserve(childCount[parent]);
            children.push_back(id);
        }
    }
    auto lock = part.WriteLock();
    if (orphans != root) part.NodeAt(root)->children.push_back(orphans);
}

void MergeLogFileRecovery(NtfsPartInfo& part, const LogFileRecovery& recovered,
                          bool partitionDeleted) {
    for (const NtfsRecord& record : recovered.records) {
        RFileNode node;
        RecordToNode(record, node, partitionDeleted, true);
        auto lock = part.WriteLock();
        const RFileNode* taken = part.NodeAt(node.id);
        if (taken && taken->kind != NodeKind::Empty) node.id = part.FirstFreeIdFrom(part.NextNodeId());
        bool countable = node.IsFileKind();
        if (node.id != 0 && part.StoreNodeLocked(std::move(node)) != 0 && countable)
            part.fileCount.fetch_add(1);
    }
    BuildNtfsTree(part, partitionDeleted);
    if (recovered.parents.empty()) return;
    {
        auto lock = part.WriteLock();
        for (const auto& [record, parent] : recovered.parents) Reparent(part, record, parent);
    }
    BuildNtfsTree(part, partitionDeleted);
}

bool ScanNtfs(NtfsPartInfo& part, DiskReader& reader, const ParseProgressCallback& progress,
              bool partitionDeleted, bool deletedOnly) {
    NtfsBootParams params;
    if (!DecodeNtfsBootParams(part.bootSector, part.volumeSector, params)) return false;
    WalkResult walk = MftWalk(part, reader, params, progress, partitionDeleted, deletedOnly).Run();
    StoreStreamNodes(part, walk.streams);
    ParseProgress report;
    report.fsType = kFsNtfs;
    report.volumeSector = part.volumeSector;
    if (!KeepGoing(progress, report)) return false;

    LogFileAnalyser analyser = logFileAnalyser.load();
    if (analyser && walk.logFile && !walk.logFile->dataRuns.empty()) {
        MergeLogFileRecovery(part, analyser(reader, *walk.logFile), partitionDeleted);
    } else {
        BuildNtfsTree(part, partitionDeleted);
    }

    part.earliestTime = part.latestTime = 0;
    {
        auto lock = part.ReadLock();
        part.ComputeTimeRange();
    }
    RecoverRecycleNames(part, &reader);
    if (part.carvingFollows) {
        auto lock = part.ReadLock();
        part.BuildStartIndex();
    }
    part.scanned.store(1);
    return true;
}

std::shared_ptr<NtfsPartInfo> MakeNtfsPartition(DiskReader& reader, uint64_t sector,
                                                const uint8_t* bootCopy) {
    auto part = std::make_shared<NtfsPartInfo>();
    part->startSector = part->volumeSector = sector;
    if (bootCopy) {
        std::memcpy(part->bootSector.data(), bootCopy, 512);
    } else if (!reader.ReadSectors(part->bootSector.data(), sector, 1)) {
        return nullptr;
    }
    NtfsBootParams params;
    if (!DecodeNtfsBootParams(part->bootSector, sector, params)) return nullptr;
    if (!LoadMftRuns(reader, params, sector, part->mftRuns)) return nullptr;
    part->sectorCount = params.totalSectors;
    part->Claim(sector);
    if (params.totalSectors != 0) part->Claim(sector + params.totalSectors);  // backup boot sector
    part->mirrorSector = params.mirrorSector;
    return part;
}

bool LoadNtfsFreeSpace(DiskReader& reader, uint64_t volumeSector, FreeSpaceMap& out) {
    uint8_t boot[512];
    if (!reader.ReadSectors(boot, volumeSector, 1)) return false;
    NtfsBootParams params;
    if (!DecodeNtfsBootParams(std::span<const uint8_t>(boot, 512), volumeSector, params)) return false;
    std::vector<DataRun> mftRuns;
    if (!LoadMftRuns(reader, params, volumeSector, mftRuns)) return false;
    NtfsRecord bitmap;
    if (!ReadMftRecord(reader, params, volumeSector, mftRuns, 6, bitmap)) return false;
    if (bitmap.hasAttributeList)
        ResolveAttributeList(reader, params, volumeSector, mftRuns, params.SectorsPerRecord(), bitmap);
    if (bitmap.dataRuns.empty() || bitmap.size == 0 || params.sectorsPerCluster == 0) return false;
    // Clusters past the device cannot be read: the map covers those that can, whatever the
    // boot sector claims.
    uint64_t sectors = params.totalSectors;
    if (volumeSector > reader.LastSector()) return false;
    sectors = std::min(sectors, reader.LastSector() - volumeSector + 1);
    uint64_t clusters = sectors / params.sectorsPerCluster;
    if (clusters == 0 || clusters > 0xFFFFFFFFull) return false;
    FreeSpaceMap map;
    map.clusterCount = static_cast<uint32_t>(clusters);
    map.firstSector = volumeSector;
    map.sectorsPerCluster = params.sectorsPerCluster;
    map.bitmap.assign((clusters + 7) / 8, 0);
    RFileNode carrier;
    carrier.runs = bitmap.dataRuns;
    carrier.size = bitmap.size;
    uint64_t want = std::min<uint64_t>(bitmap.size, map.bitmap.size());
    for (uint64_t done = 0; done < want;) {
        uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(want - done, 8u << 20));
        uint32_t got = ReadRunsData(&reader, carrier, done, map.bitmap.data() + done, piece);
        if (got == 0) break;
        done += got;
    }
    out = std::move(map);
    return true;
}

}  // namespace ravlin
