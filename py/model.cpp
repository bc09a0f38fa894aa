// The model classes. Each keeps a plain copy of the library value it was
// made from; list and object attributes are converted anew on every read,
// so what a caller mutates is never what the next read returns.
#include "py/model.h"
#include "py/passes.h"

#include "core/comments.h"
#include "core/document.h"
#include "core/model.h"
#include "core/presentation.h"

#include <array>
#include <utility>

namespace _vantrell::model {

namespace tk = toolkit;
namespace cm = vantrell_core::model;

namespace {

template <class N>
PyObject* optional_int(const std::optional<N>& n) {
    if (!n) return tk::to_py::none();
    if constexpr (std::is_signed_v<N>) return tk::to_py::i64(*n);
    else return tk::to_py::u64(*n);
}

PyObject* optional_flag(const std::optional<bool>& b) { return b ? tk::to_py::flag(*b) : tk::to_py::none(); }

PyObject* i64_list(const std::vector<std::int64_t>& items) {
    tk::Ref list = tk::Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* n = tk::to_py::i64(items[i]);
        if (!n) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), n); // steals n
    }
    return list.release();
}

PyObject* size_pair(const std::optional<vantrell_core::presentation::Size>& size) {
    if (!size) return tk::to_py::none();
    tk::Ref cx = tk::Ref::steal(tk::to_py::i64(size->cx));
    tk::Ref cy = tk::Ref::steal(tk::to_py::i64(size->cy));
    if (!cx || !cy) return nullptr;
    return PyTuple_Pack(2, cx.get(), cy.get());
}

std::string body_text(const std::vector<cm::Paragraph>& paragraphs) {
    std::string out;
    cm::write_text(paragraphs, out);
    return out;
}

} // namespace

// ---------------------------------------------------------------- Run

struct Run {
    cm::Run run;

    static PyObject* get_kind(const Run& r) {
        switch (r.run.kind) {
        case cm::Run::Kind::line_break: return tk::to_py::str("line_break");
        case cm::Run::Kind::field: return tk::to_py::str("field");
        case cm::Run::Kind::text: break;
        }
        return tk::to_py::str("text");
    }
    static PyObject* get_field(const Run& r) {
        return r.run.kind == cm::Run::Kind::field ? tk::to_py::str(r.run.field_type) : tk::to_py::none();
    }
    static PyObject* get_text(const Run& r) { return tk::to_py::str(r.run.text); }
    static PyObject* get_bold(const Run& r) { return optional_flag(r.run.props.bold); }
    static PyObject* get_italic(const Run& r) { return optional_flag(r.run.props.italic); }
    static PyObject* get_underline(const Run& r) { return optional_flag(r.run.props.underline); }
    static PyObject* get_strike(const Run& r) { return optional_flag(r.run.props.strike); }
    static PyObject* get_size(const Run& r) { return optional_int(r.run.props.size); }
    static PyObject* get_hyperlink(const Run& r) { return tk::to_py::optional_str(r.run.props.hyperlink); }
    static PyObject* get_lang(const Run& r) { return tk::to_py::optional_str(r.run.props.lang); }
    static PyObject* get_typeface(const Run& r) { return tk::to_py::optional_str(r.run.props.typeface); }

    static std::string repr(const Run& r) { return "Run(" + tk::repr::text(r.run.text) + ")"; }

    static const tk::ClassDef<Run>& definition() {
        static const tk::ClassDef<Run> def{
            .name = "vantrell.Run",
            .doc = "One run of a paragraph with its formatting as written; None means not set.",
            .getters = {tk::getter<Run>("kind", &get_kind, "One of `text`, `line_break`, `field`."),
                        tk::getter<Run>("field", &get_field, "The field type when `kind` is `field`."),
                        tk::getter<Run>("text", &get_text),
                        tk::getter<Run>("bold", &get_bold),
                        tk::getter<Run>("italic", &get_italic),
                        tk::getter<Run>("underline", &get_underline),
                        tk::getter<Run>("strike", &get_strike),
                        tk::getter<Run>("size", &get_size, "Font size in hundredths of a point, as written."),
                        tk::getter<Run>("hyperlink", &get_hyperlink,
                                        "The relationship id of a click hyperlink; `Slide.hyperlink` resolves it."),
                        tk::getter<Run>("lang", &get_lang),
                        tk::getter<Run>("typeface", &get_typeface)},
            .repr = &repr,
        };
        return def;
    }
};

