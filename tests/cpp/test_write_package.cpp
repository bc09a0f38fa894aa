// Whole written packages: part order and numbering, the ZIP structure byte by
// byte against zlib, well-formed XML, and reproducible output.
#include "write/parts.h"
#include "write/save.h"
#include "write/style.h"
#include "write/zipw.h"

#include "writekit.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace vw = vantrell_write;
namespace vp = vantrell_write::parts;

namespace {

using writekit::para;

const vw::Bytes PNG = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                       0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0};
const vw::Bytes GIF = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0};

std::uint32_t le(const vw::Bytes& b, std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
    return v;
}

struct Entry {
    std::string name;
    std::uint32_t method, crc, compressed, size, offset;
    vw::Bytes data; // uncompressed
};

vw::Bytes zlib_raw_deflate(const vw::Bytes& in) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    vw::Bytes out(deflateBound(&s, in.size()) + 16);
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

vw::Bytes zlib_raw_inflate(const std::uint8_t* data, std::size_t n, std::size_t size) {
    z_stream s{};
    EXPECT_EQ(inflateInit2(&s, -15), Z_OK);
    vw::Bytes out(size + 1);
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = static_cast<uInt>(n);
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

// Reads the archive the way a strict reader would and checks every field the
// writer fixes; returns the entries in central-directory order.
std::vector<Entry> read_zip(const vw::Bytes& zip) {
    std::vector<Entry> out;
    EXPECT_GE(zip.size(), 22u);
    if (zip.size() < 22) return out;
    const std::size_t eocd = zip.size() - 22;
    EXPECT_EQ(le(zip, eocd, 4), 0x06054B50u);
    const std::uint32_t count = le(zip, eocd + 8, 2);
    EXPECT_EQ(le(zip, eocd + 10, 2), count);
    EXPECT_EQ(le(zip, eocd + 4, 4), 0u); // disk numbers
    EXPECT_EQ(le(zip, eocd + 20, 2), 0u); // comment
    const std::uint32_t cd_size = le(zip, eocd + 12, 4), cd_offset = le(zip, eocd + 16, 4);
    EXPECT_EQ(std::size_t{cd_offset} + cd_size, eocd);

    std::size_t at = cd_offset, local_end = 0, cd_sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(le(zip, at, 4), 0x02014B50u);
        EXPECT_EQ(le(zip, at + 4, 2), 20u);
        EXPECT_EQ(le(zip, at + 6, 2), 20u);
        EXPECT_EQ(le(zip, at + 8, 2), 0u);
        EXPECT_EQ(le(zip, at + 12, 4), 0x00210000u); // 00:00:00, 1980-01-01
        EXPECT_EQ(le(zip, at + 30, 4), 0u);          // extra and comment lengths
        EXPECT_EQ(le(zip, at + 34, 4), 0u);
        EXPECT_EQ(le(zip, at + 38, 4), 0u);
        Entry e;
        e.method = le(zip, at + 10, 2);
        e.crc = le(zip, at + 16, 4);
        e.compressed = le(zip, at + 20, 4);
        e.size = le(zip, at + 24, 4);
        const std::uint32_t name_len = le(zip, at + 28, 2);
        e.offset = le(zip, at + 42, 4);
        e.name.assign(zip.begin() + static_cast<std::ptrdiff_t>(at + 46),
                      zip.begin() + static_cast<std::ptrdiff_t>(at + 46 + name_len));
        at += 46 + name_len;
        cd_sum += 46 + name_len;

        // The local header repeats the central record.
        const std::size_t lh = e.offset;
        EXPECT_EQ(lh, local_end) << "entries are contiguous";
        EXPECT_EQ(le(zip, lh, 4), 0x04034B50u);
        EXPECT_EQ(le(zip, lh + 4, 2), 20u);
        EXPECT_EQ(le(zip, lh + 6, 2), 0u);
        EXPECT_EQ(le(zip, lh + 8, 2), e.method);
        EXPECT_EQ(le(zip, lh + 10, 4), 0x00210000u);
        EXPECT_EQ(le(zip, lh + 14, 4), e.crc);
        EXPECT_EQ(le(zip, lh + 18, 4), e.compressed);
        EXPECT_EQ(le(zip, lh + 22, 4), e.size);
        EXPECT_EQ(le(zip, lh + 26, 2), name_len);
        EXPECT_EQ(le(zip, lh + 28, 2), 0u);
        EXPECT_EQ(std::string(zip.begin() + static_cast<std::ptrdiff_t>(lh + 30),
                              zip.begin() + static_cast<std::ptrdiff_t>(lh + 30 + name_len)),
                  e.name);
        const std::size_t data_at = lh + 30 + name_len;
        local_end = data_at + e.compressed;
        EXPECT_LE(local_end, cd_offset);
        if (local_end > cd_offset) return out;
        if (e.method == 0) {
            EXPECT_EQ(e.compressed, e.size);
            e.data.assign(zip.begin() + static_cast<std::ptrdiff_t>(data_at),
                          zip.begin() + static_cast<std::ptrdiff_t>(data_at + e.size));
        } else {
            EXPECT_EQ(e.method, 8u);
            e.data = zlib_raw_inflate(zip.data() + data_at, e.compressed, e.size);
            EXPECT_EQ(e.data.size(), e.size);
            // Exactly what zlib's raw deflate at level 6, memory level 8 gives.
            const vw::Bytes again = zlib_raw_deflate(e.data);
            EXPECT_TRUE(std::equal(again.begin(), again.end(), zip.begin() + static_cast<std::ptrdiff_t>(data_at),
                                   zip.begin() + static_cast<std::ptrdiff_t>(local_end)) &&
                        again.size() == e.compressed)
                << e.name;
        }
        EXPECT_EQ(::crc32(0, e.data.data(), static_cast<uInt>(e.data.size())), e.crc) << e.name;
        out.push_back(std::move(e));
    }
    EXPECT_EQ(local_end, cd_offset);
    EXPECT_EQ(cd_sum, cd_size);
    return out;
}

