"""The package checker from Python: rules, findings, reports, arguments.

Each rule case damages the minimal valid deck of `deckkit` in one way and
lists the exact (code, part, message, location) findings expected for the
codes it names; findings of other codes are collateral and not compared.
"""
import os
import pathlib
import zipfile

import pytest

import vantrell
import deckkit as k
from deckkit import CORE_RT, PML_CT, RELS_CT, THUMB_RT, build, deck, patch, rels

CLEAN = build(k.parts())


def found(data, codes, **options):
    report = vantrell.check(data=data, **options)
    return [(f.code, f.part, f.message, f.location) for f in report if f.code in codes]


def ct_with(defaults=None, overrides=None):
    return k.content_types(defaults, overrides)


def pieces_deck():
    d = k.parts()
    d["ppt/big.xml/[0].piece"] = b"<a>"
    d["ppt/big.xml/[2].last.piece"] = b"</a>"
    return build(d)


def utf16_slide(declared="UTF-16"):
    text = k.DECL.replace("UTF-8", declared) + f'<p:sld {k.NS}>{k.TREE}</p:sld>'
    return b"\xff\xfe" + text.encode("utf-16-le")


def strict_slide():
    return (k.DECL + '<p:sld xmlns:p="http://purl.oclc.org/ooxml/presentationml/main">'
            '<p:cSld><p:spTree/></p:cSld></p:sld>').encode()


def strict_rels(below=False):
    """The slide's relationships, with a Strict namespace declared on the root
    or, with `below`, only on an element inside it."""
    strict = 'xmlns:s="http://purl.oclc.org/ooxml/presentationml/main"'
    rel = ('<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
           'slideLayout" Target="../slideLayouts/slideLayout1.xml"')
    root = '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"'
    if below:
        return (k.DECL + root + ">" + rel + " " + strict + "/></Relationships>").encode()
    return (k.DECL + root + " " + strict + ">" + rel + "/></Relationships>").encode()


def truncated_central_directory():
    data = CLEAN
    return data[:data.find(b"PK\x01\x02")]


def declared_one_more():
    data = bytearray(CLEAN)
    eocd = data.rfind(b"PK\x05\x06")
    for off in (8, 10):
        data[eocd + off] += 1
    return bytes(data)


