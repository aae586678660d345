// The post-processing stages' name repair: names valid on Windows, device names kept from
// standing alone.
#include <gtest/gtest.h>

#include "engine/Stages.h"

using namespace ravlin;

TEST(Stages, NamesAreRepairedForWindows) {
    auto repaired = [](const std::wstring& name, NodeKind kind = NodeKind::DeletedFile, uint32_t id = 7) {
        RFileNode node;
        node.id = id;
        node.kind = kind;
        node.name = name;
        const bool changed = RepairName(node);
        EXPECT_EQ(changed, node.name != name) << std::string(name.begin(), name.end());
        return node.name;
    };
    EXPECT_EQ(repaired(L"con"), L"con_");
    EXPECT_EQ(repaired(L"Com1.txt"), L"Com1.txt_");
    EXPECT_EQ(repaired(L"lpt9"), L"lpt9_");
    EXPECT_EQ(repaired(L"nul. "), L"nul.__");  // the trailing blank goes, and "nul.x" still names NUL
    EXPECT_EQ(repaired(L"COM0"), L"COM0");
    EXPECT_EQ(repaired(L"console"), L"console");
    EXPECT_EQ(repaired(L"a:b?"), L"a_b_");
    EXPECT_EQ(repaired(L"ends."), L"ends_");
    EXPECT_EQ(repaired(std::wstring(L"tab\there")), L"tab_here");
    EXPECT_EQ(repaired(L"", NodeKind::DeletedDirectory, 12), L"Dir00000012");
    EXPECT_EQ(repaired(L"", NodeKind::File, 12), L"File00000012");
    EXPECT_EQ(repaired(L"\u7167\u7247.jpg"), L"\u7167\u7247.jpg");  // 照片.jpg stays

    // A named stream keeps the colon between its file's name and its own; each is repaired.
    auto stream = [](const std::wstring& file, const std::wstring& own) {
        RFileNode node;
        node.kind = NodeKind::File;
        node.name = file + L":" + own;
        node.ext = std::make_shared<RFileNodeStream>(7, own);
        RepairName(node);
        return node.name;
    };
    EXPECT_EQ(stream(L"ads.txt", L"Zone.Identifier"), L"ads.txt:Zone.Identifier");
    EXPECT_EQ(stream(L"con", L"a?b."), L"con_:a_b_");
    EXPECT_EQ(stream(L"x:y", L"s"), L"x_y:s");  // the colon inside the file's own name is not kept
}

// The stages are announced to the host by their display names, in order.
TEST(Stages, NineStagesInTheirOrder) {
    const auto& names = StageNames();
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names[0], L"\u6536\u96C6\u626B\u63CF\u7ED3\u679C");
    EXPECT_EQ(names[4], L"\u6062\u590D\u6B8B\u7F3A\u6587\u4EF6\u7CFB\u7EDF");
    EXPECT_EQ(names[8], L"\u6302\u8F7D NTFS INDX \u6587\u4EF6");
}
