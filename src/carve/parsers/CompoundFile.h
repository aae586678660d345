// Compound documents (the container of Word, Excel, PowerPoint, Project and Visio files) held
// in memory from their first byte: their length by the allocation table, their type by their
// stream names, and the author, title and date they state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ravlin {

struct CompoundAnalysis {
    uint32_t status = 0;  // kParseComplete, kParseNeedData (structures past `length`), kParseInvalid
    uint64_t size = 0;
    uint32_t typeId = 0;
};

// Analyses the `length` bytes at `data`, the start of a compound document.
CompoundAnalysis AnalyseCompoundFile(const uint8_t* data, size_t length);

struct CompoundTexts {
    std::wstring author, title, date;
};

// The summary information's author, title and time ("%d-%02d-%02d %02d:%02d:%02d"); without a
// title, the first paragraph of a Word document's text or a workbook's first shared string.
// `data` holds the whole document (`length` bytes); `typeId` is what the analysis found.
CompoundTexts ReadCompoundTexts(const uint8_t* data, size_t length, uint32_t typeId);

}  // namespace ravlin
