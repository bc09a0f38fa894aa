#!/usr/bin/env python3
"""Benchmark our inflate against zlib on the XML parts of real decks.

Extracts the raw deflated data of every XML part (names ending .xml or .rels,
method 8) of every OOXML package in the corpus into one file of records
(compressed length u32 LE, uncompressed length u32 LE, bytes), then runs
bench_inflate on it.

Usage: inflate_bench.py [--corpus DIR] [--build DIR] [--reps N] [--keep FILE]
"""
import os
import struct
import sys
import zipfile

import corpus


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


def extract(folder, out_path):
    count = 0
    with open(out_path, "wb") as out:
        for path in corpus.packages(folder):
            try:
                for data, size in raw_streams(path):
                    out.write(struct.pack("<II", len(data), size))
                    out.write(data)
                    count += 1
            except (zipfile.BadZipFile, OSError, ValueError):
                continue  # damaged decks are not benchmark material
    return count


def main():
    args = corpus.records_args(__doc__, "streams")
    binary = corpus.bench_binary(args.build, "bench_inflate")
    if not os.path.exists(binary):
        corpus.build_bench(args.build, "bench_inflate")
    return corpus.run_on_records(binary, args, extract, "streams.bin", "no deflated XML parts found under")


if __name__ == "__main__":
    sys.exit(main())
