"""Error rates from target-decoy competition: q-values, posterior error probabilities and
picked-protein competition.

Every function here takes plain arrays (one score and one decoy flag per entry, higher
scores better) and knows nothing of spectra, peptides or files; `tovel_mesk.fdr.confidence`
decides which entries compete at each level.

The false discovery rate among the entries scoring at least s is estimated as

    FDR(s) = D(s) / T(s),  capped at 1 (and 1 while T(s) is 0),

with D(s) and T(s) the decoys and targets scoring at least s: the usual estimate of
target-decoy competition, in which a false target is as likely as a decoy at any score.
It lets a small run reach a low FDR (10 targets and no decoy estimate 0), so callers that
train on the accepted entries should ask for a minimum number of them. The q-value
of an entry is the least FDR(s) over the thresholds s at or below its score, so q-values
never decrease as the score falls, and entries with equal scores share one q-value.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["tdc_qvalues", "posterior_errors", "pep_floor", "picked_competition"]

#: Most score bins that the posterior error fit works on (more entries share a bin).
PEP_BINS = 1000


def _as_scores(scores) -> np.ndarray:
    """Scores as float64, with NaN counted as the worst possible score."""
    values = np.asarray(scores, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"scores must be one-dimensional, got shape {values.shape}")
    return np.where(np.isnan(values), -np.inf, values)


def _as_flags(is_decoy, n: int) -> np.ndarray:
    flags = np.asarray(is_decoy, dtype=bool)
    if flags.shape != (n,):
        raise ValueError(f"is_decoy must hold one flag per score ({n}), got shape {flags.shape}")
    return flags


def fdr_estimate(decoys, targets, decoys_per_target: int = 1):
    """decoys / targets, capped at 1 (and 1 without targets). With `decoys_per_target` k
    decoys drawn for each target, each decoy stands for 1/k of a false target."""
    decoys = np.asarray(decoys, dtype=np.float64)
    if decoys_per_target != 1:
        decoys = decoys / decoys_per_target
    targets = np.asarray(targets)
    return np.where(targets > 0, np.minimum(decoys / np.maximum(targets, 1), 1.0), 1.0)


def _tie_groups(sorted_scores: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For scores in sorted order: a mask of each run of equal scores' last position, and
    the number of that run for every position."""
    last = np.ones(len(sorted_scores), dtype=bool)
    last[:-1] = sorted_scores[1:] != sorted_scores[:-1]
    group = np.cumsum(last) - last
    return last, group


def tdc_qvalues(scores, is_decoy, decoys_per_target: int = 1) -> np.ndarray:
    """q-values of competing entries, from targets and decoys scoring at least as well.

    `scores`: one score per entry, higher is better; NaN counts as the worst score.
    `is_decoy`: one flag per entry. The entries are the winners of a competition (one per
    spectrum, per peptide or per protein pair), so a false target is as likely as a decoy
    at any score. Returns float64 q-values in [0, 1] in the order of the input, estimated
    as the least decoys / targets at or below each score (see `fdr_estimate` for
    `decoys_per_target`).
    """
    values = _as_scores(scores)
    decoy = _as_flags(is_decoy, len(values))
    n = len(values)
    if n == 0:
        return np.empty(0, dtype=np.float64)
    order = np.argsort(-values)
    ranked = values[order]
    decoys = np.cumsum(decoy[order])
    targets = np.arange(1, n + 1) - decoys
    last, group = _tie_groups(ranked)
    fdr = fdr_estimate(decoys[last], targets[last], decoys_per_target)
    q_of_group = np.minimum.accumulate(fdr[::-1])[::-1]
    q = np.empty(n, dtype=np.float64)
    q[order] = q_of_group[group]
    return q


