// The checker's core without Python: the rule tables, the sink's cap, the
// final order, the stage helpers, and a sanitizer-built run over the corpus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "check/check.h"
#include "check/container.h"
#include "check/content_types.h"
#include "check/relationships.h"
#include "check/xml_parts.h"
#include "corpus.h"
#include "testkit.h"

namespace vc = vantrell_check;

namespace {

const vc::Rule ERR{"AAA001", "c", "s", vc::Severity::error};
const vc::Rule ERR2{"AAA002", "c", "s", vc::Severity::error};
const vc::Rule WARN{"ZIP010", "c", "s", vc::Severity::warning};
const vc::Rule WARN2{"ZIP003", "c", "s", vc::Severity::warning};
const vc::Rule INFO{"ZIP011", "c", "s", vc::Severity::info};

std::vector<std::string> order(const std::vector<vc::Finding>& fs) {
    std::vector<std::string> out;
    for (const auto& f : fs) out.push_back(std::string(f.code) + " " + f.part.value_or("-") + " " + f.message);
    return out;
}

} // namespace

TEST(CheckRules, CatalogueIsSeventyTwoUniqueWellFormedCodes) {
    const auto rules = vc::rules();
    ASSERT_EQ(rules.size(), 72u);
    EXPECT_EQ(rules[0]->code, "ZIP001");
    EXPECT_EQ(rules[18]->code, "CTY001");
    EXPECT_EQ(rules[71]->code, "CPR004");
    std::set<std::string_view> codes;
    int counts[3] = {};
    for (const vc::Rule* r : rules) {
        codes.insert(r->code);
        ++counts[static_cast<int>(r->severity)];
        ASSERT_EQ(r->code.size(), 6u);
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(r->code[i] >= 'A' && r->code[i] <= 'Z') << r->code;
        for (int i = 3; i < 6; ++i) EXPECT_TRUE(r->code[i] >= '0' && r->code[i] <= '9') << r->code;
        EXPECT_FALSE(r->summary.empty());
        EXPECT_FALSE(r->summary.ends_with("."));
    }
    EXPECT_EQ(codes.size(), 72u);
    EXPECT_EQ(counts[0], 3);
    EXPECT_EQ(counts[1], 13);
    EXPECT_EQ(counts[2], 56);
}

TEST(CheckReport, CapKeepsPushOrderAndCountsDroppedErrors) {
    auto package = vantrell_core::package::Package::from_bytes(testkit::Zip{}.add("a.xml", "<a/>").build());
    ASSERT_TRUE(package);
    vc::Reading reading(*package);
    vc::Report report;
    vc::Options options{.max_findings = 1, .xml_well_formed = true, .verify_crc = true};
    vc::Sink sink(report, options, reading);
    sink.push(vc::Finding(WARN, "kept"));
    EXPECT_FALSE(report.truncated);
    sink.push(vc::Finding(ERR, "dropped"));
    ASSERT_EQ(report.findings.size(), 1u);
    EXPECT_EQ(report.findings[0].message, "kept");
    EXPECT_TRUE(report.truncated);
    EXPECT_EQ(report.dropped_errors, 1u);
    EXPECT_FALSE(report.is_clean());

    vc::Report zero;
    vc::Options none{};
    vc::Sink zero_sink(zero, none, reading);
    zero_sink.push(vc::Finding(INFO, "x"));
    EXPECT_TRUE(zero.findings.empty());
    EXPECT_TRUE(zero.truncated);
    EXPECT_TRUE(zero.is_clean());
}

TEST(CheckReport, SortIsSeverityCodePartAndStable) {
    std::vector<vc::Finding> fs;
    fs.push_back(vc::Finding(INFO, "i"));
    fs.push_back(vc::Finding(WARN, "w10"));
    fs.push_back(vc::Finding(ERR2, "b").in_part("/b"));
    fs.push_back(vc::Finding(ERR2, "a2").in_part("/a"));
    fs.push_back(vc::Finding(ERR2, "none"));
    fs.push_back(vc::Finding(ERR2, "a1").in_part("/a"));
    fs.push_back(vc::Finding(WARN2, "w3"));
    fs.push_back(vc::Finding(ERR, "first"));
    vc::sort_findings(fs);
    EXPECT_EQ(order(fs), (std::vector<std::string>{"AAA001 - first", "AAA002 - none", "AAA002 /a a2", "AAA002 /a a1",
                                                   "AAA002 /b b", "ZIP003 - w3", "ZIP010 - w10", "ZIP011 - i"}));

    // The same keys at a size that takes the merge-based path keep push order.
    std::vector<vc::Finding> many;
    for (int i = 0; i < 200; ++i) many.push_back(vc::Finding(i % 2 ? WARN : ERR, std::to_string(i)).in_part("/p"));
    vc::sort_findings(many);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(many[i].message, std::to_string(2 * i));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(many[100 + i].message, std::to_string(2 * i + 1));

    vc::Report r;
    r.findings.push_back(vc::Finding(ERR, "a"));
    r.findings.push_back(vc::Finding(ERR, "b"));
    r.findings.push_back(vc::Finding(WARN, "c"));
    EXPECT_EQ(r.codes(), (std::vector<std::string_view>{"AAA001", "ZIP010"}));
}

