#include "core/xml.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "core/encoding.h"
#include "core/hash.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantrell_core::xml {

namespace {

// Byte classes, one bit per question the scanners ask.
enum : std::uint8_t {
    C_NAME_START = 1,   // A-Z a-z _ and every byte >= 0x80 (non-ASCII names)
    C_NAME = 2,         // name start, digits, '-' and '.'
    C_SPACE = 4,        // space, tab, line feed, carriage return
    C_TEXT_STOP = 8,    // < & > \r and forbidden controls: text scanner stops
    C_ATTR_STOP = 16,   // < & " ' and forbidden controls: attribute value scanner stops
    C_CDATA_STOP = 32,  // ] \r and forbidden controls
    C_MISC_STOP = 64,   // - ? and forbidden controls: comment and PI scanners stop
    C_FORBIDDEN = 128,  // C0 controls other than tab, line feed, carriage return
};

constexpr std::array<std::uint8_t, 256> make_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t v = 0;
        const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (alpha || c == '_' || c >= 0x80) v |= C_NAME_START | C_NAME;
        if ((c >= '0' && c <= '9') || c == '-' || c == '.') v |= C_NAME;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') v |= C_SPACE;
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            v |= C_FORBIDDEN | C_TEXT_STOP | C_ATTR_STOP | C_CDATA_STOP | C_MISC_STOP;
        }
        if (c == '<' || c == '&' || c == '>' || c == '\r') v |= C_TEXT_STOP;
        if (c == '<' || c == '&' || c == '"' || c == '\'') v |= C_ATTR_STOP;
        if (c == ']' || c == '\r') v |= C_CDATA_STOP;
        if (c == '-' || c == '?') v |= C_MISC_STOP;
        t[static_cast<std::size_t>(c)] = v;
    }
    return t;
}

constexpr std::array<std::uint8_t, 256> CLASSES = make_classes();

inline std::uint8_t cls(char c) noexcept { return CLASSES[static_cast<unsigned char>(c)]; }

constexpr const char* E_EOF = "unexpected end of document";
constexpr const char* E_CHAR = "invalid character";
constexpr const char* E_NAME = "invalid name";
constexpr const char* E_QNAME = "invalid qualified name";
constexpr const char* E_UNDECLARED = "undeclared namespace prefix";
constexpr const char* E_DTD = "DTD declarations are not allowed in package parts";
constexpr const char* E_TWO_ROOTS = "more than one root element";
constexpr const char* E_OUTSIDE = "text outside the root element";

constexpr std::string_view XML_NS = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view XMLNS_NS = "http://www.w3.org/2000/xmlns/";

constexpr std::string_view COMMON_DECLS[] = {
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)",
    R"(<?xml version="1.0" encoding="utf-8"?>)",
};

// First byte at or after p that is `quote`, '<', '&' or a C0 control
// (tab, line feed and carriage return included: the caller sorts those out),
// or `end`. Sixteen bytes at a time where SSE2 is available; it never loads
// past `end`.
inline const char* find_special(const char* p, const char* end, char a, char b, char c) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
    const __m128i ctl = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
            _mm_or_si128(_mm_cmpeq_epi8(x, vc), _mm_cmpeq_epi8(_mm_min_epu8(x, ctl), x)));
        const int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p != end) {
        const auto u = static_cast<unsigned char>(*p);
        if (*p == a || *p == b || *p == c || u < 0x20) return p;
        ++p;
    }
    return p;
}

// The end of an attribute value or the byte that stops it, as find_special
// with constant operands: values are scanned once per attribute, and building
// the comparison vectors anew for each was a good part of a short one.
inline const char* find_in_value(const char* p, const char* end, char quote) noexcept {
    return quote == '"' ? find_special(p, end, '"', '<', '&') : find_special(p, end, '\'', '<', '&');
}

inline const char* skip_space(const char* p, const char* end) noexcept {
    while (p != end && (cls(*p) & C_SPACE)) ++p;
    return p;
}

// The end of the name whose first byte lies before p.
inline const char* ncname_rest(const char* p, const char* end) noexcept {
    // Names are most of the bytes of a tag: test four per bounds check.
    while (end - p >= 4) {
        if (!(cls(p[0]) & C_NAME)) return p;
        if (!(cls(p[1]) & C_NAME)) return p + 1;
        if (!(cls(p[2]) & C_NAME)) return p + 2;
        if (!(cls(p[3]) & C_NAME)) return p + 3;
        p += 4;
    }
    while (p != end && (cls(*p) & C_NAME)) ++p;
    return p;
}

inline const char* scan_ncname(const char* p, const char* end) noexcept {
    if (p == end || !(cls(*p) & C_NAME_START)) return p;
    return ncname_rest(p + 1, end);
}

// The scanners above without the end check, for text known to hold a byte
// that stops them before its end.
template <bool Guarded>
inline const char* name_rest(const char* p, const char* end) noexcept {
    if constexpr (!Guarded) {
        return ncname_rest(p, end);
    } else {
        for (;; p += 4) {
            if (!(cls(p[0]) & C_NAME)) return p;
            if (!(cls(p[1]) & C_NAME)) return p + 1;
            if (!(cls(p[2]) & C_NAME)) return p + 2;
            if (!(cls(p[3]) & C_NAME)) return p + 3;
        }
    }
}

template <bool Guarded>
inline const char* name_end(const char* p, const char* end) noexcept {
    if constexpr (!Guarded) {
        return scan_ncname(p, end);
    } else {
        if (!(cls(*p) & C_NAME_START)) return p;
        return name_rest<true>(p + 1, end);
    }
}

template <bool Guarded>
inline const char* space_end(const char* p, const char* end) noexcept {
    if constexpr (!Guarded) {
        return skip_space(p, end);
    } else {
        while (cls(*p) & C_SPACE) ++p;
        return p;
    }
}

// Equality of the short names and prefixes compared per tag, without a
// library call for each.
inline bool same(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// The masks of the first n bytes of two little-endian words, n = 0 to 16:
// looked up rather than computed, which took a branch or two per compare.
struct LowBytes {
    std::uint64_t first, second;
};
constexpr std::array<LowBytes, 17> make_low_bytes() {
    std::array<LowBytes, 17> t{};
    for (std::size_t n = 0; n <= 16; ++n) {
        t[n].first = n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
        t[n].second = n == 16 ? ~std::uint64_t{0} : n <= 8 ? 0 : (std::uint64_t{1} << (8 * (n - 8))) - 1;
    }
    return t;
}
constexpr std::array<LowBytes, 17> LOW_BYTES = make_low_bytes();

// Whether the `n` bytes at `a` equal those at `b`, where `b` lies before `a`
// in one text that ends at `end`: sixteen bytes at `a` readable means sixteen
// at `b` are too, so names of up to 16 bytes compare in two masked words.
inline bool same_bytes(const char* a, const char* b, std::size_t n, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        if (n <= 16 && end - a >= 16) {
            std::uint64_t x0, y0, x1, y1;
            std::memcpy(&x0, a, 8);
            std::memcpy(&y0, b, 8);
            std::memcpy(&x1, a + 8, 8);
            std::memcpy(&y1, b + 8, 8);
            return (((x0 ^ y0) & LOW_BYTES[n].first) | ((x1 ^ y1) & LOW_BYTES[n].second)) == 0;
        }
    }
    return std::memcmp(a, b, n) == 0;
}

// Events are built by these single-return helpers so that they are
// constructed in the caller's slot instead of being copied out.
// Member by member and all at once: a default-built event followed by a
// whole-struct copy compiles to string instructions whose start-up cost
// would be paid on every tag.
Event element_event(EventKind kind, std::uint64_t offset, const Start& s) noexcept {
    return Event{kind, false, true, offset,
                 Start{s.offset, Name{s.name.prefix, s.name.local}, s.ns, s.attrs, s.self_closing},
                 std::string_view(), XmlError{"", 0}};
}

Event text_event(std::uint64_t offset, std::string_view text, bool plain, bool cdata) noexcept {
    return Event{EventKind::text, cdata, plain, offset, Start{0, Name{}, ns::NONE, std::string_view(), false}, text,
                 XmlError{"", 0}};
}

Event error_event(const XmlError& error) noexcept {
    Event ev;
    ev.kind = EventKind::error;
    ev.offset = error.offset;
    ev.error = error;
    return ev;
}

Event eof_event(std::uint64_t offset) noexcept {
    Event ev;
    ev.kind = EventKind::eof;
    ev.offset = offset;
    return ev;
}

