"""Decks that name one part many times, and decks that repeat content.

Every slide shows what its own relationships name: a notes page, chart,
diagram or comments part that several slides name shows on each of them. A
pass reads and renders such a part once; its later showings, and a legacy
master's furniture copied onto every slide, are repeats, and what repeats add
to one pass is bounded by an allowance (16 MiB, or the file's size when that
is larger): past it they are left out and the report says so. A slide the
slide list names again is one slide, and a part several frames of one slide
name shows at the first of them, so a small file cannot make a huge text."""
import copy
import io
import json
import re
import struct
import subprocess
import sys
import zipfile

import pytest

import vantrell
import deckkit
from deckkit import DECL, NS
from slidedeck import (C, GROUP_HEAD, PNG, Slide, cell, chart_frame, chart_part, diagram_data_part, diagram_frame,
                       frame, make, notes_part, ole_frame, para, pic, run, sp, table)
from test_legacy import box, compound, rec, shape, text_box

N = 40

CHART = ("rIdC", "chart", "../charts/chart1.xml")
DIAGRAM = ("rIdD", "diagramData", "../diagrams/data1.xml")
NOTES = ("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml")
COMMENTS = ("rIdM", "comments", "../comments/comment1.xml")
PARTS = {
    "ppt/charts/chart1.xml": chart_part("Revenue", (("East", ["Q1"], ["7"]),)),
    "ppt/diagrams/data1.xml": diagram_data_part([("1", "Cycle", None)]),
    "ppt/notesSlides/notesSlide1.xml": notes_part("Speak slowly"),
    "ppt/comments/comment1.xml": (DECL + f'<p:cmLst {NS}><p:cm authorId="0" idx="1"><p:text>Check this'
                                  '</p:text></p:cm></p:cmLst>').encode(),
}


def titled(text, shapes="", rels=()):
    return Slide(sp(2, "Title", para(text), ph='type="title"') + shapes, rels=list(rels), parts=dict(PARTS))


def slide_listed_many_times():
    # Slide 1 is listed N times among slides 2 and 3, under new ids and
    # relationships each time.
    ids = ['<p:sldId id="256" r:id="rIdS1"/>', '<p:sldId id="257" r:id="rIdS2"/>']
    ids += [f'<p:sldId id="{300 + k}" r:id="rIdX{k}"/>' for k in range(N)]
    ids.append('<p:sldId id="258" r:id="rIdS3"/>')
    return make([titled("Alpha"), titled("Beta"), titled("Gamma")], sld_ids="".join(ids),
                pres_rels=[(f"rIdX{k}", "slide", "slides/slide1.xml") for k in range(N)])


def slides_naming(rel, shapes=""):
    return make([titled(f"Slide {k}", shapes, [rel]) for k in range(N)])


def frames_on_one_slide(frame):
    return make([titled("Only", "".join(frame(10 + k) for k in range(N)), [CHART, DIAGRAM])])


def relationships_of_one_slide():
    # Each frame has a relationship of its own, the names differing in case.
    rels = [(f"rIdC{k}", "chart", f"../charts/{'CHART1' if k % 2 else 'chart1'}.xml") for k in range(N)]
    return make([titled("Only", "".join(chart_frame(10 + k, "C", f"rIdC{k}") for k in range(N)), rels)])


def legacy_deck(listing, notes_of, slide_more="", notes_more="", outline="", refs=0):
    """A legacy deck of len(notes_of) slide records, slide k showing "Slide
    k" and naming notes id notes_of[k] (0 for none), listed in the order
    `listing` gives (slide indexes, repeats allowed; one past the records
    names no record), and one notes record of id 1 showing "Speak slowly";
    the `more` texts follow them. With `outline`, every listing stores that
    body text, to which `refs` shapes of each slide refer."""
    count = len(notes_of)

    def drawing(*shapes):
        patriarch = shape(1024, 0x005, 0, rec(0xF009, bytes(16), 0, 1))
        return box(0x040C, box(0xF002, rec(0xF008, struct.pack("<II", 2, 0), 1), box(0xF003, patriarch, *shapes)))

    ref = shape(1026, 0xA00, 1, box(0xF00D, rec(0x0F9E, struct.pack("<i", 0))))
    slides = [box(0x03EE, rec(0x03EF, struct.pack("<6I", 16, 0, 0, 0x80000000, notes_of[k], 0), 0, 2),
                  drawing(text_box(1025, f"Slide {k}{slide_more}"), *[ref] * refs)) for k in range(count)]
    notes = box(0x03F0, rec(0x03F1, struct.pack("<IHH", 256, 0, 0), 0, 1),
                drawing(text_box(1025, "Speak slowly" + notes_more)))
    notes_id = count + 2  # persist ids: 1 the document, 2.. the slides, then the notes
    stored = [rec(0x0F9F, struct.pack("<I", 1)), rec(0x0FA0, outline.encode("utf-16-le"))] if outline else []
    document_atom = rec(0x03E9, struct.pack("<8iHH4x", 5760, 4320, 4320, 5760, 1, 2, 0, 0, 1, 0), 0, 1)
    doc = box(0x03E8, document_atom,
              box(0x0FF0, *[r for i, k in enumerate(listing)
                            for r in (rec(0x03F3, struct.pack("<5I", 2 + (k if k < count else count + 1), 0, 0,
                                                              256 + i, 0)), *stored)]),
              box(0x0FF0, rec(0x03F3, struct.pack("<5I", notes_id, 0, 0, 1, 0)), instance=2),
              rec(0x03EA, b""))
    offsets, stream = [0], bytearray(doc)
    for record in slides + [notes]:
        offsets.append(len(stream))
        stream += record
    dir_at = len(stream)
    stream += rec(0x1772, struct.pack(f"<{len(offsets) + 1}I", 1 | (len(offsets) << 20), *offsets))
    edit_at = len(stream)
    stream += rec(0x0FF5, struct.pack("<6IHH", 0, 0x03001599, 0, dir_at, 1, notes_id + 1, 1, 0))
    user = rec(0x0FF6, struct.pack("<3IHHBBHI", 0x14, 0xE391C05F, edit_at, 0, 0x03F4, 3, 0, 0, 8))
    return compound({"Current User": user, "PowerPoint Document": bytes(stream)})


