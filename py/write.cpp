// The writing submodule vantrell.write: Python classes over the deck writer's
// values, and the one place where the interpreter lock is released for
// writing (serialising and saving a deck).
//
// Each class owns one writer value and copies whatever it is given: a slide
// added to a deck, a theme given to a deck, a run inside a paragraph. So no
// later change to a Python object ever reaches a value that took it, and the
// serialiser can work on its own deep copy with the lock released.
//
// Arguments are converted strictly and in signature order; the library's own
// value checks (colour, alignment and layout words, sizes) run only after
// every conversion, so a type error always wins over a value error. A method
// that fails leaves its object as it was: values are built aside and only
// appended once nothing can fail any more.
//
// Nested block lists are converted recursively; the depth is bounded so that
// a deep or self-referencing list raises RecursionError instead of
// exhausting the stack (here, in the layout engine or in the destructors).
#include "py/write.h"

#include <cmath>
#include <map>
#include <memory>
#include <variant>

#include "write/markdown.h"
#include "write/save.h"
#include "write/style.h"

namespace _vantrell::write {

namespace vw = vantrell_write;
namespace tk = toolkit;
using tk::Args;
using tk::Ref;

namespace {

constexpr double EMU_PER_INCH = 914400.0;
// The slide sides a package may hold, as the checker accepts them: 1 to 56
// inches.
constexpr std::int64_t SLIDE_SIDE_MIN_EMU = 914400;
constexpr std::int64_t SLIDE_SIDE_MAX_EMU = 51206400;
// The coordinates a drawing may hold: a position from COORD_MIN_EMU to
// COORD_MAX_EMU, a width or height from 0 to COORD_MAX_EMU. Shown to users
// in inches, rounded inwards.
constexpr std::int64_t COORD_MIN_EMU = -27273042329600;
constexpr std::int64_t COORD_MAX_EMU = 27273042316900;
constexpr const char* COORD_MIN_INCHES = "-29826161.77";
constexpr const char* COORD_MAX_INCHES = "29826161.76";
// Font sizes are stored in hundredths of a point, from 100 to 400000.
constexpr std::uint32_t FONT_POINTS_MIN = 1;
constexpr std::uint32_t FONT_POINTS_MAX = 4000;
// Paragraph spacing is stored in hundredths of a point, at most 158400.
constexpr std::uint32_t SPACING_POINTS_MAX = 1584;
// As deep as the layout engine lays out columns.
constexpr std::size_t MAX_BLOCK_DEPTH = vw::MAX_COLUMN_NESTING;
constexpr const char* SIZE_NAMES[] = {"display", "title", "subtitle", "body", "table", "minimum"};

PyObject* value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

bool type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// The message of the pending exception, cleared.
std::optional<std::string> take_message() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) return std::nullopt;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!s) return std::nullopt;
    return std::string(s, static_cast<std::size_t>(n));
}

// The message of the pending TypeError, cleared; other exceptions stay set
// and give nullopt so that the caller passes them on.
std::optional<std::string> take_type_error() {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    return take_message();
}

// The same for any failure of a value to convert: TypeError, ValueError and
// ArithmeticError (an int too large for a float).
std::optional<std::string> take_conversion_error() {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_ArithmeticError))
        return std::nullopt;
    return take_message();
}

PyObject* self_ref(const Args& a) { return Py_NewRef(a.self()); }

} // namespace

// ------------------------------------------------------------ conversions

std::string slot_names() {
    std::string out;
    for (std::string_view name : vw::SchemeColor::NAMES) {
        if (!out.empty()) out += ", ";
        out += name;
    }
    return out;
}

// nullopt with ValueError set for a text outside the colour grammar.
std::optional<vw::Color> color_from(std::string_view text) {
    if (auto rgb = vw::Rgb::hex(text)) return vw::Color(*rgb);
    if (auto slot = vw::SchemeColor::from_name(text)) return vw::Color(*slot);
    value_error("unknown color " + tk::repr::text(text) + "; use #RRGGBB or one of " + slot_names());
    return std::nullopt;
}

std::string color_name(const vw::Color& color) {
    if (const auto* rgb = std::get_if<vw::Rgb>(&color)) return "#" + rgb->to_hex();
    return std::string(std::get<vw::SchemeColor>(color).name());
}

std::optional<vw::Align> align_from(std::string_view text) {
    if (text == "left") return vw::Align::left;
    if (text == "center") return vw::Align::center;
    if (text == "right") return vw::Align::right;
    if (text == "justify") return vw::Align::justify;
    value_error("unknown align " + tk::repr::text(text) + "; use left, center, right or justify");
    return std::nullopt;
}

std::string_view align_name(vw::Align align) {
    switch (align) {
    case vw::Align::center: return "center";
    case vw::Align::right: return "right";
    case vw::Align::justify: return "justify";
    case vw::Align::left: break;
    }
    return "left";
}

// False with ValueError set for an unknown name; None gives unset.
bool layout_from(const std::optional<std::string>& text, std::optional<vw::Layout>& out) {
    if (!text) {
        out.reset();
        return true;
    }
    const std::string& t = *text;
    if (t == "title") out = vw::Layout::title;
    else if (t == "title_and_content" || t == "content") out = vw::Layout::title_and_content;
    else if (t == "title_only") out = vw::Layout::title_only;
    else if (t == "blank") out = vw::Layout::blank;
    else {
        value_error("unknown layout " + tk::repr::text(t) + "; use title, title_and_content, title_only or blank");
        return false;
    }
    return true;
}

// Rounds half away from zero and saturates; NaN gives 0.
std::int64_t inches_to_emu(double inches) {
    const double emu = std::round(inches * EMU_PER_INCH);
    if (std::isnan(emu)) return 0;
    constexpr double two_63 = 9223372036854775808.0;
    if (emu >= two_63) return std::numeric_limits<std::int64_t>::max();
    if (emu < -two_63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(emu);
}

// A position or size in inches, converted to EMU on extraction; the inches
// are kept for messages.
struct Inches {
    double inches = 0;
    std::int64_t emu = 0;
};
bool extract(PyObject* o, Inches& out) {
    if (!tk::extract(o, out.inches)) return false;
    out.emu = inches_to_emu(out.inches);
    return true;
}

// The slide-size argument: a (width, height) tuple in inches, else a name.
struct SizeArg {
    std::variant<std::string, std::pair<double, double>> value = std::string("widescreen");
};

bool extract(PyObject* o, SizeArg& out) {
    std::string why_inches;
    if (!PyTuple_Check(o)) {
        why_inches = "'" + tk::type_name(o) + "' object is not a tuple";
    } else if (PyTuple_Size(o) != 2) {
        why_inches = "a tuple of " + std::to_string(PyTuple_Size(o)) + " items is not a pair";
    } else {
        double w = 0, h = 0;
        if (tk::extract(PyTuple_GetItem(o, 0), w) && tk::extract(PyTuple_GetItem(o, 1), h)) {
            out.value = std::pair{w, h};
            return true;
        }
        // An item that does not convert (no float form, an int too large for
        // a float, a __float__ that refuses) only rules this form out.
        auto m = take_conversion_error();
        if (!m) return false;
        why_inches = *m;
    }
    if (PyUnicode_Check(o)) {
        std::string name;
        if (!tk::extract(o, name)) return false;
        out.value = std::move(name);
        return true;
    }
    return type_error("expected (width, height) in inches or a size name; as (width, height): " + why_inches +
                      "; as a name: '" + tk::type_name(o) + "' object is not a str");
}

// A float as Python shows it.
std::string float_text(double v) {
    char* s = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) {
        PyErr_Clear();
        return std::to_string(v);
    }
    std::string out(s);
    PyMem_Free(s);
    return out;
}

