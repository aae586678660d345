// The scan pipeline: the file-system pass on real disks and the raw pass's mechanics.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "discovery/Enumerate.h"
#include "engine/DiskRecoveryEngine.h"
#include "engine/ScanEngineImpl.h"
#include "fs/PartInfo.h"
#include "platform/DeviceTable.h"
#include "platform/FaultInjection.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"
#include "support/NodePaths.h"
#include "support/TempDir.h"

using namespace ravlin;
using namespace std::chrono_literals;

namespace {

ScanInput Input(const std::wstring& path, uint64_t start, uint64_t count, uint32_t kind = 1) {
    ScanInput input;
    input.devicePath = path;
    input.startSector = start;
    input.sectorCount = count;
    input.scanKind = kind;
    return input;
}

uint64_t SectorsOf(const std::filesystem::path& path) { return std::filesystem::file_size(path) / 512; }

size_t ManifestFiles(const test::ManifestPartition& p) {
    size_t files = 0;
    for (const auto& e : p.entries) files += !e.directory && e.findable;
    return files;
}

// Files a scan counts that no manifest lists: NTFS's own files below $Extend.
size_t SystemFiles(const PartInfo& part) {
    size_t files = 0;
    for (const auto& [path, node] : test::PathsOf(part))
        files += path.rfind("$Extend/", 0) == 0 && node->IsFileKind();
    return files;
}

// The file-system volumes a scan published (the carved-files partition left out).
std::shared_ptr<PartitionList> VolumesOf(const DiskRecoveryEngine& engine) {
    auto list = std::make_shared<PartitionList>();
    for (const auto& part : *engine.Output()->Partitions())
        if (part->fsType != kFsExtFind) list->push_back(part);
    return list;
}

// Records what the engine tells its host.
struct Host : IScanHost {
    std::function<bool()> retry = [] { return false; };
    std::atomic<int> retries{0};
    std::atomic<int> readErrorCalls{0};
    uint32_t failedReads = 0, readCalls = 0;
    uint64_t failedBytes = 0;
    bool ShouldRetryDevice() override {
        ++retries;
        return retry();
    }
    void BeginStages(uint32_t) override {}
    void OnStage(uint32_t, uint32_t, const wchar_t*) override {}
    void EndStages() override {}
    void OnReadErrors(uint32_t failed, uint32_t calls, uint64_t bytes, bool) override {
        ++readErrorCalls;
        failedReads = failed;
        readCalls = calls;
        failedBytes = bytes;
    }
};

}  // namespace

TEST(FileSystemPass, AnMbrDiskPublishesEveryListedPartition) {
    auto image = test::FixtureImage("mbr-disk.img");
    auto manifest = test::LoadManifest("mbr-disk.img");
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\PhysicalDrive41", image.wstring(), -1, 0));
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\E:", image.wstring(), 41, 2048 * 512));
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\F:", image.wstring(), 41, uint64_t{108544} * 512));
    DiskRecoveryEngine engine(Input(L"\\\\.\\PhysicalDrive41", 0, SectorsOf(image)));
    engine.Run();
    auto list = VolumesOf(engine);
    ASSERT_EQ(list->size(), manifest.partitions.size());
    const uint32_t types[] = {kFsNtfs, kFsFat32, kFsFat16, kFsExfat, kFsNtfs};
    uint64_t files = 0;
    for (size_t i = 0; i < list->size(); ++i) {
        const PartInfo& part = *(*list)[i];
        const auto& want = manifest.partitions[i];
        EXPECT_EQ(part.startSector, want.startSector) << i;
        EXPECT_EQ(part.sectorCount, want.sectorCount) << i;
        EXPECT_EQ(part.fsType, types[i]) << i;
        EXPECT_EQ(part.listedBySystem, 1u);
        EXPECT_EQ(part.scanned.load(), 1u);
        EXPECT_EQ(part.FileCount(), ManifestFiles(want) + SystemFiles(part)) << i;
        files += part.FileCount();
    }
    EXPECT_EQ((*list)[0]->displayName, L"\u672C\u5730\u78C1\u76D8(E:)");
    EXPECT_EQ((*list)[0]->driveLetter, L'E');
    EXPECT_EQ((*list)[1]->displayName, L"\u672C\u5730\u78C1\u76D8(F:)");
    EXPECT_EQ((*list)[2]->displayName, L"\u672C\u5730\u78C1\u76D8");
    EXPECT_EQ(engine.Output()->filesFound.load(), files + engine.Output()->carvedFiles.load());
    EXPECT_EQ(engine.Output()->scannedSectors.load(), engine.Output()->totalSectors.load());
    for (const wchar_t* name : {L"\\\\.\\PhysicalDrive41", L"\\\\.\\E:", L"\\\\.\\F:"})
        platform::UnregisterDevice(name);
}

