// Part parsers of the document reader: presentation, slide-like parts,
// charts, diagrams, comments and properties, on hand-written parts and over
// the real decks of the corpus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/chart.h"
#include "core/comments.h"
#include "core/diagram.h"
#include "core/encoding.h"
#include "core/model.h"
#include "core/pml.h"
#include "core/presentation.h"
#include "core/properties.h"
#include "core/slide.h"
#include "core/xml.h"
#include "core/zip.h"
#include "corpus.h"

namespace {

using namespace vantrell_core;
using model::Bullet;
using model::PlaceholderKind;
using pml::RelKind;

constexpr const char* NS_P = R"( xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main")";
constexpr const char* NS_A = R"( xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main")";
constexpr const char* NS_R = R"( xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships")";

std::string transitional(const std::string& root_open) {
    // Inserts the three usual declarations after the root's name.
    const auto sp = root_open.find_first_of(" >/", 1);
    return root_open.substr(0, sp) + NS_P + NS_A + NS_R + root_open.substr(sp);
}

// A slide whose spTree holds `shapes`.
std::string slide_xml(const std::string& shapes, const std::string& root_attrs = "") {
    return transitional("<p:sld" + root_attrs + ">") + "<p:cSld name=\"Intro\"><p:spTree><p:nvGrpSpPr/><p:grpSpPr/>" +
           shapes + "</p:spTree></p:cSld></p:sld>";
}

std::string sp(const std::string& nv_extra, const std::string& body, const std::string& cnv_attrs = "") {
    return "<p:sp><p:nvSpPr><p:cNvPr id=\"2\" name=\"S\"" + cnv_attrs + "/><p:cNvSpPr/><p:nvPr>" + nv_extra +
           "</p:nvPr></p:nvSpPr><p:spPr/>" + body + "</p:sp>";
}

slide::Parsed parse_slide(const std::string& xml) {
    auto r = slide::parse(xml, "/ppt/slides/slide1.xml");
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return r ? std::move(*r) : slide::Parsed{};
}

const model::Paragraph& only_paragraph(const slide::Parsed& p) {
    const auto* body = p.content.shapes.at(0).text_body();
    EXPECT_NE(body, nullptr);
    EXPECT_EQ(body->paragraphs.size(), 1u);
    return body->paragraphs.at(0);
}

// ---------------------------------------------------------------- pml

TEST(RelKinds, BothFormsAndExactMatch) {
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide"), RelKind::slide);
    EXPECT_EQ(RelKind::of("http://purl.oclc.org/ooxml/officeDocument/relationships/slideLayout"),
              RelKind::slideLayout);
    EXPECT_EQ(RelKind::of("http://purl.oclc.org/ooxml/officeDocument/relationships/extendedProperties"),
              RelKind::extendedProperties);
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties"),
              RelKind::extendedProperties);
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/officeDocument/2006/relationships/customProperties"),
              RelKind::customProperties);
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties"),
              RelKind::coreProperties);
    EXPECT_EQ(RelKind::of("http://schemas.microsoft.com/office/2018/10/relationships/comments"),
              RelKind::modernComments);
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments"),
              RelKind::comments);
    // Only the package form is a thumbnail or core-properties type.
    EXPECT_EQ(RelKind::of("http://purl.oclc.org/ooxml/officeDocument/relationships/metadata/thumbnail"),
              RelKind::other);
    EXPECT_EQ(RelKind::of("http://purl.oclc.org/ooxml/officeDocument/relationships/metadata/core-properties"),
              RelKind::other);
    // No trimming, no case folding, no prefix matches.
    EXPECT_EQ(RelKind::of(" http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide"),
              RelKind::other);
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/officeDocument/2006/relationships/Slide"),
              RelKind::other);
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/officeDocument/2006/relationships/slides"),
              RelKind::other);
    EXPECT_EQ(RelKind::of("http://schemas.openxmlformats.org/officeDocument/2006/relationships"), RelKind::other);
    EXPECT_EQ(RelKind::of(""), RelKind::other);
}

TEST(RelKinds, PresentationMainContentTypes) {
    using pml::content_type::is_presentation_main;
    EXPECT_TRUE(is_presentation_main("application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"));
    EXPECT_TRUE(is_presentation_main("APPLICATION/vnd.ms-powerpoint.addin.macroEnabled.main+XML"));
    EXPECT_TRUE(is_presentation_main("application/vnd.openxmlformats-officedocument.presentationml.template.main+xml"));
    EXPECT_FALSE(is_presentation_main(
        "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml; charset=utf-8"));
    EXPECT_FALSE(is_presentation_main("application/vnd.openxmlformats-officedocument.presentationml.slide+xml"));
    EXPECT_FALSE(is_presentation_main(""));
}

// ---------------------------------------------------------------- presentation

TEST(PresentationPart, ListsSizesAndProblemsWithOffsets) {
    const std::string head = transitional("<p:presentation firstSlideNum=\"3\" rtl=\"1\">");
    const std::string bad_slide = "<p:sldId id=\"300\"/>";
    const std::string bad_size = "<p:sldSz cx=\"12\" cy=\"wide\" type=\"custom\"/>";
    const std::string xml = head + "<p:sldMasterIdLst><p:sldMasterId id=\"2147483648\" r:id=\"rId1\"/>" +
                            "<p:sldMasterId r:id=\"\"/></p:sldMasterIdLst>" +
                            "<p:notesMasterIdLst><p:notesMasterId r:id=\"rId9\"/></p:notesMasterIdLst>" +
                            "<p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/>" + bad_slide +
                            "<p:sldId id=\" +257 \" r:id=\"rId&amp;3\"/></p:sldIdLst>" + bad_size +
                            "<p:notesSz cx=\"6858000\" cy=\"9144000\"/></p:presentation>";
    auto r = presentation::Presentation::parse(xml, "/ppt/presentation.xml");
    ASSERT_TRUE(r) << r.error().message();
    const auto& p = *r;
    EXPECT_TRUE(p.root_ok);
    EXPECT_EQ(p.first_slide_num, 3);
    EXPECT_TRUE(p.rtl);
    ASSERT_EQ(p.masters.size(), 1u);
    EXPECT_EQ(p.masters[0].id, 2147483648u);
    ASSERT_EQ(p.slides.size(), 2u);
    EXPECT_EQ(p.slides[0].rel_id, "rId2");
    EXPECT_EQ(p.slides[0].offset, xml.find("<p:sldId id=\"256\""));
    EXPECT_EQ(p.slides[1].rel_id, "rId&3");
    EXPECT_EQ(p.slides[1].id, 257u);
    EXPECT_EQ(p.notes_master, "rId9");
    EXPECT_FALSE(p.handout_master);
    EXPECT_FALSE(p.slide_size);
    EXPECT_EQ(p.slide_size_type, "custom");
    ASSERT_TRUE(p.notes_size);
    EXPECT_EQ(p.notes_size->cy, 9144000);
    ASSERT_EQ(p.problems.size(), 3u);
    EXPECT_STREQ(p.problems[0].message, "sldMasterId without r:id");
    EXPECT_EQ(p.problems[0].offset, xml.find("<p:sldMasterId r:id=\"\""));
    EXPECT_STREQ(p.problems[1].message, "sldId without r:id");
    EXPECT_EQ(p.problems[1].offset, xml.find(bad_slide));
    EXPECT_STREQ(p.problems[2].message, "sldSz without numeric cx and cy");
    EXPECT_EQ(p.problems[2].offset, xml.find(bad_size));
}

TEST(PresentationPart, IdRule) {
    using presentation::parse_id;
    EXPECT_EQ(parse_id("256"), 256u);
    EXPECT_EQ(parse_id(" \t+4294967295\n"), 4294967295u);
    EXPECT_EQ(parse_id("0"), 0u);
    EXPECT_FALSE(parse_id("4294967296"));
    EXPECT_FALSE(parse_id(""));
    EXPECT_FALSE(parse_id("  "));
    EXPECT_FALSE(parse_id("+"));
    EXPECT_FALSE(parse_id("-1"));
    EXPECT_FALSE(parse_id("++1"));
    EXPECT_FALSE(parse_id("1 2"));
    EXPECT_FALSE(parse_id("0x10"));
    EXPECT_FALSE(parse_id("&#50;"));
    EXPECT_FALSE(parse_id("\xff" "1"));
}

TEST(PresentationPart, RootFlagStrictFormAndFailures) {
    const std::string strict =
        "\xEF\xBB\xBF<p:presentation xmlns:p=\"http://purl.oclc.org/ooxml/presentationml/main\" "
        "xmlns:r=\"http://purl.oclc.org/ooxml/officeDocument/relationships\"><p:sldIdLst>"
        "<p:sldId id=\"256\" r:id=\"rId7\"/></p:sldIdLst><p:sldSz cx=\"9144000\" cy=\"6858000\"/></p:presentation>";
    auto s = presentation::Presentation::parse(strict, "/ppt/presentation.xml");
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->root_ok);
    ASSERT_EQ(s->slides.size(), 1u);
    EXPECT_EQ(s->slide_size, (presentation::Size{9144000, 6858000}));

    auto other = presentation::Presentation::parse("<presentation/>", "/p.xml");
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->root_ok);

    auto empty = presentation::Presentation::parse("<?xml version=\"1.0\"?>\n", "/ppt/presentation.xml");
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().message(), "xml in /ppt/presentation.xml at byte 22: no root element");

    auto broken = presentation::Presentation::parse(transitional("<p:presentation>") + "<p:sldIdLst>", "/x.xml");
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().kind(), error::Kind::Xml);
    EXPECT_EQ(broken.error().first(), "/x.xml");
}

TEST(PresentationPart, SectionsInBothNamespaceForms) {
    for (const char* uri : {"http://schemas.microsoft.com/office/powerpoint/2010/main",
                            "http://schemas.microsoft.com/office/powerpoint/2007/7/12/main"}) {
        const std::string xml =
            transitional("<p:presentation>") + "<p:extLst><p:ext uri=\"{521415D9-36F7-43E2-AB2F-B90AF26B5E84}\">" +
            "<p14:sectionLst xmlns:p14=\"" + uri + "\"><p14:section name=\"Intro\" id=\"{A}\"><p14:sldIdLst>" +
            "<p14:sldId id=\"257\"/><p14:sldId id=\"256\"/><p14:sldId id=\"bad\"/></p14:sldIdLst></p14:section>" +
            "<p14:section name=\"Empty\" id=\"{B}\"><p14:sldIdLst/></p14:section></p14:sectionLst>" +
            "</p:ext></p:extLst></p:presentation>";
        auto r = presentation::Presentation::parse(xml, "/ppt/presentation.xml");
        ASSERT_TRUE(r) << r.error().message();
        ASSERT_EQ(r->sections.size(), 2u) << uri;
        EXPECT_EQ(r->sections[0].name, "Intro");
        EXPECT_EQ(r->sections[0].slide_ids, (std::vector<std::uint32_t>{257, 256}));
        EXPECT_TRUE(r->sections[1].slide_ids.empty());
    }
}

