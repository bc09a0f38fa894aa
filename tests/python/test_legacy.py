"""Legacy binary decks (.ppt) through the reading API.

Real decks of the corpus and damaged copies of one of them are read in child
processes: a crash or a hang there fails the test that asked for it instead of
taking pytest down, and the child reports what it saw as one JSON line per
file.
"""
import concurrent.futures
import json
import os
import pathlib
import random
import re
import shutil
import struct
import subprocess
import sys

import pytest

import legacykit
import slidedeck
import vantrell

NO_PARTS = "a legacy binary presentation has no package parts"
KEPT_IN_STREAM = "a legacy binary presentation keeps its objects inside its document stream, not as package parts"

# Runs in the child: every argument is a deck; one line "BEGIN path" before
# touching it, then one JSON line with what it read or a list of problems.
CHILD = r'''
import hashlib, json, sys, vantrell

NO_PARTS = "a legacy binary presentation has no package parts"
MAGIC = {
    "image/png": lambda b: b.startswith(b"\x89PNG\r\n\x1a\n"),
    "image/jpeg": lambda b: b.startswith(b"\xff\xd8"),
    "image/bmp": lambda b: b.startswith(b"BM") and int.from_bytes(b[2:6], "little") == len(b),
    "image/x-emf": lambda b: b[40:44] == b" EMF",
    "image/x-wmf": lambda b: b.startswith(b"\xd7\xcd\xc6\x9a"),
    "image/tiff": lambda b: b[:4] in (b"II*\x00", b"MM\x00*"),
    "image/x-pict": lambda b: len(b) > 512 and not any(b[:512]),
}


def walk(shapes):
    stack = list(reversed(shapes))
    while stack:
        s = stack.pop()
        yield s
        stack.extend(reversed(s.children))


def deck(path, strict):
    out = {"path": path, "problems": []}
    bad = out["problems"].append
    try:
        doc = vantrell.Document(path)
    except vantrell.PptxError as e:
        out["error"] = str(e)
        return out
    if doc.format != "ppt":
        # Another format under a legacy name: not what is checked here.
        out["format"] = doc.format
        return out
    # Facts of the deck as a whole.
    if (doc.format, doc.presentation_part, doc.defects.located) != ("ppt", "PowerPoint Document", "legacy_stream"):
        bad(f"identity {doc.format!r} {doc.presentation_part!r} {doc.defects.located!r}")
    size = doc.slide_size
    if not (isinstance(size, tuple) and len(size) == 2 and all(v > 0 for v in size)):
        bad(f"slide size {size!r}")
    if doc.core_properties() is not None or doc.app_properties() is not None:
        bad("properties on a legacy deck")
    try:
        doc.package()
        bad("package() answered")
    except vantrell.PptxError as e:
        if str(e) != NO_PARTS:
            bad(f"package(): {e}")
    # Page furniture too: its text is stored on the slides like any other.
    out["text"] = doc.text(notes=True, furniture=True)
    out["recovered"] = doc.defects.slides_recovered_from_rels
    out["markdown_chars"] = len(doc.markdown(notes=True))
    out["slides"] = len(doc)
    out["images"] = out["objects"] = out["failed_slides"] = 0
    out["image_errors"] = []
    digest = hashlib.sha256()
    for i in range(len(doc)):
        try:
            s = doc[i]
        except vantrell.PptxError:
            out["failed_slides"] += 1
            continue
        if (s.notes_part(), s.layout_part(), s.comments_part()) != (None, None, None) or s.comments():
            bad(f"slide {i}: relationships or comments")
        s.text(), s.markdown(), s.paragraphs(), s.tables(), s.notes()
        shapes = list(walk(s.shapes()))
        pictures = {x.id for x in shapes if x.kind == "picture"}
        oles = [x.id for x in shapes if x.kind == "ole"]
        for image in s.images():
            out["images"] += 1
            if image.shape_id not in pictures:
                bad(f"slide {i}: image of shape {image.shape_id}, which is no picture of the slide")
            if not (image.part or "").startswith("/Pictures/image") or image.external is not None:
                bad(f"slide {i}: image {image!r}")
            try:
                data = s.image_bytes(image)
            except vantrell.PptxError as e:
                out["image_errors"].append(f"{image.part}: {e}")
                continue
            digest.update(data)
            check = MAGIC.get(image.content_type)
            if not data or (strict and check and not check(data)):
                bad(f"slide {i}: {image.part} is no {image.content_type}: {data[:16]!r}")
        objects = s.embedded_objects()
        out["objects"] += len(objects)
        if [o.shape_id for o in objects] != oles:
            bad(f"slide {i}: objects {[o.shape_id for o in objects]} for OLE shapes {oles}")
        if any((o.part, o.rel_id, o.content_type, o.external) != (None,) * 4 for o in objects):
            bad(f"slide {i}: an object names a part")
    out["pictures"] = digest.hexdigest()
    return out


strict = sys.argv[1] == "strict"
for path in sys.argv[2:]:
    print("BEGIN " + path, flush=True)
    try:
        result = deck(path, strict)
    except vantrell.PptxError as e:
        result = {"path": path, "problems": [f"PptxError after opening: {e}"]}
    except BaseException as e:  # noqa: BLE001 - an internal fault is what is tested
        result = {"path": path, "problems": [f"fault {type(e).__name__}: {e}"]}
    print(json.dumps(result), flush=True)
'''


