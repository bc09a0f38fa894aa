#include "core/inflate.h"
#include "corpus.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vi = vantrell_core::inflate;

using Bytes = vantrell_core::bytes::Buffer;

namespace {

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

using vi::detail::Path;

// The decoding path under test; every test below runs once per path.
Path g_path = Path::generic;

vantrell_core::Result<void> run_inflate(std::span<const std::uint8_t> in, Bytes& out,
                                        std::size_t max_out) {
    return vi::detail::inflate_with(g_path, in, out, max_out);
}

class Inflate : public ::testing::TestWithParam<Path> {
protected:
    void SetUp() override {
        if (!vi::detail::supports(GetParam())) GTEST_SKIP() << "processor lacks this path";
        g_path = GetParam();
    }
    void TearDown() override { g_path = Path::generic; }
};

std::string path_name(const ::testing::TestParamInfo<Path>& info) {
    return info.param == Path::bmi2 ? "Bmi2" : "Generic";
}

// zlib as the reference encoder: a raw stream (window bits -15).
Bytes deflate_raw(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY,
                  int mem_level = 8) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, mem_level, strategy), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Output of a successful decode; fails the test on error.
Bytes inflate_ok(const Bytes& stream, std::size_t max_out = kNoLimit) {
    Bytes out;
    auto r = run_inflate(stream, out, max_out);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return out;
}

// The error text of a decode expected to fail.
std::string inflate_err(const Bytes& stream, std::size_t max_out = kNoLimit) {
    Bytes out;
    auto r = run_inflate(stream, out, max_out);
    if (r) return "(success)";
    EXPECT_TRUE(out.empty()) << "output left behind on failure";
    return r.error().message();
}

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

// Markup-like text: a small vocabulary with random numbers, much like the
// XML parts this decoder mostly sees.
Bytes text_like(std::size_t n, unsigned seed) {
    static const char* words[] = {"<a:t>", "</a:t>", "<a:r>", "<a:rPr lang=\"en-US\" dirty=\"0\"/>",
                                  "<p:sp>", "</p:sp>", " xmlns:a=\"http://schemas\"", "slide",
                                  "text ", "the ", "quarterly ", "revenue ", "\n  "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        std::string w = words[rng() % std::size(words)];
        if (rng() % 5 == 0) w += std::to_string(rng() % 100000);
        b.insert(b.end(), w.begin(), w.end());
    }
    b.resize(n);
    return b;
}

// A run of short-period patterns: exercises matches that overlap their own
// output (distances 1..7) and maximal 258-byte lengths.
Bytes periodic(std::size_t n) {
    Bytes b;
    unsigned period = 1;
    while (b.size() < n) {
        for (std::size_t i = 0; i < 3000 && b.size() < n; ++i)
            b.push_back(static_cast<std::uint8_t>('a' + i % period));
        period = period % 9 + 1;
    }
    return b;
}

// LSB-first bit packer for hand-built streams.
class BitWriter {
public:
    void bits(std::uint32_t value, unsigned n) {
        for (unsigned i = 0; i < n; ++i) push((value >> i) & 1);
    }
    // Huffman codes go most significant bit first.
    void code(std::uint32_t code, unsigned len) {
        for (unsigned i = len; i-- > 0;) push((code >> i) & 1);
    }
    void align() {
        while (nbits_ % 8) push(0);
    }
    void byte(std::uint8_t b) { bits(b, 8); }
    Bytes done() {
        align();
        return out_;
    }

private:
    void push(unsigned bit) {
        if (nbits_ % 8 == 0) out_.push_back(0);
        out_.back() |= static_cast<std::uint8_t>(bit << (nbits_ % 8));
        ++nbits_;
    }
    Bytes out_;
    std::size_t nbits_ = 0;
};

