"""Rescoring: the cross-validated discriminant, its fallbacks, determinism and folds."""

from __future__ import annotations

import sys

import numpy as np
import pandas as pd
import pytest

from _match_tables import make_matches
from tovel_mesk.fdr.rescore import (CHECK_EVERY, EXCLUDED_FEATURES, MAX_SPLITS, MIN_SPLITS, SETTLED_CHECKS,
                                    FeatureTable, TrainingError, _best_direction, _best_direction_by_column,
                                    assign_folds, cross_validate, ensemble_size, fit_lda, mass_error_evidence,
                                    rescore)


def with_expectation(psms: pd.DataFrame) -> pd.DataFrame:
    """The table with the low-resolution calibration columns: `log10_evalue` from `signal`
    (lower is better) and isotope errors of 0 to 3 steps, in daltons."""
    steps = np.random.default_rng(11).integers(0, 4, len(psms))
    psms = psms.assign(log10_evalue=np.round(-psms["signal"].to_numpy()), isotope_error=1.00335 * steps)
    return psms


def accepted(scores, psms, fdr=0.01):
    from tovel_mesk.fdr.qvalues import tdc_qvalues
    best = psms["rank"].to_numpy() == 1
    target = psms["label"].to_numpy()[best] > 0
    return int((target & (tdc_qvalues(scores[best], ~target) <= fdr)).sum())


class TestDiscriminant:
    def test_separable_set_is_learnt(self):
        psms = make_matches(n_spectra=3000, separation=4.0, seed=1)
        scores, report = rescore(psms)
        assert report.used == "lda" and report.reason == "trained" and report.folds == 3
        assert "constant" in report.dropped
        assert set(report.features) == {"charge", "hyperscore", "signal", "weak", "noise"}
        assert not set(report.features) & EXCLUDED_FEATURES
        assert max(report.weights, key=lambda name: abs(report.weights[name])) == "signal"
        correct = 0.4 * 3000
        assert report.accepted == accepted(scores, psms) > 0.9 * correct
        # The discriminant does at least as well as any single feature.
        assert report.accepted >= accepted(psms["signal"].to_numpy(), psms)
        assert report.accepted > accepted(psms["hyperscore"].to_numpy(), psms)
        assert np.isfinite(scores).all()

    def test_non_finite_features_are_filled(self):
        psms = make_matches(n_spectra=2000, seed=2)
        psms.loc[::7, "weak"] = np.nan
        psms.loc[::11, "noise"] = np.inf
        psms.loc[::13, "noise"] = -np.inf
        scores, report = rescore(psms)
        assert report.used == "lda" and np.isfinite(scores).all()

    def test_transformed_and_excluded_columns(self):
        psms = make_matches(n_spectra=2000, seed=3)
        psms["delta_mass"] = np.random.default_rng(0).normal(0, 5, len(psms))
        psms["ms2_intensity"] = np.random.default_rng(1).lognormal(10, 2, len(psms))
        psms["rt"] = np.arange(len(psms), dtype=float)
        _, report = rescore(psms, exclude=("noise",))
        assert {"delta_mass", "|delta_mass|", "log1p(ms2_intensity)"} <= set(report.features)
        assert not {"rt", "noise", "ms2_intensity", "psm_id", "peptide_idx", "file_id"} & set(report.features)
        psms["abs_delta_mass"] = psms["delta_mass"].abs()
        _, report = rescore(psms)
        assert "abs_delta_mass" in report.features and "|delta_mass|" not in report.features


