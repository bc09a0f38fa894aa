// The parser of slide-like parts: slides, layouts, masters, notes pages,
// notes masters and handout masters, into the content model.
//
// The walk follows the shape tree as written, resolving mc:AlternateContent
// as the markup-compatibility reader does (a Choice the library understands,
// else the Fallback), so OLE objects wrapped for VML and chartex frames with
// a picture fallback come out once. Group nesting is bounded by
// MAX_GROUP_DEPTH: recursion follows groups only, and a deeper tree is an
// error rather than a stack overflow on a worker's small stack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/model.h"
#include "core/xml.h"

namespace vantrell_core::slide {

inline constexpr unsigned MAX_GROUP_DEPTH = 64;

// What the parser met but could not represent.
struct SlideReport {
    // graphicData@uri of every frame of unknown type, in order, repeats kept.
    std::vector<std::string> unknown_graphic_uris;
    // Elements in namespaces the library does not know, skipped with their
    // content.
    std::uint32_t unknown_elements = 0;
};

// How much of the markup a parse keeps. Passes that only render text take
// `text`: run properties other than the click hyperlink, transforms and
// shape hyperlinks are then left unread (absent in the result), and their
// elements are skipped whole. `plain` also leaves paragraph properties and
// run hyperlinks unread (levels and bullets stay at their defaults), for
// text that is shown without list structure.
enum class Detail : std::uint8_t { full, text, plain };

struct Parsed {
    model::SlideContent content;
    SlideReport report;
};

// What a layout or master says about the bullets of the slides under it:
// its placeholders' list styles and, for a master, its text styles.
struct Styles {
    struct Entry {
        model::Placeholder placeholder;
        model::ListStyle list_style;
    };
    std::vector<Entry> placeholders;  // in walk order
    // A master's p:txStyles, but for its title style: a title is never a
    // list.
    model::ListStyle body_style, other_style;
};

// Reads the styles of a layout or master part, skipping everything else.
// Fails as `parse` does.
Result<Styles> parse_styles(std::string_view text, std::string_view part);

// Parses the UTF-8 text of the part named `part` (the name goes into XML
// errors). Fails on malformed XML, on a text without an element, and on
// groups nested deeper than MAX_GROUP_DEPTH.
Result<Parsed> parse(std::string_view text, std::string_view part, Detail detail = Detail::full);

// Reads the paragraphs (a:p children) of the DrawingML text body whose start
// tag the reader has just passed, through its end tag. Shared with the chart,
// diagram and comment parsers. `report` may be null.
xml::Status read_paragraphs(xml::Reader& reader, std::vector<model::Paragraph>& out, SlideReport* report,
                            Detail detail = Detail::full);

} // namespace vantrell_core::slide
