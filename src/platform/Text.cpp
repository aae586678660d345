// Text conversion.
#include "platform/Text.h"

#include <bit>
#include <cstring>

namespace ravlin::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80 to 0x9F; the others map to themselves.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

std::wstring DecodeUtf8(std::span<const uint8_t> bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        uint8_t b = bytes[i];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        char32_t minimum;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, minimum = 0x10000;
        } else {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
            continue;
        }
        size_t j = i + 1;
        int taken = 0;
        while (taken < extra && j < bytes.size() && (bytes[j] & 0xC0) == 0x80) {
            cp = (cp << 6) | (bytes[j] & 0x3F);
            ++j;
            ++taken;
        }
        if (taken < extra || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            i = j;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i = j;
    }
    return out;
}

void AppendUtf16Unit(std::wstring& out, char16_t unit, char16_t& pendingHigh) {
    if (pendingHigh) {
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            char32_t cp = 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00);
            out.push_back(static_cast<wchar_t>(cp));
            pendingHigh = 0;
            return;
        }
        out.push_back(static_cast<wchar_t>(kReplacement));
        pendingHigh = 0;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        pendingHigh = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        out.push_back(static_cast<wchar_t>(kReplacement));
    } else {
        out.push_back(static_cast<wchar_t>(unit));
    }
}

}  // namespace

std::wstring MultiByteToWide(uint32_t codePage, std::span<const uint8_t> bytes) {
    if (codePage == kCodePageUtf8) return DecodeUtf8(bytes);
    std::wstring out;
    out.reserve(bytes.size());
    for (uint8_t b : bytes) {
        out.push_back(static_cast<wchar_t>(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b));
    }
    return out;
}

std::wstring Utf16LeToWide(std::span<const uint8_t> bytes, bool stopAtNul) {
    // Names without surrogates (nearly all) are copied unit for unit into their final size.
    size_t units = bytes.size() / 2;
    std::wstring out(units, L'\0');
    size_t plain = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four units at a time while none is a surrogate (or a nul that ends the name).
        constexpr uint64_t kOnes = 0x0001000100010001ull, kHighs = 0x8000800080008000ull;
        auto anyZero = [](uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
        wchar_t* to = out.data();
        for (; plain + 4 <= units; plain += 4) {
            uint64_t v;
            std::memcpy(&v, bytes.data() + 2 * plain, 8);
            if (anyZero((v & 0xF800F800F800F800ull) ^ 0xD800D800D800D800ull) || (stopAtNul && anyZero(v))) break;
            to[plain] = static_cast<wchar_t>(v & 0xFFFF);
            to[plain + 1] = static_cast<wchar_t>((v >> 16) & 0xFFFF);
            to[plain + 2] = static_cast<wchar_t>((v >> 32) & 0xFFFF);
            to[plain + 3] = static_cast<wchar_t>(v >> 48);
        }
    }
    for (; plain < units; ++plain) {
        char16_t unit = static_cast<char16_t>(bytes[2 * plain] | (bytes[2 * plain + 1] << 8));
        if ((stopAtNul && unit == 0) || (unit >= 0xD800 && unit <= 0xDFFF)) break;
        out[plain] = static_cast<wchar_t>(unit);
    }
    if (plain == units) return out;
    out.resize(plain);
    char16_t pending = 0;
    for (size_t i = 2 * plain; i + 1 < bytes.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (stopAtNul && unit == 0) break;
        AppendUtf16Unit(out, unit, pending);
    }
    if (pending) out.push_back(static_cast<wchar_t>(kReplacement));
    return out;
}

std::wstring Utf16ToWide(const char16_t* units, size_t count) {
    std::wstring out;
    out.reserve(count);
    char16_t pending = 0;
    for (size_t i = 0; i < count; ++i) AppendUtf16Unit(out, units[i], pending);
    if (pending) out.push_back(static_cast<wchar_t>(kReplacement));
    return out;
}

size_t Utf16Length(const std::wstring& text) {
    size_t n = 0;
    for (wchar_t c : text) n += static_cast<char32_t>(c) >= 0x10000 ? 2 : 1;
    return n;
}

std::u16string WideToUtf16(const std::wstring& text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        char32_t cp = static_cast<char32_t>(c);
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else if (cp > 0x10FFFF) {
            out.push_back(static_cast<char16_t>(kReplacement));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

void WideToUtf16Le(const std::wstring& text, std::string& out) {
    out.clear();
    for (char16_t unit : WideToUtf16(text)) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
}

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        char32_t cp = static_cast<char32_t>(c);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::wstring Utf8ToWide(const std::string& text) {
    return DecodeUtf8(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()),
                                               text.size()));
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c; }

bool EqualsAsciiNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

}  // namespace ravlin::platform
