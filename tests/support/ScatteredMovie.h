// An MP4 recorded by ffmpeg (H.264 with access unit delimiters, and AAC; 20 s, about 40 MiB)
// and a disk image that holds it in five pieces out of order, other data between them: four
// pieces of its sample data, split at the sectors where video chunks begin, and its movie box.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace ravlin::test {

struct MoviePiece {
    uint64_t fileOffset;  // where the piece begins in the movie (a multiple of 512)
    uint64_t bytes;
    uint64_t diskOffset;  // where it lies on the disk (a multiple of 512)
};

struct ScatteredMovie {
    std::filesystem::path movie;
    std::filesystem::path disk;
    std::vector<MoviePiece> pieces;  // in the movie's order
};

// Made once into the build tree (the movie by ffmpeg, which must be installed); fails the
// calling test when it cannot be made.
const ScatteredMovie& ScatteredMovieDisk();

}  // namespace ravlin::test
