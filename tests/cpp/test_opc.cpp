#include "core/opc.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace opc = vantrell_core::opc;

namespace {

std::string why(std::string_view name) {
    auto e = opc::check_part_name(name);
    return e ? e->message() : "ok";
}

const char* const RELS_NS = "http://schemas.openxmlformats.org/package/2006/relationships";
const char* const CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types";

std::string rels(const std::string& body) {
    return std::string("<?xml version=\"1.0\"?><Relationships xmlns=\"") + RELS_NS + "\">" + body +
           "</Relationships>";
}
std::string types(const std::string& body) {
    return std::string("<Types xmlns=\"") + CT_NS + "\">" + body + "</Types>";
}

} // namespace

TEST(PartNames, Grammar) {
    struct Case {
        const char* name;
        const char* why;
    } cases[] = {
        {"/ppt/slides/slide1.xml", "ok"},
        {"/a%20b/c:d@e!$&'()*+,;=~_-.x", "ok"},
        {"/caf\xc3\xa9.xml", "ok"}, // an IRI may carry non-ASCII letters
        {"", "empty part name"},
        {"ppt/slide.xml", "part name does not start with '/'"},
        {"/", "trailing '/'"},
        {"/ppt/", "trailing '/'"},
        {"//a", "empty segment"},
        {"/a//b", "empty segment"},
        {"/a./b", "segment ends with '.'"},
        {"/a/b.", "segment ends with '.'"},
        {"/a/..", "segment ends with '.'"},
        {"/a b", "character ' ' must be percent-encoded"},
        {"/a?b", "character '?' must be percent-encoded"},
        {"/a#b", "character '#' must be percent-encoded"},
        {"/a\\b", "character '\\\\' must be percent-encoded"}, // quoted form doubles it
        {"/a\"b", "character '\"' must be percent-encoded"},
        {"/a'b", "ok"},
        {"/a\tb", "character '\\t' must be percent-encoded"},
        {"/a\x7f", "character '\\u{7f}' must be percent-encoded"},
        {"/a[1]", "character '[' must be percent-encoded"},
        {"/a%", "'%' not followed by two hex digits"},
        {"/a%4", "'%' not followed by two hex digits"},
        {"/a%4g", "'%' not followed by two hex digits"},
        {"/a%2/b", "'%' not followed by two hex digits"}, // the escape may not run into the next segment
        {"/a%2F", "percent-encoded slash"},
        {"/a%2fb", "percent-encoded slash"},
        {"/a%5C", "percent-encoded slash"},
        {"/a%41", "percent-encoded unreserved character"},
        {"/a%7E", "percent-encoded unreserved character"},
        {"/a%25", "ok"},
        {"/a%C3%A9", "ok"},
    };
    for (const auto& c : cases) EXPECT_EQ(why(c.name), c.why) << c.name;
}

TEST(RelsNames, NamingBothWays) {
    EXPECT_EQ(opc::rels_part_name(""), "/_rels/.rels");
    EXPECT_EQ(opc::rels_part_name("/"), "/_rels/.rels");
    EXPECT_EQ(opc::rels_part_name("/ppt/presentation.xml"), "/ppt/_rels/presentation.xml.rels");
    EXPECT_EQ(opc::rels_part_name("/ppt/slides/slide1.xml"), "/ppt/slides/_rels/slide1.xml.rels");
    EXPECT_EQ(opc::rels_part_name("/a.xml"), "/_rels/a.xml.rels");

    EXPECT_EQ(opc::source_of_rels("/_rels/.rels"), "/");
    EXPECT_EQ(opc::source_of_rels("/ppt/slides/_rels/slide1.xml.rels"), "/ppt/slides/slide1.xml");
    EXPECT_EQ(opc::source_of_rels("/_rels/a.xml.rels"), "/a.xml");
    EXPECT_EQ(opc::source_of_rels("/ppt/_rels/.rels"), std::nullopt); // empty file name
    EXPECT_EQ(opc::source_of_rels("/ppt/_RELS/a.xml.rels"), std::nullopt);
    EXPECT_EQ(opc::source_of_rels("/ppt/_rels/a.xml.RELS"), std::nullopt);
    EXPECT_EQ(opc::source_of_rels("/ppt/rels/a.xml.rels"), std::nullopt);
    EXPECT_EQ(opc::source_of_rels("/ppt/_rels/sub/a.xml.rels"), std::nullopt);
    EXPECT_EQ(opc::source_of_rels("a.rels"), std::nullopt);
    for (const char* s : {"/ppt/presentation.xml", "/x/y/z.bin", "/a"})
        EXPECT_EQ(opc::source_of_rels(opc::rels_part_name(s)), s);
    // The yes/no form agrees with the full one everywhere.
    for (const char* s : {"/_rels/.rels", "/ppt/slides/_rels/slide1.xml.rels", "/_rels/a.xml.rels", "/ppt/_rels/.rels",
                          "/ppt/_RELS/a.xml.rels", "/ppt/_rels/a.xml.RELS", "/ppt/rels/a.xml.rels", "_rels/a.rels",
                          "a.rels", "", "/", "/.rels", "/_rels/.rels/x", "_rels/.rels"})
        EXPECT_EQ(opc::is_rels_part_name(s), opc::source_of_rels(s).has_value()) << s;
}

