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
