"""Label-free quantification through the command: two generated runs with MS1 scans in
which one protein is four times as abundant in the second run; the three tables, the
summary, the report and mzTab; `--quant none`, MGF without MS1, an experimental design and
a bad one, and the same quantities from a Dask cluster."""

from __future__ import annotations

import importlib.util
import json

import numpy as np
import pandas as pd
import pytest

from _quant_support import SPACING, write_quant_inputs
from tovel_mesk import cli
from tovel_mesk.config import load_settings

FLAGS = ["--threads", "1", "--preset", "ion-trap", "--precursor-tol", "50ppm", "--quiet"]
#: Protein index (in the FASTA) whose abundance is four times higher in the second run.
CHANGED = 3


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("quant_inputs")
    fasta, runs, peptides = write_quant_inputs(folder, [{}, {CHANGED: 4.0}])
    return folder, fasta, runs, peptides


def search(fasta, runs, out, *extra):
    return cli.main(["search", "--fasta", str(fasta), "--output", str(out), *FLAGS, *extra, *map(str, runs)])


@pytest.fixture(scope="module")
def quantified(inputs, tmp_path_factory):
    _, fasta, runs, _ = inputs
    out = tmp_path_factory.mktemp("quantified")
    assert search(fasta, runs, out) == 0
    return out


def test_tables_hold_the_known_quantities(quantified, inputs):
    _, _, runs, peptides = inputs
    names = [r.name for r in runs]
    precursors = pd.read_csv(quantified / "precursors_quant.tsv", sep="\t")
    for name in names:
        assert (precursors[f"intensity_{name}"].dropna() > 0).all()
        identified = precursors[(precursors[f"source_{name}"] == "identified")
                                & precursors[f"intensity_{name}"].notna()]
        assert len(identified) >= 0.8 * len(peptides)
        # Apexes where the peptides were made to elute (every SPACING minutes from 2).
        apex = identified[f"apex_rt_{name}"].to_numpy()
        assert np.all(np.abs((apex - 2.0) / SPACING - np.round((apex - 2.0) / SPACING)) * SPACING < 0.1)
    assert precursors["isotope_quality"].dropna().between(0.9, 1.0).all()
    for suffix in ("tsv", "parquet"):
        for table in ("precursors_quant", "peptides_quant", "proteins_quant"):
            assert (quantified / f"{table}.{suffix}").is_file()
    # Proteins: the changed one four times as abundant in the second run, the others alike.
    proteins = pd.read_csv(quantified / "proteins_quant.tsv", sep="\t")
    groups = pd.read_csv(quantified / "proteins.tsv", sep="\t")
    lead = groups.set_index("group")["lead"]
    ratio = proteins[f"intensity_{names[1]}"] / proteins[f"intensity_{names[0]}"]
    changed = proteins["protein_group"].map(lead).str.contains(f"Q{CHANGED:04d}")
    assert changed.sum() == 1 and ratio[changed].iloc[0] == pytest.approx(4.0, rel=0.2)
    assert ratio[~changed].between(0.8, 1.25).all()
    assert (proteins["peptides_used"] >= 1).all()


def test_summary_report_and_mztab_tell_what_was_done(quantified):
    summary = json.loads((quantified / "summary.json").read_text())
    quant = summary["quant"]
    assert quant["method"] == "lfq" and quant["requested"] == "auto" and len(quant["runs"]) == 2
    assert quant["precursors_quantified"] > 0 and quant["ions"] >= quant["precursors_quantified"]
    assert 8.0 <= quant["ms1_bytes_per_peak"] <= 12.0
    assert "quant" in summary["stages"] and summary["settings"]["quant"] == "auto"
    page = (quantified / "report.html").read_text()
    for caption in ("Extracted chromatogram, best isotope quality", "Retention time alignment of the runs",
                    "Correlation of runs", "Coefficient of variation of protein quantities",
                    "Missing values before and after match-between-runs"):
        assert caption in page
    assert "Label-free quantification of" in page
    mztab = pytest.importorskip("pyteomics.mztab").MzTab(str(quantified / "results.mztab"))
    assert mztab.metadata["mzTab-type"] == "Quantification"
    abundances = mztab.protein_table.filter(like="protein_abundance_study_variable[").astype(float)
    assert abundances.notna().all(axis=None)


