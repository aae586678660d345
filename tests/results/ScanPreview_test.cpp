// The preview model on hand-made partitions: budgets, refilter passes and their generations,
// collectors and their slots, ticking, partitions that leave, and paths.
#include <gtest/gtest.h>

#include "fs/PartInfo.h"
#include "results/ScanPreview.h"

using namespace ravlin;

namespace {

std::shared_ptr<ExtFindPartInfo> MakePart() {
    auto part = std::make_shared<ExtFindPartInfo>();
    part->rootNodeId = 1;
    part->listedBySystem = 1;
    RFileNode root;
    root.id = 1;
    root.kind = NodeKind::Directory;
    part->StoreNode(std::move(root));
    return part;
}

void AddFile(PartInfo& part, uint32_t id, uint32_t parent, uint64_t size, uint32_t type,
             const std::wstring& name, NodeKind kind = NodeKind::File) {
    RFileNode node;
    node.id = id;
    node.parentId = parent;
    node.kind = kind;
    node.size = size;
    node.typeId = type;
    node.name = name;
    part.StoreNode(std::move(node));
}

void AddDir(PartInfo& part, uint32_t id, uint32_t parent, const std::wstring& name) {
    AddFile(part, id, parent, 0, 0, name, NodeKind::Directory);
}

int Drain(ScanPreview& preview, uint32_t budget) {
    int ticks = 0;
    while (preview.TickPreview(budget) && ticks < 10000) ++ticks;
    return ticks;
}

}  // namespace

TEST(ScanPreview, ABudgetBoundsTheIdsOfATickAndZeroMeansNoBound) {
    auto output = std::make_shared<ScanOutput>();
    auto part = MakePart();
    for (uint32_t id = 2; id < 26; ++id) AddFile(*part, id, 1, id, 46, L"f" + std::to_wstring(id));
    output->Publish(part);
    ScanPreview preview(L"", output, 1);
    // Ids 0 to 25: 26 ids in budgets of 10.
    EXPECT_TRUE(preview.TickPreview(10));
    EXPECT_EQ(preview.FoundCount(), 8u);  // ids 2 to 9
    EXPECT_TRUE(preview.TickPreview(10));
    EXPECT_TRUE(preview.TickPreview(10));
    EXPECT_EQ(preview.FoundCount(), 24u);
    EXPECT_FALSE(preview.TickPreview(10));
    EXPECT_EQ(preview.CurrentPath(), L"f25");

    ScanPreview unbounded(L"", output, 1);
    EXPECT_TRUE(unbounded.TickPreview(0));  // found work
    EXPECT_EQ(unbounded.FoundCount(), 24u);
    EXPECT_FALSE(unbounded.TickPreview(0));
    uint64_t bytes = 0;
    for (uint32_t id = 2; id < 26; ++id) bytes += id;
    EXPECT_EQ(unbounded.FoundBytes(), bytes);
    EXPECT_EQ(unbounded.Tree().TypeCount(46), 24u);
}

TEST(ScanPreview, AFilterChangedTwiceRestartsThePassAndFilterEndingWaitsForIt) {
    auto output = std::make_shared<ScanOutput>();
    auto part = MakePart();
    for (uint32_t id = 2; id < 102; ++id) AddFile(*part, id, 1, id, 46, L"f");
    output->Publish(part);
    ScanPreview preview(L"", output, 1);
    Drain(preview, 0);
    EXPECT_TRUE(preview.FilterEnding());
    auto view = preview.PartViewOf(part.get());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->VisibleChildCount(1), 100u);

    preview.SetNodeFilter([](const RFileNode& n) { return n.size % 2 == 0; });
    EXPECT_FALSE(preview.FilterEnding());
    EXPECT_TRUE(preview.TickPreview(30));  // part of a pass
    EXPECT_EQ(view->refilterCursor, 30u);
    preview.SetNodeFilter([](const RFileNode& n) { return n.size < 12; });
    EXPECT_TRUE(preview.TickPreview(30));
    EXPECT_EQ(view->refilterCursor, 30u);  // restarted from 0 with the newer filter
    EXPECT_FALSE(preview.FilterEnding());
    Drain(preview, 30);
    EXPECT_TRUE(preview.FilterEnding());
    EXPECT_EQ(view->VisibleChildCount(1), 10u);  // sizes 2 to 11
    EXPECT_EQ(preview.Tree().TypeCount(46), 10u);
    EXPECT_EQ(preview.FoundCount(), 100u);  // hidden files are still found

    // A finished file-system scan asks for one full pass; the flag is taken.
    part->scanned.store(1);
    {
        auto lock = part->WriteLock();
        part->NodeAt(5)->size = 500;
    }
    EXPECT_TRUE(preview.TickPreview(0));
    EXPECT_EQ(part->scanned.load(), 0u);
    EXPECT_EQ(view->VisibleChildCount(1), 9u);
    EXPECT_EQ(preview.FoundBytes(), 5150u - 5 + 500);  // sizes 2 to 101, one changed
    EXPECT_FALSE(preview.TickPreview(0));
}