// ---------------------------------------------------------------- slides

TEST(SlideShapes, PlaceholdersAndTitle) {
    const std::string xml = slide_xml(
        sp("<p:ph/>", "<p:txBody><a:p><a:r><a:t>body</a:t></a:r></a:p></p:txBody>") +
        sp("<p:ph type=\"ctrTitle\" idx=\"4294967296\"/>",
           "<p:txBody><a:p><a:r><a:t>  </a:t></a:r></a:p><a:p/></p:txBody>") +
        sp("<p:ph type=\"title\" idx=\"7\"/>", "<p:txBody><a:p><a:r><a:t>Second</a:t></a:r></a:p></p:txBody>") +
        sp("<p:ph type=\"weird\"/>", ""));
    auto p = parse_slide(xml);
    ASSERT_EQ(p.content.shapes.size(), 4u);
    const auto& s = p.content.shapes;
    ASSERT_TRUE(s[0].placeholder);
    EXPECT_EQ(s[0].placeholder->kind, PlaceholderKind::obj);
    EXPECT_EQ(s[0].placeholder->idx, 0u);
    EXPECT_EQ(s[1].placeholder->kind, PlaceholderKind::ctrTitle);
    EXPECT_EQ(s[1].placeholder->idx, 0u);
    EXPECT_EQ(s[2].placeholder->idx, 7u);
    EXPECT_EQ(s[3].placeholder->kind, PlaceholderKind::other);
    // The first title-like placeholder decides, and its text is blank.
    EXPECT_FALSE(p.content.title());
    EXPECT_EQ(p.content.name, "Intro");
    EXPECT_EQ(p.content.root, model::SlideContent::Root::slide);
    // A shape without a body is still a text shape, with no paragraphs.
    ASSERT_NE(s[3].text_body(), nullptr);
    EXPECT_TRUE(s[3].text_body()->paragraphs.empty());

    auto titled = parse_slide(slide_xml(
        sp("<p:ph type=\"title\"/>",
           "<p:txBody><a:p><a:r><a:t>A</a:t></a:r><a:br/><a:r><a:t>B</a:t></a:r></a:p><a:p/></p:txBody>")));
    EXPECT_EQ(titled.content.title(), "A\nB\n");
    EXPECT_EQ(titled.content.title(), std::optional<std::string>("A\nB\n"));
}

TEST(SlideShapes, PlaceholderKindNames) {
    EXPECT_EQ(PlaceholderKind::parse("title"), PlaceholderKind::title);
    EXPECT_EQ(PlaceholderKind::parse("sldImg"), 15);
    EXPECT_EQ(PlaceholderKind::parse("Title"), PlaceholderKind::other);
    EXPECT_EQ(PlaceholderKind::parse(""), 16);
    EXPECT_STREQ(PlaceholderKind(PlaceholderKind::subTitle).name(), "subTitle");
}

TEST(SlideShapes, FlagsHyperlinkAndTransform) {
    const std::string xml = slide_xml(
        "<p:sp><p:nvSpPr><p:cNvPr id=\"4\" name=\"Pic &quot;1&quot;\" descr=\"alt &amp; more\" hidden=\"1\">"
        "<a:hlinkClick r:id=\"rId5\"/></p:cNvPr><p:cNvSpPr txBox=\"1\"/><p:nvPr/></p:nvSpPr>"
        "<p:spPr><a:xfrm rot=\"5400000\" flipH=\"1\"><a:off x=\"-10\" y=\"20\"/><a:ext cx=\"30\" cy=\"40\"/>"
        "</a:xfrm></p:spPr></p:sp>"
        "<p:cxnSp><p:nvCxnSpPr><p:cNvPr id=\"5\" name=\"Line\"/><p:cNvCxnSpPr/><p:nvPr/></p:nvCxnSpPr><p:spPr/></p:cxnSp>");
    auto p = parse_slide(xml);
    ASSERT_EQ(p.content.shapes.size(), 2u);
    const auto& s = p.content.shapes[0];
    EXPECT_EQ(s.id, 4u);
    EXPECT_EQ(s.name, "Pic \"1\"");
    EXPECT_EQ(s.description, "alt & more");
    EXPECT_EQ(s.hyperlink, "rId5");
    EXPECT_TRUE(s.hidden);
    EXPECT_TRUE(s.text_box);
    ASSERT_TRUE(s.transform);
    EXPECT_EQ(s.transform->x, -10);
    EXPECT_EQ(s.transform->cy, 40);
    EXPECT_EQ(s.transform->rotation, 5400000);
    EXPECT_TRUE(s.transform->flip_h);
    EXPECT_FALSE(s.transform->flip_v);
    const auto& c = p.content.shapes[1];
    EXPECT_STREQ(model::kind_name(c.content), "connector");
    EXPECT_FALSE(c.transform);
    EXPECT_FALSE(c.hidden);
}

// Attributes in any order, decoded when they hold references, others'
// namespaces kept apart from the unprefixed names, unreadable numbers at
// their defaults.
TEST(SlideShapes, AttributesWhateverTheirOrderAndSpelling) {
    const std::string xml = slide_xml(
        "<p:grpSp><p:nvGrpSpPr><p:cNvPr hidden=\"false\" descr=\"&#x41;\" name=\"G&lt;1&gt;\" id=\"x9\" "
        "xmlns:o=\"urn:other\" o:id=\"77\" o:name=\"no\"/><p:cNvGrpSpPr/><p:nvPr>"
        "<p:ph idx=\"3\" type=\"pic\"/></p:nvPr></p:nvGrpSpPr>"
        "<p:grpSpPr><a:xfrm flipV=\"1\" rot=\"bad\"><a:off y=\"2\" x=\"1\"/><a:ext cy=\"4\"/>"
        "<a:chOff y=\"6\"/><a:chExt cy=\"8\" cx=\"7\"/></a:xfrm></p:grpSpPr>" +
        sp("", "<p:txBody><a:p><a:r><a:rPr sz=\"1x\" lang=\"fr&amp;CA\" b=\"true\" u=\"none\"/>"
               "<a:t>x</a:t></a:r></a:p></p:txBody>") +
        "<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id=\"8\" name=\"T\"/><p:cNvGraphicFramePr/><p:nvPr/>"
        "</p:nvGraphicFramePr><a:graphic><a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/table\">"
        "<a:tbl><a:tr><a:tc vMerge=\"1\" rowSpan=\"-1\" gridSpan=\"3\"/></a:tr></a:tbl></a:graphicData></a:graphic>"
        "</p:graphicFrame></p:grpSp>");
    auto p = parse_slide(xml);
    ASSERT_EQ(p.content.shapes.size(), 1u);
    const auto& g = p.content.shapes[0];
    EXPECT_EQ(g.id, 0u);
    EXPECT_EQ(g.name, "G<1>");
    EXPECT_EQ(g.description, "A");
    EXPECT_FALSE(g.hidden);
    ASSERT_TRUE(g.placeholder);
    EXPECT_EQ(g.placeholder->kind, PlaceholderKind::pic);
    EXPECT_EQ(g.placeholder->idx, 3u);
    ASSERT_TRUE(g.transform);
    EXPECT_EQ(g.transform->rotation, 0);
    EXPECT_TRUE(g.transform->flip_v);
    EXPECT_EQ(g.transform->x, 1);
    EXPECT_EQ(g.transform->y, 2);
    EXPECT_EQ(g.transform->cx, 0);
    EXPECT_EQ(g.transform->cy, 4);
    EXPECT_EQ(g.transform->ch_x, 0);
    EXPECT_EQ(g.transform->ch_y, 6);
    EXPECT_EQ(g.transform->ch_cx, 7);
    EXPECT_EQ(g.transform->ch_cy, 8);
    const auto& kids = g.group()->children;
    ASSERT_EQ(kids.size(), 2u);
    const auto& run = kids[0].text_body()->paragraphs.at(0).runs.at(0).props;
    EXPECT_EQ(run.lang, "fr&CA");
    EXPECT_EQ(run.bold, true);
    EXPECT_FALSE(run.italic);
    EXPECT_EQ(run.underline, false);
    EXPECT_FALSE(run.size);
    const auto& cell = kids[1].table()->rows.at(0).cells.at(0);
    EXPECT_EQ(cell.grid_span, 3u);
    EXPECT_EQ(cell.row_span, 1u);
    EXPECT_TRUE(cell.v_merge);
    EXPECT_FALSE(cell.h_merge);
}

TEST(SlideText, RunsFieldsAndProperties) {
    auto p = parse_slide(slide_xml(sp(
        "", "<p:txBody><a:bodyPr/><a:p><a:pPr lvl=\"2\"/>"
            "<a:r><a:rPr lang=\"de-DE\" b=\"1\" i=\"0\" u=\"sng\" strike=\"noStrike\" sz=\"1800\">"
            "<a:latin typeface=\"Calibri\"/><a:hlinkClick r:id=\"rId3\"/></a:rPr><a:t>Hi &amp; bye</a:t></a:r>"
            "<a:br><a:rPr b=\"1\"/></a:br><a:fld id=\"{X}\" type=\"slidenum\"><a:t>7</a:t></a:fld>"
            "<a:r><a:t></a:t></a:r><a:endParaRPr lang=\"en-US\"/></a:p></p:txBody>")));
    const auto& para = only_paragraph(p);
    EXPECT_EQ(para.level, 2);
    EXPECT_EQ(para.bullet.kind, Bullet::Kind::inherited);
    ASSERT_EQ(para.runs.size(), 4u);
    const auto& r0 = para.runs[0];
    EXPECT_EQ(r0.text, "Hi & bye");
    EXPECT_EQ(r0.props.bold, true);
    EXPECT_EQ(r0.props.italic, false);
    EXPECT_EQ(r0.props.underline, true);
    EXPECT_EQ(r0.props.strike, false);
    EXPECT_EQ(r0.props.size, 1800u);
    EXPECT_EQ(r0.props.lang, "de-DE");
    EXPECT_EQ(r0.props.typeface, "Calibri");
    EXPECT_EQ(r0.props.hyperlink, "rId3");
    EXPECT_EQ(para.runs[1].kind, model::Run::Kind::line_break);
    EXPECT_EQ(para.runs[2].kind, model::Run::Kind::field);
    EXPECT_EQ(para.runs[2].field_type, "slidenum");
    EXPECT_EQ(para.runs[2].text, "7");
    const auto& r3 = para.runs[3].props;
    EXPECT_FALSE(r3.bold || r3.italic || r3.underline || r3.strike || r3.size || r3.lang || r3.typeface);
    EXPECT_EQ(para.text(), "Hi & bye\n7");
}

