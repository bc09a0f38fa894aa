"""Writes fontTools subsets of the given fonts for the compressed-font round
trip: a few letters with accents (composites) and a wider Latin range, hinting
kept, short loca where the offsets allow it.

Usage: font_subsets.py OUTDIR FONT...; exits 77 when fontTools is missing.
"""
import logging
import os
import sys

try:
    from fontTools import subset
    from fontTools.ttLib import TTFont
except ImportError:
    sys.exit(77)

SUBSETS = {
    "accents": "Hamburgefontsiv ÀÉÎÕÜçñåøæœ ĀĕĞİĽŇŘŠŽ",
    "latin": "".join(chr(c) for c in range(0x20, 0x250)),
}


def main(argv):
    logging.getLogger("fontTools").setLevel(logging.ERROR)
    out_dir, fonts = argv[1], argv[2:]
    for path in fonts:
        stem = os.path.splitext(os.path.basename(path))[0]
        for label, text in SUBSETS.items():
            options = subset.Options()
            options.hinting = True
            options.notdef_outline = True
            options.recalc_bounds = False
            font = TTFont(path)
            subsetter = subset.Subsetter(options)
            subsetter.populate(text=text)
            subsetter.subset(font)
            font.save(os.path.join(out_dir, stem + "-" + label + ".ttf"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
