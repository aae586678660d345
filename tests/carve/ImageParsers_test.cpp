// The picture parsers on files made by ImageMagick and exiftool, carved from in-memory disks
// as the raw pass carves them: JPEG ends and camera texts, TIFF extents and raw types, BMP
// sizes; and the same files damaged.
#include <gtest/gtest.h>

#include <random>

#include "carve/ParserChecks.h"
#include "carve/ImageSamples.h"
#include "carve/Samples.h"
#include "carve/Registry.h"
#include "platform/Text.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr uint64_t kBlock = kBlockUnit;

struct Disk : NoiseDisk {
    explicit Disk(uint64_t blocks) : NoiseDisk(blocks, 99) {}
};

struct Texts {
    std::string maker, model, date;
    bool any = false;
};

Texts TextsOf(const Drive& d, const ScanItem& item) {
    Texts t;
    const _FILE_CREATE_INFO* info = d.infos.Find(item.creationInfo);
    if (!info) return t;
    t.any = true;
    t.maker = Field(info->Maker, 32);
    t.model = Field(info->Model, 32);
    t.date = Field(info->Date, 12);
    return t;
}

uint32_t U32Le(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// Offset of the TIFF header inside a JPEG's EXIF APP1 segment.
size_t ExifTiffHeader(const std::vector<uint8_t>& jpeg) {
    for (size_t i = 0; i + 10 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xE1 && std::memcmp(&jpeg[i + 4], "Exif\0\0", 6) == 0) return i + 10;
    ADD_FAILURE() << "no EXIF segment";
    return 0;
}

}  // namespace

// Every JPEG comes back at its exact length, whatever its coding, with the camera texts its
// EXIF holds: Software over Model when both are there, DateTimeOriginal alone, a thumbnail
// inside the segment that does not end the file.
TEST(JpegParser, EveryJpegIsCarvedExactlyWithItsCameraTexts) {
    for (const auto& [name, sample] : ImageSamples()) {
        if (name.size() < 4 || name.substr(name.size() - 4) != ".jpg") continue;
        SCOPED_TRACE(name);
        Disk d(1);
        d.Put(10, sample.bytes);
        d.Run();
        auto item = d.At(10);
        ASSERT_TRUE(item);
        EXPECT_EQ(uint32_t{item->typeId}, 46u);
        EXPECT_EQ(uint32_t{item->status}, kParseComplete);
        EXPECT_EQ(uint64_t{item->size}, sample.bytes.size());
        Texts t = TextsOf(d, *item);
        bool hasTexts = !sample.maker.empty() || !sample.model.empty() || !sample.date.empty();
        EXPECT_EQ(t.any, hasTexts);
        if (!hasTexts) continue;
        // A missing maker takes the model's text; the date keeps its first ten characters.
        EXPECT_EQ(t.maker, sample.maker.empty() ? sample.model : sample.maker);
        EXPECT_EQ(t.model, sample.model);
        EXPECT_EQ(t.date, sample.date);
    }
}

