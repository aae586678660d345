// MHTML archives: the boundary named in the headers, and the text walked to its closing
// delimiter ("--" boundary "--") and the line breaks after it; without one, to the last byte of
// text.
#include "carve/parsers/TextRun.h"

namespace ravlin {
namespace {

constexpr uint64_t kHeaderBytes = 16384;  // where the boundary is looked for

}  // namespace

class ParseMhtFile final : public TextParser {
protected:
    bool OnChar(uint32_t c, uint64_t pos) override {
        if (close_.Empty()) {
            if (pos < kHeaderBytes) ReadHeader(c);
            return true;
        }
        if (close_.Feed(c)) MarkEnd(pos);
        return true;
    }

private:
    // Collects the value after `boundary=` (quoted or not) from the header text.
    void ReadHeader(uint32_t c) {
        if (!value_) {
            if (key_.Feed(c)) {
                value_ = true;
                quoted_ = false;
                boundary_.clear();
            }
            return;
        }
        if (boundary_.empty() && c == '"' && !quoted_) {
            quoted_ = true;
            return;
        }
        bool ends = quoted_ ? c == '"' : (c == ';' || c <= ' ' || c == '"');
        if (ends || c >= 0x80 || boundary_.size() > 200) {
            if (ends && !boundary_.empty()) close_ = StreamMatcher("--" + boundary_ + "--", false);
            value_ = false;
            return;
        }
        boundary_.push_back(static_cast<char>(c));
    }

    StreamMatcher key_{"boundary=", true};
    StreamMatcher close_;
    std::string boundary_;
    bool value_ = false;   // reading the boundary's value
    bool quoted_ = false;
};

IParseFile* NewMhtParser() { return new ParseMhtFile(); }

}  // namespace ravlin
