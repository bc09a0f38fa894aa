#!/usr/bin/env python3
"""Benchmark the XML pull reader on the inflated XML parts of real decks.

Extracts every XML part (names ending .xml or .rels) of every OOXML package in
the corpus with zipfile into one file of records (length u32 LE, bytes), then
runs bench_xml on it, single thread.

Usage: xml_bench.py [--corpus DIR] [--build DIR] [--reps N] [--keep FILE]
"""
import struct
import sys
import zipfile

import corpus


def extract(folder, out_path):
    count = 0
    with open(out_path, "wb") as out:
        for path in corpus.packages(folder):
            try:
                with zipfile.ZipFile(path) as z:
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
    args = corpus.records_args(__doc__, "parts")
    binary = corpus.build_bench(args.build, "bench_xml", quiet=True)
    return corpus.run_on_records(binary, args, extract, "parts.bin", "no XML parts found under")


if __name__ == "__main__":
    sys.exit(main())
