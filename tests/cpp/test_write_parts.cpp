// Exact texts of the shared XML writers and of the package- and
// presentation-level parts.
#include "write/parts.h"
#include "write/xml.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace vw = vantrell_write;
namespace vp = vantrell_write::parts;

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
const std::string REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string str(const vw::Bytes& b) { return std::string(b.begin(), b.end()); }

std::size_t count(const std::string& hay, std::string_view needle) {
    std::size_t n = 0;
    for (std::size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

} // namespace

TEST(WriteXml, EscapingTable) {
    using vw::xml::attr;
    using vw::xml::text;
    EXPECT_EQ(attr(""), "");
    EXPECT_EQ(text(""), "");
    EXPECT_EQ(attr("a\"b&c<d>e'f"), "a&quot;b&amp;c&lt;d&gt;e'f");
    EXPECT_EQ(text("a\"b&c<d>e'f"), "a\"b&amp;c&lt;d&gt;e'f");
    EXPECT_EQ(attr("\t\n\r"), "&#9;&#10;&#13;");
    EXPECT_EQ(text("\t\n\r"), "\t\n\r");
    EXPECT_EQ(attr(std::string("x\x01\x07\x1F", 4) + std::string(1, '\0')), "x");
    EXPECT_EQ(text(std::string("x\x01\x07\x1F", 4) + std::string(1, '\0')), "x_x0001__x0007__x001F__x0000_");
    EXPECT_EQ(text("\x7F"), "\x7F");
    EXPECT_EQ(text("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(WriteXml, OutputIsAlwaysWellFormedText) {
    using vw::xml::attr;
    using vw::xml::text;
    // U+FFFE and U+FFFF are not XML characters.
    EXPECT_EQ(attr("a\xEF\xBF\xBE" "b\xEF\xBF\xBF"), "ab");
    EXPECT_EQ(text("a\xEF\xBF\xBE" "b\xEF\xBF\xBF"), "a_xFFFE_b_xFFFF_");
    EXPECT_EQ(text("\xEF\xBF\xBD"), "\xEF\xBF\xBD");
    // Invalid UTF-8 (stray continuation, truncated sequence, overlong form,
    // encoded surrogate, past U+10FFFF) becomes U+FFFD per byte.
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(text("\x80"), r);
    EXPECT_EQ(text("a\xC3"), "a" + r);
    EXPECT_EQ(text("\xC0\xAF"), r + r);
    EXPECT_EQ(text("\xED\xA0\x80"), r + r + r);
    EXPECT_EQ(attr("\xF4\x90\x80\x80"), r + r + r + r);
    EXPECT_EQ(text("\xE2\x82"), r + r);
}

TEST(WriteStyle, ColorsFollowTheInvertedSwap) {
    using vw::style::color_xml;
    EXPECT_EQ(color_xml(vw::Rgb{0x0A, 0xBC, 0xFF}, true), "<a:srgbClr val=\"0ABCFF\"/>");
    const char* normal[] = {"dk1", "lt1", "dk2", "lt2", "accent1", "accent2", "accent3", "accent4",
                            "accent5", "accent6", "hlink", "folHlink"};
    const char* inverted[] = {"lt1", "dk1", "lt2", "dk2", "accent1", "accent2", "accent3", "accent4",
                              "accent5", "accent6", "hlink", "folHlink"};
    for (std::uint8_t i = 0; i < 12; ++i) {
        const vw::Color c = vw::SchemeColor{static_cast<vw::SchemeColor::Slot>(i)};
        EXPECT_EQ(color_xml(c, false), std::string("<a:schemeClr val=\"") + normal[i] + "\"/>");
        EXPECT_EQ(color_xml(c, true), std::string("<a:schemeClr val=\"") + inverted[i] + "\"/>");
    }
}

TEST(WriteStyle, Backgrounds) {
    using vw::style::bg_xml;
    EXPECT_EQ(bg_xml(nullptr, {}, false), R"(<p:bg><p:bgRef idx="1001"><a:schemeClr val="bg1"/></p:bgRef></p:bg>)");
    const vw::Background solid{vw::Background::Solid{vw::SchemeColor{vw::SchemeColor::dark1}}};
    EXPECT_EQ(bg_xml(&solid, {}, true),
              R"(<p:bg><p:bgPr><a:solidFill><a:schemeClr val="lt1"/></a:solidFill><a:effectLst/></p:bgPr></p:bg>)");
    vw::Background::Gradient g;
    g.stops = {{vw::Rgb{1, 2, 3}, 0}, {vw::SchemeColor{vw::SchemeColor::accent2}, 150}};
    g.angle = 90;
    const vw::Background grad{g};
    EXPECT_EQ(bg_xml(&grad, {}, false),
              R"(<p:bg><p:bgPr><a:gradFill rotWithShape="1"><a:gsLst><a:gs pos="0"><a:srgbClr val="010203"/></a:gs><a:gs pos="100000"><a:schemeClr val="accent2"/></a:gs></a:gsLst><a:lin ang="5400000" scaled="0"/></a:gradFill><a:effectLst/></p:bgPr></p:bg>)");
    const vw::Background wide{vw::Background::Gradient{{}, 65535}};
    EXPECT_EQ(bg_xml(&wide, {}, false),
              R"(<p:bg><p:bgPr><a:gradFill rotWithShape="1"><a:gsLst></a:gsLst><a:lin ang="3932100000" scaled="0"/></a:gradFill><a:effectLst/></p:bgPr></p:bg>)");
    const vw::Background pic{vw::Background::Picture{{1, 2}}};
    EXPECT_EQ(bg_xml(&pic, "rId6", false),
              R"(<p:bg><p:bgPr><a:blipFill dpi="0" rotWithShape="1"><a:blip r:embed="rId6"/><a:srcRect/><a:stretch><a:fillRect/></a:stretch></a:blipFill><a:effectLst/></p:bgPr></p:bg>)");
}

TEST(WriteStyle, BodyLevels) {
    vw::Theme t = vw::Theme::make("t");
    const std::string xml = vw::style::body_levels_xml(t, 100);
    EXPECT_EQ(xml.substr(0, xml.find("</a:lvl1pPr>") + 12),
              R"(<a:lvl1pPr marL="228600" indent="-228600" algn="l" defTabSz="914400" rtl="0" eaLnBrk="1" latinLnBrk="0" hangingPunct="1"><a:lnSpc><a:spcPct val="90000"/></a:lnSpc><a:spcBef><a:spcPts val="1000"/></a:spcBef><a:buClr><a:schemeClr val="accent1"/></a:buClr><a:buFont typeface="Arial" panose="020B0604020202020204" pitchFamily="34" charset="0"/><a:buChar char="&#8226;"/><a:defRPr sz="2800" kern="1200"><a:solidFill><a:schemeClr val="tx1"/></a:solidFill><a:latin typeface="+mn-lt"/><a:ea typeface="+mn-ea"/><a:cs typeface="+mn-cs"/></a:defRPr></a:lvl1pPr>)");
    const char* sizes[] = {"2800", "2400", "2000", "1800", "1800", "1800", "1800", "1800", "1800"};
    for (int l = 1; l <= 9; ++l) {
        const std::string open = "<a:lvl" + std::to_string(l) + "pPr marL=\"" + std::to_string(228600 + (l - 1) * 457200) + "\"";
        const std::size_t at = xml.find(open);
        ASSERT_NE(at, std::string::npos) << l;
        const std::string level = xml.substr(at, xml.find("</a:lvl" + std::to_string(l) + "pPr>", at) - at);
        EXPECT_NE(level.find(std::string("<a:defRPr sz=\"") + sizes[l - 1] + "\""), std::string::npos) << l;
        EXPECT_NE(level.find(l == 1 ? "val=\"1000\"" : "val=\"500\""), std::string::npos) << l;
    }
    EXPECT_EQ(count(xml, "<a:buChar"), 9u);

    // Scaled and degenerate type sizes: 75 % of 28 is 21; a size of 0
    // floors at one point; huge values do not wrap.
    EXPECT_NE(vw::style::body_levels_xml(t, 75).find("sz=\"2100\""), std::string::npos);
    t.sizes.body = 0;
    const std::string zero = vw::style::body_levels_xml(t, 100);
    EXPECT_EQ(count(zero, "sz=\"100\""), 9u);
    t.sizes.body = std::numeric_limits<std::uint32_t>::max();
    const std::string huge = vw::style::body_levels_xml(t, std::numeric_limits<std::uint32_t>::max());
    EXPECT_NE(huge.find("sz=\"18446744065119617000\""), std::string::npos);
    EXPECT_NE(huge.find("<a:spcPts val=\"42949673000\"/>"), std::string::npos);
}

TEST(WriteParts, RelsIdsAndTargetModes) {
    vp::Rels rels;
    EXPECT_EQ(rels.add(REL + "slideLayout", "../slideLayouts/slideLayout1.xml"), "rId1");
    EXPECT_EQ(rels.add(REL + "hyperlink", "page.html"), "rId2");
    EXPECT_EQ(rels.add(REL + "image", "http://example.invalid/a?b=1&c=\"2\""), "rId3");
    ASSERT_NE(rels.find(REL + "hyperlink", "page.html"), nullptr);
    EXPECT_EQ(*rels.find(REL + "hyperlink", "page.html"), "rId2");
    EXPECT_EQ(rels.find(REL + "image", "page.html"), nullptr);
    const vp::PartOut part = vp::rels_part("x.rels", rels.entries);
    EXPECT_TRUE(part.deflate);
    EXPECT_EQ(str(part.data),
              DECL + R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
                     R"(<Relationship Id="rId1" Type=")" + REL + R"(slideLayout" Target="../slideLayouts/slideLayout1.xml"/>)"
                     R"(<Relationship Id="rId2" Type=")" + REL + R"(hyperlink" Target="page.html" TargetMode="External"/>)"
                     R"(<Relationship Id="rId3" Type=")" + REL + R"(image" Target="http://example.invalid/a?b=1&amp;c=&quot;2&quot;" TargetMode="External"/>)"
                     "</Relationships>");
    EXPECT_EQ(str(vp::rels_part("e", {}).data),
              DECL + R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"></Relationships>)");
}

TEST(WriteParts, PackageRelationshipsAndProperties) {
    EXPECT_EQ(vp::package_rels_xml(),
              DECL + R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
                     R"(<Relationship Id="rId1" Type=")" + REL + R"(officeDocument" Target="ppt/presentation.xml"/>)"
                     R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" Target="docProps/core.xml"/>)"
                     R"(<Relationship Id="rId3" Type=")" + REL + R"(extended-properties" Target="docProps/app.xml"/>)"
                     "</Relationships>");

    const std::string head =
        DECL + R"(<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/" xmlns:dcmitype="http://purl.org/dc/dcmitype/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">)";
    vw::Metadata md;
    EXPECT_EQ(vp::core_xml(md),
              head + R"(<dc:creator>vantrell</dc:creator><cp:lastModifiedBy>vantrell</cp:lastModifiedBy><cp:revision>1</cp:revision><dcterms:created xsi:type="dcterms:W3CDTF">2000-01-01T00:00:00Z</dcterms:created><dcterms:modified xsi:type="dcterms:W3CDTF">2000-01-01T00:00:00Z</dcterms:modified></cp:coreProperties>)");
    md.title = "A & <B> \"C\"";
    md.subject = "S";
    md.keywords = "k1, k2";
    md.creator = "";
    md.timestamp = "yesterday";
    EXPECT_EQ(vp::core_xml(md),
              head + R"(<dc:title>A &amp; &lt;B&gt; "C"</dc:title><dc:subject>S</dc:subject><dc:creator></dc:creator><cp:keywords>k1, k2</cp:keywords><cp:lastModifiedBy></cp:lastModifiedBy><cp:revision>1</cp:revision><dcterms:created xsi:type="dcterms:W3CDTF">yesterday</dcterms:created><dcterms:modified xsi:type="dcterms:W3CDTF">yesterday</dcterms:modified></cp:coreProperties>)");

    EXPECT_EQ(vp::app_xml(12192000, 6858000, 3, 1, 2),
              DECL + R"(<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/extended-properties" xmlns:vt="http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes"><Application>vantrell</Application><PresentationFormat>Widescreen</PresentationFormat><Slides>3</Slides><Notes>1</Notes><HiddenSlides>2</HiddenSlides><ScaleCrop>false</ScaleCrop><LinksUpToDate>false</LinksUpToDate><SharedDoc>false</SharedDoc><HyperlinksChanged>false</HyperlinksChanged><AppVersion>00.0100</AppVersion></Properties>)");
    EXPECT_NE(vp::app_xml(9144000, 6858000, 0, 0, 0).find(">On-screen Show (4:3)<"), std::string::npos);
    EXPECT_NE(vp::app_xml(6858000, 12192000, 0, 0, 0).find(">Custom<"), std::string::npos);
}

TEST(WriteParts, ContentTypes) {
    const vw::Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const vw::Bytes gif = {'G', 'I', 'F', '8', '9', 'a'};
    std::vector<vp::Media> media = {{"ppt/media/image1.gif", gif, {vw::ImageFormat::gif}},
                                    {"ppt/media/image2.png", png, {vw::ImageFormat::png}},
                                    {"ppt/media/image3.gif", gif, {vw::ImageFormat::gif}}};
    const std::vector<std::pair<std::string, std::string>> overrides = {
        {"/ppt/presentation.xml", vp::pml_type("presentation.main+xml")}, {"/a&b.xml", "t"}};
    const std::string head =
        DECL + R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/>)";
    EXPECT_EQ(vp::content_types_xml(overrides, true, media),
              head + R"(<Default Extension="fntdata" ContentType="application/x-fontdata"/><Default Extension="gif" ContentType="image/gif"/><Default Extension="png" ContentType="image/png"/><Override PartName="/ppt/presentation.xml" ContentType="application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"/><Override PartName="/a&amp;b.xml" ContentType="t"/></Types>)");
    EXPECT_EQ(vp::content_types_xml({}, false, {}), head + "</Types>");
}

TEST(WriteParts, GeometryNumbers) {
    const vp::Geometry g = vp::Geometry::compute(12192000, 6858000);
    EXPECT_EQ(g.title, (vw::Rect{838200, 365125, 10515600, 1325563}));
    EXPECT_EQ(g.body, (vw::Rect{838200, 1825625, 10515600, 4351338}));
    EXPECT_EQ(g.centred_title, (vw::Rect{838200, 1143000, 10515600, 2387600}));
    EXPECT_EQ(g.subtitle, (vw::Rect{1524000, 3622675, 9144000, 1655762}));
    EXPECT_EQ(g.full_body, (vw::Rect{838200, 457200, 10515600, 5719763}));
    EXPECT_EQ(g.gap, 304800);

    const vp::Geometry four3 = vp::Geometry::compute(9144000, 6858000);
    EXPECT_EQ(four3.title.x, 628650);
    EXPECT_EQ(four3.title.cx, 7886700);

    // A slide too short for the body boxes leaves them no height, never a
    // negative one.
    const vp::Geometry zero = vp::Geometry::compute(0, 0);
    EXPECT_EQ(zero.body, (vw::Rect{0, 1825625, 0, 0}));
    EXPECT_EQ(vp::Geometry::compute(914400, 914400).full_body.cy, 0);
    EXPECT_EQ(vp::Geometry::compute(914400, 2506663).body.cy, 1);

    // Extreme sizes saturate instead of wrapping.
    constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t MIN = std::numeric_limits<std::int64_t>::min();
    const vp::Geometry big = vp::Geometry::compute(MAX, MAX);
    EXPECT_GT(big.title.x, 0);
    EXPECT_GT(big.title.cx, 0);
    EXPECT_EQ(big.subtitle.y, MAX / 6 + 2479675);
    EXPECT_GT(big.subtitle.cx, MAX / 2);
    const vp::Geometry low = vp::Geometry::compute(MIN, MIN);
    EXPECT_EQ(low.body.cy, 0);
    EXPECT_EQ(low.full_body.cy, 0);
    EXPECT_LT(low.title.cx, 0);
}

TEST(WriteParts, SmallPresentationParts) {
    EXPECT_EQ(vp::pres_props_xml(),
              DECL + R"(<p:presentationPr xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships" xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main"/>)");
    EXPECT_EQ(vp::view_props_xml(),
              DECL + R"(<p:viewPr xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships" xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main"><p:normalViewPr><p:restoredLeft sz="15620"/><p:restoredTop sz="94660"/></p:normalViewPr><p:gridSpacing cx="76200" cy="76200"/></p:viewPr>)");
    EXPECT_EQ(vp::table_styles_xml(),
              DECL + R"(<a:tblStyleLst xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" def="{5C22544A-7EE6-4342-B048-85BDC9FD1C3A}"/>)");
}

TEST(WriteParts, PresentationPartAndRelationships) {
    vw::Presentation deck;
    const std::string none = vp::presentation_xml(deck, 0, false, {});
    EXPECT_EQ(none.find("sldIdLst"), std::string::npos);
    EXPECT_EQ(none.find("notesMaster"), std::string::npos);
    EXPECT_NE(none.find(R"( saveSubsetFonts="1"><p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id="rId1"/></p:sldMasterIdLst><p:sldSz cx="12192000" cy="6858000" type="screen16x9"/><p:notesSz cx="6858000" cy="9144000"/><p:defaultTextStyle><a:defPPr><a:defRPr lang="en-US"/></a:defPPr><a:lvl1pPr marL="0" algn="l")"),
              std::string::npos);
    EXPECT_NE(none.find(R"(<a:lvl9pPr marL="3657600" algn="l")"), std::string::npos);
    EXPECT_TRUE(none.ends_with("</a:lvl9pPr></p:defaultTextStyle></p:presentation>"));

    const auto rels0 = vp::presentation_rels(0, false, 0);
    ASSERT_EQ(rels0.size(), 5u);
    const char* want0[] = {"slideMaster", "presProps", "viewProps", "theme", "tableStyles"};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(rels0[i].id, "rId" + std::to_string(i + 1));
        EXPECT_EQ(rels0[i].type, REL + want0[i]);
    }

    // Three slides, notes, two fonts of one family.
    vp::FontPart regular{"Fam & Co", {2, 11, 6, 4, 2, 2, 2, 2, 2, 4}, false, false, false, {}};
    vp::FontPart bold = regular;
    bold.bold = true;
    const std::string three = vp::presentation_xml(deck, 3, true, {regular, bold});
    EXPECT_NE(three.find(R"(xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main" embedTrueTypeFonts="1" saveSubsetFonts="1">)"),
              std::string::npos);
    EXPECT_NE(three.find(R"(<p:notesMasterIdLst><p:notesMasterId r:id="rId2"/></p:notesMasterIdLst><p:sldIdLst><p:sldId id="256" r:id="rId3"/><p:sldId id="257" r:id="rId4"/><p:sldId id="258" r:id="rId5"/></p:sldIdLst>)"),
              std::string::npos);
    EXPECT_NE(three.find(R"(<p:embeddedFontLst><p:embeddedFont><p:font typeface="Fam &amp; Co" panose="020B0604020202020204" pitchFamily="34" charset="0"/><p:regular r:id="rId10"/><p:bold r:id="rId11"/></p:embeddedFont></p:embeddedFontLst>)"),
              std::string::npos);
    const auto rels3 = vp::presentation_rels(3, true, 2);
    ASSERT_EQ(rels3.size(), 11u);
    EXPECT_EQ(rels3[1].target, "notesMasters/notesMaster1.xml");
    EXPECT_EQ(rels3[4].target, "slides/slide3.xml");
    EXPECT_EQ(rels3[5].id, "rId6");
    EXPECT_EQ(rels3[5].type, REL + "presProps");
    EXPECT_EQ(rels3[8].id, "rId9");
    EXPECT_EQ(rels3[8].type, REL + "tableStyles");
    EXPECT_EQ(rels3[9].id, "rId10");
    EXPECT_EQ(rels3[10].target, "fonts/font2.fntdata");

    // The last file of a style wins; a family with only an italic file.
    vp::FontPart italic{"Other", {}, false, true, true, {}};
    const std::string mixed = vp::presentation_xml(deck, 0, false, {regular, italic, regular});
    EXPECT_NE(mixed.find(R"(<p:regular r:id="rId8"/></p:embeddedFont>)"), std::string::npos);
    EXPECT_NE(mixed.find(R"(<p:font typeface="Other" panose="00000000000000000000" pitchFamily="49" charset="0"/><p:italic r:id="rId7"/></p:embeddedFont>)"),
              std::string::npos);

    deck.cx = 6858000;
    deck.cy = 12192000;
    EXPECT_NE(vp::presentation_xml(deck, 0, false, {}).find(R"(<p:sldSz cx="6858000" cy="12192000"/>)"), std::string::npos);
    deck.cx = 9144000;
    deck.cy = 6858000;
    EXPECT_NE(vp::presentation_xml(deck, 0, false, {}).find(R"(type="screen4x3"/>)"), std::string::npos);
}

TEST(WriteParts, PitchAndFamily) {
    auto pf = [](std::uint8_t kind, std::uint8_t serif, bool fixed) {
        vp::FontPart f;
        f.panose[0] = kind;
        f.panose[1] = serif;
        f.fixed_pitch = fixed;
        return vp::pitch_family(f);
    };
    EXPECT_EQ(pf(2, 11, false), 34u);
    EXPECT_EQ(pf(2, 15, false), 34u);
    EXPECT_EQ(pf(2, 2, false), 18u);
    EXPECT_EQ(pf(2, 10, false), 18u);
    EXPECT_EQ(pf(2, 1, false), 2u);
    EXPECT_EQ(pf(2, 16, false), 2u);
    EXPECT_EQ(pf(3, 0, false), 66u);
    EXPECT_EQ(pf(4, 0, false), 82u);
    EXPECT_EQ(pf(5, 0, false), 2u);
    EXPECT_EQ(pf(2, 11, true), 49u);
}

TEST(WriteParts, Theme) {
    vw::Theme t = *vw::Theme::preset("dark");
    t.name = "R&D";
    t.major_font = "";
    const std::string xml = vp::theme_xml(t);
    EXPECT_TRUE(xml.starts_with(DECL + R"(<a:theme xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" name="R&amp;D"><a:themeElements><a:clrScheme name="R&amp;D"><a:dk1><a:srgbClr val="F5F5F5"/></a:dk1><a:lt1><a:srgbClr val="1E1E1E"/></a:lt1><a:dk2><a:srgbClr val="D0D0D0"/></a:dk2><a:lt2><a:srgbClr val="2D2D2D"/></a:lt2><a:accent1><a:srgbClr val="4FC3F7"/></a:accent1>)"));
    EXPECT_NE(xml.find(R"(<a:folHlink><a:srgbClr val="CE93D8"/></a:folHlink></a:clrScheme><a:fontScheme name="R&amp;D"><a:majorFont><a:latin typeface=""/><a:ea typeface=""/><a:cs typeface=""/></a:majorFont><a:minorFont><a:latin typeface="Calibri"/><a:ea typeface=""/><a:cs typeface=""/></a:minorFont></a:fontScheme><a:fmtScheme name="R&amp;D"><a:fillStyleLst><a:solidFill><a:schemeClr val="phClr"/></a:solidFill>)"),
              std::string::npos);
    EXPECT_NE(xml.find(R"(<a:ln w="19050" cap="flat" cmpd="sng" algn="ctr"><a:solidFill><a:schemeClr val="phClr"/></a:solidFill><a:prstDash val="solid"/></a:ln></a:lnStyleLst>)"),
              std::string::npos);
    EXPECT_TRUE(xml.ends_with(R"(<a:solidFill><a:schemeClr val="phClr"/></a:solidFill></a:bgFillStyleLst></a:fmtScheme></a:themeElements><a:objectDefaults/><a:extraClrSchemeLst/></a:theme>)"));
    EXPECT_EQ(count(xml, "phClr"), 9u);
    t.inverted = false;
    EXPECT_NE(vp::theme_xml(t).find(R"(<a:dk1><a:srgbClr val="1E1E1E"/></a:dk1>)"), std::string::npos);
}

TEST(WriteParts, MasterLayoutsAndNotesMaster) {
    vw::Presentation deck;
    deck.theme = *vw::Theme::preset("dark");
    const vw::Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    deck.theme.background = vw::Background{vw::Background::Picture{png}};
    deck.theme = std::move(deck.theme).layout_background(
        vw::Layout::title, vw::Background{vw::Background::Solid{vw::Rgb{1, 1, 1}}}, false);
    deck.theme = std::move(deck.theme).layout_background(
        vw::Layout::blank, vw::Background{vw::Background::Picture{png}}, true);
    const vp::Geometry g = vp::Geometry::compute(deck.cx, deck.cy);
    vp::Ctx ctx(deck);

    vp::Rels master_rels;
    auto master = vp::slide_master_xml(ctx, g, master_rels);
    ASSERT_TRUE(master.has_value());
    ASSERT_EQ(master_rels.entries.size(), 6u);
    EXPECT_EQ(master_rels.entries[4].target, "../theme/theme1.xml");
    EXPECT_EQ(master_rels.entries[5].target, "../media/image1.png");
    EXPECT_NE(master->find(R"(<p:cSld><p:bg><p:bgPr><a:blipFill dpi="0" rotWithShape="1"><a:blip r:embed="rId6"/>)"), std::string::npos);
    // The master keeps the normal map even for an inverted theme.
    EXPECT_NE(master->find(R"(<p:clrMap bg1="lt1" tx1="dk1" bg2="lt2" tx2="dk2" )"), std::string::npos);
    EXPECT_NE(master->find(R"(<p:sp><p:nvSpPr><p:cNvPr id="2" name="Title Placeholder 1"/><p:cNvSpPr><a:spLocks noGrp="1"/></p:cNvSpPr><p:nvPr><p:ph type="title"/></p:nvPr></p:nvSpPr><p:spPr><a:xfrm><a:off x="838200" y="365125"/><a:ext cx="10515600" cy="1325563"/></a:xfrm><a:prstGeom prst="rect"><a:avLst/></a:prstGeom></p:spPr><p:txBody><a:bodyPr vert="horz" lIns="91440" tIns="45720" rIns="91440" bIns="45720" rtlCol="0" anchor="ctr"><a:normAutofit/></a:bodyPr><a:lstStyle/><a:p><a:r><a:rPr lang="en-US"/><a:t>Click to edit Master title style</a:t></a:r><a:endParaRPr lang="en-US"/></a:p></p:txBody></p:sp>)"),
              std::string::npos);
    EXPECT_NE(master->find(R"(<p:sldLayoutId id="2147483652" r:id="rId4"/></p:sldLayoutIdLst>)"), std::string::npos);
    EXPECT_NE(master->find(R"(<a:buNone/><a:defRPr sz="4400" kern="1200">)"), std::string::npos);

    std::string layouts[4];
    vp::Rels layout_rels[4];
    for (int i = 0; i < 4; ++i) {
        auto x = vp::slide_layout_xml(ctx, g, static_cast<vw::Layout>(i), layout_rels[i]);
        ASSERT_TRUE(x.has_value());
        layouts[i] = *x;
    }
    const std::string ns = std::string(vp::ARP_NS);
    EXPECT_TRUE(layouts[0].starts_with(DECL + "<p:sldLayout" + ns + R"( type="title" preserve="1"><p:cSld name="Title Slide"><p:bg><p:bgPr><a:solidFill><a:srgbClr val="010101"/>)"));
    // Not inverted: its own background but the master's mapping.
    EXPECT_TRUE(layouts[0].ends_with("</p:spTree></p:cSld><p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr></p:sldLayout>"));
    EXPECT_NE(layouts[0].find(R"(<a:bodyPr anchor="b"/><a:lstStyle><a:lvl1pPr algn="ctr"><a:defRPr sz="5400"><a:solidFill><a:schemeClr val="accent1"/></a:solidFill></a:defRPr></a:lvl1pPr></a:lstStyle>)"), std::string::npos);
    EXPECT_NE(layouts[0].find(R"(<a:off x="1524000" y="3622675"/>)"), std::string::npos);
    EXPECT_EQ(layouts[1], DECL + "<p:sldLayout" + ns + R"( type="obj" preserve="1"><p:cSld name="Title and Content"><p:spTree>)" + std::string(vp::GROUP_HEADER) +
                              R"(<p:sp><p:nvSpPr><p:cNvPr id="2" name="Title 1"/><p:cNvSpPr><a:spLocks noGrp="1"/></p:cNvSpPr><p:nvPr><p:ph type="title"/></p:nvPr></p:nvSpPr><p:spPr/><p:txBody><a:bodyPr/><a:lstStyle/><a:p><a:r><a:rPr lang="en-US"/><a:t>Click to edit Master title style</a:t></a:r><a:endParaRPr lang="en-US"/></a:p></p:txBody></p:sp>)"
                              R"(<p:sp><p:nvSpPr><p:cNvPr id="3" name="Content Placeholder 2"/><p:cNvSpPr><a:spLocks noGrp="1"/></p:cNvSpPr><p:nvPr><p:ph idx="1"/></p:nvPr></p:nvSpPr><p:spPr/><p:txBody><a:bodyPr/><a:lstStyle/><a:p><a:r><a:rPr lang="en-US"/><a:t>Click to edit Master text styles</a:t></a:r><a:endParaRPr lang="en-US"/></a:p></p:txBody></p:sp>)"
                              "</p:spTree></p:cSld><p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr></p:sldLayout>");
    EXPECT_EQ(count(layouts[2], "<p:sp>"), 1u);
    EXPECT_EQ(count(layouts[3], "<p:sp>"), 0u);
    EXPECT_NE(layouts[3].find(R"(<a:blip r:embed="rId2"/>)"), std::string::npos);
    EXPECT_TRUE(layouts[3].ends_with(R"(<p:clrMapOvr><a:overrideClrMapping bg1="dk1" tx1="lt1" bg2="dk2" tx2="lt2" accent1="accent1" accent2="accent2" accent3="accent3" accent4="accent4" accent5="accent5" accent6="accent6" hlink="hlink" folHlink="folHlink"/></p:clrMapOvr></p:sldLayout>)"));
    EXPECT_EQ(layout_rels[3].entries.size(), 2u);
    EXPECT_EQ(layout_rels[3].entries[1].target, "../media/image2.png");
    EXPECT_EQ(ctx.media.size(), 2u);
    EXPECT_EQ(ctx.pictures, 0u);

    const std::string notes = vp::notes_master_xml(deck.theme);
    EXPECT_NE(notes.find(R"(<p:clrMap bg1="dk1" tx1="lt1" bg2="dk2" tx2="lt2" )"), std::string::npos);
    EXPECT_NE(notes.find(R"(<p:ph type="body" sz="quarter" idx="3"/></p:nvPr></p:nvSpPr><p:spPr><a:xfrm><a:off x="685800" y="4400550"/><a:ext cx="5486400" cy="3600450"/></a:xfrm>)"), std::string::npos);
    EXPECT_NE(vp::notes_master_xml(vw::Theme::make("o")).find(R"(<p:clrMap bg1="lt1")"), std::string::npos);

    // An unrecognised background picture fails the master.
    deck.theme.background = vw::Background{vw::Background::Picture{{1, 2, 3}}};
    vp::Ctx ctx2(deck);
    vp::Rels r2;
    EXPECT_EQ(vp::slide_master_xml(ctx2, g, r2).error(), vw::Error::background_image());
    EXPECT_TRUE(ctx2.media.empty());
}
