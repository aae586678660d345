// Reading fixture manifests.
#include "support/Manifest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

namespace ravlin::test {

std::string ManifestEntry::Leaf() const {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ManifestEntry::Parent() const {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool ManifestEntry::HasAttribute(const std::string& name) const {
    for (const auto& a : attributes)
        if (a == name) return true;
    return false;
}

const ManifestEntry* ManifestPartition::Find(const std::string& path) const {
    for (const auto& e : entries)
        if (e.path == path) return &e;
    return nullptr;
}

namespace {

template <class T>
std::optional<T> Optional(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    return it->get<T>();
}

std::string Text(const nlohmann::json& j, const char* key) {
    return Optional<std::string>(j, key).value_or("");
}

}  // namespace

Manifest LoadManifest(const std::string& image) {
    Manifest manifest;
    std::ifstream in(std::string(RAVLIN_FIXTURE_DIR) + "/" + image + ".json");
    if (!in) {
        ADD_FAILURE() << "missing manifest " << image;
        return manifest;
    }
    nlohmann::json j = nlohmann::json::parse(in);
    manifest.image = Text(j, "image");
    manifest.base = Text(j, "base");
    manifest.damage = Text(j, "damage");
    if (!manifest.base.empty()) {
        manifest.partitions = LoadManifest(manifest.base).partitions;
        return manifest;
    }
    for (const auto& p : j.at("partitions")) {
        ManifestPartition part;
        part.index = p.at("index").get<uint32_t>();
        part.startSector = p.at("start_sector").get<uint64_t>();
        part.sectorCount = p.at("sector_count").get<uint64_t>();
        part.fs = p.at("fs").get<std::string>();
        part.listed = p.value("listed", true);
        for (const auto& e : p.at("entries")) {
            ManifestEntry entry;
            entry.path = e.at("path").get<std::string>();
            entry.directory = e.at("kind").get<std::string>() == "dir";
            entry.size = e.value("size", uint64_t{0});
            entry.md5 = Text(e, "md5");
            entry.created = Optional<int64_t>(e, "created");
            entry.modified = Optional<int64_t>(e, "modified");
            for (const auto& a : e.value("attributes", nlohmann::json::array()))
                entry.attributes.push_back(a.get<std::string>());
            entry.deleted = e.value("deleted", false);
            entry.recovery = Text(e, "recovery");
            entry.recoveredMd5 = Text(e, "recovered_md5");
            if (entry.recoveredMd5.empty() && entry.recovery == "full") entry.recoveredMd5 = entry.md5;
            entry.recoveredSize = Optional<uint64_t>(e, "recovered_size");
            entry.recoveredName = Text(e, "recovered_name");
            entry.recycledAs = Text(e, "recycled_as");
            entry.streamOf = Text(e, "stream_of");
            for (const auto& a : e.value("also_named", nlohmann::json::array()))
                entry.alsoNamed.push_back(a.get<std::string>());
            entry.recoveredBy = Text(e, "recovered_by");
            entry.findable = e.value("findable", true);
            entry.resident = Optional<bool>(e, "resident");
            entry.firstCluster = Optional<uint64_t>(e, "first_cluster");
            part.entries.push_back(std::move(entry));
        }
        manifest.partitions.push_back(std::move(part));
    }
    return manifest;
}

std::string ShownPath(const ManifestPartition& partition, const ManifestEntry& e) {
    if (!e.recycledAs.empty()) return e.recycledAs;
    if (!e.recoveredName.empty()) {
        std::string parent = e.Parent();
        return parent.empty() ? e.recoveredName : parent + "/" + e.recoveredName;
    }
    if (partition.fs == "NTFS" && e.path.rfind("gone/", 0) == 0) return kLostPathsFolder + "/" + e.Leaf();
    if (e.path == "$RECYCLE.BIN") return kRecycleBinFolder;
    if (e.path.rfind("$RECYCLE.BIN/", 0) == 0) return kRecycleBinFolder + e.path.substr(12);
    return e.path;
}

bool ShownAsDeletedFile(const ManifestEntry& e) {
    return !e.directory && (e.deleted || e.path.rfind("$RECYCLE.BIN/", 0) == 0);
}

}  // namespace ravlin::test
