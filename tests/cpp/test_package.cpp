#include "core/package.h"

#include "testkit.h"
#include "corpus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pkg = vantrell_core::package;
using Bytes = std::vector<std::uint8_t>;
using Buffer = vantrell_core::bytes::Buffer;

namespace {

using testkit::Zip;

pkg::Package open_zip(const Zip& z) {
    auto p = pkg::Package::from_bytes(z.build());
    EXPECT_TRUE(p) << p.error().message();
    return std::move(*p);
}

const std::string CT_HEAD =
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>";
const std::string CT = CT_HEAD + "<Override PartName=\"/ppt/presentation.xml\" ContentType=\"pres\"/></Types>";

std::string rels(const std::string& body) {
    return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + body +
           "</Relationships>";
}

std::vector<std::string> names(const pkg::Package& p) {
    std::vector<std::string> out;
    for (const auto& part : p.parts()) out.emplace_back(part.name);
    return out;
}

std::string text(const pkg::Bytes& b) { return std::string(pkg::as_text(*b)); }

// The part names of pairs of positions in the part table.
std::vector<std::pair<std::string, std::string>> named(const pkg::Package& p,
                                                       const std::vector<std::pair<std::size_t, std::size_t>>& pairs) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [a, b] : pairs) out.emplace_back(p.parts().at(a).name, p.parts().at(b).name);
    return out;
}

} // namespace

TEST(Package, PartTableOrderAndLookup) {
    Zip z;
    z.add("ppt/slides/slide1.xml", "<a/>")
        .add("[Content_Types].xml", CT)
        .add("ppt/", "")
        .add("z.bin/[1].last.piece", "world")
        .add("ppt/presentation.xml", "<p/>")
        .add("a.bin/[0].last.piece", "A")
        .add("z.bin/[0].piece", "hello ")
        .add("ppt/slides/slide1.xml", "<dup/>");
    auto p = open_zip(z);
    const std::vector<std::string> want = {"/ppt/slides/slide1.xml", "/ppt/presentation.xml", "/a.bin", "/z.bin"};
    EXPECT_EQ(names(p), want);

    EXPECT_EQ(p.part_index("/PPT/Presentation.XML"), 1u);
    EXPECT_EQ(p.part_index("ppt/presentation.xml"), std::nullopt);
    EXPECT_EQ(p.part_index("/[Content_Types].xml"), std::nullopt);
    EXPECT_EQ(p.part_index("/ppt/"), std::nullopt);
    EXPECT_EQ(text(*p.read_part("/ppt/slides/slide1.xml")), "<a/>"); // the first of a repeated name

    // Pieces: read in piece order, sizes summed, entry of the first piece.
    const pkg::Part& zb = p.parts()[3];
    EXPECT_TRUE(zb.interleaved());
    EXPECT_EQ(zb.size, 11u);
    EXPECT_EQ(zb.compressed_size, 11u);
    EXPECT_EQ(p.archive().entries()[zb.entry].name, "z.bin/[0].piece");
    EXPECT_EQ(text(*p.read_part("/z.bin")), "hello world");
    Buffer buf = {'>'};
    ASSERT_TRUE(p.read_part_bytes("/Z.BIN", buf));
    EXPECT_EQ(std::string(buf.begin(), buf.end()), ">hello world");
    EXPECT_TRUE(p.defects().incomplete_pieces.empty());
}

TEST(Package, PartNamesLastAsLongAsAnyView) {
    // The names are held by the shared core, not by the view that made it.
    Zip z;
    z.add("ppt/slides/slide1.xml", "<a/>").add("z.bin/[0].last.piece", "z").add("ppt/m\xC3\xA9" "dia/x.png", "x");
    std::optional<pkg::Package> copy;
    {
        const pkg::Package p = open_zip(z);
        copy.emplace(p);
    }
    const std::vector<std::string> want = {"/ppt/slides/slide1.xml", "/ppt/m\xC3\xA9" "dia/x.png", "/z.bin"};
    EXPECT_EQ(names(*copy), want);
    EXPECT_EQ(copy->part_index("/Z.bin"), 2u);

    Zip empty;
    EXPECT_TRUE(names(open_zip(empty)).empty());
}

