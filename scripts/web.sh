#!/usr/bin/env bash
# Sets everything up if needed, then serves the demo configuration's form page; arguments go to the app.
set -euo pipefail; ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"; bash "$ROOT/scripts/setup.sh"; exec "$ROOT/.venv/bin/python" "$ROOT/examples/web_app.py" "$@"