TEST(CheckHelpers, MediaTypes) {
    using vc::content_types::is_media_type;
    for (const char* ok : {"application/xml", " text/plain ; charset=x", "a/b+xml", "x-a.b/c_d~"})
        EXPECT_TRUE(is_media_type(ok)) << ok;
    for (const char* bad : {"", "text/", "/xml", "text", "text/x/y", "te xt/plain", "text/pl\xC3\xA9", "a/b c"})
        EXPECT_FALSE(is_media_type(bad)) << bad;
}

TEST(CheckHelpers, IdsAndAbsoluteTargets) {
    using vc::relationships::is_absolute_reference;
    using vc::relationships::is_xml_name;
    for (const char* ok : {"rId1", "_x", "\xC3\xA9t\xC3\xA9", "a-b.c_d"}) EXPECT_TRUE(is_xml_name(ok)) << ok;
    for (const char* bad : {"", "1a", "a:b", "a b", "-a", ".a"}) EXPECT_FALSE(is_xml_name(bad)) << bad;
    for (const char* abs : {"http://x", "C:\\x", "a+b-c.d:rest", "mailto:x"}) EXPECT_TRUE(is_absolute_reference(abs));
    for (const char* rel : {"slide1.xml", ":x", "1a:b", "a/b:c", "a b:c", "../x"})
        EXPECT_FALSE(is_absolute_reference(rel)) << rel;
}

TEST(CheckHelpers, DeclaredEncodingAndXmlMediaTypes) {
    using vc::xml_parts::declared_encoding;
    EXPECT_EQ(declared_encoding("<?xml version='1.0' encoding = 'x-y'?><a/>"), "x-y");
    EXPECT_EQ(declared_encoding("\xEF\xBB\xBF<?xml encoding=\"UTF-8\"?>"), "UTF-8");
    EXPECT_EQ(declared_encoding("<?xml encoding=\"\"?>"), "");
    EXPECT_FALSE(declared_encoding(" <?xml encoding='latin1'?>"));
    EXPECT_FALSE(declared_encoding("<?xml encoding='latin1'"));
    EXPECT_FALSE(declared_encoding("<?xml encoding 'latin1'?>"));
    EXPECT_FALSE(declared_encoding("<?xml version='1.0'?>"));
    // A quote of several bytes closes only at the same character, not at the
    // next character sharing its lead byte.
    EXPECT_EQ(declared_encoding("<?xml encoding=\xC2\xABUTF-8\xC2\xAB?>"), "UTF-8");
    EXPECT_EQ(declared_encoding("<?xml encoding=\xC2\xABx\xC2\xBBy\xC2\xAB?>"), "x\xC2\xBBy");
    EXPECT_FALSE(declared_encoding("<?xml encoding=\xC2\xABUTF-8\xC2\xBB?>"));
    // A character cut at byte 200 is dropped with the last four bytes.
    std::string head = "<?xml encoding='koi8'?>" + std::string(176, ' ') + "\xC3\xA9";
    ASSERT_EQ(head.size(), 201u);
    EXPECT_EQ(declared_encoding(head), "koi8");
    // No "?>" within the first 200 bytes.
    EXPECT_FALSE(declared_encoding("<?xml" + std::string(200, ' ') + "encoding='x'?>"));

    using vc::xml_parts::is_xml_media_type;
    for (const char* ok : {"application/vnd.example+XML; charset=x", "Text/XML", " application/xml "})
        EXPECT_TRUE(is_xml_media_type(ok)) << ok;
    for (const char* bad : {"application/xhtml", "image/svg", "", "application/xml2"})
        EXPECT_FALSE(is_xml_media_type(bad)) << bad;
}

TEST(CheckCorpus, EveryDeckChecksOrFailsToOpen) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::filesystem::path& dir = *corpus;
    vc::Options options{.max_findings = 1000, .xml_well_formed = true, .verify_crc = true};
    std::size_t opened = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".md") continue;
        auto report = vc::check_path(entry.path().string(), options);
        if (!report) continue;
        ++opened;
        for (std::size_t i = 1; i < report->findings.size(); ++i)
            EXPECT_GE(report->findings[i - 1].severity, report->findings[i].severity);
    }
    EXPECT_GT(opened, 0u);
}
