// The RAR, MP3, DWG and EPS parsers on files made by lame, ffmpeg, mutagen, ImageMagick and the
// RAR 4 writer of tools/, carved from in-memory disks as the raw pass carves them; and the same
// files damaged where their sizes and counts come from.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "carve/ParserChecks.h"
#include "carve/ImageSamples.h"
#include "carve/Registry.h"
#include "platform/Text.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr uint64_t kBlock = kBlockUnit;

struct Sample {
    std::vector<uint8_t> bytes;
    std::string title, artist;
};

const std::map<std::string, Sample>& Samples() {
    static const std::map<std::string, Sample> samples = [] {
        std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/audio-archive/";
        auto json = nlohmann::json::parse(std::ifstream(dir + "samples.json"));
        std::map<std::string, Sample> out;
        for (const auto& s : json.at("samples")) {
            Sample sample;
            std::string file = s.at("file").get<std::string>();
            sample.bytes = ReadMaybeGzipped(dir + file);
            if (sample.bytes.size() != s.at("size").get<size_t>()) throw std::runtime_error("bad sample " + file);
            sample.title = s.value("title", "");
            sample.artist = s.value("artist", "");
            out[file] = std::move(sample);
        }
        return out;
    }();
    return samples;
}

const std::vector<uint8_t>& Bytes(const std::string& file) { return Samples().at(file).bytes; }

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Disk : NoiseDisk {
    explicit Disk(uint64_t blocks) : NoiseDisk(blocks, 7) {}
    // The file, then zeros to the end of its last sector and one sector more.
    void PutAlone(uint64_t sector, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> padded(bytes);
        padded.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
        Put(sector, padded);
    }
};

uint32_t SynchSafe(const std::vector<uint8_t>& b) {
    return uint32_t{b[6]} << 21 | uint32_t{b[7]} << 14 | uint32_t{b[8]} << 7 | b[9];
}

}  // namespace

// Every MP3, CBR or VBR, MPEG-1, 2 or 2.5, Layer II or III, with ID3v2.3 or 2.4, ID3v1 and APE
// tags, comes back at its exact length, inside a block and across a block's end, named by the
// title and artist of its tag in whatever encoding the tag holds them.
TEST(Mp3Parser, EveryMp3IsCarvedExactlyWithItsTitleAndArtist) {
    int count = 0;
    for (const auto& [name, sample] : Samples()) {
        if (!EndsWith(name, ".mp3")) continue;
        SCOPED_TRACE(name);
        ++count;
        Disk d(2);
        d.Put(10, sample.bytes);
        d.Put(kBlock - 3, sample.bytes);
        d.Run();
        CheckCarved(d, 10, 54, sample.bytes.size());
        CheckCarved(d, kBlock - 3, 54, sample.bytes.size());
        auto item = d.At(10);
        const _FILE_CREATE_INFO* info = item ? d.infos.Find(item->creationInfo) : nullptr;
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(Field(info->Maker, 32), sample.artist);
        EXPECT_EQ(Field(info->Model, 32), "");
        EXPECT_EQ(Field(info->Title, 64), sample.title);
    }
    EXPECT_EQ(count, 10);
}

// A title in tag frames past the block the start lies in is not waited for: the file is
// measured without it.
TEST(Mp3Parser, TextsPastTheOfferedBlockAreLeftOut) {
    const auto& late = Bytes("v24-late-title.mp3");
    Disk d(2);
    d.Put(kBlock - 1, late);
    d.Run();
    CheckCarved(d, kBlock - 1, 54, late.size());
    EXPECT_EQ(d.infos.Find(d.At(kBlock - 1)->creationInfo), nullptr);
}

// Eleven units make an MP3: ten frames and an ID3v1 tag are one, ten frames alone are not. A
// frame of no length ends the walk where it stands.
TEST(Mp3Parser, ElevenFramesAndTagsAreTheLeastThatCounts) {
    const auto& mp3 = Bytes("cbr-v23-v1.mp3");  // 32 kbit/s at 48 kHz: frames of 96 bytes
    size_t audio = SynchSafe(mp3) + 10;
    ASSERT_EQ((mp3.size() - audio - 128) % 96, 0u);
    std::vector<uint8_t> tenFrames(mp3.begin(), mp3.begin() + static_cast<long>(audio + 10 * 96));
    std::vector<uint8_t> tenAndTag = tenFrames;
    tenAndTag.insert(tenAndTag.end(), mp3.end() - 128, mp3.end());
    // The twelfth frame's bitrate index set to the forbidden 15: its length is 0.
    auto stopped = mp3;
    stopped[audio + 11 * 96 + 2] |= 0xF0;

    Disk d(1);
    d.PutAlone(0, tenFrames);
    d.PutAlone(100, tenAndTag);
    d.PutAlone(200, stopped);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseInvalid);
    CheckCarved(d, 100, 54, tenAndTag.size());
    CheckCarved(d, 200, 54, audio + 11 * 96);
}

// Tag sizes that no MP3 has: above 10 MiB, or a size byte with its high bit set.
TEST(Mp3Parser, ImpossibleTagSizesAreRefused) {
    auto huge = Bytes("cbr-v23-only.mp3");
    huge[6] = 0x06;  // 12 MiB as a synch-safe integer
    huge[7] = huge[8] = huge[9] = 0;
    auto highBit = Bytes("cbr-v23-only.mp3");
    highBit[8] |= 0x80;
    Disk d(1);
    d.Put(0, huge);
    d.Put(100, highBit);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseInvalid);
    EXPECT_EQ(StatusAt(d, 100), kParseInvalid);
}

