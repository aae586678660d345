// Placing a movie's chunks among the positions found on the disk, and naming rebuilt movies.
#include <gtest/gtest.h>

#include <algorithm>

#include "carve/MovieAssembly.h"

using namespace ravlin;

namespace {

// Chunk offsets of a movie whose chunks are 3,000 to 4,000 bytes apart.
std::vector<uint32_t> Offsets(size_t n) {
    std::vector<uint32_t> o;
    uint32_t at = 48;
    for (size_t k = 0; k < n; ++k, at += 3000 + static_cast<uint32_t>(k * 37 % 1000)) o.push_back(at);
    return o;
}

// The positions of those chunks `shift` bytes later on the disk (a whole number of sectors),
// leaving out the ones `missing` names.
std::vector<uint64_t> Found(const std::vector<uint32_t>& o, uint64_t shift, std::vector<size_t> missing = {}) {
    std::vector<uint64_t> p;
    for (size_t k = 0; k < o.size(); ++k)
        if (std::find(missing.begin(), missing.end(), k) == missing.end()) p.push_back(o[k] + shift);
    return p;
}

}  // namespace

TEST(MovieAssembly, ChunksArePlacedFromFourInARowAndTheRestFollowTheirNeighbours) {
    const uint64_t shift = 512 * 90000;
    std::vector<uint64_t> placed;
    // Seven chunks are never placed, eight can be.
    EXPECT_FALSE(PlaceChunks(Offsets(7), Found(Offsets(7), shift), placed));
    ASSERT_TRUE(PlaceChunks(Offsets(8), Found(Offsets(8), shift), placed));
    for (size_t k = 0; k < 8; ++k) EXPECT_EQ(placed[k], Offsets(8)[k] + shift) << k;

    // Two pieces: chunks 0 to 19 at one place, 20 to 39 at another; chunk 0 and 25 not found.
    auto o = Offsets(40);
    std::vector<uint64_t> positions;
    for (size_t k = 0; k < 40; ++k)
        if (k != 0 && k != 25) positions.push_back(o[k] + (k < 20 ? shift : 2 * shift));
    std::sort(positions.begin(), positions.end());
    ASSERT_TRUE(PlaceChunks(o, positions, placed));
    EXPECT_EQ(placed[0], o[0] + shift);       // before the first found: its displacement
    EXPECT_EQ(placed[19], o[19] + shift);
    EXPECT_EQ(placed[21], o[21] + 2 * shift);
    EXPECT_EQ(placed[25], o[25] + 2 * shift);  // a gap: the chunk before it
}

TEST(MovieAssembly, PlacementsThatStartLateOrComeFromGarbageAreRefused) {
    const uint64_t shift = 512 * 4000;
    std::vector<uint64_t> placed;
    // Anchors are tried at chunks 1, 4, 7...: found from chunk 49 on, the first placed is 49
    // and the movie is kept; found from chunk 51 on, the first placed is 52, past 50: refused.
    auto o = Offsets(200);
    auto missingBefore = [](size_t first) {
        std::vector<size_t> missing;
        for (size_t k = 0; k < first; ++k) missing.push_back(k);
        return missing;
    };
    EXPECT_FALSE(PlaceChunks(o, Found(o, shift, missingBefore(51)), placed));
    EXPECT_TRUE(PlaceChunks(o, Found(o, shift, missingBefore(49)), placed));
    EXPECT_EQ(placed[0], o[0] + shift);
    // Offsets that go backwards, positions in other sectors' offsets, or too few of them.
    auto backwards = o;
    std::swap(backwards[10], backwards[11]);
    EXPECT_FALSE(PlaceChunks(backwards, Found(o, shift), placed));
    EXPECT_FALSE(PlaceChunks(o, Found(o, shift + 100), placed));
    auto all = Found(o, shift);
    EXPECT_FALSE(PlaceChunks(o, std::vector<uint64_t>(all.begin(), all.begin() + 90), placed));
    // A million positions of nothing in particular place nothing.
    std::vector<uint64_t> noise;
    for (uint64_t k = 0; k < 1000000; ++k) noise.push_back(k * 4099 + 1);
    EXPECT_FALSE(PlaceChunks(o, noise, placed));
}

TEST(MovieAssembly, RebuiltMoviesAreNamedByTheirPackedTime) {
    // 2024-07-01 13:45:10: year 44 after 1980, month 7, day 1, hour 13, minute 45.
    const uint32_t packed = 44u << 26 | 7u << 22 | 1u << 17 | 13u << 12 | 45u << 6 | 10u;
    EXPECT_EQ(MovieName(packed, 0x12345ABCD), L"2024-07-01_1345_ABCD.mov");
    EXPECT_EQ(MovieName(PackLocalTime(0), 0).substr(0, 4), L"1980");  // 1970 is before the packed years
    EXPECT_EQ(MovieName(0, 0x7), L"1980-01-01_0000_7.mov");           // month and day 0 read as 1
}
