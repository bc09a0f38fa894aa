"""A legacy deck read apart from the library, for corpus tests that judge a
deck by what it is: its streams, whether its own chain of saves holds, and
the text its live slides and notes store.

Written from the format alone and kept small: it reads sound files and says
so (ValueError) at the first thing it does not understand.
"""
import struct

FREE, END_OF_CHAIN = 0xFFFFFFFF, 0xFFFFFFFE
ENCRYPTED_TOKEN = 0xF3D1C4DF
# Slide number, date-time, generic date, header, footer, RTF date-time.
FIELD_ATOMS = {0x0FD8, 0x0FF7, 0x0FF8, 0x0FF9, 0x0FFA, 0x1015}


def _u16(b, at):
    return struct.unpack_from("<H", b, at)[0]


def _u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


# ------------------------------------------------------------------ compound file


def compound_streams(data):
    """{path: bytes} of the streams at the root and one storage level below,
    paths like "PowerPoint Document" or "PP97_DUALSTORAGE/Current User"; None
    for a stream that cannot be read."""
    if data[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" or len(data) < 512:
        raise ValueError("no compound file")
    size = 1 << _u16(data, 0x1E)

    def sector(n):
        at = (n + 1) * size
        if n >= 0xFFFFFFFA or at >= len(data):
            raise ValueError(f"sector {n} outside the file")
        return data[at:at + size].ljust(size, b"\0")

    # Only as many FAT sectors as the header declares count.
    declared = _u32(data, 0x2C)
    fat_sectors = [n for n in struct.unpack_from("<109I", data, 0x4C) if n < 0xFFFFFFFA]
    difat, seen = _u32(data, 0x44), set()
    while len(fat_sectors) < declared and difat < 0xFFFFFFFA and difat not in seen:
        seen.add(difat)
        words = struct.unpack(f"<{size // 4}I", sector(difat))
        fat_sectors += [n for n in words[:-1] if n < 0xFFFFFFFA]
        difat = words[-1]
    fat_sectors = fat_sectors[:declared]
    fat = [w for n in fat_sectors for w in struct.unpack(f"<{size // 4}I", sector(n))]

    def chain(start, table, read, count=None):
        """The sectors from `start` on: `count` of them, or to the end mark."""
        out, seen = bytearray(), set()
        while start != END_OF_CHAIN if count is None else len(seen) < count:
            if start >= len(table) or start in seen:
                raise ValueError(f"broken chain at {start}")
            seen.add(start)
            out += read(start)
            start = table[start]
        return bytes(out)

    directory = chain(_u32(data, 0x30), fat, sector)
    entries = []
    for at in range(0, len(directory) - 127, 128):
        e = directory[at:at + 128]
        name = e[:max(0, min(_u16(e, 0x40), 64) - 2)].decode("utf-16-le", "replace")
        left, right, child = struct.unpack_from("<3I", e, 0x44)
        entries.append((name, e[0x42], left, right, child, _u32(e, 0x74), _u32(e, 0x78)))
    root = entries[0]
    try:
        mini_fat = chain(_u32(data, 0x3C), fat, sector) if _u32(data, 0x3C) < 0xFFFFFFFA else b""
        mini_fat = list(struct.unpack(f"<{len(mini_fat) // 4}I", mini_fat))
        mini_stream = chain(root[5], fat, sector, -(-root[6] // size))[:root[6]]
    except ValueError:
        mini_fat, mini_stream = [], b""  # only the small streams are lost

    def stream(entry):
        try:
            return read(entry)
        except ValueError:
            return None

    def read(entry):
        start, length = entry[5], entry[6]
        if length < 4096:  # the format's fixed cutoff, whatever the header says
            mini = lambda n: mini_stream[n * 64:(n + 1) * 64]  # noqa: E731
            body = chain(start, mini_fat, mini, -(-length // 64))
        else:
            body = chain(start, fat, sector, -(-length // size))
        if len(body) < length:
            raise ValueError(f"stream {entry[0]} shorter than its size")
        return body[:length]

    def children(node):
        stack, out = [node], []
        while stack:
            n = stack.pop()
            if n == FREE or n >= len(entries) or len(out) > len(entries):
                continue
            out.append(n)
            stack += [entries[n][2], entries[n][3]]
        return out

    found = {}
    for n in children(root[4]):
        name, kind = entries[n][0], entries[n][1]
        if kind == 2:
            found[name] = stream(entries[n])
        elif kind == 1:
            for m in children(entries[n][4]):
                if entries[m][1] == 2:
                    found[f"{name}/{entries[m][0]}"] = stream(entries[m])
    return found


def deck_streams(data):
    """(current user, document, pictures) as a reader of the 97 format takes
    them: from the dual storage when there is one, else from the root."""
    s = compound_streams(data)
    pick = lambda name: s.get("PP97_DUALSTORAGE/" + name, s.get(name))  # noqa: E731
    return pick("Current User"), pick("PowerPoint Document"), pick("Pictures")


# ------------------------------------------------------------------ records


def _record(doc, at, end=None):
    """(type, instance, is container, body start, body length) of the record
    whose header lies at `at`, its body cut at `end` (the stream's end)."""
    end = len(doc) if end is None else end
    if at is None or at + 8 > end:
        return None
    vi, rtype, length = struct.unpack_from("<HHI", doc, at)
    return rtype, vi >> 4, vi & 0xF == 0xF, at + 8, min(length, end - at - 8), length


def _kids(doc, start, length):
    at, end = start, start + length
    while True:
        r = _record(doc, at, end)
        if r is None or r[5] > r[4]:
            return
        yield r
        at = r[3] + r[4]


class Chain:
    """The chain of saves from the current user's newest edit: the persist
    map it builds (newer edits win) and whether it holds as the format has
    it: every edit is one, every directory one its entries fill, each older
    edit lies before the newer, and the map reaches the document and every
    slide its slide list names."""

    def __init__(self, user, doc):
        self.doc, self.persist, self.holds, self.doc_ref = doc, {}, False, None
        if user is None or len(user) < 20 or _u16(user, 2) != 0x0FF6:
            return
        at = _u32(user, 16)
        while True:
            edit = _record(doc, at)
            if edit is None or edit[0] != 0x0FF5 or edit[5] != edit[4] or edit[4] < 0x1C:
                return
            last, directory, doc_ref = struct.unpack_from("<III", doc, edit[3] + 8)
            if self.doc_ref is None:
                self.doc_ref = doc_ref
            d = _record(doc, directory)
            if d is None or d[0] not in (0x1771, 0x1772) or d[5] != d[4]:
                return
            pos, end = d[3], d[3] + d[4]
            while pos < end:
                if end - pos < 4 or 4 * (_u32(doc, pos) >> 20) > end - pos - 4:
                    return
                head, pos = _u32(doc, pos), pos + 4
                for k in range(head >> 20):
                    self.persist.setdefault((head & 0xFFFFF) + k, _u32(doc, pos + 4 * k))
                pos += 4 * (head >> 20)
            if last == 0:
                break
            if last >= at:
                return
            at = last
        self.holds = self.slide_list(0) is not None and all(self.object(i, 0x03EE) for i in self.slide_list(0))

    def object(self, persist_id, rtype):
        """The record a persist id names when it is of `rtype`."""
        r = _record(self.doc, self.persist.get(persist_id))
        return r if r and r[0] == rtype else None

    def document(self):
        return self.object(self.doc_ref, 0x03E8)

    def first_slide_number(self):
        """The number the document atom gives the first slide; None without
        a document."""
        document = self.document()
        if document is None:
            return None
        for r in _kids(self.doc, document[3], document[4]):
            if r[0] == 0x03E9 and r[4] >= 0x28:
                return struct.unpack_from("<h", self.doc, r[3] + 0x20)[0]
        return 1

    def slide_list(self, instance):
        """The persist ids a list of the document names (0 slides, 2 notes);
        None without a document."""
        document = self.document()
        if document is None:
            return None
        for r in _kids(self.doc, document[3], document[4]):
            if r[0] == 0x0FF0 and r[1] == instance:
                return [_u32(self.doc, k[3]) for k in _kids(self.doc, r[3], r[4]) if k[0] == 0x03F3 and k[4] >= 16]
        return []

    def live_text(self):
        """The text the live slides and notes store: the slide list's outline
        text and every text atom inside a slide or notes container the map
        reaches. A field's `*` stand-in is no stored text. Empty for a chain
        that does not hold."""
        if not self.holds:
            return ""
        out = []

        def texts(start, length, depth=0):
            # Field atoms follow the text atom whose characters they point into.
            atom = None
            for r in _kids(self.doc, start, length):
                if r[0] == 0x0FA0:
                    atom = [self.doc[r[3]:r[3] + r[4] // 2 * 2], 2, set()]
                    out.append(atom)
                elif r[0] == 0x0FA8:
                    atom = [self.doc[r[3]:r[3] + r[4]], 1, set()]
                    out.append(atom)
                elif r[0] == 0x0F9F:
                    atom = None
                elif r[0] in FIELD_ATOMS and atom and r[4] >= 4:
                    atom[2].add(_u32(self.doc, r[3]))
                elif r[2] and depth < 32:
                    texts(r[3], r[4], depth + 1)

        def decoded(raw, width, fields):
            star = "*".encode("utf-16-le" if width == 2 else "latin-1")
            units = [raw[k:k + width] for k in range(0, len(raw), width)]
            units = [u for k, u in enumerate(units) if k not in fields or u != star]
            return b"".join(units).decode("utf-16-le" if width == 2 else "latin-1", "replace")

        document = self.document()
        for r in _kids(self.doc, document[3], document[4]):
            if r[0] == 0x0FF0 and r[1] == 0:
                texts(r[3], r[4])
                break
        for ids, rtype in ((self.slide_list(0), 0x03EE), (self.slide_list(2), 0x03F0)):
            for r in filter(None, (self.object(i, rtype) for i in ids)):
                texts(r[3], r[4])
        return "\n".join(decoded(*a) for a in out).replace("\r", "\n").replace("\x0b", "\n")


# ------------------------------------------------------------------ what a file is


def kind_of(data):
    """What a file is, as a reader of legacy decks should take it:
    "no compound file", "damaged container" (its deck's streams cannot be
    read), "encrypted", "older" (PowerPoint 95 or 4), "no deck", "sound" (its
    chain of saves holds) or "damaged chain"."""
    if data[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
        return "no compound file"
    try:
        s = compound_streams(data)
    except (ValueError, IndexError, struct.error):
        return "damaged container"
    dual = "PP97_DUALSTORAGE/" if any(k.startswith("PP97_DUALSTORAGE/") for k in s) else ""
    if {"EncryptedPackage", "EncryptionInfo", "\x09DRMContent", dual + "EncryptedSummary"} & set(s):
        return "encrypted"
    if dual + "PowerPoint Document" not in s and "PowerPoint Document" not in s:
        return "older" if "PP40" in s else "no deck"
    user, doc, _ = deck_streams(data)
    if doc is None:
        return "damaged container"
    if user is not None and len(user) >= 16 and _u32(user, 12) == ENCRYPTED_TOKEN:
        return "encrypted"
    if Chain(user, doc).holds:
        return "sound"
    return "older" if "Header" in s else "damaged chain"


def damaged_pictures(data):
    """How many pictures of the Pictures stream are stored damaged: a
    compressed metafile that zlib cannot inflate, or a record running past
    the stream's end (which ends the count)."""
    import zlib

    try:
        pictures = deck_streams(data)[2] or b""
    except (ValueError, IndexError, struct.error):
        return 0
    damaged, at = 0, 0
    while at + 8 <= len(pictures):
        vi, rtype, length = struct.unpack_from("<HHI", pictures, at)
        if length > len(pictures) - at - 8:
            return damaged + 1
        # Metafiles (EMF, WMF, PICT): one or two ids, then a 34-byte header
        # whose byte 32 says whether the data is deflated.
        if rtype in (0xF01A, 0xF01B, 0xF01C):
            header = at + 8 + 16 + 16 * ((vi >> 4) & 1)
            if header + 34 <= at + 8 + length and pictures[header + 32] == 0:
                try:
                    zlib.decompress(pictures[header + 34:at + 8 + length])
                except zlib.error:
                    damaged += 1
        at += 8 + length
    return damaged
