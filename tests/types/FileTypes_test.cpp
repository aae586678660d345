// The type table, the extension maps and carved-file names.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "types/FileTypes.h"

using namespace ravlin;

TEST(FileTypes, TypeFromFileNameTakesOnlyTheLastExtensionCaseFolded) {
    struct Case {
        const wchar_t* name;
        uint32_t type;
    } cases[] = {
        {L"photo.jpg", 46},       {L"PHOTO.JPEG", 46},   {L"archive.tar.gz", 0},
        {L"archive.tar", 140},    {L".bashrc", 0},       {L"name.", 0},
        {L"noextension", 0},      {L"", 0},              {L"r\u00E9sum\u00E9.PDF", 40},
        {L"\u7167\u7247.Docx", 37}, {L"clip.M2TS", 88},  {L"a.b.c.MP4", 72},
        {L"movie.mov", 67},       {L"sound.riff", 0},    {L"blob.dat", 0},
        {L"mail.EML", 174},       {L"x.\u00C4BC", 0},    {L"table.et", 87},
        {L"part.SlDpRt", 139},    {L"x.jpgjpgjpg", 0},   {L"x.jpg\u0130", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(TypeFromFileName(c.name), c.type) << c.name;
}

TEST(FileTypes, CategoriesAndNames) {
    EXPECT_EQ(CategoryOfType(999), 6u);
    EXPECT_EQ(CategoryOfType(46), 0u);
    EXPECT_EQ(CategoryOfType(37), 1u);
    EXPECT_EQ(CategoryOfType(150), 2u);
    EXPECT_EQ(CategoryOfType(177), 3u);
    EXPECT_EQ(CategoryOfType(142), 4u);
    EXPECT_EQ(CategoryOfType(174), 5u);
    EXPECT_EQ(CategoryOfType(0), 6u);
    EXPECT_EQ(CategoryName(0), L"\u56FE\u7247");  // pictures
    EXPECT_EQ(CategoryName(6), L"\u5176\u4ED6");  // other
    EXPECT_EQ(CategoryName(7), L"");
    EXPECT_STREQ(TypeName(176), L"\u5176\u4ED6\u56FE\u7247");
    EXPECT_STREQ(TypeName(173), L"Excel");
    EXPECT_EQ(TypeName(999), nullptr);
    EXPECT_EQ(ExtensionOfType(149), L"mov");
    EXPECT_EQ(ExtensionOfType(151), L"dat");
    EXPECT_EQ(ExtensionOfType(174), L"");
    EXPECT_EQ(ExtensionOfType(999), L"");
}

TEST(FileTypes, TablesAreConsistent) {
    std::set<uint32_t> ids;
    size_t primaries = 0;
    for (const auto& entry : AllTypes()) {
        EXPECT_TRUE(ids.insert(entry.typeId).second) << entry.typeId;
        primaries += entry.primaryExtension != nullptr;
        EXPECT_EQ(CategoryOfType(entry.typeId), entry.category);
    }
    EXPECT_EQ(primaries, 127u);
    size_t listed = 0;
    for (uint32_t c = 0; c < 7; ++c) {
        for (uint32_t id : TypesOfCategory(c)) EXPECT_EQ(CategoryOfType(id), c);
        listed += TypesOfCategory(c).size();
    }
    EXPECT_EQ(listed, AllTypes().size());
    EXPECT_TRUE(TypesOfCategory(9).empty());
    // Every mapped extension names a type whose lookup round-trips.
    for (const auto& [ext, id] : ExtensionMap())
        EXPECT_EQ(TypeFromFileName(L"f." + ext), id) << std::wstring(ext);
    EXPECT_EQ(TypesOfCategory(0).front(), 44u);
    EXPECT_EQ(TypesOfCategory(6).back(), 0u);
}

namespace {
void Put(char16_t* field, size_t capacity, const char16_t* text) {
    std::memset(field, 0, capacity * sizeof(char16_t));
    for (size_t i = 0; i < capacity - 1 && text[i]; ++i) field[i] = text[i];
}
}  // namespace

TEST(FileTypes, CarvedFileNames) {
    _FILE_CREATE_INFO info;
    std::memset(&info, 0, sizeof info);
    Put(info.Maker, 32, u"Canon");
    Put(info.Model, 32, u" EOS\t");
    Put(info.Date, 12, u"2015:03:04");
    EXPECT_EQ(CarvedFileName(46, 0x10, &info), L"Canon__EOS__2015_03_04__10.jpg");
    EXPECT_EQ(CarvedFileName(46, 0x1A2B, nullptr), L"1a2b.jpg");
    // Only some types carry the prefix; a carved CR2 gets none.
    EXPECT_EQ(CarvedFileName(49, 0x10, &info), L"10.cr2");
    EXPECT_EQ(CarvedFileName(74, 0x10, nullptr), L"");   // executables are never listed
    EXPECT_EQ(CarvedFileName(172, 0x10, nullptr), L"");  // no extension
    Put(info.Title, 64, u"a/b:c*d?\"e\"<f>|g\\h");
    EXPECT_EQ(CarvedFileName(37, 0, &info), L"Canon__EOS__2015_03_04__a_b_c_d__e__f__g_h__0.docx");
}
