// Writer values: error texts, colour parsing, presets, picture sniffing, and
// the colour, background and body-level XML shared by the master and slides.
#include "write/style.h"

#include "core/encoding.h"

#include <algorithm>

namespace vantrell_write {

std::string Error::message() const {
    switch (kind_) {
    case Kind::Io:
        return "io: " + text_;
    case Kind::Image:
        return "unsupported image format for picture " + std::to_string(a_);
    case Kind::TableRow:
        return "table row " + std::to_string(a_) + " has " + std::to_string(b_) +
               " cells but the table has " + std::to_string(c_) + " columns";
    case Kind::BackgroundImage:
        return "unsupported image format for background picture";
    case Kind::Font:
        return "unsupported font: " + text_;
    case Kind::FontNotEmbeddable:
        return "font " + vantrell_core::encoding::quoted(text_) + " does not permit embedding";
    case Kind::Other:
        return text_;
    }
    return text_;
}

// ---- Colours ---------------------------------------------------------------

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char HEX_UPPER[] = "0123456789ABCDEF";

void append_hex_byte(std::string& out, std::uint8_t v) {
    out += HEX_UPPER[v >> 4];
    out += HEX_UPPER[v & 0xF];
}

} // namespace

// Strictly six digits: a pair such as "+F" would pass a lenient unsigned
// parser but is not a colour anyone wrote on purpose.
std::optional<Rgb> Rgb::hex(std::string_view text) {
    if (!text.empty() && text.front() == '#') text.remove_prefix(1);
    if (text.size() != 6) return std::nullopt;
    std::uint8_t v[3];
    for (std::size_t i = 0; i < 3; ++i) {
        int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        v[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return Rgb{v[0], v[1], v[2]};
}

std::string Rgb::to_hex() const {
    std::string out;
    out.reserve(6);
    append_hex_byte(out, r);
    append_hex_byte(out, g);
    append_hex_byte(out, b);
    return out;
}

std::optional<SchemeColor> SchemeColor::from_name(std::string_view name) {
    for (std::size_t i = 0; i < COUNT; ++i)
        if (NAMES[i] == name) return SchemeColor{static_cast<Slot>(i)};
    return std::nullopt;
}

// ---- Pictures --------------------------------------------------------------

std::optional<ImageFormat> ImageFormat::sniff(std::span<const std::uint8_t> d) {
    static constexpr std::uint8_t PNG_SIG[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto starts = [&](std::initializer_list<std::uint8_t> sig) {
        return d.size() >= sig.size() && std::equal(sig.begin(), sig.end(), d.begin());
    };
    if (d.size() >= 8 && std::equal(PNG_SIG, PNG_SIG + 8, d.begin())) return ImageFormat{png};
    if (d.size() < 3) {
        if (d.size() == 2 && d[0] == 'B' && d[1] == 'M') return ImageFormat{bmp};
        return std::nullopt;
    }
    if (starts({0xFF, 0xD8, 0xFF})) return ImageFormat{jpeg};
    if (starts({'G', 'I', 'F', '8', '7', 'a'}) || starts({'G', 'I', 'F', '8', '9', 'a'}))
        return ImageFormat{gif};
    if (starts({'B', 'M'})) return ImageFormat{bmp};
    if (starts({0x49, 0x49, 0x2A, 0x00}) || starts({0x4D, 0x4D, 0x00, 0x2A}))
        return ImageFormat{tiff};
    return std::nullopt;
}

std::string_view ImageFormat::extension() const {
    switch (kind) {
    case png: return "png";
    case jpeg: return "jpeg";
    case gif: return "gif";
    case bmp: return "bmp";
    case tiff: return "tiff";
    }
    return "png";
}

// ---- Slides ----------------------------------------------------------------

std::string_view layout_name(Layout layout) {
    switch (layout) {
    case Layout::title: return "Title Slide";
    case Layout::title_and_content: return "Title and Content";
    case Layout::title_only: return "Title Only";
    case Layout::blank: return "Blank";
    }
    return "Blank";
}

const Rect& Shape::rect() const {
    return std::visit([](const auto& s) -> const Rect& { return s.rect; }, value);
}

Slide Slide::picture(Bytes data, Rect rect) && {
    Shape::Picture pic;
    pic.data = std::move(data);
    pic.name = "Picture " + std::to_string(shapes.size() + 1);
    pic.rect = rect;
    shapes.push_back(Shape{std::move(pic)});
    return std::move(*this);
}

// ---- Themes ----------------------------------------------------------------

namespace {

constexpr Rgb rgb(std::uint32_t v) {
    return Rgb{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
               static_cast<std::uint8_t>(v)};
}

struct PresetRow {
    std::string_view name;
    std::uint32_t colors[SchemeColor::COUNT]; // dk1 lt1 dk2 lt2 accent1-6 hlink folHlink
    bool georgia_headings;
    bool inverted;
};

constexpr PresetRow PRESET_ROWS[] = {
    {"office", {0x000000, 0xFFFFFF, 0x44546A, 0xE7E6E6, 0x4472C4, 0xED7D31, 0xA5A5A5, 0xFFC000, 0x5B9BD5, 0x70AD47, 0x0563C1, 0x954F72}, false, false},
    {"dark", {0x1E1E1E, 0xF5F5F5, 0x2D2D2D, 0xD0D0D0, 0x4FC3F7, 0xFFB74D, 0x81C784, 0xBA68C8, 0xE57373, 0xFFF176, 0x82B1FF, 0xCE93D8}, false, true},
    {"slate", {0x1F2933, 0xF5F7FA, 0x3E4C59, 0xCBD2D9, 0x2F80ED, 0x56CCF2, 0x27AE60, 0xF2C94C, 0xEB5757, 0x9B51E0, 0x2F80ED, 0x9B51E0}, true, false},
    {"forest", {0x1B2B1B, 0xF4F8F2, 0x2F4F2F, 0xD9E4D2, 0x2E7D32, 0x66BB6A, 0xA5D6A7, 0xFFB300, 0x8D6E63, 0x26A69A, 0x1B5E20, 0x4E342E}, false, false},
    {"sunset", {0x2B1B2F, 0xFFF8F0, 0x5D2E46, 0xF3D9C7, 0xFF7043, 0xFFCA28, 0xEC407A, 0xAB47BC, 0x26C6DA, 0x9CCC65, 0xD84315, 0x6A1B9A}, true, true},
    {"midnight", {0x0A0A0A, 0xFAFAFA, 0x141417, 0x9AA0A6, 0x34D399, 0x60A5FA, 0xFBBF24, 0xF87171, 0xA78BFA, 0x2DD4BF, 0x34D399, 0x6EE7B7}, false, true},
    {"mocha", {0x1E1E2E, 0xCDD6F4, 0x313244, 0xA6ADC8, 0xCBA6F7, 0x89B4FA, 0xA6E3A1, 0xFAB387, 0xF38BA8, 0x94E2D5, 0x89B4FA, 0xB4BEFE}, false, true},
    {"dracula", {0x282A36, 0xF8F8F2, 0x44475A, 0x6272A4, 0xBD93F9, 0xFF79C6, 0x8BE9FD, 0x50FA7B, 0xFFB86C, 0xFF5555, 0x8BE9FD, 0xBD93F9}, false, true},
    {"nord", {0x2E3440, 0xECEFF4, 0x3B4252, 0xD8DEE9, 0x88C0D0, 0x81A1C1, 0xA3BE8C, 0xEBCB8B, 0xD08770, 0xB48EAD, 0x88C0D0, 0x5E81AC}, false, true},
    {"tokyo", {0x1A1B26, 0xC0CAF5, 0x24283B, 0xA9B1D6, 0x7AA2F7, 0xBB9AF7, 0x7DCFFF, 0x9ECE6A, 0xFF9E64, 0xF7768E, 0x7AA2F7, 0xBB9AF7}, false, true},
    {"clay", {0x141413, 0xFAF9F5, 0x5E5D59, 0xF0EEE6, 0xD97757, 0x6A9BCC, 0x788C5D, 0xC2A34E, 0x8B6BB5, 0x5B8C7D, 0x6A9BCC, 0x8B6BB5}, true, false},
    {"mono", {0x0A0A0A, 0xFFFFFF, 0x666666, 0xEAEAEA, 0x0070F3, 0x7928CA, 0xFF0080, 0xF5A623, 0x50E3C2, 0xEE0000, 0x0070F3, 0x7928CA}, false, false},
};
static_assert(std::size(PRESET_ROWS) == Theme::PRESETS.size());

} // namespace

std::optional<Theme> Theme::preset(std::string_view name) {
    for (const PresetRow& row : PRESET_ROWS) {
        if (row.name != name) continue;
        Theme t = make(std::string(name));
        for (std::size_t i = 0; i < SchemeColor::COUNT; ++i) t.colors[i] = rgb(row.colors[i]);
        if (row.georgia_headings) t.major_font = "Georgia";
        t.inverted = row.inverted;
        if (name == "sunset") {
            Background::Gradient g;
            g.stops = {{Color{rgb(0x2B1B2F)}, 0}, {Color{rgb(0x5D2E46)}, 100}};
            g.angle = 90;
            t.background = Background{std::move(g)};
        }
        return t;
    }
    return std::nullopt;
}

Theme Theme::mono() { return *preset("mono"); }
Theme Theme::sunset() { return *preset("sunset"); }

Theme Theme::font(std::string family) && {
    major_font = family;
    minor_font = std::move(family);
    return std::move(*this);
}

Theme Theme::fonts(std::string major, std::string minor) && {
    major_font = std::move(major);
    minor_font = std::move(minor);
    return std::move(*this);
}

Theme Theme::layout_background(Layout layout, Background bg, bool inv) && {
    std::erase_if(layout_backgrounds, [&](const LayoutBackground& e) { return e.layout == layout; });
    layout_backgrounds.push_back(LayoutBackground{std::move(bg), layout, inv});
    return std::move(*this);
}

const LayoutBackground* Theme::background_for(Layout layout) const {
    for (const LayoutBackground& e : layout_backgrounds)
        if (e.layout == layout) return &e;
    return nullptr;
}

// ---- Shared XML writers ----------------------------------------------------

namespace style {

std::string color_xml(const Color& color, bool inverted) {
    if (const Rgb* c = std::get_if<Rgb>(&color)) return "<a:srgbClr val=\"" + c->to_hex() + "\"/>";
    static constexpr std::string_view SLOTS[SchemeColor::COUNT] = {
        "dk1", "lt1", "dk2", "lt2", "accent1", "accent2", "accent3", "accent4",
        "accent5", "accent6", "hlink", "folHlink"};
    std::size_t i = std::get<SchemeColor>(color).slot;
    if (inverted && i < 4) i ^= 1; // dk1<->lt1, dk2<->lt2
    return "<a:schemeClr val=\"" + std::string(SLOTS[i]) + "\"/>";
}

std::string bg_xml(const Background* background, std::string_view rel_id, bool inverted) {
    if (!background) return R"(<p:bg><p:bgRef idx="1001"><a:schemeClr val="bg1"/></p:bgRef></p:bg>)";
    std::string out = "<p:bg><p:bgPr>";
    if (const auto* s = std::get_if<Background::Solid>(&background->value)) {
        out += "<a:solidFill>" + color_xml(s->color, inverted) + "</a:solidFill>";
    } else if (const auto* g = std::get_if<Background::Gradient>(&background->value)) {
        out += R"(<a:gradFill rotWithShape="1"><a:gsLst>)";
        for (const auto& [color, percent] : g->stops) {
            unsigned pos = std::min<unsigned>(percent, 100) * 1000;
            out += "<a:gs pos=\"" + std::to_string(pos) + "\">" + color_xml(color, inverted) + "</a:gs>";
        }
        out += "</a:gsLst><a:lin ang=\"" + std::to_string(std::uint32_t{g->angle} * 60000u) +
               "\" scaled=\"0\"/></a:gradFill>";
    } else {
        out += R"(<a:blipFill dpi="0" rotWithShape="1"><a:blip r:embed=")";
        out += rel_id;
        out += R"("/><a:srcRect/><a:stretch><a:fillRect/></a:stretch></a:blipFill>)";
    }
    out += "<a:effectLst/></p:bgPr></p:bg>";
    return out;
}

// Sizes and percentages are user values up to 2^32 - 1: every product below
// is taken in 64 bits, where none of them can wrap.
std::string body_levels_xml(const Theme& theme, std::uint32_t percent) {
    const std::uint64_t p = percent;
    const std::uint64_t body = theme.sizes.body;
    std::string out;
    out.reserve(9 * 560);
    for (std::uint64_t level = 1; level <= 9; ++level) {
        std::uint64_t mar_l = 228600 + (level - 1) * 457200;
        std::uint64_t size = body;
        std::uint64_t space_before = ((p * 10 + 50) / 100) * 100;
        if (level > 1) {
            auto floor_sub = [&](std::uint64_t d) { return body > d ? body - d : 0; };
            size = std::max(floor_sub(4 * (level - 1)), floor_sub(10));
            space_before = ((p * 5 + 50) / 100) * 100;
        }
        std::uint64_t sz = std::max<std::uint64_t>((std::max<std::uint64_t>(size, 1) * p + 50) / 100, 1) * 100;
        const std::string l = std::to_string(level);
        out += "<a:lvl" + l + "pPr marL=\"" + std::to_string(mar_l) +
               R"(" indent="-228600" algn="l" defTabSz="914400" rtl="0" eaLnBrk="1" latinLnBrk="0" hangingPunct="1"><a:lnSpc><a:spcPct val="90000"/></a:lnSpc><a:spcBef><a:spcPts val=")" +
               std::to_string(space_before) +
               R"("/></a:spcBef><a:buClr><a:schemeClr val="accent1"/></a:buClr><a:buFont typeface="Arial" panose="020B0604020202020204" pitchFamily="34" charset="0"/><a:buChar char="&#8226;"/><a:defRPr sz=")" +
               std::to_string(sz) +
               R"(" kern="1200"><a:solidFill><a:schemeClr val="tx1"/></a:solidFill><a:latin typeface="+mn-lt"/><a:ea typeface="+mn-ea"/><a:cs typeface="+mn-cs"/></a:defRPr></a:lvl)" +
               l + "pPr>";
    }
    return out;
}

} // namespace style

} // namespace vantrell_write
