"""The value classes of vantrell.write: conversions, messages, reprs and the
order in which arguments are checked."""
import io
import re
import zipfile

import pytest

import vantrell
import vantrell.write as w

SLOTS = ("dark1, light1, dark2, light2, accent1, accent2, accent3, accent4, "
         "accent5, accent6, hyperlink, followed_hyperlink")


def part(deck, name):
    return zipfile.ZipFile(io.BytesIO(deck.to_bytes())).read(name).decode()


def slide_size(**kwargs):
    xml = part(w.Presentation(**kwargs), "ppt/presentation.xml")
    m = re.search(r'<p:sldSz cx="(-?\d+)" cy="(-?\d+)"', xml)
    return int(m.group(1)), int(m.group(2))


class TestColourWords:
    @pytest.mark.parametrize("text", ["#4472C4", "4472c4", "#4472c4", "#4472C4"])
    def test_hex_forms_read_back_in_upper_case(self, text):
        assert w.Run("x", color=text).color == "#4472C4"

    @pytest.mark.parametrize("text", ["##4472C4", " 4472C4", "447", "4472C4FF", "0x4472C4", "Accent1", "", "ééééé"])
    def test_outside_the_grammar(self, text):
        with pytest.raises(ValueError) as e:
            w.Run("x", color=text)
        assert str(e.value).endswith("; use #RRGGBB or one of " + SLOTS)
        assert not str(e.value).startswith("argument")

    def test_slot_and_quoted_message(self):
        assert w.Run("x", color="accent1").color == "accent1"
        assert w.Run("x").color is None
        with pytest.raises(ValueError) as e:
            w.Run("x", color='re"d')
        assert str(e.value) == 'unknown color "re\\"d"; use #RRGGBB or one of ' + SLOTS

    def test_alignment_words(self):
        for word in ("left", "center", "right", "justify"):
            assert w.Paragraph("x", align=word).align == word
        with pytest.raises(ValueError) as e:
            w.Paragraph("x", align="Center")
        assert str(e.value) == 'unknown align "Center"; use left, center, right or justify'


class TestSlideSize:
    def test_names_and_pairs(self):
        assert slide_size() == (12192000, 6858000)
        assert slide_size(size="16:9") == (12192000, 6858000)
        assert slide_size(size="standard") == slide_size(size="4:3") == (9144000, 6858000)
        assert slide_size(size=(10, 7.5)) == (9144000, 6858000)
        assert slide_size(size=(13.333333333333334, 7.5)) == (12192000, 6858000)
        assert slide_size(size=(13.333, 7.5))[0] == 12192000 - 305

    def test_inch_rounding_saturation_and_nan(self):
        # Halves round away from zero; a side that rounds, saturates or
        # converts (NaN) to a size a package cannot hold is refused.
        assert slide_size(size=(1 + 2.5 / 914400, 7.5))[0] == 914403
        assert slide_size(size=(1 - 0.5 / 914400, True)) == (914400, 914400)
        for size in [(1e-7, 7.5), (-1, 7.5), (float("nan"), 1e30), (-1e30, True)]:
            with pytest.raises(ValueError, match=r"^size \("):
                w.Presentation(size=size)

    def test_objects_converting_themselves_to_float(self):
        class Inches:
            def __float__(self):
                return 10.0
        assert slide_size(size=(Inches(), 7.5)) == (9144000, 6858000)

    @pytest.mark.parametrize("size", [[10, 7.5], (10,), (10, 7.5, 1), None, ("a", 1), 16])
    def test_wrong_forms_name_the_argument(self, size):
        with pytest.raises(TypeError) as e:
            w.Presentation(size=size)
        assert str(e.value).startswith("argument 'size': ")

    def test_unknown_name_after_every_type_check(self):
        with pytest.raises(ValueError) as e:
            w.Presentation(size="Widescreen")
        assert str(e.value) == 'unknown size "Widescreen"; use widescreen, standard or (width, height) in inches'
        with pytest.raises(TypeError, match="argument 'theme'"):
            w.Presentation(size="wide", theme=1)
        with pytest.raises(TypeError, match="argument 'timestamp'"):
            w.Presentation(size="wide", timestamp=5)


