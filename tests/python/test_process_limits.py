"""Reading in a child process under what a service runs it with: address-space
limits, fork() amid passes, signals. Each row runs in a child with a timeout,
so that a hang fails the row instead of stalling the run; the child prints
"ok" when it finished as it must (the answer it gives without the limit, or
MemoryError; never dying or hanging)."""
import json
import subprocess
import sys

import pytest

import bombs
import slidedeck as sd

MiB = 1 << 20

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork(), rlimits and /proc")

# Takes the answer of a call twice (on the main thread, or on a thread
# started before the limit) under an address-space limit some MiB above the
# child's size, then lifts the limit to take the answer it must equal.
UNDER_RLIMIT_AS = r"""
import json, resource, sys, threading
import vantrell
row = json.loads(sys.argv[2])
d = vantrell.Document(data=open(sys.argv[1], "rb").read(), threads=row["threads"])
call = getattr(d, row["call"])
if row["call"] == "slides":
    call = lambda: [s.title for s in d.slides()]

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) << 10

got = []
go = threading.Event()
def run():
    go.wait()
    for _ in range(2):
        try:
            got.append((None, call()))
        except BaseException as e:
            got.append((type(e).__name__, None))

worker = threading.Thread(target=run) if row["fresh_thread"] else None
if worker:
    worker.start()
limit = address_space() + (row["headroom_mib"] << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
go.set()
worker.join() if worker else run()
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
want = call()
outcome = {raised or ("same" if value == want else "differs") for raised, value in got}
allowed = {"same"} if row["must_finish"] else {"same", "MemoryError"}
print("ok" if got and outcome <= allowed else outcome)
"""

# Threads read fresh Documents of a deck whose bullets need its layout and
# master (read once per deck, on first need) while the main thread forks
# again and again; each child reads the Documents the threads had in hand.
FORK_AMID_PASSES = r"""
import os, signal, sys, threading
import vantrell
data = open(sys.argv[1], "rb").read()
expected = vantrell.Document(data=data).markdown()
current = [None] * 3
stop = threading.Event()
def read(i):
    while not stop.is_set():
        current[i] = vantrell.Document(data=data)
        current[i].markdown()
threads = [threading.Thread(target=read, args=(i,)) for i in range(3)]
for t in threads: t.start()
failed = 0
for _ in range(40):
    docs = [d for d in current if d is not None]
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a hang ends the child, and shows in its status
        ok = all(d.markdown() == expected for d in docs) and vantrell.Document(data=data).markdown() == expected
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    failed += status != 0
stop.set()
for t in threads: t.join()
print("ok" if failed == 0 else f"{failed} children failed")
"""

# A thread holds the budget on huge slides while the main thread forks; the
# child reads eight slides of 40 MiB with automatic threads and reports how
# far its resident size grew.
FORKED_CHILD_BUDGET = r"""
import os, resource, sys, threading, time
import vantrell
path = sys.argv[1]
stop = threading.Event()
def read():
    d = vantrell.Document(path)
    while not stop.is_set():
        d.slide_texts()
reader = threading.Thread(target=read)
reader.start()
time.sleep(0.5)
pid = os.fork()
if pid == 0:
    import signal
    signal.alarm(60)
    with open("/proc/self/statm") as f:
        start = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    texts = vantrell.Document(path).slide_texts()
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - start
    os._exit(0 if len(texts) == 8 and grown < 200 * (1 << 20) else 1)
_, status = os.waitpid(pid, 0)
stop.set()
reader.join()
print("ok" if status == 0 else f"child status {status}")
"""

# The main thread's pass over huge slides waits behind another thread's;
# SIGINT must end it with KeyboardInterrupt long before either is done.
INTERRUPT_A_WAIT = r"""
import os, signal, sys, threading, time
import vantrell
path = sys.argv[1]
threading.Thread(target=lambda: vantrell.Document(path).markdown(), daemon=True).start()
threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
try:
    vantrell.Document(path).markdown()
    print("finished")
except KeyboardInterrupt:
    print("ok")
os._exit(0)  # the other reader is left behind
"""