std::vector<std::string> names(const std::vector<Entry>& entries) {
    std::vector<std::string> n;
    for (const Entry& e : entries) n.push_back(e.name);
    return n;
}

std::string part(const std::vector<Entry>& entries, std::string_view name) {
    for (const Entry& e : entries)
        if (e.name == name) return std::string(e.data.begin(), e.data.end());
    ADD_FAILURE() << "no part " << name;
    return {};
}

// Every XML part parses with an independent parser, and Python's zipfile
// finds no bad CRC. Skipped when no Python is at hand.
void check_with_python(const vw::Bytes& zip) {
    if (std::system("python3 -c 'import xml.dom.minidom, zipfile' >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "python3 not available: skipping the independent check\n");
        return;
    }
    char path[] = "/tmp/vantrell-writeXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, zip.data(), zip.size()), static_cast<ssize_t>(zip.size()));
    close(fd);
    const std::string script =
        "import sys, zipfile, xml.dom.minidom as m\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "assert z.testzip() is None\n"
        "for n in z.namelist():\n"
        "    if n.endswith('.xml') or n.endswith('.rels'):\n"
        "        m.parseString(z.read(n))\n";
    const int rc = std::system(("python3 - " + std::string(path) + " <<'EOF'\n" + script + "EOF\n").c_str());
    std::remove(path);
    EXPECT_EQ(rc, 0) << "python's zipfile or minidom refused the package";
}

vw::Presentation rich_deck() {
    vw::Presentation deck;
    deck.metadata.title = "Quarterly <report> & \"notes\"";
    deck.theme = *vw::Theme::preset("sunset");
    deck.theme = std::move(deck.theme).layout_background(vw::Layout::blank,
                                                          vw::Background{vw::Background::Picture{GIF}}, true);
    vw::Slide a;
    a.title = "Intro \x01 & more";
    a.subtitle = "sub";
    vw::Slide b;
    b.title = "Body";
    b.body = {para("one", true), para("two", false, 2)};
    b.body[0].runs[0].link = "https://example.invalid/?a=1&b=2";
    b.body[1].runs.push_back(vw::Run{"same link"});
    b.body[1].runs[1].link = "https://example.invalid/?a=1&b=2";
    b.background = vw::Background{vw::Background::Picture{PNG}};
    b.hidden = true;
    vw::Slide c;
    c.notes = "first\r\nsecond\n";
    c.inverted = true;
    c.background = vw::Background{vw::Background::Solid{vw::SchemeColor{vw::SchemeColor::dark1}}};
    deck.slides = {a, b, c};
    return deck;
}

} // namespace

