"""Protein quantities from peptide quantities, per protein group and sample.

`maxlfq` (the default) follows the MaxLFQ idea:

1. for every pair of samples (j, k), the ratio r_jk is the median over the group's peptides
   quantified in both of ln(I_pj / I_pk); a pair needs at least `min_ratios` shared
   peptides (default 1);
2. the samples linked by ratios form connected sets; in each set with two or more samples
   the log quantities x solve the least-squares problem  min sum over pairs (x_j - x_k - r_jk)^2,
   which fixes them up to a constant;
3. the constant is set so that the set's quantities add up to the summed peptide
   intensity of its samples (the "scale set by summed intensity"); each set is scaled on
   its own, so disconnected sets of samples are not forced onto one scale by a guess;
4. a sample with peptides that shares none with any other sample (a set of one) takes the
   sum of its peptides' intensities; a sample without peptides is missing (NaN).

`peptides_used` counts the peptides that entered a ratio or a set of one.

`top3`: the mean of the three most intense peptides of the group in each sample (of all
it has, when fewer). `sum`: the sum of its peptides' intensities in each sample.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["maxlfq", "top3", "summed", "roll_up", "METHODS"]

METHODS = ("maxlfq", "top3", "sum")


def _present(matrix: np.ndarray) -> np.ndarray:
    return np.isfinite(matrix) & (matrix > 0)


def maxlfq(matrix, min_ratios: int = 1) -> tuple[np.ndarray, int]:
    """Quantities per sample (NaN where missing) of one protein group from its peptides x
    samples `matrix` (NaN or 0 = missing), and the number of peptides used."""
    matrix = np.asarray(matrix, dtype=np.float64)
    present = _present(matrix)
    n_samples = matrix.shape[1]
    out = np.full(n_samples, np.nan)
    if not present.any():
        return out, 0
    logs = np.log(np.where(present, matrix, 1.0))
    edges, ratios = [], []
    used = np.zeros(matrix.shape[0], dtype=bool)
    for j in range(n_samples):
        for k in range(j + 1, n_samples):
            both = present[:, j] & present[:, k]
            if both.sum() >= max(min_ratios, 1):
                edges.append((j, k))
                ratios.append(float(np.median(logs[both, j] - logs[both, k])))
                used |= both
    # connected sets of samples (union-find)
    parent = list(range(n_samples))

    def find(a: int) -> int:
        while parent[a] != a:
            parent[a] = parent[parent[a]]
            a = parent[a]
        return a

    for j, k in edges:
        parent[find(j)] = find(k)
    has: np.ndarray = np.asarray(present.any(axis=0))
    totals = np.where(present, matrix, 0.0).sum(axis=0)
    for root in sorted({find(j) for j in range(n_samples) if has[j]}):
        members = [j for j in range(n_samples) if has[j] and find(j) == root]
        if len(members) == 1:
            j = members[0]
            out[j] = totals[j]
            used |= present[:, j]
            continue
        position = {s: i for i, s in enumerate(members)}
        rows = [(position[j], position[k], r) for (j, k), r in zip(edges, ratios) if j in position]
        design = np.zeros((len(rows), len(members)))
        target = np.zeros(len(rows))
        for i, (a, b, r) in enumerate(rows):
            design[i, a], design[i, b], target[i] = 1.0, -1.0, r
        x = np.linalg.lstsq(design, target, rcond=None)[0]
        x -= x.max()
        scale = np.log(totals[members].sum()) - np.log(np.exp(x).sum())
        out[members] = np.exp(x + scale)
    return out, int(used.sum())


def top3(matrix) -> tuple[np.ndarray, int]:
    matrix = np.asarray(matrix, dtype=np.float64)
    present = _present(matrix)
    values = np.where(present, matrix, -np.inf)
    best = -np.sort(-values, axis=0)[:3]
    finite = np.isfinite(best)
    count = finite.sum(axis=0)
    total = np.where(finite, best, 0.0).sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        out = np.where(count > 0, total / np.maximum(count, 1), np.nan)
    return out, int(present.any(axis=1).sum())


def summed(matrix) -> tuple[np.ndarray, int]:
    matrix = np.asarray(matrix, dtype=np.float64)
    present = _present(matrix)
    out = np.where(present.any(axis=0), np.where(present, matrix, 0.0).sum(axis=0), np.nan)
    return out, int(present.any(axis=1).sum())


def roll_up(peptides: pd.DataFrame, columns: list[str], method: str = "maxlfq") -> pd.DataFrame:
    """One row per protein group of `peptides` (a `protein_group` column and the sample
    intensity `columns`): `protein_group`, the same intensity columns, `peptides_used`."""
    if method not in METHODS:
        raise ValueError(f"protein quantification must be one of {', '.join(METHODS)}, got {method!r}")
    fn = {"maxlfq": maxlfq, "top3": top3, "sum": summed}[method]
    rows, groups = [], []
    for group, block in peptides.groupby("protein_group", sort=True):
        values, used = fn(block[columns].to_numpy(dtype=np.float64))
        rows.append([*values, used])
        groups.append(group)
    frame = pd.DataFrame(rows, columns=[*columns, "peptides_used"]) if rows else pd.DataFrame(
        {c: pd.Series(dtype="float64") for c in columns} | {"peptides_used": pd.Series(dtype="int64")})
    frame.insert(0, "protein_group", pd.Series(groups, dtype="int64"))
    frame["peptides_used"] = frame["peptides_used"].astype("int64")
    return frame
