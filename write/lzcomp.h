// LZCOMP: the block compressor of compressed embedded fonts (encoding only).
//
// A block is a bit stream, most significant bit of each byte first: one bit
// telling whether the data went through the run-length pre-pass, the 24-bit
// length m of the coded data, then symbols of three adaptive Huffman coders
// (main: literals, copy heads and three short repeats; length digits;
// distance digits), padded with zero bits to a whole byte.
//
// The Lempel-Ziv window starts with a fixed 7168-byte preload, so short
// repeats and early copies always have a source. Every decision (copy or
// literal, shorten a copy or not) compares bit costs read from the coders as
// they stand at that moment; costs are in 1/65536 bit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vantrell_write::lzcomp {

inline constexpr std::size_t PRELOAD_SIZE = 7168;
// The block header holds the coded length in 24 bits.
inline constexpr std::size_t LARGEST_INPUT = (std::size_t{1} << 24) - 1;
inline constexpr std::int64_t COST_ONE_BIT = 65536;

// The 7168 bytes every window starts with.
std::vector<std::uint8_t> preload();

// Number of base-8 distance digits k for m coded bytes: the least k >= 1 with
// 8^k >= m.
unsigned distance_digits(std::size_t m);

struct Node {
    bool leaf = false;
    std::uint16_t symbol = 0;
    std::uint32_t parent = 0, left = 0, right = 0;
    std::uint32_t weight = 0;
};

class BitWriter {
public:
    void put(unsigned bit);
    void put_bits(std::uint32_t value, unsigned count); // most significant first
    std::vector<std::uint8_t> finish();

private:
    std::vector<std::uint8_t> out_;
    unsigned acc_ = 0, nbits_ = 0;
};

// Adaptive Huffman coder over `n` symbols. Node 1 is the root (index 0 is
// unused) and weights never increase with the index, which is what `update`
// keeps true by swapping a node with the first node of its weight class.
class Huffman {
public:
    explicit Huffman(unsigned n);

    unsigned symbols() const noexcept { return n_; }
    void write(BitWriter& bits, unsigned symbol);
    void update(std::uint32_t node);
    // Cost of coding `symbol` now: its leaf depth in bits, times 65536.
    std::int64_t cost(unsigned symbol) const;

    const std::vector<Node>& nodes() const noexcept { return nodes_; }
    std::uint32_t leaf_of(unsigned symbol) const { return leaf_[symbol]; }

private:
    void relink(std::uint32_t node);
    std::uint32_t sum_weights(std::uint32_t node);

    unsigned n_;
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> leaf_;
};

struct Match {
    std::size_t length = 0;
    std::size_t distance = 0; // coded distance D >= 1
    std::int64_t gain = 0;
    std::int64_t cost_per_byte = 0;
};

class Encoder {
public:
    Encoder(std::span<const std::uint8_t> data, bool run_length);

    std::vector<std::uint8_t> encode();

    Match find_match(std::size_t pos);
    std::int64_t length_cost(std::size_t len, std::size_t dist, unsigned digits) const;

private:
    std::int64_t literal_cost(std::uint8_t byte) const { return main_.cost(byte); }
    std::int64_t distance_cost(std::size_t dist, unsigned digits) const;
    void insert(std::size_t pos);
    void write_copy(std::size_t len, std::size_t dist);
    void write_literal(std::size_t pos);

    std::vector<std::uint8_t> window_;
    std::size_t m_;
    unsigned k_;
    std::size_t max_dist_; // 8^k
    std::vector<std::vector<std::uint32_t>> buckets_;
    Huffman main_, len_, dist_;
    BitWriter bits_;
};

// Code symbols of the main coder beyond the literals and copy heads.
inline unsigned dup2_symbol(unsigned k) { return 256 + 8 * k; }

// Code `data` as one block, with the run-length pre-pass when it pays.
// No result for inputs of 2^24 bytes or more.
std::optional<std::vector<std::uint8_t>> pack(std::span<const std::uint8_t> data);

// The run-length pre-pass alone: escape byte first, then the data with runs
// of 4..255 equal bytes as (escape, count, byte) and the escape byte as
// (escape, 0).
std::vector<std::uint8_t> run_length(std::span<const std::uint8_t> data);

} // namespace vantrell_write::lzcomp
