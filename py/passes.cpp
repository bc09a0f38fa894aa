#include "py/passes.h"

#include "core/markdown.h"
#include "core/text.h"
#include "py/deck.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace _vantrell::passes {

namespace tk = toolkit;
namespace core = vantrell_core;
namespace doc = vantrell_core::document;

namespace {

// ---------------------------------------------------------------- ExtractReport

// A failure list as `(slide index, message)` tuples, one str for each
// message the pass stored: a cause met many times costs its text once.
PyObject* failure_list(const core::text::Failures& list) {
    tk::StrTable strs;
    return tk::to_py::list(list, [&](const std::pair<std::size_t, core::SharedText>& entry) {
        return tk::to_py::tuple(tk::to_py::u64(entry.first), strs.str(entry.second));
    });
}

struct ExtractReport;
template <core::text::Failures core::text::ExtractReport::*List>
PyObject* get_failures(const ExtractReport& r);

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
            .getters = {tk::getter<R>("failed_slides", &get_failures<&V::failed_slides>,
                                      "`(slide index, error)` for slides whose part could not be read."),
                        tk::getter<R>("failed_notes", &get_failures<&V::failed_notes>),
                        tk::getter<R>("failed_comments", &get_failures<&V::failed_comments>),
                        tk::getter<R>("failed_frames", &get_failures<&V::failed_frames>,
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

template <core::text::Failures core::text::ExtractReport::*List>
PyObject* get_failures(const ExtractReport& r) {
    return failure_list(r.v.*List);
}

// ---------------------------------------------------------------- arguments

using core::markdown::MarkdownOptions;
using core::text::TextOptions;

// One keyword flag of an option record: its published name and its member.
template <class Options>
struct Flag {
    std::string_view name;
    bool Options::*member;
};

// Every flag of each option record, in the order the signatures list them;
// the defaults they publish are the records' own.
constexpr std::array<Flag<TextOptions>, 8> TEXT_FLAGS{{
    {"notes", &TextOptions::notes},
    {"furniture", &TextOptions::furniture},
    {"hidden_shapes", &TextOptions::hidden_shapes},
    {"hidden_slides", &TextOptions::hidden_slides},
    {"alt_text", &TextOptions::alt_text},
    {"comments", &TextOptions::comments},
    {"charts", &TextOptions::charts},
    {"diagrams", &TextOptions::diagrams},
}};
constexpr std::array<Flag<MarkdownOptions>, 7> MARKDOWN_FLAGS{{
    {"headings", &MarkdownOptions::headings},
    {"notes", &MarkdownOptions::notes},
    {"comments", &MarkdownOptions::comments},
    {"hidden_slides", &MarkdownOptions::hidden_slides},
    {"hidden_shapes", &MarkdownOptions::hidden_shapes},
    {"furniture", &MarkdownOptions::furniture},
    {"images", &MarkdownOptions::images},
}};

// `head` followed by ", flag=Default" for each flag of `flags` not in
// `left_out`, and the closing parenthesis.
template <class Options, std::size_t N>
constexpr std::string flag_signature(std::string_view head, const std::array<Flag<Options>, N>& flags,
                                     std::initializer_list<std::string_view> left_out = {}) {
    Options defaults{}; // not const: GCC 12 refuses to destroy a const string in a constant expression
    std::string out(head);
    for (const Flag<Options>& f : flags) {
        if (std::ranges::find(left_out, f.name) != left_out.end()) continue;
        out += ", ";
        out += f.name;
        out += defaults.*f.member ? "=True" : "=False";
    }
    return out + ")";
}

// Converts the flags the call's signature has, in its order; false with the
// exception of the first failure set.
template <class Options, std::size_t N>
bool flags_from(const tk::Args& a, const std::array<Flag<Options>, N>& flags, Options& o) {
    for (const Flag<Options>& f : flags)
        if (!a.get_if_declared(f.name, o.*f.member)) return false;
    return true;
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
    TextOptions o;
    if (!flags_from(a, TEXT_FLAGS, o)) return nullptr;
    auto r = released_view(d.deck, [&](doc::Document& view) { return core::text::text_reporting(view, o).first; });
    if (!r) return r.error().raise();
    return tk::to_py::str(*r);
}

PyObject* text_reporting(const Document& d, const tk::Args& a) {
    TextOptions o;
    if (!flags_from(a, TEXT_FLAGS, o)) return nullptr;
    auto r = released_view(d.deck, [&](doc::Document& view) { return core::text::text_reporting(view, o); });
    if (!r) return r.error().raise();
    return tk::to_py::tuple(tk::to_py::str(r->first), tk::to_py::value(r->second.warnings()));
}

PyObject* extract(const Document& d, const tk::Args& a) {
    std::optional<std::vector<std::int64_t>> indexes;
    std::optional<std::vector<std::size_t>> at;
    TextOptions o;
    if (!a.get("indexes", indexes) || !flags_from(a, TEXT_FLAGS, o) || !positions(d, indexes, at)) return nullptr;
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
    TextOptions o;
    if (!a.get("indexes", indexes) || !flags_from(a, TEXT_FLAGS, o) || !positions(d, indexes, at)) return nullptr;
    if (!at) at = every_position(d.slide_count);
    auto r = released_view(d.deck, [&](doc::Document& view) { return core::text::slide_texts_at(view, *at, o).first; });
    if (!r) return r.error().raise();
    return tk::to_py::value(*r);
}

PyObject* markdown(const Document& d, const tk::Args& a) {
    std::optional<std::vector<std::int64_t>> indexes;
    std::optional<std::vector<std::size_t>> at;
    MarkdownOptions o;
    if (!a.get("indexes", indexes) || !flags_from(a, MARKDOWN_FLAGS, o) || !positions(d, indexes, at)) return nullptr;
    if (!at) at = every_position(d.slide_count);
    auto r = released_view(d.deck,
                           [&](doc::Document& view) { return core::markdown::markdown_at(view, *at, o).first; });
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
    TextOptions o;
    if (!flags_from(a, TEXT_FLAGS, o)) return nullptr;
    // One slide's own text: never hidden away, without notes or comments.
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
    MarkdownOptions o;
    if (!flags_from(a, MARKDOWN_FLAGS, o)) return nullptr;
    o.hidden_slides = true;
    return rerender(s, [&](const doc::Slide& sl, core::text::ExtractReport& report) {
        return core::markdown::slide_markdown(sl, o, report);
    });
}

constexpr const char* PICKS =
    " `indexes`\npicks slides by zero-based index (negatives count from the end) in\nthe written order.";

} // namespace

tk::MethodDef document_text() {
    return tk::method<tk::literal<[] { return flag_signature("text($self, *", TEXT_FLAGS); }>(), &text>(
        "The text of the whole deck: slides separated by a blank line.");
}

tk::MethodDef document_text_reporting() {
    return tk::method<tk::literal<[] { return flag_signature("text_reporting($self, *", TEXT_FLAGS); }>(),
                      &text_reporting>("The text plus one warning line per problem the reader skipped.");
}

tk::MethodDef document_extract() {
    static const std::string doc = std::string("The text plus a structured report of what was skipped.") + PICKS;
    return tk::method<tk::literal<[] { return flag_signature("extract($self, *, indexes=None", TEXT_FLAGS); }>(),
                      &extract>(doc);
}

tk::MethodDef document_slide_texts() {
    static const std::string doc = std::string("One string per slide, in order, extracted in parallel.") + PICKS;
    return tk::method<tk::literal<[] { return flag_signature("slide_texts($self, *, indexes=None", TEXT_FLAGS); }>(),
                      &slide_texts>(doc);
}

tk::MethodDef document_markdown() {
    return tk::method<tk::literal<[] { return flag_signature("markdown($self, *, indexes=None", MARKDOWN_FLAGS); }>(),
                      &markdown>("The deck as Markdown: a heading per slide, bullets, tables, images,\n"
                                 "chart tables and diagram outlines; notes and comments as block quotes on "
                                 "request.");
}

tk::MethodDef slide_text() {
    return tk::method<tk::literal<[] {
                          return flag_signature("text($self, *", TEXT_FLAGS, {"notes", "hidden_slides", "comments"});
                      }>(),
                      &slide_text_impl>("The slide's text: shapes in z-order, paragraphs one per line.");
}

tk::MethodDef slide_markdown() {
    return tk::method<tk::literal<[] {
                          return flag_signature("markdown($self, *", MARKDOWN_FLAGS, {"hidden_slides"});
                      }>(),
                      &slide_markdown_impl>("This slide as Markdown, without a trailing newline.");
}

bool register_(PyObject* module) { return tk::Class<ExtractReport>::add_to(module); }

} // namespace _vantrell::passes