TEST(RelsNames, ResolveTarget) {
    const char* slide = "/ppt/slides/slide1.xml";
    EXPECT_EQ(opc::resolve_target(slide, "../slideLayouts/slideLayout1.xml"), "/ppt/slideLayouts/slideLayout1.xml");
    EXPECT_EQ(opc::resolve_target(slide, "../media/image1.png"), "/ppt/media/image1.png");
    EXPECT_EQ(opc::resolve_target(slide, "/ppt/media/a.png"), "/ppt/media/a.png");
    EXPECT_EQ(opc::resolve_target(slide, "./x.xml"), "/ppt/slides/x.xml");
    EXPECT_EQ(opc::resolve_target(slide, "x.xml#frag"), "/ppt/slides/x.xml");
    EXPECT_EQ(opc::resolve_target(slide, "x.xml?q=1#f"), "/ppt/slides/x.xml");
    EXPECT_EQ(opc::resolve_target(slide, "..\\media\\b.png"), "/ppt/media/b.png");
    EXPECT_EQ(opc::resolve_target(slide, "../../../../../etc/x"), "/etc/x");
    EXPECT_EQ(opc::resolve_target(slide, "a//b/./c"), "/ppt/slides/a/b/c");
    EXPECT_EQ(opc::resolve_target(slide, "My%20File.XML"), "/ppt/slides/My%20File.XML");
    // An empty path with a query or fragment is the source itself; an empty
    // target is its folder.
    EXPECT_EQ(opc::resolve_target(slide, ""), "/ppt/slides");
    EXPECT_EQ(opc::resolve_target(slide, "#_ftn1"), "/ppt/slides/slide1.xml");
    EXPECT_EQ(opc::resolve_target(slide, "?q#f"), "/ppt/slides/slide1.xml");
    EXPECT_EQ(opc::resolve_target(slide, "#"), "/ppt/slides/slide1.xml");
    EXPECT_EQ(opc::resolve_target("/", "#x"), "/");
    EXPECT_EQ(opc::resolve_target("/ppt//a/./b.xml", "#x"), "/ppt/a/b.xml");
    EXPECT_EQ(opc::resolve_target("/", "ppt/presentation.xml"), "/ppt/presentation.xml");
    // A backslash separates segments in the target only, and makes it absolute
    // when it leads; the source's folder is taken as written.
    EXPECT_EQ(opc::resolve_target(slide, "\\ppt\\x.xml"), "/ppt/x.xml");
    EXPECT_EQ(opc::resolve_target("/a\\b/c.xml", "d.xml"), "/a\\b/d.xml");
    EXPECT_EQ(opc::resolve_target("/a\\b/c.xml", "../d.xml"), "/d.xml");
    EXPECT_EQ(opc::resolve_target("/a/b.xml", "x/../../../y/./"), "/y");
    EXPECT_EQ(opc::resolve_target("/", ""), "/");
    EXPECT_EQ(opc::resolve_target("/", ".."), "/");
    EXPECT_EQ(opc::resolve_target("", "a"), "/a");
    EXPECT_EQ(opc::resolve_target("/ppt/presentation.xml", "/"), "/");

    // Into a buffer that still holds an earlier, longer or shorter, result.
    std::string reused = "/left/over/from/an/earlier/target/with/many/segments.xml";
    for (const char* t : {"../a.xml", "..\\..\\b\\c.xml", "", "/", "x/../../y", "a/b/c/d/e/f/g/h.xml", "..", "#f"}) {
        opc::resolve_target_into(slide, t, reused);
        EXPECT_EQ(reused, opc::resolve_target(slide, t)) << t;
    }
}

