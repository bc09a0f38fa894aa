// Text metrics: how many lines a paragraph needs, estimated without fonts.
//
// A family name is mapped to one of six width classes; each character gets an
// advance width from the class's built-in table (write/metrics_tables.inc,
// generated from free metric-compatible fonts) and a greedy word wrap counts
// the lines for a box width. Pure 64-bit integer arithmetic: the layout
// engine repeats this for every paragraph at every trial scale.
#pragma once

#include "write/style.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace vantrell_write::metrics {

// The width class of a font family.
struct Face {
    enum Kind : std::uint8_t { Calibri, Cambria, Sans, Serif, Mono, Georgia };
    static constexpr std::size_t COUNT = 6;
    Kind kind = Sans;

    // Substring tests on the name with ASCII case ignored; Sans by default.
    static Face for_font(std::string_view family);

    friend bool operator==(const Face&, const Face&) = default;
};

// Line height of each class in 1/1000 em, indexed by the Face value.
inline constexpr std::array<std::uint64_t, Face::COUNT> LINE_HEIGHT = {1221, 1172, 1150, 1150, 1133, 1270};

inline std::uint64_t line_height_factor(Face face) { return LINE_HEIGHT[face.kind]; }

// Advance width in 1/1000 em of `c` in the table of (face, bold).
std::uint32_t advance(Face face, bool bold, char32_t c);

// What the caller says about one run: size in whole points, class, weight.
struct RunStyle {
    std::uint32_t size_pt = 0;
    Face face{};
    bool bold = false;
};

using StyleFn = std::function<RunStyle(const Run&)>;

// Lines needed by `runs` wrapped at `width_emu` (at least 1). `style` is
// called once per run, in order, before its characters are measured.
std::uint64_t line_count(std::span<const Run> runs, std::int64_t width_emu, const StyleFn& style);
// The same for one run of `text` in one style.
std::uint64_t line_count(std::string_view text, std::int64_t width_emu, const RunStyle& style);

// The greedy wrap itself: text is fed run by run as one token stream, so a
// word whose halves have different styles is one word.
class Wrapper {
public:
    explicit Wrapper(std::int64_t width_emu);
    void feed(std::string_view text, const RunStyle& style);
    std::uint64_t finish();

private:
    void flush();

    std::uint64_t limit_ = 1; // line width in 1/1000 pt
    std::uint64_t x_ = 0;     // pen position in 1/1000 pt
    std::uint64_t lines_ = 1;
    bool in_token_ = false;
    bool token_space_ = false;
    std::uint64_t token_total_ = 0;
    // The word being built, broken between characters on lines of its own.
    std::uint64_t split_lines_ = 0, split_x_ = 0;
};

} // namespace vantrell_write::metrics
