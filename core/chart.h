// The chart part parser: the words and numbers a chart shows, taken from the
// caches the producing application stored beside each formula, so no
// workbook is opened.
//
// Points are placed by their `idx`, never by position: a cache may list
// fewer points than its count (blank cells), which show as empty strings.
// A cache is kept as written, its points with their idx beside its length,
// so that parsing costs what the part holds whatever count it declares; the
// gaps are filled only where a caller lays a cache out, and paid for there
// (the passes count them as repeats, and `charts()` fills at most
// GAP_BUDGET of them per call).
//
// Values stay as stored; `format_value` gives the text a point shows under
// its number format code, for the renderings. Only numeric caches carry
// codes: a string cache shows its text as written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"

namespace vantrell_core::chart {

// Longest a cache is laid out with gaps (a worksheet's row count).
inline constexpr std::size_t MAX_POINTS = 1u << 20;
// Gap entries one call that lists caches laid out may add in total; beyond
// it, sparse caches list only their written points in idx order.
inline constexpr std::size_t GAP_BUDGET = 1u << 22;

// Number format codes of one cache.
struct Formats {
    bool numeric = false;  // a numCache or numLit; only these are formatted
    std::string code;      // its c:formatCode; empty reads as General
    // (idx, code) of the points that carry their own code, ascending.
    std::vector<std::pair<std::size_t, std::string>> points;

    // The code the point at idx `i` is shown with.
    std::string_view at(std::size_t i) const noexcept;
};

// One cache as written: its points by idx, ascending, an idx written twice
// kept at its first; and its length, the declared point count or past the
// last idx when that is further, at most MAX_POINTS. Points at or past the
// length show nowhere once laid out.
struct Cache {
    struct Point {
        std::uint64_t idx = 0;
        std::string value;
    };
    std::vector<Point> points;
    std::size_t length = 0;

    Cache() = default;
    // A cache written without gaps.
    Cache(std::vector<std::string> dense);
    Cache(std::initializer_list<std::string> dense) : Cache(std::vector<std::string>(dense)) {}

    // The point at idx `i` below the length; null where none is written.
    const Point* find(std::size_t i) const noexcept;
    // Its value, empty where none is written.
    std::string_view at(std::size_t i) const noexcept;
    // The points below the length.
    std::size_t written() const noexcept;
    // The places of the layout that no point fills.
    std::size_t gaps() const noexcept { return length - written(); }
    // The values laid out by idx over the length, gaps empty.
    std::vector<std::string> padded() const;
    // Every written value in idx order.
    std::vector<std::string> packed() const;
};

struct Series {
    std::optional<std::string> name;
    Cache categories;
    Cache values;  // as written
    Formats category_formats;
    Formats value_formats;
};

struct ChartData {
    std::optional<std::string> title;
    // Plot element names without the "Chart" suffix, in document order:
    // "bar", "bar3D", "line", "pie", "scatter", ...
    std::vector<std::string> kinds;
    std::optional<std::string> category_axis_title;
    std::optional<std::string> value_axis_title;
    std::vector<Series> series;
    bool date1904 = false;  // date serials count from 1904-01-01
};

// Parses a c:chartSpace part. A part with another root (an Office 2016
// chartex part, for instance) gives empty data.
Result<ChartData> parse(std::string_view text, std::string_view part);

// The text a stored value shows under a number format code, as a
// spreadsheet shows it: the value taken to fifteen significant digits (so
// binary noise never shows), then rounded half away from zero.
// - General: at most eleven characters besides the sign, trailing zeros
//   dropped; scientific ("1.23457E+11", "1E-05") from 1E+11 up and below
//   1E-04.
// - Digit placeholders 0 # ?, decimal point, thousands separator (and
//   scaling commas after the digits), percent, scientific E+ E-, quoted and
//   backslash-escaped literals, `[$SYMBOL-locale]` currency, padding;
//   colours and fills show nothing; sections "positive;negative;zero" (the
//   negative section shows no minus sign of its own) and `[>100]`
//   conditions.
// - Date and time codes as ISO-8601 to the precision the code shows
//   ("2024-01-05", "2024-01", "2024", "13:30:00", "2024-01-05T13:30"),
//   from the 1900 serial system with its phantom 1900-02-29, or the 1904
//   one; elapsed time (`[h]`) as total hours.
// A stored value that is no number stays as written. An unknown or
// unparseable code, a fraction, a text section applied to a number, a code
// beyond 255 bytes or 30 decimals, a number from 1E+30 up under a code
// without exponent, and a date outside 1900 (1904) to 9999 read as General.
std::string format_value(std::string_view stored, std::string_view code, bool date1904 = false);

// A series' category or value at idx `i` as the chart shows it; empty where
// none is written.
std::string shown_category(const ChartData& chart, const Series& series, std::size_t i);
std::string shown_value(const ChartData& chart, const Series& series, std::size_t i);

} // namespace vantrell_core::chart
