// RTF files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseRtfFile final : public FoundOnlyParser {};

IParseFile* NewRtfParser() { return new ParseRtfFile(); }

}  // namespace ravlin
