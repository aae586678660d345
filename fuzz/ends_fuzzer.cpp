// Fuzzed bytes through the parsers that walk a format to its end (PNG, GIF, PSD, PDF, 7z, Ogg,
// MIDI, cabinet, Fujifilm raw, Monkey's Audio, bare MPEG audio, PE, and the text formats), in
// their own block and across a block's end.
#include "ParserFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ravlin::ParserRegistry rows =
        ravlin::fuzz::RowsOf({44, 45, 47, 40, 60, 55, 57, 84, 144, 56, 59, 74, 79, 163, 164, 43});
    return ravlin::fuzz::FuzzRows(rows, data, size);
}