// False with ValueError set for a position (`size` false) or a width or
// height (`size` true) that a drawing cannot hold; NaN and the infinities
// never fit.
bool box_fits(const char* name, const Inches& v, bool size) {
    const std::int64_t low = size ? 0 : COORD_MIN_EMU;
    if (std::isfinite(v.inches) && v.emu >= low && v.emu <= COORD_MAX_EMU) return true;
    value_error(std::string(name) + " " + float_text(v.inches) + " must be from " + (size ? "0" : COORD_MIN_INCHES) +
                " to " + COORD_MAX_INCHES + " inches");
    return false;
}

bool box_fits(const Inches& x, const Inches& y, const Inches& w, const Inches& h) {
    return box_fits("x", x, false) && box_fits("y", y, false) && box_fits("w", w, true) && box_fits("h", h, true);
}

std::optional<std::pair<std::int64_t, std::int64_t>> size_from(const SizeArg& size) {
    if (const auto* inches = std::get_if<std::pair<double, double>>(&size.value)) {
        const std::int64_t cx = inches_to_emu(inches->first), cy = inches_to_emu(inches->second);
        const auto fits = [](std::int64_t side) { return side >= SLIDE_SIDE_MIN_EMU && side <= SLIDE_SIDE_MAX_EMU; };
        if (fits(cx) && fits(cy)) return std::pair{cx, cy};
        value_error("size (" + float_text(inches->first) + ", " + float_text(inches->second) +
                    ") must be from 1 to 56 inches on each side");
        return std::nullopt;
    }
    const std::string& name = std::get<std::string>(size.value);
    if (name == "widescreen" || name == "16:9") return std::pair<std::int64_t, std::int64_t>{12192000, 6858000};
    if (name == "standard" || name == "4:3") return std::pair<std::int64_t, std::int64_t>{9144000, 6858000};
    value_error("unknown size " + tk::repr::text(name) + "; use widescreen, standard or (width, height) in inches");
    return std::nullopt;
}

// ------------------------------------------------------------ the classes

struct Run {
    vw::Run value;
    static const tk::ClassDef<Run>& definition();
};
struct Paragraph {
    vw::Paragraph value;
    static const tk::ClassDef<Paragraph>& definition();
};
struct Picture {
    vw::Block::Picture value;
    static const tk::ClassDef<Picture>& definition();
};
struct Table {
    vw::Block::Table value;
    static const tk::ClassDef<Table>& definition();
};
struct Background {
    vw::Background value;
    static const tk::ClassDef<Background>& definition();
};
struct Slide {
    vw::Slide value;
    static const tk::ClassDef<Slide>& definition();
};
struct Theme {
    vw::Theme value;
    static const tk::ClassDef<Theme>& definition();
};
struct Presentation {
    vw::Presentation value;
    static const tk::ClassDef<Presentation>& definition();
};

// A copy of the value of an instance of W, taken under a shared borrow.
template <class W>
struct Copy {
    decltype(W::value) value;
};

template <class W>
bool extract(PyObject* o, Copy<W>& out) {
    tk::Holder<W>* h = tk::Class<W>::holder(o);
    if (!h) return false;
    tk::Shared<W> hold;
    if (!hold.acquire(o, h)) return false;
    out.value = hold->value;
    return true;
}

template <class W>
bool is_instance(PyObject* o, bool& error) {
    PyTypeObject* t = tk::Class<W>::type();
    error = t == nullptr;
    return t && PyObject_TypeCheck(o, t);
}

// The items of the sequence `o`, `n` long: instances of W (copied) and
// strings, in order. False with an exception set; for an item of any other
// type a TypeError with the text `other(i, type name)`.
template <class W, class Other>
bool mixed_items(PyObject* o, Py_ssize_t n, std::vector<std::variant<decltype(W::value), std::string>>& out,
                 Other other) {
    std::vector<std::variant<decltype(W::value), std::string>> items;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        bool err = false;
        if (is_instance<W>(item.get(), err)) {
            Copy<W> copy;
            if (!extract(item.get(), copy)) return false;
            items.emplace_back(std::move(copy.value));
        } else if (err) {
            return false;
        } else if (PyUnicode_Check(item.get())) {
            std::string s;
            if (!tk::extract(item.get(), s)) return false;
            items.emplace_back(std::move(s));
        } else {
            return type_error(other(i, tk::type_name(item.get())));
        }
    }
    out = std::move(items);
    return true;
}

// ------------------------------------------------------------ text content

// A plain string or a list of strings and write.Run items.
struct Content {
    std::vector<std::variant<vw::Run, std::string>> pieces;
};

bool extract(PyObject* o, Content& out) {
    if (PyUnicode_Check(o)) {
        std::string s;
        if (!tk::extract(o, s)) return false;
        out.pieces.clear();
        out.pieces.emplace_back(std::move(s));
        return true;
    }
    const std::string not_str = "as a str: '" + tk::type_name(o) + "' object is not a str";
    Py_ssize_t n = 0;
    if (!tk::sequence_length(o, n)) {
        auto m = take_type_error();
        if (!m) return false;
        return type_error("expected a str or a list of str and Run items; " + not_str + "; as a list: " + *m);
    }
    return mixed_items<Run>(o, n, out.pieces, [&](Py_ssize_t i, const std::string& type) {
        return "expected a str or a list of str and Run items; " + not_str + "; as a list: item " +
               std::to_string(i) + " is a '" + type + "' object, neither a str nor a Run";
    });
}

// False with ValueError set for paragraph spacing the package cannot hold.
bool spacing_fits(const char* name, const std::optional<std::uint32_t>& points) {
    if (!points || *points <= SPACING_POINTS_MAX) return true;
    value_error(std::string(name) + " " + std::to_string(*points) + " must be from 0 to 1584 points");
    return false;
}

// False with ValueError set for a font size the package cannot hold.
bool font_size_fits(const std::optional<std::uint32_t>& size) {
    if (!size || (*size >= FONT_POINTS_MIN && *size <= FONT_POINTS_MAX)) return true;
    value_error("size " + std::to_string(*size) + " must be from 1 to 4000 points");
    return false;
}

// Keyword formatting for plain strings; the colour is parsed per string.
struct Style {
    std::optional<std::uint32_t> size;
    const std::optional<std::string>* color = nullptr;
    bool bold = false;
    bool italic = false;

    bool apply(vw::Run& run) const {
        run.size = size;
        run.bold = bold;
        run.italic = italic;
        run.color.reset();
        if (color && *color) {
            auto c = color_from(**color);
            if (!c) return false;
            run.color = *c;
        }
        return true;
    }
};

