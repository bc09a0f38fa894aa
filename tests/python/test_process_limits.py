"""Reading in processes made by fork() and interrupted by signals: each case
runs in a child process with a timeout, so that a hang fails the case
instead of stalling the run."""
import subprocess
import sys

import pytest

import bombs
import slidedeck

MiB = 1 << 20

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork() and /proc")

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


def layouts_deck():
    sd = slidedeck
    return sd.make([sd.Slide(sd.sp(2, "Title", sd.para(f"Slide {i}"), ph='type="title"')
                             + sd.sp(3, "Body", *[sd.para(f"Point {k}") for k in range(6)], ph='idx="1"'))
                    for i in range(60)])


CASES = [
    # (case, deck, child script, seconds before it counts as hung)
    ("fork amid passes that read layouts", lambda: layouts_deck(), FORK_AMID_PASSES, 240),
    ("a forked child keeps to the budget", lambda: bombs.blank_slides_deck([f"S{i}" for i in range(8)], 40 * MiB),
     FORKED_CHILD_BUDGET, 240),
    # Reading all of it takes half a minute and more.
    ("SIGINT ends a pass waiting for the budget",
     lambda: bombs.blank_slides_deck([f"S{i}" for i in range(48)], 250 * MiB), INTERRUPT_A_WAIT, 12),
]


@pytest.mark.parametrize("deck, script, timeout", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_in_a_child_process(tmp_path, deck, script, timeout):
    path = tmp_path / "deck.pptx"
    path.write_bytes(deck())
    try:
        proc = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {timeout} s")
    assert (proc.stdout.strip(), proc.returncode) == ("ok", 0), proc.stderr
