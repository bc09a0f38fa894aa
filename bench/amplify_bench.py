"""Decks that name one part many times, and what naming costs ordinary decks.

1. Small files that name one part many times: a 512 KiB slide the slide list
   names 2,000 times; a notes page and a chart named by 1,000 slides; a
   legacy slide record listed 1,000 times; a legacy notes record shared by
   100 slides (24 KiB of UTF-16 text each). For each, in a child process: file size, `text()` (with
   notes where they are named) size, wall time and peak resident size.
   Goal: output and time in proportion to what the deck holds once.
2. Ordinary decks, opened afresh for every pass (so that every pass also
   pays for reading which slide first names each part): the generated
   200-slide deck of the text bench and the corpus, `markdown()` and
   `text(notes=True, comments=True)` with threads=1.

    python bench/amplify_bench.py [corpus folder]
"""
import json
import os
import subprocess
import sys
import tempfile

import vantrell

from corpus import ROOT, best_of, corpus_arg

sys.path.insert(0, str(ROOT / "tests" / "python"))
import slidedeck as sd  # noqa: E402  (fixture builders shared with the tests)
from test_amplification import CHART, NOTES, PARTS, legacy_deck  # noqa: E402
from text_bench import generated_deck  # noqa: E402

MiB = 1 << 20

CHILD = r"""
import json, resource, sys, time
import vantrell
path, notes = sys.argv[1], sys.argv[2] == "1"
t0 = time.perf_counter()
d = vantrell.Document(path)
n = len(d.text(notes=notes))
print(json.dumps({"slides": len(d), "text": n, "wall": time.perf_counter() - t0,
                  "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def big_slide_listed(times=2000):
    line = sd.para("lorem ipsum dolor sit amet " * 38)
    slide = sd.Slide(sd.sp(2, "Body", *[line] * 512))
    ids = "".join(f'<p:sldId id="{256 + k}" r:id="rIdX{k}"/>' for k in range(times))
    return sd.make([slide], sld_ids=ids, pres_rels=[(f"rIdX{k}", "slide", "slides/slide1.xml") for k in range(times)])


def shared_by_slides(count=1000):
    big = dict(PARTS)
    big["ppt/notesSlides/notesSlide1.xml"] = sd.notes_part("\n".join(["speak slowly " * 40] * 1000))
    big["ppt/charts/chart1.xml"] = sd.chart_part("Revenue", (("East", [f"Q{k}" for k in range(5000)],
                                                              [str(k) for k in range(5000)]),))
    slide = sd.Slide(sd.chart_frame(5, "Chart", "rIdC"), rels=[NOTES, CHART], parts=big)
    return sd.make([slide] * count)


DECKS = [
    ("512 KiB slide listed 2,000 times", big_slide_listed, False),
    ("notes and chart named by 1,000 slides", shared_by_slides, True),
    # The test builder writes streams of some 60 KB at most.
    ("legacy 24 KiB slide record listed 1,000 times",
     lambda: legacy_deck([0] * 1000, [0], slide_more=" words" * 2048), False),
    ("legacy 24 KiB notes record shared by 100 slides",
     lambda: legacy_deck(range(100), [1] * 100, notes_more=" words" * 2048), True),
]


def amplification():
    print("decks naming one part many times (child process each)")
    with tempfile.TemporaryDirectory() as tmp:
        for label, build, notes in DECKS:
            path = os.path.join(tmp, "deck")
            data = build()
            with open(path, "wb") as f:
                f.write(data)
            out = subprocess.run([sys.executable, "-c", CHILD, path, "1" if notes else "0"],
                                 capture_output=True, text=True, timeout=600)
            if out.returncode != 0:
                print(f"  {label}: failed: {out.stderr.strip().splitlines()[-1:]}")
                continue
            r = json.loads(out.stdout)
            print(f"  {label}: file {len(data) / 1024:7.0f} KiB, {r['slides']:5d} slides, "
                  f"text {r['text'] / MiB:8.2f} MiB, {r['wall'] * 1e3:8.1f} ms, peak {r['rss'] / MiB:7.0f} MiB")


def ordinary(folder):
    data = generated_deck()
    decks = [("generated 200-slide deck", lambda: [data])]
    if folder.is_dir():
        paths = []
        for p in sorted(folder.iterdir()):
            try:
                vantrell.Document(p)
            except vantrell.PptxError:
                continue
            paths.append(p)
        decks.append((f"corpus, {len(paths)} decks", lambda: [p.read_bytes() for p in paths]))
    print("ordinary decks, a fresh Document per pass, threads=1")
    for label, load in decks:
        datas = load()
        md = best_of(9, lambda: [vantrell.Document(data=x, threads=1).markdown() for x in datas])
        text = best_of(9, lambda: [vantrell.Document(data=x, threads=1).text(notes=True, comments=True)
                                   for x in datas])
        print(f"  {label}: markdown() {md * 1e3:7.1f} ms, text(notes, comments) {text * 1e3:7.1f} ms")


def main():
    amplification()
    ordinary(corpus_arg())


if __name__ == "__main__":
    main()
