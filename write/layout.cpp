#include "write/layout.h"

#include "write/image.h"

#include <algorithm>
#include <deque>
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

// A piece of one of the slide's items: text keeps its paragraphs [begin, end),
// a table its header row (when it has one) and its rows [begin, end);
// pictures and columns are never cut.
struct Piece {
    std::size_t item = 0;
    std::size_t begin = 0, end = 0;
};

struct Cut {
    std::optional<Piece> head, rest;
};

// t ↦ min(max(t + shift, lo), hi). Adding a height with saturation is one of
// these and so is any chain of them, which gives the saturated total of every
// tail of the items in one step, whatever the signs of their heights.
struct Clamp {
    Wide shift = 0;
    std::int64_t lo = I64_MIN, hi = I64_MAX;

    std::int64_t operator()(Wide t) const {
        t += shift;
        return t < lo ? lo : t > hi ? hi : static_cast<std::int64_t>(t);
    }
    // This one applied to the result of `first`.
    Clamp after(const Clamp& first) const { return Clamp{first.shift + shift, (*this)(first.lo), (*this)(first.hi)}; }
};

// The height of each piece when `total` is cut into as few pieces of at most
// `limit` (> 0) as it takes, made even so the last is not a sliver.
std::int64_t even_piece(std::int64_t total, std::int64_t limit) {
    const std::int64_t pieces = add(total - 1, limit) / limit;
    return pieces >= 2 ? std::min(limit, add(total, pieces - 1) / pieces) : limit;
}

// Measures the items of one source slide once per trial scale and keeps the
// running sums of their paragraph and row heights, so that planning all its
// continuation slides costs the content once per scale rather than once per
// slide. Text and table heights are never negative, so a saturated running
// sum is the clamped exact one and any range of it is a difference of two.
class Planner {
public:
    Planner(const Engine& e, std::span<const Item> items, std::int64_t width, std::int64_t height)
        : e_(e), items_(items), width_(width), height_(height), caches_(items.size()), tails_(e.scales().size()) {}

    std::size_t min_index() const { return e_.scales().size() - 1; }
    std::uint32_t scale(std::size_t si) const { return e_.scales()[si]; }

    Piece whole(std::size_t i) const {
        if (const auto* t = std::get_if<Item::Text>(&items_[i].value)) return {i, 0, t->paragraphs.size()};
        if (const auto* t = std::get_if<Item::Table>(&items_[i].value))
            return {i, std::min<std::size_t>(t->header ? 1 : 0, t->rows.size()), t->rows.size()};
        return {i, 0, 0};
    }

    // What `Engine::measure` gives for the piece as an item of its own.
    Engine::Heights heights(const Piece& p, std::size_t si) {
        const Item& item = items_[p.item];
        if (std::holds_alternative<Item::Text>(item.value)) {
            const std::vector<Wide>& sums = text_sums(p.item, si);
            const std::int64_t h = clamp(Wide{TEXT_INSET_V} + sums[p.end] - sums[p.begin]);
            return {h, h};
        }
        if (std::holds_alternative<Item::Table>(item.value)) {
            const RowSums* rows = table_rows(p, si);
            if (!rows) return {0, 0};
            const Wide header = std::get<Item::Table>(item.value).header ? rows->range(0, 1) : 0;
            const std::int64_t h = clamp(header + rows->range(p.begin, p.end));
            return {h, h};
        }
        Cache& c = caches_[p.item];
        if (c.whole.empty()) c.whole.resize(e_.scales().size());
        if (!c.whole[si]) c.whole[si] = e_.measure(item, width_, scale(si));
        return *c.whole[si];
    }

    // The first trial scale at which `front` and every item after it fit,
    // as `Engine::place` decides.
    std::optional<std::size_t> queue_fits(const Piece& front) {
        const std::int64_t gaps = mul(GAP, static_cast<std::int64_t>(items_.size() - front.item) - 1);
        for (std::size_t si = 0; si < tails_.size(); ++si) {
            const std::int64_t head = add(gaps, heights(front, si).minimum);
            if (tail(si, front.item + 1)(head) <= height_) return si;
        }
        return std::nullopt;
    }

