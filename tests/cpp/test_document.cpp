#include "core/document.h"
#include "core/markdown.h"
#include "core/text.h"

#include "testkit.h"
#include "corpus.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numeric>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace doc = vantrell_core::document;
namespace zip = vantrell_core::zip;
using Bytes = std::vector<std::uint8_t>;
using vantrell_core::pml::RelKind;

namespace {

// ---------------------------------------------------------------------------
// Fixture builders

using testkit::Zip;

vantrell_core::Result<doc::Document> open_bytes(Bytes data) {
    return doc::Document::from_source(std::make_shared<zip::MemorySource>(std::move(data)));
}

doc::Document open_ok(const Zip& z) {
    auto d = open_bytes(z.build());
    if (!d) throw std::runtime_error("open failed: " + d.error().message());
    return std::move(*d);
}

std::string open_error(Bytes data) {
    auto d = open_bytes(std::move(data));
    return d ? std::string("opened") : d.error().message();
}

const std::string P_NS = "http://schemas.openxmlformats.org/presentationml/2006/main";
const std::string A_NS = "http://schemas.openxmlformats.org/drawingml/2006/main";
const std::string R_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const std::string PKG_NS = "http://schemas.openxmlformats.org/package/2006/relationships";
const std::string P188_NS = "http://schemas.microsoft.com/office/powerpoint/2018/8/main";
const std::string MAIN_CT = "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml";
const std::string NS_DECL = " xmlns:p=\"" + P_NS + "\" xmlns:a=\"" + A_NS + "\" xmlns:r=\"" + R_NS + "\"";

std::string content_types(const std::string& overrides) {
    return "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"png\" ContentType=\"image/png\"/>" +
           overrides + "</Types>";
}

std::string rel(const std::string& id, const std::string& type, const std::string& target, bool external = false) {
    return "<Relationship Id=\"" + id + "\" Type=\"" + type + "\" Target=\"" + target + "\"" +
           (external ? " TargetMode=\"External\"" : "") + "/>";
}
std::string r_type(const std::string& name) { return R_NS + "/" + name; }
std::string rels(const std::string& body) { return "<Relationships xmlns=\"" + PKG_NS + "\">" + body + "</Relationships>"; }

std::string presentation(const std::string& slide_ids, const std::string& extra = "") {
    return "<p:presentation" + NS_DECL + "><p:sldIdLst>" + slide_ids +
           "</p:sldIdLst><p:sldSz cx=\"9144000\" cy=\"6858000\"/>" + extra + "</p:presentation>";
}
std::string sld_id(std::uint32_t id, const std::string& rid) {
    return "<p:sldId id=\"" + std::to_string(id) + "\" r:id=\"" + rid + "\"/>";
}

std::string tree(const std::string& root, const std::string& shapes) {
    return "<p:" + root + NS_DECL + "><p:cSld><p:spTree><p:nvGrpSpPr><p:cNvPr id=\"1\" name=\"\"/><p:cNvGrpSpPr/>"
           "<p:nvPr/></p:nvGrpSpPr><p:grpSpPr/>" + shapes + "</p:spTree></p:cSld></p:" + root + ">";
}
std::string sld(const std::string& shapes) { return tree("sld", shapes); }

std::string sp(int id, const std::string& text, const std::string& ph = "") {
    return "<p:sp><p:nvSpPr><p:cNvPr id=\"" + std::to_string(id) + "\" name=\"s" + std::to_string(id) +
           "\"/><p:cNvSpPr/><p:nvPr>" + (ph.empty() ? "" : "<p:ph type=\"" + ph + "\"/>") +
           "</p:nvPr></p:nvSpPr><p:spPr/><p:txBody><a:bodyPr/><a:p><a:r><a:t>" + text +
           "</a:t></a:r></a:p></p:txBody></p:sp>";
}
std::string pic(int id, const std::string& blip_attrs) {
    return "<p:pic><p:nvPicPr><p:cNvPr id=\"" + std::to_string(id) + "\" name=\"p\"/><p:cNvPicPr/><p:nvPr/>"
           "</p:nvPicPr><p:blipFill><a:blip " + blip_attrs + "/></p:blipFill><p:spPr/></p:pic>";
}
std::string frame(int id, const std::string& uri, const std::string& inner) {
    return "<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id=\"" + std::to_string(id) +
           "\" name=\"f\"/><p:cNvGraphicFramePr/><p:nvPr/></p:nvGraphicFramePr><p:xfrm><a:off x=\"0\" y=\"0\"/>"
           "<a:ext cx=\"1\" cy=\"1\"/></p:xfrm><a:graphic><a:graphicData uri=\"" + uri + "\">" + inner +
           "</a:graphicData></a:graphic></p:graphicFrame>";
}
std::string chart_frame(int id, const std::string& rid) {
    return frame(id, "http://schemas.openxmlformats.org/drawingml/2006/chart",
                 "<c:chart xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" r:id=\"" + rid + "\"/>");
}
std::string diagram_frame(int id, const std::string& rid) {
    return frame(id, "http://schemas.openxmlformats.org/drawingml/2006/diagram",
                 "<dgm:relIds xmlns:dgm=\"http://schemas.openxmlformats.org/drawingml/2006/diagram\" r:dm=\"" + rid +
                     "\" r:lo=\"x\" r:qs=\"y\" r:cs=\"z\"/>");
}
std::string ole_frame(int id, const std::string& rid, const std::string& prog) {
    return frame(id, "http://schemas.openxmlformats.org/presentationml/2006/ole",
                 "<p:oleObj progId=\"" + prog + "\" r:id=\"" + rid + "\"/>");
}

const std::string CHART =
    "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:chart><c:plotArea>"
    "<c:barChart/></c:plotArea></c:chart></c:chartSpace>";
const std::string DIAGRAM =
    "<dgm:dataModel xmlns:dgm=\"http://schemas.openxmlformats.org/drawingml/2006/diagram\" xmlns:a=\"" + A_NS +
    "\"><dgm:ptLst><dgm:pt modelId=\"0\" type=\"doc\"/><dgm:pt modelId=\"1\"><dgm:t><a:p><a:r><a:t>Alpha</a:t>"
    "</a:r></a:p></dgm:t></dgm:pt></dgm:ptLst><dgm:cxnLst><dgm:cxn modelId=\"9\" srcId=\"0\" destId=\"1\" "
    "srcOrd=\"0\"/></dgm:cxnLst></dgm:dataModel>";

// Binary that a text read would change: a UTF-16 byte-order mark first.
const Bytes IMAGE = {0xFF, 0xFE, '<', 0, '?', 0, 0x00, 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A};

// A two-slide deck that uses every per-slide service.
Zip full_deck() {
    Zip z;
    z.add("[Content_Types].xml",
          content_types("<Override PartName=\"/ppt/presentation.xml\" ContentType=\"" + MAIN_CT + "\"/>"));
    z.add("_rels/.rels",
          rels(rel("rId1", r_type("officeDocument"), "ppt/presentation.xml") +
               rel("rId2", PKG_NS + "/metadata/core-properties", "docProps/core.xml") +
               rel("rId3", r_type("extended-properties"), "docProps/app.xml")));
    z.add("docProps/core.xml",
          "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
          "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title> Quarterly </dc:title><dc:creator/>"
          "</cp:coreProperties>");
    z.add("docProps/app.xml",
          "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\">"
          "<Application>Deck Maker</Application><Slides>2</Slides></Properties>");
    z.add("ppt/presentation.xml",
          presentation(sld_id(256, "rId2") + sld_id(257, "rId3"),
                       "<p:extLst><p:ext uri=\"{521415D9-36F7-43E2-AB2F-B90AF26B5E84}\">"
                       "<p14:sectionLst xmlns:p14=\"http://schemas.microsoft.com/office/powerpoint/2010/main\">"
                       "<p14:section name=\"Intro\"><p14:sldIdLst><p14:sldId id=\"257\"/><p14:sldId id=\"999\"/>"
                       "<p14:sldId id=\"256\"/></p14:sldIdLst></p14:section><p14:section name=\"Empty\"/>"
                       "</p14:sectionLst></p:ext></p:extLst>"));
    z.add("ppt/_rels/presentation.xml.rels",
          rels(rel("rId2", r_type("slide"), "slides/slide1.xml") + rel("rId3", r_type("slide"), "slides/slide2.xml") +
               rel("rId8", r_type("commentAuthors"), "commentAuthors.xml") +
               rel("rId9", "http://schemas.microsoft.com/office/2018/10/relationships/authors", "authors.xml")));
    z.add("ppt/commentAuthors.xml", "<p:cmAuthorLst" + NS_DECL +
                                        "><p:cmAuthor id=\"0\" name=\"Bob\" initials=\"B\" lastIdx=\"1\" "
                                        "clrIdx=\"0\"/></p:cmAuthorLst>");
    z.add("ppt/authors.xml", "<p188:authorLst xmlns:p188=\"" + P188_NS +
                                 "\"><p188:author id=\"{A1}\" name=\"Ada\" initials=\"AL\" userId=\"a\" "
                                 "providerId=\"None\"/></p188:authorLst>");
    z.add("ppt/slides/slide1.xml",
          sld(sp(2, "First", "title") + pic(3, "r:embed=\"rId2\"") + pic(4, "r:link=\"rId3\"") +
              "<p:grpSp><p:nvGrpSpPr><p:cNvPr id=\"5\" name=\"g\"/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr><p:grpSpPr/>" +
              chart_frame(6, "rId4") + "</p:grpSp>" + diagram_frame(7, "rId5") + ole_frame(8, "rId6", "Excel.Sheet.12") +
              pic(9, "r:embed=\"rId99\"")));
    z.add("ppt/slides/_rels/slide1.xml.rels",
          rels(rel("rId1", r_type("slideLayout"), "../slideLayouts/slideLayout1.xml") +
               rel("rId2", r_type("image"), "../media/image1.png") +
               rel("rId3", r_type("image"), "http://example.com/pic.png", true) +
               rel("rId4", r_type("chart"), "../charts/chart1.xml") +
               rel("rId5", r_type("diagramData"), "../diagrams/data1.xml") +
               rel("rId6", r_type("oleObject"), "../embeddings/oleObject1.bin") +
               rel("rId7", r_type("hyperlink"), "https://example.com/a?b=1&amp;c=2", true) +
               rel("rId8", r_type("notesSlide"), "../notesSlides/notesSlide1.xml") +
               rel("rId9", r_type("comments"), "../comments/comment1.xml") +
               rel("rId10", "http://schemas.microsoft.com/office/2018/10/relationships/comments",
                   "../comments/modernComment_1.xml") +
               rel("rId11", r_type("slide"), "slide2.xml")));
    z.add("ppt/slideLayouts/slideLayout1.xml", tree("sldLayout", ""));
    z.add_bytes("ppt/media/image1.png", IMAGE);
    z.add("ppt/charts/chart1.xml", CHART);
    z.add("ppt/diagrams/data1.xml", DIAGRAM);
    z.add_bytes("ppt/embeddings/oleObject1.bin", Bytes{0xD0, 0xCF, 0x11, 0xE0, 0x00, 0xFF});
    z.add("ppt/notesSlides/notesSlide1.xml",
          tree("notes", sp(2, "", "sldImg") + sp(3, "Speak slowly", "body") + sp(4, "7", "sldNum") +
                            sp(5, "Extra note")));
    z.add("ppt/comments/comment1.xml", "<p:cmLst" + NS_DECL +
                                           "><p:cm authorId=\"0\" dt=\"2020-01-01T00:00:00\" idx=\"1\">"
                                           "<p:pos x=\"0\" y=\"0\"/><p:text>Legacy one</p:text></p:cm></p:cmLst>");
    z.add("ppt/comments/modernComment_1.xml",
          "<p188:cmLst xmlns:p188=\"" + P188_NS + "\" xmlns:a=\"" + A_NS +
              "\"><p188:cm id=\"{C1}\" authorId=\"{A1}\" created=\"2021-01-01T00:00:00Z\"><p188:txBody><a:bodyPr/>"
              "<a:p><a:r><a:t>Parent</a:t></a:r></a:p></p188:txBody><p188:replyLst><p188:reply id=\"{R1}\" "
              "authorId=\"{A1}\" created=\"2021-01-02T00:00:00Z\"><p188:txBody><a:bodyPr/><a:p><a:r><a:t>Child"
              "</a:t></a:r></a:p></p188:txBody></p188:reply></p188:replyLst></p188:cm></p188:cmLst>");
    z.add("ppt/slides/slide2.xml", sld(sp(2, "Second", "ctrTitle")));
    z.add("ppt/slides/_rels/slide2.xml.rels", rels(rel("rId1", r_type("comments"), "../comments/comment1.xml")));
    return z;
}

// A deck of `n` slides titled "S0", "S1", ...; slide `bad` (if any) is malformed.
Zip numbered_deck(std::size_t n, std::size_t bad = SIZE_MAX) {
    Zip z;
    z.add("[Content_Types].xml", content_types(""));
    z.add("_rels/.rels", rels(rel("rId1", r_type("officeDocument"), "ppt/presentation.xml")));
    std::string ids, prels;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string rid = "rId" + std::to_string(i + 1);
        const std::string name = "slide" + std::to_string(i + 1) + ".xml";
        ids += sld_id(static_cast<std::uint32_t>(256 + i), rid);
        prels += rel(rid, r_type("slide"), "slides/" + name);
        z.add("ppt/slides/" + name, i == bad ? std::string("<p:sld") : sld(sp(2, "S" + std::to_string(i), "title")));
    }
    z.add("ppt/presentation.xml", presentation(ids));
    z.add("ppt/_rels/presentation.xml.rels", rels(prels));
    return z;
}

