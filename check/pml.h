// PresentationML rules: the presentation part, part roots, shape ids and
// references of the slide family.
//
// Two phases. The first follows the package's officeDocument relationship to
// the presentation part and checks its lists, ids, sizes and the parts they
// reach. The second visits every part whose content type names a
// PresentationML kind (or a theme or table styles) and checks it on its own,
// so a package without a presentation part still has its slides examined.
// That examination (`examine`) is made by the run's reading in the one parse
// of the part, which the XML stage asks for first in a whole run; the stage
// pushes the findings it holds.
//
// The element walk recurses once per nesting level; the XML reader refuses
// documents nested deeper than xml::MAX_DEPTH, which bounds the recursion and
// ends the walk of a hostile part with an error that is dropped (malformed
// parts belong to the XML stage).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check/check.h"
#include "core/mce.h"
#include "core/opc.h"
#include "core/pml.h"
#include "core/xml.h"

namespace vantrell_check::pml {

inline constexpr std::array<Rule, 23> PRESENTATION_RULES{{
    {"PML001", "Part 1 13.3.6", "The Presentation part's root element is p:presentation", Severity::error},
    {"PML002", "Part 1 13.3.10", "The presentation lists at least one slide master", Severity::error},
    {"PML003", "Part 1 13.3.7", "Exactly one Presentation Properties part is related from the Presentation part", Severity::error},
    {"PML004", "Part 1 19.7.13", "sldId/@id lies in [256, 2147483647]", Severity::error},
    {"PML005", "Part 1 19.2.1.33", "sldId/@id values are unique", Severity::error},
    {"PML006", "Part 1 13.3.8", "Every sldId/@r:id resolves to a Slide part", Severity::error},
    {"PML007", "Part 1 13.3.8", "Slide relationship targets have the slide content type", Severity::error},
    {"PML008", "Part 1 19.7.16", "sldMasterId/@id and sldLayoutId/@id are at least 2147483648", Severity::error},
    {"PML009", "Part 1 19.2.1.36", "Master and layout ids are unique throughout the presentation", Severity::error},
    {"PML010", "Part 1 19.7.17", "sldSz/@cx and @cy lie in [914400, 51206400]", Severity::error},
    {"PML011", "Part 1 19.7.18", "sldSz/@type agrees with the aspect ratio of cx and cy", Severity::warning},
    {"PML012", "Part 1 19.2.1.22", "The presentation carries a notesSz element", Severity::error},
    {"PML013", "Part 1 13.3.4", "A notes master relationship and notesMasterIdLst appear together", Severity::warning},
    {"PML014", "Part 1 13.3", "Each PresentationML part's root element matches its content type", Severity::error},
    {"PML015", "Part 1 13.3.9", "Every slide has a slideLayout relationship", Severity::error},
    {"PML016", "Part 1 13.3.10", "Every slide layout has a slideMaster relationship", Severity::error},
    {"PML017", "Part 1 13.3.9", "Every sldLayoutId/@r:id in a master resolves to a Slide Layout part", Severity::error},
    {"PML018", "Part 1 13.3.4", "Every notes slide has a notesMaster relationship", Severity::error},
    {"PML019", "Part 1 20.1.2.2.8", "cNvPr/@id values are unique within a part", Severity::error},
    {"PML020", "Part 1 22.8.2.1", "Every r:id, r:embed, r:link and diagram reference names a relationship of its part", Severity::error},
    {"PML021", "Part 1 13.3.6", "sldMasterId, notesMasterId and handoutMasterId relationships resolve to parts of the right content type", Severity::error},
    {"PML022", "Part 1 13.3.8", "The presentation has at least one slide", Severity::info},
    {"PML023", "Part 1 13.3", "Slide-family parts relate only to the part kinds the specification lists", Severity::warning},
}};

// Every element below the one the reader has just entered, parents before
// children in document order, with markup compatibility resolved, as
// `visit(reader, start)`. The first XML error ends the whole walk and is
// returned. `*in_fallback`, when given, tells while `visit` runs whether the
// element lies within a taken mc:Fallback branch; it is written only where
// that changes, so a visitor that seldom asks pays nothing per element. The
// walk is a flat loop over the reader's events (a call per element was a
// good share of the checker's own cost); only open mc:AlternateContent
// elements are tracked.
template <class Visit>
vantrell_core::xml::Status walk_all(vantrell_core::xml::Reader& reader, Visit& visit, bool* in_fallback = nullptr) {
    namespace xml = vantrell_core::xml;
    struct Alternate {
        std::size_t depth; // the reader's depth with the element open
        bool taken;        // a branch has been chosen
    };
    std::vector<Alternate> alternates; // bounded by the reader's nesting limit
    // The depth of the outermost open mc:AlternateContent whose Fallback was
    // taken, 0 for none: everything walked until it closes is in a Fallback.
    std::size_t fallback_depth = 0;
    bool unused = false;
    bool& fallback = in_fallback ? *in_fallback : unused;
    fallback = false;
    const std::size_t floor = reader.depth();
    for (;;) {
        const xml::Event ev = reader.next();
        switch (ev.kind) {
        case xml::EventKind::start: {
            const std::size_t depth = reader.depth();
            if (!alternates.empty() && alternates.back().depth + 1 == depth) {
                // A branch of an mc:AlternateContent: the first Choice whose
                // namespaces are understood, else the Fallback, is walked as
                // if its children stood in its place; the others are skipped.
                Alternate& alternate = alternates.back();
                bool take = false;
                if (!alternate.taken) {
                    if (vantrell_core::mce::detail::is_mc(ev.start, "Choice")) {
                        take = vantrell_core::mce::choice_selected(reader, ev.start);
                    } else if (vantrell_core::mce::detail::is_mc(ev.start, "Fallback")) {
                        take = true;
                        if (fallback_depth == 0) {
                            fallback_depth = alternate.depth;
                            fallback = true;
                        }
                    }
                }
                if (take) alternate.taken = true;
                else if (auto st = reader.skip_to_depth(depth - 1); !st) return st;
                break;
            }
            if (vantrell_core::mce::detail::is_mc(ev.start, "AlternateContent")) {
                alternates.push_back({depth, false});
                break;
            }
            visit(reader, std::as_const(ev.start));
            break;
        }
        case xml::EventKind::end:
            if (reader.depth() < floor) return {};
            if (!alternates.empty() && reader.depth() < alternates.back().depth) {
                if (alternates.back().depth == fallback_depth) {
                    fallback_depth = 0;
                    fallback = false;
                }
                alternates.pop_back();
            }
            break;
        case xml::EventKind::text:
            break;
        case xml::EventKind::eof:
            return std::unexpected(xml::XmlError{"unexpected end of document", ev.offset});
        case xml::EventKind::error:
            return std::unexpected(ev.error);
        }
    }
}

// Checks that relationship `rel_id` of `rels` (the relationships of part
// `source`) reaches a part of the expected kind and content type (PML021).
void check_typed_target(vantrell_core::package::Package& package, const vantrell_core::opc::Relationships& rels,
                        std::string_view source, std::string_view rel_id, vantrell_core::pml::RelKind expected,
                        std::string_view expected_content_type, std::string_view element,
                        const std::string& location, Sink& sink);

// The element walk and the relationship checks of one PresentationML part,
// the reader positioned just after its root's start tag. `expected_root` is
// the local name its content type calls for.
void check_part(vantrell_core::package::Package& package, std::string_view part, std::string_view expected_root,
                vantrell_core::xml::Reader& reader, Sink& sink);

// The root element the part walk expects of a part, from its content type.
struct ExpectedRoot {
    std::uint16_t ns;       // vantrell_core::xml::ns::PML or ::DML
    std::string_view local; // static text
};

// From the part's content type; none for a part the part walk passes over
// (no content type, or one it does not list).
std::optional<ExpectedRoot> expected_root(std::optional<std::string_view> content_type);

// The part walk's examination of one part, `root` being the start element
// `reader` has just returned, the first of the part: the root check, then for
// the PresentationML kinds `check_part`. Returns the XML error that ended the
// element walk, if one did; the findings made before it are reported anyway.
vantrell_core::xml::Status examine(vantrell_core::package::Package& package, std::string_view part,
                                   const ExpectedRoot& expected, vantrell_core::xml::Reader& reader,
                                   const vantrell_core::xml::Start& root, Sink& sink);

// The presentation part, then every PresentationML part.
void run(vantrell_core::package::Package& package, Sink& sink);

} // namespace vantrell_check::pml
