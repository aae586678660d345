// Attribute lists: names and data runs that live in extension records.
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "common/Bytes.h"
#include "disk/DiskReader.h"
#include "fs/PartInfo.h"
#include "fs/ntfs/NtfsRecord.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrData = 0x80;
constexpr uint64_t kMaxListBytes = 256 * 1024;  // far beyond any real attribute list
constexpr size_t kMaxEntries = 8192;

// One extension record, fixed up; empty when it cannot be read or is no file record.
std::vector<uint8_t> ReadRecordBytes(DiskReader& reader, const std::vector<DataRun>& mftRuns,
                                     uint32_t number, uint32_t sectorsPerRecord) {
    uint64_t sector = RecordSector(mftRuns, number, sectorsPerRecord);
    if (sector == 0) return {};
    std::vector<uint8_t> bytes(size_t{sectorsPerRecord} * 512);
    if (!reader.ReadSectors(bytes.data(), sector, sectorsPerRecord)) return {};
    if (bytes.size() < 1024 || !BytesEqual(bytes, 0, "FILE", 4)) return {};
    bytes.resize(std::min<size_t>(bytes.size(), kMaxDecodedRecordBytes));
    ApplyFixups(bytes);
    return bytes;
}

// Calls f(attribute bytes) for each attribute of a fixed-up record until f returns true.
template <class F>
void ForEachAttribute(ByteSpan r, F&& f) {
    size_t at = LoadLE16(r, 20);
    while (at >= 1 && at + 8 <= r.size()) {
        uint32_t type = LoadLE32(r, at);
        uint32_t length = LoadLE32(r, at + 4);
        if (type == 0 || type == 0xFFFFFFFF || length < 8 || length > r.size() - at) return;
        if (f(type, r.subspan(at, length))) return;
        at += length;
    }
}

struct StreamExtent {
    std::wstring name;
    uint32_t record = 0;
    uint64_t firstVcn = 0;
};

// The named streams as the list gives them: each stream's extents in list order, looked up in
// the records they name. A stream whose first extent cannot be found is left out; one whose
// later extents are missing keeps the runs found.
std::vector<NtfsStream> ResolveStreams(DiskReader& reader, const std::vector<DataRun>& mftRuns,
                                       uint32_t sectorsPerRecord, uint64_t volumeSector,
                                       uint32_t sectorsPerCluster,
                                       const std::vector<StreamExtent>& extents) {
    std::map<uint32_t, std::vector<uint8_t>> records;  // extension records read so far
    std::vector<NtfsStream> streams;
    std::vector<bool> sized;
    std::set<std::tuple<std::wstring, uint32_t, uint64_t>> taken;
    for (const StreamExtent& e : extents) {
        if (!taken.insert({e.name, e.record, e.firstVcn}).second) continue;
        size_t index = 0;
        while (index < streams.size() && streams[index].name != e.name) ++index;
        if (index == streams.size()) {
            if (streams.size() >= kMaxStreamsPerRecord) continue;
            streams.push_back({});
            streams.back().name = e.name;
            sized.push_back(false);
        }
        auto cached = records.find(e.record);
        if (cached == records.end()) {
            if (records.size() >= 64) records.clear();
            cached = records.emplace(e.record, ReadRecordBytes(reader, mftRuns, e.record, sectorsPerRecord)).first;
        }
        NtfsStream& stream = streams[index];
        ForEachAttribute(ByteSpan(cached->second), [&](uint32_t t, ByteSpan attr) {
            if (t != kAttrData || NtfsAttributeName(attr) != e.name) return false;
            if (LoadU8(attr, 8) == 0) {
                if (e.firstVcn != 0 || sized[index]) return false;
                auto value = NtfsResidentValue(attr);
                if (value.size() != LoadLE32(attr, 16)) return false;  // the value lies outside it
                stream.resident = true;
                stream.size = value.size();
                stream.residentData.assign(value.begin(), value.end());
                sized[index] = true;
                return true;
            }
            if (attr.size() < 64 || LoadLE64(attr, 16) != e.firstVcn || stream.resident) return false;
            if (e.firstVcn == 0) {
                stream.size = LoadLE64(attr, 48);
                sized[index] = true;
            }
            uint16_t pairs = LoadLE16(attr, 32);
            if (pairs >= 64 && pairs < attr.size())
                DecodeRunList(attr.subspan(pairs), volumeSector, sectorsPerCluster, stream.runs);
            return true;
        });
    }
    std::vector<NtfsStream> out;
    for (size_t i = 0; i < streams.size(); ++i)
        if (sized[i]) out.push_back(std::move(streams[i]));
    return out;
}

}  // namespace

