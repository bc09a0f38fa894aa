// Text metrics and the layout engine: line counts on text of known widths,
// heights computed by hand, title sizing, the layout choice and properties
// of planning over random slides.
#include "write/layout.h"
#include "write/metrics.h"

#include "writekit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace vw = vantrell_write;
namespace vm = vantrell_write::metrics;
namespace vl = vantrell_write::layout;

namespace {

using writekit::para;
using writekit::png;

// A line limit of 21000 thousandths of a point: four "n" of Calibri at 10 pt.
constexpr std::int64_t FOUR_N = 266700;

std::uint64_t lines(std::string_view text, std::int64_t width, vm::Face face = vm::Face{vm::Face::Calibri},
                    std::uint32_t size = 10) {
    return vm::line_count(text, width, vm::RunStyle{size, face, false});
}

vw::Block picture_block(std::uint32_t w, std::uint32_t h) { return vw::Block{vw::Block::Picture{png(w, h), "alt"}}; }

vw::Block table_block(std::size_t rows, bool header, const std::string& tag = "r") {
    vw::Block::Table t;
    t.header = header;
    for (std::size_t r = 0; r < rows; ++r) t.rows.push_back({tag + std::to_string(r) + "a", tag + std::to_string(r) + "b"});
    return vw::Block{t};
}

const vw::parts::Geometry WIDE = vw::parts::Geometry::compute(12192000, 6858000);

std::vector<vl::Planned> plan(const vw::Slide& s, const vw::Theme& theme = vw::Theme::make("office")) {
    return vl::plan_slide(theme, WIDE, s);
}

} // namespace

// ---- Metrics -----------------------------------------------------------------------

TEST(Metrics, PinnedWidthsAndCharacterClasses) {
    struct Row {
        vm::Face::Kind face;
        bool bold;
        std::uint32_t space, i, n, m, W, zero, dot, nbsp, c1;
    };
    const Row rows[] = {
        {vm::Face::Calibri, false, 226, 229, 525, 799, 890, 507, 252, 433, 433},
        {vm::Face::Calibri, true, 226, 246, 537, 813, 906, 507, 267, 459, 459},
        {vm::Face::Cambria, false, 220, 278, 558, 832, 921, 554, 205, 220, 483},
        {vm::Face::Cambria, true, 220, 314, 604, 890, 961, 592, 232, 220, 525},
        {vm::Face::Sans, false, 278, 222, 556, 833, 944, 556, 278, 278, 500},
        {vm::Face::Sans, true, 278, 278, 611, 889, 944, 556, 278, 278, 556},
        {vm::Face::Serif, false, 250, 278, 500, 778, 944, 500, 250, 250, 500},
        {vm::Face::Serif, true, 250, 278, 556, 833, 1000, 500, 250, 250, 500},
        {vm::Face::Mono, false, 600, 600, 600, 600, 600, 600, 600, 600, 600},
        {vm::Face::Mono, true, 600, 600, 600, 600, 600, 600, 600, 600, 600},
        {vm::Face::Georgia, false, 241, 293, 591, 881, 976, 614, 270, 241, 505},
        {vm::Face::Georgia, true, 254, 354, 690, 1016, 1126, 701, 328, 254, 588},
    };
    for (const Row& r : rows) {
        const vm::Face f{r.face};
        SCOPED_TRACE(std::to_string(r.face) + (r.bold ? " bold" : ""));
        EXPECT_EQ(vm::advance(f, r.bold, U' '), r.space);
        EXPECT_EQ(vm::advance(f, r.bold, U'i'), r.i);
        EXPECT_EQ(vm::advance(f, r.bold, U'n'), r.n);
        EXPECT_EQ(vm::advance(f, r.bold, U'm'), r.m);
        EXPECT_EQ(vm::advance(f, r.bold, U'W'), r.W);
        EXPECT_EQ(vm::advance(f, r.bold, U'0'), r.zero);
        EXPECT_EQ(vm::advance(f, r.bold, U'.'), r.dot);
        EXPECT_EQ(vm::advance(f, r.bold, 0xA0), r.nbsp);
        for (char32_t c = 0x80; c < 0xA0; ++c) EXPECT_EQ(vm::advance(f, r.bold, c), r.c1);
        // Controls are zero-width; ideographs, Hangul and full-width forms one em;
        // everything else above Latin-1 as wide as "n".
        EXPECT_EQ(vm::advance(f, r.bold, U'\n'), 0u);
        for (char32_t c : {0x4E2D, 0xAC00, 0xFF21, 0x20001, 0x1100}) EXPECT_EQ(vm::advance(f, r.bold, c), 1000u);
        for (char32_t c : {0x03B1, 0x0416, 0x201C, 0x2014, 0xFF61}) EXPECT_EQ(vm::advance(f, r.bold, c), r.n);
    }
    EXPECT_EQ(vm::advance(vm::Face{vm::Face::Georgia}, false, 0x7F), 0u);
    EXPECT_EQ(vm::advance(vm::Face{vm::Face::Georgia}, true, 0x7F), 500u);
    EXPECT_EQ(vm::advance(vm::Face{vm::Face::Calibri}, false, 0x7F), 433u);
    // Every table entry is a plausible width.
    for (int f = 0; f < 6; ++f)
        for (char32_t c = 0x21; c < 0x7F; ++c) {
            const std::uint32_t w = vm::advance(vm::Face{static_cast<vm::Face::Kind>(f)}, false, c);
            EXPECT_GE(w, 150u) << f << " " << static_cast<std::uint32_t>(c);
            EXPECT_LE(w, 1100u) << f << " " << static_cast<std::uint32_t>(c);
        }
}

TEST(Metrics, FaceForFont) {
    const std::map<std::string, vm::Face::Kind> cases = {
        {"Source Code Pro", vm::Face::Mono}, {"DejaVu Sans Mono", vm::Face::Mono}, {"Courier New", vm::Face::Mono},
        {"Noto Serif", vm::Face::Serif},     {"Noto Sans", vm::Face::Sans},        {"Sans Serif", vm::Face::Sans},
        {"Bookman", vm::Face::Serif},        {"Calibri Light", vm::Face::Calibri}, {"", vm::Face::Sans},
        {"CALIBRI", vm::Face::Calibri},      {"Carlito", vm::Face::Calibri},       {"Caladea", vm::Face::Cambria},
        {"Georgia", vm::Face::Georgia},      {"Times New Roman", vm::Face::Serif}, {"Arial", vm::Face::Sans},
        // The first rule that matches decides: "mono" before "georgia".
        {"Georgia Mono", vm::Face::Mono},    {"\xC3\x89" "CALIBRI", vm::Face::Calibri},
    };
    for (const auto& [name, face] : cases) EXPECT_EQ(vm::Face::for_font(name).kind, face) << name;
    EXPECT_EQ(vm::line_height_factor(vm::Face{vm::Face::Calibri}), 1221u);
    EXPECT_EQ(vm::line_height_factor(vm::Face{vm::Face::Georgia}), 1270u);
}

