// The NTFS scanner on volumes made by mkntfs and ntfs-3g, compared with their manifests.
#include <gtest/gtest.h>

#include <set>

#include "disk/DiskReader.h"
#include "fs/FreeSpaceMap.h"
#include "fs/RecycleNames.h"
#include "fs/ntfs/NtfsRecord.h"
#include "fs/ntfs/ScanNtfs.h"
#include "platform/DeviceTable.h"
#include "platform/FaultInjection.h"
#include "fs/FileNode.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"
#include "support/NodePaths.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

using Scanned = ScannedVolume;

std::unique_ptr<Scanned> Scan(const std::string& image, uint64_t start = 0, bool deletedPart = false,
                              bool deletedOnly = false) {
    auto s = ScanVolume(FixtureImage(image), start, deletedPart, deletedOnly);
    EXPECT_TRUE(s->part && s->part->fsType == kFsNtfs) << image;
    return s;
}

const NtfsPartInfo& Ntfs(const Scanned& s) { return static_cast<const NtfsPartInfo&>(*s.part); }

// Where a manifest entry is found after a scan.
std::string ScannedPath(const ManifestEntry& e) {
    if (!e.recycledAs.empty()) return e.recycledAs;
    if (e.path.rfind("gone/", 0) == 0) return Utf8(L"\u8DEF\u5F84\u4E22\u5931\u7684\u6587\u4EF6/") + e.Leaf();
    return e.path;
}

bool InRecycleBin(const ManifestEntry& e) { return e.path.rfind("$RECYCLE.BIN", 0) == 0; }

void ExpectMatchesManifest(Scanned& s, const ManifestPartition& manifest, bool allDeleted,
                           size_t atLeast = 2000) {
    size_t checked = 0;
    for (const auto& e : manifest.entries) {
        if (!e.findable || e.path == "gone") continue;
        std::string path = ScannedPath(e);
        auto it = s.paths.find(path);
        for (const auto& other : e.alsoNamed)
            if (it == s.paths.end()) it = s.paths.find(other);
        ASSERT_NE(it, s.paths.end()) << path;
        const RFileNode& node = *it->second;
        bool deleted = allDeleted || e.deleted || InRecycleBin(e);
        NodeKind want = e.directory ? (deleted ? NodeKind::DeletedDirectory : NodeKind::Directory)
                                    : (deleted ? NodeKind::DeletedFile : NodeKind::File);
        EXPECT_EQ(node.kind, want) << path;
        if (e.directory) continue;
        EXPECT_EQ(node.size, e.size) << path;
        if (e.modified) {
            EXPECT_EQ(node.secondTime, static_cast<uint32_t>(*e.modified)) << path;
        }
        if (e.created) {
            EXPECT_EQ(node.firstTime, static_cast<uint32_t>(*e.created)) << path;
        }
        EXPECT_EQ(node.readOnly != 0, e.HasAttribute("readonly")) << path;
        EXPECT_EQ(node.hidden != 0, e.HasAttribute("hidden")) << path;
        EXPECT_EQ(node.system != 0, e.HasAttribute("system")) << path;
        if (e.resident) {
            EXPECT_EQ(node.resident != 0, *e.resident) << path;
        }
        if (e.recovery != "none") {
            EXPECT_EQ(ContentMd5(*s.part, s.reader, node), e.recoveredMd5) << path;
        }
        ++checked;
    }
    EXPECT_GE(checked, atLeast);
}

}  // namespace

class NtfsFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        manifest_ = new Manifest(LoadManifest("ntfs.img"));
        scanned_ = Scan("ntfs.img").release();
    }
    static void TearDownTestSuite() {
        delete scanned_;
        delete manifest_;
    }
    static Manifest* manifest_;
    static Scanned* scanned_;
};
Manifest* NtfsFixture::manifest_ = nullptr;
Scanned* NtfsFixture::scanned_ = nullptr;

TEST_F(NtfsFixture, EveryManifestEntryHasItsNameKindSizeTimesFlagsAndContent) {
    ASSERT_TRUE(scanned_->part);
    ExpectMatchesManifest(*scanned_, manifest_->partitions[0], false);
}

