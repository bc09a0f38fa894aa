"""Text, extraction and Markdown passes of Document and Slide."""
import pytest

import vantrell
from deckkit import in_threads
from slidedeck import (PNG, Slide, cell, chart_frame, chart_part, diagram_data_part, diagram_frame, make,
                       notes_part, para, pic, sp, table)

CHART_RT = "chart"
BR = "<a:br/>"
NUM = '<a:pPr><a:buAutoNum type="arabicPeriod"/></a:pPr>'
SUB = '<a:pPr lvl="1"/>'


def open_deck(slides, threads=None, **kw):
    return vantrell.Document(data=make(slides, **kw), threads=threads)


def fixture_slides():
    """Title slide; a slide with bullets, numbering, table, chart, picture and
    notes; a hidden slide with a diagram; a slide whose chart part is missing."""
    s1 = Slide(sp(2, "Title", para("Quarterly", BR, "review"), ph='type="ctrTitle"')
               + sp(3, "Sub", para("Team A"), ph='type="subTitle" idx="1"')
               + sp(4, "Date", para("1 May"), ph='type="dt" idx="10"')
               + sp(5, "Draft", para("draft"), hidden=True))
    s2 = Slide(
        sp(2, "Title", para("Budget"), ph='type="title"')
        + sp(3, "Body", para("Costs"), para("Rent", ppr=SUB), para("Cut", ppr=NUM), para("Save", ppr=NUM),
             ph='idx="1"')
        + table(6, "T", [1, 1], [(1, [cell(para("Item")), cell(para("Cost"))]),
                                 (1, [cell(para("Rent")), cell(para("5|6"))])])
        + chart_frame(7, "C", "rIdC")
        + pic(8, "P", embed="rIdP", descr="Team photo"),
        rels=[("rIdC", CHART_RT, "../charts/chart1.xml"), ("rIdP", "image", "../media/image1.png"),
              ("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml")],
        parts={"ppt/charts/chart1.xml": chart_part(), "ppt/media/image1.png": PNG,
               "ppt/notesSlides/notesSlide1.xml": notes_part("Say hello")})
    s3 = Slide(diagram_frame(9, "D", "rIdD"), show="0",
               rels=[("rIdD", "diagramData", "../diagrams/data1.xml")],
               parts={"ppt/diagrams/data1.xml": diagram_data_part([("a", "Plan", None), ("b", "Scope", "a"),
                                                                  ("c", "Do", None)])})
    s4 = Slide(chart_frame(2, "C", "rIdC") + sp(3, "After", para("After the chart")),
               rels=[("rIdC", CHART_RT, "../charts/chart404.xml")])
    return [s1, s2, s3, s4]


MARKDOWN = (
    "# Quarterly review\n\nTeam A\n\n---\n\n"
    "# Budget\n\n- Costs\n  - Rent\n1. Cut\n2. Save\n\n"
    "| Item | Cost |\n| --- | --- |\n| Rent | 5\\|6 |\n\n"
    "Chart (bar): Sales\n\n| Category | East |\n| --- | --- |\n| Q1 | 1 |\n| Q2 | 2.5 |\n\n"
    "![Team photo](/ppt/media/image1.png)\n\n---\n\n"
    "# Slide 3\n\n- Plan\n  - Scope\n- Do\n\n---\n\n"
    "# Slide 4\n\nAfter the chart\n")

TEXTS = ["Quarterly\nreview\nTeam A",
         "Budget\nCosts\nRent\nCut\nSave\nItem\tCost\nRent\t5|6\nSales\nEast\nQ1: 1\nQ2: 2.5",
         "Plan\nScope\nDo",
         "After the chart"]

MISSING_CHART = "slide 4: chart or diagram unreadable: missing part: /ppt/charts/chart404.xml"


@pytest.fixture(scope="module")
def doc():
    return open_deck(fixture_slides())


class TestGoldens:
    def test_markdown_and_text(self, doc):
        assert doc.markdown() == MARKDOWN
        assert doc.text() == "\n\n".join(TEXTS)
        assert doc.slide_texts() == TEXTS
        assert doc.text_reporting() == ("\n\n".join(TEXTS), [MISSING_CHART])

    def test_every_markdown_option(self, doc):
        md = doc.markdown(headings=False, notes=True, hidden_slides=False, furniture=True, hidden_shapes=True,
                          images=False, indexes=[1, 0, 2])
        assert md == ("Budget\n\n- Costs\n  - Rent\n1. Cut\n2. Save\n\n"
                      "| Item | Cost |\n| --- | --- |\n| Rent | 5\\|6 |\n\n"
                      "Chart (bar): Sales\n\n| Category | East |\n| --- | --- |\n| Q1 | 1 |\n| Q2 | 2.5 |\n\n"
                      "> Notes: Say hello\n\n---\n\n"
                      "Quarterly\\\nreview\n\nTeam A\n\n1 May\n\ndraft\n")

    def test_every_text_option(self, doc):
        text, report = doc.extract(notes=True, furniture=True, hidden_shapes=True, hidden_slides=False,
                                   alt_text=True, charts=False, diagrams=False)
        assert text == ("Quarterly\nreview\nTeam A\n1 May\ndraft\n\n"
                        "Budget\nCosts\nRent\nCut\nSave\nItem\tCost\nRent\t5|6\nTeam photo\nNotes: Say hello\n\n"
                        "After the chart")
        assert report.hidden_slides_skipped == 1
        assert report.is_complete
        assert repr(report) == "ExtractReport(complete=true, warnings=0)"

    def test_slide_methods(self, doc):
        slides = doc.slides()
        assert slides[2].hidden
        # A hidden slide still renders through its own methods.
        assert slides[2].text() == "Plan\nScope\nDo"
        assert slides[2].markdown() == "# Slide 3\n\n- Plan\n  - Scope\n- Do"
        assert slides[1].text() == TEXTS[1]
        assert slides[1].text(charts=False, diagrams=False) == TEXTS[1].split("\nSales")[0]
        assert slides[1].markdown(notes=True, images=False, headings=False).endswith("> Notes: Say hello")
        # Failures of a slide's own frames are silent here.
        assert slides[3].text() == "After the chart"
        assert [s.markdown() for s in slides] == [b.strip("\n") for b in MARKDOWN.split("\n\n---\n\n")]


