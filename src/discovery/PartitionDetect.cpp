// The records of the file systems found at a sector, their scans and free-space maps.
#include "discovery/PartitionDetect.h"

#include <cstring>

#include "common/Bytes.h"
#include "disk/DiskReader.h"
#include "fs/FreeSpaceMap.h"
#include "fs/PartInfo.h"
#include "fs/exfat/ExfatRecord.h"
#include "fs/fat/FatRecord.h"
#include "fs/ntfs/ScanNtfs.h"

namespace ravlin {
namespace {

bool ReadSector(DiskReader& reader, uint64_t sector, uint8_t* out) {
    return !reader.IsClosed() && reader.ReadSectors(out, sector, 1) != 0;
}

std::shared_ptr<PartInfo> MakePartition(uint32_t type, DiskReader& reader, uint64_t sector,
                                        const uint8_t* bootCopy, const KeepRunning& keepRunning) {
    switch (type) {
        case kFsNtfs:
            return MakeNtfsPartition(reader, sector, bootCopy);
        case kFsFat12:
        case kFsFat16:
        case kFsFat32:
            return MakeFatPartition(reader, sector, bootCopy, keepRunning);
        case kFsExfat:
            return MakeExfatPartition(reader, sector, bootCopy, keepRunning);
        default:
            return nullptr;
    }
}

// The backup boot sector of a volume at S, when one is found: FAT32 at S + 6, exFAT at S + 12,
// NTFS at the partition's last sector.
uint32_t FindBackupBoot(DiskReader& reader, uint64_t sector, uint64_t sectorCount, uint8_t* out) {
    ByteSpan copy(out, 512);
    if (ReadSector(reader, sector + 6, out) && !BytesEqual(copy, 3, "NTFS    ", 8) &&
        !BytesEqual(copy, 3, "EXFAT   ", 8)) {
        if (BytesEqual(copy, 82, "FAT32   ", 8)) return kFsFat32;
        if (BytesEqual(copy, 54, "FAT16   ", 8)) return kFsFat16;
    }
    if (ReadSector(reader, sector + 12, out) && BytesEqual(copy, 3, "EXFAT   ", 8)) return kFsExfat;
    if (sectorCount >= 2 && ReadSector(reader, sector + sectorCount - 1, out) &&
        BytesEqual(copy, 3, "NTFS    ", 8))
        return kFsNtfs;
    return kFsNone;
}

}  // namespace

bool DetectPartitionAt(DiskReader& reader, uint64_t sector, std::shared_ptr<PartInfo>& out,
                       uint64_t sectorCount, const KeepRunning& keepRunning) {
    out.reset();
    uint32_t type = DetectFsTypeAt(reader, sector);
    if (type != kFsNone) out = MakePartition(type, reader, sector, nullptr, keepRunning);
    // No boot sector, or one whose fields are damaged past use: its backup serves.
    if (!out) {
        uint8_t copy[512];
        uint32_t backup = FindBackupBoot(reader, sector, sectorCount, copy);
        if (backup != kFsNone) out = MakePartition(backup, reader, sector, copy, keepRunning);
    }
    return out != nullptr;
}

bool ScanPartition(PartInfo& part, DiskReader& reader, ParseProgressCallback progress,
                   bool partitionDeleted, bool deletedOnly) {
    switch (part.fsType) {
        case kFsNtfs:
            return ScanNtfs(static_cast<NtfsPartInfo&>(part), reader, progress, partitionDeleted,
                            deletedOnly);
        case kFsFat12:
        case kFsFat16:
        case kFsFat32:
            return ScanFat(static_cast<FatPartInfo&>(part), reader, progress, partitionDeleted,
                           deletedOnly);
        case kFsExfat:
            return ScanExfat(static_cast<ExfatPartInfo&>(part), reader, progress, partitionDeleted,
                             deletedOnly);
        default:
            return false;
    }
}

bool LoadFreeSpaceMap(DiskReader& reader, uint64_t sector, FreeSpaceMap& out) {
    switch (DetectFsTypeAt(reader, sector)) {
        case kFsNtfs:
            return LoadNtfsFreeSpace(reader, sector, out);
        case kFsFat12:
        case kFsFat16:
        case kFsFat32:
            return LoadFatFreeSpace(reader, sector, out);
        case kFsExfat:
            return LoadExfatFreeSpace(reader, sector, out);
        default:
            return false;
    }
}

}  // namespace ravlin
