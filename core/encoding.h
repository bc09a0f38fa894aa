// Text encodings: the quoted form used by reprs and messages, lossy UTF-8
// decoding, and UTF-16 XML parts turned into UTF-8.
//
// The quoted form writes a text between double quotes with backslash escapes:
// \\ and \" for backslash and double quote; \t \r \n \0 for tab, carriage
// return, line feed and NUL; \u{hex} (lower case, no leading zeros) for every
// other control character, non-printable character or combining mark
// (Grapheme_Extend); everything else, the single quote and printable non-ASCII
// characters included, as it is. "Printable" excludes the general categories
// Zs (but not the space itself), Zl, Zp, Cc, Cf, Cs, Co and unassigned code
// points; the tables come from the Unicode character database
// (core/unicode_tables.inc, generated).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantrell_core::encoding {

inline constexpr char32_t REPLACEMENT = 0xFFFD;

// `text` between double quotes with escapes. Invalid UTF-8 is read as U+FFFD
// per maximal invalid subpart, so any byte string gives a valid result.
std::string quoted(std::string_view utf8);

// One character between single quotes: a single quote is escaped, a double
// quote is not. A value that is no Unicode scalar value shows as U+FFFD.
std::string quoted_char(char32_t c);

// Character properties from the generated tables. Values above U+10FFFF and
// surrogates are neither printable nor anything else.
bool is_printable(char32_t c) noexcept;
bool is_grapheme_extend(char32_t c) noexcept;
bool is_white_space(char32_t c) noexcept;

// Appends the UTF-8 form of `c` (U+FFFD for a surrogate or a value above
// U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// Decodes one character at `pos`, advancing `pos`. An invalid or truncated
// sequence consumes its maximal subpart (at least one byte) and gives U+FFFD.
// `pos` must be below `text.size()`.
char32_t next_utf8(std::string_view text, std::size_t& pos) noexcept;

// `bytes` as valid UTF-8: every invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A UTF-16 XML part as UTF-8: recognised by a byte-order mark (FF FE little-
// endian, FE FF big-endian; the mark is not copied) or by "<?" in UTF-16 at
// the start ("<" 0 "?" 0, or 0 "<" 0 "?"). Unpaired surrogates and an odd
// final byte become U+FFFD. Anything else gives nullopt: the bytes are UTF-8.
std::optional<std::vector<std::uint8_t>> utf16_xml_to_utf8(std::span<const std::uint8_t> bytes);

} // namespace vantrell_core::encoding
