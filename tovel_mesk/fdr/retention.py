"""Retention time predicted from a peptide's composition, per run, as a rescoring feature.

A peptide's retention time on a reversed-phase gradient is close to a sum of contributions
of its residues. For each spectra file a ridge regression of the observed `rt` on the
residue counts of the peptide (the 20 amino acids, any other letter, and the number of
modifications) is fitted on the file's confident matches, and predicts every match of
that file. A correct match sits near its prediction; a chance match anywhere in the run.

The fit follows the cross-validation folds of rescoring: a match is predicted by a model
fitted on the confident matches of the other folds only, so its own retention time never
helps to predict it.

`delta_rt_model` is the absolute error of the prediction over the spread of the errors of
the file's confident matches (1.4826 times their median absolute error), so that runs with
long and short gradients give comparable values; `predicted_rt` is in the minutes of `rt`.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["MIN_CONFIDENT", "composition", "fit_ridge", "predict_rt"]

_RESIDUES = "ACDEFGHIKLMNPQRSTVWY"
#: Fewest confident matches of a file (in one training set) to fit its model.
MIN_CONFIDENT = 15
#: Ridge penalty per training row, on residue counts centred by the training mean.
RIDGE = 0.05
#: Narrowest spread of the errors, in minutes (a run of a handful of perfect fits).
_MIN_SPREAD = 0.05


def composition(sequences: np.ndarray, peptides: np.ndarray | None = None) -> np.ndarray:
    """Residue counts per peptide: one column per amino acid, one for any other letter and
    one for the modifications written in `peptides` (ProForma `[...]`), float64."""
    text = pd.Series(np.asarray(sequences, dtype=object)).fillna("").astype(str)
    codes, uniques = pd.factorize(text)
    table = _residue_counts(uniques)
    counts = table[np.maximum(codes, 0)]
    counts[codes < 0] = 0.0
    if peptides is not None:
        counts[:, -1] = pd.Series(np.asarray(peptides, dtype=object)).fillna("").astype(str).str.count(r"\[").to_numpy()
    return counts


def _residue_counts(sequences) -> np.ndarray:
    """Residue counts of each sequence (upper-cased; any other letter in the column after
    the 20 amino acids), with a last column of zeros, float64."""
    table = np.zeros((len(sequences), len(_RESIDUES) + 2))
    if not len(sequences):
        return table
    texts = [str(sequence).upper() for sequence in sequences]
    if not all(text.isascii() for text in texts):
        return _residue_counts_by_letter(texts)
    letters = np.frombuffer("".join(texts).encode("ascii"), dtype=np.uint8)
    column = np.full(256, len(_RESIDUES), dtype=np.intp)
    column[np.frombuffer(_RESIDUES.encode("ascii"), dtype=np.uint8)] = np.arange(len(_RESIDUES))
    rows = np.repeat(np.arange(len(texts)), [len(text) for text in texts])
    # Whole counts: the order they are added in does not change them.
    np.add.at(table, (rows, column[letters]), 1.0)
    return table


def _residue_counts_by_letter(texts) -> np.ndarray:
    """`_residue_counts` one letter at a time (the reference, and the path for text that is
    not ASCII)."""
    table = np.zeros((len(texts), len(_RESIDUES) + 2))
    lookup = {r: i for i, r in enumerate(_RESIDUES)}
    for row, sequence in enumerate(texts):
        for residue in str(sequence).upper():
            table[row, lookup.get(residue, len(_RESIDUES))] += 1.0
    return table


def fit_ridge(counts: np.ndarray, rt: np.ndarray, penalty: float = RIDGE) -> tuple[np.ndarray, float]:
    """(coefficients, intercept) of the ridge regression of `rt` on `counts`."""
    mean = counts.mean(axis=0)
    centred = counts - mean
    gram = centred.T @ centred + penalty * len(rt) * np.eye(counts.shape[1])
    coefficients = np.linalg.solve(gram, centred.T @ (rt - rt.mean()))
    return coefficients, float(rt.mean() - mean @ coefficients)


def predict_rt(rt: np.ndarray, counts: np.ndarray, files: np.ndarray, fold: np.ndarray, confident: np.ndarray,
               folds: int) -> tuple[np.ndarray, np.ndarray, list[str]]:
    """Out-of-fold predictions for every row and the normalised errors (`delta_rt_model`).

    `rt`, `counts`, `files` (a code per row), `fold` and `confident` are per row, all in
    one order. Rows of a file whose training set holds fewer than `MIN_CONFIDENT`
    confident matches with a retention time stay NaN; the returned notes name such files
    by code. Returns (predicted, delta, notes)."""
    predicted = np.full(len(rt), np.nan)
    delta = np.full(len(rt), np.nan)
    notes = []
    usable = confident & np.isfinite(rt)
    for code in np.unique(files):
        in_file = files == code
        fitted = True
        for f in range(folds):
            train = np.flatnonzero(usable & in_file & (fold != f))
            if len(train) < MIN_CONFIDENT:
                fitted = False
                notes.append(f"{int(code)}:{len(train)}")
                break
            coefficients, intercept = fit_ridge(counts[train], rt[train])
            rows = np.flatnonzero(in_file & (fold == f))
            predicted[rows] = counts[rows] @ coefficients + intercept
        if not fitted:
            predicted[in_file] = np.nan
            continue
        errors = rt[in_file] - predicted[in_file]
        reference = np.abs(errors[usable[in_file]])
        spread = max(1.4826 * float(np.median(reference)), _MIN_SPREAD)
        delta[in_file] = np.abs(errors) / spread
    return predicted, delta, notes
