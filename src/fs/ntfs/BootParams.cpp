// The NTFS boot sector.
#include "common/Bytes.h"
#include "fs/ntfs/NtfsRecord.h"

namespace ravlin {
namespace {

// Records of real volumes are 1 KiB or 4 KiB, index blocks 4 KiB; anything past 64 KiB is a
// damaged byte, and the buffers sized from it would be absurd.
constexpr uint64_t kMinRecordBytes = 1024;
constexpr uint64_t kMaxRecordBytes = 65536;

// Byte 64 / 68: below 128 a count of clusters, from 128 a power of two (0xF6: 2^10 = 1024).
// A size out of bounds gives the usual one (`whenZero`).
uint32_t RecordSize(uint8_t code, uint32_t bytesPerCluster, uint32_t whenZero) {
    if (code == 0) return whenZero;
    uint64_t size = 0;
    if (code < 128) {
        size = uint64_t{code} * bytesPerCluster;
    } else if (256 - code < 32) {
        size = uint64_t{1} << (256 - code);
    }
    if (size < kMinRecordBytes || size > kMaxRecordBytes || size % 512 != 0) return whenZero;
    return static_cast<uint32_t>(size);
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
