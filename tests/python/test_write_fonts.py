"""A font embedded through the theme is the one LibreOffice renders with: the
test font is renamed first, so no installed font can stand in for it, and the
PDF it exports must list that name as embedded."""
import pathlib
import shutil
import struct
import subprocess

import pytest

import vantrell.write as w

FAMILY = "Vantrell Embed Probe"
SOURCE = pathlib.Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")


def _checksum(data):
    data = data + b"\0" * (-len(data) % 4)
    return sum(struct.unpack(f">{len(data) // 4}I", data)) & 0xFFFFFFFF


def _name_table(family):
    """Windows Unicode names only: family, style, full name, unique and
    PostScript name."""
    postscript = family.replace(" ", "")
    names = [(1, family), (2, "Regular"), (3, postscript + "-1"), (4, family), (6, postscript)]
    records, storage = b"", b""
    for name_id, text in names:
        encoded = text.encode("utf-16-be")
        records += struct.pack(">6H", 3, 1, 0x409, name_id, len(encoded), len(storage))
        storage += encoded
    return struct.pack(">3H", 0, len(names), 6 + 12 * len(names)) + records + storage


def renamed_font(data, family):
    """The sfnt with its name table replaced and every checksum redone."""
    count = struct.unpack_from(">H", data, 4)[0]
    tables = {}
    for i in range(count):
        tag, _, offset, length = struct.unpack_from(">4s3I", data, 12 + 16 * i)
        tables[tag] = data[offset:offset + length]
    tables[b"name"] = _name_table(family)
    head = bytearray(tables[b"head"])
    head[8:12] = b"\0\0\0\0"
    tables[b"head"] = bytes(head)

    tags = sorted(tables)
    out = bytearray(data[:12])
    offset = 12 + 16 * len(tags)
    body = bytearray()
    for tag in tags:
        table = tables[tag]
        out += struct.pack(">4s3I", tag, _checksum(table), offset + len(body), len(table))
        body += table + b"\0" * (-len(table) % 4)
    out += body
    head_at = 12 + 16 * len(tags) + sum(len(tables[t]) + (-len(tables[t]) % 4) for t in tags[:tags.index(b"head")])
    struct.pack_into(">I", out, head_at + 8, (0xB1B0AFBA - _checksum(bytes(out))) & 0xFFFFFFFF)
    return bytes(out)


def untransformable(data):
    """The font with the contour ends of one multi-contour glyph made equal, so
    the writer embeds it as it is instead of transforming its outlines."""
    count = struct.unpack_from(">H", data, 4)[0]
    where = {}
    for i in range(count):
        tag, _, offset, length = struct.unpack_from(">4s3I", data, 12 + 16 * i)
        where[tag] = (offset, length)
    long_loca = struct.unpack_from(">h", data, where[b"head"][0] + 50)[0] == 1
    glyphs = struct.unpack_from(">H", data, where[b"maxp"][0] + 4)[0]
    loca, glyf = where[b"loca"][0], where[b"glyf"][0]
    out = bytearray(data)
    for g in range(glyphs - 1, 0, -1):
        start = struct.unpack_from(">I", data, loca + 4 * g)[0] if long_loca else 2 * struct.unpack_from(">H", data, loca + 2 * g)[0]
        if struct.unpack_from(">h", data, glyf + start)[0] >= 2:
            out[glyf + start + 12:glyf + start + 14] = out[glyf + start + 10:glyf + start + 12]
            return bytes(out)
    raise AssertionError("no glyph with two contours")


def convert(soffice, pdffonts, deck, folder):
    source = folder / "fonts.pptx"
    deck.save(source)
    run = subprocess.run([soffice, f"-env:UserInstallation=file://{folder}/profile", "--headless",
                          "--convert-to", "pdf", "--outdir", str(folder), str(source)],
                         capture_output=True, timeout=180)
    pdf = folder / "fonts.pdf"
    assert run.returncode == 0 and pdf.exists(), run.stderr
    return subprocess.run([pdffonts, str(pdf)], capture_output=True, text=True, timeout=60).stdout


def embedded_probe(listing):
    """Whether the PDF lists the probe family, and all its entries embedded."""
    lines = listing.splitlines()
    emb = lines[0].index("emb")
    ours = [line for line in lines[2:] if FAMILY.replace(" ", "") in line.split()[0]]
    return bool(ours) and all(line[emb:emb + 3] == "yes" for line in ours)


def deck_with(font):
    theme = w.Theme(major_font=FAMILY, minor_font=FAMILY).embed_font(font)
    return w.Presentation(title="Fonts", theme=theme).add(
        w.Slide("Embedded type").bullet("Ça, éà, ğüş: composites and plain glyphs"))


def test_renamed_font_keeps_its_checksums():
    if not SOURCE.exists():
        pytest.skip("fonts-dejavu-core not installed")
    font = renamed_font(SOURCE.read_bytes(), FAMILY)
    assert _checksum(font) == 0xB1B0AFBA
    assert _name_table(FAMILY) in font


def test_libreoffice_renders_with_the_embedded_font(tmp_path):
    if not hasattr(w.Theme, "embed_font"):
        pytest.skip("Theme.embed_font not built")
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    pdffonts = shutil.which("pdffonts")
    if not soffice or not pdffonts:
        pytest.skip("LibreOffice or pdffonts not installed")
    if not SOURCE.exists():
        pytest.skip("fonts-dejavu-core not installed")

    font = renamed_font(SOURCE.read_bytes(), FAMILY)
    # Control: the same font stored uncompressed. Releases of LibreOffice that
    # ignore the embedded fonts of a presentation fail it too.
    (tmp_path / "raw").mkdir()
    if not embedded_probe(convert(soffice, pdffonts, deck_with(untransformable(font)), tmp_path / "raw")):
        pytest.skip("this LibreOffice does not use fonts embedded in presentations")
    (tmp_path / "packed").mkdir()
    listing = convert(soffice, pdffonts, deck_with(font), tmp_path / "packed")
    assert embedded_probe(listing), listing
