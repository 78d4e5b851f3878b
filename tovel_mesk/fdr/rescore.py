"""Rescoring: one score per match that separates correct from incorrect matches, learnt
from the matches' numeric features with targets against decoys.

The built-in model is a linear discriminant, trained the semi-supervised way:

1. Training rows are the best match of every spectrum as the search ranked them (`rank` 1), over
   every file of the call. The first score is the single feature, in its better direction,
   that accepts the most targets at the training threshold on the training set.
2. Positives are the targets whose q-value under the current score is at most the
   training threshold; negatives are all decoys. A Fisher discriminant (features
   standardised, pooled covariance shrunk by the Ledoit-Wolf rule) gives the next score.
   This repeats up to `iterations` times, or until fewer than one positive in a thousand
   changes.
3. The training threshold adapts to the size of the call: `train_fdr` (1%), then 5%, then
   10% (`TRAIN_LEVELS`), the first at which at least `min_positives` targets pass under the
   fixed score or the best single feature and the folds train. Reported q-values stay at
   the caller's `fdr`.
4. Cross-validation: spectra are dealt into `folds` folds by the peptide of their best
   match (every spectrum of a peptide, in whichever file of the call, in one fold; a
   fraction repeats the spectra of its run, and two copies of a spectrum in different folds
   would let a model score what it trained on), balanced by label and fixed score
   (`assign_folds`). Each fold's matches, at every rank, are scored by a model trained
   on the other folds only. Each model's scores are mapped linearly so that, on its own
   training rows, the score at the training cut-off is 0 and the median decoy is -1, which
   makes the folds' scores comparable. Several deals are made, and each match's score is
   the mean of its held-out scores over them, so that the result does not hinge on one
   deal: deals are added until the mean's accepted counts hold still (at least
   `MIN_SPLITS`, at most `MAX_SPLITS`, fewer on large runs, `ensemble_size`). The deals
   are fixed by the peptides and the deal's number (with `DEAL_SALT`), not by `seed`: the
   same matches give the same scores whatever the seed (which seeds mokapot's own
   training only).
5. The model is kept only where it accepts more targets at the training threshold (ties
   broken at `fdr`) than both the best single feature, itself chosen and calibrated on
   the other folds of the same deals, and the fixed score.

Fallbacks, each reported in `Rescoring.reason` and, with every skipped training level, in
`Rescoring.notes`: with fewer than `min_decoys` decoys among the best matches, fewer than
`min_positives` targets passing any training level under the fixed score and under the best
single feature, when training fails at every level, or when the model does not beat the
best single feature and the fixed score, the scores are the fixed score (`fixed_score`),
unless that is the hyperscore and the held-out best single feature beats it (then that,
`used` "feature"). The fixed
score is the calibrated expectation value, weighed by the isotope steps and the precursor
mass error, when the table has the low-resolution columns, else the hyperscore; with the
low-resolution columns the hyperscore is never the final score, even when asked for (its
scale differs between charge states). A small run is never scored by a score picked on its
own noise.

With retention times (`rt`) and peptide sequences, a per-file retention time model
(`tovel_mesk.fdr.retention`) is fitted within the same folds on the confident matches at
the training threshold; its normalised error `delta_rt_model` is a feature, and its
predictions fill `predicted_rt` and `delta_rt_model`.

Features are the table's numeric columns except `EXCLUDED_FEATURES`; `ms2_intensity` and
`scored_candidates` enter as log(1 + x), and the absolute values of `delta_mass` and
`average_ppm` are added beside the signed ones (unless the table has them already, as
`abs_delta_mass`). A feature constant over the training rows
drops out. Missing values become the feature's median, infinities its finite extremes.
"""

from __future__ import annotations

import copy
import logging
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import NamedTuple, cast

import numpy as np
import pandas as pd
from threadpoolctl import threadpool_limits

from .. import columns
from ..conventions import ISOTOPE_SPACING
from ..errors import TrainingError
from . import counting
from . import retention as retention_model
from .matches import _text_codes, canonical_order, labels_and_ranks, require_columns
from .qvalues import fdr_estimate, tdc_qvalues

__all__ = ["EXCLUDED_FEATURES", "METHODS", "Rescoring", "TrainingError", "rescore"]

log = logging.getLogger(__name__)

#: Numeric columns never used as features: identity and bookkeeping, error control's own
#: outputs, where a spectrum sits in its run (retention time describes the spectrum, not how
#: well a peptide explains it, and its scale differs between runs, and so does the predicted
#: one), the placeholders of the core's records (`tovel_mesk.columns.PLACEHOLDERS`) and the
#: retention time model's prediction (its normalised error `delta_rt_model` is a feature,
#: which rescoring fills itself).
EXCLUDED_FEATURES = frozenset(
    columns.IDENTITY + columns.KEYS + columns.ERROR_CONTROL + ("rt", "predicted_rt")
    + columns.PLACEHOLDERS + columns.DERIVED
)

#: Rescoring methods a caller can ask for.
METHODS = ("lda", "mokapot", "hyperscore")

_LOG_FEATURES = ("ms2_intensity", "scored_candidates")
_ABSOLUTE_FEATURES = ("delta_mass", "average_ppm")
#: Spacing of precursor isotope peaks in daltons (13C less 12C).
ISOTOPE_STEP = ISOTOPE_SPACING
#: What the fixed score takes off per isotope step of the precursor pick, in log10 units.
ISOTOPE_PENALTY = 1.0
#: Whether the fixed score adds the evidence of the precursor mass error.
MASS_EVIDENCE = True


