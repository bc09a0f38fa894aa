// Markdown outline to writer deck.
//
// A line-oriented reader of a small subset of Markdown, not a parser: every
// heading or thematic break starts a slide, list lines become bullets, a line
// right after a top-level heading becomes the subtitle, "Notes:" lines become
// speaker notes and fenced code becomes one paragraph per line. A heading
// right after a thematic break titles the slide the break opened, and a line
// ending in a hard break (a backslash) goes on, after a line break, with the
// next line of plain text. Whatever it does not recognise is paragraph
// text, so it never fails.
#pragma once

#include "write/style.h"

#include <string>
#include <string_view>

namespace vantrell_write::markdown {

// The deck of `markdown` (slides only; everything else as Presentation's defaults).
Presentation from_markdown(std::string_view markdown);

// `text` without "*", backticks and underscores that are not between two
// letters or digits, trimmed of whitespace. A code span (text between two
// runs of as many backticks) loses only its backticks; a backslash before
// ASCII punctuation gives that character as it stands.
std::string strip_inline(std::string_view text);

} // namespace vantrell_write::markdown
