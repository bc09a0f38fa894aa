#include "write/parts.h"

#include "write/fonts.h"
#include "write/layout.h"
#include "write/xml.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace vantrell_write::parts {

namespace {

constexpr std::string_view REL_PREFIX = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
constexpr std::string_view PML_PREFIX = "application/vnd.openxmlformats-officedocument.presentationml.";

// The colour-map attribute lists of p:clrMap and a:overrideClrMapping.
constexpr std::string_view MAP_NORMAL =
    R"(bg1="lt1" tx1="dk1" bg2="lt2" tx2="dk2" accent1="accent1" accent2="accent2" accent3="accent3" accent4="accent4" accent5="accent5" accent6="accent6" hlink="hlink" folHlink="folHlink")";
constexpr std::string_view MAP_INVERTED =
    R"(bg1="dk1" tx1="lt1" bg2="dk2" tx2="lt2" accent1="accent1" accent2="accent2" accent3="accent3" accent4="accent4" accent5="accent5" accent6="accent6" hlink="hlink" folHlink="folHlink")";
constexpr std::string_view MASTER_MAPPING = "<p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr>";

constexpr std::string_view BULLET =
    R"(<a:buClr><a:schemeClr val="accent1"/></a:buClr><a:buFont typeface="Arial" panose="020B0604020202020204" pitchFamily="34" charset="0"/><a:buChar char="&#8226;"/>)";

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

std::int64_t sat_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? I64_MAX : I64_MIN;
    return r;
}

std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? I64_MAX : I64_MIN;
    return r;
}

// v × num / den truncated toward zero, exact and without an intermediate
// overflow for num <= den.
std::int64_t mul_div(std::int64_t v, std::int64_t num, std::int64_t den) {
    return (v / den) * num + (v % den) * num / den;
}

std::string dec(std::int64_t v) { return std::to_string(v); }
std::string dec(std::uint64_t v) { return std::to_string(v); }

Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string prompt(std::string_view text) {
    return "<a:p><a:r><a:rPr lang=\"en-US\"/><a:t>" + xml::text(text) +
           "</a:t></a:r><a:endParaRPr lang=\"en-US\"/></a:p>";
}

// The nine levels of the default and "other" text styles.
std::string default_levels_xml() {
    std::string out;
    for (std::int64_t level = 1; level <= 9; ++level) {
        const std::string l = dec(level);
        out += "<a:lvl" + l + "pPr marL=\"" + dec((level - 1) * 457200) +
               R"(" algn="l" defTabSz="914400" rtl="0" eaLnBrk="1" latinLnBrk="0" hangingPunct="1"><a:defRPr sz="1800" kern="1200"><a:solidFill><a:schemeClr val="tx1"/></a:solidFill><a:latin typeface="+mn-lt"/><a:ea typeface="+mn-ea"/><a:cs typeface="+mn-cs"/></a:defRPr></a:lvl)" +
               l + "pPr>";
    }
    return out;
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += HEX[b >> 4];
        out += HEX[b & 0xF];
    }
    return out;
}

} // namespace

// ---- Relationships -----------------------------------------------------------

std::string rel_type(std::string_view suffix) { return std::string(REL_PREFIX) + std::string(suffix); }
std::string pml_type(std::string_view suffix) { return std::string(PML_PREFIX) + std::string(suffix); }

std::string Rels::add(std::string type, std::string target) {
    std::string id = "rId" + dec(next);
    ++next;
    entries.push_back(Relationship{id, std::move(type), std::move(target)});
    return id;
}

const std::string* Rels::find(std::string_view type, std::string_view target) const {
    for (const Relationship& r : entries)
        if (r.type == type && r.target == target) return &r.id;
    return nullptr;
}

PartOut rels_part(std::string name, const std::vector<Relationship>& entries) {
    std::string out(DECLARATION);
    out += R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)";
    for (const Relationship& r : entries) {
        const bool external = r.target.find("://") != std::string::npos || r.type.ends_with("/hyperlink");
        out += "<Relationship Id=\"" + r.id + "\" Type=\"" + r.type + "\" Target=\"" + xml::attr(r.target) +
               "\"" + (external ? " TargetMode=\"External\"" : "") + "/>";
    }
    out += "</Relationships>";
    return PartOut{std::move(name), to_bytes(out), true};
}

// ---- Geometry, fonts, media ------------------------------------------------------

Geometry Geometry::compute(std::int64_t cx, std::int64_t cy) {
    const std::int64_t m = mul_div(cx, 55, 800);
    const std::int64_t width = sat_sub(sat_sub(cx, m), m);
    Geometry g;
    g.title = {m, 365125, width, 1325563};
    // A short slide leaves the body boxes no room rather than a negative
    // height, which no package may hold.
    g.body = {m, 1825625, width, std::max<std::int64_t>(sat_sub(cy, 2506662), 0)};
    g.centred_title = {m, cy / 6, width, 2387600};
    g.subtitle = {cx / 8, sat_add(cy / 6, 2479675), mul_div(cx, 3, 4), 1655762};
    g.full_body = {m, 457200, width, std::max<std::int64_t>(sat_sub(cy, 1138237), 0)};
    g.gap = cx / 40;
    return g;
}

std::uint32_t pitch_family(const FontPart& font) {
    std::uint32_t family = 0;
    if (font.fixed_pitch) {
        family = 0x30;
    } else if (font.panose[0] == 2) {
        const std::uint8_t serif = font.panose[1];
        family = serif >= 11 && serif <= 15 ? 0x20 : serif >= 2 && serif <= 10 ? 0x10 : 0;
    } else if (font.panose[0] == 3) {
        family = 0x40;
    } else if (font.panose[0] == 4) {
        family = 0x50;
    }
    return family + (font.fixed_pitch ? 1 : 2);
}

std::optional<std::string> Ctx::add_media(std::span<const std::uint8_t> data) {
    auto format = ImageFormat::sniff(data);
    if (!format) return std::nullopt;
    const std::string file = "image" + dec(std::uint64_t{media.size() + 1}) + "." + std::string(format->extension());
    media.push_back(Media{"ppt/media/" + file, data, *format});
    return "../media/" + file;
}

Result<std::string> Ctx::background_xml(const Background* background, Rels& rels) {
    if (background) {
        if (const auto* pic = std::get_if<Background::Picture>(&background->value)) {
            auto target = add_media(pic->data);
            if (!target) return fail(Error::background_image());
            const std::string id = rels.add(rel_type("image"), std::move(*target));
            return style::bg_xml(background, id, deck.theme.inverted);
        }
    }
    return style::bg_xml(background, {}, deck.theme.inverted);
}

