// Quoted form, UTF-8 decoding and UTF-16 XML conversion.
#include "core/encoding.h"

#include <algorithm>
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

} // namespace

bool is_printable(char32_t c) noexcept { return c <= MAX_SCALAR && !in_table(NON_PRINTABLE, c); }

bool is_grapheme_extend(char32_t c) noexcept { return in_table(GRAPHEME_EXTEND, c); }

bool is_white_space(char32_t c) noexcept { return in_table(WHITE_SPACE, c); }

void append_utf8(std::string& out, char32_t c) {
    if (c > MAX_SCALAR || is_surrogate(c)) c = REPLACEMENT;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

char32_t next_utf8(std::string_view text, std::size_t& pos) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(pos);
    ++pos;
    if (b0 < 0x80) return b0;

    std::size_t need;
    char32_t c;
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
        return REPLACEMENT;
    }
    for (std::size_t k = 0; k < need; ++k) {
        if (pos >= text.size()) return REPLACEMENT;
        const unsigned char b = byte(pos);
        if (k == 0 ? (b < lo || b > hi) : !is_continuation(b)) return REPLACEMENT;
        c = (c << 6) | (b & 0x3F);
        ++pos;
    }
    return c;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t start = pos;
        if (next_utf8(bytes, pos) == REPLACEMENT)
            append_utf8(out, REPLACEMENT);
        else
            out.append(bytes.substr(start, pos - start));
    }
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

std::optional<std::vector<std::uint8_t>> utf16_xml_to_utf8(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) return std::nullopt;
    bool little;
    std::size_t start = 0;
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
        little = true;
        start = 2;
    } else if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
        little = false;
        start = 2;
    } else if (bytes.size() >= 4 && bytes[0] == '<' && bytes[1] == 0 && bytes[2] == '?' && bytes[3] == 0) {
        little = true;
    } else if (bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == '<' && bytes[2] == 0 && bytes[3] == '?') {
        little = false;
    } else {
        return std::nullopt;
    }

    const std::size_t units = (bytes.size() - start) / 2;
    const auto unit = [&](std::size_t i) -> char32_t {
        const std::uint8_t a = bytes[start + 2 * i], b = bytes[start + 2 * i + 1];
        return little ? static_cast<char32_t>(a | (b << 8)) : static_cast<char32_t>((a << 8) | b);
    };

    std::string text;
    // Most XML is ASCII: one byte per unit; reserve grows as needed for the rest.
    text.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char32_t v = unit(i + 1);
            if (v >= 0xDC00 && v <= 0xDFFF) {
                append_utf8(text, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(text, u); // a lone surrogate becomes U+FFFD there
    }
    if ((bytes.size() - start) % 2 != 0) append_utf8(text, REPLACEMENT);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

} // namespace vantrell_core::encoding
