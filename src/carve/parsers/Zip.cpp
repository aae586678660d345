// ZIP archives: local headers, central directory headers and the end record walked from the
// start, with a search for the next "PK" over what is not a record (data whose size follows it); member names retype Office
// Open XML and CorelDRAW packages, whose author, title and date are read when the whole package
// lies in the window.
#include <cstring>
#include <string_view>

#include "carve/parsers/Ooxml.h"
#include "carve/parsers/Parsers.h"
#include "common/Bytes.h"
#include "platform/Text.h"

namespace ravlin {
namespace {

constexpr uint32_t kUnit = 4096;
constexpr uint32_t kMaxRetypeHeaders = 129;
constexpr uint64_t kMaxWholeRead = 0x6000000;
// How far past the last record the search for the next one goes: members whose sizes stand in a
// data descriptor after their data (as LibreOffice and Java write them) are crossed by it.
constexpr uint64_t kMaxSearch = 0x6000000;

bool IsOffice(uint32_t type) { return type == 37 || type == 38 || type == 89; }

std::wstring Wide(const std::string& utf8) { return platform::Utf8ToWide(utf8); }

}  // namespace

class ParseZipFile final : public IParseFile {
public:
    uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) override {
        for (;;) {
            size_t at = 0;
            uint32_t got = LocateFileBytes(startSector, offset, kUnit, bufferFirstSector, bufferBytes, at, *this);
            if (got != kParseDataOk) return got;
            ByteSpan h(buffer + at, kUnit);
            uint32_t signature = LoadLE32(h, 0);
            uint64_t step;
            if (signature == 0x04034B50) {
                uint32_t nameLength = LoadLE16(h, 26);
                if (typeId == 61 && localHeaders_ < kMaxRetypeHeaders && 30 + nameLength <= kUnit)
                    Retype(std::string_view(reinterpret_cast<const char*>(h.data() + 30), nameLength));
                ++localHeaders_;
                step = 30 + uint64_t{nameLength} + LoadLE16(h, 28) + LoadLE32(h, 18);
            } else if (signature == 0x02014B50) {
                step = 46 + uint64_t{LoadLE16(h, 28)} + LoadLE16(h, 30) + LoadLE16(h, 32);
            } else if (signature == 0x06054B50) {
                return Finish(bufferFirstSector, buffer, bufferBytes, offset + 22 + LoadLE16(h, 20));
            } else {
                // The next "PK", or the end of the bytes read less one (a "PK" may straddle it).
                size_t p = kUnit - 1;
                const uint8_t* end = h.data() + kUnit - 1;
                for (const uint8_t* c = h.data(); c < end; ++c) {
                    c = static_cast<const uint8_t*>(std::memchr(c, 'P', static_cast<size_t>(end - c)));
                    if (!c) break;
                    if (c[1] == 'K') {
                        p = static_cast<size_t>(c - h.data());
                        break;
                    }
                }
                step = p > 0 ? p : 4;
                if (offset + step - recordsEnd_ > kMaxSearch) return kParseInvalid;
                offset += step;
                continue;
            }
            offset += step;
            recordsEnd_ = offset;
        }
    }

private:
    void Retype(std::string_view name) {
        if (name == "word/_rels/document.xml.rels") typeId = 37;
        else if (name == "xl/_rels/workbook.xml.rels") typeId = 38;
        else if (name == "ppt/_rels/presentation.xml.rels") typeId = 89;
        else if (name == "content/riffData.cdr" || name == "content/dataFileList.dat") corelData_ = true;
        else if (name == "links.xml" || name == "META-INF/links.xml") corelLinks_ = true;
        if (typeId == 61 && corelData_ && corelLinks_) typeId = 118;
    }

    uint32_t Finish(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes, uint64_t fileSize) {
        size = fileSize;
        if (!IsOffice(typeId)) return kParseComplete;
        // The metadata needs the whole package; a larger one than the window can hold goes
        // without.
        if (fileSize > kMaxWholeRead) return kParseComplete;
        size_t at = 0;
        uint32_t got = LocateFileBytes(startSector, 0, static_cast<uint32_t>(fileSize), bufferFirstSector, bufferBytes, at, *this);
        if (got == kParseNeedData) {
            offset = recordsEnd_ = 0;  // walked again once the window holds it all
            return got;
        }
        if (got != kParseDataOk) return kParseComplete;
        OfficeTexts texts = ReadOfficeTexts(buffer + at, fileSize, typeId);
        createInfo = MakeCreateInfo(Wide(texts.author), L"", Wide(texts.title), Wide(texts.date));
        return kParseComplete;
    }

    uint32_t localHeaders_ = 0;
    uint64_t recordsEnd_ = 0;  // where the last record ended
    bool corelData_ = false;
    bool corelLinks_ = false;
};

IParseFile* NewZipParser() { return new ParseZipFile(); }

}  // namespace ravlin