TEST(Metrics, LineCountWrapping) {
    const vm::StyleFn calibri10 = [](const vw::Run&) { return vm::RunStyle{10, vm::Face{vm::Face::Calibri}, false}; };
    EXPECT_EQ(vm::line_count(std::span<const vw::Run>{}, FOUR_N, calibri10), 1u);
    const std::vector<vw::Run> empty = {vw::Run{""}, vw::Run{""}};
    EXPECT_EQ(vm::line_count(empty, FOUR_N, calibri10), 1u);

    EXPECT_EQ(lines("nnnn", FOUR_N), 1u) << "a word exactly as long as the line fits";
    EXPECT_EQ(lines("nnnn nnnn", FOUR_N), 2u);
    EXPECT_EQ(lines("nnnn nnnn nnnn", FOUR_N), 3u);
    EXPECT_EQ(lines("nnnnn", FOUR_N), 2u) << "a longer word breaks between characters";
    EXPECT_EQ(lines("nnnnnnnnnnnn", FOUR_N), 3u);
    EXPECT_EQ(lines("nnnnnnnnnnnn", FOUR_N - 13), 4u);
    EXPECT_EQ(lines("nn nn", FOUR_N), 2u) << "10500 + 2260 + 10500 > 21000";
    EXPECT_EQ(lines("n n n", FOUR_N), 1u);
    EXPECT_EQ(lines("     nnnn", FOUR_N), 1u) << "leading whitespace adds nothing";
    EXPECT_EQ(lines("nnnn          ", FOUR_N), 1u) << "trailing whitespace never wraps";
    EXPECT_EQ(lines("nnnn nnnn", FOUR_N), lines("nnnn      nnnn", FOUR_N)) << "whitespace after a wrap adds nothing";
    EXPECT_EQ(lines("nn\nnn", 2 * FOUR_N), 1u) << "a line feed is zero-width whitespace";
    EXPECT_EQ(lines("nnnn\xC2\xA0nnnn", FOUR_N), 2u) << "a line may wrap at a no-break space";
    EXPECT_EQ(lines("\xE4\xB8\xAD\xE4\xB8\xAD", FOUR_N), 1u) << "two ideographs, 20000";
    EXPECT_EQ(lines("\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD", FOUR_N), 2u);
    // A width of 0 or less is 1 EMU: one visible character per line.
    EXPECT_EQ(lines("ab", 0), 2u);
    EXPECT_EQ(lines("a b c", -5), 3u);
    EXPECT_EQ(lines("W", 1), 1u) << "a character wider than the line takes one line";
    EXPECT_EQ(lines("", 0), 1u);
    // Rounding the limit up: one EMU more than a whole number of thousandths.
    EXPECT_EQ(lines("nnnnn", FOUR_N + 1), 2u);
    // Invalid UTF-8 is measured, not a crash.
    EXPECT_GE(lines("\xFF\xFE\xC0", 1), 1u);
    // Huge sizes and widths saturate instead of wrapping.
    EXPECT_EQ(vm::line_count("nnnn nnnn", std::numeric_limits<std::int64_t>::max(),
                             vm::RunStyle{std::numeric_limits<std::uint32_t>::max(), vm::Face{}, true}),
              1u);
}

