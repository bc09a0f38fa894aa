#include "core/text.h"

#include <algorithm>
#include <array>
#include <functional>
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

// Between two slides' texts in a deck's.
constexpr std::string_view SLIDE_GLUE = "\n\n";

void add_saturating(std::uint32_t& counter, std::uint64_t n) noexcept {
    const std::uint64_t room = std::numeric_limits<std::uint32_t>::max() - counter;
    counter = n > room ? std::numeric_limits<std::uint32_t>::max() : counter + static_cast<std::uint32_t>(n);
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
// False when the meter refused a row.
bool write_table(const model::Table& table, const std::string& separator, std::string& out, std::size_t base,
                 Meter* meter) {
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
        else if (meter && !meter->check()) return false;
    }
    return true;
}

// What a warning line calls a kind of part.
const char* shown_what(document::Shown kind) noexcept {
    switch (kind) {
    case document::Shown::notes: return "notes";
    case document::Shown::chart: return "chart";
    case document::Shown::diagram: return "diagram";
    case document::Shown::comments:
    case document::Shown::modern_comments: break;
    }
    return "comments";
}

// The allowance as a line shows it, in MiB, with one decimal unless whole.
std::string mib(std::uint64_t nbytes) {
    constexpr std::uint64_t MIB = std::uint64_t{1} << 20;
    if (nbytes % MIB == 0) return std::to_string(nbytes / MIB);
    const std::uint64_t tenths = (nbytes * 10 + MIB - 1) / MIB;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

} // namespace

// ---------------------------------------------------------------------------
// ExtractReport

