// File nodes: liveness, moves, derived copies and time conversion.
#include <gtest/gtest.h>

#include "fs/FileNode.h"
#include "types/FileTypes.h"

using namespace ravlin;

TEST(FileNode, LivenessFollowsKindAndValid) {
    RFileNode node;
    EXPECT_FALSE(node.IsLive());
    EXPECT_EQ(node.sourceId, 0xFFFFFFFFu);
    node.kind = NodeKind::File;
    EXPECT_TRUE(node.IsLive());
    node.valid = 0;
    EXPECT_FALSE(node.IsLive());
    node.kind = NodeKind::DeletedDirectory;
    node.valid = 1;
    EXPECT_TRUE(node.IsDirectoryKind());
    EXPECT_FALSE(node.IsFileKind());
}

TEST(FileNode, MovesLeaveTheSourceEmpty) {
    RFileNode a;
    a.id = 9;
    a.name = L"a rather long name that does not fit a small string buffer.txt";
    a.children = {1, 2};
    a.runs = {{10, 2}};
    a.residentData = {1, 2, 3};
    a.ext = std::make_shared<RFileNodeRecycleName>(L"x");
    a.hidden = 1;
    RFileNode b(std::move(a));
    EXPECT_EQ(b.id, 9u);
    EXPECT_EQ(b.children.size(), 2u);
    EXPECT_EQ(b.hidden, 1);
    EXPECT_TRUE(a.name.empty());
    EXPECT_TRUE(a.children.empty());
    EXPECT_TRUE(a.runs.empty());
    EXPECT_TRUE(a.residentData.empty());
    EXPECT_FALSE(a.ext);
}

TEST(FileNode, FileTimeConversion) {
    EXPECT_EQ(FileTimeToUnix(0), 0u);
    EXPECT_EQ(FileTimeToUnix(116444736000000000ULL), 0u);
    EXPECT_EQ(FileTimeToUnix(116444736000000000ULL + 10000000ULL), 1u);
    EXPECT_EQ(FileTimeToUnix(100), 0u);  // before 1970
    EXPECT_EQ(FileTimeToUnix(131976864000000000ULL), 1553212800u);  // 2019-03-22
}

TEST(FileNode, DerivedCopies) {
    RFileNode dir;
    dir.id = 40;
    dir.kind = NodeKind::Directory;
    dir.name = L"Photos";
    dir.children = {41};
    dir.ext = std::make_shared<RFileNodeRecycleName>(L"shown");
    RFileNode copy = DeriveNodeCopy(dir, 90, 5, L"");
    EXPECT_EQ(copy.kind, NodeKind::DeletedDirectory);
    EXPECT_EQ(copy.sourceId, 40u);
    EXPECT_EQ(copy.name, L"Photos");
    EXPECT_EQ(copy.ext.get(), dir.ext.get());
    EXPECT_TRUE(copy.children.empty());
    EXPECT_EQ(DisplayNameOf(copy), L"shown");

    RFileNode file;
    file.id = 41;
    file.kind = NodeKind::File;
    file.name = L"IMG.JPG";
    file.typeId = TypeFromFileName(file.name);
    file.size = 1000;
    file.runs = {{100, 2}};
    file.residentData = {1};
    file.firstTime = 5;
    file.secondTime = 6;
    file.readOnly = 1;
    RFileNode renamed = DeriveNodeCopy(file, 91, 90, L"notes.txt");
    EXPECT_EQ(renamed.kind, NodeKind::DeletedFile);
    EXPECT_EQ(renamed.typeId, 161u);
    EXPECT_EQ(renamed.size, 1000u);
    EXPECT_EQ(renamed.runs.size(), 1u);
    EXPECT_TRUE(renamed.residentData.empty());
    EXPECT_EQ(renamed.firstTime, 5u);
    EXPECT_EQ(renamed.readOnly, 1);
    EXPECT_EQ(renamed.parentId, 90u);
    EXPECT_EQ(DisplayNameOf(renamed), L"notes.txt");
}
