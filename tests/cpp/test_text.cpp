#include "core/markdown.h"
#include "core/text.h"

#include "testkit.h"
#include "core/zip.h"
#include "corpus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace doc = vantrell_core::document;
namespace md = vantrell_core::markdown;
namespace model = vantrell_core::model;
namespace text = vantrell_core::text;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- building content

model::Paragraph para(std::string t, std::uint8_t level = 0,
                      model::Bullet::Kind bullet = model::Bullet::Kind::inherited, std::uint32_t start = 1) {
    model::Paragraph p;
    model::Run r;
    r.text = std::move(t);
    p.runs.push_back(std::move(r));
    p.level = level;
    p.bullet.kind = bullet;
    p.bullet.start = start;
    if (bullet == model::Bullet::Kind::auto_number) p.bullet.text = "arabicPeriod";
    return p;
}

model::Shape text_shape(std::vector<model::Paragraph> ps, std::optional<model::PlaceholderKind> ph = std::nullopt) {
    model::Shape s;
    s.content = model::TextBody{std::move(ps)};
    if (ph) s.placeholder = model::Placeholder{*ph, 0};
    return s;
}

model::Cell cell(std::string t, bool h = false, bool v = false) {
    model::Cell c;
    if (!t.empty()) c.paragraphs.push_back(para(std::move(t)));
    c.h_merge = h;
    c.v_merge = v;
    return c;
}

model::Shape table_shape(std::vector<std::vector<model::Cell>> rows) {
    model::Table t;
    for (auto& cells : rows) t.rows.push_back(model::Row{0, std::move(cells)});
    model::Shape s;
    s.content = std::move(t);
    return s;
}

std::string content_text(const model::SlideContent& c, const text::TextOptions& o = {}) {
    std::string out;
    text::write_content_text(c, o, nullptr, out);
    return out;
}

using K = model::Bullet::Kind;
using PK = model::PlaceholderKind;

// ---------------------------------------------------------------- plain text

TEST(ContentText, ShapesInPreOrderWithHiddenFurnitureAndAltTextRules) {
    model::SlideContent c;
    c.shapes.push_back(text_shape({para("Title"), para("  "), para("")}, PK::title));
    model::Shape group;
    model::Group g;
    g.children.push_back(text_shape({para("in group")}));
    model::Shape hidden_child = text_shape({para("hidden child")});
    hidden_child.hidden = true;
    g.children.push_back(std::move(hidden_child));
    group.content = std::move(g);
    c.shapes.push_back(std::move(group));
    c.shapes.push_back(text_shape({para("3 March")}, PK::dt));
    model::Shape hidden_group;
    hidden_group.hidden = true;
    hidden_group.content = model::Group{{text_shape({para("under hidden group")})}};
    c.shapes.push_back(std::move(hidden_group));
    model::Shape pic;
    pic.content = model::Picture{std::string("rId2"), std::nullopt};
    pic.description = "  A red car \n";
    c.shapes.push_back(std::move(pic));
    c.shapes.push_back(text_shape({para("last")}));

    EXPECT_EQ(content_text(c), "Title\nin group\nlast");

    text::TextOptions all;
    all.furniture = true;
    all.hidden_shapes = true;
    all.alt_text = true;
    EXPECT_EQ(content_text(c, all), "Title\nin group\nhidden child\n3 March\nunder hidden group\nA red car\nlast");
}

TEST(ContentText, TableRowsJoinOriginCellsWithTheSeparator) {
    model::SlideContent c;
    c.shapes.push_back(table_shape({
        {cell("Region"), cell("Q1"), cell("Q2")},
        {cell("North"), cell("1"), cell("", true)},
        {cell("", false, true), cell(""), cell("3")},
        {cell(""), cell(" "), cell("")},
    }));
    // A cell of two paragraphs stays on its row's line.
    auto& t = std::get<model::Table>(c.shapes[0].content);
    t.rows[0].cells[0].paragraphs.push_back(para("(EU)"));
    EXPECT_EQ(content_text(c), "Region (EU)\tQ1\tQ2\nNorth\t1\n\t3");
    text::TextOptions o;
    o.separator = " | ";
    EXPECT_EQ(content_text(c, o), "Region (EU) | Q1 | Q2\nNorth | 1\n | 3");
}

// Shapes, rows and paragraphs that give nothing leave no empty line, wherever
// they stand; a text shape that gives nothing falls back to its alt text.
TEST(ContentText, NothingLeavesNoEmptyLine) {
    model::SlideContent c;
    c.shapes.push_back(text_shape({para(" "), para("")}));
    c.shapes.push_back(table_shape({{cell(""), cell(" ")}, {cell("a"), cell("")}, {cell("\t"), cell("")}}));
    c.shapes.push_back(text_shape({para(""), para("x"), para(" \n "), para("y"), para("")}));
    model::Shape described = text_shape({para("\xC2\xA0")});
    described.description = " chart of sales ";
    c.shapes.push_back(std::move(described));
    c.shapes.push_back(table_shape({{cell(" ")}}));
    EXPECT_EQ(content_text(c), "a\t\nx\ny");
    text::TextOptions alt;
    alt.alt_text = true;
    EXPECT_EQ(content_text(c, alt), "a\t\nx\ny\nchart of sales");

    model::SlideContent empty;
    empty.shapes.push_back(text_shape({para("  ")}));
    empty.shapes.push_back(table_shape({{cell("")}}));
    EXPECT_EQ(content_text(empty, alt), "");
}

TEST(ContentText, FramesAskTheCallbackOnlyForIncludedKinds) {
    model::SlideContent c;
    model::Shape chart;
    chart.content = model::Chart{std::string("rId1"), false};
    chart.description = "sales chart";
    model::Shape diagram;
    diagram.content = model::Diagram{std::string("rId2"), {}, {}, {}};
    c.shapes = {chart, diagram};
    std::vector<std::string> asked;
    const text::FrameCallback frame = [&](const model::Shape& s) -> text::FrameText {
        asked.push_back(model::kind_name(s.content));
        if (std::holds_alternative<model::Chart>(s.content))
            return vantrell_core::fail(vantrell_core::Error::missing_part("/ppt/charts/chart1.xml"));
        return std::optional<std::string>("Plan\nDo");
    };
    text::TextOptions o;
    o.alt_text = true;
    std::string out;
    text::write_content_text(c, o, frame, out);
    // A frame that failed gives no text, so its description stands in.
    EXPECT_EQ(out, "sales chart\nPlan\nDo");
    EXPECT_EQ(asked, (std::vector<std::string>{"chart", "diagram"}));

    asked.clear();
    out.clear();
    o.charts = false;
    o.diagrams = false;
    o.alt_text = false;
    text::write_content_text(c, o, frame, out);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(asked.empty());
}

