"""What the benchmark scripts share: where the corpus and the repo are, which
files are packages, timing, and the run of a C++ bench over a records file
extracted from the corpus."""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

PACKAGE_EXTS = (".pptx", ".pptm", ".potx", ".potm", ".ppsx", ".ppsm", ".thmx")
ROOT = pathlib.Path(__file__).resolve().parents[1]
CORPUS = pathlib.Path(os.environ.get("VANTRELL_CORPUS") or ROOT.parent / "shared" / "corpus")


def corpus_arg(index=1):
    """The corpus folder named on the command line at `index`, else the shared one."""
    return pathlib.Path(sys.argv[index]) if len(sys.argv) > index else CORPUS


def packages(corpus):
    """Paths of the OOXML packages in `corpus`, sorted by name."""
    for name in sorted(os.listdir(corpus)):
        if name.lower().endswith(PACKAGE_EXTS):
            yield os.path.join(corpus, name)


def render_corpus(folder, rounds, suffix=""):
    """Opens every deck of `folder` whose name ends with `suffix` (any case)
    and renders it with `markdown()`, threads=1, `rounds` times: the work to
    time as a whole process against another build."""
    import vantrell

    paths = sorted(os.path.join(folder, name) for name in os.listdir(folder) if name.lower().endswith(suffix))
    for _ in range(rounds):
        for path in paths:
            try:
                vantrell.Document(path, threads=1).markdown()
            except vantrell.PptxError:
                pass


def best_of(n, fn, clock=time.perf_counter):
    """The shortest of `n` runs of `fn`, in seconds of `clock`."""
    best = float("inf")
    for _ in range(n):
        t0 = clock()
        fn()
        best = min(best, clock() - t0)
    return best


def best_of_alternating(n, fns, clock=time.perf_counter):
    """The shortest of `n` runs of each of `fns`, taken in turn so that a
    change in the machine's load touches them alike; seconds, in order."""
    best = [float("inf")] * len(fns)
    for _ in range(n):
        for i, fn in enumerate(fns):
            t0 = clock()
            fn()
            best[i] = min(best[i], clock() - t0)
    return best


def median_wall_and_cpu(n, fns):
    """`n` runs of each of `fns`, taken in turn: for each, the median wall
    time and the median CPU time (user + system, every thread of the
    process); (wall, cpu) pairs of seconds, in order."""
    walls = [[] for _ in fns]
    cpus = [[] for _ in fns]
    for _ in range(n):
        for i, fn in enumerate(fns):
            c0, t0 = time.process_time(), time.perf_counter()
            fn()
            t1, c1 = time.perf_counter(), time.process_time()
            walls[i].append(t1 - t0)
            cpus[i].append(c1 - c0)
    return [(statistics.median(w), statistics.median(c)) for w, c in zip(walls, cpus)]


def load_average():
    """The 1, 5 and 15 minute load averages as printed beside figures."""
    try:
        return "load %.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "load unknown"


def build_bench(build, target, quiet=False):
    """Configures a release build in `build` and builds `target`; returns its path."""
    out = subprocess.DEVNULL if quiet else None
    subprocess.run(["cmake", "-S", str(ROOT), "-B", build, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DVANTRELL_PYTHON=OFF",
                    "-DVANTRELL_SANITIZE=OFF", "-DVANTRELL_BENCH=ON"], check=True, stdout=out)
    subprocess.run(["cmake", "--build", build, "--target", target], check=True, stdout=out)
    return bench_binary(build, target)


def bench_binary(build, target):
    return os.path.join(build, "bench", target)


def records_args(doc, what):
    """The command line of a bench over records: corpus, build folder, repetitions, kept file."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--corpus", default=str(CORPUS))
    ap.add_argument("--build", default=str(ROOT / "build-bench"))
    ap.add_argument("--reps", type=int, default=9)
    ap.add_argument("--keep", help="write the " + what + " file here and keep it")
    return ap.parse_args()


def run_on_records(binary, args, extract, file_name, none_found):
    """Writes the records file with `extract(corpus, path)` (which returns a
    count), then runs `binary` on it; exits with `none_found` when empty."""
    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or os.path.join(tmp, file_name)
        if extract(args.corpus, path) == 0:
            sys.exit(none_found + " " + args.corpus)
        return subprocess.run([binary, path, str(args.reps)]).returncode
