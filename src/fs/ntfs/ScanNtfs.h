// The NTFS scanner, its partition factory and its free-space map.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "fs/PartInfo.h"
#include "fs/ScanProgress.h"
#include "fs/ntfs/NtfsRecord.h"

namespace ravlin {

class DiskReader;
struct FreeSpaceMap;

// What an analysis of $LogFile gives back: file records rebuilt from logged operations and
// (record, parent) pairs naming where records used to hang.
struct LogFileRecovery {
    std::vector<NtfsRecord> records;
    std::vector<std::pair<uint32_t, uint32_t>> parents;
};

// Reads and analyses the log whose record (2) is given. Installed by the log analysis;
// without one, the scan goes on without it.
using LogFileAnalyser = LogFileRecovery (*)(DiskReader& reader, const NtfsRecord& logFile);
void SetLogFileAnalyser(LogFileAnalyser analyser);

// Walks the MFT of `part` into its node store. False when the boot sector does not decode or
// the progress callback asked to stop.
bool ScanNtfs(NtfsPartInfo& part, DiskReader& reader, const ParseProgressCallback& progress,
              bool partitionDeleted, bool deletedOnly);

// Stores rebuilt records and applies re-parenting pairs, then rebuilds the tree.
void MergeLogFileRecovery(NtfsPartInfo& part, const LogFileRecovery& recovered,
                          bool partitionDeleted);

// Links every node under its parent; nodes whose parent is missing or no directory go to the
// folder of files with lost paths. Creates the root and that folder when missing.
void BuildNtfsTree(NtfsPartInfo& part, bool partitionDeleted);

// The record of the volume whose boot sector is at `sector` (or `bootCopy`, a backup of it).
std::shared_ptr<NtfsPartInfo> MakeNtfsPartition(DiskReader& reader, uint64_t sector,
                                                const uint8_t* bootCopy);

bool LoadNtfsFreeSpace(DiskReader& reader, uint64_t volumeSector, FreeSpaceMap& out);

}  // namespace ravlin
