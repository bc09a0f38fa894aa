"""Slides, decks, saving and the submodule of vantrell.write: builders and
their failure rules, borrows, copies, serialising and atomic saves."""
import io
import os
import pathlib
import re
import sys
import threading
import zipfile

import pytest

import vantrell
import vantrell.write as w
from vantrell.write import Presentation, Slide
from deckkit import png

EMU = 914400


def parts(deck):
    z = zipfile.ZipFile(io.BytesIO(deck.to_bytes()))
    assert z.testzip() is None
    return {name: z.read(name) for name in z.namelist()}


def slide_xml(slide, index=1):
    return parts(Presentation().add(slide))[f"ppt/slides/slide{index}.xml"].decode()


def texts(xml):
    return re.findall(r"<a:t>([^<]*)</a:t>", xml)


class TestSlideConstructor:
    def test_defaults_and_repr(self):
        s = Slide()
        assert (s.title, s.notes) == (None, None)
        assert repr(s) == "write.Slide(title=None, body=0, blocks=0, shapes=0)"
        s = Slide("Agenda", notes='say "hi"')
        assert repr(s) == 'write.Slide(title=Some("Agenda"), body=0, blocks=0, shapes=0)'
        assert s.notes == 'say "hi"'

    def test_layout_words(self):
        content = parts(Presentation().add(Slide(layout="content")))["ppt/slides/_rels/slide1.xml.rels"]
        full = parts(Presentation().add(Slide(layout="title_and_content")))["ppt/slides/_rels/slide1.xml.rels"]
        assert content == full
        with pytest.raises(ValueError) as e:
            Slide(layout="Content")
        assert str(e.value) == 'unknown layout "Content"; use title, title_and_content, title_only or blank'

    def test_type_errors_before_layout_errors(self):
        for bad in (None, 1):
            with pytest.raises(TypeError, match="argument 'hidden'"):
                Slide(hidden=bad)
        with pytest.raises(TypeError, match="argument 'hidden'"):
            Slide(layout="nope", hidden="yes")
        with pytest.raises(TypeError, match="argument 'background'"):
            Slide(background="dark1")
        with pytest.raises(TypeError):
            Slide("t", "subtitle")


