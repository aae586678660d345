// MHTML archive files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseMhtFile final : public FoundOnlyParser {};

IParseFile* NewMhtParser() { return new ParseMhtFile(); }

}  // namespace ravlin
