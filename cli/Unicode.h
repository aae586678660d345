// UTF-8 for everything the host prints and writes; the library speaks wide strings.
#pragma once

#include <string>

namespace ravlin::cli {

std::string ToUtf8(const std::wstring& text);
std::string ToUtf8(const wchar_t* text);
// Invalid sequences become U+FFFD.
std::wstring FromUtf8(const std::string& text);
// ASCII lower case; other characters are left alone.
std::string AsciiLower(std::string text);

}  // namespace ravlin::cli
