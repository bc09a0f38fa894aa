// The layout engine: where the content of a writer slide goes.
//
// A source slide says what it holds; `plan_slide` stacks its body and blocks
// top to bottom in the body box, shrinks every font in 5 % steps down to the
// theme's minimum when the content is too tall, and past that splits the
// content (between paragraphs, between table rows with the header row
// repeated) over continuation slides. Text is measured with the built-in
// metrics (write/metrics.h), never with font files; planning measures each
// paragraph and table row once per trial scale for all the continuation
// slides of its source slide, so its work grows with the content, not with
// its square.
//
// Everything is 64-bit integer arithmetic; products that could leave the
// range are computed wide and saturate, so a hostile slide size or font size
// gives absurd boxes, never wrapped ones. Planned slides borrow image bytes,
// texts, shapes and the source slide from the deck, which must outlive them.
#pragma once

#include "write/metrics.h"
#include "write/parts.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantrell_write::layout {

// One flowing content unit.
struct Item {
    struct Text {
        std::span<const Paragraph> paragraphs; // a split piece is a sub-range
    };
    struct Picture {
        std::span<const std::uint8_t> data;
        const std::optional<std::string>* description = nullptr;
    };
    struct Table {
        std::vector<const std::vector<std::string>*> rows; // a piece may repeat the header row
        bool header = false;
    };
    struct Columns {
        std::vector<Item> items;
    };

    std::variant<Text, Picture, Table, Columns> value;

    // `depth` counts the columns blocks around `block`; the members of one
    // nested deeper than MAX_COLUMN_NESTING are left out (the build refuses
    // such a deck before planning it).
    static Item from_block(const Block& block, std::size_t depth = 0);
};

// One positioned element of a planned slide.
struct Element {
    struct Body {
        std::optional<Rect> rect; // none: the layout's body placeholder box
        std::vector<Paragraph> paragraphs;
        std::uint32_t scale = 100; // percent
    };
    struct TextBox {
        std::vector<Paragraph> paragraphs;
        Rect rect;
        std::uint32_t scale = 100;
    };
    struct Picture {
        std::span<const std::uint8_t> data;
        const std::optional<std::string>* description = nullptr;
        Rect rect;
    };
    struct Table {
        TableRows rows;
        std::vector<std::int64_t> heights; // one per row
        Rect rect;                         // cy is the sum of the heights
        std::uint32_t size_pt = 0;         // already scaled
        bool header = false;
    };
    struct Fixed {
        const Shape* shape = nullptr;
    };

    std::variant<Body, TextBox, Picture, Table, Fixed> value;
};

// One output slide.
struct Planned {
    std::vector<Element> elements;
    std::optional<std::uint32_t> title_size; // none: the layout's base size
    const Slide* slide = nullptr;
    const std::string* notes = nullptr; // first planned slide of a source slide only
    Layout layout = Layout::blank;
    // Explicit title and subtitle boxes; none: the layout's own boxes.
    std::optional<Rect> title_rect, subtitle_rect;
};

// Measuring and placing, for one source slide.
class Engine {
public:
    Engine(const Theme& theme, const parts::Geometry& geometry);

    // The scales tried when fitting, largest first; the last is the minimum.
    const std::vector<std::uint32_t>& scales() const { return scales_; }
    std::uint32_t min_scale() const { return scales_.back(); }

    std::int64_t paragraph_height(const Paragraph& p, std::int64_t width, std::uint32_t scale) const;
    std::vector<std::int64_t> table_rows(std::span<const std::vector<std::string>* const> rows, bool header,
                                         std::int64_t width, std::uint32_t scale) const;
    struct Heights {
        std::int64_t natural = 0, minimum = 0;
    };
    Heights measure(const Item& item, std::int64_t width, std::uint32_t scale) const;
    static std::vector<std::int64_t> weights(const std::vector<Item>& columns);
    std::vector<Rect> column_boxes(const std::vector<Item>& columns, const Rect& box) const;
    struct Fit {
        std::uint32_t scale = 100;
        std::vector<Heights> heights;
    };
    std::optional<Fit> place(std::span<const Item> items, std::int64_t width, std::int64_t height) const;
    // Whether the title fits `box` at `size_pt`.
    bool title_fits(std::string_view title, const Rect& box, std::uint32_t size_pt) const;
    // None when the title fits at `base_pt`, else the first smaller even step
    // that fits, else the theme's minimum.
    std::optional<std::uint32_t> title_size(std::string_view title, const Rect& box, std::uint32_t base_pt) const;
    void elements(const Item& item, const Rect& box, std::uint32_t scale, bool as_body,
                  std::vector<Element>& out) const;

    metrics::Face face() const { return face_; }

private:
    metrics::RunStyle run_style(const Run& run, std::uint32_t level, std::uint32_t scale) const;
    std::uint32_t level_size(std::uint32_t level) const;

    TypeSizes sizes_;
    std::int64_t gap_ = 0; // between columns
    metrics::Face face_;
    metrics::Face title_face_;
    std::vector<std::uint32_t> scales_;
};

// A point value at a scale in percent: max((v × s + 50) / 100, 1).
std::uint32_t scale_pt(std::uint32_t value, std::uint32_t scale);

// The planned slides of one source slide, at least one.
std::vector<Planned> plan_slide(const Theme& theme, const parts::Geometry& geometry, const Slide& slide);

} // namespace vantrell_write::layout
