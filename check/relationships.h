// Relationship stage: every relationships part of an existing source, the
// targets of internal relationships, the parts nothing targets, and the
// package-level relationships (presentation, properties, thumbnails).
#pragma once

#include <array>
#include <string_view>

#include "check/check.h"

namespace vantrell_check::relationships {

inline constexpr std::array<Rule, 15> RELATIONSHIP_RULES{{
    {"REL001", "Part 2 6.5.3.1", "Relationships parts are well-formed XML with a Relationships root", Severity::error},
    {"REL002", "Part 2 6.5.3.4", "Relationship Ids are unique within their Relationships part", Severity::error},
    {"REL003", "Part 2 C.5", "Every Relationship carries Id, Type and Target, and a valid TargetMode", Severity::error},
    {"REL004", "Part 2 6.5.3.4", "Internal relationship targets resolve to a part in the package", Severity::error},
    {"REL005", "Part 2 6.5.2.1", "No relationship points at a Relationships part", Severity::error},
    {"REL006", "Part 2 6.5.3.4", "Relationship Ids are XML names (xsd:ID)", Severity::error},
    {"REL007", "Part 2 6.5.2.3", "Every Relationships part belongs to a part that exists", Severity::warning},
    {"REL008", "Part 2 6.5.1", "Every part is reachable from the package through relationships", Severity::warning},
    {"REL009", "Part 2 6.5.3.4", "Internal targets are relative references, not absolute IRIs", Severity::error},
    {"REL010", "Part 2 6.5.3.4", "Relationship types are non-empty IRIs", Severity::error},
    {"PKG001", "Part 1 13.3.6", "The package relationships name exactly one Presentation part", Severity::error},
    {"PKG002", "Part 1 13.3.6", "The Presentation part has a presentation main content type", Severity::error},
    {"PKG003", "Part 2 8.2", "At most one core properties relationship, from the package, to a part with the core properties media type", Severity::error},
    {"PKG004", "Part 1 15.2.16", "At most one thumbnail relationship from the package and per part", Severity::error},
    {"PKG005", "Part 1 15.2.12.3", "At most one extended properties and one custom properties relationship from the package", Severity::error},
}};

// The xsd:ID shape, bytewise: a letter, "_" or non-ASCII first, then also
// digits, "-" and ".".
bool is_xml_name(std::string_view id) noexcept;

// A target that starts with a URI scheme (a one-letter one included).
bool is_absolute_reference(std::string_view target) noexcept;

void run(vantrell_core::package::Package& package, Sink& sink);

} // namespace vantrell_check::relationships
