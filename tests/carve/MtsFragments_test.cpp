// The video-fragment follower and assembler on an M2TS recording made by ffmpeg, cut into
// pieces the way a card's clusters scatter a file, with random data around them.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "carve/ImageSamples.h"
#include "carve/MtsFragments.h"
#include "fs/PartInfo.h"
#include "fs/FileNode.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

const std::vector<uint8_t>& Recording() {
    static const std::vector<uint8_t> bytes = [] {
        std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/video/";
        auto json = nlohmann::json::parse(std::ifstream(dir + "samples.json"));
        const auto& r = json.at("recordings").at(0);
        auto data = ReadMaybeGzipped(dir + r.at("stored").get<std::string>());
        if (data.size() != r.at("size").get<size_t>()) throw std::runtime_error("bad recording");
        return data;
    }();
    return bytes;
}

struct Piece {
    uint64_t from, to;  // bytes of the recording
};

// A disk of random bytes holding the given pieces of the recording at the given sectors,
// scanned block by block as the video-fragment scan does.
struct FragmentDisk {
    std::vector<uint8_t> disk;
    BlockWindow window;
    FragmentAssembler assembler;
    RecordIndex index;

    explicit FragmentDisk(uint64_t blocks) : disk(blocks * kBlockBytes64) {
        std::mt19937 rng(5);
        for (auto& b : disk) b = static_cast<uint8_t>(rng());
        index.Reset(0, blocks);
        assembler.Reset(L"card.img", &index);
    }
    void Put(uint64_t sector, Piece piece) {
        const auto& rec = Recording();
        std::copy(rec.begin() + static_cast<long>(piece.from), rec.begin() + static_cast<long>(piece.to),
                  disk.begin() + static_cast<long>(sector * 512));
    }
    std::shared_ptr<ExtFindPartInfo> Scan() {
        for (uint64_t b = 0; b * kBlockBytes64 < disk.size(); ++b) {
            window.Feed(b * kBlockUnit, disk.data() + b * kBlockBytes64);
            assembler.FeedBlock(b * kBlockUnit, window);
        }
        return assembler.Assemble(window, nullptr);
    }
    // The files of the partition's MTS folder, with the bytes their runs hold.
    std::vector<std::pair<const RFileNode*, std::vector<uint8_t>>> Files(const ExtFindPartInfo& part) const {
        std::vector<std::pair<const RFileNode*, std::vector<uint8_t>>> out;
        const RFileNode* folder = part.NodeAt(88);
        if (!folder) return out;
        for (uint32_t id : folder->children) {
            const RFileNode* node = part.NodeAt(id);
            std::vector<uint8_t> bytes;
            for (const auto& run : node->runs)
                bytes.insert(bytes.end(), disk.begin() + static_cast<long>(run.startSector * 512),
                             disk.begin() + static_cast<long>((run.startSector + run.sectorCount) * 512));
            bytes.resize(std::min<size_t>(bytes.size(), node->size));
            out.emplace_back(node, std::move(bytes));
        }
        return out;
    }
};

constexpr uint64_t kCut1 = (9u << 20) + 3 * 4096;
constexpr uint64_t kCut2 = (21u << 20) + 7 * 4096;

}  // namespace

// Three pieces written out of order with other data between them come back as one recording,
// byte for byte, under "视频文件" / MTS, named by the sector of its first piece.
TEST(MtsFragments, ARecordingInThreeScatteredPiecesIsChainedBack) {
    const auto& rec = Recording();
    ASSERT_GE(rec.size(), 30u << 20);
    ASSERT_EQ(rec.size() % 512, 0u);
    FragmentDisk d(6);
    const uint64_t p3 = 100, p1 = p3 + (rec.size() - kCut2) / 512 + 777, p2 = p1 + kCut1 / 512 + 1234;
    d.Put(p3, {kCut2, rec.size()});
    d.Put(p1, {0, kCut1});
    d.Put(p2, {kCut1, kCut2});
    auto part = d.Scan();
    ASSERT_TRUE(part);
    EXPECT_EQ(part->displayName, L"\u89C6\u9891\u6587\u4EF6");
    EXPECT_EQ(part->rootNodeId.load(), 5u);
    ASSERT_NE(part->NodeAt(4), nullptr);
    EXPECT_EQ(part->NodeAt(4)->name, L"\u4E22\u5931\u7684\u6587\u4EF6");
    EXPECT_EQ(d.assembler.FragmentCount(), 3u);
    auto files = d.Files(*part);
    ASSERT_EQ(files.size(), 1u);
    const RFileNode& file = *files[0].first;
    wchar_t name[32];
    std::swprintf(name, 32, L"0x%llX.mts", static_cast<unsigned long long>(p1));
    EXPECT_EQ(file.name, name);
    EXPECT_EQ(file.typeId, 88u);
    ASSERT_EQ(file.runs.size(), 3u);
    EXPECT_EQ(file.runs[0].startSector, p1);
    EXPECT_EQ(file.runs[1].startSector, p2);
    EXPECT_EQ(file.runs[2].startSector, p3);
    EXPECT_EQ(file.size, rec.size());
    EXPECT_TRUE(files[0].second == rec);
    // The fragments were filed in the record index under their blocks, as items of origin 1.
    auto list = d.index.Block(0);
    ASSERT_TRUE(list);
    ASSERT_FALSE(list->empty());
    EXPECT_EQ(uint32_t{list->front().origin}, kOriginVideoFragment);
    EXPECT_EQ(uint64_t{list->front().startSector}, p3);
}

