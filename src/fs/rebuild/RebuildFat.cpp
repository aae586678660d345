// FAT volumes rebuilt from directory sectors found in raw space: the first sectors of
// subdirectories (their "." entry names their own cluster) vote for where cluster 2 lies and
// how large clusters are; each volume's directory sectors are parsed again as the directories
// of their clusters, and files get contiguous runs, as deleted files do without a table.
#include <algorithm>
#include <map>
#include <set>
#include <span>

#include "disk/DiskReader.h"
#include "fs/PartInfo.h"
#include "fs/fat/FatRecord.h"
#include "fs/rebuild/ClusterTree.h"
#include "fs/rebuild/FoundSectors.h"
#include "fs/rebuild/Rebuild.h"

namespace ravlin {
namespace {

constexpr uint64_t kUnknownLength = uint64_t{1} << 48;
constexpr uint32_t kMaxCluster = 0x0FFFFFEF;
constexpr size_t kMaxDirectoryBytes = 16 << 20;  // a directory's sectors read at most

struct DirSector {
    uint64_t sector;
    const FatDirectorySummary* summary;
};

struct Candidate {
    uint64_t dataStart;  // the sector of cluster 2
    uint32_t clusterSectors;
    std::vector<uint64_t> sectors;  // its directory sectors
};

uint32_t ClusterOf(const Candidate& c, uint64_t sector) {
    return static_cast<uint32_t>((sector - c.dataStart) / c.clusterSectors + 2);
}

std::shared_ptr<FatPartInfo> BuildVolume(DiskReader& reader, Candidate& c) {
    auto part = std::make_shared<FatPartInfo>();
    part->fsType = kFsFat32;
    part->isFat32 = 1;
    part->startSector = part->volumeSector = part->dataStart = c.dataStart;
    part->sectorCount = kUnknownLength;

    // The directory sectors by cluster, the root's cluster read as it lies.
    std::map<uint32_t, std::vector<uint64_t>> clusters;
    for (uint64_t s : c.sectors) clusters[ClusterOf(c, s)].push_back(s);
    for (uint32_t i = 0; i < c.clusterSectors; ++i) clusters[2].push_back(c.dataStart + i);
    std::map<uint32_t, std::vector<FatDirEntry>> entries;
    for (auto& [cluster, sectors] : clusters) {
        std::sort(sectors.begin(), sectors.end());
        sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
        std::vector<uint8_t> bytes;
        for (uint64_t s : sectors) {
            if (bytes.size() >= kMaxDirectoryBytes) break;
            uint8_t sector[512];
            if (reader.ReadSectors(sector, s, 1) == 0 || !IsFatDirectorySector(std::span<const uint8_t>(sector, 512)))
                continue;
            bytes.insert(bytes.end(), sector, sector + 512);
        }
        if (!bytes.empty()) ParseDirectory(bytes, cluster, true, entries[cluster], false);
    }
    std::map<uint32_t, std::vector<RebuiltEntry>> rebuilt;
    for (const auto& [cluster, list] : entries) {
        auto& out = rebuilt[cluster];
        for (const FatDirEntry& e : list) {
            RebuiltEntry r;
            r.name = e.name;
            // A deleted entry lost its first character to the deletion mark.
            if (e.deleted && e.shortNameUsed && !r.name.empty() && r.name[0] == L'\u00E5') r.name[0] = L'_';
            r.directory = (e.attributes & 0x10) != 0;
            r.firstCluster = e.firstCluster;
            r.size = e.size;
            r.created = static_cast<uint32_t>(e.creationTime);
            r.modified = static_cast<uint32_t>(e.modificationTime);
            r.attributes = e.attributes;
            r.deleted = e.deleted != 0;
            out.push_back(std::move(r));
        }
    }
    BuildClusterTree(*part, &reader, c.dataStart, c.clusterSectors, 2, rebuilt);
    part->scanned.store(1);
    return part;
}

}  // namespace

void RebuildFatFromDirectories(DiskReader* reader, const std::vector<ScanItem>& items,
                               std::vector<std::shared_ptr<PartInfo>>& out) {
    if (!reader) return;
    std::vector<DirSector> firsts, others;
    for (const ScanItem& item : items) {
        if (item.origin != kOriginClassifier || item.typeId != kFoundFatDirectory || item.creationInfo == 0)
            continue;
        const auto* summary = reinterpret_cast<const FatDirectorySummary*>(uint64_t{item.creationInfo});
        if (summary->sectorClass == 2 && summary->ownCluster >= 2 && summary->ownCluster <= kMaxCluster)
            firsts.push_back({item.startSector, summary});
        else if (summary->sectorClass == 3)
            others.push_back({item.startSector, summary});
    }
    auto bySector = [](const DirSector& a, const DirSector& b) { return a.sector < b.sector; };
    std::sort(firsts.begin(), firsts.end(), bySector);
    std::sort(others.begin(), others.end(), bySector);
    if (firsts.size() < 3) return;
    // Each subdirectory's first sector votes for every cluster size that places cluster 2
    // inside the disk.
    std::map<std::pair<uint64_t, uint32_t>, uint32_t> votes;
    for (const DirSector& d : firsts) {
        const uint64_t c = d.summary->ownCluster;
        for (uint32_t k = 1; k <= 128; k <<= 1)
            if (d.sector >= k * (c - 2)) ++votes[{d.sector - k * (c - 2), k}];
    }
    std::vector<std::pair<std::pair<uint64_t, uint32_t>, uint32_t>> ranked(votes.begin(), votes.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<Candidate> candidates;
    std::set<uint64_t> used;
    for (size_t i = 0; i < ranked.size(); ++i) {
        const uint32_t needed = i == 0 && ranked.size() == 1 ? 4 : 6;
        if (ranked[i].second < needed) break;
        const auto [start, k] = ranked[i].first;
        Candidate cand{start, k, {}};
        for (const DirSector& d : firsts)
            if (d.sector == (uint64_t{d.summary->ownCluster} - 2) * k + start) cand.sectors.push_back(d.sector);
        if (cand.sectors.size() < 3) continue;
        used.insert(cand.sectors.begin(), cand.sectors.end());
        candidates.push_back(std::move(cand));
    }
    if (candidates.empty()) return;
    // The other directory sectors go to the volume whose cluster 2 lies nearest before them.
    auto owner = [&](uint64_t sector) -> Candidate* {
        Candidate* best = nullptr;
        for (Candidate& c : candidates)
            if (c.dataStart <= sector && (!best || c.dataStart > best->dataStart)) best = &c;
        return best;
    };
    for (const DirSector& d : others)
        if (Candidate* c = owner(d.sector)) c->sectors.push_back(d.sector);
    for (const DirSector& d : firsts)
        if (!used.count(d.sector))
            if (Candidate* c = owner(d.sector)) c->sectors.push_back(d.sector);
    for (Candidate& c : candidates) out.push_back(BuildVolume(*reader, c));
}

}  // namespace ravlin
