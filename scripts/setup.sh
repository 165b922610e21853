#!/usr/bin/env bash
# Brings a checkout to the point where the demo and the tests can run: Python 3.14
# (provisioned from Debian unstable when we are root on Debian and no python3.14
# is on PATH; that upgrades base packages too, see provision_python), a C++ compiler,
# Chromium for the browser tests (from Debian when we are root on Debian), .venv
# with the runtime, web, test and build dependencies, and the package built and
# installed into .venv. Every stage records what it did in a stamp inside .venv,
# so re-running this before each demo or test run costs well under a second.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

VENV="$ROOT/.venv"
DEPS_STAMP="$VENV/.quorvel-deps"
BUILD_STAMP="$VENV/.quorvel-build"
# We build without isolation (so the build dir stays warm and rebuilds are
# incremental), which means the build backend and its tools live in .venv too.
REQUIREMENTS=(
  "pydantic>=2,<3"
  "typing_extensions"
  "pytest"
  "hypothesis"
  "jsonschema"
  "mypy"
  "playwright"
  "starlette"
  "uvicorn"
  "msgspec"
  "scikit-build-core"
  "cmake"
  "ninja"
)

APT_SOURCES=/etc/apt/sources.list.d/quorvel-unstable.sources
APT_PIN=/etc/apt/preferences.d/quorvel-unstable

say() { printf '[setup] %s\n' "$*" >&2; }
die() { printf '[setup] ERROR: %s\n' "$*" >&2; exit 1; }

# step "description" command...: a download failing in the middle of a long log
# is easy to miss, so name the stage that broke before giving up.
step() {
  local what=$1
  shift
  say "$what"
  if ! "$@"; then
    die "step failed: $what"
  fi
}

root_on_debian() { [[ $(id -u) -eq 0 && -f /etc/debian_version ]]; }

APT_UPDATED=0
apt_update() {
  if [[ $APT_UPDATED -eq 0 ]]; then
    step "refreshing apt package lists (apt-get update)" apt-get update
    APT_UPDATED=1
  fi
}

# Unstable's python3.14 pulls in openssl-provider-legacy, which ships a file that
# bookworm's libssl3 also owns; dpkg refuses that without --force-overwrite.
apt_unstable() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -t unstable \
    -o Dpkg::Options::=--force-overwrite "$@"
}

# A previous run that died halfway leaves dpkg with unpacked, unconfigured
# packages, and apt refuses to install anything else until that is repaired.
repair_dpkg() {
  if [[ -n "$(dpkg --audit 2>/dev/null)" ]]; then
    DEBIAN_FRONTEND=noninteractive dpkg --configure -a || true
  fi
  apt_unstable -f install
}

# Pinned at 100 so that a plain "apt-get upgrade" never takes anything from
# unstable. An install with -t unstable is another matter: what it names and
# every package that needs upgrading for it come from unstable (see
# provision_python).
add_unstable_suite() {
  if [[ ! -e $APT_SOURCES ]]; then
    say "adding Debian unstable as an apt source ($APT_SOURCES)"
    cat >"$APT_SOURCES" <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: unstable
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    APT_UPDATED=0
  fi
  if [[ ! -e $APT_PIN ]]; then
    say "pinning Debian unstable at priority 100 ($APT_PIN)"
    cat >"$APT_PIN" <<'EOF'
Package: *
Pin: release a=unstable
Pin-Priority: 100
EOF
  fi
}

