// The partition preview at scale: 5 million nodes in a realistic tree (directories of 10 to
// 1000 entries, up to 12 levels deep), ingested under an accept-all filter, then refiltered to
// hide half the files, then one file ticked and published.
// Reports ns per ingested node, ns per refiltered node, microseconds per one-tick publication
// and resident bytes per node of the preview (tree entries, lists, snapshots and type index).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>

#include "fs/PartInfo.h"
#include "results/PartView.h"
#include "results/VirtualFileTree.h"

using namespace ravlin;

namespace {

constexpr uint32_t kNodes = 5'000'000;

size_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}

std::shared_ptr<ExtFindPartInfo> BuildVolume() {
    auto part = std::make_shared<ExtFindPartInfo>();
    part->rootNodeId = 1;
    part->listedBySystem = 1;
    std::mt19937 random(2024);
    RFileNode root;
    root.id = 1;
    root.kind = NodeKind::Directory;
    root.name = L"\\";
    part->StoreNode(std::move(root));
    std::deque<std::pair<uint32_t, int>> pending{{1, 0}};
    uint32_t next = 2;
    while (next <= kNodes) {
        uint32_t dir = 1;
        int depth = 0;
        if (!pending.empty()) {
            std::tie(dir, depth) = pending.front();
            pending.pop_front();
        }
        uint32_t entries = 10 + random() % 991;
        for (uint32_t i = 0; i < entries && next <= kNodes; ++i) {
            RFileNode node;
            node.id = next++;
            node.parentId = dir;
            bool isDir = depth < 12 && random() % 12 == 0;
            node.kind = isDir ? NodeKind::Directory : (random() % 5 == 0 ? NodeKind::DeletedFile : NodeKind::File);
            node.name = L"entry" + std::to_wstring(node.id);
            if (!isDir) {
                node.size = random() % (1u << 24);
                node.typeId = 40 + random() % 30;
            }
            if (isDir) pending.emplace_back(node.id, depth + 1);
            part->StoreNode(std::move(node));
        }
    }
    return part;
}

void BM_PreviewIngestRefilterTick(benchmark::State& state) {
    auto part = BuildVolume();
    for (auto _ : state) {
        malloc_trim(0);
        size_t before = ResidentBytes();
        auto view = std::make_unique<PartView>();
        auto tree = std::make_unique<VirtualFileTree>();
        tree->SyncParts({part});
        view->treePartIndex = tree->PartIndex(part);
        PreviewTotals totals;
        NodePredicate filter = [](const RFileNode&) { return true; };
        std::array<CollectorSlot, kCollectorSlots> collectors;
        std::vector<std::wstring> path;
        PreviewContext ctx{path, 1, filter, collectors, tree.get(), totals, ActiveCollectors(collectors)};

        auto start = std::chrono::steady_clock::now();
        uint32_t high = part->NextNodeId();
        for (uint32_t id = 0; id < high; ++id) {
            if (const RFileNode* node = part->LiveNodeAt(id)) view->Ingest(ctx, *part, id, *node);
        }
        view->ingestCursor = high;
        auto taken = std::chrono::steady_clock::now();
        view->Publish();
        tree->Publish();
        auto ingested = std::chrono::steady_clock::now();

        filter = [](const RFileNode& n) { return n.IsDirectoryKind() || n.id % 2 == 0; };
        view->RefilterRange(ctx, *part, 0, view->EntryLimit());
        view->Publish();
        tree->Publish();
        auto refiltered = std::chrono::steady_clock::now();
        size_t resident = ResidentBytes() - before;

        // One visible file ticked, then the publication it needs.
        constexpr int kTicks = 200;
        std::mt19937 random(5);
        std::vector<uint32_t> files;
        while (files.size() < kTicks) {
            uint32_t id = 2 + 2 * (random() % (kNodes / 2 - 1));
            if (!part->LiveNodeAt(id)->IsDirectoryKind()) files.push_back(id);
        }
        auto tickStart = std::chrono::steady_clock::now();
        for (uint32_t id : files) {
            view->SetNodeChecked(ctx, *part, id, true);
            view->Publish();
            tree->Publish();
        }
        auto tickEnd = std::chrono::steady_clock::now();

        auto ns = [](auto a, auto b) { return std::chrono::duration<double, std::nano>(b - a).count(); };
        state.counters["ns_per_ingested_node"] = ns(start, ingested) / kNodes;
        state.counters["of_which_first_publication_ns"] = ns(taken, ingested) / kNodes;
        state.counters["ns_per_refiltered_node"] = ns(ingested, refiltered) / kNodes;
        state.counters["us_per_one_tick_publication"] = ns(tickStart, tickEnd) / kTicks / 1000.0;
        state.counters["preview_bytes_per_node"] = static_cast<double>(resident) / kNodes;
        state.counters["visible_files_after_refilter"] =
            static_cast<double>(view->Snapshot()->Brief(1)->visibleFiles);
        state.PauseTiming();
        view.reset();
        tree.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PreviewIngestRefilterTick)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
