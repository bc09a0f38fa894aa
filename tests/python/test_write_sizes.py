"""Slide and font sizes a package cannot hold are refused where they are
given; the extremes it can hold are written and check clean."""
import io
import re
import zipfile

import pytest

import vantrell
import vantrell.write as w
from slidedeck import PNG

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
    # A slide an inch high leaves the master's body no room, not less.
    assert not re.search(r' (cx|cy|w|h)="-', parts)


# Positions and sizes of placed shapes as a drawing can hold them, in EMU.
LOW, HIGH = -27273042329600, 27273042316900
POS, EXT = "must be from -29826161.77 to 29826161.76 inches", "must be from 0 to 29826161.76 inches"
PLACED = {"text_box": lambda s, b: s.text_box(*b.values(), ["t"]), "table": lambda s, b: s.table([["a"]], **b),
          "picture": lambda s, b: s.picture(PNG, **b)}


@pytest.mark.parametrize("place", PLACED.values(), ids=PLACED.keys())
@pytest.mark.parametrize("box,message", [
    (dict(w=-2), f"w -2.0 {EXT}"),
    (dict(h=-1 / 914400), f"h -1.0936132983377078e-06 {EXT}"),
    (dict(w=INF), f"w inf {EXT}"),
    (dict(h=NAN), f"h nan {EXT}"),
    (dict(w=HIGH / 914400 + 1e-5), f"w 29826161.763898887 {EXT}"),
    (dict(x=1e12), f"x 1000000000000.0 {POS}"),
    (dict(y=-INF), f"y -inf {POS}"),
    (dict(x=NAN), f"x nan {POS}"),
    (dict(y=(LOW - 1) / 914400), f"y -29826161.77777887 {POS}"),
    # Every value is converted before any is checked, in signature order.
    (dict(x=NAN, w=-1), f"x nan {POS}"),
    (dict(w=-1, h=NAN), f"w -1.0 {EXT}"),
    # Zero sizes, negative positions and the bounds themselves are written.
    (dict(w=0, h=0), None),
    (dict(x=-2, y=-0.5), None),
    (dict(x=HIGH / 914400, y=LOW / 914400, w=HIGH / 914400, h=HIGH / 914400), None),
])
def test_boxes(place, box, message):
    s, box = w.Slide("t"), dict(x=0, y=0, w=1, h=1) | box
    if message is None:
        xml = zipfile.ZipFile(io.BytesIO(w.Presentation().add(place(s, box)).to_bytes())).read("ppt/slides/slide1.xml")
        emu = [round(v * 914400) for v in box.values()]
        assert '<a:off x="{}" y="{}"/><a:ext cx="{}" cy="{}"/>'.format(*emu) in xml.decode()
        return
    with pytest.raises(ValueError) as e:
        place(s, box)
    assert str(e.value) == message and repr(s).endswith("shapes=0)")


GOOD_STAMPS = ["2024", "2024-02", "2024-02-29", "2024-05-01T10:00:00Z", "2000-01-01T00:00:00.123456-05:30",
               "9999-12-31T23:59:59+14:00"]


@pytest.mark.parametrize("stamp", GOOD_STAMPS + [
    "yesterday", "", "0000", "24", "2023-02-29", "2024-13", "2024-04-31", "2024-05-01T10:00Z",
    "2024-05-01T10:00:00", "2024-05-01T24:00:00Z", "2024-05-01T10:60:00Z", "2024-05-01T10:00:60Z",
    "2024-05-01T10:00:00.Z", "2024-05-01T10:00:00+14:30", "2024-05-01T10:00:00+0100", "2024-05-01 10:00:00Z",
    "2024-05-01T10:00:00Z ", "２０２４",
])
def test_timestamps(stamp):
    if stamp in GOOD_STAMPS:
        core = zipfile.ZipFile(io.BytesIO(w.Presentation(timestamp=stamp).to_bytes())).read("docProps/core.xml")
        assert f'<dcterms:created xsi:type="dcterms:W3CDTF">{stamp}<' in core.decode()
        return
    with pytest.raises(ValueError) as e:
        w.Presentation(timestamp=stamp)
    assert str(e.value).startswith(f'timestamp "{stamp}" must be a W3CDTF date: YYYY, ')
