// Legacy deck to text, per file: our reader in process (open the file,
// read the deck, every slide's plain text with notes) against the catppt
// text dumper run on the same file. Best of several repetitions each; the
// ratio is catppt's time over ours.
//
// usage: bench_ppt [reps] file.ppt...
#include "core/document.h"
#include "core/text.h"
#include "core/zip.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Our text of the deck; -1 when it does not open.
long ours(const char* path) {
    using namespace vantrell_core;
    auto source = zip::FileSource::open(path);
    if (!source) return -1;
    auto doc = document::Document::from_source(*source);
    if (!doc) return -1;
    text::TextOptions options;
    options.notes = true;
    return static_cast<long>(text::text_reporting(*doc, options).first.size());
}

long catppt(const char* path) {
    const std::string cmd = std::string("catppt '") + path + "' 2>/dev/null";
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return -1;
    long n = 0;
    char buf[65536];
    std::size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) n += static_cast<long>(got);
    pclose(f);
    return n;
}

template <class F>
double best(int reps, F&& f) {
    double t = 1e30;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        f();
        t = std::min(t, seconds_since(t0));
    }
    return t;
}

} // namespace

int main(int argc, char** argv) {
    int first = 1, reps = 5;
    if (argc > 1 && std::atoi(argv[1]) > 0) {
        reps = std::atoi(argv[1]);
        first = 2;
    }
    double total_ours = 0, total_theirs = 0;
    int files = 0;
    for (int i = first; i < argc; ++i) {
        long n_ours = 0, n_theirs = 0;
        const double a = best(reps, [&] { n_ours = ours(argv[i]); });
        if (n_ours < 0) continue;
        const double b = best(reps, [&] { n_theirs = catppt(argv[i]); });
        std::printf("%9.3f ms %9.3f ms %7.1fx  %8ld %8ld  %s\n", a * 1e3, b * 1e3, b / a, n_ours, n_theirs, argv[i]);
        total_ours += a;
        total_theirs += b;
        ++files;
    }
    if (files == 0) return 1;
    std::printf("%d decks: ours %.3f ms per file, catppt %.3f ms per file, ratio %.1fx\n", files,
                total_ours * 1e3 / files, total_theirs * 1e3 / files, total_theirs / total_ours);
    return 0;
}
