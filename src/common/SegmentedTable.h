// Tables indexed by node id: 1024 segment pointers; segments of 2000, 8000, 40000 and then
// 100000 ids each, created on first use. Ids from 102,150,000 on have no place.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/Memory.h"

namespace ravlin {

inline constexpr uint32_t kSegmentCount = 1024;
inline constexpr uint32_t kSegmentedIdLimit = 102150000;

struct SegmentPlace {
    uint32_t segment;
    uint32_t index;
};

inline constexpr uint32_t SegmentFirstId(uint32_t segment) {
    return segment == 0 ? 0 : segment == 1 ? 2000 : segment == 2 ? 10000
                                                                 : 50000 + 100000 * (segment - 3);
}

inline constexpr uint32_t SegmentSize(uint32_t segment) {
    return segment == 0 ? 2000 : segment == 1 ? 8000 : segment == 2 ? 40000 : 100000;
}

// False when the id lies beyond the last segment.
inline bool PlaceOfId(uint32_t id, SegmentPlace& place) {
    if (id < 2000) {
        place = {0, id};
    } else if (id < 10000) {
        place = {1, id - 2000};
    } else if (id < 50000) {
        place = {2, id - 10000};
    } else {
        uint32_t k = (id - 50000) / 100000;
        if (3 + k >= kSegmentCount) return false;
        place = {3 + k, (id - 50000) % 100000};
    }
    return true;
}

// Segments never move once created, so element addresses stay stable. Slots are constructed
// on demand up to the highest index asked for, so a large segment costs only what is used.
// Slots are constructed by one writer; readers on other threads look up ids the writer
// published. Segment memory may be made and faulted in ahead by another thread.
template <class T>
class SegmentedTable {
public:
    SegmentedTable() {
        for (auto& s : segments_) s.store(nullptr, std::memory_order_relaxed);
        for (auto& c : constructed_) c.store(0, std::memory_order_relaxed);
    }
    ~SegmentedTable() {
        for (uint32_t s = 0; s < kSegmentCount; ++s) {
            T* segment = segments_[s].load(std::memory_order_relaxed);
            if (!segment) continue;
            uint32_t made = constructed_[s].load(std::memory_order_relaxed);
            for (uint32_t i = 0; i < made; ++i) segment[i].~T();
            platform::FreeLarge(segment, sizeof(T) * SegmentSize(s));
        }
    }
    SegmentedTable(const SegmentedTable&) = delete;
    SegmentedTable& operator=(const SegmentedTable&) = delete;

    // The slot of `id`, or null when it has not been made yet or the id has no place.
    T* Find(uint32_t id) const {
        SegmentPlace place;
        if (!PlaceOfId(id, place)) return nullptr;
        if (place.index >= constructed_[place.segment].load(std::memory_order_acquire))
            return nullptr;
        return segments_[place.segment].load(std::memory_order_acquire) + place.index;
    }

    // The slot of `id`, creating its segment; null only when the id has no place.
    T* Obtain(uint32_t id) {
        SegmentPlace place;
        if (!PlaceOfId(id, place)) return nullptr;
        uint32_t made = constructed_[place.segment].load(std::memory_order_relaxed);
        if (place.index < made) return segments_[place.segment].load(std::memory_order_relaxed) + place.index;
        T* segment = Reserve(place.segment);
        if (!segment) throw std::bad_alloc();
        for (uint32_t i = made; i <= place.index; ++i) new (segment + i) T();
        constructed_[place.segment].store(place.index + 1, std::memory_order_release);
        return segment + place.index;
    }

    // Faults in the memory of the slots of ids [first, end), so that the writer later finds
    // it present. Any thread may call this while the writer works; it constructs nothing.
    void Prefault(uint32_t first, uint32_t end) {
        SegmentPlace place;
        while (first < end && PlaceOfId(first, place)) {
            uint32_t count = std::min(end - first, SegmentSize(place.segment) - place.index);
            T* segment = Reserve(place.segment);
            if (!segment) return;
            platform::Prefault(segment + place.index, sizeof(T) * count);
            first += count;
        }
    }

    T* Segment(uint32_t segment) const {
        return segment < kSegmentCount ? segments_[segment].load(std::memory_order_acquire)
                                       : nullptr;
    }
    // Slots of a segment made so far.
    uint32_t Constructed(uint32_t segment) const {
        return segment < kSegmentCount ? constructed_[segment].load(std::memory_order_acquire) : 0;
    }

    // Calls f(id, slot) for every existing slot with an id below `limit`, in id order.
    template <class F>
    void ForEachBelow(uint32_t limit, F&& f) const {
        for (uint32_t s = 0; s < kSegmentCount; ++s) {
            uint32_t first = SegmentFirstId(s);
            if (first >= limit) break;
            T* segment = Segment(s);
            if (!segment) continue;
            uint32_t count = limit - first < SegmentSize(s) ? limit - first : SegmentSize(s);
            uint32_t made = Constructed(s);
            if (count > made) count = made;
            for (uint32_t i = 0; i < count; ++i) f(first + i, segment[i]);
        }
    }

private:
    // The memory of a segment, made on first use by whichever thread comes first.
    T* Reserve(uint32_t index) {
        T* segment = segments_[index].load(std::memory_order_acquire);
        if (segment) return segment;
        void* memory = platform::AllocateLarge(sizeof(T) * SegmentSize(index));
        if (!memory) return nullptr;
        if (segments_[index].compare_exchange_strong(segment, static_cast<T*>(memory),
                                                     std::memory_order_acq_rel)) {
            return static_cast<T*>(memory);
        }
        platform::FreeLarge(memory, sizeof(T) * SegmentSize(index));
        return segment;
    }

    std::array<std::atomic<T*>, kSegmentCount> segments_;
    std::array<std::atomic<uint32_t>, kSegmentCount> constructed_;
};

}  // namespace ravlin
