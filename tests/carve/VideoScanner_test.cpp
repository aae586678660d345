// The video-fragment scanner on an MP4 made by ffmpeg, planted in two pieces the way a card
// scatters a file: the boxes it records, the movie box's chunk tables, and the sample starts,
// checked against where the pieces were put.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "carve/ImageSamples.h"
#include "carve/VideoScanner.h"
#include "platform/Debug.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr uint64_t kBlock = kBlockUnit;

std::vector<uint8_t> Movie(const std::string& name) {
    return ReadMaybeGzipped(std::string(RAVLIN_FIXTURE_DIR) + "/video/" + name);
}

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

size_t Atom(const std::vector<uint8_t>& mp4, const char* type) {
    for (size_t at = 0; at + 8 <= mp4.size() && Be32(mp4, at) >= 8; at += Be32(mp4, at))
        if (std::memcmp(&mp4[at + 4], type, 4) == 0) return at;
    ADD_FAILURE() << "no " << type;
    return 0;
}

// A random disk scanned block by block as the analyser scans it.
struct ScanDisk {
    std::vector<uint8_t> disk;
    BlockWindow window;
    VideoScanner scanner;

    explicit ScanDisk(uint64_t blocks) : disk(blocks * kBlockBytes64) {
        std::mt19937 rng(3);
        for (auto& b : disk) b = static_cast<uint8_t>(rng() % 251 + 3);  // no 0, 1 or 2 bytes
        scanner.Reset(0);
    }
    void Put(uint64_t byte, const uint8_t* from, const uint8_t* to) { std::copy(from, to, disk.begin() + static_cast<long>(byte)); }
    void Scan() {
        for (uint64_t b = 0; b * kBlockBytes64 < disk.size(); ++b) {
            const uint8_t* data = disk.data() + b * kBlockBytes64;
            bool fed = false;
            if (scanner.WantsBlock(b * kBlock)) {
                window.Feed(b * kBlock, data);
                fed = true;
            }
            scanner.ScanBlock(b * kBlock, data);
            if (scanner.Waiting()) {
                if (!fed) window.Feed(b * kBlock, data);
                scanner.ContinueWaiting(window);
            }
        }
    }
    std::vector<ScanItem> OfType(uint32_t type) const {
        std::vector<ScanItem> out;
        for (const ScanItem& item : scanner.Items())
            if (item.typeId == type) out.push_back(item);
        return out;
    }
    // Absolute byte positions listed by the per-block items of `type`.
    std::set<uint64_t> Positions(uint32_t type) const {
        std::set<uint64_t> out;
        for (const ScanItem& item : OfType(type)) {
            const std::vector<uint32_t>* list = scanner.Offsets(item.creationInfo);
            if (!list) continue;
            EXPECT_EQ((*list)[0], list->size() - 1);
            for (size_t i = 1; i < list->size(); ++i) out.insert(uint64_t{item.startSector} * 512 + (*list)[i]);
        }
        return out;
    }
};

}  // namespace

