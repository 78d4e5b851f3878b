"""Target-decoy counts for rescoring's training loop, computed natively.

Training asks thousands of times per call how many targets pass the training threshold
under a score, which ones, and which single feature accepts the most. The answers need
no q-value per entry: q-values never decrease as the score falls, so the entries that
pass are those scoring at least the lowest passing score (the cut). The native helpers
(`tovel_mesk._native.tdc_cut` and `best_direction`, run without the interpreter lock) find
that cut with one sort and one walk, doing the same counts, the same division per run of
equal scores and the same comparisons as `tdc_qvalues`; `tdc_cut_reference`
and `tovel_mesk.fdr.rescore._best_direction_by_column` are the straightforward numpy forms
they are tested against, and give the same answers.
"""

from __future__ import annotations

import numpy as np

from .. import _native
from .qvalues import tdc_qvalues

__all__ = ["tdc_cut", "passing_targets", "accepted_targets", "best_direction", "RankedRows"]


def _scores(values: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=np.float64)


def _flags(values: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=bool)


def tdc_cut(scores: np.ndarray, is_decoy: np.ndarray, fdr: float) -> tuple[int, float | None]:
    """(targets at a q-value of at most `fdr`, the lowest score among the entries that
    pass, None when none does) under `scores` (higher better, NaN the worst)."""
    scores, is_decoy = _scores(scores), _flags(is_decoy)
    if scores.shape != is_decoy.shape or scores.ndim != 1:
        raise ValueError(f"one decoy flag per score needed, got shapes {scores.shape} and {is_decoy.shape}")
    return _native.tdc_cut(scores, is_decoy, float(fdr))


def tdc_cut_reference(scores: np.ndarray, is_decoy: np.ndarray, fdr: float) -> tuple[int, float | None]:
    """`tdc_cut` from the q-values of `tdc_qvalues`."""
    values = np.where(np.isnan(scores), -np.inf, np.asarray(scores, dtype=np.float64))
    decoy = np.asarray(is_decoy, dtype=bool)
    passing = tdc_qvalues(values, decoy) <= fdr
    if not passing.any():
        return 0, None
    return int((passing & ~decoy).sum()), float(values[passing].min())


def _mask(scores: np.ndarray, is_target: np.ndarray, cut: float | None) -> np.ndarray:
    if cut is None:
        return np.zeros(len(is_target), dtype=bool)
    if cut == -np.inf:
        return np.array(is_target, dtype=bool)  # every entry passes, NaN scores included
    return is_target & (scores >= cut)


def passing_targets(scores: np.ndarray, is_target: np.ndarray, fdr: float,
                    is_decoy: np.ndarray | None = None) -> np.ndarray:
    """The mask of targets at a q-value of at most `fdr` under `scores`: what
    ``is_target & (tdc_qvalues(scores, ~is_target) <= fdr)`` gives. `is_decoy`: the
    negation of `is_target`, when the caller holds it already."""
    _, cut = tdc_cut(scores, ~is_target if is_decoy is None else is_decoy, fdr)
    return _mask(scores, is_target, cut)


def accepted_targets(scores: np.ndarray, is_target: np.ndarray, fdr: float) -> int:
    """Targets at a q-value of at most `fdr` under `scores` (higher better)."""
    return tdc_cut(scores, ~is_target, fdr)[0]


def best_direction(matrix: np.ndarray, is_target: np.ndarray, fdr: float) -> tuple[int, float, int]:
    """The column and sign (+1 higher better, -1 lower better) whose values accept the
    most targets at `fdr`, and that count. Ties go to the earlier column, then to +1.
    No rows: column 0, +1 and 0 targets; no columns: (0, 1.0, -1)."""
    n, p = matrix.shape
    if n == 0 or p == 0:
        return (0, 1.0, 0) if p else (0, 1.0, -1)
    return _native.best_direction(_scores(matrix), _flags(is_target), float(fdr))


class RankedRows:
    """Feature rows with each column's ascending order, sorted once, so that the best
    single feature of any subset of the rows (a training set) is found by one walk per
    column instead of a sort (`best_direction`).

    `columns`: a key per column; a column whose key (and values) `previous` holds takes
    its order from there instead of being sorted again, as when one feature of a table
    changes from one fold split to the next."""

    def __init__(self, matrix: np.ndarray, is_target: np.ndarray, columns: list | None = None,
                 previous: RankedRows | None = None):
        self.matrix = _scores(matrix)
        self.is_target = _flags(is_target)
        #: What the rows were taken from, for the caller (kept alive with them).
        self.source: object = None
        n, p = self.matrix.shape
        known = previous._orders if previous is not None else {}
        keys = columns if columns is not None else [None] * p
        self._orders: dict = {}
        rows = []
        for j, key in enumerate(keys):
            order = known.get(key) if key is not None else None
            if order is None:
                order = np.argsort(self.matrix[:, j], kind="stable").astype(np.int64, copy=False)
            if key is not None:
                self._orders[key] = order
            rows.append(order)
        self.order = np.ascontiguousarray(np.vstack(rows)) if rows else np.empty((0, n), dtype=np.int64)
        # Each column's values in its order, read in sequence by the walks.
        self.values = np.ascontiguousarray(np.take_along_axis(self.matrix.T, self.order, axis=1))

    def best_direction(self, member: np.ndarray, fdr: float) -> tuple[int, float, int]:
        """`best_direction` of the rows where `member` is set."""
        member = _flags(member)
        n, p = self.matrix.shape
        if p == 0 or not member.any():
            return (0, 1.0, 0) if p else (0, 1.0, -1)
        return _native.best_direction_ranked(self.values, self.order, member, self.is_target, float(fdr))
