// The carving loop on in-memory blocks: hits and their items, parsers that wait for the window,
// parsers whose data has passed, the stop poll; and the carved-node builder: size estimates, the
// cap, the scan-mode filter, the duplicate checks, names and folders.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "carve/CarvedNodes.h"
#include "carve/Carver.h"
#include "carve/Drive.h"
#include "carve/Samples.h"
#include "fs/PartInfo.h"
#include "fs/FileNode.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr uint64_t kBlock = kBlockUnit;
constexpr uint32_t kBlockBytes = static_cast<uint32_t>(kBlockBytes64);

// A format of the tests' own: "RVLNMEAS", then the file's length as a u64. Its parser asks to
// see the file's last byte, and answers Complete with the length once it has.
class MeasureParser final : public IParseFile {
public:
    uint32_t Parse(uint64_t first, const uint8_t* buffer, uint32_t bytes) override {
        ++calls;
        uint8_t head[16];
        uint32_t status = ReadFileBytes(startSector, 0, 16, first, buffer, bytes, head, *this);
        if (status != kParseDataOk) return status;
        uint64_t length;
        std::memcpy(&length, head + 8, 8);
        if (length < 16) return kParseInvalid;
        uint8_t last;
        status = ReadFileBytes(startSector, length - 1, 1, first, buffer, bytes, &last, *this);
        if (status != kParseDataOk) return status;
        if (last != 0xEE) return kParseInvalid;
        size = length;
        return kParseComplete;
    }
    int calls = 0;
};

// A parser that asks for whatever the test says.
class AskingParser final : public IParseFile {
public:
    uint32_t Parse(uint64_t, const uint8_t*, uint32_t) override {
        requestFirst = first;
        requestEnd = end;
        ++calls;
        return kParseNeedData;
    }
    static inline uint64_t first = 0, end = 0;
    static inline int calls = 0;
};

ParserRegistry TestRegistry() {
    ParserRegistry r;
    RegisterParser(r, 46, 0, "RVLNMEAS", 8, [] { return new MeasureParser(); });
    r.back().keyBytes = {};
    r.back().keyBytes['R' >> 6] |= uint64_t{1} << ('R' & 63);
    RegisterParser(r, 44, 0, "RVLNASKS", 8, [] { return new AskingParser(); });
    r.back().keyBytes = {};
    r.back().keyBytes['R' >> 6] |= uint64_t{1} << ('R' & 63);
    return r;
}

void PutMeasured(Drive& d, uint64_t sector, uint64_t length) {
    uint8_t head[16];
    std::memcpy(head, "RVLNMEAS", 8);
    std::memcpy(head + 8, &length, 8);
    d.Put(sector, head, 16);
    d.disk[sector * 512 + length - 1] = 0xEE;
}

}  // namespace

// A file whose end lies 20 MiB after its start: its parser waits, is fed the window as the
// blocks arrive, and finishes when the window holds its end; the item names its own start.
TEST(Carver, AFileEndingTwentyMebibytesOnFinishesFromTheWindow) {
    Drive d(TestRegistry(), 5);
    PutMeasured(d, 100, 20 << 20);
    d.Run();
    ASSERT_EQ(d.items[0].size(), 1u);
    EXPECT_EQ(uint32_t{d.items[0][0].status}, kParseNeedData);  // the provisional item of its block
    EXPECT_EQ(d.items[1].size(), 0u);
    ASSERT_EQ(d.items[2].size(), 1u);
    const ScanItem& done = d.items[2][0];
    EXPECT_EQ(uint32_t{done.status}, kParseComplete);
    EXPECT_EQ(uint64_t{done.startSector}, 100u);
    EXPECT_EQ(uint64_t{done.size}, uint64_t{20} << 20);
    EXPECT_FALSE(d.carver.HasPending());
}

// Parsers whose data has passed, or whose request is inverted, are dropped, never waited on.
TEST(Carver, ParsersAskingForDataThatPassedAreDropped) {
    Drive d(TestRegistry(), 3);
    d.Put(kBlock + 7, "RVLNASKS", 8);
    AskingParser::first = 5;  // before the block it starts in: gone by the next block
    AskingParser::end = 6;
    AskingParser::calls = 0;
    d.Run();
    EXPECT_FALSE(d.carver.HasPending());
    EXPECT_EQ(AskingParser::calls, 1);

    Drive inverted(TestRegistry(), 2);
    inverted.Put(9, "RVLNASKS", 8);
    AskingParser::first = 3 * kBlock;
    AskingParser::end = 3 * kBlock - 1;
    inverted.Run();
    EXPECT_FALSE(inverted.carver.HasPending());
}

