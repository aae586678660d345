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
        // The library's fixed folder names in English: the folder of lost paths (left out
        // while empty) and the recycle bin's display name at the top.
        const bool lostPath = id == part.lostPathId && brief.isDirectory;
        if (lostPath && view.GetChildCount(part.index, id) == 0) continue;
        NodeResult made = MakeNode(id, brief, frame.prefix, depth, details, part.index);
        if (lostPath || (depth == 0 && made.directory)) {
            made.name = EnglishName(made.name);
            made.path = frame.prefix + made.name;
        }
        part.nodes.push_back(std::move(made));
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

std::string EnglishName(const std::string& name) {
    static const std::pair<const char*, const char*> fixed[] = {
        {"\xE6\x9C\xAC\xE5\x9C\xB0\xE7\xA3\x81\xE7\x9B\x98", "Local Disk"},                // 本地磁盘
        {"\xE5\xB7\xB2\xE5\x88\xA0\xE9\x99\xA4\xE7\x9A\x84\xE5\x88\x86\xE5\x8C\xBA", "Deleted partition "},  // 已删除的分区
        {"\xE9\x87\x8D\xE6\x9E\x84\xE7\x9A\x84\xE6\x96\x87\xE4\xBB\xB6", "Reconstructed files"},  // 重构的文件
        {"\xE8\xA7\x86\xE9\xA2\x91\xE6\x96\x87\xE4\xBB\xB6", "Video files"},               // 视频文件
        {"\xE8\xB7\xAF\xE5\xBE\x84\xE4\xB8\xA2\xE5\xA4\xB1\xE7\x9A\x84\xE6\x96\x87\xE4\xBB\xB6", "Lost path"},  // 路径丢失的文件
        {"\xE5\x9B\x9E\xE6\x94\xB6\xE7\xAB\x99", "Recycle Bin"},                            // 回收站
    };
    for (const auto& [chinese, english] : fixed) {
        std::string_view c(chinese);
        if (name.compare(0, c.size(), c) != 0) continue;
        std::string rest = name.substr(c.size());
        // "本地磁盘(C:)" and "已删除的分区3": the letter or number stays.
        if (!rest.empty() && rest.front() == '(') return std::string(english) + " " + rest;
        if (rest.empty() || std::string_view(english).back() == ' ') return english + rest;
    }
    return name;
}

std::string PartResult::Label() const {
    if (!volumeLabel.empty()) return volumeLabel;
    if (!displayName.empty()) return EnglishName(displayName);
    if (!secondName.empty()) return EnglishName(secondName);
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
        part.lostPathId = brief.orphanFolderId;
        part.startSector = brief.startSector;
        part.sectorCount = brief.sectorCount;
        part.fsType = brief.fsType;
        part.devicePath = ToUtf8(brief.devicePath);
        part.secondName = ToUtf8(brief.secondName);
        part.displayName = ToUtf8(brief.displayName);
        if (brief.volumeLabel) part.volumeLabel = ToUtf8(brief.volumeLabel);
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
