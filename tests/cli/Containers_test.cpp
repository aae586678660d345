// Evidence containers as sources: an EWF image, in one compressed segment or in several, scans
// as the raw image it was acquired from; a set with a segment missing is refused at open.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "RunRavlin.h"
#include "ravlin/Ravlin.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin::test;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

Json RecoveredList(const fs::path& folder) {
    std::ifstream in(folder / "recovered.json");
    return Json::parse(in, nullptr, false);
}

Json RecoveredEntry(const fs::path& folder, const std::string& path) {
    const Json list = RecoveredList(folder);
    if (!list.is_discarded())
        for (const auto& file : list["files"])
            if (file["path"] == path) return file;
    return nullptr;
}

std::map<std::string, std::string> Recovered(const fs::path& folder) {
    const Json list = RecoveredList(folder);
    std::map<std::string, std::string> out;
    if (!list.is_discarded())
        for (const auto& file : list["files"]) out[file["written_to"]] = file["md5"];
    return out;
}

// The segments of the split FAT16 image, decompressed side by side.
fs::path SplitImage() {
    fs::path first;
    for (const char* segment : {"fat16-split.E01", "fat16-split.E02", "fat16-split.E03", "fat16-split.E04",
                                "fat16-split.E05"}) {
        fs::path path = FixtureImage(segment);
        if (first.empty()) first = path;
    }
    return first;
}

// Whether this build reads EWF images; one that does not says so and refuses them.
bool ReadsEwf(const fs::path& ewf) {
    ravlin::SourceDescription description;
    ravlin::DescribeSource(ewf.wstring(), description);
    EXPECT_EQ(description.container, L"EWF (E01)");
    if (description.supported) return true;
    auto run = RunRavlin({"scan", ewf.string()});
    EXPECT_EQ(run.code, 66);
    EXPECT_NE(run.err.find("this build of ravlin cannot read"), std::string::npos) << run.err;
    EXPECT_NE(RunRavlin({"--version"}).out.find("containers: none"), std::string::npos);
    return false;
}

}  // namespace

TEST(Containers, AnEwfImageScansAsTheImageItWasAcquiredFrom) {
    TempDir temp;
    const fs::path ewf = fs::path(RAVLIN_FIXTURE_DIR) / "sample-disk.E01";
    if (!ReadsEwf(ewf)) return;
    EXPECT_NE(RunRavlin({"--version"}).out.find("containers: EWF (E01)"), std::string::npos);
    const fs::path raw = FixtureImage("sample-disk.img");
    auto fromEwf = RunRavlin({"scan", ewf.string(), "--deep", "--recover", (temp / "e").string(), "--list", "-q"});
    auto fromRaw = RunRavlin({"scan", raw.string(), "--deep", "--recover", (temp / "r").string(), "--list", "-q"});
    ASSERT_EQ(fromEwf.code, 0) << fromEwf.err;
    ASSERT_EQ(fromRaw.code, 0) << fromRaw.err;
    EXPECT_EQ(fromEwf.out, fromRaw.out);
    const auto recovered = Recovered(temp / "e");
    EXPECT_GT(recovered.size(), 10u);
    EXPECT_EQ(recovered, Recovered(temp / "r"));

    // The report names the container and what it records of the acquisition; its stored MD5
    // is the raw image's.
    auto report = RunRavlin({"scan", ewf.string(), "--report", "-", "-q"});
    ASSERT_EQ(report.code, 0) << report.err;
    const Json source = Json::parse(report.out)["source"];
    EXPECT_EQ(source["container"], "EWF (E01)");
    EXPECT_EQ(source["size_bytes"], fs::file_size(raw));
    EXPECT_EQ(source["acquisition"]["case_number"], "case 7");
    EXPECT_EQ(source["acquisition"]["examiner_name"], "A. Examiner");
    EXPECT_EQ(source["acquisition"]["md5"], Md5OfFile(raw));
    auto dfxml = RunRavlin({"scan", ewf.string(), "--report", "-", "--format", "dfxml", "-q"});
    EXPECT_NE(dfxml.out.find("<!-- container: EWF (E01); case_number: case 7;"), std::string::npos) << dfxml.out.substr(0, 800);
    auto plain = RunRavlin({"scan", raw.string(), "--report", "-", "-q"});
    EXPECT_EQ(Json::parse(plain.out)["source"]["container"], "raw");
    EXPECT_TRUE(Json::parse(plain.out)["source"]["acquisition"].is_null());

    // In five uncompressed segments: found from the first one's name.
    const fs::path split = SplitImage();
    auto segments = RunRavlin({"scan", split.string(), "--list"});
    auto whole = RunRavlin({"scan", FixtureImage("fat16.img").string(), "--list"});
    ASSERT_EQ(segments.code, 0) << segments.err;
    EXPECT_EQ(segments.out, whole.out);
    EXPECT_NE(segments.out.find("FAT16"), std::string::npos);
}