def run_children(paths, strict, batches=8, timeout=300):
    """Reads `paths` in parallel child processes; returns {path: result}.
    A child that dies or hangs gives a result with a problem naming the deck
    it was reading."""
    paths = [str(p) for p in paths]
    chunks = [paths[i::batches] for i in range(batches) if paths[i::batches]]

    def one(chunk):
        try:
            proc = subprocess.run([sys.executable, "-c", CHILD, "strict" if strict else "lax", *chunk],
                                  capture_output=True, text=True, timeout=timeout,
                                  env=dict(os.environ, PYTHONFAULTHANDLER="1"))
            stdout, died = proc.stdout, (f"exit {proc.returncode}: {proc.stderr[-2000:]}"
                                         if proc.returncode else None)
        except subprocess.TimeoutExpired as e:
            stdout, died = (e.stdout or b"").decode() if isinstance(e.stdout, bytes) else (e.stdout or ""), \
                f"no answer within {timeout} s"
        results, current = {}, None
        for line in stdout.splitlines():
            if line.startswith("BEGIN "):
                current = line[6:]
            elif line.startswith("{"):
                r = json.loads(line)
                results[r["path"]] = r
                current = None
        if died:
            where = current or "(before the first deck)"
            results[where] = {"path": where, "problems": [died]}
        return results

    out = {}
    with concurrent.futures.ThreadPoolExecutor(len(chunks)) as pool:
        for r in pool.map(one, chunks):
            out.update(r)
    return out


def problems_of(results):
    return {p: r["problems"] for p, r in results.items() if r["problems"]}


# ------------------------------------------------------------------ corpus


def legacy_decks(corpus):
    return sorted(p for p in pathlib.Path(corpus).iterdir() if p.suffix.lower() == ".ppt" and p.is_file())


@pytest.fixture(scope="module")
def corpus_results(corpus):
    """What the library reads of each legacy deck, with what the deck is,
    judged apart from the library (`legacykit`)."""
    decks = legacy_decks(corpus)
    if not decks:
        pytest.skip("no legacy decks in the corpus")
    results = run_children(decks, strict=True)
    for path, r in results.items():
        data = pathlib.Path(path).read_bytes()
        r["kind"] = legacykit.kind_of(data)
        r["damaged_pictures"] = legacykit.damaged_pictures(data)
        user, doc, _ = legacykit.deck_streams(data) if r["kind"] == "sound" else (None, None, None)
        r["live"] = legacykit.Chain(user, doc).live_text() if doc else ""
    return results


