#include "core/slide.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/mce.h"
#include "core/pml.h"

namespace vantrell_core::slide {

namespace {

using model::Shape;
using xml::ns::CHART;
using xml::ns::DIAGRAM;
using xml::ns::DML;
using xml::ns::NONE;
using xml::ns::OTHER;
using xml::ns::P14;
using xml::ns::PML;
using xml::ns::REL;

constexpr std::string_view URI_CHART[] = {"http://schemas.openxmlformats.org/drawingml/2006/chart",
                                          "http://purl.oclc.org/ooxml/drawingml/chart"};
constexpr std::string_view URI_DIAGRAM[] = {"http://schemas.openxmlformats.org/drawingml/2006/diagram",
                                            "http://purl.oclc.org/ooxml/drawingml/diagram"};
constexpr std::string_view URI_TABLE[] = {"http://schemas.openxmlformats.org/drawingml/2006/table",
                                          "http://purl.oclc.org/ooxml/drawingml/table"};
constexpr std::string_view URI_OLE[] = {"http://schemas.openxmlformats.org/presentationml/2006/ole",
                                        "http://purl.oclc.org/ooxml/presentationml/ole"};
constexpr std::string_view URI_CHARTEX = "http://schemas.microsoft.com/office/drawing/2014/chartex";

template <std::size_t N>
bool one_of(std::string_view v, const std::string_view (&list)[N]) {
    return std::find(std::begin(list), std::end(list), v) != std::end(list);
}

// A non-empty relationship id attribute.
std::optional<std::string> rel_attr(const xml::Reader& r, const xml::Start& s, std::string_view local) {
    auto v = r.attr(s, REL, local);
    if (v && v->empty()) v.reset();
    return v;
}

// Values that are only compared or converted are read in place; `scratch`
// holds one only when it had references to decode.
std::optional<std::string_view> view_attr(const xml::Reader& r, const xml::Start& s, std::string_view local,
                                          std::string& scratch) {
    if (auto a = r.find_attr(s, NONE, local)) return xml::attr_value(a->value, scratch);
    return std::nullopt;
}

std::int64_t int_attr(const xml::Reader& r, const xml::Start& s, std::string_view local) {
    std::string scratch;
    if (auto v = view_attr(r, s, local, scratch)) return pml::value::int64(*v).value_or(0);
    return 0;
}

std::optional<bool> bool_attr(const xml::Reader& r, const xml::Start& s, std::string_view local) {
    std::string scratch;
    if (auto v = view_attr(r, s, local, scratch)) return pml::value::boolean(*v);
    return std::nullopt;
}

std::uint32_t u32_attr(const xml::Reader& r, const xml::Start& s, std::string_view local, std::uint32_t dflt) {
    std::string scratch;
    if (auto v = view_attr(r, s, local, scratch)) return pml::value::uint32(*v).value_or(dflt);
    return dflt;
}

// Calls `fn(local, raw_value)` for each unprefixed attribute of `s`, in one
// pass over the tag: hot elements read several attributes, and looking each
// up on its own would walk the tag once per name.
template <class Fn>
void plain_attrs(const xml::Reader& r, const xml::Start& s, Fn&& fn) {
    for (xml::Attrs it(r, s); auto a = it.next();)
        if (a->ns == NONE) fn(a->name.local, a->value);
}

// A p:ph element.
model::Placeholder placeholder(const xml::Reader& r, const xml::Start& ph) {
    model::Placeholder p;
    std::string scratch;
    plain_attrs(r, ph, [&](std::string_view a, std::string_view raw) {
        if (a == "type") p.kind = model::PlaceholderKind::parse(xml::attr_value(raw, scratch));
        else if (a == "idx") p.idx = pml::value::uint32(xml::attr_value(raw, scratch)).value_or(0);
    });
    return p;
}

bool is_shape_element(const xml::Start& s) {
    if (s.ns == P14 && s.name.local == "contentPart") return true;
    if (s.ns != PML) return false;
    const std::string_view n = s.name.local;
    return n == "sp" || n == "pic" || n == "grpSp" || n == "graphicFrame" || n == "cxnSp" || n == "contentPart";
}

// What a picture's a:videoFile, a:audioFile, ... child (in nvPr) makes it;
// `none` for any other element.
model::Picture::Media media_kind(const xml::Start& s) {
    using M = model::Picture::Media;
    const std::string_view n = s.name.local;
    if (n == "videoFile" || n == "quickTimeFile") return M::video;
    if (n == "audioFile" || n == "wavAudioFile" || n == "audioCd") return M::audio;
    return M::none;
}

// Non-visual property containers: nvSpPr, nvPicPr, nvGrpSpPr, ...
bool is_nv_props(const xml::Start& s) {
    const std::string_view n = s.name.local;
    return (s.ns == PML || s.ns == P14) && n.size() > 4 && n.starts_with("nv") && n.ends_with("Pr");
}

class TextReader {
public:
    // `skim`: list styles are read for their bullets alone and everything
    // else in them is passed over unchecked (a layout's or master's styles).
    TextReader(xml::Reader& r, SlideReport* report, Detail detail, bool skim = false)
        : r_(r), report_(report), full_(detail == Detail::full), lists_(detail != Detail::plain), skim_(skim) {}

