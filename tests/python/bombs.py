"""Decks whose parts inflate far past their stored size, built cheaply.

A part is given as head + unit * count + tail. Its DEFLATE stream is the head,
the unit and the tail compressed once each, every piece closed by a full
flush (so it refers to nothing before it) and the unit's piece repeated
`count` times; the CRC-32 of the repeats is combined arithmetically. So a part
of gigabytes costs milliseconds and its compressed size to build, and the
archive is written by hand because its sizes may need ZIP64 fields.
"""
import io
import re
import struct
import zipfile
import zlib

import deckkit
import slidedeck


class Inflating:
    """A part's raw DEFLATE data with its CRC-32 and both sizes."""

    def __init__(self, head, unit, count, tail):
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        h = c.compress(head) + c.flush(zlib.Z_FULL_FLUSH)
        u = c.compress(unit) + c.flush(zlib.Z_FULL_FLUSH)
        t = c.compress(tail) + c.flush()
        self.data = h + u * count + t
        self.size = len(head) + len(unit) * count + len(tail)
        crc = crc32_combine(zlib.crc32(head), _crc_repeated(unit, count), len(unit) * count)
        self.crc = crc32_combine(crc, zlib.crc32(tail), len(tail))


def _times(matrix, vector):
    out, i = 0, 0
    while vector:
        if vector & 1:
            out ^= matrix[i]
        vector >>= 1
        i += 1
    return out


def _square(matrix):
    return [_times(matrix, row) for row in matrix]


def crc32_combine(crc1, crc2, len2):
    """CRC-32 of A + B from crc(A), crc(B) and len(B): appending a zero byte
    to A's register is a linear map, applied len2 times by squaring."""
    one_bit = [0xEDB88320] + [1 << n for n in range(31)]
    op = _square(_square(_square(one_bit)))
    while len2:
        if len2 & 1:
            crc1 = _times(op, crc1)
        len2 >>= 1
        if len2:
            op = _square(op)
    return crc1 ^ crc2


def _crc_repeated(unit, count):
    crc, block, block_len = 0, zlib.crc32(unit), len(unit)
    while count:
        if count & 1:
            crc = crc32_combine(crc, block, block_len)
        block = crc32_combine(block, block, block_len)
        block_len *= 2
        count >>= 1
    return crc


def write_zip(items):
    """A ZIP of (name, bytes or Inflating) pairs: bytes stored deflated as
    usual, an Inflating as given; sizes past 32 bits get ZIP64 extra fields."""
    out, central = bytearray(), bytearray()
    for name, value in items:
        if not isinstance(value, Inflating):
            value = Inflating(value, b"", 0, b"")
        raw = name.encode()
        big = value.size >= 0xFFFFFFFF or len(value.data) >= 0xFFFFFFFF
        extra = struct.pack("<HHQQ", 1, 16, value.size, len(value.data)) if big else b""
        csize = 0xFFFFFFFF if big else len(value.data)
        usize = 0xFFFFFFFF if big else value.size
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 8, 0, 0x2821, value.crc, csize, usize,
                           len(raw), len(extra)) + raw + extra
        out += value.data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 8, 0, 0x2821, value.crc, csize,
                               usize, len(raw), len(extra), 0, 0, 0, 0, offset) + raw + extra
    count = len(items)
    return bytes(out + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central),
                                             len(out), 0))


def deck_with_slide(slide):
    """The one-slide deck of deckkit with `slide` (bytes or Inflating) as its slide part."""
    items = list(deckkit.parts().items())
    return write_zip([(n, slide if n == "ppt/slides/slide1.xml" else v) for n, v in items])


