"""Decks that repeat content, and what rendering costs ordinary decks.

1. Small files that repeat content: a 512 KiB slide the slide list names
   2,000 times; a notes page and a chart named by 1,000 slides; a 512 KiB
   notes page named by 1,000 slides; a diagram of 20,000 one-character
   items 255 levels deep named by 100 slides; a legacy slide record listed
   1,000 times; a legacy notes record shared by 100 slides (24 KiB of
   UTF-16 text each); a legacy deck of 700 slides whose master footer holds
   280 footer fields, under a 1,024-character deck footer (once of letters,
   once of '*', which Markdown escapes); a legacy deck of 10,000 slides
   whose master date, footer and slide-number placeholders hold about 4 KiB
   each; a layout of 32,000 placeholders under a slide of as many
   paragraphs inheriting their bullets through it. For each, in a child
   process: `text_reporting` and `markdown` (with notes or furniture
   where the deck has them), each pass's output in UTF-8 bytes against
   its bound, its wall time and what its report left out, and the child's
   peak resident size. The bound is the allowance for repeats (16 MiB, or
   the file's size when larger) plus the distinct content: the same pass
   over the first slide alone, and 64 bytes a slide for its heading and
   separators. Goal: every pass within its bound and 1.5 s.
2. Routes by which a few stored bytes would come out many times, each at
   two sizes, in a child process under a 4 GiB address-space limit: a
   merged cell's 256 KiB text on 400 or 1,600 rows; one row of 100,000
   cells and 400 or 1,500 empty rows; a chart of one series of 3,000 or
   12,000 points and as many empty series; 2 or 8 charts of 4 empty
   caches saying 2^20 points (`markdown()` and `charts()`); one 256 KiB
   hyperlink target at 400 or 1,600 links, and a linked picture's at as
   many pictures; one 256 KiB author's name at 400 or 1,600 comments; 400
   or 1,600 chart frames naming one missing part of a 256 KiB name;
   20,000 or 80,000 frames of distinct unknown types; a 1 MiB slide
   picked 100 or 400 times; a legacy outline text of 256 KiB that 400 or
   1,600 shapes of its slide refer to; a legacy master footer of 280
   fields of a 1,024-character footer on 200 or 800 slides (`slides()`
   and every slide's `shapes()`, the bytes of their texts). Then routes
   by which a small file made a call slow or hold a value many times:
   20,000 or 80,000 linked runs beside a quarter as many namespace
   prefixes; an mc:Choice requiring one prefix 50,000 or 200,000 times
   beside a tenth as many; 2^12 or 2^14 graphic frames whose URIs share
   one standard-library hash; a slide in a folder of a 60,000-byte name
   whose 2,000 or 8,000 chart frames (`extract()`, `markdown()`) or
   pictures (`images()`) each name a missing part through a short target,
   and whose pictures as many name one part (`images()`); a list style's
   2 MiB numbering scheme inherited by 16,000 or 64,000 paragraphs; a
   chart's number format of 2 MiB of spaces over 4,000 or 16,000 points;
   an author's name in 4 MiB of spaces at 1,000 or 4,000 comments; one
   link target in 2 MiB of spaces at as many runs; 1,000 or 4,000
   pictures naming one 1 MiB internal target, chart frames naming one
   missing part of a 1 MiB name, and chart frames naming one chart by a
   1 MiB target that winds through folders (`charts()`, `markdown()`); a
   slide of a 60,000-byte name listed 20,000 or 80,000 times (opening,
   `check_report()`); and a legacy OLE object's 256 KiB
   program id at 400 or 1,600 frames (`embedded_objects()`). For each
   call: what it returns (text, warnings and the distinct failure
   messages, the chart lists' entries, or the bytes the distinct strs of
   its objects hold), its wall time and the child's peak resident size.
   Run it once with the build to compare (PYTHONPATH, or that build's
   Python) and once with this one; `--routes WORDS` runs the routes whose
   label holds WORDS.
3. Ordinary decks, opened afresh for every pass: the generated 200-slide
   deck of the text bench and the corpus, `markdown()` and
   `text(notes=True, comments=True)` with threads=1.
4. The checker on decks that make many findings: one long stored value
   quoted in every finding (a content type of 256 KiB or 1 MiB for a slide
   the slide list names 1,000 times, a finding per listing), and 200 or 800
   slides of 5,000 shapes sharing one id (a finding per shape, far past the
   cap). In a child process: `check_report()` with the default cap, the
   bytes of its findings' messages and parts, whether it says it was
   truncated, and the child's peak resident size.
5. The object API: one slide whose comments name one author of a 256 KiB
   name, whose pictures and embedded objects are parts of one extension
   of a 256 KiB Default content type, and whose linked pictures and
   objects name one relationship of a 256 KiB target, 400 and 1,600 of
   each; `Package.parts()` over its pictures; a part of a 60,000-character
   name derivable from 400 and 1,600 others. For each route, in a child
   process: how many objects, what they show (the sum of the value's length
   over them), what they hold (over distinct str objects), the child's
   peak resident size and what the call and its result added to it.
   Goal: what they hold, and the peak, independent of the count.
   `--objects` runs only this.
6. `--render-corpus [folder] [rounds]`: opens every deck of the folder and
   renders it with `markdown()`, threads=1, `rounds` times (default 10),
   and prints nothing: the command to time as a whole process against
   another build.
7. `--corpus-ratio [folder]`: for every deck of the folder, each pass's
   output against what bounds it: OUTPUT_FACTOR times the bytes of the
   parts it can read (slide parts, their relationships, charts, diagram
   data, notes and comments; for a legacy deck the file) plus the
   allowance; prints the largest ratios, and the largest ratio of output
   to those bytes alone.

    python bench/amplify_bench.py [corpus folder]
    python bench/amplify_bench.py --routes
    python bench/amplify_bench.py --objects
    python bench/amplify_bench.py --render-corpus [corpus folder] [rounds]
    python bench/amplify_bench.py --corpus-ratio [corpus folder]
"""
import json
import os
import struct
import subprocess
import sys
import tempfile

