// 7-Zip files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class Parse7zFile final : public FoundOnlyParser {};

IParseFile* New7zParser() { return new Parse7zFile(); }

}  // namespace ravlin
