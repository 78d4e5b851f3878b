"""Mass calibration of a spectra file, and search tolerances from its measured errors.

Before a file is searched, `calibrate_file` scores a sample of its spectra (at most
`SAMPLE_SIZE`, drawn evenly from the whole run) and keeps the confident matches (targets
at q <= 1% by target-decoy competition within the sample). From their precursor mass
errors, and for high-resolution spectra from the errors of their matched fragments, it
fits a model of the systematic error:

- a constant offset (the median error);
- then, where at least `MIN_FOR_TREND` matches support it, a trend along retention time
  (medians of retention-time bins, joined by straight lines) and a slope along m/z, each
  kept only when it shrinks the spread of what remains by at least `MIN_GAIN`.

The spectra of the whole file are then read with their m/z values divided by the modelled
error (`Calibration`, applied by `SpectraReader`), and the search tolerance is set from
the spread that remains: the larger of `SPREAD_FACTOR` robust standard deviations and a
floor, never wider than the window the sample was searched with (the user's). The scoring itself is
untouched: calibration changes the m/z values the core is given, nothing else.

With fewer than `MIN_CONFIDENT` confident matches, nothing is changed and the summary
says so.

The pass that draws the sample holds the file's spectra in memory, peaks decoded
(`tovel_mesk.io.spectra.HeldSpectra`, at most `HOLD_BYTES`), and hands them to the search,
which then prepares them with the calibration instead of reading the file again; a file
whose peaks take more is read again, and the summary says so.
"""

from __future__ import annotations

import dataclasses
import math
import time
from dataclasses import dataclass, field
from pathlib import Path
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from ..config import SEARCH, SearchSettings
from ..conventions import PROTON_MASS, Tolerance
from .quantify import wants_ms1

if TYPE_CHECKING:
    import _tovel_mesk as tm

    from ..io.spectra import HeldSpectra
    from ..quant.isobaric import ReporterPlan

__all__ = ["ErrorModel", "Calibration", "CalibrationResult", "calibrate_file", "fit_error_model",
           "robust_sd", "read_sample", "SamplePass", "Cancelled", "SAMPLE_SIZE", "MIN_CONFIDENT"]

#: Spectra drawn for the first pass, at most; they are scored `SAMPLE_STEP` at a time
#: until `ENOUGH_CONFIDENT` confident matches are found. Fragment errors are taken from
#: the matched fragments of at most `FRAGMENT_SPECTRA` confident matches.
SAMPLE_SIZE = 2000
SAMPLE_STEP = 500
ENOUGH_CONFIDENT = 400
FRAGMENT_SPECTRA = 300
#: Confident matches needed to calibrate at all, and to look for trends along retention
#: time and m/z.
MIN_CONFIDENT = 20
MIN_FOR_TREND = 200
#: A trend is kept when it shrinks the robust spread of the errors by this share.
MIN_GAIN = 0.10
#: Confident matches are targets at the first of these q-values within the sample that
#: gives `MIN_CONFIDENT` of them, by the single score that gives the most (the sample of a
#: short run is too small for the 1% level to be reached; the precursor errors of the
#: few false matches among them scatter evenly over the window and barely move a median).
CONFIDENT_Q = (0.01, 0.05)
#: Tolerance = the larger of SPREAD_FACTOR robust standard deviations and the floor (ppm).
SPREAD_FACTOR = 4.0
PRECURSOR_FLOOR_PPM = 5.0
FRAGMENT_FLOOR_PPM = 5.0
#: Precursor tolerances wider than this (Da at 1,000) are the user's open search: their
#: m/z values are calibrated but the window is left as it is.
OPEN_WINDOW_DA = 0.1


def robust_sd(values: np.ndarray) -> float:
    """1.4826 times the median absolute deviation from the median."""
    values = np.asarray(values, dtype=np.float64)
    if values.size == 0:
        return math.nan
    return float(1.4826 * np.median(np.abs(values - np.median(values))))


