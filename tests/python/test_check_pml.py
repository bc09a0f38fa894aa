"""The PresentationML and core-properties checks from Python.

Each case damages the minimal valid deck of `deckkit` in one way and lists
the exact (code, part, message, location) findings expected for the codes it
names, in report order; findings of other codes are collateral.
"""
import collections
import io
import os
import pathlib
import re
import struct
import zipfile

import pytest

import vantrell
import deckkit as k
import pmlfacts
from deckkit import CORE_RT, PML_CT, build, deck, png, rels

CLEAN = build(k.parts())
PRES = "ppt/presentation.xml"
PRES_RELS = "ppt/_rels/presentation.xml.rels"
MASTER = "ppt/slideMasters/slideMaster1.xml"
MASTER_RELS = "ppt/slideMasters/_rels/slideMaster1.xml.rels"
LAYOUT = "ppt/slideLayouts/slideLayout1.xml"
LAYOUT_RELS = "ppt/slideLayouts/_rels/slideLayout1.xml.rels"
SLIDE = "ppt/slides/slide1.xml"
SLIDE_RELS = "ppt/slides/_rels/slide1.xml.rels"
CORE = "docProps/core.xml"
SLIDE_CT = PML_CT + "slide+xml"
LAYOUT_CT = PML_CT + "slideLayout+xml"
MASTER_CT = PML_CT + "slideMaster+xml"
NOTES_MASTER_CT = PML_CT + "notesMaster+xml"
MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"
OLE_URI = "http://schemas.openxmlformats.org/presentationml/2006/ole"
CP = "http://schemas.openxmlformats.org/package/2006/metadata/core-properties"
CORE_NS = (f'xmlns:cp="{CP}" xmlns:dc="http://purl.org/dc/elements/1.1/" '
           'xmlns:dcterms="http://purl.org/dc/terms/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"')

MASTERS = '<p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id="rId1"/></p:sldMasterIdLst>'
SLIDES = '<p:sldIdLst><p:sldId id="256" r:id="rId2"/></p:sldIdLst>'
SLD_SZ = '<p:sldSz cx="9144000" cy="6858000" type="screen4x3"/>'
NOTES_SZ = '<p:notesSz cx="6858000" cy="9144000"/>'
PRES_ITEMS = [("rId1", "slideMaster", "slideMasters/slideMaster1.xml"), ("rId2", "slide", "slides/slide1.xml"),
              ("rId3", "theme", "theme/theme1.xml"), ("rId4", "presProps", "presProps.xml")]


def found(data, codes):
    return [(f.code, f.part, f.message, f.location) for f in vantrell.check(data=data) if f.code in codes]


def pres(masters=MASTERS, lists="", slides=SLIDES, sld_sz=SLD_SZ, notes_sz=NOTES_SZ, root="p:presentation"):
    return (k.DECL + f'<{root} {k.NS}>{masters}{lists}{slides}{sld_sz}{notes_sz}</{root}>').encode()


def pres_rels(*extra, drop=()):
    return rels(*[i for i in PRES_ITEMS if i[0] not in drop], *extra)


def byte(data, needle, n=1):
    """The location of the n-th occurrence of `needle` in part bytes."""
    pos = -1
    for _ in range(n):
        pos = data.index(needle.encode(), pos + 1)
    return f"byte {pos}"


def slide(body, root="p:sld"):
    return (k.DECL + f'<{root} {k.NS}><p:cSld><p:spTree>{body}</p:spTree></p:cSld></{root}>').encode()


def shape(sid, extra=""):
    return f'<p:sp><p:nvSpPr><p:cNvPr id="{sid}" name="s"{extra}/><p:cNvSpPr/><p:nvPr/></p:nvSpPr></p:sp>'


def pic(embed):
    return (f'<p:pic><p:nvPicPr><p:cNvPr id="7" name="p"/><p:cNvPicPr/><p:nvPr/></p:nvPicPr>'
            f'<p:blipFill><a:blip r:embed="{embed}"/></p:blipFill></p:pic>')


def master(layout_ids):
    return (k.DECL + f'<p:sldMaster {k.NS}>{k.TREE}{k.CLR_MAP}<p:sldLayoutIdLst>{layout_ids}'
            '</p:sldLayoutIdLst></p:sldMaster>').encode()


def core(children, root_attrs="", root="cp:coreProperties", ns=CORE_NS):
    return (k.DECL + f'<{root} {ns}{root_attrs}>{children}</{root}>').encode()


def overrides(*extra, drop=()):
    return k.content_types(None, [o for o in k.OVERRIDES if o[0] not in drop] + list(extra))


def case(cid, changes, codes, expected):
    return pytest.param(build(deck(changes)), set(codes), expected, id=cid)


def expect_in(part, *items):
    """Findings in `part` (an item name) from (code, message, location) triples."""
    return [(c, "/" + part, m, loc) for c, m, loc in items]


# --- the presentation part ---------------------------------------------------

P_SLIDES_IDS = pres(slides='<p:sldIdLst><p:sldId id="255" r:id="rId2"/><p:sldId id="256" r:id="rId2"/>'
                           '<p:sldId id="2147483647" r:id="rId2"/><p:sldId id="2147483648" r:id="rId2"/>'
                           '<p:sldId id="4x" r:id="rId2"/><p:sldId r:id="rId2"/></p:sldIdLst>')
P_REPEATS = pres(slides='<p:sldIdLst><p:sldId id="300" r:id="rId2"/><p:sldId id=" +300 " r:id="rId2"/>'
                        '<p:sldId id="300" r:id="rId2"/><p:sldId id="2147483648" r:id="rId2"/></p:sldIdLst>',
                 masters='<p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id="rId1"/>'
                         '<p:sldMasterId id="2147483648" r:id="rId1"/></p:sldMasterIdLst>')
