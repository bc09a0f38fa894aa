"""Reading in a child process under what a service runs it with: memory
limits, fork() amid passes, signals. Each row runs in a child with a timeout,
so that a hang fails the row instead of stalling the run; the child prints
"ok" when it finished as it must, else what went wrong."""
import json
import pathlib
import subprocess
import sys

import pytest

import bombs
import slidedeck as sd
from test_passes import fixture_slides

MiB = 1 << 20
HERE = pathlib.Path(__file__).resolve().parent

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork(), rlimits and /proc")

# Calls of the document under test (`threads`) and of a threads=1 document
# take turns, twice over, under an address-space or data limit some MiB
# above what the child holds, on the main thread or on a thread started
# before the limit (whose first call then meets it). Every call must give
# the answer threads=1 gave without the limit, or MemoryError with the room
# about as it found it; under an address-space limit the document under
# test must answer wherever threads=1 just did; and every call must answer
# in a row that says there is room.
UNDER_A_LIMIT = r"""
import json, resource, sys, threading
import vantrell
row = json.loads(sys.argv[2])
data = open(sys.argv[1], "rb").read()
CALLS = {
    "markdown": lambda d: d.markdown(),
    "text": lambda d: d.text(notes=True),
    "extract": lambda d: [d.extract()[0], d.extract()[1].failed_slides],
    "titles": lambda d: d.titles(),
    "slide_texts": lambda d: d.slide_texts(),
    "slides": lambda d: [s.title for s in d.slides()],
}
tested = vantrell.Document(data=data, threads=row["threads"])
single = vantrell.Document(data=data, threads=1)
want = {name: CALLS[name](single) for name in row["calls"]}
if row["keep_stacks"]:
    vantrell.Document(data=data, threads=8).markdown()  # leaves stacks with the process
key, resource_id = {"AS": ("VmSize:", resource.RLIMIT_AS), "DATA": ("VmData:", resource.RLIMIT_DATA)}[row["limit"]]

def held():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key)) << 10

got = []
go = threading.Event()
def run():
    go.wait()
    for _ in range(2):
        for name in row["calls"]:
            for d in (tested, single):
                before = held()
                try:
                    outcome = "same" if CALLS[name](d) == want[name] else "differs"
                except BaseException as e:
                    outcome = type(e).__name__
                got.append((name, d is single, outcome, (held() - before) / (1 << 20)))

worker = threading.Thread(target=run) if row["fresh_thread"] else None
if worker:
    worker.start()
soft, hard = resource.getrlimit(resource_id)
resource.setrlimit(resource_id, (held() + (row["margin_mib"] << 20), hard))
go.set()
worker.join() if worker else run()
resource.setrlimit(resource_id, (soft, hard))
# The C library may keep some freed heap, never an arena (64 MiB), and
# the second time round what the first time took serves again.
faults = [g for g in got if g[2] not in ("same", "MemoryError") or g[2] == "MemoryError" and g[3] > 16]
faults += [g for g in got[len(got) // 2:] if g[3] > 4]
if row["limit"] == "AS":
    faults += [g for g, after in zip(got[::2], got[1::2]) if g[2] != "same" and after[2] == "same"]
if row["answer"]:
    faults += [g for g in got if g[2] != "same"]
if not all(CALLS[name](tested) == want[name] for name in row["calls"]):
    faults.append("no answer once the limit was lifted")
print("ok" if got and not faults else faults)
"""

# Threads run passes while the main thread forks again and again; each child
# runs the pass on the documents the threads had in hand and on a fresh one,
# and may grow by no more than `max_grown_mib` doing it.
FORK_AMID_PASSES = r"""
import json, os, resource, signal, sys, threading, time
import vantrell
row = json.loads(sys.argv[2])
data = open(sys.argv[1], "rb").read()
call = lambda d: getattr(d, row["call"])()
expected = call(vantrell.Document(data=data, threads=1))
shared = vantrell.Document(data=data, threads=row["threads"])
current = [None] * row["readers"]
stop = threading.Event()
def read(i):
    while not stop.is_set():
        current[i] = vantrell.Document(data=data, threads=row["threads"]) if row["fresh_documents"] else shared
        call(current[i])
threads = [threading.Thread(target=read, args=(i,)) for i in range(row["readers"])]
for t in threads: t.start()
while None in current:
    time.sleep(0.01)
time.sleep(0.5)  # passes under way, a huge one holding the budget
failed = 0
for _ in range(row["forks"]):
    docs = list(current)
    pid = os.fork()
    if pid == 0:
        signal.alarm(row["child_seconds"])  # a hang ends the child, and shows in its status
        with open("/proc/self/statm") as f:
            start = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        ok = all(call(d) == expected for d in docs)
        ok = ok and call(vantrell.Document(data=data, threads=row["threads"])) == expected
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - start
        os._exit(0 if ok and grown < row["max_grown_mib"] << 20 else 1)
    _, status = os.waitpid(pid, 0)
    failed += status != 0
stop.set()
for t in threads: t.join()
print("ok" if failed == 0 else f"{failed} children failed")
"""