void Package::add_xml(std::string name, std::string content_type, std::string_view xml) {
    overrides.emplace_back("/" + name, std::move(content_type));
    parts.push_back(PartOut{std::move(name), to_bytes(xml), true});
}

// ---- Shapes and text -------------------------------------------------------------

std::string xfrm(const Rect& r) {
    return "<a:xfrm><a:off x=\"" + dec(r.x) + "\" y=\"" + dec(r.y) + "\"/><a:ext cx=\"" + dec(r.cx) +
           "\" cy=\"" + dec(r.cy) + "\"/></a:xfrm>";
}

std::string placeholder_sp(std::uint32_t id, std::string_view name, std::string_view ph,
                           const std::optional<Rect>& box, std::string_view body_props,
                           std::string_view paragraphs) {
    std::string out = "<p:sp><p:nvSpPr><p:cNvPr id=\"" + dec(std::uint64_t{id}) + "\" name=\"" + xml::attr(name) +
                      R"("/><p:cNvSpPr><a:spLocks noGrp="1"/></p:cNvSpPr><p:nvPr>)";
    out += ph;
    out += "</p:nvPr></p:nvSpPr>";
    if (box) out += "<p:spPr>" + xfrm(*box) + R"(<a:prstGeom prst="rect"><a:avLst/></a:prstGeom></p:spPr>)";
    else out += "<p:spPr/>";
    out += "<p:txBody>";
    out += body_props;
    out += paragraphs;
    out += "</p:txBody></p:sp>";
    return out;
}

std::string plain_paragraph(std::string_view text, std::optional<std::uint32_t> size_pt) {
    std::string out = "<a:p><a:r><a:rPr lang=\"en-US\"";
    if (size_pt) out += " sz=\"" + dec(std::uint64_t{*size_pt} * 100) + "\"";
    out += " dirty=\"0\"/><a:t>" + xml::text(text) + "</a:t></a:r></a:p>";
    return out;
}

std::string paragraphs_xml(const std::vector<Paragraph>& paragraphs, bool explicit_bullets,
                           Rels& rels, bool inverted) {
    if (paragraphs.empty()) return "<a:p><a:endParaRPr lang=\"en-US\"/></a:p>";
    std::string out;
    for (const Paragraph& p : paragraphs) {
        const std::uint64_t level = p.level;
        std::string align;
        switch (p.align) {
        case Align::left: break;
        case Align::center: align = " algn=\"ctr\""; break;
        case Align::right: align = " algn=\"r\""; break;
        case Align::justify: align = " algn=\"just\""; break;
        }
        std::string children;
        if (p.space_before)
            children += "<a:spcBef><a:spcPts val=\"" + dec(std::uint64_t{*p.space_before} * 100) + "\"/></a:spcBef>";
        if (p.space_after)
            children += "<a:spcAft><a:spcPts val=\"" + dec(std::uint64_t{*p.space_after} * 100) + "\"/></a:spcAft>";
        std::string level_attrs;
        const std::string lvl = level > 0 ? " lvl=\"" + dec(level) + "\"" : "";
        if (!explicit_bullets && !p.bullet) {
            level_attrs = " marL=\"" + dec(level * 457200) + "\" lvl=\"" + dec(level) + "\" indent=\"0\"";
            children += "<a:buNone/>";
        } else if (explicit_bullets && p.bullet) {
            level_attrs = " marL=\"" + dec(228600 + level * 457200) + "\" lvl=\"" + dec(level) + "\" indent=\"-228600\"";
            children += BULLET;
        } else {
            level_attrs = lvl;
        }
        out += "<a:p>";
        if (!level_attrs.empty() || !align.empty() || !children.empty()) {
            out += "<a:pPr" + level_attrs + align;
            if (children.empty()) out += "/>";
            else out += ">" + children + "</a:pPr>";
        }
        if (p.runs.empty()) out += "<a:endParaRPr lang=\"en-US\"/>";
        for (const Run& r : p.runs) {
            std::string props = "<a:rPr lang=\"en-US\"";
            if (r.size) props += " sz=\"" + dec(std::uint64_t{*r.size} * 100) + "\"";
            if (r.bold) props += " b=\"1\"";
            if (r.italic) props += " i=\"1\"";
            if (r.underline) props += " u=\"sng\"";
            if (r.strike) props += " strike=\"sngStrike\"";
            props += " dirty=\"0\"";
            std::string kids;
            if (r.color) kids += "<a:solidFill>" + style::color_xml(*r.color, inverted) + "</a:solidFill>";
            if (r.font) kids += "<a:latin typeface=\"" + xml::attr(*r.font) + "\"/>";
            if (r.link) {
                const std::string type = rel_type("hyperlink");
                const std::string* found = rels.find(type, *r.link);
                const std::string id = found ? *found : rels.add(type, *r.link);
                kids += "<a:hlinkClick r:id=\"" + id + "\"/>";
            }
            props += kids.empty() ? "/>" : ">" + kids + "</a:rPr>";
            out += "<a:r>" + props + "<a:t>" + xml::text(r.text) + "</a:t></a:r>";
        }
        out += "</a:p>";
    }
    return out;
}

// ---- Package-level parts ---------------------------------------------------------

std::string package_rels_xml() {
    Rels rels;
    rels.add(rel_type("officeDocument"), "ppt/presentation.xml");
    rels.add(std::string(REL_CORE_PROPERTIES), "docProps/core.xml");
    rels.add(rel_type("extended-properties"), "docProps/app.xml");
    const PartOut part = rels_part("_rels/.rels", rels.entries);
    return std::string(part.data.begin(), part.data.end());
}

std::string core_xml(const Metadata& md) {
    std::string out(DECLARATION);
    out += R"(<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/" xmlns:dcmitype="http://purl.org/dc/dcmitype/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">)";
    if (md.title) out += "<dc:title>" + xml::text(*md.title) + "</dc:title>";
    if (md.subject) out += "<dc:subject>" + xml::text(*md.subject) + "</dc:subject>";
    const std::string creator = xml::text(md.creator);
    out += "<dc:creator>" + creator + "</dc:creator>";
    if (md.keywords) out += "<cp:keywords>" + xml::text(*md.keywords) + "</cp:keywords>";
    const std::string stamp = xml::text(md.timestamp);
    out += "<cp:lastModifiedBy>" + creator + "</cp:lastModifiedBy><cp:revision>1</cp:revision>"
           "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" + stamp + "</dcterms:created>"
           "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">" + stamp + "</dcterms:modified>"
           "</cp:coreProperties>";
    return out;
}

