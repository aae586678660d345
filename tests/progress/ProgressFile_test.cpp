// The progress data file and index: bytes written as the format lays them out, read back into
// another region, and damaged files refused without a crash or an allocation the file cannot
// back.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/Files.h"
#include "progress/ProgressFile.h"
#include "support/TempDir.h"

using namespace ravlin;

namespace {

// The expected file, field by field.
struct Expect {
    std::string b;
    void Le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
    }
    void U8(uint64_t v) { Le(v, 1); }
    void U16(uint64_t v) { Le(v, 2); }
    void U32(uint64_t v) { Le(v, 4); }
    void U64(uint64_t v) { Le(v, 8); }
    void Zero(size_t n) { b.append(n, '\0'); }
    void Text(const std::u16string& t) {
        U32(t.size() * 2);
        for (char16_t u : t) U16(u);
    }
};

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ScanItem Item(uint32_t origin, uint32_t type, uint8_t status, uint64_t start, uint64_t size, uint64_t word) {
    ScanItem item;
    item.origin = origin;
    item.typeId = type;
    item.status = status;
    item.startSector = start;
    item.size = size;
    item.creationInfo = word;
    return item;
}

constexpr uint64_t kBase = 1000000;
constexpr uint64_t kFirstBlock = 999424;  // the base rounded down to 16384

// One scan's state with an item of each kind of payload, its stores, and the file it makes.
struct Saved {
    CreateInfoStore infos;
    std::shared_ptr<_FILE_CREATE_INFO> info = MakeCreateInfo(L"Canon", L"EOS 5D", L"", L"2024:07:01");
    std::array<uint8_t, 512> boot{};
    FatDirectorySummary fat{2, 40, 2, 41, 90, 14, 6, 3};
    ExfatDirectorySummary exfat;
    NtfsRecord record;
    MovieBoxRecord movie;
    MdatRecord mdat{kBase * 512 + 4096 + 8, 123456};
    std::vector<uint32_t> offsets{3, 16, 520, 8192};
    ScanProgressSnapshot s;

    Saved() {
        for (size_t i = 0; i < boot.size(); ++i) boot[i] = static_cast<uint8_t>(i * 7);
        exfat.sectorClass = 2, exfat.entries = 9, exfat.clusterBytes = 4096, exfat.firstCluster = 7,
        exfat.secondCluster = 300, exfat.sectors = 3;
        for (size_t i = 0; i < exfat.bytes.size(); ++i) exfat.bytes[i] = static_cast<uint8_t>(255 - i);
        record.recordNumber = 64, record.parentRecord = 5, record.size = 70000, record.recordFlags = 1;
        record.fileAttributes = 0x20, record.firstDataSector = 8000, record.name = L"rapport \u00E9t\u00E9.docx";
        record.creationTime = 133000000000000000ull, record.modificationTime = 133000000100000000ull;
        record.dataRuns = {{8000, 64}, {9000, 73}};
        record.hasData = true;
        record.streams.push_back({L"Zone.Identifier", 26, {}, true, {1, 2, 3}});
        movie.position = kBase * 512 + 100 * 512 + 16;
        movie.size = 5000;
        movie.time = 0x5A4E2C3B;
        movie.chunkTables = {{48, 9000, 20000}, {7}};

        s.sourceName = L"/dev/sdb";
        s.states = {2, 2, 0};
        s.firstBlock = kFirstBlock;
        s.cursor = kFirstBlock + 2 * 16384;
        s.lastBlock = kFirstBlock + 2 * 16384;
        s.items = {
            Item(0, 1, 4, kBase + 100, 4096, infos.Keep(info)),  // a JPEG with its camera
            Item(0, 44, 0, kBase - 500, 0, 77),                   // before the region: at 0; 77 is a parser value
            Item(2, 3, 0, kBase + 2, 0, reinterpret_cast<uint64_t>(boot.data())),
            Item(2, 4, 0, kBase + 3, 70000, reinterpret_cast<uint64_t>(&record)),
            Item(2, 5, 0, kBase + 8, 0, 0x1234567800000042ull),  // an index block of folder 0x42
            Item(2, 9, 0, kBase + 20, 0, reinterpret_cast<uint64_t>(&fat)),
            Item(2, 11, 0, kBase + 30, 0, reinterpret_cast<uint64_t>(&exfat)),
            Item(2, 9, 0, kBase + 40, 0, 0),   // lost its summary: not saved
            Item(0, 200, 4, kBase + 50, 1, 0),  // no code for it: not saved
        };
        s.videoItems = {
            Item(1, 1, 4, kBase + 99, 24, 0),
            Item(1, 2, 4, kBase + 100, 5000, reinterpret_cast<uint64_t>(&movie)),
            Item(1, 2, 3, kBase + 150, 900, 0),  // a movie box never parsed: no payload
            Item(1, 3, 4, kBase + 8, 123456, reinterpret_cast<uint64_t>(&mdat)),
            Item(1, 5, 4, kBase, 0, reinterpret_cast<uint64_t>(&offsets)),
        };
        s.nameRecords = {{70, 5, 0, 1024, 1700000000, 1700000100, 1, L"IMG_0001.JPG"},
                         {71, 5, 123, 2048, 1, 2, 36, std::wstring(300, L'x')}};
    }
    CreateInfoFinder Finder() {
        return [this](uint64_t word) { return infos.Find(word); };
    }
};

