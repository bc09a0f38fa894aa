"""Scenario decks written through vantrell.write, checked end to end: read back
by the module's own reader, passed by the checker, opened by python-pptx, and
rendered by LibreOffice to PDF (page count, and the text in reading order
through pdftotext). Each outside tool is optional: its tests skip without it.
"""
import html
import io
import re
import shutil
import struct
import subprocess
import zlib

import pytest

import vantrell
import vantrell.write as w
from vantrell.write import Presentation, Slide

needs_markdown = pytest.mark.skipif(not hasattr(w, "from_markdown"), reason="Markdown conversion not built")


def png(width=64, height=48, rgb=(200, 60, 30)):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


BULLETS = [f"Bullet {i:02d} alpha" for i in range(40)]
LAYOUTS = ["title", "title_and_content", "title_only", "blank"]
ROWS = [["Name", "Value"]] + [[f"row {i:02d}", f"val {i:02d}"] for i in range(40)]
MARKDOWN = """# Quarterly review
Numbers and plans

## Agenda
- Results so far
- Plans ahead
  - hiring
Notes: start on time

## Code sample
```
print("hello")
```
"""


class Scenario:
    """A deck plus what a reader must find in it: the text in reading order,
    the titles of the source slides, and the notes of the first slide."""

    def __init__(self, deck, order, *, titles=(), notes=None, hidden=0, min_slides=1):
        self.data = deck.to_bytes()
        self.order = list(order)
        self.titles = set(titles)
        self.notes = notes
        self.hidden = hidden
        self.min_slides = min_slides


def scenarios():
    out = {}
    out["title_only"] = Scenario(Presentation().add(Slide("Only a title")), ["Only a title"],
                                 titles=["Only a title"])
    out["title_subtitle"] = Scenario(Presentation().add(Slide("Welcome aboard", subtitle="The subtitle line")),
                                     ["Welcome aboard", "The subtitle line"], titles=["Welcome aboard"])
    s = Slide("Many bullets", notes="first notes only")
    for text in BULLETS:
        s.bullet(text)
    out["long_bullets"] = Scenario(Presentation().add(s), ["Many bullets"] + BULLETS,
                                   titles=["Many bullets"], notes="first notes only", min_slides=2)
    out["long_table"] = Scenario(Presentation().add(Slide("Long table").table(ROWS)),
                                 ["Long table", "Name", "Value"] + [r[0] for r in ROWS[1:]],
                                 titles=["Long table"], min_slides=2)
    out["columns_picture"] = Scenario(
        Presentation().add(Slide("Columns").columns(w.Picture(png(), description="red box"),
                                                   ["left text one", "left text two"])),
        ["Columns", "left text one", "left text two"], titles=["Columns"])
    out["hidden"] = Scenario(Presentation().add(Slide("Shown").bullet("seen"))
                             .add(Slide("Hidden one", hidden=True).bullet("unseen")),
                             ["Shown", "seen"], titles=["Shown", "Hidden one"], hidden=1)
    out["inverted"] = Scenario(Presentation().add(Slide("Dark slide", inverted=True).bullet("light text")),
                               ["Dark slide", "light text"], titles=["Dark slide"])
    out["backgrounds"] = Scenario(
        Presentation(theme=w.Theme(background=w.Background.solid("light2")))
        .add(Slide("Solid", background=w.Background.solid("FF8800")).bullet("on orange"))
        .add(Slide("Gradient", background=w.Background.linear("accent1", "accent2")).bullet("on gradient"))
        .add(Slide("Picture", background=w.Background.picture(png(8, 6, (20, 90, 160)))).bullet("on picture")),
        ["Solid", "on orange", "Gradient", "on gradient", "Picture", "on picture"],
        titles=["Solid", "Gradient", "Picture"])
    for name in w.Theme.presets():
        deck = Presentation(theme=w.Theme.preset(name)).add(
            Slide(f"Theme {name}", notes=f"notes of {name}").bullet(f"point of {name}")
            .table([["Key", "Cell"], [f"k {name}", f"v {name}"]]))
        out["preset_" + name] = Scenario(deck, [f"Theme {name}", f"point of {name}", "Key", f"k {name}"],
                                         titles=[f"Theme {name}"], notes=f"notes of {name}")
    if hasattr(w, "from_markdown"):
        out["markdown"] = Scenario(w.from_markdown(MARKDOWN),
                                   ["Quarterly review", "Numbers and plans", "Agenda", "Results so far",
                                    "Plans ahead", "hiring", "Code sample", 'print("hello")'],
                                   titles=["Quarterly review", "Agenda", "Code sample"])
    out["no_slides"] = Scenario(Presentation(), [], min_slides=0)
    for layout in LAYOUTS:
        out["subtitle_" + layout] = Scenario(
            Presentation().add(Slide("Quarterly review", subtitle="Subtitle words", layout=layout)
                               .bullet("Bulleted point").paragraph("Plain point")),
            ["Quarterly review", "Subtitle words", "Bulleted point", "Plain point"], titles=["Quarterly review"])
    theme = (w.Theme(background=w.Background.solid("#C00000"))
             .layout_background("title_only", w.Background.solid("#00A000")))
    out["theme_background"] = Scenario(
        Presentation(theme=theme).add(Slide("On red").bullet("theme"))
        .add(Slide("On green", layout="title_only").bullet("layout"))
        .add(Slide("On dark", inverted=True).bullet("inverted"))
        .add(Slide("On blue", background=w.Background.solid("#0000C0")).bullet("own")),
        ["On red", "On green", "On dark", "On blue"], titles=["On red", "On green", "On dark", "On blue"])
    if hasattr(w, "from_markdown"):
        out["markdown_code"] = Scenario(
            w.from_markdown("# The `__init__.py` file\n- pass `**kwargs` on\n- keep *this*\nPlain closing line\n"),
            ["The __init__.py file", "pass **kwargs on", "keep this", "Plain closing line"],
            titles=["The __init__.py file"])
    deep = ["deepest text"]
    for _ in range(64):
        deep = [deep]
    out["deep_columns"] = Scenario(Presentation().add(Slide("Deep").block(deep)), ["Deep", "deepest text"],
                                   titles=["Deep"])
    return out


