// The document parsers on files made by LibreOffice, zip and jar, carved from in-memory disks
// as the raw pass carves them: compound documents and ZIP packages at their exact length and
// type with the author, title and date they state; and the same files damaged.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "carve/ParserChecks.h"
#include "carve/ImageSamples.h"
#include "carve/Samples.h"
#include "carve/Registry.h"
#include "carve/parsers/CompoundFile.h"
#include "carve/parsers/Ooxml.h"
#include "platform/Text.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr uint64_t kBlock = kBlockUnit;

struct Document {
    std::vector<uint8_t> bytes;
    uint32_t type = 0;
    std::string author, title, date;
};

const std::map<std::string, Document>& Documents() {
    static const std::map<std::string, Document> docs = [] {
        std::string dir = std::string(RAVLIN_FIXTURE_DIR) + "/documents/";
        auto json = nlohmann::json::parse(std::ifstream(dir + "samples.json"));
        std::map<std::string, Document> out;
        for (const auto& s : json.at("samples")) {
            Document d;
            std::string file = s.at("file").get<std::string>();
            d.bytes = ReadMaybeGzipped(dir + s.at("stored").get<std::string>());
            if (d.bytes.size() != s.at("size").get<size_t>()) throw std::runtime_error("bad sample " + file);
            d.type = s.at("type").get<uint32_t>();
            d.author = s.value("author", "");
            d.title = s.value("title", "");
            d.date = s.value("date", "");
            out[file] = std::move(d);
        }
        return out;
    }();
    return docs;
}

const Document& Doc(const std::string& file) { return Documents().at(file); }

struct Disk : NoiseDisk {
    explicit Disk(uint64_t blocks) : NoiseDisk(blocks, 23) {}
};

}  // namespace

// Every document and archive comes back at its exact length and type, with its author, its
// title (or, without one, its first text) and its date cut to ten characters.
TEST(DocumentParsers, EveryDocumentIsCarvedExactlyWithItsTexts) {
    for (const auto& [name, doc] : Documents()) {
        if (doc.bytes.size() > (1u << 20)) continue;
        SCOPED_TRACE(name);
        Disk d(2);
        d.Put(10, doc.bytes);
        d.Put(kBlock - 3, doc.bytes);
        d.Run();
        for (uint64_t sector : {uint64_t{10}, kBlock - 3}) {
            auto item = d.At(sector);
            ASSERT_TRUE(item) << sector;
            EXPECT_EQ(uint32_t{item->status}, kParseComplete);
            EXPECT_EQ(uint32_t{item->typeId}, doc.type);
            EXPECT_EQ(uint64_t{item->size}, doc.bytes.size());
            const _FILE_CREATE_INFO* info = d.infos.Find(item->creationInfo);
            if (doc.author.empty()) {
                EXPECT_EQ(info, nullptr);
                continue;
            }
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(Field(info->Maker, 32), doc.author);
            EXPECT_EQ(Field(info->Model, 32), "");
            EXPECT_EQ(Field(info->Title, 64), doc.title);
            EXPECT_EQ(Field(info->Date, 12), doc.date.substr(0, 10));
        }
    }
}

// A Word file of 40 MiB starting 1 MiB before a block's end asks for a grown window and is
// finished from the block window.
TEST(DocumentParsers, ALongWordFileIsFinishedFromTheWindow) {
    const Document& doc = Doc("long.doc");
    ASSERT_GT(doc.bytes.size(), 20u << 20);
    Disk d(7);
    d.Put(kBlock - 2048, doc.bytes);
    d.Run();
    ASSERT_FALSE(d.items[0].empty());
    EXPECT_EQ(uint32_t{d.items[0].back().status}, kParseNeedData);
    auto item = d.At(kBlock - 2048);
    ASSERT_TRUE(item);
    EXPECT_EQ(uint32_t{item->status}, kParseComplete);
    EXPECT_EQ(uint64_t{item->size}, doc.bytes.size());
    const _FILE_CREATE_INFO* info = d.infos.Find(item->creationInfo);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(Field(info->Title, 64), "Long Document");
    EXPECT_FALSE(d.carver.HasPending());
}

