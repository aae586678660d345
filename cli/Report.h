// Reports of a scan: the json schema documented in docs/report-json.md, DFXML, The Sleuth Kit's
// body file, and the tree printed by --list.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "BadMap.h"
#include "Results.h"
#include "Selection.h"
#include "Source.h"
#include "Verify.h"

namespace ravlin::cli {

// How the scan was asked for and how it ended.
struct ScanInfo {
    Source source;
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    std::string mode;  // "full", "raw", "video"
    uint32_t scanMode = 0;
    uint32_t scanKind = 1;
    std::string previewPath;
    Selection selection;
    bool interrupted = false;
    uint64_t scannedSectors = 0;
    uint64_t totalSectors = 0;
    // From the read-error report, when the engine sent one.
    std::optional<uint32_t> failedReads;
    uint32_t readCalls = 0;
    uint64_t failedBytes = 0;
    SectorRanges failedSectors;  // every failed read of the scan
    std::string startedAt;  // ISO 8601 UTC
    std::string timeZone = "UTC";  // the zone FAT and exFAT wall-clock times were taken in
    std::optional<VerifyResult> verification;  // --verify: the image's stored hash checked
};

// "2019-01-01T00:01:00Z"; empty for 0.
std::string IsoTime(uint32_t seconds);

// A report written as the walk goes: Begin, then each partition and its nodes (the ResultSink
// calls), then End. Memory does not grow with the number of nodes.
class ReportWriter : public ResultSink {
public:
    virtual void Begin(const ScanInfo& info) = 0;
    virtual void End(const ScanTotals& totals) = 0;
};

// "json", "dfxml" or "body"; null for anything else.
std::unique_ptr<ReportWriter> MakeReportWriter(const std::string& format, std::ostream& out);

// The same reports from results held whole.
void WriteJsonReport(std::ostream& out, const ScanInfo& info, const ScanResults& results);
void WriteDfxmlReport(std::ostream& out, const ScanInfo& info, const ScanResults& results);
void WriteBodyReport(std::ostream& out, const ScanResults& results);
// The tree of each partition; times in `zone`, to the second, with its abbreviation.
void WriteListing(std::ostream& out, const ScanResults& results, const TimeZone& zone = TimeZone());

// "[0] CANON_SD (FAT32, 2,048+1,048,576 sectors, 512 MiB), 12 files, 3.00 MiB, 2 deleted"
std::string PartitionLine(const PartResult& part, const ScanTotals& totals);
// The partitions with their totals, as a json array.
std::string PartitionsJson(const std::vector<std::pair<PartResult, ScanTotals>>& parts);

// A name for one body-file field: "|", "\" and control characters become \xHH.
std::string EscapeBodyField(const std::string& text);
// A name for a terminal: control characters (a newline, an escape sequence) become \xHH.
std::string Printable(const std::string& text);

// "15.4 KiB", "596 B".
std::string HumanSize(uint64_t bytes);

}  // namespace ravlin::cli
