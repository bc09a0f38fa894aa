#include "check/xml_parts.h"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "core/encoding.h"
#include "core/name_index.h"
#include "core/opc.h"
#include "core/xml.h"

#include "check/pml.h"

namespace vantrell_check::xml_parts {

namespace pkg = vantrell_core::package;
namespace opc = vantrell_core::opc;
namespace xml = vantrell_core::xml;
namespace enc = vantrell_core::encoding;

namespace {

constexpr const Rule& XML001 = rule_of(XML_RULES, "XML001");
constexpr const Rule& XML002 = rule_of(XML_RULES, "XML002");
constexpr const Rule& XML003 = rule_of(XML_RULES, "XML003");
constexpr const Rule& XML004 = rule_of(XML_RULES, "XML004");

constexpr std::size_t DECLARATION_HEAD_NBYTES = 200;

bool is_valid_utf8(std::string_view s) {
    // Mostly ASCII: runs of it are passed a word at a time, and only the
    // other characters decoded.
    for (std::size_t pos = 0; pos < s.size();) {
        for (std::uint64_t w; s.size() - pos >= 8; pos += 8) {
            std::memcpy(&w, s.data() + pos, 8);
            if (w & 0x8080808080808080ULL) break;
        }
        while (pos < s.size() && static_cast<unsigned char>(s[pos]) < 0x80) ++pos;
        if (pos == s.size()) break;
        const std::size_t at = pos;
        // A decoded U+FFFD is only an error where the bytes were not EF BF BD.
        if (enc::next_utf8(s, pos) == enc::REPLACEMENT && s.substr(at, pos - at) != "\xEF\xBF\xBD") return false;
    }
    return true;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

struct Classes {
    std::size_t strict_count = 0;
    std::size_t transitional_count = 0;
    std::optional<std::string> strict_example;
    std::optional<std::string> transitional_example;

    // The flags of a reader stopped at the root.
    void add(bool strict, bool transitional, const std::string& name) {
        if (strict) {
            ++strict_count;
            if (!strict_example) strict_example = name;
        }
        if (transitional) {
            ++transitional_count;
            if (!transitional_example) transitional_example = name;
        }
    }
};

bool is_core_properties_type(std::optional<std::string_view> content_type) {
    return content_type && vantrell_core::name_index::AsciiCaseless::equal(
                               *content_type, "application/vnd.openxmlformats-package.core-properties+xml");
}

// Reads up to the first start element, the end of the document or an error;
// that event.
xml::Event to_root(xml::Reader& reader) {
    for (;;) {
        xml::Event e = reader.next();
        if (e.kind == xml::EventKind::start || e.kind == xml::EventKind::eof || e.kind == xml::EventKind::error)
            return e;
    }
}

// Namespace declarations count only up to the root's start tag.
void classify(std::string_view text, const std::string& name, Classes& classes) {
    xml::Reader reader(text);
    (void)to_root(reader);
    classes.add(reader.strict_seen(), reader.transitional_seen(), name);
}

// The first error of the rest of a document whose root the reader has
// entered; the same answer as xml::well_formed over the whole text.
std::optional<xml::XmlError> rest_malformed(xml::Reader& reader) {
    for (;;) {
        const xml::Event e = reader.next();
        if (e.kind == xml::EventKind::eof) return std::nullopt;
        if (e.kind == xml::EventKind::error) return e.error;
    }
}

// Well-formedness, as xml::well_formed tells it, and for a well-formed part
// its namespace classes, in one pass.
std::optional<xml::XmlError> classify_well_formed(std::string_view text, const std::string& name, Classes& classes) {
    xml::Reader reader(text);
    const xml::Event root = to_root(reader);
    if (root.kind == xml::EventKind::error) return root.error;
    if (root.kind == xml::EventKind::eof) return xml::XmlError{"no root element", text.size()};
    const bool strict = reader.strict_seen();
    const bool transitional = reader.transitional_seen();
    if (auto err = rest_malformed(reader)) return err;
    classes.add(strict, transitional, name);
    return std::nullopt;
}

// One pass over a part the PresentationML stage will examine: that
// examination, with its findings held back for their stage, the namespace
// classes of the root and, when asked for, well-formedness. The walk reads
// through the reader's own events, so draining the reader after it finds
// what a separate well-formedness pass would; a walk that stopped early
// leaves that to a separate pass.
std::optional<xml::XmlError> examine_part(pkg::Package& package, std::size_t index, const pkg::Part& part,
                                          const pml::ExpectedRoot& expected, std::string_view text,
                                          bool well_formedness, RunCache& cache, Classes& classes) {
    Report held;
    const Options unlimited{SIZE_MAX, false, false};
    Sink deferred(held, unlimited);
    // The PresentationML stage counts every part it reads.
    deferred.count_part();

    xml::Reader reader(text);
    const xml::Event root = to_root(reader);
    const bool strict = reader.strict_seen();
    const bool transitional = reader.transitional_seen();
    std::optional<xml::XmlError> malformed;
    if (root.kind == xml::EventKind::start) {
        const xml::Status walked = pml::examine(package, part.name, expected, reader, root.start, deferred);
        if (well_formedness) malformed = walked ? rest_malformed(reader) : xml::well_formed(text);
    } else if (well_formedness) {
        malformed = xml::well_formed(text);
    }
    cache.keep_deferred(index, RunCache::Deferred{std::move(held.findings), held.parts_checked});
    if (!malformed) classes.add(strict, transitional, part.name);
    return malformed;
}

} // namespace

std::optional<std::string_view> declared_encoding(std::string_view text) {
    std::string_view head = text.substr(0, std::min(text.size(), DECLARATION_HEAD_NBYTES));
    if (!is_valid_utf8(head)) {
        // The cut may have split a character; four bytes back always clears it.
        head = head.substr(0, head.size() >= 4 ? head.size() - 4 : 0);
        if (!is_valid_utf8(head)) return std::nullopt;
    }
    if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
    if (!head.starts_with("<?xml")) return std::nullopt;
    head.remove_prefix(5);
    const std::size_t close = head.find("?>");
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view decl = head.substr(0, close);
    const std::size_t key = decl.find("encoding");
    if (key == std::string_view::npos) return std::nullopt;
    decl.remove_prefix(key + 8);
    while (!decl.empty() && is_space(decl.front())) decl.remove_prefix(1);
    if (decl.empty() || decl.front() != '=') return std::nullopt;
    decl.remove_prefix(1);
    while (!decl.empty() && is_space(decl.front())) decl.remove_prefix(1);
    if (decl.empty()) return std::nullopt;
    // The quote is a whole character, which may take several bytes; the head
    // is valid UTF-8 here, so the character is complete.
    std::size_t quote_nbytes = 0;
    enc::next_utf8(decl, quote_nbytes);
    const std::string_view quote = decl.substr(0, quote_nbytes);
    decl.remove_prefix(quote_nbytes);
    const std::size_t end = decl.find(quote);
    if (end == std::string_view::npos) return std::nullopt;
    return decl.substr(0, end);
}

bool is_xml_media_type(std::string_view content_type) noexcept {
    const std::string_view media = trim_white_space(content_type.substr(0, content_type.find(';')));
    // Compared without a lower-cased copy: asked once or more per part.
    auto iequal = [](std::string_view a, std::string_view lower) {
        if (a.size() != lower.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
            if (c != lower[i]) return false;
        }
        return true;
    };
    return (media.size() >= 4 && iequal(media.substr(media.size() - 4), "+xml")) || iequal(media, "text/xml") ||
           iequal(media, "application/xml");
}

bool visits(bool is_rels, std::optional<std::string_view> content_type) noexcept {
    return is_rels || (content_type && is_xml_media_type(*content_type));
}

bool visits(const opc::ContentTypes& types, std::string_view name) {
    return visits(opc::is_rels_part_name(name), types.content_type_of(name));
}

void run(pkg::Package& package, Sink& sink) {
    const opc::ContentTypes& types = package.parsed_content_types().types;
    const bool well_formedness = sink.options().xml_well_formed;
    RunCache* cache = sink.cache();
    Classes classes;
    std::vector<std::uint8_t> bytes;

    const auto& parts = package.parts();
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const pkg::Part& part = parts[index];
        if (cache ? !visits(cache->is_rels(index), cache->content_type(index)) : !visits(types, part.name)) continue;
        const pkg::Bytes kept = cache ? cache->take_bytes(index) : nullptr;
        if (!kept) {
            bytes.clear();
            if (auto r = package.read_part_bytes(part.name, bytes, pkg::MAX_XML_PART_NBYTES); !r) {
                sink.push(Finding(XML001, "part could not be read: " + r.error().message()).in_part(part.name));
                continue;
            }
        }
        const std::vector<std::uint8_t>& raw = kept ? *kept : bytes;
        sink.count_part();

        std::optional<std::vector<std::uint8_t>> converted = enc::utf16_xml_to_utf8(raw);
        if (converted) sink.push(Finding(XML004, "part is UTF-16 encoded").in_part(part.name));
        const std::string_view text = pkg::as_text(converted ? *converted : raw);

        if (auto encoding = declared_encoding(text)) {
            using Caseless = vantrell_core::name_index::AsciiCaseless;
            if (!Caseless::equal(*encoding, "utf-8") && !Caseless::equal(*encoding, "utf-16"))
                sink.push(Finding(XML002, "declared encoding is " + std::string(*encoding)).in_part(part.name));
        }

        std::optional<pml::ExpectedRoot> expected;
        if (cache) expected = pml::expected_root(cache->content_type(index));
        // The presentation and core properties parts are read whole again by
        // later stages; a part that needed no conversion is its own text.
        if (kept && !converted &&
            ((expected && expected->local == "presentation") ||
             is_core_properties_type(cache->content_type(index))))
            package.cache_part(index, kept);
        if (expected) {
            if (auto err = examine_part(package, index, part, *expected, text, well_formedness, *cache, classes))
                sink.push(Finding(XML001, err->message).in_part(part.name).at_byte(err->offset));
            continue;
        }
        // A relationships part the relationships stage parsed whole is
        // known to be well-formed, and that parse saw its root.
        if (cache && cache->rels_parsed(index)) {
            classes.add(cache->strict_root(index), cache->transitional_root(index), part.name);
            continue;
        }
        if (well_formedness) {
            if (auto err = classify_well_formed(text, part.name, classes))
                sink.push(Finding(XML001, err->message).in_part(part.name).at_byte(err->offset));
            continue;
        }
        classify(text, part.name, classes);
    }

    if (classes.strict_count != 0 && classes.transitional_count != 0)
        sink.push(Finding(XML003, std::to_string(classes.strict_count) + " part(s) use Strict namespaces (e.g. " +
                                      *classes.strict_example + ") and " +
                                      std::to_string(classes.transitional_count) + " use Transitional (e.g. " +
                                      *classes.transitional_example + ")"));
}

} // namespace vantrell_check::xml_parts
