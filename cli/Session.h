// Saved scans: where `--session` keeps them, checking a file before `--resume`, and
// `ravlin sessions`.
#pragma once

#include <cstdint>
#include <string>

#include "Source.h"

namespace ravlin::cli {

inline constexpr const char* kSessionIndex = "ravlin-sessions.index";
inline constexpr uint64_t kSessionBlock = 16384;  // sectors per block of a saved map

// Where a scan is saved and goes on from.
struct Session {
    std::string folder;    // empty: the scan is not saved
    std::string dataFile;  // file name inside the folder
    std::string identity;  // the source as saved scans name it: its canonical path
};

// The name a scan of `source`'s region is saved under.
std::string SessionDataName(const Source& source, uint64_t start, uint64_t count);
// The canonical path of the source, which a saved scan records.
std::string SourceIdentity(const Source& source);
// Blocks of the saved map of the region.
uint64_t SessionBlocks(uint64_t start, uint64_t count);

// Checks `resumePath` before a scan resumes from it: a progress file of this source and
// region. With `regionGiven` false the region comes from the index beside the file, when it
// names the file. False with `error` set (exit 65).
bool CheckResume(const std::string& resumePath, const std::string& identity, bool regionGiven, uint64_t& start,
                 uint64_t& count, std::string& error);

// `ravlin sessions DIR`: the saved scans listed in DIR's index.
int ListSessions(const std::string& folder, bool json);

}  // namespace ravlin::cli