SCENARIOS = scenarios()
NAMES = sorted(SCENARIOS)


def in_order(haystack, needles):
    """The position after the last needle, or the first needle not found in order."""
    at = 0
    for needle in needles:
        found = haystack.find(needle, at)
        if found < 0:
            return needle
        at = found + len(needle)
    return None


def reader_text(doc):
    parts = []
    for i in range(doc.slide_count):
        slide = doc.slide(i)
        parts.extend(slide.paragraphs())
        for table in slide.tables():
            parts.extend(cell for row in table for cell in row)
    return "\n".join(parts)


@pytest.mark.parametrize("name", NAMES)
class TestOwnReader:
    def test_slides_titles_text_and_notes(self, name):
        sc = SCENARIOS[name]
        doc = vantrell.Document(data=sc.data)
        assert doc.slide_count >= sc.min_slides
        titles = doc.titles()
        assert set(t for t in titles if t) == sc.titles
        assert in_order(reader_text(doc), sc.order) is None
        notes = [doc.slide(i).notes() for i in range(doc.slide_count)]
        if sc.notes is not None:
            assert notes[0] == sc.notes
        # Continuation slides carry neither notes nor the first slide's role.
        assert all(n is None for n in notes[1:]) or name == "markdown"
        assert sum(doc.slide(i).hidden for i in range(doc.slide_count)) == sc.hidden

    def test_checker_finds_nothing_wrong(self, name):
        findings = vantrell.check(data=SCENARIOS[name].data)
        bad = [f for f in findings if f.severity in ("error", "warning")]
        assert bad == []
        if name == "no_slides":
            assert [f.code for f in findings] == ["PML022"]


class TestSplitContent:
    def test_each_bullet_once_in_order_across_continuations(self):
        doc = vantrell.Document(data=SCENARIOS["long_bullets"].data)
        seen = []
        for i in range(doc.slide_count):
            slide = doc.slide(i)
            assert slide.title == "Many bullets"
            seen.extend(p for p in slide.paragraphs() if p != "Many bullets")
        assert seen == BULLETS

    def test_table_rows_once_with_header_repeated(self):
        doc = vantrell.Document(data=SCENARIOS["long_table"].data)
        body = []
        for i in range(doc.slide_count):
            (table,) = doc.slide(i).tables()
            assert table[0] == ["Name", "Value"]
            body.extend(table[1:])
        assert body == ROWS[1:]


@pytest.fixture(scope="module")
def pptx():
    return pytest.importorskip("pptx")


@pytest.mark.parametrize("name", NAMES)
def test_python_pptx_opens(pptx, name):
    sc = SCENARIOS[name]
    prs = pptx.Presentation(io.BytesIO(sc.data))
    doc = vantrell.Document(data=sc.data)
    assert len(prs.slides) == doc.slide_count
    titles = [s.shapes.title.text if s.shapes.title is not None else None for s in prs.slides]
    assert titles == doc.titles()
    text = "\n".join(shape.text_frame.text for s in prs.slides for shape in s.shapes if shape.has_text_frame)
    cells = "\n".join(c.text for s in prs.slides for shape in s.shapes if shape.has_table
                      for row in shape.table.rows for c in row.cells)
    for needle in sc.order:
        assert needle in text or needle in cells
    if sc.notes is not None:
        assert prs.slides[0].notes_slide.notes_text_frame.text == sc.notes
    for slide in prs.slides:
        indexes = [ph.placeholder_format.idx for ph in slide.placeholders]
        assert len(indexes) == len(set(indexes)), indexes


