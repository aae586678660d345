// The ravlin binary on disks made by real tools: reports against the manifests, recovery with
// checksums, selections, and how it fails.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "Report.h"
#include "RunRavlin.h"
#include "Unicode.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"
#include "support/TempDir.h"

using namespace ravlin::test;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// Where the host shows an entry: as the library shows it, its fixed folder names in English.
std::string HostPath(const ManifestPartition& p, const ManifestEntry& e) {
    std::string path = ShownPath(p, e);
    for (const auto& [fixed, english] : {std::pair{kRecycleBinFolder, "Recycle Bin"}, std::pair{kLostPathsFolder, "Lost path"}})
        if (path.rfind(fixed, 0) == 0) return english + path.substr(fixed.size());
    return path;
}

// The library shows a recycle bin's whole content deleted; the host shows the bin's own folders
// and files (desktop.ini) as the file system has them, and its items, with what lies in them,
// deleted.
bool HostShowsDeleted(const ManifestEntry& e) {
    if (e.deleted) return true;
    if (e.path.rfind("$RECYCLE.BIN/", 0) != 0) return false;
    std::string rest = e.path.substr(13);
    for (size_t at = 0; at <= rest.size();) {
        size_t end = rest.find('/', at);
        if (end == std::string::npos) end = rest.size();
        if (end - at >= 3 && rest[at] == '$' && std::strchr("RrIi", rest[at + 1])) return true;
        at = end + 1;
    }
    return false;
}

// A recycle bin's info item ($I...): reported, neither listed nor recovered.
bool IsRecycleInfo(const ManifestEntry& e) {
    const std::string leaf = e.Leaf();
    return e.path.rfind("$RECYCLE.BIN/", 0) == 0 && leaf.size() > 2 && leaf[0] == '$' && leaf[1] == 'I';
}