import vantrell

from corpus import CORPUS, ROOT, best_of, corpus_arg, render_corpus

MiB = 1 << 20
ALLOWANCE = 16 * MiB
PER_SLIDE = 64


if __name__ == "__main__" and sys.argv[1:2] == ["--render-corpus"]:
    render_corpus(sys.argv[2] if len(sys.argv) > 2 else CORPUS, int(sys.argv[3]) if len(sys.argv) > 3 else 10)
    sys.exit(0)

FACTOR = 4  # the reader's OUTPUT_FACTOR
READ_KINDS = ("/slide", "/chart", "/diagram", "/notesSlide", "/comment")


def read_nbytes(doc, data):
    """The bytes a pass over every slide can read: the parts of the kinds it
    renders and their relationships (uncompressed); a legacy deck's file."""
    try:
        package = doc.package()
    except vantrell.PptxError:  # a legacy deck
        return len(data)
    return sum(p.size for p in package.parts()
               if any(k in p.name for k in READ_KINDS) and "Layout" not in p.name and "Master" not in p.name)


def corpus_ratio(folder):
    worst, worst_read = [], []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        try:
            d = vantrell.Document(path, threads=1)
        except vantrell.PptxError:
            continue
        data = open(path, "rb").read()
        read = read_nbytes(d, data)
        bound = FACTOR * read + max(ALLOWANCE, len(data))
        for call, out in (("text", d.text(notes=True, comments=True)),
                          ("markdown", d.markdown(notes=True, comments=True))):
            nbytes = len(out.encode())
            worst.append((nbytes / bound, name, call, nbytes))
            worst_read.append((nbytes / max(read, 1), name, call, nbytes))
    for label, rows in (("output / bound", worst), ("output / bytes read", worst_read)):
        print(label)
        for ratio, name, call, nbytes in sorted(rows, reverse=True)[:5]:
            print(f"  {ratio:8.4f}  {call:>8}  {nbytes / 1024:9.1f} KiB  {name}")


if __name__ == "__main__" and sys.argv[1:2] == ["--corpus-ratio"]:
    corpus_ratio(sys.argv[2] if len(sys.argv) > 2 else CORPUS)
    sys.exit(0)

sys.path.insert(0, str(ROOT / "tests" / "python"))
import deckkit  # noqa: E402
import slidedeck as sd  # noqa: E402  (fixture builders shared with the tests)
from test_amplification import (BIG, CHART, DIAGRAM, HF_DATE, HF_FOOTER, HF_NUMBER, HF_USER_DATE,  # noqa: E402
                                NOTES, PARTS, SHOWN_ONCE, authored_comments, big_slide, chart_of, charts_on_slide,
                                footer_at_fields, furniture_deck, legacy_deck, linked_pictures, linked_runs,
                                merged_rows, missing_in_long_folder, missing_target, one_part_named_often,
                                placeholder_shape, short_rows, shown_often, unknown_types, legacy_program_id)
