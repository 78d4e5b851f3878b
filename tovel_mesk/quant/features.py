"""Chromatogram extraction: the elution peak of one precursor ion in one run.

For each request (an ion's expected m/z in a run, its charge and neutral mass, and where to
look in retention time) the extractor reads three isotope traces from the run's MS1 scans:
the monoisotopic peak (M), the next isotope (M+1) and the one after (M+2), each at
m/z = expected + k * 1.0033548 / charge (the 13C-12C spacing). In every scan the peak
nearest the trace's m/z within the tolerance (ppm of that m/z) is taken; a scan without one
reads 0, a missing point.

All requests of a run are served together: the run's peaks get one sorted search key
(scan index * 65,536 + m/z) and every (request, scan, isotope) point is one binary search
in it, so the cost is a few numpy passes, not a Python loop over peaks.

The elution peak, on the trace M + M+1 (the quantity trace), by this rule:

1. Gaps: a run of at most `max_gap` missing scans between two points with signal is
   bridged by linear interpolation; longer gaps, and the ends of the window, stay 0.
2. Smoothing: the bridged trace is smoothed with the weights 1/4, 1/2, 1/4 (points beyond
   the window count as 0). The smoothed trace finds the apex and the boundaries; the area
   is integrated on the bridged trace.
3. Apex: for an identified ion, start at the scan nearest the identification's retention
   time and climb the smoothed trace to the local maximum (a neighbour must be strictly
   higher to move). For a transfer (no identification in the run), the apex is the
   highest smoothed point inside the search window.
4. Boundaries: walk out from the apex on each side while the bridged trace has signal and
   the smoothed trace stays at or above `boundary_fraction` of the apex; stop where the
   smoothed trace rises again to more than `1 + rise_tolerance` times the lowest value met
   (the valley before a neighbouring peak). The boundary is the lowest point met.
5. The peak counts when at least `min_points` of its scans hold signal.

Recorded per feature: the area (trapezoids over retention time, minutes, of the bridged
M + M+1 trace between the boundaries), the apex retention time (the scan of the smoothed
maximum), the number of scans with signal, the boundaries, the mass error (the
M-weighted mean of the monoisotopic peaks' errors in ppm against the expected m/z), and
the isotope quality: the cosine between the summed intensities of M, M+1, M+2 over the
peak and the pattern expected from the mass.

The expected pattern is estimated from the neutral mass with an averagine composition
(C 4.9384, H 7.7583, N 1.3577, O 1.4773, S 0.0417 per 111.1254 Da) and natural isotope
abundances; it ignores the exact sequence and its modifications, an error of a few per
cent in the M+1 and M+2 shares at peptide masses.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..conventions import C13_SPACING, PROTON_MASS
from .ms1 import Ms1Run

__all__ = ["ISOTOPE_SPACING", "PeakRule", "RunIndex", "Requests", "Features", "expected_isotopes",
           "isotope_cosine", "extract", "ion_mz"]

#: 13C - 12C, the spacing of a peptide's isotope peaks in daltons.
ISOTOPE_SPACING = C13_SPACING
#: Isotope traces read per ion: M, M+1, M+2.
N_ISOTOPES = 3
#: The search key's stride per scan: m/z values must be below it.
KEY_STRIDE = 65536.0

_AVERAGINE_MASS = 111.1254
#: (atoms per averagine unit, abundances of +0, +1, +2 Da)
_ELEMENTS = (
    (4.9384, (0.9893, 0.0107, 0.0)),
    (7.7583, (0.999885, 0.000115, 0.0)),
    (1.3577, (0.99636, 0.00364, 0.0)),
    (1.4773, (0.99757, 0.00038, 0.00205)),
    (0.0417, (0.9499, 0.0075, 0.0425)),
)


@dataclass(frozen=True)
class PeakRule:
    """The elution peak's rule (see the module documentation)."""

    max_gap: int = 1
    boundary_fraction: float = 0.05
    rise_tolerance: float = 0.2
    min_points: int = 3

    def __post_init__(self):
        if self.max_gap < 0 or self.min_points < 2:
            raise ValueError("max_gap must be >= 0 and min_points >= 2")
        if not 0 <= self.boundary_fraction < 1 or self.rise_tolerance < 0:
            raise ValueError("boundary_fraction must be in [0, 1) and rise_tolerance >= 0")


def ion_mz(mass, charge, ppm_offset=0.0) -> np.ndarray:
    """The m/z at which an ion of neutral `mass` and `charge` is observed in a run whose
    precursors read `ppm_offset` ppm high (the calibration's offset)."""
    mass = np.asarray(mass, dtype=np.float64)
    charge = np.asarray(charge, dtype=np.float64)
    return PROTON_MASS + mass / charge * (1.0 + np.asarray(ppm_offset, dtype=np.float64) * 1e-6)


