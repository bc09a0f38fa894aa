#include "core/markdown.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

namespace vantrell_core::markdown {

namespace {

using text::is_blank;
using text::trim;

constexpr std::size_t MAX_LEVEL = 8;

// Byte classes of the per-character loops: ASCII white space, and the bytes
// a table cell rewrites.
constexpr std::uint8_t SPACE = 1, CELL = 2;
constexpr std::array<std::uint8_t, 256> BYTE_CLASS = [] {
    std::array<std::uint8_t, 256> t{};
    for (const unsigned char c : {' ', '\t', '\n', '\r', '\v', '\f'}) t[c] |= SPACE;
    for (const unsigned char c : {'|', '\n', '\r', '\t', '\v'}) t[c] |= CELL;
    return t;
}();

bool is_space(char c) noexcept { return BYTE_CLASS[static_cast<unsigned char>(c)] & SPACE; }
bool is_cell_special(char c) noexcept { return BYTE_CLASS[static_cast<unsigned char>(c)] & CELL; }

// Appends the text on one line: runs of ASCII white space become one space,
// and the ends are trimmed.
void append_one_line(std::string& out, std::string_view s) {
    const std::size_t start = out.size();
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p != end && is_space(*p)) ++p;
    // Text between the white space that has to be rewritten goes in with one
    // append; a lone space between words is already as it should be.
    const char* from = p;
    while (p != end) {
        if (!is_space(*p)) {
            ++p;
            continue;
        }
        if (*p == ' ' && end - p > 1 && !is_space(p[1])) {
            p += 2;
            continue;
        }
        out.append(from, static_cast<std::size_t>(p - from));
        while (p != end && is_space(*p)) ++p;
        if (p != end) out += ' ';
        from = p;
    }
    out.append(from, static_cast<std::size_t>(p - from));
    const std::string_view added(out.data() + start, out.size() - start);
    const std::string_view kept = trim(added);
    if (kept.size() == added.size()) return;
    const auto lead = static_cast<std::size_t>(kept.data() - added.data());
    out.resize(start + lead + kept.size());
    out.erase(start, lead);
}

std::string one_line(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_one_line(out, s);
    return out;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Appends a plain line, its marker escaped where Markdown would otherwise
// read it as a heading, quote, list item, rule or fence.
void append_escaped_line(std::string& out, std::string_view line) {
    if (line.empty()) return;
    const char c0 = line[0];
    const char c1 = line.size() > 1 ? line[1] : ' ';
    if (c0 == '#' || c0 == '>' || c0 == '`' || c0 == '~') {
        out += '\\';
    } else if ((c0 == '-' || c0 == '*' || c0 == '+' || c0 == '_' || c0 == '=') && (c1 == ' ' || c1 == c0)) {
        out += '\\';
    } else if (is_digit(c0)) {
        std::size_t i = 0;
        while (i < line.size() && is_digit(line[i])) ++i;
        if (i < line.size() && (line[i] == '.' || line[i] == ')') && (i + 1 == line.size() || line[i + 1] == ' ')) {
            out.append(line.substr(0, i));
            out += '\\';
            out.append(line.substr(i));
            return;
        }
    }
    out.append(line);
}

std::string escape_line_start(std::string_view line) {
    std::string out;
    append_escaped_line(out, line);
    return out;
}

// Cell text: breaks as "<br>", pipes escaped.
void append_cell_text(std::string& out, std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t from = i;
        while (i < s.size() && !is_cell_special(s[i])) ++i;
        out.append(s, from, i - from);
        if (i == s.size()) break;
        const char c = s[i++];
        if (c == '|') out += "\\|";
        else if (c == '\n') out += "<br>";
        else out += ' ';
    }
}

std::string cell_text(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_cell_text(out, s);
    return out;
}

// A table cell's non-blank paragraphs, trimmed, one "<br>" between them.
// `scratch` holds one paragraph's text at a time.
void append_cell(std::string& out, const model::Cell& cell, std::string& scratch) {
    bool any = false;
    for (const model::Paragraph& p : cell.paragraphs) {
        scratch.clear();
        p.append_text(scratch);
        if (is_blank(scratch)) continue;
        if (any) out += "<br>";
        any = true;
        append_cell_text(out, trim(scratch));
    }
}

void pipe_row(std::string& out, const std::vector<std::string>& cells) {
    if (!out.empty()) out += '\n';
    out += '|';
    for (const std::string& c : cells) {
        out += ' ';
        out += c;
        out += " |";
    }
}

std::string pipe_table(const std::vector<std::vector<std::string>>& rows) {
    std::string out;
    if (rows.empty() || rows[0].empty()) return out;
    pipe_row(out, rows[0]);
    pipe_row(out, std::vector<std::string>(rows[0].size(), "---"));
    for (std::size_t r = 1; r < rows.size(); ++r) pipe_row(out, rows[r]);
    return out;
}

// Blocks are separated by a blank line; an empty one is left out.
void add_block(std::string& out, std::string_view block) {
    if (block.empty()) return;
    if (!out.empty()) out += "\n\n";
    out += block;
}

// Maps written list levels to shown ones: a list starts at the margin and
// deepens one step at a time, so that skipped levels never indent an item
// far enough to read as code, while siblings stay siblings.
class Nesting {
public:
    std::size_t place(std::size_t level) {
        while (!open_.empty() && open_.back() > level) open_.pop_back();
        if (open_.empty() || open_.back() < level) open_.push_back(level);
        return open_.size() - 1;
    }
    void reset() noexcept { open_.clear(); }
    bool active() const noexcept { return !open_.empty(); }

private:
    std::vector<std::size_t> open_;  // written levels of the open items
};

// Buffers a slide's bodies share, one paragraph or line at a time.
struct Scratch {
    std::string text;  // the paragraph being added
    std::string line;  // one line of a plain paragraph
};

// The paragraphs of one text body as Markdown lines, written as a block of
// `out`: after a blank line when `out` already holds a block, and nothing
// at all when no paragraph shows.
class BodyWriter {
public:
    BodyWriter(const document::Bullets& bullets, const model::Shape& shape, std::string& out, Scratch& scratch)
        : bullets_(bullets), shape_(shape), out_(out), text_(scratch.text), line_(scratch.line), mark_(out.size()) {
        if (!out_.empty()) out_ += "\n\n";
        base_ = out_.size();
    }