// An APE tag whose size could not even hold its footer ends the walk where it stands (a size of
// 0 would otherwise hold the walk in place).
TEST(Mp3Parser, AnApeTagTooSmallForItsFooterEndsTheWalk) {
    const auto& tagged = Bytes("ape-v1.mp3");
    const char* magic = "APETAGEX";
    auto header = std::search(tagged.begin(), tagged.end(), magic, magic + 8);
    ASSERT_NE(header, tagged.end());
    size_t at = static_cast<size_t>(header - tagged.begin());
    for (uint32_t size : {0u, 31u}) {
        SCOPED_TRACE(size);
        auto small = tagged;
        for (int i = 0; i < 4; ++i) small[at + 12 + i] = static_cast<uint8_t>(size >> (8 * i));
        Disk d(1);
        d.PutAlone(0, small);
        d.Run();
        CheckCarved(d, 0, 54, at);
    }
}

// RAR 4 archives are walked block by block to their end block, whatever its length, with
// 64-bit data sizes and sub-blocks; inside a block and across a block's end.
TEST(RarParser, EveryArchiveIsCarvedExactly) {
    int count = 0;
    for (const auto& [name, sample] : Samples()) {
        if (!EndsWith(name, ".rar")) continue;
        SCOPED_TRACE(name);
        ++count;
        Disk d(2);
        d.Put(10, sample.bytes);
        d.Put(kBlock - 2, sample.bytes);
        d.Run();
        CheckCarved(d, 10, 62, sample.bytes.size());
        CheckCarved(d, kBlock - 2, 62, sample.bytes.size());
    }
    EXPECT_EQ(count, 3);
}

// Block headers that cannot be: size 0, an unknown type, a 64-bit data size beyond any disk.
// A data size that points far past the disk leaves the archive unfinished, never measured.
TEST(RarParser, DamagedBlockHeadersAreRefused) {
    const auto& two = Bytes("stored-two.rar");
    const size_t file = 7 + 13;  // the first file block follows the marker and archive blocks
    ASSERT_EQ(two[file + 2], 0x74);
    auto zeroSize = two;
    zeroSize[file + 5] = zeroSize[file + 6] = 0;
    auto unknown = two;
    unknown[file + 2] = 0x20;
    auto wrapping = Bytes("large-end-crc.rar");
    ASSERT_EQ(wrapping[file + 2], 0x74);
    ASSERT_TRUE(wrapping[file + 4] & 0x01);  // the 64-bit form
    for (int i = 32; i < 36; ++i) wrapping[file + i] = 0xFF;
    auto far = two;
    for (int i = 7; i < 11; ++i) far[file + i] = 0xFF;

    Disk d(1);
    d.PutAlone(0, zeroSize);
    d.PutAlone(100, unknown);
    d.PutAlone(200, wrapping);
    d.PutAlone(300, far);
    d.Run();
    for (uint64_t sector : {0, 100, 200}) EXPECT_EQ(StatusAt(d, sector), kParseInvalid) << sector;
    EXPECT_EQ(StatusAt(d, 300), kParseNeedData);
}

// AutoCAD 2000 drawings end where their last section ends; a 2004 drawing, or a header whose
// locator does not hold together, leaves the size to the carving loop's estimate (0 here).
TEST(DwgParser, TheSectionLocatorGivesTheSizeOfOlderDrawings) {
    const auto& r2000 = Bytes("ac1015.dwg");
    const auto& r2004 = Bytes("ac1018.dwg");
    auto farSeeker = r2000;
    farSeeker[13] = 0xF8;  // 0xFFF8: its 16 bytes would end past 64 KiB
    farSeeker[14] = 0xFF;
    auto manySections = r2000;
    manySections[21] = 101;
    auto noSentinel = r2000;
    noSentinel[0x200] ^= 0xFF;

    Disk d(1);
    d.Put(0, r2000);
    d.Put(1000, r2004);
    d.Put(2000, farSeeker);
    d.Put(3000, manySections);
    d.Put(4000, noSentinel);
    d.Run();
    CheckCarved(d, 0, 75, r2000.size());
    for (uint64_t sector : {1000, 2000, 3000, 4000}) CheckCarved(d, sector, 75, 0);
}

// Binary EPS files end where their last section ends: PostScript with a TIFF preview from
// ImageMagick, and the same sections with a WMF preview between them.
TEST(EpsParser, EveryEpsEndsWithItsLastSection) {
    int count = 0;
    for (const auto& [name, sample] : Samples()) {
        if (!EndsWith(name, ".eps")) continue;
        SCOPED_TRACE(name);
        ++count;
        Disk d(1);
        d.Put(10, sample.bytes);
        d.Run();
        CheckCarved(d, 10, 146, sample.bytes.size());
    }
    EXPECT_EQ(count, 3);
}

// A header whose PostScript section does not hold PostScript, or whose sections overflow 32
// bits when added, is no EPS.
TEST(EpsParser, SectionsThatDoNotHoldTogetherAreRefused) {
    auto moved = Bytes("ept2.eps");
    moved[28] = 0x34;  // a checksum instead of FFFF, and the PostScript said to follow a 32-byte
    moved[29] = 0x12;  // header, where "PS-Adobe" stands
    moved[4] = 32;
    auto overflowing = Bytes("ept2.eps");
    for (int i = 20; i < 24; ++i) overflowing[i] = 0xFF;  // the TIFF at 0xFFFFFFFF
    Disk d(1);
    d.Put(0, moved);
    d.Put(100, overflowing);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseInvalid);
    EXPECT_EQ(StatusAt(d, 100), kParseInvalid);
}