TEST_F(NtfsFixture, MetadataFilesAreStoredButHiddenAndExtendStaysVisible) {
    const auto& part = Ntfs(*scanned_);
    // Record 0 ($MFT) has no node: id 0 means "none" in a node store.
    for (uint32_t id = 1; id <= 10; ++id) {
        if (id == 5) continue;
        const RFileNode* node = part.NodeAt(id);
        ASSERT_NE(node, nullptr) << id;
        EXPECT_NE(node->kind, NodeKind::Empty) << id;
        EXPECT_FALSE(node->valid) << id;
    }
    EXPECT_EQ(part.NodeAt(1)->name, L"$MFTMirr");
    EXPECT_EQ(part.rootNodeId, 5u);
    EXPECT_TRUE(part.LiveNodeAt(5));
    ASSERT_TRUE(scanned_->paths.count("$Extend"));
    EXPECT_TRUE(scanned_->paths.count("$Extend/$Quota"));
}

TEST_F(NtfsFixture, ADeletedFileWhoseFolderRecordWasReusedHasLostItsPath) {
    const auto& part = Ntfs(*scanned_);
    const RFileNode* orphans = part.LiveNodeAt(part.orphanFolderId);
    ASSERT_NE(orphans, nullptr);
    EXPECT_EQ(orphans->name, kLostPathFolderName);
    EXPECT_EQ(orphans->kind, NodeKind::DeletedDirectory);
    EXPECT_EQ(orphans->parentId, part.rootNodeId);
    auto it = scanned_->paths.find(Utf8(kLostPathFolderName) + "/orphan.txt");
    ASSERT_NE(it, scanned_->paths.end());
    EXPECT_EQ(it->second->kind, NodeKind::DeletedFile);
    // Its old parent record now holds reuser.txt, a file.
    const RFileNode* reuser = scanned_->paths.at("reuser.txt");
    EXPECT_EQ(reuser->kind, NodeKind::File);
}

TEST_F(NtfsFixture, TheRecycleBinShowsAsItsDisplayNameAndItsItemsGoHome) {
    auto it = scanned_->paths.find("$RECYCLE.BIN");
    ASSERT_NE(it, scanned_->paths.end());
    EXPECT_EQ(DisplayNameOf(*it->second), kRecycleBinDisplayName);
    EXPECT_EQ(it->second->kind, NodeKind::DeletedDirectory);
    const RFileNode* plan = scanned_->paths.at("Users/Ann/Documents/plan.docx");
    EXPECT_EQ(plan->kind, NodeKind::DeletedFile);
    EXPECT_EQ(plan->typeId, 37u);
    EXPECT_EQ(DisplayNameOf(*plan), L"plan.docx");
    EXPECT_EQ(scanned_->paths.at("Users/Ann")->kind, NodeKind::DeletedDirectory);
    const RFileNode* folder = scanned_->paths.at("Projects/Old Stuff");
    EXPECT_EQ(folder->kind, NodeKind::DeletedDirectory);
    EXPECT_EQ(folder->children.size(), 2u);
    // Items without a usable info stay where they are, deleted.
    std::string bin = "$RECYCLE.BIN/S-1-5-21-1004336348-1177238915-682003330-1001/";
    EXPECT_EQ(scanned_->paths.at(bin + "$RNOINFO.txt")->kind, NodeKind::DeletedFile);
    EXPECT_EQ(scanned_->paths.at(bin + "$RSHORT.txt")->kind, NodeKind::DeletedFile);
    EXPECT_FALSE(scanned_->paths.count(bin + "$RAB12CD.docx"));  // moved away
}

TEST_F(NtfsFixture, IndexAllocationSectorsOfSmallDirectoriesAreClaimed) {
    const auto& part = Ntfs(*scanned_);
    EXPECT_FALSE(part.claimedSectors.empty());
    EXPECT_FALSE(part.IsSectorFree(part.volumeSector));
    EXPECT_FALSE(part.IsSectorFree(part.mftRuns.front().startSector));
}

TEST_F(NtfsFixture, TimesAndStartIndex) {
    const auto& part = Ntfs(*scanned_);
    EXPECT_NE(part.earliestTime, 0u);
    EXPECT_GE(part.latestTime, part.earliestTime);
    ASSERT_FALSE(part.startIndex.empty());
    EXPECT_TRUE(std::is_sorted(part.startIndex.begin(), part.startIndex.end()));
    EXPECT_EQ(part.scanned.load(), 1u);
}

