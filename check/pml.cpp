#include "check/pml.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/encoding.h"
#include "core/hash.h"
#include "core/presentation.h"

namespace vantrell_check::pml {

namespace pkg = vantrell_core::package;
namespace opc = vantrell_core::opc;
namespace xml = vantrell_core::xml;
namespace pres = vantrell_core::presentation;
namespace enc = vantrell_core::encoding;
using vantrell_core::pml::RelKind;

namespace {

constexpr const Rule& PML001 = rule_of(PRESENTATION_RULES, "PML001");
constexpr const Rule& PML002 = rule_of(PRESENTATION_RULES, "PML002");
constexpr const Rule& PML003 = rule_of(PRESENTATION_RULES, "PML003");
constexpr const Rule& PML004 = rule_of(PRESENTATION_RULES, "PML004");
constexpr const Rule& PML005 = rule_of(PRESENTATION_RULES, "PML005");
constexpr const Rule& PML006 = rule_of(PRESENTATION_RULES, "PML006");
constexpr const Rule& PML007 = rule_of(PRESENTATION_RULES, "PML007");
constexpr const Rule& PML008 = rule_of(PRESENTATION_RULES, "PML008");
constexpr const Rule& PML009 = rule_of(PRESENTATION_RULES, "PML009");
constexpr const Rule& PML010 = rule_of(PRESENTATION_RULES, "PML010");
constexpr const Rule& PML011 = rule_of(PRESENTATION_RULES, "PML011");
constexpr const Rule& PML012 = rule_of(PRESENTATION_RULES, "PML012");
constexpr const Rule& PML013 = rule_of(PRESENTATION_RULES, "PML013");
constexpr const Rule& PML014 = rule_of(PRESENTATION_RULES, "PML014");
constexpr const Rule& PML015 = rule_of(PRESENTATION_RULES, "PML015");
constexpr const Rule& PML016 = rule_of(PRESENTATION_RULES, "PML016");
constexpr const Rule& PML017 = rule_of(PRESENTATION_RULES, "PML017");
constexpr const Rule& PML018 = rule_of(PRESENTATION_RULES, "PML018");
constexpr const Rule& PML019 = rule_of(PRESENTATION_RULES, "PML019");
constexpr const Rule& PML020 = rule_of(PRESENTATION_RULES, "PML020");
constexpr const Rule& PML021 = rule_of(PRESENTATION_RULES, "PML021");
constexpr const Rule& PML022 = rule_of(PRESENTATION_RULES, "PML022");
constexpr const Rule& PML023 = rule_of(PRESENTATION_RULES, "PML023");

constexpr std::string_view CT_PREFIX = "application/vnd.openxmlformats-officedocument.presentationml.";
constexpr std::string_view SLIDE_CT = "application/vnd.openxmlformats-officedocument.presentationml.slide+xml";
constexpr std::string_view SLIDE_LAYOUT_CT =
    "application/vnd.openxmlformats-officedocument.presentationml.slideLayout+xml";
constexpr std::string_view SLIDE_MASTER_CT =
    "application/vnd.openxmlformats-officedocument.presentationml.slideMaster+xml";
constexpr std::string_view NOTES_MASTER_CT =
    "application/vnd.openxmlformats-officedocument.presentationml.notesMaster+xml";
constexpr std::string_view HANDOUT_MASTER_CT =
    "application/vnd.openxmlformats-officedocument.presentationml.handoutMaster+xml";

constexpr std::uint32_t SLIDE_ID_MIN = 256;
constexpr std::uint32_t MASTER_ID_MIN = 2147483648u;
constexpr std::int64_t SLIDE_EXTENT_MIN_EMU = 914400;
constexpr std::int64_t SLIDE_EXTENT_MAX_EMU = 51206400;
constexpr double RATIO_TOLERANCE = 0.01;

struct RootRow {
    std::string_view content_type; // empty for the presentation main types
    std::uint16_t ns;
    std::string_view local;
};

// Content types after the common PresentationML prefix, except the theme.
constexpr std::array<RootRow, 12> ROOT_ROWS{{
    {"slide+xml", xml::ns::PML, "sld"},
    {"slideLayout+xml", xml::ns::PML, "sldLayout"},
    {"slideMaster+xml", xml::ns::PML, "sldMaster"},
    {"notesSlide+xml", xml::ns::PML, "notes"},
    {"notesMaster+xml", xml::ns::PML, "notesMaster"},
    {"handoutMaster+xml", xml::ns::PML, "handoutMaster"},
    {"presProps+xml", xml::ns::PML, "presentationPr"},
    {"viewProps+xml", xml::ns::PML, "viewPr"},
    {"tableStyles+xml", xml::ns::DML, "tblStyleLst"},
    {"commentAuthors+xml", xml::ns::PML, "cmAuthorLst"},
    {"comments+xml", xml::ns::PML, "cmLst"},
    {"", xml::ns::DML, "theme"},
}};
constexpr std::string_view THEME_CT = "application/vnd.openxmlformats-officedocument.theme+xml";
constexpr RootRow PRESENTATION_ROW{"", xml::ns::PML, "presentation"};

bool lower_equal(char a, char b) noexcept {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(a) == lower(b);
}

bool iequal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!lower_equal(a[i], b[i])) return false;
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) noexcept {
    return s.size() >= prefix.size() && iequal(s.substr(0, prefix.size()), prefix);
}