TEST(Metrics, LongWordsBreakOnLinesOfTheirOwn) {
    // A word longer than the line starts a line and fills lines of its own;
    // what follows it continues on its last line. Each word breaks afresh.
    const std::pair<std::string, std::uint64_t> cases[] = {
        {"n nnnnn", 3},             // "n" | "nnnn" | "n"
        {"nnnnnnnnnn nn", 4},       // 4 | 4 | "nn" | "nn": 10500 + 2260 + 10500 > 21000
        {"nnnnnnnnnn n", 3},        // 4 | 4 | "nn n"
        {"nnnnnn nnnnnn", 4},       // 4 | 2 | 4 | 2, not 4 | 4 | 4
        {"nnnnnnnn", 2},            // exactly two full lines
        {"nn\xE4\xB8\xADnnnnnnn", 3} // 10500 + 10000 fits, the next "n" does not
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(lines(text, FOUR_N), want) << text;
    const std::vector<vw::Run> runs = {vw::Run{"nnnnnn"}, vw::Run{"nnnnnn"}, vw::Run{" n"}};
    std::size_t call = 0;
    const vm::StyleFn style = [&](const vw::Run&) {
        return vm::RunStyle{call++ == 1 ? 20u : 10u, vm::Face{vm::Face::Calibri}, false};
    };
    // One word across two sizes: 4 small | 2 small and 1 big | 2 big | 2 big |
    // 1 big, then " n" after it on the same line.
    EXPECT_EQ(vm::line_count(runs, FOUR_N, style), 5u);
}

TEST(Metrics, RunsFormOneTokenStream) {
    // The style callback is asked once per run, in order.
    std::vector<std::string> seen;
    const std::vector<vw::Run> runs = {vw::Run{"nn"}, vw::Run{"nn"}, vw::Run{"nnnn"}};
    const vm::StyleFn style = [&](const vw::Run& r) {
        seen.push_back(r.text);
        return vm::RunStyle{10, vm::Face{vm::Face::Calibri}, false};
    };
    // "nnnnnnnn" is one word across three runs: broken between characters
    // into two full lines, not three.
    EXPECT_EQ(vm::line_count(runs, FOUR_N, style), 2u);
    EXPECT_EQ(seen, (std::vector<std::string>{"nn", "nn", "nnnn"}));
    // Per-run sizes: 20 pt "nn" is as wide as four 10 pt "n".
    const std::vector<vw::Run> mixed = {vw::Run{"nn"}, vw::Run{" nnnn"}};
    std::size_t call = 0;
    const vm::StyleFn sized = [&](const vw::Run&) {
        return vm::RunStyle{call++ == 0 ? 20u : 10u, vm::Face{vm::Face::Calibri}, false};
    };
    EXPECT_EQ(vm::line_count(mixed, FOUR_N, sized), 2u);
}

// ---- Engine ------------------------------------------------------------------------

TEST(LayoutEngine, Scales) {
    const vw::Theme office = vw::Theme::make("office");
    const vl::Engine e(office, WIDE);
    EXPECT_EQ(e.scales(), (std::vector<std::uint32_t>{100, 95, 90, 85, 80, 75, 70, 65, 64}));
    vw::Theme t = office;
    t.sizes.body = 18;
    EXPECT_EQ(vl::Engine(t, WIDE).scales(), (std::vector<std::uint32_t>{100}));
    t.sizes.body = 20; // minimum 18: m = 90
    EXPECT_EQ(vl::Engine(t, WIDE).scales(), (std::vector<std::uint32_t>{100, 95, 90}));
    t.sizes.body = 19; // m = 94
    EXPECT_EQ(vl::Engine(t, WIDE).scales(), (std::vector<std::uint32_t>{100, 95, 94}));
    t.sizes.body = 4000; // minimum far below: m = 1, 21 scales
    const auto s = vl::Engine(t, WIDE).scales();
    ASSERT_EQ(s.size(), 21u);
    EXPECT_EQ(s[19], 5u);
    EXPECT_EQ(s.back(), 1u);
    t.sizes.body = 0;
    EXPECT_EQ(vl::Engine(t, WIDE).scales(), (std::vector<std::uint32_t>{100}));
    t.sizes.minimum = std::numeric_limits<std::uint32_t>::max();
    EXPECT_EQ(vl::Engine(t, WIDE).scales(), (std::vector<std::uint32_t>{100}));

    EXPECT_EQ(vl::scale_pt(28, 64), 18u);
    EXPECT_EQ(vl::scale_pt(1, 1), 1u);
    EXPECT_EQ(vl::scale_pt(10, 95), 10u) << "9.5 rounds half up";
    EXPECT_EQ(vl::scale_pt(std::numeric_limits<std::uint32_t>::max(), 100), std::numeric_limits<std::uint32_t>::max());
}

TEST(LayoutEngine, HeightsByHand) {
    const vw::Theme office = vw::Theme::make("office");
    const vl::Engine e(office, WIDE);
    // 28 pt Calibri: 1143000 × 28 × 1221 / 100000 = 390768; 10 pt before.
    EXPECT_EQ(e.paragraph_height(para("Hello"), 10000000, 100), 390768 + 127000);
    // At 64 %: 18 pt lines (251208) and max((10 × 64 + 50) / 100, 1) = 6 pt.
    EXPECT_EQ(e.paragraph_height(para("Hello"), 10000000, 64), 251208 + 6 * 12700);
    // Level 2 with a bullet: 20 pt, 5 pt before, wrapped in the width less
    // insets, two indents and the hanging indent.
    const std::string long_text(400, 'n');
    const vw::Paragraph deep = para(long_text, true, 2);
    const std::int64_t w = 8000000;
    const std::uint64_t n = vm::line_count(long_text, w - 182880 - 914400 - 228600,
                                           vm::RunStyle{20, vm::Face{vm::Face::Calibri}, false});
    ASSERT_GT(n, 1u);
    EXPECT_EQ(e.paragraph_height(deep, w, 100), 279120 * static_cast<std::int64_t>(n) + 5 * 12700);
    // Explicit spacing and sizes; the tallest run sets the line height.
    vw::Paragraph p = para("a");
    p.space_before = 0;
    p.space_after = 0;
    EXPECT_EQ(e.paragraph_height(p, w, 100), 390768 + 12700) << "spacing is at least 1 pt";
    p.runs.push_back(vw::Run{"b"});
    p.runs[1].size = 40;
    p.runs[1].font = "Georgia";
    p.space_after = 12;
    EXPECT_EQ(e.paragraph_height(p, w, 100), 1143000LL * 40 * 1270 / 100000 + 12 * 12700);
    // No runs: the level default size and the theme face.
    EXPECT_EQ(e.paragraph_height(vw::Paragraph{}, w, 100), 390768 + 127000);

    // Tables: 16 pt rows, 1270000 × 16 × 1221 / 100000 = 248107, plus insets.
    const vw::TableRows rows = {{"a", "b"}, {"c", "d"}, {"e", "f"}};
    std::vector<const std::vector<std::string>*> ptrs;
    for (const auto& r : rows) ptrs.push_back(&r);
    EXPECT_EQ(e.table_rows(ptrs, true, 10000000, 100), (std::vector<std::int64_t>(3, 91440 + 248107)));
    // A cell that wraps makes its whole row taller.
    vw::TableRows wide = {{"x", std::string(200, 'n') + " " + std::string(200, 'n')}};
    const std::vector<const std::vector<std::string>*> wp = {&wide[0]};
    const std::uint64_t cell_lines =
        vm::line_count(wide[0][1], 10000000 / 2 - 182880, vm::RunStyle{16, vm::Face{vm::Face::Calibri}, false});
    ASSERT_GT(cell_lines, 1u);
    EXPECT_EQ(e.table_rows(wp, false, 10000000, 100)[0], 91440 + 248107 * static_cast<std::int64_t>(cell_lines));

    // Measuring items.
    const std::vector<vw::Paragraph> two = {para("x"), para("y")};
    const auto text = e.measure(vl::Item{vl::Item::Text{two}}, w, 100);
    EXPECT_EQ(text.natural, 91440 + 2 * (390768 + 127000));
    EXPECT_EQ(text.minimum, text.natural);
    EXPECT_EQ(e.measure(vl::Item{vl::Item::Text{}}, w, 100).natural, 91440);
    const vw::Bytes pic = png(400, 300);
    const auto p43 = e.measure(vl::Item{vl::Item::Picture{pic, nullptr}}, 8000000, 100);
    EXPECT_EQ(p43.natural, 6000000);
    EXPECT_EQ(p43.minimum, 914400);
    const vw::Bytes junk = {'j', 'u', 'n', 'k'};
    EXPECT_EQ(e.measure(vl::Item{vl::Item::Picture{junk, nullptr}}, 800, 100).natural, 600) << "unreadable: 4 : 3";
    const vw::Bytes zero = png(0, 10);
    EXPECT_EQ(e.measure(vl::Item{vl::Item::Picture{zero, nullptr}}, 800, 100).natural, 600);
    EXPECT_EQ(e.measure(vl::Item{vl::Item::Columns{}}, w, 100).natural, 0);
    EXPECT_EQ(e.measure(vl::Item{vl::Item::Table{}}, w, 100).natural, 0);
}

TEST(LayoutEngine, ColumnWeightsAndBoxes) {
    const vw::Theme office = vw::Theme::make("office");
    const vl::Engine e(office, WIDE);
    const vw::Bytes pic = png(4, 3);
    const std::vector<vw::Paragraph> ps = {para("x")};
    const vl::Item text{vl::Item::Text{ps}}, picture{vl::Item::Picture{pic, nullptr}};
    EXPECT_EQ(vl::Engine::weights({picture, text}), (std::vector<std::int64_t>{5, 7}));
    EXPECT_EQ(vl::Engine::weights({text, picture}), (std::vector<std::int64_t>{7, 5}));
    EXPECT_EQ(vl::Engine::weights({picture, picture}), (std::vector<std::int64_t>{1, 1}));
    EXPECT_EQ(vl::Engine::weights({text, text, picture}), (std::vector<std::int64_t>{1, 1, 1}));
    EXPECT_EQ(vl::Engine::weights({}), (std::vector<std::int64_t>{1}));

    const vw::Rect box{838200, 1825625, 10515600, 4351338};
    const auto boxes = e.column_boxes({picture, text}, box);
    const std::int64_t usable = 10515600 - WIDE.gap;
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], (vw::Rect{838200, 1825625, 5 * usable / 12, 4351338}));
    EXPECT_EQ(boxes[1].x, 838200 + 5 * usable / 12 + WIDE.gap);
    EXPECT_EQ(boxes[1].cx, 7 * usable / 12);
}