TEST(WritePackage, EmptyDeckPartsAndOrder) {
    vw::Presentation deck;
    auto zip = deck.to_bytes();
    ASSERT_TRUE(zip.has_value()) << zip.error().message();
    const auto entries = read_zip(*zip);
    const std::vector<std::string> want = {
        "[Content_Types].xml", "_rels/.rels", "ppt/presentation.xml", "ppt/_rels/presentation.xml.rels",
        "ppt/presProps.xml", "ppt/viewProps.xml", "ppt/tableStyles.xml", "ppt/theme/theme1.xml",
        "ppt/slideMasters/slideMaster1.xml", "ppt/slideMasters/_rels/slideMaster1.xml.rels",
        "ppt/slideLayouts/slideLayout1.xml", "ppt/slideLayouts/_rels/slideLayout1.xml.rels",
        "ppt/slideLayouts/slideLayout2.xml", "ppt/slideLayouts/_rels/slideLayout2.xml.rels",
        "ppt/slideLayouts/slideLayout3.xml", "ppt/slideLayouts/_rels/slideLayout3.xml.rels",
        "ppt/slideLayouts/slideLayout4.xml", "ppt/slideLayouts/_rels/slideLayout4.xml.rels",
        "docProps/core.xml", "docProps/app.xml"};
    EXPECT_EQ(names(entries), want);
    for (const Entry& e : entries) EXPECT_EQ(e.method, 8u) << e.name;
    const std::string app = part(entries, "docProps/app.xml");
    EXPECT_NE(app.find("<Slides>0</Slides><Notes>0</Notes><HiddenSlides>0</HiddenSlides>"), std::string::npos);
    const std::string types = part(entries, "[Content_Types].xml");
    // Every part but the relationships parts and the types part itself has one override.
    for (const Entry& e : entries) {
        const std::size_t n = [&] {
            std::size_t k = 0;
            const std::string needle = "PartName=\"/" + e.name + "\"";
            for (auto at = types.find(needle); at != std::string::npos; at = types.find(needle, at + 1)) ++k;
            return k;
        }();
        EXPECT_EQ(n, e.name.ends_with(".rels") || e.name == "[Content_Types].xml" ? 0u : 1u) << e.name;
    }
    check_with_python(*zip);
}

