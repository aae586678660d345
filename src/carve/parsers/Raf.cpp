// Fujifilm raw files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseRafFile final : public FoundOnlyParser {};

IParseFile* NewRafParser() { return new ParseRafFile(); }

}  // namespace ravlin
