// The XML pull reader, markup compatibility and the map hash.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/hash.h"
#include "core/mce.h"
#include "core/xml.h"

namespace xml = vantrell_core::xml;
namespace mce = vantrell_core::mce;
namespace hash = vantrell_core::hash;

namespace {

constexpr const char* PML_T = "http://schemas.openxmlformats.org/presentationml/2006/main";
constexpr const char* PML_S = "http://purl.oclc.org/ooxml/presentationml/main";
constexpr const char* MC = "http://schemas.openxmlformats.org/markup-compatibility/2006";

// One line per event: "<qname#ns@offset", "/qname@offset", "'text'",
// "C'cdata'", "$" for the end, "!message@offset" for an error.
std::string events(std::string_view text) {
    xml::Reader r(text);
    std::string out;
    for (int guard = 0; guard < 10000; ++guard) {
        const xml::Event ev = r.next();
        if (!out.empty()) out += ' ';
        switch (ev.kind) {
        case xml::EventKind::start:
            out += "<" + ev.start.name.qualified() + "#" + std::to_string(ev.start.ns) + "@" +
                   std::to_string(ev.offset);
            break;
        case xml::EventKind::end:
            out += "/" + ev.start.name.qualified() + "@" + std::to_string(ev.offset);
            break;
        case xml::EventKind::text: {
            std::string t;
            xml::append_text(ev, t);
            out += (ev.cdata ? "C'" : "'") + t + "'";
            break;
        }
        case xml::EventKind::eof:
            out += "$";
            return out;
        case xml::EventKind::error:
            out += "!" + std::string(ev.error.message) + "@" + std::to_string(ev.error.offset);
            return out;
        }
    }
    return out + " (runaway)";
}

std::string wf(std::string_view text) {
    const auto e = xml::well_formed(text);
    if (!e) return "ok";
    return std::string(e->message) + "@" + std::to_string(e->offset);
}

struct Case {
    const char* name;
    std::string input;
    std::string expected;
};

std::string ns_decl(const char* prefix, const char* uri) {
    return std::string(" xmlns") + (*prefix ? ":" : "") + prefix + "=\"" + uri + "\"";
}

TEST(XmlReader, EventSequences) {
    const std::vector<Case> cases = {
        {"empty element gives start and end", "<a/>", "<a#0@0 /a@0 $"},
        {"declaration, BOM and trailing misc are skipped",
         "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<a/><!-- c -->\n<?pi x?>\n",
         "<a#0@60 /a@60 $"},
        {"single-quoted declaration values", "<?xml version='1.0' encoding='utf-8'?><a/>", "<a#0@38 /a@38 $"},
        {"references decoded on request", "<a>&lt;&#65;&#x42;&amp;&quot;&apos;&gt;</a>",
         "<a#0@0 '<AB&\"'>' /a@39 $"},
        {"non-ASCII character reference", "<a>&#xE9;&#128512;</a>", "<a#0@0 '\xC3\xA9\xF0\x9F\x98\x80' /a@18 $"},
        {"line ends normalised", "<a>x\r\ny\rz\n</a>", "<a#0@0 'x\ny\nz\n' /a@10 $"},
        {"CDATA is raw", "<a><![CDATA[<b>&amp;]]]]></a>", "<a#0@0 C'<b>&amp;]]' /a@25 $"},
        {"comments and PIs inside content are skipped", "<a>x<!-- - -->y<?p d?>z</a>",
         "<a#0@0 'x' 'y' 'z' /a@23 $"},
        {"whitespace text inside root reported", "<a> <b/> </a>", "<a#0@0 ' ' <b#0@4 /b@4 ' ' /a@9 $"},
        {"attributes with > and quotes inside values", "<a b='\"x>' c=\"'\"/>", "<a#0@0 /a@0 $"},
        {"non-ASCII names", "<\xC3\xA9t\xC3\xA9/>", "<\xC3\xA9t\xC3\xA9#0@0 /\xC3\xA9t\xC3\xA9@0 $"},
        {"white space inside tags", "<a\n b = 'x'\t></a >", "<a#0@0 /a@13 $"},
        {"no element at all", "  <!-- only -->  ", "$"},
        {"empty text", "", "$"},
    };
    for (const auto& c : cases) EXPECT_EQ(events(c.input), c.expected) << c.name;
}

TEST(XmlReader, Namespaces) {
    const std::vector<Case> cases = {
        {"default namespace applies to descendants",
         "<a" + ns_decl("", PML_T) + "><b/></a>", "<a#1@0 <b#1@70 /b@70 /a@74 $"},
        {"prefixed, redeclared in a child, restored after it",
         "<p:s" + ns_decl("p", PML_S) + "><p:x xmlns:p=\"urn:x\"/><p:y/></p:s>",
         "<p:s#1@0 <p:x#20@62 /p:x@62 <p:y#1@84 /p:y@84 /p:s@90 $"},
        {"default namespace undeclared with an empty value",
         "<a xmlns=\"urn:x\"><b xmlns=\"\"/><c/></a>", "<a#20@0 <b#0@17 /b@17 <c#20@30 /c@30 /a@34 $"},
        {"declaration after its use in the same tag", "<x:a x:b=\"1\" xmlns:x=\"http://purl.org/dc/terms/\"/>",
         "<x:a#9@0 /x:a@0 $"},
        {"xml prefix is predeclared", "<a xml:lang=\"en\"/>", "<a#0@0 /a@0 $"},
        {"declaration with references", "<d:a xmlns:d=\"http://purl.org/dc/elements/1.1&#x2F;\"/>",
         "<d:a#8@0 /d:a@0 $"},
        {"undeclared element prefix", "<p:a/>", "!undeclared namespace prefix@1"},
        {"undeclared attribute prefix", "<a b=\"1\" p:c=\"2\"/>", "!undeclared namespace prefix@9"},
        {"prefix out of scope after its element", "<a><b xmlns:q=\"urn:q\"/><q:c/></a>",
         "<a#0@0 <b#0@3 /b@3 !undeclared namespace prefix@24"},
        {"prefix bound to the empty name", "<a xmlns:p=\"\"/>", "!empty namespace name for a prefix@3"},
        {"xml prefix rebound", "<a xmlns:xml=\"urn:x\"/>", "!reserved namespace prefix@3"},
        {"xml prefix bound to its own name is fine",
         "<a xmlns:xml=\"http://www.w3.org/XML/1998/namespace\"/>", "<a#0@0 /a@0 $"},
        {"xmlns prefix declared", "<a xmlns:xmlns=\"urn:x\"/>", "!reserved namespace prefix@3"},
        {"xml namespace bound to another prefix", "<a xmlns:x=\"http://www.w3.org/XML/1998/namespace\"/>",
         "!reserved namespace name@3"},
        {"element with the xmlns prefix", "<xmlns:a/>", "!reserved namespace prefix@1"},
        {"same attribute through two prefixes of one URI",
         "<a xmlns:x=\"urn:u\" xmlns:y=\"urn:u\" x:b=\"1\" y:b=\"2\"/>", "!duplicate attribute@43"},
        {"same local name in different namespaces is fine",
         "<a xmlns:x=\"urn:u\" xmlns:y=\"urn:v\" x:b=\"1\" y:b=\"2\" b=\"3\"/>", "<a#0@0 /a@0 $"},
    };
    for (const auto& c : cases) EXPECT_EQ(events(c.input), c.expected) << c.name;
}

// Scopes where so many prefixes are declared that they are looked up
// through an index: the events are those of the same text with one plain
// attribute of the same length in place of the declarations.
TEST(XmlReader, ScopesOfManyPrefixes) {
    std::string many;
    for (int k = 0; k < 40; ++k) many += " xmlns:j" + std::to_string(k) + "=\"urn:j" + std::to_string(k) + "\"";
    const std::string plain = " z=\"" + std::string(many.size() - 5, 'z') + "\"";
    const std::string p = "<p:s" + ns_decl("p", PML_S);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"the first declared, behind the many", "<x:a xmlns:x=\"http://purl.org/dc/terms/\"@/>"},
        {"redeclared in a child, restored after it", p + "@><p:x xmlns:p=\"urn:x\"/><p:y/></p:s>"},
        {"many declared by a child, out of scope after it", p + "><c@/><p:y/><j1:c/></p:s>"},
        {"a default namespace undeclared in a child", "<a xmlns=\"urn:x\"@><b xmlns=\"\"/><c/></a>"},
        {"an undeclared attribute prefix", "<a xmlns:x=\"urn:u\"@><b x:c=\"1\" y:d=\"2\"/></a>"},
    };
    for (const auto& [name, text] : cases) {
        const std::size_t at = text.find('@');
        const std::string got = events(text.substr(0, at) + many + text.substr(at + 1));
        EXPECT_EQ(got, events(text.substr(0, at) + plain + text.substr(at + 1))) << name;
        EXPECT_EQ(got.find("!"), name == cases[2].first || name == cases[4].first ? got.find("!undeclared")
                                                                                     : std::string::npos) << name;
    }
}

