// TIFF directories as JPEG EXIF segments and TIFF files hold them: bounded reads in either byte
// order, the entries of one directory, and the camera texts of an EXIF directory tree.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ravlin {

// Bytes of a TIFF structure; offsets count from its header. Reads outside give 0.
class TiffBytes {
public:
    TiffBytes(std::span<const uint8_t> bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}
    bool Holds(uint64_t at, uint64_t count) const { return at <= bytes_.size() && count <= bytes_.size() - at; }
    uint16_t U16(uint64_t at) const;
    uint32_t U32(uint64_t at) const;
    size_t Size() const { return bytes_.size(); }
    // An ASCII value: at most 64 bytes and `count`, to the first NUL or the end of the bytes.
    std::wstring Text(uint64_t at, uint64_t count) const;

private:
    std::span<const uint8_t> bytes_;
    bool bigEndian_;
};

// One 12-byte directory entry.
struct TiffEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint32_t word = 0;       // the value field: the value itself, or the offset of the value
    uint64_t valueAt = 0;    // where the value lies: inside the entry, or at `word`
    uint64_t valueBytes = 0;  // element size * count
};

// Element size of a TIFF field type (13 is the IFD type of sub-directory lists); 0 for a type
// outside 1..13.
uint32_t TiffTypeSize(uint16_t type);
// Reads entry `index` of the directory at `directory`; false when it lies outside the bytes or
// its type is unknown.
bool ReadTiffEntry(const TiffBytes& tiff, uint64_t directory, uint32_t index, TiffEntry& entry);

struct ExifTexts {
    std::wstring maker;
    std::wstring model;  // Model or Software, whichever comes later
    std::wstring date;
};

// Walks the EXIF directory at `offset` and the Exif IFDs it points to (each directory once).
void WalkExifDirectory(const TiffBytes& tiff, uint32_t offset, ExifTexts& texts);

}  // namespace ravlin
