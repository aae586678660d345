// UTF-8 for everything the host prints and writes; the library speaks wide strings.
#pragma once

#include <string>
#include <string_view>

namespace ravlin::cli {

std::string ToUtf8(const std::wstring& text);
// Appends the UTF-8 of `text` to `out` (what is not a character becomes U+FFFD).
void AppendUtf8(std::string& out, std::wstring_view text);
std::string ToUtf8(const wchar_t* text);
// Invalid sequences become U+FFFD.
std::wstring FromUtf8(const std::string& text);
// ASCII lower case; other characters are left alone.
std::string AsciiLower(std::string text);

}  // namespace ravlin::cli