# The same for check() and check_report(), alone or beside a check of the
# same deck in another thread (one of the two waits for the budget): the
# signal comes once this thread's call has begun and one of them holds a
# part of 250 MiB.
INTERRUPT_A_CHECK = r"""
import os, signal, sys, threading, time
import vantrell
path, call, beside = sys.argv[1], getattr(vantrell, sys.argv[2]), sys.argv[3] == "beside"
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
    os.kill(os.getpid(), signal.SIGINT)
if beside:
    threading.Thread(target=call, args=(path,), daemon=True).start()
threading.Thread(target=interrupt, daemon=True).start()
sys.setprofile(note)
try:
    call(path)
    print("finished")
except KeyboardInterrupt:
    print("ok")
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


def rlimit(threads, headroom_mib, call="markdown", fresh_thread=False, must_finish=False):
    """`call` under an address-space limit `headroom_mib` MiB above the
    child's size: room for some worker stacks only, so workers that start
    must still get their thread-local data, and a worker's first exception
    must not end the child. With room enough (`must_finish`) the call must
    give its answer, on fewer workers if need be, not MemoryError."""
    row = {"threads": threads, "headroom_mib": headroom_mib, "call": call, "fresh_thread": fresh_thread,
           "must_finish": must_finish}
    name = f"RLIMIT_AS {headroom_mib} MiB over, {call}, threads={threads}" + (", fresh thread" if fresh_thread else "")
    return (name, large_slides_deck, UNDER_RLIMIT_AS, [json.dumps(row)], 180)


CASES = [
    # (case, deck, child script, its further arguments, seconds before it counts as hung)
    rlimit(64, 24),
    rlimit(64, 48),
    rlimit(64, 96, "text"),
    rlimit(16, 32),
    rlimit(16, 56, "titles"),
    rlimit(None, 48),
    rlimit(None, 96, "slide_texts"),
    rlimit(8, 8),
    rlimit(4, 130, must_finish=True),
    rlimit(None, 400, "slide_texts", must_finish=True),
    rlimit(None, 2),
    # A thread that never ran the library before meets the limit first.
    rlimit(1, 8, "slides", fresh_thread=True),
    rlimit(64, 24, "slides", fresh_thread=True),
    rlimit(None, 40, fresh_thread=True),
    ("fork amid passes that read layouts", layouts_deck, FORK_AMID_PASSES, [], 240),
    ("a forked child keeps to the budget", lambda: bombs.blank_slides_deck([f"S{i}" for i in range(8)], 40 * MiB),
     FORKED_CHILD_BUDGET, [], 240),
    # Reading all of it takes half a minute and more.
    ("SIGINT ends a pass waiting for the budget",
     lambda: bombs.blank_slides_deck([f"S{i}" for i in range(48)], 250 * MiB), INTERRUPT_A_WAIT, [], 12),
    ("SIGINT ends check()", lambda: bombs.blank_slides_deck([f"S{i}" for i in range(48)], 250 * MiB),
     INTERRUPT_A_CHECK, ["check", "alone"], 12),
    ("SIGINT ends check_report() beside another",
     lambda: bombs.blank_slides_deck([f"S{i}" for i in range(48)], 250 * MiB), INTERRUPT_A_CHECK,
     ["check_report", "beside"], 12),
    *[(f"8 threads, RLIMIT_AS for 2 parts of 250 MiB, {call}", deck, CALLERS_UNDER_RLIMIT_AS, [call], 240)
      for call, deck in [("check", lambda: bombs.blank_slides_deck(["S"], 250 * MiB)),
                         ("open", lambda: bombs.blank_presentation_deck(250 * MiB)),
                         ("slide", lambda: bombs.blank_slides_deck(["S"], 250 * MiB))]],
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
    assert (proc.stdout.strip(), proc.returncode) == ("ok", 0), proc.stderr[-2000:]
