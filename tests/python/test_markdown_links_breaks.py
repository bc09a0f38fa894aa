"""Links in table cells, line breaks, and page numbers on notes pages, checked
by parsing the Markdown with markdown-it-py."""
import pytest

import vantrell
from slidedeck import DECL, GROUP_HEAD, NS, Slide, cell, grp, make, para, sp, table

markdown_it = pytest.importorskip("markdown_it")
PARSER = markdown_it.MarkdownIt("commonmark").enable("table")

BR = "<a:br/>"
SITE = "https://example.com/x"


def link(text, rid="rIdW"):
    return f'<a:r><a:rPr lang="en-US"><a:hlinkClick r:id="{rid}"/></a:rPr><a:t>{text}</a:t></a:r>'


def field(text, kind="slidenum"):
    return f'<a:fld id="{{B6F15528-21DE-4FAA-801E-634DDDAF4B2B}}" type="{kind}"><a:t>{text}</a:t></a:fld>'


def inlines(md):
    """The inline children of every block, as (type, content) pairs."""
    return [[(c.type, c.attrs.get("href") or c.content) for c in t.children]
            for t in PARSER.parse(md) if t.type == "inline"]


def blocks(md):
    return [t.type.removesuffix("_open") for t in PARSER.parse(md) if t.nesting == 1]


def test_links_in_table_cells_are_links_and_rows_stay_whole():
    rows = [(1, [cell(para("Name")), cell(para("Site"))]),
            (1, [cell(para("a|b")), cell(para("see ", link("the | docs"), " now"))]),
            (1, [cell(para(link("pipe", "rIdP"))), cell(para(link("slide two", "rIdJ")))]),
            (1, [cell(para("  ", link(" padded "), " ")), cell(para(link("two"), BR, link("lines")))])]
    s = Slide(table(2, "T", [1, 1], rows), rels=[
        ("rIdW", "hyperlink", SITE, "External"),
        ("rIdP", "hyperlink", "https://example.com/a|b?q=1", "External"),
        ("rIdJ", "slide", "slide2.xml")])
    md = vantrell.Document(data=make([s])).markdown(headings=False)
    cells = inlines(md)
    assert len(cells) == 8 and blocks(md).count("td") == 6
    assert cells[2] == [("text", "a|b")]
    assert cells[3] == [("text", "see "), ("link_open", SITE), ("text", "the | docs"), ("link_close", ""),
                        ("text", " now")]
    assert cells[4] == [("link_open", "https://example.com/a%7Cb?q=1"), ("text", "pipe"), ("link_close", "")]
    assert cells[5] == [("text", "slide two")]  # a jump inside the deck stays text
    assert cells[6] == [("link_open", SITE), ("text", "padded"), ("link_close", "")]
    assert [c for c in cells[7] if c[0] != "link_close"] == [
        ("link_open", SITE), ("text", "two"), ("html_inline", "<br>"), ("link_open", SITE), ("text", "lines")]


def body_md(*paras, **kw):
    s = Slide(sp(2, "Box", *paras, **kw), rels=[("rIdW", "hyperlink", SITE, "External")])
    return vantrell.Document(data=make([s])).markdown(headings=False)


@pytest.mark.parametrize("content, lines", [
    (("Automatic Verification", BR, "Fluctuat [SAS'13]"), ["Automatic Verification", "Fluctuat [SAS'13]"]),
    # Breaks at either end or side by side leave no empty line.
    ((BR, "a", BR, BR, " ", BR, "b", BR), ["a", "b"]),
    (("C:\\dir\\", BR, "next\\"), ["C:\\dir\\", "next\\"]),
    (("x", BR, "- y", BR, "# z", BR, "===", BR, "1. w", BR, "&lt;b&gt;"), ["x", "- y", "# z", "===", "1. w", "<b>"]),
    ((link("site"), BR, link("again")), ["site", "again"]),
])
def test_a_line_break_is_a_hard_break_inside_one_paragraph(content, lines):
    md = body_md(para(*content))
    assert blocks(md) == ["paragraph"]
    [children] = inlines(md)
    assert [c for t, c in children if t == "text"] == lines
    assert [t for t, _ in children].count("hardbreak") == len(lines) - 1
    assert "softbreak" not in [t for t, _ in children]
    assert [c for t, c in children if t == "link_open"] == [SITE] * sum(c.startswith("<a:r>") for c in content)


OTHER = "https://example.com/y"


# Runs side by side that lead to one target, through one relationship or
# several, are one link.
@pytest.mark.parametrize("runs, links", [
    ((link("one"), link("two")), [(SITE, "onetwo")]),
    ((link("one"), link("two", "rIdV")), [(SITE, "onetwo")]),
    ((link("one", "rIdV"), link("two"), link("three", "rIdX")), [(SITE, "onetwo"), (OTHER, "three")]),
    ((link("one", "rIdV"), " ", link("two", "rIdV")), [(SITE, "one"), (SITE, "two")]),
])
def test_neighbouring_runs_of_one_target_are_one_link(runs, links):
    s = Slide(sp(2, "Box", para(*runs)), rels=[("rIdW", "hyperlink", SITE, "External"),
                                              ("rIdV", "hyperlink", "  " + SITE + " ", "External"),
                                              ("rIdX", "hyperlink", OTHER, "External")])
    [children] = inlines(vantrell.Document(data=make([s])).markdown(headings=False))
    shown, href = [], None
    for t, c in children:
        if t == "link_open":
            href = c
            shown.append([c, ""])
        elif t == "text" and href:
            shown[-1][1] += c
        elif t == "link_close":
            href = None
    assert [tuple(x) for x in shown] == links


