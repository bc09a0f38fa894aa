"""Archives whose entries share data: of entries sharing one local header
only the first listed is read, and an entry's bytes end at the next intact
local header, whatever its sizes claim; what cannot be read is a damaged
part, reported as such, in the reader, the package view and the checker."""
import io
import struct
import zipfile

import pytest

import vantrell
import deckkit
import slidedeck
from overlapkit import point_at, shared_slide_deck
from slidedeck import Slide, para, sp

SLIDE = slidedeck.slide_part(Slide(shapes=sp(2, "Body", para(slidedeck.run("Shared")))))


def says(entry):
    return f"zip: entry {entry} overlaps the data of an earlier entry"


def runs_into(entry, offset):
    return f"zip: entry {entry} runs into the local header of another entry at offset {offset}"


def header_offset(data, name):
    """The local header offset the central record of `name` gives."""
    return struct.unpack_from("<I", data, deckkit.central_offset(data, name) + 42)[0]


def one_slide(compression=zipfile.ZIP_DEFLATED):
    plain = slidedeck.make([Slide(shapes=sp(2, "A", para("One")))])
    with zipfile.ZipFile(io.BytesIO(plain)) as z:
        return deckkit.build([(i.filename, z.read(i)) for i in z.infolist()], compression)


def lying(data, name, where, more):
    """`data` with the sizes of `name` claiming `more` bytes (a stored entry
    both sizes, else the compressed one) in the central record or both."""
    at = deckkit.central_offset(data, name)
    method, csize, usize = struct.unpack_from("<H", data, at + 10) + struct.unpack_from("<II", data, at + 20)
    fields = {"csize": csize + more, **({"usize": usize + more} if method == 0 else {})}
    return deckkit.patch(data, name, where=where, **fields)


def hidden_header_deck():
    """A two-slide deck whose second slide's record points at an intact copy
    of that slide's local header and data, stored inside a media entry that
    comes first in the file: header and record agree, only the spans tell."""
    plain = slidedeck.make([Slide(shapes=sp(2, "A", para("One"))), Slide(shapes=sp(2, "B", para("Two")))])
    name = "ppt/slides/slide2.xml"
    at = deckkit.local_offset(plain, name)
    n, e = struct.unpack_from("<HH", plain, at + 26)
    (csize,) = struct.unpack_from("<I", plain, at + 18)
    record = plain[at:at + 30 + n + e + csize]
    buf = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(plain)) as src, zipfile.ZipFile(buf, "w") as out:
        out.writestr(zipfile.ZipInfo("ppt/media/blob.bin", date_time=(2000, 1, 1, 0, 0, 0)), record)
        for info in src.infolist():
            out.writestr(info, src.read(info))
    data = bytearray(buf.getvalue())
    blob = deckkit.local_offset(bytes(data), "ppt/media/blob.bin")
    n, e = struct.unpack_from("<HH", data, blob + 26)
    struct.pack_into("<I", data, deckkit.central_offset(bytes(data), name) + 42, blob + 30 + n + e)
    return bytes(data)


