// cabinet files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseCabFile final : public FoundOnlyParser {};

IParseFile* NewCabParser() { return new ParseCabFile(); }

}  // namespace ravlin
