// Quoted form, UTF-8 and UTF-16 coding, white space.
#include "core/encoding.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

namespace vantrell_core::encoding {

namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "core/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodeRange (&table)[N], char32_t c) noexcept {
    // First range that ends at or after c; c is inside exactly when that range starts at or before it.
    const CodeRange* it = std::lower_bound(std::begin(table), std::end(table), c,
                                           [](const CodeRange& r, char32_t v) { return r.last < v; });
    return it != std::end(table) && it->first <= c;
}

constexpr char32_t MAX_SCALAR = 0x10FFFF;

bool is_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }

void append_hex_escape(std::string& out, char32_t c) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    std::uint32_t v = c;
    do {
        buf[n++] = DIGITS[v & 0xF];
        v >>= 4;
    } while (v != 0);
    out += "\\u{";
    while (n > 0) out += buf[--n];
    out += '}';
}

// One character of a quoted text; `quote` is the delimiter that gets a backslash.
void append_escaped(std::string& out, char32_t c, char quote) {
    switch (c) {
    case U'\0': out += "\\0"; return;
    case U'\t': out += "\\t"; return;
    case U'\r': out += "\\r"; return;
    case U'\n': out += "\\n"; return;
    case U'\\': out += "\\\\"; return;
    default: break;
    }
    if (c == static_cast<char32_t>(quote)) {
        out += '\\';
        out += quote;
        return;
    }
    if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
        return;
    }
    if (is_grapheme_extend(c) || !is_printable(c)) {
        append_hex_escape(out, c);
        return;
    }
    append_utf8(out, c);
}

bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the sequence at `pos` into `c` and advances past it; an invalid or
// truncated one is passed over by its maximal subpart (at least one byte)
// and gives false. `pos` must be below `text.size()`.
inline bool decode_utf8(std::string_view text, std::size_t& pos, char32_t& c) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(pos);
    ++pos;
    if (b0 < 0x80) {
        c = b0;
        return true;
    }
    std::size_t need;
    // Bounds of the second byte exclude overlong forms, surrogates and values above U+10FFFF.
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        c = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        c = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return false;
    }
    for (std::size_t k = 0; k < need; ++k) {
        if (pos >= text.size()) return false;
        const unsigned char b = byte(pos);
        if (k == 0 ? (b < lo || b > hi) : !is_continuation(b)) return false;
        c = (c << 6) | (b & 0x3F);
        ++pos;
    }
    return true;
}

// Where the valid UTF-8 that starts at `pos` ends: at the first invalid
// sequence, or at the end. Text is mostly ASCII: runs of it are passed a
// word at a time, and only the other characters decoded.
std::size_t valid_utf8_end(std::string_view text, std::size_t pos) noexcept {
    constexpr std::uint64_t HIGHS = 0x8080808080808080u;
    while (pos < text.size()) {
        for (std::uint64_t w; text.size() - pos >= 8; pos += 8) {
            std::memcpy(&w, text.data() + pos, 8);
            if (w & HIGHS) break;
        }
        while (pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80) ++pos;
        if (pos == text.size()) break;
        std::size_t next = pos;
        char32_t c;
        if (!decode_utf8(text, next, c)) return pos;
        pos = next;
    }
    return pos;
}

// Calls `each(c)` for the characters of `count` UTF-16 units, `unit(i)` the
// i-th: a surrogate pair gives its character, a surrogate without its
// partner U+FFFD.
template <class Unit, class Each>
void for_each_utf16_char(std::size_t count, Unit unit, Each each) {
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            const char32_t v = unit(i + 1);
            if (v >= 0xDC00 && v <= 0xDFFF) {
                each(0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                ++i;
                continue;
            }
        }
        each(u >= 0xD800 && u <= 0xDFFF ? REPLACEMENT : u);
    }
}

// Appends `count` UTF-16 units, `unit(i)` the i-th, as UTF-8.
template <class Unit>
void append_utf16(std::string& out, std::size_t count, Unit unit) {
    for_each_utf16_char(count, unit, [&out](char32_t c) { append_utf8(out, c); });
}

// Writes the UTF-8 form of `c`, a scalar value, at `out` (room for four
// bytes); returns its length.
std::size_t encode_utf8(char32_t c, char* out) noexcept {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

} // namespace

bool is_printable(char32_t c) noexcept { return c <= MAX_SCALAR && !in_table(NON_PRINTABLE, c); }

