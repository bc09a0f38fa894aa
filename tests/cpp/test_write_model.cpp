// Writer values: colour parsing, presets, builders, picture sniffing and
// dimensions, error texts.
#include "write/image.h"
#include "write/style.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vw = vantrell_write;

namespace {

vw::Bytes bytes(std::initializer_list<int> v) {
    vw::Bytes out;
    for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

vw::Bytes text_bytes(std::string_view s) { return vw::Bytes(s.begin(), s.end()); }

} // namespace

TEST(WriteColor, HexAcceptsExactlySixDigits) {
    const vw::Rgb want{0x1A, 0x2B, 0x3C};
    EXPECT_EQ(vw::Rgb::hex("1a2B3c"), want);
    EXPECT_EQ(vw::Rgb::hex("#1a2B3c"), want);
    EXPECT_EQ(vw::Rgb::hex("#000000"), (vw::Rgb{0, 0, 0}));
    EXPECT_EQ(vw::Rgb::hex("FFffFF"), (vw::Rgb{255, 255, 255}));
    for (const char* bad : {"", "#", "12345", "1234567", "#12345", "12G456", "##123456", "+F+F+F",
                            "-1-1-1", " 12345", "12345 ", "0x1234", "\xC3\xA9" "1234"})
        EXPECT_FALSE(vw::Rgb::hex(bad).has_value()) << bad;
    EXPECT_EQ((vw::Rgb{0x0A, 0xB0, 0xFF}).to_hex(), "0AB0FF");
}

TEST(WriteColor, SchemeNamesAreExactAndInIndexOrder) {
    for (std::size_t i = 0; i < vw::SchemeColor::COUNT; ++i) {
        auto c = vw::SchemeColor::from_name(vw::SchemeColor::NAMES[i]);
        ASSERT_TRUE(c.has_value());
        EXPECT_EQ(static_cast<std::size_t>(c->slot), i);
    }
    EXPECT_EQ(vw::SchemeColor::from_name("followed_hyperlink")->slot, vw::SchemeColor::followed_hyperlink);
    EXPECT_EQ(vw::SchemeColor::from_name("accent6")->slot, vw::SchemeColor::accent6);
    for (const char* bad : {"", "Dark1", "dk1", "accent7", "accent", "hyperlink "})
        EXPECT_FALSE(vw::SchemeColor::from_name(bad).has_value()) << bad;
}

TEST(WriteTheme, DefaultsAndOfficePreset) {
    vw::Theme t = vw::Theme::make("x");
    EXPECT_EQ(t.name, "x");
    EXPECT_EQ(t.major_font, "Calibri");
    EXPECT_EQ(t.minor_font, "Calibri");
    EXPECT_EQ(t.sizes, (vw::TypeSizes{54, 44, 24, 28, 16, 18}));
    EXPECT_FALSE(t.inverted);
    EXPECT_FALSE(t.background.has_value());
    EXPECT_EQ(t.colors[2].to_hex(), "44546A");
    EXPECT_EQ(t.colors[11].to_hex(), "954F72");
    EXPECT_EQ(vw::Theme::preset("office"), vw::Theme::make("office"));
    EXPECT_FALSE(vw::Theme::preset("Dark").has_value());
    EXPECT_FALSE(vw::Theme::preset("").has_value());
    EXPECT_FALSE(vw::Theme::preset("office ").has_value());

    vw::Presentation p;
    EXPECT_EQ(p.cx, 12192000);
    EXPECT_EQ(p.cy, 6858000);
    EXPECT_EQ(p.theme, vw::Theme::make("office"));
    EXPECT_EQ(p.metadata.creator, "vantrell");
    EXPECT_EQ(p.metadata.timestamp, "2000-01-01T00:00:00Z");
    EXPECT_FALSE(p.metadata.title || p.metadata.subject || p.metadata.keywords);
}

TEST(WriteTheme, PresetsMatchTheirTable) {
    struct Row {
        const char* name;
        const char* colors[12];
        const char* major;
        bool inverted;
    };
    const Row rows[] = {
        {"office", {"000000", "FFFFFF", "44546A", "E7E6E6", "4472C4", "ED7D31", "A5A5A5", "FFC000", "5B9BD5", "70AD47", "0563C1", "954F72"}, "Calibri", false},
        {"dark", {"1E1E1E", "F5F5F5", "2D2D2D", "D0D0D0", "4FC3F7", "FFB74D", "81C784", "BA68C8", "E57373", "FFF176", "82B1FF", "CE93D8"}, "Calibri", true},
        {"slate", {"1F2933", "F5F7FA", "3E4C59", "CBD2D9", "2F80ED", "56CCF2", "27AE60", "F2C94C", "EB5757", "9B51E0", "2F80ED", "9B51E0"}, "Georgia", false},
        {"forest", {"1B2B1B", "F4F8F2", "2F4F2F", "D9E4D2", "2E7D32", "66BB6A", "A5D6A7", "FFB300", "8D6E63", "26A69A", "1B5E20", "4E342E"}, "Calibri", false},
        {"sunset", {"2B1B2F", "FFF8F0", "5D2E46", "F3D9C7", "FF7043", "FFCA28", "EC407A", "AB47BC", "26C6DA", "9CCC65", "D84315", "6A1B9A"}, "Georgia", true},
        {"midnight", {"0A0A0A", "FAFAFA", "141417", "9AA0A6", "34D399", "60A5FA", "FBBF24", "F87171", "A78BFA", "2DD4BF", "34D399", "6EE7B7"}, "Calibri", true},
        {"mocha", {"1E1E2E", "CDD6F4", "313244", "A6ADC8", "CBA6F7", "89B4FA", "A6E3A1", "FAB387", "F38BA8", "94E2D5", "89B4FA", "B4BEFE"}, "Calibri", true},
        {"dracula", {"282A36", "F8F8F2", "44475A", "6272A4", "BD93F9", "FF79C6", "8BE9FD", "50FA7B", "FFB86C", "FF5555", "8BE9FD", "BD93F9"}, "Calibri", true},
        {"nord", {"2E3440", "ECEFF4", "3B4252", "D8DEE9", "88C0D0", "81A1C1", "A3BE8C", "EBCB8B", "D08770", "B48EAD", "88C0D0", "5E81AC"}, "Calibri", true},
        {"tokyo", {"1A1B26", "C0CAF5", "24283B", "A9B1D6", "7AA2F7", "BB9AF7", "7DCFFF", "9ECE6A", "FF9E64", "F7768E", "7AA2F7", "BB9AF7"}, "Calibri", true},
        {"clay", {"141413", "FAF9F5", "5E5D59", "F0EEE6", "D97757", "6A9BCC", "788C5D", "C2A34E", "8B6BB5", "5B8C7D", "6A9BCC", "8B6BB5"}, "Georgia", false},
        {"mono", {"0A0A0A", "FFFFFF", "666666", "EAEAEA", "0070F3", "7928CA", "FF0080", "F5A623", "50E3C2", "EE0000", "0070F3", "7928CA"}, "Calibri", false},
    };
    ASSERT_EQ(std::size(rows), vw::Theme::PRESETS.size());
    for (std::size_t r = 0; r < std::size(rows); ++r) {
        const Row& row = rows[r];
        EXPECT_EQ(vw::Theme::PRESETS[r], row.name);
        auto t = vw::Theme::preset(row.name);
        ASSERT_TRUE(t.has_value()) << row.name;
        EXPECT_EQ(t->name, row.name);
        for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(t->colors[i].to_hex(), row.colors[i]) << row.name << " " << i;
        EXPECT_EQ(t->major_font, row.major) << row.name;
        EXPECT_EQ(t->minor_font, "Calibri");
        EXPECT_EQ(t->inverted, row.inverted) << row.name;
        EXPECT_EQ(t->sizes, vw::TypeSizes{});
        EXPECT_EQ(t->background.has_value(), std::string_view(row.name) == "sunset") << row.name;
    }
    vw::Background::Gradient g;
    g.stops = {{vw::Color{vw::Rgb{0x2B, 0x1B, 0x2F}}, 0}, {vw::Color{vw::Rgb{0x5D, 0x2E, 0x46}}, 100}};
    g.angle = 90;
    EXPECT_EQ(vw::Theme::sunset().background, vw::Background{g});
    EXPECT_EQ(vw::Theme::mono(), *vw::Theme::preset("mono"));
}

TEST(WriteTheme, BuildersReplaceAndKeepOrder) {
    vw::Theme t = vw::Theme::make("t").font("Inter");
    EXPECT_EQ(t.major_font, "Inter");
    EXPECT_EQ(t.minor_font, "Inter");
    t = std::move(t).fonts("A", "B");
    EXPECT_EQ(t.major_font, "A");
    EXPECT_EQ(t.minor_font, "B");

    const vw::Background red{vw::Background::Solid{vw::Rgb{255, 0, 0}}};
    const vw::Background blue{vw::Background::Solid{vw::Rgb{0, 0, 255}}};
    t = std::move(t)
            .layout_background(vw::Layout::title, red, false)
            .layout_background(vw::Layout::blank, red, true)
            .layout_background(vw::Layout::title, blue, true);
    ASSERT_EQ(t.layout_backgrounds.size(), 2u);
    EXPECT_EQ(t.layout_backgrounds[0].layout, vw::Layout::blank);
    EXPECT_EQ(t.layout_backgrounds[1], (vw::LayoutBackground{blue, vw::Layout::title, true}));
    EXPECT_EQ(t.background_for(vw::Layout::title)->background, blue);
    EXPECT_EQ(t.background_for(vw::Layout::title_only), nullptr);
}

TEST(WriteSlide, PictureNamesCountShapesAlreadyThere) {
    vw::Slide s;
    s = std::move(s).picture(text_bytes("a"), vw::Rect{1, 2, 3, 4});
    s.shapes.push_back(vw::Shape{vw::Shape::TextBox{}});
    s = std::move(s).picture(text_bytes("b"), vw::Rect{});
    ASSERT_EQ(s.shapes.size(), 3u);
    const auto& first = std::get<vw::Shape::Picture>(s.shapes[0].value);
    const auto& third = std::get<vw::Shape::Picture>(s.shapes[2].value);
    EXPECT_EQ(first.name, "Picture 1");
    EXPECT_EQ(first.rect, (vw::Rect{1, 2, 3, 4}));
    EXPECT_EQ(third.name, "Picture 3");
    EXPECT_FALSE(third.description.has_value());

    // Deep copies: changing the copy leaves the original alone.
    vw::Block nested{vw::Block::Columns{{vw::Block{vw::Block::Table{{{"a"}}, true}}}}};
    vw::Block copy = nested;
    std::get<vw::Block::Table>(std::get<vw::Block::Columns>(copy.value).blocks[0].value).rows[0][0] = "b";
    EXPECT_NE(copy, nested);
}

TEST(WriteImage, SniffRecognisesSignatures) {
    using F = vw::ImageFormat;
    auto sniff = [](const vw::Bytes& b) { return F::sniff(b); };
    EXPECT_EQ(sniff(bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})), F{F::png});
    EXPECT_FALSE(sniff(bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A})).has_value());
    EXPECT_EQ(sniff(bytes({0xFF, 0xD8, 0xFF})), F{F::jpeg});
    EXPECT_FALSE(sniff(bytes({0xFF, 0xD8})).has_value());
    EXPECT_EQ(sniff(text_bytes("GIF87a")), F{F::gif});
    EXPECT_EQ(sniff(text_bytes("GIF89a")), F{F::gif});
    EXPECT_FALSE(sniff(text_bytes("GIF89")).has_value());
    EXPECT_FALSE(sniff(text_bytes("GIF88a")).has_value());
    EXPECT_EQ(sniff(text_bytes("BM")), F{F::bmp});
    EXPECT_EQ(sniff(text_bytes("BMxyz")), F{F::bmp});
    EXPECT_FALSE(sniff(text_bytes("B")).has_value());
    EXPECT_FALSE(sniff({}).has_value());
    EXPECT_EQ(sniff(bytes({0x49, 0x49, 0x2A, 0x00})), F{F::tiff});
    EXPECT_EQ(sniff(bytes({0x4D, 0x4D, 0x00, 0x2A})), F{F::tiff});
    EXPECT_FALSE(sniff(bytes({0x49, 0x49, 0x2A})).has_value());
    EXPECT_FALSE(sniff(text_bytes("<svg")).has_value());
    EXPECT_EQ((F{F::jpeg}).extension(), "jpeg");
    EXPECT_EQ((F{F::tiff}).extension(), "tiff");
}

