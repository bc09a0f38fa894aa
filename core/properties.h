// The document property parts: core properties (Dublin Core and OPC terms)
// and extended properties (what the writing application recorded).
//
// Values are kept as the text written, trimmed of white space; an element
// that is empty after trimming counts as absent, so callers never see "".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace vantrell_core::properties {

struct CoreProperties {
    std::optional<std::string> title;
    std::optional<std::string> subject;
    std::optional<std::string> creator;
    std::optional<std::string> keywords;
    std::optional<std::string> description;
    std::optional<std::string> last_modified_by;
    std::optional<std::string> revision;
    std::optional<std::string> created;
    std::optional<std::string> modified;
    std::optional<std::string> last_printed;
    std::optional<std::string> category;
    std::optional<std::string> content_status;
    std::optional<std::string> language;
    std::optional<std::string> identifier;
    std::optional<std::string> version;

    // The first occurrence of each element wins.
    static Result<CoreProperties> parse(std::string_view text, std::string_view part);
};

struct AppProperties {
    std::optional<std::string> application;
    std::optional<std::string> app_version;
    std::optional<std::string> company;
    std::optional<std::string> manager;
    std::optional<std::string> template_;  // `Template`
    std::optional<std::string> presentation_format;
    std::optional<std::uint64_t> slides;
    std::optional<std::uint64_t> notes;
    std::optional<std::uint64_t> hidden_slides;
    std::optional<std::uint64_t> words;
    std::optional<std::uint64_t> paragraphs;
    std::optional<std::uint64_t> total_time;
    // The string entries of the TitlesOfParts vector, as written.
    std::vector<std::string> titles_of_parts;

    static Result<AppProperties> parse(std::string_view text, std::string_view part);
};

} // namespace vantrell_core::properties
