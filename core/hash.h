// Keyed hash for every table whose keys come from a file.
//
// Keys are names read from packages (ZIP entry names, part names,
// relationship Ids, content-type keys) and ids the checker collects: short
// strings and numbers that a hostile file chooses in bulk. A table is only
// near linear if such keys cannot be made to share slots, so the hash is
// SipHash-1-3 under a 128-bit key drawn from the operating system's random
// source once per process: finding names that collide needs the key, which
// no file sees. (SipHash-1-3 is the reduced-round form that language
// runtimes use for exactly this job; no way is known to collide it without
// the key.)
//
// Why not something cheaper. The multiplicative hash this replaces, "rotate
// the state, xor a word, multiply by an odd constant", cannot be rescued by
// a seed and a finaliser: a difference in a word's top bit survives the
// multiply as the same single top bit whatever the state, the rotation moves
// it to bit 4, and a next word differing in bit 4 cancels it. Pairs of such
// blocks give 2^k names of one full 64-bit hash under every seed, and no
// finaliser can separate equal states. Keying must reach every word through
// a mix that is not linear in it, which is what the SipHash rounds do.
//
// Hashes differ from run to run: nothing may depend on hash order. The
// tables here hand back positions in the caller's own order, and no output
// walks a hash table.
#pragma once

#include <sys/random.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "core/bytes.h"

namespace vantrell_core::hash {

struct Key {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// SipHash with `C` rounds per word and `D` to finish.
template <int C, int D>
class SipRounds {
public:
    explicit SipRounds(const Key& k) noexcept
        : v0_(k.k0 ^ 0x736f6d6570736575ULL), v1_(k.k1 ^ 0x646f72616e646f6dULL),
          v2_(k.k0 ^ 0x6c7967656e657261ULL), v3_(k.k1 ^ 0x7465646279746573ULL) {}

    void absorb(std::uint64_t m) noexcept {
        v3_ ^= m;
        for (int i = 0; i < C; ++i) round();
        v0_ ^= m;
    }

    // `last` holds the message's last 0-7 bytes, its length in the top byte.
    std::uint64_t finish(std::uint64_t last) noexcept {
        absorb(last);
        v2_ ^= 0xff;
        for (int i = 0; i < D; ++i) round();
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

private:
    void round() noexcept {
        v0_ += v1_;
        v1_ = std::rotl(v1_, 13) ^ v0_;
        v0_ = std::rotl(v0_, 32);
        v2_ += v3_;
        v3_ = std::rotl(v3_, 16) ^ v2_;
        v0_ += v3_;
        v3_ = std::rotl(v3_, 21) ^ v0_;
        v2_ += v1_;
        v1_ = std::rotl(v1_, 17) ^ v2_;
        v2_ = std::rotl(v2_, 32);
    }

    std::uint64_t v0_, v1_, v2_, v3_;
};

using Sip = SipRounds<1, 3>;

// 128 bits from the kernel; should that fail (no getrandom, a sandbox that
// refuses it), the clock, the process id and an address, which still differ
// from one process to the next though an attacker on the machine could guess
// them.
inline Key draw_key() noexcept {
    std::uint8_t buf[16];
    std::size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = ::getrandom(buf + got, sizeof buf - got, 0);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    if (got == sizeof buf) return Key{bytes::load_le64(buf), bytes::load_le64(buf + 8)};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto wall = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    const auto here = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&got));
    Sip a(Key{now, here}), b(Key{wall, static_cast<std::uint64_t>(::getpid())});
    return Key{a.finish(wall), b.finish(now ^ here)};
}

// The process's key, drawn on first use.
inline const Key& key() noexcept {
    static const Key k = draw_key();
    return k;
}

// The `n` (< 8) bytes at `p`, little-endian and zero-extended, read by whole
// loads: a copy of a variable length would be a library call. Bytes before
// `p` may be read when `whole` says the string holds at least eight.
[[gnu::always_inline]] inline std::uint64_t tail_word(const char* p, std::size_t n, bool whole) noexcept {
    if (n == 0) return 0;
    if (whole) {
        std::uint64_t w;
        std::memcpy(&w, p + n - 8, 8);
        return w >> (64 - 8 * n);
    }
    if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return lo | static_cast<std::uint64_t>(hi) << (8 * (n - 4));
    }
    const auto at = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
    return at(0) | at(n / 2) << (8 * (n / 2)) | at(n - 1) << (8 * (n - 1));
}

// The keyed hash of `s` with `fold` applied to each little-endian word first
// (the tail zero-padded, so a fold must keep zero bytes zero).
template <class Fold>
[[gnu::always_inline]] inline std::uint64_t words(std::string_view s, Fold fold) noexcept {
    Sip sip(key());
    const char* p = s.data();
    std::size_t n = s.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        sip.absorb(fold(w));
    }
    const std::uint64_t tail = tail_word(p, n, s.size() >= 8);
    return sip.finish(fold(tail) | static_cast<std::uint64_t>(s.size()) << 56);
}

inline std::uint64_t bytes(std::string_view s) noexcept {
    return words(s, [](std::uint64_t w) { return w; });
}

// The keyed hash of a number, as of its eight little-endian bytes.
inline std::uint64_t number(std::uint64_t x) noexcept {
    Sip sip(key());
    sip.absorb(x);
    return sip.finish(std::uint64_t{8} << 56);
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

// For numbers read from a file: the standard library hashes an integer to
// itself, so ids chosen as multiples of the bucket count share one bucket.
struct NumberHasher {
    std::size_t operator()(std::uint64_t x) const noexcept { return static_cast<std::size_t>(number(x)); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, Hasher, std::equal_to<>>;
using StringSet = std::unordered_set<std::string, Hasher, std::equal_to<>>;

} // namespace vantrell_core::hash