# (id, deck bytes, codes compared, expected findings in report order)
RULE_CASES = [
    ("ZIP001", patch(CLEAN, "docProps/app.xml", method=99), {"ZIP001"},
     [("ZIP001", "/docProps/app.xml", "compression method 99", None)]),
    ("ZIP002", patch(CLEAN, "docProps/app.xml", flags=1), {"ZIP002"},
     [("ZIP002", "/docProps/app.xml", "entry is encrypted", None)]),
    ("ZIP003", b"JUNK" + CLEAN, {"ZIP003"},
     [("ZIP003", None, "4 byte(s) precede the archive; every offset had to be shifted", None)]),
    ("ZIP004-rebuilt", truncated_central_directory(), {"ZIP004", "ZIP007"},
     [("ZIP004", None, "no central directory; entries were recovered by scanning local file headers", None)]),
    ("ZIP004-incomplete", declared_one_more(), {"ZIP004"},
     [("ZIP004", None, "central directory declares 15 entries but only 14 were readable", None)]),
    ("ZIP005", build(list(k.parts().items()) + [("ppt/presProps.xml", b"<x/>")]), {"ZIP005"},
     [("ZIP005", "/ppt/presProps.xml", "item name repeats an earlier item's name", None)]),
    ("ZIP006", build(list(k.parts().items()) + [("ppt/", b"")]), {"ZIP006"},
     [("ZIP006", "/ppt/", "directory entry in a package", None)]),
    ("ZIP007-crc", patch(CLEAN, "ppt/presProps.xml", where="local", crc=0), {"ZIP007"},
     [("ZIP007", "/ppt/presProps.xml", "local header differs from the central directory in: crc-32", None)]),
    ("ZIP007-fields", patch(CLEAN, "ppt/presProps.xml", where="local", method=0, flags=2, crc=0, csize=0, usize=0),
     {"ZIP007"},
     [("ZIP007", "/ppt/presProps.xml", "local header differs from the central directory in: compression method, "
       "general purpose flags, crc-32, compressed size, uncompressed size", None)]),
    ("ZIP007-descriptor", patch(patch(CLEAN, "ppt/presProps.xml", where="central", flags=8),
                                "ppt/presProps.xml", where="local", crc=0, csize=0, usize=0), {"ZIP007"}, []),
    ("ZIP007-bit3-only", patch(CLEAN, "ppt/presProps.xml", where="local", flags=8), {"ZIP007"}, []),
    ("ZIP007-zip64-sizes", patch(CLEAN, "ppt/presProps.xml", where="local", csize=0xFFFFFFFF, usize=0xFFFFFFFF),
     {"ZIP007"}, []),
    ("ZIP008", patch(CLEAN, "ppt/slides/slide1.xml", crc=0x12345678), {"ZIP008"},
     [("ZIP008", "/ppt/slides/slide1.xml",
       "decompressed data of ppt/slides/slide1.xml does not match the recorded CRC-32", None)]),
    ("ZIP008-unreadable", patch(CLEAN, "ppt/presProps.xml", method=99), {"ZIP008"},
     [("ZIP008", "/ppt/presProps.xml",
       "part could not be read: unsupported: zip compression method 99 for ppt/presProps.xml", None)]),
    ("ZIP008-media-not-verified", patch(build(deck({"ppt/media/a.png": b"\x89PNG", "[Content_Types].xml": ct_with(
        [("rels", RELS_CT), ("xml", "application/xml"), ("png", "image/png")])})), "ppt/media/a.png", crc=1),
     {"ZIP008"}, []),
    ("ZIP009", patch(CLEAN, "ppt/presProps.xml", where="central", version=46), {"ZIP009"},
     [("ZIP009", "/ppt/presProps.xml", "version needed to extract is 4.6", None)]),
    ("ZIP009-wide", patch(CLEAN, "ppt/presProps.xml", where="central", version=0x0314), {"ZIP009"},
     [("ZIP009", "/ppt/presProps.xml", "version needed to extract is 78.8", None)]),
    ("ZIP009-limit", patch(CLEAN, "ppt/presProps.xml", where="central", version=45), {"ZIP009"}, []),
    ("ZIP010", build(deck({"ppt/n\u00e9.xml": b"<a/>"})), {"ZIP010", "ZIP011"},
     [("ZIP010", "/ppt/n\u00e9.xml", "item name contains non-ASCII bytes", None),
      ("ZIP011", "/ppt/n\u00e9.xml", "UTF-8 name flag is set", None)]),
    ("ZIP011", patch(CLEAN, "ppt/presProps.xml", flags=0x800), {"ZIP010", "ZIP011"},
     [("ZIP011", "/ppt/presProps.xml", "UTF-8 name flag is set", None)]),
    ("OPC001", build(deck({"ppt/x./y.xml": b"<a/>"})), {"OPC001"},
     [("OPC001", "/ppt/x./y.xml", "segment ends with '.'", None)]),
    ("OPC002", build(deck({"ppt/a.xml": b"<a/>", "ppt/A.xml": b"<a/>"})), {"OPC002"},
     [("OPC002", "/ppt/A.xml", "equivalent to /ppt/a.xml", None)]),
    ("OPC003", build(deck({"ppt/a.xml": b"<a/>", "ppt/a.xml/b.xml": b"<a/>"})), {"OPC003"},
     [("OPC003", "/ppt/a.xml/b.xml", "derivable from /ppt/a.xml", None)]),
    ("OPC004", build(deck({"[Content_Types].xml": None})), {"OPC004", "CTY001"},
     [("OPC004", None, "[Content_Types].xml is missing", None)]),
    ("OPC005", build({("[content_types].xml" if n == "[Content_Types].xml" else n): v
                      for n, v in k.parts().items()}), {"OPC005"},
     [("OPC005", None, "content types stream is named [content_types].xml", None)]),
    ("OPC006-malformed", build(deck({"[Content_Types].xml": b"<Types><Default></Types>"})), {"OPC006", "CTY001"},
     [("OPC006", "/[Content_Types].xml", "mismatched end tag at byte 16", None)]),
    ("OPC006-unreadable", patch(CLEAN, "[Content_Types].xml", method=99), {"OPC006"},
     [("OPC006", "/[Content_Types].xml", "content types stream could not be read: "
       "unsupported: zip compression method 99 for [Content_Types].xml", None)]),
    ("OPC007", pieces_deck(), {"OPC007"},
     [("OPC007", "/ppt/big.xml", "piece sequence has gaps or no single .last piece; not a part", None)]),
]


@pytest.mark.parametrize("data,codes,expected", [c[1:] for c in RULE_CASES], ids=[c[0] for c in RULE_CASES])
def test_container_rules(data, codes, expected):
    assert found(data, codes) == expected


def test_valid_deck_has_no_findings_and_a_known_inspection_count():
    report = vantrell.check_report(data=CLEAN)
    assert report.findings == []
    assert report.is_clean and not report.truncated
    # 13 parts: CRC stage 13, relationships stage 5 rels parts, XML stage 13,
    # PresentationML 1 + 6 (the presentation part twice), core properties 1.
    assert report.parts_checked == 39
    assert repr(report) == "CheckReport(errors=0, warnings=0, parts_checked=39, truncated=false)"


DEFAULTS = [("rels", RELS_CT), ("xml", "application/xml")]
STREAM = "/[Content_Types].xml"


def with_types(text):
    return build(deck({"[Content_Types].xml": text}))


def offset_of(text, needle):
    return f"byte {text.index(needle)}"


def ct_defect_case():
    text = k.content_types(DEFAULTS, k.OVERRIDES).replace(
        b"</Types>", b'<Override PartName="/docProps/x.xml"/><Other/></Types>')
    return ("CTY005-defects", with_types(text), {"CTY005"},
            [("CTY005", STREAM, "Override element without PartName or ContentType", offset_of(text, b"<Override PartName=\"/docProps/x")),
             ("CTY005", STREAM, "unexpected element in the content types stream", offset_of(text, b"<Other/>"))])