P_PROBLEMS = pres(masters='<p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id=""/></p:sldMasterIdLst>',
                  slides='<p:sldIdLst><p:sldId id="256"/></p:sldIdLst>', sld_sz='<p:sldSz cx="x" cy="6858000"/>',
                  notes_sz='<p:notesSz cx="6858000"/>')
P_TARGETS = pres(slides='<p:sldIdLst><p:sldId id="256" r:id="rId9"/><p:sldId id="257" r:id="rId5"/>'
                        '<p:sldId id="258" r:id="rId6"/><p:sldId id="259" r:id="rId2"/></p:sldIdLst>')
P_MASTER_IDS = pres(masters='<p:sldMasterIdLst><p:sldMasterId id="2147483647" r:id="rId1"/>'
                            '<p:sldMasterId r:id="rId1"/><p:sldMasterId r:id="rId1"/>'
                            '<p:sldMasterId id="2147483648" r:id="rId1"/></p:sldMasterIdLst>',
                    slides='<p:sldIdLst><p:sldId id="2147483648" r:id="rId2"/></p:sldIdLst>')
P_TYPED = pres(masters='<p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id="rId9"/>'
                       '<p:sldMasterId id="2147483649" r:id="rId2"/><p:sldMasterId id="2147483650" r:id="rId5"/>'
                       '</p:sldMasterIdLst>',
               lists='<p:notesMasterIdLst><p:notesMasterId r:id=""/></p:notesMasterIdLst>'
                     '<p:handoutMasterIdLst><p:handoutMasterId r:id="rId6"/></p:handoutMasterIdLst>')
HANDOUT_RT = k.RT + "/handoutMaster"

