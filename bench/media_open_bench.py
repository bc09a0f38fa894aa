"""Opening a deck costs nothing proportional to its media.

Builds the same 20-slide deck (a title, a text body and a picture per slide)
twice in a temporary folder, once with 5 MB and once with 500 MB of stored
(uncompressed) media behind the pictures, then in a fresh child process per
run measures the wall time and the peak resident memory of
`Document(path)` followed by every slide, its text and its image list. The
figures should not depend on the media size. The decks are deleted at the
end.

    python bench/media_open_bench.py [runs]
"""
import io
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
import slidedeck  # noqa: E402  (fixture builders shared with the tests)

SLIDES = 20
MB = 1 << 20

CHILD = r'''
import json, resource, sys, time
import vantrell

before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
doc = vantrell.Document(sys.argv[1])
t_open = time.perf_counter() - t0
chars = images = 0
for slide in doc:
    chars += len(slide.text())
    images += len(slide.images())
t_all = time.perf_counter() - t0
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"open_s": t_open, "all_s": t_all, "rss_before_kib": before, "rss_peak_kib": after,
                  "chars": chars, "images": images}))
'''


def small_deck():
    slides = [slidedeck.Slide(
        slidedeck.sp(2, "Title", slidedeck.para(slidedeck.run(f"Slide {i}")), ph='type="title"')
        + slidedeck.sp(3, "Body", slidedeck.para(slidedeck.run("Quarterly figures and a picture")))
        + slidedeck.pic(4, "Picture", embed="rIdI"),
        rels=[("rIdI", "image", f"../media/image{i}.png")],
        parts={f"ppt/media/image{i}.png": b"\x89PNG\r\n\x1a\n"})
        for i in range(1, SLIDES + 1)]
    return slidedeck.make(slides)


def write_deck(path, media_bytes):
    """The small deck with each picture replaced by media_bytes / SLIDES
    bytes of stored data, written straight to disk."""
    per_picture = media_bytes // SLIDES
    block = os.urandom(MB)
    with zipfile.ZipFile(io.BytesIO(small_deck())) as src, \
            zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as out:
        for info in src.infolist():
            if info.filename.startswith("ppt/media/"):
                with out.open(zipfile.ZipInfo(info.filename), "w", force_zip64=True) as f:
                    left = per_picture
                    while left:
                        n = min(left, len(block))
                        f.write(block[:n])
                        left -= n
            else:
                out.writestr(info.filename, src.read(info.filename), compress_type=zipfile.ZIP_DEFLATED)


def measure(path):
    proc = subprocess.run([sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    sizes = [5 * MB, 500 * MB]
    with tempfile.TemporaryDirectory(prefix="vantrell-media-") as tmp:
        rows = []
        for size in sizes:
            path = pathlib.Path(tmp) / f"media{size // MB}.pptx"
            write_deck(path, size)
            results = [measure(path) for _ in range(runs)]
            best = min(results, key=lambda r: r["all_s"])
            assert best["images"] == SLIDES and best["chars"] > 0, best
            peak = max(r["rss_peak_kib"] for r in results)
            base = min(r["rss_before_kib"] for r in results)
            rows.append((size, path.stat().st_size, best, peak, base))
            path.unlink()
    print(f"{SLIDES} slides; best of {runs} fresh processes; peak RSS of the whole process "
          "(interpreter and module included)")
    print(f"{'media':>8} {'file MB':>8} {'open ms':>8} {'open+slides ms':>15} {'peak RSS MiB':>13} "
          f"{'after import MiB':>17}")
    for size, file_size, best, peak, base in rows:
        print(f"{size // MB:>6}MB {file_size / MB:8.1f} {best['open_s'] * 1e3:8.2f} {best['all_s'] * 1e3:15.2f} "
              f"{peak / 1024:13.1f} {base / 1024:17.1f}")
    (_, _, small, small_peak, _), (_, _, big, big_peak, _) = rows
    print(f"500 MB against 5 MB: time x{big['all_s'] / small['all_s']:.2f}, "
          f"peak memory x{big_peak / small_peak:.2f}")


if __name__ == "__main__":
    main()
