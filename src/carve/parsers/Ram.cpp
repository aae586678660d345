// RealAudio files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseRamFile final : public FoundOnlyParser {};

IParseFile* NewRamParser() { return new ParseRamFile(); }

}  // namespace ravlin
