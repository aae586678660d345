// MCB files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseMcbFile final : public FoundOnlyParser {};

IParseFile* NewMcbParser() { return new ParseMcbFile(); }

}  // namespace ravlin
