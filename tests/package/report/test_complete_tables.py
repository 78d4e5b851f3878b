"""The tables name spectra as the instrument does, list rows in file, spectrum and rank
order, carry flanking residues, and are split by file on request."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from _tables import best_per, match_table
from tovel_mesk.columns import FLANKS
from tovel_mesk.report import tables as outputs
from tovel_mesk.search.flanks import add_flanks, flanking_residues

PROTEINS = {"sp|P1|A": "MKPEPTIDEKAGGR", "sp|P2|B": "PEPTIDEK"}


def _tables(psms):
    """The match table, a peptide table whose rows are matches (the best of each peptide),
    and a protein table."""
    best = psms.sort_values("discriminant_score", ascending=False, kind="stable")
    peptides = best[best["rank"] == 1].drop_duplicates("peptide").reset_index(drop=True)
    return psms, peptides, best_per(psms, "proteins", "protein_q")


def _pin(path) -> pd.DataFrame:
    header, *lines = path.read_text().splitlines()
    names = header.split("\t")
    return pd.DataFrame([line.split("\t", len(names) - 1) for line in lines], columns=names)


def _shuffled(psms, seed=1):
    return psms.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def test_scan_native_id_and_isotope_step_are_derived_for_a_table_without_them(tmp_path):
    psms = match_table(40)
    psms.loc[psms.index[:2], "spec_id"] = "index=0"   # one spectrum that states no scan
    psms.loc[3, "isotope_error"] = np.float32(2 * 1.00335)
    psms.loc[5, "isotope_error"] = np.float32(-1.00335)
    psms, peptides, proteins = _tables(psms)
    outputs.write_outputs(tmp_path, psms, peptides, proteins, {}, report=False)
    written = pd.read_parquet(tmp_path / "psms.parquet")
    assert written["native_id"].tolist() == written["spec_id"].tolist()
    expected = [-1 if s == "index=0" else int(s.rsplit("=", 1)[1]) for s in written["spec_id"]]
    assert written["scan"].tolist() == expected and written["scan"].dtype == np.int64
    assert written["isotope_step"].dtype == np.int32
    assert {-1, 2} <= set(written["isotope_step"]) <= {-1, 0, 1, 2}
    assert (written["isotope_step"] == np.rint(written["isotope_error"] / 1.00335)).all()
    assert written.columns.tolist().index("isotope_step") == written.columns.tolist().index("isotope_error") + 1
    pin = _pin(tmp_path / "results.pin")
    # ScanNr is the table's scan; the spectrum without one gets its place among the spectra.
    scan = pin["ScanNr"].astype(int).to_numpy()
    known = written["scan"].to_numpy() >= 0
    assert (scan[known] == written["scan"].to_numpy()[known]).all()
    assert (scan[~known] == 1).all()


def test_rows_are_written_by_file_spectrum_and_rank(tmp_path):
    psms = match_table(300, files=("b.mzML", "a.mzML"))
    # Rescoring reorders ranks; the table handed over is in no particular order.
    psms["rank"] = np.where(psms["rank"] == 1, 2, 1).astype(np.uint32)
    shuffled = _shuffled(psms)
    shuffled, peptides, proteins = _tables(shuffled)
    outputs.write_outputs(tmp_path, shuffled, _shuffled(peptides), proteins, {}, report=False)
    for name in ("psms.tsv", "peptides.tsv"):
        table = pd.read_csv(tmp_path / name, sep="\t")
        # Files in the order searched (file_id: b first), spectra in file order, then rank.
        assert list(dict.fromkeys(table["file"])) == [f for f in ("b.mzML", "a.mzML") if f in set(table["file"])]
        key = list(zip(table["file"].map({"b.mzML": 0, "a.mzML": 1}), table["scan"], table["rank"]))
        assert key == sorted(key), name
    written = pd.read_parquet(tmp_path / "psms.parquet")
    expected = psms.iloc[np.lexsort((psms["rank"], (psms["psm_id"] - 1) // 2, psms["file_id"]))]
    assert written["spec_id"].tolist() == expected["spec_id"].tolist()
    assert written["rank"].tolist() == expected["rank"].tolist()
    assert written["hyperscore"].tolist() == expected["hyperscore"].tolist()
    # Without the bookkeeping keys, first appearance decides.
    bare = shuffled.drop(columns=["psm_id", "file_id"])
    order = outputs.match_order(bare)
    files = bare["file"].to_numpy(dtype=object)[order]
    assert list(dict.fromkeys(files)) == list(dict.fromkeys(bare["file"]))
    assert outputs.match_order(bare.iloc[:0]).size == 0


@pytest.mark.filterwarnings("ignore::FutureWarning")
def test_mokapot_reads_the_scan_numbers_and_flanks(tmp_path):
    mokapot = pytest.importorskip("mokapot")
    if int(pd.__version__.split(".")[0]) >= 3:
        pytest.skip("mokapot 0.10 reads Percolator input only under pandas 2")
    psms = match_table(200)
    psms.insert(psms.columns.get_loc("proteins") + 1, "prev_aa", np.where(np.arange(200) % 3, "K", "-"))
    psms.insert(psms.columns.get_loc("prev_aa") + 1, "next_aa", np.where(np.arange(200) % 5, "A", "-"))
    psms, peptides, proteins = _tables(psms)
    outputs.write_outputs(tmp_path, psms, peptides, proteins, {}, report=False)
    table = pd.read_csv(tmp_path / "psms.tsv", sep="\t", keep_default_na=False)
    assert table.columns.tolist()[table.columns.tolist().index("proteins") + 1:][:2] == list(FLANKS)
    dataset = mokapot.read_pin(str(tmp_path / "results.pin"))
    assert dataset.data["ScanNr"].astype(int).tolist() == table["scan"].tolist()
    assert dataset.peptides.tolist() == [f"{p}.{s}.{n}" for p, s, n in
                                         zip(table["prev_aa"], table["peptide"], table["next_aa"])]
    assert not {"scan", "isotope_step", "prev_aa", "next_aa"} & set(dataset.features.columns)


def test_flanking_residues():
    protein = PROTEINS["sp|P1|A"]
    assert flanking_residues("MKPEP", protein) == ("-", "T")         # protein N-terminus
    assert flanking_residues("PEPTIDEK", protein) == ("K", "A")      # inside
    assert flanking_residues("AGGR", protein) == ("K", "-")          # protein C-terminus
    assert flanking_residues("MKPEPTIDEKAGGR", protein) == ("-", "-")
    assert flanking_residues("WWWW", protein) == ("-", "-")          # not in the protein
    assert flanking_residues("PEPTIDEK", None) == ("-", "-")


def test_flanks_of_targets_and_decoys_per_first_protein():
    frame = pd.DataFrame({
        "sequence": ["PEPTIDEK", "PEPTIDEK", "PEDITPEK", "AGGR", "AGGR", "XXXK"],
        "proteins": ["sp|P1|A;sp|P2|B", "sp|P2|B;sp|P1|A", "rev_sp|P1|A", "sp|P1|A", "rev_sp|P9|Z", "sp|P2|B"],
        "label": np.array([1, 1, -1, 1, -1, 1], dtype=np.int32),
        "hyperscore": np.arange(6.0),
    })
    out = add_flanks(frame, PROTEINS, "rev_")
    assert out.columns.tolist() == ["sequence", "proteins", "prev_aa", "next_aa", "label", "hyperscore"]
    # The decoy PEDITPEK is PEPTIDEK reversed within its ends: the target's flanks, unmirrored.
    assert list(zip(out["prev_aa"], out["next_aa"])) == [
        ("K", "A"), ("-", "-"), ("K", "A"), ("K", "-"), ("-", "-"), ("-", "-")]
    empty = add_flanks(frame.iloc[:0], PROTEINS, "rev_")
    assert empty.columns.tolist() == out.columns.tolist() and empty.empty


def test_split_by_file(tmp_path):
    psms = _shuffled(match_table(120, files=("run_b.mzML", "run_a.mzML")))
    psms, peptides, proteins = _tables(psms)
    paths = outputs.write_outputs(tmp_path, psms, peptides, proteins, {}, report=False, split_by_file=True)
    combined = pd.read_csv(tmp_path / "psms.tsv", sep="\t")
    combined_peptides = pd.read_csv(tmp_path / "peptides.tsv", sep="\t")
    combined_pin = _pin(tmp_path / "results.pin")
    assert sorted(p.name for p in (tmp_path / "by_file").iterdir()) == ["run_a.mzML", "run_b.mzML"]
    for name in ("run_a.mzML", "run_b.mzML"):
        folder = tmp_path / "by_file" / name
        assert sorted(p.name for p in folder.iterdir()) == ["peptides.tsv", "psms.tsv", "results.pin"]
        assert {folder / n for n in ("peptides.tsv", "psms.tsv", "results.pin")} <= set(paths)
        mine = combined[combined["file"] == name].reset_index(drop=True)
        pd.testing.assert_frame_equal(pd.read_csv(folder / "psms.tsv", sep="\t", dtype=combined.dtypes.to_dict()),
                                      mine)
        pd.testing.assert_frame_equal(
            pd.read_csv(folder / "peptides.tsv", sep="\t", dtype=combined_peptides.dtypes.to_dict()),
            combined_peptides[combined_peptides["file"] == name].reset_index(drop=True))
        pin = _pin(folder / "results.pin")
        assert pin.columns.tolist() == combined_pin.columns.tolist()
        assert pin["SpecId"].tolist() == combined_pin["SpecId"][combined_pin["SpecId"].str.startswith(name)].tolist()
    # Without the option, a new search leaves no per-file folder behind.
    outputs.write_outputs(tmp_path, psms, peptides, proteins, {}, report=False)
    assert not (tmp_path / "by_file").exists()
    # In a folder shared with other files, the per-file folder is replaced as a whole.
    (tmp_path / "notes.txt").write_text("mine")
    outputs.write_outputs(tmp_path, psms, peptides, proteins, {}, report=False, split_by_file=True)
    outputs.write_outputs(tmp_path, psms.iloc[:0], peptides.iloc[:0], proteins, {}, report=False,
                          split_by_file=True)
    assert list((tmp_path / "by_file").iterdir()) == [] and (tmp_path / "notes.txt").read_text() == "mine"
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_split_by_file_refuses_names_that_are_no_folder(tmp_path):
    psms = match_table(20, files=("..",))
    psms, peptides, proteins = _tables(psms)
    with pytest.raises(ValueError, match="cannot name a folder"):
        outputs.write_outputs(tmp_path / "out", psms, peptides, proteins, {}, report=False, split_by_file=True)
    assert not (tmp_path / "out").exists()
