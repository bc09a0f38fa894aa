# Set-up shared by the scripts that prepare a clone: system packages, a
# CPython 3.12 or newer, the virtual environment `.venv` and the package built
# into it. Sourced with `root` set to the repository; not run on its own.

venv=$root/.venv
vpy=$venv/bin/python
# The build tools come from .venv, never from PATH: Debian's own cmake is
# older than the build needs, and a newer one may be on no PATH at all.
vcmake=$venv/bin/cmake
vctest=$venv/bin/ctest
vninja=$venv/bin/ninja
# Touched when an install starts and kept once it succeeded: a source file
# newer than it was changed after the installed package was built.
stamp=$venv/.vantrell-installed

# Installs the Debian packages named that are missing. Another package
# manager holding the lock (a fresh machine's automatic updates) is waited
# for, up to ten minutes, rather than failing at once.
apt_install() {
  local need=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  ((${#need[@]})) || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing system packages: ${need[*]} (install them with apt-get)" >&2
    exit 1
  fi
  echo "== installing ${need[*]}"
  apt_get update -qq
  apt_get install -y -qq "${need[@]}" >/dev/null
}

apt_get() {
  local err deadline=$((SECONDS + 600)) said=
  err=$(mktemp)
  # The option makes dpkg's own lock wait; the package lists' lock does
  # not, so a refusal over a lock is retried here.
  until DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" 2>"$err"; do
    if ((SECONDS >= deadline)) || ! grep -q 'Could not get lock\|Unable to acquire\|Unable to lock' "$err"; then
      cat "$err" >&2
      rm -f "$err"
      return 1
    fi
    [ -n "$said" ] || echo "== waiting for another package manager to finish" >&2
    said=1
    sleep 5
  done
  rm -f "$err"
}

# A CPython >= 3.12: the default python3 may be older, so look beside it too.
find_python() {
  local c
  for c in "${VANTRELL_PYTHON:-}" python3.13 python3.12 python3 \
           "$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -V | tail -n 1)"; do
    [ -n "$c" ] || continue
    command -v "$c" >/dev/null 2>&1 || [ -x "$c" ] || continue
    if "$c" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null; then
      command -v "$c" 2>/dev/null || echo "$c"
      return 0
    fi
  done
  return 1
}

# The Debian package with the headers of the Python `$1`, if they are
# missing: the extension is compiled against them.
python_headers_package() {
  "$1" - <<'EOF'
import os, sys, sysconfig
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    print("python%d.%d-dev" % sys.version_info[:2])
EOF
}

# The system packages the build needs; then .venv with a CPython >= 3.12,
# created unless one is there.
setup_venv() {
  local py
  py=$(find_python) || { echo "CPython 3.12 or newer not found" >&2; exit 1; }
  # shellcheck disable=SC2046
  apt_install g++ zlib1g-dev $(python_headers_package "$py") "$@"
  if [ ! -x "$vpy" ] || ! "$vpy" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)'; then
    echo "== creating $venv with $py"
    rm -rf "$venv"
    "$py" -m venv "$venv"
  fi
}

# What building the package takes, into .venv: the build backend, CMake
# and Ninja.
install_build_tools() {
  "$vpy" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.26" ninja
}

# Builds the package from the working tree and installs it into .venv. The
# build directory under build/ is kept, so a rebuild compiles only what
# changed. .venv's tools come first on the build's PATH, so the backend
# finds them whatever else the PATH holds.
install_package() {
  local started
  started=$(mktemp "$venv/.install.XXXXXX")
  if ! PATH="$venv/bin:$PATH" "$vpy" -m pip install -q --disable-pip-version-check --no-build-isolation "$root"; then
    rm -f "$started"
    return 1
  fi
  mv "$started" "$stamp"
}

# Whether the package is missing from .venv or older than a source file.
package_stale() {
  [ -f "$stamp" ] && "$vpy" -c 'import vantrell' 2>/dev/null || return 0
  [ -n "$(find "$root/CMakeLists.txt" "$root/pyproject.toml" "$root/core" "$root/write" "$root/check" \
               "$root/py" "$root/python" -newer "$stamp" -print -quit)" ]
}