std::string app_xml(std::int64_t cx, std::int64_t cy, std::uint64_t slides, std::uint64_t notes,
                    std::uint64_t hidden) {
    const char* format = cx == 9144000 && cy == 6858000    ? "On-screen Show (4:3)"
                         : cx == 12192000 && cy == 6858000 ? "Widescreen"
                                                           : "Custom";
    std::string out(DECLARATION);
    out += R"(<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/extended-properties" xmlns:vt="http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes"><Application>vantrell</Application><PresentationFormat>)";
    out += format;
    out += "</PresentationFormat><Slides>" + dec(slides) + "</Slides><Notes>" + dec(notes) +
           "</Notes><HiddenSlides>" + dec(hidden) +
           "</HiddenSlides><ScaleCrop>false</ScaleCrop><LinksUpToDate>false</LinksUpToDate>"
           "<SharedDoc>false</SharedDoc><HyperlinksChanged>false</HyperlinksChanged>"
           "<AppVersion>00.0100</AppVersion></Properties>";
    return out;
}

std::string content_types_xml(const std::vector<std::pair<std::string, std::string>>& overrides,
                              bool has_fonts, const std::vector<Media>& media) {
    std::string out(DECLARATION);
    out += R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)"
           R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)"
           R"(<Default Extension="xml" ContentType="application/xml"/>)";
    if (has_fonts) out += R"(<Default Extension="fntdata" ContentType="application/x-fontdata"/>)";
    bool seen[5] = {};
    for (const Media& m : media) {
        if (seen[m.format.kind]) continue;
        seen[m.format.kind] = true;
        const std::string ext(m.format.extension());
        out += "<Default Extension=\"" + ext + "\" ContentType=\"image/" + ext + "\"/>";
    }
    for (const auto& [name, type] : overrides)
        out += "<Override PartName=\"" + xml::attr(name) + "\" ContentType=\"" + type + "\"/>";
    out += "</Types>";
    return out;
}

// ---- Presentation-level parts ----------------------------------------------------

std::string presentation_xml(const Presentation& deck, std::uint64_t slides, bool notes,
                             const std::vector<FontPart>& fonts) {
    std::string out(DECLARATION);
    out += "<p:presentation";
    out += ARP_NS;
    if (!fonts.empty()) out += " embedTrueTypeFonts=\"1\"";
    out += " saveSubsetFonts=\"1\">"
           "<p:sldMasterIdLst><p:sldMasterId id=\"2147483648\" r:id=\"rId1\"/></p:sldMasterIdLst>";
    if (notes) out += "<p:notesMasterIdLst><p:notesMasterId r:id=\"rId2\"/></p:notesMasterIdLst>";
    const std::uint64_t first_slide_rel = notes ? 3 : 2;
    if (slides > 0) {
        out += "<p:sldIdLst>";
        for (std::uint64_t i = 0; i < slides; ++i)
            out += "<p:sldId id=\"" + dec(256 + i) + "\" r:id=\"rId" + dec(first_slide_rel + i) + "\"/>";
        out += "</p:sldIdLst>";
    }
    const char* type = deck.cx == 9144000 && deck.cy == 6858000    ? " type=\"screen4x3\""
                       : deck.cx == 12192000 && deck.cy == 6858000 ? " type=\"screen16x9\""
                                                                   : "";
    out += "<p:sldSz cx=\"" + dec(deck.cx) + "\" cy=\"" + dec(deck.cy) + "\"" + type +
           "/><p:notesSz cx=\"6858000\" cy=\"9144000\"/>";
    if (!fonts.empty()) {
        // Font relationships follow the slides and the four property parts.
        const std::uint64_t first_font_rel = slides + 6 + (notes ? 1 : 0);
        out += "<p:embeddedFontLst>";
        std::vector<std::string_view> families;
        for (const FontPart& f : fonts) {
            if (std::find(families.begin(), families.end(), f.family) != families.end()) continue;
            families.push_back(f.family);
            out += "<p:embeddedFont><p:font typeface=\"" + xml::attr(f.family) + "\" panose=\"" +
                   hex_bytes(f.panose) + "\" pitchFamily=\"" + dec(std::uint64_t{pitch_family(f)}) +
                   "\" charset=\"0\"/>";
            static constexpr std::pair<bool, bool> STYLES[4] = {{false, false}, {true, false}, {false, true}, {true, true}};
            static constexpr const char* STYLE_NAMES[4] = {"regular", "bold", "italic", "boldItalic"};
            for (std::size_t s = 0; s < 4; ++s) {
                std::optional<std::size_t> last;
                for (std::size_t k = 0; k < fonts.size(); ++k)
                    if (fonts[k].family == f.family && fonts[k].bold == STYLES[s].first &&
                        fonts[k].italic == STYLES[s].second)
                        last = k;
                if (last)
                    out += std::string("<p:") + STYLE_NAMES[s] + " r:id=\"rId" + dec(first_font_rel + *last) + "\"/>";
            }
            out += "</p:embeddedFont>";
        }
        out += "</p:embeddedFontLst>";
    }
    out += "<p:defaultTextStyle><a:defPPr><a:defRPr lang=\"en-US\"/></a:defPPr>" + default_levels_xml() +
           "</p:defaultTextStyle></p:presentation>";
    return out;
}

std::vector<Relationship> presentation_rels(std::uint64_t slides, bool notes, std::size_t fonts) {
    Rels rels;
    rels.add(rel_type("slideMaster"), "slideMasters/slideMaster1.xml");
    if (notes) rels.add(rel_type("notesMaster"), "notesMasters/notesMaster1.xml");
    for (std::uint64_t n = 1; n <= slides; ++n) rels.add(rel_type("slide"), "slides/slide" + dec(n) + ".xml");
    rels.add(rel_type("presProps"), "presProps.xml");
    rels.add(rel_type("viewProps"), "viewProps.xml");
    rels.add(rel_type("theme"), "theme/theme1.xml");
    rels.add(rel_type("tableStyles"), "tableStyles.xml");
    for (std::uint64_t k = 1; k <= fonts; ++k) rels.add(rel_type("font"), "fonts/font" + dec(k) + ".fntdata");
    return std::move(rels.entries);
}

std::string pres_props_xml() {
    return std::string(DECLARATION) + "<p:presentationPr" + std::string(ARP_NS) + "/>";
}