// Runs whose properties hold no link before, between and after runs that do,
// and the link's name where it is no element: a text-only parse finds the
// links a full one does.
TEST(SlideText, RunLinksAtTextDetailAsInFull) {
    const std::string plain = "<a:r><a:rPr><a:solidFill><a:srgbClr val=\"FF0000\"/></a:solidFill></a:rPr><a:t>p</a:t></a:r>";
    const auto link = [](int n) {
        return "<a:r><a:rPr lang=\"en\"><a:latin typeface=\"X\"/><a:hlinkClick r:id=\"rId" + std::to_string(n) +
               "\"/></a:rPr><a:t>l</a:t></a:r>";
    };
    const std::string decoy = "<a:r><a:rPr><a:latin typeface=\"hlinkClick\"/></a:rPr><a:t>hlinkClick</a:t></a:r>";
    const std::string bare = "<a:r><a:rPr/><a:t>b</a:t></a:r>";
    const std::vector<std::vector<std::string>> paragraphs = {
        {plain, plain, link(1), plain},
        {link(1), plain, bare, link(2), link(3)},
        {plain, decoy, plain, link(4)},
        {decoy, plain},
        {plain, bare, plain},
    };
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
        SCOPED_TRACE(i);
        std::string body = "<p:txBody><a:bodyPr/>";
        for (std::size_t k = 0; k <= i; ++k) {
            body += "<a:p>";
            for (const auto& run : paragraphs[(i + k) % paragraphs.size()]) body += run;
            body += "</a:p>";
        }
        const std::string xml = slide_xml(sp("", body + "</p:txBody>"));
        auto full = slide::parse(xml, "/s.xml");
        auto text = slide::parse(xml, "/s.xml", slide::Detail::text);
        ASSERT_TRUE(full && text);
        const auto& want = full->content.shapes.at(0).text_body()->paragraphs;
        const auto& got = text->content.shapes.at(0).text_body()->paragraphs;
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t p = 0; p < want.size(); ++p) {
            ASSERT_EQ(got[p].runs.size(), want[p].runs.size());
            for (std::size_t r = 0; r < want[p].runs.size(); ++r)
                EXPECT_EQ(got[p].runs[r].props.hyperlink, want[p].runs[r].props.hyperlink) << p << ' ' << r;
        }
    }
}

// A text-only parse keeps everything the renderings read (run hyperlinks
// among them) and leaves other run properties, transforms and shape
// hyperlinks out; what it skips must still be well-formed.
TEST(SlideText, TextDetailKeepsWhatRenderingsRead) {
    const std::string shapes =
        "<p:grpSp><p:nvGrpSpPr><p:cNvPr id=\"9\" name=\"G\"/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>"
        "<p:grpSpPr><a:xfrm><a:off x=\"1\" y=\"1\"/></a:xfrm></p:grpSpPr>" +
        sp("<p:ph type=\"body\" idx=\"1\"/>",
           "<p:txBody><a:p><a:pPr lvl=\"1\"><a:buAutoNum type=\"arabicPeriod\"/></a:pPr><a:r><a:rPr b=\"1\">"
           "<a:hlinkClick r:id=\"rId2\"/></a:rPr><a:t>one</a:t></a:r><a:br/><a:r><a:t>two</a:t></a:r>"
           "<a:r><a:rPr><a:solidFill><a:srgbClr val=\"FF0000\"/></a:solidFill><a:hlinkClick r:id=\"rId5\"/>"
           "</a:rPr><a:t>!</a:t></a:r><a:r><a:rPr><a:latin typeface=\"rPr>hlinkClick\"/></a:rPr></a:r>"
           "<a:r><a:rPr><a:hlinkClick r:id=\"rId6\"/></a:rPr ><a:t>?</a:t></a:r></a:p>"
           "</p:txBody>",
           " descr=\"alt\" hidden=\"1\"><a:hlinkClick r:id=\"rId4\"/></p:cNvPr><p:cNvPr id=\"3\" name=\"again\"") +
        "</p:grpSp><x:thing xmlns:x=\"urn:x\"/>";
    const std::string xml = slide_xml(shapes);
    auto full = slide::parse(xml, "/s.xml");
    auto text = slide::parse(xml, "/s.xml", slide::Detail::text);
    ASSERT_TRUE(full && text);
    EXPECT_EQ(text->report.unknown_elements, full->report.unknown_elements);
    const auto& g = text->content.shapes.at(0);
    EXPECT_FALSE(g.transform);
    EXPECT_TRUE(full->content.shapes.at(0).transform);
    const auto& s = g.group()->children.at(0);
    EXPECT_EQ(s.id, 3u);
    EXPECT_EQ(s.name, "again");
    EXPECT_FALSE(s.description);  // the second cNvPr replaces the first
    EXPECT_FALSE(s.hidden);
    EXPECT_EQ(s.placeholder->kind, PlaceholderKind::body);
    EXPECT_FALSE(s.hyperlink);
    const auto& para = s.text_body()->paragraphs.at(0);
    EXPECT_EQ(para.level, 1);
    EXPECT_EQ(para.bullet.kind, Bullet::Kind::auto_number);
    EXPECT_EQ(para.text(), "one\ntwo!?");
    EXPECT_FALSE(para.runs.at(0).props.bold);
    EXPECT_EQ(para.runs.at(0).props.hyperlink, "rId2");
    EXPECT_EQ(para.runs.at(3).props.hyperlink, "rId5");
    EXPECT_FALSE(para.runs.at(4).props.hyperlink);
    EXPECT_EQ(para.runs.at(5).props.hyperlink, "rId6");
    const auto& full_run = full->content.shapes.at(0).group()->children.at(0).text_body()->paragraphs.at(0).runs.at(0);
    EXPECT_EQ(full_run.props.bold, true);
    EXPECT_EQ(full_run.props.hyperlink, "rId2");

    for (const char* bad : {"<p:spPr><a:xfrm></p:spPr>", "<p:spPr><a:ln w=\"1\" w=\"2\"/></p:spPr>"}) {
        const std::string broken = slide_xml("<p:sp><p:nvSpPr><p:cNvPr id=\"2\" name=\"S\"/><p:cNvSpPr/><p:nvPr/>"
                                             "</p:nvSpPr>" + std::string(bad) + "</p:sp>");
        auto f = slide::parse(broken, "/s.xml");
        auto t = slide::parse(broken, "/s.xml", slide::Detail::text);
        ASSERT_FALSE(f);
        ASSERT_FALSE(t) << bad;
        EXPECT_EQ(t.error().message(), f.error().message());
    }
    const std::string bad_run = slide_xml(sp("", "<p:txBody><a:p><a:r><a:rPr><a:latin typeface=\"&bogus;\"/></a:rPr>"
                                                  "</a:r></a:p></p:txBody>"));
    auto f = slide::parse(bad_run, "/s.xml");
    auto t = slide::parse(bad_run, "/s.xml", slide::Detail::text);
    ASSERT_FALSE(f);
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error().message(), f.error().message());

    // Plain detail: the same text, without list structure; a damaged
    // paragraph property still fails the parse.
    auto plain = slide::parse(xml, "/s.xml", slide::Detail::plain);
    ASSERT_TRUE(plain);
    const auto& pp = plain->content.shapes.at(0).group()->children.at(0).text_body()->paragraphs.at(0);
    EXPECT_EQ(pp.text(), "one\ntwo!?");
    EXPECT_FALSE(pp.runs.at(0).props.hyperlink);
    EXPECT_EQ(pp.level, 0);
    EXPECT_EQ(pp.bullet.kind, Bullet::Kind::inherited);
    const std::string bad_ppr = slide_xml(sp("", "<p:txBody><a:p><a:pPr><a:buChar char=\"&#0;\"/></a:pPr></a:p></p:txBody>"));
    auto fp = slide::parse(bad_ppr, "/s.xml");
    auto pl = slide::parse(bad_ppr, "/s.xml", slide::Detail::plain);
    ASSERT_FALSE(fp);
    ASSERT_FALSE(pl);
    EXPECT_EQ(pl.error().message(), fp.error().message());
}

TEST(SlideText, Bullets) {
    auto p = parse_slide(slide_xml(sp(
        "", "<p:txBody><a:p><a:pPr><a:buFont typeface=\"Arial\"/><a:buChar char=\"&#8226;\"/></a:pPr></a:p>"
            "<a:p><a:pPr><a:buAutoNum type=\"arabicPeriod\"/></a:pPr></a:p>"
            "<a:p><a:pPr><a:buAutoNum type=\"romanLcParenR\" startAt=\"4\"/></a:pPr></a:p>"
            "<a:p><a:pPr><a:buNone/></a:pPr></a:p><a:p><a:pPr><a:buBlip><a:blip r:embed=\"rId1\"/></a:buBlip>"
            "</a:pPr></a:p><a:p><a:pPr lvl=\"900\"/></a:p></p:txBody>")));
    const auto& ps = p.content.shapes.at(0).text_body()->paragraphs;
    ASSERT_EQ(ps.size(), 6u);
    EXPECT_EQ(ps[0].bullet.kind, Bullet::Kind::character);
    EXPECT_EQ(ps[0].bullet.text, "\xE2\x80\xA2");
    EXPECT_EQ(ps[1].bullet.kind, Bullet::Kind::auto_number);
    EXPECT_EQ(ps[1].bullet.text, "arabicPeriod");
    EXPECT_EQ(ps[1].bullet.start, 1u);
    EXPECT_EQ(ps[2].bullet.start, 4u);
    EXPECT_EQ(ps[3].bullet.kind, Bullet::Kind::none);
    EXPECT_EQ(ps[4].bullet.kind, Bullet::Kind::picture);
    EXPECT_EQ(ps[5].level, 255);
    std::string text;
    p.content.shapes[0].text_body()->write_text(text);
    EXPECT_EQ(text, "\n\n\n\n\n");
}

