"""Which reading calls let other Python threads run while they work.

A helper thread waits for the interpreter lock while the main thread, with
a very long switch interval, makes a call: the helper can only run during
that call if the call releases the lock. Calls that only copy held values
must never let it in; calls that read the package must, given patience (a
loaded machine may wake the helper during none of the first releases).
"""
import ctypes
import os

import pytest

import vantrell
from deckkit import DECL
from gilprobe import lets_others_run
from slidedeck import PNG, Slide, make, ole_frame, para, pic, sp

def busy_slide(n):
    shapes = "".join(sp(10 + k, f"Box {k}", para(f"line {k}"), para("more")) for k in range(300))
    links = [(f"rIdX{k}", "hyperlink", f"https://example.com/{k}", "External") for k in range(2000)]
    return Slide(sp(2, "Title", para(f"Slide {n}"), ph='type="title"') + shapes
                 + pic(5, "Pic", embed="rIdP") + ole_frame(6, "Obj", "rIdO"),
                 rels=[("rIdP", "image", "../media/image1.png"), ("rIdO", "oleObject", "../embeddings/o.bin"),
                       ("rIdH", "hyperlink", "https://example.com/", "External"), *links],
                 parts={"ppt/media/image1.png": PNG, "ppt/embeddings/o.bin": b"\0" * 4096})


CP = "http://schemas.openxmlformats.org/package/2006/metadata/core-properties"
EP = "http://schemas.openxmlformats.org/officeDocument/2006/extended-properties"
VT = "http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes"
P = "http://schemas.openxmlformats.org/presentationml/2006/main"

# Properties and comment authors large enough that parsing them takes a while.
CORE = (DECL + f'<cp:coreProperties xmlns:cp="{CP}" xmlns:dc="http://purl.org/dc/elements/1.1/">'
        + "".join(f"<cp:x{k}>{'word ' * 20}</cp:x{k}>" for k in range(3000))
        + "<dc:title>Deck</dc:title></cp:coreProperties>").encode()
APP = (DECL + f'<Properties xmlns="{EP}" xmlns:vt="{VT}"><Application>kit</Application><TitlesOfParts>'
       '<vt:vector size="3000" baseType="lpstr">' + "<vt:lpstr>part</vt:lpstr>" * 3000
       + "</vt:vector></TitlesOfParts></Properties>").encode()
AUTHORS = (DECL + f'<p:cmAuthorLst xmlns:p="{P}">'
           + "".join(f'<p:cmAuthor id="{k}" name="A{k}" initials="A" lastIdx="1" clrIdx="0"/>' for k in range(3000))
           + "</p:cmAuthorLst>").encode()


@pytest.fixture(scope="module")
def deck():
    extra = {f"ppt/extra/item{k}.xml": b"<x/>" for k in range(400)}
    extra.update({"docProps/core.xml": CORE, "docProps/app.xml": APP, "ppt/commentAuthors.xml": AUTHORS})
    return make([busy_slide(n) for n in range(8)], extra=extra,
                pres_rels=[("rIdA", "commentAuthors", "commentAuthors.xml")])


@pytest.fixture(scope="module")
def doc(deck):
    return vantrell.Document(data=deck, threads=1)


# A released region can only be seen when the helper gets a processor of its
# own while the call runs.
needs_two_cpus = pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")


# The probe itself, on calls whose handling of the lock is known apart from
# the library: ctypes lets the lock go around a foreign call, unless the
# function comes from a PyDLL, and Python code never lets it go. Then on
# the library's own: a pass over the deck works with it released
# throughout, while handing back a held value keeps it.
LIBC, LIBC_KEEPING_THE_LOCK = ctypes.CDLL(None), ctypes.PyDLL(None)


@needs_two_cpus
@pytest.mark.parametrize("call, releases", [
    (lambda d: LIBC.usleep(200), True),
    (lambda d: LIBC_KEEPING_THE_LOCK.usleep(200), False),
    (lambda d: sum(range(20_000)), False),
    (lambda d: d.markdown(), True),
    (lambda d: len(d), False),
], ids=["foreign call", "foreign call keeping the lock", "Python code", "a pass over the deck", "a held value"])
def test_probe_tells_a_release_from_a_kept_lock(doc, call, releases):
    assert lets_others_run(lambda i: call(doc), calls=200, seconds=10.0 if releases else 0.5) == releases


