// Reading a FAT or exFAT allocation table from a device that may be failing.
#pragma once

#include <cstdint>
#include <functional>

namespace ravlin {

class DiskReader;

// Reads `sectors` sectors of a table at `first` into `out` (zeroed first). Pieces that fail are
// taken from the copy at `second` (0: no copy), and where both fail, sector by sector from
// either; sectors that no copy gives stay zero. `keepRunning` (may be empty) is asked between
// pieces; a false answer, or a device that went away, ends the read with what was read.
// False when nothing could be read.
bool ReadAllocationTable(DiskReader& reader, uint64_t first, uint64_t second, uint32_t sectors,
                         uint8_t* out, const std::function<bool()>& keepRunning);

}  // namespace ravlin