PRESENTATION_CASES = [
    case("PML001", {PRES: pres(root="p:sld")}, {"PML001", "PML002", "PML022"},
         expect_in(PRES, ("PML001", "root element is not p:presentation", None))),
    case("PML002-PML022", {PRES: pres(masters="", slides="")}, {"PML002", "PML022"},
         expect_in(PRES, ("PML002", "sldMasterIdLst lists no slide master", None),
                   ("PML022", "the presentation has no slides", None))),
    case("PML003-none", {PRES_RELS: pres_rels(drop={"rId4"})}, {"PML003"},
         expect_in(PRES, ("PML003", "0 presProps relationship(s)", None))),
    case("PML003-two", {PRES_RELS: pres_rels(("rId5", "presProps", "presProps.xml"))}, {"PML003"},
         expect_in(PRES, ("PML003", "2 presProps relationship(s)", None))),
    case("PML003-missing-target-and-external",
         {PRES_RELS: pres_rels(("rId5", "presProps", "https://example.com/p.xml", "External"),
                               ("rId6", "presProps", "nowhere.xml"), drop={"rId4"})},
         {"PML003"}, expect_in(PRES, ("PML003", "0 presProps relationship(s)", None))),
    case("PML004", {PRES: P_SLIDES_IDS}, {"PML004", "PML005"},
         expect_in(PRES, ("PML004", "sldId/@id is 255", byte(P_SLIDES_IDS, "<p:sldId ", 1)),
                   ("PML004", "sldId/@id is 2147483648", byte(P_SLIDES_IDS, "<p:sldId ", 4)),
                   ("PML004", "sldId has no numeric id", byte(P_SLIDES_IDS, "<p:sldId ", 5)),
                   ("PML004", "sldId has no numeric id", byte(P_SLIDES_IDS, "<p:sldId ", 6)))),
    # Repeats name the most recent earlier entry; slide and master ids are apart.
    case("PML005-PML009", {PRES: P_REPEATS}, {"PML004", "PML005", "PML008", "PML009"},
         expect_in(PRES,
                   ("PML004", "sldId/@id is 2147483648", byte(P_REPEATS, "<p:sldId ", 4)),
                   ("PML005", "sldId/@id 300 repeats the id at byte " + byte(P_REPEATS, "<p:sldId ", 1)[5:],
                    byte(P_REPEATS, "<p:sldId ", 2)),
                   ("PML005", "sldId/@id 300 repeats the id at byte " + byte(P_REPEATS, "<p:sldId ", 2)[5:],
                    byte(P_REPEATS, "<p:sldId ", 3)),
                   ("PML009", "sldMasterId/@id 2147483648 repeats the id at byte "
                    + byte(P_REPEATS, "<p:sldMasterId ", 1)[5:], byte(P_REPEATS, "<p:sldMasterId ", 2)))),
    case("PML006-problems", {PRES: P_PROBLEMS}, {"PML006", "PML010", "PML011", "PML012", "PML002", "PML022"},
         expect_in(PRES,
                   ("PML002", "sldMasterIdLst lists no slide master", None),
                   ("PML006", "sldMasterId without r:id", byte(P_PROBLEMS, "<p:sldMasterId ")),
                   ("PML006", "sldId without r:id", byte(P_PROBLEMS, "<p:sldId ")),
                   ("PML006", "sldSz without numeric cx and cy", byte(P_PROBLEMS, "<p:sldSz ")),
                   ("PML006", "notesSz without numeric cx and cy", byte(P_PROBLEMS, "<p:notesSz ")),
                   ("PML012", "notesSz is missing", None),
                   ("PML022", "the presentation has no slides", None))),
    case("PML006-PML007-targets",
         {PRES: P_TARGETS,
          PRES_RELS: rels(("rId1", "slideMaster", "slideMasters/slideMaster1.xml"),
                          ("rId2", "slide", "slideLayouts/slideLayout1.xml"), ("rId4", "presProps", "presProps.xml"),
                          ("rId5", "slide", "slides/missing.xml"),
                          ("rId6", "slide", "https://example.com/s.xml", "External"))},
         {"PML006", "PML007"},
         [("PML006", "/" + PRES, "sldId r:id rId9 is not a relationship of the presentation",
           byte(P_TARGETS, "<p:sldId ", 1)),
          ("PML006", "/" + PRES, "sldId r:id rId5 targets slides/missing.xml, which does not exist",
           byte(P_TARGETS, "<p:sldId ", 2)),
          ("PML006", "/" + PRES, "sldId r:id rId6 targets https://example.com/s.xml, which does not exist",
           byte(P_TARGETS, "<p:sldId ", 3)),
          ("PML007", "/" + LAYOUT, "content type is " + LAYOUT_CT, None)]),
    # One long content type, quoted by every listing of its slide.
    case("PML007-long-content-type",
         {PRES: pres(slides="<p:sldIdLst>" + "".join(f'<p:sldId id="{256 + i}" r:id="rId2"/>' for i in range(3))
                     + "</p:sldIdLst>"),
          "[Content_Types].xml": overrides(("/" + SLIDE, "application/x-" + "t" * 300), drop={"/" + SLIDE})},
         {"PML007"}, [("PML007", "/" + SLIDE, "content type is application/x-" + "t" * 242 + "... (314 bytes)",
                       None)] * 3),
    case("PML007-kind-only",
         {PRES_RELS: rels(("rId1", "slideMaster", "slideMasters/slideMaster1.xml"),
                          ("rId2", "notesSlide", "slides/slide1.xml"), ("rId4", "presProps", "presProps.xml"))},
         {"PML007"},
         expect_in(PRES, ("PML007", "relationship rId2 is not of the slide type", byte(pres(), "<p:sldId ")))),
    case("PML008-master", {PRES: P_MASTER_IDS}, {"PML004", "PML008", "PML009"},
         expect_in(PRES, ("PML004", "sldId/@id is 2147483648", byte(P_MASTER_IDS, "<p:sldId ")),
                   ("PML008", "sldMasterId/@id is 2147483647", byte(P_MASTER_IDS, "<p:sldMasterId ")))),
    case("PML010-low-high", {PRES: pres(sld_sz='<p:sldSz cx="914399" cy="51206401"/>')}, {"PML010", "PML011"},
         expect_in(PRES, ("PML010", "sldSz/@cx is 914399", None), ("PML010", "sldSz/@cy is 51206401", None))),
    case("PML010-bounds", {PRES: pres(sld_sz='<p:sldSz cx="914400" cy="51206400"/>')}, {"PML010", "PML011"}, []),
    case("PML011-4x3", {PRES: pres(sld_sz='<p:sldSz cx="12192000" cy="6858000" type="screen4x3"/>')},
         {"PML010", "PML011"},
         expect_in(PRES, ("PML011", "sldSz/@type is screen4x3 but cx:cy is 12192000:6858000", None))),
    case("PML011-cy-zero", {PRES: pres(sld_sz='<p:sldSz cx="9144000" cy="0" type="screen16x10"/>')},
         {"PML010", "PML011"},
         expect_in(PRES, ("PML010", "sldSz/@cy is 0", None),
                   ("PML011", "sldSz/@type is screen16x10 but cx:cy is 9144000:0", None))),
    case("PML011-untested-types",
         {PRES: pres(sld_sz='<p:sldSz cx="12192000" cy="6858000" type="Screen4x3"/>')}, {"PML011"}, []),
    case("PML011-16x9-within-tolerance",
         {PRES: pres(sld_sz='<p:sldSz cx="12192000" cy="6858000" type="screen16x9"/>')}, {"PML011"}, []),
    case("PML012", {PRES: pres(notes_sz="")}, {"PML012"}, expect_in(PRES, ("PML012", "notesSz is missing", None))),
    case("PML013", {PRES_RELS: pres_rels(("rId5", "notesMaster", "notesMasters/notesMaster1.xml"))}, {"PML013"},
         expect_in(PRES, ("PML013", "a notesMaster relationship exists but notesMasterIdLst is absent", None))),
    case("PML021",
         {PRES: P_TYPED,
          PRES_RELS: pres_rels(("rId5", "slideMaster", "slideMasters/missing.xml"),
                               ("rId6", HANDOUT_RT, "slideMasters/slideMaster1.xml"))},
         {"PML021", "PML013"},
         [("PML021", "/" + PRES, "sldMasterId r:id rId9 is not a relationship of the presentation",
           byte(P_TYPED, "<p:sldMasterId ", 1)),
          ("PML021", "/" + PRES, f"sldMasterId relationship rId2 has type {k.RT}/slide",
           byte(P_TYPED, "<p:sldMasterId ", 2)),
          ("PML021", "/" + PRES, "sldMasterId r:id rId5 targets slideMasters/missing.xml, which does not exist",
           byte(P_TYPED, "<p:sldMasterId ", 3)),
          ("PML021", "/" + PRES, "notesMasterId r:id  is not a relationship of the presentation", "notesMasterIdLst"),
          ("PML021", "/ppt/slideMasters/slideMaster1.xml",
           "handoutMasterId target has content type " + MASTER_CT, None),
          ("PML021", "/ppt/slides/slide1.xml", "sldMasterId target has content type " + SLIDE_CT, None)]),
]