@dataclass(frozen=True)
class ErrorModel:
    """A systematic mass error in ppm as a function of retention time (minutes) and m/z:
    `offset` + the piecewise-linear trend through (`rt_knots`, `rt_values`) (flat beyond
    the ends; none when empty) + `mz_slope` ppm per 1,000 m/z from `mz_centre`."""

    offset: float
    rt_knots: tuple[float, ...] = ()
    rt_values: tuple[float, ...] = ()
    mz_slope: float = 0.0
    mz_centre: float = 0.0

    @property
    def kind(self) -> str:
        parts = ["offset"] + (["retention time"] if self.rt_knots else []) + (["m/z"] if self.mz_slope else [])
        return " + ".join(parts)

    def __call__(self, mz: np.ndarray | float, rt: np.ndarray | float) -> np.ndarray:
        mz = np.asarray(mz, dtype=np.float64)
        rt = np.asarray(rt, dtype=np.float64)
        error = np.full(np.broadcast(mz, rt).shape, self.offset, dtype=np.float64)
        if self.rt_knots:
            trend = np.interp(np.where(np.isfinite(rt), rt, np.median(self.rt_knots)), self.rt_knots,
                              self.rt_values)
            error = error + trend
        if self.mz_slope:
            error = error + self.mz_slope * (mz - self.mz_centre) / 1000.0
        return error

    def as_dict(self) -> dict[str, Any]:
        out: dict[str, Any] = {"model": self.kind, "offset_ppm": round(self.offset, 3)}
        if self.rt_knots:
            out["rt_knots_min"] = [round(k, 2) for k in self.rt_knots]
            out["rt_trend_ppm"] = [round(v, 3) for v in self.rt_values]
        if self.mz_slope:
            out["ppm_per_1000_mz"] = round(self.mz_slope, 3)
            out["mz_centre"] = round(self.mz_centre, 3)
        return out


