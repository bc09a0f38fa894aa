"""The PresentationML and core-properties defects of a package, confirmed
apart from the checker with zipfile, ElementTree and the bytes a finding's
location names: `confirms(package, finding)` says whether the defect a
finding reports is really there."""
import io
import pathlib
import posixpath
import re
import struct
import xml.etree.ElementTree as ET
import zipfile
import zlib

from xml.sax.saxutils import unescape

REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
P_NS = ("http://schemas.openxmlformats.org/presentationml/2006/main", "http://purl.oclc.org/ooxml/presentationml/main")
A_NS = ("http://schemas.openxmlformats.org/drawingml/2006/main", "http://purl.oclc.org/ooxml/drawingml/main")
PML_CT = "application/vnd.openxmlformats-officedocument.presentationml."
TAG = re.compile(rb"<([\w.:-]+)((?:\s+[^\s=>/]+\s*=\s*(?:\"[^\"]*\"|'[^']*'))*)\s*/?>")
ATTR = re.compile(rb"([^\s=>/]+)\s*=\s*(?:\"([^\"]*)\"|'([^']*)')")
NUMBER = re.compile(r"\s*\+?(\d+)\s*")
CUT = re.compile(r"(.*)\.\.\. \((\d+) bytes\)", re.S)


def local_entries(data):
    """{name: bytes} from the local headers of an archive whose central
    directory is lost (a truncated copy); entries cut short are left out."""
    out, at = {}, data.find(b"PK\x03\x04")
    while at >= 0 and at + 30 <= len(data):
        flags, method = struct.unpack_from("<HH", data, at + 6)
        size, name_len, extra_len = struct.unpack_from("<I4xHH", data, at + 18)
        name = data[at + 30:at + 30 + name_len].decode("utf-8", "replace")
        body = at + 30 + name_len + extra_len
        try:
            if method == 8:
                inflater = zlib.decompressobj(-15)
                content = inflater.decompress(data[body:] if flags & 8 else data[body:body + size])
                if not inflater.eof:
                    raise zlib.error("cut short")
            elif method == 0 and not flags & 8 and body + size <= len(data):
                content = data[body:body + size]
            else:
                raise zlib.error("not readable")
            out.setdefault(name, content)
        except zlib.error:
            pass
        at = data.find(b"PK\x03\x04", at + 4)
    return out


class Package:
    def __init__(self, source):
        data = source if isinstance(source, bytes) else pathlib.Path(source).read_bytes()
        try:
            z = zipfile.ZipFile(io.BytesIO(data))
        except zipfile.BadZipFile:
            self.parts = local_entries(data)
        else:
            self.parts = {}
            for n in z.namelist():
                try:
                    self.parts.setdefault(n, z.read(n))
                except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError):
                    pass  # a damaged entry is no part
        self.names = {n.lower(): n for n in self.parts}

    def read(self, part):
        name = self.names.get(part.lstrip("/").lower())
        return None if name is None else self.parts[name]

    def text(self, part):
        """The part's bytes as the checker counts offsets: UTF-8."""
        data = self.read(part)
        if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
            return data.decode("utf-16").encode()
        return data

    def exists(self, part):
        return part.lstrip("/").lower() in self.names

    def root(self, part):
        return ET.fromstring(self.read(part))

    def rels(self, part):
        """(id, type, target resolved or None when external, target as
        written) of a part's relationships; None when they cannot be read."""
        folder, name = posixpath.split(part)
        data = self.read(posixpath.join(folder, "_rels", name + ".rels"))
        if data is None:
            return []
        try:
            root = ET.fromstring(data)
        except ET.ParseError:
            return None
        out = []
        for r in root.iter(f"{{{REL_NS}}}Relationship"):
            target = r.get("Target", "")
            if r.get("TargetMode") == "External":
                resolved = None
            elif target.startswith("/"):
                resolved = posixpath.normpath(target)
            else:
                resolved = posixpath.normpath(posixpath.join(folder, target))
            out.append((r.get("Id"), r.get("Type", ""), resolved, target))
        return out

    def rel(self, part, rid):
        return next((r for r in self.rels(part) or () if r[0] == rid), None)

    def content_type(self, part):
        root = ET.fromstring(self.read("[Content_Types].xml"))
        for o in root.iter(f"{{{CT_NS}}}Override"):
            if o.get("PartName", "").lower() == part.lower():
                return o.get("ContentType")
        ext = part.rsplit(".", 1)[-1].lower()
        for d in root.iter(f"{{{CT_NS}}}Default"):
            if d.get("Extension", "").lower() == ext:
                return d.get("ContentType")
        return None

    def tag_at(self, part, location):
        """(qualified name, {qualified attribute: decoded value}) of the start
        tag a "byte N" location names."""
        text, at = self.text(part), int(location.split()[1])
        m = TAG.match(text, at) or (text.startswith(b"\xef\xbb\xbf") and TAG.match(text, at + 3))
        if not m:
            return None, {}
        attrs = {a.decode(): unescape((v1 or v2).decode(), {"&quot;": '"', "&apos;": "'"})
                 for a, v1, v2 in ATTR.findall(m.group(2))}
        return m.group(1).decode(), attrs


