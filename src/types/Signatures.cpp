// The 48 carved formats' signatures: the tests and magics that recognise a file's first sector,
// and the bytes each can start with.
#include "types/Signatures.h"

#include <cstring>
#include <initializer_list>

namespace ravlin {
namespace {

using u8 = unsigned char;

bool At(const u8* b, size_t offset, const char* text) {
    return std::memcmp(b + offset, text, std::strlen(text)) == 0;
}
uint32_t Le32(const u8* b, size_t o) {
    return b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (static_cast<uint32_t>(b[o + 3]) << 24);
}

bool TestJpg(const u8* b, unsigned short n) {
    if (n < 4 || b[0] != 0xFF || b[1] != 0xD8 || b[2] != 0xFF) return false;
    switch (b[3]) {
        case 0xC4: case 0xDB: case 0xE0: case 0xE1: case 0xE9: case 0xEB: case 0xEE: case 0xFE:
            return true;
        default:
            return false;
    }
}
bool TestTif(const u8* b, unsigned short n) {
    if (n < 4) return false;
    uint32_t v = Le32(b, 0);
    return v == 0x002A4949 || v == 0x2A004D4D || v == 0x4F524949 || v == 0x00554949;
}
bool Ftyp(const u8* b, unsigned short n) { return n >= 12 && At(b, 4, "ftyp"); }
bool TestM4a(const u8* b, unsigned short n) { return Ftyp(b, n) && At(b, 8, "M4A "); }
bool Test3gp(const u8* b, unsigned short n) { return Ftyp(b, n) && At(b, 8, "3gp"); }
bool TestM4v(const u8* b, unsigned short n) { return Ftyp(b, n) && At(b, 8, "M4V "); }
bool TestMp4(const u8* b, unsigned short n) {
    return Ftyp(b, n) && (At(b, 8, "isom") || At(b, 8, "mmp4"));
}
bool TestMov(const u8* b, unsigned short n) {
    return Ftyp(b, n) && !At(b, 8, "M4A ") && !At(b, 8, "M4V ") && !At(b, 8, "isom") &&
           !At(b, 8, "mmp4") && !At(b, 8, "3gp");
}
bool TestMts(const u8* b, unsigned short n) {
    return n >= 8 && Le32(b, 0) < 2 && Le32(b, 4) == 0x10004047;
}
bool TestMpg(const u8* b, unsigned short n) {
    if (n < 8 || b[0] != 0 || b[1] != 0 || b[2] != 1 || b[3] != 0xBA) return false;
    uint32_t next = Le32(b, 4);
    return next == 0x00010021 || next == 0x00040044;
}
bool TestDoc(const u8* b, unsigned short n) {
    static const u8 kOle[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    return n >= 8 && std::memcmp(b, kOle, 8) == 0;
}
bool TestPdf(const u8* b, unsigned short n) { return n >= 7 && At(b, 0, "%PDF-1."); }
bool TestChm(const u8* b, unsigned short n) { return n >= 9 && At(b, 0, "ITSF") && b[8] == 0x60; }
bool TestHlp(const u8* b, unsigned short n) {
    return n >= 4 && (Le32(b, 0) == 0x00035F3F || Le32(b, 0) == 0x00024E4C);
}
bool TestMht(const u8* b, unsigned short n) {
    if (n < 8) return false;
    return At(b, 0, "MIME-Ver") || (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF && At(b, 3, "MIME-")) ||
           (At(b, 0, "From") && b[4] == ':');
}
// At the start, or behind a UTF-8 byte-order mark.
bool TestRtf(const u8* b, unsigned short n) {
    return n >= 9 && (At(b, 0, "{\\rtf1") || (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF && At(b, 3, "{\\rtf1")));
}
bool TestHtml(const u8* b, unsigned short n) {
    if (n < 16) return false;
    if (At(b, 0, "<?xm") || At(b, 0, "l ve") || At(b, 0, "<HEAD>") || At(b, 0, "<script")) return true;
    if ((b[0] == 0xFF && b[1] == 0xFE && b[2] == '<' && b[3] == 0) ||
        (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF && b[3] == '<'))
        return true;
    if (b[0] != '\n' && b[0] != '\r' && b[0] != '<') return false;
    size_t at = 0;
    while (at < 10 && at < n && (b[at] == '\r' || b[at] == '\n')) ++at;
    if (at >= n || b[at] != '<') return false;
    for (const char* tag : {"<html", "<HTML", "<!doctyp", "<!DOCTYP", "<!--", "<?xml", "<xs:schema"}) {
        size_t len = std::strlen(tag);
        if (n - at >= len && std::memcmp(b + at, tag, len) == 0) return true;
    }
    return false;
}
bool TestXml(const u8* b, unsigned short n) { return n >= 8 && At(b, 0, "<Ui xmln"); }
bool TestPng(const u8* b, unsigned short n) {
    static const u8 kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    return n >= 8 && std::memcmp(b, kPng, 8) == 0;
}
bool TestGif(const u8* b, unsigned short n) {
    return n >= 6 && (At(b, 0, "GIF87a") || At(b, 0, "GIF89a"));
}
bool TestPsd(const u8* b, unsigned short n) {
    return n >= 8 && At(b, 0, "8BPS") && b[4] == 0 && b[5] == 1 && b[6] == 0 && b[7] == 0;
}
bool TestBmp(const u8* b, unsigned short n) {
    return n >= 16 && b[0] == 'B' && b[1] == 'M' && b[7] == 0 && b[9] == 0 && b[15] == 0 &&
           (b[14] == 12 || b[14] == 40 || b[14] == 108 || b[14] == 124);
}
bool TestRaf(const u8* b, unsigned short n) { return n >= 8 && At(b, 0, "FUJIFILM"); }
bool TestRar(const u8* b, unsigned short n) {
    return n >= 7 && At(b, 0, "Rar!") && b[4] == 0x1A && b[5] == 0x07 && b[6] == 0x00;
}
bool Test7z(const u8* b, unsigned short n) {
    return n >= 5 && b[0] == 0x37 && b[1] == 0x7A && b[2] == 0xBC && b[3] == 0xAF && b[4] == 0x27;
}
bool TestCab(const u8* b, unsigned short n) {
    return n >= 8 && ((At(b, 0, "MSCF") && Le32(b, 4) == 0) || At(b, 0, "ISc("));
}
bool TestMp3(const u8* b, unsigned short n) {
    return n >= 4 && b[0] == 'I' && b[1] == 'D' && b[2] == '3' && (b[3] == 2 || b[3] == 3 || b[3] == 4);
}
bool TestWma(const u8* b, unsigned short n) {
    return n >= 4 && (Le32(b, 0) == 0x4090FAFF || Le32(b, 0) == 0xC020E3FF);
}
bool TestExe(const u8* b, unsigned short n) { return n >= 6 && b[0] == 'M' && b[1] == 'Z' && b[3] < 3 && b[5] < 3; }
bool TestDwg(const u8* b, unsigned short n) {
    if (n < 8 || b[6] != 0 || b[7] != 0) return false;
    for (const char* v : {"AC1018", "AC1015", "AC1014", "AC1013", "AC1009", "AC1012", "AC1021",
                          "AC1024", "AC1027"})
        if (std::memcmp(b, v, 6) == 0) return true;
    return false;
}
// The PostScript follows the 30-byte header, or the header padded to 32 bytes.
bool TestEps(const u8* b, unsigned short n) {
    return n >= 8 && b[0] == 0xC5 && b[1] == 0xD0 && b[2] == 0xD3 && b[3] == 0xC6 &&
           (Le32(b, 4) == 30 || Le32(b, 4) == 32);
}
bool TestAccdb(const u8* b, unsigned short n) {
    return n >= 19 && Le32(b, 0) == 256 && At(b, 4, "Standard ACE DB");
}
bool TestDsw(const u8* b, unsigned short n) { return n >= 32 && At(b, 0, "Micr") && At(b, 28, "orks"); }
bool TestSln(const u8* b, unsigned short n) {
    if (n < 32) return false;
    return (At(b, 0, "Micr") && At(b, 28, " Sol")) ||
           (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF && b[3] == 0x0D && At(b, 24, "Solu"));
}

// The key of a row: the bytes that may stand at `offset` in a sector it matches.
struct Key {
    uint16_t offset;
    std::initializer_list<uint8_t> bytes;
};

void SetKey(SignatureRow& row, const Key& key) {
    row.keyOffset = key.offset;
    row.keyBytes = {};
    for (uint8_t b : key.bytes) row.keyBytes[b >> 6] |= uint64_t{1} << (b & 63);
}

void Test(std::vector<SignatureRow>& r, uint32_t type, bool (*test)(const u8*, unsigned short), const Key& key) {
    SignatureRow row;
    row.typeId = type;
    row.test = test;
    SetKey(row, key);
    r.push_back(row);
}

void Magic(std::vector<SignatureRow>& r, uint32_t type, uint16_t offset, const void* bytes, uint16_t length) {
    SignatureRow row;
    row.typeId = type;
    row.magicOffset = offset;
    row.magicLength = length > 32 ? 32 : length;
    std::memcpy(row.magic, bytes, row.magicLength);
    // A magic at offset 0 or 4 keys its row by its first byte.
    SetKey(row, {offset, {static_cast<const u8*>(bytes)[0]}});
    r.push_back(row);
}

std::vector<SignatureRow> BuildRows() {
    static const u8 kFlv[] = {0x46, 0x4C, 0x56, 0x01};
    static const u8 kMkv[] = {0x1A, 0x45, 0xDF, 0xA3};
    static const u8 kWmv[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11};
    static const u8 kPub[] = {0x01, 0xC3, 0x5B, 0x50};
    static const u8 kZip[] = {0x50, 0x4B, 0x03, 0x04};
    static const u8 kJar[] = {0x5F, 0x27, 0xA8, 0x89};
    static const u8 kRam[] = {0x2E, 0x72, 0x61, 0x3F};
    static const u8 kClass[] = {0xCA, 0xFE, 0xBA, 0xBE};
    const Key ftyp{4, {'f'}};
    std::vector<SignatureRow> r;
    Test(r, 46, TestJpg, {0, {0xFF}});
    Test(r, 51, TestTif, {0, {'I', 'M'}});
    Test(r, 69, TestM4a, ftyp);
    Test(r, 68, Test3gp, ftyp);
    Test(r, 71, TestM4v, ftyp);
    Test(r, 72, TestMp4, ftyp);
    Test(r, 67, TestMov, ftyp);
    Test(r, 88, TestMts, {0, {0x00, 0x01}});
    Magic(r, 64, 0, kFlv, 4);
    Magic(r, 86, 0, kMkv, 4);
    Test(r, 82, TestMpg, {0, {0x00}});
    Magic(r, 147, 0, "RIFF", 4);
    Magic(r, 66, 0, ".RMF", 4);
    Magic(r, 108, 0, kWmv, 8);
    Test(r, 36, TestDoc, {0, {0xD0}});
    Test(r, 40, TestPdf, {0, {'%'}});
    Test(r, 39, TestChm, {0, {'I'}});
    Test(r, 41, TestHlp, {0, {0x3F, 0x4C}});
    Magic(r, 42, 0, kPub, 4);
    Test(r, 43, TestMht, {0, {'M', 'F', 0xEF}});
    Test(r, 164, TestRtf, {0, {'{', 0xEF}});
    Test(r, 79, TestHtml, {0, {'<', 'l', '\n', '\r', 0xFF, 0xEF}});
    Test(r, 163, TestXml, {0, {'<'}});
    Test(r, 44, TestPng, {0, {0x89}});
    Test(r, 45, TestGif, {0, {'G'}});
    Test(r, 47, TestPsd, {0, {'8'}});
    Test(r, 48, TestBmp, {0, {'B'}});
    Test(r, 144, TestRaf, {0, {'F'}});
    Magic(r, 61, 0, kZip, 4);
    Test(r, 62, TestRar, {0, {'R'}});
    Magic(r, 63, 0, kJar, 4);
    Test(r, 60, Test7z, {0, {0x37}});
    Test(r, 84, TestCab, {0, {'M', 'I'}});
    Test(r, 54, TestMp3, {0, {'I'}});
    Magic(r, 57, 0, "MThd", 4);
    Magic(r, 55, 0, "OggS", 4);
    Magic(r, 56, 0, "MAC ", 4);
    Test(r, 59, TestWma, {0, {0xFF}});
    Magic(r, 65, 0, kRam, 4);
    Test(r, 74, TestExe, {0, {'M'}});
    Test(r, 75, TestDwg, {0, {'A'}});
    Test(r, 146, TestEps, {0, {0xC5}});
    Magic(r, 77, 4, "Standard J", 10);
    Test(r, 78, TestAccdb, {0, {0x00}});
    Magic(r, 148, 0, kClass, 4);
    Test(r, 80, TestDsw, {0, {'M'}});
    Test(r, 81, TestSln, {0, {'M', 0xEF}});
    Magic(r, 145, 0, "MVCL", 4);
    return r;
}

// Types whose files may start with another row's signature (bits counted from a base id).
bool Related(uint32_t expected, uint32_t entryType) {
    auto inMask = [](uint32_t id, uint32_t base, uint64_t mask) {
        return id >= base && id - base < 64 && ((mask >> (id - base)) & 1) != 0;
    };
    constexpr uint64_t kCompound = 0x48000000000001;  // {36, 87, 90}
    constexpr uint64_t kZipFamily = 0x10000004000003;  // {37, 38, 63, 89}
    constexpr uint64_t kTiffRaw = 0xb208000000000b;    // {49, 50, 52, 92, 98, 101, 102, 104}
    if (inMask(expected, 36, kCompound) && inMask(entryType, 36, kCompound)) return true;
    if (inMask(expected, 37, kZipFamily) && entryType == 61) return true;
    if (inMask(expected, 49, kTiffRaw) && entryType == 51) return true;
    return false;
}

}  // namespace

const std::vector<SignatureRow>& SignatureRows() {
    static const std::vector<SignatureRow> rows = BuildRows();
    return rows;
}

bool MatchesSignature(const SignatureRow& row, const unsigned char* bytes, unsigned short length) {
    if (!bytes) return false;
    if (row.test) return row.test(bytes, length);
    return row.magicOffset + row.magicLength <= length &&
           std::memcmp(bytes + row.magicOffset, row.magic, row.magicLength) == 0;
}

bool SectorMatchesType(uint32_t expectedType, std::span<const uint8_t> sector) {
    if (expectedType < 36 || expectedType > 177 || sector.size() < 512) return false;
    for (const SignatureRow& row : SignatureRows()) {
        if (row.typeId != expectedType && !Related(expectedType, row.typeId)) continue;
        if (MatchesSignature(row, sector.data(), 512)) return true;
    }
    return false;
}

}  // namespace ravlin
