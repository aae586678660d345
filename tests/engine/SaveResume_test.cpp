// Saving a scan and going on from the saved file, on a generated disk with listed volumes,
// a lost FAT volume, NTFS records without their boot sectors and carved files: a resumed scan
// reads only the blocks left and ends as a scan that was never interrupted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "engine/DiskRecoveryEngine.h"
#include "fs/PartInfo.h"
#include "platform/DeviceTable.h"
#include "platform/FaultInjection.h"
#include "progress/ProgressFile.h"
#include "support/ResumeDisk.h"
#include "support/TempDir.h"

using namespace ravlin;
using namespace std::chrono_literals;
using Checkpoint = DiskRecoveryEngine::Checkpoint;

namespace {

constexpr uint64_t kBlock = 16384;
constexpr const wchar_t* kDevice = L"\\\\.\\PhysicalDrive57";

class NoRetry final : public IScanHost {
public:
    bool ShouldRetryDevice() override { return false; }
    void BeginStages(uint32_t) override {}
    void OnStage(uint32_t, uint32_t, const wchar_t*) override {}
    void EndStages() override {}
    void OnReadErrors(uint32_t, uint32_t, uint64_t, bool) override {}
};

// Every partition and node of a finished scan, as text, in no particular order.
std::multiset<std::wstring> Result(const DiskRecoveryEngine& engine) {
    std::multiset<std::wstring> out;
    for (const auto& part : *engine.Output()->Partitions()) {
        std::wstringstream p;
        p << part->displayName << L" fs" << part->fsType << L" at " << part->startSector;
        out.insert(p.str());
        auto lock = part->ReadLock();
        part->ForEachNode([&](uint32_t, const RFileNode& node) {
            if (node.kind == NodeKind::Empty) return;
            std::wstringstream n;
            n << p.str() << L" | " << node.name << L" " << node.size << L" k" << int(node.kind) << L" t"
              << node.typeId;
            for (const DataRun& run : node.runs) n << L" " << run.startSector << L"+" << run.sectorCount;
            out.insert(n.str());
        });
    }
    return out;
}

// Block reads of the raw pass seen through the checkpoints, and a stop after the n-th.
class BlockReads {
public:
    explicit BlockReads(uint64_t stopAfter = 0) : stopAfter_(stopAfter) {
        DiskRecoveryEngine::SetCheckpointHookForTesting([this](DiskRecoveryEngine& engine, Checkpoint point) {
            if (point != Checkpoint::BlockRead) return;
            if (++reads_ == stopAfter_) engine.RequestStop();
        });
    }
    ~BlockReads() { DiskRecoveryEngine::SetCheckpointHookForTesting(nullptr); }
    uint64_t Count() const { return reads_.load(); }

private:
    uint64_t stopAfter_;
    std::atomic<uint64_t> reads_{0};
};

class SaveResume : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        int err = 0;
        backend_ = std::make_shared<platform::FaultInjectingBackend>(
            platform::OpenFileBackend(test::ResumeDiskImage().string(), err));
        auto backend = backend_;
        platform::RegisterDeviceFactory(kDevice, [backend] { return backend; });
        // The scan nothing interrupts, the result every resumed scan must end with.
        DiskRecoveryEngine engine(Input());
        engine.Run();
        whole_ = new std::multiset<std::wstring>(Result(engine));
    }
    static void TearDownTestSuite() {
        platform::UnregisterDevice(kDevice);
        backend_.reset();
        delete whole_;
    }

    static ScanInput Input(const std::wstring& resume = L"") {
        ScanInput input;
        input.devicePath = kDevice;
        input.sectorCount = test::kResumeDiskBlocks * kBlock;
        input.resumeFile = resume;
        input.host = &host_;
        return input;
    }
    std::wstring Folder() const { return temp_.Path().wstring(); }
    ScanProgressSnapshot Saved(const std::wstring& name) {
        ScanProgressSnapshot s;
        EXPECT_TRUE(ReadData(Folder(), name, s, 0, payloads_));
        return s;
    }

    static inline std::shared_ptr<platform::FaultInjectingBackend> backend_;
    static inline std::multiset<std::wstring>* whole_ = nullptr;
    static inline NoRetry host_;
    test::TempDir temp_;
    CreateInfoStore infos_;
    SavedPayloads payloads_{infos_};
};

}  // namespace