TEST(ContentText, ChartsAndDiagramsReadAsLines) {
    vantrell_core::chart::ChartData chart;
    chart.title = " Sales ";
    chart.value_axis_title = "EUR";
    chart.series.push_back({std::string("North"), {"Q1", "Q2", "Q3"}, {"10", "", "30"}});
    chart.series.push_back({std::nullopt, {}, {"5"}});
    EXPECT_EQ(text::chart_text(chart), "Sales\nEUR\nNorth\nQ1: 10\nQ2\nQ3: 30\n5");

    vantrell_core::diagram::DiagramData d;
    d.items = {{0, "Plan"}, {1, "Scope"}, {1, " "}, {0, "Do"}};
    EXPECT_EQ(text::diagram_text(d), "Plan\nScope\nDo");
}

// One rule for a notes slide part and a legacy notes page: the slide image
// and the page furniture are not notes, and a text of XML white space alone
// is left out, while one of other white space is kept.
TEST(NotesText, BodiesOtherThanImageAndFurnitureOneLineEach) {
    model::SlideContent c;
    c.shapes.push_back(text_shape({para("image")}, PK::sldImg));
    c.shapes.push_back(text_shape({para("Speak"), para("slowly")}, PK::body));
    for (const PK furniture : {PK::sldNum, PK::dt, PK::ftr, PK::hdr})
        c.shapes.push_back(text_shape({para("furniture")}, furniture));
    c.shapes.push_back(text_shape({para(" \t\r"), para("")}));
    c.shapes.push_back(table_shape({{cell("not text")}}));
    c.shapes.push_back(text_shape({para("\xC2\xA0")}));
    c.shapes.push_back(text_shape({para("free")}, PK::title));
    EXPECT_EQ(c.notes_text(), "Speak\nslowly\n\xC2\xA0\nfree");
    EXPECT_EQ(model::SlideContent{}.notes_text(), "");
}

// A shape showing a page number alone is page furniture wherever it sits,
// in a legacy page as in a notes slide part: slide-number fields with
// nothing but white space and line breaks around them.
TEST(NotesText, PageNumbersAloneAreNotNotes) {
    auto run = [](model::Run::Kind kind, std::string text, std::string type = "") {
        return model::Run{kind, std::move(type), std::move(text), {}};
    };
    auto paragraph = [](std::vector<model::Run> runs) {
        model::Paragraph p;
        p.runs = std::move(runs);
        return p;
    };
    using RK = model::Run::Kind;
    const model::Run num = run(RK::field, "6", "slidenum"), br = run(RK::line_break, "\n");
    const model::Run space = run(RK::text, " \xC2\xA0\t");
    const std::pair<std::vector<model::Paragraph>, std::string> cases[] = {
        {{paragraph({num})}, ""},
        {{paragraph({space, num, br, space}), paragraph({}), paragraph({num})}, ""},
        {{paragraph({run(RK::text, "Page "), num})}, "Page 6"},
        {{paragraph({num, run(RK::text, " of 9")})}, "6 of 9"},
        {{paragraph({run(RK::field, "1 May", "datetime1")})}, "1 May"},
        {{paragraph({num}), paragraph({run(RK::text, "x")})}, "6\nx"},
    };
    for (const auto& [paras, kept] : cases) {
        model::SlideContent c;
        c.shapes.push_back(text_shape({para("Speak")}, PK::body));
        model::Shape group;
        group.content = model::Group{{text_shape(paras)}};
        c.shapes.push_back(std::move(group));
        EXPECT_EQ(c.notes_text(), kept.empty() ? "Speak" : "Speak\n" + kept) << kept;
        EXPECT_EQ(c.notes_bodies().size(), kept.empty() ? 1u : 2u);
    }
}

TEST(ExtractReport, WarningsInFixedOrderAndMergeKeepsUrisDistinct) {
    text::ExtractReport r;
    EXPECT_TRUE(r.warnings().empty());
    EXPECT_TRUE(r.is_complete());

    text::ExtractReport a;
    a.failed_frames.emplace_back(4, std::string("missing part: /ppt/charts/chart9.xml"));
    a.failed_slides.emplace_back(1, std::string("xml in /ppt/slides/slide2.xml at byte 7: bad"));
    a.hidden_slides_skipped = 2;
    vantrell_core::slide::SlideReport parsed;
    parsed.unknown_graphic_uris = {"urn:x", "urn:y", "urn:x"};
    parsed.unknown_elements = 4;
    text::ExtractReport b;
    b.failed_notes.emplace_back(0, std::string("n"));
    b.failed_comments.emplace_back(2, std::string("c"));
    b.merge(parsed);
    r.merge(a);
    r.merge(b);
    EXPECT_EQ(r.warnings(), (std::vector<std::string>{
                                "slide 2: unreadable: xml in /ppt/slides/slide2.xml at byte 7: bad",
                                "slide 1: notes unreadable: n",
                                "slide 3: comments unreadable: c",
                                "slide 5: chart or diagram unreadable: missing part: /ppt/charts/chart9.xml",
                                "3 graphic frame(s) of unknown type skipped: urn:x, urn:y",
                            }));
    EXPECT_EQ(r.unknown_elements, 4u);
    EXPECT_EQ(r.hidden_slides_skipped, 2u);
    EXPECT_FALSE(r.is_complete());

    // Hidden slides and unknown elements alone leave the report complete;
    // counters saturate rather than wrap.
    text::ExtractReport quiet;
    quiet.hidden_slides_skipped = 0xFFFFFFFFu;
    quiet.unknown_elements = 9;
    quiet.merge(text::ExtractReport{.hidden_slides_skipped = 5});
    EXPECT_EQ(quiet.hidden_slides_skipped, 0xFFFFFFFFu);
    EXPECT_TRUE(quiet.is_complete());

    // A cause met many times is one line that says where and how often,
    // whether its occurrences share the message or only its text.
    text::ExtractReport many;
    const vantrell_core::SharedText shared(std::string("missing part: /x"));
    for (const std::size_t slide : {2u, 2u, 5u}) many.failed_frames.emplace_back(slide, shared);
    many.failed_frames.emplace_back(7, std::string("missing part: /x"));
    many.failed_notes.emplace_back(1, std::string("n"));
    many.failed_notes.emplace_back(1, std::string("n"));
    many.failed_notes.emplace_back(3, std::string("other"));
    many.cut(std::uint64_t{20} << 20);
    EXPECT_EQ(many.warnings(), (std::vector<std::string>{
                                   "slide 2: notes unreadable 2 time(s): n",
                                   "slide 4: notes unreadable: other",
                                   "slide 3 and 2 more slide(s): chart or diagram unreadable 4 time(s): missing part: /x",
                                   "output cut on 1 slide(s): past the bound of 20 MiB",
                               }));
    EXPECT_FALSE(many.is_complete());
}

