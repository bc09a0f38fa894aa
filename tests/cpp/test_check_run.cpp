// One check run shares work between its stages: bytes inflated once, and the
// PresentationML examination made in the XML stage's parse. Every report must
// equal the one the stages give when each reads and parses for itself, which
// these tests build as the reference, over damaged decks and the corpus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check/check.h"
#include "testkit.h"
#include "check/container.h"
#include "check/content_types.h"
#include "check/core_props.h"
#include "check/pml.h"
#include "check/relationships.h"
#include "check/xml_parts.h"
#include "core/encoding.h"
#include "core/package.h"
#include "corpus.h"

namespace vc = vantrell_check;
namespace pkg = vantrell_core::package;

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const std::string NS = "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                       "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"";
const std::string STRICT_NS = "xmlns:p=\"http://purl.oclc.org/ooxml/presentationml/main\"";
const std::string MC_NS = "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\"";
const std::string RT = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
const std::string CT = "application/vnd.openxmlformats-officedocument.presentationml.";

std::string rel(const std::string& id, const std::string& type, const std::string& target) {
    return "<Relationship Id=\"" + id + "\" Type=\"" + type + "\" Target=\"" + target + "\"/>";
}

std::string rels(const std::string& items) {
    return DECL + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + items +
           "</Relationships>";
}

std::string shape(int id, const std::string& extra = "") {
    return "<p:sp><p:nvSpPr><p:cNvPr id=\"" + std::to_string(id) + "\" name=\"s\"" + extra +
           "/><p:cNvSpPr/><p:nvPr/></p:nvSpPr></p:sp>";
}

std::string slide_open(const std::string& ns = NS) { return DECL + "<p:sld " + ns + "><p:cSld><p:spTree>"; }
const std::string SLIDE_CLOSE = "</p:spTree></p:cSld></p:sld>";

std::string slide(const std::string& tree) { return slide_open() + tree + SLIDE_CLOSE; }

struct Item {
    std::string data;
    bool bad_crc = false;
    std::optional<std::uint32_t> recorded_size;
};
using Items = std::map<std::string, Item>;

Items minimal_deck() {
    Items d;
    d["[Content_Types].xml"].data =
        DECL + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
               "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
               "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
               "<Override PartName=\"/ppt/presentation.xml\" ContentType=\"" + CT + "presentation.main+xml\"/>"
               "<Override PartName=\"/ppt/slides/slide1.xml\" ContentType=\"" + CT + "slide+xml\"/>"
               "<Override PartName=\"/ppt/theme/theme1.xml\" "
               "ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>"
               "<Override PartName=\"/docProps/core.xml\" "
               "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/></Types>";
    d["_rels/.rels"].data = rels(rel("rId1", RT + "officeDocument", "ppt/presentation.xml") +
                                 rel("rId2", "http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
                                             "core-properties", "docProps/core.xml"));
    d["ppt/presentation.xml"].data = DECL + "<p:presentation " + NS +
                                     "><p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/></p:sldIdLst>"
                                     "<p:sldSz cx=\"9144000\" cy=\"6858000\"/><p:notesSz cx=\"1\" cy=\"1\"/>"
                                     "</p:presentation>";
    d["ppt/_rels/presentation.xml.rels"].data =
        rels(rel("rId2", RT + "slide", "slides/slide1.xml") + rel("rId3", RT + "theme", "theme/theme1.xml"));
    d["ppt/slides/slide1.xml"].data = slide(shape(2));
    d["ppt/theme/theme1.xml"].data = DECL + "<a:theme " + NS + "><a:themeElements/></a:theme>";
    d["docProps/core.xml"].data =
        DECL + "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/"
               "core-properties\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>t</dc:title>"
               "</cp:coreProperties>";
    return d;
}

std::string utf16le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// A stored ZIP archive of the items, in name order.
std::vector<std::uint8_t> zip(const Items& items) {
    testkit::Zip z;
    for (const auto& [name, item] : items) {
        z.add(name, item.data);
        z.items.back().bad_crc = item.bad_crc;
        z.items.back().recorded_size = item.recorded_size;
    }
    return z.build();
}