    // `Engine::place` of the pieces.
    std::optional<Engine::Fit> place(std::span<const Piece> page) {
        if (page.empty()) return Engine::Fit{100, {}};
        for (std::size_t si = 0; si < tails_.size(); ++si) {
            Engine::Fit fit{scale(si), {}};
            fit.heights.reserve(page.size());
            std::int64_t total = mul(GAP, static_cast<std::int64_t>(page.size()) - 1);
            for (const Piece& p : page) {
                fit.heights.push_back(heights(p, si));
                total = add(total, fit.heights.back().minimum);
            }
            if (total <= height_) return fit;
        }
        return std::nullopt;
    }

    // Cuts the candidate of a page that does not hold the whole queue. `space`
    // is the height left for it; an oversized first item is cut into pieces of
    // even height, and always yields a non-empty head when it has content.
    Cut cut(const Piece& p, std::int64_t space, bool oversized) {
        const std::size_t m = min_index();
        const Item& item = items_[p.item];
        Cut out;
        if (std::holds_alternative<Item::Text>(item.value)) {
            const std::vector<Wide>& sums = text_sums(p.item, m);
            const std::size_t k = p.end - p.begin;
            const auto running = [&](std::size_t c) { return clamp(sums[p.begin + c] - sums[p.begin]); };
            std::int64_t limit = sub(space, TEXT_INSET_V);
            if (oversized) limit = even_piece(running(k), std::max<std::int64_t>(limit, 1));
            std::size_t c = 0;
            while (c < k && running(c + 1) <= limit) ++c;
            if (oversized) c = std::max<std::size_t>(c, 1);
            c = std::min(c, k);
            if (c > 0) out.head = Piece{p.item, p.begin, p.begin + c};
            if (c < k) out.rest = Piece{p.item, p.begin + c, p.end};
            return out;
        }
        if (const auto* table = std::get_if<Item::Table>(&item.value)) {
            const std::size_t h = table->header ? 1 : 0;
            const std::size_t k = table->rows.empty() ? 0 : h + (p.end - p.begin);
            std::int64_t hh = 0, body = 0;
            std::size_t c = 0;
            if (k > 0) {
                const RowSums& rows = *table_rows(p, m);
                hh = h == 1 ? clamp(rows.range(0, 1)) : 0;
                // The piece's rows stacked: the header row, then the body rows.
                const auto running = [&](std::size_t n) {
                    return n == 0 ? 0 : clamp(Wide{hh} + rows.range(p.begin, p.begin + (n - h)));
                };
                body = clamp(rows.range(p.begin, p.end));
                std::int64_t limit = space;
                if (oversized) limit = add(even_piece(body, std::max<std::int64_t>(sub(space, hh), 1)), hh);
                while (c < k && running(c + 1) <= limit) ++c;
            }
            c = std::max(c, h);
            if (oversized) c = std::max(c, h + 1);
            c = std::min(c, k);
            if (c <= h) {
                (oversized ? out.head : out.rest) = p;
                return out;
            }
            out.head = Piece{p.item, p.begin, p.begin + (c - h)};
            if (c < k) out.rest = Piece{p.item, p.begin + (c - h), p.end};
            return out;
        }
        (oversized ? out.head : out.rest) = p;
        return out;
    }

    // Calls `f` with the piece as an item; a whole item is passed as it is.
    template <class F>
    void with_item(const Piece& p, F&& f) const {
        const Item& item = items_[p.item];
        const Piece w = whole(p.item);
        if (w.begin == p.begin && w.end == p.end) return f(item);
        if (const auto* text = std::get_if<Item::Text>(&item.value))
            return f(Item{Item::Text{text->paragraphs.subspan(p.begin, p.end - p.begin)}});
        const auto& table = std::get<Item::Table>(item.value);
        Item::Table t;
        t.header = table.header;
        t.rows.reserve((table.header ? 1 : 0) + (p.end - p.begin));
        if (table.header) t.rows.push_back(table.rows[0]);
        t.rows.insert(t.rows.end(), table.rows.begin() + static_cast<std::ptrdiff_t>(p.begin),
                      table.rows.begin() + static_cast<std::ptrdiff_t>(p.end));
        f(Item{std::move(t)});
    }

