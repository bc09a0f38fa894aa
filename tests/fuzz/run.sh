#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   tests/fuzz/run.sh [SECONDS] [TARGET...]
# SECONDS per target (default 60), in FUZZ_JOBS forked processes (default 2); all targets when none is named. Seeds are
# made at run time in a scratch directory from the deck corpus (whole files and
# the parts inside them) and the system's TrueType fonts; findings are left in
# $FUZZ_WORK/<target>/ (default /tmp/vantrell-fuzz). Environment: CXX (a clang
# with libFuzzer, default the newest clang++-NN found), FUZZ_JOBS,
# BUILD (default build-fuzz), VANTRELL_CORPUS.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(inflate zip xml cfb package document slide check markdown fonts)
jobs="${FUZZ_JOBS:-2}"
build="${BUILD:-$root/build-fuzz}"
work="${FUZZ_WORK:-/tmp/vantrell-fuzz}"
corpus="${VANTRELL_CORPUS:-$root/../shared/corpus}"

cxx="${CXX:-}"
if [ -z "$cxx" ]; then
  for v in 19 18 17 16; do
    if command -v "clang++-$v" >/dev/null; then cxx="clang++-$v"; break; fi
  done
fi
[ -n "$cxx" ] || { echo "no clang++ (16 or newer) found; set CXX" >&2; exit 2; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DVANTRELL_PYTHON=OFF \
      -DVANTRELL_TESTS=OFF -DVANTRELL_SANITIZE=ON -DVANTRELL_FUZZ=ON >/dev/null
cmake --build "$build" --target $(printf 'fuzz_%s ' "${targets[@]}")

# Seeds: whole decks, every ZIP entry (raw deflate for inflate, XML parts for
# xml), every compound-file deck, fonts, and Markdown from the tests.
seeds="$work/seeds"
if [ ! -d "$seeds" ]; then
  mkdir -p "$seeds"/{decks,legacy,deflate,xml,fonts,markdown,slides}
  if [ -d "$corpus" ]; then
    find "$corpus" -type f \( -name '*.ppt' \) -size -2048k -exec cp {} "$seeds/legacy/" \;
    find "$corpus" -type f \( -name '*.pp[st]x' -o -name '*.pptm' -o -name '*.pot[xm]' -o -name '*.thmx' \) \
         -size -2048k -exec cp {} "$seeds/decks/" \;
    python3 - "$seeds" <<'PY'
import os, struct, sys, zipfile, hashlib
seeds = sys.argv[1]
for name in sorted(os.listdir(os.path.join(seeds, "decks"))):
    path = os.path.join(seeds, "decks", name)
    try:
        z = zipfile.ZipFile(path)
    except Exception:
        continue
    raw = open(path, "rb").read()
    for info in z.infolist():
        try:
            data = z.read(info)
        except Exception:
            continue
        key = hashlib.sha1(data).hexdigest()[:16]
        if info.filename.endswith((".xml", ".rels")) and len(data) < 256 * 1024:
            open(os.path.join(seeds, "xml", key), "wb").write(data)
        if info.compress_type == 8 and info.compress_size < 256 * 1024:
            off = info.header_offset
            n, m = struct.unpack("<HH", raw[off + 26:off + 30])
            start = off + 30 + n + m
            open(os.path.join(seeds, "deflate", key), "wb").write(raw[start:start + info.compress_size])
    # For fuzz_slide: a slide and the first chart, diagram data, comments,
    # notes and comment authors of the deck, joined by its separator.
    names = z.namelist()
    def first(prefix):
        for n in sorted(names):
            if n.startswith(prefix) and n.endswith(".xml"):
                try:
                    return z.read(n)
                except Exception:
                    return b""
        return b""
    for n in sorted(names):
        if n.startswith("ppt/slides/slide") and n.endswith(".xml"):
            try:
                body = z.read(n)
            except Exception:
                continue
            rest = [first(p) for p in ("ppt/charts/chart", "ppt/diagrams/data", "ppt/comments/",
                                      "ppt/notesSlides/", "ppt/commentAuthors")]
            joined = b"\n----\n".join([body] + rest)
            if len(joined) < 512 * 1024:
                open(os.path.join(seeds, "slides", hashlib.sha1(joined).hexdigest()[:16]), "wb").write(joined)
PY
  fi
  # Large fonts take seconds each to compress under the sanitizers: the small
  # ones keep the fuzzer moving.
  find /usr/share/fonts/truetype -type f -name '*.ttf' -size -256k | head -40 | xargs -r cp -t "$seeds/fonts/"
  find "$root/tests" -name '*.md' -exec cp {} "$seeds/markdown/" \; 2>/dev/null || true
  find "$corpus" -name '*.md' -exec cp {} "$seeds/markdown/" \; 2>/dev/null || true
  printf '# Title\nSubtitle\n\n## Slide\n- a\n  - b\n\nNotes: n\n\n```\ncode\n```\n---\n| a | b |\n' \
    > "$seeds/markdown/outline.md"
fi

seed_dirs() {
  case "$1" in
    inflate) echo "$seeds/deflate" ;;
    zip|package|check) echo "$seeds/decks" ;;
    document) echo "$seeds/decks $seeds/legacy" ;;
    cfb) echo "$seeds/legacy" ;;
    xml) echo "$seeds/xml" ;;
    fonts) echo "$seeds/fonts" ;;
    markdown) echo "$seeds/markdown" ;;
    slide) echo "$seeds/slides" ;;
  esac
}

status=0
for t in "${targets[@]}"; do
  out="$work/$t"
  mkdir -p "$out/corpus" "$out/artifacts"
  echo "== fuzz_$t for ${seconds}s"
  # shellcheck disable=SC2046
  (cd "$out" && "$build/tests/fuzz/fuzz_$t" "$out/corpus" $(seed_dirs "$t") \
      -fork="$jobs" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -max_len=$([ "$t" = fonts ] && echo $((256 << 10)) || echo $((4 << 20))) -artifact_prefix="$out/artifacts/" -print_final_stats=1 \
      >"$out/log.txt" 2>&1) || status=1
  grep -h -E "^#[0-9]+" "$out/log.txt" | tail -n 1 || true
  ls "$out/artifacts" | sed 's/^/   finding: /'
done
exit $status