def duplicated(hidden=False):
    """A python-pptx deck whose slide 2 is a copy of slide 1 made the usual
    way: its frames copied, and related to slide 1's chart and notes parts.
    With `hidden`, slide 1 is hidden."""
    pptx = pytest.importorskip("pptx")
    from pptx.chart.data import CategoryChartData
    from pptx.enum.chart import XL_CHART_TYPE
    from pptx.opc.constants import RELATIONSHIP_TYPE as RT
    from pptx.oxml.ns import qn
    from pptx.util import Inches

    prs = pptx.Presentation()
    original = prs.slides.add_slide(prs.slide_layouts[5])
    original.shapes.title.text = "Original"
    data = CategoryChartData()
    data.categories = ["East", "West"]
    data.add_series("Sales", (1, 2))
    original.shapes.add_chart(XL_CHART_TYPE.COLUMN_CLUSTERED, Inches(1), Inches(1), Inches(4), Inches(3), data)
    original.notes_slide.notes_text_frame.text = "Speak slowly"
    duplicate = prs.slides.add_slide(prs.slide_layouts[5])
    frame = copy.deepcopy(original.shapes[1].element)
    duplicate.shapes._spTree.insert_element_before(frame, "p:extLst")
    chart_rid = duplicate.part.relate_to(original.shapes[1].chart_part, RT.CHART)
    frame.xpath(".//c:chart")[0].set(qn("r:id"), chart_rid)
    duplicate.part.relate_to(original.notes_slide.part, RT.NOTES_SLIDE)
    if hidden:
        original._element.set("show", "0")
    out = io.BytesIO()
    prs.save(out)
    return out.getvalue()


HF_DATE, HF_USER_DATE, HF_NUMBER, HF_FOOTER = 0x01, 0x04, 0x08, 0x20
FOOTER_FIELD = 0x0FFA


def placeholder_shape(spid, placement, text, fields=()):
    """A master's date (placement 7), slide-number (8) or footer (9)
    placeholder holding `text`, with field atoms as (type, position)."""
    atoms = [rec(kind, struct.pack("<I", at)) for kind, at in fields]
    return shape(spid, 0xA00, 202, box(0xF011, rec(0x0BC3, struct.pack("<iBBBB", -1, placement, 0, 0, 0))),
                 box(0xF00D, rec(0x0F9F, struct.pack("<I", 4)), rec(0x0FA0, text.encode("utf-16-le")), *atoms))


def furniture_deck(count, shapes, flags, footer="", date=""):
    """A legacy deck of `count` empty slides following one master, whose
    drawing holds `shapes`, under the deck's header and footer settings
    `flags` with their footer and date texts."""
    patriarch = shape(1024, 0x005, 0, rec(0xF009, bytes(16), 0, 1))
    drawing = box(0x040C, box(0xF002, rec(0xF008, struct.pack("<II", 2, 0), 1), box(0xF003, patriarch, *shapes)))
    texts = [rec(0x0FBA, t.encode("utf-16-le"), i) for i, t in ((0, date), (2, footer)) if t]
    document_atom = rec(0x03E9, struct.pack("<8iHH4x", 5760, 4320, 4320, 5760, 1, 2, 0, 0, 1, 0), 0, 1)
    # Persist ids: 1 the document, 2 the master, 3.. the slides.
    doc = box(0x03E8, document_atom, box(0x0FD9, rec(0x0FDA, struct.pack("<HH", 0, flags)), *texts, instance=3),
              box(0x0FF0, rec(0x03F3, struct.pack("<5I", 2, 0, 0, 0x80000000, 0)), instance=1),
              box(0x0FF0, *[rec(0x03F3, struct.pack("<5I", 3 + k, 0, 0, 256 + k, 0)) for k in range(count)]),
              rec(0x03EA, b""))
    slide = box(0x03EE, rec(0x03EF, struct.pack("<6I", 16, 0, 0, 0x80000000, 0, 0), 0, 2))
    offsets, stream = [0, len(doc)], bytearray(doc + box(0x03F8, drawing))
    for _ in range(count):
        offsets.append(len(stream))
        stream += slide
    dir_at = len(stream)
    # A directory entry counts at most 4,095 offsets.
    runs = [offsets[k:k + 4095] for k in range(0, len(offsets), 4095)]
    stream += rec(0x1772, b"".join(struct.pack(f"<I{len(run)}I", (1 + 4095 * k) | (len(run) << 20), *run)
                                   for k, run in enumerate(runs)))
    edit_at = len(stream)
    stream += rec(0x0FF5, struct.pack("<6IHH", 0, 0x03001599, 0, dir_at, 1, len(offsets) + 1, 1, 0))
    user = rec(0x0FF6, struct.pack("<3IHHBBHI", 0x14, 0xE391C05F, edit_at, 0, 0x03F4, 3, 0, 0, 8))
    return compound({"Current User": user, "PowerPoint Document": bytes(stream)})


