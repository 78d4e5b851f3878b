"""Isobaric quantification end to end, on generated runs with known reporter ratios and
reagent impurities: the ratios come back after correction (MS2 and SPS-MS3 runs), spectra
of impure precursors are left out and counted, the reporter columns are written but never
given to the rescorer, and a bad lot sheet stops the search before it starts."""

from __future__ import annotations

import json
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tovel_mesk.config import load_settings
from tovel_mesk.errors import ConfigError
from tovel_mesk.pipeline import run_search
from tovel_mesk.report.html import format_summary

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import isobaric_runs  # noqa: E402

SEARCH = {"threads": 1, "quiet": True, "preset": "tmt10"}


def search(folder: Path, out: Path, **flags):
    settings = load_settings({"fasta": folder / "proteins.fasta", "spectra": [folder / "run.mzML"], **SEARCH,
                              **flags})
    outcome = run_search(settings)
    outcome.write(out)
    return outcome


def ratio_errors(table: pd.DataFrame, truth: isobaric_runs.Truth) -> np.ndarray:
    """|observed ratio / true ratio - 1| of every channel against the first, per group."""
    columns = [c for c in table.columns if c.startswith("intensity_")]
    errors = []
    for lead, values in zip(table["lead"], table[columns].to_numpy(dtype=float)):
        true = truth.ratios[lead]
        errors.extend(np.abs(values[1:] / values[0] / (true[1:] / true[0]) - 1))
    return np.asarray(errors)


@pytest.fixture(scope="module")
def ms2_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ms2")
    *_, truth = isobaric_runs.simulate(folder, spectra=300, ratio_noise=0.01, seed=11)
    return folder, truth


def test_corrected_ratios_come_back_within_2_percent(ms2_run, tmp_path):
    folder, truth = ms2_run
    outcome = search(folder, tmp_path / "out", impurities=folder / "impurities.tsv")
    table = pd.read_csv(tmp_path / "out" / "proteins_quant.tsv", sep="\t")
    assert len(table) > 20 and (table["psms_used"] >= 1).all()
    assert np.median(ratio_errors(table, truth)) <= 0.02
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "out" / "proteins_quant.parquet"), table,
                                  check_dtype=False, rtol=1e-12)
    psms = pd.read_csv(tmp_path / "out" / "psms.tsv", sep="\t")
    assert {"reporter_127C", "reporter_mz_error_127C", "precursor_purity", "interference"} <= set(psms.columns)
    accepted = psms[(psms["label"] == 1) & (psms["spectrum_q"] <= 0.01)]
    assert accepted["reporter_mz_error_126"].abs().max() < 20
    # Quantities are no features: the rescorer's input leaves them out.
    header = (tmp_path / "out" / "results.pin").read_text().split("\n", 1)[0]
    assert "reporter" not in header and "purity" not in header
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    quant = summary["quant"]
    assert quant["impurity_correction"] and quant["counts"]["quantified_spectra"] == len(accepted)
    assert summary["file_settings"]["run.mzML"]["reporters"] == {"plex": "tmt10", "reporter_spectra": "MS2",
                                                                  "window": "20 ppm"}
    assert outcome.quant is not None and len(outcome.quant.proteins) == len(table)
    # Said on the console and in the report, with the counts.
    assert (f"quantification: tmt10 reporter ions, {len(accepted):,} of {len(accepted):,} accepted spectra quantified"
            in format_summary(outcome.summary))
    assert "Isobaric quantification: tmt10 reporter ions" in (tmp_path / "out" / "report.html").read_text()

    # Without the lot sheet the impurities stay in the ratios, and the summary says so.
    search(folder, tmp_path / "raw")
    raw = pd.read_csv(tmp_path / "raw" / "proteins_quant.tsv", sep="\t")
    assert np.median(ratio_errors(raw, truth)) > 0.02
    notes = json.loads((tmp_path / "raw" / "summary.json").read_text())["quant"]["notes"]
    assert any("not corrected for isotope impurities" in n for n in notes)


def test_sps_ms3_run_quantified_from_its_ms3_spectra(tmp_path):
    folder = tmp_path / "sps"
    folder.mkdir()
    *_, truth = isobaric_runs.simulate(folder, spectra=250, ms3=True, seed=12)
    search(folder, tmp_path / "out", impurities=folder / "impurities.tsv", protein_quant="sum")
    table = pd.read_csv(tmp_path / "out" / "proteins_quant.tsv", sep="\t")
    assert len(table) > 20 and np.median(ratio_errors(table, truth)) <= 0.02
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    run = summary["quant"]["files"]["run.mzML"]
    assert run["reporter_spectra"] == "MS3" and run["ms3_linked"] == 250 and run["ms3_unlinked"] == 0
    assert summary["quant"]["roll_up"] == "sum"


def test_impure_precursors_dropped_and_counted(tmp_path):
    folder = tmp_path / "mixed"
    folder.mkdir()
    isobaric_runs.simulate(folder, spectra=200, interfered=0.4, seed=13)
    outcome = search(folder, tmp_path / "out", min_purity=0.6)
    counts = outcome.summary.quant["counts"]
    psms = outcome.psms
    accepted = psms[(psms["label"] == 1) & (psms["rank"] == 1) & (psms["spectrum_q"] <= 0.01)]
    impure = int((accepted["precursor_purity"] < 0.6).sum())
    assert impure > 20 and counts["below_purity"] == impure
    assert counts["quantified_spectra"] == len(accepted) - impure
    assert np.allclose(accepted["interference"], 1 - accepted["precursor_purity"])
    assert any("precursor purity below 0.6" in n for n in outcome.summary.quant["notes"])


def test_bad_lot_sheet_and_window_stop_the_search_before_it_starts(ms2_run, tmp_path):
    folder, _ = ms2_run
    sheet = tmp_path / "lot.tsv"
    sheet.write_text("channel\t-2\t-1\t+1\t+2\n126\t0\t1\t2\t0\n127X\t0\t1\t2\t0\n")
    with pytest.raises(ConfigError, match=r"lot\.tsv, line 3: unknown channel '127X'"):
        search(folder, tmp_path / "out", impurities=sheet)
    with pytest.raises(ConfigError, match="reaches into the neighbouring channel"):
        search(folder, tmp_path / "out", reporter_tol="40ppm")
    with pytest.raises(ConfigError, match="--impurities corrects reporter ions"):
        load_settings({"quant": "none", "impurities": sheet})
    assert not (tmp_path / "out").exists()


def test_a_cluster_brings_the_reporters_back_with_each_file(ms2_run, tmp_path):
    import logging

    distributed = pytest.importorskip("distributed")

    from tovel_mesk.search.cluster import search_on_cluster

    folder, _ = ms2_run
    settings = load_settings({"fasta": folder / "proteins.fasta", "spectra": [folder / "run.mzML"], **SEARCH,
                              "impurities": folder / "impurities.tsv"})
    local = run_search(settings)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        remote = search_on_cluster(settings, client=client)
    pd.testing.assert_frame_equal(remote.quant.proteins, local.quant.proteins)
    columns = [c for c in local.psms.columns if c.startswith("reporter_") or c == "precursor_purity"]
    pd.testing.assert_frame_equal(remote.psms[columns], local.psms[columns])
