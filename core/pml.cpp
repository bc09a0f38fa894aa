#include "core/pml.h"

#include <array>
#include <charconv>
#include <limits>
#include <utility>

#include "core/encoding.h"

namespace vantrell_core::pml {

namespace {

struct Named {
    std::string_view name;
    RelKind::Value kind;
};

// Names that follow the officeDocument relationships namespace and "/".
constexpr Named OFFICE_NAMES[] = {
    {"officeDocument", RelKind::officeDocument},
    {"slide", RelKind::slide},
    {"slideLayout", RelKind::slideLayout},
    {"slideMaster", RelKind::slideMaster},
    {"notesSlide", RelKind::notesSlide},
    {"notesMaster", RelKind::notesMaster},
    {"handoutMaster", RelKind::handoutMaster},
    {"presProps", RelKind::presProps},
    {"viewProps", RelKind::viewProps},
    {"tableStyles", RelKind::tableStyles},
    {"theme", RelKind::theme},
    {"themeOverride", RelKind::themeOverride},
    {"chart", RelKind::chart},
    {"chartUserShapes", RelKind::chartUserShapes},
    {"diagramData", RelKind::diagramData},
    {"diagramLayout", RelKind::diagramLayout},
    {"diagramQuickStyle", RelKind::diagramQuickStyle},
    {"diagramColors", RelKind::diagramColors},
    // A pre-release spelling of the diagram drawing type.
    {"diagramDrawing", RelKind::diagramDrawing},
    {"image", RelKind::image},
    {"audio", RelKind::audio},
    {"video", RelKind::video},
    {"oleObject", RelKind::oleObject},
    {"package", RelKind::package},
    {"hyperlink", RelKind::hyperlink},
    {"comments", RelKind::comments},
    {"commentAuthors", RelKind::commentAuthors},
    {"tags", RelKind::tags},
    {"extended-properties", RelKind::extendedProperties},
    {"extendedProperties", RelKind::extendedProperties},
    {"custom-properties", RelKind::customProperties},
    {"customProperties", RelKind::customProperties},
};

constexpr std::pair<std::string_view, RelKind::Value> MICROSOFT_TYPES[] = {
    {rel_type::MODERN_COMMENTS, RelKind::modernComments},
    {rel_type::MODERN_AUTHORS, RelKind::modernAuthors},
    {rel_type::DIAGRAM_DRAWING, RelKind::diagramDrawing},
    {rel_type::CHART_EX, RelKind::chartEx},
    {rel_type::MEDIA, RelKind::media},
};

char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

template <class T>
std::optional<T> integer(std::string_view s) noexcept {
    s = value::trim(s);
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        // "+-1" is not a number.
        if (!s.empty() && s.front() == '-') return std::nullopt;
    }
    if (s.empty()) return std::nullopt;
    T out{};
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
    return out;
}

} // namespace

RelKind RelKind::of(std::string_view type) noexcept {
    std::string_view rest;
    if (type.starts_with(rel_ns::TRANSITIONAL)) rest = type.substr(rel_ns::TRANSITIONAL.size());
    else if (type.starts_with(rel_ns::STRICT)) rest = type.substr(rel_ns::STRICT.size());
    if (!rest.empty() && rest.front() == '/') {
        rest.remove_prefix(1);
        for (const Named& n : OFFICE_NAMES) {
            if (n.name == rest) return n.kind;
        }
        return other;
    }
    if (type == rel_type::CORE_PROPERTIES) return coreProperties;
    if (type == rel_type::THUMBNAIL) return thumbnail;
    for (const auto& [uri, kind] : MICROSOFT_TYPES) {
        if (uri == type) return kind;
    }
    return other;
}

bool content_type::is_presentation_main(std::string_view ct) noexcept {
    static constexpr std::array<std::string_view, 7> MAIN{
        "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml",
        "application/vnd.openxmlformats-officedocument.presentationml.slideshow.main+xml",
        "application/vnd.openxmlformats-officedocument.presentationml.template.main+xml",
        "application/vnd.ms-powerpoint.presentation.macroEnabled.main+xml",
        "application/vnd.ms-powerpoint.slideshow.macroEnabled.main+xml",
        "application/vnd.ms-powerpoint.template.macroEnabled.main+xml",
        "application/vnd.ms-powerpoint.addin.macroEnabled.main+xml",
    };
    for (std::string_view m : MAIN) {
        if (iequal(ct, m)) return true;
    }
    return false;
}

std::string_view value::trim(std::string_view s) noexcept { return encoding::trim(s, encoding::Space::xml); }

std::optional<bool> value::boolean(std::string_view s) noexcept {
    s = trim(s);
    if (s == "1" || s == "true") return true;
    if (s == "0" || s == "false") return false;
    return std::nullopt;
}

std::optional<std::int64_t> value::int64(std::string_view s) noexcept { return integer<std::int64_t>(s); }

std::optional<std::uint32_t> value::uint32(std::string_view s) noexcept {
    // from_chars into an unsigned type accepts no "-", so "-0" is refused too.
    return integer<std::uint32_t>(s);
}

std::optional<std::uint64_t> value::uint64(std::string_view s) noexcept { return integer<std::uint64_t>(s); }

} // namespace vantrell_core::pml
