#include "BadMap.h"

#include <algorithm>
#include <cstdio>

#include "Version.h"

namespace ravlin::cli {

void SectorRanges::Add(uint64_t first, uint64_t count) {
    if (count == 0) return;
    if (!ranges_.empty()) {
        auto& last = ranges_.back();
        if (first <= last.first + last.second && first + count >= last.first) {
            uint64_t end = std::max(last.first + last.second, first + count);
            last.first = std::min(last.first, first);
            last.second = end - last.first;
            return;
        }
        if (ranges_.size() >= kMaxRanges) {
            uint64_t end = std::max(last.first + last.second, first + count);
            last.first = std::min(last.first, first);
            last.second = end - last.first;
            return;
        }
    }
    ranges_.push_back({first, count});
}

void SectorRanges::Add(const SectorRanges& other) {
    for (const auto& [first, count] : other.ranges_) Add(first, count);
}

std::vector<std::pair<uint64_t, uint64_t>> SectorRanges::Ranges() const {
    auto sorted = ranges_;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& [first, count] : sorted) {
        if (!out.empty() && first <= out.back().first + out.back().second) {
            uint64_t end = std::max(out.back().first + out.back().second, first + count);
            out.back().second = end - out.back().first;
        } else {
            out.push_back({first, count});
        }
    }
    return out;
}

uint64_t SectorRanges::Sectors() const {
    uint64_t total = 0;
    for (const auto& [first, count] : Ranges()) total += count;
    return total;
}

std::string BadMapText(uint64_t sourceBytes, uint64_t readFrom, uint64_t readTo, const SectorRanges& bad,
                       const std::string& commandLine) {
    const uint64_t end = sourceBytes;
    // Status per byte position as ordered boundaries: read sectors '+', the rest '?', bad '-'.
    std::vector<std::pair<uint64_t, char>> blocks;  // (start, status), merged
    auto put = [&](uint64_t from, uint64_t to, char status) {
        if (from >= to) return;
        if (!blocks.empty() && blocks.back().second == status) return;
        blocks.push_back({from, status});
    };
    uint64_t at = 0;
    auto fill = [&](uint64_t to) {  // the good or untried stretch before `to`
        const uint64_t a = readFrom * 512, b = std::min(readTo * 512, end);
        if (at < a) put(at, std::min(a, to), '?'), at = std::min(a, to);
        if (at < to && at < b) put(at, std::min(b, to), '+'), at = std::min(b, to);
        if (at < to) put(at, to, '?'), at = to;
    };
    for (const auto& [first, count] : bad.Ranges()) {
        uint64_t from = std::min(first * 512, end), to = std::min((first + count) * 512, end);
        if (from >= to || to <= at) continue;
        fill(std::max(from, at));
        put(at, to, '-');
        at = to;
    }
    fill(end);
    std::string text = "# Mapfile. Created by ravlin " + std::string(kHostVersion) + "\n# Command line: " +
                       commandLine + "\n# current_pos  current_status  current_pass\n0x00000000     +               1\n"
                       "#      pos        size  status\n";
    char line[80];
    for (size_t i = 0; i < blocks.size(); ++i) {
        uint64_t from = blocks[i].first, to = i + 1 < blocks.size() ? blocks[i + 1].first : end;
        std::snprintf(line, sizeof line, "0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(from),
                      static_cast<unsigned long long>(to - from), blocks[i].second);
        text += line;
    }
    return text;
}

}  // namespace ravlin::cli