TEST(WritePackage, RichDeckSlidesNotesMediaAndCounts) {
    const vw::Presentation deck = rich_deck();
    auto zip = deck.to_bytes();
    ASSERT_TRUE(zip.has_value()) << zip.error().message();
    const auto entries = read_zip(*zip);
    const auto n = names(entries);
    const std::vector<std::string> tail = {
        "ppt/notesMasters/notesMaster1.xml", "ppt/notesMasters/_rels/notesMaster1.xml.rels",
        "ppt/slides/slide1.xml", "ppt/slides/_rels/slide1.xml.rels",
        "ppt/slides/slide2.xml", "ppt/slides/_rels/slide2.xml.rels",
        "ppt/slides/slide3.xml", "ppt/slides/_rels/slide3.xml.rels",
        "ppt/notesSlides/notesSlide3.xml", "ppt/notesSlides/_rels/notesSlide3.xml.rels",
        "ppt/media/image1.gif", "ppt/media/image2.png", "docProps/core.xml", "docProps/app.xml"};
    ASSERT_EQ(n.size(), 18u + tail.size());
    EXPECT_EQ(std::vector<std::string>(n.begin() + 18, n.end()), tail);
    for (const Entry& e : entries) EXPECT_EQ(e.method, e.name.starts_with("ppt/media/") ? 0u : 8u) << e.name;
    EXPECT_EQ(part(entries, "ppt/media/image2.png"), std::string(PNG.begin(), PNG.end()));

    const std::string types = part(entries, "[Content_Types].xml");
    EXPECT_NE(types.find(R"(<Default Extension="xml" ContentType="application/xml"/><Default Extension="gif" ContentType="image/gif"/><Default Extension="png" ContentType="image/png"/><Override)"),
              std::string::npos);
    EXPECT_NE(part(entries, "docProps/app.xml").find("<Slides>3</Slides><Notes>1</Notes><HiddenSlides>1</HiddenSlides>"),
              std::string::npos);
    EXPECT_NE(part(entries, "docProps/core.xml").find("<dc:title>Quarterly &lt;report&gt; &amp; \"notes\"</dc:title>"),
              std::string::npos);

    const std::string s1 = part(entries, "ppt/slides/slide1.xml");
    EXPECT_NE(s1.find(R"(<p:ph type="ctrTitle"/>)"), std::string::npos);
    EXPECT_NE(s1.find("<a:t>Intro _x0001_ &amp; more</a:t>"), std::string::npos);
    EXPECT_NE(part(entries, "ppt/slides/_rels/slide1.xml.rels").find("slideLayout1.xml"), std::string::npos);

    const std::string s2 = part(entries, "ppt/slides/slide2.xml");
    EXPECT_NE(s2.find(R"(xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main" show="0">)"), std::string::npos);
    EXPECT_NE(s2.find(R"(<a:blip r:embed="rId2"/>)"), std::string::npos);
    EXPECT_NE(s2.find(R"(<a:p><a:r><a:rPr lang="en-US" dirty="0"><a:hlinkClick r:id="rId3"/></a:rPr><a:t>one</a:t></a:r></a:p>)"),
              std::string::npos);
    EXPECT_NE(s2.find(R"(<a:pPr marL="914400" lvl="2" indent="0"><a:buNone/></a:pPr>)"), std::string::npos);
    const std::string r2 = part(entries, "ppt/slides/_rels/slide2.xml.rels");
    EXPECT_NE(r2.find(R"(Target="https://example.invalid/?a=1&amp;b=2" TargetMode="External"/>)"), std::string::npos);
    EXPECT_EQ(r2.find("rId4"), std::string::npos) << "one relationship per distinct link";

    const std::string s3 = part(entries, "ppt/slides/slide3.xml");
    // A colour in an inverted theme goes through the swap.
    EXPECT_NE(s3.find(R"(<p:bgPr><a:solidFill><a:schemeClr val="lt1"/></a:solidFill>)"), std::string::npos);
    // The theme is inverted already: an inverted slide keeps the master's mapping.
    EXPECT_NE(s3.find(R"(<p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr>)"), std::string::npos);
    const std::string notes = part(entries, "ppt/notesSlides/notesSlide3.xml");
    EXPECT_NE(notes.find(R"(<a:p><a:r><a:rPr lang="en-US" dirty="0"/><a:t>first</a:t></a:r></a:p><a:p><a:r><a:rPr lang="en-US" dirty="0"/><a:t>second</a:t></a:r></a:p></p:txBody>)"),
              std::string::npos);
    const std::string nr = part(entries, "ppt/notesSlides/_rels/notesSlide3.xml.rels");
    EXPECT_NE(nr.find(R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide" Target="../slides/slide3.xml"/>)"),
              std::string::npos);
    EXPECT_NE(part(entries, "ppt/slides/_rels/slide3.xml.rels").find("../notesSlides/notesSlide3.xml"), std::string::npos);

    const std::string pres = part(entries, "ppt/presentation.xml");
    EXPECT_NE(pres.find(R"(<p:sldId id="258" r:id="rId5"/>)"), std::string::npos);
    check_with_python(*zip);
}

TEST(WritePackage, HostileTextStaysWellFormed) {
    vw::Presentation deck;
    deck.theme.name = std::string("bad\x02\"<&\xFF\xEF\xBF\xBF", 10);
    deck.metadata.creator = std::string("nul\0cr\rlf\n", 10);
    deck.metadata.keywords = "\xC0\x80";
    vw::Slide s;
    s.title = std::string("\x0B\x0C\xED\xA0\x80", 5);
    s.notes = std::string(1, '\0');
    s.body = {para("\xEF\xBF\xBE")};
    s.body[0].runs[0].font = "F\x1F\"";
    s.body[0].runs[0].link = "javascript:\"<x>\x01";
    deck.slides = {s};
    auto zip = deck.to_bytes();
    ASSERT_TRUE(zip.has_value());
    read_zip(*zip);
    check_with_python(*zip);
}

TEST(WritePackage, ErrorsEndTheBuild) {
    vw::Presentation deck;
    vw::Slide s;
    s.background = vw::Background{vw::Background::Picture{{'n', 'o', 'p', 'e'}}};
    deck.slides = {s};
    EXPECT_EQ(deck.to_bytes().error().message(), "unsupported image format for background picture");
    EXPECT_FALSE(vp::build(deck).has_value());

    vw::Presentation themed;
    themed.theme.background = vw::Background{vw::Background::Picture{{}}};
    EXPECT_EQ(themed.to_bytes().error(), vw::Error::background_image());
}

TEST(WritePackage, ReproducibleAndReentrant) {
    const vw::Presentation deck = rich_deck();
    const auto first = deck.to_bytes();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(deck.to_bytes(), first);
    const vw::Presentation copy = deck;
    EXPECT_EQ(copy.to_bytes(), first);

    std::vector<std::thread> threads;
    std::vector<vw::Result<vw::Bytes>> results(4, vw::fail(vw::Error::other("unset")));
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = deck.to_bytes(); });
    for (std::thread& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, first);
}

TEST(WriteZip, EntriesAndDeflateEdgeCases) {
    std::vector<vp::PartOut> parts = {
        {"empty.xml", {}, true},
        {"stored.bin", {1, 2, 3}, false},
        {"dir/näme.xml", vw::Bytes(100000, 'a'), true},
    };
    auto zip = vw::zipw::write(parts);
    ASSERT_TRUE(zip.has_value());
    const auto entries = read_zip(*zip);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].crc, 0u);
    EXPECT_EQ(entries[0].size, 0u);
    EXPECT_GT(entries[0].compressed, 0u);
    EXPECT_EQ(entries[1].method, 0u);
    EXPECT_EQ(entries[1].compressed, 3u);
    EXPECT_EQ(entries[2].name, "dir/näme.xml");
    EXPECT_LT(entries[2].compressed, 1000u);

    auto none = vw::zipw::write({});
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->size(), 22u);
    EXPECT_TRUE(read_zip(*none).empty());

    // Names that do not fit the 16-bit field are refused, not truncated.
    std::vector<vp::PartOut> long_name = {{std::string(70000, 'n'), {}, true}};
    EXPECT_EQ(vw::zipw::write(long_name).error().kind(), vw::Error::Kind::Other);
    std::vector<vp::PartOut> many(65536, vp::PartOut{"x", {}, false});
    EXPECT_FALSE(vw::zipw::write(many).has_value());
    many.pop_back();
    EXPECT_TRUE(vw::zipw::write(many).has_value());
}

