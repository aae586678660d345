// Device paths, partition names and the file-system pass.
#include "discovery/Enumerate.h"

#include <cwchar>

#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "fs/PartInfo.h"
#include "platform/DeviceTable.h"
#include "platform/DriveLayout.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

const std::wstring kPhysicalPrefix = L"\\\\.\\physicaldrive";
constexpr int kMaxDriveNumber = 63;
constexpr size_t kMaxExtents = 33;

bool DeletedOnlyKind(uint32_t kind) {
    return kind == 2 || kind == 5 || kind == 8 || kind == kScanKindDeletedFiles;
}

void ListLayout(FileSystemPass& pass, DiskReader& reader, uint64_t first, uint64_t end,
                const std::wstring& path) {
    auto handle = reader.Handle();
    if (!handle) return;
    auto layout = platform::QueryDriveLayout(*handle);
    if (!layout) return;
    for (const auto& entry : layout->entries) {
        if (!pass.keepRunning()) return;
        if (entry.length == 0) continue;
        uint64_t start = entry.startingOffset / 512;
        if (start < first || start >= end) continue;
        ScanListedPartition(pass, reader, start, std::min(end - start, entry.length / 512), true, path);
    }
}

}  // namespace

bool FileSystemsOnlyKind(uint32_t kind) {
    return kind == 8 || kind == kScanKindFileSystems || kind == kScanKindDeletedFiles;
}

bool IsPhysicalDrivePath(const std::wstring& path) { return DiskNumberFromPath(path) >= 0; }

int32_t DiskNumberFromPath(const std::wstring& path) {
    if (path.size() < kPhysicalPrefix.size() + 1) return -1;
    if (!platform::EqualsAsciiNoCase(path.substr(0, kPhysicalPrefix.size()), kPhysicalPrefix))
        return -1;
    int64_t n = 0;
    for (size_t i = kPhysicalPrefix.size(); i < path.size(); ++i) {
        if (path[i] < L'0' || path[i] > L'9') return -1;
        n = n * 10 + (path[i] - L'0');
        if (n > 0x7FFFFFFF) return -1;
    }
    return static_cast<int32_t>(n);
}

uint16_t VolumeLetterFromPath(const std::wstring& path) {
    if (path.size() < 6 || path.compare(0, 4, L"\\\\.\\") != 0 || path[5] != L':') return 0;
    wchar_t c = path[4];
    if (c >= L'a' && c <= L'z') c = c - L'a' + L'A';
    return c >= L'A' && c <= L'Z' ? static_cast<uint16_t>(c) : 0;
}

uint16_t DriveLetterForPartition(const std::wstring& devicePath, uint64_t startSector) {
    if (uint16_t letter = VolumeLetterFromPath(devicePath)) return letter;
    int64_t disk = DiskNumberFromPath(devicePath);
    if (disk < 0) {
        auto number = platform::PhysicalDriveNumberOf(devicePath);
        if (!number) return 0;
        disk = *number;
    }
    uint32_t mask = platform::LogicalDriveMask();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (1u << i))) continue;
        std::wstring volume = L"\\\\.\\";
        volume += static_cast<wchar_t>(L'A' + i);
        volume += L':';
        uint32_t error = 0;
        auto handle = platform::OpenDevice(volume, error);
        if (!handle) continue;
        auto extents = handle->VolumeExtents();
        if (!extents) continue;
        for (size_t e = 0; e < extents->size() && e < kMaxExtents; ++e) {
            const auto& extent = (*extents)[e];
            if (extent.diskNumber == disk && extent.startingOffset == startSector * 512)
                return static_cast<uint16_t>(L'A' + i);
        }
    }
    return 0;
}

std::wstring LocalDiskName(uint16_t letter) {
    if (letter == 0) return kLocalDiskName;
    std::wstring name = kLocalDiskName;
    name += L'(';
    name += static_cast<wchar_t>(letter);
    name += L":)";
    return name;
}

