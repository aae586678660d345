// CarveBlock over in-memory 8 MiB blocks: zeros, random bytes, English-like text, random bytes
// holding the carving samples at sector starts (a real-file mix), a block full of JPEGs and one
// of the files whose ends are measured; then the sector classifier alone and after the carving
// loop; then the video-fragment scanner over the same blocks and over a block of MP4 movies.
// Bytes per second is per analyser thread.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "carve/Carver.h"
#include "carve/Registry.h"
#include "carve/VideoScanner.h"
#include "discovery/SectorClassifier.h"

using namespace ravlin;

namespace {

constexpr size_t kBlockBytes = kBlockUnit * 512;

std::vector<uint8_t> Zeros() { return std::vector<uint8_t>(kBlockBytes, 0); }

std::vector<uint8_t> Random(uint32_t seed) {
    std::vector<uint8_t> block(kBlockBytes);
    std::mt19937_64 rng(seed);
    for (size_t i = 0; i < block.size(); i += 8) {
        uint64_t v = rng();
        std::memcpy(block.data() + i, &v, 8);
    }
    return block;
}

std::vector<uint8_t> Text() {
    static const char* words[] = {"the ", "file ", "of ", "a ", "recovery ", "disk ", "and ", "sector ",
                                  "which ", "was ", "lost ", "found\n", "Data, ", "<p>", "from ", "It "};
    std::vector<uint8_t> block;
    block.reserve(kBlockBytes);
    std::mt19937 rng(7);
    while (block.size() < kBlockBytes) {
        const char* w = words[rng() % std::size(words)];
        block.insert(block.end(), w, w + std::strlen(w));
    }
    block.resize(kBlockBytes);
    return block;
}

// Random bytes with every carving sample written again and again at sector starts, about one
// file start per 64 KiB.
std::vector<uint8_t> Mix() {
    std::vector<uint8_t> block = Random(11);
    std::vector<std::vector<uint8_t>> samples;
    std::filesystem::path dir = std::filesystem::path(RAVLIN_FIXTURE_DIR) / "carve";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".json") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        samples.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::mt19937 rng(3);
    for (size_t at = 0; at + 65536 <= kBlockBytes && !samples.empty(); at += 65536) {
        const auto& s = samples[rng() % samples.size()];
        size_t sector = at + (rng() % 64) * 512;
        size_t n = std::min(s.size(), kBlockBytes - sector);
        std::memcpy(block.data() + sector, s.data(), n);
    }
    return block;
}

// JPEGs back to back, each from a sector start: the test photos of tests/fixtures/images.
std::vector<uint8_t> Jpegs() {
    std::vector<std::vector<uint8_t>> photos;
    std::filesystem::path dir = std::filesystem::path(RAVLIN_FIXTURE_DIR) / "images";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".jpg") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        photos.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<uint8_t> block(kBlockBytes, 0);
    size_t at = 0;
    for (size_t i = 0; !photos.empty(); ++i) {
        const auto& p = photos[i % photos.size()];
        if (at + p.size() > kBlockBytes) break;
        std::memcpy(block.data() + at, p.data(), p.size());
        at += (p.size() + 511) / 512 * 512;
    }
    return block;
}

// The files whose ends the parsers measure (tests/fixtures/ends) back to back from sector
// starts, each padded to its sector's end with spaces: text walks run on into the next file.
std::vector<uint8_t> Ends() {
    std::vector<std::vector<uint8_t>> files;
    std::filesystem::path dir = std::filesystem::path(RAVLIN_FIXTURE_DIR) / "ends";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".json") continue;
        std::vector<uint8_t> bytes;
        gzFile in = gzopen(entry.path().c_str(), "rb");  // plain files are read as they are
        uint8_t buffer[1 << 16];
        for (int n; in && (n = gzread(in, buffer, sizeof buffer)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
        if (in) gzclose(in);
        files.push_back(std::move(bytes));
    }
    std::vector<uint8_t> block(kBlockBytes, ' ');
    size_t at = 0;
    for (size_t i = 0; !files.empty(); ++i) {
        const auto& f = files[i % files.size()];
        if (at + f.size() > kBlockBytes) break;
        std::memcpy(block.data() + at, f.data(), f.size());
        at += (f.size() + 511) / 512 * 512;
    }
    return block;
}

