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
//   renders such a part once, and its later showings are repeats: they, the
//   repeats of a legacy master's furniture, and a comment author's name at
//   each comment count against the pass's allowance (document::Pass), past
//   which they are left out and reported.
// - Everything a pass writes goes through its meter (`Meter`), item by item
//   (a paragraph, a table row, a chart point, a comment): once the pass's
//   bound refuses one, that item and everything after it is left out, on
//   every slide, and the report says on how many slides output was cut.
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
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/chart.h"
#include "core/diagram.h"
#include "core/document.h"
#include "core/error.h"
#include "core/hash.h"
#include "core/model.h"
#include "core/opc.h"
#include "core/shared_text.h"
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

// (slide index, message): a message is stored once and shared by every
// occurrence of its cause (a part many frames name, a slide listed many
// times).
using Failures = std::vector<std::pair<std::size_t, SharedText>>;

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
    // Slides whose output the pass's meter cut, and the bound it kept to.
    std::uint32_t cut_slides = 0;
    std::uint64_t bound_nbytes = 0;

    // Failure lists first (slides, notes, comments, frames), one line per
    // cause: a message met more than once gives one line that counts where
    // and how often. Then one line for the unknown graphic frames, one per
    // kind of content left out, one for the output cut and one for the
    // dropped slides.
    std::vector<std::string> warnings() const;
    bool is_complete() const noexcept;

    // Appends another report's records; counters saturate.
    void merge(const ExtractReport& other);
    // Records `what` left out on the one slide this report is for: once,
    // however often the slide meets it.
    void leave_out(std::string_view what, std::uint64_t allowance_nbytes);
    // Records that the one slide this report is for had output cut at
    // `bound_nbytes`: once.
    void cut(std::uint64_t bound_nbytes);
    // Adds what the slide parser skipped.
    void merge(const slide::SlideReport& parsed);

    // The strings of unknown_graphic_uris, so that adding one scans
    // nothing; rebuilt when it does not match.
    hash::StringSet uri_index;

private:
    void add_uri(const std::string& uri);
};

// One step's output written through its pass's meter. Text is appended to
// `out` as usual, and at each checkpoint (`check`, after a small item) what
// `out` gained since is charged to the pass, what it lost given back. When
// the pass refuses a charge, `out` goes back to where it stood at the last
// checkpoint passed, the cut is recorded in the report, and every later
// checkpoint fails too. So what a refusal leaves in memory past the bound
// is one item. Without a pass nothing is metered.
//
// Text paid for ahead (`admit`: a part's rendering, charged as it was
// made, or a repeat charged whole before it is written) is a credit that
// the next bytes written use up before anything more is charged.
class Meter {
public:
    Meter(std::string& out, document::Pass* pass = nullptr, ExtractReport* report = nullptr) noexcept
        : out_(out), pass_(pass), report_(report), checked_(out.size()) {}
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    std::string& out() noexcept { return out_; }
    // Charges what was written since the last checkpoint; false once the
    // pass refused it (or anything before).
    bool check();
    // Checks, then pays for `nbytes` about to be written, of which
    // `prepaid` were charged already (a part's rendering at its first
    // showing) and the rest is charged now; false, recorded, when refused.
    bool admit(std::uint64_t nbytes, std::uint64_t prepaid = 0);
    // Whether the pass takes output still; false, recorded as a cut, when
    // the caller has more to write and it would be refused.
    bool open();
    // Takes `out` back to `size`, giving back what was charged past it.
    void rewind(std::size_t size);
    // Counts `nbytes` of repeated output (a copy or padding a rendering
    // makes) against the pass's allowance; false, with `what` recorded as
    // left out, past it. The bytes are metered as the rest when written.
    bool repeat(std::string_view what, std::uint64_t nbytes);

private:
    void refused();

    std::string& out_;
    document::Pass* pass_;
    ExtractReport* report_;
    std::size_t checked_;       // `out` is paid for up to here, and kept
    std::uint64_t credit_ = 0;  // paid for ahead and not written yet
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
    // `meter` meters the slide's output, which takes what this shows.
    Showing(const document::Slide& slide, document::Pass& pass, ExtractReport& report, Meter& meter) noexcept
        : slide_(slide), pass_(pass), report_(report), meter_(meter) {}

    // Writes a part's rendering into `out.text` (and its other members)
    // through `meter`, which meters `out.text`.
    template <class Data>
    using Render = std::function<void(const Data&, document::Rendered& out, Meter& meter)>;