class TestFallbacks:
    def test_too_few_decoys_scores_by_the_hyperscore(self):
        # 150 spectra, most of them correct: about a dozen decoys at rank 1. Without the
        # low-resolution columns the fixed score is the hyperscore, never a feature picked
        # on the run (here `signal` would look best).
        psms = make_matches(n_spectra=150, correct=0.8, separation=5.0, seed=5)
        scores, report = rescore(psms)
        assert (report.used, report.feature) == ("hyperscore", "hyperscore")
        assert "decoys among the best matches, fewer than the 50 needed" in report.reason
        np.testing.assert_array_equal(scores, psms["hyperscore"].to_numpy())
        assert report.weights == {}

    def test_small_run_scores_by_the_expectation_less_isotope_steps(self):
        psms = with_expectation(make_matches(n_spectra=150, correct=0.8, separation=5.0, seed=5))
        scores, report = rescore(psms)
        assert report.used == "expectation" and report.feature == "-log10_evalue - isotope steps"
        steps = np.round(psms["isotope_error"].to_numpy() / 1.00335)
        np.testing.assert_allclose(scores, -psms["log10_evalue"].to_numpy() - steps)
        # Each isotope step costs a factor of ten: one step at 1e-5 ranks with none at 1e-4.
        one_step = (steps == 1) & (psms["log10_evalue"] == -5.0)
        assert one_step.any() and set(scores[one_step]) == {4.0}
        # The expectation is fixed in advance: a missing value is the worst score.
        psms.loc[0, "log10_evalue"] = np.nan
        assert rescore(psms)[0][0] == -np.inf

    def test_small_run_weighs_the_precursor_mass_error(self):
        # Correct matches' errors sit near +2 ppm, chance matches' anywhere in +-10 ppm: a
        # correct error adds evidence, a far one takes some away.
        psms = with_expectation(make_matches(n_spectra=150, correct=0.8, separation=5.0, seed=5))
        rng = np.random.default_rng(4)
        correct = (psms["rank"] == 1) & (psms["label"] == 1) & (psms["signal"] > 3.0)
        psms["delta_mass"] = np.where(correct, rng.normal(2.0, 0.5, len(psms)), rng.uniform(-10, 10, len(psms)))
        scores, report = rescore(psms)
        assert report.feature == "-log10_evalue - isotope steps + mass error evidence"
        steps = np.round(psms["isotope_error"].to_numpy() / 1.00335)
        evidence = scores - (-psms["log10_evalue"].to_numpy() - steps)
        assert evidence[correct].mean() > 0.5 > 0.0 > evidence[~correct].mean()
        assert evidence.min() >= np.log10(0.2) - 1e-12


    def test_too_few_accepted_targets_to_train(self):
        # Enough decoys, but at 1% no score accepts as many targets as asked for: decoys /
        # targets reaches 0 on a handful of targets, so a handful is not enough.
        psms = with_expectation(make_matches(n_spectra=3000, correct=0.004, separation=5.0, seed=6))
        _, report = rescore(psms)
        assert report.used == "expectation" and "fewer than the 20 needed to train" in report.reason
        _, report = rescore(with_expectation(make_matches(n_spectra=3000, seed=6)), min_positives=100000)
        assert report.used == "expectation" and "fewer than the 100000 needed" in report.reason

    def test_model_that_loses_to_the_fixed_score_is_not_used(self):
        # The expectation carries all the separation; every other feature is noise, so no
        # model beats it and the run is scored by it, with the reason given.
        psms = with_expectation(make_matches(n_spectra=3000, separation=6.0, seed=9))
        psms = psms.assign(isotope_error=0.0, log10_evalue=-psms["signal"], weak=psms["noise"])
        psms = psms.drop(columns=["signal"])
        scores, report = rescore(psms, exclude=("log10_evalue",))
        if report.used == "expectation":
            assert "on held-out folds, no more than" in report.reason
            assert report.reason.endswith("of -log10_evalue - isotope steps")
        assert report.accepted >= accepted(-psms["log10_evalue"].to_numpy(), psms)

    def test_hyperscore_is_never_the_final_score_of_low_resolution_spectra(self):
        psms = with_expectation(make_matches(n_spectra=600, separation=4.0, seed=7))
        scores, report = rescore(psms, method="hyperscore")
        assert (report.requested, report.used) == ("hyperscore", "expectation")
        assert "never by the hyperscore" in report.reason and report.notes
        assert not np.array_equal(scores, psms["hyperscore"].to_numpy())
        # High-resolution tables (no expectation value) keep the hyperscore when asked.
        _, report = rescore(make_matches(n_spectra=600, seed=7), method="hyperscore")
        assert (report.used, report.reason, report.notes) == ("hyperscore", "asked for", ())

    def test_hyperscore_without_decoys_or_features(self):
        psms = make_matches(n_spectra=300, seed=8)
        psms["label"] = 1
        _, report = rescore(psms)
        assert (report.used, report.reason) == ("hyperscore", "no decoy among the best matches")
        bare = make_matches(n_spectra=300, seed=8)
        bare = bare.assign(hyperscore=1.0)[["file", "spec_id", "rank", "label", "hyperscore"]]
        _, report = rescore(bare)
        assert (report.used, report.reason) == ("hyperscore", "no usable feature")

    def test_training_failure_is_a_training_error(self):
        rng = np.random.default_rng(0)
        matrix = rng.standard_normal((200, 3))
        with pytest.raises(TrainingError, match="fewer than the 50 needed"):
            fit_lda(matrix, rng.random(200) < 0.5)
        with pytest.raises(TrainingError, match="no decoy"):
            fit_lda(matrix, np.ones(200, bool))


