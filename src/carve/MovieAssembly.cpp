// QuickTime and MP4 movies rebuilt from their movie boxes and the chunks found on the disk.
#include "carve/MovieAssembly.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

#include "carve/MtsFragments.h"
#include "carve/ParseFile.h"
#include "fs/FileNode.h"

namespace ravlin {
namespace {

constexpr uint32_t kMovieTypeId = 67;
constexpr size_t kMaxAnchorFailures = 50;
constexpr size_t kMaxExtendMisses = 15;
constexpr size_t kMaxFirstPlaced = 50;
constexpr uint64_t kNearMdat = 0x100000;     // an mdat box this close before the first chunk
constexpr uint64_t kMdatSizeSlack = 0x1000000;  // an mdat this much larger than the last chunk offset

// A sorted position list with its positions grouped by their low 9 bits (their offset in a
// sector), and the positions a movie already took.
struct PositionList {
    const std::vector<uint64_t>* positions = nullptr;
    std::array<std::vector<uint32_t>, 512> bySectorOffset;
    std::vector<bool> taken;

    explicit PositionList(const std::vector<uint64_t>& sorted) : positions(&sorted), taken(sorted.size()) {
        for (size_t i = 0; i < sorted.size(); ++i) bySectorOffset[sorted[i] & 511].push_back(static_cast<uint32_t>(i));
    }
    // The index of `value` at or after index `from`, when it is there and free.
    bool Find(uint64_t value, size_t from, size_t& at) const {
        const auto& p = *positions;
        if (from >= p.size()) return false;
        auto it = std::lower_bound(p.begin() + static_cast<std::ptrdiff_t>(from), p.end(), value);
        if (it == p.end() || *it != value) return false;
        at = static_cast<size_t>(it - p.begin());
        return !taken[at];
    }
    void Take(uint64_t value) {
        size_t at;
        if (Find(value, 0, at)) taken[at] = true;
    }
};

bool Place(const std::vector<uint32_t>& o, const PositionList& list, std::vector<uint64_t>& placed) {
    const size_t n = o.size();
    const auto& pos = *list.positions;
    placed.assign(n, 0);
    if (n == 0 || pos.size() < n / 2 || n == 6 || n == 7) return false;
    for (size_t k = 1; k < n; ++k)
        if (o[k] <= o[k - 1]) return false;  // offsets that go backwards describe no file
    size_t failures = 0;
    for (size_t i = 1; i + 6 < n;) {
        bool anchored = false;
        size_t at = 0;
        if (i + 4 < n) {
            for (uint32_t candidate : list.bySectorOffset[o[i] & 511]) {
                if (list.taken[candidate]) continue;
                const uint64_t p = pos[candidate];
                size_t prev = candidate, found = 0;
                bool all = true;
                for (size_t k = 1; k <= 3 && all; ++k) {
                    all = list.Find(p + (o[i + k] - o[i]), prev + 1, found);
                    prev = found;
                }
                if (all) {
                    anchored = true;
                    at = candidate;
                    break;
                }
            }
        }
        if (!anchored) {
            if (++failures > kMaxAnchorFailures) return false;
            i += 3;
            continue;
        }
        failures = 0;
        placed[i] = pos[at];
        size_t last = i, lastAt = at, misses = 0;
        for (size_t j = i + 1; j < n && misses < kMaxExtendMisses; ++j) {
            size_t found;
            if (list.Find(placed[last] + (o[j] - o[last]), lastAt + 1, found)) {
                placed[j] = pos[found];
                last = j;
                lastAt = found;
                misses = 0;
            } else {
                ++misses;
            }
        }
        i = last + 1;
    }
    size_t count = 0, first = n, lastPlaced = 0;
    for (size_t k = 0; k < n; ++k) {
        if (placed[k] == 0) continue;
        ++count;
        first = std::min(first, k);
        lastPlaced = k;
    }
    if (count == 0 || count < n / 4 || first > kMaxFirstPlaced) return false;
    // The chunks not found keep the displacement of a chunk that was.
    for (size_t k = 0; k < first; ++k) placed[k] = placed[first] - o[first] + o[k];
    for (size_t k = lastPlaced + 1; k < n; ++k) placed[k] = placed[lastPlaced] - o[lastPlaced] + o[k];
    for (size_t k = 1; k < n; ++k)
        if (placed[k] == 0) placed[k] = placed[k - 1] - o[k - 1] + o[k];
    return true;
}

// Seconds since 1970 of a packed local time, taken as UTC (the node is marked local).
uint32_t UnpackTime(uint32_t v) {
    std::tm t{};
    t.tm_year = static_cast<int>(v >> 26) + 80;
    t.tm_mon = std::max(1, static_cast<int>((v >> 22) & 15)) - 1;
    t.tm_mday = std::max(1, static_cast<int>((v >> 17) & 31));
    t.tm_hour = static_cast<int>((v >> 12) & 31);
    t.tm_min = static_cast<int>((v >> 6) & 63);
    t.tm_sec = static_cast<int>(v & 63);
    const time_t seconds = timegm(&t);
    return seconds > 0 ? static_cast<uint32_t>(seconds) : 0;
}

}  // namespace

bool PlaceChunks(const std::vector<uint32_t>& offsets, const std::vector<uint64_t>& positions,
                 std::vector<uint64_t>& placed) {
    PositionList list(positions);
    return Place(offsets, list, placed);
}

std::wstring MovieName(uint32_t v, uint64_t firstSector) {
    wchar_t name[64];
    std::swprintf(name, 64, L"%04u-%02u-%02u_%02u%02u_%X.mov", (v >> 26) + 1980u, std::max(1u, (v >> 22) & 15),
                  std::max(1u, (v >> 17) & 31), (v >> 12) & 31, (v >> 6) & 63,
                  static_cast<unsigned>(firstSector & 0xFFFF));
    return name;
}

bool MovieAssembler::Collect(const std::vector<ScanItem>& items, const VideoScanner& scanner) {
    scanner_ = &scanner;
    partition_ = MakeVideoFilesPartition(L"");
    for (const ScanItem& item : items) {
        if (item.origin != kOriginVideoFragment) continue;
        const uint32_t type = item.typeId;
        const bool complete = item.status == kParseComplete;
        if (type == kVideoFtyp) ftyps_.push_back(item);
        else if (type == kVideoMoov && complete && scanner.Movie(item.creationInfo)) moovs_.push_back(item);
        else if (type == kVideoMdat && scanner.Mdat(item.creationInfo)) mdats_.push_back(item);
        else if ((type == kVideoBlock && complete) || (type >= kVideoLengthWords && type <= kVideoStartCodes)) {
            const std::vector<uint32_t>* list = scanner.Offsets(item.creationInfo);
            if (!list || list->empty()) continue;
            auto& positions = positions_[type - kVideoBlock];
            const uint32_t count = std::min<uint32_t>((*list)[0], static_cast<uint32_t>(list->size() - 1));
            for (uint32_t k = 1; k <= count; ++k) positions.push_back(uint64_t{item.startSector} * 512 + (*list)[k]);
        }
    }
    bool any = false;
    for (auto& positions : positions_) {
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        any |= !positions.empty();
    }
    if (!any || moovs_.empty()) return false;
    auto lastOffset = [&](const ScanItem& item) -> uint64_t {
        const MovieBoxRecord* movie = scanner.Movie(item.creationInfo);
        if (!movie || movie->chunkTables.empty() || movie->chunkTables.back().empty()) return 0;
        return movie->chunkTables.back().back();
    };
    std::stable_sort(moovs_.begin(), moovs_.end(),
                     [&](const ScanItem& a, const ScanItem& b) { return lastOffset(a) < lastOffset(b); });
    RFileNode folder = FolderNode(kMovieFolderId, partition_->rootNodeId, NodeKind::Directory, L"MOV");
    folder.typeId = kMovieTypeId;
    partition_->StoreNode(std::move(folder));
    partition_->NodeAt(partition_->rootNodeId)->children.push_back(kMovieFolderId);
    return true;
}

bool MovieAssembler::FindFtypAndMdat(const ScanItem& moov, uint64_t o, uint64_t p, Pair& pair) const {
    const MovieBoxRecord& movie = *scanner_->Movie(moov.creationInfo);
    auto mdatPosition = [&](const ScanItem& item) { return scanner_->Mdat(item.creationInfo)->position; };
    auto ftypAt = [&](uint64_t sector) -> const ScanItem* {
        for (const ScanItem& f : ftyps_)
            if (f.startSector == sector) return &f;
        return nullptr;
    };
    // The ftyp box right before the movie box: the file opens with both, the mdat box after.
    for (const ScanItem& f : ftyps_) {
        if (f.startSector != moov.startSector || f.size != movie.position % 512) continue;
        pair.ftyp = &f;
        const uint64_t q = f.size + movie.size - o + p;
        for (const ScanItem& d : mdats_)
            if (!pair.mdat && mdatPosition(d) == q) pair.mdat = &d;
        for (const ScanItem& d : mdats_)
            if (!pair.mdat && mdatPosition(d) < p && p - mdatPosition(d) < kNearMdat) pair.mdat = &d;
        return pair.mdat != nullptr;
    }
    // An mdat box in the file's first sector, as the placement puts it, beside an ftyp box.
    if (p >= o) {
        for (const ScanItem& d : mdats_) {
            if (d.startSector != (p - o) / 512 || !ftypAt(d.startSector)) continue;
            pair = {ftypAt(d.startSector), &d};
            return true;
        }
    }
    // The mdat box whose size best fits the movie's last chunk offset.
    const uint64_t last = movie.chunkTables.back().empty() ? 0 : movie.chunkTables.back().back();
    uint64_t best = kMdatSizeSlack;
    for (const ScanItem& d : mdats_) {
        const uint64_t size = scanner_->Mdat(d.creationInfo)->size;
        const ScanItem* f = ftypAt(d.startSector);
        if (size <= last || size - last >= best || !f) continue;
        best = size - last;
        pair = {f, &d};
    }
    return pair.mdat != nullptr;
}

// The file as pieces: from each anchor's file offset on, its bytes lie at that offset plus the
// anchor's displacement, up to the next anchor. The anchors are the file's head (at the ftyp
// box), the mdat box, every chunk, and a movie box that follows the mdat box.
bool MovieAssembler::BuildRuns(const Pair& pair, const ScanItem& moov, const std::vector<uint64_t>& offsets,
                               const std::vector<int64_t>& displacements, std::vector<DataRun>& runs,
                               uint64_t& size) const {
    const MovieBoxRecord& movie = *scanner_->Movie(moov.creationInfo);
    const MdatRecord& mdat = *scanner_->Mdat(pair.mdat->creationInfo);
    const int64_t head = static_cast<int64_t>(uint64_t{pair.ftyp->startSector} * 512);
    struct Anchor {
        uint64_t offset;
        int64_t displacement;
    };
    std::vector<Anchor> anchors{{0, head}};
    const bool movieFirst = pair.ftyp->startSector == moov.startSector;
    uint64_t mdatOffset;
    if (movieFirst) {
        mdatOffset = pair.ftyp->size + uint64_t{movie.size};
    } else {
        if (mdat.position < static_cast<uint64_t>(head)) return false;
        mdatOffset = mdat.position - static_cast<uint64_t>(head);
    }
    anchors.push_back({mdatOffset, static_cast<int64_t>(mdat.position) - static_cast<int64_t>(mdatOffset)});
    for (size_t k = 0; k < offsets.size(); ++k) anchors.push_back({offsets[k], displacements[k]});
    size = mdatOffset + mdat.size;
    if (!movieFirst) {
        const uint64_t movieOffset = size;
        anchors.push_back({movieOffset, static_cast<int64_t>(movie.position) - static_cast<int64_t>(movieOffset)});
        size = movieOffset + movie.size;
    }
    std::stable_sort(anchors.begin(), anchors.end(), [](const Anchor& a, const Anchor& b) { return a.offset < b.offset; });
    const uint64_t sectors = (size + 511) / 512;
    runs.clear();
    for (size_t i = 0; i < anchors.size(); ++i) {
        const Anchor& a = anchors[i];
        // A piece lies whole sectors away from the file's frame, or it is read in the frame before it.
        if (a.offset >= size || (a.displacement % 512) != 0) continue;
        const uint64_t from = i == 0 ? 0 : a.offset / 512;
        uint64_t to = sectors;
        for (size_t j = i + 1; j < anchors.size(); ++j) {
            if (anchors[j].offset >= size || anchors[j].displacement % 512 != 0) continue;
            to = anchors[j].offset / 512;
            break;
        }
        if (to <= from) continue;
        const int64_t disk = static_cast<int64_t>(from) + a.displacement / 512;
        if (disk < 0) return false;
        if (!runs.empty() && runs.back().startSector + runs.back().sectorCount == static_cast<uint64_t>(disk)) {
            runs.back().sectorCount += to - from;
        } else {
            runs.push_back({static_cast<uint64_t>(disk), to - from});
        }
    }
    return !runs.empty();
}

uint32_t MovieAssembler::Assemble(const std::function<bool()>& keepRunning) {
    if (!partition_ || !scanner_) return 0;
    std::vector<std::unique_ptr<PositionList>> lists;
    for (const auto& positions : positions_) lists.push_back(std::make_unique<PositionList>(positions));
    const size_t order[4] = {0, 3, 2, 1};  // the block items' positions, start codes, words 2, length words
    uint32_t made = 0;
    for (const ScanItem& moov : moovs_) {
        if (keepRunning && !keepRunning()) break;
        const MovieBoxRecord* movie = scanner_->Movie(moov.creationInfo);
        if (!movie || movie->chunkTables.empty()) continue;
        // Each track's chunks are placed on their own; chunks of a track that is not found take
        // the displacement of the chunk before them in the file.
        struct Chunk {
            uint64_t offset;
            int64_t displacement;
            bool placed;
        };
        std::vector<Chunk> chunks;
        std::vector<std::pair<PositionList*, uint64_t>> used;
        for (const auto& table : movie->chunkTables) {
            std::vector<uint64_t> placed;
            PositionList* from = nullptr;
            for (size_t l : order) {
                if (Place(table, *lists[l], placed)) {
                    from = lists[l].get();
                    break;
                }
            }
            for (size_t k = 0; k < table.size(); ++k) {
                chunks.push_back({table[k], from ? static_cast<int64_t>(placed[k]) - int64_t{table[k]} : 0, from != nullptr});
                if (from) used.push_back({from, placed[k]});
            }
        }
        std::stable_sort(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) { return a.offset < b.offset; });
        auto firstPlaced = std::find_if(chunks.begin(), chunks.end(), [](const Chunk& c) { return c.placed; });
        if (firstPlaced == chunks.end()) continue;
        for (const auto& [list, position] : used) list->Take(position);
        int64_t previous = firstPlaced->displacement;
        for (Chunk& c : chunks) {
            if (c.placed) previous = c.displacement;
            else c.displacement = previous;
        }
        const uint64_t o = chunks.front().offset;
        const int64_t p = static_cast<int64_t>(o) + chunks.front().displacement;
        Pair pair;
        if (p < 0 || !FindFtypAndMdat(moov, o, static_cast<uint64_t>(p), pair)) continue;
        std::vector<uint64_t> offsets;
        std::vector<int64_t> displacements;
        for (const Chunk& c : chunks) {
            offsets.push_back(c.offset);
            displacements.push_back(c.displacement);
        }
        RFileNode file;
        if (!BuildRuns(pair, moov, offsets, displacements, file.runs, file.size)) continue;
        file.id = nextId_++;
        file.parentId = kMovieFolderId;
        file.kind = NodeKind::File;
        file.typeId = kMovieTypeId;
        file.firstTime = file.secondTime = UnpackTime(movie->time);
        file.localTime = 1;
        file.firstSector = file.runs.front().startSector;
        file.name = MovieName(movie->time, file.firstSector);
        const uint32_t id = file.id;
        partition_->AddFileNode(std::move(file));
        partition_->NodeAt(kMovieFolderId)->children.push_back(id);
        ++made;
    }
    if (keepRunning) keepRunning();
    return made;
}

}  // namespace ravlin