// The stages in the driver's order, each reading and parsing for itself.
vc::Report reference_check(pkg::Package& package, const vc::Options& options) {
    vc::Report report;
    vc::Sink sink(report, options);
    vc::container::run(package, sink);
    if (options.verify_crc) vc::container::run_crc(package, sink);
    const pkg::PackageDefects& d = package.defects();
    if (!d.content_types_missing && !d.content_types_error && !d.content_types_unreadable)
        vc::content_types::run(package, sink);
    vc::relationships::run(package, sink);
    vc::xml_parts::run(package, sink);
    vc::pml::run(package, sink);
    vc::core_props::run(package, sink);
    vc::sort_findings(report.findings);
    return report;
}

std::string dump(const vc::Report& r) {
    std::string out = "parts_checked " + std::to_string(r.parts_checked) + (r.truncated ? " truncated\n" : "\n");
    for (const vc::Finding& f : r.findings) {
        out += std::string(f.code) + " | " + f.part.value_or("-") + " | " + f.location.value_or("-") + " | " +
               f.message + "\n";
    }
    return out;
}

const vc::Options OPTION_SETS[] = {
    {1000, true, true}, {1000, false, true}, {1000, true, false}, {1000, false, false}, {2, true, true}, {0, true, true},
};

// Every option set: the run's report equals the reference, each over a
// package of its own. Returns the report with all checks on.
std::string expect_same_as_reference(const std::vector<std::uint8_t>& data) {
    std::string full;
    for (const vc::Options& options : OPTION_SETS) {
        auto shared = pkg::Package::from_bytes(data);
        auto alone = pkg::Package::from_bytes(data);
        if (!shared || !alone) {
            ADD_FAILURE() << "package does not open";
            return {};
        }
        const std::string got = dump(vc::check(*shared, options));
        const std::string want = dump(reference_check(*alone, options));
        EXPECT_EQ(got, want) << "max_findings " << options.max_findings << ", well-formedness "
                             << options.xml_well_formed << ", crc " << options.verify_crc;
        if (options.max_findings == 1000 && options.xml_well_formed && options.verify_crc) full = got;
    }
    return full;
}

bool has_line(const std::string& report, const std::string& line) {
    return report.find(line + "\n") != std::string::npos;
}

