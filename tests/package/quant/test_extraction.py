"""Chromatogram extraction on hand-made traces: the peak's boundaries, its area, gaps of
missing scans, the isotope quality and the m/z tolerance."""

from __future__ import annotations

import numpy as np
import pytest

from tovel_mesk.quant.features import (ISOTOPE_SPACING, PeakRule, Requests, RunIndex, expected_isotopes, extract,
                                       ion_mz)
from tovel_mesk.quant.ms1 import Ms1Builder

MASS, CHARGE = 1500.0, 2
MZ = float(ion_mz(MASS, CHARGE))
STEP = 0.1
PATTERN = expected_isotopes(MASS)[0]


def run_of(heights, *, pattern=PATTERN, mz=MZ, extra=None, step=STEP):
    """A run whose scan i (rt = i * step) holds the ion's isotopes scaled so that M + M+1
    reads heights[i]; `extra` maps a scan to further (m/z, intensity) peaks."""
    builder = Ms1Builder("hand.mzML")
    scale = 1.0 / (pattern[0] + pattern[1])
    for i, h in enumerate(heights):
        mzs, ints = [], []
        if h > 0:
            for k in range(3):
                if pattern[k] > 0:
                    mzs.append(mz + k * ISOTOPE_SPACING / CHARGE)
                    ints.append(h * pattern[k] * scale)
        for peak in (extra or {}).get(i, []):
            mzs.append(peak[0])
            ints.append(peak[1])
        builder.add(i * step, np.array(mzs), np.array(ints))
    return builder.finish()


def request(rt, *, climb=True, window=0.0, extent=5.0, ppm=10.0, mz=MZ, n=1):
    return Requests(mz=np.full(n, mz), charge=np.full(n, CHARGE), mass=np.full(n, MASS), rt=np.full(n, rt),
                    window=np.full(n, window), extent=np.full(n, extent), ppm=np.full(n, ppm),
                    climb=np.full(n, climb))


def one(run, req, rule=PeakRule()):
    f = extract(RunIndex(run), req, rule)
    return {k: getattr(f, k)[0] for k in ("found", "area", "apex_rt", "points", "start_rt", "end_rt",
                                          "ppm_error", "isotope_quality")}


def test_triangle_peak_area_apex_and_boundaries():
    # Heights 0,0,1,2,4,2,1,0,0 (x1000) at 0.1 min: the peak spans scans 2..6; the smoothed
    # apex is scan 4. Trapezoids: 0.1 * ((1+2)/2 + (2+4)/2 + (4+2)/2 + (2+1)/2) * 1000 = 900.
    run = run_of(np.array([0, 0, 1, 2, 4, 2, 1, 0, 0]) * 1000.0)
    f = one(run, request(0.3))
    assert f["found"]
    assert f["area"] == pytest.approx(900.0, rel=1e-5)
    assert f["apex_rt"] == pytest.approx(0.4)
    assert (f["start_rt"], f["end_rt"]) == (pytest.approx(0.2), pytest.approx(0.6))
    assert f["points"] == 5
    assert f["isotope_quality"] == pytest.approx(1.0, abs=1e-4)
    assert abs(f["ppm_error"]) < 0.1   # float32 storage only


def test_valley_splits_two_peaks_and_the_identification_picks_its_own():
    # Two peaks with a valley at scan 6: climbing from the second one's side never
    # crosses into the first, and the boundary is the valley's lowest point.
    heights = np.array([0, 1, 3, 8, 3, 1.2, 1, 1.5, 4, 10, 4, 1, 0]) * 1000.0
    run = run_of(heights)
    second = one(run, request(0.85))
    assert second["apex_rt"] == pytest.approx(0.9)
    assert second["start_rt"] >= 0.55 and second["end_rt"] <= 1.2
    first = one(run, request(0.2))
    assert first["apex_rt"] == pytest.approx(0.3)
    assert first["end_rt"] <= 0.65


def test_boundary_fraction_cuts_a_long_faint_tail():
    heights = np.array([0, 100, 100, 100, 100, 1000, 10000, 1000, 0]) * 1.0
    f = one(run_of(heights), request(0.6))
    # smoothed: apex 5,500, scan 4 reads 325 (>= 5% = 275, in), scan 3 reads 100 (out)
    assert f["start_rt"] == pytest.approx(0.4)
    assert f["points"] == 4


