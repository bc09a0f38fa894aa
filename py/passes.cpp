#include "py/passes.h"

#include "core/markdown.h"
#include "core/text.h"
#include "py/deck.h"

#include <utility>
#include <vector>

namespace _vantrell::passes {

namespace tk = toolkit;
namespace core = vantrell_core;
namespace doc = vantrell_core::document;

namespace {

// ---------------------------------------------------------------- ExtractReport

struct ExtractReport {
    core::text::ExtractReport v;

    static std::string repr(const ExtractReport& r) {
        return "ExtractReport(complete=" + tk::repr::flag(r.v.is_complete()) +
               ", warnings=" + tk::repr::number(r.v.warnings().size()) + ")";
    }

    static const tk::ClassDef<ExtractReport>& definition() {
        using R = ExtractReport;
        using V = core::text::ExtractReport;
        static const tk::ClassDef<R> def{
            .name = "vantrell.ExtractReport",
            .doc = "What text extraction skipped or could not read.",
            .getters = {tk::member<&R::v, &V::failed_slides>(
                            "failed_slides", "`(slide index, error)` for slides whose part could not be read."),
                        tk::member<&R::v, &V::failed_notes>("failed_notes"),
                        tk::member<&R::v, &V::failed_comments>("failed_comments"),
                        tk::member<&R::v, &V::failed_frames>("failed_frames",
                                                             "Chart or diagram parts that could not be read."),
                        tk::member<&R::v, &V::hidden_slides_skipped>(
                            "hidden_slides_skipped", "Hidden slides left out because the options excluded them."),
                        tk::member<&R::v, &V::unknown_graphics>("unknown_graphics"),
                        tk::member<&R::v, &V::unknown_graphic_uris>("unknown_graphic_uris"),
                        tk::member<&R::v, &V::unknown_elements>("unknown_elements"),
                        tk::member<&R::v, &V::is_complete>(
                            "is_complete", "True when nothing was dropped for a reason other than the options."),
                        tk::member<&R::v, &V::warnings>("warnings", "One line per problem, as the CLI prints them.")},
            .repr = &repr,
        };
        return def;
    }
};

// ---------------------------------------------------------------- arguments

// The flags in signature order; false with the exception of the first
// failure set.
bool text_options(const tk::Args& a, core::text::TextOptions& o) {
    o.separator = "\t";
    return a.get("notes", o.notes) && a.get("furniture", o.furniture) && a.get("hidden_shapes", o.hidden_shapes) &&
           a.get("hidden_slides", o.hidden_slides) && a.get("alt_text", o.alt_text) &&
           a.get("comments", o.comments) && a.get("charts", o.charts) && a.get("diagrams", o.diagrams);
}

bool markdown_options(const tk::Args& a, core::markdown::MarkdownOptions& o) {
    return a.get("headings", o.headings) && a.get("notes", o.notes) && a.get("comments", o.comments) &&
           a.get("hidden_slides", o.hidden_slides) && a.get("hidden_shapes", o.hidden_shapes) &&
           a.get("furniture", o.furniture) && a.get("images", o.images);
}

// `indexes` (none when None or absent) as slide positions, written order and
// repeats kept. Runs after every argument is converted, so a badly typed flag
// is reported before a bad index. False with IndexError set.
bool positions(const Document& d, const std::optional<std::vector<std::int64_t>>& indexes,
               std::optional<std::vector<std::size_t>>& out) {
    if (!indexes) return true;
    std::vector<std::size_t> resolved;
    resolved.reserve(indexes->size());
    for (const std::int64_t i : *indexes) {
        const std::optional<std::size_t> p = Document::resolve_index(d.slide_count, i);
        if (!p) return false;
        resolved.push_back(*p);
    }
    out = std::move(resolved);
    return true;
}

// ---------------------------------------------------------------- Document

PyObject* text(const Document& d, const tk::Args& a) {
    core::text::TextOptions o;
    if (!text_options(a, o)) return nullptr;
    auto r = released_view(d.deck, [&](doc::Document& view) { return core::text::text_reporting(view, o).first; });
    if (!r) return r.error().raise();
    return tk::to_py::str(*r);
}

PyObject* text_reporting(const Document& d, const tk::Args& a) {
    core::text::TextOptions o;
    if (!text_options(a, o)) return nullptr;
    auto r = released_view(d.deck, [&](doc::Document& view) { return core::text::text_reporting(view, o); });
    if (!r) return r.error().raise();
    return tk::to_py::tuple(tk::to_py::str(r->first), tk::to_py::value(r->second.warnings()));
}

PyObject* extract(const Document& d, const tk::Args& a) {
    std::optional<std::vector<std::int64_t>> indexes;
    std::optional<std::vector<std::size_t>> at;
    core::text::TextOptions o;
    if (!a.get("indexes", indexes) || !text_options(a, o) || !positions(d, indexes, at)) return nullptr;
    auto r = released_view(d.deck, [&](doc::Document& view) {
        if (!at) return core::text::text_reporting(view, o);
        auto [texts, report] = core::text::slide_texts_at(view, *at, o);
        return std::pair(core::text::join_non_empty(texts, "\n\n"), std::move(report));
    });
    if (!r) return r.error().raise();
    return tk::to_py::tuple(tk::to_py::str(r->first),
                            tk::Class<ExtractReport>::create(ExtractReport{std::move(r->second)}));
}

PyObject* slide_texts(const Document& d, const tk::Args& a) {
    std::optional<std::vector<std::int64_t>> indexes;
    std::optional<std::vector<std::size_t>> at;
    core::text::TextOptions o;
    if (!a.get("indexes", indexes) || !text_options(a, o) || !positions(d, indexes, at)) return nullptr;
    if (!at) at = every_position(d.slide_count);
    auto r = released_view(d.deck, [&](doc::Document& view) { return core::text::slide_texts_at(view, *at, o).first; });
    if (!r) return r.error().raise();
    return tk::to_py::value(*r);
}

PyObject* markdown(const Document& d, const tk::Args& a) {
    std::optional<std::vector<std::int64_t>> indexes;
    std::optional<std::vector<std::size_t>> at;
    core::markdown::MarkdownOptions o;
    if (!a.get("indexes", indexes) || !markdown_options(a, o) || !positions(d, indexes, at)) return nullptr;
    if (!at) at = every_position(d.slide_count);
    auto r = released_view(d.deck, [&](doc::Document& view) { return core::markdown::markdown_at(view, *at, o).first; });
    if (!r) return r.error().raise();
    return tk::to_py::str(*r);
}

// ---------------------------------------------------------------- Slide

// Reads the slide again through a fresh view with the lock released and
// renders it with `render(slide, report)`; rendering needs only the text
// detail of a parse.
template <class Render>
PyObject* rerender(const Slide& s, Render render) {
    auto r = released_slide(s, core::slide::Detail::text, [&](const doc::Slide& slide) -> core::Result<std::string> {
        core::text::ExtractReport report;
        return render(slide, report);
    });
    if (!tk::succeeded(r)) return nullptr;
    return tk::to_py::str(**r);
}

PyObject* slide_text_impl(const Slide& s, const tk::Args& a) {
    core::text::TextOptions o;
    if (!a.get("furniture", o.furniture) || !a.get("hidden_shapes", o.hidden_shapes) ||
        !a.get("alt_text", o.alt_text) || !a.get("charts", o.charts) || !a.get("diagrams", o.diagrams))
        return nullptr;
    o.hidden_slides = true;
    o.notes = false;
    o.comments = false;
    if (o.charts || o.diagrams)
        return rerender(s, [&](const doc::Slide& sl, core::text::ExtractReport& report) {
            return core::text::slide_text_reporting(sl, o, report);
        });
    std::string out;
    core::text::write_content_text(s.content, o, [](const core::model::Shape&) -> core::text::FrameText {
        return std::optional<std::string>();
    }, out);
    return tk::to_py::str(out);
}

PyObject* slide_markdown_impl(const Slide& s, const tk::Args& a) {
    core::markdown::MarkdownOptions o;
    if (!a.get("headings", o.headings) || !a.get("notes", o.notes) || !a.get("comments", o.comments) ||
        !a.get("hidden_shapes", o.hidden_shapes) || !a.get("furniture", o.furniture) || !a.get("images", o.images))
        return nullptr;
    o.hidden_slides = true;
    return rerender(s, [&](const doc::Slide& sl, core::text::ExtractReport& report) {
        return core::markdown::slide_markdown(sl, o, report);
    });
}

constexpr const char* PICKS =
    " `indexes`\npicks slides by zero-based index (negatives count from the end) in\nthe written order.";

} // namespace

tk::MethodDef document_text() {
    return tk::method<"text($self, *, notes=False, furniture=False, hidden_shapes=False, hidden_slides=True, "
                      "alt_text=False, comments=False, charts=True, diagrams=True)",
                      &text>("The text of the whole deck: slides separated by a blank line.");
}

tk::MethodDef document_text_reporting() {
    return tk::method<"text_reporting($self, *, notes=False, furniture=False, hidden_shapes=False, "
                      "hidden_slides=True, alt_text=False, comments=False, charts=True, diagrams=True)",
                      &text_reporting>("The text plus one warning line per problem the reader skipped.");
}

tk::MethodDef document_extract() {
    static const std::string doc = std::string("The text plus a structured report of what was skipped.") + PICKS;
    return tk::method<"extract($self, *, indexes=None, notes=False, furniture=False, hidden_shapes=False, "
                      "hidden_slides=True, alt_text=False, comments=False, charts=True, diagrams=True)",
                      &extract>(doc);
}

tk::MethodDef document_slide_texts() {
    static const std::string doc = std::string("One string per slide, in order, extracted in parallel.") + PICKS;
    return tk::method<"slide_texts($self, *, indexes=None, notes=False, furniture=False, hidden_shapes=False, "
                      "hidden_slides=True, alt_text=False, comments=False, charts=True, diagrams=True)",
                      &slide_texts>(doc);
}

tk::MethodDef document_markdown() {
    return tk::method<"markdown($self, *, indexes=None, headings=True, notes=False, comments=False, "
                      "hidden_slides=True, hidden_shapes=False, furniture=False, images=True)",
                      &markdown>("The deck as Markdown: a heading per slide, bullets, tables, images,\n"
                                 "chart tables and diagram outlines; notes and comments as block quotes on "
                                 "request.");
}

tk::MethodDef slide_text() {
    return tk::method<"text($self, *, furniture=False, hidden_shapes=False, alt_text=False, charts=True, "
                      "diagrams=True)",
                      &slide_text_impl>("The slide's text: shapes in z-order, paragraphs one per line.");
}

tk::MethodDef slide_markdown() {
    return tk::method<"markdown($self, *, headings=True, notes=False, comments=False, hidden_shapes=False, "
                      "furniture=False, images=True)",
                      &slide_markdown_impl>("This slide as Markdown, without a trailing newline.");
}

bool register_(PyObject* module) { return tk::Class<ExtractReport>::add_to(module); }

} // namespace _vantrell::passes
