// Access (ACCDB) files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseAccdbFile final : public FoundOnlyParser {};

IParseFile* NewAccdbParser() { return new ParseAccdbFile(); }

}  // namespace ravlin
