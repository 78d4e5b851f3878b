"""The output folder: every file written from a generated match table, read back."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from _tables import best_per, match_table
from tovel_mesk.report import tables as outputs
from tovel_mesk.columns import CORE_FEATURES, ERROR_CONTROL, IDENTITY, MASSES, NOT_WRITTEN, PEPTIDE, written

WRITTEN_FEATURES = written(CORE_FEATURES)
EXPECTED_ORDER = [*IDENTITY, *PEPTIDE, *MASSES, *WRITTEN_FEATURES, "xcorr", *ERROR_CONTROL]
TEXT = ["file", "spec_id", "peptide", "sequence", "proteins"]
SUMMARY = {
    "files": [{"file": "run_a.mzML", "spectra_read": np.int64(120), "spectra_searched": 118, "matches": 236}],
    "stages": {"scoring": np.float32(1.5), "writing": 0.25},
    "settings": {"fasta": Path("/data/p.fasta"), "charges": (2, 4), "tolerance": float("nan")},
}


def tables(n=300, **kw):
    psms = match_table(n, **kw)
    return psms, best_per(psms, "peptide", "peptide_q"), best_per(psms, "proteins", "protein_q")


def write(directory, psms):
    _, peptides, proteins = tables(4)
    return outputs.write_outputs(directory, psms, peptides, proteins, SUMMARY, report=False)


def read_tsv(path, like: pd.DataFrame) -> pd.DataFrame:
    """A written TSV with the dtypes of the frame it came from."""
    read = pd.read_csv(path, sep="\t", dtype={c: str for c in TEXT if c in like.columns}, keep_default_na=False,
                       na_values={c: ["", "nan"] for c in like.columns if c not in TEXT})
    return read.astype({c: like[c].dtype for c in like.columns})


def test_column_order_and_checks():
    psms = match_table(10)
    assert outputs.psm_columns(psms) == EXPECTED_ORDER
    shuffled = psms[list(reversed(psms.columns))]
    assert outputs.psm_columns(shuffled) == EXPECTED_ORDER
    # The columns that are never written need not be there.
    assert outputs.psm_columns(psms.drop(columns=list(NOT_WRITTEN))) == EXPECTED_ORDER
    with pytest.raises(ValueError, match="lacks the columns spectrum_q, protein_q"):
        outputs.psm_columns(psms.drop(columns=["spectrum_q", "protein_q"]))
    with pytest.raises(ValueError, match="lacks the columns hyperscore"):
        outputs.psm_columns(psms.drop(columns=["hyperscore"]))
    with pytest.raises(ValueError, match="note are neither named match columns nor numeric"):
        outputs.psm_columns(psms.assign(note="x"))


def test_every_file_round_trips(tmp_path):
    psms, peptides, proteins = tables()
    paths = outputs.write_outputs(tmp_path, psms, peptides, proteins, SUMMARY, report=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in paths)
    assert len(paths) == 6
    expected = outputs.with_derived_columns(psms)[EXPECTED_ORDER]

    parquet = pd.read_parquet(tmp_path / "psms.parquet")
    pd.testing.assert_frame_equal(parquet, expected)

    tsv = read_tsv(tmp_path / "psms.tsv", expected)
    assert list(tsv.columns) == EXPECTED_ORDER
    pd.testing.assert_frame_equal(tsv, expected)
    assert tsv["peptide"].str.contains(r"\[\+15\.9949\]").any()
    assert tsv["peptide"].str.startswith("[+42.0106]-").any()

    peptides = outputs.with_derived_columns(peptides)
    pd.testing.assert_frame_equal(read_tsv(tmp_path / "peptides.tsv", peptides), peptides)
    pd.testing.assert_frame_equal(read_tsv(tmp_path / "proteins.tsv", proteins), proteins)

    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["files"][0]["spectra_read"] == 120
    assert summary["stages"] == {"scoring": 1.5, "writing": 0.25}
    assert summary["settings"] == {"fasta": "/data/p.fasta", "charges": [2, 4], "tolerance": None}


def test_no_file_holds_the_columns_that_are_never_written(tmp_path):
    # The peptide table's rows are matches, with every match column.
    psms = match_table(60)
    peptides = psms[psms["rank"] == 1].drop_duplicates("peptide").reset_index(drop=True)
    _, _, proteins = tables(4)
    # Written with the columns derived for it (scan, native_id, isotope_step).
    peptides_written = outputs.with_derived_columns(peptides)
    outputs.write_outputs(tmp_path, psms, peptides, proteins, SUMMARY, report=False)
    headers = {
        "psms.parquet": list(pd.read_parquet(tmp_path / "psms.parquet").columns),
        **{name: (tmp_path / name).read_text().splitlines()[0].split("\t")
           for name in ("psms.tsv", "results.pin", "peptides.tsv", "proteins.tsv")},
    }
    for name, header in headers.items():
        assert not set(NOT_WRITTEN) & set(header), name
    assert headers["psms.tsv"] == headers["psms.parquet"] == EXPECTED_ORDER
    assert headers["peptides.tsv"] == written(peptides_written.columns)
    assert headers["proteins.tsv"] == list(proteins.columns)
    # The values of the columns that are written are those of the tables.
    pd.testing.assert_frame_equal(
        read_tsv(tmp_path / "peptides.tsv", peptides_written[written(peptides_written.columns)]),
        peptides_written[written(peptides_written.columns)])


def test_tables_without_rows(tmp_path):
    psms, peptides, proteins = tables(0)
    outputs.write_outputs(tmp_path, psms, peptides, proteins, {}, report=False)
    assert list(pd.read_csv(tmp_path / "psms.tsv", sep="\t").columns) == EXPECTED_ORDER
    assert pd.read_parquet(tmp_path / "psms.parquet").empty
    assert (tmp_path / "results.pin").read_text().startswith("SpecId\tLabel\tScanNr\tExpMass\tCalcMass\trank\t")


def test_text_that_needs_quoting(tmp_path):
    psms = match_table(40)
    psms.loc[3, "spec_id"] = 'title with\ttab and "quotes"'
    psms.loc[5, "spec_id"] = "line\nbreak"
    write(tmp_path, psms)
    tsv = read_tsv(tmp_path / "psms.tsv", outputs.with_derived_columns(psms)[EXPECTED_ORDER])
    assert tsv["spec_id"].tolist() == psms["spec_id"].tolist()
    pin = (tmp_path / "results.pin").read_text().splitlines()
    assert len(pin) == 41
    assert pin[4].startswith('run_a.mzML:title with tab and "quotes":2\t')
    assert pin[6].startswith("run_a.mzML:line break:2\t")


def read_pin_lines(path):
    header, *lines = path.read_text().splitlines()
    names = header.split("\t")
    return names, [line.split("\t", len(names) - 1) for line in lines]


def test_rescorer_input_layout(tmp_path):
    psms = match_table(200, files=("a.mzML", "b.mzML"))
    psms.loc[7, "average_ppm"] = np.inf
    psms.loc[8, "poisson"] = -np.inf
    psms["constant"] = np.float32(0.0)
    write(tmp_path, psms)
    names, rows = read_pin_lines(tmp_path / "results.pin")
    charges = [f"charge{z}" for z in sorted(set(psms["charge"]))]
    features = ["rank", *charges, "delta_mass", "isotope_error", *WRITTEN_FEATURES, "xcorr", "constant"]
    assert names == ["SpecId", "Label", "ScanNr", "ExpMass", "CalcMass", *features, "Peptide", "Proteins"]
    pin = pd.DataFrame(rows, columns=names)
    assert pin["SpecId"].tolist() == [f"{f}:{s}:{r}" for f, s, r in zip(psms["file"], psms["spec_id"], psms["rank"])]
    assert pin["Label"].astype(int).tolist() == psms["label"].tolist()
    assert pin["Peptide"].tolist() == ["-." + p + ".-" for p in psms["peptide"]]
    assert pin["Proteins"].tolist() == [p.replace(";", "\t") for p in psms["proteins"]]
    # One scan number per spectrum: shared by its ranks, never by two files.
    scan = pin["ScanNr"].astype(int)
    assert scan.groupby([psms["file"], psms["spec_id"]], observed=True).nunique().eq(1).all()
    assert scan.nunique() == len(psms[["file", "spec_id"]].drop_duplicates()) == 100
    one_hot = pin[charges].astype(float)
    assert (one_hot.sum(axis=1) == 1).all()
    assert (one_hot.to_numpy().argmax(axis=1) == np.searchsorted(sorted(set(psms["charge"])), psms["charge"])).all()
    # Values a rescorer can read: NaN as 0, infinities as the column's finite extremes.
    ppm = pin["average_ppm"].astype(float)
    assert np.isfinite(ppm).all()
    assert (ppm[psms["average_ppm"].isna()] == 0).all()
    assert np.float32(ppm[7]) == psms["average_ppm"][np.isfinite(psms["average_ppm"])].max()
    assert float(pin["poisson"][8]) == psms["poisson"][np.isfinite(psms["poisson"])].min()
    assert pin["hyperscore"].astype(float).tolist() == psms["hyperscore"].tolist()
    # Whole-number features carry a decimal point, so readers take them as floats.
    assert pin["matched_peaks"].tolist() == [f"{v}.0" for v in psms["matched_peaks"]]
    assert set(pin["rank"]) == {"1.0", "2.0"} and set(pin["constant"]) == {"0.0"}


@pytest.mark.filterwarnings("ignore::FutureWarning")
def test_mokapot_reads_the_rescorer_input(tmp_path):
    mokapot = pytest.importorskip("mokapot")
    if int(pd.__version__.split(".")[0]) >= 3:
        pytest.skip("mokapot 0.10 reads Percolator input only under pandas 2")
    psms = match_table(400)
    write(tmp_path, psms)
    dataset = mokapot.read_pin(str(tmp_path / "results.pin"))
    assert len(dataset.data) == 400
    assert dataset.targets.sum() == (psms["label"] == 1).sum()
    assert list(dataset.spectra.columns) == ["ScanNr", "ExpMass"]
    assert "hyperscore" in dataset.features.columns and "Proteins" not in dataset.features.columns
    assert dataset.features.shape[1] == len(WRITTEN_FEATURES) + 1 + 3 + len(set(psms["charge"]))
    assert not dataset.features.isna().any().any()
    assert dataset.peptides.tolist() == ["-." + p + ".-" for p in psms["peptide"]]
    assert dataset.data["Proteins"].tolist() == [p.replace(";", "\t") for p in psms["proteins"]]
    # Every feature is read as a float: mokapot's rescoring fails on integer features.
    assert (dataset.features.dtypes == np.float64).all()


@pytest.mark.parametrize("failing", ["text", "parquet", "summary"])
def test_a_failed_write_leaves_no_file(tmp_path, monkeypatch, failing):
    old = {name: f"old {name}\n" for name in ("psms.tsv", "summary.json")}
    for name, text in old.items():
        (tmp_path / name).write_text(text)

    def fail_after_writing(table, *paths):
        for path in paths:
            if path is not None:
                with open(path, "w") as out:
                    out.write("half a table")
        raise OSError(28, "No space left on device")

    psms = match_table(50)
    if failing == "text":
        monkeypatch.setattr(outputs, "_write_text", fail_after_writing)
    elif failing == "parquet":
        monkeypatch.setattr(outputs, "write_parquet", fail_after_writing)
    else:
        monkeypatch.setitem(SUMMARY, "bad", object())
    with pytest.raises((OSError, TypeError)):
        write(tmp_path, psms)
    assert {p.name: p.read_text() for p in tmp_path.iterdir()} == old


def test_output_folder_is_created_and_files_get_the_usual_permissions(tmp_path):
    umask = os.umask(0o022)
    os.umask(umask)
    paths = write(tmp_path / "new" / "run", match_table(10))
    assert all(p.stat().st_mode & 0o777 == 0o666 & ~umask for p in paths)


def test_writing_loads_no_plotting_library():
    code = ("import sys, tovel_mesk.report.tables, tovel_mesk.report.html; "
            "tovel_mesk.report.html.render_report(__import__('_tables').match_table(50), None, None, {}); "
            "print('matplotlib' in sys.modules)")
    env = {**os.environ, "PYTHONPATH": str(Path(__file__).resolve().parents[2])}
    assert subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True,
                          env=env).stdout == "False\n"


def test_summary_values_without_json_form(tmp_path):
    with pytest.raises(TypeError, match="the summary holds a object"):
        outputs.write_summary({"x": object()}, tmp_path / "s.json")
    outputs.write_summary({"inf": [math.inf, -1.5], "n": np.uint8(3), "a": np.array([np.nan, 2.0])},
                          tmp_path / "s.json")
    assert json.loads((tmp_path / "s.json").read_text()) == {"inf": [None, -1.5], "n": 3, "a": [None, 2.0]}
