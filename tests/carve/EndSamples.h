// The files of tests/fixtures/ends (made by tools/make-end-samples): formats whose carved size
// is measured from their own structure.
#pragma once

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "carve/ImageSamples.h"

namespace ravlin::test {

struct EndSample {
    std::string file;
    uint32_t typeId = 0;
    std::vector<uint8_t> bytes;
};

inline const std::vector<EndSample>& EndSamples() {
    static const std::vector<EndSample> samples = [] {
        std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/ends/";
        auto json = nlohmann::json::parse(std::ifstream(dir + "samples.json"));
        std::vector<EndSample> out;
        for (const auto& s : json.at("samples")) {
            EndSample sample{s.at("file").get<std::string>(), s.at("type").get<uint32_t>(),
                             ReadMaybeGzipped(dir + s.at("stored").get<std::string>())};
            if (sample.bytes.size() != s.at("size").get<size_t>()) throw std::runtime_error("bad " + sample.file);
            out.push_back(std::move(sample));
        }
        return out;
    }();
    return samples;
}

inline const std::vector<uint8_t>& End(const std::string& file) {
    for (const auto& s : EndSamples())
        if (s.file == file) return s.bytes;
    throw std::runtime_error("no sample " + file);
}

}  // namespace ravlin::test