// Damaged compound documents: a sector shift other than 9 or 12, a directory chain that loops,
// an extension chain of the table that points at itself, a root entry whose name is not
// terminated: refused, with bounded work.
TEST(DocumentParsers, DamagedCompoundDocumentsAreRefused) {
    const auto& good = Doc("report.doc").bytes;
    auto shift = good;
    shift[30] = 10;
    auto loop = good;  // the directory's first sector chained to itself
    uint32_t dir = loop[48] | loop[49] << 8 | loop[50] << 16 | uint32_t{loop[51]} << 24;
    uint32_t fatSector = loop[76] | loop[77] << 8 | loop[78] << 16 | uint32_t{loop[79]} << 24;
    size_t entry = (fatSector + 1) * 512 + dir * 4;
    for (int i = 0; i < 4; ++i) loop[entry + i] = static_cast<uint8_t>(dir >> (8 * i));
    auto difat = good;  // 200 table sectors claimed, the extension chain at sector 0 naming itself
    difat[44] = 200;
    for (int i = 68; i < 72; ++i) difat[i] = 0;
    difat[72] = 1;
    auto unterminated = good;
    size_t root = (dir + 1) * 512;
    unterminated[root + 20] = 'X';  // "Root Entry" loses its terminating zero
    unterminated[root + 21] = 0;

    for (const auto* bytes : {&shift, &loop, &unterminated})
        EXPECT_EQ(AnalyseCompoundFile(bytes->data(), bytes->size()).status, kParseInvalid);
    // 110 table sectors: the 110th comes from the extension chain, whose sector names itself
    // as the next.
    difat[44] = 110;
    difat.resize(64 << 10, 0);
    for (int i = 0; i < 4; ++i) difat[512 + 508 + i] = 0;
    for (int i = 0; i < 4; ++i) difat[512 + i] = 1;  // a table sector inside the data
    EXPECT_EQ(AnalyseCompoundFile(difat.data(), difat.size()).status, kParseInvalid);
    Disk d(1);
    d.Put(0, shift);
    d.Put(100, loop);
    d.Put(200, unterminated);
    d.Run();
    for (uint64_t sector : {0, 100, 200}) EXPECT_EQ(StatusAt(d, sector), kParseInvalid) << sector;
}

// ZIP walks: a JAR-like ZIP stays ZIP; a compressed size that would carry the cursor 4 GiB on
// leaves the archive waiting, never measured; a member is inflated only as far as its cap;
// entities are decoded, unbalanced ones left as they are.
TEST(DocumentParsers, ZipWalksAndPackageTexts) {
    auto far = Doc("stored.zip").bytes;
    for (int i = 18; i < 22; ++i) far[i] = 0xFF;
    Disk d(1);
    d.Put(0, far);
    d.Put(100, Doc("app.jar").bytes);
    d.Run();
    EXPECT_EQ(StatusAt(d, 0), kParseNeedData);
    EXPECT_EQ(uint32_t{d.At(100)->typeId}, 61u);

    // A member read under a cap gives the cap's bytes, however much it would expand to.
    const auto& docx = Doc("report.docx").bytes;
    auto core = ZipMember(docx.data(), docx.size(), "docProps/core.xml", 100);
    ASSERT_TRUE(core);
    EXPECT_EQ(core->size(), 100u);
    EXPECT_EQ(DecodeXmlEntities("a &amp; b &lt;c&gt; &quot;d&quot; &apos;e&apos; &amp f &#233;"),
              "a & b <c> \"d\" 'e' &amp f &#233;");
    EXPECT_EQ(XmlElementText("<x><dc:title>T &amp; U</dc:title></x>", "dc:title"), "T & U");
    EXPECT_EQ(XmlElementText("<x><dc:title/><dc:title>late</dc:title></x>", "dc:title"), "");
    EXPECT_EQ(FirstParagraphText("<w:p><w:pPr/></w:p><w:p><w:r><w:t>Hello </w:t></w:r><w:r><w:t xml:space=\"preserve\">world</w:t></w:r></w:p>",
                                 "w:p", "w:t", 64),
              "Hello world");
}

