// executable files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseExeFile final : public FoundOnlyParser {};

IParseFile* NewExeParser() { return new ParseExeFile(); }

}  // namespace ravlin
