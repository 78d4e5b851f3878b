"""The retention time model: composition, out-of-fold predictions per file, and its use as
a rescoring feature."""

from __future__ import annotations

import numpy as np
import pandas as pd

from _match_tables import make_matches
from tovel_mesk.fdr.confidence import assign_confidence
from tovel_mesk.fdr.retention import MIN_CONFIDENT, composition, predict_rt

#: Retention contribution of each residue, minutes (hydrophobic residues elute late).
WEIGHTS = dict(zip("ACDEFGHIKLMNPQRSTVWY", np.linspace(-1.0, 3.0, 20)))


def elution(sequences) -> np.ndarray:
    return np.array([5.0 + sum(WEIGHTS.get(r, 0.0) for r in s) for s in sequences])


def test_composition_counts_residues_and_modifications():
    counts = composition(np.array(["ACCK", "XK", None], dtype=object),
                         np.array(["AC[+57.0215]C[+57.0215]K", "XK", None], dtype=object))
    assert counts.shape == (3, 22)
    assert counts[0, 0] == 1 and counts[0, 1] == 2 and counts[0, 8] == 1 and counts[0, -1] == 2
    assert counts[1, 20] == 1 and counts[1, -1] == 0 and not counts[2].any()


def test_out_of_fold_predictions_per_file():
    rng = np.random.default_rng(0)
    n = 600
    letters = np.array(list(WEIGHTS))
    sequences = np.array(["".join(rng.choice(letters, 10)) + "K" for _ in range(n)], dtype=object)
    files = np.repeat([0, 1], n // 2)
    # File 1 runs a gradient twice as long, shifted: its own model fits it.
    rt = np.where(files == 0, elution(sequences), 2.0 * elution(sequences) + 10.0) + rng.normal(0, 0.3, n)
    confident = rng.random(n) < 0.5
    wrong = ~confident & (rng.random(n) < 0.5)
    rt[wrong] = rng.uniform(rt.min(), rt.max(), wrong.sum())
    fold = rng.integers(0, 3, n)
    predicted, delta, notes = predict_rt(rt, composition(sequences), files, fold, confident, 3)
    assert notes == [] and np.isfinite(predicted).all()
    good = confident
    assert np.corrcoef(predicted[good], rt[good])[0, 1] > 0.98
    assert np.median(delta[good]) < 1.0 < np.median(delta[wrong])
    # A row's own retention time never trains the model that predicts it.
    moved = rt.copy()
    moved[0] += 1000.0
    again, _, _ = predict_rt(moved, composition(sequences), files, fold, confident, 3)
    assert again[0] == predicted[0]
    # Too few confident matches in a file: no prediction there, and a note naming it.
    few = confident & ((files == 0) | (np.cumsum(files == 1) < MIN_CONFIDENT))
    predicted, delta, notes = predict_rt(rt, composition(sequences), files, fold, few, 3)
    assert np.isnan(predicted[files == 1]).all() and np.isnan(delta[files == 1]).all()
    assert np.isfinite(predicted[files == 0]).all() and len(notes) == 1 and notes[0].startswith("1:")


def test_rescoring_fills_and_uses_the_retention_time_columns():
    psms = make_matches(n_spectra=2000, separation=2.5, seed=51)
    rng = np.random.default_rng(2)
    letters = np.array(list(WEIGHTS))
    sequences = np.array(["".join(rng.choice(letters, 10)) + "K" for _ in range(400)], dtype=object)
    psms["sequence"] = psms["peptide_idx"].map(lambda k: sequences[k])
    psms["peptide"] = psms["sequence"]
    # Correct matches (rank 1, strong signal) elute where their peptide does; the others'
    # spectra sit anywhere in the run.
    correct = ((psms["rank"] == 1) & (psms["signal"] > 1.5)).to_numpy()
    truth = elution(psms["sequence"])
    psms["rt"] = np.where(correct, truth + rng.normal(0, 0.5, len(psms)), rng.uniform(truth.min(), truth.max(), len(psms)))
    psms["predicted_rt"] = 0.0
    psms["delta_rt_model"] = 0.0
    result = assign_confidence(psms)
    out = result.psms
    assert "delta_rt_model" in result.rescoring.features and result.rescoring.used == "lda"
    assert result.rescoring.weights["delta_rt_model"] < 0.0
    assert np.isfinite(out["predicted_rt"]).all() and (out["delta_rt_model"] >= 0).all()
    accepted = out[(out["label"] == 1) & (out["spectrum_q"] <= 0.01)]
    assert np.corrcoef(accepted["predicted_rt"], accepted["rt"])[0, 1] > 0.9
    # The feature earns its place: without it fewer matches pass.
    without = assign_confidence(psms, exclude=("delta_rt_model",))
    assert "delta_rt_model" not in without.rescoring.features
    assert without.psms["predicted_rt"].isna().all()   # no model: no prediction, not the core's placeholder
    assert result.totals()["spectra"] > without.totals()["spectra"]
