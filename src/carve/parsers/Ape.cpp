// Monkey's Audio files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseApeFile final : public FoundOnlyParser {};

IParseFile* NewApeParser() { return new ParseApeFile(); }

}  // namespace ravlin