// Canonical codes for a list of code lengths.
std::vector<unsigned> canonical(const std::vector<unsigned>& lens) {
    unsigned count[16] = {}, next[16] = {};
    for (unsigned l : lens) count[l]++;
    count[0] = 0;
    unsigned code = 0;
    for (unsigned l = 1; l < 16; ++l) {
        code = (code + count[l - 1]) << 1;
        next[l] = code;
    }
    std::vector<unsigned> codes(lens.size());
    for (std::size_t s = 0; s < lens.size(); ++s)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

// The fixed code of a literal/length symbol (RFC 1951 3.2.6).
void fixed_symbol(BitWriter& w, unsigned sym) {
    if (sym < 144) w.code(0x30 + sym, 8);
    else if (sym < 256) w.code(0x190 + sym - 144, 9);
    else if (sym < 280) w.code(sym - 256, 7);
    else w.code(0xC0 + sym - 280, 8);
}

const unsigned kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const unsigned kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const unsigned kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
unsigned dist_extra(unsigned code) { return code < 4 ? 0u : code / 2 - 1; }

// A match in a fixed block; `want` gets its bytes, copied one by one (it
// must hold at least `distance` bytes unless the match is meant to fail).
void fixed_match(BitWriter& w, Bytes& want, unsigned length, unsigned distance) {
    unsigned lc = 0;
    while (lc < 28 && kLenBase[lc + 1] <= length) ++lc;
    fixed_symbol(w, 257 + lc);
    w.bits(length - kLenBase[lc], kLenExtra[lc]);
    unsigned dc = 0;
    while (dc < 29 && kDistBase[dc + 1] <= distance) ++dc;
    w.code(dc, 5);
    w.bits(distance - kDistBase[dc], dist_extra(dc));
    if (distance <= want.size())
        for (unsigned k = 0; k < length; ++k) want.push_back(want[want.size() - distance]);
}

const unsigned kPrecodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A complete precode: symbols 0..12 and 16..18 all 4 bits long.
std::vector<unsigned> standard_precode() {
    std::vector<unsigned> pre(19, 0);
    for (unsigned s = 0; s <= 12; ++s) pre[s] = 4;
    pre[16] = pre[17] = pre[18] = 4;
    return pre;
}

// Dynamic block header: BFINAL, BTYPE=2, HLIT, HDIST, HCLEN = 19 precode
// lengths, then `seq` coded with the precode: plain values, or {16|17|18,
// extra} pairs given as sym + 100*(extra+1).
void dynamic_header(BitWriter& w, bool final_block, unsigned hlit, unsigned hdist,
                    const std::vector<unsigned>& pre, const std::vector<unsigned>& seq) {
    w.bits(final_block, 1);
    w.bits(2, 2);              // BTYPE 2: dynamic Huffman
    w.bits(hlit - 257, 5);     // HLIT
    w.bits(hdist - 1, 5);      // HDIST
    w.bits(19 - 4, 4);         // HCLEN: all 19 precode lengths follow
    for (unsigned i = 0; i < 19; ++i) w.bits(pre[kPrecodeOrder[i]], 3);
    auto codes = canonical(pre);
    for (unsigned v : seq) {
        unsigned sym = v % 100;
        w.code(codes[sym], pre[sym]);
        if (v >= 100) {
            unsigned extra = v / 100 - 1;
            w.bits(extra, sym == 16 ? 2 : sym == 17 ? 3 : 7);
        }
    }
}

// Code-length sequence for given literal/length and distance lengths, values
// written one by one (no repeat codes).
std::vector<unsigned> plain_seq(const std::vector<unsigned>& litlen, const std::vector<unsigned>& dist) {
    std::vector<unsigned> seq(litlen);
    seq.insert(seq.end(), dist.begin(), dist.end());
    return seq;
}

bool starts_with_inflate(const std::string& s) { return s.rfind("inflate: ", 0) == 0; }

} // namespace

// ---------------------------------------------------------------------------
// Valid streams

TEST_P(Inflate, RoundTripsEveryLevelAndStrategy) {
    const std::vector<std::pair<const char*, Bytes>> inputs = {
        {"empty", {}},
        {"one byte", {'x'}},
        {"random", random_bytes(70000, 1)},
        {"text", text_like(200000, 2)},
        {"periodic", periodic(100000)},
        {"zeros", Bytes(150000, 0)},
    };
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const auto& [name, data] : inputs)
        for (int level = 0; level <= 9; ++level)
            for (int strategy : strategies) {
                SCOPED_TRACE(std::string(name) + " level " + std::to_string(level) + " strategy " +
                             std::to_string(strategy));
                Bytes stream = deflate_raw(data, level, strategy);
                ASSERT_EQ(inflate_ok(stream), data);
                // The recorded size is an exact limit, not one byte more.
                ASSERT_EQ(inflate_ok(stream, data.size()), data);
            }
}

TEST_P(Inflate, LargeOutputsAndLongDistances) {
    // A random 32 KiB block repeated: matches must reach back the full window.
    Bytes block = random_bytes(32768, 3);
    Bytes data;
    for (int i = 0; i < 40; ++i) data.insert(data.end(), block.begin(), block.end());
    ASSERT_GT(data.size(), std::size_t{1} << 20);
    for (int level : {1, 6, 9}) {
        Bytes stream = deflate_raw(data, level, Z_DEFAULT_STRATEGY, 9);
        EXPECT_EQ(inflate_ok(stream), data) << "level " << level;
    }
    Bytes text = text_like(3 << 20, 4);
    EXPECT_EQ(inflate_ok(deflate_raw(text, 6)), text);
}

TEST_P(Inflate, FlushedStreamsWithEmptyStoredBlocksAndParameterChanges) {
    // Sync and full flushes insert empty stored blocks at arbitrary bit
    // positions; parameter changes mix block types in one stream.
    Bytes data = text_like(300000, 5);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes stream(deflateBound(&z, data.size()) * 2 + 4096);
    z.next_out = stream.data();
    z.avail_out = static_cast<uInt>(stream.size());
    std::size_t pos = 0;
    int step = 0;
    while (pos < data.size()) {
        std::size_t n = std::min<std::size_t>(data.size() - pos, 777 + step * 131);
        z.next_in = data.data() + pos;
        z.avail_in = static_cast<uInt>(n);
        int flush = step % 3 == 0 ? Z_SYNC_FLUSH : step % 3 == 1 ? Z_FULL_FLUSH : Z_NO_FLUSH;
        ASSERT_EQ(deflate(&z, flush), Z_OK);
        pos += n;
        if (step % 5 == 4) deflateParams(&z, step % 10, step % 2 ? Z_FIXED : Z_DEFAULT_STRATEGY);
        ++step;
    }
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    stream.resize(z.total_out);
    deflateEnd(&z);
    EXPECT_EQ(inflate_ok(stream), data);
}

TEST_P(Inflate, AppendsToExistingOutputAndIgnoresTrailingBytes) {
    Bytes data = text_like(5000, 6);
    Bytes stream = deflate_raw(data, 9);
    stream.push_back(0xFF); // bytes after the final block are not ours
    stream.push_back(0x07);
    Bytes out = {'x', 'y', 'z'};
    ASSERT_TRUE(run_inflate(stream, out, data.size()).has_value());
    ASSERT_EQ(out.size(), 3 + data.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{'x', 'y', 'z'}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 3));
}

