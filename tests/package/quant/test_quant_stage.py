"""The quantification stage between error control and the outputs: which matches become
ions, with what offset and tolerance; what is done, and said, when nothing can be
quantified; the tables and mzTab abundances it leaves."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from tovel_mesk.config import SearchSettings
from tovel_mesk.conventions import PROTON_MASS, Tolerance
from tovel_mesk.progress import Progress
from tovel_mesk.quant.ms1 import Ms1Builder
from tovel_mesk.search.calibration import ErrorModel
from tovel_mesk.search.outcome import FileResult
from tovel_mesk.search.quantify import ION_COLUMNS, accepted_ions, quantify_search


def _file(name, tol, error=None, ms1=None, notes=()):
    f = FileResult(name, name, 0, {}, 0, 0, {})
    f.precursor_tol, f.precursor_error, f.ms1, f.ms1_notes = tol, error, ms1, list(notes)
    return f


def _psms():
    return pd.DataFrame({
        "file": ["a.mzML", "a.mzML", "a.mzML", "b.mzML", "b.mzML", "b.mzML"],
        "peptide": ["PEPTIDEK", "DECOYK", "LOWRANKK", "PEPTIDEK", "WEAKR", "PEPTIDEK"],
        "sequence": ["PEPTIDEK", "DECOYK", "LOWRANKK", "PEPTIDEK", "WEAKR", "PEPTIDEK"],
        "charge": np.array([2, 2, 3, 3, 2, 2], dtype=np.uint8),
        "calcmass": np.array([1000.0, 900.0, 1100.0, 1000.0, 800.0, 1000.0], dtype=np.float32),
        "rt": [10.0, 11.0, 12.0, 20.0, 21.0, 22.0],
        "label": [1, -1, 1, 1, 1, 1], "rank": [1, 1, 2, 1, 1, 1],
        "spectrum_q": [0.001, 0.001, 0.001, 0.005, 0.2, 0.01],
    })


def test_accepted_ions_are_best_target_matches_with_their_files_calibration():
    files = [_file("a.mzML", Tolerance(-10.0, 20.0, "ppm"), ErrorModel(offset=2.5, mz_slope=1.0, mz_centre=501.0)),
             _file("b.mzML", Tolerance(-0.5, 0.5, "da"))]
    ions = accepted_ions(_psms(), files, 0.01)
    assert list(ions.columns) == list(ION_COLUMNS)
    # Decoys, lower ranks and matches above the threshold are left out; q = fdr is kept.
    assert ions["peptide"].tolist() == ["PEPTIDEK", "PEPTIDEK", "PEPTIDEK"]
    assert ions["charge"].tolist() == [2, 3, 2] and ions["rt"].tolist() == [10.0, 20.0, 22.0]
    mz = (1000.0 + 2 * PROTON_MASS) / 2
    # The offset is the file's model at the ion's m/z and retention time; none without one.
    assert ions["ppm_offset"].tolist() == pytest.approx([2.5 + (mz - 501.0) / 1000.0, 0.0, 0.0])
    # The wider side of an asymmetric ppm window; a window in Da as ppm at the ion's m/z.
    mz3 = (1000.0 + 3 * PROTON_MASS) / 3
    assert ions["ppm_tolerance"].tolist() == pytest.approx([20.0, 0.5 / mz3 * 1e6, 0.5 / mz * 1e6])


def _run(name):
    builder = Ms1Builder(name)
    builder.add(10.0, np.array([501.0]), np.array([1e5]))
    return builder.finish()


@pytest.mark.parametrize("quant, files, said", [
    ("none", [_file("a.mzML", None, ms1=_run("a.mzML"))], []),
    # Reporter ions are quantified apart, after the tables: this stage leaves them be.
    ("tmt10", [_file("a.mzML", None, ms1=_run("a.mzML"))], []),
    ("auto", [_file("a.mgf", None, notes=["a.mgf: MGF files hold no MS1 scans; not quantified"])],
     ["a.mgf: MGF files hold no MS1 scans; not quantified",
      "label-free quantification off: no searched file holds MS1 scans (--quant auto)"]),
    ("lfq", [_file("a.mzML", None, ms1=_run("a.mzML"))],
     ["label-free quantification off: no accepted match at q <= 0.01 in the files with MS1 scans"]),
])
def test_what_is_not_quantified_is_said(quant, files, said):
    progress = Progress(False)
    psms = _psms().assign(file="elsewhere.mzML")
    result, stage = quantify_search(SearchSettings(quant=quant), files, psms, pd.Series(dtype=np.int64), progress)
    assert result is None and stage.method == "none" and stage.requested == quant
    assert stage.notes == said
    assert stage.as_dict()["notes"] == said
    # The console summary says it, quiet or not.
    from tovel_mesk.report.html import format_summary

    text = format_summary({"quant": stage.as_dict()})
    assert all(f"  note: {n}" in text for n in said)
    assert ("quantification: none" in text) == (quant != "none" or bool(said))


def test_one_run_with_match_between_runs_asked_for_says_it_is_off():
    files = [_file("a.mzML", Tolerance(-10.0, 10.0, "ppm"), ms1=_run("a.mzML"))]
    psms = _psms()[lambda t: t["file"] == "a.mzML"]
    result, stage = quantify_search(SearchSettings(quant="lfq", mbr=True), files, psms,
                                    pd.Series({"PEPTIDEK": 1}), Progress(False))
    assert result is not None and stage.method == "lfq" and stage.runs == ["a.mzML"] and stage.ions == 1
    assert "match-between-runs off: only one run" in stage.notes
    record = stage.as_dict()
    assert record["ms1_peaks"] == 1 and record["ms1_bytes_per_peak"] == pytest.approx((8 + 16 + 8) / 1)


def test_a_failed_quantification_keeps_the_search_and_says_why(monkeypatch):
    from tovel_mesk.quant import lfq

    def broken(*args, **kwargs):
        raise ValueError("a fault\nover two lines")

    monkeypatch.setattr(lfq, "quantify_lfq", broken)
    monkeypatch.delenv("TOVEL_MESK_DEBUG", raising=False)
    files = [_file("a.mzML", Tolerance(-10.0, 10.0, "ppm"), ms1=_run("a.mzML"))]
    result, stage = quantify_search(SearchSettings(quant="lfq"), files, _psms()[lambda t: t["file"] == "a.mzML"],
                                    pd.Series({"PEPTIDEK": 1}), Progress(False))
    assert result is None and stage.method == "none" and stage.failed.startswith("ValueError: a fault")
    assert "\n" not in stage.notes[-1] and stage.notes[-1].endswith("the identifications are written without quantities")
    # A bad input is the user's to fix, not a fallback.
    from tovel_mesk.errors import DesignError

    def refused(*args, **kwargs):
        raise DesignError("design.tsv, line 2: no such file")

    monkeypatch.setattr(lfq, "quantify_lfq", refused)
    with pytest.raises(DesignError):
        quantify_search(SearchSettings(quant="lfq"), files, _psms()[lambda t: t["file"] == "a.mzML"],
                        pd.Series({"PEPTIDEK": 1}), Progress(False))


def _result():
    precursors = pd.DataFrame({"peptide": ["PEPTIDEK", "AC[+57.0215]K"], "charge": [2, 3],
                               "intensity_a.mzML": [1.5e6, np.nan], "source_a.mzML": ["identified", ""],
                               "intensity_b.mzML": [2.5e6, 7.0e5], "source_b.mzML": ["transferred", "identified"],
                               "isotope_quality": [0.98, np.nan]})
    peptides = pd.DataFrame({"peptide": ["PEPTIDEK", "AC[+57.0215]K"], "protein_group": [1, 2],
                             "intensity_a.mzML": [1.5e6, np.nan], "intensity_b.mzML": [2.5e6, 7.0e5]})
    proteins = pd.DataFrame({"group": [1, 2], "peptides_used": [1, 1],
                             "intensity_a.mzML": [1.5e6, np.nan], "intensity_b.mzML": [2.5e6, 7.0e5]})
    return SimpleNamespace(precursors=precursors, peptides=peptides, proteins=proteins, diagnostics={}, notes=[])


def test_tables_round_trip_and_a_later_search_without_them_leaves_none(tmp_path):
    from _tables import best_per, match_table
    from tovel_mesk.report.tables import write_outputs

    psms = match_table(300)
    peptides, proteins = best_per(psms, "peptide", "peptide_q"), best_per(psms, "proteins", "protein_q")
    result = _result()
    written = write_outputs(tmp_path, psms, peptides, proteins, {}, report=False, quant=result)
    for name, frame in (("precursors_quant", result.precursors), ("peptides_quant", result.peptides),
                        ("proteins_quant", result.proteins)):
        assert tmp_path / f"{name}.tsv" in written and tmp_path / f"{name}.parquet" in written
        pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / f"{name}.parquet"), frame)
        numeric = {c: [""] for c in frame if not c.startswith("source_")}
        text = pd.read_csv(tmp_path / f"{name}.tsv", sep="\t", keep_default_na=False, na_values=numeric)
        # A quantity not measured is an empty field, never 0; text stays text.
        pd.testing.assert_frame_equal(text, frame.fillna({c: "" for c in frame if c.startswith("source_")}),
                                      check_dtype=False)
    # The next search in the folder quantifies nothing: no stale table of the last one stays.
    write_outputs(tmp_path, psms, peptides, proteins, {}, report=False)
    assert not list(tmp_path.glob("*_quant.*"))


def test_mztab_carries_the_abundances_and_reads_back(tmp_path):
    pyteomics_mztab = pytest.importorskip("pyteomics.mztab")
    from tovel_mesk.report.mztab import write_mztab

    result = _result()
    psms = pd.DataFrame({"file": ["a.mzML", "b.mzML"], "spec_id": ["scan=1", "scan=2"], "rank": [1, 1],
                         "label": [1, 1], "peptide": ["PEPTIDEK", "AC[+57.0215]K"], "charge": [2, 3],
                         "expmass": [927.45, 363.15], "calcmass": [927.45, 363.15], "rt": [1.0, 2.0],
                         "proteins": ["P1", "P2"], "spectrum_q": [0.001, 0.002], "peptide_q": [0.001, 0.002],
                         "discriminant_score": [3.0, 2.0], "posterior_error": [0.01, 0.02]})
    proteins = pd.DataFrame({"group": [2, 1], "accessions": ["P2", "P1"], "lead": ["P2", "P1"], "q": [0.0, 0.0]})
    path = tmp_path / "results.mztab"
    write_mztab(path, psms, psms, proteins, {"fasta": "x.fasta"}, fdr=0.01, spectra_files=["a.mzML", "b.mzML"],
                quant=result)
    tables = pyteomics_mztab.MzTab(str(path))
    assert tables.variant == "P" and tables.metadata["mzTab-type"] == "Quantification"
    assert tables.metadata["assay[2]-ms_run_ref"] == "ms_run[2]"
    assert tables.metadata["study_variable[1]-assay_refs"] == "assay[1]"
    prt = tables.protein_table
    # Rows of the protein section follow the group table; group 2 was not measured in a.
    assert prt.loc["P1", "protein_abundance_assay[1]"] == pytest.approx(1.5e6)
    assert prt.loc["P1", "protein_abundance_study_variable[2]"] == pytest.approx(2.5e6)
    assert pd.isna(prt.loc["P2", "protein_abundance_study_variable[1]"])
    pep = tables.peptide_table
    assert pep["peptide_abundance_study_variable[2]"].astype(float).tolist() == pytest.approx([2.5e6, 7.0e5])
    # Without a quantification: an identification file as before.
    write_mztab(path, psms, psms, proteins, {"fasta": "x.fasta"}, fdr=0.01)
    assert "abundance" not in path.read_text() and "Identification" in path.read_text()