inline bool starts_with(const char* p, const char* end, std::string_view s) noexcept {
    return static_cast<std::size_t>(end - p) >= s.size() && std::memcmp(p, s.data(), s.size()) == 0;
}

// True when the remaining bytes are a proper prefix of `s`: the construct
// was cut off, which is an end-of-document error rather than bad markup.
inline bool cut_prefix_of(const char* p, const char* end, std::string_view s) noexcept {
    const auto n = static_cast<std::size_t>(end - p);
    return n < s.size() && std::memcmp(p, s.data(), n) == 0;
}

// XML 1.0 Char production for a referenced code point.
inline bool is_xml_char(std::uint32_t c) noexcept {
    if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
    if (c < 0xD800) return true;
    if (c < 0xE000) return false;
    if (c < 0xFFFE) return true;
    return c >= 0x10000 && c <= 0x10FFFF;
}

enum class RefStatus : std::uint8_t { ok, malformed, undefined, bad_char, cut };

// Parses the reference starting at the "&" s[i]. On success sets `*code`
// and `*len` (bytes from "&" through ";").
RefStatus parse_ref(std::string_view s, std::size_t i, std::uint32_t* code, std::size_t* len) noexcept {
    std::size_t p = i + 1;
    if (p == s.size()) return RefStatus::cut;
    if (s[p] == '#') {
        ++p;
        bool hex = false;
        if (p < s.size() && s[p] == 'x') {
            hex = true;
            ++p;
        }
        const std::size_t digits_from = p;
        std::uint32_t v = 0;
        bool too_big = false;
        for (; p < s.size(); ++p) {
            const char c = s[p];
            std::uint32_t d;
            if (c >= '0' && c <= '9') d = static_cast<std::uint32_t>(c - '0');
            else if (hex && c >= 'a' && c <= 'f') d = static_cast<std::uint32_t>(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F') d = static_cast<std::uint32_t>(c - 'A' + 10);
            else break;
            // Saturate instead of overflowing: any value past U+10FFFF is invalid anyway.
            if (!too_big) {
                v = v * (hex ? 16u : 10u) + d;
                if (v > 0x10FFFF) too_big = true;
            }
        }
        if (p == s.size()) return RefStatus::cut;
        if (p == digits_from || s[p] != ';') return RefStatus::malformed;
        if (too_big || !is_xml_char(v)) return RefStatus::bad_char;
        *code = v;
        *len = p + 1 - i;
        return RefStatus::ok;
    }
    const char* b = s.data() + p;
    const char* e = scan_ncname(b, s.data() + s.size());
    p += static_cast<std::size_t>(e - b);
    if (p == s.size()) return RefStatus::cut;
    if (e == b || s[p] != ';') return RefStatus::malformed;
    const std::string_view name(b, static_cast<std::size_t>(e - b));
    if (name == "lt") *code = '<';
    else if (name == "gt") *code = '>';
    else if (name == "amp") *code = '&';
    else if (name == "apos") *code = '\'';
    else if (name == "quot") *code = '"';
    else return RefStatus::undefined;
    *len = p + 1 - i;
    return RefStatus::ok;
}

const char* ref_message(RefStatus st) noexcept {
    switch (st) {
    case RefStatus::malformed: return "malformed reference";
    case RefStatus::undefined: return "undefined entity reference";
    case RefStatus::bad_char: return "invalid character reference";
    case RefStatus::cut: return E_EOF;
    case RefStatus::ok: break;
    }
    return "";
}

struct KnownNamespace {
    std::string_view uri;
    std::uint16_t id;
    Form form;
};

constexpr KnownNamespace KNOWN[] = {
    {"http://schemas.openxmlformats.org/presentationml/2006/main", ns::PML, Form::transitional},
    {"http://purl.oclc.org/ooxml/presentationml/main", ns::PML, Form::strict},
    {"http://schemas.openxmlformats.org/drawingml/2006/main", ns::DML, Form::transitional},
    {"http://purl.oclc.org/ooxml/drawingml/main", ns::DML, Form::strict},
    {"http://schemas.openxmlformats.org/officeDocument/2006/relationships", ns::REL, Form::transitional},
    {"http://purl.oclc.org/ooxml/officeDocument/relationships", ns::REL, Form::strict},
    {"http://schemas.openxmlformats.org/package/2006/relationships", ns::PKG_REL, Form::none},
    {"http://schemas.openxmlformats.org/package/2006/content-types", ns::CONTENT_TYPES, Form::none},
    {"http://schemas.openxmlformats.org/markup-compatibility/2006", ns::MC, Form::none},
    {"http://schemas.openxmlformats.org/package/2006/metadata/core-properties", ns::CORE_PROPS, Form::none},
    {"http://purl.org/dc/elements/1.1/", ns::DC, Form::none},
    {"http://purl.org/dc/terms/", ns::DCTERMS, Form::none},
    {"http://www.w3.org/2001/XMLSchema-instance", ns::XSI, Form::none},
    {"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties", ns::EXT_PROPS, Form::transitional},
    {"http://purl.oclc.org/ooxml/officeDocument/extendedProperties", ns::EXT_PROPS, Form::strict},
    {"http://purl.oclc.org/ooxml/officeDocument/extended-properties", ns::EXT_PROPS, Form::strict},
    {"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes", ns::VT, Form::transitional},
    {"http://purl.oclc.org/ooxml/officeDocument/docPropsVTypes", ns::VT, Form::strict},
    {"http://schemas.openxmlformats.org/drawingml/2006/chart", ns::CHART, Form::transitional},
    {"http://purl.oclc.org/ooxml/drawingml/chart", ns::CHART, Form::strict},
    {"http://schemas.openxmlformats.org/drawingml/2006/diagram", ns::DIAGRAM, Form::transitional},
    {"http://purl.oclc.org/ooxml/drawingml/diagram", ns::DIAGRAM, Form::strict},
    {"http://schemas.openxmlformats.org/drawingml/2006/picture", ns::PICTURE, Form::transitional},
    {"http://purl.oclc.org/ooxml/drawingml/picture", ns::PICTURE, Form::strict},
    {"http://schemas.microsoft.com/office/drawing/2008/diagram", ns::DIAGRAM_DRAWING, Form::none},
    {"http://schemas.openxmlformats.org/drawingml/10/2007/diagram", ns::DIAGRAM_DRAWING, Form::none},
    {"http://schemas.microsoft.com/office/powerpoint/2010/main", ns::P14, Form::none},
    {"http://schemas.microsoft.com/office/powerpoint/2007/7/12/main", ns::P14, Form::none},
    {"http://schemas.microsoft.com/office/powerpoint/2018/8/main", ns::P188, Form::none},
    {"http://schemas.openxmlformats.org/drawingml/2006/chartDrawing", ns::CHART_DRAWING, Form::none},
    {"http://purl.oclc.org/ooxml/drawingml/chartDrawing", ns::CHART_DRAWING, Form::none},
};

} // namespace

NamespaceInfo namespace_info(std::string_view uri) noexcept {
    if (uri.empty()) return {ns::NONE, Form::none};
    for (const auto& k : KNOWN) {
        if (k.uri.size() == uri.size() && k.uri == uri) return {k.id, k.form};
    }
    return {ns::OTHER, Form::none};
}

std::string Name::qualified() const {
    std::string out;
    out.reserve(prefix.size() + local.size() + 1);
    if (!prefix.empty()) {
        encoding::append_utf8_lossy(out, prefix);
        out.push_back(':');
    }
    encoding::append_utf8_lossy(out, local);
    return out;
}

namespace {

// Appends `s` with references decoded (when `refs`) and each CR or CR LF
// turned into LF (when `line_ends`); invalid UTF-8 becomes U+FFFD.
void append_unescaped(std::string& out, std::string_view s, bool refs, bool line_ends) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size();) {
        const char c = s[i];
        if (c == '\r' && line_ends) {
            encoding::append_utf8_lossy(out, s.substr(run, i - run));
            out.push_back('\n');
            i += (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
            run = i;
        } else if (c == '&' && refs) {
            std::uint32_t code = 0;
            std::size_t len = 0;
            if (parse_ref(s, i, &code, &len) == RefStatus::ok) {
                encoding::append_utf8_lossy(out, s.substr(run, i - run));
                encoding::append_utf8(out, code);
                i += len;
                run = i;
            } else {
                ++i;
            }
        } else {
            ++i;
        }
    }
    encoding::append_utf8_lossy(out, s.substr(run));
}

void append_decoded(std::string_view s, bool plain, bool cdata, std::string& out) {
    if (plain) {
        encoding::append_utf8_lossy(out, s);
        return;
    }
    append_unescaped(out, s, !cdata, true);
}

} // namespace

