// A movie whose pieces lie scattered over a disk, its movie box apart from them, is rebuilt by
// a deep scan byte for byte, and plays to its end.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdio>

#include "RunRavlin.h"
#include "support/Fixtures.h"
#include "support/ScatteredMovie.h"
#include "support/TempDir.h"

using namespace ravlin::test;
namespace fs = std::filesystem;

TEST(ScatteredMovie, ADeepScanRebuildsItFromItsMovieBoxAndItsChunks) {
    const ScatteredMovie& made = ScatteredMovieDisk();
    ASSERT_EQ(made.pieces.size(), 5u);
    TempDir temp;
    auto run = RunRavlin({"scan", made.disk.string(), "--deep", "--recover", (temp / "out").string(), "--report",
                          (temp / "r.xml").string(), "--format", "dfxml", "-q"});
    ASSERT_EQ(run.code, 0) << run.err;
    std::vector<fs::path> movies;
    for (const auto& entry : fs::recursive_directory_iterator(temp / "out"))
        if (entry.path().extension() == ".mov" && entry.path().parent_path().filename() == "MOV")
            movies.push_back(entry.path());
    ASSERT_EQ(movies.size(), 1u);
    EXPECT_EQ(Md5OfFile(movies[0]), Md5OfFile(made.movie));
    auto play = RunProgram("/usr/bin/ffmpeg", {"-nostdin", "-v", "error", "-i", movies[0].string(), "-f", "null", "-"});
    EXPECT_EQ(play.code, 0);
    EXPECT_EQ(play.err, "");

    // Its runs are the five pieces in the movie's order.
    std::ifstream in(temp / "r.xml");
    const std::string report((std::istreambuf_iterator<char>(in)), {});
    const size_t at = report.find(movies[0].filename().string());
    ASSERT_NE(at, std::string::npos);
    const std::string entry = report.substr(at, report.find("</fileobject>", at) - at);
    std::vector<MoviePiece> runs;
    for (size_t run = entry.find("<byte_run "); run != std::string::npos; run = entry.find("<byte_run ", run + 1)) {
        unsigned long long file = 0, image = 0, length = 0;
        ASSERT_EQ(std::sscanf(entry.c_str() + run, "<byte_run file_offset=\"%llu\" img_offset=\"%llu\" len=\"%llu\"",
                              &file, &image, &length),
                  3);
        runs.push_back({file, length, image});
    }
    ASSERT_EQ(runs.size(), made.pieces.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].fileOffset, made.pieces[i].fileOffset) << i;
        EXPECT_EQ(runs[i].diskOffset, made.pieces[i].diskOffset) << i;
        EXPECT_EQ(runs[i].bytes, (made.pieces[i].bytes + 511) / 512 * 512) << i;
    }
}

namespace {

std::string ReadRange(const fs::path& path, uint64_t offset, uint64_t bytes) {
    std::ifstream in(path, std::ios::binary);
    std::string out(bytes, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(out.data(), static_cast<std::streamsize>(bytes));
    return out;
}

void WriteRange(const fs::path& path, uint64_t offset, const std::string& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

size_t RebuiltMovies(const std::string& listing) {
    size_t count = 0;
    for (size_t at = listing.find(".mov  "); at != std::string::npos; at = listing.find(".mov  ", at + 1)) ++count;
    return count;
}

}  // namespace

// A second copy of the movie box elsewhere on the disk matches the same chunks: the chunks go
// to one movie, and the copy, which cannot take them again, makes none. With the sample data
// gone (only the ftyp and mdat headers and the movie box left) no movie is made, and no
// video partition either.
TEST(ScatteredMovie, ChunksServeOneMovieAndAMovieWithoutChunksIsNone) {
    const ScatteredMovie& made = ScatteredMovieDisk();
    ASSERT_EQ(made.pieces.size(), 5u);
    TempDir temp;
    const MoviePiece& box = made.pieces.back();  // the sector where the movie box begins, and on
    const std::string moov = ReadRange(made.disk, box.diskOffset, box.bytes);
    ASSERT_LT(moov.find("moov"), 512u);

    const fs::path twice = temp / "twice.img";
    fs::copy_file(made.disk, twice);
    const uint64_t end = fs::file_size(twice);
    fs::resize_file(twice, end + (1 << 20) + (box.bytes + 511) / 512 * 512 + (1 << 20));
    WriteRange(twice, end + (1 << 20), moov);
    auto both = RunRavlin({"scan", twice.string(), "--deep", "--list", "-q"});
    ASSERT_EQ(both.code, 0) << both.err;
    EXPECT_EQ(RebuiltMovies(both.out), 1u) << both.out;
    EXPECT_NE(both.out.find("Video files"), std::string::npos);

    const fs::path bare = temp / "bare.img";
    fs::copy_file(made.disk, bare);
    for (size_t i = 0; i + 1 < made.pieces.size(); ++i) {
        const MoviePiece& piece = made.pieces[i];
        const uint64_t keep = i == 0 ? 4096 : 0;  // the ftyp and mdat headers
        WriteRange(bare, piece.diskOffset + keep, std::string(piece.bytes - keep, '\0'));
    }
    auto none = RunRavlin({"scan", bare.string(), "--deep", "--list", "-q"});
    ASSERT_EQ(none.code, 0) << none.err;
    EXPECT_EQ(RebuiltMovies(none.out), 0u) << none.out;
    EXPECT_EQ(none.out.find("Video files"), std::string::npos) << none.out;
}
