// Which files are listed, reported and recovered: the scan's node filter.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "ravlin/Ravlin.h"

namespace ravlin::cli {

struct Selection {
    bool deletedOnly = false;
    std::set<uint32_t> types;  // empty: every type
    uint64_t minSize = 0;
    uint64_t maxSize = UINT64_MAX;

    bool SelectsAll() const { return !deletedOnly && types.empty() && minSize == 0 && maxSize == UINT64_MAX; }
};

// The node filter handed to the engine; `context` is the Selection. Directories always pass so
// that the tree can hold the files that do.
int SelectionFilter(const RFileNode* node, void* context);

// Category aliases in table order: pictures, documents, videos, audio, archives, mail, other.
const std::vector<std::string>& CategoryAliases();

// Adds the types named in a comma-separated list (type names or extensions, any case); false
// with `error` for an unknown one.
bool AddTypes(const std::string& list, Selection& selection, std::string& error);
// Adds every type of the listed categories (aliases, display names or numbers 0 to 6).
bool AddCategories(const std::string& list, Selection& selection, std::string& error);
// "10k", "5M", "2G" (powers of 1024) or plain bytes.
bool ParseSize(const std::string& text, uint64_t& out);

}  // namespace ravlin::cli
