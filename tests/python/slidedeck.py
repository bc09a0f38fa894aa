"""Decks of several slides with chosen shapes, built on deckkit's minimal deck.

`make()` takes one `Slide` per slide (its spTree content and extra
relationships and parts) and returns the zipped deck. The shape helpers
write the markup of one shape each.
"""
from dataclasses import dataclass, field

import deckkit
from deckkit import A, DECL, NS, PML_CT, R, rels

C = "http://schemas.openxmlformats.org/drawingml/2006/chart"
DGM = "http://schemas.openxmlformats.org/drawingml/2006/diagram"
TABLE_URI = "http://schemas.openxmlformats.org/drawingml/2006/table"
OLE_URI = "http://schemas.openxmlformats.org/presentationml/2006/ole"
P14 = "http://schemas.microsoft.com/office/powerpoint/2010/main"
MODERN_COMMENTS_RT = "http://schemas.microsoft.com/office/2018/10/relationships/comments"
MODERN_AUTHORS_RT = "http://schemas.microsoft.com/office/2018/10/relationships/authors"
P188 = "http://schemas.microsoft.com/office/powerpoint/2018/8/main"

GROUP_HEAD = ('<p:nvGrpSpPr><p:cNvPr id="1" name=""/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>'
              '<p:grpSpPr/>')


@dataclass
class Slide:
    shapes: str = ""
    rels: list = field(default_factory=list)   # (id, type, target[, mode]) besides the layout
    parts: dict = field(default_factory=dict)  # extra package items, name -> bytes
    show: str = None                            # the `show` attribute, as written
    name: str = None                            # cSld@name
    xml: bytes = None                           # replaces the whole slide part
    layout: int = 1                             # number of its slideLayoutN.xml


def slide_part(s):
    if s.xml is not None:
        return s.xml
    show = f' show="{s.show}"' if s.show is not None else ""
    name = f' name="{s.name}"' if s.name is not None else ""
    return (DECL + f'<p:sld {NS}{show}><p:cSld{name}><p:spTree>{GROUP_HEAD}{s.shapes}'
            '</p:spTree></p:cSld></p:sld>').encode()


def make(slides, *, pres_extra="", sld_ids=None, pres_rels=(), extra=None, remove=()):
    """A deck with one part per slide. `sld_ids` overrides the p:sldIdLst body;
    `pres_extra` goes after p:notesSz (extension lists, for instance)."""
    d = deckkit.parts()
    overrides = [o for o in deckkit.OVERRIDES if o[0] != "/ppt/slides/slide1.xml"]
    pres_items = [("rId1", "slideMaster", "slideMasters/slideMaster1.xml"),
                  ("rId3", "theme", "theme/theme1.xml"), ("rId4", "presProps", "presProps.xml")]
    del d["ppt/slides/slide1.xml"], d["ppt/slides/_rels/slide1.xml.rels"]
    ids = []
    for i, s in enumerate(slides, start=1):
        d[f"ppt/slides/slide{i}.xml"] = slide_part(s)
        d[f"ppt/slides/_rels/slide{i}.xml.rels"] = rels(
            ("rIdL", "slideLayout", f"../slideLayouts/slideLayout{s.layout}.xml"), *s.rels)
        d.update(s.parts)
        overrides.append((f"/ppt/slides/slide{i}.xml", PML_CT + "slide+xml"))
        pres_items.append((f"rIdS{i}", "slide", f"slides/slide{i}.xml"))
        ids.append(f'<p:sldId id="{255 + i}" r:id="rIdS{i}"/>')
    if sld_ids is None:
        sld_ids = "".join(ids)
    d["ppt/presentation.xml"] = (
        DECL + f'<p:presentation {NS}><p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id="rId1"/>'
        f'</p:sldMasterIdLst><p:sldIdLst>{sld_ids}</p:sldIdLst>'
        '<p:sldSz cx="9144000" cy="6858000" type="screen4x3"/><p:notesSz cx="6858000" cy="9144000"/>'
        f'{pres_extra}</p:presentation>').encode()
    d["ppt/_rels/presentation.xml.rels"] = rels(*pres_items, *pres_rels)
    d["[Content_Types].xml"] = deckkit.content_types(
        defaults=[("rels", deckkit.RELS_CT), ("xml", "application/xml"), ("png", "image/png"),
                  ("bin", "application/vnd.openxmlformats-officedocument.oleObject")],
        overrides=overrides)
    d.update(extra or {})
    for name in remove:
        d.pop(name, None)
    return deckkit.build(d)