// A JPEG straddling the end of the first block, and one whose padding segments carry its end
// 20 MiB on: both wait for the window and finish from it, filed under their own start.
TEST(JpegParser, AJpegEndingInALaterBlockIsFinishedFromTheWindow) {
    const auto& photo = Image("exif-thumbnail.jpg").bytes;
    // 320 APP2 segments of 65,535 bytes each after the first segment: a valid JPEG of about
    // 20 MiB.
    size_t firstEnd = 4 + (photo[4] << 8 | photo[5]);
    std::vector<uint8_t> longJpeg(photo.begin(), photo.begin() + static_cast<long>(firstEnd));
    for (int i = 0; i < 320; ++i) {
        longJpeg.insert(longJpeg.end(), {0xFF, 0xE2, 0xFF, 0xFF});
        longJpeg.insert(longJpeg.end(), 65533, static_cast<uint8_t>(i));
    }
    longJpeg.insert(longJpeg.end(), photo.begin() + static_cast<long>(firstEnd), photo.end());

    Disk d(5);
    d.Put(kBlock - 3, photo);
    d.Put(kBlock + 100, longJpeg);
    d.Run();
    auto straddling = d.At(kBlock - 3);
    ASSERT_TRUE(straddling);
    EXPECT_EQ(uint32_t{straddling->status}, kParseComplete);
    EXPECT_EQ(uint64_t{straddling->size}, photo.size());
    // Its first block holds the provisional item, the next the finished one.
    ASSERT_FALSE(d.items[0].empty());
    EXPECT_EQ(uint32_t{d.items[0].back().status}, kParseNeedData);
    auto finished = d.At(kBlock + 100);
    ASSERT_TRUE(finished);
    EXPECT_EQ(uint32_t{finished->status}, kParseComplete);
    EXPECT_EQ(uint64_t{finished->size}, longJpeg.size());
    EXPECT_EQ(TextsOf(d, *finished).maker, "SONY");
    EXPECT_FALSE(d.carver.HasPending());
}

// EXIF that is not where the walk may look, or is malformed, costs the texts, never the file.
TEST(JpegParser, MalformedExifCarvesTheFileWithoutTexts) {
    auto moved = Image("exif-intel.jpg").bytes;
    size_t tiff = ExifTiffHeader(moved);
    ASSERT_EQ(U32Le(moved, tiff + 4), 8u);
    moved[tiff + 4] = 10;  // the first directory is no longer at offset 8

    // 65,535 entries in the first directory: the walk stops at the segment's end.
    auto counted = Image("exif-intel.jpg").bytes;
    counted[tiff + 8] = counted[tiff + 9] = 0xFF;

    // The Exif IFD pointer aimed back at the first directory: walked once.
    auto looped = Image("exif-motorola.jpg").bytes;
    size_t mm = ExifTiffHeader(looped);
    uint32_t entries = looped[mm + 8] << 8 | looped[mm + 9];
    bool patched = false;
    for (uint32_t i = 0; i < entries; ++i) {
        size_t e = mm + 10 + i * 12;
        if (looped[e] == 0x87 && looped[e + 1] == 0x69) {  // 34665
            looped[e + 8] = looped[e + 9] = looped[e + 10] = 0;
            looped[e + 11] = 8;
            patched = true;
        }
    }
    ASSERT_TRUE(patched);

    Disk d(1);
    d.Put(0, moved);
    d.Put(100, counted);
    d.Put(200, looped);
    d.Run();
    for (auto [sector, size] : {std::pair<uint64_t, size_t>{0, moved.size()}, {100, counted.size()},
                                {200, looped.size()}}) {
        auto item = d.At(sector);
        ASSERT_TRUE(item) << sector;
        EXPECT_EQ(uint32_t{item->status}, kParseComplete) << sector;
        EXPECT_EQ(uint64_t{item->size}, size) << sector;
    }
    EXPECT_FALSE(TextsOf(d, *d.At(0)).any);
    // The looped tree still gave what its first directory holds, and the date from the Exif IFD
    // is lost with the pointer.
    Texts looping = TextsOf(d, *d.At(200));
    EXPECT_EQ(looping.maker, "NIKON CORPORATION");
    EXPECT_EQ(looping.date, "");
}

