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

namespace {

// 4096 names of twelve blocks of two words, each block as written or with the
// first word's top bit and the second word's bit 4 flipped: any "xor a word,
// multiply" hash maps them to one value whatever its seed.
std::vector<std::string> multiply_blocks() {
    std::vector<std::string> names;
    for (std::uint32_t bits = 0; bits < 4096; ++bits) {
        std::string s;
        for (int b = 0; b < 12; ++b) {
            std::string block = "slides/p" + std::string(1, static_cast<char>('a' + b)) + "art.xml";
            if ((bits >> b) & 1) {
                block[7] = static_cast<char>(block[7] | 0x80);
                block[8] = static_cast<char>(block[8] ^ 0x10);
            }
            s += block;
        }
        names.push_back(std::move(s));
    }
    return names;
}

// The 4096 case variants of `prefix` and a twelve-letter word.
std::vector<std::string> case_variants(const std::string& prefix) {
    std::vector<std::string> names;
    for (std::uint32_t bits = 0; bits < 4096; ++bits) {
        std::string s = prefix + "slidemasters";
        for (int k = 0; k < 12; ++k)
            if ((bits >> k) & 1) s[prefix.size() + k] = static_cast<char>(s[prefix.size() + k] - 32);
        names.push_back(std::move(s));
    }
    return names;
}

struct Spread {
    std::size_t repeats = 0;
    std::size_t compared = 0; // names fetched to compare or insert
    std::size_t slots = 0;    // distinct home slots of the names kept
};

// Builds the table the product builds over `names` and counts its work.
template <class Traits>
Spread spread(const std::vector<std::string>& names) {
    Spread out;
    ni::Index<Traits> index;
    std::vector<bool> repeated(names.size());
    index.build(
        names.size(),
        [&](std::size_t i) -> std::string_view {
            ++out.compared;
            return names[i];
        },
        [&](std::size_t i) {
            ++out.repeats;
            repeated[i] = true;
        });
    const std::size_t mask = std::bit_ceil(names.size() * 2 + 2) - 1;
    std::vector<bool> taken(mask + 1);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!repeated[i]) taken[Traits::hash(names[i]) & mask] = true;
    out.slots = static_cast<std::size_t>(std::count(taken.begin(), taken.end(), true));
    return out;
}

} // namespace

// The names a file can still choose, in every kind of table the product
// keys by names: distinct names spread over the slots like random ones
// (4096 names in 16384 slots take about 3600; below 3000 is next to
// impossible) and are compared with no other name; names the table counts as equal
// are repeats, each compared once with the first. A hash that merged names
// its comparison tells apart (case variants under a folded hash in an exact
// table) would compare each with all before it.
TEST(NameHash, ChosenNamesCostTheirTablesLinearWork) {
    struct Row {
        const char* what;
        std::vector<std::string> names;
        std::size_t exact_repeats, caseless_repeats;
    };
    const auto repeated = std::vector<std::string>(4096, "ppt/slides/slide1.xml");
    const std::vector<Row> rows = {
        {"multiply blocks", multiply_blocks(), 0, 0},
        {"case variants", case_variants("ppt/"), 0, 4095},
        {"case variants of a part name", case_variants("/ppt/"), 0, 4095},
        {"one name repeated", repeated, 4095, 4095},
    };
    for (const Row& r : rows) {
        const std::size_t n = r.names.size();
        const std::vector<std::pair<const char*, Spread>> tables = {
            {"exact", spread<ni::Exact>(r.names)},
            {"caseless", spread<ni::AsciiCaseless>(r.names)},
            {"part name", spread<ni::PartName>(r.names)},
        };
        for (const auto& [table, got] : tables) {
            const std::size_t repeats = std::string_view(table) == "exact" ? r.exact_repeats : r.caseless_repeats;
            EXPECT_EQ(got.repeats, repeats) << r.what << " in the " << table << " table";
            // Fetched to hash and to insert, and once more per repeat.
            EXPECT_LE(got.compared, 2 * n + repeats) << r.what << " in the " << table << " table";
            if (repeats == 0) {
                EXPECT_GT(got.slots, 3000u) << r.what << " in the " << table << " table";
            }
        }
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
