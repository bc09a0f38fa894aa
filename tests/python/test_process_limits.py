"""Passes in a child process under the limits a service runs them with: the
child must finish, with the answer it gives without the limit or with
MemoryError, and never die or hang."""
import json
import pathlib
import subprocess
import sys

import pytest

TIMEOUT = 180
HERE = pathlib.Path(__file__).resolve().parent

# Builds a deck of large slides and takes the answer of `call` twice (on the
# main thread, or on a thread started before the limit) under the row's
# limit, which is then lifted to take the answer it must equal; prints
# "same", "differs" or the exception's name per try.
CHILD = r"""
import json, resource, sys, threading
sys.path.insert(0, sys.argv[1])
import vantrell, slidedeck as sd
row = json.loads(sys.argv[2])

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) << 10

def rlimit_as(row):
    slides = [sd.Slide(sd.sp(2, "Title", sd.para(f"Slide {i}"), ph='type="title"')
                       + sd.sp(3, "Body", sd.para(f"{i} " + "x " * 100_000)))
              for i in range(row["slides"])]
    d = vantrell.Document(data=sd.make(slides), threads=row["threads"])
    call = getattr(d, row["call"])
    if row["call"] == "slides":
        call = lambda: [s.title for s in d.slides()]
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
    return [raised or ("same" if value == want else "differs") for raised, value in got]

print(json.dumps(globals()[row["kind"]](row)))
"""


def rlimit(threads, headroom_mib, call="markdown", fresh_thread=False, slides=64):
    """A row: `call` on a deck of `slides` slides of 200 KB under an
    address-space limit `headroom_mib` MiB above the child's size."""
    return pytest.param({"kind": "rlimit_as", "threads": threads, "headroom_mib": headroom_mib, "call": call,
                         "fresh_thread": fresh_thread, "slides": slides},
                        id=f"as-{call}-threads-{threads}-{headroom_mib}mib" + ("-fresh-thread" if fresh_thread else ""))


CASES = [
    # Room for some stacks only: workers that start must still get their
    # thread-local data, and a worker's first exception must not end the child.
    rlimit(64, 24),
    rlimit(64, 48),
    rlimit(64, 96, "text"),
    rlimit(16, 32),
    rlimit(16, 56, "titles"),
    rlimit(None, 48),
    rlimit(None, 96, "slide_texts"),
    rlimit(8, 8),
    rlimit(4, 130),
    rlimit(None, 2),
    # A thread that never ran the library before meets the limit first.
    rlimit(1, 8, "slides", fresh_thread=True),
    rlimit(64, 24, "slides", fresh_thread=True),
    rlimit(None, 40, fresh_thread=True),
]


@pytest.mark.parametrize("row", CASES)
def test_child_under_limits_finishes(row):
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, str(HERE),
                               json.dumps(row)], capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {TIMEOUT} s")
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcome = json.loads(proc.stdout)
    assert outcome and set(outcome) <= {"same", "MemoryError"}, outcome
