// Raw bytes as FAT directory clusters.
#include <cstddef>
#include <cstdint>

#include "fs/fat/FatRecord.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    IsFatDirectorySector(bytes);
    std::vector<FatDirEntry> entries;
    ParseDirectory(bytes, 2, size % 2 == 0, entries);
    entries.clear();
    ParseDirectory(bytes, 2, size % 2 == 0, entries, true);  // as a live directory
    return 0;
}
