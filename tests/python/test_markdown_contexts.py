"""Hostile text in every place the Markdown puts text, and lists side by
side, checked by what a CommonMark parser (markdown-it-py) makes of them."""
import re
from xml.sax.saxutils import escape

import pytest

import vantrell
import vantrell.write as w
from slidedeck import DECL, GROUP_HEAD, NS, Slide, cell, diagram_data_part, diagram_frame, make, para, sp, table

markdown_it = pytest.importorskip("markdown_it")
PARSER = markdown_it.MarkdownIt("commonmark").enable("table")

BULLET = '<a:pPr><a:buChar char="&#8226;"/></a:pPr>'


def numbered(start=None, scheme="arabicPeriod", lvl=0):
    at = f' startAt="{start}"' if start is not None else ""
    return f'<a:pPr lvl="{lvl}"><a:buAutoNum type="{scheme}"{at}/></a:pPr>'


def xml_text(s):
    return escape(s).replace("\r", "&#13;").replace("\n", "&#10;").replace("\t", "&#9;")


AUTHORS = {"ppt/commentAuthors.xml": (DECL + f'<p:cmAuthorLst {NS}><p:cmAuthor id="0" name="Ann" initials="A" '
                                      'lastIdx="1" clrIdx="0"/></p:cmAuthorLst>').encode()}


def noted(t):
    page = sp(3, "Notes", para(t), ph='type="body" idx="1"')
    return Slide(rels=[("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml")], parts={
        "ppt/notesSlides/notesSlide1.xml":
            (DECL + f'<p:notes {NS}><p:cSld><p:spTree>{GROUP_HEAD}{page}</p:spTree></p:cSld></p:notes>').encode()})


def commented(t):
    return Slide(rels=[("rIdC", "comments", "../comments/comment1.xml")], parts={
        "ppt/comments/comment1.xml":
            (DECL + f'<p:cmLst {NS}><p:cm authorId="0" idx="1"><p:text>{t}</p:text></p:cm></p:cmLst>').encode()})


# Each place: a slide holding the (XML-escaped) text there, the blocks the
# parser opens for it, and the words the Markdown puts before it.
CONTEXTS = {
    "body": (lambda t: Slide(sp(2, "Box", para(t))), ["paragraph"], ""),
    "item": (lambda t: Slide(sp(2, "Box", para(t, ppr=BULLET))), ["bullet_list", "list_item", "paragraph"], ""),
    "numbered": (lambda t: Slide(sp(2, "Box", para(t, ppr=numbered()))), ["ordered_list", "list_item", "paragraph"],
                 ""),
    "heading": (lambda t: Slide(sp(2, "Title", para(t), ph='type="title"')), ["heading"], ""),
    "cell": (lambda t: Slide(table(2, "T", [1], [(1, [cell(para("h"))]), (1, [cell(para(t))])])),
             ["table", "thead", "tr", "th", "tbody", "tr", "td"], ""),
    "notes": (noted, ["blockquote", "paragraph"], "Notes: "),
    "comment": (commented, ["blockquote", "paragraph"], "Comment from Ann: "),
}


def shown_lines(md):
    """The last inline of the Markdown as lines of text: text pieces joined,
    a hard break or "<br>" ending a line, anything else marked as markup."""
    inline = [t for t in PARSER.parse(md) if t.type == "inline"][-1]
    lines = [""]
    for c in inline.children:
        if c.type in ("text", "text_special"):
            lines[-1] += c.content
        elif c.type == "hardbreak" or (c.type == "html_inline" and c.content == "<br>"):
            lines.append("")
        else:
            lines[-1] += f"<{c.type}>"
    return lines


def folded(text, context):
    """The lines the text should show: line ends split them (a heading is one
    line), white space runs are one space, blank lines go."""
    lines = [x for x in (" ".join(p.split()) for p in ([text] if context == "heading" else text.split("\n"))) if x]
    return [CONTEXTS[context][2] + lines[0]] + lines[1:]


HOSTILE = [
    "one\r# two",
    "one\r\n# two",
    "one\r\r\n\r\n- two\r+ three",
    "a \n   b",
    "c\n\n \nd",
    "x\r===\r---",
    "1. one\r2) two\r\n10. ten",
    "> quote\r> more",
    "```\rcode\r```",
    "~~~\r    indented\r\tcode",
    "Notes: said\rNotes: again",
    "tab\there\r<b>html</b>\r&amp;",
    "* star\r*emph*\r_under_",
    "|pipe| cell\r| --- |",
    "trail \\\r# after a backslash",
    "[a](b)\r[c]: d",
]


