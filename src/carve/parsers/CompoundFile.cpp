// Compound documents: header, allocation tables, directory, streams and property sets.
#include "carve/parsers/CompoundFile.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include "carve/ParseFile.h"
#include "common/Bytes.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

constexpr uint8_t kMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kMaxSector = 0xFFFFFFFA;
constexpr uint64_t kMaxChain = 4096000;
constexpr uint32_t kHeaderEntries = 109;
constexpr size_t kEntryBytes = 128;
constexpr size_t kMaxStream = 64u << 20;  // streams read for texts
constexpr size_t kTitleChars = 64;

struct Entry {
    std::u16string name;
    uint8_t kind = 0;  // 1 storage, 2 stream, 5 root
    uint32_t start = 0;
    uint64_t size = 0;
};

class Compound {
public:
    Compound(const uint8_t* data, size_t length) : all_(data, length) {}

    // Reads header and allocation table; kParseComplete when both are whole.
    uint32_t Load() {
        if (all_.size() < 512 || std::memcmp(all_.data(), kMagic, 8) != 0) return kParseInvalid;
        uint16_t shift = LoadLE16(all_, 30);
        if (shift != 9 && shift != 12) return kParseInvalid;
        sectorBytes_ = size_t{1} << shift;
        miniShift_ = LoadLE16(all_, 32);
        if (miniShift_ >= shift) return kParseInvalid;
        uint32_t fatSectors = LoadLE32(all_, 44);
        // Every table sector lies in the file: a table larger than the data offered asks for
        // more (and is refused by the caller past its largest read).
        if (uint64_t{fatSectors} * sectorBytes_ > all_.size()) return kParseNeedData;
        std::vector<uint32_t> fatList;
        for (uint32_t i = 0; i < kHeaderEntries && fatList.size() < fatSectors; ++i) {
            uint32_t s = LoadLE32(all_, 76 + 4 * i);
            if (s > kMaxSector) return kParseInvalid;
            fatList.push_back(s);
        }
        // The extension chain of the table's sector list.
        uint32_t difat = LoadLE32(all_, 68);
        const size_t perDifat = sectorBytes_ / 4 - 1;
        for (uint64_t steps = 0; fatList.size() < fatSectors; ++steps) {
            if (difat > kMaxSector || steps > fatSectors) return kParseInvalid;  // loops end here
            uint64_t at = SectorOffset(difat);
            if (at + sectorBytes_ > all_.size()) return kParseNeedData;
            for (size_t i = 0; i < perDifat && fatList.size() < fatSectors; ++i) {
                uint32_t s = LoadLE32(all_, at + 4 * i);
                if (s > kMaxSector) return kParseInvalid;
                fatList.push_back(s);
            }
            difat = LoadLE32(all_, at + 4 * perDifat);
        }
        fat_.clear();
        fat_.reserve(fatList.size() * (sectorBytes_ / 4));
        for (uint32_t s : fatList) {
            uint64_t at = SectorOffset(s);
            if (at + sectorBytes_ > all_.size()) return kParseNeedData;
            for (size_t i = 0; i < sectorBytes_ / 4; ++i) fat_.push_back(LoadLE32(all_, at + 4 * i));
        }
        return kParseComplete;
    }

    // The header and every sector up to the last one the table has in use.
    uint64_t Size() const {
        size_t last = fat_.size();
        while (last > 0 && fat_[last - 1] == kFree) --last;
        return (uint64_t{last} + 1) * sectorBytes_;
    }

    // The directory; false when its chain or its root entry is wrong.
    bool LoadDirectory() {
        std::optional<std::string> bytes = Chain(LoadLE32(all_, 48), fat_, all_.size(), false);
        if (!bytes || bytes->size() < kEntryBytes) return false;
        ByteSpan dir(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size());
        for (size_t at = 0; at + kEntryBytes <= dir.size(); at += kEntryBytes) {
            Entry e;
            uint16_t nameBytes = LoadLE16(dir, at + 64);
            e.kind = dir[at + 66];
            if (nameBytes >= 2 && nameBytes <= 64 && nameBytes % 2 == 0 && LoadLE16(dir, at + nameBytes - 2) == 0) {
                for (size_t i = 0; i + 2 < nameBytes; i += 2)
                    e.name += static_cast<char16_t>(LoadLE16(dir, at + i));
            } else {
                e.kind = 0;  // a name that is not terminated where it says: no entry
            }
            e.start = LoadLE32(dir, at + 116);
            e.size = sectorBytes_ == 512 ? LoadLE32(dir, at + 120) : LoadLE64(dir, at + 120);
            entries_.push_back(std::move(e));
        }
        return entries_[0].kind == 5 && entries_[0].name == u"Root Entry";
    }

