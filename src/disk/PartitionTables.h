// What a sector is: boot sectors and partition tables, from their bytes.
#pragma once

#include <cstdint>
#include <span>


namespace ravlin {

class DiskReader;

// File-system type codes.
inline constexpr uint32_t kFsNone = 0;
inline constexpr uint32_t kFsExfat = 4;
inline constexpr uint32_t kFsFat12 = 9;
inline constexpr uint32_t kFsFat16 = 10;
inline constexpr uint32_t kFsFat32 = 11;
inline constexpr uint32_t kFsNtfs = 12;
inline constexpr uint32_t kFsExtFind = 13;

// Sector classes.
inline constexpr uint8_t kSectorNothing = 0;
inline constexpr uint8_t kSectorMbr = 1;
inline constexpr uint8_t kSectorEbr = 2;
inline constexpr uint8_t kSectorNtfsBoot = 3;
inline constexpr uint8_t kSectorFat16Boot = 4;
inline constexpr uint8_t kSectorFat32Boot = 5;
inline constexpr uint8_t kSectorExfatBoot = 6;
inline constexpr uint8_t kSectorGptHeader = 7;

// File-system type by signature text alone: 12 NTFS, 4 exFAT, 11 FAT32, 10 FAT16, 9 FAT12, else 0.
uint32_t IdentifyFileSystem(std::span<const uint8_t> sector);
// IdentifyFileSystem of sector S; 0 when the reader is closed or the sector unreadable.
uint32_t DetectFsTypeAt(DiskReader& reader, uint64_t sector);
// The strict classification of a 512-byte sector found at `sector`.
uint8_t ClassifySector(uint64_t sector, std::span<const uint8_t> data);
// One 16-byte partition-table entry: type, start and at least 50 MiB, a clean boot flag.
bool IsValidPartitionEntry(std::span<const uint8_t> entry);

}  // namespace ravlin