std::string ExpectedFile(const Saved& v) {
    Expect e;
    e.b = "RVPD";
    e.Text(u"/dev/sdb");
    e.U32(3);
    e.U8(2), e.U8(2), e.U8(0);
    e.U64(2 * 16384), e.U64(0), e.U64(2 * 16384);
    e.U32(7);  // of nine items, two cannot be carried
    // The JPEG: code 1, status 4, relative start, size, has-info 1 and the info as UTF-16LE.
    e.U8(1), e.U8(4), e.U64(100), e.U64(4096), e.U8(1);
    const char16_t* maker = u"Canon";
    const char16_t* model = u"EOS 5D";
    const char16_t* date = u"2024:07:01";
    for (int i = 0; i < 32; ++i) e.U16(i < 5 ? maker[i] : 0);
    for (int i = 0; i < 32; ++i) e.U16(i < 6 ? model[i] : 0);
    e.Zero(128);
    for (int i = 0; i < 12; ++i) e.U16(i < 10 ? date[i] : 0);
    e.U8(44), e.U8(0), e.U64(0), e.U64(0), e.U8(0);
    e.U8(223), e.U8(0), e.U64(2), e.U64(0);
    e.b.append(reinterpret_cast<const char*>(v.boot.data()), 512);
    // The file record: the 53-byte head, the name, then the rest of the record.
    e.U8(224), e.U8(0), e.U64(3), e.U64(70000);
    const size_t head = e.b.size();
    e.U32(64), e.U32(5), e.U64(70000), e.Zero(16);
    e.U16(16);  // "rapport été.docx" in UTF-16 units
    const size_t dataLength = e.b.size();
    e.U16(0);
    e.U32(1), e.U32(0x20), e.U64(8000), e.U8(1);
    EXPECT_EQ(e.b.size() - head, 53u);
    for (char16_t u : std::u16string(u"rapport \u00E9t\u00E9.docx")) e.U16(u);
    const size_t data = e.b.size();
    e.U32(0), e.U64(133000000000000000ull), e.U64(133000000100000000ull), e.U32(0), e.U32(0), e.U64(0), e.U8(1);
    e.U32(2), e.U64(8000), e.U64(64), e.U64(9000), e.U64(73);
    e.U32(0), e.U32(0), e.U32(0), e.U32(0);
    e.U32(1), e.Text(u"Zone.Identifier"), e.U64(26), e.U8(1), e.U32(0), e.U32(3), e.U8(1), e.U8(2), e.U8(3);
    e.Text(u"");
    const size_t written = e.b.size() - data;
    e.b[dataLength] = static_cast<char>(written), e.b[dataLength + 1] = static_cast<char>(written >> 8);
    e.U8(225), e.U8(0), e.U64(8), e.U64(0), e.U32(0x42);
    e.U8(229), e.U8(0), e.U64(20), e.U64(0);
    e.U32(2), e.U32(40), e.U32(2), e.U32(41), e.U32(90), e.U16(14), e.U16(6), e.U16(3), e.Zero(2);
    e.U8(231), e.U8(0), e.U64(30), e.U64(0);
    e.U32(2), e.U32(9), e.U32(4096), e.U32(7), e.U32(300), e.U32(3);
    e.b.append(reinterpret_cast<const char*>(v.exfat.bytes.data()), 352 - 24);
    // Name records: 83 bytes and the name; the start sector stays absolute.
    e.U32(2);
    e.U32(70), e.U32(5), e.Zero(24), e.U64(0), e.U64(1024), e.U32(1700000000), e.U32(1700000100), e.Zero(24);
    e.U8(1), e.U8(8), e.U8(0), e.Text(u"IMG_0001.JPG");
    e.U32(71), e.U32(5), e.Zero(24), e.U64(123), e.U64(2048), e.U32(1), e.U32(2), e.Zero(24);
    e.U8(36), e.U8(8), e.U8(0), e.Text(std::u16string(300, u'x'));
    // Video items.
    e.U32(5);
    e.U8(200), e.U8(4), e.U64(99), e.U64(24), e.U64(24);
    e.U8(201), e.U8(4), e.U64(100), e.U64(5000);
    e.U64(100 * 512 + 16), e.U32(5000), e.U32(0x5A4E2C3B), e.Zero(44);
    e.U32(2);
    e.U32(3), e.U32(48), e.U32(9000), e.U32(20000), e.U8(48), e.U8(0x28), e.U8(0x20), e.U8(0), e.U8(0);
    e.U32(1), e.U32(7), e.U8(7), e.Zero(4);
    e.U8(201), e.U8(3), e.U64(150), e.U64(900);
    e.U8(202), e.U8(4), e.U64(8), e.U64(123456), e.U64(4096 + 8), e.U64(123456);
    e.U8(204), e.U8(4), e.U64(0), e.U64(0);
    e.U32(1), e.U32(3), e.U32(16), e.U32(520), e.U32(8192), e.U8(16), e.U8(8), e.U8(0), e.U8(0), e.U8(0);
    return e.b;
}

}  // namespace

