// The scan pipeline: prepare, the file-system pass, the raw pass (reader and analyser), and
// what follows it.
#include "engine/DiskRecoveryEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "carve/Registry.h"
#include "discovery/Enumerate.h"
#include "discovery/LostPartitions.h"
#include "discovery/PartitionDetect.h"
#include "engine/Stages.h"
#include "fs/FreeSpaceMap.h"
#include "fs/rebuild/Rebuild.h"

namespace ravlin {
namespace {

std::mutex hookLock;
DiskRecoveryEngine::RunHook& Hook() {
    static DiskRecoveryEngine::RunHook hook;
    return hook;
}
std::atomic<bool> checkpointsWatched{false};
DiskRecoveryEngine::CheckpointHook& CheckpointHookSlot() {
    static DiskRecoveryEngine::CheckpointHook hook;
    return hook;
}

// A stopped scan is saved as if it had stopped this many blocks earlier: parsers of files that
// began there may have been cut short by the stop.
constexpr uint64_t kRewindBlocks = 21;
// How long a save waits for the analysis to reach a pause point.
constexpr auto kSaveWait = std::chrono::seconds(60);

bool IsBootSectorItem(const ScanItem& item) {
    const uint32_t type = item.typeId;
    return item.origin == kOriginClassifier &&
           (type == kFoundNtfsBoot || type == kFoundFat16Boot || type == kFoundFat32Boot || type == kFoundExfatBoot);
}

}  // namespace

thread_local HeldStores* HeldStores::current = nullptr;

void DiskRecoveryEngine::SetRunHookForTesting(RunHook hook) {
    std::lock_guard<std::mutex> guard(hookLock);
    Hook() = std::move(hook);
}

void DiskRecoveryEngine::SetCheckpointHookForTesting(CheckpointHook hook) {
    std::lock_guard<std::mutex> guard(hookLock);
    checkpointsWatched.store(static_cast<bool>(hook));
    CheckpointHookSlot() = std::move(hook);
}

void DiskRecoveryEngine::Reached(Checkpoint point) {
    if (!checkpointsWatched.load(std::memory_order_relaxed)) return;
    CheckpointHook hook;
    {
        std::lock_guard<std::mutex> guard(hookLock);
        hook = CheckpointHookSlot();
    }
    if (hook) hook(*this, point);
}

DiskRecoveryEngine::DiskRecoveryEngine(const ScanInput& input)
    : input_(input), output_(std::make_shared<ScanOutput>()), window_(std::make_unique<BlockWindow>()) {}

std::shared_ptr<ExtFindPartInfo> DiskRecoveryEngine::CarvedPartition() const {
    return carvedBuilder_ ? carvedBuilder_->Partition() : nullptr;
}

DiskRecoveryEngine::~DiskRecoveryEngine() { reader_.Close(); }

void DiskRecoveryEngine::RequestStop() {
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        state_.fetch_or(kStateStop);
    }
    queue_.Close();
    stateChanged_.notify_all();
}

void DiskRecoveryEngine::SetPause(bool pause) {
    if (IsPaused() == pause) return;
    if (pause) {
        state_.fetch_or(kStatePause);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        state_.fetch_and(static_cast<uint8_t>(~kStatePause));
    }
    stateChanged_.notify_all();
}

bool DiskRecoveryEngine::PauseWait() {
    uint8_t now = state_.load();
    if (now == 0) return true;  // running: no need for the lock
    // A thread that holds the item stores lets a save at them while it waits.
    if (HeldStores::current && HeldStores::current->Guards(storesLock_)) {
        HeldStores::current->Release();
        const bool running = ParkedWait(now);
        HeldStores::current->Retake();
        return running;
    }
    return ParkedWait(now);
}

bool DiskRecoveryEngine::ParkedWait(uint8_t now) {
    if (now == kStatePause) Reached(Checkpoint::PauseWaiting);
    std::unique_lock<std::mutex> guard(stateLock_);
    stateChanged_.wait(guard, [&] {
        uint8_t s = state_.load();
        return (s & kStatePause) == 0 || (s & kStateStop) != 0;
    });
    return (state_.load() & kStateStop) == 0;
}

