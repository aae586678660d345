// The post-processing stages: name repair (names valid on Windows, device names kept from
// standing alone), and a free-space scan's carved files kept to the free clusters.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "carve/Samples.h"
#include "engine/DiskRecoveryEngine.h"
#include "engine/Stages.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

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

namespace {

// The live carved file nodes of an engine's scan, by first sector.
std::map<uint64_t, const RFileNode*> CarvedFiles(DiskRecoveryEngine& engine) {
    std::map<uint64_t, const RFileNode*> out;
    if (auto part = engine.CarvedPartition())
        part->ForEachNode([&](uint32_t, const RFileNode& node) {
            if (node.IsLive() && node.IsFileKind()) out[node.firstSector] = &node;
        });
    return out;
}

}  // namespace

// A free-space scan (mkntfs + ntfs-3g: a PDF cut short, deleted, its record reused, right
// before a live file of random bytes). The PDF's length cannot be read from it, so it is
// estimated: in a scan of the whole volume up to the next file's start, through the live
// file; in a free-space scan only over the free clusters, its own two. A hit that does not
// start a cluster is no file of the volume: a free-space scan drops it.
TEST(Stages, AFreeSpaceScanEndsEstimatesAtTheFirstClusterInUse) {
    std::ifstream in(std::filesystem::path(RAVLIN_FIXTURE_DIR) / "ntfs-free.img.json");
    const nlohmann::json manifest = nlohmann::json::parse(in);
    std::map<std::string, uint64_t> sectorOf;
    for (const auto& file : manifest["files"])
        sectorOf[file["path"].get<std::string>()] = file["offset"].get<uint64_t>() / 512;
    const uint64_t pdf = sectorOf["download.pdf"], notes = sectorOf["notes.bin"], photo = sectorOf["photo.jpg"];
    ASSERT_EQ(notes, pdf + 16);

    test::TempDir temp;
    const auto image = temp / "free.img";
    std::filesystem::copy_file(test::FixtureImage("ntfs-free.img"), image);
    // A JPEG planted one sector into a free cluster, well after the photo.
    const auto& jpeg = test::CarveSamples()[0].bytes;
    const uint64_t planted = (photo / 8 + 64) * 8 + 1;
    {
        std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(planted * 512));
        out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    }
    auto scan = [&](uint32_t kind) {
        ScanInput input;
        input.devicePath = image.wstring();
        input.sectorCount = std::filesystem::file_size(image) / 512;
        input.scanKind = kind;
        auto engine = std::make_unique<DiskRecoveryEngine>(input);
        engine->Run();
        return engine;
    };
    auto whole = scan(1);
    auto wholeFiles = CarvedFiles(*whole);
    ASSERT_TRUE(wholeFiles.count(pdf));
    EXPECT_EQ(wholeFiles.at(pdf)->size, (photo - pdf) * 512);
    EXPECT_TRUE(wholeFiles.count(planted));

    auto free = scan(2);
    auto freeFiles = CarvedFiles(*free);
    ASSERT_TRUE(freeFiles.count(pdf));
    EXPECT_EQ(freeFiles.at(pdf)->size, 16u * 512);
    ASSERT_EQ(freeFiles.at(pdf)->runs.size(), 1u);
    EXPECT_EQ(freeFiles.at(pdf)->runs[0].sectorCount, 16u);
    EXPECT_FALSE(freeFiles.count(planted));
    EXPECT_EQ(free->Output()->carvedFiles.load(), freeFiles.size());
}