class TestBuilders:
    def test_chaining_and_levels(self):
        s = Slide("t")
        assert s.bullet("a") is s
        assert s.bullet("a").bullet("b", 1) is s
        assert repr(s) == 'write.Slide(title=Some("t"), body=3, blocks=0, shapes=0)'
        assert s.paragraph("p").text_box(0, 0, 1, 1, []).table([["a"]]).picture(png()).block(["x"]) is s
        assert s.columns(["x"]) is s
        assert repr(s) == 'write.Slide(title=Some("t"), body=4, blocks=4, shapes=1)'
        xml = slide_xml(Slide().bullet("deep", 12).bullet("one", level=1))
        assert '<a:pPr lvl="8"/>' in xml and '<a:pPr lvl="1"/>' in xml

    def test_bullet_refusals_leave_the_slide_alone(self):
        s = Slide().bullet([])
        before = repr(s)
        with pytest.raises(OverflowError):
            s.bullet("x", -1)
        with pytest.raises(OverflowError):
            s.bullet("x", 256)
        with pytest.raises(OverflowError):
            s.bullet("x", size=-1)
        with pytest.raises(TypeError, match="argument 'level'"):
            s.bullet("x", None)
        with pytest.raises(ValueError, match="unknown color"):
            s.bullet("x", color="nope")
        with pytest.raises(ValueError, match="unknown color"):
            s.paragraph("x", color="nope", align="nope")
        with pytest.raises(ValueError, match="unknown align"):
            s.paragraph("x", align="nope")
        with pytest.raises(TypeError, match="argument 'align'"):
            s.paragraph("x", align=None)
        assert repr(s) == before

    def test_text_box_lines(self):
        xml = slide_xml(Slide().text_box(1, 1, 4, 2, ["a", "b"]))
        assert texts(xml) == ["a", "b"]
        assert '<a:off x="914400" y="914400"/><a:ext cx="3657600" cy="1828800"/>' in xml
        plain = Slide().text_box(1, 1, 4, 2, ["a"])
        bulleted = Slide().text_box(1, 1, 4, 2, ["a"], bullets=True)
        assert slide_xml(plain) != slide_xml(bulleted)
        s = Slide().text_box(1, 1, 4, 2, [w.Paragraph("x", bullet=False)], color="bad")
        assert repr(s).endswith("shapes=1)")
        with pytest.raises(ValueError):
            s.text_box(1, 1, 4, 2, [w.Paragraph("x"), "y"], color="bad")
        with pytest.raises(TypeError, match="argument 'lines'"):
            s.text_box(1, 1, 4, 2, "a")
        with pytest.raises(TypeError, match="argument 'x'"):
            s.text_box(None, 1, 4, 2, ["a"])
        assert repr(s).endswith("shapes=1)")

    @pytest.mark.parametrize("inches,emu", [(1, EMU), (0.1, 91440), (1 / 3, 304800), (-1, -EMU), (True, EMU)])
    def test_positions_in_inches(self, inches, emu):
        xml = slide_xml(Slide().text_box(inches, 0, 1, 1, ["a"]))
        assert f'<a:off x="{emu}" y="0"/>' in xml

    def test_position_rule(self):
        s = Slide()
        message = "give x, y, w and h together for a fixed position, or none of them to let the layout engine place it"
        for kwargs in (dict(x=1, y=1, w=5), dict(x=1, y=1, w=5, h=None), dict(x=0)):
            with pytest.raises(ValueError) as e:
                s.table([["a"]], **kwargs)
            assert str(e.value) == message
            with pytest.raises(ValueError):
                s.picture(png(), **kwargs)
        with pytest.raises(TypeError, match="argument 'description'"):
            s.picture(png(), x=1, description=5)
        with pytest.raises(TypeError, match="argument 'w'"):
            s.table([["a"]], x=1, w="2")
        assert repr(s) == "write.Slide(title=None, body=0, blocks=0, shapes=0)"
        s.table([["a"]], x=None, y=None, w=None, h=None)
        assert repr(s).endswith("blocks=1, shapes=0)")

    def test_placed_pictures_are_numbered_by_shapes_before(self):
        s = Slide().text_box(0, 0, 1, 1, ["t"]).picture(png(), x=0, y=0, w=2, h=1)
        s.picture(png())
        s.picture(png(), x=0, y=0, w=2, h=1, description="second")
        xml = slide_xml(s)
        assert 'name="Picture 2"' in xml and 'name="Picture 3"' in xml and 'descr="second"' in xml

    def test_columns(self):
        s = Slide()
        with pytest.raises(ValueError) as e:
            s.columns()
        assert str(e.value) == "columns needs at least one block"
        with pytest.raises(TypeError, match="unexpected keyword argument 'key'"):
            s.columns(["a"], key=["b"])
        with pytest.raises(TypeError, match="argument 'columns'"):
            s.columns(["a"], "b")
        assert repr(s).endswith("blocks=0, shapes=0)")
        s.columns(w.Picture(png())).columns(["a"], w.Table([["x"]]))
        assert repr(s).endswith("blocks=2, shapes=0)")