const RootRow* row_of(std::string_view prepared) noexcept {
    if (vantrell_core::pml::content_type::is_presentation_main(prepared)) return &PRESENTATION_ROW;
    if (iequal(prepared, THEME_CT)) return &ROOT_ROWS.back();
    if (!istarts_with(prepared, CT_PREFIX)) return nullptr;
    const std::string_view rest = prepared.substr(CT_PREFIX.size());
    for (const RootRow& row : ROOT_ROWS)
        if (!row.content_type.empty() && iequal(rest, row.content_type)) return &row;
    return nullptr;
}

std::string byte_at(std::uint64_t offset) { return "byte " + std::to_string(offset); }

std::optional<std::string_view> content_type_of(const pkg::Package& package, std::string_view part) {
    return package.parsed_content_types().types.content_type_of(part);
}

// The resolved name of an internal relationship whose target is a part.
std::optional<std::string> existing_target(const pkg::Package& package, const opc::Relationships& rels,
                                           const opc::Relationship& r) {
    if (r.external) return std::nullopt;
    std::string name = opc::resolve_target(rels.source, r.target);
    if (!package.part_index(name)) return std::nullopt;
    return name;
}

// The same, with its content type, for the relationships of one part, each
// looked up once: a list may name one relationship thousands of times, and
// resolving it costs the length of its target and its source's folder,
// which may be long.
class Targets {
public:
    struct Target {
        std::optional<std::string> name;
        std::optional<std::string_view> content_type;
    };

    Targets(const pkg::Package& package, const opc::Relationships& rels) noexcept : package_(package), rels_(rels) {}

    const Target& of(const opc::Relationship& r) {
        const auto [it, made] = resolved_.try_emplace(&r);
        if (made) {
            it->second.name = existing_target(package_, rels_, r);
            if (it->second.name) it->second.content_type = content_type_of(package_, *it->second.name);
        }
        return it->second;
    }

private:
    const pkg::Package& package_;
    const opc::Relationships& rels_;
    std::unordered_map<const opc::Relationship*, Target> resolved_;
};

// check_typed_target with the relationships' targets resolved through `targets`.
void typed_target(Targets& targets, const opc::Relationships& rels, std::string_view source, std::string_view rel_id,
                  RelKind expected, std::string_view expected_content_type, std::string_view element,
                  const std::string& location, Sink& sink);

// An `id` attribute as a number: raw bytes, white space trimmed, one "+".
std::optional<std::uint32_t> numeric_id(const xml::Reader& reader, const xml::Start& s) noexcept {
    const auto a = reader.find_attr(s, xml::ns::NONE, "id");
    if (!a) return std::nullopt;
    return pres::parse_id(a->value);
}

