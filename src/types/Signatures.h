// The 48 carved formats' signatures, in the order the carving loop tries them: how a file's first
// sector is recognised (a test, or a magic at an offset) and the bytes it can start with. Below
// the carving loop, so that the file systems can check a cluster's content by them too.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace ravlin {

struct SignatureRow {
    uint32_t typeId = 0;
    bool (*test)(const unsigned char*, unsigned short) = nullptr;  // null in the magic form
    uint16_t magicOffset = 0;
    uint16_t magicLength = 0;  // at most 32
    uint8_t magic[32] = {};
    // The bytes that may stand at `keyOffset` (0 or 4) of a sector the row matches: a 256-bit set.
    uint16_t keyOffset = 0;
    std::array<uint64_t, 4> keyBytes{};
};

// The 48 rows, made once.
const std::vector<SignatureRow>& SignatureRows();

// The row's test, or its magic at its offset within `length` bytes.
bool MatchesSignature(const SignatureRow& row, const unsigned char* bytes, unsigned short length);

// Whether a file system's cluster that should start a file of `expectedType` (36 to 177) does:
// a row of that type, or of a related container type (compound documents, ZIP packages, TIFF
// raw files), matches the cluster's first 512 bytes.
bool SectorMatchesType(uint32_t expectedType, std::span<const uint8_t> sector);

}  // namespace ravlin
