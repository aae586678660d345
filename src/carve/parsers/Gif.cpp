// GIF files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseGifFile final : public FoundOnlyParser {};

IParseFile* NewGifParser() { return new ParseGifFile(); }

}  // namespace ravlin
