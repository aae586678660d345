// Allocation tables read piece by piece, from a second copy where the first fails.
#include "fs/TableRead.h"

#include <algorithm>
#include <cstring>

#include "disk/DiskReader.h"

namespace ravlin {
namespace {
constexpr uint32_t kPieceSectors = 128;  // 64 KiB: a bad sector costs at most this much
}

bool ReadAllocationTable(DiskReader& reader, uint64_t first, uint64_t second, uint32_t sectors,
                         uint8_t* out, const std::function<bool()>& keepRunning) {
    std::memset(out, 0, size_t{sectors} * 512);
    if (sectors == 0) return false;
    if (reader.ReadSectors(out, first, sectors)) return true;
    if (second != 0 && reader.ReadSectors(out, second, sectors)) return true;
    bool any = false;
    for (uint32_t done = 0; done < sectors; done += kPieceSectors) {
        if (reader.IsDeviceLost() || (keepRunning && !keepRunning())) break;
        uint32_t count = std::min(kPieceSectors, sectors - done);
        uint8_t* at = out + size_t{done} * 512;
        if (reader.ReadSectors(at, first + done, count) ||
            (second != 0 && reader.ReadSectors(at, second + done, count))) {
            any = true;
            continue;
        }
        for (uint32_t s = 0; s < count && !reader.IsDeviceLost(); ++s) {
            uint8_t* sector = at + size_t{s} * 512;
            if (reader.ReadSectors(sector, first + done + s, 1) ||
                (second != 0 && reader.ReadSectors(sector, second + done + s, 1)))
                any = true;
        }
    }
    return any;
}

}  // namespace ravlin
