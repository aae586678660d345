// FAT directory slots: long names, short names, deleted entries.
#include <cstring>
#include <ctime>

#include "common/Bytes.h"
#include "fs/fat/FatRecord.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

constexpr uint8_t kDeletedMark = 0xE5;
constexpr uint8_t kAttrLongName = 0x0F;
constexpr uint8_t kAttrVolumeLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrDevice = 0x40;
constexpr uint32_t kMaxLongNameSlots = 20;

bool Forbidden(uint8_t c) { return std::strchr("\"*/:<>?\\|", c) != nullptr && c != 0; }

bool ValidDate(uint16_t date, uint32_t maxDay) {
    if (date == 0) return true;
    uint32_t month = (date >> 5) & 15, day = date & 31;
    return month >= 1 && month <= 12 && day >= 1 && day <= maxDay;
}

bool ValidTime(uint16_t time) {
    return (time >> 11) < 24 && ((time >> 5) & 63) < 60 && (time & 31) < 30;
}

// Name bytes (the first ignored when it is the deleted mark; a byte of 0x80 or above is the
// lead byte of a double-byte character and skips the next).
template <class Bad>
bool NameBytesClean(ByteSpan slot, size_t from, size_t to, bool skipDeletedMark, Bad bad) {
    for (size_t i = from; i < to; ++i) {
        uint8_t c = slot[i];
        if (i == 0 && skipDeletedMark && c == kDeletedMark) continue;
        if (bad(c)) return false;
        if (c >= 0x80) ++i;
    }
    return true;
}

bool ValidLabelSlot(ByteSpan s) {
    if (s[0] == ' ' || (s[11] & 0x02) != 0) return false;
    for (size_t i = 0; i < 11; ++i)
        if (s[i] == 0 || (s[i] < 0x80 && (s[i] < 26 || Forbidden(s[i])))) return false;
    return true;
}

bool LabelHoldsData(ByteSpan s, bool isFat32) {
    uint32_t cluster = LoadLE16(s, 26);
    if (isFat32) cluster |= uint32_t{LoadLE16(s, 20)} << 16;
    return cluster >= 2 && LoadLE32(s, 28) != 0;
}

bool ValidShortSlot(ByteSpan s) {
    if (s[11] == kAttrLongName || (s[11] & kAttrDevice) != 0 || s[0] == ' ') return false;
    bool live = s[0] != kDeletedMark;
    if (live) {
        uint32_t size = LoadLE32(s, 28);
        uint32_t cluster = LoadLE16(s, 26) | (uint32_t{LoadLE16(s, 20)} << 16);
        if ((s[11] & kAttrDirectory) && size != 0) return false;
        if (!(s[11] & kAttrDirectory) && size != 0 && cluster == 0) return false;
    }
    auto bad = [](uint8_t c) { return c == 0xFF || c < 26 || Forbidden(c); };
    if (!NameBytesClean(s, 0, 8, true, bad) || !NameBytesClean(s, 8, 11, false, bad)) return false;
    return ValidDate(LoadLE16(s, 16), 31) && ValidDate(LoadLE16(s, 18), 31) &&
           ValidDate(LoadLE16(s, 24), 31) && ValidTime(LoadLE16(s, 14)) && ValidTime(LoadLE16(s, 22));
}

// The 13 UTF-16 units of one long-name slot, appended up to the first 0.
bool AppendSlotName(ByteSpan slot, std::u16string& name) {
    static const size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t o : kOffsets) {
        char16_t unit = LoadLE16(slot, o);
        if (unit == 0) return false;
        name.push_back(unit);
    }
    return true;
}

std::wstring FromUtf16(const std::u16string& units) {
    return platform::Utf16ToWide(units.data(), units.size());
}

uint8_t ShortNameChecksum(ByteSpan s) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + s[i]);
    return sum;
}