CT_CASES = [
    ("CTY001", build(deck({"ppt/media/x.bin": b"\0"})), {"CTY001"},
     [("CTY001", "/ppt/media/x.bin", "no Default or Override gives this part a content type", None)]),
    ("CTY001-rels-exempt", with_types(ct_with([("xml", "application/xml")])), {"CTY001"}, []),
    ("CTY002", with_types(ct_with(DEFAULTS + [("png", "image/png"), ("PNG", "image/png"), ("png", "image/png")])),
     {"CTY002"},
     [("CTY002", STREAM, "second Default for extension PNG", None),
      ("CTY002", STREAM, "second Default for extension png", None)]),
    ("CTY003", with_types(ct_with(DEFAULTS, k.OVERRIDES + [("/PPT/presProps.xml", PML_CT + "presProps+xml")])),
     {"CTY003"}, [("CTY003", STREAM, "second Override for /PPT/presProps.xml", None)]),
    ("CTY004", with_types(ct_with(DEFAULTS, k.OVERRIDES + [("/ppt/ghost.xml", "application/xml")])), {"CTY004"},
     [("CTY004", "/ppt/ghost.xml", "Override names a part that does not exist", None)]),
    ("CTY004-case", with_types(ct_with(DEFAULTS, k.OVERRIDES + [("/PPT/PRESPROPS.XML", "application/xml")])),
     {"CTY004"}, []),
    ("CTY005-root", with_types(k.content_types().replace(k.CT_NS.encode(), b"urn:other")), {"CTY005"},
     [("CTY005", STREAM, "root element is not Types in the content types namespace", None)]),
    ct_defect_case(),
    ("CTY006", with_types(ct_with(DEFAULTS + [("png", "image")], k.OVERRIDES[:-1] +
                                  [("/docProps/app.xml", "text/x/y")])), {"CTY006"},
     [("CTY006", STREAM, 'Default for png has content type "image"', None),
      ("CTY006", "/docProps/app.xml", 'Override has content type "text/x/y"', None)]),
    # Long stored values are shown by their first 256 bytes and their length.
    ("CTY004-CTY006-long-values", with_types(ct_with(DEFAULTS, k.OVERRIDES + [("/ppt/" + "n" * 300, "t" * 300)])),
     {"CTY004", "CTY006"},
     [("CTY006", "/ppt/" + "n" * 251 + "... (305 bytes)", 'Override has content type "' + "t" * 256
       + '"... (300 bytes)', None),
      ("CTY004", "/ppt/" + "n" * 251 + "... (305 bytes)", "Override names a part that does not exist", None)]),
    ("CTY006-parameters", with_types(ct_with(DEFAULTS + [("txt", " text/plain ; charset=utf-8")])), {"CTY006"}, []),
    ("CTY007", with_types(ct_with([("RELS", "application/xml"), ("xml", "application/xml")],
                                  k.OVERRIDES + [("/_rels/.rels", "application/xml")])), {"CTY007"},
     [("CTY007", STREAM, "Default for rels is application/xml", None),
      ("CTY007", "/_rels/.rels", "Relationships part declared as application/xml", None)]),
    ("CTY007-case", with_types(ct_with([("RELS", RELS_CT.upper()), ("xml", "application/xml")])), {"CTY007"}, []),
    ("CTY008", with_types(ct_with(DEFAULTS + [("", "image/png"), ("x.y", "image/png")])), {"CTY008"},
     [("CTY008", STREAM, 'Default extension ""', None), ("CTY008", STREAM, 'Default extension "x.y"', None)]),
    ("CTY-silent-without-stream", build(deck({"[Content_Types].xml": b"<Types"})),
     {f"CTY00{i}" for i in range(1, 9)}, []),
]


@pytest.mark.parametrize("data,codes,expected", [c[1:] for c in CT_CASES], ids=[c[0] for c in CT_CASES])
def test_content_type_rules(data, codes, expected):
    assert found(data, codes) == expected


PRES_RELS = "/ppt/_rels/presentation.xml.rels"
SLIDE_RELS = "/ppt/slides/_rels/slide1.xml.rels"
PRES_ITEMS = [("rId1", "slideMaster", "slideMasters/slideMaster1.xml"), ("rId2", "slide", "slides/slide1.xml"),
              ("rId3", "theme", "theme/theme1.xml"), ("rId4", "presProps", "presProps.xml")]
PKG_ITEMS = [("rId1", "officeDocument", "ppt/presentation.xml"), ("rId2", CORE_RT, "docProps/core.xml"),
             ("rId3", "extended-properties", "docProps/app.xml")]


def pres_rels(*extra):
    return build(deck({
        "ppt/_rels/presentation.xml.rels": rels(*PRES_ITEMS, *extra)}))


def pkg_rels(*items, **more):
    return build(deck({"_rels/.rels": rels(*items), **more}))


def rel_offsets(text, *ids):
    return [f"byte {text.index(('<Relationship Id=\"' + i + '\"').encode())}" for i in ids]


def rel_defect_case():
    text = rels(*PRES_ITEMS).replace(b"</Relationships>", b'<Relationship Id="rId8" Type="t"/>'
                                     b'<Relationship Id="rId9" Type="t" Target="presProps.xml" TargetMode="x"/>'
                                     b"<Extra/></Relationships>")
    data = build(deck({"ppt/_rels/presentation.xml.rels": text}))
    return ("REL003", data, {"REL003"},
            [("REL003", PRES_RELS, "Relationship without Id, Type or Target", rel_offsets(text, "rId8")[0]),
             ("REL003", PRES_RELS, "TargetMode is neither Internal nor External", rel_offsets(text, "rId9")[0]),
             ("REL003", PRES_RELS, "unexpected element in a Relationships part", f"byte {text.index(b'<Extra/>')}")])


