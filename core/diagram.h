// The SmartArt data-model part: the outline the user typed, as (level, text)
// items in depth-first order.
//
// The tree is the one of the parOf connections (a connection without a type
// is parOf), children ordered by srcOrd, rooted at the document point. Points
// of presentation and transition types are layout bookkeeping and are left
// out. The walk uses an explicit stack and visits each point once, so loops
// and dangling connections in a damaged part cannot hang or crash it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"

namespace vantrell_core::diagram {

struct DiagramData {
    // (level, text): level 0 for the document point's children, one more per
    // generation, at most 255. Nodes without text give no item; their
    // children keep their own level.
    std::vector<std::pair<std::uint8_t, std::string>> items;
};

Result<DiagramData> parse(std::string_view text, std::string_view part);

} // namespace vantrell_core::diagram