TEST(Package, WhichNamesArePieces) {
    struct Case {
        std::string item, part;  // the part the item belongs to
    };
    const std::vector<Case> cases = {
        {"a/[0].PIECE", "/a"},
        {"b/[0].Last.Piece", "/b"},
        {"c/[0].piecex", "/c/[0].piecex"},
        {"d/[00].last.piece", "/d/[00].last.piece"},
        {"e/x.piece", "/e/x.piece"},
        {"[0].last.piece", "/[0].last.piece"},
        {".piece", "/.piece"},
        {"piece", "/piece"},
        {"f/[1234567890].piece", "/f/[1234567890].piece"},
    };
    for (const Case& c : cases) {
        Zip z;
        z.add(c.item, "x");
        const auto p = open_zip(z);
        EXPECT_EQ(names(p), std::vector<std::string>{c.part}) << c.item;
    }
}

TEST(Package, ReadingPartsAndErrors) {
    Bytes utf16 = {0xFF, 0xFE};
    for (char c : std::string("<r>\xe9</r>")) {
        utf16.push_back(static_cast<std::uint8_t>(static_cast<unsigned char>(c)));
        utf16.push_back(0);
    }
    Zip z;
    z.add("[Content_Types].xml", CT).add_bytes("u16.xml", utf16).add("bad.xml", "x", 99);
    auto p = open_zip(z);
    auto u = p.read_part("/u16.xml");
    ASSERT_TRUE(u);
    EXPECT_EQ(text(*u), "<r>\xc3\xa9</r>");
    EXPECT_EQ(p.read_part("/U16.xml")->get(), u->get()); // served from the view's cache
    Buffer raw;
    ASSERT_TRUE(p.read_part_bytes("/u16.xml", raw));
    EXPECT_TRUE(std::ranges::equal(raw, utf16));

    EXPECT_EQ(p.read_part("u16.xml").error().message(), "missing part: u16.xml");
    EXPECT_EQ(p.read_part_bytes("/Nope", raw).error().message(), "missing part: /Nope");
    auto bad = p.read_part("/bad.xml");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), vantrell_core::error::Kind::Unsupported);

    // A fresh view over the same core shares nothing but the core.
    pkg::Package other(p.core());
    EXPECT_NE(other.read_part("/u16.xml")->get(), u->get());
}

// A part is refused by the size its entries record, before any of it is
// inflated: the stored entries here claim more than they hold, so reading
// them at all would fail otherwise.
TEST(Package, PartsPastTheSizeLimitAreRefusedUnread) {
    constexpr std::uint32_t over = static_cast<std::uint32_t>(pkg::MAX_XML_PART_NBYTES) + 1;
    const std::string refused = "unsupported: xml part /big.xml inflates to 268435457 bytes, over the limit of 268435456";
    const std::string unread = "zip: stored entry sizes differ at offset 427"; // what reading it does find
    Zip z;
    z.add("[Content_Types].xml", CT).add("ok.xml", "<a/>").add("big.xml", "<a/>");
    z.items.back().recorded_size = over;
    z.add("_rels/.rels", rels(""));
    z.items.back().recorded_size = over;
    z.add("p.bin/[0].piece", "abc").add("p.bin/[1].last.piece", "def");
    auto p = open_zip(z);

    struct Case {
        std::string name;
        std::uint64_t max_nbytes;
        std::string want; // the text read, or the error
    };
    const Case cases[] = {
        {"/ok.xml", 4, "<a/>"},
        {"/ok.xml", 3, "unsupported: xml part /ok.xml inflates to 4 bytes, over the limit of 3"},
        {"/p.bin", 6, "abcdef"}, // pieces count together
        {"/p.bin", 5, "unsupported: xml part /p.bin inflates to 6 bytes, over the limit of 5"},
        {"/big.xml", pkg::MAX_XML_PART_NBYTES, refused},
        {"/big.xml", pkg::NO_SIZE_LIMIT, unread},
    };
    for (const Case& c : cases) {
        pkg::Package view(p.core());
        auto r = view.read_part(c.name, c.max_nbytes);
        EXPECT_EQ(r ? text(*r) : r.error().message(), c.want) << c.name << " " << c.max_nbytes;
    }
    EXPECT_EQ(p.read_part("/big.xml").error().message(), refused);
    EXPECT_EQ(p.read_part_once("/big.xml").error().message(), refused);
    Buffer raw;
    EXPECT_EQ(p.read_part_bytes("/big.xml", raw, pkg::MAX_XML_PART_NBYTES).error().message(), refused);
    // Raw bytes are not limited unless asked.
    EXPECT_EQ(p.read_part_bytes("/big.xml", raw).error().message(), unread);
    EXPECT_EQ(p.rels("/").error().message(),
              "unsupported: xml part /_rels/.rels inflates to 268435457 bytes, over the limit of 268435456");

    Zip types;
    types.add("[Content_Types].xml", CT).add("a.xml", "<a/>");
    types.items.front().recorded_size = over;
    auto q = open_zip(types);
    const std::string unreadable =
        "unsupported: xml part /[Content_Types].xml inflates to 268435457 bytes, over the limit of 268435456";
    EXPECT_EQ(q.parsed_content_types().error, unreadable);
    EXPECT_EQ(q.defects().content_types_unreadable, unreadable);
    EXPECT_TRUE(q.parsed_content_types().types.defaults.empty());
}