void append_text(const Event& ev, std::string& out) { append_decoded(ev.text, ev.plain, ev.cdata, out); }

std::string unescape_attr(std::string_view raw) {
    std::size_t plain = 0;
    while (plain < raw.size() && raw[plain] != '&' && static_cast<unsigned char>(raw[plain]) < 0x80) ++plain;
    if (plain == raw.size()) return std::string(raw);
    std::string out;
    out.reserve(raw.size());
    append_unescaped(out, raw, true, false);
    return out;
}

std::string_view attr_value(std::string_view raw, std::string& scratch) {
    // Nearly every value is ASCII without a reference: eight bytes per test.
    constexpr std::uint64_t ONES = 0x0101010101010101u, HIGHS = 0x8080808080808080u;
    const auto plain = [](std::uint64_t w) {
        const std::uint64_t amp = w ^ (ONES * '&');
        return ((w | ((amp - ONES) & ~amp)) & HIGHS) == 0;
    };
    const char* p = raw.data();
    const std::size_t n = raw.size();
    bool simple;
    if (n >= 8) {
        simple = true;
        for (std::size_t i = 0; simple && i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            simple = plain(w);
        }
        // The last word overlaps the ones before: no byte loop for the rest.
        std::uint64_t w;
        std::memcpy(&w, p + n - 8, 8);
        simple = simple && plain(w);
    } else if (n >= 4) {
        // Shorter values are gathered into one word; zero bytes pass.
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        simple = plain(lo | std::uint64_t{hi} << 32);
    } else {
        const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        simple = n == 0 || plain(byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16);
    }
    if (simple) return raw;
    if (raw.find('&') == std::string_view::npos && encoding::is_valid_utf8(raw)) return raw;
    scratch = unescape_attr(raw);
    return scratch;
}

// ---------------------------------------------------------------------------
// Attrs

Attrs::Attrs(const Reader& reader, const Start& start) noexcept
    : reader_(&reader), rest_(start.attrs),
      base_(static_cast<std::uint64_t>(start.attrs.data() - reader.text().data())),
      generation_(reader.generation_),
      scanned_(reader.scratch_span_ == nullptr || reader.scratch_span_ != start.attrs.data()) {}

std::optional<Attr> Attrs::next() noexcept {
    if (!scanned_ && reader_->generation_ == generation_) {
        const auto& list = reader_->scratch_attrs_;
        if (index_ >= reader_->attr_count_) {
            rest_ = {};
            return std::nullopt;
        }
        const Reader::RawAttr& r = list[index_++];
        Attr a;
        a.name.prefix = r.prefix;
        a.name.local = r.local;
        a.value = r.value;
        a.ns = r.ns;
        a.offset = r.offset;
        // Keep the scanning position in step, should the reader move on.
        const char* after = r.value.data() + r.value.size() + 1;
        const char* end = rest_.data() + rest_.size();
        base_ += static_cast<std::uint64_t>(after - rest_.data());
        rest_ = std::string_view(after, static_cast<std::size_t>(end - after));
        return a;
    }
    return scan_next();
}

// Kept apart so that handing out the reader's attributes saves no registers.
[[gnu::noinline]] std::optional<Attr> Attrs::scan_next() noexcept {
    scanned_ = true;
    // The span was checked by the reader, so this scanner can be lenient: it
    // only has to find the pieces again.
    const char* p = rest_.data();
    const char* end = p + rest_.size();
    p = skip_space(p, end);
    if (p == end) {
        rest_ = {};
        return std::nullopt;
    }
    const char* name_begin = p;
    while (p != end && *p != '=' && !(cls(*p) & C_SPACE)) ++p;
    const std::string_view qname(name_begin, static_cast<std::size_t>(p - name_begin));
    p = skip_space(p, end);
    if (p != end && *p == '=') ++p;
    p = skip_space(p, end);
    std::string_view value;
    if (p != end) {
        const char q = *p++;
        const char* v = p;
        p = find_special(p, end, q, q, q);
        while (p != end && *p != q) p = find_special(p + 1, end, q, q, q);
        value = std::string_view(v, static_cast<std::size_t>(p - v));
        if (p != end) ++p;
    }
    Attr a;
    a.offset = base_ + static_cast<std::uint64_t>(name_begin - rest_.data());
    std::size_t colon = 0;
    while (colon < qname.size() && qname[colon] != ':') ++colon;
    if (colon == qname.size()) {
        a.name.local = qname;
        a.ns = ns::NONE;
    } else {
        a.name.prefix = qname.substr(0, colon);
        a.name.local = qname.substr(colon + 1);
        if (a.name.prefix == "xmlns") a.ns = ns::OTHER;
        else a.ns = reader_->lookup(a.name.prefix).value_or(ns::OTHER);
    }
    a.value = value;
    base_ += static_cast<std::uint64_t>(p - rest_.data());
    rest_ = std::string_view(p, static_cast<std::size_t>(end - p));
    return a;
}

// ---------------------------------------------------------------------------
// Reader

namespace {
// Room a finished reader may leave for the next, in slots per list: more
// stays with the reader that needed it, so one odd part leaves no large
// buffers behind. Nesting is bounded by MAX_DEPTH anyway.
constexpr std::size_t MAX_SPARE_SLOTS = 64;

// Moves `from`'s room, emptied, into `to` when `to` has none.
template <class T>
void hand_over(std::vector<T>& from, std::vector<T>& to, std::size_t max_slots) noexcept {
    if (to.capacity() != 0 || from.capacity() == 0 || from.capacity() > max_slots) return;
    from.clear();
    to = std::move(from);
}
} // namespace

struct Reader::Rooms {
    std::vector<Start> stack;
    std::vector<Binding> bindings;
    std::vector<RawAttr> attrs;
    std::vector<std::uint32_t> order;
};

Reader::Rooms& Reader::spare_rooms() noexcept {
    thread_local Rooms rooms;
    return rooms;
}

Reader::Reader(std::string_view text) noexcept
    : text_(text), begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {
    // Taken over empty, so this reader starts as a new one would.
    Rooms& spare = spare_rooms();
    hand_over(spare.stack, stack_, MAX_DEPTH);
    hand_over(spare.bindings, bindings_, MAX_SPARE_SLOTS);
    hand_over(spare.attrs, scratch_attrs_, MAX_SPARE_SLOTS);
    hand_over(spare.order, scratch_order_, MAX_SPARE_SLOTS);
    if (starts_with(cur_, end_, "\xEF\xBB\xBF")) cur_ += 3;
    begin_ = cur_;
    const char* last = end_;
    while (last != begin_ && (cls(last[-1]) & C_SPACE)) --last;
    guarded_ = last != begin_ && last[-1] == '>';
}

Reader::~Reader() {
    Rooms& spare = spare_rooms();
    hand_over(stack_, spare.stack, MAX_DEPTH);
    hand_over(bindings_, spare.bindings, MAX_SPARE_SLOTS);
    hand_over(scratch_attrs_, spare.attrs, MAX_SPARE_SLOTS);
    hand_over(scratch_order_, spare.order, MAX_SPARE_SLOTS);
}

EventKind Reader::fail(const char* message, const char* at) {
    phase_ = Phase::failed;
    error_ = XmlError{message, static_cast<std::uint64_t>(at - text_.data())};
    return EventKind::error;
}

// Records a text or CDATA token for `next` to hand out.
inline EventKind Reader::token(const char* at, const char* from, const char* to, bool plain, bool cdata) {
    token_offset_ = static_cast<std::uint64_t>(at - text_.data());
    token_ = from;
    token_size_ = static_cast<std::size_t>(to - from);
    token_plain_ = plain;
    token_cdata_ = cdata;
    return EventKind::text;
}

bool Reader::refuse(const char* message, const char* at) {
    fail(message, at);
    return false;
}

struct Reader::BindingIndex {
    std::unordered_map<std::string_view, std::uint32_t, hash::Hasher, std::equal_to<>> innermost;
};

const Reader::Binding* Reader::find_binding(std::string_view prefix) const noexcept {
    if (binding_index_) {
        const auto it = binding_index_->innermost.find(prefix);
        return it == binding_index_->innermost.end() ? nullptr : &bindings_[it->second];
    }
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        if (same(it->prefix, prefix)) return &*it;
    }
    return nullptr;
}

std::optional<std::uint16_t> Reader::lookup(std::string_view prefix) const noexcept {
    if (prefix.size() == 3 && same(prefix, "xml")) return ns::OTHER;
    const Binding* b = find_binding(prefix);
    if (b) return b->id;
    if (prefix.empty()) return ns::NONE;
    return std::nullopt;
}

