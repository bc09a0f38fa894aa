"""Deck writing speed: a 200-slide deck built with vantrell.write against the
same deck built with python-pptx.

Every slide has a title and five bullets (one of them at level 1); every
tenth slide also carries a 6 x 4 table with a header row and a 320 x 240 PNG
of its own (python-pptx stores identical pictures once, so the deck is also
timed with one picture repeated). Both sides start from nothing and end with
the package bytes in memory; the best of several runs is reported, plus
`to_bytes()` alone for vantrell. CPU time is measured, so a busy machine
disturbs the figures less.

    python bench/write_bench.py [slides] [runs]
"""
import io
import struct
import sys
import time
import zlib

import vantrell.write as w
from corpus import best_of

GOAL = 20.0


def png(seed=0, width=320, height=240):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for x in range(width) for v in (x % 256, y % 256, (x + y + seed) % 256))
                   for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


PICTURES = [png(seed) for seed in range(0, 200, 10)]
TABLE = [["Region", "Q1", "Q2", "Q3"]] + [[f"Region {r}", str(r * 3), str(r * 5), str(r * 7)] for r in range(5)]


# Short bullets fit the body at full size; long ones wrap and make every slide
# shrink its text, which writes a scaled list style into each slide part.
LONG = False


def bullets(i):
    tail = ": a sentence long enough to wrap once or twice on the slide" if LONG else ": a short point"
    return [(f"Point {k} of slide {i}{tail}", 1 if k == 2 else 0) for k in range(5)]


def picture(i, distinct):
    return PICTURES[(i // 10) % len(PICTURES)] if distinct else PICTURES[0]


def with_vantrell(count, distinct=True):
    deck = w.Presentation(title="Benchmark")
    for i in range(count):
        slide = w.Slide(f"Slide {i + 1}")
        for text, level in bullets(i):
            slide.bullet(text, level)
        if i % 10 == 0:
            slide.table(TABLE)
            slide.picture(picture(i, distinct), description="chart")
        deck.add(slide)
    return deck.to_bytes()


def with_python_pptx(count, distinct=True):
    import pptx
    from pptx.util import Inches
    prs = pptx.Presentation()
    prs.slide_width, prs.slide_height = Inches(13.333), Inches(7.5)
    layout = prs.slide_layouts[1]
    for i in range(count):
        slide = prs.slides.add_slide(layout)
        slide.shapes.title.text = f"Slide {i + 1}"
        frame = slide.placeholders[1].text_frame
        for k, (text, level) in enumerate(bullets(i)):
            para = frame.paragraphs[0] if k == 0 else frame.add_paragraph()
            para.text, para.level = text, level
        if i % 10 == 0:
            rows, cols = len(TABLE), len(TABLE[0])
            table = slide.shapes.add_table(rows, cols, Inches(1), Inches(4), Inches(6), Inches(2)).table
            for r, row in enumerate(TABLE):
                for c, cell in enumerate(row):
                    table.cell(r, c).text = cell
            slide.shapes.add_picture(io.BytesIO(picture(i, distinct)), Inches(8), Inches(4), Inches(4), Inches(3))
    out = io.BytesIO()
    prs.save(out)
    return out.getvalue()


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    try:
        import pptx  # noqa: F401
    except ImportError:
        pptx = None
        print("python-pptx not installed: no comparison")
    global LONG
    met = True
    for LONG, distinct in ((False, True), (False, False), (True, True)):
        label = ("long" if LONG else "short") + " bullets, " + (
            "distinct pictures" if distinct else "one picture repeated")
        size = len(with_vantrell(count, distinct))
        ours = best_of(runs, lambda: with_vantrell(count, distinct), time.process_time)
        deck = w.Presentation()
        for i in range(count):
            s = w.Slide(f"Slide {i + 1}")
            for text, level in bullets(i):
                s.bullet(text, level)
            if i % 10 == 0:
                s.table(TABLE).picture(picture(i, distinct))
            deck.add(s)
        serialise = best_of(runs, deck.to_bytes, time.process_time)
        print(f"{label}:\n  vantrell.write {count} slides -> {size} bytes in {ours * 1000:.1f} ms "
              f"(to_bytes alone {serialise * 1000:.1f} ms)")
        if pptx is None:
            continue
        theirs = best_of(max(1, runs // 2), lambda: with_python_pptx(count, distinct), time.process_time)
        ratio = theirs / ours
        met = met and ratio >= GOAL
        print(f"  python-pptx    {count} slides -> {len(with_python_pptx(count, distinct))} bytes "
              f"in {theirs * 1000:.1f} ms\n  speed-up {ratio:.1f}x (goal {GOAL:.0f}x)")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
