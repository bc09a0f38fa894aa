"""What paragraphs inherit from their layout and master, and chart numbers
shown by their format codes, as text() and markdown() render them."""
import pytest

import vantrell
from deckkit import CLR_MAP, DECL, NS, rels
from slidedeck import C, GROUP_HEAD, Slide, chart_frame, make, para, sp

NONE = "<a:buNone/>"


def char(c):
    return f'<a:buFont typeface="Arial"/><a:buChar char="{c}"/>'


def lvl(n, bullet):
    return f'<a:lvl{n}pPr marL="0">{bullet}<a:defRPr/></a:lvl{n}pPr>'


def styled(sid, ph, *paras, lst=""):
    """A placeholder (or, with ph None, a text box) with its own list style."""
    nv = f"<p:nvPr><p:ph {ph}/></p:nvPr>" if ph is not None else "<p:nvPr/>"
    return (f'<p:sp><p:nvSpPr><p:cNvPr id="{sid}" name="S{sid}"/><p:cNvSpPr/>{nv}</p:nvSpPr><p:spPr/>'
            f'<p:txBody><a:bodyPr/><a:lstStyle>{lst}</a:lstStyle>{"".join(paras) or "<a:p/>"}</p:txBody></p:sp>')


def tree(root, shapes, tail=""):
    return (DECL + f"<p:{root} {NS}><p:cSld><p:spTree>{GROUP_HEAD}{shapes}</p:spTree></p:cSld>{tail}"
            f"</p:{root}>").encode()


def master(body_style):
    styles = (f"<p:txStyles><p:titleStyle>{lvl(1, NONE)}</p:titleStyle><p:bodyStyle>{body_style}</p:bodyStyle>"
              "<p:otherStyle/></p:txStyles>")
    return tree("sldMaster", styled(2, 'type="title"') + styled(3, 'type="body" idx="1"'),
                CLR_MAP + '<p:sldLayoutIdLst><p:sldLayoutId id="2147483649" r:id="rId1"/></p:sldLayoutIdLst>'
                + styles)


LAYOUTS = {
    1: styled(2, 'type="title"') + styled(3, 'idx="1"'),                           # title and content
    2: styled(2, 'type="title"') + styled(3, 'type="body" idx="1"', lst=lvl(1, NONE)),  # section header
    3: styled(3, 'type="body" idx="1"', lst=lvl(1, '<a:buAutoNum type="arabicPeriod"/>')),
}


def styled_deck(slides, body_style=lvl(1, char("\u2022")) + lvl(2, char("\u2013"))):
    extra = {"ppt/slideMasters/slideMaster1.xml": master(body_style)}
    for n, shapes in LAYOUTS.items():
        extra[f"ppt/slideLayouts/slideLayout{n}.xml"] = tree("sldLayout", shapes)
        extra[f"ppt/slideLayouts/_rels/slideLayout{n}.xml.rels"] = rels(
            ("rId1", "slideMaster", "../slideMasters/slideMaster1.xml"))
    return vantrell.Document(data=make(slides, extra=extra))


SUB = '<a:pPr lvl="1"/>'

SLIDES = [
    Slide(styled(2, 'type="title"', para("Agenda"))
          + styled(3, 'idx="1"', para("Growth"), para(SUB, "Europe"), para("Costs")), layout=1),
    Slide(styled(2, 'type="title"', para("Part two")) + styled(3, 'type="body" idx="1"', para("Section Header")),
          layout=2),
    Slide(styled(3, 'type="body" idx="1"', para("First"), para("Second")), layout=3),
    Slide(styled(4, None, para("A note")) + styled(3, 'idx="1"', para('<a:pPr><a:buNone/></a:pPr>', "Plain"),
                                                    para('<a:pPr><a:buChar char="*"/></a:pPr>', "Starred")),
          layout=1),
]


def test_bullets_follow_layout_and_master():
    assert styled_deck(SLIDES).markdown() == (
        "# Agenda\n\n- Growth\n  - Europe\n- Costs\n\n---\n\n"
        "# Part two\n\nSection Header\n\n---\n\n"
        "# Slide 3\n\n1. First\n2. Second\n\n---\n\n"
        "# Slide 4\n\nA note\n\nPlain\n\n- Starred\n")


def test_master_without_first_level_bullets():
    deck = styled_deck(SLIDES[:1], body_style=lvl(1, NONE) + lvl(2, char("\u2013")))
    assert deck.markdown() == "# Agenda\n\nGrowth\n\n- Europe\n\nCosts\n"


def test_the_model_keeps_bullets_as_written():
    slide = styled_deck(SLIDES).slide(1)
    body = [s for s in slide.shapes() if s.name == "S3"][0]
    assert [p.bullet for p in body.paragraphs] == ["inherited"]


def chart_xml(date1904=False):
    def cache(tag, kind, code, points):
        pts = "".join(f'<c:pt idx="{i}"{attrs}><c:v>{v}</c:v></c:pt>' for i, (v, attrs) in enumerate(points))
        fmt = f"<c:formatCode>{code}</c:formatCode>" if code is not None else ""
        return f"<c:{tag}><c:{kind}Ref><c:f>S!A1</c:f><c:{kind}Cache>{fmt}<c:ptCount val=\"{len(points)}\"/>" \
               f"{pts}</c:{kind}Cache></c:{kind}Ref></c:{tag}>"

    cats = cache("cat", "num", "mmm\\-yy", [("45292", ""), ("45323", "")])
    share = cache("val", "num", "0.0%", [("0.10000000000000001", ""), ("4.0000000000000029E-2", ' formatCode="0.00"')])
    plain = cache("val", "num", None, [("8.1999999999999993", ""), ("n/a", "")])
    series = "".join(f'<c:ser><c:idx val="{i}"/><c:tx><c:v>{name}</c:v></c:tx>{cats}{vals}</c:ser>'
                     for i, (name, vals) in enumerate([("Share", share), ("Plain", plain)]))
    flag = '<c:date1904 val="1"/>' if date1904 else ""
    return (DECL + f'<c:chartSpace xmlns:c="{C}">{flag}<c:chart><c:plotArea><c:barChart>{series}'
            "</c:barChart></c:plotArea></c:chart></c:chartSpace>").encode()


@pytest.mark.parametrize("date1904, months", [(False, ("2024-01", "2024-02")), (True, ("2028-01", "2028-02"))])
def test_chart_numbers_by_format_code(date1904, months):
    deck = vantrell.Document(data=make([Slide(
        chart_frame(2, "Chart", "rIdC"), rels=[("rIdC", "chart", "../charts/chart1.xml")],
        parts={"ppt/charts/chart1.xml": chart_xml(date1904)})]))
    jan, feb = months
    assert deck.text() == f"Share\n{jan}: 10.0%\n{feb}: 0.04\nPlain\n{jan}: 8.2\n{feb}: n/a"
    assert deck.markdown().endswith(
        f"| Category | Share | Plain |\n| --- | --- | --- |\n| {jan} | 10.0% | 8.2 |\n| {feb} | 0.04 | n/a |\n")
    series = deck.slide(0).charts()[0].series
    assert series[0].values == ["0.10000000000000001", "4.0000000000000029E-2"]
    assert series[0].categories == ["45292", "45323"]