# The main thread's pass over huge slides waits for the budget behind
# another thread's; SIGINT, sent once a thread of that pass is seen asleep
# without using the processor (waiting), must end it with KeyboardInterrupt
# long before either pass could be done: within a few seconds of the
# signal, as a call that let the signal wait would raise it only once done.
# Given the folder of the tests' deck builders, the call is instead opening
# a legacy deck of 48 MiB, which waits behind three such passes.
INTERRUPT_A_WAIT = r"""
import os, signal, sys, threading, time
import vantrell
path = sys.argv[1]
legacy = None
if sys.argv[2:]:
    sys.path.insert(0, sys.argv[2])
    from test_legacy import legacy_deck, text_box
    legacy = legacy_deck([text_box(1025, "x" * (24 << 20))], [], b"")
sent = []
for _ in range(3 if legacy else 1):
    threading.Thread(target=lambda: vantrell.Document(path, threads=1).markdown(), daemon=True).start()
time.sleep(0.5)

def cpu(tid):
    try:
        with open(f"/proc/self/task/{tid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except FileNotFoundError:
        return None
    return fields[0], int(fields[11]) + int(fields[12])

seen = []
def signal_once_waiting(before):
    # With workers the pass's own threads are the new ones; the calling
    # thread only joins them. Without, the calling thread waits itself.
    before.add(str(threading.get_native_id()))
    while not seen:
        new = set(os.listdir("/proc/self/task")) - before
        mine = new if os.cpu_count() > 1 and not legacy else {str(os.getpid())}
        first = {tid: cpu(tid) for tid in mine}
        time.sleep(0.2)
        seen.extend(tid for tid, state in first.items() if state and state[0] == "S" and cpu(tid) == state)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=signal_once_waiting, args=(set(os.listdir("/proc/self/task")),), daemon=True).start()
try:
    vantrell.Document(data=legacy) if legacy else vantrell.Document(path).markdown()
    print("finished")
except KeyboardInterrupt:
    late = time.monotonic() - sent[0] if sent else None
    print("interrupted before a wait was seen" if late is None else "ok" if late < 3
          else f"interrupted {late:.1f} s after the signal")
sys.stdout.flush()  # a pipe's buffer is not flushed by _exit
os._exit(0)  # the other readers are left behind
"""

# The same for check() and check_report(), alone or beside a check of the
# same deck in another thread (one of the two waits for the budget): the
# signal comes once this thread's call has begun and one of them holds a
# part of 250 MiB.
INTERRUPT_A_CHECK = r"""
import os, signal, sys, threading, time
import vantrell
path, call, beside = sys.argv[1], getattr(vantrell, sys.argv[2]), sys.argv[3] == "beside"
sent = []
begun = threading.Event()
def note(frame, event, arg):
    if event == "c_call" and arg is call:
        begun.set()
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
start = resident()
def interrupt():
    begun.wait()
    while resident() < start + (100 << 20):
        time.sleep(0.01)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
if beside:
    threading.Thread(target=call, args=(path,), daemon=True).start()
threading.Thread(target=interrupt, daemon=True).start()
sys.setprofile(note)
try:
    call(path)
    print("finished")
except KeyboardInterrupt:
    late = time.monotonic() - sent[0] if sent else None
    print("interrupted before the signal" if late is None else "ok" if late < 3
          else f"interrupted {late:.1f} s after the signal")
sys.stdout.flush()  # a pipe's buffer is not flushed by _exit
os._exit(0)
"""

# Eight threads make one call each that reads a part of 250 MiB, under an
# address-space limit with room for two such parts: the budget lets the
# parts in one at a time, so every call gives the answer it gives alone.
CALLERS_UNDER_RLIMIT_AS = r"""
import ctypes, resource, sys, threading
import vantrell
path, call = sys.argv[1], sys.argv[2]
ctypes.CDLL(None).mallopt(-8, 1)  # M_ARENA_MAX: no heap reserved per thread
d = vantrell.Document(path, threads=1) if call == "slide" else None
work = {"check": lambda: [f.code for f in vantrell.check(path)], "open": lambda: vantrell.Document(path).slide_count,
        "slide": lambda: d.slide(0).title}[call]
want = work()
got = []
ready = threading.Barrier(9)
def run():
    ready.wait()
    ready.wait()
    try:
        got.append(work())
    except BaseException as e:
        got.append(type(e).__name__)
threads = [threading.Thread(target=run) for _ in range(8)]
for t in threads: t.start()
ready.wait()
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (700 << 20), resource.RLIM_INFINITY))
ready.wait()
for t in threads: t.join()
print("ok" if got == [want] * 8 else got)
"""

