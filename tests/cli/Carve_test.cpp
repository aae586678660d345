// The ravlin binary carving a disk with no file system: what each mode keeps, where the files
// land, and what is written for them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "../carve/ImageSamples.h"
#include "../carve/Samples.h"
#include "RunRavlin.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin::test;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr uint64_t kDiskSectors = 4096;  // 2 MiB: the region ends inside the first 8 MiB block

struct Planted {
    const char* sample;
    uint64_t sector;
    const char* path;  // where the host puts it, under the carved-files partition
    bool pictureOrVideo;
    bool measured;  // its parser reads its length from the file
};

// In start order, so each file's estimate runs to the next one.
const Planted kPlanted[] = {
    {"01.jpg", 16, "Pictures/JPG/10.jpg", true, true},     {"24.png", 64, "Pictures/PNG/40.png", true, true},
    {"16.pdf", 128, "Documents/PDF/80.pdf", false, true},   {"31.jar", 192, "Archives/JAR/c0.jar", false, false},
    {"29.zip", 256, "Archives/ZIP/100.zip", false, true},
    {"06.mp4", 512, "Videos/MP4/200.mp4", true, true},
};

const CarveSample& Sample(const std::string& file) {
    for (const auto& s : CarveSamples())
        if (s.file == file) return s;
    throw std::runtime_error("no sample " + file);
}

fs::path MakeDisk(const fs::path& dir) {
    std::vector<char> disk(kDiskSectors * 512, 0);
    for (const auto& p : kPlanted) {
        const auto& bytes = Sample(p.sample).bytes;
        std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(p.sector * 512));
    }
    fs::path path = dir / "card.img";
    std::ofstream(path, std::ios::binary).write(disk.data(), static_cast<std::streamsize>(disk.size()));
    return path;
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

// Raw scans keep pictures and video only, full scans every carved type; a measured file comes
// back byte-exact, the others as their sample followed by the zeros up to the next file's start
// (or the disk's end), no more.
TEST(CarvedRecovery, RawAndFullScansRecoverTheCarvedFilesOfTheirModes) {
    TempDir temp;
    fs::path disk = MakeDisk(temp.Path());
    for (const std::string mode : {"raw", "full"}) {
        SCOPED_TRACE(mode);
        fs::path out = temp / ("out-" + mode);
        fs::path report = temp / ("r-" + mode + ".json");
        auto run = RunRavlin({"scan", disk.string(), "--mode", mode, "--recover", out.string(), "--report",
                              report.string()});
        ASSERT_EQ(run.code, 0) << run.err;
        // The progress counts the carved files, over the disk's own size.
        size_t expected = 0;
        for (const auto& p : kPlanted) expected += mode == "full" || p.pictureOrVideo;
        EXPECT_NE(run.err.find("4096 of 4096 sectors, " + std::to_string(expected) + " files found"),
                  std::string::npos)
            << run.err;

        Json r = Json::parse(std::ifstream(report));
        ASSERT_EQ(r["partitions"].size(), 1u);
        const Json& carved = r["partitions"][0];
        EXPECT_EQ(carved["fs"], "carved");
        EXPECT_EQ(carved["name"], "Reconstructed files");
        EXPECT_EQ(carved["file_count"], expected);

        fs::path root = out / "0_Reconstructed files";
        for (size_t i = 0; i < std::size(kPlanted); ++i) {
            const Planted& p = kPlanted[i];
            SCOPED_TRACE(p.path);
            bool kept = mode == "full" || p.pictureOrVideo;
            ASSERT_EQ(fs::exists(root / p.path), kept);
            if (!kept) continue;
            // Refused types still end the estimate before them: their hits were made.
            uint64_t end = i + 1 < std::size(kPlanted) ? kPlanted[i + 1].sector : kDiskSectors;
            auto got = ReadAll(root / p.path);
            const auto& want = Sample(p.sample).bytes;
            if (p.measured) {
                EXPECT_EQ(got, want);
                continue;
            }
            ASSERT_EQ(got.size(), (end - p.sector) * 512);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
            EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(want.size()), got.end(),
                                    [](uint8_t b) { return b == 0; }));
        }
    }
}