// The end event of the innermost element, which it pops. Its fields are
// taken out before the pop and the event is built in the caller's slot.
Event Reader::close_element(std::uint64_t offset) {
    const Start& top = stack_[depth_ - 1];
    const std::uint64_t at = top.offset;
    const Name name = top.name;
    const std::uint16_t id = top.ns;
    const std::string_view attrs = top.attrs;
    const bool self_closing = top.self_closing;
    pop_element();
    return element_event(EventKind::end, offset, Start{at, name, id, attrs, self_closing});
}

inline void Reader::pop_element() {
    --depth_;
    if (depth_ == 0) [[unlikely]] phase_ = Phase::epilog;
    if (binding_depth_ > depth_) [[unlikely]] pop_bindings();
}

void Reader::index_binding(std::size_t at) {
    Binding& b = bindings_[at];
    const auto [it, fresh] = binding_index_->innermost.try_emplace(b.prefix, static_cast<std::uint32_t>(at));
    b.hides = fresh ? NO_BINDING : it->second;
    it->second = static_cast<std::uint32_t>(at);
}

[[gnu::noinline]] void Reader::pop_bindings() {
    while (!bindings_.empty() && bindings_.back().depth > depth_) {
        if (binding_index_) {
            const Binding& b = bindings_.back();
            const auto it = binding_index_->innermost.find(b.prefix);
            if (b.hides == NO_BINDING) binding_index_->innermost.erase(it);
            else it->second = b.hides;
        }
        bindings_.pop_back();
    }
    binding_depth_ = bindings_.empty() ? 0 : bindings_.back().depth;
    forget_prefixes();
}

// Nearly every end tag is the open element's name as written followed by
// ">"; that needs no scanning, and end_tag would accept it. Reads it when
// the end tag at `lt` is one. `Short`: only names compared in two words are
// looked at, so that no library call is made.
template <bool Short>
inline bool Reader::own_end_tag(const char* lt) noexcept {
    const Name& open = top().name;
    const char* n = lt + 2;
    const char* q = open.has_prefix() ? open.prefix.data() : open.local.data();
    const auto q_len = static_cast<std::size_t>(open.local.data() + open.local.size() - q);
    if (q_len >= static_cast<std::size_t>(end_ - n) || n[q_len] != '>') return false;
    if (Short && (q_len > 16 || end_ - n < 16)) return false;
    if (!same_bytes(n, q, q_len, end_)) return false;
    cur_ = n + q_len + 1;
    return true;
}

// One step of the reader without building an event, so that skipping a
// subtree validates exactly as reading it does. For `end` the element is
// still open, for `next` to build its event from, unless `Pop`: callers that
// build none have it popped here, which leaves a start tag's step a tail call.
template <bool Keep, bool Pop>
[[gnu::always_inline]] inline EventKind Reader::advance() {
    if (phase_ != Phase::content) [[unlikely]] {
        if (Pop && phase_ == Phase::closing) {
            // The end of an element written <a/>, with no offset to keep.
            phase_ = Phase::content;
            pop_element();
            return EventKind::end;
        }
        return advance_rare();
    }
    for (;;) {
        if (cur_ == end_) return fail(E_EOF, end_);
        if (*cur_ != '<') return text_run(cur_);
        const char* lt = cur_;
        if (end_ - lt < 2) return fail(E_EOF, end_);
        switch (lt[1]) {
        case '/': {
            if (own_end_tag<false>(lt)) {
                if constexpr (Pop) pop_element();
                else end_offset_ = static_cast<std::uint64_t>(lt - text_.data());
                return EventKind::end;
            }
            const EventKind kind = end_tag(lt);
            if (Pop && kind == EventKind::end) pop_element();
            return kind;
        }
        case '?':
        case '!': {
            if (starts_with(lt, end_, "<![CDATA[")) return cdata(lt);
            if (!markup(lt)) return EventKind::error;
            break;
        }
        default: return start_tag<Keep>(lt);
        }
    }
}

EventKind Reader::advance_rare() {
    if (phase_ == Phase::closing) {
        phase_ = Phase::content;
        end_offset_ = top().offset;
        return EventKind::end;
    }
    if (phase_ == Phase::failed) return EventKind::error;
    return advance_outside();
}

// Prolog or epilog: white space, comments and processing instructions.
EventKind Reader::advance_outside() {
    for (;;) {
        cur_ = skip_space(cur_, end_);
        if (cur_ == end_) return EventKind::eof;
        const char* lt = cur_;
        if (*lt != '<') return fail(E_OUTSIDE, lt);
        if (end_ - lt < 2) return fail(E_EOF, end_);
        switch (lt[1]) {
        case '/': return fail("unexpected end tag", lt);
        case '?':
        case '!': {
            if (starts_with(lt, end_, "<![CDATA[")) return fail(E_OUTSIDE, lt);
            if (!markup(lt)) return EventKind::error;
            break;
        }
        default:
            if (phase_ == Phase::epilog) return fail(E_TWO_ROOTS, lt);
            return start_tag<true>(lt);
        }
    }
}

Event Reader::next() {
    switch (advance<true, false>()) {
    case EventKind::start: {
        const Start& s = top();
        return element_event(EventKind::start, s.offset, s);
    }
    case EventKind::end: return close_element(end_offset_);
    case EventKind::text:
        return text_event(token_offset_, std::string_view(token_, token_size_), token_plain_, token_cdata_);
    case EventKind::eof: return eof_event(text_.size());
    case EventKind::error: break;
    }
    return error_event(error_);
}

EventKind Reader::step() {
    // The usual steps, a start tag or the open element's own end tag, are
    // taken apart from the rest, which then costs them no saved registers.
    if (phase_ == Phase::content && end_ - cur_ >= 2 && *cur_ == '<') [[likely]] {
        const char* lt = cur_;
        if (lt[1] != '/' && lt[1] != '?' && lt[1] != '!') return start_tag<true>(lt);
        if (lt[1] == '/' && own_end_tag<true>(lt)) {
            pop_element();
            return EventKind::end;
        }
    }
    return step_rest();
}

[[gnu::noinline]] EventKind Reader::step_rest() { return advance<true, true>(); }

