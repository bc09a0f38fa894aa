#include "write/mtx.h"

#include "write/lzcomp.h"

#include "core/bytes.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <string_view>

namespace vantrell_write::mtx {

namespace {

constexpr std::size_t BLOCK_HEADER = 10;
constexpr std::uint64_t FIELD24_LIMIT = std::uint64_t{1} << 24;
constexpr std::uint64_t SHORT_LOCA_LIMIT = 0x1FFFE;
constexpr std::uint8_t VERSION = 3;

using vantrell_core::bytes::append_be16;
using vantrell_core::bytes::append_be24;
using vantrell_core::bytes::append_be32;
using vantrell_core::bytes::load_be16;
using vantrell_core::bytes::load_be32;

// Simple-glyph flag bits.
constexpr std::uint8_t ON_CURVE = 0x01, X_SHORT = 0x02, Y_SHORT = 0x04, REPEAT = 0x08, X_SAME = 0x10,
                       Y_SAME = 0x20;
// Composite-glyph component flag bits.
constexpr std::uint16_t ARGS_ARE_WORDS = 0x0001, HAVE_SCALE = 0x0008, MORE_COMPONENTS = 0x0020,
                        HAVE_XY_SCALE = 0x0040, HAVE_2X2 = 0x0080, HAVE_INSTRUCTIONS = 0x0100;

std::uint64_t round_even(std::uint64_t v) { return v + (v & 1); }

struct Table {
    std::array<std::uint8_t, 4> tag{};
    std::uint32_t checksum = 0;
    std::span<const std::uint8_t> data;
    bool is(std::string_view t) const { return std::equal(tag.begin(), tag.end(), t.begin()); }
};

const Table* find(const std::vector<Table>& tables, std::string_view tag) {
    for (const Table& t : tables)
        if (t.is(tag)) return &t;
    return nullptr;
}

// Bytes a coordinate delta takes in a plain glyf table: the first one of a
// glyph always takes at least one byte, later zeros take none.
unsigned coordinate_bytes(int delta, bool first) {
    if (delta == 0 && !first) return 0;
    return std::abs(delta) < 256 ? 1 : 2;
}

} // namespace

Triplet triplet(std::int16_t dx, std::int16_t dy) {
    const auto ax = static_cast<std::uint32_t>(std::abs(int{dx}));
    const auto ay = static_cast<std::uint32_t>(std::abs(int{dy}));
    const unsigned sx = dx >= 0 ? 1 : 0, sy = dy >= 0 ? 1 : 0;
    const unsigned s = sx + 2 * sy;
    Triplet t;
    auto set = [&t](unsigned flag, std::initializer_list<std::uint32_t> bytes) {
        t.flag = static_cast<std::uint8_t>(flag);
        for (std::uint32_t b : bytes) t.data[t.size++] = static_cast<std::uint8_t>(b);
    };
    if (dx == 0 && ay < 1280) {
        set(2 * (ay / 256) + sy, {ay % 256});
    } else if (dy == 0 && ax > 0 && ax < 1280) {
        set(10 + 2 * (ax / 256) + sx, {ax % 256});
    } else if (dx != 0 && dy != 0 && ax <= 64 && ay <= 64) {
        set(20 + 16 * ((ax - 1) / 16) + 4 * ((ay - 1) / 16) + s, {16 * ((ax - 1) % 16) + (ay - 1) % 16});
    } else if (dx != 0 && dy != 0 && ax <= 768 && ay <= 768) {
        set(84 + 12 * ((ax - 1) / 256) + 4 * ((ay - 1) / 256) + s, {(ax - 1) % 256, (ay - 1) % 256});
    } else if (ax < 4096 && ay < 4096) {
        set(120 + s, {ax >> 4, ((ax & 0xF) << 4) | (ay >> 8), ay & 0xFF});
    } else {
        set(124 + s, {ax >> 8, ax & 0xFF, ay >> 8, ay & 0xFF});
    }
    return t;
}

void push_u255(Bytes& out, std::uint16_t value) {
    if (value < 253) {
        out.push_back(static_cast<std::uint8_t>(value));
    } else if (value < 506) {
        out.push_back(255);
        out.push_back(static_cast<std::uint8_t>(value - 253));
    } else if (value < 762) {
        out.push_back(254);
        out.push_back(static_cast<std::uint8_t>(value - 506));
    } else {
        out.push_back(253);
        append_be16(out, value);
    }
}

void push_short255(Bytes& out, std::int16_t value) {
    int v = value;
    if (v < 0 && v > -756) {
        out.push_back(250);
        v = -v;
    }
    if (v >= 0 && v < 250) {
        out.push_back(static_cast<std::uint8_t>(v));
    } else if (v >= 250 && v < 500) {
        out.push_back(255);
        out.push_back(static_cast<std::uint8_t>(v - 250));
    } else if (v >= 500 && v < 756) {
        out.push_back(254);
        out.push_back(static_cast<std::uint8_t>(v - 500));
    } else {
        out.push_back(253);
        append_be16(out, static_cast<std::uint16_t>(value));
    }
}

Bytes encode_cvt(std::span<const std::uint8_t> cvt) {
    const std::size_t count = cvt.size() / 2;
    Bytes out;
    out.reserve(2 + 2 * count);
    append_be16(out, static_cast<std::uint16_t>(count));
    std::uint16_t prev = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t v = load_be16(cvt, 2 * i);
        const auto d = static_cast<std::uint16_t>(v - prev);
        prev = v;
        if (d < 238) {
            out.push_back(static_cast<std::uint8_t>(d));
        } else if (d < 2142) {
            out.push_back(static_cast<std::uint8_t>(247 + d / 238));
            out.push_back(static_cast<std::uint8_t>(d % 238));
        } else if (d >= 0xF7A3) {
            const unsigned e = 65536u - d;
            out.push_back(static_cast<std::uint8_t>(239 + e / 238));
            out.push_back(static_cast<std::uint8_t>(e % 238));
        } else {
            out.push_back(238);
            append_be16(out, d);
        }
    }
    return out;
}

