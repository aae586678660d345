// Fuzzed bytes through the ZIP parser alone, in its own block and across a block's end.
#include "ParserFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return ravlin::fuzz::FuzzOneParser(61, data, size);
}
