// Visual Studio solution files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseSlnFile final : public FoundOnlyParser {};

IParseFile* NewSlnParser() { return new ParseSlnFile(); }

}  // namespace ravlin
