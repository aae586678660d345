// Java class files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseClassFile final : public FoundOnlyParser {};

IParseFile* NewClassParser() { return new ParseClassFile(); }

}  // namespace ravlin
