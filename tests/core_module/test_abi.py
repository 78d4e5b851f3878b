"""The installed extensions and the binding library they share use the CPython 3.11 stable
ABI and nothing beyond it."""

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


def native_objects() -> list[Path]:
    """Every shared object that the wheel installs."""
    package = Path(importlib.util.find_spec("tovel_mesk").origin).parent
    return [extension_path(), *sorted(package.glob("*.so"))]


def test_extension_files_are_tagged_abi3():
    path = extension_path()
    assert path.name.startswith("_tovel_mesk.")
    assert path.name.endswith(".abi3.so")
    package = Path(importlib.util.find_spec("tovel_mesk").origin).parent
    assert [p.name for p in package.glob("_native*.so")] == ["_native.abi3.so"]


@pytest.mark.parametrize("path", native_objects(), ids=lambda p: p.name)
def test_shared_objects_pass_a_strict_abi3_audit(path):
    command = audit_command() + ["--strict", "--assume-minimum-abi3", "3.11", "--report", str(path)]
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    report = json.loads(result.stdout)
    (entry,) = report["specs"].values()
    outcome = entry["object"]["result"]
    assert outcome["non_abi3_symbols"] == []
    assert outcome["future_abi3_objects"] == {}
    assert outcome["is_abi3_baseline_compatible"] is True
    assert tuple(int(x) for x in outcome["computed"].split(".")) <= (3, 11)
    if path.name.endswith(".abi3.so"):
        assert outcome["is_abi3"] is True