// Paragraphs "name:level" with optional own bullet markup, and a list style.
std::string styled_sp(int id, const std::string& ph, const std::string& lst,
                      const std::vector<std::pair<int, std::string>>& paras) {
    std::string body;
    for (const auto& [level, bullet] : paras)
        body += "<a:p><a:pPr lvl=\"" + std::to_string(level) + "\">" + bullet + "</a:pPr><a:r><a:t>p" +
                std::to_string(level) + "</a:t></a:r></a:p>";
    return "<p:sp><p:nvSpPr><p:cNvPr id=\"" + std::to_string(id) + "\" name=\"s" + std::to_string(id) +
           "\"/><p:cNvSpPr/><p:nvPr>" + ph + "</p:nvPr></p:nvSpPr><p:spPr/><p:txBody><a:bodyPr/><a:lstStyle>" + lst +
           "</a:lstStyle>" + body + "</p:txBody></p:sp>";
}

std::string lvl(int n, const std::string& bullet) {
    return "<a:lvl" + std::to_string(n) + "pPr marL=\"1\"><a:spcBef/>" + bullet + "<a:defRPr/></a:lvl" +
           std::to_string(n) + "pPr>";
}
std::string bu_char(const std::string& c) { return "<a:buFont typeface=\"Arial\"/><a:buChar char=\"" + c + "\"/>"; }
std::string bu_num(const std::string& scheme, int start = 1) {
    return "<a:buAutoNum type=\"" + scheme + "\" startAt=\"" + std::to_string(start) + "\"/>";
}
const std::string BU_NONE = "<a:buNone/>";

std::string master_xml(const std::string& shapes, const std::string& body_style, const std::string& other_style) {
    std::string m = tree("sldMaster", shapes);
    m.insert(m.rfind("</p:sldMaster>"), "<p:txStyles><p:titleStyle>" + lvl(1, BU_NONE) + "</p:titleStyle><p:bodyStyle>" +
                                            body_style + "</p:bodyStyle><p:otherStyle>" + other_style +
                                            "</p:otherStyle></p:txStyles>");
    return m;
}