def fit_error_model(errors: np.ndarray, mz: np.ndarray, rt: np.ndarray) -> ErrorModel:
    """The systematic part of `errors` (ppm), as the module documentation describes."""
    errors = np.asarray(errors, dtype=np.float64)
    mz = np.asarray(mz, dtype=np.float64)
    rt = np.asarray(rt, dtype=np.float64)
    model = ErrorModel(float(np.median(errors)))
    spread = robust_sd(errors - model(mz, rt))
    if errors.size < MIN_FOR_TREND or not spread > 0:
        return model
    timed = np.isfinite(rt)
    if timed.sum() >= MIN_FOR_TREND and np.ptp(rt[timed]) > 0:
        bins = int(min(10, timed.sum() // 40))
        edges = np.quantile(rt[timed], np.linspace(0.0, 1.0, bins + 1))
        knots, values = [], []
        residual = errors[timed] - model.offset
        for lo, hi in zip(edges[:-1], edges[1:]):
            inside = (rt[timed] >= lo) & (rt[timed] <= hi)
            if inside.sum() >= 10:
                knots.append(float(np.median(rt[timed][inside])))
                values.append(float(np.median(residual[inside])))
        if len(knots) >= 2 and np.all(np.diff(knots) > 0):
            trial = dataclasses.replace(model, rt_knots=tuple(knots), rt_values=tuple(values))
            new_spread = robust_sd(errors - trial(mz, rt))
            if new_spread <= (1 - MIN_GAIN) * spread:
                model, spread = trial, new_spread
    residual = errors - model(mz, rt)
    centre = float(np.median(mz))
    inliers = np.abs(residual - np.median(residual)) <= 3 * spread
    if inliers.sum() >= MIN_FOR_TREND and np.ptp(mz[inliers]) > 0:
        slope = float(np.polyfit((mz[inliers] - centre) / 1000.0, residual[inliers], 1)[0])
        trial = dataclasses.replace(model, mz_slope=slope, mz_centre=centre)
        new_spread = robust_sd(errors - trial(mz, rt))
        if new_spread <= (1 - MIN_GAIN) * spread:
            model = trial
    return model


@dataclass(frozen=True)
class Calibration:
    """The correction of one file's m/z values: each observed m/z (with its proton) has its
    neutral part divided by 1 + the modelled error in ppm. `fragment` is None when the
    fragments are left as they are (low-resolution spectra)."""

    precursor: ErrorModel
    fragment: ErrorModel | None = None

    def precursor_mz(self, mz: float, rt: float) -> float:
        error = float(self.precursor(mz, rt))
        return PROTON_MASS + (mz - PROTON_MASS) / (1.0 + error * 1e-6)

    def fragment_mz(self, mz: np.ndarray, rt: float) -> np.ndarray:
        if self.fragment is None:
            return mz
        mz = np.asarray(mz, dtype=np.float64)
        return PROTON_MASS + (mz - PROTON_MASS) / (1.0 + self.fragment(mz, rt) * 1e-6)


@dataclass
class CalibrationResult:
    """What `calibrate_file` found: the settings to search the file with, the calibration
    to apply (None: none), the figures for the summary, a warning ("" for none), and the
    errors of the confident matches (retention time, before, after) for a plot. `held`: the
    file's spectra as the sample's pass read them, for the search (None when the sample was
    given, or the file's peaks took more than the reader holds)."""

    settings: SearchSettings
    calibration: Calibration | None
    summary: dict[str, Any]
    warning: str = ""
    points: dict[str, np.ndarray] = field(default_factory=dict)
    held: HeldSpectra | None = None


@dataclass
class SamplePass:
    """The pass over a file that draws its sample (`read_sample`): the sample's spectra, the
    file's spectra held for the search (None when not asked for, or beyond the limit:
    `refused`), and the seconds the pass took."""

    spectra: list[tm.PyProcessedSpectrum]
    held: HeldSpectra | None = None
    refused: bool = False
    seconds: float = 0.0


class Cancelled(Exception):
    """A sample pass stopped on request (`read_sample`'s `cancelled`)."""


def read_sample(settings: SearchSettings, path: str | Path, file_id: int = 0, *, hold: bool = False,
                cancelled: Callable[[], bool] | None = None, reporters: ReporterPlan | None = None) -> SamplePass:
    """At most `SAMPLE_SIZE` spectra drawn evenly from the whole file (a reservoir sample
    with a fixed seed, in file order), so every part of the run is represented; with `hold`,
    the file's spectra held for the search. Needs no index, so it may run while the index
    is built. `cancelled`, asked after each chunk, stops the pass with `Cancelled`. With
    `reporters` (how the file's isobaric reporter ions are read), the sample's spectra are
    without their reporter peaks, as the search's are; such a pass holds nothing, since the
    search reads the reporter ions in its own pass."""
    from ..io.spectra import SpectraReader  # noqa: PLC0415
    from ..quant.isobaric import ReporterRemover  # noqa: PLC0415

    started = time.perf_counter()
    rng = np.random.default_rng(20261207)
    reservoir: list[tuple[int, tm.PyProcessedSpectrum]] = []
    seen = 0
    # The pass that holds the spectra is the search's only pass over the file: it keeps the
    # MS1 scans for quantification too.
    builder = None
    if hold and settings.ms_level != 1 and wants_ms1(settings):
        from ..quant.ms1 import Ms1Builder  # noqa: PLC0415

        builder = Ms1Builder(Path(path).name)
    reader = SpectraReader(path, ms_level=settings.ms_level, top_peaks=settings.top_peaks,
                           chunk_size=settings.chunk_size, file_id=file_id, hold=hold and reporters is None,
                           ms1=None if builder is None else builder.add,
                           reporters=None if reporters is None else ReporterRemover(reporters))
    for chunk in reader:
        if cancelled is not None and cancelled():
            raise Cancelled(str(path))
        for spectrum in chunk:
            if len(reservoir) < SAMPLE_SIZE:
                reservoir.append((seen, spectrum))
            else:
                slot = int(rng.integers(0, seen + 1))
                if slot < SAMPLE_SIZE:
                    reservoir[slot] = (seen, spectrum)
            seen += 1
    reservoir.sort(key=lambda item: item[0])
    if builder is not None and reader.held is not None and reader.format == "mzml":
        reader.held.ms1, reader.held.ms1_left_out = builder.finish(), reader.ms1_left_out
    return SamplePass([spectrum for _, spectrum in reservoir], reader.held, reader.hold_refused,
                      time.perf_counter() - started)


def _confident(columns: dict[str, np.ndarray]) -> tuple[np.ndarray, dict[str, Any]]:
    """Which best matches are confident (`CONFIDENT_Q`), and by which score and level."""
    from ..fdr.qvalues import tdc_qvalues  # noqa: PLC0415

    best = columns["rank"] == 1
    label = columns["label"][best]
    scores = {"log10_evalue": -columns["log10_evalue"][best].astype(np.float64),
              "xcorr": columns["xcorr"][best].astype(np.float64),
              "hyperscore": columns["hyperscore"][best].astype(np.float64)}
    qvalues = {name: tdc_qvalues(score, label < 0) for name, score in scores.items()}
    confident = np.zeros(len(label), dtype=bool)
    how: dict[str, Any] = {}
    for level in CONFIDENT_Q:
        for name, q in qvalues.items():
            chosen = (q <= level) & (label > 0)
            if chosen.sum() > confident.sum():
                confident, how = chosen, {"score": name, "q": level}
        if confident.sum() >= MIN_CONFIDENT:
            break
    return confident, how


def _symmetric_ppm(tolerance: Tolerance | str) -> float | None:
    """The half-width in ppm of a tolerance given in ppm, None for one in Da."""
    if not isinstance(tolerance, Tolerance) or tolerance.unit != "ppm":
        return None
    return max(abs(tolerance.lower), abs(tolerance.upper))


def _ppm(value: float) -> Tolerance:
    """A symmetric ppm tolerance of `value`, rounded up to a tenth."""
    half = math.ceil(value * 10) / 10
    return Tolerance(-half, half, "ppm")


def calibrate_file(settings: SearchSettings, db: tm.PyIndexedDatabase, path: str | Path, file_id: int = 0, *,
                   high_resolution: bool = False,
                   sample: list[tm.PyProcessedSpectrum] | None = None, hold: bool = False,
                   drawn: SamplePass | None = None, reporters: ReporterPlan | None = None) -> CalibrationResult:
    """Measures the mass errors of a sample of the file's spectra and returns the settings
    and calibration to search it with (module documentation). `settings` are the file's
    settings before calibration; `sample` replaces the sample drawn from the file, and
    `drawn` is a pass that already drew it (`read_sample`). With `hold`, the pass that
    draws the sample keeps the file's spectra for the search (`CalibrationResult.held`).
    `reporters`: the file's isobaric reporter plan, whose reporter peaks are removed from
    the sample as from the search."""
    from .scoring import make_scorer, score_columns  # noqa: PLC0415

    started = time.perf_counter()
    held = None
    summary: dict[str, Any] = {}
    if sample is not None:
        spectra = sample
    else:
        if drawn is None:
            drawn = read_sample(settings, path, file_id, hold=hold, reporters=reporters)
        else:
            hold = drawn.held is not None or drawn.refused
        spectra, held = drawn.spectra, drawn.held
        summary["sample_pass_seconds"] = round(drawn.seconds, 3)
        if hold:
            from ..io.spectra import HOLD_BYTES  # noqa: PLC0415

            summary["spectra_held"] = held is not None
            if drawn.refused:
                summary["read_again"] = (f"the file's peaks take more than the {HOLD_BYTES >> 20} MiB held in "
                                         "memory; read a second time for the search")
    summary.update({"applied": False, "sample_spectra": len(spectra)})

    user_ppm = _symmetric_ppm(settings.precursor_tol)
    open_window = settings.wide_window or settings.precursor_tol.width(1000.0) > OPEN_WINDOW_DA
    first = dataclasses.replace(settings, report_psms=1, chimera=False)
    # The sample is scored a part at a time, in a random order, until it holds enough
    # confident matches: a run of strong spectra needs a fraction of it.
    scorer = make_scorer(first)
    order = np.random.default_rng(len(spectra)).permutation(len(spectra))
    parts: list[dict[str, np.ndarray]] = []
    columns: dict[str, np.ndarray] = {}
    confident = np.zeros(0, dtype=bool)
    how: dict[str, Any] = {}
    scored = 0
    for start in range(0, len(spectra), SAMPLE_STEP):
        part = [spectra[i] for i in order[start:start + SAMPLE_STEP]]
        parts.append(score_columns(scorer, db, part, threads=settings.thread_count, chunk_size=settings.chunk_size,
                                   adaptive_null=settings.adaptive_null))
        scored += len(part)
        columns = {name: np.concatenate([p[name] for p in parts]) for name in parts[0]}
        confident, how = _confident(columns)
        if confident.sum() >= ENOUGH_CONFIDENT:
            break
    summary["spectra_scored"] = scored

    def fail(reason: str) -> CalibrationResult:
        summary["reason"] = reason
        summary["seconds"] = round(time.perf_counter() - started, 3)
        return CalibrationResult(settings, None, summary,
                                 f"{reason}; searched with the tolerances as set, without calibration", held=held)

    if not spectra or not len(columns.get("label", ())):
        return fail("no spectrum of the sample matched")
    summary["confidence"] = how
    best = columns["rank"] == 1
    summary["confident_matches"] = int(confident.sum())
    if confident.sum() < MIN_CONFIDENT:
        return fail(f"too few confident matches to calibrate ({int(confident.sum())} in a sample of "
                    f"{len(spectra)} spectra, {MIN_CONFIDENT} needed)")

    charge = columns["charge"][best][confident].astype(np.float64)
    calcmass = columns["calcmass"][best][confident].astype(np.float64)
    rt = columns["rt"][best][confident].astype(np.float64)
    errors = columns["delta_mass"][best][confident].astype(np.float64)
    mz = calcmass / charge + PROTON_MASS
    precursor = fit_error_model(errors, mz, rt)
    after = errors - precursor(mz, rt)
    spread = robust_sd(after)
    summary["precursor"] = {"before": {"median_ppm": round(float(np.median(errors)), 3),
                                       "sd_ppm": round(robust_sd(errors), 3)},
                            "after": {"median_ppm": round(float(np.median(after)), 3), "sd_ppm": round(spread, 3)},
                            **precursor.as_dict()}
    points = {"rt": rt, "precursor_before": errors, "precursor_after": after}

    chosen_settings = settings
    if user_ppm is not None and not open_window:
        tolerance = min(max(SPREAD_FACTOR * spread, PRECURSOR_FLOOR_PPM), user_ppm)
        chosen_settings = dataclasses.replace(chosen_settings, precursor_tol=_ppm(tolerance))
    summary["precursor"]["tolerance"] = {"before": str(settings.precursor_tol),
                                         "after": str(chosen_settings.precursor_tol)}

    fragment = None
    fragment_ppm = _symmetric_ppm(settings.fragment_tol)
    if high_resolution and fragment_ppm is not None:
        picked = np.flatnonzero(best)[confident][:FRAGMENT_SPECTRA]
        fragment_errors, fragment_mz, fragment_rt = _fragment_errors(
            first, db, spectra, columns, picked)
        if fragment_errors.size >= MIN_CONFIDENT:
            fragment = fit_error_model(fragment_errors, fragment_mz, fragment_rt)
            fragment_after = fragment_errors - fragment(fragment_mz, fragment_rt)
            fragment_spread = robust_sd(fragment_after)
            tolerance = min(max(SPREAD_FACTOR * fragment_spread, FRAGMENT_FLOOR_PPM), fragment_ppm)
            chosen_settings = dataclasses.replace(chosen_settings, fragment_tol=_ppm(tolerance))
            summary["fragment"] = {
                "matched_fragments": int(fragment_errors.size),
                "before": {"median_ppm": round(float(np.median(fragment_errors)), 3),
                           "sd_ppm": round(robust_sd(fragment_errors), 3)},
                "after": {"median_ppm": round(float(np.median(fragment_after)), 3),
                          "sd_ppm": round(fragment_spread, 3)},
                **fragment.as_dict(),
                "tolerance": {"before": str(settings.fragment_tol), "after": str(chosen_settings.fragment_tol)}}
    summary["applied"] = True
    summary["seconds"] = round(time.perf_counter() - started, 3)
    return CalibrationResult(chosen_settings, Calibration(precursor, fragment), summary, "", points, held)


def _fragment_errors(settings: SearchSettings, db: tm.PyIndexedDatabase, spectra: list, columns: dict,
                     rows: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Signed errors (ppm) of the matched fragments of the confident matches, with their
    m/z and retention time, from a second scoring of those spectra that lists the
    matched fragments."""
    import _tovel_mesk as tm  # noqa: PLC0415

    by_id = {spectrum.id: spectrum for spectrum in spectra}
    wanted = {str(columns["spec_id"][i]): int(columns["peptide_idx"][i]) for i in rows}
    picked = [by_id[spec_id] for spec_id in wanted if spec_id in by_id]
    arguments = settings.arguments(SEARCH)
    for name in ("precursor_tol", "fragment_tol"):
        arguments[name] = arguments[name].core()
    arguments.update(chimera=False, report_psms=1)
    scorer = tm.PyScorer(**arguments, annotate_matches=True)
    errors: list[np.ndarray] = []
    mzs: list[np.ndarray] = []
    rts: list[np.ndarray] = []
    for spectrum, features in zip(picked, scorer.score_many_spectra(db, picked)):
        for feature in features:
            if feature.peptide_idx != wanted[spectrum.id] or feature.fragments is None:
                continue
            calculated = np.asarray(feature.fragments.mz_calculated, dtype=np.float64)
            observed = np.asarray(feature.fragments.mz_experimental, dtype=np.float64)
            errors.append((observed - calculated) / (calculated - PROTON_MASS) * 1e6)
            mzs.append(calculated)
            rts.append(np.full(calculated.size, float(feature.rt)))
            break
    if not errors:
        return np.empty(0), np.empty(0), np.empty(0)
    return np.concatenate(errors), np.concatenate(mzs), np.concatenate(rts)
