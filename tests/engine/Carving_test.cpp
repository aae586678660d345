// The raw pass carving a real disk image: the same file found wherever it lies (the shift
// test), files a file system lists left alone, and the carved-files partition in the results.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "carve/CarvedNodes.h"
#include "carve/Samples.h"
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