TEST(ProgressData, IsWrittenFieldByFieldAndReadBackIntoAnotherRegion) {
    test::TempDir dir;
    Saved v;
    ASSERT_TRUE(WriteData(dir.Path().wstring(), L"scan.rvpd", v.s, kBase, v.Finder()));
    const std::string bytes = ReadAll(dir / "scan.rvpd");
    const std::string expected = ExpectedFile(v);
    ASSERT_EQ(bytes.size(), expected.size());
    for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], expected[i]) << "byte " << i;

    // Read for a region 1,000,000 sectors later: every position moves with it.
    CreateInfoStore infos;
    SavedPayloads saved(infos);
    ScanProgressSnapshot r;
    ASSERT_TRUE(ReadData(dir.Path().wstring() + L"/", L"scan.rvpd", r, 2 * kBase, saved));
    const uint64_t shift = kBase;
    EXPECT_EQ(r.sourceName, L"/dev/sdb");
    EXPECT_EQ(r.states, (std::vector<uint32_t>{2, 2, 0}));
    EXPECT_EQ(r.firstBlock, 1998848u);  // 2,000,000 rounded down to 16384
    EXPECT_EQ(r.cursor, 1998848u + 2 * 16384);
    EXPECT_EQ(r.lastBlock, 1998848u + 2 * 16384);
    ASSERT_EQ(r.items.size(), 7u);
    EXPECT_EQ(uint64_t{r.items[0].startSector}, kBase + 100 + shift);
    const _FILE_CREATE_INFO* info = infos.Find(r.items[0].creationInfo);
    ASSERT_TRUE(info);
    EXPECT_EQ(std::memcmp(info, v.info.get(), sizeof *info), 0);
    EXPECT_EQ(uint64_t{r.items[1].startSector}, 2 * kBase);  // it lay before the region
    EXPECT_EQ(uint64_t{r.items[1].creationInfo}, 0u);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(uint64_t{r.items[2].creationInfo}), v.boot.data(), 512), 0);
    const auto& record = *reinterpret_cast<const NtfsRecord*>(uint64_t{r.items[3].creationInfo});
    EXPECT_EQ(record.name, v.record.name);
    EXPECT_EQ(record.size, 70000u);
    EXPECT_EQ(record.dataRuns.size(), 2u);
    EXPECT_EQ(record.modificationTime, v.record.modificationTime);
    ASSERT_EQ(record.streams.size(), 1u);
    EXPECT_EQ(record.streams[0].residentData, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(uint32_t{r.items[3].typeId}, 4u);
    EXPECT_EQ(uint64_t{r.items[4].creationInfo}, 0x42u);
    const auto& fat = *reinterpret_cast<const FatDirectorySummary*>(uint64_t{r.items[5].creationInfo});
    EXPECT_EQ(fat.highCluster, 90u);
    EXPECT_EQ(fat.directories, 3u);
    const auto& exfat = *reinterpret_cast<const ExfatDirectorySummary*>(uint64_t{r.items[6].creationInfo});
    EXPECT_EQ(exfat.sectors, 3u);
    EXPECT_EQ(exfat.bytes[327], v.exfat.bytes[327]);
    EXPECT_EQ(exfat.bytes[328], 0);  // beyond what the file carries
    ASSERT_EQ(r.nameRecords.size(), 2u);
    EXPECT_EQ(r.nameRecords[0].name, L"IMG_0001.JPG");
    EXPECT_EQ(r.nameRecords[1].name, L"");  // 600 bytes: skipped over
    EXPECT_EQ(r.nameRecords[1].startSector, 123u);
    EXPECT_EQ(r.nameRecords[1].typeId, 36u);
    ASSERT_EQ(r.videoItems.size(), 5u);
    EXPECT_EQ(uint64_t{r.videoItems[0].size}, 24u);
    const auto& movie = *reinterpret_cast<const MovieBoxRecord*>(uint64_t{r.videoItems[1].creationInfo});
    EXPECT_EQ(movie.position, v.movie.position + shift * 512);
    EXPECT_EQ(movie.chunkTables, v.movie.chunkTables);
    EXPECT_EQ(uint64_t{r.videoItems[2].creationInfo}, 0u);
    EXPECT_EQ(reinterpret_cast<const MdatRecord*>(uint64_t{r.videoItems[3].creationInfo})->position,
              v.mdat.position + shift * 512);
    EXPECT_EQ(*reinterpret_cast<const std::vector<uint32_t>*>(uint64_t{r.videoItems[4].creationInfo}), v.offsets);

    // What was read writes the same file again.
    ScanProgressSnapshot again = r;
    again.items.erase(again.items.begin() + 1);  // its parser value did not travel
    ASSERT_TRUE(WriteData(dir.Path().wstring(), L"again.rvpd", again, 2 * kBase,
                          [&](uint64_t word) { return infos.Find(word); }));
    ScanProgressSnapshot third;
    ASSERT_TRUE(ReadData(dir.Path().wstring(), L"again.rvpd", third, 2 * kBase, saved));
    EXPECT_EQ(third.items.size(), 6u);
    EXPECT_EQ(third.nameRecords.size(), 2u);
    EXPECT_EQ(third.videoItems.size(), 5u);
}

