// Rendering cost: every file named is opened and rendered as Markdown (or,
// with -t, as text with notes), `reps` times, on one thread or, with -j N,
// on N workers (0: automatic). Meant to run under callgrind as well as on
// the clock.
//
// usage: bench_markdown [-t] [-j N] [reps] file...
#include "core/document.h"
#include "core/markdown.h"
#include "core/text.h"
#include "core/zip.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

int main(int argc, char** argv) {
    using namespace vantrell_core;
    int first = 1;
    bool text_pass = false;
    if (first < argc && std::strcmp(argv[first], "-t") == 0) {
        text_pass = true;
        ++first;
    }
    std::size_t threads = 1;
    if (first + 1 < argc && std::strcmp(argv[first], "-j") == 0) {
        threads = static_cast<std::size_t>(std::atoi(argv[first + 1]));
        first += 2;
    }
    int reps = 1;
    if (first < argc && std::atoi(argv[first]) > 0) reps = std::atoi(argv[first++]);
    std::size_t rendered = 0, bytes = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) {
        for (int i = first; i < argc; ++i) {
            auto source = zip::FileSource::open(argv[i]);
            if (!source) continue;
            auto doc = document::Document::from_source(*source);
            if (!doc) continue;
            document::Document one(doc->shared(), threads);
            if (text_pass) {
                text::TextOptions options;
                options.notes = true;
                bytes += one.text_reporting(options).first.size();
            } else {
                std::vector<std::size_t> all(one.slide_count());
                std::iota(all.begin(), all.end(), std::size_t{0});
                bytes += one.markdown_at(all, markdown::MarkdownOptions{}).first.size();
            }
            ++rendered;
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%zu rendered, %zu bytes, %.3f ms per pass\n", rendered / reps, bytes / reps, s * 1000.0 / reps);
    return 0;
}