// Writes sample decks into $VANTRELL_WRITE_SAMPLES for checks with other
// readers (tests/python/check_written_samples.py); nothing to do otherwise.
TEST(WritePackage, SamplesForOtherReaders) {
    const char* dir = std::getenv("VANTRELL_WRITE_SAMPLES");
    if (!dir || !*dir) GTEST_SKIP() << "VANTRELL_WRITE_SAMPLES not set";
    std::map<std::string, vw::Presentation> decks;
    decks["empty"] = vw::Presentation{};
    vw::Presentation solid;
    vw::Slide s;
    s.title = "Solid";
    s.background = vw::Background{vw::Background::Solid{vw::Rgb{0x20, 0x40, 0x80}}};
    solid.slides = {s};
    decks["solid"] = solid;
    vw::Presentation gradient;
    gradient.theme = vw::Theme::sunset();
    s.title = "Gradient";
    s.background.reset();
    gradient.slides = {s};
    decks["gradient"] = gradient;
    decks["rich"] = rich_deck();
    for (const auto& [name, deck] : decks) {
        auto zip = deck.to_bytes();
        ASSERT_TRUE(zip.has_value()) << name << ": " << zip.error().message();
        std::ofstream out(std::string(dir) + "/" + name + ".pptx", std::ios::binary);
        out.write(reinterpret_cast<const char*>(zip->data()), static_cast<std::streamsize>(zip->size()));
        ASSERT_TRUE(out.good());
    }
}