# How a deck must be refused for what it is; None where any clean error will do.
REFUSALS = {
    "encrypted": "encrypted: ",
    "older": "unsupported: ",
    "no deck": "compound file holds no PowerPoint Document stream",
    "damaged chain": "ppt: ",
    "damaged container": None,
    "no compound file": None,
}


def test_every_corpus_deck_opens_or_is_refused(corpus_results):
    assert problems_of(corpus_results) == {}
    opened = [r for r in corpus_results.values() if "error" not in r and "format" not in r]
    refused = {pathlib.Path(p).name: r for p, r in corpus_results.items() if "error" in r}
    print(f"\n{len(opened)} legacy decks open, {len(refused)} refused")
    # Only a file that is no compound file may open as another format.
    assert [(pathlib.Path(r["path"]).name, r["format"]) for r in corpus_results.values()
            if "format" in r and r["kind"] != "no compound file"] == []
    assert all(r["error"] and "\n" not in r["error"] for r in refused.values())
    # A deck is refused only for what it is, with the error of its kind; a
    # deck whose chain of saves holds always opens.
    wrong = {n: (r["kind"], r["error"]) for n, r in refused.items()
             if r["kind"] == "sound" or not r["error"].startswith(REFUSALS[r["kind"]] or "")}
    assert wrong == {}
    assert [pathlib.Path(r["path"]).name for r in opened if r["kind"] in ("encrypted", "older", "no deck")] == []
    # Every opened deck read its slides and rendered.
    assert all(r["failed_slides"] == 0 for r in opened)
    # Only a deck whose own chain of saves is damaged needs recovery.
    assert [pathlib.Path(r["path"]).name for r in opened if r["recovered"] != (r["kind"] != "sound")] == []
    # A sound deck's text is empty only when its slides and notes store none;
    # some hold only pictures.
    assert [pathlib.Path(r["path"]).name for r in opened
            if r["kind"] == "sound" and not r["text"].strip() and r["live"].strip()] == []
    # A picture gives an error, not bytes, only when its stored data is damaged.
    assert [(pathlib.Path(r["path"]).name, r["image_errors"]) for r in opened
            if len(r["image_errors"]) > r["damaged_pictures"]] == []


def test_named_corpus_decks_show_their_pictures_and_objects(corpus_results):
    # Pictures and OLE frames of decks known to hold them; a folder without
    # these decks has nothing to check here.
    expected = {"poi--slideshow_ole2-embedding-2003.ppt": (None, 2), "poi--slideshow_pictures.ppt": (5, None),
                "poi--slideshow_ppt_with_png.ppt": (1, None)}
    named = {pathlib.Path(p).name: r for p, r in corpus_results.items() if pathlib.Path(p).name in expected}
    if not named:
        pytest.skip("none of the named legacy decks in the corpus")
    for name, r in named.items():
        images, objects = expected[name]
        assert "error" not in r, name
        assert images is None or r["images"] >= images, name
        assert objects is None or r["objects"] == objects, name


def test_encrypted_corpus_decks_are_refused_as_such(corpus_results):
    encrypted = [r for r in corpus_results.values() if r["kind"] == "encrypted"]
    if not encrypted:
        pytest.skip("no encrypted legacy deck in the corpus")
    for r in encrypted:
        assert r.get("error", "").startswith("encrypted: "), r["path"]


def words(text):
    return text.split()


def test_text_holds_the_words_catppt_prints(corpus_results):
    if shutil.which("catppt") is None:
        pytest.skip("catppt not installed")
    total, lost = 0, {}
    for path, r in sorted(corpus_results.items()):
        if "error" in r or "format" in r:
            continue
        proc = subprocess.run(["catppt", "-d", "utf-8", path], capture_output=True, timeout=60)
        # catppt also prints master and layout names and text of older saves,
        # which are no slide text: only words the live slides and notes store
        # count. A field's stand-in character is no word.
        live, ours = set(words(r["live"])), set(words(r["text"]))
        theirs = [w for w in words(proc.stdout.decode("utf-8", "replace")) if w in live and w.strip("*")]
        total += len(theirs)
        if missing := [w for w in theirs if w not in ours]:
            lost[pathlib.Path(path).name] = missing[:10]
    if total == 0:
        pytest.skip("no legacy deck with slide text")
    print(f"\n{total} words of catppt's in the live slides and notes")
    assert lost == {}