// ---------------------------------------------------------- Paragraph

struct Paragraph {
    cm::Paragraph paragraph;

    using Kind = cm::Bullet::Kind;
    Kind bullet_kind() const noexcept { return paragraph.bullet.kind; }

    static PyObject* get_text(const Paragraph& p) { return tk::to_py::str(p.paragraph.text()); }
    static PyObject* get_level(const Paragraph& p) { return tk::to_py::u64(p.paragraph.level); }
    static PyObject* get_bullet(const Paragraph& p) {
        static constexpr std::array<const char*, 5> NAMES{"inherited", "none", "char", "auto_number", "picture"};
        const auto i = static_cast<std::size_t>(p.bullet_kind());
        return tk::to_py::str(i < NAMES.size() ? NAMES[i] : "inherited");
    }
    static PyObject* get_bullet_char(const Paragraph& p) {
        return p.bullet_kind() == Kind::character ? tk::to_py::str(p.paragraph.bullet.text) : tk::to_py::none();
    }
    static PyObject* get_number_scheme(const Paragraph& p) {
        return p.bullet_kind() == Kind::auto_number ? tk::to_py::str(p.paragraph.bullet.text) : tk::to_py::none();
    }
    static PyObject* get_number_start(const Paragraph& p) {
        return p.bullet_kind() == Kind::auto_number ? tk::to_py::u64(p.paragraph.bullet.start) : tk::to_py::none();
    }
    static PyObject* get_runs(const Paragraph& p) {
        return object_list<Run>(p.paragraph.runs, [](const cm::Run& r) { return Run{r}; });
    }

    static std::string repr(const Paragraph& p) {
        return "Paragraph(level=" + tk::repr::number(p.paragraph.level) + ", text=" +
               tk::repr::text(p.paragraph.text()) + ")";
    }

    static const tk::ClassDef<Paragraph>& definition() {
        using P = Paragraph;
        static const tk::ClassDef<P> def{
            .name = "vantrell.Paragraph",
            .doc = "One paragraph with its runs and bullet.",
            .getters = {tk::getter<P>("text", &get_text),
                        tk::getter<P>("level", &get_level),
                        tk::getter<P>("bullet", &get_bullet,
                                      "One of `inherited`, `none`, `char`, `auto_number`, `picture`."),
                        tk::getter<P>("bullet_char", &get_bullet_char, "The bullet character when `bullet` is `char`."),
                        tk::getter<P>("number_scheme", &get_number_scheme,
                                      "The numbering scheme and start when `bullet` is `auto_number`."),
                        tk::getter<P>("number_start", &get_number_start),
                        tk::getter<P>("runs", &get_runs)},
            .repr = &repr,
        };
        return def;
    }
};

PyObject* paragraphs_from_body(const std::vector<cm::Paragraph>& paragraphs) {
    return object_list<Paragraph>(paragraphs, [](const cm::Paragraph& p) { return Paragraph{p}; });
}

// ------------------------------------------------------- Table, Row, Cell

struct Cell {
    cm::Cell cell;

    static PyObject* get_text(const Cell& c) { return tk::to_py::str(body_text(c.cell.paragraphs)); }
    static PyObject* get_paragraphs(const Cell& c) { return paragraphs_from_body(c.cell.paragraphs); }
    static PyObject* get_grid_span(const Cell& c) { return tk::to_py::u64(c.cell.grid_span); }
    static PyObject* get_row_span(const Cell& c) { return tk::to_py::u64(c.cell.row_span); }
    static PyObject* get_h_merge(const Cell& c) { return tk::to_py::flag(c.cell.h_merge); }
    static PyObject* get_v_merge(const Cell& c) { return tk::to_py::flag(c.cell.v_merge); }
    static PyObject* get_is_origin(const Cell& c) { return tk::to_py::flag(c.cell.is_origin()); }

