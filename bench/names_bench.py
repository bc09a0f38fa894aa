"""Name tables under the names a file can choose to pile up, against as many
ordinary names of the same length.

The tables hash names with a key drawn per process, so the names left to an
attacker are those the tables themselves fold together or compare:
  case    case variants of one word (`aB`, `Ab`, ...): distinct in the exact
          tables (ZIP entries, relationship Ids), one name repeated in the
          caseless ones (part names, content-type keys, the checker's
          relationships of each part);
  repeat  one name written again and again;
  multiply names an unkeyed "rotate, xor a word, multiply" hash would put in
          one slot (the hash the tables used to have), kept to show they
          stay ordinary.

Tables timed, each with ordinary names and with every kind of chosen name:
  zip     entry names of the central directory (`Package(data=...)`, which
          also builds the part table);
  rebuilt the same archives without their central directory, so the entries
          come from scanning local headers;
  rels    the Ids of one relationships part (`Package.rels`);
  types   the PartName keys of the content types stream;
  check   `vantrell.check` of a package whose parts all name one
          relationships part of 2,000 relationships.
Goal: chosen names within 2x of ordinary.

    python bench/names_bench.py [names] [runs]
"""
import io
import itertools
import struct
import sys
import warnings
import zipfile

import vantrell
from corpus import best_of_alternating, load_average

GOAL = 2.0
M = 0x517CC1B727220A95
MASK = (1 << 64) - 1
SLOT_BITS = 18
ALPHABET = b"abcdefghijklmnopqrstuvwxyz0123456789"
RELS_CT = "application/vnd.openxmlformats-package.relationships+xml"


def rotl5(x):
    return ((x << 5) | (x >> 59)) & MASK


def mix(h, w):
    return ((rotl5(h) ^ w) * M) & MASK


def multiply(prefix, count):
    """`count` names of `prefix` (whole words and two bytes) and six free
    letters whose unkeyed multiply hashes agree in the low SLOT_BITS bits:
    with every word but the last fixed, and the last word's low 13 bits too,
    only the top 5 bits of one product remain free."""
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
    return out


def letters_for(count):
    return max(1, (count - 1).bit_length())


def case(prefix, count):
    """`count` case variants of one word of lower-case letters after `prefix`."""
    word = b"abcdefghijklmnopqrstuvwxyz"[:letters_for(count)]
    out = []
    for bits in range(count):
        out.append(prefix + bytes(c - 32 if bits >> k & 1 else c for k, c in enumerate(word)))
    return out


def repeat(prefix, count):
    return [prefix + b"a" * letters_for(count)] * count


def ordinary(prefix, count, width):
    """`count` numbered names of `width` bytes after `prefix`."""
    return [prefix + b"%0*d" % (width, i) for i in range(count)]


def zip_of(names, central=True, extra=()):
    """Empty stored entries, then `extra` (name, bytes) pairs; without
    `central`, cut before the central directory."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        for n in names:
            z.writestr(zipfile.ZipInfo(n.decode(), date_time=(2000, 1, 1, 0, 0, 0)), b"")
        for n, data in extra:
            z.writestr(zipfile.ZipInfo(n, date_time=(2000, 1, 1, 0, 0, 0)), data, zipfile.ZIP_DEFLATED)
    data = buf.getvalue()
    if central:
        return data
    (directory,) = struct.unpack_from("<I", data, data.rfind(b"PK\x05\x06") + 16)
    return data[:directory]


def rels_part(ids, target="t.xml"):
    rels = ['<?xml version="1.0" encoding="UTF-8"?>'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">']
    rels += [f'<Relationship Id="{i}" Type="http://example.com/t" Target="{target}"/>' for i in ids]
    rels.append("</Relationships>")
    return "".join(rels).encode()


def rels_deck(ids):
    return zip_of([], extra=[("ppt/_rels/a.xml.rels", rels_part(i.decode() for i in ids))])


def types_deck(names):
    ct = ['<?xml version="1.0" encoding="UTF-8"?>'
          '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">']
    ct += [f'<Override PartName="{n.decode()}" ContentType="application/xml"/>' for n in names]
    ct.append("</Types>")
    return zip_of([], extra=[("[Content_Types].xml", "".join(ct).encode())])


def check_deck(names):
    """Parts named `names`, and the relationships part of the first of them."""
    first = names[0].decode()
    folder, _, file = first.rpartition("/")
    ct = ('<?xml version="1.0" encoding="UTF-8"?>'
          '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
          f'<Default Extension="rels" ContentType="{RELS_CT}"/>'
          '<Default Extension="xml" ContentType="application/xml"/></Types>').encode()
    rels = rels_part((f"r{i}" for i in range(2000)), target=file)
    return zip_of(names, extra=[("[Content_Types].xml", ct), (f"{folder}/_rels/{file}.rels", rels)])


def main():
    warnings.simplefilter("ignore")  # zipfile's word on every repeated name
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    width = letters_for(count)

    def kinds(prefix):
        """Ordinary names, then (kind, names) of each chosen kind, all one
        length: a whole number of words, which the multiply names need."""
        prefix += b"_" * (-(len(prefix) + width) % 8)
        plain = ordinary(prefix, count, width)
        chosen = [("case", case(prefix, count)), ("repeat", repeat(prefix, count))]
        if width >= 6:
            chosen.append(("multiply", multiply(prefix + b"a" * (width - 6), count)))
        return plain, chosen

    tables = [
        ("zip", b"ppt/media/image_", lambda names: zip_of(names), lambda b: vantrell.Package(data=b)),
        ("rebuilt", b"ppt/media/image_", lambda names: zip_of(names, central=False),
         lambda b: vantrell.Package(data=b)),
        ("rels", b"rIdxxxxx", rels_deck, lambda b: vantrell.Package(data=b).rels("/ppt/a.xml")),
        ("types", b"/ppt/xx/slide__", types_deck, lambda b: vantrell.Package(data=b).content_type("/x")),
        ("check", b"ppt/media/image_", check_deck, lambda b: vantrell.check(data=b)),
    ]
    print(f"{count} names, best of {runs}, {load_average()}")
    worst = 0.0
    for label, prefix, build, fn in tables:
        plain, chosen = kinds(prefix)
        if label == "check":
            # The checker's work per part is far above a table's: fewer parts.
            plain, chosen = plain[:count // 16], [(k, n[:count // 16]) for k, n in chosen if k == "case"]
        base = build(plain)
        blobs = [build(names) for _, names in chosen]
        times = best_of_alternating(runs, [lambda: fn(base)] + [lambda b=b: fn(b) for b in blobs])
        line = f"  {label:8s} ordinary {times[0] * 1000:9.1f} ms"
        for (kind, _), t in zip(chosen, times[1:]):
            ratio = t / times[0]
            worst = max(worst, ratio)
            line += f"   {kind} {t * 1000:9.1f} ms ({ratio:5.2f}x)"
        print(line)
    print(f"worst ratio {worst:.2f} (goal: at most {GOAL:.1f})")
    return 0 if worst <= GOAL else 1


if __name__ == "__main__":
    sys.exit(main())