@pytest.fixture(scope="module")
def rendered(tmp_path_factory):
    """Every scenario converted by LibreOffice in one run: name -> PDF path."""
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        pytest.skip("LibreOffice not installed")
    folder = tmp_path_factory.mktemp("render")
    paths = []
    for name, sc in SCENARIOS.items():
        path = folder / f"{name}.pptx"
        path.write_bytes(sc.data)
        paths.append(str(path))
    subprocess.run([soffice, f"-env:UserInstallation=file://{folder}/profile", "--headless",
                    "--convert-to", "pdf", "--outdir", str(folder), *paths],
                   capture_output=True, timeout=600)
    return {name: folder / f"{name}.pdf" for name in SCENARIOS}


def pdf_pages(path):
    return len(re.findall(rb"/Type\s*/Page(?![a-zA-Z])", path.read_bytes()))


@pytest.mark.parametrize("name", NAMES)
class TestLibreOffice:
    def test_page_count_is_the_planned_slides(self, rendered, name):
        sc = SCENARIOS[name]
        pdf = rendered[name]
        assert pdf.exists(), "conversion failed"
        shown = vantrell.Document(data=sc.data).slide_count - sc.hidden
        # An empty deck still renders as one blank page; hidden slides are left out.
        assert pdf_pages(pdf) == max(shown, 1)

    def test_text_in_reading_order(self, rendered, name):
        pdftotext = shutil.which("pdftotext")
        if not pdftotext:
            pytest.skip("pdftotext not installed")
        pdf = rendered[name]
        assert pdf.exists(), "conversion failed"
        text = subprocess.run([pdftotext, "-layout", str(pdf), "-"], capture_output=True, check=True,
                              timeout=60).stdout.decode()
        # Table rows read left to right: keep the first column's order only.
        assert in_order(text, SCENARIOS[name].order) is None


@needs_markdown
class TestMarkdownSeparators:
    def test_separator_line_opens_an_untitled_blank_slide(self):
        # A separator opens a slide of its own; a heading right after it
        # titles that slide, so the reader's "---" between slides adds none.
        deck = w.from_markdown("## One\n- a\n\n---\n\nloose\n\n---\n\n## Two\n- b\n")
        doc = vantrell.Document(data=deck.to_bytes())
        assert doc.titles() == ["One", None, "Two"]
        assert doc.slide(1).paragraphs() == ["loose"]
        rels = zipfile_read(deck.to_bytes(), "ppt/slides/_rels/slide2.xml.rels")
        assert "slideLayout4.xml" in rels

    def test_markdown_of_a_written_deck_reads_back_with_the_same_titles(self):
        source = Presentation().add(Slide("First").bullet("one")).add(Slide("Second").bullet("two"))
        md = vantrell.Document(data=source.to_bytes()).markdown()
        again = vantrell.Document(data=w.from_markdown(md).to_bytes())
        assert [t for t in again.titles() if t] == ["First", "Second"]
        assert "one" in again.slide(0).paragraphs()


def zipfile_read(data, name):
    import zipfile
    return zipfile.ZipFile(io.BytesIO(data)).read(name).decode()


def shape_boxes(data, index=1):
    """name -> (x, y, cx, cy) of every shape with an explicit transform."""
    xml = zipfile_read(data, f"ppt/slides/slide{index}.xml")
    boxes = {}
    for name, body in re.findall(r'<p:cNvPr id="\d+" name="([^"]*)".*?(<a:xfrm>.*?</a:xfrm>|</p:sp>)', xml):
        nums = re.findall(r'(?:x|y|cx|cy)="(-?\d+)"', body)
        if len(nums) == 4:
            boxes[name] = tuple(int(v) for v in nums)
    return boxes


def overlap(a, b):
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]


