// PresentationML and core-properties stages on hostile parts, under the
// sanitizers: deep nesting, nested alternate content, many repeats, and
// every prefix of the parts these stages parse.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "check/check.h"
#include "check/pml.h"
#include "core/mce.h"
#include "core/xml.h"
#include "testkit.h"

namespace vc = vantrell_check;

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const std::string NS = "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                       "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"";
const std::string RT = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
const std::string CT = "application/vnd.openxmlformats-officedocument.presentationml.";
const std::string MC = "http://schemas.openxmlformats.org/markup-compatibility/2006";

std::string rel(const std::string& id, const std::string& type, const std::string& target) {
    return "<Relationship Id=\"" + id + "\" Type=\"" + type + "\" Target=\"" + target + "\"/>";
}

std::string rels(const std::string& items) {
    return DECL + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + items +
           "</Relationships>";
}

std::string shape(int id) {
    return "<p:sp><p:nvSpPr><p:cNvPr id=\"" + std::to_string(id) +
           "\" name=\"s\"/><p:cNvSpPr/><p:nvPr/></p:nvSpPr></p:sp>";
}

std::string slide(const std::string& tree) {
    return DECL + "<p:sld " + NS + "><p:cSld><p:spTree>" + tree + "</p:spTree></p:cSld></p:sld>";
}

using Items = std::map<std::string, std::string>;

Items minimal_deck() {
    Items d;
    d["[Content_Types].xml"] =
        DECL + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
               "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
               "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
               "<Override PartName=\"/ppt/presentation.xml\" ContentType=\"" + CT + "presentation.main+xml\"/>"
               "<Override PartName=\"/ppt/slides/slide1.xml\" ContentType=\"" + CT + "slide+xml\"/>"
               "<Override PartName=\"/docProps/core.xml\" "
               "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/></Types>";
    d["_rels/.rels"] = rels(rel("rId1", RT + "officeDocument", "ppt/presentation.xml") +
                            rel("rId2", "http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
                                        "core-properties", "docProps/core.xml"));
    d["ppt/presentation.xml"] = DECL + "<p:presentation " + NS +
                                "><p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/></p:sldIdLst>"
                                "<p:sldSz cx=\"9144000\" cy=\"6858000\"/><p:notesSz cx=\"1\" cy=\"1\"/>"
                                "</p:presentation>";
    d["ppt/_rels/presentation.xml.rels"] = rels(rel("rId2", RT + "slide", "slides/slide1.xml"));
    d["ppt/slides/slide1.xml"] = slide(shape(2));
    d["docProps/core.xml"] =
        DECL + "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/"
               "core-properties\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>t</dc:title>"
               "</cp:coreProperties>";
    return d;
}

// A stored (uncompressed) ZIP archive of the items.
std::vector<std::uint8_t> zip(const Items& items) {
    testkit::Zip z;
    for (const auto& [name, data] : items) z.add(name, data);
    return z.build();
}

vc::Report run(const Items& items, std::size_t max_findings = 100000) {
    const vc::Options options{max_findings, true, true};
    auto report = vc::check_bytes(zip(items), options);
    EXPECT_TRUE(report.has_value());
    return report ? std::move(*report) : vc::Report{};
}

std::size_t count(const vc::Report& r, std::string_view code) {
    std::size_t n = 0;
    for (const auto& f : r.findings) n += f.code == code;
    return n;
}

bool has(const vc::Report& r, std::string_view code, std::string_view message) {
    for (const auto& f : r.findings)
        if (f.code == code && f.message == message) return true;
    return false;
}

std::string repeat(const std::string& s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

} // namespace

TEST(CheckPml, TheSmallDeckLacksOnlyItsMasterLayoutAndProperties) {
    std::vector<std::string_view> codes;
    for (const auto code : run(minimal_deck()).codes())
        if (code.starts_with("PML") || code.starts_with("CPR")) codes.push_back(code);
    EXPECT_EQ(codes, (std::vector<std::string_view>{"PML002", "PML003", "PML015"}));
}

TEST(CheckPml, NestingAtTheLimitIsWalkedAndBeyondItEndsQuietly) {
    // Near the reader's depth limit the walk still reaches the bottom.
    Items d = minimal_deck();
    const std::string bottom = shape(7) + shape(7);
    d["ppt/slides/slide1.xml"] = slide(repeat("<p:grpSp>", 245) + bottom + repeat("</p:grpSp>", 245));
    vc::Report r = run(d);
    EXPECT_EQ(count(r, "PML019"), 1u);
    EXPECT_EQ(count(r, "XML001"), 0u);

    d["ppt/slides/slide1.xml"] = slide(shape(7) + shape(7) + repeat("<p:grpSp>", 100000) + bottom +
                                       repeat("</p:grpSp>", 100000));
    r = run(d);
    EXPECT_EQ(count(r, "PML019"), 1u);
    EXPECT_TRUE(has(r, "XML001", "nesting too deep"));
}

TEST(CheckPml, NestedAlternateContentIsBounded) {
    Items d = minimal_deck();
    const std::string open = "<mc:AlternateContent xmlns:mc=\"" + MC + "\"><mc:Fallback>";
    const std::string close = "</mc:Fallback></mc:AlternateContent>";
    // The unresolved reference at the bottom shows the walk got there; ids
    // within a Fallback are not compared.
    const std::string bottom = shape(3) + shape(3) + "<p:sp r:id=\"rId9\"/>";
    d["ppt/slides/slide1.xml"] = slide(repeat(open, 100) + bottom + repeat(close, 100));
    vc::Report r = run(d);
    EXPECT_EQ(count(r, "PML020"), 1u);
    EXPECT_EQ(count(r, "PML019"), 0u);
    d["ppt/slides/slide1.xml"] = slide(repeat(open, 50000) + bottom + repeat(close, 50000));
    r = run(d);
    EXPECT_EQ(count(r, "PML020"), 0u);
    EXPECT_TRUE(has(r, "XML001", "nesting too deep"));
}

