"""Decks whose parts inflate to gigabytes: refused with a clear error per part,
under an address-space limit, and parts within the limit rendered without
holding many copies of their text."""
import io
import json
import subprocess
import sys
import zipfile

import pytest

import bombs
import vantrell

LIMIT = 256 << 20
MiB = 1 << 20

# Runs every reading and checking entry point on one deck, each outcome as
# ["ok", value], ["PptxError", message] or [exception name]; with a limit,
# under that much address space.
CHILD = r"""
import json, resource, sys
path, limit = sys.argv[1], int(sys.argv[2])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import vantrell

def outcome(work):
    try:
        return ["ok", work()]
    except vantrell.PptxError as e:
        return ["PptxError", str(e)]
    except BaseException as e:
        return [type(e).__name__]

d = vantrell.Document(path)
out = {
    "text": outcome(d.text),
    "markdown": outcome(d.markdown),
    "extract": outcome(lambda: [d.extract()[0], d.extract()[1].failed_slides]),
    "slide_texts": outcome(d.slide_texts),
    "titles": outcome(d.titles),
    "slide": outcome(lambda: d.slide(0).title),
    "check": outcome(lambda: [[f.code, f.part, f.message] for f in vantrell.check(path)]),
}
print(json.dumps(out))
"""


def run_child(path, limit=0):
    proc = subprocess.run([sys.executable, "-c", CHILD, str(path), str(limit)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.mark.parametrize("build, text", [(bombs.long_run_deck, "A" * (3 * MiB)), (bombs.blank_tree_deck, "Kept")])
def test_small_builds_are_valid_and_read_back(build, text):
    data = build(3 * MiB)
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        assert z.testzip() is None  # every CRC-32 right
        assert len(z.read("ppt/slides/slide1.xml")) > 3 * MiB
    assert vantrell.Document(data=data).text() == text


@pytest.mark.parametrize("build, size", [(bombs.long_run_deck, 1 << 30), (bombs.blank_tree_deck, 5 << 30)],
                         ids=["one-gib-run", "five-gib-of-blanks"])
def test_bombs_give_a_report_or_pptx_error_under_three_gib(tmp_path, build, size):
    path = tmp_path / "bomb.pptx"
    path.write_bytes(build(size))
    with zipfile.ZipFile(path) as z:
        stored = z.getinfo("ppt/slides/slide1.xml").file_size
    assert stored > size
    refused = (f"unsupported: xml part /ppt/slides/slide1.xml inflates to {stored} bytes, "
               f"over the limit of {LIMIT}")
    got = run_child(path, 3 << 30)
    assert got == {
        "text": ["ok", ""],
        "markdown": ["ok", ""],
        "extract": ["ok", ["", [[0, refused]]]],
        "slide_texts": ["ok", [""]],
        "titles": ["ok", [None]],
        "slide": ["PptxError", refused],
        # The CRC-32 could not be verified either, as for any part not read.
        "check": ["ok", [["XML001", "/ppt/slides/slide1.xml", "part could not be read: " + refused],
                         ["ZIP008", "/ppt/slides/slide1.xml", "part could not be read: " + refused]]],
    }


CHILD_PEAK = r"""
import resource, sys
import vantrell
d = vantrell.Document(sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
lengths = [len(d.text()), len(d.markdown()), len(d.extract()[0]), len(d.slide_texts()[0])]
print(lengths, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


def test_a_long_run_within_the_limit_is_held_about_twice(tmp_path):
    n = 64 * MiB
    path = tmp_path / "long.pptx"
    path.write_bytes(bombs.long_run_deck(n))
    proc = subprocess.run([sys.executable, "-c", CHILD_PEAK, str(path)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lengths, grown = proc.stdout.split("] ")
    heading = len("# Slide 1\n\n")
    assert json.loads(lengths + "]") == [n, heading + n + 1, n, n]
    # The part's bytes, the parsed run, the rendered slide, the joined deck
    # and the Python str: never more than two of them at once.
    assert int(grown) < 2.5 * n


def test_media_is_read_whole_past_the_limit():
    size = LIMIT + MiB
    data = bombs.write_zip(list(bombs.deckkit.parts().items())
                           + [("ppt/media/big.bin", bombs.Inflating(b"", b"\0" * MiB, size // MiB, b""))])
    package = vantrell.Package(data=data)
    assert len(package.read("/ppt/media/big.bin", raw=True)) == size
    assert len(package.read("/ppt/media/big.bin")) == size
