// Checker functions and result classes. Arguments are converted under the
// interpreter lock; opening and checking run with it released, on owned
// copies of the path or the bytes; results are copied into plain value
// objects that refer to nothing else.
#include "py/checker.h"

#include "check/check.h"
#include "core/error.h"

namespace _vantrell {

namespace tk = toolkit;
namespace vc = vantrell_check;

struct Finding {
    std::string code;
    std::string severity;
    std::string clause;
    std::optional<std::string> part;
    std::optional<std::string> location;
    std::string message;

    static Finding from(vc::Finding f) {
        return Finding{std::string(f.code), std::string(vc::severity_name(f.severity)), std::string(f.clause),
                       std::move(f.part), std::move(f.location), std::move(f.message)};
    }

    static std::string str(const Finding& f) {
        std::string out = f.severity + " " + f.code + " ";
        if (f.part) out += *f.part + ": ";
        return out + f.message + " [" + f.clause + "]";
    }
    static std::string repr(const Finding& f) { return "Finding(" + f.severity + " " + f.code + " " + f.message + ")"; }

    static const tk::ClassDef<Finding>& definition() {
        static const tk::ClassDef<Finding> def{
            .name = "vantrell.Finding",
            .doc = "One verifier finding.",
            .getters =
                {
                    tk::member<&Finding::code>("code", "Stable rule code such as `REL004`."),
                    tk::member<&Finding::severity>("severity", "`error`, `warning` or `info`."),
                    tk::member<&Finding::clause>("clause", "The ECMA-376 clause the rule enforces."),
                    tk::member<&Finding::part>("part"),
                    tk::member<&Finding::location>("location"),
                    tk::member<&Finding::message>("message"),
                },
            .repr = &repr,
            .slots = {tk::slot_str<&str>()},
        };
        return def;
    }
};

struct Rule {
    std::string code;
    std::string severity;
    std::string clause;
    std::string summary;

    static std::string repr(const Rule& r) { return "Rule(" + r.severity + " " + r.code + " [" + r.clause + "])"; }

    static const tk::ClassDef<Rule>& definition() {
        static const tk::ClassDef<Rule> def{
            .name = "vantrell.Rule",
            .doc = "One verifier rule.",
            .getters =
                {
                    tk::member<&Rule::code>("code"),
                    tk::member<&Rule::severity>("severity"),
                    tk::member<&Rule::clause>("clause"),
                    tk::member<&Rule::summary>("summary"),
                },
            .repr = &repr,
        };
        return def;
    }
};

struct CheckReport {
    std::vector<Finding> findings;
    std::uint64_t parts_checked = 0;
    bool truncated = false;
    std::uint64_t errors = 0;
    std::uint64_t warnings = 0;
    bool is_clean = true;
    std::vector<std::string> codes;

    static CheckReport from(vc::Report report) {
        CheckReport out;
        out.is_clean = report.is_clean();
        for (std::string_view code : report.codes()) out.codes.emplace_back(code);
        out.findings.reserve(report.findings.size());
        for (vc::Finding& f : report.findings) {
            if (f.severity == vc::Severity::error) ++out.errors;
            if (f.severity == vc::Severity::warning) ++out.warnings;
            out.findings.push_back(Finding::from(std::move(f)));
        }
        out.parts_checked = report.parts_checked;
        out.truncated = report.truncated;
        return out;
    }

    static std::string repr(const CheckReport& r) {
        return "CheckReport(errors=" + std::to_string(r.errors) + ", warnings=" + std::to_string(r.warnings) +
               ", parts_checked=" + std::to_string(r.parts_checked) + ", truncated=" + tk::repr::flag(r.truncated) +
               ")";
    }

