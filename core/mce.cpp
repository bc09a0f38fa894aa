#include "core/mce.h"

#include <algorithm>

namespace vantrell_core::mce {

bool understood(std::uint16_t ns_id) noexcept {
    switch (ns_id) {
    case xml::ns::PML:
    case xml::ns::DML:
    case xml::ns::REL:
    case xml::ns::EXT_PROPS:
    case xml::ns::VT:
    case xml::ns::CHART:
    case xml::ns::DIAGRAM:
    case xml::ns::PICTURE:
    case xml::ns::DIAGRAM_DRAWING:
    case xml::ns::P14:
    case xml::ns::P188:
    case xml::ns::CHART_DRAWING:
        return true;
    default:
        return false;
    }
}

bool choice_selected(const xml::Reader& reader, const xml::Start& choice) noexcept {
    // Requires is unqualified; its prefixes resolve in the Choice's own scope,
    // which is the reader's scope right after the Choice's start event.
    const auto requires_attr = reader.find_attr(choice, xml::ns::NONE, "Requires");
    if (!requires_attr) return true;
    std::string_view rest = requires_attr->value;
    for (;;) {
        const auto from = rest.find_first_not_of(" \t\r\n");
        if (from == std::string_view::npos) return true;
        rest.remove_prefix(from);
        const auto len = std::min(rest.find_first_of(" \t\r\n"), rest.size());
        const std::string_view prefix = rest.substr(0, len);
        rest.remove_prefix(len);
        const auto id = reader.lookup(prefix);
        if (!id || !understood(*id)) return false;
    }
}

} // namespace vantrell_core::mce
