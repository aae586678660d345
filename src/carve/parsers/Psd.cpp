// Photoshop files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParsePsdFile final : public FoundOnlyParser {};

IParseFile* NewPsdParser() { return new ParsePsdFile(); }

}  // namespace ravlin
