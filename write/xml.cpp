#include "write/xml.h"

#include <cstdint>

#include "core/encoding.h"

namespace vantrell_write::xml {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD"; // U+FFFD

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
            const std::size_t n = vantrell_core::encoding::utf8_sequence_nbytes(s, i);
            // Each byte of an invalid sequence is a U+FFFD of its own here.
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