def _decreasing_fit(values: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """Weighted least-squares fit of a non-increasing sequence (pool adjacent violators)."""
    means: list[float] = []
    masses: list[float] = []
    lengths: list[int] = []
    for value, weight in zip(values.tolist(), weights.tolist()):
        means.append(value)
        masses.append(weight)
        lengths.append(1)
        while len(means) > 1 and means[-2] < means[-1]:
            mass = masses[-2] + masses[-1]
            means[-2] = (means[-2] * masses[-2] + means[-1] * masses[-1]) / mass
            masses[-2] = mass
            lengths[-2] += lengths[-1]
            del means[-1], masses[-1], lengths[-1]
    return np.repeat(np.asarray(means, dtype=np.float64), lengths)


def posterior_errors(scores, is_decoy, max_bins: int = PEP_BINS) -> np.ndarray:
    """Posterior error probabilities: for each entry, the probability that a target with
    its score is false.

    Among competition winners at score s, false targets are as frequent as decoys, so
    PEP(s) = d(s) / t(s), the ratio of decoy to target density. The share of decoys
    p(s) = d / (d + t) is fitted as a non-increasing function of the score (isotonic
    regression on at most `max_bins` bins of neighbouring scores, equal scores always in
    one bin), interpolated linearly between bin centres, and turned into
    PEP = p / (1 - p), capped at 1 and floored at `pep_floor` of the number of decoys. The
    result never rises with the score, and entries with equal scores get equal values.
    Decoys get the value of their score as well. Without any decoy, or without any target,
    every PEP is 1.
    """
    values = _as_scores(scores)
    decoy = _as_flags(is_decoy, len(values))
    n = len(values)
    if n == 0:
        return np.empty(0, dtype=np.float64)
    finite = np.isfinite(values)
    if finite.any():
        # Infinite scores sit just beyond the finite ones, so that bin centres stay finite.
        low, high = values[finite].min(), values[finite].max()
        values = np.clip(values, low - 1.0, high + 1.0)
    else:
        values = np.zeros(n)
    order = np.argsort(values)
    ranked = values[order]
    last, group = _tie_groups(ranked)
    first_of_group = np.flatnonzero(np.r_[True, last[:-1]])
    per_bin = -(-n // max(int(max_bins), 1))
    step = first_of_group // per_bin
    bins = (np.cumsum(np.r_[True, step[1:] != step[:-1]]) - 1)[group]
    counts = np.bincount(bins).astype(np.float64)
    decoys = np.bincount(bins, weights=decoy[order].astype(np.float64))
    centres = np.bincount(bins, weights=ranked) / counts
    share = _decreasing_fit(decoys / counts, counts)
    share = np.interp(values, centres, share)
    with np.errstate(divide="ignore", invalid="ignore"):
        pep = np.where(share >= 0.5, 1.0, share / (1.0 - share))
    return np.clip(pep, pep_floor(int(decoy.sum())), 1.0)


def pep_floor(decoys: int) -> float:
    """The least posterior error probability that `decoys` decoys can support: 1 / (D + 1).

    Above the best decoy the fitted decoy share is 0, but that says only that no decoy was
    drawn there, not that no false match can score there. False targets and decoys are
    exchangeable, so a false match outscores all D decoys with probability 1 / (D + 1):
    below that the data do not resolve the error rate, and no match gets a smaller PEP.
    Without decoys the floor is 1 (nothing is resolved)."""
    return 1.0 / (max(int(decoys), 0) + 1)


def picked_competition(keys, scores, is_decoy) -> np.ndarray:
    """Winners of a competition between entries that share a key: the best score wins, a
    decoy wins a tie with a target, and a lone entry wins by default.

    For picked-protein competition the key of a target protein is its accession and the
    key of a decoy protein is its accession without the decoy tag, so each protein meets
    its own reversed decoy. Returns a boolean mask of the winners (one per key) in input
    order; ties between two entries of the same kind go to the first.
    """
    values = _as_scores(scores)
    decoy = _as_flags(is_decoy, len(values))
    codes, _ = pd.factorize(np.asarray(keys, dtype=object))
    if len(codes) != len(values):
        raise ValueError(f"keys must hold one key per score ({len(values)}), got {len(codes)}")
    # Best first within each key: highest score, then decoys, then input order.
    order = np.lexsort((np.arange(len(values)), ~decoy, -values, codes))
    first = np.ones(len(order), dtype=bool)
    first[1:] = codes[order][1:] != codes[order][:-1]
    winners = np.zeros(len(values), dtype=bool)
    winners[order[first]] = True
    return winners
