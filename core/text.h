// Plain-text extraction of slides and decks, and the report of what an
// extraction skipped or could not read.
//
// How a slide reads as text (one line per item, items joined by "\n"):
// - A hidden slide gives nothing when hidden slides are excluded, and is
//   counted in the report.
// - Shapes come in pre-order (a group's children in place of the group). A
//   hidden shape is left out with everything under it unless hidden shapes
//   are kept; date, slide-number, footer and header placeholders are left out
//   unless furniture is kept.
// - A text shape gives its non-blank paragraphs, one per line.
// - A table gives one line per row: the texts of the cells that are not
//   merged away, joined by the separator; a cell's paragraphs are joined by a
//   space so that a row stays on one line. Rows whose cells are all blank
//   give nothing.
// - A chart frame gives its title, then per series its name and one
//   "category: value" line per point. A diagram frame gives its items, one
//   per line, depth first. Both are read through the frame callback; one that
//   cannot be read gives nothing (the caller records why).
// - A chart, diagram, notes or comments part shows on every slide that
//   names it, a chart or diagram at its first frame there. A pass reads and
//   renders such a part once, and its later showings are repeats: they and
//   the repeats of a legacy master's furniture count against the pass's
//   allowance (document::Pass), past which they are left out and reported.
// - With alt text on, a shape that gave no text gives its trimmed
//   description instead.
// - Notes, when asked, follow as "Notes: " and the notes text; comments, when
//   asked, follow as "Comment from AUTHOR: TEXT", replies as
//   "Reply from AUTHOR: TEXT" ("Comment: TEXT" without an author).
// A slide's failures never fail the pass: they go into `ExtractReport`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/chart.h"
#include "core/diagram.h"
#include "core/document.h"
#include "core/error.h"
#include "core/model.h"
#include "core/opc.h"
#include "core/slide.h"

namespace vantrell_core::text {

struct TextOptions {
    std::string separator = "\t";  // between the cells of one table row
    bool furniture = false;
    bool hidden_shapes = false;
    bool hidden_slides = true;
    bool notes = false;
    bool alt_text = false;
    bool comments = false;
    bool charts = true;
    bool diagrams = true;
};

using Failures = std::vector<std::pair<std::size_t, std::string>>;

// What an extraction skipped or failed to read. Slide indexes are zero-based.
struct ExtractReport {
    Failures failed_slides;
    Failures failed_notes;
    Failures failed_comments;
    Failures failed_frames;
    std::vector<std::string> unknown_graphic_uris;  // distinct, first seen first
    std::uint32_t hidden_slides_skipped = 0;
    std::uint32_t unknown_graphics = 0;  // repeats counted
    std::uint32_t unknown_elements = 0;
    // Repeated content the pass's allowance left out: what ("chart",
    // "notes", ...) and on how many slides, first left out first.
    std::vector<std::pair<std::string, std::uint32_t>> left_out;
    std::uint64_t allowance_nbytes = 0;  // the allowance that left it out
    // Entries of the presentation's slide list that name no readable part;
    // counted by passes over the whole deck.
    std::uint32_t dropped_slides = 0;

    // Failure lists first (slides, notes, comments, frames), then one line
    // for the unknown graphic frames, one per kind of content left out, and
    // one for the dropped slides.
    std::vector<std::string> warnings() const;
    bool is_complete() const noexcept;

    // Appends another report's records; counters saturate.
    void merge(const ExtractReport& other);
    // Records `what` left out on the one slide this report is for: once,
    // however often the slide meets it.
    void leave_out(std::string_view what, std::uint64_t allowance_nbytes);
    // Adds what the slide parser skipped.
    void merge(const slide::SlideReport& parsed);
};

// What a chart or diagram frame reads as: no text, a text, or the error that
// kept it from being read.
using FrameText = Result<std::optional<std::string>>;
using FrameCallback = std::function<FrameText(const model::Shape&)>;

// The shapes a rendering shows, in pre-order: hidden shapes and everything
// under them only with `hidden_shapes`, the date, slide-number, footer and
// header placeholders only with `furniture`.
std::vector<const model::Shape*> shown_shapes(const model::SlideContent& content, bool hidden_shapes,
                                              bool furniture);

// One slide's rendering within a pass: the parts it shows are rendered
// once per pass, and what it repeats counts against the pass's allowance.
// A part that cannot be read, and what the allowance leaves out, are
// recorded in `report`. One object serves one slide on one thread.
class Showing {
public:
    Showing(const document::Slide& slide, document::Pass& pass, ExtractReport& report) noexcept
        : slide_(slide), pass_(pass), report_(report) {}

    template <class Data>
    using Render = std::function<document::Rendered(const Data&)>;