TEST(ProgressData, DamagedFilesAreRefusedAtEveryLength) {
    test::TempDir dir;
    Saved v;
    ASSERT_TRUE(WriteData(dir.Path().wstring(), L"good", v.s, kBase, v.Finder()));
    const std::string good = ReadAll(dir / "good");
    CreateInfoStore infos;
    SavedPayloads saved(infos);
    ScanProgressSnapshot r;
    // Every truncation is refused.
    for (size_t n = 0; n < good.size(); n += (n < 700 ? 1 : 37)) {
        WriteAll(dir / "cut", good.substr(0, n));
        EXPECT_FALSE(ReadData(dir.Path().wstring(), L"cut", r, kBase, saved)) << n;
    }
    auto patched = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        std::string b = good;
        for (uint8_t x : bytes) b[at++] = static_cast<char>(x);
        WriteAll(dir / "bad", b);
        return ReadData(dir.Path().wstring(), L"bad", r, kBase, saved);
    };
    EXPECT_FALSE(patched(0, {'R', 'V', 'P', 'X'}));          // magic
    EXPECT_FALSE(patched(4, {17, 0, 0, 0}));                   // odd text length
    EXPECT_FALSE(patched(4, {2, 0, 1, 0}));                    // above 0x10000 bytes
    EXPECT_FALSE(patched(24, {0xFF, 0xFF, 0xFF, 0x7F}));       // more blocks than the file holds
    EXPECT_FALSE(patched(24 + 4 + 3 + 24, {0xFF, 0xFF, 0xFF, 0xFF}));  // item count
    // A run-list entry claiming more values than any list holds: the movie box's first table.
    const size_t movie = good.find(std::string("\x10\xc8\x00\x00\x00\x00\x00\x00\x88\x13", 10));
    ASSERT_NE(movie, std::string::npos);
    EXPECT_FALSE(patched(movie + 64, {0, 0, 0x10, 0}));
    EXPECT_TRUE(patched(0, {'R'}));  // the unpatched file still reads
    // A file that is no regular file, or none at all.
    EXPECT_FALSE(ReadData(dir.Path().wstring(), L"", r, kBase, saved));
    EXPECT_FALSE(ReadData(dir.Path().wstring(), L"missing", r, kBase, saved));
}