// Cut short: a header overwritten by zeros is no JPEG; scan data overwritten by another file
// runs to the first end marker after it; a zero segment length is no JPEG; fill bytes to the
// end of the disk finish nothing.
TEST(JpegParser, CutShortJpegsEndAsTheirBytesSay) {
    const auto& a = Image("baseline-420.jpg").bytes;
    const auto& b = Image("progressive-444.jpg").bytes;
    Disk d(2);
    // Header cut: the first 100 bytes, then zeros.
    std::vector<uint8_t> head(a.begin(), a.begin() + 100);
    head.resize(1024, 0);
    d.Put(0, head);
    // Scan data cut at 2 KiB by another JPEG on the next sector.
    std::vector<uint8_t> half(a.begin(), a.begin() + 2048);
    d.Put(100, half);
    d.Put(104, b);
    // A zero segment length after the start of image.
    const uint8_t zeroLength[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00, 0x4A, 0x46};
    d.Put(300, zeroLength, sizeof zeroLength);
    // Fill bytes from the first segment's end to the end of the disk.
    std::vector<uint8_t> fill(2 * kBlockBytes64 - (kBlock + 5) * 512, 0xFF);
    fill[1] = 0xD8;
    fill[3] = 0xE0;
    d.Put(kBlock + 5, fill);
    d.Run();

    auto cut = d.At(0);
    ASSERT_TRUE(cut);
    EXPECT_EQ(uint32_t{cut->status}, kParseInvalid);
    auto overwritten = d.At(100);
    ASSERT_TRUE(overwritten);
    EXPECT_EQ(uint32_t{overwritten->status}, kParseComplete);
    EXPECT_EQ(uint64_t{overwritten->size}, 4 * 512 + b.size());  // to the end of the other file
    EXPECT_EQ(uint32_t{d.At(104)->status}, kParseComplete);
    EXPECT_EQ(uint32_t{d.At(300)->status}, kParseInvalid);
    auto filled = d.At(kBlock + 5);
    ASSERT_TRUE(filled);
    EXPECT_EQ(uint32_t{filled->status}, kParseNeedData);  // provisional only: never finished
}

// TIFFs of 2 MiB and more are kept and retyped by their maker: an unlisted maker and no maker
// give RAW; strips, tiles, two pages and a directory at the end are all measured to the end of
// their data. A 720 KiB TIFF is not carved.
TEST(TiffParser, LargeTiffsAreMeasuredAndRetypedByMaker) {
    struct Case {
        const char* file;
        uint32_t type;
    } cases[] = {{"strips-intel.tif", 50}, {"tiles-motorola.tif", 104}, {"two-pages.tif", 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto& tif = Image(c.file).bytes;
        Disk d(2);
        d.Put(3, tif);
        d.Run();
        auto item = d.At(3);
        ASSERT_TRUE(item);
        EXPECT_EQ(uint32_t{item->status}, kParseComplete);
        EXPECT_EQ(uint32_t{item->typeId}, c.type);
        EXPECT_EQ(uint64_t{item->size}, tif.size());
    }
    Disk small(1);
    small.Put(3, Image("small.tif").bytes);
    small.Run();
    ASSERT_TRUE(small.At(3));
    EXPECT_EQ(uint32_t{small.At(3)->status}, kParseInvalid);
}

// The maker decides the raw type, the first listed word found in it winning.
TEST(TiffParser, TheMakerTableDecidesTheRawType) {
    const auto& original = Image("strips-intel.tif").bytes;
    std::string unlisted = "Fabrikam Optics";
    auto at = std::search(original.begin(), original.end(), unlisted.begin(), unlisted.end()) - original.begin();
    ASSERT_LT(static_cast<size_t>(at), original.size());
    struct Case {
        const char* maker;
        uint32_t type;
    } cases[] = {{"Canon", 49},       {"NIKON CORP", 92}, {"PENTAX", 98},    {"SONY", 101},
                 {"OLYMPUS", 104},    {"Panasonic", 50},  {"Hasselblad", 50}, {"SAMSUNG", 52},
                 {"Mamiya", 102},     {"nikon", 50},      {"SONY Canon", 49}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maker);
        auto tif = original;
        std::fill(tif.begin() + at, tif.begin() + at + static_cast<long>(unlisted.size()), 0);
        std::memcpy(&tif[static_cast<size_t>(at)], c.maker, std::strlen(c.maker));
        Disk d(1);
        d.Put(0, tif);
        d.Run();
        auto item = d.At(0);
        ASSERT_TRUE(item);
        EXPECT_EQ(uint32_t{item->typeId}, c.type);
        EXPECT_EQ(TextsOf(d, *item).maker, c.maker);
    }
}

