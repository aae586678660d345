// WMA files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseWmaFile final : public FoundOnlyParser {};

IParseFile* NewWmaParser() { return new ParseWmaFile(); }

}  // namespace ravlin