namespace {

vw::Bytes png_header(std::uint32_t w, std::uint32_t h) {
    vw::Bytes b = bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
    for (std::uint32_t v : {w, h})
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
    return b;
}

vw::Bytes bmp_header(std::int32_t w, std::int32_t h) {
    vw::Bytes b(26, 0);
    b[0] = 'B';
    b[1] = 'M';
    for (int i = 0; i < 4; ++i) {
        b[18 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(w) >> (8 * i));
        b[22 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(h) >> (8 * i));
    }
    return b;
}

} // namespace

TEST(WriteImage, DimensionsOfEachFormat) {
    using vw::image::dimensions;
    using Dims = std::pair<std::uint32_t, std::uint32_t>;
    EXPECT_EQ(dimensions(png_header(640, 480)), (Dims{640, 480}));
    EXPECT_EQ(dimensions(png_header(0xFFFFFFFF, 1)), (Dims{0xFFFFFFFF, 1}));
    EXPECT_FALSE(dimensions(png_header(0, 480)).has_value());
    vw::Bytes short_png = png_header(1, 1);
    short_png.pop_back();
    EXPECT_FALSE(dimensions(short_png).has_value());
    vw::Bytes bad_chunk = png_header(1, 1);
    bad_chunk[12] = 'X';
    EXPECT_FALSE(dimensions(bad_chunk).has_value());

    EXPECT_EQ(dimensions(bytes({'G', 'I', 'F', '8', '9', 'a', 0x20, 0x01, 0x10, 0x00})), (Dims{288, 16}));
    EXPECT_FALSE(dimensions(bytes({'G', 'I', 'F', '8', '9', 'a', 0x20, 0x01, 0x10})).has_value());
    EXPECT_FALSE(dimensions(bytes({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0x10, 0})).has_value());

    EXPECT_EQ(dimensions(bmp_header(200, -100)), (Dims{200, 100}));
    EXPECT_EQ(dimensions(bmp_header(-3, 7)), (Dims{3, 7}));
    EXPECT_EQ(dimensions(bmp_header(INT32_MIN, 1)), (Dims{2147483648u, 1}));
    EXPECT_FALSE(dimensions(bmp_header(5, 0)).has_value());
    EXPECT_FALSE(dimensions(text_bytes("BM")).has_value());

    EXPECT_FALSE(dimensions(bytes({0x49, 0x49, 0x2A, 0x00, 8, 0, 0, 0})).has_value());
    EXPECT_FALSE(dimensions({}).has_value());
}

