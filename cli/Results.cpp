#include "Results.h"

#include <fnmatch.h>

#include <algorithm>
#include <memory>
#include <new>
#include <unordered_map>

#include "Unicode.h"

namespace ravlin::cli {
namespace {

// What the brief leaves out, taken from the node itself while the view holds it.
void FillDetails(const RFileNode* node, void* context) {
    auto& out = *static_cast<NodeResult*>(context);
    out.detailed = true;
    out.created = node->firstTime;
    out.resident = node->resident != 0;
    out.volumeLabel = node->volumeLabel != 0;
    out.runs = node->runs;
    // The bin's own folders and desktop.ini are as live as the file system has them.
    if (node->liveInRecycleBin) out.kind = node->IsDirectoryKind() ? 3 : 1;
    if (!node->ext) return;
    if (auto c = std::dynamic_pointer_cast<const RFileNodeCreationInfo>(node->ext)) {
        out.described = true;
        out.maker = ToUtf8(c->maker);
        out.model = ToUtf8(c->model);
        out.title = ToUtf8(c->title);
        out.date = ToUtf8(c->date);
    }
    if (auto item = std::dynamic_pointer_cast<const RFileNodeRecycledItem>(node->ext)) {
        out.recycled = true;
        out.originalPath = ToUtf8(item->originalPath);
        out.recycledTime = item->deletedTime;
    }
    if (auto stream = std::dynamic_pointer_cast<const RFileNodeStream>(node->ext)) {
        out.isStream = true;
        out.streamOwner = stream->ownerId;
        out.streamName = ToUtf8(stream->stream);
    }
}

// The type table as the reports show it: names in UTF-8, made once.
struct TypeEntry {
    std::string name;
    int category = 6;
};

const std::unordered_map<uint32_t, TypeEntry>& TypeTable() {
    static const auto table = [] {
        std::unordered_map<uint32_t, TypeEntry> map;
        for (auto& info : ravlin::ListFileTypes())
            map.emplace(info.typeId, TypeEntry{ToUtf8(info.name), static_cast<int>(info.category)});
        return map;
    }();
    return table;
}

// A node as the reports take it, from the node itself while the view holds it.
void FillNode(const RFileNode& node, NodeResult& out) {
    out.id = node.id;
    out.parentId = node.parentId;
    // A recycle-bin node shows the name its info item gave it.
    const auto* shown = dynamic_cast<const RFileNodeRecycleName*>(node.ext.get());
    out.name.clear();
    AppendUtf8(out.name, shown ? shown->name : node.name);
    out.kind = static_cast<uint32_t>(node.kind);
    out.directory = node.IsDirectoryKind();
    out.size = out.directory ? 0 : node.size;
    out.typeId = node.typeId;
    out.firstSector = node.firstSector;
    out.modified = node.secondTime;
    out.localTime = node.localTime != 0;
    FillDetails(&node, &out);
}

// A page of children whose results are filled again in place: the buffers of a result's
// path, name and runs are kept from one child to the next.
struct Page {
    std::vector<NodeResult> results;
    size_t count = 0;  // results of the current children
};

// Makes a used result as a new one, keeping its path, name and runs buffers.
void Renew(NodeResult& result) {
    std::string path = std::move(result.path), name = std::move(result.name);
    std::vector<DataRun> runs = std::move(result.runs);
    result = NodeResult();
    path.clear();
    name.clear();
    runs.clear();
    result.path = std::move(path);
    result.name = std::move(name);
    result.runs = std::move(runs);
}

// Adds one child to a page of children.
void TakeChild(const RFileNode* node, void* context) {
    auto& page = *static_cast<Page*>(context);
    if (page.count == page.results.size()) {
        page.results.emplace_back();
    } else {
        Renew(page.results[page.count]);
    }
    FillNode(*node, page.results[page.count++]);
}

// Preorder: each directory is followed by its whole subtree, subdirectories before files.
constexpr uint32_t kCarvedFsType = 13;

// Where a node stands to the selection.
enum class Chosen { No, Leading, Yes };

Chosen Choose(const WalkSelection& selection, const std::string& foldedPath, uint32_t id, bool directory) {
    if (std::find(selection.ids.begin(), selection.ids.end(), id) != selection.ids.end()) return Chosen::Yes;
    bool leading = false;
    for (const auto& path : selection.paths) {
        if (path == foldedPath) return Chosen::Yes;
        if (directory && path.size() > foldedPath.size() && path.compare(0, foldedPath.size(), foldedPath) == 0 &&
            path[foldedPath.size()] == '/')
            leading = true;
    }
    // A pattern with a "/" is matched against the whole path, one without against the name.
    const std::string name = foldedPath.substr(foldedPath.rfind('/') + 1);
    for (const auto& pattern : selection.patterns) {
        const std::string& against = pattern.find('/') == std::string::npos ? name : foldedPath;
        if (::fnmatch(pattern.c_str(), against.c_str(), FNM_PATHNAME) == 0) return Chosen::Yes;
    }
    // Patterns and ids may match anywhere below a folder: it is walked, not shown.
    if (directory && (!selection.patterns.empty() || !selection.ids.empty())) return Chosen::Leading;
    return leading ? Chosen::Leading : Chosen::No;
}

void WalkPartition(const IScanView& view, const PartResult& part, bool everyNode, int maxDepth, ResultSink& sink,
                   const WalkSelection& selection, ScanTotals& totals) {
    // Children come a page at a time, so that memory stays bounded however wide a folder is.
    constexpr uint64_t kPage = 256;
    struct Frame {
        uint32_t id;
        std::string prefix;
        Page page;
        size_t next;      // in the page
        uint64_t pageEnd; // list position after the page
        bool more;        // the list goes on after the page
        bool inside;      // below a chosen node: everything is kept
        bool shown;       // the folder itself is shown: its children hang below it
        bool recycleBin;  // in the recycle bin
    };
    auto fill = [&](Frame& frame) {
        frame.page.count = 0;
        frame.next = 0;
        uint64_t positions =
            view.VisitChildren(part.index, frame.id, !everyNode, frame.pageEnd, kPage, TakeChild, &frame.page);
        frame.pageEnd += positions;
        frame.more = positions == kPage;
    };
    const bool narrows = selection.NarrowsNodes();
    // Pages of folders already left, kept for the folders still to come: a page grown to a
    // folder's width is not grown again, and its results keep their buffers.
    std::vector<Page> spare;
    auto page = [&] {
        if (spare.empty()) return Page();
        Page taken = std::move(spare.back());
        spare.pop_back();
        return taken;
    };
    std::vector<Frame> stack;
    stack.push_back({part.rootId, "", page(), 0, 0, true, !narrows, true, false});
    fill(stack.back());
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next >= frame.page.count) {
            if (frame.more) {
                fill(frame);
            } else {
                spare.push_back(std::move(frame.page));
                stack.pop_back();
            }
            continue;
        }
        // Taken where it lies: the page keeps its place however the stack grows.
        NodeResult& node = frame.page.results[frame.next++];
        const uint32_t id = node.id;
        int depth = static_cast<int>(stack.size()) - 1;
        // A node shown without its folder (chosen by a pattern or an id) starts a tree of its
        // own, named by its whole path.
        int shownDepth = 0;
        for (const Frame& f : stack)
            shownDepth = f.shown ? shownDepth + (&f == &stack.front() ? 0 : 1) : 0;
        // The library's fixed folder names in English: the folder of lost paths (left out
        // while empty) and the recycle bin's display name at the top.
        const bool lostPath = id == part.lostPathId && node.directory;
        if (lostPath && view.GetChildCount(part.index, id) == 0) continue;
        node.path.assign(frame.prefix).append(node.name);
        const bool isRecycleBin = depth == 0 && node.directory && EnglishName(node.name) == "Recycle Bin";
        if (lostPath || (depth == 0 && node.directory)) {
            node.name = part.fsType == kCarvedFsType ? EnglishCategoryName(node.name) : EnglishName(node.name);
            node.path.assign(frame.prefix).append(node.name);
        }
        node.depth = shownDepth;
        node.detached = !frame.shown;
        // The bin's info items ($I...) name what was deleted: reported, flagged, never offered as
        // files of their own.
        node.recycleInfo = !node.directory && frame.recycleBin && node.name.size() > 2 && node.name[0] == '$' &&
                           (node.name[1] == 'I' || node.name[1] == 'i');
        bool inside = frame.inside;
        bool shown = inside;
        if (!inside) {
            Chosen chosen = Choose(selection, AsciiLower(node.path), id, node.directory);
            if (chosen == Chosen::No) continue;
            inside = chosen == Chosen::Yes;
            if (inside) ++totals.selected;
            // A folder on the way to a chosen path is shown; one walked for patterns is not.
            shown = inside || (chosen == Chosen::Leading && !selection.paths.empty() &&
                               std::any_of(selection.paths.begin(), selection.paths.end(), [&](const std::string& p) {
                                   std::string folded = AsciiLower(node.path) + "/";
                                   return p.compare(0, folded.size(), folded) == 0;
                               }));
        }
        if (!node.directory) {
            if (!shown || (selection.deletedOnly && !node.Deleted())) continue;
            ++totals.files;
            totals.bytes += node.size;
            if (node.Deleted()) ++totals.deletedFiles;
            sink.Node(part, std::move(node));
            continue;
        }
        if (depth + 1 >= maxDepth) {
            if (shown) sink.Node(part, std::move(node));
            continue;
        }
        std::string prefix = node.path + "/";
        if (shown) sink.Node(part, std::move(node));
        const bool bin = frame.recycleBin || (depth == 0 && isRecycleBin);
        stack.push_back({id, std::move(prefix), page(), 0, 0, true, inside, shown, bin});
        fill(stack.back());
    }
}

