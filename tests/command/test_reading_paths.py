"""A search reads the same spectra, hence finds the same matches, whether the mzML reader's
native scanner reads a file or leaves part of it to the reference path; the summary says so
when it does."""

from __future__ import annotations

import importlib.util
import json
import sys
from pathlib import Path

from tovel_mesk.config import load_settings
from tovel_mesk.pipeline import run_search

SIMULATE = Path(__file__).resolve().parents[2] / "bench" / "simulate.py"


def _simulate():
    spec = importlib.util.spec_from_file_location("_simulate_reading", SIMULATE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def test_fallback_finds_the_same_matches_and_is_said(tmp_path):
    simulate = _simulate()
    fasta = tmp_path / "proteome.fasta"
    simulate.write_fasta(fasta, simulate.generate_proteome(30, seed=4))
    plain = tmp_path / "plain" / "run.mzML"
    plain.parent.mkdir()
    simulate.write_mzml(plain, simulate.simulate_run(fasta, 200, analyzer="ion-trap", seed=8, ms1=True), "ion-trap")
    data = plain.read_bytes()
    # A comment inside the 30th spectrum: the scanner leaves the rest of the file to the reference.
    at = -1
    for _ in range(30):
        at = data.index(b"</spectrum>", at + 1)
    commented = tmp_path / "commented" / "run.mzML"
    commented.parent.mkdir()
    commented.write_bytes(data[:at] + b"<!-- kept by hand -->" + data[at:])
    outcomes = []
    for path in (plain, commented):
        settings = load_settings({"fasta": fasta, "spectra": [path], "output": path.parent / "out", "quiet": True,
                                  "threads": 2})
        outcome = run_search(settings)
        outcome.write()
        outcomes.append((outcome, json.loads((path.parent / "out" / "summary.json").read_text())))
    (first, first_summary), (second, second_summary) = outcomes
    assert len(first.psms) > 0
    assert first.psms.equals(second.psms)
    counts = [[(f["spectra_read"], f["spectra_searched"], f["matches"]) for f in summary["files"]]
              for summary in (first_summary, second_summary)]
    assert counts[0] == counts[1]
    said = [w for w in second_summary["warnings"] if "reference path" in w]
    assert said == ["run.mzML: read by the reference path from spectrum 30 on: the native scanner does not read "
                    "a comment, CDATA section or processing instruction"]
    assert not any("reference path" in w for w in first_summary["warnings"])