std::uint64_t Streams::instructions(std::span<const std::uint8_t> program) {
    std::vector<std::int16_t> values;
    std::size_t pos = 0;
    const std::size_t size = program.size();
    while (pos < size) {
        const std::uint8_t op = program[pos];
        std::size_t count, width, head;
        if (op == 0x40 || op == 0x41) {
            if (size - pos < 2) break;
            count = program[pos + 1];
            width = op == 0x40 ? 1 : 2;
            head = 2;
        } else if (op >= 0xB0 && op <= 0xB7) {
            count = op - 0xAFu;
            width = 1;
            head = 1;
        } else if (op >= 0xB8 && op <= 0xBF) {
            count = op - 0xB7u;
            width = 2;
            head = 1;
        } else {
            break;
        }
        if (count == 0 || count * width > size - pos - head) break;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = pos + head + i * width;
            values.push_back(width == 1 ? std::int16_t{program[at]}
                                        : static_cast<std::int16_t>(load_be16(program, at)));
        }
        pos += head + count * width;
    }

    // What re-creating the pushes would cost; extraction only when it is not
    // larger than the instructions it replaces.
    std::uint64_t cost = 0;
    for (std::size_t i = 0; i < values.size();) {
        const bool bytes = static_cast<std::uint16_t>(values[i]) < 256;
        std::size_t c = 0;
        while (i < values.size() && c < 255 && (static_cast<std::uint16_t>(values[i]) < 256) == bytes) {
            ++i;
            ++c;
        }
        cost += (c < 8 ? 1 : 2) + (bytes ? c : 2 * c);
    }
    if (cost > pos) {
        values.clear();
        pos = 0;
        cost = 0;
    }

    push_u255(glyf, static_cast<std::uint16_t>(values.size()));
    for (std::int16_t v : values) push_short255(push, v);
    const std::size_t code_len = size - pos;
    push_u255(glyf, static_cast<std::uint16_t>(code_len));
    code.insert(code.end(), program.begin() + static_cast<std::ptrdiff_t>(pos), program.end());
    return code_len + cost;
}

