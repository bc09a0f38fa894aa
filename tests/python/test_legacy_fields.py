"""Legacy decks: header and footer placeholders are furniture, fields show as
PPTX fields do, numbered lists come from the autonumbering extension."""
import copy
import re
import shutil
import struct
import subprocess

import pytest

import legacykit
import vantrell

pptx = pytest.importorskip("pptx")
markdown_it = pytest.importorskip("markdown_it")
from lxml import etree  # noqa: E402  (comes with python-pptx)

A = "http://schemas.openxmlformats.org/drawingml/2006/main"


def walk(shapes):
    for sh in shapes:
        yield sh
        yield from walk(sh.children)


def slide_number_shown(path):
    """What a slide-number field on the slide at an index must show: the
    deck's first slide number plus the index, read apart from the library;
    any number where the deck's own chain of saves cannot say."""
    try:
        user, doc, _ = legacykit.deck_streams(path.read_bytes())
    except (ValueError, IndexError, struct.error):
        doc = None
    chain = legacykit.Chain(user, doc) if doc else None
    first = chain.first_slide_number() if chain and chain.holds else None
    if first is None:
        return lambda index, text: re.fullmatch(r"-?\d+", text) is not None
    return lambda index, text: text == str(first + index)


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
    shown = slide_number_shown(corpus / name)
    seen = set()
    for index, slide in enumerate(doc.slides()):
        shapes = list(walk(slide.shapes()))
        for run in (r for sh in shapes for p in sh.paragraphs or [] for r in p.runs if r.kind == "field"):
            assert shown(index, run.text) if run.field == "slidenum" else run.text == ""
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
    # Whatever the folder: a slide-number field shows its slide's number
    # (counted from the deck's first), any other field nothing, and furniture
    # placeholders stay out of the default text unless their words stand
    # elsewhere on the slide too. A file named .ppt that holds another format
    # is no legacy deck.
    decks = sorted(p for p in corpus.iterdir() if p.suffix.lower() == ".ppt" and p.is_file())
    opened = 0
    for path in decks:
        try:
            doc = vantrell.Document(path)
            slides = doc.slides()
        except vantrell.PptxError:
            continue
        if doc.format != "ppt":
            continue
        opened += 1
        shown = slide_number_shown(path)
        for index, slide in enumerate(slides):
            shapes = list(walk(slide.shapes()))
            for sh in shapes:
                for run in (r for p in sh.paragraphs or [] for r in p.runs if r.kind == "field"):
                    assert shown(index, run.text) if run.field == "slidenum" else run.text == "", \
                        (path.name, index, run.field, run.text)
            others = " ".join(sh.text or "" for sh in shapes if sh.placeholder not in ("dt", "sldNum", "ftr", "hdr"))
            for sh in shapes:
                if sh.placeholder in ("dt", "sldNum", "ftr", "hdr") and (sh.text or "").strip() and sh.text not in others:
                    assert sh.text not in slide.text(), path.name
    if not opened:
        pytest.skip("no legacy decks in the corpus folder")


def soffice_convert(tmp_path, source, to):
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        pytest.skip("LibreOffice not available")
    subprocess.run([soffice, f"-env:UserInstallation=file://{tmp_path}/profile", "--headless", "--convert-to", to,
                    "--outdir", str(tmp_path), str(source)], check=True, capture_output=True, timeout=300)
    return tmp_path / (source.stem + "." + to)


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
    numbered_pptx(tmp_path / "lists.pptx")
    legacy = vantrell.Document(soffice_convert(tmp_path, tmp_path / "lists.pptx", "ppt"))
    source = vantrell.Document(tmp_path / "lists.pptx")

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


# ------------------------------------------------------------------ against LibreOffice

def furniture_texts(doc):
    return [[sh.text for sh in walk(s.shapes()) if sh.placeholder in ("ftr", "sldNum")] for s in doc.slides()]


def test_footers_as_libreoffice_writes_them(tmp_path):
    # A PPTX whose slides show footer and number placeholders, saved as a
    # legacy deck by LibreOffice: the settings bring them back, through the
    # master, only when furniture is asked for.
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