// A view keeps what it reads only up to its budget, and nothing read once.
TEST(Package, ViewCacheStaysWithinItsBudget) {
    Zip z;
    z.add("[Content_Types].xml", CT).add("a.xml", "<a/>").add("b.xml", "<b/>");
    z.add_bytes("big.bin", Bytes(pkg::MAX_CACHED_NBYTES + 1, 'x'));
    auto p = open_zip(z);
    EXPECT_EQ(p.read_part("/a.xml")->get(), p.read_part("/a.xml")->get());
    EXPECT_EQ(p.read_part_once("/a.xml")->get(), p.read_part("/a.xml")->get()); // served from the cache
    EXPECT_NE(p.read_part_once("/b.xml")->get(), p.read_part_once("/b.xml")->get());
    auto big = p.read_part("/big.bin");
    ASSERT_TRUE(big);
    EXPECT_EQ((*big)->size(), pkg::MAX_CACHED_NBYTES + 1);
    EXPECT_NE(big->get(), p.read_part("/big.bin")->get());
}

TEST(Package, RelationshipsAndResolve) {
    Zip z;
    z.add("[Content_Types].xml", CT)
        .add("_rels/.rels", rels("<Relationship Id=\"rId1\" Type=\"office\" Target=\"ppt/presentation.xml\"/>"))
        .add("ppt/presentation.xml", "<p/>")
        .add("ppt/_rels/presentation.xml.rels",
             rels("<Relationship Id=\"rId1\" Type=\"slide\" Target=\"slides/slide1.xml\"/>"
                  "<Relationship Id=\"rId2\" Type=\"link\" Target=\"https://x.test/\" TargetMode=\"External\"/>"
                  "<Relationship Id=\"rId3\" Type=\"up\" Target=\"../media/a.png#x\"/>"))
        .add("ppt/slides/slide1.xml", "<s/>")
        .add("ppt/slides/_rels/slide1.xml.rels", "<Relationships");
    auto p = open_zip(z);

    auto root = p.rels("/");
    ASSERT_TRUE(root);
    EXPECT_EQ((*root)->source, "/");
    ASSERT_EQ((*root)->relationships.size(), 1u);
    EXPECT_EQ(p.resolve("/", "rId1")->value(), "/ppt/presentation.xml");

    auto pres = p.rels("/ppt/presentation.xml");
    ASSERT_TRUE(pres);
    EXPECT_EQ(p.rels("/PPT/presentation.xml")->get(), pres->get()); // cached by lower-cased source
    EXPECT_EQ(p.resolve("/ppt/presentation.xml", "rId1")->value(), "/ppt/slides/slide1.xml");
    EXPECT_EQ(p.resolve("/ppt/presentation.xml", "rId3")->value(), "/media/a.png");
    EXPECT_EQ(*p.resolve("/ppt/presentation.xml", "rId2"), std::nullopt); // external
    EXPECT_EQ(*p.resolve("/ppt/presentation.xml", "RID1"), std::nullopt); // ids are case-sensitive

    auto none = p.rels("/no/such.xml");
    ASSERT_TRUE(none);
    EXPECT_TRUE((*none)->relationships.empty());
    EXPECT_EQ((*none)->source, "/no/such.xml");

    auto broken = p.rels("/ppt/slides/slide1.xml");
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message(),
              "xml in /ppt/slides/_rels/slide1.xml.rels at byte 14: unexpected end of document");
    EXPECT_FALSE(p.resolve("/ppt/slides/slide1.xml", "rId1")); // errors are not cached
}