TEST(SlideTables, GridSpansAndMerges) {
    const std::string frame =
        "<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id=\"7\" name=\"T\"/><p:cNvGraphicFramePr/><p:nvPr/>"
        "</p:nvGraphicFramePr><p:xfrm><a:off x=\"1\" y=\"2\"/><a:ext cx=\"3\" cy=\"4\"/></p:xfrm>"
        "<a:graphic><a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/table\"><a:tbl>"
        "<a:tblPr firstRow=\"1\"/><a:tblGrid><a:gridCol w=\"100\"/><a:gridCol w=\"200\"/></a:tblGrid>"
        "<a:tr h=\"50\"><a:tc gridSpan=\"2\"><a:txBody><a:bodyPr/><a:p><a:r><a:t>wide</a:t></a:r></a:p>"
        "</a:txBody><a:tcPr/></a:tc><a:tc hMerge=\"1\"><a:txBody><a:p/></a:txBody></a:tc></a:tr>"
        "<a:tr h=\"60\"><a:tc rowSpan=\"2\"><a:txBody><a:p><a:r><a:t>c</a:t></a:r></a:p><a:p><a:r><a:t>d</a:t>"
        "</a:r></a:p></a:txBody></a:tc><a:tc/></a:tr><a:tr h=\"70\"><a:tc vMerge=\"true\"/><a:tc><a:txBody>"
        "<a:p><a:r><a:t>e</a:t></a:r></a:p></a:txBody></a:tc></a:tr></a:tbl></a:graphicData></a:graphic>"
        "</p:graphicFrame>";
    auto p = parse_slide(slide_xml(frame));
    const auto& s = p.content.shapes.at(0);
    const auto* t = s.table();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(s.transform->cx, 3);
    EXPECT_EQ(t->column_widths, (std::vector<std::int64_t>{100, 200}));
    ASSERT_EQ(t->rows.size(), 3u);
    EXPECT_EQ(t->rows[0].height, 50);
    EXPECT_EQ(t->rows[0].cells[0].grid_span, 2u);
    EXPECT_TRUE(t->rows[0].cells[1].h_merge);
    EXPECT_FALSE(t->rows[0].cells[1].is_origin());
    EXPECT_EQ(t->rows[1].cells[0].row_span, 2u);
    std::string text;
    model::write_text(t->rows[1].cells[0].paragraphs, text);
    EXPECT_EQ(text, "c\nd");
    EXPECT_TRUE(t->rows[1].cells[1].paragraphs.empty());
    EXPECT_TRUE(t->rows[2].cells[0].v_merge);
    EXPECT_TRUE(t->rows[2].cells[1].is_origin());
}

std::string graphic_frame(std::uint32_t id, const std::string& uri, const std::string& payload) {
    return "<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id=\"" + std::to_string(id) +
           "\" name=\"F\"/><p:cNvGraphicFramePr/><p:nvPr/></p:nvGraphicFramePr><a:graphic><a:graphicData uri=\"" +
           uri + "\">" + payload + "</a:graphicData></a:graphic></p:graphicFrame>";
}

TEST(SlideFrames, ChartsDiagramsOleAndUnknown) {
    const std::string shapes =
        graphic_frame(3, "http://schemas.openxmlformats.org/drawingml/2006/chart",
                      "<c:chart xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" r:id=\"rId2\"/>") +
        graphic_frame(4, "http://schemas.openxmlformats.org/drawingml/2006/diagram",
                      "<dgm:relIds xmlns:dgm=\"http://schemas.openxmlformats.org/drawingml/2006/diagram\" "
                      "r:dm=\"rId3\" r:lo=\"rId4\" r:qs=\"rId5\" r:cs=\"rId6\"/>") +
        graphic_frame(5, "http://schemas.openxmlformats.org/presentationml/2006/ole",
                      "<mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
                      "<mc:Choice xmlns:v=\"urn:schemas-microsoft-com:vml\" Requires=\"v\">"
                      "<p:oleObj spid=\"_x0000_s1\" name=\"W\" r:id=\"rId7\" progId=\"Choice.1\"/></mc:Choice>"
                      "<mc:Fallback><p:oleObj name=\"W\" r:id=\"rId7\" progId=\"Word.Document.8\"><p:embed/>"
                      "<p:pic><p:nvPicPr><p:cNvPr id=\"0\" name=\"\"/><p:cNvPicPr/><p:nvPr/></p:nvPicPr>"
                      "<p:blipFill><a:blip r:embed=\"rId8\"/></p:blipFill><p:spPr/></p:pic></p:oleObj>"
                      "</mc:Fallback></mc:AlternateContent>") +
        graphic_frame(6, "http://schemas.microsoft.com/office/drawing/2017/model3d", "<x:m xmlns:x=\"urn:x\"/>") +
        graphic_frame(7, "http://schemas.microsoft.com/office/drawing/2017/model3d", "");
    auto p = parse_slide(slide_xml(shapes));
    const auto& s = p.content.shapes;
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(std::get<model::Chart>(s[0].content).rel_id, "rId2");
    const auto& d = std::get<model::Diagram>(s[1].content);
    EXPECT_EQ(d.data, "rId3");
    EXPECT_EQ(d.colors, "rId6");
    const auto& o = std::get<model::Ole>(s[2].content);
    EXPECT_EQ(o.prog_id, "Word.Document.8");
    EXPECT_EQ(o.rel_id, "rId7");
    EXPECT_EQ(o.preview, "rId8");
    EXPECT_STREQ(model::kind_name(s[3].content), "unknown");
    EXPECT_EQ(p.report.unknown_graphic_uris,
              (std::vector<std::string>{"http://schemas.microsoft.com/office/drawing/2017/model3d",
                                        "http://schemas.microsoft.com/office/drawing/2017/model3d"}));
}

// Audio and video are pictures whose non-visual properties name the file.
TEST(SlidePictures, MediaFromNonVisualProperties) {
    using M = model::Picture::Media;
    const std::pair<const char*, M> cases[] = {
        {"", M::none},
        {"<a:videoFile r:link=\"rId2\"/>", M::video},
        {"<a:quickTimeFile r:link=\"rId2\"/>", M::video},
        {"<a:audioFile r:link=\"rId2\"/>", M::audio},
        {"<a:wavAudioFile r:embed=\"rId2\" name=\"x.wav\"/>", M::audio},
        {"<a:audioCd><a:st track=\"1\"/><a:end track=\"2\"/></a:audioCd>", M::audio},
        {"<a:videoFile r:link=\"rId2\"/><a:extLst/>", M::video},
    };
    for (const auto& [nv, media] : cases) {
        for (const auto detail : {slide::Detail::full, slide::Detail::plain}) {
            auto p = slide::parse(slide_xml("<p:pic><p:nvPicPr><p:cNvPr id=\"2\" name=\"clip\"/><p:cNvPicPr/><p:nvPr>" +
                                            std::string(nv) + "</p:nvPr></p:nvPicPr><p:blipFill><a:blip r:embed=\"rId3\"/>"
                                            "</p:blipFill><p:spPr/></p:pic>"),
                                  "/s.xml", detail);
            ASSERT_TRUE(p) << nv;
            EXPECT_EQ(std::get<model::Picture>(p->content.shapes.at(0).content).media, media) << nv;
        }
    }
}

TEST(SlideStrict, PurlNamespacesReadLikeTransitional) {
    const std::string xml =
        "\xEF\xBB\xBF<p:sld xmlns:p=\"http://purl.oclc.org/ooxml/presentationml/main\" "
        "xmlns:a=\"http://purl.oclc.org/ooxml/drawingml/main\" "
        "xmlns:r=\"http://purl.oclc.org/ooxml/officeDocument/relationships\" show=\"false\"><p:cSld><p:spTree>"
        "<p:pic><p:nvPicPr><p:cNvPr id=\"3\" name=\"P\"/><p:cNvPicPr/><p:nvPr><p:ph type=\"pic\" idx=\"2\"/>"
        "</p:nvPr></p:nvPicPr><p:blipFill><a:blip r:embed=\"rId1\" r:link=\"rId2\"/></p:blipFill></p:pic>"
        "<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id=\"4\" name=\"C\"/><p:cNvGraphicFramePr/><p:nvPr/>"
        "</p:nvGraphicFramePr><a:graphic><a:graphicData uri=\"http://purl.oclc.org/ooxml/drawingml/chart\">"
        "<c:chart xmlns:c=\"http://purl.oclc.org/ooxml/drawingml/chart\" r:id=\"rId3\"/></a:graphicData>"
        "</a:graphic></p:graphicFrame></p:spTree></p:cSld></p:sld>";
    auto p = parse_slide(xml);
    EXPECT_FALSE(p.content.shown);
    ASSERT_EQ(p.content.shapes.size(), 2u);
    const auto& pic = std::get<model::Picture>(p.content.shapes[0].content);
    EXPECT_EQ(pic.embed, "rId1");
    EXPECT_EQ(pic.link, "rId2");
    EXPECT_EQ(p.content.shapes[0].placeholder->kind, PlaceholderKind::pic);
    EXPECT_EQ(std::get<model::Chart>(p.content.shapes[1].content).rel_id, "rId3");
}

TEST(SlideGroups, ChildrenWalkAndAlternateContent) {
    const std::string shapes =
        "<p:grpSp><p:nvGrpSpPr><p:cNvPr id=\"10\" name=\"G\"/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>"
        "<p:grpSpPr><a:xfrm><a:off x=\"1\" y=\"1\"/><a:ext cx=\"2\" cy=\"2\"/><a:chOff x=\"5\" y=\"6\"/>"
        "<a:chExt cx=\"7\" cy=\"8\"/></a:xfrm></p:grpSpPr>" +
        sp("", "") +
        "<mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
        "<mc:Choice xmlns:p14=\"http://schemas.microsoft.com/office/powerpoint/2010/main\" Requires=\"p14\">"
        "<p:contentPart r:id=\"rId4\"/></mc:Choice><mc:Fallback>" + sp("", "") +
        "</mc:Fallback></mc:AlternateContent><p:grpSp><p:nvGrpSpPr><p:cNvPr id=\"11\" name=\"Inner\"/>"
        "<p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr><p:grpSpPr/>" + sp("", "") + "</p:grpSp></p:grpSp>" +
        "<q:odd xmlns:q=\"urn:unknown\"><q:deeper/></q:odd>" + sp("", "");
    auto p = parse_slide(slide_xml(shapes));
    ASSERT_EQ(p.content.shapes.size(), 2u);
    const auto& g = p.content.shapes[0];
    EXPECT_EQ(g.name, "G");
    EXPECT_EQ(g.transform->ch_x, 5);
    EXPECT_EQ(g.transform->ch_cy, 8);
    ASSERT_EQ(g.group()->children.size(), 3u);
    EXPECT_EQ(std::get<model::ContentPart>(g.group()->children[1].content).rel_id, "rId4");
    EXPECT_EQ(p.report.unknown_elements, 1u);
    std::vector<std::uint32_t> order;
    for (const model::Shape& s : p.content.walk()) order.push_back(s.id);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{10, 2, 0, 11, 2, 2}));
}

