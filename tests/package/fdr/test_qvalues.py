"""q-values, posterior error probabilities and picked competition on hand-computed cases."""

from __future__ import annotations

import numpy as np
import pytest

from tovel_mesk.fdr.qvalues import pep_floor, picked_competition, posterior_errors, tdc_qvalues


class TestTdcQvalues:
    def test_hand_computed_list(self):
        # Best first: T T T D T T D T D D. decoys / targets at each score:
        # 0/1, 0/2, 0/3, 1/3, 1/4, 1/5, 2/5, 2/6, 3/6, 4/6; then the least at or below.
        scores = np.arange(10.0, 0.0, -1.0)
        decoy = np.array([0, 0, 0, 1, 0, 0, 1, 0, 1, 1], bool)
        expected = [0, 0, 0, 0.2, 0.2, 0.2, 1 / 3, 1 / 3, 0.5, 2 / 3]
        np.testing.assert_allclose(tdc_qvalues(scores, decoy), expected)

    def test_input_order_and_ties(self):
        scores = np.array([3.0, 5.0, 5.0, 1.0, 5.0])
        decoy = np.array([0, 0, 1, 1, 0], bool)
        # The three entries at 5 share one threshold: 2 targets, 1 decoy: 1/2.
        # At 3: 1/3, which also bounds the entries at 5; at 1: 2/3.
        np.testing.assert_allclose(tdc_qvalues(scores, decoy), [1 / 3, 1 / 3, 1 / 3, 2 / 3, 1 / 3])
        permutation = np.array([4, 2, 0, 3, 1])
        np.testing.assert_allclose(tdc_qvalues(scores[permutation], decoy[permutation]),
                                   tdc_qvalues(scores, decoy)[permutation])

    def test_small_runs_and_a_late_decoy(self):
        # A run of a few targets with no decoy above them is accepted at any rate.
        np.testing.assert_allclose(tdc_qvalues(np.arange(20.0), np.zeros(20, bool)), 0.0)
        scores = np.arange(200.0, 0.0, -1.0)
        decoy = np.zeros(200, bool)
        decoy[150] = True
        q = tdc_qvalues(scores, decoy)
        assert (np.diff(q) >= 0).all()
        np.testing.assert_allclose(q[:150], 0.0)
        # The decoy at 150 shares the least ratio below it: 1 decoy among 199 targets.
        np.testing.assert_allclose(q[150:], 1 / 199)
        # A decoy first: 1/0 counts as 1, then 1/1, 1/2, ... 1/9.
        first = np.r_[True, np.zeros(9, bool)]
        np.testing.assert_allclose(tdc_qvalues(np.arange(10.0, 0.0, -1.0), first), [1 / 9] * 10)

    def test_nan_is_the_worst_score_and_extremes(self):
        # Best first: 2 (T) 0/1, 1 (D) 1/1, NaN (T) 1/2.
        q = tdc_qvalues([np.nan, 2.0, 1.0], [False, False, True])
        np.testing.assert_allclose(q, [0.5, 0.0, 0.5])
        assert tdc_qvalues([], []).shape == (0,)
        np.testing.assert_allclose(tdc_qvalues([1.0, 2.0], [True, True]), [1.0, 1.0])

    def test_bad_shapes(self):
        with pytest.raises(ValueError, match="one flag per score"):
            tdc_qvalues([1.0, 2.0], [True])
        with pytest.raises(ValueError, match="one-dimensional"):
            tdc_qvalues(np.ones((2, 2)), [True, False])


class TestPosteriorErrors:
    def test_monotone_and_bounded_on_mixed_scores(self):
        rng = np.random.default_rng(4)
        false = rng.normal(0.0, 1.0, 4000)
        true = rng.normal(4.0, 1.0, 2000)
        scores = np.concatenate((false, true))
        decoy = np.concatenate((rng.random(4000) < 0.5, np.zeros(2000, bool)))
        pep = posterior_errors(scores, decoy, max_bins=200)
        order = np.argsort(scores)
        assert ((pep >= 0) & (pep <= 1)).all()
        assert (np.diff(pep[order]) <= 1e-12).all()
        # Far below the correct matches nearly all targets are false; far above, none.
        assert pep[scores < -1].mean() > 0.9
        assert pep[scores > 5].max() < 0.02

    def test_equal_scores_share_a_value_and_extremes(self):
        pep = posterior_errors([1.0, 1.0, 1.0, 0.0, 2.0], [True, False, False, True, False])
        assert pep[0] == pep[1] == pep[2]
        # Without a decoy nothing is resolved.
        np.testing.assert_array_equal(posterior_errors([1.0, 2.0], [False, False]), [1.0, 1.0])
        np.testing.assert_array_equal(posterior_errors([1.0, 2.0], [True, True]), [1.0, 1.0])
        assert posterior_errors([], []).shape == (0,)
        assert np.isfinite(posterior_errors([np.inf, -np.inf, np.nan, 1.0], [False, True, True, False])).all()


    def test_floor_set_by_the_decoys(self):
        # 200 targets far above 3 decoys: the fit puts no decoy up there, but a false match
        # outscores all 3 decoys one time in 4, and the PEP says no less.
        scores = np.r_[np.linspace(10.0, 20.0, 200), [0.0, 0.5, 1.0]]
        decoy = np.r_[np.zeros(200, bool), np.ones(3, bool)]
        pep = posterior_errors(scores, decoy)
        assert pep.min() == pep_floor(3) == 0.25
        assert pep_floor(0) == 1.0 and pep_floor(999) == 1e-3
        # Many decoys resolve far smaller errors, and never 0.
        rng = np.random.default_rng(5)
        many = np.r_[rng.normal(0, 1, 20000), rng.normal(6, 1, 5000)]
        flags = np.r_[rng.random(20000) < 0.5, np.zeros(5000, bool)]
        pep = posterior_errors(many, flags)
        assert pep.min() == pep_floor(int(flags.sum())) > 0.0


class TestPickedCompetition:
    def test_protein_meets_its_own_decoy(self):
        keys = ["P1", "P1", "P2", "P2", "P3", "P4"]
        scores = [5.0, 4.0, 1.0, 2.0, 3.0, 3.0]
        decoy = [False, True, False, True, False, True]
        # P1 beats its decoy, P2 loses to its decoy, P3 and the decoy of P4 are alone.
        np.testing.assert_array_equal(picked_competition(keys, scores, decoy),
                                      [True, False, False, True, True, True])

    def test_decoy_wins_a_tie(self):
        np.testing.assert_array_equal(picked_competition(["A", "A"], [2.0, 2.0], [False, True]), [False, True])
        np.testing.assert_array_equal(picked_competition(["A", "A"], [2.0, 2.0], [True, False]), [True, False])