TEST(Package, ContentTypesStates) {
    {
        auto p = open_zip(Zip().add("[Content_Types].xml", CT).add("ppt/presentation.xml", "<p/>"));
        const auto& ct = p.parsed_content_types();
        EXPECT_FALSE(ct.error);
        EXPECT_EQ(ct.types.content_type_of("/ppt/presentation.xml"), "pres");
        EXPECT_FALSE(p.defects().content_types_missing);
        EXPECT_FALSE(p.defects().content_types_case);
    }
    {
        auto p = open_zip(Zip().add("ppt/presentation.xml", "<p/>"));
        EXPECT_TRUE(p.defects().content_types_missing);
        EXPECT_TRUE(p.parsed_content_types().types.defaults.empty());
        EXPECT_FALSE(p.parsed_content_types().error);
    }
    {
        // A case variant is used, and the exactly named item wins over it.
        auto p = open_zip(Zip().add("[content_types].XML", CT));
        EXPECT_EQ(p.defects().content_types_case, "[content_types].XML");
        EXPECT_EQ(p.parsed_content_types().types.overrides.size(), 1u);
        auto q = open_zip(Zip().add("[CONTENT_TYPES].xml", "<Broken").add("[Content_Types].xml", CT));
        EXPECT_FALSE(q.defects().content_types_case);
        EXPECT_FALSE(q.parsed_content_types().error);
        EXPECT_EQ(q.parts().size(), 0u);
    }
    {
        auto p = open_zip(Zip().add("[Content_Types].xml", CT_HEAD + "<Default/>"));
        const auto& ct = p.parsed_content_types();
        ASSERT_TRUE(ct.error);
        EXPECT_EQ(*ct.error, "xml in /[Content_Types].xml at byte " + std::to_string(CT_HEAD.size() + 10) +
                                 ": unexpected end of document");
        EXPECT_TRUE(ct.types.defaults.empty());
        ASSERT_TRUE(p.defects().content_types_error);
        EXPECT_EQ(p.defects().content_types_error->second, CT_HEAD.size() + 10);
        EXPECT_FALSE(p.defects().content_types_unreadable);
    }
    {
        auto p = open_zip(Zip().add("[Content_Types].xml", CT, 99));
        ASSERT_TRUE(p.defects().content_types_unreadable);
        EXPECT_EQ(p.defects().content_types_unreadable->rfind("unsupported: ", 0), 0u);
        EXPECT_EQ(p.parsed_content_types().error, p.defects().content_types_unreadable);
        EXPECT_FALSE(p.defects().content_types_error);
    }
}

TEST(Package, NameDefects) {
    Zip z;
    z.add("[Content_Types].xml", CT)
        .add("docs/", "")
        .add("a.xml", "1")
        .add("A.XML", "2")
        .add("a.xml/b.xml", "3")
        .add("A.xml/C/d.xml", "4")
        .add("bad name.xml", "5")
        .add("gap.bin/[0].piece", "")
        .add("gap.bin/[2].last.piece", "")
        .add("two.bin/[0].last.piece", "")
        .add("two.bin/[1].last.piece", "")
        .add("nolast.bin/[0].piece", "")
        .add("early.bin/[0].last.piece", "")
        .add("early.bin/[1].piece", "")
        .add("ok.bin/[0].piece", "")
        .add("ok.bin/[1].PIECE", "")
        .add("ok.bin/[2].Last.Piece", "")
        .add("lead.bin/[01].piece", "") // not a piece name: a part of its own
        .add("x/", "");
    auto p = open_zip(z);
    const auto& d = p.defects();
    EXPECT_EQ(d.directories, (std::vector<std::string>{"docs/", "x/"}));
    ASSERT_EQ(d.invalid_names.size(), 2u);
    EXPECT_EQ(d.invalid_names[0].first, "/bad name.xml");
    EXPECT_EQ(d.invalid_names[0].second.message(), "character ' ' must be percent-encoded");
    EXPECT_EQ(d.invalid_names[1].first, "/lead.bin/[01].piece");
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(named(p, d.collisions), (std::vector<Pair>{{"/a.xml", "/A.XML"}}));
    EXPECT_EQ(named(p, d.derivable), (std::vector<Pair>{{"/a.xml/b.xml", "/a.xml"}, {"/A.xml/C/d.xml", "/a.xml"}}));
    EXPECT_EQ(d.incomplete_pieces,
              (std::vector<std::string>{"/early.bin", "/gap.bin", "/nolast.bin", "/two.bin"}));
    // Complete pieces make one part, under the name of the whole.
    const auto nm = names(p);
    EXPECT_EQ(std::count(nm.begin(), nm.end(), "/ok.bin"), 1);
    EXPECT_EQ(std::count(nm.begin(), nm.end(), "/lead.bin"), 0);
}

