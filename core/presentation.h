// The main presentation part: slide and master lists, notes and handout
// masters, sizes, flags and sections.
//
// The parser is lenient where the checker needs to see damage: a root other
// than p:presentation, a list entry without its relationship id or a size
// element without numeric extents is recorded (root flag, element problems
// with the offset of the element's start tag) and parsing goes on. Only
// malformed XML and a text without any element fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace vantrell_core::presentation {

struct SlideId {
    std::string rel_id;              // decoded r:id, never empty
    std::optional<std::uint32_t> id; // unprefixed `id`
    std::size_t offset = 0;          // of the element's start tag
    friend bool operator==(const SlideId&, const SlideId&) = default;
};

struct MasterId {
    std::string rel_id;
    std::optional<std::uint32_t> id;
    std::size_t offset = 0;
    friend bool operator==(const MasterId&, const MasterId&) = default;
};

struct Size {
    std::int64_t cx = 0;  // EMU
    std::int64_t cy = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Problem {
    const char* message = "";  // static text
    std::size_t offset = 0;    // of the element's start tag
};

// One section: its name and the slide ids (`p:sldId@id` values) it lists.
struct Section {
    std::string name;
    std::vector<std::uint32_t> slide_ids;
};

struct Presentation {
    bool root_ok = false;  // the root is p:presentation (either form)
    std::vector<SlideId> slides;
    // Where the slide list has entries without r:id, which name no slide:
    // for each, the number of `slides` listed before it.
    std::vector<std::size_t> slides_without_rel;
    std::vector<MasterId> masters;
    std::optional<std::string> notes_master;    // r:id
    std::optional<std::string> handout_master;  // r:id
    std::optional<Size> slide_size;
    std::optional<std::string> slide_size_type;
    std::optional<Size> notes_size;
    std::int32_t first_slide_num = 1;
    bool rtl = false;
    std::vector<Problem> problems;
    std::vector<Section> sections;

    // Parses the UTF-8 text of the part named `part` (the name goes into
    // XML errors).
    static Result<Presentation> parse(std::string_view text, std::string_view part);
};

// The `id` rule of slide and master entries: white space trimmed, an
// optional "+", then decimal digits up to 4294967295; anything else is none.
std::optional<std::uint32_t> parse_id(std::string_view raw) noexcept;

} // namespace vantrell_core::presentation