const std::vector<Case>& error_cases() {
    static const std::vector<Case> cases = {
        {"unclosed root", "<a>", "unexpected end of document@3"},
        {"mismatched end tag", "<a><b></a>", "mismatched end tag@6"},
        {"end tag with a different prefix", "<a xmlns:x='u' xmlns:y='u'><x:b></y:b></a>", "mismatched end tag@32"},
        {"end tag before any element", "</a>", "unexpected end tag@0"},
        {"two roots", "<a/>\n<b/>", "more than one root element@5"},
        {"DOCTYPE", "<!DOCTYPE a><a/>", "DTD declarations are not allowed in package parts@0"},
        {"DOCTYPE with internal subset after the declaration",
         "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x \"y\">]><a>&x;</a>",
         "DTD declarations are not allowed in package parts@21"},
        {"DOCTYPE inside content", "<a><!DOCTYPE a></a>", "DTD declarations are not allowed in package parts@3"},
        {"unknown markup", "<a><!foo></a>", "invalid markup@3"},
        {"undefined entity", "<a>x&nbsp;</a>", "undefined entity reference@4"},
        {"NUL by reference", "<a>&#0;</a>", "invalid character reference@3"},
        {"surrogate by reference", "<a>&#xD800;</a>", "invalid character reference@3"},
        {"reference beyond Unicode", "<a>&#1114112;</a>", "invalid character reference@3"},
        {"huge reference does not wrap", "<a>&#x100000000000041;</a>", "invalid character reference@3"},
        {"reference without digits", "<a>&#;</a>", "malformed reference@3"},
        {"reference without semicolon", "<a>&amp</a>", "malformed reference@3"},
        {"bare ampersand", "<a>a & b</a>", "malformed reference@5"},
        {"bad reference in attribute", "<a b=\"&lt;&x;\"/>", "undefined entity reference@10"},
        {"less-than in attribute", "<a b=\"<\"/>", "'<' in attribute value@6"},
        {"unquoted attribute", "<a b=1/>", "attribute value not quoted@5"},
        {"attribute without value", "<a b/>", "expected '=' after attribute name@4"},
        {"attributes not separated", "<a b=\"1\"c=\"2\"/>", "malformed start tag@8"},
        {"duplicate attribute", "<a b=\"1\" c=\"\" b=\"2\"/>", "duplicate attribute@14"},
        {"duplicate declaration", "<a xmlns:p=\"u\" xmlns:p=\"v\"/>", "duplicate attribute@15"},
        {"cdata end in text", "<a>x]]>y</a>", "']]>' in text@4"},
        {"control character in text", std::string("<a>\x01</a>"), "invalid character@3"},
        {"NUL in attribute", std::string("<a b=\"\0\"/>", 10), "invalid character@6"},
        {"control character in comment", "<a><!--\x0B--></a>", "invalid character@7"},
        {"text before the root", "x<a/>", "text outside the root element@0"},
        {"text after the root", "<a/> x", "text outside the root element@5"},
        {"CDATA outside the root", "<![CDATA[x]]><a/>", "text outside the root element@0"},
        {"declaration not first", " <?xml version=\"1.0\"?><a/>", "misplaced xml declaration@1"},
        {"declaration inside content", "<a><?xml version=\"1.0\"?></a>", "misplaced xml declaration@3"},
        {"reserved PI target in other case", "<?XML version=\"1.0\"?><a/>", "misplaced xml declaration@0"},
        {"declaration without version", "<?xml encoding=\"UTF-8\"?><a/>", "malformed xml declaration@0"},
        {"declaration out of order", "<?xml version=\"1.0\" standalone=\"no\" encoding=\"x\"?><a/>",
         "malformed xml declaration@0"},
        {"declaration with a bad version", "<?xml version=\"2.0\"?><a/>", "malformed xml declaration@0"},
        {"double hyphen in comment", "<a><!-- a -- b --></a>", "'--' in comment@10"},
        {"comment ending in three hyphens", "<a><!-- a ---></a>", "'--' in comment@10"},
        {"name starting with a digit", "<1a/>", "invalid name@1"},
        {"empty local name", "<a:/>", "invalid qualified name@1"},
        {"two colons", "<a:b:c xmlns:a=\"u\"/>", "invalid qualified name@1"},
        {"malformed end tag", "<a></a b>", "malformed end tag@7"},
        {"slash not closing the tag", "<a / >", "malformed start tag@3"},
        {"no root element", "", "no root element@0"},
        {"only misc", "<?pi?>  ", "no root element@8"},
        {"BOM alone", "\xEF\xBB\xBF", "no root element@3"},
    };
    return cases;
}

TEST(XmlReader, ErrorsWithOffsets) {
    for (const auto& c : error_cases()) EXPECT_EQ(wf(c.input), c.expected) << c.name;
}

// The scanners work on blocks of bytes; a special byte must be found at
// every position of a long value or text, and tab and line feed let through.
TEST(XmlReader, SpecialBytesAtEveryPosition) {
    for (std::size_t i = 0; i < 40; ++i) {
        std::string value(40, 'v');
        value[i] = '\x01';
        EXPECT_EQ(wf("<a b=\"" + value + "\"/>"), "invalid character@" + std::to_string(6 + i)) << i;
        value[i] = '<';
        EXPECT_EQ(wf("<a b='" + value + "'/>"), "'<' in attribute value@" + std::to_string(6 + i)) << i;
        value[i] = '\t';
        EXPECT_EQ(wf("<a b='" + value + "'/>"), "ok") << i;
        std::string text(40, 't');
        text[i] = '\x1F';
        EXPECT_EQ(wf("<a>" + text + "</a>"), "invalid character@" + std::to_string(3 + i)) << i;
        text[i] = '&';
        EXPECT_EQ(wf("<a>" + text + "</a>"), "malformed reference@" + std::to_string(3 + i)) << i;
        text[i] = '\n';
        EXPECT_EQ(events("<a>" + text + "</a>"), "<a#0@0 '" + text + "' /a@43 $") << i;
    }
    // A value whose closing quote is the last byte of the text.
    EXPECT_EQ(wf("<a b='" + std::string(33, 'x') + "'"), "unexpected end of document@40");
}

TEST(XmlReader, ErrorIsSticky) {
    xml::Reader r(std::string_view("<a><b></a>"));
    EXPECT_EQ(r.next().kind, xml::EventKind::start);
    EXPECT_EQ(r.next().kind, xml::EventKind::start);
    const auto e1 = r.next();
    const auto e2 = r.next();
    ASSERT_EQ(e1.kind, xml::EventKind::error);
    ASSERT_EQ(e2.kind, xml::EventKind::error);
    EXPECT_EQ(e1.error, e2.error);
    EXPECT_EQ(e1.error.to_error("/ppt/slides/slide1.xml").message(),
              "xml in /ppt/slides/slide1.xml at byte 6: mismatched end tag");
}

TEST(XmlReader, NestingLimit) {
    auto nested = [](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += "<a>";
        for (std::size_t i = 0; i < n; ++i) s += "</a>";
        return s;
    };
    EXPECT_EQ(wf(nested(xml::MAX_DEPTH)), "ok");
    EXPECT_EQ(wf(nested(xml::MAX_DEPTH + 1)), "nesting too deep@" + std::to_string(3 * xml::MAX_DEPTH));
    // Far deeper input must fail the same way, without recursion anywhere.
    EXPECT_EQ(wf(nested(100000)), "nesting too deep@" + std::to_string(3 * xml::MAX_DEPTH));
}

