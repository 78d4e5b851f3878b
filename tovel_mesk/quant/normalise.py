"""Normalisation of samples: the median of log ratios of shared ions.

Each sample's intensities are multiplied by one factor. The reference is the sample with
the most quantified precursor ions (the first such in the order given). For every other
sample, the log2 ratios sample / reference of the precursor ions quantified in both are
taken; their median m sets the factor 2^-m, so that after normalisation the median ratio of
shared ions is 1. The assumption is the usual one: most ions do not change between
samples. A sample sharing fewer than `min_shared` ions with the reference is left as it is
(factor 1), with a note.

Precursor tables report the runs' intensities as extracted; the peptide and protein
tables are built from normalised sample intensities.
"""

from __future__ import annotations

import numpy as np

__all__ = ["median_ratio_factors"]


def median_ratio_factors(matrix: np.ndarray, names: list[str] | None = None, *,
                         min_shared: int = 3) -> tuple[np.ndarray, int, list[str]]:
    """Factors per column of `matrix` (ions x samples, NaN or 0 = missing), the index of the
    reference column, and notes."""
    matrix = np.asarray(matrix, dtype=np.float64)
    n = matrix.shape[1]
    names = names or [str(i) for i in range(n)]
    present = np.isfinite(matrix) & (matrix > 0)
    factors = np.ones(n)
    notes: list[str] = []
    if n == 0:
        return factors, -1, notes
    ref = int(np.argmax(present.sum(axis=0)))
    with np.errstate(divide="ignore", invalid="ignore"):
        logs = np.log2(np.where(present, matrix, 1.0))
    for j in range(n):
        if j == ref:
            continue
        both = present[:, j] & present[:, ref]
        if both.sum() < min_shared:
            shared = int(both.sum())
            ions = "ion" if shared == 1 else "ions"
            notes.append(f"normalisation: {names[j]} shares {shared} {ions} with the reference "
                         f"{names[ref]} (fewer than {min_shared}): left unnormalised")
            continue
        factors[j] = 2.0 ** -float(np.median(logs[both, j] - logs[both, ref]))
    return factors, ref, notes