def expected_isotopes(mass) -> np.ndarray:
    """Relative intensities of M, M+1, M+2 (rows sum to 1) of peptides of neutral `mass`,
    from the averagine composition."""
    units = np.atleast_1d(np.asarray(mass, dtype=np.float64)) / _AVERAGINE_MASS
    total = np.zeros((units.size, N_ISOTOPES))
    total[:, 0] = 1.0
    for per_unit, (p0, p1, p2) in _ELEMENTS:
        n = units * per_unit
        a0 = p0 ** n
        a1 = n * p0 ** (n - 1) * p1
        a2 = n * p0 ** (n - 1) * p2 + n * (n - 1) / 2 * p0 ** (n - 2) * p1 * p1
        t0, t1, t2 = total[:, 0].copy(), total[:, 1].copy(), total[:, 2].copy()
        total[:, 0] = t0 * a0
        total[:, 1] = t0 * a1 + t1 * a0
        total[:, 2] = t0 * a2 + t1 * a1 + t2 * a0
    return total / total.sum(axis=1, keepdims=True)


def isotope_cosine(observed: np.ndarray, expected: np.ndarray) -> np.ndarray:
    """Row-wise cosine of observed and expected isotope intensities (0 for an empty row)."""
    dot = (observed * expected).sum(axis=1)
    norm = np.sqrt((observed * observed).sum(axis=1)) * np.sqrt((expected * expected).sum(axis=1))
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(norm > 0, dot / np.where(norm > 0, norm, 1.0), 0.0)


class RunIndex:
    """A run's peaks with the sorted search key (scan index * KEY_STRIDE + m/z).

    Extraction needs scans in retention-time order: scans without a retention time are
    left out and scans out of order are put in order (on a copy), and `repairs` says so."""

    def __init__(self, run: Ms1Run):
        self.repairs: list[str] = []
        if run.peaks and float(run.mz.max()) >= KEY_STRIDE:
            raise ValueError(f"{run.file}: an MS1 peak at m/z {float(run.mz.max()):.1f} is beyond "
                             f"the extractor's range (below {KEY_STRIDE:.0f})")
        timed = np.isfinite(run.rt)
        ordered = bool(np.all(np.diff(run.rt[timed]) >= 0)) if timed.any() else True
        if not timed.all() or not ordered:
            if not timed.all():
                untimed = int((~timed).sum())
                scans = "scan" if untimed == 1 else "scans"
                self.repairs.append(f"{run.file}: {untimed:,} MS1 {scans} without a retention time "
                                    f"left out of quantification")
            if not ordered:
                self.repairs.append(f"{run.file}: MS1 scans out of retention-time order were put in order")
            run = _reordered(run, np.flatnonzero(timed)[np.argsort(run.rt[timed], kind="stable")])
        self.run = run
        counts = np.diff(run.offsets)
        self.key = np.repeat(np.arange(run.scans, dtype=np.float64) * KEY_STRIDE, counts)
        self.key += run.mz