def duplicate_id_case():
    text = rels(*PRES_ITEMS, ("rId4", "theme", "theme/theme1.xml"), ("rId4", "theme", "theme/theme1.xml"))
    first = text.index(b'Id="rId4"')
    second = text.index(b'Id="rId4"', first + 1)
    third = text.index(b'Id="rId4"', second + 1)
    at = lambda i: f"byte {text.rindex(b'<', 0, i)}"
    return ("REL002", build(deck({"ppt/_rels/presentation.xml.rels": text})), {"REL002"},
            [("REL002", PRES_RELS, "Id rId4 is declared more than once", at(second)),
             ("REL002", PRES_RELS, "Id rId4 is declared more than once", at(third))])


def bad_id_case():
    text = rels(*PRES_ITEMS, ("1st", "theme", "theme/theme1.xml"), ("a:b", "theme", "theme/theme1.xml"),
                ("_ok", "theme", "theme/theme1.xml"), ("\u00e9t\u00e9", "theme", "theme/theme1.xml"))
    at = lambda i: f"byte {text.index(('Id=\"' + i + '\"').encode()) - len('<Relationship ')}"
    return ("REL006", build(deck({"ppt/_rels/presentation.xml.rels": text})), {"REL006"},
            [("REL006", PRES_RELS, 'Id "1st" is not an XML name', at("1st")),
             ("REL006", PRES_RELS, 'Id "a:b" is not an XML name', at("a:b"))])


