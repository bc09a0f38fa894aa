// One check run shares its reading between its stages: each XML part is
// inflated once, a relationships part's parse tells the XML stage what it
// needs, and the PresentationML examination is made in the XML stage's
// parse. These tests hold the run to what that sharing must not change:
// each stage finds within the run what it finds alone over a fresh reading,
// a cap keeps a prefix of the push order, which follows the stages, and no
// part is inflated twice. Damaged decks and the corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "check/check.h"
#include "testkit.h"
#include "check/container.h"
#include "check/content_types.h"
#include "check/core_props.h"
#include "check/pml.h"
#include "check/relationships.h"
#include "check/xml_parts.h"
#include "core/document.h"
#include "core/package.h"
#include "core/zip.h"
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

std::string line(const vc::Finding& f) {
    return std::string(f.code) + " | " + f.part.value_or("-") + " | " + f.location.value_or("-") + " | " + f.message;
}

std::string dump(const vc::Report& r) {
    std::string out = "parts_checked " + std::to_string(r.parts_checked) + (r.truncated ? " truncated\n" : "\n");
    for (const vc::Finding& f : r.findings) out += line(f) + "\n";
    return out;
}

vc::Report check(const std::vector<std::uint8_t>& data, const vc::Options& options) {
    auto package = pkg::Package::from_bytes(data);
    if (!package) {
        ADD_FAILURE() << "package does not open";
        return {};
    }
    return vc::check(*package, options);
}

template <std::size_t N>
std::vector<std::string_view> codes_of(const std::array<vc::Rule, N>& table) {
    std::vector<std::string_view> out;
    for (const vc::Rule& r : table) out.push_back(r.code);
    return out;
}

// The stages in the driver's order, each with the codes it reports.
struct Stage {
    const char* name;
    void (*run)(pkg::Package&, vc::Sink&);
    std::vector<std::string_view> codes;
};

const std::vector<Stage>& stages() {
    static const std::vector<Stage> all = [] {
        std::vector<std::string_view> container = codes_of(vc::container::CONTAINER_RULES);
        std::erase(container, "ZIP008");
        return std::vector<Stage>{
            {"container", &vc::container::run, container},
            {"crc", &vc::container::run_crc, {"ZIP008"}},
            {"content types", &vc::content_types::run, codes_of(vc::content_types::CONTENT_TYPE_RULES)},
            {"relationships", &vc::relationships::run, codes_of(vc::relationships::RELATIONSHIP_RULES)},
            {"xml parts", &vc::xml_parts::run, codes_of(vc::xml_parts::XML_RULES)},
            {"presentationml", &vc::pml::run, codes_of(vc::pml::PRESENTATION_RULES)},
            {"core properties", &vc::core_props::run, codes_of(vc::core_props::CORE_PROPERTY_RULES)},
        };
    }();
    return all;
}

std::size_t stage_of(std::string_view code) {
    for (std::size_t i = 0; i < stages().size(); ++i)
        if (std::ranges::find(stages()[i].codes, code) != stages()[i].codes.end()) return i;
    ADD_FAILURE() << "no stage reports " << code;
    return stages().size();
}

// Every stage run alone, over a fresh package and reading, finds what it
// finds within the whole run `whole` (uncapped), and the inspections of the
// stages add up to the run's. A stage alone reads and parses for itself what
// the run shares.
void expect_stages_alone_agree(const std::vector<std::uint8_t>& data, const vc::Options& options,
                               const vc::Report& whole) {
    ASSERT_FALSE(whole.truncated);
    // The driver skips the content types stage over a stream it could not
    // use, as the container stage's findings tell.
    const bool types_usable = std::ranges::none_of(
        whole.findings, [](const vc::Finding& f) { return f.code == "OPC004" || f.code == "OPC006"; });
    std::size_t parts_checked = 0;
    for (const Stage& stage : stages()) {
        SCOPED_TRACE(stage.name);
        if (stage.run == &vc::container::run_crc && !options.verify_crc) continue;
        if (stage.run == &vc::content_types::run && !types_usable) continue;
        auto package = pkg::Package::from_bytes(data);
        ASSERT_TRUE(package);
        vc::Report alone;
        vc::Reading reading(*package);
        vc::Sink sink(alone, options, reading);
        stage.run(*package, sink);
        vc::sort_findings(alone.findings);
        std::string got, want;
        for (const vc::Finding& f : alone.findings) got += line(f) + "\n";
        for (const vc::Finding& f : whole.findings)
            if (std::ranges::find(stage.codes, f.code) != stage.codes.end()) want += line(f) + "\n";
        EXPECT_EQ(got, want);
        parts_checked += alone.parts_checked;
    }
    EXPECT_EQ(parts_checked, whole.parts_checked);
}