class TestBlocks:
    @pytest.mark.parametrize("block", [[], [[], []], ["a", "b"], [["a", "b"], w.Picture(png())],
                                       [["a"], [w.Paragraph("p")]], [[["a"], ["b"]], ["c"]],
                                       w.Table([["a", "b"], ["c"]]), (("a",),)])
    def test_accepted_forms(self, block):
        assert repr(Slide().block(block)).endswith("blocks=1, shapes=0)")

    @pytest.mark.parametrize("block", ["a", 5, None, ["a", w.Picture(b"")], [["a"], w.Paragraph("p")],
                                       (s for s in ["a"]), w.Paragraph("p"), [1]])
    def test_refused_forms_name_the_argument(self, block):
        s = Slide()
        with pytest.raises(TypeError) as e:
            s.block(block)
        assert str(e.value).startswith("argument 'block': ")
        assert repr(s).endswith("blocks=0, shapes=0)")

    def test_lines_of_a_block_become_bullets_unless_paragraphs(self):
        xml = slide_xml(Slide().block(["a", w.Paragraph("b", align="center")]))
        assert texts(xml) == ["a", "b"] and 'algn="ctr"' in xml

    def test_self_reference_and_depth_are_bounded(self):
        s = Slide()
        loop = []
        loop.append(loop)
        with pytest.raises((RecursionError, TypeError)):
            s.block(loop)
        with pytest.raises((RecursionError, TypeError)):
            s.columns(loop)
        deep = ["a"]
        for _ in range(100000):
            deep = [deep, ["b"]]
        with pytest.raises(RecursionError):
            s.block(deep)
        assert repr(s).endswith("blocks=0, shapes=0)")
        fine = ["a"]
        for _ in range(20):
            fine = [fine, ["b"]]
        s.block(fine)
        assert repr(s).endswith("blocks=1, shapes=0)")

    @pytest.mark.parametrize("via_columns", [False, True])
    def test_nesting_to_the_limit_is_laid_out_and_beyond_refused(self, via_columns):
        def nested(depth):  # "deepest" inside `depth` columns blocks
            block = ["deepest"]
            for _ in range(depth - via_columns):
                block = [block]
            return block
        add = (lambda s, b: s.columns(b)) if via_columns else (lambda s, b: s.block(b))
        s = Slide()
        with pytest.raises(RecursionError):
            add(s, nested(65))
        add(s, nested(64))
        doc = vantrell.Document(data=Presentation().add(s).to_bytes())
        assert doc.slide(0).paragraphs() == ["deepest"]

    def test_a_picture_object_outlives_nothing(self):
        pic = w.Picture(png())
        s = Slide().block(pic).block([["x"], pic])
        del pic
        assert len(parts(Presentation().add(s))) > 0


class TestBorrows:
    def test_float_calling_back_into_the_slide(self):
        s = Slide("t")
        seen = []

        class Sneaky:
            def __float__(self):
                for call in (lambda: s.bullet("x"), lambda: repr(s), lambda: s.title):
                    try:
                        call()
                    except RuntimeError as e:
                        seen.append(str(e))
                return 1.0

        s.text_box(Sneaky(), 0, 1, 1, ["a"])
        assert seen == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
        assert repr(s) == 'write.Slide(title=Some("t"), body=0, blocks=0, shapes=1)'

    def test_index_calling_back_into_the_theme(self):
        t = w.Theme()
        seen = []

        class Byte:
            def __index__(self):
                try:
                    Presentation(theme=t)
                except RuntimeError as e:
                    seen.append(str(e))
                try:
                    t.embed_font(b"x")
                except RuntimeError as e:
                    seen.append(str(e))
                return 7

        t.embed_font([Byte()])
        assert seen == ["Already mutably borrowed", "Already borrowed"]
        assert t.embedded_font_count == 1

    def test_failed_conversion_after_a_callback_leaves_the_slide_unchanged(self):
        s = Slide().bullet("a")

        class Fails:
            def __index__(self):
                repr(s)  # raises: the slide is held by the builder

        with pytest.raises(RuntimeError, match="Already mutably borrowed"):
            s.bullet("x", Fails())
        assert repr(s).endswith("body=1, blocks=0, shapes=0)")


