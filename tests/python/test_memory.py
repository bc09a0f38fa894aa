"""Memory across workers: passes over decks of huge parts hold about what one
thread does, whatever the worker count, and a UTF-16 part is converted
without holding extra copies. Run in child processes under an address-space
limit or measured by their peak resident size."""
import json
import os
import subprocess
import sys

import pytest

import bombs

MiB = 1 << 20

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")

# Every per-slide pass of the deck at argv[1], with each thread setting, once
# the address space is capped at what the process holds plus argv[2] bytes.
# One malloc arena: each thread's own would take 64 MiB of address space
# apiece, which is the C library's doing and would make the cap depend on the
# processor count.
PASSES = r"""
import json, resource, sys
import vantrell
path, margin = sys.argv[1], int(sys.argv[2])
docs = [(t, vantrell.Document(path, threads=t)) for t in (None, 1)]
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + margin, resource.getrlimit(resource.RLIMIT_AS)[1]))

def outcome(work):
    try:
        return ["ok", work()]
    except BaseException as e:
        return [type(e).__name__]

def passes(d):
    return {
        "text": outcome(d.text),
        "markdown": outcome(d.markdown),
        "extract": outcome(lambda: [d.extract()[0], d.extract()[1].failed_slides]),
        "titles": outcome(d.titles),
        "slide_texts": outcome(d.slide_texts),
        "slides": outcome(lambda: [s.title for s in d.slides()]),
    }

print(json.dumps({str(t): passes(d) for t, d in docs}))
"""


def run(code, *args, env=None):
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_passes_over_huge_slides_fit_where_one_thread_does(tmp_path):
    # Four slides of 36 MiB of blanks: one thread peaks some 70 MiB above
    # where it started, four workers reading at once some 250 MiB.
    titles = ["One", "Two", "Three", "Four"]
    path = tmp_path / "huge.pptx"
    path.write_bytes(bombs.blank_slides_deck(titles, 36 * MiB))
    got = json.loads(run(PASSES, path, 130 * MiB, env={**os.environ, "MALLOC_ARENA_MAX": "1"}))
    expected = got["1"]
    assert expected["titles"] == ["ok", titles]
    assert expected["text"] == ["ok", "\n\n".join(titles)]
    assert all(value[0] == "ok" for value in expected.values()), expected
    assert got["None"] == expected


# The peak resident size a reading call adds, with the text it gave. Large
# blocks always mapped and unmapped: the C library's moving threshold would
# otherwise keep some of a first read around for the second.
PEAK = r"""
import resource, sys
import vantrell
d = vantrell.Document(sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
text = getattr(d, sys.argv[2])() if sys.argv[2] != "slide" else d.slide(0).text()
print(text, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


@pytest.mark.parametrize("call", ["text", "slide"])
def test_a_utf16_part_is_held_once_in_each_form(tmp_path, call):
    n = 40 * MiB
    path = tmp_path / "wide.pptx"
    path.write_bytes(bombs.utf16_comment_deck(n))
    text, grown = run(PEAK, path, call, env={**os.environ, "MALLOC_MMAP_THRESHOLD_": str(128 << 10)}).split()
    assert text == "Wide"
    # The UTF-16 bytes and their UTF-8 form, half as large again, and no
    # more: converting through a growing copy held four times the part.
    assert int(grown) < 3 * n