std::optional<std::vector<vw::Run>> runs_from(Content content, const Style& style) {
    std::vector<vw::Run> runs;
    runs.reserve(content.pieces.size());
    for (auto& piece : content.pieces) {
        if (auto* run = std::get_if<vw::Run>(&piece)) {
            runs.push_back(std::move(*run));
            continue;
        }
        vw::Run run;
        run.text = std::move(std::get<std::string>(piece));
        if (!style.apply(run)) return std::nullopt;
        runs.push_back(std::move(run));
    }
    return runs;
}

// ------------------------------------------------------------ lines and blocks

// A list of lines: write.Paragraph objects (copied) and plain strings.
struct Lines {
    std::vector<std::variant<vw::Paragraph, std::string>> items;
};

bool extract(PyObject* o, Lines& out) {
    Py_ssize_t n = 0;
    if (!tk::sequence_length(o, n)) return false;
    return mixed_items<Paragraph>(o, n, out.items, [](Py_ssize_t i, const std::string& type) {
        return "item " + std::to_string(i) + " is a '" + type + "' object, neither a str nor a Paragraph";
    });
}

// The paragraph of a plain-string line in a block: an unformatted bullet.
vw::Paragraph bullet_line(std::string text) {
    vw::Paragraph p;
    p.runs.push_back(vw::Run{.text = std::move(text)});
    p.bullet = true;
    return p;
}

vw::Block lines_block(Lines lines) {
    vw::Block::Paragraphs out;
    out.paragraphs.reserve(lines.items.size());
    for (auto& line : lines.items) {
        if (auto* p = std::get_if<vw::Paragraph>(&line)) out.paragraphs.push_back(std::move(*p));
        else out.paragraphs.push_back(bullet_line(std::move(std::get<std::string>(line))));
    }
    return vw::Block{std::move(out)};
}

// Tries the block forms in order: Picture, Table, list of lines, list of
// blocks. A failure other than a TypeError of one form is passed on as it is.
bool block_from(PyObject* o, vw::Block& out, std::size_t depth) {
    if (depth > MAX_BLOCK_DEPTH) {
        PyErr_SetString(PyExc_RecursionError,
                        ("blocks nested deeper than " + std::to_string(MAX_BLOCK_DEPTH) + " levels").c_str());
        return false;
    }
    bool err = false;
    if (is_instance<Picture>(o, err)) {
        Copy<Picture> p;
        if (!extract(o, p)) return false;
        out = vw::Block{std::move(p.value)};
        return true;
    }
    if (err) return false;
    if (is_instance<Table>(o, err)) {
        Copy<Table> t;
        if (!extract(o, t)) return false;
        out = vw::Block{std::move(t.value)};
        return true;
    }
    if (err) return false;

    Lines lines;
    if (extract(o, lines)) {
        out = lines_block(std::move(lines));
        return true;
    }
    auto why_lines = take_type_error();
    if (!why_lines) return false;

    std::string why_columns;
    Py_ssize_t n = 0;
    if (tk::sequence_length(o, n)) {
        vw::Block::Columns columns;
        Py_ssize_t i = 0;
        for (; i < n; ++i) {
            Ref item = Ref::steal(PySequence_GetItem(o, i));
            if (!item) return false;
            vw::Block member;
            if (!block_from(item.get(), member, depth + 1)) break;
            columns.blocks.push_back(std::move(member));
        }
        if (i == n) {
            out = vw::Block{std::move(columns)};
            return true;
        }
        auto m = take_type_error();
        if (!m) return false;
        why_columns = "item " + std::to_string(i) + ": " + *m;
    } else {
        auto m = take_type_error();
        if (!m) return false;
        why_columns = *m;
    }
    const std::string type = tk::type_name(o);
    return type_error("'" + type + "' object is no block: not a Picture; not a Table; as a list of lines: " +
                      *why_lines + "; as a list of blocks: (" + why_columns + ")");
}

struct BlockArg {
    vw::Block block;
};
bool extract(PyObject* o, BlockArg& out) { return block_from(o, out.block, 0); }
// One argument of `columns`: the columns block made of them counts towards
// the nesting limit too.
struct ColumnArg {
    vw::Block block;
};
bool extract(PyObject* o, ColumnArg& out) { return block_from(o, out.block, 1); }

// ------------------------------------------------------------ Run

namespace {

std::optional<Run> run_new(const Args& a) {
    std::string text;
    bool bold = false, italic = false, underline = false, strike = false;
    std::optional<std::uint32_t> size;
    std::optional<std::string> color, font, link;
    if (!a.get("text", text) || !a.get("bold", bold) || !a.get("italic", italic) ||
        !a.get("underline", underline) || !a.get("strike", strike) || !a.get("size", size) ||
        !a.get("color", color) || !a.get("font", font) || !a.get("link", link))
        return std::nullopt;
    if (!font_size_fits(size)) return std::nullopt;
    std::optional<vw::Color> parsed;
    if (color) {
        parsed = color_from(*color);
        if (!parsed) return std::nullopt;
    }
    return Run{vw::Run{std::move(text), std::move(font), std::move(link), size, parsed, bold, italic, underline,
                       strike}};
}

} // namespace

const tk::ClassDef<Run>& Run::definition() {
    static const tk::ClassDef<Run> def{
        "vantrell.write.Run",
        "A run of text with one set of character properties; `size` is in\n"
        "points, `color` is `#RRGGBB` or a theme slot name, `link` an absolute URL.",
        {
            tk::member<&Run::value, &vw::Run::text>("text"),
            tk::member<&Run::value, &vw::Run::bold>("bold"),
            tk::member<&Run::value, &vw::Run::italic>("italic"),
            tk::member<&Run::value, &vw::Run::underline>("underline"),
            tk::member<&Run::value, &vw::Run::strike>("strike"),
            tk::member<&Run::value, &vw::Run::size>("size"),
            tk::getter<Run>("color",
                            [](const Run& r) {
                                return r.value.color ? tk::to_py::str(color_name(*r.value.color))
                                                     : tk::to_py::none();
                            }),
            tk::member<&Run::value, &vw::Run::font>("font"),
            tk::member<&Run::value, &vw::Run::link>("link"),
        },
        {},
        [](const Run& r) { return "write.Run(" + tk::repr::text(r.value.text) + ")"; },
        tk::constructor<Run,
                        "(text, *, bold=False, italic=False, underline=False, strike=False, size=None, "
                        "color=None, font=None, link=None)",
                        &run_new>(),
        {},
    };
    return def;
}

// ------------------------------------------------------------ Paragraph

