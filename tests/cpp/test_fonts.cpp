#include "write/fonts.h"

#include "lzcomp_decode.h"
#include "sfnt_build.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <unistd.h>

namespace fonts = vantrell_write::fonts;
using sfnt_test::Bytes;
using vantrell_write::Error;

namespace {

Bytes names(const std::vector<sfnt_test::NameRecord>& extra = {}) {
    std::vector<sfnt_test::NameRecord> r{sfnt_test::win(1, u"Fam"), sfnt_test::win(2, u"Sty"),
                                         sfnt_test::win(4, u"Fam Sty"), sfnt_test::win(5, u"Version 1")};
    r.insert(r.end(), extra.begin(), extra.end());
    return sfnt_test::name_table(r);
}

Bytes basic_font(const Bytes& name, const Bytes& os2, const Bytes& head = sfnt_test::head(),
                 const Bytes* post = nullptr) {
    std::vector<std::pair<std::string, Bytes>> t{{"OS/2", os2}, {"head", head}, {"maxp", sfnt_test::maxp(0)},
                                                 {"name", name}};
    if (post) t.emplace_back("post", *post);
    return sfnt_test::font(t);
}

Bytes good_font() { return basic_font(names(), sfnt_test::os2(1, 96, 0)); }

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

Bytes read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), {});
}

std::vector<std::filesystem::path> system_fonts() {
    std::vector<std::filesystem::path> out;
    for (const char* dir : {"/usr/share/fonts/truetype/dejavu", "/usr/share/fonts/truetype/liberation2"}) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            if (e.path().extension() == ".ttf") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(Fonts, TableLookupSkipsUnusableRecords) {
    Bytes f = sfnt_test::font({{"name", Bytes{1, 2, 3}}, {"name", Bytes{4, 5}}});
    EXPECT_EQ(fonts::table(f, "name")->size(), 3u);
    f[12 + 15] = 0xF0; // first record's length past the end: the second counts
    const auto t = fonts::table(f, "name");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(Bytes(t->begin(), t->end()), (Bytes{4, 5}));
    EXPECT_FALSE(fonts::table(f, "OS/2"));
    EXPECT_FALSE(fonts::table(Bytes(f.begin(), f.begin() + 5), "name"));
    // A count larger than the directory: records past the end do not count.
    Bytes g = sfnt_test::font({{"head", Bytes{9}}});
    g[5] = 200;
    EXPECT_TRUE(fonts::table(g, "head"));
    EXPECT_FALSE(fonts::table(g, "name"));
}

TEST(Fonts, NameRanking) {
    using sfnt_test::NameRecord;
    const NameRecord mac{1, 0, 0, 1, Bytes{'M', 0xE9}};
    const NameRecord uni{0, 3, 0, 1, sfnt_test::utf16be(u"Uni")};
    const NameRecord win_fr{3, 1, 0x040C, 1, sfnt_test::utf16be(u"Fr")};
    const NameRecord win_us{3, 1, 0x0409, 1, sfnt_test::utf16be(u"Us")};
    const NameRecord win_us2{3, 10, 0x0409, 1, sfnt_test::utf16be(u"Us2")};
    const NameRecord other{3, 0, 0x0409, 1, sfnt_test::utf16be(u"Sym")};
    EXPECT_EQ(fonts::name(sfnt_test::name_table({mac}), 1), "M\xC3\xA9");
    EXPECT_EQ(fonts::name(sfnt_test::name_table({mac, win_us}), 1), "Us");
    EXPECT_EQ(fonts::name(sfnt_test::name_table({win_us, win_us2}), 1), "Us");
    EXPECT_EQ(fonts::name(sfnt_test::name_table({mac, uni, win_fr}), 1), "Fr");
    EXPECT_EQ(fonts::name(sfnt_test::name_table({uni, mac}), 1), "Uni");
    EXPECT_FALSE(fonts::name(sfnt_test::name_table({other}), 1));
    EXPECT_FALSE(fonts::name(sfnt_test::name_table({win_us}), 2));

    // Surrogate pairs decode; lone surrogates become U+FFFD; an odd byte is dropped.
    const NameRecord emoji{3, 1, 0x0409, 4, Bytes{0xD8, 0x3D, 0xDE, 0x00, 0xDC, 0x00, 0x00, 0x41, 0x00}};
    EXPECT_EQ(fonts::name(sfnt_test::name_table({emoji}), 4), "\xF0\x9F\x98\x80\xEF\xBF\xBD" "A");

    // A string past the end spoils the whole lookup, even after a good record.
    Bytes t = sfnt_test::name_table({win_us, win_us2});
    t[6 + 12 + 8 + 1] = 200;
    EXPECT_FALSE(fonts::name(t, 1));
    // A record cut inside its first eight bytes likewise.
    Bytes cut = sfnt_test::name_table({win_us});
    cut[3] = 2;
    EXPECT_FALSE(fonts::name(Bytes(cut.begin(), cut.begin() + 6 + 12 + 7), 1));
    EXPECT_FALSE(fonts::name(Bytes{0, 0, 0, 0, 0, 6}, 1));
}

TEST(Fonts, InfoChecksInOrder) {
    auto err = [](const Bytes& f) {
        const auto r = fonts::info(f);
        EXPECT_FALSE(r.has_value());
        return r ? Error::other("accepted") : r.error();
    };
    EXPECT_EQ(err(Bytes{0, 1, 0}), Error::font("file too short"));
    EXPECT_EQ(err(Bytes{0, 1, 0, 0}), Error::font("no name table"));
    EXPECT_EQ(err(Bytes{'t', 't', 'c', 'f', 0, 0}), Error::font("font collections are not supported"));
    EXPECT_EQ(err(Bytes{'w', 'O', 'F', 'F', 0, 0}), Error::font("not a TrueType or OpenType font"));
    EXPECT_EQ(err(sfnt_test::font({{"name", names()}})), Error::font("no OS/2 table"));
    EXPECT_EQ(err(sfnt_test::font({{"name", names()}, {"OS/2", sfnt_test::os2(1, 96, 0)}})),
              Error::font("no head table"));
    EXPECT_EQ(err(basic_font(names(), sfnt_test::os2(1, 9, 0))), Error::font("OS/2 table too short"));
    EXPECT_EQ(err(basic_font(names(), sfnt_test::os2(1, 41, 0))), Error::font("OS/2 table too short"));
    EXPECT_EQ(err(basic_font(names(), sfnt_test::os2(1, 63, 0))), Error::font("OS/2 table too short"));
    EXPECT_EQ(err(basic_font(names(), sfnt_test::os2(1, 78, 0))), Error::font("OS/2 table too short"));
    EXPECT_EQ(err(basic_font(names(), sfnt_test::os2(0, 96, 0), sfnt_test::head(0, 0, 45))),
              Error::font("head table too short"));
    EXPECT_EQ(err(basic_font(sfnt_test::name_table({sfnt_test::win(2, u"S")}), sfnt_test::os2(1, 96, 0))),
              Error::font("no family name"));
}

TEST(Fonts, EmbeddingPermission) {
    // Restricted: refused before the OS/2 length or the family is looked at.
    const auto r = fonts::info(basic_font(names(), sfnt_test::os2(1, 10, 0x0002)));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::font_not_embeddable("Fam Sty"));
    const auto no_full = fonts::info(basic_font(sfnt_test::name_table({sfnt_test::win(1, u"F")}), sfnt_test::os2(1, 96, 0x0102)));
    ASSERT_FALSE(no_full.has_value());
    EXPECT_EQ(no_full.error(), Error::font_not_embeddable(""));
    for (unsigned fs : {0x0000u, 0x0004u, 0x0008u, 0x000Au, 0x0200u})
        EXPECT_TRUE(fonts::info(basic_font(names(), sfnt_test::os2(1, 96, fs)))) << fs;
}