    uint32_t TypeByStreams() const {
        static const std::pair<std::u16string_view, uint32_t> kNames[] = {
            {u"WordDocument", 36}, {u"Workbook", 87}, {u"Book", 87}, {u"Props", 91},
            {u"VisioDocument", 96}, {u"PowerPoint Document", 90}, {u"Pictures", 90}};
        for (const Entry& e : entries_) {
            if (e.kind != 1 && e.kind != 2) continue;
            for (const auto& [name, type] : kNames)
                if (e.name == name) return type;
        }
        return 0;
    }

    // The stream `name` (at most kMaxStream bytes); nothing when missing or unreadable.
    std::optional<std::string> Stream(std::u16string_view name) {
        for (const Entry& e : entries_) {
            if (e.kind != 2 || e.name != name) continue;
            uint64_t size = std::min<uint64_t>(e.size, kMaxStream);
            if (e.size < LoadLE32(all_, 56)) {  // below the cutoff: in the mini stream
                if (!LoadMini()) return std::nullopt;
                return Chain(e.start, miniFat_, size, true);
            }
            return Chain(e.start, fat_, size, false);
        }
        return std::nullopt;
    }

private:
    uint64_t SectorOffset(uint32_t s) const { return (uint64_t{s} + 1) * sectorBytes_; }

    bool LoadMini() {
        if (miniLoaded_) return miniOk_;
        miniLoaded_ = true;
        auto table = Chain(LoadLE32(all_, 60), fat_, std::min<uint64_t>(uint64_t{LoadLE32(all_, 64)} * sectorBytes_, all_.size()), false);
        if (!table) return false;
        for (size_t i = 0; i + 4 <= table->size(); i += 4) {
            uint32_t v;
            std::memcpy(&v, table->data() + i, 4);
            miniFat_.push_back(v);
        }
        auto stream = Chain(entries_[0].start, fat_, std::min<uint64_t>(entries_[0].size, kMaxStream), false);
        if (!stream) return false;
        miniStream_ = std::move(*stream);
        miniOk_ = true;
        return true;
    }

    // Up to `limit` bytes of the chain from `first` through `table`, in sectors or mini sectors.
    std::optional<std::string> Chain(uint32_t first, const std::vector<uint32_t>& table, uint64_t limit, bool mini) {
        const size_t unit = mini ? size_t{1} << miniShift_ : sectorBytes_;
        std::string out;
        uint64_t steps = 0;
        for (uint32_t s = first; s != kEndOfChain && out.size() < limit; s = table[s]) {
            if (s >= table.size() || ++steps > kMaxChain) return std::nullopt;
            const uint8_t* from;
            if (mini) {
                uint64_t at = uint64_t{s} << miniShift_;
                if (at + unit > miniStream_.size()) return std::nullopt;
                from = reinterpret_cast<const uint8_t*>(miniStream_.data()) + at;
            } else {
                uint64_t at = SectorOffset(s);
                if (at + unit > all_.size()) return std::nullopt;
                from = all_.data() + at;
            }
            out.append(reinterpret_cast<const char*>(from), unit);
        }
        if (out.size() > limit) out.resize(limit);
        return out;
    }

    ByteSpan all_;
    size_t sectorBytes_ = 512;
    uint16_t miniShift_ = 6;
    std::vector<uint32_t> fat_;
    std::vector<uint32_t> miniFat_;
    std::string miniStream_;
    bool miniLoaded_ = false;
    bool miniOk_ = false;

public:
    std::vector<Entry> entries_;
};

