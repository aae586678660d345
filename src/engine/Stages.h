// The post-processing stages that run after a raw pass that was not stopped, in their fixed
// order, each announced to the host by its display name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "discovery/Enumerate.h"
#include "fs/ScanItem.h"
#include "fs/rebuild/FoundSectors.h"
#include "ravlin/Ravlin.h"

namespace ravlin {

class ExtFindPartInfo;
struct FreeSpaceMap;
class PartInfo;
class VideoScanner;

// Scan modes of the input: 0 file systems and every carved type, 3 video fragments.
inline constexpr uint32_t kScanModeFull = 0;
inline constexpr uint32_t kScanModeVideoFragments = 3;

struct StageContext {
    FileSystemPass& pass;  // input, output, reader and the engine's callables
    const RecordIndex& records;
    FoundSectorStore& found;
    std::shared_ptr<ExtFindPartInfo> carved;  // empty when none was made
    // Volumes a resumed scan rebuilt from its saved records before the raw pass; the rebuild
    // after the pass replaces them.
    std::vector<std::shared_ptr<PartInfo>> provisional;
    const VideoScanner* video = nullptr;  // the video-fragment items and their records
    // The allocation map a free-space scan read by (kinds 2 and 5); null when none is in force.
    const FreeSpaceMap* freeSpace = nullptr;
};

// Publishes volumes rebuilt from found structures as deleted partitions whose every node is
// deleted.
void PublishRebuiltVolumes(FileSystemPass& pass, const std::vector<std::shared_ptr<PartInfo>>& rebuilt);

// The display names of the nine stages, in order.
const std::vector<std::wstring>& StageNames();

void RunStages(StageContext& context);

// Stage 8's rule for one node's name: true when it was changed.
bool RepairName(RFileNode& node);
bool IsReservedDeviceName(const std::wstring& name);

}  // namespace ravlin
