// Builds NTFS file records byte by byte, for decoder tests and synthetic volumes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/Bytes.h"
#include "platform/Text.h"

namespace ravlin::test {

// Mapping pairs for runs of (cluster, length); cluster -1 makes a sparse run.
inline std::vector<uint8_t> EncodeRuns(const std::vector<std::pair<int64_t, uint64_t>>& runs) {
    std::vector<uint8_t> out;
    int64_t previous = 0;
    auto unsignedBytes = [](uint64_t v) {
        std::vector<uint8_t> b;
        do {
            b.push_back(static_cast<uint8_t>(v));
            v >>= 8;
        } while (v != 0);
        return b;
    };
    auto signedBytes = [](int64_t v) {
        std::vector<uint8_t> b;
        for (;;) {
            b.push_back(static_cast<uint8_t>(v & 0xFF));
            v >>= 8;
            bool top = (b.back() & 0x80) != 0;
            if ((v == 0 && !top) || (v == -1 && top)) return b;
        }
    };
    for (auto [cluster, length] : runs) {
        auto len = unsignedBytes(length);
        std::vector<uint8_t> off;
        if (cluster >= 0) {
            off = signedBytes(cluster - previous);
            previous = cluster;
        }
        out.push_back(static_cast<uint8_t>(len.size() | (off.size() << 4)));
        out.insert(out.end(), len.begin(), len.end());
        out.insert(out.end(), off.begin(), off.end());
    }
    out.push_back(0);
    return out;
}

class RecordBuilder {
public:
    explicit RecordBuilder(uint32_t number, uint16_t flags = 1) : number_(number), flags_(flags) {}

    RecordBuilder& StandardInformation(uint64_t created, uint64_t modified, uint32_t attributes) {
        std::vector<uint8_t> v(72, 0);
        StoreLE64(&v[0], created);
        StoreLE64(&v[8], modified);
        StoreLE32(&v[32], attributes);
        return Resident(0x10, v);
    }
    RecordBuilder& FileName(uint32_t parent, const std::wstring& name, uint8_t ns = 1,
                            uint64_t realSize = 0) {
        std::u16string units = platform::WideToUtf16(name);
        std::vector<uint8_t> v(66 + 2 * units.size(), 0);
        StoreLE64(&v[0], parent | (uint64_t{1} << 48));
        StoreLE64(&v[48], realSize);
        v[64] = static_cast<uint8_t>(units.size());
        v[65] = ns;
        for (size_t i = 0; i < units.size(); ++i) StoreLE16(&v[66 + 2 * i], units[i]);
        return Resident(0x30, v);
    }
    RecordBuilder& ResidentData(const std::vector<uint8_t>& data) { return Resident(0x80, data); }
    RecordBuilder& NonResident(uint32_t type, const std::vector<uint8_t>& pairs, uint64_t realSize,
                               uint64_t firstVcn = 0) {
        std::vector<uint8_t> a(64 + ((pairs.size() + 7) & ~size_t{7}), 0);
        StoreLE32(&a[0], type);
        StoreLE32(&a[4], static_cast<uint32_t>(a.size()));
        a[8] = 1;
        StoreLE64(&a[16], firstVcn);
        StoreLE16(&a[32], 64);
        StoreLE64(&a[40], realSize);
        StoreLE64(&a[48], realSize);
        StoreLE64(&a[56], realSize);
        std::copy(pairs.begin(), pairs.end(), a.begin() + 64);
        attributes_.push_back(a);
        return *this;
    }
    RecordBuilder& Resident(uint32_t type, const std::vector<uint8_t>& value) {
        std::vector<uint8_t> a(24 + ((value.size() + 7) & ~size_t{7}), 0);
        StoreLE32(&a[0], type);
        StoreLE32(&a[4], static_cast<uint32_t>(a.size()));
        StoreLE32(&a[16], static_cast<uint32_t>(value.size()));
        StoreLE16(&a[20], 24);
        std::copy(value.begin(), value.end(), a.begin() + 24);
        attributes_.push_back(a);
        return *this;
    }
    RecordBuilder& Raw(const std::vector<uint8_t>& attribute) {
        attributes_.push_back(attribute);
        return *this;
    }
    RecordBuilder& Base(uint64_t base) {
        base_ = base;
        return *this;
    }

    // A 1024-byte record with its update-sequence array applied, as it lies on disk.
    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> r(1024, 0);
        std::copy_n("FILE", 4, r.begin());
        StoreLE16(&r[4], 48);  // update sequence at 48, 3 entries
        StoreLE16(&r[6], 3);
        StoreLE16(&r[16], 1);
        StoreLE16(&r[18], 1);
        StoreLE16(&r[20], 56);
        StoreLE16(&r[22], flags_);
        StoreLE32(&r[28], 1024);
        StoreLE64(&r[32], base_);
        StoreLE32(&r[44], number_);
        size_t at = 56;
        for (const auto& a : attributes_) {
            if (at + a.size() + 8 > 1024) break;
            std::copy(a.begin(), a.end(), r.begin() + static_cast<long>(at));
            at += a.size();
        }
        StoreLE32(&r[at], 0xFFFFFFFF);
        StoreLE32(&r[24], static_cast<uint32_t>(at + 8));
        // Protect each 512-byte block's last two bytes with the sequence number 7.
        StoreLE16(&r[48], 7);
        for (int i = 1; i <= 2; ++i) {
            size_t last = static_cast<size_t>(i) * 512 - 2;
            r[48 + 2 * i] = r[last];
            r[49 + 2 * i] = r[last + 1];
            StoreLE16(&r[last], 7);
        }
        return r;
    }

private:
    uint32_t number_;
    uint16_t flags_;
    uint64_t base_ = 0;
    std::vector<std::vector<uint8_t>> attributes_;
};

}  // namespace ravlin::test
