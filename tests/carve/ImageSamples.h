// The pictures of tests/fixtures/images (made by tools/make-image-samples) with their metadata.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace ravlin::test {

struct ImageSample {
    std::string file;
    std::vector<uint8_t> bytes;
    std::string maker, model, date;  // the camera texts the EXIF holds
    uint32_t header = 0;             // BMP info-header size
};

inline std::vector<uint8_t> ReadMaybeGzipped(const std::string& path) {
    std::vector<uint8_t> out;
    gzFile in = gzopen(path.c_str(), "rb");  // reads plain files as they are
    if (!in) throw std::runtime_error("cannot open " + path);
    uint8_t buffer[1 << 16];
    int n;
    while ((n = gzread(in, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
    gzclose(in);
    return out;
}

inline const std::map<std::string, ImageSample>& ImageSamples() {
    static const std::map<std::string, ImageSample> samples = [] {
        std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/images/";
        auto json = nlohmann::json::parse(std::ifstream(dir + "images.json"));
        std::map<std::string, ImageSample> out;
        for (const auto& s : json.at("images")) {
            ImageSample sample;
            sample.file = s.at("file").get<std::string>();
            sample.bytes = ReadMaybeGzipped(dir + s.at("stored").get<std::string>());
            if (sample.bytes.size() != s.at("size").get<size_t>()) throw std::runtime_error("bad sample " + sample.file);
            sample.maker = s.value("maker", "");
            sample.model = s.value("model", "");
            sample.date = s.value("date", "");
            sample.header = s.value("header", 0u);
            out[sample.file] = std::move(sample);
        }
        return out;
    }();
    return samples;
}

inline const ImageSample& Image(const std::string& file) { return ImageSamples().at(file); }

}  // namespace ravlin::test