    // With `style`, the body's a:lstStyle goes there (unless the detail
    // leaves paragraph properties unread).
    xml::Status paragraphs(std::vector<model::Paragraph>& out, model::ListStyle* style = nullptr) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (s.is(DML, "p")) {
                    // Bodies mostly hold a few paragraphs: room for them at once.
                    if (out.empty()) out.reserve(4);
                    out.emplace_back();
                    return paragraph(out.back());
                }
                if (style && lists_ && s.is(DML, "lstStyle")) return list_style(*style);
                count_unknown(s);
                return {};
            },
            true);
    }

    // The bullets of the a:lvl1pPr ... a:lvl9pPr children of a list style
    // (a:lstStyle, p:bodyStyle, p:otherStyle).
    xml::Status list_style(model::ListStyle& out) {
        return style_children([&](xml::Reader&, const xml::Start& s) -> xml::Status {
                const std::string_view n = s.name.local;
                if (s.ns != DML || n.size() != 7 || !n.starts_with("lvl") || !n.ends_with("pPr") || n[3] < '1' ||
                    n[3] > '9')
                    return {};
                std::optional<model::Bullet> bullet;
                if (auto st = bullet_children(bullet); !st) return st;
                if (!bullet) return {};
                const auto level = static_cast<std::uint8_t>(n[3] - '1');
                for (auto& [l, b] : out.levels)
                    if (l == level) {
                        b = std::move(*bullet);
                        return {};
                    }
                out.levels.emplace_back(level, std::move(*bullet));
                return {};
        });
    }

