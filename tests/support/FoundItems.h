// The found-sector items a finished raw pass filed in its record index, for the tests of the
// classifier and the rebuilders.
#pragma once

#include <vector>

#include "engine/DiskRecoveryEngine.h"

namespace ravlin::test {

inline std::vector<ScanItem> FoundItems(const DiskRecoveryEngine& engine) {
    std::vector<ScanItem> out;
    const RecordIndex& index = engine.Records();
    for (uint64_t b = 0; b < index.BlockCount(); ++b)
        if (auto list = index.Block(index.FirstBlockSector() + b * kBlockUnit))
            for (const ScanItem& item : *list)
                if (item.origin == kOriginClassifier) out.push_back(item);
    return out;
}

// A full scan of an image.
inline ScanInput FullScanOf(const std::filesystem::path& image) {
    ScanInput input;
    input.devicePath = image.wstring();
    input.sectorCount = std::filesystem::file_size(image) / 512;
    input.scanMode = 0;
    return input;
}

}  // namespace ravlin::test
