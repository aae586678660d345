// Publisher files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParsePubFile final : public FoundOnlyParser {};

IParseFile* NewPubParser() { return new ParsePubFile(); }

}  // namespace ravlin