// VHD images, dynamic and fixed, and a VHDX, all made by qemu-img from the sample disk.
TEST(Containers, VirtualDisksScanAsTheImageTheyWereMadeFrom) {
    TempDir temp;
    const fs::path raw = FixtureImage("sample-disk.img");
    auto fromRaw = RunRavlin({"scan", raw.string(), "--deep", "--recover", (temp / "raw").string(), "--list", "-q"});
    ASSERT_EQ(fromRaw.code, 0) << fromRaw.err;
    const auto expected = Recovered(temp / "raw");
    for (const char* name : {"sample-disk.vhd", "sample-disk-fixed.vhd", "sample-disk.vhdx"}) {
        const fs::path image = FixtureImage(name);
        ravlin::SourceDescription description;
        const bool opened = ravlin::DescribeSource(image.wstring(), description);
        EXPECT_EQ(description.container, L"VHD/VHDX") << name;
        if (!description.supported) continue;
        ASSERT_TRUE(opened) << name;
        // qemu-img rounds a VHD's media up to whole cylinders of its geometry.
        EXPECT_GE(description.sizeBytes, fs::file_size(raw)) << name;
        EXPECT_LT(description.sizeBytes, fs::file_size(raw) + (1 << 20)) << name;
        const fs::path out = temp / name;
        auto run = RunRavlin({"scan", image.string(), "--deep", "--recover", out.string(), "--list", "-q"});
        ASSERT_EQ(run.code, 0) << name << run.err;
        EXPECT_EQ(run.out, fromRaw.out) << name;
        EXPECT_EQ(Recovered(out), expected) << name;
    }
    // A raw image whose last sector merely starts with the VHD cookie stays a raw image.
    const fs::path cookie = temp / "cookie.img";
    fs::copy_file(raw, cookie);
    {
        std::fstream out(cookie, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(fs::file_size(raw) - 512));
        out.write("conectix", 8);
    }
    ravlin::SourceDescription description;
    ASSERT_TRUE(ravlin::DescribeSource(cookie.wstring(), description));
    EXPECT_EQ(description.container, L"raw");
    EXPECT_EQ(description.sizeBytes, fs::file_size(raw));
}

namespace {

// Compares a source's media, read through ReadSourceMedia, with the bytes it should hold.
struct MediaCheck {
    const std::string* expected = nullptr;
    uint64_t bytes = 0;
    uint64_t differing = 0;
    bool allRead = true;
};

bool CheckPiece(unsigned long long offset, const unsigned char* data, size_t length, bool read, void* context) {
    auto& check = *static_cast<MediaCheck*>(context);
    check.allRead = check.allRead && read;
    for (size_t i = 0; i < length; ++i) {
        const size_t at = offset + i;
        const unsigned char want = at < check.expected->size() ? static_cast<unsigned char>((*check.expected)[at]) : 0;
        check.differing += data[i] != want;
    }
    check.bytes += length;
    return true;
}

}  // namespace

