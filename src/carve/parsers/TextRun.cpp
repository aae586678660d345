// The text walk shared by the markup and rich-text parsers.
#include "carve/parsers/TextRun.h"

#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxText = uint64_t{16} << 20;  // longer text is left to the estimate
constexpr uint64_t kPastEnd = 64 << 10;  // how far a later structural end is looked for
constexpr uint32_t kRun = 1 << 20;                  // bytes looked at per step

// Tab, line feed, form feed, carriage return, printable ASCII, and any byte of a multi-byte
// encoding (UTF-8, GBK, Latin-1).
bool IsText(uint32_t c) { return c == 9 || c == 10 || c == 12 || c == 13 || (c >= 0x20 && c != 0x7F); }

}  // namespace

StreamMatcher::StreamMatcher(const std::string& pattern, bool foldCase) : fold_(foldCase) {
    for (unsigned char c : pattern) pattern_.push_back(Fold(c));
    fail_.assign(pattern_.size(), 0);
    for (size_t i = 1, k = 0; i < pattern_.size(); ++i) {
        while (k > 0 && pattern_[i] != pattern_[k]) k = fail_[k - 1];
        if (pattern_[i] == pattern_[k]) ++k;
        fail_[i] = static_cast<uint32_t>(k);
    }
}

bool StreamMatcher::Feed(uint32_t c) {
    if (pattern_.empty()) return false;
    c = Fold(c);
    while (matched_ > 0 && pattern_[matched_] != c) matched_ = fail_[matched_ - 1];
    if (pattern_[matched_] == c) ++matched_;
    if (matched_ < pattern_.size()) return false;
    matched_ = fail_[matched_ - 1];
    return true;
}

void TextParser::MarkEnd(uint64_t pos) {
    end_ = pos + unit_;
    breaks_ = 2;
}

uint32_t TextParser::Finish(uint64_t stop) {
    size = end_ != 0 ? end_ : stop;
    return kParseFound;
}

uint32_t TextParser::Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) {
    if (unit_ == 0) {
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, 2, bufferFirstSector, bufferBytes, at, *this);
        if (got != kParseDataOk) return Unread(got);
        unit_ = buffer[at] == 0xFF && buffer[at + 1] == 0xFE ? 2 : 1;
        offset = unit_ == 2 ? 2 : 0;
    }
    for (;;) {
        if (offset >= kMaxText) return Finish(offset);
        size_t at = 0;
        size_t length = 0;
        uint32_t got = LocateFileRun(startSector, offset, kRun, bufferFirstSector, bufferBytes, at, length, *this);
        if (got == kParseDataOk && length < unit_) {
            got = LocateFileBytes(startSector, offset, unit_, bufferFirstSector, bufferBytes, at, *this);
            length = unit_;
        }
        if (got != kParseDataOk) return got == kParseNeedData ? got : Finish(offset);
        length -= length % unit_;
        const uint8_t* p = buffer + at;
        for (size_t i = 0; i < length; i += unit_) {
            if (skip_ != 0) {
                uint64_t step = std::min<uint64_t>(skip_, length - i);
                skip_ -= step;
                i += step - unit_;
                continue;
            }
            const uint64_t pos = offset + i;
            if (end_ != 0 && pos >= end_ + kPastEnd) return Finish(pos);
            uint32_t c = unit_ == 1 ? p[i] : uint32_t{p[i]} | uint32_t{p[i + 1]} << 8;
            if (!IsText(c)) return Finish(pos);
            bool taken = false;  // a line break kept after an end
            if (breaks_ != 0) {
                if (c == '\r' || c == '\n') {
                    end_ = pos + unit_;
                    --breaks_;
                    taken = true;
                } else {
                    breaks_ = 0;
                }
            }
            if (stopping_) {
                if (taken) continue;
                return Finish(pos);
            }
            if (!OnChar(c, pos)) {
                stopping_ = true;
                if (breaks_ == 0) return Finish(pos + unit_);
            }
        }
        offset += length;
    }
}

}  // namespace ravlin