namespace {

std::string joined_text(const vw::Paragraph& p) {
    std::string out;
    for (const vw::Run& r : p.runs) out += r.text;
    return out;
}

std::optional<Paragraph> paragraph_new(const Args& a) {
    Content content;
    std::uint8_t level = 0;
    bool bullet = false, bold = false, italic = false;
    std::string align = "left";
    std::optional<std::uint32_t> size, space_before, space_after;
    std::optional<std::string> color;
    if (!a.get("text", content) || !a.get("level", level) || !a.get("bullet", bullet) || !a.get("align", align) ||
        !a.get("bold", bold) || !a.get("italic", italic) || !a.get("size", size) || !a.get("color", color) ||
        !a.get("space_before", space_before) || !a.get("space_after", space_after))
        return std::nullopt;
    if (!font_size_fits(size) || !spacing_fits("space_before", space_before) ||
        !spacing_fits("space_after", space_after))
        return std::nullopt;
    auto runs = runs_from(std::move(content), Style{size, &color, bold, italic});
    if (!runs) return std::nullopt;
    auto parsed_align = align_from(align);
    if (!parsed_align) return std::nullopt;
    vw::Paragraph p;
    p.runs = std::move(*runs);
    p.space_before = space_before;
    p.space_after = space_after;
    p.bullet = bullet;
    p.align = *parsed_align;
    p.level = std::min<std::uint8_t>(level, 8);
    return Paragraph{std::move(p)};
}

} // namespace

const tk::ClassDef<Paragraph>& Paragraph::definition() {
    static const tk::ClassDef<Paragraph> def{
        "vantrell.write.Paragraph",
        "One paragraph: a string or a list of strings and runs, plus level,\n"
        "bullet, alignment and spacing in points. Keyword formatting applies to\n"
        "plain strings; a `Run` keeps its own.",
        {
            tk::getter<Paragraph>(
                "text", [](const Paragraph& p) { return tk::to_py::str(joined_text(p.value)); },
                "The runs' text joined."),
            tk::objects<Run, &Paragraph::value, &vw::Paragraph::runs>("runs"),
            tk::member<&Paragraph::value, &vw::Paragraph::level>("level"),
            tk::member<&Paragraph::value, &vw::Paragraph::bullet>("bullet"),
            tk::getter<Paragraph>("align",
                                  [](const Paragraph& p) { return tk::to_py::str(align_name(p.value.align)); }),
        },
        {},
        [](const Paragraph& p) { return "write.Paragraph(" + tk::repr::text(joined_text(p.value)) + ")"; },
        tk::constructor<Paragraph,
                        "(text, *, level=0, bullet=False, align=\"left\", bold=False, italic=False, size=None, "
                        "color=None, space_before=None, space_after=None)",
                        &paragraph_new>(),
        {},
    };
    return def;
}

// ------------------------------------------------------------ Picture and Table

namespace {

std::optional<Picture> picture_new(const Args& a) {
    Picture p;
    if (!a.get("data", p.value.data) || !a.get("description", p.value.description)) return std::nullopt;
    return p;
}

std::optional<Table> table_new(const Args& a) {
    Table t;
    t.value.header = true;
    if (!a.get("rows", t.value.rows) || !a.get("header", t.value.header)) return std::nullopt;
    return t;
}

} // namespace

const tk::ClassDef<Picture>& Picture::definition() {
    static const tk::ClassDef<Picture> def{
        "vantrell.write.Picture",
        "A picture (PNG, JPEG, GIF, BMP or TIFF bytes) for the layout engine to\n"
        "place; it keeps its aspect ratio.",
        {tk::member<&Picture::value, &vw::Block::Picture::description>("description")},
        {},
        [](const Picture& p) { return "write.Picture(" + std::to_string(p.value.data.size()) + " bytes)"; },
        tk::constructor<Picture, "(data, *, description=None)", &picture_new>(),
        {},
    };
    return def;
}

const tk::ClassDef<Table>& Table::definition() {
    static const tk::ClassDef<Table> def{
        "vantrell.write.Table",
        "A table of cell texts for the layout engine to place; rows take the\n"
        "height their cells need, and a long table continues on the next slide\n"
        "with its header.",
        {
            tk::member<&Table::value, &vw::Block::Table::rows>("rows"),
            tk::member<&Table::value, &vw::Block::Table::header>("header"),
        },
        {},
        [](const Table& t) { return "write.Table(" + std::to_string(t.value.rows.size()) + " rows)"; },
        tk::constructor<Table, "(rows, *, header=True)", &table_new>(),
        {},
    };
    return def;
}

// ------------------------------------------------------------ Background

namespace {

PyObject* new_background(vw::Background b) { return tk::Class<Background>::create(Background{std::move(b)}); }

// The angle argument: 90 when absent, otherwise reduced modulo 360.
bool angle_arg(const Args& a, std::uint16_t& out) {
    std::uint16_t angle = 90;
    if (!a.get("angle", angle)) return false;
    out = static_cast<std::uint16_t>(angle % 360);
    return true;
}

PyObject* background_solid(const Args& a) {
    std::string color;
    if (!a.get("color", color)) return nullptr;
    auto c = color_from(color);
    if (!c) return nullptr;
    return new_background(vw::Background{vw::Background::Solid{*c}});
}

PyObject* background_linear(const Args& a) {
    std::string start, end;
    std::uint16_t angle = 90;
    if (!a.get("start", start) || !a.get("end", end) || !angle_arg(a, angle)) return nullptr;
    auto from = color_from(start);
    if (!from) return nullptr;
    auto to = color_from(end);
    if (!to) return nullptr;
    return new_background(vw::Background{vw::Background::Gradient{{{*from, 0}, {*to, 100}}, angle}});
}

// One gradient stop as given: (percent, colour text).
struct Stop {
    std::uint8_t percent = 0;
    std::string color;
};

bool extract(PyObject* o, Stop& out) {
    if (!PyTuple_Check(o)) return type_error("'" + tk::type_name(o) + "' object cannot be converted to 'PyTuple'");
    const Py_ssize_t n = PyTuple_Size(o);
    if (n != 2) {
        value_error("expected tuple of length 2, but got tuple of length " + std::to_string(n));
        return false;
    }
    return tk::extract(PyTuple_GetItem(o, 0), out.percent) && tk::extract(PyTuple_GetItem(o, 1), out.color);
}

PyObject* background_gradient(const Args& a) {
    std::vector<Stop> stops;
    std::uint16_t angle = 90;
    if (!a.get("stops", stops) || !angle_arg(a, angle)) return nullptr;
    vw::Background::Gradient g;
    g.angle = angle;
    g.stops.reserve(stops.size());
    for (const Stop& s : stops) {
        auto c = color_from(s.color);
        if (!c) return nullptr;
        g.stops.emplace_back(*c, s.percent);
    }
    return new_background(vw::Background{std::move(g)});
}

PyObject* background_picture(const Args& a) {
    vw::Bytes data;
    if (!a.get("data", data)) return nullptr;
    return new_background(vw::Background{vw::Background::Picture{std::move(data)}});
}

std::string background_repr(const Background& b) {
    if (const auto* s = std::get_if<vw::Background::Solid>(&b.value.value))
        return "write.Background.solid(" + tk::repr::text(color_name(s->color)) + ")";
    if (const auto* g = std::get_if<vw::Background::Gradient>(&b.value.value))
        return "write.Background.gradient(stops=" + std::to_string(g->stops.size()) +
               ", angle=" + std::to_string(g->angle) + ")";
    return "write.Background.picture(" +
           std::to_string(std::get<vw::Background::Picture>(b.value.value).data.size()) + " bytes)";
}

} // namespace