void DiskRecoveryEngine::Run() {
    RunHook hook;
    {
        std::lock_guard<std::mutex> guard(hookLock);
        hook = Hook();
    }
    if (hook) {
        hook(*this);
        return;
    }
    Prepare();
    Reached(Checkpoint::Prepared);
    if (input_.scanMode == kScanModeFull && !IsStopped()) {
        FileSystemPass pass{input_, *output_, reader_, KeepRunning(), IsStoppedCallable()};
        EnumerateListedPartitions(pass);
        if (FileSystemsOnlyKind(input_.scanKind)) {
            reader_.Close();
            return;
        }
    }
    if (input_.scanMode != kScanModeVideoFragments && !IsStopped())
        carvedBuilder_->CreateCarvedPartition(input_.sourceName.empty() ? input_.devicePath : input_.sourceName);
    // A saved scan goes on from here (full scans).
    if (input_.scanMode == kScanModeFull && !IsStopped()) Resume();
    queue_.Reset();
    std::thread analyser;
    if (input_.scanMode == kScanModeVideoFragments) {
        StartAnalyser([this] { FragmentAnalyser(); }, analyser);
    } else {
        StartAnalyser([this] { CarvingAnalyser(); }, analyser);
    }
    ReaderLoop();
    analyser.join();
    queue_.Rewind();
    // Files found are kept even when the scan was stopped: the items still waiting for a next
    // block get their nodes now.
    if (input_.scanMode != kScanModeVideoFragments) {
        HeldStores stores(storesLock_);
        std::vector<ScanItem> abandoned;
        carver_->AbandonPending(abandoned);
        for (const ScanItem& item : abandoned) carvedBuilder_->AddLateItem(item, input_.startSector + input_.sectorCount, {});
        carvedBuilder_->FinishKeptItems();
    }
    Reached(Checkpoint::RawPassEnded);
    // A video-fragment scan that ran to its end chains its fragments into recordings.
    if (input_.scanMode == kScanModeVideoFragments && !IsStopped())
        output_->Publish(fragments_.Assemble(*window_, output_.get()));
    // Unless stopped, the post-processing stages turn what the raw pass gathered into the result.
    if (input_.scanMode != kScanModeVideoFragments && !IsStopped()) {
        FileSystemPass pass{input_, *output_, reader_, KeepRunning(), IsStoppedCallable()};
        StageContext context{pass, recordIndex_, foundSectors_, carvedBuilder_->Partition(), resumeRebuilt_,
                             &videoScanner_, freeSpace_.Usable() ? &freeSpace_ : nullptr};
        HeldStores stores(storesLock_);  // the stages change the name records a save writes
        RunStages(context);
    }
    reader_.Close();
}

void DiskRecoveryEngine::Prepare() {
    // The state word starts clear with the engine; a Stop or Pause made before the worker got
    // here must be kept.
    DiskSourceInfo source;
    source.devicePath = input_.devicePath;
    source.totalSectors = input_.startSector + input_.sectorCount;
    if (IScanHost* host = input_.host)
        reader_.SetFailureHook([host](uint64_t sector, uint32_t count) { host->OnFailedSectors(sector, count); });
    else
        reader_.SetFailureHook(nullptr);
    reader_.Open(source, input_.startSector, input_.sectorCount);  // failure: the reader loop asks
    rangeMap_.Init(input_.startSector, input_.sectorCount);
    freeSpace_ = FreeSpaceMap();
    if (input_.scanKind == 2 || input_.scanKind == 5) SelectFreeSpaceBlocks();
    recordIndex_.Reset(rangeMap_.FirstBlock(), rangeMap_.BlockCount());
    window_->Clear();
    carver_ = std::make_unique<Carver>(GetParserRegistry(), *window_, createInfos_, KeepRunning());
    carvedBuilder_ = std::make_unique<CarvedNodeBuilder>(*output_, recordIndex_, createInfos_, input_.startSector,
                                                         input_.sectorCount, input_.scanMode);
    videoScanner_.Reset(input_.scanMode);
    // Lost volumes are looked for in full scans only: a raw scan carves, and would otherwise
    // list every healthy volume of the disk as a deleted one.
    std::function<void(uint64_t)> adopt;
    if (input_.scanMode == kScanModeFull) {
        adopt = [this](uint64_t sector) {
            FileSystemPass pass{input_, *output_, reader_, KeepRunning(), IsStoppedCallable()};
            AdoptLostPartition(pass, sector);
        };
    }
    classifier_ = std::make_unique<SectorClassifier>(foundSectors_, std::move(adopt));
    classifier_->Reset(&reader_);
    fragments_.Reset(input_.sourceName.empty() ? input_.devicePath : input_.sourceName, &recordIndex_);
    uint64_t total = 0;
    if (rangeMap_.ListedOnly()) {
        total = rangeMap_.DistinctQueuedBlocks() * rangeMap_.Unit();
    } else if (rangeMap_.Unit() != 0 && rangeMap_.LastBlock() >= rangeMap_.FirstBlock()) {
        uint64_t span = rangeMap_.LastBlock() - rangeMap_.FirstBlock();
        total = span - span % rangeMap_.Unit() + rangeMap_.Unit();
    }
    output_->totalSectors.store(total);
}