// Comments, processing instructions and the XML declaration, which produce
// no event; DOCTYPE and anything else starting with "<!" fail.
bool Reader::markup(const char* lt) {
    if (lt[1] == '!') {
        if (starts_with(lt, end_, "<!--")) {
            const char* p = lt + 4;
            for (;;) {
                while (p != end_ && !(cls(*p) & C_MISC_STOP)) ++p;
                if (p == end_) return refuse(E_EOF, end_);
                if (cls(*p) & C_FORBIDDEN) return refuse(E_CHAR, p);
                if (*p == '-' && end_ - p >= 2 && p[1] == '-') {
                    if (end_ - p < 3) return refuse(E_EOF, end_);
                    if (p[2] != '>') return refuse("'--' in comment", p);
                    cur_ = p + 3;
                    return true;
                }
                if (*p == '-' && end_ - p < 2) return refuse(E_EOF, end_);
                ++p;
            }
        }
        if (starts_with(lt, end_, "<!DOCTYPE")) return refuse(E_DTD, lt);
        if (cut_prefix_of(lt, end_, "<!--") || cut_prefix_of(lt, end_, "<!DOCTYPE") ||
            cut_prefix_of(lt, end_, "<![CDATA[")) {
            return refuse(E_EOF, end_);
        }
        return refuse("invalid markup", lt);
    }
    // "<?": a processing instruction; target "xml" is the declaration, which
    // may only open the document.
    const char* target = lt + 2;
    const char* p = scan_ncname(target, end_);
    if (p == end_) return refuse(E_EOF, end_);
    if (p == target) return refuse(E_NAME, target);
    if (*p == ':') return refuse("invalid processing instruction target", target);
    const std::string_view name(target, static_cast<std::size_t>(p - target));
    const bool is_xml_target = name.size() == 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' &&
                               (name[2] | 0x20) == 'l';
    if (is_xml_target) {
        if (lt != begin_ || name != "xml") return refuse("misplaced xml declaration", lt);
        // Nearly every part opens with one of two declarations, which the
        // general reading below would accept byte for byte.
        for (const std::string_view common : COMMON_DECLS) {
            if (starts_with(lt, end_, common)) {
                cur_ = lt + common.size();
                return true;
            }
        }
        // version, then optional encoding and standalone, each name="value".
        static constexpr std::string_view NAMES[] = {"version", "encoding", "standalone"};
        std::size_t next_name = 0;
        for (;;) {
            const char* q = skip_space(p, end_);
            if (q == end_) return refuse(E_EOF, end_);
            if (*q == '?') {
                if (end_ - q < 2) return refuse(E_EOF, end_);
                if (q[1] != '>' || next_name == 0) return refuse("malformed xml declaration", lt);
                cur_ = q + 2;
                return true;
            }
            if (q == p) return refuse("malformed xml declaration", lt);
            const char* n = q;
            while (q != end_ && *q >= 'a' && *q <= 'z') ++q;
            const std::string_view pname(n, static_cast<std::size_t>(q - n));
            while (next_name < 3 && pname != NAMES[next_name]) {
                if (next_name == 0) return refuse("malformed xml declaration", lt);
                ++next_name;
            }
            if (next_name == 3) return refuse("malformed xml declaration", lt);
            q = skip_space(q, end_);
            if (q == end_) return refuse(E_EOF, end_);
            if (*q != '=') return refuse("malformed xml declaration", lt);
            q = skip_space(q + 1, end_);
            if (q == end_) return refuse(E_EOF, end_);
            const char quote = *q;
            if (quote != '"' && quote != '\'') return refuse("malformed xml declaration", lt);
            const char* v = ++q;
            while (q != end_ && *q != quote && *q != '<' && *q != '>') ++q;
            if (q == end_) return refuse(E_EOF, end_);
            if (*q != quote) return refuse("malformed xml declaration", lt);
            const std::string_view value(v, static_cast<std::size_t>(q - v));
            bool ok = !value.empty();
            if (next_name == 0) {
                ok = value.size() >= 3 && value.substr(0, 2) == "1." &&
                     std::all_of(value.begin() + 2, value.end(), [](char c) { return c >= '0' && c <= '9'; });
            } else if (next_name == 1) {
                const auto c0 = value.empty() ? '\0' : value[0];
                ok = ok && ((c0 >= 'A' && c0 <= 'Z') || (c0 >= 'a' && c0 <= 'z')) &&
                     std::all_of(value.begin(), value.end(), [](char c) {
                         return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '.' || c == '_' || c == '-';
                     });
            } else {
                ok = value == "yes" || value == "no";
            }
            if (!ok) return refuse("malformed xml declaration", lt);
            ++next_name;
            p = q + 1;
        }
    }
    // Ordinary processing instruction: target, then white space and any
    // characters up to "?>".
    if (*p != '?' && !(cls(*p) & C_SPACE)) return refuse("invalid processing instruction target", target);
    for (;;) {
        while (p != end_ && !(cls(*p) & C_MISC_STOP)) ++p;
        if (p == end_) return refuse(E_EOF, end_);
        if (cls(*p) & C_FORBIDDEN) return refuse(E_CHAR, p);
        if (*p == '?') {
            if (end_ - p < 2) return refuse(E_EOF, end_);
            if (p[1] == '>') {
                cur_ = p + 2;
                return true;
            }
        }
        ++p;
    }
}

EventKind Reader::cdata(const char* lt) {
    const char* from = lt + 9;
    const char* p = from;
    bool plain = true;
    for (;;) {
        while (p != end_ && !(cls(*p) & C_CDATA_STOP)) ++p;
        if (p == end_) return fail(E_EOF, end_);
        if (cls(*p) & C_FORBIDDEN) return fail(E_CHAR, p);
        if (*p == '\r') {
            plain = false;
        } else if (end_ - p >= 3 && p[1] == ']' && p[2] == '>') {
            break;
        } else if (end_ - p < 3) {
            return fail(E_EOF, end_);
        }
        ++p;
    }
    cur_ = p + 3;
    return token(lt, from, p, plain, true);
}

EventKind Reader::text_run(const char* from) {
    const char* p = from;
    bool plain = true;
    for (;;) {
        p = find_special(p, end_, '<', '&', '>');
        if (p == end_ || *p == '<') break;
        const char c = *p;
        if (!(cls(c) & C_TEXT_STOP)) {
            ++p;  // tab or line feed
            continue;
        }
        if (c == '&') {
            std::uint32_t code = 0;
            std::size_t len = 0;
            const std::string_view rest(p, static_cast<std::size_t>(end_ - p));
            const RefStatus st = parse_ref(rest, 0, &code, &len);
            if (st == RefStatus::cut) return fail(E_EOF, end_);
            if (st != RefStatus::ok) return fail(ref_message(st), p);
            plain = false;
            p += len;
        } else if (c == '\r') {
            plain = false;
            ++p;
        } else if (c == '>') {
            if (p - from >= 2 && p[-1] == ']' && p[-2] == ']') return fail("']]>' in text", p - 2);
            ++p;
        } else {
            return fail(E_CHAR, p);
        }
    }
    cur_ = p;
    return token(from, from, p, plain, false);
}

EventKind Reader::end_tag(const char* lt) {
    const char* n = lt + 2;
    const char* a = scan_ncname(n, end_);
    if (a == end_) return fail(E_EOF, end_);
    if (a == n) return fail(E_NAME, n);
    std::string_view prefix, local(n, static_cast<std::size_t>(a - n));
    if (*a == ':') {
        const char* b = scan_ncname(a + 1, end_);
        if (b == end_) return fail(E_EOF, end_);
        if (b == a + 1 || *b == ':') return fail(E_QNAME, n);
        prefix = local;
        local = std::string_view(a + 1, static_cast<std::size_t>(b - a - 1));
        a = b;
    }
    const Start& open = top();
    if (!same(open.name.local, local) || !same(open.name.prefix, prefix)) return fail("mismatched end tag", lt);
    const char* p = skip_space(a, end_);
    if (p == end_) return fail(E_EOF, end_);
    if (*p != '>') return fail("malformed end tag", p);
    cur_ = p + 1;
    end_offset_ = static_cast<std::uint64_t>(lt - text_.data());
    return EventKind::end;
}

namespace {
constexpr std::size_t FIRST_DEPTH_ROOM = 32;
constexpr std::size_t FIRST_BINDINGS_ROOM = 16;
// Attributes the common path takes; a tag with more goes the general way.
constexpr std::size_t FAST_ATTRS = 16;
constexpr std::size_t FIRST_ATTRS_ROOM = 16;
static_assert(FIRST_ATTRS_ROOM >= FAST_ATTRS);
} // namespace

void Reader::grow_stack() {
    // Room for the usual depth and namespace count at once (unless a
    // finished reader left its own): growing these one doubling at a time
    // was a good share of the cost of a small part.
    if (stack_.capacity() == 0) stack_.reserve(FIRST_DEPTH_ROOM);
    if (bindings_.capacity() == 0) bindings_.reserve(FIRST_BINDINGS_ROOM);
    stack_.emplace_back();
}

inline Start& Reader::push_element() {
    if (depth_ == stack_.size()) [[unlikely]] grow_stack();
    return stack_[depth_++];
}

Reader::RawAttr& Reader::push_attr() {
    if (attr_count_ == scratch_attrs_.size()) scratch_attrs_.emplace_back();
    RawAttr& at = scratch_attrs_[attr_count_++];
    at = RawAttr{};
    return at;
}

void Reader::cache_prefix(std::string_view prefix, std::uint16_t id) noexcept {
    cached_[1] = cached_[0];
    CachedPrefix& c = cached_[0];
    c = CachedPrefix{prefix, 1, 0, id, true};
    if constexpr (std::endian::native == std::endian::little) {
        if (!prefix.empty() && prefix.size() <= 7) {
            const std::size_t n = prefix.size();
            std::uint64_t w = 0;
            std::memcpy(&w, prefix.data(), n);
            c.word = w | std::uint64_t{':'} << (8 * n);
            c.mask = ~std::uint64_t{0} >> (8 * (7 - n));
        }
    }
}

// Unset slots match nothing, neither by word nor here, so the per-tag word
// match needs no test of whether any prefix is remembered.
inline void Reader::forget_prefixes() noexcept { cached_[0] = cached_[1] = CachedPrefix{}; }

inline const Reader::CachedPrefix* Reader::cached_prefix(std::string_view prefix) const noexcept {
    if (cached_[0].set && same(prefix, cached_[0].prefix)) return &cached_[0];
    if (cached_[1].set && same(prefix, cached_[1].prefix)) return &cached_[1];
    return nullptr;
}

