// Generation of the package parts of a written deck.
//
// Every XML part is text concatenated from fixed templates and escaped
// values (write/xml.h); no XML library is involved. `build` produces the
// complete, ordered part list that `Presentation::to_bytes` zips. Nothing
// here keeps state between calls: everything a build accumulates (media,
// relationship ids, content-type overrides) lives in values it owns.
#pragma once

#include "write/style.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrell_write::parts {

// One generated part. `name` has no leading slash.
struct PartOut {
    std::string name;
    Bytes data;
    bool deflate = true; // false: stored (media)
};

struct Relationship {
    std::string id;
    std::string type;
    std::string target;

    friend bool operator==(const Relationship&, const Relationship&) = default;
};

// The relationships of one source part while it is generated.
struct Rels {
    std::vector<Relationship> entries;
    std::uint64_t next = 1;

    // Appends a relationship and returns its id: rId1, rId2, ... in order.
    std::string add(std::string type, std::string target);
    // The id of an existing entry with this type and target, if any.
    const std::string* find(std::string_view type, std::string_view target) const;
};

// A relationships part. A target containing "://", or any hyperlink, is
// written with the External target mode.
PartOut rels_part(std::string name, const std::vector<Relationship>& entries);

// Relationship types: the officeDocument prefix plus a suffix such as "slide".
std::string rel_type(std::string_view suffix);
inline constexpr std::string_view REL_CORE_PROPERTIES =
    "http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties";
// PresentationML content types: the common prefix plus e.g. "slide+xml".
std::string pml_type(std::string_view suffix);
inline constexpr std::string_view CT_THEME = "application/vnd.openxmlformats-officedocument.theme+xml";
inline constexpr std::string_view CT_CORE = "application/vnd.openxmlformats-package.core-properties+xml";
inline constexpr std::string_view CT_EXTENDED =
    "application/vnd.openxmlformats-officedocument.extended-properties+xml";

// The XML declaration and line feed that open every XML part.
inline constexpr std::string_view DECLARATION =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
// The a, r and p namespace declarations of PresentationML roots, with a
// leading space.
inline constexpr std::string_view ARP_NS =
    " xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\""
    " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\""
    " xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"";
// Opens every p:spTree written here.
inline constexpr std::string_view GROUP_HEADER =
    "<p:nvGrpSpPr><p:cNvPr id=\"1\" name=\"\"/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr><p:grpSpPr>"
    "<a:xfrm><a:off x=\"0\" y=\"0\"/><a:ext cx=\"0\" cy=\"0\"/><a:chOff x=\"0\" y=\"0\"/>"
    "<a:chExt cx=\"0\" cy=\"0\"/></a:xfrm></p:grpSpPr>";
static_assert(GROUP_HEADER.size() == 204);

// The placeholder boxes and column gap of a deck, from its slide size. The
// arithmetic saturates: a huge slide size gives huge boxes, never wrapped ones.
struct Geometry {
    Rect title, body, centred_title, subtitle, full_body;
    std::int64_t gap = 0;

    static Geometry compute(std::int64_t cx, std::int64_t cy);
};

// One embedded font as font embedding produces it.
struct FontPart {
    std::string family;
    std::array<std::uint8_t, 10> panose{};
    bool bold = false;
    bool italic = false;
    bool fixed_pitch = false;
    Bytes eot; // Embedded OpenType bytes
};

// The pitch-and-family value written for an embedded font.
std::uint32_t pitch_family(const FontPart& font);

// One picture of the package: ppt/media/image{n}.{ext}.
struct Media {
    std::string name;
    std::span<const std::uint8_t> data; // borrowed from the deck
    ImageFormat format;
};

// What one build accumulates across parts.
struct Ctx {
    const Presentation& deck;
    std::vector<Media> media;
    std::uint64_t pictures = 0; // slide pictures so far (backgrounds not counted)

    explicit Ctx(const Presentation& d) : deck(d) {}

    // Records a picture; its relative target ("../media/image{n}.{ext}"), or
    // none for data of no recognised format (then nothing is recorded).
    std::optional<std::string> add_media(std::span<const std::uint8_t> data);
    // One p:bg; a picture background adds its media and relationship first.
    Result<std::string> background_xml(const Background* background, Rels& rels);
};

// The parts list under construction with its content-type overrides.
struct Package {
    std::vector<PartOut> parts;
    std::vector<std::pair<std::string, std::string>> overrides; // "/name", type

    // Adds an XML part and its override.
    void add_xml(std::string name, std::string content_type, std::string_view xml);
    void add_rels(std::string name, const Rels& rels) { parts.push_back(rels_part(std::move(name), rels.entries)); }
};

// Shape and text writers shared by the master, layouts and slides.
std::string xfrm(const Rect& r);
std::string placeholder_sp(std::uint32_t id, std::string_view name, std::string_view ph,
                           const std::optional<Rect>& box, std::string_view body_props,
                           std::string_view paragraphs);
std::string plain_paragraph(std::string_view text, std::optional<std::uint32_t> size_pt);
std::string paragraphs_xml(const std::vector<Paragraph>& paragraphs, bool explicit_bullets,
                           Rels& rels, bool inverted);

// One p:pic; the picture counts towards the build's picture numbers and adds
// its media part and relationship. Unrecognised data fails with `Image`.
Result<std::string> picture_xml(Ctx& ctx, Rels& rels, std::uint32_t id, std::span<const std::uint8_t> data,
                                std::string_view name, const std::optional<std::string>& description,
                                const Rect& rect);
// One p:graphicFrame of equal-width columns; a row whose cell count differs
// from the first row's fails with `TableRow`. A table without rows or cells
// gives the empty text: it has nothing to show.
Result<std::string> table_xml(std::uint32_t id, const TableRows& rows, bool header, const Rect& rect,
                              std::span<const std::int64_t> heights, std::uint32_t size_pt);

// Package-level parts.
std::string package_rels_xml();
std::string core_xml(const Metadata& metadata);
// `slides`, `notes` and `hidden` count planned slides.
std::string app_xml(std::int64_t cx, std::int64_t cy, std::uint64_t slides, std::uint64_t notes,
                    std::uint64_t hidden);
std::string content_types_xml(const std::vector<std::pair<std::string, std::string>>& overrides,
                              bool has_fonts, const std::vector<Media>& media);

// Presentation-level parts; `slides` is the number of planned slides.
std::string presentation_xml(const Presentation& deck, std::uint64_t slides, bool notes,
                             const std::vector<FontPart>& fonts);
std::vector<Relationship> presentation_rels(std::uint64_t slides, bool notes, std::size_t fonts);
std::string pres_props_xml();
std::string view_props_xml();
std::string table_styles_xml();
std::string theme_xml(const Theme& theme);
Result<std::string> slide_master_xml(Ctx& ctx, const Geometry& g, Rels& rels);
Result<std::string> slide_layout_xml(Ctx& ctx, const Geometry& g, Layout layout, Rels& rels);
std::string notes_master_xml(const Theme& theme);

// The whole package, in its final order; the first error ends the build.
Result<std::vector<PartOut>> build(const Presentation& deck);

} // namespace vantrell_write::parts
