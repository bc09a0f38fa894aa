#include "core/markdown.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/encoding.h"
#include "core/hash.h"

namespace vantrell_core::markdown {

namespace {

using encoding::is_blank;
using encoding::trim;

constexpr std::size_t MAX_LEVEL = 8;
constexpr std::size_t NONE = std::string_view::npos;

// Byte classes of the per-character loops: ASCII white space; the bytes
// inline Markdown may read as markup; the bytes a table cell rewrites.
constexpr std::uint8_t SPACE = 1, INLINE = 2, CELL = 4;
constexpr std::array<std::uint8_t, 256> BYTE_CLASS = [] {
    std::array<std::uint8_t, 256> t{};
    for (const unsigned char c : {' ', '\t', '\n', '\r', '\v', '\f'}) t[c] |= SPACE;
    for (const unsigned char c : {'\\', '`', '*', '_', '[', ']', '<', '&', '|'}) t[c] |= INLINE;
    for (const unsigned char c : {'\n', '\r', '\t', '\v'}) t[c] |= CELL;
    return t;
}();

bool is_space(char c) noexcept { return BYTE_CLASS[static_cast<unsigned char>(c)] & SPACE; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_alpha(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_alnum(char c) noexcept { return is_alpha(c) || is_digit(c); }

// Appends the text on one line: runs of ASCII white space become one space,
// and the ends are trimmed. Returns whether the text holds a byte inline
// Markdown may read as markup, found on the way.
bool append_one_line(std::string& out, std::string_view s) {
    const std::size_t start = out.size();
    const char* p = s.data();
    const char* const end = p + s.size();
    std::uint8_t seen = 0;  // byte classes met
    while (p != end && is_space(*p)) ++p;
    // Text between the white space that has to be rewritten goes in with one
    // append; a lone space between words is already as it should be.
    const char* from = p;
    while (p != end) {
        const std::uint8_t cls = BYTE_CLASS[static_cast<unsigned char>(*p)];
        seen |= cls;
        if (!(cls & SPACE)) {
            ++p;
            continue;
        }
        if (*p == ' ' && end - p > 1 && !is_space(p[1])) {
            seen |= BYTE_CLASS[static_cast<unsigned char>(p[1])];
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
    if (kept.size() != added.size()) {
        const auto lead = static_cast<std::size_t>(kept.data() - added.data());
        out.resize(start + lead + kept.size());
        out.erase(start, lead);
    }
    return seen & INLINE;
}

std::string one_line(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_one_line(out, s);
    return out;
}

// ---------------------------------------------------------------------------
// Escaping
//
// Text is escaped with backslashes before ASCII punctuation, which a
// CommonMark parser drops again, so the words read back as written. Inline,
// the characters that open code, emphasis, links, HTML, entities and table
// cells are escaped (some only where they would act: "<" before a tag name,
// "&" before an entity, "_" unless inside a word); at the start of a block
// line also the markers of headings, quotes, lists, rules, setext
// underlines and fences, and a leading "Notes:".

// How a piece of text is placed.
enum Mode : unsigned {
    INLINE_TEXT = 0,
    BLOCK_LINE = 1,  // starts a block line: line-start markers are escaped
    HEADING = 2,     // ends an ATX heading: a closing run of "#" is escaped
    CELL_TEXT = 4,   // in a pipe-table cell: line ends as "<br>", other breaks as spaces
};

// A link over the bytes [begin, end) of a line.
struct LinkSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string_view target;
};

// Where a backslash keeps the start of a block line from reading as
// structure, or NONE. The line is trimmed.
std::size_t block_mark(std::string_view s) noexcept {
    if (s.empty()) return NONE;
    const auto blank_at = [&](std::size_t k) { return k >= s.size() || s[k] == ' ' || s[k] == '\t'; };
    switch (s[0]) {
    case '>':
        return 0;
    case '#': {
        std::size_t k = 0;
        while (k < s.size() && k < 7 && s[k] == '#') ++k;
        return k <= 6 && blank_at(k) ? 0 : NONE;
    }
    case '+':
        return blank_at(1) ? 0 : NONE;
    case '-':  // list item, rule or setext underline
        return blank_at(1) || s.find_first_not_of("- \t") == NONE ? 0 : NONE;
    case '=':
        return s.find_first_not_of("= \t") == NONE ? 0 : NONE;
    case '~':
        return s.starts_with("~~~") ? 0 : NONE;
    case 'N':  // the writer's Markdown input takes such a line as speaker notes
        return s.starts_with("Notes:") ? 5 : NONE;
    default: {
        std::size_t k = 0;
        while (k < s.size() && is_digit(s[k])) ++k;
        if (k == 0 || k == s.size() || (s[k] != '.' && s[k] != ')') || !blank_at(k + 1)) return NONE;
        return k;
    }
    }
}

// Where a backslash keeps a heading's trailing "#" run from being taken as
// its closing sequence, or NONE.
std::size_t closing_mark(std::string_view s) noexcept {
    std::size_t k = s.size();
    while (k > 0 && s[k - 1] == '#') --k;
    if (k == s.size()) return NONE;
    return k == 0 || s[k - 1] == ' ' || s[k - 1] == '\t' ? k : NONE;
}

// Whether "&" at `i` starts what could be a character reference.
bool entity_at(std::string_view s, std::size_t i) noexcept {
    std::size_t k = i + 1;
    if (k < s.size() && s[k] == '#') return true;
    const std::size_t first = k;
    while (k < s.size() && k - first < 32 && is_alnum(s[k])) ++k;
    return k > first && is_alpha(s[first]) && k < s.size() && s[k] == ';';
}

// Whether the inline special byte at `i` of the segment `s` needs a
// backslash.
bool needs_escape(std::string_view s, std::size_t i) noexcept {
    const char next = i + 1 < s.size() ? s[i + 1] : '\0';
    switch (s[i]) {
    case '\\':
        return !(is_alnum(next) || next == ' ');
    case '<':
        return is_alpha(next) || next == '/' || next == '!' || next == '?';
    case '&':
        return entity_at(s, i);
    default:
        return true;
    }
}

// Appends the segment `s` escaped (its ends count as the edges of a word);
// a backslash also goes before the bytes at `mark_a` and `mark_b`
// (positions in `s`, or NONE).
void append_segment(std::string& out, std::string_view s, unsigned mode, std::size_t mark_a, std::size_t mark_b) {
    const std::uint8_t special = INLINE | ((mode & CELL_TEXT) ? CELL : 0);
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t j = i;
        while (j < s.size() && !(BYTE_CLASS[static_cast<unsigned char>(s[j])] & special) && j != mark_a && j != mark_b)
            ++j;
        out.append(s, i, j - i);
        if (j == s.size()) break;
        i = j;
        const char c = s[i];
        if (i == mark_a || i == mark_b) {
            out += '\\';
            out += c;
            ++i;
        } else if (c == '_') {
            // A run of underscores inside a word is never emphasis.
            std::size_t e = i;
            while (e < s.size() && s[e] == '_') ++e;
            const bool inside = i > 0 && is_alnum(s[i - 1]) && e < s.size() && is_alnum(s[e]);
            for (; i < e; ++i) out += inside ? "_" : "\\_";
        } else if (BYTE_CLASS[static_cast<unsigned char>(c)] & CELL & special) {
            out += c == '\n' ? "<br>" : " ";
            ++i;
        } else {
            if (needs_escape(s, i)) out += '\\';
            out += c;
            ++i;
        }
    }
}

void append_target(std::string& out, std::string_view target, bool cell);

// Appends `s` escaped for its place, with the given links (sorted, not
// overlapping) written as "[text](target)".
void append_escaped(std::string& out, std::string_view s, unsigned mode, std::span<const LinkSpan> links = {}) {
    const std::size_t a = (mode & BLOCK_LINE) ? block_mark(s) : NONE;
    const std::size_t b = (mode & HEADING) ? closing_mark(s) : NONE;
    const auto segment = [&](std::size_t from, std::size_t to) {
        const auto local = [&](std::size_t m) { return m >= from && m < to ? m - from : NONE; };
        append_segment(out, s.substr(from, to - from), mode, local(a), local(b));
    };
    std::size_t pos = 0;
    for (const LinkSpan& link : links) {
        segment(pos, link.begin);
        // "!" right before a link would make it an image.
        if (link.begin > pos && out.back() == '!') out.insert(out.size() - 1, 1, '\\');
        out += '[';
        segment(link.begin, link.end);
        out += "](";
        append_target(out, link.target, mode & CELL_TEXT);
        out += ')';
        pos = link.end;
    }
    segment(pos, s.size());
}

// Escapes in place what was appended to `out` from `from` on, when it holds
// anything to escape; `special` says whether it holds a byte inline
// Markdown may read as markup (as append_one_line finds). Most text holds
// nothing to escape and costs no copy.
void escape_tail(std::string& out, std::size_t from, unsigned mode, bool special, std::string& scratch) {
    const std::string_view tail = std::string_view(out).substr(from);
    const bool clean = !special && (!(mode & BLOCK_LINE) || block_mark(tail) == NONE) &&
                       (!(mode & HEADING) || closing_mark(tail) == NONE);
    if (clean) return;
    scratch.assign(tail);
    out.resize(from);
    append_escaped(out, scratch, mode);
}

// A link destination: in angle brackets when it holds white space, brackets
// or parentheses, which the bare form cannot; line ends percent-encoded. In
// a table cell a "|" is escaped, since the row is split at bare ones before
// anything inside is read.
void append_target(std::string& out, std::string_view target, bool cell) {
    const auto is_angle = [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == 0x7F || c == '(' || c == ')' || c == '<' || c == '>';
    };
    const bool angle = std::any_of(target.begin(), target.end(), is_angle);
    // Part names, the usual targets, need nothing.
    if (!angle && target.find_first_of(cell ? "\\&|" : "\\&") == std::string_view::npos) {
        out += target;
        return;
    }
    if (angle) out += '<';
    std::size_t done = 0;
    for (std::size_t i = 0; i < target.size(); ++i) {
        const char c = target[i];
        const bool escape = c == '\\' || ((c == '<' || c == '>') && angle) || (c == '&' && entity_at(target, i)) ||
                            (c == '|' && cell);
        if (!escape && c != '\n' && c != '\r') continue;
        out.append(target, done, i - done);
        done = i + 1;
        if (c == '\n') out += "%0A";
        else if (c == '\r') out += "%0D";
        else {
            out += '\\';
            out += c;
        }
    }
    out.append(target, done);
    if (angle) out += '>';
}

// ---------------------------------------------------------------------------
// Pieces

// A pipe-table cell of `s` folded onto one line and escaped, "| " before
// it, as a row writes each of its cells after its opening "|".
void append_cell_text(std::string& out, std::string_view s, std::string& scratch) {
    out += ' ';
    const std::size_t from = out.size();
    const bool special = append_one_line(out, s);
    escape_tail(out, from, CELL_TEXT, special, scratch);
    out += " |";
}

// A table's delimiter row: "\n|" and a " --- |" per column.
void delimiter_row(std::string& out, std::size_t columns) {
    out += "\n|";
    for (std::size_t c = 0; c < columns; ++c) out += " --- |";
}

// Blocks are separated by a blank line; an empty one is left out.
void add_block(std::string& out, std::string_view block) {
    if (block.empty()) return;
    if (!out.empty()) out += "\n\n";
    out += block;
}

// The highest number a list marker may carry: CommonMark reads at most nine
// digits as one.
constexpr std::uint32_t MAX_NUMBER = 999999999;

// Places list items: a list starts at the margin and deepens one step at a
// time, so that skipped levels never indent an item far enough to read as
// code, while siblings stay siblings. A child is indented by the width of
// its parent's marker, as CommonMark needs to nest it.
//
// CommonMark continues a list with any following item of the same kind at
// the same indent, whatever its number, even across a blank line; only a
// change of bullet character or of ordered delimiter starts a new one. So
// an item that begins a list of its own where one of its kind stood right
// before it (a numbered item whose number does not follow, or the first
// item of a block right after another block's list) takes the other mark:
// "*" for "-", ")" for ".".
class Nesting {
public:
    // The margin item a block ended with.
    struct Tail {
        bool numbered;
        bool alternate;
    };
    struct Place {
        std::size_t indent;  // spaces before the marker
        bool new_list;       // no item of its list right before it
        bool alternate;      // marked "*" or ")" rather than "-" or "."
    };

    explicit Nesting(std::optional<Tail> before = std::nullopt) : before_(before) {}

    // `number` is a numbered item's number (at most MAX_NUMBER).
    Place place(std::size_t level, std::size_t marker_width, bool numbered, std::uint32_t number = 0) {
        // The item at the indent this one gets, which CommonMark would
        // continue: the shallowest of those at or below its level.
        std::optional<Item> sibling;
        while (!open_.empty() && open_.back().level >= level) {
            sibling = open_.back();
            open_.pop_back();
        }
        bool restart = false;
        if (!sibling && open_.empty() && before_) {
            sibling = Item{0, 0, 0, before_->numbered, before_->alternate, 0};
            restart = true;
        }
        before_.reset();
        const bool same = sibling && sibling->numbered == numbered;
        if (same && numbered && !restart) restart = number != std::min(sibling->number + 1, MAX_NUMBER);
        const bool alternate = same && sibling->alternate != restart;
        const std::size_t indent = open_.empty() ? 0 : open_.back().indent + open_.back().width;
        open_.push_back({level, indent, marker_width, numbered, alternate, number});
        return {indent, !same || restart, alternate};
    }
    void reset() noexcept {
        open_.clear();
        before_.reset();
    }
    bool active() const noexcept { return !open_.empty(); }
    std::optional<Tail> tail() const {
        if (open_.empty()) return std::nullopt;
        return Tail{open_.front().numbered, open_.front().alternate};
    }

private:
    struct Item {
        std::size_t level;   // as written
        std::size_t indent;  // of its marker
        std::size_t width;   // of its marker
        bool numbered;
        bool alternate;
        std::uint32_t number;
    };
    std::vector<Item> open_;
    std::optional<Tail> before_;  // until the first item is placed
};

// How a paragraph shows: the one place a paragraph's list marker is decided.
enum class Mark : std::uint8_t { plain, bullet, number };

// A resolved bullet (never `inherited`) as the marker it shows.
Mark list_mark(const model::Bullet& bullet) noexcept {
    using K = model::Bullet::Kind;
    switch (bullet.kind) {
    case K::auto_number:
        return Mark::number;
    case K::character:
    case K::picture:
        return Mark::bullet;
    case K::inherited:
    case K::none:
        break;
    }
    return Mark::plain;
}

// The slide's relationships, read on first need: a slide of text alone
// never reads them.
class SlideRels {
public:
    SlideRels(const document::Slide* slide, text::ExtractReport& report, document::Pass* pass = nullptr)
        : slide_(slide), report_(report), pass_(pass) {}

    // Null when the part cannot be read (recorded in the report once).
    const opc::Relationships* get() {
        if (slide_) {
            rels_ = text::slide_rels(*slide_, report_, pass_);
            slide_ = nullptr;
        }
        return rels_.get();
    }

private:
    const document::Slide* slide_;  // until read
    text::ExtractReport& report_;
    document::Pass* pass_;
    std::shared_ptr<const opc::Relationships> rels_;
};

// What a slide's link and picture targets show, each stored once (in its
// relationships part, or as the name of the part it resolves to): the
// first showing of a stored target on the slide is its own, every later
// one a repeat, counted by `meter` (which leaves it out as `what` past the
// allowance). Without a meter every showing is kept. A target is known by
// where it is stored, which every showing of it views.
class Targets {
public:
    explicit Targets(text::Meter* meter = nullptr) : meter_(meter) {}

    // Whether the target `shown` is shown here.
    bool show(std::string_view shown, std::string_view what) {
        if (!meter_ || shown_.insert(Place{shown.data(), shown.size()}).second) return true;
        return meter_->repeat(what, shown.size());
    }

private:
    struct Place {
        const char* data;
        std::size_t size;
        bool operator==(const Place&) const noexcept = default;
    };
    struct PlaceHasher {
        std::size_t operator()(const Place& p) const noexcept {
            return static_cast<std::size_t>(hash::number(reinterpret_cast<std::uintptr_t>(p.data) ^ (p.size << 1)));
        }
    };
    text::Meter* meter_;
    std::unordered_set<Place, PlaceHasher> shown_;
};

// The external targets a slide's run hyperlinks lead to. Jumps inside the
// deck (other slides, fragments) are no link a reader can follow.
class Links {
public:
    Links(SlideRels* rels = nullptr, Targets* targets = nullptr) : rels_(rels), targets_(targets) {}

    // A link's target as shown, and the first relationship of the slide
    // that leads there: the same for every relationship of an equal target.
    struct Shown {
        std::string_view target;
        const opc::Relationship* first;
    };

    // The target of a run's link; none for a run without one, or with a
    // jump inside the deck. Worked out once per relationship, however many
    // runs name it.
    std::optional<Shown> target(const model::RunProps& props) const {
        if (!rels_ || !props.hyperlink) return std::nullopt;
        const opc::Relationships* all = rels_->get();
        const opc::Relationship* rel = all ? all->get(*props.hyperlink) : nullptr;
        if (!rel) return std::nullopt;
        const auto [it, made] = shown_.try_emplace(rel);
        if (!made || !rel->external) return it->second;
        const std::string_view t = trim(rel->target);
        if (t.empty() || t[0] == '#') return std::nullopt;
        it->second = Shown{t, by_target_.try_emplace(t, rel).first->second};
        return it->second;
    }

    // The links of a paragraph as byte ranges of its text (`append_text`),
    // neighbouring runs with one target merged. A link whose target the
    // allowance refuses shows as text.
    void spans(const model::Paragraph& p, std::vector<LinkSpan>& out) const {
        out.clear();
        if (!rels_) return;
        std::size_t offset = 0;
        const opc::Relationship* last = nullptr;  // of out.back()'s target
        for (const model::Run& r : p.runs) {
            const std::size_t from = offset;
            offset += r.kind == model::Run::Kind::line_break ? 1 : r.text.size();
            if (!r.props.hyperlink || from == offset) continue;
            const auto t = target(r.props);
            if (!t) continue;
            if (!out.empty() && out.back().end == from && last == t->first) {
                out.back().end = offset;
                continue;
            }
            if (targets_ && !targets_->show(t->target, "link target")) continue;
            out.push_back({from, offset, t->target});
            last = t->first;
        }
    }

private:
    SlideRels* rels_;
    Targets* targets_;
    // By relationship, what it shows; by target, its first relationship.
    mutable std::unordered_map<const opc::Relationship*, std::optional<Shown>> shown_;
    mutable std::unordered_map<std::string_view, const opc::Relationship*, hash::Hasher, std::equal_to<>> by_target_;
};

// Moves links over text that lost `lead` bytes at its start and was cut to
// `size`; links left without text go.
void clip_links(std::vector<LinkSpan>& links, std::size_t lead, std::size_t size) {
    std::erase_if(links, [&](LinkSpan& l) {
        l.begin = std::min(l.begin > lead ? l.begin - lead : 0, size);
        l.end = std::min(l.end > lead ? l.end - lead : 0, size);
        return l.begin >= l.end;
    });
}

// Folds raw[begin, end) onto one line as append_one_line does, carrying the
// links (ranges of `raw`) over to ranges of `line`.
void fold_linked(std::string_view raw, std::size_t begin, std::size_t end, std::span<const LinkSpan> raw_links,
                 std::string& line, std::vector<LinkSpan>& links) {
    line.clear();
    links.clear();
    bool pending = false;  // white space seen since the last byte written
    auto fold = [&](std::size_t from, std::size_t to, std::optional<std::string_view> target) {
        std::size_t first = NONE;
        for (std::size_t i = from; i < to; ++i) {
            if (is_space(raw[i])) {
                pending = !line.empty();
                continue;
            }
            // A space between words stays outside a link that starts there.
            if (pending) line += ' ';
            pending = false;
            if (first == NONE) first = line.size();
            line += raw[i];
        }
        if (target && first != NONE) links.push_back({first, line.size(), *target});
    };
    std::size_t pos = begin;
    for (const LinkSpan& l : raw_links) {
        const std::size_t b = std::clamp(l.begin, begin, end), e = std::clamp(l.end, begin, end);
        if (b >= e) continue;
        fold(pos, b, std::nullopt);
        fold(b, e, l.target);
        pos = e;
    }
    fold(pos, end, std::nullopt);
    // Unicode white space at the ends goes too, and with it any link text
    // there.
    const std::string_view kept = trim(line);
    if (kept.size() == line.size()) return;
    const auto lead = static_cast<std::size_t>(kept.data() - line.data());
    const std::size_t size = kept.size();
    line.assign(kept);
    clip_links(links, lead, size);
}

// Buffers a slide's text shares, one paragraph or line at a time.
struct Scratch {
    std::string text;   // the paragraph being added
    std::string line;   // one line of a paragraph
    std::string spare;  // text being escaped
    std::string sep;    // what goes between the lines of a paragraph
    std::vector<LinkSpan> raw_links, line_links;
};

// Bytes [begin, end) of `t` as one escaped line of `out`, folded as
// append_one_line does (every line end and white space run one space, the
// ends trimmed); `raw_links` are ranges of `t`, those of a paragraph that
// has any when `linked`.
void append_line(std::string& out, std::string_view t, std::size_t begin, std::size_t end,
                 std::span<const LinkSpan> raw_links, unsigned mode, Scratch& s, bool linked = false) {
    if (!linked && raw_links.empty()) {
        const std::size_t from = out.size();
        const bool special = append_one_line(out, t.substr(begin, end - begin));
        escape_tail(out, from, mode, special, s.spare);
        return;
    }
    fold_linked(t, begin, end, raw_links, s.line, s.line_links);
    append_escaped(out, s.line, mode, s.line_links);
}

// The lines of `t`, split at its line breaks, each as append_line writes
// it, blank ones left out; `sep` goes before every line but the first one
// written, and `first` says whether that is still to come.
void append_lines(std::string& out, std::string_view t, std::span<const LinkSpan> raw_links, unsigned mode,
                  std::string_view sep, bool& first, Scratch& s) {
    std::size_t begin = 0;
    std::size_t link = 0;  // the first link that does not end before the line
    while (begin <= t.size()) {
        std::size_t end = t.find('\n', begin);
        if (end == std::string_view::npos) end = t.size();
        const std::size_t mark = out.size();
        if (!first) out += sep;
        const std::size_t from = out.size();
        // Each line is given the links over it alone, so that many lines
        // with many links cost no more than their sum.
        while (link < raw_links.size() && raw_links[link].end <= begin) ++link;
        std::size_t past = link;
        while (past < raw_links.size() && raw_links[past].begin < end) ++past;
        append_line(out, t, begin, end, raw_links.subspan(link, past - link), mode, s, !raw_links.empty());
        if (out.size() == from) out.resize(mark);
        else first = false;
        begin = end + 1;
    }
}

// A table cell's lines, as a body's are, one "<br>" between them, with
// their links.
void append_cell(std::string& out, const model::Cell& cell, const Links& links, Scratch& s) {
    bool first = true;
    for (const model::Paragraph& p : cell.paragraphs) {
        s.text.clear();
        p.append_text(s.text);
        links.spans(p, s.raw_links);
        append_lines(out, s.text, s.raw_links, CELL_TEXT, "<br>", first, s);
    }
}

// The size of a pipe-table cell that shows nothing.
constexpr std::uint64_t EMPTY_CELL_NBYTES = 3;

// Writes the table as a pipe table, a block of the meter's string, a row at
// a time. Rows are padded to the widest, and a vertically merged cell
// repeats the text above it: both are repeats (the padding of the rows
// after the header), each row's taken to the allowance before it is written.
// Past it, rows are left short (a reader fills them), merged cells blank.
void write_table(const model::Table& table, const Links& links, text::Meter& meter, Scratch& scratch) {
    std::string& out = meter.out();
    std::size_t columns = 0;
    for (const model::Row& row : table.rows) columns = std::max(columns, row.cells.size());
    if (columns == 0) return;
    const std::size_t mark = out.size();
    if (!out.empty()) out += "\n\n";
    // Where each column's text of the row before stands in `out`.
    std::vector<std::pair<std::size_t, std::size_t>> above(columns), here(columns);
    bool first = true;
    bool any = false;
    bool pad = true;
    for (const model::Row& row : table.rows) {
        if (!first) out += '\n';
        out += '|';
        const std::size_t short_by = columns - row.cells.size();
        if (!first && short_by > 0 && pad) pad = meter.repeat("table padding", short_by * EMPTY_CELL_NBYTES);
        const std::size_t shown = first || pad ? columns : row.cells.size();
        for (std::size_t c = 0; c < shown; ++c) {
            out += ' ';
            const std::size_t from = out.size();
            const model::Cell* cell = c < row.cells.size() ? &row.cells[c] : nullptr;
            if (cell && cell->v_merge && !cell->h_merge && !first && above[c].second > 0 &&
                meter.repeat("merged cell text", above[c].second)) {
                out.reserve(out.size() + above[c].second + 2);
                out.append(out, above[c].first, above[c].second);
            } else if (cell && cell->is_origin()) {
                append_cell(out, *cell, links, scratch);
                any = any || out.size() != from;
            }
            here[c] = {from, out.size() - from};
            out += " |";
        }
        for (std::size_t c = shown; c < columns; ++c) here[c] = {0, 0};
        if (first) delimiter_row(out, columns);
        first = false;
        std::swap(above, here);
        if (!meter.check()) return;
    }
    // A grid of empty cells says nothing.
    if (!any) meter.rewind(mark);
}

std::string linked_table_markdown(const model::Table& table, const Links& links) {
    std::string out;
    text::Meter meter(out);
    Scratch scratch;
    write_table(table, links, meter, scratch);
    return out;
}

// The paragraphs of one text body as Markdown lines, written as a block of
// `out`: after a blank line when `out` already holds a block, and nothing
// at all when no paragraph shows. `tail` is the list the block before ended
// with, and becomes this block's when it writes anything.
class BodyWriter {
public:
    BodyWriter(const document::Bullets& bullets, const model::Shape& shape, const Links& links, std::string& out,
               Scratch& scratch, std::optional<Nesting::Tail>& tail)
        : bullets_(bullets), shape_(shape), links_(links), out_(out), s_(scratch), tail_(tail), mark_(out.size()),
          nesting_(tail) {
        if (!out_.empty()) out_ += "\n\n";
        base_ = out_.size();
    }

    void finish() {
        if (out_.size() == base_) out_.resize(mark_);
        else tail_ = nesting_.tail();
    }

    void add(const model::Paragraph& p) {
        // A paragraph of one text run is read in place: copying it would
        // hold its text twice besides the output.
        std::string_view t;
        if (p.runs.size() == 1 && p.runs[0].kind != model::Run::Kind::line_break) {
            t = p.runs[0].text;
        } else {
            s_.text.clear();
            p.append_text(s_.text);
            t = s_.text;
        }
        if (is_blank(t)) return;
        links_.spans(p, s_.raw_links);
        const model::Bullet& bullet = bullets_.of(shape_, p);
        const Mark mark = list_mark(bullet);
        if (mark == Mark::plain) {
            for (auto& n : next_number_) n.reset();
            plain(t);
            return;
        }
        const std::size_t level = std::min<std::size_t>(p.level, MAX_LEVEL);
        std::string marker = "- ";
        std::uint32_t n = 1;
        if (mark == Mark::number) {
            // Counted on from the start value but never past what a marker
            // can hold, nor wrapped round.
            n = std::min(bullet.start, MAX_NUMBER);
            if (next_number_[level] && same_scheme(scheme_[level], bullet.text)) n = *next_number_[level];
            next_number_[level] = std::min(n + 1, MAX_NUMBER);
            scheme_[level] = bullet.text;
            marker = std::to_string(n) + ". ";
        } else {
            next_number_[level].reset();
        }
        for (std::size_t deeper = level + 1; deeper <= MAX_LEVEL; ++deeper) next_number_[deeper].reset();

        const bool continues = nesting_.active();
        const Nesting::Place place = nesting_.place(level, marker.size(), mark == Mark::number, n);
        if (place.alternate) marker[marker.size() - 2] = mark == Mark::number ? ')' : '*';
        // A list numbered from other than 1 cannot interrupt a paragraph: on
        // the line after an item it would read as that item's text.
        const bool apart = !continues || (mark == Mark::number && n != 1 && place.new_list);
        if (out_.size() != base_) out_ += apart ? "\n\n" : "\n";
        out_.append(place.indent, ' ');
        out_ += marker;
        lines(t, place.indent + marker.size());
    }

private:
    static bool same_scheme(std::string_view a, std::string_view b) noexcept {
        return (a.data() == b.data() && a.size() == b.size()) || a == b;
    }

    // The paragraph text's lines, split at its line breaks, blank ones left
    // out. A break is a hard break: a backslash ending the line, which
    // survives trimming where two trailing spaces would not, and which no
    // text can absorb, as a backslash ending a line's text is escaped. The
    // next line is indented by `indent` to stay inside a list item.
    void lines(std::string_view t, std::size_t indent) {
        s_.sep.assign("\\\n");
        s_.sep.append(indent, ' ');
        bool first = true;
        append_lines(out_, t, s_.raw_links, BLOCK_LINE, s_.sep, first, s_);
    }

    void plain(std::string_view t) {
        if (out_.size() != base_) out_ += "\n\n";
        lines(t, 0);
        nesting_.reset();
    }

    const document::Bullets& bullets_;
    const model::Shape& shape_;
    const Links& links_;
    std::string& out_;
    Scratch& s_;
    std::optional<Nesting::Tail>& tail_;
    std::size_t mark_;  // out's size before the block
    std::size_t base_;  // where the block's own text starts
    Nesting nesting_;
    std::array<std::optional<std::uint32_t>, MAX_LEVEL + 1> next_number_{};
    // Views of the schemes where the bullets keep them (the paragraphs,
    // list styles and layouts outlive the writer): a scheme many paragraphs
    // inherit is one text, of any length, and neither copied nor compared
    // whole at each of them.
    std::array<std::string_view, MAX_LEVEL + 1> scheme_{};
};

// False when the meter refused a paragraph.
bool body_markdown(const document::Bullets& bullets, const model::Shape& shape, const model::TextBody& body,
                   const Links& links, text::Meter& meter, Scratch& scratch, std::optional<Nesting::Tail>& tail) {
    std::string& out = meter.out();
    BodyWriter w(bullets, shape, links, out, scratch, tail);
    for (const model::Paragraph& p : body.paragraphs) {
        const std::size_t before = out.size();
        w.add(p);
        if (out.size() != before && !meter.check()) return false;
    }
    w.finish();
    return true;
}

// A name an application gives a new picture ("Picture 3"), which says
// nothing about what it shows.
bool is_default_name(std::string_view name) {
    // English and a few translations, compared without ASCII case; the
    // last four are Japanese, Korean and Chinese.
    static constexpr std::string_view DEFAULTS[] = {
        "picture", "image", "graphic", "content placeholder", "picture placeholder", "placeholder", "object",
        "3d model", "chart", "online image", "rectangle", "oval", "shape", "bild", "grafik", "imagen",
        "immagine", "afbeelding", "obraz", "figura", "rysunek", "imagem", "kuva",
        "\xD0\xA0\xD0\xB8\xD1\x81\xD1\x83\xD0\xBD\xD0\xBE\xD0\xBA",  // Russian
        "\xE5\x9B\xB3", "\xEA\xB7\xB8\xEB\xA6\xBC", "\xE5\x9B\xBE\xE7\x89\x87", "\xE5\x9C\x96\xE7\x89\x87"};
    name = trim(name);
    std::size_t k = name.size();
    while (k > 0 && is_digit(name[k - 1])) --k;
    std::string_view word = trim(name.substr(0, k));
    if (k < name.size() && word.size() == k) return false;  // digits glued to the word
    return std::any_of(std::begin(DEFAULTS), std::end(DEFAULTS), [&](std::string_view d) {
        return d.size() == word.size() && std::equal(d.begin(), d.end(), word.begin(), [](char a, char b) {
                   return a == ((b >= 'A' && b <= 'Z') ? static_cast<char>(b - 'A' + 'a') : b);
               });
    });
}

// A picture linking to `target` (empty when unknown; trimmed here, so a
// caller that shows one target at many pictures trims it once before). A
// target shown again on the slide is a repeat (`targets`), and one past the
// allowance shows as an unknown target does.
std::string picture_markdown(const model::Shape& shape, std::string_view target, Targets& targets) {
    target = trim(target);
    if (!target.empty() && !targets.show(target, "picture target")) target = {};
    // A picture whose target is unknown has no link to show; its own
    // description is still words of the slide.
    if (is_blank(target)) {
        if (!shape.description || is_blank(*shape.description)) return {};
        std::string out = "Image: ";
        append_escaped(out, one_line(*shape.description), INLINE_TEXT);
        return out;
    }
    std::string out = "![";
    if (shape.description && !is_blank(*shape.description))
        append_escaped(out, one_line(*shape.description), INLINE_TEXT);
    else if (!is_default_name(shape.name))
        append_escaped(out, one_line(shape.name), INLINE_TEXT);
    out += "](";
    append_target(out, trim(target), false);
    out += ')';
    return out;
}

std::string media_markdown(const model::Shape& shape, model::Picture::Media media) {
    std::string out = media == model::Picture::Media::video ? "Video" : "Audio";
    // A view of the description itself: value_or would make a temporary.
    const std::string_view name = !is_blank(shape.name) ? std::string_view(shape.name)
                                  : shape.description   ? std::string_view(*shape.description)
                                                        : std::string_view();
    if (is_blank(name)) return out;
    out += ": ";
    append_escaped(out, one_line(name), INLINE_TEXT);
    return out;
}

// One block quote, led by `lead` (already Markdown), written a paragraph at
// a time; after another quote in `out`, a ">" line keeps the two apart.
class Quote {
public:
    Quote(std::string& out, std::string_view lead) : out_(out) {
        if (!out_.empty()) out_ += "\n>\n";
        out_ += "> ";
        out_ += lead;
    }

    // A paragraph of the quote: its lines folded as a body's are, blank
    // ones left out, joined by hard breaks as in a body, every line keeping
    // the "> ".
    void paragraph(std::string_view text) {
        bool started = false;
        std::size_t begin = 0;
        while (begin <= text.size()) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string_view::npos) end = text.size();
            const std::size_t mark = out_.size();
            out_ += started ? "\\\n> " : empty_ ? "" : "\n>\n> ";
            const std::size_t from = out_.size();
            append_line(out_, text, begin, end, {}, empty_ ? INLINE_TEXT : BLOCK_LINE, scratch_);
            begin = end + 1;
            if (out_.size() == from) {
                out_.resize(mark);
                continue;
            }
            empty_ = false;
            started = true;
        }
    }

    // Whether no paragraph gave a line.
    bool empty() const noexcept { return empty_; }

private:
    std::string& out_;
    Scratch scratch_;
    bool empty_ = true;
};

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

std::string table_markdown(const model::Table& table) { return linked_table_markdown(table, Links()); }

namespace {

// The chart's caption, then its table of categories by series, through
// `meter` a row at a time. A row is laid out over every series, so the
// cells no point fills (a shorter series, a gap in a cache, a row of gaps)
// are padding: repeats, taken to the allowance as each row is written.
// Past it the table ends there.
void write_chart(const chart::ChartData& chart, text::Meter& meter) {
    std::string& out = meter.out();
    out += "Chart";
    if (!chart.kinds.empty()) {
        out += " (";
        for (std::size_t i = 0; i < chart.kinds.size(); ++i) {
            if (i > 0) out += ", ";
            out += chart.kinds[i];
        }
        out += ')';
    }
    if (chart.title && !is_blank(*chart.title)) {
        out += ": ";
        append_escaped(out, one_line(*chart.title), INLINE_TEXT);
    }
    // The axis titles say what the numbers count, and in what unit: lines of
    // the caption's paragraph.
    const bool category_axis = chart.category_axis_title && !is_blank(*chart.category_axis_title);
    if (category_axis) {
        out += "\nCategory axis: ";
        append_escaped(out, one_line(*chart.category_axis_title), INLINE_TEXT);
    }
    if (chart.value_axis_title && !is_blank(*chart.value_axis_title)) {
        out += "\nValue axis: ";
        append_escaped(out, one_line(*chart.value_axis_title), INLINE_TEXT);
    }
    if (!meter.check() || chart.series.empty()) return;

    std::size_t points = 0;
    bool have_categories = false;
    for (const chart::Series& s : chart.series) {
        points = std::max({points, s.categories.length, s.values.length});
        have_categories = have_categories || s.categories.length > 0;
    }
    std::string scratch;
    out += "\n\n|";
    if (category_axis) append_cell_text(out, *chart.category_axis_title, scratch);
    else out += " Category |";
    for (std::size_t i = 0; i < chart.series.size(); ++i) {
        const chart::Series& s = chart.series[i];
        if (s.name && !is_blank(*s.name)) append_cell_text(out, *s.name, scratch);
        else out += " Series " + std::to_string(i + 1) + " |";
    }
    delimiter_row(out, chart.series.size() + 1);
    if (!meter.check()) return;
    for (std::size_t p = 0; p < points; ++p) {
        const std::size_t row = out.size();
        out += "\n|";
        std::uint64_t unfilled = 0;  // bytes of the cells no point fills
        bool filled = false;
        const auto cell = [&](std::string_view text, bool written) {
            const std::size_t from = out.size();
            append_cell_text(out, text, scratch);
            if (written) filled = true;
            else unfilled += out.size() - from;
        };
        if (have_categories) {
            const auto with = std::find_if(chart.series.begin(), chart.series.end(),
                                           [&](const chart::Series& s) { return p < s.categories.length; });
            if (with == chart.series.end()) cell({}, false);
            else cell(chart::shown_category(chart, *with, p), with->categories.find(p) != nullptr);
        } else {
            out += ' ';
            out += std::to_string(p + 1);
            out += " |";
        }
        for (const chart::Series& s : chart.series) cell(chart::shown_value(chart, s, p), s.values.find(p) != nullptr);
        // A row of gaps is padding whole, its number too.
        if (!filled) unfilled = out.size() - row;
        if (unfilled > 0 && !meter.repeat("chart padding", unfilled)) {
            meter.rewind(row);
            return;
        }
        if (!meter.check()) return;
    }
}

} // namespace

std::string chart_markdown(const chart::ChartData& chart) {
    std::string out;
    text::Meter meter(out);
    write_chart(chart, meter);
    return out;
}

namespace {

// The width of a diagram item's marker, "- " or "* ".
constexpr std::size_t ITEM_MARKER = 2;

// A diagram's items as the lines of a list yet to be placed: each escaped
// on its own line, with its level beside, written through `meter` an item
// at a time. What came before the list decides only the kind of its
// markers, so its indents are counted here.
void diagram_lines(const diagram::DiagramData& diagram, document::Rendered& out, text::Meter& meter) {
    Nesting nesting;
    std::string t;
    for (const auto& [level, item] : diagram.items) {
        t.clear();
        append_one_line(t, item);
        if (t.empty()) continue;
        if (!out.levels.empty()) out.text += '\n';
        append_escaped(out.text, t, BLOCK_LINE);
        if (!meter.check()) return;
        out.levels.push_back(level);
        out.list_nbytes += nesting.place(level, ITEM_MARKER, false).indent + ITEM_MARKER;
    }
}

// Those lines as a nested list, a block of the meter's string written an
// item at a time; `tail` as for a text body. False when the meter refused
// an item.
bool diagram_list(const document::Rendered& lines, std::optional<Nesting::Tail>& tail, text::Meter& meter) {
    std::string& out = meter.out();
    if (lines.levels.empty()) return true;
    if (!out.empty()) out += "\n\n";
    const std::size_t base = out.size();
    Nesting nesting(tail);
    std::size_t begin = 0;
    for (const std::uint8_t level : lines.levels) {
        std::size_t end = lines.text.find('\n', begin);
        if (end == std::string::npos) end = lines.text.size();
        const Nesting::Place place = nesting.place(level, ITEM_MARKER, false);
        if (out.size() != base) out += '\n';
        out.append(place.indent, ' ');
        out += place.alternate ? "* " : "- ";
        out.append(lines.text, begin, end - begin);
        begin = end + 1;
        if (!meter.check()) return false;
    }
    tail = nesting.tail();
    return true;
}

} // namespace

std::string diagram_markdown(const diagram::DiagramData& diagram) {
    document::Rendered lines;
    text::Meter unmetered(lines.text);
    diagram_lines(diagram, lines, unmetered);
    std::string out;
    text::Meter meter(out);
    std::optional<Nesting::Tail> tail;
    diagram_list(lines, tail, meter);
    return out;
}

// ---------------------------------------------------------------------------
// Slides and decks

namespace {

// What a pass shows of a part, as Markdown, written into `meter`'s string.
void chart_rendered(const chart::ChartData& chart, document::Rendered&, text::Meter& meter) {
    write_chart(chart, meter);
}

// The notes page as a quote, each of its paragraphs one of the quote;
// nothing when no paragraph shows.
void notes_rendered(const model::SlideContent& page, document::Rendered&, text::Meter& meter) {
    std::string& out = meter.out();
    std::string text;
    Quote q(out, "Notes: ");
    for (const model::TextBody* body : page.notes_bodies())
        for (const model::Paragraph& p : body->paragraphs) {
            text.clear();
            p.append_text(text);
            const std::size_t before = out.size();
            q.paragraph(text);
            if (out.size() != before && !meter.check()) return;
        }
    if (q.empty()) out.clear();
}

// An author's name is stored once and shown at each of their comments:
// every showing counts as a repeat.
void comments_rendered(const std::vector<comments::Comment>& list, document::Rendered&, text::Meter& meter) {
    std::string& out = meter.out();
    std::string lead;
    // Each author's name as it shows, with its size as stored once
    // trimmed, by which a showing is counted: worked out once however many
    // comments show it.
    std::unordered_map<const std::string*, std::pair<std::string, std::size_t>> shown;
    for (const comments::Comment& c : list) {
        lead = c.reply ? "Reply" : "Comment";
        if (c.author) {
            const auto [it, made] = shown.try_emplace(c.author.get());
            auto& [name, nbytes] = it->second;
            if (made && !is_blank(*c.author)) {
                nbytes = trim(*c.author).size();
                append_escaped(name, one_line(*c.author), INLINE_TEXT);
            }
            if (nbytes > 0 && meter.repeat("comment author", nbytes)) {
                lead += " from ";
                lead += name;
            }
        }
        lead += ": ";
        // A comment is one paragraph: its text has line ends only.
        Quote(out, lead).paragraph(c.text);
        if (!meter.check()) return;
    }
}

// What the pictures of a package's slide link to, as the slide's
// relationship `id` names it: an external target as written, or the part
// it resolves to (by its stored name when there is one), trimmed. Empty for
// an id the slide lacks. Each relationship is resolved once, however many
// pictures name it.
class PictureTargets {
public:
    explicit PictureTargets(const document::Slide& slide) noexcept : slide_(slide) {}

