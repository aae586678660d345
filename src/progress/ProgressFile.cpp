// The progress data file and the progress index, byte by byte.
#include "progress/ProgressFile.h"

#include <algorithm>
#include <cstring>

#include "platform/Files.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

constexpr char kIndexMagic[8] = {'R', 'V', 'I', 'D', 'X', '0', '1', '\0'};
constexpr char kDataMagic[4] = {'R', 'V', 'P', 'D'};
constexpr uint64_t kBlockAlign = 16384;  // block positions are relative to the aligned region start

// Item codes: the origin and type id folded into one byte.
constexpr uint32_t kLastCarvingCode = 177;
constexpr uint32_t kVideoCodeBase = 199;   // origin 1, type ids 1 to 20
constexpr uint32_t kFoundCodeBase = 220;   // origin 2, type ids 0 to 35
constexpr uint32_t kFtypCode = 200, kMoovCode = 201, kMdatCode = 202, kFirstListCode = 203, kLastListCode = 206;
constexpr uint32_t kFragmentCode1 = 207, kFragmentCode2 = 208;
constexpr uint32_t kRecordCode = 224, kIndexBlockCode = 225, kFatDirectoryCode = 229, kExfatDirectoryCode = 231;
constexpr size_t kFixedItemBytes = 18;
constexpr size_t kInfoBytes = 280;
constexpr size_t kMovieBytes = 60;
constexpr size_t kRecordSummaryBytes = 53;
constexpr size_t kFatSummaryBytes = 28;
constexpr size_t kExfatSummaryBytes = 352;
constexpr size_t kExfatFieldBytes = 24;  // the six numbers; the sector's first bytes follow
constexpr size_t kNameRecordBytes = 83;
constexpr uint8_t kRecordLayout = 1;  // version of the file-record summary's data part

bool IsSectorCopyCode(uint32_t code) {
    return code == 221 || code == 222 || code == 223 || code == 226 || code == 227 || code == 230;
}

bool CodeOf(const ScanItem& item, uint32_t& code) {
    const uint32_t type = item.typeId, origin = item.origin;
    if (origin == kOriginCarving && type <= kLastCarvingCode) code = type;
    else if (origin == kOriginVideoFragment && type >= 1 && type <= 20) code = type + kVideoCodeBase;
    else if (origin == kOriginClassifier && type <= 35) code = type + kFoundCodeBase;
    else return false;
    return true;
}

uint64_t Relative(uint64_t position, uint64_t base) { return position >= base ? position - base : 0; }

// Little-endian fields into a growing buffer.
class Bytes {
public:
    void U8(uint8_t v) { out.push_back(static_cast<char>(v)); }
    void U16(uint16_t v) { Le(v, 2); }
    void U32(uint32_t v) { Le(v, 4); }
    void U64(uint64_t v) { Le(v, 8); }
    void Raw(const void* p, size_t n) {
        if (n != 0) out.append(static_cast<const char*>(p), n);
    }
    void Zero(size_t n) { out.append(n, '\0'); }
    bool Text(const std::wstring& text) {
        std::u16string units = platform::WideToUtf16(text);
        if (units.size() * 2 > kMaxSavedTextBytes) return false;
        U32(static_cast<uint32_t>(units.size() * 2));
        for (char16_t u : units) U16(static_cast<uint16_t>(u));
        return true;
    }
    void Runs(const std::vector<DataRun>& runs) {
        U32(static_cast<uint32_t>(runs.size()));
        for (const DataRun& r : runs) {
            U64(r.startSector);
            U64(r.sectorCount);
        }
    }
    void Block(const std::vector<uint8_t>& bytes) {
        U32(static_cast<uint32_t>(bytes.size()));
        Raw(bytes.data(), bytes.size());
    }
    // One run-list entry: n, the n values, then the low bytes of the first five.
    void RunEntry(const uint32_t* values, size_t n) {
        U32(static_cast<uint32_t>(n));
        for (size_t i = 0; i < n; ++i) U32(values[i]);
        for (size_t i = 0; i < 5; ++i) U8(i < n ? static_cast<uint8_t>(values[i]) : 0);
    }

    std::string out;

private:
    void Le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    }
};

// Fields read back from a file or from a payload's bytes; every read is checked against what
// is left, and the first failure sticks.
class Reader {
public:
    explicit Reader(platform::InputFile& file) : file_(&file) {}
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    uint64_t Remaining() const { return file_ ? file_->Remaining() : bytes_.size() - at_; }
    bool Fail() { return ok_ = false; }