# ------------------------------------------------------------------ shapes

def run(text, props=""):
    return f"<a:r><a:rPr{props}/><a:t>{text}</a:t></a:r>"


def para(*content, ppr=""):
    """A paragraph from strings (plain runs) and ready-made markup (starting with '<')."""
    body = "".join(c if c.startswith("<") else run(c) for c in content)
    return f"<a:p>{ppr}{body}</a:p>"


def body(*paras):
    return f'<p:txBody><a:bodyPr/><a:lstStyle/>{"".join(paras)}</p:txBody>'


def xfrm(x=1, y=2, cx=3, cy=4, rot=None, tag="a:xfrm"):
    r = f' rot="{rot}"' if rot is not None else ""
    return f'<{tag}{r}><a:off x="{x}" y="{y}"/><a:ext cx="{cx}" cy="{cy}"/></{tag}>'


def c_nv_pr(sid, name, descr=None, hidden=False, hlink=None):
    attrs = f' id="{sid}" name="{name}"'
    if descr is not None:
        attrs += f' descr="{descr}"'
    if hidden:
        attrs += ' hidden="1"'
    inner = f'<a:hlinkClick r:id="{hlink}"/>' if hlink else ""
    return f"<p:cNvPr{attrs}>{inner}</p:cNvPr>" if inner else f"<p:cNvPr{attrs}/>"


def sp(sid, name, *paras, ph=None, descr=None, hidden=False, hlink=None, transform=True, text=True):
    """A shape; `ph` is the p:ph attribute text ('' for a bare p:ph)."""
    nv_pr = f"<p:nvPr><p:ph{ph and ' ' + ph}/></p:nvPr>" if ph is not None else "<p:nvPr/>"
    sp_pr = f"<p:spPr>{xfrm()}</p:spPr>" if transform else "<p:spPr/>"
    tx = body(*paras) if text else ""
    return (f"<p:sp><p:nvSpPr>{c_nv_pr(sid, name, descr, hidden, hlink)}<p:cNvSpPr/>{nv_pr}</p:nvSpPr>"
            f"{sp_pr}{tx}</p:sp>")


def pic(sid, name, embed=None, link=None, descr=None):
    attrs = (f' r:embed="{embed}"' if embed else "") + (f' r:link="{link}"' if link else "")
    return (f'<p:pic><p:nvPicPr>{c_nv_pr(sid, name, descr)}<p:cNvPicPr/><p:nvPr/></p:nvPicPr>'
            f'<p:blipFill><a:blip{attrs}/><a:stretch><a:fillRect/></a:stretch></p:blipFill>'
            f'<p:spPr>{xfrm()}</p:spPr></p:pic>')


def grp(sid, name, *children):
    return (f'<p:grpSp><p:nvGrpSpPr>{c_nv_pr(sid, name)}<p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>'
            f'<p:grpSpPr>{xfrm()}</p:grpSpPr>{"".join(children)}</p:grpSp>')


def frame(sid, name, uri, data, descr=None):
    return (f'<p:graphicFrame><p:nvGraphicFramePr>{c_nv_pr(sid, name, descr)}<p:cNvGraphicFramePr/><p:nvPr/>'
            f'</p:nvGraphicFramePr>{xfrm(tag="p:xfrm")}<a:graphic><a:graphicData uri="{uri}">{data}'
            '</a:graphicData></a:graphic></p:graphicFrame>')


def cell(*paras, attrs=""):
    return f'<a:tc{attrs}><a:txBody><a:bodyPr/>{"".join(paras) or "<a:p/>"}</a:txBody><a:tcPr/></a:tc>'


def table(sid, name, widths, rows):
    """`rows` is a list of (height, [cell markup])."""
    grid = "".join(f'<a:gridCol w="{w}"/>' for w in widths)
    body_ = "".join(f'<a:tr h="{h}">{"".join(cells)}</a:tr>' for h, cells in rows)
    return frame(sid, name, TABLE_URI, f"<a:tbl><a:tblPr/><a:tblGrid>{grid}</a:tblGrid>{body_}</a:tbl>")