# Daemon threads are inside a call that releases the interpreter lock when
# the main thread returns: the exiting interpreter ends them there, which
# must not abort the process. Ten runs, each a process of its own.
EXIT_AMID_CALLS = r"""
import os, subprocess, sys
RUN = '''
import os, sys, threading, time
import vantrell, vantrell.write as w
data = open(sys.argv[1], "rb").read()
d = vantrell.Document(data=data)
deck = w.Presentation().add(w.Slide("Saved").bullet("one"))
call = {"markdown": d.markdown, "slides": d.slides, "check": lambda: vantrell.check(data=data),
        "open": lambda: vantrell.Document(data=data), "to_bytes": deck.to_bytes,
        "save": lambda: deck.save(os.path.join(os.path.dirname(sys.argv[1]), "saved.pptx"))}[sys.argv[2]]
ready = threading.Barrier(5)
def loop():
    ready.wait()
    while True:
        call()
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
ready.wait()
time.sleep(0.05)
'''
codes = [subprocess.run([sys.executable, "-c", RUN, *sys.argv[1:]], capture_output=True, timeout=60).returncode
         for _ in range(10)]
print("ok" if codes == [0] * 10 else codes)
"""


def large_slides_deck():
    """64 slides of 200 KB: enough work for every worker."""
    return sd.make([sd.Slide(sd.sp(2, "Title", sd.para(f"Slide {i}"), ph='type="title"')
                             + sd.sp(3, "Body", sd.para(f"{i} " + "x " * 100_000)))
                    for i in range(64)])


def layouts_deck():
    return sd.make([sd.Slide(sd.sp(2, "Title", sd.para(f"Slide {i}"), ph='type="title"')
                             + sd.sp(3, "Body", *[sd.para(f"Point {k}") for k in range(6)], ph='idx="1"'))
                    for i in range(60)])


def blank_slides(count, mib):
    def deck():
        return bombs.blank_slides_deck([f"S{i}" for i in range(count)], mib * MiB)
    deck.__name__ = f"{count} blank slides of {mib} MiB"
    return deck


def under(limit, margin_mib, threads, calls=("markdown",), deck=large_slides_deck, answer=True,
          fresh_thread=False, keep_stacks=False, timeout=180):
    """`calls` under a `limit` ("AS": address space, "DATA": data) of
    `margin_mib` MiB over what the child holds. `answer`: there is room
    enough for every call to give its answer (measured where threads=1
    first does, with some MiB to spare); else MemoryError may come."""
    row = {"limit": limit, "margin_mib": margin_mib, "threads": threads, "calls": list(calls),
           "answer": answer, "fresh_thread": fresh_thread, "keep_stacks": keep_stacks}
    name = (f"{limit} {margin_mib} MiB over, {'+'.join(calls)}, {deck.__name__}, threads={threads}"
            + ", fresh thread" * fresh_thread + ", stacks kept" * keep_stacks)
    return (name, deck, UNDER_A_LIMIT, [json.dumps(row)], timeout)


def forking(deck, threads, readers, forks, call="markdown", fresh_documents=True, max_grown_mib=1 << 20,
            child_seconds=20, timeout=240):
    row = {"threads": threads, "readers": readers, "forks": forks, "call": call, "fresh_documents": fresh_documents,
           "max_grown_mib": max_grown_mib, "child_seconds": child_seconds}
    name = f"fork amid {readers} threads' {call}, {deck.__name__}, threads={threads}"
    return (name, deck, FORK_AMID_PASSES, [json.dumps(row)], timeout)


def sixty_four_small_slides():
    return sd.make(fixture_slides() * 16)


def twenty_four_small_slides():
    return sd.make(fixture_slides() * 6)


ALL_PASSES = ("text", "markdown", "extract", "titles", "slide_texts", "slides")