TEST(CheckRun, DamagedPresentationMLPartsReportAsWhenEachStageParsesAlone) {
    struct Case {
        const char* name;
        std::string slide;
        std::vector<std::string> expected; // lines the full report must hold
    };
    const std::string dup = shape(2) + shape(2);
    const std::size_t first = slide_open().size() + shape(2).find("<p:cNvPr");
    const std::size_t second = first + shape(2).size();
    const std::string repeat = "PML019 | /ppt/slides/slide1.xml | byte " + std::to_string(second) +
                               " | cNvPr/@id 2 repeats the id at byte " + std::to_string(first);
    const std::string unclosed = slide_open() + dup + "<p:sp>";
    const std::vector<Case> cases = {
        {"clean", slide(shape(2)), {}},
        {"unclosed after a repeated id",
         unclosed,
         {repeat, "XML001 | /ppt/slides/slide1.xml | byte " + std::to_string(unclosed.size()) +
                      " | unexpected end of document"}},
        {"second root after the walk", slide(dup) + "<p:sld/>",
         {repeat, "XML001 | /ppt/slides/slide1.xml | byte " + std::to_string(slide(dup).size()) +
                      " | more than one root element"}},
        {"text after the root", slide(dup) + "tail", {}},
        {"no root", DECL + "<!-- nothing -->", {}},
        {"empty", "", {}},
        {"error before the root", DECL + "<?bad", {}},
        {"wrong root", DECL + "<p:sldLayout " + NS + "><p:cSld><p:spTree>" + dup + SLIDE_CLOSE,
         {"PML014 | /ppt/slides/slide1.xml | - | root element is p:sldLayout, expected p:sld"}},
        {"repeat inside an unselected branch",
         slide_open(NS + " " + MC_NS) + shape(2) +
             "<mc:AlternateContent><mc:Choice Requires=\"zz\">" + shape(2) + "</mc:Choice><mc:Fallback>" + shape(3) +
             "</mc:Fallback></mc:AlternateContent>" + SLIDE_CLOSE,
         {}},
        {"dangling reference", slide(shape(2, " r:id=\"rId9\"")),
         {"PML020 | /ppt/slides/slide1.xml | byte " + std::to_string(first) +
          " | r:id = rId9 names no relationship of this part"}},
        {"strict namespaces", slide_open(STRICT_NS) + SLIDE_CLOSE,
         {"XML003 | - | - | 1 part(s) use Strict namespaces (e.g. /ppt/slides/slide1.xml) and 2 use Transitional "
          "(e.g. /ppt/presentation.xml)"}},
        {"undeclared prefix after findings", slide(dup + "<q:x/>"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Items deck = minimal_deck();
        deck["ppt/slides/slide1.xml"].data = c.slide;
        const std::string report = expect_same_as_reference(zip(deck));
        for (const std::string& line : c.expected) EXPECT_TRUE(has_line(report, line)) << report;
    }
}

constexpr auto OVER_LIMIT = static_cast<std::uint32_t>(pkg::MAX_XML_PART_NBYTES + 1);

TEST(CheckRun, SharedBytesKeepEncodingsCrcAndPiecesApart) {
    const std::size_t first = slide_open().size() + shape(2).find("<p:cNvPr");
    const std::string repeat = "PML019 | /ppt/slides/slide1.xml | byte " + std::to_string(first + shape(2).size()) +
                               " | cNvPr/@id 2 repeats the id at byte " + std::to_string(first);
    struct Case {
        const char* name;
        void (*mutate)(Items&);
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        // Offsets of a UTF-16 part count in its UTF-8 conversion.
        {"utf-16 slide",
         [](Items& d) { d["ppt/slides/slide1.xml"].data = utf16le(slide(shape(2) + shape(2))); },
         {repeat, "XML004 | /ppt/slides/slide1.xml | - | part is UTF-16 encoded"}},
        {"utf-16 relationships",
         [](Items& d) {
             d["ppt/_rels/presentation.xml.rels"].data = utf16le(d["ppt/_rels/presentation.xml.rels"].data);
         },
         {"XML004 | /ppt/_rels/presentation.xml.rels | - | part is UTF-16 encoded"}},
        {"bad crc on the slide",
         [](Items& d) {
             d["ppt/slides/slide1.xml"] = {slide(shape(2, " r:embed=\"rId7\"")), true};
         },
         {"PML020 | /ppt/slides/slide1.xml | byte " + std::to_string(first) +
              " | r:embed = rId7 names no relationship of this part",
          "ZIP008 | /ppt/slides/slide1.xml | - | decompressed data of ppt/slides/slide1.xml does not match the "
          "recorded CRC-32"}},
        {"bad crc on relationships", [](Items& d) { d["ppt/_rels/presentation.xml.rels"].bad_crc = true; }, {}},
        {"malformed relationships",
         [](Items& d) { d["ppt/_rels/presentation.xml.rels"].data = rels(rel("rId2", RT + "slide", "x")) + "<"; },
         {}},
        {"slide in pieces",
         [](Items& d) {
             const std::string text = slide(shape(2) + shape(2));
             d.erase("ppt/slides/slide1.xml");
             d["ppt/slides/slide1.xml/[0].piece"].data = text.substr(0, 100);
             d["ppt/slides/slide1.xml/[1].last.piece"].data = text.substr(100);
         },
         {repeat}},
        {"malformed theme",
         [](Items& d) { d["ppt/theme/theme1.xml"].data = DECL + "<a:tblStyleLst " + NS + "><a:x></a:y>"; },
         {"PML014 | /ppt/theme/theme1.xml | - | root element is a:tblStyleLst, expected a:theme"}},
        {"no content types", [](Items& d) { d.erase("[Content_Types].xml"); }, {}},
        // Refused by the size recorded, so the bytes here are never read.
        {"slide past the size limit",
         [](Items& d) { d["ppt/slides/slide1.xml"].recorded_size = OVER_LIMIT; },
         {"XML001 | /ppt/slides/slide1.xml | - | part could not be read: unsupported: xml part "
          "/ppt/slides/slide1.xml inflates to 268435457 bytes, over the limit of 268435456",
          "ZIP008 | /ppt/slides/slide1.xml | - | part could not be read: unsupported: xml part "
          "/ppt/slides/slide1.xml inflates to 268435457 bytes, over the limit of 268435456"}},
        {"content types past the size limit",
         [](Items& d) { d["[Content_Types].xml"].recorded_size = OVER_LIMIT; },
         {"OPC006 | /[Content_Types].xml | - | content types stream could not be read: unsupported: xml part "
          "/[Content_Types].xml inflates to 268435457 bytes, over the limit of 268435456"}},
        {"presentation content type in other case and with a parameter",
         [](Items& d) {
             std::string& types = d["[Content_Types].xml"].data;
             const std::string from = CT + "slide+xml\"";
             types.replace(types.find(from), from.size(), " APPLICATION/vnd.openxmlformats-officedocument."
                                                          "presentationml.SLIDE+XML ; x=1\"");
             d["ppt/slides/slide1.xml"].data = slide(shape(2) + shape(2));
         },
         {repeat}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Items deck = minimal_deck();
        c.mutate(deck);
        const std::string report = expect_same_as_reference(zip(deck));
        for (const std::string& line : c.expected) EXPECT_TRUE(has_line(report, line)) << report;
    }
}

// Entries are verified two at a time, yet their findings come in entry
// order, unreadable ones included, so a cap keeps the first ones.
TEST(CheckRun, CrcFindingsKeepEntryOrderUnderEveryCap) {
    testkit::Zip z;
    z.add("[Content_Types].xml",
          DECL + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                 "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>");
    const std::vector<std::string> expected = {
        "decompressed data of a1.xml does not match the recorded CRC-32",
        "part could not be read: inflate: invalid block type",
        // Past the size limit: refused by the recorded size, not inflated.
        "part could not be read: unsupported: xml part /a3big.xml inflates to 268435457 bytes, over the limit of "
        "268435456",
        "decompressed data of a4.xml does not match the recorded CRC-32",
        "decompressed data of a5.xml does not match the recorded CRC-32",
        "part could not be read: unsupported: zip compression method 99 for a6.xml",
        "decompressed data of a7.xml does not match the recorded CRC-32",
    };
    z.add("a1.xml", "<a/>");
    z.items.back().bad_crc = true;
    z.add("a2.xml", "\xff\xff\xff\xff", 8);
    z.add("a3.xml", "<a>fine</a>");
    z.add("a3big.xml", "<a/>");
    z.items.back().recorded_size = OVER_LIMIT;
    z.add("a4.xml", std::string(100, 'x'));
    z.items.back().bad_crc = true;
    z.add("a5.xml", "");
    z.items.back().bad_crc = true;
    z.add("a6.xml", "<a/>", 99);
    z.add("a7.xml", std::string(17, 'y'));
    z.items.back().bad_crc = true;
    const auto data = z.build();
    for (std::size_t cap = 0; cap <= expected.size() + 1; ++cap) {
        auto package = pkg::Package::from_bytes(data);
        ASSERT_TRUE(package);
        vc::Report report;
        const vc::Options options{cap, true, true};
        vc::Sink sink(report, options);
        vc::container::run_crc(*package, sink);
        std::vector<std::string> got;
        for (const vc::Finding& f : report.findings) got.push_back(f.message);
        const std::vector<std::string> want(expected.begin(), expected.begin() + std::min(cap, expected.size()));
        EXPECT_EQ(got, want) << cap;
        EXPECT_EQ(report.truncated, cap < expected.size()) << cap;
        EXPECT_EQ(report.parts_checked, 8u);
    }
}

TEST(CheckRun, CorpusReportsEqualTheReference) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::filesystem::path& dir = *corpus;
    std::size_t decks = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        auto shared = pkg::Package::from_bytes(data);
        auto alone = pkg::Package::from_bytes(data);
        if (!shared || !alone) continue;
        SCOPED_TRACE(e.path().filename().string());
        const vc::Options options{1000, true, true};
        EXPECT_EQ(dump(vc::check(*shared, options)), dump(reference_check(*alone, options)));
        ++decks;
    }
    EXPECT_GT(decks, 0u);
}

// The trim as a forward decode of the whole text.
std::string_view trim_by_decoding(std::string_view s) {
    namespace enc = vantrell_core::encoding;
    std::size_t begin = s.size();
    std::size_t end = 0;
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t at = pos;
        if (!enc::is_white_space(enc::next_utf8(s, pos))) {
            if (begin == s.size()) begin = at;
            end = pos;
        }
    }
    return begin < end ? s.substr(begin, end - begin) : std::string_view();
}