const tk::ClassDef<Background>& Background::definition() {
    static const tk::ClassDef<Background> def{
        "vantrell.write.Background",
        "A background: a solid color, a linear gradient or a picture.",
        {},
        {
            tk::static_method<Background, "solid(color)", &background_solid>(""),
            tk::static_method<Background, "gradient(stops, angle=90)", &background_gradient>(
                "`stops` are `(percent, color)` pairs; `angle` is in degrees, 90 runs top to bottom."),
            tk::static_method<Background, "linear(start, end, angle=90)", &background_linear>(
                "A two-stop gradient from `start` to `end`."),
            tk::static_method<Background, "picture(data)", &background_picture>(
                "Picture bytes (PNG, JPEG, GIF, BMP or TIFF) stretched over the slide."),
        },
        &background_repr,
        std::nullopt,
        {},
    };
    return def;
}

// ------------------------------------------------------------ Slide

namespace {

std::optional<Slide> slide_new(const Args& a) {
    std::optional<std::string> title, subtitle, layout, notes;
    bool hidden = false, inverted = false;
    std::optional<Copy<Background>> background;
    if (!a.get("title", title) || !a.get("subtitle", subtitle) || !a.get("layout", layout) ||
        !a.get("notes", notes) || !a.get("hidden", hidden) || !a.get("background", background) ||
        !a.get("inverted", inverted))
        return std::nullopt;
    std::optional<vw::Layout> parsed;
    if (!layout_from(layout, parsed)) return std::nullopt;
    vw::Slide s;
    s.title = std::move(title);
    s.subtitle = std::move(subtitle);
    s.notes = std::move(notes);
    s.layout = parsed;
    s.hidden = hidden;
    s.inverted = inverted;
    if (background) s.background = std::move(background->value);
    return Slide{std::move(s)};
}

PyObject* slide_bullet(Slide& s, const Args& a) {
    Content content;
    std::uint8_t level = 0;
    bool bold = false, italic = false;
    std::optional<std::uint32_t> size;
    std::optional<std::string> color;
    if (!a.get("text", content) || !a.get("level", level) || !a.get("bold", bold) || !a.get("italic", italic) ||
        !a.get("size", size) || !a.get("color", color))
        return nullptr;
    if (!font_size_fits(size)) return nullptr;
    auto runs = runs_from(std::move(content), Style{size, &color, bold, italic});
    if (!runs) return nullptr;
    vw::Paragraph p;
    p.runs = std::move(*runs);
    p.level = std::min<std::uint8_t>(level, 8);
    p.bullet = true;
    s.value.body.push_back(std::move(p));
    return self_ref(a);
}

PyObject* slide_paragraph(Slide& s, const Args& a) {
    Content content;
    bool bold = false, italic = false;
    std::optional<std::uint32_t> size;
    std::optional<std::string> color;
    std::string align = "left";
    if (!a.get("text", content) || !a.get("bold", bold) || !a.get("italic", italic) || !a.get("size", size) ||
        !a.get("color", color) || !a.get("align", align))
        return nullptr;
    if (!font_size_fits(size)) return nullptr;
    auto runs = runs_from(std::move(content), Style{size, &color, bold, italic});
    if (!runs) return nullptr;
    auto parsed = align_from(align);
    if (!parsed) return nullptr;
    vw::Paragraph p;
    p.runs = std::move(*runs);
    p.align = *parsed;
    s.value.body.push_back(std::move(p));
    return self_ref(a);
}

PyObject* slide_text_box(Slide& s, const Args& a) {
    Inches x, y, w, h;
    Lines lines;
    bool bullets = false, bold = false, italic = false;
    std::optional<std::uint32_t> size;
    std::optional<std::string> color;
    if (!a.get("x", x) || !a.get("y", y) || !a.get("w", w) || !a.get("h", h) || !a.get("lines", lines) ||
        !a.get("bullets", bullets) || !a.get("bold", bold) || !a.get("italic", italic) || !a.get("size", size) ||
        !a.get("color", color))
        return nullptr;
    if (!box_fits(x, y, w, h) || !font_size_fits(size)) return nullptr;
    const Style style{size, &color, bold, italic};
    vw::Shape::TextBox box;
    box.rect = vw::Rect{x.emu, y.emu, w.emu, h.emu};
    box.paragraphs.reserve(lines.items.size());
    for (auto& line : lines.items) {
        if (auto* p = std::get_if<vw::Paragraph>(&line)) {
            box.paragraphs.push_back(std::move(*p));
            continue;
        }
        vw::Run run;
        run.text = std::move(std::get<std::string>(line));
        if (!style.apply(run)) return nullptr;
        vw::Paragraph p;
        p.runs.push_back(std::move(run));
        p.bullet = bullets;
        box.paragraphs.push_back(std::move(p));
    }
    s.value.shapes.push_back(vw::Shape{std::move(box)});
    return self_ref(a);
}

// x, y, w and h of `table` and `picture`: all four give a fixed box, none
// leaves the placing to the layout engine.
struct Placement {
    std::optional<Inches> x, y, w, h;

    bool convert(const Args& a) { return a.get("x", x) && a.get("y", y) && a.get("w", w) && a.get("h", h); }
    bool rect(std::optional<vw::Rect>& out) const;
};

bool Placement::rect(std::optional<vw::Rect>& out) const {
    const int given = int(x.has_value()) + int(y.has_value()) + int(w.has_value()) + int(h.has_value());
    if (given == 4) {
        if (!box_fits(*x, *y, *w, *h)) return false;
        out = vw::Rect{x->emu, y->emu, w->emu, h->emu};
        return true;
    }
    if (given == 0) {
        out.reset();
        return true;
    }
    value_error("give x, y, w and h together for a fixed position, or none of them to let the layout engine place it");
    return false;
}

PyObject* slide_table(Slide& s, const Args& a) {
    vw::TableRows rows;
    bool header = true;
    Placement place;
    std::optional<vw::Rect> rect;
    if (!a.get("rows", rows) || !a.get("header", header) || !place.convert(a) || !place.rect(rect)) return nullptr;
    if (rect) s.value.shapes.push_back(vw::Shape{vw::Shape::Table{std::move(rows), header, *rect}});
    else s.value.blocks.push_back(vw::Block{vw::Block::Table{std::move(rows), header}});
    return self_ref(a);
}

PyObject* slide_picture(Slide& s, const Args& a) {
    vw::Bytes data;
    Placement place;
    std::optional<vw::Rect> rect;
    std::optional<std::string> description;
    if (!a.get("data", data) || !place.convert(a) || !a.get("description", description) || !place.rect(rect))
        return nullptr;
    if (rect) {
        std::string name = "Picture " + std::to_string(s.value.shapes.size() + 1);
        s.value.shapes.push_back(
            vw::Shape{vw::Shape::Picture{std::move(data), std::move(name), std::move(description), *rect}});
    } else {
        s.value.blocks.push_back(vw::Block{vw::Block::Picture{std::move(data), std::move(description)}});
    }
    return self_ref(a);
}

PyObject* slide_block(Slide& s, const Args& a) {
    BlockArg block;
    if (!a.get("block", block)) return nullptr;
    s.value.blocks.push_back(std::move(block.block));
    return self_ref(a);
}

// `*columns` gathers every positional argument and refuses every keyword,
// which the signature binder cannot express: bound here by hand.
PyObject* slide_columns(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tk::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (kwargs && PyDict_Size(kwargs) > 0) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            PyDict_Next(kwargs, &pos, &key, &value);
            PyErr_Format(PyExc_TypeError, "Slide.columns() got an unexpected keyword argument '%S'", key);
            return nullptr;
        }
        tk::Holder<Slide>* h = tk::Class<Slide>::holder(self);
        if (!h) return nullptr;
        tk::Exclusive<Slide> hold;
        if (!hold.acquire(h)) return nullptr;
        const Py_ssize_t n = PyTuple_Size(args);
        if (n < 0) return nullptr;
        vw::Block::Columns columns;
        for (Py_ssize_t i = 0; i < n; ++i) {
            ColumnArg b;
            if (!tk::convert_arg("columns", PyTuple_GetItem(args, i), b)) return nullptr;
            columns.blocks.push_back(std::move(b.block));
        }
        if (n == 0) return value_error("columns needs at least one block");
        h->value()->value.blocks.push_back(vw::Block{std::move(columns)});
        return Py_NewRef(self);
    });
}