class TestTrainingThreshold:
    def test_small_set_trains_at_a_looser_level(self):
        # A few hundred spectra with weak separation: too few targets pass 1% to train on,
        # enough pass 5% or 10%. Counts are still reported at the caller's 1%.
        psms = make_matches(n_spectra=400, correct=0.2, separation=1.8, seed=41)
        _, report = rescore(psms, min_decoys=20)
        assert report.train_fdr in (0.05, 0.1)
        assert report.notes[0].startswith(("no training at 0.01: ", "training at 0.01 failed: "))
        assert f"trained on targets at {report.train_fdr:g} instead of 0.01" in report.notes
        assert report.fdr == 0.01 and report.used in ("lda", "feature")
        # A large set trains at 1%, with nothing to note.
        _, report = rescore(make_matches(n_spectra=3000, separation=4.0, seed=1))
        assert (report.train_fdr, report.notes, report.used) == (0.01, (), "lda")

    def test_nothing_passes_any_level(self):
        psms = make_matches(n_spectra=3000, seed=6)
        _, report = rescore(psms, min_positives=100000)
        assert report.used == "hyperscore" and report.train_fdr == 0.0
        assert [n.split(":")[0] for n in report.notes[:3]] == [f"no training at {x:g}" for x in (0.01, 0.05, 0.1)]
        assert "under hyperscore or any single feature, fewer than the 100000 needed" in report.reason
        assert report.notes[-1] == f"scored by hyperscore: {report.reason}"


