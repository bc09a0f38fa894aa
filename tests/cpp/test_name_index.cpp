#include "core/name_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
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

// The round function against the published SipHash-2-4 answers (key bytes
// 00..0f; messages empty and 00..0e); the tables use the same rounds, fewer.
TEST(NameHash, SipRoundsMatchPublishedAnswers) {
    namespace h = vantrell_core::hash;
    const h::Key key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    using Sip24 = h::SipRounds<2, 4>;
    EXPECT_EQ(Sip24(key).finish(0), 0x726fdb47dd0e0e31ULL);
    Sip24 sip(key);
    sip.absorb(0x0706050403020100ULL);
    EXPECT_EQ(sip.finish(0x0f0e0d0c0b0a0908ULL), 0xa129ca6149be45e5ULL);
}

// 4096 names that any "xor a word, multiply" hash maps to one value whatever
// its seed: twelve blocks of two words, each block as written or with the
// first word's top bit and the second word's bit 4 flipped. Under the table
// hash they spread over the slots of a 4096-slot table like random names
// (about 2590 slots taken; far below 2000 is next to impossible).
TEST(NameHash, NamesCollidingUnderAMultiplyHashSpread) {
    constexpr std::uint64_t M = 0x517cc1b727220a95ULL;
    const auto multiply_hash = [](std::string_view s, std::uint64_t seed) {
        std::uint64_t h = seed;
        for (std::size_t i = 0; i + 8 <= s.size(); i += 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            h = (std::rotl(h, 5) ^ w) * M;
        }
        return h;
    };
    std::vector<std::string> names;
    for (std::uint32_t bits = 0; bits < 4096; ++bits) {
        std::string s;
        for (int b = 0; b < 12; ++b) {
            const bool flip = (bits >> b) & 1;
            std::string block = "slides/p" + std::string(1, static_cast<char>('a' + b)) + "art.xml";
            if (flip) {
                block[7] = static_cast<char>(block[7] | 0x80);
                block[8] = static_cast<char>(block[8] ^ 0x10);
            }
            s += block;
        }
        names.push_back(std::move(s));
    }
    for (std::uint64_t seed : {0ULL, 0x1234567890abcdefULL})
        EXPECT_EQ(multiply_hash(names[0], seed), multiply_hash(names[4095], seed));
    for (auto hash : {+[](std::string_view s) { return ni::Exact::hash(s); },
                      +[](std::string_view s) { return ni::AsciiCaseless::hash(s); }}) {
        std::vector<bool> taken(4096);
        for (const std::string& n : names) taken[hash(n) & 4095] = true;
        EXPECT_GT(std::count(taken.begin(), taken.end(), true), 2000);
    }
}

namespace {

// Every name hashes alike, near the end of the table: only the names tell
// them apart.
struct AllAlike : ni::Exact {
    static std::uint64_t hash(std::string_view) noexcept { return 2040; }
};
// Hashes sharing their low 32 bits: one slot, though full hashes differ.
struct OneSlot : ni::Exact {
    static std::uint64_t hash(std::string_view s) noexcept { return ni::Exact::hash(s) << 32 | 0xFFFFFFF0; }
};

template <class Traits>
void check_one_cluster() {
    std::vector<std::string> names;
    for (int i = 0; i < 700; ++i) names.push_back("n" + std::to_string(i));
    std::vector<std::size_t> repeats;
    for (int i = 699; i >= 0; i -= 50) {
        repeats.push_back(names.size());
        names.push_back("n" + std::to_string(i));
    }
    Table<Traits> t(names);
    EXPECT_EQ(t.repeats, repeats);
    for (std::size_t i = 0; i < 700; ++i) ASSERT_EQ(t.find(names[i]), i);
    EXPECT_FALSE(t.find("n700"));
    EXPECT_FALSE(t.find(""));
}

} // namespace

// The table when hashes do meet: probing runs through the whole cluster and
// wraps around its end, and the first of equal names is still the one found.
TEST(NameIndex, CollidingHashesKeepFirstNamesAndOrder) {
    check_one_cluster<AllAlike>();
    check_one_cluster<OneSlot>();
}