    document::Pass& pass() noexcept { return pass_; }
    ExtractReport& report() noexcept { return report_; }
    Meter& meter() noexcept { return meter_; }

    // What a chart or diagram frame shows, rendered by `chart` or `diagram`;
    // null for a frame that shows nothing: one without a part, or linking
    // outside the package, or naming a part the slide showed at an earlier
    // frame, or one whose part cannot be read or whose repeat passes the
    // allowance or the meter (all recorded). What it gives is admitted to
    // the slide's meter: the caller writes its text next.
    const document::Rendered* frame(const model::Shape& shape, const Render<chart::ChartData>& chart,
                                    const Render<diagram::DiagramData>& diagram);
    // The slide's notes page and comments likewise; null without one.
    const document::Rendered* notes(const Render<model::SlideContent>& render);
    const document::Rendered* comments(const Render<std::vector<comments::Comment>>& render);
    // The failure message `text`, shared within the pass.
    SharedText message(std::string text) { return pass_.message(std::move(text)); }
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
    const model::SlideContent::Copy* copy_of(const model::Shape& shape);
    // Counts a copy's showing of `shown_nbytes`, which holds `held_nbytes`
    // of the copy's text; false, recorded, past the allowance.
    bool repeat_copy(const model::SlideContent::Copy& copy, std::uint64_t held_nbytes, std::uint64_t shown_nbytes);
    // A rendering made for this showing alone (not kept by the pass).
    const document::Rendered* made_here(const std::function<document::Rendered()>& make, Failures& failures);

    const document::Slide& slide_;
    document::Pass& pass_;
    ExtractReport& report_;
    Meter& meter_;
    document::ShownParts shown_;  // parts shown at a frame of the slide
    // The relationship ids frames of the slide named, each with the failure
    // it met (none when its part showed, or shows nothing).
    std::unordered_map<std::string_view, SharedText, hash::Hasher, std::equal_to<>> frames_;
    // The copies by their top-level shape's index, made on first need.
    std::unordered_map<std::size_t, const model::SlideContent::Copy*> copies_;
    bool copies_indexed_ = false;
    document::Rendered scratch_;
};

// Appends the plain text of `content` (without notes and comments, which
// need the package). Frames of a kind the options exclude are not asked for.
// With `showing`, a copied shape past the allowance is left out, and `out`
// is written through the showing's meter, which must meter it.
void write_content_text(const model::SlideContent& content, const TextOptions& options,
                        const FrameCallback& frame, std::string& out, Showing* showing = nullptr);

// The slide's relationships as a rendering pass reads them: empty for a
// slide without a package part (a legacy deck's). A relationships part that
// cannot be read is recorded in `report` as a failure of the slide (its
// message stored in `pass` when given), whose other content still renders,
// and gives null.
std::shared_ptr<const opc::Relationships> slide_rels(const document::Slide& slide, ExtractReport& report,
                                                     document::Pass* pass = nullptr);

// Whether the shape, or any shape of the content, refers to another part
// through the slide's relationships: a picture, chart, diagram, OLE object
// or content part. A pass reads those relationships for such a slide even
// when it shows nothing of the part, so that a damaged relationships part
// never passes as a complete reading.
bool refers_to_part(const model::Shape& shape);
bool refers_to_parts(const model::SlideContent& content);

// A chart's and a diagram's text, as a frame gives it; written through the
// meter, the chart a point at a time.
std::string chart_text(const chart::ChartData& chart);
std::string diagram_text(const diagram::DiagramData& diagram);
void write_chart_text(const chart::ChartData& chart, Meter& meter);
void write_diagram_text(const diagram::DiagramData& diagram, Meter& meter);

// A slide's plain text: the hidden-slide rule, the shape walk, frames read
// through the slide's parts, notes and comments when asked. Failures are
// recorded in `report` under the slide's index. Without a pass, the slide
// is a pass of its own.
std::string slide_text_reporting(const document::Slide& slide, const TextOptions& options,
                                 ExtractReport& report);
std::string slide_text_reporting(const document::Slide& slide, const TextOptions& options,
                                 ExtractReport& report, document::Pass& pass);

// A pass of its own for a slide rendered alone.
document::Pass slide_pass(const document::Slide& slide);
// Counts the slide's own part as read by `pass`, which a step read before
// it rendered the slide.
void count_slide_part(const document::Slide& slide, document::Pass& pass);

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
