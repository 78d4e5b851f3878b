"""quantify_lfq end to end on generated runs with known presence: match-between-runs and its
error control, the table layout, fractions of samples, options and bad input."""

from __future__ import annotations

import json

import numpy as np
import pandas as pd
import pytest

from _ms1_runs import make_runs
from tovel_mesk.quant.design import Design, DesignRow
from tovel_mesk.quant.lfq import LfqOptions, quantify_lfq


@pytest.fixture(scope="module")
def generated():
    runs, ions, truth = make_runs(n_peptides=150, n_runs=3, seed=11, noise_peaks=400, gradient=40.0)
    protein_of = {p: i // 4 for i, p in enumerate(truth.peptides)}
    return runs, ions, truth, protein_of


def truth_rows(result, truth):
    at = {p: i for i, p in enumerate(truth.peptides)}
    return np.array([at[p] for p in result.precursors["peptide"]])


def test_match_between_runs_on_known_presence(generated):
    runs, ions, truth, protein_of = generated
    result = quantify_lfq(runs, ions, protein_of)
    rows = truth_rows(result, truth)
    transferred = false = recoverable = 0
    for j, name in enumerate(runs):
        source = result.precursors[f"source_{name}"].to_numpy()
        moved = source == "transferred"
        transferred += moved.sum()
        false += (moved & ~truth.present[rows, j]).sum()
        recoverable += (truth.present[rows, j] & ~truth.identified[rows, j]).sum()
        assert set(source) <= {"identified", "transferred", ""}
        q = result.precursors[f"transfer_q_{name}"].to_numpy()
        assert (q[moved] <= 0.01).all() and np.isnan(q[~moved]).all()
        assert np.isfinite(result.precursors.loc[moved, f"intensity_{name}"]).all()
        # identified ions are quantified where they were identified, at their apex
        ident = source == "identified"
        apex = result.precursors.loc[ident, f"apex_rt_{name}"].to_numpy()
        assert np.isfinite(apex).mean() > 0.95
    assert transferred >= 0.8 * recoverable
    assert false <= max(1, 0.02 * transferred)
    counts = result.diagnostics["transfers"]
    assert counts["transfers"] == transferred
    missing = result.diagnostics["missing_values"]
    assert missing["after_mbr"] == missing["before_mbr"] - transferred
    # identified intensities follow the generated abundance
    name = list(runs)[0]
    ok = (result.precursors[f"source_{name}"] == "identified").to_numpy()
    area = result.precursors.loc[ok, f"intensity_{name}"].to_numpy()
    fine = np.isfinite(area)
    r = np.corrcoef(np.log(area[fine]), np.log(truth.abundance[rows[ok][fine], 0]))[0, 1]
    assert r > 0.95


def test_tables_and_diagnostics_layout(generated):
    runs, ions, truth, protein_of = generated
    result = quantify_lfq(runs, ions, protein_of, options=LfqOptions(protein_quant="top3"))
    names = list(runs)
    for name in names:
        for prefix in ("intensity_", "source_", "apex_rt_", "transfer_q_"):
            assert f"{prefix}{name}" in result.precursors.columns
    assert {"peptide", "sequence", "charge", "mz", "isotope_quality", "protein_group"} <= set(result.precursors.columns)
    assert not result.precursors.duplicated(["peptide", "charge"]).any()
    assert list(result.peptides.columns) == ["peptide", "sequence", "protein_group",
                                             *[f"intensity_{n}" for n in names]]
    assert list(result.proteins.columns) == ["protein_group", *[f"intensity_{n}" for n in names], "peptides_used"]
    assert (result.proteins["peptides_used"] >= 1).all()
    d = result.diagnostics
    assert [c["which"] for c in d["chromatograms"]] == ["best", "median", "worst"]
    assert len(d["chromatograms"][0]["traces"]) == 3
    assert d["reference_run"] in names and set(d["alignment"]) == set(names)
    corr = np.array(d["run_correlation"])
    assert corr.shape == (3, 3) and np.allclose(np.diag(corr), 1.0)
    assert set(d["normalisation"]["factors"]) == set(names)
    for example in d["chromatograms"]:
        assert example["start_rt"] <= example["apex_rt"] <= example["end_rt"] and example["points"] >= 3
    assert all(len(a["curve_run"]) == len(a["curve_reference"]) == 50 for a in d["alignment"].values())
    json.dumps(d, allow_nan=False)   # plain numbers only: the report and summary.json take them as they are


def test_same_input_same_numbers(generated):
    runs, ions, truth, protein_of = generated
    a = quantify_lfq(runs, ions, protein_of)
    b = quantify_lfq(runs, ions.sample(frac=1.0, random_state=4), protein_of)
    pd.testing.assert_frame_equal(a.precursors, b.precursors)
    pd.testing.assert_frame_equal(a.proteins, b.proteins)


def test_one_run_or_mbr_off(generated):
    runs, ions, truth, protein_of = generated
    first = list(runs)[0]
    single = quantify_lfq({first: runs[first]}, ions[ions["file"] == first], protein_of)
    assert "match-between-runs off: only one run" in single.notes
    assert (single.precursors[f"source_{first}"] != "transferred").all()
    off = quantify_lfq(runs, ions, protein_of, options=LfqOptions(mbr=False))
    assert any("off (asked)" in n for n in off.notes)
    assert off.diagnostics["transfers"]["transfers"] == 0


def test_fractions_are_summed_into_samples(generated):
    runs, ions, truth, protein_of = generated
    names = list(runs)
    # runs 1 and 2 are fractions of sample S; run 3 is sample T
    design = Design("d.tsv", (DesignRow(1, 1, names[0], 1, "S", 2), DesignRow(1, 2, names[1], 1, "S", 3),
                              DesignRow(2, 1, names[2], 1, "T", 4)), ("S", "T"))
    result = quantify_lfq(runs, ions, protein_of, design=design, options=LfqOptions(normalise=False, mbr=False))
    pre = result.precursors
    both = pre[[f"intensity_{names[0]}", f"intensity_{names[1]}"]]
    expected = both.sum(axis=1, min_count=1).groupby(pre["peptide"]).sum(min_count=1)
    got = result.peptides.set_index("peptide")["intensity_S"]
    pd.testing.assert_series_equal(got.loc[expected.index], expected, check_names=False)
    assert list(result.proteins.columns) == ["protein_group", "intensity_S", "intensity_T", "peptides_used"]
    # match-between-runs pairs the same fraction of different samples only
    transfers = quantify_lfq(runs, ions, protein_of, design=design).precursors
    assert (transfers[f"source_{names[1]}"] != "transferred").all()
    assert (transfers[f"source_{names[2]}"] == "transferred").any()


def test_peptides_without_a_protein_group_and_bad_input(generated):
    runs, ions, truth, _ = generated
    result = quantify_lfq(runs, ions, {})
    assert result.proteins.empty and any("without a protein group" in n for n in result.notes)
    with pytest.raises(ValueError, match="ppm_offset"):
        quantify_lfq(runs, ions.drop(columns="ppm_offset"), {})
    with pytest.raises(ValueError, match="other.mzML"):
        quantify_lfq(runs, ions.assign(file="other.mzML"), {})
    with pytest.raises(ValueError, match="protein_quant"):
        LfqOptions(protein_quant="median")
    with pytest.raises(ValueError, match="fdr"):
        LfqOptions(fdr=0)


def test_an_early_match_on_a_small_bump_does_not_pick_the_peak():
    # One ion, matched twice in one run: the better match (q 0) at 1.0 min on a small bump,
    # a second at 2.05 min on the main peak; the ion's feature is the main peak.
    from tovel_mesk.quant.features import ISOTOPE_SPACING, expected_isotopes, ion_mz
    from tovel_mesk.quant.ms1 import Ms1Builder
    mass, charge = 1400.0, 2
    mz, pattern = float(ion_mz(mass, charge)), expected_isotopes(mass)[0]
    builder = Ms1Builder("a.mzML")
    for i in range(60):
        t = i * 0.05
        h = 2e3 * np.exp(-0.5 * ((t - 1.0) / 0.05) ** 2) + 1e6 * np.exp(-0.5 * ((t - 2.0) / 0.08) ** 2)
        builder.add(t, mz + np.arange(3) * ISOTOPE_SPACING / charge, h * pattern + 1.0)
    ions = pd.DataFrame({"file": "a.mzML", "peptide": "PEPTIDEK", "sequence": "PEPTIDEK", "charge": charge,
                         "calcmass": mass, "rt": [1.0, 2.05], "spectrum_q": [0.0, 0.001], "ppm_offset": 0.0,
                         "ppm_tolerance": 10.0})
    result = quantify_lfq({"a.mzML": builder.finish()}, ions, {"PEPTIDEK": 1})
    row = result.precursors.iloc[0]
    assert row["apex_rt_a.mzML"] == pytest.approx(2.0)
    assert row["intensity_a.mzML"] > 1e5