REL_CASES = [
    ("REL001-malformed", build(deck({"ppt/_rels/presentation.xml.rels": b"<Relationships"})), {"REL001"},
     [("REL001", PRES_RELS, "xml in /ppt/_rels/presentation.xml.rels at byte 14: unexpected end of document", None)]),
    ("REL001-root", build(deck({"ppt/_rels/presentation.xml.rels": rels(*PRES_ITEMS).replace(
        k.PKG_RELS.encode(), b"urn:other")})), {"REL001", "REL004"},
     [("REL001", PRES_RELS, "root element is not Relationships in the relationships namespace", None)]),
    duplicate_id_case(),
    rel_defect_case(),
    ("REL004", pres_rels(("rId9", "slide", "slide9.xml")), {"REL004"},
     [("REL004", PRES_RELS, "relationship rId9 (slide) targets /ppt/slide9.xml, which does not exist", None)]),
    ("REL004-empty-type-and-target", pres_rels(("rId9", " ", "")), {"REL004", "REL010"},
     [("REL004", PRES_RELS, "relationship rId9 ( ) targets /ppt, which does not exist", None),
      ("REL010", PRES_RELS, "relationship rId9 has an empty Type", None)]),
    ("REL004-case-and-query", pres_rels(("rId9", "theme", "THEME/Theme1.xml?x#y")), {"REL004", "REL008"}, []),
    # A jump within the part (as PowerPoint writes for footnotes) designates
    # the slide itself; an empty target still designates its folder.
    ("REL004-fragment-only-and-empty", build(deck({"ppt/slides/_rels/slide1.xml.rels": rels(
        ("rId1", "slideLayout", "../slideLayouts/slideLayout1.xml"), ("rId2", "hyperlink", "#_ftn1"),
        ("rId3", "hyperlink", "?page=2"), ("rId4", "slide", ""))})), {"REL004"},
     [("REL004", SLIDE_RELS, "relationship rId4 (slide) targets /ppt/slides, which does not exist", None)]),
    ("REL005", pres_rels(("rId9", "theme", "../_rels/.rels"), ("rId8", "theme", "_rels/none.xml.rels")), {"REL005"},
     [("REL005", PRES_RELS, "relationship rId9 targets the Relationships part /_rels/.rels", None),
      ("REL005", PRES_RELS, "relationship rId8 targets the Relationships part /ppt/_rels/none.xml.rels", None)]),
    bad_id_case(),
    ("REL007", build(deck({"ppt/_rels/ghost.xml.rels": rels(("rId1", "slide", "nowhere.xml"))})),
     {"REL007", "REL004"},
     [("REL007", "/ppt/_rels/ghost.xml.rels", "Relationships part for a part that does not exist", None)]),
    ("REL008", build(deck({"ppt/loose.xml": b"<a/>", "ppt/loose2.xml": b"<a/>",
                             "ppt/_rels/loose.xml.rels": rels(("rId1", "x", "loose2.xml"))})), {"REL008"},
     [("REL008", "/ppt/loose.xml", "part is not the target of any relationship", None)]),
    # Sources that differ only in case share one relationships part, checked
    # (and reported) once.
    ("REL004-case-variant-sources", build(deck({
        "ppt/loose.xml": b"<a/>", "ppt/LOOSE.xml": b"<a/>", "ppt/Loose.xml": b"<a/>",
        "ppt/_rels/loose.xml.rels": rels(("rId1", "x", "gone.xml"), ("rId2", CORE_RT, "../docProps/core.xml"))})),
     {"REL004", "PKG003"},
     [("PKG003", "/ppt/_rels/loose.xml.rels", "core properties relationship from a part instead of the package",
       None),
      ("REL004", "/ppt/_rels/loose.xml.rels", "relationship rId1 (x) targets /ppt/gone.xml, which does not exist",
       None)]),
    ("REL009", pres_rels(("rId9", "hyperlink", "http://example.com/x"), ("rId8", "hyperlink", "C:\\x.png"),
                         ("rId7", "hyperlink", "http://example.com/", "External")), {"REL009", "REL004"},
     [("REL009", PRES_RELS, "relationship rId9 has Internal mode but an absolute target http://example.com/x", None),
      ("REL009", PRES_RELS, "relationship rId8 has Internal mode but an absolute target C:\\x.png", None)]),
    ("PKG001-none", build(deck({"_rels/.rels": None})), {"PKG001", "REL001"},
     [("PKG001", None, "no officeDocument relationship in /_rels/.rels", None)]),
    ("PKG001-two", pkg_rels(*PKG_ITEMS, ("rId4", "officeDocument", "ppt/presProps.xml")), {"PKG001", "PKG002"},
     [("PKG001", "/_rels/.rels", "2 officeDocument relationships", None),
      ("PKG002", "/ppt/presProps.xml", "content type is " + PML_CT + "presProps+xml", None)]),
    ("PKG002-slideshow", build(deck({"[Content_Types].xml": ct_with(DEFAULTS, [
        ("/ppt/presentation.xml", PML_CT + "slideshow.main+xml")] + k.OVERRIDES[1:])})), {"PKG002"}, []),
    # A presentation target that is missing gets REL004 only; one without a
    # content type gets nothing.
    ("PKG002-missing-target", pkg_rels(("rId1", "officeDocument", "ppt/nope.xml")), {"PKG002", "REL004"},
     [("REL004", "/_rels/.rels", "relationship rId1 (officeDocument) targets /ppt/nope.xml, which does not exist",
       None)]),
    ("PKG002-untyped-target", pkg_rels(("rId1", "officeDocument", "ppt/pres.bin"), *PKG_ITEMS[1:],
                                       **{"ppt/pres.bin": b"<a/>"}), {"PKG002"}, []),
    ("PKG003", pkg_rels(*PKG_ITEMS, ("rId4", CORE_RT, "docProps/app.xml")), {"PKG003"},
     [("PKG003", "/_rels/.rels", "2 core properties relationships", None),
      ("PKG003", "/docProps/app.xml",
       "core properties part has content type application/vnd.openxmlformats-officedocument.extended-properties+xml",
       None)]),
    ("PKG003-from-part", build(deck({"ppt/slides/_rels/slide1.xml.rels": rels(
        ("rId1", "slideLayout", "../slideLayouts/slideLayout1.xml"), ("rId2", CORE_RT, "../../docProps/core.xml"),
        ("rId3", CORE_RT, "../../docProps/core.xml"))})), {"PKG003"},
     [("PKG003", SLIDE_RELS, "core properties relationship from a part instead of the package", None)]),
    ("PKG004", build(deck({"ppt/slides/_rels/slide1.xml.rels": rels(
        ("rId1", "slideLayout", "../slideLayouts/slideLayout1.xml"), ("rId2", THUMB_RT, "http://x/t.png", "External"),
        ("rId3", THUMB_RT, "http://x/u.png", "External"))})), {"PKG004"},
     [("PKG004", SLIDE_RELS, "2 thumbnail relationships", None)]),
    ("PKG004-one-per-source", build(deck({
        "_rels/.rels": rels(*PKG_ITEMS, ("rId4", THUMB_RT, "http://x/t.png", "External")),
        "ppt/slides/_rels/slide1.xml.rels": rels(("rId1", "slideLayout", "../slideLayouts/slideLayout1.xml"),
                                                 ("rId2", THUMB_RT, "http://x/t.png", "External"))})), {"PKG004"}, []),
    ("PKG005", pkg_rels(*PKG_ITEMS, ("rId4", "extended-properties", "docProps/app.xml"),
                        ("rId5", "custom-properties", "a.xml", "External"),
                        ("rId6", "customProperties", "b.xml", "External")), {"PKG005"},
     [("PKG005", "/_rels/.rels", "2 extended properties relationships", None),
      ("PKG005", "/_rels/.rels", "2 custom properties relationships", None)]),
]


@pytest.mark.parametrize("data,codes,expected", [c[1:] for c in REL_CASES], ids=[c[0] for c in REL_CASES])
def test_relationship_rules(data, codes, expected):
    assert found(data, codes) == expected


def declaration(encoding_attr):
    return f'<?xml version="1.0" {encoding_attr}?><p:presentationPr {k.NS}/>'.encode()


