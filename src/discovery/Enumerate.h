// Device paths, partition names, and the file-system pass over the partitions the system lists.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fs/ScanOutput.h"
#include "fs/ScanProgress.h"
#include "ravlin/Ravlin.h"

namespace ravlin {

class DiskReader;
class PartInfo;

// What the file-system pass works with: the scan's parameters, output and reader, and its two
// callables (keep-running blocks while paused and is false once stopped).
struct FileSystemPass {
    const ScanInput& input;
    ScanOutput& output;
    DiskReader& reader;
    std::function<bool()> keepRunning;
    std::function<bool()> isStopped;
};

inline const wchar_t* kLocalDiskName = L"\u672C\u5730\u78C1\u76D8";              // 本地磁盘
inline const wchar_t* kDeletedPartitionName = L"\u5DF2\u5220\u9664\u7684\u5206\u533A";  // 已删除的分区

// "\\.\PhysicalDrive" (any case) followed by digits only.
bool IsPhysicalDrivePath(const std::wstring& path);
// The number after the prefix, or -1.
int32_t DiskNumberFromPath(const std::wstring& path);
// The upper-case letter of "\\.\X:", else 0.
uint16_t VolumeLetterFromPath(const std::wstring& path);
// The letter of the mounted volume that starts at `startSector` of the drive, else 0.
uint16_t DriveLetterForPartition(const std::wstring& devicePath, uint64_t startSector);
// 本地磁盘(X:), or 本地磁盘 for letter 0.
std::wstring LocalDiskName(uint16_t letter);
std::wstring NextDeletedPartitionName(const PartitionList& partitions);
bool IsDeletedPartitionName(const std::wstring& name);

// Whether the scan path is a whole disk: a physical-drive name, or an image or block device
// that carries a partition table.
bool IsWholeDiskSource(const std::wstring& path, DiskReader& reader);

// The scanners' progress callback of a pass: it asks the pass's keep-running.
ParseProgressCallback StopCallback(const FileSystemPass& pass);

// The kinds whose scan ends with the file-system pass: every drive's (8), this source's (9) and
// this source's deleted files (10).
bool FileSystemsOnlyKind(uint32_t kind);

// Detects, names, publishes and scans the partitions the system lists on the scan's device
// (or on every physical drive for scan kind 8).
void EnumerateListedPartitions(FileSystemPass& pass);

// One listed partition: detected at `startSector`, named, published, scanned.
bool ScanListedPartition(FileSystemPass& pass, DiskReader& reader, uint64_t startSector,
                         uint64_t sectorCount, bool listedBySystem, const std::wstring& devicePath);

}  // namespace ravlin
