// Partition layouts from MBR, extended boot records and GPT.
#include "platform/DriveLayout.h"

#include <set>

#include "common/Bytes.h"
#include "platform/Errors.h"

namespace ravlin::platform {
namespace {

constexpr uint32_t kTimeoutMs = 4000;
constexpr uint32_t kGraceMs = 3000;
constexpr int kMaxExtendedRecords = 256;  // bound on the extended chain
constexpr uint32_t kMaxGptEntries = 1024;

bool ReadSector(DeviceHandle& device, uint64_t sector, uint8_t* out) {
    return device.ReadTimed(out, sector * 512, 512, kTimeoutMs, kGraceMs) == kErrorSuccess;
}

bool HasBootSignature(ByteSpan s) { return s[510] == 0x55 && s[511] == 0xAA; }

// A volume's own boot sector also ends in 55 AA; its code area is no partition table.
bool IsFileSystemBootSector(ByteSpan s) {
    return BytesEqual(s, 3, "NTFS    ", 8) || BytesEqual(s, 3, "EXFAT   ", 8) ||
           BytesEqual(s, 82, "FAT32   ", 8) || BytesEqual(s, 54, "FAT16   ", 8) ||
           BytesEqual(s, 54, "FAT12   ", 8);
}

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

struct MbrEntry {
    uint8_t boot, type;
    uint32_t first, count;
};

MbrEntry EntryAt(ByteSpan s, int index) {
    size_t o = 446 + 16 * static_cast<size_t>(index);
    return {s[o], s[o + 4], LoadLE32(s, o + 8), LoadLE32(s, o + 12)};
}

bool LooksLikePartitionTable(ByteSpan s) {
    bool any = false;
    for (int i = 0; i < 4; ++i) {
        MbrEntry e = EntryAt(s, i);
        if (e.type == 0) continue;
        if ((e.boot & 0x7F) != 0 || e.first == 0 || e.count == 0) return false;
        any = true;
    }
    return any;
}

std::optional<DriveLayout> ReadGpt(DeviceHandle& device, uint64_t sectorSize) {
    std::vector<uint8_t> header(sectorSize);
    if (device.ReadTimed(header.data(), sectorSize, static_cast<uint32_t>(sectorSize), kTimeoutMs,
                         kGraceMs) != kErrorSuccess)
        return std::nullopt;
    ByteSpan h(header);
    if (!BytesEqual(h, 0, "EFI PART", 8)) return std::nullopt;
    uint64_t entriesLba = LoadLE64(h, 72);
    uint32_t count = LoadLE32(h, 80);
    uint32_t entrySize = LoadLE32(h, 84);
    if (entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0 || count == 0) return std::nullopt;
    if (count > kMaxGptEntries) count = kMaxGptEntries;
    uint64_t bytes = uint64_t{count} * entrySize;
    uint64_t readBytes = (bytes + sectorSize - 1) / sectorSize * sectorSize;
    std::vector<uint8_t> table(readBytes);
    if (device.ReadTimed(table.data(), entriesLba * sectorSize, static_cast<uint32_t>(readBytes),
                         kTimeoutMs * 2, kGraceMs) != kErrorSuccess)
        return std::nullopt;
    DriveLayout layout;
    layout.gpt = true;
    ByteSpan t(table);
    for (uint32_t i = 0; i < count; ++i) {
        size_t o = size_t{i} * entrySize;
        if (LoadLE64(t, o) == 0 && LoadLE64(t, o + 8) == 0) continue;  // unused type GUID
        uint64_t first = LoadLE64(t, o + 32);
        uint64_t last = LoadLE64(t, o + 40);
        if (last < first) continue;
        LayoutEntry entry;
        entry.startingOffset = first * sectorSize;
        entry.length = (last - first + 1) * sectorSize;
        layout.entries.push_back(entry);
    }
    return layout;
}

}  // namespace

std::optional<DriveLayout> QueryDriveLayout(DeviceHandle& device) {
    uint8_t mbr[512];
    if (!ReadSector(device, 0, mbr)) return std::nullopt;
    ByteSpan s(mbr, 512);
    if (!HasBootSignature(s) || IsFileSystemBootSector(s) || !LooksLikePartitionTable(s))
        return std::nullopt;

    for (int i = 0; i < 4; ++i) {
        if (EntryAt(s, i).type == 0xEE) {
            if (auto gpt = ReadGpt(device, 512)) return gpt;
            if (auto gpt = ReadGpt(device, 4096)) return gpt;
            break;
        }
    }

    DriveLayout layout;
    uint64_t extendedStart = 0;
    for (int i = 0; i < 4; ++i) {
        MbrEntry e = EntryAt(s, i);
        LayoutEntry entry;
        entry.mbrType = e.type;
        if (e.type != 0 && e.count != 0) {
            entry.startingOffset = uint64_t{e.first} * 512;
            entry.length = uint64_t{e.count} * 512;
            if (IsExtendedType(e.type) && extendedStart == 0) extendedStart = e.first;
        }
        layout.entries.push_back(entry);
    }

    // Every extended boot record of the chain: logical partitions are relative to their own
    // record, links relative to the start of the extended partition.
    std::set<uint64_t> seen;
    uint64_t record = extendedStart;
    for (int n = 0; record != 0 && n < kMaxExtendedRecords; ++n) {
        if (!seen.insert(record).second) break;  // a loop in the chain
        uint8_t ebr[512];
        if (!ReadSector(device, record, ebr)) break;
        ByteSpan e(ebr, 512);
        if (!HasBootSignature(e)) break;
        uint64_t next = 0;
        for (int i = 0; i < 4; ++i) {
            MbrEntry m = EntryAt(e, i);
            LayoutEntry entry;
            entry.mbrType = m.type;
            if (m.type != 0 && m.count != 0) {
                bool link = IsExtendedType(m.type);
                uint64_t base = link ? extendedStart : record;
                entry.startingOffset = (base + m.first) * 512;
                entry.length = uint64_t{m.count} * 512;
                if (link && next == 0) next = extendedStart + m.first;
            }
            layout.entries.push_back(entry);
        }
        record = next;
    }
    return layout;
}

}  // namespace ravlin::platform
