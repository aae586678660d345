// One writer growing, filtering and ticking a partition's preview while readers walk the
// published snapshots and the type index. Every snapshot a reader holds must add up on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "fs/PartInfo.h"
#include "results/PartView.h"
#include "results/VirtualFileTree.h"

using namespace ravlin;

namespace {

// Walks one snapshot from the root: a directory's visible count is its visible files plus what
// its visible subdirectories hold. Returns the number of visible files, or -1 on a mismatch.
int64_t WalkSnapshot(const PartReadView& view, uint32_t id, int depth, std::string& error) {
    const EntryBrief* brief = view.Brief(id);
    if (!brief) return 0;
    if (depth > 64) {
        error = "tree deeper than it was built";
        return -1;
    }
    uint64_t sum = 0;
    if (const auto* files = view.Files(id)) {
        for (uint32_t child : *files) {
            const EntryBrief* c = view.Brief(child);
            if (!c || !c->visible || c->isDirectory || c->parentId != id) {
                error = "file list of " + std::to_string(id) + " holds " + std::to_string(child);
                return -1;
            }
            ++sum;
        }
    }
    if (const auto* dirs = view.Dirs(id)) {
        for (uint32_t child : *dirs) {
            int64_t below = WalkSnapshot(view, child, depth + 1, error);
            if (below < 0) return -1;
            if (below == 0) {
                error = "empty directory " + std::to_string(child) + " listed as visible";
                return -1;
            }
            sum += static_cast<uint64_t>(below);
        }
    }
    if (brief->visibleFiles != sum) {
        error = "directory " + std::to_string(id) + " counts " + std::to_string(brief->visibleFiles) +
                " but lists " + std::to_string(sum);
        return -1;
    }
    return static_cast<int64_t>(sum);
}

}  // namespace

TEST(PreviewConcurrency, ReadersWalkSnapshotsWhileOneWriterIngestsAndTicks) {
    auto part = std::make_shared<ExtFindPartInfo>();
    part->rootNodeId = 1;
    part->listedBySystem = 1;
    PartView view;
    VirtualFileTree tree;
    PreviewTotals totals;
    NodePredicate filter = [](const RFileNode&) { return true; };
    std::array<CollectorSlot, kCollectorSlots> collectors;
    collectors[0].id = 7;
    collectors[0].predicate = [](const RFileNode& n) { return n.typeId == 46; };
    std::vector<std::wstring> path;
    tree.SyncParts({part});
    view.treePartIndex = tree.PartIndex(part);

    std::atomic<bool> done{false};
    std::atomic<uint64_t> walks{0};
    std::mutex errorLock;
    std::string firstError;
    auto fail = [&](const std::string& what) {
        std::lock_guard<std::mutex> guard(errorLock);
        if (firstError.empty()) firstError = what;
    };

    std::thread writer([&] {
        std::mt19937 random(42);
        auto add = [&](uint32_t id, uint32_t parent, bool dir) {
            RFileNode node;
            node.id = id;
            node.parentId = parent;
            node.kind = dir ? NodeKind::Directory : NodeKind::File;
            node.size = dir ? 0 : 1 + random() % 100000;
            node.typeId = dir ? 0 : 40 + random() % 8;
            node.name = L"n" + std::to_wstring(id);
            part->StoreNode(std::move(node));
        };
        add(1, 0, true);
        std::vector<uint32_t> dirs{1};
        uint32_t next = 2;
        for (int round = 0; round < 60; ++round) {
            for (int i = 0; i < 200; ++i) {
                bool dir = random() % 8 == 0;
                uint32_t id = next++;
                add(id, dirs[random() % dirs.size()], dir);
                if (dir) dirs.push_back(id);
            }
            if (round % 10 == 5) {
                uint64_t limit = 20000 + random() % 60000;
                filter = [limit](const RFileNode& n) { return n.IsDirectoryKind() || n.size < limit; };
            }
            std::lock_guard<platform::RwLock> guard(view.lock);
            PreviewContext ctx{path, 1, filter, collectors, &tree, totals, ActiveCollectors(collectors)};
            if (round % 10 == 5) view.RefilterRange(ctx, *part, 0, view.EntryLimit());
            uint32_t high = part->NextNodeId();
            for (uint32_t id = view.ingestCursor; id < high; ++id) {
                if (const RFileNode* node = part->LiveNodeAt(id)) view.Ingest(ctx, *part, id, *node);
            }
            view.ingestCursor = high;
            for (int t = 0; t < 5; ++t) {
                uint32_t id = 1 + random() % (high - 1);
                view.SetNodeChecked(ctx, *part, id, random() % 2 == 0);
            }
            view.Publish();
            tree.Publish();
        }
        done = true;
    });

    auto reader = [&] {
        while (!done) {
            auto snapshot = view.Snapshot();
            if (snapshot) {
                std::string error;
                int64_t visible = WalkSnapshot(*snapshot, 1, 0, error);
                if (visible < 0) fail(error);
            }
            auto types = tree.Snapshot();
            if (types) {
                for (const auto& [type, entry] : types->types) {
                    if (!entry.refs || entry.refs->size() != entry.count || entry.checkedCount > entry.count) {
                        fail("type " + std::to_string(type) + " list and count disagree");
                    }
                }
            }
            for (uint64_t i = 0, n = view.VisibleChildCount(1); i < n; ++i) {
                NodeStatusBrief status;
                uint32_t child = view.VisibleChildAt(1, i);
                if (child != 0 && !view.NodeStatus(child, status)) fail("a listed child has no status");
            }
            tree.ListTypes();
            ++walks;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
    writer.join();
    for (auto& t : readers) t.join();
    EXPECT_EQ(firstError, "");
    EXPECT_GT(walks.load(), 0u);

    // At rest, the type index and the tree agree on what is visible.
    uint64_t typed = 0;
    for (const auto& [type, count] : tree.ListTypes()) typed += count;
    auto snapshot = view.Snapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->Brief(1)->visibleFiles, typed);
    EXPECT_GT(typed, 0u);
}
