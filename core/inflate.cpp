// Table-driven raw DEFLATE decoder.
//
// Design, in short:
// - The whole output stays in memory (the caller wants the entry's bytes), so
//   matches copy straight from earlier output: there is no separate window.
// - Bits come from a 64-bit buffer, refilled a word at a time while at least
//   16 input bytes remain; near the end bytes are added one by one and, past
//   the end, as zero bytes that are counted. Consuming one of those phantom
//   bytes means the stream was truncated, which is checked at every slow
//   refill and once more after the final block.
// - Huffman codes decode through a main table indexed by the next
//   `kLitlenBits` (or `kDistBits`) bits; longer codewords go through one level
//   of subtables. A literal/length code whose codewords are all shorter gets
//   a main table only as wide as its longest codeword: small blocks have
//   short codes, and building the full table was most of their set-up. An entry carries everything a symbol needs (value, extra-bit
//   count, bits to consume), so a literal costs one lookup and a match two.
// - The fast loop runs while the input and the output room make every bound
//   check in it unnecessary; the slow loop handles the edges symbol by symbol
//   with every check, and grows the output buffer.
// - Fixed-code tables are built once per process; the tables of dynamic
//   blocks live in per-thread scratch space, so a call allocates nothing but
//   its output.
#include "core/inflate.h"

#include "core/bytes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VANTRELL_INFLATE_BMI2 1
#endif