std::string view_props_xml() {
    return std::string(DECLARATION) + "<p:viewPr" + std::string(ARP_NS) +
           R"(><p:normalViewPr><p:restoredLeft sz="15620"/><p:restoredTop sz="94660"/></p:normalViewPr><p:gridSpacing cx="76200" cy="76200"/></p:viewPr>)";
}

std::string table_styles_xml() {
    return std::string(DECLARATION) +
           R"(<a:tblStyleLst xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" def="{5C22544A-7EE6-4342-B048-85BDC9FD1C3A}"/>)";
}

std::string theme_xml(const Theme& theme) {
    static constexpr std::string_view SLOTS[SchemeColor::COUNT] = {
        "dk1", "lt1", "dk2", "lt2", "accent1", "accent2", "accent3", "accent4",
        "accent5", "accent6", "hlink", "folHlink"};
    const std::string name = xml::attr(theme.name);
    std::string out(DECLARATION);
    out += R"(<a:theme xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" name=")" + name +
           "\"><a:themeElements><a:clrScheme name=\"" + name + "\">";
    for (std::size_t i = 0; i < SchemeColor::COUNT; ++i) {
        const std::size_t from = theme.inverted && i < 4 ? i ^ 1 : i;
        const std::string slot(SLOTS[i]);
        out += "<a:" + slot + "><a:srgbClr val=\"" + theme.colors[from].to_hex() + "\"/></a:" + slot + ">";
    }
    out += "</a:clrScheme><a:fontScheme name=\"" + name + "\"><a:majorFont><a:latin typeface=\"" +
           xml::attr(theme.major_font) +
           R"("/><a:ea typeface=""/><a:cs typeface=""/></a:majorFont><a:minorFont><a:latin typeface=")" +
           xml::attr(theme.minor_font) +
           R"("/><a:ea typeface=""/><a:cs typeface=""/></a:minorFont></a:fontScheme><a:fmtScheme name=")" + name + "\">";
    const std::string fill = R"(<a:solidFill><a:schemeClr val="phClr"/></a:solidFill>)";
    out += "<a:fillStyleLst>" + fill + fill + fill + "</a:fillStyleLst><a:lnStyleLst>";
    for (const char* w : {"6350", "12700", "19050"})
        out += std::string("<a:ln w=\"") + w + R"(" cap="flat" cmpd="sng" algn="ctr">)" + fill +
               R"(<a:prstDash val="solid"/></a:ln>)";
    const std::string effect = "<a:effectStyle><a:effectLst/></a:effectStyle>";
    out += "</a:lnStyleLst><a:effectStyleLst>" + effect + effect + effect +
           "</a:effectStyleLst><a:bgFillStyleLst>" + fill + fill + fill +
           "</a:bgFillStyleLst></a:fmtScheme></a:themeElements><a:objectDefaults/><a:extraClrSchemeLst/></a:theme>";
    return out;
}

namespace {

constexpr std::string_view MASTER_BODY_PR =
    R"(<a:bodyPr vert="horz" lIns="91440" tIns="45720" rIns="91440" bIns="45720" rtlCol="0"><a:normAutofit/></a:bodyPr><a:lstStyle/>)";
constexpr std::string_view MASTER_TITLE_PR =
    R"(<a:bodyPr vert="horz" lIns="91440" tIns="45720" rIns="91440" bIns="45720" rtlCol="0" anchor="ctr"><a:normAutofit/></a:bodyPr><a:lstStyle/>)";
constexpr std::string_view PLAIN_PR = "<a:bodyPr/><a:lstStyle/>";
constexpr std::string_view TITLE_PROMPT = "Click to edit Master title style";
constexpr std::string_view TEXT_PROMPT = "Click to edit Master text styles";

} // namespace

Result<std::string> slide_master_xml(Ctx& ctx, const Geometry& g, Rels& rels) {
    const Theme& theme = ctx.deck.theme;
    for (int n = 1; n <= 4; ++n)
        rels.add(rel_type("slideLayout"), "../slideLayouts/slideLayout" + std::to_string(n) + ".xml");
    rels.add(rel_type("theme"), "../theme/theme1.xml");
    auto bg = ctx.background_xml(theme.background ? &*theme.background : nullptr, rels);
    if (!bg) return fail(bg.error());

    std::string out(DECLARATION);
    out += "<p:sldMaster";
    out += ARP_NS;
    out += "><p:cSld>" + *bg + "<p:spTree>";
    out += GROUP_HEADER;
    out += placeholder_sp(2, "Title Placeholder 1", R"(<p:ph type="title"/>)", g.title, MASTER_TITLE_PR,
                          prompt(TITLE_PROMPT));
    out += placeholder_sp(3, "Text Placeholder 2", R"(<p:ph type="body" idx="1"/>)", g.body, MASTER_BODY_PR,
                          prompt(TEXT_PROMPT));
    out += "</p:spTree></p:cSld><p:clrMap " + std::string(MAP_NORMAL) + "/><p:sldLayoutIdLst>";
    for (std::uint64_t n = 1; n <= 4; ++n)
        out += "<p:sldLayoutId id=\"" + dec(2147483648u + n) + "\" r:id=\"rId" + dec(n) + "\"/>";
    out += R"(</p:sldLayoutIdLst><p:txStyles><p:titleStyle><a:lvl1pPr algn="l" defTabSz="914400" rtl="0" eaLnBrk="1" latinLnBrk="0" hangingPunct="1"><a:lnSpc><a:spcPct val="90000"/></a:lnSpc><a:spcBef><a:spcPct val="0"/></a:spcBef><a:buNone/><a:defRPr sz=")" +
           dec(std::uint64_t{theme.sizes.title} * 100) +
           R"(" kern="1200"><a:solidFill><a:schemeClr val="tx1"/></a:solidFill><a:latin typeface="+mj-lt"/><a:ea typeface="+mj-ea"/><a:cs typeface="+mj-cs"/></a:defRPr></a:lvl1pPr></p:titleStyle><p:bodyStyle>)" +
           style::body_levels_xml(theme, 100) +
           "</p:bodyStyle><p:otherStyle><a:defPPr><a:defRPr lang=\"en-US\"/></a:defPPr>" + default_levels_xml() +
           "</p:otherStyle></p:txStyles></p:sldMaster>";
    return out;
}