private:
    template <class Fn>
    xml::Status style_children(Fn&& fn) {
        return skim_ ? mce::children_skimmed(r_, fn) : mce::children_inner(r_, fn, true);
    }

    void count_unknown(const xml::Start& s) {
        if (report_ && s.ns == OTHER) ++report_->unknown_elements;
    }

    xml::Status paragraph(model::Paragraph& p) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (s.ns != DML) {
                    count_unknown(s);
                    return {};
                }
                const std::string_view n = s.name.local;
                if (n == "pPr") return lists_ ? paragraph_props(s, p) : xml::Status{};
                if (n == "r" || n == "br" || n == "fld") {
                    // Built in place; a failure fails the whole parse. Runs
                    // are large to move: room for a second one at once, which
                    // never costs an allocation and wastes at most one slot.
                    if (p.runs.empty()) p.runs.reserve(2);
                    model::Run& run = p.runs.emplace_back();
                    if (n == "br") {
                        run.kind = model::Run::Kind::line_break;
                        run.text = "\n";
                    } else if (n == "fld") {
                        run.kind = model::Run::Kind::field;
                        run.field_type = r_.attr(s, NONE, "type").value_or(std::string());
                    }
                    return run_children(run);
                }
                return {};
            },
            true);
    }

    xml::Status paragraph_props(const xml::Start& s, model::Paragraph& p) {
        const std::uint32_t lvl = u32_attr(r_, s, "lvl", 0);
        p.level = static_cast<std::uint8_t>(std::min<std::uint32_t>(lvl, 255));
        std::optional<model::Bullet> bullet;
        auto st = bullet_children(bullet);
        if (bullet) p.bullet = std::move(*bullet);
        return st;
    }

    // The bullet a paragraph-properties element sets, the last one written
    // winning; none when it sets none.
    xml::Status bullet_children(std::optional<model::Bullet>& out) {
        return style_children([&](xml::Reader&, const xml::Start& b) -> xml::Status {
                if (b.ns != DML) return {};
                const std::string_view n = b.name.local;
                using K = model::Bullet::Kind;
                if (n == "buNone") out = model::Bullet{K::none, {}, 1};
                else if (n == "buChar") out = model::Bullet{K::character, r_.attr(b, NONE, "char").value_or(""), 1};
                else if (n == "buAutoNum")
                    out = model::Bullet{K::auto_number, r_.attr(b, NONE, "type").value_or(""),
                                        u32_attr(r_, b, "startAt", 1)};
                else if (n == "buBlip") out = model::Bullet{K::picture, {}, 1};
                return {};
        });
    }

    xml::Status run_children(model::Run& run) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (s.is(DML, "t")) {
                    // A line break's text stays "\n" whatever it holds.
                    if (run.kind == model::Run::Kind::line_break) return {};
                    return r_.read_text(run.text);
                }
                if (lists_ && s.is(DML, "rPr")) return full_ ? run_props(s, run.props) : run_link(s, run.props);
                return {};
            },
            true);
    }

    xml::Status run_props(const xml::Start& s, model::RunProps& rp) {
        rp.bold.reset();
        rp.italic.reset();
        rp.lang.reset();
        std::string scratch;
        plain_attrs(r_, s, [&](std::string_view n, std::string_view raw) {
            if (n == "b") rp.bold = pml::value::boolean(xml::attr_value(raw, scratch));
            else if (n == "i") rp.italic = pml::value::boolean(xml::attr_value(raw, scratch));
            else if (n == "u") rp.underline = xml::attr_value(raw, scratch) != "none";
            else if (n == "strike") rp.strike = xml::attr_value(raw, scratch) != "noStrike";
            else if (n == "sz") rp.size = pml::value::uint32(xml::attr_value(raw, scratch));
            else if (n == "lang") rp.lang.emplace(xml::attr_value(raw, scratch));
        });
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (c.is(DML, "latin")) {
                    if (auto tf = r_.attr(c, NONE, "typeface")) rp.typeface = std::move(*tf);
                } else if (c.is(DML, "hlinkClick") && !rp.hyperlink) {
                    rp.hyperlink = rel_attr(r_, c, "id");
                }
                return {};
            },
            true);
    }

    // Of a run's properties, only the click hyperlink, which a rendering
    // turns into a link. Few runs have one, so properties that do not name
    // it before their end tag are skipped unparsed, as at lower detail. The
    // end tag is the first one of the element's name; well-formed markup
    // has it. Where the name occurs next in the part is found once for all
    // the runs before it, and the end tag is looked for no further: most
    // parts name no link at all, and then no run looks ahead.
    xml::Status run_link(const xml::Start& s, model::RunProps& rp) {
        static constexpr std::string_view LINK = "hlinkClick";
        if (s.self_closing) return {};
        const std::string_view text = r_.text();
        const auto from = static_cast<std::size_t>(s.offset);
        if (!link_known_ || next_link_ < from) {
            next_link_ = text.find(LINK, from);
            link_known_ = true;
        }
        if (next_link_ == std::string_view::npos) return {};
        std::string end_tag = "</";
        if (s.name.has_prefix()) {
            end_tag += s.name.prefix;
            end_tag += ':';
        }
        end_tag += s.name.local;
        // An end tag starting before the name's last byte comes first.
        const std::size_t limit = next_link_ + LINK.size();
        if (text.substr(from, limit - from + end_tag.size() - 1).find(end_tag) != std::string_view::npos) return {};
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (c.is(DML, "hlinkClick") && !rp.hyperlink) rp.hyperlink = rel_attr(r_, c, "id");
                return {};
            },
            true);
    }

    xml::Reader& r_;
    SlideReport* report_;
    bool full_;
    bool lists_;  // paragraph properties and run hyperlinks
    bool skim_;
    bool link_known_ = false;
    std::size_t next_link_ = 0;  // of the link's name at or after the run read last
};

class Parser {
public:
    Parser(xml::Reader& r, SlideReport& report, Detail detail)
        : r_(r), report_(report), text_(r, &report, detail), full_(detail == Detail::full) {}