@pytest.mark.parametrize("context", CONTEXTS)
@pytest.mark.parametrize("text", HOSTILE)
def test_hostile_text_stays_in_its_place(text, context):
    make_slide, blocks, _ = CONTEXTS[context]
    deck = make([make_slide(xml_text(text))], pres_rels=[("rIdA", "commentAuthors", "commentAuthors.xml")],
                extra=AUTHORS)
    md = vantrell.Document(data=deck).markdown(headings=context == "heading", notes=True, comments=True)
    assert "\r" not in md
    assert [t.type.removesuffix("_open") for t in PARSER.parse(md) if t.nesting == 1] == blocks
    assert shown_lines(md) == folded(text, context)


def top_lists(md):
    """Every top-level list as (kind, its items' shown numbers or None)."""
    out, depth = [], 0
    for t in PARSER.parse(md):
        if t.type in ("bullet_list_open", "ordered_list_open"):
            if depth == 0:
                start = int(t.attrGet("start") or 1) if t.type == "ordered_list_open" else None
                out.append((t.type[0], start, []))
            depth += 1
        elif t.type in ("bullet_list_close", "ordered_list_close"):
            depth -= 1
        elif t.type == "list_item_open" and depth == 1:
            kind, start, items = out[-1]
            items.append(None if start is None else start + len(items))
    return [(kind, items) for kind, _, items in out]


def boxes(*boxes, **slide):
    """A slide of text boxes, each given as lists of paragraphs."""
    return Slide("".join(sp(i, f"Box {i}", *sum(b, [])) for i, b in enumerate(boxes, start=2)), **slide)


def bul(texts, ppr=BULLET):
    return [para(t, ppr=ppr) for t in texts]


def num(texts, start=None, scheme="arabicPeriod"):
    return bul(texts, numbered(start, scheme))


DIAGRAM = dict(rels=[("rIdD", "diagramData", "../diagrams/data1.xml")],
               parts={"ppt/diagrams/data1.xml": diagram_data_part([("1", "Plan", None), ("2", "Do", None)])})
LISTS = [
    # (slide, its top-level lists as the parser sees them: kind, the shown
    # number of each item)
    (boxes([bul("ab")], [bul("c")]), [("b", [None] * 2), ("b", [None])]),
    (boxes([bul("a")], [bul("b")], [bul("c")]), [("b", [None])] * 3),
    (boxes([num("abc")], [num("f", 6)]), [("o", [1, 2, 3]), ("o", [6])]),
    (boxes([num("ab")], [num("cd")], [num("e")]), [("o", [1, 2]), ("o", [1, 2]), ("o", [1])]),
    # A box that ends in plain text or nested still keeps its list.
    (boxes([bul("a"), [para("plain")]], [bul("b")]), [("b", [None]), ("b", [None])]),
    (boxes([bul("a"), bul(["deep"], '<a:pPr lvl="1"><a:buChar char="-"/></a:pPr>')], [bul("b")]),
     [("b", [None]), ("b", [None])]),
    # A new scheme in one box starts its own list.
    (boxes([num("ab"), num("c", None, "alphaLcParen")]), [("o", [1, 2]), ("o", [1])]),
    (boxes([num("a"), num("bc", None, "romanUcPeriod"), num("d", 5)]), [("o", [1]), ("o", [1, 2]), ("o", [5])]),
    # Numbers beyond what a marker holds stay markers and never wrap.
    (boxes([num("abc", 999999999)]), [("o", [999999999, 1000000000, 1000000001])]),
    (boxes([num("ab", 4294967295)], [num("c", 4294967295)]), [("o", [999999999, 1000000000]), ("o", [999999999])]),
    (boxes([num("ab", 32768)]), [("o", [32768, 32769])]),
    # A diagram's list between two boxes' lists.
    (Slide(sp(2, "A", *bul("a")) + diagram_frame(3, "D", "rIdD") + sp(4, "B", *bul("bc")), **DIAGRAM),
     [("b", [None]), ("b", [None] * 2), ("b", [None] * 2)]),
]


@pytest.mark.parametrize("slide, lists", LISTS)
def test_lists_of_separate_boxes_stay_separate(slide, lists):
    md = vantrell.Document(data=make([slide])).markdown(headings=False)
    assert top_lists(md) == lists
    assert not re.search(r"^ *(\d{10}|0[.)])", md, re.M)


# Body paragraphs that the writer's Markdown input must read back as they
# were, not as notes, breaks or emphasis.
ROUND_TRIP = ["Notes: not notes", "Notes:", "x__x and a__b__c", "  Notes: indented"]


def test_body_text_reads_back_through_from_markdown():
    slide = w.Slide("T")
    for t in ROUND_TRIP:
        slide.paragraph(t)
    doc = vantrell.Document(data=w.Presentation().add(slide).to_bytes())
    again = vantrell.Document(data=w.from_markdown(doc.markdown()).to_bytes())
    assert again.slide(0).paragraphs() == [p.strip() for p in doc.slide(0).paragraphs()]
    assert again.slide(0).notes() in (None, "")
