// Fixture images and small test-data helpers.
#include "support/Fixtures.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace ravlin::test {
namespace {

namespace fs = std::filesystem;

fs::path CacheDir() {
    fs::path dir = fs::path(RAVLIN_BINARY_DIR) / "fixture-cache";
    fs::create_directories(dir);
    return dir;
}

// The cache is valid when it is newer than the compressed file.
bool Fresh(const fs::path& cached, const fs::path& source) {
    std::error_code ec;
    return fs::exists(cached, ec) && fs::last_write_time(cached, ec) >= fs::last_write_time(source, ec);
}

void Decompress(const fs::path& source, const fs::path& target) {
    gzFile in = gzopen(source.c_str(), "rb");
    if (!in) throw std::runtime_error("cannot open " + source.string());
    fs::path temp = target;
    temp += ".part" + std::to_string(::getpid());
    std::ofstream out(temp, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        int n = gzread(in, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (n < 0) {
            gzclose(in);
            throw std::runtime_error("corrupt " + source.string());
        }
        if (n == 0) break;
        out.write(buffer.data(), n);
    }
    gzclose(in);
    out.close();
    fs::rename(temp, target);  // atomic: parallel test processes see a whole file or none
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A crafted fixture: its base image with the manifest's patch applied.
void BuildPatched(const fs::path& manifestPath, const fs::path& base, const fs::path& target) {
    nlohmann::json manifest = nlohmann::json::parse(std::ifstream(manifestPath));
    fs::path temp = target;
    temp += ".part" + std::to_string(::getpid());
    fs::copy_file(base, temp, fs::copy_options::overwrite_existing);
    std::fstream out(temp, std::ios::binary | std::ios::in | std::ios::out);
    for (const auto& edit : manifest.at("patch")) {
        std::vector<uint8_t> bytes = FromHex(edit.at("hex").get<std::string>());
        uint64_t offset = edit.at("offset").get<uint64_t>();
        uint64_t repeat = edit.value("repeat", uint64_t{1});
        out.seekp(static_cast<std::streamoff>(offset));
        for (uint64_t i = 0; i < repeat; ++i)
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    out.close();
    fs::rename(temp, target);
}

}  // namespace

bool FixtureExists(const std::string& name) {
    fs::path dir = fs::path(RAVLIN_FIXTURE_DIR);
    return fs::exists(dir / (name + ".gz")) || fs::exists(dir / (name + ".json"));
}

fs::path FixtureImage(const std::string& name) {
    fs::path dir = fs::path(RAVLIN_FIXTURE_DIR);
    fs::path source = dir / (name + ".gz");
    fs::path cached = CacheDir() / name;
    if (fs::exists(source)) {
        if (!Fresh(cached, source)) Decompress(source, cached);
        return cached;
    }
    // Crafted fixtures that are edits of another one are kept as their patch.
    fs::path manifest = dir / (name + ".json");
    if (fs::exists(manifest)) {
        auto json = nlohmann::json::parse(std::ifstream(manifest));
        if (json.contains("base") && json.contains("patch")) {
            fs::path base = FixtureImage(json.at("base").get<std::string>());
            if (base.empty()) return {};
            if (!Fresh(cached, manifest) || !Fresh(cached, base)) BuildPatched(manifest, base, cached);
            return cached;
        }
    }
    ADD_FAILURE() << "missing fixture " << source;
    return {};
}

void WriteNumberedImage(const fs::path& path, uint64_t sectors) {
    std::ofstream out(path, std::ios::binary);
    for (uint64_t s = 0; s < sectors; ++s) {
        auto sector = NumberedSector(s);
        out.write(reinterpret_cast<const char*>(sector.data()), 512);
    }
}

std::vector<uint8_t> NumberedSector(uint64_t sector) {
    std::vector<uint8_t> bytes(512, static_cast<uint8_t>(sector & 0xFF));
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(sector >> (8 * i));
    return bytes;
}

namespace {
std::string Hex(const unsigned char* digest, unsigned length) {
    std::string out;
    char two[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        out += two;
    }
    return out;
}
}  // namespace

std::string Md5Hex(const void* data, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestLength = 0;
    EVP_Digest(data, length, digest, &digestLength, EVP_md5(), nullptr);
    return Hex(digest, digestLength);
}

std::string Md5OfFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_md5(), nullptr);
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(context, buffer.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestLength = 0;
    EVP_DigestFinal_ex(context, digest, &digestLength);
    EVP_MD_CTX_free(context);
    return Hex(digest, digestLength);
}

}  // namespace ravlin::test
