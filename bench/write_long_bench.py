"""Writing speed as content that runs over many slides grows: a Markdown
table and a slide of bullets, each at a size and at four times that size.
Building the continuation slides must cost the content, not its square, so
four times the content should take about four times as long (goal: at most
5x). The largest cases only show that planning finishes. CPU time of
`to_bytes()` (and of `from_markdown` for the tables), best of several runs.

    python bench/write_long_bench.py [runs]
"""
import sys
import time

import vantrell.write as w
from corpus import best_of

GOAL = 5.0


def markdown_table(rows, columns=4):
    lines = ["# Table", "", "| " + " | ".join(f"Head {c}" for c in range(columns)) + " |",
             "|" + "---|" * columns]
    lines += ["| " + " | ".join(f"r{r} c{c}" for c in range(columns)) + " |" for r in range(rows)]
    return "\n".join(lines) + "\n"


def table(rows, columns=4):
    text = markdown_table(rows, columns)
    return lambda: w.from_markdown(text).to_bytes()


def bullets(count):
    deck = w.Presentation()
    slide = w.Slide("Bullets")
    for i in range(count):
        slide.bullet(f"Point {i}: a short line of text", i % 3)
    deck.add(slide)
    return deck.to_bytes


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    met = True
    for label, make, small, large in (("table rows", table, 4000, 16000), ("bullets", bullets, 2000, 8000)):
        t_small = best_of(runs, make(small), time.process_time)
        t_large = best_of(runs, make(large), time.process_time)
        ratio = t_large / t_small
        met = met and ratio <= GOAL
        print(f"{label}: {small} in {t_small * 1000:.0f} ms, {large} in {t_large * 1000:.0f} ms, "
              f"ratio {ratio:.1f}x (goal at most {GOAL:.0f}x)")
    for label, build in (("100,000 bullets", bullets(100_000)), ("20,000 x 50 table", table(20_000, 50))):
        print(f"{label}: {best_of(1, build, time.process_time):.1f} s")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