// What every resumed scan must give back: the sample disk's two volumes, the lost FAT volume
// (found from its boot sector), the NTFS volume rebuilt from its records, and carved files.
TEST_F(SaveResume, TheUninterruptedScanFindsEveryKindOfResult) {
    std::set<std::wstring> parts;
    size_t carved = 0;
    for (const auto& line : *whole_) {
        const size_t bar = line.find(L" | ");
        if (bar == std::wstring::npos) parts.insert(line.substr(line.find(L" fs")));
        else if (line.find(L" fs13 at 0 | ") != std::wstring::npos) ++carved;
    }
    EXPECT_EQ(parts, (std::set<std::wstring>{L" fs12 at 2048", L" fs11 at 133120", L" fs10 at 294912",
                                              L" fs12 at 376832", L" fs13 at 0"}));
    EXPECT_GE(carved, 20u);
}

TEST_F(SaveResume, AStopThirtyBlocksInIsSavedTwentyOneBlocksEarlierAndResumesToTheSameResult) {
    std::wstring file = L"stopped.rvpd";
    {
        BlockReads reads(30);
        DiskRecoveryEngine engine(Input());
        engine.Run();
        ASSERT_TRUE(engine.IsStopped());
        ASSERT_TRUE(engine.SaveProgress(Folder(), file, L"index"));
    }
    ScanProgressSnapshot s = Saved(file);
    ASSERT_EQ(s.states.size(), test::kResumeDiskBlocks);
    for (size_t b = 0; b < s.states.size(); ++b) EXPECT_EQ(s.states[b], b < 9 ? 2u : 0u) << b;
    EXPECT_EQ(s.cursor, 9 * kBlock);
    EXPECT_EQ(s.lastBlock, 39 * kBlock);
    EXPECT_FALSE(s.items.empty());  // the sample disk's hits
    for (const ScanItem& item : s.items) EXPECT_LT(uint64_t{item.startSector}, 9 * kBlock);
    std::vector<ScanProgressIndexItem> index;
    ASSERT_TRUE(ReadIndex(Folder(), L"index", index));
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index[0].dataFile, file);
    EXPECT_EQ(index[0].endSector, test::kResumeDiskBlocks * kBlock);
    EXPECT_EQ(index[0].driveNumber, 57u);

    // Resumed: the 31 blocks not processed are read, nothing before them, and the result is
    // the uninterrupted scan's.
    BlockReads reads;
    DiskRecoveryEngine engine(Input(Folder() + L"/" + file));
    engine.Run();
    EXPECT_EQ(reads.Count(), test::kResumeDiskBlocks - 9);
    EXPECT_EQ(engine.Output()->scannedSectors.load(), test::kResumeDiskBlocks * kBlock);
    EXPECT_EQ(Result(engine), *whole_);
}

TEST_F(SaveResume, AFinishedScanResumesWithoutReadingABlockAndRebuildsFromItsItems) {
    {
        DiskRecoveryEngine engine(Input());
        engine.Run();
        ASSERT_TRUE(engine.SaveProgress(Folder(), L"done.rvpd", L"index"));
    }
    ScanProgressSnapshot s = Saved(L"done.rvpd");
    for (uint32_t state : s.states) EXPECT_EQ(state, kBlockDone);
    bool video = false, record = false, boot = false;
    for (const ScanItem& item : s.items) {
        record |= item.origin == kOriginClassifier && item.typeId == kFoundFileRecord;
        boot |= item.origin == kOriginClassifier && item.typeId == kFoundFat16Boot;
    }
    for (const ScanItem& item : s.videoItems) video |= item.typeId == 2;
    EXPECT_TRUE(record && boot && video);

    BlockReads reads;
    DiskRecoveryEngine engine(Input(Folder() + L"/done.rvpd"));
    engine.Run();
    EXPECT_EQ(reads.Count(), 0u);
    EXPECT_EQ(Result(engine), *whole_);
}

