// A host's whole session through the exported header alone: scan a disk of NTFS, FAT32, FAT16
// and exFAT volumes made by real tools, tick the preview while the scan runs, then compare the
// browsable tree, the counts, the ticks and every file's content with the disk's manifest.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "ravlin/Ravlin.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"

using namespace ravlin::test;

namespace {

std::string Utf8(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) {
        auto c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct Shown {
    uint32_t id = 0;
    uint64_t size = 0;
    uint32_t kind = 0;
    uint32_t typeId = 0;
};

// What one partition's visible tree shows, walked from its root as a file manager would.
struct Walk {
    std::map<std::string, Shown> files;
    std::map<std::string, uint32_t> dirs;
};

// The entry's file in a walk, under its shown path or one of its other names.
const Shown* FindShown(const Walk& walk, const ManifestPartition& partition, const ManifestEntry& e) {
    auto it = walk.files.find(ShownPath(partition, e));
    for (const auto& other : e.alsoNamed)
        if (it == walk.files.end()) it = walk.files.find(other);
    return it == walk.files.end() ? nullptr : &it->second;
}

// Returns the visible files below `id`; checks order and every directory's aggregates.
uint64_t Visit(const IScanView& view, uint64_t part, uint32_t id, const std::string& prefix, int depth,
               Walk& walk, uint64_t& bytes) {
    if (depth > 40) {
        ADD_FAILURE() << "tree deeper than any fixture at " << prefix;
        return 0;
    }
    uint64_t count = view.GetVisibleChildCount(part, id);
    uint64_t dirCount = view.GetVisibleDirCount(part, id);
    EXPECT_LE(dirCount, count) << prefix;
    uint64_t files = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t child = view.GetVisibleChild(part, id, i);
        NodeBrief brief;
        if (!view.GetNodeBrief(part, child, &brief)) {
            ADD_FAILURE() << "no brief for visible child " << child << " of " << prefix;
            continue;
        }
        EXPECT_EQ(brief.parentId, id);
        std::string path = prefix + Utf8(brief.name);
        EXPECT_EQ(brief.isDirectory != 0, i < dirCount) << path << ": directories come first";
        if (i < dirCount) {
            EXPECT_EQ(view.GetVisibleDir(part, id, i), child);
            walk.dirs[path] = child;
            uint64_t subBytes = 0;
            files += Visit(view, part, child, path + "/", depth + 1, walk, subBytes);
            bytes += subBytes;
        } else {
            walk.files[path] = {child, brief.size, brief.kind, brief.typeId};
            ++files;
            bytes += brief.size;
        }
    }
    NodeStatusBrief status;
    EXPECT_TRUE(view.GetNodeStatus(part, id, &status)) << prefix;
    EXPECT_EQ(status.visibleFiles, files) << prefix;
    EXPECT_EQ(status.visibleBytes, bytes) << prefix;
    return files;
}

// Every partition's visible tree, or the first `parts` partitions'.
std::vector<Walk> WalkAll(const IScanView& view, uint64_t parts = ~uint64_t{0}) {
    std::vector<Walk> walks(std::min<uint64_t>(parts, view.GetPartCount()));
    for (uint64_t p = 0; p < walks.size(); ++p) {
        PartBrief brief;
        EXPECT_TRUE(view.GetPartBrief(p, &brief));
        uint64_t bytes = 0;
        Visit(view, p, brief.rootNodeId, "", 0, walks[p], bytes);
    }
    return walks;
}

// Ticks the preview until it has nothing left.
void DrainPreview(ScanEngine& engine, unsigned int budget) {
    for (uint64_t guard = 0; (engine.TickPreview(budget) || !engine.FilterEnding()) && guard < 10'000'000; ++guard) {
    }
    EXPECT_FALSE(engine.TickPreview(budget));
    EXPECT_TRUE(engine.FilterEnding());
}

// Ticks the preview from this thread while the scan runs, then until it has nothing left.
void ScanWhileTicking(ScanEngine& engine, const ScanInput& input, unsigned int budget) {
    ASSERT_TRUE(engine.Start(input));
    uint64_t ticks = 0;
    while (engine.IsRunning()) {
        engine.TickPreview(budget);
        ++ticks;
        if (budget == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    DrainPreview(engine, budget);
    EXPECT_GT(ticks, 0u);
}

// Runs the scan to its end, then lets the preview take everything in, as the host does after a
// quick scan.
void ScanThenPreview(ScanEngine& engine, const ScanInput& input) {
    ASSERT_TRUE(engine.Start(input));
    while (engine.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    DrainPreview(engine, 0);
}

ScanInput DiskInput(const std::filesystem::path& image) {
    ScanInput input;
    input.devicePath = image.wstring();
    input.sectorCount = std::filesystem::file_size(image) / 512;
    return input;
}

int OnlyJpeg(const RFileNode* node, void*) { return node && node->typeId == 46; }

// Images and manifests, loaded once per test program.
const Manifest& ManifestOf(const std::string& image) {
    static std::map<std::string, Manifest> loaded;
    auto it = loaded.find(image);
    if (it == loaded.end()) it = loaded.emplace(image, LoadManifest(image)).first;
    return it->second;
}

class Browse : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Browse, EveryVolumeShowsItsManifestWithCountsAndContent) {
    const Manifest* manifest = &ManifestOf(GetParam());
    ScanEngine engine;
    ScanWhileTicking(engine, DiskInput(FixtureImage(GetParam())), 10);
    IScanView& view = engine.GetView();
    // The volumes, then the partition of carved files.
    ASSERT_EQ(view.GetPartCount(), manifest->partitions.size() + 1);
    PartBrief carved;
    ASSERT_TRUE(view.GetPartBrief(manifest->partitions.size(), &carved));
    EXPECT_EQ(carved.fsType, 13u);
    auto walks = WalkAll(view);

    unsigned long long scanned = 0, total = 0, found = 0, foundBytes = 0;
    engine.GetScanProgress(scanned, total, found, foundBytes);
    EXPECT_EQ(scanned, total);
    uint64_t walkedFiles = 0, walkedBytes = 0;
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> byType;
    for (const auto& walk : walks) {
        for (const auto& [path, shown] : walk.files) {
            ++walkedFiles;
            walkedBytes += shown.size;
            byType[shown.typeId].first += 1;
            byType[shown.typeId].second += shown.size;
        }
    }
    EXPECT_EQ(found, walkedFiles);
    EXPECT_EQ(foundBytes, walkedBytes);

    for (size_t p = 0; p < manifest->partitions.size(); ++p) {
        const auto& partition = manifest->partitions[p];
        PartBrief brief;
        ASSERT_TRUE(view.GetPartBrief(p, &brief));
        EXPECT_EQ(brief.id, p);
        EXPECT_EQ(brief.startSector, partition.startSector) << p;
        EXPECT_EQ(brief.sectorCount, partition.sectorCount) << p;
        EXPECT_EQ(brief.listedBySystem, 1u);
        // Exactly the manifest's files, under the names a recovery gives them.
        std::set<std::string> want, shown;
        for (const auto& e : partition.entries) {
            if (e.directory || !e.findable) continue;
            std::string path = ShownPath(partition, e);
            if (!walks[p].files.count(path)) {
                for (const auto& other : e.alsoNamed)
                    if (walks[p].files.count(other)) path = other;
            }
            want.insert(path);
            auto it = walks[p].files.find(path);
            if (it == walks[p].files.end()) continue;
            EXPECT_EQ(it->second.size, e.size) << path;
            EXPECT_EQ(it->second.kind, ShownAsDeletedFile(e) ? 2u : 1u) << path;
        }
        for (const auto& [path, s] : walks[p].files)
            if (path.rfind("$Extend/", 0) != 0) shown.insert(path);
        EXPECT_EQ(shown, want) << "partition " << p;
    }

    // Per type: what the walk saw, in ascending type order.
    std::vector<std::pair<int, unsigned long long>> listed;
    EXPECT_EQ(engine.EnumCategories(
                  [](int type, unsigned long long count, void* ctx) {
                      static_cast<std::vector<std::pair<int, unsigned long long>>*>(ctx)->push_back({type, count});
                      return 0;
                  },
                  &listed),
              byType.size());
    ASSERT_EQ(listed.size(), byType.size());
    size_t at = 0;
    for (const auto& [type, sums] : byType) {
        EXPECT_EQ(listed[at++], std::make_pair(static_cast<int>(type), static_cast<unsigned long long>(sums.first)));
        EXPECT_EQ(engine.GetCategoryCount(static_cast<int>(type)), sums.first);
        EXPECT_EQ(engine.GetCategoryFileSize(static_cast<int>(type)), sums.second);
    }
    uint64_t jpegs = 0;
    EXPECT_EQ(engine.EnumCategoryNodes(
                  46, 0, 0,
                  [](unsigned int, const RFileNode* node, void* ctx) {
                      *static_cast<uint64_t*>(ctx) += node->typeId == 46;
                      return 0;
                  },
                  &jpegs),
              byType[46].first);
    EXPECT_EQ(jpegs, byType[46].first);

    // Every recoverable file reads back exactly, in odd chunks.
    size_t compared = 0, recoverable = 0;
    for (size_t p = 0; p < manifest->partitions.size(); ++p) {
        ASSERT_TRUE(view.OpenReader(p));
        for (const auto& e : manifest->partitions[p].entries) {
            if (e.directory || !e.findable || e.recovery == "none") continue;
            ++recoverable;
            const Shown* shown = FindShown(walks[p], manifest->partitions[p], e);
            if (!shown) continue;
            uint64_t size = e.recoveredSize.value_or(e.size);
            std::string content(size, '\0');
            constexpr uint32_t kChunk = 3001;
            for (uint64_t offset = 0; offset < size; offset += kChunk) {
                uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, size - offset));
                ASSERT_TRUE(view.ReadNodeData(p, shown->id, content.data() + offset, offset, length))
                    << e.path << " at " << offset;
            }
            EXPECT_EQ(Md5Hex(content.data(), content.size()), e.recoveredMd5) << e.path;
            if (size > 0) {
                EXPECT_FALSE(view.ReadNodeData(p, shown->id, content.data(), e.size, 1));
            }
            ++compared;
        }
        view.CloseReader(p);
    }
    EXPECT_EQ(compared, recoverable);
    EXPECT_GE(compared, 3u);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, Browse,
                         ::testing::Values("ntfs.img", "ntfs-streams.img", "fat32.img", "fat16.img", "fat16-labels.img", "exfat.img",
                                           "mbr-disk.img"),
                         [](const auto& info) {
                             std::string name = info.param.substr(0, info.param.find('.'));
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// The quick scan kind walks the listed volumes and ends: the same volumes and files as the
// deep scan gives them, no sector read for carving, no partition of carved files.
TEST(QuickScan, ListsWhatTheDeepScanListsOfTheVolumesAndReadsNoRawSectors) {
    auto image = FixtureImage("mbr-disk.img");
    ScanEngine deep;
    ScanWhileTicking(deep, DiskInput(image), 0);
    ScanEngine quick;
    ScanInput input = DiskInput(image);
    input.scanKind = kScanKindFileSystems;
    ScanWhileTicking(quick, input, 0);
    auto deepWalks = WalkAll(deep.GetView());
    auto quickWalks = WalkAll(quick.GetView());
    const size_t volumes = ManifestOf("mbr-disk.img").partitions.size();
    ASSERT_EQ(deepWalks.size(), volumes + 1);
    ASSERT_EQ(quickWalks.size(), volumes);
    for (size_t p = 0; p < volumes; ++p) {
        std::set<std::string> deepFiles, quickFiles;
        for (const auto& [path, s] : deepWalks[p].files) deepFiles.insert(path);
        for (const auto& [path, s] : quickWalks[p].files) quickFiles.insert(path);
        EXPECT_EQ(quickFiles, deepFiles) << "partition " << p;
        EXPECT_FALSE(quickFiles.empty());
    }
    unsigned long long scanned = 1, total = 0, found = 0, bytes = 0;
    quick.GetScanProgress(scanned, total, found, bytes);
    EXPECT_EQ(scanned, 0u);
    EXPECT_GT(found, 0u);
}

// Live files (kind 1) anywhere in a partition's tree of attached nodes.
uint64_t LiveFilesAttached(const IScanView& view, uint64_t part, uint32_t id, int depth = 0) {
    uint64_t live = 0;
    const uint64_t count = view.GetChildCount(part, id);
    for (uint64_t i = 0; i < count && depth < 40; ++i) {
        const uint32_t child = view.GetChild(part, id, i);
        NodeBrief brief;
        if (!view.GetNodeBrief(part, child, &brief)) continue;
        if (brief.isDirectory) live += LiveFilesAttached(view, part, child, depth + 1);
        else if (brief.kind == 1) ++live;
    }
    return live;
}

class DeletedFilesScan : public ::testing::TestWithParam<std::string> {};

// The quick scan for deleted files shows what the quick scan shows through the deleted-only
// filter, recycle-bin items under their former names included, without taking a live file in.
TEST_P(DeletedFilesScan, ShowsWhatTheFilteredQuickScanShowsWithoutLiveFiles) {
    auto image = FixtureImage(GetParam());
    ScanEngine filtered, deletedOnly;
    ScanInput input = DiskInput(image);
    input.scanKind = kScanKindFileSystems;
    filtered.SetNodeFilter(NodeFilterOnlyDeleted, nullptr);
    ScanThenPreview(filtered, input);
    input.scanKind = kScanKindDeletedFiles;
    deletedOnly.SetNodeFilter(NodeFilterOnlyDeleted, nullptr);
    ScanThenPreview(deletedOnly, input);
    auto want = WalkAll(filtered.GetView());
    auto got = WalkAll(deletedOnly.GetView());
    ASSERT_EQ(got.size(), want.size());
    const Manifest& manifest = ManifestOf(GetParam());
    bool recycled = false;
    for (size_t p = 0; p < want.size(); ++p) {
        ASSERT_FALSE(want[p].files.empty());
        std::vector<std::tuple<std::string, uint64_t, uint32_t, uint32_t>> a, b;
        for (const auto& [path, s] : want[p].files) a.emplace_back(path, s.size, s.kind, s.typeId);
        for (const auto& [path, s] : got[p].files) b.emplace_back(path, s.size, s.kind, s.typeId);
        EXPECT_EQ(b, a) << "partition " << p;
        std::set<std::string> wantDirs, gotDirs;
        for (const auto& [path, id] : want[p].dirs) wantDirs.insert(path);
        for (const auto& [path, id] : got[p].dirs) gotDirs.insert(path);
        EXPECT_EQ(gotDirs, wantDirs) << "partition " << p;
        for (const auto& e : manifest.partitions[p].entries)
            if (!e.recycledAs.empty() && !e.directory) {
                recycled = true;
                EXPECT_TRUE(got[p].files.count(e.recycledAs)) << e.recycledAs;
            }
        PartBrief brief;
        ASSERT_TRUE(deletedOnly.GetView().GetPartBrief(p, &brief));
        EXPECT_EQ(LiveFilesAttached(deletedOnly.GetView(), p, brief.rootNodeId), 0u) << "partition " << p;
        ASSERT_TRUE(filtered.GetView().GetPartBrief(p, &brief));
        EXPECT_GT(LiveFilesAttached(filtered.GetView(), p, brief.rootNodeId), 0u) << "partition " << p;
    }
    EXPECT_TRUE(recycled) << "the fixture has recycled files";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, DeletedFilesScan, ::testing::Values("ntfs.img", "fat32.img", "exfat.img"),
                         [](const auto& info) { return info.param.substr(0, info.param.find('.')); });

TEST(BrowseNtfs, OnlyDeletedShowsExactlyTheDeletedFilesAndAPreviewPathNarrowsTheTree) {
    const Manifest* manifest = &ManifestOf("ntfs.img");
    auto image = FixtureImage("ntfs.img");
    ScanEngine engine;
    engine.SetNodeFilter(NodeFilterOnlyDeleted, nullptr);
    ScanWhileTicking(engine, DiskInput(image), 0);
    auto walks = WalkAll(engine.GetView());
    ASSERT_EQ(walks.size(), manifest->partitions.size() + 1);
    for (size_t p = 0; p < manifest->partitions.size(); ++p) {
        std::set<std::string> want, shown;
        for (const auto& e : manifest->partitions[p].entries)
            if (e.findable && ShownAsDeletedFile(e)) want.insert(ShownPath(manifest->partitions[p], e));
        for (const auto& [path, s] : walks[p].files) {
            shown.insert(path);
            EXPECT_EQ(s.kind, 2u) << path;
        }
        EXPECT_EQ(shown, want) << "partition " << p;
        EXPECT_FALSE(want.empty());
    }

    // Back to everything: the refilter passes bring every file back.
    engine.ClearNodeFilter();
    EXPECT_FALSE(engine.FilterEnding());
    for (int guard = 0; (engine.TickPreview(25) || !engine.FilterEnding()) && guard < 1'000'000; ++guard) {
    }
    auto everything = WalkAll(engine.GetView());
    EXPECT_GT(everything[0].files.size(), walks[0].files.size() + 2000);

    // A preview path: the root stands for the drive, then names are compared in any case.
    ScanInput narrowed = DiskInput(image);
    narrowed.previewPath = L"X:\\documents";
    ScanWhileTicking(engine, narrowed, 0);
    // (The carved files' partition was found by searching: all of it lies outside any path.)
    auto inside = WalkAll(engine.GetView(), manifest->partitions.size());
    size_t shownFiles = 0;
    for (size_t p = 0; p < inside.size(); ++p) {
        // Files that lost their path stay in view wherever the preview looks.
        for (const auto& [path, s] : inside[p].files) {
            EXPECT_TRUE(path.rfind("Documents/", 0) == 0 || path.rfind(kLostPathsFolder + "/", 0) == 0) << path;
            ++shownFiles;
        }
        size_t want = 0;
        for (const auto& e : manifest->partitions[p].entries) {
            std::string shown = ShownPath(manifest->partitions[p], e);
            want += e.findable && !e.directory &&
                    (shown.rfind("Documents/", 0) == 0 || shown.rfind(kLostPathsFolder + "/", 0) == 0);
        }
        EXPECT_EQ(inside[p].files.size(), want) << p;
    }
    EXPECT_GT(shownFiles, 5u);
}

TEST(BrowseNtfs, TickingADirectoryTicksExactlyItsVisibleFiles) {
    auto image = FixtureImage("ntfs.img");
    ScanEngine engine;
    engine.SetNodeFilter([](const RFileNode* node, void*) { return node->size != 11 ? 1 : 0; }, nullptr);
    ScanWhileTicking(engine, DiskInput(image), 0);
    IScanView& view = engine.GetView();
    auto walks = WalkAll(view);
    // NTFS's big-dir holds 2000 files of 11 bytes and nothing else: hidden by the filter.
    EXPECT_EQ(walks[0].dirs.count("big-dir"), 0u);
    ASSERT_TRUE(walks[0].dirs.count("Documents"));
    uint32_t documents = walks[0].dirs.at("Documents");
    view.SetNodeChecked(0, documents, true);
    uint64_t want = 0;
    size_t ticked = 0;
    for (const auto& [path, shown] : walks[0].files) {
        NodeStatusBrief status;
        ASSERT_TRUE(view.GetNodeStatus(0, shown.id, &status));
        bool inside = path.rfind("Documents/", 0) == 0;
        EXPECT_EQ(status.checkState, inside ? 1u : 0u) << path;
        if (inside) {
            want += shown.size;
            ++ticked;
        }
    }
    EXPECT_GT(ticked, 3u);
    EXPECT_EQ(view.GetCheckedBytes(), want);
    NodeStatusBrief status;
    ASSERT_TRUE(view.GetNodeStatus(0, documents, &status));
    EXPECT_EQ(status.checkState, 1u);
    EXPECT_EQ(status.checkedVisibleFiles, ticked);
    PartBrief part;
    ASSERT_TRUE(view.GetPartBrief(0, &part));
    ASSERT_TRUE(view.GetNodeStatus(0, part.rootNodeId, &status));
    EXPECT_EQ(status.checkState, 2u);

    // Many at once, with a pair past the partition list skipped.
    unsigned long long parts[] = {0, 99};
    unsigned int ids[] = {documents, documents};
    view.SetNodesChecked(parts, ids, 2, false);
    EXPECT_EQ(view.GetCheckedBytes(), 0u);
    view.SetNodesChecked(nullptr, ids, 2, true);
    view.SetNodesChecked(parts, ids, 0, true);
    EXPECT_EQ(view.GetCheckedBytes(), 0u);

    // A whole type ticks in every partition.
    engine.SetCategoryChecked(46, true);
    EXPECT_EQ(engine.GetCategoryCheckStatus(46), 1);
    EXPECT_EQ(engine.GetCategoryCheckCount(46), engine.GetCategoryCount(46));
    EXPECT_EQ(view.GetCheckedBytes(), engine.GetCategoryFileSize(46));
    engine.SetCategoryChecked(46, false);
    EXPECT_EQ(engine.GetCategoryCheckStatus(46), 0);
    EXPECT_EQ(view.GetCheckedBytes(), 0u);
}

TEST(BrowseNtfs, FiltersAndCollectorsOutliveAStartAndReadersNest) {
    auto image = FixtureImage("ntfs.img");
    ScanEngine engine;
    // Nothing started: every call answers softly.
    IScanView& view = engine.GetView();
    EXPECT_EQ(view.GetPartCount(), 0u);
    PartBrief brief;
    EXPECT_FALSE(view.GetPartBrief(0, &brief));
    EXPECT_STREQ(view.CurrentPath(), L"");
    EXPECT_FALSE(view.OpenReader(0));
    EXPECT_FALSE(engine.TickPreview(0));
    EXPECT_FALSE(engine.FilterEnding());
    EXPECT_EQ(engine.GetCategoryCount(46), 0u);
    EXPECT_EQ(engine.EnumCategories([](int, unsigned long long, void*) { return 0; }, nullptr), 0u);

    unsigned int jpegs = engine.AddCollector(OnlyJpeg, nullptr);
    unsigned int all = engine.AddCollector([](const RFileNode*, void*) { return 1; }, nullptr);
    EXPECT_EQ(engine.GetCollectedCount(jpegs, 0), 0u);
    engine.SetNodeFilter(NodeFilterOnlyDeleted, nullptr);
    std::vector<uint64_t> firstCounts;
    for (int round = 0; round < 2; ++round) {
        ScanWhileTicking(engine, DiskInput(image), round == 0 ? 0 : 50);
        auto walks = WalkAll(view);
        for (size_t p = 0; p < walks.size(); ++p) {
            for (const auto& [path, s] : walks[p].files) EXPECT_EQ(s.kind, 2u) << path;
            uint64_t counted = engine.GetCollectedCount(jpegs, p);
            if (round == 0) {
                firstCounts.push_back(counted);
            } else {
                EXPECT_EQ(counted, firstCounts[p]) << p;
            }
            EXPECT_GE(engine.GetCollectedCount(all, p), walks[p].files.size());
        }
        EXPECT_GT(firstCounts[0], 0u);
    }
    engine.RemoveCollector(jpegs);
    EXPECT_EQ(engine.GetCollectedCount(jpegs, 0), 0u);
    EXPECT_EQ(engine.GetCollectedCount(all, 99), 0u);

    // Readers: two opens, two closes; reads stop after the last close.
    auto walks = WalkAll(view);
    ASSERT_FALSE(walks[0].files.empty());
    uint32_t id = walks[0].files.begin()->second.id;
    char byte = 0;
    EXPECT_FALSE(view.ReadNodeData(0, id, &byte, 0, 1));
    ASSERT_TRUE(view.OpenReader(0));
    ASSERT_TRUE(view.OpenReader(0));
    view.CloseReader(0);
    EXPECT_TRUE(view.ReadNodeData(0, id, &byte, 0, 1));
    view.CloseReader(0);
    EXPECT_FALSE(view.ReadNodeData(0, id, &byte, 0, 1));
    view.CloseReader(0);
    EXPECT_FALSE(view.OpenReader(99));
}

namespace {

// Hands every call on to a view, except VisitChildren: that one is the interface's own, made of
// the single calls, as a host's own view would have it.
class PlainView final : public IScanView {
public:
    explicit PlainView(IScanView& view) : v_(view) {}
    unsigned long long GetPartCount() const override { return v_.GetPartCount(); }
    bool GetPartBrief(unsigned long long p, PartBrief* out) const override { return v_.GetPartBrief(p, out); }
    bool VisitNode(unsigned long long p, unsigned int id, void (*visit)(const RFileNode*, void*), void* c) const override {
        return v_.VisitNode(p, id, visit, c);
    }
    bool GetNodeBrief(unsigned long long p, unsigned int id, NodeBrief* out) const override {
        return v_.GetNodeBrief(p, id, out);
    }
    unsigned long long GetVisibleChildCount(unsigned long long p, unsigned int id) const override {
        return v_.GetVisibleChildCount(p, id);
    }
    unsigned int GetVisibleChild(unsigned long long p, unsigned int id, unsigned long long i) const override {
        return v_.GetVisibleChild(p, id, i);
    }
    unsigned long long GetVisibleDirCount(unsigned long long p, unsigned int id) const override {
        return v_.GetVisibleDirCount(p, id);
    }
    unsigned long long GetChildCount(unsigned long long p, unsigned int id) const override { return v_.GetChildCount(p, id); }
    unsigned int GetChild(unsigned long long p, unsigned int id, unsigned long long i) const override {
        return v_.GetChild(p, id, i);
    }
    unsigned int GetVisibleDir(unsigned long long p, unsigned int id, unsigned long long i) const override {
        return v_.GetVisibleDir(p, id, i);
    }
    void SetNodeChecked(unsigned long long p, unsigned int id, bool c) override { v_.SetNodeChecked(p, id, c); }
    void SetNodesChecked(const unsigned long long* p, const unsigned int* ids, int n, bool c) override {
        v_.SetNodesChecked(p, ids, n, c);
    }
    const wchar_t* CurrentPath() const override { return v_.CurrentPath(); }
    unsigned long long GetCheckedBytes() const override { return v_.GetCheckedBytes(); }
    bool GetNodeStatus(unsigned long long p, unsigned int id, NodeStatusBrief* out) const override {
        return v_.GetNodeStatus(p, id, out);
    }
    bool OpenReader(unsigned long long p) override { return v_.OpenReader(p); }
    bool ReadNodeData(unsigned long long p, unsigned int id, void* b, unsigned long long o, unsigned int n) override {
        return v_.ReadNodeData(p, id, b, o, n);
    }
    void CloseReader(unsigned long long p) override { v_.CloseReader(p); }
    bool ReadNodeDataChecked(unsigned long long p, unsigned int id, void* b, unsigned long long o, unsigned int n,
                             ReadGap* g, unsigned int m, unsigned int* c) override {
        return v_.ReadNodeDataChecked(p, id, b, o, n, g, m, c);
    }

private:
    IScanView& v_;
};

struct Seen {
    uint32_t id;
    std::string name;
    uint64_t size;
    bool operator==(const Seen&) const = default;
};

void Take(const RFileNode* node, void* context) {
    static_cast<std::vector<Seen>*>(context)->push_back({node->id, Utf8(node->name.c_str()), node->size});
}

// A folder's children through VisitChildren, `page` positions a call.
std::vector<Seen> Paged(const IScanView& view, uint64_t part, uint32_t id, bool visibleOnly, uint64_t page,
                        uint64_t& positions) {
    std::vector<Seen> seen;
    positions = 0;
    for (uint64_t got; (got = view.VisitChildren(part, id, visibleOnly, positions, page, Take, &seen)) != 0;) {
        EXPECT_LE(got, page);
        positions += got;
        if (got < page) break;
    }
    return seen;
}

// The same through one GetChild and one VisitNode per child.
std::vector<Seen> OneByOne(const IScanView& view, uint64_t part, uint32_t id, bool visibleOnly, uint64_t& count) {
    std::vector<Seen> seen;
    count = visibleOnly ? view.GetVisibleChildCount(part, id) : view.GetChildCount(part, id);
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t child = visibleOnly ? view.GetVisibleChild(part, id, i) : view.GetChild(part, id, i);
        if (child != id) view.VisitNode(part, child, Take, &seen);
    }
    return seen;
}

}  // namespace

// With only deleted files in view, a folder's visible children differ from its attached ones,
// and pages that do not divide the lists cross from folders to files.
TEST(BrowseNtfs, ChildrenVisitedInPagesAreTheChildrenOneByOne) {
    auto image = FixtureImage("ntfs.img");
    ScanEngine engine;
    engine.SetNodeFilter(NodeFilterOnlyDeleted, nullptr);
    ScanWhileTicking(engine, DiskInput(image), 0);
    IScanView& view = engine.GetView();
    PlainView plain(view);
    size_t folders = 0, differing = 0, children = 0;
    for (uint64_t part = 0; part < view.GetPartCount(); ++part) {
        PartBrief brief;
        ASSERT_TRUE(view.GetPartBrief(part, &brief));
        std::vector<uint32_t> pending{brief.rootNodeId};
        while (!pending.empty()) {
            const uint32_t id = pending.back();
            pending.pop_back();
            ++folders;
            for (bool visibleOnly : {false, true}) {
                uint64_t count = 0;
                const auto want = OneByOne(view, part, id, visibleOnly, count);
                for (uint64_t page : {1u, 7u, 4096u}) {
                    uint64_t positions = 0;
                    EXPECT_EQ(Paged(view, part, id, visibleOnly, page, positions), want) << id << " page " << page;
                    EXPECT_EQ(positions, count);
                }
                uint64_t positions = 0;
                EXPECT_EQ(Paged(plain, part, id, visibleOnly, 7, positions), want) << id;
                EXPECT_EQ(positions, count);
                EXPECT_EQ(view.VisitChildren(part, id, visibleOnly, count, 5, Take, nullptr), 0u);
                children += want.size();
            }
            differing += view.GetChildCount(part, id) != view.GetVisibleChildCount(part, id);
            for (uint64_t i = 0, n = view.GetChildCount(part, id); i < n; ++i) {
                NodeBrief child;
                uint32_t c = view.GetChild(part, id, i);
                if (c != id && view.GetNodeBrief(part, c, &child) && child.isDirectory) pending.push_back(c);
            }
        }
    }
    EXPECT_GT(folders, 10u);
    EXPECT_GT(differing, 3u);
    EXPECT_GT(children, 2000u);
}