// The findings of a run in the order the stages pushed them, told by capping
// the run at every size: each cap keeps one finding more than the one below
// it, the first ones pushed, and no cap changes what is inspected. The pushes
// follow the stages' order.
std::vector<std::string> push_order(const std::vector<std::uint8_t>& data, vc::Options options) {
    options.max_findings = SIZE_MAX;
    const vc::Report whole = check(data, options);
    const auto whole_errors = static_cast<std::size_t>(std::ranges::count_if(
        whole.findings, [](const vc::Finding& f) { return f.severity == vc::Severity::error; }));
    std::vector<std::string> order;
    std::vector<std::string> below;
    for (std::size_t cap = 0; cap <= whole.findings.size() + 1; ++cap) {
        options.max_findings = cap;
        const vc::Report capped = check(data, options);
        EXPECT_EQ(capped.parts_checked, whole.parts_checked) << cap;
        EXPECT_EQ(capped.truncated, cap < whole.findings.size()) << cap;
        std::size_t errors = 0;
        std::vector<std::string> kept;
        for (const vc::Finding& f : capped.findings) {
            kept.push_back(line(f));
            if (f.severity == vc::Severity::error) ++errors;
        }
        EXPECT_EQ(capped.dropped_errors, whole_errors - errors) << cap;
        std::ranges::sort(kept);
        std::vector<std::string> added;
        std::ranges::set_difference(kept, below, std::back_inserter(added));
        EXPECT_TRUE(std::ranges::includes(kept, below)) << cap;
        EXPECT_EQ(added.size(), cap != 0 && cap <= whole.findings.size() ? 1u : 0u) << cap;
        if (cap != 0 && added.size() == 1) order.push_back(added[0]);
        below = std::move(kept);
    }
    std::size_t stage = 0;
    for (const std::string& l : order) {
        const std::size_t now = stage_of(std::string_view(l).substr(0, 6));
        EXPECT_GE(now, stage) << l;
        stage = std::max(stage, now);
    }
    return order;
}

const vc::Options OPTION_SETS[] = {
    {1000, true, true}, {1000, false, true}, {1000, true, false}, {1000, false, false},
};

// The run's report agrees with its stages alone under every option set, and
// caps keep its push order. Returns the report with all checks on.
std::string expect_shared_reading_agrees(const std::vector<std::uint8_t>& data) {
    std::string full;
    for (const vc::Options& options : OPTION_SETS) {
        SCOPED_TRACE("well-formedness " + std::to_string(options.xml_well_formed) + ", crc " +
                     std::to_string(options.verify_crc));
        const vc::Report whole = check(data, options);
        expect_stages_alone_agree(data, options, whole);
        if (options.xml_well_formed && options.verify_crc) {
            full = dump(whole);
            (void)push_order(data, options);
        }
    }
    return full;
}

bool has_line(const std::string& report, const std::string& line) {
    return report.find(line + "\n") != std::string::npos;
}

