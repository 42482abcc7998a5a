# SPDX-License-Identifier: MIT
"""The package as installed code sees it: its version is the command's, and
a missing library is reported with what to install."""

import os
import subprocess
import sys

import velkor
from conftest import run


def test_version_is_the_commands(velkor_tool):
    out = run(velkor_tool, "--version").stdout
    assert out == f"velkor {velkor.__version__}\n"


def test_missing_library_names_the_package(tmp_path):
    env = dict(os.environ, VELKOR_LIBRARY=str(tmp_path / "libvelkor.so.0"))
    r = subprocess.run([sys.executable, "-c", "import velkor"], env=env,
                       capture_output=True, text=True, check=False)
    assert r.returncode != 0
    last = r.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: velkor: cannot load ")
    assert "libvelkor0" in last and "LD_LIBRARY_PATH" in last
