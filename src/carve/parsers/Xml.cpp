// XML user-interface files: their text walked to its end, bounded by the last closing tag of the
// root element, else by the last byte of text.
#include "carve/parsers/TextRun.h"

namespace ravlin {

class ParseXmlFile final : public TextParser {
protected:
    bool OnChar(uint32_t c, uint64_t pos) override {
        if (close_.Feed(c)) MarkEnd(pos);
        return true;
    }

private:
    StreamMatcher close_{"</Ui>", false};
};

IParseFile* NewXmlParser() { return new ParseXmlFile(); }

}  // namespace ravlin