namespace vantrell_core::inflate {

namespace {

// Table entry layout (32 bits):
//   bits  0-7   bits to consume: codeword length plus extra bits; for a
//               subtable pointer, the main-table bits
//   bits  8-11  codeword length alone (extra bits sit above it); for a
//               subtable pointer, the subtable's index bits
//   bit  12     literal
//   bit  13     exceptional: subtable pointer, end of block or invalid symbol
//   bit  14     subtable pointer
//   bit  15     end of block
//   bits 16-31  literal byte, length base, distance base or subtable start
constexpr std::uint32_t kLiteral = 0x1000;
constexpr std::uint32_t kExceptional = 0x2000;
constexpr std::uint32_t kSubtable = 0x4000;
constexpr std::uint32_t kEndOfBlock = 0x8000;
constexpr std::uint32_t kInvalid = kExceptional;

constexpr unsigned kMaxCodeLen = 15;
constexpr unsigned kNumLitlen = 288;
constexpr unsigned kNumDist = 32;
constexpr unsigned kNumPrecode = 19;

constexpr unsigned kLitlenBits = 11;
constexpr unsigned kDistBits = 8;
constexpr unsigned kPrecodeBits = 7;
// Worst-case table sizes (main table plus every subtable) for these table
// bits and 15-bit codes, as computed by zlib's `enough` utility.
constexpr std::size_t kLitlenEnough = 2342;
constexpr std::size_t kDistEnough = 402;
constexpr std::size_t kPrecodeEnough = std::size_t{1} << kPrecodeBits;
static_assert(kLitlenEnough <= 0xFFFF && kDistEnough <= 0xFFFF, "subtable starts are 16 bits");
// A length (codeword and 5 extra bits) and a distance (codeword and 13 extra
// bits) must fit in one refill of at least 56 bits.
static_assert(kMaxCodeLen + 5 + kMaxCodeLen + 13 <= 56);

// One fast-loop iteration writes at most two literals and one match of up to
// 258 bytes, copied in 16-byte steps of which the first two are always made:
// at most 2 + 272 bytes. The output buffer keeps this much slack past its
// logical end, so the fast loop runs up to the very last byte of an exactly
// sized output.
constexpr std::size_t kSlack = SLACK_NBYTES;
static_assert(kSlack >= 2 + 258 + 16);
// Two word refills per iteration, each advancing at most 7 bytes.
constexpr std::ptrdiff_t kFastInRoom = 16;

enum class Fault {
    truncated,
    block_type,
    stored_length,
    precode,
    repeat_first,
    repeat_overflow,
    litlen_lengths,
    dist_lengths,
    no_end_of_block,
    litlen_symbol,
    dist_symbol,
    distance_far,
    too_large,
};

const char* fault_text(Fault f) {
    switch (f) {
    case Fault::truncated: return "unexpected end of stream";
    case Fault::block_type: return "invalid block type";
    case Fault::stored_length: return "stored block length does not match its complement";
    case Fault::precode: return "invalid code lengths code";
    case Fault::repeat_first: return "repeat with no previous code length";
    case Fault::repeat_overflow: return "code length repeat past the end";
    case Fault::litlen_lengths: return "invalid literal/length code lengths";
    case Fault::dist_lengths: return "invalid distance code lengths";
    case Fault::no_end_of_block: return "missing end-of-block code";
    case Fault::litlen_symbol: return "invalid literal/length code";
    case Fault::dist_symbol: return "invalid distance code";
    case Fault::distance_far: return "distance beyond start of output";
    case Fault::too_large: return "output exceeds size limit";
    }
    return "corrupt stream";
}

// Per-symbol entry templates: value and flags, with the extra-bit count in the
// low byte; the builder adds the codeword length to both length fields.
constexpr std::array<std::uint32_t, kNumLitlen> make_litlen_templates() {
    constexpr std::uint16_t base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                        15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                        67, 83, 99, 115, 131, 163, 195, 227, 258};
    constexpr std::uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    std::array<std::uint32_t, kNumLitlen> t{};
    for (unsigned s = 0; s < 256; ++s) t[s] = (s << 16) | kLiteral;
    t[256] = kExceptional | kEndOfBlock;
    for (unsigned s = 257; s < 286; ++s)
        t[s] = (std::uint32_t{base[s - 257]} << 16) | extra[s - 257];
    t[286] = kInvalid; // 286 and 287 take part in the fixed code but mean nothing
    t[287] = kInvalid;
    return t;
}

constexpr std::array<std::uint32_t, kNumDist> make_dist_templates() {
    constexpr std::uint16_t base[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                        17,   25,   33,   49,   65,   97,    129,   193,
                                        257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                        4097, 6145, 8193, 12289, 16385, 24577};
    std::array<std::uint32_t, kNumDist> t{};
    for (unsigned s = 0; s < 30; ++s) {
        unsigned extra = s < 4 ? 0 : s / 2 - 1;
        t[s] = (std::uint32_t{base[s]} << 16) | extra;
    }
    t[30] = kInvalid;
    t[31] = kInvalid;
    return t;
}

constexpr std::array<std::uint32_t, kNumPrecode> make_precode_templates() {
    std::array<std::uint32_t, kNumPrecode> t{};
    for (unsigned s = 0; s < kNumPrecode; ++s) t[s] = s << 16;
    return t;
}

constexpr auto kLitlenTemplates = make_litlen_templates();
constexpr auto kDistTemplates = make_dist_templates();
constexpr auto kPrecodeTemplates = make_precode_templates();

// Every `Bits`-bit value with its bits in reverse order.
template <unsigned Bits>
constexpr std::array<std::uint16_t, std::size_t{1} << Bits> make_reverse() {
    std::array<std::uint16_t, std::size_t{1} << Bits> r{};
    for (unsigned i = 0; i < r.size(); ++i) {
        unsigned v = 0;
        for (unsigned b = 0; b < Bits; ++b)
            if (i & (1u << b)) v |= (1u << (Bits - 1)) >> b;
        r[i] = static_cast<std::uint16_t>(v);
    }
    return r;
}
constexpr auto kReverse8 = make_reverse<8>();
// Codewords that fit a main table are reversed with one lookup: most symbols
// of a block are placed there.
constexpr auto kReverseMain = make_reverse<kLitlenBits>();

// DEFLATE sends codewords most significant bit first into an LSB-first bit
// stream, so tables are indexed by the bit-reversed codeword.
inline unsigned reverse_bits(unsigned code, unsigned len) {
    unsigned r = (unsigned{kReverse8[code & 0xFF]} << 8) | kReverse8[(code >> 8) & 0xFF];
    return r >> (16 - len);
}

static_assert(kDistBits <= kLitlenBits && kPrecodeBits <= kLitlenBits);

inline unsigned reverse_main(unsigned code, unsigned len) {
    return kReverseMain[code] >> (kLitlenBits - len);
}

// Appends a copy of the first `n` entries (a power of two) after them. The
// small copies of short codes go inline in 16-byte steps through a
// temporary, so source and destination may overlap; for n below 4 that
// writes up to 4 - n entries further, which later doublings overwrite and
// which stay within every table's capacity.
inline void double_prefix(std::uint32_t* table, std::size_t n) {
    if (n > 16) {
        std::memcpy(table + n, table, n * sizeof *table);
        return;
    }
    for (std::size_t i = 0; i < n; i += 4) {
        std::uint32_t chunk[4];
        std::memcpy(chunk, table + i, sizeof chunk);
        std::memcpy(table + n + i, chunk, sizeof chunk);
    }
}

// Which codes the format tolerates without every codeword in use.
enum class Completeness {
    exact,            // precode: complete, non-empty
    allow_single,     // literal/length: complete, or a single 1-bit codeword
    allow_single_or_empty, // distance: also no codes at all (a block of literals)
};

// Builds a decode table for the canonical code given by `lens`, whose
// number of codewords of each length the caller may pass in `known_count`.
// Returns false for an over-subscribed code or an incomplete one the format
// rejects.
bool build_table(std::uint32_t* table, std::size_t table_cap, const std::uint8_t* lens,
                 unsigned nsyms, unsigned table_bits, const std::uint32_t* templates,
                 Completeness completeness, const unsigned* known_count = nullptr) {
    unsigned count[kMaxCodeLen + 1] = {};
    if (known_count)
        std::copy_n(known_count, kMaxCodeLen + 1, count);
    else
        for (unsigned s = 0; s < nsyms; ++s) count[lens[s]]++;

    unsigned min_len = 0;
    unsigned max_len = 0;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeLen; ++len) {
        left <<= 1;
        left -= static_cast<int>(count[len]);
        if (left < 0) return false; // over-subscribed
        if (count[len]) {
            if (!min_len) min_len = len;
            max_len = len;
        }
    }

