"""Entries that share data: a deck of 64 slides whose entries all point at
one slide entry of 250 MiB of blanks (about 300 KB on disk), read with
`text()` on one thread. Reading every entry used to inflate the shared data
64 times; only the entry that owns it is read now, the others fail at once.
Then `check()` of a file whose lying sizes each cross 10,000 offsets that
records point at but hold no header (read from a file over 1 MiB): looking
past them once per entry used to take tens of seconds.

    python bench/overlap_bench.py [slides] [MiB] [runs]
"""
import os
import sys
import tempfile
import time

import vantrell
from corpus import ROOT, best_of, load_average

sys.path.insert(0, str(ROOT / "tests" / "python"))
import bombs  # noqa: E402  (fixture builders shared with the tests)
import overlapkit  # noqa: E402

HEAD = (b'<?xml version="1.0" encoding="UTF-8"?><p:sld xmlns:p="http://schemas.openxmlformats.org/presentationml/'
        b'2006/main"><p:cSld><p:spTree>')
TAIL = b"</p:spTree></p:cSld></p:sld>"


def main():
    slides = int(sys.argv[1]) if len(sys.argv) > 1 else 64
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 250
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    data = overlapkit.shared_slide_deck(slides, bombs.Inflating(HEAD, b" " * (1 << 20), mib, TAIL))
    doc = vantrell.Document(data=data, threads=1)
    t = best_of(runs, doc.text_reporting)
    _, warnings = doc.text_reporting()
    print(f"{slides} slides sharing one {mib} MiB entry ({len(data)} bytes), {load_average()}")
    print(f"  text_reporting(threads=1): {t:.2f} s, {len(warnings)} slides reported unreadable")
    start = time.perf_counter()
    vantrell.check(data=data)
    print(f"  check: {time.perf_counter() - start:.2f} s")

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "lying.zip")
        with open(path, "wb") as f:
            f.write(overlapkit.headers_past_lying_sizes(10_000, 10_000))
        start = time.perf_counter()
        vantrell.check(path)
        print(f"  10,000 lying sizes over 10,000 offsets without a header, check(path): "
              f"{time.perf_counter() - start:.2f} s")


if __name__ == "__main__":
    main()