void Carve(benchmark::State& state, const std::vector<uint8_t>& block) {
    static BlockWindow window;
    CreateInfoStore infos;
    std::vector<ScanItem> items;
    for (auto _ : state) {
        // A fresh loop per block, so parsers left waiting by one block do not pile up.
        state.PauseTiming();
        items.clear();
        window.Clear();
        Carver carver(GetParserRegistry(), window, infos, [] { return true; });
        state.ResumeTiming();
        carver.CarveBlock(0, block.data(), items);
        carver.ContinuePending(0, items);
        benchmark::DoNotOptimize(items.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlockBytes));
    state.counters["hits/block"] = benchmark::Counter(static_cast<double>(items.size()));
}

void BM_CarveZeros(benchmark::State& state) {
    static const auto block = Zeros();
    Carve(state, block);
}
void BM_CarveRandom(benchmark::State& state) {
    static const auto block = Random(5);
    Carve(state, block);
}
void BM_CarveText(benchmark::State& state) {
    static const auto block = Text();
    Carve(state, block);
}
void BM_CarveMix(benchmark::State& state) {
    static const auto block = Mix();
    Carve(state, block);
}

void BM_CarveJpegs(benchmark::State& state) {
    static const auto block = Jpegs();
    Carve(state, block);
}

void BM_CarveEnds(benchmark::State& state) {
    static const auto block = Ends();
    Carve(state, block);
}

// The sector classifier over a block, no partition published, with and without the carving
// loop before it (the analyser's two per-block passes).
void Classify(benchmark::State& state, const std::vector<uint8_t>& block, bool carve) {
    static BlockWindow window;
    CreateInfoStore infos;
    std::vector<ScanItem> items;
    ScanOutput output;
    for (auto _ : state) {
        state.PauseTiming();
        items.clear();
        window.Clear();
        FoundSectorStore store;
        SectorClassifier classifier(store, nullptr);
        classifier.Reset(nullptr);
        Carver carver(GetParserRegistry(), window, infos, [] { return true; });
        state.ResumeTiming();
        if (carve) {
            carver.CarveBlock(0, block.data(), items);
            carver.ContinuePending(0, items);
        }
        classifier.ClassifyBlock(0, block.data(), items, output);
        benchmark::DoNotOptimize(items.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlockBytes));
}

void BM_ClassifyRandom(benchmark::State& state) {
    static const auto block = Random(5);
    Classify(state, block, false);
}
void BM_ClassifyText(benchmark::State& state) {
    static const auto block = Text();
    Classify(state, block, false);
}
void BM_ClassifyMix(benchmark::State& state) {
    static const auto block = Mix();
    Classify(state, block, false);
}
void BM_CarveAndClassifyMix(benchmark::State& state) {
    static const auto block = Mix();
    Classify(state, block, true);
}

// The test movies of tests/fixtures/video back to back from sector starts.
std::vector<uint8_t> Movies() {
    std::vector<std::vector<uint8_t>> movies;
    std::filesystem::path dir = std::filesystem::path(RAVLIN_FIXTURE_DIR) / "video";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".mp4" && entry.path().extension() != ".mov") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        movies.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<uint8_t> block(kBlockBytes, 0);
    for (size_t at = 0, i = 0; !movies.empty(); ++i) {
        const auto& m = movies[i % movies.size()];
        if (at + m.size() > kBlockBytes) break;
        std::memcpy(block.data() + at, m.data(), m.size());
        at += (m.size() + 511) / 512 * 512;
    }
    return block;
}

void ScanVideo(benchmark::State& state, const std::vector<uint8_t>& block) {
    VideoScanner scanner;
    for (auto _ : state) {
        state.PauseTiming();
        scanner.Reset(0);
        state.ResumeTiming();
        scanner.ScanBlock(0, block.data());
        benchmark::DoNotOptimize(scanner.Items().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlockBytes));
    state.counters["items/block"] = benchmark::Counter(static_cast<double>(scanner.Items().size()));
}

void BM_VideoScanZeros(benchmark::State& state) {
    static const auto block = Zeros();
    ScanVideo(state, block);
}
void BM_VideoScanRandom(benchmark::State& state) {
    static const auto block = Random(5);
    ScanVideo(state, block);
}
void BM_VideoScanText(benchmark::State& state) {
    static const auto block = Text();
    ScanVideo(state, block);
}
void BM_VideoScanMovies(benchmark::State& state) {
    static const auto block = Movies();
    ScanVideo(state, block);
}

}  // namespace

BENCHMARK(BM_CarveZeros)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarveRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarveText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarveMix)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarveJpegs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarveEnds)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassifyRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassifyText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassifyMix)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarveAndClassifyMix)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VideoScanZeros)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VideoScanRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VideoScanText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VideoScanMovies)->Unit(benchmark::kMillisecond);
