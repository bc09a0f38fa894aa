#include "write/xml.h"

#include <cstdint>

namespace vantrell_write::xml {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD"; // U+FFFD

// Length of the valid UTF-8 sequence at `i`, or 0 when the bytes there are
// not one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8_length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[i + k]); };
    const std::size_t left = s.size() - i;
    const std::uint8_t b0 = b(0);
    auto cont = [&](std::size_t k) { return (b(k) & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && cont(1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (left < 3 || !cont(1) || !cont(2)) return 0;
        if (b0 == 0xE0 && b(1) < 0xA0) return 0; // overlong
        if (b0 == 0xED && b(1) >= 0xA0) return 0; // surrogate
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
        if (b0 == 0xF0 && b(1) < 0x90) return 0; // overlong
        if (b0 == 0xF4 && b(1) >= 0x90) return 0; // past U+10FFFF
        return 4;
    }
    return 0;
}

// U+FFFE and U+FFFF: EF BF BE and EF BF BF.
bool is_nonchar(std::string_view s, std::size_t i) {
    return static_cast<std::uint8_t>(s[i]) == 0xEF && static_cast<std::uint8_t>(s[i + 1]) == 0xBF &&
           static_cast<std::uint8_t>(s[i + 2]) >= 0xBE;
}

void append_code(std::string& out, unsigned code) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    out += "_x";
    for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(code >> shift) & 0xF];
    out += '_';
}

template <bool Attr>
std::string escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<std::uint8_t>(s[i]);
        if (c >= 0x80) {
            const std::size_t n = utf8_length(s, i);
            if (n == 0) {
                out += REPLACEMENT;
                i += 1;
            } else {
                if (n == 3 && is_nonchar(s, i)) {
                    if (!Attr) append_code(out, 0xFFFE + (static_cast<std::uint8_t>(s[i + 2]) - 0xBE));
                } else {
                    out.append(s.substr(i, n));
                }
                i += n;
            }
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (Attr) out += "&quot;";
            else out += '"';
            break;
        case '\t':
            if (Attr) out += "&#9;";
            else out += '\t';
            break;
        case '\n':
            if (Attr) out += "&#10;";
            else out += '\n';
            break;
        case '\r':
            if (Attr) out += "&#13;";
            else out += '\r';
            break;
        default:
            if (c < 0x20) {
                if (!Attr) append_code(out, c);
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out;
}

} // namespace

std::string attr(std::string_view text) { return escape<true>(text); }
std::string text(std::string_view text) { return escape<false>(text); }

} // namespace vantrell_write::xml
