"""Decks written through vantrell.write and from_markdown, read back: by the
module's own reader, and by python-pptx and LibreOffice where installed."""
import io
import re
import shutil
import subprocess
import zipfile

import pytest

import vantrell
import vantrell.write as w
from vantrell.write import Presentation, Slide

needs_reader = pytest.mark.skipif(not hasattr(vantrell, "Document"), reason="reading API not built")
needs_markdown = pytest.mark.skipif(not hasattr(w, "from_markdown"), reason="Markdown conversion not built")

MARKDOWN = """# Plans

- first point
- second point
  - nested point

# Numbers

| name | value |
|------|-------|
| a    | 1     |
| b    | 2     |
"""


def written_deck():
    return (Presentation(title="Round trip")
            .add(Slide("Agenda", notes="Say hello first.")
                 .bullet("Welcome").bullet(["Plan ", w.Run("ahead", bold=True)], 1))
            .add(Slide("Figures").table([["Quarter", "Sales"], ["Q1", "10"], ["Q2", "12"]]))
            .add(Slide("Boxes").text_box(1, 1, 4, 2, ["boxed line"])))


def slide_texts(deck_bytes, index):
    xml = zipfile.ZipFile(io.BytesIO(deck_bytes)).read(f"ppt/slides/slide{index}.xml").decode()
    return re.findall(r"<a:t>([^<]*)</a:t>", xml)


@needs_reader
class TestOwnReader:
    def test_titles_bullets_tables_notes(self):
        doc = vantrell.Document(data=written_deck().to_bytes())
        assert doc.titles() == ["Agenda", "Figures", "Boxes"]
        first = doc.slide(0)
        assert "Welcome" in first.paragraphs() and "Plan ahead" in first.paragraphs()
        assert first.notes() == "Say hello first."
        assert doc.slide(1).tables() == [[["Quarter", "Sales"], ["Q1", "10"], ["Q2", "12"]]]
        assert "boxed line" in doc.slide(2).paragraphs()

    def test_saved_file_opens_by_path(self, tmp_path):
        target = tmp_path / "deck.pptx"
        written_deck().save(target)
        assert vantrell.Document(str(target)).titles() == ["Agenda", "Figures", "Boxes"]

    @needs_markdown
    def test_markdown_deck(self):
        doc = vantrell.Document(data=w.from_markdown(MARKDOWN).to_bytes())
        titles = doc.titles()
        assert "Plans" in titles and "Numbers" in titles
        plans = doc.slide(titles.index("Plans")).paragraphs()
        assert {"first point", "second point", "nested point"} <= set(plans)


@needs_markdown
class TestFromMarkdown:
    def test_arguments(self):
        with pytest.raises(TypeError, match="argument 'markdown'"):
            w.from_markdown(b"# x")
        with pytest.raises(TypeError, match="argument 'theme'"):
            w.from_markdown("# x", theme="dark")
        with pytest.raises(TypeError):
            w.from_markdown("# x", "standard")
        with pytest.raises(ValueError, match='^unknown size "wide"'):
            w.from_markdown("# x", size="wide")
        assert w.from_markdown.__text_signature__ == "(markdown, *, size=..., theme=None, font=None)"
        assert w.from_markdown.__doc__ == "Builds a presentation from Markdown text."

    def test_size_theme_and_font_reach_the_deck(self):
        theme = w.Theme(colors={"accent1": "0A0B0C"})
        deck = w.from_markdown(MARKDOWN, size="standard", theme=theme, font="Inter")
        assert isinstance(deck, Presentation) and len(deck) >= 2
        z = zipfile.ZipFile(io.BytesIO(deck.to_bytes()))
        assert '<p:sldSz cx="9144000" cy="6858000"' in z.read("ppt/presentation.xml").decode()
        xml = z.read("ppt/theme/theme1.xml").decode()
        assert "0A0B0C" in xml and 'typeface="Inter"' in xml
        assert theme.major_font == "Calibri"
        assert "<dc:creator>vantrell</dc:creator>" in z.read("docProps/core.xml").decode()

    def test_result_is_an_ordinary_deck(self):
        deck = w.from_markdown("# Only")
        count = len(deck)
        deck.add(Slide("Extra"))
        assert len(deck) == count + 1
        assert w.from_markdown("").to_bytes() == w.from_markdown("").to_bytes()


class TestOtherReaders:
    def test_python_pptx(self):
        pptx = pytest.importorskip("pptx")
        prs = pptx.Presentation(io.BytesIO(written_deck().to_bytes()))
        titles = [s.shapes.title.text if s.shapes.title is not None else None for s in prs.slides]
        assert titles == ["Agenda", "Figures", "Boxes"]
        assert prs.slides[0].notes_slide.notes_text_frame.text == "Say hello first."
        assert prs.core_properties.title == "Round trip"

    def test_libreoffice_converts_to_pdf(self, tmp_path):
        soffice = shutil.which("soffice") or shutil.which("libreoffice")
        if not soffice:
            pytest.skip("LibreOffice not installed")
        source = tmp_path / "deck.pptx"
        written_deck().save(source)
        run = subprocess.run([soffice, f"-env:UserInstallation=file://{tmp_path}/profile", "--headless",
                              "--convert-to", "pdf", "--outdir", str(tmp_path), str(source)],
                             capture_output=True, timeout=180)
        pdf = tmp_path / "deck.pdf"
        assert run.returncode == 0 and pdf.exists(), run.stderr
        pages = re.findall(rb"/Type\s*/Page(?![a-zA-Z])", pdf.read_bytes())
        assert len(pages) == 3
