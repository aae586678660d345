// Reads on behalf of parsers, and the creation info they attach.
#include "carve/ParseFile.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace ravlin {

IParseFile::~IParseFile() = default;

uint32_t LocateFileBytes(uint64_t fileStartSector, uint64_t byteOffset, uint32_t byteCount,
                         uint64_t bufferFirstSector, uint32_t bufferBytes, size_t& at,
                         IParseFile& parser) {
    constexpr uint64_t kMax = ~uint64_t{0};
    if (byteCount == 0 || byteCount > kMaxParserRead) return kParseInvalid;
    // Cursors come from sizes on disk: a position past the sector space is no request at all.
    if (byteOffset > kMax - byteCount) return kParseInvalid;
    uint64_t end = byteOffset + byteCount;
    if (end / 512 > kMax - fileStartSector - 1) return kParseInvalid;
    uint64_t first = fileStartSector + byteOffset / 512;
    uint64_t endMark = fileStartSector + end / 512;
    uint64_t last = end % 512 == 0 ? endMark - 1 : endMark;
    if (last < bufferFirstSector) return kParseInvalid;
    uint64_t sectors = bufferBytes / 512;
    if (first > bufferFirstSector && first - bufferFirstSector > sectors - (sectors ? 1 : 0) + kMaxRequestAhead)
        return kParseInvalid;
    if (sectors != 0 && first >= bufferFirstSector && last - bufferFirstSector < sectors) {
        at = static_cast<size_t>((first - bufferFirstSector) * 512 + byteOffset % 512);
        return kParseDataOk;
    }
    parser.requestFirst = first;
    parser.requestEnd = endMark;
    return kParseNeedData;
}

uint32_t LocateFileRun(uint64_t fileStartSector, uint64_t byteOffset, uint32_t maxBytes,
                       uint64_t bufferFirstSector, uint32_t bufferBytes, size_t& at, size_t& length,
                       IParseFile& parser) {
    if (maxBytes == 0) return kParseInvalid;
    uint32_t status = LocateFileBytes(fileStartSector, byteOffset, 1, bufferFirstSector, bufferBytes, at, parser);
    if (status == kParseDataOk) length = std::min<size_t>(maxBytes, bufferBytes - at);
    return status;
}

uint32_t LocateFirstSector(IParseFile& parser, uint64_t bufferFirstSector, uint32_t bufferBytes, size_t& at) {
    if (parser.startSector < bufferFirstSector) return kParseInvalid;
    uint64_t sectors = bufferBytes / 512;
    uint64_t into = parser.startSector - bufferFirstSector;
    if (into >= sectors) {
        if (into - sectors > kMaxRequestAhead) return kParseInvalid;
        parser.requestFirst = parser.startSector;
        parser.requestEnd = parser.startSector + 1;
        return kParseNeedData;
    }
    at = static_cast<size_t>(into * 512);
    return kParseDataOk;
}

uint32_t ReadFileBytes(uint64_t fileStartSector, uint64_t byteOffset, uint32_t byteCount,
                       uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes,
                       void* out, IParseFile& parser) {
    if (!out || !buffer) return kParseInvalid;
    size_t at = 0;
    uint32_t status = LocateFileBytes(fileStartSector, byteOffset, byteCount, bufferFirstSector,
                                      bufferBytes, at, parser);
    if (status == kParseDataOk) std::memcpy(out, buffer + at, byteCount);
    return status;
}

namespace {

std::wstring Trim(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// Copies as much of `text` as fits, leaving room for the terminating zero.
template <size_t N>
void Fill(char16_t (&field)[N], const std::wstring& text) {
    std::u16string units = platform::WideToUtf16(text);
    size_t n = std::min(units.size(), N - 1);
    // A surrogate pair is not cut in two.
    if (n > 0 && n < units.size() && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF) --n;
    std::copy_n(units.begin(), n, field);
    field[n] = 0;
}

}  // namespace

std::shared_ptr<_FILE_CREATE_INFO> MakeCreateInfo(const std::wstring& maker, const std::wstring& model,
                                                  const std::wstring& title, const std::wstring& date) {
    std::wstring m = Trim(maker), mo = Trim(model), t = Trim(title), d = Trim(date);
    if (m.empty()) {
        if (mo.empty() && t.empty() && d.empty()) return nullptr;
        m = mo;
    }
    auto info = std::make_shared<_FILE_CREATE_INFO>();
    std::memset(info.get(), 0, sizeof(_FILE_CREATE_INFO));
    Fill(info->Maker, m);
    Fill(info->Model, mo);
    Fill(info->Title, t);
    Fill(info->Date, d.substr(0, 10));
    return info;
}

}  // namespace ravlin
