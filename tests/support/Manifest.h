// Manifests of the fixture images: what each volume holds and what a recovery must yield.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ravlin::test {

struct ManifestEntry {
    std::string path;  // UTF-8, "/"-separated, relative to the volume root
    bool directory = false;
    uint64_t size = 0;
    std::string md5;
    std::optional<int64_t> created;
    std::optional<int64_t> modified;
    std::vector<std::string> attributes;
    bool deleted = false;
    std::string recovery;      // "full", "contiguous", "none" (files)
    std::string recoveredMd5;  // what a correct recovery yields
    std::optional<uint64_t> recoveredSize;
    std::string recoveredName;  // deleted entries that lost part of their name
    std::string recycledAs;     // recycle-bin items: where they came from
    std::vector<std::string> alsoNamed;  // further paths of a hard-linked file
    std::string streamOf;                // a named data stream: the path of its file or folder
    std::string recoveredBy;
    bool findable = true;
    std::optional<bool> resident;
    std::optional<uint64_t> firstCluster;  // where the content really starts, when noted

    std::string Leaf() const;
    std::string Parent() const;
    bool HasAttribute(const std::string& name) const;
};

struct ManifestPartition {
    uint32_t index = 0;
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    std::string fs;
    bool listed = true;
    std::vector<ManifestEntry> entries;

    const ManifestEntry* Find(const std::string& path) const;
};

struct Manifest {
    std::string image;
    std::string base;    // damaged variants: the image they were made from
    std::string damage;
    std::vector<ManifestPartition> partitions;  // of the base for a damaged variant
};

// Loads tests/fixtures/<image>.json; fails the calling test when it is missing.
Manifest LoadManifest(const std::string& image);

inline const std::string kRecycleBinFolder = "\xE5\x9B\x9E\xE6\x94\xB6\xE7\xAB\x99";  // 回收站
inline const std::string kLostPathsFolder =
    "\xE8\xB7\xAF\xE5\xBE\x84\xE4\xB8\xA2\xE5\xA4\xB1\xE7\x9A\x84\xE6\x96\x87\xE4\xBB\xB6";  // 路径丢失的文件

// Where a browser of the results shows an entry: recycle-bin items under their original names,
// "$RECYCLE.BIN" as its display name, files of lost NTFS folders in the lost-path folder, names
// that lost a character under their recovered form.
std::string ShownPath(const ManifestPartition& partition, const ManifestEntry& e);
// Files shown as deleted: deleted ones and recycle-bin items.
bool ShownAsDeletedFile(const ManifestEntry& e);

}  // namespace ravlin::test
