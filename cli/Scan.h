// `ravlin scan`: one scan from the command line, with progress, listing, reports and recovery.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>
#include <string>

namespace ravlin::cli {

struct ScanOptions {
    std::string source;
    uint64_t start = 0;
    std::optional<uint64_t> count;
    std::string mode = "quick";
    std::string kind = "whole";
    bool deletedOnly = false;
    std::string previewPath;
    std::string types;
    std::string categories;
    std::string minSize;
    std::string maxSize;
    bool list = false;
    std::string report;  // file, "-" for stdout, empty for none
    std::string format = "json";
    std::string recover;
    bool quiet = false;
    std::string timeZone;  // --tz: empty for the machine's zone
    bool utc = false;      // --utc: the listing's times in UTC
    std::string badMap;    // --bad-map: where the map of unreadable sectors goes
    std::vector<uint64_t> partitions;  // --partition: empty for every one
    std::vector<std::string> only;     // --only: paths or shell patterns
    std::vector<uint32_t> ids;         // --id
    bool skipExisting = false;         // --skip-existing
    // `ravlin partitions`: print the partitions found with their totals instead of files.
    bool partitionsOnly = false;
    bool partitionsJson = false;
    bool partitionsDeep = false;
    bool recoverDeletedOnly = false;  // list everything, recover only the deleted files
    std::string session;              // --session: the folder the scan is saved into
    std::string resume;               // --resume: the saved scan to go on from
    uint32_t saveEverySeconds = 300;  // --save-every
    bool verify = false;              // --verify: check an EWF image's stored MD5 meanwhile
};

// Runs the scan; returns the process exit code. Messages go to stderr, data to stdout.
int RunScan(const ScanOptions& options);

// Scan kinds by name ("whole", "free", "free-browse", "all-disks") or number; false if unknown.
bool ParseKind(const std::string& text, uint32_t& kind);
// "full" 0, "raw" 1, "video" 3.
bool ParseMode(const std::string& text, uint32_t& mode);

}  // namespace ravlin::cli
