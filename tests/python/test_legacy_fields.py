"""Legacy decks: header and footer placeholders left out as furniture, fields
shown as PPTX fields are, and numbered lists read from the autonumbering
extension."""
import copy
import shutil
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


def field_runs(slide):
    return [r for sh in walk(slide.shapes()) for p in sh.paragraphs or [] for r in p.runs if r.kind == "field"]


# ---------------------------------------------------------------------------
# Furniture and fields on real decks


def test_round_trip_marked_footers_are_furniture(corpus):
    doc = vantrell.Document(corpus / "poi--slideshow_bug58144-headers-footers-2007.ppt")
    slide = doc.slide(0)
    assert [sh.placeholder for sh in slide.shapes()] == ["ctrTitle", "subTitle", "ftr"]
    assert doc.text(notes=True) == "Test file\nHas some text in the headers and footers"
    assert slide.notes() == ""
    assert "Slide footer" in doc.text(furniture=True)
    assert "Slide footer" in doc.markdown(furniture=True)


@pytest.mark.parametrize("name, placeholders", [
    ("poi--slideshow_bug52297.ppt", {"sldNum"}),
    ("poi--slideshow_45776.ppt", {"sldNum"}),
    ("poi--slideshow_45543.ppt", set()),
])
def test_slide_number_fields_show_the_number(corpus, name, placeholders):
    doc = vantrell.Document(corpus / name)
    seen = set()
    for slide in doc.slides():
        for run in field_runs(slide):
            if run.field == "slidenum":
                assert run.text == str(slide.number)
            else:
                assert run.text == ""
        seen |= {sh.placeholder for sh in slide.shapes() if sh.placeholder in ("sldNum", "dt", "ftr", "hdr")}
        # No stand-in character is left on its own.
        for options in ({}, {"notes": True}, {"furniture": True, "notes": True}):
            assert "\\*" not in slide.markdown(**options)
        assert slide.notes() in (None, "") or "*" not in slide.notes()
    assert seen == placeholders


def test_furniture_fields_show_only_when_asked(corpus):
    doc = vantrell.Document(corpus / "poi--slideshow_bug52297.ppt")
    assert doc.markdown().startswith("# Slide 1\n\n^^ Should see title above here^^")
    numbers = [[sh.text for sh in s.shapes() if sh.placeholder == "sldNum"] for s in doc.slides()]
    assert numbers == [["1"], ["2"]]
    assert doc.slide(1).markdown(furniture=True, headings=False).split("\n\n")[1] == "2"


# ---------------------------------------------------------------------------
# Fixtures converted by LibreOffice


def numbered_pptx(path):
    """Slides of numbered lists (scheme, start) and one of plain bullets."""
    prs = pptx.Presentation()
    lists = [
        ("Arabic", [("one", "arabicPeriod", None, 0), ("two", "arabicPeriod", None, 0),
                    ("three", "arabicPeriod", None, 0)]),
        ("From six", [("six", "arabicPeriod", 6, 0), ("seven", "arabicPeriod", 6, 0)]),
        ("Alpha", [("a", "alphaLcParenR", None, 0), ("b", "alphaLcParenR", None, 0),
                   ("c", "alphaUcPeriod", 3, 0)]),
        ("Roman", [("i", "romanLcPeriod", None, 0), ("ii", "romanLcPeriod", None, 0),
                   ("x", "romanUcPeriod", 10, 1)]),
        ("Bullets", [("dot", None, None, 0), ("dash", None, None, 1)]),
    ]
    for title, items in lists:
        s = prs.slides.add_slide(prs.slide_layouts[1])
        s.shapes.title.text = title
        tf = s.placeholders[1].text_frame
        for k, (text, scheme, start, level) in enumerate(items):
            p = tf.paragraphs[0] if k == 0 else tf.add_paragraph()
            p.text, p.level = text, level
            if scheme:
                num = etree.SubElement(p._p.get_or_add_pPr(), f"{{{A}}}buAutoNum", type=scheme)
                if start:
                    num.set("startAt", str(start))
    # A text box with a slide-number field inside a sentence.
    s = prs.slides.add_slide(prs.slide_layouts[5])
    s.shapes.title.text = "Numbered page"
    p = s.shapes.add_textbox(0, 0, 3000000, 500000).text_frame.paragraphs[0]
    p.add_run().text = "Page "
    fld = etree.SubElement(p._p, f"{{{A}}}fld", id="{11111111-2222-3333-4444-555555555555}", type="slidenum")
    etree.SubElement(fld, f"{{{A}}}t").text = "<#>"
    tail = copy.deepcopy(p._p.find(f"{{{A}}}r"))
    tail.find(f"{{{A}}}t").text = " of the deck"
    p._p.append(tail)
    prs.save(path)


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        pytest.skip("LibreOffice not available")
    folder = tmp_path_factory.mktemp("legacy")
    source = folder / "numbered.pptx"
    numbered_pptx(source)
    subprocess.run([soffice, f"-env:UserInstallation=file://{folder}/profile", "--headless",
                    "--convert-to", "ppt", "--outdir", str(folder), str(source)],
                   check=True, capture_output=True, timeout=300)
    return vantrell.Document(source), vantrell.Document(folder / "numbered.ppt")


def numbering(doc, index):
    body = doc.slide(index).shapes()[1]
    return [(p.text, p.number_scheme, p.number_start, p.level) for p in body.paragraphs]


def test_numbered_lists_read_as_in_the_pptx(converted):
    source, legacy = converted
    assert numbering(legacy, 0) == [("one", "arabicPeriod", 1, 0), ("two", "arabicPeriod", 1, 0),
                                    ("three", "arabicPeriod", 1, 0)]
    assert numbering(legacy, 1) == [("six", "arabicPeriod", 6, 0), ("seven", "arabicPeriod", 6, 0)]
    assert numbering(legacy, 2) == [("a", "alphaLcParenR", 1, 0), ("b", "alphaLcParenR", 1, 0),
                                    ("c", "alphaUcPeriod", 3, 0)]
    assert numbering(legacy, 3) == [("i", "romanLcPeriod", 1, 0), ("ii", "romanLcPeriod", 1, 0),
                                    ("x", "romanUcPeriod", 10, 1)]
    for index in range(5):
        assert numbering(legacy, index) == numbering(source, index)
    # Bullets stay bullets.
    assert [p.bullet for p in legacy.slide(4).shapes()[1].paragraphs] == ["char", "char"]
    assert legacy.slide(4).markdown() == source.slide(4).markdown()


def test_markdown_lists_start_where_the_deck_says(converted):
    _, legacy = converted
    parser = markdown_it.MarkdownIt("commonmark")
    starts = []
    for index in range(4):
        tokens = parser.parse(legacy.slide(index).markdown())
        starts.append([int(t.attrGet("start") or 1) for t in tokens if t.type == "ordered_list_open"])
        items = sum(t.type == "list_item_open" for t in tokens)
        assert items == len(legacy.slide(index).shapes()[1].paragraphs)
    assert starts == [[1], [6], [1], [1, 10]]
    assert not any(t.type == "ordered_list_open" for t in parser.parse(legacy.slide(4).markdown()))


def test_slide_number_field_inside_text(converted):
    _, legacy = converted
    slide = legacy.slide(5)
    assert slide.text().splitlines()[1] == "Page 6 of the deck"
    assert [(r.field, r.text) for r in field_runs(slide)] == [("slidenum", "6")]