    static std::string repr(const Cell& c) { return "Cell(" + tk::repr::text(body_text(c.cell.paragraphs)) + ")"; }

    static const tk::ClassDef<Cell>& definition() {
        static const tk::ClassDef<Cell> def{
            .name = "vantrell.Cell",
            .doc = "One table cell. A cell merged into another has `h_merge` or `v_merge`\n"
                   "set and `is_origin` false.",
            .getters = {tk::getter<Cell>("text", &get_text),
                        tk::getter<Cell>("paragraphs", &get_paragraphs),
                        tk::getter<Cell>("grid_span", &get_grid_span),
                        tk::getter<Cell>("row_span", &get_row_span),
                        tk::getter<Cell>("h_merge", &get_h_merge),
                        tk::getter<Cell>("v_merge", &get_v_merge),
                        tk::getter<Cell>("is_origin", &get_is_origin)},
            .repr = &repr,
        };
        return def;
    }
};

struct Row {
    cm::Row row;

    static PyObject* get_height(const Row& r) { return tk::to_py::i64(r.row.height); }
    static PyObject* get_cells(const Row& r) {
        return object_list<Cell>(r.row.cells, [](const cm::Cell& c) { return Cell{c}; });
    }

    static std::string repr(const Row& r) { return "Row(cells=" + tk::repr::number(r.row.cells.size()) + ")"; }

    static const tk::ClassDef<Row>& definition() {
        static const tk::ClassDef<Row> def{
            .name = "vantrell.Row",
            .doc = "One table row.",
            .getters = {tk::getter<Row>("height", &get_height, "Row height in EMU."),
                        tk::getter<Row>("cells", &get_cells)},
            .repr = &repr,
        };
        return def;
    }
};

struct Table {
    cm::Table table;

    static PyObject* get_column_widths(const Table& t) { return i64_list(t.table.column_widths); }
    static PyObject* get_rows(const Table& t) {
        return object_list<Row>(t.table.rows, [](const cm::Row& r) { return Row{r}; });
    }

    static std::string repr(const Table& t) {
        return "Table(rows=" + tk::repr::number(t.table.rows.size()) +
               ", columns=" + tk::repr::number(t.table.column_widths.size()) + ")";
    }

    static const tk::ClassDef<Table>& definition() {
        static const tk::ClassDef<Table> def{
            .name = "vantrell.Table",
            .doc = "A table with its cell grid, spans and merges.",
            .getters = {tk::getter<Table>("column_widths", &get_column_widths, "Column widths in EMU."),
                        tk::getter<Table>("rows", &get_rows)},
            .repr = &repr,
        };
        return def;
    }
};

PyObject* new_table(const cm::Table& table) { return tk::Class<Table>::create(Table{table}); }

// --------------------------------------------------------- DocumentDefects

struct DocumentDefects {
    vantrell_core::document::DocumentDefects defects;

    const char* located() const noexcept {
        static constexpr std::array<const char*, 4> NAMES{"legacy_stream", "relationship", "content_type",
                                                          "conventional_path"};
        const auto i = static_cast<std::size_t>(defects.located);
        return i < NAMES.size() ? NAMES[i] : "relationship";
    }

