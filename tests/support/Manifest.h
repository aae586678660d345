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

}  // namespace ravlin::test