// Entries without a name, also in an archive rebuilt from its local headers,
// which then holds no name bytes at all.
TEST(Package, EntriesWithoutNames) {
    for (const bool rebuilt : {false, true}) {
        Zip z;
        z.add("", "x");
        Bytes data = z.build();
        if (rebuilt) {
            const Bytes central = {'P', 'K', 1, 2};
            data.resize(static_cast<std::size_t>(std::search(data.begin(), data.end(), central.begin(), central.end()) -
                                                 data.begin()));
        }
        auto p = pkg::Package::from_bytes(std::move(data));
        ASSERT_TRUE(p) << p.error().message();
        ASSERT_EQ(p->defects().invalid_names.size(), 1u);
        EXPECT_EQ(p->defects().invalid_names[0].first, "/");
    }
}

TEST(Package, HostileNamesStayCheap) {
    Zip z;
    std::string nested = "n";
    for (int i = 0; i < 400; ++i) {
        z.add(nested, "");
        nested += "/n";
    }
    std::string deep = "n";
    for (int i = 0; i < 30000; ++i) deep += "/n";
    z.add(std::string(60000, '/') + "z", "").add(deep, "");
    auto p = open_zip(z);
    const auto& d = p.defects();
    EXPECT_EQ(d.derivable.size(), 10000u); // 400 * 399 / 2 pairs, capped
    EXPECT_EQ(named(p, {d.derivable[0]})[0], (std::pair<std::string, std::string>{"/n/n", "/n"}));
    ASSERT_EQ(d.invalid_names.size(), 1u);
    EXPECT_EQ(d.invalid_names[0].second.message(), "empty segment");
}

// Entries pointed at another entry's data are damaged parts, each failing
// with the error that says so wherever it is read: a part, one piece of an
// interleaved part, a relationships part, the content types stream. The
// entry that owns the bytes still reads.
TEST(Package, OverlappingEntriesAreUnreadableParts) {
    Zip z;
    z.add("a.xml", "<a/>")
        .add("b.xml", "<b/>")
        .add("p.xml/[0].piece", "<p>")
        .add("p.xml/[1].last.piece", "</p>")
        .add("_rels/.rels", rels("<Relationship Id=\"r\" Type=\"t\" Target=\"a.xml\"/>"))
        .add("[Content_Types].xml", CT);
    Bytes data = z.build();
    for (const char* name : {"b.xml", "p.xml/[1].last.piece", "_rels/.rels", "[Content_Types].xml"})
        data = testkit::point_at(std::move(data), name, "a.xml");
    auto p = pkg::Package::from_bytes(std::move(data));
    ASSERT_TRUE(p);
    const auto says = [](std::string_view entry) {
        return "zip: entry " + std::string(entry) + " overlaps the data of an earlier entry";
    };
    EXPECT_EQ(text(*p->read_part("/a.xml")), "<a/>");
    EXPECT_EQ(p->read_part("/b.xml").error().message(), says("b.xml"));
    Buffer raw;
    EXPECT_EQ(p->read_part_bytes("/b.xml", raw).error().message(), says("b.xml"));
    EXPECT_EQ(p->read_part_once("/p.xml").error().message(), says("p.xml/[1].last.piece"));
    EXPECT_EQ(p->rels("/").error().message(), says("_rels/.rels"));
    EXPECT_EQ(p->resolve("/", "r").error().message(), says("_rels/.rels"));
    EXPECT_EQ(p->defects().content_types_unreadable, says("[Content_Types].xml"));
    EXPECT_EQ(p->parsed_content_types().error, says("[Content_Types].xml"));
}