// Output is charged item by item: the item that would pass the bound is
// taken back, and from then on nothing more is written on any slide.
TEST(Meter, ItemsPastTheBoundAreCutOnEverySlide) {
    doc::Pass pass;  // read nothing: the bound is the allowance
    const std::string item(std::size_t{4} << 20, 'x');
    std::string a, b;
    text::ExtractReport ra, rb;
    text::Meter ma(a, &pass, &ra), mb(b, &pass, &rb);
    ASSERT_TRUE(ma.admit(6, 6));  // paid for already: charges nothing
    a += "prepaid";               // one byte more than paid for
    std::vector<bool> passed;
    for (int i = 0; i < 5; ++i) {
        a.resize(i == 0 ? 7 : a.size());
        a += item;
        passed.push_back(ma.check());
        if (i == 0) ma.rewind(7 + item.size() - 1);  // a byte taken back is given back
    }
    EXPECT_EQ(passed, (std::vector<bool>{true, true, true, true, false}));
    EXPECT_EQ(a.size(), 7 + 4 * item.size() - 1);
    EXPECT_TRUE(pass.cut());
    b += "y";
    EXPECT_FALSE(mb.check());
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(ra.warnings(), (std::vector<std::string>{"output cut on 1 slide(s): past the bound of 16 MiB"}));
    EXPECT_FALSE(rb.is_complete());
}

TEST(TextHelpers, JoinNonEmpty) {
    EXPECT_EQ(text::join_non_empty(std::vector<std::string>{"", "a", "", "b", ""}, "--"), "a--b");
}

// ---------------------------------------------------------------- Markdown pieces

std::string body_md(std::vector<model::Paragraph> ps, std::optional<PK> ph = PK::body) {
    model::SlideContent c;
    c.shapes.push_back(text_shape(std::move(ps), ph));
    doc::Slide s;
    s.content = std::move(c);
    text::ExtractReport r;
    md::MarkdownOptions o;
    o.headings = false;
    return md::slide_markdown(s, o, r);
}

TEST(MarkdownBodies, BulletLevelsNumberingAndPlainLines) {
    EXPECT_EQ(body_md({para("Growth"), para("Europe", 1), para("Asia", 1), para("Costs"), para("Deep", 2)}),
              "- Growth\n  - Europe\n  - Asia\n- Costs\n  - Deep");
    // A list that starts deep is pulled to the margin so it never reads as code.
    EXPECT_EQ(body_md({para("a", 3), para("b", 4), para("c", 3)}), "- a\n  - b\n- c");
    EXPECT_EQ(body_md({para("one", 0, K::auto_number), para("two", 0, K::auto_number), para("sub", 1, K::character),
                       para("three", 0, K::auto_number), para("Intro", 0, K::none),
                       para("again", 0, K::auto_number, 4), para("next", 0, K::auto_number)}),
              "1. one\n2. two\n   - sub\n3. three\n\nIntro\n\n4. again\n5. next");
    // Text boxes have no inherited bullets; character bullets still count.
    EXPECT_EQ(body_md({para("Note"), para("point", 0, K::character), para("Soft\nbreak")}, std::nullopt),
              "Note\n\n- point\n\nSoft\\\nbreak");
    // A line break inside an item is a hard break, the next line indented
    // to the item's text.
    EXPECT_EQ(body_md({para("two\nlines  here")}), "- two\\\n  lines here");
    // Numbers that do not follow on start a list of their own; none passes
    // nine digits.
    model::Paragraph roman = para("c", 0, K::auto_number);
    roman.bullet.text = "romanUcPeriod";
    EXPECT_EQ(body_md({para("a", 0, K::auto_number), para("b", 0, K::auto_number), roman}), "1. a\n2. b\n1) c");
    EXPECT_EQ(body_md({para("a", 0, K::auto_number, 4294967295u), para("b", 0, K::auto_number)}),
              "999999999. a\n999999999. b");
}

TEST(MarkdownBodies, PlainLinesThatLookLikeMarkupAreEscaped) {
    const std::vector<std::string> in = {"# not a heading", "> not a quote", "- not a bullet", "2024. A year",
                                         "3) three",        "---",          "```code",        "+1 vote",
                                         "1.5 million",      "*** stars",     "Notes: x"};
    std::vector<model::Paragraph> ps;
    for (const auto& s : in) ps.push_back(para(s, 0, K::none));
    EXPECT_EQ(body_md(ps), "\\# not a heading\n\n\\> not a quote\n\n\\- not a bullet\n\n2024\\. A year\n\n3\\) three"
                           "\n\n\\---\n\n\\`\\`\\`code\n\n+1 vote\n\n1.5 million\n\n\\*\\*\\* stars\n\nNotes\\: x");
}

// A paragraph of one run is rendered from the run itself, others from their
// joined text: both must give the same lines, escaped where they start.
TEST(MarkdownBodies, OneRunAndManyRunsRenderAlike) {
    const std::pair<std::string, std::string> cases[] = {
        {"# a\n \n  - b\n1. c", "\\# a\\\n\\- b\\\n1\\. c"},
        {"\n\nplain\n", "plain"},
        {" \n ", ""},
        {"x\n> y  z", "x\\\n\\> y z"},
        // A backslash ending a line is escaped, so the break stays a break.
        {"C:\\\n\\", "C:\\\\\\\n\\\\"},
    };
    for (const auto& [in, want] : cases) {
        model::Paragraph many = para("", 0, K::none);
        many.runs.clear();
        for (const char c : in) {
            model::Run r;
            if (c == '\n') r.kind = model::Run::Kind::line_break;
            r.text = std::string(1, c);
            many.runs.push_back(std::move(r));
        }
        EXPECT_EQ(body_md({para(in, 0, K::none)}), want) << in;
        EXPECT_EQ(body_md({many}), want) << in;
        EXPECT_EQ(body_md({para("before", 0, K::none), many}), want.empty() ? "before" : "before\n\n" + want) << in;
    }
}

// Each line of a list item reads as one line: runs of white space inside
// become one space, and white space at either end goes, Unicode spaces
// included; spaces that are not ASCII stay inside.
TEST(MarkdownBodies, WhiteSpaceInsideAListItemCollapses) {
    EXPECT_EQ(body_md({para("  a \t\n\r b\v\fc  ", 0, K::character)}), "- a\\\n  b c");
    EXPECT_EQ(body_md({para("\xC2\xA0x  y\xE3\x80\x80", 0, K::character)}), "- x y");
    EXPECT_EQ(body_md({para("x\xC2\xA0 \xC2\xA0y", 0, K::character)}), "- x\xC2\xA0 \xC2\xA0y");
    EXPECT_EQ(body_md({para("one", 0, K::character), para("two\n", 1, K::character)}), "- one\n  - two");
}