CASES = [
    # (case, deck, child script, its further arguments, seconds before it counts as hung)
    # 64 slides of 200 KB: markdown() and text() give their answer from
    # some 28 MiB over the child's size, slide_texts() from 16 and titles()
    # from 4; the calling thread reads alone there, with no worker's arena.
    under("AS", 24, 64, answer=False),
    under("AS", 48, 64),
    under("AS", 96, 64, ["text"]),
    under("AS", 40, 16),
    under("AS", 56, 16, ["titles"]),
    under("AS", 48, None),
    under("AS", 96, None, ["slide_texts"]),
    under("AS", 8, 8, answer=False),
    under("AS", 130, 4),
    under("AS", 400, None, ["slide_texts"]),
    under("AS", 2, None, answer=False),
    # Room for some workers' arenas, though not beside the pass (150 MiB),
    # and beside it: they start, and the second pass reuses what the
    # first one's took.
    under("AS", 150, None),
    under("AS", 1200, None),
    # A thread that never ran the library before meets the limit first; the
    # room its own arena holds is enough from 1 MiB over.
    under("AS", 8, 1, ["slides"], fresh_thread=True),
    under("AS", 24, 64, ["slides"], fresh_thread=True),
    under("AS", 40, None, fresh_thread=True),
    under("AS", 0, None, fresh_thread=True, answer=False),
    # Small slides: with 1 MiB no worker can start, and the caller reads
    # every slide itself; under a data limit, with the stacks a pass left
    # behind, some start and share the positions out.
    under("AS", 1, 64, ["markdown", "text", "titles"], deck=sixty_four_small_slides),
    under("DATA", 16, 64, ["markdown", "text", "titles"], deck=sixty_four_small_slides, keep_stacks=True),
    # Huge slides: workers reading them at once would hold several times
    # what one thread does; the budget lets them in one at a time. Under a
    # data limit threads=1 answers from some 60 MiB over and automatic
    # threads from 80; under an address-space limit both from 60, and for
    # eight slides of 250 MiB from some 420.
    under("DATA", 130, None, ALL_PASSES, deck=blank_slides(4, 36)),
    under("AS", 130, None, ALL_PASSES, deck=blank_slides(4, 36)),
    under("AS", 40, None, ALL_PASSES, deck=blank_slides(4, 36), answer=False),
    under("AS", 480, None, deck=blank_slides(8, 250), timeout=300),
    under("AS", 300, None, deck=blank_slides(8, 250), answer=False, timeout=300),

    # Threads read fresh documents of a deck whose bullets need its layout
    # and master (read once per deck, on first need) while the main thread
    # forks: each child reads the documents the threads had in hand.
    forking(layouts_deck, None, 3, 40),
    # Passes of one shared document on workers while the process forks: a
    # child made while the pool of kept stacks was locked must not hang on it.
    forking(twenty_four_small_slides, 8, 3, 20, fresh_documents=False, child_seconds=30),
    # A thread holds the budget on huge slides while the main thread forks:
    # the child, reading eight slides of 40 MiB with automatic threads,
    # keeps to the budget of its own.
    forking(blank_slides(8, 40), None, 1, 1, call="slide_texts", fresh_documents=False, max_grown_mib=200,
            child_seconds=60),

    # Reading all of it takes half a minute and more.
    ("SIGINT ends a pass waiting for the budget", blank_slides(48, 250), INTERRUPT_A_WAIT, [], 20),
    ("SIGINT ends opening a legacy deck waiting for the budget", blank_slides(48, 250), INTERRUPT_A_WAIT,
     [str(HERE)], 20),
    ("SIGINT ends check()", blank_slides(48, 250), INTERRUPT_A_CHECK, ["check", "alone"], 20),
    ("SIGINT ends check_report() beside another", blank_slides(48, 250), INTERRUPT_A_CHECK,
     ["check_report", "beside"], 20),
    *[(f"8 threads, RLIMIT_AS for 2 parts of 250 MiB, {call}", deck, CALLERS_UNDER_RLIMIT_AS, [call], 240)
      for call, deck in [("check", blank_slides(1, 250)),
                         ("open", lambda: bombs.blank_presentation_deck(250 * MiB)),
                         ("slide", blank_slides(1, 250))]],
    *[(f"exit while daemon threads run {call}", layouts_deck, EXIT_AMID_CALLS, [call], 240)
      for call in ["markdown", "slides", "check", "open", "to_bytes", "save"]],
]


@pytest.mark.parametrize("deck, script, args, timeout", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_in_a_child_process(tmp_path, deck, script, args, timeout):
    path = tmp_path / "deck.pptx"
    path.write_bytes(deck())
    try:
        proc = subprocess.run([sys.executable, "-c", script, str(path), *args], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {timeout} s")
    assert (proc.stdout.strip(), proc.returncode) == ("ok", 0), proc.stdout[-2000:] + proc.stderr[-2000:]
