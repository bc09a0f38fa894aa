"""Markdown as a CommonMark parser reads it: escaping, nesting, links, and the
smaller blocks; checked by parsing the output with markdown-it-py."""
import html
import re
from xml.sax.saxutils import escape, quoteattr

import pytest

import vantrell
import vantrell.write as w
from slidedeck import (PNG, Slide, cell, chart_part, chart_frame, make, notes_part, para, pic, sp, table)

markdown_it = pytest.importorskip("markdown_it")
PARSER = markdown_it.MarkdownIt("commonmark").enable("table")
TAGS = re.compile(r"<[^>]*>")
INLINE_TAGS = re.compile(r"</?(a|em|strong|code)\b[^>]*>")


def shown(md):
    """The text a reader sees once the Markdown is rendered."""
    return html.unescape(TAGS.sub(" ", INLINE_TAGS.sub("", PARSER.render(md)))).split()


def deck_md(*slides, **kw):
    return vantrell.Document(data=make(list(slides))).markdown(**kw)


def num(start=None, lvl=0):
    at = f' startAt="{start}"' if start else ""
    return f'<a:pPr lvl="{lvl}"><a:buAutoNum type="arabicPeriod"{at}/></a:pPr>'


def bullet(lvl=0):
    return f'<a:pPr lvl="{lvl}"><a:buChar char="*"/></a:pPr>'


# Text CommonMark would otherwise read as markup, HTML, entities, links or
# block structure, and the line it renders as; a block marker (third field)
# is escaped only where a line starts, not in a table cell.
ESCAPES = [
    ("<infinite do loop>", r"\<infinite do loop>", False),
    ("&copy; 2024 &#169; Fish & chips", r"\&copy; 2024 \&#169; Fish & chips", False),
    ("*not emphasis* and 2*3", r"\*not emphasis\* and 2\*3", False),
    ("snake_case_name and __dunder__", r"snake_case_name and \_\_dunder\_\_", False),
    ("[x](y) and ![img](z)", r"\[x\](y) and !\[img\](z)", False),
    ("<!-- note --> a < b", r"\<!-- note --> a < b", False),
    ("```code```", r"\`\`\`code\`\`\`", False),
    ("a|b \\* C:\\Users", r"a\|b \\\* C:\Users", False),
    ("#hashtag 1.5 million", "#hashtag 1.5 million", False),
    ("6) We believe", r"6\) We believe", True),
    ("2024. A year", r"2024\. A year", True),
    ("# not a heading #", r"\# not a heading #", True),
    ("> not a quote", r"\> not a quote", True),
    ("- dash", r"\- dash", True),
    ("+ plus", r"\+ plus", True),
    ("---", r"\---", True),
    ("=====", r"\=====", True),
    ("~~~ fence", r"\~~~ fence", True),
]


@pytest.fixture(scope="module")
def rendered():
    texts = [t for t, _, _ in ESCAPES]
    title = "Q&A about C #"
    body = sp(2, "Title", para(escape(title)), ph='type="title"')
    body += sp(3, "Box", *[para(escape(t)) for t in texts])
    body += sp(4, "List", *[para(escape(t), ppr=bullet()) for t in texts])
    body += table(5, "T", [1], [(1, [cell(para("head"))])] + [(1, [cell(para(escape(t)))]) for t in texts])
    body += pic(6, "Picture 1", embed="rIdP", descr=escape("[alt] *x*"))
    notes = "\n".join(texts)
    s = Slide(body, rels=[("rIdP", "image", "../media/image1.png"),
                          ("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml")],
              parts={"ppt/media/image1.png": PNG, "ppt/notesSlides/notesSlide1.xml": notes_part(escape(notes))})
    return deck_md(s, notes=True), title, texts


class TestEscaping:
    def test_every_context_escapes_as_expected(self, rendered):
        md, title, texts = rendered
        lines = md.splitlines()
        assert lines[0] == r"# Q&A about C \#"
        for text, line, block in ESCAPES:
            assert line in lines, text
            assert "- " + line in lines, text
            assert f"| {text if block else line} |" in lines, text
        assert r"![\[alt\] \*x\*](/ppt/media/image1.png)" in lines

    def test_a_parser_reads_the_words_back_as_written(self, rendered):
        md, title, texts = rendered
        words = title.split()
        for t in texts:
            words += t.split() * 4  # plain line, list item, cell, notes
        assert sorted(shown(md)) == sorted(words + ["head", "Notes:"])


