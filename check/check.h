// The package checker: rules, findings, the capped report and the driver.
//
// Every rule lives once, in the static table of the stage that applies it;
// a finding copies its rule's code, clause and severity. Stages never fail
// and never stop early: they push findings into one `Sink`, which keeps the
// first `max_findings` in push order and counts what it drops. The driver
// runs the stages in a fixed order over one `Reading` of the package, which
// they share, and sorts the kept findings once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/opc.h"
#include "core/package.h"
#include "core/xml.h"

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

// How a finding shows a value stored in the package (a part name, content
// type, id, target, element name or a message that holds one): whole when
// it is at most this long, else its first bytes, cut before a character
// that would not fit, then "... (N bytes)" with the value's length. A
// finding so stays small however long the value and however many findings
// show it. With `quoted`, the bytes shown are in the quoted form.
inline constexpr std::size_t MAX_SHOWN_NBYTES = 256;
std::string shown(std::string_view value, bool quoted = false);

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
        part = shown(name);
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
    // Polled by the calling thread between parts and while a read waits for
    // the process budget; once it says stop, the run ends by throwing
    // budget::Stopped.
    vantrell_core::budget::Stop* stop = nullptr;
};

// What one check run reads of its package, owned by the driver and shared
// by its stages, so that each XML part is inflated once and parsed once per
// run whichever stages look at it:
//  - every part's content type is looked up once;
//  - the bytes the CRC stage inflates for a single-entry XML part are kept
//    for the XML stage; those of a part the package layer later reads whole
//    (relationships, presentation and core properties parts) go to the
//    package's cache as well;
//  - a relationships part the relationships stage parsed whole is known to
//    be well-formed, with the namespace forms of its root;
//  - the XML stage's parse of a PresentationML part makes that part's
//    examination (root and element walk), whose findings wait here for the
//    PresentationML stage so that the report's order does not change.
// What no earlier stage made is made when first asked for, so a stage run
// on its own reads and parses for itself. Media is never kept.
//
// Bytes the reading keeps or lends stay charged to the package's ledger
// (see budget::Held) until it lets go of them; those it put in the
// package's cache, until the reading ends.
class Reading {
public:
    // Bytes kept at once: real decks hold a few megabytes of XML, and a
    // hostile one may declare gigabytes, which are then read twice instead.
    static constexpr std::size_t MAX_KEPT_NBYTES = std::size_t{128} << 20;
    // A buffer is kept to read into again only while this small: a larger
    // one would be memory that no charge counts.
    static constexpr std::size_t MAX_SPARE_NBYTES = std::size_t{1} << 20;

    // One part's parse: the namespace forms declared up to its root, and
    // the first XML error when well-formedness was asked for.
    struct Parse {
        bool strict_root = false;
        bool transitional_root = false;
        std::optional<vantrell_core::xml::XmlError> malformed;
    };

    // The PresentationML examination of one part: findings in push order,
    // and the inspections it counts. Whether findings were dropped past the
    // reading's cap, and how many of them errors.
    struct Examination {
        std::vector<Finding> findings;
        std::size_t parts_checked = 0;
        bool truncated = false;
        std::size_t dropped_errors = 0;
    };

    // Looks every part's content type up once. The examinations it holds
    // keep no more than `max_findings` findings between them: the run's
    // report keeps no more than that in all, and examinations are made in
    // the order their findings are pushed, so what is dropped here would be
    // dropped there.
    explicit Reading(vantrell_core::package::Package& package, std::size_t max_kept_nbytes = MAX_KEPT_NBYTES,
                     std::size_t max_findings = SIZE_MAX);

    // By position in the part table, which must be in range: the content
    // type (into the package's parsed types), whether it is a relationships
    // part name, and whether the XML stage visits it.
    std::optional<std::string_view> content_type(std::size_t part) const { return facts_[part].content_type; }
    bool is_rels(std::size_t part) const { return facts_[part].rels; }
    bool is_xml(std::size_t part) const { return facts_[part].xml; }

    // Keeps the raw decompressed bytes of a single-entry XML part, which an
    // earlier stage inflated, for `raw_bytes`; a part the package layer reads
    // whole gets them in the package's cache too, unless they are UTF-16
    // (the cache holds text as the package converts it). False when keeping
    // them would pass the budget, or for a part out of range or not XML, and
    // they are not kept. Kept bytes take over `charge` (when given), which
    // stays with the reading while the cache holds them.
    bool keep(std::size_t part, vantrell_core::package::Bytes bytes, vantrell_core::budget::Held* charge = nullptr);
    // The part's raw bytes: the kept ones, which the reading lets go of,
    // else read now (no more than an XML part may inflate to), charged to
    // the package's ledger. Valid, and charged, until the next call.
    vantrell_core::Result<std::span<const std::uint8_t>> raw_bytes(std::size_t part);

