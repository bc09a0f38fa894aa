"""Document: opening, indexing, iteration, document-level accessors and the
parallel slide and title passes."""
import pathlib
import threading

import pytest

import deckkit
import vantrell
from slidedeck import Slide, make, para, sp

MESSAGE_SOURCES = "pass either a path or data=, not both"


def titled(*titles):
    return [Slide(sp(2, "Title 1", para(t), ph='type="title"')) for t in titles]


@pytest.fixture(scope="module")
def three():
    return make(titled("One", "Two", "Three"))


class TestOpening:
    def test_path_pathlike_and_data_open_the_same_deck(self, tmp_path, three):
        f = tmp_path / "deck.pptx"
        f.write_bytes(three)
        for doc in (vantrell.Document(str(f)), vantrell.Document(f), vantrell.Document(path=f),
                    vantrell.Document(data=three), vantrell.Document(data=bytearray(three))):
            assert len(doc) == doc.slide_count == 3
            assert doc.format == "pptx"
        assert vantrell.Document(f).path == str(f)
        assert vantrell.Document(data=three).path is None

    @pytest.mark.parametrize("kwargs", [{}, {"path": None}, {"data": None}, {"path": None, "data": None}])
    def test_neither_source_is_a_value_error(self, kwargs):
        with pytest.raises(ValueError) as e:
            vantrell.Document(**kwargs)
        assert e.value.args == (MESSAGE_SOURCES,)

    def test_both_sources_is_a_value_error_after_conversions(self, tmp_path, three):
        with pytest.raises(ValueError, match=MESSAGE_SOURCES):
            vantrell.Document(tmp_path / "x", data=three)
        # A badly typed threads is reported before the source rule.
        with pytest.raises(TypeError, match="^argument 'threads': "):
            vantrell.Document(threads="2")

    def test_argument_types_are_named(self, tmp_path):
        with pytest.raises(TypeError) as e:
            vantrell.Document(data="PK")
        assert str(e.value) == "argument 'data': Can't extract `str` to `Vec`"
        with pytest.raises(TypeError, match="^argument 'path': "):
            vantrell.Document(b"/tmp/deck.pptx")
        with pytest.raises(TypeError, match="^argument 'path': "):
            vantrell.Document(3)
        with pytest.raises(TypeError, match="unexpected keyword argument 'file'"):
            vantrell.Document(file="x")
        with pytest.raises(TypeError):
            vantrell.Document("a", "b")
        with pytest.raises(OverflowError):
            vantrell.Document(data=[80, 75, 256])

    def test_data_as_a_list_of_ints_is_bytes(self):
        with pytest.raises(vantrell.PptxError) as e:
            vantrell.Document(data=[80, 75, 3, 4])
        assert isinstance(e.value.args[0], str)

    def test_threads_values(self, three):
        assert vantrell.Document(data=three).threads == 0
        assert vantrell.Document(data=three, threads=None).threads == 0
        assert vantrell.Document(data=three, threads=0).threads == 0
        assert vantrell.Document(data=three, threads=True).threads == 1
        assert vantrell.Document(data=three, threads=2**64 - 1).threads == 2**64 - 1
        with pytest.raises(OverflowError):
            vantrell.Document(data=three, threads=-1)
        with pytest.raises(OverflowError):
            vantrell.Document(data=three, threads=2**64)
        with pytest.raises(TypeError, match="^argument 'threads': "):
            vantrell.Document(data=three, threads=1.0)

    def test_io_errors(self, tmp_path):
        with pytest.raises(vantrell.PptxError) as e:
            vantrell.Document(tmp_path / "missing.pptx")
        assert e.value.args[0].startswith("io: ") and "(os error 2)" in e.value.args[0]
        with pytest.raises(vantrell.PptxError, match=r"^io: .*\(os error 21\)$"):
            vantrell.Document(tmp_path)
        with pytest.raises(vantrell.PptxError) as e:
            vantrell.Document(str(tmp_path / "deck\0.pptx"))
        assert e.value.args == ("io: file name contained an unexpected NUL byte",)

    def test_nul_refused_even_when_the_prefix_exists(self, tmp_path, three):
        # Cutting the name at the NUL would open this file instead.
        (tmp_path / "deck").write_bytes(three)
        with pytest.raises(vantrell.PptxError, match="NUL"):
            vantrell.Document(str(tmp_path / "deck") + "\0.pptx")

    @pytest.mark.parametrize("data", [b"", b"hello world", b"PK\x03\x04"])
    def test_not_a_deck(self, data):
        with pytest.raises(vantrell.PptxError):
            vantrell.Document(data=data)
        with pytest.raises(vantrell.PptxError) as e:
            vantrell.Document(data=b"hello world, this is not a zip archive at all")
        assert e.value.args == ("not a zip archive",)

    def test_package_without_presentation(self):
        data = deckkit.build({"[Content_Types].xml": deckkit.content_types(overrides=[]),
                              "hello.txt": b"hi"})
        with pytest.raises(vantrell.PptxError, match="presentation"):
            vantrell.Document(data=data)

    def test_malformed_presentation_part_names_part_and_offset(self):
        data = deckkit.build(deckkit.deck({"ppt/presentation.xml": b"<p:presentation xmlns:p='x'><oops"}))
        with pytest.raises(vantrell.PptxError, match=r"^xml in /ppt/presentation\.xml at byte \d+: "):
            vantrell.Document(data=data)

    def test_compound_file_is_refused_with_a_library_message(self):
        with pytest.raises(vantrell.PptxError):
            vantrell.Document(data=bytes.fromhex("d0cf11e0a1b11ae1") + bytes(600))

    def test_file_is_read_on_demand_and_kept_open(self, tmp_path, three):
        f = tmp_path / "deck.pptx"
        f.write_bytes(three)
        doc = vantrell.Document(f)
        f.unlink()
        assert [s.title for s in doc] == ["One", "Two", "Three"]


