// The container parsers on movies and sounds made by ffmpeg, carved from in-memory disks as the
// raw pass carves them: every container at its exact length and type, a movie longer than a
// block measured across blocks, and headers damaged where sizes and counts come from.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "carve/ParserChecks.h"
#include "carve/ImageSamples.h"
#include "carve/Registry.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr uint64_t kBlock = kBlockUnit;

struct Movie {
    std::vector<uint8_t> bytes;
    uint32_t type = 0;
    uint64_t length = 0;  // as its headers declare it: the file's size but for ffmpeg's RealMedia
};

const std::map<std::string, Movie>& Movies() {
    static const std::map<std::string, Movie> movies = [] {
        std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/video/";
        auto json = nlohmann::json::parse(std::ifstream(dir + "samples.json"));
        std::map<std::string, Movie> out;
        for (const auto& s : json.at("samples")) {
            Movie m;
            std::string file = s.at("file").get<std::string>();
            m.bytes = ReadMaybeGzipped(dir + file);
            if (m.bytes.size() != s.at("size").get<size_t>()) throw std::runtime_error("bad sample " + file);
            m.type = s.at("type").get<uint32_t>();
            m.length = s.value("declared", m.bytes.size());
            out[file] = std::move(m);
        }
        return out;
    }();
    return movies;
}

const std::vector<uint8_t>& Bytes(const std::string& file) { return Movies().at(file).bytes; }

struct Disk : NoiseDisk {
    explicit Disk(uint64_t blocks) : NoiseDisk(blocks, 11) {}
};

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}
void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The offset of the top-level atom of `type`.
size_t Atom(const std::vector<uint8_t>& mp4, const char* type) {
    for (size_t at = 0; at + 8 <= mp4.size(); at += Be32(mp4, at)) {
        if (std::memcmp(&mp4[at + 4], type, 4) == 0) return at;
        if (Be32(mp4, at) < 8) break;
    }
    ADD_FAILURE() << "no " << type;
    return 0;
}

}  // namespace

// Every container comes back at its exact length with its type: the MP4 family retyped by its
// brand, RIFF by its form; inside a block and across a block's end. (ffmpeg's RealMedia files
// claim ten bytes more than they hold, and are measured as they claim.)
TEST(VideoParsers, EveryContainerIsCarvedExactlyWithItsType) {
    for (const auto& [name, movie] : Movies()) {
        SCOPED_TRACE(name);
        Disk d(2);
        d.Put(10, movie.bytes);
        d.Put(kBlock - 5, movie.bytes);
        d.Run();
        CheckCarved(d, 10, movie.type, movie.length);
        CheckCarved(d, kBlock - 5, movie.type, movie.length);
    }
    EXPECT_EQ(Movies().size(), 15u);
}

// A movie whose media data runs 9 MiB past its block is measured by following its atoms: the
// hit waits, then finishes from the window with the movie box after the media.
TEST(VideoParsers, AMovieLongerThanABlockIsMeasuredAcrossBlocks) {
    auto movie = Bytes("moov-last.mp4");
    size_t mdat = Atom(movie, "mdat");
    size_t moov = Atom(movie, "moov");
    ASSERT_LT(mdat, moov);
    // Nine more MiB at the end of the media data: the movie box's chunk offsets still hold.
    const uint32_t extra = 9u << 20;
    PutBe32(movie, mdat, Be32(movie, mdat) + extra);
    movie.insert(movie.begin() + static_cast<long>(moov), extra, 0x5A);

    Disk d(3);
    d.Put(kBlock - 100, movie);
    d.Run();
    ASSERT_FALSE(d.items[0].empty());
    EXPECT_EQ(uint32_t{d.items[0].back().status}, kParseNeedData);
    CheckCarved(d, kBlock - 100, 72, movie.size());
    EXPECT_FALSE(d.carver.HasPending());
}

// Atom sizes that cannot be: a 64-bit size of 2^64-1, a size smaller than the atom's header; a
// second media box before any movie box.
TEST(VideoParsers, AtomSizesThatCannotBeEndTheWalk) {
    const auto& movie = Bytes("faststart.mp4");
    size_t moov = Atom(movie, "moov");
    size_t mdat = Atom(movie, "mdat");
    ASSERT_LT(moov, mdat);

    auto huge = movie;  // the movie box's size as a 64-bit size of all ones
    PutBe32(huge, moov, 1);
    std::fill(huge.begin() + static_cast<long>(moov + 8), huge.begin() + static_cast<long>(moov + 16), 0xFF);
    auto small = movie;  // the atom after the media data claims 4 bytes
    small.insert(small.end(), {0, 0, 0, 4, 'f', 'r', 'e', 'e'});
    auto tiny = movie;  // the movie box itself claims 7 bytes: nothing was seen but ftyp
    PutBe32(tiny, moov, 7);
    auto twoMdat = movie;  // the movie box renamed: a second mdat follows the first without one
    std::memcpy(&twoMdat[moov + 4], "mdat", 4);

    Disk d(1);
    d.Put(0, huge);
    d.Put(200, small);
    d.Put(400, tiny);
    d.Put(600, twoMdat);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseInvalid);
    CheckCarved(d, 200, 72, movie.size());  // the walk ends before the bad atom
    EXPECT_EQ(StatusAt(d, 400), kParseInvalid);
    EXPECT_EQ(StatusAt(d, 600), kParseInvalid);
}

