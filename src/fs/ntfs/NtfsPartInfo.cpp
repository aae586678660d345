// NTFS records: metadata sectors and the content of resident files.
#include <algorithm>
#include <cstring>

#include "fs/PartInfo.h"
#include "fs/ntfs/NtfsRecord.h"

namespace ravlin {

bool NtfsPartInfo::IsSectorFree(uint64_t sector) const {
    for (const DataRun& run : mftRuns)
        if (sector >= run.startSector && sector - run.startSector < run.sectorCount) return false;
    if (mirrorSector != 0 && !mftRuns.empty() && sector >= mirrorSector &&
        sector - mirrorSector < mftRuns.front().sectorCount)
        return false;
    return !IsClaimed(sector);
}

uint32_t NtfsPartInfo::ReadFileData(DiskReader* reader, const RFileNode* node, uint64_t offset,
                                    uint8_t* buffer, uint32_t length) {
    if (!node || !buffer || length == 0) return 0;
    if (!node->resident) return ReadRunsData(reader, *node, offset, buffer, length);
    if (offset >= node->size) return 0;
    auto copyFrom = [&](const std::vector<uint8_t>& bytes) -> uint32_t {
        if (offset >= bytes.size()) return 0;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes.size() - offset));
        std::memcpy(buffer, bytes.data() + offset, n);
        return n;
    };
    if (!node->residentData.empty()) return copyFrom(node->residentData);
    if (!reader) return 0;
    // Resident content is not kept in the node: read it again from the file record.
    NtfsRecord record;
    uint32_t number = node->sourceId != 0xFFFFFFFF ? node->sourceId : node->id;
    if (!ReadNtfsRecordOfPart(*this, *reader, number, record) || !record.resident) {
        UnreadableCollector::Note(offset, std::min<uint64_t>(length, node->size - offset));
        return 0;
    }
    return copyFrom(record.residentData);
}

}  // namespace ravlin