// A TIFF whose directory lies past the block its start is in waits for the window.
TEST(TiffParser, ADirectoryPastTheBlockIsReadFromTheWindow) {
    const auto& tif = Image("two-pages.tif").bytes;
    Disk d(3);
    d.Put(kBlock - 100, tif);
    d.Run();
    auto item = d.At(kBlock - 100);
    ASSERT_TRUE(item);
    EXPECT_EQ(uint32_t{item->status}, kParseComplete);
    EXPECT_EQ(uint64_t{item->size}, tif.size());
}

// Directory chains that loop, sub-directories that point back, counts past the bytes and
// offsets that overflow 32 bits end the walk; nothing hangs or reads outside.
TEST(TiffParser, DamagedDirectoriesEndTheWalk) {
    auto make = [](bool big, std::vector<std::pair<uint16_t, std::pair<uint16_t, uint32_t>>> entries,
                   uint32_t next) {
        std::vector<uint8_t> t(4096, 0);
        auto put16 = [&](size_t at, uint16_t v) {
            t[at] = static_cast<uint8_t>(big ? v >> 8 : v);
            t[at + 1] = static_cast<uint8_t>(big ? v : v >> 8);
        };
        auto put32 = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i) t[at + i] = static_cast<uint8_t>(v >> (big ? 24 - 8 * i : 8 * i));
        };
        t[0] = t[1] = big ? 'M' : 'I';
        put16(2, 42);
        put32(4, 8);
        put16(8, static_cast<uint16_t>(entries.size()));
        size_t e = 10;
        for (const auto& [tag, value] : entries) {
            put16(e, tag);
            put16(e + 2, 4);  // LONG
            put32(e + 4, value.first);
            put32(e + 8, value.second);
            e += 12;
        }
        put32(e, next);
        return t;
    };
    Disk d(1);
    // The chain points back to its own directory.
    d.Put(0, make(false, {{273, {1, 100}}, {279, {1, 3 << 20}}}, 8));
    // A sub-directory list that names the first directory.
    d.Put(100, make(true, {{273, {1, 100}}, {279, {1, 3 << 20}}, {330, {1, 8}}}, 0));
    // Offset plus length past 32 bits: measured, not wrapped.
    d.Put(200, make(false, {{273, {1, 0xFFFFFF00u}}, {279, {1, 0x200}}}, 0));
    // A strip list whose values lie far past anything.
    d.Put(300, make(false, {{273, {0x40000000, 0x10}}, {279, {1, 5}}}, 0));
    d.Run();
    EXPECT_EQ(uint64_t{d.At(0)->size}, 100u + (3 << 20));
    EXPECT_EQ(uint64_t{d.At(100)->size}, 100u + (3 << 20));
    EXPECT_EQ(uint64_t{d.At(200)->size}, 0x100000100u);
    EXPECT_EQ(uint32_t{d.At(300)->status}, kParseInvalid);
}

