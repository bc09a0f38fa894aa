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


def notes_part(text):
    return (DECL + f'<p:notes {NS}><p:cSld><p:spTree>{GROUP_HEAD}'
            + sp(3, "Notes", para(xml_text(text)), ph='type="body" idx="1"')
            + "</p:spTree></p:cSld></p:notes>").encode()


def comment_parts(text):
    return {"ppt/comments/comment1.xml": (DECL + f'<p:cmLst {NS}><p:cm authorId="0" idx="1"><p:text>'
                                          f'{xml_text(text)}</p:text></p:cm></p:cmLst>').encode(),
            "ppt/commentAuthors.xml": (DECL + f'<p:cmAuthorLst {NS}><p:cmAuthor id="0" name="Ann" initials="A" '
                                       'lastIdx="1" clrIdx="0"/></p:cmAuthorLst>').encode()}


def render(context, text):
    """The Markdown of a one-slide deck holding `text` in the given place."""
    t = xml_text(text)
    pres_rels, rels, parts = [], [], {}
    if context == "body":
        shapes = sp(2, "Box", para(t))
    elif context == "item":
        shapes = sp(2, "Box", para(t, ppr=BULLET))
    elif context == "numbered":
        shapes = sp(2, "Box", para(t, ppr=numbered()))
    elif context == "heading":
        shapes = sp(2, "Title", para(t), ph='type="title"')
    elif context == "cell":
        shapes = table(2, "T", [1], [(1, [cell(para("h"))]), (1, [cell(para(t))])])
    elif context == "notes":
        shapes = ""
        rels.append(("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml"))
        parts["ppt/notesSlides/notesSlide1.xml"] = notes_part(text)
    else:
        shapes = ""
        rels.append(("rIdC", "comments", "../comments/comment1.xml"))
        parts.update(comment_parts(text))
        pres_rels.append(("rIdA", "commentAuthors", "commentAuthors.xml"))
    deck = make([Slide(shapes, rels=rels, parts=parts)], pres_rels=pres_rels)
    return vantrell.Document(data=deck).markdown(headings=context == "heading", notes=True, comments=True)


# The blocks each place gives, as the parser opens them.
BLOCKS = {
    "body": ["paragraph"],
    "item": ["bullet_list", "list_item", "paragraph"],
    "numbered": ["ordered_list", "list_item", "paragraph"],
    "heading": ["heading"],
    "cell": ["table", "thead", "tr", "th", "tbody", "tr", "td"],
    "notes": ["blockquote", "paragraph"],
    "comment": ["blockquote", "paragraph"],
}
LEADS = {"notes": "Notes: ", "comment": "Comment from Ann: "}


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
    parts = [text] if context == "heading" else text.split("\n")
    lines = [" ".join(p.split()) for p in parts]
    lines = [x for x in lines if x]
    if context in LEADS:
        lines[0] = LEADS[context] + lines[0]
    return lines


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
CONTEXTS = list(BLOCKS)


@pytest.mark.parametrize("context", CONTEXTS)
@pytest.mark.parametrize("text", HOSTILE)
def test_hostile_text_stays_in_its_place(text, context):
    md = render(context, text)
    assert "\r" not in md
    assert [t.type.removesuffix("_open") for t in PARSER.parse(md) if t.nesting == 1] == BLOCKS[context]
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


def box(sid, *paras):
    return sp(sid, f"Box {sid}", *paras)


B = [None] * 2
LISTS = [
    # (shapes, the top-level lists a reader sees)
    ([box(2, para("a", ppr=BULLET), para("b", ppr=BULLET)), box(3, para("c", ppr=BULLET))],
     [("b", B), ("b", [None])]),
    ([box(2, para("a", ppr=numbered()), para("b", ppr=numbered()), para("c", ppr=numbered())),
      box(3, para("f", ppr=numbered(6)))],
     [("o", [1, 2, 3]), ("o", [6])]),
    ([box(2, para("a", ppr=numbered()), para("b", ppr=numbered())),
      box(3, para("c", ppr=numbered()), para("d", ppr=numbered())),
      box(4, para("e", ppr=numbered()))],
     [("o", [1, 2]), ("o", [1, 2]), ("o", [1])]),
    ([box(2, para("a", ppr=BULLET)), box(3, para("b", ppr=BULLET)), box(4, para("c", ppr=BULLET))],
     [("b", [None])] * 3),
    # A box that ends in plain text ends its list on its own.
    ([box(2, para("a", ppr=BULLET), para("plain")), box(3, para("b", ppr=BULLET))],
     [("b", [None]), ("b", [None])]),
    # Bullets after a box whose list ends nested.
    ([box(2, para("a", ppr=BULLET), para("deep", ppr='<a:pPr lvl="1"><a:buChar char="-"/></a:pPr>')),
      box(3, para("b", ppr=BULLET))],
     [("b", [None]), ("b", [None])]),
    # A new scheme in one box starts its own list.
    ([box(2, para("a", ppr=numbered()), para("b", ppr=numbered()), para("c", ppr=numbered(None, "alphaLcParen")))],
     [("o", [1, 2]), ("o", [1])]),
    ([box(2, para("a", ppr=numbered()), para("b", ppr=numbered(None, "romanUcPeriod")),
          para("c", ppr=numbered(None, "romanUcPeriod")), para("d", ppr=numbered(5)))],
     [("o", [1]), ("o", [1, 2]), ("o", [5])]),
    # Numbers beyond what a marker holds stay markers and never wrap.
    ([box(2, *[para(x, ppr=numbered(999999999)) for x in "abc"])], [("o", [999999999, 1000000000, 1000000001])]),
    ([box(2, *[para(x, ppr=numbered(4294967295)) for x in "ab"]), box(3, para("c", ppr=numbered(4294967295)))],
     [("o", [999999999, 1000000000]), ("o", [999999999])]),
    ([box(2, para("a", ppr=numbered(32768)), para("b", ppr=numbered(32768)))], [("o", [32768, 32769])]),
]


@pytest.mark.parametrize("shapes, lists", LISTS)
def test_lists_of_separate_boxes_stay_separate(shapes, lists):
    md = vantrell.Document(data=make([Slide("".join(shapes))])).markdown(headings=False)
    assert top_lists(md) == lists
    assert not re.search(r"^ *\d{10}", md, re.M) and not re.search(r"^ *0[.)]", md, re.M)


def test_a_diagram_between_boxes_is_a_list_of_its_own():
    dm = diagram_data_part([("1", "Plan", None), ("2", "Do", None)])
    shapes = (box(2, para("a", ppr=BULLET)) + diagram_frame(3, "D", "rIdD")
              + box(4, para("b", ppr=BULLET), para("c", ppr=BULLET)))
    s = Slide(shapes, rels=[("rIdD", "diagramData", "../diagrams/data1.xml")],
              parts={"ppt/diagrams/data1.xml": dm})
    md = vantrell.Document(data=make([s])).markdown(headings=False)
    assert top_lists(md) == [("b", [None]), ("b", B), ("b", B)]


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
