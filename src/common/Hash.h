// The one hasher of every hash container: 64-bit FNV-1a over the key's little-endian bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>
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

// An open-addressing map for integer keys on hot paths: one allocation for the whole table,
// linear probing, erase by backward shift (no tombstones), at most 3/4 full. The home slot
// comes from the top bits of the FNV-1a hash spread by a Fibonacci multiply.
template <class Key, class Value>
class FlatMap {
    static_assert(std::is_integral_v<Key>);

public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    Value* Find(Key key) {
        if (size_ == 0) return nullptr;
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            if (!used_[i]) return nullptr;
            if (keys_[i] == key) return &values_[i];
        }
    }
    const Value* Find(Key key) const { return const_cast<FlatMap*>(this)->Find(key); }
    bool Contains(Key key) const { return Find(key) != nullptr; }

    // The value for key, default-constructed when new; `inserted` tells which.
    Value& Obtain(Key key, bool* inserted = nullptr) {
        if ((size_ + 1) * 4 > Capacity() * 3) Grow();
        size_t i = Home(key);
        for (; used_[i]; i = (i + 1) & mask_) {
            if (keys_[i] == key) {
                if (inserted) *inserted = false;
                return values_[i];
            }
        }
        used_[i] = 1;
        keys_[i] = key;
        values_[i] = Value();
        ++size_;
        if (inserted) *inserted = true;
        return values_[i];
    }
    Value& operator[](Key key) { return Obtain(key); }

    bool Erase(Key key) {
        if (size_ == 0) return false;
        size_t i = Home(key);
        for (;; i = (i + 1) & mask_) {
            if (!used_[i]) return false;
            if (keys_[i] == key) break;
        }
        // Pull later members of the probe run back over the hole.
        for (size_t j = (i + 1) & mask_; used_[j]; j = (j + 1) & mask_) {
            size_t home = Home(keys_[j]);
            bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                keys_[i] = keys_[j];
                values_[i] = std::move(values_[j]);
                i = j;
            }
        }
        used_[i] = 0;
        values_[i] = Value();
        --size_;
        return true;
    }

    template <class F>
    void ForEach(F f) const {
        for (size_t i = 0; i < used_.size(); ++i)
            if (used_[i]) f(keys_[i], values_[i]);
    }
    template <class F>
    void ForEach(F f) {
        for (size_t i = 0; i < used_.size(); ++i)
            if (used_[i]) f(keys_[i], values_[i]);
    }

    // Empties the map and gives its memory back.
    void Reset() {
        keys_ = {};
        values_ = {};
        used_ = {};
        size_ = 0;
        mask_ = 0;
        shift_ = 64;
    }

private:
    size_t Capacity() const { return used_.size(); }
    size_t Home(Key key) const {
        uint64_t spread = FnvHash::Integer(key) * 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(spread >> shift_) & mask_;
    }
    void Grow() {
        size_t capacity = Capacity() ? Capacity() * 2 : kInitialBuckets;
        std::vector<Key> keys = std::move(keys_);
        std::vector<Value> values = std::move(values_);
        std::vector<uint8_t> used = std::move(used_);
        keys_.assign(capacity, Key());
        values_.clear();
        values_.resize(capacity);
        used_.assign(capacity, 0);
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        size_ = 0;
        for (size_t i = 0; i < used.size(); ++i) {
            if (!used[i]) continue;
            size_t j = Home(keys[i]);
            while (used_[j]) j = (j + 1) & mask_;
            used_[j] = 1;
            keys_[j] = keys[i];
            values_[j] = std::move(values[i]);
            ++size_;
        }
    }

    std::vector<Key> keys_;
    std::vector<Value> values_;
    std::vector<uint8_t> used_;
    size_t size_ = 0;
    size_t mask_ = 0;
    unsigned shift_ = 64;
};

// A set of integers in the same layout, remembering insertion order for iteration.
template <class Key>
class FlatSet {
public:
    size_t size() const { return order_.size(); }
    bool empty() const { return order_.empty(); }
    bool Contains(Key key) const { return index_.Contains(key); }
    // True when the key was new.
    bool Insert(Key key) {
        bool inserted = false;
        index_.Obtain(key, &inserted);
        if (inserted) order_.push_back(key);
        return inserted;
    }
    const std::vector<Key>& Members() const { return order_; }
    void Reset() {
        index_.Reset();
        order_ = {};
    }

private:
    struct Nothing {};
    FlatMap<Key, Nothing> index_;
    std::vector<Key> order_;
};

}  // namespace ravlin
