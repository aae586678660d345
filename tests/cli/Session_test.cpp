// Saved scans through the host: a deep scan stopped with Ctrl-C, listed, and gone on with,
// recovers the same files as one that ran through; saved files that do not fit are refused.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "RunRavlin.h"
#include "support/Fixtures.h"
#include "support/ResumeDisk.h"
#include "support/TempDir.h"

using namespace ravlin::test;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr uint64_t kDiskBytes = uint64_t{6} << 30;

// Recovered path -> MD5 of what was written, from the recovery's own list.
std::map<std::string, std::string> Recovered(const fs::path& folder) {
    std::ifstream in(folder / "recovered.json");
    Json list = Json::parse(in, nullptr, false);
    std::map<std::string, std::string> out;
    if (list.is_discarded()) return out;
    for (const auto& file : list["files"]) out[file["written_to"].get<std::string>()] = file["md5"].get<std::string>();
    return out;
}

// The generated disk at the start of a sparse 6 GiB one, a few photos at its far end: seconds
// to read, most of them zeros.
fs::path MakeDisk(const TempDir& temp) {
    fs::path disk = temp / "disk.img";
    fs::copy_file(ResumeDiskImage(), disk);
    fs::resize_file(disk, kDiskBytes);
    std::fstream out(disk, std::ios::binary | std::ios::in | std::ios::out);
    uint64_t at = kDiskBytes - (uint64_t{1} << 20);
    for (const char* name : {"exif-motorola.jpg", "progressive-420.jpg"}) {
        std::ifstream in(fs::path(RAVLIN_FIXTURE_DIR) / "images" / name, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        out.seekp(static_cast<std::streamoff>(at));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        at += 65536;
    }
    return disk;
}

}  // namespace

TEST(Sessions, AScanStoppedWithCtrlCGoesOnWhereItStoppedAndRecoversTheSameFiles) {
    TempDir temp;
    const fs::path disk = MakeDisk(temp);
    auto whole = RunRavlin({"scan", disk.string(), "--deep", "--recover", (temp / "whole").string(), "-q"});
    ASSERT_EQ(whole.code, 0) << whole.err;
    const auto expected = Recovered(temp / "whole");
    ASSERT_GT(expected.size(), 2000u);

    // Stopped right after its first save; the stop itself saves again.
    const fs::path sessions = temp / "sessions";
    auto stopped = RunProgram(RAVLIN_CLI_PATH,
                              {"scan", disk.string(), "--deep", "--session", sessions.string(), "--save-every", "1"},
                              "", std::chrono::seconds(300), "saved the scan so far", SIGINT);
    ASSERT_EQ(stopped.code, 130) << stopped.err;
    const std::string file = "disk.img-0-" + std::to_string(kDiskBytes / 512) + ".rvpd";
    const fs::path saved = sessions / file;
    EXPECT_NE(stopped.err.find("--resume " + saved.string()), std::string::npos) << stopped.err;

    auto listed = RunRavlin({"sessions", sessions.string(), "--json"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    Json list = Json::parse(listed.out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["data_file"], file);
    EXPECT_EQ(list[0]["source"], fs::canonical(disk).string());
    EXPECT_EQ(list[0]["blocks"], kDiskBytes / (8 << 20));
    EXPECT_LT(list[0]["blocks_done"].get<uint64_t>(), list[0]["blocks"].get<uint64_t>());
    EXPECT_GT(list[0]["items"].get<uint64_t>(), 0u);
    auto plain = RunRavlin({"sessions", sessions.string()});
    EXPECT_NE(plain.out.find("deep, whole scan"), std::string::npos) << plain.out;

    // From another folder, by the saved file alone: the region comes from the list beside it.
    auto resumed = RunRavlin({"scan", fs::absolute(disk).string(), "--resume", saved.string(), "--recover",
                              (temp / "resumed").string(), "-q"},
                             "/");
    ASSERT_EQ(resumed.code, 0) << resumed.err;
    EXPECT_EQ(Recovered(temp / "resumed"), expected);
    listed = RunRavlin({"sessions", sessions.string(), "--json"});
    EXPECT_EQ(Json::parse(listed.out)[0]["blocks_done"], list[0]["blocks"]);  // saved again when it ended
}

TEST(Sessions, SavedFilesThatDoNotFitAreRefusedWithOneLine) {
    TempDir temp;
    const fs::path disk = temp / "a.img", other = temp / "b.img";
    fs::copy_file(FixtureImage("fat16.img"), disk);
    fs::copy_file(FixtureImage("fat16.img"), other);
    const fs::path sessions = temp / "s";
    auto first = RunRavlin({"scan", disk.string(), "--deep", "--session", sessions.string(), "-q"});
    ASSERT_EQ(first.code, 0) << first.err;
    const fs::path saved = sessions / "a.img-0-65536.rvpd";
    ASSERT_TRUE(fs::exists(saved));
    fs::copy_file(saved, temp / "cut.rvpd");
    fs::resize_file(temp / "cut.rvpd", fs::file_size(saved) / 2);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    } cases[] = {
        {{"scan", other.string(), "--resume", saved.string()}, 65, "was saved from"},
        {{"scan", disk.string(), "--resume", (temp / "cut.rvpd").string()}, 65, "is not a saved scan, or it is damaged"},
        {{"scan", disk.string(), "--resume", (temp / "none.rvpd").string()}, 65, "no such file"},
        {{"scan", disk.string(), "--resume", saved.string(), "--count", "100000"}, 64, "does not fit"},
        {{"scan", disk.string(), "--resume", saved.string(), "--start", "40000"}, 65, "another region"},
        {{"scan", disk.string(), "--session", sessions.string(), "--mode", "raw"}, 64, "go with --deep"},
        {{"scan", disk.string(), "--session", sessions.string()}, 64, "go with --deep"},
        {{"sessions", (temp / "nothing").string()}, 66, "no saved scans"},
    };
    for (const auto& c : cases) {
        auto run = RunRavlin(c.args);
        EXPECT_EQ(run.code, c.code) << c.args[0] << " " << run.err;
        auto lines = run.ErrLines();
        ASSERT_EQ(lines.size(), 1u) << run.err;
        EXPECT_NE(lines[0].find(c.says), std::string::npos) << lines[0];
    }
    // A damaged list of saved scans is said, and not replaced by a new one.
    { std::ofstream(sessions / "ravlin-sessions.index", std::ios::trunc) << "RVIDX01"; }
    auto damaged = RunRavlin({"sessions", sessions.string()});
    EXPECT_EQ(damaged.code, 65);
    auto again = RunRavlin({"scan", disk.string(), "--deep", "--session", sessions.string(), "-q"});
    EXPECT_EQ(again.code, 73) << again.err;
    std::ifstream in(sessions / "ravlin-sessions.index");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "RVIDX01");
}