// Two masters, three layouts, five slides: what each paragraph inherits is
// decided at a different step of the chain.
Zip bullets_deck() {
    Zip z;
    z.add("[Content_Types].xml",
          content_types("<Override PartName=\"/ppt/presentation.xml\" ContentType=\"" + MAIN_CT + "\"/>"));
    z.add("_rels/.rels", rels(rel("rId1", r_type("officeDocument"), "ppt/presentation.xml")));
    std::string ids, prels;
    for (int i = 1; i <= 5; ++i) {
        ids += sld_id(static_cast<std::uint32_t>(255 + i), "rIdS" + std::to_string(i));
        prels += rel("rIdS" + std::to_string(i), r_type("slide"), "slides/slide" + std::to_string(i) + ".xml");
    }
    z.add("ppt/presentation.xml",
          "<p:presentation" + NS_DECL + "><p:sldMasterIdLst><p:sldMasterId id=\"2147483648\" r:id=\"rIdM1\"/>"
          "<p:sldMasterId id=\"2147483650\" r:id=\"rIdM2\"/></p:sldMasterIdLst><p:sldIdLst>" + ids +
          "</p:sldIdLst></p:presentation>");
    z.add("ppt/_rels/presentation.xml.rels",
          rels(prels + rel("rIdM1", r_type("slideMaster"), "slideMasters/slideMaster1.xml") +
               rel("rIdM2", r_type("slideMaster"), "slideMasters/slideMaster2.xml")));
    z.add("ppt/slideMasters/slideMaster1.xml",
          master_xml(styled_sp(2, "<p:ph type=\"title\"/>", "", {}) +
                         styled_sp(3, "<p:ph type=\"body\" idx=\"1\"/>", lvl(3, bu_num("arabicParenR")), {}),
                     lvl(1, bu_char("\u2022")) + lvl(2, bu_char("\u2013")) + lvl(3, bu_char("x")) + lvl(4, BU_NONE),
                     lvl(2, bu_char("o"))));
    z.add("ppt/slideMasters/slideMaster2.xml",
          master_xml(styled_sp(2, "<p:ph type=\"body\"/>", "", {}), lvl(1, bu_char("#")), ""));
    z.add("ppt/slideLayouts/slideLayout1.xml",
          tree("sldLayout", styled_sp(2, "<p:ph type=\"title\"/>", "", {}) + styled_sp(3, "<p:ph idx=\"1\"/>", "", {})));
    // Malformed only where styles are not read (a repeated attribute): its styles still count.
    std::string layout2 = tree("sldLayout", styled_sp(3, "<p:ph type=\"body\" idx=\"1\"/>", lvl(1, BU_NONE), {}));
    layout2.replace(layout2.find("<p:spPr/>"), 9, "<p:spPr><a:off x=\"1\" x=\"2\"/></p:spPr>");
    z.add("ppt/slideLayouts/slideLayout2.xml", layout2);
    z.add("ppt/slideLayouts/slideLayout3.xml",
          tree("sldLayout", styled_sp(3, "<p:ph type=\"body\" idx=\"13\"/>", lvl(1, bu_num("alphaUcPeriod", 3)), {}) +
                                styled_sp(4, "<p:ph type=\"subTitle\" idx=\"2\"/>", "", {}) +
                                // Neither its idx nor its type is the first of its kind.
                                styled_sp(5, "<p:ph type=\"body\" idx=\"13\"/>", lvl(1, BU_NONE), {})));
    for (int i = 1; i <= 3; ++i)
        z.add("ppt/slideLayouts/_rels/slideLayout" + std::to_string(i) + ".xml.rels",
              rels(rel("rId1", r_type("slideMaster"),
                       i == 3 ? "../slideMasters/slideMaster2.xml" : "../slideMasters/slideMaster1.xml")));
    const auto slide = [&](int n, int layout, const std::string& shapes) {
        z.add("ppt/slides/slide" + std::to_string(n) + ".xml", sld(shapes));
        z.add("ppt/slides/_rels/slide" + std::to_string(n) + ".xml.rels",
              layout ? rels(rel("rId1", r_type("slideLayout"), "../slideLayouts/slideLayout" + std::to_string(layout) +
                                                                   ".xml"))
                     : rels(""));
    };
    const std::vector<std::pair<int, std::string>> levels = {{0, ""}, {1, ""}, {2, ""}, {3, ""}, {5, ""}};
    slide(1, 1,
          styled_sp(2, "<p:ph type=\"title\"/>", "", {{0, bu_char("*")}}) +
              styled_sp(3, "<p:ph idx=\"1\"/>", "", levels) +
              styled_sp(4, "<p:ph idx=\"1\"/>", lvl(1, bu_num("romanLcPeriod")),
                        {{0, ""}, {0, BU_NONE}, {0, bu_char("+")}}) +
              styled_sp(5, "", "", {{0, ""}, {1, ""}}));
    slide(2, 2, styled_sp(3, "<p:ph type=\"body\" idx=\"1\"/>", "", {{0, ""}, {1, ""}}));
    slide(3, 3,
          styled_sp(3, "<p:ph type=\"body\" idx=\"13\"/>", "", {{0, ""}}) +
              styled_sp(4, "<p:ph type=\"body\" idx=\"99\"/>", "", {{0, ""}}) +
              styled_sp(5, "<p:ph type=\"subTitle\" idx=\"2\"/>", "", {{0, ""}}));
    // A slide without a layout, and one whose layout part is malformed.
    slide(4, 0, styled_sp(3, "<p:ph idx=\"1\"/>", "", {{0, ""}}) + styled_sp(4, "", "", {{0, ""}}));
    slide(5, 4, styled_sp(3, "<p:ph idx=\"1\"/>", "", {{0, ""}}));
    z.add("ppt/slideLayouts/slideLayout4.xml", "<p:sldLayout" + NS_DECL + "><p:cSld>");
    return z;
}

std::vector<std::string> slide_parts(const doc::Document& d) {
    std::vector<std::string> out;
    for (const auto& s : d.shared()->slides) out.push_back(s.part);
    return out;
}

// ---------------------------------------------------------------------------
// A minimal compound file: version 3, one FAT sector, one directory sector.
struct DirNode {
    std::string name;
    std::uint8_t type; // 1 storage, 2 stream, 5 root
    std::uint32_t left = 0xFFFFFFFF, right = 0xFFFFFFFF, child = 0xFFFFFFFF;
};

