// Large blocks: zero-filled, usable to their last byte, whole huge pages from a megabyte on.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/Memory.h"

using namespace ravlin::platform;

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// True when every page of the range is mapped.
bool Mapped(const void* memory, size_t bytes) {
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((bytes + page - 1) / page);
    return ::mincore(const_cast<void*>(memory), bytes, resident.data()) == 0;
}

}  // namespace

TEST(LargeMemory, BlocksAreZeroedWritableAndBigOnesSitOnHugePageBoundaries) {
    for (size_t bytes : {size_t{4096}, size_t{400000}, size_t{1600000}, size_t{8000000},
                         size_t{20000000}, 3 * kHugePage}) {
        for (bool populate : {false, true}) {
            auto* memory = static_cast<uint8_t*>(AllocateLarge(bytes, populate));
            ASSERT_NE(memory, nullptr) << bytes;
            EXPECT_EQ(memory[0], 0);
            EXPECT_EQ(memory[bytes - 1], 0);
            std::memset(memory, 0xA5, bytes);
            EXPECT_EQ(memory[bytes / 2], 0xA5);
            if (bytes >= kHugePage / 2) {
                EXPECT_EQ(reinterpret_cast<uintptr_t>(memory) % kHugePage, 0u) << bytes;
                // The block is whole huge pages, so its last page is still its own.
                size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
                EXPECT_TRUE(Mapped(memory, whole)) << bytes;
            }
            FreeLarge(memory, bytes);
            EXPECT_FALSE(Mapped(memory, bytes)) << bytes;
        }
    }
    EXPECT_EQ(AllocateLarge(0), nullptr);
}

TEST(LargeMemory, PrefaultingKeepsWhatIsThere) {
    size_t bytes = 3 * kHugePage + 12345;
    auto* memory = static_cast<uint8_t*>(AllocateLarge(bytes));
    ASSERT_NE(memory, nullptr);
    memory[100] = 7;
    memory[kHugePage + 5] = 9;
    Prefault(memory + 50, kHugePage * 2);
    Prefault(memory + bytes - 10, 10);
    EXPECT_EQ(memory[100], 7);
    EXPECT_EQ(memory[kHugePage + 5], 9);
    EXPECT_EQ(memory[bytes - 1], 0);
    FreeLarge(memory, bytes);
}