// Phase 1: the presentation part.
void check_presentation(pkg::Package& package, Sink& sink) {
    auto package_rels = package.rels("/");
    if (!package_rels) return;
    const opc::Relationships& root_rels = **package_rels;

    std::optional<std::string> name;
    for (const opc::Relationship& r : root_rels.relationships) {
        if (RelKind::of(r.type) != RelKind::officeDocument || r.external) continue;
        // Only the first candidate counts, whether or not its part exists.
        name = opc::resolve_target(root_rels.source, r.target);
        if (!package.part_index(*name)) return;
        break;
    }
    if (!name) return;
    const std::string& part = *name;

    auto bytes = package.read_part_once(part);
    if (!bytes) return;
    sink.count_part();
    const pkg::Bytes text = std::move(*bytes);
    auto parsed = pres::Presentation::parse(pkg::as_text(*text), part);
    if (!parsed) return;
    const pres::Presentation& p = *parsed;

    auto push = [&](const Rule& rule, std::string message) {
        sink.push(Finding(rule, std::move(message)).in_part(part));
    };
    auto push_at = [&](const Rule& rule, std::string message, std::string location) {
        sink.push(Finding(rule, std::move(message)).in_part(part).at(std::move(location)));
    };

    if (!p.root_ok) {
        push(PML001, "root element is not p:presentation");
        return;
    }
    auto loaded = package.rels(part);
    if (!loaded) return;
    const opc::Relationships& rels = **loaded;

    Targets targets(package, rels);
    for (const pres::Problem& problem : p.problems) push_at(PML006, problem.message, byte_at(problem.offset));
    if (p.masters.empty()) push(PML002, "sldMasterIdLst lists no slide master");
    if (p.slides.empty()) push(PML022, "the presentation has no slides");
    if (!p.notes_size) push(PML012, "notesSz is missing");

    std::size_t pres_props = 0;
    for (const opc::Relationship& r : rels.relationships)
        if (RelKind::of(r.type) == RelKind::presProps && existing_target(package, rels, r)) ++pres_props;
    if (pres_props != 1) push(PML003, std::to_string(pres_props) + " presProps relationship(s)");

    if (p.slide_size) {
        const std::int64_t cx = p.slide_size->cx;
        const std::int64_t cy = p.slide_size->cy;
        if (cx < SLIDE_EXTENT_MIN_EMU || cx > SLIDE_EXTENT_MAX_EMU) push(PML010, "sldSz/@cx is " + std::to_string(cx));
        if (cy < SLIDE_EXTENT_MIN_EMU || cy > SLIDE_EXTENT_MAX_EMU) push(PML010, "sldSz/@cy is " + std::to_string(cy));
        if (p.slide_size_type) {
            const std::string& type = *p.slide_size_type;
            double ratio = 0;
            if (type == "screen4x3") ratio = 4.0 / 3.0;
            else if (type == "screen16x9") ratio = 16.0 / 9.0;
            else if (type == "screen16x10") ratio = 16.0 / 10.0;
            if (ratio != 0) {
                const double d = cy > 1 ? static_cast<double>(cy) : 1.0;
                const double diff = static_cast<double>(cx) / d - ratio;
                if (diff > RATIO_TOLERANCE || diff < -RATIO_TOLERANCE)
                    push(PML011, "sldSz/@type is " + shown(type) + " but cx:cy is " + std::to_string(cx) + ":" +
                                     std::to_string(cy));
            }
        }
    }

    std::unordered_map<std::uint32_t, std::size_t, vantrell_core::hash::NumberHasher> slide_ids;
    for (const pres::SlideId& s : p.slides) {
        const std::string where = byte_at(s.offset);
        if (!s.id) {
            push_at(PML004, "sldId has no numeric id", where);
        } else {
            const std::uint32_t id = *s.id;
            if (id < SLIDE_ID_MIN || id >= MASTER_ID_MIN) push_at(PML004, "sldId/@id is " + std::to_string(id), where);
            auto [it, fresh] = slide_ids.try_emplace(id, s.offset);
            if (!fresh) {
                push_at(PML005, "sldId/@id " + std::to_string(id) + " repeats the id at byte " + std::to_string(it->second),
                        where);
                it->second = s.offset;
            }
        }
        const opc::Relationship* r = rels.get(s.rel_id);
        if (!r) {
            push_at(PML006, "sldId r:id " + shown(s.rel_id) + " is not a relationship of the presentation", where);
            continue;
        }
        const auto& [target, ct] = targets.of(*r);
        if (!target) {
            push_at(PML006,
                    "sldId r:id " + shown(s.rel_id) + " targets " + shown(r->target) + ", which does not exist",
                    where);
            continue;
        }
        if (RelKind::of(r->type) != RelKind::slide)
            push_at(PML007, "relationship " + shown(s.rel_id) + " is not of the slide type", where);
        if (ct && !iequal(*ct, SLIDE_CT))
            sink.push(Finding(PML007, "content type is " + shown(*ct)).in_part(*target));
    }

    std::unordered_map<std::uint32_t, std::size_t, vantrell_core::hash::NumberHasher> master_ids;
    for (const pres::MasterId& m : p.masters) {
        const std::string where = byte_at(m.offset);
        if (m.id) {
            const std::uint32_t id = *m.id;
            if (id < MASTER_ID_MIN) push_at(PML008, "sldMasterId/@id is " + std::to_string(id), where);
            auto [it, fresh] = master_ids.try_emplace(id, m.offset);
            if (!fresh) {
                push_at(PML009,
                        "sldMasterId/@id " + std::to_string(id) + " repeats the id at byte " + std::to_string(it->second),
                        where);
                it->second = m.offset;
            }
        }
        typed_target(targets, rels, part, m.rel_id, RelKind::slideMaster, SLIDE_MASTER_CT, "sldMasterId", where, sink);
    }
    if (p.notes_master)
        typed_target(targets, rels, part, *p.notes_master, RelKind::notesMaster, NOTES_MASTER_CT,
                     "notesMasterId", "notesMasterIdLst", sink);
    if (p.handout_master)
        typed_target(targets, rels, part, *p.handout_master, RelKind::handoutMaster, HANDOUT_MASTER_CT,
                     "handoutMasterId", "handoutMasterIdLst", sink);

    const bool notes_master_rel = std::any_of(rels.relationships.begin(), rels.relationships.end(),
                                              [](const opc::Relationship& r) {
                                                  return RelKind::of(r.type) == RelKind::notesMaster;
                                              });
    if (notes_master_rel && !p.notes_master)
        push(PML013, "a notesMaster relationship exists but notesMasterIdLst is absent");
}

