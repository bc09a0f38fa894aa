"""Legacy decks: header and footer placeholders are furniture, fields show as
PPTX fields do, numbered lists come from the autonumbering extension."""
import copy
import shutil
import struct
import subprocess

import pytest

import vantrell

pptx = pytest.importorskip("pptx")
markdown_it = pytest.importorskip("markdown_it")
from lxml import etree  # noqa: E402  (comes with python-pptx)

A = "http://schemas.openxmlformats.org/drawingml/2006/main"


def walk(shapes):
    for sh in shapes:
        yield sh
        yield from walk(sh.children)


@pytest.mark.parametrize("name, furniture", [
    ("poi--slideshow_bug58144-headers-footers-2007.ppt", {"ftr"}),
    ("poi--slideshow_bug52297.ppt", {"sldNum"}),
    ("poi--slideshow_45776.ppt", {"sldNum"}),
    ("poi--slideshow_45543.ppt", set()),
])
def test_footers_and_fields_on_real_decks(corpus, name, furniture):
    if not (corpus / name).is_file():
        pytest.skip("deck not in the corpus")
    doc = vantrell.Document(corpus / name)
    seen = set()
    for slide in doc.slides():
        shapes = list(walk(slide.shapes()))
        for run in (r for sh in shapes for p in sh.paragraphs or [] for r in p.runs if r.kind == "field"):
            assert run.text == (str(slide.number) if run.field == "slidenum" else "")
        kept = [sh for sh in shapes if sh.placeholder in ("dt", "sldNum", "ftr", "hdr")]
        seen |= {sh.placeholder for sh in kept}
        # Furniture shows only when asked; no stand-in character is left.
        for sh in kept:
            if sh.text.strip():
                assert slide.text(furniture=True).count(sh.text) > slide.text().count(sh.text)
        for options in ({}, {"notes": True}, {"furniture": True, "notes": True}):
            assert "\\*" not in slide.markdown(**options)
        assert "*" not in (slide.notes() or "")
    assert seen == furniture


def test_fields_of_every_legacy_deck(corpus):
    # Whatever the folder: a slide-number field shows its slide's number,
    # any other field nothing, and furniture placeholders stay out of the
    # default text unless their words stand elsewhere on the slide too.
    decks = sorted(p for p in corpus.iterdir() if p.suffix.lower() == ".ppt")
    opened = 0
    for path in decks:
        try:
            slides = vantrell.Document(path).slides()
        except vantrell.PptxError:
            continue
        opened += 1
        for slide in slides:
            shapes = list(walk(slide.shapes()))
            for sh in shapes:
                for run in (r for p in sh.paragraphs or [] for r in p.runs if r.kind == "field"):
                    assert run.text == (str(slide.number) if run.field == "slidenum" else ""), path.name
            others = " ".join(sh.text or "" for sh in shapes if sh.placeholder not in ("dt", "sldNum", "ftr", "hdr"))
            for sh in shapes:
                if sh.placeholder in ("dt", "sldNum", "ftr", "hdr") and (sh.text or "").strip() and sh.text not in others:
                    assert sh.text not in slide.text(), path.name
    if not opened:
        pytest.skip("no legacy decks in the corpus folder")


def numbered_pptx(path):
    """Numbered lists (text, scheme, start, level) and one of plain bullets."""
    prs = pptx.Presentation()
    for items in [
        [("one", "arabicPeriod", None, 0), ("two", "arabicPeriod", None, 0)],
        [("six", "arabicPeriod", 6, 0), ("seven", "arabicPeriod", 6, 0)],
        [("a", "alphaLcParenR", None, 0), ("b", "alphaLcParenR", None, 0), ("c", "alphaUcPeriod", 3, 0)],
        [("i", "romanLcPeriod", None, 0), ("ii", "romanLcPeriod", None, 0), ("x", "romanUcPeriod", 10, 1)],
        [("dot", None, None, 0), ("dash", None, None, 1)],
    ]:
        slide = prs.slides.add_slide(prs.slide_layouts[1])
        slide.shapes.title.text = "List"
        frame = slide.placeholders[1].text_frame
        for k, (text, scheme, start, level) in enumerate(items):
            p = frame.paragraphs[0] if k == 0 else frame.add_paragraph()
            p.text, p.level = text, level
            if scheme:
                num = etree.SubElement(p._p.get_or_add_pPr(), f"{{{A}}}buAutoNum", type=scheme)
                if start:
                    num.set("startAt", str(start))
    prs.save(path)


