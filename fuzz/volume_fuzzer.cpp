// Raw bytes as a whole disk: its partition table, the volume at each place the table names (and
// at sector 0), the volume's scan, the content of every file found, and its free-space map. The
// device is as long as the input, so volumes always claim more than the device holds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "MemoryDisk.h"
#include "discovery/PartitionDetect.h"
#include "fs/FreeSpaceMap.h"
#include "fs/PartInfo.h"
#include "platform/DriveLayout.h"

using namespace ravlin;

namespace {
constexpr size_t kMaxVolumes = 8;
constexpr uint32_t kMaxFilesRead = 256;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512) return 0;
    DiskReader reader;
    if (!fuzz::OpenMemoryDisk(reader, data, size)) return 0;
    std::vector<uint64_t> starts{0};
    if (auto layout = platform::QueryDriveLayout(*reader.Handle())) {
        for (const auto& entry : layout->entries) {
            if (entry.length != 0 && starts.size() < kMaxVolumes) starts.push_back(entry.startingOffset / 512);
        }
    }
    std::vector<uint8_t> buffer(65536);
    for (uint64_t start : starts) {
        std::shared_ptr<PartInfo> part;
        if (!DetectPartitionAt(reader, start, part, 0)) continue;
        ScanPartition(*part, reader, nullptr, start != 0, false);
        uint32_t read = 0;
        part->ForEachNode([&](uint32_t, const RFileNode& node) {
            if (!node.IsFileKind() || read++ >= kMaxFilesRead) return;
            part->ReadFileData(&reader, &node, 0, buffer.data(), static_cast<uint32_t>(buffer.size()));
            if (node.size > buffer.size())
                part->ReadFileData(&reader, &node, node.size - 1000, buffer.data(), 4096);
        });
        FreeSpaceMap map;
        LoadFreeSpaceMap(reader, start, map);
    }
    return 0;
}
