// RTF files: groups counted from the opening brace to the brace that closes it (escaped braces
// and \bin data stepped over), then the line breaks after it; text that stops first is the
// bound.
#include "carve/parsers/TextRun.h"

namespace ravlin {

class ParseRtfFile final : public TextParser {
protected:
    bool OnChar(uint32_t c, uint64_t pos) override {
        switch (state_) {
            case kEscape:
                if (IsLetter(c)) {
                    state_ = kWord;
                    word_.assign(1, static_cast<char>(c));
                    param_ = 0;
                    digits_ = 0;
                    return true;
                }
                state_ = kPlain;  // a control symbol: \{ \} \\ \' and the like
                return true;
            case kWord:
                if (IsLetter(c) && digits_ == 0) {
                    if (word_.size() < 32) word_.push_back(static_cast<char>(c));
                    return true;
                }
                if (c >= '0' && c <= '9' && digits_ < 10) {
                    param_ = param_ * 10 + (c - '0');
                    ++digits_;
                    return true;
                }
                if (c == '-' && digits_ == 0 && word_.size() < 32) {
                    word_.push_back('-');  // a negative parameter is no byte count
                    return true;
                }
                state_ = kPlain;
                if (word_ == "bin" && digits_ != 0) {
                    // The data starts after the delimiting space, or at this character.
                    if (c == ' ') {
                        skip_ = param_;
                        return true;
                    }
                    if (param_ != 0) {
                        skip_ = param_ - 1;
                        return true;
                    }
                }
                if (c == ' ') return true;
                break;
            case kPlain:
                break;
        }
        if (c == '\\') {
            state_ = kEscape;
        } else if (c == '{') {
            ++depth_;
        } else if (c == '}') {
            if (depth_ == 0) return false;
            if (--depth_ == 0) {
                MarkEnd(pos);
                return false;
            }
        } else if (depth_ == 0 && pos >= 3) {
            return false;  // text before the first group (but a byte-order mark) is no RTF
        }
        return true;
    }

private:
    enum State : uint32_t { kPlain, kEscape, kWord };

    static bool IsLetter(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

    State state_ = kPlain;
    std::string word_;
    uint64_t param_ = 0;
    uint32_t digits_ = 0;
    uint64_t depth_ = 0;
};

IParseFile* NewRtfParser() { return new ParseRtfFile(); }

}  // namespace ravlin
