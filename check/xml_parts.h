// XML stage: every XML part as bytes: readable, its encoding, the encoding
// its declaration names, well-formedness, and whether the package mixes the
// Strict and Transitional namespace forms.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "check/check.h"

namespace vantrell_check::xml_parts {

inline constexpr std::array<Rule, 4> XML_RULES{{
    {"XML001", "Part 2 6.2.5", "XML parts are well-formed, namespace-well-formed and carry no DTD", Severity::error},
    {"XML002", "Part 2 6.2.5", "XML declarations name UTF-8 or UTF-16 and nothing else", Severity::error},
    {"XML003", "Part 4 7", "All parts use the same conformance class of namespaces, Strict or Transitional", Severity::warning},
    {"XML004", "Part 2 6.2.5", "XML parts are UTF-8 or UTF-16; a UTF-16 part is noted and read after transcoding", Severity::info},
}};

// The encoding named by the XML declaration at the head of `text`, when one
// can be read there (nothing before "<?xml", at most 200 bytes looked at).
std::optional<std::string_view> declared_encoding(std::string_view text);

// Whether a content type's media type is XML ("+xml", text/xml,
// application/xml, ignoring case and parameters).
bool is_xml_media_type(std::string_view content_type) noexcept;

// Whether the stage visits a part: a relationships part, or one whose
// content type is XML.
bool visits(bool is_rels, std::optional<std::string_view> content_type) noexcept;

void run(vantrell_core::package::Package& package, Sink& sink);

} // namespace vantrell_check::xml_parts