class TestStability:
    def test_accepted_count_barely_moves_with_the_deals(self, monkeypatch):
        # A run of 800 spectra, where a single split moves the count by several percent.
        # The deals are fixed by the peptides: the seed changes nothing; another salt gives
        # other deals, and the averaged count barely moves with them.
        import tovel_mesk.fdr.rescore as module
        psms = make_matches(n_spectra=800, correct=0.35, separation=3.0, seed=43)
        first, _ = rescore(psms, seed=1, min_decoys=20)
        np.testing.assert_array_equal(rescore(psms, seed=2, min_decoys=20)[0], first)
        counts = []
        for salt in range(5):
            monkeypatch.setattr(module, "DEAL_SALT", salt)
            scores, report = rescore(psms, min_decoys=20)
            assert report.used == "lda" and MIN_SPLITS <= report.splits <= MAX_SPLITS
            counts.append(accepted(scores, psms))
        assert max(counts) - min(counts) <= 0.03 * np.mean(counts)

    def test_ensemble_stops_once_settled_and_caps_large_runs(self):
        # A well separated run settles long before its cap; a large one is held to the row
        # budget whatever its stability.
        psms = make_matches(n_spectra=1500, separation=5.0, seed=45)
        _, report = rescore(psms)
        assert report.used == "lda"
        assert MIN_SPLITS <= report.splits < ensemble_size(1500) and report.splits % CHECK_EVERY == 0
        assert ensemble_size(10_000_000) == 1 and ensemble_size(100) == MAX_SPLITS

    def test_copies_of_a_spectrum_and_spectra_of_a_peptide_share_a_fold(self, monkeypatch):
        # A fraction repeats the spectra of its run: the same spectrum in two files. No
        # model may score a spectrum whose copy, or another spectrum of its peptide, it
        # trained on.
        import tovel_mesk.fdr.rescore as module
        run = make_matches(n_spectra=600, ranks=2, files=("run.mzML",), peptides=150, seed=46)
        fraction = run[run["spec_id"].isin([f"scan={s}" for s in range(0, 600, 2)])].assign(file="fraction.mzML")
        psms = pd.concat([run, fraction], ignore_index=True)
        psms["psm_id"] = np.arange(1, len(psms) + 1, dtype=np.uint64)
        deals = []
        real = module.assign_folds

        def recording(spectrum, folds, seed, strata=None, groups=None, classes=None):
            fold = real(spectrum, folds, seed, strata, groups, classes)
            deals.append(fold)
            return fold
        monkeypatch.setattr(module, "assign_folds", recording)
        rescore(psms, min_decoys=20)
        assert len(deals) >= MIN_SPLITS
        best_rows = psms[psms["rank"] == 1]
        for fold in deals[:3]:
            fold_of = _folds_by_key(psms, fold)
            for peptide, rows in best_rows.groupby(["peptide", "label"]):
                assert len({fold_of[key] for key in zip(rows["file"], rows["spec_id"])}) == 1, peptide
            assert all(fold_of[("run.mzML", s)] == fold_of[("fraction.mzML", s)] for s in fraction["spec_id"])
        assert len({tuple(fold) for fold in deals[:3]}) == 3

    def test_peptide_deal_is_balanced_and_fixed_by_its_salt(self):
        # Groups of unequal size (the strongest peptide has 30 spectra) still give folds of
        # about equal size and equal decoys, each group whole; the same salt gives the same
        # deal, whichever way the numbers run.
        groups = np.r_[np.zeros(30, np.int64), np.arange(1, 271), np.arange(271, 361)]
        labels = np.r_[np.zeros(300, np.int64), np.ones(90, np.int64)]
        strata = np.r_[np.full(30, 9.0), np.linspace(0.0, 8.0, 270), np.linspace(-3.0, 1.0, 90)]
        spectrum = np.arange(len(groups))
        for salt in range(5):
            fold = assign_folds(spectrum, 3, (salt, 0), strata, groups, labels)
            assert len(set(fold[:30])) == 1
            sizes = np.bincount(fold, minlength=3)
            assert sizes.max() - sizes.min() <= 2, sizes
            decoys = np.bincount(fold[300:], minlength=3)
            assert decoys.max() - decoys.min() <= 2, decoys
            np.testing.assert_array_equal(fold, assign_folds(spectrum, 3, (salt, 0), strata, groups, labels))
            # Strong and weak targets alike in every fold.
            top = np.bincount(fold[30:150], minlength=3)
            assert top.max() - top.min() <= 32, top
        assert not np.array_equal(assign_folds(spectrum, 3, (0, 0), strata, groups, labels),
                                  assign_folds(spectrum, 3, (1, 0), strata, groups, labels))

    def test_folds_balanced_by_stratum(self):
        # Strata put the few decoys evenly across folds whatever the seed.
        spectrum = np.arange(90)
        strata = np.r_[np.zeros(81), np.ones(9)]
        for seed in range(5):
            fold = assign_folds(spectrum, 3, seed, strata)
            assert np.bincount(fold[81:], minlength=3).tolist() == [3, 3, 3]
            assert np.bincount(fold, minlength=3).tolist() == [30, 30, 30]

    def test_model_kept_only_when_it_beats_the_best_feature(self, monkeypatch):
        # A model that learns nothing (its score is noise) loses to `signal` on held-out
        # folds. The run is scored by `signal`, chosen and calibrated on other folds, which
        # beats the fixed score (the hyperscore); where the fixed score is better, by that.
        import tovel_mesk.fdr.rescore as module
        psms = make_matches(n_spectra=2000, separation=4.0, seed=44)
        honest, report = rescore(psms)
        assert report.used == "lda" and report.compared["lda"] >= report.compared["best single feature"]

        monkeypatch.setattr(module, "fit_lda", lambda matrix, targets, **options: _NoiseScorer())
        scores, report = rescore(psms)
        assert report.used == "feature" and "on held-out folds, no more than" in report.reason
        # A model that has plainly lost is not averaged over more splits than it takes to see it.
        assert report.splits == MIN_SPLITS + CHECK_EVERY * (SETTLED_CHECKS - 1)
        assert "of the best single feature" in report.reason and report.weights == {}
        assert report.compared["best single feature"] > max(report.compared["lda"], report.compared["hyperscore"])
        assert report.accepted == accepted(scores, psms) == report.compared["best single feature"]
        strong = psms.assign(log10_evalue=-2.0 * psms["signal"].to_numpy(), isotope_error=0.0)
        scores, report = rescore(strong, exclude=("signal", "log10_evalue"))
        assert report.used == "expectation"
        assert report.compared[report.feature] >= report.compared["best single feature"]


