// The engine's result side on real scans: a preview that a host thread still holds outlives the
// next Start together with everything it points into.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "engine/ScanEngineImpl.h"
#include "fs/PartInfo.h"
#include "results/ScanPreview.h"
#include "support/Fixtures.h"

using namespace ravlin;

namespace {

void ScanToTheEnd(ScanEngineImpl& engine, const std::filesystem::path& image) {
    ScanInput input;
    input.devicePath = image.wstring();
    input.sectorCount = std::filesystem::file_size(image) / 512;
    ASSERT_TRUE(engine.Start(input));
    while (engine.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (int guard = 0; (engine.TickPreview(0) || !engine.FilterEnding()) && guard < 1000; ++guard) {
    }
}

}  // namespace

TEST(EngineResults, APreviewHeldAcrossTheNextStartStaysWhole) {
    ScanEngineImpl engine;
    ScanToTheEnd(engine, test::FixtureImage("mbr-disk.img"));
    std::shared_ptr<ScanPreview> held = engine.Preview();
    ASSERT_TRUE(held);
    auto parts = held->Partitions();
    ASSERT_EQ(parts->size(), 5u);
    const PartInfo* first = (*parts)[0].get();
    auto view = held->PartViewOf(first);
    ASSERT_TRUE(view);
    uint64_t children = view->VisibleChildCount(first->rootNodeId);
    uint64_t found = held->FoundCount();
    ASSERT_GT(children, 0u);

    // A new scan replaces the scan object, its output and the preview.
    ScanToTheEnd(engine, test::FixtureImage("exfat.img"));
    EXPECT_NE(engine.Preview(), held);
    EXPECT_EQ(engine.Output()->Partitions()->size(), 1u);

    // The held preview still answers from its own scan: snapshots, nodes, names, ticks.
    EXPECT_EQ(held->Partitions()->size(), 5u);
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
