// CRC-32 of ZIP (reflected, polynomial 0xEDB88320), slice-by-8.
//
// TABLES[0] is the byte-at-a-time table; entry i of TABLES[k+1] is
// TABLES[0][TABLES[k][i] & 0xFF] ^ (TABLES[k][i] >> 8), which lets the loop
// consume eight bytes per step with eight independent lookups.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace vantrell_core::crc32 {

using Table = std::array<std::uint32_t, 256>;

consteval std::array<Table, 8> make_tables() {
    std::array<Table, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
    return t;
}

inline constexpr std::array<Table, 8> TABLES = make_tables();

// Continues a CRC over more bytes. Start with 0; the result of one call is the
// `crc` of the next, so data may arrive in pieces.
std::uint32_t update(std::uint32_t crc, std::span<const std::uint8_t> data) noexcept;

inline std::uint32_t of(std::span<const std::uint8_t> data) noexcept { return update(0, data); }

// The CRC of each of two byte ranges, stepping through both at once: the
// steps of one do not wait on the other's, so the pair takes less time than
// two calls.
std::pair<std::uint32_t, std::uint32_t> of_pair(std::span<const std::uint8_t> a,
                                                std::span<const std::uint8_t> b) noexcept;

} // namespace vantrell_core::crc32