TEST(CheckRun, TrimAgreesWithAWholeDecodeOnMixedAndDamagedText) {
    // ASCII white space and not (0x1C-0x1F are not), Unicode white space
    // (NBSP, NEL, ideographic space), other letters, and broken sequences.
    const std::vector<std::string> pieces = {" ", "\t", "\n", "\r", "\v", "\f", "\x1c", "\x1f", "a", "/",
                                             "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80", "\xC3\xA9", "\xE2\x82",
                                             "\xC2", "\xFF", "\x80", "\xF0\x9F\x98\x80"};
    std::mt19937 rng(12);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        const int n = static_cast<int>(rng() % 7);
        for (int k = 0; k < n; ++k) s += pieces[rng() % pieces.size()];
        const std::string_view got = vc::trim_white_space(s);
        const std::string_view want = trim_by_decoding(s);
        ASSERT_EQ(got, want) << "input of " << s.size() << " bytes, round " << round;
        // Equal views of the same text also start at the same place.
        if (!want.empty()) {
            ASSERT_EQ(got.data(), want.data());
        }
    }
}

TEST(CheckRun, KeptBytesStayWithinTheBudget) {
    auto package = pkg::Package::from_bytes(zip(minimal_deck()));
    ASSERT_TRUE(package);
    vc::RunCache cache(*package, 100);
    auto bytes = [](std::size_t n) { return std::make_shared<const std::vector<std::uint8_t>>(n, 'x'); };
    EXPECT_TRUE(cache.keep_bytes(0, bytes(60)));
    EXPECT_FALSE(cache.keep_bytes(1, bytes(41)));
    EXPECT_EQ(cache.take_bytes(1), nullptr);
    EXPECT_TRUE(cache.keep_bytes(1, bytes(40)));
    // Replacing a part's bytes counts only the new ones.
    EXPECT_TRUE(cache.keep_bytes(0, bytes(60)));
    EXPECT_FALSE(cache.keep_bytes(2, bytes(1)));
    ASSERT_NE(cache.take_bytes(0), nullptr);
    EXPECT_EQ(cache.take_bytes(0), nullptr);
    EXPECT_TRUE(cache.keep_bytes(2, bytes(60)));
    EXPECT_FALSE(cache.keep_bytes(package->parts().size(), bytes(1)));
    EXPECT_FALSE(cache.keep_bytes(3, nullptr));
}