def _reordered(run: Ms1Run, scans: np.ndarray) -> Ms1Run:
    """A copy of `run` holding the scans `scans`, in that order."""
    counts = np.diff(run.offsets)[scans]
    offsets = np.zeros(scans.size + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    take = (np.concatenate([np.arange(run.offsets[i], run.offsets[i + 1]) for i in scans])
            if scans.size else np.zeros(0, dtype=np.int64))
    ids = tuple(run.scan_ids[i] for i in scans) if run.scan_ids else ()
    return Ms1Run(run.file, run.rt[scans], offsets, run.mz[take], run.intensity[take], ids)


@dataclass
class Requests:
    """What to extract, one entry per request (arrays of equal length).

    `mz`: the monoisotopic m/z expected in the run (calibrated); `charge`, `mass` (neutral,
    Da); `rt`: the identification's retention time (`climb`) or the centre of the search
    window (transfers); `window`: half-width in minutes of the search window for the apex
    (transfers); `extent`: half-width in minutes of the extracted chromatogram around `rt`;
    `ppm`: the trace tolerance; `climb`: True for identified ions."""

    mz: np.ndarray
    charge: np.ndarray
    mass: np.ndarray
    rt: np.ndarray
    window: np.ndarray
    extent: np.ndarray
    ppm: np.ndarray
    climb: np.ndarray

    def __len__(self) -> int:
        return int(np.asarray(self.mz).size)


@dataclass
class Features:
    """Extraction results, one entry per request; `found` False where no peak counts
    (then area 0 and the other values NaN or -1)."""

    found: np.ndarray
    area: np.ndarray
    apex_rt: np.ndarray
    apex_height: np.ndarray
    points: np.ndarray
    start_rt: np.ndarray
    end_rt: np.ndarray
    ppm_error: np.ndarray
    isotope_quality: np.ndarray


def _segments(rt: np.ndarray, centre: np.ndarray, extent: np.ndarray):
    lo = np.searchsorted(rt, centre - extent, side="left")
    hi = np.searchsorted(rt, centre + extent, side="right")
    return lo.astype(np.int64), np.maximum(hi, lo).astype(np.int64)


def _read_traces(index: RunIndex, scan: np.ndarray, centre: np.ndarray, tol: np.ndarray):
    """Per point: the intensity and m/z of the peak nearest `centre` within `tol` in `scan`
    (0 and NaN when none)."""
    run = index.run
    if scan.size == 0 or run.peaks == 0:
        return np.zeros(scan.size), np.full(scan.size, np.nan)
    q = scan * KEY_STRIDE + centre
    # sorted needles: the binary searches then walk the key in one direction (far fewer
    # cache misses); the positions are the same
    order = np.argsort(q, kind="stable")
    right = np.empty(q.size, dtype=np.int64)
    right[order] = np.searchsorted(index.key, q[order], side="left")
    first, stop = run.offsets[scan], run.offsets[scan + 1]
    best = np.full(scan.size, -1, dtype=np.int64)
    best_d = np.full(scan.size, np.inf)
    for cand in (right - 1, right):
        ok = (cand >= first) & (cand < stop)
        c = np.where(ok, cand, 0)
        d = np.abs(run.mz[c].astype(np.float64) - centre)
        ok &= (d <= tol) & (d < best_d)
        best = np.where(ok, c, best)
        best_d = np.where(ok, d, best_d)
    hit = best >= 0
    intensity = np.where(hit, run.intensity[np.where(hit, best, 0)].astype(np.float64), 0.0)
    mz = np.where(hit, run.mz[np.where(hit, best, 0)].astype(np.float64), np.nan)
    return intensity, mz


def extract(index: RunIndex, req: Requests, rule: PeakRule = PeakRule()) -> Features:
    """The elution peaks of all requests in one run (see the module documentation)."""
    run = index.run
    n = len(req)
    mz0 = np.asarray(req.mz, dtype=np.float64)
    charge = np.asarray(req.charge, dtype=np.float64)
    centre_rt = np.asarray(req.rt, dtype=np.float64)
    lo, hi = _segments(run.rt, centre_rt, np.asarray(req.extent, dtype=np.float64))
    lengths = hi - lo
    starts = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(lengths, out=starts[1:])
    total = int(starts[-1])
    owner = np.repeat(np.arange(n), lengths)
    pos = np.arange(total) - starts[owner]
    scan = lo[owner] + pos
    seg_start, seg_end = starts[owner], starts[owner + 1]   # flat [start, end) of each point's segment

    traces = np.zeros((total, N_ISOTOPES))
    mz_obs0 = np.full(total, np.nan)
    ppm = np.asarray(req.ppm, dtype=np.float64)
    for k in range(N_ISOTOPES):
        centre = mz0 + k * ISOTOPE_SPACING / charge
        tol = centre * ppm * 1e-6
        traces[:, k], mz_k = _read_traces(index, scan, centre[owner], tol[owner])
        if k == 0:
            mz_obs0 = mz_k
    raw = traces[:, 0] + traces[:, 1]
    observed = raw > 0

    # 1. bridge short gaps
    flat = np.arange(total)
    prev = np.maximum.accumulate(np.where(observed, flat, -1)) if total else flat
    nxt = (np.minimum.accumulate(np.where(observed, flat, total)[::-1])[::-1]) if total else flat
    bridge = (~observed & (prev >= seg_start) & (nxt < seg_end) & (nxt - prev - 1 <= rule.max_gap))
    filled = raw.copy()
    if bridge.any():
        p, q = prev[bridge], nxt[bridge]
        filled[bridge] = raw[p] + (raw[q] - raw[p]) * ((flat[bridge] - p) / (q - p))
    has = filled > 0

    # 2. smooth within each segment
    left = np.where(flat > seg_start, np.roll(filled, 1), 0.0)
    right = np.where(flat < seg_end - 1, np.roll(filled, -1), 0.0)
    smooth = 0.25 * left + 0.5 * filled + 0.25 * right

    # 3. apex
    nonempty = lengths > 0
    apex = np.full(n, -1, dtype=np.int64)
    climb = np.asarray(req.climb, dtype=bool)
    rt_flat = run.rt[scan] if total else np.zeros(0)
    # identified: nearest scan to the identification, then climb
    ci = np.flatnonzero(climb & nonempty)
    if ci.size:
        near = np.searchsorted(run.rt, centre_rt[ci])
        near = np.clip(near, lo[ci], hi[ci] - 1)
        before = np.clip(near - 1, lo[ci], hi[ci] - 1)
        closer = np.abs(run.rt[before] - centre_rt[ci]) < np.abs(run.rt[near] - centre_rt[ci])
        at = starts[ci] + np.where(closer, before, near) - lo[ci]
        first, last = starts[ci], starts[ci + 1] - 1
        while True:
            lv = np.where(at > first, smooth[np.maximum(at - 1, 0)], -np.inf)
            rv = np.where(at < last, smooth[np.minimum(at + 1, total - 1)], -np.inf)
            here = smooth[at]
            go_left = (lv > here) & (lv >= rv)
            go_right = (rv > here) & ~go_left
            if not (go_left.any() or go_right.any()):
                break
            at = at - go_left + go_right
        apex[ci] = at
    # transfers: highest smoothed point inside the search window
    wi = np.flatnonzero(~climb & nonempty)
    if wi.size:
        window = np.asarray(req.window, dtype=np.float64)
        inside = ((np.abs(rt_flat - centre_rt[owner]) <= window[owner]) & ~climb[owner])
        score = np.where(inside, smooth, -1.0)
        # segment argmax (first maximum): sort by (owner, -score, position)
        order = np.lexsort((flat, -score, owner))
        first_of = np.searchsorted(owner[order], wi)
        cand = order[first_of]
        apex[wi] = np.where(score[cand] >= 0, cand, -1)
    valid = apex >= 0
    valid[valid] &= smooth[apex[valid]] > 0

    # 4. walk out from the apex
    va = np.flatnonzero(valid)
    a = apex[va]
    height = smooth[a]
    floor = rule.boundary_fraction * height
    bounds = []
    for step, limit in ((-1, starts[va]), (1, starts[va + 1] - 1)):
        j = a.copy()
        low, low_at = height.copy(), a.copy()
        active = np.ones(va.size, dtype=bool)
        while active.any():
            nj = j + step
            active &= (nj >= limit) if step < 0 else (nj <= limit)
            nj_safe = np.clip(nj, 0, max(total - 1, 0))
            v = smooth[nj_safe]
            active &= has[nj_safe] & (v >= floor) & (v <= (1.0 + rule.rise_tolerance) * low)
            j = np.where(active, nj, j)
            lower = active & (v < low)
            low = np.where(lower, v, low)
            low_at = np.where(lower, nj, low_at)
        bounds.append(low_at)
    b_lo, b_hi = bounds

    found = np.zeros(n, dtype=bool)
    area = np.zeros(n)
    apex_rt = np.full(n, np.nan)
    apex_height = np.zeros(n)
    points = np.zeros(n, dtype=np.int64)
    start_rt = np.full(n, np.nan)
    end_rt = np.full(n, np.nan)
    ppm_error = np.full(n, np.nan)
    quality = np.full(n, np.nan)
    if va.size:
        # per-peak sums over [b_lo, b_hi], each from its own points only (a feature's numbers
        # do not depend on the other requests of the batch)
        ends = np.empty(2 * va.size, dtype=np.int64)
        ends[0::2], ends[1::2] = b_lo, b_hi + 1

        def span_sum(values, shift=0):
            padded = np.append(np.asarray(values, dtype=np.float64), 0.0)
            e = ends.copy()
            e[1::2] -= shift
            sums = np.add.reduceat(padded, e)[0::2]
            return np.where(e[1::2] > e[0::2], sums, 0.0)
        pts = span_sum(observed).astype(np.int64)
        # trapezoids: 0.5 * (f[i] + f[i+1]) * (rt[i+1] - rt[i]) for i, i+1 in the same peak
        pair = np.zeros(total)
        pair[:-1] = 0.5 * (filled[:-1] + filled[1:]) * (rt_flat[1:] - rt_flat[:-1])
        peak_area = span_sum(pair, shift=1)
        iso = np.stack([span_sum(traces[:, k]) for k in range(N_ISOTOPES)], axis=1)
        err = np.where(traces[:, 0] > 0, (mz_obs0 - mz0[owner]) / mz0[owner] * 1e6, 0.0)
        w0 = span_sum(traces[:, 0])
        werr = span_sum(err * traces[:, 0])
        ok = pts >= rule.min_points
        sel = va[ok]
        found[sel] = True
        area[sel] = peak_area[ok]
        apex_rt[sel] = rt_flat[a[ok]]
        apex_height[sel] = height[ok]
        points[sel] = pts[ok]
        start_rt[sel] = rt_flat[b_lo[ok]]
        end_rt[sel] = rt_flat[b_hi[ok]]
        with np.errstate(invalid="ignore", divide="ignore"):
            ppm_error[sel] = np.where(w0[ok] > 0, werr[ok] / np.where(w0[ok] > 0, w0[ok], 1.0), np.nan)
        quality[sel] = isotope_cosine(iso[ok], expected_isotopes(np.asarray(req.mass, dtype=np.float64)[sel]))
    return Features(found, area, apex_rt, apex_height, points, start_rt, end_rt, ppm_error, quality)
