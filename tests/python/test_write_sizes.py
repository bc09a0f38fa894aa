"""Slide and font sizes a package cannot hold are refused where they are
given; the extremes it can hold are written and check clean."""
import io
import re
import zipfile

import pytest

import vantrell
import vantrell.write as w

NAN, INF = float("nan"), float("inf")
SIDES = "must be from 1 to 56 inches on each side"
POINTS = "must be from 1 to 4000 points"
SPACING = "must be from 0 to 1584 points"


@pytest.mark.parametrize("call,message", [
    (lambda: w.Presentation(size=(NAN, 7.5)), f"size (nan, 7.5) {SIDES}"),
    (lambda: w.Presentation(size=(INF, 7.5)), f"size (inf, 7.5) {SIDES}"),
    (lambda: w.Presentation(size=(-5, 7.5)), f"size (-5.0, 7.5) {SIDES}"),
    (lambda: w.Presentation(size=(0, 0)), f"size (0.0, 0.0) {SIDES}"),
    (lambda: w.Presentation(size=(10, 56.001)), f"size (10.0, 56.001) {SIDES}"),
    (lambda: w.Presentation(size=(1 - 1 / 914400, 7.5)), None),
    (lambda: w.from_markdown("# a", size=(7.5, -INF)), f"size (7.5, -inf) {SIDES}"),
    (lambda: w.Run("x", size=0), f"size 0 {POINTS}"),
    (lambda: w.Run("x", size=4001), f"size 4001 {POINTS}"),
    (lambda: w.Run("x", size=2**31 - 1), f"size 2147483647 {POINTS}"),
    (lambda: w.Paragraph("x", size=0), f"size 0 {POINTS}"),
    # Refused even where no plain string would take it.
    (lambda: w.Paragraph([w.Run("x")], size=5000), f"size 5000 {POINTS}"),
    (lambda: w.Slide().bullet("x", size=0), f"size 0 {POINTS}"),
    (lambda: w.Slide().paragraph("x", size=4001), f"size 4001 {POINTS}"),
    (lambda: w.Slide().text_box(0, 0, 1, 1, ["x"], size=0), f"size 0 {POINTS}"),
    (lambda: w.Theme(sizes={"body": 50000}), f'size "body" {POINTS}'),
    (lambda: w.Theme(sizes={"title": 4294967295, "body": 12}), f'size "title" {POINTS}'),
    (lambda: w.Theme(sizes={"minimum": 4001}), f'size "minimum" {POINTS}'),
    (lambda: w.Theme(sizes={"table": 0}), 'size "table" must be positive'),
    (lambda: w.Paragraph("x", space_before=10**6), f"space_before 1000000 {SPACING}"),
    (lambda: w.Paragraph("x", space_after=2**32 - 1), f"space_after 4294967295 {SPACING}"),
    (lambda: w.Paragraph([w.Run("x")], space_before=0, space_after=1585), f"space_after 1585 {SPACING}"),
])
def test_refused_sizes(call, message):
    with pytest.raises(ValueError) as e:
        call()
    if message is not None:
        assert str(e.value) == message
    assert str(e.value).startswith(("size ", "space_"))


def test_type_errors_still_come_first():
    with pytest.raises(TypeError, match="argument 'link'"):
        w.Run("x", size=0, link=3)
    with pytest.raises(TypeError, match="argument 'theme'"):
        w.Presentation(size=(0, 0), theme=1)


def test_refusal_leaves_the_slide_unchanged():
    s = w.Slide("t").bullet("kept")
    with pytest.raises(ValueError):
        s.bullet("x", size=0)
    assert "body=1" in repr(s)


@pytest.mark.parametrize("inches,emu", [((1, 56), (914400, 51206400)), ((56, 1), (51206400, 914400))])
def test_extremes_save_and_check_clean(inches, emu, tmp_path):
    slide = (w.Slide("T").bullet("tiny", size=1).paragraph([w.Run("huge", size=4000)])
             .text_box(0, 0, 1, 1, ["box"], size=4000)
             .text_box(0, 1, 1, 1, [w.Paragraph("spaced", space_before=1584, space_after=0)]))
    theme = w.Theme(sizes=dict.fromkeys(["display", "title", "subtitle", "body", "table", "minimum"], 4000))
    target = tmp_path / "deck.pptx"
    w.Presentation(size=inches, theme=theme).add(slide).save(target)
    data = target.read_bytes()
    assert list(vantrell.check(data=data)) == []
    z = zipfile.ZipFile(io.BytesIO(data))
    assert f'<p:sldSz cx="{emu[0]}" cy="{emu[1]}"' in z.read("ppt/presentation.xml").decode()
    sizes = set(re.findall(r'<a:rPr[^>]* sz="(\d+)"', z.read("ppt/slides/slide1.xml").decode()))
    assert {"100", "400000"} <= sizes
    parts = "".join(z.read(n).decode() for n in z.namelist() if n.endswith(".xml"))
    assert max(int(v) for v in re.findall(r' sz="(\d+)"', parts)) == 400000
    assert max(int(v) for v in re.findall(r'<a:spcPts val="(\d+)"', parts)) <= 158400
