// Recycle-bin name recovery: $R items get back the names their $I items remember.
#include "fs/RecycleNames.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/Bytes.h"
#include "common/Hash.h"
#include "disk/DiskReader.h"
#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "platform/Text.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxInfoBytes = 10240;
constexpr size_t kMaxSubtreeNodes = 1000000;  // bound on one copied or walked subtree
constexpr uint32_t kMaxDepth = 256;

enum class ItemClass { Neither, Content, Info };

ItemClass ClassOf(const std::wstring& name) {
    if (name.size() < 3 || name[0] != L'$') return ItemClass::Neither;
    if (name[1] == L'R' || name[1] == L'r') return ItemClass::Content;
    if (name[1] == L'I' || name[1] == L'i') return ItemClass::Info;
    return ItemClass::Neither;
}

// Ids of a subtree in depth-first pre-order (the node first), bounded in size and depth.
std::vector<uint32_t> Subtree(const PartInfo& part, uint32_t top) {
    std::vector<uint32_t> out;
    std::vector<std::pair<uint32_t, uint32_t>> stack{{top, 0}};
    FnvSet<uint32_t> seen;
    while (!stack.empty() && out.size() < kMaxSubtreeNodes) {
        auto [id, depth] = stack.back();
        stack.pop_back();
        const RFileNode* node = part.NodeAt(id);
        if (!node || node->kind == NodeKind::Empty || !seen.insert(id).second) continue;
        out.push_back(id);
        if (depth >= kMaxDepth) continue;
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
            stack.push_back({*it, depth + 1});
    }
    return out;
}

// The bin's own folders and files (the bin, its per-user folders, desktop.ini), as opposed to
// its items and what lies in them: those that are live in the file system are remembered
// before the whole bin is marked deleted. A scan for deleted files keeps live files hidden
// (not valid); they are the bin's own all the same.
void MarkOwnNodes(PartInfo& part, uint32_t bin) {
    std::vector<std::pair<uint32_t, uint32_t>> stack{{bin, 0}};
    FnvSet<uint32_t> seen;
    while (!stack.empty() && seen.size() < kMaxSubtreeNodes) {
        auto [id, depth] = stack.back();
        stack.pop_back();
        RFileNode* node = part.NodeAt(id);
        if (!node || (!node->IsLive() && node->kind != NodeKind::File) || !seen.insert(id).second) continue;
        if (id != bin && ClassOf(node->name) != ItemClass::Neither) continue;
        if (node->kind != NodeKind::File && node->kind != NodeKind::Directory) continue;
        node->liveInRecycleBin = 1;
        if (depth < kMaxDepth)
            for (uint32_t child : node->children) stack.push_back({child, depth + 1});
    }
}

void MarkDeleted(RFileNode& node) {
    if (node.kind == NodeKind::File) node.kind = NodeKind::DeletedFile;
    if (node.kind == NodeKind::Directory) node.kind = NodeKind::DeletedDirectory;
}

// Copies the subtree of `top` under `parent` as derived copies shown under their names;
// returns the new id of the top's copy (0 when out of ids).
uint32_t CopySubtree(PartInfo& part, uint32_t top, uint32_t parent, const std::wstring& topName,
                     const std::wstring& originalPath, uint32_t deletedTime) {
    struct Pending {
        uint32_t source, parent;
    };
    std::vector<Pending> work{{top, parent}};
    uint32_t topCopy = 0;
    size_t copied = 0;
    while (!work.empty() && copied < kMaxSubtreeNodes) {
        Pending item = work.back();
        work.pop_back();
        const RFileNode* source = part.NodeAt(item.source);
        if (!source) continue;
        uint32_t id = part.NextNodeId();
        if (id == 0) id = 1;
        std::wstring name = item.source == top ? topName : source->name;
        RFileNode copy = DeriveNodeCopy(*source, id, item.parent, name);
        if (item.source == top)
            copy.ext = std::make_shared<RFileNodeRecycledItem>(copy.name, originalPath, deletedTime);
        else
            copy.ext = std::make_shared<RFileNodeRecycleName>(copy.name);
        std::vector<uint32_t> children = source->children;
        bool countable = copy.IsFileKind();
        if (part.StoreNodeLocked(std::move(copy)) == 0) break;
        if (countable) part.fileCount.fetch_add(1);
        ++copied;
        if (RFileNode* p = part.NodeAt(item.parent)) p->children.push_back(id);
        if (item.source == top) topCopy = id;
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            const RFileNode* child = part.NodeAt(*it);
            if (child && child->IsLive()) work.push_back({*it, id});
        }
    }
    return topCopy;
}

void RemoveSubtree(PartInfo& part, uint32_t top) {
    auto ids = Subtree(part, top);
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) SetNodeValid(part, *it, false);
}

std::vector<uint8_t> ReadInfo(PartInfo& part, DiskReader* reader, const RFileNode& info) {
    if (info.size == 0 || info.size > kMaxInfoBytes) return {};
    if (!info.resident && (info.runs.empty() || !reader || reader->IsClosed())) return {};
    std::vector<uint8_t> bytes(info.size);
    uint32_t got = part.ReadFileData(reader, &info, 0, bytes.data(), static_cast<uint32_t>(info.size));
    bytes.resize(got);
    return bytes;
}