TEST(WritePackage, EmbeddedFonts) {
    vw::Presentation bad;
    bad.theme.embedded_fonts = {{'n', 'o', 't', ' ', 'a', ' ', 'f', 'o', 'n', 't'}};
    auto refused = bad.to_bytes();
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), vw::Error::Kind::Font);

    const char* paths[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                           "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"};
    vw::Presentation deck;
    for (const char* path : paths) {
        std::ifstream in(path, std::ios::binary);
        if (!in) GTEST_SKIP() << path << " not installed";
        deck.theme.embedded_fonts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    vw::Slide s;
    s.title = "Fonts";
    s.notes = "n";
    deck.slides = {s};
    auto zip = deck.to_bytes();
    ASSERT_TRUE(zip.has_value()) << zip.error().message();
    const auto entries = read_zip(*zip);
    const auto n = names(entries);
    ASSERT_GE(n.size(), 4u);
    EXPECT_EQ(n[n.size() - 4], "ppt/fonts/font1.fntdata");
    EXPECT_EQ(n[n.size() - 3], "ppt/fonts/font2.fntdata");
    EXPECT_EQ(entries[n.size() - 4].method, 8u);
    EXPECT_NE(part(entries, "[Content_Types].xml").find(R"(<Default Extension="fntdata" ContentType="application/x-fontdata"/>)"),
              std::string::npos);
    // One slide and the notes master: fonts start at rId8.
    const std::string pres = part(entries, "ppt/presentation.xml");
    EXPECT_NE(pres.find(R"( embedTrueTypeFonts="1" saveSubsetFonts="1">)"), std::string::npos);
    EXPECT_NE(pres.find(R"(<p:embeddedFontLst><p:embeddedFont><p:font typeface="DejaVu Sans" panose=")"), std::string::npos);
    EXPECT_NE(pres.find(R"(<p:regular r:id="rId8"/><p:bold r:id="rId9"/></p:embeddedFont></p:embeddedFontLst>)"), std::string::npos);
    const std::string rels = part(entries, "ppt/_rels/presentation.xml.rels");
    EXPECT_NE(rels.find(R"(<Relationship Id="rId9" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/font" Target="fonts/font2.fntdata"/>)"),
              std::string::npos);
    check_with_python(*zip);
}

// A save replaces a file whole: a fresh file, a replaced one keeping its
// permission bits, and refusals that leave the folder as it was.
TEST(WriteSave, ReplacesWholeOrNotAtAll) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/vantrell-saveXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl;
    const vw::Bytes bytes = {'P', 'K', 3, 4};
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    auto contents = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return vw::Bytes(std::istreambuf_iterator<char>(in), {});
    };

    const fs::path fresh = dir / "fresh.pptx";
    ASSERT_TRUE(vw::save::replace_file(fresh.string(), bytes));
    EXPECT_EQ(contents(fresh), bytes);

    const fs::path old = dir / "old.pptx";
    std::ofstream(old) << "old";
    fs::permissions(old, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(vw::save::replace_file(old.string(), bytes));
    EXPECT_EQ(contents(old), bytes);
    EXPECT_EQ(fs::status(old).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A link to nothing gets its target created; the link stays.
    fs::create_symlink("made.pptx", dir / "dangling");
    ASSERT_TRUE(vw::save::replace_file((dir / "dangling").string(), bytes));
    EXPECT_EQ(contents(dir / "made.pptx"), bytes);
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
    fs::create_symlink("loop2", dir / "loop1");
    fs::create_symlink("loop1", dir / "loop2");

    const struct {
        std::string path;
        std::string message;
    } refused[] = {
        {(dir / "loop1").string(), "io: Too many levels of symbolic links (os error 40)"},
        {(dir / "nope" / "a.pptx").string(), "io: No such file or directory (os error 2)"},
        {(dir / "a.pptx").string() + std::string("\0.txt", 5), "io: file name contained an unexpected NUL byte"},
        {"", "io: No such file or directory (os error 2)"},
        {dir.string(), "io: Is a directory (os error 21)"},
    };
    for (const auto& c : refused) {
        auto r = vw::save::replace_file(c.path, bytes);
        ASSERT_FALSE(r) << c.path;
        EXPECT_EQ(r.error().message(), c.message) << c.path;
    }
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"dangling", "fresh.pptx", "loop1", "loop2", "made.pptx", "old.pptx"}));
    fs::remove_all(dir);
}
