// The scattered movie: recorded by ffmpeg, cut where video chunks begin, and spread over a disk.
#include "support/ScatteredMovie.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace ravlin::test {
namespace {

namespace fs = std::filesystem;

uint32_t BigEndian32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
           uint8_t(b[at + 3]);
}

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The first track's chunk offsets: the movie box is the file's last box, its first chunk-offset
// table the video track's.
std::vector<uint32_t> VideoChunks(const std::string& movie, size_t& moov) {
    moov = movie.rfind("moov") - 4;
    size_t table = movie.find("stco", moov);
    std::vector<uint32_t> offsets;
    if (table == std::string::npos) return offsets;
    const uint32_t count = BigEndian32(movie, table + 8);
    for (uint32_t k = 0; k < count; ++k) offsets.push_back(BigEndian32(movie, table + 12 + 4 * k));
    return offsets;
}

ScatteredMovie Make() {
    ScatteredMovie made;
    const fs::path dir = fs::path(RAVLIN_BINARY_DIR) / "fixture-cache";
    fs::create_directories(dir);
    made.movie = dir / "scattered-movie.mp4";
    made.disk = dir / "scattered-movie.img";
    std::error_code ec;
    if (!fs::exists(made.movie, ec)) {
        const std::string temp = made.movie.string() + ".part" + std::to_string(::getpid()) + ".mp4";
        const std::string command =
            "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i sine=frequency=440 "
            "-t 20 -c:v libx264 -preset ultrafast -x264-params aud=1 -b:v 16M -c:a aac -b:a 128k '" + temp + "'";
        if (std::system(command.c_str()) != 0) {
            ADD_FAILURE() << "ffmpeg could not make the test movie (tools/install-deps installs it)";
            return made;
        }
        fs::rename(temp, made.movie);
    }
    const std::string movie = Contents(made.movie);
    size_t moov = 0;
    const std::vector<uint32_t> chunks = VideoChunks(movie, moov);
    if (chunks.size() < 40) {
        ADD_FAILURE() << "the test movie has no chunk table";
        return made;
    }
    const size_t n = chunks.size();
    std::vector<uint64_t> cuts{0};
    for (size_t k : {n / 4, n / 2, 3 * n / 4}) cuts.push_back(chunks[k] / 512 * 512);
    cuts.push_back(moov / 512 * 512);
    cuts.push_back(movie.size());
    // On the disk: pieces 3, 1, 4 (the movie box), 0 and 2, each after some other data.
    std::mt19937 random(7);
    uint64_t at = 4096;
    made.pieces.resize(cuts.size() - 1);
    for (size_t i : {3, 1, 4, 0, 2}) {
        at += (8 + random() % 56) * 4096;
        made.pieces[i] = {cuts[i], cuts[i + 1] - cuts[i], at};
        at += (made.pieces[i].bytes + 511) / 512 * 512;
    }
    if (fs::exists(made.disk, ec)) return made;
    const std::string temp = made.disk.string() + ".part" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        std::string noise(at + (1 << 20), '\0');
        for (size_t k = 0; k < noise.size(); k += 4) noise[k] = static_cast<char>(random());
        for (const MoviePiece& p : made.pieces) noise.replace(p.diskOffset, p.bytes, movie, p.fileOffset, p.bytes);
        out.write(noise.data(), static_cast<std::streamsize>(noise.size()));
    }
    fs::rename(temp, made.disk);
    return made;
}

}  // namespace

const ScatteredMovie& ScatteredMovieDisk() {
    static const ScatteredMovie made = Make();
    return made;
}

}  // namespace ravlin::test
