#include "core/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string_view>
#include <vector>

namespace vc = vantrell_core::crc32;

static std::span<const std::uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32, CheckValueAndEmpty) {
    EXPECT_EQ(vc::of(bytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(vc::of({}), 0u);
}

TEST(Crc32, TablesFollowTheirRecurrence) {
    EXPECT_EQ(vc::TABLES[0][1], 0x77073096u);
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            ASSERT_EQ(vc::TABLES[k][i],
                      vc::TABLES[0][vc::TABLES[k - 1][i] & 0xFF] ^ (vc::TABLES[k - 1][i] >> 8));
}

TEST(Crc32, MatchesZlibForEveryLengthAndSplit) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(300);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (std::size_t len = 0; len <= data.size(); ++len) {
        std::span<const std::uint8_t> s(data.data(), len);
        const auto want = static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(len)));
        ASSERT_EQ(vc::of(s), want) << len;
        const std::size_t cut = len / 3;
        ASSERT_EQ(vc::update(vc::update(0, s.first(cut)), s.subspan(cut)), want) << len;
    }
}

TEST(Crc32, MatchesZlibAtEveryAlignment) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(4096 + 16);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (std::size_t off = 0; off < 9; ++off) {
        for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 4096u}) {
            const auto want = static_cast<std::uint32_t>(::crc32(0L, data.data() + off, static_cast<uInt>(n)));
            EXPECT_EQ(vc::of({data.data() + off, n}), want) << off << " " << n;
        }
    }
}

// Two ranges stepped through together give each its own CRC, whichever is
// longer and however the two end within a step.
TEST(Crc32, PairMatchesZlibForEveryPairOfLengths) {
    std::mt19937 rng(11);
    std::vector<std::uint8_t> data(8192);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const auto zlib = [&](std::size_t off, std::size_t n) {
        return static_cast<std::uint32_t>(::crc32(0L, data.data() + off, static_cast<uInt>(n)));
    };
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 16u, 23u, 64u, 1000u, 4096u}) {
        for (std::size_t m : {0u, 3u, 8u, 15u, 17u, 64u, 999u, 4000u}) {
            const auto [a, b] = vc::of_pair({data.data() + 1, n}, {data.data() + 4099, m});
            EXPECT_EQ(a, zlib(1, n)) << n << " " << m;
            EXPECT_EQ(b, zlib(4099, m)) << n << " " << m;
        }
    }
}
