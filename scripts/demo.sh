#!/usr/bin/env bash
# Sets everything up if needed, then runs the demo; arguments go to the demo.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
cd "$ROOT"
exec "$ROOT/.venv/bin/python" examples/demo.py "$@"
