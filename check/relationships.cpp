#include "check/relationships.h"

#include <vector>

#include "core/encoding.h"
#include "core/opc.h"
#include "core/pml.h"

namespace vantrell_check::relationships {

namespace pkg = vantrell_core::package;
namespace opc = vantrell_core::opc;
using vantrell_core::pml::RelKind;

namespace {

constexpr const Rule& REL001 = rule_of(RELATIONSHIP_RULES, "REL001");
constexpr const Rule& REL002 = rule_of(RELATIONSHIP_RULES, "REL002");
constexpr const Rule& REL003 = rule_of(RELATIONSHIP_RULES, "REL003");
constexpr const Rule& REL004 = rule_of(RELATIONSHIP_RULES, "REL004");
constexpr const Rule& REL005 = rule_of(RELATIONSHIP_RULES, "REL005");
constexpr const Rule& REL006 = rule_of(RELATIONSHIP_RULES, "REL006");
constexpr const Rule& REL007 = rule_of(RELATIONSHIP_RULES, "REL007");
constexpr const Rule& REL008 = rule_of(RELATIONSHIP_RULES, "REL008");
constexpr const Rule& REL009 = rule_of(RELATIONSHIP_RULES, "REL009");
constexpr const Rule& REL010 = rule_of(RELATIONSHIP_RULES, "REL010");
constexpr const Rule& PKG001 = rule_of(RELATIONSHIP_RULES, "PKG001");
constexpr const Rule& PKG002 = rule_of(RELATIONSHIP_RULES, "PKG002");
constexpr const Rule& PKG003 = rule_of(RELATIONSHIP_RULES, "PKG003");
constexpr const Rule& PKG004 = rule_of(RELATIONSHIP_RULES, "PKG004");
constexpr const Rule& PKG005 = rule_of(RELATIONSHIP_RULES, "PKG005");

constexpr std::string_view PACKAGE_RELS = "/_rels/.rels";
constexpr std::string_view CORE_PROPS_TYPE = "application/vnd.openxmlformats-package.core-properties+xml";

bool is_letter(unsigned char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

// The text after the last "/" of a relationship type.
std::string_view kind_name(std::string_view type) noexcept {
    const std::size_t slash = type.rfind('/');
    return slash == std::string_view::npos ? type : type.substr(slash + 1);
}

// Targeted parts, by the index of the first part of each name ignoring case
// (what `part_index` gives), so no lower-cased name is kept.
using TargetSet = std::vector<bool>;

// Phase 2 for one source: its relationships part and every relationship's
// target.
// False when the source has no relationships part (an empty set, with
// nothing to report), or when it was checked for another source already:
// sources that differ only in case share one relationships part, checked
// once (`checked`, by part index), so that a package of many such names
// does not check its largest part once for each.
bool check_source(pkg::Package& package, std::string_view source, TargetSet& targets, std::vector<bool>& checked,
                  Sink& sink) {
    const std::string rels_name = opc::rels_part_name(source);
    const auto rels_index = package.part_index(rels_name);
    if (!rels_index) return false;
    if (*rels_index < checked.size()) {
        if (checked[*rels_index]) return false;
        checked[*rels_index] = true;
    }
    sink.poll();
    const auto refunding = sink.refunding();
    auto loaded = sink.reading().rels(source, *rels_index);
    if (!loaded) {
        sink.push(Finding(REL001, shown(loaded.error().message())).in_part(rels_name));
        return true;
    }
    const opc::Relationships& rels = **loaded;
    sink.count_part();
    if (rels.wrong_root)
        sink.push(Finding(REL001, "root element is not Relationships in the relationships namespace").in_part(rels_name));
    for (const opc::Defect& d : rels.defects)
        sink.push(Finding(REL003, std::string(d.message)).in_part(rels_name).at_byte(d.offset));
    for (const std::size_t i : rels.duplicate_ids) {
        if (i >= rels.relationships.size()) continue;
        const opc::Relationship& r = rels.relationships[i];
        sink.push(Finding(REL002, "Id " + shown(r.id) + " is declared more than once")
                      .in_part(rels_name)
                      .at_byte(r.offset));
    }

    std::uint32_t thumbnails = 0;
    std::string target;
    for (const opc::Relationship& r : rels.relationships) {
        if (!is_xml_name(r.id))
            sink.push(Finding(REL006, "Id " + shown(r.id, true) + " is not an XML name")
                          .in_part(rels_name)
                          .at_byte(r.offset));
        if (vantrell_core::encoding::trim(r.type).empty())
            sink.push(Finding(REL010, "relationship " + shown(r.id) + " has an empty Type").in_part(rels_name));
        if (RelKind::of(r.type) == RelKind::thumbnail && thumbnails < UINT32_MAX) ++thumbnails;
        if (r.external) continue;
        if (is_absolute_reference(r.target)) {
            sink.push(Finding(REL009, "relationship " + shown(r.id) +
                                          " has Internal mode but an absolute target " + shown(r.target))
                          .in_part(rels_name));
            continue;
        }
        opc::resolve_target_into(rels.source, r.target, target);
        if (opc::is_rels_part_name(target)) {
            sink.push(
                Finding(REL005, "relationship " + shown(r.id) + " targets the Relationships part " + shown(target))
                    .in_part(rels_name));
            continue;
        }
        if (const auto index = package.part_index(target)) {
            if (*index < targets.size()) targets[*index] = true;
            continue;
        }
        sink.push(Finding(REL004, "relationship " + shown(r.id) + " (" + shown(kind_name(r.type)) + ") targets " +
                                      shown(target) + ", which does not exist")
                      .in_part(rels_name));
    }
    if (thumbnails >= 2)
        sink.push(Finding(PKG004, std::to_string(thumbnails) + " thumbnail relationships").in_part(rels_name));
    return true;
}

// The content type of an existing part an internal package relationship
// names, if it has one.
std::optional<std::string_view> target_content_type(const pkg::Package& package, const opc::Relationship& r,
                                                    std::string& resolved) {
    if (r.external) return std::nullopt;
    resolved = opc::resolve_target("/", r.target);
    if (!package.part_index(resolved)) return std::nullopt;
    return package.parsed_content_types().types.content_type_of(resolved);
}

// `has_rels` tells, per part, whether its relationships part was checked
// for it (for one part of each relationships part).
void check_package_level(pkg::Package& package, const std::vector<bool>& has_rels, Sink& sink) {
    auto loaded = package.rels("/");
    if (!loaded) return;
    const auto& rels = (*loaded)->relationships;

    std::vector<const opc::Relationship*> office, core;
    std::size_t extended = 0, custom = 0;
    for (const opc::Relationship& r : rels) {
        switch (RelKind::of(r.type)) {
        case RelKind::officeDocument: office.push_back(&r); break;
        case RelKind::coreProperties: core.push_back(&r); break;
        case RelKind::extendedProperties: ++extended; break;
        case RelKind::customProperties: ++custom; break;
        default: break;
        }
    }

    if (office.empty())
        sink.push(Finding(PKG001, "no officeDocument relationship in /_rels/.rels"));
    else if (office.size() >= 2)
        sink.push(Finding(PKG001, std::to_string(office.size()) + " officeDocument relationships").in_part(PACKAGE_RELS));
    std::string resolved;
    for (const opc::Relationship* r : office) {
        auto ct = target_content_type(package, *r, resolved);
        if (ct && !vantrell_core::pml::content_type::is_presentation_main(*ct))
            sink.push(Finding(PKG002, "content type is " + shown(*ct)).in_part(resolved));
    }

    if (core.size() >= 2)
        sink.push(Finding(PKG003, std::to_string(core.size()) + " core properties relationships").in_part(PACKAGE_RELS));
    for (const opc::Relationship* r : core) {
        auto ct = target_content_type(package, *r, resolved);
        if (ct && opc::ascii_lower(*ct) != CORE_PROPS_TYPE)
            sink.push(Finding(PKG003, "core properties part has content type " + shown(*ct)).in_part(resolved));
    }
    if (extended >= 2)
        sink.push(Finding(PKG005, std::to_string(extended) + " extended properties relationships").in_part(PACKAGE_RELS));
    if (custom >= 2)
        sink.push(Finding(PKG005, std::to_string(custom) + " custom properties relationships").in_part(PACKAGE_RELS));

    const Reading& reading = sink.reading();
    const auto& parts = package.parts();
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const pkg::Part& part = parts[index];
        if (part.name == "/" || reading.is_rels(index)) continue;
        if (!has_rels[index]) continue;
        auto part_rels = package.rels(part.name);
        if (!part_rels) continue;
        for (const opc::Relationship& r : (*part_rels)->relationships) {
            if (RelKind::of(r.type) == RelKind::coreProperties) {
                sink.push(Finding(PKG003, "core properties relationship from a part instead of the package")
                              .in_part(opc::rels_part_name(part.name)));
                break;
            }
        }
    }
}

} // namespace

bool is_xml_name(std::string_view id) noexcept {
    if (id.empty()) return false;
    const auto first = static_cast<unsigned char>(id.front());
    if (!is_letter(first) && first != '_' && first < 0x80) return false;
    for (const char ch : id) {
        const auto c = static_cast<unsigned char>(ch);
        if (!is_letter(c) && !is_digit(c) && c != '-' && c != '.' && c != '_' && c < 0x80) return false;
    }
    return true;
}

bool is_absolute_reference(std::string_view target) noexcept {
    const std::size_t colon = target.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    const std::string_view scheme = target.substr(0, colon);
    if (!is_letter(static_cast<unsigned char>(scheme.front()))) return false;
    for (const char ch : scheme) {
        const auto c = static_cast<unsigned char>(ch);
        if (!is_letter(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

void run(pkg::Package& package, Sink& sink) {
    const auto& parts = package.parts();
    for (const pkg::Part& part : parts) {
        if (auto source = opc::source_of_rels(part.name)) {
            if (*source != "/" && !package.part_index(*source))
                sink.push(Finding(REL007, "Relationships part for a part that does not exist").in_part(part.name));
        }
    }

    // The package first, then every part that is not a relationships part.
    TargetSet targets(parts.size());
    std::vector<bool> has_rels(parts.size()), checked(parts.size());
    check_source(package, "/", targets, checked, sink);
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (!opc::is_rels_part_name(parts[index].name))
            has_rels[index] = check_source(package, parts[index].name, targets, checked, sink);
    }

    const Reading& reading = sink.reading();
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const pkg::Part& part = parts[index];
        if (reading.is_rels(index)) continue;
        const auto first = package.part_index(part.name);
        if (!first || *first >= targets.size() || !targets[*first])
            sink.push(Finding(REL008, "part is not the target of any relationship").in_part(part.name));
    }

    check_package_level(package, has_rels, sink);
}

} // namespace vantrell_check::relationships
