"""A search's protein groups end to end: proteins.tsv described from the FASTA and counted
in the summary, and a FASTA whose decoys carry an unknown tag searched as if they were
not there."""

from __future__ import annotations

import json

import pandas as pd
import pytest

from _cluster_support import write_inputs
from tovel_mesk import columns
from tovel_mesk.config import load_settings
from tovel_mesk.pipeline import run_search
from tovel_mesk.progress import Progress

SEARCH = {"threads": 1, "preset": "ion-trap", "precursor_tol": "50ppm", "quiet": True}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    fasta, runs = write_inputs(folder, runs=2, spectra=80)
    # The same proteins followed by their reversals under a tag the settings do not name.
    text = fasta.read_text()
    records = [r.split("\n", 1) for r in text.split(">")[1:]]
    decoys = "".join(f">REV__{h.split()[0]} decoy\n{s.strip()[::-1]}\n" for h, s in records)
    tagged = folder / "tagged.fasta"
    tagged.write_text(text + decoys)
    return fasta, tagged, runs


def search(fasta, runs, folder, progress=None):
    outcome = run_search(load_settings({"fasta": fasta, "spectra": list(runs), **SEARCH}), progress=progress)
    outcome.write(folder)
    return outcome


def test_groups_written_described_and_counted(inputs, tmp_path):
    fasta, _, runs = inputs
    outcome = search(fasta, runs, tmp_path)
    table = pd.read_csv(tmp_path / "proteins.tsv", sep="\t")
    assert list(table.columns) == list(columns.PROTEIN_TABLE)
    accepted = table[table["q"] <= 0.01]
    assert len(accepted) > 0
    assert accepted["description"].str.fullmatch(r"test protein \d+").all()
    assert (accepted["lead"] == accepted["accessions"].str.split(";").str[0]).all()
    assert accepted["coverage"].between(0, 1).all() and (accepted["spectra"] > 0).all()
    # Every accepted peptide counts for one group.
    peptides = pd.read_csv(tmp_path / "peptides.tsv", sep="\t")
    n_peptides = int(((peptides["label"] == 1) & (peptides["peptide_q"] <= 0.01)).sum())
    assert table[["peptides_unique", "peptides_razor"]].to_numpy().sum() == n_peptides
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["totals"]["protein_groups_accepted"] == len(accepted)
    assert sum(f["protein_groups_accepted"] for f in summary["files"]) >= len(accepted)
    assert f"{len(accepted):,} protein groups accepted" in (tmp_path / "report.html").read_text()
    assert outcome.summary.database["dropped_fasta_decoys"] == 0


def test_decoys_under_an_unknown_tag_are_left_out(inputs, tmp_path):
    fasta, tagged, runs = inputs
    search(fasta, runs, tmp_path / "plain")
    progress = Progress(False)
    outcome = search(tagged, runs, tmp_path / "tagged", progress)
    assert outcome.summary.database["fasta_decoys"]["tag"] == "REV__"
    assert outcome.summary.database["dropped_fasta_decoys"] == 60
    assert any("'REV__'" in message for message in progress.messages)
    for name in ("psms.tsv", "peptides.tsv", "proteins.tsv"):
        assert (tmp_path / "tagged" / name).read_bytes() == (tmp_path / "plain" / name).read_bytes(), name
