// NTFS on-disk structures: boot parameters, run lists, file records and attribute lists.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ravlin/Ravlin.h"

namespace ravlin {

class DiskReader;
class NtfsPartInfo;

struct NtfsBootParams {
    uint16_t bytesPerSector = 0;
    uint16_t sectorsPerCluster = 0;
    uint32_t bytesPerCluster = 0;
    uint64_t totalSectors = 0;
    uint64_t mftSector = 0;     // absolute
    uint64_t mirrorSector = 0;  // absolute
    uint32_t fileRecordSize = 0;
    uint32_t indexRecordSize = 0;

    // 512-byte sectors per file record (at least 1).
    uint32_t SectorsPerRecord() const { return fileRecordSize >= 512 ? fileRecordSize / 512 : 1; }
};

// A named data stream of a file or folder.
struct NtfsStream {
    std::wstring name;
    uint64_t size = 0;
    std::vector<DataRun> runs;
    bool resident = false;
    std::vector<uint8_t> residentData;
};

// One decoded file record.
struct NtfsRecord {
    uint32_t recordNumber = 0;
    uint32_t parentRecord = 0;
    uint32_t recordFlags = 0;  // bit 0 in use, bit 1 directory
    uint32_t headerFlags = 0;  // all header flags (0x8: view index)
    uint32_t fileAttributes = 0;
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    uint64_t size = 0;
    uint64_t firstDataSector = 0;
    std::wstring name;
    std::vector<DataRun> dataRuns;
    uint32_t resident = 0;
    std::vector<uint8_t> residentData;
    uint32_t hasAttributeList = 0;
    std::vector<uint8_t> attributeListBytes;
    std::vector<DataRun> attributeListRuns;
    uint64_t attributeListSize = 0;
    std::vector<DataRun> indexRuns;
    bool hasData = false;                // an unnamed data stream was seen
    std::vector<NtfsStream> streams;     // the named data streams
    std::wstring volumeName;             // $VOLUME_NAME ($Volume's record): the volume label
};

// Named streams kept per record; a record holds a few dozen at most.
inline constexpr size_t kMaxStreamsPerRecord = 256;

// Record numbers at or above this are refused where the MFT's own extent is unknown.
inline constexpr uint32_t kDefaultRecordLimit = 4000000;
// Records are decoded up to this many bytes.
inline constexpr uint32_t kMaxDecodedRecordBytes = 4096;

// False unless the sector is an NTFS boot sector with non-zero geometry.
bool DecodeNtfsBootParams(std::span<const uint8_t> boot, uint64_t volumeSector,
                          NtfsBootParams& out);

// Mapping pairs to runs of absolute sectors; true when at least one run was produced. Ends at
// a 0 header byte, a bad field size or the end of the input.
bool DecodeRunList(std::span<const uint8_t> bytes, uint64_t volumeSector,
                   uint32_t sectorsPerCluster, std::vector<DataRun>& out);

// The name of an attribute (type header onwards), empty for the unnamed one or a name that lies
// outside it.
std::wstring NtfsAttributeName(std::span<const uint8_t> attr);
// The value of a resident attribute, or empty when it does not fit inside it.
std::span<const uint8_t> NtfsResidentValue(std::span<const uint8_t> attr);

// Replaces each 512-byte block's last two bytes from the update-sequence array where they
// hold the sequence value; mismatches are left as they are.
void ApplyFixups(std::span<uint8_t> record);

// Decodes a "FILE" record. `recordLimit` bounds the record number (the MFT's extent when
// known). False for anything that is not a usable record, and for extension records. A record
// whose names all lie behind its attribute list decodes with an empty name, which resolving
// the list fills.
bool DecodeFileRecord(std::span<const uint8_t> record, uint64_t volumeSector,
                      uint32_t sectorsPerCluster, NtfsRecord& out,
                      uint32_t recordLimit = kDefaultRecordLimit);

// Where record `recordNumber` starts; 0 when the runs do not reach it.
uint64_t RecordSector(const std::vector<DataRun>& mftRuns, uint32_t recordNumber,
                      uint32_t sectorsPerRecord);

// The runs of the MFT's own data, from record 0 or from the mirror.
bool LoadMftRuns(DiskReader& reader, const NtfsBootParams& params, uint64_t volumeSector,
                 std::vector<DataRun>& out);

bool ReadMftRecord(DiskReader& reader, const NtfsBootParams& params, uint64_t volumeSector,
                   const std::vector<DataRun>& mftRuns, uint32_t recordNumber, NtfsRecord& out);

// Follows an attribute list into the extension records: name and data runs behind it.
void ResolveAttributeList(DiskReader& reader, const NtfsBootParams& params, uint64_t volumeSector,
                          const std::vector<DataRun>& mftRuns, uint32_t sectorsPerRecord,
                          NtfsRecord& record);

// The same on a buffer the caller owns: the fix-ups are applied to it. Records numbered above
// `keepResidentUpTo` leave `residentData` empty (a walk that reads content on demand). `out`
// must be a newly made record; what it holds after a failure is of no use.
bool DecodeFileRecordInPlace(std::span<uint8_t> record, uint64_t volumeSector,
                             uint32_t sectorsPerCluster, NtfsRecord& out,
                             uint32_t recordLimit = kDefaultRecordLimit,
                             uint32_t keepResidentUpTo = UINT32_MAX);

void RecordToNode(const NtfsRecord& record, RFileNode& node, bool partitionDeleted,
                  bool keepResidentData);
// The same, taking the record's name, runs and resident bytes instead of copying them.
void RecordToNode(NtfsRecord&& record, RFileNode& node, bool partitionDeleted,
                  bool keepResidentData);

// Appends the nodes of `streams`, each named "file:stream" and placed beside `owner`: same
// parent, times, attributes and deleted state, its own size, runs or resident bytes (kept in
// the node). Ids are left for the caller.
void AppendStreamNodes(std::vector<NtfsStream>&& streams, const RFileNode& owner,
                       std::vector<RFileNode>& out);

// Re-reads one record of a scanned NTFS partition (for resident content).
bool ReadNtfsRecordOfPart(const NtfsPartInfo& part, DiskReader& reader, uint32_t recordNumber,
                          NtfsRecord& out);

}  // namespace ravlin