// Room reserved ahead, as a caller that knows the size does, is used as it
// stands: the output and the limit are as without it, after earlier contents
// too, and a reservation larger than the limit does not lift the limit.
TEST_P(Inflate, ReservedRoomChangesNothingButAllocation) {
    const Bytes data = text_like(120000, 21);
    const Bytes zeros(90000, 0);
    for (const Bytes* d : {&data, &zeros})
        for (int level : {0, 1, 9})
            for (std::size_t before : {std::size_t{0}, std::size_t{5}})
                for (std::size_t room : {d->size() / 2, d->size(), d->size() + 1000, d->size() * 3}) {
                    SCOPED_TRACE("level " + std::to_string(level) + " before " + std::to_string(before) +
                                 " room " + std::to_string(room));
                    const Bytes stream = deflate_raw(*d, level);
                    Bytes out(before, 'p');
                    out.reserve(before + room);
                    ASSERT_TRUE(run_inflate(stream, out, d->size()).has_value());
                    ASSERT_EQ(out.size(), before + d->size());
                    EXPECT_TRUE(std::equal(d->begin(), d->end(), out.begin() + static_cast<long>(before)));
                    Bytes capped(before, 'p');
                    capped.reserve(before + room);
                    const auto r = run_inflate(stream, capped, d->size() - 1);
                    ASSERT_FALSE(r.has_value());
                    EXPECT_EQ(r.error().message(), "inflate: output exceeds size limit");
                    EXPECT_EQ(capped, Bytes(before, 'p'));
                }
}

TEST_P(Inflate, EmptyStreamsOfEachBlockType) {
    // zlib's empty stream: a final fixed block holding only end-of-block.
    EXPECT_TRUE(inflate_ok(deflate_raw({}, 6), 0).empty());
    // A final stored block of length 0: BFINAL=1, BTYPE=0, LEN=0, NLEN=FFFF.
    EXPECT_TRUE(inflate_ok({0x01, 0x00, 0x00, 0xFF, 0xFF}, 0).empty());
}

TEST_P(Inflate, HandBuiltDynamicBlocksTheFormatAllows) {
    // Only literals 'a' and end-of-block, one bit each; no distance codes
    // at all (HDIST=1 with length 0), which a literal-only block may send.
    {
        std::vector<unsigned> lit(257, 0);
        lit['a'] = 1;
        lit[256] = 1;
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(), plain_seq(lit, {0}));
        for (int i = 0; i < 1000; ++i) w.code(0, 1); // 'a' (code 0)
        w.code(1, 1);                                 // end of block
        EXPECT_EQ(inflate_ok(w.done()), Bytes(1000, 'a'));
    }
    // A single distance code of length 1 (an incomplete code the format
    // allows), HDIST=32, and a match of 258 at distance 1.
    {
        std::vector<unsigned> lit(286, 0);
        lit['b'] = 2;
        lit[256] = 2;
        lit[285] = 1; // length 258, no extra bits
        std::vector<unsigned> dist(32, 0);
        dist[0] = 1;  // distance 1
        auto lc = canonical(lit);
        BitWriter w;
        dynamic_header(w, true, 286, 32, standard_precode(), plain_seq(lit, dist));
        w.code(lc['b'], 2);
        w.code(lc[285], 1);
        w.code(0, 1); // distance code 0
        w.code(lc[256], 2);
        EXPECT_EQ(inflate_ok(w.done()), Bytes(259, 'b'));
    }
    // Repeat codes, including a zero run crossing from the literal/length
    // lengths into the distance lengths.
    {
        std::vector<unsigned> lit(259, 0);
        lit['c'] = lit['d'] = lit[256] = lit[257] = 2;
        std::vector<unsigned> seq = {
            18 + 100 * (88 + 1),  // 99 zeros: 0..98
            2, 2,                 // 'c' (99), 'd' (100)
            18 + 100 * (127 + 1), // 138 zeros: 101..238
            17 + 100 * (7 + 1),   // 10 zeros: 239..248
            17 + 100 * (4 + 1),   // 7 zeros: 249..255
            2, 2,                 // end of block (256), length 3 (257)
            17 + 100 * (0 + 1),   // 3 zeros: 258, distance codes 0 and 1
            1,                    // distance code 2: distance 3
        };
        auto lc = canonical(lit);
        BitWriter w;
        dynamic_header(w, true, 259, 3, standard_precode(), seq);
        w.code(lc['c'], 2);
        w.code(lc['d'], 2);
        w.code(lc['d'], 2);
        w.code(lc[257], 2);
        w.code(0, 1); // the only distance code
        w.code(lc[256], 2);
        EXPECT_EQ(inflate_ok(w.done()), (Bytes{'c', 'd', 'd', 'c', 'd', 'd'}));
    }
    // A repeat of a non-zero length running from the last literal/length
    // length into the first distance lengths: both codes must count it.
    {
        std::vector<unsigned> lit(258, 0);
        lit['c'] = lit['d'] = lit[256] = lit[257] = 2;
        std::vector<unsigned> seq = {
            18 + 100 * (88 + 1),  // 99 zeros: 0..98
            2, 2,                 // 'c' (99), 'd' (100)
            18 + 100 * (127 + 1), // 138 zeros: 101..238
            17 + 100 * (7 + 1),   // 10 zeros: 239..248
            17 + 100 * (4 + 1),   // 7 zeros: 249..255
            2,                    // end of block (256)
            16 + 100 * (0 + 1),   // three more 2s: length 3 (257), distance codes 0 and 1
            1,                    // distance code 2: distance 3
        };
        auto lc = canonical(lit);
        auto dc = canonical({2, 2, 1});
        BitWriter w;
        dynamic_header(w, true, 258, 3, standard_precode(), seq);
        w.code(lc['c'], 2);
        w.code(lc['d'], 2);
        w.code(lc[257], 2);
        w.code(dc[1], 2); // distance 2
        w.code(lc[257], 2);
        w.code(dc[2], 1); // distance 3
        w.code(lc[256], 2);
        EXPECT_EQ(inflate_ok(w.done()), (Bytes{'c', 'd', 'c', 'd', 'c', 'c', 'd', 'c'}));
    }
}