Bytes compound(const std::vector<DirNode>& nodes) {
    Bytes f(512 * 3, 0);
    auto put16 = [&](std::size_t at, std::uint32_t v) {
        f[at] = static_cast<std::uint8_t>(v);
        f[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    const std::uint8_t sig[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(sig), std::end(sig), f.begin());
    put16(0x18, 0x3E); put16(0x1A, 3); put16(0x1C, 0xFFFE); put16(0x1E, 9); put16(0x20, 6);
    put32(0x2C, 1);            // FAT sectors
    put32(0x30, 1);            // first directory sector
    put32(0x38, 4096);         // mini stream cutoff
    put32(0x3C, 0xFFFFFFFE);   // no mini FAT
    put32(0x44, 0xFFFFFFFE);   // no DIFAT sectors
    put32(0x4C, 0);            // the FAT is sector 0
    for (std::size_t i = 1; i < 109; ++i) put32(0x4C + 4 * i, 0xFFFFFFFF);
    for (std::size_t i = 0; i < 128; ++i) put32(512 + 4 * i, 0xFFFFFFFF);
    put32(512, 0xFFFFFFFD);    // sector 0: FAT
    put32(516, 0xFFFFFFFE);    // sector 1: directory, one sector long
    for (std::size_t n = 0; n < nodes.size() && n < 4; ++n) {
        const std::size_t at = 1024 + 128 * n;
        const DirNode& d = nodes[n];
        for (std::size_t i = 0; i < d.name.size(); ++i) put16(at + 2 * i, static_cast<unsigned char>(d.name[i]));
        put16(at + 0x40, static_cast<std::uint32_t>(2 * (d.name.size() + 1)));
        f[at + 0x42] = d.type;
        f[at + 0x43] = 1;
        put32(at + 0x44, d.left);
        put32(at + 0x48, d.right);
        put32(at + 0x4C, d.child);
        put32(at + 0x74, 0xFFFFFFFE);
    }
    return f;
}

} // namespace

// ---------------------------------------------------------------------------
// Opening

TEST(DocumentOpen, PresentationFoundThroughEachRoute) {
    {
        auto d = open_ok(full_deck());
        EXPECT_EQ(d.shared()->presentation_part, "/ppt/presentation.xml");
        EXPECT_EQ(d.shared()->defects.located, doc::Located::relationship);
        EXPECT_EQ(d.slide_count(), 2u);
        EXPECT_FALSE(d.shared()->is_legacy());
        ASSERT_TRUE(d.shared()->presentation.slide_size);
        EXPECT_EQ(d.shared()->presentation.slide_size->cx, 9144000);
    }
    {
        // No package relationships: the content type names the main part,
        // wherever it lives.
        Zip z = numbered_deck(1);
        z.remove("_rels/.rels").remove("ppt/presentation.xml").remove("ppt/_rels/presentation.xml.rels");
        z.replace("[Content_Types].xml",
                  content_types("<Override PartName=\"/deck/main.xml\" ContentType=\"" + MAIN_CT + "\"/>"));
        z.add("deck/main.xml", presentation(sld_id(256, "rId1")));
        z.add("deck/_rels/main.xml.rels", rels(rel("rId1", r_type("slide"), "../ppt/slides/slide1.xml")));
        auto d = open_ok(z);
        EXPECT_EQ(d.shared()->presentation_part, "/deck/main.xml");
        EXPECT_EQ(d.shared()->defects.located, doc::Located::content_type);
        EXPECT_EQ(slide_parts(d), std::vector<std::string>{"/ppt/slides/slide1.xml"});
    }
    {
        // A package relationship to a missing part falls through to the
        // conventional name.
        Zip z = numbered_deck(2);
        z.replace("_rels/.rels", rels(rel("rId1", r_type("officeDocument"), "ppt/gone.xml")));
        auto d = open_ok(z);
        EXPECT_EQ(d.shared()->defects.located, doc::Located::conventional_path);
        EXPECT_EQ(d.slide_count(), 2u);
    }
    {
        // Strict relationship types are the same kind.
        Zip z = numbered_deck(1);
        z.replace("_rels/.rels",
                  rels(rel("rId1", "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument",
                           "/ppt/presentation.xml")));
        EXPECT_EQ(open_ok(z).shared()->defects.located, doc::Located::relationship);
    }
}

TEST(DocumentOpen, WhatIsNoPresentationIsRefused) {
    Zip none;
    none.add("[Content_Types].xml", content_types("")).add("readme.txt", "hello");
    EXPECT_EQ(open_error(none.build()), "not a presentation package");

    // A word-processing package: its main part is found but is no presentation.
    Zip word;
    word.add("[Content_Types].xml", content_types(""))
        .add("_rels/.rels", rels(rel("rId1", r_type("officeDocument"), "word/document.xml")))
        .add("word/document.xml",
             "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"/>");
    EXPECT_EQ(open_error(word.build()), "not a presentation package");

    Zip broken = numbered_deck(1);
    broken.replace("ppt/presentation.xml", "<p:presentation" + NS_DECL + "><p:sldIdLst>");
    EXPECT_EQ(open_error(broken.build()).rfind("xml in /ppt/presentation.xml at byte ", 0), 0u);

    EXPECT_EQ(open_error(Bytes{'h', 'e', 'l', 'l', 'o'}), "not a zip archive");
    EXPECT_EQ(open_error(Bytes{}), "not a zip archive");
}

TEST(DocumentOpen, CompoundFilesAreSortedOut) {
    // root -> EncryptionInfo (right: EncryptedPackage)
    const Bytes encrypted = compound({{"Root Entry", 5, 0xFFFFFFFF, 0xFFFFFFFF, 1},
                                      {"EncryptionInfo", 2, 0xFFFFFFFF, 2},
                                      {"EncryptedPackage", 2}});
    EXPECT_EQ(open_error(encrypted).rfind("encrypted: ", 0), 0u) << open_error(encrypted);

    const Bytes other = compound({{"Root Entry", 5, 0xFFFFFFFF, 0xFFFFFFFF, 1}, {"WordDocument", 2}});
    EXPECT_EQ(open_error(other), "compound file holds no PowerPoint Document stream");

    // A PowerPoint Document stream only inside a storage that is not the
    // dual-storage one does not count.
    const Bytes nested = compound({{"Root Entry", 5, 0xFFFFFFFF, 0xFFFFFFFF, 1},
                                   {"Other", 1, 0xFFFFFFFF, 0xFFFFFFFF, 2},
                                   {"PowerPoint Document", 2}});
    EXPECT_EQ(open_error(nested), "compound file holds no PowerPoint Document stream");

    // A PowerPoint Document stream (at the root, or in the dual-storage
    // storage) goes to the legacy reader; this one's stream is empty.
    auto is_legacy_route = [](const std::string& message) {
        return message != "compound file holds no PowerPoint Document stream" && message.rfind("encrypted: ", 0) != 0 &&
               message != "not a zip archive" && message != "opened";
    };
    const Bytes legacy = compound({{"Root Entry", 5, 0xFFFFFFFF, 0xFFFFFFFF, 1}, {"PowerPoint Document", 2}});
    EXPECT_TRUE(is_legacy_route(open_error(legacy))) << open_error(legacy);
    const Bytes dual = compound({{"Root Entry", 5, 0xFFFFFFFF, 0xFFFFFFFF, 1},
                                 {"PP97_DUALSTORAGE", 1, 0xFFFFFFFF, 0xFFFFFFFF, 2},
                                 {"PowerPoint Document", 2}});
    EXPECT_TRUE(is_legacy_route(open_error(dual))) << open_error(dual);

    // A damaged compound file is an error, never a ZIP attempt.
    Bytes cut(encrypted.begin(), encrypted.begin() + 100);
    EXPECT_EQ(open_error(cut).rfind("compound file", 0), 0u) << open_error(cut);
}

TEST(DocumentOpen, OpensFromAFile) {
    const auto path = std::filesystem::temp_directory_path() / ("vantrell_doc_" + std::to_string(::getpid()) + ".pptx");
    const Bytes data = full_deck().build();
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    auto source = zip::FileSource::open(path.string());
    ASSERT_TRUE(source);
    auto d = doc::Document::from_source(std::move(*source));
    std::filesystem::remove(path);
    ASSERT_TRUE(d) << d.error().message();
    auto s = d->slide(1);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->content.title(), "Second");
}

// A source that counts what is read through it and offers no whole view.
class CountingSource final : public zip::Source {
public:
    explicit CountingSource(Bytes bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t len() const noexcept override { return bytes_.size(); }
    vantrell_core::Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const override {
        read_nbytes += out.size();
        if (offset > bytes_.size() || out.size() > bytes_.size() - offset)
            return vantrell_core::fail(vantrell_core::Error::io_text("short read"));
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return {};
    }
    mutable std::atomic<std::uint64_t> read_nbytes{0};

private:
    Bytes bytes_;
};

TEST(DocumentOpen, MediaIsNotReadToOpenOrToLoadSlides) {
    // Bytes read to open the deck and load its slides, for a given media size.
    auto read_for = [](std::size_t media_nbytes) -> std::uint64_t {
        Zip z = full_deck();
        z.add_bytes("ppt/media/big.bin", Bytes(media_nbytes, 0x5A));
        auto source = std::make_shared<CountingSource>(z.build());
        auto d = doc::Document::from_source(source);
        if (!d) return UINT64_MAX;
        for (std::size_t i = 0; i < d->slide_count(); ++i)
            if (auto s = d->slide(i)) (void)s->images();
        return source->read_nbytes.load();
    };
    const std::uint64_t small = read_for(4u << 20), large = read_for(64u << 20);
    ASSERT_NE(small, UINT64_MAX);
    EXPECT_LT(large, std::uint64_t{1} << 20);
    EXPECT_EQ(small, large);
}

// ---------------------------------------------------------------------------
// The slide list

TEST(DocumentSlides, UnresolvedEntriesAreRecordedAndSkipped) {
    Zip z = numbered_deck(2);
    z.replace("ppt/presentation.xml",
              presentation(sld_id(256, "rId1") + sld_id(300, "rId7") + sld_id(301, "rId8") + sld_id(302, "rId9") +
                           sld_id(257, "rId2")));
    z.replace("ppt/_rels/presentation.xml.rels",
              rels(rel("rId1", r_type("slide"), "slides/slide1.xml") + rel("rId2", r_type("slide"), "slides/slide2.xml") +
                   rel("rId8", r_type("slide"), "http://example.com/s.xml", true) +
                   rel("rId9", r_type("slide"), "slides/missing.xml")));
    auto d = open_ok(z);
    EXPECT_EQ(slide_parts(d), (std::vector<std::string>{"/ppt/slides/slide1.xml", "/ppt/slides/slide2.xml"}));
    const std::vector<std::pair<std::size_t, std::string>> want = {{1, "rId7"}, {2, "rId8"}, {3, "rId9"}};
    EXPECT_EQ(d.shared()->defects.unresolved_slides, want);
    EXPECT_FALSE(d.shared()->defects.slides_recovered_from_rels);
    EXPECT_EQ(d.shared()->presentation.slides.size(), 5u);
    EXPECT_EQ(d.slide(1)->content.title(), "S1");
}

TEST(DocumentSlides, RecoveredFromRelationshipsInNaturalOrder) {
    Zip z = numbered_deck(0);
    for (const char* n : {"slide1", "slide2", "slide10"}) z.add(std::string("ppt/slides/") + n + ".xml", sld(sp(2, n, "title")));
    z.replace("ppt/presentation.xml", presentation(sld_id(256, "rIdGone")));
    z.replace("ppt/_rels/presentation.xml.rels",
              rels(rel("rId1", r_type("slide"), "slides/slide10.xml") + rel("rId2", r_type("slide"), "slides/slide2.xml") +
                   rel("rId3", r_type("slide"), "slides/slide1.xml") +
                   rel("rId4", r_type("slide"), "slides/slide2.xml") +  // the same part again
                   rel("rId5", r_type("slide"), "slides/absent.xml") +
                   rel("rId6", r_type("slideLayout"), "slideLayouts/slideLayout1.xml")));
    auto d = open_ok(z);
    EXPECT_TRUE(d.shared()->defects.slides_recovered_from_rels);
    EXPECT_EQ(slide_parts(d), (std::vector<std::string>{"/ppt/slides/slide1.xml", "/ppt/slides/slide2.xml",
                                                        "/ppt/slides/slide10.xml"}));
    EXPECT_EQ(d.shared()->defects.unresolved_slides.size(), 1u);
    EXPECT_EQ(d.slide(2)->content.title(), "slide10");
    // Recovered slides carry no numeric id, so no section can name them.
    EXPECT_FALSE(d.shared()->slides[0].id);

    // Nothing to recover: an empty deck, not a recovered one.
    auto empty = open_ok(numbered_deck(0));
    EXPECT_EQ(empty.slide_count(), 0u);
    EXPECT_FALSE(empty.shared()->defects.slides_recovered_from_rels);
}

TEST(DocumentSlides, IndexErrorsAndMalformedSlides) {
    auto d = open_ok(numbered_deck(3, 1));
    EXPECT_EQ(d.slide(3).error().message(), "slide 3 not found");
    EXPECT_EQ(d.slide(SIZE_MAX).error().message(), "slide " + std::to_string(SIZE_MAX) + " not found");
    auto bad = d.slide(1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message().rfind("xml in /ppt/slides/slide2.xml at byte ", 0), 0u) << bad.error().message();
    // A failure leaves the view usable, and every call parses anew.
    auto a = d.slide(2), b = d.slide(2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->index, 2u);
    EXPECT_EQ(a->part, "/ppt/slides/slide3.xml");
    EXPECT_NE(&a->content, &b->content);
    EXPECT_EQ(a->content.title(), "S2");
}

TEST(DocumentSlides, SectionsMapIdsToPositions) {
    auto d = open_ok(full_deck());
    const auto sections = d.sections();
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].first, "Intro");
    EXPECT_EQ(sections[0].second, (std::vector<std::size_t>{1, 0}));
    EXPECT_EQ(sections[1].first, "Empty");
    EXPECT_TRUE(sections[1].second.empty());
    EXPECT_TRUE(open_ok(numbered_deck(2)).sections().empty());
}

