// exFAT directory entry sets: file, stream extension and name entries.
#include "common/Bytes.h"
#include "fs/exfat/ExfatRecord.h"
#include "fs/fat/FatRecord.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

constexpr uint8_t kTypeFile = 0x05;
constexpr uint8_t kTypeStream = 0x40;
constexpr uint8_t kTypeName = 0x41;
constexpr size_t kMaxNameUnits = 260;

}  // namespace

bool ParseEntrySets(std::span<const uint8_t> bytes, std::vector<ExfatDirEntry>& out) {
    bool open = false;
    uint32_t remaining = 0;
    ExfatDirEntry set;
    std::u16string name;
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        ByteSpan e = bytes.subspan(at, 32);
        uint8_t typeByte = e[0];
        if (typeByte == 0) break;
        uint8_t type = typeByte & 0x7F;  // the in-use bit is masked: deleted sets decode alike
        if (type == kTypeFile) {
            open = true;
            set = ExfatDirEntry();
            name.clear();
            remaining = e[1];
            set.attributes = LoadLE16(e, 4);
            set.directory = (set.attributes & 0x10) != 0;
            set.deleted = typeByte == kTypeFile;
            set.creationTime = ExfatTimeToUnix(LoadLE16(e, 10), LoadLE16(e, 8));
            set.modificationTime = ExfatTimeToUnix(LoadLE16(e, 14), LoadLE16(e, 12));
            // Bit 7 of a UTC-offset byte says it holds the zone's offset, in signed
            // 15-minute steps: with both, the times become UTC.
            if ((e[22] & 0x80) != 0 && (e[23] & 0x80) != 0) {
                auto shift = [](uint64_t local, uint8_t field) -> uint64_t {
                    int64_t steps = (field & 0x40) != 0 ? int64_t{field & 0x7F} - 128 : int64_t{field & 0x7F};
                    int64_t utc = static_cast<int64_t>(local) - steps * 15 * 60;
                    return local == 0 || utc <= 0 || utc > int64_t{UINT32_MAX} ? local : static_cast<uint64_t>(utc);
                };
                set.creationTime = shift(set.creationTime, e[22]);
                set.modificationTime = shift(set.modificationTime, e[23]);
                set.localTime = false;
            }
        } else if (type == kTypeStream && open) {
            set.firstCluster = LoadLE32(e, 20);
            set.length = LoadLE64(e, 8);
            set.usesFatChain = e[1] != 3;  // 3: allocation possible and no FAT chain
            if (remaining > 0) --remaining;
        } else if (type == kTypeName && open) {
            for (size_t i = 2; i + 1 < 32; i += 2) {
                char16_t unit = LoadLE16(e, i);
                if (unit == 0) break;
                if (name.size() + 1 >= kMaxNameUnits) break;
                name.push_back(unit);
            }
            if (remaining > 0) --remaining;
            if (remaining == 0) {
                set.name = platform::Utf16ToWide(name.data(), name.size());
                out.push_back(std::move(set));
                set = ExfatDirEntry();
                open = false;
            }
        }
    }
    return true;
}

std::wstring ExfatVolumeLabel(std::span<const uint8_t> root) {
    for (size_t at = 0; at + 32 <= root.size(); at += 32) {
        uint8_t type = root[at];
        if (type == 0) break;
        if (type != 0x83) continue;
        uint8_t count = std::min<uint8_t>(root[at + 1], 11);
        std::u16string units;
        for (uint8_t i = 0; i < count; ++i)
            units.push_back(static_cast<char16_t>(root[at + 2 + 2 * i] | (root[at + 3 + 2 * i] << 8)));
        return platform::Utf16ToWide(units.data(), units.size());
    }
    return {};
}

uint64_t ExfatTimeToUnix(uint16_t date, uint16_t time) {
    if (date == 0 && time == 0) return 0;
    if (date == 0) return 0;
    return DosTimeToUnix(date, time);
}

}  // namespace ravlin
