"""Slide: getters answered from the parsed tree, and the methods that read
further parts of the package."""
import copy

import pytest

import vantrell
from deckkit import DECL, in_threads
from slidedeck import (MODERN_AUTHORS_RT, MODERN_COMMENTS_RT, P188, PNG, Slide, cell, chart_frame, chart_part,
                       diagram_data_part, diagram_frame, grp, make, notes_part, ole_frame, para, pic, sp, table)

HLINK_RT = "hyperlink"
IMAGE_RT = "image"
OLE_RT = "oleObject"
OLE_BYTES = b"\xff\xfe<\x00?\x00x\x00m\x00l\x00" + bytes(range(256))


def one(slide, **kwargs):
    return vantrell.Document(data=make([slide], **kwargs))[0]


class TestGetters:
    def test_number_part_repr_and_title(self):
        s = one(Slide(sp(2, "Title 1", para("Hello"), ph='type="title"'), name="Intro"))
        assert (s.index, s.number, s.part) == (0, 1, "/ppt/slides/slide1.xml")
        assert repr(s) == 'Slide(number=1, part="/ppt/slides/slide1.xml")'
        assert s.title == "Hello" and s.name == "Intro" and s.hidden is False and s.warnings == []

    @pytest.mark.parametrize("show,hidden", [(None, False), ("1", False), ("0", True), ("false", True)])
    def test_hidden_flag(self, show, hidden):
        assert one(Slide(show=show)).hidden is hidden

    def test_title_comes_from_the_first_title_placeholder_in_walk_order(self):
        shapes = (grp(5, "G", sp(6, "Centre", para("Inner"), ph='type="ctrTitle"'))
                  + sp(2, "Title", para("Outer"), ph='type="title"'))
        assert one(Slide(shapes)).title == "Inner"
        assert one(Slide(sp(2, "Body", para("x"), ph='idx="1"'))).title is None

    def test_warnings_list_uris_then_the_foreign_element_count(self):
        unknown = ('<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id="{0}" name="F"/><p:cNvGraphicFramePr/><p:nvPr/>'
                   '</p:nvGraphicFramePr><p:xfrm/><a:graphic><a:graphicData uri="urn:x-{0}"/></a:graphic>'
                   '</p:graphicFrame>')
        foreign = '<x:thing xmlns:x="urn:foreign"><x:inner/></x:thing>'
        shapes = unknown.format(7) + unknown.format(8) + foreign * 3
        s = one(Slide(shapes))
        assert s.warnings == ["graphic frame of unknown type skipped: urn:x-7",
                              "graphic frame of unknown type skipped: urn:x-8",
                              "3 element(s) in unknown namespaces skipped"]
        assert s.warnings is not s.warnings

    def test_cannot_be_made_or_changed_from_python(self):
        s = one(Slide(sp(2, "A", para("x"))))
        with pytest.raises(TypeError, match="^No constructor defined for Slide$"):
            vantrell.Slide()
        with pytest.raises(TypeError):
            type(s)()
        with pytest.raises(TypeError):
            vantrell.Slide.__new__(vantrell.Slide)
        with pytest.raises(TypeError):
            object.__new__(vantrell.Slide)
        with pytest.raises(AttributeError):
            s.index = 3
        # Neither copying nor subclassing makes one by another route.
        with pytest.raises(TypeError):
            copy.copy(s)
        with pytest.raises(TypeError):
            copy.deepcopy(s.shapes()[0])
        with pytest.raises(TypeError):
            type("Sub", (vantrell.Slide,), {})
        with pytest.raises(TypeError):
            vantrell.Shape()
        with pytest.raises(TypeError):
            vantrell.Shape.__new__(vantrell.Shape)

    def test_method_docs_carry_signatures(self):
        assert vantrell.Slide.__doc__ == "One parsed slide."
        assert vantrell.Slide.image_bytes.__text_signature__ == "($self, image)"
        assert vantrell.Slide.tables.__doc__ == "Every table as rows of cell texts; merged-away cells are omitted."
        assert vantrell.Slide.part.__doc__ == "The Slide part name, such as `/ppt/slides/slide1.xml`."