std::string slide_repr(const Slide& s) {
    return "write.Slide(title=" + tk::repr::optional_text(s.value.title) +
           ", body=" + std::to_string(s.value.body.size()) + ", blocks=" + std::to_string(s.value.blocks.size()) +
           ", shapes=" + std::to_string(s.value.shapes.size()) + ")";
}

} // namespace

const tk::ClassDef<Slide>& Slide::definition() {
    static const tk::ClassDef<Slide> def{
        "vantrell.write.Slide",
        "One slide under construction.",
        {
            tk::member<&Slide::value, &vw::Slide::title>("title"),
            tk::member<&Slide::value, &vw::Slide::notes>("notes"),
        },
        {
            tk::method<"bullet($self, text, level=0, *, bold=False, italic=False, size=None, color=None)",
                       &slide_bullet>("Adds a bullet to the body placeholder; `text` is a string or a list\n"
                                      "of strings and runs, `size` is in points."),
            tk::method<"paragraph($self, text, *, bold=False, italic=False, size=None, color=None, align=\"left\")",
                       &slide_paragraph>("Adds a plain paragraph to the body placeholder; `text` is a string\n"
                                         "or a list of strings and runs, `size` is in points."),
            tk::method<"text_box($self, x, y, w, h, lines, *, bullets=False, bold=False, italic=False, size=None, "
                       "color=None)",
                       &slide_text_box>("Adds a text box at `(x, y)` inches, `w` by `h` inches; one paragraph\n"
                                        "per line. A plain string takes the keyword formatting; a `Paragraph`\n"
                                        "keeps its own."),
            tk::method<"table($self, rows, *, header=True, x=None, y=None, w=None, h=None)", &slide_table>(
                "Adds a table of cell texts; every row must have the same length.\n"
                "With `x`, `y`, `w` and `h` in inches it sits at that position;\n"
                "without them the layout engine places it below the body."),
            tk::method<"picture($self, data, *, x=None, y=None, w=None, h=None, description=None)",
                       &slide_picture>("Adds a picture (PNG, JPEG, GIF, BMP or TIFF bytes). With `x`, `y`,\n"
                                       "`w` and `h` in inches it fills that box; without them the layout\n"
                                       "engine places it below the body at its own aspect ratio."),
            tk::method<"block($self, block)", &slide_block>(
                "Adds a block below the body for the layout engine to place: a list\n"
                "of lines (strings become bullets, a `Paragraph` keeps its\n"
                "formatting), a `Picture`, a `Table`, or a list of those set side by\n"
                "side."),
            tk::MethodDef{"columns",
                          tk::signature_doc("columns($self, *columns)",
                                            "Adds blocks side by side; two blocks of which one is a picture\n"
                                            "split seven to five in the text's favor, otherwise columns are\n"
                                            "equal."),
                          &slide_columns},
        },
        &slide_repr,
        tk::constructor<Slide,
                        "(title=None, *, subtitle=None, layout=None, notes=None, hidden=False, background=None, "
                        "inverted=False)",
                        &slide_new>(),
        {},
    };
    return def;
}

// ------------------------------------------------------------ Theme

namespace {

// A dict argument, its entries sorted by key bytewise.
template <class V>
struct SortedDict {
    std::map<std::string, V> entries;
};

template <class V>
bool extract(PyObject* o, SortedDict<V>& out) {
    if (!PyDict_Check(o)) return type_error("'" + tk::type_name(o) + "' object cannot be converted to 'PyDict'");
    SortedDict<V> d;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(o, &pos, &key, &value)) {
        // Keep both alive: converting the value may run code that changes the dict.
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        std::string name;
        V converted{};
        if (!tk::extract(k.get(), name) || !tk::extract(v.get(), converted)) return false;
        d.entries.insert_or_assign(std::move(name), std::move(converted));
    }
    out = std::move(d);
    return true;
}

std::string size_names() {
    std::string out;
    for (const char* n : SIZE_NAMES) {
        if (!out.empty()) out += ", ";
        out += n;
    }
    return out;
}

std::uint32_t* size_slot(vw::TypeSizes& sizes, std::string_view name) {
    if (name == "display") return &sizes.display;
    if (name == "title") return &sizes.title;
    if (name == "subtitle") return &sizes.subtitle;
    if (name == "body") return &sizes.body;
    if (name == "table") return &sizes.table;
    if (name == "minimum") return &sizes.minimum;
    return nullptr;
}

std::optional<Theme> theme_new(const Args& a) {
    std::string name = "vantrell";
    std::optional<SortedDict<std::string>> colors;
    std::optional<std::string> major_font, minor_font, font;
    std::optional<SortedDict<std::uint32_t>> sizes;
    bool inverted = false;
    std::optional<Copy<Background>> background;
    std::optional<std::vector<vw::Bytes>> embed_fonts;
    if (!a.get("name", name) || !a.get("colors", colors) || !a.get("major_font", major_font) ||
        !a.get("minor_font", minor_font) || !a.get("font", font) || !a.get("sizes", sizes) ||
        !a.get("inverted", inverted) || !a.get("background", background) || !a.get("embed_fonts", embed_fonts))
        return std::nullopt;

    vw::Theme t = vw::Theme::make(std::move(name));
    if (sizes) {
        for (const auto& [key, points] : sizes->entries) {
            std::uint32_t* slot = size_slot(t.sizes, key);
            if (!slot) {
                value_error("unknown size " + tk::repr::text(key) + "; use one of " + size_names());
                return std::nullopt;
            }
            if (points == 0) {
                value_error("size " + tk::repr::text(key) + " must be positive");
                return std::nullopt;
            }
            if (points > FONT_POINTS_MAX) {
                value_error("size " + tk::repr::text(key) + " must be from 1 to 4000 points");
                return std::nullopt;
            }
            *slot = points;
        }
    }
    if (colors) {
        for (const auto& [key, text] : colors->entries) {
            auto slot = vw::SchemeColor::from_name(key);
            if (!slot) {
                value_error("unknown theme slot " + tk::repr::text(key) + "; use one of " + slot_names());
                return std::nullopt;
            }
            auto rgb = vw::Rgb::hex(text);
            if (!rgb) {
                value_error("theme color " + tk::repr::text(text) + " must be #RRGGBB");
                return std::nullopt;
            }
            t.colors[slot->slot] = *rgb;
        }
    }
    if (font) t = std::move(t).font(*font);
    if (major_font) t.major_font = *major_font;
    if (minor_font) t.minor_font = *minor_font;
    if (inverted) t.inverted = true;
    if (background) t.background = std::move(background->value);
    if (embed_fonts) t.embedded_fonts = std::move(*embed_fonts);
    return Theme{std::move(t)};
}