from text_bench import generated_deck  # noqa: E402

CHILD = r"""
import json, resource, sys, time
import vantrell
path, text_options, md_options = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3])
d = vantrell.Document(path)
out = {"slides": len(d), "passes": []}
for name, run, first in [
        ("text_reporting", lambda: d.text_reporting(**text_options),
         lambda: d.extract(indexes=[0], **text_options)[0]),
        ("markdown", lambda: (d.markdown(**md_options), []), lambda: d.markdown(indexes=[0], **md_options))]:
    t0 = time.perf_counter()
    text, warnings = run()
    wall = time.perf_counter() - t0
    out["passes"].append({"name": name, "nbytes": len(text.encode()), "first": len(first().encode()),
                          "wall": wall, "warnings": warnings})
out["rss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps(out))
"""


def big_slide_listed(times=2000):
    line = sd.para("lorem ipsum dolor sit amet " * 38)
    slide = sd.Slide(sd.sp(2, "Body", *[line] * 512))
    ids = "".join(f'<p:sldId id="{256 + k}" r:id="rIdX{k}"/>' for k in range(times))
    return sd.make([slide], sld_ids=ids, pres_rels=[(f"rIdX{k}", "slide", "slides/slide1.xml") for k in range(times)])


def shared_by_slides(count=1000):
    big = dict(PARTS)
    big["ppt/notesSlides/notesSlide1.xml"] = sd.notes_part("\n".join(["speak slowly " * 40] * 1000))
    big["ppt/charts/chart1.xml"] = sd.chart_part("Revenue", (("East", [f"Q{k}" for k in range(5000)],
                                                              [str(k) for k in range(5000)]),))
    slide = sd.Slide(sd.chart_frame(5, "Chart", "rIdC"), rels=[NOTES, CHART], parts=big)
    return sd.make([slide] * count)


def notes_named_by_slides(count=1000):
    notes = {"ppt/notesSlides/notesSlide1.xml": sd.notes_part("\n".join(["speak slowly " * 40] * 1008))}
    return sd.make([sd.Slide(rels=[NOTES], parts=notes)] * count)


def deep_diagram(count=100):
    # A 255-deep outline with 20,000 one-character items at its foot: as a
    # Markdown list, some 10 MB of indents around 40 KB of text.
    items = [(f"n{k}", "x", f"n{k - 1}" if k else None) for k in range(255)]
    items += [(f"i{k}", "y", "n254") for k in range(20000)]
    part = {"ppt/diagrams/data1.xml": sd.diagram_data_part(items)}
    return sd.make([sd.Slide(sd.diagram_frame(5, "Smart", "rIdD"), rels=[DIAGRAM], parts=part)] * count)


def master_placeholders(count=10000):
    # About 4 KiB of UTF-16 text in each: what a master's furniture may hold.
    text = "\u4e2d" * 1900
    shapes = [placeholder_shape(3, 0x07, text), placeholder_shape(4, 0x09, text), placeholder_shape(5, 0x08, text)]
    return furniture_deck(count, shapes, HF_DATE | HF_USER_DATE | HF_NUMBER | HF_FOOTER, footer="f", date="d")


def layout_placeholders(count=32000):
    # A layout of `count` body placeholders and a slide of as many subtitle
    # paragraphs that match none of them by idx or type: each inherits its
    # bullet through the layout and master.
    layout = (sd.DECL + f'<p:sldLayout {sd.NS}><p:cSld><p:spTree>{sd.GROUP_HEAD}'
              + "".join(sd.sp(10 + k, "P", sd.para("x"), ph=f'type="body" idx="{k + 1}"') for k in range(count))
              + '</p:spTree></p:cSld></p:sldLayout>').encode()
    slide = sd.Slide("".join(sd.sp(10 + k, "S", sd.para("y"), ph=f'type="subTitle" idx="{count + 10 + k}"')
                             for k in range(count)))
    return sd.make([slide], extra={"ppt/slideLayouts/slideLayout1.xml": layout})