class TestTextFromTheTree:
    def test_paragraphs_skip_blank_ones_and_keep_spacing(self):
        shapes = (sp(2, "A", para("  padded  "), para("   "), para(), para("\u00a0\u2003"))
                  + sp(3, "Hidden", para("secret"), hidden=True)
                  + grp(4, "G", sp(5, "Inner", para("in", '<a:br><a:rPr/></a:br>', "group"))))
        assert one(Slide(shapes)).paragraphs() == ["  padded  ", "secret", "in\ngroup"]

    def test_tables_and_paragraphs_leave_out_merged_cells(self):
        rows = [(100, [cell(para("a")), cell(para("b"))]),
                (200, [cell(para("c")), cell(para("merged"), attrs=' hMerge="1"')]),
                (300, [cell(para("gone"), attrs=' vMerge="1"'), cell(para("gone too"), attrs=' hMerge="1"')])]
        shapes = table(2, "T", [10, 20], rows) + grp(3, "G", table(4, "Nested", [5], [(1, [cell(para("n"))])]))
        s = one(Slide(shapes))
        assert s.tables() == [[["a", "b"], ["c"], []], [["n"]]]
        assert s.paragraphs() == ["a", "b", "c", "n"]

    def test_table_cell_text_joins_paragraphs_and_keeps_empty_cells(self):
        rows = [(1, [cell(para("x"), para("y")), cell()])]
        assert one(Slide(table(2, "T", [1, 1], rows))).tables() == [[["x\ny", ""]]]

    def test_lists_are_fresh(self):
        s = one(Slide(sp(2, "A", para("x"))))
        got = s.paragraphs()
        got.append("y")
        assert s.paragraphs() == ["x"]