    xml::Status root(model::SlideContent& out) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (!s.is(PML, "cSld")) return {};
                out.name = r_.attr(s, NONE, "name");
                return mce::children_inner(
                    r_,
                    [&](xml::Reader&, const xml::Start& t) -> xml::Status {
                        if (!t.is(PML, "spTree")) return {};
                        return container(out.shapes, nullptr, 0);
                    },
                    true);
            },
            true);
    }

private:
    // The children of spTree or of a group; `self` is the group (null for
    // spTree, whose own properties mean nothing).
    xml::Status container(std::vector<Shape>& out, Shape* self, unsigned depth) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (is_shape_element(s)) {
                    // Filled in place: the subtree goes into this shape's own
                    // vectors, so the reference stays valid. Shapes are large
                    // to move: room for a usual slide's top level at once
                    // (groups, which may be many and small, grow as usual).
                    if (!self && out.empty()) out.reserve(8);
                    out.emplace_back();
                    return shape(s, out.back(), depth);
                }
                if (self && is_nv_props(s)) return non_visual(*self);
                if (self && full_ && s.is(PML, "grpSpPr")) return shape_props(*self);
                if (s.ns == OTHER) ++report_.unknown_elements;
                return {};
            },
            true);
    }

    xml::Status shape(const xml::Start& s, Shape& sh, unsigned depth) {
        const std::string_view n = s.name.local;
        if (n == "grpSp") {
            if (depth >= MAX_GROUP_DEPTH) return std::unexpected(xml::XmlError{"shape groups nested too deep", s.offset});
            sh.content = model::Group{};
            return container(std::get<model::Group>(sh.content).children, &sh, depth + 1);
        }
        if (n == "sp") sh.content = model::TextBody{};
        else if (n == "pic") sh.content = model::Picture{};
        else if (n == "cxnSp") sh.content = model::Connector{};
        else if (n == "contentPart") sh.content = model::ContentPart{rel_attr(r_, s, "id")};
        else sh.content = model::Unknown{};  // graphicFrame until its payload is known
        const bool frame = n == "graphicFrame";
        return mce::children_inner(
            r_,
            [&, frame](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (is_nv_props(c)) return non_visual(sh);
                if (!full_ && (c.is(PML, "spPr") || c.is(PML, "xfrm") || c.is(P14, "xfrm"))) return {};
                if (c.is(PML, "spPr")) return shape_props(sh);
                if (c.is(PML, "xfrm") || c.is(P14, "xfrm")) return transform(c, sh);
                if (auto* body = std::get_if<model::TextBody>(&sh.content); body && c.is(PML, "txBody"))
                    return text_.paragraphs(body->paragraphs, &body->list_style);
                if (auto* pic = std::get_if<model::Picture>(&sh.content); pic && c.is(PML, "blipFill"))
                    return blip_fill(*pic);
                if (frame && c.is(DML, "graphic")) return graphic(sh);
                if (c.ns == OTHER) ++report_.unknown_elements;
                return {};
            },
            true);
    }

    xml::Status non_visual(Shape& sh) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (c.ns != PML && c.ns != P14) return {};
                const std::string_view n = c.name.local;
                if (n == "cNvPr") {
                    sh.id = 0;
                    sh.name.clear();
                    sh.description.reset();
                    sh.hidden = false;
                    std::string scratch;
                    plain_attrs(r_, c, [&](std::string_view a, std::string_view raw) {
                        if (a == "id") sh.id = pml::value::uint32(xml::attr_value(raw, scratch)).value_or(0);
                        else if (a == "name") sh.name = xml::attr_value(raw, scratch);
                        else if (a == "descr") sh.description.emplace(xml::attr_value(raw, scratch));
                        else if (a == "hidden")
                            sh.hidden = pml::value::boolean(xml::attr_value(raw, scratch)).value_or(false);
                    });
                    if (!full_) return {};
                    return mce::children_inner(
                        r_,
                        [&](xml::Reader&, const xml::Start& h) -> xml::Status {
                            if (h.is(DML, "hlinkClick") && !sh.hyperlink) sh.hyperlink = rel_attr(r_, h, "id");
                            return {};
                        },
                        true);
                }
                if (n == "cNvSpPr") {
                    sh.text_box = bool_attr(r_, c, "txBox").value_or(false);
                    return {};
                }
                if (n == "nvPr") {
                    return mce::children_inner(
                        r_,
                        [&](xml::Reader&, const xml::Start& ph) -> xml::Status {
                            if (ph.ns == DML) {
                                auto* pic = std::get_if<model::Picture>(&sh.content);
                                if (const auto m = media_kind(ph); pic && m != model::Picture::Media::none) pic->media = m;
                                return {};
                            }
                            if (ph.is(PML, "ph") && !sh.placeholder) sh.placeholder = placeholder(r_, ph);
                            return {};
                        },
                        true);
                }
                return {};
            },
            true);
    }

    xml::Status shape_props(Shape& sh) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (c.is(DML, "xfrm")) return transform(c, sh);
                return {};
            },
            true);
    }

    xml::Status transform(const xml::Start& s, Shape& sh) {
        model::Transform t;
        std::string scratch;
        plain_attrs(r_, s, [&](std::string_view a, std::string_view raw) {
            if (a == "rot") t.rotation = pml::value::int64(xml::attr_value(raw, scratch)).value_or(0);
            else if (a == "flipH") t.flip_h = pml::value::boolean(xml::attr_value(raw, scratch)).value_or(false);
            else if (a == "flipV") t.flip_v = pml::value::boolean(xml::attr_value(raw, scratch)).value_or(false);
        });
        // A pair of coordinates, each 0 when absent or unreadable.
        auto pair = [&](const xml::Start& c, std::string_view first, std::string_view second, std::int64_t& a_out,
                        std::int64_t& b_out) {
            a_out = 0;
            b_out = 0;
            plain_attrs(r_, c, [&](std::string_view a, std::string_view raw) {
                if (a == first) a_out = pml::value::int64(xml::attr_value(raw, scratch)).value_or(0);
                else if (a == second) b_out = pml::value::int64(xml::attr_value(raw, scratch)).value_or(0);
            });
        };
        auto st = mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (c.ns != DML) return {};
                const std::string_view n = c.name.local;
                if (n == "off") {
                    pair(c, "x", "y", t.x, t.y);
                } else if (n == "ext") {
                    pair(c, "cx", "cy", t.cx, t.cy);
                } else if (n == "chOff") {
                    pair(c, "x", "y", t.ch_x.emplace(), t.ch_y.emplace());
                } else if (n == "chExt") {
                    pair(c, "cx", "cy", t.ch_cx.emplace(), t.ch_cy.emplace());
                }
                return {};
            },
            true);
        if (st) sh.transform = t;
        return st;
    }

    xml::Status blip_fill(model::Picture& pic) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (c.is(DML, "blip")) {
                    pic.embed = rel_attr(r_, c, "embed");
                    pic.link = rel_attr(r_, c, "link");
                }
                return {};
            },
            true);
    }

    xml::Status graphic(Shape& sh) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& gd) -> xml::Status {
                if (!gd.is(DML, "graphicData")) return {};
                const std::optional<std::string> uri = r_.attr(gd, NONE, "uri");
                const std::string_view u = uri ? std::string_view(*uri) : std::string_view();
                if (one_of(u, URI_TABLE)) {
                    sh.content = model::Table{};
                    return payload([&](const xml::Start& c) -> xml::Status {
                        if (c.is(DML, "tbl")) return table(std::get<model::Table>(sh.content));
                        return {};
                    });
                }
                if (one_of(u, URI_CHART) || u == URI_CHARTEX) {
                    sh.content = model::Chart{std::nullopt, u == URI_CHARTEX};
                    return payload([&](const xml::Start& c) -> xml::Status {
                        auto& ch = std::get<model::Chart>(sh.content);
                        const bool ok = ch.extended ? c.name.local == "chart" : c.is(CHART, "chart");
                        if (ok && !ch.rel_id) ch.rel_id = rel_attr(r_, c, "id");
                        return {};
                    });
                }
                if (one_of(u, URI_DIAGRAM)) {
                    sh.content = model::Diagram{};
                    return payload([&](const xml::Start& c) -> xml::Status {
                        if (!c.is(DIAGRAM, "relIds")) return {};
                        auto& d = std::get<model::Diagram>(sh.content);
                        d.data = rel_attr(r_, c, "dm");
                        d.layout = rel_attr(r_, c, "lo");
                        d.style = rel_attr(r_, c, "qs");
                        d.colors = rel_attr(r_, c, "cs");
                        return {};
                    });
                }
                if (one_of(u, URI_OLE)) {
                    sh.content = model::Ole{};
                    return payload([&](const xml::Start& c) -> xml::Status {
                        if (!c.is(PML, "oleObj")) return {};
                        auto& o = std::get<model::Ole>(sh.content);
                        o.prog_id = SharedText(r_.attr(c, NONE, "progId"));
                        o.rel_id = rel_attr(r_, c, "id");
                        o.name = r_.attr(c, NONE, "name");
                        return ole_preview(o);
                    });
                }
                sh.content = model::Unknown{uri};
                report_.unknown_graphic_uris.push_back(uri.value_or(std::string()));
                return {};
            },
            true);
    }

    template <class Fn>
    xml::Status payload(Fn&& fn) {
        return mce::children_inner(r_, [&](xml::Reader&, const xml::Start& c) { return fn(c); }, true);
    }

    xml::Status ole_preview(model::Ole& o) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (!c.is(PML, "pic")) return {};
                model::Picture pic;
                auto st = mce::children_inner(
                    r_,
                    [&](xml::Reader&, const xml::Start& bf) -> xml::Status {
                        if (bf.is(PML, "blipFill")) return blip_fill(pic);
                        return {};
                    },
                    true);
                if (st && !o.preview) o.preview = pic.embed;
                return st;
            },
            true);
    }

    xml::Status table(model::Table& tbl) {
        return mce::children_inner(
            r_,
            [&](xml::Reader&, const xml::Start& c) -> xml::Status {
                if (c.is(DML, "tblGrid")) {
                    return mce::children_inner(
                        r_,
                        [&](xml::Reader&, const xml::Start& g) -> xml::Status {
                            if (g.is(DML, "gridCol")) tbl.column_widths.push_back(int_attr(r_, g, "w"));
                            return {};
                        },
                        true);
                }
                if (!c.is(DML, "tr")) return {};
                tbl.rows.push_back(model::Row{int_attr(r_, c, "h"), {}});
                return mce::children_inner(
                    r_,
                    [&](xml::Reader&, const xml::Start& tc) -> xml::Status {
                        if (!tc.is(DML, "tc")) return {};
                        model::Cell cell;
                        std::string scratch;
                        plain_attrs(r_, tc, [&](std::string_view a, std::string_view raw) {
                            using pml::value::boolean, pml::value::uint32;
                            if (a == "gridSpan") cell.grid_span = uint32(xml::attr_value(raw, scratch)).value_or(1);
                            else if (a == "rowSpan") cell.row_span = uint32(xml::attr_value(raw, scratch)).value_or(1);
                            else if (a == "hMerge")
                                cell.h_merge = boolean(xml::attr_value(raw, scratch)).value_or(false);
                            else if (a == "vMerge")
                                cell.v_merge = boolean(xml::attr_value(raw, scratch)).value_or(false);
                        });
                        auto st = mce::children_inner(
                            r_,
                            [&](xml::Reader&, const xml::Start& b) -> xml::Status {
                                if (b.is(DML, "txBody")) return text_.paragraphs(cell.paragraphs);
                                return {};
                            },
                            true);
                        if (!st) return st;
                        // Rows mostly hold as many cells as the one before, the
                        // first as many as the grid has columns (capped), so a
                        // part of many short rows reserves no more than it holds.
                        auto& cells = tbl.rows.back().cells;
                        if (cells.empty()) {
                            const std::size_t n = tbl.rows.size();
                            cells.reserve(n > 1 ? tbl.rows[n - 2].cells.size()
                                                : std::min<std::size_t>(tbl.column_widths.size(), 64));
                        }
                        cells.push_back(std::move(cell));
                        return st;
                    },
                    true);
            },
            true);
    }

    xml::Reader& r_;
    SlideReport& report_;
    TextReader text_;
    bool full_;
};