TEST(CheckRun, DamagedPresentationMLPartsReportAsWhenEachStageRunsAlone) {
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
        const std::string report = expect_shared_reading_agrees(zip(deck));
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
        // The relationships stage's parse tells the XML stage the root's forms.
        {"strict namespace on a relationships root",
         [](Items& d) {
             std::string& text = d["ppt/_rels/presentation.xml.rels"].data;
             text.insert(text.find(" xmlns="), " xmlns:r=\"http://purl.oclc.org/ooxml/officeDocument/relationships\"");
         },
         {"XML003 | - | - | 1 part(s) use Strict namespaces (e.g. /ppt/_rels/presentation.xml.rels) and 3 use "
          "Transitional (e.g. /ppt/presentation.xml)"}},
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
        const std::string report = expect_shared_reading_agrees(zip(deck));
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
    std::vector<std::string> got;
    for (const std::string& l : push_order(z.build(), {SIZE_MAX, true, true}))
        if (l.starts_with("ZIP008")) got.push_back(l.substr(l.rfind(" | ") + 3));
    EXPECT_EQ(got, expected);
}

TEST(CheckRun, CorpusStagesFindAloneWhatTheyFindInTheRun) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::size_t decks = 0;
    for (const auto& e : std::filesystem::directory_iterator(*corpus)) {
        std::ifstream in(e.path(), std::ios::binary);
        const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        auto package = pkg::Package::from_bytes(data);
        if (!package) continue;
        SCOPED_TRACE(e.path().filename().string());
        const vc::Options options{1000, true, true};
        expect_stages_alone_agree(data, options, vc::check(*package, options));
        ++decks;
    }
    EXPECT_GT(decks, 0u);
}

// Archive bytes that count how often each offset is read from.
class CountingSource final : public vantrell_core::zip::Source {
public:
    explicit CountingSource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t len() const noexcept override { return bytes_.size(); }
    vantrell_core::Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const override {
        if (offset > bytes_.size() || out.size() > bytes_.size() - offset)
            return vantrell_core::fail(vantrell_core::Error::io_text("past the end"));
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        ++reads_[offset];
        return {};
    }
    std::size_t reads_at(std::uint64_t offset) const {
        const auto it = reads_.find(offset);
        return it == reads_.end() ? 0 : it->second;
    }

private:
    std::vector<std::uint8_t> bytes_;
    mutable std::map<std::uint64_t, std::size_t> reads_;
};

// Read from a file rather than memory, an entry's data is read at its own
// offset, apart from its header: the times it is read there are the times
// it is inflated.
TEST(CheckRun, NoStageInflatesAnXmlPartAgain) {
    Items deck = minimal_deck();
    deck["ppt/media/image1.png"].data = "\x89PNG not really";
    deck["[Content_Types].xml"].data.insert(deck["[Content_Types].xml"].data.find("</Types>"),
                                            "<Default Extension=\"png\" ContentType=\"image/png\"/>");
    const std::vector<std::uint8_t> data = zip(deck);
    // Where each item's data begins: after its 30-byte local header and name.
    std::map<std::string, std::uint64_t> data_offset;
    std::uint64_t offset = 0;
    for (const auto& [name, item] : deck) {
        data_offset[name] = offset + 30 + name.size();
        offset += 30 + name.size() + item.data.size();
    }
    // Without the CRC stage, the package layer reads the parts it parses
    // whole (relationships, presentation, core properties) for itself.
    const std::set<std::string> read_whole = {"_rels/.rels", "ppt/_rels/presentation.xml.rels",
                                              "ppt/presentation.xml", "docProps/core.xml"};
    for (const vc::Options& options : OPTION_SETS) {
        SCOPED_TRACE("well-formedness " + std::to_string(options.xml_well_formed) + ", crc " +
                     std::to_string(options.verify_crc));
        auto source = std::make_shared<CountingSource>(data);
        auto archive = vantrell_core::zip::Archive::open(source);
        ASSERT_TRUE(archive);
        auto package = pkg::Package::from_archive(std::move(*archive));
        ASSERT_TRUE(package);
        (void)vc::check(*package, options);
        for (const auto& [name, at] : data_offset) {
            SCOPED_TRACE(name);
            if (name == "[Content_Types].xml") continue;
            const std::size_t want = name.ends_with(".png") ? 0 : !options.verify_crc && read_whole.contains(name) ? 2 : 1;
            EXPECT_EQ(source->reads_at(at), want);
        }
    }
}

