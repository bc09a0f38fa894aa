// Throughput of the XML pull reader over real decks' inflated XML parts.
//
// Input: a file of records (length u32 little-endian, then that many bytes),
// one per part, as written by bench/xml_bench.py. Each repetition runs the
// reader over every part, taking every event and touching every attribute;
// the control pass only counts "<" with memchr, the floor any tag scanner
// pays. Reports the best repetition of each in MB/s (10^6 bytes per second).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

#include "core/xml.h"

namespace xml = vantrell_core::xml;

namespace {

struct Totals {
    std::uint64_t events = 0;
    std::uint64_t attrs = 0;
    std::uint64_t errors = 0;
};

Totals reader_pass(const std::vector<std::string_view>& parts) {
    Totals t;
    for (const auto part : parts) {
        xml::Reader r(part);
        for (;;) {
            const xml::Event ev = r.next();
            ++t.events;
            if (ev.kind == xml::EventKind::start) {
                for (xml::Attrs it(r, ev.start); it.next();) ++t.attrs;
            } else if (ev.kind == xml::EventKind::eof) {
                break;
            } else if (ev.kind == xml::EventKind::error) {
                ++t.errors;
                break;
            }
        }
    }
    return t;
}

std::uint64_t control_pass(const std::vector<std::string_view>& parts) {
    std::uint64_t n = 0;
    for (const auto part : parts) {
        const char* p = part.data();
        const char* end = p + part.size();
        while ((p = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p))))) {
            ++n;
            ++p;
        }
    }
    return n;
}

template <class F>
double best_seconds(int reps, F&& f) {
    double best = 1e30;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        if (d.count() < best) best = d.count();
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PARTS_FILE [REPS]\n", argv[0]);
        return 2;
    }
    const int reps = argc > 2 ? std::atoi(argv[2]) : 9;
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    std::uint64_t total = 0;
    while (data.size() - pos >= 4) {
        std::uint32_t len;
        std::memcpy(&len, data.data() + pos, 4);
        pos += 4;
        if (len > data.size() - pos) break;
        parts.emplace_back(data.data() + pos, len);
        pos += len;
        total += len;
    }
    if (parts.empty()) {
        std::fprintf(stderr, "no parts in %s\n", argv[1]);
        return 1;
    }

    Totals totals;
    const double reader_s = best_seconds(reps, [&] { totals = reader_pass(parts); });
    std::uint64_t lt = 0;
    const double control_s = best_seconds(reps, [&] { lt = control_pass(parts); });

    const double mb = static_cast<double>(total) / 1e6;
    std::printf("parts: %zu, bytes: %llu, events: %llu, attributes: %llu, parts with errors: %llu\n",
                parts.size(), static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(totals.events), static_cast<unsigned long long>(totals.attrs),
                static_cast<unsigned long long>(totals.errors));
    std::printf("xml reader:       %8.1f MB/s (%.3f ms)\n", mb / reader_s, reader_s * 1e3);
    std::printf("control (memchr): %8.1f MB/s (%.3f ms, %llu '<')\n", mb / control_s, control_s * 1e3,
                static_cast<unsigned long long>(lt));
    return 0;
}