    const std::size_t main_size = std::size_t{1} << table_bits;
    if (left > 0) {
        const bool empty = max_len == 0;
        const bool single = max_len == 1 && count[1] == 1;
        const bool ok = (empty && completeness == Completeness::allow_single_or_empty) ||
                        (single && completeness != Completeness::exact);
        if (!ok) return false;
        // Unused codewords must decode as an error, not as stale entries.
        std::fill_n(table, main_size, kInvalid);
        if (empty) return true;
    }

    // Symbols sorted by codeword length. Most symbols of a small block have
    // no codeword (bytes that never occur), so lengths are scanned a word at
    // a time and only the non-zero bytes visited.
    unsigned offs[kMaxCodeLen + 1];
    offs[1] = 0;
    for (unsigned len = 1; len < kMaxCodeLen; ++len) offs[len + 1] = offs[len] + count[len];
    std::uint16_t sorted[kNumLitlen];
    unsigned s = 0;
    for (; nsyms - s >= 8; s += 8) {
        // The top bit of each non-zero byte.
        constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
        const std::uint64_t w = bytes::load_le64(lens + s);
        for (std::uint64_t nz = (((w & low7) + low7) | w) & ~low7; nz != 0; nz &= nz - 1) {
            const unsigned sym = s + static_cast<unsigned>(std::countr_zero(nz)) / 8;
            sorted[offs[lens[sym]]++] = static_cast<std::uint16_t>(sym);
        }
    }
    for (; s < nsyms; ++s)
        if (lens[s]) sorted[offs[lens[s]]++] = static_cast<std::uint16_t>(s);
    unsigned idx = 0;

    // Short codewords: while placing the codewords of length `len`, only the
    // first 2^len entries matter (an entry repeats every 2^len). Doubling
    // that prefix by one copy per length replaces a strided store per
    // replica, which dominates table building for small blocks. Before the
    // shortest codeword there is nothing to double.
    unsigned code = 0;
    unsigned len = min_len;
    std::size_t filled = std::size_t{1} << std::min(min_len, table_bits);
    for (; len <= std::min(max_len, table_bits); ++len, code <<= 1) {
        if (filled < (std::size_t{1} << len)) {
            double_prefix(table, filled);
            filled <<= 1;
        }
        const std::uint32_t lengths = len + (len << 8);
        for (unsigned n = count[len]; n > 0; --n, ++code, ++idx)
            table[reverse_main(code, len)] = templates[sorted[idx]] + lengths;
    }
    for (; filled < main_size; filled <<= 1)
        double_prefix(table, filled);

    // Long codewords: `count` still holds the number of codewords of each
    // length to place, which sizes each subtable just large enough.
    const unsigned main_mask = (1u << table_bits) - 1;
    std::size_t next_free = main_size;
    unsigned cur_prefix = ~0u;
    std::size_t cur_start = 0;
    unsigned cur_sub_bits = 0;
    for (; len <= max_len; ++len, code <<= 1) {
        for (unsigned n = count[len]; n > 0; --n, ++code, ++idx) {
            const unsigned sym = sorted[idx];
            const unsigned rev = reverse_bits(code, len);
            const unsigned prefix = rev & main_mask;
            if (prefix != cur_prefix) {
                unsigned sub_bits = len - table_bits;
                int room = 1 << sub_bits;
                while (sub_bits + table_bits < max_len) {
                    room -= static_cast<int>(count[sub_bits + table_bits]);
                    if (room <= 0) break;
                    ++sub_bits;
                    room <<= 1;
                }
                const std::size_t sub_size = std::size_t{1} << sub_bits;
                if (sub_size > table_cap - next_free) return false; // cannot happen
                cur_prefix = prefix;
                cur_start = next_free;
                cur_sub_bits = sub_bits;
                next_free += sub_size;
                table[prefix] = (static_cast<std::uint32_t>(cur_start) << 16) | kExceptional |
                                kSubtable | (sub_bits << 8) | table_bits;
            }
            const unsigned sub_len = len - table_bits;
            const std::uint32_t e = templates[sym] + sub_len + (sub_len << 8);
            const std::size_t sub_size = std::size_t{1} << cur_sub_bits;
            for (std::size_t i = rev >> table_bits; i < sub_size; i += std::size_t{1} << sub_len)
                table[cur_start + i] = e;
            count[len]--;
        }
    }
    return true;
}

// Both tables share one array, so the decoder reaches them through a single
// base register.
struct Tables {
    static constexpr std::size_t kDistAt = kLitlenEnough;
    std::array<std::uint32_t, kLitlenEnough + kDistEnough> entries;
    unsigned litlen_bits = kLitlenBits; // index bits of the litlen main table

