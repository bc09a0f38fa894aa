// The reading classes.
//
// A Document keeps only the deck's shared state and a few copied values;
// every call builds its own short-lived reading view, so nothing is cached
// between calls and any number of threads may use one Document, SlideIter or
// Slide at once. A Slide keeps its parsed shape tree: the getters and
// `shapes`, `paragraphs` and `tables` answer from it under the interpreter
// lock, while every method that needs another part reads the slide again
// through a fresh view with the lock released.
//
// Value classes own plain copies of library values; list and object
// attributes are converted anew on each read. A text stored once in the deck
// and shown by many objects of one call (a comment's author, a picture's
// content type or target) is shared by them, in C++ and as one Python str
// (toolkit::StrTable).
#include "py/reading.h"

#include "core/encoding.h"
#include "py/deck.h"
#include "py/model.h"
#include "py/package.h"
#include "py/passes.h"

#include <array>
#include <atomic>
#include <utility>
#include <vector>

namespace _vantrell {

namespace tk = toolkit;
namespace core = vantrell_core;
namespace cm = vantrell_core::model;
namespace doc = vantrell_core::document;

namespace {

using tk::finish;

using Grid = std::vector<std::vector<std::string>>;

// Cell texts row by row, merged-away cells left out.
Grid table_rows(const cm::Table& table) {
    Grid rows;
    rows.reserve(table.rows.size());
    for (const cm::Row& row : table.rows) {
        std::vector<std::string>& out = rows.emplace_back();
        for (const cm::Cell& cell : row.cells) {
            if (!cell.is_origin()) continue;
            std::string text;
            cm::write_text(cell.paragraphs, text);
            out.push_back(std::move(text));
        }
    }
    return rows;
}

} // namespace

// ============================================================ value classes

struct Image {
    doc::ImageRef v;
    tk::CallStrs strs;

    static std::string repr(const Image& i) {
        return "Image(shape_id=" + tk::repr::number(i.v.shape_id) + ", part=" + tk::repr::optional_text(i.v.part) +
               ", content_type=" + tk::repr::optional_text(i.v.content_type) + ")";
    }

    static const tk::ClassDef<Image>& definition() {
        using R = doc::ImageRef;
        static const tk::ClassDef<Image> def{
            .name = "vantrell.Image",
            .doc = "An image referenced from a slide.",
            .getters = {tk::member<&Image::v, &R::shape_id>("shape_id"),
                        tk::member<&Image::v, &R::rel_id>("rel_id"),
                        tk::shared_text<&Image::strs, &Image::v, &R::part>("part"),
                        tk::shared_text<&Image::strs, &Image::v, &R::content_type>("content_type"),
                        tk::shared_text<&Image::strs, &Image::v, &R::external>("external")},
            .repr = &repr,
        };
        return def;
    }
};

struct EmbeddedObject {
    doc::ObjectRef v;
    tk::CallStrs strs;

    static std::string repr(const EmbeddedObject& o) {
        return "EmbeddedObject(shape_id=" + tk::repr::number(o.v.shape_id) +
               ", prog_id=" + tk::repr::optional_text(o.v.prog_id) + ", part=" + tk::repr::optional_text(o.v.part) +
               ")";
    }