class TestIndexing:
    def test_negative_and_positive_indexes(self, three):
        doc = vantrell.Document(data=three)
        assert doc[0].part == "/ppt/slides/slide1.xml"
        assert doc[-1].index == 2 and doc[-1].title == "Three"
        assert doc[-3].index == 0
        assert doc.slide(1).title == doc[1].title == "Two"
        assert doc.slide(index=-2).index == 1

    @pytest.mark.parametrize("index", [3, -4, 2**63 - 1, -(2**63)])
    def test_out_of_range_names_index_as_passed(self, three, index):
        doc = vantrell.Document(data=three)
        with pytest.raises(IndexError) as e:
            doc[index]
        assert e.value.args == (f"slide index {index} out of range for 3 slides",)
        with pytest.raises(IndexError, match=f"^slide index {index} out"):
            doc.slide(index)

    def test_key_types(self, three):
        doc = vantrell.Document(data=three)

        class Two:
            def __index__(self):
                return 2

        assert doc[Two()].index == 2
        assert doc[True].index == 1
        with pytest.raises(TypeError, match="^argument 'index': "):
            doc[0:2]
        with pytest.raises(TypeError, match="^argument 'index': "):
            doc[0.0]
        with pytest.raises(TypeError, match="^argument 'index': "):
            doc.slide("0")
        with pytest.raises(OverflowError):
            doc[2**63]

    def test_empty_deck(self):
        doc = vantrell.Document(data=make([]))
        assert len(doc) == 0 and not doc
        assert list(doc) == [] and doc.slides() == [] and doc.titles() == []
        with pytest.raises(IndexError, match="^slide index 0 out of range for 0 slides$"):
            doc[0]
        with pytest.raises(IndexError, match="^slide index -1 out of range for 0 slides$"):
            doc[-1]

    def test_repr(self, tmp_path, three):
        assert repr(vantrell.Document(data=three)) == "Document(<bytes>, slides=3)"
        f = tmp_path / 'we"ird\\name.pptx'
        f.write_bytes(three)
        assert repr(vantrell.Document(f)) == "Document(" + '"' + str(f).replace("\\", "\\\\").replace(
            '"', '\\"') + '"' + ", slides=3)"
        g = tmp_path / "tab\tnew\u00e9.pptx"
        g.write_bytes(three)
        assert repr(vantrell.Document(g)).startswith('Document("' + str(tmp_path) + '/tab\\tnew\u00e9.pptx"')