class TestCopies:
    def test_slide_changes_after_add_never_reach_the_deck(self):
        s = Slide("t").bullet("early")
        deck = Presentation()
        assert deck.add(s) is deck
        s.bullet("late")
        assert texts(parts(deck)["ppt/slides/slide1.xml"].decode()) == ["t", "early"]
        deck.add(s)
        assert len(deck) == deck.slide_count == 2
        assert "late" in texts(parts(deck)["ppt/slides/slide2.xml"].decode())

    def test_argument_objects_are_copied(self):
        rows = [["a", "b"]]
        lines = ["x"]
        s = Slide().table(rows, x=0, y=0, w=1, h=1).text_box(0, 0, 1, 1, lines)
        rows[0][0] = "CHANGED"
        lines.append("extra")
        xml = slide_xml(s)
        assert "CHANGED" not in xml and "extra" not in xml

    def test_theme_copied_and_font_applied_to_the_copy(self):
        t = w.Theme(colors={"accent1": "123456"})
        deck = Presentation(theme=t, font="Inter")
        t.embed_font(b"not a font")
        assert (t.major_font, t.minor_font) == ("Calibri", "Calibri")
        theme = parts(deck)["ppt/theme/theme1.xml"].decode()
        assert "123456" in theme and 'typeface="Inter"' in theme

    def test_add_refuses_others(self):
        deck = Presentation()
        with pytest.raises(TypeError, match="argument 'slide'"):
            deck.add("slide")
        with pytest.raises(TypeError, match="argument 'slide'"):
            deck.add(deck)
        assert len(deck) == 0 and repr(deck) == "write.Presentation(slides=0)"


class TestPresentation:
    def test_metadata(self):
        core = parts(Presentation())["docProps/core.xml"].decode()
        assert "<dc:creator>vantrell</dc:creator>" in core and "2000-01-01T00:00:00Z" in core
        core = parts(Presentation(creator="", timestamp="2024-02-29T23:59:59.5+01:00", title="T", subject="S",
                                  keywords="k"))["docProps/core.xml"].decode()
        assert "<dc:creator></dc:creator>" in core or "<dc:creator/>" in core
        assert ">2024-02-29T23:59:59.5+01:00<" in core and ">T<" in core and ">S<" in core and ">k<" in core
        assert parts(Presentation(creator=None))["docProps/core.xml"] == parts(Presentation())["docProps/core.xml"]

    def test_arguments_are_keyword_only(self):
        with pytest.raises(TypeError):
            Presentation("x")
        with pytest.raises(TypeError, match="argument 'title'"):
            Presentation(title=b"x")
        assert Presentation.__text_signature__ == (
            "(*, size=..., theme=None, font=None, title=None, creator=None, subject=None, keywords=None, "
            "timestamp=None)")


class TestSerialising:
    def deck(self):
        return (Presentation(title="T")
                .add(Slide("One", notes="n").bullet("a").picture(png()).table([["h1", "h2"], ["c1", "c2"]]))
                .add(Slide("Two", background=w.Background.linear("dark1", "accent1"))))

    def test_deterministic_and_equal_to_save(self, tmp_path):
        deck = self.deck()
        data = deck.to_bytes()
        assert data == deck.to_bytes() == self.deck().to_bytes()
        target = tmp_path / "deck.pptx"
        assert deck.save(target) is None
        assert target.read_bytes() == data
        deck.save(str(target))
        assert target.read_bytes() == data
        assert zipfile.ZipFile(target).testzip() is None

    @pytest.mark.parametrize("build,message", [
        (lambda: Presentation().add(Slide().picture(b"")), "unsupported image format for picture 1"),
        (lambda: Presentation().add(Slide().picture(png()).block(w.Picture(b"GIF7"))),
         "unsupported image format for picture 2"),
        (lambda: Presentation().add(Slide().table([["a", "b"], ["c", "d"], ["e"]])),
         "table row 2 has 1 cells but the table has 2 columns"),
        (lambda: Presentation().add(Slide(background=w.Background.picture(b"nope"))),
         "unsupported image format for background picture"),
        (lambda: Presentation(theme=w.Theme(background=w.Background.picture(b""))),
         "unsupported image format for background picture"),
        (lambda: Presentation(theme=w.Theme().embed_font(b"junk")),
         "unsupported font: not a TrueType or OpenType font"),
    ])
    def test_writer_errors(self, build, message, tmp_path):
        deck = build()
        with pytest.raises(vantrell.PptxError) as e:
            deck.to_bytes()
        assert e.value.args == (message,)
        target = tmp_path / "old.pptx"
        target.write_bytes(b"old")
        with pytest.raises(vantrell.PptxError) as e:
            deck.save(target)
        assert e.value.args == (message,)
        assert target.read_bytes() == b"old"
        assert os.listdir(tmp_path) == ["old.pptx"]

    def test_lock_released_while_a_large_deck_serialises(self):
        noise = os.urandom(1 << 20)
        deck = Presentation()
        for i in range(24):
            deck.add(Slide(f"s{i}").picture(png() + noise))
        done = threading.Event()
        result = {}

        def work():
            result["bytes"] = deck.to_bytes()
            done.set()

        thread = threading.Thread(target=work)
        thread.start()
        # Adds made before the worker takes its borrow succeed; once it holds
        # the deck they are refused at once, while reads keep working.
        progress, added, refused = 0, 0, []
        while not done.is_set():
            progress += 1
            assert repr(deck) == f"write.Presentation(slides={24 + added})"
            try:
                deck.add(Slide())
                added += 1
            except RuntimeError as e:
                refused.append(str(e))
        thread.join()
        assert progress > 10
        assert refused and set(refused) == {"Already borrowed"}
        assert len(deck) == 24 + added
        assert zipfile.ZipFile(io.BytesIO(result["bytes"])).testzip() is None


