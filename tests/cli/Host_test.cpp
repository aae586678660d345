// The host's pieces on their own: recovery against a view that fails in controlled ways, names,
// sizes, body-file escaping and the listing's tree.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "BadMap.h"
#include "Digest.h"
#include "Recover.h"
#include "Report.h"
#include "Results.h"
#include "Scan.h"
#include "Selection.h"
#include "Unicode.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin::cli;
using ravlin::test::Md5Hex;
using ravlin::test::Md5OfFile;
using ravlin::test::TempDir;
namespace fs = std::filesystem;

namespace {

// Serves file contents by node id; reads of the listed offsets fail, and a read may be short.
class FakeView : public IScanView {
public:
    std::map<uint32_t, std::string> content;
    std::set<std::pair<uint32_t, uint64_t>> failAt;  // (node, offset)
    uint32_t shortNode = 0;                          // its reads copy at most shortAfter bytes
    uint64_t shortAfter = UINT64_MAX;
    std::map<uint32_t, std::vector<ReadGap>> unreadable;  // bytes served as zeros and reported
    int opened = 0;

    unsigned long long GetPartCount() const override { return 1; }
    bool GetPartBrief(unsigned long long, PartBrief*) const override { return false; }
    bool GetNodeBrief(unsigned long long, unsigned int, NodeBrief*) const override { return false; }
    bool VisitNode(unsigned long long, unsigned int, void (*)(const RFileNode*, void*), void*) const override {
        return false;
    }
    unsigned long long GetVisibleChildCount(unsigned long long, unsigned int) const override { return 0; }
    unsigned int GetVisibleChild(unsigned long long, unsigned int, unsigned long long) const override { return 0; }
    unsigned long long GetVisibleDirCount(unsigned long long, unsigned int) const override { return 0; }
    unsigned long long GetChildCount(unsigned long long, unsigned int) const override { return 0; }
    unsigned int GetChild(unsigned long long, unsigned int, unsigned long long) const override { return 0; }
    unsigned int GetVisibleDir(unsigned long long, unsigned int, unsigned long long) const override { return 0; }
    void SetNodeChecked(unsigned long long, unsigned int, bool) override {}
    void SetNodesChecked(const unsigned long long*, const unsigned int*, int, bool) override {}
    const wchar_t* CurrentPath() const override { return L""; }
    unsigned long long GetCheckedBytes() const override { return 0; }
    bool GetNodeStatus(unsigned long long, unsigned int, NodeStatusBrief*) const override { return false; }
    bool OpenReader(unsigned long long) override { return ++opened, true; }
    void CloseReader(unsigned long long) override { --opened; }
    bool ReadNodeData(unsigned long long, unsigned int id, void* buffer, unsigned long long offset,
                      unsigned int length) override {
        auto it = content.find(id);
        if (it == content.end() || failAt.count({id, offset}) || offset >= it->second.size()) return false;
        uint64_t n = std::min<uint64_t>({length, it->second.size() - offset, id == shortNode ? shortAfter : length});
        std::memcpy(buffer, it->second.data() + offset, n);
        return true;
    }
    bool ReadNodeDataChecked(unsigned long long part, unsigned int id, void* buffer, unsigned long long offset,
                             unsigned int length, ReadGap* gaps, unsigned int maxGaps, unsigned int* count) override {
        *count = 0;
        if (!ReadNodeData(part, id, buffer, offset, length)) return false;
        for (const ReadGap& g : unreadable[id]) {
            uint64_t from = std::max<uint64_t>(g.offset, offset), to = std::min<uint64_t>(g.offset + g.length, offset + length);
            if (from >= to || *count == maxGaps) continue;
            std::memset(static_cast<char*>(buffer) + (from - offset), 0, to - from);
            gaps[(*count)++] = {from, to - from};
        }
        return true;
    }
};

NodeResult File(uint32_t id, const std::string& path, uint64_t size, uint32_t kind = 1) {
    NodeResult n;
    n.id = id;
    n.path = path;
    n.name = path.substr(path.rfind('/') + 1);
    n.kind = kind;
    n.size = size;
    n.modified = 1546300800;
    n.depth = static_cast<int>(std::count(path.begin(), path.end(), '/'));
    return n;
}

ScanResults OnePartition(std::vector<NodeResult> nodes) {
    ScanResults results;
    PartResult part;
    part.displayName = "Disk";
    part.nodes = std::move(nodes);
    for (const auto& n : part.nodes) results.files += !n.directory;
    results.parts.push_back(std::move(part));
    return results;
}

std::string Pattern(size_t size, int seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed) & 0xFF);
    return s;
}

