#include "core/name_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace ni = vantrell_core::name_index;

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

template <class Traits>
struct Table {
    std::vector<std::string> names;
    ni::Index<Traits> index;
    std::vector<std::size_t> repeats;

    explicit Table(std::vector<std::string> n) : names(std::move(n)) {
        index.build(names.size(), [this](std::size_t i) -> std::string_view { return names[i]; },
                    [this](std::size_t i) { repeats.push_back(i); });
    }
    std::optional<std::size_t> find(std::string_view s) const {
        return index.find(s, [this](std::size_t i) -> std::string_view { return names[i]; });
    }
};

} // namespace

// Every byte value in every lane of a word: only 'A'..'Z' change, and bytes
// with the high bit set (0xC1 is 'A' | 0x80) never do.
TEST(NameIndex, WordLowerCasingMatchesBytewise) {
    for (int lane = 0; lane < 8; ++lane) {
        for (int b = 0; b < 256; ++b) {
            unsigned char bytes[8];
            for (int k = 0; k < 8; ++k) bytes[k] = static_cast<unsigned char>((b + 37 * k) & 0xFF);
            bytes[lane] = static_cast<unsigned char>(b);
            std::uint64_t w;
            std::memcpy(&w, bytes, 8);
            const std::uint64_t got = ni::lower_word(w);
            unsigned char out[8];
            std::memcpy(out, &got, 8);
            for (int k = 0; k < 8; ++k)
                ASSERT_EQ(out[k], static_cast<unsigned char>(ni::lower_char(static_cast<char>(bytes[k]))))
                    << "lane " << k << " byte " << int(bytes[k]);
        }
    }
}

TEST(NameIndex, CaselessHashAgreesForEveryLengthAndIgnoresOnlyAscii) {
    const std::string base = "/PPT/Slides/_Rels/Slide12.XML.rels\xC3\x89Z";
    for (std::size_t n = 0; n <= base.size(); ++n) {
        const std::string s = base.substr(0, n);
        EXPECT_EQ(ni::AsciiCaseless::hash(s), ni::AsciiCaseless::hash(lower(s))) << n;
        EXPECT_TRUE(ni::AsciiCaseless::equal(s, lower(s)));
    }
    // Non-ASCII letters are not folded, and padding never merges lengths.
    EXPECT_FALSE(ni::AsciiCaseless::equal("\xC3\x89", "\xC3\xA9"));
    EXPECT_NE(ni::AsciiCaseless::hash(std::string_view("a", 1)), ni::AsciiCaseless::hash(std::string_view("a\0", 2)));
    EXPECT_NE(ni::AsciiCaseless::hash("abcdefgh"), ni::AsciiCaseless::hash(std::string_view("abcdefgh\0", 9)));
    EXPECT_FALSE(ni::AsciiCaseless::equal("a[", "A{"));
    EXPECT_FALSE(ni::AsciiCaseless::equal("@", "`"));
}

TEST(NameIndex, FirstOfEqualNamesKeptAndRepeatsReported) {
    Table<ni::Exact> exact({"a", "b", "a", "B", "a"});
    EXPECT_EQ(exact.repeats, (std::vector<std::size_t>{2, 4}));
    EXPECT_EQ(exact.find("a"), 0u);
    EXPECT_EQ(exact.find("B"), 3u);
    EXPECT_FALSE(exact.find("A"));
    EXPECT_FALSE(exact.find(""));

    Table<ni::AsciiCaseless> caseless({"/ppt/a.xml", "/PPT/A.xml", "/ppt/b.xml", ""});
    EXPECT_EQ(caseless.repeats, (std::vector<std::size_t>{1}));
    EXPECT_EQ(caseless.find("/Ppt/A.XML"), 0u);
    EXPECT_EQ(caseless.find(""), 3u);
    EXPECT_FALSE(caseless.find("/ppt/c.xml"));

    Table<ni::Exact> empty({});
    EXPECT_FALSE(empty.find("a"));
    ni::Index<ni::Exact> never_built;
    EXPECT_FALSE(never_built.find("a", [](std::size_t) { return std::string_view(); }));
}

// Many names sharing long prefixes, all found after the table wraps around.
TEST(NameIndex, ManyNamesAllFound) {
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i) names.push_back("ppt/slides/_rels/slide" + std::to_string(i) + ".xml.rels");
    Table<ni::AsciiCaseless> t(names);
    EXPECT_TRUE(t.repeats.empty());
    for (int i = 0; i < 5000; i += 7) EXPECT_EQ(t.find("PPT/SLIDES/_RELS/SLIDE" + std::to_string(i) + ".XML.RELS"), std::size_t(i));
    EXPECT_FALSE(t.find("ppt/slides/_rels/slide5000.xml.rels"));
}