TEST(FileSystemPass, AnImageFileWithATableIsAWholeDiskAndAVolumeIsOnePartition) {
    auto gpt = test::FixtureImage("gpt-disk.img");
    auto manifest = test::LoadManifest("gpt-disk.img");
    DiskRecoveryEngine disk(Input(gpt.wstring(), 0, SectorsOf(gpt)));
    disk.Run();
    auto list = VolumesOf(disk);
    ASSERT_EQ(list->size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ((*list)[i]->startSector, manifest.partitions[i].startSector);
        EXPECT_EQ((*list)[i]->FileCount(), ManifestFiles(manifest.partitions[i]) + SystemFiles(*(*list)[i]));
        EXPECT_EQ((*list)[i]->displayName, L"\u672C\u5730\u78C1\u76D8");
    }
    auto volume = test::FixtureImage("exfat.img");
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\G:", volume.wstring(), -1, 0));
    DiskRecoveryEngine one(Input(L"\\\\.\\G:", 0, SectorsOf(volume)));
    one.Run();
    list = VolumesOf(one);
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0]->startSector, 0u);
    EXPECT_EQ((*list)[0]->fsType, kFsExfat);
    EXPECT_EQ((*list)[0]->displayName, L"\u672C\u5730\u78C1\u76D8(G:)");
    platform::UnregisterDevice(L"\\\\.\\G:");
}

TEST(FileSystemPass, KindEightWalksEveryPhysicalDriveAndEndsThere) {
    auto mbr = test::FixtureImage("mbr-disk.img");
    auto gpt = test::FixtureImage("gpt-disk.img");
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\PhysicalDrive61", mbr.wstring(), -1, 0));
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\PhysicalDrive62", gpt.wstring(), -1, 0));
    std::atomic<int> finished{0};
    {
        ScanEngine engine;
        engine.SetNotifyCallback([](ScanEngine::Notify code, void* ctx) {
            if (code == ScanEngine::Finished) ++*static_cast<std::atomic<int>*>(ctx);
        }, &finished);
        ASSERT_TRUE(engine.Start(Input(L"\\\\.\\PhysicalDrive61", 0, 1, 8)));
        while (engine.IsRunning()) std::this_thread::sleep_for(1ms);
        unsigned long long scanned, total, found, bytes;
        engine.GetScanProgress(scanned, total, found, bytes);
        EXPECT_EQ(scanned, 0u);
    }
    EXPECT_EQ(finished.load(), 1);
    // The same through the internals, to see the partitions of both drives.
    DiskRecoveryEngine engine(Input(L"\\\\.\\PhysicalDrive61", 0, 1, 8));
    engine.Run();
    size_t fromMbr = 0, fromGpt = 0;
    for (const auto& part : *engine.Output()->Partitions()) {
        fromMbr += part->devicePath == L"\\\\.\\PhysicalDrive61";
        fromGpt += part->devicePath == L"\\\\.\\PhysicalDrive62";
        // Scan kind 8 shows only deleted files.
        part->ForEachNode([](uint32_t, const RFileNode& node) {
            if (node.IsLive()) {
                EXPECT_NE(node.kind, NodeKind::File);
            }
        });
    }
    EXPECT_EQ(fromMbr, 5u);
    EXPECT_EQ(fromGpt, 3u);
    platform::UnregisterDevice(L"\\\\.\\PhysicalDrive61");
    platform::UnregisterDevice(L"\\\\.\\PhysicalDrive62");
}

// ---- the raw pass ----

namespace {

constexpr uint64_t kBlock = 16384;

// A sparse image of `blocks` 8 MiB blocks behind a fault-injecting device.
class RawPass : public ::testing::Test {
protected:
    void Make(uint64_t blocks) {
        image_ = temp_ / "raw.img";
        std::ofstream(image_, std::ios::binary).close();
        std::filesystem::resize_file(image_, blocks * kBlock * 512);
        int err = 0;
        backend_ = std::make_shared<platform::FaultInjectingBackend>(platform::OpenFileBackend(image_.string(), err));
        auto backend = backend_;
        platform::RegisterDeviceFactory(kName, [backend] { return backend; });
        blocks_ = blocks;
    }
    void TearDown() override { platform::UnregisterDevice(kName); }

