#include "core/text.h"

#include <array>
#include <limits>
#include <type_traits>
#include <variant>

#include "core/encoding.h"
#include "core/opc.h"
#include "core/package.h"

namespace vantrell_core::text {

using encoding::is_blank;
using encoding::trim;

namespace {

void add_saturating(std::uint32_t& counter, std::uint64_t n) noexcept {
    const std::uint64_t room = std::numeric_limits<std::uint32_t>::max() - counter;
    counter = n > room ? std::numeric_limits<std::uint32_t>::max() : counter + static_cast<std::uint32_t>(n);
}

void add_uri(std::vector<std::string>& uris, const std::string& uri) {
    for (const std::string& seen : uris)
        if (seen == uri) return;
    uris.push_back(uri);
}

bool is_furniture(const model::Shape& shape) noexcept {
    if (!shape.placeholder) return false;
    switch (shape.placeholder->kind.value()) {
    case model::PlaceholderKind::dt:
    case model::PlaceholderKind::sldNum:
    case model::PlaceholderKind::ftr:
    case model::PlaceholderKind::hdr:
        return true;
    default:
        return false;
    }
}

void add_line(std::string& out, std::string_view line) {
    if (!out.empty()) out += '\n';
    out += line;
}

// A cell's paragraphs on one line: breaks inside become spaces. `scratch`
// holds one paragraph's text at a time.
void append_cell_line(std::string& out, const model::Cell& cell, std::string& scratch) {
    bool any = false;
    for (const model::Paragraph& p : cell.paragraphs) {
        scratch.clear();
        p.append_text(scratch);
        if (is_blank(scratch)) continue;
        for (char& c : scratch)
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        if (any) out += ' ';
        any = true;
        out += trim(scratch);
    }
}

// Appends the table's rows as lines of `out`, whose text of this shape
// starts at `base`: a line end goes before every line but the shape's first.
void write_table(const model::Table& table, const std::string& separator, std::string& out, std::size_t base) {
    std::string scratch;
    for (const model::Row& row : table.rows) {
        const std::size_t mark = out.size();
        if (out.size() != base) out += '\n';
        bool any = false;
        bool first = true;
        for (const model::Cell& cell : row.cells) {
            if (!cell.is_origin()) continue;
            if (!first) out += separator;
            first = false;
            const std::size_t from = out.size();
            append_cell_line(out, cell, scratch);
            any = any || out.size() != from;
        }
        if (!any) out.resize(mark);
    }
}

// A frame that links outside the package shows nothing, nor does one whose
// part is `shown` already.
FrameText frame_text(const document::Slide& slide, const model::Shape& shape, document::ShownParts& shown) {
    if (const auto* c = std::get_if<model::Chart>(&shape.content)) {
        auto part = slide.chart_part(*c, &shown);
        if (!part) return fail(part.error());
        if (!part->data) return std::optional<std::string>();
        return std::optional(chart_text(*part->data));
    }
    if (const auto* d = std::get_if<model::Diagram>(&shape.content)) {
        auto part = slide.diagram_part(*d, &shown);
        if (!part) return fail(part.error());
        if (!part->data) return std::optional<std::string>();
        return std::optional(diagram_text(*part->data));
    }
    return std::optional<std::string>();
}

} // namespace

// ---------------------------------------------------------------------------
// ExtractReport

std::vector<std::string> ExtractReport::warnings() const {
    std::vector<std::string> out;
    auto lines = [&](const Failures& list, const char* what) {
        for (const auto& [index, message] : list)
            out.push_back("slide " + std::to_string(index + 1) + ": " + what + ": " + message);
    };
    lines(failed_slides, "unreadable");
    lines(failed_notes, "notes unreadable");
    lines(failed_comments, "comments unreadable");
    lines(failed_frames, "chart or diagram unreadable");
    if (unknown_graphics > 0) {
        std::string line = std::to_string(unknown_graphics) + " graphic frame(s) of unknown type skipped: ";
        for (std::size_t i = 0; i < unknown_graphic_uris.size(); ++i) {
            if (i > 0) line += ", ";
            line += unknown_graphic_uris[i];
        }
        out.push_back(std::move(line));
    }
    return out;
}

bool ExtractReport::is_complete() const noexcept {
    return failed_slides.empty() && failed_notes.empty() && failed_comments.empty() && failed_frames.empty() &&
           unknown_graphics == 0;
}

void ExtractReport::merge(const ExtractReport& other) {
    failed_slides.insert(failed_slides.end(), other.failed_slides.begin(), other.failed_slides.end());
    failed_notes.insert(failed_notes.end(), other.failed_notes.begin(), other.failed_notes.end());
    failed_comments.insert(failed_comments.end(), other.failed_comments.begin(), other.failed_comments.end());
    failed_frames.insert(failed_frames.end(), other.failed_frames.begin(), other.failed_frames.end());
    for (const std::string& uri : other.unknown_graphic_uris) add_uri(unknown_graphic_uris, uri);
    add_saturating(hidden_slides_skipped, other.hidden_slides_skipped);
    add_saturating(unknown_graphics, other.unknown_graphics);
    add_saturating(unknown_elements, other.unknown_elements);
}

void ExtractReport::merge(const slide::SlideReport& parsed) {
    for (const std::string& uri : parsed.unknown_graphic_uris) add_uri(unknown_graphic_uris, uri);
    add_saturating(unknown_graphics, parsed.unknown_graphic_uris.size());
    add_saturating(unknown_elements, parsed.unknown_elements);
}

// ---------------------------------------------------------------------------
// Helpers

std::string join_non_empty(std::span<const std::string> texts, std::string_view glue) {
    std::size_t total = 0;
    for (const std::string& t : texts) total += t.size() + glue.size();
    std::string out;
    out.reserve(total + 1);  // room for a closing line end
    for (const std::string& t : texts) {
        if (t.empty()) continue;
        if (!out.empty()) out += glue;
        out += t;
    }
    return out;
}

std::vector<const model::Shape*> shown_shapes(const model::SlideContent& content, bool hidden_shapes,
                                              bool furniture) {
    std::vector<const model::Shape*> out;
    std::vector<const model::Shape*> stack;
    // Room for the top level, which is most trees whole.
    out.reserve(content.shapes.size());
    stack.reserve(content.shapes.size());
    for (auto it = content.shapes.rbegin(); it != content.shapes.rend(); ++it) stack.push_back(&*it);
    while (!stack.empty()) {
        const model::Shape* shape = stack.back();
        stack.pop_back();
        if (shape->hidden && !hidden_shapes) continue;
        if (!furniture && is_furniture(*shape)) continue;
        out.push_back(shape);
        if (const model::Group* g = shape->group())
            for (auto it = g->children.rbegin(); it != g->children.rend(); ++it) stack.push_back(&*it);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Rendering

// The relationships of a slide without a package; made when the library is
// loaded, not on first use, which a fork() child could find half made.
const std::shared_ptr<const opc::Relationships> NO_RELS = std::make_shared<const opc::Relationships>();

std::shared_ptr<const opc::Relationships> slide_rels(const document::Slide& slide, ExtractReport& report) {
    package::Package* pkg = slide.view ? slide.view->package() : nullptr;
    if (!pkg) return NO_RELS;
    auto rels = pkg->rels(slide.part);
    if (!rels) {
        report.failed_slides.emplace_back(slide.index, rels.error().message());
        return nullptr;
    }
    return std::move(*rels);
}

bool refers_to_part(const model::Shape& shape) {
    return std::visit(
        [](const auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, model::Picture>) return c.embed || c.link;
            else if constexpr (std::is_same_v<T, model::Chart> || std::is_same_v<T, model::ContentPart>)
                return c.rel_id.has_value();
            else if constexpr (std::is_same_v<T, model::Diagram>) return c.data.has_value();
            else if constexpr (std::is_same_v<T, model::Ole>) return c.rel_id || c.preview;
            else return false;
        },
        shape.content);
}

bool refers_to_parts(const model::SlideContent& content) {
    for (const model::Shape& s : content.walk())
        if (refers_to_part(s)) return true;
    return false;
}

std::string chart_text(const chart::ChartData& chart) {
    std::string out;
    for (const auto* title : {&chart.title, &chart.category_axis_title, &chart.value_axis_title})
        if (*title && !is_blank(**title)) add_line(out, trim(**title));
    for (const chart::Series& series : chart.series) {
        if (series.name && !is_blank(*series.name)) add_line(out, trim(*series.name));
        const std::size_t n = std::max(series.categories.size(), series.values.size());
        for (std::size_t i = 0; i < n; ++i) {
            const std::string cat_shown = chart::shown_category(chart, series, i);
            const std::string value_shown = chart::shown_value(chart, series, i);
            const std::string_view cat = trim(cat_shown);
            const std::string_view value = trim(value_shown);
            if (value.empty() && cat.empty()) continue;
            std::string line(cat);
            if (!cat.empty() && !value.empty()) line += ": ";
            line += value;
            add_line(out, line);
        }
    }
    return out;
}

std::string diagram_text(const diagram::DiagramData& diagram) {
    std::string out;
    for (const auto& item : diagram.items)
        if (!is_blank(item.second)) add_line(out, item.second);
    return out;
}

void write_content_text(const model::SlideContent& content, const TextOptions& options,
                        const FrameCallback& frame, std::string& out) {
    for (const model::Shape* shape : shown_shapes(content, options.hidden_shapes, options.furniture)) {
        // The shape's text goes straight into `out`, after a line end when
        // `out` already holds text; both are taken back when it gives none.
        const std::size_t mark = out.size();
        if (!out.empty()) out += '\n';
        const std::size_t base = out.size();
        if (const model::TextBody* body = shape->text_body()) {
            // Each paragraph goes in place and is taken back when blank.
            for (const model::Paragraph& p : body->paragraphs) {
                const std::size_t before = out.size();
                if (out.size() != base) out += '\n';
                const std::size_t from = out.size();
                p.append_text(out);
                if (is_blank(std::string_view(out).substr(from))) out.resize(before);
            }
        } else if (const model::Table* table = shape->table()) {
            write_table(*table, options.separator, out, base);
        } else if ((std::holds_alternative<model::Chart>(shape->content) && options.charts) ||
                   (std::holds_alternative<model::Diagram>(shape->content) && options.diagrams)) {
            if (frame) {
                FrameText t = frame(*shape);
                if (t && *t && !is_blank(**t)) out += **t;
            }
        }
        if (out.size() != base) continue;
        out.resize(mark);
        if (options.alt_text && shape->description && !is_blank(*shape->description))
            add_line(out, trim(*shape->description));
    }
}

std::string slide_text_reporting(const document::Slide& slide, const TextOptions& options,
                                 ExtractReport& report) {
    std::string out;
    if (!slide.content.shown && !options.hidden_slides) {
        add_saturating(report.hidden_slides_skipped, 1);
        return out;
    }
    report.merge(slide.report);
    if (refers_to_parts(slide.content)) slide_rels(slide, report);
    document::ShownParts shown;
    const FrameCallback frame = [&](const model::Shape& shape) -> FrameText {
        FrameText t = frame_text(slide, shape, shown);
        if (!t) report.failed_frames.emplace_back(slide.index, t.error().message());
        return t;
    };
    write_content_text(slide.content, options, frame, out);

    if (options.notes) {
        auto notes = slide.notes_text();
        if (!notes) report.failed_notes.emplace_back(slide.index, notes.error().message());
        else if (*notes && !is_blank(**notes)) add_line(out, "Notes: " + std::string(trim(**notes)));
    }
    if (options.comments) {
        auto list = slide.comments(document::Naming::first_slide);
        if (!list) {
            report.failed_comments.emplace_back(slide.index, list.error().message());
        } else {
            for (const comments::Comment& c : *list) {
                std::string line = c.reply ? "Reply" : "Comment";
                if (c.author && !is_blank(*c.author)) line += " from " + std::string(trim(*c.author));
                line += ": ";
                line += trim(c.text);
                add_line(out, line);
            }
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Passes

std::pair<std::vector<std::string>, ExtractReport> slide_texts_at(document::Document& doc,
                                                                  std::span<const std::size_t> positions,
                                                                  const TextOptions& options) {
    auto results = doc.map_slides_at(positions, [&](document::Document& view, std::size_t position) {
        std::pair<std::string, ExtractReport> r;
        auto slide = view.slide(position, vantrell_core::slide::Detail::plain);
        if (!slide) r.second.failed_slides.emplace_back(position, slide.error().message());
        else r.first = slide_text_reporting(*slide, options, r.second);
        return r;
    });
    std::pair<std::vector<std::string>, ExtractReport> out;
    out.first.reserve(results.size());
    for (auto& [text, report] : results) {
        out.first.push_back(std::move(text));
        out.second.merge(report);
    }
    return out;
}

std::pair<std::string, ExtractReport> text_reporting(document::Document& doc, const TextOptions& options) {
    std::vector<std::size_t> positions(doc.slide_count());
    for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
    auto [texts, report] = slide_texts_at(doc, positions, options);
    return {join_non_empty(texts, "\n\n"), std::move(report)};
}

} // namespace vantrell_core::text

namespace vantrell_core::document {

std::string Slide::text_reporting(const text::TextOptions& options, text::ExtractReport& report) const {
    return text::slide_text_reporting(*this, options, report);
}

std::pair<std::string, text::ExtractReport> Document::text_reporting(const text::TextOptions& options) {
    return text::text_reporting(*this, options);
}

std::pair<std::vector<std::string>, text::ExtractReport> Document::slide_texts_at(
    std::span<const std::size_t> positions, const text::TextOptions& options) {
    return text::slide_texts_at(*this, positions, options);
}

} // namespace vantrell_core::document
