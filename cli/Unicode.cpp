#include "Unicode.h"

#include <cstdint>
#include <string_view>

namespace ravlin::cli {

std::string ToUtf8(const wchar_t* text) { return text ? ToUtf8(std::wstring(text)) : std::string(); }

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    AppendUtf8(out, text);
    return out;
}

void AppendUtf8(std::string& out, std::wstring_view text) {
    // ASCII, as most names are, byte for byte.
    const size_t start = out.size();
    out.resize(start + text.size());
    size_t ascii = 0;
    for (; ascii < text.size() && static_cast<uint32_t>(text[ascii]) < 0x80; ++ascii)
        out[start + ascii] = static_cast<char>(text[ascii]);
    if (ascii == text.size()) return;
    out.resize(start + ascii);
    out.reserve(start + text.size() + 3 * (text.size() - ascii));
    for (wchar_t wc : text.substr(ascii)) {
        auto c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<uint8_t>(text[i]);
        uint32_t c = 0;
        size_t length = 0;
        if (byte < 0x80) {
            c = byte, length = 1;
        } else if ((byte & 0xE0) == 0xC0) {
            c = byte & 0x1F, length = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            c = byte & 0x0F, length = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            c = byte & 0x07, length = 4;
        }
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (c < kMinimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
        if (!valid) {
            out += static_cast<wchar_t>(0xFFFD);
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += length;
    }
    return out;
}

std::string AsciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace ravlin::cli