class TestSave:
    def test_path_forms(self, tmp_path):
        deck = Presentation()
        with pytest.raises(TypeError, match="argument 'path'"):
            deck.save(bytes(tmp_path / "a.pptx"))
        with pytest.raises(TypeError, match="argument 'path'"):
            deck.save(5)

        class FsPath:
            def __fspath__(self):
                return str(tmp_path / "b.pptx")
        deck.save(FsPath())
        assert (tmp_path / "b.pptx").exists()

    def test_embedded_nul_is_refused_not_truncated(self, tmp_path):
        with pytest.raises(vantrell.PptxError) as e:
            Presentation().save(str(tmp_path / "a.pptx") + "\0.txt")
        assert str(e.value) == "io: file name contained an unexpected NUL byte"
        assert os.listdir(tmp_path) == []

    def test_missing_folder(self, tmp_path):
        with pytest.raises(vantrell.PptxError) as e:
            Presentation().save(tmp_path / "nope" / "a.pptx")
        assert str(e.value).startswith("io: ")

    def test_replaces_whole_or_not_at_all(self, tmp_path):
        target = tmp_path / "deck.pptx"
        target.write_bytes(b"old")
        Presentation().add(Slide("new")).save(target)
        assert target.read_bytes().startswith(b"PK")
        assert os.listdir(tmp_path) == ["deck.pptx"]
        # A directory in the way: the rename fails and nothing is left behind.
        blocked = tmp_path / "blocked.pptx"
        blocked.mkdir()
        (blocked / "keep").write_text("x")
        with pytest.raises(vantrell.PptxError, match="^io: "):
            Presentation().save(blocked)
        assert (blocked / "keep").read_text() == "x"
        assert sorted(os.listdir(tmp_path)) == ["blocked.pptx", "deck.pptx"]

    def test_relative_path_in_working_folder(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        Presentation().save("rel.pptx")
        assert os.listdir(".") == ["rel.pptx"]


class TestSubmodule:
    def test_import_forms_and_names(self):
        import vantrell._vantrell as ext
        import vantrell._vantrell.write as direct
        assert direct is w is ext.write is sys.modules["vantrell._vantrell.write"]
        assert ext.__all__[-1] == "write"
        for name in ("Presentation", "Slide", "Paragraph", "Run", "Theme", "Background", "Picture", "Table"):
            cls = getattr(w, name)
            assert cls.__module__ == "vantrell.write" and cls.__qualname__ == name

    def test_docs(self):
        assert Slide.bullet.__text_signature__ == "($self, text, level=0, *, bold=False, italic=False, size=None, color=None)"
        assert Slide.columns.__text_signature__ == "($self, *columns)"
        assert Presentation.to_bytes.__doc__ == "The `.pptx` bytes."
        assert w.Theme.sizes.__doc__ == "Font sizes in points by name."
        assert w.Theme.name.__doc__ is None
        assert w.Paragraph.text.__doc__ == "The runs' text joined."
