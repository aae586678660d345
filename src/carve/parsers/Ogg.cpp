// Ogg files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseOggFile final : public FoundOnlyParser {};

IParseFile* NewOggParser() { return new ParseOggFile(); }

}  // namespace ravlin
