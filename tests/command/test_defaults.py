"""The default command on runs of both kinds: each file searched with the settings of its
fragment analyzer, error control over the whole call, the summary and console saying what
was detected and used, one warning for a forced tolerance that contradicts the data."""

from __future__ import annotations

import importlib.util
import json
import sys
from pathlib import Path

import pytest

from tovel_mesk.cli import main
from tovel_mesk.config import load_settings
from tovel_mesk.pipeline import run_search

SIMULATE = Path(__file__).resolve().parents[2] / "bench" / "simulate.py"


def _simulate():
    spec = importlib.util.spec_from_file_location("_simulate_runs", SIMULATE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """A small proteome, and a simulated Orbitrap run and ion-trap run of it."""
    simulate = _simulate()
    folder = tmp_path_factory.mktemp("defaults")
    fasta = folder / "proteome.fasta"
    simulate.write_fasta(fasta, simulate.generate_proteome(40, seed=3))
    out = []
    for analyzer, seed in (("orbitrap", 5), ("ion-trap", 6)):
        path = folder / f"{analyzer}.mzML"
        scans = simulate.simulate_run(fasta, 250, analyzer=analyzer, seed=seed)
        simulate.write_mzml(path, scans, analyzer)
        out.append(path)
    return fasta, out


def _settings(fasta, spectra, **extra):
    return load_settings({"fasta": fasta, "spectra": spectra, "output": fasta.parent / "out", "quiet": True,
                          "threads": 2, **extra})


def test_each_file_gets_the_settings_of_its_analyzer(runs):
    fasta, (orbitrap, ion_trap) = runs
    outcome = run_search(_settings(fasta, [orbitrap, ion_trap]))
    plans = outcome.summary.file_settings
    high, low = plans[orbitrap.name], plans[ion_trap.name]
    assert (high["detected"]["resolution"], high["detected"]["source"]) == ("high", "filter string")
    assert (low["detected"]["resolution"], low["detected"]["activation"]) == ("low", "cid")
    assert high["used"]["fragment_tol"].endswith("ppm") and high["used"]["report_psms"] == 1
    assert (low["used"]["fragment_tol"], low["used"]["report_psms"]) == ("0.5da", 5)
    assert (high["used"]["top_peaks"], low["used"]["top_peaks"]) == (500, 150)
    # One table, one error control: the ion-trap file reports 5 matches per spectrum.
    ranks = outcome.psms.groupby("file")["rank"].max()
    assert ranks[ion_trap.name] > 1 and ranks[orbitrap.name] == 1
    # delta_xcorr is left out of high-resolution files: empty on their rows, the rest kept.
    scored = outcome.psms.groupby("file")["delta_xcorr"].apply(lambda v: v.notna().mean())
    assert (scored[orbitrap.name], scored[ion_trap.name]) == (0.0, 1.0)
    assert outcome.psms["log10_evalue"].notna().all()
    records = {r.file: r for r in outcome.summary.files}
    assert records[ion_trap.name].analyzer == "ion trap cid"
    assert records[orbitrap.name].fragment_tol == high["used"]["fragment_tol"]
    # Nothing was guessed and nothing contradicts the data: no warning about the analyzer.
    assert not any("fragment" in w for w in outcome.summary.warnings)


def test_alone_the_ion_trap_file_finds_what_the_preset_finds(runs):
    fasta, (_, ion_trap) = runs
    default = run_search(_settings(fasta, [ion_trap], calibration=False))
    preset = run_search(_settings(fasta, [ion_trap], preset="ion-trap", calibration=False))
    assert default.summary.totals == preset.summary.totals


def test_forced_tolerance_contradicting_the_data_warns_once(runs, capsys):
    fasta, (orbitrap, ion_trap) = runs
    status = main(["search", "--quiet", "--fasta", str(fasta), "--output", str(fasta.parent / "forced"),
                   "--fragment-tol", "10ppm", "--no-calibration", str(orbitrap), str(ion_trap)])
    assert status == 0
    printed = capsys.readouterr().err
    summary = json.loads((fasta.parent / "forced" / "summary.json").read_text())
    warnings = [w for w in summary["warnings"] if "--fragment-tol" in w]
    assert len(warnings) == 1 and ion_trap.name in warnings[0] and orbitrap.name not in warnings[0]
    assert "far narrower" in printed and printed.count("far narrower") == 1
    # Forced settings are used as given, for every file.
    used = {name: plan["used"]["fragment_tol"] for name, plan in summary["file_settings"].items()}
    assert used == {orbitrap.name: "10ppm", ion_trap.name: "10ppm"}