XML_CASES = [
    ("XML001-unreadable", patch(CLEAN, "ppt/presProps.xml", method=99), {"XML001"},
     [("XML001", "/ppt/presProps.xml",
       "part could not be read: unsupported: zip compression method 99 for ppt/presProps.xml", None)]),
    ("XML001-malformed", build(deck({"ppt/presProps.xml": b"<a><b></a>"})), {"XML001"},
     [("XML001", "/ppt/presProps.xml", "mismatched end tag", "byte 6")]),
    ("XML001-dtd", build(deck({"ppt/presProps.xml": b'<!DOCTYPE a [<!ENTITY x "y">]><a/>'})), {"XML001"},
     [("XML001", "/ppt/presProps.xml", "DTD declarations are not allowed in package parts", "byte 0")]),
    ("XML001-empty", build(deck({"ppt/presProps.xml": b"  "})), {"XML001"},
     [("XML001", "/ppt/presProps.xml", "no root element", "byte 2")]),
    ("XML001-not-checked", build(deck({"ppt/presProps.xml": b"<a><b></a>"})), {"XML001"}, []),
    ("XML002", build(deck({"ppt/presProps.xml": declaration('encoding = "windows-1252"')})), {"XML002"},
     [("XML002", "/ppt/presProps.xml", "declared encoding is windows-1252", None)]),
    ("XML002-accepted", build(deck({"ppt/presProps.xml": declaration("encoding='Utf-16'")})), {"XML002"}, []),
    ("XML002-leading-space", build(deck({"ppt/presProps.xml": b" " + declaration('encoding="latin1"')})), {"XML002"},
     []),
    # The quote is a character: a two-byte one closes at itself, not at the
    # next character that shares its first byte.
    ("XML002-multibyte-quote", build(deck({"ppt/presProps.xml": declaration("encoding=\u00abUTF-8\u00ab")})),
     {"XML002"}, []),
    ("XML002-multibyte-quote-value", build(deck({"ppt/presProps.xml": declaration(
        "encoding=\u00ablatin\u00bb1\u00ab")})), {"XML002"},
     [("XML002", "/ppt/presProps.xml", "declared encoding is latin\u00bb1", None)]),
    ("XML003", build(deck({"ppt/slides/slide1.xml": strict_slide(), "ppt/presProps.xml": strict_slide()})),
     {"XML003"},
     [("XML003", None, "2 part(s) use Strict namespaces (e.g. /ppt/slides/slide1.xml) and 5 use Transitional "
       "(e.g. /ppt/presentation.xml)", None)]),
    ("XML003-below-root", build(deck({"ppt/presProps.xml": (
        '<a xmlns="urn:x"><p:sld xmlns:p="http://purl.oclc.org/ooxml/presentationml/main"/></a>').encode()})),
     {"XML003"}, []),
    ("XML003-malformed-not-checked", build(deck({"ppt/presProps.xml": strict_slide().replace(
        b"<p:spTree/>", b"<a></b>")})), {"XML001", "XML003"},
     [("XML003", None, "1 part(s) use Strict namespaces (e.g. /ppt/presProps.xml) and 6 use Transitional "
       "(e.g. /ppt/presentation.xml)", None)]),
    # A relationships part counts by the declarations up to its root, as
    # any other part does; one below the root does not count.
    ("XML003-relationships", build(deck({"ppt/presProps.xml": strict_slide(),
                                         "ppt/slides/_rels/slide1.xml.rels": strict_rels()})),
     {"XML003"},
     [("XML003", None, "2 part(s) use Strict namespaces (e.g. /ppt/slides/_rels/slide1.xml.rels) and 6 use "
       "Transitional (e.g. /ppt/presentation.xml)", None)]),
    ("XML003-relationships-below-root", build(deck({"ppt/presProps.xml": strict_slide(),
                                                    "ppt/slides/_rels/slide1.xml.rels": strict_rels(below=True)})),
     {"XML003"},
     [("XML003", None, "1 part(s) use Strict namespaces (e.g. /ppt/presProps.xml) and 6 use Transitional "
       "(e.g. /ppt/presentation.xml)", None)]),
    ("XML004", build(deck({"ppt/slides/slide1.xml": utf16_slide()})), {"XML001", "XML002", "XML004"},
     [("XML004", "/ppt/slides/slide1.xml", "part is UTF-16 encoded", None)]),
]


@pytest.mark.parametrize("data,codes,expected", [c[1:] for c in XML_CASES], ids=[c[0] for c in XML_CASES])
def test_xml_rules(request, data, codes, expected):
    options = {"xml_well_formed": False} if request.node.callspec.id.endswith("-not-checked") else {}
    assert found(data, codes, **options) == expected


# A deck whose findings come out of the stages in the order REL008 (warning,
# relationships stage), CTY001 (error, content-type stage) ... : several
# severities and codes, two findings sharing code and part-lessness.
def mixed_deck():
    d = k.parts()
    d["ppt/media/x.bin"] = b"\0"            # CTY001 error, REL008 warning
    d["ppt/n\u00e9.xml"] = b"<a/>"           # ZIP010 warning, ZIP011 info, REL008 warning
    return build(d)


MIXED_GOLDEN = [
    ("error", "CTY001", "/ppt/media/x.bin"),
    ("warning", "REL008", "/ppt/media/x.bin"),
    ("warning", "REL008", "/ppt/n\u00e9.xml"),
    ("warning", "ZIP010", "/ppt/n\u00e9.xml"),
    ("info", "ZIP011", "/ppt/n\u00e9.xml"),
]


def keys(findings):
    return [(f.severity, f.code, f.part) for f in findings]