namespace {

// A stored ZIP of the given members, as zip lays them out.
std::vector<uint8_t> StoredZip(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& members) {
    std::vector<uint8_t> out, central;
    auto u16 = [](std::vector<uint8_t>& v, uint32_t x) { v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)}); };
    auto u32 = [&](std::vector<uint8_t>& v, uint32_t x) { u16(v, x & 0xFFFF); u16(v, x >> 16); };
    for (const auto& [name, data] : members) {
        uint32_t offset = static_cast<uint32_t>(out.size());
        u32(out, 0x04034B50); u16(out, 20); u16(out, 0); u16(out, 0); u32(out, 0); u32(out, 0);
        u32(out, static_cast<uint32_t>(data.size())); u32(out, static_cast<uint32_t>(data.size()));
        u16(out, static_cast<uint32_t>(name.size())); u16(out, 0);
        out.insert(out.end(), name.begin(), name.end());
        out.insert(out.end(), data.begin(), data.end());
        u32(central, 0x02014B50); u16(central, 20); u16(central, 20); u16(central, 0); u16(central, 0); u32(central, 0);
        u32(central, 0); u32(central, static_cast<uint32_t>(data.size())); u32(central, static_cast<uint32_t>(data.size()));
        u16(central, static_cast<uint32_t>(name.size())); u16(central, 0); u16(central, 0); u16(central, 0); u16(central, 0);
        u32(central, 0); u32(central, offset);
        central.insert(central.end(), name.begin(), name.end());
    }
    uint32_t cd = static_cast<uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    u32(out, 0x06054B50); u16(out, 0); u16(out, 0); u16(out, static_cast<uint32_t>(members.size()));
    u16(out, static_cast<uint32_t>(members.size())); u32(out, static_cast<uint32_t>(central.size())); u32(out, cd); u16(out, 0);
    return out;
}

}  // namespace

// A DOCX larger than the window can hold (96 MiB) is measured, and carved without its texts.
TEST(DocumentParsers, ADocxLargerThanTheWindowIsCompleteWithoutTexts) {
    std::string core = "<cp:coreProperties><dc:creator>Big Author</dc:creator></cp:coreProperties>";
    auto zip = StoredZip({{"word/_rels/document.xml.rels", std::vector<uint8_t>(40, 'r')},
                          {"docProps/core.xml", std::vector<uint8_t>(core.begin(), core.end())},
                          {"word/media/pad.bin", std::vector<uint8_t>(97u << 20, 0)}});
    Drive d(GetParserRegistry(), 13);
    d.Put(100, zip);
    d.Run();
    auto item = d.At(100);
    ASSERT_TRUE(item);
    EXPECT_EQ(uint32_t{item->status}, kParseComplete);
    EXPECT_EQ(uint32_t{item->typeId}, 37u);
    EXPECT_EQ(uint64_t{item->size}, zip.size());
    EXPECT_EQ(d.infos.Find(item->creationInfo), nullptr);

    // The same package small enough is read whole: the author comes back.
    auto small = StoredZip({{"word/_rels/document.xml.rels", std::vector<uint8_t>(40, 'r')},
                            {"docProps/core.xml", std::vector<uint8_t>(core.begin(), core.end())},
                            {"word/media/pad.bin", std::vector<uint8_t>(9u << 20, 0)}});
    Drive e(GetParserRegistry(), 3);
    e.Put(kBlock - 10, small);
    e.Run();
    auto whole = e.At(kBlock - 10);
    ASSERT_TRUE(whole);
    EXPECT_EQ(uint64_t{whole->size}, small.size());
    const _FILE_CREATE_INFO* info = e.infos.Find(whole->creationInfo);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(Field(info->Maker, 32), "Big Author");
}