TEST(XmlReader, StrictAndTransitionalFlags) {
    struct FlagCase {
        std::string text;
        bool strict, transitional;
    };
    const std::string ext_hyphen = "http://purl.oclc.org/ooxml/officeDocument/extended-properties";
    const std::vector<FlagCase> cases = {
        {"<p:s" + ns_decl("p", PML_S) + "/>", true, false},
        {"<p:s" + ns_decl("p", PML_T) + "/>", false, true},
        // An unused declaration counts as well.
        {"<a" + ns_decl("p", PML_S) + ns_decl("a", "http://schemas.openxmlformats.org/drawingml/2006/main") +
             "/>",
         true, true},
        {"<Properties" + ns_decl("", ext_hyphen.c_str()) + "/>", true, false},
        {"<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"/>", false, false},
        {"<a" + ns_decl("mc", MC) + ns_decl("p14", "http://schemas.microsoft.com/office/powerpoint/2010/main") + "/>",
         false, false},
    };
    for (const auto& c : cases) {
        xml::Reader r(c.text);
        EXPECT_FALSE(r.strict_seen());
        EXPECT_FALSE(r.transitional_seen());
        ASSERT_EQ(r.next().kind, xml::EventKind::start) << c.text;
        EXPECT_EQ(r.strict_seen(), c.strict) << c.text;
        EXPECT_EQ(r.transitional_seen(), c.transitional) << c.text;
    }
    // A declaration below the root is only seen once the reader gets there.
    const std::string below = "<a><b" + ns_decl("p", PML_S) + "/></a>";
    xml::Reader r(below);
    r.next();
    EXPECT_FALSE(r.strict_seen());
    r.next();
    EXPECT_TRUE(r.strict_seen());
}

TEST(XmlReader, NamespaceTable) {
    EXPECT_EQ(xml::namespace_id(""), xml::ns::NONE);
    EXPECT_EQ(xml::namespace_id(PML_T), xml::ns::PML);
    EXPECT_EQ(xml::namespace_id(PML_S), xml::ns::PML);
    EXPECT_EQ(xml::namespace_id("http://schemas.openxmlformats.org/officeDocument/2006/relationships"),
              xml::ns::REL);
    EXPECT_EQ(xml::namespace_id("http://purl.oclc.org/ooxml/officeDocument/relationships"), xml::ns::REL);
    EXPECT_EQ(xml::namespace_id(MC), xml::ns::MC);
    EXPECT_EQ(xml::namespace_id("http://schemas.openxmlformats.org/package/2006/metadata/core-properties"),
              xml::ns::CORE_PROPS);
    EXPECT_EQ(xml::namespace_id("http://www.w3.org/2001/XMLSchema-instance"), xml::ns::XSI);
    EXPECT_EQ(xml::namespace_id("http://schemas.microsoft.com/office/powerpoint/2007/7/12/main"), xml::ns::P14);
    // Case and trailing slashes matter.
    EXPECT_EQ(xml::namespace_id("http://purl.org/dc/terms"), xml::ns::OTHER);
    EXPECT_EQ(xml::namespace_id("HTTP://purl.org/dc/terms/"), xml::ns::OTHER);
    EXPECT_EQ(xml::namespace_info("http://schemas.openxmlformats.org/package/2006/relationships").form,
              xml::Form::none);
    EXPECT_EQ(xml::namespace_info("http://purl.oclc.org/ooxml/drawingml/picture").form, xml::Form::strict);
}

TEST(XmlReader, AttributesAndHelpers) {
    const std::string text = "<p:cNvPr" + ns_decl("p", PML_T) +
                             " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\""
                             " id=\"4\" r:id='rId&amp;1' xml:lang=\"en\" descr=\"a&#10;b\"/>";
    xml::Reader r(text);
    const xml::Event ev = r.next();
    ASSERT_EQ(ev.kind, xml::EventKind::start);
    std::vector<std::string> seen;
    for (xml::Attrs it(r, ev.start); auto a = it.next();) {
        seen.push_back(a->name.qualified() + "#" + std::to_string(a->ns) + "=" + std::string(a->value) + "@" +
                       std::to_string(a->offset));
        EXPECT_EQ(text.substr(a->offset, a->name.qualified().size()), a->name.qualified());
    }
    const std::vector<std::string> expected = {
        "xmlns:p#20=" + std::string(PML_T) + "@9",
        "xmlns:r#20=http://schemas.openxmlformats.org/officeDocument/2006/relationships@78",
        "id#0=4@156",
        "r:id#3=rId&amp;1@163",
        "xml:lang#20=en@180",
        "descr#0=a&#10;b@194",
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(r.attr(ev.start, xml::ns::REL, "id"), "rId&1");
    EXPECT_EQ(r.attr(ev.start, xml::ns::NONE, "id"), "4");
    EXPECT_EQ(r.attr(ev.start, xml::ns::NONE, "descr"), "a\nb");
    EXPECT_FALSE(r.attr(ev.start, xml::ns::PML, "id").has_value());
    EXPECT_EQ(r.lookup("r"), xml::ns::REL);
    EXPECT_EQ(r.lookup(""), xml::ns::NONE);
    EXPECT_FALSE(r.lookup("q").has_value());
}

// The attributes of a start event read the same whether the iterator is
// made at once, partly used before the reader moves on, or made later from
// an element still open; a prefix rebound in a child and restored after it
// resolves to the binding in scope.
// `find_attr` answers as the first match of an `Attrs` walk, on the tag just
// read and on one the reader has moved past; `unescape_attr` keeps plain
// values, decodes references and replaces invalid UTF-8.
TEST(XmlReader, FindAttrAgreesWithTheWalk) {
    const std::string text = "<r" + ns_decl("p", PML_T) + ns_decl("q", PML_T) + " xmlns='urn:d'>"
                             "<p:a id='1' p:id='2' q:x='3' xml:lang='en' xmlns:z='urn:z' z:id='4'/>"
                             "<b/><c id='only'/><p:d id='&lt;\xC3\xA9\xFF'/></r>";
    const std::pair<std::uint16_t, const char*> queries[] = {
        {xml::ns::NONE, "id"}, {xml::ns::PML, "id"}, {xml::ns::PML, "x"}, {xml::ns::OTHER, "lang"},
        {xml::ns::OTHER, "z"}, {xml::ns::OTHER, "id"}, {xml::ns::NONE, "lang"}, {xml::ns::DML, "id"},
    };
    auto describe = [](const std::optional<xml::Attr>& a) {
        if (!a) return std::string("none");
        return a->name.qualified() + "#" + std::to_string(a->ns) + "=" + std::string(a->value) + "@" +
               std::to_string(a->offset);
    };
    xml::Reader r(text);
    std::vector<xml::Start> starts;
    for (xml::Event ev = r.next(); ev.kind != xml::EventKind::eof; ev = r.next()) {
        ASSERT_NE(ev.kind, xml::EventKind::error);
        if (ev.kind != xml::EventKind::start) continue;
        starts.push_back(ev.start);
        if (starts.size() == 3) {
            // The reader moved on past <p:a>: its tag is scanned anew, in the
            // scope that is still open.
            EXPECT_EQ(describe(r.find_attr(starts[1], xml::ns::PML, "id")),
                      "p:id#1=2@" + std::to_string(text.find("p:id")));
            EXPECT_EQ(describe(r.find_attr(starts[1], xml::ns::NONE, "id")),
                      "id#0=1@" + std::to_string(text.find("id='1'")));
        }
        for (const auto& [id, local] : queries) {
            std::optional<xml::Attr> walked;
            for (xml::Attrs it(r, ev.start); auto a = it.next();) {
                if (a->ns == id && a->name.local == local) {
                    walked = a;
                    break;
                }
            }
            EXPECT_EQ(describe(r.find_attr(ev.start, id, local)), describe(walked)) << local;
        }
    }
    ASSERT_EQ(starts.size(), 5u);
    EXPECT_EQ(describe(r.find_attr(starts[3], xml::ns::NONE, "id")),
              "id#0=only@" + std::to_string(text.find("id='only'")));
    EXPECT_EQ(xml::unescape_attr("plain value"), "plain value");
    EXPECT_EQ(xml::unescape_attr(""), "");
    EXPECT_EQ(xml::unescape_attr("&lt;\xC3\xA9\xFF"), "<\xC3\xA9\xEF\xBF\xBD");
    EXPECT_EQ(xml::unescape_attr("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(xml::unescape_attr("a\xFF"), "a\xEF\xBF\xBD");
    EXPECT_EQ(*r.attr(starts[4], xml::ns::NONE, "id"), "<\xC3\xA9\xEF\xBF\xBD");
}

TEST(XmlReader, AttributesAfterTheReaderMovesOn) {
    const std::string text = "<p:sp" + ns_decl("p", PML_T) + ns_decl("a", MC) +
                             " \n a:b='1'\tc = \"x&lt;y\" d=''>"
                             "<a:t" + ns_decl("a", PML_S) + " a:e='2'/><a:u a:f='3'/></p:sp>";
    auto listing = [](xml::Attrs it) {
        std::string out;
        while (auto a = it.next()) {
            out += a->name.qualified() + "#" + std::to_string(a->ns) + "=" + std::string(a->value) + "@" +
                   std::to_string(a->offset) + " ";
        }
        return out;
    };
    xml::Reader r(text);
    const xml::Event root = r.next();
    ASSERT_EQ(root.kind, xml::EventKind::start);
    const std::string at_once = listing(xml::Attrs(r, root.start));
    EXPECT_NE(at_once.find("a:b#6=1@"), std::string::npos) << at_once;
    EXPECT_NE(at_once.find("c#0=x&lt;y@"), std::string::npos) << at_once;
    EXPECT_NE(at_once.find("d#0=@"), std::string::npos) << at_once;

    xml::Attrs partial(r, root.start);
    const auto first = partial.next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->name.qualified(), "xmlns:p");
    const xml::Event child = r.next();
    ASSERT_EQ(child.kind, xml::EventKind::start);
    EXPECT_EQ(child.start.ns, xml::ns::PML);
    EXPECT_EQ(listing(xml::Attrs(r, child.start)), "xmlns:a#20=" + std::string(PML_S) + "@" +
                                                       std::to_string(text.find("xmlns:a", 80)) + " a:e#1=2@" +
                                                       std::to_string(text.find("a:e")) + " ");
    // The rest of the root's attributes, now found by scanning again.
    std::string rest = first->name.qualified() + "#" + std::to_string(first->ns) + "=" + std::string(first->value) +
                       "@" + std::to_string(first->offset) + " ";
    while (auto a = partial.next()) {
        rest += a->name.qualified() + "#" + std::to_string(a->ns) + "=" + std::string(a->value) + "@" +
                std::to_string(a->offset) + " ";
    }
    EXPECT_EQ(rest.substr(0, rest.find("a:b")), at_once.substr(0, at_once.find("a:b")));
    EXPECT_EQ(rest.substr(rest.find("c#")), at_once.substr(at_once.find("c#")));

    EXPECT_EQ(r.next().kind, xml::EventKind::end);
    const xml::Event sibling = r.next();
    ASSERT_EQ(sibling.kind, xml::EventKind::start);
    EXPECT_EQ(sibling.start.ns, xml::ns::MC);
    EXPECT_EQ(listing(xml::Attrs(r, sibling.start)), "a:f#6=3@" + std::to_string(text.find("a:f")) + " ");
    EXPECT_EQ(r.next().kind, xml::EventKind::end);
    const xml::Event close = r.next();
    ASSERT_EQ(close.kind, xml::EventKind::end);
    EXPECT_EQ(listing(xml::Attrs(r, close.start)), listing(xml::Attrs(r, root.start)));
}

TEST(XmlReader, UnescapeAndNames) {
    EXPECT_EQ(xml::unescape_attr("a&amp;b&lt;&gt;&quot;&apos;"), "a&b<>\"'");
    EXPECT_EQ(xml::unescape_attr("&#x41;&#66;"), "AB");
    // Unknown or malformed references stay as written.
    EXPECT_EQ(xml::unescape_attr("&nbsp; & &#0; &#x; &amp"), "&nbsp; & &#0; &#x; &amp");
    EXPECT_EQ(xml::unescape_attr("x\xFFy"), "x\xEF\xBF\xBDy");
    EXPECT_EQ(xml::unescape_attr("\xE2\x82"), "\xEF\xBF\xBD");  // truncated sequence: one replacement
    std::string scratch;
    const std::string_view plain = "rId7";
    EXPECT_EQ(xml::attr_value(plain, scratch).data(), plain.data());
    EXPECT_EQ(xml::attr_value("a&amp;b", scratch), "a&b");

    EXPECT_EQ((xml::Name{"p", "sld"}).qualified(), "p:sld");
    EXPECT_EQ((xml::Name{"", "sld"}).qualified(), "sld");
    EXPECT_EQ((xml::Name{"\xC0", "x\xFF"}).qualified(), "\xEF\xBF\xBD:x\xEF\xBF\xBD");
}

TEST(XmlReader, SkipAndReadText) {
    xml::Reader r(std::string_view("<r><a:t xmlns:a='u'>x<b>y<c/></b>&amp;z<![CDATA[<w>]]></a:t><s/><t/></r>"));
    r.next();
    ASSERT_EQ(r.next().kind, xml::EventKind::start);
    std::string text;
    ASSERT_TRUE(r.read_text(text));
    EXPECT_EQ(text, "xy&z<w>");
    EXPECT_EQ(r.depth(), 1u);
    const auto s = r.next();
    ASSERT_EQ(s.kind, xml::EventKind::start);
    EXPECT_EQ(s.start.name.local, "s");
    EXPECT_TRUE(s.start.self_closing);
    ASSERT_TRUE(r.skip());  // consumes the pending end of <s/>
    const auto t = r.next();
    EXPECT_EQ(t.start.name.local, "t");

    // Errors inside skipped content surface.
    xml::Reader bad(std::string_view("<r><a><b></c></a></r>"));
    bad.next();
    bad.next();
    const auto st = bad.skip();
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error(), (xml::XmlError{"mismatched end tag", 9}));
}

// Unchecked skipping ends where checked skipping ends, over whatever may hide
// a tag boundary; inside, malformed markup passes, but the end tags of the
// open elements are still read and matched.
TEST(XmlReader, UncheckedSkipping) {
    const auto after_skip = [](std::string_view doc, bool checked) -> std::string {
        xml::Reader r(doc);
        r.next();
        if (r.next().kind != xml::EventKind::start) return "no start";
        const auto st = checked ? r.skip_to_depth(1) : r.skip_to_depth_unchecked(1);
        if (!st) return std::string(st.error().message) + "@" + std::to_string(st.error().offset);
        const auto ev = r.next();
        return ev.kind == xml::EventKind::start ? std::string(ev.start.name.local) + "@" + std::to_string(ev.start.offset)
                                                : "kind " + std::to_string(static_cast<int>(ev.kind));
    };
    const std::string_view same[] = {
        "<r><s/><after/></r>",
        "<r><s a='x>y' b=\"p>'q\"><s>t > u /> v</s></s><after/></r>",
        "<r><s><!-- <x> </s> --><![CDATA[</s><y>]]><?pi </s> ?><e/></s><after/></r>",
        "<r><s xmlns:q='u'><q:s><q:s/></q:s>\n<t\tk='1'\n/></s><after/></r>",
        "<r xmlns:p='u'><p:s><p:s/></p:s ><after/></r>",
    };
    for (const std::string_view d : same) {
        EXPECT_EQ(after_skip(d, false), after_skip(d, true)) << d;
        EXPECT_EQ(after_skip(d, false).substr(0, 5), "after") << d;
    }
    // Malformed inside: passed over.
    const std::string_view malformed = "<r><s><a b='1' b='2'><c></d>&bogus; \x01</a></s><after/></r>";
    EXPECT_EQ(after_skip(malformed, false), "after@" + std::to_string(malformed.find("<after")));
    EXPECT_EQ(after_skip("<r><s><a b='1' b='2'/></s><after/></r>", true), "duplicate attribute@15");
    // Only the skipped element's own end tag ends it, and it is read as ever.
    EXPECT_EQ(after_skip("<r><s><a></a></t><after/></r>", false), "unexpected end of document@29");
    EXPECT_EQ(after_skip("<r><s><a></a></s x><after/></r>", false), "malformed end tag@17");
    for (const std::string_view cut : {"<r><s><a>", "<r><s><a b='>", "<r><s><!-- x", "<r><s><![CDATA[ x", "<r><s><? x"})
        EXPECT_EQ(after_skip(cut, false), "unexpected end of document@" + std::to_string(cut.size())) << cut;

    // Deeper targets close every open element on the way.
    xml::Reader r(std::string_view("<r><a><b><c x='1'><d/></c></b></a><z/></r>"));
    for (int i = 0; i < 4; ++i) r.next();
    ASSERT_EQ(r.depth(), 4u);
    ASSERT_TRUE(r.skip_to_depth_unchecked(1));
    EXPECT_EQ(r.depth(), 1u);
    EXPECT_EQ(r.next().start.name.local, "z");
}

// Attribute names that share length, first and last byte, or differ only in
// the prefix, are told apart; a true repeat is found wherever it stands.
TEST(XmlReader, AttributeNamesThatLookAlike) {
    EXPECT_EQ(wf("<a abc='1' axc='2' ac='3' a='4' c='5'/>"), "ok");
    EXPECT_EQ(wf("<a xmlns:p='u' xmlns:q='v' p:ab='1' q:ab='2' ab='3'/>"), "ok");
    EXPECT_EQ(wf("<a abc='1' axc='2' abc='3'/>"), "duplicate attribute@19");
    EXPECT_EQ(wf("<a><b cx='1' cy='2'/><c ab='1' ab='2'/></a>"), "duplicate attribute@31");
    EXPECT_EQ(wf("<a xmlns:p='u' p:ab='1' ab='2' p:ab='3'/>"), "duplicate attribute@31");
    std::string many = "<a";
    for (int i = 0; i < 16; ++i) many += " n" + std::to_string(i % 10) + "x='1'";
    EXPECT_EQ(wf(many + "/>"), "duplicate attribute@" + std::to_string(2 + 10 * 8 + 1)) << many;
    // Every count up to the pairwise limit and past it, the repeat of each
    // earlier name placed last.
    const char* names[] = {"id", "name", "descr", "x", "y", "cx", "cy", "w", "h", "rot", "flipH", "flipV",
                           "lang", "dirty", "sz", "b", "i", "u", "kern", "spc"};
    for (std::size_t count = 1; count <= 20; ++count) {
        std::string tag = "<a";
        for (std::size_t i = 0; i < count; ++i) tag += std::string(" ") + names[i] + "='v'";
        EXPECT_EQ(wf(tag + "/>"), "ok") << tag;
        for (std::size_t j = 0; j < count; ++j) {
            EXPECT_EQ(wf(tag + " " + names[j] + "='w'/>"), "duplicate attribute@" + std::to_string(tag.size() + 1))
                << tag << " " << names[j];
        }
    }
    EXPECT_EQ(wf("<a b='1'/>"), "ok");
    EXPECT_EQ(wf("<a xmlns='u'/>"), "ok");
    EXPECT_EQ(wf("<a x:b='1'/>"), "undeclared namespace prefix@3");
}

// Start tags come in many shapes (prefixes, spacing, quotes, references,
// white space in values, declarations, many attributes); cut anywhere inside
// one, a document must fail at its end, reading nothing past it.
TEST(XmlReader, StartTagsCutAtEveryByte) {
    const std::vector<std::string> tags = {
        "<p:sp>",
        "<a:off x=\"1\" y=\"2\"/>",
        "<b  c = '1'\td\n=\r\"2\" />",
        "<a:t v=\"x&amp;y&#x41;\"/>",
        "<e w=\"tab\there\"/>",
        "<q:x xmlns:q=\"urn:q\" q:y=\"1\" z=\"2\"/>",
        "<m a0='0' a1='1' a2='2' a3='3' a4='4' a5='5' a6='6' a7='7' a8='8' a9='9'/>",
        "<p:r xml:lang=\"en\"/>",
    };
    const std::string head = "<p:root xmlns:p=\"urn:p\" xmlns:a=\"urn:a\">";
    for (const auto& tag : tags) {
        const std::string doc = head + tag + "</p:root>";
        const std::string full = tag.ends_with("/>") ? doc : head + tag + "</p:sp></p:root>";
        ASSERT_EQ(wf(full), "ok") << full;
        for (std::size_t n = head.size(); n < head.size() + tag.size(); ++n) {
            auto buf = std::make_unique<char[]>(n);
            std::memcpy(buf.get(), full.data(), n);
            const std::string_view text(buf.get(), n);
            EXPECT_EQ(wf(text), "unexpected end of document@" + std::to_string(n)) << full.substr(0, n);
            xml::Reader r(text);
            ASSERT_EQ(r.next().kind, xml::EventKind::start);
            EXPECT_EQ(r.skip(), (xml::Status(std::unexpected(xml::XmlError{"unexpected end of document", n}))))
                << full.substr(0, n);
        }
    }
}

// The prefix of the latest element is remembered until the declarations in
// scope change: entering and leaving a redeclaration must both forget it.
TEST(XmlReader, ElementPrefixAcrossRedeclarations) {
    const std::string doc = "<p:a" + ns_decl("p", PML_T) + "><p:b/><p:c xmlns:p=\"urn:x\"><p:d/><p:e" +
                            ns_decl("p", MC) + "><p:f/></p:e><p:g/></p:c><p:h/><c><p:i/></c></p:a>";
    EXPECT_EQ(events(doc), "<p:a#1@0 <p:b#1@74 /p:b@74 <p:c#20@80 <p:d#20@101 /p:d@101 <p:e#6@107 "
                           "<p:f#6@182 /p:f@182 /p:e@188 <p:g#20@194 /p:g@194 /p:c@200 <p:h#1@206 "
                           "/p:h@206 <c#0@212 <p:i#1@215 /p:i@215 /c@221 /p:a@225 $");
    // A prefix declared on the element that uses it, then undeclared again for
    // the next sibling.
    EXPECT_EQ(events("<r><q:a xmlns:q=\"urn:q\"/><q:b/></r>"),
              "<r#0@0 <q:a#20@3 /q:a@3 !undeclared namespace prefix@26");
}

// Attributes of tags that take the common path and of tags that do not are
// handed out alike: raw values, offsets, namespaces, document order.
TEST(XmlReader, AttributesOfEveryKindOfTag) {
    const std::string doc = "<r xmlns:q=\"urn:q\"><a x=\"1\" y='2'/><b x=\"a&amp;b\" y=\"\t\"/>"
                            "<c q:x=\"3\" x=\"4\"/><d x=\"\xC3\xA9\"/></r>";
    xml::Reader r(doc);
    std::vector<std::string> seen;
    for (;;) {
        const xml::Event ev = r.next();
        if (ev.kind == xml::EventKind::eof) break;
        ASSERT_NE(ev.kind, xml::EventKind::error);
        if (ev.kind != xml::EventKind::start || ev.start.name.local == "r") continue;
        std::string line = std::string(ev.start.name.local) + (r.has_prefixed_attr(ev.start) ? "+" : "-");
        for (xml::Attrs it(r, ev.start); auto a = it.next();) {
            line += " " + a->name.qualified() + "#" + std::to_string(a->ns) + "@" + std::to_string(a->offset) + "=" +
                    std::string(a->value);
        }
        const auto x = r.find_attr(ev.start, 0, "x");
        line += " x=" + (x ? std::string(x->value) : "-");
        seen.push_back(line);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "a- x#0@22=1 y#0@28=2 x=1",
                        "b- x#0@38=a&amp;b y#0@50=\t x=a&amp;b",
                        "c+ q:x#20@60=3 x#0@68=4 x=4",
                        "d- x#0@78=\xC3\xA9 x=\xC3\xA9",
                    }));
}

