// NTFS mapping pairs (run lists).
#include "common/Bytes.h"
#include "fs/PartInfo.h"
#include "fs/ntfs/NtfsRecord.h"

namespace ravlin {

bool DecodeRunList(std::span<const uint8_t> bytes, uint64_t volumeSector,
                   uint32_t sectorsPerCluster, std::vector<DataRun>& out) {
    out.clear();
    int64_t running = 0;
    size_t at = 0;
    // Each pair takes at least one byte, so the walk ends within bytes.size() steps.
    while (at < bytes.size()) {
        uint8_t header = bytes[at];
        uint32_t lengthSize = header & 0x0F;
        uint32_t offsetSize = header >> 4;
        if (header == 0 || lengthSize < 1 || lengthSize > 8 || offsetSize > 8) break;
        if (bytes.size() - at - 1 < lengthSize + offsetSize) break;
        uint64_t length = 0;
        for (uint32_t i = 0; i < lengthSize; ++i)
            length |= uint64_t{bytes[at + 1 + i]} << (8 * i);
        // A run longer than any volume is damage, and it would shift every run after it: the
        // list ends before it.
        if (length > kMaxRunSectors / (sectorsPerCluster ? sectorsPerCluster : 1)) break;
        if (offsetSize != 0) {
            uint64_t raw = 0;
            for (uint32_t i = 0; i < offsetSize; ++i)
                raw |= uint64_t{bytes[at + 1 + lengthSize + i]} << (8 * i);
            if (offsetSize < 8 && (raw >> (8 * offsetSize - 1)) & 1)
                raw |= ~uint64_t{0} << (8 * offsetSize);  // sign extension
            running = static_cast<int64_t>(static_cast<uint64_t>(running) + raw);
            if (running >= 0 && length != 0) {
                // Corrupt values must not wrap around the sector space.
                uint64_t cluster = static_cast<uint64_t>(running);
                uint64_t limit = kSparseSector / (sectorsPerCluster ? sectorsPerCluster : 1);
                if (cluster < limit && cluster * sectorsPerCluster < kSparseSector - volumeSector) {
                    out.push_back({cluster * sectorsPerCluster + volumeSector,
                                   length * sectorsPerCluster});
                }
            }
        } else if (length != 0) {
            out.push_back({kSparseSector, length * sectorsPerCluster});
        }
        at += 1 + lengthSize + offsetSize;
    }
    return !out.empty();
}

}  // namespace ravlin
