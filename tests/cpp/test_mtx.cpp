#include "write/mtx.h"

#include "lzcomp_decode.h"
#include "sfnt_build.h"

#include <gtest/gtest.h>

#include <string>

namespace mtx = vantrell_write::mtx;
using sfnt_test::Bytes;

namespace {

Bytes trip_bytes(std::int16_t dx, std::int16_t dy) {
    const mtx::Triplet t = mtx::triplet(dx, dy);
    Bytes b{t.flag};
    b.insert(b.end(), t.data.begin(), t.data.begin() + t.size);
    return b;
}

Bytes u255(std::uint16_t v) {
    Bytes b;
    mtx::push_u255(b, v);
    return b;
}

Bytes s255(std::int16_t v) {
    Bytes b;
    mtx::push_short255(b, v);
    return b;
}

std::uint32_t be24(const Bytes& b, std::size_t at) { return (b[at] << 16) | (b[at + 1] << 8) | b[at + 2]; }
std::uint32_t be32(const Bytes& b, std::size_t at) { return (std::uint32_t{b[at]} << 24) | be24(b, at + 1); }

// A triangle: (0,0) on, (100,0) on, (0,100) off; stored box 0,0,100,100.
Bytes triangle(bool right_box = true, const Bytes& program = {}) {
    Bytes g;
    sfnt_test::be16(g, 1);
    for (unsigned v : {0u, 0u, 100u, right_box ? 100u : 101u}) sfnt_test::be16(g, v);
    sfnt_test::be16(g, 2); // last point
    sfnt_test::be16(g, static_cast<unsigned>(program.size()));
    g.insert(g.end(), program.begin(), program.end());
    g.insert(g.end(), {0x31, 0x33, 0x26}); // flags
    g.insert(g.end(), {100, 100});         // x: +100, -100
    g.push_back(100);                      // y: +100
    return g;
}

struct Decoded {
    Bytes sfnt, push, code;
    std::uint32_t copy_limit = 0;
    std::uint32_t largest_coded = 0; // largest block length field
};

Decoded unpack(const Bytes& m) {
    Decoded d;
    EXPECT_EQ(m.at(0), 3);
    d.copy_limit = be24(m, 1);
    const std::uint32_t o2 = be24(m, 4), o3 = be24(m, 7);
    EXPECT_LE(o2, o3);
    EXPECT_LE(o3, m.size());
    auto block = [&](std::size_t a, std::size_t b) {
        const std::uint32_t coded = ((m[a] & 0x7Fu) << 17) | (m[a + 1] << 9) | (m[a + 2] << 1) | (m[a + 3] >> 7);
        d.largest_coded = std::max(d.largest_coded, coded);
        auto r = lzcomp_test::decode(std::span<const std::uint8_t>(m).subspan(a, b - a));
        EXPECT_TRUE(r.has_value());
        return r.value_or(Bytes{});
    };
    d.sfnt = block(10, o2);
    d.push = block(o2, o3);
    d.code = block(o3, m.size());
    return d;
}

struct Record {
    std::string tag;
    std::uint32_t checksum, offset, length;
};

std::vector<Record> directory(const Bytes& f) {
    std::vector<Record> out;
    const unsigned n = (f[4] << 8) | f[5];
    for (unsigned i = 0; i < n; ++i) {
        const std::size_t at = 12 + 16 * i;
        out.push_back({std::string(f.begin() + static_cast<std::ptrdiff_t>(at), f.begin() + static_cast<std::ptrdiff_t>(at) + 4),
                       be32(f, at + 4), be32(f, at + 8), be32(f, at + 12)});
    }
    return out;
}

Bytes table_of(const Bytes& f, const std::string& tag) {
    for (const Record& r : directory(f))
        if (r.tag == tag) return Bytes(f.begin() + r.offset, f.begin() + r.offset + r.length);
    ADD_FAILURE() << "no table " << tag;
    return {};
}

} // namespace