NOTES_ON = ({"notes": True}, {"notes": True})
FURNITURE_ON = ({"furniture": True}, {"furniture": True})
DECKS = [
    ("512 KiB slide listed 2,000 times", big_slide_listed, ({}, {})),
    ("notes and chart named by 1,000 slides", shared_by_slides, NOTES_ON),
    ("512 KiB notes part named by 1,000 slides", notes_named_by_slides, NOTES_ON),
    ("4 MB diagram 255 deep named by 100 slides", deep_diagram, ({}, {})),
    # The test builder writes streams of some 60 KB at most.
    ("legacy 24 KiB slide record listed 1,000 times",
     lambda: legacy_deck([0] * 1000, [0], slide_more=" words" * 2048), ({}, {})),
    ("legacy 24 KiB notes record shared by 100 slides",
     lambda: legacy_deck(range(100), [1] * 100, notes_more=" words" * 2048), NOTES_ON),
    ("legacy 1,024-character footer at 280 fields, 700 slides", footer_at_fields, FURNITURE_ON),
    ("the same with a footer of 1,024 '*', escaped in Markdown", lambda: footer_at_fields(footer="*" * 1024),
     FURNITURE_ON),
    ("legacy master placeholders of ~4 KiB, 10,000 slides", master_placeholders, FURNITURE_ON),
    ("a layout of 32,000 placeholders, a slide of 32,000 paragraphs", layout_placeholders, ({}, {})),
]


def amplification():
    print("decks that repeat content (child process each)")
    with tempfile.TemporaryDirectory() as tmp:
        for label, build, (text_options, md_options) in DECKS:
            path = os.path.join(tmp, "deck")
            data = build()
            with open(path, "wb") as f:
                f.write(data)
            out = subprocess.run([sys.executable, "-c", CHILD, path, json.dumps(text_options), json.dumps(md_options)],
                                 capture_output=True, text=True, timeout=600)
            if out.returncode != 0:
                print(f"  {label}: failed: {out.stderr.strip().splitlines()[-1:]}")
                continue
            r = json.loads(out.stdout)
            print(f"  {label}: file {len(data) / 1024:.0f} KiB, {r['slides']} slides, peak {r['rss'] / MiB:.0f} MiB")
            allowance = max(ALLOWANCE, len(data))
            for p in r["passes"]:
                bound = allowance + p["first"] + PER_SLIDE * r["slides"]
                verdict = "within" if p["nbytes"] <= bound and p["wall"] <= 1.5 else "OVER"
                print(f"    {p['name']:>14}: {p['nbytes'] / MiB:8.2f} MiB of {bound / MiB:7.2f} MiB bound, "
                      f"{p['wall'] * 1e3:7.1f} ms, {verdict}" + "".join(f"; {w}" for w in p["warnings"]))


def prefixes_and_links(prefixes, runs):
    # p, a and r declared first, then many more: each prefixed name was
    # looked up past all of them.
    junk = "".join(f' xmlns:j{k}="urn:j{k}"' for k in range(prefixes))
    link = '<a:r><a:rPr><a:hlinkClick r:id="rIdH"/></a:rPr><a:t>x</a:t></a:r>'
    tree = sd.GROUP_HEAD + sd.sp(5, "Body", f"<a:p>{link * runs}</a:p>")
    xml = (sd.DECL + f"<p:sld {sd.NS}{junk}><p:cSld><p:spTree>{tree}</p:spTree></p:cSld></p:sld>").encode()
    return sd.make([sd.Slide(xml=xml, rels=[("rIdH", "hyperlink", "http://x/", "External")])])


def required_prefixes(prefixes, times):
    junk = "".join(f' xmlns:j{k}="urn:j{k}"' for k in range(prefixes))
    choice = (f'<mc:AlternateContent xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006">'
              f'<mc:Choice Requires="{" ".join(["p"] * times)}">{sd.sp(5, "B", sd.para("x"))}</mc:Choice>'
              '</mc:AlternateContent>')
    xml = (sd.DECL + f"<p:sld {sd.NS}{junk}><p:cSld><p:spTree>{sd.GROUP_HEAD}{choice}</p:spTree></p:cSld>"
           "</p:sld>").encode()
    return sd.make([sd.Slide(xml=xml)])