bool has_kind(const opc::Relationships& rels, RelKind kind) {
    return std::any_of(rels.relationships.begin(), rels.relationships.end(),
                       [kind](const opc::Relationship& r) { return RelKind::of(r.type) == kind; });
}

// Kinds that belong to the package or the presentation, never to a slide,
// layout, master or notes part.
bool forbidden_kind(RelKind kind) noexcept {
    switch (kind) {
    case RelKind::officeDocument:
    case RelKind::presProps:
    case RelKind::viewProps:
    case RelKind::tableStyles:
    case RelKind::coreProperties:
    case RelKind::extendedProperties:
    case RelKind::customProperties:
        return true;
    default:
        return false;
    }
}

void check_forbidden_kinds(std::string_view part, const opc::Relationships& rels, Sink& sink) {
    std::optional<std::string> rels_name;
    for (const opc::Relationship& r : rels.relationships) {
        if (!forbidden_kind(RelKind::of(r.type))) continue;
        if (!rels_name) rels_name = opc::rels_part_name(part);
        sink.push(Finding(PML023, "relationship " + shown(r.id) + " has type " + shown(r.type))
                      .in_part(*rels_name));
    }
}

// The element walk and the relationship checks of one part; the walk's error.
xml::Status walk_part(pkg::Package& package, std::string_view part, std::string_view expected_root,
                      xml::Reader& reader, Sink& sink);

} // namespace

