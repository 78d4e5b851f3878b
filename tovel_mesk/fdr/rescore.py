"""Rescoring: one score per match that separates correct from incorrect matches, learnt
from the matches' numeric features with targets against decoys.

The built-in model is a linear discriminant, trained the semi-supervised way:

1. Training rows are the best match of every spectrum as the search ranked them (`rank` 1), over
   every file of the call. The first score is the single feature, in its better direction,
   that accepts the most targets at `train_fdr` on the training set.
2. Positives are the targets whose q-value under the current score is at most
   `train_fdr`; negatives are all decoys. A Fisher discriminant (features standardised,
   pooled covariance shrunk by the Ledoit-Wolf rule) gives the next score. This repeats up
   to `iterations` times, or until fewer than one positive in a thousand changes.
3. Cross-validation: spectra are dealt into `folds` folds at random (fixed seed, so the
   deal depends only on the set of spectra). Each fold's matches, at every rank, are scored
   by a model trained on the other folds only. Each model's scores are mapped linearly so
   that, on its own training rows, the score at the `train_fdr` cut-off is 0 and the median
   decoy is -1, which makes the folds' scores comparable.

Fallbacks, each reported in `Rescoring.reason`: with fewer than `min_decoys` decoys among
the best matches, fewer than `min_positives` targets passing `train_fdr` under the fixed
score and under the best single feature, when training fails, or when the model accepts fewer targets than the fixed score,
the scores are the fixed score (`fixed_score`): a calibrated expectation value, weighed by
the isotope steps and the precursor mass error, when the table has the low-resolution
columns, else the hyperscore. A small run is scored the same way every time, and never by a
score picked on its own noise.

Features are the table's numeric columns except `EXCLUDED_FEATURES`; `ms2_intensity` and
`scored_candidates` enter as log(1 + x), and the absolute values of `delta_mass` and
`average_ppm` are added beside the signed ones (unless the table has them already, as
`abs_delta_mass`). A feature constant over the training rows
drops out. Missing values become the feature's median, infinities its finite extremes.
"""

from __future__ import annotations

import logging
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
from threadpoolctl import threadpool_limits

from .. import columns
from ..conventions import ISOTOPE_SPACING
from ..errors import TrainingError
from .matches import canonical_order, labels_and_ranks, require_columns
from .qvalues import fdr_estimate, tdc_qvalues

__all__ = ["EXCLUDED_FEATURES", "METHODS", "Rescoring", "TrainingError", "rescore"]

log = logging.getLogger(__name__)

#: Numeric columns never used as features: identity and bookkeeping, error control's own
#: outputs, where a spectrum sits in its run (retention time describes the spectrum, not how
#: well a peptide explains it, and its scale differs between runs), and the placeholders of
#: the core's records (`tovel_mesk.columns.PLACEHOLDERS`).
EXCLUDED_FEATURES = frozenset(
    columns.IDENTITY + columns.KEYS + columns.ERROR_CONTROL + columns.PLACEHOLDERS + columns.DERIVED + ("rt",)
)

#: Rescoring methods a caller can ask for.
METHODS = ("lda", "mokapot", "hyperscore")

_LOG_FEATURES = ("ms2_intensity", "scored_candidates")
_ABSOLUTE_FEATURES = ("delta_mass", "average_ppm")
#: Spacing of precursor isotope peaks in daltons (13C less 12C).
ISOTOPE_STEP = ISOTOPE_SPACING


@dataclass(frozen=True)
class Rescoring:
    """What rescoring did.

    `requested`: the method asked for. `used`: what produced the scores: "lda",
    "mokapot", "expectation" (the fixed score of `fixed_score`) or "hyperscore".
    `reason`: why that path was taken. `feature`: the fixed score's name when `used` is
    "expectation" or "hyperscore". `features`: the
    features offered to the model; `dropped`: candidate features that were constant.
    `weights`: the discriminant's weight per standardised feature, averaged over folds
    (empty unless `used` is "lda"). `accepted`: best matches of target peptides at a
    q-value of at most `train_fdr` under the final score. `folds`: cross-validation folds.
    """

    requested: str
    used: str
    reason: str
    feature: str | None
    features: tuple[str, ...]
    dropped: tuple[str, ...]
    weights: dict[str, float] = field(default_factory=dict)
    accepted: int = 0
    folds: int = 0