    // The package's ledger; none when it charges nothing.
    vantrell_core::budget::Ledger* ledger() const noexcept { return package_->ledger(); }

    // The relationships of `source`, whose relationships part is part
    // `rels_part`, through the package's cache; a parse is noted for the
    // XML stage.
    vantrell_core::Result<std::shared_ptr<const vantrell_core::opc::Relationships>> rels(std::string_view source,
                                                                                       std::size_t rels_part);

    // The parse of part `part`, whose UTF-8 text is `text`. A
    // PresentationML part's examination is made in the same reading.
    Parse parse(std::size_t part, std::string_view text, bool well_formedness);

    // The part's PresentationML examination: the one its parse made, which
    // the reading lets go of, else made now from the package's text of the
    // part; empty for a part the examination passes over.
    Examination examination(std::size_t part);

private:
    struct Facts {
        std::optional<std::string_view> content_type;
        // The root the PresentationML examination expects; empty for a part
        // it passes over.
        std::string_view root_local;
        std::uint16_t root_ns = 0;
        bool rels = false;
        bool xml = false;
        // The package layer reads the part whole in a later stage.
        bool read_whole = false;
        bool rels_parsed = false;
        bool strict_root = false;
        bool transitional_root = false;
    };

    // Examines part `part` from `root`, the event that ended the reader's
    // way to the root, into `out`; true when the walk read the root to its
    // end, so the rest of the text is what the reader has left.
    bool examine(std::size_t part, vantrell_core::xml::Reader& reader, const vantrell_core::xml::Event& root,
                 Examination& out);

    struct Kept {
        vantrell_core::package::Bytes bytes;
        vantrell_core::budget::Held charge;
        // The package's cache holds the bytes too.
        bool cached = false;
    };

    vantrell_core::package::Package* package_;
    std::vector<Facts> facts_;
    std::vector<Kept> kept_;
    std::size_t kept_nbytes_ = 0;
    std::size_t max_kept_nbytes_;
    vantrell_core::package::Bytes lent_; // what raw_bytes last handed out
    vantrell_core::bytes::Buffer read_;  // or read into
    vantrell_core::budget::Held lent_charge_;
    std::vector<std::optional<Examination>> examinations_;
    std::size_t max_findings_;
    std::size_t held_findings_ = 0; // in examinations_
};

// Where the stages of a run push findings and count inspections; it hands
// them the run's reading as well.
class Sink {
public:
    Sink(Report& report, const Options& options, Reading& reading) noexcept
        : report_(&report), options_(&options), reading_(&reading) {}

    void push(Finding finding);
    // Counts findings dropped before they reached the sink, past the same
    // cap, `errors` of them errors.
    void dropped(std::size_t errors) noexcept;
    void count_part(std::size_t n = 1) noexcept { report_->parts_checked += n; }
    // Throws budget::Stopped once the run's stop says so; stages call it
    // between parts.
    void poll() const;
    // Gives back, when it ends, what reads through the package were charged
    // meanwhile: a stage holds the parts of one visit at a time. So what it
    // reads must not stay in the package's cache: read_part_once, not
    // read_part.
    vantrell_core::budget::Refunding refunding() const {
        return vantrell_core::budget::Refunding(reading_->ledger());
    }
    const Options& options() const noexcept { return *options_; }
    Report& report() noexcept { return *report_; }
    Reading& reading() const noexcept { return *reading_; }

private:
    Report* report_;
    const Options* options_;
    Reading* reading_;
};

// Severity descending, then code, then part (absent first); stable.
void sort_findings(std::vector<Finding>& findings);

// All 72 rules: container, content types, relationships, XML parts,
// PresentationML, core properties, each table in its own order.
std::vector<const Rule*> rules();

// Checks an opened package; never fails, but for budget::Stopped thrown once
// the options' stop said so. What it reads for parsing is charged to the
// process budget, as one step.
Report check(vantrell_core::package::Package& package, const Options& options);

// Opens `data` as a package and checks it; the opening error otherwise.
vantrell_core::Result<Report> check_bytes(std::vector<std::uint8_t> data, const Options& options);

// Opens the file by positioned reads and checks it. A file that is not a ZIP
// archive gives the compound-file error when its first four bytes carry the
// compound-file signature, else "not a zip archive".
vantrell_core::Result<Report> check_path(std::string_view path, const Options& options);

} // namespace vantrell_check