void check_typed_target(pkg::Package& package, const opc::Relationships& rels, std::string_view source,
                        std::string_view rel_id, RelKind expected, std::string_view expected_content_type,
                        std::string_view element, const std::string& location, Sink& sink) {
    Targets targets(package, rels);
    typed_target(targets, rels, source, rel_id, expected, expected_content_type, element, location, sink);
}

namespace {

void typed_target(Targets& targets, const opc::Relationships& rels, std::string_view source, std::string_view rel_id,
                  RelKind expected, std::string_view expected_content_type, std::string_view element,
                  const std::string& location, Sink& sink) {
    const std::string elem(element);
    const std::string id = shown(rel_id);
    const opc::Relationship* r = rels.get(rel_id);
    if (!r) {
        sink.push(Finding(PML021, elem + " r:id " + id + " is not a relationship of the presentation")
                      .in_part(source)
                      .at(location));
        return;
    }
    const auto& [target, ct] = targets.of(*r);
    if (!target) {
        sink.push(Finding(PML021, elem + " r:id " + id + " targets " + shown(r->target) + ", which does not exist")
                      .in_part(source)
                      .at(location));
        return;
    }
    if (RelKind::of(r->type) != expected)
        sink.push(Finding(PML021, elem + " relationship " + id + " has type " + shown(r->type))
                      .in_part(source)
                      .at(location));
    if (ct && !iequal(*ct, expected_content_type))
        sink.push(Finding(PML021, elem + " target has content type " + shown(*ct)).in_part(*target));
}

} // namespace

std::optional<ExpectedRoot> expected_root(std::optional<std::string_view> ct) {
    if (!ct) return std::nullopt;
    std::string_view prepared = *ct;
    if (const std::size_t semi = prepared.find(';'); semi != std::string_view::npos)
        prepared = prepared.substr(0, semi);
    const RootRow* row = row_of(enc::trim(prepared));
    if (!row) return std::nullopt;
    return ExpectedRoot{row->ns, row->local};
}

xml::Status examine(pkg::Package& package, std::string_view part, const ExpectedRoot& expected,
                    xml::Reader& reader, const xml::Start& root, Sink& sink) {
    if (!root.is(expected.ns, expected.local))
        sink.push(Finding(PML014, "root element is " + shown(root.name.qualified()) + ", expected " +
                                      (expected.ns == xml::ns::DML ? "a" : "p") + ":" + std::string(expected.local))
                      .in_part(part));
    if (expected.ns != xml::ns::PML) return {};
    return walk_part(package, part, expected.local, reader, sink);
}

void check_part(pkg::Package& package, std::string_view part, std::string_view expected_root, xml::Reader& reader,
                Sink& sink) {
    (void)walk_part(package, part, expected_root, reader, sink);
}

