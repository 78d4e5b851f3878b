"""The settings each spectra file is searched with.

A call searches every file against one index, but each file with a scorer of its own:
with `fragment_tol` "auto" (the default), a file whose fragment spectra come from an ion
trap gets the low-resolution settings (`LOW_RESOLUTION`, those of the ion-trap preset) and
one from an Orbitrap or time-of-flight analyzer the high-resolution ones
(`HIGH_RESOLUTION`). `plan_file` reads the analyzer from the file's head
(`tovel_mesk.io.analyzer`), settles the file's settings, then calibrates its masses
(`tovel_mesk.search.calibration`) unless told not to. Both executors call it, each for the
files it searches, so a file gets the same settings wherever it runs; error control then
runs over every file of the call together.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..config import AUTO, ISOBARIC_QUANT, PRESETS, SearchSettings
from ..conventions import Tolerance
from ..io.analyzer import HIGH, LOW, UNKNOWN, Detection, detect_analyzer

if TYPE_CHECKING:
    import _tovel_mesk as tm

    from ..io.spectra import HeldSpectra
    from .calibration import Calibration, SamplePass
    from ..quant.isobaric import ReporterPlan

__all__ = ["FilePlan", "FileDraft", "plan_file", "draft_file", "settings_for", "AUTO", "LOW_RESOLUTION", "HIGH_RESOLUTION",
           "contradiction"]

#: Settings of low-resolution (ion-trap) fragment spectra: those of the ion-trap preset.
LOW_RESOLUTION: dict[str, Any] = dict(PRESETS["ion-trap"])
#: Settings of high-resolution (Orbitrap, time-of-flight) fragment spectra. More peaks are
#: kept than in ion-trap spectra: the fragments of a long peptide at charge 3 or 4 spread over
#: hundreds of peaks among the noise, and within 10 ppm a noise peak rarely meets an ion. On
#: the simulated Orbitrap run (`bench/comet_simulated.py`) the 150 most intense peaks lost
#: 5% of the correct spectra (most of them 3+ and 4+) that 500 keep, for a few percent more
#: scoring time.
HIGH_RESOLUTION: dict[str, Any] = {"fragment_tol": "10ppm", "top_peaks": 500}

#: A fragment window narrower than this at 1,000 m/z (Da) cannot match ion-trap fragments;
#: one wider than `WIDE_FOR_HIGH` throws away what high-resolution fragments offer.
NARROW_FOR_LOW = 0.1
WIDE_FOR_HIGH = 0.1


@dataclass
class FilePlan:
    """How one file is searched: what its head says (`detection`), the settings used
    (`settings`), the mass calibration applied to its spectra (None for none), and the
    warnings to show. `as_dict()` is what the summary records for the file. `held`: the
    file's spectra as calibration read them, for the search to prepare instead of reading
    the file again (None: the search reads the file); drop it once the file is searched."""

    detection: Detection
    settings: SearchSettings
    calibration: Calibration | None = None
    calibration_summary: dict[str, Any] = field(default_factory=dict)
    warnings: list[str] = field(default_factory=list)
    contradiction: str = ""
    held: HeldSpectra | None = field(default=None, repr=False)
    #: How the file's isobaric reporter ions are read; None when no plex is quantified.
    reporters: ReporterPlan | None = None

    def record(self) -> dict[str, Any]:
        """Flat entries for the file's row of the summary table: the analyzer found, the
        tolerances used and the calibration in a few words."""
        detection = self.detection
        found = "unknown" if detection.resolution == UNKNOWN else \
            f"{detection.analyzer or detection.resolution}" + (f" {detection.activation}" if detection.activation else "")
        found += " (guess)" if detection.guessed else ""
        out: dict[str, Any] = {"analyzer": found, "fragment_tol": str(self.settings.fragment_tol),
                               "precursor_tol": str(self.settings.precursor_tol)}
        precursor = self.calibration_summary.get("precursor")
        if precursor:
            out["calibration"] = (f"{precursor['before']['median_ppm']:+.2f} -> {precursor['after']['median_ppm']:+.2f} "
                                  f"ppm, sd {precursor['after']['sd_ppm']:.2f}")
        elif self.calibration_summary:
            out["calibration"] = "none (too few matches)"
        return out

    def as_dict(self) -> dict[str, Any]:
        used = {"fragment_tol": str(self.settings.fragment_tol), "precursor_tol": str(self.settings.precursor_tol),
                "report_psms": self.settings.report_psms, "top_peaks": self.settings.top_peaks}
        out: dict[str, Any] = {"detected": self.detection.as_dict(), "detected_text": self.detection.describe(),
                               "used": used}
        if self.calibration_summary:
            out["calibration"] = self.calibration_summary
        if self.warnings:
            out["warnings"] = list(self.warnings)
        if self.contradiction:
            out["contradiction"] = self.contradiction
        return out


def settings_for(settings: SearchSettings, detection: Detection) -> SearchSettings:
    """The settings a file with this detection is searched with: with `fragment_tol`
    "auto", those of its resolution (an unknown resolution takes the low-resolution ones,
    which still find matches on high-resolution spectra, while the reverse finds next to
    none); else the settings as given. A `report_psms` other than the default is kept."""
    if settings.fragment_tol != AUTO:
        return settings
    chosen = HIGH_RESOLUTION if detection.resolution == HIGH else LOW_RESOLUTION
    fields = SearchSettings.__dataclass_fields__
    # A count set away from its default is the user's and stays.
    values = {k: v for k, v in chosen.items()
              if k not in _KEPT_WHEN_SET or getattr(settings, k) == fields[k].default}
    return dataclasses.replace(settings, **values)


#: Settings of `HIGH_RESOLUTION` and `LOW_RESOLUTION` that give way to a value the user set.
_KEPT_WHEN_SET = ("report_psms", "top_peaks")


def contradiction(fragment_tol: Tolerance | str, detection: Detection) -> str:
    """Why a fragment tolerance the user forced does not fit the detected analyzer ("" when
    it fits, or when nothing is known)."""
    if not isinstance(fragment_tol, Tolerance) or detection.resolution == UNKNOWN:
        return ""
    width = fragment_tol.width(1000.0)
    if detection.resolution == LOW and width < NARROW_FOR_LOW:
        return (f"--fragment-tol {fragment_tol} is far narrower than what {detection.analyzer} spectra can match "
                f"(about 0.5 Da; leave --fragment-tol at auto)")
    if detection.resolution == HIGH and width > WIDE_FOR_HIGH:
        return (f"--fragment-tol {fragment_tol} is far wider than {detection.analyzer} spectra need "
                f"(about 10 ppm; leave --fragment-tol at auto)")
    return ""


@dataclass
class FileDraft:
    """The part of a file's plan that needs no index (`draft_file`): what its head says, the
    settings it gets from that, and, when it is to be calibrated, the pass that drew its
    sample (and holds its spectra for the search)."""

    detection: Detection
    settings: SearchSettings
    sample: SamplePass | None = field(default=None, repr=False)


def draft_file(settings: SearchSettings, path: str | Path, file_id: int = 0, *, calibrate: bool | None = None,
               cancelled: Callable[[], bool] | None = None) -> FileDraft:
    """Detects the file's analyzer, settles its settings and, when `calibrate` (default: the
    settings' `calibration`), reads the file once to draw the calibration sample and hold its
    spectra for the search. Needs no index, so a search runs it while the index is built
    (and for the next file while one is scored). `cancelled`: see `read_sample`."""
    detection = detect_analyzer(path, ms_level=settings.ms_level)
    chosen = settings_for(settings, detection)
    draft = FileDraft(detection, chosen)
    if calibrate is None:
        calibrate = bool(getattr(settings, "calibration", False))
    # With isobaric reporter ions the sample needs the file's reporter plan, made with the
    # index-free part of the plan: it is drawn then, and the search reads the file itself.
    if calibrate and getattr(settings, "quant", None) not in ISOBARIC_QUANT:
        from .calibration import read_sample  # noqa: PLC0415

        draft.sample = read_sample(chosen, path, file_id, hold=True, cancelled=cancelled)
    return draft


def plan_file(settings: SearchSettings, path: str | Path, *, db: tm.PyIndexedDatabase | None = None,
              file_id: int = 0, calibrate: bool | None = None, draft: FileDraft | None = None) -> FilePlan:
    """Detects the file's analyzer, settles its settings, and, when `calibrate` (default:
    the settings' `calibration`) and `db` are given, measures its mass errors on a sample
    of its spectra and sets its calibration and tolerances from them. `draft`: the part
    already done by `draft_file` for this file and settings."""
    if calibrate is None:
        calibrate = bool(getattr(settings, "calibration", False))
    calibrate = calibrate and db is not None
    if draft is None:
        draft = draft_file(settings, path, file_id, calibrate=calibrate)
    detection, chosen = draft.detection, draft.settings
    plan = FilePlan(detection, chosen)
    plan.contradiction = contradiction(settings.fragment_tol, detection)
    if detection.guessed and settings.fragment_tol == AUTO:
        if detection.resolution == UNKNOWN:
            plan.warnings.append(f"{Path(path).name}: nothing in the file names the fragment analyzer, and the "
                                 "peak lists do not tell; searched with low-resolution settings "
                                 f"(--fragment-tol {chosen.fragment_tol}); set --fragment-tol to choose")
        else:
            plan.warnings.append(f"{Path(path).name}: nothing in the file names the fragment analyzer; the peak "
                                 f"lists look {detection.resolution}-resolution (a guess), so it was searched "
                                 f"with --fragment-tol {chosen.fragment_tol}; set --fragment-tol to choose")
    elif detection.mixed:
        counts = ", ".join(f"{n} {name}" for name, n in detection.mixed.items())
        plan.warnings.append(f"{Path(path).name}: its first fragment spectra come from several analyzers "
                             f"({counts}); all of it was searched as {detection.resolution}-resolution")
    if getattr(settings, "quant", None) in ISOBARIC_QUANT:
        from ..quant.isobaric import plan_reporters  # noqa: PLC0415

        tol = settings.reporter_tol
        plan.reporters = plan_reporters(
            settings.quant, path, ms2_high_resolution={HIGH: True, LOW: False}.get(detection.resolution),
            tolerance_ppm=tol.upper if tol.unit == "ppm" else None, tolerance_da=tol.upper if tol.unit == "da" else None)
    if calibrate and db is not None:
        from .calibration import calibrate_file  # noqa: PLC0415

        result = calibrate_file(plan.settings, db, path, file_id, high_resolution=detection.resolution == HIGH,
                                hold=True, drawn=draft.sample, reporters=plan.reporters)
        draft.sample = None
        plan.settings = result.settings
        plan.calibration = result.calibration
        plan.calibration_summary = result.summary
        plan.held = result.held
        if result.warning:
            plan.warnings.append(f"{Path(path).name}: {result.warning}")
        if "read_again" in result.summary:
            plan.warnings.append(f"{Path(path).name}: {result.summary['read_again']}")
    return plan