class TestPartReading:
    def test_notes_and_notes_part(self):
        s = one(Slide(rels=[("rIdN", "notesSlide", "../notesSlides/notesSlide1.xml")],
                      parts={"ppt/notesSlides/notesSlide1.xml": notes_part("Say hello")}))
        assert s.notes() == "Say hello"
        assert s.notes_part() == "/ppt/notesSlides/notesSlide1.xml"
        plain = one(Slide())
        assert plain.notes() is None and plain.notes_part() is None

    def test_layout_and_comments_parts(self):
        legacy = ("rIdC", "comments", "../comments/comment1.xml")
        modern = ("rIdM", MODERN_COMMENTS_RT, "../comments/modernComment_1.xml")
        assert one(Slide()).layout_part() == "/ppt/slideLayouts/slideLayout1.xml"
        assert one(Slide()).comments_part() is None
        assert one(Slide(rels=[legacy])).comments_part() == "/ppt/comments/comment1.xml"
        assert one(Slide(rels=[legacy, modern])).comments_part() == "/ppt/comments/modernComment_1.xml"

    def test_hyperlinks(self):
        s = one(Slide(sp(2, "Link", para("x"), hlink="rIdH"),
                      rels=[("rIdH", HLINK_RT, "https://example.com/a?b=1", "External"),
                            ("rIdJ", "slide", "slide1.xml"), ("rIdF", HLINK_RT, "#_ftn1")]))
        assert s.shapes()[0].hyperlink == "rIdH"
        assert s.hyperlink("rIdH") == "https://example.com/a?b=1"
        assert s.hyperlink("rIdJ") == "/ppt/slides/slide1.xml"
        # A jump within the slide designates the slide itself.
        assert s.hyperlink("rIdF") == "/ppt/slides/slide1.xml"
        assert s.hyperlink("rIdNope") is None
        with pytest.raises(TypeError, match="^argument 'rel_id': "):
            s.hyperlink(1)
        with pytest.raises(TypeError):
            s.hyperlink()

    def test_charts(self):
        s = one(Slide(chart_frame(4, "Chart", "rIdC"), rels=[("rIdC", "chart", "../charts/chart1.xml")],
                      parts={"ppt/charts/chart1.xml": chart_part()}))
        charts = s.charts()
        assert len(charts) == 1
        c = charts[0]
        assert (c.shape_id, c.title, c.kinds) == (4, "Sales", ["bar"])
        assert repr(c) == 'Chart(title=Some("Sales"), kinds=["bar"], series=1)'
        series = c.series
        assert series is not c.series and series[0] is not c.series[0]
        assert (series[0].name, series[0].categories, series[0].values) == ("East", ["Q1", "Q2"], ["1", "2.5"])
        assert repr(series[0]) == 'ChartSeries(name=Some("East"), points=2)'
        assert c.category_axis_title is None and c.value_axis_title is None

    def test_first_broken_chart_fails_the_call(self):
        s = one(Slide(chart_frame(4, "Chart", "rIdC"), rels=[("rIdC", "chart", "../charts/chart1.xml")],
                      parts={"ppt/charts/chart1.xml": b"<c:chartSpace xmlns:c='x'><broken"}))
        with pytest.raises(vantrell.PptxError, match=r"^xml in /ppt/charts/chart1\.xml"):
            s.charts()
        # The tree was parsed on load; the failure is the chart part's alone.
        assert s.shapes()[0].kind == "chart"

    def test_diagrams(self):
        data = diagram_data_part([("1", "Top", None), ("2", "Child", "1"), ("3", "Second", None)])
        s = one(Slide(diagram_frame(6, "Smart", "rIdD"), rels=[("rIdD", "diagramData", "../diagrams/data1.xml")],
                      parts={"ppt/diagrams/data1.xml": data}))
        d = s.diagrams()
        assert len(d) == 1
        assert d[0].shape_id == 6
        assert d[0].items == [(0, "Top"), (1, "Child"), (0, "Second")]
        assert repr(d[0]) == "Diagram(shape_id=6, items=3)"

    def test_modern_comments_with_replies(self):
        authors = (DECL + f'<p188:authorLst xmlns:p188="{P188}"><p188:author id="{{A1}}" name="Ann" '
                   'initials="AB" userId="ann" providerId="None"/></p188:authorLst>')
        comments = (DECL + f'<p188:cmLst xmlns:p188="{P188}" xmlns:a="http://schemas.openxmlformats.org/'
                    'drawingml/2006/main"><p188:cm id="{C1}" authorId="{A1}" created="2024-01-02T03:04:05Z">'
                    '<p188:replyLst><p188:reply id="{R1}" authorId="{A1}" created="2024-01-03T00:00:00Z">'
                    '<p188:txBody><a:bodyPr/><a:p><a:r><a:t>Agreed</a:t></a:r></a:p></p188:txBody></p188:reply>'
                    '</p188:replyLst><p188:txBody><a:bodyPr/><a:p><a:r><a:t>Fix "this"</a:t></a:r></a:p>'
                    '</p188:txBody></p188:cm></p188:cmLst>')
        doc = vantrell.Document(data=make(
            [Slide(rels=[("rIdM", MODERN_COMMENTS_RT, "../comments/modernComment_1.xml")],
                   parts={"ppt/comments/modernComment_1.xml": comments.encode()})],
            pres_rels=[("rIdAu", MODERN_AUTHORS_RT, "authors.xml")],
            extra={"ppt/authors.xml": authors.encode()}))
        got = doc[0].comments()
        assert [(c.author, c.initials, c.text, c.reply) for c in got] == [
            ("Ann", "AB", 'Fix "this"', False), ("Ann", "AB", "Agreed", True)]
        assert got[0].date == "2024-01-02T03:04:05Z"
        assert repr(got[1]) == 'Comment(author=Some("Ann"), text="Agreed", reply=true)'
        assert repr(got[0]) == 'Comment(author=Some("Ann"), text="Fix \\"this\\"", reply=false)'
        assert [a.name for a in doc.comment_authors()] == ["Ann"]

    def test_no_comments_is_an_empty_list(self):
        assert one(Slide()).comments() == []


