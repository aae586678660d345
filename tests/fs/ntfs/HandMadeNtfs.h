// A hand-made NTFS volume for tests that need records no tool writes: the boot sector, $MFT
// and its mirror, and the root, placed byte by byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "common/Bytes.h"
#include "fs/ntfs/RecordBuilder.h"

namespace ravlin::test {

inline void Put(std::vector<uint8_t>& disk, uint64_t sector, const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<long>(sector * 512));
}

// The first 2 MiB of a hand-made NTFS volume of 4 KiB clusters and 1024-byte records: the boot
// sector, $MFT at cluster 4 (its mirror at cluster 2) with `mftRuns`, and the root, record 5.
inline std::vector<uint8_t> HandMadeNtfs(uint64_t totalSectors, const std::vector<uint8_t>& mftRuns) {
    std::vector<uint8_t> disk(2 << 20, 0);
    uint8_t* boot = disk.data();
    std::copy_n("\xEB\x52\x90NTFS    ", 11, boot);
    StoreLE16(boot + 11, 512);
    boot[13] = 8;
    boot[21] = 0xF8;
    StoreLE64(boot + 40, totalSectors);
    StoreLE64(boot + 48, 4);
    StoreLE64(boot + 56, 2);
    boot[64] = 0xF6;
    boot[68] = 1;
    boot[510] = 0x55;
    boot[511] = 0xAA;
    auto mft = RecordBuilder(0).FileName(5, L"$MFT").NonResident(0x80, mftRuns, 0).Build();
    Put(disk, 4 * 8, mft);
    Put(disk, 2 * 8, mft);
    Put(disk, 4 * 8 + 10, RecordBuilder(5, 3).FileName(5, L".").Build());
    return disk;
}

inline void WriteImage(const std::filesystem::path& path, const std::vector<uint8_t>& disk) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(disk.data()), static_cast<std::streamsize>(disk.size()));
}

}  // namespace ravlin::test
