"""Peak memory of the reading passes on decks of huge parts.

1. Eight slides of 250 MiB of blanks each (a 2 MB file): every per-slide pass
   with threads=1 and with automatic threads, each in a child process of its
   own, under a 3 GiB address-space limit. Goal: automatic within some 20% of
   threads=1, whatever the core count.
2. One slide stored as 160 MiB of UTF-16 (a comment of CJK characters, 240
   MiB as UTF-8): `Slide.text()` and `text()`.

Peak resident size (ru_maxrss) and peak address space (VmPeak) of the child.

    python bench/memory_bench.py [passes...]
"""
import json
import os
import subprocess
import sys
import tempfile

from corpus import ROOT

sys.path.insert(0, str(ROOT / "tests" / "python"))
import bombs  # noqa: E402  (fixture builders shared with the tests)

MiB = 1 << 20
LIMIT = 3 << 30
PASSES = ["text", "markdown", "extract", "titles", "slide_texts", "slides"]

CHILD = r"""
import json, resource, sys
path, threads, call, limit = sys.argv[1], int(sys.argv[2]) or None, sys.argv[3], int(sys.argv[4])
import vantrell
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
d = vantrell.Document(path, threads=threads)
work = {"extract": lambda: d.extract(), "slides": lambda: [s.title for s in d.slides()],
        "slide.text": lambda: d.slide(0).text()}.get(call) or getattr(d, call)
try:
    work()
    outcome = "ok"
except BaseException as e:
    outcome = type(e).__name__
with open("/proc/self/status") as f:
    vm_peak = next(int(line.split()[1]) for line in f if line.startswith("VmPeak:")) * 1024
print(json.dumps([outcome, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, vm_peak]))
"""


def measure(path, threads, call):
    proc = subprocess.run([sys.executable, "-c", CHILD, path, str(threads), call, str(LIMIT)],
                          capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        return ["exit " + str(proc.returncode), 0, 0]
    return json.loads(proc.stdout)


def show(label, result):
    outcome, rss, vm = result
    print(f"  {label:<28} {outcome:<12} peak RSS {rss / MiB:7.0f} MiB   VmPeak {vm / MiB:7.0f} MiB")


def main():
    passes = sys.argv[1:] or PASSES
    with tempfile.TemporaryDirectory() as folder:
        blanks = os.path.join(folder, "blanks.pptx")
        with open(blanks, "wb") as f:
            f.write(bombs.blank_slides_deck([f"Slide {i}" for i in range(1, 9)], 250 * MiB))
        print(f"8 slides of 250 MiB of blanks, {os.path.getsize(blanks) / 1e6:.1f} MB, "
              f"{os.cpu_count()} cores, limit {LIMIT >> 30} GiB")
        for call in passes:
            show(f"{call}() threads=1", measure(blanks, 1, call))
            show(f"{call}() automatic", measure(blanks, 0, call))

        wide = os.path.join(folder, "wide.pptx")
        with open(wide, "wb") as f:
            f.write(bombs.utf16_comment_deck(160 * MiB))
        print("one slide of 160 MiB of UTF-16 (240 MiB as UTF-8)")
        show("Slide.text()", measure(wide, 0, "slide.text"))
        show("text()", measure(wide, 0, "text"))


if __name__ == "__main__":
    main()
