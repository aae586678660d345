// The one hasher of every hash container: 64-bit FNV-1a over the key's little-endian bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace ravlin {

inline constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

inline uint64_t Fnv1a(const void* data, size_t length, uint64_t hash = kFnvOffsetBasis) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= kFnvPrime;
    }
    return hash;
}

// Hashes integers over their width (4 bytes for u32, 8 for u64 and pointers), strings over
// their code units.
struct FnvHash {
    template <class T>
    static uint64_t Integer(T value) {
        uint64_t hash = kFnvOffsetBasis;
        for (size_t i = 0; i < sizeof(T); ++i) {
            hash ^= static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
            hash *= kFnvPrime;
        }
        return hash;
    }
    size_t operator()(uint32_t value) const { return Integer(value); }
    size_t operator()(uint64_t value) const { return Integer(value); }
    size_t operator()(const void* pointer) const {
        return Integer(reinterpret_cast<uintptr_t>(pointer));
    }
    size_t operator()(const std::wstring& text) const {
        uint64_t hash = kFnvOffsetBasis;
        for (wchar_t c : text) hash = Fnv1a(&c, sizeof(c), hash);
        return hash;
    }
};

// Containers start with 8 buckets and keep a load factor of at most 1.0.
inline constexpr size_t kInitialBuckets = 8;

template <class Key, class Value>
class FnvMap : public std::unordered_map<Key, Value, FnvHash> {
public:
    FnvMap() : std::unordered_map<Key, Value, FnvHash>(kInitialBuckets) {
        this->max_load_factor(1.0f);
    }
};

template <class Key>
class FnvSet : public std::unordered_set<Key, FnvHash> {
public:
    FnvSet() : std::unordered_set<Key, FnvHash>(kInitialBuckets) { this->max_load_factor(1.0f); }
    // Empties the set and gives its buckets back.
    void Reset() {
        this->clear();
        this->rehash(kInitialBuckets);
    }
};

}  // namespace ravlin
