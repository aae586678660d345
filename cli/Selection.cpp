#include "Selection.h"

#include <sstream>

#include "Unicode.h"

namespace ravlin::cli {
namespace {

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        while (!item.empty() && item.front() == ' ') item.erase(item.begin());
        while (!item.empty() && item.back() == ' ') item.pop_back();
        if (item.size() > 1 && item.front() == '.') item.erase(item.begin());
        if (!item.empty()) out.push_back(item);
    }
    return out;
}

}  // namespace

int SelectionFilter(const RFileNode* node, void* context) {
    if (!node) return 0;
    const auto& selection = *static_cast<const Selection*>(context);
    if (node->IsDirectoryKind()) return 1;
    if (selection.deletedOnly && !NodeFilterOnlyDeleted(node, nullptr)) return 0;
    if (!selection.types.empty() && !selection.types.count(node->typeId)) return 0;
    return node->size >= selection.minSize && node->size <= selection.maxSize ? 1 : 0;
}

const std::vector<std::string>& CategoryAliases() {
    static const std::vector<std::string> aliases{"pictures", "documents", "videos", "audio",
                                                  "archives", "mail",      "other"};
    return aliases;
}

bool AddTypes(const std::string& list, Selection& selection, std::string& error) {
    auto types = ListFileTypes();
    for (const std::string& item : SplitList(list)) {
        std::string wanted = AsciiLower(item);
        bool found = false;
        for (const auto& type : types) {
            bool match = AsciiLower(ToUtf8(type.name)) == wanted;
            for (const auto& extension : type.extensions) match = match || AsciiLower(ToUtf8(extension)) == wanted;
            if (match) {
                selection.types.insert(type.typeId);
                found = true;
            }
        }
        if (!found) {
            error = "unknown file type '" + item + "' (see 'ravlin types')";
            return false;
        }
    }
    return true;
}

bool AddCategories(const std::string& list, Selection& selection, std::string& error) {
    auto types = ListFileTypes();
    for (const std::string& item : SplitList(list)) {
        std::string wanted = AsciiLower(item);
        int category = -1;
        for (size_t i = 0; i < CategoryAliases().size(); ++i)
            if (CategoryAliases()[i] == wanted || std::to_string(i) == wanted) category = static_cast<int>(i);
        for (const auto& type : types)
            if (ToUtf8(type.categoryName) == item) category = static_cast<int>(type.category);
        if (category < 0) {
            error = "unknown category '" + item + "' (one of pictures, documents, videos, audio, archives, mail, other)";
            return false;
        }
        for (const auto& type : types)
            if (type.category == static_cast<unsigned>(category)) selection.types.insert(type.typeId);
    }
    return true;
}

bool ParseSize(const std::string& text, uint64_t& out) {
    if (text.empty()) return false;
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 19) return false;
    uint64_t value = std::stoull(text.substr(0, digits));
    std::string unit = AsciiLower(text.substr(digits));
    if (unit == "b") unit.clear();
    if (!unit.empty() && unit.back() == 'b') unit.pop_back();
    if (!unit.empty() && unit.back() == 'i') unit.pop_back();
    int shift = unit.empty() ? 0 : unit == "k" ? 10 : unit == "m" ? 20 : unit == "g" ? 30 : unit == "t" ? 40 : -1;
    if (shift < 0) return false;
    if (shift > 0 && value > (UINT64_MAX >> shift)) return false;
    out = value << shift;
    return true;
}

}  // namespace ravlin::cli
