// The parser registry: its 48 rows in order, each row's signature on its own sample, the keys
// the carving loop dispatches on, and the type-match check of the FAT scanner.
#include <gtest/gtest.h>

#include <random>

#include "carve/Registry.h"
#include "carve/Samples.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

// The rows a sector matches, by the plain walk of the whole registry in order.
std::vector<uint16_t> WalkAll(const ParserRegistry& registry, const uint8_t* sector) {
    std::vector<uint16_t> rows;
    for (size_t row = 0; row < registry.size(); ++row)
        if (MatchesEntry(registry[row], sector, 512)) rows.push_back(static_cast<uint16_t>(row));
    return rows;
}

std::vector<uint16_t> Dispatched(const RegistryDispatch& dispatch, const uint8_t* sector) {
    std::vector<uint16_t> rows;
    dispatch.ForEachMatch(sector, 512, [&](uint16_t row) { rows.push_back(row); });
    return rows;
}

}  // namespace

// The rows in the order every sector is tried, each with its type.
TEST(Registry, FortyEightRowsInOrder) {
    const uint32_t types[] = {46, 51, 69, 68, 71, 72, 67, 88, 64, 86, 82, 147, 66, 108, 36, 40,
                              39, 41, 42, 43, 164, 79, 163, 44, 45, 47, 48, 144, 61, 62, 63, 60,
                              84, 54, 57, 55, 56, 59, 65, 74, 75, 146, 77, 78, 148, 80, 81, 145};
    const auto& registry = GetParserRegistry();
    ASSERT_EQ(registry.size(), 48u);
    for (size_t row = 0; row < 48; ++row) {
        EXPECT_EQ(registry[row].typeId, types[row]) << "row " << row + 1;
        EXPECT_TRUE(registry[row].factory) << "row " << row + 1;
        std::unique_ptr<IParseFile> parser(registry[row].factory());
        EXPECT_NE(parser, nullptr) << "row " << row + 1;
    }
}

// Every row matches the first sector of a real file of its format, and of the others only those
// whose signature admits it.
TEST(Registry, EachRowMatchesItsOwnSample) {
    const auto& registry = GetParserRegistry();
    const auto& samples = CarveSamples();
    ASSERT_EQ(samples.size(), 48u);
    for (const auto& sample : samples) {
        auto sector = FirstSector(sample);
        auto rows = WalkAll(registry, sector.data());
        ASSERT_FALSE(rows.empty()) << sample.file;
        EXPECT_EQ(rows.front(), sample.row - 1) << sample.file << " is first matched by its own row";
        EXPECT_EQ(registry[rows.front()].typeId, sample.typeId) << sample.file;
        // The only rows that share a first sector: none here but the JPEG's and WMA's own.
        EXPECT_EQ(rows.size(), 1u) << sample.file;
    }
}

// Random sectors: each row matches about as often as the bits its signature fixes allow, which
// for every row here is (far) less than once in a million sectors.
TEST(Registry, NoRowMatchesRandomDataMoreOftenThanItsSignatureAllows) {
    const auto& registry = GetParserRegistry();
    std::mt19937_64 random(48);
    std::vector<uint8_t> sector(512);
    std::vector<int> hits(registry.size(), 0);
    for (int n = 0; n < 1'000'000; ++n) {
        for (size_t i = 0; i < 512; i += 8) {
            uint64_t v = random();
            std::memcpy(&sector[i], &v, 8);
        }
        for (uint16_t row : WalkAll(registry, sector.data())) ++hits[row];
    }
    for (size_t row = 0; row < registry.size(); ++row) EXPECT_LE(hits[row], 2) << "row " << row + 1;
}