void DiskRecoveryEngine::SelectFreeSpaceBlocks() {
    FreeSpaceMap map;
    if (reader_.IsClosed() || !LoadFreeSpaceMap(reader_, input_.startSector, map) || !map.Usable())
        return;  // the whole region is read
    rangeMap_.SetListedOnly(true);
    for (uint64_t block : FreeSpaceBlocks(map, input_.startSector, input_.sectorCount)) {
        if (rangeMap_.Inside(block)) rangeMap_.QueueBlock(block);
    }
    freeSpace_ = std::move(map);
}

template <class Body>
void DiskRecoveryEngine::StartAnalyser(Body body, std::thread& thread) {
    std::mutex launchLock;
    std::condition_variable launched;
    bool started = false;
    thread = std::thread([&, body] {
        {
            std::lock_guard<std::mutex> guard(launchLock);
            started = true;
            launched.notify_one();
        }
        body();
    });
    std::unique_lock<std::mutex> wait(launchLock);
    launched.wait(wait, [&] { return started; });
}

bool DiskRecoveryEngine::Reopen() {
    if (!input_.host || !input_.host->ShouldRetryDevice()) return false;
    if (reader_.DevicePath().empty()) return false;
    return reader_.Reopen();
}

void DiskRecoveryEngine::StopFromReader() {
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        state_.fetch_or(kStateStop);
    }
    queue_.Close();
    stateChanged_.notify_all();
}

void DiskRecoveryEngine::ReaderLoop() {
    ScanBlock block;
    uint64_t first;
    bool more = rangeMap_.NextBlock(first);
    while (more && !IsStopped()) {
        if (!PauseWait()) break;
        bool gaveUp = false;
        while (reader_.IsClosed() && !IsStopped()) {
            if (!Reopen()) {
                StopFromReader();
                gaveUp = true;
                break;
            }
        }
        if (gaveUp) break;
        block.firstSector = first;
        block.readOk = reader_.ReadSectorsInto(block.data, first, kBlockSectors);
        // A device that went away is reopened and read again, as often as the host agrees.
        while (!block.readOk && reader_.IsDeviceLost() && !IsStopped()) {
            if (!Reopen()) {
                StopFromReader();
                break;
            }
            block.readOk = reader_.ReadSectorsInto(block.data, first, kBlockSectors);
        }
        if (IsStopped()) break;
        Reached(Checkpoint::BlockRead);
        while (!queue_.Push(block)) {
            if (!PauseWait() || IsStopped()) break;
        }
        if (IsStopped()) break;
        more = rangeMap_.NextBlock(first);
    }
    queue_.Close();
    if (!IsStopped() && input_.host) {
        uint32_t failed = reader_.FailedReads(), calls = reader_.ReadCalls();
        if (failed != 0 && calls != 0 && uint64_t{failed} * 20 >= calls)
            input_.host->OnReadErrors(failed, calls, uint64_t{failed} << 23, reader_.LimitChunk() != 0);
    }
}

void DiskRecoveryEngine::CarvingAnalyser() {
    ScanBlock block;
    while (PauseWait() && queue_.Pop(block)) {
        HeldStores stores(storesLock_);
        AnalyseBlock(block);
    }
}

