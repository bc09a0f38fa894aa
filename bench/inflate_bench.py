#!/usr/bin/env python3
"""Benchmark our inflate against zlib on the XML parts of real decks.

Extracts the raw deflated data of every XML part (names ending .xml or .rels,
method 8) of every OOXML package in the corpus into one file of records
(compressed length u32 LE, uncompressed length u32 LE, bytes), then runs
bench_inflate on it.

Usage: inflate_bench.py [--corpus DIR] [--build DIR] [--reps N] [--keep FILE]
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import zipfile

PACKAGE_EXTS = (".pptx", ".pptm", ".potx", ".potm", ".ppsx", ".ppsm", ".thmx")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def raw_streams(path):
    """Yields (compressed bytes, uncompressed size) of the deflated XML parts."""
    with open(path, "rb") as f, zipfile.ZipFile(f) as z:
        for info in z.infolist():
            if info.compress_type != zipfile.ZIP_DEFLATED:
                continue
            if not info.filename.endswith((".xml", ".rels")):
                continue
            # The data follows the local header, whose name and extra field
            # lengths may differ from the central directory's.
            f.seek(info.header_offset)
            header = f.read(30)
            if len(header) < 30 or header[:4] != b"PK\x03\x04":
                continue
            name_len, extra_len = struct.unpack("<HH", header[26:30])
            f.seek(info.header_offset + 30 + name_len + extra_len)
            data = f.read(info.compress_size)
            if len(data) == info.compress_size:
                yield data, info.file_size


def extract(corpus, out_path):
    count = 0
    with open(out_path, "wb") as out:
        for name in sorted(os.listdir(corpus)):
            if not name.lower().endswith(PACKAGE_EXTS):
                continue
            try:
                for data, size in raw_streams(os.path.join(corpus, name)):
                    out.write(struct.pack("<II", len(data), size))
                    out.write(data)
                    count += 1
            except (zipfile.BadZipFile, OSError, ValueError):
                continue  # damaged decks are not benchmark material
    return count


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--reps", type=int, default=9)
    ap.add_argument("--keep", help="write the streams file here and keep it")
    args = ap.parse_args()

    binary = os.path.join(args.build, "bench", "bench_inflate")
    if not os.path.exists(binary):
        subprocess.run(["cmake", "-S", ROOT, "-B", args.build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DVANTRELL_PYTHON=OFF",
                        "-DVANTRELL_SANITIZE=OFF", "-DVANTRELL_BENCH=ON"], check=True)
        subprocess.run(["cmake", "--build", args.build, "--target", "bench_inflate"], check=True)

    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or os.path.join(tmp, "streams.bin")
        n = extract(args.corpus, path)
        if n == 0:
            sys.exit("no deflated XML parts found under " + args.corpus)
        return subprocess.run([binary, path, str(args.reps)]).returncode


if __name__ == "__main__":
    sys.exit(main())
