#include "check/check.h"

#include <algorithm>
#include <utility>

#include "core/encoding.h"
#include "core/opc.h"

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

std::string_view severity_name(Severity s) noexcept {
    static constexpr std::array<std::string_view, 3> NAMES{"info", "warning", "error"};
    const auto i = static_cast<std::size_t>(s);
    return i < NAMES.size() ? NAMES[i] : std::string_view("error");
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

bool is_ascii_white_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

} // namespace

std::string_view trim_white_space(std::string_view s) {
    // An ASCII byte is always a character of its own, even next to invalid
    // UTF-8, so ASCII ends are trimmed without decoding; content types and
    // relationship types are ASCII throughout.
    while (!s.empty() && is_ascii_white_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ascii_white_space(s.back())) s.remove_suffix(1);
    if (s.empty() || (static_cast<unsigned char>(s.front()) < 0x80 && static_cast<unsigned char>(s.back()) < 0x80))
        return s;
    std::size_t begin = s.size();
    std::size_t end = 0;
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t at = pos;
        if (!enc::is_white_space(enc::next_utf8(s, pos))) {
            if (begin == s.size()) begin = at;
            end = pos;
        }
    }
    return begin < end ? s.substr(begin, end - begin) : std::string_view();
}

RunCache::RunCache(const pkg::Package& package, std::size_t max_kept_nbytes)
    : bytes_(package.parts().size()), max_kept_nbytes_(max_kept_nbytes), deferred_(package.parts().size()) {
    const auto& types = package.parsed_content_types().types;
    facts_.reserve(package.parts().size());
    for (const pkg::Part& part : package.parts())
        facts_.push_back({types.content_type_of(part.name), opc::is_rels_part_name(part.name)});
}

bool RunCache::keep_bytes(std::size_t part, pkg::Bytes bytes) {
    if (part >= bytes_.size() || !bytes) return false;
    const std::size_t held = bytes_[part] ? bytes_[part]->size() : 0;
    const std::size_t others = kept_nbytes_ - held;
    if (bytes->size() > max_kept_nbytes_ - others) return false;
    kept_nbytes_ = others + bytes->size();
    bytes_[part] = std::move(bytes);
    return true;
}

pkg::Bytes RunCache::take_bytes(std::size_t part) {
    if (part >= bytes_.size() || !bytes_[part]) return nullptr;
    kept_nbytes_ -= bytes_[part]->size();
    return std::exchange(bytes_[part], nullptr);
}

void RunCache::keep_deferred(std::size_t part, Deferred deferred) {
    if (part < deferred_.size()) deferred_[part] = std::move(deferred);
}

std::optional<RunCache::Deferred> RunCache::take_deferred(std::size_t part) {
    if (part >= deferred_.size()) return std::nullopt;
    return std::exchange(deferred_[part], std::nullopt);
}

void Sink::push(Finding finding) {
    if (report_->findings.size() >= options_->max_findings) {
        report_->truncated = true;
        if (finding.severity == Severity::error) ++report_->dropped_errors;
        return;
    }
    report_->findings.push_back(std::move(finding));
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
    Report report;
    RunCache cache(package);
    Sink sink(report, options, &cache);

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
