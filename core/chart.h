// The chart part parser: the words and numbers a chart shows, taken from the
// caches the producing application stored beside each formula, so no
// workbook is opened.
//
// Points are placed by their `idx`, never by position: a cache may list
// fewer points than its count (blank cells), and those become empty strings.
// Padding is bounded per chart so that a hostile count cannot make the
// parser allocate far beyond the size of the part.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace vantrell_core::chart {

// Longest cache the parser lays out with gaps (a worksheet's row count).
inline constexpr std::size_t MAX_POINTS = 1u << 20;
// Gap entries one chart may add in total; beyond it, sparse caches list only
// their written points in idx order.
inline constexpr std::size_t GAP_BUDGET = 1u << 22;

struct Series {
    std::optional<std::string> name;
    std::vector<std::string> categories;
    std::vector<std::string> values;  // as written
};

struct ChartData {
    std::optional<std::string> title;
    // Plot element names without the "Chart" suffix, in document order:
    // "bar", "bar3D", "line", "pie", "scatter", ...
    std::vector<std::string> kinds;
    std::optional<std::string> category_axis_title;
    std::optional<std::string> value_axis_title;
    std::vector<Series> series;
};

// Parses a c:chartSpace part. A part with another root (an Office 2016
// chartex part, for instance) gives empty data.
Result<ChartData> parse(std::string_view text, std::string_view part);

} // namespace vantrell_core::chart
