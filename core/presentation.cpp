#include "core/presentation.h"

#include <charconv>

#include "core/mce.h"
#include "core/pml.h"
#include "core/xml.h"

namespace vantrell_core::presentation {

namespace {

using xml::ns::NONE;
using xml::ns::P14;
using xml::ns::PML;
using xml::ns::REL;

std::optional<std::string_view> raw_attr(const xml::Reader& r, const xml::Start& s, std::uint16_t ns,
                                         std::string_view local) {
    if (auto a = r.find_attr(s, ns, local)) return a->value;
    return std::nullopt;
}

std::optional<Size> size_of(const xml::Reader& r, const xml::Start& s) {
    auto cx = r.attr(s, NONE, "cx");
    auto cy = r.attr(s, NONE, "cy");
    if (!cx || !cy) return std::nullopt;
    auto x = pml::value::int64(*cx);
    auto y = pml::value::int64(*cy);
    if (!x || !y) return std::nullopt;
    return Size{*x, *y};
}

class Parser {
public:
    Parser(xml::Reader& r, Presentation& out) : r_(r), out_(out) {}

    xml::Status root() {
        return mce::children_inner(r_, [this](xml::Reader&, const xml::Start& s) { return child(s); }, true);
    }

private:
    xml::Status child(const xml::Start& s) {
        if (s.ns != PML) return {};
        const std::string_view n = s.name.local;
        if (n == "sldIdLst") return entries(true);
        if (n == "sldMasterIdLst") return entries(false);
        if (n == "notesMasterIdLst") return first_rel("notesMasterId", out_.notes_master);
        if (n == "handoutMasterIdLst") return first_rel("handoutMasterId", out_.handout_master);
        if (n == "sldSz") {
            out_.slide_size = size_of(r_, s);
            if (!out_.slide_size) out_.problems.push_back({"sldSz without numeric cx and cy", s.offset});
            // The type stays with the element even when its extents are bad.
            if (auto t = r_.attr(s, NONE, "type")) out_.slide_size_type = std::move(*t);
            return {};
        }
        if (n == "notesSz") {
            out_.notes_size = size_of(r_, s);
            if (!out_.notes_size) out_.problems.push_back({"notesSz without numeric cx and cy", s.offset});
            return {};
        }
        if (n == "extLst") return extensions();
        return {};
    }

    xml::Status entries(bool slides) {
        return mce::children_inner(
            r_,
            [this, slides](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (s.ns != PML || s.name.local != (slides ? "sldId" : "sldMasterId")) return {};
                auto rel = r_.attr(s, REL, "id");
                if (!rel || rel->empty()) {
                    out_.problems.push_back(
                        {slides ? "sldId without r:id" : "sldMasterId without r:id", s.offset});
                    if (slides) out_.slides_without_rel.push_back(out_.slides.size());
                    return {};
                }
                std::optional<std::uint32_t> id;
                if (auto raw = raw_attr(r_, s, NONE, "id")) id = parse_id(*raw);
                if (slides) out_.slides.push_back({std::move(*rel), id, s.offset});
                else out_.masters.push_back({std::move(*rel), id, s.offset});
                return {};
            },
            true);
    }

    xml::Status first_rel(std::string_view element, std::optional<std::string>& out) {
        return mce::children_inner(
            r_,
            [this, element, &out](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (out || s.ns != PML || s.name.local != element) return {};
                if (auto rel = r_.attr(s, REL, "id")) out = std::move(*rel);
                return {};
            },
            true);
    }

    // Sections live in an extension; the pre-release p14 namespace shares
    // the id of the 2010 one.
    xml::Status extensions() {
        return mce::children_inner(
            r_,
            [this](xml::Reader&, const xml::Start& ext) -> xml::Status {
                if (ext.ns != PML || ext.name.local != "ext") return {};
                return mce::children_inner(
                    r_,
                    [this](xml::Reader&, const xml::Start& s) -> xml::Status {
                        if (s.ns != P14 || !out_.sections.empty()) return {};
                        if (s.name.local == "sectionLst") return section_list();
                        if (s.name.local == "sectionPr") return section_list();
                        return {};
                    },
                    true);
            },
            true);
    }

    xml::Status section_list() {
        return mce::children_inner(
            r_,
            [this](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (s.ns != P14 || s.name.local != "section") return {};
                Section sec;
                if (auto name = r_.attr(s, NONE, "name")) sec.name = std::move(*name);
                // The older form lists the ids in one attribute.
                if (auto list = raw_attr(r_, s, NONE, "slideIdLst")) {
                    std::string_view rest = *list;
                    while (!rest.empty()) {
                        const std::size_t sp = rest.find_first_of(" \t\r\n");
                        const std::string_view tok = rest.substr(0, sp);
                        if (auto id = parse_id(tok)) sec.slide_ids.push_back(*id);
                        if (sp == std::string_view::npos) break;
                        rest.remove_prefix(sp + 1);
                    }
                }
                out_.sections.push_back(std::move(sec));
                const std::size_t at = out_.sections.size() - 1;
                return mce::children_inner(
                    r_,
                    [this, at](xml::Reader&, const xml::Start& lst) -> xml::Status {
                        if (lst.ns != P14 || lst.name.local != "sldIdLst") return {};
                        return mce::children_inner(
                            r_,
                            [this, at](xml::Reader&, const xml::Start& id) -> xml::Status {
                                if (id.ns != P14 || id.name.local != "sldId") return {};
                                if (auto raw = raw_attr(r_, id, NONE, "id")) {
                                    if (auto v = parse_id(*raw)) out_.sections[at].slide_ids.push_back(*v);
                                }
                                return {};
                            },
                            true);
                    },
                    true);
            },
            true);
    }

    xml::Reader& r_;
    Presentation& out_;
};

} // namespace

std::optional<std::uint32_t> parse_id(std::string_view raw) noexcept {
    raw = pml::value::trim(raw);
    if (!raw.empty() && raw.front() == '+') raw.remove_prefix(1);
    if (raw.empty()) return std::nullopt;
    for (char c : raw) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::uint32_t v = 0;
    auto [ptr, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), v);
    if (ec != std::errc() || ptr != raw.data() + raw.size()) return std::nullopt;
    return v;
}

Result<Presentation> Presentation::parse(std::string_view text, std::string_view part) {
    Presentation out;
    auto res = xml::parse_root(text, part, [&](xml::Reader& r, const xml::Start& root) -> xml::Status {
        out.root_ok = root.is(PML, "presentation");
        if (auto v = r.attr(root, NONE, "firstSlideNum")) {
            if (auto n = pml::value::int64(*v); n && *n >= INT32_MIN && *n <= INT32_MAX)
                out.first_slide_num = static_cast<std::int32_t>(*n);
        }
        if (auto v = r.attr(root, NONE, "rtl")) out.rtl = pml::value::boolean(*v).value_or(false);
        Parser p(r, out);
        return p.root();
    });
    if (!res) return fail(std::move(res.error()));
    return out;
}

} // namespace vantrell_core::presentation