// Against a plain reference (split into lines at line breaks, each into
// words joined with one space, blank lines dropped), over every mix of
// single and repeated white space, at the ends and inside.
TEST(MarkdownBodies, OneLineMatchesSplittingIntoWords) {
    const char* pieces[] = {" ", "  ", "\t", "\n", " \n", "a", "bc", "-", "\xC3\xA9"};
    constexpr std::size_t N = sizeof(pieces) / sizeof(pieces[0]);
    auto words = [](const std::string& t) {
        std::string out, word;
        for (char c : t + " ") {
            if (c == ' ' || c == '\t') {
                if (!word.empty()) out += (out.empty() ? "" : " ") + word;
                word.clear();
            } else {
                word += c;
            }
        }
        // A line that reads as a list marker or a rule is escaped.
        if (out.starts_with("- ") || (!out.empty() && out.find_first_not_of("- ") == std::string::npos))
            out.insert(0, "\\");
        return out;
    };
    auto reference = [&](const std::string& t) {
        std::string out, line;
        for (char c : t + "\n") {
            if (c != '\n') {
                line += c;
                continue;
            }
            const std::string w = words(line);
            if (!w.empty()) out += (out.empty() ? "" : "\\\n  ") + w;
            line.clear();
        }
        return out;
    };
    std::uint32_t seed = 7;
    for (int round = 0; round < 3000; ++round) {
        std::string t;
        const int len = 1 + round % 6;
        for (int k = 0; k < len; ++k) {
            seed = seed * 1103515245u + 12345u;
            t += pieces[(seed >> 16) % N];
        }
        const std::string want = reference(t);
        const std::string got = body_md({para(t, 0, K::character)});
        if (want.empty()) ASSERT_EQ(got, "") << ::testing::PrintToString(t);
        else ASSERT_EQ(got, "- " + want) << ::testing::PrintToString(t);
    }
}

// Blocks are set apart by exactly one blank line: bodies that show nothing
// leave no trace, before, between or after other blocks, and a slide of
// nothing but blank bodies renders as nothing without a heading.
TEST(MarkdownSlides, BlankBodiesLeaveNoGaps) {
    auto render = [](std::vector<model::Shape> shapes, bool headings, std::size_t index = 0) {
        doc::Slide s;
        s.content.shapes = std::move(shapes);
        s.index = index;
        text::ExtractReport r;
        md::MarkdownOptions o;
        o.headings = headings;
        return md::slide_markdown(s, o, r);
    };
    model::Table t;
    t.rows.push_back(model::Row{0, {cell("x")}});
    model::Shape table;
    table.content = t;
    std::vector<model::Shape> shapes;
    shapes.push_back(text_shape({para(" "), para("")}));
    shapes.push_back(text_shape({para("Intro", 0, K::none)}));
    shapes.push_back(text_shape({para("\xC2\xA0")}, PK::body));
    shapes.push_back(table);
    shapes.push_back(text_shape({para("a", 0, K::character), para("b", 1, K::character)}));
    shapes.push_back(text_shape({}));
    EXPECT_EQ(render(shapes, false), "Intro\n\n| x |\n| --- |\n\n- a\n  - b");
    EXPECT_EQ(render(shapes, true, 2), "# Slide 3\n\nIntro\n\n| x |\n| --- |\n\n- a\n  - b");

    std::vector<model::Shape> blank;
    blank.push_back(text_shape({para("  ")}));
    blank.push_back(text_shape({para("\t")}, PK::body));
    EXPECT_EQ(render(blank, false), "");
    EXPECT_EQ(render(blank, true), "# Slide 1");

    // A title of white space only gives the fallback heading; another is
    // folded onto one line.
    std::vector<model::Shape> titled;
    titled.push_back(text_shape({para(" \xC2\xA0 ")}, PK::title));
    EXPECT_EQ(render(titled, true, 4), "# Slide 5");
    titled.push_back(text_shape({para("first"), para("  second  ")}, PK::title));
    titled.erase(titled.begin());
    EXPECT_EQ(render(titled, true), "# first second");
}

// Every byte a cell rewrites, at its ends and side by side.
TEST(MarkdownTables, CellBytesRewrittenAnywhere) {
    model::Table t;
    t.rows.push_back(model::Row{0, {cell("h")}});
    t.rows.push_back(model::Row{0, {cell("|a\t\r\vb||c\xC3\xA9|")}});
    EXPECT_EQ(md::table_markdown(t), "| h |\n| --- |\n| \\|a b\\|\\|c\xC3\xA9\\| |");
}

TEST(MarkdownTables, HeaderRowMergesAndEscapes) {
    model::Table t;
    auto row = [](std::vector<model::Cell> cells) { return model::Row{0, std::move(cells)}; };
    t.rows.push_back(row({cell("Region"), cell("2024"), cell("", true)}));
    t.rows.push_back(row({cell("North"), cell("a|b"), cell("1")}));
    t.rows.push_back(row({cell("", false, true), cell("", true, true), cell("2")}));
    t.rows.push_back(row({cell("South")}));
    t.rows[1].cells[0].paragraphs.push_back(para("(EU)"));
    t.rows[3].cells[0].paragraphs[0].runs.push_back(model::Run{model::Run::Kind::line_break, "", "\n", {}});
    t.rows[3].cells[0].paragraphs[0].runs.push_back(model::Run{model::Run::Kind::text, "", "Coast", {}});
    EXPECT_EQ(md::table_markdown(t), "| Region | 2024 |  |\n"
                                     "| --- | --- | --- |\n"
                                     "| North<br>(EU) | a\\|b | 1 |\n"
                                     "| North<br>(EU) |  | 2 |\n"
                                     "| South<br>Coast |  |  |");
    EXPECT_EQ(md::table_markdown(model::Table{}), "");
    // A run of vertical merges repeats the first text all the way down.
    model::Table chain;
    chain.rows.push_back(row({cell("top"), cell("1")}));
    for (int i = 0; i < 3; ++i) chain.rows.push_back(row({cell("", false, true), cell(std::to_string(i + 2))}));
    EXPECT_EQ(md::table_markdown(chain), "| top | 1 |\n| --- | --- |\n| top | 2 |\n| top | 3 |\n| top | 4 |");
    // A vertical merge in the first row has nothing to repeat, and a table
    // of nothing but empty cells gives nothing.
    model::Table lone;
    lone.rows.push_back(row({cell("x", false, true)}));
    EXPECT_EQ(md::table_markdown(lone), "");
    lone.rows.push_back(row({cell("y")}));
    EXPECT_EQ(md::table_markdown(lone), "|  |\n| --- |\n| y |");
}

