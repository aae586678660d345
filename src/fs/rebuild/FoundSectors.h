// What the raw pass keeps of file-system structures met in raw space (found-sector items and
// their payloads), for the rebuilders and the post-processing stages.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fs/ntfs/NtfsRecord.h"

namespace ravlin {

// Found-sector kinds (the item's type id, origin 2).
inline constexpr uint32_t kFoundMbr = 1;
inline constexpr uint32_t kFoundEbr = 2;
inline constexpr uint32_t kFoundNtfsBoot = 3;
inline constexpr uint32_t kFoundFileRecord = 4;
inline constexpr uint32_t kFoundIndexBlock = 5;
inline constexpr uint32_t kFoundFat16Boot = 6;
inline constexpr uint32_t kFoundFat32Boot = 7;
inline constexpr uint32_t kFoundFat32Table = 8;
inline constexpr uint32_t kFoundFatDirectory = 9;
inline constexpr uint32_t kFoundExfatBoot = 10;
inline constexpr uint32_t kFoundExfatDirectory = 11;
inline constexpr uint32_t kFoundGptHeader = 12;

// A FAT directory sector in short (28 bytes on disk when saved).
struct FatDirectorySummary {
    uint32_t sectorClass = 0;  // 1 starts with a volume label, 2 starts with "." and "..", 3 other
    uint32_t ownCluster = 0;     // the cluster of "." (class 2)
    uint32_t parentCluster = 0;  // the cluster of ".." (class 2)
    uint32_t lowCluster = 0;     // the lowest and highest first cluster its entries name
    uint32_t highCluster = 0;
    uint16_t entries = 0;  // short entries, live and deleted
    uint16_t longNameSlots = 0;
    uint16_t directories = 0;
};

// An exFAT directory sector in short: its class (1 root, 2 starts with a file entry set, 3
// other), its entries, and two clusters: the bitmap's and the up-case table's for a root, the
// first file's first cluster and data length's low word otherwise. The sector's bytes are kept
// for the rebuilder.
struct ExfatDirectorySummary {
    uint32_t sectorClass = 0;
    uint32_t entries = 0;
    uint32_t clusterBytes = 0;  // a power of two from 512 to 16 MiB when known, else 0
    uint32_t firstCluster = 0;
    uint32_t secondCluster = 0;
    uint32_t sectors = 1;  // consecutive directory sectors from this one
    std::array<uint8_t, 512> bytes{};
};

// An index entry harvested from an "INDX" block in raw space.
struct NameRecord {
    uint32_t nodeId = 0;    // the file's record number
    uint32_t parentId = 0;  // its directory's record number
    uint64_t startSector = 0;
    uint64_t size = 0;
    uint32_t firstTime = 0;  // creation and modification, Unix seconds
    uint32_t secondTime = 0;
    uint32_t typeId = 0;
    std::wstring name;
};

// What the classifier keeps for the items' payload words to point at, for the scan's life.
struct FoundSectorStore {
    std::deque<std::array<uint8_t, 512>> sectors;  // copies of classified sectors
    std::deque<NtfsRecord> records;  // file records, runs in clusters from cluster 0
    std::deque<FatDirectorySummary> fatDirectories;
    std::deque<ExfatDirectorySummary> exfatDirectories;
    std::vector<NameRecord> names;
};

// Bounds on what stray data can make the classifier keep.
inline constexpr size_t kMaxFoundRecords = 4000000;      // NTFS file records per scan
inline constexpr size_t kMaxFoundDirectories = 2000000;  // FAT and exFAT directory sectors per scan
inline constexpr size_t kMaxNameRecords = 4000000;       // per scan
inline constexpr size_t kMaxNamesPerBlock = 8192;

}  // namespace ravlin
