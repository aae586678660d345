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
