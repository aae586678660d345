// MIDI files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseMidFile final : public FoundOnlyParser {};

IParseFile* NewMidParser() { return new ParseMidFile(); }

}  // namespace ravlin