bool IsDeletedPartitionName(const std::wstring& name) {
    return name.rfind(kDeletedPartitionName, 0) == 0;
}

std::wstring NextDeletedPartitionName(const PartitionList& partitions) {
    size_t count = 0;
    for (const auto& part : partitions)
        if (part && IsDeletedPartitionName(part->displayName)) ++count;
    return kDeletedPartitionName + std::to_wstring(count + 1);
}

bool IsWholeDiskSource(const std::wstring& path, DiskReader& reader) {
    if (IsPhysicalDrivePath(path)) return true;
    if (platform::IsDeviceNamespacePath(path)) return false;
    auto handle = reader.Handle();
    return handle && platform::QueryDriveLayout(*handle).has_value();
}

void EnumerateListedPartitions(FileSystemPass& pass) {
    if (!pass.keepRunning()) return;
    uint32_t kind = pass.input.scanKind;
    if (pass.reader.IsClosed() && kind != 8) return;
    const std::wstring& path = pass.input.devicePath;
    if (kind == 8) {
        // Every physical drive, whatever the scan path names.
        for (int n = 0; n <= kMaxDriveNumber; ++n) {
            if (!pass.keepRunning() || pass.isStopped()) return;
            wchar_t name[32];
            std::swprintf(name, 32, L"\\\\.\\PhysicalDrive%d", n);
            DiskReader drive;
            if (!drive.OpenPath(name) || drive.TotalBytes() == 0) continue;
            ListLayout(pass, drive, 0, drive.LastSector() + 1, name);
        }
        return;
    }
    if (IsWholeDiskSource(path, pass.reader)) {
        uint64_t start = pass.reader.RegionStart();
        ListLayout(pass, pass.reader, start, start + pass.reader.RegionCount(), path);
        return;
    }
    ScanListedPartition(pass, pass.reader, pass.reader.RegionStart(), pass.reader.RegionCount(), true,
                        L"");
}

ParseProgressCallback StopCallback(const FileSystemPass& pass) {
    auto keepRunning = pass.keepRunning;
    return [keepRunning](const ParseProgress&) { return !keepRunning || keepRunning() ? 1 : 0; };
}

bool ScanListedPartition(FileSystemPass& pass, DiskReader& reader, uint64_t startSector,
                         uint64_t sectorCount, bool listedBySystem, const std::wstring& devicePath) {
    if (!pass.keepRunning()) return false;
    // A table that names one volume many times (repeated entries, a looping chain of extended
    // records) gets it scanned once.
    const std::wstring& device = devicePath.empty() ? pass.input.devicePath : devicePath;
    for (const auto& known : *pass.output.Partitions()) {
        if (known && known->startSector == startSector && known->devicePath == device) return false;
    }
    std::shared_ptr<PartInfo> part;
    if (!DetectPartitionAt(reader, startSector, part, sectorCount, pass.keepRunning)) return false;
    part->listedBySystem = part->listedBySystemToo = listedBySystem ? 1 : 0;
    part->startSector = part->volumeSector = startSector;
    part->devicePath = device;
    if (listedBySystem) {
        uint16_t letter = DriveLetterForPartition(part->devicePath, startSector);
        part->displayName = LocalDiskName(letter);
        part->driveLetter = letter;
    } else {
        part->displayName = NextDeletedPartitionName(*pass.output.Partitions());
    }
    if (sectorCount != 0) part->sectorCount = sectorCount;
    part->carvingFollows = !FileSystemsOnlyKind(pass.input.scanKind);
    pass.output.Publish(part);
    bool ok = ScanPartition(*part, reader, StopCallback(pass), !listedBySystem,
                            DeletedOnlyKind(pass.input.scanKind));
    if (!ok || pass.isStopped()) return false;
    pass.output.AddFiles(part->FileCount());
    return true;
}

}  // namespace ravlin