@pytest.mark.parametrize("data,codes,expected", PRESENTATION_CASES)
def test_presentation_part(data, codes, expected):
    assert found(data, codes) == expected


class TestFindingThePresentation:
    PHASE_ONE = {"PML001", "PML002", "PML003", "PML004", "PML012", "PML022"}

    def test_external_office_document_is_passed_over(self):
        d = deck({"_rels/.rels": rels(("rId0", "officeDocument", "https://example.com/x.xml", "External"),
                                      ("rId1", "officeDocument", "ppt/presentation.xml")),
                  PRES: pres(slides="")})
        assert found(build(d), self.PHASE_ONE) == expect_in(PRES, ("PML022", "the presentation has no slides", None))

    def test_first_internal_candidate_decides(self):
        # The later relationship names an existing part, but the search ends
        # at the first internal one.
        d = deck({"_rels/.rels": rels(("rId0", "officeDocument", "ppt/missing.xml"),
                                      ("rId1", "officeDocument", "ppt/presentation.xml")),
                  PRES: pres(slides="")})
        assert found(build(d), self.PHASE_ONE) == []

    def test_unparsable_presentation_ends_phase_one_silently(self):
        d = deck({PRES: b"<p:presentation xmlns:p='" + k.P.encode() + b"'><p:sldIdLst>"})
        assert found(build(d), self.PHASE_ONE | {"PML014"}) == []

    def test_notes_master_list_without_relationship_is_no_pml013(self):
        p = pres(lists='<p:notesMasterIdLst><p:notesMasterId r:id="rId3"/></p:notesMasterIdLst>')
        got = found(build(deck({PRES: p})), {"PML013", "PML021"})
        assert got == [("PML021", "/" + PRES, f"notesMasterId relationship rId3 has type {k.RT}/theme",
                        "notesMasterIdLst"),
                       ("PML021", "/ppt/theme/theme1.xml", "notesMasterId target has content type "
                        "application/vnd.openxmlformats-officedocument.theme+xml", None)]


# --- part roots, shape ids and references -------------------------------------

S_DUP = slide(shape(4) + shape(" +4 ") + shape("&#52;") + shape("4a") + shape(5) + shape(4))
S_REFS = slide(pic("rId9") + pic("") + pic("a&amp;b")
               + f'<p:sp xmlns:rel="{k.R}"><p:nvSpPr><p:cNvPr id="8" name="h"><a:hlinkClick rel:id="rId1" '
                 'rel:link="rId8"/></p:cNvPr><p:cNvSpPr/><p:nvPr/></p:nvSpPr></p:sp>')
S_MC = slide(f'<mc:AlternateContent xmlns:mc="{MC}" xmlns:x="urn:example">'
             f'<mc:Choice Requires="x">{shape(1)}{pic("rId8")}</mc:Choice>'
             f'<mc:Fallback>{shape(2)}{shape(2)}{pic("rId7")}</mc:Fallback></mc:AlternateContent>')


def ole(frame_id, picture_id):
    """An embedded object's frame whose fallback picture has its own id, as
    PowerPoint writes it (VML is not understood, so the Fallback is walked)."""
    return (f'<p:graphicFrame><p:nvGraphicFramePr><p:cNvPr id="{frame_id}" name="Object"/><p:cNvGraphicFramePr/>'
            f'<p:nvPr/></p:nvGraphicFramePr><a:graphic><a:graphicData uri="{OLE_URI}">'
            f'<mc:AlternateContent xmlns:mc="{MC}"><mc:Choice xmlns:v="urn:schemas-microsoft-com:vml" Requires="v">'
            '<p:oleObj progId="Package"><p:embed/></p:oleObj></mc:Choice><mc:Fallback><p:oleObj progId="Package">'
            f'<p:embed/><p:pic><p:nvPicPr><p:cNvPr id="{picture_id}" name="Object"/><p:cNvPicPr/><p:nvPr/>'
            '</p:nvPicPr></p:pic></p:oleObj></mc:Fallback></mc:AlternateContent></a:graphicData></a:graphic>'
            '</p:graphicFrame>')


S_OLE = slide(ole(5, 0) + ole(6, 0) + ole(7, 7))
# Ids outside a Fallback, a selected Choice included, still count.
S_AROUND = slide(shape(5) + ole(6, 5) + f'<mc:AlternateContent xmlns:mc="{MC}" '
                 'xmlns:p14="http://schemas.microsoft.com/office/powerpoint/2010/main">'
                 f'<mc:Choice Requires="p14">{shape(5)}</mc:Choice><mc:Fallback>{shape(5)}</mc:Fallback>'
                 '</mc:AlternateContent>')
M_LAYOUTS = master('<p:sldLayoutId id="2147483647" r:id="rId9"/><p:sldLayoutId id="2147483648" r:id="rId1"/>'
                   '<p:sldLayoutId r:id="rId3"/><p:sldLayoutId id="x"/>')
NOTES = "ppt/notesSlides/notesSlide1.xml"
NOTES_RELS = "ppt/notesSlides/_rels/notesSlide1.xml.rels"
THEME = "ppt/theme/theme1.xml"