TEST(LayoutEngine, TitleSizing) {
    const vw::Theme office = vw::Theme::make("office");
    const vl::Engine e(office, WIDE);
    EXPECT_EQ(e.title_size("Short", WIDE.title, 44), std::nullopt);
    // Longer and longer titles step down by 2 and stop at the first fit.
    std::string title;
    std::set<std::uint32_t> seen;
    for (int words = 1; words < 80; ++words) {
        title += "Word ";
        const auto size = e.title_size(title, WIDE.title, 44);
        if (!size) {
            EXPECT_TRUE(e.title_fits(title, WIDE.title, 44));
            continue;
        }
        seen.insert(*size);
        EXPECT_GE(*size, 18u);
        if (*size > 18) {
            EXPECT_EQ(*size % 2, 0u);
            EXPECT_TRUE(e.title_fits(title, WIDE.title, *size));
        }
        for (std::uint32_t bigger = *size + 2; bigger <= 44; bigger += 2)
            EXPECT_FALSE(e.title_fits(title, WIDE.title, bigger)) << title.size() << " at " << bigger;
    }
    EXPECT_GT(seen.size(), 3u) << "titles of growing length take a sequence of sizes";
    EXPECT_TRUE(seen.count(18)) << "a title that fits nowhere gets the minimum";
    // The title layout starts at the display size in the centred box.
    const auto huge = e.title_size(std::string(5000, 'W'), WIDE.centred_title, 54);
    EXPECT_EQ(huge, 18u);
}

// ---- Planning ----------------------------------------------------------------------

TEST(LayoutPlan, LayoutChoiceMatrix) {
    const vw::Bytes pic = png(4, 3);
    struct Case {
        bool title, subtitle, body, picture;
        vw::Layout want;
    };
    const Case cases[] = {
        {false, false, false, false, vw::Layout::blank},        {true, false, false, false, vw::Layout::title_only},
        {true, true, false, false, vw::Layout::title},          {false, true, false, false, vw::Layout::blank},
        {true, false, true, false, vw::Layout::title_and_content}, {true, true, true, false, vw::Layout::title_and_content},
        {true, false, false, true, vw::Layout::title_only},     {true, true, false, true, vw::Layout::title},
        {false, false, true, false, vw::Layout::blank},         {false, true, false, true, vw::Layout::blank},
    };
    for (const Case& c : cases) {
        vw::Slide s;
        if (c.title) s.title = "T";
        if (c.subtitle) s.subtitle = "S";
        if (c.body) s.body = {para("b")};
        if (c.picture) s.blocks.push_back(picture_block(4, 3));
        const auto planned = plan(s);
        ASSERT_EQ(planned.size(), 1u);
        EXPECT_EQ(planned[0].layout, c.want) << c.title << c.subtitle << c.body << c.picture;
        // An explicit layout always wins.
        s.layout = vw::Layout::blank;
        EXPECT_EQ(plan(s)[0].layout, vw::Layout::blank);
    }
}

TEST(LayoutPlan, TitleOnlyAndTitleSlides) {
    vw::Slide s;
    s.title = "Only a title";
    s.notes = "n";
    s.shapes.push_back(vw::Shape{vw::Shape::TextBox{{para("fixed")}, {1, 2, 3, 4}}});
    auto p = plan(s);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].layout, vw::Layout::title_only);
    ASSERT_EQ(p[0].elements.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<vl::Element::Fixed>(p[0].elements[0].value));
    EXPECT_EQ(p[0].notes, &*s.notes);
    EXPECT_EQ(p[0].title_size, std::nullopt);
    // A long title with a subtitle is sized in the centred box from 54 pt.
    s.subtitle = "sub";
    s.title = std::string(300, 'W');
    p = plan(s);
    EXPECT_EQ(p[0].layout, vw::Layout::title);
    const vw::Theme office = vw::Theme::make("office");
    EXPECT_EQ(p[0].title_size, vl::Engine(office, WIDE).title_size(*s.title, WIDE.centred_title, 54));
    EXPECT_TRUE(p[0].title_size.has_value());
}

TEST(LayoutPlan, BodyThatFitsKeepsThePlaceholder) {
    vw::Slide s;
    s.title = "T";
    s.body = {para("one", true), para("two", true)};
    auto p = plan(s);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].layout, vw::Layout::title_and_content);
    ASSERT_EQ(p[0].elements.size(), 1u);
    const auto& body = std::get<vl::Element::Body>(p[0].elements[0].value);
    EXPECT_EQ(body.rect, std::nullopt);
    EXPECT_EQ(body.scale, 100u);
    EXPECT_EQ(body.paragraphs, s.body);
    // On a layout without a body placeholder the body keeps an explicit box,
    // so it never lands in the subtitle's place. On the title layout the
    // centred title and the subtitle would sit over that box: the title moves
    // to the top title box, the subtitle (one 24 pt line, spacing floored at
    // 1 pt) to the top of the body box, and the body starts one gap below.
    vw::Slide titled = s;
    titled.subtitle = "sub";
    titled.layout = vw::Layout::title;
    const auto on_title = plan(titled);
    ASSERT_EQ(on_title.size(), 1u);
    const std::int64_t sub_h = 91440 + std::int64_t{1143000} * 24 * 1221 / 100000 + 12700;
    EXPECT_EQ(on_title[0].title_rect, WIDE.title);
    EXPECT_EQ(on_title[0].subtitle_rect, (vw::Rect{WIDE.body.x, WIDE.body.y, WIDE.body.cx, sub_h}));
    EXPECT_EQ(std::get<vl::Element::Body>(on_title[0].elements[0].value).rect,
              (vw::Rect{WIDE.body.x, WIDE.body.y + sub_h + 228600, WIDE.body.cx, 91440 + 2 * 517768}));
    // Without content the title slide keeps the layout's own boxes.
    titled.body.clear();
    const auto bare = plan(titled);
    EXPECT_EQ(bare[0].title_rect, std::nullopt);
    EXPECT_EQ(bare[0].subtitle_rect, std::nullopt);

    // With a picture below, the body gets an explicit box and the picture
    // follows 228600 lower.
    s.blocks.push_back(picture_block(400, 300));
    p = plan(s);
    ASSERT_EQ(p.size(), 1u);
    ASSERT_EQ(p[0].elements.size(), 2u);
    const auto& b2 = std::get<vl::Element::Body>(p[0].elements[0].value);
    ASSERT_TRUE(b2.rect.has_value());
    EXPECT_EQ(b2.rect->x, WIDE.body.x);
    EXPECT_EQ(b2.rect->y, WIDE.body.y);
    EXPECT_EQ(b2.rect->cx, WIDE.body.cx);
    const vl::Engine e(vw::Theme::make("office"), WIDE);
    EXPECT_EQ(b2.rect->cy, 91440 + 2 * e.paragraph_height(s.body[0], WIDE.body.cx, 100));
    const auto& pic = std::get<vl::Element::Picture>(p[0].elements[1].value);
    EXPECT_EQ(pic.rect.y, b2.rect->y + b2.rect->cy + 228600);
    // Too tall for the rest of the box: scaled to its height and centred.
    const std::int64_t avail = WIDE.body.cy - b2.rect->cy - 228600;
    EXPECT_EQ(pic.rect.cy, avail);
    EXPECT_EQ(pic.rect.cx, avail * 4 / 3);
    EXPECT_EQ(pic.rect.x, WIDE.body.x + (WIDE.body.cx - avail * 4 / 3) / 2);
}