TEST(WriteImage, JpegMarkerWalk) {
    using vw::image::dimensions;
    using Dims = std::pair<std::uint32_t, std::uint32_t>;
    // SOI, APP0 of length 4, a fill byte, RST0, progressive SOF2 (height 0x0102, width 0x0304).
    const vw::Bytes progressive = bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0xAA, 0xBB, 0xFF, 0xFF, 0xD0,
                                         0xFF, 0xC2, 0x00, 0x11, 0x08, 0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(dimensions(progressive), (Dims{0x0304, 0x0102}));
    // DHT (C4) is not a frame: skipped by its length.
    const vw::Bytes dht_first = bytes({0xFF, 0xD8, 0xFF, 0xC4, 0x00, 0x02, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00,
                                       0x10, 0x00, 0x20});
    EXPECT_EQ(dimensions(dht_first), (Dims{32, 16}));
    // A byte other than FF where a marker is due.
    EXPECT_FALSE(dimensions(bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0x12, 0xC0, 0, 0, 0, 0, 1, 0, 1})).has_value());
    // A frame header cut short, and a segment length running past the end.
    for (std::size_t cut = 3; cut < progressive.size(); ++cut)
        EXPECT_FALSE(dimensions(std::span(progressive).first(cut)).has_value()) << cut;
    EXPECT_FALSE(dimensions(bytes({0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 0x00})).has_value());
    // Zero height.
    EXPECT_FALSE(dimensions(bytes({0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x00, 0x00, 0x20})).has_value());
}

TEST(WriteError, DisplayTexts) {
    EXPECT_EQ(vw::Error::io("failed to write whole buffer").message(), "io: failed to write whole buffer");
    EXPECT_EQ(vw::Error::image(3).message(), "unsupported image format for picture 3");
    EXPECT_EQ(vw::Error::table_row(2, 2, 3).message(), "table row 2 has 2 cells but the table has 3 columns");
    EXPECT_EQ(vw::Error::background_image().message(), "unsupported image format for background picture");
    EXPECT_EQ(vw::Error::font("no glyf table").message(), "unsupported font: no glyf table");
    EXPECT_EQ(vw::Error::font_not_embeddable("Foo").message(), "font \"Foo\" does not permit embedding");
    EXPECT_EQ(vw::Error::font_not_embeddable("a\"b\\").message(), "font \"a\\\"b\\\\\" does not permit embedding");
    EXPECT_EQ(vw::Error::other("as is").message(), "as is");
    EXPECT_EQ(vw::Error::image(1).kind(), vw::Error::Kind::Image);
}