TEST(SlideGroups, DeepNestingIsAnErrorNotACrash) {
    const auto nest = [](unsigned n) {
        std::string open, close;
        for (unsigned i = 0; i < n; ++i) {
            open += "<p:grpSp>";
            close += "</p:grpSp>";
        }
        return slide_xml(open + close);
    };
    EXPECT_TRUE(slide::parse(nest(slide::MAX_GROUP_DEPTH), "/s.xml"));
    auto deep = slide::parse(nest(slide::MAX_GROUP_DEPTH + 1), "/ppt/slides/slide9.xml");
    ASSERT_FALSE(deep);
    EXPECT_NE(deep.error().message().find("/ppt/slides/slide9.xml"), std::string::npos);
    EXPECT_FALSE(slide::parse(nest(400), "/s.xml"));
}

TEST(SlideRoots, OtherPartsAndMalformedText) {
    auto notes = parse_slide(transitional("<p:notes>") + "<p:cSld><p:spTree/></p:cSld></p:notes>");
    EXPECT_EQ(notes.content.root, model::SlideContent::Root::notes);
    EXPECT_TRUE(notes.content.shown);
    EXPECT_FALSE(notes.content.name);
    auto bad = slide::parse(slide_xml("<p:sp>"), "/ppt/slides/slide2.xml");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().first(), "/ppt/slides/slide2.xml");
    // Every prefix of a real slide either parses or fails cleanly.
    const std::string full = slide_xml(sp("<p:ph type=\"title\"/>", "<p:txBody><a:p><a:r><a:t>T</a:t></a:r></a:p></p:txBody>"));
    for (std::size_t n = 0; n < full.size(); ++n) {
        auto r = slide::parse(std::string_view(full).substr(0, n), "/s.xml");
        EXPECT_FALSE(r) << n;
    }
}

// ---------------------------------------------------------------- charts

constexpr const char* C_HEAD =
    "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><c:chart>";
constexpr const char* C_TAIL = "</c:chart></c:chartSpace>";

TEST(ChartCaches, TitlesKindsSeriesAndGaps) {
    const std::string xml = std::string(C_HEAD) +
        "<c:title><c:tx><c:rich><a:bodyPr/><a:p><a:r><a:t>Sales</a:t></a:r></a:p><a:p><a:r><a:t>2024</a:t>"
        "</a:r></a:p></c:rich></c:tx></c:title><c:autoTitleDeleted val=\"0\"/><c:plotArea><c:layout/>"
        "<c:barChart><c:barDir val=\"col\"/><c:ser><c:idx val=\"0\"/><c:tx><c:strRef><c:f>S!B1</c:f><c:strCache>"
        "<c:ptCount val=\"1\"/><c:pt idx=\"0\"><c:v>North</c:v></c:pt></c:strCache></c:strRef></c:tx>"
        "<c:cat><c:strRef><c:strCache><c:ptCount val=\"3\"/><c:pt idx=\"2\"><c:v>C</c:v></c:pt>"
        "<c:pt idx=\"0\"><c:v>A</c:v></c:pt></c:strCache></c:strRef></c:cat><c:val><c:numRef><c:f>S!B2</c:f>"
        "<c:numCache><c:formatCode>General</c:formatCode><c:ptCount val=\"4\"/><c:pt idx=\"1\"><c:v>2.5</c:v>"
        "</c:pt></c:numCache></c:numRef></c:val></c:ser><c:ser><c:tx><c:v>Literal</c:v></c:tx><c:val><c:numRef>"
        "<c:f>S!C2</c:f></c:numRef></c:val></c:ser><c:axId val=\"10\"/><c:axId val=\"20\"/></c:barChart>"
        "<c:lineChart><c:ser><c:cat><c:multiLvlStrRef><c:multiLvlStrCache><c:ptCount val=\"2\"/><c:lvl>"
        "<c:pt idx=\"0\"><c:v>Q1</c:v></c:pt><c:pt idx=\"1\"><c:v>Q2</c:v></c:pt></c:lvl><c:lvl><c:pt idx=\"0\">"
        "<c:v>2024</c:v></c:pt></c:lvl></c:multiLvlStrCache></c:multiLvlStrRef></c:cat></c:ser>"
        "<c:axId val=\"10\"/><c:axId val=\"20\"/></c:lineChart>"
        "<c:valAx><c:axId val=\"20\"/><c:axPos val=\"l\"/><c:title><c:tx><c:strRef><c:strCache><c:pt idx=\"0\">"
        "<c:v>Units</c:v></c:pt></c:strCache></c:strRef></c:tx></c:title></c:valAx>"
        "<c:catAx><c:axId val=\"10\"/><c:axPos val=\"b\"/></c:catAx></c:plotArea>" + C_TAIL;
    auto r = chart::parse(xml, "/ppt/charts/chart1.xml");
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->title, "Sales\n2024");
    EXPECT_EQ(r->kinds, (std::vector<std::string>{"bar", "line"}));
    EXPECT_FALSE(r->category_axis_title);
    EXPECT_EQ(r->value_axis_title, "Units");
    ASSERT_EQ(r->series.size(), 3u);
    EXPECT_EQ(r->series[0].name, "North");
    EXPECT_EQ(r->series[0].categories.padded(), (std::vector<std::string>{"A", "", "C"}));
    EXPECT_EQ(r->series[0].values.padded(), (std::vector<std::string>{"", "2.5", "", ""}));
    EXPECT_EQ(r->series[0].values.gaps(), 3u);
    EXPECT_EQ(r->series[1].name, "Literal");
    EXPECT_TRUE(r->series[1].values.padded().empty());
    EXPECT_FALSE(r->series[2].name);
    EXPECT_EQ(r->series[2].categories.padded(), (std::vector<std::string>{"Q1", "Q2"}));
}

TEST(ChartCaches, ScatterAxesAutomaticTitleAndHostileCounts) {
    const std::string xml = std::string(C_HEAD) +
        "<c:title><c:overlay val=\"0\"/></c:title><c:plotArea><c:scatterChart><c:ser><c:xVal><c:numLit>"
        "<c:ptCount val=\"4000000000\"/><c:pt idx=\"5\"><c:v>1</c:v></c:pt></c:numLit></c:xVal><c:yVal><c:numRef>"
        "<c:numCache><c:ptCount val=\"2\"/><c:pt idx=\"1\"><c:v>9</c:v></c:pt><c:pt idx=\"1\"><c:v>8</c:v></c:pt>"
        "</c:numCache></c:numRef></c:yVal></c:ser><c:axId val=\"1\"/><c:axId val=\"2\"/></c:scatterChart>"
        "<c:valAx><c:axId val=\"2\"/><c:axPos val=\"l\"/><c:title><c:tx><c:rich><a:p><a:r><a:t>Y</a:t></a:r>"
        "</a:p></c:rich></c:tx></c:title></c:valAx><c:valAx><c:axId val=\"1\"/><c:axPos val=\"b\"/><c:title>"
        "<c:tx><c:rich><a:p><a:r><a:t>X</a:t></a:r></a:p></c:rich></c:tx></c:title></c:valAx></c:plotArea>" +
        C_TAIL;
    auto r = chart::parse(xml, "/c.xml");
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_FALSE(r->title);
    EXPECT_EQ(r->kinds, (std::vector<std::string>{"scatter"}));
    EXPECT_EQ(r->category_axis_title, "X");
    EXPECT_EQ(r->value_axis_title, "Y");
    ASSERT_EQ(r->series.size(), 1u);
    EXPECT_EQ(r->series[0].categories.length, chart::MAX_POINTS);
    EXPECT_EQ(r->series[0].categories.at(5), "1");
    EXPECT_EQ(r->series[0].values.padded(), (std::vector<std::string>{"", "9"}));

    // Huge sparse caches keep what they hold, not what they declare.
    std::string many = std::string(C_HEAD) + "<c:plotArea><c:barChart>";
    for (int i = 0; i < 40; ++i)
        many += "<c:ser><c:val><c:numLit><c:ptCount val=\"4000000000\"/><c:pt idx=\"3\"><c:v>1</c:v></c:pt>"
                "</c:numLit></c:val></c:ser>";
    many += std::string("</c:barChart></c:plotArea>") + C_TAIL;
    auto m = chart::parse(many, "/c.xml");
    ASSERT_TRUE(m);
    std::size_t total = 0;
    for (const auto& s : m->series) total += s.values.points.size();
    EXPECT_EQ(total, 40u);
    EXPECT_EQ(m->series.back().values.length, chart::MAX_POINTS);
    EXPECT_EQ(m->series.back().values.packed(), (std::vector<std::string>{"1"}));
}

TEST(ChartCaches, OtherRootsAndErrors) {
    auto ex = chart::parse("<cx:chartSpace xmlns:cx=\"http://schemas.microsoft.com/office/drawing/2014/chartex\"/>",
                           "/ppt/charts/chartEx1.xml");
    ASSERT_TRUE(ex);
    EXPECT_TRUE(ex->series.empty());
    auto bad = chart::parse(std::string(C_HEAD) + "<c:title>", "/ppt/charts/chart2.xml");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().first(), "/ppt/charts/chart2.xml");
}