PART_CASES = [
    case("PML014-slide-root", {SLIDE: slide(shape(2), root="p:sldLayout"), SLIDE_RELS: rels()},
         {"PML014", "PML015"},
         expect_in(SLIDE, ("PML014", "root element is p:sldLayout, expected p:sld", None),
                   ("PML015", "slide has no slideLayout relationship", None))),
    case("PML014-theme-root", {THEME: (k.DECL + f'<a:clrScheme xmlns:a="{k.A}" name="x"/>').encode()}, {"PML014"},
         expect_in(THEME, ("PML014", "root element is a:clrScheme, expected a:theme", None))),
    case("PML014-theme-default-namespace", {THEME: (k.DECL + f'<theme xmlns="{k.A}" name="x"/>').encode()},
         {"PML014"}, []),
    case("PML014-content-type-spelling",
         {"[Content_Types].xml": overrides(("/ppt/slides/slide1.xml",
                                            " Application/VND.openxmlformats-officedocument.presentationml.Slide+XML ;"
                                            " charset=utf-8"), drop={"/ppt/slides/slide1.xml"}),
          SLIDE: slide("", root="p:notes")},
         {"PML014"}, expect_in(SLIDE, ("PML014", "root element is p:notes, expected p:sld", None))),
    case("PML014-presentation-root-counts-twice", {PRES: pres(root="p:sld")}, {"PML014"},
         expect_in(PRES, ("PML014", "root element is p:sld, expected p:presentation", None))),
    case("PML015-external-layout-counts",
         {SLIDE_RELS: rels(("rId1", "slideLayout", "https://example.com/l.xml", "External"))}, {"PML015"}, []),
    case("PML015-PML023",
         {SLIDE_RELS: rels(("rId1", "image", "../media/none.png"), ("rId2", "presProps", "../presProps.xml"),
                           ("rId3", "hyperlink", "https://example.com", "External"),
                           ("rId4", "officeDocument", "../presentation.xml"))},
         {"PML015", "PML023"},
         [("PML015", "/" + SLIDE, "slide has no slideLayout relationship", None),
          ("PML023", "/" + SLIDE_RELS, f"relationship rId2 has type {k.RT}/presProps", None),
          ("PML023", "/" + SLIDE_RELS, f"relationship rId4 has type {k.RT}/officeDocument", None)]),
    case("PML016", {LAYOUT_RELS: rels(("rId1", CORE_RT, "../../docProps/core.xml"))}, {"PML016", "PML023"},
         [("PML016", "/" + LAYOUT, "slide layout has no slideMaster relationship", None),
          ("PML023", "/" + LAYOUT_RELS, f"relationship rId1 has type {CORE_RT}", None)]),
    # The unresolved r:id is reported by the walk first, then by the master check.
    case("PML008-PML017-PML020",
         {MASTER: M_LAYOUTS, MASTER_RELS: rels(("rId1", "slideLayout", "../slideLayouts/slideLayout1.xml"),
                                               ("rId2", "theme", "../theme/theme1.xml"),
                                               ("rId3", "slideLayout", "../slides/slide1.xml"))},
         {"PML008", "PML017", "PML020"},
         [("PML008", "/" + MASTER, "sldLayoutId/@id is 2147483647", byte(M_LAYOUTS, "<p:sldLayoutId ", 1)),
          ("PML017", "/" + MASTER, "sldLayoutId r:id rId9 does not resolve to a part",
           byte(M_LAYOUTS, "<p:sldLayoutId ", 1)),
          ("PML017", "/" + SLIDE, "sldLayoutId target has content type " + SLIDE_CT, None),
          ("PML020", "/" + MASTER, "r:id = rId9 names no relationship of this part",
           byte(M_LAYOUTS, "<p:sldLayoutId ", 1))]),
    case("PML017-missing-target",
         {MASTER_RELS: rels(("rId1", "slideLayout", "../slideLayouts/none.xml"), ("rId2", "theme", "../theme/theme1.xml"))},
         {"PML017"}, expect_in(MASTER, ("PML017", "sldLayoutId r:id rId1 does not resolve to a part",
                                        byte(k.parts()[MASTER], "<p:sldLayoutId ")))),
    case("PML018",
         {NOTES: slide(shape(2), root="p:notes"), NOTES_RELS: rels(("rId1", "slide", "../slides/slide1.xml")),
          "[Content_Types].xml": overrides(("/" + NOTES, PML_CT + "notesSlide+xml"))},
         {"PML018", "PML014"}, expect_in(NOTES, ("PML018", "notes slide has no notesMaster relationship", None))),
    case("PML019", {SLIDE: S_DUP}, {"PML019"},
         expect_in(SLIDE, ("PML019", "cNvPr/@id 4 repeats the id at byte " + byte(S_DUP, "<p:cNvPr ", 1)[5:],
                           byte(S_DUP, "<p:cNvPr ", 2)),
                   ("PML019", "cNvPr/@id 4 repeats the id at byte " + byte(S_DUP, "<p:cNvPr ", 2)[5:],
                    byte(S_DUP, "<p:cNvPr ", 6)))),
    case("PML020", {SLIDE: S_REFS}, {"PML020"},
         expect_in(SLIDE, ("PML020", "r:embed = rId9 names no relationship of this part", byte(S_REFS, "<a:blip ", 1)),
                   ("PML020", "r:embed = a&b names no relationship of this part", byte(S_REFS, "<a:blip ", 3)),
                   ("PML020", "r:link = rId8 names no relationship of this part", byte(S_REFS, "<a:hlinkClick")))),
    # Only the Fallback is walked: the Choice needs an unknown namespace. Its
    # references are checked, its ids are no shapes' ids.
    case("PML019-PML020-markup-compatibility", {SLIDE: S_MC}, {"PML019", "PML020"},
         expect_in(SLIDE, ("PML020", "r:embed = rId7 names no relationship of this part", byte(S_MC, "<a:blip ", 2)))),
    # Cut before a character that would not fit whole.
    case("PML020-long-reference", {SLIDE: slide(pic("a" + "\u00e9" * 200))}, {"PML020"},
         expect_in(SLIDE, ("PML020", "r:embed = a" + "\u00e9" * 127 + "... (401 bytes) names no relationship of this "
                           "part", byte(slide(pic("")), "<a:blip ")))),
    case("PML019-fallback-pictures", {SLIDE: S_OLE}, {"PML019"}, []),
    case("PML019-around-a-fallback", {SLIDE: S_AROUND}, {"PML019"},
         expect_in(SLIDE, ("PML019", "cNvPr/@id 5 repeats the id at byte " + byte(S_AROUND, "<p:cNvPr ", 1)[5:],
                           byte(S_AROUND, "<p:cNvPr ", 4)))),
    case("PML020-unreadable-relationships",
         {SLIDE: slide(pic("rId1")), SLIDE_RELS: b"<Relationships"}, {"PML015", "PML020", "PML023"},
         expect_in(SLIDE, ("PML020", "r:embed = rId1 names no relationship of this part",
                           byte(slide(pic("rId1")), "<a:blip ")))),
    case("walk-survives-an-error",
         {SLIDE: slide(shape(3) + shape(3) + "<p:sp>").replace(b"</p:sld>", b"")}, {"PML019", "PML015"},
         [("PML019", "/" + SLIDE, "cNvPr/@id 3 repeats the id at byte "
           + byte(slide(shape(3) + shape(3)), "<p:cNvPr ", 1)[5:], byte(slide(shape(3) + shape(3)), "<p:cNvPr ", 2))]),
]


