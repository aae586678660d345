// The parser registry: for each of the 48 carved formats, how its first sector is recognised
// and how its parser is made, in the order the rows are tried on every sector.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "carve/ParseFile.h"
#include "types/Signatures.h"

namespace ravlin {

struct ParserRegistryEntry {
    uint32_t typeId = 0;
    uint16_t magicOffset = 0;  // magic form only
    uint16_t magicLength = 0;  // at most 32
    uint8_t magic[32] = {};
    std::function<IParseFile*()> factory;
    std::function<bool(const unsigned char*, unsigned short)> test;  // empty in the magic form
    // Where a sector's bytes can start such a file: the bytes that may stand at `keyOffset`
    // (0 or 4). Every sector whose byte there is outside the set fails the row's rule; the
    // carving loop uses it to try only the rows a sector can match.
    uint16_t keyOffset = 0;
    std::array<uint64_t, 4> keyBytes{};  // a 256-bit set

    bool KeyAdmits(uint8_t byte) const { return (keyBytes[byte >> 6] >> (byte & 63)) & 1; }
};

using ParserRegistry = std::vector<ParserRegistryEntry>;

// Appends a row of the test form to `registry`.
void RegisterParser(ParserRegistry& registry, uint32_t typeId,
                    std::function<bool(const unsigned char*, unsigned short)> test,
                    std::function<IParseFile*()> factory);
// Appends a row of the magic form (at most 32 bytes are kept).
void RegisterParser(ParserRegistry& registry, uint32_t typeId, uint16_t magicOffset,
                    const void* magic, uint16_t magicLength, std::function<IParseFile*()> factory);

// The 48 rows, made once; read-only afterwards.
const ParserRegistry& GetParserRegistry();

// The one matching rule: the row's test, or its magic at its offset within `length` bytes.
bool MatchesEntry(const ParserRegistryEntry& entry, const unsigned char* bytes, unsigned short length);

// The rows a sector can match, found from its bytes at offsets 0 and 4 rather than by trying
// all of them: the same rows, in the same order, as a walk of the whole registry would match.
class RegistryDispatch {
public:
    explicit RegistryDispatch(const ParserRegistry& registry);

    // Calls f(index) for each row of the registry that matches the sector, in registry order.
    template <class F>
    void ForEachMatch(const unsigned char* sector, unsigned short length, F&& f) const {
        const auto& a = byFirst_[sector[0]];
        const auto& b = length > 4 ? byFifth_[sector[4]] : none_;
        size_t i = 0, j = 0;
        while (i < a.size() || j < b.size()) {
            uint16_t row = j == b.size() || (i < a.size() && a[i] < b[j]) ? a[i++] : b[j++];
            if (MatchesEntry((*registry_)[row], sector, length)) f(row);
        }
    }

private:
    const ParserRegistry* registry_;
    std::array<std::vector<uint16_t>, 256> byFirst_;
    std::array<std::vector<uint16_t>, 256> byFifth_;
    std::vector<uint16_t> none_;
};

}  // namespace ravlin
