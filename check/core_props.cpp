#include "check/core_props.h"

#include <algorithm>
#include <string>

#include "core/hash.h"
#include "core/mce.h"
#include "core/opc.h"
#include "core/pml.h"
#include "core/xml.h"

namespace vantrell_check::core_props {

namespace pkg = vantrell_core::package;
namespace opc = vantrell_core::opc;
namespace xml = vantrell_core::xml;
namespace mce = vantrell_core::mce;
using vantrell_core::pml::RelKind;

namespace {

constexpr const Rule& CPR001 = rule_of(CORE_PROPERTY_RULES, "CPR001");
constexpr const Rule& CPR002 = rule_of(CORE_PROPERTY_RULES, "CPR002");
constexpr const Rule& CPR003 = rule_of(CORE_PROPERTY_RULES, "CPR003");
constexpr const Rule& CPR004 = rule_of(CORE_PROPERTY_RULES, "CPR004");

struct Property {
    std::uint16_t ns;
    std::string_view local;
};

constexpr std::array<Property, 15> PROPERTIES{{
    {xml::ns::CORE_PROPS, "category"},
    {xml::ns::CORE_PROPS, "contentStatus"},
    {xml::ns::CORE_PROPS, "keywords"},
    {xml::ns::CORE_PROPS, "lastModifiedBy"},
    {xml::ns::CORE_PROPS, "lastPrinted"},
    {xml::ns::CORE_PROPS, "revision"},
    {xml::ns::CORE_PROPS, "version"},
    {xml::ns::DC, "creator"},
    {xml::ns::DC, "description"},
    {xml::ns::DC, "identifier"},
    {xml::ns::DC, "language"},
    {xml::ns::DC, "subject"},
    {xml::ns::DC, "title"},
    {xml::ns::DCTERMS, "created"},
    {xml::ns::DCTERMS, "modified"},
}};

bool is_property(const xml::Start& s) noexcept {
    return std::any_of(PROPERTIES.begin(), PROPERTIES.end(),
                       [&s](const Property& p) { return s.is(p.ns, p.local); });
}

// Namespace declarations are not attributes of the root in this sense.
bool counts_as_attribute(const xml::Attr& a) noexcept {
    return a.name.prefix != "xmlns" && a.name.local != "xmlns";
}

} // namespace

void run(pkg::Package& package, Sink& sink) {
    sink.poll();
    const auto refunding = sink.refunding();
    auto loaded = package.rels("/");
    if (!loaded) return;
    const opc::Relationships& rels = **loaded;
    const auto rel = std::find_if(rels.relationships.begin(), rels.relationships.end(), [](const opc::Relationship& r) {
        return !r.external && RelKind::of(r.type) == RelKind::coreProperties;
    });
    if (rel == rels.relationships.end()) return;
    const std::string part = opc::resolve_target("/", rel->target);
    if (!package.part_index(part)) return;
    auto bytes = package.read_part_once(part);
    if (!bytes) return;
    sink.count_part();
    const pkg::Bytes text = std::move(*bytes);

    xml::Reader reader(pkg::as_text(*text));
    xml::Start root;
    for (;;) {
        const xml::Event e = reader.next();
        if (e.kind == xml::EventKind::eof || e.kind == xml::EventKind::error) return;
        if (e.kind == xml::EventKind::start) {
            root = e.start;
            break;
        }
    }
    if (!root.is(xml::ns::CORE_PROPS, "coreProperties")) {
        sink.push(Finding(CPR001, "root element is " + shown(root.name.qualified())).in_part(part));
        return;
    }
    for (xml::Attrs it(reader, root); auto a = it.next();) {
        if (counts_as_attribute(*a)) {
            sink.push(Finding(CPR001, "root element has attributes").in_part(part));
            break;
        }
    }

    // Hashed: a hostile part may repeat one element a million times. Its
    // findings go straight to the sink, which keeps no more than the cap.
    vantrell_core::hash::StringSet seen;
    auto child = [&](xml::Reader& r, const xml::Start& s) -> xml::Status {
        std::string name = s.name.qualified();
        if (!is_property(s)) {
            sink.push(Finding(CPR004, "unexpected element " + shown(name)).in_part(part).at_byte(s.offset));
            return {};
        }
        if (seen.contains(name))
            sink.push(Finding(CPR003, shown(name) + " appears more than once").in_part(part).at_byte(s.offset));
        if (s.ns == xml::ns::DCTERMS) {
            const auto type = r.find_attr(s, xml::ns::XSI, "type");
            if (!type || type->value != "dcterms:W3CDTF")
                sink.push(Finding(CPR002, shown(name) + " lacks xsi:type=\"dcterms:W3CDTF\"")
                              .in_part(part)
                              .at_byte(s.offset));
        }
        seen.insert(std::move(name));
        return {};
    };
    // A malformed part ends the walk; the findings made before it stand.
    (void)mce::children_inner(reader, child, true);
}

} // namespace vantrell_check::core_props