class TestReading:
    @pytest.mark.parametrize("threads", [1, 4])
    def test_only_the_owner_renders_and_the_rest_are_unreadable(self, threads):
        doc = vantrell.Document(data=shared_slide_deck(6, SLIDE), threads=threads)
        assert len(doc) == 6
        text, warnings = doc.text_reporting()
        assert text == "Shared"
        assert warnings == [f"slide {k}: unreadable: {says(f'ppt/slides/slide{k}.xml')}" for k in range(2, 7)]
        report = doc.extract()[1]
        assert [i for i, _ in report.failed_slides] == [1, 2, 3, 4, 5]
        assert doc.slide_texts() == ["Shared"] + [""] * 5
        assert doc.markdown().count("Shared") == 1
        with pytest.raises(vantrell.PptxError, match=says("ppt/slides/slide3.xml")):
            doc.slide(2).text()

    def test_package_read_raises_for_the_sharing_entries_only(self):
        pkg = vantrell.Package(data=shared_slide_deck(3, SLIDE))
        assert pkg.read("/ppt/slides/slide1.xml") == SLIDE
        for k in (2, 3):
            for raw in (False, True):
                with pytest.raises(vantrell.PptxError, match=says(f"ppt/slides/slide{k}.xml")):
                    pkg.read(f"/ppt/slides/slide{k}.xml", raw=raw)

    def test_header_inside_stored_data_bounds_its_holder(self):
        data = hidden_header_deck()
        doc = vantrell.Document(data=data)
        assert doc.text_reporting() == ("One\n\nTwo", [])
        with pytest.raises(vantrell.PptxError) as e:
            vantrell.Package(data=data).read("/ppt/media/blob.bin")
        assert str(e.value) == runs_into("ppt/media/blob.bin", header_offset(data, "ppt/slides/slide2.xml"))

    # A size that lies harms only its own entry: the next one, whose header
    # and data are intact, is read, and so is a deflated liar whose stream
    # ends where it should.
    @pytest.mark.parametrize("compression, name, where, more, liar_reads", [
        (zipfile.ZIP_DEFLATED, "docProps/app.xml", "central", 64, True),
        (zipfile.ZIP_DEFLATED, "docProps/app.xml", "both", 64, True),
        (zipfile.ZIP_DEFLATED, "docProps/app.xml", "central", 1000, True),
        (zipfile.ZIP_STORED, "docProps/app.xml", "central", 64, False),
        (zipfile.ZIP_STORED, "docProps/app.xml", "both", 1, False),
    ], ids=["deflated-central", "deflated-both", "deflated-past-two-headers", "stored-central", "stored-both-one-byte"])
    def test_a_lying_size_keeps_the_next_entry_readable(self, compression, name, where, more, liar_reads):
        plain = one_slide(compression)
        data = lying(plain, name, where, more)
        assert vantrell.Document(data=data).text_reporting() == ("One", [])
        pkg = vantrell.Package(data=data)
        assert pkg.read("/ppt/slides/slide1.xml") == vantrell.Package(data=plain).read("/ppt/slides/slide1.xml")
        if liar_reads:
            assert pkg.read("/" + name) == vantrell.Package(data=plain).read("/" + name)
        else:
            with pytest.raises(vantrell.PptxError) as e:
                pkg.read("/" + name)
            assert str(e.value) == runs_into(name, header_offset(data, "ppt/slides/slide1.xml"))

    def test_a_shared_relationships_part_is_damaged_not_fatal(self):
        plain = slidedeck.make([Slide(shapes=sp(2, "A", para("One"))), Slide(shapes=sp(2, "B", para("Two")))])
        data = point_at(plain, "ppt/slides/_rels/slide2.xml.rels", "ppt/slides/_rels/slide1.xml.rels")
        pkg = vantrell.Package(data=data)
        with pytest.raises(vantrell.PptxError, match=says("ppt/slides/_rels/slide2.xml.rels")):
            pkg.rels("/ppt/slides/slide2.xml")
        assert pkg.rels("/ppt/slides/slide1.xml")[0].id == "rIdL"


class TestChecker:
    ZIP007 = "entry data overlaps the data of an earlier entry; it is not read"

    @pytest.mark.parametrize("data, part, header_differs", [
        (shared_slide_deck(3, SLIDE), "/ppt/slides/slide3.xml", True),
    ], ids=["shared-header"])
    def test_overlap_is_reported_and_not_read(self, data, part, header_differs):
        findings = [(f.code, f.message) for f in vantrell.check(data=data) if f.part == part]
        zip007 = [m for c, m in findings if c == "ZIP007"]
        assert zip007[-1] == self.ZIP007
        assert (len(zip007) == 2) == header_differs
        assert ("ZIP008", "part could not be read: " + says(part[1:])) in findings

    @pytest.mark.parametrize("data, liar, next_entry", [
        (hidden_header_deck(), "ppt/media/blob.bin", "ppt/slides/slide2.xml"),
        (lying(one_slide(), "docProps/app.xml", "central", 64), "docProps/app.xml", "ppt/slides/slide1.xml"),
    ], ids=["hidden-header", "lying-size"])
    def test_data_running_into_a_header_is_reported_on_its_entry_only(self, data, liar, next_entry):
        findings = vantrell.check(data=data)
        zip007 = [f.message for f in findings if f.code == "ZIP007" and f.part == "/" + liar]
        assert [m for m in zip007 if "runs into" in m] == [
            "entry data as recorded runs into the local header of another entry at offset "
            + str(header_offset(data, next_entry))]
        assert not [f for f in findings if f.part == "/" + next_entry and f.code.startswith("ZIP")]

    def test_a_clean_deck_reports_no_overlap(self):
        assert not [f for f in vantrell.check(data=slidedeck.make([Slide(), Slide()])) if f.code == "ZIP007"]
