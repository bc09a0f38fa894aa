"""Decks that name one part many times: the slide list repeating a slide,
many slides naming one notes page, chart, diagram or comments part, many
frames of one slide naming one chart or diagram. Each part is read and shown
once, with the first slide (and frame) that names it, so a small file cannot
make a huge text."""
import struct

import pytest

import vantrell
from deckkit import DECL, NS
from slidedeck import (Slide, chart_frame, chart_part, diagram_data_part, diagram_frame, make, notes_part, para,
                       sp)
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


def legacy_deck(listing, notes_of, slide_more="", notes_more=""):
    """A legacy deck of len(notes_of) slide records, slide k showing "Slide
    k" and naming notes id notes_of[k] (0 for none), listed in the order
    `listing` gives (slide indexes, repeats allowed), and one notes record
    of id 1 showing "Speak slowly"; the `more` texts follow them."""
    count = len(notes_of)

    def drawing(*shapes):
        patriarch = shape(1024, 0x005, 0, rec(0xF009, bytes(16), 0, 1))
        return box(0x040C, box(0xF002, rec(0xF008, struct.pack("<II", 2, 0), 1), box(0xF003, patriarch, *shapes)))

    slides = [box(0x03EE, rec(0x03EF, struct.pack("<6I", 16, 0, 0, 0x80000000, notes_of[k], 0), 0, 2),
                  drawing(text_box(1025, f"Slide {k}{slide_more}"))) for k in range(count)]
    notes = box(0x03F0, rec(0x03F1, struct.pack("<IHH", 256, 0, 0), 0, 1),
                drawing(text_box(1025, "Speak slowly" + notes_more)))
    notes_id = count + 2  # persist ids: 1 the document, 2.. the slides, then the notes
    document_atom = rec(0x03E9, struct.pack("<8iHH4x", 5760, 4320, 4320, 5760, 1, 2, 0, 0, 1, 0), 0, 1)
    doc = box(0x03E8, document_atom,
              box(0x0FF0, *[rec(0x03F3, struct.pack("<5I", 2 + k, 0, 0, 256 + i, 0)) for i, k in enumerate(listing)]),
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


# (deck, text options, Markdown options, what is shown once)
CASES = {
    "slide listed many times": (slide_listed_many_times, {}, {}, "Alpha"),
    "notes part named by many slides": (lambda: slides_naming(NOTES), {"notes": True}, {"notes": True},
                                        "Speak slowly"),
    "chart part named by many slides": (lambda: slides_naming(CHART, chart_frame(5, "Chart", "rIdC")), {}, {},
                                        "Revenue"),
    "diagram part named by many slides": (lambda: slides_naming(DIAGRAM, diagram_frame(5, "Smart", "rIdD")), {},
                                          {}, "Cycle"),
    "comments part named by many slides": (lambda: slides_naming(COMMENTS), {"comments": True},
                                           {"comments": True}, "Check this"),
    "chart part named by many frames": (lambda: frames_on_one_slide(lambda sid: chart_frame(sid, "C", "rIdC")), {},
                                        {}, "Revenue"),
    "chart part named by many relationships of one slide": (relationships_of_one_slide, {}, {}, "Revenue"),
    "diagram part named by many frames": (lambda: frames_on_one_slide(lambda sid: diagram_frame(sid, "D", "rIdD")),
                                          {}, {}, "Cycle"),
    "legacy slide record listed many times": (lambda: legacy_deck([0] * N + [1, 0], [0, 0]), {}, {}, "Slide 0"),
    "legacy notes record shared by many slides": (lambda: legacy_deck(range(N), [1] * N), {"notes": True},
                                                  {"notes": True}, "Speak slowly"),
}


@pytest.mark.parametrize("case", CASES)
def test_a_part_named_many_times_is_shown_once_with_its_first_slide(case):
    build, text_options, md_options, shown = CASES[case]
    for threads in (1, 4):
        doc = vantrell.Document(data=build(), threads=threads)
        assert doc.text(**text_options).count(shown) == 1
        assert doc.markdown(**md_options).count(shown) == 1
        assert shown in doc.slide_texts(**text_options)[0]
        assert shown in doc.markdown(indexes=[0], **md_options)
    # Later slides' own renderings do not show it again either.
    assert all(shown not in doc[k].markdown(**md_options) for k in range(1, len(doc)))


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
    # Notes belong to the first slide that names them.
    "notes": (lambda: slides_naming(NOTES), lambda s: s.notes(), ("Speak slowly", None)),
    "notes part": (lambda: slides_naming(NOTES), lambda s: s.notes_part(),
                   ("/ppt/notesSlides/notesSlide1.xml", None)),
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