TEST(ChartCaches, FormatCodesOfNumericCachesAndPoints) {
    const std::string xml =
        "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:date1904/><c:chart>"
        "<c:plotArea><c:lineChart><c:ser><c:cat><c:numRef><c:numCache><c:formatCode>yyyy\\-mm\\-dd</c:formatCode>"
        "<c:ptCount val=\"3\"/><c:pt idx=\"2\"><c:v>1</c:v></c:pt><c:pt idx=\"0\"><c:v>0</c:v></c:pt>"
        "</c:numCache></c:numRef></c:cat><c:val><c:numLit><c:formatCode>0.0%</c:formatCode><c:ptCount val=\"3\"/>"
        "<c:pt idx=\"0\"><c:v>0.25</c:v></c:pt><c:pt idx=\"1\" formatCode=\"#,##0\"><c:v>1234.5</c:v></c:pt>"
        "<c:pt idx=\"2\"><c:v>n/a</c:v></c:pt></c:numLit></c:val></c:ser>"
        "<c:ser><c:cat><c:numLit><c:formatCode>0.00</c:formatCode><c:pt idx=\"0\"><c:v>1</c:v></c:pt></c:numLit>"
        "<c:strLit><c:pt idx=\"0\"><c:v>007</c:v></c:pt></c:strLit></c:cat><c:val><c:numRef>"
        "<c:numCache><c:pt idx=\"0\"><c:v>8.1999999999999993</c:v></c:pt></c:numCache></c:numRef></c:val></c:ser>"
        "</c:lineChart></c:plotArea></c:chart></c:chartSpace>";
    auto r = chart::parse(xml, "/c.xml");
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_TRUE(r->date1904);
    ASSERT_EQ(r->series.size(), 2u);
    const chart::Series& a = r->series[0];
    EXPECT_EQ(a.values.padded(), (std::vector<std::string>{"0.25", "1234.5", "n/a"}));  // kept as written
    EXPECT_EQ(a.value_formats.at(1), "#,##0");
    EXPECT_EQ(a.value_formats.at(2), "0.0%");
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < 4; ++i) shown.push_back(chart::shown_category(*r, a, i) + "|" + chart::shown_value(*r, a, i));
    EXPECT_EQ(shown, (std::vector<std::string>{"1904-01-01|25.0%", "|1,235", "1904-01-02|n/a", "|"}));
    // A string cache (here the last of two) shows its text as written; a
    // cache without a code reads as General.
    EXPECT_EQ(chart::shown_category(*r, r->series[1], 0), "007");
    EXPECT_EQ(chart::shown_value(*r, r->series[1], 0), "8.2");
}

TEST(NumberFormats, ShownAsASpreadsheetShowsThem) {
    const std::string ACCOUNTING = R"(_("$"* #,##0.00_);_("$"* \(#,##0.00\);_("$"* "-"??_);_(@_))";
    struct Case {
        const char* stored;
        std::string code;
        const char* shown;
    };
    const std::vector<Case> cases = {
        // General: eleven places, no float noise, scientific at the ends
        {"8.1999999999999993", "General", "8.2"},
        {"4.0000000000000029E-2", "General", "0.04"},
        {"0.1", "", "0.1"},
        {"-2.50", "general", "-2.5"},
        {"-0", "General", "0"},
        {"-0.0", "General", "0"},
        {"007", "General", "7"},
        {".5", "General", "0.5"},
        {"1.50", "General", "1.5"},
        {" 42 ", "General", "42"},
        {"12345678901", "General", "12345678901"},
        {"123456789012", "General", "1.23457E+11"},
        {"99999999999.7", "General", "1E+11"},
        {"1234.56789012", "General", "1234.56789"},
        {"0.333333333333333", "General", "0.333333333"},
        {"0.0001", "General", "0.0001"},
        {"0.000123456789", "General", "0.000123457"},
        {"0.00001", "General", "1E-05"},
        {"1.23456789E-100", "General", "1.2346E-100"},
        // not a number: as written
        {"n/a", "0.00", "n/a"},
        {"1,234", "0", "1,234"},
        {"", "0.00", ""},
        {"inf", "0", "inf"},
        // fixed decimals round half away from zero on the fifteen digits kept
        {"3.14159", "0.00", "3.14"},
        {"2.5", "0", "3"},
        {"0.125", "0.00", "0.13"},
        {"2.675", "0.00", "2.68"},
        {"-0.001", "0.00", "0.00"},
        {"12.3456", "0.00##", "12.3456"},
        {"12.3", "0.00##", "12.30"},
        {"12.3", "0.0??", "12.3"},
        {"0.5", "#.##", ".5"},
        {"5.25", ".00", "5.25"},
        // thousands, scaling, percent
        {"1234567.891", "#,##0.00", "1,234,567.89"},
        {"1234.5", "0.0,\"K\"", "1.2K"},
        {"1234567", "#,##0,,", "1"},
        {"0.1", "0%", "10%"},
        {"0.12345", "0.0%", "12.3%"},
        // scientific
        {"12345", "0.00E+00", "1.23E+04"},
        {"0.00012", "0.0E+0", "1.2E-4"},
        {"12345", "##0.0E+0", "12.3E+3"},
        {"0", "0.00E+00", "0.00E+00"},
        {"-12", "0.0E+00", "-1.2E+01"},
        // literals, currency, sections
        {"5", "\"Total: \"0", "Total: 5"},
        {"5", "0\\ \"pcs\"", "5 pcs"},
        {"1234567", "000-0000", "123-4567"},
        {"1234.5", "$#,##0.00", "$1,234.50"},
        {"-1234.5", "$#,##0.00", "-$1,234.50"},
        {"1234.5", "[$\u20ac-407]#,##0.00", "\u20ac1,234.50"},
        {"5", "[Red]0.00", "5.00"},
        {"-1234.5", "#,##0;(#,##0)", "(1,235)"},
        {"-5", "#,##0;[Red]\\-#,##0", "-5"},
        {"0", "#,##0;(#,##0);\"zero\"", "zero"},
        {"-5", "#,##0.00;;", ""},
        {"3", ACCOUNTING, "$3.00"},
        {"-3", ACCOUNTING, "$(3.00)"},
        {"0", ACCOUNTING, "$-"},
        {"150", "[>100]\"big\";\"small\"", "big"},
        {"50", "[>100]\"big\";\"small\"", "small"},
        // dates and times as ISO-8601, to the precision the code shows
        {"45292", "m/d/yyyy", "2024-01-01"},
        {"45292", "[$-409]mmm-yy;@", "2024-01"},
        {"45292", "yyyy", "2024"},
        {"45292", "dddd", "2024-01-01"},
        {"45292.5625", "m/d/yyyy h:mm", "2024-01-01T13:30"},
        {"0.5625", "h:mm:ss", "13:30:00"},
        {"0.5", "h:mm AM/PM", "12:00"},
        {"45292.999999", "yyyy-mm-dd hh:mm:ss", "2024-01-02T00:00:00"},
        {"0.000011574", "ss.000", "00:00:01.000"},
        {"1.5", "[h]:mm:ss", "36:00:00"},
        {"59", "yyyy-mm-dd", "1900-02-28"},
        {"60", "m/d/yyyy", "1900-02-29"},  // the 1900 system's phantom leap day
        {"61", "d-mmm", "1900-03-01"},
        {"2958465", "yyyy-mm-dd", "9999-12-31"},
        {"2958466", "yyyy-mm-dd", "2958466"},
        {"-1", "yyyy-mm-dd", "-1"},
        // unknown, unparseable or unsupported: General
        {"5", "xyz", "5"},
        {"5", "\"unterminated", "5"},
        {"5", "[>x]0", "5"},
        {"2.5", "# ?/?", "2.5"},
        {"5", "@", "5"},
        {"5", std::string(300, '0'), "5"},
        {"0.5", "0." + std::string(31, '0'), "0.5"},
        {"1E+300", "#,##0", "1E+300"},
        {"1E+29", "0", "100000000000000000000000000000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chart::format_value(c.stored, c.code), c.shown) << c.stored << " under " << c.code;
    EXPECT_EQ(chart::format_value("0", "yyyy-mm-dd", true), "1904-01-01");
    EXPECT_EQ(chart::format_value("43830", "yyyy-mm-dd", true), "2024-01-01");
    EXPECT_EQ(chart::format_value("2957004", "yyyy-mm-dd", true), "2957004");
}

// ---------------------------------------------------------------- diagrams

std::string data_model(const std::string& points, const std::string& cxns) {
    return "<dgm:dataModel xmlns:dgm=\"http://schemas.openxmlformats.org/drawingml/2006/diagram\" "
           "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><dgm:ptLst>" +
           points + "</dgm:ptLst><dgm:cxnLst>" + cxns + "</dgm:cxnLst></dgm:dataModel>";
}

std::string pt(const std::string& id, const std::string& type, const std::string& text) {
    std::string s = "<dgm:pt modelId=\"" + id + "\"";
    if (!type.empty()) s += " type=\"" + type + "\"";
    s += "><dgm:prSet/><dgm:spPr/>";
    if (!text.empty()) s += "<dgm:t><a:bodyPr/><a:p><a:r><a:t>" + text + "</a:t></a:r></a:p></dgm:t>";
    return s + "</dgm:pt>";
}

std::string cxn(const std::string& src, const std::string& dest, int ord, const std::string& type = "") {
    std::string s = "<dgm:cxn modelId=\"c" + src + dest + "\" srcId=\"" + src + "\" destId=\"" + dest +
                    "\" srcOrd=\"" + std::to_string(ord) + "\" destOrd=\"0\"";
    if (!type.empty()) s += " type=\"" + type + "\"";
    return s + "/>";
}

TEST(DiagramOutline, OrderedBySrcOrdDepthFirst) {
    const std::string xml = data_model(
        pt("{B}", "", "Second") + pt("{D}", "doc", "") + pt("{A}", "", "First") + pt("{A1}", "asst", "Child") +
            pt("{E}", "", "") + pt("{E1}", "", "Under empty") + pt("{P}", "pres", "") + pt("{T}", "parTrans", ""),
        cxn("{D}", "{B}", 1) + cxn("{D}", "{A}", 0, "parOf") + cxn("{A}", "{A1}", 0) + cxn("{D}", "{E}", 2) +
            cxn("{E}", "{E1}", 0) + cxn("{A}", "{P}", 0, "presOf") + cxn("{D}", "{P}", 5) +
            cxn("{D}", "{missing}", 3) + cxn("{gone}", "{A}", 0));
    auto r = diagram::parse(xml, "/ppt/diagrams/data1.xml");
    ASSERT_TRUE(r) << r.error().message();
    using Item = std::pair<std::uint8_t, std::string>;
    EXPECT_EQ(r->items, (std::vector<Item>{{0, "First"}, {1, "Child"}, {0, "Second"}, {1, "Under empty"}}));
}

// Ids match by their decoded value whichever way they are written; many
// points make ids that outlive any one tag.
TEST(DiagramOutline, IdsMatchDecodedAndManyPoints) {
    std::string pts = pt("{D&amp;1}", "doc", "") + pt("&#x41;", "&#110;ode", "A") + pt("B", "", "B") +
                      pt("{P}", "pres", "hidden");
    std::string cx = cxn("{D&#38;1}", "A", 1) + cxn("{D&amp;1}", "B", 0) + cxn("A", "{P}", 0) +
                     "<dgm:cxn srcId=\"A\" destId=\"B\" srcOrd=\"&#50;\" type=\"&#112;arOf\"/>";
    for (int i = 0; i < 200; ++i) {
        pts += pt("n&amp;" + std::to_string(i), "", "t" + std::to_string(i));
        cx += cxn(i == 0 ? "B" : "n&#38;" + std::to_string(i - 1), "n&amp;" + std::to_string(i), 0);
    }
    auto r = diagram::parse(data_model(pts, cx), "/d.xml");
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->items.size(), 202u);
    using Item = std::pair<std::uint8_t, std::string>;
    EXPECT_EQ(r->items[0], (Item{0, "B"}));
    EXPECT_EQ(r->items[1], (Item{1, "t0"}));
    EXPECT_EQ(r->items[200], (Item{200, "t199"}));
    // B, also a child of A, is shown once, where the walk meets it first.
    EXPECT_EQ(r->items[201], (Item{0, "A"}));
}

// A point's text reads as the slide parser's plain text of the same body:
// paragraphs on their own lines, breaks as line ends whatever they hold,
// fields and alternate content resolved, paragraph properties ignored.
TEST(DiagramOutline, PointTextReadsLikeASlideBody) {
    const std::string mc = "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
                           "xmlns:x=\"urn:unknown\"";
    const std::vector<std::string> bodies = {
        "<a:p><a:pPr lvl=\"1\"><a:buChar char=\"-\"/></a:pPr><a:r><a:t>One</a:t></a:r></a:p>"
        "<a:p><a:r><a:t>Two</a:t></a:r><a:br><a:t>ignored</a:t></a:br><a:fld type=\"slidenum\"><a:t>3</a:t></a:fld>"
        "</a:p>",
        "<a:p/><a:p><a:r><a:rPr b=\"1\"/><a:t>a</a:t><a:t>b</a:t></a:r><a:endParaRPr/></a:p><a:p/>",
        "<a:p><mc:AlternateContent " + mc + "><mc:Choice Requires=\"x\"><a:r><a:t>new</a:t></a:r></mc:Choice>"
        "<mc:Fallback><a:r><a:t>old &amp; safe</a:t></a:r></mc:Fallback></mc:AlternateContent></a:p>",
        "<a:bodyPr/><a:lstStyle/><a:p><x:r xmlns:x=\"urn:unknown\"><a:t>no</a:t></x:r><a:r><a:t>yes</a:t></a:r></a:p>",
    };
    for (const std::string& body : bodies) {
        const std::string points = pt("d", "doc", "") + "<dgm:pt modelId=\"n\"><dgm:t>" + body + "</dgm:t></dgm:pt>";
        auto r = diagram::parse(data_model(points, cxn("d", "n", 0)), "/d.xml");
        ASSERT_TRUE(r) << r.error().message();

        const std::string as_slide = "<a:txBody xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" " +
                                     mc + ">" + body + "</a:txBody>";
        xml::Reader reader(as_slide);
        ASSERT_EQ(reader.next().kind, xml::EventKind::start);
        std::vector<model::Paragraph> paragraphs;
        ASSERT_TRUE(slide::read_paragraphs(reader, paragraphs, nullptr, slide::Detail::plain));
        std::string expected;
        model::write_text(paragraphs, expected);

        if (expected.empty()) {
            EXPECT_TRUE(r->items.empty()) << body;
        } else {
            ASSERT_EQ(r->items.size(), 1u) << body;
            EXPECT_EQ(r->items[0].second, expected) << body;
        }
    }
    auto first = diagram::parse(data_model(pt("d", "doc", "") + "<dgm:pt modelId=\"n\"><dgm:t>" + bodies[0] +
                                               "</dgm:t></dgm:pt>",
                                           cxn("d", "n", 0)),
                                "/d.xml");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->items[0].second, "One\nTwo\n3");

    // A body cut short fails the part at the fault.
    const std::string cut = data_model(pt("d", "doc", "") + "<dgm:pt modelId=\"n\"><dgm:t><a:p><a:r><a:t>x</a:r>",
                                       "");
    auto bad = diagram::parse(cut, "/ppt/diagrams/data9.xml");
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().message().find("/ppt/diagrams/data9.xml"), std::string::npos);
}