// A movie in two pieces, the second in the next block: the ftyp, moov and mdat boxes where they
// were put, the movie box's chunk tables, and every video chunk's start code among the block's
// sample starts at the place its piece now lies.
TEST(VideoScanner, TheBoxesAndSampleStartsOfAScatteredMovie) {
    const auto mp4 = Movie("faststart.mp4");
    const size_t moovAt = Atom(mp4, "moov"), mdatAt = Atom(mp4, "mdat");
    ASSERT_LT(moovAt, mdatAt);
    const size_t cut = (mdatAt + 16 + 4095) / 4096 * 4096;  // the media data split after its header
    ASSERT_LT(cut, mp4.size());
    const uint64_t pieceA = 100 * 512, pieceB = (kBlock + 77) * 512;
    ScanDisk d(2);
    d.Put(pieceA, mp4.data(), mp4.data() + cut);
    d.Put(pieceB, mp4.data() + cut, mp4.data() + mp4.size());
    d.Scan();
    auto where = [&](uint64_t offset) { return offset < cut ? pieceA + offset : pieceB + offset - cut; };

    auto ftyps = d.OfType(kVideoFtyp);
    ASSERT_EQ(ftyps.size(), 1u);
    EXPECT_EQ(uint64_t{ftyps[0].startSector}, 100u);
    EXPECT_EQ(uint64_t{ftyps[0].size}, Be32(mp4, 0));

    auto mdats = d.OfType(kVideoMdat);
    ASSERT_EQ(mdats.size(), 1u);
    const MdatRecord* mdat = d.scanner.Mdat(mdats[0].creationInfo);
    ASSERT_NE(mdat, nullptr);
    EXPECT_EQ(uint64_t{mdat->position}, pieceA + mdatAt);
    EXPECT_EQ(uint64_t{mdat->size}, Be32(mp4, mdatAt));

    auto moovs = d.OfType(kVideoMoov);
    ASSERT_EQ(moovs.size(), 1u);
    EXPECT_EQ(uint32_t{moovs[0].status}, 4u);
    const MovieBoxRecord* movie = d.scanner.Movie(moovs[0].creationInfo);
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(movie->position, pieceA + moovAt);
    EXPECT_EQ(movie->size, Be32(mp4, moovAt));
    ASSERT_EQ(movie->chunkTables.size(), 2u);  // video and audio

    // MPEG-4 video chunks begin with a start code; each is found where its piece lies.
    auto starts = d.Positions(kVideoStartCodes);
    size_t videoChunks = 0;
    for (const auto& table : movie->chunkTables)
        for (uint32_t offset : table) {
            ASSERT_LT(offset + 3u, mp4.size());
            if (mp4[offset] != 0 || mp4[offset + 1] != 0 || mp4[offset + 2] != 1) continue;
            ++videoChunks;
            EXPECT_TRUE(starts.count(where(offset))) << offset;
        }
    EXPECT_GE(videoChunks, 5u);
    EXPECT_EQ(d.OfType(kVideoBlock).size(), 2u);
}

// A movie box that runs into the next block waits for it and is parsed from the window.
TEST(VideoScanner, AMovieBoxAcrossABlockEndIsParsedFromTheWindow) {
    const auto mp4 = Movie("faststart.mp4");
    const size_t moovAt = Atom(mp4, "moov");
    ScanDisk d(2);
    const uint64_t at = kBlockBytes64 - moovAt - 100;  // the box's last bytes in block 1
    d.Put(at, mp4.data(), mp4.data() + mp4.size());
    d.Scan();
    auto moovs = d.OfType(kVideoMoov);
    ASSERT_EQ(moovs.size(), 1u);
    EXPECT_EQ(uint32_t{moovs[0].status}, 4u);
    const MovieBoxRecord* movie = d.scanner.Movie(moovs[0].creationInfo);
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(movie->chunkTables.size(), 2u);
    EXPECT_FALSE(d.scanner.Waiting());
}

// Boxes that nest themselves or overrun their parent end the walk; a count of chunks larger
// than its box reads only the box. One debug line per atom, indented by its depth.
TEST(VideoScanner, DamagedMovieBoxesAreWalkedWithinTheirBounds) {
    std::vector<std::string> lines;
    platform::SetDebugSink([](const char* line, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(line); },
                           &lines);
    // 40 movie boxes, each the only child of the one before.
    std::vector<uint8_t> nested;
    for (int i = 0; i < 40; ++i) {
        uint32_t size = 8 * (40 - i);
        nested.insert(nested.end(), {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size), 'm', 'o', 'o', 'v'});
    }
    EXPECT_FALSE(ParseMovieBox(nested.data(), uint32_t(nested.size()), 0));
    EXPECT_EQ(lines.size(), 20u);  // depth is bounded
    EXPECT_EQ(lines[1].rfind("   QtAtom: type=moov  offset=0x8  size=0x138", 0), 0u) << lines[1];

    // A track whose chunk table claims a million entries but holds two.
    const uint8_t box[] = {0, 0, 0, 48, 'm', 'o', 'o', 'v', 0, 0, 0, 40, 't', 'r', 'a', 'k', 0, 0, 0, 32,
                           's', 't', 'b', 'l', 0, 0, 0, 24, 's', 't', 'c', 'o', 0, 0, 0, 0, 0, 0x0F, 0x42, 0x40,
                           0, 0, 0x10, 0, 0, 0, 0x20, 0};
    auto movie = ParseMovieBox(box, sizeof box, 512);
    platform::SetDebugSink(nullptr, nullptr);
    ASSERT_TRUE(movie);
    ASSERT_EQ(movie->chunkTables.size(), 1u);
    EXPECT_EQ(movie->chunkTables[0], (std::vector<uint32_t>{0x1000, 0x2000}));
    EXPECT_EQ(movie->time, 0x420000u);  // no movie header: 1980-01-01

    // A child larger than its parent ends the walk with nothing found.
    uint8_t overrun[sizeof box];
    std::memcpy(overrun, box, sizeof box);
    overrun[11] = 200;
    EXPECT_FALSE(ParseMovieBox(overrun, sizeof overrun, 0));
}

