"""Name tables under chosen collisions: 100,000 names that all fall in one
slot of the tables the reader used to build, against as many ordinary names.

The old table hash was an unseeded word-wise multiply, finished by mixing in
the length. The low b bits of a product depend only on the low b bits of the
multiplicand, so the slot of a name of whole words is fixed by the low bits
of the state before the length word, rotated by 5: bits 0..b-6 and 59..63.
With every word but the last fixed and the last word's low 13 bits fixed too,
only the top 5 bits of one product remain free: one candidate in 32 lands in
the chosen slot (b = 18 covers every table of up to 131,071 names).

Four tables are timed, each with ordinary and colliding names of one length:
  zip     entry names of the central directory (`Package(data=...)`);
  rebuilt the same archives without their central directory, so the entries
          come from scanning local headers;
  rels    the Ids of one relationships part (`Package.rels`);
  types   the PartName keys of the content types stream.
Goal: colliding within 2x of ordinary.

    python bench/names_bench.py [names] [runs]
"""
import io
import itertools
import struct
import sys
import zipfile

import vantrell
from corpus import best_of_alternating, load_average

GOAL = 2.0
M = 0x517CC1B727220A95
MASK = (1 << 64) - 1
SLOT_BITS = 18
ALPHABET = b"abcdefghijklmnopqrstuvwxyz0123456789"


def rotl5(x):
    return ((x << 5) | (x >> 59)) & MASK


def mix(h, w):
    return ((rotl5(h) ^ w) * M) & MASK


def old_hash(name):
    """The old table hash of a name whose length is a multiple of 8."""
    assert len(name) % 8 == 0
    h = 0
    for i in range(0, len(name), 8):
        h = mix(h, int.from_bytes(name[i:i + 8], "little"))
    return mix(h, len(name))


def colliding(prefix, count):
    """`count` names of `prefix` (whole words and two bytes) and six free
    letters whose old hashes agree in the low SLOT_BITS bits."""
    assert len(prefix) % 8 == 2
    head = prefix[:-2]
    h = 0
    for i in range(0, len(head), 8):
        h = mix(h, int.from_bytes(head[i:i + 8], "little"))
    r = rotl5(h)
    fixed = int.from_bytes(prefix[-2:], "little")
    out, target = [], None
    for letters in itertools.product(ALPHABET, repeat=6):
        w = fixed | int.from_bytes(bytes(letters), "little") << 16
        top = (((r ^ w) * M) & MASK) >> 59
        if target is None:
            target = top
        if top == target:
            out.append(prefix + bytes(letters))
            if len(out) == count:
                break
    slots = {old_hash(n) & ((1 << SLOT_BITS) - 1) for n in out}
    assert len(slots) == 1, "the names do not share a slot"
    return out


def ordinary(prefix, count):
    """`count` names as long as `colliding` makes them, numbered."""
    return [prefix + b"%06d" % i for i in range(count)]


def zip_of(names, central=True):
    """Empty stored entries; without `central`, cut before the central directory."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        for n in names:
            z.writestr(zipfile.ZipInfo(n.decode(), date_time=(2000, 1, 1, 0, 0, 0)), b"")
    data = buf.getvalue()
    if central:
        return data
    (directory,) = struct.unpack_from("<I", data, data.rfind(b"PK\x05\x06") + 16)
    return data[:directory]


def rels_deck(ids):
    rels = ['<?xml version="1.0" encoding="UTF-8"?>'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">']
    rels += [f'<Relationship Id="{i.decode()}" Type="http://example.com/t" Target="t.xml"/>' for i in ids]
    rels.append("</Relationships>")
    return zip_of_items({"ppt/_rels/a.xml.rels": "".join(rels).encode()})


def types_deck(names):
    ct = ['<?xml version="1.0" encoding="UTF-8"?>'
          '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">']
    ct += [f'<Override PartName="{n.decode()}" ContentType="application/xml"/>' for n in names]
    ct.append("</Types>")
    return zip_of_items({"[Content_Types].xml": "".join(ct).encode()})


def zip_of_items(items):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in items.items():
            z.writestr(name, data)
    return buf.getvalue()


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    cases = []
    plain, chosen = ordinary(b"ppt/media/image_ab", count), colliding(b"ppt/media/image_ab", count)
    for central in (True, False):
        label = "zip" if central else "rebuilt"
        blobs = (zip_of(plain, central), zip_of(chosen, central))
        cases.append((label, blobs, lambda b: vantrell.Package(data=b)))

    plain, chosen = ordinary(b"rIdxxxxxab", count), colliding(b"rIdxxxxxab", count)
    blobs = (rels_deck(plain), rels_deck(chosen))
    cases.append(("rels", blobs, lambda b: vantrell.Package(data=b).rels("/ppt/a.xml")))

    plain, chosen = ordinary(b"/ppt/xx/slide___ab", count), colliding(b"/ppt/xx/slide___ab", count)
    blobs = (types_deck(plain), types_deck(chosen))
    cases.append(("types", blobs, lambda b: vantrell.Package(data=b).content_type("/x")))

    print(f"{count} names, best of {runs}, {load_average()}")
    worst = 0.0
    for label, (a, b), fn in cases:
        t_plain, t_chosen = best_of_alternating(runs, [lambda: fn(a), lambda: fn(b)])
        ratio = t_chosen / t_plain
        worst = max(worst, ratio)
        print(f"  {label:8s} ordinary {t_plain * 1000:8.1f} ms   colliding {t_chosen * 1000:9.1f} ms   "
              f"ratio {ratio:6.2f}")
    print(f"worst ratio {worst:.2f} (goal: at most {GOAL:.1f})")
    return 0 if worst <= GOAL else 1


if __name__ == "__main__":
    sys.exit(main())
