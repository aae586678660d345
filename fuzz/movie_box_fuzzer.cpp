// Raw bytes as a movie box: its chunk tables read, then placed among positions made from the
// same bytes, as the movie assembly does with what a scan found.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "carve/MovieAssembly.h"
#include "carve/VideoScanner.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 || size >= kMaxMovieBox) return 0;
    auto movie = ParseMovieBox(data, static_cast<uint32_t>(size), 512 * 1000 + size % 512);
    if (!movie) return 0;
    std::vector<uint64_t> positions;
    for (size_t i = 0; i + 4 <= size; i += 4)
        positions.push_back(512 * 2000 + (uint64_t{data[i]} << 16 | uint64_t{data[i + 1]} << 8 | data[i + 2]));
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    std::vector<uint64_t> placed;
    for (const auto& table : movie->chunkTables) {
        if (PlaceChunks(table, positions, placed) && placed.size() != table.size()) __builtin_trap();
    }
    return 0;
}
