// Visual C++ workspace files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseDswFile final : public FoundOnlyParser {};

IParseFile* NewDswParser() { return new ParseDswFile(); }

}  // namespace ravlin