def test_list_items_keep_their_lines_and_their_nesting():
    def ppr(lvl, kind='<a:buChar char="*"/>'):
        return f'<a:pPr lvl="{lvl}">{kind}</a:pPr>'
    number = '<a:buAutoNum type="arabicPeriod" startAt="10"/>'
    md = body_md(para("one", BR, "- more", ppr=ppr(0)),
                 para("deep", BR, "1. still deep", ppr=ppr(1)),
                 para("ten", BR, "wide", ppr=ppr(0, number)),
                 para("eleven", ppr=ppr(0, number)),
                 para("back", BR, BR, "out", ppr=ppr(0)), ph='idx="1"')
    items, depth = [], 0
    for tok in PARSER.parse(md):
        depth += tok.type.endswith("list_open") - tok.type.endswith("list_close")
        if tok.type == "inline":
            items.append((depth, [c.content for c in tok.children if c.type == "text"],
                          sum(c.type == "hardbreak" for c in tok.children)))
    assert items == [(1, ["one", "- more"], 1), (2, ["deep", "1. still deep"], 1), (1, ["ten", "wide"], 1),
                     (1, ["eleven"], 0), (1, ["back", "out"], 1)]


def notes_page(*shapes):
    return (DECL + f'<p:notes {NS}><p:cSld><p:spTree>{GROUP_HEAD}'
            + sp(2, "Slide Image", ph='type="sldImg"', text=False) + "".join(shapes)
            + "</p:spTree></p:cSld></p:notes>").encode()


def deck_with_notes(*shapes, comment=None):
    """A slide titled "Hi" with a notes page of the given shapes and, given
    its text, one comment by Ann."""
    rels = [("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml")]
    parts = {"ppt/notesSlides/notesSlide1.xml": notes_page(*shapes)}
    pres_rels = []
    if comment is not None:
        rels.append(("rIdC", "comments", "../comments/comment1.xml"))
        parts["ppt/comments/comment1.xml"] = (DECL + f'<p:cmLst {NS}><p:cm authorId="0" idx="1"><p:text>{comment}'
                                              '</p:text></p:cm></p:cmLst>').encode()
        parts["ppt/commentAuthors.xml"] = (DECL + f'<p:cmAuthorLst {NS}><p:cmAuthor id="0" name="Ann" initials="A" '
                                           'lastIdx="1" clrIdx="0"/></p:cmAuthorLst>').encode()
        pres_rels.append(("rIdA", "commentAuthors", "commentAuthors.xml"))
    s = Slide(sp(2, "Title", para("Hi"), ph='type="title"'), rels=rels, parts=parts)
    return vantrell.Document(data=make([s], pres_rels=pres_rels))


def test_notes_and_comments_quote_breaks_as_hard_breaks():
    d = deck_with_notes(sp(3, "Notes", para("Say", BR, "- hello"), para("Then go"), ph='type="body" idx="1"'),
                        comment="line one\n- line two")
    md = d.markdown(notes=True, comments=True)
    assert blocks(md) == ["heading", "blockquote", "paragraph", "paragraph", "blockquote", "paragraph"]
    texts = [[(t, c) for t, c in i if t != "softbreak"] for i in inlines(md)[1:]]
    assert texts == [[("text", "Notes: Say"), ("hardbreak", ""), ("text", "- hello")], [("text", "Then go")],
                     [("text", "Comment from Ann: line one"), ("hardbreak", ""), ("text", "- line two")]]
    assert d.slide(0).notes() == "Say\n- hello\nThen go"


# A text box's paragraphs, and the notes they give (None: page furniture).
PAGE_NUMBERS = [
    ([para(field("6"))], None),
    ([para(" ", field("6"), BR, "\u00a0"), para(), para(field("7"))], None),
    ([para("Page ", field("6"))], "Page 6"),
]


@pytest.mark.parametrize("paras, kept", PAGE_NUMBERS)
@pytest.mark.parametrize("with_body", [True, False])
def test_a_page_number_on_a_notes_page_is_not_notes(paras, kept, with_body):
    body = sp(3, "Notes", para("Speak up"), ph='type="body" idx="1"') if with_body else ""
    # A text box in a group, not the slide-number placeholder.
    d = deck_with_notes(body, grp(9, "G", sp(4, "Slide Number 3", *paras)))
    want = "\n".join(["Speak up"] * with_body + [kept] * (kept is not None))
    assert d.slide(0).notes() == want
    assert d.text(notes=True) == "Hi" + ("\nNotes: " + want if want else "")
    assert d.markdown(notes=True) == "# Hi" + ("\n\n> Notes: " + want.replace("\n", "\n>\n> ") if want else "") + "\n"


def test_corpus_notes_pages_of_page_numbers_alone(corpus):
    path = corpus / "poi--slideshow_aascu.org_workarea_downloadasset.aspx_id=5864.pptx"
    if not path.exists():
        pytest.skip("deck not in the corpus")
    d = vantrell.Document(path)
    assert [d.slide(i).notes() for i in (5, 9, 10)] == ["", "", ""]
    assert "Notes:" not in d.text(notes=True)
    assert "> Notes:" not in d.markdown(notes=True)