def test_numbered_lists_read_as_in_the_pptx(tmp_path):
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        pytest.skip("LibreOffice not available")
    numbered_pptx(tmp_path / "lists.pptx")
    subprocess.run([soffice, f"-env:UserInstallation=file://{tmp_path}/profile", "--headless", "--convert-to",
                    "ppt", "--outdir", str(tmp_path), str(tmp_path / "lists.pptx")],
                   check=True, capture_output=True, timeout=300)
    source, legacy = vantrell.Document(tmp_path / "lists.pptx"), vantrell.Document(tmp_path / "lists.ppt")

    def numbering(doc, index):
        return [(p.text, p.number_scheme, p.number_start, p.level) for p in doc.slide(index).shapes()[1].paragraphs]

    assert numbering(legacy, 3) == [("i", "romanLcPeriod", 1, 0), ("ii", "romanLcPeriod", 1, 0),
                                    ("x", "romanUcPeriod", 10, 1)]
    parser = markdown_it.MarkdownIt("commonmark")
    starts = []
    for index in range(5):
        assert numbering(legacy, index) == numbering(source, index)
        assert legacy.slide(index).markdown() == source.slide(index).markdown()
        tokens = parser.parse(legacy.slide(index).markdown())
        starts.append([int(t.attrGet("start") or 1) for t in tokens if t.type == "ordered_list_open"])
    assert starts == [[1], [6], [1], [1, 10], []]


# ------------------------------------------------------------------ crafted records

def crafted_deck(shapes, doc_extra=b"", slide_extra=b""):
    """A one-slide legacy deck whose slide follows a master with date,
    footer and slide-number placeholders (each a stand-in and its field)."""
    from test_legacy import box, compound, rec, shape

    def text(kind_type, chars, *extra):
        return box(0xF00D, rec(0x0F9F, struct.pack("<I", kind_type)), rec(0x0FA0, chars.encode("utf-16-le")), *extra)

    def placeholder(spid, placement, *kids):
        return shape(spid, 0xA00, 202, box(0xF011, rec(0x0BC3, struct.pack("<iB3x", -1, placement))), *kids)

    def drawing(*kids):
        patriarch = shape(1024, 0x005, 0, rec(0xF009, bytes(16), 0, 1))
        return box(0x040C, box(0xF002, rec(0xF008, struct.pack("<II", 2, 0), 1), box(0xF003, patriarch, *kids)))

    master = box(0x03F8, drawing(
        placeholder(3, 0x07, text(4, "*", rec(0x0FF8, bytes(4)))),
        placeholder(4, 0x09, text(4, "*", rec(0x0FFA, bytes(4)))),
        placeholder(5, 0x08, text(4, "Page *", rec(0x0FD8, struct.pack("<I", 5))))))
    slide = box(0x03EE, rec(0x03EF, struct.pack("<6I", 1, 0, 0, 0x80000000, 0, 0), 0, 2), slide_extra,
                drawing(*(s(text, placeholder) for s in shapes)))
    document_atom = rec(0x03E9, struct.pack("<8iHH4x", 5760, 4320, 4320, 5760, 1, 2, 0, 0, 1, 0), 0, 1)
    doc = box(0x03E8, document_atom, doc_extra, box(0x0FF0, rec(0x03F3, struct.pack("<5I", 3, 0, 0, 0x80000000, 0)),
                                                   instance=1),
              box(0x0FF0, rec(0x03F3, struct.pack("<5I", 2, 0, 0, 256, 0))))
    slide_at = len(doc)
    stream = doc + slide
    master_at = len(stream)
    stream += master
    dir_at = len(stream)
    stream += rec(0x1772, struct.pack("<4I", 1 | (3 << 20), 0, slide_at, master_at))
    edit_at = len(stream)
    stream += rec(0x0FF5, struct.pack("<6IHH", 0, 0x03001599, 0, dir_at, 1, 3, 1, 0))
    user = rec(0x0FF6, struct.pack("<3IHHBBHI", 0x14, 0xE391C05F, edit_at, 0, 0x03F4, 3, 0, 0, 8))
    return vantrell.Document(data=compound({"Current User": user, "PowerPoint Document": stream}))