TEST(LayoutPlan, SubtitleBoxOutsideTheTitleLayout) {
    // The subtitle (one 24 pt line, spacing floored at 1 pt) takes the top of
    // the content box and the content starts one gap below it, except on the
    // title layout with nothing to flow, which keeps its own subtitle box.
    const std::int64_t sub_h = 91440 + std::int64_t{1143000} * 24 * 1221 / 100000 + 12700;
    const std::optional<vw::Layout> layouts[] = {std::nullopt, vw::Layout::title, vw::Layout::title_and_content,
                                                 vw::Layout::title_only, vw::Layout::blank};
    for (const bool titled : {true, false})
        for (const auto layout : layouts)
            for (const bool content : {false, true}) {
                SCOPED_TRACE(std::to_string(titled) + " " + std::to_string(layout ? int(*layout) : -1) + " " +
                             std::to_string(content));
                vw::Slide s;
                if (titled) s.title = "T";
                s.subtitle = "sub";
                s.layout = layout;
                if (content) s.body = {para("one", true)};
                const auto p = plan(s);
                ASSERT_EQ(p.size(), 1u);
                const vw::Rect box = titled ? WIDE.body : WIDE.full_body;
                if (p[0].layout == vw::Layout::title && !content) {
                    EXPECT_EQ(p[0].subtitle_rect, std::nullopt);
                    continue;
                }
                EXPECT_EQ(p[0].subtitle_rect, (vw::Rect{box.x, box.y, box.cx, sub_h}));
                if (!content) continue;
                const auto& body = std::get<vl::Element::Body>(p[0].elements.at(0).value);
                ASSERT_TRUE(body.rect.has_value()) << "the layout's body box would hold the subtitle too";
                EXPECT_EQ(body.rect->y, box.y + sub_h + 228600);
            }
}

TEST(LayoutPlan, DeepestColumnsKeepTheirText) {
    vw::Block deep{vw::Block::Paragraphs{{para("leaf")}}};
    for (std::size_t i = 0; i < vw::MAX_COLUMN_NESTING; ++i) deep = vw::Block{vw::Block::Columns{{std::move(deep)}}};
    vw::Slide s;
    s.blocks.push_back(deep);
    const auto p = plan(s);
    ASSERT_EQ(p.size(), 1u);
    ASSERT_EQ(p[0].elements.size(), 1u);
    const auto& box = std::get<vl::Element::TextBox>(p[0].elements[0].value);
    EXPECT_EQ(box.paragraphs, std::vector<vw::Paragraph>{para("leaf")});
    EXPECT_EQ(box.rect.cx, WIDE.full_body.cx) << "single columns keep the whole width";
}

TEST(LayoutPlan, PictureAlone) {
    vw::Slide s;
    s.title = "T";
    s.blocks.push_back(picture_block(400, 100)); // wide: keeps the body width
    auto p = plan(s);
    EXPECT_EQ(p[0].layout, vw::Layout::title_only);
    auto pic = std::get<vl::Element::Picture>(p[0].elements[0].value).rect;
    EXPECT_EQ(pic, (vw::Rect{WIDE.body.x, WIDE.body.y, WIDE.body.cx, WIDE.body.cx / 4}));
    s.blocks[0] = picture_block(100, 400); // tall: body height, centred
    pic = std::get<vl::Element::Picture>(plan(s)[0].elements[0].value).rect;
    EXPECT_EQ(pic.cy, WIDE.body.cy);
    EXPECT_EQ(pic.cx, WIDE.body.cy / 4);
    EXPECT_EQ(pic.x, WIDE.body.x + (WIDE.body.cx - WIDE.body.cy / 4) / 2);
    EXPECT_EQ(pic.y, WIDE.body.y);
    // No title: the full body box.
    s.title.reset();
    pic = std::get<vl::Element::Picture>(plan(s)[0].elements[0].value).rect;
    EXPECT_EQ(pic.y, 457200);
    EXPECT_EQ(pic.cy, WIDE.full_body.cy);
}

TEST(LayoutPlan, ShrinkThenSplitParagraphs) {
    vw::Slide s;
    s.title = "Long";
    s.notes = "speaker";
    s.shapes.push_back(vw::Shape{vw::Shape::TextBox{{para("fixed")}, {1, 2, 3, 4}}});
    // Fits only when shrunk.
    for (int i = 0; i < 9; ++i) s.body.push_back(para("Bullet " + std::to_string(i), true));
    auto p = plan(s);
    ASSERT_EQ(p.size(), 1u);
    const auto& body = std::get<vl::Element::Body>(p[0].elements[0].value);
    EXPECT_LT(body.scale, 100u);
    EXPECT_GE(body.scale, 64u);
    EXPECT_TRUE(body.rect.has_value()) << "a shrunk body gets an explicit box";

    // Too long even at 64 %: continuation slides.
    for (int i = 9; i < 60; ++i) s.body.push_back(para("Bullet " + std::to_string(i), true));
    p = plan(s);
    ASSERT_GE(p.size(), 3u);
    std::vector<std::string> texts;
    for (std::size_t k = 0; k < p.size(); ++k) {
        EXPECT_EQ(p[k].layout, vw::Layout::title_and_content);
        EXPECT_EQ(p[k].notes, k == 0 ? &*s.notes : nullptr);
        std::size_t fixed = 0;
        for (const auto& el : p[k].elements) {
            if (const auto* b = std::get_if<vl::Element::Body>(&el.value))
                for (const auto& para : b->paragraphs) texts.push_back(para.runs[0].text);
            fixed += std::holds_alternative<vl::Element::Fixed>(el.value);
        }
        EXPECT_EQ(fixed, k == 0 ? 1u : 0u);
    }
    ASSERT_EQ(texts.size(), 60u);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(texts[i], "Bullet " + std::to_string(i));
    // Pieces of the oversized body are of roughly even height.
    const auto count = [](const vl::Planned& pl) { return std::get<vl::Element::Body>(pl.elements[0].value).paragraphs.size(); };
    EXPECT_LE(count(p.front()) - count(p[p.size() - 1]), count(p.front()) / 2 + 1);
}

