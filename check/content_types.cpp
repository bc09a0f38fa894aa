#include "check/content_types.h"

#include "core/encoding.h"
#include "core/opc.h"

namespace vantrell_check::content_types {

namespace pkg = vantrell_core::package;
namespace opc = vantrell_core::opc;
namespace enc = vantrell_core::encoding;

namespace {

constexpr const Rule& CTY001 = rule_of(CONTENT_TYPE_RULES, "CTY001");
constexpr const Rule& CTY002 = rule_of(CONTENT_TYPE_RULES, "CTY002");
constexpr const Rule& CTY003 = rule_of(CONTENT_TYPE_RULES, "CTY003");
constexpr const Rule& CTY004 = rule_of(CONTENT_TYPE_RULES, "CTY004");
constexpr const Rule& CTY005 = rule_of(CONTENT_TYPE_RULES, "CTY005");
constexpr const Rule& CTY006 = rule_of(CONTENT_TYPE_RULES, "CTY006");
constexpr const Rule& CTY007 = rule_of(CONTENT_TYPE_RULES, "CTY007");
constexpr const Rule& CTY008 = rule_of(CONTENT_TYPE_RULES, "CTY008");

constexpr std::string_view STREAM = "/[Content_Types].xml";
constexpr std::string_view RELS_TYPE = "application/vnd.openxmlformats-package.relationships+xml";

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && opc::ascii_lower(a) == opc::ascii_lower(b);
}

bool is_token_byte(unsigned char c) noexcept {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token(std::string_view s) noexcept {
    if (s.empty()) return false;
    for (const char c : s)
        if (!is_token_byte(static_cast<unsigned char>(c))) return false;
    return true;
}

} // namespace

bool is_media_type(std::string_view content_type) noexcept {
    std::string_view v = content_type.substr(0, content_type.find(';'));
    v = enc::trim(v);
    const std::size_t slash = v.find('/');
    if (slash == std::string_view::npos) return false;
    return is_token(v.substr(0, slash)) && is_token(v.substr(slash + 1));
}

void run(pkg::Package& package, Sink& sink) {
    const opc::ContentTypes& ct = package.parsed_content_types().types;

    if (ct.wrong_root) sink.push(Finding(CTY005, "root element is not Types in the content types namespace").in_part(STREAM));
    for (const opc::Defect& d : ct.defects)
        sink.push(Finding(CTY005, std::string(d.message)).in_part(STREAM).at_byte(d.offset));
    for (const std::size_t i : ct.duplicate_defaults) {
        if (i < ct.defaults.size())
            sink.push(Finding(CTY002, "second Default for extension " + shown(ct.defaults[i].first)).in_part(STREAM));
    }
    for (const std::size_t i : ct.duplicate_overrides) {
        if (i < ct.overrides.size())
            sink.push(Finding(CTY003, "second Override for " + shown(ct.overrides[i].first)).in_part(STREAM));
    }

    for (const auto& [ext, type] : ct.defaults) {
        if (ext.empty() || ext.find_first_of("./") != std::string::npos)
            sink.push(Finding(CTY008, "Default extension " + shown(ext, true)).in_part(STREAM));
        if (!is_media_type(type))
            sink.push(Finding(CTY006, "Default for " + shown(ext) + " has content type " + shown(type, true))
                          .in_part(STREAM));
        if (equals_ignoring_case(ext, "rels") && !equals_ignoring_case(type, RELS_TYPE))
            sink.push(Finding(CTY007, "Default for rels is " + shown(type)).in_part(STREAM));
    }

    for (const auto& [name, type] : ct.overrides) {
        if (!is_media_type(type))
            sink.push(Finding(CTY006, "Override has content type " + shown(type, true)).in_part(name));
        if (!package.part_index(name)) sink.push(Finding(CTY004, "Override names a part that does not exist").in_part(name));
        if (opc::is_rels_part_name(name) && !equals_ignoring_case(type, RELS_TYPE))
            sink.push(Finding(CTY007, "Relationships part declared as " + shown(type)).in_part(name));
    }

    const Reading& reading = sink.reading();
    const auto& parts = package.parts();
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const pkg::Part& part = parts[index];
        if (reading.is_rels(index)) continue;
        if (!reading.content_type(index))
            sink.push(Finding(CTY001, "no Default or Override gives this part a content type").in_part(part.name));
    }
}

} // namespace vantrell_check::content_types
