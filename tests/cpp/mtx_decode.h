// Test-only decoder of compressed font data, written from the format's
// description rather than from the encoder, so a round trip checks the layout
// of the three streams and not the encoder's agreement with itself.
//
// It rebuilds a plain sfnt: glyf and loca from the glyph stream (glyphs padded
// to even lengths, loca in the format head asks for), cvt from its deltas,
// every other table as stored. Any inconsistency gives nullopt, including
// bytes left over in any of the three streams once every glyph is read: the
// streams must end exactly where the last glyph does.
#pragma once

#include "lzcomp_decode.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mtx_test {

using Bytes = std::vector<std::uint8_t>;

class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> in) : in_(in) {}

    bool ok() const { return ok_; }
    bool at_end() const { return pos_ == in_.size(); }
    std::size_t position() const { return pos_; }

    std::uint8_t u8() {
        if (!ok_ || pos_ >= in_.size()) return fail();
        return in_[pos_++];
    }
    std::uint16_t u16() {
        const unsigned hi = u8();
        return static_cast<std::uint16_t>((hi << 8) | u8());
    }
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    std::span<const std::uint8_t> take(std::size_t n) {
        if (!ok_ || n > in_.size() - pos_) {
            fail();
            return {};
        }
        pos_ += n;
        return in_.subspan(pos_ - n, n);
    }
    // 255UInt16.
    std::uint16_t u255() {
        const unsigned b = u8();
        if (b == 253) return u16();
        if (b == 254) return static_cast<std::uint16_t>(506 + u8());
        if (b == 255) return static_cast<std::uint16_t>(253 + u8());
        return static_cast<std::uint16_t>(b);
    }
    // 255Short: 250 negates the magnitude that follows.
    std::int16_t short255() {
        unsigned b = u8();
        if (b == 253) return i16();
        bool negative = false;
        if (b == 250) {
            negative = true;
            b = u8();
        }
        int v;
        if (b == 255) v = 250 + u8();
        else if (b == 254) v = 500 + u8();
        else if (b < 250) v = static_cast<int>(b);
        else {
            fail();
            return 0;
        }
        return static_cast<std::int16_t>(negative ? -v : v);
    }

private:
    std::uint8_t fail() {
        ok_ = false;
        return 0;
    }
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

inline void put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
inline void put32(Bytes& b, std::uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}
inline std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// Push instructions for `values`: runs of byte-sized and word-sized values,
// PUSHB/PUSHW up to 8 values, NPUSHB/NPUSHW up to 255.
inline Bytes push_program(const std::vector<std::int16_t>& values) {
    Bytes out;
    for (std::size_t i = 0; i < values.size();) {
        const bool bytes = static_cast<std::uint16_t>(values[i]) < 256;
        std::size_t c = 0;
        while (i + c < values.size() && c < 255 && (static_cast<std::uint16_t>(values[i + c]) < 256) == bytes) ++c;
        if (c <= 8) {
            out.push_back(static_cast<std::uint8_t>((bytes ? 0xAF : 0xB7) + c));
        } else {
            out.push_back(bytes ? 0x40 : 0x41);
            out.push_back(static_cast<std::uint8_t>(c));
        }
        for (std::size_t j = 0; j < c; ++j) {
            const auto v = static_cast<std::uint16_t>(values[i + j]);
            if (bytes) out.push_back(static_cast<std::uint8_t>(v));
            else put16(out, v);
        }
        i += c;
    }
    return out;
}

struct Streams {
    Cursor glyf, push, code;
};

// A glyph program from its counts in the glyph stream, its values in the push
// stream and its remaining bytes in the code stream.
inline Bytes read_program(Streams& s) {
    const std::uint16_t pushes = s.glyf.u255();
    const std::uint16_t code_len = s.glyf.u255();
    std::vector<std::int16_t> values;
    for (unsigned i = 0; i < pushes && s.push.ok(); ++i) values.push_back(s.push.short255());
    Bytes program = push_program(values);
    const auto code = s.code.take(code_len);
    program.insert(program.end(), code.begin(), code.end());
    return program;
}

