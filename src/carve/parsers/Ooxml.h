// Reading an Office Open XML package held whole in memory: its members through the central
// directory (inflated with zlib, within a cap), and the author, title and date it states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ravlin {

// The member `name` of the ZIP archive of `size` bytes at `zip`, at most `cap` bytes of it;
// nothing when it is missing, damaged, or packed with a method other than store and deflate.
std::optional<std::string> ZipMember(const uint8_t* zip, size_t size, std::string_view name, size_t cap);

// The text of the first element `tag` in `xml` (entities decoded); empty when missing.
std::string XmlElementText(std::string_view xml, std::string_view tag);

// The texts of the elements `tag` of the first paragraph `paragraph` that holds any, joined,
// with at most `limit` bytes.
std::string FirstParagraphText(std::string_view xml, std::string_view paragraph, std::string_view tag, size_t limit);

// Decodes &amp; &apos; &gt; &lt; &quot;.
std::string DecodeXmlEntities(std::string_view text);

struct OfficeTexts {
    std::string author, title, date;  // UTF-8
};

// Author, title and date of a DOCX (37), XLSX (38) or PPTX (89) package.
OfficeTexts ReadOfficeTexts(const uint8_t* zip, size_t size, uint32_t typeId);

}  // namespace ravlin