@dataclass(frozen=True)
class Rescoring:
    """What rescoring did.

    `requested`: the method asked for. `used`: what produced the scores: "lda",
    "mokapot", "expectation" (the fixed score of `fixed_score`) or "hyperscore".
    `reason`: why that path was taken. `feature`: the fixed score's name when `used` is
    "expectation" or "hyperscore". `features`: the
    features offered to the model; `dropped`: candidate features that were constant.
    `weights`: the discriminant's weight per standardised feature, averaged over folds and
    splits (empty unless `used` is "lda"). `accepted`: best matches of target peptides at a
    q-value of at most `fdr` under the final score. `folds`: cross-validation folds;
    `splits`: fold splits whose models were averaged. `train_fdr`: the training threshold
    used (0 when nothing was trained). `fdr`: the level counts are compared at. `notes`:
    every fallback and every skipped training level, with its reason, in the order they
    happened. `compared`: accepted best matches at `fdr` under each candidate score (the
    model on held-out folds, the best single feature on held-out folds, the fixed score).
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
    splits: int = 0
    train_fdr: float = 0.0
    fdr: float = 0.01
    notes: tuple[str, ...] = ()
    compared: dict[str, int] = field(default_factory=dict)

    def as_dict(self) -> dict:
        """The record as plain values, for the summary."""
        return {"requested": self.requested, "used": self.used, "reason": self.reason,
                "score": self.feature or self.used, "train_fdr": self.train_fdr, "folds": self.folds,
                "splits": self.splits, "accepted": self.accepted, "fdr": self.fdr,
                "notes": list(self.notes), "compared": dict(self.compared)}


class FeatureTable:
    """The feature matrix of a match table, built on demand for a subset of rows.

    Rows are addressed by canonical index (position in `order`). Replacement values for
    missing and infinite entries and the constant-column check come from the reference
    rows (the training rows), so every subset is treated alike.
    """

    def __init__(self, psms: pd.DataFrame, order: np.ndarray, reference: np.ndarray,
                 exclude: Iterable[str] = (), replaced: dict[str, np.ndarray] | None = None):
        # `replaced`: float64 values, in the rows' own order, that stand in for (or add) a
        # column of that name, such as the retention time errors of one fold split.
        excluded = EXCLUDED_FEATURES | set(exclude)
        replaced = replaced or {}
        self._order = order
        self._columns: list[tuple[str, np.ndarray, Callable[[np.ndarray], np.ndarray]]] = []
        names = list(psms.columns) + [name for name in replaced if name not in psms.columns]
        for name in names:
            if not isinstance(name, str) or name in excluded:
                continue
            if name in replaced:
                values = replaced[name]
            elif not pd.api.types.is_numeric_dtype(psms[name].dtype):
                continue
            else:
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
        self._reference_rows = order[reference]
        for entry in self._columns:
            fill = self._reference_fill(entry)
            if fill is None:
                dropped.append(entry[0])
                continue
            kept.append(entry)
            self._fill.append(fill)
        self._columns = kept
        self.names: tuple[str, ...] = tuple(name for name, _, _ in kept)
        self.dropped: tuple[str, ...] = tuple(dropped)
        self._matrix: np.ndarray | None = None

    def _reference_fill(self, entry) -> tuple[float, float, float] | None:
        """(median, least, greatest) of a column's finite values on the reference rows;
        None when the column is constant there (or has no finite value)."""
        _, values, transform = entry
        sample = transform(values[self._reference_rows].astype(np.float64))
        finite = sample[np.isfinite(sample)]
        if finite.size == 0 or finite.min() == finite.max():
            return None
        return float(np.median(finite)), float(finite.min()), float(finite.max())

    def matrix(self) -> np.ndarray:
        """The float64 feature matrix of every row, in canonical order (built once)."""
        if self._matrix is None:
            matrix = np.empty((len(self._order), len(self._columns)), dtype=np.float64)
            for j in range(len(self._columns)):
                matrix[:, j] = self.column(j)
            self._matrix = matrix
        return self._matrix

    def rows(self, index: np.ndarray) -> np.ndarray:
        """The float64 feature matrix of the rows at canonical positions `index`."""
        return self.matrix()[index]

    def with_column(self, name: str, values: np.ndarray) -> FeatureTable:
        """This table with the feature `name` taking `values` (float64, in the rows' own
        order), replaced in place or added last, or left out when constant on the reference
        rows; the other columns are shared, not built again."""
        out = copy.copy(self)
        entry = (name, values, _identity)
        fill = self._reference_fill(entry)
        columns, fills, matrix = list(self._columns), list(self._fill), self.matrix()
        at = self.names.index(name) if name in self.names else None
        dropped = tuple(n for n in self.dropped if n != name)
        if fill is None:
            dropped += (name,)
            if at is not None:
                del columns[at], fills[at]
                matrix = np.delete(matrix, at, axis=1)
        else:
            if at is None:
                columns.append(entry)
                fills.append(fill)
                matrix = np.column_stack((matrix, np.empty(len(matrix))))
                at = len(columns) - 1
            else:
                columns[at], fills[at] = entry, fill
                matrix = matrix.copy()
        out._columns, out._fill, out.dropped = columns, fills, dropped
        out.names = tuple(n for n, _, _ in columns)
        if fill is not None and at is not None:
            matrix[:, at] = out.column(at)
        out._matrix = matrix
        return out

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
    return counting.accepted_targets(scores, is_target, fdr)


def _best_direction(matrix: np.ndarray, is_target: np.ndarray, fdr: float) -> tuple[int, float, int]:
    """The column and sign (+1 higher better, -1 lower better) whose values accept the
    most targets at `fdr`, and that count. Ties go to the earlier column, then to +1.

    Counted natively (`counting.best_direction`); `_best_direction_by_column` is the plain
    one-column-at-a-time reference that gives the same answer."""
    return counting.best_direction(matrix, is_target, fdr)


def _best_direction_by_column(matrix: np.ndarray, is_target: np.ndarray, fdr: float) -> tuple[int, float, int]:
    """`_best_direction`, one column at a time (the reference of the vectorised form)."""
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

class _Centred:
    """A set of rows centred on their mean (`centred`: already centred, mean not kept),
    with the products the covariance takes of them, each computed once: a training set's
    decoys stay the same through every iteration of the discriminant."""

    def __init__(self, rows: np.ndarray, centred: bool = False):
        # What `rows.mean(axis=0)` computes (the same sums and division), without its wrapper.
        self.mean = None if centred else np.add.reduce(rows, axis=0) / len(rows) if len(rows) else rows.mean(axis=0)
        self.block = rows if centred else rows - self.mean
        self._gram: np.ndarray | None = None
        self._fourth: np.ndarray | None = None

    def __len__(self) -> int:
        return len(self.block)

    @property
    def gram(self) -> np.ndarray:
        if self._gram is None:
            self._gram = self.block.T @ self.block
        return self._gram

    @property
    def fourth(self) -> np.ndarray:
        if self._fourth is None:
            # Two equal arrays, not one: numpy takes the symmetric product for `a.T @ a` of
            # one array, whose sums run in another order.
            self._fourth = (self.block ** 2).T @ (self.block ** 2)
        return self._fourth


def _shrunk_covariance(blocks: Sequence[np.ndarray | _Centred]) -> np.ndarray:
    """Covariance of the rows of centred blocks taken together, shrunk toward a multiple
    of the identity by the Ledoit-Wolf rule."""
    parts = [block if isinstance(block, _Centred) else _Centred(block, centred=True) for block in blocks]
    n = sum(len(part) for part in parts)
    p = parts[0].block.shape[1]
    sample = cast(np.ndarray, sum(part.gram for part in parts)) / n
    mu = np.trace(sample) / p
    target = mu * np.eye(p)
    delta = ((sample - target) ** 2).sum() / p
    if delta <= 0.0:
        return target if mu > 0 else np.eye(p)
    fourth = cast(np.ndarray, sum(part.fourth for part in parts)) / n
    beta = min((fourth - sample ** 2).sum() / (p * n), delta)
    shrinkage = beta / delta
    return (1.0 - shrinkage) * sample + shrinkage * target


def _fisher_direction(positives: np.ndarray, negatives: np.ndarray | _Centred) -> np.ndarray:
    """Unit weight vector of Fisher's discriminant between two sets of rows (`negatives`
    may come centred already, to be reused)."""
    positive = _Centred(positives)
    negative = negatives if isinstance(negatives, _Centred) else _Centred(negatives)
    covariance = _shrunk_covariance((positive, negative))
    assert positive.mean is not None and negative.mean is not None, "row sets given centred have no mean"
    try:
        weights = np.linalg.solve(covariance, positive.mean - negative.mean)
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
    passing = counting.passing_targets(raw, is_target, fdr)
    if not passing.any():
        raise TrainingError(f"no target passes {fdr:g} on the training set")
    cut = float(raw[passing].min())
    spread = cut - float(np.median(raw[~is_target]))
    if not spread > 0.0:
        raise TrainingError("the median decoy scores at or above the cut-off")
    return cut, spread


def _moments(matrix: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each column's mean and standard deviation (1 for a constant column), which
    standardise a training set's features."""
    mean = matrix.mean(axis=0)
    scale = matrix.std(axis=0)
    return mean, np.where(scale > 0.0, scale, 1.0)