TEST(ScanPreview, CollectorsTakeThirtyTwoSlotsAndANewOneStartsFromZero) {
    auto output = std::make_shared<ScanOutput>();
    auto part = MakePart();
    for (uint32_t id = 2; id < 12; ++id) AddFile(*part, id, 1, 10, id < 6 ? 46 : 72, L"f");
    output->Publish(part);
    ScanPreview preview(L"", output, 1);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 32; ++i) ids.push_back(preview.AddCollector([](const RFileNode& n) { return n.typeId == 46; }));
    EXPECT_EQ(ids.front(), 1u);
    EXPECT_EQ(ids.back(), 32u);
    EXPECT_EQ(preview.AddCollector([](const RFileNode&) { return true; }), 0u);

    // Counts show only once a tick has finished.
    EXPECT_EQ(preview.GetCollectedCount(ids[3], part.get()), 0u);
    Drain(preview, 0);
    EXPECT_EQ(preview.GetCollectedCount(ids[3], part.get()), 4u);

    preview.RemoveCollector(ids[3]);
    EXPECT_EQ(preview.GetCollectedCount(ids[3], part.get()), 0u);
    uint32_t again = preview.AddCollector([](const RFileNode& n) { return n.typeId == 72; });
    EXPECT_EQ(again, 33u);  // ids are never reused; the slot is
    Drain(preview, 0);
    EXPECT_EQ(preview.GetCollectedCount(again, part.get()), 0u);  // nothing new was ingested
    preview.SweepTombstones();
    Drain(preview, 0);
    EXPECT_EQ(preview.GetCollectedCount(again, part.get()), 6u);
    EXPECT_EQ(preview.GetCollectedCount(ids[4], part.get()), 4u);
    EXPECT_EQ(preview.GetCollectedCount(0, part.get()), 0u);
    EXPECT_EQ(preview.GetCollectedCount(ids[4], nullptr), 0u);
}

TEST(ScanPreview, TickingDirectoriesAndTypesAndAPartitionLeaving) {
    auto output = std::make_shared<ScanOutput>();
    auto first = MakePart();
    AddDir(*first, 2, 1, L"Photos");
    AddDir(*first, 3, 2, L"2019");
    AddFile(*first, 4, 3, 100, 46, L"a.jpg");
    AddFile(*first, 5, 3, 200, 46, L"b.jpg");
    AddFile(*first, 6, 2, 300, 72, L"c.mp4");
    AddFile(*first, 7, 1, 400, 46, L"d.jpg");
    auto second = MakePart();
    AddFile(*second, 2, 1, 1000, 46, L"e.jpg");
    output->Publish(first);
    output->Publish(second);
    ScanPreview preview(L"", output, 1);
    Drain(preview, 0);
    EXPECT_EQ(ScanPreview::NodePath(*first, *first->NodeAt(4)), L"Photos\\2019\\a.jpg");

    preview.SetNodeChecked(first, 2, true);
    EXPECT_EQ(preview.CheckedBytes(), 600);
    auto view = preview.PartViewOf(first.get());
    NodeStatusBrief status;
    ASSERT_TRUE(view->NodeStatus(1, status));
    EXPECT_EQ(status.checkState, 2u);
    ASSERT_TRUE(view->NodeStatus(2, status));
    EXPECT_EQ(status.checkState, 1u);
    EXPECT_EQ(status.checkedFiles, 3u);
    EXPECT_EQ(preview.Tree().TypeCheckedCount(46), 2u);
    EXPECT_EQ(preview.Tree().TypeCheckState(72), 1);

    // Ticking a type reaches every partition; pairs past the list are skipped.
    preview.Tree().SetTypeChecked(46, true);
    EXPECT_EQ(preview.CheckedBytes(), 600 + 400 + 1000);
    preview.SetNodesChecked(*output->Partitions(), {{0, 7}, {7, 2}}, false);
    EXPECT_EQ(preview.CheckedBytes(), 600 + 1000);

    // The second partition leaves: its files leave the totals, its view goes.
    output->Remove(second.get());
    preview.TickPreview(0);
    EXPECT_EQ(preview.PartViewOf(second.get()), nullptr);
    EXPECT_EQ(preview.FoundCount(), 4u);
    EXPECT_EQ(preview.Tree().TypeCount(46), 3u);
    EXPECT_EQ(preview.CheckedBytes(), 600);
}

TEST(ScanPreview, APreviewPathSplitsAtBothSeparatorsAndNarrowsTheTree) {
    auto output = std::make_shared<ScanOutput>();
    auto part = MakePart();
    AddDir(*part, 2, 1, L"Photos");
    AddDir(*part, 3, 1, L"Music");
    AddFile(*part, 4, 2, 10, 46, L"in.jpg");
    AddFile(*part, 5, 3, 10, 46, L"out.jpg");
    output->Publish(part);
    ScanPreview preview(L"C:\\PHOTOS//", output, 1);
    EXPECT_EQ(preview.PathComponents(), (std::vector<std::wstring>{L"c:", L"photos"}));
    Drain(preview, 0);
    auto view = preview.PartViewOf(part.get());
    EXPECT_EQ(view->VisibleChildCount(1), 1u);
    EXPECT_EQ(view->VisibleChildAt(1, 0), 2u);
    EXPECT_EQ(preview.FoundCount(), 1u);
}