# ------------------------------------------------------------------ damage


@pytest.fixture(scope="module")
def base_deck(corpus):
    """The smallest sound legacy deck of the corpus with several slides and
    a picture."""
    for path in sorted(legacy_decks(corpus), key=lambda p: p.stat().st_size):
        data = path.read_bytes()
        if legacykit.kind_of(data) != "sound":
            continue
        try:
            doc = vantrell.Document(data=data)
            if doc.format == "ppt" and len(doc) >= 2 and any(s.images() for s in doc):
                return data
        except vantrell.PptxError:
            continue
    pytest.skip("no legacy deck with pictures in the corpus")


def known_error(message):
    return re.match(r"(ppt: |compound file|encrypted: |unsupported: |inflate: |missing part: |slide \d+ not found"
                    r"|not a zip archive|zip: )", message) is not None


def check_damaged(results):
    assert problems_of(results) == {}
    errors = [r["error"] for r in results.values() if "error" in r]
    unknown = sorted({e for e in errors if not known_error(e)})
    assert unknown == []
    return errors


def test_truncated_copies_fail_cleanly(base_deck, tmp_path):
    n = len(base_deck)
    cuts = sorted({0, 1, 4, 7, 8, 511, 512, 513, 1024, 1536, n - 1, n - 512, n // 2}
                  | {n * k // 40 for k in range(1, 40)})
    paths = []
    for cut in cuts:
        p = tmp_path / f"cut{cut}.ppt"
        p.write_bytes(base_deck[:cut])
        paths.append(p)
    whole = tmp_path / "whole.ppt"
    whole.write_bytes(base_deck)
    results = run_children([*paths, whole], strict=False)
    what = lambda r: {k: v for k, v in r.items() if k not in ("path", "recovered")}  # noqa: E731
    expected = what(results.pop(str(whole)))
    errors = check_damaged(results)
    # A cut that loses what the deck holds is noticed, not read as a shorter
    # deck: a copy that reads at all reads as the whole deck does (a cut of
    # only unused sectors at the end loses nothing), and says it needed
    # recovery exactly when the cut broke its own chain of saves.
    opened = {pathlib.Path(p).name: (r, legacykit.kind_of(pathlib.Path(p).read_bytes()))
              for p, r in results.items() if "error" not in r}
    assert [name for name, (r, kind) in opened.items() if what(r) != expected] == []
    assert [(name, kind) for name, (r, kind) in opened.items() if r["recovered"] != (kind != "sound")] == []
    assert errors


def test_byte_flipped_copies_fail_cleanly_or_read(base_deck, tmp_path):
    rng = random.Random(6)
    paths = []
    for i in range(160):
        data = bytearray(base_deck)
        for _ in range(rng.choice((1, 2, 8, 64))):
            # The header and directory hold most structure; the rest is
            # records, text and pictures.
            at = rng.randrange(0, 1024) if rng.random() < 0.3 else rng.randrange(len(data))
            data[at] = rng.choice((0, 0xFF, data[at] ^ (1 << rng.randrange(8)), rng.randrange(256)))
        p = tmp_path / f"flip{i}.ppt"
        p.write_bytes(bytes(data))
        paths.append(p)
    check_damaged(run_children(paths, strict=False))


# ------------------------------------------------------------------ compound files built here


def compound(streams):
    """A compound file of root-level streams, each padded to at least 4096
    bytes so that none lives in the mini stream: of version 3 (sectors of
    512 bytes) while its FAT fits in the header's 109 slots, else of version
    4 (sectors of 4096 bytes, room for some 400 MiB)."""
    names = list(streams)
    datas = [streams[n].ljust(4096, b"\0") for n in names]
    for sector in (512, 4096):
        counts = [-(-len(d) // sector) for d in datas]
        # The FAT's own sectors first (as many as it takes), then the
        # directory, then the streams.
        nfat = 1
        while nfat * (sector // 4) < nfat + 1 + sum(counts):
            nfat += 1
        if nfat <= 109:
            break
    fat = [0xFFFFFFFD] * nfat + [0xFFFFFFFE]
    starts = []
    for c in counts:
        starts.append(len(fat))
        fat += [len(fat) + k + 1 for k in range(c - 1)] + [0xFFFFFFFE]
    assert nfat <= 109 and len(names) <= 3
    fat += [0xFFFFFFFF] * (nfat * sector // 4 - len(fat))

    def entry(name, kind, left, right, child, start, size):
        raw = name.encode("utf-16-le") + b"\0\0"
        return (raw.ljust(64, b"\0") + struct.pack("<HBB3I", len(raw), kind, 1, left, right, child)
                + bytes(16 + 4 + 16) + struct.pack("<IQ", start, size))

    none = 0xFFFFFFFF
    # Siblings hang to the right in increasing order: shorter names first.
    order = sorted(range(len(names)), key=lambda i: (len(names[i]), names[i].upper()))
    dirs = [entry("Root Entry", 5, none, none, order[0] + 1, 0xFFFFFFFE, 0)]
    for i in range(len(names)):
        at = order.index(i)
        right = order[at + 1] + 1 if at + 1 < len(order) else none
        dirs.append(entry(names[i], 2, none, right, none, starts[i], len(datas[i])))
    directory = b"".join(dirs).ljust(sector, b"\0")
    version, shift = (3, 9) if sector == 512 else (4, 12)
    header = (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(16) + struct.pack("<HHHHH", 0x3E, version, 0xFFFE, shift, 6)
              + bytes(6) + struct.pack("<IIIIIIIII", 0, nfat, nfat, 0, 4096, 0xFFFFFFFE, 0, 0xFFFFFFFE, 0)
              + struct.pack(f"<{nfat}I", *range(nfat)) + struct.pack("<I", 0xFFFFFFFF) * (109 - nfat))
    assert len(header) == 512
    return header.ljust(sector, b"\0") + struct.pack(f"<{len(fat)}I", *fat) + directory + b"".join(datas)


class TestRefusals:
    def test_encrypted_package_in_a_compound_file(self):
        data = compound({"EncryptionInfo": struct.pack("<HHI", 4, 4, 0x40), "EncryptedPackage": b"\x10" + bytes(7)})
        with pytest.raises(vantrell.PptxError, match=r"^encrypted: "):
            vantrell.Document(data=data)

    def test_compound_file_without_a_deck(self):
        with pytest.raises(vantrell.PptxError) as e:
            vantrell.Document(data=compound({"WordDocument": b"\xec\xa5"}))
        assert str(e.value) == "compound file holds no PowerPoint Document stream"

    def test_powerpoint_4_file(self):
        for streams in ({"PP40": b"\x01" * 200}, {"PP40": b"\x01" * 200, "\x05SummaryInformation": b"\xfe\xff"}):
            with pytest.raises(vantrell.PptxError) as e:
                vantrell.Document(data=compound(streams))
            assert str(e.value) == "unsupported: presentations older than PowerPoint 97"

    def test_garbage_document_stream(self):
        with pytest.raises(vantrell.PptxError, match=r"^ppt: "):
            vantrell.Document(data=compound({"PowerPoint Document": b"\xff" * 64, "Current User": b"\0" * 8}))


def rec(rtype, body, instance=0, ver=0):
    return struct.pack("<HHI", ver | (instance << 4), rtype, len(body)) + body


def box(rtype, *kids, instance=0):
    return rec(rtype, b"".join(kids), instance, 0xF)


def shape(spid, flags, shape_type, *kids):
    return box(0xF004, rec(0xF00A, struct.pack("<II", spid, flags), shape_type, 2), *kids)


def legacy_deck(slide_shapes, store, pictures, damage=None, first_number=1):
    """A one-slide legacy deck laid out as PowerPoint writes it: document
    container, slide container, persist directory, user edit. `store` is the
    picture store's FBSE records, `pictures` the Pictures stream. `damage`
    takes the finished stream (as a bytearray), the directory's and the user
    edit's offsets, and may change the stream in place."""
    patriarch = shape(1024, 0x005, 0, rec(0xF009, bytes(16), 0, 1))
    drawing = box(0x040C, box(0xF002, rec(0xF008, struct.pack("<II", 2, 0), 1),
                              box(0xF003, patriarch, *slide_shapes)))
    slide = box(0x03EE, rec(0x03EF, struct.pack("<6I", 16, 0, 0, 0x80000000, 0, 0), 0, 2), drawing)
    document_atom = rec(0x03E9, struct.pack("<8ihH4x", 5760, 4320, 4320, 5760, 1, 2, 0, 0, first_number, 0), 0, 1)
    doc = box(0x03E8, document_atom,
              box(0x040B, box(0xF000, box(0xF001, *store, instance=len(store)))),
              box(0x0FF0, rec(0x03F3, struct.pack("<5I", 2, 0, 0, 256, 0))),
              rec(0x03EA, b""))
    slide_at = len(doc)
    stream = doc + slide
    dir_at = len(stream)
    stream += rec(0x1772, struct.pack("<3I", 1 | (2 << 20), 0, slide_at))
    edit_at = len(stream)
    stream += rec(0x0FF5, struct.pack("<6IHH", 0, 0x03001599, 0, dir_at, 1, 2, 1, 0))
    user = rec(0x0FF6, struct.pack("<3IHHBBHI", 0x14, 0xE391C05F, edit_at, 0, 0x03F4, 3, 0, 0, 8))
    if damage:
        stream = bytearray(stream)
        damage(stream, dir_at, edit_at)
    return compound({"Current User": user, "PowerPoint Document": bytes(stream), "Pictures": pictures})


def fbse(blip_type_win, blip_type_mac, size, offset):
    body = bytes([blip_type_win, blip_type_mac]) + b"\x11" * 16 + struct.pack("<HIIIBBH", 0xFF, size, 1, offset, 0, 0, 0)
    return rec(0xF007, body, blip_type_win, 2)


def picture_frame(spid, pib, ole=False):
    flags = 0xA00 | (0x010 if ole else 0)
    return shape(spid, flags, 75, rec(0xF00B, struct.pack("<Hi", 0x4104, pib), 1, 3),
                 rec(0xF010, struct.pack("<4h", 0, 0, 576, 576)))


PICT = b"\x00\x0a\x00\x00\x00\x00\x00\x10\x00\x10\x00\x11\x02\xff"


class TestHandMadeDeck:
    def deck(self):
        # The store says WMF for Windows and PICT for the Macintosh; the
        # Pictures stream holds the PICT record, as Mac-saved decks do.
        header = struct.pack("<I4i2iIBB", len(PICT), 0, 0, 16, 16, 12700, 12700, len(PICT), 0xFE, 0xFE)
        blip = rec(0xF01C, b"\x22" * 16 + header + PICT, 0x542)
        data = legacy_deck([picture_frame(1025, 1), picture_frame(1026, 0, ole=True)],
                           [fbse(3, 4, len(blip), 0)], blip)
        return vantrell.Document(data=data)

    def test_deck_facts(self):
        doc = self.deck()
        assert (doc.format, doc.presentation_part, len(doc)) == ("ppt", "PowerPoint Document", 1)
        assert doc.slide_size == (9144000, 6858000)

    def test_picture_format_follows_the_stored_record(self):
        s = self.deck()[0]
        [image] = s.images()
        assert (image.shape_id, image.part, image.content_type) == (1025, "/Pictures/image1.pict", "image/x-pict")
        assert s.image_bytes(image) == bytes(512) + PICT

    def test_ole_frame_is_listed_without_a_part(self):
        s = self.deck()[0]
        assert [x.kind for x in s.shapes()] == ["picture", "ole"]
        [obj] = s.embedded_objects()
        assert (obj.shape_id, obj.prog_id, obj.rel_id, obj.part, obj.content_type, obj.external) == \
            (1026, None, None, None, None, None)


def text_box(spid, text, fields=()):
    """A text box of `text`, with field atoms given as (record type,
    character position)."""
    chars = text.encode("utf-16-le")
    atoms = [rec(kind, struct.pack("<I", at) + bytes(FIELD_TAIL.get(kind, 0))) for kind, at in fields]
    return shape(spid, 0xA00, 202, rec(0xF010, struct.pack("<4h", 0, 0, 576, 576)),
                 box(0xF00D, rec(0x0F9F, struct.pack("<I", 4)), rec(0x0FA0, chars), *atoms))


# What follows the position in a field atom: a date format index, or an RTF
# date format string.
FIELD_TAIL = {0x0FF7: 4, 0x1015: 128}
SLIDE_NUMBER, DATE_TIME, GENERIC_DATE, RTF_DATE = 0x0FD8, 0x0FF7, 0x0FF8, 0x1015


@pytest.mark.parametrize("text, fields, first_number, shown, live", [
    ("*", [(DATE_TIME, 0)], 1, "", ""),
    ("**", [(GENERIC_DATE, 0), (RTF_DATE, 1)], 1, "", ""),
    ("Page *", [(SLIDE_NUMBER, 5)], 1, "Page 1", "Page"),
    ("Page *", [(SLIDE_NUMBER, 5)], 7, "Page 7", "Page"),
    ("Page *", [(SLIDE_NUMBER, 5)], 0, "Page 0", "Page"),
    ("* of **", [(SLIDE_NUMBER, 0), (DATE_TIME, 5)], 12, "12 of *", "of *"),
], ids=["date only", "other dates only", "slide number", "numbers from 7", "numbers from 0", "number and date"])
def test_fields_of_hand_made_decks(text, fields, first_number, shown, live):
    # What the deck shows, and what the corpus tests take its stored text to
    # be: a field's stand-in is no stored text.
    data = legacy_deck([text_box(1025, text, fields)], [], b"", first_number=first_number)
    assert vantrell.Document(data=data).text() == shown
    chain = legacykit.Chain(*legacykit.deck_streams(data)[:2])
    assert (legacykit.kind_of(data), chain.live_text().strip(), chain.first_slide_number()) == \
        ("sound", live, first_number)


def word_art(spid, props):
    """A text-effect shape whose property table holds complex `props`:
    (id, stated length, data)."""
    entries = b"".join(struct.pack("<HI", pid | 0x8000, n) for pid, n, _ in props)
    return shape(spid, 0xA00, 136, rec(0xF00B, entries + b"".join(d for *_, d in props), len(props), 3),
                 rec(0xF010, struct.pack("<4h", 0, 0, 576, 576)))


FIN, LINES = "Fin\0".encode("utf-16-le"), "SEA\r\nSTAg\0junk".encode("utf-16-le")


@pytest.mark.parametrize("props, lines", [
    ([(0xC0, len(FIN), FIN)], ["Fin"]),
    ([(0xC5, len(FIN), FIN), (0xC0, len(LINES), LINES)], ["SEA", "STAg"]),
    ([(0xC0, 0xFFFFFFF0, FIN)], []),
], ids=["word", "lines up to the NUL", "length past the table"])
def test_word_art_shows_the_text_its_properties_hold(props, lines):
    doc = vantrell.Document(data=legacy_deck([word_art(1025, props)], [], b""))
    assert [p.text for p in doc[0].shapes()[0].paragraphs] == lines
    assert (doc.text(), doc.markdown()) == ("\n".join(lines), "\n\n".join(["# Slide 1", *lines]) + "\n")


@pytest.mark.parametrize("name, shown", [
    ("poi--slideshow_23884_defense_FINAL_OOimport_edit.ppt", "- GPS Block I\n  - 02/78 – 10/85\n"),  # body text boxes
    ("poi--slideshow_bug58516.ppt", "- We made new connections\n\nOther ways to look at our favorite physics\n"),
    ("poi--slideshow_54111.ppt", "# Table sample\n\nDummy text\n"),  # the master turns level 0 off
])
def test_inherited_bullets_follow_the_masters_styles(corpus, name, shown):
    if not (corpus / name).is_file():
        pytest.skip(f"{name} not in the corpus")
    assert shown in vantrell.Document(corpus / name).markdown()


def set32(stream, at, value):
    stream[at:at + 4] = struct.pack("<I", value)


# The user edit field naming the previous edit, after the header.
EDIT_LAST = 8 + 8


class TestBrokenEditChain:
    DAMAGE = {
        "sound": None,
        "previous edit is itself": lambda s, d, e: set32(s, e + EDIT_LAST, e),
        "directory destroyed": lambda s, d, e: set32(s, d, 0xFFFFFFFF),
        "user edit destroyed": lambda s, d, e: set32(s, e, 0xFFFFFFFF),
    }

    @pytest.mark.parametrize("damage", DAMAGE)
    def test_the_slide_survives_and_the_deck_says_it_was_recovered(self, damage):
        doc = vantrell.Document(data=legacy_deck([text_box(1025, "still here")], [], b"", self.DAMAGE[damage]))
        assert len(doc) == 1
        assert doc.text() == "still here"
        assert doc.defects.located == "legacy_stream"
        assert doc.defects.slides_recovered_from_rels == (damage != "sound")


# ------------------------------------------------------------------ one real deck in process


@pytest.fixture(scope="module")
def ole_deck(corpus):
    for path in sorted(pathlib.Path(corpus).glob("*.ppt"), key=lambda p: p.stat().st_size):
        try:
            doc = vantrell.Document(path)
        except vantrell.PptxError:
            continue
        if doc.format != "ppt":
            continue
        for s in doc:
            if s.embedded_objects():
                return doc, s
    pytest.skip("no legacy deck with an OLE frame in the corpus")


class TestObjects:
    def test_objects_are_listed_without_a_part(self, ole_deck):
        _, s = ole_deck
        objects = s.embedded_objects()
        ole_ids = [x.id for x in s.shapes() if x.kind == "ole"]
        assert [o.shape_id for o in objects][:len(ole_ids)] == ole_ids
        with pytest.raises(vantrell.PptxError) as e:
            s.object_bytes(objects[0])
        assert str(e.value).startswith(f"unsupported: the bytes of the object of shape {objects[0].shape_id}")
        assert str(e.value).endswith(": " + KEPT_IN_STREAM)

    def test_object_naming_a_part_is_refused_with_the_library_message(self, ole_deck):
        pptx = vantrell.Document(data=slidedeck.make([slidedeck.Slide(
            slidedeck.ole_frame(7, "Object", "rIdO"),
            rels=[("rIdO", "oleObject", "../embeddings/oleObject1.bin")],
            parts={"ppt/embeddings/oleObject1.bin": b"ole"})]))
        foreign = pptx[0].embedded_objects()[0]
        assert foreign.part == "/ppt/embeddings/oleObject1.bin"
        with pytest.raises(vantrell.PptxError) as e:
            ole_deck[1].object_bytes(foreign)
        assert e.value.args == ("unsupported: " + NO_PARTS,)


def test_worker_count_does_not_change_the_text(corpus):
    decks = [p for p in sorted(pathlib.Path(corpus).glob("*.ppt"), key=lambda p: p.stat().st_size)]
    for path in decks:
        try:
            doc = vantrell.Document(path, threads=1)
        except vantrell.PptxError:
            continue
        if len(doc) < 4:
            continue
        many = vantrell.Document(path, threads=4)
        assert many.text(notes=True) == doc.text(notes=True)
        assert many.markdown() == doc.markdown()
        assert many.slide_texts() == doc.slide_texts()
        return
    pytest.skip("no legacy deck of four slides in the corpus")