// The dispatch by the bytes at offsets 0 and 4 makes exactly the hits of the ordered walk: on
// random sectors, on every sample, on every sample with its key byte set to each of the 256
// values, and on random sectors that carry a real sample's first bytes.
TEST(Registry, TheByteKeyedDispatchMakesTheHitsOfTheOrderedWalk) {
    const auto& registry = GetParserRegistry();
    RegistryDispatch dispatch(registry);
    std::mt19937_64 random(2026);
    std::vector<uint8_t> sector(512);
    for (int n = 0; n < 200'000; ++n) {
        for (size_t i = 0; i < 512; i += 8) {
            uint64_t v = random();
            std::memcpy(&sector[i], &v, 8);
        }
        // Half of them start like one of the samples, so that rows get near a match.
        if (n % 2) {
            const auto& sample = CarveSamples()[random() % 48];
            size_t keep = 1 + random() % 32;
            std::copy_n(sample.bytes.begin(), std::min(keep, sample.bytes.size()), sector.begin());
        }
        ASSERT_EQ(Dispatched(dispatch, sector.data()), WalkAll(registry, sector.data())) << "sector " << n;
    }
    for (const auto& sample : CarveSamples()) {
        auto base = FirstSector(sample);
        for (size_t offset : {size_t{0}, size_t{4}}) {
            for (unsigned b = 0; b < 256; ++b) {
                auto changed = base;
                changed[offset] = static_cast<uint8_t>(b);
                ASSERT_EQ(Dispatched(dispatch, changed.data()), WalkAll(registry, changed.data()))
                    << sample.file << " with byte " << offset << " = " << b;
            }
        }
    }
}

TEST(Registry, FortyEightRowsAndTheTypeMatchFamilies) {
    const auto& table = GetParserRegistry();
    ASSERT_EQ(table.size(), 48u);
    EXPECT_EQ(table.front().typeId, 46u);
    EXPECT_EQ(table.back().typeId, 145u);
    std::vector<uint8_t> sector(512, 0);
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE1};
    std::copy(std::begin(jpeg), std::end(jpeg), sector.begin());
    EXPECT_TRUE(SectorMatchesType(46, sector));
    EXPECT_FALSE(SectorMatchesType(40, sector));
    const uint8_t ole[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(ole), std::end(ole), sector.begin());
    EXPECT_TRUE(SectorMatchesType(87, sector));  // XLS in a compound document
    EXPECT_TRUE(SectorMatchesType(90, sector));
    EXPECT_FALSE(SectorMatchesType(37, sector));
    std::copy_n("PK\x03\x04", 4, sector.begin());
    for (uint32_t t : {37u, 38u, 63u, 89u, 61u}) EXPECT_TRUE(SectorMatchesType(t, sector)) << t;
    EXPECT_FALSE(SectorMatchesType(36, sector));
    std::copy_n("II*\0", 4, sector.begin());
    for (uint32_t t : {49u, 50u, 52u, 92u, 98u, 101u, 102u, 104u, 51u})
        EXPECT_TRUE(SectorMatchesType(t, sector)) << t;
    EXPECT_FALSE(SectorMatchesType(103, sector));  // ARW is not in the TIFF family
    EXPECT_FALSE(SectorMatchesType(35, sector));
    // The MDB magic sits at offset 4.
    std::fill(sector.begin(), sector.end(), 0);
    std::copy_n("Standard J", 10, sector.begin() + 4);
    EXPECT_TRUE(SectorMatchesType(77, sector));
}

namespace {

// A sector starting with `head`, the rest zero.
std::vector<uint8_t> Starting(std::initializer_list<std::string> parts) {
    std::vector<uint8_t> sector(512, 0);
    size_t at = 0;
    for (const auto& p : parts) {
        std::copy(p.begin(), p.end(), sector.begin() + static_cast<long>(at));
        at += p.size();
    }
    return sector;
}

}  // namespace