TEST(LayoutPlan, LongTableRepeatsItsHeader) {
    vw::Slide s;
    s.title = "Table";
    s.blocks.push_back(table_block(60, true));
    auto p = plan(s);
    ASSERT_GE(p.size(), 2u);
    std::size_t body_rows = 0;
    for (const auto& pl : p) {
        EXPECT_EQ(pl.layout, vw::Layout::title_only);
        ASSERT_EQ(pl.elements.size(), 1u);
        const auto& t = std::get<vl::Element::Table>(pl.elements[0].value);
        ASSERT_GE(t.rows.size(), 2u);
        EXPECT_TRUE(t.header);
        EXPECT_EQ(t.rows[0][0], "r0a") << "the header row starts every piece";
        EXPECT_EQ(t.rows[1][0], "r" + std::to_string(body_rows + 1) + "a");
        body_rows += t.rows.size() - 1;
        EXPECT_EQ(t.heights.size(), t.rows.size());
        std::int64_t total = 0;
        for (auto h : t.heights) total += h;
        EXPECT_EQ(t.rect.cy, total);
        EXPECT_LE(t.rect.cy, WIDE.body.cy);
    }
    EXPECT_EQ(body_rows, 59u);

    // Below text that leaves no room for one body row, the table moves whole.
    vw::Slide t;
    t.title = "T";
    for (int i = 0; i < 11; ++i) t.body.push_back(para("p" + std::to_string(i)));
    t.blocks.push_back(table_block(3, true));
    p = plan(t);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].elements.size(), 1u);
    EXPECT_EQ(std::get<vl::Element::Table>(p[1].elements[0].value).rows.size(), 3u);
}

// Paragraphs and table rows per flowed element of each planned slide.
std::vector<std::vector<std::size_t>> units(const std::vector<vl::Planned>& planned) {
    std::vector<std::vector<std::size_t>> out;
    for (const auto& pl : planned) {
        out.emplace_back();
        for (const auto& el : pl.elements) {
            if (const auto* b = std::get_if<vl::Element::Body>(&el.value)) out.back().push_back(b->paragraphs.size());
            else if (const auto* x = std::get_if<vl::Element::TextBox>(&el.value)) out.back().push_back(x->paragraphs.size());
            else if (const auto* t = std::get_if<vl::Element::Table>(&el.value)) out.back().push_back(t->rows.size());
        }
    }
    return out;
}

