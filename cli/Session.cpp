// Saved scans on the command line.
#include "Session.h"

#include <filesystem>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "ExitCodes.h"
#include "Report.h"
#include "Unicode.h"
#include "ravlin/Ravlin.h"

namespace ravlin::cli {
namespace {

namespace fs = std::filesystem;

std::string ModeName(uint32_t mode) {
    return mode == 0 ? "deep" : mode == 3 ? "video" : "raw";
}

std::string ScanKindName(uint32_t kind) {
    return kind == 2 ? "free" : kind == 5 ? "free-browse" : kind == 8 ? "all-disks" : "whole";
}

bool FindEntry(const fs::path& file, ScanProgressIndexItem& found) {
    std::vector<ScanProgressIndexItem> entries;
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code ec;
    if (!fs::exists(folder / kSessionIndex, ec)) return false;
    if (!ScanEngine::LoadScanProgressIndex(FromUtf8(folder.string()), FromUtf8(kSessionIndex), entries)) return false;
    for (const auto& entry : entries) {
        if (ToUtf8(entry.dataFile) != file.filename().string()) continue;
        found = entry;
        return true;
    }
    return false;
}

}  // namespace

std::string SessionDataName(const Source& source, uint64_t start, uint64_t count) {
    std::string base = fs::path(source.localPath).filename().string();
    for (char& c : base)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
    if (base.empty()) base = "source";
    return base + "-" + std::to_string(start) + "-" + std::to_string(count) + ".rvpd";
}

std::string SourceIdentity(const Source& source) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(fs::absolute(source.localPath, ec), ec);
    return ec ? source.localPath : canonical.string();
}

uint64_t SessionBlocks(uint64_t start, uint64_t count) {
    const uint64_t first = start - start % kSessionBlock;
    const uint64_t lastSector = count == 0 ? start : start + count - 1;
    return (lastSector - lastSector % kSessionBlock - first) / kSessionBlock + 1;
}

bool CheckResume(const std::string& resumePath, const std::string& identity, bool regionGiven, uint64_t& start,
                 uint64_t& count, std::string& error) {
    ScanProgressSummary summary;
    if (!ScanEngine::ReadScanProgressSummary(FromUtf8(resumePath), summary)) {
        std::error_code ec;
        error = fs::exists(resumePath, ec) ? Printable(resumePath) + " is not a saved scan, or it is damaged"
                                           : "cannot open " + Printable(resumePath) + ": no such file";
        return false;
    }
    const std::string savedFrom = ToUtf8(summary.sourceName);
    if (savedFrom != identity) {
        error = Printable(resumePath) + " was saved from " + Printable(savedFrom) + ", not from " + Printable(identity);
        return false;
    }
    ScanProgressIndexItem entry;
    if (!regionGiven && FindEntry(resumePath, entry) && entry.endSector > entry.startSector) {
        start = entry.startSector;
        count = entry.endSector - entry.startSector;
    }
    if (SessionBlocks(start, count) != summary.blocks) {
        error = Printable(resumePath) + " was saved for another region of " + Printable(identity) +
                " (" + std::to_string(summary.blocks) + " blocks of 8 MiB); give the same --start and --count";
        return false;
    }
    return true;
}

int ListSessions(const std::string& folder, bool json) {
    std::error_code ec;
    if (!fs::exists(fs::path(folder) / kSessionIndex, ec)) {
        std::cerr << "ravlin: no saved scans in " << Printable(folder) << '\n';
        return kExitNoInput;
    }
    std::vector<ScanProgressIndexItem> entries;
    if (!ScanEngine::LoadScanProgressIndex(FromUtf8(folder), FromUtf8(kSessionIndex), entries)) {
        std::cerr << "ravlin: the list of saved scans in " << Printable(folder) << " is damaged\n";
        return kExitDataError;
    }
    nlohmann::json list = nlohmann::json::array();
    std::ostringstream table;
    for (const auto& entry : entries) {
        const std::string name = ToUtf8(entry.dataFile);
        const fs::path path = fs::path(folder) / name;
        ScanProgressSummary summary;
        const bool readable = ScanEngine::ReadScanProgressSummary(FromUtf8(path.string()), summary);
        const uint64_t sectors = entry.endSector - entry.startSector;
        const std::string scan = ModeName(entry.scanMode) + ", " + ScanKindName(entry.scanKind);
        if (json) {
            nlohmann::json item;
            item["data_file"] = name;
            item["path"] = path.string();
            item["start_sector"] = entry.startSector;
            item["sector_count"] = sectors;
            item["mode"] = ModeName(entry.scanMode);
            item["kind"] = ScanKindName(entry.scanKind);
            item["readable"] = readable;
            if (readable) {
                item["source"] = ToUtf8(summary.sourceName);
                item["blocks"] = summary.blocks;
                item["blocks_done"] = summary.blocksDone;
                item["items"] = summary.items;
            }
            list.push_back(std::move(item));
            continue;
        }
        table << Printable(name) << "\n  ";
        if (!readable) {
            table << "missing or damaged\n";
            continue;
        }
        const uint64_t percent = summary.blocks ? summary.blocksDone * 100 / summary.blocks : 0;
        table << Printable(ToUtf8(summary.sourceName)) << ", sectors " << entry.startSector << "+" << sectors << " ("
              << HumanSize(sectors * 512) << "), " << scan << " scan, " << percent << "% read (" << summary.blocksDone
              << " of " << summary.blocks << " blocks), " << summary.items << " items\n";
    }
    if (json) {
        std::cout << list.dump(2) << '\n';
    } else if (entries.empty()) {
        std::cerr << "ravlin: no saved scans in " << Printable(folder) << '\n';
    } else {
        std::cout << table.str();
    }
    return kExitOk;
}

}  // namespace ravlin::cli
