"""The type stubs shipped in the wheel agree with the modules as built: names, signatures,
properties and defaults (mypy's stubtest, run against the installed modules)."""

from __future__ import annotations

import importlib.util
import subprocess
import sys

import pytest


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubs_match_the_built_modules(tmp_path):
    # Run outside the source tree, so that the installed package is the one checked.
    result = subprocess.run([sys.executable, "-P", "-m", "mypy.stubtest", "--concise", "_tovel_mesk"],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
