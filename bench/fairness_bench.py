"""An ordinary deck's pass beside a huge one, and how soon Ctrl-C ends a pass.

1. `markdown()` of the generated 200-slide deck of bench/text_bench.py,
   alone, then while other Python threads read a deck of 8 slides of 250 MiB
   (a 2 MB file) and a deck of one 100 MiB slide over and over. Goal: beside
   them within 20x of its time alone.
2. `markdown()` of a deck of one 200 MiB slide, alone, then while 2 and 8
   other threads keep opening and reading a deck whose 8 slides each sit on a
   layout of 20 MiB (their steps start small and outgrow the small room).
   Goal: beside them within 20x of its time alone.
3. In a child process, SIGINT sent to the main thread while its
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


def large_beside_growers(folder, give_up=120.0):
    """The 200 MiB slide's markdown() beside threads reading the layouts
    deck; gives up waiting for it after `give_up` seconds."""
    large = os.path.join(folder, "large.pptx")
    with open(large, "wb") as f:
        f.write(bombs.blank_slides_deck(["Alone"], 200 * MiB))
    layouts = os.path.join(folder, "layouts.pptx")
    with open(layouts, "wb") as f:
        f.write(bombs.blank_layouts_deck(8, 20 * MiB))
    alone = times(vantrell.Document(large), 5)
    print(f"  one 200 MiB slide, markdown() alone: median {statistics.median(alone):.2f} s, "
          f"max {max(alone):.2f} s")
    for readers in (2, 8):
        beside_readers(large, layouts, readers, statistics.median(alone), give_up)


def beside_readers(large, layouts, readers, alone, give_up):
    stop = threading.Event()
    passes = []

    def read():
        while not stop.is_set():
            # A fresh document each time: its layouts are parsed anew.
            vantrell.Document(layouts).markdown()
            passes.append(1)

    threads = [threading.Thread(target=read) for _ in range(readers)]
    for t in threads:
        t.start()
    time.sleep(2.0)  # the readers well under way
    took = []
    waited = threading.Thread(target=lambda: took.append(times(vantrell.Document(large), 1)[0]))
    before = len(passes)
    waited.start()
    waited.join(give_up)
    during = len(passes) - before
    stop.set()
    for t in threads:
        t.join()
    waited.join()
    if took and took[0] <= give_up:
        print(f"  beside {readers} threads on 20 MiB layouts: {took[0]:.2f} s, "
              f"{took[0] / alone:.1f}x alone (goal <= 20x); their passes meanwhile: {during}")
    else:
        print(f"  beside {readers} threads on 20 MiB layouts: not done after {give_up:.0f} s "
              f"({during} of their passes meanwhile; done {took[0]:.1f} s after it began, once they stopped)")


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

        large_beside_growers(folder)

        for delay in (0.5, 2.0):
            proc = subprocess.run([sys.executable, "-c", CHILD, huge, str(delay)],
                                  capture_output=True, text=True, timeout=600)
            print(f"  SIGINT {delay} s into markdown() of 8 slides of 250 MiB: "
                  f"KeyboardInterrupt after {proc.stdout.strip() or proc.stderr.strip()[-200:]} s")


if __name__ == "__main__":
    main()