// Without the recording's first piece the chain grows backwards from the pool's first fragment.
TEST(MtsFragments, AChainGrowsBackwardsWhenItsStartComesLater) {
    const auto& rec = Recording();
    FragmentDisk d(4);
    const uint64_t p3 = 2000, p2 = p3 + (rec.size() - kCut2) / 512 + 99;
    d.Put(p3, {kCut2, rec.size()});
    d.Put(p2, {kCut1, kCut2});
    auto part = d.Scan();
    auto files = d.Files(*part);
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(files[0].first->runs.size(), 2u);
    EXPECT_EQ(files[0].first->runs[0].startSector, p2);
    EXPECT_TRUE(std::equal(files[0].second.begin(), files[0].second.end(), rec.begin() + kCut1));
    EXPECT_EQ(files[0].second.size(), rec.size() - kCut1);
}

// A whole recording that ends at the disk's last sector is closed by the end of the scan.
TEST(MtsFragments, ARecordingEndingAtTheDisksEndIsClosedThere) {
    const auto& rec = Recording();
    FragmentDisk d(4);
    d.Put(d.disk.size() / 512 - rec.size() / 512, {0, rec.size()});
    auto part = d.Scan();
    auto files = d.Files(*part);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].second == rec);
}

// Less than a chunk of 2048 packets makes no fragment; a chain of 1 MiB or less makes no file,
// though the partition is there with its root, lost-files and MTS folders.
TEST(MtsFragments, ShortStretchesMakeNoFile) {
    FragmentDisk d(1);
    d.Put(64, {0, 2000 * 192});
    d.Put(4096, {(4u << 20), (5u << 20)});
    auto part = d.Scan();
    EXPECT_EQ(d.assembler.FragmentCount(), 1u);
    EXPECT_TRUE(d.Files(*part).empty());
    ASSERT_NE(part->NodeAt(88), nullptr);
    EXPECT_EQ(part->NodeAt(88)->name, L"MTS");
    EXPECT_EQ(part->FileCount(), 0u);
}

// A fragment whose last good packet ends 320 bytes or more into a sector keeps that sector.
TEST(MtsFragments, AFragmentEndingLateInASectorKeepsIt) {
    // 2100 packets: 403,200 bytes, ending 256 bytes into a sector; 2101 packets end 448 in.
    for (uint64_t packets : {2100u, 2101u}) {
        SCOPED_TRACE(packets);
        FragmentDisk d(1);
        d.Put(512, {0, packets * 192});
        d.Scan();
        ASSERT_EQ(d.assembler.FragmentCount(), 1u);
        const FragmentRecord& r = d.assembler.Fragments().front();
        uint64_t bytes = packets * 192;
        EXPECT_EQ(uint64_t{r.endSector}, 512 + bytes / 512 + (bytes % 512 >= 320 ? 1 : 0));
        EXPECT_EQ(uint64_t{r.firstSector}, 512u);
    }
}

// A stream whose counters never move on (every video packet repeats one counter) is packets
// with good sync bytes all the way: no stretch of it holds together, the search moves on a
// sector at a time, and the scan ends with nothing.
TEST(MtsFragments, CountersThatRepeatForeverMakeNoFragment) {
    auto stuck = std::vector<uint8_t>(Recording().begin(), Recording().begin() + (3u << 20));
    for (size_t at = 0; at + 192 <= stuck.size(); at += 192)
        if (((stuck[at + 5] & 0x1F) << 8 | stuck[at + 6]) == 0x1011) stuck[at + 7] = (stuck[at + 7] & 0xF0) | 5;
    FragmentDisk d(1);
    std::copy(stuck.begin(), stuck.end(), d.disk.begin() + 4096 * 512);
    auto part = d.Scan();
    EXPECT_EQ(d.assembler.FragmentCount(), 0u);
    EXPECT_EQ(part->NodeAt(88), nullptr);
}
