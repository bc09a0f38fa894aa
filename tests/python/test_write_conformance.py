"""Fine points of vantrell.write: which failure wins when several could, how
argument forms are told apart, and what a save leaves behind."""
import os

import pytest

import vantrell.write as w


class TestSizeForms:
    @pytest.mark.parametrize("size", [(10**400, 7.5), (7.5, -10**400)])
    def test_inch_pair_that_does_not_fit_a_float_is_no_size(self, size):
        with pytest.raises(TypeError) as e:
            w.Presentation(size=size)
        assert str(e.value).startswith("argument 'size': ")
        with pytest.raises(TypeError, match="^argument 'size': "):
            w.from_markdown("# a", size=size)

    def test_refusing_float_conversion_is_no_size(self):
        class Refuses:
            def __float__(self):
                raise ValueError("no inches here")

        with pytest.raises(TypeError, match="^argument 'size': .*no inches here"):
            w.Presentation(size=(Refuses(), 7.5))

    def test_other_failures_pass_through(self):
        class Interrupts:
            def __float__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            w.Presentation(size=(Interrupts(), 7.5))


class TestBindingBeforeBorrowing:
    """A call that cannot bind its arguments is a TypeError even while the
    object is held by a builder further up the stack; one that binds meets
    the borrow."""

    def reenter(self, calls):
        s = w.Slide("t")
        seen = []

        class Inches:
            def __float__(self):
                for call in calls:
                    try:
                        call(s)
                    except (TypeError, RuntimeError, ValueError) as e:
                        seen.append((type(e).__name__, str(e)))
                return 1.0

        s.text_box(Inches(), 0, 1, 1, ["a"])
        assert repr(s) == 'write.Slide(title=Some("t"), body=0, blocks=0, shapes=1)'
        return seen

    def test_slide_builders(self):
        seen = self.reenter([
            lambda s: s.bullet(),
            lambda s: s.paragraph("x", colour="red"),
            lambda s: s.columns(["a"], key=["b"]),
            lambda s: s.bullet("x"),
            lambda s: s.columns(),
        ])
        assert seen == [
            ("TypeError", "Slide.bullet() missing 1 required positional argument: 'text'"),
            ("TypeError", "Slide.paragraph() got an unexpected keyword argument 'colour'"),
            ("TypeError", "Slide.columns() got an unexpected keyword argument 'key'"),
            ("RuntimeError", "Already borrowed"),
            ("RuntimeError", "Already borrowed"),
        ]

    def test_theme_modifiers(self):
        t = w.Theme()
        seen = []

        class Byte:
            def __index__(self):
                for call in (lambda: t.embed_font(), lambda: t.layout_background("title"),
                             lambda: t.embed_font(b"x")):
                    try:
                        call()
                    except (TypeError, RuntimeError) as e:
                        seen.append(type(e).__name__)
                return 1

        t.embed_font([Byte()])
        assert seen == ["TypeError", "TypeError", "RuntimeError"]
        assert t.embedded_font_count == 1


class TestSaveReplacesInPlace:
    """A save replaces the file whole, yet leaves what a plain write to the
    path would leave: the file's permissions and any link leading to it."""

    def test_permissions_of_the_replaced_file_are_kept(self, tmp_path):
        target = tmp_path / "private.pptx"
        target.write_bytes(b"old")
        target.chmod(0o600)
        w.Presentation().save(target)
        assert target.read_bytes().startswith(b"PK")
        assert target.stat().st_mode & 0o7777 == 0o600
        fresh = tmp_path / "fresh.pptx"
        w.Presentation().save(fresh)
        assert fresh.stat().st_mode & 0o777 == 0o666 & ~current_umask()

    def test_a_link_is_written_through(self, tmp_path):
        (tmp_path / "real").mkdir()
        real = tmp_path / "real" / "deck.pptx"
        real.write_bytes(b"old")
        link = tmp_path / "link.pptx"
        link.symlink_to(real)
        data = w.Presentation().add(w.Slide("x")).to_bytes()
        w.Presentation().add(w.Slide("x")).save(link)
        assert link.is_symlink() and real.read_bytes() == data
        assert sorted(p.name for p in tmp_path.iterdir()) == ["link.pptx", "real"]
        assert [p.name for p in (tmp_path / "real").iterdir()] == ["deck.pptx"]


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
