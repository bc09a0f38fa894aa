// The deck writer's values: the deck, slides, content, themes and colours,
// and the writer's error type; plus the colour, background and body-level
// XML writers that every generated part shares.
//
// Every value is plain owned data with deep-copy semantics: the Python layer
// copies them into one another freely and hands a whole Presentation to
// `to_bytes`. Builders take `*this` by rvalue and return the changed value.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vantrell_write {

// The writer's one error type; `message()` is the display text the Python
// layer puts into its exception.
class Error {
public:
    enum class Kind : std::uint8_t { Io, Image, TableRow, BackgroundImage, Font, FontNotEmbeddable, Other };

    static Error io(std::string text) { return Error(Kind::Io, std::move(text)); }
    static Error image(std::uint64_t picture) { return Error(Kind::Image, {}, picture); }
    static Error table_row(std::uint64_t row, std::uint64_t cells, std::uint64_t columns) {
        return Error(Kind::TableRow, {}, row, cells, columns);
    }
    static Error background_image() { return Error(Kind::BackgroundImage); }
    static Error font(std::string message) { return Error(Kind::Font, std::move(message)); }
    static Error font_not_embeddable(std::string name) {
        return Error(Kind::FontNotEmbeddable, std::move(name));
    }
    static Error other(std::string message) { return Error(Kind::Other, std::move(message)); }

    Kind kind() const noexcept { return kind_; }
    std::string message() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    explicit Error(Kind kind, std::string text = {}, std::uint64_t a = 0, std::uint64_t b = 0,
                   std::uint64_t c = 0)
        : kind_(kind), a_(a), b_(b), c_(c), text_(std::move(text)) {}

    Kind kind_;
    std::uint64_t a_, b_, c_;
    std::string text_;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

using Bytes = std::vector<std::uint8_t>;

// ---- Colours ---------------------------------------------------------------

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;

    // "RRGGBB" or "#RRGGBB", hexadecimal digits of either case; else none.
    static std::optional<Rgb> hex(std::string_view text);
    // Six upper-case hexadecimal digits.
    std::string to_hex() const;

    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// One of the twelve theme colour slots, by index.
struct SchemeColor {
    enum Slot : std::uint8_t {
        dark1, light1, dark2, light2, accent1, accent2, accent3, accent4, accent5, accent6,
        hyperlink, followed_hyperlink,
    };
    static constexpr std::size_t COUNT = 12;
    static constexpr std::array<std::string_view, COUNT> NAMES = {
        "dark1", "light1", "dark2", "light2", "accent1", "accent2", "accent3", "accent4",
        "accent5", "accent6", "hyperlink", "followed_hyperlink"};

    Slot slot = dark1;

    static std::optional<SchemeColor> from_name(std::string_view name);
    std::string_view name() const { return NAMES[slot]; }

    friend bool operator==(const SchemeColor&, const SchemeColor&) = default;
};

using Color = std::variant<Rgb, SchemeColor>;

// ---- Pictures --------------------------------------------------------------

struct ImageFormat {
    enum Kind : std::uint8_t { png, jpeg, gif, bmp, tiff };
    Kind kind = png;

    // Recognises the format from the first bytes; none for anything else.
    static std::optional<ImageFormat> sniff(std::span<const std::uint8_t> data);
    // File-name extension, also the subtype of the "image/" content type.
    std::string_view extension() const;

    friend bool operator==(const ImageFormat&, const ImageFormat&) = default;
};

// ---- Text ------------------------------------------------------------------

enum class Align : std::uint8_t { left, center, right, justify };

struct Run {
    std::string text;
    std::optional<std::string> font;
    std::optional<std::string> link;
    std::optional<std::uint32_t> size; // points
    std::optional<Color> color;
    bool bold = false, italic = false, underline = false, strike = false;

    friend bool operator==(const Run&, const Run&) = default;
};

struct Paragraph {
    std::vector<Run> runs;
    std::optional<std::uint32_t> space_before; // points
    std::optional<std::uint32_t> space_after;  // points
    Align align = Align::left;
    std::uint8_t level = 0;
    bool bullet = false;

    friend bool operator==(const Paragraph&, const Paragraph&) = default;
};

// ---- Slides ----------------------------------------------------------------

// The four generated slide layouts, in the order of slideLayout1..4.
enum class Layout : std::uint8_t { title, title_and_content, title_only, blank };
inline constexpr std::size_t LAYOUT_COUNT = 4;
// The layout's display name ("Title Slide", ...).
std::string_view layout_name(Layout layout);

struct Rect {
    std::int64_t x = 0, y = 0, cx = 0, cy = 0; // EMU

    friend bool operator==(const Rect&, const Rect&) = default;
};

using TableRows = std::vector<std::vector<std::string>>;

struct Block;

struct Block {
    struct Paragraphs {
        std::vector<Paragraph> paragraphs;
        friend bool operator==(const Paragraphs&, const Paragraphs&) = default;
    };
    struct Picture {
        Bytes data;
        std::optional<std::string> description;
        friend bool operator==(const Picture&, const Picture&) = default;
    };
    struct Table {
        TableRows rows;
        bool header = false;
        friend bool operator==(const Table&, const Table&) = default;
    };
    struct Columns {
        std::vector<Block> blocks;
        friend bool operator==(const Columns&, const Columns&);
    };

    std::variant<Paragraphs, Picture, Table, Columns> value;