TEST(Relationships, ParsesFieldsDuplicatesAndDefects) {
    const std::string text = rels(
        "<Relationship Id=\"rId1\" Type=\"t/slide\" Target=\"slides/slide1.xml\"/>"
        "<Relationship Id=\"rId2\" Type=\"t/link\" Target=\"http://x.test/?a=1&amp;b=2\" TargetMode=\"External\"/>"
        "<Relationship Id=\"rId3\" Type=\"t\" Target=\"a\" TargetMode=\"Internal\"/>"
        "<Relationship Id=\"rId1\" Type=\"t/dup\" Target=\"b\"/>"
        "<Relationship Id=\"rid1\" Type=\"t/case\" Target=\"c\"/>"
        "<Relationship Id=\"rId5\" Type=\"t\"/>"
        "<Relationship Id=\"rId6\" Type=\"t\" Target=\"d\" TargetMode=\"external\"><x/></Relationship>"
        "<Other><Relationship Id=\"nested\" Type=\"t\" Target=\"e\"/></Other>");
    auto r = opc::Relationships::parse("/ppt/presentation.xml", text);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->source, "/ppt/presentation.xml");
    EXPECT_FALSE(r->wrong_root);
    ASSERT_EQ(r->relationships.size(), 6u);
    const auto& link = r->relationships[1];
    EXPECT_EQ(link.target, "http://x.test/?a=1&b=2");
    EXPECT_TRUE(link.external);
    EXPECT_FALSE(r->relationships[2].external);
    EXPECT_FALSE(r->relationships[5].external); // bad TargetMode counts as internal
    EXPECT_EQ(r->relationships[0].offset, text.find("<Relationship Id=\"rId1\""));
    EXPECT_EQ(r->duplicate_ids, std::vector<std::size_t>{3}); // Ids compare byte for byte

    ASSERT_NE(r->get("rId1"), nullptr);
    EXPECT_EQ(r->get("rId1")->type, "t/slide"); // the first of a repeated Id
    EXPECT_EQ(r->get("rid1")->type, "t/case");
    EXPECT_EQ(r->get("RID2"), nullptr);
    EXPECT_EQ(r->get("nested"), nullptr);

    const std::vector<opc::Defect> want = {
        {"Relationship without Id, Type or Target", text.find("<Relationship Id=\"rId5\"")},
        {"TargetMode is neither Internal nor External", text.find("<Relationship Id=\"rId6\"")},
        {"unexpected element in a Relationships part", text.find("<Other>")},
    };
    EXPECT_EQ(r->defects, want);
}

// Fields in any order, references decoded in every one (TargetMode too), and
// namespaced attributes that share a field's local name left out.
TEST(Relationships, AttributesInAnyOrderWithReferences) {
    const std::string text = rels(
        "<Relationship TargetMode=\"Ext&#101;rnal\" Target=\"a&amp;b\" Type=\"t&lt;\" Id=\"r&#49;\"/>"
        "<Relationship xmlns:x=\"urn:x\" x:Id=\"wrong\" Id=\"rId2\" x:Target=\"wrong\" Target=\"b\" "
        "x:TargetMode=\"External\" Type=\"t\"/>"
        "<Relationship xmlns:x=\"urn:x\" x:Id=\"i\" x:Type=\"t\" x:Target=\"c\"/>"
        "<Relationship Id=\"rId4\" Type=\"t\" Target=\"caf\xC3\xA9\" TargetMode=\"Internal\"/>");
    auto r = opc::Relationships::parse("/", text);
    ASSERT_TRUE(r) << r.error().message;
    ASSERT_EQ(r->relationships.size(), 3u);
    const auto& first = r->relationships[0];
    EXPECT_EQ(first.id, "r1");
    EXPECT_EQ(first.type, "t<");
    EXPECT_EQ(first.target, "a&b");
    EXPECT_TRUE(first.external);
    EXPECT_EQ(r->relationships[1].id, "rId2");
    EXPECT_EQ(r->relationships[1].target, "b");
    EXPECT_FALSE(r->relationships[1].external);
    EXPECT_EQ(r->relationships[2].target, "caf\xC3\xA9");
    EXPECT_EQ(r->get("r1"), &r->relationships[0]);
    ASSERT_EQ(r->defects.size(), 1u);
    EXPECT_EQ(r->defects[0].offset, text.find("<Relationship xmlns:x=\"urn:x\" x:Id=\"i\""));
}

