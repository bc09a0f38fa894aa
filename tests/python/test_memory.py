"""A UTF-16 part is converted without holding extra copies, measured by the
peak resident size of a child process. (Passes over huge parts under memory
limits are rows of test_process_limits.py.)"""
import os
import subprocess
import sys

import pytest

import bombs

MiB = 1 << 20

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")


def run(code, *args, env=None):
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


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

