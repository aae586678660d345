// Read-ahead over a numbered image: order, content, failed reads, work done ahead, early end.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "disk/DiskReader.h"
#include "disk/Prefetch.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin;

namespace {

constexpr uint64_t kSectors = 4000;

class Prefetch : public ::testing::Test {
protected:
    void SetUp() override {
        test::WriteNumberedImage(temp_ / "disk.img", kSectors);
        ASSERT_TRUE(reader_.OpenPath((temp_ / "disk.img").wstring()));
    }

    test::TempDir temp_;
    DiskReader reader_;
};

}  // namespace

TEST_F(Prefetch, PiecesArriveInOrderWithTheirSectorsAndWorkAheadIsDoneFirst) {
    // Backwards, uneven, and one read running past the end of the image (zeros there).
    std::vector<PrefetchReader::Read> reads{{3000, 64}, {10, 1}, {512, 128}, {0, 7},
                                            {kSectors - 2, 4}, {1999, 33}};
    std::atomic<size_t> doneAhead{0};
    std::vector<size_t> order;
    PrefetchReader pieces(reader_, reads, 128, 2, [&](size_t index) {
        order.push_back(index);
        doneAhead.store(index + 1);
    });
    uint8_t* data;
    uint32_t count;
    bool ok;
    size_t piece = 0;
    for (; pieces.Next(data, count, ok); ++piece) {
        ASSERT_LT(piece, reads.size());
        EXPECT_GE(doneAhead.load(), piece + 1) << "the consumer got a piece before its work";
        EXPECT_EQ(count, reads[piece].count);
        EXPECT_TRUE(ok) << piece;
        for (uint32_t s = 0; s < count; ++s) {
            uint64_t sector = reads[piece].sector + s;
            std::vector<uint8_t> want =
                sector < kSectors ? test::NumberedSector(sector) : std::vector<uint8_t>(512, 0);
            ASSERT_EQ(std::memcmp(data + s * 512, want.data(), 512), 0)
                << "piece " << piece << " sector " << s;
        }
        data[0] ^= 0xFF;  // the consumer may change what it was given
    }
    EXPECT_EQ(piece, reads.size());
    EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2, 3, 4, 5}));
}

TEST_F(Prefetch, AConsumerThatStopsEarlyEndsTheReadingThread) {
    std::vector<PrefetchReader::Read> reads;
    for (uint64_t s = 0; s + 16 <= kSectors; s += 16) reads.push_back({s, 16});
    std::atomic<size_t> started{0};
    {
        PrefetchReader pieces(reader_, reads, 16, 2, [&](size_t) { started.fetch_add(1); });
        uint8_t* data;
        uint32_t count;
        bool ok;
        ASSERT_TRUE(pieces.Next(data, count, ok));
        ASSERT_TRUE(pieces.Next(data, count, ok));
        EXPECT_EQ(std::memcmp(data, test::NumberedSector(16).data(), 512), 0);
    }
    // Two taken, at most two ready and one in hand when the consumer left.
    EXPECT_LE(started.load(), 5u);
    EXPECT_LT(started.load(), reads.size());
}