// Values without a reference and with valid UTF-8 are handed back as they
// are; any "&" or non-ASCII byte, wherever it falls in a word, is looked at.
TEST(XmlReader, AttrValueAtEveryPosition) {
    for (std::size_t len = 1; len <= 20; ++len) {
        for (std::size_t i = 0; i < len; ++i) {
            std::string scratch;
            std::string raw(len, 'v');
            EXPECT_EQ(xml::attr_value(raw, scratch).data(), raw.data());
            raw[i] = '&';
            std::string with_ref = raw.substr(0, i) + "&lt;" + raw.substr(i + 1);
            EXPECT_EQ(xml::attr_value(with_ref, scratch), raw.substr(0, i) + "<" + raw.substr(i + 1)) << len << i;
            raw[i] = '\xE9';  // invalid alone
            EXPECT_EQ(xml::attr_value(raw, scratch), raw.substr(0, i) + "\xEF\xBF\xBD" + raw.substr(i + 1));
            std::string two = raw.substr(0, i) + "\xC3\xA9" + raw.substr(i + 1);
            EXPECT_EQ(xml::attr_value(two, scratch).data(), two.data()) << len << i;
        }
    }
    std::string scratch;
    const std::string empty;
    EXPECT_EQ(xml::attr_value(empty, scratch).data(), empty.data());
}

