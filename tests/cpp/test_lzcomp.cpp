#include "write/lzcomp.h"

#include "lzcomp_decode.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace lz = vantrell_write::lzcomp;

using Bytes = std::vector<std::uint8_t>;

namespace {

// Data of several characters: the compressor's decisions differ a lot between
// random bytes, text and highly repetitive tables.
Bytes make_data(std::size_t n, int kind, std::mt19937& rng) {
    Bytes out(n);
    switch (kind) {
    case 0: // random bytes: nothing to find
        for (auto& b : out) b = static_cast<std::uint8_t>(rng());
        break;
    case 1: { // words from a small vocabulary: many copies at varied distances
        static const char* words[] = {"glyph ", "contour ", "point ", "the ", "font ", "a ", "hinting ", "\n"};
        std::size_t i = 0;
        while (i < n) {
            const char* w = words[rng() % 8];
            for (const char* c = w; *c && i < n; ++c) out[i++] = static_cast<std::uint8_t>(*c);
        }
        break;
    }
    case 2: // few symbols, runs of varied length: run-length pass and short repeats
        for (std::size_t i = 0; i < n;) {
            const auto b = static_cast<std::uint8_t>(rng() % 3);
            std::size_t run = 1 + rng() % 9;
            while (run-- && i < n) out[i++] = b;
        }
        break;
    case 3: // a short period with sparse noise: long copies near the distance limit
        for (std::size_t i = 0; i < n; ++i)
            out[i] = static_cast<std::uint8_t>((i % 7) * 31 + (rng() % 50 == 0 ? 1 : 0));
        break;
    default: // big-endian 16-bit values of a slowly varying sequence, like glyph data
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            const unsigned v = 500 + static_cast<unsigned>(i / 2 % 300) + rng() % 4;
            out[i] = static_cast<std::uint8_t>(v >> 8);
            out[i + 1] = static_cast<std::uint8_t>(v);
        }
        break;
    }
    return out;
}

void expect_round_trip(const Bytes& data, const std::string& what) {
    const auto block = lz::pack(data);
    ASSERT_TRUE(block.has_value()) << what;
    ASSERT_GE(block->size(), 4u) << what;
    std::size_t trailing = 99;
    const auto back = lzcomp_test::decode(*block, &trailing);
    ASSERT_TRUE(back.has_value()) << what;
    EXPECT_LT(trailing, 8u) << what << ": block has bytes past its last symbol";
    ASSERT_EQ(back->size(), data.size()) << what;
    EXPECT_TRUE(*back == data) << what;
}

} // namespace

TEST(Lzcomp, PreloadLayout) {
    const Bytes p = lz::preload();
    ASSERT_EQ(p.size(), lz::PRELOAD_SIZE);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2 * 95 + 1], 95);
    EXPECT_EQ(p[2 * 96], 1);   // next a
    EXPECT_EQ(p[6143], 95);    // last pair (31, 95)
    EXPECT_EQ(p[6142], 31);
    for (unsigned v = 0; v < 256; ++v)
        for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(p[6144 + 4 * v + i], v);
}

TEST(Lzcomp, DistanceDigitCount) {
    EXPECT_EQ(lz::distance_digits(0), 1u);
    EXPECT_EQ(lz::distance_digits(8), 1u);
    EXPECT_EQ(lz::distance_digits(9), 2u);
    EXPECT_EQ(lz::distance_digits(64), 2u);
    EXPECT_EQ(lz::distance_digits(65), 3u);
    EXPECT_EQ(lz::distance_digits(lz::LARGEST_INPUT), 8u);
}

TEST(Lzcomp, EmptyInputIsFourZeroBytes) {
    const auto block = lz::pack({});
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(*block, (Bytes{0, 0, 0, 0}));
}

TEST(Lzcomp, RunLengthPass) {
    const Bytes a(1000, 'A');
    EXPECT_EQ(lz::run_length(a),
              (Bytes{0x00, 0x00, 255, 'A', 0x00, 255, 'A', 0x00, 255, 'A', 0x00, 235, 'A'}));
    // Zero is the repeated byte, so the least frequent is 1.
    const Bytes z(1000, 0);
    EXPECT_EQ(lz::run_length(z), (Bytes{0x01, 0x01, 255, 0, 0x01, 255, 0, 0x01, 255, 0, 0x01, 235, 0}));
    // The escape byte itself is written as (escape, 0); runs below four stay literal.
    Bytes mixed;
    for (int v = 1; v < 256; ++v) mixed.push_back(static_cast<std::uint8_t>(v));
    mixed.insert(mixed.end(), {0, 7, 7, 7});
    mixed.insert(mixed.end(), 2, 1); // byte 1 now more frequent than 0
    const Bytes rl = lz::run_length(mixed);
    ASSERT_EQ(rl[0], 0);
    EXPECT_EQ(Bytes(rl.end() - 7, rl.end()), (Bytes{0, 0, 7, 7, 7, 1, 1}));
}