TEST(CheckRun, KeptBytesStayWithinTheBudget) {
    auto package = pkg::Package::from_bytes(zip(minimal_deck()));
    ASSERT_TRUE(package);
    const auto slide_part = package->part_index("/ppt/slides/slide1.xml");
    const auto theme = package->part_index("/ppt/theme/theme1.xml");
    const auto presentation = package->part_index("/ppt/presentation.xml");
    ASSERT_TRUE(slide_part && theme && presentation);
    vc::Reading reading(*package, 100);
    auto bytes = [](std::size_t n) { return std::make_shared<const vantrell_core::bytes::Buffer>(n, 'x'); };
    auto raw = [&](std::size_t part) {
        auto r = reading.raw_bytes(part);
        return r ? std::string(r->begin(), r->end()) : "error: " + r.error().message();
    };
    EXPECT_TRUE(reading.keep(*slide_part, bytes(60)));
    EXPECT_FALSE(reading.keep(*theme, bytes(41)));
    EXPECT_TRUE(reading.keep(*theme, bytes(40)));
    // Replacing a part's bytes counts only the new ones.
    EXPECT_TRUE(reading.keep(*slide_part, bytes(60)));
    EXPECT_FALSE(reading.keep(*presentation, bytes(1)));
    // Kept bytes are lent once, and leave the budget then; a part read
    // again comes from the archive.
    EXPECT_EQ(raw(*slide_part), std::string(60, 'x'));
    EXPECT_EQ(raw(*slide_part), slide(shape(2)));
    EXPECT_TRUE(reading.keep(*presentation, bytes(60)));
    EXPECT_FALSE(reading.keep(package->parts().size(), bytes(1)));
    EXPECT_FALSE(reading.keep(*theme, nullptr));
}

// Part bytes that the view's cache holds stay charged to the run's ledger
// while the run goes on: after what each row does (kept bytes lent, then
// another part's; a stage run), with the reading alive, what the ledger
// holds and whether the view serves the part from its cache.
TEST(CheckRun, BytesTheViewKeepsStayCharged) {
    namespace budget = vantrell_core::budget;
    struct Row {
        const char* what;
        std::string part;
        std::string kept; // charged 100 and lent, then another part; none: `stage` runs
        void (*stage)(pkg::Package&, vc::Sink&);
        std::uint64_t held;
        bool cached;
    };
    const Row rows[] = {
        {"a kept slide", "/ppt/slides/slide1.xml", "<p:sld/>", nullptr, 0, false},
        {"the kept presentation, in the cache", "/ppt/presentation.xml", "<p:presentation/>", nullptr, 100, true},
        {"the presentation read by its stage", "/ppt/presentation.xml", "", &vc::pml::run, 0, false},
        {"a slide examined by that stage", "/ppt/slides/slide1.xml", "", &vc::pml::run, 0, false},
        {"the core properties read by their stage", "/docProps/core.xml", "", &vc::core_props::run, 0, false},
    };
    auto package = pkg::Package::from_bytes(zip(minimal_deck()));
    ASSERT_TRUE(package);
    const auto bytes = [](const std::string& s) {
        return std::make_shared<const vantrell_core::bytes::Buffer>(s.begin(), s.end());
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        budget::Budget b(1 << 20);
        budget::Ledger ledger(b);
        pkg::Package view(package->core());
        view.set_ledger(&ledger);
        vc::Report report;
        const vc::Options options{SIZE_MAX, false, false};
        vc::Reading reading(view);
        vc::Sink sink(report, options, reading);
        const std::size_t part = *view.part_index(row.part), theme = *view.part_index("/ppt/theme/theme1.xml");
        if (row.stage) {
            row.stage(view, sink);
        } else {
            budget::Held charge;
            ASSERT_TRUE(charge.take(&ledger, 100));
            reading.keep(part, bytes(row.kept), &charge);
            reading.keep(theme, bytes("x"));
            ASSERT_TRUE(reading.raw_bytes(part) && reading.raw_bytes(theme));
        }
        EXPECT_EQ(ledger.held(), row.held);
        ASSERT_TRUE(view.read_part(row.part));
        EXPECT_EQ(ledger.held() == row.held, row.cached);
    }
}

