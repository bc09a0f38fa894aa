// Name lookup by position: an open-addressing table of indices into a list
// the owner keeps (ZIP entries, package parts), so indexing a list of n names
// allocates once instead of copying every name into a node of its own. The
// table holds no pointers and stays valid when its owner is moved or copied.
//
// `Traits` supplies `hash(name)` and `equal(a, b)`: exact (`Exact`) or
// ignoring ASCII case (`AsciiCaseless`, and `PartName` for names with a
// leading "/"), the only case folding part names get. A hash folds exactly
// what its `equal` ignores: equal names must hash alike, and names merged
// before keying (case variants under a case-folded hash, were the comparison
// exact) would share one full hash whatever the key, each compared with all
// before it. The hashes are keyed per process (core/hash.h), so a file cannot
// choose distinct names that pile up in one run of slots; names the table
// counts as equal stop at the first of them, as repeats.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "core/hash.h"

namespace vantrell_core::name_index {

struct Exact {
    static std::uint64_t hash(std::string_view s) noexcept { return hash::bytes(s); }
    static bool equal(std::string_view a, std::string_view b) noexcept { return a == b; }
};

// ASCII letters of one 8-byte word lower-cased, the other bytes untouched.
inline std::uint64_t lower_word(std::uint64_t w) noexcept {
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    constexpr std::uint64_t HIGH = 0x8080808080808080ULL;
    const std::uint64_t low7 = w & ~HIGH;
    const std::uint64_t ge_a = low7 + ONES * (0x80 - 'A'); // high bit: byte >= 'A'
    const std::uint64_t gt_z = low7 + ONES * (0x7F - 'Z'); // high bit: byte > 'Z'
    const std::uint64_t upper = ge_a & ~gt_z & ~w & HIGH;
    return w | (upper >> 2);
}

inline char lower_char(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

struct AsciiCaseless {
    // The keyed hash of the name with its ASCII letters lower-cased, whole
    // words at a time.
    static std::uint64_t hash(std::string_view s) noexcept { return hash::words(s, lower_word); }
    static bool equal(std::string_view a, std::string_view b) noexcept {
        if (a.size() != b.size()) return false;
        std::size_t i = 0;
        for (; a.size() - i >= 8; i += 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a.data() + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            if (x != y && lower_word(x) != lower_word(y)) return false;
        }
        for (; i < a.size(); ++i)
            if (lower_char(a[i]) != lower_char(b[i])) return false;
        return true;
    }
};

// Part names, "/" and an item name, ignoring ASCII case, hashed as the item
// name alone, so a part can be hashed from its item name without building
// its part name.
struct PartName : AsciiCaseless {
    static std::uint64_t hash(std::string_view s) noexcept {
        if (s.starts_with('/')) s.remove_prefix(1);
        return AsciiCaseless::hash(s);
    }
};

template <class Traits>
class Index {
public:
    // Indexes names 0..count-1 of `name_of(i)`; the first of equal names is
    // kept, and `on_repeat(i)` is told of every later one.
    template <class NameOf, class OnRepeat>
    void build(std::size_t count, NameOf name_of, OnRepeat on_repeat) {
        build(count, name_of, [&](std::size_t i) { return Traits::hash(name_of(i)); }, on_repeat);
    }

    // The same with each name's hash given: `hash_of(i)` must equal
    // Traits::hash(name_of(i)).
    template <class NameOf, class HashOf, class OnRepeat>
    void build(std::size_t count, NameOf name_of, HashOf hash_of, OnRepeat on_repeat) {
        slots_.assign(std::bit_ceil(count * 2 + 2), 0);
        hashes_.resize(slots_.size());
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view name = name_of(i);
            const std::uint64_t h = hash_of(i);
            std::size_t s = static_cast<std::size_t>(h) & mask;
            for (;; s = (s + 1) & mask) {
                if (slots_[s] == 0) {
                    slots_[s] = i + 1;
                    hashes_[s] = h;
                    break;
                }
                if (hashes_[s] == h && Traits::equal(name_of(slots_[s] - 1), name)) {
                    on_repeat(i);
                    break;
                }
            }
        }
    }

    // Nothing has been built.
    bool empty() const noexcept { return slots_.empty(); }

    template <class NameOf>
    std::optional<std::size_t> find(std::string_view name, NameOf name_of) const {
        if (slots_.empty()) return std::nullopt;
        const std::size_t mask = slots_.size() - 1;
        const std::uint64_t h = Traits::hash(name);
        for (std::size_t s = static_cast<std::size_t>(h) & mask; slots_[s] != 0; s = (s + 1) & mask)
            if (hashes_[s] == h && Traits::equal(name_of(slots_[s] - 1), name)) return slots_[s] - 1;
        return std::nullopt;
    }

private:
    std::vector<std::size_t> slots_;   // index + 1; 0 is an empty slot
    std::vector<std::uint64_t> hashes_;
};

} // namespace vantrell_core::name_index
