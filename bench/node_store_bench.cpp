// The node store at volume scale: 10 million nodes of a typical file-system mix.
// Reports ns per StoreNode and per LiveNodeAt, and heap bytes per stored node (names, runs and
// child lists included), measured with mallinfo2.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <memory>
#include <random>

#include "fs/PartInfo.h"

using namespace ravlin;

namespace {

constexpr uint32_t kNodes = 10'000'000;

// One directory per 20 entries; file names of 8 to 40 characters; one or two runs per file.
RFileNode MakeNode(uint32_t id, std::mt19937& random) {
    RFileNode node;
    node.id = id;
    bool dir = id % 20 == 0;
    node.kind = dir ? NodeKind::Directory : (id % 10 == 3 ? NodeKind::DeletedFile : NodeKind::File);
    node.parentId = id - id % 20;
    size_t length = 8 + random() % 33;
    node.name.assign(length, L'a' + static_cast<wchar_t>(id % 26));
    node.size = random() % (1 << 22);
    node.firstSector = 2048 + uint64_t{id} * 16;
    if (dir) {
        node.children.reserve(19);
        for (uint32_t c = 1; c < 20; ++c) node.children.push_back(id + c);
    } else {
        node.runs.push_back({node.firstSector, 8});
        if (id % 7 == 0) node.runs.push_back({node.firstSector + 1000, 8});
    }
    return node;
}

// Resident memory: the store's segments are mapped outside malloc.
size_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}

void BM_StoreNode(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        std::mt19937 random(42);
        std::vector<RFileNode> nodes;
        nodes.reserve(kNodes);
        for (uint32_t id = 1; id <= kNodes; ++id) nodes.push_back(MakeNode(id, random));
        malloc_trim(0);
        size_t before = ResidentBytes();
        auto part = std::make_unique<ExtFindPartInfo>();
        size_t emptyPart = ResidentBytes() - before;
        // What the nodes own outside the store (names, runs, children), moved in below.
        size_t owned = 0;
        for (const auto& n : nodes)
            owned += (n.name.capacity() > 3 ? (n.name.capacity() + 1) * sizeof(wchar_t) : 0) +
                     n.runs.capacity() * sizeof(DataRun) + n.children.capacity() * 4;
        state.ResumeTiming();
        for (auto& node : nodes) part->StoreNode(std::move(node));
        state.PauseTiming();
        size_t storeBytes = ResidentBytes() - before;
        state.counters["bytes_per_node_store"] = static_cast<double>(storeBytes) / kNodes;
        state.counters["bytes_per_node_total"] =
            static_cast<double>(storeBytes + owned) / kNodes;
        state.counters["bytes_empty_partition"] = static_cast<double>(emptyPart);
        state.counters["sizeof_RFileNode"] = sizeof(RFileNode);
        nodes.clear();
        nodes.shrink_to_fit();
        part.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kNodes);
    state.counters["ns_per_StoreNode"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kNodes),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StoreNode)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// As a scanner does it: build each node (allocating its name and runs), then store it.
void BM_BuildAndStoreNode(benchmark::State& state) {
    for (auto _ : state) {
        std::mt19937 random(42);
        auto part = std::make_unique<ExtFindPartInfo>();
        for (uint32_t id = 1; id <= kNodes; ++id) part->StoreNode(MakeNode(id, random));
        state.PauseTiming();
        part.reset();
        state.ResumeTiming();
    }
    state.counters["ns_per_node"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kNodes),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BuildAndStoreNode)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_LiveNodeAt(benchmark::State& state) {
    static std::unique_ptr<ExtFindPartInfo> part = [] {
        auto p = std::make_unique<ExtFindPartInfo>();
        std::mt19937 random(7);
        for (uint32_t id = 1; id <= kNodes; ++id) p->StoreNode(MakeNode(id, random));
        return p;
    }();
    std::mt19937 random(1);
    uint64_t sum = 0;
    for (auto _ : state) {
        // Random ids: the realistic worst case of the preview's lookups.
        for (int i = 0; i < 1024; ++i) {
            const RFileNode* node = part->LiveNodeAt(1 + random() % kNodes);
            sum += node ? node->size : 0;
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * 1024);
    state.counters["ns_per_LiveNodeAt"] = benchmark::Counter(
        static_cast<double>(state.iterations() * 1024),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LiveNodeAt);

}  // namespace