def one_hash_uris(bits):
    """2^bits frames whose URIs share one libstdc++ std::hash: pairs of
    8-byte blocks whose mixed words differ in the top bit alone, which the
    next block's multiply carries and its xor cancels, whatever the seed.
    Each block is valid UTF-8 of XML characters; the URIs are written with
    character references."""
    import random
    mul, mask = (0xC6A4A793 << 32) + 0x5BD1E995, (1 << 64) - 1
    inverse = pow(mul, -1, 1 << 64)

    def mix(w, m):
        v = (w * m) & mask
        return ((v ^ (v >> 47)) * m) & mask

    def text(b):
        try:
            t = b.decode("utf-8")
        except UnicodeDecodeError:
            return None
        return None if any(ord(c) < 0x20 or ord(c) >= 0xFFFE for c in t) else t

    def pair(rng):
        while True:
            b = rng.randbytes(8)
            other = mix(mix(int.from_bytes(b, "little"), mul) ^ (1 << 63), inverse).to_bytes(8, "little")
            if text(b) is not None and text(other) is not None:
                return text(b), text(other)

    rng = random.Random(1)
    blocks = [(pair(rng), pair(rng)) for _ in range(bits)]
    uris = ["".join(b2 + c2 if k >> i & 1 else b + c for i, ((b, b2), (c, c2)) in enumerate(blocks))
            for k in range(1 << bits)]
    refs = ["".join(f"&#x{ord(c):X};" for c in u) for u in uris]
    return sd.make([sd.Slide("".join(sd.frame(10 + k, "F", u, "") for k, u in enumerate(refs)))])


def body_of(paras, style=""):
    return (f'<p:sp><p:nvSpPr><p:cNvPr id="5" name="B"/><p:cNvSpPr/><p:nvPr/></p:nvSpPr><p:spPr/>'
            f'<p:txBody><a:bodyPr/>{style}{paras}</p:txBody></p:sp>')


def numbered_paragraphs(count, length=2 * MiB):
    style = f'<a:lstStyle><a:lvl1pPr><a:buAutoNum type="{"s" * length}"/></a:lvl1pPr></a:lstStyle>'
    return sd.make([sd.Slide(body_of("".join(f"<a:p><a:r><a:t>x{k}</a:t></a:r></a:p>" for k in range(count)),
                                     style))])


def spaced_format(count, length=2 * MiB):
    pts = "".join(f'<c:pt idx="{i}"><c:v>{i}</c:v></c:pt>' for i in range(count))
    ser = (f'<c:ser><c:val><c:numRef><c:numCache><c:formatCode>{" " * length}0</c:formatCode>'
           f'<c:ptCount val="{count}"/>{pts}</c:numCache></c:numRef></c:val></c:ser>')
    part = (sd.DECL + f'<c:chartSpace xmlns:c="{sd.C}"><c:chart><c:plotArea><c:barChart>{ser}'
            '</c:barChart></c:plotArea></c:chart></c:chartSpace>').encode()
    return charts_on_slide([part])


def spaced_author(count, length=2 * MiB):
    cms = "".join(f'<p:cm authorId="0" idx="{k}"><p:text>s</p:text></p:cm>' for k in range(count))
    name = " " * length + "x" + " " * length
    authors = (sd.DECL + f'<p:cmAuthorLst {sd.NS}><p:cmAuthor id="0" name="{name}" initials="A" lastIdx="1" '
               'clrIdx="0"/></p:cmAuthorLst>').encode()
    comments = (sd.DECL + f"<p:cmLst {sd.NS}>{cms}</p:cmLst>").encode()
    return sd.make([sd.Slide(rels=[("rIdM", "comments", "../comments/comment1.xml")],
                             parts={"ppt/comments/comment1.xml": comments})],
                   pres_rels=[("rIdA", "commentAuthors", "commentAuthors.xml")],
                   extra={"ppt/commentAuthors.xml": authors})


def spaced_link(count, length=MiB):
    target = " " * length + "http://x/" + " " * length
    runs = ('<a:r><a:rPr><a:hlinkClick r:id="rIdH"/></a:rPr><a:t>x</a:t></a:r>' + sd.run(" ")) * count
    return sd.make([sd.Slide(sd.sp(5, "Body", f"<a:p>{runs}</a:p>"), rels=[("rIdH", "hyperlink", target, "External")])])


def long_internal_target(count, length=MiB):
    return sd.make([sd.Slide("".join(sd.pic(10 + k, "P", embed="rIdP") for k in range(count)),
                             rels=[("rIdP", "image", "x" * length + ".png")])])


def winding_target(count, hops=200000):
    target = "../" + "a/../" * hops + "charts/chart1.xml"
    return sd.make([sd.Slide("".join(sd.chart_frame(10 + k, "C", "rIdC") for k in range(count)),
                             rels=[("rIdC", "chart", target)], parts={"ppt/charts/chart1.xml": sd.chart_part()})])