bool Streams::glyph(std::span<const std::uint8_t> g) {
    if (g.size() < 2 || load_be16(g, 0) == 0) {
        append_be16(glyf, 0);
        return true;
    }
    const auto contours = static_cast<std::int16_t>(load_be16(g, 0));
    if (contours > 0) {
        const auto n = static_cast<std::size_t>(contours);
        if (g.size() < 12 || 2 * n > g.size() - 10) return false;
        std::vector<std::uint16_t> ends(n);
        for (std::size_t j = 0; j < n; ++j) {
            ends[j] = load_be16(g, 10 + 2 * j);
            if (j > 0 && ends[j] <= ends[j - 1]) return false;
        }
        std::size_t at = 10 + 2 * n;
        if (g.size() - at < 2) return false;
        const std::size_t ins_len = load_be16(g, at);
        at += 2;
        if (ins_len > g.size() - at) return false;
        const auto program = g.subspan(at, ins_len);
        at += ins_len;

        const std::size_t points = std::size_t{ends[n - 1]} + 1;
        std::vector<std::uint8_t> flags;
        flags.reserve(points);
        while (flags.size() < points) {
            if (at >= g.size()) return false;
            const std::uint8_t f = g[at++];
            flags.push_back(f);
            if (f & REPEAT) {
                if (at >= g.size()) return false;
                flags.insert(flags.end(), g[at++], f);
            }
        }
        std::vector<std::int16_t> dx(flags.size()), dy(flags.size());
        auto read_deltas = [&](std::vector<std::int16_t>& out, std::uint8_t short_bit, std::uint8_t same_bit) {
            for (std::size_t i = 0; i < flags.size(); ++i) {
                const std::uint8_t f = flags[i];
                if (f & short_bit) {
                    if (at >= g.size()) return false;
                    const std::int16_t v = g[at++];
                    out[i] = (f & same_bit) ? v : static_cast<std::int16_t>(-v);
                } else if (f & same_bit) {
                    out[i] = 0;
                } else {
                    if (g.size() - at < 2) return false;
                    out[i] = static_cast<std::int16_t>(load_be16(g, at));
                    at += 2;
                }
            }
            return true;
        };
        if (at > g.size() || !read_deltas(dx, X_SHORT, X_SAME) || !read_deltas(dy, Y_SHORT, Y_SAME)) return false;

        std::int16_t x = 0, y = 0;
        std::int16_t xmin = 0, ymin = 0, xmax = 0, ymax = 0;
        std::uint64_t xbytes = 0, ybytes = 0;
        for (std::size_t i = 0; i < flags.size(); ++i) {
            x = static_cast<std::int16_t>(x + dx[i]);
            y = static_cast<std::int16_t>(y + dy[i]);
            if (i == 0) {
                xmin = xmax = x;
                ymin = ymax = y;
            } else {
                xmin = std::min(xmin, x);
                xmax = std::max(xmax, x);
                ymin = std::min(ymin, y);
                ymax = std::max(ymax, y);
            }
            xbytes += coordinate_bytes(dx[i], i == 0);
            ybytes += coordinate_bytes(dy[i], i == 0);
        }
        const bool box_matches = static_cast<std::int16_t>(load_be16(g, 2)) == xmin &&
                                 static_cast<std::int16_t>(load_be16(g, 4)) == ymin &&
                                 static_cast<std::int16_t>(load_be16(g, 6)) == xmax &&
                                 static_cast<std::int16_t>(load_be16(g, 8)) == ymax;
        if (!box_matches) append_be16(glyf, 0x7FFF);
        append_be16(glyf, static_cast<std::uint16_t>(contours));
        if (!box_matches) glyf.insert(glyf.end(), g.begin() + 2, g.begin() + 10);

        push_u255(glyf, ends[0]);
        for (std::size_t j = 1; j < n; ++j) push_u255(glyf, static_cast<std::uint16_t>(ends[j] - ends[j - 1]));

        std::vector<Triplet> trips(points);
        for (std::size_t i = 0; i < points; ++i) {
            trips[i] = triplet(dx[i], dy[i]);
            glyf.push_back(static_cast<std::uint8_t>(trips[i].flag + ((flags[i] & ON_CURVE) ? 0 : 128)));
        }
        for (const Triplet& t : trips) glyf.insert(glyf.end(), t.data.begin(), t.data.begin() + t.size);

        const std::uint64_t ins_estimate = instructions(program);
        glyf_size += round_even(12 + 2 * n + flags.size() + xbytes + ybytes + ins_estimate);
        return true;
    }

    // Composite: component records pass unchanged; only the trailing
    // program goes through the instruction split.
    std::size_t at = 10;
    std::uint16_t flags = 0;
    do {
        if (g.size() < at || g.size() - at < 4) return false;
        flags = load_be16(g, at);
        std::size_t len = 4 + ((flags & ARGS_ARE_WORDS) ? 4 : 2);
        if (flags & HAVE_2X2) len += 8;
        else if (flags & HAVE_XY_SCALE) len += 4;
        else if (flags & HAVE_SCALE) len += 2;
        if (len > g.size() - at) return false;
        at += len;
    } while (flags & MORE_COMPONENTS);
    glyf.insert(glyf.end(), g.begin(), g.begin() + static_cast<std::ptrdiff_t>(at));
    std::uint64_t grow = at;
    if (flags & HAVE_INSTRUCTIONS) {
        if (g.size() - at < 2) return false;
        const std::size_t ins_len = load_be16(g, at);
        if (ins_len > g.size() - at - 2) return false;
        grow += 2 + instructions(g.subspan(at + 2, ins_len));
    }
    glyf_size += round_even(grow);
    return true;
}