class TestTitleLayoutWithContent:
    def deck(self, *blocks):
        s = Slide("Deck title", subtitle="A subtitle", layout="title")
        for text in blocks:
            s.bullet(text)
        return Presentation().add(s).to_bytes()

    def test_title_subtitle_and_body_do_not_overlap(self):
        boxes = shape_boxes(self.deck(*[f"point {i}" for i in range(6)]))
        assert set(boxes) == {"Title 1", "Subtitle 2", "Content Placeholder 2"}
        names = sorted(boxes)
        for i, a in enumerate(names):
            for b in names[i + 1:]:
                assert not overlap(boxes[a], boxes[b]), (a, b)
        assert boxes["Title 1"][1] < boxes["Subtitle 2"][1] < boxes["Content Placeholder 2"][1]
        bottom = max(y + cy for _, y, _, cy in boxes.values())
        assert bottom <= 6858000

    def test_title_slide_without_content_keeps_the_layout_boxes(self):
        assert shape_boxes(self.deck()) == {}

    def test_renders_everything_once(self, tmp_path):
        soffice = shutil.which("soffice") or shutil.which("libreoffice")
        pdftotext = shutil.which("pdftotext")
        if not (soffice and pdftotext):
            pytest.skip("LibreOffice or pdftotext not installed")
        source = tmp_path / "title.pptx"
        source.write_bytes(self.deck("first point", "second point"))
        subprocess.run([soffice, f"-env:UserInstallation=file://{tmp_path}/profile", "--headless",
                        "--convert-to", "pdf", "--outdir", str(tmp_path), str(source)],
                       capture_output=True, timeout=180)
        text = subprocess.run([pdftotext, str(tmp_path / "title.pdf"), "-"], capture_output=True,
                              timeout=60).stdout.decode()
        assert in_order(text, ["Deck title", "A subtitle", "first point", "second point"]) is None


def drawn_words(pdf):
    """Per page, the words LibreOffice drew: (x0, y0, x1, y1, text) in points."""
    pdftotext = shutil.which("pdftotext")
    if not pdftotext:
        pytest.skip("pdftotext not installed")
    out = subprocess.run([pdftotext, "-bbox", str(pdf), "-"], capture_output=True, check=True,
                         timeout=60).stdout.decode()
    word = re.compile(r'<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)</word>')
    return [[(*map(float, m[:4]), html.unescape(m[4])) for m in word.findall(page)]
            for page in re.findall(r"<page .*?</page>", out, re.S)]


def corner_colours(pdf):
    """Per page, the colour of the pixel one in from the top-left corner."""
    pdftoppm = shutil.which("pdftoppm")
    if not pdftoppm:
        pytest.skip("pdftoppm not installed")
    data = subprocess.run([pdftoppm, "-r", "10", str(pdf)], capture_output=True, check=True, timeout=60).stdout
    colours = []
    header = re.compile(rb"P6\s+(\d+)\s+(\d+)\s+255\s")
    while data:
        m = header.match(data)
        width, height = int(m[1]), int(m[2])
        pixel = m.end() + (width + 1) * 3
        colours.append(tuple(data[pixel:pixel + 3]))
        data = data[m.end() + width * height * 3:]
    return colours


def line_of(words, text):
    """The words on the drawn line of the word `text`, in order from the left."""
    (y0, y1), = {(w[1], w[3]) for w in words if w[4] == text}
    return sorted((w for w in words if w[1] < y1 and y0 < w[3]), key=lambda w: w[0])


class TestDrawnLayouts:
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_subtitle_body_and_bullets(self, rendered, layout):
        (words,) = drawn_words(rendered["subtitle_" + layout])
        box = {w[4]: w for w in words}
        for sub in ("Subtitle", "words"):
            for body in ("Bulleted", "Plain"):
                a, b = box[sub], box[body]
                assert not (a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]), (sub, body)
            assert box[sub][1] >= box["review"][3]
        assert [w[4] for w in line_of(words, "Bulleted")] == ["•", "Bulleted", "point"]
        assert [w[4] for w in line_of(words, "Plain")] == ["Plain", "point"]
        assert box["Plain"][0] < 100, "body text sits left"

    def test_markdown_title_slide_keeps_its_bullets(self, rendered):
        (words,) = drawn_words(rendered["markdown_code"])
        assert [w[4] for w in line_of(words, "pass")] == ["•", "pass", "**kwargs", "on"]
        assert [w[4] for w in line_of(words, "keep")][0] == "•"
        assert [w[4] for w in line_of(words, "Plain")][0] == "Plain"
        assert line_of(words, "pass")[0][0] < 100, "body text sits left"


class TestDrawnBackgrounds:
    def test_theme_layout_inverted_and_own_backgrounds_show(self, rendered):
        red, green, dark, blue = corner_colours(rendered["theme_background"])
        assert red == (0xC0, 0, 0) and green == (0, 0xA0, 0) and blue == (0, 0, 0xC0)
        assert max(dark) < 64

    def test_presets_show_their_backgrounds(self, rendered):
        (sunset,) = corner_colours(rendered["preset_sunset"])
        (dark,) = corner_colours(rendered["preset_dark"])
        (office,) = corner_colours(rendered["preset_office"])
        assert max(sunset) < 96 and max(dark) < 64 and min(office) > 240