    static PyObject* get_located(const DocumentDefects& d) { return tk::to_py::str(d.located()); }
    static PyObject* get_unresolved(const DocumentDefects& d) {
        const auto& items = d.defects.unresolved_slides;
        tk::Ref list = tk::Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < items.size(); ++i) {
            tk::Ref pos = tk::Ref::steal(tk::to_py::u64(items[i].first));
            tk::Ref id = tk::Ref::steal(tk::to_py::str(items[i].second));
            if (!pos || !id) return nullptr;
            PyObject* t = PyTuple_Pack(2, pos.get(), id.get());
            if (!t) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t); // steals t
        }
        return list.release();
    }
    static PyObject* get_recovered(const DocumentDefects& d) {
        return tk::to_py::flag(d.defects.slides_recovered_from_rels);
    }

    static std::string repr(const DocumentDefects& d) {
        return "DocumentDefects(located=" + tk::repr::text(d.located()) +
               ", unresolved_slides=" + tk::repr::number(d.defects.unresolved_slides.size()) + ")";
    }

    static const tk::ClassDef<DocumentDefects>& definition() {
        using D = DocumentDefects;
        static const tk::ClassDef<D> def{
            .name = "vantrell.DocumentDefects",
            .doc = "What the document layer worked around to find the slides.",
            .getters = {tk::getter<D>("located", &get_located,
                                      "How the presentation part was found: `relationship`, `content_type`,\n"
                                      "`conventional_path` or `legacy_stream`."),
                        tk::getter<D>("unresolved_slides", &get_unresolved,
                                      "`(position, relationship id)` of slide entries that resolve to nothing."),
                        tk::getter<D>("slides_recovered_from_rels", &get_recovered)},
            .repr = &repr,
        };
        return def;
    }
};

PyObject* new_document_defects(const vantrell_core::document::DocumentDefects& defects) {
    return tk::Class<DocumentDefects>::create(DocumentDefects{defects});
}

// ------------------------------------------- Presentation, SlideId, MasterId

// `p:sldId` and `p:sldMasterId` entries share their shape; the tag picks the
// class name.
template <class Tag>
struct IdEntry {
    std::optional<std::uint32_t> id;
    std::string rel_id;

    static PyObject* get_id(const IdEntry& e) { return optional_int(e.id); }
    static PyObject* get_rel_id(const IdEntry& e) { return tk::to_py::str(e.rel_id); }

    static std::string repr(const IdEntry& e) {
        return std::string(Tag::BARE) + "(id=" + tk::repr::optional_number(e.id) +
               ", rel_id=" + tk::repr::text(e.rel_id) + ")";
    }

    static const tk::ClassDef<IdEntry>& definition() {
        static const tk::ClassDef<IdEntry> def{
            .name = Tag::NAME,
            .doc = Tag::DOC,
            .getters = {tk::getter<IdEntry>("id", &get_id), tk::getter<IdEntry>("rel_id", &get_rel_id)},
            .repr = &repr,
        };
        return def;
    }
};

struct SlideIdTag {
    static constexpr const char* NAME = "vantrell.SlideId";
    static constexpr const char* BARE = "SlideId";
    static constexpr const char* DOC = "One `p:sldId` entry: the slide id and the relationship that names its part.";
};
struct MasterIdTag {
    static constexpr const char* NAME = "vantrell.MasterId";
    static constexpr const char* BARE = "MasterId";
    static constexpr const char* DOC = "One `p:sldMasterId` entry.";
};
using SlideId = IdEntry<SlideIdTag>;
using MasterId = IdEntry<MasterIdTag>;

struct Presentation {
    std::vector<SlideId> slides;
    std::vector<MasterId> masters;
    std::optional<std::string> notes_master;
    std::optional<std::string> handout_master;
    std::optional<vantrell_core::presentation::Size> slide_size;
    std::optional<std::string> slide_size_type;
    std::optional<vantrell_core::presentation::Size> notes_size;
    std::int32_t first_slide_num = 1;
    bool rtl = false;

    static PyObject* get_slides(const Presentation& p) {
        return object_list<SlideId>(p.slides, [](const SlideId& e) { return e; });
    }
    static PyObject* get_masters(const Presentation& p) {
        return object_list<MasterId>(p.masters, [](const MasterId& e) { return e; });
    }
    static PyObject* get_notes_master(const Presentation& p) { return tk::to_py::optional_str(p.notes_master); }
    static PyObject* get_handout_master(const Presentation& p) { return tk::to_py::optional_str(p.handout_master); }
    static PyObject* get_slide_size(const Presentation& p) { return size_pair(p.slide_size); }
    static PyObject* get_slide_size_type(const Presentation& p) {
        return p.slide_size ? tk::to_py::optional_str(p.slide_size_type) : tk::to_py::none();
    }
    static PyObject* get_notes_size(const Presentation& p) { return size_pair(p.notes_size); }
    static PyObject* get_first_slide_num(const Presentation& p) { return tk::to_py::i64(p.first_slide_num); }
    static PyObject* get_rtl(const Presentation& p) { return tk::to_py::flag(p.rtl); }