class FeatureTable:
    """The feature matrix of a match table, built on demand for a subset of rows.

    Rows are addressed by canonical index (position in `order`). Replacement values for
    missing and infinite entries and the constant-column check come from the reference
    rows (the training rows), so every subset is treated alike.
    """

    def __init__(self, psms: pd.DataFrame, order: np.ndarray, reference: np.ndarray,
                 exclude: Iterable[str] = ()):
        excluded = EXCLUDED_FEATURES | set(exclude)
        self._order = order
        self._columns: list[tuple[str, np.ndarray, Callable[[np.ndarray], np.ndarray]]] = []
        for name in psms.columns:
            if not isinstance(name, str) or name in excluded:
                continue
            if not pd.api.types.is_numeric_dtype(psms[name].dtype):
                continue
            column = psms[name]
            # Plain numpy columns are read in place; others (nullable, Arrow) are converted.
            values = column.to_numpy() if isinstance(column.dtype, np.dtype) and column.dtype.kind in "iufb" \
                else column.to_numpy(dtype=np.float64, na_value=np.nan)
            if name in _LOG_FEATURES:
                self._columns.append((f"log1p({name})", values, _signed_log1p))
            else:
                self._columns.append((name, values, _identity))
            if name in _ABSOLUTE_FEATURES and f"abs_{name}" not in psms.columns:
                self._columns.append((f"|{name}|", values, np.abs))
        self._fill: list[tuple[float, float, float]] = []
        kept, dropped = [], []
        reference_rows = order[reference]
        for entry in self._columns:
            name, values, transform = entry
            sample = transform(values[reference_rows].astype(np.float64))
            finite = sample[np.isfinite(sample)]
            if finite.size == 0 or finite.min() == finite.max():
                dropped.append(name)
                continue
            kept.append(entry)
            self._fill.append((float(np.median(finite)), float(finite.min()), float(finite.max())))
        self._columns = kept
        self.names: tuple[str, ...] = tuple(name for name, _, _ in kept)
        self.dropped: tuple[str, ...] = tuple(dropped)

    def rows(self, index: np.ndarray) -> np.ndarray:
        """The float64 feature matrix of the rows at canonical positions `index`."""
        matrix = np.empty((len(index), len(self._columns)), dtype=np.float64)
        positions = self._order[index]
        for j in range(len(self._columns)):
            matrix[:, j] = self.column(j, positions)
        return matrix

    def column(self, j: int, positions: np.ndarray | None = None) -> np.ndarray:
        """Feature `j` of the rows at original `positions` (all rows, in canonical order,
        when None), with missing and infinite values replaced."""
        _, values, transform = self._columns[j]
        column = transform(values[self._order if positions is None else positions].astype(np.float64, copy=False))
        bad = ~np.isfinite(column)
        if bad.any():
            median, low, high = self._fill[j]
            column[bad] = np.where(np.isnan(column[bad]), median, np.where(column[bad] > 0, high, low))
        return column


def _identity(values: np.ndarray) -> np.ndarray:
    return values


def _signed_log1p(values: np.ndarray) -> np.ndarray:
    return np.sign(values) * np.log1p(np.abs(values))


# --- target-decoy counting on one training set --------------------------------------------

def _accepted(ranked_decoy: np.ndarray, last: np.ndarray, fdr: float) -> int:
    """Targets at a q-value of at most `fdr`, for decoy flags ordered best first and the
    mask of the last entry of each run of equal scores."""
    decoys = np.cumsum(ranked_decoy)[last]
    targets = np.flatnonzero(last) + 1 - decoys
    passing = fdr_estimate(decoys, targets) <= fdr
    if not passing.any():
        return 0
    return int(targets[np.flatnonzero(passing)[-1]])


