// The raw pass carving a real disk image: the same file found wherever it lies (the shift
// test), files a file system lists left alone, and the carved-files partition in the results.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "carve/CarvedNodes.h"
#include "carve/EndSamples.h"
#include "carve/Samples.h"
#include "common/Bytes.h"
#include "engine/DiskRecoveryEngine.h"
#include "fs/PartInfo.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin;

namespace {

constexpr uint64_t kBlock = 16384;

void Plant(std::fstream& image, uint64_t sector, const std::vector<uint8_t>& bytes, uint64_t imageBytes) {
    uint64_t at = sector * 512;
    size_t n = static_cast<size_t>(std::min<uint64_t>(bytes.size(), imageBytes - at));
    image.seekp(static_cast<std::streamoff>(at));
    image.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(n));
}

// The carved nodes of a raw scan of `image`, by start sector.
std::map<uint64_t, const RFileNode*> CarvedBySector(DiskRecoveryEngine& engine) {
    std::map<uint64_t, const RFileNode*> out;
    auto part = engine.CarvedPartition();
    if (!part) return out;
    part->ForEachNode([&](uint32_t, const RFileNode& node) {
        if (node.IsFileKind()) out[node.firstSector] = &node;
    });
    return out;
}

ScanInput RawInput(const std::filesystem::path& image, uint32_t mode) {
    ScanInput input;
    input.devicePath = image.wstring();
    input.sectorCount = std::filesystem::file_size(image) / 512;
    input.scanMode = mode;
    return input;
}

}  // namespace

// The same PNG at sector 0, at an odd sector, straddling the end of the first block, and in the
// region's last sector gives the same hit, moved by its place.
TEST(Carving, TheSameFileWhereverItLiesGivesTheSameHitMoved) {
    const auto& png = test::CarveSamples()[23];
    ASSERT_EQ(png.typeId, 44u);
    test::TempDir temp;
    auto path = temp / "disk.img";
    uint64_t sectors = 3 * kBlock;
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, sectors * 512);
    std::fstream image(path, std::ios::binary | std::ios::in | std::ios::out);
    const uint64_t places[] = {0, 12345, kBlock - 1, sectors - 1};
    for (uint64_t sector : places) Plant(image, sector, png.bytes, sectors * 512);
    image.close();

    DiskRecoveryEngine engine(RawInput(path, 1));
    engine.Run();
    auto carved = CarvedBySector(engine);
    ASSERT_EQ(carved.size(), 4u);
    for (uint64_t sector : places) {
        ASSERT_TRUE(carved.count(sector)) << sector;
        const RFileNode& node = *carved.at(sector);
        EXPECT_EQ(node.typeId, 44u) << sector;
        EXPECT_EQ(node.kind, NodeKind::DeletedFile) << sector;
        std::wstringstream name;
        name << std::hex << sector << L".png";
        EXPECT_EQ(node.name, name.str());
        // Measured to its end wherever it lies, the last sector of a block or of the region too.
        EXPECT_EQ(node.size, png.bytes.size()) << sector;
    }
    // Every hit is filed under the block it starts in.
    auto first = engine.Records().Block(0);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 3u);
    EXPECT_EQ(uint64_t{(*first)[2].startSector}, kBlock - 1);
    EXPECT_EQ(engine.Output()->carvedFiles.load(), 4u);
}

// A full scan of a disk whose files its file systems list carves none of them again, though the
// raw pass hits their starts.
TEST(Carving, FilesTheFileSystemsListAreNotCarvedAgain) {
    auto image = test::FixtureImage("sample-disk.img");
    DiskRecoveryEngine engine(RawInput(image, 0));
    engine.Run();
    size_t hits = 0;
    for (uint64_t b = 0; b < engine.Records().BlockCount(); ++b) {
        if (auto list = engine.Records().Block(b * kBlock)) hits += list->size();
    }
    EXPECT_GE(hits, 8u);  // the photos and documents of both volumes
    EXPECT_EQ(CarvedBySector(engine).size(), 0u);
    auto part = engine.CarvedPartition();
    ASSERT_TRUE(part);
    EXPECT_EQ(part->displayName, kCarvedPartitionName);
    EXPECT_EQ(part->fsType, kFsExtFind);
}

