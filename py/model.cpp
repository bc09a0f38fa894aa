// The model classes. Each keeps a plain copy of the library value it was
// made from; list and object attributes are converted anew on every read,
// so what a caller mutates is never what the next read returns.
#include "py/model.h"

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

    static std::string repr(const Run& r) { return "Run(" + tk::repr::text(r.run.text) + ")"; }

    static const tk::ClassDef<Run>& definition() {
        using P = cm::RunProps;
        static const tk::ClassDef<Run> def{
            .name = "vantrell.Run",
            .doc = "One run of a paragraph with its formatting as written; None means not set.",
            .getters = {tk::getter<Run>("kind", &get_kind, "One of `text`, `line_break`, `field`."),
                        tk::getter<Run>("field", &get_field, "The field type when `kind` is `field`."),
                        tk::member<&Run::run, &cm::Run::text>("text"),
                        tk::member<&Run::run, &cm::Run::props, &P::bold>("bold"),
                        tk::member<&Run::run, &cm::Run::props, &P::italic>("italic"),
                        tk::member<&Run::run, &cm::Run::props, &P::underline>("underline"),
                        tk::member<&Run::run, &cm::Run::props, &P::strike>("strike"),
                        tk::member<&Run::run, &cm::Run::props, &P::size>(
                            "size", "Font size in hundredths of a point, as written."),
                        tk::member<&Run::run, &cm::Run::props, &P::hyperlink>(
                            "hyperlink", "The relationship id of a click hyperlink; `Slide.hyperlink` resolves it."),
                        tk::member<&Run::run, &cm::Run::props, &P::lang>("lang"),
                        tk::member<&Run::run, &cm::Run::props, &P::typeface>("typeface")},
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

    static std::string repr(const Paragraph& p) {
        return "Paragraph(level=" + tk::repr::number(p.paragraph.level) + ", text=" +
               tk::repr::text(p.paragraph.text()) + ")";
    }

    static const tk::ClassDef<Paragraph>& definition() {
        using P = Paragraph;
        static const tk::ClassDef<P> def{
            .name = "vantrell.Paragraph",
            .doc = "One paragraph with its runs and bullet.",
            .getters = {tk::member<&P::paragraph, &cm::Paragraph::text>("text"),
                        tk::member<&P::paragraph, &cm::Paragraph::level>("level"),
                        tk::getter<P>("bullet", &get_bullet,
                                      "One of `inherited`, `none`, `char`, `auto_number`, `picture`."),
                        tk::getter<P>("bullet_char", &get_bullet_char, "The bullet character when `bullet` is `char`."),
                        tk::getter<P>("number_scheme", &get_number_scheme,
                                      "The numbering scheme and start when `bullet` is `auto_number`."),
                        tk::getter<P>("number_start", &get_number_start),
                        tk::objects<Run, &P::paragraph, &cm::Paragraph::runs>("runs")},
            .repr = &repr,
        };
        return def;
    }
};

PyObject* paragraphs_from_body(const std::vector<cm::Paragraph>& paragraphs) {
    return tk::object_list<Paragraph>(paragraphs);
}

// ------------------------------------------------------- Table, Row, Cell

struct Cell {
    cm::Cell cell;

    static PyObject* get_text(const Cell& c) { return tk::to_py::str(body_text(c.cell.paragraphs)); }

    static std::string repr(const Cell& c) { return "Cell(" + tk::repr::text(body_text(c.cell.paragraphs)) + ")"; }

    static const tk::ClassDef<Cell>& definition() {
        static const tk::ClassDef<Cell> def{
            .name = "vantrell.Cell",
            .doc = "One table cell. A cell merged into another has `h_merge` or `v_merge`\n"
                   "set and `is_origin` false.",
            .getters = {tk::getter<Cell>("text", &get_text),
                        tk::objects<Paragraph, &Cell::cell, &cm::Cell::paragraphs>("paragraphs"),
                        tk::member<&Cell::cell, &cm::Cell::grid_span>("grid_span"),
                        tk::member<&Cell::cell, &cm::Cell::row_span>("row_span"),
                        tk::member<&Cell::cell, &cm::Cell::h_merge>("h_merge"),
                        tk::member<&Cell::cell, &cm::Cell::v_merge>("v_merge"),
                        tk::member<&Cell::cell, &cm::Cell::is_origin>("is_origin")},
            .repr = &repr,
        };
        return def;
    }
};

struct Row {
    cm::Row row;


    static std::string repr(const Row& r) { return "Row(cells=" + tk::repr::number(r.row.cells.size()) + ")"; }

    static const tk::ClassDef<Row>& definition() {
        static const tk::ClassDef<Row> def{
            .name = "vantrell.Row",
            .doc = "One table row.",
            .getters = {tk::member<&Row::row, &cm::Row::height>("height", "Row height in EMU."),
                        tk::objects<Cell, &Row::row, &cm::Row::cells>("cells")},
            .repr = &repr,
        };
        return def;
    }
};

struct Table {
    cm::Table table;


    static std::string repr(const Table& t) {
        return "Table(rows=" + tk::repr::number(t.table.rows.size()) +
               ", columns=" + tk::repr::number(t.table.column_widths.size()) + ")";
    }

    static const tk::ClassDef<Table>& definition() {
        static const tk::ClassDef<Table> def{
            .name = "vantrell.Table",
            .doc = "A table with its cell grid, spans and merges.",
            .getters = {tk::member<&Table::table, &cm::Table::column_widths>("column_widths", "Column widths in EMU."),
                        tk::objects<Row, &Table::table, &cm::Table::rows>("rows")},
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

    static std::string repr(const DocumentDefects& d) {
        return "DocumentDefects(located=" + tk::repr::text(d.located()) +
               ", unresolved_slides=" + tk::repr::number(d.defects.unresolved_slides.size()) + ")";
    }

    static const tk::ClassDef<DocumentDefects>& definition() {
        using D = DocumentDefects;
        using V = vantrell_core::document::DocumentDefects;
        static const tk::ClassDef<D> def{
            .name = "vantrell.DocumentDefects",
            .doc = "What the document layer worked around to find the slides.",
            .getters = {tk::getter<D>("located", &get_located,
                                      "How the presentation part was found: `relationship`, `content_type`,\n"
                                      "`conventional_path` or `legacy_stream`."),
                        tk::member<&D::defects, &V::unresolved_slides>(
                            "unresolved_slides",
                            "`(position, relationship id)` of slide entries that resolve to nothing."),
                        tk::member<&D::defects, &V::slides_recovered_from_rels>("slides_recovered_from_rels")},
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

    static std::string repr(const IdEntry& e) {
        return std::string(Tag::BARE) + "(id=" + tk::repr::optional_number(e.id) +
               ", rel_id=" + tk::repr::text(e.rel_id) + ")";
    }

    static const tk::ClassDef<IdEntry>& definition() {
        static const tk::ClassDef<IdEntry> def{
            .name = Tag::NAME,
            .doc = Tag::DOC,
            .getters = {tk::member<&IdEntry::id>("id"), tk::member<&IdEntry::rel_id>("rel_id")},
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
    std::optional<std::pair<std::int64_t, std::int64_t>> slide_size; // (cx, cy)
    std::optional<std::string> slide_size_type;
    std::optional<std::pair<std::int64_t, std::int64_t>> notes_size;
    std::int32_t first_slide_num = 1;
    bool rtl = false;

    static PyObject* get_slide_size_type(const Presentation& p) {
        return p.slide_size ? tk::to_py::value(p.slide_size_type) : tk::to_py::none();
    }

    static std::string repr(const Presentation& p) {
        return "Presentation(slides=" + tk::repr::number(p.slides.size()) +
               ", masters=" + tk::repr::number(p.masters.size()) + ")";
    }

    static const tk::ClassDef<Presentation>& definition() {
        using P = Presentation;
        static const tk::ClassDef<P> def{
            .name = "vantrell.Presentation",
            .doc = "The parsed presentation part: slide and master lists, sizes and flags.",
            .getters = {tk::objects<SlideId, &P::slides>("slides"),
                        tk::objects<MasterId, &P::masters>("masters"),
                        tk::member<&P::notes_master>("notes_master"),
                        tk::member<&P::handout_master>("handout_master"),
                        tk::member<&P::slide_size>("slide_size", "`(cx, cy)` in EMU."),
                        tk::getter<P>("slide_size_type", &get_slide_size_type),
                        tk::member<&P::notes_size>("notes_size"),
                        tk::member<&P::first_slide_num>("first_slide_num"),
                        tk::member<&P::rtl>("rtl")},
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
    if (parsed.slide_size) p.slide_size.emplace(parsed.slide_size->cx, parsed.slide_size->cy);
    p.slide_size_type = parsed.slide_size_type;
    if (parsed.notes_size) p.notes_size.emplace(parsed.notes_size->cx, parsed.notes_size->cy);
    p.first_slide_num = parsed.first_slide_num;
    p.rtl = parsed.rtl;
    return tk::Class<Presentation>::create(std::move(p));
}

// ---------------------------------------------------------- CommentAuthor

struct CommentAuthor {
    vantrell_core::comments::CommentAuthor author;

    static std::string repr(const CommentAuthor& a) { return "CommentAuthor(" + tk::repr::text(*a.author.name) + ")"; }

    static const tk::ClassDef<CommentAuthor>& definition() {
        using A = CommentAuthor;
        using V = vantrell_core::comments::CommentAuthor;
        static const tk::ClassDef<A> def{
            .name = "vantrell.CommentAuthor",
            .doc = "One comment author of either comments format.",
            .getters = {tk::member<&A::author, &V::id>("id"), tk::member<&A::author, &V::name>("name"),
                        tk::member<&A::author, &V::initials>("initials")},
            .repr = &repr,
        };
        return def;
    }
};

PyObject* comment_author_list(const std::vector<vantrell_core::comments::CommentAuthor>& authors) {
    return tk::object_list<CommentAuthor>(authors);
}

bool register_text_classes(PyObject* module) {
    return tk::Class<Table>::add_to(module) && tk::Class<Row>::add_to(module) && tk::Class<Cell>::add_to(module) &&
           tk::Class<Paragraph>::add_to(module) && tk::Class<Run>::add_to(module);
}

bool register_deck_classes(PyObject* module) {
    return tk::Class<DocumentDefects>::add_to(module) && tk::Class<Presentation>::add_to(module) &&
           tk::Class<SlideId>::add_to(module) && tk::Class<MasterId>::add_to(module) &&
           tk::Class<CommentAuthor>::add_to(module);
}

} // namespace _vantrell::model
