"""Match-between-runs: quantities for ions in runs where they were not identified, with the
false discovery rate of these transfers controlled by decoy transfers.

For an ion identified (and quantified) in some runs, each other run gets a candidate
transfer:

- where: the ion's retention time in the reference run's scale (the median over the runs
  with a feature, each mapped by its alignment), mapped into the run by the inverse of the
  run's alignment; the apex is searched in a window of +/- `WINDOW_SDS` residual standard
  deviations of the run's alignment (at least `MIN_WINDOW` minutes);
- the peak: the highest smoothed point of the M + M+1 trace in the window, its boundaries
  by the same rule as identified ions (`features`), at the run's calibrated m/z.

Each candidate has `DECOYS` decoys: the same extraction with the neutral mass moved by
`k * 1.000495` Da, with k drawn without repeats from +7 ... +13 for half of them and from
-13 ... -7 for the other half (seeded, per ion): far beyond the ion's isotope envelope, yet
at masses as crowded with peptide signal as the ion's own (a shift by a non-integer number
of daltons would land in the gaps between peptide masses and make the decoys too easy to
beat), and balanced up and down, where the density of signal differs. The decoys' isotope
pattern is the target's. Several decoys per candidate make the error estimate steadier: a
chance feature at the ion's own m/z is a rare event, and one decoy each would count it
with a large relative error.

Score of a candidate (higher is better; the same for targets and decoys):

    4 * isotope_quality - 0.5 * (rt deviation / rt spread)^2 - 0.5 * (mass error / mass spread)^2
      - 0.1 * (log2 of area / the ion's median identified area)^2

with the rt spread the run's alignment residual standard deviation and the mass spread
the robust standard deviation of the mass errors of the run's identified features (at least
0.5 ppm). A candidate without a peak has no score.

Competition: in each (ion, run) pair the best of the target and its decoys wins (a decoy
on a tie; a pair where none has a peak drops out). When the target is a chance feature it
is as likely as each of its decoys to win, so among the winners scoring at least s, the
false target wins are estimated by the decoy wins over the number of decoys per pair:

    FDR(s) = (D(s) / DECOYS) / T(s),  capped at 1,

and the q-value of a winner is the least FDR(s) at or below its score (equal scores share
one). Transfers with q <= the FDR asked (1% by default) are kept.
"""

from __future__ import annotations

import numpy as np

from ..fdr.qvalues import tdc_qvalues

__all__ = ["decoy_shifts", "transfer_score", "compete", "WINDOW_SDS", "MIN_WINDOW", "MASS_UNIT", "DECOYS"]

#: Decoys per candidate transfer (even: half shifted up, half down).
DECOYS = 4

#: Half-width of the apex search window, in alignment residual standard deviations.
WINDOW_SDS = 4.0
#: Least half-width of the window, minutes.
MIN_WINDOW = 0.1
#: The average spacing of peptide masses per nominal dalton.
MASS_UNIT = 1.000495
#: Least spread of mass errors used in the score, ppm.
MIN_PPM_SPREAD = 0.5


def decoy_shifts(n: int, seed: int, decoys: int = DECOYS) -> np.ndarray:
    """Neutral mass shifts (Da) of the decoys of `n` candidates, shape (n, decoys)."""
    rng = np.random.default_rng(seed)
    half = decoys // 2
    steps = np.arange(7, 14)
    up = np.argsort(rng.random((n, steps.size)), axis=1)[:, :half]
    down = np.argsort(rng.random((n, steps.size)), axis=1)[:, :decoys - half]
    return np.concatenate([steps[up], -steps[down]], axis=1) * MASS_UNIT


def transfer_score(quality, rt_deviation, rt_spread, ppm_error, ppm_spread, log2_ratio) -> np.ndarray:
    quality = np.asarray(quality, dtype=np.float64)
    rt_term = (np.asarray(rt_deviation, dtype=np.float64) / rt_spread) ** 2
    ppm_term = (np.nan_to_num(np.asarray(ppm_error, dtype=np.float64)) / ppm_spread) ** 2
    ratio_term = np.nan_to_num(np.asarray(log2_ratio, dtype=np.float64)) ** 2
    return 4.0 * quality - 0.5 * rt_term - 0.5 * ppm_term - 0.1 * ratio_term


def compete(target: np.ndarray, decoys: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per pair: `target` score (n,) and `decoys` scores (n, k), NaN = no peak. Returns
    whether the pair competes, whether the target wins, and the q-value of the winner (NaN
    for pairs that drop out)."""
    target = np.asarray(target, dtype=np.float64)
    decoys = np.asarray(decoys, dtype=np.float64)
    if decoys.ndim == 1:
        decoys = decoys[:, None]
    k = max(decoys.shape[1], 1)
    t = np.where(np.isnan(target), -np.inf, target)
    d = np.where(np.isnan(decoys), -np.inf, decoys).max(axis=1, initial=-np.inf)
    competes = np.isfinite(t) | np.isfinite(d)
    target_wins = competes & (t > d)
    q = np.full(target.size, np.nan)
    idx = np.flatnonzero(competes)
    if idx.size:
        # Each pair's winner competes on its score; equal scores share one q-value.
        q[idx] = tdc_qvalues(np.maximum(t, d)[idx], ~target_wins[idx], decoys_per_target=k)
    return competes, target_wins, q
