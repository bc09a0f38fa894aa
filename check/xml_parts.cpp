#include "check/xml_parts.h"

#include <cstdint>
#include <vector>

#include "core/encoding.h"
#include "core/name_index.h"

namespace vantrell_check::xml_parts {

namespace pkg = vantrell_core::package;
namespace enc = vantrell_core::encoding;

namespace {

constexpr const Rule& XML001 = rule_of(XML_RULES, "XML001");
constexpr const Rule& XML002 = rule_of(XML_RULES, "XML002");
constexpr const Rule& XML003 = rule_of(XML_RULES, "XML003");
constexpr const Rule& XML004 = rule_of(XML_RULES, "XML004");

constexpr std::size_t DECLARATION_HEAD_NBYTES = 200;

struct Classes {
    std::size_t strict_count = 0;
    std::size_t transitional_count = 0;
    std::optional<std::string> strict_example;
    std::optional<std::string> transitional_example;

    // The flags of a reader stopped at the root.
    void add(bool strict, bool transitional, std::string_view name) {
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

} // namespace

std::optional<std::string_view> declared_encoding(std::string_view text) {
    std::string_view head = text.substr(0, std::min(text.size(), DECLARATION_HEAD_NBYTES));
    if (!enc::is_valid_utf8(head)) {
        // The cut may have split a character; four bytes back always clears it.
        head = head.substr(0, head.size() >= 4 ? head.size() - 4 : 0);
        if (!enc::is_valid_utf8(head)) return std::nullopt;
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
    while (!decl.empty() && enc::is_xml_space(decl.front())) decl.remove_prefix(1);
    if (decl.empty() || decl.front() != '=') return std::nullopt;
    decl.remove_prefix(1);
    while (!decl.empty() && enc::is_xml_space(decl.front())) decl.remove_prefix(1);
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
    const std::string_view media = enc::trim(content_type.substr(0, content_type.find(';')));
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

void run(pkg::Package& package, Sink& sink) {
    Reading& reading = sink.reading();
    const bool well_formedness = sink.options().xml_well_formed;
    Classes classes;

    const auto& parts = package.parts();
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const pkg::Part& part = parts[index];
        if (!reading.is_xml(index)) continue;
        sink.poll();
        const auto raw = reading.raw_bytes(index);
        if (!raw) {
            sink.push(Finding(XML001, "part could not be read: " + shown(raw.error().message())).in_part(part.name));
            continue;
        }
        // After the raw bytes, whose charge the reading gives back itself.
        const auto refunding = sink.refunding();
        sink.count_part();

        std::optional<std::vector<std::uint8_t>> converted;
        vantrell_core::budget::Held converting;
        if (const auto nbytes = enc::utf16_xml_utf8_nbytes(*raw)) {
            if (!converting.take(reading.ledger(), *nbytes)) throw vantrell_core::budget::Stopped();
            converted.emplace(*nbytes);
            enc::utf16_xml_write_utf8(*raw, *converted);
            sink.push(Finding(XML004, "part is UTF-16 encoded").in_part(part.name));
        }
        const std::string_view text =
            converted ? pkg::as_text(*converted)
                      : std::string_view(reinterpret_cast<const char*>(raw->data()), raw->size());

        if (auto encoding = declared_encoding(text)) {
            using Caseless = vantrell_core::name_index::AsciiCaseless;
            if (!Caseless::equal(*encoding, "utf-8") && !Caseless::equal(*encoding, "utf-16"))
                sink.push(Finding(XML002, "declared encoding is " + shown(*encoding)).in_part(part.name));
        }

        const Reading::Parse parse = reading.parse(index, text, well_formedness);
        if (parse.malformed)
            sink.push(Finding(XML001, shown(parse.malformed->message))
                          .in_part(part.name)
                          .at_byte(parse.malformed->offset));
        else
            classes.add(parse.strict_root, parse.transitional_root, part.name);
    }

    if (classes.strict_count != 0 && classes.transitional_count != 0)
        sink.push(Finding(XML003, std::to_string(classes.strict_count) + " part(s) use Strict namespaces (e.g. " +
                                      shown(*classes.strict_example) + ") and " +
                                      std::to_string(classes.transitional_count) + " use Transitional (e.g. " +
                                      shown(*classes.transitional_example) + ")"));
}

} // namespace vantrell_check::xml_parts