TEST(CheckRun, CachedPartBytesServeReadsAndRelationships) {
    Items deck = minimal_deck();
    auto package = pkg::Package::from_bytes(zip(deck));
    ASSERT_TRUE(package);
    const auto index = package->part_index("/ppt/_rels/presentation.xml.rels");
    ASSERT_TRUE(index);
    const std::string text = rels(rel("rIdX", RT + "slide", "slides/slide1.xml"));
    package->cache_part(*index, std::make_shared<const std::vector<std::uint8_t>>(text.begin(), text.end()));
    package->cache_part(package->parts().size(), std::make_shared<const std::vector<std::uint8_t>>());
    package->cache_part(*index + 0, nullptr); // no bytes: the earlier ones stay

    auto read = package->read_part("/ppt/_rels/presentation.xml.rels");
    ASSERT_TRUE(read);
    EXPECT_EQ(pkg::as_text(**read), text);
    auto parsed = package->rels("/ppt/presentation.xml");
    ASSERT_TRUE(parsed);
    ASSERT_EQ((*parsed)->relationships.size(), 1u);
    EXPECT_EQ((*parsed)->relationships[0].id, "rIdX");

    // Another view of the same core reads the archive.
    pkg::Package other(package->core());
    auto fresh = other.rels("/ppt/presentation.xml");
    ASSERT_TRUE(fresh);
    EXPECT_EQ((*fresh)->relationships.size(), 2u);
}

} // namespace
