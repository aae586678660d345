// The file-system rebuilders: volumes whose boot sector and allocation structures are gone,
// rebuilt from the structures the raw pass found in raw space (file records, directory
// sectors). Each returns partition records in the shape the NTFS, FAT and exFAT scans make, not
// yet named or published.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fs/ScanItem.h"

namespace ravlin {

class DiskReader;
class PartInfo;

// NTFS volumes from groups of found file records lying as consecutive MFT records lie. `n`
// scales the size a group needs by the partitions found before.
void RebuildNtfsFromRecords(DiskReader* reader, const std::vector<ScanItem>& items,
                            std::vector<std::shared_ptr<PartInfo>>& out, uint32_t n);

// FAT volumes from found directory sectors, placed by the clusters their subdirectories name.
void RebuildFatFromDirectories(DiskReader* reader, const std::vector<ScanItem>& items,
                               std::vector<std::shared_ptr<PartInfo>>& out);

// exFAT volumes from found directory sectors, placed by matching their files with carved files
// (items of origin 0) of the same type and size.
void RebuildExfatFromDirectories(DiskReader* reader, const std::vector<ScanItem>& items,
                                 std::vector<std::shared_ptr<PartInfo>>& out);

// The group thresholds of the NTFS rebuilder.
inline constexpr size_t kMinFoundRecords = 50;   // fewer found records give nothing
inline constexpr size_t kMinGroupRecords = 51;   // a stretch of fewer is no group
inline constexpr uint64_t kDefaultMftSectors = 0x600000;  // the MFT's default place: cluster 786432 of 8 sectors

}  // namespace ravlin