def _folds_by_key(psms: pd.DataFrame, fold: np.ndarray) -> dict:
    """(file, spec_id) -> fold, from a deal in canonical order."""
    from tovel_mesk.fdr.matches import canonical_order, labels_and_ranks
    is_target, rank = labels_and_ranks(psms)
    order = canonical_order(psms, rank, is_target).order
    keys = list(zip(psms["file"].to_numpy()[order], psms["spec_id"].to_numpy()[order]))
    out: dict = {}
    for key, f in zip(keys, fold.tolist()):
        assert out.setdefault(key, f) == f
    return out


class _NoiseScorer:
    """A 'model' whose scores carry no information."""

    def __init__(self):
        self.weights = np.zeros(1)

    def __call__(self, matrix):
        return np.random.default_rng(len(matrix)).standard_normal(len(matrix))


class TestDeterminism:
    def test_same_input_twice_and_shuffled_rows(self):
        psms = make_matches(n_spectra=2500, ranks=3, seed=9)
        first, report = rescore(psms)
        again, _ = rescore(psms)
        np.testing.assert_array_equal(first, again)
        shuffled = psms.sample(frac=1.0, random_state=11)
        scores, shuffled_report = rescore(shuffled)
        np.testing.assert_array_equal(pd.Series(scores, index=shuffled.index).sort_index().to_numpy(), first)
        assert shuffled_report == report


class _IdRows:
    """A feature table whose only feature is the canonical row number."""

    def rows(self, index):
        return np.asarray(index, dtype=np.float64)[:, None]


class TestFolds:
    def test_no_fold_scores_its_own_training_rows(self):
        rng = np.random.default_rng(12)
        spectrum = np.sort(rng.integers(0, 400, 2000))
        spectrum = np.unique(spectrum, return_inverse=True)[1]
        train = rng.random(2000) < 0.5
        is_target = rng.random(2000) < 0.6
        fold = assign_folds(spectrum, 3, seed=4)
        trained_on, scored = [], []

        def fit(matrix, targets):
            rows = matrix[:, 0].astype(int)
            trained_on.append(set(rows))
            assert np.array_equal(targets, is_target[rows])

            def score(test):
                scored.append(set(test[:, 0].astype(int)))
                return np.full(len(test), float(len(scored)))
            return score

        scores, models = cross_validate(_IdRows(), train, is_target, fold, 3, fit)
        assert len(models) == 3
        assert all(not (trained & tested) for trained, tested in zip(trained_on, scored))
        assert set().union(*scored) == set(range(2000))
        assert set().union(*trained_on) == set(np.flatnonzero(train))
        # All matches of one spectrum are in one fold, so they share a scorer.
        for s in np.unique(spectrum):
            assert len(set(scores[spectrum == s])) == 1

    def test_folds_are_balanced_and_fixed_by_seed(self):
        spectrum = np.repeat(np.arange(1000), 3)
        fold = assign_folds(spectrum, 3, seed=1)
        counts = np.bincount(fold[::3])
        assert counts.max() - counts.min() <= 1
        np.testing.assert_array_equal(fold, assign_folds(spectrum, 3, seed=1))


class TestOptions:
    def test_bad_options_and_tables(self):
        psms = make_matches(n_spectra=100)
        with pytest.raises(ValueError, match="method must be one of lda, mokapot, hyperscore; got 'svm'"):
            rescore(psms, method="svm")
        with pytest.raises(ValueError, match="folds must be at least 2"):
            rescore(psms, folds=1)
        with pytest.raises(ValueError, match="train_fdr must lie between 0 and 1"):
            rescore(psms, train_fdr=0.0)
        with pytest.raises(ValueError, match="lacks column\\(s\\) 'hyperscore'"):
            rescore(psms.drop(columns="hyperscore"))
        with pytest.raises(TypeError, match="pandas DataFrame"):
            rescore(psms.to_dict())

    def test_missing_mokapot_is_a_one_line_error(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "mokapot", None)
        with pytest.raises(ImportError, match=r"pip install 'tovel-mesk\[mokapot\]'"):
            rescore(make_matches(n_spectra=100), method="mokapot")