def accepted_targets(scores: np.ndarray, is_target: np.ndarray, fdr: float) -> int:
    """Targets at a q-value of at most `fdr` under `scores` (higher better)."""
    return int((is_target & (tdc_qvalues(scores, ~is_target) <= fdr)).sum())


def _best_direction(matrix: np.ndarray, is_target: np.ndarray, fdr: float) -> tuple[int, float, int]:
    """The column and sign (+1 higher better, -1 lower better) whose values accept the
    most targets at `fdr`, and that count. Ties go to the earlier column, then to +1."""
    best = (0, 1.0, -1)
    decoy = ~is_target
    for j in range(matrix.shape[1]):
        order = np.argsort(matrix[:, j])
        ascending = matrix[order, j]
        ranked_decoy = decoy[order]
        last = np.ones(len(order), dtype=bool)
        last[:-1] = ascending[1:] != ascending[:-1]
        # Higher better: walk the ascending order backwards; run ends become run starts.
        down = _accepted(ranked_decoy[::-1], np.r_[True, last[:-1]][::-1], fdr)
        up = _accepted(ranked_decoy, last, fdr)
        for sign, count in ((1.0, down), (-1.0, up)):
            if count > best[2]:
                best = (j, sign, count)
    return best


# --- the linear discriminant --------------------------------------------------------------

def _shrunk_covariance(blocks: Sequence[np.ndarray]) -> np.ndarray:
    """Covariance of the rows of centred blocks taken together, shrunk toward a multiple
    of the identity by the Ledoit-Wolf rule."""
    n = sum(len(block) for block in blocks)
    p = blocks[0].shape[1]
    sample = sum(block.T @ block for block in blocks) / n
    mu = np.trace(sample) / p
    target = mu * np.eye(p)
    delta = ((sample - target) ** 2).sum() / p
    if delta <= 0.0:
        return target if mu > 0 else np.eye(p)
    fourth = sum((block ** 2).T @ (block ** 2) for block in blocks) / n
    beta = min((fourth - sample ** 2).sum() / (p * n), delta)
    shrinkage = beta / delta
    return (1.0 - shrinkage) * sample + shrinkage * target


def _fisher_direction(positives: np.ndarray, negatives: np.ndarray) -> np.ndarray:
    """Unit weight vector of Fisher's discriminant between two sets of rows."""
    mean_pos, mean_neg = positives.mean(axis=0), negatives.mean(axis=0)
    covariance = _shrunk_covariance((positives - mean_pos, negatives - mean_neg))
    try:
        weights = np.linalg.solve(covariance, mean_pos - mean_neg)
    except np.linalg.LinAlgError as error:
        raise TrainingError(f"singular covariance ({error})") from None
    norm = np.linalg.norm(weights)
    if not np.isfinite(norm) or norm == 0.0:
        raise TrainingError("the discriminant has no direction")
    return weights / norm


@dataclass(frozen=True)
class LinearScorer:
    """A fitted linear score: ((x - mean) / scale) @ weights, then the fold calibration
    (score - cut) / spread."""

    mean: np.ndarray
    scale: np.ndarray
    weights: np.ndarray
    cut: float = 0.0
    spread: float = 1.0

    def raw(self, matrix: np.ndarray) -> np.ndarray:
        scaled = self.weights / self.scale
        return matrix @ scaled - self.mean @ scaled

    def __call__(self, matrix: np.ndarray) -> np.ndarray:
        return (self.raw(matrix) - self.cut) / self.spread