def test_gaps_of_missing_scans():
    full = np.array([0, 1, 2, 3, 4, 3, 2, 1, 0]) * 1000.0
    one_gap = full.copy()
    one_gap[5] = 0            # bridged by interpolation: (4 + 2) / 2 = 3, the same area
    two_gap = full.copy()
    two_gap[5:7] = 0          # two missing scans end the peak on that side
    a = one(run_of(full), request(0.4))
    b = one(run_of(one_gap), request(0.4))
    c = one(run_of(two_gap), request(0.4))
    assert b["area"] == pytest.approx(a["area"], rel=1e-6)
    assert b["points"] == a["points"] - 1
    assert c["end_rt"] == pytest.approx(0.4)
    assert c["area"] < a["area"] / 2
    # a lone point with signal is no peak
    assert not one(run_of(np.array([0, 0, 5000.0, 0, 0])), request(0.2))["found"]


def test_isotope_quality_tells_the_expected_pattern_from_a_wrong_one():
    heights = np.array([0, 1, 3, 5, 3, 1, 0]) * 1000.0
    good = one(run_of(heights), request(0.3))["isotope_quality"]
    flat = one(run_of(heights, pattern=np.array([0.34, 0.33, 0.33])), request(0.3))["isotope_quality"]
    mono_only = one(run_of(heights, pattern=np.array([1.0, 0.0, 0.0])), request(0.3))["isotope_quality"]
    assert good > 0.999
    assert flat < 0.95 and mono_only < 0.85


def test_expected_isotopes_grow_with_mass():
    small, large = expected_isotopes([800.0, 3000.0])
    assert small[0] > small[1] and large[1] > large[0] * 0.9
    assert small.sum() == pytest.approx(1.0) and large.sum() == pytest.approx(1.0)
    # averagine M+1 / M near 1000 Da is about 0.55
    assert expected_isotopes(1000.0)[0][1] / expected_isotopes(1000.0)[0][0] == pytest.approx(0.55, abs=0.05)


def test_tolerance_and_the_nearest_peak():
    heights = np.array([0, 1, 3, 5, 3, 1, 0]) * 1000.0
    off = MZ * (1 + 20e-6)
    far = run_of(heights, mz=off)
    assert not one(far, request(0.3, ppm=10.0))["found"]
    assert one(far, request(0.3, ppm=25.0))["ppm_error"] == pytest.approx(20.0, abs=0.2)
    # an interfering peak 8 ppm away with higher intensity is not taken over the exact one
    extra = {i: [(MZ * (1 + 8e-6), 1e6)] for i in range(7)}
    near = one(run_of(heights, extra=extra), request(0.3, ppm=10.0))
    assert abs(near["ppm_error"]) < 0.5


def test_transfer_window_takes_the_highest_peak_inside_it():
    heights = np.zeros(40)
    heights[5:10] = [1000, 3000, 5000, 3000, 1000]      # apex 0.7, outside the window
    heights[25:30] = [500, 1500, 2500, 1500, 500]       # apex 2.7, inside
    f = one(run_of(heights), request(2.5, climb=False, window=0.5))
    assert f["apex_rt"] == pytest.approx(2.7)
    assert not one(run_of(heights), request(1.7, climb=False, window=0.3))["found"]


def test_a_batch_reads_like_requests_one_at_a_time():
    rng = np.random.default_rng(5)
    heights = np.convolve(rng.random(200) > 0.9, [1, 3, 6, 8, 6, 3, 1], "same") * 1000.0
    heights[rng.random(200) < 0.1] = 0
    run = run_of(heights)
    n = 60
    req = Requests(mz=np.full(n, MZ), charge=np.full(n, CHARGE), mass=np.full(n, MASS),
                   rt=rng.uniform(-0.5, 20.5, n), window=rng.uniform(0.05, 1.0, n), extent=rng.uniform(0.2, 2.0, n),
                   ppm=np.full(n, 10.0), climb=rng.random(n) < 0.5)
    batch = extract(RunIndex(run), req)
    for i in range(n):
        single = extract(RunIndex(run), Requests(*(np.asarray(getattr(req, k))[i:i + 1] for k in
                                                  ("mz", "charge", "mass", "rt", "window", "extent", "ppm", "climb"))))
        for key in ("found", "area", "apex_rt", "points", "start_rt", "end_rt", "isotope_quality"):
            np.testing.assert_array_equal(getattr(batch, key)[i:i + 1], getattr(single, key), err_msg=key)


def test_empty_run_and_no_requests():
    empty = Ms1Builder("none.mzML").finish()
    f = extract(RunIndex(empty), request(1.0))
    assert not f.found[0]
    g = extract(RunIndex(run_of([0, 1000.0])), request(0.0, n=0))
    assert g.found.size == 0