    std::uint32_t* litlen() { return entries.data(); }
    std::uint32_t* dist() { return entries.data() + kDistAt; }
};

struct Scratch {
    Tables tables;
    std::array<std::uint32_t, kPrecodeEnough> precode;
    std::array<std::uint8_t, kNumLitlen + kNumDist> lens;
};

Tables build_fixed() {
    Tables t{};
    std::uint8_t lens[kNumLitlen + kNumDist];
    std::fill(lens, lens + 144, 8);
    std::fill(lens + 144, lens + 256, 9);
    std::fill(lens + 256, lens + 280, 7);
    std::fill(lens + 280, lens + 288, 8);
    std::fill(lens + 288, lens + 320, 5);
    build_table(t.litlen(), kLitlenEnough, lens, kNumLitlen, kLitlenBits,
                kLitlenTemplates.data(), Completeness::exact);
    build_table(t.dist(), kDistEnough, lens + kNumLitlen, kNumDist, kDistBits,
                kDistTemplates.data(), Completeness::exact);
    return t;
}

const Tables& fixed_tables() {
    static const Tables fixed = build_fixed();
    return fixed;
}

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

using bytes::load_le64;

inline void copy8(std::uint8_t* dst, const std::uint8_t* src) { std::memcpy(dst, src, 8); }

class Decoder {
public:
    Decoder(std::span<const std::uint8_t> in, bytes::Buffer& out, std::size_t max_out)
        : in_(in.data()), in_end_(in.data() + in.size()), vec_(out), base_size_(out.size()),
          max_out_(max_out) {}

    // Decodes the whole stream on `path`, which the processor must run.
    bool run(detail::Path path);
    Fault fault() const { return fault_; }
    std::size_t produced() const { return static_cast<std::size_t>(out_ - out_begin_); }

private:
    // Makes the logical capacity at least `total` output bytes.
    bool reserve(std::size_t total);
    bool refill_slow();
    bool stored_block();
    // The hot functions are inlined into one entry point per instruction
    // set, each compiled for its own target.
    template <bool kBmi2> [[gnu::always_inline]] inline bool decode_all();
    bool decode_all_generic();
#ifdef VANTRELL_INFLATE_BMI2
    __attribute__((target("bmi2"))) bool decode_all_bmi2();
#endif
    [[gnu::always_inline]] inline bool read_dynamic_header();
    template <bool kBmi2> [[gnu::always_inline]] inline bool decode_block(const Tables& t);

    void consume(unsigned n) {
        bitbuf_ >>= n;
        bitsleft_ -= n;
    }
    unsigned take(unsigned n) {
        unsigned v = static_cast<unsigned>(bitbuf_ & ((std::uint64_t{1} << n) - 1));
        consume(n);
        return v;
    }

    const std::uint8_t* in_;
    const std::uint8_t* in_end_;
    std::uint64_t bitbuf_ = 0;
    unsigned bitsleft_ = 0;
    // Zero bytes fed past the end of the input that are still counted in
    // `bitsleft_` (or were consumed, which is the truncation fault).
    std::size_t overread_ = 0;

    bytes::Buffer& vec_;
    std::size_t base_size_;
    std::size_t max_out_;
    // The appended region of `vec_`: output starts at `out_begin_`, `out_`
    // is the write position, `out_limit_` the logical end (at most
    // `max_out_` bytes in) and `kSlack` bytes follow it. The fast loop may
    // leave `out_` inside the slack; everything else keeps it within the
    // logical end.
    std::uint8_t* out_begin_ = nullptr;
    std::uint8_t* out_ = nullptr;
    std::uint8_t* out_limit_ = nullptr;
    Fault fault_ = Fault::truncated;
};

bool Decoder::reserve(std::size_t total) {
    if (total > max_out_) {
        fault_ = Fault::too_large;
        return false;
    }
    const std::size_t produced = static_cast<std::size_t>(out_ - out_begin_);
    const std::size_t cap = static_cast<std::size_t>(out_limit_ - out_begin_);
    if (total <= cap) return true;
    // Geometric growth keeps the copies linear; memory follows the output
    // actually produced, never the caller's limit alone.
    std::size_t want = cap > max_out_ / 2 ? max_out_ : cap * 2;
    want = std::max(want, total);
    vec_.resize(base_size_ + want + kSlack);
    out_begin_ = vec_.data() + base_size_;
    out_ = out_begin_ + produced;
    out_limit_ = out_begin_ + want;
    return true;
}

// Fills the bit buffer to at least 56 bits, with zero bytes past the end.
bool Decoder::refill_slow() {
    // A phantom byte no longer in the buffer was decoded as data.
    if (overread_ * 8 > bitsleft_) {
        fault_ = Fault::truncated;
        return false;
    }
    while (bitsleft_ < 56) {
        if (in_ != in_end_) {
            bitbuf_ |= std::uint64_t{*in_++} << bitsleft_;
        } else {
            ++overread_;
        }
        bitsleft_ += 8;
    }
    return true;
}

