// HTML and XML markup files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseHtmlFile final : public FoundOnlyParser {};

IParseFile* NewHtmlParser() { return new ParseHtmlFile(); }

}  // namespace ravlin
