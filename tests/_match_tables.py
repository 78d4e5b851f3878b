"""Generated match tables for the error control tests: spectra whose best match is either
a correct target (features shifted by `separation`) or a random target or decoy."""

from __future__ import annotations

import numpy as np
import pandas as pd

LETTERS = np.array(list("ACDEFGHIKLMNPQRSTVWY"))


def random_peptides(rng, count: int, length: int = 9) -> np.ndarray:
    residues = LETTERS[rng.integers(0, len(LETTERS), size=(count, length))]
    return np.array(["".join(row) + "K" for row in residues], dtype=object)


def reverse_interior(peptide: str) -> str:
    return peptide[0] + peptide[-2:0:-1] + peptide[-1]


def make_matches(n_spectra: int = 3000, ranks: int = 2, files=("a.mzML", "b.mzML"), correct: float = 0.4,
                 separation: float = 3.0, peptides: int = 400, proteins: int = 60, seed: int = 0) -> pd.DataFrame:
    """A match table with `ranks` matches per spectrum. A share `correct` of the spectra
    have a correct target at rank 1; every other match is a target or a decoy with equal
    odds. `signal` carries the separation, `weak` half of it, `noise` none; `hyperscore`
    separates a little, `constant` is constant."""
    rng = np.random.default_rng(seed)
    pool = random_peptides(rng, peptides)
    owner = rng.integers(0, proteins, size=peptides)
    n = n_spectra * ranks
    spectrum = np.repeat(np.arange(n_spectra), ranks)
    rank = np.tile(np.arange(1, ranks + 1), n_spectra)
    is_correct = (rng.random(n_spectra) < correct)[spectrum] & (rank == 1)
    label = np.where(is_correct | (rng.random(n) < 0.5), 1, -1)
    pick = rng.integers(0, peptides, size=n)
    sequence = pool[pick]
    peptide = np.where(label > 0, sequence, [reverse_interior(p) for p in sequence])
    accession = np.array([f"P{k:05d}" for k in range(proteins)], dtype=object)[owner[pick]]
    protein = np.where(label > 0, accession, "rev_" + accession)
    shift = np.where(is_correct, separation, 0.0) - 0.3 * (rank - 1)
    return pd.DataFrame({
        "file": np.asarray(files, dtype=object)[spectrum % len(files)],
        "spec_id": [f"scan={s}" for s in spectrum],
        "rank": rank.astype(np.uint32),
        "label": label.astype(np.int32),
        "peptide": peptide,
        "sequence": peptide,
        "proteins": protein,
        "charge": rng.integers(2, 4, size=n).astype(np.uint8),
        "hyperscore": 20.0 + 0.5 * shift + 3.0 * rng.standard_normal(n),
        "signal": shift + rng.standard_normal(n),
        "weak": 0.5 * shift + rng.standard_normal(n),
        "noise": rng.standard_normal(n).astype(np.float32),
        "constant": np.full(n, 7.0, dtype=np.float32),
        "psm_id": np.arange(1, n + 1, dtype=np.uint64),
        "file_id": (spectrum % len(files)).astype(np.uint64),
        "peptide_idx": pick.astype(np.uint32),
        # As the search leaves them, before error control.
        "discriminant_score": np.zeros(n, np.float32),
        "posterior_error": np.ones(n, np.float32),
        "spectrum_q": np.ones(n, np.float32),
        "peptide_q": np.ones(n, np.float32),
        "protein_q": np.ones(n, np.float32),
    })
