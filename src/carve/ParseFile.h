// The parser contract of deep scanning: one parser per carved file, driven over the raw data by
// the carving loop, answering with a status and asking for more sectors when it needs them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "types/FileTypes.h"

namespace ravlin {

// What Parse answers.
inline constexpr uint32_t kParseFound = 0;     // a valid start; the end is not measured
inline constexpr uint32_t kParseDataOk = 1;    // ReadFileBytes only: the bytes were copied
inline constexpr uint32_t kParseNeedData = 3;  // call again with [requestFirst, requestEnd]
inline constexpr uint32_t kParseComplete = 4;  // `size` is the file's length
inline constexpr uint32_t kParseInvalid = 5;   // not a file of this format, or past a limit

// The largest read a parser can be offered: the block window (12 blocks of 8 MiB).
inline constexpr uint32_t kMaxParserRead = 0x6000000;
// The longest file a measure may give (1,887,436,800 bytes, the carving loop's estimate cap);
// a longer claim is left to the estimate.
inline constexpr uint64_t kMaxCarvedBytes = uint64_t{3686400} * 512;
// How far past the offered data a read may start before it is refused (64 GiB).
inline constexpr uint64_t kMaxRequestAhead = 0x8000000;

class IParseFile {
public:
    IParseFile() = default;
    IParseFile(const IParseFile&) = delete;
    IParseFile& operator=(const IParseFile&) = delete;
    virtual ~IParseFile();

    // Measures the file from the bytes offered: `buffer` holds `bufferBytes` bytes starting at
    // absolute sector `bufferFirstSector`. Called again with other data after kParseNeedData;
    // the parser keeps everything it needs between calls in its fields.
    virtual uint32_t Parse(uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes) = 0;
    // Called when the data asked for will never come (it has passed, or the raw pass ended):
    // kParseFound keeps the file with an estimated size; kParseNeedData (the default) leaves
    // the provisional item without a file.
    virtual uint32_t Abandon() { return kParseNeedData; }

    uint32_t typeId = 0;
    uint32_t status = 0;
    uint64_t startSector = 0;  // absolute 512-byte sector of the file's first byte
    uint64_t size = 0;         // bytes, once known
    uint32_t work = 0;         // the parser's own
    uint64_t offset = 0;       // the parser's cursor, in bytes from the file start
    uint64_t requestFirst = 0;  // with kParseNeedData: the first sector wanted
    uint64_t requestEnd = 0;    // ...and the end mark of the range (see ReadFileBytes)
    uint64_t aux = 0;           // carried into the item when there is no creation info
    std::shared_ptr<_FILE_CREATE_INFO> createInfo;
};

// The video parsers' common base: the state of the walking parsers lives in their own fields.
class IParseVideoFile : public IParseFile {};

// Copies `byteCount` bytes from byte `byteOffset` of the file starting at `fileStartSector` out
// of the buffer. kParseDataOk when they lie in it; kParseNeedData (with the parser's request
// set to those sectors) when they lie wholly or partly after it, up to 64 GiB past its end;
// kParseInvalid when they lie before it, too far after it, or `byteCount` is 0 or above 96 MiB.
uint32_t ReadFileBytes(uint64_t fileStartSector, uint64_t byteOffset, uint32_t byteCount,
                       uint64_t bufferFirstSector, const uint8_t* buffer, uint32_t bufferBytes,
                       void* out, IParseFile& parser);

// Where `byteCount` bytes at `byteOffset` of the file lie in the buffer, without copying them:
// kParseDataOk with `at` set, or the statuses of ReadFileBytes.
uint32_t LocateFileBytes(uint64_t fileStartSector, uint64_t byteOffset, uint32_t byteCount,
                         uint64_t bufferFirstSector, uint32_t bufferBytes, size_t& at,
                         IParseFile& parser);

// Where the bytes from `byteOffset` of the file on lie in the buffer: kParseDataOk with `at` and
// `length` (1 to `maxBytes`, up to the buffer's end) set, or the statuses of LocateFileBytes for
// the byte at `byteOffset`.
uint32_t LocateFileRun(uint64_t fileStartSector, uint64_t byteOffset, uint32_t maxBytes,
                       uint64_t bufferFirstSector, uint32_t bufferBytes, size_t& at, size_t& length,
                       IParseFile& parser);

// Where the file's first sector lies in the buffer: kParseDataOk with `at` set; kParseNeedData
// with the parser's request set to that sector when it lies ahead (up to 64 GiB);
// kParseInvalid when it lies before the buffer or further ahead.
uint32_t LocateFirstSector(IParseFile& parser, uint64_t bufferFirstSector, uint32_t bufferBytes, size_t& at);

// The creation info of four texts, trimmed of blanks; a missing maker takes the model. Empty
// (no info) when all four are empty. Longer texts are cut to the fields; the date to 10
// characters.
std::shared_ptr<_FILE_CREATE_INFO> MakeCreateInfo(const std::wstring& maker, const std::wstring& model,
                                                  const std::wstring& title, const std::wstring& date);

}  // namespace ravlin
