// The package checker: rules, findings, the capped report and the driver.
//
// Every rule lives once, in the static table of the stage that applies it;
// a finding copies its rule's code, clause and severity. Stages never fail
// and never stop early: they push findings into one `Sink`, which keeps the
// first `max_findings` in push order and counts what it drops. The driver
// runs the stages in a fixed order and sorts the kept findings once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/package.h"

namespace vantrell_check {

enum class Severity : std::uint8_t { info = 0, warning = 1, error = 2 };

// "info", "warning" or "error".
std::string_view severity_name(Severity s) noexcept;

struct Rule {
    std::string_view code;    // three upper-case letters and three digits
    std::string_view clause;  // the standard's part and clause
    std::string_view summary; // what a conforming package satisfies
    Severity severity;
};

// The row of `table` with this code; a missing code fails to compile.
template <std::size_t N>
consteval const Rule& rule_of(const std::array<Rule, N>& table, std::string_view code) {
    for (const Rule& r : table)
        if (r.code == code) return r;
    throw "no such rule";
}

struct Finding {
    std::string message;
    std::optional<std::string> part;
    std::optional<std::string> location;
    std::string_view code;
    std::string_view clause;
    Severity severity = Severity::info;

    Finding(const Rule& rule, std::string text)
        : message(std::move(text)), code(rule.code), clause(rule.clause), severity(rule.severity) {}

    Finding in_part(std::string_view name) && {
        part = std::string(name);
        return std::move(*this);
    }
    Finding at(std::string where) && {
        location = std::move(where);
        return std::move(*this);
    }
    // "byte {offset}", the location every XML-level finding uses.
    Finding at_byte(std::uint64_t offset) && { return std::move(*this).at("byte " + std::to_string(offset)); }
};

struct Report {
    std::vector<Finding> findings;
    std::size_t parts_checked = 0;
    bool truncated = false;
    // Dropped by the cap, by severity; a report that dropped an error must
    // not pass for clean although its kept findings hold none.
    std::size_t dropped_errors = 0;

    // The distinct codes of `findings`, in order of first appearance.
    std::vector<std::string_view> codes() const;
    // No error among the kept findings, and none dropped by the cap.
    bool is_clean() const noexcept;
};

struct Options {
    std::size_t max_findings = 0;
    bool xml_well_formed = false;
    bool verify_crc = false;
};

// What one stage of a run works out for a later stage, so that each XML part
// is inflated and parsed once per run: the CRC stage keeps the bytes it
// inflated for the XML stage, and the XML stage, while it parses a part,
// makes that part's PresentationML examination, whose findings wait here for
// their own stage so that the report's order does not change. Entries are
// taken out when used; media is never kept.
class RunCache {
public:
    // Results examined ahead of their stage: findings in push order, and the
    // inspections that stage counts.
    struct Deferred {
        std::vector<Finding> findings;
        std::size_t parts_checked = 0;
    };

    // Bytes kept at once: real decks hold a few megabytes of XML, and a
    // hostile one may declare gigabytes, which are then read twice instead.
    static constexpr std::size_t MAX_KEPT_NBYTES = std::size_t{128} << 20;

    // Looks every part's content type up once.
    explicit RunCache(const vantrell_core::package::Package& package, std::size_t max_kept_nbytes = MAX_KEPT_NBYTES);

    // By position in the part table, which must be in range: the content
    // type (into the package's parsed types) and whether it is a
    // relationships part name.
    std::optional<std::string_view> content_type(std::size_t part) const { return facts_[part].content_type; }
    bool is_rels(std::size_t part) const { return facts_[part].rels; }

    // Keyed by the part's position in the part table; out of range is
    // ignored. The bytes are the part's raw decompressed bytes; false when
    // keeping them would pass the budget, and they are not kept.
    bool keep_bytes(std::size_t part, vantrell_core::package::Bytes bytes);
    vantrell_core::package::Bytes take_bytes(std::size_t part);
    void keep_deferred(std::size_t part, Deferred deferred);
    std::optional<Deferred> take_deferred(std::size_t part);
    // Relationships parts the relationships stage has parsed whole; such a
    // parse reads the part to its end, so the part is well-formed.
    // The parse also tells the namespace forms declared up to its root.
    void mark_rels_parsed(std::size_t part, bool strict_root, bool transitional_root) {
        if (part >= facts_.size()) return;
        facts_[part].rels_parsed = true;
        facts_[part].strict_root = strict_root;
        facts_[part].transitional_root = transitional_root;
    }
    bool rels_parsed(std::size_t part) const { return part < facts_.size() && facts_[part].rels_parsed; }
    bool strict_root(std::size_t part) const { return facts_[part].strict_root; }
    bool transitional_root(std::size_t part) const { return facts_[part].transitional_root; }

private:
    struct Facts {
        std::optional<std::string_view> content_type;
        bool rels = false;
        bool rels_parsed = false;
        bool strict_root = false;
        bool transitional_root = false;
    };
    std::vector<Facts> facts_;
    std::vector<vantrell_core::package::Bytes> bytes_;
    std::size_t kept_nbytes_ = 0;
    std::size_t max_kept_nbytes_;
    std::vector<std::optional<Deferred>> deferred_;
};

class Sink {
public:
    // Without a cache every stage reads and parses for itself.
    Sink(Report& report, const Options& options, RunCache* cache = nullptr) noexcept
        : report_(&report), options_(&options), cache_(cache) {}

    void push(Finding finding);
    void count_part(std::size_t n = 1) noexcept { report_->parts_checked += n; }
    const Options& options() const noexcept { return *options_; }
    Report& report() noexcept { return *report_; }
    RunCache* cache() const noexcept { return cache_; }

private:
    Report* report_;
    const Options* options_;
    RunCache* cache_;
};

// Unicode white space (White_Space) trimmed from both ends of UTF-8 text.
std::string_view trim_white_space(std::string_view s);

// Severity descending, then code, then part (absent first); stable.
void sort_findings(std::vector<Finding>& findings);

// All 72 rules: container, content types, relationships, XML parts,
// PresentationML, core properties, each table in its own order.
std::vector<const Rule*> rules();

// Checks an opened package; never fails.
Report check(vantrell_core::package::Package& package, const Options& options);

// Opens `data` as a package and checks it; the opening error otherwise.
vantrell_core::Result<Report> check_bytes(std::vector<std::uint8_t> data, const Options& options);

// Opens the file by positioned reads and checks it. A file that is not a ZIP
// archive gives the compound-file error when its first four bytes carry the
// compound-file signature, else "not a zip archive".
vantrell_core::Result<Report> check_path(std::string_view path, const Options& options);

} // namespace vantrell_check
