"""The residues on either side of each matched peptide in its protein.

Tools that read search results (rescorers, validators, viewers) want a peptide written with
its neighbours, ``K.PEPTIDEK.A``: the residue before it in the protein and the one after,
``-`` at a protein terminus. The protein sequences are those of the FASTA file that error
control reads for its protein table.

A decoy made by the index is its target peptide reversed between the first and the last
residue; its flanks are those of that target peptide in the target protein, as they are
(not mirrored). The decoy keeps the target's terminal residues, so with the target's
neighbours it sits in the same cleavage context, and target and decoy matches look alike to
a tool that checks the enzyme's rule from the flanks. A peptide not found in its protein
(a protein of the file's own decoys, say) gets ``-`` on both sides.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np
import pandas as pd

#: Written before and after a peptide at a protein terminus, and when its place is unknown.
TERMINUS = "-"

__all__ = ["TERMINUS", "flanking_residues", "add_flanks"]


def _target_of(sequence: str) -> str:
    """The target peptide that a decoy was made from: the sequence reversed between its
    first and last residue."""
    return sequence if len(sequence) < 3 else sequence[0] + sequence[-2:0:-1] + sequence[-1]


def flanking_residues(sequence: str, protein: str | None) -> tuple[str, str]:
    """The residues before and after the first occurrence of `sequence` in `protein`:
    `TERMINUS` at a protein terminus, and on both sides when it does not occur."""
    if not protein or not sequence:
        return TERMINUS, TERMINUS
    at = protein.find(sequence)
    if at < 0:
        return TERMINUS, TERMINUS
    end = at + len(sequence)
    return (protein[at - 1] if at > 0 else TERMINUS,
            protein[end] if end < len(protein) else TERMINUS)


def add_flanks(frame: pd.DataFrame, proteins: Mapping[str, str], decoy_tag: str) -> pd.DataFrame:
    """`frame` with `prev_aa` and `next_aa` after `proteins`: the flanks of each row's
    `sequence` in its first protein (`proteins` column, accessions joined by ";"), looked up
    in `proteins` (accession to sequence). Decoy rows (`label` -1) whose accession carries
    `decoy_tag` take the flanks of their target peptide in the target protein (see the
    module). Computed once per distinct (sequence, first accession) pair."""
    out = frame.copy(deep=False)
    if not len(frame):
        empty = np.empty(0, dtype=object)
        out.insert(_after_proteins(out), "prev_aa", empty)
        out.insert(_after_proteins(out), "next_aa", empty.copy())
        return out
    first = frame["proteins"].astype(str).str.partition(";")[0].to_numpy(dtype=object)
    sequence = frame["sequence"].to_numpy(dtype=object)
    decoy = frame["label"].to_numpy() < 0
    keys = pd.MultiIndex.from_arrays([sequence, first, decoy])
    codes, unique = pd.factorize(keys)
    prev = np.empty(len(unique), dtype=object)
    after = np.empty(len(unique), dtype=object)
    for i, (peptide, accession, is_decoy) in enumerate(unique):
        if is_decoy and decoy_tag and accession.startswith(decoy_tag) and accession[len(decoy_tag):] in proteins:
            peptide, accession = _target_of(peptide), accession[len(decoy_tag):]
        prev[i], after[i] = flanking_residues(peptide, proteins.get(accession))
    out.insert(_after_proteins(out), "prev_aa", prev[codes])
    out.insert(_after_proteins(out), "next_aa", after[codes])
    return out


def _after_proteins(frame: pd.DataFrame) -> int:
    """Where the next flank column goes: after `proteins` and any flank already there."""
    names = list(frame.columns)
    at = names.index("proteins") + 1
    while at < len(names) and names[at] in ("prev_aa", "next_aa"):
        at += 1
    return at