// Children with the same srcOrd keep their document order, whichever
// parent's connections come first in the list.
TEST(DiagramOutline, EqualOrdersKeepDocumentOrder) {
    auto r = diagram::parse(data_model(pt("d", "doc", "") + pt("a", "", "A") + pt("b", "", "B") + pt("c", "", "C") +
                                           pt("x", "", "X") + pt("y", "", "Y"),
                                       cxn("a", "y", 0) + cxn("d", "c", 1) + cxn("d", "a", 1) + cxn("a", "x", 0) +
                                           cxn("d", "b", 0)),
                            "/d.xml");
    ASSERT_TRUE(r) << r.error().message();
    using Item = std::pair<std::uint8_t, std::string>;
    EXPECT_EQ(r->items, (std::vector<Item>{{0, "B"}, {0, "C"}, {0, "A"}, {1, "Y"}, {1, "X"}}));
}

TEST(DiagramOutline, CyclesAndMissingDocument) {
    // A loop back to an ancestor is cut; the walk ends.
    auto loop = diagram::parse(data_model(pt("d", "doc", "") + pt("a", "", "A") + pt("b", "", "B"),
                                          cxn("d", "a", 0) + cxn("a", "b", 0) + cxn("b", "a", 0) + cxn("b", "d", 0) +
                                              cxn("a", "a", 1)),
                               "/d.xml");
    ASSERT_TRUE(loop);
    using Item = std::pair<std::uint8_t, std::string>;
    EXPECT_EQ(loop->items, (std::vector<Item>{{0, "A"}, {1, "B"}}));
    // Without a document point, parentless nodes start their own trees.
    auto nodoc = diagram::parse(data_model(pt("x", "", "X") + pt("y", "", "Y") + pt("z", "", "Z"), cxn("x", "y", 0)),
                                "/d.xml");
    ASSERT_TRUE(nodoc);
    EXPECT_EQ(nodoc->items, (std::vector<Item>{{0, "X"}, {1, "Y"}, {0, "Z"}}));
    // A long chain gets levels capped at 255 and no deep recursion.
    std::string pts = pt("d", "doc", ""), cx;
    for (int i = 0; i < 300; ++i) {
        pts += pt("n" + std::to_string(i), "", "t");
        cx += cxn(i == 0 ? "d" : "n" + std::to_string(i - 1), "n" + std::to_string(i), 0);
    }
    auto chain = diagram::parse(data_model(pts, cx), "/d.xml");
    ASSERT_TRUE(chain);
    ASSERT_EQ(chain->items.size(), 300u);
    EXPECT_EQ(chain->items.back().first, 255);
    EXPECT_FALSE(diagram::parse("<dgm:dataModel", "/d.xml"));
}

// ---------------------------------------------------------------- comments

TEST(Comments, LegacyAuthorsAndThreadedReplies) {
    const std::string authors_xml = transitional("<p:cmAuthorLst>") +
                                    "<p:cmAuthor id=\"0\" name=\"Ann\" initials=\"A\" lastIdx=\"2\" clrIdx=\"0\"/>"
                                    "<p:cmAuthor id=\"1\" name=\"Bob\" lastIdx=\"1\" clrIdx=\"1\"/></p:cmAuthorLst>";
    auto authors = comments::parse_authors(authors_xml, "/ppt/commentAuthors.xml");
    ASSERT_TRUE(authors);
    ASSERT_EQ(authors->size(), 2u);
    EXPECT_EQ((*authors)[0].initials, "A");
    EXPECT_FALSE((*authors)[1].initials);

    const auto reply_to = [](int author, int idx) {
        return "<p:extLst><p:ext uri=\"{C676402C-5697-4E1C-873F-D02D1690AC5C}\"><p15:threadingInfo "
               "xmlns:p15=\"http://schemas.microsoft.com/office/powerpoint/2012/main\" timeZoneBias=\"0\">"
               "<p15:parentCm authorId=\"" + std::to_string(author) + "\" idx=\"" + std::to_string(idx) +
               "\"/></p15:threadingInfo></p:ext></p:extLst>";
    };
    const std::string xml = transitional("<p:cmLst>") +
        "<p:cm authorId=\"1\" dt=\"2024-01-02T03:04:05.000\" idx=\"1\"><p:pos x=\"1\" y=\"2\"/>"
        "<p:text>Reply to Ann</p:text>" + reply_to(0, 1) + "</p:cm>"
        "<p:cm authorId=\"0\" idx=\"1\"><p:text>First</p:text></p:cm>"
        "<p:cm authorId=\"0\" idx=\"2\"><p:text>Nested reply</p:text>" + reply_to(1, 1) + "</p:cm>"
        "<p:cm authorId=\"7\" idx=\"1\"><p:text>Orphan</p:text>" + reply_to(9, 9) + "</p:cm>"
        "<p:cm authorId=\"01\" idx=\"3\"><p:text>Second</p:text></p:cm></p:cmLst>";
    auto r = comments::parse(xml, "/ppt/comments/comment1.xml", *authors);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->size(), 5u);
    const auto& c = *r;
    EXPECT_EQ(c[0].text, "First");
    EXPECT_EQ(c[0].author, "Ann");
    EXPECT_EQ(c[0].initials, "A");
    EXPECT_FALSE(c[0].reply);
    EXPECT_EQ(c[1].text, "Reply to Ann");
    EXPECT_TRUE(c[1].reply);
    EXPECT_EQ(c[1].date, "2024-01-02T03:04:05.000");
    EXPECT_EQ(c[2].text, "Nested reply");
    EXPECT_EQ(c[3].text, "Orphan");
    EXPECT_FALSE(c[3].author);
    EXPECT_EQ(c[4].text, "Second");
    EXPECT_EQ(c[4].author, "Bob");
    // Shared with the author list, not copied.
    EXPECT_EQ(c[0].author.get(), (*authors)[0].name.get());
    EXPECT_EQ(c[4].author.get(), (*authors)[1].name.get());
}

TEST(Comments, LegacyReplyLoopsStayInPlace) {
    const auto cm = [](int idx, int parent) {
        return "<p:cm authorId=\"0\" idx=\"" + std::to_string(idx) + "\"><p:text>" + std::to_string(idx) +
               "</p:text><p:extLst><p:ext uri=\"{C676402C-5697-4E1C-873F-D02D1690AC5C}\"><p15:threadingInfo "
               "xmlns:p15=\"urn:p15\"><p15:parentCm authorId=\"0\" idx=\"" + std::to_string(parent) +
               "\"/></p15:threadingInfo></p:ext></p:extLst></p:cm>";
    };
    auto r = comments::parse(transitional("<p:cmLst>") + cm(1, 2) + cm(2, 1) + cm(3, 3) + "</p:cmLst>", "/c.xml", {});
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[0].text, "1");
    EXPECT_EQ((*r)[1].text, "2");
    EXPECT_EQ((*r)[2].text, "3");
}