def _calibration(raw: np.ndarray, is_target: np.ndarray, fdr: float) -> tuple[float, float]:
    """(cut, spread) that put the `fdr` cut-off of `raw` at 0 and the median decoy at -1."""
    q = tdc_qvalues(raw, ~is_target)
    passing = is_target & (q <= fdr)
    if not passing.any():
        raise TrainingError(f"no target passes {fdr:g} on the training set")
    cut = float(raw[passing].min())
    spread = cut - float(np.median(raw[~is_target]))
    if not spread > 0.0:
        raise TrainingError("the median decoy scores at or above the cut-off")
    return cut, spread


def fit_lda(matrix: np.ndarray, is_target: np.ndarray, *, train_fdr: float = 0.01,
            iterations: int = 10, min_positives: int = 50) -> LinearScorer:
    """Trains the semi-supervised linear discriminant on one training set (rows of
    `matrix`, `is_target` per row) and returns its calibrated scorer."""
    mean = matrix.mean(axis=0)
    scale = matrix.std(axis=0)
    scale = np.where(scale > 0.0, scale, 1.0)
    standard = (matrix - mean) / scale
    decoy = ~is_target
    if not decoy.any():
        raise TrainingError("no decoy in the training set")
    j, sign, _ = _best_direction(standard, is_target, train_fdr)
    weights = np.zeros(matrix.shape[1])
    weights[j] = sign
    negatives = standard[decoy]
    positives = None
    for _ in range(iterations):
        q = tdc_qvalues(standard @ weights, decoy)
        passing = is_target & (q <= train_fdr)
        count = int(passing.sum())
        if count < min_positives:
            raise TrainingError(f"{count} targets pass {train_fdr:g} in a training set, "
                                f"fewer than the {min_positives} needed")
        if positives is not None and (passing != positives).sum() <= count // 1000:
            break
        positives = passing
        weights = _fisher_direction(standard[passing], negatives)
    scorer = LinearScorer(mean, scale, weights)
    cut, spread = _calibration(scorer.raw(matrix), is_target, train_fdr)
    return LinearScorer(mean, scale, weights, cut, spread)


def _mokapot_trainer(names: Sequence[str], train_fdr: float, seed: int):
    """A trainer with mokapot's semi-supervised linear SVM (Percolator's method)."""
    import mokapot

    def dataset(matrix: np.ndarray, is_target: np.ndarray):
        frame = pd.DataFrame(matrix, columns=list(names))
        frame["_is_target"] = is_target
        frame["_spectrum"] = np.arange(len(frame))
        frame["_peptide"] = frame["_spectrum"]
        return mokapot.LinearPsmDataset(frame, target_column="_is_target", spectrum_columns="_spectrum",
                                        peptide_column="_peptide", feature_columns=list(names),
                                        copy_data=False)

    def fit(matrix: np.ndarray, is_target: np.ndarray) -> Callable[[np.ndarray], np.ndarray]:
        model = mokapot.PercolatorModel(train_fdr=train_fdr, rng=seed)
        try:
            model.fit(dataset(matrix, is_target))
        except (RuntimeError, ValueError) as error:
            raise TrainingError(f"mokapot: {error}") from None

        def raw(rows: np.ndarray) -> np.ndarray:
            # The model's own scaler and estimator (its `predict` wants labelled data).
            return np.asarray(model.estimator.decision_function(model.scaler.transform(rows)), np.float64)

        cut, spread = _calibration(raw(matrix), is_target, train_fdr)
        return lambda rows: (raw(rows) - cut) / spread

    return fit


def check_options(method: str, train_fdr: float, folds: int) -> None:
    """Raises ValueError on a bad rescoring option, ImportError when mokapot is asked for
    and missing."""
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}; got {method!r}")
    if not 0.0 < train_fdr < 1.0:
        raise ValueError(f"train_fdr must lie between 0 and 1, got {train_fdr!r}")
    if int(folds) < 2:
        raise ValueError(f"folds must be at least 2, got {folds!r}")
    if method == "mokapot":
        try:
            import mokapot  # noqa: F401
        except ImportError:
            raise ImportError("method='mokapot' needs the mokapot package: "
                              "pip install 'tovel-mesk[mokapot]'") from None


