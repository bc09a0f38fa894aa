"""The shape tree as Python objects, and the rules every value class shares."""
import pytest

import vantrell
from slidedeck import Slide, cell, chart_frame, grp, make, para, pic, sp, table


def shapes(markup):
    return vantrell.Document(data=make([Slide(markup)]))[0].shapes()


class TestShapeTree:
    def test_text_shape_fields(self):
        (s,) = shapes(sp(2, "Title 1", para("Hello"), para("World"), ph='type="title"', descr="alt &quot;d&quot;"))
        assert (s.id, s.name, s.kind, s.hidden) == (2, "Title 1", "text", False)
        assert (s.placeholder, s.placeholder_index, s.is_title) == ("title", 0, True)
        assert s.text == "Hello\nWorld"
        assert [p.text for p in s.paragraphs] == ["Hello", "World"]
        assert s.description == 'alt "d"' and s.hyperlink is None
        assert s.frame == (1, 2, 3, 4) and s.rotation == 0
        assert (s.image_rel, s.rows, s.table, s.children) == (None, None, None, [])
        assert repr(s) == 'Shape(id=2, kind="text", name="Title 1")'

    def test_group_nesting_and_order(self):
        markup = grp(10, "Outer", sp(11, "a", para("a")), grp(12, "Inner", sp(13, "b", para("b"))),
                     sp(14, "c", para("c"))) + sp(15, "d", para("d"))
        outer, last = shapes(markup)
        assert outer.kind == "group" and last.name == "d"
        assert (outer.text, outer.paragraphs, outer.rows, outer.table) == (None, None, None, None)
        assert [c.name for c in outer.children] == ["a", "Inner", "c"]
        inner = outer.children[1]
        assert inner.kind == "group" and [c.text for c in inner.children] == ["b"]
        assert outer.children is not outer.children and outer.children[0] is not outer.children[0]

    def test_no_transform_means_no_frame_and_zero_rotation(self):
        (s,) = shapes(sp(2, "Plain", para("x"), transform=False))
        assert s.frame is None and s.rotation == 0

    def test_rotation_as_stored(self):
        markup = sp(2, "R", para("x")).replace('<a:xfrm>', '<a:xfrm rot="5400000">')
        assert shapes(markup)[0].rotation == 5400000

    @pytest.mark.parametrize("ph,kind,index,is_title", [
        ("", "obj", 0, False),
        ('type="ctrTitle"', "ctrTitle", 0, True),
        ('type="body" idx="3"', "body", 3, False),
        ('idx="7"', "obj", 7, False),
        ('type="sldNum" idx="12"', "sldNum", 12, False),
        ('type="somethingNew"', "other", 0, False),
    ])
    def test_placeholders(self, ph, kind, index, is_title):
        (s,) = shapes(sp(2, "P", para("x"), ph=ph))
        assert (s.placeholder, s.placeholder_index, s.is_title) == (kind, index, is_title)

    def test_not_a_placeholder(self):
        (s,) = shapes(sp(2, "P", para("x")))
        assert (s.placeholder, s.placeholder_index, s.is_title) == (None, None, False)

    def test_empty_bodies(self):
        no_paragraph, empty_paragraph, no_body = shapes(
            sp(2, "None", text=True).replace("<a:lstStyle/></p:txBody>", "<a:lstStyle/></p:txBody>")
            + sp(3, "Empty", "<a:p/>") + sp(4, "Bodyless", text=False))
        assert no_paragraph.text == "" and no_paragraph.paragraphs == []
        assert empty_paragraph.text == ""
        (p,) = empty_paragraph.paragraphs
        assert p.text == "" and p.runs == []

    def test_hidden_and_hyperlinked_shape(self):
        (s,) = shapes(sp(2, "H", para("x"), hidden=True, hlink="rId9"))
        assert s.hidden is True and s.hyperlink == "rId9"

    def test_pictures(self):
        embedded, linked, both, neither = shapes(
            pic(3, "E", embed="rIdE") + pic(4, "L", link="rIdL") + pic(5, "B", embed="rIdE", link="rIdL")
            + pic(6, "N"))
        assert [s.kind for s in (embedded, linked, both, neither)] == ["picture"] * 4
        assert [s.image_rel for s in (embedded, linked, both, neither)] == ["rIdE", "rIdL", "rIdE", None]
        assert embedded.text is None and embedded.paragraphs is None

    def test_other_kinds(self):
        (chart,) = shapes(chart_frame(4, "C", "rIdC"))
        assert chart.kind == "chart" and chart.text is None and chart.children == []

    def test_table_shape(self):
        rows = [(100, [cell(para("a")), cell(para("b"))]),
                (200, [cell(para("c"), attrs=' gridSpan="2"'), cell(para("m"), attrs=' hMerge="1"')])]
        (t,) = shapes(table(2, "Grid", [500, 600], rows))
        assert t.kind == "table" and t.text is None and t.paragraphs is None
        assert t.rows == [["a", "b"], ["c"]]
        grid = t.table
        assert repr(grid) == "Table(rows=2, columns=2)"
        assert grid.column_widths == [500, 600]
        r0, r1 = grid.rows
        assert (r0.height, r1.height) == (100, 200) and repr(r1) == "Row(cells=2)"
        origin, merged = r1.cells
        assert (origin.text, origin.grid_span, origin.row_span, origin.is_origin) == ("c", 2, 1, True)
        assert (merged.text, merged.h_merge, merged.v_merge, merged.is_origin) == ("m", True, False, False)
        assert repr(merged) == 'Cell("m")'
        assert [p.text for p in origin.paragraphs] == ["c"]