TEST(MarkdownFrames, ChartAsCategoriesBySeriesAndDiagramAsNestedList) {
    vantrell_core::chart::ChartData chart;
    chart.title = "Sales\n2024";
    chart.kinds = {"bar", "line"};
    chart.category_axis_title = "Quarter";
    chart.series.push_back({std::string("North"), {"Q1", "Q2"}, {"10", "20"}});
    chart.series.push_back({std::nullopt, {}, {"5", "6", "7"}});
    EXPECT_EQ(md::chart_markdown(chart), "Chart (bar, line): Sales 2024\nCategory axis: Quarter\n\n"
                                         "| Quarter | North | Series 2 |\n"
                                         "| --- | --- | --- |\n"
                                         "| Q1 | 10 | 5 |\n"
                                         "| Q2 | 20 | 6 |\n"
                                         "|  |  | 7 |");
    vantrell_core::chart::ChartData bare;
    bare.series.push_back({std::nullopt, {}, {"1", "2"}});
    EXPECT_EQ(md::chart_markdown(bare), "Chart\n\n| Category | Series 1 |\n| --- | --- |\n| 1 | 1 |\n| 2 | 2 |");
    EXPECT_EQ(md::chart_markdown(vantrell_core::chart::ChartData{}), "Chart");
    // A cache is laid out by its points' idx: a gap is an empty cell, a
    // point past the length shows nowhere, and the text skips both.
    vantrell_core::chart::ChartData sparse;
    sparse.series.emplace_back().values.points = {{1, "b"}, {3, "d"}, {9, "z"}};
    sparse.series[0].values.length = 4;
    EXPECT_EQ(md::chart_markdown(sparse),
              "Chart\n\n| Category | Series 1 |\n| --- | --- |\n| 1 |  |\n| 2 | b |\n| 3 |  |\n| 4 | d |");
    EXPECT_EQ(text::chart_text(sparse), "b\nd");

    vantrell_core::diagram::DiagramData d;
    d.items = {{0, "Plan"}, {1, "Scope"}, {3, "Deep"}, {0, " "}, {0, "Do"}, {2, "Skip"}};
    EXPECT_EQ(md::diagram_markdown(d), "- Plan\n  - Scope\n    - Deep\n- Do\n  - Skip");
}

// Titles, names, categories and items are escaped for where they stand: a
// caption and a cell inline only, an item also at its start.
TEST(MarkdownFrames, TextIsEscapedWhereItStands) {
    vantrell_core::chart::ChartData chart;
    chart.title = "*Sales* <2024>";
    chart.value_axis_title = "EUR_m [est]";
    chart.series.push_back({std::string("a|b"), {"# 1", "x\ny"}, {"1", "2"}});
    EXPECT_EQ(md::chart_markdown(chart), "Chart: \\*Sales\\* <2024>\nValue axis: EUR_m \\[est\\]\n\n"
                                         "| Category | a\\|b |\n| --- | --- |\n| # 1 | 1 |\n| x y | 2 |");
    vantrell_core::diagram::DiagramData d;
    d.items = {{0, "- dash"}, {1, "1. one"}, {1, "<b>"}};
    EXPECT_EQ(md::diagram_markdown(d), "- \\- dash\n  - 1\\. one\n  - \\<b>");

    // A heading's closing run of "#" would be dropped.
    auto heading = [](std::string title) {
        doc::Slide s;
        s.content.shapes.push_back(text_shape({para(std::move(title))}, PK::title));
        text::ExtractReport r;
        return md::slide_markdown(s, {}, r);
    };
    EXPECT_EQ(heading("Learn C #"), "# Learn C \\#");
    EXPECT_EQ(heading("###"), "# \\###");
    EXPECT_EQ(heading("C# and F#"), "# C# and F#");
    EXPECT_EQ(heading("- not a list_"), "# - not a list\\_");
}

// ---------------------------------------------------------------- fixture decks

using testkit::Zip;

const std::string NS = " xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\""
                       " xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\""
                       " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";
const std::string REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string rels(const std::vector<std::pair<std::string, std::string>>& list) {
    std::string s = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    for (std::size_t i = 0; i < list.size(); ++i)
        s += "<Relationship Id=\"rId" + std::to_string(i + 1) + "\" Type=\"" + REL + list[i].first +
             "\" Target=\"" + list[i].second + "\"/>";
    return s + "</Relationships>";
}

std::string runs(const std::string& t) { return "<a:r><a:t>" + t + "</a:t></a:r>"; }

std::string sp(int id, const std::string& ph, const std::string& paras, const std::string& cnv = "") {
    return "<p:sp><p:nvSpPr><p:cNvPr id=\"" + std::to_string(id) + "\" name=\"S" + std::to_string(id) + "\"" + cnv +
           "/><p:cNvSpPr/><p:nvPr>" + ph + "</p:nvPr></p:nvSpPr><p:spPr/><p:txBody><a:bodyPr/>" + paras +
           "</p:txBody></p:sp>";
}

std::string frame(int id, const std::string& uri, const std::string& payload, const std::string& descr = "") {
    return "<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id=\"" + std::to_string(id) + "\" name=\"F\"" +
           (descr.empty() ? "" : " descr=\"" + descr + "\"") +
           "/><p:cNvGraphicFramePr/><p:nvPr/></p:nvGraphicFramePr><a:graphic><a:graphicData uri=\"" + uri + "\">" +
           payload + "</a:graphicData></a:graphic></p:graphicFrame>";
}

std::string chart_frame(int id, const std::string& rid) {
    return frame(id, "http://schemas.openxmlformats.org/drawingml/2006/chart",
                 "<c:chart xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" r:id=\"" + rid + "\"/>");
}

std::string slide(const std::string& shapes, const std::string& attrs = "") {
    return "<p:sld" + NS + attrs + "><p:cSld><p:spTree><p:nvGrpSpPr/><p:grpSpPr/>" + shapes +
           "</p:spTree></p:cSld></p:sld>";
}

// A deck of the given slides: (slide XML, slide relationships) each.
struct DeckBuilder {
    Zip zip;
    std::vector<std::pair<std::string, std::string>> slides;
    std::vector<std::pair<std::string, std::string>> pres_rels;
    std::map<std::string, std::uint32_t> recorded_sizes; // by item name: a size to claim

    DeckBuilder& add_slide(std::string xml, std::vector<std::pair<std::string, std::string>> slide_rels = {}) {
        const std::string n = std::to_string(slides.size() + 1);
        slides.emplace_back(std::move(xml), rels(slide_rels));
        pres_rels.emplace_back("slide", "slides/slide" + n + ".xml");
        return *this;
    }
    DeckBuilder& part(std::string name, std::string body) {
        zip.add(std::move(name), body);
        return *this;
    }

