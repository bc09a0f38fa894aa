#include "core/encoding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace enc = vantrell_core::encoding;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list) v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> utf16(std::u16string_view s, bool little, bool bom) {
    std::vector<std::uint8_t> v;
    auto put = [&](char16_t u) {
        const auto hi = static_cast<std::uint8_t>(u >> 8), lo = static_cast<std::uint8_t>(u & 0xFF);
        if (little) {
            v.push_back(lo);
            v.push_back(hi);
        } else {
            v.push_back(hi);
            v.push_back(lo);
        }
    };
    if (bom) put(0xFEFF);
    for (char16_t u : s) put(u);
    return v;
}

std::optional<std::string> convert(const std::vector<std::uint8_t>& in) {
    auto out = enc::utf16_xml_to_utf8(in);
    if (!out) return std::nullopt;
    return std::string(out->begin(), out->end());
}

} // namespace

TEST(Quoted, PlainTextAndSimpleEscapes) {
    EXPECT_EQ(enc::quoted(""), "\"\"");
    EXPECT_EQ(enc::quoted("Title 1"), "\"Title 1\"");
    EXPECT_EQ(enc::quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(enc::quoted("it's"), "\"it's\"");
    EXPECT_EQ(enc::quoted("t\tr\rn\n"), "\"t\\tr\\rn\\n\"");
    EXPECT_EQ(enc::quoted(std::string_view("a\0b", 3)), "\"a\\0b\"");
}

TEST(Quoted, ControlAndNonPrintableAsHexEscapes) {
    EXPECT_EQ(enc::quoted("\x01"), "\"\\u{1}\"");
    EXPECT_EQ(enc::quoted("\x1b[0m"), "\"\\u{1b}[0m\"");
    EXPECT_EQ(enc::quoted("\x7f"), "\"\\u{7f}\"");
    EXPECT_EQ(enc::quoted("\xC2\x85"), "\"\\u{85}\"");             // NEL, Cc
    EXPECT_EQ(enc::quoted("\xC2\xA0"), "\"\\u{a0}\"");             // no-break space, Zs
    EXPECT_EQ(enc::quoted("\xE2\x80\x8B"), "\"\\u{200b}\"");       // zero width space, Cf
    EXPECT_EQ(enc::quoted("\xE2\x80\xA8"), "\"\\u{2028}\"");       // line separator, Zl
    EXPECT_EQ(enc::quoted("\xEF\xBB\xBF"), "\"\\u{feff}\"");       // BOM, Cf
    EXPECT_EQ(enc::quoted("\xEE\x80\x80"), "\"\\u{e000}\"");       // private use, Co
    EXPECT_EQ(enc::quoted("\xF0\xB0\x80\x80"), "\"\xF0\xB0\x80\x80\"");  // CJK Ext. G, inside a First/Last range
    EXPECT_EQ(enc::quoted("\xF3\xA0\x80\x81"), "\"\\u{e0001}\"");  // language tag, Cf
    EXPECT_EQ(enc::quoted("\xF4\x8F\xBF\xBF"), "\"\\u{10ffff}\"");  // noncharacter, unassigned
    EXPECT_EQ(enc::quoted("\xCD\xB8"), "\"\\u{378}\"");            // unassigned in Greek block
}

TEST(Quoted, CombiningMarksEscapedWhereverTheyStand) {
    // e + COMBINING ACUTE: the mark is escaped even after a base character.
    EXPECT_EQ(enc::quoted("e\xCC\x81"), "\"e\\u{301}\"");
    EXPECT_EQ(enc::quoted("\xCC\x81x"), "\"\\u{301}x\"");
    EXPECT_EQ(enc::quoted("\xE2\x83\x9D"), "\"\\u{20dd}\"");       // enclosing circle, Me
    EXPECT_EQ(enc::quoted("\xE2\x80\x8C"), "\"\\u{200c}\"");       // ZWNJ: Other_Grapheme_Extend
    EXPECT_EQ(enc::quoted("\xEF\xB8\x8F"), "\"\\u{fe0f}\"");       // variation selector
}

TEST(Quoted, PrintableNonAsciiUnchanged) {
    EXPECT_EQ(enc::quoted("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
    EXPECT_EQ(enc::quoted("\xE4\xB8\xAD\xE6\x96\x87"), "\"\xE4\xB8\xAD\xE6\x96\x87\"");
    EXPECT_EQ(enc::quoted("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");  // astral emoji
    EXPECT_EQ(enc::quoted("\xF0\x9D\x90\x80"), "\"\xF0\x9D\x90\x80\"");  // mathematical bold A
    EXPECT_EQ(enc::quoted("\xEF\xBF\xBD"), "\"\xEF\xBF\xBD\"");
}

TEST(Quoted, InvalidUtf8BecomesReplacementCharacter) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(enc::quoted("a\xFF" "b"), "\"a" + r + "b\"");
    EXPECT_EQ(enc::quoted("\xC0\xAF"), "\"" + r + r + "\"");           // overlong: two subparts
    EXPECT_EQ(enc::quoted("\xED\xA0\x80"), "\"" + r + r + r + "\"");   // encoded surrogate
    EXPECT_EQ(enc::quoted("\xE4\xB8"), "\"" + r + "\"");               // truncated at end
    EXPECT_EQ(enc::quoted("\xE4\xB8" "a"), "\"" + r + "a\"");
    EXPECT_EQ(enc::quoted("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");  // above U+10FFFF
}

TEST(QuotedChar, SingleQuotesAndEscapes) {
    EXPECT_EQ(enc::quoted_char(U'a'), "'a'");
    EXPECT_EQ(enc::quoted_char(U'\''), "'\\''");
    EXPECT_EQ(enc::quoted_char(U'"'), "'\"'");
    EXPECT_EQ(enc::quoted_char(U'\\'), "'\\\\'");
    EXPECT_EQ(enc::quoted_char(U'\n'), "'\\n'");
    EXPECT_EQ(enc::quoted_char(U'\0'), "'\\0'");
    EXPECT_EQ(enc::quoted_char(U' '), "' '");
    EXPECT_EQ(enc::quoted_char(0x3000), "'\\u{3000}'");  // ideographic space
    EXPECT_EQ(enc::quoted_char(0x301), "'\\u{301}'");
    EXPECT_EQ(enc::quoted_char(0x1F600), "'\xF0\x9F\x98\x80'");
    EXPECT_EQ(enc::quoted_char(0xD800), "'\xEF\xBF\xBD'");
    EXPECT_EQ(enc::quoted_char(0x110000), "'\xEF\xBF\xBD'");
}

TEST(CharProperties, TableBoundaries) {
    EXPECT_TRUE(enc::is_printable(U' '));
    EXPECT_TRUE(enc::is_printable(U'~'));
    EXPECT_FALSE(enc::is_printable(0x1F));
    EXPECT_FALSE(enc::is_printable(0x7F));
    EXPECT_TRUE(enc::is_printable(0xA1));
    EXPECT_FALSE(enc::is_printable(0xD800));
    EXPECT_FALSE(enc::is_printable(0x110000));
    EXPECT_FALSE(enc::is_printable(0xFFFFFFFF));
    EXPECT_TRUE(enc::is_grapheme_extend(0x300));
    EXPECT_TRUE(enc::is_grapheme_extend(0x36F));
    EXPECT_FALSE(enc::is_grapheme_extend(0x370));
    EXPECT_FALSE(enc::is_grapheme_extend(U'a'));
    EXPECT_FALSE(enc::is_grapheme_extend(0x110000));
    for (char32_t c : {0x9, 0xA, 0xB, 0xC, 0xD, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028,
                       0x2029, 0x202F, 0x205F, 0x3000})
        EXPECT_TRUE(enc::is_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
    for (char32_t c : {0x0, 0x8, 0xE, 0x1F, 0x200B, 0xFEFF, 0x180E, 0x41})
        EXPECT_FALSE(enc::is_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
}

TEST(Utf8, LossyDecodingAndEncoding) {
    EXPECT_EQ(enc::utf8_lossy("plain"), "plain");
    EXPECT_EQ(enc::utf8_lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(enc::utf8_lossy("a\x80z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(enc::utf8_lossy("\xF0\x9F\x98"), "\xEF\xBF\xBD");
    EXPECT_EQ(enc::utf8_lossy(std::string_view("\0", 1)), std::string("\0", 1));

    std::string s;
    enc::append_utf8(s, 0x7F);
    enc::append_utf8(s, 0x80);
    enc::append_utf8(s, 0x7FF);
    enc::append_utf8(s, 0x800);
    enc::append_utf8(s, 0xFFFF);
    enc::append_utf8(s, 0x10000);
    enc::append_utf8(s, 0x10FFFF);
    EXPECT_EQ(s, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    std::size_t pos = 0;
    for (char32_t want : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu})
        EXPECT_EQ(enc::next_utf8(s, pos), want);
    EXPECT_EQ(pos, s.size());
}

// A long value quoted in a message keeps its first bytes, never half a
// character, and says how long it was.
TEST(Utf8, ShortenedToAHeadOfWholeCharacters) {
    const std::vector<std::tuple<std::string, std::size_t, std::string>> cases = {
        {"abcd", 4, "abcd"},
        {"abcde", 4, "abcd... (5 bytes)"},
        {"ab\xE2\x82\xAC", 4, "ab... (5 bytes)"},              // a 3-byte character cut after one byte
        {"a\xF0\x9F\x98\x80", 4, "a... (5 bytes)"},             // a 4-byte one cut before its last
        {"a\xF0\x9F\x98\x80" "b", 5, "a\xF0\x9F\x98\x80... (6 bytes)"},
        {"a" + std::string(6, '\x80'), 5, "a\x80... (7 bytes)"},  // back three bytes at most
    };
    for (const auto& [text, max, want] : cases) EXPECT_EQ(enc::shortened(text, max), want) << text;
}

// Validation and lossy decoding agree with each other and with decoding
// character by character, wherever in a word the non-ASCII bytes fall.
TEST(Utf8, ValidationAndLossyDecodingAgree) {
    const std::string r = "\xEF\xBF\xBD";
    const struct {
        std::string_view in;
        bool valid;
        std::string lossy;
    } cases[] = {
        {"", true, ""},
        {"\xEF\xBF\xBD", true, r},                 // a real U+FFFD is valid
        {"\xC3\xA9\xF0\x9F\x98\x80", true, "\xC3\xA9\xF0\x9F\x98\x80"},
        {"\xC0\xAF", false, r + r},                 // overlong: two subparts
        {"\xED\xA0\x80", false, r + r + r},        // encoded surrogate
        {"\xF4\x90\x80\x80", false, r + r + r + r},  // above U+10FFFF
        {"\xE4\xB8", false, r},                     // cut at the end
        {"\xE4\xB8" "a", false, r + "a"},
        {"\xF0\x9F\x98\xF0\x9F\x98\x80", false, r + "\xF0\x9F\x98\x80"},
        {"\x80\xBF", false, r + r},                 // lone continuation bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(enc::is_valid_utf8(c.in), c.valid) << ::testing::PrintToString(c.in);
        EXPECT_EQ(enc::utf8_lossy(c.in), c.lossy) << ::testing::PrintToString(c.in);
        // Walking by whole sequences covers the text exactly when it is valid.
        std::size_t pos = 0, n = 0;
        while (pos < c.in.size() && (n = enc::utf8_sequence_nbytes(c.in, pos)) != 0) pos += n;
        EXPECT_EQ(pos == c.in.size(), c.valid) << ::testing::PrintToString(c.in);
    }
    EXPECT_EQ(enc::utf8_sequence_nbytes("a\xF0\x9F\x98\x80", 1), 4u);
    EXPECT_EQ(enc::utf8_sequence_nbytes("\xF0\x9F\x98", 0), 0u);
    for (std::size_t len = 1; len <= 20; ++len) {
        for (std::size_t i = 0; i < len; ++i) {
            std::string t(len, 'v');
            t[i] = '\xC3';  // a lead byte without its continuation
            EXPECT_FALSE(enc::is_valid_utf8(t)) << len << " " << i;
            EXPECT_EQ(enc::utf8_lossy(t), t.substr(0, i) + r + t.substr(i + 1)) << len << " " << i;
            t.insert(i + 1, "\xA9");
            EXPECT_TRUE(enc::is_valid_utf8(t)) << len << " " << i;
            std::string out = "kept:";
            enc::append_utf8_lossy(out, t);
            EXPECT_EQ(out, "kept:" + t);
        }
    }
}

TEST(Utf16, BothWaysWithSurrogates) {
    const struct {
        std::u16string units;
        std::string utf8;
    } cases[] = {
        {u"", ""},
        {u"A\u00e9\u4e2d", "A\xC3\xA9\xE4\xB8\xAD"},
        {u"\U0001F600\U0010FFFF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {std::u16string(1, u'\0'), std::string(1, '\0')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(enc::utf8_of_utf16(c.units), c.utf8);
        EXPECT_EQ(enc::utf16_of_utf8(c.utf8), c.units);
    }
    // A surrogate without its partner, in either place, is U+FFFD.
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(enc::utf8_of_utf16(std::u16string{0xD83D, u'x', 0xDE00, 0xD83D}), r + "x" + r + r);
    // Invalid UTF-8 is U+FFFD per maximal subpart, as everywhere else.
    EXPECT_EQ(enc::utf16_of_utf8("a\xE4\xB8" "b\xC0\xAF"), (std::u16string{u'a', 0xFFFD, u'b', 0xFFFD, 0xFFFD}));

    // In bytes of either order; an odd final byte is no unit.
    const auto big = bytes({0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x41, 0x00});
    EXPECT_EQ(enc::utf8_of_utf16(big, enc::ByteOrder::big), "\xF0\x9F\x98\x80" "A");
    const auto little = bytes({0x3D, 0xD8, 0x00, 0xDE, 0x41, 0x00, 0x7A});
    EXPECT_EQ(enc::utf8_of_utf16(little, enc::ByteOrder::little), "\xF0\x9F\x98\x80" "A");
}

TEST(Utf16Xml, RecognisedByMarkOrDeclaration) {
    const std::u16string xml = u"<?xml version=\"1.0\"?><a>\u00e9</a>";
    const std::string want = "<?xml version=\"1.0\"?><a>\xC3\xA9</a>";
    EXPECT_EQ(convert(utf16(xml, true, true)), want);    // the mark is not copied
    EXPECT_EQ(convert(utf16(xml, false, true)), want);
    EXPECT_EQ(convert(utf16(xml, true, false)), want);
    EXPECT_EQ(convert(utf16(xml, false, false)), want);
    EXPECT_EQ(convert(bytes({0xFF, 0xFE})), "");          // a mark alone is empty UTF-16 text
}

TEST(Utf16Xml, Utf8AndOtherInputLeftAlone) {
    EXPECT_EQ(convert(bytes("<?xml version=\"1.0\"?><a/>")), std::nullopt);
    EXPECT_EQ(convert(bytes("\xEF\xBB\xBF<a/>")), std::nullopt);
    EXPECT_EQ(convert(bytes({})), std::nullopt);
    EXPECT_EQ(convert(bytes({0xFF})), std::nullopt);
    EXPECT_EQ(convert(bytes({'<', 0, '?'})), std::nullopt);       // too short for the declaration test
    EXPECT_EQ(convert(bytes({'<', 0, 'a', 0})), std::nullopt);    // UTF-16 without "<?" or a mark
    EXPECT_EQ(convert(bytes({0, '<', 0, 'a'})), std::nullopt);
}

TEST(Utf16Xml, SurrogatesAndOddLength) {
    const std::string r = "\xEF\xBF\xBD";
    // Paired surrogates give the astral character.
    EXPECT_EQ(convert(utf16(u"<?\U0001F600", true, false)), "<?\xF0\x9F\x98\x80");
    // Unpaired high at the end, lone low, high followed by a non-low.
    EXPECT_EQ(convert(utf16(std::u16string(u"<?") + char16_t(0xD83D), true, false)), "<?" + r);
    EXPECT_EQ(convert(utf16(std::u16string(u"<?") + char16_t(0xDE00) + u"x", false, false)), "<?" + r + "x");
    EXPECT_EQ(convert(utf16(std::u16string(u"<?") + char16_t(0xD83D) + u"x", true, true)), "<?" + r + "x");
    // Two highs then a low: the first is unpaired, the second pairs.
    EXPECT_EQ(convert(utf16(std::u16string(u"<?") + char16_t(0xD83D) + char16_t(0xD83D) + char16_t(0xDE00),
                            true, false)),
              "<?" + r + "\xF0\x9F\x98\x80");
    // An odd final byte is damage, not silently dropped.
    auto odd = utf16(u"<?a", true, false);
    odd.push_back('b');
    EXPECT_EQ(convert(odd), "<?a" + r);
    EXPECT_EQ(convert(bytes({0xFE, 0xFF, 0x00})), r);
}

// The size is counted without converting, and the text written into a
// buffer of exactly that size is the conversion, for every kind of unit.
TEST(Utf16Xml, SizeCountedBeforeConvertingIsExact) {
    std::vector<std::vector<std::uint8_t>> inputs;
    for (const bool little : {true, false})
        for (const bool bom : {true, false}) {
            inputs.push_back(utf16(u"<?x \u00e9\u4e2d\U0001F600", little, bom));      // 1 to 4 bytes each
            inputs.push_back(utf16(std::u16string(u"<?") + char16_t(0xD83D), little, bom)); // unpaired high last
            inputs.push_back(utf16(std::u16string(u"<?") + char16_t(0xDE00) + u"x", little, bom));
        }
    inputs.push_back(bytes({0xFF, 0xFE}));
    inputs.push_back(bytes({0xFE, 0xFF, 0x00}));
    auto odd = utf16(u"<?\u4e2d", true, false);
    odd.push_back('b');
    inputs.push_back(odd);
    inputs.push_back(utf16(std::u16string(40, u'\u4e2d'), true, true)); // the most growth per unit
    for (const auto& in : inputs) {
        const auto nbytes = enc::utf16_xml_utf8_nbytes(in);
        const auto whole = convert(in);
        ASSERT_TRUE(nbytes && whole);
        EXPECT_EQ(*nbytes, whole->size());
        EXPECT_LE(*nbytes, in.size() * 3 / 2 + 3);
        std::vector<std::uint8_t> out(*nbytes, 0xAA);
        enc::utf16_xml_write_utf8(in, out);
        EXPECT_EQ(std::string(out.begin(), out.end()), *whole);
    }
    EXPECT_EQ(enc::utf16_xml_utf8_nbytes(bytes("<?xml?><a/>")), std::nullopt);
    EXPECT_EQ(enc::utf16_xml_utf8_nbytes(bytes({0xFF})), std::nullopt);
}

TEST(WhiteSpace, BlankAndTrimUnderEitherRule) {
    const auto U = enc::Space::unicode, X = enc::Space::xml;
    const struct {
        std::string_view text;
        enc::Space space;
        bool blank;
        std::string_view trimmed;
    } cases[] = {
        {"", U, true, ""},
        {"", X, true, ""},
        {" \t\n\r\v\f\xC2\xA0\xE3\x80\x80", U, true, ""},  // NBSP, ideographic space
        {" \t\n\r", X, true, ""},
        {"\v", X, false, "\v"},                                // XML counts four characters only
        {"\xC2\xA0" "a\xC2\xA0", X, false, "\xC2\xA0" "a\xC2\xA0"},
        {" \xE2\x80\x8B ", U, false, "\xE2\x80\x8B"},          // zero-width space is not white
        {"\x1C\x1F", U, false, "\x1C\x1F"},                  // nor are the ASCII separators
        {"\xFF", U, false, "\xFF"},
        {"\xC2\xA0 a b\xE2\x80\x83", U, false, "a b"},
        {" \t1 \r\n", X, false, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(enc::is_blank(c.text, c.space), c.blank);
        EXPECT_EQ(enc::trim(c.text, c.space), c.trimmed);
    }
    EXPECT_EQ(enc::trim_start(" \xC2\xA0" "a "), "a ");
    EXPECT_EQ(enc::trim_end(" a\xC2\xA0 "), " a");
}

// Trimming from the back must agree with decoding the whole text from the
// front, also where invalid or cut sequences sit next to white space, and
// the result is a view into the text itself.
TEST(WhiteSpace, TrimAgreesWithAForwardDecodeOnDamagedText) {
    auto forward = [](std::string_view t) {
        std::size_t begin = t.size(), end = 0;
        for (std::size_t pos = 0; pos < t.size();) {
            const std::size_t at = pos;
            if (!enc::is_white_space(enc::next_utf8(t, pos))) {
                if (begin == t.size()) begin = at;
                end = pos;
            }
        }
        return begin < end ? t.substr(begin, end - begin) : std::string_view();
    };
    const std::string pieces[] = {" ",  "\t", "\n", "\v", "\x1c", "a",  "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80",
                                  "\xE2\x80\x83", "\xE2\x80", "\x80", "\xA0", "\xC2", "\xF0\x9F\x98\x80",
                                  "\xF0\x9F\x98", "\xFF", "\xE3", "\x80\x80", "\xED\xA0\x80"};
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string t;
        for (int k = round % 7; k > 0; --k) t += pieces[rng() % std::size(pieces)];
        const std::string_view want = forward(t), got = enc::trim(t);
        ASSERT_EQ(got, want) << ::testing::PrintToString(t);
        if (!want.empty()) {
            ASSERT_EQ(got.data(), want.data()) << ::testing::PrintToString(t);
            ASSERT_EQ(enc::trim_start(t).data(), want.data()) << ::testing::PrintToString(t);
            ASSERT_EQ(enc::trim_end(t).size(), static_cast<std::size_t>(want.end() - t.data()))
                << ::testing::PrintToString(t);
        }
        ASSERT_EQ(enc::is_blank(t), want.empty()) << ::testing::PrintToString(t);
    }
    EXPECT_EQ(enc::trim("a\xE2\x80\xE2\x80\x83"), "a\xE2\x80");
    EXPECT_EQ(enc::trim("\xA0\xC2\xA0"), "\xA0");
}
