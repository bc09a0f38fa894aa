"""Archives whose entries share data: only the entry that owns the bytes is
read; every other is a damaged part, reported as such, in the reader, the
package view and the checker."""
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

    def test_header_inside_stored_data_loses_to_its_owner(self):
        data = hidden_header_deck()
        doc = vantrell.Document(data=data)
        assert doc.text_reporting() == ("One", [f"slide 2: unreadable: {says('ppt/slides/slide2.xml')}"])
        assert vantrell.Package(data=data).read("/ppt/media/blob.bin").startswith(b"PK\x03\x04")

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
        (hidden_header_deck(), "/ppt/slides/slide2.xml", False),
    ], ids=["shared-header", "hidden-header"])
    def test_overlap_is_reported_and_not_read(self, data, part, header_differs):
        findings = [(f.code, f.message) for f in vantrell.check(data=data) if f.part == part]
        zip007 = [m for c, m in findings if c == "ZIP007"]
        assert zip007[-1] == self.ZIP007
        assert (len(zip007) == 2) == header_differs
        assert ("ZIP008", "part could not be read: " + says(part[1:])) in findings

    def test_a_clean_deck_reports_no_overlap(self):
        assert not [f for f in vantrell.check(data=slidedeck.make([Slide(), Slide()])) if f.code == "ZIP007"]
