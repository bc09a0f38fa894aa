// Markdown to deck: headings, subtitles, lists, notes, fences, inline marks,
// and that no input makes it fail.
#include "write/layout.h"
#include "write/markdown.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vw = vantrell_write;
using vantrell_write::markdown::from_markdown;
using vantrell_write::markdown::strip_inline;

namespace {

std::string text(const vw::Paragraph& p) { return p.runs.at(0).text; }

} // namespace

TEST(Markdown, StripInline) {
    EXPECT_EQ(strip_inline("  **bold** and *it* and `code`  "), "bold and it and code");
    EXPECT_EQ(strip_inline("snake_case_name and __dunder__ and _it_"), "snake_case_name and dunder and it");
    EXPECT_EQ(strip_inline("a__b \xC3\xA9___1"), "a__b \xC3\xA9___1") << "a run inside a word is text";
    EXPECT_EQ(strip_inline("_x_ 1_2 \xC3\xA9_\xC3\xA9"), "x 1_2 \xC3\xA9_\xC3\xA9") << "Unicode letters count";
    EXPECT_EQ(strip_inline("[link](http://x.invalid/a_b) ~~s~~ <b>"), "[link](http://x.invalid/a_b) ~~s~~ <b>");
    EXPECT_EQ(strip_inline("\xE3\x80\x80wide space\xE2\x80\x83"), "wide space");
    EXPECT_EQ(strip_inline("***"), "");
    EXPECT_EQ(strip_inline("\xFF_\xFF"), "\xFF\xFF") << "invalid bytes are no letters";
}

TEST(Markdown, CodeSpansKeepTheirCharacters) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"`__init__.py`", "__init__.py"},
        {"call `f(**kwargs)` with *care*", "call f(**kwargs) with care"},
        {"``a`b`` and `_x_`", "a`b and _x_"},
        {"`open and **shut**", "open and shut"}, // an unpaired backtick opens nothing
        {"`a` `` `b` ``", "a  `b`"},
        {"x`_`_y", "x_y"}, // the span's last character counts for the next underscore
        {"``", ""},
        {" ` padded ` ", "padded"},
    };
    for (const auto& c : cases) EXPECT_EQ(strip_inline(c.in), c.out) << c.in;
    const auto d = from_markdown("## The `__main__` module\n- `**kwargs` and `*args`\n");
    EXPECT_EQ(d.slides[0].title, "The __main__ module");
    EXPECT_EQ(text(d.slides[0].body[0]), "**kwargs and *args");
}

TEST(Markdown, HeadingsSubtitlesAndLists) {
    auto d = from_markdown("# Deck\nBy me\n- one\n");
    ASSERT_EQ(d.slides.size(), 1u);
    EXPECT_EQ(d.slides[0].title, "Deck");
    EXPECT_EQ(d.slides[0].subtitle, "By me");
    EXPECT_EQ(d.slides[0].layout, vw::Layout::title);
    ASSERT_EQ(d.slides[0].body.size(), 1u);
    EXPECT_TRUE(d.slides[0].body[0].bullet);
    EXPECT_EQ(text(d.slides[0].body[0]), "one");
    EXPECT_EQ(d.slides[0].body[0].runs[0], vw::Run{"one"});
    EXPECT_EQ(d, from_markdown("# Deck\r\nBy me\r\n- one"));
    // The list line fills the body first: no subtitle afterwards.
    d = from_markdown("# Deck\n- one\nplain\n");
    EXPECT_EQ(d.slides[0].subtitle, std::nullopt);
    ASSERT_EQ(d.slides[0].body.size(), 2u);
    EXPECT_FALSE(d.slides[0].body[1].bullet);

    d = from_markdown("## Two\n### Three\n#### Four\n#Five\n#\n");
    ASSERT_EQ(d.slides.size(), 2u);
    EXPECT_EQ(d.slides[0].title, "Two");
    EXPECT_EQ(d.slides[0].layout, std::nullopt);
    EXPECT_EQ(d.slides[1].title, "Three");
    ASSERT_EQ(d.slides[1].body.size(), 3u);
    EXPECT_EQ(text(d.slides[1].body[0]), "#### Four");
    EXPECT_EQ(text(d.slides[1].body[1]), "#Five");
    EXPECT_EQ(text(d.slides[1].body[2]), "#");

    d = from_markdown("before\n---\nx\n***\n- - -\n");
    ASSERT_EQ(d.slides.size(), 3u);
    EXPECT_EQ(d.slides[0].title, std::nullopt) << "text before any heading";
    EXPECT_EQ(d.slides[0].layout, std::nullopt);
    EXPECT_EQ(d.slides[1].layout, vw::Layout::blank);
    EXPECT_EQ(d.slides[1].title, std::nullopt);
    EXPECT_EQ(text(d.slides[2].body[0]), "- -");
    EXPECT_TRUE(d.slides[2].body[0].bullet);

    d = from_markdown("## L\n- a\n  - b\n    - c\n" + std::string(16, ' ') + "* d\n" + std::string(40, ' ') +
                      "+ e\n\t- f\n12. twelve\n3) three\n3.14 pi\n1.\n");
    const auto& body = d.slides[0].body;
    ASSERT_EQ(body.size(), 10u);
    const int levels[] = {0, 1, 2, 0, 0, 2, 0, 0, 0, 0};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(body[i].level, levels[i]) << i;
    // Markers four columns or more inside c's text are its text.
    EXPECT_FALSE(body[3].bullet);
    EXPECT_EQ(text(body[4]), "+ e");
    EXPECT_FALSE(body[4].bullet);
    EXPECT_EQ(text(body[6]), "twelve");
    EXPECT_TRUE(body[6].bullet);
    EXPECT_EQ(text(body[7]), "three");
    EXPECT_EQ(text(body[8]), "3.14 pi");
    EXPECT_FALSE(body[8].bullet);
    EXPECT_EQ(text(body[9]), "1.") << "digits and a point alone are no list item";
}