class TestReport:
    def test_sorted_most_severe_then_code_then_part(self):
        assert keys(vantrell.check(data=mixed_deck())) == MIXED_GOLDEN

    def test_report_counts_and_codes(self):
        r = vantrell.check_report(data=mixed_deck())
        assert (r.errors, r.warnings, r.is_clean, r.truncated) == (1, 3, False, False)
        assert r.codes == ["CTY001", "REL008", "ZIP010", "ZIP011"]
        assert r.parts_checked == vantrell.check_report(data=mixed_deck(), max_findings=0).parts_checked

    def test_cap_keeps_push_order_not_severity(self):
        # The container stage pushes first: ZIP010 and ZIP011 of the one entry.
        r = vantrell.check_report(data=mixed_deck(), max_findings=1)
        assert keys(r.findings) == [("warning", "ZIP010", "/ppt/n\u00e9.xml")]
        assert r.truncated and (r.errors, r.warnings) == (0, 1)
        assert r.codes == ["ZIP010"]

    def test_cap_that_drops_an_error_is_not_clean(self):
        r = vantrell.check_report(data=mixed_deck(), max_findings=2)
        assert [f.severity for f in r.findings] == ["warning", "info"]
        assert r.errors == 0 and r.truncated
        assert not r.is_clean

    def test_cap_zero(self):
        assert vantrell.check(data=mixed_deck(), max_findings=0) == []
        r = vantrell.check_report(data=mixed_deck(), max_findings=0)
        assert (r.findings, r.errors, r.warnings, r.codes, r.truncated) == ([], 0, 0, [], True)
        clean = vantrell.check_report(data=CLEAN, max_findings=0)
        assert clean.is_clean and not clean.truncated and clean.parts_checked == 39

    def test_crc_stage_counts_only_when_enabled(self):
        assert vantrell.check_report(data=CLEAN, verify_crc=False).parts_checked == 39 - 13
        bad = patch(CLEAN, "ppt/slides/slide1.xml", crc=7)
        assert [f.code for f in vantrell.check(data=bad, verify_crc=False)] == []

    def test_findings_are_fresh_copies(self):
        r = vantrell.check_report(data=mixed_deck())
        first = r.findings
        assert first is not r.findings and r.codes is not r.codes
        first.clear()
        assert len(r.findings) == 5


class TestClasses:
    def test_finding_str_repr_and_attributes(self):
        f = vantrell.check(data=mixed_deck())[0]
        assert (f.code, f.severity, f.clause, f.part, f.location) == (
            "CTY001", "error", "Part 2 7.2.3.2.1", "/ppt/media/x.bin", None)
        assert str(f) == ("error CTY001 /ppt/media/x.bin: no Default or Override gives this part a content type "
                          "[Part 2 7.2.3.2.1]")
        assert repr(f) == "Finding(error CTY001 no Default or Override gives this part a content type)"
        partless = vantrell.check(data=build(deck({"[Content_Types].xml": None})))
        opc004 = [f for f in partless if f.code == "OPC004"][0]
        assert str(opc004) == "error OPC004 [Content_Types].xml is missing [Part 2 7.3.7]"
        with pytest.raises(AttributeError):
            f.code = "X"

    def test_no_constructors_and_module_names(self):
        for cls, doc in ((vantrell.Finding, "One verifier finding."), (vantrell.Rule, "One verifier rule."),
                         (vantrell.CheckReport, "The verifier's result: findings plus how much was checked.")):
            assert cls.__module__ == "vantrell" and cls.__doc__ == doc
            with pytest.raises(TypeError):
                cls()

    def test_rules_catalogue(self):
        rules = vantrell.rules()
        assert len(rules) == 72 and rules is not vantrell.rules()
        assert [rules[0].code, rules[18].code, rules[-1].code] == ["ZIP001", "CTY001", "CPR004"]
        assert len({r.code for r in rules}) == 72
        counts = {s: sum(r.severity == s for r in rules) for s in ("error", "warning", "info")}
        assert counts == {"error": 56, "warning": 13, "info": 3}
        assert repr(rules[2]) == "Rule(warning ZIP003 [Part 2 B.2])"
        assert rules[2].summary == "No bytes precede the first local file header"
        prefixes = [r.code[:3] for r in rules]
        assert prefixes == sorted(prefixes, key=["ZIP", "OPC", "CTY", "REL", "PKG", "XML", "PML", "CPR"].index)

    def test_function_signatures_and_docs(self):
        import inspect
        sig = "(path=None, *, data=None, max_findings=1000, xml_well_formed=True, verify_crc=True)"
        assert str(inspect.signature(vantrell.check)) == sig
        assert str(inspect.signature(vantrell.check_report)) == sig
        assert vantrell.check_report.__doc__ == ("Verifies a deck and returns the findings with the parts checked and\n"
                                                 "whether `max_findings` truncated the list.")
        assert vantrell.rules.__doc__ == "Every rule the verifier knows."
        names = vantrell._vantrell.__all__
        assert names.index("CheckReport") + 1 == names.index("check")
        assert names[names.index("Finding"):names.index("Finding") + 6] == [
            "Finding", "Rule", "CheckReport", "check", "check_report", "rules"]


