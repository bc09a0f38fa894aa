// PresentationML vocabulary: relationship kinds, main content types, and the
// value rules of the attributes the part parsers read.
//
// Relationship types come in a Transitional and a Strict spelling of the
// officeDocument relationships namespace; `RelKind::of` folds both into one
// kind so callers never compare URIs themselves. Matching is exact and
// case-sensitive, as the relationship type is a URI.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrell_core::pml {

// Namespaces of relationship types.
namespace rel_ns {
inline constexpr std::string_view TRANSITIONAL =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view STRICT = "http://purl.oclc.org/ooxml/officeDocument/relationships";
inline constexpr std::string_view PACKAGE = "http://schemas.openxmlformats.org/package/2006/relationships";
} // namespace rel_ns

// Relationship types written by one form only, or by Microsoft extensions.
namespace rel_type {
inline constexpr std::string_view SLIDE =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/slide";
inline constexpr std::string_view SLIDE_STRICT = "http://purl.oclc.org/ooxml/officeDocument/relationships/slide";
inline constexpr std::string_view OFFICE_DOCUMENT =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
inline constexpr std::string_view OFFICE_DOCUMENT_STRICT =
    "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument";
inline constexpr std::string_view CORE_PROPERTIES =
    "http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties";
inline constexpr std::string_view THUMBNAIL =
    "http://schemas.openxmlformats.org/package/2006/relationships/metadata/thumbnail";
inline constexpr std::string_view MODERN_COMMENTS =
    "http://schemas.microsoft.com/office/2018/10/relationships/comments";
inline constexpr std::string_view MODERN_AUTHORS =
    "http://schemas.microsoft.com/office/2018/10/relationships/authors";
inline constexpr std::string_view DIAGRAM_DRAWING =
    "http://schemas.microsoft.com/office/2007/relationships/diagramDrawing";
inline constexpr std::string_view CHART_EX = "http://schemas.microsoft.com/office/2014/relationships/chartEx";
inline constexpr std::string_view MEDIA = "http://schemas.microsoft.com/office/2007/relationships/media";
} // namespace rel_type

class RelKind {
public:
    enum Value : std::uint8_t {
        officeDocument,
        slide,
        slideLayout,
        slideMaster,
        notesSlide,
        notesMaster,
        handoutMaster,
        presProps,
        viewProps,
        tableStyles,
        theme,
        themeOverride,
        chart,
        chartEx,
        chartUserShapes,
        diagramData,
        diagramLayout,
        diagramQuickStyle,
        diagramColors,
        diagramDrawing,
        image,
        audio,
        video,
        media,
        oleObject,
        package,
        hyperlink,
        comments,
        commentAuthors,
        modernComments,
        modernAuthors,
        tags,
        coreProperties,
        extendedProperties,
        customProperties,
        thumbnail,
        other,
    };

    constexpr RelKind(Value v = other) noexcept : value_(v) {}
    constexpr operator Value() const noexcept { return value_; }
    constexpr Value value() const noexcept { return value_; }

    // The kind of a relationship type URI; `other` when it is none of these.
    static RelKind of(std::string_view type) noexcept;

private:
    Value value_;
};

namespace content_type {
// True for the main-part content types of the presentation, slide show,
// template and their macro-enabled and add-in forms (ASCII case ignored, no
// parameters allowed).
bool is_presentation_main(std::string_view content_type) noexcept;
} // namespace content_type

// Attribute value rules shared by the part parsers. Every function takes the
// decoded attribute text.
namespace value {
// XML white space trimmed from both ends.
std::string_view trim(std::string_view s) noexcept;
// xsd:boolean: "1"/"true" and "0"/"false", surrounding white space allowed.
std::optional<bool> boolean(std::string_view s) noexcept;
// A decimal integer with an optional sign, surrounding white space allowed,
// within the range of the type.
std::optional<std::int64_t> int64(std::string_view s) noexcept;
std::optional<std::uint32_t> uint32(std::string_view s) noexcept;
std::optional<std::uint64_t> uint64(std::string_view s) noexcept;
} // namespace value

} // namespace vantrell_core::pml
