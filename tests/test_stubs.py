"""The type stubs shipped in the wheel agree with the compiled modules as built: names,
signatures, properties and defaults (mypy's stubtest, run against the installed modules)."""

from __future__ import annotations

import importlib.util
import subprocess
import sys

import pytest


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubs_match_the_built_modules(tmp_path):
    # Only the stubs are checked here: the package's own modules are not type-checked on the way.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nignore_missing_imports = True\nfollow_imports = silent\n")
    # Run outside the source tree, so that the installed package is the one checked.
    result = subprocess.run([sys.executable, "-P", "-m", "mypy.stubtest", "--concise", "--mypy-config-file",
                             str(config), "_tovel_mesk", "tovel_mesk._native"],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