TEST(Mtx, TripletRows) {
    EXPECT_EQ(trip_bytes(0, 0), (Bytes{1, 0x00}));
    EXPECT_EQ(trip_bytes(0, -1280), (Bytes{121, 0x00, 0x05, 0x00}));
    EXPECT_EQ(trip_bytes(5, -3), (Bytes{21, 0x42}));
    EXPECT_EQ(trip_bytes(-4096, 1), (Bytes{126, 0x10, 0x00, 0x00, 0x01}));
    EXPECT_EQ(trip_bytes(0, 300), (Bytes{3, 44}));
    EXPECT_EQ(trip_bytes(0, -1279), (Bytes{8, 255}));
    EXPECT_EQ(trip_bytes(300, 0), (Bytes{13, 44}));
    EXPECT_EQ(trip_bytes(-1280, 0), (Bytes{122, 0x50, 0x00, 0x00}));
    EXPECT_EQ(trip_bytes(-20, 30), (Bytes{42, 0x3D}));
    EXPECT_EQ(trip_bytes(64, 64), (Bytes{83, 0xFF}));
    EXPECT_EQ(trip_bytes(700, -700), (Bytes{117, 0xBB, 0xBB}));
    EXPECT_EQ(trip_bytes(65, 769), (Bytes{123, 0x04, 0x13, 0x01}));
    EXPECT_EQ(trip_bytes(-32768, 4096), (Bytes{126, 0x80, 0x00, 0x10, 0x00}));
}

