// XML files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseXmlFile final : public FoundOnlyParser {};

IParseFile* NewXmlParser() { return new ParseXmlFile(); }

}  // namespace ravlin
