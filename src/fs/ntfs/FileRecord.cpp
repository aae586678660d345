// NTFS file records: fix-ups, attributes, and the node a record becomes.
#include <algorithm>
#include <cstring>

#include "common/Bytes.h"
#include "fs/FileNode.h"
#include "fs/ntfs/NtfsRecord.h"
#include "platform/Text.h"
#include "types/FileTypes.h"

namespace ravlin {
namespace {

constexpr uint32_t kAttrStandardInformation = 0x10;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrIndexAllocation = 0xA0;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// Namespaces of a file name: 1 Win32, 3 Win32 and DOS are the names users see.
bool IsWin32Namespace(uint8_t ns) { return ns == 1 || ns == 3; }

// Bytes of a non-resident attribute's mapping pairs, or empty when they lie outside it.
std::span<const uint8_t> MappingPairs(ByteSpan attr) {
    uint16_t offset = LoadLE16(attr, 32);
    if (offset < 64 || offset >= attr.size()) return {};
    return attr.subspan(offset);
}

// A named $DATA of the base record: its first extent (or resident value) becomes a stream.
void DecodeStream(ByteSpan attr, bool nonResident, uint64_t volumeSector,
                  uint32_t sectorsPerCluster, std::vector<NtfsStream>& streams) {
    std::wstring name = NtfsAttributeName(attr);
    if (name.empty() || streams.size() >= kMaxStreamsPerRecord) return;
    for (const NtfsStream& s : streams)
        if (s.name == name) return;
    NtfsStream stream;
    stream.name = std::move(name);
    if (nonResident) {
        if (attr.size() < 64 || LoadLE64(attr, 16) != 0) return;  // not the first extent
        stream.size = LoadLE64(attr, 48);
        DecodeRunList(MappingPairs(attr), volumeSector, sectorsPerCluster, stream.runs);
    } else {
        ByteSpan v = NtfsResidentValue(attr);
        if (LoadLE32(attr, 16) != v.size()) return;  // value outside the attribute
        stream.resident = true;
        stream.size = v.size();
        stream.residentData.assign(v.begin(), v.end());
    }
    streams.push_back(std::move(stream));
}

}  // namespace

std::span<const uint8_t> NtfsResidentValue(std::span<const uint8_t> attr) {
    uint32_t length = LoadLE32(attr, 16);
    uint16_t offset = LoadLE16(attr, 20);
    if (offset < 24 || offset > attr.size() || length > attr.size() - offset) return {};
    return attr.subspan(offset, length);
}

std::wstring NtfsAttributeName(std::span<const uint8_t> attr) {
    uint8_t units = LoadU8(attr, 9);
    uint16_t offset = LoadLE16(attr, 10);
    if (units == 0 || offset < 16 || size_t{offset} + 2 * size_t{units} > attr.size()) return {};
    return platform::Utf16LeToWide(attr.subspan(offset, 2 * size_t{units}));
}

void ApplyFixups(std::span<uint8_t> record) {
    ByteSpan r(record.data(), record.size());
    uint16_t offset = LoadLE16(r, 4);
    uint16_t count = LoadLE16(r, 6);
    if (count < 2 || size_t{offset} + 2u * count > record.size()) return;
    uint16_t sequence = LoadLE16(r, offset);
    for (uint32_t i = 1; i < count && size_t{i} * 512 <= record.size(); ++i) {
        size_t last = size_t{i} * 512 - 2;
        if (LoadLE16(r, last) == sequence) {
            record[last] = record[offset + 2 * i];
            record[last + 1] = record[offset + 2 * i + 1];
        }
    }
}

bool DecodeFileRecord(std::span<const uint8_t> record, uint64_t volumeSector,
                      uint32_t sectorsPerCluster, NtfsRecord& out, uint32_t recordLimit) {
    if (record.size() < 1024 || !BytesEqual(record, 0, "FILE", 4)) return false;
    size_t size = std::min<size_t>(record.size(), kMaxDecodedRecordBytes) / 512 * 512;
    uint8_t copy[kMaxDecodedRecordBytes];
    std::memcpy(copy, record.data(), size);
    NtfsRecord rec;
    if (!DecodeFileRecordInPlace(std::span<uint8_t>(copy, size), volumeSector, sectorsPerCluster, rec,
                                 recordLimit))
        return false;
    out = std::move(rec);
    return true;
}

bool DecodeFileRecordInPlace(std::span<uint8_t> record, uint64_t volumeSector,
                             uint32_t sectorsPerCluster, NtfsRecord& out, uint32_t recordLimit,
                             uint32_t keepResidentUpTo) {
    if (record.size() < 1024 || !BytesEqual(record, 0, "FILE", 4)) return false;
    size_t size = std::min<size_t>(record.size(), kMaxDecodedRecordBytes) / 512 * 512;
    ApplyFixups(record.first(size));
    ByteSpan r(record.data(), size);

    NtfsRecord& rec = out;
    rec.recordNumber = LoadLE32(r, 44);
    if (rec.recordNumber >= recordLimit) return false;
    uint16_t first = LoadLE16(r, 20);
    if (first < 1 || first > 511) return false;
    rec.headerFlags = LoadLE16(r, 22);
    rec.recordFlags = rec.headerFlags & 3;
    // An extension record holds attributes of another record: it is no file of its own.
    if (LoadLE64(r, 32) != 0) return false;

    ByteSpan nameValue;
    bool dataSeen = false;
    size_t at = first;
    // Each attribute is at least 8 bytes long, so the walk ends within size / 8 steps.
    while (at + 8 <= size) {
        uint32_t type = LoadLE32(r, at);
        uint32_t length = LoadLE32(r, at + 4);
        if (type == 0 || type == kAttrEnd || length < 8 || length > size - at) break;
        ByteSpan attr = r.subspan(at, length);
        bool nonResident = LoadU8(attr, 8) != 0;
        switch (type) {
            case kAttrStandardInformation: {
                ByteSpan v = nonResident ? ByteSpan() : NtfsResidentValue(attr);
                if (v.size() >= 16) {
                    rec.creationTime = LoadLE64(v, 0);
                    rec.modificationTime = LoadLE64(v, 8);
                }
                if (v.size() >= 36) rec.fileAttributes = LoadLE32(v, 32);
                break;
            }
            case kAttrAttributeList:
                rec.hasAttributeList = 1;
                if (nonResident) {
                    rec.attributeListSize = LoadLE64(attr, 48);
                    DecodeRunList(MappingPairs(attr), volumeSector, sectorsPerCluster,
                                  rec.attributeListRuns);
                } else {
                    ByteSpan v = NtfsResidentValue(attr);
                    rec.attributeListBytes.assign(v.begin(), v.end());
                }
                break;
            case kAttrFileName: {
                ByteSpan v = nonResident ? ByteSpan() : NtfsResidentValue(attr);
                if (v.size() < 66) break;
                if (nameValue.empty() ||
                    (!IsWin32Namespace(nameValue[65]) && IsWin32Namespace(v[65]))) {
                    nameValue = v;
                }
                break;
            }
            case kAttrData:
                if (LoadU8(attr, 9) != 0) {
                    DecodeStream(attr, nonResident, volumeSector, sectorsPerCluster, rec.streams);
                    break;
                }
                if (dataSeen) break;
                dataSeen = true;
                rec.hasData = true;
                if (!nonResident) {
                    ByteSpan v = NtfsResidentValue(attr);
                    if (!v.empty()) {
                        rec.resident = 1;
                        rec.size = v.size();
                        if (rec.recordNumber <= keepResidentUpTo)
                            rec.residentData.assign(v.begin(), v.end());
                    }
                } else {
                    rec.size = LoadLE64(attr, 48);
                    DecodeRunList(MappingPairs(attr), volumeSector, sectorsPerCluster,
                                  rec.dataRuns);
                    for (const DataRun& run : rec.dataRuns) {
                        if (run.startSector != kSparseSector) {
                            rec.firstDataSector = run.startSector;
                            break;
                        }
                    }
                }
                break;
            case kAttrVolumeName: {
                ByteSpan v = nonResident ? ByteSpan() : NtfsResidentValue(attr);
                if (v.size() <= 256) rec.volumeName = platform::Utf16LeToWide(v.first(v.size() / 2 * 2));
                break;
            }
            case kAttrIndexAllocation:
                if (nonResident)
                    DecodeRunList(MappingPairs(attr), volumeSector, sectorsPerCluster, rec.indexRuns);
                break;
            default:
                break;
        }
        at += length;
    }

    if (nameValue.empty()) {
        // The names of a record with many of them may all live behind its attribute list.
        if (!rec.hasAttributeList) return false;
        if (!rec.hasData) rec.size = 0;
        return true;
    }
    rec.parentRecord = LoadLE32(nameValue, 0);
    uint8_t nameLength = nameValue[64];
    if (nameLength == 0 || 66 + 2 * size_t{nameLength} > nameValue.size()) return false;
    rec.name = platform::Utf16LeToWide(nameValue.subspan(66, 2 * size_t{nameLength}));
    if (rec.name.empty()) return false;
    if (!rec.hasData) rec.size = LoadLE64(nameValue, 48);
    return true;
}

void RecordToNode(const NtfsRecord& record, RFileNode& node, bool partitionDeleted,
                  bool keepResidentData) {
    NtfsRecord copy = record;
    RecordToNode(std::move(copy), node, partitionDeleted, keepResidentData);
}

void RecordToNode(NtfsRecord&& record, RFileNode& node, bool partitionDeleted,
                  bool keepResidentData) {
    node.id = record.recordNumber;
    node.parentId = record.parentRecord;
    node.size = record.size;
    node.firstSector = record.firstDataSector;
    node.name = std::move(record.name);
    node.runs = std::move(record.dataRuns);
    node.resident = record.resident;
    if (keepResidentData) node.residentData = std::move(record.residentData);
    node.firstTime = FileTimeToUnix(record.creationTime);
    node.secondTime = FileTimeToUnix(record.modificationTime);
    bool inUse = (record.recordFlags & 1) != 0;
    bool directory = (record.recordFlags & 2) != 0;
    if (directory) {
        node.kind = inUse && !partitionDeleted ? NodeKind::Directory : NodeKind::DeletedDirectory;
    } else {
        node.kind = inUse && !partitionDeleted ? NodeKind::File : NodeKind::DeletedFile;
        node.typeId = TypeFromFileName(node.name);
    }
    SetAttributeFlags(node, record.fileAttributes, false);
    node.directoryFlag = directory ? 1 : 0;
    node.viewIndexFlag = (record.headerFlags & 0x8) != 0 ? 1 : 0;
}

void AppendStreamNodes(std::vector<NtfsStream>&& streams, const RFileNode& owner,
                       std::vector<RFileNode>& out) {
    bool deleted = owner.kind == NodeKind::DeletedFile || owner.kind == NodeKind::DeletedDirectory;
    for (NtfsStream& stream : streams) {
        RFileNode node;
        node.parentId = owner.parentId;
        node.kind = deleted ? NodeKind::DeletedFile : NodeKind::File;
        node.name = owner.name + L":" + stream.name;
        node.typeId = TypeFromFileName(stream.name);
        node.ext = std::make_shared<RFileNodeStream>(owner.id, std::move(stream.name));
        node.size = stream.size;
        node.firstTime = owner.firstTime;
        node.secondTime = owner.secondTime;
        node.valid = owner.valid;
        node.readOnly = owner.readOnly;
        node.hidden = owner.hidden;
        node.system = owner.system;
        node.archive = owner.archive;
        node.compressed = owner.compressed;
        node.encrypted = owner.encrypted;
        node.sparse = owner.sparse;
        if (stream.resident) {
            node.resident = 1;
            node.residentData = std::move(stream.residentData);
        } else {
            node.runs = std::move(stream.runs);
            for (const DataRun& run : node.runs) {
                if (run.startSector != kSparseSector) {
                    node.firstSector = run.startSector;
                    break;
                }
            }
        }
        out.push_back(std::move(node));
    }
}

}  // namespace ravlin