// End tags are matched against the open element's name as written; names
// of every length up to past a word, near the end of the text or not, with
// and without a prefix.
TEST(XmlReader, EndTagForms) {
    for (std::size_t len = 1; len <= 18; ++len) {
        const std::string name(len, 'n');
        const std::string open = "<" + name + ">";
        const std::string at = "@" + std::to_string(open.size());
        EXPECT_EQ(wf(open + "</" + name + ">"), "ok") << len;
        EXPECT_EQ(wf(open + "</" + name + " \n>"), "ok") << len;
        EXPECT_EQ(wf(open + "</" + name + ">" + std::string(20, ' ')), "ok") << len;
        EXPECT_EQ(wf(open + "</" + name + "x>"), "mismatched end tag" + at) << len;
        EXPECT_EQ(wf(open + "</" + name.substr(1) + ">"), (len == 1 ? "invalid name" : "mismatched end tag") +
                                                                std::string(len == 1 ? "@5" : at.c_str()))
            << len;
        EXPECT_EQ(wf(open + "</" + name + ":>"), "invalid qualified name@" + std::to_string(open.size() + 2))
            << len;
        EXPECT_EQ(wf(open + "</" + name), "unexpected end of document@" + std::to_string(2 * len + 4)) << len;
        const std::string pre = "<p:" + name + " xmlns:p='u' xmlns:q='u'>";
        EXPECT_EQ(wf(pre + "</p:" + name + ">"), "ok") << len;
        EXPECT_EQ(wf(pre + "</q:" + name + ">"), "mismatched end tag@" + std::to_string(pre.size())) << len;
        EXPECT_EQ(wf(pre + "</" + name + ">"), "mismatched end tag@" + std::to_string(pre.size())) << len;
        EXPECT_EQ(wf(pre + "</p:" + name + "/>"), "malformed end tag@" + std::to_string(pre.size() + len + 4))
            << len;
    }
    // The bytes after a short name differ only past the name's end.
    EXPECT_EQ(events("<ab><a></a></ab>"), "<ab#0@0 <a#0@4 /a@7 /ab@11 $");
}

// Every prefix of a document exercising every construct: each ends in an
// error or succeeds, and never reads past its end. Each prefix sits at the
// very end of its own heap block so ASan flags any over-read.
const std::string& sweep_doc() {
    static const std::string doc =
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<!-- lead --><?pi data?>\n"
        "<p:sld xmlns:p=\"http://purl.oclc.org/ooxml/presentationml/main\" xmlns:a=\"urn:a\" "
        "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
        "<a:t a:x='1' y=\"&lt;&#x41;&#66;\">t&amp;x&#233;<![CDATA[c]]>\r\n</a:t>"
        "<mc:AlternateContent><mc:Choice Requires=\"p\"><p:x/></mc:Choice><mc:Fallback><p:y/></mc:Fallback>"
        "</mc:AlternateContent><!-- c --><?p i?><e \xC3\xA9=\"\xC3\xA9\"/>"
        "</p:sld>\n<!-- tail -->";
    return doc;
}

TEST(XmlReader, TruncationSweep) {
    const std::string& doc = sweep_doc();
    ASSERT_EQ(wf(doc), "ok");
    for (std::size_t n = 0; n <= doc.size(); ++n) {
        auto buf = std::make_unique<char[]>(n);
        std::memcpy(buf.get(), doc.data(), n);
        const std::string_view text(buf.get(), n);
        const auto e = xml::well_formed(text);
        if (e) {
            EXPECT_LE(e->offset, n) << n;
        }
        xml::Reader r(text);
        if (r.next().kind == xml::EventKind::start) {
            auto st = mce::children_inner(
                r, [](xml::Reader& rr, const xml::Start& s) -> xml::Status {
                    for (xml::Attrs it(rr, s); it.next();) {}
                    return {};
                },
                true);
            (void)st;
        }
    }
}

// How a reader fares from its second event on when the element opened by
// its first is skipped (`skip`), its text gathered (`read_text`), or read
// event by event (neither): the outcome, then every later event.
enum class Pass { skip, read_text, by_events };

std::string after_first(std::string_view text, Pass pass) {
    xml::Reader r(text);
    const xml::Event first = r.next();
    std::string out, gathered;
    if (first.kind == xml::EventKind::start) {
        xml::Status st;
        if (pass == Pass::skip) {
            st = r.skip();
        } else if (pass == Pass::read_text) {
            st = r.read_text(gathered);
        } else {
            for (;;) {
                const xml::Event ev = r.next();
                if (ev.kind == xml::EventKind::text) xml::append_text(ev, gathered);
                if (ev.kind == xml::EventKind::error) {
                    st = std::unexpected(ev.error);
                    break;
                }
                if (ev.kind == xml::EventKind::eof) {
                    st = std::unexpected(xml::XmlError{"unexpected end of document", ev.offset});
                    break;
                }
                if (r.depth() == 0) break;
            }
        }
        out = st ? "ok" : "!" + std::string(st.error().message) + "@" + std::to_string(st.error().offset);
    }
    out += std::string(" strict=") + (r.strict_seen() ? "1" : "0") + (r.transitional_seen() ? "1" : "0");
    for (int guard = 0; guard < 100; ++guard) {
        const xml::Event ev = r.next();
        out += " " + std::to_string(static_cast<int>(ev.kind)) + "@" + std::to_string(ev.offset);
        if (ev.kind == xml::EventKind::error) out += std::string(ev.error.message);
        if (ev.kind == xml::EventKind::eof || ev.kind == xml::EventKind::error) break;
    }
    if (pass != Pass::skip) out += "\n|" + gathered;
    return out;
}

std::string without_text(const std::string& s) { return s.substr(0, s.find("\n|")); }

// Every malformed document of the error table, bare and nested, a few
// more, and every prefix of a complete one.
std::vector<std::string> validation_docs() {
    std::vector<std::string> docs;
    for (const auto& c : error_cases()) {
        docs.push_back(c.input);
        docs.push_back("<w xmlns:x='urn:x'>" + c.input + "</w>");
    }
    docs.push_back("<a xmlns='" + std::string(PML_S) + "'><b/><c xmlns:t='" + PML_T + "'/>t</a><!--x--> ");
    docs.push_back("<a><b/>" + std::string(300, ' ') + "</a>");
    docs.push_back("<a><x:b/></a>");
    docs.push_back("<a><b c='1' d='2' c='3'/></a>");
    // End tags of names longer than two words, well inside the text and at its end.
    docs.push_back("<a><p:abcdefghijklmnopq xmlns:p='urn:p'>t</p:abcdefghijklmnopq>" + std::string(20, ' ') + "</a>");
    docs.push_back("<abcdefghijklmnopqrstuvwxyz><b>t</b></abcdefghijklmnopqrstuvwxyz>");
    // Runs of start tags with no text between them, faulty within the run.
    docs.push_back("<a><b/><c x='1'/><d><e/></d><f y='1' y='2'/><g/></a>");
    docs.push_back("<a><b/><c/><d:e/><f/></a>");
    docs.push_back("<a><b/><c xmlns:d='urn:d'><d:e/></c><d:e/></a>");
    // An element written <a/> just inside the nesting limit, and just past it.
    for (const std::size_t open : {xml::MAX_DEPTH - 1, xml::MAX_DEPTH}) {
        std::string deep;
        for (std::size_t i = 0; i < open; ++i) deep += "<e>";
        deep += "<e a='1'/>";
        for (std::size_t i = 0; i < open; ++i) deep += "</e>";
        docs.push_back(deep);
    }
    const std::string& doc = sweep_doc();
    for (std::size_t n = 0; n <= doc.size(); ++n) docs.push_back(doc.substr(0, n));
    return docs;
}