@needs_two_cpus
class TestCallsThatRelease:
    def test_document_calls(self, deck, doc):
        calls = {
            "__new__": lambda i: vantrell.Document(data=deck),
            "slide": lambda i: doc.slide(1),
            "__getitem__": lambda i: doc[-1],
            "slides": lambda i: doc.slides(),
            "titles": lambda i: doc.titles(),
            "text": lambda i: doc.text(),
            "text_reporting": lambda i: doc.text_reporting(),
            "extract": lambda i: doc.extract(),
            "slide_texts": lambda i: doc.slide_texts(),
            "markdown": lambda i: doc.markdown(),
            "package": lambda i: [doc.package() for _ in range(20)],
            "core_properties": lambda i: doc.core_properties(),
            "app_properties": lambda i: doc.app_properties(),
        }
        assert [name for name, call in calls.items() if not lets_others_run(call)] == []
        # The authors are parsed once per deck: a fresh deck for every call.
        assert lets_others_run(lambda d: d.comment_authors(), setup=lambda: vantrell.Document(data=deck))

    def test_slide_iterator_next(self, doc):
        assert lets_others_run(next, setup=lambda: iter(doc))

    def test_slide_calls(self, doc):
        s = doc[0]
        image = s.images()[0]
        obj = s.embedded_objects()[0]
        calls = {
            "text": lambda i: s.text(),
            "text(charts only)": lambda i: s.text(diagrams=False),
            "notes": lambda i: s.notes(),
            "charts": lambda i: s.charts(),
            "images": lambda i: s.images(),
            "comments": lambda i: s.comments(),
            "diagrams": lambda i: s.diagrams(),
            "markdown": lambda i: s.markdown(),
            "hyperlink": lambda i: s.hyperlink("rIdH"),
            "notes_part": lambda i: s.notes_part(),
            "comments_part": lambda i: s.comments_part(),
            "layout_part": lambda i: s.layout_part(),
            "image_bytes": lambda i: s.image_bytes(image),
            "object_bytes": lambda i: s.object_bytes(obj),
            "embedded_objects": lambda i: s.embedded_objects(),
        }
        assert [name for name, call in calls.items() if not lets_others_run(call)] == []

    def test_package_calls(self, deck):
        p = vantrell.Package(data=deck)
        calls = {
            "__new__": lambda i: vantrell.Package(data=deck),
            "read": lambda i: p.read("/ppt/slides/slide1.xml"),
            "rels": lambda i: p.rels("/ppt/slides/slide1.xml"),
            "parts": lambda i: p.parts(),
            "resolve": lambda i: p.resolve("/ppt/slides/slide1.xml", "rIdP"),
        }
        assert [name for name, call in calls.items() if not lets_others_run(call)] == []
        # Computed once per package: a fresh package for every call.
        fresh = lambda: vantrell.Package(data=deck)  # noqa: E731
        assert lets_others_run(lambda q: q.content_types(), setup=fresh)
        assert lets_others_run(lambda q: q.defects, setup=fresh)


class TestCallsThatHoldTheLock:
    def test_document_and_iterator(self, doc):
        it = iter(doc)
        calls = [lambda i: doc.sections(), lambda i: doc.presentation(), lambda i: doc.defects,
                 lambda i: iter(doc), lambda i: len(doc), lambda i: repr(doc), lambda i: doc.slide_size,
                 lambda i: doc.format, lambda i: doc.presentation_part, lambda i: iter(it)]
        assert [k for k, call in enumerate(calls) if lets_others_run(call, calls=200, seconds=0)] == []

    def test_slide_tree_calls_and_getters(self, doc):
        s = doc[0]
        calls = [lambda i: s.shapes(), lambda i: s.paragraphs(), lambda i: s.tables(),
                 lambda i: s.text(charts=False, diagrams=False), lambda i: s.title, lambda i: s.warnings,
                 lambda i: repr(s), lambda i: s.shapes()[0].paragraphs]
        assert [k for k, call in enumerate(calls) if lets_others_run(call, calls=200, seconds=0)] == []

    def test_package_lookups(self, deck):
        p = vantrell.Package(data=deck)
        calls = [lambda i: p.has("/ppt/presentation.xml"), lambda i: p.content_type("/ppt/slides/slide1.xml"),
                 lambda i: repr(p), lambda i: vantrell.rules()]
        assert [k for k, call in enumerate(calls) if lets_others_run(call, calls=200, seconds=0)] == []
        # The first lookup of a fresh package too.
        assert not lets_others_run(lambda q: q.content_type("/x.png"), setup=lambda: vantrell.Package(data=deck),
                                   calls=200, seconds=0)