Json ReadJson(const fs::path& path) {
    std::ifstream in(path);
    Json j = Json::parse(in, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << path;
    return j;
}

// Nodes of one partition of a report by path.
std::map<std::string, Json> NodesByPath(const Json& partition) {
    std::map<std::string, Json> nodes;
    for (const auto& node : partition["nodes"]) nodes[node["path"].get<std::string>()] = node;
    return nodes;
}

const Json* FindNode(const std::map<std::string, Json>& nodes, const ManifestPartition& p, const ManifestEntry& e) {
    auto it = nodes.find(HostPath(p, e));
    for (const auto& other : e.alsoNamed)
        if (it == nodes.end()) it = nodes.find(other);
    return it == nodes.end() ? nullptr : &it->second;
}

std::string ExpectedMd5(const ManifestEntry& e) { return e.recoveredMd5.empty() ? e.md5 : e.recoveredMd5; }

// Recovered files by (partition, path), from DIR/recovered.json.
std::map<std::pair<int, std::string>, Json> Recovered(const fs::path& dir) {
    std::map<std::pair<int, std::string>, Json> out;
    Json manifest = ReadJson(dir / "recovered.json");
    for (const auto& f : manifest["files"]) out[{f["partition"].get<int>(), f["path"].get<std::string>()}] = f;
    return out;
}

class Volumes : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Volumes, TheJsonReportAgreesWithTheManifest) {
    Manifest manifest = LoadManifest(GetParam());
    TempDir temp;
    auto run = RunRavlin({"scan", FixtureImage(GetParam()).string(), "--report", (temp / "r.json").string(), "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_TRUE(run.out.empty());
    Json report = ReadJson(temp / "r.json");
    EXPECT_EQ(report["schema"], "ravlin-report");
    EXPECT_TRUE(report["scan"]["completed"].get<bool>());
    // A quick scan: the volumes, and no partition of carved files.
    EXPECT_EQ(report["scan"]["mode"], "quick");
    EXPECT_EQ(report["scan"]["scanned_sectors"], 0);
    ASSERT_EQ(report["partitions"].size(), manifest.partitions.size());
    uint64_t files = 0;
    for (size_t p = 0; p < manifest.partitions.size(); ++p) {
        const auto& mp = manifest.partitions[p];
        const Json& rp = report["partitions"][p];
        EXPECT_EQ(rp["index"], p);
        EXPECT_EQ(rp["fs"], mp.fs);
        EXPECT_EQ(rp["start_sector"], mp.startSector);
        EXPECT_EQ(rp["sector_count"], mp.sectorCount);
        EXPECT_EQ(rp["listed"], mp.listed);
        auto nodes = NodesByPath(rp);
        std::set<uint32_t> ids;
        for (const auto& [path, node] : nodes) {
            ids.insert(node["id"].get<uint32_t>());
            if (!node["directory"].get<bool>()) ++files;
            // A path is its parent's path and its own name.
            auto slash = path.rfind('/');
            EXPECT_EQ(node["name"], slash == std::string::npos ? path : path.substr(slash + 1));
        }
        for (const auto& [path, node] : nodes) {
            auto parent = node["parent_id"].get<uint32_t>();
            EXPECT_TRUE(parent == rp["root_id"].get<uint32_t>() || ids.count(parent)) << path;
        }
        size_t checked = 0;
        for (const auto& e : mp.entries) {
            if (!e.findable || e.path == "gone") continue;
            const Json* node = FindNode(nodes, mp, e);
            if (!node) {
                ADD_FAILURE() << GetParam() << ": " << HostPath(mp, e) << " missing from the report";
                continue;
            }
            EXPECT_EQ((*node)["directory"].get<bool>(), e.directory) << e.path;
            EXPECT_EQ((*node)["deleted"].get<bool>(), HostShowsDeleted(e)) << e.path;
            if (e.directory) continue;
            EXPECT_EQ((*node)["kind"], HostShowsDeleted(e) ? "deleted file" : "file") << e.path;
            EXPECT_EQ((*node)["size"], e.size) << e.path;
            if (e.modified) {
                EXPECT_EQ((*node)["modified"], ravlin::cli::IsoTime(static_cast<uint32_t>(*e.modified))) << e.path;
            }
            if (e.created) {
                EXPECT_EQ((*node)["created"], ravlin::cli::IsoTime(static_cast<uint32_t>(*e.created))) << e.path;
            }
            if (e.resident) {
                EXPECT_EQ((*node)["resident"].get<bool>(), *e.resident) << e.path;
            }
            EXPECT_EQ((*node)["volume_label"].get<bool>(), e.HasAttribute("label")) << e.path;
            EXPECT_EQ((*node)["recycle_info"].get<bool>(), IsRecycleInfo(e)) << e.path;
            // A recycled item names where it was deleted from and when, from its info item.
            if (!e.recycledAs.empty() && e.Leaf().rfind("$R", 0) == 0) {
                std::string original = e.recycledAs;
                std::replace(original.begin(), original.end(), '/', '\\');
                const Json& recycled = (*node)["recycled"];
                ASSERT_TRUE(recycled.is_object()) << e.path;
                const std::string named = recycled["original_path"];
                EXPECT_EQ(named.substr(named.size() - std::min(named.size(), original.size())), original) << named;
                EXPECT_TRUE(recycled["deleted"].is_string()) << e.path;
            }
            if (e.streamOf.empty()) {
                EXPECT_TRUE((*node)["stream"].is_null()) << e.path;
            } else {
                const Json* owner = nodes.count(e.streamOf) ? &nodes.at(e.streamOf) : nullptr;
                ASSERT_TRUE(owner) << e.streamOf;
                EXPECT_EQ((*node)["stream"]["owner_id"], (*owner)["id"]) << e.path;
                EXPECT_EQ((*node)["stream"]["name"], e.Leaf().substr(e.Leaf().find(':') + 1)) << e.path;
            }
            // Runs cover the content: a non-resident file's runs hold at least its size.
            if (e.size > 0 && !(*node)["resident"].get<bool>() && e.recovery == "full") {
                uint64_t sectors = 0;
                for (const auto& r : (*node)["runs"]) sectors += r["sector_count"].get<uint64_t>();
                EXPECT_GE(sectors * 512, e.size) << e.path;
            }
            ++checked;
        }
        EXPECT_GT(checked, 0u);
    }
    EXPECT_EQ(report["summary"]["files"], files);
}

TEST_P(Volumes, RecoverWritesEveryRecoverableFileWithItsChecksums) {
    Manifest manifest = LoadManifest(GetParam());
    TempDir temp;
    auto run = RunRavlin({"scan", FixtureImage(GetParam()).string(), "--recover", (temp / "out").string(), "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    auto recovered = Recovered(temp / "out");
    size_t checked = 0;
    for (size_t p = 0; p < manifest.partitions.size(); ++p) {
        const auto& mp = manifest.partitions[p];
        for (const auto& e : mp.entries) {
            if (e.directory || !e.findable || e.path == "gone" || e.recovery == "none" || IsRecycleInfo(e)) continue;
            auto it = recovered.find({static_cast<int>(p), HostPath(mp, e)});
            for (const auto& other : e.alsoNamed)
                if (it == recovered.end()) it = recovered.find({static_cast<int>(p), other});
            if (it == recovered.end()) {
                ADD_FAILURE() << GetParam() << ": " << HostPath(mp, e) << " not recovered";
                continue;
            }
            const Json& f = it->second;
            fs::path written = temp / "out" / f["written_to"].get<std::string>();
            EXPECT_EQ(f["md5"], ExpectedMd5(e)) << e.path;
            EXPECT_EQ(Md5OfFile(written), ExpectedMd5(e)) << e.path;
            EXPECT_EQ(f["size"], e.size) << e.path;
            EXPECT_EQ(f["written_size"], e.recoveredSize.value_or(e.size)) << e.path;
            EXPECT_EQ(fs::file_size(written), e.recoveredSize.value_or(e.size)) << e.path;
            EXPECT_EQ(f["read_whole"].get<bool>(), e.recoveredSize.value_or(e.size) == e.size) << e.path;
            EXPECT_EQ(f["deleted"].get<bool>(), HostShowsDeleted(e)) << e.path;
            EXPECT_EQ(f["sha256"].get<std::string>().size(), 64u);
            if (e.modified) {
                struct stat st {};
                ASSERT_EQ(::stat(written.c_str(), &st), 0);
                EXPECT_EQ(st.st_mtime, *e.modified) << e.path;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 0u);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Volumes,
                         ::testing::Values("ntfs.img", "ntfs-streams.img", "fat32.img", "fat16.img", "fat16-labels.img", "exfat.img",
                                           "mbr-disk.img"),
                         [](const auto& info) {
                             std::string name = info.param.substr(0, info.param.find('.'));
                             std::erase(name, '-');
                             return name;
                         });

TEST(Recover, DeletedOnlyRecoversExactlyTheDeletedFilesAndASecondRunKeepsTheFirst) {
    const std::string image = "fat32.img";
    Manifest manifest = LoadManifest(image);
    TempDir temp;
    fs::path out = temp / "out";
    auto first = RunRavlin({"scan", FixtureImage(image).string(), "--deleted-only", "--recover", out.string(), "-q"});
    ASSERT_EQ(first.code, 0) << first.err;
    auto recovered = Recovered(out);
    std::set<std::string> want, got;
    for (const auto& e : manifest.partitions[0].entries)
        if (e.findable && !e.directory && HostShowsDeleted(e) && e.recovery != "none" && !IsRecycleInfo(e))
            want.insert(HostPath(manifest.partitions[0], e));
    for (const auto& [key, f] : recovered) {
        EXPECT_TRUE(f["deleted"].get<bool>()) << key.second;
        got.insert(key.second);
    }
    ASSERT_FALSE(want.empty());
    for (const auto& path : want) EXPECT_TRUE(got.count(path)) << path << " was not recovered";
    for (const auto& path : got) {
        const ManifestEntry* e = nullptr;
        for (const auto& entry : manifest.partitions[0].entries)
            if (HostPath(manifest.partitions[0], entry) == path) e = &entry;
        if (e) {
            EXPECT_TRUE(HostShowsDeleted(*e)) << path << " is not deleted";
        }
    }

    // Note every first-run file's content and inode, then recover again into the same folder.
    std::map<std::string, std::pair<std::string, ino_t>> before;
    for (const auto& [key, f] : recovered) {
        fs::path p = out / f["written_to"].get<std::string>();
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        before[f["written_to"]] = {Md5OfFile(p), st.st_ino};
    }
    auto second = RunRavlin({"scan", FixtureImage(image).string(), "--deleted-only", "--recover", out.string(), "-q"});
    ASSERT_EQ(second.code, 0) << second.err;
    Json list = ReadJson(out / "recovered.json")["files"];
    EXPECT_EQ(list.size(), 2 * recovered.size());
    std::set<std::string> targets;
    for (const auto& f : list) EXPECT_TRUE(targets.insert(f["written_to"]).second) << f["written_to"];
    for (const auto& [path, state] : before) {
        struct stat st {};
        ASSERT_EQ(::stat((out / path).c_str(), &st), 0);
        EXPECT_EQ(st.st_ino, state.second) << path;
        EXPECT_EQ(Md5OfFile(out / path), state.first) << path;
    }
    for (size_t i = recovered.size(); i < list.size(); ++i) {
        std::string name = list[i]["written_to"];
        EXPECT_NE(name.find(" (1)"), std::string::npos) << name;
        EXPECT_EQ(Md5OfFile(out / name), list[i]["md5"]) << name;
    }
}

TEST(Reports, DfxmlValidatesAgainstTheSchemaAndHoldsEveryNode) {
    TempDir temp;
    std::string image = FixtureImage("mbr-disk.img").string();
    auto xml = RunRavlin({"scan", image, "--report", (temp / "r.xml").string(), "--format", "dfxml", "-q"});
    ASSERT_EQ(xml.code, 0) << xml.err;
    auto lint = RunProgram(RAVLIN_XMLLINT, {"--noout", "--nonet", "--schema", RAVLIN_DFXML_SCHEMA, (temp / "r.xml").string()});
    EXPECT_EQ(lint.code, 0) << lint.err;
    auto json = RunRavlin({"scan", image, "--report", "-", "-q"});
    ASSERT_EQ(json.code, 0) << json.err;
    Json report = Json::parse(json.out);
    size_t nodes = 0, deleted = 0;
    for (const auto& p : report["partitions"])
        for (const auto& n : p["nodes"]) ++nodes, deleted += n["deleted"].get<bool>();
    std::ifstream in(temp / "r.xml");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("<fileobject>"), nodes);
    EXPECT_EQ(count("<unalloc>1</unalloc>"), deleted);
    EXPECT_EQ(count("<volume "), report["partitions"].size());
}

TEST(Reports, TheBodyFileHasOneLineOfElevenFieldsPerNode) {
    std::string image = FixtureImage("ntfs.img").string();
    auto body = RunRavlin({"scan", image, "--report", "-", "--format", "body", "-q"});
    ASSERT_EQ(body.code, 0) << body.err;
    auto json = RunRavlin({"scan", image, "--report", "-", "-q"});
    Json report = Json::parse(json.out);
    std::map<std::string, Json> byName;
    for (const auto& p : report["partitions"])
        for (const auto& n : p["nodes"])
            byName["/" + std::to_string(p["index"].get<int>()) + "_" + p["name"].get<std::string>() + "/" +
                   n["path"].get<std::string>() + (n["deleted"].get<bool>() ? " (deleted)" : "")] = n;
    std::stringstream lines(body.out);
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::stringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '|')) fields.push_back(field);
        if (!line.empty() && line.back() == '|') fields.push_back("");
        ASSERT_EQ(fields.size(), 11u) << line;
        auto it = byName.find(fields[1]);
        ASSERT_NE(it, byName.end()) << fields[1];
        // A stream is found in its owner's record.
        const Json& stream = it->second["stream"];
        EXPECT_EQ(fields[2], std::to_string((stream.is_null() ? it->second["id"] : stream["owner_id"]).get<uint32_t>()));
        EXPECT_EQ(fields[6], std::to_string(it->second["size"].get<uint64_t>()));
        // The two times a node holds: modified as mtime, created as crtime.
        auto seconds = [](const Json& iso) -> std::string {
            if (!iso.is_string()) return "0";
            std::tm t{};
            std::sscanf(iso.get<std::string>().c_str(), "%d-%d-%dT%d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                        &t.tm_hour, &t.tm_min, &t.tm_sec);
            t.tm_year -= 1900, t.tm_mon -= 1;
            return std::to_string(timegm(&t));
        };
        EXPECT_EQ(fields[8], seconds(it->second["modified"])) << line;
        EXPECT_EQ(fields[10], seconds(it->second["created"])) << line;
        ++count;
    }
    EXPECT_EQ(count, byName.size());
    EXPECT_GT(count, 2000u);
}

// FAT keeps the device clock's wall-clock time. mtools wrote these at known times: a floppy's
// in January (CET, UTC+1) and a card's in September (CEST, UTC+2).
TEST(Times, WallClockTimesBecomeUtcInTheZoneTheDeviceClockWasIn) {
    auto node = [](const Json& report, const std::string& path) {
        for (const auto& p : report["partitions"])
            for (const auto& n : p["nodes"])
                if (n["path"] == path) return n;
        return Json();
    };
    auto scan = [](const std::string& image, std::vector<std::string> extra) {
        std::vector<std::string> args{"scan", FixtureImage(image).string(), "--report", "-", "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto run = RunRavlin(args);
        EXPECT_EQ(run.code, 0) << run.err;
        return run.code == 0 ? Json::parse(run.out) : Json();
    };
    Json winter = scan("fat12-floppy.img", {"--tz", "Europe/Berlin"});
    EXPECT_EQ(winter["scan"]["time_zone"], "Europe/Berlin");
    EXPECT_EQ(node(winter, "README.TXT")["modified"], ravlin::cli::IsoTime(1262304010 - 3600));
    EXPECT_TRUE(node(winter, "README.TXT")["local_time"].get<bool>());
    Json summer = scan("fat16-labels.img", {"--tz", "Europe/Berlin"});
    EXPECT_EQ(node(summer, "PLAIN.TXT")["modified"], ravlin::cli::IsoTime(1600000010 - 7200));
    EXPECT_EQ(node(summer, "PLAIN.TXT")["created"], ravlin::cli::IsoTime(1600000010 - 7200));
    Json offset = scan("fat16-labels.img", {"--tz", "-05:30"});
    EXPECT_EQ(node(offset, "PLAIN.TXT")["modified"], ravlin::cli::IsoTime(1600000010 + 5 * 3600 + 1800));

    // The listing shows the device's wall-clock time in its zone (or UTC); recovery stamps the
    // UTC instant.
    TempDir temp;
    auto listed = RunRavlin({"scan", FixtureImage("fat16-labels.img").string(), "--list", "-q", "--tz",
                             "Europe/Berlin", "--recover", (temp / "out").string()});
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("PLAIN.TXT  1.17 KiB  2020-09-13 12:26:50 CEST"), std::string::npos) << listed.out;
    auto inUtc = RunRavlin({"scan", FixtureImage("fat16-labels.img").string(), "--list", "-q", "--tz", "Europe/Berlin",
                            "--utc"});
    EXPECT_NE(inUtc.out.find("PLAIN.TXT  1.17 KiB  2020-09-13 10:26:50 UTC"), std::string::npos) << inUtc.out;
    auto recovered = Recovered(temp / "out");
    auto plain = recovered.find({0, "PLAIN.TXT"});
    ASSERT_NE(plain, recovered.end());
    struct stat st {};
    ASSERT_EQ(::stat((temp / "out" / plain->second["written_to"].get<std::string>()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1600000010 - 7200);

    // exFAT times that carry their UTC offset and NTFS times are UTC already.
    const Manifest exfat = LoadManifest("exfat.img");
    const ManifestEntry* photo = exfat.partitions[0].Find("photo.jpg");
    ASSERT_TRUE(photo && photo->modified);
    Json exfatReport = scan("exfat.img", {"--tz", "Asia/Tokyo"});
    EXPECT_EQ(node(exfatReport, "photo.jpg")["modified"], ravlin::cli::IsoTime(static_cast<uint32_t>(*photo->modified)));
    EXPECT_FALSE(node(exfatReport, "photo.jpg")["local_time"].get<bool>());

    // The machine's zone is the default.
    auto machine = RunProgram("/usr/bin/env", {"TZ=America/New_York", RAVLIN_CLI_PATH, "scan",
                                               FixtureImage("fat16-labels.img").string(), "--report", "-", "-q"});
    ASSERT_EQ(machine.code, 0) << machine.err;
    Json newYork = Json::parse(machine.out);
    EXPECT_EQ(newYork["scan"]["time_zone"], "America/New_York");
    EXPECT_EQ(node(newYork, "PLAIN.TXT")["modified"], ravlin::cli::IsoTime(1600000010 + 4 * 3600));
}

// An image cut short in the middle of a deleted file: what lies before the cut is recovered,
// the rest is named as unreadable, and the exit code says the recovery is incomplete.
TEST(Recover, BytesPastTheEndOfACutImageAreUnreadableNotRecovered) {
    TempDir temp;
    const fs::path original = FixtureImage("fat16.img");
    auto listed = RunRavlin({"scan", original.string(), "--report", "-", "-q", "--deleted-only"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    Json victim;
    const Json report = Json::parse(listed.out);
    for (const auto& n : report["partitions"][0]["nodes"])
        if (n["deleted"].get<bool>() && !n["directory"].get<bool>() && n["runs"].size() == 1 &&
            n["size"].get<uint64_t>() >= 8192 && victim.is_null())
            victim = n;
    ASSERT_FALSE(victim.is_null());
    const uint64_t start = victim["runs"][0]["start_sector"].get<uint64_t>() * 512;
    const uint64_t size = victim["size"].get<uint64_t>();
    std::string want(size, '\0');
    {
        std::ifstream in(original, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(start));
        in.read(want.data(), 4096);
    }
    const fs::path cut = temp / "cut.img";
    fs::copy_file(original, cut);
    fs::resize_file(cut, start + 4096);

    auto run = RunRavlin({"scan", cut.string(), "--deep", "--deleted-only", "--recover", (temp / "out").string(), "-q",
                          "--bad-map", (temp / "map").string()});
    EXPECT_EQ(run.code, 74) << run.err;
    // The source was read whole: what could not be read lies past its end, not in it.
    std::ifstream map(temp / "map");
    std::string text((std::istreambuf_iterator<char>(map)), std::istreambuf_iterator<char>());
    char block[64];
    std::snprintf(block, sizeof block, "\n0x00000000  0x%08llX  +\n", static_cast<unsigned long long>(start + 4096));
    EXPECT_NE(text.find(block), std::string::npos) << text;
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find("with unreadable parts"), std::string::npos) << run.err;
    auto recovered = Recovered(temp / "out");
    auto it = recovered.find({0, victim["path"].get<std::string>()});
    ASSERT_NE(it, recovered.end());
    const Json& f = it->second;
    EXPECT_FALSE(f["read_whole"].get<bool>());
    // Written as far as the source reaches; the rest is named as unreadable.
    EXPECT_EQ(f["written_size"], 4096);
    want.resize(4096);
    EXPECT_EQ(f["unreadable"], Json::parse("[{\"offset\": 4096, \"length\": " + std::to_string(size - 4096) + "}]"));
    EXPECT_EQ(f["md5"], Md5Hex(want.data(), want.size()));
    EXPECT_EQ(Md5OfFile(temp / "out" / f["written_to"].get<std::string>()), Md5Hex(want.data(), want.size()));
}

// Partitions go by the labels their volumes give themselves (as fsstat reads them), and the
// library's fixed texts are shown in English, in listings and in recovery folders alike.
TEST(PlainLanguage, VolumeLabelsAndEnglishNamesInListingsAndRecoveryFolders) {
    const std::pair<const char*, const char*> labels[] = {
        {"ntfs.img", "RAVLIN"}, {"fat32.img", "RAVLINFAT32"}, {"fat16.img", "RAVLINFAT16"},
        {"exfat.img", "RAVLINEXFAT"}, {"fat12-floppy.img", "FLOPPY"}};
    for (const auto& [image, label] : labels) {
        auto run = RunRavlin({"scan", FixtureImage(image).string(), "--report", "-", "-q"});
        ASSERT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(Json::parse(run.out)["partitions"][0]["volume_label"], label) << image;
    }
    auto mbr = RunRavlin({"scan", FixtureImage("mbr-disk.img").string(), "--list", "-q"});
    EXPECT_EQ(mbr.out.rfind("[0] primary-ntfs (NTFS, 2,048+106,496 sectors, 52.0 MiB)", 0), 0u) << mbr.out;

    TempDir temp;
    auto deep = RunRavlin({"scan", FixtureImage("ntfs.img").string(), "--deep", "--list", "-q", "--recover",
                           (temp / "out").string()});
    ASSERT_EQ(deep.code, 0) << deep.err;
    std::string folders;
    for (const auto& entry : fs::recursive_directory_iterator(temp / "out")) folders += entry.path().string() + "\n";
    for (const std::string& text : {deep.out, folders}) {
        EXPECT_EQ(text.find(kRecycleBinFolder), std::string::npos) << text;
        EXPECT_EQ(text.find(kLostPathsFolder), std::string::npos) << text;
        // 本地磁盘, 已删除的分区, 重构的文件
        for (const char* fixed : {"\xE6\x9C\xAC\xE5\x9C\xB0\xE7\xA3\x81\xE7\x9B\x98",
                                  "\xE5\xB7\xB2\xE5\x88\xA0\xE9\x99\xA4\xE7\x9A\x84\xE5\x88\x86\xE5\x8C\xBA",
                                  "\xE9\x87\x8D\xE6\x9E\x84\xE7\x9A\x84\xE6\x96\x87\xE4\xBB\xB6"})
            EXPECT_EQ(text.find(fixed), std::string::npos) << text;
    }
    EXPECT_NE(deep.out.find("Recycle Bin/"), std::string::npos) << deep.out;
    EXPECT_NE(deep.out.find("Lost path/"), std::string::npos) << deep.out;
    EXPECT_NE(deep.out.find("Reconstructed files (carved"), std::string::npos) << deep.out;
}

// A quick scan of a disk without file systems finds nothing and says what would.
TEST(QuickScan, FindingNothingPointsToTheDeepScan) {
    TempDir temp;
    fs::path blank = temp / "blank.img";
    std::ofstream(blank).close();
    fs::resize_file(blank, 4 << 20);
    auto run = RunRavlin({"scan", blank.string(), "--report", (temp / "r.json").string()});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("quick scan finished"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--deep"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadJson(temp / "r.json")["scan"]["completed"].get<bool>());
    auto refused = RunRavlin({"scan", blank.string(), "--kind", "free", "-q"});
    EXPECT_EQ(refused.code, 64);
    EXPECT_NE(refused.err.find("--deep"), std::string::npos) << refused.err;
}

TEST(Selection, TypesAndSizesNarrowTheListing) {
    std::string image = FixtureImage("sample-disk.img").string();
    auto all = RunRavlin({"scan", image, "--list", "-q"});
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_NE(all.out.find("invoice.pdf"), std::string::npos);
    EXPECT_NE(all.out.find("IMG_0999.JPG  15.4 KiB  2019-01-01 00:21:40 UTC  [deleted]"), std::string::npos) << all.out;
    auto jpg = RunRavlin({"scan", image, "--list", "--types", "jpg", "--min-size", "10k", "-q"});
    ASSERT_EQ(jpg.code, 0) << jpg.err;
    EXPECT_EQ(jpg.out.find("invoice.pdf"), std::string::npos) << jpg.out;
    EXPECT_NE(jpg.out.find("IMG_1000.JPG"), std::string::npos) << jpg.out;
    EXPECT_EQ(jpg.out.find("IMG_2000.JPG"), std::string::npos) << "5 KiB is below --min-size";
    auto docs = RunRavlin({"scan", image, "--report", "-", "--categories", "documents", "--deleted-only", "-q"});
    ASSERT_EQ(docs.code, 0) << docs.err;
    Json report = Json::parse(docs.out);
    std::set<std::string> files;
    for (const auto& p : report["partitions"])
        for (const auto& n : p["nodes"])
            if (!n["directory"].get<bool>()) files.insert(n["path"]);
    EXPECT_EQ(files, std::set<std::string>{"Documents/old draft.docx"});
}

namespace {
// Files of a json report: (partition index, path).
std::set<std::pair<int, std::string>> ReportFiles(const std::string& out) {
    std::set<std::pair<int, std::string>> files;
    const Json report = Json::parse(out);
    for (const auto& p : report["partitions"])
        for (const auto& n : p["nodes"])
            if (!n["directory"].get<bool>()) files.insert({p["index"].get<int>(), n["path"].get<std::string>()});
    return files;
}
}  // namespace

// Partitions, paths inside them (any case, as the volumes compare them), patterns and ids
// narrow what is listed, reported and recovered; a selection that matches nothing says so.
TEST(Selection, PartitionsPathsPatternsAndIds) {
    const std::string disk = FixtureImage("mbr-disk.img").string();
    auto listed = RunRavlin({"partitions", disk});
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 5) << listed.out;
    EXPECT_EQ(listed.out.rfind("[0] primary-ntfs (NTFS, 2,048+106,496 sectors, 52.0 MiB), 6 files", 0), 0u) << listed.out;
    auto json = RunRavlin({"partitions", disk, "--json"});
    ASSERT_EQ(json.code, 0) << json.err;
    std::vector<std::string> kinds;
    for (const auto& p : Json::parse(json.out)) kinds.push_back(p["fs"]);
    EXPECT_EQ(kinds, (std::vector<std::string>{"NTFS", "FAT32", "FAT16", "exFAT", "NTFS"}));

    auto second = RunRavlin({"scan", disk, "--partition", "1", "--only", "*.JPG", "--report", "-", "-q"});
    ASSERT_EQ(second.code, 0) << second.err;
    auto files = ReportFiles(second.out);
    ASSERT_FALSE(files.empty());
    for (const auto& [part, path] : files) {
        EXPECT_EQ(part, 1);
        EXPECT_EQ(ravlin::cli::AsciiLower(path).substr(path.size() - 4), ".jpg") << path;
    }

    const std::string fat16 = FixtureImage("fat16.img").string();
    auto nested = RunRavlin({"scan", fat16, "--preview-path", "NESTED/A", "--report", "-", "-q"});
    ASSERT_EQ(nested.code, 0) << nested.err;
    EXPECT_EQ(ReportFiles(nested.out), (std::set<std::pair<int, std::string>>{{0, "Nested/a/b/c/deep.txt"}}));

    // One file by its id, recovered alone.
    auto all = Json::parse(RunRavlin({"scan", fat16, "--report", "-", "-q"}).out);
    Json readme;
    for (const auto& n : all["partitions"][0]["nodes"])
        if (n["path"] == "readme.txt") readme = n;
    ASSERT_FALSE(readme.is_null());
    TempDir temp;
    auto one = RunRavlin({"scan", fat16, "--id", std::to_string(readme["id"].get<uint32_t>()), "--recover",
                          (temp / "one").string(), "-q"});
    ASSERT_EQ(one.code, 0) << one.err;
    auto recovered = Recovered(temp / "one");
    ASSERT_EQ(recovered.size(), 1u);
    EXPECT_EQ(recovered.begin()->first.second, "readme.txt");

    // The closing line counts what was chosen.
    auto counted = RunRavlin({"scan", fat16, "--only", "nested"});
    EXPECT_NE(counted.err.find("quick scan finished after 0:00: 1 file found"), std::string::npos) << counted.err;

    auto none = RunRavlin({"scan", fat16, "--preview-path", "Users/alice/Pictures", "--list", "-q"});
    EXPECT_EQ(none.code, 0) << none.err;
    EXPECT_NE(none.err.find("nothing matches --preview-path Users/alice/Pictures"), std::string::npos) << none.err;
}

// A second recovery into the same folder skips what the first recovered whole and is still
// there unchanged, and writes again what was changed since.
TEST(Recover, SkipExistingKeepsWholeEarlierCopies) {
    TempDir temp;
    const std::string image = FixtureImage("fat16.img").string();
    const fs::path out = temp / "out";
    ASSERT_EQ(RunRavlin({"scan", image, "--recover", out.string(), "-q"}).code, 0);
    auto first = Recovered(out);
    ASSERT_GT(first.size(), 10u);
    const Json& readme = first.at({0, "readme.txt"});
    std::ofstream(out / readme["written_to"].get<std::string>(), std::ios::app) << "changed";

    size_t whole = 0;  // deleted files whose clusters were partly reused were not read whole
    for (const auto& [key, f] : first) whole += f["read_whole"].get<bool>();
    ASSERT_GT(whole, 10u);

    auto again = RunRavlin({"scan", image, "--recover", out.string(), "--skip-existing"});
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.err.find(std::to_string(whole - 1) + " recovered before and skipped"), std::string::npos)
        << again.err;
    Json list = ReadJson(out / "recovered.json")["files"];
    EXPECT_EQ(list.size(), first.size() + 1 + (first.size() - whole));
    bool rewritten = false;
    for (size_t i = first.size(); i < list.size(); ++i) {
        EXPECT_FALSE(list[i]["read_whole"].get<bool>() && list[i]["path"] != "readme.txt") << list[i]["path"];
        rewritten = rewritten || list[i]["written_to"] == "0_RAVLINFAT16/readme (1).txt";
    }
    EXPECT_TRUE(rewritten);
    EXPECT_EQ(Md5OfFile(out / "0_RAVLINFAT16/readme (1).txt"), readme["md5"]);
}

TEST(Failures, EachGivesOneLineOnStderrAndItsExitCode) {
    TempDir temp;
    std::string image = FixtureImage("fat16.img").string();
    std::ofstream(temp / "file") << "x";
    ASSERT_EQ(::mkfifo((temp / "pipe").c_str(), 0600), 0);  // no writer: opening it must not wait
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    } cases[] = {
        {{"scan", (temp / "missing.img").string()}, 66, "No such file or directory"},
        {{"scan", temp.Path().string()}, 66, "Is a directory"},
        {{"scan", "/proc/self/mem"}, 66, "cannot read"},
        {{"scan", (temp / "file").string()}, 66, "smaller than one sector"},
        {{"scan", (temp / "pipe").string()}, 66, "a pipe, not a disk or an image file"},
        {{"scan", "/dev/zero", "--count", "2048"}, 66, "a character device, not a disk or an image file"},
        {{"scan", "\\\\.\\PhysicalDrive99"}, 66, "no such device"},
        {{"scan", image, "--bogus"}, 64, "--bogus"},
        {{"scan"}, 64, "SOURCE"},
        {{"scan", image, "--mode", "deep"}, 64, "--mode"},
        {{"scan", image, "--tz", "Mars/Olympus"}, 64, "unknown time zone"},
        {{"scan", image, "--tz", "../../etc/passwd"}, 64, "unknown time zone"},
        {{"scan", image, "--types", "nosuchtype"}, 64, "nosuchtype"},
        {{"scan", image, "--min-size", "12Q"}, 64, "--min-size"},
        {{"scan", image, "--start", "999999999"}, 64, "--start"},
        {{"scan", image, "--recover", (temp / "file").string()}, 73, "cannot create"},
        {{"scan", image, "--report", (temp / "no/such/dir/r.json").string()}, 73, "cannot create"},
        {{"scan", image, "--report", image}, 73, "refusing"},
        {{"frobnicate"}, 64, "frobnicate"},
    };
    for (const auto& c : cases) {
        auto run = RunRavlin(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(run.code, c.code) << shown << run.err;
        auto lines = run.ErrLines();
        ASSERT_EQ(lines.size(), 1u) << shown << run.err;
        EXPECT_NE(lines[0].find(c.says), std::string::npos) << shown << lines[0];
        EXPECT_EQ(lines[0].rfind("ravlin: ", 0), 0u) << lines[0];
        EXPECT_TRUE(run.out.empty()) << shown;
    }
    // The refused report left the image alone.
    EXPECT_GT(fs::file_size(image), 1u << 20);
}

// The host runs from any folder: files there named as the libraries it needs are never loaded
// in their place (a folder a root shell stands in may hold anything).
TEST(Failures, NoLibraryIsTakenFromTheCurrentFolder) {
    TempDir temp;
    for (const char* name : {"libz.so.1", "libstdc++.so.6", "libgcc_s.so.1", "libc.so.6", "libm.so.6", "libravlin.so.0"})
        std::ofstream(temp / name) << "not a library";
    auto run = RunRavlin({"scan", FixtureImage("fat16.img").string(), "-q"}, temp.Path().string());
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
}

// A report the target cannot take whole (here a file-size limit, as a full disk would) fails
// the run with 74, leaves no temporary file behind and the older report as it was.
TEST(Failures, AReportThatCannotBeWrittenWholeIsNoReport) {
    TempDir temp;
    const std::string image = FixtureImage("ntfs.img").string();
    const std::string report = (temp / "r.json").string();
    { std::ofstream(report) << "an older report"; }
    // 64 KiB of file at most; the report of this volume is far larger.
    auto run = RunProgram("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 128; exec env TZ=UTC \"$0\" \"$@\"",
                                      RAVLIN_CLI_PATH, "scan", image, "--report", report, "-q"});
    EXPECT_EQ(run.code, 74) << run.err;
    EXPECT_NE(run.err.find("cannot write the report"), std::string::npos) << run.err;
    std::ifstream older(report);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(older)), {}), "an older report");
    for (const auto& entry : fs::directory_iterator(temp.Path()))
        EXPECT_EQ(entry.path(), fs::path(report)) << "left behind";
    // Without the limit the same run writes it.
    auto whole = RunRavlin({"scan", image, "--report", report, "-q"});
    EXPECT_EQ(whole.code, 0) << whole.err;
    EXPECT_GT(fs::file_size(report), 64u << 10);
}

// Ctrl-C, a closed terminal or a service manager's stop: the scan stops and its report is whole,
// written over the old one only once complete.
TEST(Interrupt, SigintAndSigtermStopTheScanAndLeaveAWholeReport) {
    TempDir temp;
    fs::path big = temp / "big.img";
    fs::copy_file(FixtureImage("ntfs.img"), big);
    fs::resize_file(big, uint64_t{4} << 40);  // a sparse 4 TiB disk: minutes to read
    for (int sig : {SIGINT, SIGTERM}) {
        fs::path report = temp / ("r" + std::to_string(sig) + ".json");
        { std::ofstream(report) << "an older report"; }
        // Interrupted once the first progress line (after five seconds) shows the scan under way.
        auto run = RunProgram(RAVLIN_CLI_PATH, {"scan", big.string(), "--deep", "--report", report.string()}, "",
                              std::chrono::seconds(120), "files", sig);
        EXPECT_EQ(run.code, 130) << run.err;
        EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
        Json parsed = ReadJson(report);
        EXPECT_TRUE(parsed["scan"]["interrupted"].get<bool>());
        EXPECT_FALSE(parsed["scan"]["completed"].get<bool>());
        EXPECT_LT(parsed["scan"]["scanned_sectors"].get<uint64_t>(), parsed["scan"]["total_sectors"].get<uint64_t>());
        ASSERT_GE(parsed["partitions"].size(), 1u);
        EXPECT_EQ(parsed["partitions"][0]["fs"], "NTFS");
        EXPECT_GT(parsed["partitions"][0]["nodes"].size(), 100u);
        EXPECT_GT(parsed["summary"]["files"].get<uint64_t>(), 2000u);
    }
    for (const auto& entry : fs::directory_iterator(temp.Path()))
        EXPECT_EQ(entry.path().filename().string().find(".partial-"), std::string::npos) << entry.path();
}

// A source that shrinks under the scan (a card pulled out, a detached loop device) is a source
// that went away: exit 74, said in one line, and a whole report of what was found before.
TEST(Interrupt, ASourceThatShrinksUnderTheScanWentAway) {
    TempDir temp;
    fs::path big = temp / "big.img";
    fs::copy_file(FixtureImage("ntfs.img"), big);
    fs::resize_file(big, uint64_t{4} << 40);
    fs::path report = temp / "r.json";
    RunResult run;
    std::thread scan([&] {
        run = RunProgram(RAVLIN_CLI_PATH, {"scan", big.string(), "--deep", "--report", report.string()}, "",
                         std::chrono::seconds(120));
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the raw pass is well past the volume by then
    fs::resize_file(big, fs::file_size(FixtureImage("ntfs.img")));
    scan.join();
    EXPECT_EQ(run.code, 74) << run.err;
    EXPECT_NE(run.err.find("the source went away"), std::string::npos) << run.err;
    Json parsed = ReadJson(report);
    EXPECT_FALSE(parsed["scan"]["completed"].get<bool>());
    EXPECT_FALSE(parsed["scan"]["interrupted"].get<bool>());
    ASSERT_GE(parsed["partitions"].size(), 1u);
    EXPECT_EQ(parsed["partitions"][0]["fs"], "NTFS");
    EXPECT_GT(parsed["summary"]["files"].get<uint64_t>(), 2000u);
}

TEST(Demo, ScansTheSampleDiskAndRecoversItsDeletedFiles) {
    TempDir temp;
    Manifest manifest = LoadManifest("sample-disk.img");
    auto run = RunRavlin({"demo"}, temp.Path().string());
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("Photos/"), std::string::npos);
    EXPECT_NE(run.err.find((temp / "recovered").string()), std::string::npos) << run.err;
    auto recovered = Recovered(temp / "recovered");
    size_t deleted = 0;
    for (size_t p = 0; p < manifest.partitions.size(); ++p) {
        for (const auto& e : manifest.partitions[p].entries) {
            if (!e.deleted || e.directory) continue;
            ++deleted;
            auto it = recovered.find({static_cast<int>(p), HostPath(manifest.partitions[p], e)});
            ASSERT_NE(it, recovered.end()) << e.path;
            EXPECT_EQ(Md5OfFile(temp / "recovered" / it->second["written_to"].get<std::string>()), ExpectedMd5(e));
        }
    }
    EXPECT_EQ(recovered.size(), deleted);
}

// A volume quick-formatted over a thousand files: a deep scan lists the new, empty volume and,
// rebuilt from the old MFT records it found in raw sectors, the old one as a deleted partition
// whose files come back byte for byte.
TEST(Formatted, AQuickFormattedVolumesFilesAreRecovered) {
    auto manifest = Json::parse(std::ifstream(std::string(RAVLIN_FIXTURE_DIR) + "/ntfs-quickformat.img.json"));
    TempDir temp;
    fs::path out = temp / "out";
    auto run = RunRavlin({"scan", FixtureImage("ntfs-quickformat.img").string(), "--deep", "--recover", out.string(), "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    std::map<std::string, std::string> md5;  // path in the rebuilt volume -> MD5 written
    for (const auto& [key, f] : Recovered(out))
        if (f["partition_name"].get<std::string>() == "Deleted partition 1")
            md5[key.second] = f["md5"].get<std::string>();
    size_t same = 0;
    const auto& files = manifest["files_before_format"];
    for (const auto& f : files) {
        auto it = md5.find(f["path"].get<std::string>());
        same += it != md5.end() && it->second == f["md5"].get<std::string>();
    }
    EXPECT_GE(same, files.size() * 95 / 100);  // the new volume's metadata overwrote a few
}
