// exFAT volumes rebuilt from directory sectors found in raw space. Directory entries carry no
// cluster size and the boot region that says where the cluster heap lies is gone, so files are
// matched with the carved files of the same type and size: each match ties an entry's first
// cluster to a sector, and the heap start and cluster size most matches agree on place the
// volume. The tree is then parsed from the directory sectors, the directories known by their
// clusters.
#include <algorithm>
#include <map>

#include "disk/DiskReader.h"
#include "fs/PartInfo.h"
#include "fs/exfat/ExfatRecord.h"
#include "fs/rebuild/ClusterTree.h"
#include "fs/rebuild/FoundSectors.h"
#include "fs/rebuild/Rebuild.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {

constexpr uint64_t kUnknownLength = uint64_t{1} << 48;
constexpr uint32_t kMinMatches = 2;
constexpr uint32_t kMaxClusterShift = 16;  // clusters of up to 32 MiB (65,536 sectors)
constexpr size_t kMaxDirectoryBytes = 16 << 20;
constexpr size_t kMaxMatchesPerKey = 16;  // carved files of one type and size looked at

// Carved types whose files are matched with directory entries (pictures, documents, archives,
// video).
bool Matched(uint32_t type) {
    static const uint32_t kTypes[] = {36, 37, 38, 39, 41, 46, 48, 49, 50, 52, 61, 62, 64,
                                      66, 86, 87, 89, 90, 92, 98, 101, 102, 104, 108, 118, 146};
    return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

struct DirRun {
    uint64_t sector;
    const ExfatDirectorySummary* summary;
};

}  // namespace

void RebuildExfatFromDirectories(DiskReader* reader, const std::vector<ScanItem>& items,
                                 std::vector<std::shared_ptr<PartInfo>>& out) {
    if (!reader) return;
    std::vector<DirRun> dirs;
    std::multimap<std::pair<uint32_t, uint64_t>, uint64_t> carved;  // {type, size} -> start sector
    for (const ScanItem& item : items) {
        if (item.origin == kOriginClassifier && item.typeId == kFoundExfatDirectory && item.creationInfo != 0) {
            const auto* summary = reinterpret_cast<const ExfatDirectorySummary*>(uint64_t{item.creationInfo});
            if (summary->sectorClass >= 1 && summary->sectorClass <= 3) dirs.push_back({item.startSector, summary});
        } else if (item.origin == kOriginCarving && item.status == 4 && item.size != 0 && Matched(item.typeId)) {
            const std::pair<uint32_t, uint64_t> key{uint32_t{item.typeId}, uint64_t{item.size}};
            if (carved.count(key) < kMaxMatchesPerKey) carved.emplace(key, uint64_t{item.startSector});
        }
    }
    std::sort(dirs.begin(), dirs.end(), [](const DirRun& a, const DirRun& b) { return a.sector < b.sector; });
    if (dirs.size() < 3) return;
    // Every run of directory sectors read once, and its entries as they lie.
    struct Parsed {
        std::vector<uint8_t> bytes;
        std::vector<ExfatDirEntry> entries;
    };
    std::vector<Parsed> parsed;
    for (const DirRun& d : dirs) {
        const uint64_t sectors = std::min<uint64_t>(d.summary->sectors, kMaxDirectoryBytes / 512);
        Parsed p{std::vector<uint8_t>(sectors * 512), {}};
        if (reader->ReadSectors(p.bytes.data(), d.sector, static_cast<uint32_t>(sectors)) == 0)
            std::copy(d.summary->bytes.begin(), d.summary->bytes.end(), p.bytes.begin());
        ParseEntrySets(p.bytes, p.entries);
        parsed.push_back(std::move(p));
    }
    // Votes for {cluster-2 sector, cluster size}: each entry whose type and size match a carved
    // file, for every cluster size that keeps cluster 2 on the disk.
    std::map<std::pair<uint64_t, uint32_t>, uint32_t> votes;
    for (const Parsed& p : parsed) {
        for (const ExfatDirEntry& e : p.entries) {
            if (e.directory || e.firstCluster < 2 || e.length == 0) continue;
            auto [from, to] = carved.equal_range({TypeFromFileName(e.name), e.length});
            for (auto it = from; it != to; ++it) {
                for (uint32_t shift = 0; shift <= kMaxClusterShift; ++shift) {
                    const uint64_t offset = uint64_t{e.firstCluster - 2} << shift;
                    if (it->second >= offset) ++votes[{it->second - offset, 1u << shift}];
                }
            }
        }
    }
    uint32_t best = 0;
    uint64_t heap = 0;
    uint32_t spc = 0;
    for (const auto& [key, count] : votes) {
        // Ties: the larger cluster, whose placement the smaller ones only echo.
        if (count > best || (count == best && key.second > spc)) {
            best = count;
            heap = key.first;
            spc = key.second;
        }
    }
    if (best < kMinMatches) return;
    // The runs' sectors by the cluster they lie in (a run of consecutive sectors may cross into
    // another directory's cluster), each cluster's sectors parsed as that directory.
    std::map<uint32_t, std::map<uint64_t, const uint8_t*>> clusters;  // cluster -> sector -> bytes
    uint32_t rootCluster = 0;
    for (size_t i = 0; i < dirs.size(); ++i) {
        const DirRun& d = dirs[i];
        if (d.sector < heap) continue;
        for (size_t at = 0; at < parsed[i].bytes.size(); at += 512) {
            const uint64_t cluster = (d.sector + at / 512 - heap) / spc + 2;
            if (cluster > 0xFFFFFFF5) break;
            clusters[static_cast<uint32_t>(cluster)].emplace(d.sector + at / 512, parsed[i].bytes.data() + at);
        }
        if (d.summary->sectorClass == 1 && rootCluster == 0) rootCluster = static_cast<uint32_t>((d.sector - heap) / spc + 2);
    }
    std::map<uint32_t, std::vector<RebuiltEntry>> tree;
    for (const auto& [cluster, sectors] : clusters) {
        std::vector<uint8_t> bytes;
        for (const auto& [sector, data] : sectors) bytes.insert(bytes.end(), data, data + 512);
        std::vector<ExfatDirEntry> entries;
        ParseEntrySets(bytes, entries);
        auto& list = tree[cluster];
        for (const ExfatDirEntry& e : entries) {
            RebuiltEntry r;
            r.name = e.name;
            r.directory = e.directory != 0;
            r.firstCluster = e.firstCluster;
            r.size = e.length;
            r.created = static_cast<uint32_t>(e.creationTime);
            r.modified = static_cast<uint32_t>(e.modificationTime);
            r.localTime = e.localTime;
            r.attributes = e.attributes;
            r.deleted = e.deleted != 0;
            list.push_back(std::move(r));
        }
    }
    auto part = std::make_shared<ExfatPartInfo>();
    part->startSector = part->volumeSector = heap;
    part->clusterHeapSector = heap;
    part->sectorCount = kUnknownLength;
    BuildClusterTree(*part, reader, heap, spc, rootCluster, tree);
    part->scanned.store(1);
    out.push_back(part);
}

}  // namespace ravlin