std::wstring Trimmed(std::wstring text) {
    size_t end = text.find_first_of(L"\r\n\a\v\f\x07");
    if (end != std::wstring::npos) text.resize(end);
    if (text.size() > kTitleChars) text.resize(kTitleChars);
    return text;
}

// A property's text: a code-page string (UTF-8, UTF-16 or Windows-1252) or a UTF-16 string.
std::wstring PropertyText(ByteSpan set, size_t at, uint32_t codePage) {
    uint32_t type = LoadLE32(set, at);
    uint32_t count = LoadLE32(set, at + 4);
    if (at + 8 > set.size()) return {};
    size_t available = set.size() - at - 8;
    const uint8_t* text = set.data() + at + 8;
    if (type == 0x1F || (type == 0x1E && codePage == 1200)) {  // UTF-16
        size_t bytes = std::min<size_t>(type == 0x1F ? size_t{count} * 2 : count, available);
        return platform::Utf16LeToWide({text, bytes}, true);
    }
    if (type != 0x1E) return {};
    size_t bytes = std::min<size_t>(count, available);
    size_t len = 0;
    while (len < bytes && text[len]) ++len;
    return platform::MultiByteToWide(codePage == 65001 ? platform::kCodePageUtf8 : platform::kCodePageSystem, {text, len});
}