def test_mokapot_scores_every_row():
    pytest.importorskip("mokapot")
    psms = make_matches(n_spectra=1000, separation=4.0, seed=13)
    scores, report = rescore(psms, method="mokapot")
    assert report.requested == "mokapot" and report.used == "mokapot", report.notes
    assert np.isfinite(scores).all() and report.accepted > 0.8 * 0.4 * 1000


def test_mass_error_evidence_per_file():
    rng = np.random.default_rng(0)
    # File 0: 40 confident matches at +3 ppm; file 1: 30 at -4 ppm; file 2: only 3 confident
    # matches, so it takes the model of the whole table. Chance matches fill +-10 ppm.
    files = np.repeat([0, 1, 2], [240, 230, 203])
    score = np.zeros(len(files))
    delta = rng.uniform(-10.0, 10.0, len(files))
    for code, centre, count in ((0, 3.0, 40), (1, -4.0, 30), (2, 3.0, 3)):
        rows = np.flatnonzero(files == code)[:count]
        delta[rows] = rng.normal(centre, 0.4, count)
        score[rows] = 2.0
    delta[5] = np.nan
    evidence = mass_error_evidence(delta, score, files)
    assert evidence[5] == 0.0 and np.isfinite(evidence).all()
    at = lambda code, ppm: mass_error_evidence(np.r_[delta, ppm], np.r_[score, 0.0], np.r_[files, code])[-1]
    assert at(0, 3.0) > 0.8 and at(1, -4.0) > 0.8
    assert at(0, -4.0) < 0.0 and at(1, 3.0) < 0.0
    # Far errors cost at most log10(0.2): a correct match now and then strays.
    assert at(0, 9.5) == pytest.approx(np.log10(0.2), abs=1e-6)
    # The small file takes the model of every file's confident matches together.
    pooled = lambda ppm: mass_error_evidence(np.r_[delta, ppm], np.r_[score, 0.0], np.zeros(len(files) + 1))[-1]
    for ppm in (-4.0, 0.0, 3.0, 9.5):
        assert at(2, ppm) == pytest.approx(pooled(ppm))
    # Too few confident matches anywhere: no evidence at all.
    assert not mass_error_evidence(delta, np.zeros(len(files)), files).any()


class TestFastPaths:
    """The vectorised and cached forms against their plain references."""

    def test_best_direction_matches_the_column_by_column_reference(self):
        rng = np.random.default_rng(21)
        for trial in range(600):
            n, p = int(rng.integers(1, 80)), int(rng.integers(0, 6))
            # Coarse values make ties, within and across columns.
            matrix = rng.integers(0, 4, (n, p)).astype(float) if trial % 2 else rng.normal(size=(n, p))
            is_target = rng.random(n) < rng.uniform(0.2, 0.95)
            fdr = (0.01, 0.05, 0.2, 0.5)[trial % 4]
            assert _best_direction(matrix, is_target, fdr) == _best_direction_by_column(matrix, is_target, fdr)

    def test_table_with_a_column_is_the_table_built_with_it(self):
        from tovel_mesk.fdr.matches import canonical_order, labels_and_ranks
        psms = make_matches(n_spectra=300, seed=46)
        psms["delta_rt_model"] = 0.0          # the core's placeholder: constant, left out
        psms.loc[::5, "weak"] = np.nan
        is_target, rank = labels_and_ranks(psms)
        order, _, _ = canonical_order(psms, rank, is_target)
        best = rank[order] == 1
        base = FeatureTable(psms, order, best)
        assert "delta_rt_model" in base.dropped
        rng = np.random.default_rng(3)
        for values in (rng.normal(size=len(psms)), np.full(len(psms), 2.0)):
            values[::7] = np.nan
            built = FeatureTable(psms, order, best, replaced={"delta_rt_model": values})
            swapped = base.with_column("delta_rt_model", values)
            assert sorted(swapped.names) == sorted(built.names)
            assert sorted(swapped.dropped) == sorted(built.dropped)
            columns = [built.names.index(name) for name in swapped.names]
            np.testing.assert_array_equal(swapped.matrix(), built.matrix()[:, columns])
            index = np.flatnonzero(best)[::3]
            np.testing.assert_array_equal(swapped.rows(index), built.rows(index)[:, columns])
        # The base table is left as it was.
        assert "delta_rt_model" not in base.names and base.matrix().shape[1] == len(base.names)
