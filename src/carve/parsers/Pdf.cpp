// PDF files: the signature is the whole format knowledge here; the size is the carving
// loop's estimate.
#include "carve/parsers/Parsers.h"

namespace ravlin {

class ParsePdfFile final : public FoundOnlyParser {};

IParseFile* NewPdfParser() { return new ParsePdfFile(); }

}  // namespace ravlin
