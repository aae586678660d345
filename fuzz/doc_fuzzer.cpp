// Fuzzed bytes as a compound document held whole: analysed for its length and type, and read for
// its texts; whatever the tables say, nothing is read outside the bytes and the work ends.
#include "carve/ParseFile.h"
#include "carve/parsers/CompoundFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ravlin::CompoundAnalysis a = ravlin::AnalyseCompoundFile(data, size);
    if (a.status == ravlin::kParseComplete && a.size <= size) ravlin::ReadCompoundTexts(data, a.size, a.typeId);
    ravlin::ReadCompoundTexts(data, size, 36);
    ravlin::ReadCompoundTexts(data, size, 87);
    return 0;
}
