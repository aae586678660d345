// Access (MDB) files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseMdbFile final : public FoundOnlyParser {};

IParseFile* NewMdbParser() { return new ParseMdbFile(); }

}  // namespace ravlin