TEST(Comments, ModernCommentsWithNestedReplies) {
    const std::string ns = " xmlns:p188=\"http://schemas.microsoft.com/office/powerpoint/2018/8/main\"" +
                           std::string(NS_A);
    auto authors = comments::parse_authors(
        "<p188:authorLst" + ns + "><p188:author id=\"{G1}\" name=\"Cy\" initials=\"C\" userId=\"u\" providerId=\"AD\"/>"
        "</p188:authorLst>", "/ppt/authors.xml");
    ASSERT_TRUE(authors);
    ASSERT_EQ(authors->size(), 1u);
    const std::string xml =
        "<p188:cmLst" + ns + "><p188:cm id=\"{1}\" authorId=\"{G1}\" created=\"2024-05-01T10:00:00.000\">"
        "<pc:sldMkLst xmlns:pc=\"http://schemas.microsoft.com/office/powerpoint/2013/main/command\"/>"
        "<p188:replyLst><p188:reply id=\"{2}\" authorId=\"{G9}\" created=\"2024-05-02\"><p188:txBody><a:bodyPr/>"
        "<a:p><a:r><a:t>Agreed</a:t></a:r></a:p></p188:txBody></p188:reply></p188:replyLst>"
        "<p188:txBody><a:bodyPr/><a:p><a:r><a:t>Line 1</a:t></a:r></a:p><a:p><a:r><a:t>Line 2</a:t></a:r></a:p>"
        "</p188:txBody></p188:cm></p188:cmLst>";
    auto r = comments::parse(xml, "/ppt/comments/modernComment_1.xml", *authors);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].text, "Line 1\nLine 2");
    EXPECT_EQ((*r)[0].author, "Cy");
    EXPECT_EQ((*r)[0].date, "2024-05-01T10:00:00.000");
    EXPECT_FALSE((*r)[0].reply);
    EXPECT_EQ((*r)[1].text, "Agreed");
    EXPECT_TRUE((*r)[1].reply);
    EXPECT_FALSE((*r)[1].author);
    auto other = comments::parse(transitional("<p:sld>") + "<p:cm/></p:sld>", "/x.xml", {});
    ASSERT_TRUE(other);
    EXPECT_TRUE(other->empty());
}

// ---------------------------------------------------------------- properties

TEST(Properties, CoreTrimmedEmptyAbsent) {
    const std::string xml =
        "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
        "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><dc:title>\n  Quarterly &amp; more \t</dc:title>"
        "<dc:subject>   </dc:subject><dc:creator/><cp:keywords>a, b</cp:keywords>"
        "<cp:lastModifiedBy>Z</cp:lastModifiedBy><cp:revision>12</cp:revision>"
        "<dcterms:created xsi:type=\"dcterms:W3CDTF\">2020-01-01T00:00:00Z</dcterms:created>"
        "<dcterms:modified xsi:type=\"dcterms:W3CDTF\"> 2021-02-03T04:05:06Z </dcterms:modified>"
        "<dc:title>ignored</dc:title><cp:contentStatus>Draft</cp:contentStatus><dc:language>en</dc:language>"
        "<cp:version>1.0</cp:version><dc:identifier>id</dc:identifier><cp:category>C</cp:category>"
        "<cp:lastPrinted>2019</cp:lastPrinted><dc:description>D</dc:description></cp:coreProperties>";
    auto r = properties::CoreProperties::parse(xml, "/docProps/core.xml");
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->title, "Quarterly & more");
    EXPECT_FALSE(r->subject);
    EXPECT_FALSE(r->creator);
    EXPECT_EQ(r->keywords, "a, b");
    EXPECT_EQ(r->last_modified_by, "Z");
    EXPECT_EQ(r->revision, "12");
    EXPECT_EQ(r->created, "2020-01-01T00:00:00Z");
    EXPECT_EQ(r->modified, "2021-02-03T04:05:06Z");
    EXPECT_EQ(r->content_status, "Draft");
    EXPECT_EQ(r->language, "en");
    EXPECT_EQ(r->version, "1.0");
    EXPECT_EQ(r->identifier, "id");
    EXPECT_EQ(r->category, "C");
    EXPECT_EQ(r->last_printed, "2019");
    EXPECT_EQ(r->description, "D");
    auto bad = properties::CoreProperties::parse("<cp:coreProperties>", "/docProps/core.xml");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().first(), "/docProps/core.xml");
}

TEST(Properties, ExtendedWithTitlesOfPartsInStrictForm) {
    const std::string xml =
        "<Properties xmlns=\"http://purl.oclc.org/ooxml/officeDocument/extendedProperties\" "
        "xmlns:vt=\"http://purl.oclc.org/ooxml/officeDocument/docPropsVTypes\"><TotalTime>15</TotalTime>"
        "<Words>-3</Words><Application> Microsoft Office PowerPoint </Application><Slides>12</Slides>"
        "<Notes>99999999999</Notes><HiddenSlides/><PresentationFormat>On-screen Show (4:3)</PresentationFormat>"
        "<HeadingPairs><vt:vector size=\"2\" baseType=\"variant\"><vt:variant><vt:lpstr>Theme</vt:lpstr>"
        "</vt:variant><vt:variant><vt:i4>1</vt:i4></vt:variant></vt:vector></HeadingPairs>"
        "<TitlesOfParts><vt:vector size=\"3\" baseType=\"lpstr\"><vt:lpstr>Arial</vt:lpstr><vt:lpstr>Office Theme"
        "</vt:lpstr><vt:lpwstr></vt:lpwstr></vt:vector></TitlesOfParts><Company></Company>"
        "<AppVersion>16.0000</AppVersion><Template>T.potx</Template><Manager>M</Manager></Properties>";
    auto r = properties::AppProperties::parse(xml, "/docProps/app.xml");
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->application, "Microsoft Office PowerPoint");
    EXPECT_EQ(r->total_time, 15u);
    EXPECT_FALSE(r->words);
    EXPECT_EQ(r->slides, 12u);
    EXPECT_EQ(r->notes, 99999999999u);
    EXPECT_FALSE(r->hidden_slides);
    EXPECT_FALSE(r->paragraphs);
    EXPECT_FALSE(r->company);
    EXPECT_EQ(r->presentation_format, "On-screen Show (4:3)");
    EXPECT_EQ(r->app_version, "16.0000");
    EXPECT_EQ(r->template_, "T.potx");
    EXPECT_EQ(r->manager, "M");
    EXPECT_EQ(r->titles_of_parts, (std::vector<std::string>{"Arial", "Office Theme", ""}));
}

// ---------------------------------------------------------------- corpus

bool under(std::string_view name, std::string_view folder) {
    return name.starts_with(folder) && name.ends_with(".xml") && name.find('/', folder.size()) == std::string_view::npos;
}

TEST(CorpusSweep, EveryPartParsesOrFailsCleanly) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::filesystem::path& dir = *corpus;
    std::error_code ec;
    std::size_t decks = 0, parsed = 0, failed = 0, shapes = 0, series = 0, items = 0, comments_seen = 0, sections = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file()) continue;
        auto archive = zip::Archive::open_path(entry.path().string());
        if (!archive) continue;
        ++decks;
        bytes::Buffer bytes;
        for (const zip::Entry& e : archive->entries()) {
            const std::string_view n = e.name;
            if (e.uncompressed_size > (64u << 20)) continue;
            const bool slide_like = under(n, "ppt/slides/") || under(n, "ppt/slideLayouts/") ||
                                    under(n, "ppt/slideMasters/") || under(n, "ppt/notesSlides/") ||
                                    under(n, "ppt/notesMasters/") || under(n, "ppt/handoutMasters/");
            const bool chart_part = under(n, "ppt/charts/");
            const bool diagram_part = under(n, "ppt/diagrams/") && n.find("/data") != std::string::npos;
            const bool comment_part = under(n, "ppt/comments/");
            const bool authors_part = n == "ppt/commentAuthors.xml" || n == "ppt/authors.xml";
            const bool pres = n == "ppt/presentation.xml";
            const bool core = n == "docProps/core.xml";
            const bool app = n == "docProps/app.xml";
            if (!(slide_like || chart_part || diagram_part || comment_part || authors_part || pres || core || app))
                continue;
            if (!archive->read(e, bytes)) continue;
            // Some producers write UTF-16 parts; the reader converts before parsing.
            if (auto utf8 = encoding::utf16_xml_to_utf8(bytes)) bytes.assign(utf8->begin(), utf8->end());
            const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            const std::string part = "/" + std::string(n);
            bool ok = true;
            std::string why;
            if (slide_like) {
                auto r = slide::parse(text, part);
                ok = r.has_value();
                if (!ok) why = r.error().message();
                if (ok) {
                    for (const model::Shape& s : r->content.walk()) {
                        (void)s;
                        ++shapes;
                    }
                    (void)r->content.title();
                }
            } else if (chart_part) {
                auto r = chart::parse(text, part);
                ok = r.has_value();
                if (ok) series += r->series.size();
            } else if (diagram_part) {
                auto r = diagram::parse(text, part);
                ok = r.has_value();
                if (ok) items += r->items.size();
            } else if (comment_part) {
                auto r = comments::parse(text, part, {});
                ok = r.has_value();
                if (ok) comments_seen += r->size();
            } else if (authors_part) {
                ok = comments::parse_authors(text, part).has_value();
            } else if (pres) {
                auto r = presentation::Presentation::parse(text, part);
                ok = r.has_value();
                if (ok) {
                    sections += r->sections.size();
                    // Real decks list their slides with ids.
                    for (const auto& id : r->slides) EXPECT_TRUE(id.id) << entry.path() << " " << id.rel_id;
                }
            } else if (core) {
                ok = properties::CoreProperties::parse(text, part).has_value();
            } else {
                ok = properties::AppProperties::parse(text, part).has_value();
            }
            (ok ? parsed : failed)++;
            if (!ok) std::printf("%s: %s %s\n", entry.path().filename().c_str(), part.c_str(), why.c_str());
        }
    }
    std::printf("corpus: %zu decks, %zu parts parsed, %zu failed; %zu shapes, %zu series, %zu diagram items, "
                "%zu comments, %zu sections\n",
                decks, parsed, failed, shapes, series, items, comments_seen, sections);
    if (decks == 0) GTEST_SKIP() << "no readable deck";
    EXPECT_GT(parsed, 0u);
    // Real decks are well-formed: a failure here is a parser fault.
    EXPECT_EQ(failed, 0u);
}

} // namespace