def footer_at_fields(count=700, fields=280, footer="F" + "\u20ac" * 1023):
    # The deck's 1,024-character footer at every field of the master's footer.
    shape = placeholder_shape(3, 0x09, "*" * fields, [(FOOTER_FIELD, k) for k in range(fields)])
    return furniture_deck(count, [shape], HF_FOOTER, footer=footer)


def big_notes():
    # About 1 MiB of notes, named by every slide.
    return make([titled(f"Slide {k}", "", [NOTES]) for k in range(N)],
                extra={"ppt/notesSlides/notesSlide1.xml": notes_part("speak slowly " * 80000)})


def deep_diagram():
    # 2,000 items of 100 characters at the foot of a 255-deep outline, named
    # by 100 slides: as a Markdown list its indents outweigh its text.
    items = [(f"n{k}", "x", f"n{k - 1}" if k else None) for k in range(255)]
    items += [(f"i{k}", "y" * 100, "n254") for k in range(2000)]
    return make([titled(f"Slide {k}", diagram_frame(5, "Smart", "rIdD"), [DIAGRAM]) for k in range(100)],
                extra={"ppt/diagrams/data1.xml": diagram_data_part(items)})


def first_half():
    # The slide parts come last in the archive, and are cut off.
    data = make([Slide(sp(2, "Title", para(f"Slide {k} " + "words " * 200), ph='type="title"')) for k in range(2)])
    return data[:len(data) // 2]


# (deck, text options, Markdown options, what is shown once)
ONCE = {
    "slide listed many times": (slide_listed_many_times, {}, {}, "Alpha"),
    "chart part named by many frames": (lambda: frames_on_one_slide(lambda sid: chart_frame(sid, "C", "rIdC")), {},
                                        {}, "Revenue"),
    "chart part named by many relationships of one slide": (relationships_of_one_slide, {}, {}, "Revenue"),
    "diagram part named by many frames": (lambda: frames_on_one_slide(lambda sid: diagram_frame(sid, "D", "rIdD")),
                                          {}, {}, "Cycle"),
    "legacy slide record listed many times": (lambda: legacy_deck([0] * N + [1, 0], [0, 0]), {}, {}, "Slide 0"),
    "legacy notes record shared by many slides": (lambda: legacy_deck(range(N), [1] * N), {"notes": True},
                                                  {"notes": True}, "Speak slowly"),
    "legacy outline text named by many shapes": (lambda: legacy_deck([0], [0], outline="Outlined", refs=N), {}, {},
                                                 "Outlined"),
}


@pytest.mark.parametrize("case", ONCE)
def test_a_slide_listed_again_or_a_part_of_many_frames_shows_once(case):
    build, text_options, md_options, shown = ONCE[case]
    for threads in (1, 4):
        doc = vantrell.Document(data=build(), threads=threads)
        assert doc.text(**text_options).count(shown) == 1
        assert doc.markdown(**md_options).count(shown) == 1
        assert shown in doc.slide_texts(**text_options)[0]
        assert shown in doc.markdown(indexes=[0], **md_options)
    # Later slides' own renderings do not show it again either, nor do the
    # shapes.
    assert all(shown not in doc[k].markdown(**md_options) for k in range(1, len(doc)))
    assert sum((s.text or "").count(shown) for slide in doc.slides() for s in slide.shapes()) <= 1


EAST = "| East | 1 |"  # the python-pptx chart's first row, in Markdown
CHART_TEXT = "Sales\nEast: 1\nWest: 2"


def extracted(doc, **options):
    text, report = doc.extract(**options)
    return text, report.warnings, report.is_complete


# (deck, what a probe of it gives): the same with one worker and with four.
SHARED = {
    "a copy picked by indexes": (
        duplicated, lambda d: (d.markdown(indexes=[1]).count(EAST), extracted(d, indexes=[1], notes=True)),
        (1, (CHART_TEXT + "\nNotes: Speak slowly", [], True))),
    "the copy's own services": (
        duplicated, lambda d: (d[1].markdown().count(EAST), d[1].notes(), d[1].notes_part(),
                               [c.kinds for c in d[1].charts()]),
        (1, "Speak slowly", "/ppt/notesSlides/notesSlide1.xml", [["bar"]])),
    "both slides of the deck": (
        duplicated, lambda d: (d.markdown(notes=True).count(EAST), d.text(notes=True).count("Speak slowly")), (2, 2)),
    "the original hidden and left out": (
        lambda: duplicated(hidden=True),
        lambda d: (d.markdown(hidden_slides=False).count(EAST), extracted(d, hidden_slides=False)),
        (1, (CHART_TEXT, [], True))),
    "notes part named by many slides": (
        lambda: slides_naming(NOTES),
        lambda d: (d.text(notes=True).count("Speak slowly"), d.markdown(notes=True).count("Speak slowly")), (N, N)),
    "chart part named by many slides": (
        lambda: slides_naming(CHART, chart_frame(5, "Chart", "rIdC")),
        lambda d: (d.text().count("Revenue"), d.markdown().count("Revenue")), (N, N)),
    "diagram part named by many slides": (
        lambda: slides_naming(DIAGRAM, diagram_frame(5, "Smart", "rIdD")),
        lambda d: (d.text().count("Cycle"), d.markdown().count("Cycle")), (N, N)),
    "comments part named by many slides": (
        lambda: slides_naming(COMMENTS),
        lambda d: (d.text(comments=True).count("Check this"), d.markdown(comments=True).count("Check this")), (N, N)),
    # slides() copies master furniture within the allowance, as a pass shows
    # it (19 copies of 280 footers fit); a slide read alone holds its own.
    "legacy master footer copied by slides()": (
        lambda: footer_at_fields(count=100),
        lambda d: (sum(1 for s in d.slides() if s.shapes()), d[99].shapes()[0].text.count("F\u20ac")), (19, 280)),
    "ordinary: a legacy footer on each of 2,000 slides": (
        lambda: furniture_deck(2000, [placeholder_shape(3, 0x09, "*", [(FOOTER_FIELD, 0)])], HF_FOOTER,
                               footer="Confidential"),
        lambda d: sum(x.text == "Confidential" for s in d.slides() for x in s.shapes()), 2000),
}


@pytest.mark.parametrize("case", SHARED)
def test_a_shared_part_shows_on_every_slide_that_names_it(case):
    build, probe, want = SHARED[case]
    data = build()
    for threads in (1, 4):
        assert probe(vantrell.Document(data=data, threads=threads)) == want


LEFT_OUT = " left out on {} slide(s): repeated content past the allowance of 16 MiB"
DROPPED = "{} listed slide(s) dropped: no readable part"
NOT_A_SLIDE = "/ppt/{} is not a slide: its root element is not p:sld"
ALLOWANCE = 16 << 20
DISTINCT = 2 << 20  # what these decks show once, at most

# (deck, extraction options, its warning lines, (what shows, how often)[,
# the same in Markdown when it differs]). Every repeat of these is the same
# size, so that as many fit the allowance with any number of workers.
REPEATS = {
    "1 MiB notes part named by 40 slides": (big_notes, {"notes": True}, ["notes" + LEFT_OUT.format(23)],
                                            ("Notes: speak", 17)),
    "legacy 1,024-character footer at 280 fields on 700 slides": (
        footer_at_fields, {"furniture": True}, ["master furniture" + LEFT_OUT.format(681)], ("F\u20ac", 280 * 19)),
    "the same without furniture": (footer_at_fields, {}, [], ("F\u20ac", 0)),
    "the same with a footer of 1,024 '*', which Markdown escapes": (
        lambda: footer_at_fields(footer="*" * 1024), {"furniture": True}, ["master furniture" + LEFT_OUT.format(642)],
        ("*" * 1024, 280 * 58), ("\\*" * 1024, 280 * 29)),
    "deep diagram named by 100 slides": (deep_diagram, {}, ["diagram" + LEFT_OUT.format(17)], ("Slide", 100)),
    "ordinary: a legacy footer on each of 2,000 slides": (
        lambda: furniture_deck(2000, [placeholder_shape(3, 0x09, "*", [(FOOTER_FIELD, 0)])], HF_FOOTER,
                               footer="Confidential"), {"furniture": True}, [], ("Confidential", 2000)),
    "a listed slide part missing": (lambda: make([titled(f"Slide {k}") for k in range(3)],
                                                 remove=["ppt/slides/slide2.xml"]), {}, [DROPPED.format(1)],
                                    ("Slide", 2)),
    "the same, slides picked by indexes": (lambda: make([titled(f"Slide {k}") for k in range(3)],
                                                        remove=["ppt/slides/slide2.xml"]), {"indexes": [0, 1]}, [],
                                           ("Slide", 2)),
    "the first half of a downloaded deck": (first_half, {}, [DROPPED.format(2)], ("Slide", 0)),
    "a slide entry without r:id": (lambda: make([titled(f"Slide {k}") for k in range(2)], sld_ids=(
        '<p:sldId id="256" r:id="rIdS1"/><p:sldId id="257"/><p:sldId id="258" r:id="rIdS2"/>')), {},
                                   [DROPPED.format(1)], ("Slide", 2)),
    "a listed part that is a notes page": (lambda: make([titled("Slide 0"), Slide(xml=notes_part("Slide 1"))]), {},
                                           ["slide 2: unreadable: " + NOT_A_SLIDE.format("slides/slide2.xml")],
                                           ("Slide", 1)),
    "a slide relationship leading to a layout": (lambda: make([titled("Slide 0")], sld_ids=(
        '<p:sldId id="256" r:id="rIdS1"/><p:sldId id="257" r:id="rIdX"/>'), pres_rels=[
        ("rIdX", "slide", "slideLayouts/slideLayout1.xml")]), {},
        ["slide 2: unreadable: " + NOT_A_SLIDE.format("slideLayouts/slideLayout1.xml")], ("Slide", 1)),
    "legacy: a slide entry whose record cannot be found": (lambda: legacy_deck([0, 2, 1], [0, 0]), {},
                                                           [DROPPED.format(1)], ("Slide", 2), ("Slide", 4)),
}


@pytest.mark.parametrize("case", REPEATS)
def test_what_a_pass_leaves_out_is_reported(case):
    build, options, warnings, (shown, count), *escaped = REPEATS[case]
    md_shown, md_count = escaped[0] if escaped else (shown, count)
    data = build()
    for threads in (1, 4):
        doc = vantrell.Document(data=data, threads=threads)
        text, report = doc.extract(**options)
        assert (report.warnings, report.is_complete, text.count(shown)) == (warnings, not warnings, count)
        assert len(text.encode()) <= ALLOWANCE + DISTINCT
        if "indexes" not in options:
            assert doc.text_reporting(**options)[1] == warnings
        markdown = doc.markdown(**options)
        assert (markdown.count(md_shown), len(markdown.encode()) <= ALLOWANCE + DISTINCT) == (md_count, True)


def test_the_slide_list_keeps_each_slide_at_its_first_entry():
    doc = vantrell.Document(data=slide_listed_many_times())
    assert doc.titles() == ["Alpha", "Beta", "Gamma"]
    assert [s.part for s in doc] == [f"/ppt/slides/slide{k}.xml" for k in (1, 2, 3)]
    # The list as written stays readable; a repeat is no unresolved entry.
    assert len(doc.presentation().slides) == N + 3
    assert doc.defects.unresolved_slides == []
    legacy = vantrell.Document(data=legacy_deck([1] + [0] * N + [1], [0, 0]))
    assert legacy.slide_texts() == ["Slide 1", "Slide 0"]


# (deck, what slides 0 and 1 give)
ACCESSORS = {
    # Each slide's own relationships answer; a legacy notes record is the
    # first slide's that names it.
    "notes": (lambda: slides_naming(NOTES), lambda s: s.notes(), ("Speak slowly", "Speak slowly")),
    "notes part": (lambda: slides_naming(NOTES), lambda s: s.notes_part(),
                   ("/ppt/notesSlides/notesSlide1.xml", "/ppt/notesSlides/notesSlide1.xml")),
    "legacy notes": (lambda: legacy_deck(range(3), [1] * 3), lambda s: s.notes(), ("Speak slowly", None)),
    # A slide's own listings show what it names, each part once.
    "charts": (lambda: slides_naming(CHART, chart_frame(5, "Chart", "rIdC") * 3),
               lambda s: [(c.shape_id, c.title) for c in s.charts()], ([(5, "Revenue")], [(5, "Revenue")])),
    "diagrams by many frames": (lambda: frames_on_one_slide(lambda sid: diagram_frame(sid, "D", "rIdD")),
                                lambda s: [d.shape_id for d in s.diagrams()], ([10], None)),
    "comments": (lambda: slides_naming(COMMENTS), lambda s: [c.text for c in s.comments()],
                 (["Check this"], ["Check this"])),
}


@pytest.mark.parametrize("case", ACCESSORS)
def test_slide_accessors_of_a_shared_part(case):
    build, ask, want = ACCESSORS[case]
    doc = vantrell.Document(data=build())
    assert ask(doc[0]) == want[0]
    if want[1] is not None or len(doc) > 1:
        assert ask(doc[1]) == want[1]


# ------------------------------------------- values stored once, shown often

LONG = 1 << 20


def long_texts(length):
    """An author's name and initials, a content type and a target."""
    return "N" * length, "I" * length, "image/" + "t" * length, "http://x/" + "u" * length


NAME, INITIALS, TYPE, TARGET = long_texts(LONG)


def shown_often(count=N, length=LONG):
    """One slide whose `count` comments name one author, whose pictures and
    embedded objects (`count` each) are parts of one extension each (a long
    Default type), and whose linked pictures and linked objects (`count`
    each) name one relationship each (a long target, external or internal)."""
    name, initials, type_, target = long_texts(length)
    shapes = "".join(pic(10 + 5 * k, "P", embed=f"rIdP{k}") + pic(11 + 5 * k, "L", link="rIdX")
                     + pic(12 + 5 * k, "I", embed="rIdI") + ole_frame(13 + 5 * k, "O", f"rIdO{k}")
                     + ole_frame(14 + 5 * k, "E", "rIdE") for k in range(count))
    rels = [COMMENTS, ("rIdX", "image", target, "External"), ("rIdI", "image", "../media/" + "i" * length + ".png"),
            ("rIdE", "oleObject", target, "External")]
    rels += [(f"rIdP{k}", "image", f"../media/image{k}.png") for k in range(count)]
    rels += [(f"rIdO{k}", "oleObject", f"../embeddings/object{k}.bin") for k in range(count)]
    parts = {f"ppt/media/image{k}.png": PNG for k in range(count)}
    parts.update({f"ppt/embeddings/object{k}.bin": b"\xd0\xcf" for k in range(count)})
    parts["ppt/comments/comment1.xml"] = (DECL + f'<p:cmLst {NS}>' + '<p:cm authorId="0" idx="1"><p:text>Hm</p:text>'
                                          '</p:cm>' * count + '</p:cmLst>').encode()
    parts["ppt/commentAuthors.xml"] = (DECL + f'<p:cmAuthorLst {NS}><p:cmAuthor id="0" name="{name}" '
                                       f'initials="{initials}" lastIdx="1" clrIdx="0"/></p:cmAuthorLst>').encode()
    parts["[Content_Types].xml"] = deckkit.content_types(
        defaults=[("rels", deckkit.RELS_CT), ("xml", "application/xml"), ("png", type_), ("bin", type_)])
    return make([Slide(shapes, rels=rels)], pres_rels=[("rIdA", "commentAuthors", "commentAuthors.xml")],
                extra=parts)


def derivable_many_times(count=N, length=LONG):
    """A deck with parts /a, /a/a, ... (`count` of them, each derivable
    from those before it) and, listed first, one part of a long name below
    them all, derivable from each."""
    bases = ["/".join(["a"] * (k + 1)) for k in range(count)]
    return make([Slide()], extra={name: b"" for name in [derived_name(count, length)[1:]] + bases})


def derived_name(count, length):
    return "/" + "/".join(["a"] * count) + "/" + "z" * min(length, 60000)  # a ZIP name holds 64 KiB


def folder(length):
    return "/ppt/slides/" + "d" * min(length, 60000)


def in_long_folder(shapes, rels, parts=None, length=LONG):
    """One slide whose part lies in a folder of a long name, so that its
    relationships' short targets resolve to long part names."""
    name = folder(length)[1:] + "/s.xml"
    extra = {name: (DECL + f'<p:sld {NS}><p:cSld><p:spTree>{GROUP_HEAD}{shapes}</p:spTree></p:cSld></p:sld>').encode(),
             folder(length)[1:] + "/_rels/s.xml.rels": deckkit.rels(*rels)}
    extra.update(parts or {})
    return make([], sld_ids='<p:sldId id="256" r:id="rIdF"/>', pres_rels=[("rIdF", "slide", name[4:])], extra=extra)


def one_part_named_often(count=N, length=LONG):
    """`count` pictures naming one part of the slide's long folder, each
    through a relationship of its own."""
    return in_long_folder("".join(pic(10 + k, "P", embed=f"rIdP{k}") for k in range(count)),
                          [(f"rIdP{k}", "image", "a.png") for k in range(count)],
                          {folder(length)[1:] + "/a.png": PNG}, length)


# The peak resident size a probe of the deck adds, and what it shows: how
# many objects, how many distinct str objects, and what the first reads as.
def legacy_program_id(count, chars=128 << 10):
    """A legacy slide of `count` OLE frames referring to one object-list
    entry whose program id is `chars` UTF-16 characters."""
    objects = box(0x0409, box(0x0FCC, rec(0x0FC3, struct.pack("<4I", 0, 0, 7, 0)),
                              rec(0x0FBA, ("P" * chars).encode("utf-16-le"), 2)))
    frames = [shape(1025 + k, 0xA10, 75, rec(0xF010, struct.pack("<4h", 0, 0, 576, 576)),
                    box(0xF011, rec(0x0BC1, struct.pack("<I", 7)))) for k in range(count)]
    return legacy_objects_deck(frames, objects)


def legacy_objects_deck(frames, objects):
    """A one-slide legacy deck whose document holds the object list
    `objects` and whose slide's drawing holds `frames`."""
    patriarch = shape(1024, 0x005, 0, rec(0xF009, bytes(16), 0, 1))
    drawing = box(0x040C, box(0xF002, rec(0xF008, struct.pack("<II", 2, 0), 1), box(0xF003, patriarch, *frames)))
    slide = box(0x03EE, rec(0x03EF, struct.pack("<6I", 16, 0, 0, 0x80000000, 0, 0), 0, 2), drawing)
    document_atom = rec(0x03E9, struct.pack("<8ihH4x", 5760, 4320, 4320, 5760, 1, 2, 0, 0, 1, 0), 0, 1)
    doc = box(0x03E8, document_atom, objects, box(0x0FF0, rec(0x03F3, struct.pack("<5I", 2, 0, 0, 256, 0))),
              rec(0x03EA, b""))
    stream = doc + slide
    dir_at = len(stream)
    stream += rec(0x1772, struct.pack("<3I", 1 | (2 << 20), 0, len(doc)))
    edit_at = len(stream)
    stream += rec(0x0FF5, struct.pack("<6IHH", 0, 0x03001599, 0, dir_at, 1, 2, 1, 0))
    user = rec(0x0FF6, struct.pack("<3IHHBBHI", 0x14, 0xE391C05F, edit_at, 0, 0x03F4, 3, 0, 0, 8))
    return compound({"Current User": user, "PowerPoint Document": bytes(stream)})


SHOWING = r"""
import json, resource, sys
import vantrell
d = vantrell.Document(sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
shown = eval(sys.argv[2])
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
print(json.dumps([len(shown), len({id(s) for s in shown}), shown[0][:12], len(shown[0]), grown]))
"""

# object-API route: (probe of the document d, what every object shows[, the
# deck when not shown_often])
SHOWN_ONCE = {
    "a comment author's name at every comment": ("[c.author for c in d[0].comments()]", NAME),
    "the author's initials at every comment": ("[c.initials for c in d[0].comments()]", INITIALS),
    "a Default content type at every picture": (
        "[i.content_type for i in d[0].images() if i.rel_id.startswith('rIdP')]", TYPE),
    "a Default content type at every embedded object": (
        "[o.content_type for o in d[0].embedded_objects() if o.rel_id != 'rIdE']", TYPE),
    "a linked picture's target at every picture": (
        "[i.external for i in d[0].images() if i.rel_id == 'rIdX']", TARGET),
    "a picture relationship's part at every picture": (
        "[i.part for i in d[0].images() if i.rel_id == 'rIdI']", "/ppt/media/" + "i" * LONG + ".png"),
    "a linked object's target at every object": (
        "[o.external for o in d[0].embedded_objects() if o.rel_id == 'rIdE']", TARGET),
    "a Default content type at every part of the package": (
        "[p.content_type for p in d.package().parts() if p.name.endswith('.png')]", TYPE),
    "a part name at every part it derives from": (
        "[a for a, _ in d.package().defects.derivable if a[-1] == 'z']", derived_name(N, LONG),
        derivable_many_times),
    "a part's name at every relationship that names it": (
        "[i.part for i in d[0].images()]", folder(LONG) + "/a.png", one_part_named_often),
    "a legacy object list's program id at every frame that names its entry": (
        "[o.prog_id for o in d[0].embedded_objects()]", "P" * (LONG // 2), lambda: legacy_program_id(N, LONG // 2)),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="peak resident size in KiB")
@pytest.mark.parametrize("case", SHOWN_ONCE)
def test_a_value_stored_once_is_one_str_wherever_it_shows(tmp_path, case):
    probe, want, *build = SHOWN_ONCE[case]
    path = tmp_path / "deck.pptx"
    path.write_bytes((build or [shown_often])[0]())
    out = subprocess.run([sys.executable, "-c", SHOWING, str(path), probe], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    count, distinct, head, length, grown = json.loads(out.stdout)
    assert (count, distinct, head, length) == (N, 1, want[:12], len(want))
    # A copy per object held 40 MiB, and as many again converted.
    assert grown < 16 * LONG


# Routes by which a few stored bytes come out many times: copies and padding
# a rendering makes count as repeats, warnings count a cause once, and every
# pass is metered, its output bounded by what it read.
FACTOR = 4
BIG = 256 << 10
LINK = ("http://example.com/" + "l" * BIG)[:BIG]
AUTHOR = "n" * BIG


def unpacked(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return sum(i.file_size for i in z.infolist())


def one_slide(shapes, rels=(), **options):
    return make([Slide(shapes, rels=list(rels))], **options)


def merged_rows(rows=80):
    # A 256 KiB cell, then rows whose cell is merged into the one above.
    return one_slide(table(5, "T", [1], [(1, [cell(para("w" * BIG))])] +
                           [(1, [cell(attrs=' vMerge="1"')])] * rows))


def short_rows(width=20000, rows=600):
    return one_slide(table(5, "T", [1], [(1, [cell(para("h"))] + ['<a:tc/>'] * (width - 1))] + [(1, [])] * rows))


def chart_of(series, count=None):
    """A chart part of `series` (lists of values) in numeric caches, saying
    `count` points each when given."""
    def ser(values):
        pts = "".join(f'<c:pt idx="{i}"><c:v>{v}</c:v></c:pt>' for i, v in enumerate(values))
        n = count if count is not None else len(values)
        return (f'<c:ser><c:cat><c:strRef><c:strCache><c:ptCount val="{n}"/></c:strCache></c:strRef></c:cat>'
                f'<c:val><c:numRef><c:numCache><c:ptCount val="{n}"/>{pts}</c:numCache></c:numRef></c:val></c:ser>')
    return (DECL + f'<c:chartSpace xmlns:c="{C}"><c:chart><c:plotArea><c:barChart>{"".join(map(ser, series))}'
            '</c:barChart></c:plotArea></c:chart></c:chartSpace>').encode()


def charts_on_slide(parts):
    rels = [(f"rIdC{k}", "chart", f"../charts/chart{k}.xml") for k in range(len(parts))]
    return make([Slide("".join(chart_frame(10 + k, "C", f"rIdC{k}") for k in range(len(parts))), rels=rels,
                       parts={f"ppt/charts/chart{k}.xml": p for k, p in enumerate(parts)})])


def linked_runs(count=100):
    runs = '<a:r><a:rPr><a:hlinkClick r:id="rIdH"/></a:rPr><a:t>x</a:t></a:r>' + run(" ")
    runs *= count
    return one_slide(sp(5, "Body", f"<a:p>{runs}</a:p>"), [("rIdH", "hyperlink", LINK, "External")])


def linked_pictures(count=100):
    return one_slide("".join(pic(10 + k, "P", link="rIdP", descr="d") for k in range(count)),
                     [("rIdP", "image", LINK, "External")])


def authored_comments(count=100):
    cms = "".join(f'<p:cm authorId="0" idx="{k}"><p:text>said {k}</p:text></p:cm>' for k in range(count))
    authors = (DECL + f'<p:cmAuthorLst {NS}><p:cmAuthor id="0" name="{AUTHOR}" initials="A" lastIdx="1" clrIdx="0"/>'
               '</p:cmAuthorLst>').encode()
    return make([Slide(rels=[COMMENTS], parts={"ppt/comments/comment1.xml":
                                               (DECL + f'<p:cmLst {NS}>{cms}</p:cmLst>').encode()})],
                pres_rels=[("rIdA", "commentAuthors", "commentAuthors.xml")],
                extra={"ppt/commentAuthors.xml": authors})


def missing_target(frames=50, slides=1, name="m" * (64 << 10)):
    shapes = "".join(chart_frame(10 + k, "C", "rIdC") for k in range(frames))
    return make([Slide(shapes, rels=[("rIdC", "chart", f"../charts/{name}.xml")])] * slides)


def missing_in_long_folder(shape, kind, ext, count=300):
    # `count` shapes, each naming a part the package lacks through a
    # relationship of its own, whose short target resolves in the long folder.
    return in_long_folder("".join(shape(10 + k, f"rIdP{k}") for k in range(count)),
                          [(f"rIdP{k}", kind, f"m{k}.{ext}") for k in range(count)])


def stored_messages(lengths):
    # Whole messages up to the allowance (the last one that fits close to
    # it), then their first 256 bytes and "... (N bytes)".
    whole = sum(n for n in lengths if n > 1000)
    return ALLOWANCE - 2 * len(folder(LONG)) < whole <= ALLOWANCE, {n for n in lengths if n <= 1000}


def unknown_types(count=3000):
    return one_slide("".join(frame(10 + k, "F", f"urn:u{k}", "") for k in range(count)))


def big_slide():
    return one_slide(sp(5, "Body", *[para("words " * 1000)] * 170))


MISSING = "chart or diagram unreadable 50 time(s): missing part: /ppt/charts/" + "m" * (64 << 10) + ".xml"
CUT = re.compile(r"output cut on \d+ slide\(s\): past the bound of [\d.]+ MiB")

# (deck, probe, what it gives)
ROUTES = {
    "a merged cell's text on the rows it spans": (
        merged_rows, lambda d: (d.markdown().count("w" * BIG), d.text().count("w" * BIG)), (65, 1)),
    "rows padded to the widest": (
        short_rows, lambda d: sum(len(line) > 1000 for line in d.markdown().splitlines()), 2 + (16 << 20) // 60000),
    "a chart's points by its series": (
        lambda: charts_on_slide([chart_of([range(3000)] + [[]] * 3000)]),
        lambda d: sum(line.startswith("|") for line in d.markdown().splitlines()), 2 + (16 << 20) // 9003),
    "caches that declare 2^20 points": (
        lambda: charts_on_slide([chart_of([[], []], count=1 << 20)] * 8),
        lambda d: sum(len(s.categories) + len(s.values) for c in d[0].charts() for s in c.series), 4 << 20),
    "a hyperlink target at every link": (linked_runs, lambda d: d.markdown().count(LINK), 65),
    "a linked picture's target at every picture": (linked_pictures, lambda d: d.markdown().count(LINK), 65),
    "an author's name at every comment": (
        authored_comments,
        lambda d: (extracted(d, comments=True)[1:], d.text(comments=True).count(AUTHOR),
                   d.markdown(comments=True).count(AUTHOR)),
        ((["comment author" + LEFT_OUT.format(1)], False), 64, 64)),
    "one missing part named by every frame": (
        missing_target, lambda d: (extracted(d)[1:], len({id(m) for _, m in d.extract()[1].failed_frames})),
        ((["slide 1: " + MISSING], False), 1)),
    "the same on every slide": (
        lambda: missing_target(frames=1, slides=20), lambda d: d.text_reporting()[1],
        ["slide 1 and 19 more slide(s): " + MISSING.replace(" 50 time(s)", "")]),
    "names of missing parts past the allowance, a picture each": (
        lambda: missing_in_long_folder(lambda sid, rid: pic(sid, "P", embed=rid), "image", "png"),
        lambda d: [i.part is None for i in d[0].images()].count(False), ALLOWANCE // (len(folder(LONG)) + 1)),
    "names of missing parts past the allowance, a chart frame's message each": (
        lambda: missing_in_long_folder(lambda sid, rid: chart_frame(sid, "C", rid), "chart", "xml"),
        lambda d: stored_messages([len(m) for _, m in d.extract()[1].failed_frames]), (True, {256 + 17})),
    "frames of 3,000 unknown types": (
        unknown_types, lambda d: [w[:40] for w in d.text_reporting()[1]], ["3000 graphic frame(s) of unknown type sk"]),
    "a slide picked many times": (
        big_slide, lambda d: [bool(CUT.fullmatch(w)) for w in d.extract(indexes=[0] * 40)[1].warnings], [True]),
    "a legacy slide picked many times": (
        lambda: legacy_deck([0], [0], slide_more=" words" * 2048),
        lambda d: [bool(CUT.fullmatch(w)) for w in d.extract(indexes=[0] * 2000)[1].warnings], [True]),
}


@pytest.mark.parametrize("case", ROUTES)
def test_every_route_is_bounded_and_reported(case):
    build, probe, want = ROUTES[case]
    data = build()
    bound = ALLOWANCE + FACTOR * (unpacked(data) if data[:2] == b"PK" else len(data))
    for threads in (1, 4):
        doc = vantrell.Document(data=data, threads=threads)
        assert probe(doc) == want
        picks = [0] * 40
        for out in (doc.markdown(comments=True), doc.text(comments=True), doc.markdown(indexes=picks),
                    doc.extract(indexes=picks)[0], doc[0].markdown()):
            assert len(out.encode()) <= bound + (1 << 20)