// Literal/length codes as long as the main table is wide, narrower, and
// longer without any codeword of exactly its width: every symbol decodes.
TEST_P(Inflate, LiteralCodesOfEveryWidthAroundTheMainTable) {
    const std::vector<std::pair<const char*, std::vector<unsigned>>> cases = {
        {"one bit each", {1, 1}},
        {"up to 6 bits", {1, 2, 3, 4, 5, 6, 6}},
        {"up to 11 bits", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 11}},
        {"12 bits, none of 11", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 12, 12, 12}},
        {"4 bits, flat", std::vector<unsigned>(16, 4)},
    };
    for (const auto& [name, code_lens] : cases) {
        // The last length goes to end-of-block, the others to 'A', 'B', ...
        std::vector<unsigned> lit(257, 0);
        std::vector<unsigned> syms;
        for (std::size_t i = 0; i + 1 < code_lens.size(); ++i) syms.push_back('A' + static_cast<unsigned>(i));
        syms.push_back(256);
        for (std::size_t i = 0; i < syms.size(); ++i) lit[syms[i]] = code_lens[i];
        const auto codes = canonical(lit);
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(), plain_seq(lit, {0}));
        Bytes want;
        for (int rep = 0; rep < 40; ++rep)
            for (std::size_t i = 0; i + 1 < syms.size(); ++i) {
                const unsigned sym = syms[(i * 7 + rep) % (syms.size() - 1)];
                w.code(codes[sym], lit[sym]);
                want.push_back(static_cast<std::uint8_t>(sym));
            }
        w.code(codes[256], lit[256]);
        EXPECT_EQ(inflate_ok(w.done()), want) << name;
    }
}

// Every length code and every distance code, each at the smallest and
// largest value of its extra bits, plus every length at short distances
// around the copy widths (8 and 16 bytes); checked against a byte-by-byte
// copy. Each prefix of the stream is decoded too, so the same symbols also
// pass through the checked path near the end of the input.
TEST_P(Inflate, EveryLengthAndDistanceCode) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2); // BTYPE 1: fixed codes
    Bytes want;
    // A full window of varied literals first, so every distance reaches.
    std::mt19937 rng(31);
    for (int i = 0; i < 32768; ++i) {
        const unsigned lit = rng() % 256;
        fixed_symbol(w, lit);
        want.push_back(static_cast<std::uint8_t>(lit));
    }
    auto match = [&](unsigned length, unsigned distance) { fixed_match(w, want, length, distance); };
    for (unsigned lc = 0; lc < 29; ++lc) {
        match(kLenBase[lc], 1 + lc);
        match(kLenBase[lc] + (1u << kLenExtra[lc]) - 1, 100 + lc);
    }
    for (unsigned dc = 0; dc < 30; ++dc) {
        match(3 + dc, kDistBase[dc]);
        match(258 - dc, kDistBase[dc] + (1u << dist_extra(dc)) - 1);
    }
    for (unsigned distance = 1; distance <= 33; ++distance)
        for (unsigned length = 3; length <= 258; length += distance % 3 == 0 ? 1 : 17)
            match(length, distance);
    fixed_symbol(w, 256);
    const Bytes stream = w.done();
    ASSERT_EQ(inflate_ok(stream, want.size()), want);
    for (std::size_t len = stream.size() - 40; len < stream.size(); ++len) {
        auto buf = std::make_unique<std::uint8_t[]>(len);
        std::memcpy(buf.get(), stream.data(), len);
        Bytes out;
        auto r = run_inflate({buf.get(), len}, out, kNoLimit);
        ASSERT_FALSE(r) << "prefix " << len;
        EXPECT_EQ(r.error().message(), "inflate: unexpected end of stream") << "prefix " << len;
    }
}

// A match as the last symbol of an output decoded into exactly its size:
// the copy runs in 16-byte steps (32 at once for the first) past its end,
// into room the decoder keeps for that, at every period around the widths.
TEST_P(Inflate, MatchesEndingTheOutputAtEveryPeriodAndLength) {
    for (unsigned distance : {1u, 2u, 3u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 300u})
        for (unsigned length : {3u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 34u, 48u, 49u, 258u}) {
            BitWriter w;
            w.bits(1, 1);
            w.bits(1, 2);
            Bytes want;
            std::mt19937 rng(distance * 1000 + length);
            for (int i = 0; i < 400; ++i) {
                const unsigned lit = rng() % 256;
                fixed_symbol(w, lit);
                want.push_back(static_cast<std::uint8_t>(lit));
            }
            fixed_match(w, want, length, distance);
            fixed_symbol(w, 256);
            const Bytes stream = w.done();
            EXPECT_EQ(inflate_ok(stream, want.size()), want) << distance << "/" << length;
            EXPECT_EQ(inflate_err(stream, want.size() - 1), "inflate: output exceeds size limit")
                << distance << "/" << length;
        }
}

