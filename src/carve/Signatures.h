// The signatures of the 48 carved formats: how a file's first sector is recognised. The
// parser registry adds a factory to each of these rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ravlin {

using SignatureTest = bool (*)(const unsigned char* bytes, unsigned short length);

struct SignatureEntry {
    uint32_t typeId;
    uint16_t magicOffset;  // magic form only
    uint16_t magicLength;  // 0 for the test form; at most 32
    uint8_t magic[32];
    SignatureTest test;       // null in the magic form
    const char* parserClass;  // the parser that measures such files
};

// The 48 rows, in the order they are tried on every sector.
const std::vector<SignatureEntry>& SignatureTable();

// The one matching rule: the entry's test, or its magic at its offset within `length` bytes.
bool MatchesEntry(const SignatureEntry& entry, const unsigned char* bytes, unsigned short length);

// Whether a file system's cluster that should start a file of `expectedType` (36 to 177) does:
// a row of that type, or of a related container type (compound documents, ZIP packages, TIFF
// raw files), matches the cluster's first 512 bytes.
bool SectorMatchesType(uint32_t expectedType, std::span<const uint8_t> sector);

}  // namespace ravlin
