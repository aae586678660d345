// Progress reports of the file-system scanners, and the callback that may stop them.
#pragma once

#include <cstdint>
#include <functional>

#include "ravlin/Ravlin.h"

namespace ravlin {

struct ParseProgress {
    uint32_t fsType = 0;
    uint64_t volumeSector = 0;
    uint64_t itemsDone = 0;  // MFT records or directory entries looked at
    uint64_t liveFiles = 0;
    uint64_t deletedFiles = 0;
    uint64_t liveDirectories = 0;
    uint64_t deletedDirectories = 0;
    bool finished = false;
};

// Returns 1 while the scan may go on, 0 when it must stop. An empty callback never stops.
using ParseProgressCallback = std::function<int(const ParseProgress&)>;

// Blocks while the scan is paused; false once it is stopped. An empty one never stops.
using KeepRunning = std::function<bool()>;

// Adds a node to the report's counts by its kind.
inline void CountNode(const RFileNode& node, ParseProgress& report) {
    switch (node.kind) {
        case NodeKind::File: ++report.liveFiles; break;
        case NodeKind::DeletedFile: ++report.deletedFiles; break;
        case NodeKind::Directory: ++report.liveDirectories; break;
        case NodeKind::DeletedDirectory: ++report.deletedDirectories; break;
        default: break;
    }
}

inline bool KeepGoing(const ParseProgressCallback& progress, const ParseProgress& report) {
    return !progress || progress(report) != 0;
}

}  // namespace ravlin