    std::string_view of(const opc::Relationships& rels, std::string_view id) {
        const opc::Relationship* rel = rels.get(id);
        if (!rel) return {};
        const auto [it, made] = targets_.try_emplace(rel);
        Target& t = it->second;
        if (!made) return t.shown;
        if (rel->external) {
            t.shown = trim(rel->target);
            return t.shown;
        }
        std::string name = opc::resolve_target(slide_.part, rel->target);
        const package::Package* pkg = slide_.view->package();
        if (const auto index = pkg->part_index(name)) {
            t.shown = trim(pkg->parts()[*index].name);
        } else {
            t.held = std::move(name);
            t.shown = trim(t.held);
        }
        return t.shown;
    }

private:
    struct Target {
        std::string held;  // a name no part has
        std::string_view shown;
    };
    const document::Slide& slide_;
    std::unordered_map<const opc::Relationship*, Target> targets_;  // nodes stay put
};

} // namespace

std::string slide_markdown(const document::Slide& slide, const MarkdownOptions& options,
                           text::ExtractReport& report) {
    document::Pass pass = text::slide_pass(slide);
    std::optional<document::Document::Metering> metering;
    if (slide.view) metering.emplace(*slide.view, pass);
    return slide_markdown(slide, options, report, pass);
}

std::string slide_markdown(const document::Slide& slide, const MarkdownOptions& options, text::ExtractReport& report,
                           document::Pass& pass) {
    const model::SlideContent& content = slide.content;
    if (!content.shown && !options.hidden_slides) {
        report.merge(text::ExtractReport{.hidden_slides_skipped = 1});
        return {};
    }
    text::count_slide_part(slide, pass);
    report.merge(slide.report);
    std::string out;
    text::Meter meter(out, &pass, &report);
    SlideRels rels(&slide, report, &pass);
    Targets targets(&meter);
    const Links links(&rels, &targets);

    const model::Shape* title = nullptr;
    if (options.headings) {
        const std::optional<std::string> text = content.title();
        if (text) title = title_shape(content);
        out += "# ";
        if (text) {
            const bool special = append_one_line(out, *text);
            std::string scratch;
            escape_tail(out, 2, HEADING, special, scratch);
        }
        if (out.size() == 2) {
            out += "Slide ";
            out += std::to_string(slide.index + 1);
        }
        if (!meter.check()) return out;
    }

    const std::vector<const model::Shape*> shapes =
        text::shown_shapes(content, options.hidden_shapes, options.furniture);

    // A legacy deck's image references pair with pictures in walk order; a
    // package's pictures are looked up in the slide's relationships as they
    // show. Without those (recorded above) no picture has a target.
    std::unordered_map<const model::Shape*, std::size_t> image_of;
    std::vector<document::ImageRef> images;
    const bool legacy = !slide.view || !slide.view->package();
    if (legacy && options.images && std::any_of(shapes.begin(), shapes.end(), [](const model::Shape* s) {
            const auto* pic = std::get_if<model::Picture>(&s->content);
            return pic && pic->media == model::Picture::Media::none;
        }) && rels.get()) {
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
    PictureTargets picture_targets(slide);
    const auto picture = [&](const model::Shape& shape, const model::Picture& pic) -> std::string {
        if (legacy) {
            const auto it = image_of.find(&shape);
            if (it == image_of.end()) return picture_markdown(shape, {}, targets);
            const document::ImageRef& ref = images[it->second];
            return picture_markdown(shape,
                                    ref.part       ? std::string_view(*ref.part)
                                    : ref.external ? std::string_view(*ref.external)
                                                   : std::string_view(),
                                    targets);
        }
        const std::optional<std::string>& id = pic.embed ? pic.embed : pic.link;
        const opc::Relationships* all = id ? rels.get() : nullptr;
        if (!all) return picture_markdown(shape, {}, targets);
        return picture_markdown(shape, picture_targets.of(*all, *id), targets);
    };

    Scratch scratch;
    const document::Bullets bullets(slide);
    // The list the last block ended with, which a list opening the next
    // block must not continue.
    std::optional<Nesting::Tail> tail;
    text::Showing showing(slide, pass, report, meter);
    // Writes a shape's block; false when the meter refused it.
    const auto show = [&](const model::Shape& shape) -> bool {
        const std::size_t before = out.size();
        if (const model::TextBody* body = shape.text_body())
            return body_markdown(bullets, shape, *body, links, meter, scratch, tail);
        if (const model::Table* table = shape.table()) {
            write_table(*table, links, meter, scratch);
        } else if (const auto* pic = std::get_if<model::Picture>(&shape.content)) {
            if (pic->media != model::Picture::Media::none) add_block(out, media_markdown(shape, pic->media));
            else if (options.images) add_block(out, picture(shape, *pic));
        } else if (std::holds_alternative<model::Chart>(shape.content)) {
            if (const document::Rendered* r = showing.frame(shape, chart_rendered, diagram_lines))
                add_block(out, r->text);
        } else if (std::holds_alternative<model::Diagram>(shape.content)) {
            if (const document::Rendered* r = showing.frame(shape, chart_rendered, diagram_lines))
                return diagram_list(*r, tail, meter) && meter.check();
            return meter.check();
        }
        if (out.size() != before) tail.reset();
        return meter.check();
    };
    for (const model::Shape* shape : shapes) {
        if (!meter.open()) return out;
        if (text::refers_to_part(*shape)) rels.get();
        if (shape == title) continue;
        if (content.copies.empty()) {
            if (!show(*shape)) return out;
            continue;
        }
        // A copy is counted by what it shows; one past the allowance is taken
        // back, and the list before it ends the slide's again.
        const std::size_t before = out.size();
        const std::optional<Nesting::Tail> tail_before = tail;
        bool shown = true;
        const bool kept = showing.keeps(*shape, [&] {
            shown = show(*shape);
            return std::uint64_t{out.size() - before};
        });
        if (!shown) return out;
        if (!kept) {
            meter.rewind(before);
            tail = tail_before;
        }
    }

    if (options.notes && meter.open())
        if (const document::Rendered* r = showing.notes(notes_rendered)) add_block(out, r->text);
    if (options.comments && meter.check() && meter.open())
        if (const document::Rendered* r = showing.comments(comments_rendered)) add_block(out, r->text);
    meter.check();
    return out;
}

std::pair<std::string, text::ExtractReport> markdown_at(document::Document& doc,
                                                        std::span<const std::size_t> positions,
                                                        const MarkdownOptions& options) {
    constexpr std::string_view GLUE = "\n\n---\n\n";
    document::Pass pass(*doc.shared());
    const document::Document::Metering metering(doc, pass);
    auto results = doc.map_slides_at(positions, [&](document::Document& view, std::size_t position) {
        std::pair<std::string, text::ExtractReport> r;
        auto slide = view.slide(position, vantrell_core::slide::Detail::text);
        if (!slide) r.second.failed_slides.emplace_back(position, pass.message(slide.error().message()));
        else r.first = slide_markdown(*slide, options, r.second, pass);
        // What joins it to the next, or ends the whole, is charged with it.
        if (!r.first.empty()) text::Meter(r.first, &pass, &r.second).admit(GLUE.size());
        return r;
    });
    std::pair<std::string, text::ExtractReport> out;
    std::vector<std::string> blocks;
    blocks.reserve(results.size());
    for (auto& [md, report] : results) {
        blocks.push_back(std::move(md));
        out.second.merge(report);
    }
    out.first = text::join_non_empty(blocks, GLUE);
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
