#include "write/markdown.h"

#include "core/encoding.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantrell_write::markdown {

namespace {

#include "write/alnum_tables.inc"

namespace enc = vantrell_core::encoding;

bool is_alnum(char32_t c) {
    if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const auto* end = std::end(ALNUM_RANGES);
    const auto* it = std::upper_bound(std::begin(ALNUM_RANGES), end, c,
                                      [](char32_t v, const char32_t (&r)[2]) { return v < r[0]; });
    return it != std::begin(ALNUM_RANGES) && c <= (*(it - 1))[1];
}

Paragraph paragraph(std::string text, std::uint8_t level, bool bullet) {
    Paragraph p;
    p.runs.push_back(Run{std::move(text)});
    p.level = level;
    p.bullet = bullet;
    return p;
}

bool is_ascii_punct(char c) {
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

// Whether the line `t` ends in a hard line break: a backslash that no
// other escapes, right at the line end (one followed by white space is
// text).
bool ends_in_break(std::string_view t) {
    std::size_t n = 0;
    while (n < t.size() && t[t.size() - 1 - n] == '\\') ++n;
    return n % 2 == 1;
}

// The text after "digits. " or "digits) ", if `t` is such a list line.
std::optional<std::string_view> numbered(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    if (i == 0 || t.size() - i < 2) return std::nullopt;
    if ((t[i] != '.' && t[i] != ')') || t[i + 1] != ' ') return std::nullopt;
    return t.substr(i + 2);
}

// The column after the white space `ws` that starts at column `from`: a
// tab advances to the next multiple of four, as CommonMark counts it.
std::size_t column_after(std::string_view ws, std::size_t from) {
    for (const char c : ws) from = c == '\t' ? from + 4 - from % 4 : from + 1;
    return from;
}

// The column where the text of a list item starts whose marker of `marker`
// bytes stands at column `at`, given the item line trimmed (`t`): after the
// marker and the white space behind it, or one column after the marker when
// that white space is five columns or more (then the rest is indented text).
std::size_t content_column(std::string_view t, std::size_t marker, std::size_t at) {
    const std::string_view rest = t.substr(marker);
    const std::string_view ws = rest.substr(0, rest.find_first_not_of(" \t"));
    const std::size_t end = at + marker;
    const std::size_t width = column_after(ws, end) - end;
    return end + (width > 4 ? 1 : width);
}

enum class Broken : std::uint8_t { none, body, subtitle };

class Reader {
public:
    void line(std::string_view raw);
    Presentation finish() {
        close();
        return std::move(deck_);
    }

private:
    Slide& open(std::optional<std::string> title, std::optional<Layout> layout) {
        close();
        items_.clear();
        slide_.emplace();
        slide_->title = std::move(title);
        slide_->layout = layout;
        return *slide_;
    }
    // A heading right after a thematic break titles the slide the break
    // opened, which holds nothing yet, rather than leaving it empty.
    void heading(std::string_view text, std::optional<Layout> layout, bool after_break) {
        if (after_break) slide_.reset();
        open(strip_inline(text), layout);
    }
    Slide& current() { return slide_ ? *slide_ : open(std::nullopt, std::nullopt); }
    void close() {
        if (slide_) deck_.slides.push_back(std::move(*slide_));
        slide_.reset();
    }
    void add_notes(std::string_view text) {
        Slide& s = current();
        if (s.notes) *s.notes += "\n" + std::string(text);
        else s.notes = std::string(text);
    }

    // The text that a line ending in a hard break leaves open: the next
    // line of plain text continues it after a line break.
    std::string* open_text() {
        if (!slide_) return nullptr;
        if (broken_ == Broken::subtitle && slide_->subtitle) return &*slide_->subtitle;
        if (broken_ == Broken::body && !slide_->body.empty()) return &slide_->body.back().runs.front().text;
        return nullptr;
    }
    // Marks the text just added as open when its line ended in a hard break.
    void added(Broken where, std::string_view t) { broken_ = ends_in_break(t) ? where : Broken::none; }

    // A line whose text starts at `column` closes the items whose content
    // it does not reach.
    void close_items(std::size_t column) {
        while (!items_.empty() && column < items_.back()) items_.pop_back();
    }
    // The level of an item whose marker starts at `column` and whose text at
    // `content`: the number of open items it nests in.
    std::uint8_t nest(std::size_t column, std::size_t content) {
        close_items(column);
        const std::size_t level = std::min<std::size_t>(items_.size(), 8);
        items_.push_back(content);
        lazy_ = true;
        return static_cast<std::uint8_t>(level);
    }
    // Any other text at `column`: right after list text it continues that
    // text, however little it is indented; otherwise it closes the items it
    // does not reach. Text that stays inside an item is list text in turn,
    // so a line after it continues it too (a lazy line after an item's
    // second paragraph).
    void text(std::size_t column, bool lazy) {
        if (!lazy) close_items(column);
        lazy_ = lazy || !items_.empty();
    }
    // Whether a line at `column` is text although it may start like an item:
    // it stands four columns or more inside the text of the innermost item
    // whose text it reaches (an indented line), or, while a list is open, four
    // columns or more in but short of every item's text (text continuing the
    // item, or the code block that follows it, never a new item).
    bool inside_item_text(std::size_t column) const {
        const auto reached = std::upper_bound(items_.begin(), items_.end(), column);
        const std::size_t base = reached == items_.begin() ? 0 : *(reached - 1);
        return !items_.empty() && column - base >= 4;
    }

    Presentation deck_;
    std::optional<Slide> slide_;
    bool fence_ = false;
    bool notes_ = false;
    bool after_break_ = false; // only blank lines since a thematic break
    Broken broken_ = Broken::none;
    // The content columns of the open list items, outermost first, each past
    // the one before: an item nests in the last one whose content column its
    // marker reaches, as CommonMark reads lists.
    std::vector<std::size_t> items_;
    bool lazy_ = false; // the last line was list text: a plain line continues it
};

void Reader::line(std::string_view raw) {
    const std::string_view line = enc::trim_end(raw);
    const Broken broken = std::exchange(broken_, Broken::none);
    const bool lazy = std::exchange(lazy_, false);
    // Only spaces and tabs indent; other white space is the line's text.
    const std::size_t column = column_after(line.substr(0, line.find_first_not_of(" \t")), 0);
    if (enc::trim_start(line).starts_with("```")) {
        close_items(column);
        fence_ = !fence_;
        after_break_ = false;
        return;
    }
    if (fence_) {
        after_break_ = false;
        current().body.push_back(paragraph(std::string(line), 0, false));
        return;
    }
    const std::string_view t = enc::trim(line);
    const bool after_notes = notes_;
    notes_ = false;
    if (t.empty()) return;
    const bool after_break = after_break_;
    after_break_ = false;

    if (t.starts_with("# ")) {
        heading(t.substr(2), Layout::title, after_break);
        return;
    }
    if (t.starts_with("## ")) {
        heading(t.substr(3), std::nullopt, after_break);
        return;
    }
    if (t.starts_with("### ")) {
        heading(t.substr(4), std::nullopt, after_break);
        return;
    }
    if (t.starts_with("Notes:")) {
        current();
        text(column, lazy);
        notes_ = true;
        const std::string_view rest = enc::trim(t.substr(6));
        if (!rest.empty()) add_notes(rest);
        return;
    }
    if (t == "---" || t == "***") {
        open(std::nullopt, Layout::blank);
        after_break_ = true;
        return;
    }

    Slide& s = current();
    if (after_notes) {
        text(column, lazy);
        add_notes(t);
        notes_ = true;
        return;
    }
    const bool indented = inside_item_text(column);
    const bool item = !indented && (t.starts_with("- ") || t.starts_with("* ") || t.starts_with("+ "));
    const auto numbered_item = item || indented ? std::nullopt : numbered(t);
    broken_ = broken;
    if (!item && !numbered_item) text(column, lazy);
    if (std::string* open = item || numbered_item ? nullptr : open_text()) {
        // The hard break's backslash, which strip_inline kept as it escapes
        // nothing, becomes the line break.
        if (open->ends_with('\\')) open->pop_back();
        *open += '\n';
        *open += strip_inline(t);
        added(broken, raw);
        return;
    }
    if (item || numbered_item) {
        const std::string_view rest = item ? t.substr(2) : *numbered_item;
        // The marker: the bullet character, or the digits and their delimiter.
        const std::size_t marker = t.size() - rest.size() - 1;
        const std::uint8_t level = nest(column, content_column(t, marker, column));
        s.body.push_back(paragraph(strip_inline(rest), level, true));
        added(Broken::body, raw);
    } else if (s.layout == Layout::title && !s.subtitle && s.body.empty()) {
        s.subtitle = strip_inline(t);
        added(Broken::subtitle, raw);
    } else {
        s.body.push_back(paragraph(strip_inline(t), 0, false));
        added(Broken::body, raw);
    }
}

} // namespace

std::string strip_inline(std::string_view text) {
    // Backtick runs as they stand in the text, and for each run length the
    // runs of that length in order: a span opened by n backticks closes at
    // the next run of exactly n, whatever stands before it (a backslash
    // inside code escapes nothing).
    struct Ticks {
        std::size_t at, len;
    };
    std::vector<Ticks> ticks;
    for (std::size_t i = text.find('`'); i != std::string_view::npos; i = text.find('`', i)) {
        const std::size_t end = std::min(text.find_first_not_of('`', i), text.size());
        ticks.push_back({i, end - i});
        i = end;
    }
    std::unordered_map<std::size_t, std::vector<std::size_t>> by_len;
    for (std::size_t k = 0; k < ticks.size(); ++k) by_len[ticks[k].len].push_back(k);
    const auto closing = [&](std::size_t len, std::size_t after) -> std::optional<std::size_t> {
        const auto found = by_len.find(len);
        if (found == by_len.end()) return std::nullopt;
        const auto it = std::upper_bound(found->second.begin(), found->second.end(), after);
        if (it == found->second.end()) return std::nullopt;
        return *it;
    };

    std::string out;
    out.reserve(text.size());
    char32_t last = 0;
    bool have_last = false;
    std::size_t tick = 0; // the first run not wholly before `pos`
    for (std::size_t pos = 0; pos < text.size();) {
        const char b = text[pos];
        // An escaped character is text, never a mark; an escaped backtick
        // leaves the rest of its run to open a shorter span.
        if (b == '\\' && pos + 1 < text.size() && is_ascii_punct(text[pos + 1])) {
            out += text[pos + 1];
            last = static_cast<unsigned char>(text[pos + 1]);
            have_last = true;
            pos += 2;
            continue;
        }
        if (b == '`') {
            while (ticks[tick].at + ticks[tick].len <= pos) ++tick;
            const std::size_t len = ticks[tick].at + ticks[tick].len - pos;
            pos += len;
            const auto close = closing(len, tick);
            if (!close) continue; // an unpaired run opens nothing
            // Code keeps every character; only its backticks go.
            const std::string_view code = text.substr(pos, ticks[*close].at - pos);
            out.append(code);
            for (std::size_t at = 0; at < code.size();) {
                last = enc::next_utf8(code, at);
                have_last = true;
            }
            pos = ticks[*close].at + len;
            tick = *close + 1;
            continue;
        }
        const std::size_t start = pos;
        const char32_t c = enc::next_utf8(text, pos);
        if (c == '*') continue;
        if (c == '_') {
            // A run of underscores inside a word is text, never emphasis.
            std::size_t after = pos;
            while (after < text.size() && text[after] == '_') ++after;
            bool keep = false;
            if (have_last && is_alnum(last) && after < text.size()) {
                std::size_t peek = after;
                keep = is_alnum(enc::next_utf8(text, peek));
            }
            if (keep) {
                out.append(text.substr(start, after - start));
                last = '_';
            }
            pos = after;
            continue;
        }
        out.append(text.substr(start, pos - start));
        last = c;
        have_last = true;
    }
    return std::string(enc::trim(out));
}

Presentation from_markdown(std::string_view markdown) {
    Reader reader;
    while (!markdown.empty()) {
        const std::size_t lf = markdown.find('\n');
        std::string_view line = markdown.substr(0, lf);
        if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        reader.line(line);
        if (lf == std::string_view::npos) break;
        markdown.remove_prefix(lf + 1);
    }
    return reader.finish();
}

} // namespace vantrell_write::markdown
