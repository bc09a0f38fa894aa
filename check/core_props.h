// Core-properties rules: the root, the W3CDTF dates, repetition and the
// fifteen known elements of the core properties part.
//
// The part is the target of the first internal core-properties relationship
// of the package. Every way of not reaching or not parsing it is reported by
// other stages, so this one stays silent then.
#pragma once

#include <array>

#include "check/check.h"

namespace vantrell_check::core_props {

inline constexpr std::array<Rule, 4> CORE_PROPERTY_RULES{{
    {"CPR001", "Part 2 8.3.3", "The core properties root is cp:coreProperties without attributes", Severity::error},
    {"CPR002", "Part 2 8.3.4.3", "dcterms:created and dcterms:modified carry xsi:type=\"dcterms:W3CDTF\"", Severity::error},
    {"CPR003", "Part 2 8.3.4.1", "Core property elements are not repeated", Severity::error},
    {"CPR004", "Part 2 C.3", "Only the fifteen core property elements appear, in their namespaces", Severity::warning},
}};

void run(vantrell_core::package::Package& package, Sink& sink);

} // namespace vantrell_check::core_props