// BMPs of every info-header version ImageMagick writes (12-byte core, 40, 124, and a 108-byte
// one) come back at their stored size; pixel data placed outside the file is no bitmap.
TEST(BmpParser, EveryInfoHeaderVersionIsMeasuredByItsFileSize) {
    auto v4 = Image("v5.bmp").bytes;
    v4[14] = 108;
    auto pixelsOutside = Image("v3.bmp").bytes;
    pixelsOutside[10] = 0xFF;  // the pixel data would start past the file's end
    pixelsOutside[11] = 0xFF;
    auto odd = Image("v3.bmp").bytes;
    odd[14] = 64;  // no info header of this size exists
    Disk d(1);
    d.Put(0, Image("v3.bmp").bytes);
    d.Put(10, Image("v5.bmp").bytes);
    d.Put(20, Image("v2.bmp").bytes);
    d.Put(30, v4);
    d.Put(40, pixelsOutside);
    d.Put(50, odd);
    d.Put(kBlock - 1, Image("v3.bmp").bytes.data(), 512);  // only its first sector in the block
    d.Run();
    for (auto [sector, file] : {std::pair{0, "v3.bmp"}, {10, "v5.bmp"}, {20, "v2.bmp"}, {30, "v5.bmp"}}) {
        ASSERT_TRUE(d.At(sector)) << file;
        EXPECT_EQ(uint32_t{d.At(sector)->status}, kParseComplete) << file;
        EXPECT_EQ(uint64_t{d.At(sector)->size}, Image(file).bytes.size()) << file;
    }
    EXPECT_EQ(uint32_t{d.At(40)->status}, kParseInvalid);
    EXPECT_FALSE(d.At(50));  // the signature admits no such header
    EXPECT_EQ(uint64_t{d.At(kBlock - 1)->size}, Image("v3.bmp").bytes.size());
}

namespace {

std::vector<uint8_t> CarveSampleBytes(const std::string& file) {
    for (const auto& s : CarveSamples())
        if (s.file == file) return s.bytes;
    ADD_FAILURE() << "no sample " << file;
    return {};
}

}  // namespace

// PNG and GIF files made by ImageMagick are walked to their end inside the block: exact
// whether random bytes, zeros or another file follow. A header chunk whose CRC fails, and
// sub-blocks that run to the end of the data, leave the size to the estimate.
TEST(PngGifParsers, WalkedToTheirEndWhateverFollows) {
    for (const char* file : {"24.png", "25.gif"}) {
        SCOPED_TRACE(file);
        const auto bytes = CarveSampleBytes(file);
        const uint32_t type = std::string(file).find("png") != std::string::npos ? 44 : 45;
        Disk d(1);
        d.Put(100, bytes);                     // random bytes after it
        std::vector<uint8_t> zeros(bytes);
        zeros.resize((bytes.size() / 512 + 2) * 512, 0);
        d.Put(300, zeros);                     // zeros after it
        d.Put(500, bytes);
        d.Put(500 + (bytes.size() + 511) / 512, CarveSampleBytes("01.jpg"));  // another file's start
        d.Run();
        for (uint64_t sector : {100, 300, 500}) {
            auto item = d.At(sector);
            ASSERT_TRUE(item) << sector;
            EXPECT_EQ(uint32_t{item->typeId}, type);
            EXPECT_EQ(uint32_t{item->status}, kParseComplete) << sector;
            EXPECT_EQ(uint64_t{item->size}, bytes.size()) << sector;
        }
    }
    auto badCrc = CarveSampleBytes("24.png");
    badCrc[8 + 8 + 12] ^= 0x01;  // a bit of the header's data, its CRC unchanged
    auto endless = CarveSampleBytes("25.gif");
    endless.resize(13 + ((endless[10] & 0x80) ? 3u << ((endless[10] & 7) + 1) : 0));
    endless.push_back(0x21);
    endless.push_back(0xFE);
    endless.resize(kBlockBytes64 / 2, 0xFF);  // sub-blocks of 255 bytes to the block's end
    Disk d(1);
    d.Put(0, badCrc);
    d.Put(kBlock / 2 - 4096, endless);
    d.Run();
    ASSERT_TRUE(d.At(0));
    EXPECT_EQ(uint32_t{d.At(0)->status}, kParseFound);
    EXPECT_EQ(uint64_t{d.At(0)->size}, 0u);
    ASSERT_TRUE(d.At(kBlock / 2 - 4096));
    EXPECT_EQ(uint32_t{d.At(kBlock / 2 - 4096)->status}, kParseFound);
}