def fit_lda(matrix: np.ndarray, is_target: np.ndarray, *, train_fdr: float = 0.01,
            iterations: int = 10, min_positives: int = 50,
            start: tuple[int, float] | None = None,
            moments: tuple[np.ndarray, np.ndarray] | None = None) -> LinearScorer:
    """Trains the semi-supervised linear discriminant on one training set (rows of
    `matrix`, `is_target` per row) and returns its calibrated scorer. `start`: the best
    single feature of these rows and its sign (`_best_direction`), when already known;
    `moments`: their `_moments`, when already known."""
    mean, scale = moments if moments is not None else _moments(matrix)
    standard = (matrix - mean) / scale
    decoy = ~is_target
    if not decoy.any():
        raise TrainingError("no decoy in the training set")
    # Standardising keeps each column's order, so the best single feature is the raw one's.
    j, sign = start if start is not None else _best_direction(matrix, is_target, train_fdr)[:2]
    weights = np.zeros(matrix.shape[1])
    weights[j] = sign
    negatives = _Centred(standard[decoy])
    positives = None
    for _ in range(iterations):
        passing = counting.passing_targets(standard @ weights, is_target, train_fdr, decoy)
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


def fit_best_feature(matrix: np.ndarray, is_target: np.ndarray, *, train_fdr: float = 0.01,
                     start: tuple[int, float] | None = None,
                     moments: tuple[np.ndarray, np.ndarray] | None = None) -> LinearScorer:
    """The single feature, in its better direction, that accepts the most targets at
    `train_fdr` on one training set, calibrated as a trained model is: the yardstick a
    trained model must beat on the same held-out folds. `start` and `moments` as in `fit_lda`."""
    if not (~is_target).any():
        raise TrainingError("no decoy in the training set")
    mean, scale = moments if moments is not None else _moments(matrix)
    j, sign = start if start is not None else _best_direction(matrix, is_target, train_fdr)[:2]
    weights = np.zeros(matrix.shape[1])
    weights[j] = sign
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