def ppt9(blob_kids):
    """A binary tag named ___PPT9 holding `blob_kids`."""
    from test_legacy import box, rec
    return box(0x138A, rec(0x0FBA, "___PPT9".encode("utf-16-le")), rec(0x138B, blob_kids))


def numbered(n, scheme=3, start=1):
    """A StyleTextProp9Atom body of `n` entries numbered with `scheme`."""
    return b"".join(struct.pack("<IHHhII", 0x03000000, 1, scheme, start, 0, 0) for _ in range(n))


def styled_paragraphs(words, entry, bullet=None):
    """A StyleTextPropAtom over paragraphs `words`: bullet flag as given (None
    inherits), every character run naming autonumbering `entry`."""
    from test_legacy import rec
    n = len("\r".join(words)) + 1
    pf = struct.pack("<IHIH", n, 0, 1, bullet) if bullet is not None else struct.pack("<IHI", n, 0, 0)
    return rec(0x0FA1, pf + struct.pack("<IIH", n, 0x3C00, entry << 10))


def hf(instance, flags, date="", footer=""):
    """Header/footer settings of the deck (instance 3) or of a slide (0)."""
    from test_legacy import box, rec
    kids = rec(0x0FDA, struct.pack("<hH", 0, flags))
    if date:
        kids += rec(0x0FBA, date.encode("utf-16-le"), 0)
    if footer:
        kids += rec(0x0FBA, footer.encode("utf-16-le"), 2)
    return box(0x0FD9, kids, instance=instance)


def body_with(words, own_tag=b"", bullet=None, placement=0x0E):
    def make(text, placeholder):
        from test_legacy import box, rec
        kids = [text(1, "\r".join(words), styled_paragraphs(words, 1, bullet))]
        if own_tag:
            kids.insert(0, box(0xF011, box(0x1388, own_tag)))
        return placeholder(10, placement, *kids)
    return make


def text_box_with(words, own_tag=b"", bullet=None, fields=()):
    def make(text, placeholder):
        from test_legacy import box, rec, shape
        marks = [rec(kind, struct.pack("<I", at)) for kind, at in fields]
        tags = [box(0xF011, box(0x1388, own_tag))] if own_tag else []
        return shape(11, 0xA00, 202, *tags, text(4, "\r".join(words), styled_paragraphs(words, 1, bullet), *marks))
    return make


def document_numbering(slide_id, text_type, atom):
    from test_legacy import box, rec
    pairs = rec(0x0FAF, struct.pack("<II", slide_id, text_type)) + rec(0x0FAC, atom)
    return box(0x07D0, box(0x1388, ppt9(box(0x0FAE, pairs))))


WORDS = ["Intro", "One", "Two"]


def own_numbering():
    from test_legacy import rec
    return ppt9(rec(0x0FAC, numbered(2)))


CRAFTED = {
    # what: (shapes, document's children, slide's children, markdown, text with furniture)
    "placeholder numbered by the document": (
        [body_with(WORDS)], document_numbering(256, 1, numbered(2, 0x07, 2)), b"",
        "2. Intro\n3. One\n4. Two", "Intro\nOne\nTwo"),
    "the document's numbering of another slide": (
        [body_with(WORDS)], document_numbering(257, 1, numbered(2)), b"",
        "- Intro\n- One\n- Two", "Intro\nOne\nTwo"),
    "text box inheriting no bullet": (
        [text_box_with(WORDS, own_numbering())], b"", b"", "Intro\n\nOne\n\nTwo", "Intro\nOne\nTwo"),
    "text box with its bullet on": (
        [text_box_with(WORDS, own_numbering(), bullet=1)], b"", b"", "1. Intro\n2. One\n3. Two", "Intro\nOne\nTwo"),
    "field records at ordinary characters": (
        [text_box_with(["Total 42 units"], fields=((0x0FD8, 6), (0x0FFA, 9)))], b"", b"",
        "Total 42 units", "Total 42 units"),
    "footer and number for the deck": (
        [], hf(3, 0x28, footer="Deck footer"), b"", "", "Deck footer\nPage 1"),
    "the slide's own footer": (
        [], hf(3, 0x28, footer="Deck footer"), hf(0, 0x20, footer="Slide footer"), "", "Slide footer"),
    "a date stored as text": ([], hf(3, 0x05, date="1 May 2003"), b"", "", "1 May 2003"),
    "an automatic date": ([], hf(3, 0x03, date="1 May 2003"), b"", "", ""),
    "a title slide showing nothing": ([], hf(3, 0x29, footer="Deck footer"), hf(0, 0), "", ""),
}