    // The items before `item` are planned and never measured again.
    void forget_before(std::size_t item) {
        for (std::size_t i = forgotten_; i < item; ++i) caches_[i] = Cache{};
        forgotten_ = std::max(forgotten_, item);
    }

private:
    // Running sums of a table's row heights at one scale and one column
    // count, from row `base` on. The column count is that of the first row
    // of a piece (the header row, or the first body row of a table without
    // one), so it only differs between the pieces of a ragged table.
    struct RowSums {
        std::size_t scale = 0;
        std::int64_t columns = 0;
        std::size_t base = 0;
        std::vector<Wide> sums;

        Wide range(std::size_t begin, std::size_t end) const { return sums[end - base] - sums[begin - base]; }
    };

    struct Cache {
        std::vector<std::vector<Wide>> text;               // by scale index
        std::deque<RowSums> rows;                          // by scale and column count
        std::vector<std::optional<Engine::Heights>> whole; // pictures and columns, by scale index
    };

    const std::vector<Wide>& text_sums(std::size_t i, std::size_t si) {
        Cache& c = caches_[i];
        if (c.text.empty()) c.text.resize(e_.scales().size());
        std::vector<Wide>& sums = c.text[si];
        if (sums.empty()) {
            const std::span<const Paragraph> ps = std::get<Item::Text>(items_[i].value).paragraphs;
            sums.reserve(ps.size() + 1);
            sums.push_back(0);
            for (const Paragraph& para : ps) sums.push_back(sums.back() + e_.paragraph_height(para, width_, scale(si)));
        }
        return sums;
    }

    // The row sums of a table piece at one scale; none when it has no rows.
    const RowSums* table_rows(const Piece& p, std::size_t si) {
        const auto& table = std::get<Item::Table>(items_[p.item].value);
        if (table.rows.empty() || (!table.header && p.begin >= p.end)) return nullptr;
        return &row_sums(p.item, table, table.header ? 0 : p.begin, si);
    }

    const RowSums& row_sums(std::size_t i, const Item::Table& table, std::size_t first, std::size_t si) {
        const std::int64_t columns = std::max<std::int64_t>(static_cast<std::int64_t>(table.rows[first]->size()), 1);
        std::deque<RowSums>& all = caches_[i].rows;
        for (const RowSums& r : all)
            if (r.scale == si && r.columns == columns && r.base <= first) return r;
        RowSums r{si, columns, first, {}};
        const std::span<const std::vector<std::string>* const> rows = std::span(table.rows).subspan(first);
        const std::vector<std::int64_t> heights = e_.table_rows(rows, table.header, width_, scale(si));
        r.sums.reserve(heights.size() + 1);
        r.sums.push_back(0);
        for (std::int64_t h : heights) r.sums.push_back(r.sums.back() + h);
        all.push_back(std::move(r));
        return all.back();
    }

    // The saturated sum, from a start value, of the minimum heights of the
    // items from `from` on at one scale. Built from the end as far back as
    // first asked; later questions only ask about later items.
    const Clamp& tail(std::size_t si, std::size_t from) {
        Tails& t = tails_[si];
        if (t.clamps.empty()) {
            t.clamps.resize(items_.size() + 1);
            t.from = items_.size();
        }
        for (; t.from > from; --t.from) {
            const std::int64_t h = heights(whole(t.from - 1), si).minimum;
            t.clamps[t.from - 1] = t.clamps[t.from].after(Clamp{h, I64_MIN, I64_MAX});
        }
        return t.clamps[from];
    }

    struct Tails {
        std::vector<Clamp> clamps;
        std::size_t from = 0;
    };