std::wstring ShortName(ByteSpan s) {
    auto part = [&](size_t from, size_t count, bool lower) {
        std::wstring text;
        for (size_t i = from; i < from + count && s[i] != ' '; ++i) {
            wchar_t c = static_cast<wchar_t>(s[i]);
            if (lower && c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
            text.push_back(c);
        }
        return text;
    };
    std::wstring name = part(0, 8, (s[12] & 0x08) != 0);
    if (s[8] != ' ') name += L"." + part(8, 3, (s[12] & 0x10) != 0);
    return name;
}

bool HasExtension(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    return dot != std::wstring::npos && dot + 1 < name.size();
}

bool ValidTimes(ByteSpan s) {
    return ValidDate(LoadLE16(s, 16), 31) && ValidDate(LoadLE16(s, 18), 31) &&
           ValidDate(LoadLE16(s, 24), 31) && ValidTime(LoadLE16(s, 14)) && ValidTime(LoadLE16(s, 22));
}

// Whether a short slot is taken as an entry. A live slot of a live directory is the volume's
// own: a damaged time stamp or a directory that states a size does not cost the file (nor a
// directory's whole subtree). Anything else may be stale bytes and must look like an entry.
bool PassesEntryCheck(ByteSpan s, bool deleted, bool isFat32, bool trusted) {
    bool lenient = trusted && !deleted;
    if (!lenient && !ValidTimes(s)) return false;
    if (s[0] == ' ') return false;
    auto bad = [](uint8_t c) { return c == 0xFF || c < 0x20 || Forbidden(c); };
    if (!NameBytesClean(s, 0, 8, true, bad)) return false;
    if (deleted) return true;
    uint32_t size = LoadLE32(s, 28);
    uint32_t cluster = LoadLE16(s, 26);
    if (isFat32) cluster |= uint32_t{LoadLE16(s, 20)} << 16;
    if (s[11] & kAttrDirectory) return size == 0 || lenient;
    return size == 0 || cluster != 0;
}

}  // namespace

std::wstring FatVolumeLabel(std::span<const uint8_t> root, std::span<const uint8_t> boot, bool isFat32) {
    // Label bytes are in the volume's OEM code page: ASCII is kept, other bytes as Latin-1.
    auto text = [](ByteSpan bytes) {
        std::wstring out;
        for (uint8_t b : bytes) out.push_back(static_cast<wchar_t>(b));
        while (!out.empty() && (out.back() == L' ' || out.back() == L'\0')) out.pop_back();
        return out;
    };
    for (size_t at = 0; at + 32 <= root.size(); at += 32) {
        ByteSpan s = root.subspan(at, 32);
        if (s[0] == 0) break;
        if (s[0] == kDeletedMark || (s[11] != kAttrVolumeLabel && s[11] != 0x28)) continue;
        if (!LabelHoldsData(s, isFat32) && ValidLabelSlot(s)) return text(s.first(11));
    }
    const size_t field = isFat32 ? 71 : 43;
    if (boot.size() < field + 11 || boot[isFat32 ? 66 : 38] != 0x29) return {};
    std::wstring label = text(boot.subspan(field, 11));
    if (label == L"NO NAME") return {};
    for (wchar_t c : label)
        if (c < 0x20) return {};
    return label;
}

bool IsFatDirectorySector(std::span<const uint8_t> bytes) {
    size_t slots = bytes.size() / 32;
    for (size_t i = 0; i < slots; ++i) {
        ByteSpan s = bytes.subspan(i * 32, 32);
        if (s[0] == 0) {
            for (size_t j = i * 32; j < bytes.size(); ++j)
                if (bytes[j] != 0) return false;
            return true;
        }
        uint8_t attr = s[11];
        if (attr == kAttrVolumeLabel || attr == 0x28) {
            if (!ValidLabelSlot(s)) return false;
            continue;
        }
        if (attr == kAttrLongName) {
            uint8_t checksum = s[13];
            bool deleted = s[0] == kDeletedMark;
            uint32_t previous = 0;
            size_t j = i;
            // The run: slots with the same checksum; live ones count down to 1. The first slot
            // of a set carries 0x40 with its count (up to 20 slots: 255 characters).
            for (; j < slots; ++j) {
                ByteSpan l = bytes.subspan(j * 32, 32);
                if (l[11] != kAttrLongName || l[13] != checksum) break;
                if (deleted) {
                    if (l[0] != kDeletedMark) return false;
                    continue;
                }
                uint8_t order = l[0];
                uint32_t number = order & 0x3F;
                bool last = (order & 0x40) != 0;
                if ((order & 0x80) != 0 || number < 1 || number > kMaxLongNameSlots) return false;
                if (j > i && (last || number + 1 != previous)) return false;
                previous = number;
                if (number < 2) {
                    ++j;
                    break;
                }
            }
            // A set cut by the end of the bytes goes on in the next sector: nothing to judge.
            if (j >= slots) return true;
            ByteSpan shortSlot = bytes.subspan(j * 32, 32);
            if (shortSlot[0] == 0 || !ValidShortSlot(shortSlot)) return false;
            i = j;
            continue;
        }
        if (!ValidShortSlot(s)) return false;
    }
    return true;
}

