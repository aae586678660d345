// File type ids: display names, categories, extensions and the names of carved files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Metadata a parser found in a file (camera, author, dates), as fixed UTF-16 fields.
struct _FILE_CREATE_INFO {
    char16_t Maker[32];
    char16_t Model[32];
    char16_t Title[64];
    char16_t Date[12];
};
static_assert(sizeof(_FILE_CREATE_INFO) == 280, "creation info is 280 bytes");

namespace ravlin {

inline constexpr uint32_t kCategoryCount = 7;
inline constexpr uint32_t kCategoryOther = 6;

struct TypeEntry {
    uint32_t typeId;
    uint32_t category;
    const wchar_t* name;
    const wchar_t* primaryExtension;  // null: none
};

// Type of a file name's last extension (case-folded); 0 when there is none or it is unknown.
uint32_t TypeFromFileName(const std::wstring& name);
// Primary extension without the dot, or empty.
std::wstring ExtensionOfType(uint32_t typeId);
// Display name, or null for an id outside the table.
const wchar_t* TypeName(uint32_t typeId);
// 0 pictures .. 6 other; 6 for ids outside the table.
uint32_t CategoryOfType(uint32_t typeId);
// Display name of categories 0 to 6, empty otherwise.
std::wstring CategoryName(uint32_t category);
// Type ids of one category, in table order (empty for an unknown category).
const std::vector<uint32_t>& TypesOfCategory(uint32_t category);
// Every entry in table order.
const std::vector<TypeEntry>& AllTypes();
// Every (extension, type id) of the extension map, sorted by extension.
std::vector<std::pair<std::wstring, uint32_t>> ExtensionMap();

// Whether two type ids name one format family, whose files a carved hit and a file system may
// type differently: a ZIP package and its DOCX, a TIFF and its camera raw, a compound document
// of any Office kind, a QuickTime file of any brand, a RIFF and its WAV or AVI, markup.
bool SameFormatFamily(uint32_t a, uint32_t b);

// A creation-info field as text, cut at its terminator or its capacity.
std::wstring FieldText(const char16_t* field, size_t capacity);

// Name of a carved file: "<sector in hex>.<extension>", prefixed with the creation info's
// maker, model, date and title for document, picture and MP3 types. Empty for EXE and for
// types without an extension (such files get no node).
std::wstring CarvedFileName(uint32_t typeId, uint64_t startSector,
                            const _FILE_CREATE_INFO* info);

}  // namespace ravlin