// A request far ahead keeps the parser pending without the window being filled for it.
TEST(Carver, AParserWaitingFarAheadDoesNotFillTheWindow) {
    Drive d(TestRegistry(), 3);
    d.Put(9, "RVLNASKS", 8);
    AskingParser::first = 100 * kBlock;
    AskingParser::end = 100 * kBlock + 1;
    d.Run(false);
    EXPECT_TRUE(d.carver.HasPending());
    EXPECT_FALSE(d.carver.WantsBlock(200 * kBlock));
}

// Every sector of every block is tested (no sector skipped after a hit); sectors whose first four
// bytes are zero are never tested; a stop ends the block at the next poll.
TEST(Carver, EverySectorIsTestedAndAStopEndsTheBlockWithinSixtyFourSectors) {
    const auto& png = CarveSamples()[23];
    ASSERT_EQ(png.typeId, 44u);
    Drive d(GetParserRegistry(), 1);
    for (uint64_t s = 0; s < kBlock; s += 2) d.Put(s, png.bytes.data(), 8);
    // The MDB magic sits at offset 4: behind four zero bytes it is never seen.
    d.Put(1, "\0\0\0\0Standard Jet DB", 19);
    d.Run();
    EXPECT_EQ(d.items[0].size(), kBlock / 2);
    for (const ScanItem& item : d.items[0]) EXPECT_EQ(uint32_t{item.typeId}, 44u);

    int polls = 0;
    Drive stopped(GetParserRegistry(), 1, [&] { return ++polls <= 1; });
    stopped.disk = d.disk;
    stopped.Run();
    EXPECT_EQ(stopped.items[0].size(), 32u);  // sectors 0 to 63
}

namespace {

// The builder on a scan region of `blocks` blocks from sector 0, with its output and index.
struct Builder {
    ScanOutput output;
    RecordIndex index;
    CreateInfoStore infos;
    CarvedNodeBuilder builder;
    std::shared_ptr<ExtFindPartInfo> part;

    // `sectors`: a region ending inside its last block.
    explicit Builder(uint64_t blocks, uint32_t scanMode = 0, uint64_t sectors = 0)
        : builder(output, index, infos, 0, sectors ? sectors : blocks * kBlock, scanMode) {
        index.Reset(0, blocks);
        part = builder.CreateCarvedPartition(L"disk.img");
    }
    // Files the block's items, as the analyser does.
    void Block(uint64_t block, std::vector<ScanItem> items) {
        index.ReplaceBlock(block * kBlock, items);
        builder.BuildCarvedNodes(block * kBlock, items);
    }
    std::map<std::string, const RFileNode*> Files() const {
        std::map<std::string, const RFileNode*> out;
        part->ForEachNode([&](uint32_t, const RFileNode& node) {
            if (node.IsFileKind()) out[std::string(node.name.begin(), node.name.end())] = &node;
        });
        return out;
    }
    std::wstring PathOf(const RFileNode& node) const {
        std::wstring path = node.name;
        for (uint32_t at = node.parentId; at != 0 && at != kCarvedRootId;) {
            const RFileNode* parent = part->NodeAt(at);
            path = parent->name + L"/" + path;
            at = parent->parentId;
        }
        return path;
    }
};

ScanItem Item(uint64_t sector, uint32_t type, uint8_t status = kParseFound, uint64_t size = 0) {
    ScanItem item;
    item.startSector = sector;
    item.typeId = type;
    item.status = status;
    item.size = size;
    return item;
}

}  // namespace

