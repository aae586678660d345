// Raw bytes as NTFS file records, run lists and attribute lists (with the rest of the input
// standing for the MFT that an attribute list points into).
#include <cstddef>
#include <cstdint>

#include "MemoryDisk.h"
#include "fs/ntfs/NtfsRecord.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<DataRun> runs;
    DecodeRunList(std::span<const uint8_t>(data, size), 2048, 8, runs);
    if (size < 1024) return 0;
    NtfsRecord record;
    if (!DecodeFileRecord(std::span<const uint8_t>(data, size), 0, 1, record)) return 0;
    RFileNode node;
    RecordToNode(record, node, size % 2 == 0, true);
    if (record.hasAttributeList) {
        DiskReader reader;
        if (!fuzz::OpenMemoryDisk(reader, data, size)) return 0;
        NtfsBootParams params;
        params.bytesPerSector = 512;
        params.sectorsPerCluster = 1;
        params.fileRecordSize = 1024;
        std::vector<DataRun> mft{{0, (size + 511) / 512}};
        ResolveAttributeList(reader, params, 0, mft, 2, record);
        RecordToNode(record, node, false, true);
    }
    return 0;
}
