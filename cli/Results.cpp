#include "Results.h"

#include <memory>
#include <unordered_map>

#include "Unicode.h"

namespace ravlin::cli {
namespace {

struct Details {
    uint32_t created = 0;
    bool resident = false;
    bool volumeLabel = false;
    std::vector<DataRun> runs;
    std::shared_ptr<const RFileNodeCreationInfo> creation;
    std::shared_ptr<const RFileNodeStream> stream;
};

using DetailMap = std::unordered_map<uint64_t, Details>;

uint64_t Key(uint64_t part, uint32_t id) { return (part << 32) | id; }

int CollectType(int type, unsigned long long, void* context) {
    static_cast<std::vector<int>*>(context)->push_back(type);
    return 0;
}

int CollectNode(unsigned int part, const RFileNode* node, void* context) {
    if (!node) return 0;
    Details& d = (*static_cast<DetailMap*>(context))[Key(part, node->id)];
    d.created = node->firstTime;
    d.resident = node->resident != 0;
    d.volumeLabel = node->volumeLabel != 0;
    d.runs = node->runs;
    d.creation = std::dynamic_pointer_cast<const RFileNodeCreationInfo>(node->ext);
    d.stream = std::dynamic_pointer_cast<const RFileNodeStream>(node->ext);
    return 0;
}

DetailMap CollectDetails(const ScanEngine& engine) {
    std::vector<int> types;
    engine.EnumCategories(CollectType, &types);
    DetailMap details;
    for (int type : types) {
        constexpr unsigned long long kBatch = 65536;
        for (unsigned long long first = 0;; first += kBatch) {
            auto calls = engine.EnumCategoryNodes(type, first, kBatch, CollectNode, &details);
            if (calls < kBatch) break;
        }
    }
    return details;
}

const std::unordered_map<uint32_t, ravlin::FileTypeInfo>& TypeTable() {
    static const auto table = [] {
        std::unordered_map<uint32_t, ravlin::FileTypeInfo> map;
        for (auto& info : ravlin::ListFileTypes()) map.emplace(info.typeId, info);
        return map;
    }();
    return table;
}

NodeResult MakeNode(uint32_t id, const NodeBrief& brief, const std::string& prefix, int depth,
                    const DetailMap& details, uint64_t part) {
    NodeResult node;
    node.id = id;
    node.parentId = brief.parentId;
    node.name = ToUtf8(brief.name);
    node.path = prefix + node.name;
    node.kind = brief.kind;
    node.directory = brief.isDirectory != 0;
    node.size = node.directory ? 0 : brief.size;
    node.typeId = brief.typeId;
    node.firstSector = brief.firstSector;
    node.modified = brief.secondTime;
    node.wallModified = brief.secondTime;
    node.localTime = brief.localTime != 0;
    node.depth = depth;
    if (auto it = details.find(Key(part, id)); it != details.end()) {
        node.detailed = true;
        node.created = it->second.created;
        node.resident = it->second.resident;
        node.volumeLabel = it->second.volumeLabel;
        node.runs = it->second.runs;
        if (const auto& c = it->second.creation) {
            node.described = true;
            node.maker = ToUtf8(c->maker);
            node.model = ToUtf8(c->model);
            node.title = ToUtf8(c->title);
            node.date = ToUtf8(c->date);
        }
        if (const auto& stream = it->second.stream) {
            node.isStream = true;
            node.streamOwner = stream->ownerId;
            node.streamName = ToUtf8(stream->stream);
        }
    }
    return node;
}

// Preorder: each directory is followed by its whole subtree, subdirectories before files.
void WalkPartition(const IScanView& view, PartResult& part, const DetailMap& details, bool everyNode,
                   int maxDepth, ScanResults& totals) {
    auto count = [&](uint32_t id) {
        return everyNode ? view.GetChildCount(part.index, id) : view.GetVisibleChildCount(part.index, id);
    };
    auto child = [&](uint32_t id, uint64_t i) {
        return everyNode ? view.GetChild(part.index, id, i) : view.GetVisibleChild(part.index, id, i);
    };
    struct Frame {
        uint32_t id;
        std::string prefix;
        uint64_t next;
        uint64_t count;
    };
    std::vector<Frame> stack;
    stack.push_back({part.rootId, "", 0, count(part.rootId)});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next >= frame.count) {
            stack.pop_back();
            continue;
        }
        uint32_t id = child(frame.id, frame.next++);
        NodeBrief brief;
        if (id == frame.id || !view.GetNodeBrief(part.index, id, &brief)) continue;
        int depth = static_cast<int>(stack.size()) - 1;
        part.nodes.push_back(MakeNode(id, brief, frame.prefix, depth, details, part.index));
        const NodeResult& node = part.nodes.back();
        if (!node.directory) {
            ++totals.files;
            totals.bytes += node.size;
            if (node.Deleted()) ++totals.deletedFiles;
        } else if (depth + 1 < maxDepth) {
            stack.push_back({id, node.path + "/", 0, count(id)});
        }
    }
}

}  // namespace

void ApplyTimeZone(ScanResults& results, const TimeZone& zone) {
    for (auto& part : results.parts) {
        for (auto& node : part.nodes) {
            if (!node.localTime) continue;
            node.created = zone.ToUtc(node.created);
            node.modified = zone.ToUtc(node.modified);
        }
    }
}

std::string PartResult::Label() const {
    if (!displayName.empty()) return displayName;
    if (!secondName.empty()) return secondName;
    return "Partition " + std::to_string(index);
}

ScanResults CollectResults(const ScanEngine& engine, bool everyNode, int maxDepth) {
    ScanResults results;
    const IScanView& view = engine.GetView();
    DetailMap details = CollectDetails(engine);
    uint64_t parts = view.GetPartCount();
    for (uint64_t p = 0; p < parts; ++p) {
        PartBrief brief;
        if (!view.GetPartBrief(p, &brief)) continue;
        PartResult part;
        part.index = p;
        part.rootId = brief.rootNodeId;
        part.startSector = brief.startSector;
        part.sectorCount = brief.sectorCount;
        part.fsType = brief.fsType;
        part.devicePath = ToUtf8(brief.devicePath);
        part.secondName = ToUtf8(brief.secondName);
        part.displayName = ToUtf8(brief.displayName);
        part.listed = brief.listedBySystem != 0;
        part.fileCount = brief.fileCount;
        part.driveLetter = brief.driveLetter;
        WalkPartition(view, part, details, everyNode, maxDepth, results);
        results.parts.push_back(std::move(part));
    }
    return results;
}

std::string FsTypeName(uint32_t fsType) {
    switch (fsType) {
        case 4: return "exFAT";
        case 9: return "FAT12";
        case 10: return "FAT16";
        case 11: return "FAT32";
        case 12: return "NTFS";
        case 13: return "carved";
        default: return "unknown";
    }
}

std::string KindName(uint32_t kind) {
    switch (kind) {
        case 1: return "file";
        case 2: return "deleted file";
        case 3: return "directory";
        case 4: return "deleted directory";
        default: return "unknown";
    }
}

std::string TypeName(uint32_t typeId) {
    auto it = TypeTable().find(typeId);
    return typeId == 0 || it == TypeTable().end() ? "unknown" : ToUtf8(it->second.name);
}

int TypeCategory(uint32_t typeId) {
    auto it = TypeTable().find(typeId);
    return it == TypeTable().end() ? 6 : static_cast<int>(it->second.category);
}

}  // namespace ravlin::cli