TEST(NtfsScan, DeletedOnlyHidesLiveFilesAndASearchedPartitionIsAllDeleted) {
    auto onlyDeleted = Scan("ntfs.img", 0, false, true);
    ASSERT_TRUE(onlyDeleted->part);
    EXPECT_FALSE(onlyDeleted->paths.count("Documents/report.pdf"));
    EXPECT_TRUE(onlyDeleted->paths.count("Documents"));  // directories stay
    EXPECT_TRUE(onlyDeleted->paths.count("deleted-photo.jpg"));
    EXPECT_TRUE(onlyDeleted->paths.count("Users/Ann/Documents/plan.docx"));

    auto searched = Scan("ntfs.img", 0, true, false);
    ASSERT_TRUE(searched->part);
    size_t live = 0;
    for (const auto& [path, node] : searched->paths) {
        EXPECT_TRUE(node->kind == NodeKind::DeletedFile || node->kind == NodeKind::DeletedDirectory)
            << path;
        ++live;
    }
    EXPECT_GT(live, 2000u);
    ExpectMatchesManifest(*searched, LoadManifest("ntfs.img").partitions[0], true);
}

// Streams written through ntfs-3g: resident and not, on a folder, on a file deleted afterwards,
// 41 on one file (most behind its attribute list), one with a 250-character name.
TEST(NtfsScan, NamedStreamsAreFilesBesideTheirOwnersWithTheirOwnContent) {
    const ManifestPartition manifest = LoadManifest("ntfs-streams.img").partitions[0];
    auto s = Scan("ntfs-streams.img");
    ASSERT_TRUE(s->part);
    ExpectMatchesManifest(*s, manifest, false, 45);
    size_t streams = 0;
    for (const auto& e : manifest.entries) {
        if (e.streamOf.empty()) continue;
        ++streams;
        const RFileNode& node = *s->paths.at(e.path);
        const RFileNode& owner = *s->paths.at(e.streamOf);
        EXPECT_EQ(node.parentId, owner.parentId) << e.path;
        auto stream = std::dynamic_pointer_cast<const RFileNodeStream>(node.ext);
        ASSERT_TRUE(stream) << e.path;
        EXPECT_EQ(stream->ownerId, owner.id) << e.path;
        EXPECT_EQ(Utf8(owner.name) + ":" + Utf8(stream->stream), e.Leaf());
    }
    EXPECT_EQ(streams, 46u);

    // Only the deleted file's streams are left when live files are hidden.
    auto deleted = Scan("ntfs-streams.img", 0, false, true);
    std::set<std::string> shown;
    for (const auto& [path, node] : deleted->paths)
        if (node->IsFileKind()) shown.insert(path);
    EXPECT_EQ(shown, (std::set<std::string>{"doomed.jpg", "doomed.jpg:tag", "doomed.jpg:thumb"}));
}

TEST(NtfsScan, WithTheFirstMftRecordWipedTheMirrorServes) {
    auto s = Scan("ntfs-mft-wiped.img");
    ASSERT_TRUE(s->part);
    ExpectMatchesManifest(*s, LoadManifest("ntfs-mft-wiped.img").partitions[0], false);
}

TEST(NtfsScan, AStopThroughTheProgressCallbackEndsTheWalk) {
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(FixtureImage("ntfs.img").wstring()));
    auto part = MakeNtfsPartition(reader, 0, nullptr);
    ASSERT_TRUE(part);
    uint64_t calls = 0;
    bool sawFinished = false;
    auto stopAt100 = [&](const ParseProgress& p) {
        sawFinished |= p.finished;
        return ++calls < 100 ? 1 : 0;
    };
    EXPECT_FALSE(ScanNtfs(*part, reader, stopAt100, false, false));
    EXPECT_TRUE(sawFinished);
    EXPECT_LE(part->NextNodeId(), 200u);
    EXPECT_EQ(part->scanned.load(), 0u);
}

TEST(NtfsScan, PartitionsOfADiskScanAtTheirOffsets) {
    auto manifest = LoadManifest("mbr-disk.img");
    for (const auto& p : manifest.partitions) {
        if (p.fs != "NTFS") continue;
        auto s = Scan("mbr-disk.img", p.startSector);
        ASSERT_TRUE(s->part);
        for (const auto& e : p.entries) {
            auto it = s->paths.find(e.path);
            ASSERT_NE(it, s->paths.end()) << e.path;
            if (!e.directory) {
                EXPECT_EQ(ContentMd5(*s->part, s->reader, *it->second), e.recoveredMd5) << e.path;
            }
        }
    }
}