def listed_long_name(times, length=60000):
    d = deckkit.parts()
    name = "slides/" + "s" * length + ".xml"
    d["ppt/" + name] = d.pop("ppt/slides/slide1.xml")
    d["ppt/slides/_rels/" + name[7:] + ".rels"] = d.pop("ppt/slides/_rels/slide1.xml.rels")
    d["ppt/_rels/presentation.xml.rels"] = d["ppt/_rels/presentation.xml.rels"].replace(b"slides/slide1.xml",
                                                                                       name.encode())
    ids = "".join(f'<p:sldId id="{256 + k}" r:id="rId2"/>' for k in range(times))
    d["ppt/presentation.xml"] = d["ppt/presentation.xml"].replace(b'<p:sldId id="256" r:id="rId2"/>', ids.encode())
    return deckkit.build(d)


ROUTE_CHILD = r"""
import json, resource, sys, time
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
import vantrell
path, call = sys.argv[1], sys.argv[2]
d = vantrell.Document(path)
picks = [0] * int(sys.argv[3])


def extracted(**options):
    text, report = d.extract(**options)
    messages = {id(m): len(m.encode()) for _, m in report.failed_slides + report.failed_frames + report.failed_comments}
    return len(text.encode()) + sum(len(w.encode()) for w in report.warnings) + sum(messages.values())


def held(values):
    values = [v for v in values if v is not None]  # alive together, so that ids tell them apart
    return sum({id(v): len(v.encode()) for v in values}.values())


CALLS = {
    "markdown": lambda: len(d.markdown(comments=True, indexes=picks or None).encode()),
    "extract": lambda: extracted(comments=True, indexes=picks or None),
    "charts": lambda: sum(len(s.categories) + len(s.values) for c in d[0].charts() for s in c.series),
    "slides": lambda: sum(len((s.text or "").encode()) for slide in d.slides() for s in slide.shapes()),
    "images": lambda: held(i.part for i in d[0].images()),
    "objects": lambda: held(v for o in d[0].embedded_objects() for v in (o.prog_id, o.part)),
    "open": lambda: len(vantrell.Document(path)) * 0,
    "check": lambda: len(vantrell.check_report(path).findings) * 0,
}
t0 = time.perf_counter()
try:
    out = CALLS[call]()
except MemoryError:
    out = "MemoryError"
wall = time.perf_counter() - t0


def peak():
    # This process's own peak: ru_maxrss would count the parent's resident
    # size at the fork, which exec keeps.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


print(json.dumps({"out": out, "wall": wall, "rss": peak()}))
"""