def test_quant_none_and_mgf_leave_no_quantification(inputs, tmp_path, capsys):
    folder, fasta, runs, _ = inputs
    assert search(fasta, runs, tmp_path / "none", "--quant", "none") == 0
    summary = json.loads((tmp_path / "none" / "summary.json").read_text())
    assert summary["quant"]["method"] == "none" and summary["quant"]["notes"] == []
    assert not list((tmp_path / "none").glob("*_quant.*"))
    assert "Quantification</h2>" not in (tmp_path / "none" / "report.html").read_text()
    # MGF files hold no MS1 scans: said on the console, in the summary and the report.
    mgf = folder / "quant0.mgf"
    from tovel_mesk.io.spectra import SpectraReader
    lines = []
    for chunk in SpectraReader(runs[0], top_peaks=None):
        for s in chunk:
            precursor = s.precursors[0]
            lines += ["BEGIN IONS", f"TITLE={s.id}", f"PEPMASS={precursor.mz}", f"CHARGE={precursor.charge}+",
                      *(f"{m + 1.0072764} {i}" for m, i in s.peaks), "END IONS"]
    mgf.write_text("\n".join(lines) + "\n")
    capsys.readouterr()
    assert cli.main(["search", "--fasta", str(fasta), "--output", str(tmp_path / "mgf"), *FLAGS, str(mgf)]) == 0
    said = "quant0.mgf: MGF files hold no MS1 scans; not quantified"
    assert f"  note: {said}" in capsys.readouterr().out
    summary = json.loads((tmp_path / "mgf" / "summary.json").read_text())
    assert summary["quant"]["notes"] == [said, "label-free quantification off: no searched file holds MS1 scans "
                                                "(--quant auto)"]
    assert said in (tmp_path / "mgf" / "report.html").read_text()
    assert not list((tmp_path / "mgf").glob("*_quant.*"))


def test_a_design_makes_samples_and_a_bad_one_stops_before_the_search(inputs, tmp_path, capsys):
    folder, fasta, runs, _ = inputs
    design = folder / "design.tsv"
    design.write_text("Fraction_Group\tFraction\tSpectra_Filepath\tLabel\tSample\n"
                      f"1\t1\t{runs[0].name}\t1\tpooled\n1\t2\t{runs[1].name}\t1\tpooled\n")
    assert search(fasta, runs, tmp_path / "design", "--design", str(design)) == 0
    proteins = pd.read_csv(tmp_path / "design" / "proteins_quant.tsv", sep="\t")
    assert [c for c in proteins.columns if c.startswith("intensity_")] == ["intensity_pooled"]
    # A design that names the same fraction twice: refused with the line, nothing searched.
    design.write_text("Fraction_Group\tFraction\tSpectra_Filepath\tLabel\tSample\n"
                      f"1\t1\t{runs[0].name}\t1\tA\n1\t1\t{runs[1].name}\t1\tA\n")
    capsys.readouterr()
    assert search(fasta, runs, tmp_path / "bad", "--design", str(design)) == 2
    error = capsys.readouterr().err
    assert str(design) in error and "line 3" in error
    assert not (tmp_path / "bad").exists() or not any((tmp_path / "bad").iterdir())
    # A design given with isobaric quantification is a usage error too.
    assert search(fasta, runs, tmp_path / "bad", "--design", str(design), "--quant", "tmt6") == 2


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs tovel-mesk[distributed]")
def test_a_cluster_brings_the_ms1_scans_back_with_each_file(inputs, quantified):
    import logging

    import distributed

    from tovel_mesk.search.cluster import search_on_cluster

    _, fasta, runs, _ = inputs
    settings = load_settings({"fasta": fasta, "spectra": list(runs), "threads": 1, "preset": "ion-trap",
                              "precursor_tol": "50ppm", "quiet": True})
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        outcome = search_on_cluster(settings, client=client)
    assert not any(f.ms1 for f in outcome.files)   # released once quantified
    local = pd.read_parquet(quantified / "precursors_quant.parquet")
    pd.testing.assert_frame_equal(outcome.quant.precursors.reset_index(drop=True), local)
    assert outcome.summary.quant["runs"] == [r.name for r in runs]