    // What a chart or diagram frame shows, rendered by `chart` or `diagram`;
    // null for a frame that shows nothing: one without a part, or linking
    // outside the package, or naming a part the slide showed at an earlier
    // frame, or one whose part cannot be read or whose repeat passes the
    // allowance (both recorded).
    const document::Rendered* frame(const model::Shape& shape, const Render<chart::ChartData>& chart,
                                    const Render<diagram::DiagramData>& diagram);
    // The slide's notes page and comments likewise; null without one.
    const document::Rendered* notes(const Render<model::SlideContent>& render);
    const document::Rendered* comments(const Render<std::vector<comments::Comment>>& render);
    // Whether a top-level shape is to be shown: false for a copy
    // (SlideContent::copies) whose repeat passes the allowance. A copy's
    // repeat is measured by the text it holds, before it is rendered, which
    // its plain text never passes.
    bool keeps(const model::Shape& shape);
    // The same for a rendering that can show more than a copy holds
    // (Markdown's escapes and list markers): the shape is shown by `show`,
    // which gives the bytes it added, and a copy's repeat is measured by
    // them; false when the caller is to take them back. A copy is about the
    // same on every slide, so once the allowance refused one, the others of
    // its source are left out unshown.
    bool keeps(const model::Shape& shape, const std::function<std::uint64_t()>& show);

private:
    // The part at `index` of the part table shown as `kind`: made by `make`
    // at its first showing in the pass, taken from the pass afterwards; a
    // part the package lacks (no index) is made every time (its read
    // fails). Null for a repeat past the allowance, or a stopped pass; a
    // failure is recorded in `failures`.
    const document::Rendered* part(document::Shown kind, std::optional<std::size_t> index,
                                   const std::function<document::Rendered()>& make, Failures& failures);
    // The shape's entry among the slide's copies; null for another shape.
    const model::SlideContent::Copy* copy_of(const model::Shape& shape) const;
    // Counts a copy's showing of `shown_nbytes`, which holds `held_nbytes`
    // of the copy's text; false, recorded, past the allowance.
    bool repeat_copy(const model::SlideContent::Copy& copy, std::uint64_t held_nbytes, std::uint64_t shown_nbytes);

    const document::Slide& slide_;
    document::Pass& pass_;
    ExtractReport& report_;
    document::ShownParts shown_;  // parts shown at a frame of the slide
    document::Rendered scratch_;
};

// Appends the plain text of `content` (without notes and comments, which
// need the package). Frames of a kind the options exclude are not asked for.
// With `showing`, a copied shape past the allowance is left out.
void write_content_text(const model::SlideContent& content, const TextOptions& options,
                        const FrameCallback& frame, std::string& out, Showing* showing = nullptr);

// The slide's relationships as a rendering pass reads them: empty for a
// slide without a package part (a legacy deck's). A relationships part that
// cannot be read is recorded in `report` as a failure of the slide, whose
// other content still renders, and gives null.
std::shared_ptr<const opc::Relationships> slide_rels(const document::Slide& slide, ExtractReport& report);

// Whether the shape, or any shape of the content, refers to another part
// through the slide's relationships: a picture, chart, diagram, OLE object
// or content part. A pass reads those relationships for such a slide even
// when it shows nothing of the part, so that a damaged relationships part
// never passes as a complete reading.
bool refers_to_part(const model::Shape& shape);
bool refers_to_parts(const model::SlideContent& content);

// A chart's and a diagram's text, as a frame gives it.
std::string chart_text(const chart::ChartData& chart);
std::string diagram_text(const diagram::DiagramData& diagram);

// A slide's plain text: the hidden-slide rule, the shape walk, frames read
// through the slide's parts, notes and comments when asked. Failures are
// recorded in `report` under the slide's index. Without a pass, the slide
// is a pass of its own.
std::string slide_text_reporting(const document::Slide& slide, const TextOptions& options,
                                 ExtractReport& report);
std::string slide_text_reporting(const document::Slide& slide, const TextOptions& options,
                                 ExtractReport& report, document::Pass& pass);

// One text per position, in the given order, repeats included; the slides
// run on the view's workers. Never fails as a whole.
std::pair<std::vector<std::string>, ExtractReport> slide_texts_at(document::Document& doc,
                                                                  std::span<const std::size_t> positions,
                                                                  const TextOptions& options);

// Every slide's text, the non-empty ones joined by "\n\n"; the report
// counts the listed slides that were dropped.
std::pair<std::string, ExtractReport> text_reporting(document::Document& doc, const TextOptions& options);

// The entries of the deck's slide list that name no readable part. When the
// slides were taken from the presentation's relationships instead, those
// found stand for as many entries.
std::uint32_t dropped_slides(const document::Shared& shared) noexcept;

// Joins the non-empty texts with `glue`.
std::string join_non_empty(std::span<const std::string> texts, std::string_view glue);

} // namespace vantrell_core::text