// Matroska: an EBML size byte of 0, an EBML header reaching past 2 KiB, a segment of unknown
// size (left to the estimate).
TEST(VideoParsers, MatroskaHeadersThatDoNotHoldTogether) {
    const auto& mkv = Bytes("clip.mkv");
    auto zero = mkv;
    zero[4] = 0;
    auto longHeader = mkv;  // a 2-byte size of 2,100
    longHeader.insert(longHeader.begin() + 5, 0);
    longHeader[4] = 0x40 | (2100 >> 8);
    longHeader[5] = 2100 & 0xFF;
    auto unknown = mkv;
    size_t segment = 5 + (mkv[4] & 0x7F);
    ASSERT_EQ(Be32(mkv, segment), 0x18538067u);
    ASSERT_EQ(mkv[segment + 4], 0x01);  // an 8-byte size
    std::fill(unknown.begin() + static_cast<long>(segment + 5), unknown.begin() + static_cast<long>(segment + 12), 0xFF);

    Disk d(1);
    d.Put(0, zero);
    d.Put(200, longHeader);
    d.Put(400, unknown);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseInvalid);
    EXPECT_EQ(StatusAt(d, 200), kParseInvalid);
    CheckCarved(d, 400, 86, 0);
}

// FLV: one or two tags and then garbage are no video, nor three whose last is not confirmed by
// the size after it; three good tags are. A RIFF size of 1000
// is a file of 1008 bytes. An MPEG program stream of ten packets is too short.
TEST(VideoParsers, ShortWalksAndRiffSizes) {
    const auto& flv = Bytes("clip.flv");
    // Tags from offset 13: the 9-byte header and the first previous-tag size.
    size_t end = 9;
    std::vector<size_t> tagEnds;
    for (int i = 0; i < 3; ++i) {
        uint32_t data = uint32_t{flv[end + 5]} << 16 | uint32_t{flv[end + 6]} << 8 | flv[end + 7];
        end += 4 + 11 + data;
        tagEnds.push_back(end);
    }
    auto cut = [&](size_t n) {  // n bytes and the last tag's size after them
        std::vector<uint8_t> out(flv.begin(), flv.begin() + static_cast<long>(n + 4));
        out.resize(out.size() + 16, 0xEE);  // garbage: a tag of type 0xEE
        return out;
    };
    auto twoTags = cut(tagEnds[1]);
    auto threeTags = cut(tagEnds[2]);
    auto threeUnconfirmed = threeTags;  // the third tag's size not given back after it
    threeUnconfirmed[tagEnds[2]] ^= 0x01;

    auto wav = Bytes("sound.wav");
    wav[4] = 1000 & 0xFF;
    wav[5] = 1000 >> 8;
    wav[6] = wav[7] = 0;

    const auto& mpg = Bytes("mpeg1.mpg");
    std::vector<uint8_t> tenPackets;
    {
        // The first pack with its system header and first packet count as one.
        size_t at = 12;
        at += 6 + (mpg[at + 4] << 8 | mpg[at + 5]);
        at += 6 + (mpg[at + 4] << 8 | mpg[at + 5]);
        for (int i = 1; i < 10; ++i) {
            ASSERT_EQ(mpg[at + 2], 1);
            size_t header = mpg[at + 3] == 0xBA ? 12 : 0;
            at += header + 6 + (mpg[at + header + 4] << 8 | mpg[at + header + 5]);
        }
        tenPackets.assign(mpg.begin(), mpg.begin() + static_cast<long>(at));
        tenPackets.resize(at + 512, 0);
    }

    Disk d(1);
    d.Put(0, twoTags);
    d.Put(200, threeTags);
    d.Put(400, wav);
    d.Put(600, tenPackets);
    d.Put(800, threeUnconfirmed);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseInvalid);
    EXPECT_EQ(StatusAt(d, 800), kParseInvalid);
    CheckCarved(d, 200, 64, tagEnds[2] + 4);
    CheckCarved(d, 400, 53, 1008);
    EXPECT_EQ(StatusAt(d, 600), kParseInvalid);
}

// ASF: an object size that would wrap the cursor ends the walk after the objects before it.
TEST(VideoParsers, AsfObjectSizesThatWrapEndTheWalk) {
    auto wmv = Bytes("clip.wmv");
    uint64_t header = 0;
    for (int i = 0; i < 8; ++i) header |= uint64_t{wmv[16 + i]} << (8 * i);
    ASSERT_LT(header, wmv.size());
    for (int i = 0; i < 8; ++i) wmv[header + 16 + i] = 0xFF;  // the data object's size
    Disk d(1);
    d.Put(0, wmv);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseInvalid);  // the header object alone is one object
}