// Member names retype a ZIP: a spreadsheet's relations even when other members come first,
// CorelDRAW's data and links in either order; a JAR's manifest leaves it a ZIP.
TEST(DocumentParsers, MemberNamesRetypeZipPackages) {
    auto member = [](const char* name) { return std::pair<std::string, std::vector<uint8_t>>{name, std::vector<uint8_t>(100, 'x')}; };
    struct Case {
        std::vector<std::pair<std::string, std::vector<uint8_t>>> members;
        uint32_t type;
    };
    const Case cases[] = {
        {{member("[Content_Types].xml"), member("docProps/app.xml"), member("xl/_rels/workbook.xml.rels")}, 38},
        {{member("ppt/_rels/presentation.xml.rels")}, 89},
        {{member("content/riffData.cdr"), member("META-INF/links.xml")}, 118},
        {{member("links.xml"), member("content/dataFileList.dat")}, 118},
        {{member("content/riffData.cdr")}, 61},
        {{member("META-INF/MANIFEST.MF"), member("Main.class")}, 61},
    };
    Disk d(1);
    for (size_t i = 0; i < std::size(cases); ++i) d.Put(100 + 100 * i, StoredZip(cases[i].members));
    d.Run();
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto item = d.At(100 + 100 * i);
        ASSERT_TRUE(item) << i;
        EXPECT_EQ(uint32_t{item->typeId}, cases[i].type) << i;
        EXPECT_EQ(uint32_t{item->status}, kParseComplete) << i;
    }
}

// HTML after ten blank lines is recognised, after eleven it is not.
TEST(DocumentParsers, HtmlAfterTenBlankLinesButNotEleven) {
    for (int lines : {10, 11}) {
        SCOPED_TRACE(lines);
        std::string page(static_cast<size_t>(lines), '\n');
        page += "<html><head><title>t</title></head><body>page</body></html>\n";
        Disk d(1);
        d.Put(40, page.data(), page.size());
        d.Run();
        auto item = d.At(40);
        EXPECT_EQ(item.has_value(), lines == 10);
        if (item) {
            EXPECT_EQ(uint32_t{item->typeId}, 79u);
        }
    }
}

// Help files carry their length in their header: a CHM made by chmcmd (which writes its first
// GUID twice) and a Windows help header are measured to it; a help header whose size lies below
// its directory is refused.
TEST(DocumentParsers, HelpFilesAreSizedByTheirHeaders) {
    std::vector<uint8_t> chm, hlp;
    for (const auto& s : CarveSamples()) {
        if (s.file == "17.chm") chm = s.bytes;
        if (s.file == "18.hlp") hlp = s.bytes;
    }
    ASSERT_FALSE(chm.empty());
    ASSERT_FALSE(hlp.empty());
    uint32_t hlpSize = hlp[12] | hlp[13] << 8 | hlp[14] << 16 | uint32_t{hlp[15]} << 24;
    auto badHlp = hlp;
    badHlp[4] = 0xFF;  // the directory starts past the file's end
    badHlp[5] = 0xFF;
    Disk d(1);
    d.Put(0, chm);
    d.Put(1000, hlp);
    d.Put(2000, badHlp);
    d.Run();
    ASSERT_TRUE(d.At(0));
    EXPECT_EQ(uint64_t{d.At(0)->size}, chm.size());
    EXPECT_EQ(uint32_t{d.At(0)->status}, kParseComplete);
    ASSERT_TRUE(d.At(1000));
    EXPECT_EQ(uint64_t{d.At(1000)->size}, hlpSize);
    EXPECT_EQ(StatusAt(d, 2000), kParseInvalid);
}

// A package whose members carry their sizes after their data (LibreOffice's) is crossed by the
// search for the next record; cut before its end, the search gives up 96 MiB past its last
// record instead of running on to the end of the disk.
TEST(DocumentParsers, TheSearchForTheNextRecordCrossesDataButEnds) {
    const auto& essay = Doc("essay.docx").bytes;
    std::vector<uint8_t> cut(essay.begin(), essay.begin() + static_cast<long>(essay.size() / 2));
    Drive d(GetParserRegistry(), 14);
    d.Put(0, essay);
    d.Put(1000, cut);
    d.Run();
    ASSERT_TRUE(d.At(0));
    EXPECT_EQ(uint64_t{d.At(0)->size}, essay.size());
    EXPECT_EQ(StatusAt(d, 1000), kParseInvalid);
    EXPECT_FALSE(d.carver.HasPending());
}