class TestIteration:
    def test_iterates_lazily_in_order(self, three):
        doc = vantrell.Document(data=three)
        it = iter(doc)
        assert type(it).__name__ == "SlideIter" and type(it).__module__ == "vantrell"
        assert iter(it) is it
        assert [s.number for s in it] == [1, 2, 3]
        with pytest.raises(StopIteration):
            next(it)
        # A new iterator starts again.
        assert [s.index for s in doc] == [0, 1, 2]

    def test_malformed_slide_consumes_its_position(self):
        slides = titled("One", "Two", "Three", "Four")
        slides[2] = Slide(xml=b"<p:sld xmlns:p='x'><broken")
        doc = vantrell.Document(data=make(slides))
        it = iter(doc)
        assert next(it).title == "One" and next(it).title == "Two"
        with pytest.raises(vantrell.PptxError, match=r"^xml in /ppt/slides/slide3\.xml at byte \d+: "):
            next(it)
        assert next(it).title == "Four"
        with pytest.raises(StopIteration):
            next(it)
        # The document stays usable after a failing slide.
        with pytest.raises(vantrell.PptxError):
            doc[2]
        assert doc[3].title == "Four"

    def test_threads_sharing_one_iterator_get_distinct_slides(self):
        doc = vantrell.Document(data=make(titled(*[f"S{i}" for i in range(40)])))
        it = iter(doc)
        seen, lock = [], threading.Lock()

        def drain():
            for s in it:
                with lock:
                    seen.append(s.index)

        workers = [threading.Thread(target=drain) for _ in range(6)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert sorted(seen) == list(range(40))

    def test_slides_keep_the_deck_alive(self, three):
        doc = vantrell.Document(data=three)
        it = iter(doc)
        slide = doc[0]
        del doc
        assert next(it).title == "One"
        assert slide.layout_part() == "/ppt/slideLayouts/slideLayout1.xml"


class TestSimpleGetters:
    def test_sizes_and_parts(self, three):
        doc = vantrell.Document(data=three)
        assert doc.slide_size == (9144000, 6858000)
        assert doc.slide_size_type == "screen4x3"
        assert doc.presentation_part == "/ppt/presentation.xml"

    def test_slide_size_absent_or_untyped(self):
        d = deckkit.parts()
        pres = d["ppt/presentation.xml"].decode()
        untyped = pres.replace(' type="screen4x3"', "")
        absent = pres.replace('<p:sldSz cx="9144000" cy="6858000" type="screen4x3"/>', "")
        doc = vantrell.Document(data=deckkit.build(deckkit.deck({"ppt/presentation.xml": untyped.encode()})))
        assert doc.slide_size == (9144000, 6858000) and doc.slide_size_type is None
        doc = vantrell.Document(data=deckkit.build(deckkit.deck({"ppt/presentation.xml": absent.encode()})))
        assert doc.slide_size is None and doc.slide_size_type is None
        assert doc.presentation().slide_size is None

    def test_attributes_are_read_only(self, three):
        doc = vantrell.Document(data=three)
        for name in ("slide_count", "threads", "format", "path", "defects"):
            with pytest.raises(AttributeError):
                setattr(doc, name, 1)

    def test_docs_and_signatures(self):
        import inspect
        assert str(inspect.signature(vantrell.Document)) == "(path=None, *, data=None, threads=None)"
        assert vantrell.Document.__doc__ == "An open presentation."
        assert vantrell.Document.slide.__text_signature__ == "($self, index)"
        assert vantrell.Document.slide.__doc__ == "Parses one slide; negative indexes count from the end."
        assert vantrell.Document.slide_count.__doc__ == "Number of slides in presentation order."
        assert vantrell.SlideIter.__doc__ == "Iterates a document's slides lazily."
        with pytest.raises(TypeError, match="^No constructor defined for SlideIter$"):
            vantrell.SlideIter()


class TestAccessors:
    def test_presentation_copies_fields(self, three):
        doc = vantrell.Document(data=three)
        p = doc.presentation()
        assert p is not doc.presentation()
        assert repr(p) == "Presentation(slides=3, masters=1)"
        assert [(s.id, s.rel_id) for s in p.slides] == [(256, "rIdS1"), (257, "rIdS2"), (258, "rIdS3")]
        assert repr(p.slides[0]) == 'SlideId(id=Some(256), rel_id="rIdS1")'
        assert repr(p.masters[0]) == 'MasterId(id=Some(2147483648), rel_id="rId1")'
        assert p.notes_size == (6858000, 9144000)
        assert p.first_slide_num == 1 and p.rtl is False
        assert p.notes_master is None and p.handout_master is None

    def test_unresolved_slide_entry_is_listed_in_both_places(self):
        # An entry without r:id names nothing either; positions count it.
        ids = '<p:sldId id="256" r:id="rIdS1"/><p:sldId id="300"/><p:sldId id="x" r:id="rIdGone"/>'
        doc = vantrell.Document(data=make(titled("One"), sld_ids=ids))
        assert len(doc) == 1
        assert [(s.id, s.rel_id) for s in doc.presentation().slides] == [(256, "rIdS1"), (None, "rIdGone")]
        defects = doc.defects
        assert defects.unresolved_slides == [(1, ""), (2, "rIdGone")]
        assert repr(defects) == 'DocumentDefects(located="relationship", unresolved_slides=2)'
        assert defects.slides_recovered_from_rels is False

    def test_slides_recovered_from_relationships(self):
        doc = vantrell.Document(data=make(titled("One", "Two"), sld_ids=""))
        assert doc.defects.slides_recovered_from_rels is True
        assert doc.titles() == ["One", "Two"]

    def test_located_by_content_type_and_conventional_path(self):
        d = deckkit.parts()
        d["_rels/.rels"] = deckkit.rels(("rId2", deckkit.CORE_RT, "docProps/core.xml"))
        assert vantrell.Document(data=deckkit.build(d)).defects.located == "content_type"
        d["[Content_Types].xml"] = deckkit.content_types(
            overrides=[o for o in deckkit.OVERRIDES if o[0] != "/ppt/presentation.xml"])
        assert vantrell.Document(data=deckkit.build(d)).defects.located == "conventional_path"

    def test_sections(self):
        ext = ('<p:extLst><p:ext uri="{521415D9-36F7-43E2-AB2F-B90AF26B5E84}">'
               '<p14:sectionLst xmlns:p14="http://schemas.microsoft.com/office/powerpoint/2010/main">'
               '<p14:section name="Intro" id="{A}"><p14:sldIdLst><p14:sldId id="257"/><p14:sldId id="999"/>'
               '<p14:sldId id="256"/></p14:sldIdLst></p14:section>'
               '<p14:section name="Empty &quot;one&quot;" id="{B}"><p14:sldIdLst/></p14:section>'
               '</p14:sectionLst></p:ext></p:extLst>')
        doc = vantrell.Document(data=make(titled("One", "Two"), pres_extra=ext))
        sections = doc.sections()
        assert [(s.name, s.slides) for s in sections] == [("Intro", [1, 0]), ('Empty "one"', [])]
        assert repr(sections[0]) == 'Section(name="Intro", slides=[1, 0])'
        assert repr(sections[1]) == 'Section(name="Empty \\"one\\"", slides=[])'
        assert vantrell.Document(data=make(titled("One"))).sections() == []

    def test_properties(self):
        doc = vantrell.Document(data=make(titled("One")))
        core = doc.core_properties()
        assert core.title == "Deck" and core.created == "2000-01-01T00:00:00Z"
        assert core.creator is None and core.version is None
        assert repr(core) == 'CoreProperties(title=Some("Deck"), creator=None, modified=None)'
        app = doc.app_properties()
        assert app.application == "deckkit" and app.slides is None and app.titles_of_parts == []
        assert repr(app) == 'AppProperties(application=Some("deckkit"), slides=None)'

    def test_properties_absent_empty_or_broken(self):
        gone = make(titled("One"), remove=("docProps/core.xml", "docProps/app.xml"))
        doc = vantrell.Document(data=gone)
        assert doc.core_properties() is None and doc.app_properties() is None
        empty = deckkit.parts()["docProps/core.xml"].replace(b"<dc:title>Deck</dc:title>", b"<dc:title>  </dc:title>")
        doc = vantrell.Document(data=make(titled("One"), extra={"docProps/core.xml": empty}))
        assert doc.core_properties().title is None
        doc = vantrell.Document(data=make(titled("One"), extra={"docProps/app.xml": b"<Properties><oops"}))
        with pytest.raises(vantrell.PptxError, match=r"^xml in /docProps/app\.xml at byte \d+: "):
            doc.app_properties()
        app = ('<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/extended-properties" '
               'xmlns:vt="http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes">'
               '<Application>X</Application><Slides>3</Slides><Words>12</Words><TitlesOfParts>'
               '<vt:vector size="2" baseType="lpstr"><vt:lpstr>Arial</vt:lpstr><vt:lpstr>One</vt:lpstr>'
               '</vt:vector></TitlesOfParts></Properties>')
        doc = vantrell.Document(data=make(titled("One"), extra={"docProps/app.xml": app.encode()}))
        a = doc.app_properties()
        assert (a.slides, a.words, a.notes) == (3, 12, None)
        assert a.titles_of_parts == ["Arial", "One"]
        assert repr(a) == 'AppProperties(application=Some("X"), slides=Some(3))'

    def test_package_shares_the_opened_package(self, tmp_path, three):
        pkg = vantrell.Document(data=three).package()
        assert isinstance(pkg, vantrell.Package)
        assert pkg.has("/ppt/slides/slide3.xml")
        f = tmp_path / "d.pptx"
        f.write_bytes(three)
        assert "d.pptx" in repr(vantrell.Document(f).package())

    def test_comment_authors_of_both_formats(self):
        legacy = (DECL_AUTHORS + '<p:cmAuthorLst xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main">'
                  '<p:cmAuthor id="0" name="Ann" initials="A" lastIdx="1" clrIdx="0"/></p:cmAuthorLst>')
        doc = vantrell.Document(data=make(
            titled("One"), pres_rels=[("rIdA", "commentAuthors", "commentAuthors.xml")],
            extra={"ppt/commentAuthors.xml": legacy.encode()}))
        authors = doc.comment_authors()
        assert [(a.id, a.name, a.initials) for a in authors] == [("0", "Ann", "A")]
        assert repr(authors[0]) == 'CommentAuthor("Ann")'
        assert doc.comment_authors() is not authors
        assert vantrell.Document(data=make(titled("One"))).comment_authors() == []


DECL_AUTHORS = '<?xml version="1.0" encoding="UTF-8"?>'


class TestParallelPasses:
    @pytest.mark.parametrize("threads", [None, 1, 2, 64])
    def test_results_in_deck_order_for_any_worker_count(self, threads):
        names = [f"Slide {i}" for i in range(25)]
        doc = vantrell.Document(data=make(titled(*names)), threads=threads)
        assert doc.titles() == names
        slides = doc.slides()
        assert [s.index for s in slides] == list(range(25))
        assert [s.title for s in slides] == names

    def test_untitled_blank_and_unreadable_slides_give_none(self):
        slides = titled("One", "   ", "Three") + [Slide(sp(2, "Body", para("x"), ph='type="body"')),
                                                   Slide(xml=b"<p:sld><broken")]
        doc = vantrell.Document(data=make(slides), threads=3)
        assert doc.titles() == ["One", None, "Three", None, None]

    def test_first_failure_in_deck_order_is_raised(self):
        slides = titled(*"ABCDEF")
        slides[1] = Slide(xml=b"<p:sld xmlns:p='x'><one")
        slides[4] = Slide(xml=b"<p:sld xmlns:p='x'><two")
        for threads in (1, 4):
            with pytest.raises(vantrell.PptxError, match=r"/ppt/slides/slide2\.xml"):
                vantrell.Document(data=make(slides), threads=threads).slides()

    def test_slides_from_a_pass_work_like_loaded_ones(self, three):
        doc = vantrell.Document(data=three, threads=3)
        s = doc.slides()[2]
        del doc
        assert s.layout_part() == "/ppt/slideLayouts/slideLayout1.xml"
        assert repr(s) == 'Slide(number=3, part="/ppt/slides/slide3.xml")'


class TestCorpus:
    def test_every_deck_opens_or_raises_and_every_slide_converts(self, corpus):
        decks = sorted(p for p in pathlib.Path(corpus).iterdir() if p.suffix.lower() != ".md")
        assert decks
        opened = 0
        for path in decks:
            try:
                doc = vantrell.Document(path, threads=2)
            except vantrell.PptxError:
                continue
            opened += 1
            repr(doc), doc.defects, doc.presentation(), doc.sections(), doc.comment_authors()
            for call in (doc.core_properties, doc.app_properties, doc.package):
                try:
                    call()
                except vantrell.PptxError:
                    pass
            titles = doc.titles()
            assert len(titles) == len(doc)
            for i in range(len(doc)):
                try:
                    slide = doc[i]
                except vantrell.PptxError:
                    assert titles[i] is None
                    continue
                assert slide.title == titles[i]
                walk = list(slide.shapes())
                while walk:
                    shape = walk.pop()
                    repr(shape), shape.frame, shape.rows, shape.paragraphs
                    if shape.table is not None:
                        [repr(c) for r in shape.table.rows for c in r.cells]
                    walk.extend(shape.children)
                slide.paragraphs(), slide.tables(), slide.warnings
                for call in (slide.charts, slide.diagrams, slide.comments, slide.images, slide.embedded_objects,
                             slide.notes, slide.notes_part, slide.comments_part, slide.layout_part):
                    try:
                        result = call()
                    except vantrell.PptxError:
                        continue
                    for item in result if isinstance(result, list) else ():
                        repr(item)
                        fetch = {vantrell.Image: slide.image_bytes, vantrell.EmbeddedObject: slide.object_bytes}
                        if type(item) in fetch and item.part is not None:
                            try:
                                assert isinstance(fetch[type(item)](item), bytes)
                            except vantrell.PptxError:
                                pass
        assert opened > 0


@pytest.fixture(scope="module")
def legacy_deck(corpus):
    """The first legacy binary deck of the corpus that opens and has a picture on its first slide."""
    for path in sorted(pathlib.Path(corpus).glob("*.ppt")):
        try:
            doc = vantrell.Document(path)
            if len(doc) and doc[0].images():
                return path
        except vantrell.PptxError:
            continue
    pytest.skip("no readable legacy deck with a picture in the corpus")


class TestLegacyDeck:
    def test_document_level(self, legacy_deck):
        doc = vantrell.Document(legacy_deck)
        assert doc.format == "ppt"
        assert doc.presentation_part == "PowerPoint Document"
        assert doc.defects.located == "legacy_stream"
        assert doc.core_properties() is None and doc.app_properties() is None
        assert doc.sections() == []
        with pytest.raises(vantrell.PptxError) as e:
            doc.package()
        assert e.value.args == ("a legacy binary presentation has no package parts",)
        assert doc.slide_size == doc.presentation().slide_size

    def test_slides_have_no_relationships(self, legacy_deck):
        s = vantrell.Document(legacy_deck)[0]
        assert (s.notes_part(), s.layout_part(), s.comments_part(), s.hyperlink("rId1")) == (None,) * 4
        assert s.comments() == []
        assert s.shapes() and all(isinstance(x, vantrell.Shape) for x in s.shapes())

    def test_pictures_come_from_the_picture_store(self, legacy_deck):
        s = vantrell.Document(legacy_deck)[0]
        image = s.images()[0]
        data = s.image_bytes(image)
        assert isinstance(data, bytes) and len(data) > 8

    @pytest.mark.parametrize("threads", [None, 1, 4])
    def test_passes_agree_for_any_worker_count(self, legacy_deck, threads):
        doc = vantrell.Document(legacy_deck, threads=threads)
        assert doc.titles() == [s.title for s in doc]
        assert [s.index for s in doc.slides()] == list(range(len(doc)))