bool Decoder::stored_block() {
    consume(bitsleft_ & 7);
    // Hand the whole bytes still buffered back to the input and read the
    // header and data directly.
    const std::size_t buffered = bitsleft_ / 8;
    if (overread_ > buffered) {
        fault_ = Fault::truncated;
        return false;
    }
    in_ -= buffered - overread_;
    bitbuf_ = 0;
    bitsleft_ = 0;
    overread_ = 0;

    if (in_end_ - in_ < 4) {
        fault_ = Fault::truncated;
        return false;
    }
    const unsigned len = bytes::load_le16(in_);
    const unsigned nlen = bytes::load_le16(in_ + 2);
    in_ += 4;
    if (len != (~nlen & 0xFFFFu)) {
        fault_ = Fault::stored_length;
        return false;
    }
    if (static_cast<std::size_t>(in_end_ - in_) < len) {
        fault_ = Fault::truncated;
        return false;
    }
    if (static_cast<std::size_t>(out_limit_ - out_) < len && !reserve(produced() + len))
        return false;
    if (len) std::memcpy(out_, in_, len);
    out_ += len;
    in_ += len;
    return true;
}

inline bool Decoder::read_dynamic_header() {
    Scratch& s = scratch();
    if (!refill_slow()) return false;
    const unsigned hlit = take(5) + 257;
    const unsigned hdist = take(5) + 1;
    const unsigned hclen = take(4) + 4;

    static constexpr std::uint8_t kOrder[kNumPrecode] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                         11, 4,  12, 3, 13, 2, 14, 1, 15};
    std::uint8_t pre_lens[kNumPrecode] = {};
    for (unsigned i = 0; i < hclen; ++i) {
        if (bitsleft_ < 3 && !refill_slow()) return false;
        pre_lens[kOrder[i]] = static_cast<std::uint8_t>(take(3));
    }
    if (!build_table(s.precode.data(), s.precode.size(), pre_lens, kNumPrecode, kPrecodeBits,
                     kPrecodeTemplates.data(), Completeness::exact)) {
        fault_ = Fault::precode;
        return false;
    }

    // Literal/length and distance lengths form one sequence: a repeat may
    // run from the one into the other.
    std::uint8_t* lens = s.lens.data();
    const unsigned total = hlit + hdist;
    unsigned i = 0;
    // Codewords per length over both codes, counted while they are read;
    // the distance code's share is taken back out below.
    unsigned count[kMaxCodeLen + 1] = {};
    // The bit buffer lives in locals here: the byte stores into `lens` could
    // alias the members and force a reload after each.
    const std::uint8_t* const in_end = in_end_;
    const std::uint8_t* in = in_;
    std::uint64_t bitbuf = bitbuf_;
    unsigned bitsleft = bitsleft_;
    auto take_bits = [&](unsigned n) __attribute__((always_inline)) {
        const unsigned v = static_cast<unsigned>(bitbuf & ((std::uint64_t{1} << n) - 1));
        bitbuf >>= n;
        bitsleft -= n;
        return v;
    };
    while (i < total) {
        // A precode symbol (7 bits) and its repeat count (7 bits). Away
        // from the end a whole word refills without checks, as in the
        // fast loop: no phantom bytes are buffered there yet.
        if (bitsleft < 14) {
            if (in_end - in >= 8) {
                bitbuf |= load_le64(in) << bitsleft;
                in += (63 - bitsleft) >> 3;
                bitsleft |= 56;
            } else {
                in_ = in;
                bitbuf_ = bitbuf;
                bitsleft_ = bitsleft;
                if (!refill_slow()) return false;
                in = in_;
                bitbuf = bitbuf_;
                bitsleft = bitsleft_;
            }
        }
        const std::uint32_t e = s.precode[bitbuf & ((1u << kPrecodeBits) - 1)];
        take_bits(e & 0xFF);
        const unsigned sym = e >> 16;
        if (sym < 16) {
            lens[i++] = static_cast<std::uint8_t>(sym);
            count[sym]++;
            continue;
        }
        std::uint8_t value = 0;
        unsigned rep;
        if (sym == 16) {
            if (i == 0) {
                fault_ = Fault::repeat_first;
                return false;
            }
            value = lens[i - 1];
            rep = 3 + take_bits(2);
        } else if (sym == 17) {
            rep = 3 + take_bits(3);
        } else {
            rep = 11 + take_bits(7);
        }
        if (rep > total - i) {
            fault_ = Fault::repeat_overflow;
            return false;
        }
        std::memset(lens + i, value, rep);
        count[value] += rep;
        i += rep;
    }
    in_ = in;
    bitbuf_ = bitbuf;
    bitsleft_ = bitsleft;

    if (lens[256] == 0) {
        fault_ = Fault::no_end_of_block;
        return false;
    }
    for (unsigned k = hlit; k < total; ++k) count[lens[k]]--;
    // The longest codeword, or 1 for none: the main table's width when no
    // codeword needs a subtable.
    unsigned litlen_bits = kMaxCodeLen;
    while (litlen_bits > 1 && count[litlen_bits] == 0) --litlen_bits;
    litlen_bits = std::min(litlen_bits, kLitlenBits);
    s.tables.litlen_bits = litlen_bits;
    if (!build_table(s.tables.litlen(), kLitlenEnough, lens, hlit, litlen_bits,
                     kLitlenTemplates.data(), Completeness::allow_single, count)) {
        fault_ = Fault::litlen_lengths;
        return false;
    }
    if (!build_table(s.tables.dist(), kDistEnough, lens + hlit, hdist, kDistBits,
                     kDistTemplates.data(), Completeness::allow_single_or_empty)) {
        fault_ = Fault::dist_lengths;
        return false;
    }
    return true;
}

