// Carved files through the exported header: a raw scan of a card with no file system, browsed
// as category and type folders, counted, ticked and read per type.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../carve/Samples.h"
#include "ravlin/Ravlin.h"
#include "support/TempDir.h"

using namespace ravlin::test;

namespace {

struct Planted {
    const char* sample;
    uint64_t sector;
};

// Two JPEGs, a PNG, a PDF (refused by a raw scan) and an MP4 in 2 MiB.
const Planted kPlanted[] = {{"01.jpg", 16}, {"24.png", 64}, {"01.jpg", 100}, {"16.pdf", 128}, {"06.mp4", 512}};
constexpr uint64_t kSectors = 4096;

const CarveSample& Sample(const std::string& file) {
    for (const auto& s : CarveSamples())
        if (s.file == file) return s;
    throw std::runtime_error("no sample " + file);
}

std::filesystem::path MakeCard(const TempDir& temp) {
    std::vector<char> disk(kSectors * 512, 0);
    for (const auto& p : kPlanted) {
        const auto& bytes = Sample(p.sample).bytes;
        std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(p.sector * 512));
    }
    auto path = temp / "card.img";
    std::ofstream(path, std::ios::binary).write(disk.data(), static_cast<std::streamsize>(disk.size()));
    return path;
}

std::wstring NameOf(const IScanView& view, unsigned int id) {
    NodeBrief brief;
    if (!view.GetNodeBrief(0, id, &brief) || !brief.name) return L"?";
    return brief.name;
}

// Visible children by name.
std::map<std::wstring, unsigned int> Children(const IScanView& view, unsigned int id) {
    std::map<std::wstring, unsigned int> out;
    for (uint64_t i = 0; i < view.GetVisibleChildCount(0, id); ++i) {
        unsigned int child = view.GetVisibleChild(0, id, i);
        out[NameOf(view, child)] = child;
    }
    return out;
}

}  // namespace

TEST(CarvedResults, FoldersCountsTicksAndContentPerType) {
    TempDir temp;
    ScanInput input;
    input.devicePath = MakeCard(temp).wstring();
    input.sectorCount = kSectors;
    input.scanMode = 1;
    ScanEngine engine;
    ASSERT_TRUE(engine.Start(input));
    while (engine.IsRunning()) engine.TickPreview(1000);
    for (int guard = 0; (engine.TickPreview(1000) || !engine.FilterEnding()) && guard < 100000; ++guard) {
    }
    IScanView& view = engine.GetView();
    ASSERT_EQ(view.GetPartCount(), 1u);
    PartBrief part;
    ASSERT_TRUE(view.GetPartBrief(0, &part));
    EXPECT_EQ(part.fsType, 13u);
    EXPECT_STREQ(part.displayName, L"重构的文件");

    // Root / category / type; the PDF is not carved by a raw scan.
    auto categories = Children(view, part.rootNodeId);
    ASSERT_EQ(categories.size(), 2u);
    ASSERT_TRUE(categories.count(L"图片") && categories.count(L"视频"));
    auto pictures = Children(view, categories[L"图片"]);
    ASSERT_EQ(pictures.size(), 2u);
    auto jpegs = Children(view, pictures[L"JPG"]);
    auto pngs = Children(view, pictures[L"PNG"]);
    auto movies = Children(view, Children(view, categories[L"视频"])[L"MP4"]);
    EXPECT_EQ(jpegs.size(), 2u);
    EXPECT_EQ(pngs.size(), 1u);
    EXPECT_EQ(movies.size(), 1u);
    ASSERT_TRUE(jpegs.count(L"10.jpg") && jpegs.count(L"64.jpg"));

    // One enumerator call per type, ascending: PNG 44, JPG 46, MP4 72.
    std::vector<std::pair<int, unsigned long long>> listed;
    EXPECT_EQ(engine.EnumCategories(
                  [](int type, unsigned long long count, void* ctx) {
                      static_cast<decltype(listed)*>(ctx)->push_back({type, count});
                      return 0;
                  },
                  &listed),
              3u);
    std::vector<std::pair<int, unsigned long long>> want{{44, 1}, {46, 2}, {72, 1}};
    EXPECT_EQ(listed, want);
    // JPEGs and PNGs are measured.
    EXPECT_EQ(engine.GetCategoryFileSize(46), 2 * Sample("01.jpg").bytes.size());
    EXPECT_EQ(engine.GetCategoryFileSize(44), Sample("24.png").bytes.size());
    EXPECT_EQ(engine.GetCategoryFileSize(40), 0u);

    engine.SetCategoryChecked(46, true);
    EXPECT_EQ(engine.GetCategoryCheckStatus(46), 1);
    EXPECT_EQ(engine.GetCategoryCheckCount(46), 2u);
    EXPECT_EQ(engine.GetCategoryCheckStatus(72), 0);
    view.SetNodeChecked(0, jpegs[L"10.jpg"], false);
    EXPECT_EQ(engine.GetCategoryCheckStatus(46), 2);

    // Content: the planted bytes from the file's first sector.
    const auto& jpeg = Sample("01.jpg").bytes;
    std::vector<uint8_t> got(jpeg.size());
    ASSERT_TRUE(view.OpenReader(0));
    ASSERT_TRUE(view.ReadNodeData(0, jpegs[L"64.jpg"], got.data(), 0, static_cast<unsigned int>(got.size())));
    view.CloseReader(0);
    EXPECT_EQ(got, jpeg);
}