TEST(NtfsScan, FreeSpaceMapComesFromTheBitmap) {
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(FixtureImage("ntfs.img").wstring()));
    FreeSpaceMap map;
    ASSERT_TRUE(LoadNtfsFreeSpace(reader, 0, map));
    EXPECT_EQ(map.sectorsPerCluster, 8u);
    EXPECT_EQ(map.clusterCount, 131071u / 8);
    EXPECT_EQ(map.firstSector, 0u);
    EXPECT_TRUE(map.InUse(0));  // the boot sector's cluster
    // The last clusters of a volume this empty are free.
    EXPECT_FALSE(map.InUse(map.clusterCount - 100));
    EXPECT_FALSE(LoadNtfsFreeSpace(reader, 7, map));
}

TEST(NtfsScan, ABadSectorInTheMftCostsOnlyTheRecordsNearIt) {
    std::map<uint32_t, std::wstring> clean;
    {
        auto s = Scan("ntfs.img");
        ASSERT_TRUE(s->part);
        s->part->ForEachNode([&](uint32_t id, const RFileNode& node) {
            if (node.kind != NodeKind::Empty && id < s->part->orphanFolderId) clean[id] = node.name;
        });
    }
    ASSERT_GT(clean.size(), 2000u);

    const std::wstring device = L"\\\\.\\PhysicalDrive58";
    int err = 0;
    auto file = platform::OpenFileBackend(FixtureImage("ntfs.img").string(), err);
    ASSERT_TRUE(file) << err;
    auto faulty = std::make_shared<platform::FaultInjectingBackend>(file);
    platform::RegisterDeviceFactory(device, [faulty] { return faulty; });
    DiskReader reader;
    DiskSourceInfo src;
    src.devicePath = device;
    uint64_t sectors = *file->SizeBytes() / 512;
    ASSERT_TRUE(reader.Open(src, 0, sectors));
    auto part = MakeNtfsPartition(reader, 0, nullptr);
    ASSERT_TRUE(part);
    constexpr uint32_t kBadRecord = 1000;
    NtfsBootParams params;
    ASSERT_TRUE(DecodeNtfsBootParams(part->bootSector, 0, params));
    uint64_t bad = RecordSector(part->mftRuns, kBadRecord, params.SectorsPerRecord());
    ASSERT_NE(bad, 0u);
    faulty->FailSectors(bad, 1);
    EXPECT_TRUE(ScanNtfs(*part, reader, nullptr, false, false));
    platform::UnregisterDevice(device);

    EXPECT_GT(reader.FailedReads(), 0u);
    size_t lost = 0;
    for (const auto& [id, name] : clean) {
        const RFileNode* node = part->NodeAt(id);
        if (node && node->kind != NodeKind::Empty) {
            EXPECT_EQ(node->name, name) << id;
            continue;
        }
        ++lost;
        EXPECT_LT(id > kBadRecord ? id - kBadRecord : kBadRecord - id, 64u) << "lost record " << id;
    }
    EXPECT_GE(lost, 1u);
    EXPECT_LE(lost, 64u);
}

// The crafted variants of the NTFS fixture: its files are still there.
TEST(NtfsCrafted, AnAbsurdRecordSizeOrMftLengthStillGivesEveryFile) {
    for (const char* image : {"ntfs-record-size.img", "ntfs-vast-mft.img"}) {
        auto s = Scan(image);
        ASSERT_TRUE(s->part) << image;
        ExpectMatchesManifest(*s, LoadManifest(image).partitions[0], false);
    }
}

// Old names its own subfolder Old/Deeper as parent: both folders and their files still reach
// the root, one of the two through the folder of lost paths.
TEST(NtfsCrafted, TwoFoldersNamingEachOtherStillReachTheRoot) {
    auto s = Scan("ntfs-parent-loop.img");
    ASSERT_TRUE(s->part);
    std::string lost = Utf8(kLostPathFolderName);
    std::map<std::string, size_t> leaves;
    for (const auto& [path, node] : s->paths) leaves[path.substr(path.rfind('/') + 1)]++;
    for (const char* leaf : {"Old", "Deeper", "old1.txt", "old2.docx", "old3.txt"})
        EXPECT_EQ(leaves[leaf], 1u) << leaf;
    bool underLost = s->paths.count(lost + "/Old/old1.txt") || s->paths.count(lost + "/Deeper/old3.txt");
    EXPECT_TRUE(underLost);
    auto manifest = LoadManifest("ntfs.img");
    for (const auto& [path, node] : s->paths) {
        if (path.ends_with("old3.txt")) {
            EXPECT_EQ(ContentMd5(*s->part, s->reader, *node),
                      manifest.partitions[0].Find("Old/Deeper/old3.txt")->recoveredMd5);
        }
    }
}
