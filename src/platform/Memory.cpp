// Large allocations through mmap with transparent huge pages.
#include "platform/Memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace ravlin::platform {

void* AllocateLarge(size_t bytes, bool populate) {
    if (bytes == 0) return nullptr;
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
    if (memory == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    if (bytes >= (2u << 20)) ::madvise(memory, bytes, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    if (populate) ::madvise(memory, bytes, MADV_POPULATE_WRITE);
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
    if (memory) ::munmap(memory, bytes);
}

}  // namespace ravlin::platform
