// Boot sectors and partition-table entries: what a sector is, from its bytes.
#include "disk/PartitionTables.h"

#include <cstring>

#include "common/Bytes.h"
#include "disk/DiskReader.h"

namespace ravlin {
namespace {

constexpr uint32_t kMinPartitionSectors = 102400;  // entries below 50 MiB are ignored

bool ValidBytesPerSector(uint16_t v) { return v == 512 || v == 1024 || v == 2048 || v == 4096; }

bool ValidSectorsPerCluster(uint8_t v) { return v != 0 && v <= 128 && (v & (v - 1)) == 0; }

bool ReadSector(DiskReader& reader, uint64_t sector, uint8_t* out) {
    return !reader.IsClosed() && reader.ReadSectors(out, sector, 1) != 0;
}

}  // namespace

uint32_t IdentifyFileSystem(std::span<const uint8_t> s) {
    if (BytesEqual(s, 3, "NTFS    ", 8)) return kFsNtfs;
    if (BytesEqual(s, 3, "EXFAT   ", 8)) return kFsExfat;
    if (BytesEqual(s, 82, "FAT32   ", 8)) return kFsFat32;
    if (BytesEqual(s, 54, "FAT16   ", 8)) return kFsFat16;
    if (BytesEqual(s, 54, "FAT12   ", 8)) return kFsFat12;
    return kFsNone;
}

uint32_t DetectFsTypeAt(DiskReader& reader, uint64_t sector) {
    uint8_t data[512];
    if (!ReadSector(reader, sector, data)) return kFsNone;
    return IdentifyFileSystem(std::span<const uint8_t>(data, 512));
}

bool IsValidPartitionEntry(std::span<const uint8_t> e) {
    if (e.size() < 16) return false;
    uint8_t boot = e[0], type = e[4];
    uint32_t first = LoadLE32(e, 8), count = LoadLE32(e, 12);
    return type != 0 && first != 0 && count >= kMinPartitionSectors && (boot & 0x7F) == 0 &&
           (type <= 0x1C || type == 0xEE);
}

uint8_t ClassifySector(uint64_t sector, std::span<const uint8_t> d) {
    if (d.size() < 512) return kSectorNothing;
    if (sector == 1 && BytesEqual(d, 0, "EFI PART", 8)) return kSectorGptHeader;
    if (d[510] != 0x55 || d[511] != 0xAA) return kSectorNothing;
    uint16_t bps = LoadLE16(d, 11);
    uint8_t spc = d[13], fats = d[16], media = d[21];
    bool jump = d[0] == 0xEB && d[2] == 0x90;
    // 0xF6 at byte 64: 2^(256-246) = 1024-byte file records.
    if (jump && BytesEqual(d, 3, "NTFS", 4) && ValidBytesPerSector(bps) &&
        ValidSectorsPerCluster(spc) && media == 0xF8 && d[64] == 0xF6)
        return kSectorNtfsBoot;
    if (jump && BytesEqual(d, 54, "FAT1", 4) && d[58] == '6' && ValidBytesPerSector(bps) &&
        ValidSectorsPerCluster(spc) && (fats == 1 || fats == 2) && media == 0xF8 &&
        (LoadLE16(d, 24) == 63 || LoadLE16(d, 26) == 255))
        return kSectorFat16Boot;
    if (BytesEqual(d, 82, "FAT3", 4) && d[86] == '2' && (d[0] == 0xE9 || d[0] == 0xEB) &&
        ValidBytesPerSector(bps) && ValidSectorsPerCluster(spc) && (fats == 1 || fats == 2) &&
        (media == 0xF0 || media == 0xF8))
        return kSectorFat32Boot;
    if (jump && BytesEqual(d, 3, "EXFAT", 5) && d[108] == 9 && d[109] < 17) return kSectorExfatBoot;
    for (int i = 0; i < 4; ++i) {
        if (IsValidPartitionEntry(d.subspan(446 + 16 * static_cast<size_t>(i), 16)))
            return sector == 0 ? kSectorMbr : kSectorEbr;
    }
    return kSectorNothing;
}

}  // namespace ravlin