# Reads apt's simulation of an install ("apt-get -s install ...") and says
# which installed packages it upgrades ("Inst NAME [installed] (new ...)") and
# which it removes ("Remv NAME [installed] ..."); packages it only adds
# ("Inst NAME (new ...)") are not listed.
summarise_simulation() {
  awk '
    function packages(count) { return count == 1 ? "package" : "packages" }
    $1 == "Inst" && $3 ~ /^\[/ && !seen[$2]++ { upgraded = upgraded " " $2; upgrades++ }
    $1 == "Remv" && !seen[$2]++ { removed = removed " " $2; removals++ }
    END {
      if (upgrades) {
        printf "it upgrades %d installed %s to their Debian unstable versions:%s\n", upgrades, packages(upgrades), upgraded
      }
      if (removals) printf "it removes %d installed %s:%s\n", removals, packages(removals), removed
      if (!upgrades && !removals) print "it upgrades and removes no installed package"
    }'
}

# Says, before installing PACKAGES from unstable, what else that changes.
announce_unstable_install() {
  local simulation
  simulation="$(apt_unstable -s install "$@")" || return 1
  summarise_simulation <<<"$simulation" | while IFS= read -r line; do say "installing $*: $line"; done
}

# Unstable's python3.14 needs newer base packages than Debian 12 has, and they
# come from unstable too: on Debian 12 this upgrades 42 installed packages
# (libc6, libstdc++6, openssl, dpkg, ...) and removes four. Their list is
# printed first. A Python 3.14 already on PATH avoids all of this.
provision_python() {
  add_unstable_suite
  apt_update
  step "repairing unfinished dpkg work" repair_dpkg
  # python3-pip-whl has to come from unstable as well: bookworm's pip wheel is
  # too old for 3.14 and ensurepip fails inside "python3.14 -m venv".
  local packages=(python3.14 python3.14-dev python3.14-venv python3-pip-whl)
  step "asking apt what installing Python 3.14 from Debian unstable changes (apt-get -s)" \
    announce_unstable_install "${packages[@]}"
  step "installing Python 3.14 from Debian unstable" apt_unstable install "${packages[@]}"
}

# Prints what python3.14 lacks for building and for creating .venv; empty when
# nothing is missing.
python_gaps() {
  python3.14 - <<'EOF'
import os, sysconfig
gaps = []
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    gaps.append("its development headers (Python.h; Debian package python3.14-dev)")
try:
    import ensurepip
except ImportError:
    gaps.append("its venv module (ensurepip; Debian package python3.14-venv)")
print(" and ".join(gaps))
EOF
}

# Only a Debian-packaged interpreter can be completed with Debian's packages.
python_from_dpkg() {
  dpkg-query -S "$(readlink -f "$(command -v python3.14)")" >/dev/null 2>&1
}

ensure_python() {
  if ! command -v python3.14 >/dev/null 2>&1; then
    root_on_debian ||
      die "Python 3.14 is required: install python3.14 with its development headers and venv module, or run this script as root on Debian to provision it"
    say "python3.14 not found on PATH; provisioning it from Debian unstable"
    provision_python
    command -v python3.14 >/dev/null 2>&1 || die "python3.14 is still not on PATH after installing it"
  fi
  local gaps
  gaps="$(python_gaps)" || die "$(command -v python3.14) does not run"
  if [[ -n $gaps ]] && root_on_debian && python_from_dpkg; then
    say "python3.14 lacks $gaps; installing them"
    provision_python
    gaps="$(python_gaps)" || die "$(command -v python3.14) does not run"
  fi
  if [[ -n $gaps ]]; then
    die "Python 3.14 at $(command -v python3.14) lacks $gaps: install them, or run this script as root on Debian to provision them"
  fi
}

compiler() { command -v c++ 2>/dev/null || command -v g++ 2>/dev/null; }

# Once python3.14 came from unstable, libc6-dev may be unstable's too, and
# bookworm's g++ can then fail to resolve; unstable's g++ is the fallback.
install_gxx() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y g++ ||
    { announce_unstable_install g++ && apt_unstable install g++; }
}

ensure_compiler() {
  if ! compiler >/dev/null; then
    if root_on_debian; then
      apt_update
      step "installing a C++ compiler (g++)" install_gxx
    fi
    compiler >/dev/null || die "no C++ compiler found: install g++ (apt-get install g++)"
  fi
  if [[ $SANITIZE == 1 ]] && ! asan_runtime >/dev/null; then
    die "QUORVEL_SANITIZE=1 needs the AddressSanitizer runtime, which 'c++ -print-file-name=libasan.so' cannot find: install libasan for your compiler"
  fi
}

# The browser tests drive this Chromium through Playwright, which is never
# asked to download a browser of its own.
CHROMIUM="${QUORVEL_CHROMIUM:-/usr/bin/chromium}"

install_chromium() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y chromium
}