// The common start tag, straight through: a name, then only unprefixed
// attributes other than xmlns whose values hold no reference and no control
// character, at most FAST_ATTRS of them, all distinct. At anything else it
// hands the tag to start_tag_general, which reads it again from its "<" and
// does every check, so errors and their offsets come from one place. Nothing
// it writes before that hand-over is seen: the general path overwrites the
// same slots.
template <bool Keep>
inline EventKind Reader::start_tag(const char* lt) {
    return guarded_ ? start_tag_common<true, Keep>(lt) : start_tag_common<false, Keep>(lt);
}

// A skip reads on while start tags follow one another at once (most of what
// it passes over is runs of elements written <a/>), which saves it a return
// to its loop and a call per tag.
template <bool Guarded, bool Keep>
EventKind Reader::start_tag_common(const char* lt) {
    if constexpr (Keep) {
        return start_tag_one<Guarded, true>(lt);
    } else {
        for (;;) {
            const EventKind kind = start_tag_one<Guarded, false>(lt);
            if (kind != EventKind::start || phase_ != Phase::content || end_ - cur_ < 2 || *cur_ != '<' ||
                !(cls(cur_[1]) & C_NAME_START)) {
                return kind;
            }
            lt = cur_;
        }
    }
}

// Guarded: every scan of this tag stops before the end of the text, so a
// position it reaches is never the end (see guarded_).
template <bool Guarded, bool Keep>
[[gnu::always_inline]] inline EventKind Reader::start_tag_one(const char* lt) {
    const char* const end = end_;
    const char* const n = lt + 1;
    std::string_view prefix, local;
    std::uint16_t id = 0;
    bool resolved = false;
    const char* a;
    std::uint64_t w;
    // The cached prefix with its ':' is a whole name followed by a byte no
    // name holds, so the bytes matching it are what the scan would find.
    const CachedPrefix* hit = nullptr;
    if (end - n >= 8) {
        std::memcpy(&w, n, 8);
        if ((w & cached_[0].mask) == cached_[0].word) hit = &cached_[0];
        else if ((w & cached_[1].mask) == cached_[1].word) hit = &cached_[1];
    }
    if (hit) {
        a = n + hit->prefix.size();
        if (depth_ >= MAX_DEPTH) [[unlikely]] return start_tag_general(lt);
        resolved = true;
        id = hit->ns;
    } else {
        a = name_end<Guarded>(n, end);
        if (a == n || (!Guarded && a == end) || depth_ >= MAX_DEPTH) [[unlikely]] return start_tag_general(lt);
    }
    // A remembered prefix ends at its ':' already.
    if (hit || *a == ':') {
        const char* b = name_end<Guarded>(a + 1, end);
        if (b == a + 1 || (!Guarded && b == end) || *b == ':') [[unlikely]] return start_tag_general(lt);
        prefix = std::string_view(n, static_cast<std::size_t>(a - n));
        local = std::string_view(a + 1, static_cast<std::size_t>(b - a - 1));
        a = b;
    } else {
        local = std::string_view(n, static_cast<std::size_t>(a - n));
    }
    // Attributes handed out go to the reader's scratch; a skip keeps only
    // their names, for the uniqueness check, on the stack.
    RawAttr* attrs = nullptr;
    const char* skip_names[FAST_ATTRS];
    std::size_t skip_lengths[FAST_ATTRS];
    if constexpr (Keep) {
        if (scratch_attrs_.size() < FAST_ATTRS) [[unlikely]] scratch_attrs_.resize(FIRST_ATTRS_ROOM);
        attrs = scratch_attrs_.data();
    }
    std::size_t count = 0;
    const char* p = a;
    bool self_closing;
    for (;;) {
        const char* an;
        // Most attributes follow one space and are written name="value".
        if ((Guarded || end - p >= 2) && *p == ' ' && (cls(p[1]) & C_NAME_START)) [[likely]] {
            an = p + 1;
        } else {
            if (!Guarded && p == end) [[unlikely]] return start_tag_general(lt);
            if (*p == '>') {
                self_closing = false;
                break;
            }
            if (*p == '/') {
                if ((!Guarded && end - p < 2) || p[1] != '>') [[unlikely]] return start_tag_general(lt);
                self_closing = true;
                break;
            }
            // White space must come before an attribute, and may before the end.
            if (!(cls(*p) & C_SPACE)) [[unlikely]] return start_tag_general(lt);
            p = space_end<Guarded>(p + 1, end);
            if (!Guarded && p == end) [[unlikely]] return start_tag_general(lt);
            if (*p == '>' || *p == '/') continue;
            an = p;
            if (!(cls(*an) & C_NAME_START)) [[unlikely]] return start_tag_general(lt);
        }
        // The name's first byte is known to start one.
        if (count == FAST_ATTRS) [[unlikely]] return start_tag_general(lt);
        p = name_rest<Guarded>(an + 1, end);
        if ((!Guarded && p == end) || *p == ':') [[unlikely]] return start_tag_general(lt);
        const auto an_len = static_cast<std::size_t>(p - an);
        if (an_len == 5 && std::memcmp(an, "xmlns", 5) == 0) [[unlikely]] return start_tag_general(lt);
        const char* v;
        if (*p == '=' && (Guarded || end - p >= 2) && p[1] == '"') [[likely]] {
            v = p + 2;
            p = find_special(v, end, '"', '<', '&');
        } else {
            if (*p != '=') {
                p = space_end<Guarded>(p, end);
                if ((!Guarded && p == end) || *p != '=') [[unlikely]] return start_tag_general(lt);
            }
            ++p;
            if ((Guarded || p != end) && (cls(*p) & C_SPACE)) p = space_end<Guarded>(p, end);
            if ((!Guarded && p == end) || (*p != '"' && *p != '\'')) [[unlikely]] return start_tag_general(lt);
            v = p + 1;
            p = find_in_value(v, end, *p);
        }
        if (p == end || *p != v[-1]) [[unlikely]] return start_tag_general(lt);
        if constexpr (Keep) {
            RawAttr& at = attrs[count];
            at.local = std::string_view(an, an_len);
            at.prefix = std::string_view();
            at.value = std::string_view(v, static_cast<std::size_t>(p - v));
            at.offset = static_cast<std::uint64_t>(an - text_.data());
            at.ns = ns::NONE;
            at.uri = std::string_view();
        } else {
            skip_names[count] = an;
            skip_lengths[count] = an_len;
        }
        ++count;
        ++p;
    }
    // Unique names. Two compare at once; more compare pairwise, but only
    // when two of them share a key of their lengths and end bytes, for names
    // that differ mostly differ in length or in their first or last byte.
    const auto name = [&](std::size_t i) {
        if constexpr (Keep) return attrs[i].local;
        else return std::string_view(skip_names[i], skip_lengths[i]);
    };
    bool clash = false;
    if (count == 2) {
        clash = name(0).size() == name(1).size();
    } else if (count > 2) {
        std::uint64_t keys = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view at = name(i);
            const std::uint64_t key = std::uint64_t{1}
                                      << ((at.size() + static_cast<unsigned char>(at.front()) +
                                           2 * static_cast<unsigned>(static_cast<unsigned char>(at.back()))) & 63);
            clash = clash || (keys & key) != 0;
            keys |= key;
        }
    }
    for (std::size_t i = 1; clash && i < count; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (name(i).size() == name(j).size() && same_bytes(name(i).data(), name(j).data(), name(i).size(), end))
                [[unlikely]] {
                return start_tag_general(lt);
            }
        }
    }
    if (!resolved) {
        if (prefix.empty()) {
            if constexpr (Keep) id = lookup({}).value_or(ns::NONE);
        } else if (const CachedPrefix* c = cached_prefix(prefix)) {
            // Elements of a part mostly share one or two prefixes.
            id = c->ns;
        } else {
            const auto found = same(prefix, "xmlns") ? std::nullopt : lookup(prefix);
            if (!found) [[unlikely]] return start_tag_general(lt);
            id = *found;
            cache_prefix(prefix, id);
        }
    }
    cur_ = p + (self_closing ? 2 : 1);
    ++generation_;
    if constexpr (!Keep) {
        // Most elements a skip passes over are written <a/>: opened and
        // closed at once, they need no slot, and the skip no second step.
        if (self_closing) {
            scratch_span_ = nullptr;
            return EventKind::start;
        }
    }
    Start& s = push_element();
    s.name.prefix = prefix;
    s.name.local = local;
    if constexpr (Keep) {
        s.offset = static_cast<std::uint64_t>(lt - text_.data());
        s.ns = id;
        s.attrs = std::string_view(a, static_cast<std::size_t>(p - a));
        s.self_closing = self_closing;
        attr_count_ = count;
        has_decl_ = false;
        has_prefixed_ = false;
        scratch_span_ = a;
    } else {
        // No attributes are kept: any Attrs or find_attr scans its tag.
        scratch_span_ = nullptr;
    }
    if constexpr (Keep) phase_ = self_closing ? Phase::closing : Phase::content;
    return EventKind::start;
}