Result<std::string> slide_layout_xml(Ctx& ctx, const Geometry& g, Layout layout, Rels& rels) {
    const Theme& theme = ctx.deck.theme;
    rels.add(rel_type("slideMaster"), "../slideMasters/slideMaster1.xml");
    std::string bg;
    std::string map_override(MASTER_MAPPING);
    if (const LayoutBackground* entry = theme.background_for(layout)) {
        auto text = ctx.background_xml(&entry->background, rels);
        if (!text) return fail(text.error());
        bg = std::move(*text);
        if (entry->inverted)
            map_override = "<p:clrMapOvr><a:overrideClrMapping " + std::string(MAP_INVERTED) + "/></p:clrMapOvr>";
    }

    std::string shapes;
    const std::string title_prompt = prompt(TITLE_PROMPT);
    const char* type = "";
    switch (layout) {
    case Layout::title:
        type = "title";
        shapes += placeholder_sp(2, "Title 1", R"(<p:ph type="ctrTitle"/>)", g.centred_title,
                                 R"(<a:bodyPr anchor="b"/><a:lstStyle><a:lvl1pPr algn="ctr"><a:defRPr sz=")" +
                                     dec(std::uint64_t{theme.sizes.display} * 100) +
                                     R"("><a:solidFill><a:schemeClr val="accent1"/></a:solidFill></a:defRPr></a:lvl1pPr></a:lstStyle>)",
                                 title_prompt);
        shapes += placeholder_sp(3, "Subtitle 2", R"(<p:ph type="subTitle" idx="1"/>)", g.subtitle,
                                 R"(<a:bodyPr/><a:lstStyle><a:lvl1pPr marL="0" indent="0" algn="ctr"><a:buNone/><a:defRPr sz=")" +
                                     dec(std::uint64_t{theme.sizes.subtitle} * 100) +
                                     R"("/></a:lvl1pPr></a:lstStyle>)",
                                 prompt("Click to edit Master subtitle style"));
        break;
    case Layout::title_and_content:
        type = "obj";
        shapes += placeholder_sp(2, "Title 1", R"(<p:ph type="title"/>)", std::nullopt, PLAIN_PR, title_prompt);
        shapes += placeholder_sp(3, "Content Placeholder 2", R"(<p:ph idx="1"/>)", std::nullopt, PLAIN_PR,
                                 prompt(TEXT_PROMPT));
        break;
    case Layout::title_only:
        type = "titleOnly";
        shapes += placeholder_sp(2, "Title 1", R"(<p:ph type="title"/>)", std::nullopt, PLAIN_PR, title_prompt);
        break;
    case Layout::blank:
        type = "blank";
        break;
    }

    std::string out(DECLARATION);
    out += "<p:sldLayout";
    out += ARP_NS;
    out += std::string(" type=\"") + type + "\" preserve=\"1\"><p:cSld name=\"" + std::string(layout_name(layout)) +
           "\">" + bg + "<p:spTree>";
    out += GROUP_HEADER;
    out += shapes + "</p:spTree></p:cSld>" + map_override + "</p:sldLayout>";
    return out;
}

std::string notes_master_xml(const Theme& theme) {
    std::string out(DECLARATION);
    out += "<p:notesMaster";
    out += ARP_NS;
    out += R"(><p:cSld><p:bg><p:bgRef idx="1001"><a:schemeClr val="bg1"/></p:bgRef></p:bg><p:spTree>)";
    out += GROUP_HEADER;
    out += R"(<p:sp><p:nvSpPr><p:cNvPr id="2" name="Slide Image Placeholder 1"/><p:cNvSpPr><a:spLocks noGrp="1" noRot="1" noChangeAspect="1"/></p:cNvSpPr><p:nvPr><p:ph type="sldImg" idx="2"/></p:nvPr></p:nvSpPr><p:spPr><a:xfrm><a:off x="1371600" y="1143000"/><a:ext cx="4114800" cy="3086100"/></a:xfrm><a:prstGeom prst="rect"><a:avLst/></a:prstGeom><a:noFill/><a:ln w="12700"><a:solidFill><a:prstClr val="black"/></a:solidFill></a:ln></p:spPr></p:sp>)";
    out += placeholder_sp(3, "Notes Placeholder 2", R"(<p:ph type="body" sz="quarter" idx="3"/>)",
                          Rect{685800, 4400550, 5486400, 3600450}, PLAIN_PR, prompt(TEXT_PROMPT));
    out += "</p:spTree></p:cSld><p:clrMap " + std::string(theme.inverted ? MAP_INVERTED : MAP_NORMAL) + "/>";
    out += R"(<p:notesStyle><a:lvl1pPr marL="0" algn="l" defTabSz="914400" rtl="0" eaLnBrk="1" latinLnBrk="0" hangingPunct="1"><a:defRPr sz="1200" kern="1200"><a:solidFill><a:schemeClr val="tx1"/></a:solidFill><a:latin typeface="+mn-lt"/><a:ea typeface="+mn-ea"/><a:cs typeface="+mn-cs"/></a:defRPr></a:lvl1pPr></p:notesStyle></p:notesMaster>)";
    return out;
}

// ---- Pictures and tables ---------------------------------------------------------

Result<std::string> picture_xml(Ctx& ctx, Rels& rels, std::uint32_t id, std::span<const std::uint8_t> data,
                                std::string_view name, const std::optional<std::string>& description,
                                const Rect& rect) {
    ++ctx.pictures;
    auto target = ctx.add_media(data);
    if (!target) return fail(Error::image(ctx.pictures));
    const std::string embed = rels.add(rel_type("image"), std::move(*target));
    std::string out = "<p:pic><p:nvPicPr><p:cNvPr id=\"" + dec(std::uint64_t{id}) + "\" name=\"" + xml::attr(name) + "\"";
    if (description) out += " descr=\"" + xml::attr(*description) + "\"";
    out += R"(/><p:cNvPicPr><a:picLocks noChangeAspect="1"/></p:cNvPicPr><p:nvPr/></p:nvPicPr><p:blipFill><a:blip r:embed=")" +
           embed + R"("/><a:stretch><a:fillRect/></a:stretch></p:blipFill><p:spPr>)" + xfrm(rect) +
           R"(<a:prstGeom prst="rect"><a:avLst/></a:prstGeom></p:spPr></p:pic>)";
    return out;
}