// Part names that all share one slot of the part table, case variants among
// them: every name is found ignoring case at its first part, and the
// variants are reported as collisions in order.
TEST(Package, PartNamesSharingOneSlotAreFoundIgnoringCase) {
    namespace ni = vantrell_core::name_index;
    constexpr std::size_t N = 200;
    const auto parts = testkit::sharing_slot(N + 1, N + N / 20, "/ppt/slides/slide", ni::PartName::hash);
    const auto upper = [](std::string s) {
        for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        return s;
    };
    Zip z;
    for (std::size_t i = 0; i < N; ++i) z.add(parts[i].substr(1), std::to_string(i));
    std::vector<std::pair<std::string, std::string>> collisions;
    for (std::size_t i = 7; i < N; i += 20) {
        z.add(upper(parts[i]).substr(1), "again");
        collisions.emplace_back(parts[i], upper(parts[i]));
    }
    auto p = open_zip(z);
    ASSERT_EQ(p.parts().size(), N + collisions.size());
    for (std::size_t i = 0; i < N; ++i) {
        ASSERT_EQ(p.parts()[i].name, parts[i]);
        ASSERT_EQ(p.part_index(upper(parts[i])), i);
    }
    EXPECT_EQ(p.part_index(parts[N]), std::nullopt);
    EXPECT_EQ(named(p, p.defects().collisions), collisions);
    EXPECT_TRUE(p.defects().derivable.empty());
}

// Case variants of one name: each its own entry, found exactly in the
// archive; one part ignoring case, every later variant colliding with the
// first.
TEST(Package, CaseVariantsAreEntriesOfTheirOwnAndOnePart) {
    constexpr std::size_t N = 2048;
    std::vector<std::string> names;
    for (std::size_t bits = 0; bits < N; ++bits) {
        std::string s = "ppt/slidemaster.xml";
        for (std::size_t k = 0; k < 11; ++k)
            if ((bits >> k) & 1 && s[4 + k] != '.') s[4 + k] = static_cast<char>(s[4 + k] - 32);
        names.push_back(s);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::reverse(names.begin(), names.end()); // the all-lower name first
    Zip z;
    for (const std::string& n : names) z.add(n, n);
    auto p = open_zip(z);
    const auto& archive = p.archive();
    EXPECT_TRUE(archive.duplicates().empty());
    std::vector<std::pair<std::string, std::string>> collisions;
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(archive.find(names[i]), i);
        ASSERT_EQ(p.part_index("/" + names[i]), 0u);
        if (i > 0) collisions.emplace_back("/" + names[0], "/" + names[i]);
    }
    EXPECT_EQ(named(p, p.defects().collisions), collisions);
    EXPECT_EQ(text(*p.read_part("/PPT/SLIDEMASTER.XML")), names[0]);
}