bool is_grapheme_extend(char32_t c) noexcept { return in_table(GRAPHEME_EXTEND, c); }

bool is_white_space(char32_t c) noexcept { return in_table(WHITE_SPACE, c); }

namespace {

// Most text is ASCII: its white space is answered from this table, and only
// other bytes are decoded for the property.
constexpr std::array<bool, 128> ASCII_WHITE = [] {
    std::array<bool, 128> t{};
    for (const CodeRange& r : WHITE_SPACE)
        for (char32_t c = r.first; c <= r.last && c < 128; ++c) t[c] = true;
    return t;
}();

// Whether the character at `pos` is white space; advances `pos` past it.
bool white_at(std::string_view text, std::size_t& pos) noexcept {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {
        ++pos;
        return ASCII_WHITE[c];
    }
    return is_white_space(next_utf8(text, pos));
}

} // namespace

bool is_blank(std::string_view text, Space space) noexcept {
    if (space == Space::xml) return std::all_of(text.begin(), text.end(), is_xml_space);
    std::size_t pos = 0;
    while (pos < text.size())
        if (!white_at(text, pos)) return false;
    return true;
}

std::string_view trim_start(std::string_view text, Space space) noexcept {
    std::size_t begin = 0;
    if (space == Space::xml) {
        while (begin < text.size() && is_xml_space(text[begin])) ++begin;
    } else {
        while (begin < text.size()) {
            std::size_t pos = begin;
            if (!white_at(text, pos)) break;
            begin = pos;
        }
    }
    return text.substr(begin);
}

std::string_view trim_end(std::string_view text, Space space) noexcept {
    std::size_t end = text.size();
    if (space == Space::xml) {
        while (end > 0 && is_xml_space(text[end - 1])) --end;
        return text.substr(0, end);
    }
    // From the back, so long texts are not decoded whole. A sequence counts
    // only when it decodes to exactly the bytes up to `end`: forward decoding
    // starts a sequence at every byte that is no continuation byte, so it
    // would have found the same character there.
    while (end > 0) {
        const auto c = static_cast<unsigned char>(text[end - 1]);
        if (c < 0x80) {
            if (!ASCII_WHITE[c]) break;
            --end;
            continue;
        }
        std::size_t start = end - 1;
        while (start > 0 && end - start < 4 && is_continuation(static_cast<unsigned char>(text[start]))) --start;
        std::size_t pos = start;
        const char32_t cp = next_utf8(text, pos);
        if (pos != end || !is_white_space(cp)) break;
        end = start;
    }
    return text.substr(0, end);
}

std::string_view trim(std::string_view text, Space space) noexcept {
    return trim_end(trim_start(text, space), space);
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    if (c > MAX_SCALAR || is_surrogate(c)) c = REPLACEMENT;
    char buf[4];
    out.append(buf, encode_utf8(c, buf));
}

char32_t next_utf8(std::string_view text, std::size_t& pos) noexcept {
    char32_t c;
    return decode_utf8(text, pos, c) ? c : REPLACEMENT;
}

std::size_t utf8_sequence_nbytes(std::string_view text, std::size_t pos) noexcept {
    std::size_t end = pos;
    char32_t c;
    return decode_utf8(text, end, c) ? end - pos : 0;
}

bool is_valid_utf8(std::string_view bytes) noexcept { return valid_utf8_end(bytes, 0) == bytes.size(); }