// A camera photo is named by its maker, model and date, and the report carries them.
TEST(CarvedRecovery, ACameraPhotoIsNamedAndDescribedByItsExif) {
    TempDir temp;
    const auto& photo = Image("exif-intel.jpg").bytes;
    std::vector<char> disk(kDiskSectors * 512, 0);
    std::copy(photo.begin(), photo.end(), disk.begin() + 0x123 * 512);
    fs::path path = temp / "card.img";
    std::ofstream(path, std::ios::binary).write(disk.data(), static_cast<std::streamsize>(disk.size()));
    auto run = RunRavlin({"scan", path.string(), "--mode", "raw", "--report", (temp / "r.json").string(),
                          "--recover", (temp / "out").string(), "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    Json r = Json::parse(std::ifstream(temp / "r.json"));
    const Json* jpeg = nullptr;
    for (const auto& node : r["partitions"][0]["nodes"])
        if (node["type_id"] == 46) jpeg = &node;
    ASSERT_TRUE(jpeg);
    EXPECT_EQ((*jpeg)["name"], "Canon__Canon EOS 80D__2019_07_14__123.jpg");
    EXPECT_EQ((*jpeg)["path"], "Pictures/JPG/Canon__Canon EOS 80D__2019_07_14__123.jpg");
    EXPECT_EQ((*jpeg)["size"], photo.size());
    EXPECT_EQ((*jpeg)["metadata"]["maker"], "Canon");
    EXPECT_EQ((*jpeg)["metadata"]["model"], "Canon EOS 80D");
    EXPECT_EQ((*jpeg)["metadata"]["date"], "2019:07:14");
    EXPECT_EQ(ReadAll(temp / "out" / "0_Reconstructed files" / (*jpeg)["path"].get<std::string>()), photo);
}

// A video-fragment scan chains a recording scattered in three pieces back into one file that
// the host recovers byte for byte; a raw scan of the same disk makes no transport-stream file.
TEST(CarvedRecovery, AVideoScanRecoversAScatteredRecording) {
    TempDir temp;
    std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/video/";
    const auto recording = ReadMaybeGzipped(dir + "recording.m2ts.gz");
    ASSERT_GE(recording.size(), 30u << 20);
    const size_t cut1 = (7u << 20) + 5 * 4096, cut2 = (23u << 20) + 4096;
    std::vector<char> disk(48u << 20);
    uint32_t seed = 1;
    for (auto& c : disk) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    auto put = [&](size_t at, size_t from, size_t to) {
        std::copy(recording.begin() + static_cast<long>(from), recording.begin() + static_cast<long>(to),
                  disk.begin() + static_cast<long>(at));
    };
    const size_t third = 512 * 1000, first = third + (recording.size() - cut2) + 512 * 300,
                 second = first + cut1 + 512 * 4000;
    put(third, cut2, recording.size());
    put(first, 0, cut1);
    put(second, cut1, cut2);
    fs::path path = temp / "card.img";
    std::ofstream(path, std::ios::binary).write(disk.data(), static_cast<std::streamsize>(disk.size()));

    auto run = RunRavlin({"scan", path.string(), "--mode", "video", "--recover", (temp / "out").string(), "--report",
                          (temp / "r.json").string(), "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    Json r = Json::parse(std::ifstream(temp / "r.json"));
    ASSERT_EQ(r["partitions"].size(), 1u);
    EXPECT_EQ(r["partitions"][0]["name"], "Video files");
    char name[32];
    std::snprintf(name, sizeof name, "0x%zX.mts", first / 512);
    fs::path file = temp / "out" / "0_Video files" / "MTS" / name;
    ASSERT_TRUE(fs::exists(file)) << r.dump(1);
    EXPECT_TRUE(ReadAll(file) == recording);

    auto raw = RunRavlin({"scan", path.string(), "--mode", "raw", "--report", (temp / "raw.json").string(), "-q"});
    ASSERT_EQ(raw.code, 0) << raw.err;
    Json rr = Json::parse(std::ifstream(temp / "raw.json"));
    for (const auto& node : rr["partitions"][0]["nodes"]) EXPECT_NE(node["type_id"], 88) << node.dump();
}

// A carved document is named by its author, date and title, and the report carries them.
TEST(CarvedRecovery, ADocumentIsNamedAndDescribedByItsProperties) {
    TempDir temp;
    const auto docx = ReadMaybeGzipped(std::string(RAVLIN_FIXTURE_DIR) + "/documents/report.docx");
    std::vector<char> disk(kDiskSectors * 512, 0);
    std::copy(docx.begin(), docx.end(), disk.begin() + 0x200 * 512);
    fs::path path = temp / "card.img";
    std::ofstream(path, std::ios::binary).write(disk.data(), static_cast<std::streamsize>(disk.size()));
    auto run = RunRavlin({"scan", path.string(), "--mode", "full", "--report", (temp / "r.json").string(),
                          "--recover", (temp / "out").string(), "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    Json r = Json::parse(std::ifstream(temp / "r.json"));
    const Json* found = nullptr;
    for (const auto& part : r["partitions"])
        for (const auto& node : part["nodes"])
            if (node["type_id"] == 37) found = &node;
    ASSERT_TRUE(found);
    EXPECT_EQ((*found)["name"], "Élodie Müller__2021-04-06__Quarterly Report & Plan__200.docx");
    EXPECT_EQ((*found)["metadata"]["maker"], "Élodie Müller");
    EXPECT_EQ((*found)["metadata"]["title"], "Quarterly Report & Plan");
    EXPECT_EQ((*found)["metadata"]["date"], "2021-04-06");
    EXPECT_EQ(ReadAll(temp / "out" / "0_Reconstructed files" / (*found)["path"].get<std::string>()), docx);
}

// A volume whose MFT and mirror are gone, or only the records of a folder and its photos
// (mkntfs + ntfs-3g, then zeroed): nothing lists the photos, but the folder's index block still
// names them with their sizes. The deep scan carves the photos and gives each its name back,
// "INDX-<name>" in a folder named after the folder's record, with the photo's own bytes; a
// second photo of a listed size would not be named (which one it names is not known).
TEST(CarvedRecovery, NamesFromALostFoldersIndexBlockNameTheCarvedFiles) {
    TempDir temp;
    const fs::path image = FixtureImage("ntfs-indx.img");
    std::ifstream manifestFile(fs::path(RAVLIN_FIXTURE_DIR) / "ntfs-indx.img.json");
    const Json manifest = Json::parse(manifestFile);
    // With the whole MFT gone the names go to a partition of reconstructed files; with only the
    // photos' records gone, to the volume, which still lists its own metadata files.
    for (const auto& [name, partition] : {std::pair{"ntfs-indx.img", "Reconstructed files"},
                                          std::pair{"ntfs-indx-records.img", "RAVLININDX"}}) {
        const fs::path out = temp / name;
        auto run = RunRavlin({"scan", FixtureImage(name).string(), "--deep", "--recover", out.string(), "-q"});
        ASSERT_EQ(run.code, 0) << name << run.err;
        std::ifstream in(out / "recovered.json");
        const Json list = Json::parse(in);
        std::map<std::string, std::string> named;  // INDX name -> md5
        for (const auto& file : list["files"]) {
            const std::string path = file["path"];
            const size_t slash = path.rfind('/');
            const std::string leaf = path.substr(slash + 1);
            if (leaf.rfind("INDX-", 0) != 0) continue;
            EXPECT_EQ(path.substr(0, slash), "Lost path/Dir00000064") << path;
            EXPECT_EQ(file["partition_name"], partition) << name;
            EXPECT_EQ(file["read_whole"], true);
            named[leaf.substr(5)] = file["md5"];
        }
        ASSERT_EQ(named.size(), manifest["files"].size()) << name;
        for (const auto& photo : manifest["files"]) {
            const std::string path = photo["path"];
            const std::string leaf = path.substr(path.rfind('/') + 1);
            EXPECT_EQ(named[leaf], photo["md5"]) << name << " " << leaf;
        }
    }

    // Two copies of one photo elsewhere on a disk: its name no longer says which file it is.
    const fs::path twice = temp / "twice.img";
    fs::copy_file(image, twice);
    const Json first = manifest["files"][0];
    {
        std::ifstream source(image, std::ios::binary);
        std::string bytes(first["size"].get<size_t>(), '\0');
        source.seekg(first["offset"].get<std::streamoff>());
        source.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::fstream out(twice, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(fs::file_size(image) - (64 << 10)));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    auto listing = RunRavlin({"scan", twice.string(), "--deep", "--list", "-q"});
    ASSERT_EQ(listing.code, 0) << listing.err;
    const std::string firstPath = first["path"];
    const std::string firstName = "INDX-" + firstPath.substr(firstPath.rfind('/') + 1);
    EXPECT_EQ(listing.out.find(firstName), std::string::npos) << listing.out;
    const std::string secondPath = manifest["files"][1]["path"];
    EXPECT_NE(listing.out.find("INDX-" + secondPath.substr(secondPath.rfind('/') + 1)), std::string::npos);
}