TEST(Markdown, NotesAndFences) {
    auto d = from_markdown("## S\nNotes: first *a*\nsecond_`b`\n\n- bullet\n");
    ASSERT_EQ(d.slides.size(), 1u);
    EXPECT_EQ(d.slides[0].notes, "first *a*\nsecond_`b`");
    ASSERT_EQ(d.slides[0].body.size(), 1u);
    EXPECT_TRUE(d.slides[0].body[0].bullet);

    d = from_markdown("Notes:\nline one\nline two\n## Next\nNotes: x\nNotes: y\n");
    ASSERT_EQ(d.slides.size(), 2u);
    EXPECT_EQ(d.slides[0].notes, "line one\nline two");
    EXPECT_TRUE(d.slides[0].body.empty());
    EXPECT_EQ(d.slides[1].notes, "x\ny");

    d = from_markdown("## Code\n```python\n  x = *1*\n\ny = `2`   \n```\nafter\n");
    const auto& body = d.slides[0].body;
    ASSERT_EQ(body.size(), 4u);
    EXPECT_EQ(text(body[0]), "  x = *1*");
    EXPECT_EQ(text(body[1]), "");
    EXPECT_EQ(text(body[2]), "y = `2`");
    EXPECT_EQ(text(body[3]), "after");
    // Without a closing fence the rest is code, headings included.
    d = from_markdown("```\n# not a title\n");
    ASSERT_EQ(d.slides.size(), 1u);
    EXPECT_EQ(d.slides[0].title, std::nullopt);
    EXPECT_EQ(text(d.slides[0].body[0]), "# not a title");
}

TEST(Markdown, AnythingGivesADeck) {
    EXPECT_TRUE(from_markdown("").slides.empty());
    EXPECT_TRUE(from_markdown("\n\n  \r\n\t\n").slides.empty());
    const auto empty = from_markdown("");
    EXPECT_EQ(empty.theme, vw::Theme::make("office"));
    EXPECT_EQ(empty.cx, 12192000);

    std::mt19937_64 rng(7);
    const std::string alphabet = "#-*+_`\\\n\r \t0123456789.)Notes:abc\xC3\xA9\xFF\xE3\x80\x80";
    const auto geometry = vw::parts::Geometry::compute(12192000, 6858000);
    for (int round = 0; round < 200; ++round) {
        std::string in;
        const std::size_t n = rng() % 600;
        for (std::size_t i = 0; i < n; ++i)
            in += round % 2 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        const auto deck = from_markdown(in);
        for (const auto& s : deck.slides) EXPECT_GE(vw::layout::plan_slide(deck.theme, geometry, s).size(), 1u);
    }
    // Pathological nesting and length stay linear.
    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += std::string(static_cast<std::size_t>(i % 300), ' ') + "- " + std::string(i % 7, '*') + "x\n";
    EXPECT_EQ(from_markdown(deep).slides.at(0).body.size(), 20000u);
    EXPECT_EQ(from_markdown(std::string(200000, '`')).slides.size(), 0u);
    EXPECT_EQ(from_markdown(std::string(100000, '_') + "a").slides.at(0).body.at(0).runs.at(0).text, "a");
}