// Sizes run to the next file start; a block's last item waits for the next block; what waits
// at the end of the pass runs to the next start or the region's end.
TEST(CarvedNodes, SizesRunToTheNextFileStartAndTheLastItemWaits) {
    Builder b(4);
    b.Block(0, {Item(100, 44), Item(101, 44), Item(900, 45)});
    auto files = b.Files();
    ASSERT_EQ(files.size(), 2u);  // the GIF at 900 waits
    EXPECT_EQ(files.at("64.png")->size, 512u);  // two files in consecutive sectors
    EXPECT_EQ(files.at("65.png")->size, 799u * 512);
    EXPECT_EQ(files.at("64.png")->runs.size(), 1u);
    b.Block(1, {Item(kBlock + 50, 40, kParseComplete, 3000)});
    files = b.Files();
    EXPECT_EQ(files.at("384.gif")->size, (kBlock + 50 - 900) * 512);
    EXPECT_FALSE(files.count("4032.pdf"));  // its block's last item waits
    b.builder.FinishKeptItems();
    files = b.Files();
    ASSERT_TRUE(files.count("4032.pdf"));
    EXPECT_EQ(files.at("4032.pdf")->size, 3000u);  // measured: kept as it is
    // Estimates were written back into the index.
    auto list = b.index.Block(0);
    EXPECT_EQ(uint64_t{(*list)[0].size}, 512u);
}

// A region ending inside its last block: no estimate reaches past its last sector, whether the
// file waited for the end of the pass or another followed in the block after.
TEST(CarvedNodes, AnEstimateEndsAtTheRegionsLastSector) {
    const uint64_t sectors = kBlock + 4000;
    Builder b(2, 0, sectors);
    b.Block(0, {Item(10, 44), Item(kBlock - 8, 45)});
    b.Block(1, {Item(kBlock + 1000, 44)});
    b.builder.FinishKeptItems();
    auto files = b.Files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files.at("3ff8.gif")->size, 1008u * 512);
    EXPECT_EQ(files.at("43e8.png")->size, (sectors - kBlock - 1000) * 512);

    Builder alone(1, 0, 3000);
    alone.Block(0, {Item(2990, 44)});
    alone.builder.FinishKeptItems();
    EXPECT_EQ(alone.Files().at("bae.png")->size, 10u * 512);
}

// A measured size that claims more than the region holds (a header's size field, damaged or
// cut off by the end of the disk) keeps the sectors the region has; nothing starts past it.
TEST(CarvedNodes, AMeasuredSizePastTheRegionsEndKeepsWhatTheRegionHolds) {
    Builder b(1, 0, 3000);
    EXPECT_TRUE(b.builder.AddCarvedNode(Item(2990, 48, kParseComplete, 1 << 20), false));
    EXPECT_TRUE(b.builder.AddCarvedNode(Item(2000, 48, kParseComplete, 700), false));
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(3000, 48, kParseComplete, 700), false));
    auto files = b.Files();
    ASSERT_TRUE(files.count("bae.bmp"));
    EXPECT_EQ(files.at("bae.bmp")->size, 10u * 512);
    ASSERT_EQ(files.at("bae.bmp")->runs.size(), 1u);
    EXPECT_EQ(files.at("bae.bmp")->runs[0].sectorCount, 10u);
    EXPECT_EQ(files.at("7d0.bmp")->size, 700u);  // inside the region: as measured
}

TEST(CarvedNodes, AnEstimateNeverExceedsTheCap) {
    uint64_t blocks = 5'000'000 / kBlock + 2;
    Builder b(blocks);
    b.Block(0, {Item(0, 44)});
    b.Block(5'000'000 / kBlock, {Item(5'000'000, 45)});
    b.builder.FinishKeptItems();
    auto files = b.Files();
    ASSERT_TRUE(files.count("0.png"));
    EXPECT_EQ(files.at("0.png")->size, kMaxEstimateSectors * 512);
}

// Outside full scans only pictures and video are carved.
TEST(CarvedNodes, ARawOnlyScanKeepsPicturesAndVideoOnly) {
    Builder raw(1, 1);
    for (uint32_t type : {40u, 61u, 46u, 72u}) EXPECT_EQ(raw.builder.AddCarvedNode(Item(type * 10, type, kParseComplete, 600), false), type == 46 || type == 72) << type;
    Builder full(1, 0);
    for (uint32_t type : {40u, 61u, 46u, 72u}) EXPECT_TRUE(full.builder.AddCarvedNode(Item(type * 10, type, kParseComplete, 600), false)) << type;
}

