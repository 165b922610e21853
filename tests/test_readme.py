"""The README's Python examples run as written, one after the other, as a reader would paste them."""

import subprocess
import sys

from conftest import readme_python_blocks


def test_readme_examples_run(tmp_path):
    blocks = readme_python_blocks()
    assert len(blocks) >= 2
    script = tmp_path / "readme_examples.py"
    script.write_text("\n".join(blocks))
    # A process of its own: the README's classes must not meet the suite's classes of the same name.
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