std::wstring FileTimeText(uint64_t fileTime) {
    if (fileTime == 0) return {};
    int64_t seconds = static_cast<int64_t>(fileTime / 10000000) - 11644473600LL;
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (!gmtime_r(&t, &utc)) return {};
    wchar_t out[32];
    std::swprintf(out, 32, L"%d-%02d-%02d %02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    return out;
}

void ReadSummary(const std::string& stream, CompoundTexts& texts) {
    ByteSpan set(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    if (LoadLE16(set, 0) != 0xFFFE || LoadLE32(set, 24) < 1) return;
    size_t section = LoadLE32(set, 44);
    if (section >= set.size()) return;
    ByteSpan s = set.subspan(section, std::min<size_t>(LoadLE32(set, section), set.size() - section));
    uint32_t count = std::min<uint32_t>(LoadLE32(s, 4), static_cast<uint32_t>(s.size() / 8));
    uint32_t codePage = 1252;
    std::wstring title, author, lastAuthor;
    uint64_t created = 0, saved = 0;
    for (int pass = 0; pass < 2; ++pass)  // the code page first
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t id = LoadLE32(s, 8 + 8 * i);
            size_t at = LoadLE32(s, 12 + 8 * i);
            if (at + 8 > s.size()) continue;
            if (pass == 0) {
                if (id == 1) codePage = LoadLE16(s, at + 4);
                continue;
            }
            switch (id) {
                case 2: title = PropertyText(s, at, codePage); break;
                case 4: author = PropertyText(s, at, codePage); break;
                case 8: lastAuthor = PropertyText(s, at, codePage); break;
                case 12: created = LoadLE64(s, at + 4); break;
                case 13: saved = LoadLE64(s, at + 4); break;
                default: break;
            }
        }
    texts.author = author.empty() ? lastAuthor : author;
    texts.title = Trimmed(title);
    texts.date = FileTimeText(saved ? saved : created);
}

// The first paragraph of a Word document: the first piece of its piece table.
std::wstring WordText(Compound& doc) {
    auto word = doc.Stream(u"WordDocument");
    if (!word || word->size() < 0x200) return {};
    ByteSpan fib(reinterpret_cast<const uint8_t*>(word->data()), word->size());
    bool tableOne = (LoadLE16(fib, 10) & 0x0200) != 0;
    size_t at = 32;
    at += 2 + size_t{LoadLE16(fib, at)} * 2;  // csw, fibRgW
    at += 2 + size_t{LoadLE16(fib, at)} * 4;  // cslw, fibRgLw
    size_t pairs = at + 2;                    // cbRgFcLcb, then the pairs
    uint32_t fcClx = LoadLE32(fib, pairs + 33 * 8), lcbClx = LoadLE32(fib, pairs + 33 * 8 + 4);
    auto table = doc.Stream(tableOne ? u"1Table" : u"0Table");
    if (!table || lcbClx == 0 || fcClx >= table->size()) return {};
    ByteSpan clx(reinterpret_cast<const uint8_t*>(table->data()) + fcClx, std::min<size_t>(lcbClx, table->size() - fcClx));
    size_t p = 0;
    while (p < clx.size() && clx[p] == 0x01) p += 3 + LoadLE16(clx, p + 1);  // property runs
    if (p >= clx.size() || clx[p] != 0x02) return {};
    uint32_t lcb = LoadLE32(clx, p + 1);
    ByteSpan plc = clx.subspan(std::min(clx.size(), p + 5));
    if (lcb < 16 || lcb > plc.size()) return {};
    uint32_t pieces = (lcb - 4) / 12;
    uint32_t cpFirst = LoadLE32(plc, 0), cpEnd = LoadLE32(plc, 4);
    uint32_t fc = LoadLE32(plc, 4 * (pieces + 1) + 2);
    size_t chars = std::min<size_t>(cpEnd > cpFirst ? cpEnd - cpFirst : 0, kTitleChars * 4);
    std::wstring text;
    if (fc & 0x40000000) {  // eight-bit text
        size_t from = (fc & 0x3FFFFFFF) / 2;
        if (from >= word->size()) return {};
        chars = std::min(chars, word->size() - from);
        text = platform::MultiByteToWide(platform::kCodePageSystem, {reinterpret_cast<const uint8_t*>(word->data()) + from, chars});
    } else {
        if (fc >= word->size()) return {};
        size_t bytes = std::min(chars * 2, (word->size() - fc) & ~size_t{1});
        text = platform::Utf16LeToWide({reinterpret_cast<const uint8_t*>(word->data()) + fc, bytes});
    }
    return Trimmed(text);
}

// A workbook's first shared string.
std::wstring WorkbookText(Compound& doc) {
    auto book = doc.Stream(u"Workbook");
    if (!book) book = doc.Stream(u"Book");
    if (!book) return {};
    ByteSpan b(reinterpret_cast<const uint8_t*>(book->data()), book->size());
    for (size_t at = 0; at + 4 <= b.size();) {
        uint16_t type = LoadLE16(b, at), length = LoadLE16(b, at + 2);
        if (type == 0x00FC && length >= 11) {
            ByteSpan r = b.subspan(at + 4, std::min<size_t>(length, b.size() - at - 4));
            uint16_t chars = LoadLE16(r, 8);
            uint8_t flags = LoadU8(r, 10);
            size_t p = 11 + ((flags & 8) ? 2 : 0) + ((flags & 4) ? 4 : 0);
            if (p > r.size()) return {};
            size_t n = std::min<size_t>(chars, kTitleChars);
            if (flags & 1) return Trimmed(platform::Utf16LeToWide({r.data() + p, std::min(n * 2, r.size() - p)}));
            return Trimmed(platform::MultiByteToWide(platform::kCodePageSystem, {r.data() + p, std::min(n, r.size() - p)}));
        }
        at += 4 + size_t{length};
    }
    return {};
}

}  // namespace

CompoundAnalysis AnalyseCompoundFile(const uint8_t* data, size_t length) {
    CompoundAnalysis result;
    Compound doc(data, length);
    result.status = doc.Load();
    if (result.status != kParseComplete) return result;
    result.size = doc.Size();
    // The directory is read once the whole file is there.
    if (result.size > length) return result;
    if (!doc.LoadDirectory()) {
        result.status = kParseInvalid;
        return result;
    }
    result.typeId = doc.TypeByStreams();
    if (result.typeId == 0) result.status = kParseInvalid;
    return result;
}

CompoundTexts ReadCompoundTexts(const uint8_t* data, size_t length, uint32_t typeId) {
    CompoundTexts texts;
    Compound doc(data, length);
    if (doc.Load() != kParseComplete || !doc.LoadDirectory()) return texts;
    if (auto summary = doc.Stream(u"\u0005SummaryInformation")) ReadSummary(*summary, texts);
    if (texts.title.empty()) texts.title = typeId == 36 ? WordText(doc) : typeId == 87 ? WorkbookText(doc) : L"";
    return texts;
}

}  // namespace ravlin