// Differencing VHDs (tools/make-differencing-vhd) read their own sectors from themselves and
// every other one from their parent, found beside them by the name they record, through a
// chain of two. A parent missing, another image in the parent's place, or a chain that loops
// refuses the image with one line that says which.
TEST(Containers, ADifferencingVhdReadsThroughItsParentsAndIsRefusedWithoutThem) {
    TempDir temp;
    ravlin::SourceDescription description;
    ravlin::DescribeSource(FixtureImage("sample-disk.vhd").wstring(), description);
    if (!description.supported) return;
    const fs::path folder = temp / "disks";
    fs::create_directories(folder);
    for (const char* name : {"sample-disk.vhd", "differencing.vhd", "differencing-2.vhd", "differencing-loop.vhd"})
        fs::copy_file(FixtureImage(name), folder / name);

    std::string expected = ReadAll(FixtureImage("sample-disk.img"));
    expected.resize(136339456, '\0');  // the VHD's media, rounded up to its geometry
    expected.replace(1048576, 65536, 65536, '\x5a');
    expected.replace(10485760, 4096, 4096, '\xa5');
    std::string expectedChild = expected;
    expected.replace(1081344, 8192, 8192, '\x3c');
    for (const auto& [name, media] : {std::pair{"differencing.vhd", &expectedChild}, std::pair{"differencing-2.vhd", &expected}}) {
        ASSERT_TRUE(ravlin::DescribeSource((folder / name).wstring(), description)) << name;
        EXPECT_EQ(description.sizeBytes, media->size());
        MediaCheck check{.expected = media};
        EXPECT_TRUE(ravlin::ReadSourceMedia((folder / name).wstring(), CheckPiece, &check)) << name;
        EXPECT_EQ(check.bytes, media->size()) << name;
        EXPECT_EQ(check.differing, 0u) << name;
        EXPECT_TRUE(check.allRead) << name;
    }
    auto scan = RunRavlin({"scan", (folder / "differencing-2.vhd").string(), "--deep", "-q", "--report", "-"});
    EXPECT_EQ(scan.code, 0) << scan.err;
    EXPECT_EQ(Json::parse(scan.out)["source"]["container"], "VHD/VHDX");

    auto refused = [&](const fs::path& image, const std::string& why) {
        auto run = RunRavlin({"scan", image.string(), "--list"});
        EXPECT_EQ(run.code, 66) << image << run.err;
        ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    };
    refused(folder / "differencing-loop.vhd", "its chain of parent images loops");
    const fs::path alone = temp / "alone";
    fs::create_directories(alone);
    fs::copy_file(folder / "differencing.vhd", alone / "differencing.vhd");
    refused(alone / "differencing.vhd", "its parent image sample-disk.vhd is not beside it");
    // Another VHD under the parent's name: the fixed image of the same disk, with its own identifier.
    fs::copy_file(FixtureImage("sample-disk-fixed.vhd"), alone / "sample-disk.vhd");
    refused(alone / "differencing.vhd", "its parent image sample-disk.vhd is not the one it was made from");
}

