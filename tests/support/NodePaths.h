// The paths of a scanned partition's nodes, for comparing with a manifest.
#pragma once

#include <map>
#include <string>

#include "fs/PartInfo.h"

namespace ravlin::test {

// Live nodes by their UTF-8 path below the partition root ("Docs/a.txt"). Nodes whose chain
// does not reach the root are left out.
std::map<std::string, const RFileNode*> PathsOf(const PartInfo& part);

// The whole content of a node through the partition's reader, and its MD5.
std::string ContentMd5(PartInfo& part, DiskReader& reader, const RFileNode& node,
                       uint64_t* bytesRead = nullptr);

std::string Utf8(const std::wstring& text);

}  // namespace ravlin::test
