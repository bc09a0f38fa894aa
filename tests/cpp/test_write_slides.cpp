// Slide and notes parts generated from planned slides: shapes and their ids,
// pictures, tables, text boxes, colour maps, errors, and whole decks whose
// every XML part our own reader accepts.
#include "core/xml.h"
#include "write/markdown.h"
#include "write/parts.h"

#include "writekit.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace vw = vantrell_write;
namespace vp = vantrell_write::parts;

namespace {

using writekit::para;
using writekit::png;

std::map<std::string, std::string> build(const vw::Presentation& deck) {
    auto parts = vp::build(deck);
    EXPECT_TRUE(parts.has_value()) << parts.error().message();
    std::map<std::string, std::string> out;
    if (!parts) return out;
    for (const auto& p : *parts) {
        std::string data(p.data.begin(), p.data.end());
        if (p.name.ends_with(".xml") || p.name.ends_with(".rels")) {
            const auto err = vantrell_core::xml::well_formed(data);
            EXPECT_FALSE(err.has_value()) << p.name << ": " << (err ? err->message : std::string());
        }
        out.emplace(p.name, std::move(data));
    }
    return out;
}

bool has(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

std::size_t count(const std::string& hay, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

} // namespace

TEST(WriteSlides, ShapeIdsNamesAndPlaceholders) {
    vw::Presentation deck;
    vw::Slide a;
    a.title = "Cover";
    a.subtitle = "sub";
    vw::Slide b;
    b.title = "Blank title";
    b.layout = vw::Layout::blank;
    b.shapes.push_back(vw::Shape{vw::Shape::TextBox{{para("fixed", true, 2)}, {1, 2, 3, 4}}});
    b = std::move(b).picture(png(2, 2), {5, 6, 7, 8});
    vw::Shape::Table ft;
    ft.rows = {{"h1", "h2"}, {"a", "b"}, {"c", "d"}};
    ft.header = true;
    ft.rect = {0, 0, 900000, 1000000};
    b.shapes.push_back(vw::Shape{ft});
    deck.slides = {a, b};
    auto parts = build(deck);

    const std::string& s1 = parts["ppt/slides/slide1.xml"];
    EXPECT_TRUE(has(s1, R"(<p:cNvPr id="2" name="Title 1"/><p:cNvSpPr><a:spLocks noGrp="1"/></p:cNvSpPr><p:nvPr><p:ph type="ctrTitle"/>)"));
    EXPECT_TRUE(has(s1, R"(<p:cNvPr id="3" name="Subtitle 2"/>)"));
    EXPECT_EQ(count(s1, "<p:sp>"), 2u);

    const std::string& s2 = parts["ppt/slides/slide2.xml"];
    EXPECT_TRUE(has(s2, R"(<p:ph type="title"/></p:nvPr></p:nvSpPr><p:spPr><a:xfrm><a:off x="838200" y="365125"/><a:ext cx="10515600" cy="1325563"/></a:xfrm>)"))
        << "a title on the blank layout carries the title box";
    EXPECT_TRUE(has(s2, R"(<p:cNvPr id="3" name="TextBox 2"/><p:cNvSpPr txBox="1"/>)"));
    EXPECT_TRUE(has(s2, R"(<a:bodyPr wrap="square" rtlCol="0"><a:spAutoFit/></a:bodyPr><a:lstStyle/><a:p><a:pPr marL="1143000" lvl="2" indent="-228600"><a:buClr>)"));
    EXPECT_TRUE(has(s2, R"(<p:cNvPr id="4" name="Picture 2"/>)"));
    EXPECT_TRUE(has(s2, R"(<p:cNvPr id="5" name="Table 4"/>)"));
    EXPECT_EQ(count(s2, R"(<a:tr h="333333">)"), 3u);
    EXPECT_EQ(count(s2, R"(<a:gridCol w="450000"/>)"), 2u);
    EXPECT_TRUE(has(s2, R"(<a:tblPr firstRow="1" bandRow="0"/>)"));
    EXPECT_EQ(count(s2, R"( b="1" dirty="0"/><a:t>h)"), 2u) << "header cells are bold";
    EXPECT_EQ(count(s2, R"(<a:lnB w="28575")"), 2u);
    EXPECT_EQ(count(s2, R"(<a:lnB w="6350")"), 4u);
    EXPECT_TRUE(has(parts["ppt/slides/_rels/slide2.xml.rels"], R"(Target="../media/image1.png"/>)"));
}

TEST(WriteSlides, LaidOutElements) {
    vw::Presentation deck;
    vw::Slide s;
    s.title = "Mixed";
    s.body = {para("lead", true)};
    s.blocks.push_back(vw::Block{vw::Block::Picture{png(400, 100), "a <chart>"}});
    s.blocks.push_back(vw::Block{vw::Block::Table{{{"k", "v"}, {"1", "2"}}, true}});
    s.blocks.push_back(vw::Block{vw::Block::Table{}}); // nothing to show: no frame
    s.blocks.push_back(vw::Block{vw::Block::Columns{{vw::Block{vw::Block::Paragraphs{{para("col")}}}}}});
    deck.slides = {s};
    auto parts = build(deck);
    const std::string& x = parts["ppt/slides/slide1.xml"];
    EXPECT_TRUE(has(x, R"(<p:cNvPr id="3" name="Content Placeholder 2"/>)"));
    EXPECT_TRUE(has(x, R"(<p:ph idx="1"/></p:nvPr></p:nvSpPr><p:spPr><a:xfrm><a:off x="838200" y="1825625"/>)"))
        << "text above other items gets an explicit box";
    EXPECT_TRUE(has(x, "<a:bodyPr><a:noAutofit/></a:bodyPr>"));
    EXPECT_TRUE(has(x, R"(<p:cNvPr id="4" name="Picture 3" descr="a &lt;chart&gt;"/>)"));
    EXPECT_TRUE(has(x, R"(<p:cNvPr id="5" name="Table 4"/>)"));
    EXPECT_EQ(count(x, "<p:graphicFrame>"), 1u);
    EXPECT_TRUE(has(x, R"(<p:cNvPr id="6" name="TextBox 5"/>)"));
    EXPECT_TRUE(has(x, R"(<a:bodyPr wrap="square" rtlCol="0" anchor="t"/><a:lstStyle><a:lvl1pPr)"));
    EXPECT_TRUE(has(parts["ppt/slides/_rels/slide1.xml.rels"], R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/image" Target="../media/image1.png"/>)"));
}

TEST(WriteSlides, ContinuationsCountInTheDeck) {
    vw::Presentation deck;
    vw::Slide s;
    s.title = "Long";
    s.notes = "only once";
    s.hidden = true;
    for (int i = 0; i < 40; ++i) s.body.push_back(para("point " + std::to_string(i), true));
    vw::Slide t;
    t.title = "Next";
    t.notes = "third";
    deck.slides = {s, t};
    auto parts = build(deck);
    const std::string& app = parts["docProps/app.xml"];
    std::size_t slides = 0;
    for (const auto& [name, _] : parts) slides += name.starts_with("ppt/slides/slide");
    ASSERT_GE(slides, 3u);
    EXPECT_TRUE(has(app, "<Slides>" + std::to_string(slides) + "</Slides><Notes>2</Notes><HiddenSlides>" +
                             std::to_string(slides - 1) + "</HiddenSlides>"));
    EXPECT_EQ(parts.count("ppt/notesSlides/notesSlide1.xml"), 1u);
    EXPECT_EQ(parts.count("ppt/notesSlides/notesSlide2.xml"), 0u);
    EXPECT_EQ(parts.count("ppt/notesSlides/notesSlide" + std::to_string(slides) + ".xml"), 1u);
    for (std::size_t n = 1; n < slides; ++n) {
        const std::string& x = parts["ppt/slides/slide" + std::to_string(n) + ".xml"];
        EXPECT_TRUE(has(x, "<a:t>Long</a:t>")) << n;
        EXPECT_TRUE(has(x, R"( show="0">)")) << n;
        EXPECT_TRUE(has(x, R"(<a:lstStyle><a:lvl1pPr marL="228600")")) << "shrunk text carries its scaled levels";
    }
    EXPECT_TRUE(has(parts["ppt/presentation.xml"], "<p:sldId id=\"" + std::to_string(255 + slides) + "\""));
}

TEST(WriteSlides, InvertedSlidesShowLightOnDark) {
    vw::Presentation deck;
    vw::Slide s;
    s.inverted = true;
    deck.slides = {s};
    EXPECT_TRUE(has(build(deck)["ppt/slides/slide1.xml"],
                    R"(<p:clrMapOvr><a:overrideClrMapping bg1="dk1" tx1="lt1" bg2="dk2" tx2="lt2")"));
    // The dark theme's master mapping already is light on dark.
    deck.theme = *vw::Theme::preset("dark");
    EXPECT_TRUE(has(build(deck)["ppt/slides/slide1.xml"], "<p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr></p:sld>"));
}

TEST(WriteSlides, BackgroundsShowThroughUnlessTheSlideHasItsOwn) {
    const vw::Background red{vw::Background::Solid{vw::Rgb{0xC0, 0, 0}}};
    const struct {
        bool own, inverted, dark_theme, inverted_layout;
        const char* bg; // the slide's p:bg, or none
    } cases[] = {
        {false, false, false, false, nullptr},
        {true, false, false, false, R"(<p:bg><p:bgPr><a:solidFill><a:srgbClr val="C00000"/>)"},
        // Light theme, dark slide: the plain background read through the
        // slide's own colour map.
        {false, true, false, false, R"(<p:bg><p:bgRef idx="1001"><a:schemeClr val="bg1"/></p:bgRef></p:bg>)"},
        {false, true, true, false, nullptr},
        {false, true, false, true, nullptr},
        {true, true, false, true, R"(<p:bg><p:bgPr><a:solidFill><a:srgbClr val="C00000"/>)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.own) + std::to_string(c.inverted) + std::to_string(c.dark_theme) +
                     std::to_string(c.inverted_layout));
        vw::Presentation deck;
        if (c.dark_theme) deck.theme = *vw::Theme::preset("dark");
        deck.theme.background = red;
        deck.theme = std::move(deck.theme).layout_background(vw::Layout::title_and_content, red, c.inverted_layout);
        vw::Slide s;
        s.title = "T";
        s.body = {para("x", true)};
        s.inverted = c.inverted;
        if (c.own) s.background = red;
        deck.slides = {s};
        const std::string x = build(deck)["ppt/slides/slide1.xml"];
        if (c.bg) EXPECT_TRUE(has(x, std::string("<p:cSld>") + c.bg)) << x;
        else EXPECT_TRUE(has(x, "<p:cSld><p:spTree>")) << x;
    }
}

TEST(WriteSlides, PlaceholderIndexesAndBodyLevelsByLayout) {
    const struct {
        vw::Layout layout;
        const char* subtitle;
        const char* body;
        bool levels; // the body carries its list levels
    } cases[] = {
        {vw::Layout::title, R"(<p:ph type="subTitle" idx="1"/>)", R"(<p:ph idx="2"/>)", true},
        {vw::Layout::title_and_content, R"(<p:ph type="subTitle" idx="2"/>)", R"(<p:ph idx="1"/>)", false},
        {vw::Layout::title_only, R"(<p:ph type="subTitle" idx="2"/>)", R"(<p:ph idx="1"/>)", true},
        {vw::Layout::blank, R"(<p:ph type="subTitle" idx="2"/>)", R"(<p:ph idx="1"/>)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.layout));
        vw::Presentation deck;
        vw::Slide s;
        s.title = "T";
        s.subtitle = "sub";
        s.layout = c.layout;
        s.body = {para("dot", true), para("plain")};
        deck.slides = {s};
        const std::string x = build(deck)["ppt/slides/slide1.xml"];
        EXPECT_EQ(count(x, "<p:ph "), 3u);
        EXPECT_TRUE(has(x, c.subtitle));
        EXPECT_TRUE(has(x, c.body));
        EXPECT_EQ(count(x, R"(idx="1")"), 1u);
        EXPECT_EQ(count(x, R"(idx="2")"), 1u);
        EXPECT_EQ(has(x, R"(<a:bodyPr><a:noAutofit/></a:bodyPr><a:lstStyle><a:lvl1pPr marL="228600")"), c.levels);
        EXPECT_TRUE(has(x, R"(<a:pPr marL="0" lvl="0" indent="0"><a:buNone/></a:pPr><a:r><a:rPr lang="en-US" dirty="0"/><a:t>plain)"));
        if (c.layout != vw::Layout::title) {
            EXPECT_TRUE(has(x, R"(<a:buNone/><a:defRPr sz="2400"><a:solidFill><a:schemeClr val="tx1"/></a:solidFill></a:defRPr></a:lvl1pPr></a:lstStyle><a:p><a:r><a:rPr lang="en-US" dirty="0"/><a:t>sub</a:t>)"));
        }
    }
}

TEST(WriteSlides, NestingBeyondTheLimitFailsTheBuild) {
    vw::Block deep{vw::Block::Picture{png(2, 2), {}}};
    for (std::size_t i = 0; i < vw::MAX_COLUMN_NESTING; ++i) deep = vw::Block{vw::Block::Columns{{std::move(deep)}}};
    vw::Presentation deck;
    vw::Slide s;
    s.blocks.push_back(deep);
    s.blocks.push_back(vw::Block{vw::Block::Columns{{vw::Block{vw::Block::Columns{}}}}});
    deck.slides = {s};
    EXPECT_TRUE(has(build(deck)["ppt/slides/slide1.xml"], R"(name="Picture 1")"));
    deck.slides[0].blocks.push_back(vw::Block{vw::Block::Columns{{deep}}});
    const auto r = vp::build(deck);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "blocks nested deeper than 64 levels");
}

TEST(WriteSlides, ErrorsEndTheBuild) {
    vw::Presentation deck;
    vw::Slide s;
    s.blocks.push_back(vw::Block{vw::Block::Picture{png(1, 1), {}}});
    s.blocks.push_back(vw::Block{vw::Block::Picture{{'n', 'o'}, {}}});
    deck.slides = {s};
    auto r = vp::build(deck);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "unsupported image format for picture 2");

    vw::Slide t;
    t.blocks.push_back(vw::Block{vw::Block::Table{{{"a", "b", "c"}, {"d", "e", "f"}, {"g", "h"}}, false}});
    deck.slides = {t};
    r = vp::build(deck);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "table row 2 has 2 cells but the table has 3 columns");

