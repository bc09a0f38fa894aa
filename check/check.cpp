#include "check/check.h"

#include <algorithm>
#include <utility>

#include "core/encoding.h"
#include "core/name_index.h"
#include "core/opc.h"
#include "core/xml.h"

#include "check/container.h"
#include "check/content_types.h"
#include "check/core_props.h"
#include "check/pml.h"
#include "check/relationships.h"
#include "check/xml_parts.h"

namespace vantrell_check {

namespace pkg = vantrell_core::package;
namespace enc = vantrell_core::encoding;
namespace opc = vantrell_core::opc;
namespace xml = vantrell_core::xml;

std::string_view severity_name(Severity s) noexcept {
    static constexpr std::array<std::string_view, 3> NAMES{"info", "warning", "error"};
    const auto i = static_cast<std::size_t>(s);
    return i < NAMES.size() ? NAMES[i] : std::string_view("error");
}

std::string shown(std::string_view value, bool quoted) {
    if (!quoted) return enc::shortened(value, MAX_SHOWN_NBYTES);
    if (value.size() <= MAX_SHOWN_NBYTES) return enc::quoted(value);
    return enc::quoted(enc::utf8_head(value, MAX_SHOWN_NBYTES)) + "... (" + std::to_string(value.size()) + " bytes)";
}

std::vector<std::string_view> Report::codes() const {
    std::vector<std::string_view> out;
    for (const Finding& f : findings)
        if (std::find(out.begin(), out.end(), f.code) == out.end()) out.push_back(f.code);
    return out;
}

bool Report::is_clean() const noexcept {
    if (dropped_errors != 0) return false;
    return std::none_of(findings.begin(), findings.end(),
                        [](const Finding& f) { return f.severity == Severity::error; });
}

namespace {

// Reads up to the first start element, the end of the document or an error;
// that event.
xml::Event to_root(xml::Reader& reader) {
    for (;;) {
        xml::Event e = reader.next();
        if (e.kind == xml::EventKind::start || e.kind == xml::EventKind::eof || e.kind == xml::EventKind::error)
            return e;
    }
}

// The first error of the rest of a document whose root the reader has
// entered; the same answer as xml::well_formed over the whole text.
std::optional<xml::XmlError> rest_malformed(xml::Reader& reader) {
    for (;;) {
        const xml::Event e = reader.next();
        if (e.kind == xml::EventKind::eof) return std::nullopt;
        if (e.kind == xml::EventKind::error) return e.error;
    }
}

bool is_core_properties_type(std::optional<std::string_view> content_type) {
    return content_type && vantrell_core::name_index::AsciiCaseless::equal(
                               *content_type, "application/vnd.openxmlformats-package.core-properties+xml");
}

} // namespace

Reading::Reading(pkg::Package& package, std::size_t max_kept_nbytes, std::size_t max_findings)
    : package_(&package), kept_(package.parts().size()), max_kept_nbytes_(max_kept_nbytes),
      examinations_(package.parts().size()), max_findings_(max_findings) {
    const auto& types = package.parsed_content_types().types;
    facts_.reserve(package.parts().size());
    for (const pkg::Part& part : package.parts()) {
        Facts& f = facts_.emplace_back();
        f.content_type = types.content_type_of(part.name);
        f.rels = opc::is_rels_part_name(part.name);
        f.xml = xml_parts::visits(f.rels, f.content_type);
        if (!f.xml) continue;
        if (const auto expected = pml::expected_root(f.content_type)) {
            f.root_local = expected->local;
            f.root_ns = expected->ns;
        }
        f.read_whole = f.rels || f.root_local == "presentation" || is_core_properties_type(f.content_type);
    }
}

bool Reading::keep(std::size_t part, pkg::Bytes bytes, vantrell_core::budget::Held* charge) {
    if (part >= kept_.size() || !bytes || !facts_[part].xml) return false;
    Kept& kept = kept_[part];
    const std::size_t held = kept.bytes ? kept.bytes->size() : 0;
    const std::size_t others = kept_nbytes_ - held;
    if (bytes->size() > max_kept_nbytes_ - others) return false;
    kept_nbytes_ = others + bytes->size();
    kept.cached = facts_[part].read_whole && !enc::is_utf16_xml(*bytes);
    if (kept.cached) package_->cache_part(part, bytes);
    kept.bytes = std::move(bytes);
    kept.charge = charge ? std::move(*charge) : vantrell_core::budget::Held();
    return true;
}

vantrell_core::Result<std::span<const std::uint8_t>> Reading::raw_bytes(std::size_t part) {
    if (part < kept_.size() && kept_[part].bytes) {
        Kept& kept = kept_[part];
        kept_nbytes_ -= kept.bytes->size();
        lent_ = std::exchange(kept.bytes, nullptr);
        // The package's cache keeps what it was given as long as the run
        // goes on, and so does the charge.
        if (kept.cached) lent_charge_.give_back();
        else lent_charge_ = std::move(kept.charge);
        return std::span<const std::uint8_t>(*lent_);
    }
    lent_ = nullptr;
    lent_charge_.give_back();
    if (read_.capacity() > MAX_SPARE_NBYTES) read_ = {};
    read_.clear();
    const pkg::Part& p = package_->parts()[part];
    if (!lent_charge_.take(ledger(), pkg::parse_cost(p))) return vantrell_core::fail(pkg::stopped());
    if (auto r = package_->read_part_bytes(p.name, read_, pkg::MAX_XML_PART_NBYTES); !r)
        return vantrell_core::fail(std::move(r.error()));
    return std::span<const std::uint8_t>(read_);
}

vantrell_core::Result<std::shared_ptr<const opc::Relationships>> Reading::rels(std::string_view source,
                                                                               std::size_t rels_part) {
    auto loaded = package_->rels(source);
    // Such a parse reads the part to its end, so the part is well-formed.
    if (loaded && rels_part < facts_.size()) {
        Facts& f = facts_[rels_part];
        f.rels_parsed = true;
        f.strict_root = (*loaded)->strict_root;
        f.transitional_root = (*loaded)->transitional_root;
    }
    return loaded;
}

bool Reading::examine(std::size_t part, xml::Reader& reader, const xml::Event& root, Examination& out) {
    Report held;
    const Options capped{max_findings_ - held_findings_, false, false};
    Sink sink(held, capped, *this);
    // The PresentationML stage counts every part it reads.
    sink.count_part();
    bool walked = false;
    if (root.kind == xml::EventKind::start) {
        const Facts& f = facts_[part];
        walked = pml::examine(*package_, package_->parts()[part].name, pml::ExpectedRoot{f.root_ns, f.root_local},
                              reader, root.start, sink)
                     .has_value();
    }
    out = Examination{std::move(held.findings), held.parts_checked, held.truncated, held.dropped_errors};
    return walked;
}

Reading::Parse Reading::parse(std::size_t part, std::string_view text, bool well_formedness) {
    const Facts& f = facts_[part];
    xml::Reader reader(text);
    if (!f.root_local.empty()) {
        // The walk reads through the reader's own events, so draining the
        // reader after it finds what a separate well-formedness pass would;
        // a walk that stopped early leaves that to a separate pass.
        const xml::Event root = to_root(reader);
        Parse out{reader.strict_seen(), reader.transitional_seen(), std::nullopt};
        if (examinations_[part]) held_findings_ -= examinations_[part]->findings.size();
        Examination& examination = examinations_[part].emplace();
        const bool walked = examine(part, reader, root, examination);
        held_findings_ += examination.findings.size();
        if (well_formedness) out.malformed = walked ? rest_malformed(reader) : xml::well_formed(text);
        return out;
    }
    if (f.rels_parsed) return Parse{f.strict_root, f.transitional_root, std::nullopt};
    // Namespace declarations count only up to the root's start tag.
    const xml::Event root = to_root(reader);
    Parse out{reader.strict_seen(), reader.transitional_seen(), std::nullopt};
    if (!well_formedness) return out;
    if (root.kind == xml::EventKind::error) out.malformed = root.error;
    else if (root.kind == xml::EventKind::eof) out.malformed = xml::XmlError{"no root element", text.size()};
    else out.malformed = rest_malformed(reader);
    return out;
}

Reading::Examination Reading::examination(std::size_t part) {
    if (part >= examinations_.size()) return {};
    if (examinations_[part]) {
        held_findings_ -= examinations_[part]->findings.size();
        return *std::exchange(examinations_[part], std::nullopt);
    }
    if (facts_[part].root_local.empty()) return {};
    // Not kept in the view: the caller gives the charge back when done.
    auto bytes = package_->read_part_once(package_->parts()[part].name);
    if (!bytes) return {};
    const pkg::Bytes text = std::move(*bytes);
    xml::Reader reader(pkg::as_text(*text));
    Examination out;
    (void)examine(part, reader, to_root(reader), out);
    return out;
}

void Sink::poll() const {
    if (options_->stop && options_->stop->poll()) throw vantrell_core::budget::Stopped();
}

void Sink::push(Finding finding) {
    if (report_->findings.size() >= options_->max_findings) {
        dropped(finding.severity == Severity::error ? 1 : 0);
        return;
    }
    report_->findings.push_back(std::move(finding));
}

void Sink::dropped(std::size_t errors) noexcept {
    report_->truncated = true;
    report_->dropped_errors += errors;
}

namespace {

// True when a must come before b.
bool before(const Finding& a, const Finding& b) noexcept {
    if (a.severity != b.severity) return a.severity > b.severity;
    if (a.code != b.code) return a.code < b.code;
    if (!a.part || !b.part) return !a.part && b.part;
    return *a.part < *b.part;
}

} // namespace

void sort_findings(std::vector<Finding>& findings) {
    std::stable_sort(findings.begin(), findings.end(), before);
}

std::vector<const Rule*> rules() {
    std::vector<const Rule*> out;
    out.reserve(72);
    auto add = [&out](const auto& table) {
        for (const Rule& r : table) out.push_back(&r);
    };
    add(container::CONTAINER_RULES);
    add(content_types::CONTENT_TYPE_RULES);
    add(relationships::RELATIONSHIP_RULES);
    add(xml_parts::XML_RULES);
    add(pml::PRESENTATION_RULES);
    add(core_props::CORE_PROPERTY_RULES);
    return out;
}

Report check(pkg::Package& package, const Options& options) {
    const pkg::Charging charging(package, options.stop);
    Report report;
    Reading reading(package, Reading::MAX_KEPT_NBYTES, options.max_findings);
    Sink sink(report, options, reading);

    container::run(package, sink);
    if (options.verify_crc) container::run_crc(package, sink);
    // The container stage has reported a stream that is missing or broken.
    const pkg::PackageDefects& defects = package.defects();
    if (!defects.content_types_missing && !defects.content_types_error && !defects.content_types_unreadable)
        content_types::run(package, sink);
    relationships::run(package, sink);
    xml_parts::run(package, sink);
    pml::run(package, sink);
    core_props::run(package, sink);
    // A read refused by the stop made a finding of its own.
    sink.poll();

    sort_findings(report.findings);
    return report;
}

vantrell_core::Result<Report> check_bytes(std::vector<std::uint8_t> data, const Options& options) {
    auto package = pkg::Package::from_bytes(std::move(data));
    if (!package) return vantrell_core::fail(std::move(package.error()));
    return check(*package, options);
}

vantrell_core::Result<Report> check_path(std::string_view path, const Options& options) {
    auto package = pkg::Package::open_path(path);
    if (!package) return vantrell_core::fail(std::move(package.error()));
    return check(*package, options);
}

} // namespace vantrell_check