    void finish() {
        if (out_.size() == base_) out_.resize(mark_);
    }

    void add(const model::Paragraph& p) {
        text_.clear();
        p.append_text(text_);
        const std::string_view t = text_;
        if (is_blank(t)) return;
        const std::size_t level = std::min<std::size_t>(p.level, MAX_LEVEL);
        using K = model::Bullet::Kind;
        const model::Bullet& bullet = bullets_.of(shape_, p);
        const bool numbered = bullet.kind == K::auto_number;
        const bool bulleted = bullet.kind == K::character || bullet.kind == K::picture;
        if (!numbered && !bulleted) {
            for (auto& n : next_number_) n.reset();
            plain(t);
            return;
        }
        const bool continues = nesting_.active();
        const std::size_t shown = nesting_.place(level);
        if (out_.size() != base_) out_ += continues ? "\n" : "\n\n";
        out_.append(shown * 2, ' ');
        if (numbered) {
            std::uint32_t n = bullet.start;
            if (next_number_[level] && scheme_[level] == bullet.text) n = *next_number_[level];
            next_number_[level] = n + 1;
            scheme_[level] = bullet.text;
            out_ += std::to_string(n);
            out_ += ". ";
        } else {
            next_number_[level].reset();
            out_ += "- ";
        }
        for (std::size_t deeper = level + 1; deeper <= MAX_LEVEL; ++deeper) next_number_[deeper].reset();
        append_one_line(out_, t);
    }

private:
    void plain(std::string_view t) {
        if (out_.size() != base_) out_ += "\n\n";
        bool first = true;
        std::size_t begin = 0;
        while (begin <= t.size()) {
            std::size_t end = t.find('\n', begin);
            if (end == std::string_view::npos) end = t.size();
            line_.clear();
            append_one_line(line_, t.substr(begin, end - begin));
            if (!line_.empty()) {
                if (!first) out_ += '\n';
                first = false;
                append_escaped_line(out_, line_);
            }
            begin = end + 1;
        }
        nesting_.reset();
    }

    const document::Bullets& bullets_;
    const model::Shape& shape_;
    std::string& out_;
    std::string& text_;
    std::string& line_;
    std::size_t mark_;  // out's size before the block
    std::size_t base_;  // where the block's own text starts
    Nesting nesting_;
    std::array<std::optional<std::uint32_t>, MAX_LEVEL + 1> next_number_{};
    std::array<std::string, MAX_LEVEL + 1> scheme_{};
};

void body_markdown(const document::Bullets& bullets, const model::Shape& shape, const model::TextBody& body,
                   std::string& out, Scratch& scratch) {
    BodyWriter w(bullets, shape, out, scratch);
    for (const model::Paragraph& p : body.paragraphs) w.add(p);
    w.finish();
}

std::string image_target(const document::ImageRef& ref) {
    std::string t = ref.part ? *ref.part : ref.external.value_or("");
    if (t.find_first_of(" ()<>") == std::string::npos) return t;
    std::string out = "<";
    for (const char c : t) {
        if (c == '<') out += "%3C";
        else if (c == '>') out += "%3E";
        else out += c;
    }
    return out + ">";
}

std::string picture_markdown(const model::Shape& shape, const document::ImageRef* ref) {
    std::string alt;
    if (shape.description)
        for (const char c : one_line(*shape.description)) {
            if (c == '[' || c == ']' || c == '\\') alt += '\\';
            alt += c;
        }
    const std::string target = ref ? image_target(*ref) : std::string();
    if (alt.empty() && target.empty()) return {};
    return "![" + alt + "](" + target + ")";
}

// Lines of `text` as one block quote, the first led by `lead`.
void quote(std::string& out, std::string_view lead, std::string_view text) {
    if (!out.empty()) out += "\n>\n";
    out += "> ";
    out += lead;
    std::size_t begin = 0;
    bool first = true;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim(text.substr(begin, end - begin));
        if (!first) out += line.empty() ? "\n>" : "\n> ";
        out += line;
        first = false;
        begin = end + 1;
    }
}

