// Text encodings: the one home of UTF-8 and UTF-16 coding, validation, white
// space and the quoted form used by reprs and messages.
//
// The decoders share one policy: an invalid or truncated UTF-8 sequence is
// read as U+FFFD per maximal invalid subpart (the practice Unicode
// recommends), and a UTF-16 surrogate without its partner becomes U+FFFD.
// A caller with a policy of its own finds valid sequences through
// `utf8_sequence_nbytes`. White space is either the Unicode White_Space
// property or, for text that follows XML's rules, the four characters XML
// counts (space, tab, line feed, carriage return); a function that tests it
// says which.
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

// ---------------------------------------------------------------------------
// UTF-8

// Appends the UTF-8 form of `c` (U+FFFD for a surrogate or a value above
// U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// Decodes one character at `pos`, advancing `pos`. An invalid or truncated
// sequence consumes its maximal subpart (at least one byte) and gives U+FFFD.
// `pos` must be below `text.size()`.
char32_t next_utf8(std::string_view text, std::size_t& pos) noexcept;

// The length of the valid UTF-8 sequence at `pos`, or 0 where the bytes
// there are none: for a caller that replaces invalid bytes its own way.
// `pos` must be below `text.size()`.
std::size_t utf8_sequence_nbytes(std::string_view text, std::size_t pos) noexcept;

// Whether `bytes` is valid UTF-8 throughout.
bool is_valid_utf8(std::string_view bytes) noexcept;

// The first `max_nbytes` of `text` (all of a shorter one), less the start
// of a character they cut: at most three bytes, as a longer run of
// continuation bytes is no character anyway.
std::string_view utf8_head(std::string_view text, std::size_t max_nbytes) noexcept;
// `text` when it holds at most `max_nbytes`; else its head and
// "... (N bytes)" with the whole length: how a long stored value is quoted
// in a message.
std::string shortened(std::string_view text, std::size_t max_nbytes);

// Appends `bytes` as valid UTF-8: every maximal invalid subpart replaced by
// U+FFFD.
void append_utf8_lossy(std::string& out, std::string_view bytes);
std::string utf8_lossy(std::string_view bytes);

// ---------------------------------------------------------------------------
// UTF-16

enum class ByteOrder : std::uint8_t { little, big };

// UTF-16 code units as UTF-8.
std::string utf8_of_utf16(std::u16string_view units);
// UTF-16 in bytes of the given order as UTF-8. An odd final byte is no unit
// and is passed over; whether it is damage is the caller's to say.
std::string utf8_of_utf16(std::span<const std::uint8_t> bytes, ByteOrder order);

// UTF-8 as UTF-16 code units.
std::u16string utf16_of_utf8(std::string_view utf8);

// A UTF-16 XML part as UTF-8: recognised by a byte-order mark (FF FE little-
// endian, FE FF big-endian; the mark is not copied) or by "<?" in UTF-16 at
// the start ("<" 0 "?" 0, or 0 "<" 0 "?"). An odd final byte becomes U+FFFD.
// Anything else gives nullopt: the bytes are UTF-8.
std::optional<std::vector<std::uint8_t>> utf16_xml_to_utf8(std::span<const std::uint8_t> bytes);
// Whether the part is UTF-16 XML as above, from its first bytes alone.
bool is_utf16_xml(std::span<const std::uint8_t> bytes) noexcept;
// The same in two steps, for a caller that checks the size or places the
// result itself: the UTF-8 size of such a part (at most 1.5 times the bytes
// and 3), counted without converting; nullopt for UTF-8. Then the text
// written into `out`, which is exactly that long.
std::optional<std::size_t> utf16_xml_utf8_nbytes(std::span<const std::uint8_t> bytes) noexcept;
void utf16_xml_write_utf8(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> out) noexcept;

// ---------------------------------------------------------------------------
// White space

// Which characters a test counts as white space: the Unicode White_Space
// property, or XML's four (space, tab, line feed, carriage return).
enum class Space : std::uint8_t { unicode, xml };

constexpr bool is_xml_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// True when the UTF-8 text holds nothing but white space. An invalid
// sequence is U+FFFD, which is not white space.
bool is_blank(std::string_view text, Space space = Space::unicode) noexcept;

// The text without white space at its start, its end, or both. The result
// is a view into `text`.
std::string_view trim_start(std::string_view text, Space space = Space::unicode) noexcept;
std::string_view trim_end(std::string_view text, Space space = Space::unicode) noexcept;
std::string_view trim(std::string_view text, Space space = Space::unicode) noexcept;

} // namespace vantrell_core::encoding