// A file a file system lists at the same sector, with the same type or one of its family, is
// not carved again; nor is one already carved (but a ZIP, as the carving rules say).
TEST(CarvedNodes, FilesListedByAFileSystemOrCarvedBeforeAddNoNode) {
    Builder b(2);
    auto fat = std::make_shared<FatPartInfo>();
    RFileNode photo;
    photo.id = 3;
    photo.kind = NodeKind::DeletedFile;
    photo.typeId = 46;
    photo.firstSector = 500;
    fat->StoreNode(std::move(photo));
    RFileNode docx;
    docx.id = 4;
    docx.kind = NodeKind::File;
    docx.typeId = 37;
    docx.firstSector = 700;
    fat->StoreNode(std::move(docx));
    fat->BuildStartIndex();
    b.output.Publish(fat);
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(500, 46, kParseComplete, 100), false));
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(700, 61, kParseFound, 100), false));  // its package
    EXPECT_TRUE(b.builder.AddCarvedNode(Item(500, 44, kParseFound, 100), false));   // another format
    EXPECT_TRUE(b.builder.AddCarvedNode(Item(501, 46, kParseComplete, 100), false));
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(501, 46, kParseComplete, 100), false));
    EXPECT_TRUE(b.builder.AddCarvedNode(Item(501, 46, kParseComplete, 100), true));  // a stage may
    EXPECT_TRUE(b.builder.AddCarvedNode(Item(900, 61, kParseFound, 100), false));
    EXPECT_TRUE(b.builder.AddCarvedNode(Item(900, 61, kParseFound, 100), false));
    // Items that are no file: waiting, void, of no type, of origin other than carving.
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(950, 46, kParseNeedData, 100), false));
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(951, 46, kParseInvalid, 100), false));
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(952, 1, kParseFound, 100), false));
    ScanItem classified = Item(953, 46, kParseFound, 100);
    classified.origin = kOriginClassifier;
    EXPECT_FALSE(b.builder.AddCarvedNode(classified, false));
    // Executables are never listed: carved ones have no name.
    EXPECT_FALSE(b.builder.AddCarvedNode(Item(960, 74, kParseFound, 100), false));
    EXPECT_EQ(b.output.carvedFiles.load(), 5u);
}

// Files land in Root / category / type, folders made once, named as the carving rules say.
TEST(CarvedNodes, FilesLandInCategoryAndTypeFoldersUnderTheirNames) {
    Builder b(1);
    auto info = MakeCreateInfo(L"Canon", L"EOS", L"", L"2015:03:04 10:11:12");
    ScanItem photo = Item(0x10, 46, kParseComplete, 5000);
    photo.creationInfo = b.infos.Keep(info);
    ASSERT_TRUE(b.builder.AddCarvedNode(photo, false));
    ASSERT_TRUE(b.builder.AddCarvedNode(Item(0x20, 44, kParseFound, 512), false));
    ASSERT_TRUE(b.builder.AddCarvedNode(Item(0x30, 44, kParseFound, 512), false));
    ASSERT_TRUE(b.builder.AddCarvedNode(Item(0x40, 61, kParseFound, 512), false));
    EXPECT_EQ(b.part->displayName, kCarvedPartitionName);
    EXPECT_EQ(b.part->fsType, kFsExtFind);
    EXPECT_EQ(b.part->NodeAt(kCarvedRootId)->name, L"Root");
    std::map<std::wstring, const RFileNode*> paths;
    for (const auto& [name, node] : b.Files()) paths[b.PathOf(*node)] = node;
    const std::wstring pictures = L"\u56FE\u7247", archives = L"\u538B\u7F29";
    EXPECT_TRUE(paths.count(pictures + L"/JPG/Canon__EOS__2015_03_04__10.jpg"));
    EXPECT_TRUE(paths.count(pictures + L"/PNG/20.png"));
    EXPECT_TRUE(paths.count(pictures + L"/PNG/30.png"));
    EXPECT_TRUE(paths.count(archives + L"/ZIP/40.zip"));
    // Two categories, three types: five folders and the root.
    size_t folders = 0;
    b.part->ForEachNode([&](uint32_t, const RFileNode& node) { folders += node.IsDirectoryKind(); });
    EXPECT_EQ(folders, 6u);
    const RFileNode* jpeg = paths.at(pictures + L"/JPG/Canon__EOS__2015_03_04__10.jpg");
    EXPECT_EQ(jpeg->kind, NodeKind::DeletedFile);
    ASSERT_EQ(jpeg->runs.size(), 1u);
    EXPECT_EQ(jpeg->runs[0].startSector, 0x10u);
    EXPECT_EQ(jpeg->runs[0].sectorCount, 10u);
}