// ---------------------------------------------------------------------------
// Document-level reads

TEST(DocumentProperties, FoundByRelationshipOrConventionalName) {
    auto d = open_ok(full_deck());
    auto core = d.core_properties();
    ASSERT_TRUE(core && *core);
    EXPECT_EQ((*core)->title, "Quarterly");
    EXPECT_FALSE((*core)->creator);
    auto app = d.app_properties();
    ASSERT_TRUE(app && *app);
    EXPECT_EQ((*app)->application, "Deck Maker");
    EXPECT_EQ((*app)->slides, 2u);

    // Without the package relationships the conventional names still count.
    Zip z = full_deck();
    z.replace("_rels/.rels", rels(rel("rId1", r_type("officeDocument"), "ppt/presentation.xml")));
    auto fallback = open_ok(z);
    EXPECT_TRUE(*fallback.core_properties());
    EXPECT_TRUE(*fallback.app_properties());

    z.remove("docProps/core.xml").remove("docProps/app.xml");
    auto absent = open_ok(z);
    EXPECT_EQ(*absent.core_properties(), std::nullopt);
    EXPECT_EQ(*absent.app_properties(), std::nullopt);

    z.add("docProps/core.xml", "<cp:coreProperties");
    auto broken = open_ok(z);
    auto err = broken.core_properties();
    ASSERT_FALSE(err);
    EXPECT_EQ(err.error().message().rfind("xml in /docProps/core.xml at byte ", 0), 0u);
}

TEST(DocumentProperties, CommentAuthorsParsedOnceForAllViews) {
    auto d = open_ok(full_deck());
    const auto shared = d.shared();
    std::vector<std::vector<vantrell_core::comments::CommentAuthor>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            doc::Document view(shared);
            seen[i] = view.comment_authors();
        });
    for (auto& t : threads) t.join();
    for (const auto& authors : seen) {
        ASSERT_EQ(authors.size(), 2u);
        EXPECT_EQ(authors[0].name, "Bob"); // legacy first
        EXPECT_EQ(authors[1].id, "{A1}");
        EXPECT_EQ(authors[1].initials, "AL");
    }
    // The one list is shared by the state, not rebuilt per view.
    doc::Document a(shared), b(shared);
    EXPECT_EQ(&shared->comment_authors(a.package()), &shared->comment_authors(b.package()));

    // A damaged author part contributes nothing and fails nothing.
    Zip z = full_deck();
    z.replace("ppt/commentAuthors.xml", "<p:cmAuthorLst");
    auto damaged = open_ok(z);
    const auto authors = damaged.comment_authors();
    ASSERT_EQ(authors.size(), 1u);
    EXPECT_EQ(authors[0].name, "Ada");
}

// ---------------------------------------------------------------------------
// Inherited bullets

TEST(InheritedBullets, EachStepOfTheChainDecides) {
    using K = vantrell_core::model::Bullet::Kind;
    struct Case {
        std::size_t slide;
        std::uint32_t shape;
        std::size_t paragraph;
        K kind;
        std::string text;  // the character or numbering scheme
        std::uint32_t start = 1;
    };
    const std::vector<Case> cases = {
        {0, 2, 0, K::none, ""},                   // a title is never a list, whatever it says
        {0, 3, 0, K::character, "\u2022"},        // master body style, level 1
        {0, 3, 1, K::character, "\u2013"},        // ... level 2
        {0, 3, 2, K::auto_number, "arabicParenR"}, // master placeholder before the body style
        {0, 3, 3, K::none, ""},                   // body style says none
        {0, 3, 4, K::character, "\u2022"},        // nothing says anything: a content placeholder lists
        {0, 4, 0, K::auto_number, "romanLcPeriod"}, // the shape's own list style
        {0, 4, 1, K::none, ""},                   // the paragraph's own properties first
        {0, 4, 2, K::character, "+"},
        {0, 5, 0, K::none, ""},                   // a text box: other style silent
        {0, 5, 1, K::character, "o"},             // ... or not
        {1, 3, 0, K::none, ""},                   // the layout turns bullets off
        {1, 3, 1, K::character, "\u2013"},        // ... for its first level only
        {2, 3, 0, K::auto_number, "alphaUcPeriod", 3},  // layout placeholder by idx
        {2, 4, 0, K::auto_number, "alphaUcPeriod", 3},  // ... else by type
        {2, 5, 0, K::character, "#"},             // a subtitle reads the body style of its layout's master
        {3, 3, 0, K::character, "\u2022"},        // no layout and two masters to choose from: the fallback
        {3, 4, 0, K::none, ""},
        {4, 3, 0, K::character, "\u2022"},        // malformed layout
    };
    auto d = open_ok(bullets_deck());
    std::vector<std::optional<doc::Slide>> slides;
    for (std::size_t i = 0; i < d.slide_count(); ++i) {
        auto s = d.slide(i, vantrell_core::slide::Detail::text);
        ASSERT_TRUE(s) << s.error().message();
        slides.emplace_back(std::move(*s));
    }
    std::vector<std::unique_ptr<doc::Bullets>> bullets;
    for (const auto& s : slides) bullets.push_back(std::make_unique<doc::Bullets>(*s));
    for (const Case& c : cases) {
        SCOPED_TRACE("slide " + std::to_string(c.slide + 1) + " shape " + std::to_string(c.shape) + " paragraph " +
                     std::to_string(c.paragraph));
        const vantrell_core::model::Shape* shape = nullptr;
        for (const auto& sh : slides[c.slide]->content.walk())
            if (sh.id == c.shape) shape = &sh;
        ASSERT_TRUE(shape && shape->text_body());
        const auto& b = bullets[c.slide]->of(*shape, shape->text_body()->paragraphs.at(c.paragraph));
        EXPECT_EQ(b.kind, c.kind);
        if (c.kind != K::none) {
            EXPECT_EQ(b.text, c.text);
        }
        EXPECT_EQ(b.start, c.start);
    }
}

TEST(InheritedBullets, LayoutsAndMastersReadOncePerDeck) {
    auto d = open_ok(bullets_deck());
    const auto shared = d.shared();
    ASSERT_EQ(shared->master_parts.size(), 2u);
    const auto layout = d.package()->part_index("/ppt/slideLayouts/slideLayout3.xml");
    ASSERT_TRUE(layout);
    std::vector<const doc::PartStyles*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            doc::Document view(shared);
            seen[i] = shared->part_styles(*layout, view.package());
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(seen[0]);
    for (const auto* s : seen) EXPECT_EQ(s, seen[0]);
    EXPECT_EQ(seen[0]->master, d.package()->part_index("/ppt/slideMasters/slideMaster2.xml"));
    ASSERT_EQ(seen[0]->styles.placeholders.size(), 3u);
    EXPECT_EQ(seen[0]->styles.placeholders[0].placeholder.idx, 13u);

    const auto malformed = d.package()->part_index("/ppt/slideLayouts/slideLayout4.xml");
    ASSERT_TRUE(malformed);
    EXPECT_EQ(shared->part_styles(*malformed, d.package()), nullptr);
}

