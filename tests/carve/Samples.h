// The carving samples: one small real file per registry row (tests/fixtures/carve), with what
// made it.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ravlin::test {

struct CarveSample {
    int row = 0;  // 1 to 48, in registry order
    uint32_t typeId = 0;
    std::string file;
    std::vector<uint8_t> bytes;
};

inline const std::vector<CarveSample>& CarveSamples() {
    static const std::vector<CarveSample> samples = [] {
        std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/carve/";
        auto json = nlohmann::json::parse(std::ifstream(dir + "samples.json"));
        std::vector<CarveSample> out;
        for (const auto& s : json.at("samples")) {
            CarveSample sample;
            sample.row = s.at("row").get<int>();
            sample.typeId = s.at("type").get<uint32_t>();
            sample.file = s.at("file").get<std::string>();
            std::ifstream in(dir + sample.file, std::ios::binary);
            sample.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            out.push_back(std::move(sample));
        }
        return out;
    }();
    return samples;
}

// The sample's first sector (zero-padded to 512 bytes).
inline std::vector<uint8_t> FirstSector(const CarveSample& sample) {
    std::vector<uint8_t> sector(512, 0);
    std::copy_n(sample.bytes.begin(), std::min<size_t>(512, sample.bytes.size()), sector.begin());
    return sector;
}

}  // namespace ravlin::test