// A filter set while a tick holds its copies must not be marked applied by that tick.
TEST(ScanPreview, AFilterSetDuringATickIsAppliedByALaterOne) {
    auto output = std::make_shared<ScanOutput>();
    auto part = MakePart();
    for (uint32_t id = 2; id < 12; ++id) AddFile(*part, id, 1, id * 100, 46, L"f" + std::to_wstring(id));
    output->Publish(part);
    ScanPreview preview(L"", output, 1);
    Drain(preview, 0);
    ASSERT_EQ(preview.FoundCount(), 10u);
    bool once = false;
    preview.afterSliceForTesting_ = [&] {
        if (once) return;
        once = true;
        preview.SetNodeFilter([](const RFileNode& n) { return n.IsDirectoryKind() || n.size > 500; });
    };
    Drain(preview, 0);
    preview.afterSliceForTesting_ = nullptr;
    EXPECT_TRUE(once);
    // The host goes on ticking until the filter is done.
    for (int i = 0; i < 100 && !preview.FilterEnding(); ++i) Drain(preview, 0);
    EXPECT_TRUE(preview.FilterEnding());
    auto view = preview.PartViewOf(part.get());
    ASSERT_TRUE(view);
    NodeStatusBrief root;
    ASSERT_TRUE(view->NodeStatus(1, root));
    EXPECT_EQ(root.visibleFiles, 6u);  // 600 to 1100
    EXPECT_EQ(view->VisibleChildCount(1), 6u);
}

// A tick between a collector's slot being taken and its counts being cleared must not leave
// nodes it accepted uncounted for good.
TEST(ScanPreview, ACollectorAddedDuringATickCountsEveryNodeAfterASweep) {
    auto output = std::make_shared<ScanOutput>();
    auto part = MakePart();
    for (uint32_t id = 2; id < 22; ++id) AddFile(*part, id, 1, 10, id % 2 ? 46 : 47, L"f" + std::to_wstring(id));
    output->Publish(part);
    ScanPreview preview(L"", output, 1);
    Drain(preview, 0);
    preview.afterCollectorSlotForTesting_ = [&] {
        // A new node arrives and is ticked in while the collector is being added.
        AddFile(*part, 30, 1, 10, 46, L"late");
        Drain(preview, 0);
    };
    uint32_t id = preview.AddCollector([](const RFileNode& n) { return n.typeId == 46; });
    preview.afterCollectorSlotForTesting_ = nullptr;
    ASSERT_NE(id, 0u);
    preview.SweepTombstones();
    Drain(preview, 0);
    EXPECT_EQ(preview.GetCollectedCount(id, part.get()), 11u);
}

// A directory whose node goes away and comes back (a node replaced in its slot) keeps its
// children, their counts and its place under its parent.
TEST(ScanPreview, ADirectoryThatGoesAndComesBackKeepsItsChildren) {
    auto output = std::make_shared<ScanOutput>();
    auto part = MakePart();
    AddDir(*part, 2, 1, L"photos");
    AddFile(*part, 3, 2, 100, 46, L"a.jpg");
    AddFile(*part, 4, 2, 200, 46, L"b.jpg");
    output->Publish(part);
    ScanPreview preview(L"", output, 1);
    Drain(preview, 0);
    auto view = preview.PartViewOf(part.get());
    preview.SetNodeChecked(part, 3, true);
    auto setValid = [&](uint8_t valid) {
        auto lock = part->WriteLock();
        RFileNode* dir = part->NodeAt(2);
        bool was = dir->IsLive();
        dir->valid = valid;
        part->NoteLivenessChange(was, dir->IsLive());
    };
    setValid(0);
    preview.SweepTombstones();
    Drain(preview, 0);
    EXPECT_EQ(view->VisibleChildCount(1), 0u);
    setValid(1);
    preview.SweepTombstones();
    Drain(preview, 0);
    NodeStatusBrief root, dir;
    ASSERT_TRUE(view->NodeStatus(1, root));
    ASSERT_TRUE(view->NodeStatus(2, dir));
    EXPECT_EQ(view->VisibleChildCount(1), 1u);
    EXPECT_EQ(view->VisibleChildCount(2), 2u);
    EXPECT_EQ(dir.visibleFiles, 2u);
    EXPECT_EQ(dir.visibleBytes, 300u);
    EXPECT_EQ(root.visibleFiles, 2u);
    EXPECT_EQ(root.checkedFiles, 1u);
    EXPECT_EQ(root.checkedVisibleFiles, 1u);
    EXPECT_EQ(preview.FoundCount(), 2u);
}