class TestNesting:
    @staticmethod
    def tree(md):
        """(depth, kind, text) of every list item, as the parser nests them."""
        out, depth = [], 0
        tokens = PARSER.parse(md)
        for i, tok in enumerate(tokens):
            if tok.type in ("bullet_list_open", "ordered_list_open"):
                depth += 1
            elif tok.type in ("bullet_list_close", "ordered_list_close"):
                depth -= 1
            elif tok.type == "list_item_open":
                text = next(t.content for t in tokens[i:] if t.type == "inline")
                out.append((depth, tok.info or "-", text))
        return out

    def test_children_nest_under_numbered_items_of_any_width(self):
        paras = [para("Rationale", ppr=num(9)), para("The problem", ppr=bullet(1)),
                 para("Deep", ppr=num(lvl=2)), para("Deeper", ppr=bullet(3)),
                 para("Next", ppr=num()), para("Under ten", ppr=bullet(1)),
                 para("Started late", ppr=num(3, lvl=2)), para("Plain", ppr='<a:pPr><a:buNone/></a:pPr>'),
                 para("Again", ppr=num(12)), para("Child", ppr=num(lvl=1))]
        md = deck_md(Slide(sp(2, "Body", *paras, ph='idx="1"')), headings=False)
        assert self.tree(md) == [(1, "9", "Rationale"), (2, "-", "The problem"), (3, "1", "Deep"),
                                 (4, "-", "Deeper"), (1, "10", "Next"), (2, "-", "Under ten"),
                                 (3, "3", "Started late"), (1, "12", "Again"), (2, "1", "Child")]

    def test_outline_comes_back_through_the_writer(self):
        source = (w.Presentation().add(w.Slide("Plan *one*").bullet("Top").bullet("Sub [a]", 1)
                                       .bullet("Subsub", 2).bullet("Back", 0)))
        md = vantrell.Document(data=source.to_bytes()).markdown()
        again = vantrell.Document(data=w.from_markdown(md).to_bytes())
        assert again.titles()[0] == "Plan *one*"
        levels = [(p.level, p.text) for p in again.slide(0).shapes()[1].paragraphs]
        assert levels == [(0, "Top"), (1, "Sub [a]"), (2, "Subsub"), (0, "Back")]

    # Markdown as written by hand, or items as (marker, level) for the reader
    # to write: "-" a bullet, a number an item numbered from it.
    @pytest.mark.parametrize("source", [
        [("-", 0), ("-", 1), ("-", 2), ("-", 3), ("-", 1)],
        [("1", 0), ("1", 1), ("1", 2), ("1", 3), ("1", 0)],
        [("1", 0), ("-", 1), ("1", 2), ("-", 3), ("-", 2), ("1", 0), ("1", 1)],
        [("99", 0), ("1", 0), ("-", 1), ("1", 2), ("-", 3)],
        [("-", level) for level in range(9)] + [("1", 8), ("-", 0)],
        "- a\n  - b\n    - c\n  - d\n",
        "- a\n    - b\n      - c\n",
        "1. a\n   - b\n      1. c\n",
        "10. a\n    - b\n   - c\n",
        "-   a\n    - b\n  - c\n",
        "- a\n\t- b\n  \t- c\n",
        "- a\n\n  - b\n\n    text\n    - c\n",
        "- a\nlazy text\n  - b\n",
        "- a\n\ntext\n  - b\n",
        "* a\n  + b\n    1) c\n       - d\n",
        # Four columns inside an item's text a marker is that item's text.
        "- a\n      - bb\n  - c\n",
        "- a\n\n      - bb\n",
        "1. a\n   - b\n\t     - cc\n     - d\n",
        # A no-break space is text, not indentation.
        "- a\n\n\u00a0\u00a0text\n  - b\n",
        # A lazy line after an item's second paragraph continues it.
        "- a\n\n  bbbb\ncccc\n  - d\n",
        "- a\n  - b\n\n    text\nlazy\n    - c\n",
        # Four columns in but short of the item's text: text, never an item.
        "1.   a\n    - bb\n     - c\n",
        "1.   a\n\n    - bb\n",
    ])
    def test_from_markdown_nests_items_as_commonmark_does(self, source):
        md = source
        if isinstance(source, list):
            md = deck_md(Slide(sp(2, "Body", *[para(f"i{k}", ppr=bullet(level) if mark == "-" else num(int(mark), level))
                                               for k, (mark, level) in enumerate(source)], ph='idx="1"')), headings=False)
            assert [depth - 1 for depth, _, _ in self.tree(md)] == [level for _, level in source]
        doc = vantrell.Document(data=w.from_markdown(md).to_bytes())
        # A lazy line is a paragraph of its own here, the item's text there.
        assert [(p.level, p.text) for s in doc.slide(0).shapes() for p in s.paragraphs if len(p.text) < 4] == \
            [(depth - 1, text.split("\n")[0]) for depth, _, text in self.tree(md)]


def link_run(text, rid):
    return f'<a:r><a:rPr lang="en-US"><a:solidFill><a:srgbClr val="000000"/></a:solidFill>' \
           f'<a:hlinkClick r:id="{rid}"/></a:rPr><a:t>{text}</a:t></a:r>'