@pytest.mark.parametrize("data,codes,expected", PART_CASES)
def test_part_walk(data, codes, expected):
    assert found(data, codes) == expected


class TestPartWalk:
    def test_parts_walked_without_a_presentation_part(self):
        d = deck({"_rels/.rels": rels(("rId2", CORE_RT, "docProps/core.xml")), SLIDE_RELS: rels()})
        assert found(build(d), {"PML015"}) == expect_in(SLIDE, ("PML015", "slide has no slideLayout relationship",
                                                                None))

    def test_unlisted_and_unreadable_parts_are_skipped(self):
        d = deck({"ppt/slides/slide2.xml": b"", SLIDE_RELS: rels(),
                  "[Content_Types].xml": overrides(("/ppt/slides/slide2.xml", SLIDE_CT),
                                                   ("/ppt/slides/slide1.xml", "application/xml"),
                                                   drop={"/ppt/slides/slide1.xml"})})
        assert found(build(d), {"PML014", "PML015"}) == []

    def test_deep_nesting_ends_the_walk_quietly(self):
        depth = 200_000
        body = shape(6) + shape(6) + "<p:grpSp>" * depth + "</p:grpSp>" * depth
        data = build(deck({SLIDE: slide(body)}))
        got = found(data, {"PML019", "XML001"})
        assert [c for c, *_ in got] == ["PML019", "XML001"]
        assert got[1][2] == "nesting too deep"

    def test_deep_alternate_content(self):
        depth = 5_000
        body = (f'<mc:AlternateContent xmlns:mc="{MC}"><mc:Fallback>' * depth + shape(6)
                + "</mc:Fallback></mc:AlternateContent>" * depth)
        got = found(build(deck({SLIDE: slide(body)})), {"XML001", "PML019"})
        assert [c for c, *_ in got] == ["XML001"]

    def test_many_repeats_stay_linear(self):
        body = shape(9) * 20_000
        report = vantrell.check(data=build(deck({SLIDE: slide(body)})), max_findings=100_000)
        assert sum(f.code == "PML019" for f in report) == 19_999
        # Past the cap the part's examination keeps none, and says so.
        capped = vantrell.check_report(data=build(deck({SLIDE: slide(body)})), max_findings=10)
        assert (len(capped.findings), capped.truncated) == (10, True)

    def test_parts_checked(self):
        base = vantrell.check_report(data=CLEAN).parts_checked
        # An unreadable presentation part counts in no stage that reads it.
        d = deck({"_rels/.rels": rels(("rId1", "officeDocument", "ppt/presentation.xml"))})
        # Without the core-properties relationship one inspection goes.
        assert vantrell.check_report(data=build(d)).parts_checked == base - 1
        # A slide typed as plain XML is still read by the other stages.
        d = deck({"[Content_Types].xml": overrides(("/ppt/slides/slide1.xml", "application/xml"),
                                                   drop={"/ppt/slides/slide1.xml"})})
        assert vantrell.check_report(data=build(d)).parts_checked == base - 1
        # A theme with a wrong root is still counted.
        assert vantrell.check_report(data=build(deck({THEME: b"<x/>"}))).parts_checked == base


# --- core properties ----------------------------------------------------------

C_CHILDREN = core('<dc:title>a</dc:title><dc:title>b</dc:title><dc:title>c</dc:title>'
                  '<dcterms:created xsi:type="DCTERMS:W3CDTF">x</dcterms:created>'
                  '<dcterms:modified xmlns:t="http://purl.org/dc/terms/" xsi:type="t:W3CDTF">x</dcterms:modified>'
                  '<t:modified xmlns:t="http://purl.org/dc/terms/">x</t:modified>'
                  '<dc:date>x</dc:date><cp:title>x</cp:title><x:title xmlns:x="urn:x">x</x:title>'
                  '<cp:revision>1</cp:revision>')
C_MC = core(f'<mc:AlternateContent xmlns:mc="{MC}" xmlns:y="urn:y"><mc:Choice Requires="y"><dc:title>a</dc:title>'
            '<dc:date/></mc:Choice><mc:Fallback><dc:title>b</dc:title><cp:bogus/></mc:Fallback>'
            '</mc:AlternateContent><dc:title>c</dc:title>', root_attrs=f' xmlns:mc="{MC}"')