class TestImagesAndObjects:
    def deck(self):
        return one(Slide(
            pic(3, "Stored", embed="rIdI") + pic(4, "Linked", link="rIdX") + pic(5, "Both", embed="rIdI", link="rIdX")
            + ole_frame(7, "Object", "rIdO", prog_id="Excel.Sheet.12"),
            rels=[("rIdI", IMAGE_RT, "../media/image1.png"),
                  ("rIdX", IMAGE_RT, "http://example.com/pic.png", "External"),
                  ("rIdO", OLE_RT, "../embeddings/oleObject1.bin")],
            parts={"ppt/media/image1.png": PNG,
                   # Bytes that look like UTF-16 XML: must come back unconverted.
                   "ppt/embeddings/oleObject1.bin": OLE_BYTES}))

    def test_images_in_walk_order(self):
        images = self.deck().images()
        assert [(i.shape_id, i.rel_id, i.part, i.external) for i in images] == [
            (3, "rIdI", "/ppt/media/image1.png", None),
            (4, "rIdX", None, "http://example.com/pic.png"),
            (5, "rIdI", "/ppt/media/image1.png", None)]
        assert images[0].content_type == "image/png"
        assert repr(images[0]) == 'Image(shape_id=3, part=Some("/ppt/media/image1.png"), content_type=Some("image/png"))'
        assert repr(images[1]) == "Image(shape_id=4, part=None, content_type=None)"

    def test_image_bytes_exactly_as_stored(self):
        s = self.deck()
        images = s.images()
        assert s.image_bytes(images[0]) == PNG
        with pytest.raises(vantrell.PptxError) as e:
            s.image_bytes(images[1])
        assert e.value.args == ("image rIdX is not stored in the package",)
        with pytest.raises(TypeError, match="^argument 'image': "):
            s.image_bytes("ppt/media/image1.png")
        with pytest.raises(TypeError):
            s.image_bytes(image=s.embedded_objects()[0])

    def test_objects_and_their_bytes_utf16_lookalike_untouched(self):
        s = self.deck()
        objects = s.embedded_objects()
        assert [(o.shape_id, o.prog_id, o.rel_id, o.part) for o in objects] == [
            (7, "Excel.Sheet.12", "rIdO", "/ppt/embeddings/oleObject1.bin")]
        assert repr(objects[0]) == ('EmbeddedObject(shape_id=7, prog_id=Some("Excel.Sheet.12"), '
                                    'part=Some("/ppt/embeddings/oleObject1.bin"))')
        assert s.object_bytes(objects[0]) == OLE_BYTES
        with pytest.raises(TypeError, match="^argument 'object': "):
            s.object_bytes(s.images()[0])

    def test_object_without_part_or_rel_id(self):
        frame = ('<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id="9" name="O"/><p:cNvGraphicFramePr/><p:nvPr/>'
                 '</p:nvGraphicFramePr><p:xfrm/><a:graphic><a:graphicData '
                 'uri="http://schemas.openxmlformats.org/presentationml/2006/ole"><p:oleObj progId="X"/>'
                 '</a:graphicData></a:graphic></p:graphicFrame>')
        s = one(Slide(frame + ole_frame(10, "Missing", "rIdGone")))
        objects = s.embedded_objects()
        assert [(o.rel_id, o.part) for o in objects] == [(None, None), ("rIdGone", None)]
        with pytest.raises(vantrell.PptxError) as e:
            s.object_bytes(objects[0])
        assert e.value.args == ("object  is not stored in the package",)
        with pytest.raises(vantrell.PptxError, match="^object rIdGone is not stored in the package$"):
            s.object_bytes(objects[1])

    def test_image_whose_part_or_relationship_is_missing(self):
        s = one(Slide(pic(3, "P", embed="rIdI") + pic(4, "Q", embed="rIdGone"),
                      rels=[("rIdI", IMAGE_RT, "../media/nowhere.png")]))
        named, dangling = s.images()
        assert named.part == "/ppt/media/nowhere.png"
        with pytest.raises(vantrell.PptxError) as e:
            s.image_bytes(named)
        assert e.value.args == ("missing part: /ppt/media/nowhere.png",)
        assert dangling.part is None
        with pytest.raises(vantrell.PptxError, match="^image rIdGone is not stored in the package$"):
            s.image_bytes(dangling)


class TestRereading:
    def test_methods_read_the_package_not_the_stored_tree(self):
        s = one(Slide(chart_frame(4, "Chart", "rIdC"), rels=[("rIdC", "chart", "../charts/chart1.xml")],
                      parts={"ppt/charts/chart1.xml": chart_part(title="T")}))
        assert s.charts()[0].title == "T"
        assert s.charts()[0] is not s.charts()[0]

    def test_many_threads_on_one_slide(self):
        s = one(Slide(chart_frame(4, "Chart", "rIdC") + pic(3, "P", embed="rIdI"),
                      rels=[("rIdC", "chart", "../charts/chart1.xml"), ("rIdI", IMAGE_RT, "../media/image1.png")],
                      parts={"ppt/charts/chart1.xml": chart_part(), "ppt/media/image1.png": PNG}))

        def work(_):
            for _ in range(30):
                assert s.charts()[0].title == "Sales"
                assert s.image_bytes(s.images()[0]) == PNG
                assert s.shapes()[0].kind == "chart"

        assert in_threads(work) == []