bool ParseDirectory(std::span<const uint8_t> bytes, uint32_t directoryCluster, bool isFat32,
                    std::vector<FatDirEntry>& out, bool liveDirectory) {
    size_t slots = bytes.size() / 32;
    for (size_t i = 0; i < slots; ++i) {
        ByteSpan s = bytes.subspan(i * 32, 32);
        if (s[0] == 0) break;
        // The volume's own label holds nothing; a label slot with a cluster and a size holds a
        // file (data hidden from systems that skip labels) and is listed under its 8.3 name.
        if ((s[11] == kAttrVolumeLabel || s[11] == 0x28) && !LabelHoldsData(s, isFat32)) continue;
        std::u16string longName;
        bool haveLong = false;
        bool longDeleted = false;
        uint8_t longChecksum = 0;
        if (s[11] == kAttrLongName) {
            if (s[0] != kDeletedMark) {
                uint32_t n = s[0] & 0x3F;
                bool ok = n >= 1 && n <= kMaxLongNameSlots && i + n < slots;
                for (uint32_t k = 1; ok && k < n; ++k) {
                    ByteSpan l = bytes.subspan((i + k) * 32, 32);
                    ok = l[11] == kAttrLongName && l[13] == s[13] && (l[0] & 0x3F) == n - k;
                }
                if (ok) {
                    ByteSpan after = bytes.subspan((i + n) * 32, 32);
                    ok = after[11] != kAttrLongName && after[0] != 0;
                }
                if (!ok) continue;  // a broken set: its short entry stands alone
                for (uint32_t k = n; k >= 1; --k)
                    if (!AppendSlotName(bytes.subspan((i + k - 1) * 32, 32), longName)) break;
                haveLong = true;
                longChecksum = s[13];
                i += n;
            } else {
                longChecksum = s[13];
                size_t count = 0;
                while (i + count < slots && count < kMaxLongNameSlots) {
                    ByteSpan l = bytes.subspan((i + count) * 32, 32);
                    if (l[0] != kDeletedMark || l[11] != kAttrLongName || l[13] != s[13]) break;
                    ++count;
                }
                if (i + count >= slots) break;
                // The order bytes are lost: the slots are taken last first.
                for (size_t k = count; k >= 1; --k)
                    if (!AppendSlotName(bytes.subspan((i + k - 1) * 32, 32), longName)) break;
                haveLong = true;
                longDeleted = true;
                i += count;
            }
            s = bytes.subspan(i * 32, 32);
            if (s[11] == kAttrLongName) {
                --i;  // not followed by a short entry: start over from this slot
                continue;
            }
        }
        std::wstring shortName = ShortName(s);
        if (haveLong && !longDeleted && ShortNameChecksum(s) != longChecksum) haveLong = false;
        // Deleted long-name slots before a live short entry belong to a file deleted before this
        // one took the slot: they name it only when their checksum says so, and never make it
        // deleted.
        if (haveLong && longDeleted && s[0] != kDeletedMark) {
            haveLong = ShortNameChecksum(s) == longChecksum;
            longDeleted = false;
        }
        std::wstring longText = haveLong ? FromUtf16(longName) : std::wstring();
        bool useShort = !haveLong || longText.empty() || (!HasExtension(longText) && HasExtension(shortName));
        FatDirEntry entry;
        entry.name = useShort ? shortName : longText;
        entry.shortNameUsed = useShort;
        entry.deleted = useShort ? s[0] == kDeletedMark : longDeleted;
        if (entry.name == L"." || entry.name == L"..") continue;
        if (!PassesEntryCheck(s, entry.deleted, isFat32, liveDirectory)) continue;
        entry.firstCluster = LoadLE16(s, 26);
        if (isFat32) entry.firstCluster = (entry.firstCluster | (uint32_t{LoadLE16(s, 20)} << 16)) & 0x0FFFFFFF;
        entry.directoryCluster = directoryCluster;
        entry.size = LoadLE32(s, 28);
        entry.attributes = s[11];
        if (entry.attributes & kAttrDirectory) entry.size = 0;  // directories state no size
        // A stamp that is no date is unknown rather than a wrong time.
        uint16_t cDate = LoadLE16(s, 16), cTime = LoadLE16(s, 14);
        uint16_t mDate = LoadLE16(s, 24), mTime = LoadLE16(s, 22);
        if (ValidDate(cDate, 31) && ValidTime(cTime)) entry.creationTime = DosTimeToUnix(cDate, cTime);
        if (ValidDate(mDate, 31) && ValidTime(mTime)) entry.modificationTime = DosTimeToUnix(mDate, mTime);
        out.push_back(std::move(entry));
    }
    return true;
}

uint64_t DosTimeToUnix(uint16_t date, uint16_t time) {
    if (date == 0) return 0;
    int year = 1980 + (date >> 9), month = (date >> 5) & 15, day = date & 31;
    int hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
    // Days from 1970-01-01 of a proleptic Gregorian date.
    auto daysFromCivil = [](int y, int m, int d) -> int64_t {
        y -= m <= 2;
        int64_t era = (y >= 0 ? y : y - 399) / 400;
        int64_t yoe = y - era * 400;
        int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + doe - 719468;
    };
    int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
}

}  // namespace ravlin