    static const tk::ClassDef<CheckReport>& definition() {
        static const tk::ClassDef<CheckReport> def{
            .name = "vantrell.CheckReport",
            .doc = "The verifier's result: findings plus how much was checked.",
            .getters =
                {
                    tk::objects<Finding, &CheckReport::findings>("findings", "Most severe first."),
                    tk::member<&CheckReport::parts_checked>("parts_checked"),
                    tk::member<&CheckReport::truncated>("truncated", "True when `max_findings` cut the list short."),
                    tk::member<&CheckReport::errors>("errors", "Number of findings at error severity."),
                    tk::member<&CheckReport::warnings>("warnings", "Number of findings at warning severity."),
                    tk::member<&CheckReport::is_clean>("is_clean", "True when no finding is an error."),
                    tk::member<&CheckReport::codes>("codes", "Distinct rule codes in order of first appearance."),
                },
            .repr = &repr,
        };
        return def;
    }
};

namespace checker {

namespace {

// Converts the arguments shared by check and check_report, opens and checks
// the deck with the lock released; nullopt with an exception set.
std::optional<vc::Report> run_check(const tk::Args& a) {
    std::optional<tk::Path> path;
    std::optional<tk::Bytes> data;
    std::uint64_t max_findings = 1000;
    bool xml_well_formed = true;
    bool verify_crc = true;
    if (!a.get("path", path) || !a.get("data", data) || !a.get("max_findings", max_findings) ||
        !a.get("xml_well_formed", xml_well_formed) || !a.get("verify_crc", verify_crc))
        return std::nullopt;
    if (!tk::one_source(path, data)) return std::nullopt;
    vc::Options options;
    options.max_findings = static_cast<std::size_t>(
        std::min<std::uint64_t>(max_findings, std::numeric_limits<std::size_t>::max()));
    options.xml_well_formed = xml_well_formed;
    options.verify_crc = verify_crc;

    auto result = tk::released_stopping([&](vantrell_core::budget::Stop* stop) -> vantrell_core::Result<vc::Report> {
        options.stop = stop;
        if (data) return vc::check_bytes(std::move(*data), options);
        return vc::check_path(path->native, options);
    });
    if (!tk::succeeded(result)) return std::nullopt;
    return std::move(**result);
}

PyObject* check(PyObject*, const tk::Args& a) {
    auto report = run_check(a);
    if (!report) return nullptr;
    return tk::object_list<Finding>(report->findings, [](vc::Finding& f) { return Finding::from(std::move(f)); });
}

PyObject* check_report(PyObject*, const tk::Args& a) {
    auto report = run_check(a);
    if (!report) return nullptr;
    return tk::Class<CheckReport>::create(CheckReport::from(std::move(*report)));
}

PyObject* rules(PyObject*, const tk::Args&) {
    return tk::object_list<Rule>(vc::rules(), [](const vc::Rule* r) {
        return Rule{std::string(r->code), std::string(vc::severity_name(r->severity)), std::string(r->clause),
                    std::string(r->summary)};
    });
}

} // namespace

bool register_classes(PyObject* module) {
    return tk::Class<Finding>::add_to(module) && tk::Class<Rule>::add_to(module) &&
           tk::Class<CheckReport>::add_to(module);
}

bool register_functions(PyObject* module) {
    return tk::add_attribute(
               module, "check",
               tk::new_function<"check(path=None, *, data=None, max_findings=1000, xml_well_formed=True, verify_crc=True)",
                                &check>(module, "Verifies a deck against ECMA-376 and returns its findings, most severe first.")) &&
           tk::add_attribute(
               module, "check_report",
               tk::new_function<"check_report(path=None, *, data=None, max_findings=1000, xml_well_formed=True, "
                                "verify_crc=True)",
                                &check_report>(module, "Verifies a deck and returns the findings with the parts checked and\n"
                                                       "whether `max_findings` truncated the list.")) &&
           tk::add_attribute(module, "rules", tk::new_function<"rules()", &rules>(module, "Every rule the verifier knows."));
}

} // namespace checker

} // namespace _vantrell
