// The partition preview tree and the type index against a reference model: random operation
// sequences, each followed by a recount of everything from scratch.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "fs/FileNode.h"
#include "fs/PartInfo.h"
#include "results/PartView.h"
#include "results/VirtualFileTree.h"

using namespace ravlin;

namespace {

// A preview of one partition driven the way the preview model drives it.
struct Harness {
    std::shared_ptr<ExtFindPartInfo> part = std::make_shared<ExtFindPartInfo>();
    PartView view;
    VirtualFileTree tree;
    PreviewTotals totals;
    NodePredicate filter = [](const RFileNode&) { return true; };
    std::array<CollectorSlot, kCollectorSlots> collectors;
    std::vector<std::wstring> path;
    uint32_t scanKind = 1;

    Harness() {
        part->rootNodeId = 1;
        part->listedBySystem = 1;
        tree.SyncParts({part});
        view.treePartIndex = tree.PartIndex(part);
    }
    PreviewContext Ctx() { return {path, scanKind, filter, collectors, &tree, totals, ActiveCollectors(collectors)}; }

    void Add(uint32_t id, uint32_t parent, bool dir, uint64_t size, uint32_t type, std::wstring name) {
        RFileNode node;
        node.id = id;
        node.parentId = parent;
        node.kind = dir ? NodeKind::Directory : NodeKind::File;
        node.size = dir ? 0 : size;
        node.typeId = dir ? 0 : type;
        node.name = std::move(name);
        part->StoreNode(std::move(node));
    }
    // One tick with no budget: refilter everything, ingest what is new, publish.
    void Tick(bool refilter = true) {
        auto ctx = Ctx();
        if (refilter) view.RefilterRange(ctx, *part, 0, view.EntryLimit());
        uint32_t high = part->NextNodeId();
        for (uint32_t id = view.ingestCursor; id < high; ++id) {
            const RFileNode* node = part->LiveNodeAt(id);
            if (node) {
                view.Ingest(ctx, *part, id, *node);
            } else {
                view.Detach(ctx, id);
            }
        }
        view.ingestCursor = high;
        view.Publish();
        tree.Publish();
    }
};

// What the preview should show, counted from the node store alone.
struct Recount {
    std::map<uint32_t, uint64_t> visibleFiles, visibleBytes, checkedVisible, checkedAll;
    std::map<uint32_t, std::set<uint32_t>> dirs, files, all;
    std::map<uint32_t, uint64_t> typeCount, typeSize, typeChecked;
    uint64_t foundCount = 0, foundBytes = 0;
    int64_t checkedBytes = 0;
};

Recount Count(Harness& h, const std::set<uint32_t>& ticked, const std::set<uint32_t>& attachedSet) {
    Recount r;
    const PartInfo& part = *h.part;
    auto parentOf = [&](uint32_t id) {
        const RFileNode* n = part.NodeAt(id);
        return n->parentId == id ? 0u : n->parentId;
    };
    // Per file: contribute to every ancestor (through attached ancestors, as aggregates do).
    for (uint32_t id : attachedSet) {
        const RFileNode* n = part.NodeAt(id);
        uint32_t parent = parentOf(id);
        if (parent) r.all[parent].insert(id);
        if (n->IsDirectoryKind()) continue;
        ++r.foundCount;
        r.foundBytes += n->size;
        bool visible = h.filter(*n);
        bool isTicked = ticked.count(id) != 0;
        if (isTicked) r.checkedBytes += static_cast<int64_t>(n->size);
        if (visible) {
            r.typeCount[n->typeId] += 1;
            r.typeSize[n->typeId] += n->size;
            if (isTicked) r.typeChecked[n->typeId] += 1;
            if (parent) r.files[parent].insert(id);
        }
        for (uint32_t a = parent; a != 0; a = parentOf(a)) {
            if (visible) {
                r.visibleFiles[a] += 1;
                r.visibleBytes[a] += n->size;
                if (isTicked) r.checkedVisible[a] += 1;
            }
            if (isTicked) r.checkedAll[a] += 1;
            if (!attachedSet.count(a)) break;
        }
    }
    for (uint32_t id : attachedSet) {
        const RFileNode* n = part.NodeAt(id);
        uint32_t parent = parentOf(id);
        if (n->IsDirectoryKind() && parent && r.visibleFiles[id] > 0) r.dirs[parent].insert(id);
    }
    return r;
}

std::set<uint32_t> AsSet(const std::vector<uint32_t>* list) {
    return list ? std::set<uint32_t>(list->begin(), list->end()) : std::set<uint32_t>();
}

void Compare(Harness& h, const std::set<uint32_t>& ticked, const std::set<uint32_t>& attachedSet,
             const std::string& when) {
    Recount r = Count(h, ticked, attachedSet);
    auto snapshot = h.view.Snapshot();
    ASSERT_TRUE(snapshot) << when;
    for (uint32_t id = 1; id < h.view.EntryLimit(); ++id) {
        const PreviewEntry* e = h.view.EntryAt(id);
        bool attached = attachedSet.count(id) != 0;
        if (!e) {
            ASSERT_FALSE(attached) << when << " id " << id;
            continue;
        }
        ASSERT_EQ(e->attached != 0, attached) << when << " id " << id;
        if (attached) {
            const RFileNode* n = h.part->NodeAt(id);
            ASSERT_EQ(e->isDirectory != 0, n->IsDirectoryKind()) << when << " id " << id;
            if (!n->IsDirectoryKind()) {
                ASSERT_EQ(e->visible != 0, h.filter(*n)) << when << " id " << id;
                ASSERT_EQ(e->checked != 0, ticked.count(id) != 0) << when << " id " << id;
            }
        }
        if (attached && e->isDirectory) {
            ASSERT_EQ(e->visibleFiles, r.visibleFiles[id]) << when << " id " << id;
            ASSERT_EQ(e->visibleBytes, r.visibleBytes[id]) << when << " id " << id;
            ASSERT_EQ(e->checkedVisibleFiles, r.checkedVisible[id]) << when << " id " << id;
            ASSERT_EQ(e->checkedFiles, r.checkedAll[id]) << when << " id " << id;
        }
        if (attached) {
            ASSERT_EQ(AsSet(&e->Children(kDirList)), r.dirs[id]) << when << " id " << id;
            ASSERT_EQ(AsSet(&e->Children(kFileList)), r.files[id]) << when << " id " << id;
            ASSERT_EQ(AsSet(&e->Children(kAllList)), r.all[id]) << when << " id " << id;
            // The snapshot says the same.
            ASSERT_EQ(AsSet(snapshot->Dirs(id)), r.dirs[id]) << when << " id " << id;
            ASSERT_EQ(AsSet(snapshot->Files(id)), r.files[id]) << when << " id " << id;
            ASSERT_EQ(AsSet(snapshot->All(id)), r.all[id]) << when << " id " << id;
            ASSERT_EQ(h.view.VisibleChildCount(id), r.dirs[id].size() + r.files[id].size());
            NodeStatusBrief status;
            ASSERT_TRUE(h.view.NodeStatus(id, status)) << when << " id " << id;
            ASSERT_EQ(status.parentId, e->parentId);
            ASSERT_EQ(status.visibleFiles, e->visibleFiles);
            ASSERT_EQ(status.checkedFiles, e->checkedFiles);
        }
    }
    for (const auto& [type, count] : r.typeCount) {
        ASSERT_EQ(h.tree.TypeCount(type), count) << when << " type " << type;
        ASSERT_EQ(h.tree.TypeSize(type), r.typeSize[type]) << when << " type " << type;
        ASSERT_EQ(h.tree.TypeCheckedCount(type), r.typeChecked[type]) << when << " type " << type;
        ASSERT_EQ(h.tree.Refs(type, 0, 0).size(), count) << when;
    }
    uint64_t typesListed = 0;
    for (const auto& [type, count] : h.tree.ListTypes()) {
        ASSERT_EQ(count, r.typeCount[type]) << when;
        typesListed += count;
    }
    uint64_t visibleTotal = 0;
    for (const auto& [type, count] : r.typeCount) visibleTotal += count;
    ASSERT_EQ(typesListed, visibleTotal) << when;
    ASSERT_EQ(h.totals.foundCount.load(), r.foundCount) << when;
    ASSERT_EQ(h.totals.foundBytes.load(), r.foundBytes) << when;
    ASSERT_EQ(h.totals.checkedBytes.load(), r.checkedBytes) << when;
    for (uint32_t k = 0; k < kCollectorSlots; ++k) {
        uint64_t want = 0;
        if (h.collectors[k].id != 0) {
            for (uint32_t id : attachedSet) {
                const RFileNode* n = h.part->NodeAt(id);
                want += !n->IsDirectoryKind() && h.collectors[k].predicate(*n);
            }
        }
        ASSERT_EQ(h.view.counters[k], want) << when << " collector " << k;
    }
}

}  // namespace

