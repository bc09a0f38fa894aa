"""from_markdown reads back the Markdown the reader writes: punctuation the
reader escapes comes back as written, and the separators between slides add
no slides."""
import pytest

import vantrell
import vantrell.write as w

# Texts that the reader has to escape: marks of emphasis, code, links, HTML,
# entities and table cells inline; headings, lists, quotes, rules, setext
# underlines and fences at the start of a line.
TRICKY = [
    "*stars* and _name_ and **both**",
    "`code` and ``ticks``",
    "[not a link](x) and ![no image](y)",
    "<b>bold</b> &amp; &#65; a|b",
    r"back\slash \*kept\* \ and trailing\\",
    "# not a heading",
    "- not a bullet",
    "+ plus",
    "1. not numbered",
    "2) nor this",
    "> not a quote",
    "---",
    "***",
    "===",
    "~~~ not a fence",
    "snake_case_name and _x_",
]


def texts(doc):
    return [s.paragraphs() for s in doc.slides()]


def test_reader_markdown_round_trips():
    source = w.Presentation()
    source.add(w.Slide("C# & *stars*").bullet(TRICKY[0]))
    for half in (TRICKY[:8], TRICKY[8:]):
        slide = w.Slide("Issue #")
        for i, t in enumerate(half):
            slide.bullet(t, i % 3)
        source.add(slide)
    source.add(w.Slide("[Plan] `one`").paragraph("plain start").paragraph(TRICKY[4]))
    doc = vantrell.Document(data=source.to_bytes())
    again = vantrell.Document(data=w.from_markdown(doc.markdown()).to_bytes())
    assert again.titles() == doc.titles() == ["C# & *stars*", "Issue #", "Issue #", "[Plan] `one`"]
    assert texts(again) == texts(doc)
    levels = [(p.level, p.text) for k in (1, 2) for p in again.slide(k).shapes()[1].paragraphs]
    assert levels == [(i % 8 % 3, t) for i, t in enumerate(TRICKY)]


def test_escapes_in_each_place():
    md = ("# Deck \\#1\n\nBy \\*me\\*\n\n---\n\n## Table\n\n| a \\| b | c |\n\n"
          "- item \\_x\\_\n  1. [text \\]](http://x.invalid/)\n")
    doc = vantrell.Document(data=w.from_markdown(md).to_bytes())
    assert doc.titles() == ["Deck #1", "Table"]
    assert texts(doc) == [["Deck #1", "By *me*"],
                          ["Table", "| a | b | c |", "item _x_", "[text ]](http://x.invalid/)"]]


def test_hard_breaks_round_trip():
    # The reader writes a line break as a backslash at the end of the line;
    # the next line continues the same paragraph, item or subtitle.
    source = w.Presentation()
    slide = w.Slide("Breaks", subtitle="first\nsecond")
    source.add(slide)
    slide = w.Slide("Items")
    slide.bullet("Automatic Verification\nFluctuat [SAS'13]")
    slide.bullet("nested\n- not an item\nthird line", 1)
    slide.bullet("ends in a backslash\\\nnext")
    slide.paragraph("plain\n1. not numbered")
    source.add(slide)
    doc = vantrell.Document(data=source.to_bytes())
    again = vantrell.Document(data=w.from_markdown(doc.markdown()).to_bytes())
    assert texts(again) == texts(doc)
    assert [p.level for p in again.slide(1).shapes()[1].paragraphs] == [0, 1, 0, 0]


def test_a_break_without_a_next_line_keeps_its_backslash():
    md = "## T\n\n- a\\\n\nb\\\n- c\\\n## U\n"
    doc = vantrell.Document(data=w.from_markdown(md).to_bytes())
    assert texts(doc) == [["T", "a\\", "b\\", "c\\"], ["U"]]


@pytest.mark.parametrize("md, paragraphs", [
    # A backslash before white space is text, not a hard break.
    ("C:\\ \nnext", ["C:\\", "next"]),
    ("C:\\\t\nnext", ["C:\\", "next"]),
    ("- C:\\ \nnext", ["C:\\", "next"]),
    ("C:\\\nnext", ["C:\nnext"]),
    ("C:\\\\\nnext", ["C:\\", "next"]),
    # Underscores inside a word are text, however many.
    ("x__x and a_b__c___d", ["x__x and a_b__c___d"]),
    ("__init__ and _x_ and x__", ["init and x and x"]),
    ("snake_ case", ["snake case"]),
    # An escaped colon keeps a line out of the notes.
    ("Notes\\: said", ["Notes: said"]),
])
def test_escapes_and_breaks_as_commonmark_reads_them(md, paragraphs):
    doc = vantrell.Document(data=w.from_markdown("## T\n\n" + md).to_bytes())
    assert texts(doc) == [["T"] + paragraphs]
    assert doc.slide(0).notes() in (None, "")