// Lookups by Id keep working in copies and moves of a parsed set, over many
// relationships, with repeats reported in document order.
TEST(Relationships, LookupsSurviveCopiesAndScale) {
    std::string body;
    for (int i = 0; i < 3000; ++i)
        body += "<Relationship Id=\"rId" + std::to_string(i % 2500) + "\" Type=\"t\" Target=\"s" +
                std::to_string(i) + ".xml\"/>";
    std::optional<opc::Relationships> copy;
    {
        auto r = opc::Relationships::parse("/ppt/presentation.xml", rels(body));
        ASSERT_TRUE(r) << r.error().message;
        ASSERT_EQ(r->duplicate_ids.size(), 500u);
        EXPECT_EQ(r->duplicate_ids.front(), 2500u);
        EXPECT_EQ(r->duplicate_ids.back(), 2999u);
        copy = *r;
    }
    opc::Relationships moved = std::move(*copy);
    for (int i = 0; i < 2500; i += 97) {
        const opc::Relationship* rel = moved.get("rId" + std::to_string(i));
        ASSERT_NE(rel, nullptr) << i;
        EXPECT_EQ(rel->target, "s" + std::to_string(i) + ".xml"); // the first of a repeated Id
    }
    EXPECT_EQ(moved.get("rId2500"), nullptr);

    opc::Relationships by_hand;
    by_hand.relationships.push_back({"rIdX", "t", "x.xml", 0, false});
    ASSERT_NE(by_hand.get("rIdX"), nullptr);
    EXPECT_EQ(by_hand.get("rIdY"), nullptr);

    // A copy holds its own texts, whatever becomes of the set it copied.
    opc::Relationships assigned = by_hand;
    EXPECT_EQ(assigned.relationships[0].target, "x.xml");
    assigned = moved;
    moved = opc::Relationships();
    ASSERT_NE(assigned.get("rId97"), nullptr);
    EXPECT_EQ(assigned.get("rId97")->target, "s97.xml");
    EXPECT_EQ(assigned.relationships.back().type, "t");
    assigned.relationships.push_back({"rIdZ", "t", "z.xml", 0, false});
    const opc::Relationships mixed = assigned;
    EXPECT_EQ(mixed.relationships.front().target, "s0.xml");
    EXPECT_EQ(mixed.relationships.back().target, "z.xml");
}

// Short lists are searched in order and long ones hashed: both report the
// same repeats and find the first holder of an Id, around the switch too.
TEST(Relationships, RepeatsAndLookupsAtEveryLength) {
    for (int n = 1; n <= 20; ++n) {
        std::string body;
        std::vector<std::size_t> want_repeats;
        for (int i = 0; i < n; ++i) {
            // Every third Id repeats the one two places before it.
            const int id = i % 3 == 2 ? i - 2 : i;
            if (id != i) want_repeats.push_back(static_cast<std::size_t>(i));
            body += "<Relationship Id=\"rId" + std::to_string(id) + "\" Type=\"t\" Target=\"s" +
                    std::to_string(i) + ".xml\"/>";
        }
        auto r = opc::Relationships::parse("/ppt/presentation.xml", rels(body));
        ASSERT_TRUE(r) << r.error().message;
        EXPECT_EQ(r->duplicate_ids, want_repeats) << n;
        for (int i = 0; i < n; ++i) {
            const opc::Relationship* rel = r->get("rId" + std::to_string(i));
            if (i % 3 == 2) {
                EXPECT_EQ(rel, nullptr) << n << " " << i;
            } else {
                ASSERT_NE(rel, nullptr) << n << " " << i;
                EXPECT_EQ(rel->target, "s" + std::to_string(i) + ".xml") << n;
            }
        }
        EXPECT_EQ(r->get("rId"), nullptr);
    }
}