void DiskRecoveryEngine::AnalyseBlock(ScanBlock& block) {
    if (!PauseWait()) return;
    if (!block.readOk) {
        // Unreadable: counted, not analysed. Its state stays "taken", so a saved scan reads it
        // again.
        output_->scannedSectors.fetch_add(kBlockSectors);
        return;
    }
    const uint8_t* data = block.data->Data();
    uint64_t first = block.firstSector;
    // The window holds the blocks a waiting parser may still ask for.
    bool fed = false;
    auto feed = [&] {
        if (fed) return;
        window_->Feed(first, data);
        fed = true;
    };
    if ((carver_->HasPending() && carver_->WantsBlock(first)) || videoScanner_.WantsBlock(first)) feed();
    std::vector<ScanItem> items;
    if (PauseWait()) {
        carver_->CarveBlock(first, data, items);
        if (PauseWait()) carver_->ContinuePending(first, items);
    }
    if (carver_->HasPending() && carver_->WantsBlock(first)) feed();
    if (!PauseWait()) return;
    // File-system structures in the block; runs of sectors it wants read soon go first.
    std::vector<uint64_t> wanted = classifier_->ClassifyBlock(first, data, items, *output_);
    if (!wanted.empty()) rangeMap_.RequestBlocks(wanted);
    // The video-fragment scanner keeps its items in its own list; movie boxes that reach past
    // the block wait for the window.
    videoScanner_.ScanBlock(first, data);
    if (videoScanner_.Waiting()) {
        feed();
        videoScanner_.ContinueWaiting(*window_);
    }
    PauseWait();
    // Items of parsers that began in earlier blocks go to their own blocks and get their nodes
    // at once.
    std::vector<ScanItem> own;
    for (const ScanItem& item : items) {
        if (item.startSector - item.startSector % kBlockSectors == first) own.push_back(item);
    }
    std::stable_sort(own.begin(), own.end(),
                     [](const ScanItem& a, const ScanItem& b) { return a.startSector < b.startSector; });
    for (const ScanItem& item : items) {
        if (item.startSector - item.startSector % kBlockSectors == first) continue;
        carvedBuilder_->AddLateItem(item, first, own);
    }
    recordIndex_.ReplaceBlock(first, own);
    carvedBuilder_->BuildCarvedNodes(first, own);
    if (PauseWait()) {
        rangeMap_.SetState(first, kBlockDone);
        output_->scannedSectors.fetch_add(kBlockSectors);
    }
    Reached(Checkpoint::BlockAnalysed);
}

void DiskRecoveryEngine::FragmentAnalyser() {
    ScanBlock block;
    while (!IsStopped() && queue_.Pop(block)) {
        if (block.readOk) {
            window_->Feed(block.firstSector, block.data->Data());
            fragments_.FeedBlock(block.firstSector, *window_);
        }
        rangeMap_.SetState(block.firstSector, kBlockDone);
        output_->scannedSectors.fetch_add(kBlockSectors);
    }
}

