// The scan's results as the host reports them: every visible node of every partition, walked
// through the view, with the details only the type index hands out (creation time, runs).
#pragma once

#include "TimeZone.h"
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ravlin/Ravlin.h"

namespace ravlin::cli {

struct NodeResult {
    uint32_t id = 0;
    uint32_t parentId = 0;
    std::string path;  // "/"-separated from the partition's root, UTF-8
    std::string name;
    uint32_t kind = 0;
    bool directory = false;
    uint64_t size = 0;
    uint32_t typeId = 0;
    uint64_t firstSector = 0;
    uint32_t created = 0;   // seconds since 1970 UTC, 0 when unknown
    uint32_t modified = 0;
    // FAT and exFAT times without a zone: `created` and `modified` hold the wall-clock time
    // counted as if UTC until ApplyTimeZone makes them UTC.
    bool localTime = false;
    bool detailed = false;  // runs and creation time are known
    bool resident = false;  // content kept inside the file-system record
    bool volumeLabel = false;  // a FAT slot with the volume-label bit
    std::vector<DataRun> runs;
    int depth = 0;          // in the tree as shown
    bool detached = false;  // shown without its folder: the listing gives its whole path
    // What a carved file's metadata says about it (UTF-8); `described` when it said anything.
    bool described = false;
    std::string maker, model, title, date;
    // A recycle-bin item shown back where it was deleted from, with the path its info item
    // names and when it was deleted; and the bin's own info items ($I...), which are no user files.
    bool recycled = false;
    std::string originalPath;
    uint32_t recycledTime = 0;
    bool recycleInfo = false;
    // A named data stream of the file or folder `streamOwner`, listed as "file:stream".
    bool isStream = false;
    uint32_t streamOwner = 0;
    std::string streamName;

    // The file-system record that holds the node: a stream's is its owner's.
    uint32_t Inode() const { return isStream ? streamOwner : id; }
    bool Deleted() const { return kind == 2 || kind == 4; }
};

struct PartResult {
    uint64_t index = 0;
    uint32_t rootId = 0;
    uint32_t lostPathId = 0;  // the folder of files whose path was lost
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    uint32_t fsType = 0;
    std::string devicePath;
    std::string secondName;
    std::string displayName;
    std::string volumeLabel;  // the volume's own label, empty without one
    bool listed = false;
    uint32_t fileCount = 0;
    uint16_t driveLetter = 0;
    std::vector<NodeResult> nodes;  // depth first, directories before files

    // The name used for the partition's recovery folder and listing header: the volume's label,
    // else the library's display name in English.
    std::string Label() const;
};

struct ScanResults {
    std::vector<PartResult> parts;
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t deletedFiles = 0;
    uint64_t selected = 0;  // see ScanTotals
};

struct ScanTotals {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t deletedFiles = 0;
    uint64_t selected = 0;  // nodes a path, pattern or id of the walk's selection chose
};

// What a walk keeps: some partitions, and inside them the subtrees at some paths ("/"-separated,
// from the partition's root), the subtrees whose path matches a pattern (shell globs), the
// subtrees of some node ids. Paths and patterns compare without regard to ASCII case, as the
// volumes do. The folders leading to a path are kept too.
struct WalkSelection {
    std::vector<uint64_t> partitions;  // empty: every one
    std::vector<std::string> paths;
    std::vector<std::string> patterns;
    std::vector<uint32_t> ids;
    // Deleted files only: the library's filter keeps a recycle bin's whole content, which the
    // walk shows as the file system has the bin's own files.
    bool deletedOnly = false;

    bool TakesPartition(uint64_t index) const;
    bool NarrowsNodes() const { return !paths.empty() || !patterns.empty() || !ids.empty(); }
};

// Takes the results one partition and one node at a time, in the walk's order.
class ResultSink {
public:
    virtual ~ResultSink() = default;
    virtual void Part(const PartResult& part) = 0;  // its nodes empty: they follow
    virtual void Node(const PartResult& part, NodeResult&& node) = 0;
    virtual void EndPart(const PartResult&) {}
};

// Walks the engine's tree into `sink`, holding only the path being walked: with `everyNode`,
// every attached node (empty folders too), else what the node filter lets through. Preorder:
// each directory is followed by its subtree. Trees deeper than `maxDepth` are cut there.
ScanTotals WalkResults(const ScanEngine& engine, bool everyNode, ResultSink& sink,
                       const WalkSelection& selection = {}, int maxDepth = 512);
ScanTotals WalkResults(const IScanView& view, bool everyNode, ResultSink& sink,
                       const WalkSelection& selection = {}, int maxDepth = 512);

// The same walk, kept whole in memory.
ScanResults CollectResults(const ScanEngine& engine, bool everyNode, const WalkSelection& selection = {},
                           int maxDepth = 512);

// Makes the wall-clock times of FAT and exFAT nodes UTC, taking them as times of `zone`.
void ApplyTimeZone(NodeResult& node, const TimeZone& zone);
void ApplyTimeZone(ScanResults& results, const TimeZone& zone);

// English for the library's fixed display texts (partition and folder names); other names as
// they are.
std::string EnglishName(const std::string& name);
// The same for the carved-files partition's category folders ("Pictures", "Documents", ...).
std::string EnglishCategoryName(const std::string& name);

// "NTFS", "FAT32", "FAT16", "exFAT", "carved", or "unknown".
std::string FsTypeName(uint32_t fsType);
// Kind names of the reports: "file", "deleted file", "directory", "deleted directory".
const char* KindName(uint32_t kind);
// Name of a type id from the type table; "unknown" for 0 and unknown ids.
const std::string& TypeName(uint32_t typeId);
int TypeCategory(uint32_t typeId);

}  // namespace ravlin::cli
