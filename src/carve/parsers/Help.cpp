// Compiled help (CHM) and Windows help (HLP): the size stands in the header.
#include <cstring>

#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"

namespace ravlin {
namespace {

constexpr uint32_t kHeader = 256;

// 7C01FD10-7BAA-11D0-9E0C-00A0C922E6EC and 7C01FD11-..., as stored.
const uint8_t kChmGuid1[16] = {0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                               0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
const uint8_t kChmGuid2[16] = {0x11, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                               0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};

}  // namespace

class ParseChmFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFirstSector(*this, bufferFirstSector, bufferBytes, at);
        if (got != kParseDataOk) return got;
        ByteSpan h(buffer + at, kHeader);
        // The second GUID is ...FD11 from Microsoft's compiler; chmcmd writes the first again.
        if (std::memcmp(h.data() + 24, kChmGuid1, 16) != 0 ||
            (std::memcmp(h.data() + 40, kChmGuid2, 16) != 0 && std::memcmp(h.data() + 40, kChmGuid1, 16) != 0))
            return kParseInvalid;
        size = LoadLE64(h, 104);
        return kParseComplete;
    }
};

class ParseHlpFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        size_t at = 0;
        uint32_t got = LocateFirstSector(*this, bufferFirstSector, bufferBytes, at);
        if (got != kParseDataOk) return got;
        ByteSpan h(buffer + at, kHeader);
        uint32_t fileSize = LoadLE32(h, 12);
        if (fileSize < 512 || fileSize < LoadLE32(h, 4)) return kParseInvalid;
        size = fileSize;
        return kParseComplete;
    }
};

IParseFile* NewChmParser() { return new ParseChmFile(); }
IParseFile* NewHlpParser() { return new ParseHlpFile(); }

}  // namespace ravlin