const model::Shape* title_shape(const model::SlideContent& content) {
    for (const model::Shape& s : content.walk()) {
        if (!s.placeholder) continue;
        const auto k = s.placeholder->kind.value();
        if (k == model::PlaceholderKind::title || k == model::PlaceholderKind::ctrTitle) return &s;
    }
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// Tables, charts, diagrams

std::string table_markdown(const model::Table& table) {
    std::size_t columns = 0;
    for (const model::Row& row : table.rows) columns = std::max(columns, row.cells.size());
    if (columns == 0) return {};
    // Rows are written as they are read; a vertically merged cell repeats
    // the text above it, so the previous row's cells are kept.
    std::string out;
    std::vector<std::string> above(columns), line(columns);
    std::string scratch;
    bool first = true;
    for (const model::Row& row : table.rows) {
        for (std::size_t c = 0; c < columns; ++c) {
            std::string& text = line[c];
            text.clear();
            if (c >= row.cells.size()) continue;
            const model::Cell& cell = row.cells[c];
            if (cell.h_merge) continue;
            if (cell.v_merge) {
                if (!first) text = above[c];
                continue;
            }
            append_cell(text, cell, scratch);
        }
        pipe_row(out, line);
        if (first) {
            out += "\n|";
            for (std::size_t c = 0; c < columns; ++c) out += " --- |";
        }
        first = false;
        std::swap(above, line);
    }
    return out;
}

std::string chart_markdown(const chart::ChartData& chart) {
    std::string out = "Chart";
    if (!chart.kinds.empty()) {
        out += " (";
        for (std::size_t i = 0; i < chart.kinds.size(); ++i) {
            if (i > 0) out += ", ";
            out += chart.kinds[i];
        }
        out += ')';
    }
    if (chart.title && !is_blank(*chart.title)) out += ": " + one_line(*chart.title);
    out = escape_line_start(out);
    if (chart.series.empty()) return out;

    std::size_t points = 0;
    bool have_categories = false;
    for (const chart::Series& s : chart.series) {
        points = std::max({points, s.categories.size(), s.values.size()});
        have_categories = have_categories || !s.categories.empty();
    }
    std::vector<std::vector<std::string>> rows;
    rows.reserve(points + 1);
    std::vector<std::string> header;
    header.push_back(chart.category_axis_title && !is_blank(*chart.category_axis_title)
                         ? cell_text(one_line(*chart.category_axis_title))
                         : std::string("Category"));
    for (std::size_t i = 0; i < chart.series.size(); ++i) {
        const chart::Series& s = chart.series[i];
        header.push_back(s.name && !is_blank(*s.name) ? cell_text(one_line(*s.name))
                                                      : "Series " + std::to_string(i + 1));
    }
    rows.push_back(std::move(header));
    for (std::size_t p = 0; p < points; ++p) {
        std::vector<std::string> row;
        row.reserve(chart.series.size() + 1);
        std::string category;
        if (have_categories) {
            for (const chart::Series& s : chart.series)
                if (p < s.categories.size()) {
                    category = cell_text(one_line(chart::shown_category(chart, s, p)));
                    break;
                }
        } else {
            category = std::to_string(p + 1);
        }
        row.push_back(std::move(category));
        for (const chart::Series& s : chart.series)
            row.push_back(cell_text(one_line(chart::shown_value(chart, s, p))));
        rows.push_back(std::move(row));
    }
    return out + "\n\n" + pipe_table(rows);
}

std::string diagram_markdown(const diagram::DiagramData& diagram) {
    std::string out;
    Nesting nesting;
    for (const auto& [level, item] : diagram.items) {
        const std::string t = one_line(item);
        if (t.empty()) continue;
        const std::size_t shown = nesting.place(level);
        if (!out.empty()) out += '\n';
        out.append(shown * 2, ' ');
        out += "- ";
        out += t;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Slides and decks

std::string slide_markdown(const document::Slide& slide, const MarkdownOptions& options,
                           text::ExtractReport& report) {
    const model::SlideContent& content = slide.content;
    if (!content.shown && !options.hidden_slides) {
        report.merge(text::ExtractReport{.hidden_slides_skipped = 1});
        return {};
    }
    report.merge(slide.report);

    std::string out;
    const model::Shape* title = nullptr;
    if (options.headings) {
        const std::optional<std::string> text = content.title();
        if (text) title = title_shape(content);
        out += "# ";
        if (text) append_one_line(out, *text);
        if (out.size() == 2) {
            out += "Slide ";
            out += std::to_string(slide.index + 1);
        }
    }

    const std::vector<const model::Shape*> shapes =
        text::shown_shapes(content, options.hidden_shapes, options.furniture);

    // Image references pair with pictures in walk order.
    std::unordered_map<const model::Shape*, std::size_t> image_of;
    std::vector<document::ImageRef> images;
    if (options.images && std::any_of(shapes.begin(), shapes.end(), [](const model::Shape* s) {
            return std::holds_alternative<model::Picture>(s->content);
        })) {
        if (auto refs = slide.images(false)) {
            images = std::move(*refs);
            std::size_t k = 0;
            for (const model::Shape& s : content.walk()) {
                const auto* pic = std::get_if<model::Picture>(&s.content);
                if (!pic || !(pic->embed || pic->link)) continue;
                if (k >= images.size()) break;
                image_of.emplace(&s, k++);
            }
        }
    }

    Scratch scratch;
    const document::Bullets bullets(slide);
    for (const model::Shape* shape : shapes) {
        if (shape == title) continue;
        if (const model::TextBody* body = shape->text_body()) {
            body_markdown(bullets, *shape, *body, out, scratch);
        } else if (const model::Table* table = shape->table()) {
            add_block(out, table_markdown(*table));
        } else if (std::holds_alternative<model::Picture>(shape->content)) {
            if (!options.images) continue;
            const auto it = image_of.find(shape);
            add_block(out, picture_markdown(*shape, it == image_of.end() ? nullptr : &images[it->second]));
        } else if (const auto* c = std::get_if<model::Chart>(&shape->content)) {
            auto data = text::frame_chart(slide, *c);
            if (!data) report.failed_frames.emplace_back(slide.index, data.error().message());
            else if (*data) add_block(out, chart_markdown(**data));
        } else if (const auto* d = std::get_if<model::Diagram>(&shape->content)) {
            auto data = text::frame_diagram(slide, *d);
            if (!data) report.failed_frames.emplace_back(slide.index, data.error().message());
            else if (*data) add_block(out, diagram_markdown(**data));
        }
    }

    if (options.notes) {
        auto notes = slide.notes_text();
        if (!notes) {
            report.failed_notes.emplace_back(slide.index, notes.error().message());
        } else if (*notes && !is_blank(**notes)) {
            std::string block;
            quote(block, "Notes: ", trim(**notes));
            add_block(out, block);
        }
    }
    if (options.comments) {
        auto list = slide.comments();
        if (!list) {
            report.failed_comments.emplace_back(slide.index, list.error().message());
        } else {
            std::string block;
            for (const comments::Comment& c : *list) {
                std::string lead = c.reply ? "Reply" : "Comment";
                if (c.author && !is_blank(*c.author)) lead += " from " + one_line(*c.author);
                lead += ": ";
                quote(block, lead, trim(c.text));
            }
            add_block(out, block);
        }
    }
    return out;
}

std::pair<std::string, text::ExtractReport> markdown_at(document::Document& doc,
                                                        std::span<const std::size_t> positions,
                                                        const MarkdownOptions& options) {
    auto results = doc.map_slides_at(positions, [&](document::Document& view, std::size_t position) {
        std::pair<std::string, text::ExtractReport> r;
        auto slide = view.slide(position, vantrell_core::slide::Detail::text);
        if (!slide) r.second.failed_slides.emplace_back(position, slide.error().message());
        else r.first = slide_markdown(*slide, options, r.second);
        return r;
    });
    std::pair<std::string, text::ExtractReport> out;
    std::vector<std::string> blocks;
    blocks.reserve(results.size());
    for (auto& [md, report] : results) {
        blocks.push_back(std::move(md));
        out.second.merge(report);
    }
    out.first = text::join_non_empty(blocks, "\n\n---\n\n");
    if (!out.first.empty()) out.first += '\n';
    return out;
}

} // namespace vantrell_core::markdown

namespace vantrell_core::document {

std::string Slide::markdown(const markdown::MarkdownOptions& options, text::ExtractReport& report) const {
    return markdown::slide_markdown(*this, options, report);
}

std::pair<std::string, text::ExtractReport> Document::markdown_at(std::span<const std::size_t> positions,
                                                                  const markdown::MarkdownOptions& options) {
    return markdown::markdown_at(*this, positions, options);
}

} // namespace vantrell_core::document