// Every way a row's rule can be met (each magic of a row with several, each accepted start of
// the markup test...) has its key byte in the row's key: a key missing one would make the
// dispatch skip such files.
TEST(Registry, EveryFormOfEverySignatureHasItsKeyByteAdmitted) {
    using namespace std::string_literals;
    const std::string bom = "\xEF\xBB\xBF";
    struct Form {
        uint32_t type;
        std::vector<uint8_t> sector;
    };
    std::vector<Form> forms = {
        {46, Starting({"\xFF\xD8\xFF\xC4"})}, {46, Starting({"\xFF\xD8\xFF\xFE"})},
        {51, Starting({"II*\0"s})}, {51, Starting({"MM\0*"s})}, {51, Starting({"IIRO"})}, {51, Starting({"IIU\0"s})},
        {69, Starting({"\0\0\0\x20"s, "ftypM4A "})}, {68, Starting({"\x01\0\0\0"s, "ftyp3gp5"})},
        {71, Starting({"\0\0\0\x18"s, "ftypM4V "})}, {72, Starting({"\0\0\0\x18"s, "ftypmmp4"})},
        {67, Starting({"\0\0\0\x14"s, "ftypqt  "})},
        {88, Starting({"\0\0\0\0"s, "\x47\x40\0\x10"s})}, {88, Starting({"\x01\0\0\0"s, "\x47\x40\0\x10"s})},
        {82, Starting({"\0\0\x01\xBA\x21\0\x01\0"s})}, {82, Starting({"\0\0\x01\xBA\x44\0\x04\0"s})},
        {41, Starting({"\x3F\x5F\x03\0"s})}, {41, Starting({"LN\x02\0"s})},
        {43, Starting({"MIME-Version: 1.0"})}, {43, Starting({bom, "MIME-Version"})}, {43, Starting({"From: a@b"})},
        {164, Starting({"{\\rtf1\\ansi"})}, {164, Starting({bom, "{\\rtf1\\ansi"})},
        {79, Starting({"<?xml version=\"1.0\"?>"})}, {79, Starting({"l version=\"1.0\"?>"})},
        {79, Starting({"<HEAD><TITLE>t</TITLE>"})}, {79, Starting({"<script>var a;</script>"})},
        {79, Starting({"\xFF\xFE<\0h\0t\0m\0l\0>\0"s})}, {79, Starting({bom, "<html><body>"})},
        {79, Starting({"\r\n\r\n<!DOCTYPE html>"})}, {79, Starting({"\n<html><body>"})},
        {79, Starting({"<!-- a comment -->"})}, {79, Starting({"<xs:schema xmlns:xs"})},
        {84, Starting({"MSCF\0\0\0\0"s})}, {84, Starting({"ISc(\x06\0\0\0"s})},
        {59, Starting({"\xFF\xFA\x90\x40"})}, {59, Starting({"\xFF\xE3\x20\xC0"})},
        {74, Starting({"MZ\x90\0\x03\0"s})},
        {81, Starting({"Microsoft Visual Studio .NET Solution"})},
        {81, Starting({bom, "\r\nMicrosoft Visual St", "Solu"})},
        {78, Starting({"\0\x01\0\0Standard ACE DB"s})}, {77, Starting({"\0\x01\0\0Standard Jet DB"s})},
    };
    for (const char* version : {"AC1018", "AC1015", "AC1014", "AC1013", "AC1009", "AC1012", "AC1021", "AC1024", "AC1027"})
        forms.push_back({75, Starting({version})});
    const auto& registry = GetParserRegistry();
    for (size_t i = 0; i < forms.size(); ++i) {
        const Form& form = forms[i];
        bool matched = false;
        for (const auto& entry : registry) {
            if (entry.typeId != form.type || !MatchesEntry(entry, form.sector.data(), 512)) continue;
            matched = true;
            EXPECT_TRUE(entry.KeyAdmits(form.sector[entry.keyOffset])) << "form " << i << " of type " << form.type;
        }
        EXPECT_TRUE(matched) << "form " << i << " of type " << form.type << " matches its row";
    }
}
