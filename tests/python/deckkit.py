"""A minimal valid deck built in memory, and the raw ZIP patches that damage it.

`parts()` gives the deck as an ordered dict of item name to bytes; tests
change that dict and `build()` zips it. The patch helpers then edit single
header fields of the finished archive, located by item name.
"""
import io
import struct
import threading
import warnings
import zipfile
import zlib

P = "http://schemas.openxmlformats.org/presentationml/2006/main"
A = "http://schemas.openxmlformats.org/drawingml/2006/main"
R = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_RELS = "http://schemas.openxmlformats.org/package/2006/relationships"
CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
RT = R
CORE_RT = "http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties"
THUMB_RT = "http://schemas.openxmlformats.org/package/2006/relationships/metadata/thumbnail"
PML_CT = "application/vnd.openxmlformats-officedocument.presentationml."
RELS_CT = "application/vnd.openxmlformats-package.relationships+xml"
CORE_CT = "application/vnd.openxmlformats-package.core-properties+xml"

DECL = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
TREE = ('<p:cSld><p:spTree><p:nvGrpSpPr><p:cNvPr id="1" name=""/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>'
        '<p:grpSpPr/></p:spTree></p:cSld>')
CLR_MAP = ('<p:clrMap bg1="lt1" tx1="dk1" bg2="lt2" tx2="dk2" accent1="accent1" accent2="accent2" '
           'accent3="accent3" accent4="accent4" accent5="accent5" accent6="accent6" hlink="hlink" '
           'folHlink="folHlink"/>')
NS = f'xmlns:a="{A}" xmlns:r="{R}" xmlns:p="{P}"'


def rels(*items):
    """A relationships part from (id, type suffix or full URI, target[, mode]) tuples."""
    out = [DECL, f'<Relationships xmlns="{PKG_RELS}">']
    for item in items:
        rid, rtype, target = item[:3]
        if "://" not in rtype and rtype.strip():
            rtype = f"{RT}/{rtype}"
        mode = f' TargetMode="{item[3]}"' if len(item) > 3 else ""
        out.append(f'<Relationship Id="{rid}" Type="{rtype}" Target="{target}"{mode}/>')
    out.append("</Relationships>")
    return "".join(out).encode()


def content_types(defaults=None, overrides=None):
    defaults = defaults if defaults is not None else [("rels", RELS_CT), ("xml", "application/xml")]
    overrides = overrides if overrides is not None else OVERRIDES
    out = [DECL, f'<Types xmlns="{CT_NS}">']
    out += [f'<Default Extension="{e}" ContentType="{t}"/>' for e, t in defaults]
    out += [f'<Override PartName="{n}" ContentType="{t}"/>' for n, t in overrides]
    out.append("</Types>")
    return "".join(out).encode()


OVERRIDES = [
    ("/ppt/presentation.xml", PML_CT + "presentation.main+xml"),
    ("/ppt/slideMasters/slideMaster1.xml", PML_CT + "slideMaster+xml"),
    ("/ppt/slideLayouts/slideLayout1.xml", PML_CT + "slideLayout+xml"),
    ("/ppt/slides/slide1.xml", PML_CT + "slide+xml"),
    ("/ppt/theme/theme1.xml", "application/vnd.openxmlformats-officedocument.theme+xml"),
    ("/ppt/presProps.xml", PML_CT + "presProps+xml"),
    ("/docProps/core.xml", CORE_CT),
    ("/docProps/app.xml", "application/vnd.openxmlformats-officedocument.extended-properties+xml"),
]