// Reads no more of a layout or master than its placeholders' list styles and
// its text styles. The rest, most of the part, is skipped unchecked: styles
// are read for every deck rendered, and a part damaged only where nothing is
// read still gives them.
class StylesParser {
public:
    explicit StylesParser(xml::Reader& r) : r_(r), text_(r, nullptr, Detail::text, true) {}

    xml::Status root(Styles& out) {
        return each([&](const xml::Start& s) -> xml::Status {
            if (s.is(PML, "cSld"))
                return each([&](const xml::Start& t) { return t.is(PML, "spTree") ? tree(out, 0) : xml::Status{}; });
            if (!s.is(PML, "txStyles")) return {};
            return each([&](const xml::Start& t) -> xml::Status {
                if (t.ns != PML) return {};
                const std::string_view n = t.name.local;
                if (n == "bodyStyle") return text_.list_style(out.body_style);
                if (n == "otherStyle") return text_.list_style(out.other_style);
                return {};
            });
        });
    }

private:
    template <class Fn>
    xml::Status each(Fn&& fn) {
        return mce::children_skimmed(r_, [&](xml::Reader&, const xml::Start& s) { return fn(s); });
    }

    xml::Status tree(Styles& out, unsigned depth) {
        return each([&](const xml::Start& s) -> xml::Status {
            if (s.is(PML, "grpSp")) {
                if (depth >= MAX_GROUP_DEPTH)
                    return std::unexpected(xml::XmlError{"shape groups nested too deep", s.offset});
                return tree(out, depth + 1);
            }
            if (s.is(PML, "sp")) return shape(out);
            return {};
        });
    }

