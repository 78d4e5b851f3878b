"""The quantification stage of a search: after error control, the accepted precursor ions
are quantified in the MS1 scans that the readers kept (`tovel_mesk.quant`).
The console summary, the report and summary.json's `quant` say what was done.

What `--quant auto` (the default) does: label-free quantification when a searched file
holds MS1 scans, none otherwise. Every choice made for the user (quantification off, a
file left out, match-between-runs off with one run) is a note: printed, in the report and
in summary.json's `quant`.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Sequence
from pathlib import Path
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ..config import SearchSettings
from ..errors import InputError, one_line
from ..progress import Progress
from .outcome import FileResult

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["QuantStage", "wants_ms1", "quantify_search", "accepted_ions"]

#: The columns of the ions handed to the label-free engine, in order.
ION_COLUMNS = ("file", "peptide", "sequence", "charge", "calcmass", "rt", "spectrum_q", "ppm_offset",
               "ppm_tolerance")


def wants_ms1(settings: SearchSettings) -> bool:
    """Whether the readers keep the MS1 scans: for label-free quantification, asked for or
    left to `auto`."""
    return getattr(settings, "quant", "none") in ("auto", "lfq")


@dataclass
class QuantStage:
    """What the stage did, as summary.json's `quant` records it: the method used ("lfq" or
    "none"), the method asked for, the runs quantified, ions quantified, transfers kept,
    the MS1 store's size and the notes (every fallback or step left out)."""

    method: str
    requested: str
    runs: list[str] = field(default_factory=list)
    ions: int = 0
    precursors_quantified: int = 0
    transfers_kept: int = 0
    decoy_transfers: int = 0
    ms1_peaks: int = 0
    ms1_bytes: int = 0
    notes: list[str] = field(default_factory=list)
    seconds: float = 0.0
    #: Why quantification failed ("" when it did not): the search's results are kept.
    failed: str = ""

    def as_dict(self) -> dict[str, Any]:
        out = dict(self.__dict__)
        out["seconds"] = round(self.seconds, 3)
        out["ms1_bytes_per_peak"] = round(self.ms1_bytes / self.ms1_peaks, 3) if self.ms1_peaks else None
        return out


def accepted_ions(psms: pd.DataFrame, files: Sequence[FileResult], fdr: float) -> pd.DataFrame:
    """The accepted best target matches (rank 1, `spectrum_q` at most `fdr`) as the engine
    takes them (`ION_COLUMNS`): each with its file's calibration offset at the ion's m/z
    and retention time (ppm, 0 without calibration) and its file's precursor tolerance in
    ppm at that m/z."""
    import numpy as np  # noqa: PLC0415
    import pandas as pd  # noqa: PLC0415

    from ..conventions import PROTON_MASS  # noqa: PLC0415

    keep = (psms["label"] == 1) & (psms["rank"] == 1) & (psms["spectrum_q"] <= fdr)
    ions = psms.loc[keep, ["file", "peptide", "sequence", "charge", "calcmass", "rt", "spectrum_q"]].copy()
    ions = ions.reset_index(drop=True)
    ions["charge"] = ions["charge"].astype(np.int64)
    ions["calcmass"] = ions["calcmass"].astype(np.float64)
    ions["rt"] = ions["rt"].astype(np.float64)
    mz = (ions["calcmass"].to_numpy() + ions["charge"].to_numpy() * PROTON_MASS) / ions["charge"].to_numpy()
    offset = np.zeros(len(ions))
    tolerance = np.full(len(ions), np.nan)
    by_name = {f.name: f for f in files}
    for name, rows in ions.groupby("file", sort=False).indices.items():
        f = by_name.get(name)
        if f is None:
            continue
        if f.precursor_error is not None:
            offset[rows] = f.precursor_error(mz[rows], ions["rt"].to_numpy()[rows])
        tol = f.precursor_tol
        if tol is not None:
            half = max(abs(float(tol.lower)), abs(float(tol.upper)))
            tolerance[rows] = half if tol.unit == "ppm" else half / mz[rows] * 1e6
    ions["ppm_offset"] = offset
    ions["ppm_tolerance"] = tolerance
    return pd.DataFrame({c: ions[c] for c in ION_COLUMNS})