# Debian's own chromium package from the regular suites, not from unstable:
# only Python comes from there. A QUORVEL_CHROMIUM of our own is never
# installed over, only reported when it is missing.
ensure_chromium() {
  if [[ -x $CHROMIUM ]]; then
    return
  fi
  if root_on_debian && [[ -z ${QUORVEL_CHROMIUM:-} ]]; then
    apt_update
    step "installing Chromium for the browser tests (apt-get install chromium)" install_chromium
    [[ -x $CHROMIUM ]] || die "Chromium was installed but $CHROMIUM is still missing"
  else
    say "WARNING: no Chromium at $CHROMIUM, so the browser tests will fail." \
      "Install Debian's chromium package (apt-get install chromium), run this script as root" \
      "on Debian to have it installed, or set QUORVEL_CHROMIUM to a Chromium binary."
  fi
}

venv_is_314() {
  [[ -x $VENV/bin/python ]] &&
    "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 14))' 2>/dev/null
}

# A half-created venv would pass the checks above on the next run but have no
# pip, so never leave one behind.
create_venv() {
  rm -rf "$VENV"
  python3.14 -m venv "$VENV" || { rm -rf "$VENV"; return 1; }
}

install_requirements() {
  "$VENV/bin/python" -m pip install --upgrade pip &&
    "$VENV/bin/python" -m pip install "${REQUIREMENTS[@]}"
}

ensure_venv() {
  if ! venv_is_314; then
    step "creating .venv with $(command -v python3.14)" create_venv
  fi
  local wanted
  wanted="$(printf '%s\n' "${REQUIREMENTS[@]}")"
  if [[ ! -f $DEPS_STAMP || "$(<"$DEPS_STAMP")" != "$wanted" ]]; then
    step "installing Python dependencies into .venv (pip)" install_requirements
    printf '%s\n' "$wanted" >"$DEPS_STAMP"
  fi
}

build_input_files() {
  if command -v git >/dev/null 2>&1 && git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z -co --exclude-standard src CMakeLists.txt pyproject.toml
  else
    find src CMakeLists.txt pyproject.toml -type f \
      ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0
  fi
}

# Content hash of everything that goes into the build. Files deleted from the
# work tree but still in the index are skipped rather than failing the hash.
build_inputs_hash() {
  {
    printf 'sanitize=%s\n' "$SANITIZE"
    build_input_files | sort -z | while IFS= read -r -d '' f; do
      if [[ -f $f ]]; then printf '%s\0' "$f"; fi
    done | xargs -0 -r sha256sum
  } | sha256sum | cut -d' ' -f1
}

asan_runtime() {
  local lib
  lib="$(c++ -print-file-name=libasan.so 2>/dev/null)" || return 1
  [[ $lib == /* ]] || return 1
  printf '%s\n' "$lib"
}

installed_build_imports() {
  local check=("$VENV/bin/python" -c "import nimbrel.quorvel.core.naming")
  if [[ $SANITIZE == 1 ]]; then
    # Sanitized modules refuse to load unless the ASan runtime comes first,
    # so check them the way scripts/test.sh runs them.
    local asan
    asan="$(asan_runtime)" || return 1
    check=(env LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc "${check[@]}")
  fi
  "${check[@]}" >/dev/null 2>&1
}

build_package() {
  local args=(--no-build-isolation --no-deps)
  if [[ $SANITIZE == 1 ]]; then
    # Own build dir, so switching between the two builds stays incremental.
    args+=(-C cmake.define.QUORVEL_SANITIZE=ON -C build-dir=build/sanitize)
  fi
  "$VENV/bin/python" -m pip install "${args[@]}" .
}

ensure_build() {
  local hash
  hash="$(build_inputs_hash)"
  if [[ -f $BUILD_STAMP && "$(<"$BUILD_STAMP")" == "$hash" ]] && installed_build_imports; then
    return
  fi
  rm -f "$BUILD_STAMP"
  local what="building and installing nimbrel-quorvel into .venv"
  if [[ $SANITIZE == 1 ]]; then what+=" (sanitizer build)"; fi
  step "$what" build_package
  installed_build_imports ||
    die "the package was installed but 'import nimbrel.quorvel.core.naming' fails in .venv"
  printf '%s\n' "$hash" >"$BUILD_STAMP"
}

SANITIZE=0
if [[ ${QUORVEL_SANITIZE:-0} == 1 ]]; then SANITIZE=1; fi

main() {
  ensure_python
  ensure_compiler
  ensure_chromium
  ensure_venv
  ensure_build
}

# Sourced (by the tests of its functions), the script only defines them.
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  main
fi
