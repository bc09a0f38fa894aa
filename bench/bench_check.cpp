// The checker over real decks against the reader's own floor.
//
// Usage: bench_check DIR [REPS]. Every package of DIR is loaded into memory
// once. Each repetition then runs, per deck:
//  - check: open the package from memory and run every stage with the
//    default options (1000 findings, well-formedness, CRC);
//  - read: open the package from memory, then inflate every part the XML
//    stage visits (relationships parts and parts of an XML media type) and
//    run the pull reader over it to the end, once; the least a checker that
//    looks at every XML part must pay.
// Reports the best repetition of each and their ratio, then the time of each
// stage run on its own over a fresh package and reading (open included). A
// stage on its own reads and parses for itself; in a whole check the run's
// reading shares the CRC stage's bytes and the XML stage's parse with the
// later stages, so the stage times add up to more than the check.
//
// Usage for profiling: bench_check DIR REPS check (or read) runs that pass
// alone.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "check/check.h"
#include "check/container.h"
#include "check/content_types.h"
#include "check/core_props.h"
#include "check/pml.h"
#include "check/relationships.h"
#include "check/xml_parts.h"
#include "core/opc.h"
#include "core/package.h"
#include "core/xml.h"

namespace fs = std::filesystem;
namespace pkg = vantrell_core::package;
namespace xml = vantrell_core::xml;
namespace opc = vantrell_core::opc;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::vector<std::uint8_t>> load(const fs::path& dir) {
    std::vector<fs::path> paths;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (ext == ".pptx" || ext == ".pptm" || ext == ".potx" || ext == ".ppsx") paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<std::uint8_t>> decks;
    for (const auto& p : paths) {
        std::ifstream in(p, std::ios::binary);
        decks.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return decks;
}

[[gnu::noinline]] std::uint64_t check_pass(const std::vector<std::vector<std::uint8_t>>& decks, std::uint64_t& parts) {
    const vantrell_check::Options options{1000, true, true};
    std::uint64_t findings = 0;
    for (const auto& d : decks) {
        auto report = vantrell_check::check_bytes(d, options);
        if (!report) continue;
        findings += report->findings.size();
        parts += report->parts_checked;
    }
    return findings;
}

[[gnu::noinline]] std::uint64_t read_pass(const std::vector<std::vector<std::uint8_t>>& decks) {
    std::uint64_t events = 0;
    vantrell_core::bytes::Buffer bytes;
    for (const auto& d : decks) {
        auto package = pkg::Package::from_bytes(d);
        if (!package) continue;
        const opc::ContentTypes& types = package->parsed_content_types().types;
        for (const pkg::Part& part : package->parts()) {
            if (!opc::source_of_rels(part.name)) {
                const auto ct = types.content_type_of(part.name);
                if (!ct || !vantrell_check::xml_parts::is_xml_media_type(*ct)) continue;
            }
            bytes.clear();
            if (!package->read_part_bytes(part.name, bytes)) continue;
            xml::Reader r(pkg::as_text(bytes));
            for (;;) {
                const xml::Event ev = r.next();
                ++events;
                if (ev.kind == xml::EventKind::eof || ev.kind == xml::EventKind::error) break;
            }
        }
    }
    return events;
}

using Stage = void (*)(pkg::Package&, vantrell_check::Sink&);

void stage_pass(const std::vector<std::vector<std::uint8_t>>& decks, Stage stage) {
    const vantrell_check::Options options{1000, true, true};
    for (const auto& d : decks) {
        auto package = pkg::Package::from_bytes(d);
        if (!package) continue;
        vantrell_check::Report report;
        vantrell_check::Reading reading(*package);
        vantrell_check::Sink sink(report, options, reading);
        if (stage) stage(*package, sink);
    }
}

template <class Fn>
double best_seconds(int reps, Fn&& fn) {
    double best = 1e300;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = Clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_check DIR [REPS [check|read]]\n");
        return 2;
    }
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const auto decks = load(argv[1]);
    std::uint64_t total = 0;
    for (const auto& d : decks) total += d.size();

    std::uint64_t findings = 0, parts = 0, events = 0;
    if (argc > 3 && std::string(argv[3]) == "read") {
        std::printf("read %.1f ms\n", best_seconds(reps, [&] { events = read_pass(decks); }) * 1e3);
        return 0;
    }
    if (argc > 3 && std::string(argv[3]) == "check") {
        const double check_s = best_seconds(reps, [&] {
            parts = 0;
            findings = check_pass(decks, parts);
        });
        std::printf("check %.1f ms\n", check_s * 1e3);
        return 0;
    }
    // The two passes alternate, so a change in the machine's load between
    // them does not skew their ratio.
    double check_s = 1e300, read_s = 1e300;
    for (int i = 0; i < reps; ++i) {
        check_s = std::min(check_s, best_seconds(1, [&] {
                               parts = 0;
                               findings = check_pass(decks, parts);
                           }));
        read_s = std::min(read_s, best_seconds(1, [&] { events = read_pass(decks); }));
    }
    std::printf("decks %zu, %.1f MB; check: %llu findings, %llu inspections; read: %llu events\n", decks.size(),
                static_cast<double>(total) / 1e6, static_cast<unsigned long long>(findings),
                static_cast<unsigned long long>(parts), static_cast<unsigned long long>(events));
    std::printf("check %.1f ms, read %.1f ms, ratio %.2f\n", check_s * 1e3, read_s * 1e3, check_s / read_s);

    namespace vc = vantrell_check;
    const std::pair<const char*, Stage> stages[] = {
        {"open only", nullptr},
        {"container", &vc::container::run},
        {"crc", &vc::container::run_crc},
        {"content types", &vc::content_types::run},
        {"relationships", &vc::relationships::run},
        {"xml parts", &vc::xml_parts::run},
        {"presentationml", &vc::pml::run},
        {"core properties", &vc::core_props::run},
    };
    for (const auto& [name, stage] : stages)
        std::printf("  %-16s %7.1f ms\n", name, best_seconds(reps, [&] { stage_pass(decks, stage); }) * 1e3);
    return 0;
}
