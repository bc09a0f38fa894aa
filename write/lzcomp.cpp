#include "write/lzcomp.h"

#include <algorithm>
#include <array>

namespace vantrell_write::lzcomp {

namespace {

// Scanning further back in a bucket rarely finds a better copy and would make
// long runs of a common byte pair quadratic.
constexpr std::size_t BUCKET_LIMIT = 256;
// Literal costs of longer matches are extrapolated from this many bytes.
constexpr std::size_t LITERAL_SPAN = 32;
constexpr unsigned MAIN_SYMBOLS_MIN = 257, MAIN_SYMBOLS_MAX = 511;

unsigned octal_digits(std::size_t v) {
    unsigned d = 1;
    while (v >= 8) {
        v >>= 3;
        ++d;
    }
    return d;
}

// Base-4 digits of a copy length, most significant first, every digit but the
// last marked "more follows" by adding 4.
unsigned length_digits(std::size_t value, std::array<unsigned, 16>& out) {
    std::array<unsigned, 16> rev{};
    unsigned n = 0;
    do {
        rev[n++] = static_cast<unsigned>(value & 3);
        value >>= 2;
    } while (value != 0 && n < rev.size());
    for (unsigned i = 0; i < n; ++i) out[i] = rev[n - 1 - i] + (i + 1 < n ? 4 : 0);
    return n;
}

} // namespace

std::vector<std::uint8_t> preload() {
    std::vector<std::uint8_t> out;
    out.reserve(PRELOAD_SIZE);
    for (unsigned a = 0; a < 32; ++a)
        for (unsigned b = 0; b < 96; ++b) {
            out.push_back(static_cast<std::uint8_t>(a));
            out.push_back(static_cast<std::uint8_t>(b));
        }
    for (unsigned v = 0; v < 256; ++v) out.insert(out.end(), 4, static_cast<std::uint8_t>(v));
    return out;
}

unsigned distance_digits(std::size_t m) {
    unsigned k = 1;
    std::size_t reach = 8;
    while (reach < m) {
        reach *= 8;
        ++k;
    }
    return k;
}

// ---- bit writer ----

void BitWriter::put(unsigned bit) {
    acc_ = (acc_ << 1) | (bit & 1);
    if (++nbits_ == 8) {
        out_.push_back(static_cast<std::uint8_t>(acc_));
        acc_ = 0;
        nbits_ = 0;
    }
}

void BitWriter::put_bits(std::uint32_t value, unsigned count) {
    while (count-- > 0) put((value >> count) & 1);
}

std::vector<std::uint8_t> BitWriter::finish() {
    if (nbits_ > 0) out_.push_back(static_cast<std::uint8_t>(acc_ << (8 - nbits_)));
    acc_ = 0;
    nbits_ = 0;
    return std::move(out_);
}

// ---- adaptive Huffman coder ----

Huffman::Huffman(unsigned n) : n_(n), nodes_(2 * std::size_t{n}), leaf_(n) {
    for (std::uint32_t i = 1; i < n; ++i) {
        nodes_[i].left = 2 * i;
        nodes_[i].right = 2 * i + 1;
    }
    for (unsigned s = 0; s < n; ++s) {
        Node& leaf = nodes_[n + s];
        leaf.leaf = true;
        leaf.symbol = static_cast<std::uint16_t>(s);
        leaf.weight = 1;
        leaf_[s] = n + s;
    }
    for (std::uint32_t i = 2; i < 2 * n; ++i) nodes_[i].parent = i / 2;
    sum_weights(1);

    if (n >= MAIN_SYMBOLS_MIN && n <= MAIN_SYMBOLS_MAX) {
        // Copies and the two-back repeat are common from the start.
        update(leaf_[256]);
        update(leaf_[257]);
        for (int i = 0; i < 12; ++i) update(leaf_[n - 3]);
        for (int i = 0; i < 6; ++i) update(leaf_[n - 2]);
    } else {
        for (int round = 0; round < 2; ++round)
            for (unsigned s = 0; s < n; ++s) update(leaf_[s]);
    }
}

std::uint32_t Huffman::sum_weights(std::uint32_t node) {
    // Only called on the initial complete tree, whose depth is log2(n).
    Node& nd = nodes_[node];
    if (!nd.leaf) nd.weight = sum_weights(nd.left) + sum_weights(nd.right);
    return nd.weight;
}

void Huffman::relink(std::uint32_t node) {
    const Node& nd = nodes_[node];
    if (nd.leaf) {
        leaf_[nd.symbol] = node;
    } else {
        nodes_[nd.left].parent = node;
        nodes_[nd.right].parent = node;
    }
}

void Huffman::update(std::uint32_t node) {
    while (node != 1) {
        const std::uint32_t w = nodes_[node].weight;
        if (nodes_[node - 1].weight == w) {
            std::uint32_t m = node - 1;
            while (m > 1 && nodes_[m - 1].weight == w) --m;
            if (m != 1) {
                Node& a = nodes_[node];
                Node& b = nodes_[m];
                std::swap(a.leaf, b.leaf);
                std::swap(a.symbol, b.symbol);
                std::swap(a.left, b.left);
                std::swap(a.right, b.right);
                std::swap(a.weight, b.weight);
                relink(node);
                relink(m);
                node = m;
            }
        }
        ++nodes_[node].weight;
        node = nodes_[node].parent;
    }
    ++nodes_[1].weight;
}

void Huffman::write(BitWriter& bits, unsigned symbol) {
    // The code is the path root to leaf; collect it leaf first. Depth is
    // bounded by the node count.
    std::array<std::uint8_t, 1024> path{};
    std::size_t depth = 0;
    for (std::uint32_t node = leaf_[symbol]; node != 1 && depth < path.size();) {
        const std::uint32_t parent = nodes_[node].parent;
        path[depth++] = nodes_[parent].right == node ? 1 : 0;
        node = parent;
    }
    while (depth > 0) bits.put(path[--depth]);
    update(leaf_[symbol]);
}

std::int64_t Huffman::cost(unsigned symbol) const {
    std::int64_t depth = 0;
    for (std::uint32_t node = leaf_[symbol]; node != 1; node = nodes_[node].parent) ++depth;
    return depth * COST_ONE_BIT;
}

// ---- encoder ----

Encoder::Encoder(std::span<const std::uint8_t> data, bool run_length)
    : window_(preload()),
      m_(data.size()),
      k_(distance_digits(data.size())),
      max_dist_(std::size_t{1} << (3 * k_)),
      buckets_(65536),
      main_(259 + 8 * k_),
      len_(8),
      dist_(8) {
    window_.insert(window_.end(), data.begin(), data.end());
    for (std::size_t pos = 0; pos + 1 < PRELOAD_SIZE; ++pos) insert(pos);
    bits_.put(run_length ? 1 : 0);
}

void Encoder::insert(std::size_t pos) {
    if (pos + 1 >= window_.size()) return;
    buckets_[window_[pos] * 256u + window_[pos + 1]].push_back(static_cast<std::uint32_t>(pos));
}

std::int64_t Encoder::length_cost(std::size_t len, std::size_t dist, unsigned digits) const {
    const std::size_t value = dist < 512 ? (len >= 2 ? len - 2 : 0) : (len >= 3 ? len - 3 : 0);
    std::array<unsigned, 16> ld{};
    const unsigned n = length_digits(value, ld);
    std::int64_t cost = main_.cost(256 + 8 * (digits - 1) + ld[0]);
    for (unsigned i = 1; i < n; ++i) cost += len_.cost(ld[i]);
    return cost;
}

std::int64_t Encoder::distance_cost(std::size_t dist, unsigned digits) const {
    std::int64_t cost = 0;
    const std::size_t v = dist - 1;
    for (unsigned i = digits; i-- > 0;) cost += dist_.cost(static_cast<unsigned>((v >> (3 * i)) & 7));
    return cost;
}

Match Encoder::find_match(std::size_t pos) {
    Match best;
    const std::size_t size = window_.size();
    if (pos + 1 >= size) return best;

    // Literal costs of the bytes from pos: every candidate matches a prefix of
    // them, so the sums are shared.
    const std::size_t span = std::min(LITERAL_SPAN, size - pos);
    std::array<std::int64_t, LITERAL_SPAN + 1> prefix{};
    for (std::size_t i = 0; i < span; ++i) prefix[i + 1] = prefix[i] + literal_cost(window_[pos + i]);

    std::vector<std::uint32_t>& bucket = buckets_[window_[pos] * 256u + window_[pos + 1]];
    std::size_t best_len = 0, best_dist = 0;
    std::size_t seen = 0;
    for (std::size_t idx = bucket.size(); idx-- > 0;) {
        if (seen == BUCKET_LIMIT) {
            bucket.erase(bucket.begin(), bucket.begin() + static_cast<std::ptrdiff_t>(idx + 1));
            break;
        }
        ++seen;
        const std::size_t cand = bucket[idx];
        if (cand >= pos) continue;
        const std::size_t cap = std::min(size - pos, pos - cand);
        if (cap < 2) continue;
        std::size_t len = 0;
        while (len < cap && window_[cand + len] == window_[pos + len]) ++len;
        if (len < 2) continue;
        const std::size_t dist = pos - cand - len + 1;
        if (dist > max_dist_) continue;
        if (len == 2 && dist > 511) continue;
        if (len <= best_len && dist > best_dist &&
            (len + 2 <= best_len || (dist > 8 * best_dist && (len < best_len || dist > 16 * best_dist))))
            continue;

        std::int64_t literal;
        if (len <= LITERAL_SPAN) {
            literal = prefix[len];
        } else {
            literal = prefix[LITERAL_SPAN] +
                      (prefix[LITERAL_SPAN] / static_cast<std::int64_t>(LITERAL_SPAN)) *
                          static_cast<std::int64_t>(len - LITERAL_SPAN);
        }
        const unsigned digits = octal_digits(dist - 1);
        const std::int64_t lc = length_cost(len, dist, digits);
        if (literal > best.gain && literal - (lc + COST_ONE_BIT * digits) > best.gain) {
            const std::int64_t dc = distance_cost(dist, digits);
            const std::int64_t gain = literal - lc - dc;
            if (gain > best.gain) {
                best.length = len;
                best.distance = dist;
                best.gain = gain;
                best.cost_per_byte = (lc + dc) / static_cast<std::int64_t>(len);
                best_len = len;
                best_dist = dist;
            }
        }
    }
    return best;
}

void Encoder::write_copy(std::size_t len, std::size_t dist) {
    const unsigned digits = octal_digits(dist - 1);
    const std::size_t value = dist < 512 ? len - 2 : len - 3;
    std::array<unsigned, 16> ld{};
    const unsigned n = length_digits(value, ld);
    main_.write(bits_, 256 + 8 * (digits - 1) + ld[0]);
    for (unsigned i = 1; i < n; ++i) len_.write(bits_, ld[i]);
    const std::size_t v = dist - 1;
    for (unsigned i = digits; i-- > 0;) dist_.write(bits_, static_cast<unsigned>((v >> (3 * i)) & 7));
}

void Encoder::write_literal(std::size_t pos) {
    const std::uint8_t b = window_[pos];
    unsigned symbol = b;
    if (b == window_[pos - 2]) symbol = dup2_symbol(k_);
    else if (b == window_[pos - 4]) symbol = dup2_symbol(k_) + 1;
    else if (b == window_[pos - 6]) symbol = dup2_symbol(k_) + 2;
    main_.write(bits_, symbol);
}

std::vector<std::uint8_t> Encoder::encode() {
    bits_.put_bits(static_cast<std::uint32_t>(m_), 24);
    const std::size_t size = window_.size();
    std::size_t p = PRELOAD_SIZE;
    while (p < size) {
        const Match m = find_match(p);
        insert(p - 1);
        if (m.gain < 1) {
            write_literal(p++);
            continue;
        }
        const Match next = find_match(p + 1);
        const std::int64_t lit = literal_cost(window_[p]);
        if (next.gain >= m.gain &&
            m.cost_per_byte > (lit + static_cast<std::int64_t>(next.length) * next.cost_per_byte) /
                                  static_cast<std::int64_t>(next.length + 1)) {
            write_literal(p++);
            continue;
        }

        std::size_t len = m.length, dist = m.distance;
        if (len >= 4) {
            const Match a = find_match(p + len);
            if (a.length > 1) {
                const Match b = find_match(p + len - 1);
                // A distance one past the top of the coded range has no
                // symbol, so such a copy stays as found.
                if (b.length > a.length && b.cost_per_byte < a.cost_per_byte && dist + 1 <= max_dist_) {
                    const unsigned digits = octal_digits(dist - 1);
                    const std::int64_t c = length_cost(len - 1, dist + 1, digits) + distance_cost(dist, digits);
                    const auto al = static_cast<std::int64_t>(a.length);
                    const auto bl = static_cast<std::int64_t>(b.length);
                    const auto ml = static_cast<std::int64_t>(len);
                    if ((al * a.cost_per_byte + m.cost_per_byte * ml) / (al + ml) >
                        (c + b.cost_per_byte * bl) / (bl + ml - 1)) {
                        --len;
                        ++dist;
                    }
                }
            }
        }
        if (len == 2) {
            const std::int64_t dup = main_.cost(dup2_symbol(k_));
            if (window_[p] == window_[p - 2]) {
                if (dup + literal_cost(window_[p + 1]) < 2 * m.cost_per_byte) {
                    write_literal(p++);
                    continue;
                }
            } else if (window_[p + 1] == window_[p - 1] && dup + lit < 2 * m.cost_per_byte) {
                write_literal(p++);
                continue;
            }
        }
        write_copy(len, dist);
        for (std::size_t q = p; q + 1 < p + len; ++q) insert(q);
        p += len;
    }
    return bits_.finish();
}

// ---- packing ----

std::vector<std::uint8_t> run_length(std::span<const std::uint8_t> data) {
    std::array<std::size_t, 256> counts{};
    for (std::uint8_t b : data) ++counts[b];
    const auto escape = static_cast<std::uint8_t>(std::min_element(counts.begin(), counts.end()) - counts.begin());

    std::vector<std::uint8_t> out;
    out.reserve(data.size() + 1);
    out.push_back(escape);
    std::size_t i = 0;
    while (i < data.size()) {
        const std::uint8_t b = data[i];
        std::size_t run = 1;
        while (run < 255 && i + run < data.size() && data[i + run] == b) ++run;
        if (run >= 4) {
            out.push_back(escape);
            out.push_back(static_cast<std::uint8_t>(run));
            out.push_back(b);
            i += run;
            continue;
        }
        out.push_back(b);
        if (b == escape) out.push_back(0);
        ++i;
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> pack(std::span<const std::uint8_t> data) {
    if (data.size() > LARGEST_INPUT) return std::nullopt;
    if (!data.empty()) {
        std::vector<std::uint8_t> rle = run_length(data);
        if (rle.size() < 3 * data.size() / 4) return Encoder(rle, true).encode();
    }
    return Encoder(data, false).encode();
}

} // namespace vantrell_write::lzcomp