Result<std::string> table_xml(std::uint32_t id, const TableRows& rows, bool header, const Rect& rect,
                              std::span<const std::int64_t> heights, std::uint32_t size_pt) {
    const std::size_t columns = rows.empty() ? 0 : rows[0].size();
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (rows[r].size() != columns) return fail(Error::table_row(r, rows[r].size(), columns));
    // No rows or no cells: nothing to show, and no column width to divide.
    if (columns == 0) return std::string();
    const std::string width = dec(rect.cx / static_cast<std::int64_t>(columns));
    const std::string size = dec(std::uint64_t{size_pt} * 100);
    std::string out = "<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id=\"" + dec(std::uint64_t{id}) + "\" name=\"Table " +
                      dec(std::uint64_t{id} - 1) +
                      R"("/><p:cNvGraphicFramePr><a:graphicFrameLocks noGrp="1"/></p:cNvGraphicFramePr><p:nvPr/></p:nvGraphicFramePr><p:xfrm><a:off x=")" +
                      dec(rect.x) + "\" y=\"" + dec(rect.y) + "\"/><a:ext cx=\"" + dec(rect.cx) + "\" cy=\"" + dec(rect.cy) +
                      R"("/></p:xfrm><a:graphic><a:graphicData uri="http://schemas.openxmlformats.org/drawingml/2006/table"><a:tbl><a:tblPr firstRow=")" +
                      (header ? "1" : "0") + R"(" bandRow="0"/><a:tblGrid>)";
    for (std::size_t c = 0; c < columns; ++c) out += "<a:gridCol w=\"" + width + "\"/>";
    out += "</a:tblGrid>";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const bool head = header && r == 0;
        out += "<a:tr h=\"" + dec(r < heights.size() ? heights[r] : std::int64_t{0}) + "\">";
        for (const std::string& cell : rows[r]) {
            out += R"(<a:tc><a:txBody><a:bodyPr/><a:lstStyle/><a:p><a:r><a:rPr lang="en-US" sz=")" + size + "\"" +
                   (head ? " b=\"1\"" : "") + R"( dirty="0"/><a:t>)" + xml::text(cell) +
                   R"(</a:t></a:r></a:p></a:txBody><a:tcPr anchor="ctr"><a:lnL><a:noFill/></a:lnL><a:lnR><a:noFill/></a:lnR><a:lnT><a:noFill/></a:lnT>)";
            out += head ? R"(<a:lnB w="28575" cap="flat" cmpd="sng" algn="ctr"><a:solidFill><a:schemeClr val="accent1"/></a:solidFill><a:prstDash val="solid"/></a:lnB>)"
                        : R"(<a:lnB w="6350" cap="flat" cmpd="sng" algn="ctr"><a:solidFill><a:schemeClr val="tx1"><a:alpha val="30000"/></a:schemeClr></a:solidFill><a:prstDash val="solid"/></a:lnB>)";
            out += "<a:noFill/></a:tcPr></a:tc>";
        }
        out += "</a:tr>";
    }
    out += "</a:tbl></a:graphicData></a:graphic></p:graphicFrame>";
    return out;
}

// ---- Slides ----------------------------------------------------------------------

namespace {

// Speaker notes: one paragraph per line; a final line feed ends the last
// line, and a CR before a LF belongs to the line break.
std::string notes_paragraphs(std::string_view notes) {
    std::string out;
    while (!notes.empty()) {
        const std::size_t lf = notes.find('\n');
        std::string_view line = notes.substr(0, lf);
        if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        out += R"(<a:p><a:r><a:rPr lang="en-US" dirty="0"/><a:t>)" + xml::text(line) + "</a:t></a:r></a:p>";
        if (lf == std::string_view::npos) break;
        notes.remove_prefix(lf + 1);
    }
    return out.empty() ? "<a:p/>" : out;
}

constexpr std::string_view TEXTBOX_LEVELS_OPEN = "<a:lstStyle>";

// A subtitle outside the title layout: one unbulleted level at the theme's
// subtitle size, spaced as the layout engine measured it.
std::string subtitle_props(const Theme& theme) {
    return R"(<a:bodyPr><a:noAutofit/></a:bodyPr><a:lstStyle><a:lvl1pPr marL="0" indent="0" algn="l"><a:lnSpc><a:spcPct val="90000"/></a:lnSpc><a:spcBef><a:spcPts val="0"/></a:spcBef><a:buNone/><a:defRPr sz=")" +
           dec(std::uint64_t{theme.sizes.subtitle} * 100) +
           R"("><a:solidFill><a:schemeClr val="tx1"/></a:solidFill></a:defRPr></a:lvl1pPr></a:lstStyle>)";
}

// A free text box: laid-out text (its list style at the element's scale) or
// a fixed text box (auto-fit, explicit bullets).
std::string text_box_xml(std::uint32_t id, const Rect& rect, std::string_view body, std::string_view paragraphs) {
    std::string out = "<p:sp><p:nvSpPr><p:cNvPr id=\"" + dec(std::uint64_t{id}) + "\" name=\"TextBox " +
                      dec(std::uint64_t{id} - 1) + R"("/><p:cNvSpPr txBox="1"/><p:nvPr/></p:nvSpPr><p:spPr>)";
    out += xfrm(rect);
    out += R"(<a:prstGeom prst="rect"><a:avLst/></a:prstGeom><a:noFill/></p:spPr><p:txBody>)";
    out += body;
    out += paragraphs;
    out += "</p:txBody></p:sp>";
    return out;
}