// A distance reaching exactly the first output byte is valid, one further
// is not, whether the fast loop or the checked one meets it.
TEST_P(Inflate, DistancesAtTheOutputStartBoundary) {
    for (unsigned produced : {1u, 2u, 15u, 16u, 17u, 40u, 300u, 1000u, 32767u}) {
        for (unsigned beyond : {0u, 1u}) {
            BitWriter w;
            w.bits(1, 1);
            w.bits(1, 2);
            Bytes want;
            for (unsigned i = 0; i < produced; ++i) {
                const unsigned lit = 'a' + i % 23;
                fixed_symbol(w, lit);
                want.push_back(static_cast<std::uint8_t>(lit));
            }
            fixed_match(w, want, 20, produced + beyond);
            for (int i = 0; i < 30; ++i) {
                fixed_symbol(w, 'z');
                want.push_back('z');
            }
            fixed_symbol(w, 256);
            const Bytes stream = w.done();
            if (beyond)
                EXPECT_EQ(inflate_err(stream), "inflate: distance beyond start of output") << produced;
            else
                EXPECT_EQ(inflate_ok(stream), want) << produced;
        }
    }
}

// Distance codes of a few short codewords (their table is built by doubling
// a prefix of one to a few entries), used by matches among literals.
TEST_P(Inflate, ShortDistanceCodes) {
    const std::vector<std::pair<const char*, std::vector<unsigned>>> cases = {
        {"single 1-bit", {1}},
        {"two 1-bit", {1, 1}},
        {"1, 2, 2 bits", {1, 2, 2}},
        {"four 2-bit", {2, 2, 2, 2}},
        {"1 to 4 bits", {1, 2, 3, 4, 4}},
        {"3 bits, flat", std::vector<unsigned>(8, 3)},
    };
    // Literal/length code: 11 literals, end-of-block and lengths 3..6, all
    // 4 bits (a complete code).
    std::vector<unsigned> lit(261, 0);
    for (unsigned c = 'a'; c < 'a' + 11; ++c) lit[c] = 4;
    for (unsigned s = 256; s <= 260; ++s) lit[s] = 4;
    const auto lit_codes = canonical(lit);
    for (const auto& [name, dist] : cases) {
        const auto dist_codes = canonical(dist);
        BitWriter w;
        dynamic_header(w, true, 261, static_cast<unsigned>(dist.size()), standard_precode(),
                       plain_seq(lit, dist));
        Bytes want;
        std::mt19937 rng(7);
        for (int i = 0; i < 600; ++i) {
            if (want.size() < 16 || rng() % 3 == 0) {
                const unsigned c = 'a' + rng() % 11;
                w.code(lit_codes[c], 4);
                want.push_back(static_cast<std::uint8_t>(c));
                continue;
            }
            const unsigned lsym = 257 + rng() % 4;
            const unsigned dsym = rng() % dist.size();
            w.code(lit_codes[lsym], 4);
            w.code(dist_codes[dsym], dist[dsym]);
            w.bits(0, dist_extra(dsym));
            for (unsigned k = 0; k < lsym - 254; ++k) want.push_back(want[want.size() - kDistBase[dsym]]);
        }
        w.code(lit_codes[256], 4);
        EXPECT_EQ(inflate_ok(w.done()), want) << name;
    }
}

TEST_P(Inflate, ManyTinyBlocksStayLinear) {
    // 200000 empty non-final fixed blocks (BFINAL=0, BTYPE=1, end-of-block:
    // 10 bits each) interleaved with empty stored blocks, then one literal
    // in a final fixed block: the per-block cost must stay small.
    BitWriter w;
    for (int i = 0; i < 200000; ++i) {
        w.bits(0, 1);
        w.bits(1, 2);
        fixed_symbol(w, 256);
        if (i % 1000 == 0) {
            w.bits(0, 1);
            w.bits(0, 2);   // BTYPE 0: stored
            w.align();
            w.bits(0, 16);  // LEN 0
            w.bits(0xFFFF, 16); // NLEN
        }
    }
    w.bits(1, 1);
    w.bits(1, 2);
    fixed_symbol(w, '!');
    fixed_symbol(w, 256);
    EXPECT_EQ(inflate_ok(w.done()), Bytes{'!'});
}

TEST_P(Inflate, ConcurrentCallsOnManyThreads) {
    std::vector<Bytes> inputs, streams;
    for (unsigned t = 0; t < 6; ++t) {
        inputs.push_back(t % 2 ? text_like(60000 + t * 1000, t) : periodic(50000 + t));
        streams.push_back(deflate_raw(inputs.back(), 1 + t));
    }
    std::vector<int> ok(inputs.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < inputs.size(); ++t)
        threads.emplace_back([&, t] {
            int good = 0;
            for (int rep = 0; rep < 20; ++rep) {
                Bytes out;
                if (run_inflate(streams[t], out, kNoLimit) && out == inputs[t]) ++good;
            }
            ok[t] = good;
        });
    for (auto& th : threads) th.join();
    for (int good : ok) EXPECT_EQ(good, 20);
}

// ---------------------------------------------------------------------------
// Invalid streams