// A backslash before ASCII punctuation gives that character as text: no
// mark acts through it, and it stays whatever its neighbours. Inside code a
// backslash is itself.
TEST(Markdown, BackslashEscapes) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {R"(Some \*stars\* and a \_name\_)", "Some *stars* and a _name_"},
        {R"(\_\_init\_\_ and x\_)", "__init__ and x_"},
        {R"(a\\b \\*c*)", R"(a\b \c)"}, // an escaped backslash escapes nothing after it
        {R"(a\b \é tail\)", R"(a\b \é tail\)"}, // before anything else the backslash stays
        {R"(\`not code\` *x*)", "`not code` x"},
        {R"(\``one`)", "`one"}, // the rest of an escaped run still opens a span
        {R"(`a\` and `\*`)", R"(a\ and \*)"},
        {R"(``x\`` y``)", R"(x\ y)"}, // the span closes at the first run of two
        {R"([a\]b](http://x.invalid/\_) \<b> \&amp; \| \# \~)", "[a]b](http://x.invalid/_) <b> &amp; | # ~"},
        {R"(\!\"\$\%\'\(\)\+\,\-\.\/\:\;\=\>\?\@\[\^\{\})", R"(!"$%'()+,-./:;=>?@[^{})"},
    };
    for (const auto& c : cases) EXPECT_EQ(strip_inline(c.in), c.out) << c.in;
    EXPECT_EQ(strip_inline(std::string(100001, '\\') + "`"), std::string(50000, '\\') + "`");

    // Escaped line-start marks give text, not structure; notes and code keep
    // their lines as written.
    const auto d = from_markdown("# C\\# and \\*star\\*\n- \\- dash\n\\# hash\n1\\. one\n\\---\n\\* \\| cell \\| \\|\n"
                                 "Notes: \\*n\\*\n```\n\\*c\\*\n```\n");
    ASSERT_EQ(d.slides.size(), 1u);
    const auto& s = d.slides[0];
    EXPECT_EQ(s.title, "C# and *star*");
    EXPECT_EQ(s.subtitle, std::nullopt);
    ASSERT_EQ(s.body.size(), 6u);
    EXPECT_TRUE(s.body[0].bullet);
    EXPECT_EQ(text(s.body[0]), "- dash");
    const char* plain[] = {"# hash", "1. one", "---", "* | cell | |"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(text(s.body[1 + i]), plain[i]);
        EXPECT_FALSE(s.body[1 + i].bullet) << plain[i];
    }
    EXPECT_EQ(s.notes, "\\*n\\*");
    EXPECT_EQ(text(s.body[5]), "\\*c\\*");
}

// A heading right after a thematic break, blank lines between, titles the
// break's slide; anything else between keeps the break's slide apart.
TEST(Markdown, HeadingAfterABreakTitlesItsSlide) {
    struct Want {
        std::optional<std::string> title;
        std::optional<vw::Layout> layout;
        std::size_t body;
    };
    const auto blank = vw::Layout::blank, title = vw::Layout::title;
    const struct {
        std::string in;
        std::vector<Want> slides;
    } cases[] = {
        {"## One\n- a\n\n---\n\n\n## Two\n- b\n", {{"One", std::nullopt, 1}, {"Two", std::nullopt, 1}}},
        {"---\n# Deck\n", {{"Deck", title, 0}}},
        {"***\r\n  \r\n### Three\n", {{"Three", std::nullopt, 0}}},
        {"---\n---\n## X\n", {{std::nullopt, blank, 0}, {"X", std::nullopt, 0}}},
        {"---\ntext\n## X\n", {{std::nullopt, blank, 1}, {"X", std::nullopt, 0}}},
        {"---\nNotes: n\n## X\n", {{std::nullopt, blank, 0}, {"X", std::nullopt, 0}}},
        {"---\n```\n```\n## X\n", {{std::nullopt, blank, 0}, {"X", std::nullopt, 0}}},
        {"## A\n---\n", {{"A", std::nullopt, 0}, {std::nullopt, blank, 0}}},
        {"---\n## A\n## B\n", {{"A", std::nullopt, 0}, {"B", std::nullopt, 0}}},
    };
    for (const auto& c : cases) {
        const auto d = from_markdown(c.in);
        ASSERT_EQ(d.slides.size(), c.slides.size()) << c.in;
        for (std::size_t i = 0; i < c.slides.size(); ++i) {
            EXPECT_EQ(d.slides[i].title, c.slides[i].title) << c.in << i;
            EXPECT_EQ(d.slides[i].layout, c.slides[i].layout) << c.in << i;
            EXPECT_EQ(d.slides[i].body.size(), c.slides[i].body) << c.in << i;
        }
    }
    // The slide a heading titles is the heading's own: its subtitle follows.
    EXPECT_EQ(from_markdown("---\n\n# Deck\nBy me\n").slides.at(0).subtitle, "By me");
}
