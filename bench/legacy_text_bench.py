"""Legacy decks to text, per file: `Document(p).text()` in process against the
catppt text dumper run on the same files.

Every .ppt of the corpus that both sides read is timed, best of several
repetitions each; catppt's time includes starting its process, which is what
a caller of a command-line dumper pays. Prints one line per deck and the
ratio of the totals (catppt's time over ours).

`--markdown [folder] [rounds]` instead opens every .ppt of the folder and
renders it with `markdown()`, threads=1, `rounds` times (default 10), and
prints nothing: the command to time as a whole process against another
build (pinned to one CPU, the two builds' processes alternating). Any build's
interpreter can run it.

    python bench/legacy_text_bench.py [corpus folder] [repetitions]
    python bench/legacy_text_bench.py --markdown [corpus folder] [rounds]
"""
import shutil
import subprocess
import sys

import vantrell

from corpus import CORPUS, best_of, corpus_arg, render_corpus

if __name__ == "__main__" and sys.argv[1:2] == ["--markdown"]:
    render_corpus(sys.argv[2] if len(sys.argv) > 2 else CORPUS, int(sys.argv[3]) if len(sys.argv) > 3 else 10, ".ppt")
    sys.exit(0)


def ours(path):
    return vantrell.Document(path).text()


def catppt(path):
    return subprocess.run(["catppt", "-d", "utf-8", str(path)], capture_output=True, check=False).stdout


def main():
    folder = corpus_arg()
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    if shutil.which("catppt") is None:
        sys.exit("catppt is not installed (Debian package catdoc)")
    decks = []
    for path in sorted(folder.glob("*.ppt")):
        try:
            ours(path)
        except vantrell.PptxError:
            continue
        if catppt(path):
            decks.append(path)
    if not decks:
        sys.exit(f"no legacy deck that both sides read in {folder}")
    total_ours = total_theirs = 0.0
    print(f"{'ours ms':>9} {'catppt ms':>10} {'ratio':>7}  deck")
    for path in decks:
        a = best_of(reps, lambda: ours(path))
        b = best_of(reps, lambda: catppt(path))
        total_ours += a
        total_theirs += b
        print(f"{a * 1e3:9.3f} {b * 1e3:10.3f} {b / a:6.1f}x  {path.name}")
    n = len(decks)
    print(f"{n} decks: ours {total_ours * 1e3 / n:.3f} ms per file, catppt {total_theirs * 1e3 / n:.3f} ms "
          f"per file; ours is {total_theirs / total_ours:.1f}x faster")


if __name__ == "__main__":
    main()
