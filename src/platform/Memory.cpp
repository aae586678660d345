// Large allocations through mmap with transparent huge pages.
#include "platform/Memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace ravlin::platform {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// Blocks of a megabyte or more are made of whole, aligned huge pages: a huge page only backs
// an aligned 2 MiB stretch, and every 4 KiB page around one costs a fault of its own.
bool InHugePages(size_t bytes) { return bytes >= kHugePage / 2; }

size_t MappedBytes(size_t bytes) {
    return InHugePages(bytes) ? (bytes + kHugePage - 1) & ~(kHugePage - 1) : bytes;
}

}  // namespace

void* AllocateLarge(size_t bytes, bool populate) {
    if (bytes == 0) return nullptr;
    size_t mapped = MappedBytes(bytes);
    bool huge = InHugePages(bytes);
    size_t reserve = huge ? mapped + kHugePage : mapped;
    void* memory = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    if (huge) {
        // Keep the aligned stretch and give back what lies around it.
        auto start = reinterpret_cast<uintptr_t>(memory);
        uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
        if (aligned != start) ::munmap(memory, aligned - start);
        size_t tail = reserve - (aligned - start) - mapped;
        if (tail != 0) ::munmap(reinterpret_cast<void*>(aligned + mapped), tail);
        memory = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
        ::madvise(memory, mapped, MADV_HUGEPAGE);
#endif
    }
#ifdef MADV_POPULATE_WRITE
    if (populate) ::madvise(memory, mapped, MADV_POPULATE_WRITE);
#endif
    return memory;
}

void Prefault(void* memory, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    constexpr uintptr_t kPage = 4096;
    uintptr_t from = reinterpret_cast<uintptr_t>(memory) & ~(kPage - 1);
    uintptr_t to = reinterpret_cast<uintptr_t>(memory) + bytes;
    if (bytes != 0) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)memory;
    (void)bytes;
#endif
}

void FreeLarge(void* memory, size_t bytes) {
    if (memory) ::munmap(memory, MappedBytes(bytes));
}

}  // namespace ravlin::platform
