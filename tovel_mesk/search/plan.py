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
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..config import AUTO, ISOBARIC_QUANT, PRESETS, SearchSettings
from ..conventions import Tolerance
from ..io.analyzer import HIGH, LOW, UNKNOWN, Detection, detect_analyzer

if TYPE_CHECKING:
    import _tovel_mesk as tm

    from ..quant.isobaric import ReporterPlan
    from .calibration import Calibration

__all__ = ["FilePlan", "plan_file", "settings_for", "AUTO", "LOW_RESOLUTION", "HIGH_RESOLUTION",
           "contradiction"]

#: Settings of low-resolution (ion-trap) fragment spectra: those of the ion-trap preset.
LOW_RESOLUTION: dict[str, Any] = dict(PRESETS["ion-trap"])
#: Settings of high-resolution (Orbitrap, time-of-flight) fragment spectra.
HIGH_RESOLUTION: dict[str, Any] = {"fragment_tol": "10ppm"}

#: A fragment window narrower than this at 1,000 m/z (Da) cannot match ion-trap fragments;
#: one wider than `WIDE_FOR_HIGH` throws away what high-resolution fragments offer.
NARROW_FOR_LOW = 0.1
WIDE_FOR_HIGH = 0.1


@dataclass
class FilePlan:
    """How one file is searched: what its head says (`detection`), the settings used
    (`settings`), the mass calibration applied to its spectra (None for none), and the
    warnings to show. `as_dict()` is what the summary records for the file."""

    detection: Detection
    settings: SearchSettings
    calibration: Calibration | None = None
    calibration_summary: dict[str, Any] = field(default_factory=dict)
    warnings: list[str] = field(default_factory=list)
    contradiction: str = ""
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
                "report_psms": self.settings.report_psms}
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
    default_report = SearchSettings.__dataclass_fields__["report_psms"].default
    values = {k: v for k, v in chosen.items() if k != "report_psms" or settings.report_psms == default_report}
    return dataclasses.replace(settings, **values)


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


def plan_file(settings: SearchSettings, path: str | Path, *, db: tm.PyIndexedDatabase | None = None,
              file_id: int = 0, calibrate: bool | None = None) -> FilePlan:
    """Detects the file's analyzer, settles its settings, and, when `calibrate` (default:
    the settings' `calibration`) and `db` are given, measures its mass errors on a sample
    of its spectra and sets its calibration and tolerances from them."""
    detection = detect_analyzer(path, ms_level=settings.ms_level)
    chosen = settings_for(settings, detection)
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
    if calibrate is None:
        calibrate = bool(getattr(settings, "calibration", False))
    if calibrate and db is not None:
        from .calibration import calibrate_file  # noqa: PLC0415

        result = calibrate_file(plan.settings, db, path, file_id, high_resolution=detection.resolution == HIGH,
                                reporters=plan.reporters)
        plan.settings = result.settings
        plan.calibration = result.calibration
        plan.calibration_summary = result.summary
        if result.warning:
            plan.warnings.append(f"{Path(path).name}: {result.warning}")
    return plan