// VMDK images made by qemu-img: a monolithic sparse one, and a flat one (its descriptor, with
// a copy of the raw image as its extent). A descriptor whose extent lies outside its folder is
// refused, whatever that file holds.
TEST(Containers, VmdkImagesScanAsTheImageTheyWereMadeFromAndStayInTheirFolder) {
    TempDir temp;
    const fs::path raw = FixtureImage("sample-disk.img");
    const fs::path sparse = FixtureImage("sample-disk.vmdk");
    ravlin::SourceDescription description;
    ravlin::DescribeSource(sparse.wstring(), description);
    EXPECT_EQ(description.container, L"VMDK");
    if (!description.supported) return;
    const fs::path flat = temp / "flat" / "sample-disk-flat.vmdk";
    fs::create_directories(flat.parent_path());
    fs::copy_file(fs::path(RAVLIN_FIXTURE_DIR) / "sample-disk-flat.vmdk", flat);
    fs::copy_file(raw, flat.parent_path() / "sample-disk-flat-flat.vmdk");
    auto fromRaw = RunRavlin({"scan", raw.string(), "--deep", "--recover", (temp / "raw").string(), "--list", "-q"});
    ASSERT_EQ(fromRaw.code, 0) << fromRaw.err;
    for (const fs::path& image : {sparse, flat}) {
        const fs::path out = temp / ("out-" + image.filename().string());
        auto run = RunRavlin({"scan", image.string(), "--deep", "--recover", out.string(), "--list", "-q"});
        ASSERT_EQ(run.code, 0) << image << run.err;
        EXPECT_EQ(run.out, fromRaw.out) << image;
        EXPECT_EQ(Recovered(out), Recovered(temp / "raw")) << image;
    }
    const std::string descriptor = ReadAll(flat);
    for (const std::string& escape : {std::string("../sample-disk-flat-flat.vmdk"),
                                      flat.parent_path().string() + "/sample-disk-flat-flat.vmdk"}) {
        std::string evil = descriptor;
        evil.replace(evil.find("\"sample-disk-flat-flat.vmdk\""), 28, "\"" + escape + "\"");
        fs::create_directories(temp / "evil");
        { std::ofstream(temp / "evil" / "evil.vmdk", std::ios::trunc) << evil; }
        auto run = RunRavlin({"scan", (temp / "evil" / "evil.vmdk").string(), "--list"});
        EXPECT_EQ(run.code, 66) << escape << run.err;
        EXPECT_NE(run.err.find("lie outside its folder"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
}

// A VMDK in 2 GiB sparse extents (qemu-img, twoGbMaxExtentSparse) whose one partition, the
// sample disk's NTFS volume, straddles the two extents: its files are those of the volume.
TEST(Containers, AVolumeAcrossTwoSparseExtentsReadsAsOne) {
    TempDir temp;
    ravlin::SourceDescription description;
    ravlin::DescribeSource(FixtureImage("sample-disk.vmdk").wstring(), description);
    if (!description.supported) return;
    const fs::path folder = temp / "split";
    fs::create_directories(folder);
    fs::copy_file(fs::path(RAVLIN_FIXTURE_DIR) / "sample-disk-split.vmdk", folder / "sample-disk-split.vmdk");
    for (const char* extent : {"sample-disk-split-s001.vmdk", "sample-disk-split-s002.vmdk"})
        fs::copy_file(FixtureImage(extent), folder / extent);
    const fs::path image = folder / "sample-disk-split.vmdk";
    ASSERT_TRUE(ravlin::DescribeSource(image.wstring(), description));
    EXPECT_EQ(description.sizeBytes, ((2048 - 40) * 2048 + 131072) * 512ull + (1 << 20));
    auto run = RunRavlin({"scan", image.string(), "--list", "--recover", (temp / "v").string(), "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("NTFS, 4,112,384+131,072 sectors"), std::string::npos) << run.out;
    auto raw = RunRavlin({"scan", FixtureImage("sample-disk.img").string(), "--partition", "0", "--recover",
                          (temp / "r").string(), "-q"});
    ASSERT_EQ(raw.code, 0) << raw.err;
    const auto expected = Recovered(temp / "r");
    EXPECT_GE(expected.size(), 8u);
    EXPECT_EQ(Recovered(temp / "v"), expected);
}

TEST(Containers, ASegmentSetWithAGapIsRefusedAtOpen) {
    TempDir temp;
    const fs::path first = SplitImage();
    if (!ReadsEwf(first)) return;
    for (const char* segment : {"E01", "E02", "E04", "E05"})
        fs::copy_file(first.parent_path() / ("fat16-split." + std::string(segment)), temp / ("gap." + std::string(segment)));
    auto run = RunRavlin({"scan", (temp / "gap.E01").string(), "--list"});
    EXPECT_EQ(run.code, 66) << run.err;
    auto lines = run.ErrLines();
    ASSERT_EQ(lines.size(), 1u) << run.err;
    EXPECT_NE(lines[0].find("a segment of the EWF (E01) image is missing or damaged"), std::string::npos) << lines[0];
    EXPECT_TRUE(run.out.empty());

    // A segment cut short is refused the same way.
    fs::copy_file(first.parent_path() / "fat16-split.E03", temp / "gap.E03");
    fs::resize_file(temp / "gap.E03", fs::file_size(temp / "gap.E03") / 2);
    auto cut = RunRavlin({"scan", (temp / "gap.E01").string(), "--deep"});
    EXPECT_EQ(cut.code, 66) << cut.err;
    EXPECT_NE(cut.err.find("a segment of the EWF (E01) image is missing or damaged"), std::string::npos) << cut.err;

    // An EWF2 (Ex01) image, which Debian's libewf does not read, is named and refused.
    const fs::path ex01 = temp / "evidence.Ex01";
    {
        std::ofstream out(ex01, std::ios::binary);
        out.write("EVF2\r\n\x81\0", 8);
        out << std::string(1 << 16, 'x');
    }
    auto v2 = RunRavlin({"scan", ex01.string()});
    EXPECT_EQ(v2.code, 66) << v2.err;
    EXPECT_NE(v2.err.find("cannot read EWF2 (Ex01) images"), std::string::npos) << v2.err;
}

// --verify hashes the image's media while the scan runs. A byte flipped inside an uncompressed
// chunk fails that chunk's checksum: the chunk reads as unreadable (libewf would hand out its
// bytes as good), the stored MD5 is not confirmed (exit 65), the file whose data lies there is
// not written as recovered, and every other live file is as acquired.
TEST(Containers, VerifyConfirmsAGoodImageAndAChunkWithAFlippedByteReadsAsUnreadable) {
    TempDir temp;
    const fs::path good = fs::path(RAVLIN_FIXTURE_DIR) / "sample-disk.E01";
    if (!ReadsEwf(good)) return;
    auto verified = RunRavlin({"scan", good.string(), "--verify", "--report", (temp / "good.json").string()});
    ASSERT_EQ(verified.code, 0) << verified.err;
    const std::string rawMd5 = Md5OfFile(FixtureImage("sample-disk.img"));
    EXPECT_NE(verified.err.find("the image's data matches its stored MD5 (" + rawMd5 + ")"), std::string::npos)
        << verified.err;
    std::ifstream goodReport(temp / "good.json");
    const Json verification = Json::parse(goodReport)["source"]["verification"];
    EXPECT_EQ(verification["matched"], true);
    EXPECT_EQ(verification["computed_md5"], rawMd5);
    EXPECT_EQ(verification["unreadable_bytes"], 0);
    auto raw = RunRavlin({"scan", FixtureImage("sample-disk.img").string(), "--verify"});
    EXPECT_EQ(raw.code, 64);
    EXPECT_NE(raw.err.find("stores none"), std::string::npos) << raw.err;

    // The FAT16 fixture's last live file: its chunk of 64 sectors, past every live folder, is
    // found in the segments (stored verbatim, uncompressed) and one byte of it is flipped.
    const fs::path image = FixtureImage("fat16.img");
    auto listed = RunRavlin({"scan", image.string(), "--report", "-", "-q"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    const std::string media = ReadAll(image);
    std::string victim;
    uint64_t chunk = 0;
    const Json report = Json::parse(listed.out);
    const Json& nodes = report["partitions"][0]["nodes"];
    for (const auto& node : nodes)
        if (!node["deleted"] && !node["directory"] && node["first_sector"].get<uint64_t>() / 64 >= chunk)
            victim = node["path"], chunk = node["first_sector"].get<uint64_t>() / 64;
    for (const auto& node : nodes) {
        if (!node["deleted"] && node["directory"]) {
            ASSERT_LT(node["first_sector"].get<uint64_t>() / 64, chunk) << node["path"];
        }
    }
    ASSERT_FALSE(victim.empty());
    const std::string chunkBytes = media.substr(chunk * 32768, 32768);
    ASSERT_NE(chunkBytes, std::string(32768, '\0'));
    bool flipped = false;
    for (const char* name : {"E01", "E02", "E03", "E04", "E05"}) {
        const fs::path segment = temp / (std::string("flip.") + name);
        fs::copy_file(SplitImage().parent_path() / (std::string("fat16-split.") + name), segment);
        std::string bytes = ReadAll(segment);
        const size_t at = bytes.find(chunkBytes);
        if (at == std::string::npos || flipped) continue;
        bytes[at + 1000] = static_cast<char>(bytes[at + 1000] ^ 0x5A);
        std::ofstream(segment, std::ios::binary | std::ios::trunc) << bytes;
        flipped = true;
    }
    ASSERT_TRUE(flipped);

    auto run = RunRavlin({"scan", (temp / "flip.E01").string(), "--verify", "--report", (temp / "flip.json").string()});
    EXPECT_EQ(run.code, 65) << run.err;
    EXPECT_NE(run.err.find("does NOT match its stored MD5: 32768 bytes could not be read"), std::string::npos)
        << run.err;
    std::ifstream flipReport(temp / "flip.json");
    const Json mismatch = Json::parse(flipReport)["source"]["verification"];
    EXPECT_EQ(mismatch["matched"], false);
    EXPECT_EQ(mismatch["unreadable_bytes"], 32768);

    // Recovery: the files of that chunk are not written as recovered (nothing of them reads);
    // every other live file is the acquired one, whole.
    auto recovery = RunRavlin({"scan", (temp / "flip.E01").string(), "--recover", (temp / "flip").string()});
    EXPECT_EQ(recovery.code, 74) << recovery.err;
    EXPECT_NE(recovery.err.find("could not be read at all"), std::string::npos) << recovery.err;
    auto whole = RunRavlin({"scan", image.string(), "--recover", (temp / "whole").string(), "-q"});
    ASSERT_EQ(whole.code, 0) << whole.err;
    EXPECT_TRUE(RecoveredEntry(temp / "flip", victim).is_null()) << victim;
    EXPECT_FALSE(RecoveredEntry(temp / "whole", victim).is_null()) << victim;
    const auto expected = Recovered(temp / "whole");
    const Json list = RecoveredList(temp / "flip");
    size_t live = 0;
    for (const auto& file : list["files"]) {
        if (file["deleted"]) continue;
        ++live;
        EXPECT_EQ(expected.at(file["written_to"]), file["md5"]) << file.dump();
        EXPECT_EQ(file["read_whole"], true) << file.dump();
    }
    const Json wholeList = RecoveredList(temp / "whole");
    const auto wholeLive = std::count_if(wholeList["files"].begin(), wholeList["files"].end(),
                                         [](const Json& file) { return !file["deleted"]; });
    EXPECT_EQ(live + 1, static_cast<size_t>(wholeLive));  // all but the victim
}
