// The FAT boot sector and the allocation table.
#include "common/Bytes.h"
#include "disk/DiskReader.h"
#include "fs/fat/FatRecord.h"

namespace ravlin {

bool DecodeFatGeometry(std::span<const uint8_t> boot, uint64_t volumeSector, FatGeometry& out) {
    if (boot.size() < 512 || BytesEqual(boot, 3, "EXFAT   ", 8)) return false;
    FatGeometry g;
    g.bytesPerSector = LoadLE16(boot, 11);
    if (g.bytesPerSector != 512 && g.bytesPerSector != 1024 && g.bytesPerSector != 2048 &&
        g.bytesPerSector != 4096)
        return false;
    g.sectorsPerCluster = LoadU8(boot, 13);
    g.fatCount = LoadU8(boot, 16);
    g.rootEntryCount = LoadLE16(boot, 17);
    uint32_t reserved = LoadLE16(boot, 14);
    uint16_t fat16Sectors = LoadLE16(boot, 22);
    g.fatSectors = fat16Sectors ? fat16Sectors : LoadLE32(boot, 36);
    g.rootCluster = LoadLE32(boot, 44);
    uint16_t total16 = LoadLE16(boot, 19);
    g.totalSectors = total16 ? total16 : LoadLE32(boot, 32);
    g.isFat32 = fat16Sectors == 0;
    if (g.sectorsPerCluster == 0 || g.fatCount == 0 || g.fatSectors == 0 || g.totalSectors == 0)
        return false;
    if (g.isFat32 && (g.rootEntryCount != 0 || g.rootCluster < 2)) return false;
    g.bytesPerCluster = uint32_t{g.bytesPerSector} * g.sectorsPerCluster;
    uint32_t rootDirSectors = (uint32_t{g.rootEntryCount} * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
    uint64_t overhead = reserved + uint64_t{g.fatCount} * g.fatSectors + rootDirSectors;
    if (overhead >= g.totalSectors) return false;  // no room for data: absurd geometry
    uint64_t clusters = (g.totalSectors - overhead) / g.sectorsPerCluster;
    if (clusters == 0 || clusters > 0x0FFFFFF5) return false;
    g.maxCluster = static_cast<uint32_t>(clusters + 1);
    // The cluster count alone tells FAT12 from FAT16, whatever the label says.
    g.isFat12 = !g.isFat32 && clusters < 4085;
    // Positions in 512-byte sectors, whatever the volume's sector size.
    uint32_t scale = g.bytesPerSector / 512;
    g.clusterSectors = uint32_t{g.sectorsPerCluster} * scale;
    g.rootDirSectors512 = rootDirSectors * scale;
    g.fatSectors512 = uint64_t{g.fatSectors} * scale;
    g.fat1Sector = uint64_t{reserved} * scale + volumeSector;
    g.fat2Sector = g.fat1Sector + g.fatSectors512;
    g.rootDirSector = g.fat1Sector + g.fatCount * g.fatSectors512;
    g.dataStart = overhead * scale + volumeSector;
    out = g;
    return true;
}

uint32_t FatEntry(std::span<const uint8_t> fat, uint32_t bits, uint32_t cluster) {
    if (bits == 32) return LoadLE32(fat, size_t{cluster} * 4) & 0x0FFFFFFF;
    if (bits == 16) return LoadLE16(fat, size_t{cluster} * 2);
    // Two entries share three bytes: an even cluster's is the low 12 bits, an odd one's the high.
    const uint16_t pair = LoadLE16(fat, size_t{cluster} + cluster / 2);
    return cluster & 1 ? pair >> 4 : pair & 0x0FFF;
}

}  // namespace ravlin