// Bits of `bitbuf` holding an entry's extra value (above its codeword);
// `bitbuf` is the buffer as it was before the entry was consumed. A length or
// distance entry totals at most 28 bits and keeps bits 12-15 clear, so 32
// bits of the buffer suffice and both fields read through masks that a
// variable shift or bit extraction applies by itself. The compiler builds
// the low-bits mask from a constant it keeps in a register instead of using
// bzhi, which costs two instructions and that register in the hot loop.
template <bool kBmi2>
inline unsigned extra_value(std::uint64_t bitbuf, std::uint32_t e) {
    const unsigned cw = (e >> 8) & 31;
#ifdef VANTRELL_INFLATE_BMI2
    if constexpr (kBmi2) {
        std::uint32_t low;
        asm("bzhi %2, %1, %0" : "=r"(low) : "r"(static_cast<std::uint32_t>(bitbuf)), "r"(e));
        return low >> cw;
    }
#endif
    const unsigned total = e & 31;
    return (static_cast<std::uint32_t>(bitbuf) & ((1u << total) - 1)) >> cw;
}

template <bool kBmi2> inline bool Decoder::decode_block(const Tables& t) {
    const std::uint32_t* const litlen = t.entries.data();
    const unsigned litlen_bits = t.litlen_bits;
    auto dist = [litlen](std::size_t i) __attribute__((always_inline)) {
        return litlen[Tables::kDistAt + i];
    };
    const std::uint64_t litlen_mask = (std::uint64_t{1} << litlen_bits) - 1;
    constexpr std::uint64_t dist_mask = (1u << kDistBits) - 1;

    // Locals for the hot loop; written back on every exit. Byte stores may
    // alias any member, so the loop reads none of them.
    const std::uint8_t* in = in_;
    // The fast loop needs `kFastInRoom` input bytes: it runs while `in` is
    // below this bound, which never holds when the block starts with less.
    const std::uint8_t* const in_fast_end =
        in_end_ - in >= kFastInRoom ? in_end_ - (kFastInRoom - 1) : in;
    std::uint64_t bitbuf = bitbuf_;
    // Only the low byte counts: consuming subtracts a whole entry, whose
    // upper fields only disturb the bits above it (the low byte never
    // borrows). Saves a zero-extension per symbol.
    std::uint32_t bitsleft = bitsleft_;
    std::uint8_t* out = out_;
    std::uint8_t* out_limit = out_limit_;
    std::uint8_t* out_begin = out_begin_;

    auto save = [&]() __attribute__((always_inline)) {
        in_ = in;
        bitbuf_ = bitbuf;
        bitsleft_ = bitsleft & 0xFF;
        out_ = out;
    };
    auto load = [&]() __attribute__((always_inline)) {
        in = in_;
        bitbuf = bitbuf_;
        bitsleft = bitsleft_;
        out = out_;
        out_limit = out_limit_;
        out_begin = out_begin_;
    };
    // Branch-free refill: afterwards 56..63 bits are valid. Bits above
    // `bitsleft` are either zero or the true next bits of the stream, so
    // OR-ing a fresh word over them is harmless.
    auto refill_fast = [&]() __attribute__((always_inline)) {
        bitbuf |= load_le64(in) << (bitsleft & 63);
        in += (~bitsleft >> 3) & 7;
        bitsleft |= 56;
    };
    // Consumes an entry's bits; every entry holds fewer than 64.
    auto eat = [&](std::uint32_t e) __attribute__((always_inline)) {
        bitbuf >>= e & 63;
        bitsleft -= e;
    };
    auto fail_with = [&](Fault f) __attribute__((always_inline)) {
        save();
        fault_ = f;
        return false;
    };

    for (;;) {
        // At or before the logical end, the slack holds a whole iteration.
        if (in < in_fast_end && out <= out_limit) {
            refill_fast();
            // After a fast refill all 64 buffered bits are true stream bits,
            // and an iteration consumes at most 48 of them, so the entry of
            // the next symbol can be looked up before the next refill: the
            // refill ORs the same bits over them.
            std::uint32_t e = litlen[bitbuf & litlen_mask];
            for (;;) {
                if (e & kLiteral) {
                    // Up to three literals fit in one refill (3 x 15 bits).
                    eat(e);
                    *out++ = static_cast<std::uint8_t>(e >> 16);
                    e = litlen[bitbuf & litlen_mask];
                    if (e & kLiteral) {
                        eat(e);
                        *out++ = static_cast<std::uint8_t>(e >> 16);
                        e = litlen[bitbuf & litlen_mask];
                        if (e & kLiteral) {
                            eat(e);
                            *out++ = static_cast<std::uint8_t>(e >> 16);
                            e = litlen[bitbuf & litlen_mask];
                            goto next;
                        }
                    }
                    // A match needs up to 48 bits.
                    refill_fast();
                }
                if (e & kExceptional) {
                    if (e & kSubtable) {
                        eat(e);
                        e = litlen[(e >> 16) + (bitbuf & ((1u << ((e >> 8) & 0xF)) - 1))];
                        if (e & kLiteral) {
                            eat(e);
                            *out++ = static_cast<std::uint8_t>(e >> 16);
                            e = litlen[bitbuf & litlen_mask];
                            goto next;
                        }
                    }
                    if (e & kExceptional) {
                        if (e & kEndOfBlock) {
                            eat(e);
                            save();
                            // Literals may have run into the slack.
                            return out <= out_limit || reserve(produced());
                        }
                        return fail_with(Fault::litlen_symbol);
                    }
                }
                {
                    // Consume first and take the extra bits from the saved
                    // buffer, so the distance lookup need not wait for them.
                    std::uint64_t saved = bitbuf;
                    eat(e);
                    const unsigned length = (e >> 16) + extra_value<kBmi2>(saved, e);

                    std::uint32_t d = dist(bitbuf & dist_mask);
                    if (d & kExceptional) {
                        if (!(d & kSubtable)) return fail_with(Fault::dist_symbol);
                        eat(d);
                        d = dist((d >> 16) + (bitbuf & ((1u << ((d >> 8) & 0xF)) - 1)));
                        if (d & kExceptional) return fail_with(Fault::dist_symbol);
                    }
                    saved = bitbuf;
                    eat(d);
                    const std::size_t distance = (d >> 16) + extra_value<kBmi2>(saved, d);
                    // Compared as addresses, as the source is needed anyway; a
                    // distance is at most 32768, so the subtraction never wraps.
                    if (reinterpret_cast<std::uintptr_t>(out) - distance <
                        reinterpret_cast<std::uintptr_t>(out_begin))
                        return fail_with(Fault::distance_far);
                    // The next symbol's lookup overlaps the copy.
                    e = litlen[bitbuf & litlen_mask];

                    std::uint8_t* dst = out;
                    const std::uint8_t* src = out - distance;
                    out += length;
                    if (distance >= 16) {
                        // Each 16-byte read lies wholly before the write
                        // position. Most matches in markup are at most 32
                        // bytes long: two copies without a loop.
                        std::memcpy(dst, src, 16);
                        std::memcpy(dst + 16, src + 16, 16);
                        if (length > 32) {
                            dst += 32;
                            src += 32;
                            do {
                                std::memcpy(dst, src, 16);
                                dst += 16;
                                src += 16;
                            } while (dst < out);
                        }
                    } else if (distance >= 8) {
                        do {
                            copy8(dst, src);
                            copy8(dst + 8, src + 8);
                            dst += 16;
                            src += 16;
                        } while (dst < out);
                    } else {
                        // Repeat the period-`distance` pattern a word at a
                        // time, stepping by the largest multiple of the
                        // period within 8.
                        std::uint8_t pat[8];
                        for (unsigned k = 0; k < 8; ++k) pat[k] = src[k % distance];
                        const std::size_t step = 8 - 8 % distance;
                        do {
                            std::memcpy(dst, pat, 8);
                            dst += step;
                        } while (dst < out);
                    }
                }
            next:
                if (!(in < in_fast_end && out <= out_limit)) break;
                refill_fast();
            }
            continue;
        }

        // Slow path: one symbol with every bound checked. First bring the
        // write position back within the logical end, growing the buffer
        // (which also lets the fast loop take over again).
        if (out > out_limit) {
            save();
            if (!reserve(produced())) return false;
            load();
        }
        if (in_end_ - in >= 8) {
            // No phantom bytes are buffered yet, so nothing to check.
            refill_fast();
        } else {
            save();
            if (!refill_slow()) return false;
            load();
        }

        std::uint32_t e = litlen[bitbuf & litlen_mask];
        if (e & kSubtable) {
            eat(e);
            e = litlen[(e >> 16) + (bitbuf & ((1u << ((e >> 8) & 0xF)) - 1))];
        }
        if (e & kLiteral) {
            if (out == out_limit) {
                save();
                if (!reserve(produced() + 1)) return false;
                load();
            }
            eat(e);
            *out++ = static_cast<std::uint8_t>(e >> 16);
            continue;
        }
        if (e & kExceptional) {
            if (e & kEndOfBlock) {
                eat(e);
                save();
                return true;
            }
            return fail_with(Fault::litlen_symbol);
        }
        const unsigned length = (e >> 16) + extra_value<kBmi2>(bitbuf, e);
        eat(e);
        std::uint32_t d = dist(bitbuf & dist_mask);
        if (d & kSubtable) {
            eat(d);
            d = dist((d >> 16) + (bitbuf & ((1u << ((d >> 8) & 0xF)) - 1)));
        }
        if (d & kExceptional) return fail_with(Fault::dist_symbol);
        const std::size_t distance = (d >> 16) + extra_value<kBmi2>(bitbuf, d);
        eat(d);
        if (distance > static_cast<std::size_t>(out - out_begin))
            return fail_with(Fault::distance_far);
        if (static_cast<std::size_t>(out_limit - out) < length) {
            save();
            if (!reserve(produced() + length)) return false;
            load();
        }
        const std::uint8_t* src = out - distance;
        for (unsigned k = 0; k < length; ++k) out[k] = src[k];
        out += length;
    }
}