    xml::Status shape(Styles& out) {
        std::optional<model::Placeholder> ph;
        model::ListStyle style;
        auto st = each([&](const xml::Start& c) -> xml::Status {
            if (c.is(PML, "nvSpPr"))
                return each([&](const xml::Start& nv) -> xml::Status {
                    if (!nv.is(PML, "nvPr")) return {};
                    return each([&](const xml::Start& p) -> xml::Status {
                        if (p.is(PML, "ph") && !ph) ph = placeholder(r_, p);
                        return {};
                    });
                });
            if (c.is(PML, "txBody"))
                return each([&](const xml::Start& b) {
                    return b.is(DML, "lstStyle") ? text_.list_style(style) : xml::Status{};
                });
            return {};
        });
        if (st && ph) out.placeholders.push_back({*ph, std::move(style)});
        return st;
    }

    xml::Reader& r_;
    TextReader text_;
};

model::SlideContent::Root root_kind(const xml::Start& s) {
    using R = model::SlideContent::Root;
    if (s.ns != PML) return R::other;
    const std::string_view n = s.name.local;
    if (n == "sld") return R::slide;
    if (n == "sldLayout") return R::layout;
    if (n == "sldMaster") return R::master;
    if (n == "notes") return R::notes;
    if (n == "notesMaster") return R::notes_master;
    if (n == "handoutMaster") return R::handout_master;
    return R::other;
}

} // namespace