# (label, deck of a size, the two sizes, calls)
ROUTES = [
    ("merged cell's 256 KiB text, rows", merged_rows, (400, 1600), ("markdown",)),
    ("row of 100,000 cells, empty rows", lambda n: short_rows(100000, n), (400, 1500), ("markdown",)),
    ("one series of N points, N empty series", lambda n: charts_on_slide([chart_of([range(n)] + [[]] * n)]),
     (3000, 12000), ("markdown",)),
    ("charts of 4 caches saying 2^20 points", lambda n: charts_on_slide([chart_of([[], []], count=1 << 20)] * n),
     (2, 8), ("markdown", "charts")),
    ("256 KiB hyperlink target, links", linked_runs, (400, 1600), ("markdown",)),
    ("256 KiB linked picture target, pictures", linked_pictures, (400, 1600), ("markdown",)),
    ("256 KiB author's name, comments", authored_comments, (400, 1600), ("markdown", "extract")),
    ("frames naming one missing 256 KiB name", lambda n: missing_target(frames=n, name="m" * BIG), (400, 1600),
     ("extract", "markdown")),
    ("frames of distinct unknown types", unknown_types, (20000, 80000), ("extract",)),
    ("legacy 256 KiB outline text, shapes", lambda n: legacy_deck([0], [0], outline="x" * (128 << 10), refs=n),
     (400, 1600), ("markdown", "extract")),
    ("legacy footer of 280 fields, slides", lambda n: footer_at_fields(count=n), (200, 800), ("slides",)),
    ("linked runs, a quarter as many namespace prefixes", lambda n: prefixes_and_links(n // 4, n), (20000, 80000),
     ("markdown",)),
    ("mc:Choice requiring a prefix N times, a tenth as many declared", lambda n: required_prefixes(n // 10, n),
     (50000, 200000), ("markdown",)),
    ("graphic URIs of one standard-library hash, 2^N frames", one_hash_uris, (12, 14), ("extract",)),
    ("missing charts in a 60,000-byte folder, frames",
     lambda n: missing_in_long_folder(lambda sid, rid: sd.chart_frame(sid, "C", rid), "chart", "xml", n),
     (2000, 8000), ("extract", "markdown")),
    ("missing pictures in a 60,000-byte folder, pictures",
     lambda n: missing_in_long_folder(lambda sid, rid: sd.pic(sid, "P", embed=rid), "image", "png", n),
     (2000, 8000), ("images",)),
    ("one part of a 60,000-byte folder, pictures", one_part_named_often, (2000, 8000), ("images",)),
    ("2 MiB numbering scheme, paragraphs", numbered_paragraphs, (16000, 64000), ("markdown",)),
    ("number format of 2 MiB of spaces, points", spaced_format, (4000, 16000), ("markdown", "extract")),
    ("author's name in 4 MiB of spaces, comments", spaced_author, (1000, 4000), ("markdown", "extract")),
    ("link target in 2 MiB of spaces, runs", spaced_link, (1000, 4000), ("markdown",)),
    ("one 1 MiB internal picture target, pictures", long_internal_target, (1000, 4000), ("markdown",)),
    ("one missing part of a 1 MiB name, frames", lambda n: missing_target(frames=n, name="m" * MiB), (1000, 4000),
     ("markdown", "extract")),
    ("one chart by a winding 1 MiB target, frames", winding_target, (1000, 4000), ("charts", "markdown")),
    ("slide of a 60,000-byte name, listings", listed_long_name, (20000, 80000), ("open", "check")),
    ("legacy 256 KiB program id, OLE frames", legacy_program_id, (400, 1600), ("objects",)),
]
PICKED = ("1 MiB slide picked N times", big_slide, (100, 400), ("markdown", "extract"))


def routes(words=""):
    print("routes (child process each, 4 GiB address-space limit)")
    with tempfile.TemporaryDirectory() as tmp:
        for label, build, sizes, calls in ROUTES + [PICKED]:
            if words not in label:
                continue
            for n in sizes:
                path = os.path.join(tmp, "deck")
                data = build() if build is big_slide else build(n)
                with open(path, "wb") as f:
                    f.write(data)
                for call in calls:
                    picks = str(n) if build is big_slide else "0"
                    r = subprocess.run([sys.executable, "-c", ROUTE_CHILD, path, call, picks], capture_output=True,
                                       text=True, timeout=900)
                    if r.returncode != 0:
                        print(f"  {label} {n:>6}: {call}: failed: {r.stderr.strip().splitlines()[-1:]}")
                        continue
                    got = json.loads(r.stdout)
                    out = got["out"]
                    shown = out if isinstance(out, str) else (f"{out / MiB:9.2f} MiB" if call != "charts"
                                                              else f"{out:9d} entries")
                    if call in ("open", "check"):
                        shown = "done"
                    print(f"  {label} {n:>6}: {len(data) / 1024:6.0f} KiB deck, {call:>8}: {shown}, "
                          f"{got['wall'] * 1e3:8.1f} ms, peak {got['rss'] / MiB:6.0f} MiB")


if __name__ == "__main__" and sys.argv[1:2] == ["--routes"]:
    routes(" ".join(sys.argv[2:]))
    sys.exit(0)


CHECK_CHILD = r"""
import json, resource, sys
import vantrell
r = vantrell.check_report(sys.argv[1])
nbytes = sum(len(f.message.encode()) + len((f.part or "").encode()) for f in r.findings)
print(json.dumps({"findings": len(r.findings), "nbytes": nbytes, "truncated": r.truncated,
                  "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def long_type_listed(type_nbytes, listings=1000):
    d = deckkit.parts()
    slide_type = "application/x-" + "t" * type_nbytes
    d["[Content_Types].xml"] = deckkit.content_types(
        None, [o for o in deckkit.OVERRIDES if o[0] != "/ppt/slides/slide1.xml"] + [("/ppt/slides/slide1.xml",
                                                                                      slide_type)])
    ids = "".join(f'<p:sldId id="{256 + k}" r:id="rId2"/>' for k in range(listings))
    d["ppt/presentation.xml"] = d["ppt/presentation.xml"].replace(b'<p:sldId id="256" r:id="rId2"/>', ids.encode())
    return deckkit.build(d)


def repeated_ids(slides, shapes=5000):
    d = deckkit.parts()
    shape = '<p:sp><p:nvSpPr><p:cNvPr id="9" name="s"/><p:cNvSpPr/><p:nvPr/></p:nvSpPr></p:sp>'
    body = (deckkit.DECL + f'<p:sld {deckkit.NS}><p:cSld><p:spTree>{shape * shapes}</p:spTree></p:cSld>'
            '</p:sld>').encode()
    overrides = list(deckkit.OVERRIDES)
    for i in range(1, slides + 1):
        d[f"ppt/slides/slide{i}.xml"] = body
        d[f"ppt/slides/_rels/slide{i}.xml.rels"] = d["ppt/slides/_rels/slide1.xml.rels"]
        if i > 1:
            overrides.append((f"/ppt/slides/slide{i}.xml", deckkit.PML_CT + "slide+xml"))
    d["[Content_Types].xml"] = deckkit.content_types(None, overrides)
    return deckkit.build(d)


CHECK_DECKS = [
    ("256 KiB content type, slide listed 1,000 times", lambda: long_type_listed(256 << 10)),
    ("1 MiB content type, slide listed 1,000 times", lambda: long_type_listed(MiB)),
    ("200 slides of 5,000 shapes sharing one id", lambda: repeated_ids(200)),
    ("800 slides of 5,000 shapes sharing one id", lambda: repeated_ids(800)),
]


def checker():
    print("checker on decks that make many findings (child process each)")
    with tempfile.TemporaryDirectory() as tmp:
        for label, build in CHECK_DECKS:
            path = os.path.join(tmp, "deck")
            data = build()
            with open(path, "wb") as f:
                f.write(data)
            out = subprocess.run([sys.executable, "-c", CHECK_CHILD, path], capture_output=True, text=True,
                                 timeout=600)
            if out.returncode != 0:
                print(f"  {label}: failed: {out.stderr.strip().splitlines()[-1:]}")
                continue
            r = json.loads(out.stdout)
            print(f"  {label}: file {len(data) / 1024:.1f} KiB, {r['findings']} findings of "
                  f"{r['nbytes'] / 1024:.0f} KiB, truncated {r['truncated']}, peak {r['rss'] / MiB:.0f} MiB")


OBJECTS_CHILD = r"""
import json, resource, sys
import vantrell
d = vantrell.Document(sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
shown = eval(sys.argv[2])
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
held = {id(s): len(s) for s in shown}
print(json.dumps([len(shown), sum(map(len, shown)), sum(held.values()), peak, peak - before * 1024]))
"""


def object_api():
    print("the object API: values stored once, shown by many objects (child process each)")
    with tempfile.TemporaryDirectory() as tmp:
        for count in (400, 1600):
            print(f"  {count} of each")
            for label, (probe, _, *build) in SHOWN_ONCE.items():
                path = os.path.join(tmp, "deck")
                data = (build or [shown_often])[0](count, 256 << 10)
                with open(path, "wb") as f:
                    f.write(data)
                out = subprocess.run([sys.executable, "-c", OBJECTS_CHILD, path, probe], capture_output=True,
                                     text=True, timeout=600)
                if out.returncode != 0:
                    print(f"    {label}: failed: {out.stderr.strip().splitlines()[-1:]}")
                    continue
                n, shown, held, peak, grown = json.loads(out.stdout)
                print(f"    {label}: file {len(data) / 1024:.0f} KiB, {n} objects show {shown / MiB:6.1f} MiB, "
                      f"hold {held / MiB:6.2f} MiB; peak {peak / MiB:6.1f} MiB, {grown / MiB:6.1f} MiB of it "
                      "the call's")


def ordinary(folder):
    data = generated_deck()
    decks = [("generated 200-slide deck", lambda: [data])]
    if folder.is_dir():
        paths = []
        for p in sorted(folder.iterdir()):
            try:
                vantrell.Document(p)
            except vantrell.PptxError:
                continue
            paths.append(p)
        decks.append((f"corpus, {len(paths)} decks", lambda: [p.read_bytes() for p in paths]))
    print("ordinary decks, a fresh Document per pass, threads=1")
    for label, load in decks:
        datas = load()
        md = best_of(9, lambda: [vantrell.Document(data=x, threads=1).markdown() for x in datas])
        text = best_of(9, lambda: [vantrell.Document(data=x, threads=1).text(notes=True, comments=True)
                                   for x in datas])
        print(f"  {label}: markdown() {md * 1e3:7.1f} ms, text(notes, comments) {text * 1e3:7.1f} ms")


def main():
    amplification()
    checker()
    object_api()
    ordinary(corpus_arg())


if __name__ == "__main__":
    if sys.argv[1:2] == ["--objects"]:
        object_api()
    else:
        main()