std::optional<Bytes> compress(std::span<const std::uint8_t> font) {
    if (font.size() < 12) return std::nullopt;
    const std::size_t num_tables = load_be16(font, 4);
    if (num_tables > (font.size() - 12) / 16) return std::nullopt;
    std::vector<Table> tables(num_tables);
    for (std::size_t i = 0; i < num_tables; ++i) {
        const std::size_t rec = 12 + 16 * i;
        Table& t = tables[i];
        std::copy_n(font.begin() + static_cast<std::ptrdiff_t>(rec), 4, t.tag.begin());
        t.checksum = load_be32(font, rec + 4);
        const std::uint32_t offset = load_be32(font, rec + 8), length = load_be32(font, rec + 12);
        if (offset > font.size() || length > font.size() - offset) return std::nullopt;
        t.data = font.subspan(offset, length);
    }

    const Table* head = find(tables, "head");
    const Table* maxp = find(tables, "maxp");
    if (!head || head->data.size() <= 51 || !maxp || maxp->data.size() < 6) return std::nullopt;
    Bytes head_copy(head->data.begin(), head->data.end());
    const bool short_loca = load_be16(head->data, 50) == 0;
    const std::size_t num_glyphs = load_be16(maxp->data, 4);

    const Table* glyf = find(tables, "glyf");
    const Table* loca = find(tables, "loca");
    // Outlines without their index (or the reverse) cannot be transformed;
    // dropping them would lose every glyph, so the font goes in as it is.
    if ((glyf == nullptr) != (loca == nullptr)) return std::nullopt;

    Streams streams;
    if (glyf && loca && num_glyphs != 0) {
        const auto gdata = glyf->data;
        const auto ldata = loca->data;
        const std::size_t entry = short_loca ? 2 : 4;
        for (std::size_t i = 0; i < num_glyphs; ++i) {
            if ((i + 2) * entry > ldata.size()) return std::nullopt;
            std::uint64_t start, end;
            if (short_loca) {
                start = 2 * std::uint64_t{load_be16(ldata, 2 * i)};
                end = 2 * std::uint64_t{load_be16(ldata, 2 * i + 2)};
            } else {
                start = load_be32(ldata, 4 * i);
                end = load_be32(ldata, 4 * i + 4);
            }
            end = std::max(start, end);
            if (end > gdata.size()) return std::nullopt;
            if (!streams.glyph(gdata.subspan(start, end - start))) return std::nullopt;
        }
    }
    if (short_loca && streams.glyf_size > SHORT_LOCA_LIMIT) {
        head_copy[50] = 0;
        head_copy[51] = 1;
    }

    // Rebuilt sfnt: same directory order and checksums, transformed data.
    std::vector<std::pair<const Table*, std::span<const std::uint8_t>>> kept;
    std::deque<Bytes> cvts;
    for (const Table& t : tables) {
        if (t.is("hdmx") || t.is("VDMX")) continue;
        std::span<const std::uint8_t> data = t.data;
        if (t.is("glyf")) data = streams.glyf;
        else if (t.is("loca")) data = {};
        else if (t.is("head")) data = head_copy;
        else if (t.is("cvt ")) {
            data = cvts.emplace_back(encode_cvt(t.data));
        }
        kept.emplace_back(&t, data);
    }
    const std::size_t n = kept.size();
    std::uint64_t total = 12 + 16 * std::uint64_t{n};
    for (const auto& k : kept) total += (k.second.size() + 3) & ~std::uint64_t{3};
    // A block codes fewer than 2^24 bytes; checking here also keeps every
    // offset well inside 32 bits.
    if (total >= FIELD24_LIMIT) return std::nullopt;

    Bytes sfnt;
    sfnt.reserve(total);
    sfnt.insert(sfnt.end(), font.begin(), font.begin() + 4);
    unsigned selector = 0;
    while ((std::size_t{2} << selector) <= std::max<std::size_t>(n, 1)) ++selector;
    const std::uint32_t search_range = 16u << selector;
    append_be16(sfnt, static_cast<std::uint16_t>(n));
    append_be16(sfnt, static_cast<std::uint16_t>(search_range));
    append_be16(sfnt, static_cast<std::uint16_t>(selector));
    append_be16(sfnt, static_cast<std::uint16_t>(16 * n - search_range));
    std::uint32_t offset = static_cast<std::uint32_t>(12 + 16 * n);
    for (const auto& [t, data] : kept) {
        sfnt.insert(sfnt.end(), t->tag.begin(), t->tag.end());
        append_be32(sfnt, t->checksum);
        const bool is_loca = t->is("loca");
        append_be32(sfnt, is_loca ? 0 : offset);
        append_be32(sfnt, static_cast<std::uint32_t>(data.size()));
        if (!is_loca) offset += static_cast<std::uint32_t>((data.size() + 3) & ~std::size_t{3});
    }
    for (const auto& [t, data] : kept) {
        sfnt.insert(sfnt.end(), data.begin(), data.end());
        sfnt.resize((sfnt.size() + 3) & ~std::size_t{3}, 0);
    }

    auto b1 = lzcomp::pack(sfnt);
    if (!b1) return std::nullopt;
    auto b2 = lzcomp::pack(streams.push);
    if (!b2) return std::nullopt;
    auto b3 = lzcomp::pack(streams.code);
    if (!b3) return std::nullopt;

    auto coded_length = [](const Bytes& block) -> std::uint32_t {
        if (block.size() < 4) return 0;
        return ((block[0] & 0x7Fu) << 17) | (std::uint32_t{block[1]} << 9) | (std::uint32_t{block[2]} << 1) |
               (block[3] >> 7);
    };
    const std::uint64_t largest = std::max({coded_length(*b1), coded_length(*b2), coded_length(*b3)});
    const std::uint64_t copy_limit = std::min<std::uint64_t>(largest + lzcomp::PRELOAD_SIZE, 0xFFFFFF);
    const std::uint64_t offset2 = BLOCK_HEADER + b1->size();
    const std::uint64_t offset3 = offset2 + b2->size();
    if (offset2 >= FIELD24_LIMIT || offset3 >= FIELD24_LIMIT) return std::nullopt;

    Bytes out;
    out.reserve(offset3 + b3->size());
    out.push_back(VERSION);
    append_be24(out, static_cast<std::uint32_t>(copy_limit));
    append_be24(out, static_cast<std::uint32_t>(offset2));
    append_be24(out, static_cast<std::uint32_t>(offset3));
    out.insert(out.end(), b1->begin(), b1->end());
    out.insert(out.end(), b2->begin(), b2->end());
    out.insert(out.end(), b3->begin(), b3->end());
    return out;
}

} // namespace vantrell_write::mtx
