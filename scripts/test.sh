#!/usr/bin/env bash
# Sets everything up if needed, then runs the test suite; arguments go to pytest
# and pytest's exit code is ours.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
cd "$ROOT"

if [[ ${QUORVEL_SANITIZE:-0} == 1 ]]; then
  # The interpreter itself is not instrumented, so the ASan runtime has to be
  # loaded ahead of everything else; leak reports would be the interpreter's
  # own, and pymalloc's arenas would hide our heap errors from ASan.
  asan="$(c++ -print-file-name=libasan.so)"
  if [[ $asan != /* ]]; then
    echo "[test] ERROR: the compiler does not know where libasan.so is; install the ASan runtime (libasan)" >&2
    exit 1
  fi
  export LD_PRELOAD="$asan${LD_PRELOAD:+:$LD_PRELOAD}"
  export ASAN_OPTIONS=detect_leaks=0
  export PYTHONMALLOC=malloc
fi

exec "$ROOT/.venv/bin/python" -m pytest "$@"
