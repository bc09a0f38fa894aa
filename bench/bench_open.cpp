// Opening cost alone: every file named is opened as a document `reps` times
// (ZIP directory, package index, main part and its relationships) and
// nothing is rendered. Meant to run under callgrind as well as on the clock.
//
// usage: bench_open [reps] file...
#include "core/document.h"
#include "core/zip.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    using namespace vantrell_core;
    int first = 1;
    int reps = 1;
    if (argc > 1 && std::atoi(argv[1]) > 0) {
        reps = std::atoi(argv[1]);
        first = 2;
    }
    std::size_t opened = 0, failed = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) {
        for (int i = first; i < argc; ++i) {
            auto source = zip::FileSource::open(argv[i]);
            if (!source) {
                ++failed;
                continue;
            }
            auto doc = document::Document::from_source(*source);
            if (doc) ++opened;
            else ++failed;
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%zu opened, %zu failed, %.3f ms per pass\n", opened, failed, s * 1000.0 / reps);
    return 0;
}