    ScanInput RawInput(uint64_t start, uint64_t count) {
        ScanInput input = Input(kName, start, count);
        input.scanMode = 1;  // raw pass only
        input.host = &host_;
        return input;
    }
    // Waits for the condition; a test whose condition never comes fails instead of hanging.
    static void WaitFor(const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + 300s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "condition not reached";
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    static constexpr const wchar_t* kName = L"\\\\.\\PhysicalDrive58";
    test::TempDir temp_;
    std::filesystem::path image_;
    std::shared_ptr<platform::FaultInjectingBackend> backend_;
    uint64_t blocks_ = 0;
    Host host_;
};

}  // namespace

TEST_F(RawPass, ARegionInsideOneBlockIsOneBlock) {
    Make(4);
    DiskRecoveryEngine engine(RawInput(kBlock + 100, 50));
    engine.Run();
    EXPECT_EQ(engine.Output()->totalSectors.load(), kBlock);
    EXPECT_EQ(engine.Output()->scannedSectors.load(), kBlock);
    EXPECT_EQ(engine.RangeMap().States(), (std::vector<uint32_t>{kBlockDone}));
    EXPECT_EQ(engine.RangeMap().FirstBlock(), kBlock);
    EXPECT_EQ(engine.Records().BlockCount(), 1u);
}

TEST_F(RawPass, EveryBlockIsReadOnceAndProcessed) {
    Make(40);
    DiskRecoveryEngine engine(RawInput(0, 40 * kBlock - 1));
    engine.Run();
    EXPECT_EQ(engine.Output()->totalSectors.load(), 40 * kBlock);
    EXPECT_EQ(engine.Output()->scannedSectors.load(), 40 * kBlock);
    for (uint32_t state : engine.RangeMap().States()) EXPECT_EQ(state, kBlockDone);
    // 40 blocks of 8 requests each, every one reaching the device once.
    EXPECT_EQ(backend_->Reads().size(), 40u * 8);
    EXPECT_EQ(engine.Reader().ReadCalls(), 40u);
}

TEST_F(RawPass, PauseHoldsBothThreadsAndResumeLosesNoBlock) {
    Make(30);
    backend_->HoldSectors(10 * kBlock, 1, 60000);
    DiskRecoveryEngine engine(RawInput(0, 30 * kBlock));
    std::thread run([&] { engine.Run(); });
    // The reader hangs on block 10; the analyser finishes the ten before it.
    WaitFor([&] { return engine.Output()->scannedSectors.load() == 10 * kBlock && backend_->HeldNow() == 1; });
    engine.SetPause(true);
    backend_->ReleaseHeld();
    // Block 10 is read and handed over, then both threads wait.
    WaitFor([&] { return engine.RangeMap().StateOf(10 * kBlock) == kBlockTaken && backend_->HeldNow() == 0; });
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(engine.Output()->scannedSectors.load(), 11 * kBlock);
    EXPECT_LE(engine.Queue().Stored(), kQueueBlocks);
    EXPECT_EQ(engine.RangeMap().StateOf(12 * kBlock), kBlockNotRead);
    engine.SetPause(false);
    run.join();
    EXPECT_EQ(engine.Output()->scannedSectors.load(), 30 * kBlock);
    for (uint32_t state : engine.RangeMap().States()) EXPECT_EQ(state, kBlockDone);
}

TEST_F(RawPass, StopClosesTheQueueAndLeavesBlocksInFlightTaken) {
    Make(30);
    // Held until released, however slowly the analyser gets through the ten blocks before it.
    backend_->HoldSectors(10 * kBlock, 1, 600000);
    DiskRecoveryEngine engine(RawInput(0, 30 * kBlock));
    std::thread run([&] { engine.Run(); });
    WaitFor([&] { return engine.Output()->scannedSectors.load() == 10 * kBlock && backend_->HeldNow() == 1; });
    engine.RequestStop();
    backend_->ReleaseHeld();
    run.join();
    EXPECT_TRUE(engine.Queue().IsClosed() || engine.Queue().Stored() == 0);
    EXPECT_EQ(engine.Output()->scannedSectors.load(), 10 * kBlock);
    EXPECT_EQ(engine.RangeMap().StateOf(9 * kBlock), kBlockDone);
    EXPECT_EQ(engine.RangeMap().StateOf(10 * kBlock), kBlockTaken);
    EXPECT_EQ(engine.RangeMap().StateOf(20 * kBlock), kBlockNotRead);
    EXPECT_EQ(host_.readErrorCalls.load(), 0);  // not sent after a stop
}

TEST_F(RawPass, AFailingReadOnAPresentDeviceStillCounts) {
    Make(10);
    backend_->FailSectors(3 * kBlock + 77, 1);
    DiskRecoveryEngine engine(RawInput(0, 10 * kBlock));
    engine.Run();
    EXPECT_EQ(engine.Output()->scannedSectors.load(), 10 * kBlock);
    EXPECT_EQ(engine.RangeMap().StateOf(3 * kBlock), kBlockTaken);  // read again when resumed
    EXPECT_EQ(engine.RangeMap().StateOf(4 * kBlock), kBlockDone);
    EXPECT_EQ(host_.readErrorCalls.load(), 1);  // 1 of 10 is over 5 %
}

TEST_F(RawPass, ReadErrorsAreReportedFromFivePercentOn) {
    for (int failing : {4, 5}) {
        Make(100);
        for (int i = 0; i < failing; ++i) backend_->FailSectors((10 + 20 * i) * kBlock, 1);
        host_.readErrorCalls = 0;
        DiskRecoveryEngine engine(RawInput(0, 100 * kBlock - 1));
        engine.Run();
        EXPECT_EQ(engine.Reader().ReadCalls(), 100u);
        if (failing == 4) {
            EXPECT_EQ(host_.readErrorCalls.load(), 0);
        } else {
            EXPECT_EQ(host_.readErrorCalls.load(), 1);
            EXPECT_EQ(host_.failedReads, 5u);
            EXPECT_EQ(host_.readCalls, 100u);
            EXPECT_EQ(host_.failedBytes, uint64_t{5} << 23);
        }
        TearDown();
    }
}

TEST_F(RawPass, AVanishedDeviceIsReopenedWhenTheHostAgreesAndStopsTheScanOtherwise) {
    Make(20);
    backend_->VanishAfter(8 * 5);  // gone in the middle of block 5
    host_.retry = [this] {
        backend_->Reappear();
        return true;
    };
    DiskRecoveryEngine engine(RawInput(0, 20 * kBlock));
    engine.Run();
    EXPECT_GE(host_.retries.load(), 1);
    EXPECT_EQ(engine.Output()->scannedSectors.load(), 20 * kBlock);
    for (uint32_t state : engine.RangeMap().States()) EXPECT_EQ(state, kBlockDone);

    backend_->VanishAfter(8 * 5);
    host_.retries = 0;
    host_.retry = [] { return false; };
    DiskRecoveryEngine refused(RawInput(0, 20 * kBlock));
    refused.Run();
    EXPECT_EQ(host_.retries.load(), 1);
    EXPECT_TRUE(refused.IsStopped());
    EXPECT_LT(refused.Output()->scannedSectors.load(), 20 * kBlock);
}

TEST_F(RawPass, AnUnopenableSourceAsksTheHostAndStopsWithoutOne) {
    ScanInput input = Input(L"/nonexistent/raw.img", 0, 10 * kBlock);
    input.scanMode = 1;
    DiskRecoveryEngine engine(input);
    engine.Run();
    EXPECT_TRUE(engine.IsStopped());
    EXPECT_EQ(engine.Output()->scannedSectors.load(), 0u);
}

TEST(RangeMap, PriorityListedOnlyAndBounds) {
    ScanRangeMap map;
    map.Init(kBlock * 2 + 5, kBlock * 3);
    EXPECT_EQ(map.FirstBlock(), 2 * kBlock);
    EXPECT_EQ(map.LastBlock(), 5 * kBlock);
    EXPECT_EQ(map.BlockCount(), 4u);
    map.RequestBlocks({4 * kBlock + 99, 3 * kBlock, 99 * kBlock});
    uint64_t first;
    ASSERT_TRUE(map.NextBlock(first));
    EXPECT_EQ(first, 3 * kBlock);  // the latest request first
    ASSERT_TRUE(map.NextBlock(first));
    EXPECT_EQ(first, 4 * kBlock);
    ASSERT_TRUE(map.NextBlock(first));
    EXPECT_EQ(first, 2 * kBlock);  // then the walk, skipping what was taken
    ASSERT_TRUE(map.NextBlock(first));
    EXPECT_EQ(first, 5 * kBlock);
    EXPECT_FALSE(map.NextBlock(first));
    EXPECT_EQ(map.StateOf(1), kBlockDone);  // outside the map
    ScanRangeMap listed;
    listed.Init(0, 10 * kBlock);
    listed.SetListedOnly(true);
    EXPECT_FALSE(listed.NextBlock(first));  // nothing queued: nothing read
    listed.QueueBlock(7 * kBlock + 3);
    listed.QueueBlock(7 * kBlock);
    EXPECT_EQ(listed.DistinctQueuedBlocks(), 1u);
    ASSERT_TRUE(listed.NextBlock(first));
    EXPECT_EQ(first, 7 * kBlock);
    EXPECT_FALSE(listed.NextBlock(first));
}

TEST(FreeSpaceScan, KindTwoReadsOnlyBlocksWithFreeClusters) {
    auto image = test::FixtureImage("ntfs.img");
    ScanInput input = Input(image.wstring(), 0, SectorsOf(image), 2);
    input.scanMode = 1;
    DiskRecoveryEngine engine(input);
    engine.Run();
    uint64_t total = engine.Output()->totalSectors.load();
    EXPECT_GT(total, 0u);
    EXPECT_LE(total, 8 * kBlock);
    EXPECT_EQ(engine.Output()->scannedSectors.load(), total);
}

// Every sector of the last block belongs to it: a request for a sector there is read, and its
// state is the block's, not "outside the map".
TEST(RangeMap, TheLastBlockHoldsEverySectorOfIt) {
    ScanRangeMap map;
    map.Init(0, 3 * kBlock + 100);
    ASSERT_EQ(map.BlockCount(), 4u);
    uint64_t last = 3 * kBlock;
    EXPECT_TRUE(map.Inside(last + 99));
    EXPECT_TRUE(map.Inside(last + kBlock - 1));
    EXPECT_FALSE(map.Inside(last + kBlock));
    EXPECT_EQ(map.StateOf(last + 50), kBlockNotRead);
    map.RequestBlocks({last + 50});
    uint64_t first;
    ASSERT_TRUE(map.NextBlock(first));
    EXPECT_EQ(first, last);
    EXPECT_EQ(map.StateOf(last + 7), kBlockTaken);
    map.SetState(last + 1, kBlockDone);
    EXPECT_EQ(map.StateOf(last), kBlockDone);
}

// Tables that name one volume again and again: a GPT of 1024 copies of one entry, a chain of
// 255 extended boot records all naming the first logical volume. Each volume is scanned once.
TEST(FileSystemPass, AVolumeNamedManyTimesIsScannedOnce) {
    auto gpt = test::FixtureImage("gpt-repeated.img");
    DiskRecoveryEngine repeated(Input(gpt.wstring(), 0, SectorsOf(gpt)));
    repeated.Run();
    auto list = VolumesOf(repeated);
    // The table names one volume, 1,024 times; the raw pass finds the others the table lost
    // from their boot sectors, once each.
    const auto gptManifest = test::LoadManifest("gpt-disk.img");
    std::set<uint64_t> listed, lost, expectedLost;
    for (const auto& part : *list) (part->listedBySystem ? listed : lost).insert(part->startSector);
    for (size_t i = 1; i < gptManifest.partitions.size(); ++i) expectedLost.insert(gptManifest.partitions[i].startSector);
    EXPECT_EQ(listed, std::set<uint64_t>{gptManifest.partitions[0].startSector});
    EXPECT_EQ(lost, expectedLost);
    EXPECT_EQ(list->size(), gptManifest.partitions.size());

    auto mbr = test::FixtureImage("ebr-loop.img");
    auto manifest = test::LoadManifest("mbr-disk.img");
    DiskRecoveryEngine looped(Input(mbr.wstring(), 0, SectorsOf(mbr)));
    looped.Run();
    list = VolumesOf(looped);
    // Two primaries and the one logical volume the chain names are listed; the raw pass finds
    // the volumes the looped chain no longer reaches.
    listed.clear();
    lost.clear();
    for (const auto& part : *list) (part->listedBySystem ? listed : lost).insert(part->startSector);
    EXPECT_EQ(listed.size(), 3u);
    EXPECT_TRUE(listed.count(manifest.partitions[2].startSector));
    std::set<uint64_t> all;
    for (const auto& p : manifest.partitions) all.insert(p.startSector);
    for (uint64_t start : lost) EXPECT_TRUE(all.count(start) && !listed.count(start)) << start;
    EXPECT_EQ(list->size(), manifest.partitions.size());
}
