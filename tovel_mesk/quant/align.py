"""Retention-time alignment: a monotone model per run that maps its retention times onto
those of a reference run.

The reference is the run with the most identified precursor ions (the first such run in
the order given). Each other run is fitted on the ions identified, and quantified, in both
runs, pairing the apex retention times of their features:

- with at least `min_points` shared ions: the pairs are sorted by the run's retention time
  and cut into bins of equal counts (about `per_bin` pairs each, at most `max_bins` bins);
  each bin gives one knot (the median retention time in the run, plus the median
  difference reference - run of its pairs: the difference varies slowly, so its median is
  a steadier estimate than the median of the reference times); the knots' reference times are made non-decreasing by weighted pool-adjacent-
  violators (isotonic regression, weights = pairs per bin) and then strictly increasing,
  and the model interpolates linearly between knots and continues beyond the first and last
  knot with slope 1 (a constant shift), so that it can be inverted everywhere;
- with 2 to `min_points` - 1 shared ions: a constant shift, the median difference (noted);
- with fewer: the identity (noted).

The residual spread is 1.4826 times the median absolute residual of the pairs (robust
standard deviation), at least `MIN_SPREAD` minutes; match-between-runs sizes its windows
from it.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["RtModel", "fit_alignment", "isotonic", "MIN_SPREAD"]

#: The least residual spread (minutes) a model reports: a perfect fit on a few points
#: would otherwise promise more than any chromatography keeps.
MIN_SPREAD = 0.02


@dataclass(frozen=True)
class RtModel:
    """`kind` is "reference", "piecewise", "shift" or "identity"; knots `x` (run) and `y`
    (reference), strictly increasing; `residual_sd` in minutes; `points` = pairs fitted."""

    kind: str
    x: np.ndarray
    y: np.ndarray
    residual_sd: float
    points: int

    def to_reference(self, rt) -> np.ndarray:
        rt = np.asarray(rt, dtype=np.float64)
        if self.x.size == 0:
            return rt.copy()
        if self.x.size == 1:
            return rt + (self.y[0] - self.x[0])
        inside = np.interp(rt, self.x, self.y)
        return np.where(rt < self.x[0], rt + (self.y[0] - self.x[0]),
                        np.where(rt > self.x[-1], rt + (self.y[-1] - self.x[-1]), inside))

    def from_reference(self, rt) -> np.ndarray:
        inverse = RtModel(self.kind, self.y, self.x, self.residual_sd, self.points)
        return inverse.to_reference(rt)

    def summary(self) -> dict:
        return {"model": self.kind, "points": self.points, "residual_sd_min": round(self.residual_sd, 4),
                "knots_run": [round(float(v), 4) for v in self.x],
                "knots_reference": [round(float(v), 4) for v in self.y]}


def isotonic(values: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """Weighted least-squares non-decreasing fit (pool adjacent violators)."""
    blocks: list[list[float]] = []   # [mean, weight, count]
    for v, w in zip(values.tolist(), weights.tolist()):
        blocks.append([v, w, 1])
        while len(blocks) > 1 and blocks[-2][0] > blocks[-1][0]:
            m2, w2, c2 = blocks.pop()
            m1, w1, c1 = blocks.pop()
            blocks.append([(m1 * w1 + m2 * w2) / (w1 + w2), w1 + w2, c1 + c2])
    return np.concatenate([np.full(c, m) for m, _w, c in blocks]) if blocks else np.zeros(0)


def fit_alignment(run_rt, ref_rt, *, min_points: int = 10, per_bin: int = 8,
                  max_bins: int = 25) -> tuple[RtModel, str | None]:
    """The model of a run from paired retention times (minutes); the second value is a note
    when a fallback was taken."""
    run_rt = np.asarray(run_rt, dtype=np.float64)
    ref_rt = np.asarray(ref_rt, dtype=np.float64)
    keep = np.isfinite(run_rt) & np.isfinite(ref_rt)
    run_rt, ref_rt = run_rt[keep], ref_rt[keep]
    n = run_rt.size
    if n < 2:
        return RtModel("identity", np.zeros(0), np.zeros(0), _spread(ref_rt - run_rt), n), (
            f"{n} shared {'ion' if n == 1 else 'ions'}: retention times taken as they are (identity)")
    if n < min_points:
        shift = float(np.median(ref_rt - run_rt))
        model = RtModel("shift", np.array([0.0]), np.array([shift]), _spread(ref_rt - run_rt - shift), n)
        return model, f"{n} shared ions (fewer than {min_points}): a constant shift of {shift:+.3f} min"
    order = np.argsort(run_rt, kind="stable")
    xs, ys = run_rt[order], ref_rt[order]
    bins = int(min(max_bins, max(2, n // per_bin)))
    chunks = np.array_split(np.arange(n), bins)
    x = np.array([np.median(xs[c]) for c in chunks])
    y = x + np.array([np.median(ys[c] - xs[c]) for c in chunks])
    w: np.ndarray = np.array([c.size for c in chunks], dtype=np.float64)
    # merge knots with equal run times
    ux, inverse = np.unique(x, return_inverse=True)
    if ux.size < x.size:
        y = np.bincount(inverse, y * w) / np.bincount(inverse, w)
        w = np.bincount(inverse, w).astype(np.float64)
        x = ux.astype(np.float64)
    y = isotonic(y, w)
    for i in range(1, y.size):
        y[i] = max(y[i], y[i - 1] + 1e-6)
    model = RtModel("piecewise", x, y, 0.0, n)
    resid = ref_rt - model.to_reference(run_rt)
    return RtModel("piecewise", x, y, _spread(resid), n), None


def _spread(residuals: np.ndarray) -> float:
    if residuals.size == 0:
        return MIN_SPREAD
    mad = float(np.median(np.abs(residuals - np.median(residuals))))
    return max(1.4826 * mad, MIN_SPREAD)