def reference_peak(rt, trace, centre, climb, window, rule=PeakRule()):
    """The documented peak rule, one point at a time: (start index, end index, apex index)
    or None."""
    n = len(trace)
    observed = [v > 0 for v in trace]
    filled = list(trace)
    for i in range(n):
        if observed[i]:
            continue
        p = next((k for k in range(i - 1, -1, -1) if observed[k]), None)
        q = next((k for k in range(i + 1, n) if observed[k]), None)
        if p is not None and q is not None and q - p - 1 <= rule.max_gap:
            filled[i] = trace[p] + (trace[q] - trace[p]) * ((i - p) / (q - p))
    s = [0.25 * (filled[i - 1] if i > 0 else 0.0) + 0.5 * filled[i] + 0.25 * (filled[i + 1] if i < n - 1 else 0.0)
         for i in range(n)]
    if n == 0:
        return None
    if climb:
        at = min(range(n), key=lambda i: (abs(rt[i] - centre), -i))
        while True:
            left = s[at - 1] if at > 0 else -np.inf
            right = s[at + 1] if at < n - 1 else -np.inf
            if left > s[at] and left >= right:
                at -= 1
            elif right > s[at]:
                at += 1
            else:
                break
    else:
        inside = [i for i in range(n) if abs(rt[i] - centre) <= window]
        if not inside:
            return None
        at = max(inside, key=lambda i: (s[i], -i))
    if s[at] <= 0:
        return None
    ends = []
    for step in (-1, 1):
        j, low, low_at = at, s[at], at
        while 0 <= j + step < n:
            v = s[j + step]
            if not (filled[j + step] > 0 and v >= rule.boundary_fraction * s[at] and v <= (1 + rule.rise_tolerance) * low):
                break
            j += step
            if v < low:
                low, low_at = v, j
        ends.append(low_at)
    if sum(observed[ends[0]:ends[1] + 1]) < rule.min_points:
        return None
    return ends[0], ends[1], at


def test_the_vectorised_rule_matches_the_reference_on_random_traces():
    rng = np.random.default_rng(8)
    for trial in range(30):
        n = 80
        heights = np.zeros(n)
        for _ in range(rng.integers(1, 5)):
            heights += peak(np.arange(n), rng.uniform(0, n), rng.uniform(1, 6), rng.uniform(1e3, 1e5))
        heights += rng.uniform(0, 200, n) * (rng.random(n) < 0.5)
        heights[rng.random(n) < 0.15] = 0
        heights = np.where(heights < 50, 0.0, heights)
        run = run_of(heights)
        index = RunIndex(run)
        for climb in (True, False):
            centre, window = rng.uniform(0, n * STEP), rng.uniform(0.05, 1.0)
            f = extract(index, request(centre, climb=climb, window=window, extent=10.0))
            # the extractor reads M + M+1 back from the float32 store
            mz, intensity = run.mz, run.intensity
            trace = []
            for i in range(run.scans):
                m, v = run.scan(i)
                near = np.abs(m.astype(float) - MZ) <= MZ * 1e-5
                near1 = np.abs(m.astype(float) - (MZ + ISOTOPE_SPACING / CHARGE)) <= MZ * 1e-5
                trace.append(float(v[near].sum()) + float(v[near1].sum()))
            expected = reference_peak(run.rt, trace, centre, climb, window)
            assert f.found[0] == (expected is not None), (trial, climb)
            if expected is not None:
                lo, hi, at = expected
                assert (f.start_rt[0], f.end_rt[0], f.apex_rt[0]) == (run.rt[lo], run.rt[hi], run.rt[at]), (trial, climb)


def peak(x, centre, width, height):
    return height * np.exp(-0.5 * ((x - centre) / width) ** 2)


def test_scans_out_of_order_or_without_time_are_repaired():
    heights = np.array([0, 1, 3, 5, 3, 1, 0]) * 1000.0
    run = run_of(heights)
    order = np.array([3, 0, 1, 2, 4, 5, 6])
    from tovel_mesk.quant.features import _reordered
    shuffled = _reordered(run, order)
    rt = shuffled.rt.copy()
    timed = type(shuffled)(shuffled.file, np.append(rt, np.nan), np.append(shuffled.offsets, shuffled.offsets[-1]),
                           shuffled.mz, shuffled.intensity)
    index = RunIndex(timed)
    assert len(index.repairs) == 2
    assert one(timed, request(0.3))["area"] == pytest.approx(one(run, request(0.3))["area"])