    bool Raw(void* p, size_t n) {
        if (!ok_) return false;
        if (n == 0) return true;
        if (file_) return ok_ = file_->Read(p, n);
        if (n > bytes_.size() - at_) return Fail();
        std::memcpy(p, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    uint64_t Le(int n) {
        uint8_t b[8] = {};
        if (!Raw(b, static_cast<size_t>(n))) return 0;
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | b[i];
        return v;
    }
    uint8_t U8() { return static_cast<uint8_t>(Le(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Le(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Le(4)); }
    uint64_t U64() { return Le(8); }
    bool Skip(uint64_t n) {
        if (!ok_) return false;
        if (n > Remaining()) return Fail();
        if (file_) return ok_ = file_->Skip(n);
        at_ += static_cast<size_t>(n);
        return true;
    }
    std::wstring Units(size_t count) {
        if (count * 2 > Remaining()) {
            Fail();
            return {};
        }
        std::u16string units(count, u'\0');
        for (char16_t& u : units) u = static_cast<char16_t>(U16());
        return ok_ ? platform::Utf16ToWide(units.data(), units.size()) : std::wstring();
    }
    // Length-prefixed text; an odd length or one above the limit fails.
    std::wstring Text() {
        uint32_t bytes = U32();
        if (!ok_ || bytes % 2 != 0 || bytes > kMaxSavedTextBytes) {
            Fail();
            return {};
        }
        return Units(bytes / 2);
    }
    // A count of records of at least `minBytes` each that the rest of the input can hold.
    bool Count(uint32_t& count, uint64_t minBytes) {
        count = U32();
        return ok_ && (uint64_t{count} * minBytes <= Remaining() || Fail());
    }
    void Runs(std::vector<DataRun>& runs) {
        uint32_t n;
        if (!Count(n, 16)) return;
        runs.resize(n);
        for (DataRun& r : runs) {
            r.startSector = U64();
            r.sectorCount = U64();
        }
    }
    void Block(std::vector<uint8_t>& bytes) {
        uint32_t n;
        if (!Count(n, 1)) return;
        bytes.resize(n);
        Raw(bytes.data(), n);
    }
    // A run list; its entries are concatenated into `values`. An entry that claims more than
    // the limit means the file is damaged.
    void RunList(std::vector<std::vector<uint32_t>>& lists) {
        uint32_t entries;
        if (!Count(entries, 9)) return;
        for (uint32_t e = 0; e < entries && ok_; ++e) {
            uint32_t n = U32();
            if (!ok_ || n > kMaxSavedRunValues || uint64_t{n} * 4 + 5 > Remaining()) {
                Fail();
                return;
            }
            std::vector<uint32_t> values(n);
            for (uint32_t& v : values) v = U32();
            Skip(5);
            lists.push_back(std::move(values));
        }
    }

private:
    platform::InputFile* file_ = nullptr;
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
    bool ok_ = true;
};

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
    platform::ReplacingFile file;
    return file.Open(path) && file.Write(bytes.data(), bytes.size()) && file.Commit();
}

void EncodeIndexEntry(Bytes& b, const ScanProgressIndexItem& e, bool& ok) {
    b.U32(e.scanKind);
    b.U64(e.startSector);
    b.U64(e.endSector);
    b.U32(e.driveNumber);
    b.U32(e.scanMode);
    ok = b.Text(e.dataFile) && ok;
}

// The file-record summary: a 53-byte head, the name, and the rest of the decoded record.
bool EncodeRecord(Bytes& b, const NtfsRecord& r) {
    Bytes data;
    data.U32(r.headerFlags);
    data.U64(r.creationTime);
    data.U64(r.modificationTime);
    data.U32(r.resident);
    data.U32(r.hasAttributeList);
    data.U64(r.attributeListSize);
    data.U8(r.hasData ? 1 : 0);
    data.Runs(r.dataRuns);
    data.Block(r.residentData);
    data.Block(r.attributeListBytes);
    data.Runs(r.attributeListRuns);
    data.Runs(r.indexRuns);
    data.U32(static_cast<uint32_t>(r.streams.size()));
    bool ok = true;
    for (const NtfsStream& s : r.streams) {
        ok = data.Text(s.name) && ok;
        data.U64(s.size);
        data.U8(s.resident ? 1 : 0);
        data.Runs(s.runs);
        data.Block(s.residentData);
    }
    ok = data.Text(r.volumeName) && ok;
    std::u16string name = platform::WideToUtf16(r.name);
    if (!ok || name.size() > 0xFFFF || data.out.size() > 0xFFFF) return false;
    b.U32(r.recordNumber);
    b.U32(r.parentRecord);
    b.U64(r.size);
    b.Zero(16);
    b.U16(static_cast<uint16_t>(name.size()));
    b.U16(static_cast<uint16_t>(data.out.size()));
    b.U32(r.recordFlags);
    b.U32(r.fileAttributes);
    b.U64(r.firstDataSector);
    b.U8(kRecordLayout);
    for (char16_t u : name) b.U16(static_cast<uint16_t>(u));
    b.Raw(data.out.data(), data.out.size());
    return true;
}

bool DecodeRecord(Reader& in, NtfsRecord& r) {
    r.recordNumber = in.U32();
    r.parentRecord = in.U32();
    r.size = in.U64();
    in.Skip(16);
    const uint16_t textUnits = in.U16(), dataBytes = in.U16();
    r.recordFlags = in.U32();
    r.fileAttributes = in.U32();
    r.firstDataSector = in.U64();
    const uint8_t layout = in.U8();
    r.name = in.Units(textUnits);
    std::vector<uint8_t> bytes(dataBytes);
    if (!in.Raw(bytes.data(), bytes.size())) return false;
    if (layout != kRecordLayout) return in.Fail();
    Reader d(bytes);
    r.headerFlags = d.U32();
    r.creationTime = d.U64();
    r.modificationTime = d.U64();
    r.resident = d.U32();
    r.hasAttributeList = d.U32();
    r.attributeListSize = d.U64();
    r.hasData = d.U8() != 0;
    d.Runs(r.dataRuns);
    d.Block(r.residentData);
    d.Block(r.attributeListBytes);
    d.Runs(r.attributeListRuns);
    d.Runs(r.indexRuns);
    uint32_t streams;
    if (d.Count(streams, 4 + 8 + 1 + 4 + 4) && streams <= kMaxStreamsPerRecord) {
        r.streams.resize(streams);
        for (NtfsStream& s : r.streams) {
            s.name = d.Text();
            s.size = d.U64();
            s.resident = d.U8() != 0;
            d.Runs(s.runs);
            d.Block(s.residentData);
        }
    } else {
        d.Fail();
    }
    r.volumeName = d.Text();
    return d.ok() || in.Fail();
}

void EncodeFat(Bytes& b, const FatDirectorySummary& s) {
    b.U32(s.sectorClass);
    b.U32(s.ownCluster);
    b.U32(s.parentCluster);
    b.U32(s.lowCluster);
    b.U32(s.highCluster);
    b.U16(s.entries);
    b.U16(s.longNameSlots);
    b.U16(s.directories);
    b.Zero(2);
}

void DecodeFat(Reader& in, FatDirectorySummary& s) {
    s.sectorClass = in.U32();
    s.ownCluster = in.U32();
    s.parentCluster = in.U32();
    s.lowCluster = in.U32();
    s.highCluster = in.U32();
    s.entries = in.U16();
    s.longNameSlots = in.U16();
    s.directories = in.U16();
    in.Skip(2);
}

// The six numbers and the sector's first bytes; the rebuilder reads the sectors again from the
// disk and falls back to these bytes only when that read fails.
void EncodeExfat(Bytes& b, const ExfatDirectorySummary& s) {
    b.U32(s.sectorClass);
    b.U32(s.entries);
    b.U32(s.clusterBytes);
    b.U32(s.firstCluster);
    b.U32(s.secondCluster);
    b.U32(s.sectors);
    b.Raw(s.bytes.data(), kExfatSummaryBytes - kExfatFieldBytes);
}

void DecodeExfat(Reader& in, ExfatDirectorySummary& s) {
    s.sectorClass = in.U32();
    s.entries = in.U32();
    s.clusterBytes = in.U32();
    s.firstCluster = in.U32();
    s.secondCluster = in.U32();
    s.sectors = in.U32();
    in.Raw(s.bytes.data(), kExfatSummaryBytes - kExfatFieldBytes);
}

void EncodeInfo(Bytes& b, const _FILE_CREATE_INFO& info) {
    for (char16_t u : info.Maker) b.U16(static_cast<uint16_t>(u));
    for (char16_t u : info.Model) b.U16(static_cast<uint16_t>(u));
    for (char16_t u : info.Title) b.U16(static_cast<uint16_t>(u));
    for (char16_t u : info.Date) b.U16(static_cast<uint16_t>(u));
}

void DecodeInfo(Reader& in, _FILE_CREATE_INFO& info) {
    for (char16_t& u : info.Maker) u = static_cast<char16_t>(in.U16());
    for (char16_t& u : info.Model) u = static_cast<char16_t>(in.U16());
    for (char16_t& u : info.Title) u = static_cast<char16_t>(in.U16());
    for (char16_t& u : info.Date) u = static_cast<char16_t>(in.U16());
}

// One item: its fixed part and its payload. False, writing nothing, for an item the file
// cannot carry: a type id outside its origin's codes, or a payload the code needs but the item
// lost (stray data past the classifier's limits); such an item carries nothing a rebuild uses.
bool EncodeItem(Bytes& b, const ScanItem& item, uint64_t base, const CreateInfoFinder& findInfo) {
    uint32_t code;
    if (!CodeOf(item, code)) return false;
    const uint64_t word = item.creationInfo;
    const uint8_t status = item.status;
    Bytes p;
    // Codes 201 and 202 carry their payload exactly when the status is 4.
    if ((code == kMoovCode || code == kMdatCode) && status == kParseComplete && word == 0) return false;
    if (code <= kLastCarvingCode) {
        const _FILE_CREATE_INFO* info = findInfo ? findInfo(word) : nullptr;
        p.U8(info ? 1 : 0);
        if (info) EncodeInfo(p, *info);
    } else if (code == kFtypCode) {
        p.U64(item.size);
    } else if (code == kMoovCode) {
        if (status == kParseComplete) {
            const auto& movie = *reinterpret_cast<const MovieBoxRecord*>(word);
            p.U64(Relative(movie.position, base * 512));
            p.U32(movie.size);
            p.U32(movie.time);
            p.Zero(kMovieBytes - 16);
            p.U32(static_cast<uint32_t>(movie.chunkTables.size()));
            for (const auto& table : movie.chunkTables) {
                if (table.size() > kMaxSavedRunValues) return false;
                p.RunEntry(table.data(), table.size());
            }
        }
    } else if (code == kMdatCode) {
        if (status == kParseComplete) {
            const auto& mdat = *reinterpret_cast<const MdatRecord*>(word);
            p.U64(Relative(mdat.position, base * 512));
            p.U64(mdat.size);
        }
    } else if (code >= kFirstListCode && code <= kLastListCode) {
        if (status == kParseComplete) {
            const auto* list = reinterpret_cast<const std::vector<uint32_t>*>(word);
            if (list && list->size() > 1) {
                p.U32(1);
                p.RunEntry(list->data() + 1, list->size() - 1);
            } else {
                p.U32(0);
            }
        }
    } else if (code == kFragmentCode1 || code == kFragmentCode2) {
        if (word == 0) return false;
        FragmentRecord record;
        std::memcpy(&record, reinterpret_cast<const void*>(word), sizeof record);
        p.U32(record.kind);
        p.U64(Relative(record.firstSector, base));
        p.U32(record.headOffset);
        p.Raw(record.reserved1, sizeof record.reserved1);
        for (uint32_t c : record.firstCounters) p.U32(c);
        p.U64(Relative(record.endSector, base));
        p.U32(record.reserved2);
        for (uint32_t c : record.lastCounters) p.U32(c);
    } else if (IsSectorCopyCode(code)) {
        if (word == 0) return false;
        p.Raw(reinterpret_cast<const void*>(word), 512);
    } else if (code == kRecordCode) {
        if (word == 0 || !EncodeRecord(p, *reinterpret_cast<const NtfsRecord*>(word))) return false;
    } else if (code == kIndexBlockCode) {
        p.U32(static_cast<uint32_t>(word));
    } else if (code == kFatDirectoryCode) {
        if (word == 0) return false;
        EncodeFat(p, *reinterpret_cast<const FatDirectorySummary*>(word));
    } else if (code == kExfatDirectoryCode) {
        if (word == 0) return false;
        EncodeExfat(p, *reinterpret_cast<const ExfatDirectorySummary*>(word));
    }
    b.U8(static_cast<uint8_t>(code));
    b.U8(status);
    b.U64(Relative(item.startSector, base));
    b.U64(item.size);
    b.Raw(p.out.data(), p.out.size());
    return true;
}

bool DecodeItem(Reader& in, ScanItem& item, uint64_t base, SavedPayloads& saved) {
    const uint32_t code = in.U8();
    item = ScanItem();
    item.status = in.U8();
    item.startSector = in.U64() + base;
    item.size = in.U64();
    if (!in.ok()) return false;
    if (code <= kLastCarvingCode) {
        item.origin = kOriginCarving;
        item.typeId = code;
    } else if (code >= kFtypCode && code <= kFtypCode + 19) {
        item.origin = kOriginVideoFragment;
        item.typeId = code - kVideoCodeBase;
    } else {
        item.origin = kOriginClassifier;
        item.typeId = static_cast<uint8_t>(code - kFoundCodeBase);
    }
    const bool complete = item.status == kParseComplete;
    if (code <= kLastCarvingCode) {
        if (in.U8() == 1) {
            auto info = std::make_shared<_FILE_CREATE_INFO>();
            DecodeInfo(in, *info);
            if (in.ok()) item.creationInfo = saved.infos.Keep(info);
        }
    } else if (code == kFtypCode) {
        item.size = in.U64();
    } else if (code == kMoovCode && complete) {
        MovieBoxRecord movie;
        movie.position = in.U64() + base * 512;
        movie.size = in.U32();
        movie.time = in.U32();
        in.Skip(kMovieBytes - 16);
        in.RunList(movie.chunkTables);
        if (!in.ok()) return false;
        saved.movies.push_back(std::move(movie));
        item.creationInfo = reinterpret_cast<uint64_t>(&saved.movies.back());
    } else if (code == kMdatCode && complete) {
        MdatRecord mdat;
        mdat.position = in.U64() + base * 512;
        mdat.size = in.U64();
        if (!in.ok()) return false;
        saved.mdats.push_back(mdat);
        item.creationInfo = reinterpret_cast<uint64_t>(&saved.mdats.back());
    } else if (code >= kFirstListCode && code <= kLastListCode && complete) {
        std::vector<std::vector<uint32_t>> lists;
        in.RunList(lists);
        if (!in.ok()) return false;
        std::vector<uint32_t> packed{0};
        for (const auto& list : lists) packed.insert(packed.end(), list.begin(), list.end());
        if (packed.size() > 1) {
            packed[0] = static_cast<uint32_t>(packed.size() - 1);
            saved.offsets.push_back(std::move(packed));
            item.creationInfo = reinterpret_cast<uint64_t>(&saved.offsets.back());
        }
    } else if (code == kFragmentCode1 || code == kFragmentCode2) {
        FragmentRecord record;
        record.kind = in.U32();
        record.firstSector = in.U64() + base;
        record.headOffset = in.U32();
        in.Raw(record.reserved1, sizeof record.reserved1);
        for (uint32_t& c : record.firstCounters) c = in.U32();
        record.endSector = in.U64() + base;
        record.reserved2 = in.U32();
        for (uint32_t& c : record.lastCounters) c = in.U32();
        if (!in.ok()) return false;
        saved.fragments.push_back(record);
        item.creationInfo = reinterpret_cast<uint64_t>(&saved.fragments.back());
    } else if (IsSectorCopyCode(code)) {
        std::array<uint8_t, 512> sector;
        if (!in.Raw(sector.data(), sector.size())) return false;
        saved.sectors.push_back(sector);
        item.creationInfo = reinterpret_cast<uint64_t>(saved.sectors.back().data());
    } else if (code == kRecordCode) {
        NtfsRecord record;
        if (!DecodeRecord(in, record)) return false;
        saved.records.push_back(std::move(record));
        item.creationInfo = reinterpret_cast<uint64_t>(&saved.records.back());
    } else if (code == kIndexBlockCode) {
        item.creationInfo = in.U32();
    } else if (code == kFatDirectoryCode) {
        FatDirectorySummary summary;
        DecodeFat(in, summary);
        if (!in.ok()) return false;
        saved.fatDirectories.push_back(summary);
        item.creationInfo = reinterpret_cast<uint64_t>(&saved.fatDirectories.back());
    } else if (code == kExfatDirectoryCode) {
        ExfatDirectorySummary summary;
        DecodeExfat(in, summary);
        if (!in.ok()) return false;
        saved.exfatDirectories.push_back(summary);
        item.creationInfo = reinterpret_cast<uint64_t>(&saved.exfatDirectories.back());
    }
    return in.ok();
}

void EncodeName(Bytes& b, const NameRecord& r, bool& ok) {
    b.U32(r.nodeId);
    b.U32(r.parentId);
    b.Zero(24);
    b.U64(r.startSector);
    b.U64(r.size);
    b.U32(r.firstTime);
    b.U32(r.secondTime);
    b.Zero(24);
    b.U8(static_cast<uint8_t>(r.typeId));
    b.U8(8);
    b.U8(0);
    ok = b.Text(r.name) && ok;
}

void DecodeName(Reader& in, NameRecord& r) {
    r.nodeId = in.U32();
    r.parentId = in.U32();
    in.Skip(24);
    r.startSector = in.U64();
    r.size = in.U64();
    r.firstTime = in.U32();
    r.secondTime = in.U32();
    in.Skip(24);
    r.typeId = in.U8();
    in.Skip(2);
    // Names of 260 units or more are skipped over; the record keeps an empty name.
    const uint32_t bytes = in.U32();
    if (!in.ok() || bytes % 2 != 0 || bytes > kMaxSavedTextBytes) {
        in.Fail();
        return;
    }
    if (bytes >= 520) in.Skip(bytes);
    else r.name = in.Units(bytes / 2);
}

// Items whose encoding failed are left out; the count written is the count kept.
void EncodeItems(Bytes& b, const std::vector<ScanItem>& items, uint64_t base, const CreateInfoFinder& findInfo) {
    Bytes list;
    uint32_t kept = 0;
    for (const ScanItem& item : items)
        if (EncodeItem(list, item, base, findInfo)) ++kept;
    b.U32(kept);
    b.Raw(list.out.data(), list.out.size());
}

bool DecodeItems(Reader& in, std::vector<ScanItem>& items, uint64_t base, SavedPayloads& saved) {
    uint32_t count;
    if (!in.Count(count, kFixedItemBytes)) return false;
    items.reserve(items.size() + count);
    for (uint32_t i = 0; i < count; ++i) {
        ScanItem item;
        if (!DecodeItem(in, item, base, saved)) return false;
        items.push_back(item);
    }
    return true;
}

}  // namespace

uint32_t DriveNumberOf(const std::wstring& devicePath) {
    static const std::wstring prefix = L"\\\\.\\physicaldrive";
    if (devicePath.size() <= prefix.size()) return 0xFFFFFFFF;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (platform::AsciiLower(devicePath[i]) != prefix[i]) return 0xFFFFFFFF;
    uint64_t n = 0;
    for (size_t i = prefix.size(); i < devicePath.size(); ++i) {
        const wchar_t c = devicePath[i];
        if (c < L'0' || c > L'9') return 0xFFFFFFFF;
        n = n * 10 + static_cast<uint64_t>(c - L'0');
        if (n >= 0xFFFFFFFF) return 0xFFFFFFFF;
    }
    return static_cast<uint32_t>(n);
}

void SplitProgressPath(const std::wstring& path, std::wstring& folder, std::wstring& name) {
    const size_t at = path.find_last_of(L"/\\");
    if (at == std::wstring::npos) {
        folder = L"./";
        name = path;
    } else {
        folder = path.substr(0, at + 1);
        name = path.substr(at + 1);
    }
}

std::wstring JoinedFolder(const std::wstring& folder) {
    if (folder.empty() || folder.back() == L'/' || folder.back() == L'\\') return folder;
    return folder + L'/';
}

bool WriteIndex(const std::wstring& path, const std::vector<ScanProgressIndexItem>& entries) {
    Bytes b;
    b.Raw(kIndexMagic, sizeof kIndexMagic);
    b.U32(static_cast<uint32_t>(entries.size()));
    bool ok = entries.size() <= kMaxIndexEntries;
    for (const auto& e : entries) EncodeIndexEntry(b, e, ok);
    return ok && WriteWhole(path, b.out);
}

bool ReadIndex(const std::wstring& folder, const std::wstring& indexFile, std::vector<ScanProgressIndexItem>& entries) {
    entries.clear();
    if (indexFile.empty()) return false;
    const std::wstring dir = JoinedFolder(folder);
    if (!dir.empty()) platform::CreateDirectory(dir);
    platform::InputFile file;
    if (!file.Open(dir + indexFile)) {
        // Only a missing index is made anew: one that exists but cannot be read stays.
        return file.Missing() && WriteIndex(dir + indexFile, {});
    }
    Reader in(file);
    char magic[8];
    if (!in.Raw(magic, sizeof magic) || std::memcmp(magic, kIndexMagic, sizeof magic) != 0) return false;
    uint32_t count = in.U32();
    if (!in.ok() || count > kMaxIndexEntries) return false;
    for (uint32_t i = 0; i < count; ++i) {
        ScanProgressIndexItem e;
        e.scanKind = in.U32();
        e.startSector = in.U64();
        e.endSector = in.U64();
        e.driveNumber = in.U32();
        e.scanMode = in.U32();
        e.dataFile = in.Text();
        if (!in.ok()) return false;
        entries.push_back(std::move(e));
    }
    return true;
}

bool UpdateIndex(const std::wstring& folder, const std::wstring& indexFile, const ScanProgressIndexItem& entry) {
    std::vector<ScanProgressIndexItem> entries;
    if (!ReadIndex(folder, indexFile, entries)) return false;
    auto same = std::find_if(entries.begin(), entries.end(),
                             [&](const ScanProgressIndexItem& e) { return e.dataFile == entry.dataFile; });
    if (same != entries.end()) *same = entry;
    else entries.push_back(entry);
    return WriteIndex(JoinedFolder(folder) + indexFile, entries);
}

bool WriteData(const std::wstring& folder, const std::wstring& dataFile, const ScanProgressSnapshot& s, uint64_t base,
               const CreateInfoFinder& findInfo) {
    const std::wstring dir = JoinedFolder(folder);
    if (!dir.empty()) platform::CreateDirectory(dir);
    platform::ReplacingFile file;
    if (!file.Open(dir + dataFile)) return false;
    Bytes b;
    b.Raw(kDataMagic, sizeof kDataMagic);
    if (!b.Text(s.sourceName)) return false;
    b.U32(static_cast<uint32_t>(s.states.size()));
    for (uint32_t state : s.states) b.U8(static_cast<uint8_t>(state));
    b.U64(Relative(s.cursor, s.firstBlock));
    b.U64(0);
    b.U64(Relative(s.lastBlock, s.firstBlock));
    EncodeItems(b, s.items, base, findInfo);
    if (!file.Write(b.out.data(), b.out.size())) return false;
    b.out.clear();
    b.U32(static_cast<uint32_t>(s.nameRecords.size()));
    bool ok = true;
    for (const NameRecord& r : s.nameRecords) {
        EncodeName(b, r, ok);
        if (b.out.size() >= (1u << 20)) {
            if (!file.Write(b.out.data(), b.out.size())) return false;
            b.out.clear();
        }
    }
    EncodeItems(b, s.videoItems, base, findInfo);
    return ok && file.Write(b.out.data(), b.out.size()) && file.Commit();
}

bool ReadData(const std::wstring& folder, const std::wstring& dataFile, ScanProgressSnapshot& s, uint64_t base,
              SavedPayloads& saved) {
    platform::InputFile file;
    if (!file.Open(JoinedFolder(folder) + dataFile)) return false;
    Reader in(file);
    char magic[4];
    if (!in.Raw(magic, sizeof magic) || std::memcmp(magic, kDataMagic, sizeof magic) != 0) return false;
    s = ScanProgressSnapshot();
    s.sourceName = in.Text();
    uint32_t blocks;
    if (!in.Count(blocks, 1)) return false;
    std::vector<uint8_t> states(blocks);
    if (!in.Raw(states.data(), states.size())) return false;
    s.states.assign(states.begin(), states.end());
    const uint64_t aligned = base - base % kBlockAlign;
    s.cursor = in.U64() + aligned;
    s.firstBlock = in.U64() + aligned;
    s.lastBlock = in.U64() + aligned;
    if (!DecodeItems(in, s.items, base, saved)) return false;
    uint32_t names;
    if (!in.Count(names, kNameRecordBytes + 4)) return false;
    s.nameRecords.reserve(names);
    for (uint32_t i = 0; i < names && in.ok(); ++i) {
        NameRecord r;
        DecodeName(in, r);
        s.nameRecords.push_back(std::move(r));
    }
    return in.ok() && DecodeItems(in, s.videoItems, base, saved);
}

}  // namespace ravlin
