// What the host scans: an image file, a block device, or a device-table name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace ravlin::cli {

struct Source {
    std::string argument;     // as the user gave it
    std::wstring devicePath;  // what the library opens
    std::string localPath;    // the file or block device behind it
    uint64_t sizeBytes = 0;   // of the media: a container's content, not the file
    bool blockDevice = false;
    std::string container = "raw";  // or the container's format, e.g. "EWF (E01)"
    std::vector<std::pair<std::string, std::string>> acquisition;  // what the container records
};

// Resolves and checks SOURCE (opened read-only once, then closed). On failure `error` says why.
bool ResolveSource(const std::string& argument, Source& out, std::string& error);

// True when `folder` (or its nearest existing parent) lives on the scanned block device or on a
// partition of it. Image files and unknown layouts give false.
bool OnSourceDevice(const Source& source, const std::filesystem::path& folder);

}  // namespace ravlin::cli
