// Unreadable sectors as a ddrescue map file, which ddrescue and its tools read: the source in
// blocks, each finished ('+'), bad ('-') or not tried ('?').
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ravlin::cli {

// Collects failed sector ranges, joining those that touch or overlap; bounded in number (past
// the bound, a range joins the nearest one before it).
class SectorRanges {
public:
    static constexpr size_t kMaxRanges = 65536;
    void Add(uint64_t first, uint64_t count);
    void Add(const SectorRanges& other);
    // Sorted, joined.
    std::vector<std::pair<uint64_t, uint64_t>> Ranges() const;
    uint64_t Sectors() const;
    bool Empty() const { return ranges_.empty(); }

private:
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;  // (first, count), in arrival order
};

// The map of a source of `sourceBytes`: sectors [readFrom, readTo) were read, `bad` failed.
std::string BadMapText(uint64_t sourceBytes, uint64_t readFrom, uint64_t readTo, const SectorRanges& bad,
                       const std::string& commandLine);

}  // namespace ravlin::cli
