"""The raw package classes: Package, Part, Relationship, ContentTypes, PackageDefects.

Fixtures are small packages built here with zipfile, one per behaviour.
"""

import io
import json
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import zipfile
import zlib

import pytest

import vantrell
from vantrell import ContentTypes, Package, PackageDefects, Part, PptxError, Relationship
from deckkit import in_threads

CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
OFFICE_DOC = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument"
IMAGE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image"
LINK = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink"
PRES_CT = "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"
CFB_MAGIC = bytes.fromhex("D0CF11E0A1B11AE1")


def content_types(defaults=(), overrides=()):
    body = "".join(f'<Default Extension="{e}" ContentType="{t}"/>' for e, t in defaults)
    body += "".join(f'<Override PartName="{n}" ContentType="{t}"/>' for n, t in overrides)
    return f'<?xml version="1.0" encoding="UTF-8"?><Types xmlns="{CT_NS}">{body}</Types>'


def relationships(*rels):
    body = ""
    for rid, rtype, target, *external in rels:
        mode = ' TargetMode="External"' if external and external[0] else ""
        body += f'<Relationship Id="{rid}" Type="{rtype}" Target="{target}"{mode}/>'
    return f'<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="{REL_NS}">{body}</Relationships>'


def make_zip(entries, compression=zipfile.ZIP_DEFLATED):
    """A ZIP archive of (name, bytes or str) pairs, in order."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as z:
        for name, data in entries:
            z.writestr(name, data.encode() if isinstance(data, str) else data)
    return buf.getvalue()


def set_method(archive, name, method):
    """The archive with entry `name` recorded under another compression method."""
    data = bytearray(archive)
    raw = name.encode()
    # (signature, method offset, name-length offset, name offset) of both records
    for sig, method_at, length_at, name_at in ((b"PK\x01\x02", 10, 28, 46), (b"PK\x03\x04", 8, 26, 30)):
        pos = data.find(sig)
        while pos >= 0:
            (n,) = struct.unpack_from("<H", data, pos + length_at)
            if data[pos + name_at : pos + name_at + n] == raw:
                struct.pack_into("<H", data, pos + method_at, method)
            pos = data.find(sig, pos + 4)
    return bytes(data)


BASIC = [
    (
        "[Content_Types].xml",
        content_types(
            defaults=[("xml", "application/xml"), ("rels", "application/vnd.openxmlformats-package.relationships+xml"),
                      ("png", "image/png")],
            overrides=[("/ppt/presentation.xml", PRES_CT)],
        ),
    ),
    ("_rels/.rels", relationships(("rId1", OFFICE_DOC, "ppt/presentation.xml"))),
    ("ppt/presentation.xml", "<p:presentation xmlns:p='urn:p'/>"),
    (
        "ppt/slides/_rels/slide1.xml.rels",
        relationships(
            ("rId2", IMAGE, "../media/image1.png"),
            ("rId3", LINK, "https://example.invalid/a?b#c", True),
            ("RID2", IMAGE, "./../media/./image1.png#frag"),
        ),
    ),
    ("ppt/slides/slide1.xml", "<sld/>"),
    ("ppt/slides/slide2.xml", "<sld/>"),
    ("ppt/media/image1.png", b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 4),
]


@pytest.fixture
def basic():
    return Package(data=make_zip(BASIC))


def write(tmp_path, data, name="deck.pptx"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


class TestOpening:
    def test_path_str_pathlike_and_data_forms_open_the_same_package(self, tmp_path):
        data = make_zip(BASIC)
        path = write(tmp_path, data)

        class FsPath:
            def __fspath__(self):
                return str(path)

        opened = [
            Package(str(path)),
            Package(path),
            Package(path=FsPath()),
            Package(data=data),
            Package(None, data=bytearray(data)),
            Package(path=None, data=list(data)),
            Package(data=memoryview(data)),
        ]
        names = [p.name for p in opened[0].parts()]
        assert names == [
            "/_rels/.rels",
            "/ppt/presentation.xml",
            "/ppt/slides/_rels/slide1.xml.rels",
            "/ppt/slides/slide1.xml",
            "/ppt/slides/slide2.xml",
            "/ppt/media/image1.png",
        ]
        for p in opened:
            assert [q.name for q in p.parts()] == names
            assert p.read("/ppt/media/image1.png") == dict(BASIC)["ppt/media/image1.png"]

    @pytest.mark.parametrize("kwargs", [{}, {"path": None}, {"data": None}, {"path": None, "data": None}])
    def test_neither_source_is_a_value_error(self, kwargs):
        with pytest.raises(ValueError) as e:
            Package(**kwargs)
        assert e.value.args == ("pass either a path or data=, not both",)

    def test_both_sources_is_a_value_error(self, tmp_path):
        path = write(tmp_path, make_zip(BASIC))
        with pytest.raises(ValueError, match="^pass either a path or data=, not both$"):
            Package(path, data=make_zip(BASIC))

    def test_argument_types_are_checked_and_named(self):
        with pytest.raises(TypeError) as e:
            Package(data="PK\x03\x04")
        assert str(e.value) == "argument 'data': Can't extract `str` to `Vec`"
        with pytest.raises(TypeError, match="^argument 'path': "):
            Package(b"/tmp/deck.pptx")
        with pytest.raises(TypeError, match="^argument 'path': "):
            Package(42)
        with pytest.raises(TypeError, match="^argument 'data': "):
            Package(data=[1, 2, "x"])
        with pytest.raises(OverflowError):
            Package(data=[1, 256])
        with pytest.raises(TypeError, match=r"^Package\.__new__\(\) got an unexpected keyword argument 'file'$"):
            Package(file="x")
        with pytest.raises(TypeError, match=r"^Package\.__new__\(\) takes"):
            Package("a", b"b")

    def test_missing_file_and_nul_in_path_are_io_errors(self, tmp_path):
        with pytest.raises(PptxError) as e:
            Package(tmp_path / "absent.pptx")
        assert e.value.args[0].startswith("io: ")
        assert e.value.args[0].endswith("(os error 2)")
        # The name must not be cut at the NUL and open "/…/deck.pptx" instead.
        path = write(tmp_path, make_zip(BASIC))
        with pytest.raises(PptxError) as e:
            Package(str(path) + "\0ignored")
        assert e.value.args == ("io: file name contained an unexpected NUL byte",)

    @pytest.mark.parametrize("data", [b"", b"PK", b"hello world, no archive here", CFB_MAGIC[:3]])
    def test_not_a_zip_archive(self, tmp_path, data):
        with pytest.raises(PptxError) as e:
            Package(data=data)
        assert e.value.args == ("not a zip archive",)
        with pytest.raises(PptxError) as e:
            Package(write(tmp_path, data))
        assert e.value.args == ("not a zip archive",)

    @pytest.mark.parametrize("tail", [b"", bytes(512), b"\xff" * 100_000])
    def test_compound_file_is_refused_from_data_and_from_path(self, tmp_path, tail):
        message = "compound file: a legacy .ppt or an encrypted package, not an ECMA-376 package"
        for data in (CFB_MAGIC[:4] + tail, CFB_MAGIC + tail):
            with pytest.raises(PptxError) as e:
                Package(data=data)
            assert e.value.args == (message,)
            with pytest.raises(PptxError) as e:
                Package(write(tmp_path, data))
            assert e.value.args == (message,)

    def test_compound_signature_inside_a_zip_does_not_count(self):
        # A ZIP whose first entry holds a compound file is still a package.
        p = Package(data=make_zip([("ppt/legacy.bin", CFB_MAGIC + bytes(600))], zipfile.ZIP_STORED))
        assert p.read("/ppt/legacy.bin")[:8] == CFB_MAGIC

    def test_file_stays_open_after_the_name_is_removed(self, tmp_path):
        path = write(tmp_path, make_zip(BASIC))
        p = Package(path)
        path.unlink()
        assert p.read("/ppt/slides/slide1.xml") == b"<sld/>"
        assert [r.id for r in p.rels()] == ["rId1"]

    def test_broken_entry_data_raises_on_read_not_on_open(self):
        data = bytearray(make_zip([("ppt/a.xml", "<a>" + "x" * 2000 + "</a>")]))
        start = data.find(b"ppt/a.xml") + len("ppt/a.xml")
        data[start : start + 16] = b"\xff" * 16  # garbage deflate stream
        p = Package(data=bytes(data))
        assert p.has("/ppt/a.xml")
        with pytest.raises(PptxError, match="^(inflate|zip): "):
            p.read("/ppt/a.xml")


class TestLookups:
    def test_has_ignores_ascii_case_only(self, basic):
        assert basic.has("/ppt/presentation.xml")
        assert basic.has("/PPT/Presentation.XML")
        assert not basic.has("ppt/presentation.xml")
        assert not basic.has("/ppt/presentation.xml ")
        assert not basic.has("/[Content_Types].xml")
        assert not basic.has("")

    def test_content_type_override_default_and_none(self, basic):
        assert basic.content_type("/ppt/presentation.xml") == PRES_CT
        assert basic.content_type("/PPT/PRESENTATION.xml") == PRES_CT
        assert basic.content_type("/ppt/slides/slide1.xml") == "application/xml"
        # Any name gets an answer, part or not; extensions compare ignoring case.
        assert basic.content_type("/nowhere/picture.PNG") == "image/png"
        assert basic.content_type("/ppt/media/image1.gif") is None
        assert basic.content_type("/ppt/noextension") is None

    def test_lookup_argument_types(self, basic):
        with pytest.raises(TypeError, match="^argument 'name': "):
            basic.has(b"/ppt/presentation.xml")
        with pytest.raises(TypeError, match="^argument 'name': "):
            basic.content_type(None)
        with pytest.raises(TypeError):
            basic.has()


class TestRead:
    def test_stored_and_deflated_parts(self):
        payload = bytes(range(256)) * 50
        for compression in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            p = Package(data=make_zip([("ppt/blob.bin", payload), ("ppt/empty.xml", b"")], compression))
            assert p.read("/ppt/blob.bin") == payload
            assert p.read("/ppt/blob.bin", raw=True) == payload
            assert p.read("/ppt/empty.xml") == b""

    def test_utf16_xml_is_converted_unless_raw(self):
        text = '<?xml version="1.0" encoding="UTF-16"?><a>é – ✓ 𝄞</a>'
        le = text.encode("utf-16")  # with a byte-order mark
        be = text.encode("utf-16-be")  # none: found by "<?" in UTF-16
        p = Package(data=make_zip([("a.xml", le), ("b.xml", be), ("c.xml", text)]))
        for name, stored in (("/a.xml", le), ("/b.xml", be)):
            assert p.read(name, raw=True) == stored
            assert p.read(name) == text.encode("utf-8")
        assert p.read("/c.xml") == p.read("/c.xml", raw=True) == text.encode()

    def test_missing_part_names_the_name_as_passed(self, basic):
        for name in ("/ppt/nope.xml", "ppt/presentation.xml", "/[Content_Types].xml", "/ppt/"):
            with pytest.raises(PptxError) as e:
                basic.read(name)
            assert e.value.args == (f"missing part: {name}",)
        with pytest.raises(PptxError, match="^missing part: /x$"):
            basic.read("/x", raw=True)

    def test_name_is_case_insensitive_and_result_is_fresh(self, basic):
        a = basic.read("/PPT/SLIDES/SLIDE1.XML")
        b = basic.read("/ppt/slides/slide1.xml")
        assert a == b == b"<sld/>"
        assert type(a) is bytes

    def test_raw_must_be_bool_and_keyword(self, basic):
        with pytest.raises(TypeError, match="^argument 'raw': "):
            basic.read("/ppt/slides/slide1.xml", raw=1)
        with pytest.raises(TypeError):
            basic.read("/ppt/slides/slide1.xml", True)

    def test_unsupported_method_is_an_error_of_that_part_only(self):
        data = set_method(make_zip(BASIC), "ppt/slides/slide2.xml", 99)
        p = Package(data=data)
        assert p.read("/ppt/slides/slide1.xml") == b"<sld/>"
        with pytest.raises(PptxError, match="^unsupported: "):
            p.read("/ppt/slides/slide2.xml")


class TestRelationships:
    def test_package_relationships_by_default(self, basic):
        rels = basic.rels()
        assert [(r.id, r.type, r.target, r.external) for r in rels] == [
            ("rId1", OFFICE_DOC, "ppt/presentation.xml", False)
        ]
        assert [r.id for r in basic.rels("/")] == ["rId1"]
        assert [r.id for r in basic.rels(source="/")] == ["rId1"]

    def test_part_relationships_in_document_order(self, basic):
        rels = basic.rels("/ppt/slides/slide1.xml")
        assert [(r.id, r.target, r.external) for r in rels] == [
            ("rId2", "../media/image1.png", False),
            ("rId3", "https://example.invalid/a?b#c", True),
            ("RID2", "./../media/./image1.png#frag", False),
        ]
        # The relationships part is found ignoring ASCII case.
        assert [r.id for r in basic.rels("/PPT/slides/SLIDE1.xml")] == ["rId2", "rId3", "RID2"]

    @pytest.mark.parametrize("source", ["/ppt/slides/slide2.xml", "/ppt/absent.xml", "ppt/slides/slide1.xml"])
    def test_no_relationships_part_gives_an_empty_list(self, basic, source):
        assert basic.rels(source) == []

    def test_resolve(self, basic):
        s = "/ppt/slides/slide1.xml"
        assert basic.resolve("/", "rId1") == "/ppt/presentation.xml"
        assert basic.resolve(s, "rId2") == "/ppt/media/image1.png"
        assert basic.resolve(s, "RID2") == "/ppt/media/image1.png"
        assert basic.resolve(s, "rid2") is None  # ids compare exactly
        assert basic.resolve(s, "rId3") is None  # external
        assert basic.resolve(s, "rId9") is None
        assert basic.resolve("/ppt/absent.xml", "rId1") is None

    def test_backslashes_and_parent_segments_resolve(self):
        p = Package(
            data=make_zip([("a/b/_rels/c.xml.rels", relationships(("r1", IMAGE, "..\\..\\x\\y.png?q=1"),
                                                                   ("r2", IMAGE, "/abs/z.png"),
                                                                   ("r3", IMAGE, "../../../../up.png")))])
        )
        assert p.resolve("/a/b/c.xml", "r1") == "/x/y.png"
        assert p.resolve("/a/b/c.xml", "r2") == "/abs/z.png"
        assert p.resolve("/a/b/c.xml", "r3").startswith("/")

    def test_malformed_relationships_part_raises_xml_error(self):
        p = Package(data=make_zip([("_rels/.rels", "<Relationships><Relationship Id='a'></Relation>"),
                                   ("x/_rels/y.xml.rels", relationships(("r1", IMAGE, "z.png")))]))
        for call in (lambda: p.rels(), lambda: p.resolve("/", "a")):
            with pytest.raises(PptxError) as e:
                call()
            assert e.value.args[0].startswith("xml in /_rels/.rels at byte ")
        # The failure is not remembered for the next call, nor does it spread.
        assert p.resolve("/x/y.xml", "r1") == "/x/z.png"
        with pytest.raises(PptxError):
            p.rels("/")

    def test_tolerated_entries_do_not_fail_the_call(self):
        bad = (f'<Relationships xmlns="{REL_NS}"><Relationship Type="{IMAGE}" Target="a.png"/>'
               f'<Relationship Id="r2" Type="{IMAGE}" Target="b.png"/></Relationships>')
        p = Package(data=make_zip([("_rels/.rels", bad)]))
        assert "r2" in [r.id for r in p.rels()]
        assert p.resolve("/", "r2") == "/b.png"

    def test_argument_types(self, basic):
        with pytest.raises(TypeError, match="^argument 'source': "):
            basic.rels(None)
        with pytest.raises(TypeError, match="^argument 'rel_id': "):
            basic.resolve("/", 1)
        with pytest.raises(TypeError):
            basic.resolve("/")


class TestContentTypes:
    def test_dicts_sorted_by_key_keep_case_and_last_value(self):
        ct = content_types(
            defaults=[("xml", "application/xml"), ("png", "image/png"), ("PNG", "image/x-upper"),
                      ("jpeg", "image/first"), ("jpeg", "image/jpeg")],
            overrides=[("/z.xml", "z/z"), ("/a.xml", "a/a"), ("/A.xml", "A/A"), ("/a.xml", "a/later")],
        )
        p = Package(data=make_zip([("[Content_Types].xml", ct), ("a.xml", "<a/>")]))
        c = p.content_types()
        assert list(c.defaults.items()) == [
            ("PNG", "image/x-upper"), ("jpeg", "image/jpeg"), ("png", "image/png"), ("xml", "application/xml")
        ]
        assert list(c.overrides.items()) == [("/A.xml", "A/A"), ("/a.xml", "a/later"), ("/z.xml", "z/z")]
        assert repr(c) == "ContentTypes(defaults=4, overrides=3)"

    def test_returned_dicts_are_copies(self, basic):
        c = basic.content_types()
        c.defaults["xml"] = "changed"
        c.defaults.clear()
        c.overrides["/new"] = "x"
        assert c.defaults["xml"] == "application/xml"
        assert "/new" not in c.overrides
        assert basic.content_types().defaults["xml"] == "application/xml"

    def test_package_without_content_types(self):
        p = Package(data=make_zip([("ppt/presentation.xml", "<p/>"), ("ppt/a.png", b"x")]))
        c = p.content_types()
        assert c.defaults == {} and c.overrides == {}
        assert p.content_type("/ppt/presentation.xml") is None
        assert p.content_type("/ppt/a.png") is None
        assert all(part.content_type is None for part in p.parts())
        d = p.defects
        assert d.content_types_missing is True
        assert repr(d) == "PackageDefects(content_types_missing=true, invalid_names=0, collisions=0)"

    def test_lookups_agree_with_parts(self, basic):
        for part in basic.parts():
            assert part.content_type == basic.content_type(part.name)
        by_name = {p.name: p.content_type for p in basic.parts()}
        assert by_name["/ppt/presentation.xml"] == PRES_CT
        assert by_name["/ppt/media/image1.png"] == "image/png"
        assert by_name["/_rels/.rels"] == "application/vnd.openxmlformats-package.relationships+xml"


class TestDefects:
    def test_clean_package_has_none(self, basic):
        d = basic.defects
        assert d.content_types_missing is False
        assert d.content_types_case is None
        assert d.content_types_error is None
        assert d.content_types_unreadable is None
        assert d.invalid_names == d.collisions == d.derivable == []
        assert d.directories == d.incomplete_pieces == []
        assert repr(d) == "PackageDefects(content_types_missing=false, invalid_names=0, collisions=0)"

    def test_content_types_under_another_casing_is_still_used(self):
        ct = content_types(defaults=[("xml", "application/xml")])
        p = Package(data=make_zip([("[content_types].XML", ct), ("a.xml", "<a/>")]))
        d = p.defects
        assert d.content_types_missing is False
        assert d.content_types_case == "[content_types].XML"
        assert p.content_type("/a.xml") == "application/xml"
        assert [part.name for part in p.parts()] == ["/a.xml"]

    def test_malformed_content_types_stream(self):
        bad = f'<Types xmlns="{CT_NS}"><Default Extension="xml" ContentType="a/b"></Types>'
        p = Package(data=make_zip([("[Content_Types].xml", bad), ("a.xml", "<a/>")]))
        d = p.defects
        assert d.content_types_missing is False
        assert d.content_types_unreadable is None
        message, _, offset = d.content_types_error.rpartition(" at byte ")
        assert message and offset.isdigit() and int(offset) <= len(bad)
        assert p.content_types().defaults == {}
        assert p.content_type("/a.xml") is None

    def test_unreadable_content_types_stream(self):
        ct = content_types(defaults=[("xml", "application/xml")])
        p = Package(data=set_method(make_zip([("[Content_Types].xml", ct), ("a.xml", "<a/>")]),
                                    "[Content_Types].xml", 99))
        d = p.defects
        assert d.content_types_unreadable.startswith("unsupported: ")
        assert d.content_types_error is None
        assert d.content_types_missing is False
        assert p.content_types().defaults == {}

    def test_names_collisions_derivable_and_directories(self):
        p = Package(data=make_zip([
            ("[Content_Types].xml", content_types()),
            ("ppt/", b""),
            ("ppt/slides/", b""),
            ("ppt/Slide.xml", "<a/>"),
            ("ppt/slide.xml", "<b/>"),
            ("ppt/a", "<c/>"),
            ("ppt/a/b.xml", "<d/>"),
            ("ppt/bad name.xml", "<e/>"),
            ("ppt/x%2Fy.xml", "<f/>"),
        ]))
        d = p.defects
        assert d.directories == ["ppt/", "ppt/slides/"]
        assert sorted(map(sorted, d.collisions)) == [["/ppt/Slide.xml", "/ppt/slide.xml"]]
        assert [tuple(sorted(pair)) for pair in d.derivable] == [("/ppt/a", "/ppt/a/b.xml")]
        invalid = dict(d.invalid_names)
        assert set(invalid) == {"/ppt/bad name.xml", "/ppt/x%2Fy.xml"}
        assert invalid["/ppt/bad name.xml"] == "character ' ' must be percent-encoded"
        assert invalid["/ppt/x%2Fy.xml"] == "percent-encoded slash"
        assert all(type(pair) is tuple and len(pair) == 2 for pair in d.invalid_names + d.collisions)
        assert repr(d) == "PackageDefects(content_types_missing=false, invalid_names=2, collisions=1)"
        # Directories are not parts.
        assert not p.has("/ppt/")
        assert "/ppt/" not in [part.name for part in p.parts()]

    def test_attributes_are_rebuilt_on_every_read(self):
        p = Package(data=make_zip([("d/", b""), ("a b.xml", "<a/>")]))
        d = p.defects
        d.directories.append("x")
        d.invalid_names.clear()
        assert d.directories == ["d/"]
        assert len(d.invalid_names) == 1
        assert p.defects.directories == ["d/"]


def pieces(name, chunks, last=True):
    out = []
    for i, chunk in enumerate(chunks):
        suffix = ".last.piece" if last and i == len(chunks) - 1 else ".piece"
        out.append((f"{name}/[{i}]{suffix}", chunk))
    return out


class TestInterleavedParts:
    def test_pieces_read_as_one_part_with_summed_sizes(self):
        chunks = [b"<a>" + b"x" * 3000, b"y" * 5000, b"z" * 7 + b"</a>"]
        entries = [("[Content_Types].xml", content_types(defaults=[("xml", "application/xml")])),
                   ("ppt/first.xml", "<f/>")]
        # Pieces stored out of order, with an unrelated entry between them.
        piece_entries = pieces("ppt/big.xml", chunks)
        entries += [piece_entries[2], ("ppt/mid.xml", "<m/>"), piece_entries[0], piece_entries[1]]
        data = make_zip(entries)
        p = Package(data=data)
        names = [part.name for part in p.parts()]
        assert names == ["/ppt/first.xml", "/ppt/mid.xml", "/ppt/big.xml"]
        assert p.read("/ppt/big.xml") == b"".join(chunks)
        assert p.has("/PPT/BIG.XML") and not p.has("/ppt/big.xml/[0].piece")

        big = p.parts()[2]
        infos = {i.filename: i for i in zipfile.ZipFile(io.BytesIO(data)).infolist()}
        piece_infos = [infos[n] for n, _ in piece_entries]
        assert big.size == sum(len(c) for c in chunks) == len(p.read("/ppt/big.xml"))
        assert big.compressed_size == sum(i.compress_size for i in piece_infos)
        assert big.content_type == "application/xml"
        assert repr(big) == f'Part("/ppt/big.xml", {big.size} bytes)'
        assert p.defects.incomplete_pieces == []

    def test_missing_last_piece_is_reported(self):
        p = Package(data=make_zip(pieces("ppt/x.xml", [b"<a>", b"</a>"], last=False)
                                  + pieces("ppt/gap.xml", [b"1", b"2", b"3"])[::2]))
        assert sorted(p.defects.incomplete_pieces) == ["/ppt/gap.xml", "/ppt/x.xml"]

    def test_single_entry_sizes_match_the_central_directory(self):
        data = make_zip(BASIC)
        infos = {"/" + i.filename: i for i in zipfile.ZipFile(io.BytesIO(data)).infolist()}
        for part in Package(data=data).parts():
            assert part.size == infos[part.name].file_size
            assert part.compressed_size == infos[part.name].compress_size


class TestClasses:
    def test_names_docs_and_signatures(self):
        classes = [Package, Part, Relationship, ContentTypes, PackageDefects]
        for cls in classes:
            assert cls.__module__ == "vantrell"
            assert cls.__qualname__ == cls.__name__
        names = vantrell._vantrell.__all__
        start = names.index("Package")
        assert names[start : start + 5] == ["Package", "Part", "Relationship", "ContentTypes", "PackageDefects"]
        assert Package.__doc__ == ("The raw Open Packaging Conventions view of a deck: every part, content\n"
                                   "type and relationship as written, defects included.")
        assert Package.__text_signature__ == "(path=None, *, data=None)"
        assert Part.__doc__ == "One part of a package."
        assert Relationship.__doc__ == "One relationship of a part or of the package."
        assert ContentTypes.__doc__ == "The content types stream as two dicts."
        assert PackageDefects.__doc__ == (
            "What the package layer found wrong: missing or broken content types,\n"
            "bad part names, name collisions, directory entries and incomplete pieces.")

    def test_method_docs(self):
        expected = {
            "parts": ("($self)", "Every part in archive order."),
            "has": ("($self, name)", "True when a part of that name exists, compared case-insensitively."),
            "content_type": ("($self, name)", "The declared content type of a part, or None."),
            "read": ("($self, name, *, raw=False)",
                     "The decompressed bytes of a part. A UTF-16 XML part comes back as\n"
                     "UTF-8 unless `raw=True`, which returns the bytes exactly as stored."),
            "rels": ('($self, source="/")', "The relationships of a part, or of the package itself for `/`."),
            "resolve": ("($self, source, rel_id)",
                        "The part name relationship `rel_id` of `source` points at, when internal."),
            "content_types": ("($self)",
                              "The `[Content_Types].xml` stream: defaults by extension, overrides by part name."),
        }
        for name, (sig, doc) in expected.items():
            method = getattr(Package, name)
            assert method.__text_signature__ == sig
            assert method.__doc__ == doc
        assert Package.defects.__doc__ == "What the package layer found wrong while indexing."
        assert Part.size.__doc__ == "Decompressed size in bytes."
        assert Relationship.type.__doc__ == "The relationship type URI."
        assert Relationship.target.__doc__ == "The target as written; `Package.resolve` gives the part name."
        assert ContentTypes.defaults.__doc__ == "Extension to media type."
        assert ContentTypes.overrides.__doc__ == "Part name to media type."
        assert PackageDefects.invalid_names.__doc__ == "`(part name, why it is invalid)` pairs."

    @pytest.mark.parametrize("cls", [Part, Relationship, ContentTypes, PackageDefects])
    def test_value_classes_have_no_constructor(self, cls):
        with pytest.raises(TypeError) as e:
            cls()
        assert str(e.value) == f"No constructor defined for {cls.__name__}"

    def test_attributes_are_read_only(self, basic):
        part = basic.parts()[0]
        rel = basic.rels()[0]
        for obj, attr in ((part, "name"), (part, "size"), (rel, "target"), (rel, "external"),
                          (basic.content_types(), "defaults"), (basic.defects, "directories"),
                          (basic, "defects")):
            with pytest.raises(AttributeError):
                setattr(obj, attr, None)
        attrs = {
            Part: ["name", "content_type", "size", "compressed_size"],
            Relationship: ["id", "type", "target", "external"],
            ContentTypes: ["defaults", "overrides"],
            PackageDefects: ["content_types_missing", "content_types_case", "content_types_error",
                             "content_types_unreadable", "invalid_names", "collisions", "derivable",
                             "directories", "incomplete_pieces"],
        }
        for cls, names in attrs.items():
            declared = [n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
            assert declared == names


class TestReprs:
    def test_package_reprs(self, tmp_path):
        data = make_zip(BASIC)
        assert repr(Package(data=data)) == "Package(parts=6)"
        path = write(tmp_path, data, 'we"ird\\name\t.pptx')
        quoted = str(path).replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
        assert repr(Package(path)) == f'Package(path="{quoted}", parts=6)'
        assert repr(Package(data=make_zip([]))) == "Package(parts=0)"

    def test_path_bytes_that_are_not_utf8_show_as_replacement_characters(self, tmp_path):
        path = write(tmp_path, make_zip(BASIC), "deck-\udcff.pptx")  # the file name holds byte FF
        p = Package(path)
        assert repr(p).startswith('Package(path="')
        assert repr(p).endswith('deck-\ufffd.pptx", parts=6)')
        assert p.read("/ppt/slides/slide1.xml") == b"<sld/>"

    def test_value_reprs(self, basic):
        assert repr(basic.parts()[1]) == 'Part("/ppt/presentation.xml", 33 bytes)'
        assert repr(basic.rels()[0]) == 'Relationship(rId1 -> "ppt/presentation.xml")'
        assert repr(basic.content_types()) == "ContentTypes(defaults=3, overrides=1)"

    def test_quoted_forms_escape_control_characters(self):
        rel = f'<Relationship Id="r&quot;1" Type="{IMAGE}" Target="a&quot;b\\c&#10;d.png"/>'
        p = Package(data=make_zip([("_rels/.rels", f'<Relationships xmlns="{REL_NS}">{rel}</Relationships>')]))
        r = p.rels()[0]
        assert r.target == 'a"b\\c\nd.png'
        assert repr(r) == 'Relationship(r"1 -> "a\\"b\\\\c\\nd.png")'


class TestThreads:
    def test_concurrent_calls_on_one_package(self):
        big = bytes(range(256)) * 4000
        entries = [("[Content_Types].xml", content_types(defaults=[("bin", "x/y")]))]
        entries += [(f"p/{i}.bin", big[i:]) for i in range(8)]
        p = Package(data=make_zip(entries))

        def work(k):
            for _ in range(5):
                for i in range(8):
                    assert p.read(f"/p/{(i + k) % 8}.bin") == big[(i + k) % 8:]
                assert len(p.parts()) == 8
                assert p.defects.content_types_missing is False
                assert p.content_types().defaults == {"bin": "x/y"}

        assert in_threads(work) == []


CORPUS_WALK = textwrap.dedent(
    """
    import json, sys, zipfile, pathlib
    import vantrell
    results = {}
    for path in sorted(pathlib.Path(sys.argv[1]).iterdir()):
        if not path.is_file():
            continue
        try:
            p = vantrell.Package(path)
        except vantrell.PptxError as e:
            results[path.name] = {"error": e.args[0]}
            continue
        parts = p.parts()
        failed = {}
        for part in parts:
            try:
                data = p.read(part.name, raw=True)
                assert part.size == len(data), (part.name, part.size, len(data))
                p.read(part.name)
            except vantrell.PptxError as e:
                failed[part.name] = e.args[0]
        for part in parts[:50]:
            try:
                p.rels(part.name)
            except vantrell.PptxError:
                pass
        p.rels()
        p.content_types()
        d = p.defects
        repr(p), repr(d)
        results[path.name] = {"parts": [q.name for q in parts], "failed": failed}
    json.dump(results, sys.stdout)
    """
)


class TestCorpus:
    def test_every_deck_opens_or_raises_and_every_part_reads(self, corpus):
        # A child process, so that a crash or a hang fails this test instead of the run.
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        out = subprocess.run([sys.executable, "-c", CORPUS_WALK, str(corpus)], env=env,
                             capture_output=True, text=True, timeout=600)
        assert out.returncode == 0, out.stderr[-4000:]
        results = json.loads(out.stdout)
        assert results
        opened = {name: r for name, r in results.items() if "parts" in r}
        assert opened, "no deck of the corpus opened"
        # A part may only fail to read when it is damaged: then zipfile cannot read it either.
        for name, r in opened.items():
            for part, message in r["failed"].items():
                assert message.startswith(("inflate: ", "zip: ", "unsupported: ")), (name, part, message)
                with pytest.raises(Exception):
                    zipfile.ZipFile(corpus / name).read(part[1:])
        # A whole archive whose every entry zipfile reads reads in full.
        for name, r in opened.items():
            try:
                with zipfile.ZipFile(corpus / name) as z:
                    sound = z.testzip() is None
            except (zipfile.BadZipFile, OSError, EOFError, NotImplementedError, zlib.error):
                sound = False
            assert not sound or r["failed"] == {}, name
        for name, r in results.items():
            if "error" in r:
                assert r["error"], name

    def test_parts_match_the_zip_listing(self, corpus):
        checked = 0
        for path in sorted(corpus.glob("*.pptx"))[:60]:
            try:
                listing = zipfile.ZipFile(path).namelist()
            except zipfile.BadZipFile:
                continue
            try:
                p = Package(path)
            except PptxError:
                continue
            expected = []
            for n in listing:
                if n.endswith("/") or n.lower() == "[content_types].xml" or n.endswith(".piece"):
                    continue
                if "/" + n not in expected:
                    expected.append("/" + n)
            got = [part.name for part in p.parts()]
            assert [n for n in got if n in expected] == expected, path.name
            pieces_of = {"/" + n.rsplit("/", 1)[0] for n in listing if n.endswith(".piece")}
            assert set(got) - set(expected) == pieces_of, path.name
            checked += 1
        assert checked
