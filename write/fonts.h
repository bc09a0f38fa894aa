// Font embedding: reading what a deck needs from a TrueType/OpenType file and
// wrapping the file as Embedded OpenType (version 0x00020002).
//
// The font data inside is the compressed form from `mtx::compress` when that
// works, else the file byte for byte. Only the fields the deck and the EOT
// header need are read; everything from the file is bounds-checked, and a
// font that cannot be used is a `Font` error, never a crash.
#pragma once

#include "write/parts.h"
#include "write/style.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantrell_write::fonts {

struct FontInfo {
    std::string family;
    std::string style;
    std::string full_name;
    std::string version;
    std::array<std::uint32_t, 4> unicode_ranges{};
    std::array<std::uint32_t, 2> code_page_ranges{};
    std::uint32_t checksum_adjustment = 0;
    std::array<std::uint8_t, 10> panose{};
    std::uint16_t weight = 0;
    std::uint16_t fs_type = 0;
    bool bold = false;
    bool italic = false;
    bool fixed_pitch = false;
};

inline constexpr std::uint32_t EOT_VERSION = 0x00020002;
inline constexpr std::uint32_t EOT_FLAG_COMPRESSED = 4;

// The data of the first usable directory record with this tag.
std::optional<std::span<const std::uint8_t>> table(std::span<const std::uint8_t> font, std::string_view tag);

// The best-ranked record of a name id as UTF-8 (Windows en-US, then other
// Windows Unicode, then Unicode platform, then Macintosh Roman).
std::optional<std::string> name(std::span<const std::uint8_t> name_table, std::uint16_t id);

Error malformed(std::string_view message);

Result<FontInfo> info(std::span<const std::uint8_t> font);

// One EOT name field: padding, byte size, UTF-16LE text, terminator.
void push_name(std::vector<std::uint8_t>& out, std::string_view utf8);

// The EOT bytes for a font already read by `info`.
Result<std::vector<std::uint8_t>> eot(std::span<const std::uint8_t> font, const FontInfo& fi);

// The font step of the package build, once per theme font file in order:
//
//     Result<parts::FontPart> fonts::embed(std::span<const std::uint8_t> font);
//
// `parts::build` stores the record's `eot` as ppt/fonts/font{N}.fntdata and
// lists family, PANOSE, bold, italic and fixed pitch in the presentation
// part; the first error ends the build.
Result<parts::FontPart> embed(std::span<const std::uint8_t> font);

} // namespace vantrell_write::fonts