struct Delta {
    int dx = 0, dy = 0;
};

// One point from its flag (off-curve bit removed) and its data bytes.
inline Delta read_triplet(unsigned flag, Cursor& data) {
    unsigned ax, ay, signs;
    if (flag < 10) {
        ax = 0;
        ay = 256 * (flag / 2) + data.u8();
        signs = (flag & 1) << 1 | 1;
    } else if (flag < 20) {
        ax = 256 * ((flag - 10) / 2) + data.u8();
        ay = 0;
        signs = 2 | (flag - 10) % 2;
    } else if (flag < 84) {
        const unsigned g = flag - 20, b = data.u8();
        ax = 16 * (g / 16) + (b >> 4) + 1;
        ay = 16 * (g % 16 / 4) + (b & 15) + 1;
        signs = g % 4;
    } else if (flag < 120) {
        const unsigned g = flag - 84;
        ax = 256 * (g / 12) + data.u8() + 1;
        ay = 256 * (g % 12 / 4) + data.u8() + 1;
        signs = g % 4;
    } else if (flag < 124) {
        const unsigned b0 = data.u8(), b1 = data.u8(), b2 = data.u8();
        ax = b0 << 4 | b1 >> 4;
        ay = (b1 & 15) << 8 | b2;
        signs = flag - 120;
    } else {
        ax = data.u16();
        ay = data.u16();
        signs = flag - 124;
    }
    return {(signs & 1) ? static_cast<int>(ax) : -static_cast<int>(ax),
            (signs & 2) ? static_cast<int>(ay) : -static_cast<int>(ay)};
}

inline std::optional<Bytes> read_simple(Streams& s, int contours, bool explicit_box,
                                        const std::array<std::int16_t, 4>& stored_box) {
    std::vector<std::uint16_t> ends;
    unsigned last = 0;
    for (int j = 0; j < contours; ++j) {
        const unsigned step = s.glyf.u255();
        last = j == 0 ? step : last + step;
        if (last > 0xFFFF || (j > 0 && step == 0)) return std::nullopt;
        ends.push_back(static_cast<std::uint16_t>(last));
    }
    if (!s.glyf.ok()) return std::nullopt;
    const std::size_t points = std::size_t{last} + 1;
    std::vector<std::uint8_t> flags;
    for (std::size_t i = 0; i < points; ++i) flags.push_back(s.glyf.u8());
    std::vector<Delta> deltas;
    for (std::size_t i = 0; i < points && s.glyf.ok(); ++i) deltas.push_back(read_triplet(flags[i] & 0x7F, s.glyf));
    const Bytes program = read_program(s);
    if (!s.glyf.ok() || !s.push.ok() || !s.code.ok() || program.size() > 0xFFFF) return std::nullopt;

    std::array<std::int16_t, 4> box = stored_box;
    if (!explicit_box) {
        std::int16_t x = 0, y = 0;
        for (std::size_t i = 0; i < points; ++i) {
            x = static_cast<std::int16_t>(x + deltas[i].dx);
            y = static_cast<std::int16_t>(y + deltas[i].dy);
            if (i == 0) box = {x, y, x, y};
            box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x), std::max(box[3], y)};
        }
    }

    Bytes g;
    put16(g, static_cast<unsigned>(contours));
    for (std::int16_t v : box) put16(g, static_cast<std::uint16_t>(v));
    for (std::uint16_t e : ends) put16(g, e);
    put16(g, static_cast<unsigned>(program.size()));
    g.insert(g.end(), program.begin(), program.end());
    // Plain flags, one per point: short form below 256, "same" for zero.
    Bytes xs, ys;
    for (std::size_t i = 0; i < points; ++i) {
        std::uint8_t f = (flags[i] & 0x80) ? 0 : 0x01;
        auto coord = [&](int d, Bytes& out, std::uint8_t short_bit, std::uint8_t same_bit) {
            const auto v = static_cast<std::int16_t>(d);
            if (v == 0) {
                f |= same_bit;
            } else if (v > -256 && v < 256) {
                f |= short_bit;
                if (v > 0) f |= same_bit;
                out.push_back(static_cast<std::uint8_t>(v < 0 ? -v : v));
            } else {
                put16(out, static_cast<std::uint16_t>(v));
            }
        };
        coord(deltas[i].dx, xs, 0x02, 0x10);
        coord(deltas[i].dy, ys, 0x04, 0x20);
        g.push_back(f);
    }
    g.insert(g.end(), xs.begin(), xs.end());
    g.insert(g.end(), ys.begin(), ys.end());
    return g;
}

