// Recycle-bin name recovery on hand-made trees, and the log-recovery merge.
#include <gtest/gtest.h>

#include "fs/PartInfo.h"
#include "fs/RecycleNames.h"
#include "fs/ntfs/ScanNtfs.h"
#include "fs/FileNode.h"
#include "support/NodePaths.h"

using namespace ravlin;

namespace {

std::vector<uint8_t> InfoV2(const std::wstring& path) {
    std::vector<uint8_t> out(28, 0);
    out[0] = 2;
    out[24] = static_cast<uint8_t>(path.size() + 1);
    for (wchar_t c : path) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::vector<uint8_t> InfoV1(const std::wstring& path) {
    std::vector<uint8_t> out(24, 0);
    out[0] = 1;
    for (wchar_t c : path) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.resize(24 + 520, 0);
    return out;
}

// A partition with a root (2), a recycle bin (3) and a user folder (4), built like a scanner.
class Bin : public ::testing::Test {
protected:
    void SetUp() override {
        part_.rootNodeId = 2;
        part_.orphanFolderId = 1;
        Add(1, 2, NodeKind::DeletedDirectory, L"lost");
        Add(2, 0, NodeKind::Directory, L"\\");
        Add(3, 2, NodeKind::Directory, L"$Recycle.Bin");
        Add(4, 3, NodeKind::Directory, L"S-1-5-21-1-2-3-1001");
    }
    RFileNode& Add(uint32_t id, uint32_t parent, NodeKind kind, const std::wstring& name,
                   std::vector<uint8_t> content = {}, bool valid = true) {
        RFileNode node;
        node.id = id;
        node.parentId = parent;
        node.kind = kind;
        node.name = name;
        node.valid = valid;
        if (!content.empty()) {
            node.size = content.size();
            node.resident = 1;
            node.residentData = std::move(content);
        }
        if (node.IsFileKind() && valid) part_.fileCount.fetch_add(1);
        part_.StoreNode(std::move(node));
        if (RFileNode* p = part_.NodeAt(parent); p && id != parent) p->children.push_back(id);
        return *part_.NodeAt(id);
    }
    std::map<std::string, const RFileNode*> Paths() { return test::PathsOf(part_); }

    NtfsPartInfo part_;
};

}  // namespace

TEST(RecycleInfo, VersionsAndShortInfos) {
    EXPECT_EQ(FormerPathFromInfo(InfoV2(L"C:\\a\\b.txt")), L"C:\\a\\b.txt");
    EXPECT_EQ(FormerPathFromInfo(InfoV1(L"D:\\x")), L"D:\\x");
    std::vector<uint8_t> twelve(12, 0);
    twelve[0] = 2;
    EXPECT_EQ(FormerPathFromInfo(twelve), L"");
    auto v3 = InfoV2(L"C:\\z");
    v3[0] = 3;
    EXPECT_EQ(FormerPathFromInfo(v3), L"");
    auto cut = InfoV2(L"C:\\abc");
    cut.resize(29);  // version 2 needs 30 bytes
    EXPECT_EQ(FormerPathFromInfo(cut), L"");
}

TEST_F(Bin, ItemsGoBackToTheirFoldersWhichTheSecondItemReuses) {
    Add(10, 4, NodeKind::File, L"$RAB12CD.docx", std::vector<uint8_t>(100, 'd'));
    Add(11, 4, NodeKind::File, L"$IAB12CD.docx", InfoV2(L"C:\\Users\\Ann\\Documents\\plan.docx"));
    Add(12, 4, NodeKind::File, L"$RQQ.txt", std::vector<uint8_t>(50, 'q'));
    Add(13, 4, NodeKind::File, L"$IQQ.txt", InfoV1(L"C:\\Users\\Ann\\Documents\\notes.txt"));
    Add(14, 4, NodeKind::File, L"$RSHORT.txt", std::vector<uint8_t>(10, 's'));
    std::vector<uint8_t> twelve(12, 0);
    twelve[0] = 2;
    Add(15, 4, NodeKind::File, L"$ISHORT.txt", twelve);
    RecoverRecycleNames(part_, nullptr);
    auto paths = Paths();
    ASSERT_TRUE(paths.count("Users/Ann/Documents/plan.docx"));
    const RFileNode* plan = paths["Users/Ann/Documents/plan.docx"];
    EXPECT_EQ(plan->kind, NodeKind::DeletedFile);
    EXPECT_EQ(plan->typeId, 37u);
    EXPECT_EQ(plan->sourceId, 10u);
    EXPECT_EQ(DisplayNameOf(*plan), L"plan.docx");
    EXPECT_EQ(paths["Users"]->kind, NodeKind::DeletedDirectory);
    // The second item found the folders of the first.
    ASSERT_TRUE(paths.count("Users/Ann/Documents/notes.txt"));
    EXPECT_EQ(paths["Users/Ann/Documents"]->children.size(), 2u);
    // The old items are gone from view; the one with a 12-byte info stays, deleted.
    EXPECT_FALSE(part_.LiveNodeAt(10));
    std::string bin = "$Recycle.Bin/S-1-5-21-1-2-3-1001/";
    ASSERT_TRUE(paths.count(bin + "$RSHORT.txt"));
    EXPECT_EQ(paths[bin + "$RSHORT.txt"]->kind, NodeKind::DeletedFile);
    EXPECT_EQ(paths["$Recycle.Bin"]->kind, NodeKind::DeletedDirectory);
    // The bin's own folders were live, and say so; its items do not, nor their copies.
    EXPECT_EQ(paths["$Recycle.Bin"]->liveInRecycleBin, 1);
    EXPECT_EQ(paths["$Recycle.Bin/S-1-5-21-1-2-3-1001"]->liveInRecycleBin, 1);
    EXPECT_EQ(paths[bin + "$RSHORT.txt"]->liveInRecycleBin, 0);
    EXPECT_EQ(plan->liveInRecycleBin, 0);
    // Counts follow: two moved files are hidden and their two copies counted.
    EXPECT_EQ(part_.FileCount(), 6u);
}

TEST_F(Bin, AFolderItemIsCopiedWithItsSubtree) {
    Add(20, 4, NodeKind::Directory, L"$RXY98ZW");
    Add(21, 20, NodeKind::File, L"a.jpg", std::vector<uint8_t>(10, 'a'));
    Add(22, 20, NodeKind::Directory, L"inner");
    Add(23, 22, NodeKind::File, L"b.txt", std::vector<uint8_t>(10, 'b'));
    Add(24, 4, NodeKind::File, L"$IXY98ZW", InfoV1(L"D:\\Projects/Old Stuff"));
    RecoverRecycleNames(part_, nullptr);
    auto paths = Paths();
    ASSERT_TRUE(paths.count("Projects/Old Stuff/inner/b.txt"));
    EXPECT_EQ(paths["Projects/Old Stuff"]->kind, NodeKind::DeletedDirectory);
    EXPECT_EQ(paths["Projects/Old Stuff/a.jpg"]->typeId, 46u);
    EXPECT_EQ(DisplayNameOf(*paths["Projects/Old Stuff/inner/b.txt"]), L"b.txt");
    EXPECT_FALSE(part_.LiveNodeAt(23));
}

TEST_F(Bin, ItemsHiddenByADeletedOnlyScanBecomeVisibleAsDeleted) {
    Add(30, 4, NodeKind::File, L"$RNOINFO.txt", std::vector<uint8_t>(10, 'n'), false);
    Add(31, 4, NodeKind::File, L"desktop.ini", std::vector<uint8_t>(10, 'i'), false);
    EXPECT_EQ(part_.FileCount(), 0u);
    RecoverRecycleNames(part_, nullptr);
    const RFileNode* item = part_.LiveNodeAt(30);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->kind, NodeKind::DeletedFile);
    EXPECT_EQ(item->liveInRecycleBin, 0);
    // The bin's own file, hidden as live, is still known as the bin's own.
    const RFileNode* own = part_.LiveNodeAt(31);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->liveInRecycleBin, 1);
    EXPECT_EQ(part_.FileCount(), 2u);
}