    std::shared_ptr<const doc::Shared> open() {
        Zip z;
        z.add("[Content_Types].xml",
              "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
              "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
              "<Default Extension=\"png\" ContentType=\"image/png\"/>"
              "<Override PartName=\"/ppt/presentation.xml\" ContentType=\"application/"
              "vnd.openxmlformats-officedocument.presentationml.presentation.main+xml\"/></Types>");
        z.add("_rels/.rels", rels({{"officeDocument", "ppt/presentation.xml"}}));
        std::string ids;
        for (std::size_t i = 0; i < slides.size(); ++i)
            ids += "<p:sldId id=\"" + std::to_string(256 + i) + "\" r:id=\"rId" + std::to_string(i + 1) + "\"/>";
        z.add("ppt/presentation.xml",
              "<p:presentation" + NS + "><p:sldIdLst>" + ids + "</p:sldIdLst></p:presentation>");
        z.add("ppt/_rels/presentation.xml.rels", rels(pres_rels));
        for (std::size_t i = 0; i < slides.size(); ++i) {
            const std::string n = std::to_string(i + 1);
            z.add("ppt/slides/slide" + n + ".xml", slides[i].first);
            z.add("ppt/slides/_rels/slide" + n + ".xml.rels", slides[i].second);
        }
        for (const auto& item : zip.items) z.items.push_back(item);
        for (auto& item : z.items)
            if (const auto it = recorded_sizes.find(item.name); it != recorded_sizes.end())
                item.recorded_size = it->second;
        auto d = doc::Document::from_source(std::make_shared<vantrell_core::zip::MemorySource>(z.build()));
        EXPECT_TRUE(d) << d.error().message();
        return d ? d->shared() : nullptr;
    }
};

const std::string CHART1 =
    "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><c:chart><c:title><c:tx><c:rich><a:bodyPr/>"
    "<a:p>" + runs("Revenue") + "</a:p></c:rich></c:tx></c:title><c:plotArea><c:barChart><c:ser><c:tx><c:v>2023</c:v>"
    "</c:tx><c:cat><c:strLit><c:ptCount val=\"2\"/><c:pt idx=\"0\"><c:v>Q1</c:v></c:pt><c:pt idx=\"1\"><c:v>Q2</c:v>"
    "</c:pt></c:strLit></c:cat><c:val><c:numLit><c:ptCount val=\"2\"/><c:pt idx=\"0\"><c:v>10</c:v></c:pt>"
    "<c:pt idx=\"1\"><c:v>12</c:v></c:pt></c:numLit></c:val></c:ser></c:barChart></c:plotArea></c:chart>"
    "</c:chartSpace>";

const std::string DIAGRAM1 =
    "<dgm:dataModel xmlns:dgm=\"http://schemas.openxmlformats.org/drawingml/2006/diagram\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><dgm:ptLst>"
    "<dgm:pt modelId=\"0\" type=\"doc\"/>"
    "<dgm:pt modelId=\"1\"><dgm:t><a:bodyPr/><a:p>" + runs("Plan") + "</a:p></dgm:t></dgm:pt>"
    "<dgm:pt modelId=\"2\"><dgm:t><a:bodyPr/><a:p>" + runs("Scope") + "</a:p></dgm:t></dgm:pt>"
    "<dgm:pt modelId=\"3\"><dgm:t><a:bodyPr/><a:p>" + runs("Do") + "</a:p></dgm:t></dgm:pt>"
    "</dgm:ptLst><dgm:cxnLst>"
    "<dgm:cxn modelId=\"a\" srcId=\"0\" destId=\"1\" srcOrd=\"0\" destOrd=\"0\"/>"
    "<dgm:cxn modelId=\"b\" srcId=\"1\" destId=\"2\" srcOrd=\"0\" destOrd=\"0\"/>"
    "<dgm:cxn modelId=\"c\" srcId=\"0\" destId=\"3\" srcOrd=\"1\" destOrd=\"0\"/>"
    "</dgm:cxnLst></dgm:dataModel>";

// Five slides: a title slide; a slide with a table, chart, picture, notes
// and comments; a hidden slide with a diagram and an unknown frame; a slide
// whose part is malformed; a slide whose chart part is missing.
std::shared_ptr<const doc::Shared> fixture_deck() {
    DeckBuilder b;
    b.add_slide(slide(sp(2, "<p:ph type=\"ctrTitle\"/>", "<a:p>" + runs("Quarterly") + "<a:br/>" + runs("review") +
                                                                 "</a:p>") +
                      sp(3, "<p:ph type=\"subTitle\" idx=\"1\"/>", "<a:p>" + runs("Team A") + "</a:p>") +
                      sp(4, "<p:ph type=\"dt\" idx=\"10\"/>", "<a:p>" + runs("1 May") + "</a:p>") +
                      sp(5, "", "<a:p>" + runs("draft") + "</a:p>", " hidden=\"1\"")));
    const std::string table =
        frame(6, "http://schemas.openxmlformats.org/drawingml/2006/table",
              "<a:tbl><a:tblGrid><a:gridCol w=\"1\"/><a:gridCol w=\"1\"/></a:tblGrid>"
              "<a:tr h=\"1\"><a:tc><a:txBody><a:p>" + runs("Item") + "</a:p></a:txBody></a:tc><a:tc><a:txBody><a:p>" +
                  runs("Cost") + "</a:p></a:txBody></a:tc></a:tr>"
              "<a:tr h=\"1\"><a:tc><a:txBody><a:p>" + runs("Rent") + "</a:p></a:txBody></a:tc><a:tc><a:txBody><a:p>" +
                  runs("5|6") + "</a:p></a:txBody></a:tc></a:tr></a:tbl>");
    const std::string pic =
        "<p:pic><p:nvPicPr><p:cNvPr id=\"8\" name=\"P\" descr=\"Team photo\"/><p:cNvPicPr/><p:nvPr/></p:nvPicPr>"
        "<p:blipFill><a:blip r:embed=\"rId3\"/></p:blipFill><p:spPr/></p:pic>";
    b.add_slide(slide(sp(2, "<p:ph type=\"title\"/>", "<a:p>" + runs("Budget") + "</a:p>") +
                      sp(3, "<p:ph idx=\"1\"/>",
                         "<a:p>" + runs("Costs") + "</a:p><a:p><a:pPr lvl=\"1\"/>" + runs("Rent") +
              "</a:p><a:p><a:pPr><a:buAutoNum type=\"arabicPeriod\"/></a:pPr>" + runs("Cut") +
              "</a:p><a:p><a:pPr><a:buAutoNum type=\"arabicPeriod\"/></a:pPr>" + runs("Save") +
              "</a:p>") +
                      table + chart_frame(7, "rId2") + pic),
                {{"slideLayout", "../slideLayouts/slideLayout1.xml"},
                 {"chart", "../charts/chart1.xml"},
                 {"image", "../media/image1.png"},
                 {"notesSlide", "../notesSlides/notesSlide1.xml"},
                 {"comments", "../comments/comment1.xml"}});
    b.add_slide(slide(frame(9, "http://schemas.openxmlformats.org/drawingml/2006/diagram",
                            "<dgm:relIds xmlns:dgm=\"http://schemas.openxmlformats.org/drawingml/2006/diagram\" "
                            "r:dm=\"rId1\"/>") +
                          frame(10, "urn:example:widget", "<w/>"),
                      " show=\"0\""),
                {{"diagramData", "../diagrams/data1.xml"}});
    b.add_slide("<p:sld" + NS + "><p:cSld>");
    b.add_slide(slide(chart_frame(2, "rId1") + sp(3, "", "<a:p>" + runs("After the chart") + "</a:p>")),
                {{"chart", "../charts/chart404.xml"}});
    b.part("ppt/charts/chart1.xml", CHART1);
    b.part("ppt/diagrams/data1.xml", DIAGRAM1);
    b.part("ppt/media/image1.png", "\x89PNG");
    b.part("ppt/notesSlides/notesSlide1.xml",
           "<p:notes" + NS + "><p:cSld><p:spTree><p:nvGrpSpPr/><p:grpSpPr/>" +
               sp(2, "<p:ph type=\"sldImg\"/>", "<a:p>" + runs("image") + "</a:p>") +
               sp(3, "<p:ph type=\"body\" idx=\"1\"/>",
                  "<a:p>" + runs("Say hello") + "</a:p><a:p>" + runs("Then go") + "</a:p>") +
               "</p:spTree></p:cSld></p:notes>");
    b.part("ppt/comments/comment1.xml",
           "<p:cmLst" + NS + "><p:cm authorId=\"0\" idx=\"1\"><p:text>Check rent</p:text></p:cm></p:cmLst>");
    b.part("ppt/commentAuthors.xml",
           "<p:cmAuthorLst" + NS + "><p:cmAuthor id=\"0\" name=\"Ann\" initials=\"A\"/></p:cmAuthorLst>");
    b.pres_rels.emplace_back("commentAuthors", "commentAuthors.xml");
    return b.open();
}

