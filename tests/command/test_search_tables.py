"""A search's tables name spectra by scan, carry the peptides' flanks from the FASTA, and
are split by file on request."""

from __future__ import annotations

import pandas as pd
import pytest

from _cluster_support import write_inputs
from tovel_mesk import cli

FLAGS = ["--threads", "1", "--preset", "ion-trap", "--precursor-tol", "50ppm", "--report-psms", "2"]


def _pin(path) -> pd.DataFrame:
    header, *lines = path.read_text().splitlines()
    names = header.split("\t")
    return pd.DataFrame([line.split("\t", len(names) - 1) for line in lines], columns=names)


@pytest.fixture(scope="module")
def searched(tmp_path_factory):
    folder = tmp_path_factory.mktemp("complete")
    fasta, runs = write_inputs(folder, runs=2, spectra=40)
    out = folder / "out"
    status = cli.main(["search", "--quiet", "--fasta", str(fasta), "--output", str(out), *FLAGS,
                       "--split-by-file", *map(str, runs)])
    assert status == 0
    proteins = {}
    for record in fasta.read_text().split(">")[1:]:
        header, sequence = record.split("\n", 1)
        proteins[header.split()[0]] = sequence.replace("\n", "")
    return out, proteins, [r.name for r in runs]


def test_scan_flanks_and_order_of_a_search(searched):
    out, proteins, runs = searched
    psms = pd.read_csv(out / "psms.tsv", sep="\t", keep_default_na=False)
    assert len(psms) and (psms["native_id"] == psms["spec_id"]).all()
    assert psms["scan"].tolist() == [int(s.split("=")[1]) for s in psms["spec_id"]]
    # By file in the order given, spectra in file order (scan numbers ascend there), then rank.
    key = list(zip(psms["file"].map(runs.index), psms["scan"], psms["rank"]))
    assert key == sorted(key)
    targets = psms[psms["label"] == 1]
    for sequence, accessions, prev, after in zip(targets["sequence"], targets["proteins"], targets["prev_aa"],
                                                 targets["next_aa"]):
        protein = proteins[accessions.split(";")[0]]
        at = protein.find(sequence)
        assert at >= 0
        assert prev == (protein[at - 1] if at else "-")
        assert after == (protein[at + len(sequence)] if at + len(sequence) < len(protein) else "-")
    assert psms["prev_aa"].str.len().eq(1).all() and psms["next_aa"].str.len().eq(1).all()
    pin = _pin(out / "results.pin")
    assert pin["ScanNr"].astype(int).tolist() == psms["scan"].tolist()
    assert pin["Peptide"].tolist() == [f"{p}.{s}.{n}" for p, s, n in
                                       zip(psms["prev_aa"], psms["peptide"], psms["next_aa"])]


def test_split_by_file_of_a_search(searched):
    out, _, runs = searched
    psms = pd.read_csv(out / "psms.tsv", sep="\t", keep_default_na=False)
    assert sorted(p.name for p in (out / "by_file").iterdir()) == sorted(runs)
    for run in runs:
        mine = pd.read_csv(out / "by_file" / run / "psms.tsv", sep="\t", keep_default_na=False,
                           dtype=psms.dtypes.to_dict())
        pd.testing.assert_frame_equal(mine, psms[psms["file"] == run].reset_index(drop=True))
        assert (out / "by_file" / run / "peptides.tsv").exists() and (out / "by_file" / run / "results.pin").exists()
