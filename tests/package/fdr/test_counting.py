"""Rescoring's native target-decoy counts and its reused training-set products, against the
straightforward numpy forms: the same answers, bit for bit, down to whole rescoring runs."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from _match_tables import make_matches
from tovel_mesk import _native
from tovel_mesk.fdr import counting
from tovel_mesk.fdr import rescore as rescoring
from tovel_mesk.fdr.qvalues import tdc_qvalues


def _scores(rng, n):
    """Scores with many ties (rounded), sometimes NaN and infinities."""
    values = np.round(rng.normal(size=n) * rng.choice([1.0, 5.0, 100.0]), int(rng.integers(0, 3)))
    if rng.random() < 0.3 and n:
        values[rng.integers(0, n, size=max(1, n // 10))] = rng.choice([np.nan, np.inf, -np.inf])
    return values


def test_cut_counts_and_masks_match_the_q_values():
    rng = np.random.default_rng(7)
    for trial in range(600):
        n = int(rng.integers(0, 400))
        scores = _scores(rng, n)
        decoy = rng.random(n) < rng.uniform(0.0, 1.0)
        fdr = float(rng.choice([0.0, 0.01, 0.05, 0.1, 0.5, 1.0]))
        count, cut = counting.tdc_cut(scores, decoy, fdr)
        assert (count, cut) == counting.tdc_cut_reference(scores, decoy, fdr)
        expected = ~decoy & (tdc_qvalues(scores, decoy) <= fdr)
        np.testing.assert_array_equal(counting.passing_targets(scores, ~decoy, fdr), expected)
        assert counting.accepted_targets(scores, ~decoy, fdr) == rescoring.accepted_targets(scores, ~decoy, fdr) \
            == int(expected.sum()) == count


def test_cut_edges():
    # Nothing passes: no cut; everything passes down to NaN (the worst score): a cut of -inf.
    assert counting.tdc_cut(np.array([3.0, 2.0]), np.array([True, True]), 0.01) == (0, None)
    scores = np.array([np.nan, 5.0, 1.0])
    assert counting.tdc_cut(scores, np.zeros(3, bool), 0.01) == (3, -np.inf)
    np.testing.assert_array_equal(counting.passing_targets(scores, np.ones(3, bool), 0.01), [True, True, True])
    # Non-contiguous and other dtypes are taken as numpy would cast them.
    assert counting.tdc_cut(np.arange(10)[::-1][::2], np.zeros(5, int), 0.01) == (5, 1.0)
    with pytest.raises(ValueError, match="one decoy flag per score"):
        counting.tdc_cut(np.zeros(3), np.zeros(2, bool), 0.01)
    with pytest.raises(TypeError, match="float64"):
        _native.tdc_cut(np.zeros(3, np.float32), np.zeros(3, bool), 0.01)
    with pytest.raises(TypeError, match="bool"):
        _native.tdc_cut(np.zeros(3), np.zeros(3, np.int8), 0.01)


def test_best_direction_matches_the_column_by_column_reference():
    rng = np.random.default_rng(8)
    for trial in range(300):
        n, p = int(rng.integers(1, 200)), int(rng.integers(1, 8))
        matrix = rng.integers(0, 4, (n, p)).astype(float) if trial % 3 == 0 else \
            np.round(rng.normal(size=(n, p)) * 10, int(rng.integers(0, 3)))
        if trial % 5 == 0:
            matrix[rng.random((n, p)) < 0.1] = np.inf
        is_target = rng.random(n) < rng.uniform(0.05, 0.95)
        fdr = float(rng.choice([0.01, 0.05, 0.2, 0.5]))
        expected = rescoring._best_direction_by_column(matrix, is_target, fdr)
        assert counting.best_direction(matrix, is_target, fdr) == expected
        # Fortran order and a view are copied to what the helper reads.
        assert counting.best_direction(np.asfortranarray(matrix), is_target, fdr) == expected
    assert counting.best_direction(np.zeros((0, 3)), np.zeros(0, bool), 0.01) == (0, 1.0, 0)
    assert counting.best_direction(np.zeros((3, 0)), np.ones(3, bool), 0.01) == (0, 1.0, -1)
    with pytest.raises(ValueError, match="NaN"):
        counting.best_direction(np.array([[1.0], [np.nan]]), np.array([True, False]), 0.01)


def test_ranked_rows_find_each_subsets_best_feature_without_sorting_it():
    rng = np.random.default_rng(10)
    for trial in range(120):
        n, p = int(rng.integers(1, 150)), int(rng.integers(1, 6))
        matrix = rng.integers(0, 3, (n, p)).astype(float) if trial % 2 else np.round(rng.normal(size=(n, p)), 1)
        is_target = rng.random(n) < rng.uniform(0.1, 0.9)
        keys = [("column", j) for j in range(p)]
        ranked = counting.RankedRows(matrix, is_target, keys)
        # One column changed: only that one is sorted again; the others keep their order.
        changed = matrix.copy()
        changed[:, -1] = rng.normal(size=n)
        again = counting.RankedRows(changed, is_target, keys[:-1] + [("new", 0)], ranked)
        np.testing.assert_array_equal(again.order[:-1], ranked.order[:-1])
        for rows, table in ((matrix, ranked), (changed, again)):
            for _ in range(4):
                member = rng.random(n) < rng.uniform(0.2, 1.0)
                fdr = float(rng.choice([0.01, 0.1, 0.4]))
                expected = rescoring._best_direction_by_column(rows[member], is_target[member], fdr) \
                    if member.any() else (0, 1.0, 0)
                assert table.best_direction(member, fdr) == expected
    with pytest.raises(ValueError, match="outside the rows"):
        _native.best_direction_ranked(np.zeros((1, 2)), np.array([[0, 5]]), np.ones(2, bool), np.ones(2, bool), 0.1)


def test_residue_counts_match_the_letter_by_letter_count():
    from tovel_mesk.fdr import retention

    rng = np.random.default_rng(12)
    letters = np.array(list("ACDEFGHIKLMNPQRSTVWYXBUOZacdk"))
    sequences = ["".join(rng.choice(letters, int(rng.integers(0, 25)))) for _ in range(500)]
    np.testing.assert_array_equal(retention._residue_counts(sequences), retention._residue_counts_by_letter(sequences))
    odd = sequences[:20] + ["PEPTÏDE", "straße"]     # not ASCII: counted letter by letter
    np.testing.assert_array_equal(retention._residue_counts(odd), retention._residue_counts_by_letter(odd))
    assert retention._residue_counts([]).shape == (0, 22)


def test_reused_training_products_give_the_same_discriminant():
    rng = np.random.default_rng(9)
    for trial in range(40):
        n, p = int(rng.integers(40, 400)), int(rng.integers(1, 10))
        matrix = rng.normal(size=(n, p)) * rng.uniform(0.1, 10, p)
        if trial % 4 == 0 and p > 1:
            matrix[:, 0] = 1.0  # a constant column: no shrinkage or a scale of 1
        is_target = rng.random(n) < 0.6
        negatives = matrix[~is_target]
        centred = rescoring._Centred(negatives)
        for _ in range(3):
            chosen = is_target & (rng.random(n) < 0.5)
            outcomes = []
            for given in (negatives, centred):
                try:
                    outcomes.append(rescoring._fisher_direction(matrix[chosen], given))
                except rescoring.TrainingError as error:
                    outcomes.append(str(error))
            if isinstance(outcomes[0], str):
                assert outcomes[1] == outcomes[0]
            else:
                np.testing.assert_array_equal(outcomes[1], outcomes[0])
        moments = rescoring._moments(matrix)
        for fit in (rescoring.fit_lda, rescoring.fit_best_feature):
            kwargs = {"min_positives": 1} if fit is rescoring.fit_lda else {}
            try:
                plain = fit(matrix, is_target, train_fdr=0.2, **kwargs)
            except rescoring.TrainingError:
                continue
            shared = fit(matrix, is_target, train_fdr=0.2, moments=moments, **kwargs)
            for field in ("mean", "scale", "weights", "cut", "spread"):
                np.testing.assert_array_equal(getattr(shared, field), getattr(plain, field))


def _with_run_columns(psms: pd.DataFrame, seed: int) -> pd.DataFrame:
    """The table with retention times and the low-resolution columns, as a real run has."""
    rng = np.random.default_rng(seed)
    steps = rng.integers(0, 4, len(psms))
    return psms.assign(log10_evalue=np.round(-psms["signal"].to_numpy(), 1), isotope_error=1.00335 * steps,
                       delta_mass=rng.normal(0, 3, len(psms)), rt=rng.uniform(0, 60, len(psms)))


@pytest.mark.parametrize("seed", [21, 22])
def test_rescoring_is_bit_identical_with_the_numpy_counts(seed, monkeypatch):
    psms = make_matches(n_spectra=900, separation=2.5, seed=seed)
    if seed % 2:
        psms = _with_run_columns(psms, seed)
    native_scores, native_report = rescoring.rescore(psms, seed=seed)
    with monkeypatch.context() as patch:
        patch.setattr(counting, "tdc_cut", counting.tdc_cut_reference)
        patch.setattr(counting, "best_direction", rescoring._best_direction_by_column)
        # Each training set sorted on its own, as before the rows were ranked once.
        patch.setattr(rescoring, "_ranked_rows", lambda *args: None)
        scores, report = rescoring.rescore(psms, seed=seed)
    assert report.used == "lda" and report.splits >= rescoring.MIN_SPLITS
    np.testing.assert_array_equal(native_scores, scores)
    assert native_report == report
