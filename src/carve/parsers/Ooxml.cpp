// Office Open XML packages: members, XML texts and the package's author, title and date.
#include "carve/parsers/Ooxml.h"

#include <zlib.h>

#include <algorithm>

#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kEndRecord = 0x06054B50;
constexpr uint32_t kCentralHeader = 0x02014B50;
constexpr uint32_t kLocalHeader = 0x04034B50;
constexpr size_t kMaxEndSearch = 22 + 0xFFFF;
constexpr size_t kCoreCap = 1 << 20;
constexpr size_t kPartCap = 1 << 20;
constexpr size_t kTitleLimit = 256;

std::optional<std::string> Inflate(const uint8_t* data, size_t size, size_t cap) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return std::nullopt;
    std::string out(cap, '\0');
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(std::min<size_t>(size, 0xFFFFFFFFu));
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(cap);
    int rc = inflate(&z, Z_FINISH);
    size_t produced = cap - z.avail_out;
    inflateEnd(&z);
    // A stream cut by the cap keeps what it gave; a broken one gives nothing.
    if (rc != Z_STREAM_END && rc != Z_BUF_ERROR && !(rc == Z_OK && z.avail_out == 0)) return std::nullopt;
    out.resize(produced);
    return out;
}

}  // namespace

std::optional<std::string> ZipMember(const uint8_t* zip, size_t size, std::string_view name, size_t cap) {
    ByteSpan all(zip, size);
    // The end record: the last one whose comment reaches the archive's end.
    size_t end = std::string::npos;
    for (size_t back = 22; back <= std::min(size, kMaxEndSearch); ++back) {
        size_t at = size - back;
        if (LoadLE32(all, at) == kEndRecord && at + 22 + LoadLE16(all, at + 20) == size) {
            end = at;
            break;
        }
    }
    if (end == std::string::npos) return std::nullopt;
    uint64_t at = LoadLE32(all, end + 16);
    uint32_t entries = LoadLE16(all, end + 10);
    for (uint32_t i = 0; i < entries && at + 46 <= end; ++i) {
        if (LoadLE32(all, at) != kCentralHeader) return std::nullopt;
        uint32_t nameLength = LoadLE16(all, at + 28);
        uint64_t next = at + 46 + nameLength + LoadLE16(all, at + 30) + LoadLE16(all, at + 32);
        if (at + 46 + nameLength <= size &&
            std::string_view(reinterpret_cast<const char*>(zip + at + 46), nameLength) == name) {
            uint16_t method = LoadLE16(all, at + 10);
            uint64_t packed = LoadLE32(all, at + 20);
            uint64_t local = LoadLE32(all, at + 42);
            if (LoadLE32(all, local) != kLocalHeader) return std::nullopt;
            uint64_t data = local + 30 + LoadLE16(all, local + 26) + LoadLE16(all, local + 28);
            if (data > size || packed > size - data) return std::nullopt;
            if (method == 0) return std::string(reinterpret_cast<const char*>(zip + data), std::min<uint64_t>(packed, cap));
            if (method == 8) return Inflate(zip + data, packed, cap);
            return std::nullopt;
        }
        at = next;
    }
    return std::nullopt;
}

std::string DecodeXmlEntities(std::string_view text) {
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&apos;", '\''}, {"&gt;", '>'}, {"&lt;", '<'}, {"&quot;", '"'}};
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        bool decoded = false;
        if (text[i] == '&') {
            for (const auto& [entity, c] : kEntities)
                if (text.substr(i, entity.size()) == entity) {
                    out += c;
                    i += entity.size();
                    decoded = true;
                    break;
                }
        }
        if (!decoded) out += text[i++];
    }
    return out;
}

namespace {

// The position just past the start tag of the next element `tag` from `from`, and whether it
// is empty (<tag/>); npos when there is none.
size_t OpenTag(std::string_view xml, std::string_view tag, size_t from, bool& empty) {
    for (size_t at = xml.find(tag, from); at != std::string_view::npos; at = xml.find(tag, at + 1)) {
        if (at == 0 || xml[at - 1] != '<') continue;
        size_t after = at + tag.size();
        if (after >= xml.size() || (xml[after] != '>' && xml[after] != ' ' && xml[after] != '/')) continue;
        size_t close = xml.find('>', after);
        if (close == std::string_view::npos) return std::string_view::npos;
        empty = xml[close - 1] == '/';
        return close + 1;
    }
    return std::string_view::npos;
}

}  // namespace

std::string XmlElementText(std::string_view xml, std::string_view tag) {
    bool empty = false;
    size_t start = OpenTag(xml, tag, 0, empty);
    if (start == std::string_view::npos || empty) return {};
    size_t end = xml.find('<', start);
    if (end == std::string_view::npos) return {};
    return DecodeXmlEntities(xml.substr(start, end - start));
}

std::string FirstParagraphText(std::string_view xml, std::string_view paragraph, std::string_view tag, size_t limit) {
    std::string closing = "</" + std::string(paragraph) + ">";
    bool empty = false;
    for (size_t p = OpenTag(xml, paragraph, 0, empty); p != std::string_view::npos;
         p = OpenTag(xml, paragraph, p, empty)) {
        if (empty) continue;
        size_t end = xml.find(closing, p);
        if (end == std::string_view::npos) end = xml.size();
        std::string_view body = xml.substr(p, end - p);
        std::string text;
        bool emptyText = false;
        for (size_t t = OpenTag(body, tag, 0, emptyText); t != std::string_view::npos && text.size() < limit;
             t = OpenTag(body, tag, t, emptyText)) {
            if (emptyText) continue;
            size_t stop = body.find('<', t);
            if (stop == std::string_view::npos) break;
            text += DecodeXmlEntities(body.substr(t, stop - t));
        }
        if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
            if (text.size() > limit) {
                size_t cut = limit;
                while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8
                text.resize(cut);
            }
            return text;
        }
        p = end;
    }
    return {};
}

OfficeTexts ReadOfficeTexts(const uint8_t* zip, size_t size, uint32_t typeId) {
    OfficeTexts texts;
    if (auto core = ZipMember(zip, size, "docProps/core.xml", kCoreCap)) {
        texts.author = XmlElementText(*core, "dc:creator");
        if (texts.author.empty()) texts.author = XmlElementText(*core, "cp:lastModifiedBy");
        texts.date = XmlElementText(*core, "dcterms:modified");
        if (texts.date.empty()) texts.date = XmlElementText(*core, "dcterms:created");
        texts.date = texts.date.substr(0, 10);
        texts.title = XmlElementText(*core, "dc:title");
    }
    if (texts.title.empty()) {
        const char* part = typeId == 37 ? "word/document.xml" : typeId == 38 ? "xl/sharedStrings.xml" : "ppt/slides/slide1.xml";
        if (auto xml = ZipMember(zip, size, part, kPartCap)) {
            if (typeId == 37) texts.title = FirstParagraphText(*xml, "w:p", "w:t", kTitleLimit);
            else if (typeId == 38) texts.title = FirstParagraphText(*xml, "si", "t", kTitleLimit);
            else texts.title = FirstParagraphText(*xml, "a:p", "a:t", kTitleLimit);
        }
    }
    return texts;
}

}  // namespace ravlin