TEST(Relationships, RootsAndXmlErrors) {
    auto wrong = opc::Relationships::parse("/", "<Relationships><Relationship Id=\"a\" Type=\"t\" Target=\"x\"/></Relationships>");
    ASSERT_TRUE(wrong);
    EXPECT_TRUE(wrong->wrong_root);
    EXPECT_EQ(wrong->relationships.size(), 1u);

    auto empty = opc::Relationships::parse("/", rels(""));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->relationships.empty());

    auto none = opc::Relationships::parse("/", "   ");
    ASSERT_FALSE(none);
    EXPECT_STREQ(none.error().message, "no root element");
    EXPECT_EQ(none.error().offset, 3u);

    const std::string cut = rels("<Relationship Id=\"a\" Type=\"t\" Target=\"x\"/>").substr(0, 120);
    EXPECT_FALSE(opc::Relationships::parse("/", cut));
    EXPECT_FALSE(opc::Relationships::parse("/", rels("") + "<again/>")); // a second root fails
    EXPECT_FALSE(opc::Relationships::parse("/", rels("<Relationship Id=\"a\" Id=\"b\" Type=\"t\" Target=\"x\"/>")));
}

TEST(ContentTypes, ParsesLookupsDuplicatesAndDefects) {
    const std::string text = types(
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Default Extension=\"png\" ContentType=\"image/png\"/>"
        "<Default Extension=\"PNG\" ContentType=\"image/x-png\"/>"
        "<Default Extension=\"rels\"/>"
        "<Override PartName=\"/ppt/presentation.xml\" ContentType=\"application/p+xml; v=1\"/>"
        "<Override PartName=\"/PPT/Presentation.xml\" ContentType=\"second\"/>"
        "<Override ContentType=\"x\"/>"
        "<Bogus/>");
    auto ct = opc::ContentTypes::parse(text);
    ASSERT_TRUE(ct) << ct.error().message;
    EXPECT_FALSE(ct->wrong_root);
    ASSERT_EQ(ct->defaults.size(), 3u);
    EXPECT_EQ(ct->defaults[2].first, "PNG"); // case kept
    EXPECT_EQ(ct->overrides.size(), 2u);
    EXPECT_EQ(ct->duplicate_defaults, std::vector<std::size_t>{2});
    EXPECT_EQ(ct->duplicate_overrides, std::vector<std::size_t>{1});
    const std::vector<opc::Defect> want = {
        {"Default element without Extension or ContentType", text.find("<Default Extension=\"rels\"")},
        {"Override element without PartName or ContentType", text.find("<Override ContentType")},
        {"unexpected element in the content types stream", text.find("<Bogus")},
    };
    EXPECT_EQ(ct->defects, want);

    EXPECT_EQ(ct->content_type_of("/PPT/PRESENTATION.XML"), "application/p+xml; v=1");
    EXPECT_EQ(ct->content_type_of("/ppt/media/Image1.PnG"), "image/png");
    EXPECT_EQ(ct->content_type_of("/never/there.xml"), "application/xml");
    EXPECT_EQ(ct->content_type_of("/dir.png/noext"), std::nullopt);
    EXPECT_EQ(ct->content_type_of("/a.rels"), std::nullopt);
    EXPECT_EQ(ct->content_type_of("ppt/presentation.xml"), "application/xml"); // by extension only
}

TEST(ContentTypes, RootsAndXmlErrors) {
    auto wrong = opc::ContentTypes::parse("<Types><Default Extension=\"a\" ContentType=\"b\"/></Types>");
    ASSERT_TRUE(wrong);
    EXPECT_TRUE(wrong->wrong_root);
    EXPECT_EQ(wrong->content_type_of("/x.A"), "b");

    auto bad = opc::ContentTypes::parse(types("<Default Extension=\"a\" ContentType=\"b\">"));
    ASSERT_FALSE(bad);
    auto dtd = opc::ContentTypes::parse("<!DOCTYPE Types []>" + types(""));
    ASSERT_FALSE(dtd);
    EXPECT_EQ(dtd.error().offset, 0u);
}

TEST(Relationships, EveryPrefixParsesOrFails) {
    const std::string text = rels(
        "<Relationship Id=\"rId1\" Type=\"t\" Target=\"a&#x41;\" TargetMode=\"External\"/>"
        "<Relationship Id=\"rId2\" Type=\"t\" Target=\"b\"/>");
    for (std::size_t n = 0; n < text.size(); ++n) {
        const std::string cut = text.substr(0, n); // exact-size copy: over-reads leave it
        EXPECT_FALSE(opc::Relationships::parse("/", cut)) << n;
        EXPECT_FALSE(opc::ContentTypes::parse(cut)) << n;
    }
    auto whole = opc::Relationships::parse("/", text);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->relationships[0].target, "aA");
}
