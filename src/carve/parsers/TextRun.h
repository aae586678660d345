// Text formats (HTML, XML, RTF, MHT) measured by walking their text: character by character
// while the bytes are text, asking for the sectors that follow, each format marking where its
// structure ends (a later end is looked for only a little way on). The size found is a bound
// (the item stays Found): the carving loop still cuts it at the next file start, so text that
// runs on into another text file is not claimed.
#pragma once

#include <string>
#include <vector>

#include "carve/parsers/Parsers.h"

namespace ravlin {

// Finds a pattern in a stream of characters fed one at a time (Knuth-Morris-Pratt, so patterns
// that overlap themselves, like "----=_Part", are found too). ASCII letters fold to lower case
// when `foldCase`.
class StreamMatcher {
public:
    StreamMatcher() = default;
    StreamMatcher(const std::string& pattern, bool foldCase);
    // True when the character completes the pattern.
    bool Feed(uint32_t c);
    bool Empty() const { return pattern_.empty(); }

private:
    uint32_t Fold(uint32_t c) const { return fold_ && c >= 'A' && c <= 'Z' ? c + 32 : c; }

    std::vector<uint32_t> pattern_;
    std::vector<uint32_t> fail_;
    uint32_t matched_ = 0;
    bool fold_ = false;
};

class TextParser : public MeasuringParser {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override;
    // The data never came: what was walked is the bound.
    uint32_t Abandon() override { return Finish(offset); }

protected:
    // Every character (a byte, or a UTF-16 unit in a file that starts with its byte-order mark)
    // at byte `pos` of the file. A format records the end of its structure with MarkEnd; false
    // ends the walk (after the line breaks that follow the end).
    virtual bool OnChar(uint32_t c, uint64_t pos) = 0;
    // The structure ends after the character at `pos`; up to two line-break characters that
    // follow stay with it.
    void MarkEnd(uint64_t pos);

    uint64_t skip_ = 0;  // bytes to step over unread (binary data inside the text)

private:
    uint32_t Finish(uint64_t stop);

    uint64_t end_ = 0;       // one past the latest structural end, 0 while none
    uint32_t unit_ = 0;      // 1 or 2 bytes per character, 0 before the first call
    uint32_t breaks_ = 0;    // line-break characters still taken after an end
    bool stopping_ = false;  // the format ended the walk
};

}  // namespace ravlin
