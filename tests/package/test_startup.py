"""Start-up of the command: the package and the modules that digest and index load no
numpy or table library, so the native work starts while those are imported beside it."""

from __future__ import annotations

import subprocess
import sys

import pytest

import tovel_mesk

HEAVY = ("numpy", "pandas", "pyarrow", "lxml", "matplotlib")


def test_digest_and_index_modules_load_no_heavy_library():
    code = ("import sys, tovel_mesk, tovel_mesk.cli, tovel_mesk.pipeline, tovel_mesk.search.database, tovel_mesk.config; "
            "tovel_mesk.config.load_settings({'precursor_tol': '10ppm'}); "
            f"print(sorted(m for m in {HEAVY!r} if m in sys.modules))")
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "[]\n"


def test_public_names_resolve_on_first_use():
    from tovel_mesk.io import spectra
    from tovel_mesk.search import database as digest

    assert tovel_mesk.digest_fasta is digest.digest_fasta and tovel_mesk.SpectraReader is spectra.SpectraReader
    assert set(tovel_mesk.__all__) <= set(dir(tovel_mesk))
    for name in tovel_mesk.__all__:
        assert getattr(tovel_mesk, name) is not None
    with pytest.raises(AttributeError, match="no attribute 'nothing_here'"):
        tovel_mesk.nothing_here  # noqa: B018


def test_the_command_process_flushes_its_output_and_keeps_its_status():
    from tovel_mesk.config import default_toml

    # The process leaves without the interpreter's teardown: what it printed must all be there.
    done = subprocess.run([sys.executable, "-P", "-m", "tovel_mesk", "config", "--defaults"], capture_output=True,
                          text=True)
    assert done.returncode == 0 and done.stdout == default_toml()
    refused = subprocess.run([sys.executable, "-P", "-m", "tovel_mesk", "config"], capture_output=True, text=True)
    assert refused.returncode == 2 and refused.stderr == "tovel-mesk: error: config: say what to print: --defaults or --show\n"