TEST(Lzcomp, HeaderCarriesFlagAndLength) {
    // 1000 equal bytes: the pass shrinks them to 13, so the flag is set and the
    // coded length is 13.
    const auto rle = lz::pack(Bytes(1000, 'A'));
    ASSERT_TRUE(rle.has_value());
    EXPECT_EQ((*rle)[0] >> 7, 1);
    const std::uint32_t m = (((*rle)[0] & 0x7Fu) << 17) | ((*rle)[1] << 9) | ((*rle)[2] << 1) | ((*rle)[3] >> 7);
    EXPECT_EQ(m, 13u);

    std::mt19937 rng(1);
    const Bytes noise = make_data(3000, 0, rng);
    const auto plain = lz::pack(noise);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ((*plain)[0] >> 7, 0);
    const std::uint32_t m2 =
        (((*plain)[0] & 0x7Fu) << 17) | ((*plain)[1] << 9) | ((*plain)[2] << 1) | ((*plain)[3] >> 7);
    EXPECT_EQ(m2, 3000u);
}

TEST(Lzcomp, SizeLimit) {
    EXPECT_FALSE(lz::pack(Bytes(std::size_t{1} << 24, 0)).has_value());
    const Bytes largest(lz::LARGEST_INPUT, 0);
    const auto block = lz::pack(largest);
    ASSERT_TRUE(block.has_value());
    const auto back = lzcomp_test::decode(*block);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == largest);
}

TEST(Lzcomp, HuffmanKeepsItsInvariantsAndCosts) {
    // A fresh 8-symbol coder after its bias: all leaves equal, depth 3.
    lz::Huffman small(8);
    for (unsigned s = 0; s < 8; ++s) EXPECT_EQ(small.cost(s), 3 * lz::COST_ONE_BIT);

    // The main coder starts biased towards the first copy symbols and DUP2.
    const unsigned n = 259 + 8 * 2;
    lz::Huffman coder(n);
    EXPECT_LT(coder.cost(n - 3), coder.cost('x'));

    std::mt19937 rng(3);
    lz::BitWriter bits;
    for (int i = 0; i < 20000; ++i) {
        const unsigned s = (rng() % 4 == 0) ? rng() % n : rng() % 12;
        coder.write(bits, s);
        if (i % 997 != 0) continue;
        const auto& nodes = coder.nodes();
        for (std::uint32_t j = 2; j < nodes.size(); ++j) {
            ASSERT_GE(nodes[j - 1].weight, nodes[j].weight) << "weights must not grow with the index";
            const auto& parent = nodes[nodes[j].parent];
            ASSERT_TRUE(parent.left == j || parent.right == j);
        }
        for (std::uint32_t j = 1; j < nodes.size(); ++j)
            if (!nodes[j].leaf) {
                ASSERT_EQ(nodes[j].weight, nodes[nodes[j].left].weight + nodes[nodes[j].right].weight);
            }
        for (unsigned s2 = 0; s2 < n; ++s2) ASSERT_EQ(nodes[coder.leaf_of(s2)].symbol, s2);
    }
}

TEST(Lzcomp, RoundTripSmallSizesEveryKind) {
    std::mt19937 rng(11);
    for (std::size_t n = 0; n <= 80; ++n)
        for (int kind = 0; kind < 5; ++kind)
            expect_round_trip(make_data(n, kind, rng), "n=" + std::to_string(n) + " kind=" + std::to_string(kind));
}

TEST(Lzcomp, RoundTripAroundDistanceRangeEdges) {
    // Each power of eight changes the digit count and the top distance; data
    // with a period just below it makes copies reach the top of the range.
    std::mt19937 rng(5);
    for (std::size_t edge : {8u, 64u, 512u, 4096u, 32768u}) {
        for (std::size_t n : {edge - 1, edge, edge + 1}) {
            for (int kind = 0; kind < 5; ++kind)
                expect_round_trip(make_data(n, kind, rng), "n=" + std::to_string(n) + " kind=" + std::to_string(kind));
            Bytes periodic(n);
            for (std::size_t i = 0; i < n; ++i)
                periodic[i] = static_cast<std::uint8_t>(rng() % 8 == 0 ? rng() : (i % (edge / 2 + 3)) * 13);
            expect_round_trip(periodic, "periodic n=" + std::to_string(n));
        }
    }
}

TEST(Lzcomp, RoundTripFuzzUpTo70000) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = rng() % 70001;
        const int kind = round % 5;
        expect_round_trip(make_data(n, kind, rng), "n=" + std::to_string(n) + " kind=" + std::to_string(kind));
    }
    expect_round_trip(make_data(70000, 1, rng), "n=70000 text");
}

TEST(Lzcomp, CompressesRedundantData) {
    std::mt19937 rng(9);
    const Bytes text = make_data(20000, 1, rng);
    const auto block = lz::pack(text);
    ASSERT_TRUE(block.has_value());
    EXPECT_LT(block->size(), text.size() / 3);
}