class TestParagraphsAndRuns:
    def run_props(self, props):
        (s,) = shapes(sp(2, "A", para(f'<a:r><a:rPr{props}/><a:t>x</a:t></a:r>')))
        return s.paragraphs[0].runs[0]

    def test_unformatted_run_is_all_none(self):
        r = self.run_props("")
        assert (r.kind, r.field, r.text) == ("text", None, "x")
        assert [r.bold, r.italic, r.underline, r.strike, r.size, r.hyperlink, r.lang, r.typeface] == [None] * 8
        assert repr(r) == 'Run("x")'

    def test_formatting_as_written(self):
        (s,) = shapes(sp(2, "A", para(
            '<a:r><a:rPr lang="de-DE" sz="2400" b="1" i="0" u="sng" strike="noStrike">'
            '<a:latin typeface="Fira Sans"/><a:hlinkClick r:id="rId5"/></a:rPr><a:t>Hallo</a:t></a:r>')))
        r = s.paragraphs[0].runs[0]
        assert (r.bold, r.italic, r.underline, r.strike) == (True, False, True, False)
        assert (r.size, r.lang, r.typeface, r.hyperlink) == (2400, "de-DE", "Fira Sans", "rId5")

    def test_line_breaks_and_fields(self):
        (s,) = shapes(sp(2, "A", para("a", "<a:br><a:rPr/></a:br>",
                                      '<a:fld id="{1}" type="slidenum"><a:rPr/><a:t>7</a:t></a:fld>')))
        p = s.paragraphs[0]
        assert [r.kind for r in p.runs] == ["text", "line_break", "field"]
        assert [r.field for r in p.runs] == [None, None, "slidenum"]
        assert p.text == "a\n7" and s.text == "a\n7"
        assert repr(p) == 'Paragraph(level=0, text="a\\n7")'

    @pytest.mark.parametrize("ppr,bullet,char,scheme,start", [
        ("", "inherited", None, None, None),
        ("<a:pPr><a:buNone/></a:pPr>", "none", None, None, None),
        ('<a:pPr><a:buChar char="\u2022"/></a:pPr>', "char", "\u2022", None, None),
        ('<a:pPr><a:buAutoNum type="arabicPeriod"/></a:pPr>', "auto_number", None, "arabicPeriod", 1),
        ('<a:pPr><a:buAutoNum type="romanLcParenR" startAt="4"/></a:pPr>', "auto_number", None, "romanLcParenR", 4),
        ('<a:pPr><a:buBlip><a:blip r:embed="rId1"/></a:buBlip></a:pPr>', "picture", None, None, None),
    ])
    def test_bullets(self, ppr, bullet, char, scheme, start):
        (s,) = shapes(sp(2, "A", para("x", ppr=ppr)))
        p = s.paragraphs[0]
        assert (p.bullet, p.bullet_char, p.number_scheme, p.number_start) == (bullet, char, scheme, start)

    def test_level(self):
        (s,) = shapes(sp(2, "A", para("x", ppr='<a:pPr lvl="3"/>')))
        assert s.paragraphs[0].level == 3