def assign_folds(spectrum: np.ndarray, folds: int, seed: int | Sequence[int],
                 strata: np.ndarray | None = None, groups: np.ndarray | None = None,
                 classes: np.ndarray | None = None) -> np.ndarray:
    """Fold of every row from its spectrum number (0 .. S-1).

    Without `strata` the spectra are dealt into `folds` folds in an order shuffled with
    `seed`. With `strata` (a sort key per spectrum, e.g. its label and score) the spectra
    are dealt in that order, ties shuffled, each run of `folds` consecutive spectra going
    to the folds in a shuffled order: every fold then holds its share of decoys and of
    strong and weak targets, so that no fold's model trains on a lopsided set. Either way
    the folds are as equal as can be and depend only on the set of spectra and the seed.

    `groups` (a number per spectrum, 0 .. G-1, e.g. of its best match's peptide) keeps the
    spectra of a group in one fold: no model then scores a spectrum whose peptide it
    trained on, through another spectrum of it or a copy of the same spectrum in another
    file. The groups are dealt as `deal_groups` says, balanced within each of `classes`
    (a number per spectrum, e.g. its label; one class without)."""
    count = int(spectrum.max()) + 1 if len(spectrum) else 0
    rng = np.random.default_rng(seed)
    if groups is not None:
        groups = np.asarray(groups, dtype=np.int64)[:count]
        return deal_groups(groups, folds, rng, None if strata is None else np.asarray(strata, dtype=np.float64),
                           None if classes is None else np.asarray(classes, dtype=np.int64)[:count])[spectrum]
    if strata is None:
        deal = rng.permutation(count) % folds
    else:
        order = np.lexsort((rng.permutation(count), np.asarray(strata)))
        blocks = -(-count // folds)
        within = np.argsort(rng.random((blocks, folds)), axis=1).ravel()[:count]
        deal = np.empty(count, dtype=np.int64)
        deal[order] = within
    return deal[spectrum]


def deal_groups(groups: np.ndarray, folds: int, rng: np.random.Generator, strata: np.ndarray | None = None,
                classes: np.ndarray | None = None) -> np.ndarray:
    """Fold of every item (a spectrum, numbered by position) such that the items of a group
    share one. Class by class (a group takes the class of its first item), the groups are
    taken from the highest stratum down (their items' highest; ties, and all without
    `strata`, in a shuffled order), each going to the fold that holds the fewest items of
    its class so far (ties in a shuffled order of the folds drawn per group). The largest
    groups, the peptides of many spectra, are mostly the strongest, so they are dealt first
    and the single spectra after them even the folds out: every fold gets about its share
    of each class and of each score range."""
    n_groups = int(groups.max()) + 1 if len(groups) else 0
    sizes = np.bincount(groups, minlength=n_groups)
    key = np.full(n_groups, -np.inf)
    if strata is not None:
        np.maximum.at(key, groups, strata)
    group_class = np.zeros(n_groups, dtype=np.int64)
    if classes is not None and len(groups):
        codes = np.unique(classes, return_inverse=True)[1].ravel()
        first = np.unique(groups, return_index=True)[1]
        group_class[groups[first]] = codes[first]
    order = np.lexsort((rng.permutation(n_groups), -key, group_class))
    # Each group's folds in a shuffled order of preference; plain Python numbers in the loop,
    # which visits every group once.
    preference = np.argsort(rng.random((n_groups, folds)), axis=1)[order].tolist()
    fold_of_group = np.empty(n_groups, dtype=np.int64)
    chosen = []
    filled = [[0] * folds for _ in range(int(group_class.max(initial=0)) + 1)]
    for g, size, kind, ranked in zip(order.tolist(), sizes[order].tolist(), group_class[order].tolist(), preference):
        counts = filled[kind]
        least = min(counts)
        for f in ranked:
            if counts[f] == least:
                break
        chosen.append(f)
        counts[f] += size
    fold_of_group[order] = chosen
    return fold_of_group[groups]


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


def _cross_validate_pair(table, train: np.ndarray, is_target: np.ndarray, fold: np.ndarray, folds: int,
                         fit, fit_feature, *, level: float, shares_start: bool,
                         ranked: counting.RankedRows | None = None) -> tuple[np.ndarray, np.ndarray, list]:
    """`cross_validate` of the model (`fit`) and of the yardstick (`fit_feature`) on the
    same folds, each training set's rows taken once: their scores and the fitted models.
    The best single feature of each training set at `level` and the moments that
    standardise it are found once and handed to both (to `fit` only when `shares_start`).
    `ranked`: the training rows (`train`, in order) of `table` with their columns' order
    (`_ranked_rows`), which finds each training set's best single feature without sorting."""
    train_positions = np.flatnonzero(train) if ranked is not None else None
    matrix = table.matrix()
    scores = np.empty(len(fold), dtype=np.float64)
    yardstick = np.empty(len(fold), dtype=np.float64)
    models = []
    for f in range(folds):
        train_index = np.flatnonzero(train & (fold != f))
        rows, targets = matrix[train_index], is_target[train_index]
        try:
            if not (~targets).any():
                raise TrainingError("no decoy in the training set")
            if ranked is not None:
                start = ranked.best_direction(fold[train_positions] != f, level)[:2]
            else:
                start = _best_direction(rows, targets, level)[:2]
            moments = _moments(rows)
            model = fit(rows, targets, start=start, moments=moments) if shares_start else fit(rows, targets)
            feature = fit_feature(rows, targets, start=start, moments=moments)
        except TrainingError as error:
            raise TrainingError(f"fold {f + 1} of {folds}: {error}") from None
        test = np.flatnonzero(fold == f)
        test_rows = matrix[test]
        scores[test] = model(test_rows)
        yardstick[test] = feature(test_rows)
        models.append(model)
    return scores, yardstick, models


def _ranked_rows(table: FeatureTable, rows: np.ndarray, is_target: np.ndarray,
                 previous: counting.RankedRows | None = None) -> counting.RankedRows:
    """The feature rows at canonical positions `rows` with each column's order; the columns
    `previous` was built with (the same values) keep their order."""
    if previous is not None and table is previous.source:
        return previous
    keys = [(name, id(values)) for name, values, _ in table._columns]
    ranked = counting.RankedRows(table.rows(rows), is_target[rows], keys, previous)
    # The columns' values stay alive with it, so that their ids stay theirs.
    ranked.source = table
    return ranked


# --- the entry point ----------------------------------------------------------------------

def rescore_sorted(psms: pd.DataFrame, order: np.ndarray, is_target: np.ndarray, best: np.ndarray,
                    spectrum: np.ndarray, *, method: str, train_fdr: float, folds: int, seed: int,
                    iterations: int, min_decoys: int, min_positives: int, fdr: float = 0.01,
                    exclude: Iterable[str]) -> tuple[np.ndarray, Rescoring, dict[str, np.ndarray]]:
    """Rescoring with every array in canonical order (see `rescore`); returns the scores
    in canonical order, the report, and the columns it filled (`predicted_rt` and
    `delta_rt_model`, canonical order; empty when no model was fitted), and logs the path
    taken."""
    # The products here are tall and thin (many rows, few features): one BLAS thread does
    # them fastest, and several threads stall for seconds on a busy machine.
    with threadpool_limits(limits=1, user_api="blas"):
        scores, report, filled = _choose_path(psms, order, is_target, best, spectrum, method=method,
                                      train_fdr=train_fdr, folds=folds, seed=seed, iterations=iterations,
                                      min_decoys=min_decoys, min_positives=min_positives, fdr=fdr,
                                      exclude=exclude)
    log.info("rescoring: %s (%s); %d best target matches at %g", report.used, report.reason,
             report.accepted, fdr)
    for note in report.notes:
        log.info("rescoring: %s", note)
    return scores, report, filled


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
            score = score - ISOTOPE_PENALTY * np.round(np.abs(np.nan_to_num(shift)) / ISOTOPE_STEP)
            name += " - isotope steps"
        if "delta_mass" in psms.columns and MASS_EVIDENCE:
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


#: Training thresholds tried in turn, tightest first: a run too small to give enough
#: confident targets at 1% trains on those at 5%, then at 10%, as Percolator-style tools
#: do. Reported q-values stay at the caller's level; only the positives of training change.
TRAIN_LEVELS = (0.01, 0.05, 0.10)
#: What the fold deals are drawn from, with each deal's number: they depend on nothing else
#: than the matches (not on the caller's seed), so a call's scores are reproducible. Another
#: salt gives other deals, as another seed used to: what the averaged score still owes to
#: the draw of the deals shows in the accepted counts across salts.
DEAL_SALT = 0
#: Most fold splits whose models are averaged, and the training rows (best matches) that
#: the ensemble may take in all: a small run, whose models vary most from one deal of its
#: spectra to the next, averages up to `MAX_SPLITS` splits; a large run, whose single split
#: is already stable, averages fewer (one from `_SPLIT_BUDGET` best matches on).
MAX_SPLITS = 200
_SPLIT_BUDGET = 200_000
#: The ensemble stops adding splits once its accepted counts have settled: checked every
#: `CHECK_EVERY` splits from `MIN_SPLITS` on, the means of its odd and of its even splits
#: accept as many as the whole, at `SETTLED_CHECKS` checks in a row.
MIN_SPLITS = 20
CHECK_EVERY = 10
SETTLED_CHECKS = 2
#: Most splits for mokapot, whose every model runs its own grid search.
MOKAPOT_SPLITS = 3


def train_levels(train_fdr: float) -> tuple[float, ...]:
    """The training thresholds tried: `train_fdr`, then the looser `TRAIN_LEVELS`."""
    return (train_fdr, *(level for level in TRAIN_LEVELS if level > train_fdr))


def ensemble_size(best_matches: int) -> int:
    """Fold splits averaged for a run with this many best matches (1 to `MAX_SPLITS`)."""
    return int(min(MAX_SPLITS, max(1, _SPLIT_BUDGET // max(best_matches, 1))))


def _per_spectrum(spectrum: np.ndarray, best: np.ndarray, values: np.ndarray, fill: float) -> np.ndarray:
    """The value of each spectrum's best match, by spectrum number (`fill` where none)."""
    count = int(spectrum.max()) + 1 if len(spectrum) else 0
    out = np.full(count, fill, dtype=np.float64)
    out[spectrum[best]] = values[best]
    return out


def _peptide_groups(psms: pd.DataFrame, order: np.ndarray, spectrum: np.ndarray, best: np.ndarray,
                    is_target: np.ndarray) -> np.ndarray | None:
    """A group number per spectrum: that of its best match's peptide and label, so that
    every spectrum of a peptide, in whichever file (the same spectrum may come twice, from a
    run and from a fraction of it), falls in one fold. None without a `peptide` column."""
    if "peptide" not in psms.columns:
        return None
    code = _text_codes(psms["peptide"])[order] * 2 + (~is_target)
    per_spectrum = np.full(int(spectrum.max()) + 1 if len(spectrum) else 0, -1, dtype=np.int64)
    per_spectrum[spectrum[best]] = code[best]
    # A spectrum without a best match (none in a checked table) forms a group of its own.
    alone = per_spectrum < 0
    per_spectrum[alone] = code.max(initial=0) + 1 + np.arange(int(alone.sum()))
    return np.unique(per_spectrum, return_inverse=True)[1].ravel()


def _choose_path(psms: pd.DataFrame, order: np.ndarray, is_target: np.ndarray, best: np.ndarray,
                 spectrum: np.ndarray, *, method: str, train_fdr: float, folds: int, seed: int,
                 iterations: int, min_decoys: int, min_positives: int, fdr: float,
                 exclude: Iterable[str]) -> tuple[np.ndarray, Rescoring, dict[str, np.ndarray]]:
    table = FeatureTable(psms, order, best, exclude)
    best_target, best_decoys = is_target[best], int((~is_target[best]).sum())
    low_resolution = "log10_evalue" in psms.columns
    if method == "hyperscore" and not low_resolution:
        name, score = "hyperscore", psms["hyperscore"].to_numpy(dtype=np.float64, na_value=np.nan)[order]
    else:
        name, score = fixed_score(psms, order)
    fixed_accepted = accepted_targets(score[best], best_target, fdr)
    used = "hyperscore" if name == "hyperscore" else "expectation"
    notes: list[str] = []
    extra: dict[str, np.ndarray] = {}

    def by_fixed(reason: str, compared: dict[str, int] | None = None,
                 level: float = 0.0) -> tuple[np.ndarray, Rescoring, dict[str, np.ndarray]]:
        if method != "hyperscore" or name != "hyperscore":
            notes.append(f"scored by {name}: {reason}")
        return score, Rescoring(requested=method, used=used, reason=reason, feature=name, features=table.names,
                                dropped=table.dropped, accepted=fixed_accepted, fdr=fdr, notes=tuple(notes),
                                compared=compared or {}, train_fdr=level), extra

    if method == "hyperscore":
        if low_resolution:
            return by_fixed("no training asked for; low-resolution spectra are scored by their expectation "
                            "value, never by the hyperscore, whose scale differs between charge states")
        return by_fixed("asked for")
    if best_decoys == 0:
        return by_fixed("no decoy among the best matches")
    if not table.names:
        return by_fixed("no usable feature")
    if best_decoys < min_decoys:
        return by_fixed(f"{best_decoys} decoys among the best matches, fewer than the {min_decoys} needed to train")
    # The training threshold: the tightest level at which the fixed score or the best
    # single feature (the model's first score) gives enough positives, and at which every
    # fold trains. The feature only opens training; it scores the run only as a yardstick
    # fitted on other folds (below).
    best_rows = table.rows(np.flatnonzero(best))
    levels = []
    for candidate in train_levels(train_fdr):
        _, _, feature_accepted = _best_direction(best_rows, best_target, candidate)
        positives = max(accepted_targets(score[best], best_target, candidate), feature_accepted)
        if positives >= min_positives:
            levels.append(candidate)
        else:
            notes.append(f"no training at {candidate:g}: {positives} targets pass, fewer than the "
                         f"{min_positives} needed")
    if not levels:
        return by_fixed(f"at most {positives} targets pass {candidate:g} under {name} or any single "
                        f"feature, fewer than the {min_positives} needed to train")
    # Folds balanced by label and fixed score; several splits averaged, so that the result
    # does not hinge on one deal of the spectra.
    strata = _per_spectrum(spectrum, best, np.where(is_target, 0.0, 1.0) * 1e6 + np.nan_to_num(
        np.clip(score, -1e5, 1e5), nan=-1e5), 2e6)
    splits = ensemble_size(int(best.sum()))
    if method == "mokapot":
        splits = min(splits, MOKAPOT_SPLITS)

    groups = _peptide_groups(psms, order, spectrum, best, is_target)
    labels = _per_spectrum(spectrum, best, np.where(is_target, 0.0, 1.0), 1.0).astype(np.int64)

    def deal(split: int) -> np.ndarray:
        return assign_folds(spectrum, folds, (DEAL_SALT, split), strata, groups, labels)

    # Each training set holds the other folds' spectra only.
    fold_positives = max(1, min_positives * (folds - 1) // folds)
    retention = _RetentionInputs.of(psms, order, exclude)
    trained = None
    for level in levels:
        confident = best & is_target & _passing(score, table, best, best_target, level)
        try:
            trained = _train_ensemble(psms, order, table, best, is_target, deal, splits, folds, method=method,
                                      level=level, fdr=fdr, seed=seed, iterations=iterations, min_positives=fold_positives,
                                      exclude=exclude, retention=retention, confident=confident,
                                      fixed=score[best])
            break
        except TrainingError as error:
            notes.append(f"training at {level:g} failed: {error}")
    if trained is None:
        return by_fixed("training failed at every level", level=0.0)
    if level != train_fdr:
        notes.append(f"trained on targets at {level:g} instead of {train_fdr:g}")
    scores, yardstick, models, predicted, splits = trained
    notes.extend(predicted.notes)
    extra.update(predicted.columns)
    offered = _Offered(predicted.features, predicted.dropped)

    def strength(values: np.ndarray) -> tuple[int, int]:
        # Compared first at the training threshold, where a small run has more targets and
        # the comparison is less a matter of one decoy, then at the reported level.
        return (accepted_targets(values[best], best_target, level), accepted_targets(values[best], best_target, fdr))

    model_strength, feature_strength, fixed_strength = strength(scores), strength(yardstick), strength(score)
    compared = {method: model_strength[1], "best single feature": feature_strength[1], name: fixed_strength[1]}
    if model_strength <= feature_strength or model_strength <= fixed_strength:
        rival, rival_strength = ("the best single feature", feature_strength) if feature_strength > fixed_strength \
            else (name, fixed_strength)
        reason = (f"the {method} model accepted {model_strength[0]} targets at {level:g} ({model_strength[1]} at "
                  f"{fdr:g}) on held-out folds, no more than {rival_strength[0]} ({rival_strength[1]}) of {rival}")
        if feature_strength <= fixed_strength or low_resolution:
            # Low-resolution spectra fall back on their calibrated expectation value, fixed
            # in advance; only the hyperscore gives way to a feature.
            return by_fixed(reason, compared, level)
        # The best single feature, chosen and calibrated on the other folds of each split.
        notes.append(f"scored by the best single feature on held-out folds: {reason}")
        return yardstick, Rescoring(requested=method, used="feature", reason=reason, feature="best single feature",
                                    features=offered.names, dropped=offered.dropped, accepted=feature_strength[1],
                                    folds=folds, splits=splits, train_fdr=level, fdr=fdr, notes=tuple(notes),
                                    compared=compared), extra
    weights: dict[str, float] = {}
    if method == "lda":
        # Averaged per feature over the models that had it (a split may lack one).
        sums: dict[str, list[float]] = {}
        for names, model in models:
            for feature, weight in zip(names, np.asarray(model.weights).tolist()):
                sums.setdefault(feature, []).append(weight)
        weights = {feature: float(np.mean(values)) for feature, values in sums.items()}
    return scores, Rescoring(requested=method, used=method, reason="trained", feature=None, features=offered.names,
                             dropped=offered.dropped, weights=weights, accepted=model_strength[1], folds=folds,
                             splits=splits, train_fdr=level, fdr=fdr, notes=tuple(notes), compared=compared), extra


class _Offered(NamedTuple):
    """The features offered to the models, for the report."""

    names: tuple[str, ...]
    dropped: tuple[str, ...]


class _RetentionInputs(NamedTuple):
    """What the retention time model needs, per row in canonical order."""

    rt: np.ndarray
    counts: np.ndarray
    files: np.ndarray
    names: np.ndarray

    @classmethod
    def of(cls, psms: pd.DataFrame, order: np.ndarray, exclude: Iterable[str]) -> _RetentionInputs | None:
        """None when the table has no retention times or peptides, or excludes the feature."""
        if "delta_rt_model" in set(exclude) or "rt" not in psms.columns or "sequence" not in psms.columns:
            return None
        rt = psms["rt"].to_numpy(dtype=np.float64, na_value=np.nan)[order]
        if not np.isfinite(rt).any():
            return None
        peptides = psms["peptide"].to_numpy()[order] if "peptide" in psms.columns else None
        counts = retention_model.composition(psms["sequence"].to_numpy()[order], peptides)
        codes, names = pd.factorize(psms["file"].to_numpy()[order]) if "file" in psms.columns \
            else (np.zeros(len(order), dtype=np.intp), np.array([""], dtype=object))
        return cls(rt, counts, codes, np.asarray(names, dtype=object))


class _Predicted(NamedTuple):
    """Retention time predictions averaged over the splits (canonical order) and notes."""

    columns: dict[str, np.ndarray]
    notes: list[str]
    #: The features the models were offered (those of the first split kept).
    features: tuple[str, ...] = ()
    dropped: tuple[str, ...] = ()


def _passing(score: np.ndarray, table: FeatureTable, best: np.ndarray, best_target: np.ndarray,
             level: float) -> np.ndarray:
    """Rows whose q-value at `level` passes among the best matches, under the fixed score or
    the best single feature, whichever accepts more there (all rows, canonical order)."""
    best_index = np.flatnonzero(best)
    j, sign, count = _best_direction(table.rows(best_index), best_target, level)
    start = score if accepted_targets(score[best], best_target, level) >= count else sign * table.column(j)
    passing = np.zeros(len(best), dtype=bool)
    passing[best_index] = tdc_qvalues(start[best], ~best_target) <= level
    return passing


def _train_ensemble(psms: pd.DataFrame, order: np.ndarray, table: FeatureTable, best: np.ndarray,
                    is_target: np.ndarray, deal: Callable[[int], np.ndarray], max_splits: int, folds: int, *,
                    method: str, level: float, fdr: float, seed: int, iterations: int, min_positives: int,
                    exclude: Iterable[str], retention: _RetentionInputs | None, confident: np.ndarray,
                    fixed: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray, list, _Predicted, int]:
    """Held-out scores of the model and of the best single feature at training threshold
    `level`, each averaged over fold splits (`deal(k)`: the fold of every row in split k),
    the fitted models, the retention time predictions (fitted on `confident` matches
    within the same folds), and the number of splits averaged.

    Splits are added until the averaged model's accepted best targets at `level` and at
    `fdr` are those of the means of its odd splits and of its even splits alike (checked
    every `CHECK_EVERY` splits from `MIN_SPLITS` on, `SETTLED_CHECKS` times in a row), or
    until `max_splits`: a run whose
    average has settled stops early, one whose count still moves with the deal takes more.
    A model that accepts no more than the fixed score (`fixed`, its values on the best
    matches) or the yardstick, in its whole mean and in both halves, at `SETTLED_CHECKS`
    checks in a row, has lost for good: it stops there too, and the caller falls back."""
    if method == "mokapot":
        fit = None
    else:
        def fit(matrix, targets, start=None, moments=None):
            return fit_lda(matrix, targets, train_fdr=level, iterations=iterations, min_positives=min_positives,
                           start=start, moments=moments)

    def fit_feature(matrix, targets, start=None, moments=None):
        return fit_best_feature(matrix, targets, train_fdr=level, start=start, moments=moments)

    scores = np.zeros(len(best))
    yardstick = np.zeros(len(best))
    predicted_sum = np.zeros(len(best))
    delta_sum = np.zeros(len(best))
    models: list = []
    kept = 0
    failure = None
    missing: dict[str, int] = {}
    offered: tuple[tuple[str, ...], tuple[str, ...]] | None = None
    tried = 0
    best_index = np.flatnonzero(best)
    best_target = is_target[best_index]
    halves = np.zeros((2, len(best_index)))
    settled = losing = 0
    base_ranked = _ranked_rows(table, best_index, is_target)
    while tried < max_splits:
        fold = deal(tried)
        tried += 1
        split_table = table
        if retention is not None:
            predicted, delta, short = retention_model.predict_rt(retention.rt, retention.counts, retention.files,
                                                                 fold, confident, folds)
            for entry in short:
                code, count = (int(part) for part in entry.split(":"))
                name = str(retention.names[code])
                missing[name] = min(count, missing.get(name, count))
            in_rows = np.empty(len(order))
            in_rows[order] = delta
            split_table = table.with_column("delta_rt_model", in_rows)
        split_fit = _mokapot_trainer(split_table.names, level, seed) if fit is None else fit
        # A split with a fold that cannot train (too few positives in its training set) is
        # left out; the level fails only when half the splits or more do.
        try:
            split_scores, feature_scores, split_models = _cross_validate_pair(
                split_table, best, is_target, fold, folds, split_fit, fit_feature, level=level,
                shares_start=fit is not None, ranked=_ranked_rows(split_table, best_index, is_target, base_ranked))
        except TrainingError as error:
            failure = error
            if tried >= MIN_SPLITS and 2 * kept <= tried:
                # Half the splits or more cannot train at this level: it fails now rather
                # than after every split the cap allows.
                break
            continue
        kept += 1
        offered = offered or (split_table.names, split_table.dropped)
        scores += split_scores
        yardstick += feature_scores
        models += [(split_table.names, model) for model in split_models]
        if retention is not None:
            predicted_sum += predicted
            delta_sum += delta
        halves[kept % 2] += split_scores[best_index]
        if kept >= MIN_SPLITS and kept % CHECK_EVERY == 0 and tried < max_splits:
            # The mean has settled when the means of the odd and of the even splits, two
            # independent half ensembles, accept as many targets as the whole one does.
            counts = {tuple(accepted_targets(values, best_target, at) for at in (level, fdr))
                      for values in (halves[0], halves[1], scores[best_index])}
            settled = settled + 1 if len(counts) == 1 else 0
            rivals = [tuple(accepted_targets(yardstick[best_index] / kept, best_target, at) for at in (level, fdr))]
            if fixed is not None:
                rivals.append(tuple(accepted_targets(fixed, best_target, at) for at in (level, fdr)))
            losing = losing + 1 if all(
                tuple(accepted_targets(values, best_target, at) for at in (level, fdr)) <= max(rivals)
                for values in (halves[0], halves[1], scores[best_index])) else 0
            if settled >= SETTLED_CHECKS or losing >= SETTLED_CHECKS:
                break
    if failure is not None and 2 * kept <= tried:
        raise TrainingError(f"{tried - kept} of {tried} splits: {failure}")
    columns_out: dict[str, np.ndarray] = {}
    notes = []
    if retention is not None:
        columns_out = {"predicted_rt": predicted_sum / kept, "delta_rt_model": delta_sum / kept}
        if missing:
            notes.append("no retention time model for " + ", ".join(
                f"{name} (as few as {count})" for name, count in sorted(missing.items())) + ": fewer than "
                f"{retention_model.MIN_CONFIDENT} confident matches in a training set")
    features, dropped = offered or (table.names, table.dropped)
    return scores / kept, yardstick / kept, models, _Predicted(columns_out, notes, features, dropped), kept


def rescore(psms: pd.DataFrame, *, method: str = "lda", train_fdr: float = 0.01, folds: int = 3,
            seed: int = 1, iterations: int = 10, min_decoys: int = 50, min_positives: int = 20,
            fdr: float = 0.01, exclude: Iterable[str] = ()) -> tuple[np.ndarray, Rescoring]:
    """One score per match (higher better), in the order of `psms`, and a report of how it
    was made.

    `psms` needs the columns `file`, `spec_id`, `rank`, `label` and `hyperscore`; every
    other numeric column that is not excluded (`EXCLUDED_FEATURES`, `exclude`) is a
    feature. `method` is "lda" (the built-in discriminant), "mokapot" (mokapot's
    Percolator model; needs `pip install 'tovel-mesk[mokapot]'`) or "hyperscore" (no
    training). `seed` seeds mokapot's own training; the fold deals do not depend on it
    (see the module text). The result depends only on the set of rows, not on their order.
    """
    check_options(method, train_fdr, folds)
    require_columns(psms, ("file", "spec_id", "rank", "label", "hyperscore"))
    is_target, rank = labels_and_ranks(psms)
    order, spectrum, _ = canonical_order(psms, rank, is_target)
    scores, report, _ = rescore_sorted(
        psms, order, is_target[order], rank[order] == 1, spectrum, method=method,
        train_fdr=train_fdr, folds=int(folds), seed=seed, iterations=iterations,
        min_decoys=min_decoys, min_positives=min_positives, fdr=fdr, exclude=exclude)
    result = np.empty(len(order), dtype=np.float64)
    result[order] = scores
    return result, report