@pytest.mark.parametrize("what", CRAFTED)
def test_crafted_legacy_records(what):
    shapes, doc_extra, slide_extra, markdown, furniture = CRAFTED[what]
    slide = crafted_deck(shapes, doc_extra, slide_extra)[0]
    assert slide.markdown(headings=False) == markdown
    assert slide.text(furniture=True) == furniture
    # Furniture shows only when asked.
    assert slide.text() == "\n".join(sh.text for sh in slide.shapes() if sh.placeholder not in ("dt", "sldNum", "ftr"))


# ------------------------------------------------------------------ against LibreOffice

def soffice_convert(tmp_path, source, to):
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        pytest.skip("LibreOffice not available")
    subprocess.run([soffice, f"-env:UserInstallation=file://{tmp_path}/profile", "--headless", "--convert-to", to,
                    "--outdir", str(tmp_path), str(source)], check=True, capture_output=True, timeout=300)
    return tmp_path / (source.stem + "." + to)


def furniture_texts(doc):
    return [[sh.text for sh in walk(s.shapes()) if sh.placeholder in ("ftr", "sldNum")] for s in doc.slides()]


def test_footers_as_libreoffice_writes_them(tmp_path):
    # A PPTX whose slides show footer, date and number placeholders, saved
    # as a legacy deck by LibreOffice: the deck's settings bring them back.
    prs = pptx.Presentation()
    for k in range(3):
        slide = prs.slides.add_slide(prs.slide_layouts[1])
        slide.shapes.title.text = f"Title {k + 1}"
        for ph in slide.slide_layout.placeholders:
            if ph.placeholder_format.type in (13, 15):  # slide number, footer
                slide.shapes._spTree.append(copy.deepcopy(ph._element))
        for ph in slide.placeholders:
            if ph.placeholder_format.type == 15:
                ph.text_frame.text = "Quarterly review"
            for t in ph._element.iter(f"{{{A}}}fld"):
                t.find(f"{{{A}}}t").text = str(k + 1)
    prs.save(tmp_path / "footers.pptx")
    legacy = vantrell.Document(soffice_convert(tmp_path, tmp_path / "footers.pptx", "ppt"))
    source = vantrell.Document(tmp_path / "footers.pptx")
    assert furniture_texts(legacy) == furniture_texts(source) == [["Quarterly review", "1"], ["Quarterly review", "2"],
                                                                  ["Quarterly review", "3"]]
    for s, t in zip(legacy.slides(), source.slides()):
        assert s.text(furniture=True) == t.text(furniture=True)
        assert s.text() == t.text() == t.title


@pytest.mark.parametrize("name, slides", [
    ("poi--slideshow_alterman_security.ppt", [2, 8]),
    ("poi--slideshow_bug56240.ppt", [99]),
    ("poi--slideshow_headers_footers.ppt", [0, 1]),
])
def test_corpus_decks_as_libreoffice_reads_them(corpus, tmp_path, name, slides):
    if not (corpus / name).is_file():
        pytest.skip("deck not in the corpus")
    legacy = vantrell.Document(corpus / name)
    converted = vantrell.Document(soffice_convert(tmp_path, corpus / name, "pptx"))

    def numbers(doc, i):
        # An empty paragraph shows no number.
        return [(p.text, p.number_scheme, p.number_start) for sh in doc.slide(i).shapes() for p in sh.paragraphs or []
                if p.number_scheme and p.text.strip()]

    for i in slides:
        assert numbers(legacy, i) == numbers(converted, i)
        assert furniture_texts(legacy)[i] == furniture_texts(converted)[i]
