// Writes the selected files under a folder through the view's content reads, never overwriting,
// and keeps DIR/recovered.json, the list of every file written there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "BadMap.h"
#include "Results.h"

namespace ravlin::cli {

struct RecoverSummary {
    uint64_t written = 0;
    uint64_t partial = 0;  // written with unreadable pieces as zeros
    uint64_t failed = 0;   // nothing could be written
    uint64_t skipped = 0;  // recovered whole before, and still there
    uint64_t bytes = 0;
    bool cancelled = false;
    std::string error;     // the first failure that stopped the recovery
    SectorRanges badSectors;  // the sectors of the source behind the unreadable parts
};

// One path component made safe for common host file systems (Linux, FAT, NTFS): reserved
// characters and control characters become '_', trailing dots and spaces go, reserved device
// names get a leading '_', and the result fits in 255 bytes.
std::string SafeName(const std::string& name);

// Creates DIR (and its parents) if needed; false with `error` when it cannot hold files.
bool PrepareFolder(const std::filesystem::path& dir, std::string& error);

// Recovers every file of `results`. Returns an exit code: 0, 73 when DIR or a file cannot be
// created, 74 when writing fails.
// `cancelled` is asked between files; when it says true the files so far stay listed.
// `sourceSectors`: the source's size, which no file's runs reach past (0: unknown).
// With `skipExisting`, a file that recovered.json lists as recovered whole, whose copy is still
// there with its size and MD5, is not written again.
int RecoverFiles(IScanView& view, const ScanResults& results, const std::filesystem::path& dir,
                 bool quiet, RecoverSummary& summary, bool (*cancelled)() = nullptr,
                 uint64_t sourceSectors = 0, bool skipExisting = false);

}  // namespace ravlin::cli