// Content exactly as tall as the body box at the minimum scale stays on one
// slide; one EMU less splits it, into even pieces when it starts the slide.
// Below other content a table keeps the rows that exactly fill what is left.
TEST(LayoutPlan, ExactFitBoundaries) {
    using Units = std::vector<std::vector<std::size_t>>;
    const vw::Theme theme = vw::Theme::make("office");
    const vl::Engine e(theme, WIDE);
    const std::int64_t cx = WIDE.body.cx;
    const auto height = [&](const vw::Block& b) { return e.measure(vl::Item::from_block(b), cx, e.min_scale()).minimum; };
    const vw::Block text{vw::Block::Paragraphs{std::vector<vw::Paragraph>(12, para("Bullet", true))}};
    const vw::Block three{vw::Block::Paragraphs{std::vector<vw::Paragraph>(3, para("Bullet", true))}};
    const auto rows = [](std::size_t n, bool header) {
        return vw::Block{vw::Block::Table{vw::TableRows(n, {"cell", "cell"}), header}};
    };
    const std::int64_t row = e.table_rows(std::get<vl::Item::Table>(vl::Item::from_block(rows(1, false)).value).rows,
                                          false, cx, e.min_scale())[0];
    struct Case {
        const char* name;
        std::vector<vw::Block> blocks;
        std::int64_t shortfall; // EMU taken off the exact height
        Units want;
    };
    const Case cases[] = {
        {"text", {text}, 0, {{12}}},
        {"text", {text}, 1, {{6}, {6}}},
        {"table with header", {rows(13, true)}, 0, {{13}}},
        {"table with header", {rows(13, true)}, 1, {{7}, {7}}},
        {"table", {rows(12, false)}, 0, {{12}}},
        {"table", {rows(12, false)}, 1, {{6}, {6}}},
        {"text then table", {three, rows(6, true)}, 0, {{3, 6}}},
        {"text then table", {three, rows(6, true)}, row, {{3, 5}, {2}}},
        {"text then table", {three, rows(6, true)}, row + 1, {{3, 4}, {3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " short by " + std::to_string(c.shortfall));
        vw::Slide s;
        s.title = "Fit";
        s.blocks = c.blocks;
        std::int64_t total = -228600;
        for (const vw::Block& b : c.blocks) total += 228600 + height(b);
        vw::parts::Geometry g = WIDE;
        g.body.cy = total - c.shortfall;
        EXPECT_EQ(units(vl::plan_slide(theme, g, s)), c.want);
    }
    // Exactly as tall as the box at full size: not shrunk; one EMU taller: shrunk.
    vw::Slide s;
    s.title = "Fit";
    s.body = std::get<vw::Block::Paragraphs>(text.value).paragraphs;
    vw::parts::Geometry g = WIDE;
    g.body.cy = e.measure(vl::Item{vl::Item::Text{s.body}}, cx, 100).minimum;
    EXPECT_EQ(std::get<vl::Element::Body>(vl::plan_slide(theme, g, s)[0].elements[0].value).scale, 100u);
    g.body.cy -= 1;
    EXPECT_LT(std::get<vl::Element::Body>(vl::plan_slide(theme, g, s)[0].elements[0].value).scale, 100u);
}

// A paragraph or a table row taller than the body box gets a slide of its
// own, at the minimum scale and its full height; the content around it goes
// on the slides before and after.
TEST(LayoutPlan, AUnitTallerThanTheBoxStandsAlone) {
    const vl::Engine e(vw::Theme::make("office"), WIDE);
    std::string tall;
    for (int i = 0; i < 3000; ++i) tall += "word ";
    // The content around it fits the box: text that starts a slide goes into
    // its body placeholder, the body box itself when no box is given.
    const auto around_fits = [](const std::vector<vl::Planned>& p) {
        for (const std::size_t i : {0, 2}) {
            const vl::Element& el = p[i].elements[0];
            const auto* t = std::get_if<vl::Element::Table>(&el.value);
            const auto r = t ? t->rect : std::get<vl::Element::Body>(el.value).rect.value_or(WIDE.body);
            EXPECT_LE(r.y + r.cy, WIDE.body.y + WIDE.body.cy) << "slide " << i;
        }
    };
    vw::Slide s;
    s.title = "Tall";
    s.blocks = {vw::Block{vw::Block::Paragraphs{{para("before"), para(tall), para("after")}}}};
    auto p = plan(s);
    ASSERT_EQ(units(p), (std::vector<std::vector<std::size_t>>{{1}, {1}, {1}}));
    around_fits(p);
    const auto& middle = std::get<vl::Element::Body>(p[1].elements[0].value);
    EXPECT_EQ(middle.scale, e.min_scale());
    EXPECT_EQ(middle.rect.value().cy, 91440 + e.paragraph_height(para(tall), WIDE.body.cx, e.min_scale()));
    EXPECT_GT(middle.rect.value().cy, WIDE.body.cy);

    s.blocks = {vw::Block{vw::Block::Table{{{"head"}, {"before"}, {tall}, {"after"}}, true}}};
    p = plan(s);
    ASSERT_EQ(units(p), (std::vector<std::vector<std::size_t>>{{2}, {2}, {2}}));
    around_fits(p);
    EXPECT_EQ(std::get<vl::Element::Table>(p[1].elements[0].value).rows[1][0], tall);
    EXPECT_GT(std::get<vl::Element::Table>(p[1].elements[0].value).rect.cy, WIDE.body.cy);
}

// Random slides with ragged tables, and with columns so many that their
// pictures get negative widths: items that fit the box are planned on one
// slide at the scale `place` finds, and no slide runs below the box unless
// it holds one paragraph or one body row that is taller.
TEST(LayoutPlan, RandomSlidesFitTheirBox) {
    std::mt19937_64 rng(8675309);
    const auto pick = [&](std::uint64_t n) { return static_cast<std::uint32_t>(rng() % n); };
    const auto text = [&](std::size_t max) {
        std::string t = "w";
        for (std::size_t i = pick(max); i > 0; --i) t += pick(3) == 0 ? " longerwordhere" : " ab";
        return t;
    };
    const auto paragraphs = [&](std::size_t max) {
        std::vector<vw::Paragraph> ps;
        for (std::size_t i = pick(max); i > 0; --i) ps.push_back(para(text(40), pick(2) == 1, static_cast<std::uint8_t>(pick(3))));
        return ps;
    };
    for (int round = 0; round < 300; ++round) {
        vw::Slide s;
        if (pick(4) != 0) s.title = "Title";
        s.body = paragraphs(30);
        for (std::size_t b = pick(5); b > 0; --b) {
            const std::uint32_t kind = pick(4), cells = 1 + pick(4);
            vw::Block::Table t{{}, pick(2) == 1};
            vw::Block::Columns c;
            if (kind == 0) s.blocks.push_back(vw::Block{vw::Block::Paragraphs{paragraphs(20)}});
            if (kind == 1) {
                const bool ragged = pick(2) == 1;
                for (std::size_t r = pick(60); r > 0; --r) {
                    t.rows.emplace_back();
                    for (std::size_t k = ragged ? pick(6) : cells; k > 0; --k) t.rows.back().push_back(text(8));
                }
                s.blocks.push_back(vw::Block{t});
            }
            if (kind == 2) s.blocks.push_back(picture_block(1 + pick(900), 1 + pick(900)));
            if (kind == 3) {
                for (int i = 0; i < 45; ++i) c.blocks.push_back(picture_block(1, 1 + pick(50)));
                s.blocks.push_back(vw::Block{c});
            }
        }
        vw::Theme theme = vw::Theme::make("office");
        if (pick(3) == 0) theme.sizes.minimum = 1;
        SCOPED_TRACE("round " + std::to_string(round));

        const auto planned = plan(s, theme);
        const vl::Engine e(theme, WIDE);
        std::vector<vl::Item> items;
        if (!s.body.empty()) items.push_back(vl::Item{vl::Item::Text{s.body}});
        for (const auto& b : s.blocks) items.push_back(vl::Item::from_block(b));
        const vw::Rect box = s.title ? WIDE.body : WIDE.full_body;
        const auto fit = e.place(items, box.cx, box.cy);
        if (fit) {
            ASSERT_EQ(planned.size(), 1u);
        }
        for (const auto& pl : planned) {
            std::int64_t bottom = 0;
            std::size_t count = 0;
            bool negative = false;
            const auto text_box = [&](const std::optional<vw::Rect>& r, std::size_t n, std::uint32_t scale) {
                if (r) bottom = std::max(bottom, r->y + r->cy);
                count += n;
                if (fit) {
                    EXPECT_EQ(scale, fit->scale);
                }
            };
            for (const auto& el : pl.elements) {
                if (const auto* b = std::get_if<vl::Element::Body>(&el.value)) {
                    text_box(b->rect, b->paragraphs.size(), b->scale);
                } else if (const auto* x = std::get_if<vl::Element::TextBox>(&el.value)) {
                    text_box(x->rect, x->paragraphs.size(), x->scale);
                } else if (const auto* t = std::get_if<vl::Element::Table>(&el.value)) {
                    bottom = std::max(bottom, t->rect.y + t->rect.cy);
                    count += t->rows.size() - (t->header ? 1 : 0);
                } else if (const auto* p = std::get_if<vl::Element::Picture>(&el.value)) {
                    negative = negative || p->rect.cy < 0;
                }
            }
            // Heights below zero let items that fit in total overlap the bottom.
            if (!negative && bottom > box.y + box.cy) {
                EXPECT_LE(count, 1u);
            }
        }
    }
}

TEST(LayoutPlan, TablesWithoutRowsOrCellsMakeNoElement) {
    vw::Slide s;
    s.title = "T";
    s.blocks.push_back(vw::Block{vw::Block::Table{}});
    s.blocks.push_back(vw::Block{vw::Block::Table{{{}, {}}, true}});
    const auto p = plan(s);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(p[0].elements.empty());
}

TEST(LayoutPlan, ColumnsWithAPicture) {
    vw::Slide s;
    s.title = "Cols";
    vw::Block::Columns cols;
    cols.blocks.push_back(picture_block(4, 3));
    cols.blocks.push_back(vw::Block{vw::Block::Paragraphs{{para("left"), para("right")}}});
    s.blocks.push_back(vw::Block{cols});
    const auto p = plan(s);
    ASSERT_EQ(p.size(), 1u);
    ASSERT_EQ(p[0].elements.size(), 2u);
    const auto& pic = std::get<vl::Element::Picture>(p[0].elements[0].value);
    const auto& text = std::get<vl::Element::TextBox>(p[0].elements[1].value);
    const std::int64_t usable = WIDE.body.cx - WIDE.gap;
    EXPECT_EQ(text.rect.cx, 7 * usable / 12);
    EXPECT_EQ(text.rect.x, WIDE.body.x + 5 * usable / 12 + WIDE.gap);
    EXPECT_LE(pic.rect.cx, 5 * usable / 12);
    EXPECT_EQ(p[0].layout, vw::Layout::title_only);
}

TEST(LayoutPlan, HostileSizesAndNesting) {
    // Absurd slide and font sizes give absurd boxes, never overflow or a hang.
    vw::Slide s;
    s.title = std::string(1000, 'x');
    s.body = {para(std::string(10000, 'n'))};
    s.body[0].runs[0].size = std::numeric_limits<std::uint32_t>::max();
    s.body[0].space_before = std::numeric_limits<std::uint32_t>::max();
    s.body[0].level = 255;
    s.blocks.push_back(table_block(30, true));
    s.blocks.push_back(picture_block(1, 0xFFFFFFFF));
    s.blocks.push_back(picture_block(0x7FFFFFFF, 1));
    vw::Theme theme = vw::Theme::make("office");
    for (std::int64_t cx : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-5000000}, std::numeric_limits<std::int64_t>::max()})
        for (std::int64_t cy : {std::int64_t{0}, std::int64_t{7}, std::numeric_limits<std::int64_t>::max(),
                                std::numeric_limits<std::int64_t>::min()}) {
            const auto g = vw::parts::Geometry::compute(cx, cy);
            const auto p = vl::plan_slide(theme, g, s);
            EXPECT_GE(p.size(), 1u);
            EXPECT_LT(p.size(), 200u);
        }
    theme.sizes = {std::numeric_limits<std::uint32_t>::max(), 0, 0, std::numeric_limits<std::uint32_t>::max(),
                   std::numeric_limits<std::uint32_t>::max(), 0};
    EXPECT_GE(plan(s, theme).size(), 1u);

    // Columns nested far deeper than any page could show.
    vw::Block deep{vw::Block::Paragraphs{{para("leaf")}}};
    for (int i = 0; i < 2000; ++i) {
        vw::Block::Columns c;
        c.blocks.push_back(std::move(deep));
        c.blocks.push_back(vw::Block{vw::Block::Paragraphs{{para("x")}}});
        deep = vw::Block{std::move(c)};
    }
    vw::Slide d;
    d.blocks.push_back(deep);
    EXPECT_GE(plan(d).size(), 1u);
}