def chart_frame(sid, name, rid, descr=None):
    return frame(sid, name, C, f'<c:chart xmlns:c="{C}" r:id="{rid}"/>', descr)


def diagram_frame(sid, name, dm):
    return frame(sid, name, DGM,
                 f'<dgm:relIds xmlns:dgm="{DGM}" r:dm="{dm}" r:lo="rIdLo" r:qs="rIdQs" r:cs="rIdCs"/>')


def ole_frame(sid, name, rid, prog_id="Package"):
    return frame(sid, name, OLE_URI, f'<p:oleObj progId="{prog_id}" r:id="{rid}"><p:embed/></p:oleObj>')


def chart_part(title="Sales", series=(("East", ["Q1", "Q2"], ["1", "2.5"]),)):
    def cache(tag, items):
        pts = "".join(f'<c:pt idx="{i}"><c:v>{v}</c:v></c:pt>' for i, v in enumerate(items))
        return f"<c:{tag}><c:strRef><c:f>S!A1</c:f><c:strCache><c:ptCount val=\"{len(items)}\"/>{pts}" \
               f"</c:strCache></c:strRef></c:{tag}>"

    def values(items):
        pts = "".join(f'<c:pt idx="{i}"><c:v>{v}</c:v></c:pt>' for i, v in enumerate(items))
        return (f"<c:val><c:numRef><c:f>S!B1</c:f><c:numCache><c:ptCount val=\"{len(items)}\"/>{pts}"
                "</c:numCache></c:numRef></c:val>")

    ser = "".join(
        f'<c:ser><c:idx val="{i}"/><c:order val="{i}"/>'
        f'<c:tx><c:strRef><c:f>S!B1</c:f><c:strCache><c:ptCount val="1"/><c:pt idx="0"><c:v>{n}</c:v></c:pt>'
        f'</c:strCache></c:strRef></c:tx>{cache("cat", cats)}{values(vals)}</c:ser>'
        for i, (n, cats, vals) in enumerate(series))
    title_xml = (f'<c:title><c:tx><c:rich><a:bodyPr/><a:p><a:r><a:t>{title}</a:t></a:r></a:p></c:rich></c:tx>'
                 '</c:title>') if title else ""
    return (DECL + f'<c:chartSpace xmlns:c="{C}" xmlns:a="{A}" xmlns:r="{R}"><c:chart>{title_xml}'
            f'<c:plotArea><c:barChart><c:barDir val="col"/>{ser}</c:barChart></c:plotArea></c:chart>'
            '</c:chartSpace>').encode()


def diagram_data_part(items):
    """A data model whose document point has the given (id, text, parent id or None) points."""
    pts = ['<dgm:pt modelId="doc" type="doc"><dgm:prSet/><dgm:spPr/></dgm:pt>']
    cxns = []
    for order, (pid, text, parent) in enumerate(items):
        pts.append(f'<dgm:pt modelId="{pid}"><dgm:prSet/><dgm:spPr/><dgm:t><a:bodyPr/><a:p><a:r><a:t>{text}'
                   '</a:t></a:r></a:p></dgm:t></dgm:pt>')
        cxns.append(f'<dgm:cxn modelId="c{pid}" srcId="{parent or "doc"}" destId="{pid}" srcOrd="{order}" '
                    'destOrd="0"/>')
    return (DECL + f'<dgm:dataModel xmlns:dgm="{DGM}" xmlns:a="{A}"><dgm:ptLst>{"".join(pts)}</dgm:ptLst>'
            f'<dgm:cxnLst>{"".join(cxns)}</dgm:cxnLst></dgm:dataModel>').encode()


def notes_part(text):
    """A notes page whose body has one paragraph per line of `text`."""
    return (DECL + f'<p:notes {NS}><p:cSld><p:spTree>{GROUP_HEAD}'
            + sp(2, "Slide Image", ph='type="sldImg"', text=False)
            + sp(3, "Notes", *[para(t) for t in text.split("\n")], ph='type="body" idx="1"')
            + '</p:spTree></p:cSld></p:notes>').encode()


PNG = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                    "1f15c4890000000d49444154789c6360000002000001e221bc330000000049454e44ae426082")