class TestArguments:
    BOTH = "pass either a path or data=, not both"

    @pytest.mark.parametrize("args,kwargs", [((), {}), ((None,), {"data": None}), (("x.pptx",), {"data": b""})])
    def test_exactly_one_source(self, args, kwargs):
        with pytest.raises(ValueError, match=self.BOTH):
            vantrell.check(*args, **kwargs)

    @pytest.mark.parametrize("kwargs,exc,name", [
        ({"path": 1}, TypeError, "path"), ({"path": b"x.pptx"}, TypeError, "path"),
        ({"data": "text"}, TypeError, "data"), ({"data": [1, 256]}, OverflowError, None),
        ({"data": CLEAN, "max_findings": -1}, OverflowError, None),
        ({"data": CLEAN, "max_findings": None}, TypeError, "max_findings"),
        ({"data": CLEAN, "max_findings": 1.0}, TypeError, "max_findings"),
        ({"data": CLEAN, "verify_crc": 1}, TypeError, "verify_crc"),
        ({"data": CLEAN, "xml_well_formed": None}, TypeError, "xml_well_formed"),
    ])
    def test_conversion_errors_come_first(self, kwargs, exc, name):
        with pytest.raises(exc) as info:
            vantrell.check_report(**kwargs)
        if name:
            assert str(info.value).startswith(f"argument '{name}': ")

    def test_data_as_list_and_bytearray(self):
        with pytest.raises(vantrell.PptxError, match="^not a zip archive$"):
            vantrell.check(data=[80, 75, 3, 4])
        assert vantrell.check(data=bytearray(CLEAN)) == []

    def test_open_failures_raise(self, tmp_path):
        cfb = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(600)
        compound = "compound file: a legacy .ppt or an encrypted package, not an ECMA-376 package"
        (tmp_path / "old.ppt").write_bytes(cfb)
        (tmp_path / "note.txt").write_bytes(b"hi")
        for call in (lambda: vantrell.check(tmp_path / "old.ppt"), lambda: vantrell.check(data=cfb)):
            with pytest.raises(vantrell.PptxError) as info:
                call()
            assert info.value.args == (compound,)
        with pytest.raises(vantrell.PptxError, match="^not a zip archive$"):
            vantrell.check(str(tmp_path / "note.txt"))
        with pytest.raises(vantrell.PptxError, match="^io: "):
            vantrell.check(tmp_path / "missing.pptx")
        with pytest.raises(vantrell.PptxError) as info:
            vantrell.check(str(tmp_path / "deck.pptx") + "\0.txt")
        assert info.value.args == ("io: file name contained an unexpected NUL byte",)

    def test_path_and_data_agree(self, tmp_path):
        path = tmp_path / "mixed.pptx"
        path.write_bytes(mixed_deck())
        assert keys(vantrell.check(path)) == keys(vantrell.check(data=mixed_deck())) == MIXED_GOLDEN
        assert vantrell.check_report(os.fspath(path)).parts_checked == vantrell.check_report(
            data=mixed_deck()).parts_checked


class TestHostileParts:
    def test_deeply_nested_part_gives_a_finding(self):
        deep = b"<a>" * 200000 + b"</a>" * 200000
        found_codes = found(build(deck({"ppt/presProps.xml": deep})), {"XML001"})
        assert found_codes == [("XML001", "/ppt/presProps.xml", "nesting too deep", found_codes[0][3])]

    def test_lying_sizes_give_findings(self):
        # The slide's recorded size is far above what its data inflates to.
        data = patch(CLEAN, "ppt/slides/slide1.xml", usize=0x7FFFFFFF)
        codes = {f.code for f in vantrell.check(data=data)}
        assert {"ZIP008", "XML001"} <= codes

    def test_deflate_bomb_part_is_read_and_reported(self):
        # 64 MiB of NUL bytes deflate to about 64 KiB; NUL is no XML character.
        bomb = b"<a>" + bytes(64 << 20) + b"</a>"
        findings = found(build(deck({"ppt/presProps.xml": bomb})), {"XML001", "ZIP008"})
        assert [(c, p, m) for c, p, m, _ in findings] == [("XML001", "/ppt/presProps.xml", "invalid character")]

    def test_truncations_never_crash(self):
        for cut in range(0, len(CLEAN), 97):
            try:
                vantrell.check(data=CLEAN[:cut])
            except vantrell.PptxError:
                pass


def test_corpus_runs_without_crash(corpus):
    decks = sorted(p for p in corpus.iterdir() if p.suffix.lower() in (".pptx", ".pptm", ".potx", ".ppsx", ".ppt",
                                                                         ".thmx"))
    if not decks:
        pytest.skip("no decks in the corpus folder")
    opened = 0
    for path in decks:
        try:
            report = vantrell.check_report(path)
        except vantrell.PptxError:
            continue
        opened += 1
        assert report.parts_checked > 0 or not report.findings
    assert opened > 0


def test_written_decks_have_no_errors_or_warnings():
    write = getattr(vantrell, "write", None)
    if write is None or not hasattr(write, "Presentation"):
        pytest.skip("the writing API is not built")
    deck_bytes = write.Presentation().to_bytes()
    assert [str(f) for f in vantrell.check(data=deck_bytes) if f.severity != "info"] == []