xml::Status read_paragraphs(xml::Reader& reader, std::vector<model::Paragraph>& out, SlideReport* report,
                            Detail detail) {
    return TextReader(reader, report, detail).paragraphs(out);
}

Result<Styles> parse_styles(std::string_view text, std::string_view part) {
    Styles out;
    auto res =
        xml::parse_root(text, part, [&](xml::Reader& r, const xml::Start&) { return StylesParser(r).root(out); });
    if (!res) return fail(std::move(res.error()));
    return out;
}

Result<Parsed> parse(std::string_view text, std::string_view part, Detail detail) {
    xml::Reader r(text);
    Parsed out;
    auto xml_fail = [&](const xml::XmlError& e) { return fail(e.to_error(std::string(part))); };
    for (;;) {
        xml::Event ev = r.next();
        if (ev.kind == xml::EventKind::error) return xml_fail(ev.error);
        if (ev.kind == xml::EventKind::eof) return fail(Error::xml(std::string(part), ev.offset, "no root element"));
        if (ev.kind != xml::EventKind::start) continue;
        out.content.root = root_kind(ev.start);
        out.content.shown = bool_attr(r, ev.start, "show").value_or(true);
        Parser p(r, out.report, detail);
        if (auto st = p.root(out.content); !st) return xml_fail(st.error());
        break;
    }
    for (;;) {
        xml::Event ev = r.next();
        if (ev.kind == xml::EventKind::error) return xml_fail(ev.error);
        if (ev.kind == xml::EventKind::eof) return out;
    }
}

} // namespace vantrell_core::slide
