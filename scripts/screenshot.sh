#!/usr/bin/env bash
# Retakes docs/form.png, the demo form the README shows, through the browser test that takes it.
set -euo pipefail; ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"; QUORVEL_SCREENSHOT="$ROOT/docs/form.png" exec bash "$ROOT/scripts/test.sh" -q "$ROOT/tests/test_web_app.py::test_demo_form_screenshot"