    static std::string repr(const Presentation& p) {
        return "Presentation(slides=" + tk::repr::number(p.slides.size()) +
               ", masters=" + tk::repr::number(p.masters.size()) + ")";
    }

    static const tk::ClassDef<Presentation>& definition() {
        using P = Presentation;
        static const tk::ClassDef<P> def{
            .name = "vantrell.Presentation",
            .doc = "The parsed presentation part: slide and master lists, sizes and flags.",
            .getters = {tk::getter<P>("slides", &get_slides),
                        tk::getter<P>("masters", &get_masters),
                        tk::getter<P>("notes_master", &get_notes_master),
                        tk::getter<P>("handout_master", &get_handout_master),
                        tk::getter<P>("slide_size", &get_slide_size, "`(cx, cy)` in EMU."),
                        tk::getter<P>("slide_size_type", &get_slide_size_type),
                        tk::getter<P>("notes_size", &get_notes_size),
                        tk::getter<P>("first_slide_num", &get_first_slide_num),
                        tk::getter<P>("rtl", &get_rtl)},
            .repr = &repr,
        };
        return def;
    }
};

PyObject* new_presentation(const vantrell_core::presentation::Presentation& parsed) {
    Presentation p;
    p.slides.reserve(parsed.slides.size());
    for (const auto& s : parsed.slides) p.slides.push_back(SlideId{s.id, s.rel_id});
    p.masters.reserve(parsed.masters.size());
    for (const auto& m : parsed.masters) p.masters.push_back(MasterId{m.id, m.rel_id});
    p.notes_master = parsed.notes_master;
    p.handout_master = parsed.handout_master;
    p.slide_size = parsed.slide_size;
    p.slide_size_type = parsed.slide_size_type;
    p.notes_size = parsed.notes_size;
    p.first_slide_num = parsed.first_slide_num;
    p.rtl = parsed.rtl;
    return tk::Class<Presentation>::create(std::move(p));
}

// ---------------------------------------------------------- CommentAuthor

struct CommentAuthor {
    vantrell_core::comments::CommentAuthor author;

    static PyObject* get_id(const CommentAuthor& a) { return tk::to_py::str(a.author.id); }
    static PyObject* get_name(const CommentAuthor& a) { return tk::to_py::str(a.author.name); }
    static PyObject* get_initials(const CommentAuthor& a) { return tk::to_py::optional_str(a.author.initials); }

    static std::string repr(const CommentAuthor& a) { return "CommentAuthor(" + tk::repr::text(a.author.name) + ")"; }

    static const tk::ClassDef<CommentAuthor>& definition() {
        using A = CommentAuthor;
        static const tk::ClassDef<A> def{
            .name = "vantrell.CommentAuthor",
            .doc = "One comment author of either comments format.",
            .getters = {tk::getter<A>("id", &get_id), tk::getter<A>("name", &get_name),
                        tk::getter<A>("initials", &get_initials)},
            .repr = &repr,
        };
        return def;
    }
};

PyObject* comment_author_list(const std::vector<vantrell_core::comments::CommentAuthor>& authors) {
    return object_list<CommentAuthor>(authors, [](const vantrell_core::comments::CommentAuthor& a) {
        return CommentAuthor{a};
    });
}

bool register_(PyObject* module) {
    return tk::Class<Table>::add_to(module) && tk::Class<Row>::add_to(module) && tk::Class<Cell>::add_to(module) &&
           tk::Class<Paragraph>::add_to(module) && tk::Class<Run>::add_to(module) &&
           passes::add_extract_report(module) && tk::Class<DocumentDefects>::add_to(module) && tk::Class<Presentation>::add_to(module) &&
           tk::Class<SlideId>::add_to(module) && tk::Class<MasterId>::add_to(module) &&
           tk::Class<CommentAuthor>::add_to(module);
}

} // namespace _vantrell::model
