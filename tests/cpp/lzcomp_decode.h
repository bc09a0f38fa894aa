// Test-only LZCOMP decoder, written apart from the encoder so that a round
// trip checks the bit layout, the coders' adaptation and the copy arithmetic
// rather than agreeing with itself. Returns nullopt on any malformed block.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lzcomp_test {

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> in) : in_(in) {}
    bool bit(unsigned& out) {
        if (pos_ >= in_.size() * 8) return false;
        out = (in_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return true;
    }
    bool bits(unsigned count, std::uint32_t& out) {
        out = 0;
        for (unsigned i = 0; i < count; ++i) {
            unsigned b;
            if (!bit(b)) return false;
            out = (out << 1) | b;
        }
        return true;
    }
    std::size_t position() const { return pos_; }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
};

// Adaptive coder kept as flat arrays; the same tree discipline as the
// encoder's: root at 1, weights non-increasing with index, a node swapped
// with the first node of its weight class before its weight grows.
class Coder {
public:
    explicit Coder(unsigned n) : n_(n), w_(2 * n), par_(2 * n), l_(2 * n), r_(2 * n), sym_(2 * n, -1), leaf_(n) {
        for (unsigned i = 1; i < n; ++i) {
            l_[i] = 2 * i;
            r_[i] = 2 * i + 1;
        }
        for (unsigned s = 0; s < n; ++s) {
            sym_[n + s] = static_cast<int>(s);
            leaf_[s] = n + s;
            w_[n + s] = 1;
        }
        for (unsigned i = 2; i < 2 * n; ++i) par_[i] = i / 2;
        for (unsigned i = n - 1; i >= 1; --i) w_[i] = w_[l_[i]] + w_[r_[i]];
        if (n > 256) {
            bump(256);
            bump(257);
            for (int i = 0; i < 12; ++i) bump(n - 3);
            for (int i = 0; i < 6; ++i) bump(n - 2);
        } else {
            for (int t = 0; t < 2; ++t)
                for (unsigned s = 0; s < n; ++s) bump(s);
        }
    }

    bool read(BitReader& in, unsigned& symbol) {
        unsigned node = 1;
        while (sym_[node] < 0) {
            unsigned b;
            if (!in.bit(b)) return false;
            node = b ? r_[node] : l_[node];
        }
        symbol = static_cast<unsigned>(sym_[node]);
        bump(symbol);
        return true;
    }

private:
    void fix(unsigned node) {
        if (sym_[node] >= 0) {
            leaf_[static_cast<unsigned>(sym_[node])] = node;
        } else {
            par_[l_[node]] = node;
            par_[r_[node]] = node;
        }
    }
    void bump(unsigned symbol) {
        unsigned node = leaf_[symbol];
        while (node != 1) {
            unsigned lead = node;
            while (lead - 1 >= 1 && w_[lead - 1] == w_[node]) --lead;
            if (lead != node && lead != 1) {
                std::swap(w_[lead], w_[node]);
                std::swap(l_[lead], l_[node]);
                std::swap(r_[lead], r_[node]);
                std::swap(sym_[lead], sym_[node]);
                fix(lead);
                fix(node);
                node = lead;
            }
            ++w_[node];
            node = par_[node];
        }
        ++w_[1];
    }

    unsigned n_;
    std::vector<unsigned> w_, par_, l_, r_;
    std::vector<int> sym_;
    std::vector<unsigned> leaf_;
};

inline std::vector<std::uint8_t> window_preload() {
    std::vector<std::uint8_t> w;
    for (int a = 0; a < 32; ++a)
        for (int b = 0; b < 96; ++b) {
            w.push_back(static_cast<std::uint8_t>(a));
            w.push_back(static_cast<std::uint8_t>(b));
        }
    for (int v = 0; v < 256; ++v)
        for (int i = 0; i < 4; ++i) w.push_back(static_cast<std::uint8_t>(v));
    return w;
}

inline std::optional<std::vector<std::uint8_t>> undo_run_length(std::span<const std::uint8_t> in) {
    if (in.empty()) return std::vector<std::uint8_t>{};
    const std::uint8_t esc = in[0];
    std::vector<std::uint8_t> out;
    for (std::size_t i = 1; i < in.size();) {
        if (in[i] != esc) {
            out.push_back(in[i++]);
            continue;
        }
        if (i + 1 >= in.size()) return std::nullopt;
        const unsigned n = in[i + 1];
        if (n == 0) {
            out.push_back(esc);
            i += 2;
            continue;
        }
        if (i + 2 >= in.size()) return std::nullopt;
        out.insert(out.end(), n, in[i + 2]);
        i += 3;
    }
    return out;
}

// Decodes one block. `trailing_bits` receives how many bits followed the last
// symbol (must be padding, fewer than 8).
inline std::optional<std::vector<std::uint8_t>> decode(std::span<const std::uint8_t> block,
                                                       std::size_t* trailing_bits = nullptr) {
    BitReader in(block);
    unsigned rle;
    std::uint32_t m;
    if (!in.bit(rle) || !in.bits(24, m)) return std::nullopt;
    unsigned k = 1;
    std::uint64_t reach = 8;
    while (reach < m) {
        reach *= 8;
        ++k;
    }
    Coder main(259 + 8 * k), lens(8), dists(8);
    std::vector<std::uint8_t> w = window_preload();
    const std::size_t start = w.size();
    while (w.size() - start < m) {
        unsigned s;
        if (!main.read(in, s)) return std::nullopt;
        if (s < 256) {
            w.push_back(static_cast<std::uint8_t>(s));
        } else if (s >= 256 + 8 * k) {
            const std::size_t back = 2 * (s - (256 + 8 * k) + 1);
            w.push_back(w[w.size() - back]);
        } else {
            const unsigned digits = (s - 256) / 8 + 1;
            unsigned digit = (s - 256) % 8;
            std::uint64_t value = digit & 3;
            while (digit >= 4) {
                if (!lens.read(in, digit)) return std::nullopt;
                value = value * 4 + (digit & 3);
                if (value > (1u << 26)) return std::nullopt;
            }
            std::uint64_t dist = 0;
            for (unsigned i = 0; i < digits; ++i) {
                unsigned d;
                if (!dists.read(in, d)) return std::nullopt;
                dist = dist * 8 + d;
            }
            ++dist;
            const std::uint64_t len = value + (dist < 512 ? 2 : 3);
            if (dist + len - 1 > w.size()) return std::nullopt;
            const std::size_t src = w.size() - static_cast<std::size_t>(dist + len - 1);
            for (std::uint64_t i = 0; i < len; ++i) w.push_back(w[src + i]);
        }
    }
    if (w.size() - start != m) return std::nullopt;
    if (trailing_bits) *trailing_bits = block.size() * 8 - in.position();
    std::vector<std::uint8_t> out(w.begin() + static_cast<std::ptrdiff_t>(start), w.end());
    if (rle) return undo_run_length(out);
    return out;
}

} // namespace lzcomp_test
