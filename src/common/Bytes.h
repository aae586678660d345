// Bounds-checked little- and big-endian loaders for on-disk fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace ravlin {

using ByteSpan = std::span<const uint8_t>;

// Each loader returns 0 when the field does not lie wholly inside `bytes`.
inline uint8_t LoadU8(ByteSpan bytes, size_t offset) {
    return offset < bytes.size() ? bytes[offset] : 0;
}

inline uint16_t LoadLE16(ByteSpan bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) return 0;
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline uint32_t LoadLE32(ByteSpan bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

inline uint64_t LoadLE64(ByteSpan bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 8) return 0;
    return static_cast<uint64_t>(LoadLE32(bytes, offset)) |
           (static_cast<uint64_t>(LoadLE32(bytes, offset + 4)) << 32);
}

inline uint16_t LoadBE16(ByteSpan bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) return 0;
    return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

inline uint32_t LoadBE32(ByteSpan bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
    return (static_cast<uint32_t>(bytes[offset]) << 24) |
           (static_cast<uint32_t>(bytes[offset + 1]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 8) | static_cast<uint32_t>(bytes[offset + 3]);
}

// True when `text` (no terminator) lies at `offset`.
inline bool BytesEqual(ByteSpan bytes, size_t offset, const char* text, size_t length) {
    if (offset > bytes.size() || bytes.size() - offset < length) return false;
    return std::memcmp(bytes.data() + offset, text, length) == 0;
}

inline void StoreLE16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

inline void StoreLE32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void StoreLE64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace ravlin