TEST(CheckCoreProps, ManyRepeatsAreCountedOnce) {
    Items d = minimal_deck();
    d["docProps/core.xml"] =
        DECL + "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/"
               "core-properties\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">" +
        repeat("<dc:title/>", 50000) + "</cp:coreProperties>";
    EXPECT_EQ(count(run(d), "CPR003"), 49999u);
}

TEST(CheckPml, EveryPrefixOfTheParsedPartsIsSurvived) {
    const Items base = minimal_deck();
    for (const std::string name : {"ppt/presentation.xml", "ppt/slides/slide1.xml", "docProps/core.xml",
                                   "ppt/_rels/presentation.xml.rels"}) {
        const std::string& whole = base.at(name);
        for (std::size_t n = 0; n < whole.size(); ++n) {
            Items d = base;
            d[name] = whole.substr(0, n);
            const vc::Report r = run(d);
            // A cut part is malformed or empty; the stages stay silent about
            // its root and the run completes.
            EXPECT_EQ(count(r, "PML001"), 0u) << name << " cut at " << n;
        }
    }
}

// The part walk is a flat loop; a walk built from the reader's recursive
// child walk is the reference for which elements it visits and how it ends.
// Elements the walk reports within a taken Fallback are marked "!"; in the
// bodies below those are exactly p:d and p:e.
namespace {

namespace xml = vantrell_core::xml;

xml::Status reference_walk(xml::Reader& reader, std::vector<std::string>& seen) {
    return vantrell_core::mce::children_inner(
        reader,
        [&seen](xml::Reader& r, const xml::Start& s) -> xml::Status {
            const bool in_fallback = s.name.local == "d" || s.name.local == "e";
            seen.push_back(std::string(s.name.local) + (in_fallback ? "!@" : "@") + std::to_string(s.offset));
            return reference_walk(r, seen);
        },
        true);
}

struct Walked {
    std::vector<std::string> seen;
    std::string status;
};

template <class Walk>
Walked walk_with(const std::string& text, Walk walk) {
    Walked out;
    xml::Reader reader(text);
    for (;;) {
        const xml::Event ev = reader.next();
        if (ev.kind == xml::EventKind::error || ev.kind == xml::EventKind::eof) {
            out.status = "no root";
            return out;
        }
        if (ev.kind == xml::EventKind::start) break;
    }
    const xml::Status st = walk(reader, out.seen);
    out.status = st ? "ok" : std::string(st.error().message) + "@" + std::to_string(st.error().offset);
    return out;
}

} // namespace

TEST(CheckPml, FlatWalkVisitsWhatTheRecursiveWalkVisits) {
    const std::string mc = "xmlns:mc=\"" + MC + "\" xmlns:p14=\"http://schemas.microsoft.com/office/powerpoint/2010/main\" "
                           "xmlns:x=\"urn:unknown\"";
    const std::string understood = "<mc:Choice Requires=\"p14\"><p:a/><p:b>t</p:b></mc:Choice>";
    const std::string unknown = "<mc:Choice Requires=\"x\"><p:c/></mc:Choice>";
    const std::string fallback = "<mc:Fallback><p:d><p:e/></p:d></mc:Fallback>";
    const std::vector<std::string> bodies = {
        "<p:z/>",
        "<mc:AlternateContent>" + understood + fallback + "</mc:AlternateContent>",
        "<mc:AlternateContent>" + unknown + fallback + "</mc:AlternateContent>",
        "<mc:AlternateContent>" + unknown + understood + understood + fallback + "</mc:AlternateContent>",
        "<mc:AlternateContent><p:stray/>" + fallback + "</mc:AlternateContent><p:after/>",
        "<mc:AlternateContent><mc:AlternateContent>" + fallback + "</mc:AlternateContent>" + fallback +
            "</mc:AlternateContent>",
        "<mc:AlternateContent><mc:Choice Requires=\"p14\"><mc:AlternateContent>" + unknown + fallback +
            "</mc:AlternateContent><p:f/></mc:Choice></mc:AlternateContent><p:g/>",
        "<mc:AlternateContent><mc:Fallback/>" + understood + "</mc:AlternateContent>",
        "<mc:AlternateContent>" + fallback + fallback + "</mc:AlternateContent>text<p:h>x<p:i/></p:h>",
        "<mc:AlternateContent></mc:AlternateContent><mc:AlternateContent/>",
        "<mc:Fallback><p:j/></mc:Fallback><mc:Choice><p:k/></mc:Choice>",
    };
    for (const std::string& body : bodies) {
        const std::string doc = DECL + "<p:root " + NS + " " + mc + "><p:top>" + body + "</p:top><p:last/></p:root>";
        // Whole, and cut at every byte, so errors and early ends agree too.
        for (std::size_t cut = 0; cut <= doc.size(); ++cut) {
            const std::string text = doc.substr(0, cut == 0 ? doc.size() : cut);
            const Walked flat = walk_with(text, [](xml::Reader& r, std::vector<std::string>& seen) {
                bool in_fallback = true;
                auto visit = [&seen, &in_fallback](xml::Reader&, const xml::Start& s) {
                    seen.push_back(std::string(s.name.local) + (in_fallback ? "!@" : "@") +
                                   std::to_string(s.offset));
                };
                return vc::pml::walk_all(r, visit, &in_fallback);
            });
            const Walked reference = walk_with(text, reference_walk);
            ASSERT_EQ(flat.status, reference.status) << body << " cut " << cut;
            ASSERT_EQ(flat.seen, reference.seen) << body << " cut " << cut;
        }
    }
}