    static const tk::ClassDef<EmbeddedObject>& definition() {
        using R = doc::ObjectRef;
        using E = EmbeddedObject;
        static const tk::ClassDef<E> def{
            .name = "vantrell.EmbeddedObject",
            .doc = "An embedded object (`p:oleObj`) on a slide.",
            .getters = {tk::member<&E::v, &R::shape_id>("shape_id"),
                        tk::shared_text<&E::strs, &E::v, &R::prog_id>("prog_id"),
                        tk::member<&E::v, &R::rel_id>("rel_id"),
                        tk::shared_text<&E::strs, &E::v, &R::part>("part"),
                        tk::shared_text<&E::strs, &E::v, &R::content_type>("content_type"),
                        tk::shared_text<&E::strs, &E::v, &R::external>("external")},
            .repr = &repr,
        };
        return def;
    }
};

// How one call lists a cache: laid out by idx, its gaps as empty strings,
// or its written points alone once the gaps of the call's caches would pass
// chart::GAP_BUDGET.
struct Layout {
    bool padded_categories = true;
    bool padded_values = true;
};

// The cache as a list under its layout; the gaps share one empty str.
PyObject* cache_list(const core::chart::Cache& cache, bool padded) {
    using Point = core::chart::Cache::Point;
    if (!padded) return tk::to_py::list(cache.points, [](const Point& p) { return tk::to_py::str(p.value); });
    tk::Ref empty = tk::Ref::steal(tk::to_py::str(""));
    tk::Ref out = tk::Ref::steal(PyList_New(static_cast<Py_ssize_t>(cache.length)));
    if (!empty || !out) return nullptr;
    std::size_t next = 0;  // the first point not listed yet
    for (std::size_t i = 0; i < cache.length; ++i) {
        const bool written = next < cache.points.size() && cache.points[next].idx == i;
        PyObject* item = written ? tk::to_py::str(cache.points[next++].value) : Py_NewRef(empty.get());
        if (!item) return nullptr;
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return out.release();
}

struct ChartSeries {
    core::chart::Series v;
    Layout layout;

    static std::string repr(const ChartSeries& s) {
        const std::size_t points = s.layout.padded_values ? s.v.values.length : s.v.values.points.size();
        return "ChartSeries(name=" + tk::repr::optional_text(s.v.name) + ", points=" + tk::repr::number(points) + ")";
    }

    static PyObject* get_categories(const ChartSeries& s) {
        return cache_list(s.v.categories, s.layout.padded_categories);
    }
    static PyObject* get_values(const ChartSeries& s) { return cache_list(s.v.values, s.layout.padded_values); }

    static const tk::ClassDef<ChartSeries>& definition() {
        using S = ChartSeries;
        static const tk::ClassDef<S> def{
            .name = "vantrell.ChartSeries",
            .doc = "One series of a chart.",
            .getters = {tk::member<&S::v, &core::chart::Series::name>("name"),
                        tk::getter<S>("categories", &get_categories),
                        tk::getter<S>("values", &get_values)},
            .repr = &repr,
        };
        return def;
    }
};

// The layouts of one call's caches, in the order it lists them: each is
// padded while the gaps of all padded so far stay within the budget.
class Layouts {
public:
    Layout next(const core::chart::Series& series) {
        return {fits(series.categories), fits(series.values)};
    }

private:
    bool fits(const core::chart::Cache& cache) {
        const std::size_t gaps = cache.gaps();
        if (gaps > left_) return false;
        left_ -= gaps;
        return true;
    }
    std::size_t left_ = core::chart::GAP_BUDGET;
};

struct Chart {
    std::uint32_t shape_id = 0;
    core::chart::ChartData v;
    std::vector<Layout> layouts;  // per series

    static PyObject* get_series(const Chart& c) {
        std::size_t i = 0;
        return tk::object_list<ChartSeries>(c.v.series, [&](const core::chart::Series& s) {
            const Layout layout = i < c.layouts.size() ? c.layouts[i] : Layout{};
            ++i;
            return ChartSeries{s, layout};
        });
    }

    static std::string repr(const Chart& c) {
        return "Chart(title=" + tk::repr::optional_text(c.v.title) + ", kinds=" + tk::repr::text_list(c.v.kinds) +
               ", series=" + tk::repr::number(c.v.series.size()) + ")";
    }

    static const tk::ClassDef<Chart>& definition() {
        using D = core::chart::ChartData;
        static const tk::ClassDef<Chart> def{
            .name = "vantrell.Chart",
            .doc = "A chart on a slide: its cached words and numbers.",
            .getters = {tk::member<&Chart::shape_id>("shape_id"),
                        tk::member<&Chart::v, &D::title>("title"),
                        tk::member<&Chart::v, &D::kinds>("kinds"),
                        tk::member<&Chart::v, &D::category_axis_title>("category_axis_title"),
                        tk::member<&Chart::v, &D::value_axis_title>("value_axis_title"),
                        tk::getter<Chart>("series", &get_series)},
            .repr = &repr,
        };
        return def;
    }
};

struct Comment {
    core::comments::Comment v;
    tk::CallStrs strs;

    static std::string repr(const Comment& c) {
        return "Comment(author=" + tk::repr::optional_text(c.v.author) + ", text=" + tk::repr::text(c.v.text) +
               ", reply=" + tk::repr::flag(c.v.reply) + ")";
    }

    static const tk::ClassDef<Comment>& definition() {
        using C = core::comments::Comment;
        static const tk::ClassDef<Comment> def{
            .name = "vantrell.Comment",
            .doc = "A comment on a slide; replies follow their parent with `reply` set.",
            .getters = {tk::shared_text<&Comment::strs, &Comment::v, &C::author>("author"),
                        tk::shared_text<&Comment::strs, &Comment::v, &C::initials>("initials"),
                        tk::member<&Comment::v, &C::date>("date"),
                        tk::member<&Comment::v, &C::text>("text"),
                        tk::member<&Comment::v, &C::reply>("reply")},
            .repr = &repr,
        };
        return def;
    }
};

struct Diagram {
    std::uint32_t shape_id = 0;
    core::diagram::DiagramData v;

    static std::string repr(const Diagram& d) {
        return "Diagram(shape_id=" + tk::repr::number(d.shape_id) +
               ", items=" + tk::repr::number(d.v.items.size()) + ")";
    }

    static const tk::ClassDef<Diagram>& definition() {
        static const tk::ClassDef<Diagram> def{
            .name = "vantrell.Diagram",
            .doc = "A diagram (SmartArt) on a slide: `(level, text)` per node, depth-first.",
            .getters = {tk::member<&Diagram::shape_id>("shape_id"),
                        tk::member<&Diagram::v, &core::diagram::DiagramData::items>("items")},
            .repr = &repr,
        };
        return def;
    }
};

struct Section {
    std::string name;
    std::vector<std::size_t> slides;

    static std::string repr(const Section& s) {
        return "Section(name=" + tk::repr::text(s.name) + ", slides=" + tk::repr::number_list(s.slides) + ")";
    }

    static const tk::ClassDef<Section>& definition() {
        static const tk::ClassDef<Section> def{
            .name = "vantrell.Section",
            .doc = "A section of the slide list.",
            .getters = {tk::member<&Section::name>("name"),
                        tk::member<&Section::slides>("slides", "Zero-based slide indexes in section order.")},
            .repr = &repr,
        };
        return def;
    }
};

struct CoreProperties {
    core::properties::CoreProperties v;

    static std::string repr(const CoreProperties& c) {
        return "CoreProperties(title=" + tk::repr::optional_text(c.v.title) +
               ", creator=" + tk::repr::optional_text(c.v.creator) +
               ", modified=" + tk::repr::optional_text(c.v.modified) + ")";
    }

    static const tk::ClassDef<CoreProperties>& definition() {
        using C = CoreProperties;
        using P = core::properties::CoreProperties;
        static const tk::ClassDef<C> def{
            .name = "vantrell.CoreProperties",
            .doc = "The Core Properties part: Dublin Core and OPC metadata, as strings.",
            .getters = {tk::member<&C::v, &P::title>("title"),
                        tk::member<&C::v, &P::subject>("subject"),
                        tk::member<&C::v, &P::creator>("creator"),
                        tk::member<&C::v, &P::keywords>("keywords"),
                        tk::member<&C::v, &P::description>("description"),
                        tk::member<&C::v, &P::last_modified_by>("last_modified_by"),
                        tk::member<&C::v, &P::revision>("revision"),
                        tk::member<&C::v, &P::created>("created"),
                        tk::member<&C::v, &P::modified>("modified"),
                        tk::member<&C::v, &P::last_printed>("last_printed"),
                        tk::member<&C::v, &P::category>("category"),
                        tk::member<&C::v, &P::content_status>("content_status"),
                        tk::member<&C::v, &P::language>("language"),
                        tk::member<&C::v, &P::identifier>("identifier"),
                        tk::member<&C::v, &P::version>("version")},
            .repr = &repr,
        };
        return def;
    }
};

struct AppProperties {
    core::properties::AppProperties v;

    static std::string repr(const AppProperties& a) {
        return "AppProperties(application=" + tk::repr::optional_text(a.v.application) +
               ", slides=" + tk::repr::optional_number(a.v.slides) + ")";
    }

    static const tk::ClassDef<AppProperties>& definition() {
        using A = AppProperties;
        using P = core::properties::AppProperties;
        static const tk::ClassDef<A> def{
            .name = "vantrell.AppProperties",
            .doc = "The Extended Properties part: what the writing application recorded.",
            .getters = {tk::member<&A::v, &P::application>("application"),
                        tk::member<&A::v, &P::app_version>("app_version"),
                        tk::member<&A::v, &P::company>("company"),
                        tk::member<&A::v, &P::manager>("manager"),
                        tk::member<&A::v, &P::template_>("template"),
                        tk::member<&A::v, &P::presentation_format>("presentation_format"),
                        tk::member<&A::v, &P::slides>("slides"),
                        tk::member<&A::v, &P::notes>("notes"),
                        tk::member<&A::v, &P::hidden_slides>("hidden_slides"),
                        tk::member<&A::v, &P::words>("words"),
                        tk::member<&A::v, &P::paragraphs>("paragraphs"),
                        tk::member<&A::v, &P::total_time>("total_time"),
                        tk::member<&A::v, &P::titles_of_parts>("titles_of_parts")},
            .repr = &repr,
        };
        return def;
    }
};

// ==================================================================== Shape

struct Shape {
    std::uint32_t id = 0;
    std::string name;
    const char* kind = "unknown";
    bool hidden = false;
    std::optional<std::string> placeholder;
    std::optional<std::uint32_t> placeholder_index;
    std::optional<std::string> text;
    std::optional<std::string> description;
    std::optional<std::string> hyperlink;
    std::optional<std::array<std::int64_t, 4>> frame;
    std::int64_t rotation = 0;
    std::optional<std::string> image_rel;
    std::optional<Grid> rows;
    std::optional<cm::Table> table;
    std::optional<std::vector<cm::Paragraph>> paragraphs;
    std::vector<Shape> children;

    // Group nesting is bounded by the slide parser, so the recursion is too.
    static Shape from_core(const cm::Shape& s) {
        Shape out;
        if (const cm::TextBody* body = s.text_body()) {
            out.text.emplace();
            body->write_text(*out.text);
            out.paragraphs = body->paragraphs;
        } else if (const auto* pic = std::get_if<cm::Picture>(&s.content)) {
            out.image_rel = pic->embed ? pic->embed : pic->link;
        } else if (const cm::Group* group = s.group()) {
            out.children.reserve(group->children.size());
            for (const cm::Shape& child : group->children) out.children.push_back(from_core(child));
        } else if (const cm::Table* t = s.table()) {
            out.rows = table_rows(*t);
            out.table = *t;
        }
        out.name = s.name;
        out.kind = cm::kind_name(s.content);
        if (s.placeholder) {
            out.placeholder = s.placeholder->kind.name();
            out.placeholder_index = s.placeholder->idx;
        }
        out.description = s.description;
        out.hyperlink = s.hyperlink;
        out.id = s.id;
        out.hidden = s.hidden;
        if (s.transform) {
            out.frame = std::array<std::int64_t, 4>{s.transform->x, s.transform->y, s.transform->cx, s.transform->cy};
            out.rotation = s.transform->rotation;
        }
        return out;
    }

    static PyObject* list(const std::vector<cm::Shape>& shapes) { return tk::object_list<Shape>(shapes, &from_core); }


    static PyObject* get_table(const Shape& s) { return s.table ? model::new_table(*s.table) : tk::to_py::none(); }
    static PyObject* get_paragraphs(const Shape& s) {
        return s.paragraphs ? model::paragraphs_from_body(*s.paragraphs) : tk::to_py::none();
    }
    static PyObject* get_is_title(const Shape& s) {
        if (!s.placeholder) return tk::to_py::flag(false);
        const cm::PlaceholderKind kind = cm::PlaceholderKind::parse(*s.placeholder);
        return tk::to_py::flag(kind == cm::PlaceholderKind::title || kind == cm::PlaceholderKind::ctrTitle);
    }

    static std::string repr(const Shape& s) {
        return "Shape(id=" + tk::repr::number(s.id) + ", kind=" + tk::repr::text(s.kind) +
               ", name=" + tk::repr::text(s.name) + ")";
    }

    static const tk::ClassDef<Shape>& definition() {
        using S = Shape;
        static const tk::ClassDef<S> def{
            .name = "vantrell.Shape",
            .doc = "One node of a slide's shape tree.",
            .getters = {tk::member<&S::id>("id"),
                        tk::member<&S::name>("name"),
                        tk::member<&S::kind>("kind",
                                      "One of `text`, `picture`, `table`, `group`, `chart`, `diagram`, `ole`, "
                                      "`connector`, `content_part`, `unknown`."),
                        tk::member<&S::hidden>("hidden"),
                        tk::member<&S::placeholder>("placeholder"),
                        tk::member<&S::placeholder_index>("placeholder_index"),
                        tk::member<&S::text>("text"),
                        tk::member<&S::description>("description"),
                        tk::member<&S::hyperlink>("hyperlink"),
                        tk::member<&S::frame>("frame", "`(x, y, cx, cy)` in EMU when the shape carries a transform."),
                        tk::member<&S::rotation>("rotation"),
                        tk::member<&S::image_rel>("image_rel"),
                        tk::member<&S::rows>("rows"),
                        tk::getter<S>("table", &get_table, "The cell grid with spans and merges, for table shapes."),
                        tk::getter<S>("paragraphs", &get_paragraphs, "The paragraphs with their runs, for text shapes."),
                        tk::objects<Shape, &S::children>("children"),
                        tk::getter<S>("is_title", &get_is_title,
                                      "True when the placeholder is a title or centered title.")},
            .repr = &repr,
        };
        return def;
    }
};

// ==================================================================== Slide

Slide Slide::from_core(doc::Slide&& slide, Deck deck) {
    Slide out;
    out.part = slide.part;
    out.content = std::move(slide.content);
    out.report = std::move(slide.report);
    out.deck = std::move(deck);
    out.index = slide.index;
    return out;
}

core::Result<Slide> Slide::load(doc::Document& view, std::size_t index, const Deck& deck) {
    auto slide = view.slide(index);
    if (!slide) return core::fail(std::move(slide.error()));
    return from_core(std::move(*slide), deck);
}

namespace {

// `service` of the slide read again in full.
template <class Service>
auto reread(const Slide& s, Service service) {
    return released_slide(s, core::slide::Detail::full, service);
}

template <class Service>
PyObject* reread_optional_text(const Slide& s, Service service) {
    auto r = reread(s, service);
    return finish(r, [](const std::optional<std::string>& t) { return tk::to_py::value(t); });
}

// A list of `T`, one made by `make` from each item `service` reads off the slide.
template <class T, class Service, class Make>
PyObject* reread_list(const Slide& s, Service service, Make make) {
    auto r = reread(s, service);
    return finish(r, [&](const auto& items) { return tk::object_list<T>(items, make); });
}

} // namespace

struct SlideMethods {
    static PyObject* get_number(const Slide& s) { return tk::to_py::u64(s.index + 1); }
    static PyObject* get_hidden(const Slide& s) { return tk::to_py::flag(!s.content.shown); }
    static PyObject* get_warnings(const Slide& s) {
        std::vector<std::string> lines;
        for (const std::string& uri : s.report.unknown_graphic_uris)
            lines.push_back("graphic frame of unknown type skipped: " + uri);
        if (s.report.unknown_elements > 0)
            lines.push_back(std::to_string(s.report.unknown_elements) + " element(s) in unknown namespaces skipped");
        return tk::to_py::value(lines);
    }

    static PyObject* charts(const Slide& s, const tk::Args&) {
        Layouts layouts;
        return reread_list<Chart>(s, [](const doc::Slide& sl) { return sl.charts(); }, [&](const auto& item) {
            Chart chart{item.first, item.second, {}};
            chart.layouts.reserve(chart.v.series.size());
            for (const core::chart::Series& series : chart.v.series) chart.layouts.push_back(layouts.next(series));
            return chart;
        });
    }

    static PyObject* diagrams(const Slide& s, const tk::Args&) {
        return reread_list<Diagram>(s, [](const doc::Slide& sl) { return sl.diagrams(); },
                                    [](const auto& item) { return Diagram{item.first, item.second}; });
    }

    static PyObject* comments(const Slide& s, const tk::Args&) {
        return reread_list<Comment>(s, [](const doc::Slide& sl) { return sl.comments(); },
                                    [strs = tk::new_call_strs()](const core::comments::Comment& c) {
                                        return Comment{c, strs};
                                    });
    }

    static PyObject* embedded_objects(const Slide& s, const tk::Args&) {
        return reread_list<EmbeddedObject>(s, [](const doc::Slide& sl) { return sl.objects(); },
                                           [strs = tk::new_call_strs()](const doc::ObjectRef& o) {
                                               return EmbeddedObject{o, strs};
                                           });
    }

    static PyObject* object_bytes(const Slide& s, const tk::Args& a) {
        tk::Shared<EmbeddedObject> object;
        if (!a.get("object", object)) return nullptr;
        if (!object->v.part) return pptx_err(doc::object_not_stored(object->v, s.deck.shared->is_legacy()));
        const doc::ObjectRef ref = object->v;
        auto r = reread(s, [&](const doc::Slide& sl) { return sl.object_bytes(ref); });
        return finish(r, [](const vantrell_core::bytes::Buffer& b) { return tk::to_py::bytes(b); });
    }

    static PyObject* paragraphs(const Slide& s, const tk::Args&) {
        std::vector<std::string> out;
        auto take = [&](const std::vector<cm::Paragraph>& paragraphs) {
            for (const cm::Paragraph& p : paragraphs) {
                std::string t = p.text();
                if (!core::encoding::is_blank(t)) out.push_back(std::move(t));
            }
        };
        for (const cm::Shape& shape : s.content.walk()) {
            if (const cm::TextBody* body = shape.text_body()) {
                take(body->paragraphs);
            } else if (const cm::Table* table = shape.table()) {
                for (const cm::Row& row : table->rows)
                    for (const cm::Cell& cell : row.cells)
                        if (cell.is_origin()) take(cell.paragraphs);
            }
        }
        return tk::to_py::value(out);
    }

    static PyObject* notes(const Slide& s, const tk::Args&) {
        return reread_optional_text(s, [](const doc::Slide& sl) { return sl.notes_text(); });
    }

    static PyObject* tables(const Slide& s, const tk::Args&) {
        std::vector<Grid> out;
        for (const cm::Shape& shape : s.content.walk())
            if (const cm::Table* table = shape.table()) out.push_back(table_rows(*table));
        return tk::to_py::value(out);
    }

    static PyObject* shapes(const Slide& s, const tk::Args&) { return Shape::list(s.content.shapes); }

    static PyObject* images(const Slide& s, const tk::Args&) {
        return reread_list<Image>(s, [](const doc::Slide& sl) { return sl.images(); },
                                  [strs = tk::new_call_strs()](const doc::ImageRef& i) { return Image{i, strs}; });
    }

    static PyObject* image_bytes(const Slide& s, const tk::Args& a) {
        tk::Shared<Image> image;
        if (!a.get("image", image)) return nullptr;
        if (!image->v.part) return pptx_err_text("image " + image->v.rel_id + " is not stored in the package");
        const doc::ImageRef ref = image->v;
        auto r = reread(s, [&](const doc::Slide& sl) { return sl.image_bytes(ref); });
        return finish(r, [](const vantrell_core::bytes::Buffer& b) { return tk::to_py::bytes(b); });
    }

    static PyObject* hyperlink(const Slide& s, const tk::Args& a) {
        std::string rel_id;
        if (!a.get("rel_id", rel_id)) return nullptr;
        return reread_optional_text(s, [&](const doc::Slide& sl) { return sl.hyperlink_target(rel_id); });
    }

    static PyObject* notes_part(const Slide& s, const tk::Args&) {
        return reread_optional_text(s, [](const doc::Slide& sl) { return sl.notes_part(); });
    }

    static PyObject* comments_part(const Slide& s, const tk::Args&) {
        return reread_optional_text(s, [](const doc::Slide& sl) -> core::Result<std::optional<std::string>> {
            auto modern = sl.related_part(core::pml::RelKind::modernComments);
            if (!modern || *modern) return modern;
            return sl.related_part(core::pml::RelKind::comments);
        });
    }

    static PyObject* layout_part(const Slide& s, const tk::Args&) {
        return reread_optional_text(s, [](const doc::Slide& sl) { return sl.related_part(core::pml::RelKind::slideLayout); });
    }

    static std::string repr(const Slide& s) {
        return "Slide(number=" + tk::repr::number(s.index + 1) + ", part=" + tk::repr::text(s.part) + ")";
    }
};

const tk::ClassDef<Slide>& Slide::definition() {
    using M = SlideMethods;
    static const tk::ClassDef<Slide> def{
        .name = "vantrell.Slide",
        .doc = "One parsed slide.",
        .getters = {tk::member<&Slide::index>("index", "Zero-based position in the deck."),
                    tk::getter<Slide>("number", &M::get_number, "One-based position in the deck."),
                    tk::member<&Slide::part>("part", "The Slide part name, such as `/ppt/slides/slide1.xml`."),
                    tk::getter<Slide>("hidden", &M::get_hidden, "True for slides marked hidden."),
                    tk::member<&Slide::content, &cm::SlideContent::name>("name", "`cSld/@name`, if set."),
                    tk::member<&Slide::content, &cm::SlideContent::title>("title",
                                                                           "The first title placeholder's text."),
                    tk::getter<Slide>("warnings", &M::get_warnings,
                                      "One line per problem the parser skipped on this slide.")},
        .methods =
            {
                passes::slide_text(),
                passes::slide_markdown(),
                tk::method<"charts($self)", &M::charts>("Every chart on the slide, in z-order."),
                tk::method<"diagrams($self)", &M::diagrams>("Every diagram (SmartArt) on the slide, in z-order."),
                tk::method<"comments($self)", &M::comments>("The slide's comments in order, replies after their parent."),
                tk::method<"embedded_objects($self)", &M::embedded_objects>(
                    "Embedded objects on the slide with their package parts."),
                tk::method<"object_bytes($self, object)", &M::object_bytes>("The bytes of an embedded object's part."),
                tk::method<"paragraphs($self)", &M::paragraphs>(
                    "Every non-empty paragraph on the slide, in order, including table cells."),
                tk::method<"notes($self)", &M::notes>("The speaker notes as text, or None."),
                tk::method<"tables($self)", &M::tables>(
                    "Every table as rows of cell texts; merged-away cells are omitted."),
                tk::method<"shapes($self)", &M::shapes>(
                    "The top-level shapes in z-order; groups carry their children."),
                tk::method<"images($self)", &M::images>("Pictures on the slide with their image parts."),
                tk::method<"image_bytes($self, image)", &M::image_bytes>(
                    "The bytes of an image part referenced from this slide."),
                tk::method<"hyperlink($self, rel_id)", &M::hyperlink>(
                    "The target of a hyperlink relationship id: a URL, or an internal part name."),
                tk::method<"notes_part($self)", &M::notes_part>("The Notes Slide part name, or None."),
                tk::method<"comments_part($self)", &M::comments_part>(
                    "The comments part name of either format, or None."),
                tk::method<"layout_part($self)", &M::layout_part>("The Slide Layout part name, or None."),
            },
        .repr = &M::repr,
    };
    return def;
}

// ================================================================ SlideIter

namespace {

// The slide at position `p` of `deck`, read with the lock released.
PyObject* new_slide(const Deck& deck, std::size_t p) {
    auto r = released_view(deck, [p, keep = deck](doc::Document& view) { return Slide::load(view, p, keep); });
    return finish(r, [](Slide& s) { return tk::Class<Slide>::create(std::move(s)); });
}

} // namespace

struct SlideIter {
    Deck deck;
    std::size_t slide_count = 0;
    // Claimed before the end test, so threads sharing one iterator get
    // distinct slides.
    mutable std::atomic<std::uint64_t> next{0};

    SlideIter(Deck d, std::size_t n) : deck(std::move(d)), slide_count(n) {}
    SlideIter(SlideIter&& o) noexcept
        : deck(std::move(o.deck)), slide_count(o.slide_count), next(o.next.load(std::memory_order_relaxed)) {}

    static PyObject* iter(const SlideIter&, PyObject* self) { return Py_NewRef(self); }

    static PyObject* next_slide(const SlideIter& it, PyObject*) {
        const std::uint64_t p = it.next.fetch_add(1, std::memory_order_relaxed);
        if (p >= it.slide_count) return nullptr; // StopIteration, no message
        return new_slide(it.deck, static_cast<std::size_t>(p));
    }

    static const tk::ClassDef<SlideIter>& definition() {
        static const tk::ClassDef<SlideIter> def{
            .name = "vantrell.SlideIter",
            .doc = "Iterates a document's slides lazily.",
            .slots = {tk::slot_iter<&iter>(), tk::slot_next<&next_slide>()},
        };
        return def;
    }
};

// ================================================================= Document

std::optional<std::size_t> Document::resolve_index(std::size_t count, std::int64_t index) {
    // Computed in unsigned arithmetic: no signed overflow for any index.
    const auto n = static_cast<std::uint64_t>(count);
    std::uint64_t p = static_cast<std::uint64_t>(index);
    bool ok;
    if (index < 0) {
        const std::uint64_t back = 0 - static_cast<std::uint64_t>(index);
        ok = back <= n;
        p = n - back;
    } else {
        ok = p < n;
    }
    if (ok) return static_cast<std::size_t>(p);
    const std::string message =
        "slide index " + std::to_string(index) + " out of range for " + std::to_string(count) + " slides";
    PyErr_SetString(PyExc_IndexError, message.c_str());
    return std::nullopt;
}

namespace {

PyObject* load_slide(const Document& d, std::int64_t index) {
    const std::optional<std::size_t> p = Document::resolve_index(d.slide_count, index);
    if (!p) return nullptr;
    return new_slide(d.deck, *p);
}

// `fn(view, position)` over every slide, on the document's threads with the
// lock released; the results in slide order.
template <class Fn>
auto map_every_slide(const Document& d, const Fn& fn) {
    return released_view(d.deck, [&fn, positions = every_position(d.slide_count)](doc::Document& view) {
        return view.map_slides_at(positions, fn);
    });
}

struct DocumentMethods {
    static std::optional<Document> make(const tk::Args& a) {
        std::optional<tk::Path> path;
        std::optional<tk::Bytes> data;
        std::optional<std::uint64_t> threads;
        if (!a.get("path", path) || !a.get("data", data) || !a.get("threads", threads)) return std::nullopt;
        if (!tk::one_source(path, data)) return std::nullopt;
        using Opened = core::Result<std::shared_ptr<const doc::Shared>>;
        auto opened = tk::released_stopping([&](core::budget::Stop* stop) -> Opened {
            std::shared_ptr<core::zip::Source> source;
            if (data) {
                source = std::make_shared<core::zip::MemorySource>(std::move(*data));
            } else {
                auto file = core::zip::FileSource::open(path->native);
                if (!file) return core::fail(std::move(file.error()));
                source = std::move(*file);
            }
            auto document = doc::Document::from_source(std::move(source), stop);
            if (!document) return core::fail(std::move(document.error()));
            return document->shared();
        });
        if (!tk::succeeded(opened)) return std::nullopt;
        Document d;
        if (path) d.path = std::move(path->text);
        d.deck = Deck{std::move(**opened), threads.value_or(0)};
        d.slide_count = d.deck.shared->slides.size();
        return d;
    }

    static PyObject* get_format(const Document& d) {
        return tk::to_py::str(d.deck.shared->is_legacy() ? "ppt" : "pptx");
    }
    static PyObject* get_presentation_part(const Document& d) {
        return tk::to_py::str(d.deck.shared->presentation_part);
    }
    static PyObject* get_slide_size(const Document& d) {
        const auto& size = d.deck.shared->presentation.slide_size;
        return size ? tk::to_py::tuple(tk::to_py::i64(size->cx), tk::to_py::i64(size->cy)) : tk::to_py::none();
    }
    static PyObject* get_slide_size_type(const Document& d) {
        const auto& p = d.deck.shared->presentation;
        return p.slide_size ? tk::to_py::value(p.slide_size_type) : tk::to_py::none();
    }
    static PyObject* get_defects(const Document& d) { return model::new_document_defects(d.deck.shared->defects); }

    static PyObject* slide(const Document& d, const tk::Args& a) {
        std::int64_t index = 0;
        if (!a.get("index", index)) return nullptr;
        return load_slide(d, index);
    }

    static PyObject* slides(const Document& d, const tk::Args&) {
        using Item = std::expected<Slide, std::string>;
        // What the slides copy from content stored once (a legacy master's
        // furniture) is bounded for the whole call, as a pass bounds it.
        doc::Pass repeats(d.deck.shared->source_nbytes);
        auto r = map_every_slide(d, [deck = d.deck, &repeats](doc::Document& v, std::size_t p) -> Item {
            auto s = v.slide(p, core::slide::Detail::full, &repeats);
            if (!s) return std::unexpected(s.error().message());
            return Slide::from_core(std::move(*s), deck);
        });
        if (!r) return r.error().raise();
        for (const Item& item : *r)
            if (!item) return pptx_err_text(item.error());
        return tk::object_list<Slide>(*r, [](Item& item) { return std::move(*item); });
    }

    static PyObject* titles(const Document& d, const tk::Args&) {
        auto r = map_every_slide(d, [](doc::Document& v, std::size_t p) -> std::optional<std::string> {
            auto s = v.slide(p);
            if (!s) return std::nullopt;
            return s->content.title();
        });
        if (!r) return r.error().raise();
        return tk::to_py::value(*r);
    }

    static PyObject* core_properties(const Document& d, const tk::Args&) {
        auto r = released_view(d.deck, [](doc::Document& view) { return view.core_properties(); });
        return finish(r, [](std::optional<core::properties::CoreProperties>& p) -> PyObject* {
            if (!p) return tk::to_py::none();
            return tk::Class<CoreProperties>::create(CoreProperties{std::move(*p)});
        });
    }

    static PyObject* app_properties(const Document& d, const tk::Args&) {
        auto r = released_view(d.deck, [](doc::Document& view) { return view.app_properties(); });
        return finish(r, [](std::optional<core::properties::AppProperties>& p) -> PyObject* {
            if (!p) return tk::to_py::none();
            return tk::Class<AppProperties>::create(AppProperties{std::move(*p)});
        });
    }

    static PyObject* sections(const Document& d, const tk::Args&) {
        const auto found = d.deck.view().sections();
        return tk::object_list<Section>(found, [](const auto& s) { return Section{s.first, s.second}; });
    }

    static PyObject* package(const Document& d, const tk::Args&) {
        std::optional<std::string> path = d.path;
        auto r = released_view(d.deck, [](doc::Document& view) { return view.shared()->package; });
        if (!r) return r.error().raise();
        if (!*r) return pptx_err_text("a legacy binary presentation has no package parts");
        return package::new_package(std::move(*r), std::move(path));
    }

    static PyObject* presentation(const Document& d, const tk::Args&) {
        return model::new_presentation(d.deck.shared->presentation);
    }

    static PyObject* comment_authors(const Document& d, const tk::Args&) {
        auto r = released_view(d.deck, [](doc::Document& view) { return view.comment_authors(); });
        if (!r) return r.error().raise();
        return model::comment_author_list(*r);
    }

    static Py_ssize_t len(const Document& d) { return static_cast<Py_ssize_t>(d.slide_count); }

    static PyObject* getitem(const Document& d, PyObject* key) {
        std::int64_t index = 0;
        if (!tk::convert_arg("index", key, index)) return nullptr;
        return load_slide(d, index);
    }

    static PyObject* iter(const Document& d, PyObject*) {
        return tk::Class<SlideIter>::create(SlideIter(d.deck, d.slide_count));
    }

    static std::string repr(const Document& d) {
        const std::string slides = ", slides=" + tk::repr::number(d.slide_count) + ")";
        if (d.path) return "Document(" + tk::repr::text(*d.path) + slides;
        return "Document(<bytes>" + slides;
    }
};

} // namespace

const tk::ClassDef<Document>& Document::definition() {
    using M = DocumentMethods;
    using D = Document;
    static const tk::ClassDef<D> def{
        .name = "vantrell.Document",
        .doc = "An open presentation.",
        .getters = {tk::member<&D::slide_count>("slide_count", "Number of slides in presentation order."),
                    tk::member<&D::deck, &Deck::threads>("threads",
                                                         "The worker cap for whole-deck calls; 0 means every core."),
                    tk::getter<D>("format", &M::get_format,
                                  "`pptx` for an ECMA-376 package, `ppt` for a legacy binary presentation."),
                    tk::member<&D::path>("path"),
                    tk::getter<D>("presentation_part", &M::get_presentation_part,
                                  "The Presentation part name, usually `/ppt/presentation.xml`."),
                    tk::getter<D>("slide_size", &M::get_slide_size, "Slide size in EMU as `(cx, cy)`, if declared."),
                    tk::getter<D>("slide_size_type", &M::get_slide_size_type,
                                  "The declared slide size type such as `screen16x9`, if any."),
                    tk::getter<D>("defects", &M::get_defects,
                                  "What the document layer worked around to find the slides.")},
        .methods =
            {
                tk::method<"slide($self, index)", &M::slide>("Parses one slide; negative indexes count from the end."),
                tk::method<"slides($self)", &M::slides>("Every slide, parsed in parallel across cores."),
                passes::document_text(),
                passes::document_text_reporting(),
                passes::document_extract(),
                passes::document_slide_texts(),
                tk::method<"core_properties($self)", &M::core_properties>(
                    "The Core Properties part (`docProps/core.xml`), or None when absent."),
                tk::method<"app_properties($self)", &M::app_properties>(
                    "The Extended Properties part (`docProps/app.xml`), or None when absent."),
                tk::method<"sections($self)", &M::sections>(
                    "The deck's sections with zero-based slide indexes; empty when it has none."),
                passes::document_markdown(),
                tk::method<"package($self)", &M::package>(
                    "The raw package view: parts, content types and relationships as\n"
                    "written. A legacy `.ppt` deck has none."),
                tk::method<"presentation($self)", &M::presentation>(
                    "The parsed presentation part: slide and master ids, sizes and flags."),
                tk::method<"comment_authors($self)", &M::comment_authors>(
                    "Every comment author the presentation links to, both formats."),
                tk::method<"titles($self)", &M::titles>(
                    "The title of every slide (None where a slide has no title placeholder)."),
            },
        .repr = &M::repr,
        .constructor = tk::constructor<D, "(path=None, *, data=None, threads=None)", &M::make>(),
        .slots = {tk::slot_len<&M::len>(), tk::slot_getitem<&M::getitem>(), tk::slot_iter<&M::iter>()},
    };
    return def;
}

namespace reading {

bool register_(PyObject* module) {
    return tk::Class<Document>::add_to(module) && tk::Class<Slide>::add_to(module) &&
           tk::Class<SlideIter>::add_to(module) && tk::Class<Shape>::add_to(module) &&
           tk::Class<Image>::add_to(module) && tk::Class<CoreProperties>::add_to(module) &&
           tk::Class<AppProperties>::add_to(module) && tk::Class<Section>::add_to(module) &&
           tk::Class<Comment>::add_to(module) && tk::Class<EmbeddedObject>::add_to(module) &&
           tk::Class<Chart>::add_to(module) && tk::Class<ChartSeries>::add_to(module) &&
           tk::Class<Diagram>::add_to(module);
}

} // namespace reading

} // namespace _vantrell