    const Engine& e_;
    std::span<const Item> items_;
    std::int64_t width_, height_;
    std::vector<Cache> caches_;
    std::vector<Tails> tails_;
    std::size_t forgotten_ = 0;
};

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
    const auto place_subtitle = [&](std::optional<Rect>& rect, Rect& box) {
        if (!s.subtitle) return;
        Paragraph line;
        line.runs.push_back(Run{.text = *s.subtitle, .size = theme.sizes.subtitle});
        line.space_before = 0;
        const std::int64_t h = add(TEXT_INSET_V, e.paragraph_height(line, box.cx, 100));
        rect = Rect{box.x, box.y, box.cx, h};
        const std::int64_t taken = std::min(add(h, GAP), std::max<std::int64_t>(sub(box.cy, 1), 0));
        box.y = add(box.y, taken);
        box.cy = sub(box.cy, taken);
    };

    std::vector<Item> items;
    items.reserve(s.blocks.size() + 1);
    if (!s.body.empty()) items.push_back(Item{Item::Text{s.body}});
    for (const Block& b : s.blocks) items.push_back(Item::from_block(b));

    const Rect content = s.title ? g.body : g.full_body;
    if (items.empty()) {
        Planned p;
        p.slide = &s;
        p.notes = s.notes ? &*s.notes : nullptr;
        p.layout = s.layout ? *s.layout : !s.title ? Layout::blank : s.subtitle ? Layout::title : Layout::title_only;
        // Only the title layout has a subtitle placeholder of its own.
        if (p.layout != Layout::title) {
            Rect box = content;
            place_subtitle(p.subtitle_rect, box);
        }
        size_title(p);
        add_fixed(p);
        out.push_back(std::move(p));
        return out;
    }

    // The subtitle takes the top of the content box and the content what is
    // left below it: no layout but the title layout has a place for a
    // subtitle, and there the centred title and the subtitle sit right where
    // flowed content goes, so the title moves to the top title box.
    std::optional<Rect> subtitle_rect;
    Rect box = content;
    place_subtitle(subtitle_rect, box);

    Planner pl(e, items, box.cx, box.cy);
    const std::size_t n = items.size(), mi = pl.min_index();
    // The queue is the rest of the item `front` is a piece of, then every
    // item after it.
    std::optional<Piece> front = pl.whole(0);
    bool first = true;
    while (front) {
        const bool first_is_text = std::holds_alternative<Item::Text>(items[front->item].value);
        const std::size_t queued = n - front->item;
        Planned p;
        p.slide = &s;
        p.layout = choose_layout(s, first_is_text);
        if (p.layout == Layout::title && s.title) p.title_rect = g.title;
        p.subtitle_rect = subtitle_rect;

        std::vector<Piece> page;
        std::optional<Engine::Fit> fit;
        std::optional<Piece> next;
        if (const auto si = pl.queue_fits(*front)) {
            page.push_back(*front);
            for (std::size_t i = front->item + 1; i < n; ++i) page.push_back(pl.whole(i));
            fit = Engine::Fit{pl.scale(*si), {}};
            for (const Piece& piece : page) fit->heights.push_back(pl.heights(piece, *si));
        } else {
            const std::int64_t h0 = pl.heights(*front, mi).minimum;
            std::optional<Piece> candidate = front;
            std::int64_t space = box.cy;
            bool oversized = true;
            if (h0 <= box.cy) {
                oversized = false;
                page.push_back(*front);
                std::int64_t used = h0;
                std::size_t i = front->item + 1;
                for (; i < n; ++i) {
                    const std::int64_t h = pl.heights(pl.whole(i), mi).minimum;
                    if (h > sub(sub(box.cy, used), GAP)) break;
                    used = add(add(used, GAP), h);
                    page.push_back(pl.whole(i));
                }
                space = sub(sub(box.cy, used), GAP);
                candidate.reset();
                if (i < n) candidate = pl.whole(i);
            }
            if (candidate) {
                const Cut parts = pl.cut(*candidate, space, oversized);
                if (parts.head) page.push_back(*parts.head);
                if (parts.rest) next = parts.rest;
                else if (candidate->item + 1 < n) next = pl.whole(candidate->item + 1);
            }
            fit = pl.place(page);
            if (!fit) {
                fit = Engine::Fit{e.min_scale(), {}};
                for (const Piece& piece : page) fit->heights.push_back(pl.heights(piece, mi));
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
            pl.with_item(page[k], [&](const Item& item) {
                e.elements(item, Rect{box.x, y, box.cx, height}, fit->scale, k == 0 && first_is_text, p.elements);
            });
            y = add(add(y, height), GAP);
        }
        // Only the title-and-content layout has a body placeholder of its own,
        // and its box is the body's only while no subtitle sits above it.
        if (s.title && first_is_text && queued == 1 && fit->scale == 100 && !next && !p.elements.empty() &&
            p.layout == Layout::title_and_content && !p.subtitle_rect) {
            if (auto* body = std::get_if<Element::Body>(&p.elements.front().value)) body->rect.reset();
        }
        if (first) add_fixed(p);
        size_title(p);
        if (first && s.notes) p.notes = &*s.notes;
        out.push_back(std::move(p));
        first = false;
        front = next;
        if (front) pl.forget_before(front->item);
    }
    return out;
}

} // namespace vantrell_write::layout
