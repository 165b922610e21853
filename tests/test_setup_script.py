"""Tests for what scripts/setup.sh says before it installs Python 3.14 from Debian unstable.

The script is sourced, which only defines its functions, and apt-get is replaced by a stand-in on PATH that
logs its arguments and answers a simulation with the recorded output below, so nothing is installed.
"""

import os
import subprocess

import pytest

from conftest import ROOT

SETUP = ROOT / "scripts" / "setup.sh"

# The shape of "apt-get -s -t unstable install python3.14 ..." on Debian 12, shortened.
SIMULATION = """\
NOTE: This is only a simulation!
      apt-get needs root privileges for real execution.
Reading package lists...
The following packages will be REMOVED:
  libgdbm6 libssl3
The following packages will be upgraded:
  dpkg libc6
Remv libgdbm6 [1.23-3] [libperl5.36:amd64 man-db:amd64 ]
Remv libssl3 [3.0.17-1~deb12u2]
Inst libc6 [2.36-9+deb12u10] (2.41-12 Debian:unstable [amd64]) [libc-bin:amd64 ]
Conf libc6 (2.41-12 Debian:unstable [amd64])
Inst libgdbm6t64 (1.26-1+b2 Debian:unstable [amd64])
Inst dpkg [1.21.22] (1.22.21 Debian:unstable [amd64])
Inst libc6 [2.36-9+deb12u10] (2.41-12 Debian:unstable [amd64])
Inst python3.14 (3.14.0-1 Debian:unstable [amd64])
Conf python3.14 (3.14.0-1 Debian:unstable [amd64])
"""
NOTHING_CHANGED = """\
Inst python3.14 (3.14.0-1 Debian:unstable [amd64])
Conf python3.14 (3.14.0-1 Debian:unstable [amd64])
"""
UPGRADES = "it upgrades 2 installed packages to their Debian unstable versions: libc6 dpkg"
REMOVALS = "it removes 2 installed packages: libgdbm6 libssl3"
PYTHON = "python3.14 python3.14-dev python3.14-venv python3-pip-whl"


@pytest.fixture
def fake_apt(tmp_path):
    """A stand-in apt-get: logs each call's arguments, prints $SIMULATION for -s and fails with $APT_STATUS."""
    folder = tmp_path / "bin"
    folder.mkdir()
    script = folder / "apt-get"
    script.write_text('#!/bin/bash\necho "$*" >>"$APT_LOG"\n'
                      'if [[ " $* " == *" -s "* ]]; then printf "%s" "$SIMULATION"; fi\nexit "${APT_STATUS:-0}"\n')
    script.chmod(0o755)
    return folder


def run_sourced(commands, fake_apt, tmp_path, simulation=SIMULATION, status=0):
    """Runs `commands` in bash after sourcing the script; the stand-in apt-get comes first on PATH."""
    env = {**os.environ, "PATH": f"{fake_apt}:{os.environ['PATH']}", "APT_LOG": str(tmp_path / "apt.log"),
           "SIMULATION": simulation, "APT_STATUS": str(status)}
    return subprocess.run(["bash", "-c", f"source {SETUP}\n{commands}"], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=60)


def apt_calls(tmp_path):
    log = tmp_path / "apt.log"
    return log.read_text().splitlines() if log.exists() else []


@pytest.mark.parametrize("simulation, lines", [
    (SIMULATION, [UPGRADES, REMOVALS]),
    (SIMULATION.replace("Remv libssl3 [3.0.17-1~deb12u2]\n", "").replace("Inst dpkg", "Inst-not dpkg"),
     ["it upgrades 1 installed package to their Debian unstable versions: libc6",
      "it removes 1 installed package: libgdbm6"]),
    (NOTHING_CHANGED, ["it upgrades and removes no installed package"]),
])
def test_the_simulation_is_summarised(simulation, lines, fake_apt, tmp_path):
    result = run_sourced("summarise_simulation <<<\"$SIMULATION\"", fake_apt, tmp_path, simulation)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == lines


def test_sourcing_the_script_sets_nothing_up(fake_apt, tmp_path):
    result = run_sourced("echo sourced", fake_apt, tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, "sourced\n", "")
    assert apt_calls(tmp_path) == []


def test_provisioning_lists_the_changes_before_it_installs(fake_apt, tmp_path):
    # The steps before the install touch the system: they are not what is tested here.
    result = run_sourced("add_unstable_suite() { :; }; apt_update() { :; }; repair_dpkg() { :; }\nprovision_python",
                         fake_apt, tmp_path)
    assert result.returncode == 0, result.stderr
    assert apt_calls(tmp_path) == [
        f"-y -t unstable -o Dpkg::Options::=--force-overwrite -s install {PYTHON}",
        f"-y -t unstable -o Dpkg::Options::=--force-overwrite install {PYTHON}",
    ]
    said = result.stderr.splitlines()
    listed = [f"[setup] installing {PYTHON}: {UPGRADES}", f"[setup] installing {PYTHON}: {REMOVALS}"]
    assert said[said.index(listed[0]):said.index(listed[1]) + 1] == listed
    assert said.index(listed[1]) < said.index("[setup] installing Python 3.14 from Debian unstable")


def test_a_failing_simulation_stops_before_the_install(fake_apt, tmp_path):
    result = run_sourced("add_unstable_suite() { :; }; apt_update() { :; }; repair_dpkg() { :; }\nprovision_python",
                         fake_apt, tmp_path, status=100)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == ("[setup] ERROR: step failed: asking apt what installing Python 3.14 "
                                              "from Debian unstable changes (apt-get -s)")
    assert [call.split(" install ")[0].endswith("-s") for call in apt_calls(tmp_path)] == [True]
