// The two files a saved scan lives in: the progress data file (one scan's block map, items and
// name records) and the progress index (the saved data files with their scans' parameters).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "carve/Carver.h"
#include "carve/MtsFragments.h"
#include "carve/VideoScanner.h"
#include "fs/ScanItem.h"
#include "fs/rebuild/FoundSectors.h"
#include "ravlin/Ravlin.h"

namespace ravlin {

inline constexpr uint32_t kMaxIndexEntries = 100000;
inline constexpr uint32_t kMaxSavedTextBytes = 0x10000;
inline constexpr uint32_t kMaxSavedRunValues = 0xFFFFF;  // per run-list entry

// The in-memory image of a progress data file. Block positions are absolute; items' payload
// words point at records that live as long as the stores they were read into (or the scan).
struct ScanProgressSnapshot {
    std::wstring sourceName;
    std::vector<uint32_t> states;
    uint64_t cursor = 0;
    uint64_t firstBlock = 0;
    uint64_t lastBlock = 0;
    std::vector<ScanItem> items;       // origins 0 and 2
    std::vector<ScanItem> videoItems;  // origin 1
    std::vector<NameRecord> nameRecords;
};

// Where the payloads of items read back from a data file are kept. Creation infos go to the
// scan's own store, so that the carved-node builder finds them; the rest stay here, at stable
// addresses, for as long as the items are used.
struct SavedPayloads {
    explicit SavedPayloads(CreateInfoStore& createInfos) : infos(createInfos) {}

    CreateInfoStore& infos;
    std::deque<std::array<uint8_t, 512>> sectors;
    std::deque<NtfsRecord> records;
    std::deque<FatDirectorySummary> fatDirectories;
    std::deque<ExfatDirectorySummary> exfatDirectories;
    std::deque<MovieBoxRecord> movies;
    std::deque<MdatRecord> mdats;
    std::deque<std::vector<uint32_t>> offsets;  // count first, then the offsets
    std::deque<FragmentRecord> fragments;
};

// The creation info a carving item's word names, or null when the word is a parser's value.
using CreateInfoFinder = std::function<const _FILE_CREATE_INFO*(uint64_t word)>;

// The disk number of a "\\.\PhysicalDriveN" path; all ones for any other path.
uint32_t DriveNumberOf(const std::wstring& devicePath);
// A resume path split at its last "/" or "\" into its folder (with the separator) and file
// name; without a separator the folder is "./".
void SplitProgressPath(const std::wstring& path, std::wstring& folder, std::wstring& name);

// `folder` with "/" appended unless it is empty or ends with "/" or "\".
std::wstring JoinedFolder(const std::wstring& folder);

bool WriteIndex(const std::wstring& path, const std::vector<ScanProgressIndexItem>& entries);
// A missing index is created empty. False for a file that is not an index, or a damaged one
// (the entries read before the damage stay in `entries`).
bool ReadIndex(const std::wstring& folder, const std::wstring& indexFile, std::vector<ScanProgressIndexItem>& entries);
// Replaces the entry of the same data file, or appends one; false, writing nothing, when the
// index cannot be read.
bool UpdateIndex(const std::wstring& folder, const std::wstring& indexFile, const ScanProgressIndexItem& entry);

// Positions are written relative to `base` (the region's start sector). False when a write
// failed; the file is then left as it was before.
bool WriteData(const std::wstring& folder, const std::wstring& dataFile, const ScanProgressSnapshot& snapshot,
               uint64_t base, const CreateInfoFinder& findInfo);
// Positions come back relative to `base`. False for a truncated, foreign or damaged file.
bool ReadData(const std::wstring& folder, const std::wstring& dataFile, ScanProgressSnapshot& snapshot, uint64_t base,
              SavedPayloads& payloads);

}  // namespace ravlin