def parts():
    """The minimal valid deck: one master, one layout, one slide."""
    d = {}
    d["[Content_Types].xml"] = content_types()
    d["_rels/.rels"] = rels(("rId1", "officeDocument", "ppt/presentation.xml"),
                            ("rId2", CORE_RT, "docProps/core.xml"),
                            ("rId3", "extended-properties", "docProps/app.xml"))
    d["ppt/presentation.xml"] = (
        DECL + f'<p:presentation {NS}><p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id="rId1"/>'
        '</p:sldMasterIdLst><p:sldIdLst><p:sldId id="256" r:id="rId2"/></p:sldIdLst>'
        '<p:sldSz cx="9144000" cy="6858000" type="screen4x3"/><p:notesSz cx="6858000" cy="9144000"/>'
        '</p:presentation>').encode()
    d["ppt/_rels/presentation.xml.rels"] = rels(
        ("rId1", "slideMaster", "slideMasters/slideMaster1.xml"), ("rId2", "slide", "slides/slide1.xml"),
        ("rId3", "theme", "theme/theme1.xml"), ("rId4", "presProps", "presProps.xml"))
    d["ppt/slideMasters/slideMaster1.xml"] = (
        DECL + f'<p:sldMaster {NS}>{TREE}{CLR_MAP}<p:sldLayoutIdLst>'
        '<p:sldLayoutId id="2147483649" r:id="rId1"/></p:sldLayoutIdLst></p:sldMaster>').encode()
    d["ppt/slideMasters/_rels/slideMaster1.xml.rels"] = rels(
        ("rId1", "slideLayout", "../slideLayouts/slideLayout1.xml"), ("rId2", "theme", "../theme/theme1.xml"))
    d["ppt/slideLayouts/slideLayout1.xml"] = (DECL + f'<p:sldLayout {NS}>{TREE}</p:sldLayout>').encode()
    d["ppt/slideLayouts/_rels/slideLayout1.xml.rels"] = rels(
        ("rId1", "slideMaster", "../slideMasters/slideMaster1.xml"))
    d["ppt/slides/slide1.xml"] = (DECL + f'<p:sld {NS}>{TREE}</p:sld>').encode()
    d["ppt/slides/_rels/slide1.xml.rels"] = rels(("rId1", "slideLayout", "../slideLayouts/slideLayout1.xml"))
    d["ppt/theme/theme1.xml"] = (DECL + f'<a:theme xmlns:a="{A}" name="Office"><a:themeElements/></a:theme>').encode()
    d["ppt/presProps.xml"] = (DECL + f'<p:presentationPr {NS}/>').encode()
    d["docProps/core.xml"] = (
        DECL + '<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties"'
        ' xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/"'
        ' xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><dc:title>Deck</dc:title>'
        '<dcterms:created xsi:type="dcterms:W3CDTF">2000-01-01T00:00:00Z</dcterms:created>'
        '</cp:coreProperties>').encode()
    d["docProps/app.xml"] = (
        DECL + '<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/extended-properties">'
        '<Application>deckkit</Application></Properties>').encode()
    return d


def build(items, compression=zipfile.ZIP_DEFLATED):
    """Zips `items` (name to bytes, or a list of (name, bytes) to allow repeats) in order."""
    pairs = items.items() if isinstance(items, dict) else items
    buf = io.BytesIO()
    with warnings.catch_warnings(), zipfile.ZipFile(buf, "w", compression) as z:
        # Repeated names are deliberate damage here.
        warnings.simplefilter("ignore", UserWarning)
        for name, data in pairs:
            info = zipfile.ZipInfo(name, date_time=(2000, 1, 1, 0, 0, 0))
            info.compress_type = compression
            z.writestr(info, data)
    return buf.getvalue()


def png(width=2, height=1):
    """A small red PNG picture."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + b"\xff\0\0" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def deck(changes):
    """The valid deck with items replaced or added; a value of None removes one."""
    d = parts()
    for name, value in changes.items():
        if value is None:
            d.pop(name, None)
        else:
            d[name] = value
    return d


# Header layouts: field name to (offset, struct format).
LOCAL = {"version": (4, "<H"), "flags": (6, "<H"), "method": (8, "<H"), "crc": (14, "<I"),
         "csize": (18, "<I"), "usize": (22, "<I")}
CENTRAL = {"version": (6, "<H"), "flags": (8, "<H"), "method": (10, "<H"), "crc": (16, "<I"),
           "csize": (20, "<I"), "usize": (24, "<I")}


def _headers(data, signature, name_len_at, name_at):
    """Offsets of the headers with this signature, keyed by item name (first wins)."""
    found = {}
    pos = data.find(signature)
    while pos != -1:
        if pos + name_at <= len(data):
            (n,) = struct.unpack_from("<H", data, pos + name_len_at)
            found.setdefault(data[pos + name_at:pos + name_at + n], pos)
        pos = data.find(signature, pos + 1)
    return found


def central_offset(data, name):
    return _headers(data, b"PK\x01\x02", 28, 46)[name.encode()]


def local_offset(data, name):
    return _headers(data, b"PK\x03\x04", 26, 30)[name.encode()]


def patch(data, name, where="both", **fields):
    """Sets header fields of item `name` in the local header, the central one, or both."""
    out = bytearray(data)
    targets = []
    if where in ("both", "local"):
        targets.append((local_offset(data, name), LOCAL))
    if where in ("both", "central"):
        targets.append((central_offset(data, name), CENTRAL))
    for base, layout in targets:
        for field, value in fields.items():
            off, fmt = layout[field]
            struct.pack_into(fmt, out, base + off, value)
    return bytes(out)


def read_field(data, name, where, field):
    base = local_offset(data, name) if where == "local" else central_offset(data, name)
    off, fmt = (LOCAL if where == "local" else CENTRAL)[field]
    return struct.unpack_from(fmt, data, base + off)[0]


def in_threads(work, n=6):
    """Runs `work(k)` for k in 0..n-1, each on its own thread, all at once;
    returns what they raised."""
    errors = []

    def guarded(k):
        try:
            work(k)
        except BaseException as e:  # noqa: BLE001 - returned to the test
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors
