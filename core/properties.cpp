#include "core/properties.h"

#include <utility>

#include "core/mce.h"
#include "core/pml.h"
#include "core/xml.h"

namespace vantrell_core::properties {

namespace {

using xml::ns::CORE_PROPS;
using xml::ns::DC;
using xml::ns::DCTERMS;
using xml::ns::EXT_PROPS;
using xml::ns::VT;

// Reads the element's text into `field` unless it already holds a value.
xml::Status text_into(xml::Reader& r, std::optional<std::string>& field) {
    std::string raw;
    if (auto st = r.read_text(raw); !st) return st;
    if (field) return {};
    const std::string_view t = pml::value::trim(raw);
    if (!t.empty()) field = std::string(t);
    return {};
}

xml::Status number_into(xml::Reader& r, std::optional<std::uint64_t>& field) {
    std::optional<std::string> text;
    if (auto st = text_into(r, text); !st) return st;
    if (!field && text) field = pml::value::uint64(*text);
    return {};
}

// Runs `children` over the root element's children, then checks that the
// rest of the text is well-formed.
template <class Fn>
Result<void> over_root(std::string_view text, std::string_view part, Fn&& children) {
    return xml::parse_root(text, part, [&](xml::Reader& r, const xml::Start&) {
        return mce::children_inner(r, [&](xml::Reader& rr, const xml::Start& s) { return children(rr, s); }, true);
    });
}

} // namespace

Result<CoreProperties> CoreProperties::parse(std::string_view text, std::string_view part) {
    CoreProperties p;
    auto res = over_root(text, part, [&p](xml::Reader& r, const xml::Start& s) -> xml::Status {
        const std::string_view n = s.name.local;
        std::optional<std::string>* field = nullptr;
        if (s.ns == DC) {
            if (n == "title") field = &p.title;
            else if (n == "subject") field = &p.subject;
            else if (n == "creator") field = &p.creator;
            else if (n == "description") field = &p.description;
            else if (n == "language") field = &p.language;
            else if (n == "identifier") field = &p.identifier;
        } else if (s.ns == DCTERMS) {
            if (n == "created") field = &p.created;
            else if (n == "modified") field = &p.modified;
        } else if (s.ns == CORE_PROPS) {
            if (n == "keywords") field = &p.keywords;
            else if (n == "lastModifiedBy") field = &p.last_modified_by;
            else if (n == "revision") field = &p.revision;
            else if (n == "lastPrinted") field = &p.last_printed;
            else if (n == "category") field = &p.category;
            else if (n == "contentStatus") field = &p.content_status;
            else if (n == "version") field = &p.version;
        }
        if (!field) return {};
        return text_into(r, *field);
    });
    if (!res) return fail(std::move(res.error()));
    return p;
}

Result<AppProperties> AppProperties::parse(std::string_view text, std::string_view part) {
    AppProperties p;
    bool titles_seen = false;
    auto res = over_root(text, part, [&](xml::Reader& r, const xml::Start& s) -> xml::Status {
        if (s.ns != EXT_PROPS) return {};
        const std::string_view n = s.name.local;
        if (n == "Application") return text_into(r, p.application);
        if (n == "AppVersion") return text_into(r, p.app_version);
        if (n == "Company") return text_into(r, p.company);
        if (n == "Manager") return text_into(r, p.manager);
        if (n == "Template") return text_into(r, p.template_);
        if (n == "PresentationFormat") return text_into(r, p.presentation_format);
        if (n == "Slides") return number_into(r, p.slides);
        if (n == "Notes") return number_into(r, p.notes);
        if (n == "HiddenSlides") return number_into(r, p.hidden_slides);
        if (n == "Words") return number_into(r, p.words);
        if (n == "Paragraphs") return number_into(r, p.paragraphs);
        if (n == "TotalTime") return number_into(r, p.total_time);
        if (n != "TitlesOfParts" || titles_seen) return {};
        titles_seen = true;
        return mce::children_inner(
            r,
            [&](xml::Reader& rv, const xml::Start& vec) -> xml::Status {
                if (!vec.is(VT, "vector")) return {};
                return mce::children_inner(
                    rv,
                    [&](xml::Reader& re, const xml::Start& e) -> xml::Status {
                        if (e.ns != VT || (e.name.local != "lpstr" && e.name.local != "lpwstr")) return {};
                        std::string value;
                        if (auto st = re.read_text(value); !st) return st;
                        p.titles_of_parts.push_back(std::move(value));
                        return {};
                    },
                    true);
            },
            true);
    });
    if (!res) return fail(std::move(res.error()));
    return p;
}

} // namespace vantrell_core::properties
