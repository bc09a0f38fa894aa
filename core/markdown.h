// Markdown rendering of slides and decks.
//
// A slide is a list of blocks joined by a blank line, without a trailing
// newline:
// - Heading: "# " and the title on one line (white space runs folded to one
//   space); "# Slide N" when the slide has no title. The title shape is not
//   repeated below. Without headings the title is an ordinary paragraph.
// - Text shapes, in pre-order, one block each. A paragraph whose bullet, as
//   `document::Bullets` decides it, is a character or picture is a
//   "- " item; an auto-numbered one is "N. " item, counted from its start
//   value along consecutive numbered paragraphs of its level, N at most
//   999999999. A list that starts where one of its kind stood right before
//   (another box's, or numbers that do not follow on) is marked "* " or
//   "N) " instead, so that it stays a list of its own. A child item
//   is indented by its parent's marker width, so that it nests. Other
//   paragraphs are plain. List items follow each other directly; anything
//   else is set apart by a blank line. A line break inside a paragraph or
//   item is a hard break, a backslash ending the line, and the next line of
//   an item is indented to its text; one at either end of the text, or
//   right after another, is dropped. In a heading it becomes a space. Runs
//   with an external click hyperlink are "[text](target)"; jumps inside the
//   deck stay text.
// - Tables: a pipe table, the first row as header, one column per grid
//   column. A vertically merged cell repeats its origin's text, so that
//   every row reads whole; a horizontally merged one is empty. A cell's
//   lines are folded as a body's and joined by "<br>"; links are as in the
//   text. A table of empty cells gives nothing. Rows are padded with empty
//   cells to the widest.
// - Pictures (with images on): "![ALT](PART)", the target being the image
//   part, or the external target for a linked picture; the alt text is the
//   description, else the shape's name unless it is an application's
//   default. A picture without a known target gives nothing. Audio and video
//   give a line "Audio: NAME" / "Video: NAME".
// - Charts: a caption "Chart (KINDS): TITLE", with lines "Category axis: A"
//   and "Value axis: B" when the axes have titles, then a pipe table of
//   categories by series, a row per point up to the longest cache's
//   length, cells no point fills empty. Diagrams: their items as a nested
//   "- " list.
// - Notes and comments (when asked) last, as block quotes: "> Notes: ..."
//   and "> Comment from AUTHOR: ..." / "> Reply from AUTHOR: ...". Each
//   paragraph of the notes is a paragraph of the quote; a comment is one
//   paragraph. Line breaks in them are hard breaks; their lines are folded
//   as a body's.
// Text is escaped wherever a CommonMark parser would read it as structure,
// with backslashes it drops again. Headings and list items read back
// through the writer's Markdown input, so a deck survives the trip in
// outline; a line of text is never taken there as speaker notes.
// Failures, an unreadable relationships part among them, go into the
// extraction report.
// What is stored once and shown many times is a repeat, counted against
// the pass's allowance (text::Showing, document::Pass): a merged cell's text
// on the rows below its origin, the empty cells padding a short row (after
// the header) and the cells of a chart row no point fills, a link's or
// picture's target (stored once: a relationship's, or the name of the part
// it resolves to) at each showing after its first on the slide,
// a comment author's name at every comment. Past the allowance, merged
// cells show blank, rows stay short (a reader pads them), a chart's table
// ends, links show as text, pictures as ones of unknown target, comments
// without their author; the report names what was left out. Everything is
// written through the pass's meter (text::Meter), a paragraph, row or
// item at a time.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>

#include "core/chart.h"
#include "core/diagram.h"
#include "core/document.h"
#include "core/model.h"
#include "core/text.h"

namespace vantrell_core::markdown {

struct MarkdownOptions {
    bool headings = true;
    bool notes = false;
    bool comments = false;
    bool hidden_slides = true;
    bool hidden_shapes = false;
    bool furniture = false;
    bool images = true;
};

// A table as a pipe table (no trailing newline); empty for a table without
// cells. Without the slide's relationships, links show as text.
std::string table_markdown(const model::Table& table);
std::string chart_markdown(const chart::ChartData& chart);
std::string diagram_markdown(const diagram::DiagramData& diagram);

// The slide as Markdown under the options; failures recorded in `report`.
// Without a pass, the slide is a pass of its own.
std::string slide_markdown(const document::Slide& slide, const MarkdownOptions& options,
                           text::ExtractReport& report);
std::string slide_markdown(const document::Slide& slide, const MarkdownOptions& options,
                           text::ExtractReport& report, document::Pass& pass);

// The listed slides' Markdown, the non-empty blocks joined by "\n\n---\n\n"
// and ended by one "\n" unless empty. Never fails as a whole.
std::pair<std::string, text::ExtractReport> markdown_at(document::Document& doc,
                                                        std::span<const std::size_t> positions,
                                                        const MarkdownOptions& options);

} // namespace vantrell_core::markdown