def local(qname):
    return qname.rsplit(":", 1)[-1] if qname else None


def number(value):
    m = NUMBER.fullmatch(value or "")
    return int(m.group(1)) if m else None


def signed(value):
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def same(shown, value):
    """Whether a finding shows `value`: whole, or as its first bytes and its length."""
    m = CUT.fullmatch(shown)
    if value is None or not m:
        return shown == value
    return len(value.encode()) == int(m.group(2)) > len(m.group(1).encode()) and value.startswith(m.group(1))


def reaches(pkg, rel):
    return rel is not None and rel[2] is not None and pkg.exists(rel[2])


def has_kind(pkg, part, kind):
    return any(r[1].endswith("/" + kind) for r in pkg.rels(part) or ())


def id_attr(attrs, name="id"):
    return next((v for k, v in attrs.items() if k == name), None)


def rid_attr(attrs):
    return next((v for k, v in attrs.items() if k.endswith(":id") and not k.startswith("xmlns")), None)


def confirms(pkg, f):
    """Whether the defect finding `f` reports is there in `pkg`."""
    part, msg, loc = f.part, f.message, f.location or ""
    tag, attrs = pkg.tag_at(part, loc) if loc.startswith("byte ") else (None, {})

    def repeats(name, n, earlier):
        first = pkg.tag_at(part, f"byte {earlier}")
        return local(tag) == local(first[0]) == name and number(id_attr(attrs)) == number(id_attr(first[1])) == n

    if m := re.fullmatch(r"(\d+) presProps relationship\(s\)", msg):
        count = sum(r[1].endswith("/presProps") and reaches(pkg, r) for r in pkg.rels(part) or ())
        return count == int(m.group(1)) != 1
    kinds = {"PML015": "slideLayout", "PML016": "slideMaster", "PML018": "notesMaster"}
    if f.code in kinds:
        return not has_kind(pkg, part, kinds[f.code])
    if m := re.fullmatch(r"(\w+) r:id (\S*) is not a relationship of the presentation", msg):
        named = not loc.startswith("byte ") or (local(tag) == m.group(1) and (rid_attr(attrs) or "") == m.group(2))
        return named and pkg.rel(part, m.group(2)) is None
    if m := re.fullmatch(r"(\w+) r:id (\S*) targets (.*), which does not exist", msg):
        rel = pkg.rel(part, m.group(2))
        named = not loc.startswith("byte ") or (local(tag) == m.group(1) and rid_attr(attrs) == m.group(2))
        return named and rel is not None and same(m.group(3), rel[3]) and not reaches(pkg, rel)
    if m := re.fullmatch(r"sldLayoutId r:id (\S*) does not resolve to a part", msg):
        named = local(tag) == "sldLayoutId" and rid_attr(attrs) == m.group(1)
        return named and not reaches(pkg, pkg.rel(part, m.group(1)))
    if m := re.fullmatch(r"(\w+) target has content type (.*)|content type is (.*)", msg):
        return same(m.group(2) or m.group(3), pkg.content_type(part))
    if m := re.fullmatch(r"(\w+) relationship (\S+) has type (\S+)", msg):
        rel, kind = pkg.rel(part, m.group(2)), m.group(1)[0].lower() + m.group(1)[1:-2]
        return rel is not None and rel[1] == m.group(3) and not rel[1].endswith("/" + kind)
    if m := re.fullmatch(r"relationship (\S+) is not of the slide type", msg):
        rel = pkg.rel(part, m.group(1))
        return rel is not None and not rel[1].endswith("/slide")
    if m := re.fullmatch(r"cNvPr/@id (\d+) repeats the id at byte (\d+)", msg):
        return repeats("cNvPr", int(m.group(1)), m.group(2))
    if m := re.fullmatch(r"(sldId|sldMasterId)/@id (\d+) repeats the id at byte (\d+)", msg):
        return repeats(m.group(1), int(m.group(2)), m.group(3))
    if m := re.fullmatch(r"(sldId|sldMasterId|sldLayoutId)/@id is (\d+)", msg):
        n = int(m.group(2))
        wrong = n < 256 or n >= 2**31 if m.group(1) == "sldId" else n < 2**31
        return local(tag) == m.group(1) and number(id_attr(attrs)) == n and wrong
    if msg == "sldId has no numeric id":
        return local(tag) == "sldId" and number(id_attr(attrs)) is None
    if m := re.fullmatch(r"r:(\S+) = (.*) names no relationship of this part", msg):
        value = next((v for k, v in attrs.items() if k.split(":")[-1] == m.group(1) and same(m.group(2), v)), None)
        return value is not None and pkg.rel(part, value) is None
    if m := re.fullmatch(r"(sldId|sldMasterId) without r:id", msg):
        return local(tag) == m.group(1) and not rid_attr(attrs)
    if m := re.fullmatch(r"(sldSz|notesSz) without numeric cx and cy", msg):
        return local(tag) == m.group(1) and None in (number(attrs.get("cx")), number(attrs.get("cy")))
    if m := re.fullmatch(r'(\S+) lacks xsi:type="dcterms:W3CDTF"', msg):
        xsi = next((v for k, v in attrs.items() if k.endswith(":type")), None)
        return tag == m.group(1) and xsi != "dcterms:W3CDTF"
    if m := re.fullmatch(r"(\S+) appears more than once", msg):
        at = int(loc.split()[1])
        earlier = re.search(rb"<" + re.escape(tag.encode()) + rb"[\s/>]", pkg.text(part)[:at]) if tag else None
        return tag == m.group(1) and earlier is not None
    root = pkg.root(part)
    if m := re.fullmatch(r"sldSz/@(cx|cy) is (-?\d+)", msg):
        size = next((e for ns in P_NS for e in root.iter(f"{{{ns}}}sldSz")), None)
        n = int(m.group(2))
        return size is not None and signed(size.get(m.group(1))) == n and not 914400 <= n <= 51206400
    if msg == "notesSz is missing":
        sizes = [e for ns in P_NS for e in root.iter(f"{{{ns}}}notesSz")]
        return all(number(e.get("cx")) is None or number(e.get("cy")) is None for e in sizes)
    if msg == "sldMasterIdLst lists no slide master":
        # A master without r:id names none.
        return not any(k.endswith("}id") and "relationships" in k and v
                       for ns in P_NS for e in root.iter(f"{{{ns}}}sldMasterId") for k, v in e.attrib.items())
    if msg == "root element is not p:presentation":
        return root.tag not in {f"{{{ns}}}presentation" for ns in P_NS}
    if m := re.fullmatch(r"root element is (\S+), expected (a|p):(\w+)", msg):
        namespaces = A_NS if m.group(2) == "a" else P_NS
        return root.tag not in {f"{{{ns}}}{m.group(3)}" for ns in namespaces}
    if msg == "root element has attributes":
        return any(not k.startswith("{http://www.w3.org/2000/xmlns/}") for k in root.attrib)
    if m := re.fullmatch(r"root element is (\S+)", msg):
        return root.tag != "{http://schemas.openxmlformats.org/package/2006/metadata/core-properties}coreProperties"
    return False


def written_here(pkg):
    """Whether the project's own writer made the package."""
    data = pkg.read("docProps/app.xml")
    return data is not None and b"<Application>vantrell</Application>" in data
