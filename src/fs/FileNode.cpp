// File node helpers.
#include "fs/FileNode.h"

#include "types/FileTypes.h"

namespace ravlin {

namespace {
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
}

uint32_t FileTimeToUnix(uint64_t fileTime) {
    if (fileTime <= kUnixEpochAsFileTime) return 0;
    return static_cast<uint32_t>((fileTime - kUnixEpochAsFileTime) / 10000000ULL);
}

RFileNode FolderNode(uint32_t id, uint32_t parent, NodeKind kind, const std::wstring& name) {
    RFileNode node;
    node.id = id;
    node.parentId = parent;
    node.kind = kind;
    node.name = name;
    node.directoryFlag = 1;
    return node;
}

RFileNode CopyOfNode(const RFileNode& source) {
    RFileNode copy = DeriveNodeCopy(source, source.id, source.parentId, source.name);
    copy.kind = source.kind;
    copy.typeId = source.typeId;
    copy.valid = source.valid;
    copy.sourceId = source.sourceId;
    copy.children = source.children;
    copy.residentData = source.residentData;
    return copy;
}

RFileNode DeriveNodeCopy(const RFileNode& source, uint32_t newId, uint32_t newParentId,
                         const std::wstring& newName) {
    RFileNode copy;
    copy.id = newId;
    copy.parentId = newParentId;
    copy.typeId = source.typeId;
    copy.firstSector = source.firstSector;
    copy.size = source.size;
    copy.firstTime = source.firstTime;
    copy.secondTime = source.secondTime;
    copy.runs = source.runs;
    copy.resident = source.resident;
    copy.readOnly = source.readOnly;
    copy.hidden = source.hidden;
    copy.system = source.system;
    copy.volumeLabel = source.volumeLabel;
    copy.archive = source.archive;
    copy.device = source.device;
    copy.normal = source.normal;
    copy.temporary = source.temporary;
    copy.sparse = source.sparse;
    copy.reparsePoint = source.reparsePoint;
    copy.compressed = source.compressed;
    copy.offline = source.offline;
    copy.notContentIndexed = source.notContentIndexed;
    copy.encrypted = source.encrypted;
    copy.directoryFlag = source.directoryFlag;
    copy.viewIndexFlag = source.viewIndexFlag;
    copy.localTime = source.localTime;
    copy.liveInRecycleBin = source.liveInRecycleBin;
    copy.ext = source.ext;
    if (source.IsDirectoryKind()) {
        copy.kind = NodeKind::DeletedDirectory;
    } else if (source.IsFileKind()) {
        copy.kind = NodeKind::DeletedFile;
    } else {
        copy.kind = source.kind;
    }
    copy.name = newName.empty() ? source.name : newName;
    copy.valid = 1;
    copy.sourceId = source.id;
    if (copy.IsFileKind() && !copy.name.empty()) copy.typeId = TypeFromFileName(copy.name);
    return copy;
}

const RFileNodeRecycleName* RecycleNameOf(const RFileNode& node) {
    return dynamic_cast<const RFileNodeRecycleName*>(node.ext.get());
}

const std::wstring& DisplayNameOf(const RFileNode& node) {
    const RFileNodeRecycleName* recycle = RecycleNameOf(node);
    return recycle ? recycle->name : node.name;
}

void SetAttributeFlags(RFileNode& node, uint32_t a, bool withVolumeLabel) {
    node.readOnly = (a & 0x1) != 0;
    node.hidden = (a & 0x2) != 0;
    node.system = (a & 0x4) != 0;
    if (withVolumeLabel) node.volumeLabel = (a & 0x8) != 0;
    node.archive = (a & 0x20) != 0;
    node.device = (a & 0x40) != 0;
    node.normal = (a & 0x80) != 0;
    node.temporary = (a & 0x100) != 0;
    node.sparse = (a & 0x200) != 0;
    node.reparsePoint = (a & 0x400) != 0;
    node.compressed = (a & 0x800) != 0;
    node.offline = (a & 0x1000) != 0;
    node.notContentIndexed = (a & 0x2000) != 0;
    node.encrypted = (a & 0x4000) != 0;
}

}  // namespace ravlin
