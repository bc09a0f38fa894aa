"""Peak memory of the reading passes on decks of huge parts.

1. Eight slides of 250 MiB of blanks each (a 2 MB file): every per-slide pass
   with threads=1 and with automatic threads, each in a child process of its
   own, under a 3 GiB address-space limit. Goal: automatic within some 20% of
   threads=1, whatever the core count.
2. One slide stored as 160 MiB of UTF-16 (a comment of CJK characters, 240
   MiB as UTF-8): `Slide.text()` and `text()`.
3. `markdown()` with automatic threads against threads=1, no limit: 8
   slides on 8 layouts of 250 MiB each (read once, for the bullets); 16
   slides of 20 MiB; the same from 4 Python threads at once. Goal: automatic
   within 1.3x the peak of threads=1.
4. The 8 slides of 250 MiB read in a `multiprocessing` child made by fork()
   (while a thread of the parent reads them too) and by spawn: what the read
   added to the child's resident size. Goal: forked within 1.3x of spawned.

5. The 8 slides of 250 MiB under address-space limits of 400 to 1200 MiB:
   in one child, markdown() with automatic threads, then again, then with
   threads=1, and the address space (VmSize) after each. Goal: automatic
   answers wherever threads=1 does, and a failed call leaves the address
   space where it was.

Peak resident size (ru_maxrss) and peak address space (VmPeak) of the child.

    python bench/memory_bench.py [passes...]
    python bench/memory_bench.py --threads     (3 and 4 only)
    python bench/memory_bench.py --limits      (5 only)
"""
import json
import multiprocessing
import os
import resource
import threading
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


# Peak resident size of a child that opens argv[1] and runs markdown() with
# argv[2] threads (0: automatic) from argv[3] Python threads at once.
PEAK = r"""
import resource, sys, threading
import vantrell
path, threads, callers = sys.argv[1], int(sys.argv[2]) or None, int(sys.argv[3])
d = vantrell.Document(path, threads=threads)
workers = [threading.Thread(target=d.markdown) for _ in range(callers)]
for w in workers: w.start()
for w in workers: w.join()
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def peak(path, threads, callers=1):
    proc = subprocess.run([sys.executable, "-c", PEAK, path, str(threads), str(callers)],
                          capture_output=True, text=True, timeout=900)
    return int(proc.stdout) if proc.returncode == 0 else float("nan")


def resident_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def grown_by_reading(path, out):
    """In a child: what reading every slide adds to its resident size."""
    import vantrell
    start = resident_now()
    vantrell.Document(path).slide_texts()
    out.put(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - start)


def child_growth(method, path):
    ctx = multiprocessing.get_context(method)
    out = ctx.Queue()
    child = ctx.Process(target=grown_by_reading, args=(path, out))
    child.start()
    grown = out.get(timeout=900)
    child.join()
    return grown


def threads_main(folder):
    import vantrell
    decks = []
    layouts = os.path.join(folder, "layouts.pptx")
    with open(layouts, "wb") as f:
        f.write(bombs.blank_layouts_deck(8, 250 * MiB))
    decks.append(("8 slides on 8 layouts of 250 MiB", layouts, 1))
    sixteen = os.path.join(folder, "sixteen.pptx")
    with open(sixteen, "wb") as f:
        f.write(bombs.blank_slides_deck([f"Slide {i}" for i in range(1, 17)], 20 * MiB))
    decks.append(("16 slides of 20 MiB", sixteen, 1))
    decks.append(("16 slides of 20 MiB, 4 Python threads", sixteen, 4))
    print(f"markdown(), peak RSS, {os.cpu_count()} cores (goal: automatic <= 1.3x threads=1)")
    for label, path, callers in decks:
        one, auto = peak(path, 1, callers), peak(path, 0, callers)
        print(f"  {label:<40} threads=1 {one / MiB:6.0f} MiB   automatic {auto / MiB:6.0f} MiB   "
              f"{auto / one:4.2f}x")

    huge = os.path.join(folder, "blanks.pptx")
    with open(huge, "wb") as f:
        f.write(bombs.blank_slides_deck([f"Slide {i}" for i in range(1, 9)], 250 * MiB))
    spawned = child_growth("spawn", huge)
    stop = threading.Event()

    def read():
        d = vantrell.Document(huge)
        while not stop.is_set():
            d.slide_texts()

    reader = threading.Thread(target=read)
    reader.start()
    try:
        forked = child_growth("fork", huge)
    finally:
        stop.set()
        reader.join()
    print("8 slides of 250 MiB in a multiprocessing child, RSS added by reading (goal: fork <= 1.3x spawn)")
    print(f"  spawn {spawned / MiB:6.0f} MiB   fork {forked / MiB:6.0f} MiB   {forked / spawned:4.2f}x")


# Under an address-space limit of argv[2] MiB: markdown() of argv[1] with
# each thread setting of argv[3] in turn, and VmSize after each.
UNDER_LIMIT = r"""
import json, resource, sys
import vantrell
path, limit, settings = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024

resource.setrlimit(resource.RLIMIT_AS, (limit << 20, resource.getrlimit(resource.RLIMIT_AS)[1]))
out = [["start", "", vm_size()]]
for threads in settings:
    try:
        vantrell.Document(path, threads=threads).markdown()
        outcome = "ok"
    except BaseException as e:
        outcome = type(e).__name__
    out.append([threads or "automatic", outcome, vm_size()])
print(json.dumps(out))
"""


def limits_main(folder):
    blanks = os.path.join(folder, "blanks.pptx")
    with open(blanks, "wb") as f:
        f.write(bombs.blank_slides_deck([f"Slide {i}" for i in range(1, 9)], 250 * MiB))
    print(f"markdown() of 8 slides of 250 MiB under RLIMIT_AS, {os.cpu_count()} cores: outcome, VmSize after")
    for limit in (400, 450, 500, 600, 700, 900, 1200):
        proc = subprocess.run([sys.executable, "-c", UNDER_LIMIT, blanks, str(limit), json.dumps([None, None, 1])],
                              capture_output=True, text=True, timeout=900)
        steps = json.loads(proc.stdout) if proc.returncode == 0 else [["exit", proc.returncode, 0]]
        print(f"  {limit:5} MiB  " + "   ".join(" ".join(str(x) for x in (who, outcome, round(vm / MiB)) if x != "")
                                             for who, outcome, vm in steps))


def main():
    if sys.argv[1:] in (["--threads"], ["--limits"]):
        with tempfile.TemporaryDirectory() as folder:
            (threads_main if sys.argv[1] == "--threads" else limits_main)(folder)
        return
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