TEST(VideoScanner, TimesArePackedAsLocalTimeFrom1980) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    // 2020-03-04 05:06:07 UTC
    uint32_t v = PackLocalTime(1583298367);
    EXPECT_EQ(v & 63, 7u);
    EXPECT_EQ(v >> 6 & 63, 6u);
    EXPECT_EQ(v >> 12 & 31, 5u);
    EXPECT_EQ(v >> 17 & 31, 4u);
    EXPECT_EQ(v >> 22 & 15, 3u);
    EXPECT_EQ(v >> 26, 40u);
    EXPECT_EQ(PackLocalTime(0) >> 26, 0u);  // 1970 becomes 1980
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

// The block search finds exactly what a byte-by-byte look finds: start codes, words of 2, the
// aligned length words, and box types, wherever they stand, up to the block's last bytes.
TEST(VideoScanner, TheBlockSearchMissesNothingABytewiseLookFinds) {
    ScanDisk d(1);
    std::vector<uint8_t>& b = d.disk;
    std::mt19937 rng(17);
    const size_t n = b.size();
    auto plant = [&](size_t at, std::initializer_list<uint8_t> bytes) { std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at)); };
    for (int i = 0; i < 3000; ++i) {
        size_t at = rng() % (n - 8);
        switch (i % 5) {
            case 0: plant(at, {0, 0, 1, 0xB6}); break;
            case 1: plant(at, {0, 0, 0, 2, 9}); break;
            case 2: plant(at & ~size_t{3}, {0, 0, 0, uint8_t(32 + 4 * (rng() % 3))}); break;
            case 3: plant(at, {0, 0, 0, 0}); break;  // zeros alone are nothing
            case 4: plant(at, {0, 0, 0, 99, 'm', 'd', 'a', 't'}); break;
        }
    }
    plant(n - 3, {0, 0, 1});
    plant(n - 8, {0, 0, 0, 2, 0, 0, 0, 40});
    d.Scan();
    std::set<uint64_t> starts, twos, words;
    size_t mdats = 0;
    for (size_t i = 0; i + 3 <= n; ++i) {
        if (b[i] || b[i + 1]) continue;
        if (b[i + 2] == 1) starts.insert(i);
        if (i + 4 <= n && b[i + 2] == 0 && b[i + 3] == 2) twos.insert(i);
        if (i + 4 <= n && i % 4 == 0 && b[i + 2] == 0 && (b[i + 3] == 32 || b[i + 3] == 36 || b[i + 3] == 40)) words.insert(i);
    }
    for (size_t i = 0; i + 8 <= n; ++i)
        if (std::memcmp(&b[i + 4], "mdat", 4) == 0 && Be32(b, i) != 0) ++mdats;
    EXPECT_EQ(d.Positions(kVideoStartCodes), starts);
    EXPECT_EQ(d.Positions(kVideoWordTwo), twos);
    EXPECT_EQ(d.Positions(kVideoLengthWords), words);
    EXPECT_EQ(d.OfType(kVideoMdat).size(), mdats);
    EXPECT_GT(starts.size(), 500u);
}
