"""Match-between-runs' error control: decoy shifts and competition with several decoys."""

from __future__ import annotations

import numpy as np
import pytest

from tovel_mesk.quant.mbr import DECOYS, MASS_UNIT, compete, decoy_shifts

nan = np.nan


def test_decoy_shifts_are_balanced_distinct_and_beyond_the_envelope():
    shifts = decoy_shifts(500, seed=3)
    assert shifts.shape == (500, DECOYS)
    steps = np.rint(shifts / MASS_UNIT)
    assert ((np.abs(steps) >= 7) & (np.abs(steps) <= 13)).all()
    assert ((steps > 0).sum(axis=1) == DECOYS // 2).all()
    assert all(len(set(row)) == DECOYS for row in steps.tolist())
    np.testing.assert_array_equal(shifts, decoy_shifts(500, seed=3))
    assert not np.array_equal(shifts, decoy_shifts(500, seed=4))


def test_competition_with_several_decoys():
    # Five pairs with 2 decoys each. Winners by score: 9 (target), 8 (target), 7 (decoy of
    # pair 3), 6 (target), and pair 5 where nothing has a peak drops out.
    # Going down: T=1,D=0 -> 0; T=2,D=0 -> 0; T=2,D=1 -> (1/2)/2 = 0.25; T=3,D=1 -> (1/2)/3 = 1/6.
    # q = least FDR at or below: 0, 0, 1/6, 1/6.
    target = np.array([9.0, 8.0, 1.0, 6.0, nan])
    decoys = np.array([[1.0, nan], [2.0, 3.0], [7.0, 0.0], [nan, nan], [nan, nan]])
    competes, wins, q = compete(target, decoys)
    assert competes.tolist() == [True, True, True, True, False]
    assert wins.tolist() == [True, True, False, True, False]
    np.testing.assert_allclose(q[:4], [0.0, 0.0, 1 / 6, 1 / 6])
    assert np.isnan(q[4])


def test_ties_go_to_the_decoy_and_share_a_q_value():
    target = np.array([5.0, 5.0, 4.0])
    decoys = np.array([[5.0], [1.0], [nan]])
    competes, wins, q = compete(target, decoys)
    assert wins.tolist() == [False, True, True]
    # both entries at 5 share T=1, D=1 -> 1; at 4: T=2, D=1 -> 0.5
    assert q[0] == q[1] == pytest.approx(0.5) and q[2] == pytest.approx(0.5)
    _, _, q = compete(np.zeros(0), np.zeros((0, 2)))
    assert q.size == 0