template <bool kBmi2> inline bool Decoder::decode_all() {
    // A first guess from the input size (markup deflates to roughly a
    // fifth); `max_out_` caps it but is never allocated on trust alone.
    // Room the caller already reserved is used as it stands, so an output
    // whose size was recorded ahead is not grown step by step.
    const std::size_t in_size = static_cast<std::size_t>(in_end_ - in_);
    const std::size_t guess = std::max<std::size_t>(std::min(in_size, SIZE_MAX / 16), 64) * 8;
    const std::size_t initial = std::min(max_out_, std::max(guess, vec_.capacity() - base_size_));
    vec_.resize(base_size_ + initial + kSlack);
    out_begin_ = vec_.data() + base_size_;
    out_ = out_begin_;
    out_limit_ = out_begin_ + initial;

    bool final_block = false;
    while (!final_block) {
        if (bitsleft_ < 3 && !refill_slow()) return false;
        final_block = take(1) != 0;
        const unsigned type = take(2);
        if (type == 0) {
            if (!stored_block()) return false;
            continue;
        }
        if (type == 3) {
            fault_ = Fault::block_type;
            return false;
        }
        if (type == 2 && !read_dynamic_header()) return false;
        // One call site, so each entry point holds one copy of the loop.
        const Tables& t = type == 1 ? fixed_tables() : scratch().tables;
        if (!decode_block<kBmi2>(t)) return false;
    }
    // The last symbols must not have used bits past the input's end.
    if (overread_ * 8 > bitsleft_) {
        fault_ = Fault::truncated;
        return false;
    }
    return true;
}

