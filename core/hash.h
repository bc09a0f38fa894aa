// Fast non-cryptographic hash for the reading library's maps.
//
// Keys are names read from packages (ZIP entry names, part names, relationship
// ids): short strings looked up often. A multiplicative hash over 8-byte words
// beats the standard library's byte-wise one several times on such keys. It
// is not seeded, so it must not guard a map whose keys an attacker chooses in
// bulk where collisions would cost more than the input's own size; the maps
// it serves hold at most one entry per record of the file they index.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "core/bytes.h"

namespace vantrell_core::hash {

inline constexpr std::uint64_t MULTIPLIER = 0x517cc1b727220a95ULL;

// Mixes one word into the state: rotate left by 5, xor, multiply.
constexpr std::uint64_t mix(std::uint64_t state, std::uint64_t word) noexcept {
    return (std::rotl(state, 5) ^ word) * MULTIPLIER;
}

// Hash of a byte string: whole 8-byte words (little-endian), then the tail as
// one 4-, 2- and 1-byte word each as needed, then the length as a last word:
// tail words are zero-extended, so without it "a" and "a\0" would collide.
inline std::uint64_t bytes(std::string_view s) noexcept {
    std::uint64_t h = 0;
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    std::size_t n = s.size();
    while (n >= 8) {
        h = mix(h, vantrell_core::bytes::load_le64(p));
        p += 8;
        n -= 8;
    }
    if (n >= 4) {
        h = mix(h, vantrell_core::bytes::load_le32(p));
        p += 4;
        n -= 4;
    }
    if (n >= 2) {
        h = mix(h, vantrell_core::bytes::load_le16(p));
        p += 2;
        n -= 2;
    }
    if (n >= 1) h = mix(h, *p);
    return mix(h, static_cast<std::uint64_t>(s.size()));
}

// Transparent hasher: a map keyed by std::string can be searched with a
// std::string_view without building a string.
struct Hasher {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return static_cast<std::size_t>(bytes(s));
    }
    std::size_t operator()(const std::string& s) const noexcept {
        return static_cast<std::size_t>(bytes(s));
    }
    std::size_t operator()(const char* s) const noexcept {
        return static_cast<std::size_t>(bytes(s));
    }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, Hasher, std::equal_to<>>;
using StringSet = std::unordered_set<std::string, Hasher, std::equal_to<>>;

} // namespace vantrell_core::hash
