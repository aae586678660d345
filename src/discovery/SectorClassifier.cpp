// The sector classifier: per-sector tests, cheapest first, and the little state kept across
// blocks.
#include "discovery/SectorClassifier.h"

#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "disk/DiskReader.h"
#include "disk/PartitionTables.h"
#include "fs/PartInfo.h"
#include "fs/fat/FatRecord.h"
#include "platform/Text.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {

constexpr size_t kSectors = 16384;  // sectors per block
constexpr uint64_t kNoSector = ~uint64_t{0};
constexpr uint32_t kFatScanBytes = 8192;  // entries looked at to call a sector a FAT32 table start
constexpr uint32_t kMaxExfatRun = 4096;   // sectors of an exFAT root followed at the block's end
constexpr uint32_t kIndexBlockBytes = 4096;

uint32_t Fold(const uint8_t* p) { return LoadLE32(ByteSpan(p, 4), 0); }

// Windows file time (100 ns since 1601) to Unix seconds; 0 for times before 1970.
uint32_t UnixSeconds(uint64_t fileTime) {
    constexpr uint64_t kEpoch = 116444736000000000ull;
    if (fileTime <= kEpoch) return 0;
    uint64_t seconds = (fileTime - kEpoch) / 10000000;
    return seconds > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

// The two entries that open a FAT32 table: media and end of chain.
bool OpensFat32(const uint8_t* d) {
    return (Fold(d) & 0x0FFFFFF8) == 0x0FFFFFF8 && (Fold(d + 4) & 0x0FFFFFF8) == 0x0FFFFFF8;
}

// Entries of a FAT32 table after its first two: cluster numbers below 2^28 and never 1.
bool Fat32Entries(const uint8_t* d, size_t bytes) {
    for (size_t at = 8; at + 4 <= bytes; at += 4) {
        uint32_t e = Fold(d + at);
        if (e >= 0x10000000 || e == 1) return false;
    }
    return true;
}

// The checksum of an entry set. A deleted set's entries lost their in-use bits after it was
// computed: they count as set.
uint16_t ExfatSetChecksum(const uint8_t* set, size_t bytes, bool deleted) {
    uint16_t sum = 0;
    for (size_t i = 0; i < bytes; ++i) {
        if (i == 2 || i == 3) continue;
        const uint8_t b = deleted && i % 32 == 0 ? set[i] | 0x80 : set[i];
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

bool KnownExfatType(uint8_t t) {
    switch (t) {
        case 0x81: case 0x82: case 0x83: case 0x03: case 0x85: case 0x05: case 0xC0: case 0x40:
        case 0xC1: case 0x41: case 0xA0: case 0x20: case 0xA1: case 0x21: case 0xA2: case 0x22:
        case 0xE0: case 0x60: case 0xE1: case 0x61:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool FixupsMatch(std::span<const uint8_t> record) {
    const uint16_t offset = LoadLE16(record, 4), count = LoadLE16(record, 6);
    if (count < 2 || size_t{offset} + 2u * count > record.size() || (count - 1) * 512u > record.size())
        return false;
    const uint16_t value = LoadLE16(record, offset);
    for (uint32_t i = 1; i < count; ++i)
        if (LoadLE16(record, size_t{i} * 512 - 2) != value) return false;
    return true;
}

bool IsExfatDirectorySector(std::span<const uint8_t> s, bool rootMode) {
    if (s.size() < 512) return false;
    bool set = false, bitmap = false, upcase = false, ended = false;
    for (size_t at = 0; at < 512; at += 32) {
        const uint8_t t = s[at];
        if (ended || t == 0) {
            ended = true;
            if (t != 0) return false;
            continue;
        }
        if (!KnownExfatType(t)) return false;
        bitmap = bitmap || t == 0x81;
        upcase = upcase || t == 0x82;
        if (t != 0x85 && t != 0x05) continue;
        const size_t secondaries = s[at + 1];
        if (secondaries < 2 || secondaries > 18) return false;
        // The stream extension and a name follow at once.
        if (at + 64 < 512 && (s[at + 32] & 0x7F) != 0x40) return false;
        if (at + 96 < 512 && (s[at + 64] & 0x7F) != 0x41) return false;
        const size_t end = at + 32 * (secondaries + 1);
        if (end > 512) continue;  // the set goes on in the next sector
        if (ExfatSetChecksum(s.data() + at, end - at, t == 0x05) != LoadLE16(s, at + 2)) return false;
        set = true;
    }
    return set || (rootMode && bitmap && upcase);
}

bool SummariseFatDirectory(std::span<const uint8_t> s, FatDirectorySummary& out) {
    if (s.size() < 512) return false;
    FatDirectorySummary sum;
    sum.sectorClass = 3;
    std::array<uint32_t, 256> seen{};
    for (size_t at = 0; at < 512; at += 32) {
        const uint8_t first = s[at], attributes = s[at + 11];
        if (first == 0) break;
        if (attributes == 0x0F) {
            ++sum.longNameSlots;
            continue;
        }
        if ((attributes & 0x08) && !(attributes & 0x10)) {
            if (at == 0) sum.sectorClass = 1;
            continue;
        }
        const uint32_t cluster = uint32_t{LoadLE16(s, at + 20)} << 16 | LoadLE16(s, at + 26);
        const bool dot = std::memcmp(s.data() + at, ".          ", 11) == 0;
        const bool dotDot = std::memcmp(s.data() + at, "..         ", 11) == 0;
        if (at == 0 && dot) {
            sum.ownCluster = cluster;
            continue;
        }
        if (at == 32 && dotDot && sum.ownCluster != 0) {
            sum.sectorClass = 2;
            sum.parentCluster = cluster;
            continue;
        }
        ++sum.entries;
        if (attributes & 0x10) ++sum.directories;
        if (cluster < 2) continue;
        // Two entries of one sector never share a first cluster.
        uint32_t& slot = seen[cluster & 0xFF];
        if (slot == cluster) return false;
        slot = cluster;
        if (sum.lowCluster == 0 || cluster < sum.lowCluster) sum.lowCluster = cluster;
        sum.highCluster = std::max(sum.highCluster, cluster);
    }
    out = sum;
    return true;
}

void SummariseExfatDirectory(std::span<const uint8_t> s, ExfatDirectorySummary& out) {
    out = ExfatDirectorySummary();
    if (s.size() < 512) return;
    std::memcpy(out.bytes.data(), s.data(), 512);
    out.sectorClass = 3;
    const uint8_t t0 = s[0] & 0x7F;
    if ((t0 == 3 && s[32] == 0x81 && s[64] == 0x82) || (s[0] == 0x81 && s[32] == 0x82)) {
        out.sectorClass = 1;
        const size_t bitmap = s[0] == 0x81 ? 0 : 32;
        out.firstCluster = LoadLE32(s, bitmap + 20);
        out.secondCluster = LoadLE32(s, bitmap + 32 + 20);
    } else if ((s[0] == 0x85 || s[0] == 0x05) && (s[32] & 0x7F) == 0x40 && (s[64] & 0x7F) == 0x41) {
        out.sectorClass = 2;
        out.firstCluster = LoadLE32(s, 32 + 20);
        out.secondCluster = LoadLE32(s, 32 + 8);
    }
    for (size_t at = 0; at < 512 && s[at] != 0; at += 32) ++out.entries;
    if (out.entries == 0) out.entries = 1;
}

SectorClassifier::SectorClassifier(FoundSectorStore& store, std::function<void(uint64_t)> adopt)
    : store_(store), adopt_(std::move(adopt)) {}

void SectorClassifier::Reset(DiskReader* reader) {
    reader_ = reader;
    pending_.clear();
    fatRanges_.clear();
    lastDirectory_ = kNoSector;
    lastExfat_ = nullptr;
    directorySearch_ = true;
}

bool SectorClassifier::Claimed(uint64_t sector, const PartitionList& partitions) const {
    for (const auto& part : partitions)
        if (part && !part->IsSectorFree(sector)) return true;
    return false;
}

bool SectorClassifier::InFatRange(uint64_t sector) const {
    for (const FatRange& r : fatRanges_)
        if (sector > r.first && sector - r.first < 2 * r.length) return true;
    return false;
}

void SectorClassifier::AddSectorCopy(uint64_t sector, uint32_t kind, const uint8_t* data,
                                     std::vector<ScanItem>& items) {
    ScanItem item;
    item.origin = kOriginClassifier;
    item.startSector = sector;
    item.typeId = kind;
    if (kind != kFoundGptHeader && store_.sectors.size() < kMaxFoundDirectories) {
        std::array<uint8_t, 512> copy;
        std::memcpy(copy.data(), data, 512);
        store_.sectors.push_back(copy);
        item.creationInfo = reinterpret_cast<uint64_t>(store_.sectors.back().data());
    }
    items.push_back(item);
}

std::vector<uint64_t> SectorClassifier::ClassifyBlock(uint64_t firstSector, const uint8_t* block,
                                                      std::vector<ScanItem>& items, const ScanOutput& output) {
    namesThisBlock_ = 0;
    auto published = output.Partitions();
    for (size_t i = 0; i < kSectors; ++i) {
        const uint64_t sector = firstSector + i;
        const uint8_t* d = block + i * 512;
        const uint32_t head = Fold(d);
        if (head == 0 && sector != 0) continue;
        const PartitionList& partitions = *published;
        if (Claimed(sector, partitions) || InFatRange(sector)) continue;
        if (head == 0x454C4946 && FileRecord(sector, d, i, block, items, partitions)) continue;  // "FILE"
        if (head == 0x58444E49 && IndexBlock(sector, block, i, items)) continue;                   // "INDX"
        std::span<const uint8_t> bytes(d, 512);
        if (uint8_t cls = ClassifySector(sector, bytes); cls != kSectorNothing) {
            static const uint32_t kKinds[] = {0, kFoundMbr, kFoundEbr, kFoundNtfsBoot, kFoundFat16Boot,
                                              kFoundFat32Boot, kFoundExfatBoot, kFoundGptHeader};
            const uint32_t kind = kKinds[cls];
            AddSectorCopy(sector, kind, d, items);
            if ((kind == kFoundNtfsBoot || kind == kFoundFat16Boot || kind == kFoundFat32Boot ||
                 kind == kFoundExfatBoot) && adopt_) {
                adopt_(sector);
                published = output.Partitions();  // the volume adopted claims its own sectors
            }
            continue;
        }
        if (directorySearch_) {
            if (IsExfatDirectorySector(bytes, false)) {
                if (sector == lastDirectory_ + 1 && lastExfat_) {
                    ++lastExfat_->sectors;
                } else if (store_.exfatDirectories.size() < kMaxFoundDirectories) {
                    store_.exfatDirectories.emplace_back();
                    SummariseExfatDirectory(bytes, store_.exfatDirectories.back());
                    lastExfat_ = &store_.exfatDirectories.back();
                    ScanItem item;
                    item.origin = kOriginClassifier;
                    item.startSector = sector;
                    item.typeId = kFoundExfatDirectory;
                    item.creationInfo = reinterpret_cast<uint64_t>(lastExfat_);
                    items.push_back(item);
                }
                lastDirectory_ = sector;
                continue;
            }
            FatDirectorySummary summary;
            if (d[0] != 0 && IsFatDirectorySector(bytes) && SummariseFatDirectory(bytes, summary)) {
                if (store_.fatDirectories.size() < kMaxFoundDirectories) {
                    store_.fatDirectories.push_back(summary);
                    ScanItem item;
                    item.origin = kOriginClassifier;
                    item.startSector = sector;
                    item.typeId = kFoundFatDirectory;
                    item.creationInfo = reinterpret_cast<uint64_t>(&store_.fatDirectories.back());
                    items.push_back(item);
                }
                continue;
            }
        }
        if (OpensFat32(d) && Fat32TableStart(sector, block, i, items)) continue;
        // An exFAT root directory whose boot sector is gone.
        const bool labelFirst = (d[0] & 0x7F) == 3 && d[1] < 11 && d[32] == 0x81 && d[64] == 0x82 &&
                                std::all_of(d + 2 + 2 * d[1], d + 32, [](uint8_t b) { return b == 0; });
        if ((labelFirst || (d[0] == 0x81 && d[32] == 0x82)) && IsExfatDirectorySector(bytes, true)) {
            const bool follows = sector == lastDirectory_ + 1;
            lastDirectory_ = sector;
            if (!follows) pending_.push_back({1, sector, 1});
        }
    }
    EndOfBlock(firstSector, block, items);
    std::vector<uint64_t> wanted;
    for (const Pending& p : pending_) wanted.push_back(p.sector);
    return wanted;
}

bool SectorClassifier::FileRecord(uint64_t sector, const uint8_t* d, size_t index, const uint8_t* block,
                                  std::vector<ScanItem>& items, const PartitionList& partitions) {
    ByteSpan h(d, 512);
    const uint32_t used = LoadLE32(h, 24);
    const uint32_t firstType = LoadLE32(h, 56);
    if (LoadLE16(h, 20) != 56 || LoadLE32(h, 28) != 1024 || used > 1024 || used % 8 != 0) return false;
    if (firstType != 0x10 && firstType != 0x20 && firstType != 0x30 && firstType != 0x50 && firstType != 0x80 &&
        firstType != 0xFFFFFFFF)
        return false;
    std::array<uint8_t, 1024> record;
    std::memcpy(record.data(), d, 512);
    if (index + 1 < kSectors) {
        std::memcpy(record.data() + 512, d + 512, 512);
    } else if (!reader_ || reader_->IsClosed() || reader_->ReadSectors(record.data() + 512, sector + 1, 1) == 0) {
        return false;  // the record's second half cannot be read
    }
    if (!FixupsMatch(record)) return false;
    NtfsRecord decoded;
    // Runs stay in clusters from cluster 0 until a rebuilder knows the volume and cluster size.
    if (!DecodeFileRecord(record, 0, 1, decoded)) return false;
    // Records of a published volume's MFT (or its mirror) between other records: nothing new.
    for (const auto& part : partitions) {
        const auto* ntfs = dynamic_cast<const NtfsPartInfo*>(part.get());
        if (!ntfs) continue;
        bool inMft = false;
        for (const DataRun& run : ntfs->mftRuns)
            if (sector >= run.startSector && sector - run.startSector < run.sectorCount &&
                ((sector - run.startSector) & 1) == 0)
                inMft = true;
        if (!inMft && ntfs->mirrorSector != 0 && !ntfs->mftRuns.empty() && sector >= ntfs->mirrorSector &&
            sector - ntfs->mirrorSector < ntfs->mftRuns.front().sectorCount && ((sector - ntfs->mirrorSector) & 1) == 0)
            inMft = true;
        if (!inMft) continue;
        const bool before = index >= 2 && Fold(block + (index - 2) * 512) == 0x454C4946;
        const bool after = index + 2 < kSectors && Fold(block + (index + 2) * 512) == 0x454C4946;
        if (before || after) return true;
    }
    ScanItem item;
    item.origin = kOriginClassifier;
    item.startSector = sector;
    item.typeId = kFoundFileRecord;
    item.size = decoded.size;
    if (store_.records.size() < kMaxFoundRecords) {
        store_.records.push_back(std::move(decoded));
        item.creationInfo = reinterpret_cast<uint64_t>(&store_.records.back());
    }
    items.push_back(item);
    return true;
}

bool SectorClassifier::IndexBlock(uint64_t sector, const uint8_t* block, size_t index, std::vector<ScanItem>& items) {
    const size_t available = (kSectors - index) * 512;
    const uint8_t* d = block + index * 512;
    ByteSpan b(d, std::min<size_t>(available, kIndexBlockBytes));
    // Entries begin 24 bytes in plus the offset the node header gives.
    size_t at = 24 + size_t{LoadLE32(b, 24)};
    uint32_t parent = 0;
    bool found = false;
    for (int n = 0; n < 64 && at + 82 <= b.size(); ++n) {
        const uint16_t length = LoadLE16(b, at + 8);
        const uint16_t flags = LoadLE16(b, at + 12);
        if (length < 16 || flags > 1) break;
        if (b[at + 81] < 4 && b[at + 80] > 0) {
            parent = LoadLE32(b, at + 16);
            found = true;
            break;
        }
        at += length;
    }
    if (!found) return false;
    ScanItem item;
    item.origin = kOriginClassifier;
    item.startSector = sector;
    item.typeId = kFoundIndexBlock;
    item.creationInfo = parent;
    items.push_back(item);
    if (available >= kIndexBlockBytes) HarvestNames(d, kIndexBlockBytes, parent);
    return true;
}

void SectorClassifier::HarvestNames(const uint8_t* index, size_t bytes, uint32_t parent) {
    std::array<uint8_t, kIndexBlockBytes> copy;
    std::memcpy(copy.data(), index, bytes);
    std::span<const uint8_t> c(copy.data(), bytes);
    const uint16_t count = LoadLE16(c, 6);
    if (count < 2 || count > 9 || !FixupsMatch(c)) return;
    ApplyFixups(std::span<uint8_t>(copy.data(), bytes));
    // Live entries, then the remnants in the slack after them, at 8-byte steps.
    for (size_t at = 24 + size_t{LoadLE32(c, 24)}; at + 83 <= bytes;) {
        if (namesThisBlock_ >= kMaxNamesPerBlock || store_.names.size() >= kMaxNameRecords) return;
        const uint16_t length = LoadLE16(c, at + 8), flags = LoadLE16(c, at + 12);
        const uint8_t nameLength = c[at + 80], space = c[at + 81];
        const bool entry = length >= 83 && length <= bytes - at && flags <= 1 && space < 4 && space != 2 &&
                           nameLength > 0 && 82u + 2u * nameLength <= length &&
                           (LoadLE32(c, at + 16) == parent);
        if (!entry) {
            at += 8;
            continue;
        }
        const uint32_t attributes = LoadLE32(c, at + 72);
        if (!(attributes & 0x10000000)) {
            NameRecord rec;
            rec.nodeId = LoadLE32(c, at);
            rec.parentId = parent;
            rec.size = LoadLE64(c, at + 64);
            rec.firstTime = UnixSeconds(LoadLE64(c, at + 24));
            rec.secondTime = UnixSeconds(LoadLE64(c, at + 32));
            std::u16string units(nameLength, u'\0');
            for (size_t k = 0; k < nameLength; ++k) units[k] = static_cast<char16_t>(LoadLE16(c, at + 82 + 2 * k));
            rec.name = platform::Utf16ToWide(units.data(), units.size());
            rec.typeId = TypeFromFileName(rec.name);
            store_.names.push_back(std::move(rec));
            ++namesThisBlock_;
        }
        at += (length + 7) & ~size_t{7};
    }
}

bool SectorClassifier::Fat32TableStart(uint64_t sector, const uint8_t* block, size_t index,
                                       std::vector<ScanItem>& items) {
    const size_t left = (kSectors - index) * 512;
    const uint8_t* d = block + index * 512;
    if (!Fat32Entries(d, std::min<size_t>(kFatScanBytes, left))) return false;
    uint64_t length = 0;
    const size_t sectorsLeft = kSectors - index;
    for (size_t k = 16; sectorsLeft > 16 && k + 16 <= sectorsLeft; ++k) {
        const uint8_t* copy = d + k * 512;
        if (!OpensFat32(copy)) continue;
        if (std::memcmp(copy, d, std::min<size_t>(512 * k, kFatScanBytes)) == 0) {
            length = k;
            fatRanges_.push_back({sector, k});
            break;
        }
    }
    ScanItem item;
    item.origin = kOriginClassifier;
    item.startSector = sector;
    item.typeId = kFoundFat32Table;
    item.size = length * 512;
    items.push_back(item);
    return true;
}

void SectorClassifier::EndOfBlock(uint64_t firstSector, const uint8_t* block, std::vector<ScanItem>& items) {
    std::vector<Pending> later;
    for (const Pending& p : pending_) {
        if (p.sector < firstSector || p.sector >= firstSector + kSectors) {
            if (p.sector >= firstSector + kSectors) later.push_back(p);
            continue;
        }
        if (InFatRange(p.sector)) continue;
        const size_t index = static_cast<size_t>(p.sector - firstSector);
        if (p.kind != 1) {
            if (OpensFat32(block + index * 512)) Fat32TableStart(p.sector, block, index, items);
            continue;
        }
        // An exFAT root: the run of directory sectors from it, one item.
        uint32_t run = 1;
        while (run < kMaxExfatRun && index + run < kSectors &&
               IsExfatDirectorySector(std::span<const uint8_t>(block + (index + run) * 512, 512), false))
            ++run;
        if (store_.exfatDirectories.size() >= kMaxFoundDirectories) continue;
        store_.exfatDirectories.emplace_back();
        ExfatDirectorySummary& summary = store_.exfatDirectories.back();
        SummariseExfatDirectory(std::span<const uint8_t>(block + index * 512, 512), summary);
        summary.sectors = run;
        ScanItem item;
        item.origin = kOriginClassifier;
        item.startSector = p.sector;
        item.typeId = kFoundExfatDirectory;
        item.creationInfo = reinterpret_cast<uint64_t>(&summary);
        items.push_back(item);
    }
    pending_ = std::move(later);
}

}  // namespace ravlin