class TestIndexes:
    def test_order_negatives_and_repeats(self, doc):
        assert doc.slide_texts(indexes=[-1, 0, 0]) == [TEXTS[3], TEXTS[0], TEXTS[0]]
        text, report = doc.extract(indexes=[0, 0])
        assert text == TEXTS[0] + "\n\n" + TEXTS[0]
        assert doc.extract(indexes=range(len(doc)))[0] == doc.text() == doc.extract()[0]
        assert doc.markdown(indexes=[3, 3]).count("# Slide 4") == 2
        rep = doc.extract(indexes=[3, 3])[1]
        assert rep.failed_frames == [(3, "missing part: /ppt/charts/chart404.xml")] * 2
        assert doc.markdown(indexes=None) == doc.markdown()

    def test_empty_selection(self, doc):
        assert doc.slide_texts(indexes=[]) == []
        assert doc.markdown(indexes=()) == ""
        text, rep = doc.extract(indexes=[])
        assert (text, rep.is_complete, rep.warnings) == ("", True, [])

    @pytest.mark.parametrize("indexes, shown", [([4], 4), ([-5], -5), ([0, 9], 9)])
    def test_out_of_range(self, doc, indexes, shown):
        for method in (doc.extract, doc.slide_texts, doc.markdown):
            with pytest.raises(IndexError, match=f"^slide index {shown} out of range for 4 slides$"):
                method(indexes=indexes)

    def test_argument_types(self, doc):
        with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
            doc.markdown(indexes="0")
        for bad in (dict(indexes=0), dict(notes=1), dict(notes=None), dict(indexes=[1.0])):
            with pytest.raises(TypeError):
                doc.extract(**bad)
        with pytest.raises(TypeError):
            doc.text(0)
        with pytest.raises(TypeError):
            doc.markdown(charts=True)
        with pytest.raises(OverflowError):
            doc.slide_texts(indexes=[2 ** 64])
        with pytest.raises(TypeError):
            doc.slides()[0].text(notes=True)

    def test_every_argument_is_converted_before_any_index_is_resolved(self, doc):
        # A badly typed flag wins over an out-of-range index; the first
        # conversion failure in signature order wins over later ones.
        for method in (doc.extract, doc.slide_texts, doc.markdown):
            with pytest.raises(TypeError, match="^argument 'notes': "):
                method(indexes=[99], notes=1)
            with pytest.raises(TypeError, match="^argument 'indexes': "):
                method(indexes=[1.0], notes=1)
        with pytest.raises(TypeError, match="^argument 'furniture': "):
            doc.extract(indexes=[-99], furniture=None, diagrams=0)


TEXT_FLAGS = "notes=False, furniture=False, hidden_shapes=False, hidden_slides=True, alt_text=False, comments=False, charts=True, diagrams=True"
MARKDOWN_FLAGS = ("headings=True, notes=False, comments=False, hidden_slides=True, hidden_shapes=False, furniture=False, images=True")


class TestSignatures:
    # The option flags are published with the option records' defaults, in
    # one order for every method that takes them.
    @pytest.mark.parametrize("method, sig", [
        (vantrell.Document.text, "($self, *, " + TEXT_FLAGS + ")"),
        (vantrell.Document.text_reporting, "($self, *, " + TEXT_FLAGS + ")"),
        (vantrell.Document.extract, "($self, *, indexes=None, " + TEXT_FLAGS + ")"),
        (vantrell.Document.slide_texts, "($self, *, indexes=None, " + TEXT_FLAGS + ")"),
        (vantrell.Document.markdown, "($self, *, indexes=None, " + MARKDOWN_FLAGS + ")"),
        (vantrell.Slide.text,
         "($self, *, furniture=False, hidden_shapes=False, alt_text=False, charts=True, diagrams=True)"),
        (vantrell.Slide.markdown,
         "($self, *, headings=True, notes=False, comments=False, hidden_shapes=False, furniture=False, images=True)"),
    ])
    def test_text_signatures(self, method, sig):
        assert method.__text_signature__ == sig

    def test_slide_flags_convert_in_signature_order(self, doc):
        slide = doc.slide(0)
        with pytest.raises(TypeError, match="^argument 'furniture': "):
            slide.text(diagrams=0, furniture=None)
        with pytest.raises(TypeError, match="^argument 'headings': "):
            slide.markdown(images=0, headings=None)
        with pytest.raises(TypeError, match="unexpected keyword argument 'hidden_slides'"):
            slide.markdown(hidden_slides=True)


