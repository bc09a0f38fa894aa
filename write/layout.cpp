#include "write/layout.h"

#include "write/image.h"

#include <algorithm>
#include <limits>

namespace vantrell_write::layout {

namespace {

__extension__ typedef __int128 Wide;

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

constexpr std::int64_t TEXT_INSET_V = 91440;  // top and bottom insets of text
constexpr std::int64_t TEXT_INSET_H = 182880; // left and right insets
constexpr std::int64_t GAP = 228600;          // between stacked items; bullet hanging indent
constexpr std::int64_t LEVEL_INDENT = 457200;
constexpr std::int64_t LINE_90 = 1143000;  // 12700 × 90: paragraphs and titles
constexpr std::int64_t LINE_100 = 1270000; // 12700 × 100: table rows
constexpr std::int64_t PICTURE_CLAIM = 914400;

std::int64_t clamp(Wide v) {
    if (v > I64_MAX) return I64_MAX;
    if (v < I64_MIN) return I64_MIN;
    return static_cast<std::int64_t>(v);
}

std::int64_t add(std::int64_t a, std::int64_t b) { return clamp(Wide{a} + b); }
std::int64_t sub(std::int64_t a, std::int64_t b) { return clamp(Wide{a} - b); }
std::int64_t mul(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (!__builtin_mul_overflow(a, b, &r)) return r;
    return (a < 0) != (b < 0) ? I64_MIN : I64_MAX;
}
// a × b / c truncated toward zero; c is never 0 here.
std::int64_t mul_div(std::int64_t a, std::int64_t b, std::int64_t c) { return clamp(Wide{a} * b / c); }

std::int64_t sum(std::span<const std::int64_t> values) {
    std::int64_t total = 0;
    for (std::int64_t v : values) total = add(total, v);
    return total;
}

std::uint32_t sat_u32(std::uint64_t v) {
    return v > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                         : static_cast<std::uint32_t>(v);
}

std::uint32_t sat_sub_u32(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

// Pixel size of a picture; 4 : 3 when it cannot be read.
std::pair<std::int64_t, std::int64_t> picture_size(std::span<const std::uint8_t> data) {
    if (auto d = image::dimensions(data); d && d->first > 0 && d->second > 0) return {d->first, d->second};
    return {4, 3};
}

// The line height of text of `size_pt` in `face` with a line-spacing numerator.
std::int64_t line_height(std::int64_t numerator, std::uint32_t size_pt, metrics::Face face) {
    const std::uint64_t factor = metrics::line_height_factor(face);
    return clamp(Wide{numerator} * size_pt * static_cast<std::int64_t>(factor) / 100000);
}

} // namespace

std::uint32_t scale_pt(std::uint32_t value, std::uint32_t scale) {
    return std::max<std::uint32_t>(sat_u32((std::uint64_t{value} * scale + 50) / 100), 1);
}

// ---- Items -------------------------------------------------------------------------

Item Item::from_block(const Block& block, std::size_t depth) {
    return std::visit(
        [&](const auto& b) -> Item {
            using T = std::decay_t<decltype(b)>;
            if constexpr (std::is_same_v<T, Block::Paragraphs>) {
                return Item{Text{b.paragraphs}};
            } else if constexpr (std::is_same_v<T, Block::Picture>) {
                return Item{Picture{b.data, &b.description}};
            } else if constexpr (std::is_same_v<T, Block::Table>) {
                Table t;
                t.header = b.header;
                t.rows.reserve(b.rows.size());
                for (const auto& row : b.rows) t.rows.push_back(&row);
                return Item{std::move(t)};
            } else {
                Columns c;
                if (depth < MAX_COLUMN_NESTING) {
                    c.items.reserve(b.blocks.size());
                    for (const Block& inner : b.blocks) c.items.push_back(from_block(inner, depth + 1));
                }
                return Item{std::move(c)};
            }
        },
        block.value);
}

// ---- Engine ------------------------------------------------------------------------

Engine::Engine(const Theme& theme, const parts::Geometry& geometry)
    : sizes_(theme.sizes), gap_(geometry.gap), face_(metrics::Face::for_font(theme.minor_font)),
      title_face_(metrics::Face::for_font(theme.major_font)) {
    const std::uint64_t body = std::max<std::uint32_t>(theme.sizes.body, 1);
    const std::uint64_t minimum = std::uint64_t{theme.sizes.minimum} * 100;
    const std::uint32_t m = body > minimum ? 1 : static_cast<std::uint32_t>(std::min<std::uint64_t>(minimum / body, 100));
    scales_.push_back(100);
    for (std::uint32_t s = 95; s > m; s -= 5) scales_.push_back(s);
    if (m < 100) scales_.push_back(m);
}

std::uint32_t Engine::level_size(std::uint32_t level) const {
    const std::uint32_t body = sizes_.body;
    const std::uint64_t deep = std::uint64_t{level} * 4;
    const std::uint32_t by_level = deep >= body ? 0 : body - static_cast<std::uint32_t>(deep);
    return std::max<std::uint32_t>(std::max(sat_sub_u32(body, 10), by_level), 1);
}

metrics::RunStyle Engine::run_style(const Run& run, std::uint32_t level, std::uint32_t scale) const {
    metrics::RunStyle st;
    st.size_pt = scale_pt(run.size ? *run.size : level_size(level), scale);
    st.face = run.font ? metrics::Face::for_font(*run.font) : face_;
    st.bold = run.bold;
    return st;
}

std::int64_t Engine::paragraph_height(const Paragraph& p, std::int64_t width, std::uint32_t scale) const {
    const std::uint32_t level = p.level;
    std::int64_t text_width = sub(sub(width, TEXT_INSET_H), LEVEL_INDENT * level);
    if (p.bullet) text_width = sub(text_width, GAP);
    const std::uint64_t lines = metrics::line_count(
        p.runs, text_width, [&](const Run& r) { return run_style(r, level, scale); });

    std::int64_t lh = 0;
    if (p.runs.empty()) {
        lh = line_height(LINE_90, scale_pt(level_size(level), scale), face_);
    } else {
        for (const Run& r : p.runs) {
            const metrics::RunStyle st = run_style(r, level, scale);
            lh = std::max(lh, line_height(LINE_90, st.size_pt, st.face));
        }
    }
    const std::uint64_t before = p.space_before ? *p.space_before : (level == 0 ? 10 : 5);
    const std::uint64_t after = p.space_after ? *p.space_after : 0;
    const std::uint64_t spacing = std::max<std::uint64_t>(((before + after) * scale + 50) / 100, 1);
    const std::int64_t lines64 = lines > std::uint64_t{I64_MAX} ? I64_MAX : static_cast<std::int64_t>(lines);
    return add(mul(lh, lines64), mul(static_cast<std::int64_t>(spacing), 12700));
}

std::vector<std::int64_t> Engine::table_rows(std::span<const std::vector<std::string>* const> rows, bool header,
                                             std::int64_t width, std::uint32_t scale) const {
    std::vector<std::int64_t> heights;
    heights.reserve(rows.size());
    const std::uint32_t size = scale_pt(sizes_.table, scale);
    const std::int64_t columns = rows.empty() ? 1 : std::max<std::int64_t>(static_cast<std::int64_t>(rows[0]->size()), 1);
    const std::int64_t cell_width = sub(width / columns, TEXT_INSET_H);
    const std::int64_t line = line_height(LINE_100, size, face_);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const metrics::RunStyle st{size, face_, header && r == 0};
        std::uint64_t lines = 1;
        for (const std::string& cell : *rows[r]) lines = std::max(lines, metrics::line_count(cell, cell_width, st));
        const std::int64_t lines64 = lines > std::uint64_t{I64_MAX} ? I64_MAX : static_cast<std::int64_t>(lines);
        heights.push_back(add(TEXT_INSET_V, mul(line, lines64)));
    }
    return heights;
}

std::vector<std::int64_t> Engine::weights(const std::vector<Item>& columns) {
    if (columns.empty()) return {1};
    std::vector<std::int64_t> w(columns.size(), 1);
    if (columns.size() == 2) {
        const bool p0 = std::holds_alternative<Item::Picture>(columns[0].value);
        const bool p1 = std::holds_alternative<Item::Picture>(columns[1].value);
        if (p0 != p1) {
            w[0] = p0 ? 5 : 7;
            w[1] = p1 ? 5 : 7;
        }
    }
    return w;
}

std::vector<Rect> Engine::column_boxes(const std::vector<Item>& columns, const Rect& box) const {
    const std::vector<std::int64_t> w = weights(columns);
    const std::int64_t total = std::max<std::int64_t>(sum(w), 1);
    const std::int64_t k = static_cast<std::int64_t>(w.size());
    const std::int64_t usable = sub(box.cx, mul(gap_, k - 1));
    std::vector<Rect> boxes;
    boxes.reserve(w.size());
    std::int64_t x = box.x;
    for (std::int64_t wi : w) {
        const std::int64_t width = mul_div(wi, usable, total);
        boxes.push_back(Rect{x, box.y, width, box.cy});
        x = add(add(x, width), gap_);
    }
    return boxes;
}

Engine::Heights Engine::measure(const Item& item, std::int64_t width, std::uint32_t scale) const {
    return std::visit(
        [&](const auto& it) -> Heights {
            using T = std::decay_t<decltype(it)>;
            if constexpr (std::is_same_v<T, Item::Text>) {
                std::int64_t h = TEXT_INSET_V;
                for (const Paragraph& p : it.paragraphs) h = add(h, paragraph_height(p, width, scale));
                return {h, h};
            } else if constexpr (std::is_same_v<T, Item::Picture>) {
                const auto [w, h] = picture_size(it.data);
                const std::int64_t natural = mul_div(h, width, w);
                return {natural, std::min(natural, PICTURE_CLAIM)};
            } else if constexpr (std::is_same_v<T, Item::Table>) {
                const std::int64_t h = sum(table_rows(it.rows, it.header, width, scale));
                return {h, h};
            } else {
                if (it.items.empty()) return {0, 0};
                const std::vector<Rect> boxes = column_boxes(it.items, Rect{0, 0, width, 0});
                Heights out{I64_MIN, I64_MIN};
                for (std::size_t i = 0; i < it.items.size(); ++i) {
                    const Heights h = measure(it.items[i], boxes[i].cx, scale);
                    out.natural = std::max(out.natural, h.natural);
                    out.minimum = std::max(out.minimum, h.minimum);
                }
                return out;
            }
        },
        item.value);
}

std::optional<Engine::Fit> Engine::place(std::span<const Item> items, std::int64_t width, std::int64_t height) const {
    if (items.empty()) return Fit{100, {}};
    for (std::uint32_t s : scales_) {
        Fit fit{s, {}};
        fit.heights.reserve(items.size());
        std::int64_t total = mul(GAP, static_cast<std::int64_t>(items.size()) - 1);
        for (const Item& item : items) {
            fit.heights.push_back(measure(item, width, s));
            total = add(total, fit.heights.back().minimum);
        }
        if (total <= height) return fit;
    }
    return std::nullopt;
}

bool Engine::title_fits(std::string_view title, const Rect& box, std::uint32_t size_pt) const {
    const std::uint64_t lines = metrics::line_count(title, sub(box.cx, TEXT_INSET_H), {size_pt, title_face_, false});
    const std::int64_t lines64 = lines > std::uint64_t{I64_MAX} ? I64_MAX : static_cast<std::int64_t>(lines);
    return add(TEXT_INSET_V, mul(lines64, line_height(LINE_90, size_pt, title_face_))) <= box.cy;
}

std::optional<std::uint32_t> Engine::title_size(std::string_view title, const Rect& box, std::uint32_t base_pt) const {
    if (title_fits(title, box, base_pt)) return std::nullopt;
    const std::uint32_t m = std::max<std::uint32_t>(sizes_.minimum, 1);
    std::uint32_t p = base_pt;
    while (std::uint64_t{p} > std::uint64_t{m} + 2) {
        p -= 2;
        if (title_fits(title, box, p)) return p;
    }
    return m;
}

void Engine::elements(const Item& item, const Rect& box, std::uint32_t scale, bool as_body,
                      std::vector<Element>& out) const {
    std::visit(
        [&](const auto& it) {
            using T = std::decay_t<decltype(it)>;
            if constexpr (std::is_same_v<T, Item::Text>) {
                std::vector<Paragraph> paragraphs(it.paragraphs.begin(), it.paragraphs.end());
                if (scale != 100) {
                    for (Paragraph& p : paragraphs) {
                        if (p.space_before) p.space_before = scale_pt(*p.space_before, scale);
                        if (p.space_after) p.space_after = scale_pt(*p.space_after, scale);
                        for (Run& r : p.runs)
                            if (r.size) r.size = scale_pt(*r.size, scale);
                    }
                }
                if (as_body) out.push_back(Element{Element::Body{box, std::move(paragraphs), scale}});
                else out.push_back(Element{Element::TextBox{std::move(paragraphs), box, scale}});
            } else if constexpr (std::is_same_v<T, Item::Picture>) {
                const auto [w, h] = picture_size(it.data);
                const std::int64_t natural = mul_div(box.cx, h, w);
                Rect r{box.x, box.y, box.cx, natural};
                if (natural > box.cy) {
                    // Too tall for its box: scaled to the box height, centred.
                    r.cx = mul_div(box.cy, w, h);
                    r.x = add(box.x, sub(box.cx, r.cx) / 2);
                    r.cy = box.cy;
                }
                out.push_back(Element{Element::Picture{it.data, it.description, r}});
            } else if constexpr (std::is_same_v<T, Item::Table>) {
                // A table without rows or cells has no content to show.
                if (it.rows.empty() || it.rows[0]->empty()) return;
                Element::Table t;
                t.heights = table_rows(it.rows, it.header, box.cx, scale);
                t.rect = Rect{box.x, box.y, box.cx, sum(t.heights)};
                t.size_pt = scale_pt(sizes_.table, scale);
                t.header = it.header;
                t.rows.reserve(it.rows.size());
                for (const auto* row : it.rows) t.rows.push_back(*row);
                out.push_back(Element{std::move(t)});
            } else {
                const std::vector<Rect> boxes = column_boxes(it.items, box);
                for (std::size_t i = 0; i < it.items.size(); ++i) elements(it.items[i], boxes[i], scale, false, out);
            }
        },
        item.value);
}

// ---- Planning ----------------------------------------------------------------------

namespace {

struct Split {
    std::optional<Item> head, rest;
};

// How many of the leading `heights`, stacked, stay within `limit`.
std::size_t fitting(std::span<const std::int64_t> heights, std::int64_t limit) {
    std::size_t c = 0;
    std::int64_t running = 0;
    while (c < heights.size()) {
        running = add(running, heights[c]);
        if (running > limit) break;
        ++c;
    }
    return c;
}

// The height of each piece when `total` is cut into as few pieces of at most
// `limit` (> 0) as it takes, made even so the last is not a sliver.
std::int64_t even_piece(std::int64_t total, std::int64_t limit) {
    const std::int64_t pieces = add(total - 1, limit) / limit;
    return pieces >= 2 ? std::min(limit, add(total, pieces - 1) / pieces) : limit;
}

// Cuts the candidate of a page that does not hold the whole queue. `space`
// is the height left for it; an oversized first item is cut into pieces of
// even height, and always yields a non-empty head when it has content.
Split cut(const Engine& e, const Item& item, std::int64_t width, std::int64_t space, bool oversized) {
    const std::uint32_t m = e.min_scale();
    Split out;
    if (const auto* text = std::get_if<Item::Text>(&item.value)) {
        const std::span<const Paragraph> ps = text->paragraphs;
        const std::size_t k = ps.size();
        std::vector<std::int64_t> heights;
        heights.reserve(k);
        for (const Paragraph& p : ps) heights.push_back(e.paragraph_height(p, width, m));
        std::int64_t limit = sub(space, TEXT_INSET_V);
        if (oversized) limit = even_piece(sum(heights), std::max<std::int64_t>(limit, 1));
        std::size_t c = fitting(heights, limit);
        if (oversized) c = std::max<std::size_t>(c, 1);
        c = std::min(c, k);
        if (c > 0) out.head = Item{Item::Text{ps.first(c)}};
        if (c < k) out.rest = Item{Item::Text{ps.subspan(c)}};
        return out;
    }
    if (const auto* table = std::get_if<Item::Table>(&item.value)) {
        const std::size_t k = table->rows.size();
        const std::size_t h = table->header ? 1 : 0;
        const std::vector<std::int64_t> heights = e.table_rows(table->rows, table->header, width, m);
        const std::int64_t hh = h == 1 && k > 0 ? heights[0] : 0;
        const std::int64_t body = k > h ? sum(std::span(heights).subspan(h)) : 0;
        std::int64_t limit = space;
        if (oversized) limit = add(even_piece(body, std::max<std::int64_t>(sub(space, hh), 1)), hh);
        std::size_t c = fitting(heights, limit);
        c = std::max(c, h);
        if (oversized) c = std::max(c, h + 1);
        c = std::min(c, k);
        if (c <= h) {
            (oversized ? out.head : out.rest) = item;
            return out;
        }
        Item::Table head{{table->rows.begin(), table->rows.begin() + static_cast<std::ptrdiff_t>(c)}, table->header};
        out.head = Item{std::move(head)};
        if (c < k) {
            Item::Table rest;
            rest.header = table->header;
            if (h == 1) rest.rows.push_back(table->rows[0]);
            rest.rows.insert(rest.rows.end(), table->rows.begin() + static_cast<std::ptrdiff_t>(c), table->rows.end());
            out.rest = Item{std::move(rest)};
        }
        return out;
    }
    (oversized ? out.head : out.rest) = item;
    return out;
}

Layout choose_layout(const Slide& s, bool first_is_text) {
    if (s.layout) return *s.layout;
    if (!s.title) return Layout::blank;
    if (first_is_text) return Layout::title_and_content;
    return s.subtitle ? Layout::title : Layout::title_only;
}

} // namespace

std::vector<Planned> plan_slide(const Theme& theme, const parts::Geometry& g, const Slide& s) {
    const Engine e(theme, g);
    std::vector<Planned> out;

    const auto size_title = [&](Planned& p) {
        if (!s.title) return;
        if (p.layout == Layout::title)
            p.title_size = e.title_size(*s.title, p.title_rect ? *p.title_rect : g.centred_title, theme.sizes.display);
        else p.title_size = e.title_size(*s.title, g.title, theme.sizes.title);
    };
    const auto add_fixed = [&](Planned& p) {
        for (const Shape& shape : s.shapes) p.elements.push_back(Element{Element::Fixed{&shape}});
    };

    // The subtitle's own box at the top of `box`, which then keeps what is
    // left below it: one line of the theme's subtitle size per wrapped line.
    const auto place_subtitle = [&](Planned& p, Rect& box) {
        if (!s.subtitle) return;
        Paragraph line;
        line.runs.push_back(Run{.text = *s.subtitle, .size = theme.sizes.subtitle});
        line.space_before = 0;
        const std::int64_t h = add(TEXT_INSET_V, e.paragraph_height(line, box.cx, 100));
        p.subtitle_rect = Rect{box.x, box.y, box.cx, h};
        const std::int64_t taken = std::min(add(h, GAP), std::max<std::int64_t>(sub(box.cy, 1), 0));
        box.y = add(box.y, taken);
        box.cy = sub(box.cy, taken);
    };

    std::vector<Item> queue;
    if (!s.body.empty()) queue.push_back(Item{Item::Text{s.body}});
    for (const Block& b : s.blocks) queue.push_back(Item::from_block(b));

    const Rect content = s.title ? g.body : g.full_body;
    if (queue.empty()) {
        Planned p;
        p.slide = &s;
        p.notes = s.notes ? &*s.notes : nullptr;
        p.layout = s.layout ? *s.layout : !s.title ? Layout::blank : s.subtitle ? Layout::title : Layout::title_only;
        // Only the title layout has a subtitle placeholder of its own.
        if (p.layout != Layout::title) {
            Rect box = content;
            place_subtitle(p, box);
        }
        size_title(p);
        add_fixed(p);
        out.push_back(std::move(p));
        return out;
    }

    const std::uint32_t m = e.min_scale();
    bool first = true;
    while (!queue.empty()) {
        const bool first_is_text = std::holds_alternative<Item::Text>(queue.front().value);
        const std::size_t n = queue.size();
        Planned p;
        p.slide = &s;
        p.layout = choose_layout(s, first_is_text);
        // The subtitle takes the top of the content box and the content what
        // is left below it: no layout but the title layout has a place for a
        // subtitle, and there the centred title and the subtitle sit right
        // where flowed content goes, so the title moves to the top title box.
        Rect box = content;
        if (p.layout == Layout::title && s.title) p.title_rect = g.title;
        place_subtitle(p, box);
        std::vector<Item> page, next;
        std::optional<Engine::Fit> fit = e.place(queue, box.cx, box.cy);
        if (fit) {
            page = std::move(queue);
        } else {
            const std::int64_t h0 = e.measure(queue.front(), box.cx, m).minimum;
            std::size_t i = 0;
            std::int64_t space = box.cy;
            bool oversized = true;
            if (h0 <= box.cy) {
                oversized = false;
                page.push_back(std::move(queue.front()));
                std::int64_t used = h0;
                for (i = 1; i < n; ++i) {
                    const std::int64_t h = e.measure(queue[i], box.cx, m).minimum;
                    if (h > sub(sub(box.cy, used), GAP)) break;
                    used = add(add(used, GAP), h);
                    page.push_back(std::move(queue[i]));
                }
                space = sub(sub(box.cy, used), GAP);
            }
            if (i < n) {
                Split parts = cut(e, queue[i], box.cx, space, oversized);
                if (parts.head) page.push_back(std::move(*parts.head));
                if (parts.rest) next.push_back(std::move(*parts.rest));
                for (std::size_t j = i + 1; j < n; ++j) next.push_back(std::move(queue[j]));
            }
            fit = e.place(page, box.cx, box.cy);
            if (!fit) {
                fit = Engine::Fit{m, {}};
                for (const Item& item : page) fit->heights.push_back(e.measure(item, box.cx, m));
            }
        }

        std::int64_t free = mul(GAP, static_cast<std::int64_t>(std::max<std::size_t>(page.size(), 1)) - 1);
        free = sub(box.cy, free);
        for (const Engine::Heights& h : fit->heights) free = sub(free, h.minimum);
        free = std::max<std::int64_t>(free, 0);
        std::int64_t y = box.y;
        for (std::size_t k = 0; k < page.size(); ++k) {
            const Engine::Heights& h = fit->heights[k];
            const std::int64_t grow = h.natural < h.minimum ? 0 : std::min(sub(h.natural, h.minimum), free);
            const std::int64_t height = add(h.minimum, grow);
            free = sub(free, grow);
            e.elements(page[k], Rect{box.x, y, box.cx, height}, fit->scale, k == 0 && first_is_text, p.elements);
            y = add(add(y, height), GAP);
        }
        // Only the title-and-content layout has a body placeholder of its own,
        // and its box is the body's only while no subtitle sits above it.
        if (s.title && first_is_text && n == 1 && fit->scale == 100 && next.empty() && !p.elements.empty() &&
            p.layout == Layout::title_and_content && !p.subtitle_rect) {
            if (auto* body = std::get_if<Element::Body>(&p.elements.front().value)) body->rect.reset();
        }
        if (first) add_fixed(p);
        size_title(p);
        if (first && s.notes) p.notes = &*s.notes;
        out.push_back(std::move(p));
        first = false;
        queue = std::move(next);
    }
    return out;
}

} // namespace vantrell_write::layout