class TestRun:
    def test_defaults_and_repr(self):
        r = w.Run("")
        assert repr(r) == 'write.Run("")'
        assert (r.bold, r.italic, r.underline, r.strike) == (False, False, False, False)
        assert (r.size, r.color, r.font, r.link) == (None, None, None, None)
        assert repr(w.Run("a\nb\t\"")) == 'write.Run("a\\nb\\t\\"")'
        assert w.Run("a\nb").text == "a\nb"

    def test_every_field(self):
        r = w.Run("t", bold=True, italic=True, underline=True, strike=True, size=4000,
                  color="ff8800", font="Inter", link="https://x.test/")
        assert (r.bold, r.italic, r.underline, r.strike) == (True,) * 4
        assert (r.size, r.color, r.font, r.link) == (4000, "#FF8800", "Inter", "https://x.test/")

    def test_conversion_errors(self):
        with pytest.raises(TypeError, match="^argument 'bold': "):
            w.Run("x", bold=1)
        with pytest.raises(TypeError, match="^argument 'text': "):
            w.Run(b"x")
        with pytest.raises(OverflowError):
            w.Run("x", size=-1)
        with pytest.raises(OverflowError):
            w.Run("x", size=2**32)
        with pytest.raises(TypeError, match="^argument 'size': "):
            w.Run("x", size=12.0)
        with pytest.raises(TypeError):
            w.Run("x", True)
        with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
            w.Run("x", colour="red")
        with pytest.raises(TypeError, match="missing"):
            w.Run()
        # A type error wins over a colour error given earlier in the call.
        with pytest.raises(TypeError, match="argument 'link'"):
            w.Run("x", color="bad", link=3)

    def test_signature_and_doc(self):
        assert w.Run.__text_signature__ == (
            "(text, *, bold=False, italic=False, underline=False, strike=False, size=None, "
            "color=None, font=None, link=None)")
        assert w.Run.__doc__.startswith("A run of text with one set of character properties")
        assert w.Run.__module__ == "vantrell.write"


class TestParagraph:
    def test_keyword_formatting_reaches_plain_strings_only(self):
        p = w.Paragraph("x", bold=True, size=20)
        [r] = p.runs
        assert (r.bold, r.italic, r.size) == (True, False, 20)
        p = w.Paragraph(["a", w.Run("b", italic=True)], bold=True)
        a, b = p.runs
        assert (a.text, a.bold, a.italic) == ("a", True, False)
        assert (b.text, b.bold, b.italic) == ("b", False, True)
        assert p.text == "ab"
        assert repr(p) == 'write.Paragraph("ab")'

    def test_colour_parsed_only_for_plain_strings(self):
        assert w.Paragraph([w.Run("x")], color="bad").text == "x"
        with pytest.raises(ValueError, match='unknown color "bad"'):
            w.Paragraph("x", color="bad")
        with pytest.raises(ValueError, match='unknown color "bad"'):
            w.Paragraph([w.Run("x"), "y"], color="bad")

    def test_content_forms(self):
        assert w.Paragraph([]).text == "" and w.Paragraph([]).runs == []
        assert w.Paragraph(()).text == ""
        assert w.Paragraph([w.Run("x")]).text == "x"
        for bad in (w.Run("x"), None, 5, (s for s in ["a"]), ["a", 1], [b"a"]):
            with pytest.raises(TypeError) as e:
                w.Paragraph(bad)
            assert str(e.value).startswith("argument 'text': ")

    def test_level_bounds(self):
        assert w.Paragraph("x", level=12).level == 8
        assert w.Paragraph("x", level=3).level == 3
        for bad in (-1, 256):
            with pytest.raises(OverflowError):
                w.Paragraph("x", level=bad)
        with pytest.raises(TypeError):
            w.Paragraph("x", 2)

    def test_check_order(self):
        with pytest.raises(TypeError, match="argument 'align'"):
            w.Paragraph("x", align=None)
        with pytest.raises(ValueError, match="unknown align"):
            w.Paragraph("x", align="middle")
        with pytest.raises(ValueError, match="unknown color"):
            w.Paragraph("x", color="bad", align="bad")
        with pytest.raises(TypeError, match="argument 'space_after'"):
            w.Paragraph("x", color="bad", align="bad", space_after="1")

    def test_runs_are_fresh_copies(self):
        p = w.Paragraph(["a", w.Run("b", bold=True)])
        first, second = p.runs, p.runs
        assert first is not second
        assert first[1] is not second[1]
        assert [(r.text, r.bold) for r in first] == [(r.text, r.bold) for r in second]