std::string preset_names() {
    std::string out;
    for (std::string_view n : vw::Theme::PRESETS) {
        if (!out.empty()) out += ", ";
        out += n;
    }
    return out;
}

PyObject* theme_preset(const Args& a) {
    std::string name;
    if (!a.get("name", name)) return nullptr;
    auto t = vw::Theme::preset(name);
    if (!t) return value_error("unknown theme " + tk::repr::text(name) + "; use one of " + preset_names());
    return tk::Class<Theme>::create(Theme{std::move(*t)});
}

PyObject* theme_presets(const Args&) {
    return tk::to_py::list(vw::Theme::PRESETS, [](std::string_view n) { return tk::to_py::str(n); });
}

PyObject* theme_embed_font(Theme& t, const Args& a) {
    vw::Bytes data;
    if (!a.get("data", data)) return nullptr;
    t.value.embedded_fonts.push_back(std::move(data));
    return self_ref(a);
}

PyObject* theme_layout_background(Theme& t, const Args& a) {
    std::string layout;
    Copy<Background> background;
    bool inverted = false;
    if (!a.get("layout", layout) || !a.get("background", background) || !a.get("inverted", inverted))
        return nullptr;
    std::optional<vw::Layout> parsed;
    if (!layout_from(layout, parsed)) return nullptr;
    // With room reserved the replacement cannot fail halfway.
    t.value.layout_backgrounds.reserve(t.value.layout_backgrounds.size() + 1);
    t.value = std::move(t.value).layout_background(*parsed, std::move(background.value), inverted);
    return self_ref(a);
}

