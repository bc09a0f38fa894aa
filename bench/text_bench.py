"""Text and Markdown extraction speed.

1. Every deck of the corpus that opens, single-threaded: `markdown()` and
   `text(notes=True)` against a baseline that pulls slide and notes text out
   with `zipfile` and `xml.etree.ElementTree`.
2. A generated 200-slide deck of text, tables and charts, then every deck of
   the corpus that opens: `markdown()` with automatic threads against
   `threads=1`, median wall time and CPU time (user + system of all
   threads), and the corpus decks that automatic threads make slower.

    python bench/text_bench.py [corpus folder] [--threads]

`--threads` runs only the thread comparisons of 2.
"""
import os
import re
import statistics
import sys
import xml.etree.ElementTree as ET
import zipfile

import vantrell

from corpus import ROOT, best_of_alternating, corpus_arg, load_average, median_wall_and_cpu

sys.path.insert(0, str(ROOT / "tests" / "python"))
import slidedeck  # noqa: E402  (fixture builders shared with the tests)

A_T = "{http://schemas.openxmlformats.org/drawingml/2006/main}t"
SLIDE_OR_NOTES = re.compile(r"ppt/(slides/slide|notesSlides/notesSlide)\d+\.xml$")


def baseline(path):
    out = []
    with zipfile.ZipFile(path) as z:
        for name in z.namelist():
            if SLIDE_OR_NOTES.match(name):
                root = ET.fromstring(z.read(name))
                out.append("\n".join(t.text or "" for t in root.iter(A_T)))
    return "\n\n".join(out)


def corpus_bench(folder):
    decks = []
    for path in sorted(folder.iterdir()):
        try:
            vantrell.Document(path)
            baseline(path)
        except Exception:  # noqa: BLE001 - only decks both sides read are timed
            continue
        decks.append(path)

    def ours_md():
        for p in decks:
            vantrell.Document(p, threads=1).markdown()

    def ours_text():
        for p in decks:
            vantrell.Document(p, threads=1).text(notes=True)

    def theirs():
        for p in decks:
            baseline(p)

    t_base, t_md, t_text = best_of_alternating(7, [theirs, ours_md, ours_text])
    print(f"corpus: {len(decks)} decks, single thread")
    print(f"  baseline (zipfile + ElementTree) {t_base * 1e3:8.1f} ms")
    print(f"  markdown()                       {t_md * 1e3:8.1f} ms   {t_base / t_md:5.1f}x")
    print(f"  text(notes=True)                 {t_text * 1e3:8.1f} ms   {t_base / t_text:5.1f}x")


def generated_deck(n=200):
    sd = slidedeck
    slides = []
    for i in range(n):
        paras = [sd.para(f"Point {k} of slide {i}: " + "lorem ipsum dolor sit amet " * 6) for k in range(12)]
        rows = [(1, [sd.cell(sd.para(f"r{r}c{c} value {i}")) for c in range(6)]) for r in range(20)]
        series = tuple((f"S{s}", [f"C{c}" for c in range(24)], [str(c * s + i) for c in range(24)])
                       for s in range(4))
        slides.append(sd.Slide(
            sd.sp(2, "Title", sd.para(f"Slide {i}"), ph='type="title"')
            + sd.sp(3, "Body", *paras, ph='idx="1"')
            + sd.table(4, "Table", [1] * 6, rows)
            + sd.chart_frame(5, "Chart", "rIdC"),
            rels=[("rIdC", "chart", f"../charts/chart{i}.xml")],
            parts={f"ppt/charts/chart{i}.xml": sd.chart_part(f"Chart {i}", series)}))
    return sd.make(slides)


def compare_threads(label, single, auto, reps):
    """Alternating runs of `single` (threads=1) and `auto` (automatic
    threads), medians; returns (wall, cpu) of automatic over threads=1."""
    (w1, c1), (wa, ca) = median_wall_and_cpu(reps, [single, auto])
    print(f"{label}, {os.cpu_count() or 1} cores, {load_average()}, medians of {reps}")
    print(f"  markdown() threads=1   wall {w1 * 1e3:8.2f} ms   cpu {c1 * 1e3:8.2f} ms")
    print(f"  markdown() automatic   wall {wa * 1e3:8.2f} ms   cpu {ca * 1e3:8.2f} ms")
    print(f"  automatic / threads=1  wall {wa / w1:5.2f}x         cpu {ca / c1:5.2f}x")
    return wa / w1, ca / c1


def threads_bench(rounds=5):
    data = generated_deck()
    single = vantrell.Document(data=data, threads=1)
    auto = vantrell.Document(data=data)
    assert single.markdown() == auto.markdown()
    ratios = [compare_threads(f"generated deck: 200 slides, {len(data) / 1e6:.1f} MB (goal wall <= 0.30x, cpu <= 1.4x)",
                              single.markdown, auto.markdown, 25) for _ in range(rounds)]
    walls, cpus = sorted(r[0] for r in ratios), sorted(r[1] for r in ratios)
    print(f"  over {rounds} rounds: wall {walls[0]:.2f}-{walls[-1]:.2f}x (median {statistics.median(walls):.2f}x), "
          f"cpu {cpus[0]:.2f}-{cpus[-1]:.2f}x (median {statistics.median(cpus):.2f}x)")


def corpus_threads_bench(folder):
    pairs = []
    for path in sorted(folder.iterdir()):
        try:
            single, auto = vantrell.Document(path, threads=1), vantrell.Document(path)
            if single.markdown() != auto.markdown():
                sys.exit(f"{path.name}: Markdown differs between threads=1 and automatic")
        except vantrell.PptxError:
            continue
        pairs.append((path.name, single, auto))

    def run(which):
        return lambda: [pair[which].markdown() for pair in pairs]

    compare_threads(f"corpus: {len(pairs)} decks (goal: no deck slower)", run(1), run(2), 9)
    # Deck by deck: a deck counts as slower when its median wall time with
    # automatic threads is over 1.1x that of threads=1 and 20 us more.
    slower = []
    for name, single, auto in pairs:
        (w1, _), (wa, _) = median_wall_and_cpu(15, [single.markdown, auto.markdown])
        if wa > 1.1 * w1 and wa - w1 > 20e-6:
            slower.append((wa / w1, w1, wa, name))
    print(f"  decks slower with automatic threads: {len(slower)} of {len(pairs)}")
    for ratio, w1, wa, name in sorted(slower, reverse=True)[:10]:
        print(f"    {ratio:5.2f}x  {w1 * 1e3:7.3f} ms -> {wa * 1e3:7.3f} ms  {name}")


def main():
    threads_only = "--threads" in sys.argv
    if threads_only:
        sys.argv.remove("--threads")
    folder = corpus_arg()
    if folder.is_dir() and not threads_only:
        corpus_bench(folder)
    elif not folder.is_dir():
        print(f"no corpus at {folder}")
    threads_bench()
    if folder.is_dir():
        corpus_threads_bench(folder)


if __name__ == "__main__":
    main()