class TestPictureAndTable:
    def test_picture_data_forms(self):
        assert repr(w.Picture(b"")) == "write.Picture(0 bytes)"
        assert w.Picture(b"").description is None
        assert repr(w.Picture(bytearray(4))) == "write.Picture(4 bytes)"
        assert repr(w.Picture([137, 80, 78, 71])) == "write.Picture(4 bytes)"
        assert repr(w.Picture(memoryview(b"abc"))) == "write.Picture(3 bytes)"
        assert w.Picture(b"x", description=None).description is None
        assert w.Picture(b"x", description="logo").description == "logo"

    def test_picture_refusals(self):
        with pytest.raises(TypeError, match="^argument 'data': "):
            w.Picture("logo.png")
        with pytest.raises(TypeError, match="^argument 'data': "):
            w.Picture(iter(b"ab"))
        with pytest.raises(OverflowError):
            w.Picture([256])
        with pytest.raises(TypeError):
            w.Picture(b"x", "desc")

    def test_table_rows(self):
        t = w.Table([])
        assert repr(t) == "write.Table(0 rows)" and t.rows == [] and t.header is True
        t = w.Table([["a", "b"], ["c"], []], header=False)
        assert t.rows == [["a", "b"], ["c"], []] and t.header is False
        assert repr(t) == "write.Table(3 rows)"
        first = t.rows
        first.append(["z"])
        first[0].append("q")
        assert t.rows == [["a", "b"], ["c"], []]
        assert t.rows is not t.rows

    @pytest.mark.parametrize("kwargs", [dict(rows=["ab", "cd"]), dict(rows=[[1, 2]]), dict(rows=[["a", None]]),
                                        dict(rows=[["a"]], header=1), dict(rows=[["a"]], header=None),
                                        dict(rows="ab")])
    def test_table_refusals(self, kwargs):
        with pytest.raises(TypeError) as e:
            w.Table(**kwargs)
        assert "argument '" in str(e.value)


class TestBackground:
    def test_constructors_and_reprs(self):
        assert repr(w.Background.solid("dark2")) == 'write.Background.solid("dark2")'
        assert repr(w.Background.solid("ff00aa")) == 'write.Background.solid("#FF00AA")'
        assert repr(w.Background.linear("000000", "#FFFFFF")) == "write.Background.gradient(stops=2, angle=90)"
        assert repr(w.Background.gradient([])) == "write.Background.gradient(stops=0, angle=90)"
        assert repr(w.Background.gradient([(80, "accent1"), (150, "dark1")], 10)) == (
            "write.Background.gradient(stops=2, angle=10)")
        assert repr(w.Background.picture(b"")) == "write.Background.picture(0 bytes)"
        assert repr(w.Background.picture([1, 2, 3, 4])) == "write.Background.picture(4 bytes)"
        with pytest.raises(TypeError, match="No constructor defined for Background"):
            w.Background()

    @pytest.mark.parametrize("angle,stored", [(720, 0), (359, 359), (450, 90), (360, 0), (65535, 15)])
    def test_angle_modulo(self, angle, stored):
        assert repr(w.Background.linear("dark1", "light1", angle=angle)).endswith(f"angle={stored})")

    def test_refusals(self):
        for angle in (-1, 65536):
            with pytest.raises(OverflowError):
                w.Background.linear("dark1", "light1", angle)
        with pytest.raises(TypeError, match="argument 'angle'"):
            w.Background.linear("dark1", "light1", angle=None)
        with pytest.raises(TypeError, match="argument 'stops'"):
            w.Background.gradient([[0, "dark1"]])
        with pytest.raises(TypeError, match="argument 'stops'"):
            w.Background.gradient("dark1")
        with pytest.raises(ValueError) as e:
            w.Background.gradient([(0, "dark1", 1)])
        assert str(e.value) == "expected tuple of length 2, but got tuple of length 3"
        with pytest.raises(OverflowError):
            w.Background.gradient([(256, "dark1")])
        with pytest.raises(TypeError, match="argument 'data'"):
            w.Background.picture("bg.png")

    def test_colour_errors_come_after_all_conversion(self):
        with pytest.raises(ValueError, match='"bad2"'):
            w.Background.gradient([(0, "dark1"), (100, "bad2")])
        with pytest.raises(TypeError, match="argument 'stops'"):
            w.Background.gradient([(0, "bad1"), (100, 5)])
        with pytest.raises(TypeError, match="argument 'angle'"):
            w.Background.gradient([(0, "bad1")], angle="9")
        with pytest.raises(ValueError, match='"bad1"'):
            w.Background.linear("bad1", "bad2")
        with pytest.raises(TypeError, match="argument 'end'"):
            w.Background.linear("bad1", 2)

    def test_docs(self):
        assert w.Background.solid.__text_signature__ == "(color)"
        assert w.Background.solid.__doc__ is None
        assert w.Background.gradient.__text_signature__ == "(stops, angle=90)"
        assert w.Background.linear.__doc__ == "A two-stop gradient from `start` to `end`."


