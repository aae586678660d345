// What the parser tests share: a disk of noise to plant files in, and checks of the items the
// carving loop made.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "carve/Drive.h"
#include "carve/Registry.h"
#include "platform/Text.h"

namespace ravlin::test {

// A disk of random bytes (from `seed`) whose sectors each begin with a zero, so that nothing in
// it starts a file by chance.
struct NoiseDisk : Drive {
    NoiseDisk(uint64_t blocks, uint32_t seed) : Drive(GetParserRegistry(), blocks) {
        std::mt19937 rng(seed);
        for (auto& b : disk) b = static_cast<uint8_t>(rng());
        for (size_t at = 0; at < disk.size(); at += 512) disk[at] = 0;
    }
};

// The status of the last item made at `sector`; 255 when there is none.
inline uint32_t StatusAt(const Drive& d, uint64_t sector) {
    auto item = d.At(sector);
    return item ? uint32_t{item->status} : 255;
}

inline void CheckCarved(const Drive& d, uint64_t sector, uint32_t type, uint64_t size) {
    auto item = d.At(sector);
    ASSERT_TRUE(item) << "nothing at " << sector;
    EXPECT_EQ(uint32_t{item->typeId}, type);
    EXPECT_EQ(uint32_t{item->status}, kParseComplete);
    EXPECT_EQ(uint64_t{item->size}, size);
}

// A creation-info field as UTF-8.
inline std::string Field(const char16_t* text, size_t n) {
    size_t len = std::char_traits<char16_t>::length(text);
    return platform::WideToUtf8(platform::Utf16ToWide(text, len < n ? len : n));
}

}  // namespace ravlin::test
