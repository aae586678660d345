// One scan from start to end, run on the engine's worker thread: the file-system pass, then the
// raw pass with a reader thread (this one) and an analyser thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "carve/BlockWindow.h"
#include "carve/CarvedNodes.h"
#include "carve/Carver.h"
#include "carve/MtsFragments.h"
#include "carve/VideoScanner.h"
#include "discovery/SectorClassifier.h"
#include "disk/DiskReader.h"
#include "engine/BlockQueue.h"
#include "engine/ScanRangeMap.h"
#include "fs/FreeSpaceMap.h"
#include "fs/ScanItem.h"
#include "fs/ScanOutput.h"
#include "progress/ProgressFile.h"
#include "ravlin/Ravlin.h"

namespace ravlin {

// Bits of the scan's state word.
inline constexpr uint8_t kStateStop = 1;
inline constexpr uint8_t kStatePause = 2;

// The item stores' lock, held by one thread; its pause waits release it.
class HeldStores {
public:
    explicit HeldStores(std::mutex& lock) : lock_(lock), outer_(current) {
        lock_.lock();
        current = this;
    }
    ~HeldStores() {
        current = outer_;
        lock_.unlock();
    }
    HeldStores(const HeldStores&) = delete;
    HeldStores& operator=(const HeldStores&) = delete;
    bool Guards(const std::mutex& lock) const { return &lock == &lock_; }
    void Release() { lock_.unlock(); }
    void Retake() { lock_.lock(); }

    static thread_local HeldStores* current;

private:
    std::mutex& lock_;
    HeldStores* outer_;
};

class DiskRecoveryEngine {
public:
    explicit DiskRecoveryEngine(const ScanInput& input);
    ~DiskRecoveryEngine();
    DiskRecoveryEngine(const DiskRecoveryEngine&) = delete;
    DiskRecoveryEngine& operator=(const DiskRecoveryEngine&) = delete;

    // The whole scan; returns when it has ended, completed or stopped.
    void Run();

    // Sets the stop bit, closes the block queue and wakes every pause waiter.
    void RequestStop();
    void SetPause(bool pause);
    bool IsPaused() const { return (state_.load() & kStatePause) != 0; }
    bool IsStopped() const { return (state_.load() & kStateStop) != 0; }
    // Blocks while paused; false once stopped. Handed to every long loop as keep-running.
    bool PauseWait();

    const ScanInput& Input() const { return input_; }
    const std::shared_ptr<ScanOutput>& Output() const { return output_; }
    std::function<bool()> KeepRunning() {
        return [this] {
            Reached(Checkpoint::FileSystemPass);
            return PauseWait();
        };
    }
    std::function<bool()> IsStoppedCallable() {
        return [this] { return IsStopped(); };
    }

    const ScanRangeMap& RangeMap() const { return rangeMap_; }
    const RecordIndex& Records() const { return recordIndex_; }
    // What the sector classifier kept: the payloads of found-sector items, the name records.
    const FoundSectorStore& FoundSectors() const { return foundSectors_; }
    // The carved-files partition of this scan; null before the raw pass or in the video scan.
    std::shared_ptr<ExtFindPartInfo> CarvedPartition() const;
    const BlockQueue& Queue() const { return queue_; }
    DiskReader& Reader() { return reader_; }

    // Freezes a paused, stopped or ended scan into `folder`/`dataFile` and records it in
    // `folder`/`indexFile`. A stopped scan's map is rewound first. False when the scan's
    // analysis did not reach a pause point in time, or a write failed (an index that cannot be
    // read is not replaced).
    bool SaveProgress(const std::wstring& folder, const std::wstring& dataFile, const std::wstring& indexFile);

    // Tests replace the scan body to control how long a scan runs; null restores it.
    using RunHook = std::function<void(DiskRecoveryEngine&)>;
    static void SetRunHookForTesting(RunHook hook);

    // Points of a scan's life that tests may act at (stop, pause), from whichever thread
    // reaches them. The hook runs on that thread; null removes it.
    enum class Checkpoint {
        Prepared,        // the reader is open and the range map made
        FileSystemPass,  // each poll of the file-system scanners
        BlockRead,       // the reader loop has read a block
        BlockAnalysed,   // the analyser has finished a block
        RawPassEnded,    // both threads of the raw pass have ended
        PauseWaiting,    // a thread is about to wait in the pause wait
    };
    using CheckpointHook = std::function<void(DiskRecoveryEngine&, Checkpoint)>;
    static void SetCheckpointHookForTesting(CheckpointHook hook);

private:
    void Reached(Checkpoint point);
    void Prepare();
    void SelectFreeSpaceBlocks();
    void ReaderLoop();
    bool Reopen();
    void StopFromReader();
    void CarvingAnalyser();
    void FragmentAnalyser();
    void AnalyseBlock(ScanBlock& block);
    bool ParkedWait(uint8_t state);
    void Resume();
    void RebuildFromSavedItems();
    template <class Body>
    void StartAnalyser(Body body, std::thread& thread);

    ScanInput input_;
    std::shared_ptr<ScanOutput> output_;
    DiskReader reader_;
    ScanRangeMap rangeMap_;
    BlockQueue queue_;
    RecordIndex recordIndex_;
    std::unique_ptr<BlockWindow> window_;
    CreateInfoStore createInfos_;
    std::unique_ptr<Carver> carver_;
    std::unique_ptr<CarvedNodeBuilder> carvedBuilder_;
    FoundSectorStore foundSectors_;
    std::unique_ptr<SectorClassifier> classifier_;
    FragmentAssembler fragments_;  // video-fragment scans only
    VideoScanner videoScanner_;    // every other scan
    // Held by whoever adds to the item stores (the analyser, the end of the raw pass, a
    // resume) and by a save, which reads them.
    std::mutex storesLock_;
    std::unique_ptr<SavedPayloads> saved_;  // payloads of a resumed scan's items
    std::vector<std::shared_ptr<PartInfo>> resumeRebuilt_;
    // The volume's allocation map when a free-space scan reads only its free clusters; empty
    // otherwise.
    FreeSpaceMap freeSpace_;
    std::atomic<uint8_t> state_{0};
    std::mutex stateLock_;
    std::condition_variable stateChanged_;
};

}  // namespace ravlin