class TestTheme:
    def test_defaults(self):
        t = w.Theme()
        assert (t.name, t.major_font, t.minor_font, t.inverted) == ("vantrell", "Calibri", "Calibri", False)
        assert t.colors["accent1"] == "#4472C4" and len(t.colors) == 12
        assert t.sizes == dict(display=54, title=44, subtitle=24, body=28, table=16, minimum=18)
        assert t.embedded_font_count == 0
        assert repr(t) == 'write.Theme("vantrell")'
        assert w.Theme("dark").colors == t.colors
        assert w.Theme.preset("dark").name == "dark"

    def test_fonts_colours_sizes(self):
        t = w.Theme(font="A", major_font="B")
        assert (t.major_font, t.minor_font) == ("B", "A")
        t = w.Theme(colors={"accent1": "4472c4", "dark1": "#010203"}, sizes={"title": 4000})
        assert t.colors["accent1"] == "#4472C4" and t.colors["dark1"] == "#010203"
        assert t.sizes["title"] == 4000
        t.colors["dark1"] = "#FFFFFF"
        assert t.colors["dark1"] == "#010203"

    def test_value_errors_in_sorted_order(self):
        def message(**kwargs):
            with pytest.raises(ValueError) as e:
                w.Theme(**kwargs)
            return str(e.value)
        assert message(colors={"accent2": "accent2"}) == 'theme color "accent2" must be #RRGGBB'
        assert message(colors={"accent9": "000000"}) == 'unknown theme slot "accent9"; use one of ' + SLOTS
        assert message(sizes={"title": 0}) == 'size "title" must be positive'
        assert message(sizes={"Title": 3}) == (
            'unknown size "Title"; use one of display, title, subtitle, body, table, minimum')
        assert message(sizes={"zzz": 3, "body": 0}) == 'size "body" must be positive'
        assert message(sizes={"body": 0}, colors={"x": "y"}) == 'size "body" must be positive'
        assert message(sizes={"zzz": 3, "body": 4001}) == 'size "body" must be from 1 to 4000 points'

    def test_type_errors(self):
        with pytest.raises(OverflowError):
            w.Theme(sizes={"title": -1})
        with pytest.raises(TypeError, match="argument 'colors'"):
            w.Theme(colors=[("accent1", "000000")])
        with pytest.raises(TypeError, match="argument 'embed_fonts'"):
            w.Theme(embed_fonts="font.ttf")
        with pytest.raises(TypeError, match="argument 'name'"):
            w.Theme(None)
        with pytest.raises(TypeError, match="argument 'background'"):
            w.Theme(background="dark1")

    def test_presets(self):
        names = w.Theme.presets()
        assert names == ["office", "dark", "slate", "forest", "sunset", "midnight",
                         "mocha", "dracula", "nord", "tokyo", "clay", "mono"]
        assert w.Theme.presets() is not names
        with pytest.raises(ValueError) as e:
            w.Theme.preset("Dark")
        assert str(e.value) == 'unknown theme "Dark"; use one of ' + ", ".join(names)

    def test_modifiers_chain_and_fail_cleanly(self):
        t = w.Theme()
        assert t.embed_font(b"no font") is t
        assert t.embedded_font_count == 1
        bg = w.Background.solid("dark1")
        assert t.layout_background("title", bg) is t
        assert t.layout_background("content", bg, inverted=True) is t
        for args in ((None, bg), ("title", None)):
            with pytest.raises(TypeError):
                t.layout_background(*args)
        with pytest.raises(ValueError, match='unknown layout "Title"'):
            t.layout_background("Title", bg)
        with pytest.raises(TypeError, match="argument 'data'"):
            t.embed_font("x.ttf")
        assert t.embedded_font_count == 1

    def test_later_layout_background_replaces_earlier(self):
        t = w.Theme().layout_background("title", w.Background.solid("112233"))
        t.layout_background("title", w.Background.solid("445566"))
        layout = part(w.Presentation(theme=t), "ppt/slideLayouts/slideLayout1.xml")
        assert "445566" in layout and "112233" not in layout
