"""Protein roll-up: MaxLFQ on a hand-computed case, disconnected samples, top3 and sum."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from tovel_mesk.quant.rollup import maxlfq, roll_up, summed, top3

nan = np.nan


def test_maxlfq_hand_computed():
    # Samples A, B, C; peptides p1 = (100, 200, -), p2 = (-, 400, 100), p3 = (400, -, 100).
    # With L = ln 2 the pairwise median log ratios are
    #   A/B = ln(100/200) = -L,  B/C = ln(400/100) = 2L,  A/C = ln(400/100) = 2L
    # (inconsistent: A/B + B/C = L). Least squares with x_C = 0:
    #   min (a - b + L)^2 + (b - 2L)^2 + (a - 2L)^2
    #   d/da: 2a - b - L = 0;  d/db: -a + 2b - 3L = 0  ->  a = 5L/3, b = 7L/3,
    # so A : B : C = 2^(5/3) : 2^(7/3) : 1 = 3.1748 : 5.0397 : 1 (sum 9.2145).
    # Scale: the summed intensities are A 500, B 600, C 200, total 1,300, so
    #   A = 1300 * 3.1748 / 9.2145 = 447.91,  B = 711.01,  C = 141.08.
    matrix = np.array([[100, 200, nan], [nan, 400, 100], [400, nan, 100]], dtype=float)
    values, used = maxlfq(matrix)
    w = np.array([2 ** (5 / 3), 2 ** (7 / 3), 1.0])
    np.testing.assert_allclose(values, 1300 * w / w.sum(), rtol=1e-12)
    np.testing.assert_allclose(values, [447.91, 711.01, 141.08], atol=0.01)
    assert used == 3


def test_maxlfq_consistent_ratios_and_a_missing_sample():
    # Every peptide says B = 2 A; C has nothing.
    matrix = np.array([[100, 200, nan], [10, 20, nan], [50, 100, 0]], dtype=float)
    values, used = maxlfq(matrix)
    # sums A 160, B 320 -> A = 480/3, B = 960/3
    np.testing.assert_allclose(values[:2], [160.0, 320.0])
    assert np.isnan(values[2]) and used == 3


def test_maxlfq_disconnected_sets_are_scaled_on_their_own():
    # A-B share p1, C-D share p2; nothing links the two pairs; E has p3 alone.
    matrix = np.array([[100, 300, nan, nan, nan],
                       [nan, nan, 1000, 1000, nan],
                       [nan, nan, nan, nan, 70]], dtype=float)
    values, used = maxlfq(matrix)
    np.testing.assert_allclose(values, [100, 300, 1000, 1000, 70])
    assert used == 3
    values, used = maxlfq(np.full((2, 3), nan))
    assert np.isnan(values).all() and used == 0


def test_top3_and_sum():
    matrix = np.array([[1, 10, nan], [2, nan, nan], [3, 30, 5], [4, 40, nan]], dtype=float)
    values, used = top3(matrix)
    np.testing.assert_allclose(values, [3.0, 80 / 3, 5.0])
    assert used == 4
    values, _ = summed(matrix)
    np.testing.assert_allclose(values, [10.0, 80.0, 5.0])


def test_roll_up_per_group():
    peptides = pd.DataFrame({"protein_group": [2, 2, 1, 1], "s1": [100, 50, 10, nan], "s2": [200, 100, 20, nan]})
    table = roll_up(peptides, ["s1", "s2"], "maxlfq")
    assert table["protein_group"].tolist() == [1, 2]
    np.testing.assert_allclose(table[["s1", "s2"]].to_numpy(), [[10, 20], [150, 300]])
    assert table["peptides_used"].tolist() == [1, 2]
    with pytest.raises(ValueError, match="maxlfq"):
        roll_up(peptides, ["s1", "s2"], "median")
    empty = roll_up(peptides.iloc[:0], ["s1", "s2"], "sum")
    assert list(empty.columns) == ["protein_group", "s1", "s2", "peptides_used"] and empty.empty