TEST(CheckRun, CachedPartBytesServeReadsAndRelationships) {
    Items deck = minimal_deck();
    auto package = pkg::Package::from_bytes(zip(deck));
    ASSERT_TRUE(package);
    const auto index = package->part_index("/ppt/_rels/presentation.xml.rels");
    ASSERT_TRUE(index);
    const std::string text = rels(rel("rIdX", RT + "slide", "slides/slide1.xml"));
    package->cache_part(*index, std::make_shared<const vantrell_core::bytes::Buffer>(text.begin(), text.end()));
    package->cache_part(package->parts().size(), std::make_shared<const vantrell_core::bytes::Buffer>());
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

// Every call that reads a part to parse it charges the process budget first:
// with the budget held full, each waits, and its stop ends the wait.
TEST(CheckRun, EveryCallThatParsesAPartWaitsForTheBudget) {
    namespace budget = vantrell_core::budget;
    namespace doc = vantrell_core::document;
    const auto message = [](const auto& r) { return r ? std::string("read") : r.error().message(); };
    const auto source = [] { return std::make_shared<vantrell_core::zip::MemorySource>(zip(minimal_deck())); };
    const auto package = [] { return *pkg::Package::from_bytes(zip(minimal_deck())); };
    const auto opened = doc::Document::from_source(source());
    ASSERT_TRUE(opened);
    struct Row {
        const char* what;
        std::function<std::string(budget::Stop&)> call;
        std::string want;
    };
    const Row rows[] = {
        {"check", [&](budget::Stop& stop) {
             pkg::Package p = package();
             return std::to_string(vc::check(p, vc::Options{10, true, true, &stop}).findings.size());
         }, "stopped"},
        {"opening", [&](budget::Stop& stop) { return message(doc::Document::from_source(source(), &stop)); },
         "stopped"},
        {"a slide", [&](budget::Stop& stop) {
             doc::Document view(opened->shared(), 1);
             view.set_stop(&stop);
             const doc::Document::Charging charging(view);
             return message(view.slide(0));
         }, "stopped before reading"},
        {"relationships", [&](budget::Stop& stop) {
             pkg::Package p = package();
             const pkg::Charging charging(p, &stop);
             return message(p.rels("/ppt/presentation.xml"));
         }, "stopped before reading"},
        {"content types", [&](budget::Stop& stop) {
             pkg::Package p = package();
             const pkg::Charging charging(p, &stop);
             return std::to_string(p.parsed_content_types().types.overrides.size());
         }, "stopped"},
    };
    budget::Budget& b = budget::Budget::process();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // A large step and a full small room: every first charge waits.
        budget::Ledger large, small;
        large.charge(budget::PROCESS_NBYTES - budget::PROCESS_NBYTES / 4);
        small.charge(budget::PROCESS_NBYTES / 4);
        std::atomic<bool> say_stop{false}, done{false};
        budget::Stop stop([](void* say) { return static_cast<std::atomic<bool>*>(say)->load(); }, &say_stop);
        std::string got;
        std::thread t([&] {
            try {
                got = row.call(stop);
            } catch (const budget::Stopped&) {
                got = "stopped";
            }
            done.store(true);
        });
        while (b.waiting() == 0 && !done.load()) std::this_thread::yield();
        EXPECT_FALSE(done.load()) << "the call read without waiting";
        say_stop.store(true);
        t.join();
        EXPECT_EQ(got, row.want);
        large.settle();
        small.settle();
        EXPECT_EQ(b.in_flight(), 0u);
    }
}

} // namespace