bool Decoder::decode_all_generic() { return decode_all<false>(); }

#ifdef VANTRELL_INFLATE_BMI2
__attribute__((target("bmi2"))) bool Decoder::decode_all_bmi2() { return decode_all<true>(); }
#endif

bool Decoder::run(detail::Path path) {
#ifdef VANTRELL_INFLATE_BMI2
    if (path == detail::Path::bmi2) return decode_all_bmi2();
#endif
    (void)path;
    return decode_all_generic();
}

detail::Path best_path() {
    static const detail::Path best =
        detail::supports(detail::Path::bmi2) ? detail::Path::bmi2 : detail::Path::generic;
    return best;
}

// Made when the library is loaded rather than on first use: a fork() child
// must never find a first use half made by another thread, whose guard
// would stay taken there for ever.
[[maybe_unused]] const bool made_at_load = (fixed_tables(), best_path(), true);

Result<void> decode(detail::Path path, std::span<const std::uint8_t> in,
                    bytes::Buffer& out, std::size_t max_out) {
    const std::size_t base = out.size();
    Decoder d(in, out, max_out);
    if (!d.run(path)) {
        out.resize(base);
        return fail(Error::inflate(fault_text(d.fault())));
    }
    out.resize(base + d.produced());
    return {};
}

} // namespace

namespace detail {

bool supports(Path path) {
    if (path == Path::generic) return true;
#ifdef VANTRELL_INFLATE_BMI2
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2");
#else
    return false;
#endif
}

Result<void> inflate_with(Path path, std::span<const std::uint8_t> in,
                          bytes::Buffer& out, std::size_t max_out) {
    return decode(supports(path) ? path : Path::generic, in, out, max_out);
}

} // namespace detail

Result<void> inflate(std::span<const std::uint8_t> in, bytes::Buffer& out,
                     std::size_t max_out) {
    return decode(best_path(), in, out, max_out);
}

} // namespace vantrell_core::inflate
