// The tree of a FAT-family volume rebuilt without its table: directories known by the cluster
// their sectors lie in, each entry placed in the directory of its own cluster (a live entry's
// claim on a cluster before a deleted one's), directories no entry names put under the
// lost-path folder as "Dir" and their cluster, files given contiguous runs from their first
// cluster.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ravlin {

class PartInfo;

struct RebuiltEntry {
    std::wstring name;
    bool directory = false;
    uint32_t firstCluster = 0;
    uint64_t size = 0;
    uint32_t created = 0;  // Unix seconds
    uint32_t modified = 0;
    uint32_t attributes = 0;  // DOS attribute bits
    bool deleted = false;      // a deleted directory's cluster may be a live one's by now
    bool localTime = true;     // times without a zone (see RFileNode::localTime)
};

// Fills `part` (with no nodes yet): a root "\" holding the entries of `rootCluster`, the
// lost-path folder, and the entries of every other cluster of `entries`, on a volume whose
// cluster 2 is at `clusterTwo` with `clusterSectors`-sector clusters. Ends with the time range,
// recycle-bin names (through `reader`, may be null) and the start index.
void BuildClusterTree(PartInfo& part, class DiskReader* reader, uint64_t clusterTwo, uint32_t clusterSectors,
                      uint32_t rootCluster, const std::map<uint32_t, std::vector<RebuiltEntry>>& entries);

}  // namespace ravlin