// Random slides: planning ends, every paragraph and table row lands exactly
// once (repeated headers aside) and in order, and notes and fixed shapes go
// only to the first planned slide.
TEST(LayoutPlan, RandomSlidesProperties) {
    std::mt19937_64 rng(20240607);
    const auto pick = [&](std::uint64_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<std::string> words = {"alpha", "be", "gamma", "delta", "a", "longerwordthanmost", "x", "ipsum"};
    std::size_t uid = 0;
    const auto text = [&] {
        std::string t = "#" + std::to_string(uid++);
        const std::size_t n = pick(40);
        for (std::size_t i = 0; i < n; ++i) t += " " + words[pick(words.size())];
        return t;
    };
    const auto paragraphs = [&](std::size_t max) {
        std::vector<vw::Paragraph> ps;
        const std::size_t n = pick(max);
        for (std::size_t i = 0; i < n; ++i) {
            vw::Paragraph p = para(text(), pick(2) == 1, static_cast<std::uint8_t>(pick(4)));
            if (pick(5) == 0) p.runs[0].size = static_cast<std::uint32_t>(8 + pick(60));
            ps.push_back(std::move(p));
        }
        return ps;
    };
    const auto table = [&] {
        vw::Block::Table t;
        t.header = pick(2) == 1;
        const std::size_t cols = 1 + pick(4), rows = pick(40);
        for (std::size_t r = 0; r < rows; ++r) {
            std::vector<std::string> row;
            for (std::size_t c = 0; c < cols; ++c) row.push_back(text());
            t.rows.push_back(std::move(row));
        }
        return t;
    };

    for (int round = 0; round < 300; ++round) {
        vw::Slide s;
        if (pick(4) != 0) s.title = text();
        if (pick(4) == 0) s.subtitle = "sub";
        if (pick(2)) s.notes = "notes";
        s.body = paragraphs(30);
        const std::size_t blocks = pick(5);
        std::vector<std::string> want_rows;
        for (std::size_t b = 0; b < blocks; ++b) {
            switch (pick(4)) {
            case 0: s.blocks.push_back(vw::Block{vw::Block::Paragraphs{paragraphs(20)}}); break;
            case 1: s.blocks.push_back(picture_block(1 + static_cast<std::uint32_t>(pick(2000)), 1 + static_cast<std::uint32_t>(pick(2000)))); break;
            case 2: s.blocks.push_back(vw::Block{table()}); break;
            default: {
                vw::Block::Columns c;
                c.blocks.push_back(vw::Block{vw::Block::Paragraphs{paragraphs(6)}});
                if (pick(2)) c.blocks.push_back(picture_block(3, 2));
                s.blocks.push_back(vw::Block{c});
            }
            }
        }
        for (std::size_t f = pick(3); f > 0; --f) s.shapes.push_back(vw::Shape{vw::Shape::TextBox{{para("fixed")}, {}}});

        // What must appear, in order: body and paragraph-block texts, and
        // every table row but repeated headers.
        std::vector<std::string> want;
        const auto add_paras = [&](const std::vector<vw::Paragraph>& ps) {
            for (const auto& p : ps) want.push_back(p.runs[0].text);
        };
        add_paras(s.body);
        for (const auto& b : s.blocks) {
            if (const auto* ps = std::get_if<vw::Block::Paragraphs>(&b.value)) add_paras(ps->paragraphs);
            else if (const auto* t = std::get_if<vw::Block::Table>(&b.value)) {
                if (!t->rows.empty() && !t->rows[0].empty())
                    for (const auto& r : t->rows) want.push_back(r[0]);
            } else if (const auto* c = std::get_if<vw::Block::Columns>(&b.value)) {
                add_paras(std::get<vw::Block::Paragraphs>(c->blocks[0].value).paragraphs);
            }
        }

        const auto planned = plan(s);
        ASSERT_GE(planned.size(), 1u);
        std::vector<std::string> got;
        std::set<std::string> headers_seen;
        for (std::size_t k = 0; k < planned.size(); ++k) {
            const auto& pl = planned[k];
            EXPECT_EQ(pl.slide, &s);
            EXPECT_EQ(pl.notes, k == 0 && s.notes ? &*s.notes : nullptr);
            std::size_t fixed = 0;
            for (const auto& el : pl.elements) {
                if (const auto* b = std::get_if<vl::Element::Body>(&el.value)) {
                    for (const auto& p : b->paragraphs) got.push_back(p.runs[0].text);
                } else if (const auto* tb = std::get_if<vl::Element::TextBox>(&el.value)) {
                    for (const auto& p : tb->paragraphs) got.push_back(p.runs[0].text);
                } else if (const auto* t = std::get_if<vl::Element::Table>(&el.value)) {
                    for (std::size_t r = 0; r < t->rows.size(); ++r) {
                        if (r == 0 && t->header && !headers_seen.insert(t->rows[0][0]).second) continue;
                        got.push_back(t->rows[r][0]);
                    }
                } else if (std::holds_alternative<vl::Element::Fixed>(el.value)) {
                    ++fixed;
                }
            }
            EXPECT_EQ(fixed, k == 0 ? s.shapes.size() : 0u);
        }
        EXPECT_EQ(got, want) << "round " << round;
    }
}
