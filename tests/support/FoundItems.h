// The found-sector items a finished raw pass filed in its record index, for the tests of the
// classifier and the rebuilders, and the comparison of a rebuilt tree with the healthy one.
#pragma once

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "engine/DiskRecoveryEngine.h"

namespace ravlin::test {

// `all`: the carving hits too.
inline std::vector<ScanItem> FoundItems(const DiskRecoveryEngine& engine, bool all = false) {
    std::vector<ScanItem> out;
    const RecordIndex& index = engine.Records();
    for (uint64_t b = 0; b < index.BlockCount(); ++b)
        if (auto list = index.Block(index.FirstBlockSector() + b * kBlockUnit))
            for (const ScanItem& item : *list)
                if (all || item.origin == kOriginClassifier) out.push_back(item);
    return out;
}

// Opens an image file as the whole disk.
inline bool OpenImage(DiskReader& reader, const std::filesystem::path& image) {
    DiskSourceInfo source;
    source.devicePath = image.wstring();
    source.totalSectors = std::filesystem::file_size(image) / 512;
    return reader.Open(source, 0, source.totalSectors);
}

// A full scan of an image.
inline ScanInput FullScanOf(const std::filesystem::path& image) {
    ScanInput input;
    input.devicePath = image.wstring();
    input.sectorCount = std::filesystem::file_size(image) / 512;
    input.scanMode = 0;
    return input;
}

// The node of `paths` at `path`, else at a path ending in "/" + `path` (a subtree that came back
// under the lost-path folder), comparing without case as FAT-family volumes do.
inline const RFileNode* FindRebuilt(const std::map<std::string, const RFileNode*>& paths, const std::string& path) {
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    const std::string want = lower(path);
    for (const auto& [p, node] : paths)
        if (lower(p) == want) return node;
    for (const auto& [p, node] : paths) {
        const std::string have = lower(p);
        if (have.size() > want.size() && have.compare(have.size() - want.size() - 1, std::string::npos, "/" + want) == 0)
            return node;
    }
    return nullptr;
}

}  // namespace ravlin::test