# --- cross-validation ---------------------------------------------------------------------

def assign_folds(spectrum: np.ndarray, folds: int, seed: int) -> np.ndarray:
    """Fold of every row from its spectrum number (0 .. S-1): the spectra are dealt into
    `folds` folds in an order shuffled with `seed`, so the folds are as equal as can be."""
    count = int(spectrum.max()) + 1 if len(spectrum) else 0
    deal = np.random.default_rng(seed).permutation(count) % folds
    return deal[spectrum]


def cross_validate(table, train: np.ndarray, is_target: np.ndarray, fold: np.ndarray, folds: int,
                   fit: Callable[[np.ndarray, np.ndarray], Callable[[np.ndarray], np.ndarray]]):
    """Scores of every row, each from a model trained on the training rows of the other
    folds. `table.rows(index)` gives the feature rows; `fit(rows, is_target)` returns a
    scorer. Returns the scores and the fitted scorers, one per fold."""
    scores = np.empty(len(fold), dtype=np.float64)
    models = []
    for f in range(folds):
        train_index = np.flatnonzero(train & (fold != f))
        try:
            model = fit(table.rows(train_index), is_target[train_index])
        except TrainingError as error:
            raise TrainingError(f"fold {f + 1} of {folds}: {error}") from None
        test_index = np.flatnonzero(fold == f)
        scores[test_index] = model(table.rows(test_index))
        models.append(model)
    return scores, models


# --- the entry point ----------------------------------------------------------------------

def rescore_sorted(psms: pd.DataFrame, order: np.ndarray, is_target: np.ndarray, best: np.ndarray,
                    spectrum: np.ndarray, *, method: str, train_fdr: float, folds: int, seed: int,
                    iterations: int, min_decoys: int, min_positives: int,
                    exclude: Iterable[str]) -> tuple[np.ndarray, Rescoring]:
    """Rescoring with every array in canonical order (see `rescore`); returns the scores
    in canonical order and logs the path taken."""
    # The products here are tall and thin (many rows, few features): one BLAS thread does
    # them fastest, and several threads stall for seconds on a busy machine.
    with threadpool_limits(limits=1, user_api="blas"):
        scores, report = _choose_path(psms, order, is_target, best, spectrum, method=method,
                                      train_fdr=train_fdr, folds=folds, seed=seed, iterations=iterations,
                                      min_decoys=min_decoys, min_positives=min_positives, exclude=exclude)
    log.info("rescoring: %s (%s); %d best target matches at %g", report.used, report.reason,
             report.accepted, train_fdr)
    return scores, report


def fixed_score(psms: pd.DataFrame, order: np.ndarray) -> tuple[str, np.ndarray]:
    """The score of a run too small to train on, in canonical order, and its name.

    With the low-resolution columns: the expectation value of the cross-correlation,
    as -log10_evalue, less one for every isotope step between the matched peptide and the
    precursor pick (`isotope_error` / 1.00335 Da): a pick off the monoisotopic peak is taken
    as ten times less likely a priori, so a candidate found that way needs ten times the
    evidence. With `delta_mass` as well, plus the evidence of the precursor mass error
    (`mass_error_evidence`): a correct match's error sits within the instrument's accuracy,
    a chance match's anywhere in the window. The score is fixed in advance, not chosen on
    the run, so it cannot fit the run's noise. Without those columns: the hyperscore.
    """
    if "log10_evalue" in psms.columns:
        evalue = psms["log10_evalue"].to_numpy(dtype=np.float64, na_value=np.nan)[order]
        score = -np.where(np.isnan(evalue), np.inf, evalue)
        name = "-log10_evalue"
        if "isotope_error" in psms.columns:
            shift = psms["isotope_error"].to_numpy(dtype=np.float64, na_value=0.0)[order]
            score = score - np.round(np.abs(np.nan_to_num(shift)) / ISOTOPE_STEP)
            name += " - isotope steps"
        if "delta_mass" in psms.columns:
            delta = psms["delta_mass"].to_numpy(dtype=np.float64, na_value=np.nan)[order]
            files = pd.factorize(psms["file"].to_numpy()[order])[0] if "file" in psms.columns \
                else np.zeros(len(order), dtype=np.intp)
            score = score + mass_error_evidence(delta, score, files)
            name += " + mass error evidence"
        return name, score
    return "hyperscore", psms["hyperscore"].to_numpy(dtype=np.float64, na_value=np.nan)[order]


