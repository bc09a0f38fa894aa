// The content model: the shape tree of one slide, layout, master, notes page
// or handout master, as the slide parser builds it.
//
// Values are plain data owned by their parent, so a parsed slide can be moved
// across threads and copied into Python values without touching the part
// again. Everything optional in the markup stays optional here: a run
// property that is not written is absent, not false, because it is inherited
// from a layout or master the reader does not resolve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/shared_text.h"

namespace vantrell_core::model {

class PlaceholderKind {
public:
    // Numbered as stored: title 0 ... sldImg 15, other 16.
    enum Value : std::uint8_t {
        title,
        body,
        ctrTitle,
        subTitle,
        dt,
        sldNum,
        ftr,
        hdr,
        obj,
        chart,
        tbl,
        clipArt,
        dgm,
        media,
        pic,
        sldImg,
        other,
    };

    constexpr PlaceholderKind(Value v = obj) noexcept : value_(v) {}
    constexpr operator Value() const noexcept { return value_; }
    constexpr Value value() const noexcept { return value_; }

    // The kind of a `p:ph@type` value (exact match); `other` for anything else.
    static PlaceholderKind parse(std::string_view text) noexcept;
    // "title", "body", ..., "sldImg", or "other".
    const char* name() const noexcept;

private:
    Value value_;
};

struct Placeholder {
    PlaceholderKind kind = PlaceholderKind::obj;  // `type`, obj when absent
    std::uint32_t idx = 0;                         // `idx`, 0 when absent or invalid
};

struct RunProps {
    std::optional<bool> bold;
    std::optional<bool> italic;
    std::optional<bool> underline;  // false for u="none"
    std::optional<bool> strike;     // false for strike="noStrike"
    std::optional<std::uint32_t> size;  // hundredths of a point
    std::optional<std::string> lang;
    std::optional<std::string> typeface;   // a:latin
    std::optional<std::string> hyperlink;  // r:id of a:hlinkClick
};

struct Run {
    enum class Kind : std::uint8_t { text, line_break, field };
    Kind kind = Kind::text;
    std::string field_type;  // for fields: `a:fld@type`
    std::string text;        // "\n" for a line break
    RunProps props;
};

struct Bullet {
    enum class Kind : std::uint8_t { inherited, none, character, auto_number, picture };
    Kind kind = Kind::inherited;
    std::string text;        // the character, or the numbering scheme
    std::uint32_t start = 1; // auto_number: `startAt`
};

// The bullets a list style sets (a shape's a:lstStyle, a layout's or
// master's placeholder list style, a master's text style), by level 0 to 8;
// levels it says nothing about are absent.
struct ListStyle {
    std::vector<std::pair<std::uint8_t, Bullet>> levels;

    const Bullet* at(std::uint8_t level) const noexcept {
        for (const auto& [l, b] : levels)
            if (l == level) return &b;
        return nullptr;
    }
};

struct Paragraph {
    std::vector<Run> runs;
    Bullet bullet;
    std::uint8_t level = 0;

    // Run texts concatenated, a line break as "\n".
    std::string text() const;
    void append_text(std::string& out) const;
};

// What a paragraph shows where nothing sets its bullet: none, or a bullet
// character.
extern const Bullet NO_BULLET;
extern const Bullet CHARACTER_BULLET;

// The bullet a legacy deck's paragraph shows: its own, else what the list
// style its text body inherited from its masters sets at its level (none
// given: nothing); where neither says, a character for body and content
// placeholders and none elsewhere.
const Bullet& legacy_bullet(const Paragraph& paragraph, const ListStyle* inherited, bool body_or_content) noexcept;

// Appends the paragraph texts separated by "\n", no trailing "\n".
void write_text(const std::vector<Paragraph>& paragraphs, std::string& out);

struct TextBody {
    std::vector<Paragraph> paragraphs;
    ListStyle list_style;  // its own a:lstStyle

    void write_text(std::string& out) const { model::write_text(paragraphs, out); }
    std::string text() const;
};

struct Cell {
    std::vector<Paragraph> paragraphs;
    std::uint32_t grid_span = 1;
    std::uint32_t row_span = 1;
    bool h_merge = false;
    bool v_merge = false;

