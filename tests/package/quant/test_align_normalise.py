"""Retention-time alignment (a known shift, a known monotone warp, the fallbacks) and the
median-ratio normalisation."""

from __future__ import annotations

import numpy as np
import pytest

from tovel_mesk.quant.align import MIN_SPREAD, fit_alignment, isotonic
from tovel_mesk.quant.normalise import median_ratio_factors


def test_a_known_shift_is_recovered():
    rng = np.random.default_rng(1)
    ref = np.sort(rng.uniform(5, 55, 200))
    run = ref - 1.25 + rng.normal(0, 0.03, ref.size)
    model, note = fit_alignment(run, ref)
    assert note is None and model.kind == "piecewise"
    grid = np.linspace(6, 54, 50)
    np.testing.assert_allclose(model.to_reference(grid - 1.25), grid, atol=0.03)
    assert model.residual_sd == pytest.approx(0.03, rel=0.3)
    # beyond the knots the model goes on as a shift, and inverts everywhere
    assert model.to_reference(80.0) - 80.0 == pytest.approx(1.25, abs=0.05)
    np.testing.assert_allclose(model.from_reference(model.to_reference(grid)), grid, atol=1e-9)


def test_a_known_monotone_warp_is_recovered_despite_outliers():
    rng = np.random.default_rng(2)
    run = np.sort(rng.uniform(2, 60, 400))

    def warp(t):
        return t + 2.0 * np.sin(t / 60 * np.pi) + 0.02 * t

    ref = warp(run) + rng.normal(0, 0.05, run.size)
    ref[::25] += rng.uniform(-5, 5, ref[::25].size)       # mismatched pairs
    model, _ = fit_alignment(run, ref)
    grid = np.linspace(5, 57, 60)
    assert np.abs(model.to_reference(grid) - warp(grid)).max() < 0.15
    assert np.all(np.diff(model.to_reference(np.linspace(0, 70, 500))) > 0)


def test_fallbacks_with_few_shared_ions():
    model, note = fit_alignment([10.0], [11.0])
    assert model.kind == "identity" and "identity" in note
    assert model.to_reference(5.0) == 5.0
    model, note = fit_alignment([10.0, 20.0, 30.0, 40.0], [10.5, 20.5, 30.6, 40.5])
    assert model.kind == "shift" and "shift" in note
    assert model.to_reference(25.0) == pytest.approx(25.5)
    assert model.from_reference(25.5) == pytest.approx(25.0)
    assert model.residual_sd >= MIN_SPREAD
    model, _ = fit_alignment([np.nan, 1.0], [2.0, np.nan])
    assert model.kind == "identity"


def test_isotonic_pools_violators_by_weight():
    np.testing.assert_allclose(isotonic(np.array([1.0, 3.0, 2.0, 4.0]), np.array([1.0, 1.0, 3.0, 1.0])),
                               [1.0, 2.25, 2.25, 4.0])
    np.testing.assert_allclose(isotonic(np.array([3.0, 2.0, 1.0]), np.ones(3)), [2.0, 2.0, 2.0])


def test_median_ratio_normalisation():
    rng = np.random.default_rng(3)
    base = np.exp(rng.normal(12, 1.5, 300))
    a = base.copy()
    b = base * 2.0
    b[:40] *= 8.0                    # a minority of changed ions does not move the median
    c = base * 0.5
    c[rng.random(300) < 0.4] = np.nan
    factors, ref, notes = median_ratio_factors(np.column_stack([a, b, c]), ["a", "b", "c"])
    assert ref == 0 and not notes
    np.testing.assert_allclose(factors, [1.0, 0.5, 2.0])
    # a sample sharing too few ions is left as it is, with a note naming it
    d = np.full(300, np.nan)
    d[:2] = 1.0
    factors, ref, notes = median_ratio_factors(np.column_stack([a, d]), ["a", "d"])
    assert factors[1] == 1.0 and "d shares 2" in notes[0]
    # zeros count as missing, not as infinite ratios
    factors, _, _ = median_ratio_factors(np.column_stack([a, np.where(np.arange(300) < 10, 0.0, a * 4)]))
    assert factors[1] == pytest.approx(0.25)
