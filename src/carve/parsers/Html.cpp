// HTML and XML markup files: their text walked to its end, bounded by the last closing html tag
// in it (and the line breaks after it), else by the last byte of text.
#include "carve/parsers/TextRun.h"

namespace ravlin {

class ParseHtmlFile final : public TextParser {
protected:
    bool OnChar(uint32_t c, uint64_t pos) override {
        if (close_.Feed(c)) MarkEnd(pos);
        return true;
    }

private:
    StreamMatcher close_{"</html>", true};
};

IParseFile* NewHtmlParser() { return new ParseHtmlFile(); }

}  // namespace ravlin