// Skipping and gathering text build no events but must find exactly the
// errors, at the same offsets, that reading event by event finds.
TEST(XmlReader, SkippingValidatesAsReading) {
    for (const auto& d : validation_docs()) {
        const std::string by_events = after_first(d, Pass::by_events);
        EXPECT_EQ(after_first(d, Pass::read_text), by_events) << d;
        EXPECT_EQ(after_first(d, Pass::skip), without_text(by_events)) << d;
    }
}

// Steps go where events go: the same kinds and depths, the element each start
// opens, the error, and nothing further once either fails or ends.
TEST(XmlReader, StepsFollowEvents) {
    for (const auto& d : validation_docs()) {
        SCOPED_TRACE(d);
        xml::Reader by_events(d), by_steps(d);
        for (int guard = 0; guard < 10000; ++guard) {
            const xml::Event ev = by_events.next();
            const xml::EventKind kind = by_steps.step();
            ASSERT_EQ(kind, ev.kind);
            ASSERT_EQ(by_steps.depth(), by_events.depth());
            if (kind == xml::EventKind::start) {
                const xml::Start& s = by_steps.element();
                EXPECT_EQ(s.offset, ev.start.offset);
                EXPECT_EQ(s.name.qualified(), ev.start.name.qualified());
                EXPECT_EQ(s.ns, ev.start.ns);
                EXPECT_EQ(s.attrs, ev.start.attrs);
                EXPECT_EQ(s.self_closing, ev.start.self_closing);
            }
            if (kind == xml::EventKind::error) {
                EXPECT_EQ(by_steps.error(), ev.error);
                EXPECT_EQ(by_steps.step(), xml::EventKind::error);  // sticky
                EXPECT_EQ(by_steps.error(), ev.error);
            }
            if (kind == xml::EventKind::eof || kind == xml::EventKind::error) break;
        }
    }
}

// Children seen by a walk, as "local" names, nested children in brackets
// when `descend` is set.
std::string walk(std::string_view text, bool use_mce, bool descend = false) {
    xml::Reader r(text);
    const auto root = r.next();
    if (root.kind != xml::EventKind::start) return "no root";
    std::string out;
    struct Visitor {
        std::string* out;
        bool use_mce, descend;
        xml::Status operator()(xml::Reader& rr, const xml::Start& s) const {
            *out += std::string(s.name.local) + " ";
            if (!descend) return {};
            *out += "[ ";
            auto st = mce::children_inner(rr, *this, use_mce);
            *out += "] ";
            return st;
        }
    };
    const auto st = mce::children_inner(r, Visitor{&out, use_mce, descend}, use_mce);
    if (!st) out += "!" + std::string(st.error().message) + "@" + std::to_string(st.error().offset);
    return out;
}

std::string mc_doc(const std::string& body, const std::string& extra_decls = "") {
    return std::string("<r") + ns_decl("mc", MC) + ns_decl("p14", "http://schemas.microsoft.com/office/powerpoint/2010/main") +
           ns_decl("v", "urn:schemas-microsoft-com:vml") + extra_decls + ">" + body + "</r>";
}

TEST(XmlReader, PrefixedAttributeKnownForTheLatestTagAndScannedForOlderOnes) {
    const std::string doc = "<r xmlns:p=\"urn:p\"><a/><b x=\"1\"/><c p:x=\"1\"/><d x=\"a:b\" y=\"2\"/>"
                            "<e xmlns:q=\"urn:q\"/></r>";
    xml::Reader r(doc);
    std::vector<xml::Start> starts;
    for (xml::Event ev = r.next(); ev.kind != xml::EventKind::eof; ev = r.next()) {
        ASSERT_NE(ev.kind, xml::EventKind::error);
        if (ev.kind != xml::EventKind::start) continue;
        starts.push_back(ev.start);
        // A ':' in a value is no prefix; xmlns:* is one.
        const bool expected = ev.start.name.local == "r" || ev.start.name.local == "c" || ev.start.name.local == "e";
        EXPECT_EQ(r.has_prefixed_attr(ev.start), expected) << ev.start.name.local;
    }
    // Past tags fall back to a scan, which a ':' in a value can fool only
    // towards looking further.
    for (const xml::Start& s : starts)
        EXPECT_EQ(r.has_prefixed_attr(s), s.attrs.find(':') != std::string_view::npos) << s.name.local;
}

// Text in a buffer of exactly its size, so that any read past it trips the
// address checker.
std::string events_exact(const std::string& doc) {
    auto buf = std::make_unique<char[]>(doc.size());
    std::memcpy(buf.get(), doc.data(), doc.size());
    return events(std::string_view(buf.get(), doc.size()));
}

// The element prefix read last is recognised again from its bytes and ':':
// a longer or shorter prefix sharing its first bytes, one of every length
// around a machine word, one just before the end of the text, and a bad or
// missing local name after it must all read as they would with no memory of
// it.
TEST(XmlReader, RememberedElementPrefixMatchesWholePrefixesOnly) {
    for (std::size_t len = 1; len <= 10; ++len) {
        const std::string p(len, 'p');
        const std::string longer = p + "q", shorter = std::string(len - 1, 'p');
        const std::string decls = " xmlns:" + p + "=\"" + PML_T + "\" xmlns:" + longer + "=\"" + MC + "\"" +
                                  (shorter.empty() ? "" : " xmlns:" + shorter + "=\"" + std::string(PML_S) + "\"");
        const std::string doc = "<" + p + ":r" + decls + "><" + p + ":a/><" + longer + ":b/><" + p + ":c/>" +
                                (shorter.empty() ? "" : "<" + shorter + ":d/>") + "<" + p + "/><" + p + "x/><" + p +
                                ":e x=\"1\"/></" + p + ":r>";
        const std::string got = events_exact(doc);
        const auto at = [&](const std::string& tag) { return std::to_string(doc.find(tag)); };
        std::string want = "<" + p + ":r#1@0 <" + p + ":a#1@" + at("<" + p + ":a") + " /" + p + ":a@" +
                           at("<" + p + ":a") + " <" + longer + ":b#6@" + at("<" + longer + ":b") + " /" + longer +
                           ":b@" + at("<" + longer + ":b") + " <" + p + ":c#1@" + at("<" + p + ":c") + " /" + p +
                           ":c@" + at("<" + p + ":c");
        if (!shorter.empty()) {
            want += " <" + shorter + ":d#1@" + at("<" + shorter + ":d") + " /" + shorter + ":d@" + at("<" + shorter + ":d");
        }
        want += " <" + p + "#0@" + at("<" + p + "/>") + " /" + p + "@" + at("<" + p + "/>") + " <" + p + "x#0@" +
                at("<" + p + "x/>") + " /" + p + "x@" + at("<" + p + "x/>") + " <" + p + ":e#1@" + at("<" + p + ":e") +
                " /" + p + ":e@" + at("<" + p + ":e") + " /" + p + ":r@" + at("</" + p + ":r") + " $";
        EXPECT_EQ(got, want) << doc;

        const std::string head = "<" + p + ":r xmlns:" + p + "=\"urn:p\"><" + p + ":a/>";
        // Local names that are missing, bad or cut, right after a remembered prefix.
        const std::size_t tag = head.size();
        EXPECT_EQ(events_exact(head + "<" + p + ":/>"), "<" + p + ":r#20@0 <" + p + ":a#20@" +
                  std::to_string(tag - len - 5) + " /" + p + ":a@" + std::to_string(tag - len - 5) +
                  " !invalid qualified name@" + std::to_string(tag + 1));
        EXPECT_EQ(wf(head + "<" + p + ":1/>"), "invalid qualified name@" + std::to_string(tag + 1));
        EXPECT_EQ(wf(head + "<" + p + ":a:b/>"), "invalid qualified name@" + std::to_string(tag + 1));
        for (std::size_t cut = tag + 1; cut < tag + len + 5; ++cut) {
            const std::string doc2 = head + "<" + p + ":ab/></" + p + ":r>";
            auto buf = std::make_unique<char[]>(cut);
            std::memcpy(buf.get(), doc2.data(), cut);
            EXPECT_EQ(wf(std::string_view(buf.get(), cut)), "unexpected end of document@" + std::to_string(cut))
                << doc2.substr(0, cut);
        }
    }
    // A redeclaration of the remembered prefix inside its own tag.
    EXPECT_EQ(events_exact("<a:r xmlns:a=\"urn:a\"><a:b/><a:c xmlns:a=\"" + std::string(MC) + "\"/><a:d/></a:r>"),
              "<a:r#20@0 <a:b#20@21 /a:b@21 <a:c#6@27 /a:c@27 <a:d#20@103 /a:d@103 /a:r@109 $");
}

