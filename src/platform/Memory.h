// Large, long-lived allocations (node-store segments, preview tables): backed by huge pages
// where the system offers them, since every 4 KiB page fault costs time on a big volume.
#pragma once

#include <cstddef>

namespace ravlin::platform {

// Zero-filled memory of `bytes`; null on failure. Release with FreeLarge and the same size.
// `populate` faults every page in at once.
void* AllocateLarge(size_t bytes, bool populate = false);
void FreeLarge(void* memory, size_t bytes);
// Faults in the pages of [memory, memory + bytes) for writing, so that a later first write
// finds them present; nothing when the system cannot.
void Prefault(void* memory, size_t bytes);

}  // namespace ravlin::platform