TEST(PreviewModel, RandomOperationsAgreeWithARecount) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 random(seed);
        Harness h;
        h.Add(1, 0, true, 0, 0, L"\\");
        std::vector<uint32_t> dirs{1};
        std::vector<uint32_t> files;
        std::set<uint32_t> ticked;
        std::set<uint32_t> live{1};
        uint32_t nextId = 2;
        auto pick = [&](const std::vector<uint32_t>& from) { return from[random() % from.size()]; };
        auto inSubtree = [&](uint32_t node, uint32_t top) {
            for (uint32_t a = node, steps = 0; a != 0 && steps < 10000; ++steps) {
                if (a == top) return true;
                a = h.part->NodeAt(a)->parentId;
            }
            return false;
        };
        auto liveOnes = [&](const std::vector<uint32_t>& from) {
            std::vector<uint32_t> out;
            for (uint32_t id : from)
                if (live.count(id)) out.push_back(id);
            return out;
        };
        for (int step = 0; step < 300; ++step) {
            std::string when = "seed " + std::to_string(seed) + " step " + std::to_string(step);
            int op = static_cast<int>(random() % 100);
            if (op < 35) {
                // New nodes, sometimes with ids below their parent's (children first).
                uint32_t count = 1 + random() % 4;
                for (uint32_t i = 0; i < count; ++i) {
                    auto parents = liveOnes(dirs);
                    uint32_t parent = pick(parents);
                    bool dir = random() % 4 == 0;
                    uint32_t id = nextId++;
                    h.Add(id, parent, dir, 1 + random() % 5000, 40 + random() % 5,
                          L"n" + std::to_wstring(id));
                    (dir ? dirs : files).push_back(id);
                    live.insert(id);
                }
            } else if (op < 45) {
                uint32_t threshold = random() % 5000;
                uint32_t type = 40 + random() % 5;
                switch (random() % 3) {
                    case 0: h.filter = [](const RFileNode&) { return true; }; break;
                    case 1: h.filter = [threshold](const RFileNode& n) { return n.IsDirectoryKind() || n.size > threshold; }; break;
                    default: h.filter = [type](const RFileNode& n) { return n.IsDirectoryKind() || n.typeId != type; }; break;
                }
            } else if (op < 55 && live.size() > 2) {
                // Move a node under another directory outside its own subtree.
                std::vector<uint32_t> candidates;
                for (uint32_t id : live)
                    if (id != 1) candidates.push_back(id);
                uint32_t id = pick(candidates);
                std::vector<uint32_t> targets;
                for (uint32_t d : liveOnes(dirs))
                    if (!inSubtree(d, id)) targets.push_back(d);
                if (!targets.empty()) {
                    auto lock = h.part->WriteLock();
                    h.part->NodeAt(id)->parentId = pick(targets);
                }
            } else if (op < 65) {
                // A file or a directory turns non-live, or comes back; a directory's children
                // stay under it meanwhile.
                bool directory = random() % 3 == 0 && dirs.size() > 1;
                if (!directory && files.empty()) continue;
                uint32_t id = directory ? dirs[1 + random() % (dirs.size() - 1)] : pick(files);
                auto lock = h.part->WriteLock();
                RFileNode* node = h.part->NodeAt(id);
                bool wasLive = node->IsLive();
                node->valid = wasLive ? 0 : 1;
                h.part->NoteLivenessChange(wasLive, node->IsLive());
                if (wasLive) {
                    live.erase(id);
                    ticked.erase(id);
                } else {
                    live.insert(id);
                }
            } else if (op < 70) {
                if (files.empty()) continue;
                uint32_t id = pick(files);
                auto lock = h.part->WriteLock();
                h.part->NodeAt(id)->size = 1 + random() % 9000;
                h.part->NodeAt(id)->typeId = 40 + random() % 5;
            } else if (op < 85) {
                // Tick or untick a file or a directory: only visible files change.
                auto candidates = liveOnes(random() % 2 ? files : dirs);
                if (candidates.empty()) continue;
                uint32_t id = pick(candidates);
                bool checked = random() % 3 != 0;
                auto ctx = h.Ctx();
                h.view.SetNodeChecked(ctx, *h.part, id, checked);
                std::vector<uint32_t> stack{id};
                while (!stack.empty()) {
                    uint32_t at = stack.back();
                    stack.pop_back();
                    const RFileNode* n = h.part->LiveNodeAt(at);
                    const PreviewEntry* entry = h.view.EntryAt(at);
                    if (!n || !entry || !entry->visible) continue;
                    if (!n->IsDirectoryKind()) {
                        if (checked) {
                            ticked.insert(at);
                        } else {
                            ticked.erase(at);
                        }
                        continue;
                    }
                    const PreviewEntry* e = h.view.EntryAt(at);
                    if (!e || !e->visible) continue;
                    for (uint32_t c : e->Children(kFileList)) stack.push_back(c);
                    for (uint32_t c : e->Children(kDirList)) stack.push_back(c);
                }
            } else {
                // Collectors come and go; a new one starts from zero.
                uint32_t k = random() % 4;
                if (h.collectors[k].id == 0) {
                    uint32_t type = 40 + random() % 5;
                    h.collectors[k].id = 100 + k;
                    h.collectors[k].predicate = [type](const RFileNode& n) { return n.typeId == type; };
                    h.view.counters[k] = 0;
                } else {
                    h.collectors[k] = CollectorSlot();
                    h.view.counters[k] = 0;
                    // Removal clears the slot's bits everywhere, as the preview does.
                    for (uint32_t id = 0; id < h.view.EntryLimit(); ++id) {
                        if (auto* e = const_cast<PreviewEntry*>(h.view.EntryAt(id))) e->collectorBits &= ~(1u << k);
                    }
                }
            }
            h.Tick();
            Compare(h, ticked, live, when);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(PreviewModel, ChildrenIngestedBeforeTheirParentsWaitAndAttachLater) {
    Harness h;
    h.path = {L"c:", L"keep"};
    // Children reach the store (and the preview) before their parents do.
    h.Add(6, 7, false, 100, 46, L"a.jpg");
    h.Add(5, 8, false, 200, 46, L"b.jpg");
    h.Add(4, 9, false, 300, 40, L"c.pdf");
    auto ctx = h.Ctx();
    for (uint32_t id : {6u, 5u, 4u}) h.view.Ingest(ctx, *h.part, id, *h.part->LiveNodeAt(id));
    EXPECT_FALSE(h.view.EntryAt(6)->attached);
    EXPECT_EQ(h.view.EntryAt(6)->scope, static_cast<uint8_t>(ScopeClass::Pending));
    h.Add(7, 9, true, 0, 0, L"sub");
    h.view.Ingest(ctx, *h.part, 7, *h.part->LiveNodeAt(7));  // still waits for KEEP
    EXPECT_FALSE(h.view.EntryAt(6)->attached);
    h.Add(1, 0, true, 0, 0, L"\\");
    h.Add(9, 1, true, 0, 0, L"KEEP");
    h.Add(8, 1, true, 0, 0, L"other");
    h.Add(3, 1, false, 50, 46, L"root.jpg");
    for (uint32_t id : {3u, 8u, 9u, 1u}) h.view.Ingest(ctx, *h.part, id, *h.part->LiveNodeAt(id));
    h.view.Publish();
    // The root stands for the drive and is on the path; KEEP (any case) is inside, so is all
    // below it; everything else beside it is outside.
    EXPECT_EQ(h.view.EntryAt(1)->scope, static_cast<uint8_t>(ScopeClass::OnPath));
    EXPECT_EQ(h.view.EntryAt(1)->scopeDepth, 1u);
    EXPECT_EQ(h.view.EntryAt(9)->scope, static_cast<uint8_t>(ScopeClass::Inside));
    EXPECT_TRUE(h.view.EntryAt(6)->attached);
    EXPECT_TRUE(h.view.EntryAt(4)->attached);
    EXPECT_EQ(h.view.EntryAt(8)->scope, static_cast<uint8_t>(ScopeClass::Outside));
    EXPECT_FALSE(h.view.EntryAt(5)->attached);
    EXPECT_FALSE(h.view.EntryAt(3)->attached);
    EXPECT_EQ(h.view.EntryAt(9)->visibleFiles, 2u);
    EXPECT_EQ(h.view.EntryAt(7)->visibleFiles, 1u);
    EXPECT_EQ(h.view.EntryAt(1)->visibleFiles, 2u);
    EXPECT_EQ(h.view.VisibleDirCount(1), 1u);
    EXPECT_EQ(h.view.VisibleDirAt(1, 0), 9u);
    // Subdirectories first, then files.
    EXPECT_EQ(h.view.VisibleChildCount(9), 2u);
    EXPECT_EQ(h.view.VisibleChildAt(9, 0), 7u);
    EXPECT_EQ(h.view.VisibleChildAt(9, 1), 4u);
    EXPECT_EQ(h.totals.foundCount.load(), 2u);
    // On a partition found by searching, every named node is outside.
    Harness searched;
    searched.path = {L"c:", L"keep"};
    searched.part->listedBySystem = 0;
    searched.Add(1, 0, true, 0, 0, L"\\");
    searched.Add(2, 1, true, 0, 0, L"keep");
    searched.Tick(false);
    EXPECT_EQ(searched.view.EntryAt(2)->scope, static_cast<uint8_t>(ScopeClass::Outside));
    EXPECT_FALSE(searched.view.EntryAt(1)->attached);
}

TEST(PreviewModel, FreeSpaceKindsShowRecycleNodesAndEveryDirectoryOnThePath) {
    Harness h;
    h.scanKind = 5;
    h.path = {L"c:", L"photos"};
    h.Add(1, 0, true, 0, 0, L"\\");
    h.Add(2, 1, true, 0, 0, L"Elsewhere");
    h.Add(3, 2, false, 10, 46, L"x.jpg");
    h.Add(4, 2, false, 10, 46, L"y.jpg");
    {
        auto lock = h.part->WriteLock();
        h.part->NodeAt(4)->ext = std::make_shared<RFileNodeRecycleName>(L"y.jpg");
    }
    h.Tick(false);
    EXPECT_EQ(h.view.EntryAt(2)->scope, static_cast<uint8_t>(ScopeClass::OnPath));
    EXPECT_EQ(h.view.EntryAt(2)->scopeDepth, 0u);
    EXPECT_TRUE(h.view.EntryAt(4)->attached);   // a recycle-bin node, outside the path
    EXPECT_FALSE(h.view.EntryAt(3)->attached);  // a plain file outside it
}

TEST(PreviewSnapshots, OnlyTheChangedBlockIsCopiedAndOldSnapshotsStayAsTheyWere) {
    Harness h;
    h.Add(1, 0, true, 0, 0, L"\\");
    for (uint32_t id = 2; id < 6000; ++id) h.Add(id, 1, false, 10, 46, L"f");
    h.Tick(false);
    auto before = h.view.Snapshot();
    ASSERT_TRUE(before);
    NodeStatusBrief status;
    ASSERT_TRUE(h.view.NodeStatus(5000, status));
    EXPECT_EQ(status.checkState, 0u);
    auto ctx = h.Ctx();
    h.view.SetNodeChecked(ctx, *h.part, 5000, true);
    h.view.Publish();
    auto after = h.view.Snapshot();
    for (size_t b = 0; b < 6; ++b) {
        // Block 4 (ids 4096 to 5119) holds the ticked file; block 0 its parent.
        bool changed = b == 4 || b == 0;
        ASSERT_NE(after->blocks.At(b), nullptr);
        EXPECT_EQ(after->blocks.At(b) != before->blocks.At(b), changed) << b;
    }
    EXPECT_EQ(after->blocks.At(6), nullptr);
    EXPECT_EQ(before->Brief(5000)->checked, 0);  // the old snapshot did not change
    EXPECT_EQ(after->Brief(5000)->checked, 1);
    ASSERT_TRUE(h.view.NodeStatus(5000, status));
    EXPECT_EQ(status.checkState, 1u);
    ASSERT_TRUE(h.view.NodeStatus(1, status));
    EXPECT_EQ(status.checkState, 2u);  // one of many
    EXPECT_FALSE(h.view.NodeStatus(9999, status));
    EXPECT_EQ(status.known, 0u);
    // Nothing changed: nothing published, the same snapshot stays.
    h.view.Publish();
    EXPECT_EQ(h.view.Snapshot(), after);
    // The last visible child of a directory leaving removes the directory from its parent.
    h.Add(7000, 1, true, 0, 0, L"d");
    h.Add(7001, 7000, false, 10, 46, L"only");
    h.Tick(false);
    EXPECT_EQ(h.view.VisibleDirCount(1), 1u);
    h.filter = [](const RFileNode& n) { return n.id != 7001; };
    h.Tick();
    EXPECT_EQ(h.view.VisibleDirCount(1), 0u);
    EXPECT_EQ(h.view.Snapshot()->Dirs(1), nullptr);
}

TEST(TypeIndex, AddRemoveAndPublication) {
    VirtualFileTree tree;
    auto part = std::make_shared<ExtFindPartInfo>();
    tree.SyncParts({part});
    {
        auto lock = tree.WriteLock();
        tree.AddRef(0, 1, 46, 10, false);
        tree.AddRef(0, 1, 46, 10, false);  // the same node twice changes nothing
        tree.AddRef(0, 2, 46, 20, true);
        tree.AddRef(0, 3, 46, 30, false);
        tree.RemoveRef(0, 1, 46, 100, false);  // more size than was added: floors at 0
    }
    tree.Publish();
    EXPECT_EQ(tree.TypeCount(46), 2u);
    EXPECT_EQ(tree.TypeSize(46), 0u);
    auto refs = tree.Refs(46, 0, 0);
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_EQ(refs[0].nodeId, 3u);  // the last took the removed one's place
    EXPECT_EQ(tree.TypeCheckState(46), 2);
    auto snapshot = tree.Snapshot();
    tree.Publish();
    EXPECT_EQ(tree.Snapshot(), snapshot);  // nothing changed, nothing published
    tree.AdjustChecked(46, true);
    tree.Publish();
    EXPECT_EQ(tree.TypeCheckState(46), 1);
    // A count-only change shares the published list.
    EXPECT_EQ(tree.Snapshot()->types.at(46).refs, snapshot->types.at(46).refs);
    {
        auto lock = tree.WriteLock();
        for (uint32_t id = 10; id < 22; ++id) tree.AddRef(0, id, 72, 1, false);
        tree.RemoveRef(0, 2, 46, 20, true);
        tree.RemoveRef(0, 3, 46, 30, false);
    }
    tree.Publish();
    EXPECT_EQ(tree.Refs(72, 10, 5).size(), 2u);
    EXPECT_EQ(tree.Refs(72, 12, 5).size(), 0u);
    auto types = tree.ListTypes();
    ASSERT_EQ(types.size(), 1u);  // JPG fell to zero and left
    EXPECT_EQ(types[0].first, 72u);
    EXPECT_EQ(tree.TypeCheckState(46), 0);
    // A node listed under two types at once is found under each, through any order of removal.
    {
        auto lock = tree.WriteLock();
        for (uint32_t id = 30; id < 34; ++id) tree.AddRef(0, id, 50, 1, false);
        tree.AddRef(0, 31, 51, 1, false);
        tree.AddRef(0, 31, 51, 1, false);
        tree.RemoveRef(0, 30, 50, 1, false);  // 33 moves into 30's place
        tree.RemoveRef(0, 31, 50, 1, false);
        tree.AddRef(0, 31, 51, 1, false);     // still listed under 51: no second copy
        tree.AddRef(0, 31, 50, 1, false);
        tree.RemoveRef(0, 31, 51, 1, false);
    }
    tree.Publish();
    auto fifty = tree.Refs(50, 0, 0);
    std::set<uint32_t> ids;
    for (const auto& ref : fifty) ids.insert(ref.nodeId);
    EXPECT_EQ(ids, (std::set<uint32_t>{31, 32, 33}));
    EXPECT_EQ(tree.TypeCount(50), 3u);
    EXPECT_EQ(tree.TypeCount(51), 0u);
    {
        auto lock = tree.WriteLock();
        for (uint32_t id : {33u, 31u, 32u}) tree.RemoveRef(0, id, 50, 1, false);
    }
    tree.Publish();
    EXPECT_EQ(tree.TypeCount(50), 0u);
    // A partition that leaves keeps its index slot; later ones come after it.
    auto second = std::make_shared<ExtFindPartInfo>();
    tree.SyncParts({second});
    auto third = std::make_shared<ExtFindPartInfo>();
    EXPECT_EQ(tree.PartIndex(third), 2u);
    tree.Publish();
    EXPECT_EQ(tree.PartAt(0), nullptr);
    EXPECT_EQ(tree.PartAt(1), second);
    EXPECT_EQ(tree.TypeCount(72), 0u);
}