TEST(Fonts, InfoFields) {
    const Bytes post = [] {
        Bytes p(32, 0);
        p[15] = 1;
        return p;
    }();
    const auto fi = fonts::info(basic_font(names(), sfnt_test::os2(1, 96, 0x0008, 700, 0x0001), sfnt_test::head(0x0001), &post));
    ASSERT_TRUE(fi.has_value());
    EXPECT_EQ(fi->family, "Fam");
    EXPECT_EQ(fi->style, "Sty");
    EXPECT_EQ(fi->full_name, "Fam Sty");
    EXPECT_EQ(fi->version, "Version 1");
    EXPECT_EQ(fi->weight, 700);
    EXPECT_EQ(fi->fs_type, 0x0008);
    EXPECT_EQ(fi->panose, (std::array<std::uint8_t, 10>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(fi->unicode_ranges[0], 0x10111213u);
    EXPECT_EQ(fi->unicode_ranges[3], 0x1C1D1E1Fu);
    EXPECT_EQ(fi->code_page_ranges[1], 0x44454647u);
    EXPECT_EQ(fi->checksum_adjustment, 0x12345678u);
    EXPECT_TRUE(fi->bold);   // macStyle
    EXPECT_TRUE(fi->italic); // fsSelection
    EXPECT_TRUE(fi->fixed_pitch);

    // Version-0 OS/2 of 78 bytes: no code pages. Preferred names win; fallbacks.
    const auto v0 = fonts::info(basic_font(
        sfnt_test::name_table({sfnt_test::win(1, u"Old"), sfnt_test::win(16, u"Typo"), sfnt_test::win(17, u"Sub")}),
        sfnt_test::os2(0, 78, 0, 400, 0x0020)));
    ASSERT_TRUE(v0.has_value());
    EXPECT_EQ(v0->code_page_ranges, (std::array<std::uint32_t, 2>{0, 0}));
    EXPECT_EQ(v0->family, "Typo");
    EXPECT_EQ(v0->style, "Sub");
    EXPECT_EQ(v0->full_name, "Typo");
    EXPECT_EQ(v0->version, "");
    EXPECT_TRUE(v0->bold);
    EXPECT_FALSE(v0->italic);
    EXPECT_FALSE(v0->fixed_pitch);

    const auto bare = fonts::info(basic_font(sfnt_test::name_table({sfnt_test::win(1, u"Only")}), sfnt_test::os2(1, 96, 0)));
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(bare->style, "Regular");

    // A family string past the table's end falls back from id 16 to id 1.
    Bytes nt = sfnt_test::name_table({sfnt_test::win(16, u"Broken"), sfnt_test::win(1, u"Plain")});
    nt[6 + 8] = 0x7F; // id 16's length
    const auto fb = fonts::info(basic_font(nt, sfnt_test::os2(1, 96, 0)));
    ASSERT_TRUE(fb.has_value());
    EXPECT_EQ(fb->family, "Plain");
}

TEST(Fonts, NameFields) {
    Bytes out;
    fonts::push_name(out, "");
    EXPECT_EQ(out, (Bytes{0, 0, 2, 0, 0, 0}));
    out.clear();
    fonts::push_name(out, "A\xF0\x9F\x98\x80");
    EXPECT_EQ(out, (Bytes{0, 0, 8, 0, 'A', 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
}

TEST(Fonts, EmbeddedOpenTypeHeader) {
    const Bytes font = good_font();
    const auto part = fonts::embed(font);
    ASSERT_TRUE(part.has_value());
    const Bytes& e = part->eot;
    EXPECT_EQ(part->family, "Fam");
    EXPECT_EQ(le32(e, 0), e.size());
    EXPECT_EQ(le32(e, 8), fonts::EOT_VERSION);
    EXPECT_EQ(le32(e, 12), fonts::EOT_FLAG_COMPRESSED);
    EXPECT_EQ(Bytes(e.begin() + 16, e.begin() + 26), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(e[26], 0);
    EXPECT_EQ(le32(e, 28), 400u);
    EXPECT_EQ(e[34], 0x4C);
    EXPECT_EQ(e[35], 0x50);
    EXPECT_EQ(le32(e, 36), 0x10111213u);
    EXPECT_EQ(le32(e, 52), 0x40414243u);
    EXPECT_EQ(le32(e, 60), 0x12345678u);
    EXPECT_EQ(Bytes(e.begin() + 64, e.begin() + 80), Bytes(16, 0));
    // Names: "Fam", "Sty", "Version 1", "Fam Sty".
    std::size_t at = 80;
    for (std::size_t units : {3u, 3u, 9u, 7u}) {
        EXPECT_EQ(e[at] | (e[at + 1] << 8), 0);
        EXPECT_EQ(static_cast<std::size_t>(e[at + 2] | (e[at + 3] << 8)), 2 * units + 2);
        at += 4 + 2 * units + 2;
    }
    const Bytes tail{0, 0, 0, 0, 0x42, 0x53, 0x47, 0x50, 0xE4, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(e.begin() + static_cast<std::ptrdiff_t>(at), e.begin() + static_cast<std::ptrdiff_t>(at + tail.size())), tail);
    at += tail.size();
    EXPECT_EQ(le32(e, 4), e.size() - at);
    EXPECT_EQ(e[at], 3); // compressed-data version
}

TEST(Fonts, UncompressedWhenTheTransformGivesUp) {
    // glyf without loca: outlines must not be dropped, so the file goes in raw.
    Bytes font = sfnt_test::font({{"OS/2", sfnt_test::os2(1, 96, 0)},
                                  {"glyf", Bytes{0, 1, 0, 0}},
                                  {"head", sfnt_test::head()},
                                  {"maxp", sfnt_test::maxp(1)},
                                  {"name", names()}});
    const auto part = fonts::embed(font);
    ASSERT_TRUE(part.has_value());
    const Bytes& e = part->eot;
    EXPECT_EQ(le32(e, 12), 0u);
    EXPECT_EQ(le32(e, 4), font.size());
    EXPECT_EQ(Bytes(e.end() - static_cast<std::ptrdiff_t>(font.size()), e.end()), font);
    EXPECT_EQ(le32(e, 0), e.size());
}

TEST(Fonts, SystemFontsEmbed) {
    const auto paths = system_fonts();
    if (paths.empty()) GTEST_SKIP() << "fonts-dejavu-core / fonts-liberation2 not installed";
    for (const auto& p : paths) {
        const Bytes font = read_file(p);
        const auto fi = fonts::info(font);
        ASSERT_TRUE(fi.has_value()) << p;
        EXPECT_FALSE(fi->family.empty()) << p;
    }
    // Full conversion of a few, checking the rebuilt sfnt keeps every table
    // other than the transformed ones byte for byte.
    std::size_t done = 0;
    for (const auto& p : paths) {
        const std::string n = p.filename().string();
        if (n != "DejaVuSans.ttf" && n != "LiberationSans-Regular.ttf" && n != "LiberationMono-BoldItalic.ttf") continue;
        const Bytes font = read_file(p);
        const auto part = fonts::embed(font);
        ASSERT_TRUE(part.has_value()) << p;
        const Bytes& e = part->eot;
        ASSERT_EQ(le32(e, 12), fonts::EOT_FLAG_COMPRESSED) << p;
        EXPECT_LT(e.size(), font.size()) << p;
        const std::size_t data = e.size() - le32(e, 4);
        const std::uint32_t o2 = (e[data + 4] << 16) | (e[data + 5] << 8) | e[data + 6];
        const auto sfnt = lzcomp_test::decode(std::span<const std::uint8_t>(e).subspan(data + 10, o2 - 10));
        ASSERT_TRUE(sfnt.has_value()) << p;
        const std::size_t n_in = (font[4] << 8) | font[5];
        for (std::size_t i = 0; i < n_in; ++i) {
            const std::string tag(font.begin() + static_cast<std::ptrdiff_t>(12 + 16 * i),
                                  font.begin() + static_cast<std::ptrdiff_t>(16 + 16 * i));
            if (tag == "glyf" || tag == "loca" || tag == "head" || tag == "cvt " || tag == "hdmx" || tag == "VDMX") continue;
            const auto a = fonts::table(font, tag);
            const auto b = fonts::table(*sfnt, tag);
            ASSERT_TRUE(a && b) << p << " " << tag;
            EXPECT_TRUE(std::equal(a->begin(), a->end(), b->begin(), b->end())) << p << " " << tag;
        }
        ++done;
    }
    EXPECT_EQ(done, 3u);
}

// An independent decoder, when installed: eot2ttf must rebuild the font with
// every table but the outline ones unchanged, cvt included.
TEST(Fonts, IndependentDecoderRebuildsTables) {
    if (std::system("command -v eot2ttf > /dev/null 2>&1") != 0) GTEST_SKIP() << "eot2ttf not installed";
    std::vector<std::filesystem::path> picked;
    for (const auto& p : system_fonts()) {
        const std::string n = p.filename().string();
        if (n == "LiberationSerif-Italic.ttf" || n == "LiberationMono-Regular.ttf" || n == "DejaVuSerif-Bold.ttf")
            picked.push_back(p);
    }
    if (picked.empty()) GTEST_SKIP() << "test fonts not installed";
    const auto dir = std::filesystem::temp_directory_path() / ("vantrell-eot-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (const auto& p : picked) {
        const Bytes font = read_file(p);
        const auto part = fonts::embed(font);
        ASSERT_TRUE(part.has_value()) << p;
        const auto eot_path = dir / "f.eot", ttf_path = dir / "f.ttf";
        {
            std::ofstream o(eot_path, std::ios::binary);
            o.write(reinterpret_cast<const char*>(part->eot.data()), static_cast<std::streamsize>(part->eot.size()));
        }
        const std::string cmd = "eot2ttf '" + eot_path.string() + "' '" + ttf_path.string() + "' > /dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << p;
        const Bytes back = read_file(ttf_path);
        const std::size_t n_in = (font[4] << 8) | font[5];
        for (std::size_t i = 0; i < n_in; ++i) {
            const std::string tag(font.begin() + static_cast<std::ptrdiff_t>(12 + 16 * i),
                                  font.begin() + static_cast<std::ptrdiff_t>(16 + 16 * i));
            if (tag == "glyf" || tag == "loca" || tag == "head" || tag == "hdmx" || tag == "VDMX") continue;
            const auto a = fonts::table(font, tag);
            const auto b = fonts::table(back, tag);
            ASSERT_TRUE(a && b) << p << " " << tag;
            EXPECT_TRUE(std::equal(a->begin(), a->end(), b->begin(), b->end())) << p << " " << tag;
        }
    }
    std::filesystem::remove_all(dir);
}