// Two element prefixes are remembered at once; a declaration or the end of
// its scope forgets both, whether reading or skipping.
TEST(XmlReader, TwoRememberedPrefixesFollowTheirScopes) {
    // The root's first child, skipped whole: its error or "ok".
    const auto skipped = [](const std::string& doc) -> std::string {
        xml::Reader r(doc);
        if (r.next().kind != xml::EventKind::start || r.next().kind != xml::EventKind::start) return "no child";
        auto st = r.skip();
        if (st) return "ok";
        return std::string(st.error().message) + "@" + std::to_string(st.error().offset);
    };
    const std::string decls = ns_decl("p", PML_T) + ns_decl("a", MC) + ns_decl("m", PML_S);
    struct Case {
        const char* name;
        std::string body;  // the child of <r>, which declares p, a and m
        std::string starts;  // its start events, "local#ns" each
        std::string skip;
    };
    const std::vector<Case> cases = {
        {"two alternating", "<p:c><a:d/><p:e/><a:f/><p:g/></p:c>", "c#1 d#6 e#1 f#6 g#1", "ok"},
        {"three in turn", "<p:c><a:d/><m:e/><p:f/><a:g/><m:h/></p:c>", "c#1 d#6 e#1 f#1 g#6 h#1", "ok"},
        {"the older one redeclared", "<p:c><a:d/><p:e xmlns:a=\"urn:x\"><a:f/><p:g/><a:h/></p:e><a:i/></p:c>",
         "c#1 d#6 e#1 f#20 g#1 h#20 i#6", "ok"},
        {"the newer one redeclared", "<p:c><a:d/><a:e xmlns:p=\"urn:x\"><p:f/><a:g/></a:e><p:h/></p:c>",
         "c#1 d#6 e#6 f#20 g#6 h#1", "ok"},
        {"out of scope again", "<p:c><q:d xmlns:q=\"urn:q\"><q:e/><p:f/><q:g/></q:d><q:h/></p:c>",
         "c#1 d#20 e#20 f#1 g#20 !undeclared namespace prefix@", "undeclared namespace prefix@"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string doc = "<r" + decls + ">" + c.body + "</r>";
        xml::Reader r(doc);
        std::string starts;
        r.next();
        for (xml::Event ev = r.next(); ev.kind != xml::EventKind::eof; ev = r.next()) {
            if (ev.kind == xml::EventKind::error) {
                starts += " !" + std::string(ev.error.message) + "@";
                EXPECT_EQ(ev.error.offset, doc.rfind("<q:h") + 1);
                break;
            }
            if (ev.kind != xml::EventKind::start) continue;
            starts += (starts.empty() ? "" : " ") + std::string(ev.start.name.local) + "#" + std::to_string(ev.start.ns);
        }
        EXPECT_EQ(starts, c.starts);
        EXPECT_EQ(skipped(doc), c.skip == "ok" ? c.skip : c.skip + std::to_string(doc.rfind("<q:h") + 1));
    }
}

// A text whose last byte other than white space is '>' lets start tags be
// read without end checks: tags broken just before that '>', or ending on it,
// must fail as anywhere else and never read past the text.
TEST(XmlReader, TagsEndingOnTheLastBracket) {
    const Case cases[] = {
        {"name then end", "<r><a b>", "<r#0@0 !expected '=' after attribute name@7"},
        {"no value", "<r><a b=>", "<r#0@0 !attribute value not quoted@8"},
        {"open value", "<r><a b=\"x>", "<r#0@0 !unexpected end of document@11"},
        {"colon then end", "<r><a:>", "<r#0@0 !invalid qualified name@4"},
        {"two colons", "<r><a:b:>", "<r#0@0 !invalid qualified name@4"},
        {"undeclared", "<r><a:b>", "<r#0@0 !undeclared namespace prefix@4"},
        {"slash space", "<r><a/ >", "<r#0@0 !malformed start tag@5"},
        {"no space between", "<r><a b='1'c='2'>", "<r#0@0 !malformed start tag@11"},
        {"duplicate", "<r><a b='1' b='2'>", "<r#0@0 !duplicate attribute@12"},
        {"tab before end", "<r><a\t>", "<r#0@0 <a#0@3 !unexpected end of document@7"},
        {"spaces around", "<r><a b = '1' >  ", "<r#0@0 <a#0@3 '  ' !unexpected end of document@17"},
        {"self-closing, CR LF", "<r><a />\r\n", "<r#0@0 <a#0@3 /a@3 '\n' !unexpected end of document@10"},
        {"non-ASCII name", "<r><\xC3\xA9>", "<r#0@0 <\xC3\xA9#0@3 !unexpected end of document@7"},
        {"declaration", "<r><a xmlns:q='u' q:b='1'>", "<r#0@0 <a#0@3 !unexpected end of document@26"},
        {"open double-quoted value", "<r><a b=\">", "<r#0@0 !unexpected end of document@10"},
        {"two spaces", "<r><a  b=\"1\"/>", "<r#0@0 <a#0@3 /a@3 !unexpected end of document@14"},
        {"reference in second value", "<r><a b=\"1\" c=\"&\"/>", "<r#0@0 !malformed reference@15"},
        {"'<' in second value", "<r><a b=\"1\" c=\"x<\"/>", "<r#0@0 !'<' in attribute value@16"},
        {"no space before second", "<r><a b=\"1\"c=\"2\"/>", "<r#0@0 !malformed start tag@11"},
        {"spaced equals", "<r><a b= \"1\" c =\"2\"/>", "<r#0@0 <a#0@3 /a@3 !unexpected end of document@21"},
        {"root alone", "<r/>", "<r#0@0 /r@0 $"},
        {"root open", "<r>", "<r#0@0 !unexpected end of document@3"},
    };
    for (const auto& c : cases) EXPECT_EQ(events_exact(c.input), c.expected) << c.name;
}

// Skipping or gathering text keeps no attributes of the tags it passes:
// afterwards the attributes of the element it started from, of the next tag
// read, and of an iteration begun before it are all found by scanning, alike.
TEST(XmlReader, AttributesAfterSkipping) {
    const std::string text = "<r xmlns:q=\"urn:q\" x=\"1\" q:y=\"2\"><a b=\"3\" c=\"4\"><d e=\"5\"/>t</a>"
                             "<f g=\"6\"/><h i=\"7\">u<j k=\"8\"/></h><l/></r>";
    auto listing = [](xml::Attrs it) {
        std::string out;
        while (auto a = it.next()) out += a->name.qualified() + "#" + std::to_string(a->ns) + "=" + std::string(a->value) + " ";
        return out;
    };
    for (const bool gather : {false, true}) {
        xml::Reader r(text);
        const xml::Event root = r.next();
        ASSERT_EQ(root.kind, xml::EventKind::start);
        xml::Attrs begun(r, root.start);
        ASSERT_EQ(begun.next()->name.qualified(), "xmlns:q");
        const xml::Event a = r.next();
        ASSERT_EQ(a.kind, xml::EventKind::start);
        std::string gathered;
        ASSERT_TRUE(gather ? r.read_text(gathered).has_value() : r.skip().has_value());
        EXPECT_EQ(gathered, gather ? "t" : "");
        EXPECT_EQ(r.depth(), 1u);
        std::string rest;
        while (auto at = begun.next()) rest += at->name.qualified() + " ";
        EXPECT_EQ(rest, "x q:y ");
        EXPECT_EQ(listing(xml::Attrs(r, root.start)), "xmlns:q#20=urn:q x#0=1 q:y#20=2 ");
        EXPECT_EQ(listing(xml::Attrs(r, a.start)), "b#0=3 c#0=4 ");
        EXPECT_TRUE(r.has_prefixed_attr(root.start));
        EXPECT_FALSE(r.has_prefixed_attr(a.start));
        EXPECT_EQ(r.find_attr(root.start, 20, "y")->value, "2");
        EXPECT_EQ(r.find_attr(a.start, 0, "c")->value, "4");
        EXPECT_FALSE(r.find_attr(a.start, 0, "e").has_value());
        const xml::Event f = r.next();
        ASSERT_EQ(f.kind, xml::EventKind::start);
        EXPECT_EQ(f.start.offset, text.find("<f"));
        EXPECT_EQ(f.start.attrs, " g=\"6\"");
        EXPECT_EQ(listing(xml::Attrs(r, f.start)), "g#0=6 ");
        EXPECT_EQ(r.find_attr(f.start, 0, "g")->offset, text.find("g="));
        EXPECT_EQ(r.next().kind, xml::EventKind::end);
        const xml::Event h = r.next();
        ASSERT_EQ(h.kind, xml::EventKind::start);
        ASSERT_TRUE(gather ? r.read_text(gathered).has_value() : r.skip_to_depth(1).has_value());
        EXPECT_EQ(r.find_attr(h.start, 0, "i")->value, "7");
        const xml::Event l = r.next();
        EXPECT_EQ(l.kind, xml::EventKind::start);
        EXPECT_EQ(l.start.name.local, "l");
        EXPECT_TRUE(l.start.self_closing);
        const xml::Event l_end = r.next();
        EXPECT_EQ(l_end.kind, xml::EventKind::end);
        EXPECT_EQ(l_end.offset, text.find("<l/>"));
        const xml::Event r_end = r.next();
        EXPECT_EQ(r_end.kind, xml::EventKind::end);
        EXPECT_EQ(r_end.start.attrs, root.start.attrs);
        EXPECT_EQ(r.next().kind, xml::EventKind::eof);
    }
}

// The nesting limit holds for elements whose prefix is recognised from memory.
TEST(XmlReader, NestingLimitWithRememberedPrefix) {
    std::string doc = "<p:e xmlns:p=\"urn:p\">";
    for (std::size_t i = 1; i < xml::MAX_DEPTH; ++i) doc += "<p:e>";
    const std::size_t last = doc.size();
    doc += "<p:e>";
    doc += std::string(32, ' ');
    EXPECT_EQ(wf(doc), "nesting too deep@" + std::to_string(last));
}

// The usual declarations are recognised whole; anything else about them
// is read and checked as any declaration is.
TEST(XmlReader, CommonDeclarations) {
    const std::string d1 = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";
    const std::string d2 = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    for (const std::string& d : {d1, d2}) {
        EXPECT_EQ(events_exact(d + "<a/>"), "<a#0@" + std::to_string(d.size()) + " /a@" + std::to_string(d.size()) + " $");
        EXPECT_EQ(events_exact("\xEF\xBB\xBF" + d + "\r\n<a/>"), "<a#0@" + std::to_string(d.size() + 5) + " /a@" +
                                                                        std::to_string(d.size() + 5) + " $");
        EXPECT_EQ(wf(d), "no root element@" + std::to_string(d.size()));
        EXPECT_EQ(wf(" " + d + "<a/>"), "misplaced xml declaration@1");
        EXPECT_EQ(wf(d + d + "<a/>"), "misplaced xml declaration@" + std::to_string(d.size()));
        EXPECT_EQ(wf("<a/>" + d), "misplaced xml declaration@4");
        // Cut anywhere, or followed straight by more attributes.
        for (std::size_t n = 5; n < d.size(); ++n) {
            auto buf = std::make_unique<char[]>(n);
            std::memcpy(buf.get(), d.data(), n);
            const std::string got = wf(std::string_view(buf.get(), n));
            // A parameter name cut short reads as a wrong one.
            EXPECT_TRUE(got == "unexpected end of document@" + std::to_string(n) || got == "malformed xml declaration@0")
                << d.substr(0, n) << " " << got;
        }
        EXPECT_EQ(wf(d.substr(0, d.size() - 2) + "x=\"1\"?><a/>"), "malformed xml declaration@0");
    }
    EXPECT_EQ(wf("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"maybe\"?><a/>"), "malformed xml declaration@0");
    EXPECT_EQ(wf("<?xml version=\"1.0\" encoding=\"utf-8\"  ?><a/>"), "ok");
}

TEST(XmlReader, ReaderAfterAnotherStartsFresh) {
    // Each reader takes over the room the previous one on its thread left:
    // what one leaves behind (open elements, bindings, attributes, an error)
    // must not show in the next, alone or nested in a live one.
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "<a>";
    std::string many_attrs = "<r";
    for (int i = 0; i < 80; ++i) many_attrs += " a" + std::to_string(i) + "=\"v\"";
    many_attrs += "/>";
    const std::vector<std::string> docs = {
        "<p:a xmlns:p=\"" + std::string(PML_T) + "\" xmlns:q=\"u\" q:x=\"1\" y=\"2\"><p:b q:z=\"&amp;\"/></p:a>",
        deep,
        many_attrs,
        "<a x=\"1\" x=\"2\"/>",
        "<a xmlns:p=\"u\" xmlns:q=\"u\" p:x=\"1\" q:x=\"2\"/>",
        "<a><b><c>text</c></b>",
        "<b>plain</b>",
        "<p:a xmlns:p=\"" + std::string(PML_S) + "\"/>",
        "<p:a xmlns:p=\"u\"><p:b>",  // ends with a binding in scope
        "<p:a/>",
    };
    // Expected: each document read on a thread that has made no reader yet.
    std::vector<std::string> fresh(docs.size());
    for (std::size_t i = 0; i < docs.size(); ++i) std::thread([&] { fresh[i] = events(docs[i]); }).join();
    for (int round = 0; round < 2; ++round)
        for (std::size_t i = 0; i < docs.size(); ++i) EXPECT_EQ(events(docs[i]), fresh[i]) << i;
    for (std::size_t i = 0; i < docs.size(); ++i) {
        xml::Reader outer(docs[(i + 1) % docs.size()]);
        (void)outer.next();
        EXPECT_EQ(events(docs[i]), fresh[i]) << i;
    }
}

TEST(Mce, ChoiceAndFallbackSelection) {
    const std::vector<Case> cases = {
        {"first understood choice wins",
         mc_doc("<a/><mc:AlternateContent><mc:Choice Requires=\"v\"><no/></mc:Choice>"
                "<mc:Choice Requires=\"p14\"><yes1/><yes2><deep/></yes2></mc:Choice>"
                "<mc:Fallback><fb/></mc:Fallback></mc:AlternateContent><z/>"),
         "a yes1 yes2 z "},
        {"fallback when no choice is understood",
         mc_doc("<mc:AlternateContent><mc:Choice Requires=\"p14 v\"><no/></mc:Choice>"
                "<mc:Fallback><fb1/><fb2/></mc:Fallback></mc:AlternateContent>"),
         "fb1 fb2 "},
        {"undeclared Requires prefix is not understood",
         mc_doc("<mc:AlternateContent><mc:Choice Requires=\"cx1\"><no/></mc:Choice>"
                "<mc:Fallback><fb/></mc:Fallback></mc:AlternateContent>"),
         "fb "},
        {"prefix declared on the Choice itself",
         mc_doc("<mc:AlternateContent><mc:Choice xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" "
                "Requires=\" c  p14 \"><yes/></mc:Choice><mc:Fallback><fb/></mc:Fallback></mc:AlternateContent>"),
         "yes "},
        {"nothing when neither a choice nor a fallback applies",
         mc_doc("<a/><mc:AlternateContent><mc:Choice Requires=\"v\"><no/></mc:Choice></mc:AlternateContent><b/>"),
         "a b "},
        {"nested alternate content inside the chosen branch",
         mc_doc("<mc:AlternateContent><mc:Choice Requires=\"p14\"><mc:AlternateContent>"
                "<mc:Choice Requires=\"v\"><no/></mc:Choice><mc:Fallback><inner/></mc:Fallback>"
                "</mc:AlternateContent><after/></mc:Choice></mc:AlternateContent>"),
         "inner after "},
        {"a later fallback is ignored once a choice was taken",
         mc_doc("<mc:AlternateContent><mc:Choice Requires=\"p14\"><c1/></mc:Choice><mc:Fallback><fb/></mc:Fallback>"
                "<mc:Choice Requires=\"p14\"><c2/></mc:Choice></mc:AlternateContent>"),
         "c1 "},
        {"AlternateContent in a foreign namespace is an ordinary child",
         mc_doc("<x:AlternateContent xmlns:x=\"urn:x\"><x:Choice/></x:AlternateContent>"), "AlternateContent "},
    };
    for (const auto& c : cases) EXPECT_EQ(walk(c.input, true), c.expected) << c.name;

    // Without the flag the wrapper is passed on and nothing is replaced.
    EXPECT_EQ(walk(mc_doc("<a/><mc:AlternateContent><mc:Choice Requires=\"p14\"><y/></mc:Choice>"
                          "</mc:AlternateContent>"),
                   false),
              "a AlternateContent ");
    // Recursive walks see selected descendants only.
    EXPECT_EQ(walk(mc_doc("<g><mc:AlternateContent><mc:Choice Requires=\"v\"><no/></mc:Choice>"
                          "<mc:Fallback><pic><x/></pic></mc:Fallback></mc:AlternateContent></g>"),
                   true, true),
              "g [ pic [ x [ ] ] ] ");
}

TEST(Mce, CallbackControl) {
    // A callback error ends the walk at once.
    {
        xml::Reader r(std::string_view("<r><a/><b/><c/></r>"));
        r.next();
        std::string seen;
        const auto st = mce::children_inner(
            r,
            [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                seen += std::string(s.name.local);
                if (s.name.local == "b") return std::unexpected(xml::XmlError{"stop", s.offset});
                return {};
            },
            true);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error(), (xml::XmlError{"stop", 7}));
        EXPECT_EQ(seen, "ab");
    }
    // What a callback leaves unread of its child is skipped; what it reads
    // completely is not skipped twice.
    {
        xml::Reader r(std::string_view("<r><a><x/><y/></a><b>t</b><c/></r>"));
        r.next();
        std::string seen;
        const auto st = mce::children_inner(
            r,
            [&](xml::Reader& rr, const xml::Start& s) -> xml::Status {
                seen += std::string(s.name.local);
                if (s.name.local == "a") rr.next();  // reads <x> only
                if (s.name.local == "b") return rr.skip();
                return {};
            },
            true);
        EXPECT_TRUE(st);
        EXPECT_EQ(seen, "abc");
        EXPECT_EQ(r.next().kind, xml::EventKind::eof);
    }
    // Reader errors inside a branch that is skipped still end the walk.
    const std::string broken =
        mc_doc("<mc:AlternateContent><mc:Choice Requires=\"v\"><no></nope></mc:Choice></mc:AlternateContent>");
    EXPECT_EQ(walk(broken, true), "!mismatched end tag@" + std::to_string(broken.find("</nope>")));
}

TEST(Hash, KeyedWordHash) {
    // Whole words little-endian, then the tail with the length in its top
    // byte, under the process's key.
    hash::Sip one(hash::key());
    one.absorb(0x3837363534333231ULL);
    EXPECT_EQ(hash::bytes("12345678"), one.finish(std::uint64_t{8} << 56));
    EXPECT_EQ(hash::bytes("123"), hash::Sip(hash::key()).finish(0x0300000000333231ULL));
    EXPECT_EQ(hash::bytes(""), hash::Sip(hash::key()).finish(0));
    EXPECT_NE(hash::bytes("a"), hash::bytes(std::string_view("a\0", 2)));
    EXPECT_NE(hash::bytes("ab"), hash::bytes("ba"));

    hash::StringMap<int> m;
    m.emplace("/ppt/slides/slide1.xml", 1);
    m.emplace("/ppt/slides/slide10.xml", 10);
    const std::string_view key = "/ppt/slides/slide10.xml";
    ASSERT_NE(m.find(key), m.end());  // heterogeneous lookup, no string built
    EXPECT_EQ(m.find(key)->second, 10);
    EXPECT_EQ(m.find(std::string_view("/ppt/slides/slide2.xml")), m.end());
}

} // namespace