inline std::optional<Bytes> read_composite(Streams& s, std::span<const std::uint8_t> header) {
    Bytes g(header.begin(), header.end());
    std::uint16_t flags = 0;
    do {
        flags = s.glyf.u16();
        std::size_t len = 2 + ((flags & 0x0001) ? 4 : 2);
        if (flags & 0x0080) len += 8;
        else if (flags & 0x0040) len += 4;
        else if (flags & 0x0008) len += 2;
        put16(g, flags);
        const auto rest = s.glyf.take(len);
        if (!s.glyf.ok()) return std::nullopt;
        g.insert(g.end(), rest.begin(), rest.end());
    } while (flags & 0x0020);
    if (flags & 0x0100) {
        const Bytes program = read_program(s);
        if (!s.glyf.ok() || !s.push.ok() || !s.code.ok() || program.size() > 0xFFFF) return std::nullopt;
        put16(g, static_cast<unsigned>(program.size()));
        g.insert(g.end(), program.begin(), program.end());
    }
    return g;
}

// Rebuilds glyf and the loca offsets from the three streams.
inline bool read_glyphs(Streams& s, std::size_t num_glyphs, Bytes& glyf, std::vector<std::uint32_t>& offsets) {
    offsets.assign(1, 0);
    for (std::size_t i = 0; i < num_glyphs; ++i) {
        int contours = s.glyf.i16();
        const bool explicit_box = contours == 0x7FFF;
        if (explicit_box) contours = s.glyf.i16();
        std::array<std::int16_t, 4> box{};
        if (explicit_box)
            for (auto& v : box) v = s.glyf.i16();
        if (!s.glyf.ok()) return false;
        std::optional<Bytes> g;
        if (contours == 0) {
            if (explicit_box) return false;
            g = Bytes{};
        } else if (contours > 0) {
            g = read_simple(s, contours, explicit_box, box);
        } else {
            if (explicit_box) return false;
            // The stream holds the composite's own 10-byte header.
            std::array<std::int16_t, 4> stored{};
            for (auto& v : stored) v = s.glyf.i16();
            Bytes head;
            put16(head, static_cast<std::uint16_t>(contours));
            for (std::int16_t v : stored) put16(head, static_cast<std::uint16_t>(v));
            if (!s.glyf.ok()) return false;
            g = read_composite(s, head);
        }
        if (!g) return false;
        g->resize((g->size() + 1) & ~std::size_t{1}, 0);
        glyf.insert(glyf.end(), g->begin(), g->end());
        if (glyf.size() > 0xFFFFFFF0u) return false;
        offsets.push_back(static_cast<std::uint32_t>(glyf.size()));
    }
    return s.glyf.at_end() && s.push.at_end() && s.code.at_end();
}

inline std::optional<Bytes> decode_cvt(std::span<const std::uint8_t> in) {
    Cursor c(in);
    const unsigned count = c.u16();
    Bytes out;
    std::uint16_t value = 0;
    for (unsigned i = 0; i < count && c.ok(); ++i) {
        const unsigned b = c.u8();
        int d;
        if (b < 238) d = static_cast<int>(b);
        else if (b == 238) d = c.i16();
        else if (b <= 247) d = -static_cast<int>(238 * (b - 239) + c.u8());
        else d = static_cast<int>(238 * (b - 247) + c.u8());
        value = static_cast<std::uint16_t>(value + d);
        put16(out, value);
    }
    if (!c.ok() || !c.at_end()) return std::nullopt;
    return out;
}

struct Decoded {
    Bytes sfnt;
    std::uint32_t copy_limit = 0;
    std::size_t glyph_stream_size = 0;
};