def test_external_links_become_links_and_internal_jumps_stay_text():
    paras = [para("See ", link_run("the site", "rIdW"), link_run(" now", "rIdW"), "!"),
             para("Wow!", link_run("spaced", "rIdS")),
             para(link_run("slide two", "rIdJ"), " and ", link_run("note", "rIdF"), " and ",
                  link_run("[x]", "rIdW"))]
    s = Slide(sp(2, "Box", *paras), rels=[
        ("rIdW", "hyperlink", "https://example.com/a_b?x=1&amp;y=2", "External"),
        ("rIdS", "hyperlink", "https://example.com/My Docs/a (1).pdf", "External"),
        ("rIdJ", "slide", "slide2.xml"),
        ("rIdF", "hyperlink", "#_ftn1", "External")])
    md = deck_md(s, Slide(sp(2, "B", para("two"))), headings=False)
    assert md.splitlines()[:5] == [
        "See [the site now](https://example.com/a_b?x=1&y=2)!", "",
        "Wow\\![spaced](<https://example.com/My Docs/a (1).pdf>)", "",
        r"slide two and note and [\[x\]](https://example.com/a_b?x=1&y=2)"]
    links = [t for t in PARSER.parse(md.split("---")[0]) if t.type == "inline"]
    hrefs = [c.attrs["href"] for t in links for c in t.children if c.type == "link_open"]
    assert hrefs == ["https://example.com/a_b?x=1&y=2", "https://example.com/My%20Docs/a%20(1).pdf",
                     "https://example.com/a_b?x=1&y=2"]


def test_damaged_relationships_are_reported_and_the_slide_still_renders():
    s = Slide(sp(2, "Title", para("Kept"), ph='type="title"') + pic(3, "Picture 2", embed="rIdP", descr="image.png"),
              rels=[("rIdP", "image", "../media/image1.png")], parts={"ppt/media/image1.png": PNG})
    data = make([s], extra={"ppt/slides/_rels/slide1.xml.rels": b'<?xml version="1.0"?><Relationships xmlns="'})
    d = vantrell.Document(data=data)
    # No link without a target, but the picture's description is kept.
    assert d.markdown() == "# Kept\n\nImage: image.png\n"
    text, report = d.extract()
    assert text == "Kept" and not report.is_complete
    assert report.warnings[0].startswith("slide 1: unreadable: xml in /ppt/slides/_rels/slide1.xml.rels")
    assert d.text_reporting()[1] == report.warnings


def test_smaller_blocks():
    media = ('<p:pic><p:nvPicPr><p:cNvPr id="7" name="intro.mp4"/><p:cNvPicPr/><p:nvPr>'
             '<a:videoFile r:link="rIdV"/></p:nvPr></p:nvPicPr><p:blipFill><a:blip r:embed="rIdP"/></p:blipFill>'
             '<p:spPr/></p:pic>')
    # Without a name, a media line takes the description (longer than any in-place string).
    unnamed = media.replace('id="7" name="intro.mp4"', 'id="9" name="" descr="Launch clip from the 2024 keynote"')
    unnamed = unnamed.replace("videoFile", "audioFile")
    axes = chart_part(title="Sales").replace(
        b"</c:plotArea>", b'<c:catAx><c:title><c:tx><c:rich><a:p><a:r><a:t>Quarter</a:t></a:r></a:p></c:rich>'
        b'</c:tx></c:title></c:catAx><c:valAx><c:title><c:tx><c:rich><a:p><a:r><a:t>EUR m</a:t></a:r></a:p>'
        b'</c:rich></c:tx></c:title></c:valAx></c:plotArea>')
    s = Slide(pic(3, "Picture 3", embed="rIdP") + pic(4, "Team photo", embed="rIdP")
              + pic(8, "grafik 12", embed="rIdP") + media + unnamed
              + table(5, "T", [1, 1], [(1, [cell(), cell()]), (1, [cell(), cell()])]) + chart_frame(6, "C", "rIdC"),
              rels=[("rIdP", "image", "../media/image1.png"), ("rIdV", "video", "../media/intro.mp4"),
                    ("rIdC", "chart", "../charts/chart1.xml"),
                    ("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml")],
              parts={"ppt/media/image1.png": PNG, "ppt/charts/chart1.xml": axes,
                     "ppt/notesSlides/notesSlide1.xml": notes_part("First point\nSecond point")})
    md = deck_md(s, notes=True, headings=False)
    assert md.split("\n\n")[:6] == ["![](/ppt/media/image1.png)", "![Team photo](/ppt/media/image1.png)",
                                    "![](/ppt/media/image1.png)", "Video: intro.mp4",
                                    "Audio: Launch clip from the 2024 keynote",
                                    "Chart (bar): Sales\nCategory axis: Quarter\nValue axis: EUR m"]
    quote = [t.type for t in PARSER.parse(md.split("\n\n")[-1])]
    assert quote.count("paragraph_open") == 2 and quote[0] == "blockquote_open"


def test_corpus_words_survive_rendering(corpus):
    checked = 0
    for path in sorted(corpus.iterdir()):
        try:
            d = vantrell.Document(path)
        except vantrell.PptxError:
            continue
        words = set(shown(d.markdown(notes=True, comments=True)))
        # A chart's text reads "category: value"; its table has the category alone.
        lost = [t for t in d.text(notes=True, comments=True).split() if t not in words and t.rstrip(":") not in words]
        assert not lost, (path.name, lost[:10])
        checked += 1
    assert checked > 0