namespace {

xml::Status walk_part(pkg::Package& package, std::string_view part, std::string_view expected_root,
                      xml::Reader& reader, Sink& sink) {
    std::shared_ptr<const opc::Relationships> rels;
    if (auto loaded = package.rels(part)) rels = std::move(*loaded);

    // One node per shape id: taken from a local arena, not the heap, and
    // all released together when the part is done.
    std::array<std::byte, 4096> first_block;
    std::pmr::monotonic_buffer_resource arena(first_block.data(), first_block.size());
    std::pmr::unordered_map<std::uint32_t, std::uint64_t, vantrell_core::hash::NumberHasher> shape_ids(&arena);
    std::vector<std::pair<std::string, std::uint64_t>> layout_refs;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> layout_ids;

    std::string scratch; // a decoded value, when decoding changes it
    bool in_fallback = false;
    auto visit = [&](xml::Reader& r, const xml::Start& s) {
        if (s.ns == xml::ns::PML) {
            if (s.name.local == "sldLayoutId") {
                if (auto a = r.find_attr(s, xml::ns::REL, "id"))
                    layout_refs.emplace_back(xml::unescape_attr(a->value), s.offset);
                if (auto id = numeric_id(r, s)) layout_ids.emplace_back(*id, s.offset);
            } else if (s.name.local == "cNvPr" && !in_fallback) {
                // A Fallback repeats what its Choice shows, ids included:
                // PowerPoint gives an object's fallback picture id 0 or its
                // frame's own id. Those ids belong to no shape of the part.
                if (auto id = numeric_id(r, s)) {
                    auto [it, fresh] = shape_ids.try_emplace(*id, s.offset);
                    if (!fresh) {
                        sink.push(Finding(PML019, "cNvPr/@id " + std::to_string(*id) + " repeats the id at byte " +
                                                              std::to_string(it->second))
                                              .in_part(part)
                                              .at_byte(s.offset));
                        it->second = s.offset;
                    }
                }
            }
        }
        // Only a prefixed attribute can be in the relationships namespace;
        // most elements have none, and the reader knows.
        if (!r.has_prefixed_attr(s)) return;
        for (xml::Attrs it(r, s); auto a = it.next();) {
            if (a->ns != xml::ns::REL || a->value.empty()) continue;
            const std::string_view value = xml::attr_value(a->value, scratch);
            if (rels && rels->get(value)) continue;
            sink.push(Finding(PML020, "r:" + shown(xml::Name{{}, a->name.local}.qualified()) + " = " + shown(value) +
                                                  " names no relationship of this part")
                                  .in_part(part)
                                  .at_byte(s.offset));
        }
    };
    // An error ends the walk; what it found up to there still counts. Its
    // findings go straight to the sink, which keeps no more than the cap.
    const xml::Status walked = walk_all(reader, visit, &in_fallback);

    for (const auto& [id, offset] : layout_ids)
        if (id < MASTER_ID_MIN)
            sink.push(Finding(PML008, "sldLayoutId/@id is " + std::to_string(id)).in_part(part).at_byte(offset));
    if (!rels) return walked;

    if (expected_root == "sld") {
        if (!has_kind(*rels, RelKind::slideLayout))
            sink.push(Finding(PML015, "slide has no slideLayout relationship").in_part(part));
    } else if (expected_root == "sldLayout") {
        if (!has_kind(*rels, RelKind::slideMaster))
            sink.push(Finding(PML016, "slide layout has no slideMaster relationship").in_part(part));
    } else if (expected_root == "notes") {
        if (!has_kind(*rels, RelKind::notesMaster))
            sink.push(Finding(PML018, "notes slide has no notesMaster relationship").in_part(part));
    } else if (expected_root == "sldMaster") {
        Targets targets(package, *rels);
        const Targets::Target none;
        for (const auto& [rel_id, offset] : layout_refs) {
            const opc::Relationship* r = rels->get(rel_id);
            const auto& [target, ct] = r ? targets.of(*r) : none;
            if (!target) {
                sink.push(Finding(PML017, "sldLayoutId r:id " + shown(rel_id) + " does not resolve to a part")
                              .in_part(part)
                              .at_byte(offset));
                continue;
            }
            if (ct && !iequal(*ct, SLIDE_LAYOUT_CT))
                sink.push(Finding(PML017, "sldLayoutId target has content type " + shown(*ct)).in_part(*target));
        }
    } else if (expected_root != "notesMaster" && expected_root != "handoutMaster") {
        return walked;
    }
    check_forbidden_kinds(part, *rels, sink);
    return walked;
}

} // namespace

void run(pkg::Package& package, Sink& sink) {
    {
        const auto refunding = sink.refunding();
        check_presentation(package, sink);
    }
    // Each part's examination is made in its parse, which the XML stage
    // asks for first in a whole run.
    Reading& reading = sink.reading();
    for (std::size_t index = 0; index < package.parts().size(); ++index) {
        sink.poll();
        const auto refunding = sink.refunding();
        Reading::Examination examined = reading.examination(index);
        sink.count_part(examined.parts_checked);
        for (Finding& f : examined.findings) sink.push(std::move(f));
        if (examined.truncated) sink.dropped(examined.dropped_errors);
    }
}

} // namespace vantrell_check::pml
