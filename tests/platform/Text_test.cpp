// Text conversion: UTF-16 from disk, UTF-8 and code page 0 from metadata.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/Text.h"

using namespace ravlin::platform;

namespace {
std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}
}  // namespace

TEST(Text, Utf16SurrogatePairsBecomeOneCodePointAndBack) {
    // "a", U+4E2D (Chinese), U+1F600 (emoji as a surrogate pair), "e" with acute.
    auto bytes = Bytes({0x61, 0x00, 0x2D, 0x4E, 0x3D, 0xD8, 0x00, 0xDE, 0xE9, 0x00});
    std::wstring text = Utf16LeToWide(bytes);
    ASSERT_EQ(text.size(), 4u);
    EXPECT_EQ(text[1], L'\u4E2D');
    EXPECT_EQ(static_cast<uint32_t>(text[2]), 0x1F600u);
    EXPECT_EQ(Utf16Length(text), 5u);
    std::string back;
    WideToUtf16Le(text, back);
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.end()), bytes);
}

TEST(Text, BrokenUtf16GivesReplacementCharactersNotGarbage) {
    // Lone high surrogate followed by a letter, lone low surrogate, odd trailing byte.
    auto bytes = Bytes({0x3D, 0xD8, 0x41, 0x00, 0x00, 0xDC, 0x42});
    std::wstring text = Utf16LeToWide(bytes);
    EXPECT_EQ(text, std::wstring(L"\uFFFDA\uFFFD"));
}

TEST(Text, StopsAtNulOnlyWhenAsked) {
    auto bytes = Bytes({0x41, 0x00, 0x00, 0x00, 0x42, 0x00});
    EXPECT_EQ(Utf16LeToWide(bytes, true), L"A");
    EXPECT_EQ(Utf16LeToWide(bytes, false).size(), 3u);
}

// Long names go four units at a time: a pair, a lone half or a nul at any place of a long
// name, beside units at the edges of the surrogate range, reads as it does one unit at a time.
TEST(Text, Utf16NamesReadTheSameWhereverTheirSpecialUnitsFall) {
    auto reference = [](const std::vector<char16_t>& units, bool stopAtNul) {
        std::wstring out;
        for (size_t i = 0; i < units.size(); ++i) {
            char16_t u = units[i];
            if (stopAtNul && u == 0) break;
            bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
            if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
                ++i;
            } else {
                out.push_back(high || low ? L'\uFFFD' : static_cast<wchar_t>(u));
            }
        }
        return out;
    };
    const std::vector<std::vector<char16_t>> specials = {
        {0xD83D, 0xDE00}, {0xD800}, {0xDFFF}, {0x0000}, {0xD7FF}, {0xE000}, {0xF800}, {0xFFFF}, {0x8000}, {0x0001}};
    for (const auto& special : specials) {
        for (size_t length = 1; length <= 13; ++length) {
            for (size_t at = 0; at + special.size() <= length; ++at) {
                std::vector<char16_t> units;
                for (size_t i = 0; i < length; ++i) units.push_back(static_cast<char16_t>(u'a' + i));
                std::copy(special.begin(), special.end(), units.begin() + static_cast<std::ptrdiff_t>(at));
                std::vector<uint8_t> bytes;
                for (char16_t u : units) bytes.push_back(static_cast<uint8_t>(u)), bytes.push_back(static_cast<uint8_t>(u >> 8));
                for (bool stop : {false, true})
                    ASSERT_EQ(Utf16LeToWide(bytes, stop), reference(units, stop))
                        << "unit " << std::hex << static_cast<int>(special[0]) << " at " << std::dec << at << " of " << length;
            }
        }
    }
}

TEST(Text, Utf8DecodingRejectsOverlongAndTruncatedSequences) {
    EXPECT_EQ(MultiByteToWide(kCodePageUtf8, Bytes({0xE4, 0xB8, 0xAD})), L"\u4E2D");
    EXPECT_EQ(MultiByteToWide(kCodePageUtf8, Bytes({0xC0, 0x80})), L"\uFFFD");      // overlong NUL
    EXPECT_EQ(MultiByteToWide(kCodePageUtf8, Bytes({0xE4, 0xB8, 0x41})), L"\uFFFDA");  // cut short
    EXPECT_EQ(MultiByteToWide(kCodePageUtf8, Bytes({0xED, 0xA0, 0x80})), L"\uFFFD");  // surrogate
    EXPECT_EQ(Utf8ToWide(WideToUtf8(L"caf\u00E9 \U0001F600")), L"caf\u00E9 \U0001F600");
}

TEST(Text, CodePageZeroIsWindows1252) {
    EXPECT_EQ(MultiByteToWide(kCodePageSystem, Bytes({0x80, 0xE9, 0x41})), L"\u20AC\u00E9A");
}

TEST(Text, AsciiCaseFoldingTouchesOnlyAToZ) {
    EXPECT_TRUE(EqualsAsciiNoCase(L"$RECYCLE.BIN", L"$Recycle.Bin"));
    EXPECT_FALSE(EqualsAsciiNoCase(L"\u00C9", L"\u00E9"));
    EXPECT_FALSE(EqualsAsciiNoCase(L"abc", L"abcd"));
}
