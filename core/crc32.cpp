#include "core/crc32.h"

namespace vantrell_core::crc32 {

namespace {

// One slice-by-8 step: eight bytes folded into the running value `c`. The
// first four are combined by value, so the step reads alike on any byte
// order (the compiler makes it one load where the order allows).
inline std::uint32_t step(std::uint32_t c, const std::uint8_t* p) noexcept {
    const auto& t = TABLES;
    const std::uint32_t lo =
        c ^ (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
    return t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
           t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
}

// The rest of a range from a running value: whole steps, then the tail byte
// by byte. The running value is the complement of the CRC.
inline std::uint32_t finish(std::uint32_t c, const std::uint8_t* p, std::size_t n) noexcept {
    for (; n >= 8; n -= 8, p += 8) c = step(c, p);
    for (; n != 0; --n, ++p) c = TABLES[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return c;
}

} // namespace

std::uint32_t update(std::uint32_t crc, std::span<const std::uint8_t> data) noexcept {
    return ~finish(~crc, data.data(), data.size());
}

std::pair<std::uint32_t, std::uint32_t> of_pair(std::span<const std::uint8_t> a,
                                                std::span<const std::uint8_t> b) noexcept {
    std::uint32_t ca = 0xFFFFFFFFu, cb = 0xFFFFFFFFu;
    const std::uint8_t* p = a.data();
    const std::uint8_t* q = b.data();
    std::size_t n = a.size(), m = b.size();
    for (; n >= 8 && m >= 8; n -= 8, m -= 8, p += 8, q += 8) {
        ca = step(ca, p);
        cb = step(cb, q);
    }
    return {~finish(ca, p, n), ~finish(cb, q, m)};
}

} // namespace vantrell_core::crc32
