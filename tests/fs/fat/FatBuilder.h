// Builds FAT directory slots and small FAT32 volumes byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "platform/Text.h"

namespace ravlin::test {

// DOS date and time of 2019-05-06 07:08:10.
inline constexpr uint16_t kDate = ((2019 - 1980) << 9) | (5 << 5) | 6;
inline constexpr uint16_t kTime = (7 << 11) | (8 << 5) | 5;

inline std::vector<uint8_t> ShortSlot(const std::string& name11, uint8_t attr, uint32_t cluster,
                                      uint32_t size, uint8_t caseFlags = 0, uint16_t date = kDate,
                                      uint16_t time = kTime) {
    std::vector<uint8_t> s(32, 0);
    for (size_t i = 0; i < 11; ++i) s[i] = static_cast<uint8_t>(i < name11.size() ? name11[i] : ' ');
    s[11] = attr;
    s[12] = caseFlags;
    StoreLE16(&s[14], time);
    StoreLE16(&s[16], date);
    StoreLE16(&s[18], date);
    StoreLE16(&s[20], static_cast<uint16_t>(cluster >> 16));
    StoreLE16(&s[22], time);
    StoreLE16(&s[24], date);
    StoreLE16(&s[26], static_cast<uint16_t>(cluster));
    StoreLE32(&s[28], size);
    return s;
}

inline uint8_t Checksum(const std::vector<uint8_t>& shortSlot) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + shortSlot[i]);
    return sum;
}

// The long-name slots of `name`, in disk order (last part first), for a short slot with
// `checksum`. Deleted slots carry 0xE5 in place of their order byte.
inline std::vector<uint8_t> LongSlots(const std::wstring& name, uint8_t checksum, bool deleted = false) {
    std::u16string units = platform::WideToUtf16(name);
    size_t count = (units.size() + 12) / 13;
    std::vector<uint8_t> out;
    static const size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t k = count; k >= 1; --k) {
        std::vector<uint8_t> s(32, 0);
        s[0] = deleted ? 0xE5 : static_cast<uint8_t>(k | (k == count ? 0x40 : 0));
        s[11] = 0x0F;
        s[13] = checksum;
        for (size_t i = 0; i < 13; ++i) {
            size_t at = (k - 1) * 13 + i;
            uint16_t unit = at < units.size() ? units[at] : (at == units.size() ? 0 : 0xFFFF);
            StoreLE16(&s[kOffsets[i]], unit);
        }
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

inline void Append(std::vector<uint8_t>& dir, const std::vector<uint8_t>& slots) {
    dir.insert(dir.end(), slots.begin(), slots.end());
}

// A FAT32 volume of 512-byte clusters: boot sector, one FAT, clusters from sector 64.
class Fat32Image {
public:
    static constexpr uint32_t kFatSectors = 32;  // 4096 clusters
    static constexpr uint32_t kDataStart = 32 + kFatSectors;

    Fat32Image() : bytes_((kDataStart + 4096) * 512, 0) {
        uint8_t* b = bytes_.data();
        b[0] = 0xEB;
        b[1] = 0x58;
        b[2] = 0x90;
        std::copy_n("MSWIN4.1", 8, b + 3);
        StoreLE16(b + 11, 512);
        b[13] = 1;
        StoreLE16(b + 14, 32);
        b[16] = 1;
        b[21] = 0xF8;
        StoreLE16(b + 24, 63);
        StoreLE16(b + 26, 255);
        StoreLE32(b + 32, kDataStart + 4000);
        StoreLE32(b + 36, kFatSectors);
        StoreLE32(b + 44, 2);
        std::copy_n("FAT32   ", 8, b + 82);
        b[510] = 0x55;
        b[511] = 0xAA;
        SetFat(0, 0x0FFFFFF8);
        SetFat(1, 0x0FFFFFFF);
        SetFat(2, 0x0FFFFFFF);  // the root directory
    }
    void SetFat(uint32_t cluster, uint32_t value) { StoreLE32(&bytes_[32 * 512 + 4 * cluster], value); }
    // Links clusters into one chain ending at the last.
    void Chain(const std::vector<uint32_t>& clusters) {
        for (size_t i = 0; i < clusters.size(); ++i)
            SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0x0FFFFFFF);
    }
    void PutCluster(uint32_t cluster, const std::vector<uint8_t>& data) {
        std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<long>((kDataStart + cluster - 2) * 512));
    }
    void FillCluster(uint32_t cluster, uint8_t value) { PutCluster(cluster, std::vector<uint8_t>(512, value)); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace ravlin::test
