// A generated disk of forty 8 MiB blocks for scans that are stopped, saved and resumed: the
// sample disk, a FAT16 volume and an NTFS volume no table lists (its boot sectors wiped), and
// the carving samples spread over the last blocks, one across a block boundary.
#pragma once

#include <cstdint>
#include <filesystem>

namespace ravlin::test {

inline constexpr uint64_t kResumeDiskBlocks = 40;

// Built once into the build tree and shared by every test process.
std::filesystem::path ResumeDiskImage();

}  // namespace ravlin::test