    // A fixed table without rows or cells writes no frame and divides by nothing.
    vw::Slide u;
    u.shapes.push_back(vw::Shape{vw::Shape::Table{{}, true, {0, 0, 100, 100}}});
    u.shapes.push_back(vw::Shape{vw::Shape::Table{{{}, {}}, false, {0, 0, 100, 100}}});
    deck.slides = {u};
    EXPECT_FALSE(has(build(deck)["ppt/slides/slide1.xml"], "graphicFrame"));
}

TEST(WriteSlides, WholeDecksAreWellFormed) {
    const std::string md =
        "# Report <&>\nA \"subtitle\"\n\n## Agenda\n- one\n  - two **bold**\n1. three\nNotes: say *this*\nand that\n\n"
        "---\nfree text\n```\ncode <x> & y\n```\n### Last\n";
    for (const std::string_view preset : vw::Theme::PRESETS) {
        vw::Presentation deck = vw::markdown::from_markdown(md);
        deck.theme = *vw::Theme::preset(preset);
        vw::Slide extra;
        extra.title = "Extras";
        extra.body = {para("x")};
        extra.body[0].runs[0].link = "https://example.invalid/?q=1&r=2";
        extra.body[0].runs.push_back(vw::Run{" again"});
        extra.body[0].runs[1].link = "https://example.invalid/?q=1&r=2";
        extra.body[0].runs[1].color = vw::Color{vw::SchemeColor{vw::SchemeColor::dark1}};
        extra.blocks.push_back(vw::Block{vw::Block::Table{{{"h", "\x01"}, {"<", "&"}}, true}});
        extra.blocks.push_back(vw::Block{vw::Block::Columns{{vw::Block{vw::Block::Picture{png(3, 2), "d\"q"}},
                                                             vw::Block{vw::Block::Paragraphs{{para("side")}}}}}});
        extra.inverted = true;
        deck.slides.push_back(extra);
        auto parts = build(deck);
        ASSERT_EQ(parts.count("ppt/slides/slide5.xml"), 1u) << preset;
        const std::string& rels = parts["ppt/slides/_rels/slide5.xml.rels"];
        EXPECT_EQ(count(rels, "/hyperlink\""), 1u) << "one relationship per distinct link";
        EXPECT_TRUE(has(parts["ppt/slides/slide1.xml"], "<a:t>Report &lt;&amp;&gt;</a:t>"));
        EXPECT_TRUE(has(parts["ppt/notesSlides/notesSlide2.xml"], "<a:t>say *this*</a:t>"));
        const bool dark = vw::Theme::preset(preset)->inverted;
        EXPECT_EQ(has(parts["ppt/slides/slide5.xml"], dark ? R"(<a:schemeClr val="lt1"/>)" : R"(<a:schemeClr val="dk1"/>)"), true)
            << preset;
    }
}