const std::string SLIDE_4_ERROR_PREFIX = "slide 4: unreadable: xml in /ppt/slides/slide4.xml at byte ";

TEST(DeckText, GoldenTextWithFailuresRecorded) {
    auto shared = fixture_deck();
    ASSERT_TRUE(shared);
    doc::Document d(shared, 1);
    auto [plain, report] = text::text_reporting(d, {});
    EXPECT_EQ(plain,
              "Quarterly\nreview\nTeam A\n\n"
              "Budget\nCosts\nRent\nCut\nSave\nItem\tCost\nRent\t5|6\nRevenue\n2023\nQ1: 10\nQ2: 12\n\n"
              "Plan\nScope\nDo\n\n"
              "After the chart");
    const auto w = report.warnings();
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].rfind(SLIDE_4_ERROR_PREFIX, 0), 0u) << w[0];
    EXPECT_EQ(w[1], "slide 5: chart or diagram unreadable: missing part: /ppt/charts/chart404.xml");
    EXPECT_EQ(w[2], "1 graphic frame(s) of unknown type skipped: urn:example:widget");
    EXPECT_EQ(report.failed_slides.at(0).first, 3u);

    text::TextOptions o;
    o.notes = true;
    o.comments = true;
    o.hidden_slides = false;
    o.furniture = true;
    o.hidden_shapes = true;
    o.charts = false;
    o.diagrams = false;
    o.alt_text = true;
    auto [full, r2] = text::text_reporting(d, o);
    EXPECT_EQ(full,
              "Quarterly\nreview\nTeam A\n1 May\ndraft\n\n"
              "Budget\nCosts\nRent\nCut\nSave\nItem\tCost\nRent\t5|6\nTeam photo\n"
              "Notes: Say hello\nThen go\nComment from Ann: Check rent\n\n"
              "After the chart");
    EXPECT_EQ(r2.hidden_slides_skipped, 1u);
    EXPECT_EQ(r2.failed_slides.size(), 1u);
    EXPECT_TRUE(r2.failed_frames.empty());
    EXPECT_EQ(r2.unknown_graphics, 0u);  // the hidden slide was not rendered
}

TEST(DeckText, PositionsKeepOrderAndRepeatsAtEveryThreadCount) {
    auto shared = fixture_deck();
    ASSERT_TRUE(shared);
    const std::vector<std::size_t> positions = {4, 0, 0, 3, 2};
    std::vector<std::string> first;
    for (const std::size_t threads : {1u, 2u, 3u, 16u, 0u}) {
        doc::Document d(shared, threads);
        auto [texts, report] = text::slide_texts_at(d, positions, {});
        ASSERT_EQ(texts.size(), 5u);
        EXPECT_EQ(texts[0], "After the chart");
        EXPECT_EQ(texts[1], "Quarterly\nreview\nTeam A");
        EXPECT_EQ(texts[2], texts[1]);
        EXPECT_EQ(texts[3], "");
        EXPECT_EQ(texts[4], "Plan\nScope\nDo");
        // Failures come back in the order of the positions, repeats merged twice.
        ASSERT_EQ(report.failed_slides.size(), 1u);
        EXPECT_EQ(report.failed_frames.at(0).first, 4u);
        if (first.empty()) first = texts;
        EXPECT_EQ(texts, first) << "threads " << threads;
    }
    doc::Document d(shared, 4);
    auto [twice, r] = text::slide_texts_at(d, std::vector<std::size_t>{3, 3}, {});
    EXPECT_EQ(r.failed_slides.size(), 2u);
    auto [none, empty] = text::slide_texts_at(d, std::vector<std::size_t>{}, {});
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(empty.warnings().empty());
}

TEST(DeckMarkdown, GoldenMarkdownEveryOption) {
    auto shared = fixture_deck();
    ASSERT_TRUE(shared);
    doc::Document d(shared, 2);
    std::vector<std::size_t> all = {0, 1, 2, 3, 4};
    auto [out, report] = md::markdown_at(d, all, {});
    EXPECT_EQ(out,
              "# Quarterly review\n\nTeam A\n\n---\n\n"
              "# Budget\n\n- Costs\n  - Rent\n1. Cut\n2. Save\n\n"
              "| Item | Cost |\n| --- | --- |\n| Rent | 5\\|6 |\n\n"
              "Chart (bar): Revenue\n\n| Category | 2023 |\n| --- | --- |\n| Q1 | 10 |\n| Q2 | 12 |\n\n"
              "![Team photo](/ppt/media/image1.png)\n\n---\n\n"
              "# Slide 3\n\n- Plan\n  - Scope\n- Do\n\n---\n\n"
              "# Slide 5\n\nAfter the chart\n");
    EXPECT_EQ(report.warnings().size(), 3u);

    md::MarkdownOptions o;
    o.headings = false;
    o.notes = true;
    o.comments = true;
    o.hidden_slides = false;
    o.furniture = true;
    o.hidden_shapes = true;
    o.images = false;
    auto [out2, report2] = md::markdown_at(d, std::vector<std::size_t>{1, 0}, o);
    EXPECT_EQ(out2,
              "Budget\n\n- Costs\n  - Rent\n1. Cut\n2. Save\n\n"
              "| Item | Cost |\n| --- | --- |\n| Rent | 5\\|6 |\n\n"
              "Chart (bar): Revenue\n\n| Category | 2023 |\n| --- | --- |\n| Q1 | 10 |\n| Q2 | 12 |\n\n"
              "> Notes: Say hello\n>\n> Then go\n\n> Comment from Ann: Check rent\n\n---\n\n"
              "Quarterly\\\nreview\n\nTeam A\n\n1 May\n\ndraft\n");
    EXPECT_TRUE(report2.is_complete());

    auto [hidden_only, r3] = md::markdown_at(d, std::vector<std::size_t>{2}, o);
    EXPECT_EQ(hidden_only, "");
    EXPECT_EQ(r3.hidden_slides_skipped, 1u);
    auto [nothing, r4] = md::markdown_at(d, std::vector<std::size_t>{}, {});
    EXPECT_EQ(nothing, "");
}