std::vector<std::string> ExtractReport::warnings() const {
    std::vector<std::string> out;
    // One line per cause, first met first: a message shared by many
    // occurrences is compared once by its text.
    auto lines = [&](const Failures& list, const char* what) {
        struct Cause {
            std::size_t first;
            const std::string* text;
            std::uint64_t times = 0;
            std::unordered_set<std::size_t, hash::NumberHasher> slides;
        };
        std::vector<Cause> causes;
        std::unordered_map<const std::string*, std::size_t> by_identity;
        std::unordered_map<std::string_view, std::size_t, hash::Hasher, std::equal_to<>> by_text;
        for (const auto& [index, message] : list) {
            if (!message) continue;
            auto it = by_identity.find(message.get());
            if (it == by_identity.end()) {
                const auto [at, fresh] = by_text.try_emplace(*message, causes.size());
                if (fresh) causes.push_back({index, message.get()});
                it = by_identity.emplace(message.get(), at->second).first;
            }
            Cause& cause = causes[it->second];
            ++cause.times;
            cause.slides.insert(index);
        }
        for (const Cause& c : causes) {
            std::string line = "slide " + std::to_string(c.first + 1);
            if (c.slides.size() > 1) line += " and " + std::to_string(c.slides.size() - 1) + " more slide(s)";
            line += ": ";
            line += what;
            if (c.times > c.slides.size()) line += " " + std::to_string(c.times) + " time(s)";
            line += ": ";
            line += *c.text;
            out.push_back(std::move(line));
        }
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
    for (const auto& [what, slides] : left_out)
        out.push_back(what + " left out on " + std::to_string(slides) +
                      " slide(s): repeated content past the allowance of " + mib(allowance_nbytes) + " MiB");
    if (cut_slides > 0)
        out.push_back("output cut on " + std::to_string(cut_slides) + " slide(s): past the bound of " +
                      mib(bound_nbytes) + " MiB");
    if (dropped_slides > 0)
        out.push_back(std::to_string(dropped_slides) + " listed slide(s) dropped: no readable part");
    return out;
}

bool ExtractReport::is_complete() const noexcept {
    return failed_slides.empty() && failed_notes.empty() && failed_comments.empty() && failed_frames.empty() &&
           unknown_graphics == 0 && left_out.empty() && cut_slides == 0 && dropped_slides == 0;
}

void ExtractReport::leave_out(std::string_view what, std::uint64_t allowance) {
    allowance_nbytes = std::max(allowance_nbytes, allowance);
    for (const auto& entry : left_out)
        if (entry.first == what) return;
    left_out.emplace_back(std::string(what), 1);
}

void ExtractReport::cut(std::uint64_t bound) {
    bound_nbytes = std::max(bound_nbytes, bound);
    cut_slides = std::max<std::uint32_t>(cut_slides, 1);
}

void ExtractReport::add_uri(const std::string& uri) {
    if (uri_index.size() != unknown_graphic_uris.size())
        uri_index = hash::StringSet(unknown_graphic_uris.begin(), unknown_graphic_uris.end());
    if (uri_index.insert(uri).second) unknown_graphic_uris.push_back(uri);
}

void ExtractReport::merge(const ExtractReport& other) {
    failed_slides.insert(failed_slides.end(), other.failed_slides.begin(), other.failed_slides.end());
    failed_notes.insert(failed_notes.end(), other.failed_notes.begin(), other.failed_notes.end());
    failed_comments.insert(failed_comments.end(), other.failed_comments.begin(), other.failed_comments.end());
    failed_frames.insert(failed_frames.end(), other.failed_frames.begin(), other.failed_frames.end());
    for (const std::string& uri : other.unknown_graphic_uris) add_uri(uri);
    add_saturating(hidden_slides_skipped, other.hidden_slides_skipped);
    add_saturating(unknown_graphics, other.unknown_graphics);
    add_saturating(unknown_elements, other.unknown_elements);
    for (const auto& [what, slides] : other.left_out) {
        auto it = std::find_if(left_out.begin(), left_out.end(), [&](const auto& e) { return e.first == what; });
        if (it == left_out.end()) left_out.emplace_back(what, slides);
        else add_saturating(it->second, slides);
    }
    allowance_nbytes = std::max(allowance_nbytes, other.allowance_nbytes);
    add_saturating(cut_slides, other.cut_slides);
    bound_nbytes = std::max(bound_nbytes, other.bound_nbytes);
    add_saturating(dropped_slides, other.dropped_slides);
}

void ExtractReport::merge(const slide::SlideReport& parsed) {
    for (const std::string& uri : parsed.unknown_graphic_uris) add_uri(uri);
    add_saturating(unknown_graphics, parsed.unknown_graphic_uris.size());
    add_saturating(unknown_elements, parsed.unknown_elements);
}

// ---------------------------------------------------------------------------
// Meter

bool Meter::check() {
    const std::size_t size = out_.size();
    if (pass_ && size > checked_) {
        std::uint64_t owed = size - checked_;
        const std::uint64_t paid = std::min(owed, credit_);
        credit_ -= paid;
        owed -= paid;
        if (owed > 0 && !pass_->emit(owed)) {
            refused();
            return false;
        }
    } else if (pass_ && size < checked_) {
        pass_->unemit(checked_ - size);
    }
    checked_ = size;
    return true;
}

bool Meter::admit(std::uint64_t nbytes, std::uint64_t prepaid) {
    if (!check()) return false;
    if (pass_ && (pass_->cut() || (nbytes > prepaid && !pass_->emit(nbytes - prepaid)))) {
        refused();
        return false;
    }
    credit_ += nbytes;
    return true;
}

bool Meter::open() {
    if (!pass_ || !pass_->cut()) return true;
    refused();
    return false;
}

void Meter::rewind(std::size_t size) {
    if (size >= out_.size()) return;
    out_.resize(size);
    if (size < checked_) {
        if (pass_) pass_->unemit(checked_ - size);
        checked_ = size;
    }
}

bool Meter::repeat(std::string_view what, std::uint64_t nbytes) {
    if (!pass_ || nbytes == 0 || pass_->repeat(nbytes)) return true;
    if (report_) report_->leave_out(what, pass_->allowance());
    return false;
}

void Meter::refused() {
    if (out_.size() > checked_) out_.resize(checked_);
    credit_ = 0;
    if (report_) report_->cut(pass_->cut_bound());
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

std::shared_ptr<const opc::Relationships> slide_rels(const document::Slide& slide, ExtractReport& report,
                                                     document::Pass* pass) {
    package::Package* pkg = slide.view ? slide.view->package() : nullptr;
    if (!pkg) return NO_RELS;
    auto rels = pkg->rels(slide.part);
    if (!rels) {
        std::string message = rels.error().message();
        report.failed_slides.emplace_back(slide.index,
                                          pass ? pass->message(std::move(message)) : SharedText(std::move(message)));
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

namespace {

// The idx of the next point at or after `from` that either cache writes
// below its length; SIZE_MAX when none. `at` walks each cache's points.
std::size_t next_written(const chart::Cache& a, std::size_t& at_a, const chart::Cache& b, std::size_t& at_b,
                         std::size_t from) {
    const auto next = [from](const chart::Cache& c, std::size_t& at) -> std::size_t {
        while (at < c.points.size() && c.points[at].idx < from) ++at;
        return at < c.points.size() && c.points[at].idx < c.length ? static_cast<std::size_t>(c.points[at].idx)
                                                                    : SIZE_MAX;
    };
    return std::min(next(a, at_a), next(b, at_b));
}

} // namespace

void write_chart_text(const chart::ChartData& chart, Meter& meter) {
    std::string& out = meter.out();
    for (const auto* title : {&chart.title, &chart.category_axis_title, &chart.value_axis_title})
        if (*title && !is_blank(**title)) {
            add_line(out, trim(**title));
            if (!meter.check()) return;
        }
    std::string line;
    for (const chart::Series& series : chart.series) {
        if (series.name && !is_blank(*series.name)) {
            add_line(out, trim(*series.name));
            if (!meter.check()) return;
        }
        // Only written points can show anything: the gaps are skipped
        // unseen.
        std::size_t at_cat = 0, at_value = 0;
        for (std::size_t i = next_written(series.categories, at_cat, series.values, at_value, 0); i != SIZE_MAX;
             i = next_written(series.categories, at_cat, series.values, at_value, i + 1)) {
            const std::string cat_shown = chart::shown_category(chart, series, i);
            const std::string value_shown = chart::shown_value(chart, series, i);
            const std::string_view cat = trim(cat_shown);
            const std::string_view value = trim(value_shown);
            if (value.empty() && cat.empty()) continue;
            line.assign(cat);
            if (!cat.empty() && !value.empty()) line += ": ";
            line += value;
            add_line(out, line);
            if (!meter.check()) return;
        }
    }
}

void write_diagram_text(const diagram::DiagramData& diagram, Meter& meter) {
    for (const auto& item : diagram.items)
        if (!is_blank(item.second)) {
            add_line(meter.out(), item.second);
            if (!meter.check()) return;
        }
}

std::string chart_text(const chart::ChartData& chart) {
    std::string out;
    Meter meter(out);
    write_chart_text(chart, meter);
    return out;
}

std::string diagram_text(const diagram::DiagramData& diagram) {
    std::string out;
    Meter meter(out);
    write_diagram_text(diagram, meter);
    return out;
}

const document::Rendered* Showing::part(document::Shown kind, std::optional<std::size_t> index,
                                        const std::function<document::Rendered()>& make, Failures& failures) {
    if (!index) return made_here(make, failures);
    bool first = false;
    const document::Rendered* r = pass_.part(kind, *index, *slide_.view->package(), make, first);
    if (!r) return nullptr;
    if (r->error) {
        failures.emplace_back(slide_.index, r->error);
        return nullptr;
    }
    if (!first && !pass_.repeat(r->shown_nbytes())) {
        report_.leave_out(shown_what(kind), pass_.allowance());
        return nullptr;
    }
    // The first showing was paid for as the rendering was written.
    if (!meter_.admit(r->text.size(), first ? r->text.size() : 0)) return nullptr;
    return r;
}

const document::Rendered* Showing::made_here(const std::function<document::Rendered()>& make,
                                             Failures& failures) {
    scratch_ = make();
    if (scratch_.error) {
        failures.emplace_back(slide_.index, scratch_.error);
        return nullptr;
    }
    if (!meter_.admit(scratch_.text.size(), scratch_.text.size())) return nullptr;
    return &scratch_;
}

namespace {

// Renders `data` with `render` through a meter of the rendering's own.
template <class Data>
document::Rendered rendered(const Data& data, const Showing::Render<Data>& render, Showing& showing) {
    document::Rendered out;
    Meter meter(out.text, &showing.pass(), &showing.report());
    render(data, out, meter);
    meter.check();
    return out;
}

// The same for what `read` gives, or why it failed.
template <class Data>
document::Rendered rendered(const Result<Data>& read, const Showing::Render<Data>& render, Showing& showing) {
    if (!read) return document::Rendered{.error = showing.pass().message(read.error().message())};
    return rendered(*read, render, showing);
}

} // namespace

const document::Rendered* Showing::frame(const model::Shape& shape, const Render<chart::ChartData>& chart,
                                         const Render<diagram::DiagramData>& diagram) {
    const auto* c = std::get_if<model::Chart>(&shape.content);
    const auto* d = std::get_if<model::Diagram>(&shape.content);
    if (!c && !d) return nullptr;
    const std::optional<std::string>& id = c ? c->rel_id : d->data;
    // A relationship that several frames name is followed at the first:
    // its part shows there, and a failure to reach it recurs at the others.
    SharedText* failure = nullptr;
    if (id) {
        const auto [it, made] = frames_.try_emplace(*id);
        if (!made) {
            if (it->second) report_.failed_frames.emplace_back(slide_.index, it->second);
            return nullptr;
        }
        failure = &it->second;
    }
    auto target = slide_.frame_target(id);
    if (!target) {
        report_.failed_frames.emplace_back(slide_.index, message(target.error().message()));
        if (failure) *failure = report_.failed_frames.back().second;
        return nullptr;
    }
    if (!target->data) return nullptr;
    const std::string& name = *target->data;
    const std::optional<std::size_t> index = slide_.view->package()->part_index(name);
    if (index && !shown_.insert(*index).second) return nullptr;
    const std::size_t failed = report_.failed_frames.size();
    const document::Rendered* r = part(c ? document::Shown::chart : document::Shown::diagram, index, [&] {
        return c ? rendered(slide_.read_chart(name), chart, *this) : rendered(slide_.read_diagram(name), diagram, *this);
    }, report_.failed_frames);
    // A part the package lacks fails alike at every frame; one it has
    // shows at the first.
    if (failure && !index && report_.failed_frames.size() > failed) *failure = report_.failed_frames.back().second;
    return r;
}

const document::Rendered* Showing::notes(const Render<model::SlideContent>& render) {
    if (!slide_.view) return nullptr;
    // A legacy deck's notes page is its slide's own.
    if (!slide_.view->package()) {
        auto page = slide_.notes_content();
        if (!page) report_.failed_notes.emplace_back(slide_.index, message(page.error().message()));
        if (!page || !*page) return nullptr;
        return made_here([&] { return rendered(**page, render, *this); }, report_.failed_notes);
    }
    auto name = slide_.notes_part();
    if (!name) report_.failed_notes.emplace_back(slide_.index, message(name.error().message()));
    if (!name || !*name) return nullptr;
    return part(document::Shown::notes, slide_.view->package()->part_index(**name),
                [&] { return rendered(slide_.read_notes(**name), render, *this); }, report_.failed_notes);
}

const document::Rendered* Showing::comments(const Render<std::vector<comments::Comment>>& render) {
    if (!slide_.view) return nullptr;
    auto which = slide_.comments_part();
    if (!which) report_.failed_comments.emplace_back(slide_.index, message(which.error().message()));
    if (!which || !*which) return nullptr;
    const document::Slide::CommentsPart& at = **which;
    // Read before the rendering, which runs once for the pass and must not
    // wait for room in the budget.
    (void)slide_.view->shared()->comment_authors(slide_.view->package());
    return part(at.modern ? document::Shown::modern_comments : document::Shown::comments,
                slide_.view->package()->part_index(at.name),
                [&] { return rendered(slide_.read_comments(at), render, *this); }, report_.failed_comments);
}

const model::SlideContent::Copy* Showing::copy_of(const model::Shape& shape) {
    const std::vector<model::Shape>& shapes = slide_.content.shapes;
    if (!copies_indexed_) {
        copies_indexed_ = true;
        for (const model::SlideContent::Copy& c : slide_.content.copies)
            if (c.shape < shapes.size()) copies_.emplace(c.shape, &c);
    }
    // Only a top-level shape is a copy.
    const model::Shape* first = shapes.data();
    if (std::less<const model::Shape*>()(&shape, first) ||
        !std::less<const model::Shape*>()(&shape, first + shapes.size()))
        return nullptr;
    const auto it = copies_.find(static_cast<std::size_t>(&shape - first));
    return it == copies_.end() ? nullptr : it->second;
}

bool Showing::repeat_copy(const model::SlideContent::Copy& copy, std::uint64_t held_nbytes,
                          std::uint64_t shown_nbytes) {
    // Its first showing repeats only the setting texts it shows again: the
    // rest of what it holds shows once.
    const std::uint64_t once = held_nbytes - std::min(copy.repeated_nbytes, held_nbytes);
    const std::uint64_t repeated =
        pass_.first_showing(copy.source) ? shown_nbytes - std::min(once, shown_nbytes) : shown_nbytes;
    if (repeated == 0 || pass_.repeat(repeated)) return true;
    report_.leave_out("master furniture", pass_.allowance());
    return false;
}

bool Showing::keeps(const model::Shape& shape) {
    const model::SlideContent::Copy* copy = copy_of(shape);
    if (!copy) return true;
    const std::uint64_t held = model::held_nbytes(shape);
    return repeat_copy(*copy, held, held);
}

bool Showing::keeps(const model::Shape& shape, const std::function<std::uint64_t()>& show) {
    const model::SlideContent::Copy* copy = copy_of(shape);
    if (!copy) {
        show();
        return true;
    }
    if (pass_.refused(copy->source)) {
        report_.leave_out("master furniture", pass_.allowance());
        return false;
    }
    if (repeat_copy(*copy, model::held_nbytes(shape), show())) return true;
    pass_.refuse(copy->source);
    return false;
}

void write_content_text(const model::SlideContent& content, const TextOptions& options,
                        const FrameCallback& frame, std::string& out, Showing* showing) {
    Meter* meter = showing ? &showing->meter() : nullptr;
    const auto passed = [&] { return !meter || meter->check(); };
    for (const model::Shape* shape : shown_shapes(content, options.hidden_shapes, options.furniture)) {
        if (meter && !meter->open()) return;
        if (showing && !content.copies.empty() && !showing->keeps(*shape)) continue;
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
                else if (!passed()) return;
            }
        } else if (const model::Table* table = shape->table()) {
            if (!write_table(*table, options.separator, out, base, meter)) return;
        } else if ((std::holds_alternative<model::Chart>(shape->content) && options.charts) ||
                   (std::holds_alternative<model::Diagram>(shape->content) && options.diagrams)) {
            if (frame) {
                FrameText t = frame(*shape);
                if (t && *t && !is_blank(**t)) out += **t;
                if (!passed()) return;
            }
        }
        if (out.size() != base) continue;
        out.resize(mark);
        if (options.alt_text && shape->description && !is_blank(*shape->description)) {
            add_line(out, trim(*shape->description));
            if (!passed()) return;
        }
    }
}

namespace {

// What a pass shows of a part, as plain text, written into `meter`'s
// string.
void chart_rendered(const chart::ChartData& chart, document::Rendered&, Meter& meter) {
    write_chart_text(chart, meter);
}
void diagram_rendered(const diagram::DiagramData& diagram, document::Rendered&, Meter& meter) {
    write_diagram_text(diagram, meter);
}

// "Notes: " and the page's notes text (SlideContent::notes_text) trimmed,
// written a paragraph at a time; nothing when it is blank.
void notes_rendered(const model::SlideContent& page, document::Rendered&, Meter& meter) {
    std::string& out = meter.out();
    constexpr std::string_view LEAD = "Notes: ";
    out += LEAD;
    const std::size_t base = out.size();
    for (const model::TextBody* body : page.notes_bodies()) {
        if (out.size() != base) out += '\n';
        bool first = true;
        for (const model::Paragraph& p : body->paragraphs) {
            if (!first) out += '\n';
            first = false;
            p.append_text(out);
            if (!meter.check()) return;
        }
    }
    const std::string_view written = std::string_view(out).substr(base);
    const std::string_view kept = trim(written);
    if (kept.empty()) {
        out.clear();
        return;
    }
    const auto lead = static_cast<std::size_t>(kept.data() - written.data());
    out.resize(base + lead + kept.size());
    out.erase(base, lead);
}

// An author's name is stored once and shown at each of their comments:
// every showing counts as a repeat. It is trimmed once, however many
// comments show it.
void comments_rendered(const std::vector<comments::Comment>& list, document::Rendered&, Meter& meter) {
    std::string& out = meter.out();
    std::unordered_map<const std::string*, std::string_view> trimmed;
    for (const comments::Comment& c : list) {
        if (!out.empty()) out += '\n';
        out += c.reply ? "Reply" : "Comment";
        if (c.author) {
            const auto [it, made] = trimmed.try_emplace(c.author.get());
            if (made) it->second = trim(*c.author);
            const std::string_view author = it->second;
            if (!author.empty() && meter.repeat("comment author", author.size())) {
                out += " from ";
                out += author;
            }
        }
        out += ": ";
        out += trim(c.text);
        if (!meter.check()) return;
    }
}

} // namespace

document::Pass slide_pass(const document::Slide& slide) {
    return slide.view ? document::Pass(*slide.view->shared()) : document::Pass();
}

void count_slide_part(const document::Slide& slide, document::Pass& pass) {
    const package::Package* pkg = slide.view ? slide.view->package() : nullptr;
    if (!pkg) return;
    if (const auto index = pkg->part_index(slide.part))
        pass.reads().add(*index, std::min(pkg->parts()[*index].size, package::MAX_XML_PART_NBYTES));
}

std::string slide_text_reporting(const document::Slide& slide, const TextOptions& options,
                                 ExtractReport& report) {
    document::Pass pass = slide_pass(slide);
    std::optional<document::Document::Metering> metering;
    if (slide.view) metering.emplace(*slide.view, pass);
    return slide_text_reporting(slide, options, report, pass);
}

std::string slide_text_reporting(const document::Slide& slide, const TextOptions& options, ExtractReport& report,
                                 document::Pass& pass) {
    std::string out;
    if (!slide.content.shown && !options.hidden_slides) {
        add_saturating(report.hidden_slides_skipped, 1);
        return out;
    }
    count_slide_part(slide, pass);
    report.merge(slide.report);
    if (refers_to_parts(slide.content)) slide_rels(slide, report, &pass);
    Meter meter(out, &pass, &report);
    Showing showing(slide, pass, report, meter);
    const FrameCallback frame = [&](const model::Shape& shape) -> FrameText {
        const document::Rendered* r = showing.frame(shape, chart_rendered, diagram_rendered);
        if (!r) return std::optional<std::string>();
        return std::optional(r->text);
    };
    write_content_text(slide.content, options, frame, out, &showing);

    if (options.notes && meter.check())
        if (const document::Rendered* r = showing.notes(notes_rendered); r && !r->text.empty()) add_line(out, r->text);
    if (options.comments && meter.check())
        if (const document::Rendered* r = showing.comments(comments_rendered); r && !r->text.empty())
            add_line(out, r->text);
    meter.check();
    return out;
}

// ---------------------------------------------------------------------------
// Passes

std::pair<std::vector<std::string>, ExtractReport> slide_texts_at(document::Document& doc,
                                                                  std::span<const std::size_t> positions,
                                                                  const TextOptions& options) {
    document::Pass pass(*doc.shared());
    const document::Document::Metering metering(doc, pass);
    auto results = doc.map_slides_at(positions, [&](document::Document& view, std::size_t position) {
        std::pair<std::string, ExtractReport> r;
        auto slide = view.slide(position, vantrell_core::slide::Detail::plain);
        if (!slide) r.second.failed_slides.emplace_back(position, pass.message(slide.error().message()));
        else r.first = slide_text_reporting(*slide, options, r.second, pass);
        // What joins it to the next is charged with it.
        if (!r.first.empty()) Meter(r.first, &pass, &r.second).admit(SLIDE_GLUE.size());
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
    report.dropped_slides = dropped_slides(*doc.shared());
    return {join_non_empty(texts, SLIDE_GLUE), std::move(report)};
}

std::uint32_t dropped_slides(const document::Shared& shared) noexcept {
    std::size_t dropped = shared.defects.unresolved_slides.size();
    // A legacy deck's recovered slides stood in for entries already: those
    // left unresolved are lost.
    if (shared.defects.slides_recovered_from_rels && !shared.is_legacy())
        dropped -= std::min(dropped, shared.slides.size());
    return static_cast<std::uint32_t>(std::min<std::size_t>(dropped, UINT32_MAX));
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
