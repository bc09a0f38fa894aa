"""Checks decks written by the C++ writer with readers of other authors.

Usage: check_written_samples.py DIR, where DIR holds the decks that
`test_write --gtest_filter=*SamplesForOtherReaders*` writes when
VANTRELL_WRITE_SAMPLES=DIR. Each deck must pass zipfile.testzip(), parse
with python-pptx (when installed) with the expected slide count and titles,
and convert to a PDF of the expected page count with LibreOffice (when
installed). Readers that are absent are reported and skipped.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

EXPECTED = {  # deck: titles of its slides
    "empty": [],
    "solid": ["Solid"],
    "gradient": ["Gradient"],
    # The second slide is hidden, so LibreOffice leaves it out of the PDF.
    # A control character reaches the XML as the _xHHHH_ form, which
    # python-pptx leaves as it is.
    "rich": ["Intro _x0001_ & more", "Body", None],
}

HIDDEN = {"rich": 1}


def pdf_pages(path):
    with open(path, "rb") as f:
        return len(re.findall(rb"/Type\s*/Page(?![a-zA-Z])", f.read()))


def main(folder):
    failed = set()
    try:
        import pptx
    except ImportError:
        pptx = None
        print("python-pptx not installed: skipped")
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        print("LibreOffice not installed: skipped")
    for name, titles in EXPECTED.items():
        path = os.path.join(folder, name + ".pptx")
        with zipfile.ZipFile(path) as z:
            if z.testzip() is not None:
                print(f"{name}: bad entry"); failed.add(name)
        if pptx:
            deck = pptx.Presentation(path)
            got = [s.shapes.title.text if s.shapes.title is not None else None for s in deck.slides]
            if got != titles:
                print(f"{name}: python-pptx titles {got!r}, wanted {titles!r}"); failed.add(name)
        if soffice:
            with tempfile.TemporaryDirectory() as out:
                subprocess.run([soffice, "--headless", "--convert-to", "pdf", "--outdir", out, path],
                               check=True, capture_output=True, timeout=180)
                pdf = os.path.join(out, name + ".pdf")
                pages = pdf_pages(pdf) if os.path.exists(pdf) else -1
                # LibreOffice renders an empty deck as one blank page.
                want = max(len(titles) - HIDDEN.get(name, 0), 1)
                if pages != want:
                    print(f"{name}: LibreOffice made {pages} pages, wanted {want}"); failed.add(name)
    print(f"{len(EXPECTED) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
