"""An ordinary deck's pass beside a huge one, and how soon Ctrl-C ends a pass.

1. `markdown()` of the generated 200-slide deck of bench/text_bench.py,
   alone, then while other Python threads read a deck of 8 slides of 250 MiB
   (a 2 MB file) and a deck of one 100 MiB slide over and over. Goal: beside
   them within 20x of its time alone.
2. In a child process, SIGINT sent to the main thread while its
   `markdown()` of the 8 huge slides waits or reads: the time until
   KeyboardInterrupt comes back.

    python bench/fairness_bench.py
"""
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import vantrell

from corpus import ROOT
from text_bench import generated_deck

sys.path.insert(0, str(ROOT / "tests" / "python"))
import bombs  # noqa: E402  (fixture builders shared with the tests)

MiB = 1 << 20

CHILD = r"""
import os, signal, sys, threading, time
import vantrell
d = vantrell.Document(sys.argv[1])
delay = float(sys.argv[2])
sent = []
def interrupt():
    time.sleep(delay)
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
try:
    d.markdown()
    print("finished before the signal")
except KeyboardInterrupt:
    print(f"{time.perf_counter() - sent[0]:.3f}")
"""


def times(doc, runs):
    out = []
    for _ in range(runs):
        t = time.perf_counter()
        doc.markdown()
        out.append(time.perf_counter() - t)
    return out


def main():
    with tempfile.TemporaryDirectory() as folder:
        huge = os.path.join(folder, "huge.pptx")
        with open(huge, "wb") as f:
            f.write(bombs.blank_slides_deck([f"Slide {i}" for i in range(1, 9)], 250 * MiB))
        one = os.path.join(folder, "one.pptx")
        with open(one, "wb") as f:
            f.write(bombs.blank_slides_deck(["Alone"], 100 * MiB))
        ordinary = vantrell.Document(data=generated_deck())
        alone = times(ordinary, 20)
        print(f"{os.cpu_count()} cores; ordinary 200-slide deck, markdown() alone: "
              f"median {statistics.median(alone) * 1e3:.1f} ms, max {max(alone) * 1e3:.1f} ms")

        for label, path in (("8 slides of 250 MiB", huge), ("one slide of 100 MiB", one)):
            stop = threading.Event()

            def read(path=path):
                d = vantrell.Document(path)
                while not stop.is_set():
                    d.markdown()

            reader = threading.Thread(target=read)
            reader.start()
            time.sleep(1.0)  # well into the huge parts
            beside = times(ordinary, 10)
            stop.set()
            reader.join()
            ratio = statistics.median(beside) / statistics.median(alone)
            print(f"  beside {label}: median {statistics.median(beside) * 1e3:.1f} ms, "
                  f"max {max(beside) * 1e3:.1f} ms, {ratio:.1f}x alone (goal <= 20x)")

        for delay in (0.5, 2.0):
            proc = subprocess.run([sys.executable, "-c", CHILD, huge, str(delay)],
                                  capture_output=True, text=True, timeout=600)
            print(f"  SIGINT {delay} s into markdown() of 8 slides of 250 MiB: "
                  f"KeyboardInterrupt after {proc.stdout.strip() or proc.stderr.strip()[-200:]} s")


if __name__ == "__main__":
    main()