    friend bool operator==(const Block&, const Block&) = default;
};

inline bool operator==(const Block::Columns& a, const Block::Columns& b) {
    return a.blocks == b.blocks;
}

// How many columns blocks may enclose one another. The Python layer refuses
// deeper blocks and the package build fails on them, so the layout engine,
// which stops there, never leaves content out.
inline constexpr std::size_t MAX_COLUMN_NESTING = 64;

struct Shape {
    struct TextBox {
        std::vector<Paragraph> paragraphs;
        Rect rect;
        friend bool operator==(const TextBox&, const TextBox&) = default;
    };
    struct Picture {
        Bytes data;
        std::string name;
        std::optional<std::string> description;
        Rect rect;
        friend bool operator==(const Picture&, const Picture&) = default;
    };
    struct Table {
        TableRows rows;
        bool header = false;
        Rect rect;
        friend bool operator==(const Table&, const Table&) = default;
    };

    std::variant<TextBox, Picture, Table> value;

    const Rect& rect() const;

    friend bool operator==(const Shape&, const Shape&) = default;
};

struct Background {
    struct Solid {
        Color color;
        friend bool operator==(const Solid&, const Solid&) = default;
    };
    struct Gradient {
        std::vector<std::pair<Color, std::uint8_t>> stops; // colour, position in percent
        std::uint16_t angle = 0;                            // degrees; 90 runs top to bottom
        friend bool operator==(const Gradient&, const Gradient&) = default;
    };
    struct Picture {
        Bytes data;
        friend bool operator==(const Picture&, const Picture&) = default;
    };

    std::variant<Solid, Gradient, Picture> value;

    friend bool operator==(const Background&, const Background&) = default;
};

struct Slide {
    std::vector<Paragraph> body;
    std::vector<Block> blocks;
    std::vector<Shape> shapes;
    std::optional<std::string> title;
    std::optional<std::string> subtitle;
    std::optional<std::string> notes;
    std::optional<Background> background;
    bool hidden = false;
    bool inverted = false;
    std::optional<Layout> layout;

    // Appends a picture shape named "Picture {n}", n = shapes held before + 1.
    Slide picture(Bytes data, Rect rect) &&;

    friend bool operator==(const Slide&, const Slide&) = default;
};

// ---- Themes ----------------------------------------------------------------

struct LayoutBackground {
    Background background;
    Layout layout = Layout::title;
    bool inverted = false;

    friend bool operator==(const LayoutBackground&, const LayoutBackground&) = default;
};

// The type scale, in points.
struct TypeSizes {
    std::uint32_t display = 54;
    std::uint32_t title = 44;
    std::uint32_t subtitle = 24;
    std::uint32_t body = 28;
    std::uint32_t table = 16;
    std::uint32_t minimum = 18;

    friend bool operator==(const TypeSizes&, const TypeSizes&) = default;
};

struct Theme {
    std::string name;
    std::string major_font = "Calibri";
    std::string minor_font = "Calibri";
    std::vector<LayoutBackground> layout_backgrounds;
    std::vector<Bytes> embedded_fonts;
    std::optional<Background> background;
    TypeSizes sizes;
    std::array<Rgb, SchemeColor::COUNT> colors = OFFICE_COLORS;
    bool inverted = false;

    static constexpr std::array<Rgb, SchemeColor::COUNT> OFFICE_COLORS = {{
        {0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF}, {0x44, 0x54, 0x6A}, {0xE7, 0xE6, 0xE6},
        {0x44, 0x72, 0xC4}, {0xED, 0x7D, 0x31}, {0xA5, 0xA5, 0xA5}, {0xFF, 0xC0, 0x00},
        {0x5B, 0x9B, 0xD5}, {0x70, 0xAD, 0x47}, {0x05, 0x63, 0xC1}, {0x95, 0x4F, 0x72},
    }};
    // The names `preset` knows, in the order the Python layer lists them.
    static constexpr std::array<std::string_view, 12> PRESETS = {
        "office", "dark", "slate", "forest", "sunset", "midnight",
        "mocha", "dracula", "nord", "tokyo", "clay", "mono"};

    static Theme make(std::string name) {
        Theme t;
        t.name = std::move(name);
        return t;
    }
    // Exact, case-sensitive; none for an unknown name.
    static std::optional<Theme> preset(std::string_view name);
    static Theme mono();
    static Theme sunset();

    Theme font(std::string family) &&;
    Theme fonts(std::string major, std::string minor) &&;
    // Replaces any entry for `layout` by a new one at the end of the list.
    Theme layout_background(Layout layout, Background background, bool inverted) &&;
    // The entry for `layout`, if any.
    const LayoutBackground* background_for(Layout layout) const;

    friend bool operator==(const Theme&, const Theme&) = default;
};

// ---- The deck --------------------------------------------------------------

struct Metadata {
    std::string creator = "vantrell";
    std::string timestamp = "2000-01-01T00:00:00Z";
    std::optional<std::string> title;
    std::optional<std::string> subject;
    std::optional<std::string> keywords;

    friend bool operator==(const Metadata&, const Metadata&) = default;
};

struct Presentation {
    std::vector<Slide> slides;
    Metadata metadata;
    Theme theme = Theme::make("office");
    std::int64_t cx = 12192000; // EMU
    std::int64_t cy = 6858000;  // EMU

    // The finished package. Reentrant and deterministic; throws nothing but
    // std::bad_alloc.
    Result<Bytes> to_bytes() const;

    friend bool operator==(const Presentation&, const Presentation&) = default;
};

// ---- Shared XML writers ----------------------------------------------------

namespace style {

// One colour element; an inverted theme swaps dk1/lt1 and dk2/lt2.
std::string color_xml(const Color& color, bool inverted);
// One p:bg element; `rel_id` names the picture of a picture background.
std::string bg_xml(const Background* background, std::string_view rel_id, bool inverted);
// The nine a:lvlNpPr elements of a body text style at `percent` of the
// theme's body size.
std::string body_levels_xml(const Theme& theme, std::uint32_t percent);

} // namespace style

} // namespace vantrell_write