C_BROKEN = core('<dc:title/><dc:title/><cp:x/><dc:creator>&bad;</dc:creator><dc:title/>')


def at(data, needle, n=1):
    return byte(data, needle, n)


CORE_CASES = [
    case("CPR001-attributes", {CORE: core("", root_attrs=' xml:lang="en"')}, {"CPR001"},
         expect_in(CORE, ("CPR001", "root element has attributes", None))),
    case("CPR001-only-declarations", {CORE: core("", root_attrs=' xmlns="urn:default"')}, {"CPR001"}, []),
    case("CPR001-wrong-namespace", {CORE: core("<dc:title>x</dc:title><dc:title/>",
                                               ns=CORE_NS.replace(CP, "urn:not-core"), root_attrs=' a="1"')},
         {"CPR001", "CPR003", "CPR004"}, expect_in(CORE, ("CPR001", "root element is cp:coreProperties", None))),
    case("CPR001-wrong-name", {CORE: core("", root="cp:properties")}, {"CPR001"},
         expect_in(CORE, ("CPR001", "root element is cp:properties", None))),
    case("CPR002-CPR003-CPR004", {CORE: C_CHILDREN}, {"CPR002", "CPR003", "CPR004"},
         expect_in(CORE, ("CPR002", 'dcterms:created lacks xsi:type="dcterms:W3CDTF"', at(C_CHILDREN, "<dcterms:created")),
                   ("CPR002", 'dcterms:modified lacks xsi:type="dcterms:W3CDTF"', at(C_CHILDREN, "<dcterms:modified")),
                   ("CPR002", 't:modified lacks xsi:type="dcterms:W3CDTF"', at(C_CHILDREN, "<t:modified")),
                   ("CPR003", "dc:title appears more than once", at(C_CHILDREN, "<dc:title", 2)),
                   ("CPR003", "dc:title appears more than once", at(C_CHILDREN, "<dc:title", 3)),
                   ("CPR004", "unexpected element dc:date", at(C_CHILDREN, "<dc:date")),
                   ("CPR004", "unexpected element cp:title", at(C_CHILDREN, "<cp:title")),
                   ("CPR004", "unexpected element x:title", at(C_CHILDREN, "<x:title")))),
    case("CPR-markup-compatibility", {CORE: C_MC}, {"CPR003", "CPR004"},
         expect_in(CORE, ("CPR003", "dc:title appears more than once", at(C_MC, "<dc:title", 3)),
                   ("CPR004", "unexpected element cp:bogus", at(C_MC, "<cp:bogus")))),
    case("CPR-error-midway", {CORE: C_BROKEN}, {"CPR003", "CPR004"},
         expect_in(CORE, ("CPR003", "dc:title appears more than once", at(C_BROKEN, "<dc:title", 2)),
                   ("CPR004", "unexpected element cp:x", at(C_BROKEN, "<cp:x")))),
    case("CPR-external-passed-over",
         {"_rels/.rels": rels(("rId1", "officeDocument", "ppt/presentation.xml"),
                              ("rId2", CORE_RT, "https://example.com/core.xml", "External"),
                              ("rId3", CORE_RT, "docProps/other.xml")),
          "docProps/other.xml": core("<dc:tilte/>")},
         {"CPR004"}, expect_in("docProps/other.xml", ("CPR004", "unexpected element dc:tilte", at(core("<dc:tilte/>"),
                                                                                                  "<dc:tilte")))),
    case("CPR-first-target-missing",
         {"_rels/.rels": rels(("rId1", "officeDocument", "ppt/presentation.xml"),
                              ("rId2", CORE_RT, "docProps/none.xml"), ("rId3", CORE_RT, "docProps/core.xml")),
          CORE: core("<dc:tilte/>")}, {"CPR004"}, []),
    case("CPR-malformed-root", {CORE: b"<cp:coreProperties"}, {"CPR001", "CPR004"}, []),
]


@pytest.mark.parametrize("data,codes,expected", CORE_CASES)
def test_core_properties(data, codes, expected):
    assert found(data, codes) == expected


def test_core_properties_counted_only_when_read():
    base = vantrell.check_report(data=CLEAN).parts_checked
    d = deck({"_rels/.rels": rels(("rId1", "officeDocument", "ppt/presentation.xml"),
                                  ("rId2", CORE_RT, "docProps/none.xml"))})
    assert vantrell.check_report(data=build(d)).parts_checked == base - 1


# --- decks from elsewhere -----------------------------------------------------

def test_written_decks_are_clean():
    write = pytest.importorskip("vantrell.write")
    empty = write.Presentation().to_bytes()
    assert [(f.code, f.severity) for f in vantrell.check(data=empty)] == [("PML022", "info")]
    theme = write.Theme.preset("dark").layout_background("title", write.Background.picture(png()))
    p = write.Presentation(theme=theme)
    p.add(write.Slide("One", layout="title", notes="n"))
    p.add(write.Slide("Two").bullet([write.Run("link", link="https://example.com/"), " tail"]).picture(png())
          .table([["h1", "h2"]] + [["c1", "c2"]] * 40))
    p.add(write.Slide("Three", layout="blank", background=write.Background.linear("#000000", "#FFFFFF"))
          .text_box(0, 0, 2, 1, ["t"]).picture(png(), x=1, y=1, w=2, h=1).table([["a"]], x=3, y=3, w=2, h=1))
    p.add(write.Slide("Four").columns(["a", "b"], write.Picture(png(), description="alt")))
    markdown = write.from_markdown("# One\n\n- a\n  - b\n\n| x | y |\n|---|---|\n| 1 | 2 |\n\n---\n\n# Two\n\n> q\n")
    for deck_bytes in (p.to_bytes(), markdown.to_bytes()):
        assert [(f.code, f.part, f.message) for f in vantrell.check(data=deck_bytes)] == []


