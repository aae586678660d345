// Lost and residual partitions, and free-space blocks.
#include "discovery/LostPartitions.h"

#include <algorithm>

#include "common/Bytes.h"
#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "fs/FreeSpaceMap.h"
#include "fs/PartInfo.h"

namespace ravlin {

void AdoptLostPartition(FileSystemPass& pass, uint64_t sector) {
    auto list = pass.output.Partitions();
    // The carved-files partition starts at 0 in name only: a volume there is still to adopt.
    for (const auto& part : *list)
        if (part && part->fsType != kFsExtFind && part->startSector == sector) return;
    if (pass.reader.IsClosed()) return;
    std::shared_ptr<PartInfo> part;
    if (!DetectPartitionAt(pass.reader, sector, part, 0, pass.keepRunning)) return;
    part->listedBySystem = part->listedBySystemToo = 0;
    part->startSector = part->volumeSector = sector;
    part->devicePath = pass.input.devicePath;
    part->displayName = NextDeletedPartitionName(*list);
    pass.output.Publish(part);
    if (ScanPartition(*part, pass.reader, StopCallback(pass), true, false))
        pass.output.AddFiles(part->FileCount());
}

size_t AdoptResidualLogicalPartitions(FileSystemPass& pass, uint64_t recordSector,
                                      std::span<const uint8_t> record) {
    if (record.size() < 512 || pass.reader.IsClosed()) return 0;
    size_t added = 0;
    for (int i = 0; i < 4; ++i) {
        auto entry = record.subspan(446 + 16 * static_cast<size_t>(i), 16);
        uint8_t type = entry[4];
        if (!IsValidPartitionEntry(entry) || type == 0x05 || type == 0x0F) continue;
        uint64_t start = recordSector + LoadLE32(entry, 8);
        uint64_t count = LoadLE32(entry, 12);
        auto list = pass.output.Partitions();
        std::vector<uint64_t> starts;
        for (const auto& p : *list)
            if (p) starts.push_back(p->startSector);
        std::sort(starts.begin(), starts.end());
        if (std::binary_search(starts.begin(), starts.end(), start)) continue;
        std::shared_ptr<PartInfo> part;
        if (!DetectPartitionAt(pass.reader, start, part, count, pass.keepRunning)) continue;
        part->listedBySystem = part->listedBySystemToo = 0;
        part->devicePath = pass.input.devicePath;
        part->startSector = part->volumeSector = start;
        part->displayName = NextDeletedPartitionName(*list);
        part->sectorCount = count;
        if (!ScanPartition(*part, pass.reader, StopCallback(pass), true, false)) continue;
        pass.output.Publish(part);
        pass.output.AddFiles(part->FileCount());
        ++added;
    }
    return added;
}

std::vector<uint64_t> FreeSpaceBlocks(const FreeSpaceMap& map, uint64_t regionStart,
                                      uint64_t regionCount) {
    std::vector<uint64_t> kept;
    if (!map.Usable()) return kept;
    constexpr uint64_t kUnit = 16384;
    uint64_t first = regionStart - regionStart % kUnit;
    uint64_t end = regionStart + regionCount;
    uint64_t lastCluster = map.clusterCount - 1;
    for (uint64_t block = first; block < end; block += kUnit) {
        uint64_t blockLast = block + kUnit - 1;
        if (blockLast < map.firstSector) continue;  // wholly before the clusters
        uint64_t from = (std::max(block, map.firstSector) - map.firstSector) / map.sectorsPerCluster;
        uint64_t to = (blockLast - map.firstSector) / map.sectorsPerCluster;
        if (from > lastCluster) continue;
        to = std::min(to, lastCluster);
        for (uint64_t c = from; c <= to; ++c) {
            if (!map.InUse(c)) {
                kept.push_back(block);
                break;
            }
        }
    }
    return kept;
}

}  // namespace ravlin
