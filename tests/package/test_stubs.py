"""The type stubs shipped in the wheel agree with the compiled modules as built: names,
signatures, properties and defaults (mypy's stubtest, run against the installed modules); and
the package, which tells type checkers it is typed, checks clean."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


@needs_mypy
def test_stubs_match_the_built_modules(tmp_path):
    # Only the stubs are checked here: the package's own modules are not type-checked on the way.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nignore_missing_imports = True\nfollow_imports = silent\n")
    # Run outside the source tree, so that the installed package is the one checked.
    result = subprocess.run([sys.executable, "-P", "-m", "mypy.stubtest", "--concise", "--mypy-config-file",
                             str(config), "_tovel_mesk", "tovel_mesk._native"],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_the_package_type_checks_clean(tmp_path):
    # The project's settings (pyproject.toml) apply; the cache goes to a scratch folder.
    result = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "tovel_mesk"],
                            capture_output=True, text=True, cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr
