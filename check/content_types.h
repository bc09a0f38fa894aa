// Content-type stage: the parsed content types stream against the part
// table. Reads no part bytes; the package layer parsed the stream once.
#pragma once

#include <array>
#include <string_view>

#include "check/check.h"

namespace vantrell_check::content_types {

inline constexpr std::array<Rule, 8> CONTENT_TYPE_RULES{{
    {"CTY001", "Part 2 7.2.3.2.1", "Every part other than a Relationships part has a content type", Severity::error},
    {"CTY002", "Part 2 7.2.3.2.1", "At most one Default element per extension", Severity::error},
    {"CTY003", "Part 2 7.2.3.2.1", "At most one Override element per part name", Severity::error},
    {"CTY004", "Part 2 7.2.3.2.5", "Every Override names a part that exists", Severity::warning},
    {"CTY005", "Part 2 7.2.3.2.1", "The content types stream holds only Default and Override elements in the content types namespace", Severity::error},
    {"CTY006", "Part 2 6.2.3", "Content types are media types of the form type/subtype", Severity::error},
    {"CTY007", "Part 2 6.5.2.1", "Relationships parts have the relationships media type", Severity::error},
    {"CTY008", "Part 2 7.2.3.2.4", "Default extensions contain no dot or slash", Severity::error},
}};

// type "/" subtype, both non-empty RFC 7230 tokens; parameters after ";"
// are not examined.
bool is_media_type(std::string_view content_type) noexcept;

// Runs only over a stream that is present, readable and well-formed.
void run(vantrell_core::package::Package& package, Sink& sink);

} // namespace vantrell_check::content_types