std::string_view utf8_head(std::string_view text, std::size_t max_nbytes) noexcept {
    if (text.size() <= max_nbytes) return text;
    std::size_t cut = max_nbytes;
    while (cut + 3 > max_nbytes && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

std::string shortened(std::string_view text, std::size_t max_nbytes) {
    if (text.size() <= max_nbytes) return std::string(text);
    return std::string(utf8_head(text, max_nbytes)) + "... (" + std::to_string(text.size()) + " bytes)";
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
    std::size_t pos = 0;
    for (;;) {
        const std::size_t bad = valid_utf8_end(bytes, pos);
        out.append(bytes.data() + pos, bad - pos);
        if (bad == bytes.size()) return;
        pos = bad;
        char32_t c;
        decode_utf8(bytes, pos, c);
        append_utf8(out, REPLACEMENT);
    }
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    append_utf8_lossy(out, bytes);
    return out;
}

std::string quoted(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    std::size_t pos = 0;
    while (pos < utf8.size()) append_escaped(out, next_utf8(utf8, pos), '"');
    out += '"';
    return out;
}

std::string quoted_char(char32_t c) {
    if (c > MAX_SCALAR || is_surrogate(c)) c = REPLACEMENT;
    std::string out = "'";
    append_escaped(out, c, '\'');
    out += '\'';
    return out;
}

std::string utf8_of_utf16(std::u16string_view units) {
    std::string out;
    // Most text is ASCII: one byte per unit; reserve grows as needed for the rest.
    out.reserve(units.size());
    append_utf16(out, units.size(), [&](std::size_t i) -> char32_t { return units[i]; });
    return out;
}

std::string utf8_of_utf16(std::span<const std::uint8_t> bytes, ByteOrder order) {
    std::string out;
    out.reserve(bytes.size() / 2);
    if (order == ByteOrder::little)
        append_utf16(out, bytes.size() / 2, [&](std::size_t i) -> char32_t {
            return static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        });
    else
        append_utf16(out, bytes.size() / 2, [&](std::size_t i) -> char32_t {
            return static_cast<char32_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
        });
    return out;
}

std::u16string utf16_of_utf8(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const char32_t c = next_utf8(utf8, pos);
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

namespace {

// Where a UTF-16 XML part's units start, and their order.
struct Utf16Xml {
    ByteOrder order;
    std::size_t start;
};

std::optional<Utf16Xml> utf16_xml(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() < 2) return std::nullopt;
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) return Utf16Xml{ByteOrder::little, 2};
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) return Utf16Xml{ByteOrder::big, 2};
    if (bytes.size() >= 4 && bytes[0] == '<' && bytes[1] == 0 && bytes[2] == '?' && bytes[3] == 0)
        return Utf16Xml{ByteOrder::little, 0};
    if (bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == '<' && bytes[2] == 0 && bytes[3] == '?')
        return Utf16Xml{ByteOrder::big, 0};
    return std::nullopt;
}

// Calls `each(c)` for every character of the part's units, then U+FFFD for
// an odd final byte.
template <class Each>
void for_each_utf16_xml_char(std::span<const std::uint8_t> bytes, Utf16Xml form, Each each) {
    const std::span<const std::uint8_t> units = bytes.subspan(form.start);
    const auto unit = [&](std::size_t i) -> char32_t {
        return form.order == ByteOrder::little ? static_cast<char32_t>(units[2 * i] | (units[2 * i + 1] << 8))
                                               : static_cast<char32_t>((units[2 * i] << 8) | units[2 * i + 1]);
    };
    for_each_utf16_char(units.size() / 2, unit, each);
    if (units.size() % 2 != 0) each(REPLACEMENT);
}

constexpr std::size_t utf8_nbytes(char32_t c) noexcept { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

} // namespace

bool is_utf16_xml(std::span<const std::uint8_t> bytes) noexcept { return utf16_xml(bytes).has_value(); }

std::optional<std::size_t> utf16_xml_utf8_nbytes(std::span<const std::uint8_t> bytes) noexcept {
    const auto form = utf16_xml(bytes);
    if (!form) return std::nullopt;
    std::size_t n = 0;
    for_each_utf16_xml_char(bytes, *form, [&n](char32_t c) { n += utf8_nbytes(c); });
    return n;
}

void utf16_xml_write_utf8(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> out) noexcept {
    const auto form = utf16_xml(bytes);
    if (!form) return;
    std::uint8_t* at = out.data();
    std::uint8_t* const end = at + out.size();
    for_each_utf16_xml_char(bytes, *form, [&](char32_t c) {
        char buf[4];
        const std::size_t n = encode_utf8(c, buf);
        if (static_cast<std::size_t>(end - at) < n) return;
        std::memcpy(at, buf, n);
        at += n;
    });
}

std::optional<std::vector<std::uint8_t>> utf16_xml_to_utf8(std::span<const std::uint8_t> bytes) {
    const auto nbytes = utf16_xml_utf8_nbytes(bytes);
    if (!nbytes) return std::nullopt;
    // Sized exactly first: no growing copy beside the UTF-16 bytes.
    std::vector<std::uint8_t> out(*nbytes);
    utf16_xml_write_utf8(bytes, out);
    return out;
}

} // namespace vantrell_core::encoding