TEST(Mtx, VariableLengthNumbers) {
    EXPECT_EQ(u255(252), (Bytes{0xFC}));
    EXPECT_EQ(u255(253), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(u255(505), (Bytes{0xFF, 0xFC}));
    EXPECT_EQ(u255(506), (Bytes{0xFE, 0x00}));
    EXPECT_EQ(u255(761), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(u255(762), (Bytes{0xFD, 0x02, 0xFA}));

    EXPECT_EQ(s255(0), (Bytes{0x00}));
    EXPECT_EQ(s255(249), (Bytes{0xF9}));
    EXPECT_EQ(s255(250), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(s255(499), (Bytes{0xFF, 0xF9}));
    EXPECT_EQ(s255(500), (Bytes{0xFE, 0x00}));
    EXPECT_EQ(s255(755), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(s255(756), (Bytes{0xFD, 0x02, 0xF4}));
    EXPECT_EQ(s255(-1), (Bytes{0xFA, 0x01}));
    EXPECT_EQ(s255(-300), (Bytes{0xFA, 0xFF, 0x32}));
    EXPECT_EQ(s255(-755), (Bytes{0xFA, 0xFE, 0xFF}));
    EXPECT_EQ(s255(-756), (Bytes{0xFD, 0xFD, 0x0C}));
    EXPECT_EQ(s255(-32768), (Bytes{0xFD, 0x80, 0x00}));
}

TEST(Mtx, CvtDeltas) {
    EXPECT_EQ(mtx::encode_cvt(Bytes{0x00, 0x00, 0x00, 0x64, 0xFF, 0x9C}), (Bytes{0x00, 0x03, 0x00, 0x64, 0xEF, 0xC8}));
    // Odd trailing byte ignored; the band edges of each form.
    EXPECT_EQ(mtx::encode_cvt(Bytes{0x00, 0xEE, 0x7F}), (Bytes{0x00, 0x01, 0xF8, 0x00}));
    Bytes v;
    for (int x : {2141, 2142, 2142 + 2142, 2142 + 2142 - 2141, 2142 + 2142 - 2141 - 2142}) sfnt_test::be16(v, static_cast<unsigned>(x) & 0xFFFF);
    // Differences 2141, 1, 2142, -2141, -2142.
    EXPECT_EQ(mtx::encode_cvt(v),
              (Bytes{0x00, 0x05, 0xFF, 0xED, 0x01, 0xEE, 0x08, 0x5E, 0xF7, 0xED, 0xEE, 0xF7, 0xA2}));
    EXPECT_EQ(mtx::encode_cvt({}), (Bytes{0x00, 0x00}));
}

TEST(Mtx, PushExtraction) {
    {   // One PUSHB of two bytes, then code.
        mtx::Streams s;
        EXPECT_EQ(s.instructions(Bytes{0xB1, 0x01, 0x02, 0x2B, 0x11}), 2u + 3u);
        EXPECT_EQ(s.glyf, (Bytes{0x02, 0x02}));
        EXPECT_EQ(s.push, (Bytes{0x01, 0x02}));
        EXPECT_EQ(s.code, (Bytes{0x2B, 0x11}));
    }
    {   // Eight bytes by PUSHB cost 9, re-created they would cost 10: kept as code.
        mtx::Streams s;
        const Bytes prog{0xB7, 0x00, 0x5F, 0x00, 0x6F, 0x00, 0x7F, 0x00, 0x03, 0x5D, 0x35};
        EXPECT_EQ(s.instructions(prog), prog.size());
        EXPECT_EQ(s.glyf, (Bytes{0x00, 0x0B}));
        EXPECT_TRUE(s.push.empty());
        EXPECT_EQ(s.code, prog);
    }
    {   // Byte, word and byte runs; a negative word; NPUSHW.
        mtx::Streams s;
        s.instructions(Bytes{0xB0, 0x05, 0xB8, 0xFF, 0xE1, 0x41, 0x01, 0x01, 0x00, 0xB0, 0x07, 0x20});
        EXPECT_EQ(s.glyf, (Bytes{0x04, 0x01}));
        EXPECT_EQ(s.push, (Bytes{0x05, 0xFA, 0x1F, 0xFF, 0x06, 0x07}));
        EXPECT_EQ(s.code, (Bytes{0x20}));
    }
    {   // The scan stops at a zero count and at a push that runs off the end.
        mtx::Streams s;
        s.instructions(Bytes{0x40, 0x00, 0xB0, 0x01});
        s.instructions(Bytes{0xB0, 0x09, 0xB2, 0x01});
        EXPECT_EQ(s.glyf, (Bytes{0x00, 0x04, 0x01, 0x02}));
        EXPECT_EQ(s.push, (Bytes{0x09}));
        EXPECT_EQ(s.code, (Bytes{0x40, 0x00, 0xB0, 0x01, 0xB2, 0x01}));
    }
}

TEST(Mtx, SimpleGlyphs) {
    mtx::Streams s;
    ASSERT_TRUE(s.glyph(triangle()));
    EXPECT_EQ(s.glyf, (Bytes{0x00, 0x01, 0x02, 0x01, 0x0B, 0xD6, 0x00, 0x64, 0x63, 0x63, 0x00, 0x00}));
    EXPECT_EQ(s.glyf_size, 22u);

    mtx::Streams t;
    ASSERT_TRUE(t.glyph(triangle(false)));
    EXPECT_EQ(Bytes(t.glyf.begin(), t.glyf.begin() + 12),
              (Bytes{0x7F, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x65}));

    mtx::Streams e;
    ASSERT_TRUE(e.glyph({}));
    ASSERT_TRUE(e.glyph(Bytes{0x00, 0x00, 0x01, 0x02}));
    EXPECT_EQ(e.glyf, (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(e.glyf_size, 0u);
}

TEST(Mtx, MalformedGlyphsAreRefused) {
    mtx::Streams s;
    Bytes g = triangle();
    for (std::size_t n = 2; n < g.size(); ++n) EXPECT_FALSE(s.glyph(Bytes(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(n)))) << n;

    Bytes twice; // two contours ending at the same point
    sfnt_test::be16(twice, 2);
    for (int i = 0; i < 4; ++i) sfnt_test::be16(twice, 0);
    sfnt_test::be16(twice, 1);
    sfnt_test::be16(twice, 1);
    sfnt_test::be16(twice, 0);
    twice.insert(twice.end(), {0x31, 0x31});
    EXPECT_FALSE(s.glyph(twice));

    Bytes lying = triangle();
    lying[13] = 0xFF; // instruction length past the end
    EXPECT_FALSE(s.glyph(lying));
}

TEST(Mtx, CompositeGlyph) {
    Bytes g;
    sfnt_test::be16(g, 0xFFFF);
    for (int i = 0; i < 4; ++i) sfnt_test::be16(g, 7);
    sfnt_test::be16(g, 0x0023); // words, xy, more
    sfnt_test::be16(g, 4);
    sfnt_test::be32(g, 0x00100020);
    sfnt_test::be16(g, 0x0148); // xy, scale, instructions
    sfnt_test::be16(g, 5);
    g.insert(g.end(), {1, 2, 0x40, 0x00, 0x40, 0x00});
    sfnt_test::be16(g, 3);
    g.insert(g.end(), {0xB0, 0x07, 0x2B});

    mtx::Streams s;
    ASSERT_TRUE(s.glyph(g));
    Bytes expect(g.begin(), g.begin() + 28);
    expect.insert(expect.end(), {0x01, 0x01});
    EXPECT_EQ(s.glyf, expect);
    EXPECT_EQ(s.push, (Bytes{0x07}));
    EXPECT_EQ(s.code, (Bytes{0x2B}));
    EXPECT_EQ(s.glyf_size, 34u); // 28 + 2 + code 1 + pushes 2, made even

    for (std::size_t n = 10; n < g.size(); ++n) {
        mtx::Streams t;
        EXPECT_FALSE(t.glyph(Bytes(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(n)))) << n;
    }
}

TEST(Mtx, OutlinesWithoutTheirIndexAreNotCompressed) {
    const Bytes glyf = triangle();
    const Bytes loca{0, 0, 0, static_cast<std::uint8_t>(glyf.size() / 2)};
    EXPECT_FALSE(mtx::compress(sfnt_test::font({{"glyf", glyf}, {"head", sfnt_test::head()}, {"maxp", sfnt_test::maxp(1)}})));
    EXPECT_FALSE(mtx::compress(sfnt_test::font({{"head", sfnt_test::head()}, {"loca", loca}, {"maxp", sfnt_test::maxp(1)}})));
    EXPECT_TRUE(mtx::compress(
        sfnt_test::font({{"glyf", glyf}, {"head", sfnt_test::head()}, {"loca", loca}, {"maxp", sfnt_test::maxp(1)}})));
}

TEST(Mtx, RefusesDamagedFonts) {
    const Bytes glyf = triangle();
    const Bytes loca{0, 0, 0, static_cast<std::uint8_t>(glyf.size() / 2)};
    const Bytes good = sfnt_test::font({{"glyf", glyf}, {"head", sfnt_test::head()}, {"loca", loca}, {"maxp", sfnt_test::maxp(1)}});
    ASSERT_TRUE(mtx::compress(good));
    for (std::size_t n = 0; n + 8 < good.size(); n += 7) EXPECT_FALSE(mtx::compress(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)))) << n;

    Bytes huge = good;
    huge[12 + 12] = 0xFF; // glyf length far past the file
    EXPECT_FALSE(mtx::compress(huge));
    EXPECT_FALSE(mtx::compress(sfnt_test::font({{"head", sfnt_test::head(0, 0, 51)}, {"maxp", sfnt_test::maxp(0)}})));
    EXPECT_FALSE(mtx::compress(sfnt_test::font({{"head", sfnt_test::head()}, {"maxp", Bytes{0, 0, 0x50, 0, 0}}})));
    // A loca too short for numGlyphs.
    EXPECT_FALSE(mtx::compress(sfnt_test::font({{"glyf", glyf}, {"head", sfnt_test::head()}, {"loca", loca}, {"maxp", sfnt_test::maxp(2)}})));
    // A loca entry past the end of glyf.
    EXPECT_FALSE(mtx::compress(sfnt_test::font({{"glyf", glyf}, {"head", sfnt_test::head()}, {"loca", Bytes{0, 0, 0, 99}}, {"maxp", sfnt_test::maxp(1)}})));
}

TEST(Mtx, OutlineFreeFontKeepsTablesAndEmptyBlocks) {
    const Bytes cff{1, 0, 4, 1, 9, 9, 9};
    const Bytes cvt{0x00, 0x00, 0x00, 0x64, 0xFF, 0x9C};
    const Bytes font = sfnt_test::font({{"CFF ", cff},
                                        {"VDMX", Bytes(8, 1)},
                                        {"cvt ", cvt},
                                        {"hdmx", Bytes(9, 2)},
                                        {"head", sfnt_test::head()},
                                        {"maxp", sfnt_test::maxp(3)}},
                                       "OTTO");
    const auto m = mtx::compress(font);
    ASSERT_TRUE(m.has_value());
    const std::uint32_t o2 = be24(*m, 4), o3 = be24(*m, 7);
    EXPECT_EQ(o3 - o2, 4u);
    EXPECT_EQ(m->size() - o3, 4u);
    EXPECT_EQ(Bytes(m->begin() + o2, m->end()), Bytes(8, 0));

    const Decoded d = unpack(*m);
    ASSERT_GE(d.sfnt.size(), 12u);
    EXPECT_EQ(d.copy_limit, d.largest_coded + 7168);
    EXPECT_EQ(Bytes(d.sfnt.begin(), d.sfnt.begin() + 12), (Bytes{'O', 'T', 'T', 'O', 0, 4, 0, 64, 0, 2, 0, 0}));
    const auto dir = directory(d.sfnt);
    ASSERT_EQ(dir.size(), 4u);
    EXPECT_EQ(dir[0].tag, "CFF ");
    EXPECT_EQ(dir[0].checksum, 0xC0DE0000u);
    EXPECT_EQ(dir[0].offset, 12u + 64u);
    EXPECT_EQ(dir[1].tag, "cvt ");
    EXPECT_EQ(dir[1].checksum, 0xC0DE0002u); // copied, not recomputed
    EXPECT_EQ(dir[1].offset, 12u + 64u + 8u);
    EXPECT_EQ(dir[2].tag, "head");
    EXPECT_EQ(table_of(d.sfnt, "CFF "), cff);
    EXPECT_EQ(table_of(d.sfnt, "cvt "), (Bytes{0x00, 0x03, 0x00, 0x64, 0xEF, 0xC8}));
    EXPECT_EQ(table_of(d.sfnt, "head"), sfnt_test::head());
    EXPECT_EQ(d.sfnt.size() % 4, 0u);
}

TEST(Mtx, TrueTypeFontStreams) {
    const Bytes prog{0xB1, 0x01, 0x02, 0x2B};
    Bytes glyf = triangle(true, prog);
    glyf.resize((glyf.size() + 1) & ~std::size_t{1});
    const std::size_t end1 = glyf.size();
    const Bytes loca{0, 0, 0, static_cast<std::uint8_t>(end1 / 2), 0, static_cast<std::uint8_t>(end1 / 2)};
    const Bytes font = sfnt_test::font(
        {{"glyf", glyf}, {"head", sfnt_test::head()}, {"loca", loca}, {"maxp", sfnt_test::maxp(2)}, {"post", Bytes(32, 0)}});
    const auto m = mtx::compress(font);
    ASSERT_TRUE(m.has_value());
    const Decoded d = unpack(*m);
    EXPECT_EQ(d.push, (Bytes{0x01, 0x02}));
    EXPECT_EQ(d.code, (Bytes{0x2B}));
    EXPECT_EQ(table_of(d.sfnt, "glyf"),
              (Bytes{0x00, 0x01, 0x02, 0x01, 0x0B, 0xD6, 0x00, 0x64, 0x63, 0x63, 0x02, 0x01, 0x00, 0x00}));
    const auto dir = directory(d.sfnt);
    ASSERT_EQ(dir.size(), 5u);
    EXPECT_EQ(dir[2].tag, "loca");
    EXPECT_EQ(dir[2].offset, 0u);
    EXPECT_EQ(dir[2].length, 0u);
    EXPECT_EQ(table_of(d.sfnt, "post"), Bytes(32, 0));
    EXPECT_EQ(d.copy_limit, d.largest_coded + 7168);
}

TEST(Mtx, LongLocaWhenTheRebuiltGlyfOutgrowsShortOffsets) {
    // A glyph of 2000 points with zero deltas, stored in 32 bytes; its rebuilt
    // size is estimated at 12 + 2 + 2000 + 1 + 1 = 2016 bytes.
    Bytes g;
    sfnt_test::be16(g, 1);
    for (int i = 0; i < 4; ++i) sfnt_test::be16(g, 0);
    sfnt_test::be16(g, 1999);
    sfnt_test::be16(g, 0);
    for (int i = 0; i < 7; ++i) g.insert(g.end(), {0x39, 255});
    g.insert(g.end(), {0x39, 255 - 8 + 1 + 6}); // 7*256 + 254 = 2046 flags: overshoot is allowed
    g.resize(32, 0);
    mtx::Streams probe;
    ASSERT_TRUE(probe.glyph(g));

    auto head_format_after = [&](unsigned glyphs) {
        Bytes glyf, loca;
        for (unsigned i = 0; i <= glyphs; ++i) sfnt_test::be16(loca, i * 16);
        for (unsigned i = 0; i < glyphs; ++i) glyf.insert(glyf.end(), g.begin(), g.end());
        const auto m = mtx::compress(
            sfnt_test::font({{"glyf", glyf}, {"head", sfnt_test::head()}, {"loca", loca}, {"maxp", sfnt_test::maxp(glyphs)}}));
        EXPECT_TRUE(m.has_value());
        if (!m) return -1;
        const Bytes head = table_of(unpack(*m).sfnt, "head");
        return (head[50] << 8) | head[51];
    };
    const auto per_glyph = probe.glyf_size;
    const unsigned fits = static_cast<unsigned>(0x1FFFE / per_glyph);
    EXPECT_EQ(head_format_after(fits), 0);
    EXPECT_EQ(head_format_after(fits + 1), 1);
}