def test_python_pptx_decks_have_no_errors():
    pptx = pytest.importorskip("pptx")
    from pptx.chart.data import CategoryChartData
    from pptx.enum.chart import XL_CHART_TYPE
    from pptx.enum.shapes import MSO_SHAPE
    from pptx.util import Inches

    prs = pptx.Presentation()
    for layout in prs.slide_layouts:
        s = prs.slides.add_slide(layout)
        for ph in s.placeholders:
            if ph.has_text_frame:
                ph.text_frame.text = "text"
    s = prs.slides.add_slide(prs.slide_layouts[6])
    s.shapes.add_picture(io.BytesIO(png()), Inches(1), Inches(1))
    s.shapes.add_table(2, 2, Inches(1), Inches(3), Inches(4), Inches(1)).table.cell(0, 0).text = "a"
    chart = CategoryChartData()
    chart.categories = ["x", "y"]
    chart.add_series("s", (1, 2))
    s.shapes.add_chart(XL_CHART_TYPE.COLUMN_CLUSTERED, Inches(5), Inches(1), Inches(4), Inches(3), chart)
    box = s.shapes.add_shape(MSO_SHAPE.ROUNDED_RECTANGLE, Inches(1), Inches(5), Inches(2), Inches(1))
    box.text_frame.text = "link"
    box.text_frame.paragraphs[0].runs[0].hyperlink.address = "https://example.com/"
    box.click_action.target_slide = prs.slides[0]
    s.shapes.add_group_shape().shapes.add_shape(MSO_SHAPE.OVAL, 0, 0, Inches(1), Inches(1))
    s.notes_slide.notes_text_frame.text = "notes"
    out = io.BytesIO()
    prs.save(out)
    assert [str(f) for f in vantrell.check(data=out.getvalue()) if f.severity == "error"] == []


def test_errors_on_built_defects_are_confirmed_apart_from_the_checker():
    # The corpus test's rule on every deck built above: each PresentationML or
    # core-properties error the checker reports is a defect the deck really
    # has, and the confirmation refuses the same finding naming other numbers,
    # so it cannot pass a wrong count, id or offset.
    from types import SimpleNamespace as Found
    unconfirmed, wrongly_confirmed, checked = [], [], 0
    for case in PRESENTATION_CASES + PART_CASES + CORE_CASES:
        data = case.values[0]
        pkg = pmlfacts.Package(data)
        for f in vantrell.check(data=data):
            if f.severity != "error" or not f.code.startswith(("PML", "CPR")):
                continue
            checked += 1
            if not pmlfacts.confirms(pkg, f):
                unconfirmed.append((case.id, str(f)))
            other = re.sub(r"\d+", lambda m: str(int(m.group()) + 1), f.message, count=1)
            if other != f.message and pmlfacts.confirms(pkg, Found(code=f.code, part=f.part, message=other,
                                                                   location=f.location)):
                wrongly_confirmed.append((case.id, other))
    assert unconfirmed == []
    assert wrongly_confirmed == []
    assert checked > 40


# Real decks with defects the checker is right to report, by rule; checked
# when the deck is in the corpus.
KNOWN_DEFECTS = {
    "poi--slideshow_Divino_Revelado.pptx": {"PML003": 1},  # no presProps relationship
    "poi--slideshow_ececapstonespring2012.pptx": {"PML003": 1, "PML019": 1},  # a group and a placeholder share id 1
    # fuzzed: master relationships to layouts gone
    "poi--slideshow_clusterfuzz-testcase-minimized-POIXSLFFuzzer-5471515212382208.pptx": {"PML017": 2},
    # fuzzed: a layout without its master relationship, a master relationship to a missing part
    "poi--slideshow_clusterfuzz-testcase-minimized-POIXSLFFuzzer-6254434927378432.pptx":
        {"PML003": 1, "PML016": 1, "PML021": 1},
}


def test_corpus(corpus):
    # Every PresentationML or core-properties error the checker gives a real
    # deck is a defect the deck really has, confirmed apart from the checker;
    # a deck the project's own writer made gets no error at all.
    unconfirmed, counts, written = [], {}, 0
    for path in sorted(corpus.iterdir()):
        if path.suffix.lower() not in (".pptx", ".pptm", ".potx", ".ppsx"):
            continue
        try:
            report = vantrell.check(os.fspath(path))
        except vantrell.PptxError:
            continue
        pkg = pmlfacts.Package(path)
        errors = [f for f in report if f.severity == "error"]
        if pmlfacts.written_here(pkg):
            written += 1
            assert [str(f) for f in errors] == [], path.name
        found = [f for f in errors if f.code.startswith(("PML", "CPR"))]
        counts[path.name] = dict(collections.Counter(f.code for f in found))
        unconfirmed += [(path.name, str(f)) for f in found if not pmlfacts.confirms(pkg, f)]
    assert unconfirmed == []
    known = {name: codes for name, codes in KNOWN_DEFECTS.items() if name in counts}
    assert {name: counts[name] for name in known} == known
    print(f"\n{sum(sum(c.values()) for c in counts.values())} rule findings confirmed in {len(counts)} decks, "
          f"{written} written here")
