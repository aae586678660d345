// The generated disk for save and resume.
#include "support/ResumeDisk.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "support/Fixtures.h"

namespace ravlin::test {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kBlock = 16384;

std::vector<char> Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void Put(std::fstream& out, uint64_t sector, const std::vector<char>& bytes) {
    out.seekp(static_cast<std::streamoff>(sector * 512));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

fs::path ResumeDiskImage() {
    const fs::path dir = fs::path(RAVLIN_BINARY_DIR) / "fixture-cache";
    const fs::path image = dir / "resume-disk.img";
    std::error_code ec;
    if (fs::exists(image, ec)) return image;
    fs::create_directories(dir);
    fs::path temp = image;
    temp += ".part" + std::to_string(::getpid());
    std::ofstream(temp, std::ios::binary).close();
    fs::resize_file(temp, kResumeDiskBlocks * kBlock * 512);
    std::fstream out(temp, std::ios::binary | std::ios::in | std::ios::out);
    Put(out, 0, Contents(FixtureImage("sample-disk.img")));
    Put(out, 18 * kBlock, Contents(FixtureImage("fat16.img")));
    std::vector<char> ntfs = Contents(FixtureImage("ntfs.img"));
    std::fill_n(ntfs.begin(), 512, '\0');
    std::fill_n(ntfs.end() - 512, 512, '\0');
    Put(out, 23 * kBlock, ntfs);
    const fs::path samples = fs::path(RAVLIN_FIXTURE_DIR);
    uint64_t sector = 32 * kBlock + 8;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(samples / "carve")) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::vector<char> bytes = Contents(file);
        Put(out, sector, bytes);
        sector += (bytes.size() + 511) / 512 + 64;
    }
    Put(out, 36 * kBlock - 10, Contents(samples / "images" / "exif-thumbnail.jpg"));
    Put(out, 38 * kBlock + 4, Contents(samples / "images" / "exif-intel.jpg"));
    out.close();
    fs::rename(temp, image);
    return image;
}

}  // namespace ravlin::test