bool DiskRecoveryEngine::SaveProgress(const std::wstring& folder, const std::wstring& dataFile,
                                      const std::wstring& indexFile) {
    if (folder.empty() || dataFile.empty() || indexFile.empty()) return false;
    // Polled rather than waited for with a deadline, which the thread checker cannot follow.
    std::unique_lock<std::mutex> stores(storesLock_, std::defer_lock);
    const auto deadline = std::chrono::steady_clock::now() + kSaveWait;
    while (!stores.try_lock()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const uint64_t uncovered = rangeMap_.PrepareForSave(IsStopped(), kRewindBlocks);
    ScanProgressSnapshot snapshot;
    snapshot.sourceName = input_.sourceName.empty() ? input_.devicePath : input_.sourceName;
    snapshot.states = rangeMap_.States();
    snapshot.firstBlock = rangeMap_.FirstBlock();
    snapshot.lastBlock = rangeMap_.LastBlock();
    snapshot.cursor = rangeMap_.Cursor();
    const uint64_t regionEnd = input_.startSector + input_.sectorCount;
    auto kept = [&](const ScanItem& item) {
        const uint64_t start = item.startSector;
        if (start >= uncovered) return false;
        if (input_.sectorCount != 0 && (start < input_.startSector || start >= regionEnd)) return false;
        // The backup boot sector at the region's end belongs to the volume, not to a lost one.
        return !(item.origin == kOriginClassifier && item.typeId == kFoundNtfsBoot && start + 1 == regionEnd);
    };
    for (uint64_t b = 0; b < recordIndex_.BlockCount(); ++b) {
        auto list = recordIndex_.Block(recordIndex_.FirstBlockSector() + b * kBlockUnit);
        if (!list) continue;
        for (const ScanItem& item : *list) {
            if (!kept(item)) continue;
            (item.origin == kOriginVideoFragment ? snapshot.videoItems : snapshot.items).push_back(item);
        }
    }
    for (const ScanItem& item : videoScanner_.Items())
        if (kept(item)) snapshot.videoItems.push_back(item);
    // Lent to the snapshot for the write rather than copied: millions of names may lie there.
    snapshot.nameRecords.swap(foundSectors_.names);
    const CreateInfoFinder findInfo = [this](uint64_t word) { return createInfos_.Find(word); };
    const bool written = WriteData(folder, dataFile, snapshot, input_.startSector, findInfo);
    snapshot.nameRecords.swap(foundSectors_.names);
    if (!written) return false;
    ScanProgressIndexItem entry;
    entry.scanKind = input_.scanKind;
    entry.startSector = input_.startSector;
    entry.endSector = regionEnd;
    entry.driveNumber = DriveNumberOf(input_.devicePath);
    entry.scanMode = input_.scanMode;
    entry.dataFile = dataFile;
    return UpdateIndex(folder, indexFile, entry);
}

void DiskRecoveryEngine::Resume() {
    if (input_.resumeFile.empty()) return;
    {
        HeldStores stores(storesLock_);
        std::wstring folder, name;
        SplitProgressPath(input_.resumeFile, folder, name);
        auto saved = std::make_unique<SavedPayloads>(createInfos_);
        ScanProgressSnapshot snapshot;
        // A file that cannot be read, or was made for a region of another shape, is ignored:
        // the scan runs from the start of its region.
        if (!ReadData(folder, name, snapshot, input_.startSector, *saved) ||
            !rangeMap_.Restore(snapshot.states, snapshot.firstBlock, snapshot.lastBlock))
            return;
        saved_ = std::move(saved);
        const uint64_t regionEnd = input_.startSector + input_.sectorCount;
        auto inside = [&](const ScanItem& item) {
            const uint64_t start = item.startSector;
            return rangeMap_.Inside(start) && (input_.sectorCount == 0 || (start >= input_.startSector && start < regionEnd));
        };
        std::stable_sort(snapshot.items.begin(), snapshot.items.end(), [](const ScanItem& a, const ScanItem& b) {
            return a.startSector / kBlockUnit < b.startSector / kBlockUnit;
        });
        for (size_t i = 0; i < snapshot.items.size();) {
            const uint64_t block = snapshot.items[i].startSector - snapshot.items[i].startSector % kBlockUnit;
            std::vector<ScanItem> list;
            for (; i < snapshot.items.size() && snapshot.items[i].startSector - snapshot.items[i].startSector % kBlockUnit == block; ++i)
                if (inside(snapshot.items[i])) list.push_back(snapshot.items[i]);
            std::stable_sort(list.begin(), list.end(),
                             [](const ScanItem& a, const ScanItem& b) { return a.startSector < b.startSector; });
            if (!list.empty()) recordIndex_.ReplaceBlock(block, std::move(list));
        }
        std::vector<ScanItem> video;
        for (const ScanItem& item : snapshot.videoItems)
            if (inside(item)) video.push_back(item);
        videoScanner_.AdoptSavedItems(video);
        foundSectors_.names = std::move(snapshot.nameRecords);
        uint64_t done = 0;
        for (uint32_t state : rangeMap_.States())
            if (state == kBlockDone) ++done;
        output_->scannedSectors.store(done * rangeMap_.Unit());
    }
    if (PauseWait()) RebuildFromSavedItems();
}

// What the saved items held before the raw pass goes on: the partitions their boot sectors
// start, their carved files (after the partitions, so that files a found volume lists are not
// carved again, as in a scan that met the boot sector first), and the NTFS volumes their file
// records make.
void DiskRecoveryEngine::RebuildFromSavedItems() {
    HeldStores stores(storesLock_);
    std::vector<ScanItem> all;
    for (uint64_t b = 0; b < recordIndex_.BlockCount(); ++b)
        if (auto list = recordIndex_.Block(recordIndex_.FirstBlockSector() + b * kBlockUnit))
            all.insert(all.end(), list->begin(), list->end());
    if (all.empty()) return;
    FileSystemPass pass{input_, *output_, reader_, KeepRunning(), IsStoppedCallable()};
    if (!reader_.IsClosed()) {
        for (const ScanItem& item : all) {
            if (!IsBootSectorItem(item)) continue;
            if (!PauseWait()) return;
            AdoptLostPartition(pass, item.startSector);
        }
    }
    for (uint64_t b = 0; b < recordIndex_.BlockCount(); ++b) {
        const uint64_t block = recordIndex_.FirstBlockSector() + b * kBlockUnit;
        auto list = recordIndex_.Block(block);
        if (!list || list->empty()) continue;
        if (!PauseWait()) return;
        carvedBuilder_->BuildCarvedNodes(block, *list);
    }
    if (reader_.IsClosed()) return;
    uint32_t n = 0;
    for (const auto& part : *output_->Partitions())
        if (part->listedBySystem || part->FileCount() != 0) ++n;
    std::vector<std::shared_ptr<PartInfo>> rebuilt;
    RebuildNtfsFromRecords(&reader_, all, rebuilt, n);
    PublishRebuiltVolumes(pass, rebuilt);
    resumeRebuilt_ = std::move(rebuilt);
}

}  // namespace ravlin