EventKind Reader::start_tag_general(const char* lt) {
    const char* n = lt + 1;
    const char* a = scan_ncname(n, end_);
    if (a == end_) return fail(E_EOF, end_);
    if (a == n) return fail(E_NAME, n);
    if (depth_ >= MAX_DEPTH) return fail("nesting too deep", lt);
    ++generation_;
    scratch_span_ = nullptr;
    // Built in place: declarations below are scoped to this depth.
    Start& s = push_element();
    s = Start{};
    s.offset = static_cast<std::uint64_t>(lt - text_.data());
    if (*a == ':') {
        const char* b = scan_ncname(a + 1, end_);
        if (b == end_) return fail(E_EOF, end_);
        if (b == a + 1 || *b == ':') return fail(E_QNAME, n);
        s.name.prefix = std::string_view(n, static_cast<std::size_t>(a - n));
        s.name.local = std::string_view(a + 1, static_cast<std::size_t>(b - a - 1));
        a = b;
    } else {
        s.name.local = std::string_view(n, static_cast<std::size_t>(a - n));
    }
    attr_count_ = 0;
    has_decl_ = false;
    has_prefixed_ = false;
    const char* p = a;
    const char* attrs_end;
    for (;;) {
        const char* before = p;
        p = skip_space(p, end_);
        if (p == end_) return fail(E_EOF, end_);
        if (*p == '>') {
            attrs_end = p;
            cur_ = p + 1;
            break;
        }
        if (*p == '/') {
            if (end_ - p < 2) return fail(E_EOF, end_);
            if (p[1] != '>') return fail("malformed start tag", p);
            attrs_end = p;
            cur_ = p + 2;
            s.self_closing = true;
            break;
        }
        if (p == before) return fail("malformed start tag", p);
        RawAttr& at = push_attr();
        at.offset = static_cast<std::uint64_t>(p - text_.data());
        const char* an = p;
        const char* ae = scan_ncname(an, end_);
        if (ae == end_) return fail(E_EOF, end_);
        if (ae == an) return fail(E_NAME, an);
        at.local = std::string_view(an, static_cast<std::size_t>(ae - an));
        if (ae - an == 5 && std::memcmp(an, "xmlns", 5) == 0) has_decl_ = true;
        if (*ae == ':') {
            has_prefixed_ = true;
            const char* b = scan_ncname(ae + 1, end_);
            if (b == end_) return fail(E_EOF, end_);
            if (b == ae + 1 || *b == ':') return fail(E_QNAME, an);
            at.prefix = at.local;
            at.local = std::string_view(ae + 1, static_cast<std::size_t>(b - ae - 1));
            ae = b;
        }
        p = skip_space(ae, end_);
        if (p == end_) return fail(E_EOF, end_);
        if (*p != '=') return fail("expected '=' after attribute name", p);
        p = skip_space(p + 1, end_);
        if (p == end_) return fail(E_EOF, end_);
        const char quote = *p;
        if (quote != '"' && quote != '\'') return fail("attribute value not quoted", p);
        const char* v = ++p;
        for (;;) {
            p = find_in_value(p, end_, quote);
            if (p == end_) return fail(E_EOF, end_);
            const char c = *p;
            if (c == quote) break;
            if (!(cls(c) & C_ATTR_STOP)) {
                ++p;  // tab, line feed or carriage return
            } else if (c == '&') {
                std::uint32_t code = 0;
                std::size_t len = 0;
                const RefStatus st =
                    parse_ref(std::string_view(p, static_cast<std::size_t>(end_ - p)), 0, &code, &len);
                if (st == RefStatus::cut) return fail(E_EOF, end_);
                if (st != RefStatus::ok) return fail(ref_message(st), p);
                p += len;
            } else if (c == '<') {
                return fail("'<' in attribute value", p);
            } else {
                return fail(E_CHAR, p);
            }
        }
        at.value = std::string_view(v, static_cast<std::size_t>(p - v));
        ++p;
    }
    s.attrs = std::string_view(a, static_cast<std::size_t>(attrs_end - a));

    // A lone plain attribute has nothing to clash with or declare.
    const bool check = attr_count_ > 1 || has_decl_ || has_prefixed_;
    if (const char* bad = check ? check_attributes() : nullptr) {
        // check_attributes leaves the message in error_.message.
        return fail(error_.message, bad);
    }
    Start& top = this->top();
    if (top.name.has_prefix()) {
        if (same(top.name.prefix, "xmlns")) return fail("reserved namespace prefix", n);
        // Elements of a part mostly share one or two prefixes.
        if (const CachedPrefix* c = cached_prefix(top.name.prefix)) {
            top.ns = c->ns;
        } else {
            const auto id = lookup(top.name.prefix);
            if (!id) return fail(E_UNDECLARED, n);
            top.ns = *id;
            cache_prefix(top.name.prefix, *id);
        }
    } else {
        top.ns = lookup({}).value_or(ns::NONE);
    }
    phase_ = s.self_closing ? Phase::closing : Phase::content;
    scratch_span_ = top.attrs.data();
    return EventKind::start;
}

// Uniqueness, namespace declarations and attribute prefixes of the start tag
// just scanned into scratch_attrs_. Returns the error location (message in
// error_.message) or nullptr.
const char* Reader::check_attributes() {
    const std::span<RawAttr> attrs(scratch_attrs_.data(), attr_count_);
    const std::size_t count = attrs.size();
    if (count == 0) return nullptr;
    const char* base = text_.data();
    auto at = [&](const RawAttr& a) { return base + a.offset; };

    // Qualified names must differ. Small tags are checked pairwise; large
    // ones by sorting, so a hostile tag with many attributes costs n log n.
    const RawAttr* dup = nullptr;
    if (count <= 16) {
        // Names that differ mostly differ in length or in their first or
        // last byte: one word per name settles most pairs.
        // A bit per key tells whether any two keys can be equal at all.
        std::uint32_t keys[16];
        std::uint64_t key_bits = 0;
        bool clash = false;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view l = attrs[i].local;
            keys[i] = static_cast<std::uint32_t>(l.size() & 0xFF) |
                      static_cast<std::uint32_t>(static_cast<unsigned char>(l.front())) << 8 |
                      static_cast<std::uint32_t>(static_cast<unsigned char>(l.back())) << 16 |
                      static_cast<std::uint32_t>(attrs[i].prefix.size() & 0xFF) << 24;
            const std::uint64_t bit = std::uint64_t{1} << ((keys[i] * 0x9E3779B1u) >> 26);
            clash = clash || (key_bits & bit) != 0;
            key_bits |= bit;
        }
        for (std::size_t i = 1; clash && i < count && !dup; ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (keys[i] == keys[j] && same(attrs[i].local, attrs[j].local) &&
                    same(attrs[i].prefix, attrs[j].prefix)) {
                    dup = &attrs[i];
                    break;
                }
            }
        }
    } else {
        auto& order = scratch_order_;
        order.resize(count);
        for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
            if (attrs[x].local != attrs[y].local) return attrs[x].local < attrs[y].local;
            return attrs[x].prefix < attrs[y].prefix;
        });
        for (std::size_t i = 1; i < count; ++i) {
            const RawAttr& x = attrs[order[i - 1]];
            const RawAttr& y = attrs[order[i]];
            if (x.local == y.local && x.prefix == y.prefix && (!dup || y.offset < dup->offset)) dup = &y;
        }
    }
    if (dup) {
        error_.message = "duplicate attribute";
        return at(*dup);
    }

    if (!has_decl_ && !has_prefixed_) return nullptr;
    for (auto& a : attrs) {
        if (!has_decl_) break;
        const bool is_decl = a.prefix.empty() ? a.local == "xmlns" : a.prefix == "xmlns";
        if (!is_decl) continue;
        if (const char* msg = declare(a)) {
            error_.message = msg;
            return at(a);
        }
    }

    bool any_prefixed = false;
    for (auto& a : attrs) {
        if (a.prefix.empty()) continue;
        if (same(a.prefix, "xmlns")) {
            a.ns = ns::OTHER;
            continue;
        }
        any_prefixed = true;
        if (a.prefix == "xml") {
            a.ns = ns::OTHER;
            a.uri = XML_NS;
            continue;
        }
        const Binding* b = find_binding(a.prefix);
        if (!b) {
            error_.message = E_UNDECLARED;
            return at(a);
        }
        a.ns = b->id;
        a.uri = b->uri_view();
    }
    if (!any_prefixed) return nullptr;

    // Two prefixes bound to one URI must not name the same attribute twice.
    dup = nullptr;
    auto prefixed = [](const RawAttr& a) { return !a.prefix.empty() && a.prefix != "xmlns"; };
    if (count <= 16) {
        for (std::size_t i = 1; i < count && !dup; ++i) {
            if (!prefixed(attrs[i])) continue;
            for (std::size_t j = 0; j < i; ++j) {
                if (prefixed(attrs[j]) && same(attrs[i].local, attrs[j].local) && same(attrs[i].uri, attrs[j].uri)) {
                    dup = &attrs[i];
                    break;
                }
            }
        }
    } else {
        auto& order = scratch_order_;
        order.clear();
        for (std::size_t i = 0; i < count; ++i) {
            if (prefixed(attrs[i])) order.push_back(static_cast<std::uint32_t>(i));
        }
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
            if (attrs[x].local != attrs[y].local) return attrs[x].local < attrs[y].local;
            return attrs[x].uri < attrs[y].uri;
        });
        for (std::size_t i = 1; i < order.size(); ++i) {
            const RawAttr& x = attrs[order[i - 1]];
            const RawAttr& y = attrs[order[i]];
            if (x.local == y.local && x.uri == y.uri && (!dup || y.offset < dup->offset)) dup = &y;
        }
    }
    if (dup) {
        error_.message = "duplicate attribute";
        return at(*dup);
    }
    return nullptr;
}

