#include "write/metrics.h"

#include "core/encoding.h"

#include <cstddef>
#include <limits>
#include <string>

namespace vantrell_write::metrics {

namespace {

#include "write/metrics_tables.inc"

static_assert(WIDTH_TABLE_SIZE == 0x100 - 0x20);

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return b > U64_MAX - a ? U64_MAX : a + b; }

// Table index by (face, bold); the monospace class has one table for both.
std::size_t table_index(Face face, bool bold) {
    switch (face.kind) {
    case Face::Calibri: return bold ? 1 : 0;
    case Face::Cambria: return bold ? 3 : 2;
    case Face::Sans: return bold ? 5 : 4;
    case Face::Serif: return bold ? 7 : 6;
    case Face::Mono: return 8;
    case Face::Georgia: return bold ? 10 : 9;
    }
    return 4;
}

// Scripts set on a square em: Hangul Jamo, CJK and its punctuation, Hangul
// syllables, compatibility ideographs, full-width forms, the supplementary
// ideographic planes.
bool is_full_width(char32_t c) {
    return (c >= 0x1100 && c <= 0x11FF) || (c >= 0x2E80 && c <= 0xA3CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFF60) || (c >= 0x20000 && c <= 0x3FFFF);
}

bool contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

bool contains_any(std::string_view hay, std::initializer_list<std::string_view> needles) {
    for (std::string_view n : needles)
        if (contains(hay, n)) return true;
    return false;
}

} // namespace

Face Face::for_font(std::string_view family) {
    std::string name(family);
    for (char& ch : name)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    if (contains_any(name, {"mono", "menlo", "consolas", "courier", "code"})) return Face{Face::Mono};
    if (contains_any(name, {"georgia", "gelasio"})) return Face{Face::Georgia};
    if (contains_any(name, {"cambria", "caladea"})) return Face{Face::Cambria};
    if (contains_any(name, {"calibri", "carlito"})) return Face{Face::Calibri};
    if (contains_any(name, {"times", "garamond", "palatino", "baskerville", "book", "charter"})) return Face{Face::Serif};
    if (contains(name, "serif")) return Face{contains(name, "sans") ? Sans : Serif};
    return Face{Face::Sans};
}

std::uint32_t advance(Face face, bool bold, char32_t c) {
    const std::uint16_t* table = WIDTH_TABLES[table_index(face, bold)];
    if (c < 0x20) return 0;
    if (c <= 0xFF) return table[c - 0x20];
    if (is_full_width(c)) return 1000;
    return table['n' - 0x20];
}

void Wrapper::feed(std::string_view text, const RunStyle& style) {
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t c = vantrell_core::encoding::next_utf8(text, pos);
        const bool space = vantrell_core::encoding::is_white_space(c);
        const std::uint64_t a = std::uint64_t{style.size_pt} * advance(style.face, style.bold, c);
        if (in_token_ && token_space_ != space) flush();
        in_token_ = true;
        token_space_ = space;
        token_total_ = sat_add(token_total_, a);
        if (!space) {
            // Where the word would end if it had to break between characters.
            if (split_x_ >= 1 && sat_add(split_x_, a) > limit_) {
                ++split_lines_;
                split_x_ = 0;
            }
            split_x_ = sat_add(split_x_, a);
        }
    }
}

void Wrapper::flush() {
    if (!in_token_) return;
    if (token_space_) {
        // Whitespace at the start of a line is dropped and never breaks.
        if (x_ >= 1) x_ = sat_add(x_, token_total_);
    } else {
        if (x_ >= 1 && sat_add(x_, token_total_) > limit_) {
            ++lines_;
            x_ = 0;
        }
        if (token_total_ <= limit_) {
            x_ = sat_add(x_, token_total_);
        } else {
            // A word longer than a line breaks between characters; one
            // character wider than the line still takes a line of its own.
            // It starts a line (it cannot follow anything on one), so its
            // breaks were found as its characters came.
            lines_ += split_lines_;
            x_ = split_x_;
        }
    }
    in_token_ = false;
    token_total_ = 0;
    split_lines_ = 0;
    split_x_ = 0;
}

Wrapper::Wrapper(std::int64_t width_emu) {
    const std::uint64_t width = width_emu < 1 ? 1 : static_cast<std::uint64_t>(width_emu);
    // Thousandths of a point, rounded up, without overflowing for any width.
    limit_ = width / 12700 * 1000 + ((width % 12700) * 1000 + 12699) / 12700;
}

std::uint64_t Wrapper::finish() {
    flush();
    return lines_;
}

std::uint64_t line_count(std::span<const Run> runs, std::int64_t width_emu, const StyleFn& style) {
    if (runs.empty()) return 1;
    Wrapper w(width_emu);
    for (const Run& run : runs) w.feed(run.text, style(run));
    return w.finish();
}

std::uint64_t line_count(std::string_view text, std::int64_t width_emu, const RunStyle& style) {
    Wrapper w(width_emu);
    w.feed(text, style);
    return w.finish();
}

} // namespace vantrell_write::metrics