// Keeps every node: the whole result in memory.
class Collector final : public ResultSink {
public:
    explicit Collector(ScanResults& results) : results_(results) {}
    void Part(const PartResult& part) override {
        results_.parts.push_back(part);
        // Room for the partition's files and some folders up front: memory a growing vector
        // moves out of was touched for nothing. Unused room is never touched.
        constexpr size_t kMostReserved = 1u << 20;
        try {
            results_.parts.back().nodes.reserve(std::min<size_t>(part.fileCount + part.fileCount / 4 + 256, kMostReserved));
        } catch (const std::bad_alloc&) {
            // Only room asked ahead: the results still grow as they come.
        }
    }
    void Node(const PartResult&, NodeResult&& node) override { results_.parts.back().nodes.push_back(std::move(node)); }

private:
    ScanResults& results_;
};

}  // namespace

void ApplyTimeZone(NodeResult& node, const TimeZone& zone) {
    if (!node.localTime) return;
    node.created = zone.ToUtc(node.created);
    node.modified = zone.ToUtc(node.modified);
}

void ApplyTimeZone(ScanResults& results, const TimeZone& zone) {
    for (auto& part : results.parts)
        for (auto& node : part.nodes) ApplyTimeZone(node, zone);
}

// The carved-files partition's category folders.
std::string EnglishCategoryName(const std::string& name) {
    static const std::pair<const char*, const char*> categories[] = {
        {"\xE5\x9B\xBE\xE7\x89\x87", "Pictures"},   // 图片
        {"\xE6\x96\x87\xE6\xA1\xA3", "Documents"},  // 文档
        {"\xE8\xA7\x86\xE9\xA2\x91", "Videos"},     // 视频
        {"\xE9\x9F\xB3\xE9\xA2\x91", "Audio"},      // 音频
        {"\xE5\x8E\x8B\xE7\xBC\xA9", "Archives"},   // 压缩
        {"\xE9\x82\xAE\xE4\xBB\xB6", "Mail"},       // 邮件
        {"\xE5\x85\xB6\xE4\xBB\x96", "Other"},      // 其他
    };
    for (const auto& [chinese, english] : categories)
        if (name == chinese) return english;
    return EnglishName(name);
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

bool WalkSelection::TakesPartition(uint64_t index) const {
    return partitions.empty() || std::find(partitions.begin(), partitions.end(), index) != partitions.end();
}

ScanTotals WalkResults(const ScanEngine& engine, bool everyNode, ResultSink& sink, const WalkSelection& selection,
                       int maxDepth) {
    return WalkResults(engine.GetView(), everyNode, sink, selection, maxDepth);
}

ScanTotals WalkResults(const IScanView& view, bool everyNode, ResultSink& sink, const WalkSelection& selection,
                       int maxDepth) {
    ScanTotals totals;
    uint64_t parts = view.GetPartCount();
    for (uint64_t p = 0; p < parts; ++p) {
        PartBrief brief;
        if (!selection.TakesPartition(p) || !view.GetPartBrief(p, &brief)) continue;
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
        sink.Part(part);
        WalkPartition(view, part, everyNode, maxDepth, sink, selection, totals);
        sink.EndPart(part);
    }
    return totals;
}

ScanResults CollectResults(const ScanEngine& engine, bool everyNode, const WalkSelection& selection,
                           int maxDepth) {
    ScanResults results;
    Collector collector(results);
    ScanTotals totals = WalkResults(engine, everyNode, collector, selection, maxDepth);
    results.files = totals.files;
    results.bytes = totals.bytes;
    results.deletedFiles = totals.deletedFiles;
    results.selected = totals.selected;
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

const char* KindName(uint32_t kind) {
    switch (kind) {
        case 1: return "file";
        case 2: return "deleted file";
        case 3: return "directory";
        case 4: return "deleted directory";
        default: return "unknown";
    }
}

const std::string& TypeName(uint32_t typeId) {
    static const std::string unknown = "unknown";
    auto it = TypeTable().find(typeId);
    return typeId == 0 || it == TypeTable().end() ? unknown : it->second.name;
}

int TypeCategory(uint32_t typeId) {
    auto it = TypeTable().find(typeId);
    return it == TypeTable().end() ? 6 : it->second.category;
}

}  // namespace ravlin::cli
