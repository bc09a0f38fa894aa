#!/usr/bin/env python3
"""Benchmark the XML pull reader on the inflated XML parts of real decks.

Extracts every XML part (names ending .xml or .rels) of every OOXML package in
the corpus with zipfile into one file of records (length u32 LE, bytes), then
runs bench_xml on it, single thread.

Usage: xml_bench.py [--corpus DIR] [--build DIR] [--reps N] [--keep FILE]
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


def extract(corpus, out_path):
    count = 0
    with open(out_path, "wb") as out:
        for name in sorted(os.listdir(corpus)):
            if not name.lower().endswith(PACKAGE_EXTS):
                continue
            try:
                with zipfile.ZipFile(os.path.join(corpus, name)) as z:
                    for info in z.infolist():
                        if not info.filename.endswith((".xml", ".rels")):
                            continue
                        data = z.read(info)
                        if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
                            # The package converts UTF-16 parts before parsing.
                            data = data.decode("utf-16").encode("utf-8")
                        out.write(struct.pack("<I", len(data)))
                        out.write(data)
                        count += 1
            except (zipfile.BadZipFile, OSError, ValueError, NotImplementedError, EOFError):
                continue  # damaged decks are not benchmark material
    return count


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--reps", type=int, default=9)
    ap.add_argument("--keep", help="write the parts file here and keep it")
    args = ap.parse_args()

    binary = os.path.join(args.build, "bench", "bench_xml")
    subprocess.run(["cmake", "-S", ROOT, "-B", args.build, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DVANTRELL_PYTHON=OFF",
                    "-DVANTRELL_SANITIZE=OFF", "-DVANTRELL_BENCH=ON"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "--target", "bench_xml"], check=True,
                   stdout=subprocess.DEVNULL)

    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or os.path.join(tmp, "parts.bin")
        n = extract(args.corpus, path)
        if n == 0:
            sys.exit("no XML parts found under " + args.corpus)
        return subprocess.run([binary, path, str(args.reps)]).returncode


if __name__ == "__main__":
    sys.exit(main())