TEST(DeckMarkdown, ConcurrentPassesOverOneDeckAgree) {
    auto shared = fixture_deck();
    ASSERT_TRUE(shared);
    const std::vector<std::size_t> all = {0, 1, 2, 3, 4};
    doc::Document ref(shared, 1);
    const std::string expected = md::markdown_at(ref, all, {}).first;
    std::vector<std::string> got(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] {
            doc::Document view(shared, i % 3);
            got[i] = md::markdown_at(view, all, {}).first;
        });
    for (auto& t : threads) t.join();
    for (const auto& g : got) EXPECT_EQ(g, expected);
}

// ---------------------------------------------------------------- corpus sweep

TEST(CorpusSweep, EveryDeckRendersAsTextAndMarkdown) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::filesystem::path& root = *corpus;
    std::error_code ec;
    std::size_t opened = 0, slides = 0;
    text::TextOptions to;
    to.notes = to.comments = to.alt_text = to.furniture = to.hidden_shapes = true;
    md::MarkdownOptions mo;
    mo.notes = mo.comments = mo.furniture = mo.hidden_shapes = true;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
        if (!entry.is_regular_file()) continue;
        auto source = vantrell_core::zip::FileSource::open(entry.path().string());
        if (!source) continue;
        auto d = doc::Document::from_source(*source);
        if (!d) continue;
        ++opened;
        slides += d->slide_count();
        const auto t0 = std::chrono::steady_clock::now();
        auto [t, tr] = text::text_reporting(*d, to);
        std::vector<std::size_t> all(d->slide_count());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        auto [m, mr] = md::markdown_at(*d, all, mo);
        EXPECT_TRUE(m.empty() || m.back() == '\n') << entry.path();
        EXPECT_EQ(m.find("\n\n\n"), std::string::npos) << entry.path();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20)) << entry.path();
    }
    EXPECT_GT(opened, 0u);
    std::cout << opened << " decks, " << slides << " slides\n";
}

} // namespace

namespace {

// Parts that would inflate past the limit are refused by their recorded
// size; each failure is recorded where the part belongs and the rest renders.
TEST(DeckPasses, PartsPastTheSizeLimitFailOnlyWhereTheyBelong) {
    DeckBuilder b;
    b.add_slide(slide(sp(2, "<p:ph type=\"title\"/>", "<a:p>" + runs("One") + "</a:p>") + chart_frame(3, "rId1")),
                {{"chart", "../charts/chart1.xml"}});
    b.add_slide(slide(sp(2, "", "<a:p>" + runs("Two") + "</a:p>")));
    b.add_slide(slide(sp(2, "", "<a:p>" + runs("Three") + "</a:p>")), {{"notesSlide", "../notesSlides/notes3.xml"}});
    b.part("ppt/charts/chart1.xml", CHART1);
    b.part("ppt/notesSlides/notes3.xml", "<p:notes" + NS + "/>");
    const auto over = static_cast<std::uint32_t>(vantrell_core::package::MAX_XML_PART_NBYTES + 1);
    for (const char* name : {"ppt/charts/chart1.xml", "ppt/slides/slide2.xml", "ppt/notesSlides/notes3.xml"})
        b.recorded_sizes[name] = over;
    auto shared = b.open();
    ASSERT_TRUE(shared);
    auto refused = [](const std::string& part) {
        return "unsupported: xml part " + part + " inflates to 268435457 bytes, over the limit of 268435456";
    };
    const text::Failures frames = {{0, refused("/ppt/charts/chart1.xml")}};
    const text::Failures slides = {{1, refused("/ppt/slides/slide2.xml")}};
    const text::Failures notes = {{2, refused("/ppt/notesSlides/notes3.xml")}};
    for (const std::size_t threads : {1u, 3u}) {
        doc::Document d(shared, threads);
        text::TextOptions to;
        to.notes = true;
        auto [t, tr] = text::text_reporting(d, to);
        EXPECT_EQ(t, "One\n\nThree");
        EXPECT_EQ(tr.failed_frames, frames);
        EXPECT_EQ(tr.failed_slides, slides);
        EXPECT_EQ(tr.failed_notes, notes);
        md::MarkdownOptions mo;
        mo.notes = true;
        auto [m, mr] = md::markdown_at(d, std::vector<std::size_t>{0, 1, 2}, mo);
        EXPECT_EQ(m, "# One\n\n---\n\n# Slide 3\n\nThree\n");
        EXPECT_EQ(mr.failed_frames, frames);
        EXPECT_EQ(mr.failed_slides, slides);
        EXPECT_EQ(mr.failed_notes, notes);
        EXPECT_EQ(d.slide(1).error().message(), *slides[0].second);
    }
}

TEST(DeckPasses, MembersMatchTheFreeFunctions) {
    auto shared = fixture_deck();
    ASSERT_TRUE(shared);
    doc::Document d(shared, 2);
    const std::vector<std::size_t> all = {0, 1, 2, 3, 4};
    EXPECT_EQ(d.text_reporting({}).first, text::text_reporting(d, {}).first);
    EXPECT_EQ(d.slide_texts_at(all, {}).first, text::slide_texts_at(d, all, {}).first);
    EXPECT_EQ(d.markdown_at(all, {}).first, md::markdown_at(d, all, {}).first);
    auto s = d.slide(1);
    ASSERT_TRUE(s);
    text::ExtractReport r1, r2;
    EXPECT_EQ(s->markdown({}, r1), md::slide_markdown(*s, {}, r2));
    EXPECT_EQ(s->text_reporting({}, r1), text::slide_text_reporting(*s, {}, r2));
}

} // namespace