class TestValueClassRules:
    CLASSES = ["Shape", "Image", "CoreProperties", "AppProperties", "Section", "Comment", "EmbeddedObject", "Chart",
               "ChartSeries", "Diagram", "Table", "Row", "Cell", "Paragraph", "Run", "DocumentDefects",
               "Presentation", "SlideId", "MasterId", "CommentAuthor", "Slide", "SlideIter"]

    @pytest.mark.parametrize("name", CLASSES)
    def test_no_constructor_and_module(self, name):
        cls = getattr(vantrell, name)
        assert cls.__module__ == "vantrell" and cls.__qualname__ == name
        with pytest.raises(TypeError) as e:
            cls()
        assert str(e.value) == f"No constructor defined for {name}"

    def test_registration_order(self):
        names = list(vantrell._vantrell.__all__)
        reading = ["Document", "Slide", "SlideIter", "Shape", "Image", "CoreProperties", "AppProperties", "Section",
                   "Comment", "EmbeddedObject", "Chart", "ChartSeries", "Diagram"]
        assert names[2:2 + len(reading)] == reading
        model = ["Table", "Row", "Cell", "Paragraph", "Run"]
        start = names.index("Table")
        assert names[start:start + len(model)] == model
        tail = ["DocumentDefects", "Presentation", "SlideId", "MasterId", "CommentAuthor", "Package"]
        start = names.index("DocumentDefects")
        assert names[start:start + len(tail)] == tail

    def test_class_docs(self):
        assert vantrell.Shape.__doc__ == "One node of a slide's shape tree."
        assert vantrell.Cell.__doc__ == ("One table cell. A cell merged into another has `h_merge` or `v_merge`\n"
                                         "set and `is_origin` false.")
        assert vantrell.Run.__doc__ == "One run of a paragraph with its formatting as written; None means not set."
        assert vantrell.Shape.kind.__doc__ == ("One of `text`, `picture`, `table`, `group`, `chart`, `diagram`, "
                                               "`ole`, `connector`, `content_part`, `unknown`.")
        assert vantrell.DocumentDefects.located.__doc__ == (
            "How the presentation part was found: `relationship`, `content_type`,\n"
            "`conventional_path` or `legacy_stream`.")

    def test_attributes_are_read_only_and_conversions_fresh(self):
        rows = [(1, [cell(para("a"))])]
        (t,) = shapes(table(2, "T", [5], rows))
        for obj, attr in ((t, "name"), (t.table, "rows"), (t.table.rows[0], "cells"), (t.table.rows[0].cells[0], "text")):
            with pytest.raises(AttributeError):
                setattr(obj, attr, None)
        widths = t.table.column_widths
        widths.append(9)
        assert t.table.column_widths == [5]
        assert t.rows is not t.rows and t.table is not t.table

    def test_reprs_quote_text_with_escapes(self):
        (s,) = shapes(sp(2, 'Tab&#9;here &quot;q&quot; \\ back', para("x\u0301")))
        assert repr(s) == 'Shape(id=2, kind="text", name="Tab\\there \\"q\\" \\\\ back")'
        assert repr(s.paragraphs[0].runs[0]) == 'Run("x\\u{301}")'

    def test_objects_outlive_the_document(self):
        doc = vantrell.Document(data=make([Slide(sp(2, "A", para("kept")))]))
        (s,) = doc[0].shapes()
        del doc
        assert s.paragraphs[0].runs[0].text == "kept"
