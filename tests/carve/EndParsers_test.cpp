// Formats whose end the parsers measure from the file's own structure: real files from the
// tools that write them, carved byte-exact whatever follows them and wherever they lie, and
// damaged ones left to the estimate with bounded work.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "carve/EndSamples.h"
#include "carve/ParserChecks.h"
#include "carve/Samples.h"
#include "common/Bytes.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr uint64_t kBlock = 16384;

// Text formats answer Found with their measured length as a bound the carving loop may cut.
bool TextType(uint32_t type) { return type == 79 || type == 43 || type == 164 || type == 163; }

uint64_t Sectors(size_t bytes) { return (bytes + 511) / 512; }

// At the disk's end a format that looks past its end for more (a chained Ogg link, an APE tag)
// keeps its length as a bound.
void ExpectMeasured(const Drive& d, uint64_t sector, const EndSample& s, bool diskEnd) {
    auto item = d.At(sector);
    ASSERT_TRUE(item) << "nothing at " << sector;
    EXPECT_EQ(uint32_t{item->typeId}, s.typeId) << sector;
    if (!diskEnd || uint32_t{item->status} != kParseFound) {
        EXPECT_EQ(uint32_t{item->status}, TextType(s.typeId) ? kParseFound : kParseComplete) << sector;
    }
    EXPECT_EQ(uint64_t{item->size}, s.bytes.size()) << sector;
}

}  // namespace

// Every sample is measured to its last byte when random bytes, zeros or another file's start
// follow it, when it straddles a block's end, and when it ends the disk.
TEST(EndParsers, RealFilesAreMeasuredExactlyWhateverFollows) {
    const auto jpeg = CarveSamples()[0].bytes;
    ASSERT_EQ(CarveSamples()[0].typeId, 46u);
    for (const EndSample& s : EndSamples()) {
        SCOPED_TRACE(s.file);
        NoiseDisk d(2, 11);
        const uint64_t n = Sectors(s.bytes.size());
        d.Put(100, s.bytes);  // noise after it
        const uint64_t zeros = 2000;
        std::vector<uint8_t> padded(s.bytes);
        padded.resize((n + 64) * 512, 0);
        d.Put(zeros, padded);
        const uint64_t followed = 4000;
        d.Put(followed, s.bytes);
        d.Put(followed + n, jpeg);
        const uint64_t straddle = kBlock - n / 2 - 1;
        d.Put(straddle, s.bytes);
        const uint64_t last = 2 * kBlock - n;  // the disk ends with the file's last sector
        std::fill(d.disk.begin() + static_cast<std::ptrdiff_t>(last * 512), d.disk.end(), 0);
        d.Put(last, s.bytes);
        d.Run();
        for (uint64_t sector : {uint64_t{100}, zeros, followed, straddle, last})
            ExpectMeasured(d, sector, s, sector == last);
    }
}

// Damaged or truncated files of each walked format keep their start (Found) with the size left to
// the estimate; nothing runs away.
TEST(EndParsers, BrokenWalksFallBackToTheEstimate) {
    NoiseDisk d(2, 12);
    uint64_t at = 16;
    std::vector<uint64_t> broken;
    auto put = [&](std::vector<uint8_t> bytes) {
        d.Put(at, bytes);
        broken.push_back(at);
        at += Sectors(bytes.size()) + 8;
    };
    // Cut short: noise where the rest of the file was.
    for (const char* file : {"photo.png", "anim.gif", "report.pdf", "tone.ogg", "tune.mid"}) {
        auto bytes = End(file);
        bytes.resize(bytes.size() / 2);
        put(bytes);
    }
    auto png = End("photo.png");
    StoreLE32(png.data() + 33, 0xFFFFFF7F);  // the chunk after the header claims 2^31 - 129 bytes
    put(png);
    auto sevenZip = End("archive.7z");
    sevenZip[20] ^= 0x10;  // the start header's CRC no longer holds
    put(sevenZip);
    auto farHeader = End("archive.7z");
    StoreLE32(farHeader.data() + 16, 0x80000000);  // next header 2^63 bytes on; CRC made to match
    StoreLE32(farHeader.data() + 8, static_cast<uint32_t>(crc32(0, farHeader.data() + 12, 20)));
    put(farHeader);
    auto ogg = End("tone.ogg");
    ogg[ogg.size() - 100] ^= 0x01;  // a bit of the last page: its CRC fails
    put(ogg);
    auto overrun = End("tone.ogg");
    overrun[26] = 255;  // the first page's segment table runs over its packets
    put(overrun);
    auto psd = End("layers.psd");
    psd[26 + 4 + LoadBE32(ByteSpan(psd.data() + 26, 4), 0)] = 0xFF;  // image resources of 4 GiB
    put(psd);
    auto mid = End("tune.mid");
    mid[14 + 4] = 0x7F;  // the first track claims 2 GiB
    put(mid);
    auto pdf = End("report.pdf");
    for (size_t i = 0; i + 5 <= pdf.size(); ++i)
        if (std::memcmp(pdf.data() + i, "%%EOF", 5) == 0) pdf[i + 2] = 'X';  // no end mark at all
    put(pdf);
    d.Run();
    for (uint64_t sector : broken) {
        EXPECT_EQ(StatusAt(d, sector), kParseFound) << sector;
        EXPECT_EQ(uint64_t{d.At(sector)->size}, 0u) << sector;
    }
}

// A chained Ogg file runs through both streams; the PDFs with a second end mark (a linearised
// file, an incremental update) keep everything after the first.
TEST(EndParsers, ChainedAndUpdatedFilesKeepTheirLaterParts) {
    const auto chained = End("chained.ogg"), tone = End("tone.ogg");
    ASSERT_GT(chained.size(), tone.size());
    NoiseDisk d(1, 13);
    d.Put(0, chained);
    // The first stream alone, then zeros: it ends there.
    std::vector<uint8_t> alone(tone);
    alone.resize(Sectors(tone.size()) * 512 + 4096, 0);
    d.Put(200, alone);
    const auto linear = End("linear.pdf"), updated = End("updated.pdf"), report = End("report.pdf");
    d.Put(400, linear);
    d.Put(600, updated);
    d.Run();
    EXPECT_EQ(uint64_t{d.At(0)->size}, chained.size());
    EXPECT_EQ(uint64_t{d.At(200)->size}, tone.size());
    EXPECT_EQ(uint64_t{d.At(400)->size}, linear.size());
    EXPECT_EQ(uint64_t{d.At(600)->size}, updated.size());
    EXPECT_GT(updated.size(), report.size());
}

// A bare MPEG audio stream is one file: its frames that happen to start a sector are hits of the
// row's signature, but each follows a frame that ends where it starts.
TEST(EndParsers, FramesInsideABareAudioStreamAreNoFilesOfTheirOwn) {
    std::vector<uint8_t> frames;
    for (int i = 0; i < 16; ++i) frames.insert(frames.end(), End("frames.mp3").begin(), End("frames.mp3").end());
    NoiseDisk d(1, 14);
    d.Put(10, frames);
    d.Run();
    size_t hits = 0, files = 0;
    for (const auto& block : d.items)
        for (const ScanItem& item : block) {
            if (uint32_t{item.typeId} != 59) continue;
            ++hits;
            if (uint32_t{item.status} != kParseInvalid) ++files;
        }
    EXPECT_GT(hits, 1u);  // sectors of the stream that begin with a frame
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(uint64_t{d.At(10)->size}, frames.size());
}