// The whole font back from compressed data.
inline std::optional<Decoded> decode(std::span<const std::uint8_t> mtx) {
    if (mtx.size() < 10 || mtx[0] != 3) return std::nullopt;
    auto be24 = [&](std::size_t at) { return std::uint32_t{mtx[at]} << 16 | std::uint32_t{mtx[at + 1]} << 8 | mtx[at + 2]; };
    Decoded out;
    out.copy_limit = be24(1);
    const std::size_t o2 = be24(4), o3 = be24(7);
    if (o2 < 10 || o3 < o2 || o3 > mtx.size()) return std::nullopt;
    const auto sfnt = lzcomp_test::decode(mtx.subspan(10, o2 - 10));
    const auto push = lzcomp_test::decode(mtx.subspan(o2, o3 - o2));
    const auto code = lzcomp_test::decode(mtx.subspan(o3));
    if (!sfnt || !push || !code || sfnt->size() < 12) return std::nullopt;

    const std::span<const std::uint8_t> in(*sfnt);
    const std::size_t n = std::size_t{in[4]} << 8 | in[5];
    if (n > (in.size() - 12) / 16) return std::nullopt;
    struct Table {
        std::string tag;
        std::uint32_t checksum;
        Bytes data;
    };
    std::vector<Table> tables;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t rec = 12 + 16 * i;
        const std::uint32_t offset = get32(in, rec + 8), length = get32(in, rec + 12);
        if (offset > in.size() || length > in.size() - offset) return std::nullopt;
        tables.push_back({std::string(in.begin() + static_cast<std::ptrdiff_t>(rec), in.begin() + static_cast<std::ptrdiff_t>(rec) + 4),
                          get32(in, rec + 4), Bytes(in.begin() + offset, in.begin() + offset + length)});
    }
    auto find = [&](const std::string& tag) -> Table* {
        for (Table& t : tables)
            if (t.tag == tag) return &t;
        return nullptr;
    };
    const Table* head = find("head");
    const Table* maxp = find("maxp");
    if (!head || head->data.size() < 52 || !maxp || maxp->data.size() < 6) return std::nullopt;
    const bool long_loca = head->data[51] != 0;
    const std::size_t num_glyphs = std::size_t{maxp->data[4]} << 8 | maxp->data[5];

    Table* glyf = find("glyf");
    Table* loca = find("loca");
    if ((glyf == nullptr) != (loca == nullptr)) return std::nullopt;
    if (glyf) {
        if (!loca->data.empty()) return std::nullopt;
        out.glyph_stream_size = glyf->data.size();
        Streams s{Cursor(glyf->data), Cursor(*push), Cursor(*code)};
        Bytes rebuilt;
        std::vector<std::uint32_t> offsets;
        if (!read_glyphs(s, num_glyphs, rebuilt, offsets)) return std::nullopt;
        Bytes index;
        for (std::uint32_t o : offsets) {
            if (long_loca) put32(index, o);
            else if (o / 2 > 0xFFFF) return std::nullopt;
            else put16(index, o / 2);
        }
        glyf->data = std::move(rebuilt);
        loca->data = std::move(index);
    } else if (!push->empty() || !code->empty()) {
        return std::nullopt;
    }
    if (Table* cvt = find("cvt ")) {
        auto values = decode_cvt(cvt->data);
        if (!values) return std::nullopt;
        cvt->data = std::move(*values);
    }

    Bytes& f = out.sfnt;
    f.assign(in.begin(), in.begin() + 12);
    std::uint32_t offset = static_cast<std::uint32_t>(12 + 16 * n);
    for (const Table& t : tables) {
        f.insert(f.end(), t.tag.begin(), t.tag.end());
        put32(f, t.checksum);
        put32(f, offset);
        put32(f, static_cast<std::uint32_t>(t.data.size()));
        offset += static_cast<std::uint32_t>((t.data.size() + 3) & ~std::size_t{3});
    }
    for (const Table& t : tables) {
        f.insert(f.end(), t.data.begin(), t.data.end());
        f.resize((f.size() + 3) & ~std::size_t{3}, 0);
    }
    return out;
}

} // namespace mtx_test
