// What parsers lean on: reads out of the offered buffer with their three outcomes and limits,
// and the creation info they attach.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "carve/ParseFile.h"
#include "platform/Text.h"

using namespace ravlin;

namespace {

class Probe final : public IParseFile {
public:
    uint32_t Parse(uint64_t, const uint8_t*, uint32_t) override { return kParseFound; }
};

std::vector<uint8_t> Numbered(size_t sectors) {
    std::vector<uint8_t> buffer(sectors * 512);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 7 + i / 512);
    return buffer;
}

std::wstring Field(const char16_t* field) {
    std::u16string units(field);
    return platform::Utf16ToWide(units.data(), units.size());
}

}  // namespace

TEST(ReadFileBytes, InsideTheBufferTheBytesAreCopiedFromTheirOffset) {
    auto buffer = Numbered(16);
    Probe p;
    std::vector<uint8_t> out(700);
    // A file starting at sector 1003 of a buffer that starts at 1000: byte 100 of the file.
    ASSERT_EQ(ReadFileBytes(1003, 100, 700, 1000, buffer.data(), static_cast<uint32_t>(buffer.size()), out.data(), p),
              kParseDataOk);
    EXPECT_EQ(std::memcmp(out.data(), buffer.data() + 3 * 512 + 100, 700), 0);
    // Up to the buffer's last byte exactly.
    ASSERT_EQ(ReadFileBytes(1000, 16 * 512 - 10, 10, 1000, buffer.data(), 16 * 512, out.data(), p), kParseDataOk);
    EXPECT_EQ(std::memcmp(out.data(), buffer.data() + 16 * 512 - 10, 10), 0);
}

TEST(ReadFileBytes, BytesAfterTheBufferAreRequestedWithTheirEndMark) {
    auto buffer = Numbered(16);
    Probe p;
    std::vector<uint8_t> out(4096);
    // Starting in the buffer and running past it: the whole range is requested.
    EXPECT_EQ(ReadFileBytes(1000, 15 * 512, 1024, 1000, buffer.data(), 16 * 512, out.data(), p), kParseNeedData);
    EXPECT_EQ(p.requestFirst, 1015u);
    EXPECT_EQ(p.requestEnd, 1017u);  // ends on a sector boundary: one past the last sector
    // Not ending on a boundary: the end mark is the last sector touched.
    EXPECT_EQ(ReadFileBytes(1000, 20 * 512 + 3, 600, 1000, buffer.data(), 16 * 512, out.data(), p), kParseNeedData);
    EXPECT_EQ(p.requestFirst, 1020u);
    EXPECT_EQ(p.requestEnd, 1021u);
}

TEST(ReadFileBytes, RefusalsAndLimits) {
    auto buffer = Numbered(16);
    Probe p;
    std::vector<uint8_t> out(16);
    uint32_t bytes = 16 * 512;
    // Data that has passed: wholly before the buffer.
    EXPECT_EQ(ReadFileBytes(900, 0, 512, 1000, buffer.data(), bytes, out.data(), p), kParseInvalid);
    // More than 96 MiB, none, or no place to copy to.
    EXPECT_EQ(ReadFileBytes(1000, 0, kMaxParserRead + 1, 1000, buffer.data(), bytes, out.data(), p), kParseInvalid);
    EXPECT_EQ(ReadFileBytes(1000, 0, 0, 1000, buffer.data(), bytes, out.data(), p), kParseInvalid);
    EXPECT_EQ(ReadFileBytes(1000, 0, 16, 1000, buffer.data(), bytes, nullptr, p), kParseInvalid);
    // More than 64 GiB past the buffer's end: refused; just within: requested.
    uint64_t last = 1000 + 15;
    EXPECT_EQ(ReadFileBytes(last + kMaxRequestAhead + 1, 0, 16, 1000, buffer.data(), bytes, out.data(), p), kParseInvalid);
    EXPECT_EQ(ReadFileBytes(last + kMaxRequestAhead, 0, 16, 1000, buffer.data(), bytes, out.data(), p), kParseNeedData);
    // Offsets from damaged size fields that would wrap the sector space.
    EXPECT_EQ(ReadFileBytes(1000, ~uint64_t{0} - 8, 16, 1000, buffer.data(), bytes, out.data(), p), kParseInvalid);
    EXPECT_EQ(ReadFileBytes(~uint64_t{0} - 2, 4096, 16, 1000, buffer.data(), bytes, out.data(), p), kParseInvalid);
}

TEST(CreateInfo, TrimmedCutAndDefaulted) {
    EXPECT_EQ(MakeCreateInfo(L"", L"", L" \t", L"\r\n"), nullptr);
    auto info = MakeCreateInfo(L"  Canon\r\n", L"EOS 5D", L"", L"2015:03:04 10:11:12");
    ASSERT_TRUE(info);
    EXPECT_EQ(Field(info->Maker), L"Canon");
    EXPECT_EQ(Field(info->Model), L"EOS 5D");
    EXPECT_EQ(Field(info->Title), L"");
    EXPECT_EQ(Field(info->Date), L"2015:03:04");  // the date part of an EXIF date-time
    // No maker: the model stands for it.
    auto modelOnly = MakeCreateInfo(L"", L"PowerShot", L"", L"");
    ASSERT_TRUE(modelOnly);
    EXPECT_EQ(Field(modelOnly->Maker), L"PowerShot");
    EXPECT_EQ(Field(modelOnly->Model), L"PowerShot");
    // Longer texts are cut to their fields, never past them; a character outside the basic
    // plane is not cut in half.
    std::wstring longTitle(100, L'x');
    auto cut = MakeCreateInfo(L"A", L"", longTitle, L"");
    EXPECT_EQ(Field(cut->Title).size(), 63u);
    std::wstring emoji = std::wstring(30, L'a') + L"\U0001F600" + L"b";
    auto pair = MakeCreateInfo(emoji, L"", L"", L"");
    EXPECT_EQ(Field(pair->Maker), std::wstring(30, L'a'));
}
