// NTFS volumes rebuilt from file records found in raw space: records grouped where consecutive
// MFT records lie, the cluster size and volume start voted by index blocks found where the
// directories' index allocations place them, and the tree rebuilt from the records.
#include <algorithm>
#include <map>

#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "fs/ntfs/NtfsRecord.h"
#include "fs/ntfs/ScanNtfs.h"
#include "fs/rebuild/FoundSectors.h"
#include "fs/rebuild/Rebuild.h"

namespace ravlin {
namespace {

constexpr uint64_t kUnknownLength = uint64_t{1} << 48;
constexpr uint32_t kMinVotes = 3;
constexpr uint32_t kDefaultClusterSectors = 8;
constexpr size_t kMaxFoundStreams = size_t{1} << 20;  // stream nodes per rebuilt volume

struct Found {
    uint64_t sector;
    const NtfsRecord* record;
};

// Runs in clusters from cluster 0 made absolute for a volume at `start` of `spc`-sector clusters.
std::vector<DataRun> Place(const std::vector<DataRun>& runs, uint64_t start, uint32_t spc) {
    std::vector<DataRun> out;
    for (const DataRun& run : runs) {
        if (run.sectorCount > kMaxRunSectors / spc) break;
        DataRun placed = run;
        placed.sectorCount = run.sectorCount * spc;
        if (run.startSector != kSparseSector) {
            if (run.startSector > (kMaxRunSectors - start) / spc) break;
            placed.startSector = start + run.startSector * spc;
        }
        out.push_back(placed);
    }
    return out;
}

// The cluster size and volume start most index blocks agree on: for every directory record of
// the group and every index block whose entries name it as parent, each cluster size places
// the volume where the directory's index allocation would put that block. Ties go to the
// larger cluster (the smaller ones only halve the same offsets).
bool VoteVolume(const std::vector<Found>& group, const std::multimap<uint32_t, uint64_t>& indexBlocks,
                uint32_t& spc, uint64_t& start) {
    std::map<std::pair<uint32_t, uint64_t>, uint32_t> votes;
    for (const Found& f : group) {
        const NtfsRecord& r = *f.record;
        if (r.indexRuns.empty()) continue;
        auto [from, to] = indexBlocks.equal_range(r.recordNumber);
        for (auto it = from; it != to; ++it) {
            for (uint32_t k = 1; k <= 128; k <<= 1) {
                // The block taken as the first of each run.
                for (const DataRun& run : r.indexRuns) {
                    if (run.startSector == kSparseSector) continue;
                    const uint64_t at = run.startSector * k;
                    if (it->second < at) continue;
                    votes[{k, it->second - at}] += 1;  // the sector the volume would start at
                }
            }
        }
    }
    uint32_t best = 0;
    for (const auto& [key, count] : votes) {
        if (count > best || (count == best && count != 0 && key.first > spc)) {
            best = count;
            spc = key.first;
            start = key.second;
        }
    }
    return best >= kMinVotes;
}

std::shared_ptr<NtfsPartInfo> BuildVolume(const std::vector<Found>& group, uint64_t start, uint32_t spc) {
    auto part = std::make_shared<NtfsPartInfo>();
    part->startSector = part->volumeSector = start;
    part->sectorCount = kUnknownLength;
    std::vector<bool> seen;
    std::vector<RFileNode> streams;
    for (const Found& f : group) {
        NtfsRecord record = *f.record;
        const uint32_t number = record.recordNumber;
        if (number < seen.size() && seen[number]) continue;  // the first occurrence counts
        if (number >= seen.size()) seen.resize(size_t{number} + 1, false);
        seen[number] = true;
        if (record.name.empty()) continue;
        record.dataRuns = Place(record.dataRuns, start, spc);
        record.indexRuns.clear();
        record.firstDataSector = record.dataRuns.empty() || record.dataRuns.front().startSector == kSparseSector
                                     ? 0
                                     : record.dataRuns.front().startSector;
        for (NtfsStream& stream : record.streams) stream.runs = Place(stream.runs, start, spc);
        std::vector<NtfsStream> named = std::move(record.streams);
        RFileNode node;
        RecordToNode(std::move(record), node, true, true);
        node.valid = 1;
        if (!node.name.empty() && node.name[0] == L'$' && number < 16) node.valid = 0;
        if (streams.size() < kMaxFoundStreams) AppendStreamNodes(std::move(named), node, streams);
        const bool file = node.IsFileKind();
        if (part->StoreNode(std::move(node)) != 0 && file) part->fileCount.fetch_add(1);
    }
    for (RFileNode& stream : streams) {
        stream.id = part->FirstFreeIdFrom(part->NextNodeId());
        if (stream.id == 0) break;
        part->AddFileNode(std::move(stream));
    }
    BuildNtfsTree(*part, true);
    part->earliestTime = part->latestTime = 0;
    {
        auto lock = part->ReadLock();
        part->ComputeTimeRange();
        part->BuildStartIndex();
    }
    part->scanned.store(1);
    return part;
}

}  // namespace

void RebuildNtfsFromRecords(DiskReader* reader, const std::vector<ScanItem>& items,
                            std::vector<std::shared_ptr<PartInfo>>& out, uint32_t n) {
    if (!reader) return;
    std::vector<Found> records;
    std::multimap<uint32_t, uint64_t> indexBlocks;  // parent record -> sector
    for (const ScanItem& item : items) {
        if (item.origin != kOriginClassifier) continue;
        if (item.typeId == kFoundFileRecord && item.creationInfo != 0)
            records.push_back({item.startSector, reinterpret_cast<const NtfsRecord*>(uint64_t{item.creationInfo})});
        else if (item.typeId == kFoundIndexBlock)
            indexBlocks.emplace(static_cast<uint32_t>(item.creationInfo), uint64_t{item.startSector});
    }
    std::sort(records.begin(), records.end(), [](const Found& a, const Found& b) { return a.sector < b.sector; });
    if (records.size() < kMinFoundRecords) return;
    // Groups: stretches in which every record lies two sectors per record number after the
    // stretch's first.
    std::vector<std::vector<Found>> groups;
    for (size_t i = 0; i < records.size();) {
        const Found& first = records[i];
        size_t j = i + 1;
        while (j < records.size()) {
            const Found& r = records[j];
            const uint32_t number = r.record->recordNumber, base = first.record->recordNumber;
            if (number < base || r.sector - first.sector != uint64_t{number - base} * 2) break;
            ++j;
        }
        if (j - i >= kMinGroupRecords) groups.emplace_back(records.begin() + static_cast<std::ptrdiff_t>(i),
                                                           records.begin() + static_cast<std::ptrdiff_t>(j));
        i = j;
    }
    for (const auto& group : groups) {
        const size_t needed = std::max<size_t>(128, std::min<size_t>((out.size() + n) * 50, 1024));
        if (group.size() < needed) continue;
        uint32_t spc = kDefaultClusterSectors;
        uint64_t start = 0;
        if (!VoteVolume(group, indexBlocks, spc, start)) {
            // The MFT's default place after the volume start.
            spc = kDefaultClusterSectors;
            const uint64_t before = uint64_t{group.front().record->recordNumber} * 2 + kDefaultMftSectors;
            if (group.front().sector < before) continue;
            start = group.front().sector - before;
        }
        out.push_back(BuildVolume(group, start, spc));
    }
}

}  // namespace ravlin
