"""The installed extension uses the CPython 3.11 stable ABI and nothing beyond it."""

from __future__ import annotations

import importlib.util
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest


def audit_command():
    if importlib.util.find_spec("abi3audit") is not None:
        return [sys.executable, "-m", "abi3audit"]
    exe = shutil.which("abi3audit")
    if exe:
        return [exe]
    pytest.skip("abi3audit is not installed")


def extension_path() -> Path:
    origin = importlib.util.find_spec("_tovel_mesk").origin
    assert origin is not None
    return Path(origin)


def test_extension_file_is_tagged_abi3():
    path = extension_path()
    assert path.name.startswith("_tovel_mesk.")
    assert path.name.endswith(".abi3.so")


def test_extension_passes_a_strict_abi3_audit():
    command = audit_command() + ["--strict", "--assume-minimum-abi3", "3.11", "--report", str(extension_path())]
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    report = json.loads(result.stdout)
    (entry,) = report["specs"].values()
    outcome = entry["object"]["result"]
    assert outcome["is_abi3"] is True
    assert outcome["non_abi3_symbols"] == []
    assert outcome["future_abi3_objects"] == {}
    assert outcome["is_abi3_baseline_compatible"] is True
    assert tuple(int(x) for x in outcome["computed"].split(".")) <= (3, 11)
