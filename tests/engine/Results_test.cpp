// The engine's result side on real scans: a preview that a host thread still holds outlives the
// next Start together with everything it points into.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "engine/ScanEngineImpl.h"
#include "fs/PartInfo.h"
#include "platform/DeviceTable.h"
#include "platform/FaultInjection.h"
#include "results/ScanPreview.h"
#include "support/Fixtures.h"

using namespace ravlin;

namespace {

void ScanToTheEnd(ScanEngineImpl& engine, const std::filesystem::path& image, const std::wstring& device = L"") {
    ScanInput input;
    input.devicePath = device.empty() ? image.wstring() : device;
    input.sectorCount = std::filesystem::file_size(image) / 512;
    ASSERT_TRUE(engine.Start(input));
    while (engine.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (int guard = 0; (engine.TickPreview(0) || !engine.FilterEnding()) && guard < 1000; ++guard) {
    }
}

// The sample disk behind a fault-injecting backend, registered as a drive while it lives.
struct FaultySampleDisk {
    explicit FaultySampleDisk(std::wstring name) : device(std::move(name)) {
        int err = 0;
        faulty = std::make_shared<platform::FaultInjectingBackend>(platform::OpenFileBackend(image.string(), err));
        auto backend = faulty;
        platform::RegisterDeviceFactory(device, [backend] { return backend; });
    }
    ~FaultySampleDisk() { platform::UnregisterDevice(device); }
    std::filesystem::path image = test::FixtureImage("sample-disk.img");
    std::wstring device;
    std::shared_ptr<platform::FaultInjectingBackend> faulty;
};

}  // namespace

TEST(EngineResults, APreviewHeldAcrossTheNextStartStaysWhole) {
    ScanEngineImpl engine;
    ScanToTheEnd(engine, test::FixtureImage("mbr-disk.img"));
    std::shared_ptr<ScanPreview> held = engine.Preview();
    ASSERT_TRUE(held);
    auto parts = held->Partitions();
    ASSERT_EQ(parts->size(), 6u);  // five volumes and the carved-files partition
    const PartInfo* first = (*parts)[0].get();
    auto view = held->PartViewOf(first);
    ASSERT_TRUE(view);
    uint64_t children = view->VisibleChildCount(first->rootNodeId);
    uint64_t found = held->FoundCount();
    ASSERT_GT(children, 0u);

    // A new scan replaces the scan object, its output and the preview.
    ScanToTheEnd(engine, test::FixtureImage("exfat.img"));
    EXPECT_NE(engine.Preview(), held);
    EXPECT_EQ(engine.Output()->Partitions()->size(), 2u);  // the volume and the carved files

    // The held preview still answers from its own scan: snapshots, nodes, names, ticks.
    EXPECT_EQ(held->Partitions()->size(), 6u);
    EXPECT_EQ(view->VisibleChildCount(first->rootNodeId), children);
    uint32_t child = 0;
    {
        auto nodes = first->ReadLock();
        for (uint64_t i = 0; i < children; ++i) {
            uint32_t id = view->VisibleChildAt(first->rootNodeId, i);
            const RFileNode* node = first->LiveNodeAt(id);
            ASSERT_NE(node, nullptr);
            if (node->name == L"primary-ntfs") child = id;
        }
    }
    ASSERT_NE(child, 0u);
    held->SetNodeChecked((*parts)[0], child, true);
    EXPECT_GT(held->CheckedBytes(), 0);
    EXPECT_FALSE(held->TickPreview(0));
    EXPECT_EQ(held->FoundCount(), found);
}

namespace {

constexpr uint32_t kJpg = 46;

// The first file of partition 0 whose type is `type`, through the engine's view.
uint32_t FileOfType(ScanEngineImpl& engine, uint32_t type) {
    auto part = engine.PartitionAt(0);
    uint32_t found = 0;
    auto nodes = part->ReadLock();
    part->ForEachNode([&](uint32_t id, const RFileNode& node) {
        if (!found && node.IsLive() && node.IsFileKind() && node.typeId == type && node.size > 0) found = id;
    });
    return found;
}

}  // namespace

// The name a brief hands out stays as it was until the thread asks again, even when the node
// is renamed in place meanwhile (as the recycle pass and name repair do).
TEST(EngineResults, ABriefsNameOutlivesARenameOfItsNode) {
    ScanEngineImpl engine;
    ScanToTheEnd(engine, test::FixtureImage("sample-disk.img"));
    IScanView& view = engine.View();
    auto part = engine.PartitionAt(0);
    uint32_t file = FileOfType(engine, kJpg);
    ASSERT_NE(file, 0u);
    NodeBrief brief;
    ASSERT_TRUE(view.GetNodeBrief(0, file, &brief));
    std::wstring before = brief.name;
    {
        auto lock = part->WriteLock();
        part->NodeAt(file)->name = std::wstring(300, L'x') + L".jpg";
        part->NodeAt(file)->name.shrink_to_fit();
    }
    std::vector<std::wstring> churn(64, std::wstring(40, L'y'));  // reuse freed memory
    EXPECT_EQ(std::wstring(brief.name), before);
    NodeBrief again;
    ASSERT_TRUE(view.GetNodeBrief(0, file, &again));
    EXPECT_EQ(std::wstring(again.name).size(), 304u);
}

// A content read that waits on the device holds no lock the scanner needs.
TEST(EngineResults, ASlowContentReadLeavesTheNodeStoreFree) {
    FaultySampleDisk disk(L"\\\\.\\PhysicalDrive55");
    auto& faulty = disk.faulty;
    ScanEngineImpl engine;
    ScanToTheEnd(engine, disk.image, disk.device);
    IScanView& view = engine.View();
    auto part = engine.PartitionAt(0);
    uint32_t file = FileOfType(engine, kJpg);
    ASSERT_NE(file, 0u);
    uint64_t first = part->NodeAt(file)->firstSector;
    ASSERT_TRUE(view.OpenReader(0));
    faulty->HoldSectors(first, 1, 3000);
    std::vector<uint8_t> data(512);
    std::thread reading([&] { view.ReadNodeData(0, file, data.data(), 0, 512); });
    while (faulty->HeldNow() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A scanner wanting to write now gets in at once.
    bool writable = false;
    writable = part->TryWriteLock().owns_lock();
    faulty->ReleaseHeld();
    reading.join();
    view.CloseReader(0);
    EXPECT_TRUE(writable);
}

// Content reads say which bytes the device could not give: a bad 4 KiB inside a file costs
// only those bytes; a device that went away costs all of them.
TEST(EngineResults, ContentReadsReportTheBytesTheDeviceCouldNotGive) {
    FaultySampleDisk disk(L"\\\\.\\PhysicalDrive56");
    auto& faulty = disk.faulty;
    ScanEngineImpl engine;
    ScanToTheEnd(engine, disk.image, disk.device);
    IScanView& view = engine.View();
    auto part = engine.PartitionAt(0);
    uint32_t file = FileOfType(engine, kJpg);
    ASSERT_NE(file, 0u);
    const RFileNode* node = part->NodeAt(file);
    const uint64_t first = node->firstSector;
    const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(node->size, 64 * 1024));
    ASSERT_GT(size, 12288u);
    ASSERT_TRUE(view.OpenReader(0));
    std::vector<uint8_t> good(size), got(size);
    ReadGap gaps[8];
    unsigned int count = 99;
    ASSERT_TRUE(view.ReadNodeDataChecked(0, file, good.data(), 0, size, gaps, 8, &count));
    EXPECT_EQ(count, 0u);

    faulty->FailSectors(first + 9, 1);  // inside the file's second 4 KiB
    ASSERT_TRUE(view.ReadNodeDataChecked(0, file, got.data(), 0, size, gaps, 8, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(gaps[0].offset, 4096u);
    EXPECT_EQ(gaps[0].length, 4096u);
    std::vector<uint8_t> want = good;
    std::fill(want.begin() + 4096, want.begin() + 8192, 0);
    EXPECT_EQ(got, want);
    // An offset inside the bad piece: the gap is clipped to what was asked for.
    ASSERT_TRUE(view.ReadNodeDataChecked(0, file, got.data(), 5000, 100, gaps, 8, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(gaps[0].offset, 5000u);
    EXPECT_EQ(gaps[0].length, 100u);

    faulty->Vanish();
    view.ReadNodeDataChecked(0, file, got.data(), 0, size, gaps, 1, &count);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(gaps[0].offset, 0u);
    EXPECT_EQ(gaps[0].length, size);
    view.CloseReader(0);
}

namespace {
// A host's enumerator that, like a browsing host, asks the view about each node it is given,
// while a scanner thread is waiting to write to the same partition.
struct CategoryHost {
    ScanEngineImpl* engine;
    std::shared_ptr<PartInfo> part;
    int calls = 0;
    bool writerGotIn = false;
    bool briefed = false;

    static int Enumerate(unsigned int partIndex, const RFileNode* node, void* context) {
        auto* self = static_cast<CategoryHost*>(context);
        ++self->calls;
        std::atomic<bool> done{false};
        std::thread writer([&] {
            auto lock = self->part->WriteLock();
            done = true;
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        self->writerGotIn = done;
        writer.join();
        NodeBrief brief;
        self->briefed = self->engine->View().GetNodeBrief(partIndex, node->id, &brief);
        self->engine->View().SetNodeChecked(partIndex, node->id, true);
        return 1;  // one node is enough
    }
};
}  // namespace

// The category enumerator runs without the partition's lock held: a writer gets in at once,
// and the enumerator can call the view.
TEST(EngineResults, TheCategoryEnumeratorRunsWithoutTheNodeLock) {
    ScanEngineImpl engine;
    ScanToTheEnd(engine, test::FixtureImage("sample-disk.img"));
    CategoryHost host{&engine, engine.PartitionAt(0)};
    EXPECT_EQ(engine.EnumCategoryNodes(kJpg, 0, 0, &CategoryHost::Enumerate, &host), 1u);
    EXPECT_EQ(host.calls, 1);
    EXPECT_TRUE(host.writerGotIn);
    EXPECT_TRUE(host.briefed);
}