// Pushes the binding of one xmlns or xmlns:prefix attribute; returns an
// error message or nullptr.
const char* Reader::declare(RawAttr& a) {
    Binding b;
    b.prefix = a.prefix.empty() ? std::string_view() : a.local;
    b.depth = static_cast<std::uint32_t>(depth_);
    if (a.value.find('&') != std::string_view::npos) {
        b.owned_uri = unescape_attr(a.value);
        b.owned = true;
    } else {
        b.uri = a.value;
    }
    const std::string_view uri = b.uri_view();
    if (b.prefix == "xmlns") return "reserved namespace prefix";
    if (b.prefix == "xml") return uri == XML_NS ? nullptr : "reserved namespace prefix";
    if (uri == XML_NS || uri == XMLNS_NS) return "reserved namespace name";
    if (!b.prefix.empty() && uri.empty()) return "empty namespace name for a prefix";
    const NamespaceInfo info = namespace_info(uri);
    b.id = info.id;
    if (info.form == Form::strict) strict_seen_ = true;
    else if (info.form == Form::transitional) transitional_seen_ = true;
    binding_depth_ = b.depth;
    bindings_.push_back(std::move(b));
    if (binding_index_) {
        index_binding(bindings_.size() - 1);
    } else if (bindings_.size() > SCANNED_BINDINGS) {
        binding_index_ = std::make_unique<BindingIndex>();
        for (std::size_t i = 0; i < bindings_.size(); ++i) index_binding(i);
    }
    forget_prefixes();
    return nullptr;
}

Status Reader::skip_to_depth(std::size_t target) {
    while (depth_ > target) {
        switch (advance<false, true>()) {
        case EventKind::error: return std::unexpected(error_);
        case EventKind::eof: return std::unexpected(XmlError{E_EOF, text_.size()});
        default: break;
        }
    }
    return {};
}

namespace {

// The first occurrence of `s` at or after p, or `end`.
const char* find_seq(const char* p, const char* end, std::string_view s) noexcept {
    const std::string_view rest(p, static_cast<std::size_t>(end - p));
    const std::size_t at = rest.find(s);
    return at == std::string_view::npos ? end : p + at;
}

// The '>' closing a tag whose name starts at p, passing over quoted
// attribute values (which may hold '>'), or `end`.
const char* tag_close(const char* p, const char* end) noexcept {
    for (;;) {
        p = find_special(p, end, '>', '"', '\'');
        if (p == end || *p == '>') return p;
        if (*p == '"' || *p == '\'') {
            const auto* q = static_cast<const char*>(std::memchr(p + 1, *p, static_cast<std::size_t>(end - p - 1)));
            if (!q) return end;
            p = q + 1;
        } else {
            ++p;  // white space or a control: nothing to check here
        }
    }
}

} // namespace

Status Reader::skip_to_depth_unchecked(std::size_t target) {
    while (depth_ > target) {
        if (phase_ == Phase::content) {
            // Only the innermost open element's end tag is looked for: its
            // name as written, past any elements of that name opened within
            // it. In well-formed text '<' begins markup and nothing else, so
            // every other tag is passed over unread.
            const Name& open = top().name;
            const char* q = open.has_prefix() ? open.prefix.data() : open.local.data();
            const std::string_view name(q, static_cast<std::size_t>(open.local.data() + open.local.size() - q));
            const auto named = [&](const char* at, bool start) {
                // The open element's name lies before `at` in the text.
                if (static_cast<std::size_t>(end_ - at) <= name.size() || !same_bytes(at, name.data(), name.size(), end_))
                    return false;
                const char c = at[name.size()];
                return c == '>' || (cls(c) & C_SPACE) || (start && c == '/');
            };
            std::size_t nested = 0;
            const char* end_tag = nullptr;
            for (const char* p = cur_; !end_tag;) {
                const auto* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end_ - p)));
                if (!lt || end_ - lt < 2) break;
                const char* after = lt + 1;
                if (lt[1] == '/') {
                    if (named(lt + 2, false)) {
                        if (nested == 0) end_tag = lt;
                        else --nested;
                    }
                } else if (starts_with(lt, end_, "<!--")) {
                    after = find_seq(lt + 4, end_, "-->");
                } else if (starts_with(lt, end_, "<![CDATA[")) {
                    after = find_seq(lt + 9, end_, "]]>");
                } else if (lt[1] == '?') {
                    after = find_seq(lt + 2, end_, "?>");
                } else if (named(lt + 1, true)) {
                    after = tag_close(lt + 1 + name.size(), end_);
                    if (after != end_ && after[-1] != '/') ++nested;
                }
                if (after == end_) break;
                p = after;
            }
            if (!end_tag) {
                fail(E_EOF, end_);
                return std::unexpected(error_);
            }
            cur_ = end_tag;
        }
        // The end tag found above, the end of an element written <a/>, or a
        // failed reader: read as ever.
        if (auto st = skip_to_depth(depth_ - 1); !st) return st;
    }
    return {};
}

Status Reader::skip() {
    if (depth() == 0) return {};
    return skip_to_depth(depth() - 1);
}

Status Reader::read_text(std::string& out) {
    if (depth() == 0) return {};
    const std::size_t target = depth() - 1;
    while (depth_ > target) {
        switch (advance<false, true>()) {
        case EventKind::text:
            append_decoded(std::string_view(token_, token_size_), token_plain_, token_cdata_, out);
            break;
        case EventKind::error: return std::unexpected(error_);
        case EventKind::eof: return std::unexpected(XmlError{E_EOF, text_.size()});
        default: break;
        }
    }
    return {};
}

std::optional<Attr> Reader::find_attr(const Start& start, std::uint16_t ns_id,
                                      std::string_view local) const noexcept {
    // The attributes of the latest start tag are already split and resolved.
    if (scratch_span_ != nullptr && scratch_span_ == start.attrs.data()) {
        for (const RawAttr& r : std::span(scratch_attrs_.data(), attr_count_)) {
            if (r.ns == ns_id && same(r.local, local)) return Attr{Name{r.prefix, r.local}, r.value, r.ns, r.offset};
        }
        return std::nullopt;
    }
    for (Attrs it(*this, start); auto a = it.next();) {
        if (a->ns == ns_id && a->name.local == local) return a;
    }
    return std::nullopt;
}

std::optional<std::string> Reader::attr(const Start& start, std::uint16_t ns_id,
                                        std::string_view local) const {
    if (auto a = find_attr(start, ns_id, local)) return unescape_attr(a->value);
    return std::nullopt;
}

std::optional<XmlError> well_formed(std::string_view text) {
    Reader r(text);
    bool root = false;
    for (;;) {
        const Event ev = r.next();
        switch (ev.kind) {
        case EventKind::start: root = true; break;
        case EventKind::eof:
            if (!root) return XmlError{"no root element", text.size()};
            return std::nullopt;
        case EventKind::error: return ev.error;
        default: break;
        }
    }
}

} // namespace vantrell_core::xml