TEST_P(Inflate, RejectsBadBlockHeaders) {
    // BFINAL=1, BTYPE=3 (reserved).
    EXPECT_EQ(inflate_err({0x07}), "inflate: invalid block type");
    // BFINAL=1, BTYPE=0, LEN=0x0005, NLEN=0x0000 (should be 0xFFFA).
    EXPECT_EQ(inflate_err({0x01, 0x05, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e'}),
              "inflate: stored block length does not match its complement");
    // BFINAL=1, BTYPE=0, LEN=5, NLEN=0xFFFA, but only 3 data bytes.
    EXPECT_EQ(inflate_err({0x01, 0x05, 0x00, 0xFA, 0xFF, 'a', 'b', 'c'}),
              "inflate: unexpected end of stream");
    // BFINAL=0, BTYPE=0, LEN=0, NLEN=0xFFFF, then nothing: no final block.
    EXPECT_EQ(inflate_err({0x00, 0x00, 0x00, 0xFF, 0xFF}), "inflate: unexpected end of stream");
    // No input at all.
    EXPECT_EQ(inflate_err({}), "inflate: unexpected end of stream");
}

TEST_P(Inflate, RejectsBadCodeLengthCodes) {
    std::vector<unsigned> lit(257, 8), dist(1, 1);
    // Over-subscribed precode: all 19 precode lengths 1.
    {
        BitWriter w;
        dynamic_header(w, true, 257, 1, std::vector<unsigned>(19, 1), {});
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid code lengths code");
    }
    // Incomplete precode: only symbol 8 with length 1.
    {
        std::vector<unsigned> pre(19, 0);
        pre[8] = 1;
        BitWriter w;
        dynamic_header(w, true, 257, 1, pre, {});
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid code lengths code");
    }
    // Empty precode: every precode length 0.
    {
        BitWriter w;
        dynamic_header(w, true, 257, 1, std::vector<unsigned>(19, 0), {});
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid code lengths code");
    }
    // Code 16 (repeat previous) as the very first length.
    {
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(), {16 + 100 * 1});
        EXPECT_EQ(inflate_err(w.done()), "inflate: repeat with no previous code length");
    }
    // Code 18 running past HLIT + HDIST: 257 + 1 = 258 lengths, 138 zeros
    // twice = 276.
    {
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(), {18 + 100 * 128, 18 + 100 * 128});
        EXPECT_EQ(inflate_err(w.done()), "inflate: code length repeat past the end");
    }
    // Code 16 repeating past the end: 257 lengths of 8, then "repeat 6".
    {
        std::vector<unsigned> seq(lit);
        seq.push_back(16 + 100 * (3 + 1));
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(), seq);
        EXPECT_EQ(inflate_err(w.done()), "inflate: code length repeat past the end");
    }
}

TEST_P(Inflate, RejectsBadLiteralAndDistanceCodes) {
    // Literal/length code over-subscribed: 257 codes of length 8 (> 256).
    {
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(),
                       plain_seq(std::vector<unsigned>(257, 8), {1}));
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid literal/length code lengths");
    }
    // Literal/length code incomplete: three codes of length 2.
    {
        std::vector<unsigned> lit(257, 0);
        lit['a'] = lit['b'] = lit[256] = 2;
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(), plain_seq(lit, {1}));
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid literal/length code lengths");
    }
    // No end-of-block code: symbol 256 has length 0.
    {
        std::vector<unsigned> lit(257, 0);
        lit['a'] = lit['b'] = 1;
        BitWriter w;
        dynamic_header(w, true, 257, 1, standard_precode(), plain_seq(lit, {1}));
        EXPECT_EQ(inflate_err(w.done()), "inflate: missing end-of-block code");
    }
    // Distance code over-subscribed: three codes of length 1.
    {
        std::vector<unsigned> lit(257, 0);
        lit['a'] = lit[256] = 1;
        BitWriter w;
        dynamic_header(w, true, 257, 3, standard_precode(), plain_seq(lit, {1, 1, 1}));
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid distance code lengths");
    }
    // Distance code incomplete beyond the one allowed case: two of length 2.
    {
        std::vector<unsigned> lit(257, 0);
        lit['a'] = lit[256] = 1;
        BitWriter w;
        dynamic_header(w, true, 257, 2, standard_precode(), plain_seq(lit, {2, 2}));
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid distance code lengths");
    }
    // A match in a block whose distance code is empty.
    {
        std::vector<unsigned> lit(258, 0);
        lit['a'] = 1;
        lit[256] = lit[257] = 2;
        auto lc = canonical(lit);
        BitWriter w;
        dynamic_header(w, true, 258, 1, standard_precode(), plain_seq(lit, {0}));
        w.code(lc['a'], 1);
        w.code(lc[257], 2); // length 3, then a distance from an empty code
        w.code(0, 8);
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid distance code");
    }
    // Fixed block: literal/length symbols 286 and 287 are never valid.
    for (unsigned sym : {286u, 287u}) {
        BitWriter w;
        w.bits(1, 1); // BFINAL
        w.bits(1, 2); // BTYPE 1: fixed Huffman
        fixed_symbol(w, 'a');
        fixed_symbol(w, sym);
        w.code(0, 5);
        fixed_symbol(w, 256);
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid literal/length code") << sym;
    }
    // Fixed block: distance codes 30 and 31 are never valid.
    for (unsigned code : {30u, 31u}) {
        BitWriter w;
        w.bits(1, 1);
        w.bits(1, 2);
        fixed_symbol(w, 'a');
        fixed_symbol(w, 257); // length 3
        w.code(code, 5);      // fixed distance codes are 5 bits
        fixed_symbol(w, 256);
        EXPECT_EQ(inflate_err(w.done()), "inflate: invalid distance code") << code;
    }
}