#: The mass error model of `mass_error_evidence`: matches whose expectation score is at
#: least `_CONFIDENT` (fewer than one chance match in ten) place the correct matches' errors;
#: at least `_MIN_CONFIDENT` of them are needed; `_OFF_MODEL` of correct matches are taken
#: to fall anywhere, as chance matches do, which bounds what a far error can cost.
_CONFIDENT = 1.0
_MIN_CONFIDENT = 10
_OFF_MODEL = 0.2
#: Narrowest spread of the correct matches' errors, in ppm.
_MIN_SPREAD = 0.1


def mass_error_evidence(delta_mass: np.ndarray, score: np.ndarray, files: np.ndarray) -> np.ndarray:
    """log10 of the likelihood ratio of each match's precursor mass error, correct match
    against chance.

    `delta_mass`: errors in ppm; `score`: the expectation score of each match (higher
    better); `files`: a code per match telling its spectra file. Correct matches' errors are
    normal around the median of the confident matches (`score` >= 1) of their file, with a
    spread of 1.4826 times their median absolute deviation, mixed with a fifth spread as
    chance matches are; a file with fewer than 10 confident matches takes the model of the
    whole table. Chance matches' errors are uniform over the range the errors of every match
    span (1st to 99th percentile). A missing error, or a table with no model, gives 0.
    """
    out = np.zeros(len(delta_mass), dtype=np.float64)
    known = np.isfinite(delta_mass)
    if not known.any():
        return out
    low, high = np.percentile(delta_mass[known], [1.0, 99.0])
    confident = known & (score >= _CONFIDENT)

    def model(rows: np.ndarray) -> tuple[float, float] | None:
        errors = delta_mass[rows]
        if len(errors) < _MIN_CONFIDENT:
            return None
        centre = float(np.median(errors))
        return centre, max(1.4826 * float(np.median(np.abs(errors - centre))), _MIN_SPREAD)

    pooled = model(confident)
    for code in np.unique(files):
        in_file = files == code
        fitted = model(confident & in_file) or pooled
        if fitted is None:
            continue
        centre, spread = fitted
        width = max(high - low, 6.0 * spread)
        rows = in_file & known
        z = (delta_mass[rows] - centre) / spread
        density = np.exp(-0.5 * z * z) / (spread * np.sqrt(2.0 * np.pi))
        out[rows] = np.log10((1.0 - _OFF_MODEL) * width * density + _OFF_MODEL)
    return out


