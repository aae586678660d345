// The NTFS boot sector.
#include "common/Bytes.h"
#include "fs/ntfs/NtfsRecord.h"

namespace ravlin {
namespace {

// Byte 64 / 68: below 128 a count of clusters, from 128 a power of two (0xF6: 2^10 = 1024).
uint32_t RecordSize(uint8_t code, uint32_t bytesPerCluster, uint32_t whenZero) {
    if (code == 0) return whenZero;
    if (code < 128) return code * bytesPerCluster;
    uint32_t shift = 256 - code;
    return shift < 31 ? 1u << shift : 0;
}

}  // namespace

bool DecodeNtfsBootParams(std::span<const uint8_t> boot, uint64_t volumeSector,
                          NtfsBootParams& out) {
    if (boot.size() < 512 || !BytesEqual(boot, 3, "NTFS    ", 8)) return false;
    NtfsBootParams p;
    p.bytesPerSector = LoadLE16(boot, 11);
    p.sectorsPerCluster = LoadU8(boot, 13);
    if (p.bytesPerSector == 0 || p.sectorsPerCluster == 0) return false;
    p.bytesPerCluster = uint32_t{p.bytesPerSector} * p.sectorsPerCluster;
    p.totalSectors = LoadLE64(boot, 40);
    p.mftSector = LoadLE64(boot, 48) * p.sectorsPerCluster + volumeSector;
    p.mirrorSector = LoadLE64(boot, 56) * p.sectorsPerCluster + volumeSector;
    p.fileRecordSize = RecordSize(LoadU8(boot, 64), p.bytesPerCluster, 1024);
    p.indexRecordSize = RecordSize(LoadU8(boot, 68), p.bytesPerCluster, 4096);
    out = p;
    return true;
}

}  // namespace ravlin