// A PNG whose chunk walk breaks off in the next block (a damaged chunk header there), and one
// the disk's end cuts off, still become files, sized to the next file start or the disk's end.
// An HTML file whose text runs on into the next one is cut at that one's start.
TEST(Carving, WalksThatBreakOffLateStillGiveTheirFiles) {
    std::vector<uint8_t> png = test::End("photo.png");
    const auto& jpeg = test::CarveSamples()[0].bytes;
    const auto& html = test::End("letter.html");
    const uint64_t straddle = kBlock - 100, next = kBlock + 300;
    size_t chunk = 8;
    while (chunk < 100 * 512) chunk += 12 + LoadBE32(ByteSpan(png.data() + chunk, 4), 0);
    png[chunk + 4] = 0;  // the first chunk header of the next block is no chunk
    const uint64_t htmlSectors = (html.size() + 511) / 512;
    std::vector<uint8_t> runOn(html);
    runOn.resize((htmlSectors + 4) * 512, 'a');  // text up to the next file
    test::TempDir temp;
    auto path = temp / "disk.img";
    uint64_t sectors = 3 * kBlock;
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, sectors * 512);
    std::fstream image(path, std::ios::binary | std::ios::in | std::ios::out);
    Plant(image, 10, runOn, sectors * 512);
    Plant(image, 10 + htmlSectors + 4, html, sectors * 512);
    Plant(image, straddle, png, sectors * 512);
    Plant(image, next, jpeg, sectors * 512);
    Plant(image, sectors - 50, test::End("photo.png"), sectors * 512);  // cut by the disk's end
    image.close();

    DiskRecoveryEngine engine(RawInput(path, 0));
    engine.Run();
    auto carved = CarvedBySector(engine);
    ASSERT_TRUE(carved.count(straddle));
    EXPECT_EQ(carved.at(straddle)->size, (next - straddle) * 512);
    ASSERT_TRUE(carved.count(sectors - 50));
    EXPECT_EQ(carved.at(sectors - 50)->size, 50u * 512);
    ASSERT_TRUE(carved.count(10));
    EXPECT_EQ(carved.at(10)->size, (htmlSectors + 4) * 512);
    ASSERT_TRUE(carved.count(10 + htmlSectors + 4));
    EXPECT_EQ(carved.at(10 + htmlSectors + 4)->size, html.size());
}

// A JPEG carried whole inside another JPEG (in an application segment, starting on a sector of
// its own) is found at both starts; the stages keep the outer file alone. A JPEG beside it,
// not inside, stays.
TEST(Carving, AFileFoundWholeInsideAnotherOfItsTypeIsKeptOnce) {
    auto read = [](const char* name) {
        std::ifstream in(std::filesystem::path(RAVLIN_FIXTURE_DIR) / "images" / name, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
    };
    const std::vector<uint8_t> outer = read("exif-intel.jpg"), inner = read("baseline-420.jpg");
    ASSERT_GT(inner.size(), 1000u);
    // The outer JPEG's SOI and first segment, then an APP15 segment whose payload puts the inner
    // JPEG on the next sector boundary, then the rest of the outer JPEG.
    ASSERT_EQ(outer[2], 0xFF);
    const size_t head = 4 + (size_t{outer[4]} << 8 | outer[5]);
    std::vector<uint8_t> nested(outer.begin(), outer.begin() + static_cast<std::ptrdiff_t>(head));
    const size_t innerAt = (head + 4 + 511) / 512 * 512;
    const size_t length = innerAt - head - 2 + inner.size();
    ASSERT_LT(length, 65536u);
    nested.insert(nested.end(), {0xFF, 0xEF, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    nested.resize(innerAt, 0);
    nested.insert(nested.end(), inner.begin(), inner.end());
    nested.insert(nested.end(), outer.begin() + static_cast<std::ptrdiff_t>(head), outer.end());

    test::TempDir temp;
    auto path = temp / "disk.img";
    const uint64_t sectors = 2 * kBlock;
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, sectors * 512);
    std::fstream image(path, std::ios::binary | std::ios::in | std::ios::out);
    Plant(image, 100, nested, sectors * 512);
    Plant(image, 300, inner, sectors * 512);
    image.close();

    DiskRecoveryEngine engine(RawInput(path, 0));
    engine.Run();
    // The raw pass hit all three starts, each as a whole JPEG.
    auto hits = engine.Records().Block(0);
    ASSERT_TRUE(hits);
    std::map<uint64_t, uint64_t> whole;
    for (const ScanItem& item : *hits) {
        const uint64_t start = item.startSector, size = item.size;
        if (item.status == kParseComplete) whole[start] = size;
    }
    EXPECT_EQ(whole, (std::map<uint64_t, uint64_t>{{100, nested.size()}, {100 + innerAt / 512, inner.size()},
                                                   {300, inner.size()}}));
    std::map<uint64_t, const RFileNode*> live;
    for (const auto& [sector, node] : CarvedBySector(engine))
        if (node->IsLive()) live[sector] = node;
    ASSERT_EQ(live.size(), 2u);
    ASSERT_TRUE(live.count(100));
    EXPECT_EQ(live.at(100)->size, nested.size());
    ASSERT_TRUE(live.count(300));
    EXPECT_EQ(live.at(300)->size, inner.size());
    EXPECT_FALSE(live.count(100 + innerAt / 512));  // the copy inside the outer file
    EXPECT_EQ(engine.Output()->carvedFiles.load(), 2u);
}