void ResolveAttributeList(DiskReader& reader, const NtfsBootParams& params, uint64_t volumeSector,
                          const std::vector<DataRun>& mftRuns, uint32_t sectorsPerRecord,
                          NtfsRecord& record) {
    if (record.attributeListBytes.empty() && !record.attributeListRuns.empty()) {
        uint64_t size = std::min(record.attributeListSize, kMaxListBytes);
        RFileNode carrier;
        carrier.runs = record.attributeListRuns;
        carrier.size = size;
        std::vector<uint8_t> bytes(size);
        if (size == 0 || ReadRunsData(&reader, carrier, 0, bytes.data(),
                                      static_cast<uint32_t>(size)) != size) {
            record.hasAttributeList = 0;
            return;
        }
        record.attributeListBytes = std::move(bytes);
    }
    ByteSpan list(record.attributeListBytes);
    std::wstring foundName;
    uint32_t foundParent = 0;
    std::vector<DataRun> runs;
    uint64_t dataSize = 0;
    bool sizeTaken = false;
    std::set<std::pair<uint32_t, uint64_t>> extentsTaken;  // (record, first VCN)
    std::vector<StreamExtent> streamExtents;

    size_t at = 0;
    for (size_t n = 0; n < kMaxEntries && at + 26 <= list.size(); ++n) {
        uint32_t type = LoadLE32(list, at);
        uint16_t length = LoadLE16(list, at + 4);
        if (type == 0xFFFFFFFF || length < 26 || length > list.size() - at) break;
        uint8_t nameLength = LoadU8(list, at + 6);
        uint64_t firstVcn = LoadLE64(list, at + 8);
        uint32_t number = LoadLE32(list, at + 16);
        if (type == kAttrFileName && foundName.empty()) {
            auto bytes = ReadRecordBytes(reader, mftRuns, number, sectorsPerRecord);
            ForEachAttribute(ByteSpan(bytes), [&](uint32_t t, ByteSpan attr) {
                if (t != kAttrFileName || LoadU8(attr, 8) != 0) return false;
                uint32_t valueLength = LoadLE32(attr, 16);
                uint16_t valueOffset = LoadLE16(attr, 20);
                if (valueOffset < 24 || valueOffset > attr.size() ||
                    valueLength > attr.size() - valueOffset || valueLength < 66)
                    return false;
                ByteSpan v = attr.subspan(valueOffset, valueLength);
                uint8_t chars = v[64];
                uint8_t ns = v[65];
                if (ns >= 4 || ns == 2 || chars == 0 || 66 + 2 * size_t{chars} > v.size())
                    return false;  // DOS-only names are skipped
                foundName = platform::Utf16LeToWide(v.subspan(66, 2 * size_t{chars}));
                foundParent = LoadLE32(v, 0);
                return !foundName.empty();
            });
        } else if (type == kAttrData && nameLength == 0 &&
                   extentsTaken.insert({number, firstVcn}).second) {
            // The unnamed stream's extent starting at this VCN.
            auto bytes = ReadRecordBytes(reader, mftRuns, number, sectorsPerRecord);
            ForEachAttribute(ByteSpan(bytes), [&](uint32_t t, ByteSpan attr) {
                if (t != kAttrData || LoadU8(attr, 9) != 0 || LoadU8(attr, 8) == 0) return false;
                if (LoadLE64(attr, 16) != firstVcn) return false;
                if (!sizeTaken && firstVcn == 0) {
                    dataSize = LoadLE64(attr, 48);
                    sizeTaken = true;
                }
                uint16_t pairs = LoadLE16(attr, 32);
                std::vector<DataRun> extent;
                if (pairs >= 64 && pairs < attr.size())
                    DecodeRunList(attr.subspan(pairs), volumeSector, params.sectorsPerCluster, extent);
                runs.insert(runs.end(), extent.begin(), extent.end());
                return true;
            });
        } else if (type == kAttrData && nameLength != 0) {
            uint8_t nameOffset = LoadU8(list, at + 7);
            if (nameOffset >= 26 && size_t{nameOffset} + 2 * size_t{nameLength} <= length) {
                streamExtents.push_back({platform::Utf16LeToWide(list.subspan(at + nameOffset, 2 * size_t{nameLength})),
                                         number, firstVcn});
            }
        }
        at += length;
    }
    if (!foundName.empty()) {
        record.name = std::move(foundName);
        record.parentRecord = foundParent;
    }
    if (!runs.empty()) {
        record.dataRuns = std::move(runs);
        if (sizeTaken) record.size = dataSize;
        record.resident = 0;
        record.residentData.clear();
        record.firstDataSector = 0;
        for (const DataRun& run : record.dataRuns) {
            if (run.startSector != kSparseSector) {
                record.firstDataSector = run.startSector;
                break;
            }
        }
    }
    if (!streamExtents.empty()) {
        record.streams = ResolveStreams(reader, mftRuns, sectorsPerRecord, volumeSector,
                                        params.sectorsPerCluster, streamExtents);
    }
    record.hasAttributeList = 0;
}

}  // namespace ravlin
