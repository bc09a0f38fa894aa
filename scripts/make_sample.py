"""Writes samples/sample.pptx, the small deck that `scripts/markdown` shows
when it is given none: a title slide, a nested outline with speaker notes,
a table, and a picture beside text. The writer's output
is fixed for fixed input, so running this again changes the file only when
the writer or this script changed:

    .venv/bin/python scripts/make_sample.py"""
import pathlib
import struct
import zlib

import vantrell.write as w

OUT = pathlib.Path(__file__).resolve().parents[1] / "samples" / "sample.pptx"


def png(width, height):
    """A PNG of horizontal stripes in two accent colours."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + (b"\x44\x72\xc4" if y * 4 // height % 2 else b"\xed\x7d\x31") * width
                    for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def main():
    deck = w.Presentation(title="vantrell sample", creator="vantrell", timestamp="2024-01-01T00:00:00Z")
    deck.add(w.Slide("A sample deck", subtitle="Written by vantrell.write", layout="title"))
    deck.add(w.Slide("What it reads", notes="Levels come back as nested lists.\nNotes come back too.")
             .bullet("Slides, shapes and text").bullet("Paragraphs with levels", 1)
             .bullet(["and runs with ", w.Run("formatting", bold=True)], 2).bullet("Tables, charts and pictures")
             .bullet("Legacy binary decks", 1))
    deck.add(w.Slide("Release plan")
             .table([["Step", "Owner", "When"], ["Build", "CI", "Monday"], ["Check", "Review", "Tuesday"],
                     ["Ship", "Team", "Friday"]]))
    deck.add(w.Slide("Side by side")
             .columns(["Text takes the wider column", "a picture the narrower one"],
                      w.Picture(png(64, 48), description="Stripes")))
    OUT.parent.mkdir(exist_ok=True)
    OUT.write_bytes(deck.to_bytes())
    print(f"wrote {OUT} ({OUT.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