// ---------------------------------------------------------------------------
// Per-slide services

TEST(SlideServices, RelatedPartsNotesAndHyperlinks) {
    auto d = open_ok(full_deck());
    auto s = d.slide(0);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(*s->related_part(RelKind::slideLayout), "/ppt/slideLayouts/slideLayout1.xml");
    EXPECT_EQ(*s->related_part(RelKind::modernComments), "/ppt/comments/modernComment_1.xml");
    EXPECT_EQ(*s->related_part(RelKind::tags), std::nullopt);
    EXPECT_EQ(*s->notes_part(), "/ppt/notesSlides/notesSlide1.xml");
    // Body and free text, not the slide image or the page number.
    EXPECT_EQ(*s->notes_text(), "Speak slowly\nExtra note");

    EXPECT_EQ(*s->hyperlink_target("rId7"), "https://example.com/a?b=1&c=2");
    EXPECT_EQ(*s->hyperlink_target("rId11"), "/ppt/slides/slide2.xml");
    EXPECT_EQ(*s->hyperlink_target("rId404"), std::nullopt);
    EXPECT_EQ(*s->hyperlink_target("rid7"), std::nullopt); // ids match exactly

    auto s2 = d.slide(1);
    EXPECT_EQ(*s2->notes_part(), std::nullopt);
    EXPECT_EQ(*s2->notes_text(), std::nullopt);

    // A notes relationship to a missing part is an error, not silence.
    Zip z = full_deck();
    z.remove("ppt/notesSlides/notesSlide1.xml");
    auto broken = open_ok(z);
    auto err = broken.slide(0)->notes_text();
    ASSERT_FALSE(err);
    EXPECT_EQ(err.error().message(), "missing part: /ppt/notesSlides/notesSlide1.xml");
}

TEST(SlideServices, ChartsAndDiagramsInWalkOrder) {
    auto d = open_ok(full_deck());
    auto s = d.slide(0);
    auto charts = s->charts();
    ASSERT_TRUE(charts) << charts.error().message();
    ASSERT_EQ(charts->size(), 1u);
    EXPECT_EQ((*charts)[0].first, 6u); // found inside its group
    EXPECT_EQ((*charts)[0].second.kinds, std::vector<std::string>{"bar"});
    auto diagrams = s->diagrams();
    ASSERT_TRUE(diagrams) << diagrams.error().message();
    ASSERT_EQ(diagrams->size(), 1u);
    EXPECT_EQ((*diagrams)[0].first, 7u);
    const std::vector<std::pair<std::uint8_t, std::string>> items = {{0, "Alpha"}};
    EXPECT_EQ((*diagrams)[0].second.items, items);

    Zip z = full_deck();
    z.replace("ppt/charts/chart1.xml", "<c:chartSpace");
    z.remove("ppt/diagrams/data1.xml");
    auto broken = open_ok(z);
    auto bs = broken.slide(0);
    EXPECT_EQ(bs->charts().error().message().rfind("xml in /ppt/charts/chart1.xml", 0), 0u);
    EXPECT_EQ(bs->diagrams().error().message(), "missing part: /ppt/diagrams/data1.xml");
}

// An unknown relationship id fails every reader of the frame; an external
// target fails the listing, which was asked for data, while the renderings
// show nothing for it and stay complete.
TEST(SlideServices, FrameTargetsUnknownOrExternal) {
    Zip z = full_deck();
    z.replace("ppt/slides/slide2.xml", sld(chart_frame(3, "rId42")));
    auto d = open_ok(z);
    auto s = d.slide(1);
    ASSERT_TRUE(s);
    const std::string missing = "missing relationship rId42 in /ppt/slides/slide2.xml";
    EXPECT_EQ(s->charts().error().message(), missing);
    vantrell_core::text::ExtractReport report;
    (void)s->text_reporting({}, report);
    ASSERT_EQ(report.failed_frames.size(), 1u);
    EXPECT_EQ(*report.failed_frames[0].second, missing);

    z.replace("ppt/slides/slide2.xml", sld(chart_frame(3, "rId2") + diagram_frame(4, "rId3")));
    z.replace("ppt/slides/_rels/slide2.xml.rels",
              rels(rel("rId2", r_type("chart"), "http://example.com/c.xml", true) +
                   rel("rId3", r_type("diagramData"), "file:///d.xml", true)));
    auto e = open_ok(z);
    auto es = e.slide(1);
    ASSERT_TRUE(es);
    const auto* frame = std::get_if<vantrell_core::model::Chart>(&es->content.shapes.at(0).content);
    ASSERT_TRUE(frame);
    auto part = es->chart_part(*frame);
    ASSERT_TRUE(part) << part.error().message();
    EXPECT_FALSE(part->data);
    EXPECT_EQ(part->external, "http://example.com/c.xml");
    EXPECT_EQ(es->charts().error().message(), "unsupported: external target http://example.com/c.xml of rId2");
    EXPECT_EQ(es->diagrams().error().message(), "unsupported: external target file:///d.xml of rId3");
    vantrell_core::text::ExtractReport quiet;
    EXPECT_EQ(es->text_reporting({}, quiet), "");
    EXPECT_EQ(es->markdown({}, quiet), "# Slide 2");
    EXPECT_TRUE(quiet.is_complete());
}

TEST(SlideServices, CommentsPreferTheModernPart) {
    auto d = open_ok(full_deck());
    auto modern = d.slide(0)->comments();
    ASSERT_TRUE(modern) << modern.error().message();
    ASSERT_EQ(modern->size(), 2u);
    EXPECT_EQ((*modern)[0].text, "Parent");
    EXPECT_EQ((*modern)[0].author, "Ada");
    EXPECT_FALSE((*modern)[0].reply);
    EXPECT_EQ((*modern)[1].text, "Child");
    EXPECT_TRUE((*modern)[1].reply);

    auto legacy = d.slide(1)->comments();
    ASSERT_TRUE(legacy) << legacy.error().message();
    ASSERT_EQ(legacy->size(), 1u);
    EXPECT_EQ((*legacy)[0].text, "Legacy one");
    EXPECT_EQ((*legacy)[0].author, "Bob");

    EXPECT_TRUE(open_ok(numbered_deck(1)).slide(0)->comments()->empty());
}

TEST(SlideServices, ImagesAndObjectsThroughRelationships) {
    auto d = open_ok(full_deck());
    auto s = d.slide(0);
    auto images = s->images();
    ASSERT_TRUE(images) << images.error().message();
    ASSERT_EQ(images->size(), 3u);
    const doc::ImageRef& stored = (*images)[0];
    EXPECT_EQ(stored.shape_id, 3u);
    EXPECT_EQ(stored.rel_id, "rId2");
    EXPECT_EQ(stored.part, "/ppt/media/image1.png");
    EXPECT_EQ(stored.content_type, "image/png");
    EXPECT_EQ(stored.external, std::nullopt);
    const doc::ImageRef& linked = (*images)[1];
    EXPECT_EQ(linked.shape_id, 4u);
    EXPECT_EQ(linked.part, std::nullopt);
    EXPECT_EQ(linked.external, "http://example.com/pic.png");
    const doc::ImageRef& dangling = (*images)[2];
    EXPECT_EQ(dangling.rel_id, "rId99");
    EXPECT_FALSE(dangling.part || dangling.external);
    // Without content types, the same targets and nothing else missing.
    auto bare = s->images(false);
    ASSERT_TRUE(bare) << bare.error().message();
    ASSERT_EQ(bare->size(), 3u);
    EXPECT_EQ((*bare)[0].part, stored.part);
    EXPECT_EQ((*bare)[0].content_type, std::nullopt);
    EXPECT_EQ((*bare)[0].shape_id, stored.shape_id);
    EXPECT_EQ((*bare)[1].external, linked.external);
    EXPECT_FALSE((*bare)[2].part || (*bare)[2].external);

    // Exactly the stored bytes, although they begin like UTF-16 text.
    auto bytes = s->image_bytes(stored);
    ASSERT_TRUE(bytes) << bytes.error().message();
    EXPECT_TRUE(std::ranges::equal(*bytes, IMAGE));
    EXPECT_EQ(s->image_bytes(linked).error().message(), "image rId3 is not stored in the package");
    doc::ImageRef gone = stored;
    gone.part = "/ppt/media/none.png";
    EXPECT_EQ(s->image_bytes(gone).error().message(), "missing part: /ppt/media/none.png");

    auto objects = s->objects();
    ASSERT_TRUE(objects) << objects.error().message();
    ASSERT_EQ(objects->size(), 1u);
    const doc::ObjectRef& ole = (*objects)[0];
    EXPECT_EQ(ole.shape_id, 8u);
    EXPECT_EQ(ole.prog_id, "Excel.Sheet.12");
    EXPECT_EQ(ole.rel_id, "rId6");
    EXPECT_EQ(ole.part, "/ppt/embeddings/oleObject1.bin");
    auto ole_bytes = s->object_bytes(ole);
    ASSERT_TRUE(ole_bytes);
    EXPECT_TRUE(std::ranges::equal(*ole_bytes, Bytes{0xD0, 0xCF, 0x11, 0xE0, 0x00, 0xFF}));
    EXPECT_EQ(s->object_bytes(doc::ObjectRef{}).error().message(), "object  is not stored in the package");
}

