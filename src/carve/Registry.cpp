// The registry's rows: the formats' signatures with the factories of their parsers.
#include "carve/Registry.h"

#include <cstring>

#include "carve/parsers/Parsers.h"
#include "types/Signatures.h"

namespace ravlin {
namespace {

using Factory = IParseFile* (*)();

Factory FactoryOf(uint32_t type) {
    switch (type) {
        case 46: return NewJpgParser;
        case 51: return NewTifParser;
        case 69: case 68: case 71: case 72: case 67: return NewMovParser;  // the MP4 family
        case 88: return NewMtsParser;
        case 64: return NewFlvParser;
        case 86: return NewMkvParser;
        case 82: return NewMpgParser;
        case 147: return NewRiffParser;
        case 66: return NewRmvbParser;
        case 108: return NewWmvParser;
        case 36: return NewDocParser;
        case 40: return NewPdfParser;
        case 39: return NewChmParser;
        case 41: return NewHlpParser;
        case 42: return NewPubParser;
        case 43: return NewMhtParser;
        case 164: return NewRtfParser;
        case 79: return NewHtmlParser;
        case 163: return NewXmlParser;
        case 44: return NewPngParser;
        case 45: return NewGifParser;
        case 47: return NewPsdParser;
        case 48: return NewBmpParser;
        case 144: return NewRafParser;
        case 61: return NewZipParser;
        case 62: return NewRarParser;
        case 63: return NewJarParser;
        case 60: return New7zParser;
        case 84: return NewCabParser;
        case 54: return NewMp3Parser;
        case 57: return NewMidParser;
        case 55: return NewOggParser;
        case 56: return NewApeParser;
        case 59: return NewWmaParser;
        case 65: return NewRamParser;
        case 74: return NewExeParser;
        case 75: return NewDwgParser;
        case 146: return NewEpsParser;
        case 77: return NewMdbParser;
        case 78: return NewAccdbParser;
        case 148: return NewClassParser;
        case 80: return NewDswParser;
        case 81: return NewSlnParser;
        case 145: return NewMcbParser;
        default: return NewFoundOnlyParser;
    }
}

ParserRegistry BuildRegistry() {
    ParserRegistry r;
    for (const SignatureRow& row : SignatureRows()) {
        ParserRegistryEntry entry;
        entry.typeId = row.typeId;
        entry.magicOffset = row.magicOffset;
        entry.magicLength = row.magicLength;
        std::memcpy(entry.magic, row.magic, sizeof entry.magic);
        if (row.test) entry.test = row.test;
        entry.factory = FactoryOf(row.typeId);
        entry.keyOffset = row.keyOffset;
        entry.keyBytes = row.keyBytes;
        r.push_back(std::move(entry));
    }
    return r;
}

}  // namespace

IParseFile* NewFoundOnlyParser() { return new FoundOnlyParser(); }

void RegisterParser(ParserRegistry& registry, uint32_t typeId,
                    std::function<bool(const unsigned char*, unsigned short)> test,
                    std::function<IParseFile*()> factory) {
    ParserRegistryEntry entry;
    entry.typeId = typeId;
    entry.test = std::move(test);
    entry.factory = std::move(factory);
    entry.keyBytes.fill(~uint64_t{0});
    registry.push_back(std::move(entry));
}

void RegisterParser(ParserRegistry& registry, uint32_t typeId, uint16_t magicOffset,
                    const void* magic, uint16_t magicLength, std::function<IParseFile*()> factory) {
    ParserRegistryEntry entry;
    entry.typeId = typeId;
    entry.magicOffset = magicOffset;
    entry.magicLength = magicLength > 32 ? 32 : magicLength;
    std::memcpy(entry.magic, magic, entry.magicLength);
    entry.factory = std::move(factory);
    entry.keyBytes.fill(~uint64_t{0});
    registry.push_back(std::move(entry));
}

const ParserRegistry& GetParserRegistry() {
    static const ParserRegistry registry = BuildRegistry();
    return registry;
}

bool MatchesEntry(const ParserRegistryEntry& entry, const unsigned char* bytes, unsigned short length) {
    if (!bytes) return false;
    if (entry.test) return entry.test(bytes, length);
    return entry.magicOffset + entry.magicLength <= length &&
           std::memcmp(bytes + entry.magicOffset, entry.magic, entry.magicLength) == 0;
}

RegistryDispatch::RegistryDispatch(const ParserRegistry& registry) : registry_(&registry) {
    for (size_t row = 0; row < registry.size(); ++row) {
        const ParserRegistryEntry& entry = registry[row];
        auto& lists = entry.keyOffset == 4 ? byFifth_ : byFirst_;
        for (unsigned b = 0; b < 256; ++b)
            if (entry.KeyAdmits(static_cast<uint8_t>(b))) lists[b].push_back(static_cast<uint16_t>(row));
    }
}

}  // namespace ravlin