class TestFailures:
    def test_unreadable_slide_is_reported_and_others_render(self):
        slides = fixture_slides()[:2] + [Slide(xml=b"<p:sld")]
        d = open_deck(slides)
        text, warnings = d.text_reporting()
        assert text == "\n\n".join(TEXTS[:2])
        assert len(warnings) == 1 and warnings[0].startswith("slide 3: unreadable: xml in /ppt/slides/slide3.xml")
        rep = d.extract()[1]
        assert rep.failed_slides[0][0] == 2 and not rep.is_complete
        assert d.markdown() == MARKDOWN.split("\n\n---\n\n# Slide 3")[0] + "\n"
        assert d.slide_texts()[2] == ""

    def test_unknown_graphics_reported_once_per_uri(self):
        unknown = ('<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id="5" name="W"/><p:cNvGraphicFramePr/><p:nvPr/>'
                   '</p:nvGraphicFramePr><a:graphic><a:graphicData uri="urn:widget"><w/></a:graphicData>'
                   '</a:graphic></p:graphicFrame>')
        d = open_deck([Slide(unknown + unknown), Slide(unknown)])
        rep = d.extract()[1]
        assert (rep.unknown_graphics, rep.unknown_graphic_uris) == (3, ["urn:widget"])
        assert rep.warnings == ["3 graphic frame(s) of unknown type skipped: urn:widget"]
        assert not rep.is_complete

    def test_deck_without_slides(self):
        d = open_deck([])
        assert d.text() == "" and d.markdown() == "" and d.slide_texts() == []
        assert d.text_reporting() == ("", [])
        assert d.extract()[1].is_complete


def every_pass(d):
    """What each per-slide pass of `d` gives, as plain values."""
    return {"markdown": d.markdown(), "text": d.text(notes=True), "slide_texts": d.slide_texts(),
            "titles": d.titles(), "slides": [(s.index, s.title, s.text()) for s in d.slides()]}


class TestThreads:
    @pytest.mark.parametrize("threads", [2, 3, 8, 64, None])
    def test_same_result_for_any_worker_count(self, threads):
        data = make(fixture_slides() * 5)
        single = vantrell.Document(data=data, threads=1)
        d = vantrell.Document(data=data, threads=threads)
        assert d.markdown() == single.markdown()
        assert d.markdown().startswith(MARKDOWN.split("# Slide 3")[0])
        # The copies name the first one's chart and diagram, which show on each.
        assert d.slide_texts() == TEXTS * 5
        # One missing part, one line for every slide that names it.
        assert d.text_reporting()[1] == [MISSING_CHART.replace("slide 4", "slide 4 and 4 more slide(s)")]
        assert every_pass(d) == every_pass(single)

    def test_automatic_setting_on_a_deck_worth_several_workers(self):
        # Some 30 KiB of text per slide: enough for the automatic setting to
        # start workers, as the small decks above are not.
        long_text = " ".join(f"word{i}" for i in range(4000))
        slides = fixture_slides() * 2 + [Slide(sp(2, "Title", para(f"Long {i}"), ph='type="title"')
                                               + sp(3, "Body", para(long_text), ph='idx="1"'))
                                         for i in range(16)]
        data = make(slides)
        assert every_pass(vantrell.Document(data=data)) == every_pass(vantrell.Document(data=data, threads=1))

    def test_passes_of_several_python_threads_at_once(self):
        data = make(fixture_slides() * 6)
        expected = every_pass(vantrell.Document(data=data, threads=1))
        docs = [vantrell.Document(data=data, threads=t) for t in (8, 16, None)]
        results = []

        def work(k):
            # Together more workers than the process keeps stacks for.
            for _ in range(3):
                results.append(every_pass(docs[k % 3]))

        assert not in_threads(work, n=8)
        assert len(results) == 24
        assert all(r == expected for r in results)

    def test_python_threads_share_one_document(self):
        d = open_deck(fixture_slides() * 3)
        expected = d.markdown()
        results = []

        def work(_):
            for _ in range(5):
                results.append(d.markdown())

        assert not in_threads(work)
        assert results == [expected] * 30


def test_corpus_renders(corpus):
    count = 0
    for path in sorted(corpus.iterdir()):
        try:
            d = vantrell.Document(path)
        except vantrell.PptxError:
            continue
        count += 1
        md = d.markdown(notes=True, comments=True)
        assert md == "" or md.endswith("\n")
        text, report = d.extract(notes=True, comments=True, alt_text=True)
        assert isinstance(text, str) and isinstance(report.warnings, list)
        assert len(d.slide_texts()) == len(d)
    assert count > 0