def quantify_search(settings: SearchSettings, files: Sequence[FileResult], psms: pd.DataFrame,
                    peptide_group: pd.Series, progress: Progress) -> tuple[Any, QuantStage]:
    """Quantifies the accepted ions of a search as `settings.quant` says. Returns the
    engine's result (None when nothing was quantified) and the record of the stage."""
    requested = getattr(settings, "quant", "none")
    stage = QuantStage("none", requested)
    started = time.perf_counter()
    try:
        result = _quantify(settings, files, psms, peptide_group, progress, stage)
    except (InputError, MemoryError):
        raise
    except Exception as error:  # noqa: BLE001 - the identifications are not lost to a failed quantification
        if os.environ.get("TOVEL_MESK_DEBUG"):
            raise
        result = None
        stage.method = "none"
        stage.failed = f"{type(error).__name__}: {one_line(error)}"
        stage.notes.append(f"quantification failed ({stage.failed}); the identifications are written without "
                           "quantities")
    finally:
        stage.seconds = time.perf_counter() - started
    return result, stage


def _quantify(settings: SearchSettings, files: Sequence[FileResult], psms: pd.DataFrame,
              peptide_group: pd.Series, progress: Progress, stage: QuantStage) -> Any:
    requested = stage.requested
    if requested == "none":
        return None
    if requested not in ("auto", "lfq"):
        return None  # reporter ions: quantified after the tables (`tovel_mesk.search.finish`)
    for f in files:
        stage.notes.extend(f.ms1_notes)
    runs = {f.name: f.ms1 for f in files if f.ms1 is not None}
    if not runs:
        why = "no searched file holds MS1 scans" if files else "no file was searched"
        stage.notes.append(f"label-free quantification off: {why}" + (" (--quant auto)" if requested == "auto" else ""))
        return None
    stage.runs = list(runs)
    stage.ms1_peaks = sum(r.peaks for r in runs.values())
    stage.ms1_bytes = sum(r.nbytes for r in runs.values())
    ions = accepted_ions(psms, files, settings.fdr)
    ions = ions[ions["file"].isin(list(runs))].reset_index(drop=True)
    stage.ions = int(len(ions))
    if ions.empty:
        stage.notes.append(f"label-free quantification off: no accepted match at q <= {settings.fdr:g} in the "
                           "files with MS1 scans")
        return None
    if len(runs) == 1 and settings.mbr:
        # The engine turns it off silently when it was asked for; say so.
        stage.notes.append("match-between-runs off: only one run")

    from ..quant.lfq import LfqOptions, quantify_lfq  # noqa: PLC0415

    design = None
    if settings.design is not None:
        from ..quant.design import read_design  # noqa: PLC0415

        design = read_design(settings.design, [f.name for f in files])
    protein_of = {str(k): int(v) for k, v in peptide_group.items()}
    options = LfqOptions(mbr=None if settings.mbr is None else bool(settings.mbr),
                         protein_quant=settings.protein_quant, fdr=0.01)
    with progress.stage("quant"):
        result = quantify_lfq(runs, ions, protein_of, design=design, options=options)
    stage.method = "lfq"
    stage.notes.extend(n for n in result.notes if n not in stage.notes)
    diagnostics = result.diagnostics if isinstance(result.diagnostics, dict) else {}
    transfers = diagnostics.get("transfers")
    if isinstance(transfers, dict):
        stage.transfers_kept = int(transfers.get("transfers", 0))
        stage.decoy_transfers = int(transfers.get("decoy_wins", 0))
    # The runs of each sample, for the formats that name them (mzTab's study variables).
    if design is not None:
        diagnostics.setdefault("samples", {s: [Path(f).name for f in design.files_of(s)] for s in design.samples})
    else:
        diagnostics.setdefault("samples", {name: [name] for name in runs})
    columns = [c for c in result.precursors.columns if str(c).startswith("intensity_")]
    if columns:
        found = result.precursors[columns].notna().any(axis=1)
        stage.precursors_quantified = int(found.sum())
    if not math.isfinite(stage.seconds):
        stage.seconds = 0.0
    return result