TEST_F(Bin, SetNodeValidKeepsTheCounters) {
    Add(40, 2, NodeKind::File, L"f.txt");
    uint32_t live = part_.LiveNodeCount();
    auto lock = part_.WriteLock();
    EXPECT_TRUE(SetNodeValid(part_, 40, false));
    EXPECT_EQ(part_.LiveNodeCount(), live - 1);
    EXPECT_EQ(part_.FileCount(), 0u);
    EXPECT_TRUE(SetNodeValid(part_, 40, false));  // no change, no count below 0
    EXPECT_EQ(part_.FileCount(), 0u);
    EXPECT_TRUE(SetNodeValid(part_, 40, true));
    EXPECT_EQ(part_.FileCount(), 1u);
    EXPECT_FALSE(SetNodeValid(part_, 999999, true));
    EXPECT_EQ(FindOrCreateFolder(part_, 2, L"$Recycle.Bin"), 3u);
    uint32_t made = FindOrCreateFolder(part_, 2, L"$RECYCLE.BIN");  // names compare exactly
    EXPECT_NE(made, 3u);
    EXPECT_EQ(part_.NodeAt(made)->kind, NodeKind::DeletedDirectory);
}

TEST(NtfsLogMerge, RebuiltRecordsTakeFreeIdsAndPairsMoveNodes) {
    NtfsPartInfo part;
    auto add = [&](uint32_t id, uint32_t parent, NodeKind kind, const wchar_t* name) {
        RFileNode node;
        node.id = id;
        node.parentId = parent;
        node.kind = kind;
        node.name = name;
        part.StoreNode(std::move(node));
    };
    add(5, 5, NodeKind::Directory, L".");
    add(30, 5, NodeKind::Directory, L"Target");
    add(31, 5, NodeKind::Directory, L"Elsewhere");
    add(32, 31, NodeKind::File, L"moved.txt");
    add(33, 5, NodeKind::File, L"dup.txt");
    add(34, 30, NodeKind::File, L"dup.txt");
    LogFileRecovery recovered;
    NtfsRecord rebuilt;
    rebuilt.recordNumber = 32;  // taken: goes to a free id
    rebuilt.parentRecord = 30;
    rebuilt.recordFlags = 0;
    rebuilt.name = L"from-log.txt";
    rebuilt.resident = 1;
    rebuilt.residentData = {1, 2, 3};
    rebuilt.size = 3;
    recovered.records.push_back(rebuilt);
    recovered.parents = {{32, 30}, {33, 30}};
    MergeLogFileRecovery(part, recovered, false);
    auto paths = test::PathsOf(part);
    ASSERT_TRUE(paths.count("Target/from-log.txt"));
    const RFileNode* fromLog = paths["Target/from-log.txt"];
    EXPECT_NE(fromLog->id, 32u);
    EXPECT_EQ(fromLog->residentData.size(), 3u);
    EXPECT_EQ(fromLog->kind, NodeKind::DeletedFile);
    // moved.txt now sits under Target as a derived copy; the original is hidden.
    ASSERT_TRUE(paths.count("Target/moved.txt"));
    EXPECT_EQ(paths["Target/moved.txt"]->sourceId, 32u);
    EXPECT_FALSE(part.LiveNodeAt(32));
    // dup.txt already exists under Target with the same name, kind, start and size: removed.
    EXPECT_FALSE(part.LiveNodeAt(33));
    EXPECT_TRUE(part.LiveNodeAt(34));
}