    bool is_origin() const noexcept { return !h_merge && !v_merge; }
};

struct Row {
    std::int64_t height = 0;  // EMU
    std::vector<Cell> cells;
};

struct Table {
    std::vector<std::int64_t> column_widths;  // EMU
    std::vector<Row> rows;
};

// Lengths in EMU; rotation in 60000ths of a degree as written.
struct Transform {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t cx = 0;
    std::int64_t cy = 0;
    std::int64_t rotation = 0;
    bool flip_h = false;
    bool flip_v = false;
    // Groups only: the child coordinate space, as written.
    std::optional<std::int64_t> ch_x, ch_y, ch_cx, ch_cy;
};

struct Shape;

struct Picture {
    // Audio and video are pictures (their poster frame) that play a file.
    enum class Media : std::uint8_t { none, audio, video };
    std::optional<std::string> embed;  // r:embed of a:blip
    std::optional<std::string> link;   // r:link of a:blip
    Media media = Media::none;         // from nvPr's a:videoFile, a:audioFile, ...
};

struct Group {
    std::vector<Shape> children;
};

struct Chart {
    std::optional<std::string> rel_id;  // c:chart or cx:chart r:id
    bool extended = false;              // an Office 2016 chartex frame
};

struct Diagram {
    std::optional<std::string> data;   // r:dm
    std::optional<std::string> layout; // r:lo
    std::optional<std::string> style;  // r:qs
    std::optional<std::string> colors; // r:cs
};

struct Ole {
    // A legacy deck keeps one per entry of its object list, which any
    // number of shapes name: shared by them, not copied.
    SharedText prog_id;
    std::optional<std::string> rel_id;
    std::optional<std::string> name;
    std::optional<std::string> preview;  // r:embed of the preview picture
};

struct Connector {};

struct ContentPart {
    std::optional<std::string> rel_id;
};

struct Unknown {
    std::optional<std::string> uri;  // graphicData@uri of an unknown frame
};

// Alternatives in the order of the shape kinds: text, picture, group, table,
// chart, diagram, ole, connector, content_part, unknown.
using Content = std::variant<TextBody, Picture, Group, Table, Chart, Diagram, Ole, Connector, ContentPart, Unknown>;

// "text", "picture", "group", "table", "chart", "diagram", "ole",
// "connector", "content_part" or "unknown".
const char* kind_name(const Content& content) noexcept;

struct Shape {
    std::uint32_t id = 0;
    std::string name;
    std::optional<std::string> description;  // cNvPr@descr
    std::optional<std::string> hyperlink;    // r:id of cNvPr/a:hlinkClick
    std::optional<Transform> transform;
    std::optional<Placeholder> placeholder;
    bool hidden = false;
    bool text_box = false;
    Content content = Unknown{};

    const TextBody* text_body() const noexcept { return std::get_if<TextBody>(&content); }
    const Group* group() const noexcept { return std::get_if<Group>(&content); }
    const Table* table() const noexcept { return std::get_if<Table>(&content); }
};

// The bytes of a shape's text and one for each run (a line end): what a
// copy of it holds, as a copy's repeats are counted.
std::uint64_t held_nbytes(const Shape& shape) noexcept;

// Pre-order walk with an explicit stack: a group before its children, the
// children before the group's next sibling.
class Walk {
public:
    explicit Walk(const std::vector<Shape>& shapes);
    // The next shape, or nullptr at the end.
    const Shape* next();

    class iterator {
    public:
        using value_type = Shape;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(Walk* walk) : walk_(walk), cur_(walk->next()) {}
        const Shape& operator*() const { return *cur_; }
        const Shape* operator->() const { return cur_; }
        iterator& operator++() {
            cur_ = walk_->next();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(const iterator& o) const { return cur_ == o.cur_; }

    private:
        Walk* walk_ = nullptr;
        const Shape* cur_ = nullptr;
    };
    iterator begin() { return iterator(this); }
    iterator end() { return iterator(); }

private:
    std::vector<const Shape*> stack_;
};

struct SlideContent {
    enum class Root : std::uint8_t { slide, layout, master, notes, notes_master, handout_master, other };

    std::vector<Shape> shapes;
    std::optional<std::string> name;  // cSld@name
    Root root = Root::other;
    bool shown = true;                // root@show
    // Top-level shapes copied in from content stored once for many slides
    // (a legacy master's page furniture), which every slide showing them
    // repeats: where each is in `shapes`, where it was copied from (an
    // offset of the deck's stream), and the bytes of the setting texts it
    // shows more than once (a footer at many fields).
    struct Copy {
        std::size_t shape = 0;
        std::uint64_t source = 0;
        std::uint64_t repeated_nbytes = 0;
    };
    std::vector<Copy> copies;

    // The text of the first title or centre-title placeholder in walk order,
    // unless it is empty or white space only.
    std::optional<std::string> title() const;
    // The text bodies of a notes page that hold notes, a notes slide part's
    // or a legacy deck's alike, in walk order: every one but the slide
    // image's, the page furniture's (date, slide number, footer, header
    // placeholders, and any shape showing a page number alone), and texts of
    // XML white space alone.
    std::vector<const TextBody*> notes_bodies() const;
    // The notes bodies' texts, one per line.
    std::string notes_text() const;
    Walk walk() const { return Walk(shapes); }
};

} // namespace vantrell_core::model
