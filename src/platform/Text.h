// Text conversion between on-disk encodings and wide strings (one code point per wchar_t).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ravlin::platform {

inline constexpr uint32_t kCodePageSystem = 0;  // Windows-1252 here, see MultiByteToWide
inline constexpr uint32_t kCodePageUtf8 = 65001;

// Decodes bytes of code page 0 or 65001. Code page 0 is taken as Windows-1252, so results do
// not depend on the machine's locale. Malformed UTF-8 gives U+FFFD per bad sequence. Other
// code pages decode as Windows-1252 as well.
std::wstring MultiByteToWide(uint32_t codePage, std::span<const uint8_t> bytes);

// UTF-16LE code units (as read from disk) to a wide string; stops at `units` or the first 0
// when `stopAtNul` is set. Unpaired surrogates become U+FFFD.
std::wstring Utf16LeToWide(std::span<const uint8_t> bytes, bool stopAtNul = false);
std::wstring Utf16ToWide(const char16_t* units, size_t count);
// Number of UTF-16 code units the text needs.
size_t Utf16Length(const std::wstring& text);
std::u16string WideToUtf16(const std::wstring& text);
void WideToUtf16Le(const std::wstring& text, std::string& out);

std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

// Lower-cases A to Z only.
wchar_t AsciiLower(wchar_t c);
// Case-insensitive comparison of A to Z only; every other unit must be equal.
bool EqualsAsciiNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace ravlin::platform