TEST(Package, DamagedArchivesNeverCrash) {
    Zip z;
    z.add("[Content_Types].xml", CT)
        .add("_rels/.rels", rels("<Relationship Id=\"r\" Type=\"t\" Target=\"a.xml\"/>"))
        .add("a.xml/[0].piece", "<a>")
        .add("a.xml/[1].last.piece", "</a>")
        .add("b.xml", "<b/>");
    const Bytes good = z.build();
    auto touch = [](Bytes data) {
        auto p = pkg::Package::from_bytes(std::move(data));
        if (!p) return;
        (void)p->defects();
        (void)p->parsed_content_types();
        (void)p->resolve("/", "r");
        Buffer raw;
        for (const auto& part : p->parts()) {
            (void)p->read_part(part.name);
            (void)p->read_part_bytes(part.name, raw);
            (void)p->rels(part.name);
        }
    };
    for (std::size_t n = 0; n <= good.size(); ++n) touch(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    for (std::size_t at = 0; at < good.size(); ++at) {
        Bytes bad = good;
        bad[at] ^= 0x5A;
        touch(std::move(bad));
    }
}

TEST(Package, OpeningFailures) {
    EXPECT_EQ(pkg::Package::from_bytes({}).error().message(), "not a zip archive");
    EXPECT_EQ(pkg::Package::from_bytes({'h', 'e', 'l', 'l', 'o'}).error().message(), "not a zip archive");
    const std::string compound =
        "compound file: a legacy .ppt or an encrypted package, not an ECMA-376 package";
    EXPECT_EQ(pkg::Package::from_bytes({0xD0, 0xCF, 0x11, 0xE0}).error().message(), compound);
    EXPECT_EQ(pkg::Package::from_bytes({0xD0, 0xCF, 0x11}).error().message(), "not a zip archive");

    const auto dir = std::filesystem::temp_directory_path() / ("vantrell-pkg-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const Bytes& data) {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                          static_cast<std::streamsize>(data.size()));
        return (dir / name).string();
    };
    Bytes cfb(600, 0);
    cfb[0] = 0xD0; cfb[1] = 0xCF; cfb[2] = 0x11; cfb[3] = 0xE0;
    EXPECT_EQ(pkg::Package::open_path(write("a.ppt", cfb)).error().message(), compound);
    EXPECT_EQ(pkg::Package::open_path(write("short", {0xD0, 0xCF})).error().message(), "not a zip archive");
    EXPECT_EQ(pkg::Package::open_path(write("text", {'h', 'i', '\n'})).error().message(), "not a zip archive");
    EXPECT_EQ(pkg::Package::open_path((dir / "missing").string()).error().message().rfind("io: ", 0), 0u);
    auto ok = pkg::Package::open_path(write("ok.pptx", Zip().add("[Content_Types].xml", CT).add("a.xml", "<a/>").build()));
    ASSERT_TRUE(ok);
    EXPECT_EQ(text(*ok->read_part("/a.xml")), "<a/>");
    std::filesystem::remove_all(dir);
}

TEST(Package, SharedCoreAcrossThreads) {
    Zip z;
    z.add("[Content_Types].xml", CT).add("bad name.xml", "x");
    for (int i = 0; i < 20; ++i) z.add("p" + std::to_string(i) + ".xml", "<p n=\"" + std::to_string(i) + "\"/>");
    auto first = open_zip(z);
    const auto core = first.core();
    std::vector<std::thread> threads;
    std::vector<const pkg::PackageDefects*> seen(8);
    std::vector<int> good(8);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            pkg::Package view(core);
            seen[t] = &view.defects();
            (void)view.parsed_content_types();
            for (int i = 0; i < 20; ++i) {
                auto b = view.read_part("/p" + std::to_string(i) + ".xml");
                if (b && text(*b) == "<p n=\"" + std::to_string(i) + "\"/>") ++good[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) {
        EXPECT_EQ(seen[t], seen[0]); // one record for every view
        EXPECT_EQ(good[t], 20);
    }
    EXPECT_EQ(seen[0]->invalid_names.size(), 1u);
}

namespace {

// Whether a file is a whole ZIP archive: it starts with a local header and
// ends in an end-of-central-directory record whose directory lies inside it.
bool whole_zip(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes b((std::istreambuf_iterator<char>(in)), {});
    auto u32 = [&](std::size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
    };
    if (b.size() < 22 || u32(0) != 0x04034B50) return false;
    // The record's comment is at most 65535 bytes long.
    const std::size_t stop = b.size() > 65557 ? b.size() - 65557 : 0;
    for (std::size_t at = b.size() - 22;; --at) {
        if (u32(at) == 0x06054B50) return std::uint64_t{u32(at + 12)} + u32(at + 16) <= at;
        if (at == stop) return false;
    }
}

} // namespace

TEST(Package, CorpusPackagesOpenAndEveryPartReads) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "corpus absent";
    const std::filesystem::path& root = *corpus;
    int opened = 0, whole = 0;
    for (const auto& f : std::filesystem::directory_iterator(root)) {
        if (!f.is_regular_file() || f.path().extension() == ".md") continue;
        auto p = pkg::Package::open_path(f.path().string());
        // A whole archive always opens; others (compound files, damaged
        // archives) may be refused.
        const bool zip = whole_zip(f.path());
        whole += zip;
        if (!p) {
            EXPECT_FALSE(zip) << f.path() << ": " << p.error().message();
            EXPECT_FALSE(p.error().message().empty());
            continue;
        }
        ++opened;
        (void)p->defects();
        (void)p->parsed_content_types();
        (void)p->rels("/");
        for (const auto& part : p->parts()) {
            Buffer raw;
            if (p->read_part_bytes(part.name, raw)) {
                EXPECT_EQ(raw.size(), part.size) << f.path() << part.name;
            }
            (void)p->read_part(part.name);
            (void)p->rels(part.name);
        }
    }
    EXPECT_GE(opened, whole);
}