nlohmann::json ListOf(const fs::path& dir) {
    std::ifstream in(dir / "recovered.json");
    return nlohmann::json::parse(in)["files"];
}

}  // namespace

TEST(RecoverFiles, UnreadablePiecesBecomeZerosAndUnreadableFilesAreNotWritten) {
    TempDir temp;
    FakeView view;
    const size_t mib = 1 << 20;
    view.content[1] = Pattern(2 * mib + 100, 1);  // its second MiB fails
    view.content[2] = Pattern(5000, 2);           // every read fails
    view.content[3] = Pattern(3000, 3);           // fine
    view.content[4] = Pattern(40000, 4);          // three bad 4 KiB pieces, two of them adjacent
    view.failAt = {{1, mib}, {2, 0}};
    view.unreadable[4] = {{8192, 4096}, {12288, 4096}, {20480, 4096}};
    auto results = OnePartition({File(1, "a/big.bin", 2 * mib + 100), File(2, "a/lost.bin", 5000, 2),
                                 File(3, "b/ok.txt", 3000), File(4, "b/spotty.bin", 40000, 2)});
    RecoverSummary summary;
    ASSERT_EQ(RecoverFiles(view, results, temp / "out", true, summary), 0) << summary.error;
    EXPECT_EQ(view.opened, 0);
    EXPECT_EQ(summary.written, 3u);
    EXPECT_EQ(summary.partial, 2u);
    EXPECT_EQ(summary.failed, 1u);
    fs::path base = temp / "out" / "0_Disk";
    std::string want = view.content[1];
    std::fill(want.begin() + mib, want.begin() + 2 * mib, '\0');
    EXPECT_EQ(Md5OfFile(base / "a" / "big.bin"), Md5Hex(want.data(), want.size()));
    EXPECT_FALSE(fs::exists(base / "a" / "lost.bin"));
    EXPECT_EQ(Md5OfFile(base / "b" / "ok.txt"), Md5Hex(view.content[3].data(), 3000));
    struct stat st {};
    ASSERT_EQ(::stat((base / "b" / "ok.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1546300800);
    auto list = ListOf(temp / "out");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_FALSE(list[0]["read_whole"].get<bool>());
    EXPECT_EQ(list[0]["unreadable"], nlohmann::json::parse(R"([{"offset": 1048576, "length": 1048576}])"));
    EXPECT_TRUE(list[1]["read_whole"].get<bool>());
    EXPECT_TRUE(list[1]["unreadable"].empty());
    EXPECT_EQ(list[1]["md5"], Md5Hex(view.content[3].data(), 3000));
    // Adjacent bad pieces are one range; the MD5 is that of what was written.
    EXPECT_FALSE(list[2]["read_whole"].get<bool>());
    EXPECT_EQ(list[2]["unreadable"],
              nlohmann::json::parse(R"([{"offset": 8192, "length": 8192}, {"offset": 20480, "length": 4096}])"));
    std::string spotty = view.content[4];
    std::fill(spotty.begin() + 8192, spotty.begin() + 16384, '\0');
    std::fill(spotty.begin() + 20480, spotty.begin() + 24576, '\0');
    EXPECT_EQ(list[2]["md5"], Md5Hex(spotty.data(), spotty.size()));
    EXPECT_EQ(Md5OfFile(base / "b" / "spotty.bin"), Md5Hex(spotty.data(), spotty.size()));
}

// Recoveries that finish: holes stay holes, a size no source could hold is written only as far
// as the source reaches, and a path longer than the system takes is shortened, not fatal.
TEST(RecoverFiles, HolesSizesBeyondTheSourceAndOverlongPaths) {
    TempDir temp;
    FakeView view;
    const uint64_t mib = 1 << 20;
    // 1 MiB of data, 64 MiB of hole, 1 MiB of data.
    NodeResult sparse = File(1, "sparse.vhd", 66 * mib);
    sparse.detailed = true;
    sparse.runs = {{1000, 2048}, {kSparseSector, 64 * 2048}, {4000, 2048}};
    view.content[1] = Pattern(66 * mib, 5);
    std::fill(view.content[1].begin() + mib, view.content[1].begin() + 65 * mib, '\0');
    // An exFAT-style length of 2^40 from sector 7000 of an 8192-sector source.
    NodeResult huge = File(2, "huge.bin", uint64_t{1} << 40, 2);
    huge.detailed = true;
    huge.runs = {{7000, (uint64_t{1} << 40) / 512}};
    view.content[2] = Pattern(1192 * 512, 6);
    std::string deep;
    for (int i = 0; i < 24; ++i) deep += std::string(200, static_cast<char>('a' + i)) + "/";
    NodeResult longPath = File(3, deep + "leaf.txt", 10);
    view.content[3] = "ten bytes!";
    RecoverSummary summary;
    ASSERT_EQ(RecoverFiles(view, OnePartition({sparse, huge, longPath}), temp / "out", true, summary, nullptr, 8192),
              0)
        << summary.error;
    EXPECT_EQ(summary.written, 3u);
    EXPECT_EQ(summary.partial, 1u);
    auto list = ListOf(temp / "out");
    ASSERT_EQ(list.size(), 3u);

    fs::path holey = temp / "out" / list[0]["written_to"].get<std::string>();
    struct stat st {};
    ASSERT_EQ(::stat(holey.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), 66 * mib);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 8 * mib);  // the hole takes no space
    EXPECT_EQ(Md5OfFile(holey), Md5Hex(view.content[1].data(), view.content[1].size()));
    EXPECT_TRUE(list[0]["read_whole"].get<bool>());

    EXPECT_EQ(list[1]["written_size"], 1192 * 512);
    EXPECT_FALSE(list[1]["read_whole"].get<bool>());
    EXPECT_EQ(list[1]["unreadable"][0]["offset"], 1192 * 512);
    EXPECT_EQ(list[1]["unreadable"][0]["length"], (uint64_t{1} << 40) - 1192 * 512);

    EXPECT_EQ(list[2]["original_path"], deep + "leaf.txt");
    EXPECT_EQ(list[2]["written_to"], "0_Disk/_long paths/3_leaf.txt");
    EXPECT_EQ(Md5OfFile(temp / "out" / "0_Disk/_long paths/3_leaf.txt"), Md5Hex("ten bytes!", 10));
}

TEST(RecoverFiles, AShortReadNeverLeavesTheLastFilesBytesBehind) {
    TempDir temp;
    FakeView view;
    view.content[1] = Pattern(4000, 7);
    view.content[2] = Pattern(4000, 9);
    auto results = OnePartition({File(1, "first.bin", 4000), File(2, "second.bin", 4000)});
    RecoverSummary summary;
    view.shortNode = 2;
    view.shortAfter = 1000;  // the second file's reads copy only their first 1000 bytes
    ASSERT_EQ(RecoverFiles(view, results, temp / "short", true, summary), 0);
    EXPECT_EQ(Md5OfFile(temp / "short" / "0_Disk" / "first.bin"), Md5Hex(view.content[1].data(), 4000));
    std::string want = view.content[2].substr(0, 1000) + std::string(3000, '\0');
    EXPECT_EQ(Md5OfFile(temp / "short" / "0_Disk" / "second.bin"), Md5Hex(want.data(), want.size()));
}

TEST(RecoverFiles, NamesCollideWithoutOverwritingAndAFileBlocksNoFolder) {
    TempDir temp;
    FakeView view;
    view.content[1] = "one";
    view.content[2] = "two";
    view.content[3] = "three";
    view.content[4] = "four";
    // Two entries of one name, a name that is a folder elsewhere, and hostile names.
    auto results = OnePartition({File(1, "x/a.txt", 3), File(2, "x/a.txt", 3), File(3, "x", 5),
                                 File(4, "x/CON.txt", 4)});
    results.parts[0].nodes.push_back(File(4, "x/..", 4));
    results.parts[0].nodes.push_back(File(4, "x/we|ird:na*me?.txt. ", 4));
    RecoverSummary summary;
    ASSERT_EQ(RecoverFiles(view, results, temp / "out", true, summary), 0) << summary.error;
    fs::path base = temp / "out" / "0_Disk";
    EXPECT_EQ(Md5OfFile(base / "x" / "a.txt"), Md5Hex("one", 3));
    EXPECT_EQ(Md5OfFile(base / "x" / "a (1).txt"), Md5Hex("two", 3));
    EXPECT_EQ(Md5OfFile(base / "x (1)"), Md5Hex("three", 5));
    EXPECT_TRUE(fs::exists(base / "x" / "_CON.txt"));
    EXPECT_TRUE(fs::exists(base / "x" / "_"));
    EXPECT_TRUE(fs::exists(base / "x" / "we_ird_na_me_.txt"));
    auto list = ListOf(temp / "out");
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list[1]["written_to"], "0_Disk/x/a (1).txt");
    EXPECT_EQ(list[1]["path"], "x/a.txt");
}

TEST(RecoverFiles, NamesOfTheLongestLengthStillGetSuffixes) {
    TempDir temp;
    FakeView view;
    view.content[1] = "first";
    view.content[2] = "second";
    std::string longest(255, 'N');
    std::string wide;
    for (int i = 0; i < 84; ++i) wide += "\xE4\xB8\xAD";  // 252 bytes
    wide += ".jpg";                                          // 256 in all
    auto results = OnePartition({File(1, longest, 5), File(2, longest, 6), File(1, wide, 5), File(2, wide, 6)});
    RecoverSummary summary;
    ASSERT_EQ(RecoverFiles(view, results, temp / "out", true, summary), 0) << summary.error;
    ASSERT_EQ(RecoverFiles(view, results, temp / "out", true, summary), 0) << summary.error;
    auto list = ListOf(temp / "out");
    ASSERT_EQ(list.size(), 8u);
    std::set<std::string> names;
    for (const auto& f : list) {
        std::string leaf = fs::path(f["written_to"].get<std::string>()).filename().string();
        EXPECT_LE(leaf.size(), 255u) << leaf;
        EXPECT_TRUE(names.insert(leaf).second) << leaf;
        EXPECT_EQ(Md5OfFile(temp / "out" / f["written_to"].get<std::string>()), f["md5"]);
    }
    EXPECT_TRUE(names.count(std::string(251, 'N') + " (3)"));
    EXPECT_EQ(names.count(wide), 0u);  // one byte too long: cut on a character boundary
    for (const auto& name : names) {
        if (name.find(".jpg") != std::string::npos) {
            EXPECT_EQ(name.substr(name.size() - 4), ".jpg") << name;
        }
    }
}

TEST(RecoverFiles, AnUnreadableListIsKeptAsideAndAFileIsNoFolder) {
    TempDir temp;
    FakeView view;
    view.content[1] = "data";
    fs::create_directories(temp / "out");
    std::ofstream(temp / "out" / "recovered.json") << "{\"files\": [";  // cut short
    RecoverSummary summary;
    ASSERT_EQ(RecoverFiles(view, OnePartition({File(1, "f", 4)}), temp / "out", true, summary), 0);
    EXPECT_TRUE(fs::exists(temp / "out" / "recovered.json.unreadable"));
    EXPECT_EQ(ListOf(temp / "out").size(), 1u);
    std::ofstream(temp / "plain") << "x";
    std::string error;
    EXPECT_FALSE(PrepareFolder(temp / "plain", error));
    EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
    EXPECT_FALSE(PrepareFolder(temp / "plain" / "below", error));
}

TEST(HostText, SafeNamesFitHostFileSystems) {
    EXPECT_EQ(SafeName("report.pdf"), "report.pdf");
    EXPECT_EQ(SafeName(""), "_");
    EXPECT_EQ(SafeName("."), "_");
    EXPECT_EQ(SafeName("a\x01" "b\tc"), "a_b_c");
    EXPECT_EQ(SafeName("aux"), "_aux");
    EXPECT_EQ(SafeName("Lpt9.log"), "_Lpt9.log");
    EXPECT_EQ(SafeName("lpt0"), "lpt0");
    EXPECT_EQ(SafeName("CONSOLE.txt"), "CONSOLE.txt");
    // 100 three-byte characters: cut on a character boundary, the extension kept.
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "\xE4\xB8\xAD";
    std::string safe = SafeName(longName + ".jpeg");
    EXPECT_LE(safe.size(), 255u);
    EXPECT_EQ(safe.substr(safe.size() - 5), ".jpeg");
    EXPECT_EQ((safe.size() - 5) % 3, 0u);
}

TEST(HostText, BodyFieldsAndSizes) {
    EXPECT_EQ(EscapeBodyField("a|b\nc\\d"), "a\\x7cb\\x0ac\\x5cd");
    EXPECT_EQ(EscapeBodyField("\xE5\x9B\x9E/x"), "\xE5\x9B\x9E/x");
    uint64_t v = 0;
    EXPECT_TRUE(ParseSize("10k", v));
    EXPECT_EQ(v, 10240u);
    EXPECT_TRUE(ParseSize("2GiB", v));
    EXPECT_EQ(v, uint64_t{2} << 30);
    EXPECT_TRUE(ParseSize("7", v));
    EXPECT_EQ(v, 7u);
    EXPECT_FALSE(ParseSize("k", v));
    EXPECT_FALSE(ParseSize("5X", v));
    EXPECT_FALSE(ParseSize("20000000T", v));  // overflows 64 bits
    EXPECT_FALSE(ParseSize("99999999999999999999", v));
    EXPECT_EQ(HumanSize(596), "596 B");
    EXPECT_EQ(HumanSize(15820), "15.4 KiB");
    EXPECT_EQ(HumanSize(uint64_t{1} << 30), "1.00 GiB");
    EXPECT_EQ(HumanSize(~uint64_t{0}), "16384 PiB");
    EXPECT_EQ(IsoTime(1546302100), "2019-01-01T00:21:40Z");
    EXPECT_EQ(IsoTime(0), "");
    uint32_t kind = 0, mode = 9;
    EXPECT_TRUE(ParseKind("free-browse", kind));
    EXPECT_EQ(kind, 5u);
    EXPECT_FALSE(ParseKind("3", kind));
    EXPECT_TRUE(ParseMode("VIDEO", mode));
    EXPECT_EQ(mode, 3u);
}

// Sizes read the same as printf's rounding gives them, at the edges of every unit and of
// every rounding step, ties included.
TEST(HostText, HumanSizesRoundAsPrintfDoes) {
    auto printed = [](uint64_t bytes) {
        static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
        if (bytes < 1024) return std::to_string(bytes) + " B";
        double value = static_cast<double>(bytes);
        int unit = 0;
        while (value >= 1024 && unit < 5) value /= 1024, ++unit;
        char text[32];
        std::snprintf(text, sizeof text, value < 10 ? "%.2f %s" : value < 100 ? "%.1f %s" : "%.0f %s", value,
                      units[unit]);
        return std::string(text);
    };
    std::vector<uint64_t> sizes;
    for (uint64_t b = 0; b < 300000; ++b) sizes.push_back(b);
    for (int unit = 1; unit <= 5; ++unit) {
        const uint64_t scale = uint64_t{1} << (10 * unit);
        for (uint64_t step : {uint64_t{10}, uint64_t{100}, uint64_t{1024}, uint64_t{1000}})
            for (uint64_t k = 1; k < 4 * step; ++k) {
                // Each tie of a rounding step, and its neighbours.
                const uint64_t tie = (2 * k + 1) * scale / (2 * (step <= 100 ? 100 : step));
                for (uint64_t d : {tie - 1, tie, tie + 1}) sizes.push_back(d);
            }
        for (uint64_t m = 1; m < 1024; m += 7) sizes.push_back(m * scale - 1), sizes.push_back(m * scale);
    }
    for (uint64_t bytes : sizes) ASSERT_EQ(HumanSize(bytes), printed(bytes)) << bytes;
}

// Names come from disks: whatever bytes they hold, the json report stays valid JSON and keeps
// every character that is one.
// Report times are made without the C library: they must agree with it over the whole range.
TEST(HostText, ReportTimesAgreeWithTheCalendar) {
    auto expected = [](uint32_t seconds) {
        std::time_t t = seconds;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
        return std::string(text);
    };
    // Leap days, century years, the last second of 32-bit time.
    for (uint32_t s : {1u, 86399u, 86400u, 68255999u, 951782400u, 951868799u, 1709164800u, 1709251199u,
                       4107542400u, 4107628799u, 4294967295u})
        EXPECT_EQ(IsoTime(s), expected(s)) << s;
    for (uint64_t s = 7; s <= 0xFFFFFFFFu; s += 3 * 86400 + 3607) {
        ASSERT_EQ(IsoTime(static_cast<uint32_t>(s)), expected(static_cast<uint32_t>(s))) << s;
    }
}

TEST(HostText, JsonReportsEscapeNamesAndReplaceBytesThatAreNoText) {
    const std::string names[] = {"plain.txt", "quote\" and \\ slash", "tab\tand\x01control",
                                 "\xE5\x9B\x9E\xF0\x9F\x98\x80 ok", "bad \xFF\xC0\x80 bytes", "cut \xE5\x9B",
                                 "surrogate \xED\xA0\x80", "0123456789abcdef\"0123456\\x\x7f",
                                 "01234567\x1f" "89abcdef\xC3\xA9 and a long plain tail"};
    const std::string want[] = {"plain.txt", "quote\" and \\ slash", "tab\tand\x01control",
                                "\xE5\x9B\x9E\xF0\x9F\x98\x80 ok", "bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD bytes",
                                "cut \xEF\xBF\xBD\xEF\xBF\xBD",
                                "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
                                "0123456789abcdef\"0123456\\x\x7f",
                                "01234567\x1f" "89abcdef\xC3\xA9 and a long plain tail"};
    std::vector<NodeResult> nodes;
    for (size_t i = 0; i < std::size(names); ++i) nodes.push_back(File(static_cast<uint32_t>(i + 1), names[i], 1));
    nodes[1].runs = {{kSparseSector, 8}, {100, 8}};
    std::ostringstream out;
    WriteJsonReport(out, ScanInfo(), OnePartition(nodes));
    auto report = nlohmann::json::parse(out.str());
    const auto& written = report["partitions"][0]["nodes"];
    ASSERT_EQ(written.size(), std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) EXPECT_EQ(written[i]["path"], want[i]) << i;
    EXPECT_TRUE(written[1]["runs"][0]["start_sector"].is_null());
    EXPECT_EQ(written[1]["runs"][1]["start_sector"], 100);
    EXPECT_EQ(written[0]["modified"], "2019-01-01T00:00:00Z");
    EXPECT_TRUE(written[0]["created"].is_null());
    EXPECT_EQ(report["summary"]["files"], std::size(names));
}

// The map of unreadable sectors as ddrescue writes it: contiguous blocks over the whole source,
// read ones finished, failed ones bad, the rest not tried; ranges joined and ordered.
// The digests come from a library loaded on first use: the standard's own test vectors, fed in
// uneven pieces, and a digest made without data.
TEST(Digests, MatchTheStandardVectorsInAnyPieces) {
    const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (size_t cut : {size_t{0}, size_t{1}, size_t{55}, message.size()}) {
        Digest md5(DigestKind::Md5), sha256(DigestKind::Sha256);
        md5.Update(message.data(), cut);
        md5.Update(message.data() + cut, message.size() - cut);
        sha256.Update(message.data(), cut);
        sha256.Update(message.data() + cut, message.size() - cut);
        EXPECT_EQ(md5.Final(), "8215ef0796a20bcaaae116d3876c664a") << cut;
        EXPECT_EQ(sha256.Final(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1") << cut;
    }
    Digest empty(DigestKind::Sha256);
    EXPECT_EQ(empty.Final(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_NE(CryptoVersion().find("OpenSSL"), std::string::npos);
}

TEST(BadMap, BlocksCoverTheSourceInOrder) {
    SectorRanges bad;
    bad.Add(300, 8);
    bad.Add(100, 4);
    bad.Add(104, 4);  // touches the one before: one range
    bad.Add(306, 10);
    bad.Add(5000, 10);  // past the source
    EXPECT_EQ(bad.Ranges(), (std::vector<std::pair<uint64_t, uint64_t>>{{100, 8}, {300, 16}, {5000, 10}}));
    std::string map = BadMapText(2048 * 512, 0, 1024, bad, "ravlin scan x");
    std::string blocks = map.substr(map.find("#      pos        size  status\n") + 31);
    EXPECT_EQ(blocks,
              "0x00000000  0x0000C800  +\n"    // sectors 0-99
              "0x0000C800  0x00001000  -\n"    // 100-107
              "0x0000D800  0x00018000  +\n"    // 108-299
              "0x00025800  0x00002000  -\n"    // 300-315
              "0x00027800  0x00058800  +\n"    // 316-1023
              "0x00080000  0x00080000  ?\n");  // 1024-2047: not read
    EXPECT_NE(map.find("# Command line: ravlin scan x\n"), std::string::npos);
    // Nothing read: all untried but the bad sectors.
    std::string quick = BadMapText(1024 * 512, 0, 0, bad, "q");
    EXPECT_NE(quick.find("0x00000000  0x0000C800  ?\n0x0000C800  0x00001000  -\n"), std::string::npos) << quick;
}

TEST(HostText, CategoriesByAliasNumberOrDisplayName) {
    Selection byAlias, byNumber, byName;
    std::string error;
    ASSERT_TRUE(AddCategories("pictures", byAlias, error)) << error;
    ASSERT_TRUE(AddCategories("0", byNumber, error)) << error;
    std::string display;
    for (const auto& t : ravlin::ListFileTypes())
        if (t.category == 0) display = ToUtf8(t.categoryName);
    ASSERT_FALSE(display.empty());
    ASSERT_TRUE(AddCategories(display, byName, error)) << error;
    EXPECT_EQ(byAlias.types, byNumber.types);
    EXPECT_EQ(byAlias.types, byName.types);
    EXPECT_TRUE(byAlias.types.count(46));  // JPG
    EXPECT_FALSE(AddCategories("pics", byName, error));
    EXPECT_NE(error.find("pics"), std::string::npos);
    Selection types;
    ASSERT_TRUE(AddTypes(".JPEG, pdf", types, error)) << error;
    EXPECT_TRUE(types.types.count(46));
    EXPECT_EQ(types.types.size(), 2u);
}

TEST(Listing, TheTreeDrawsBranchesForSiblingsAndMarksDeletedFiles) {
    NodeResult dir = File(10, "Photos", 0, 3);
    dir.directory = true;
    NodeResult sub = File(11, "Photos/2019", 0, 4);
    sub.directory = true;
    auto results = OnePartition({dir, sub, File(12, "Photos/2019/a.jpg", 2048, 2), File(13, "Photos/b.jpg", 10),
                                 File(14, "top\x1b[2Jpage\n.txt", 5)});
    std::ostringstream out;
    WriteListing(out, results);
    std::string text = out.str();
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 6u) << text;
    EXPECT_NE(lines[0].find("3 files"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("1 deleted"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "\xE2\x94\x9C\xE2\x94\x80\xE2\x94\x80 Photos/");
    EXPECT_EQ(lines[2], "\xE2\x94\x82   \xE2\x94\x9C\xE2\x94\x80\xE2\x94\x80 2019/  [deleted]");
    EXPECT_EQ(lines[3], "\xE2\x94\x82   \xE2\x94\x82   \xE2\x94\x94\xE2\x94\x80\xE2\x94\x80 a.jpg  2.00 KiB  2019-01-01 00:00:00 UTC  [deleted]");
    EXPECT_EQ(lines[4], "\xE2\x94\x82   \xE2\x94\x94\xE2\x94\x80\xE2\x94\x80 b.jpg  10 B  2019-01-01 00:00:00 UTC");
    // A name's escape sequence or newline reaches no terminal as such.
    EXPECT_EQ(lines[5], "\xE2\x94\x94\xE2\x94\x80\xE2\x94\x80 top\\x1b[2Jpage\\x0a.txt  5 B  2019-01-01 00:00:00 UTC");
}
