// Locating and reading records of the master file table.
#include <cstring>

#include "common/Bytes.h"
#include "disk/DiskReader.h"
#include "fs/PartInfo.h"
#include "fs/ntfs/NtfsRecord.h"

namespace ravlin {
namespace {

constexpr uint32_t kAttrData = 0x80;

// Record 0 with a broken name still names its data: find the first $DATA by hand.
bool RunsOfDataAttribute(std::vector<uint8_t>& bytes, const NtfsBootParams& params,
                         uint64_t volumeSector, std::vector<DataRun>& out) {
    if (!BytesEqual(bytes, 0, "FILE", 4)) return false;
    ApplyFixups(std::span<uint8_t>(bytes.data(), std::min<size_t>(bytes.size(), kMaxDecodedRecordBytes)));
    ByteSpan r(bytes.data(), std::min<size_t>(bytes.size(), kMaxDecodedRecordBytes));
    size_t at = LoadLE16(r, 20);
    while (at >= 1 && at + 8 <= r.size()) {
        uint32_t type = LoadLE32(r, at);
        uint32_t length = LoadLE32(r, at + 4);
        if (type == 0 || type == 0xFFFFFFFF || length < 8 || length > r.size() - at) return false;
        if (type == kAttrData) {
            ByteSpan attr = r.subspan(at, length);
            if (LoadU8(attr, 8) == 0) return false;
            uint16_t pairs = LoadLE16(attr, 32);
            if (pairs < 64 || pairs >= attr.size()) return false;
            return DecodeRunList(attr.subspan(pairs), volumeSector, params.sectorsPerCluster, out);
        }
        at += length;
    }
    return false;
}

bool RunsFromRecordZero(DiskReader& reader, const NtfsBootParams& params, uint64_t volumeSector,
                        uint64_t sector, std::vector<DataRun>& out) {
    uint32_t sectors = (params.fileRecordSize + 511) / 512;
    std::vector<uint8_t> bytes(size_t{sectors} * 512);
    if (!reader.ReadSectors(bytes.data(), sector, sectors)) return false;
    NtfsRecord record;
    if (DecodeFileRecord(bytes, volumeSector, params.sectorsPerCluster, record) &&
        !record.dataRuns.empty()) {
        out = record.dataRuns;
        // An attribute list on $MFT itself: the further extents live in extension records
        // that the first extent already reaches.
        if (record.hasAttributeList) {
            ResolveAttributeList(reader, params, volumeSector, out, params.SectorsPerRecord(),
                                 record);
            if (!record.dataRuns.empty()) out = record.dataRuns;
        }
        return true;
    }
    return RunsOfDataAttribute(bytes, params, volumeSector, out);
}

}  // namespace

uint64_t RecordSector(const std::vector<DataRun>& mftRuns, uint32_t recordNumber,
                      uint32_t sectorsPerRecord) {
    if (sectorsPerRecord == 0) return 0;
    uint64_t before = 0;
    for (const DataRun& run : mftRuns) {
        uint64_t records = run.sectorCount / sectorsPerRecord;
        if (recordNumber < before + records) {
            if (run.startSector == kSparseSector) return 0;
            return run.startSector + (recordNumber - before) * sectorsPerRecord;
        }
        before += records;
    }
    return 0;
}

bool LoadMftRuns(DiskReader& reader, const NtfsBootParams& params, uint64_t volumeSector,
                 std::vector<DataRun>& out) {
    out.clear();
    if (params.fileRecordSize == 0) return false;
    if (RunsFromRecordZero(reader, params, volumeSector, params.mftSector, out)) return true;
    out.clear();
    return RunsFromRecordZero(reader, params, volumeSector, params.mirrorSector, out);
}

bool ReadMftRecord(DiskReader& reader, const NtfsBootParams& params, uint64_t volumeSector,
                   const std::vector<DataRun>& mftRuns, uint32_t recordNumber, NtfsRecord& out) {
    uint32_t perRecord = params.SectorsPerRecord();
    uint64_t sector = RecordSector(mftRuns, recordNumber, perRecord);
    if (sector == 0) return false;
    std::vector<uint8_t> bytes(size_t{perRecord} * 512);
    if (!reader.ReadSectors(bytes.data(), sector, perRecord)) return false;
    uint64_t extent = 0;
    for (const DataRun& run : mftRuns) extent += run.sectorCount / perRecord;
    uint32_t limit = extent > kSegmentedIdLimit ? kSegmentedIdLimit : static_cast<uint32_t>(extent);
    if (!DecodeFileRecord(bytes, volumeSector, params.sectorsPerCluster, out, limit)) return false;
    if (out.hasAttributeList)
        ResolveAttributeList(reader, params, volumeSector, mftRuns, perRecord, out);
    return !out.name.empty();
}

bool ReadNtfsRecordOfPart(const NtfsPartInfo& part, DiskReader& reader, uint32_t recordNumber,
                          NtfsRecord& out) {
    NtfsBootParams params;
    if (!DecodeNtfsBootParams(part.bootSector, part.volumeSector, params)) return false;
    return ReadMftRecord(reader, params, part.volumeSector, part.mftRuns, recordNumber, out);
}

}  // namespace ravlin