def long_run_deck(nbytes, unit_nbytes=1 << 20):
    """A slide holding one text run of `nbytes` letters A (a multiple of the unit)."""
    shape = slidedeck.sp(2, "Body", slidedeck.para(slidedeck.run("\0")))
    head, tail = slidedeck.slide_part(slidedeck.Slide(shapes=shape)).split(b"\0")
    return deck_with_slide(Inflating(head, b"A" * unit_nbytes, nbytes // unit_nbytes, tail))


def blank_tree_deck(nbytes, unit_nbytes=1 << 20):
    """A slide whose shape tree holds `nbytes` spaces between its shapes."""
    title = slidedeck.sp(2, "Title", slidedeck.para("Kept"), ph='type="title"')
    head, tail = slidedeck.slide_part(slidedeck.Slide(shapes=title + "\0")).split(b"\0")
    return deck_with_slide(Inflating(head, b" " * unit_nbytes, nbytes // unit_nbytes, tail))


def blank_slides_deck(titles, nbytes, unit_nbytes=1 << 20):
    """A deck of one slide per title, each slide's shape tree holding `nbytes`
    spaces after its title shape."""
    shapes = [slidedeck.sp(2, "Title", slidedeck.para(t), ph='type="title"') + "\0" for t in titles]
    data = slidedeck.make([slidedeck.Slide(shapes=s) for s in shapes])
    items = []
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for name in z.namelist():
            value = z.read(name)
            if re.fullmatch(r"ppt/slides/slide\d+\.xml", name):
                head, tail = value.split(b"\0")
                value = Inflating(head, b" " * unit_nbytes, nbytes // unit_nbytes, tail)
            items.append((name, value))
    return write_zip(items)


def blank_presentation_deck(nbytes, unit_nbytes=1 << 20):
    """The one-slide deck of deckkit whose presentation part holds `nbytes`
    spaces inside its root."""
    items = deckkit.parts()
    text = items["ppt/presentation.xml"]
    cut = text.index(b"<p:sldMasterIdLst>")
    items["ppt/presentation.xml"] = Inflating(text[:cut], b" " * unit_nbytes, nbytes // unit_nbytes, text[cut:])
    return write_zip(list(items.items()))


def blank_layouts_deck(count, nbytes, unit_nbytes=1 << 20):
    """A deck of `count` slides, each on a layout of its own holding `nbytes`
    spaces before its shape tree; every slide's body placeholder has plain
    paragraphs, whose bullets the layout decides."""
    sd = slidedeck
    slides = [sd.Slide(sd.sp(2, "Body", sd.para(f"Point {i}"), ph='idx="1"'), layout=i)
              for i in range(1, count + 1)]
    extra = {}
    for i in range(2, count + 1):
        extra[f"ppt/slideLayouts/_rels/slideLayout{i}.xml.rels"] = deckkit.rels(
            ("rId1", "slideMaster", "../slideMasters/slideMaster1.xml"))
    data = sd.make(slides, extra=extra)
    head = (deckkit.DECL + f"<p:sldLayout {deckkit.NS}>").encode()
    tail = (deckkit.TREE + "</p:sldLayout>").encode()
    items = []
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        items = [(name, z.read(name)) for name in z.namelist()
                 if not re.fullmatch(r"ppt/slideLayouts/slideLayout\d+\.xml", name)]
    for i in range(1, count + 1):
        items.append((f"ppt/slideLayouts/slideLayout{i}.xml",
                      Inflating(head, b" " * unit_nbytes, nbytes // unit_nbytes, tail)))
    return write_zip(items)


def utf16_comment_deck(nbytes, unit_nbytes=1 << 20):
    """A one-slide deck whose slide part is UTF-16 with a byte-order mark and
    holds a comment of `nbytes` bytes of CJK characters (half as many
    characters, each three bytes in UTF-8), then a titled shape."""
    title = slidedeck.sp(2, "Title", slidedeck.para("Wide"), ph='type="title"')
    head, tail = slidedeck.slide_part(slidedeck.Slide(shapes="\0" + title)).decode().split("\0")
    unit = "\u4e2d".encode("utf-16-le") * (unit_nbytes // 2)
    return deck_with_slide(Inflating(b"\xff\xfe" + (head + "<!--").encode("utf-16-le"), unit,
                                     nbytes // unit_nbytes, ("-->" + tail).encode("utf-16-le")))