def _choose_path(psms: pd.DataFrame, order: np.ndarray, is_target: np.ndarray, best: np.ndarray,
                 spectrum: np.ndarray, *, method: str, train_fdr: float, folds: int, seed: int,
                 iterations: int, min_decoys: int, min_positives: int,
                 exclude: Iterable[str]) -> tuple[np.ndarray, Rescoring]:
    table = FeatureTable(psms, order, best, exclude)
    best_target, best_decoys = is_target[best], int((~is_target[best]).sum())
    if method == "hyperscore":
        name, score = "hyperscore", psms["hyperscore"].to_numpy(dtype=np.float64, na_value=np.nan)[order]
    else:
        name, score = fixed_score(psms, order)
    fixed_accepted = accepted_targets(score[best], best_target, train_fdr)
    used = "hyperscore" if name == "hyperscore" else "expectation"

    def by_fixed(reason: str) -> tuple[np.ndarray, Rescoring]:
        return score, Rescoring(requested=method, used=used, reason=reason, feature=name, features=table.names,
                                dropped=table.dropped, accepted=fixed_accepted)

    if method == "hyperscore":
        return by_fixed("asked for")
    if best_decoys == 0:
        return by_fixed("no decoy among the best matches")
    if not table.names:
        return by_fixed("no usable feature")
    if best_decoys < min_decoys:
        return by_fixed(f"{best_decoys} decoys among the best matches, fewer than the {min_decoys} needed to train")
    # Enough positives to train on, under the fixed score or the best single feature (the
    # model's first score); the feature only opens training, it never scores the run.
    j, sign, feature_accepted = _best_direction(table.rows(np.flatnonzero(best)), best_target, train_fdr)
    if max(fixed_accepted, feature_accepted) < min_positives:
        feature = ("" if sign > 0 else "-") + table.names[j]
        return by_fixed(f"{max(fixed_accepted, feature_accepted)} targets pass {train_fdr:g} under "
                        f"{name if fixed_accepted >= feature_accepted else feature}, fewer than the "
                        f"{min_positives} needed to train")
    # Each training set holds the other folds' spectra only.
    fold_positives = max(1, min_positives * (folds - 1) // folds)
    if method == "mokapot":
        fit = _mokapot_trainer(table.names, train_fdr, seed)
    else:
        def fit(matrix, targets):
            return fit_lda(matrix, targets, train_fdr=train_fdr, iterations=iterations,
                           min_positives=fold_positives)
    fold = assign_folds(spectrum, folds, seed)
    try:
        scores, models = cross_validate(table, best, is_target, fold, folds, fit)
    except TrainingError as error:
        return by_fixed(f"training failed: {error}")
    accepted = accepted_targets(scores[best], best_target, train_fdr)
    if accepted < fixed_accepted:
        return by_fixed(f"the {method} model accepted {accepted} targets at {train_fdr:g}, fewer "
                        f"than the {fixed_accepted} of {name}")
    weights = {}
    if method == "lda":
        mean = np.mean([model.weights for model in models], axis=0)
        weights = dict(zip(table.names, mean.tolist()))
    return scores, Rescoring(requested=method, used=method, reason="trained", feature=None, features=table.names,
                             dropped=table.dropped, weights=weights, accepted=accepted, folds=folds)


def rescore(psms: pd.DataFrame, *, method: str = "lda", train_fdr: float = 0.01, folds: int = 3,
            seed: int = 1, iterations: int = 10, min_decoys: int = 50, min_positives: int = 20,
            exclude: Iterable[str] = ()) -> tuple[np.ndarray, Rescoring]:
    """One score per match (higher better), in the order of `psms`, and a report of how it
    was made.

    `psms` needs the columns `file`, `spec_id`, `rank`, `label` and `hyperscore`; every
    other numeric column that is not excluded (`EXCLUDED_FEATURES`, `exclude`) is a
    feature. `method` is "lda" (the built-in discriminant), "mokapot" (mokapot's
    Percolator model; needs `pip install 'tovel-mesk[mokapot]'`) or "hyperscore" (no
    training). The result depends only on the set of rows, not on their order.
    """
    check_options(method, train_fdr, folds)
    require_columns(psms, ("file", "spec_id", "rank", "label", "hyperscore"))
    is_target, rank = labels_and_ranks(psms)
    order, spectrum, _ = canonical_order(psms, rank, is_target)
    scores, report = rescore_sorted(
        psms, order, is_target[order], rank[order] == 1, spectrum, method=method,
        train_fdr=train_fdr, folds=int(folds), seed=seed, iterations=iterations,
        min_decoys=min_decoys, min_positives=min_positives, exclude=exclude)
    result = np.empty(len(order), dtype=np.float64)
    result[order] = scores
    return result, report