TEST_F(SaveResume, AStopTenBlocksInRewindsToTheStartAndSavesNoItem) {
    BlockReads reads(10);
    DiskRecoveryEngine engine(Input());
    engine.Run();
    ASSERT_TRUE(engine.SaveProgress(Folder(), L"early.rvpd", L"index"));
    ScanProgressSnapshot s = Saved(L"early.rvpd");
    for (uint32_t state : s.states) EXPECT_EQ(state, kBlockNotRead);
    EXPECT_EQ(s.cursor, 0u);
    EXPECT_TRUE(s.items.empty());
    EXPECT_TRUE(s.videoItems.empty());
    // A second save of the same scan rewinds from where the first one left the cursor.
    ASSERT_TRUE(engine.SaveProgress(Folder(), L"early.rvpd", L"index"));
    EXPECT_EQ(Saved(L"early.rvpd").cursor, 0u);
}

TEST_F(SaveResume, ASaveWhilePausedWaitsForTheAnalysisAndTheScanGoesOnAfter) {
    DiskRecoveryEngine engine(Input());
    std::atomic<bool> paused{false};
    DiskRecoveryEngine::SetCheckpointHookForTesting([&](DiskRecoveryEngine& e, Checkpoint point) {
        if (point == Checkpoint::BlockAnalysed && !paused.exchange(true)) e.SetPause(true);
    });
    std::thread run([&] { engine.Run(); });
    while (!paused.load()) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(engine.SaveProgress(Folder(), L"paused.rvpd", L"index"));
    engine.SetPause(false);
    run.join();
    DiskRecoveryEngine::SetCheckpointHookForTesting(nullptr);
    ScanProgressSnapshot s = Saved(L"paused.rvpd");
    size_t done = 0;
    for (uint32_t state : s.states) done += state == kBlockDone;
    EXPECT_GE(done, 1u);
    EXPECT_LT(done, test::kResumeDiskBlocks);
    // The scan itself lost nothing to the save.
    EXPECT_EQ(Result(engine), *whole_);

    // A file of another region's shape, or no progress file at all, is ignored.
    ScanInput other = Input(Folder() + L"/paused.rvpd");
    other.sectorCount = 20 * kBlock;
    BlockReads reads;
    DiskRecoveryEngine shorter(other);
    shorter.Run();
    EXPECT_EQ(reads.Count(), 20u);
    std::filesystem::path junk = temp_ / "junk.rvpd";
    std::ofstream(junk) << "RVPD and then nothing a progress file holds";
    DiskRecoveryEngine fresh(Input(junk.wstring()));
    fresh.Run();
    EXPECT_EQ(reads.Count(), 20u + test::kResumeDiskBlocks);
}

// Through the exported calls: refused while the scan runs unpaused or without a name, done
// while it is paused (its reader hanging on a slow sector meanwhile), and listed by the index.
TEST_F(SaveResume, TheEngineSavesOnlyAPausedOrEndedScan) {
    ScanEngine engine;
    std::vector<ScanProgressIndexItem> index;
    EXPECT_FALSE(engine.SaveScanProgress(Folder(), L"none.rvpd", L"index"));  // no scan yet
    backend_->HoldSectors(30 * kBlock, 1, 60000);
    ASSERT_TRUE(engine.Start(Input()));
    while (engine.IsRunning() && backend_->HeldNow() == 0) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(engine.IsRunning());
    EXPECT_FALSE(engine.SaveScanProgress(Folder(), L"running.rvpd", L"index"));
    EXPECT_FALSE(std::filesystem::exists(temp_ / "running.rvpd"));
    engine.SetPause(true);
    EXPECT_FALSE(engine.SaveScanProgress(Folder(), L"", L"index"));
    EXPECT_FALSE(engine.SaveScanProgress(Folder(), L"paused.rvpd", L""));
    EXPECT_TRUE(engine.SaveScanProgress(Folder(), L"paused.rvpd", L"index"));
    backend_->ReleaseHeld();
    backend_->Heal();
    engine.SetPause(false);
    while (engine.IsRunning()) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(engine.SaveScanProgress(Folder(), L"ended.rvpd", L"index"));
    ASSERT_TRUE(ScanEngine::LoadScanProgressIndex(Folder(), L"index", index));
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index[0].dataFile, L"paused.rvpd");
    EXPECT_EQ(index[1].dataFile, L"ended.rvpd");
    EXPECT_EQ(index[1].scanKind, 1u);
    EXPECT_EQ(index[1].scanMode, 0u);
    size_t done = 0;
    for (uint32_t state : Saved(L"paused.rvpd").states) done += state == kBlockDone;
    EXPECT_LT(done, 31u);
    for (uint32_t state : Saved(L"ended.rvpd").states) EXPECT_EQ(state, kBlockDone);
}
