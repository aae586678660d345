// Fuzzed bytes as an Office Open XML package held whole (the first byte picks DOCX, XLSX or
// PPTX): members found through the central directory, inflated under a cap, texts read.
#include "carve/parsers/Ooxml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const uint32_t kTypes[3] = {37, 38, 89};
    ravlin::ReadOfficeTexts(data + 1, size - 1, kTypes[data[0] % 3]);
    return 0;
}
