// PNG files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParsePngFile final : public FoundOnlyParser {};

IParseFile* NewPngParser() { return new ParsePngFile(); }

}  // namespace ravlin