PyObject* theme_colors(const Theme& t) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (std::size_t i = 0; i < vw::SchemeColor::COUNT; ++i) {
        Ref v = Ref::steal(tk::to_py::str("#" + t.value.colors[i].to_hex()));
        Ref k = Ref::steal(tk::to_py::str(vw::SchemeColor::NAMES[i]));
        if (!v || !k || PyDict_SetItem(d.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* theme_sizes(const Theme& t) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    vw::TypeSizes sizes = t.value.sizes;
    for (const char* name : SIZE_NAMES) {
        Ref v = Ref::steal(tk::to_py::u64(*size_slot(sizes, name)));
        if (!v || PyDict_SetItemString(d.get(), name, v.get()) < 0) return nullptr;
    }
    return d.release();
}

} // namespace

const tk::ClassDef<Theme>& Theme::definition() {
    static const tk::ClassDef<Theme> def{
        "vantrell.write.Theme",
        "Colors, fonts, type scale, backgrounds and embedded fonts shared by\n"
        "every slide. `colors` maps slot names (dark1, light1, dark2, light2,\n"
        "accent1 to accent6, hyperlink, followed_hyperlink) to `#RRGGBB`;\n"
        "`sizes` maps display, title, subtitle, body, table and minimum to\n"
        "points; `embed_fonts` holds TrueType or OpenType files stored in the\n"
        "deck.",
        {
            tk::getter<Theme>(
                "embedded_font_count",
                [](const Theme& t) { return tk::to_py::u64(t.value.embedded_fonts.size()); },
                "The number of embedded font files."),
            tk::member<&Theme::value, &vw::Theme::name>("name"),
            tk::member<&Theme::value, &vw::Theme::major_font>("major_font"),
            tk::member<&Theme::value, &vw::Theme::minor_font>("minor_font"),
            tk::member<&Theme::value, &vw::Theme::inverted>("inverted"),
            tk::getter<Theme>("colors", &theme_colors),
            tk::getter<Theme>("sizes", &theme_sizes, "Font sizes in points by name."),
        },
        {
            tk::static_method<Theme, "preset(name)", &theme_preset>("A preset by name; see `presets()`."),
            tk::static_method<Theme, "presets()", &theme_presets>(""),
            tk::method<"embed_font($self, data)", &theme_embed_font>(
                "Stores a TrueType or OpenType font file in the deck. Files of one\n"
                "family fill its regular, bold, italic and bold italic slots. Saving\n"
                "fails for a font whose license forbids embedding."),
            tk::method<"layout_background($self, layout, background, *, inverted=False)",
                       &theme_layout_background>(
                "A background for one layout; `inverted` swaps light and dark text on it."),
        },
        [](const Theme& t) { return "write.Theme(" + tk::repr::text(t.value.name) + ")"; },
        tk::constructor<Theme,
                        "(name=\"vantrell\", *, colors=None, major_font=None, minor_font=None, font=None, "
                        "sizes=None, inverted=False, background=None, embed_fonts=None)",
                        &theme_new>(),
        {},
    };
    return def;
}

// ------------------------------------------------------------ Presentation

namespace {

// Size, theme and font, applied in that order to a fresh presentation.
struct DeckLook {
    SizeArg size;
    std::optional<Copy<Theme>> theme;
    std::optional<std::string> font;

    bool convert(const Args& a) { return a.get("size", size) && a.get("theme", theme) && a.get("font", font); }

    bool apply(vw::Presentation& p) {
        auto emu = size_from(size);
        if (!emu) return false;
        p.cx = emu->first;
        p.cy = emu->second;
        if (theme) p.theme = std::move(theme->value);
        if (font) p.theme = std::move(p.theme).font(*font);
        return true;
    }
};

int days_in(int year, int month) {
    if (month == 2) return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0) ? 29 : 28;
    return month == 4 || month == 6 || month == 9 || month == 11 ? 30 : 31;
}

// Whether `t` is a date as the core properties' W3CDTF type takes it: YYYY,
// YYYY-MM, YYYY-MM-DD, or YYYY-MM-DDThh:mm:ss with an optional fraction of a
// second and a zone of Z, +hh:mm or -hh:mm. The W3C profile's time without
// seconds is left out, as the type's schema refuses it, and so is year 0.
bool is_w3cdtf(std::string_view t) {
    std::size_t at = 0;
    const auto number = [&](std::size_t n, int low, int high, int& out) {
        if (t.size() - at < n) return false;
        out = 0;
        for (const char c : t.substr(at, n)) {
            if (c < '0' || c > '9') return false;
            out = out * 10 + (c - '0');
        }
        at += n;
        return out >= low && out <= high;
    };
    const auto mark = [&](char c) {
        if (at == t.size() || t[at] != c) return false;
        ++at;
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, zone_hours = 0, zone_minutes = 0;
    if (!number(4, 1, 9999, year)) return false;
    if (at == t.size()) return true;
    if (!mark('-') || !number(2, 1, 12, month)) return false;
    if (at == t.size()) return true;
    if (!mark('-') || !number(2, 1, days_in(year, month), day)) return false;
    if (at == t.size()) return true;
    if (!mark('T') || !number(2, 0, 23, hour) || !mark(':') || !number(2, 0, 59, minute) || !mark(':') ||
        !number(2, 0, 59, second))
        return false;
    if (mark('.')) {
        const std::size_t first = at;
        while (at < t.size() && t[at] >= '0' && t[at] <= '9') ++at;
        if (at == first) return false;
    }
    if (mark('Z')) return at == t.size();
    if (!mark('+') && !mark('-')) return false;
    return number(2, 0, 14, zone_hours) && mark(':') && number(2, 0, 59, zone_minutes) && at == t.size() &&
           (zone_hours < 14 || zone_minutes == 0);
}

std::optional<Presentation> presentation_new(const Args& a) {
    DeckLook look;
    std::optional<std::string> title, creator, subject, keywords, timestamp;
    if (!look.convert(a) || !a.get("title", title) || !a.get("creator", creator) || !a.get("subject", subject) ||
        !a.get("keywords", keywords) || !a.get("timestamp", timestamp))
        return std::nullopt;
    vw::Presentation p;
    if (!look.apply(p)) return std::nullopt;
    if (timestamp && !is_w3cdtf(*timestamp)) {
        value_error("timestamp " + tk::repr::text(*timestamp) +
                    " must be a W3CDTF date: YYYY, YYYY-MM, YYYY-MM-DD or YYYY-MM-DDThh:mm:ss[.s] followed by Z, "
                    "+hh:mm or -hh:mm");
        return std::nullopt;
    }
    vw::Metadata m;
    if (creator) m.creator = std::move(*creator);
    if (timestamp) m.timestamp = std::move(*timestamp);
    m.title = std::move(title);
    m.subject = std::move(subject);
    m.keywords = std::move(keywords);
    p.metadata = std::move(m);
    return Presentation{std::move(p)};
}

PyObject* presentation_add(Presentation& p, const Args& a) {
    Copy<Slide> slide;
    if (!a.get("slide", slide)) return nullptr;
    p.value.slides.push_back(std::move(slide.value));
    return self_ref(a);
}

// Serialises a deep copy with the lock released; the copy is also dropped
// there, so a large deck costs other threads nothing.
std::expected<vw::Result<vw::Bytes>, tk::Fault> serialise(const Presentation& p) {
    vw::Presentation copy = p.value;
    return tk::released([&]() {
        vw::Result<vw::Bytes> out = copy.to_bytes();
        vw::Presentation dropped = std::move(copy);
        return out;
    });
}

PyObject* presentation_to_bytes(const Presentation& p, const Args&) {
    auto out = serialise(p);
    if (!tk::succeeded(out)) return nullptr;
    return tk::to_py::bytes(**out);
}

// The file is written in steps with the lock released. Signal handlers run
// before the first step (a Ctrl-C while serialising) and after every step a
// signal interrupted (a FIFO waiting for a reader): one that raises ends the
// save, otherwise it goes on.
PyObject* presentation_save(const Presentation& p, const Args& a) {
    tk::Path path;
    if (!a.get("path", path)) return nullptr;
    auto bytes = serialise(p);
    if (!tk::succeeded(bytes)) return nullptr;
    auto saving = std::make_unique<vw::save::Saving>(path.native, **bytes);
    PyObject* result = nullptr;
    while (PyErr_CheckSignals() == 0) {
        auto step = tk::released([&] { return saving->resume(); });
        if (!tk::succeeded(step)) break;
        if (**step == vw::save::Saving::Step::done) {
            result = tk::to_py::none();
            break;
        }
    }
    // Dropped unlocked: an abandoned save removes its temporary file.
    (void)tk::released([&] {
        saving.reset();
        vw::Bytes dropped = std::move(**bytes);
    });
    return result;
}

Py_ssize_t presentation_len(const Presentation& p) { return static_cast<Py_ssize_t>(p.value.slides.size()); }

} // namespace

const tk::ClassDef<Presentation>& Presentation::definition() {
    static const tk::ClassDef<Presentation> def{
        "vantrell.write.Presentation",
        "A deck under construction.",
        {tk::getter<Presentation>("slide_count",
                                  [](const Presentation& p) { return tk::to_py::u64(p.value.slides.size()); })},
        {
            tk::method<"add($self, slide)", &presentation_add>("Appends a slide."),
            tk::method<"to_bytes($self)", &presentation_to_bytes>("The `.pptx` bytes."),
            tk::method<"save($self, path)", &presentation_save>("Writes the deck to `path`."),
        },
        [](const Presentation& p) { return "write.Presentation(slides=" + std::to_string(p.value.slides.size()) + ")"; },
        tk::constructor<Presentation,
                        "(*, size=..., theme=None, font=None, title=None, creator=None, subject=None, "
                        "keywords=None, timestamp=None)",
                        &presentation_new>(),
        {tk::slot_len<&presentation_len>()},
    };
    return def;
}

// ------------------------------------------------------------ from_markdown

namespace {

// The whole conversion runs under the lock: it is quick next to serialising.
PyObject* from_markdown(PyObject*, const Args& a) {
    std::string markdown;
    DeckLook look;
    if (!a.get("markdown", markdown) || !look.convert(a)) return nullptr;
    vw::Presentation p = vw::markdown::from_markdown(markdown);
    if (!look.apply(p)) return nullptr;
    return tk::Class<Presentation>::create(Presentation{std::move(p)});
}

} // namespace

// ------------------------------------------------------------ the submodule

namespace {

template <class W>
bool add_class(PyObject* module) {
    PyTypeObject* t = tk::Class<W>::type(module);
    if (!t) return false;
    std::string_view full(W::definition().name);
    const std::string bare(full.substr(full.rfind('.') + 1));
    return PyModule_AddObjectRef(module, bare.c_str(), reinterpret_cast<PyObject*>(t)) == 0;
}

} // namespace

bool register_(PyObject* parent) {
    Ref module = Ref::steal(PyModule_New("write"));
    if (!module) return false;
    if (!add_class<Presentation>(module.get()) || !add_class<Slide>(module.get()) ||
        !add_class<Paragraph>(module.get()) || !add_class<Run>(module.get()) || !add_class<Theme>(module.get()) ||
        !add_class<Background>(module.get()) || !add_class<Picture>(module.get()) ||
        !add_class<Table>(module.get()))
        return false;
    Ref fn = Ref::steal(tk::new_function<"from_markdown(markdown, *, size=..., theme=None, font=None)",
                                         &from_markdown>(module.get(), "Builds a presentation from Markdown text."));
    if (!fn || PyModule_AddObjectRef(module.get(), "from_markdown", fn.get()) < 0) return false;
    if (!tk::add_attribute(parent, "write", Py_NewRef(module.get()))) return false;
    PyObject* modules = PySys_GetObject("modules"); // borrowed
    if (!modules) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "sys.modules is missing");
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromString("vantrell._vantrell.write"));
    return key && PyObject_SetItem(modules, key.get(), module.get()) == 0;
}

} // namespace _vantrell::write
