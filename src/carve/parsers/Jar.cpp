// JAR files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParseJarFile final : public FoundOnlyParser {};

IParseFile* NewJarParser() { return new ParseJarFile(); }

}  // namespace ravlin
