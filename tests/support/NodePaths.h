// The paths of a scanned partition's nodes, for comparing with a manifest.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "disk/DiskReader.h"
#include "fs/PartInfo.h"

namespace ravlin::test {

// Live nodes by their UTF-8 path below the partition root ("Docs/a.txt"). Nodes whose chain
// does not reach the root are left out.
std::map<std::string, const RFileNode*> PathsOf(const PartInfo& part);

// The whole content of a node through the partition's reader, and its MD5.
std::string ContentMd5(PartInfo& part, DiskReader& reader, const RFileNode& node,
                       uint64_t* bytesRead = nullptr);

std::string Utf8(const std::wstring& text);

// A volume of an image, found at `start` (or from its backup boot sector) and scanned, with
// the reader that scanned it and its nodes by path.
struct ScannedVolume {
    DiskReader reader;
    std::shared_ptr<PartInfo> part;
    std::map<std::string, const RFileNode*> paths;
};

// Fails the calling test when no volume is found or the scan fails.
std::unique_ptr<ScannedVolume> ScanVolume(const std::filesystem::path& image, uint64_t start = 0,
                                          bool partitionDeleted = false, bool deletedOnly = false);

}  // namespace ravlin::test
