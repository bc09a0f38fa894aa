// Inflates a file of raw DEFLATE streams with our decoder and with zlib, side
// by side, single-threaded, and prints the throughput of each.
//
// Input: records of (compressed length: u32 LE, uncompressed length: u32 LE,
// compressed bytes), as written by inflate_bench.py.
//
// Usage: bench_inflate STREAMS_FILE [REPETITIONS]
#include "core/inflate.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

namespace {

struct Stream {
    std::span<const std::uint8_t> data;
    std::size_t size; // uncompressed
};

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

bool parse(const std::vector<std::uint8_t>& file, std::vector<Stream>& out) {
    const std::uint8_t* p = file.data();
    const std::uint8_t* end = p + file.size();
    while (p != end) {
        if (end - p < 8) return false;
        const std::size_t clen = le32(p);
        const std::size_t ulen = le32(p + 4);
        p += 8;
        if (clen > static_cast<std::size_t>(end - p)) return false;
        out.push_back({{p, clen}, ulen});
        p += clen;
    }
    return true;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s STREAMS_FILE [REPETITIONS]\n", argv[0]);
        return 2;
    }
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    std::ifstream f(argv[1], std::ios::binary);
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(f)), {});
    std::vector<Stream> streams;
    if (!f.good() && !f.eof()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    if (!parse(file, streams)) {
        std::fprintf(stderr, "malformed streams file\n");
        return 2;
    }
    std::size_t total_in = 0, total_out = 0, max_size = 0;
    for (const auto& s : streams) {
        total_in += s.data.size();
        total_out += s.size;
        max_size = std::max(max_size, s.size);
    }

    // Correctness first: every stream must give zlib's bytes.
    vantrell_core::bytes::Buffer ours;
    std::vector<std::uint8_t> theirs(max_size + 1);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return 2;
    std::size_t failures = 0;
    for (const auto& s : streams) {
        ours.clear();
        auto r = vantrell_core::inflate::inflate(s.data, ours, s.size);
        inflateReset(&z);
        z.next_in = const_cast<Bytef*>(s.data.data());
        z.avail_in = static_cast<uInt>(s.data.size());
        z.next_out = theirs.data();
        z.avail_out = static_cast<uInt>(theirs.size());
        const int zr = ::inflate(&z, Z_FINISH);
        const bool z_ok = zr == Z_STREAM_END && z.total_out == s.size;
        const bool ok = r.has_value() && ours.size() == s.size;
        if (ok != z_ok || (ok && std::memcmp(ours.data(), theirs.data(), s.size) != 0)) ++failures;
    }
    if (failures) {
        std::fprintf(stderr, "%zu streams differ from zlib\n", failures);
        return 1;
    }

    double best_ours = 1e30, best_zlib = 1e30;
    for (int rep = 0; rep < reps; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
        for (const auto& s : streams) {
            ours.clear();
            if (!vantrell_core::inflate::inflate(s.data, ours, s.size)) return 1;
        }
        best_ours = std::min(best_ours, seconds_since(t0));

        t0 = std::chrono::steady_clock::now();
        for (const auto& s : streams) {
            inflateReset(&z);
            z.next_in = const_cast<Bytef*>(s.data.data());
            z.avail_in = static_cast<uInt>(s.data.size());
            z.next_out = theirs.data();
            z.avail_out = static_cast<uInt>(theirs.size());
            if (::inflate(&z, Z_FINISH) != Z_STREAM_END) return 1;
        }
        best_zlib = std::min(best_zlib, seconds_since(t0));
    }
    inflateEnd(&z);

    const double mb = static_cast<double>(total_out) / 1e6;
    std::printf("streams: %zu, compressed %.1f MB, uncompressed %.1f MB, best of %d\n",
                streams.size(), static_cast<double>(total_in) / 1e6, mb, reps);
    std::printf("vantrell inflate: %8.1f MB/s (%.1f ms)\n", mb / best_ours, best_ours * 1e3);
    std::printf("zlib inflate:     %8.1f MB/s (%.1f ms) %s\n", mb / best_zlib, best_zlib * 1e3,
                zlibVersion());
    std::printf("time ratio vantrell/zlib: %.3f\n", best_ours / best_zlib);
    return 0;
}
