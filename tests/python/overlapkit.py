"""Archives whose central directory points several entries at one another's
data: each named entry's central record is given the local header offset,
method, flags, sizes and CRC-32 of another entry, whose local header and data
it then shares. Its own local header and data stay in the file, unreferenced.
"""
import io
import struct
import zipfile

import bombs
import deckkit
import slidedeck

# Central record fields copied from the entry pointed at: offset, format.
SHARED = {"flags": (8, "<H"), "method": (10, "<H"), "crc": (16, "<I"), "csize": (20, "<I"),
          "usize": (24, "<I"), "offset": (42, "<I")}


def point_at(data, name, onto):
    """`data` with the central record of `name` pointing at the data of `onto`."""
    out = bytearray(data)
    src, dst = deckkit.central_offset(data, onto), deckkit.central_offset(data, name)
    for off, fmt in SHARED.values():
        struct.pack_into(fmt, out, dst + off, *struct.unpack_from(fmt, data, src + off))
    return bytes(out)


def shared_slide_deck(count, slide):
    """A deck of `count` slides whose entries all point at slide 1's data,
    which is `slide` (bytes or a bombs.Inflating)."""
    with zipfile.ZipFile(io.BytesIO(slidedeck.make([slidedeck.Slide()] * count))) as z:
        items = [(n, z.read(n)) for n in z.namelist()]
    first = "ppt/slides/slide1.xml"
    data = bombs.write_zip([(n, slide if n == first else v) for n, v in items])
    for k in range(2, count + 1):
        data = point_at(data, f"ppt/slides/slide{k}.xml", first)
    return data


def headers_past_lying_sizes(k, m):
    """An archive of `k` entries of an unknown method whose sizes run to the
    end of the file, over `m` empty stored entries whose records point one
    byte apart into zeros, where no header is: every size crosses every
    offset that is no header."""
    def local(name, method, size):
        return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0, 0, size, size, len(name), 0) + name

    def central(name, method, size, offset):
        return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0, 0, size, size, len(name),
                           0, 0, 0, 0, 0, offset) + name

    body, records, starts = bytearray(), bytearray(), []
    for i in range(k):
        starts.append(len(body))
        body += local(b"k%d" % i, 12, 0)
    zeros = len(body)
    body += bytes(m + 64)
    for i, at in enumerate(starts):
        records += central(b"k%d" % i, 12, len(body) - at, at)
    for j in range(m):
        records += central(b"z%d" % j, 0, 0, zeros + j)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, k + m, k + m, len(records), len(body), 0)
    return bytes(body + records + end)