TEST(SlideServices, DamagedSlideRelationshipsFailOnlyTheServices) {
    Zip z = full_deck();
    z.replace("ppt/slides/_rels/slide1.xml.rels", "<Relationships");
    auto d = open_ok(z);
    auto s = d.slide(0);
    ASSERT_TRUE(s) << "the slide part itself is intact";
    for (const std::string& message :
         {s->images().error().message(), s->objects().error().message(), s->comments().error().message(),
          s->notes_part().error().message(), s->hyperlink_target("rId7").error().message()})
        EXPECT_EQ(message.rfind("xml in /ppt/slides/_rels/slide1.xml.rels at byte ", 0), 0u) << message;
}

// ---------------------------------------------------------------------------
// Worker threads

TEST(DocumentThreads, WorkerCountAndEnvironment) {
    EXPECT_EQ(doc::worker_count(10, 4, false), 4u);
    EXPECT_EQ(doc::worker_count(3, 8, false), 3u);
    EXPECT_EQ(doc::worker_count(10, 4, true), 4u); // an explicit setting holds for legacy decks too
    EXPECT_EQ(doc::worker_count(10, 0, true), 1u);
    EXPECT_EQ(doc::worker_count(0, 0, false), 0u);
    EXPECT_GE(doc::worker_count(1000, 0, false), 1u);

    // Automatic gives each worker a share of the slides' bytes; an explicit
    // setting does not look at them.
    const long online_count = ::sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t online = online_count > 0 ? static_cast<std::size_t>(online_count) : 1;
    constexpr std::uint64_t PER = doc::AUTO_NBYTES_PER_WORKER;
    for (const auto& [count, threads, nbytes, want] :
         std::vector<std::tuple<std::size_t, std::size_t, std::uint64_t, std::size_t>>{
             {10, 0, 0, 1},
             {10, 0, PER - 1, 1},
             {10, 0, 3 * PER - 1, std::min<std::size_t>(2, online)},
             {10, 0, 3 * PER, std::min<std::size_t>(3, online)},
             {2, 0, 100 * PER, std::min<std::size_t>(2, online)},
             {10, 0, UINT64_MAX, std::min<std::size_t>(10, online)},
             {10, 4, 0, 4},
         })
        EXPECT_EQ(doc::worker_count(count, threads, false, nbytes), want) << count << " " << threads << " " << nbytes;
    EXPECT_EQ(doc::worker_count(10, 0, true, UINT64_MAX), 1u);

    const char* saved = std::getenv("VANTRELL_THREADS");
    const std::string keep = saved ? saved : "";
    for (const auto& [text, want] : std::vector<std::pair<std::string, std::size_t>>{
             {"3", 3}, {"0", 0}, {"-2", 0}, {"x", 0}, {"4x", 0}, {"", 0}, {"99999999999999999999999", 0}}) {
        ::setenv("VANTRELL_THREADS", text.c_str(), 1);
        EXPECT_EQ(doc::threads_from_env(), want) << text;
    }
    ::setenv("VANTRELL_THREADS", "5", 1);
    EXPECT_EQ(open_ok(numbered_deck(1)).threads(), 5u);
    ::unsetenv("VANTRELL_THREADS");
    EXPECT_EQ(doc::threads_from_env(), 0u);
    if (saved) ::setenv("VANTRELL_THREADS", keep.c_str(), 1);
}

// Both slides name one diagram, notes page and comments part: every showing
// shows them, on any number of workers, from the one rendering each pass
// keeps of them.
TEST(DocumentThreads, PartsSeveralSlidesNameShowOnEach) {
    Zip z = full_deck();
    z.replace("ppt/slides/slide2.xml", sld(diagram_frame(7, "rId5")));
    z.replace("ppt/slides/_rels/slide2.xml.rels",
              rels(rel("rId5", r_type("diagramData"), "../diagrams/data1.xml") +
                   rel("rId8", r_type("notesSlide"), "../notesSlides/notesSlide1.xml") +
                   rel("rId9", r_type("comments"), "../comments/comment1.xml")));
    auto opened = open_ok(z);
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < 64; ++i) positions.push_back(i % 2);
    vantrell_core::text::TextOptions options;
    options.notes = options.comments = true;
    const auto count = [](const std::string& s, std::string_view what) {
        std::size_t n = 0;
        for (auto at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
        return n;
    };
    for (const std::size_t threads : {1u, 8u}) {
        doc::Document d(opened.shared(), threads);
        const auto [texts, report] = d.slide_texts_at(positions, options);
        EXPECT_TRUE(report.is_complete()) << threads;
        for (std::size_t i = 0; i < texts.size(); ++i)
            EXPECT_EQ(texts[i], i % 2 ? "Alpha\nNotes: Speak slowly\nExtra note\nComment from Bob: Legacy one"
                                      : texts[0]) << threads;
        const auto [md, md_report] = d.markdown_at(positions, {.notes = true, .comments = true});
        EXPECT_EQ(count(md, "- Alpha"), 64u) << threads;
        EXPECT_EQ(count(md, "Legacy one"), 32u) << threads;
    }
}

TEST(DocumentThreads, ResultsComeBackInPositionOrder) {
    auto opened = open_ok(numbered_deck(40, 7));
    const auto caller = std::this_thread::get_id();
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < 40; ++i) positions.push_back(39 - i);
    positions.push_back(5); // repeats are run again
    positions.push_back(5);

    for (const std::size_t threads : {1u, 2u, 7u, 64u}) {
        doc::Document d(opened.shared(), threads);
        std::mutex mu;
        std::set<std::thread::id> workers;
        auto out = d.map_slides_at(positions, [&](doc::Document& view, std::size_t p) -> std::string {
            {
                std::lock_guard lock(mu);
                workers.insert(std::this_thread::get_id());
            }
            EXPECT_EQ(view.shared(), opened.shared());
            auto s = view.slide(p);
            if (!s) return "error";
            return s->content.title().value_or("-");
        });
        ASSERT_EQ(out.size(), positions.size());
        for (std::size_t i = 0; i < positions.size(); ++i) {
            const std::size_t p = positions[i];
            EXPECT_EQ(out[i], p == 7 ? "error" : "S" + std::to_string(p)) << threads;
        }
        if (threads == 1) {
            EXPECT_EQ(workers, std::set<std::thread::id>{caller});
        } else {
            EXPECT_FALSE(workers.count(caller)) << "the caller parses no slide itself";
            EXPECT_LE(workers.size(), std::min<std::size_t>(threads, positions.size()));
        }
    }

    doc::Document d(opened.shared(), 4);
    EXPECT_TRUE(d.map_slides_at(std::vector<std::size_t>{}, [](doc::Document&, std::size_t) { return 1; }).empty());
}

TEST(DocumentThreads, AThrowingStepIsRethrownAfterEveryWorkerEnded) {
    auto opened = open_ok(numbered_deck(1));
    doc::Document d(opened.shared(), 6);
    std::vector<std::size_t> positions(200);
    for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
    std::atomic<int> running{0};
    std::atomic<std::size_t> done{0};
    try {
        d.map_slides_at(positions, [&](doc::Document&, std::size_t p) {
            running.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            running.fetch_sub(1);
            done.fetch_add(1);
            if (p == 3 || p == 150) throw std::runtime_error("step failed at " + std::to_string(p));
            return p;
        });
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("step failed at ", 0), 0u);
        EXPECT_EQ(running.load(), 0) << "a worker was still running when the error surfaced";
    }
    // The other workers went on claiming positions after one stopped.
    EXPECT_GT(done.load(), 150u);

    // Sequential runs throw straight through too.
    doc::Document one(opened.shared(), 1);
    EXPECT_THROW(one.map_slides_at(positions, [](doc::Document&, std::size_t) -> int { throw std::logic_error("x"); }),
                 std::logic_error);
}