TEST_P(Inflate, RejectsDistancesBeforeTheOutputStart) {
    // Fixed block: 'a', 'b', then length 3 at distance 3 (code 2): one
    // byte before the start.
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    fixed_symbol(w, 'a');
    fixed_symbol(w, 'b');
    fixed_symbol(w, 257);
    w.code(2, 5);
    fixed_symbol(w, 256);
    Bytes stream = w.done();
    EXPECT_EQ(inflate_err(stream), "inflate: distance beyond start of output");
    // Existing bytes in the caller's vector are not part of the window.
    Bytes out = {'x', 'y', 'z'};
    auto r = run_inflate(stream, out, kNoLimit);
    ASSERT_FALSE(r);
    EXPECT_EQ(out, (Bytes{'x', 'y', 'z'}));
    // The same after enough output for the fast loop: 1000 literals, then
    // a match at distance 1001 (code 19: base 769, 8 extra bits = 232).
    BitWriter w2;
    w2.bits(1, 1);
    w2.bits(1, 2);
    for (int i = 0; i < 1000; ++i) fixed_symbol(w2, 'q');
    fixed_symbol(w2, 257);
    w2.code(19, 5);
    w2.bits(232, 8);
    for (int i = 0; i < 100; ++i) fixed_symbol(w2, 'q');
    fixed_symbol(w2, 256);
    EXPECT_EQ(inflate_err(w2.done()), "inflate: distance beyond start of output");
}

TEST_P(Inflate, MissingEndOfBlockIsTruncation) {
    // A fixed block of literals that simply stops.
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    for (int i = 0; i < 50; ++i) fixed_symbol(w, 'z');
    EXPECT_EQ(inflate_err(w.done()), "inflate: unexpected end of stream");
}

TEST_P(Inflate, OutputLimitStopsBombsWithBoundedMemory) {
    Bytes zeros(8 << 20, 0);
    Bytes stream = deflate_raw(zeros, 9); // about 8 KiB of input
    EXPECT_EQ(inflate_err(stream, zeros.size() - 1), "inflate: output exceeds size limit");
    EXPECT_EQ(inflate_err(stream, 0), "inflate: output exceeds size limit");
    Bytes out;
    ASSERT_FALSE(run_inflate(stream, out, 1 << 20));
    EXPECT_LE(out.capacity(), std::size_t{2} << 20);
    // A stored block longer than the limit.
    Bytes stored = deflate_raw(random_bytes(1000, 9), 0);
    EXPECT_EQ(inflate_err(stored, 999), "inflate: output exceeds size limit");
    // A generous limit does not make the decoder reserve it up front.
    Bytes small;
    ASSERT_TRUE(run_inflate(deflate_raw(Bytes(10, 'k'), 6), small, std::size_t{1} << 40));
    EXPECT_EQ(small, Bytes(10, 'k'));
}

TEST_P(Inflate, EveryPrefixFailsCleanly) {
    // Each prefix sits in a heap block of exactly its size, so reading one
    // byte too far trips the address sanitizer.
    std::vector<Bytes> streams = {
        deflate_raw(text_like(3000, 10), 6),
        deflate_raw(text_like(3000, 11), 1, Z_FIXED),
        deflate_raw(periodic(4000), 9, Z_RLE),
        deflate_raw(random_bytes(600, 12), 0),
        deflate_raw(random_bytes(600, 13), 6, Z_HUFFMAN_ONLY),
        deflate_raw({}, 6),
    };
    for (std::size_t si = 0; si < streams.size(); ++si) {
        const Bytes& s = streams[si];
        for (std::size_t len = 0; len < s.size(); ++len) {
            auto buf = std::make_unique<std::uint8_t[]>(len);
            if (len) std::memcpy(buf.get(), s.data(), len);
            Bytes out;
            auto r = run_inflate({buf.get(), len}, out, kNoLimit);
            ASSERT_FALSE(r) << "stream " << si << " prefix " << len;
            ASSERT_TRUE(starts_with_inflate(r.error().message())) << r.error().message();
            ASSERT_TRUE(out.empty());
        }
    }
}

