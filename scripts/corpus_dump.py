"""Dumps everything the reader, the checker and the writer make of every deck
in a folder, one file per deck, so that a change can be compared before and
after with `diff -r`:

    .venv/bin/python scripts/corpus_dump.py OUT [CORPUS]

Covers text and Markdown under several option sets and thread counts, every
accessor of documents, slides and shapes, the raw package, check reports and
a deck written back from the Markdown."""
import hashlib
import os
import pathlib
import sys
import traceback

import vantrell
from vantrell import write

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORPUS = pathlib.Path(os.environ.get("VANTRELL_CORPUS") or ROOT.parent / "shared" / "corpus")

TEXT_OPTIONS = [
    {},
    {"notes": True, "comments": True},
    {"furniture": True, "hidden_shapes": True, "alt_text": True},
    {"hidden_slides": False, "charts": False, "diagrams": False},
]
MARKDOWN_OPTIONS = [
    {},
    {"notes": True, "comments": True},
    {"furniture": True, "hidden_shapes": True, "headings": False, "images": False},
    {"hidden_slides": False},
]


def value(v, depth=0):
    """A plain, stable rendering of a value returned by the library."""
    if depth > 40:
        return "<deep>"
    if isinstance(v, (str, int, float, bool, type(None))):
        return repr(v)
    if isinstance(v, bytes):
        return "bytes(%d, %s)" % (len(v), hashlib.sha1(v).hexdigest()[:12])
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(value(x, depth + 1) for x in v) + "]"
    if isinstance(v, dict):
        return "{" + ", ".join("%s: %s" % (value(k), value(x, depth + 1)) for k, x in sorted(v.items(), key=lambda kv: repr(kv[0]))) + "}"
    fields = []
    for name in dir(v):
        if name.startswith("_"):
            continue
        try:
            x = getattr(v, name)
        except Exception as e:  # noqa: BLE001 - the dump records every failure
            fields.append("%s=!%s" % (name, type(e).__name__))
            continue
        if callable(x):
            continue
        fields.append("%s=%s" % (name, value(x, depth + 1)))
    return type(v).__name__ + "(" + ", ".join(fields) + ")"


def attempt(out, label, fn):
    try:
        r = fn()
    except vantrell.PptxError as e:
        out.append("%s: PptxError(%s)" % (label, e))
        return None
    except Exception as e:  # noqa: BLE001
        out.append("%s: %s(%s)" % (label, type(e).__name__, e))
        return None
    except BaseException as e:
        out.append("%s: FAULT %s(%s)" % (label, type(e).__name__, e))
        return None
    out.append("%s: %s" % (label, r if isinstance(r, str) else value(r)))
    return r


def dump_shape(out, shape, prefix):
    out.append(prefix + value(shape))


def dump_deck(path):
    out = []
    data = path.read_bytes()
    doc = attempt(out, "open", lambda: vantrell.Document(str(path), threads=1))
    if doc is not None:
        for threads in (1, 3):
            d = vantrell.Document(data=data, threads=threads)
            for o in TEXT_OPTIONS:
                attempt(out, "text t%d %r" % (threads, o), lambda: d.text(**o))
            for o in MARKDOWN_OPTIONS:
                attempt(out, "markdown t%d %r" % (threads, o), lambda: d.markdown(**o))
        for name in ("format", "slide_count", "slide_size", "slide_size_type", "presentation_part",
                     "defects"):
            attempt(out, name, lambda: getattr(doc, name))
        for name in ("sections", "core_properties", "app_properties", "comment_authors", "presentation"):
            attempt(out, name, lambda: getattr(doc, name)())
        attempt(out, "titles", doc.titles)
        attempt(out, "extract", lambda: doc.extract(notes=True, comments=True))
        attempt(out, "slide_texts", lambda: doc.slide_texts(notes=True))
        attempt(out, "text_reporting", lambda: doc.text_reporting(notes=True))
        slides = attempt(out, "slides", lambda: [s.index for s in doc.slides()])
        for i in range(doc.slide_count):
            s = attempt(out, "slide %d" % i, lambda: doc.slide(i))
            if s is None:
                continue
            for name in ("name", "number", "title", "hidden", "part", "index", "warnings"):
                attempt(out, "  %s" % name, lambda: getattr(s, name))
            for name in ("layout_part", "notes_part", "comments_part", "comments", "tables", "charts",
                         "diagrams", "images", "embedded_objects", "paragraphs"):
                attempt(out, "  %s" % name, lambda: getattr(s, name)())
            attempt(out, "  notes()", s.notes)
            attempt(out, "  text(furniture)", lambda: s.text(furniture=True, alt_text=True))
            attempt(out, "  markdown(notes)", lambda: s.markdown(notes=True, comments=True))
            attempt(out, "  shapes", s.shapes)
            for img in attempt([], "", s.images) or []:
                attempt(out, "  image_bytes", lambda: s.image_bytes(img))
            for obj in attempt([], "", s.embedded_objects) or []:
                attempt(out, "  object_bytes", lambda: s.object_bytes(obj))
        del slides
        pkg = attempt(out, "package", doc.package)
        if pkg is not None:
            attempt(out, "  content_types", pkg.content_types)
            attempt(out, "  defects", lambda: pkg.defects)
            for part in attempt(out, "  parts", pkg.parts) or []:
                attempt(out, "  read %s" % part.name, lambda: pkg.read(part.name))
                attempt(out, "  rels %s" % part.name, lambda: pkg.rels(part.name))
        md = attempt(out, "markdown for write", lambda: doc.markdown())
        if md:
            attempt(out, "from_markdown", lambda: hashlib.sha1(write.from_markdown(md).to_bytes()).hexdigest())
    rep = attempt(out, "check", lambda: vantrell.check(data=data))
    del rep
    return "\n".join(out) + "\n"


def main():
    dest = pathlib.Path(sys.argv[1])
    corpus = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else CORPUS
    dest.mkdir(parents=True, exist_ok=True)
    for path in sorted(corpus.iterdir()):
        if not path.is_file() or path.name == "SOURCES.md":
            continue
        try:
            text = dump_deck(path)
        except BaseException:  # noqa: BLE001
            text = "dump failed\n" + traceback.format_exc()
        (dest / (path.name + ".txt")).write_text(text, encoding="utf-8", errors="backslashreplace")


if __name__ == "__main__":
    main()