TEST(ProgressIndex, IsMadeOnFirstReadKeepsOneEntryPerDataFileAndIsNeverReplacedWhenDamaged) {
    test::TempDir dir;
    const std::wstring folder = (dir / "sessions").wstring();
    std::vector<ScanProgressIndexItem> entries;
    EXPECT_FALSE(ReadIndex(folder, L"", entries));
    ASSERT_TRUE(ReadIndex(folder, L"index", entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(ReadAll(dir / "sessions" / "index"), std::string("RVIDX01\0\0\0\0\0", 12));

    ScanProgressIndexItem a{1, 2048, 4096, 3, 0, L"a.rvpd"}, b{5, 0, 100, 0xFFFFFFFF, 0, L"b.rvpd"};
    ASSERT_TRUE(UpdateIndex(folder, L"index", a));
    ASSERT_TRUE(UpdateIndex(folder, L"index", b));
    a.endSector = 8192;
    ASSERT_TRUE(UpdateIndex(folder, L"index", a));
    ASSERT_TRUE(ReadIndex(folder, L"index", entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].endSector, 8192u);
    EXPECT_EQ(entries[0].driveNumber, 3u);
    EXPECT_EQ(entries[1].dataFile, L"b.rvpd");
    Expect e;
    e.b = std::string("RVIDX01\0", 8);
    e.U32(2);
    e.U32(1), e.U64(2048), e.U64(8192), e.U32(3), e.U32(0), e.Text(u"a.rvpd");
    e.U32(5), e.U64(0), e.U64(100), e.U32(0xFFFFFFFF), e.U32(0), e.Text(u"b.rvpd");
    const std::string good = ReadAll(dir / "sessions" / "index");
    EXPECT_EQ(good, e.b);

    // A damaged index stays as it is: the update fails.
    std::string damaged = good.substr(0, good.size() - 3);
    WriteAll(dir / "sessions" / "index", damaged);
    EXPECT_FALSE(ReadIndex(folder, L"index", entries));
    EXPECT_EQ(entries.size(), 1u);  // what came before the damage
    EXPECT_FALSE(UpdateIndex(folder, L"index", b));
    EXPECT_EQ(ReadAll(dir / "sessions" / "index"), damaged);
    std::string many = good;
    many[8] = static_cast<char>(0xA1), many[9] = static_cast<char>(0x86), many[10] = 1;  // 100,001 entries
    WriteAll(dir / "sessions" / "index", many);
    EXPECT_FALSE(ReadIndex(folder, L"index", entries));
}

// A save killed between writing a new file and renaming it over the old one leaves the old
// data file and index whole.
TEST(ProgressIndex, ASaveKilledBeforeItsRenameLeavesTheOldFiles) {
    test::TempDir dir;
    const std::wstring folder = dir.Path().wstring();
    Saved v;
    ASSERT_TRUE(WriteData(folder, L"scan.rvpd", v.s, kBase, v.Finder()));
    ASSERT_TRUE(UpdateIndex(folder, L"index", {1, 0, 100, 0xFFFFFFFF, 0, L"scan.rvpd"}));
    const std::string data = ReadAll(dir / "scan.rvpd"), index = ReadAll(dir / "index");
    for (int step : {0, 1}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            platform::ReplacingFile::SetBeforeRenameHookForTesting([](const std::string&) { _exit(9); });
            v.s.states = {0, 0, 0};
            if (step == 0) WriteData(folder, L"scan.rvpd", v.s, kBase, v.Finder());
            else UpdateIndex(folder, L"index", {1, 0, 100, 0xFFFFFFFF, 0, L"new.rvpd"});
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 9);  // it died in the middle of the save
    }
    EXPECT_EQ(ReadAll(dir / "scan.rvpd"), data);
    EXPECT_EQ(ReadAll(dir / "index"), index);
    std::vector<ScanProgressIndexItem> entries;
    ASSERT_TRUE(ReadIndex(folder, L"index", entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].dataFile, L"scan.rvpd");
    CreateInfoStore infos;
    SavedPayloads saved(infos);
    ScanProgressSnapshot r;
    EXPECT_TRUE(ReadData(folder, L"scan.rvpd", r, kBase, saved));
}

TEST(ProgressPaths, DriveNumbersAndResumeFolders) {
    EXPECT_EQ(DriveNumberOf(L"\\\\.\\PhysicalDrive12"), 12u);
    EXPECT_EQ(DriveNumberOf(L"\\\\.\\physicaldrive0"), 0u);
    EXPECT_EQ(DriveNumberOf(L"\\\\.\\PhysicalDrive"), 0xFFFFFFFFu);
    EXPECT_EQ(DriveNumberOf(L"\\\\.\\PhysicalDrive1a"), 0xFFFFFFFFu);
    EXPECT_EQ(DriveNumberOf(L"\\\\.\\C:"), 0xFFFFFFFFu);
    EXPECT_EQ(DriveNumberOf(L"/dev/sdb"), 0xFFFFFFFFu);
    std::wstring folder, name;
    SplitProgressPath(L"scan.rvpd", folder, name);
    EXPECT_EQ(folder, L"./");
    EXPECT_EQ(name, L"scan.rvpd");
    SplitProgressPath(L"D:\\saves/x\\scan.rvpd", folder, name);
    EXPECT_EQ(folder, L"D:\\saves/x\\");
    EXPECT_EQ(name, L"scan.rvpd");
    EXPECT_EQ(JoinedFolder(L"a"), L"a/");
    EXPECT_EQ(JoinedFolder(L"a\\"), L"a\\");
    EXPECT_EQ(JoinedFolder(L""), L"");
}