TEST_P(Inflate, CorruptedStreamsNeverCrash) {
    // Random bit flips and random bytes: any outcome but a crash, a hang or
    // an out-of-bounds access; failures carry the inflate prefix.
    std::mt19937 rng(14);
    Bytes data = text_like(20000, 15);
    Bytes base = deflate_raw(data, 6);
    int both_decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes s = base;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; ++f) s[rng() % s.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        if (round % 3 == 0) s.resize(rng() % s.size());
        auto buf = std::make_unique<std::uint8_t[]>(s.size());
        if (!s.empty()) std::memcpy(buf.get(), s.data(), s.size());
        Bytes out;
        auto r = run_inflate({buf.get(), s.size()}, out, data.size() * 2);
        if (!r) {
            ASSERT_TRUE(starts_with_inflate(r.error().message()));
            continue;
        }
        ASSERT_LE(out.size(), data.size() * 2);
        // Where zlib also decodes the damaged stream, both agree.
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
        Bytes theirs(data.size() * 2 + 1);
        z.next_in = buf.get();
        z.avail_in = static_cast<uInt>(s.size());
        z.next_out = theirs.data();
        z.avail_out = static_cast<uInt>(theirs.size());
        if (::inflate(&z, Z_FINISH) == Z_STREAM_END) {
            theirs.resize(z.total_out);
            ++both_decoded;
            EXPECT_EQ(out, theirs) << "round " << round;
        }
        inflateEnd(&z);
    }
    EXPECT_GT(both_decoded, 0);
    for (int round = 0; round < 2000; ++round) {
        Bytes s = random_bytes(1 + rng() % 300, static_cast<unsigned>(round));
        auto buf = std::make_unique<std::uint8_t[]>(s.size());
        std::memcpy(buf.get(), s.data(), s.size());
        Bytes out;
        auto r = run_inflate({buf.get(), s.size()}, out, 1 << 20);
        if (!r) {
            ASSERT_TRUE(starts_with_inflate(r.error().message()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Inflate, ::testing::Values(Path::generic, Path::bmi2), path_name);

namespace {

// The deflated members of a ZIP file, found by walking its local headers
// (enough for test input; members with a trailing descriptor end the walk).
std::vector<Bytes> deflated_members(const std::string& path) {
    std::vector<Bytes> found;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return found;
    Bytes file;
    std::uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) file.insert(file.end(), chunk, chunk + n);
    std::fclose(f);
    auto u16 = [&](std::size_t at) { return unsigned{file[at]} | (unsigned{file[at + 1]} << 8); };
    auto u32 = [&](std::size_t at) { return std::size_t{u16(at)} | (std::size_t{u16(at + 2)} << 16); };
    std::size_t at = 0;
    while (file.size() - at >= 30 && u32(at) == 0x04034b50) {
        const unsigned flags = u16(at + 6);
        const unsigned method = u16(at + 8);
        const std::size_t csize = u32(at + 18);
        const std::size_t data = at + 30 + u16(at + 26) + u16(at + 28);
        if ((flags & 8) || data > file.size() || csize > file.size() - data) break;
        if (method == 8) found.emplace_back(file.begin() + static_cast<long>(data),
                                            file.begin() + static_cast<long>(data + csize));
        at = data + csize;
    }
    return found;
}

// One decode, as a comparable value: the output or the error text.
std::string outcome(Path path, const Bytes& stream, std::size_t max_out) {
    // An exactly sized heap copy, so an over-read trips the sanitizer.
    auto buf = std::make_unique<std::uint8_t[]>(stream.size() + 1);
    if (!stream.empty()) std::memcpy(buf.get(), stream.data(), stream.size());
    Bytes out;
    auto r = vi::detail::inflate_with(path, {buf.get(), stream.size()}, out, max_out);
    if (!r) return "error: " + r.error().message();
    return "ok: " + std::string(out.begin(), out.end());
}

// Both paths give the same outcome, whatever it is.
void expect_paths_agree(const Bytes& stream, std::size_t max_out, const std::string& what) {
    const std::string generic = outcome(Path::generic, stream, max_out);
    const std::string bmi2 = outcome(Path::bmi2, stream, max_out);
    ASSERT_EQ(generic.size(), bmi2.size()) << what << ": " << generic.substr(0, 80) << " / "
                                           << bmi2.substr(0, 80);
    ASSERT_TRUE(generic == bmi2) << what;
}

} // namespace

TEST(InflatePaths, SameOutcomeOnDeckStreamsAndTheirDamage) {
    if (!vi::detail::supports(Path::bmi2)) GTEST_SKIP() << "processor lacks BMI2";
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::filesystem::path& dir = *corpus;
    std::vector<std::string> decks;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".pptx") decks.push_back(e.path().string());
    if (decks.empty()) GTEST_SKIP() << "no decks";
    std::sort(decks.begin(), decks.end());
    std::mt19937 rng(31);
    std::size_t streams = 0;
    // Every third deck keeps the run short under the sanitizers.
    for (std::size_t i = 0; i < decks.size(); i += 3) {
        for (const Bytes& s : deflated_members(decks[i])) {
            if (s.size() > (1u << 20)) continue;
            ++streams;
            const std::string where = decks[i] + " member " + std::to_string(streams);
            expect_paths_agree(s, kNoLimit, where);
            if (HasFatalFailure()) return;
            if (s.empty()) continue;
            Bytes flipped = s;
            flipped[rng() % s.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            expect_paths_agree(flipped, std::size_t{1} << 24, where + " flipped");
            expect_paths_agree(Bytes(s.begin(), s.begin() + static_cast<long>(rng() % s.size())), kNoLimit,
                               where + " truncated");
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(streams, 0u);
}

TEST(InflatePaths, SameOutcomeOnSyntheticAndRandomStreams) {
    if (!vi::detail::supports(Path::bmi2)) GTEST_SKIP() << "processor lacks BMI2";
    std::mt19937 rng(32);
    std::vector<Bytes> bases;
    for (int level : {1, 6, 9}) bases.push_back(deflate_raw(text_like(30000, 40 + level), level));
    bases.push_back(deflate_raw(periodic(20000), 9, Z_RLE));
    bases.push_back(deflate_raw(text_like(8000, 50), 6, Z_FIXED));
    bases.push_back(deflate_raw(random_bytes(5000, 51), 6, Z_HUFFMAN_ONLY));
    for (std::size_t b = 0; b < bases.size(); ++b) {
        const Bytes& base = bases[b];
        expect_paths_agree(base, kNoLimit, "base " + std::to_string(b));
        // Output limits just around the true size, and well inside it.
        const std::size_t size = outcome(Path::generic, base, kNoLimit).size() - 4;
        for (std::size_t limit : {size, size - 1, size / 3})
            expect_paths_agree(base, limit, "limit " + std::to_string(limit));
        for (int round = 0; round < 400; ++round) {
            Bytes s = base;
            for (int f = 1 + static_cast<int>(rng() % 3); f > 0; --f)
                s[rng() % s.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            if (round % 2) s.resize(rng() % s.size());
            expect_paths_agree(s, base.size() * 40, "base " + std::to_string(b) + " round " + std::to_string(round));
            if (HasFatalFailure()) return;
        }
    }
    for (int round = 0; round < 3000; ++round) {
        Bytes s = random_bytes(1 + rng() % 200, static_cast<unsigned>(round) + 1000);
        expect_paths_agree(s, 1 << 20, "random " + std::to_string(round));
        if (HasFatalFailure()) return;
    }
}