// Writes the shapes of one element; `id` is the next shape id and advances
// by one per shape written.
Result<void> element_xml(const layout::Element& element, Layout layout, Ctx& ctx, Rels& rels, std::uint32_t& id,
                         std::string& out) {
    const Theme& theme = ctx.deck.theme;
    const bool inverted = theme.inverted;
    if (const auto* body = std::get_if<layout::Element::Body>(&element.value)) {
        std::string props = body->rect ? "<a:bodyPr><a:noAutofit/></a:bodyPr>" : "<a:bodyPr/>";
        // Only the title-and-content layout has a body placeholder to take
        // the levels (bullets, indents, sizes) from; elsewhere the body
        // carries them, and on the title layout it takes an index of its own
        // so that it does not inherit the subtitle's centred, unbulleted style.
        if (body->scale == 100 && layout == Layout::title_and_content) props += "<a:lstStyle/>";
        else props += "<a:lstStyle>" + style::body_levels_xml(theme, body->scale) + "</a:lstStyle>";
        out += placeholder_sp(id, "Content Placeholder 2",
                              layout == Layout::title ? R"(<p:ph idx="2"/>)" : R"(<p:ph idx="1"/>)", body->rect, props,
                              paragraphs_xml(body->paragraphs, false, rels, inverted));
        ++id;
    } else if (const auto* box = std::get_if<layout::Element::TextBox>(&element.value)) {
        const std::string props = R"(<a:bodyPr wrap="square" rtlCol="0" anchor="t"/>)" + std::string(TEXTBOX_LEVELS_OPEN) +
                                  style::body_levels_xml(theme, box->scale) + "</a:lstStyle>";
        out += text_box_xml(id, box->rect, props, paragraphs_xml(box->paragraphs, false, rels, inverted));
        ++id;
    } else if (const auto* pic = std::get_if<layout::Element::Picture>(&element.value)) {
        const std::optional<std::string> none;
        auto xml = picture_xml(ctx, rels, id, pic->data, "Picture " + dec(std::uint64_t{id} - 1),
                               pic->description ? *pic->description : none, pic->rect);
        if (!xml) return fail(xml.error());
        out += *xml;
        ++id;
    } else if (const auto* table = std::get_if<layout::Element::Table>(&element.value)) {
        auto xml = table_xml(id, table->rows, table->header, table->rect, table->heights, table->size_pt);
        if (!xml) return fail(xml.error());
        if (!xml->empty()) {
            out += *xml;
            ++id;
        }
    } else if (const auto* fixed = std::get_if<layout::Element::Fixed>(&element.value)) {
        const Shape& shape = *fixed->shape;
        if (const auto* tb = std::get_if<Shape::TextBox>(&shape.value)) {
            out += text_box_xml(id, tb->rect, R"(<a:bodyPr wrap="square" rtlCol="0"><a:spAutoFit/></a:bodyPr><a:lstStyle/>)",
                                paragraphs_xml(tb->paragraphs, true, rels, inverted));
            ++id;
        } else if (const auto* p = std::get_if<Shape::Picture>(&shape.value)) {
            auto xml = picture_xml(ctx, rels, id, p->data, p->name, p->description, p->rect);
            if (!xml) return fail(xml.error());
            out += *xml;
            ++id;
        } else if (const auto* t = std::get_if<Shape::Table>(&shape.value)) {
            const std::int64_t rows = static_cast<std::int64_t>(t->rows.size());
            const std::vector<std::int64_t> heights(t->rows.size(), rows == 0 ? 0 : t->rect.cy / rows);
            auto xml = table_xml(id, t->rows, t->header, t->rect, heights, theme.sizes.table);
            if (!xml) return fail(xml.error());
            if (!xml->empty()) {
                out += *xml;
                ++id;
            }
        }
    }
    return {};
}

Result<void> slide_parts(const layout::Planned& planned, std::uint64_t n, Ctx& ctx, const Geometry& g, Package& pkg) {
    const Slide& s = *planned.slide;
    const std::string num = dec(n);
    Rels rels;
    rels.add(rel_type("slideLayout"),
             "../slideLayouts/slideLayout" + dec(std::uint64_t{static_cast<std::uint8_t>(planned.layout)} + 1u) + ".xml");
    if (planned.notes) rels.add(rel_type("notesSlide"), "../notesSlides/notesSlide" + num + ".xml");
    // A slide without a background of its own shows its layout's and the
    // master's. An inverted slide in a light theme still needs a dark one:
    // the plain background read through its own colour map, unless its
    // layout's background is an inverted one already.
    const Theme& theme = ctx.deck.theme;
    const LayoutBackground* under = theme.background_for(planned.layout);
    std::string bg;
    if (s.background || (s.inverted && !theme.inverted && !(under && under->inverted))) {
        auto text = ctx.background_xml(s.background ? &*s.background : nullptr, rels);
        if (!text) return fail(text.error());
        bg = std::move(*text);
    }

    std::string shapes;
    std::uint32_t id = 2;
    if (s.title) {
        const bool blank = planned.layout == Layout::blank;
        shapes += placeholder_sp(id++, "Title 1",
                                 planned.layout == Layout::title ? R"(<p:ph type="ctrTitle"/>)" : R"(<p:ph type="title"/>)",
                                 blank ? std::optional<Rect>(g.title) : planned.title_rect, PLAIN_PR,
                                 plain_paragraph(*s.title, planned.title_size));
    }
    if (s.subtitle) {
        // Only the title layout has a subtitle placeholder; elsewhere the
        // subtitle has its own box, style and index (the body holds idx 1).
        if (planned.layout == Layout::title)
            shapes += placeholder_sp(id++, "Subtitle 2", R"(<p:ph type="subTitle" idx="1"/>)", planned.subtitle_rect,
                                     PLAIN_PR, plain_paragraph(*s.subtitle, std::nullopt));
        else
            shapes += placeholder_sp(id++, "Subtitle 2", R"(<p:ph type="subTitle" idx="2"/>)", planned.subtitle_rect,
                                     subtitle_props(theme), plain_paragraph(*s.subtitle, std::nullopt));
    }
    for (const layout::Element& e : planned.elements)
        if (auto r = element_xml(e, planned.layout, ctx, rels, id, shapes); !r) return fail(r.error());

    std::string out(DECLARATION);
    out += "<p:sld";
    out += ARP_NS;
    if (s.hidden) out += " show=\"0\"";
    out += "><p:cSld>" + bg + "<p:spTree>";
    out += GROUP_HEADER;
    out += shapes + "</p:spTree></p:cSld>";
    // An inverted theme's master mapping already shows light text on dark;
    // the dark override would turn such a slide back to dark on light.
    if (s.inverted && !theme.inverted)
        out += "<p:clrMapOvr><a:overrideClrMapping " + std::string(MAP_INVERTED) + "/></p:clrMapOvr>";
    else out += MASTER_MAPPING;
    out += "</p:sld>";
    pkg.add_xml("ppt/slides/slide" + num + ".xml", pml_type("slide+xml"), out);
    pkg.add_rels("ppt/slides/_rels/slide" + num + ".xml.rels", rels);

    if (planned.notes) {
        std::string notes(DECLARATION);
        notes += "<p:notes";
        notes += ARP_NS;
        notes += "><p:cSld><p:spTree>";
        notes += GROUP_HEADER;
        notes += R"(<p:sp><p:nvSpPr><p:cNvPr id="2" name="Slide Image Placeholder 1"/><p:cNvSpPr><a:spLocks noGrp="1" noRot="1" noChangeAspect="1"/></p:cNvSpPr><p:nvPr><p:ph type="sldImg"/></p:nvPr></p:nvSpPr><p:spPr/></p:sp><p:sp><p:nvSpPr><p:cNvPr id="3" name="Notes Placeholder 2"/><p:cNvSpPr><a:spLocks noGrp="1"/></p:cNvSpPr><p:nvPr><p:ph type="body" idx="1"/></p:nvPr></p:nvSpPr><p:spPr/><p:txBody><a:bodyPr/><a:lstStyle/>)";
        notes += notes_paragraphs(*planned.notes);
        notes += "</p:txBody></p:sp></p:spTree></p:cSld>";
        notes += MASTER_MAPPING;
        notes += "</p:notes>";
        pkg.add_xml("ppt/notesSlides/notesSlide" + num + ".xml", pml_type("notesSlide+xml"), notes);
        Rels nrels;
        nrels.add(rel_type("notesMaster"), "../notesMasters/notesMaster1.xml");
        nrels.add(rel_type("slide"), "../slides/slide" + num + ".xml");
        pkg.add_rels("ppt/notesSlides/_rels/notesSlide" + num + ".xml.rels", nrels);
    }
    return {};
}

