"""Peak memory of calls that read huge parts, from 8 Python threads at once
against one: every call that inflates and parses a part charges the process
budget of bytes in flight, so that the threads read about one huge part at a
time, as one thread would.

  - check() of 8 slides of 250 MiB of blanks;
  - opening a deck whose presentation part is 250 MiB;
  - Document.slide(0) of a slide of 250 MiB;
  - markdown() of the 8 slides of 250 MiB (threads=1);
  - opening, markdown() and slide(0).shapes() of a legacy deck whose
    document stream is 200 MiB, one slide's text box.

Each figure is the peak resident size (ru_maxrss) of a child process of its
own. Goal: 8 threads within 1.5x one thread.

    python bench/callers_bench.py [calls...]
"""
import os
import subprocess
import sys
import tempfile

from corpus import ROOT

sys.path.insert(0, str(ROOT / "tests" / "python"))
import bombs  # noqa: E402  (fixture builders shared with the tests)
from test_legacy import legacy_deck, text_box  # noqa: E402

MiB = 1 << 20
CALLERS = 8

CHILD = r"""
import resource, sys, threading
import vantrell
path, call, callers = sys.argv[1], sys.argv[2].removeprefix("legacy "), int(sys.argv[3])
d = vantrell.Document(path, threads=1) if call in ("slide", "markdown", "shapes") else None
work = {"check": lambda: vantrell.check(path), "open": lambda: vantrell.Document(path),
        "slide": lambda: d.slide(0), "markdown": lambda: d.markdown(), "shapes": lambda: d.slide(0).shapes()}[call]
failed = []
def run():
    try:
        work()
    except BaseException as e:
        failed.append(type(e).__name__)
threads = [threading.Thread(target=run) for _ in range(callers)]
for t in threads: t.start()
for t in threads: t.join()
print(failed[0] if failed else "ok", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def peak(path, call, callers):
    proc = subprocess.run([sys.executable, "-c", CHILD, path, call, str(callers)], capture_output=True, text=True,
                          timeout=1800)
    if proc.returncode != 0:
        return "exit " + str(proc.returncode), float("nan")
    outcome, rss = proc.stdout.split()
    return outcome, int(rss)


def main():
    calls = sys.argv[1:] or ["check", "open", "slide", "markdown", "legacy open", "legacy markdown", "legacy shapes"]
    with tempfile.TemporaryDirectory() as folder:
        blanks = os.path.join(folder, "blanks.pptx")
        with open(blanks, "wb") as f:
            f.write(bombs.blank_slides_deck([f"Slide {i}" for i in range(1, 9)], 250 * MiB))
        presentation = os.path.join(folder, "presentation.pptx")
        with open(presentation, "wb") as f:
            f.write(bombs.blank_presentation_deck(250 * MiB))
        legacy = os.path.join(folder, "legacy.ppt")
        with open(legacy, "wb") as f:
            f.write(legacy_deck([text_box(1025, "word " * (20 * MiB))], [], b""))
        # Building it peaks at several times its size, a high-water mark
        # that forked children would inherit as their own peak.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        decks = {"check": blanks, "open": presentation, "slide": blanks, "markdown": blanks,
                 "legacy open": legacy, "legacy markdown": legacy, "legacy shapes": legacy}
        print(f"peak RSS, 1 against {CALLERS} Python threads, {os.cpu_count()} cores (goal: <= 1.5x)")
        for call in calls:
            one_outcome, one = peak(decks[call], call, 1)
            many_outcome, many = peak(decks[call], call, CALLERS)
            print(f"  {call:<16} 1 thread {one / MiB:6.0f} MiB ({one_outcome})   {CALLERS} threads "
                  f"{many / MiB:6.0f} MiB ({many_outcome})   {many / one:4.2f}x")


if __name__ == "__main__":
    main()