TEST(DocumentThreads, DeepestGroupsParseOnAWorkerStack) {
    std::string nested = sp(1000, "deep", "title");
    for (unsigned i = 0; i + 1 < vantrell_core::slide::MAX_GROUP_DEPTH; ++i)
        nested = "<p:grpSp><p:nvGrpSpPr><p:cNvPr id=\"" + std::to_string(i + 10) +
                 "\" name=\"g\"/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr><p:grpSpPr/>" + nested + "</p:grpSp>";
    Zip z = numbered_deck(4);
    for (const char* name : {"ppt/slides/slide2.xml", "ppt/slides/slide3.xml"}) z.replace(name, sld(nested));
    auto opened = open_ok(z);
    doc::Document d(opened.shared(), 4);
    const std::vector<std::size_t> positions = {0, 1, 2, 3};
    const auto titles = d.map_slides_at(positions, [](doc::Document& view, std::size_t p) -> std::string {
        auto s = view.slide(p);
        return s ? s->content.title().value_or("-") : s.error().message();
    });
    EXPECT_EQ(titles, (std::vector<std::string>{"S0", "deep", "deep", "S3"}));
}

// Counts worker threads that have run their thread-local destructors, which
// happens only on the way out of a thread.
std::atomic<std::size_t> g_threads_ended{0};
struct EndMark {
    bool armed = false;
    ~EndMark() {
        if (armed) g_threads_ended.fetch_add(1);
    }
};
thread_local EndMark t_end_mark;

// The calling thread's stack as the thread library reports it.
std::pair<std::uintptr_t, std::size_t> own_stack() {
    pthread_attr_t attr;
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return {0, 0};
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    return {reinterpret_cast<std::uintptr_t>(addr), size};
}

// Whether /proc/self/maps shows an inaccessible page range ending at `addr`.
bool guarded_below(std::uintptr_t addr) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::uintptr_t end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%*[0-9a-f]-%lx %4s", &end, perms) == 2 && end == addr)
            return std::strcmp(perms, "---p") == 0;
    }
    return false;
}

TEST(DocumentThreads, AutomaticSettingStartsWorkersOnlyForSlidesWorthThem) {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 2) GTEST_SKIP() << "one processor";
    // Four slides of a few hundred bytes, then the same with a worker's
    // share of text each, which buys each its own worker.
    Zip big = numbered_deck(4);
    const std::string filler = sp(3, std::string(doc::AUTO_NBYTES_PER_WORKER, 'x'), "body");
    for (std::size_t i = 0; i < 4; ++i)
        big.replace("ppt/slides/slide" + std::to_string(i + 1) + ".xml",
                    sld(sp(2, "S" + std::to_string(i), "title") + filler));
    const std::vector<std::size_t> positions = {0, 1, 2, 3};
    for (const auto& [z, threads, want] : std::vector<std::tuple<Zip, std::size_t, std::size_t>>{
             {numbered_deck(4), 0, 0},
             {numbered_deck(4), 2, 2},
             {big, 0, std::min<std::size_t>(4, static_cast<std::size_t>(online))},
         }) {
        auto opened = open_ok(z);
        doc::Document d(opened.shared(), threads);
        std::mutex mu;
        std::set<std::thread::id> workers;
        const auto titles = d.map_slides_at(positions, [&](doc::Document& view, std::size_t p) {
            {
                std::lock_guard lock(mu);
                workers.insert(std::this_thread::get_id());
            }
            auto s = view.slide(p);
            return s ? s->content.title().value_or("-") : s.error().message();
        });
        EXPECT_EQ(titles, (std::vector<std::string>{"S0", "S1", "S2", "S3"}));
        if (want == 0) {
            EXPECT_EQ(workers, std::set<std::thread::id>{std::this_thread::get_id()}) << "ran on workers";
        } else {
            EXPECT_FALSE(workers.count(std::this_thread::get_id())) << "ran in the caller";
            EXPECT_LE(workers.size(), want);
        }
    }
}

TEST(DocumentThreads, WorkersRunOnKeptGuardedStacksAndEndWithTheCall) {
    auto opened = open_ok(numbered_deck(12));
    std::vector<std::size_t> positions(12);
    std::iota(positions.begin(), positions.end(), std::size_t{0});
    std::set<std::uintptr_t> every_pass;
    for (int pass = 0; pass < 3; ++pass) {
        doc::Document d(opened.shared(), 4);
        g_threads_ended = 0;
        std::mutex mu;
        std::set<std::thread::id> workers;
        std::set<std::uintptr_t> stacks;
        d.map_slides_at(positions, [&](doc::Document&, std::size_t) {
            t_end_mark.armed = true;
            const int local = 0;
            const auto [base, size] = own_stack();
            const auto here = reinterpret_cast<std::uintptr_t>(&local);
            EXPECT_EQ(size, std::size_t{2} << 20);
            EXPECT_TRUE(here > base && here - base < size) << "not running on the stack it was given";
            std::lock_guard lock(mu);
            workers.insert(std::this_thread::get_id());
            stacks.insert(base);
            return 0;
        });
        EXPECT_EQ(g_threads_ended.load(), workers.size()) << "a worker was still running after the call";
        for (const std::uintptr_t base : stacks) EXPECT_TRUE(guarded_below(base)) << std::hex << base;
        every_pass.insert(stacks.begin(), stacks.end());
    }
    // A worker that found every slide claimed leaves no trace here, so
    // this holds whichever workers did the work.
    EXPECT_LE(every_pass.size(), 4u) << "later passes ran on new stacks";
}

TEST(DocumentThreads, ConcurrentPassesNeverShareAStack) {
    auto opened = open_ok(numbered_deck(40, 7));
    std::vector<std::size_t> positions(40);
    std::iota(positions.begin(), positions.end(), std::size_t{0});
    // Each step leaves a pattern on its stack across a slide parse; a stack
    // handed to two live workers at once, or back to the pool too early,
    // shows up as a broken pattern or a wrong title.
    const auto step = [](doc::Document& view, std::size_t p) -> std::string {
        volatile unsigned char pattern[8192];
        for (auto& b : pattern) b = static_cast<unsigned char>(p);
        auto s = view.slide(p);
        std::string out = s ? s->content.title().value_or("-") : "error";
        for (const auto& b : pattern)
            if (b != static_cast<unsigned char>(p)) return "clobbered";
        return out;
    };
    const auto expected = doc::Document(opened.shared(), 1).map_slides_at(positions, step);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    // Together more workers than the process keeps stacks for: some passes
    // map stacks of their own and unmap them afterwards.
    for (std::size_t c = 0; c < 6; ++c)
        callers.emplace_back([&, c] {
            doc::Document d(opened.shared(), c % 2 == 0 ? 8 : 40);
            for (int round = 0; round < 4; ++round)
                if (d.map_slides_at(positions, step) != expected) mismatches.fetch_add(1);
        });
    for (auto& t : callers) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// ---------------------------------------------------------------------------
// Real decks: each opens or fails with an error; each slide of those that
// open loads or fails, and every service answers, all without a crash.

TEST(DocumentCorpus, EveryDeckAndSlideOpensOrErrs) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::filesystem::path& dir = *corpus;
    std::error_code ec;

    std::size_t decks = 0, opened = 0, slides = 0;
    std::map<std::string, std::size_t> errors;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        ++decks;
        auto source = zip::FileSource::open(entry.path().string());
        ASSERT_TRUE(source) << entry.path();
        auto d = doc::Document::from_source(std::move(*source));
        if (!d) {
            ++errors[d.error().message().substr(0, 24)];
            continue;
        }
        ++opened;
        (void)d->sections();
        (void)d->core_properties();
        (void)d->app_properties();
        (void)d->comment_authors();
        std::vector<std::size_t> positions(d->slide_count());
        for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
        d->map_slides_at(positions, [&](doc::Document& view, std::size_t p) {
            auto s = view.slide(p);
            if (!s) return false;
            (void)s->notes_text();
            (void)s->related_part(RelKind::slideLayout);
            (void)s->charts();
            (void)s->diagrams();
            (void)s->comments();
            if (auto images = s->images())
                for (const auto& img : *images)
                    if (img.part) (void)s->image_bytes(img);
            if (auto objects = s->objects())
                for (const auto& obj : *objects)
                    if (obj.part) (void)s->object_bytes(obj);
            return true;
        });
        slides += positions.size();
    }
    EXPECT_GT(opened, 0u);
    std::string summary;
    for (const auto& [what, n] : errors) summary += "\n  " + std::to_string(n) + " x " + what;
    std::cout << decks << " decks, " << opened << " opened, " << slides << " slides" << summary << "\n";
}