// Whether no columns block inside `block`, which `depth` of them enclose, is
// nested deeper than the layout engine lays out.
bool nesting_fits(const Block& block, std::size_t depth) {
    const auto* columns = std::get_if<Block::Columns>(&block.value);
    if (!columns || columns->blocks.empty()) return true;
    if (depth >= MAX_COLUMN_NESTING) return false;
    return std::all_of(columns->blocks.begin(), columns->blocks.end(),
                       [&](const Block& inner) { return nesting_fits(inner, depth + 1); });
}

// Font embedding: converts the theme's font files, in order, into font
// records; the first unusable file fails the build.
Result<std::vector<FontPart>> convert_fonts(const Theme& theme) {
    std::vector<FontPart> fonts;
    fonts.reserve(theme.embedded_fonts.size());
    for (const Bytes& file : theme.embedded_fonts) {
        auto font = fonts::embed(file);
        if (!font) return fail(font.error());
        fonts.push_back(std::move(*font));
    }
    return fonts;
}

} // namespace

Result<std::vector<PartOut>> build(const Presentation& deck) {
    for (const Slide& s : deck.slides)
        for (const Block& b : s.blocks)
            if (!nesting_fits(b, 0))
                return fail(Error::other("blocks nested deeper than " + dec(std::uint64_t{MAX_COLUMN_NESTING}) + " levels"));
    const Geometry g = Geometry::compute(deck.cx, deck.cy);

    std::vector<layout::Planned> planned;
    planned.reserve(deck.slides.size());
    for (const Slide& s : deck.slides) {
        std::vector<layout::Planned> more = layout::plan_slide(deck.theme, g, s);
        std::move(more.begin(), more.end(), std::back_inserter(planned));
    }
    const bool notes =
        std::any_of(planned.begin(), planned.end(), [](const layout::Planned& p) { return p.notes != nullptr; });

    auto fonts = convert_fonts(deck.theme);
    if (!fonts) return fail(fonts.error());

    Ctx ctx(deck);
    Package pkg;
    const std::uint64_t count = planned.size();
    pkg.add_xml("ppt/presentation.xml", pml_type("presentation.main+xml"), presentation_xml(deck, count, notes, *fonts));
    pkg.parts.push_back(rels_part("ppt/_rels/presentation.xml.rels", presentation_rels(count, notes, fonts->size())));
    pkg.add_xml("ppt/presProps.xml", pml_type("presProps+xml"), pres_props_xml());
    pkg.add_xml("ppt/viewProps.xml", pml_type("viewProps+xml"), view_props_xml());
    pkg.add_xml("ppt/tableStyles.xml", pml_type("tableStyles+xml"), table_styles_xml());
    pkg.add_xml("ppt/theme/theme1.xml", std::string(CT_THEME), theme_xml(deck.theme));
    {
        Rels rels;
        auto master = slide_master_xml(ctx, g, rels);
        if (!master) return fail(master.error());
        pkg.add_xml("ppt/slideMasters/slideMaster1.xml", pml_type("slideMaster+xml"), *master);
        pkg.add_rels("ppt/slideMasters/_rels/slideMaster1.xml.rels", rels);
    }
    for (std::size_t i = 0; i < LAYOUT_COUNT; ++i) {
        Rels rels;
        auto layout = slide_layout_xml(ctx, g, static_cast<Layout>(i), rels);
        if (!layout) return fail(layout.error());
        const std::string n = dec(std::uint64_t{i + 1});
        pkg.add_xml("ppt/slideLayouts/slideLayout" + n + ".xml", pml_type("slideLayout+xml"), *layout);
        pkg.add_rels("ppt/slideLayouts/_rels/slideLayout" + n + ".xml.rels", rels);
    }
    if (notes) {
        pkg.add_xml("ppt/notesMasters/notesMaster1.xml", pml_type("notesMaster+xml"), notes_master_xml(deck.theme));
        Rels rels;
        rels.add(rel_type("theme"), "../theme/theme1.xml");
        pkg.add_rels("ppt/notesMasters/_rels/notesMaster1.xml.rels", rels);
    }

    std::uint64_t notes_count = 0, hidden = 0;
    for (std::uint64_t n = 1; n <= count; ++n) {
        const layout::Planned& p = planned[n - 1];
        if (auto r = slide_parts(p, n, ctx, g, pkg); !r) return fail(r.error());
        notes_count += p.notes != nullptr;
        hidden += p.slide->hidden;
    }

    for (const Media& m : ctx.media)
        pkg.parts.push_back(PartOut{m.name, Bytes(m.data.begin(), m.data.end()), false});
    for (std::size_t k = 0; k < fonts->size(); ++k)
        pkg.parts.push_back(PartOut{"ppt/fonts/font" + dec(std::uint64_t{k + 1}) + ".fntdata", (*fonts)[k].eot, true});
    pkg.add_xml("docProps/core.xml", std::string(CT_CORE), core_xml(deck.metadata));
    pkg.add_xml("docProps/app.xml", std::string(CT_EXTENDED), app_xml(deck.cx, deck.cy, count, notes_count, hidden));

    std::vector<PartOut> out;
    out.reserve(pkg.parts.size() + 2);
    const std::string types = content_types_xml(pkg.overrides, !fonts->empty(), ctx.media);
    out.push_back(PartOut{"[Content_Types].xml", Bytes(types.begin(), types.end()), true});
    const std::string root_rels = package_rels_xml();
    out.push_back(PartOut{"_rels/.rels", Bytes(root_rels.begin(), root_rels.end()), true});
    for (PartOut& p : pkg.parts) out.push_back(std::move(p));
    return out;
}

} // namespace vantrell_write::parts