std::vector<std::wstring> PathComponents(const std::wstring& path) {
    std::wstring rest = path;
    size_t drive = rest.find(L":\\");
    if (drive != std::wstring::npos) rest = rest.substr(drive + 2);
    std::vector<std::wstring> parts;
    std::wstring current;
    for (wchar_t c : rest) {
        if (c == L'\\' || c == L'/') {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

std::wstring FormerName(const std::wstring& path) {
    size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos || sep + 1 == path.size()) return path;
    return path.substr(sep + 1);
}

void ProcessFolder(PartInfo& part, DiskReader* reader, uint32_t folderId) {
    const RFileNode* folder = part.NodeAt(folderId);
    if (!folder) return;
    std::vector<uint32_t> children = folder->children;
    FnvMap<std::wstring, uint32_t> infos;
    for (uint32_t id : children) {
        const RFileNode* child = part.LiveNodeAt(id);
        if (child && ClassOf(child->name) == ItemClass::Info) infos.emplace(child->name.substr(2), id);
    }
    for (uint32_t id : children) {
        RFileNode* item = part.LiveNodeAt(id);
        if (!item || ClassOf(item->name) != ItemClass::Content) continue;
        item->kind = item->IsDirectoryKind() ? NodeKind::DeletedDirectory : NodeKind::DeletedFile;
        auto info = infos.find(item->name.substr(2));
        if (info == infos.end()) continue;
        const RFileNode* infoNode = part.NodeAt(info->second);
        if (!infoNode) continue;
        const std::vector<uint8_t> infoBytes = ReadInfo(part, reader, *infoNode);
        std::wstring path = FormerPathFromInfo(infoBytes);
        if (path.empty()) continue;
        std::wstring former = FormerName(path);
        auto components = PathComponents(path);
        if (components.empty() || former.empty()) continue;
        item->name = former;
        if (item->IsFileKind()) item->typeId = TypeFromFileName(former);
        uint32_t parent = part.rootNodeId;
        for (size_t i = 0; i + 1 < components.size() && parent != 0; ++i)
            parent = FindOrCreateFolder(part, parent, components[i]);
        if (parent == 0) continue;
        // Versions 1 and 2 keep the deletion time at byte 16.
        const uint32_t deleted = infoBytes.size() >= 24 ? FileTimeToUnix(LoadLE64(ByteSpan(infoBytes), 16)) : 0;
        if (CopySubtree(part, id, parent, former, path, deleted) != 0) RemoveSubtree(part, id);
    }
}

}  // namespace

bool IsRecycleBinName(const std::wstring& name) {
    return platform::EqualsAsciiNoCase(name, kRecycleBinName);
}

bool SetNodeValid(PartInfo& part, uint32_t id, bool valid) {
    RFileNode* node = part.NodeAt(id);
    if (!node) return false;
    bool was = node->valid != 0;
    if (was == valid) return true;
    bool wasLive = node->IsLive();
    node->valid = valid ? 1 : 0;
    part.NoteLivenessChange(wasLive, node->IsLive());
    if (node->IsFileKind()) {
        if (valid) {
            part.fileCount.fetch_add(1);
        } else {
            uint32_t count = part.fileCount.load();
            while (count > 0 && !part.fileCount.compare_exchange_weak(count, count - 1)) {
            }
        }
    }
    return true;
}

uint32_t FindOrCreateFolder(PartInfo& part, uint32_t parentId, const std::wstring& name) {
    RFileNode* parent = part.NodeAt(parentId);
    if (!parent) return 0;
    for (uint32_t id : parent->children) {
        const RFileNode* child = part.LiveNodeAt(id);
        if (child && child->name == name) return id;
    }
    RFileNode folder;
    folder.id = part.NextNodeId() == 0 ? 1 : part.NextNodeId();
    folder.parentId = parentId;
    folder.kind = NodeKind::DeletedDirectory;
    folder.name = name;
    uint32_t id = part.StoreNodeLocked(std::move(folder));
    if (id == 0) return 0;
    part.NodeAt(parentId)->children.push_back(id);
    return id;
}

std::wstring FormerPathFromInfo(std::span<const uint8_t> info) {
    ByteSpan bytes(info.data(), info.size());
    if (bytes.size() < 28) return {};
    uint64_t version = LoadLE64(bytes, 0);
    size_t start;
    if (version == 1 && bytes.size() >= 26) {
        start = 24;
    } else if (version == 2 && bytes.size() >= 30) {
        start = 28;
    } else {
        return {};
    }
    return platform::Utf16LeToWide(bytes.subspan(start), true);
}

void RecoverRecycleNames(PartInfo& part, DiskReader* reader) {
    auto lock = part.WriteLock();
    const RFileNode* root = part.NodeAt(part.rootNodeId);
    if (!root) return;
    std::vector<uint32_t> bins;
    for (uint32_t id : root->children) {
        const RFileNode* child = part.NodeAt(id);
        if (child && child->kind != NodeKind::Empty && IsRecycleBinName(child->name))
            bins.push_back(id);
    }
    for (uint32_t bin : bins) MarkOwnNodes(part, bin);
    for (uint32_t bin : bins) {
        for (uint32_t id : Subtree(part, bin)) {
            SetNodeValid(part, id, true);
            MarkDeleted(*part.NodeAt(id));
        }
    }
    for (uint32_t bin : bins) {
        RFileNode* node = part.NodeAt(bin);
        node->kind = NodeKind::DeletedDirectory;
        std::vector<uint32_t> children = node->children;
        for (uint32_t id : children) {
            RFileNode* child = part.LiveNodeAt(id);
            if (!child) continue;
            if (child->kind == NodeKind::Directory) child->kind = NodeKind::DeletedDirectory;
            if (child->IsDirectoryKind()) ProcessFolder(part, reader, id);
        }
        ProcessFolder(part, reader, bin);
    }
}

}  // namespace ravlin
