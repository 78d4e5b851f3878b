"""Isobaric quantification of a search: the reporter ions of each file, read in the
reader's one pass, and their roll-up to protein groups.

Per file (`plan_reporters`): the windows the reporters are read with. A file whose MS3
spectra name MS2 scans in their precursors (SPS-MS3) is quantified from the MS3 spectra,
each giving its reporters to the MS2 scan it names; an MS2 spectrum without its MS3 then
has no reporters. Other files are quantified from their MS2 spectra. High-resolution
reporter spectra, and MS3 spectra (which SPS-MS3 methods record in the Orbitrap), are read
with the ppm window of `reporter_tol` (20 ppm by default); ion-trap MS2 spectra with a
0.3 Da window, and only for the plexes whose channels lie a whole dalton apart (TMT6, iTRAQ
4 and 8): the N/C pairs of TMT 10, 11, 16 and 18 lie 6 mDa apart, and such files without MS3
spectra are searched as usual but not quantified (noted).

Whatever the source of the reporters, the reporter peaks of every MS2 spectrum are removed
before its peaks are cut for scoring, so they never match fragment ions.

Rules (`quantify_reporters`): a spectrum counts when its best match is an accepted target
(`spectrum_q` at most the FDR, label 1, rank 1), its precursor purity is at least
`min_purity` (spectra of unknown purity count, and are counted in the notes), and it has
reporter signal. Intensities are corrected for isotope impurities when a matrix is given;
they then roll up to the protein group that counts the peptide.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from ..errors import SpectraFileError
from .reporters import (DEFAULT_REPORTER_PPM, LOW_RESOLUTION_WINDOW_DA, PLEXES, Plex, correct_impurities,
                        precursor_purity, read_reporters, reporter_mask, roll_up)

if TYPE_CHECKING:
    import pandas as pd

    from ..io.records import RawSpectrum

__all__ = ["ReporterPlan", "ReporterCollector", "ReporterRemover", "plan_reporters", "quantify_reporters", "IsobaricResult",
           "reporter_columns", "ISOBARIC"]

#: The `--quant` values that name a plex.
ISOBARIC = tuple(PLEXES)


@dataclass(frozen=True)
class ReporterPlan:
    """How one file's reporters are read: the plex; the window of MS2 reporters in ppm or
    Da (both None: the file's MS2 spectra cannot separate the plex's channels, and their
    reporters are not read); the window of MS3 reporters (SPS-MS3 runs record them at high
    resolution); the window that removes reporter peaks from the MS2 peaks before scoring;
    and, for the notes, the file's name and why MS2 reporters are read as they are."""

    plex: str
    ms2_ppm: float | None = DEFAULT_REPORTER_PPM
    ms2_da: float | None = None
    ms3_ppm: float | None = DEFAULT_REPORTER_PPM
    ms3_da: float | None = None
    removal_ppm: float | None = DEFAULT_REPORTER_PPM
    removal_da: float | None = None
    file: str = ""
    ms2_note: str = ""

    @property
    def ms2_read(self) -> bool:
        return self.ms2_ppm is not None or self.ms2_da is not None


def _window_text(ppm: float | None, da: float | None) -> str:
    return f"{ppm:g} ppm" if ppm is not None else f"{da:g} Da" if da is not None else "not read"


def plan_reporters(plex_name: str, path: str | Path, *, ms2_high_resolution: bool | None,
                   tolerance_ppm: float | None = DEFAULT_REPORTER_PPM,
                   tolerance_da: float | None = None) -> ReporterPlan:
    """The reporter plan of one file from its MS2 analyzer (True: high resolution, False:
    ion trap, None: unknown, taken as high). High-resolution reporter spectra (and every
    MS3 spectrum) are read with `tolerance_ppm`, or `tolerance_da` when that is None."""
    plex = PLEXES[plex_name]
    name = Path(path).name
    if ms2_high_resolution is not False:
        return ReporterPlan(plex_name, tolerance_ppm, tolerance_da, tolerance_ppm, tolerance_da, tolerance_ppm,
                            tolerance_da, name)
    removal = (None, LOW_RESOLUTION_WINDOW_DA)
    if plex.paired:
        note = (f"{name}: reporters not read: its MS2 spectra come from an ion trap, which cannot separate the "
                f"{plex.closest_spacing * 1000:.1f} mDa pairs of {plex.name}, and it has no MS3 spectra")
        return ReporterPlan(plex_name, None, None, tolerance_ppm, tolerance_da, *removal, name, note)
    note = f"{name}: MS2 spectra from an ion trap: reporters read within {LOW_RESOLUTION_WINDOW_DA} Da"
    return ReporterPlan(plex_name, None, LOW_RESOLUTION_WINDOW_DA, tolerance_ppm, tolerance_da, *removal, name, note)


class ReporterCollector:
    """Gathers one file's reporter intensities while its reader passes over it.

    The reader calls `fragment` for each MS2 spectrum it prepares (before the peaks are cut:
    it returns them without the reporter peaks) and `other` for every spectrum of another
    level (MS1 scans for purity, MS3 spectra for their reporters). `table()` gives one row
    per MS2 spectrum."""

    def __init__(self, plan: ReporterPlan):
        self.plan = plan
        self.plex: Plex = PLEXES[plan.plex]
        self._ids: list[str] = []
        self._row: dict[str, int] = {}
        self._intensity: list[np.ndarray] = []
        self._error: list[np.ndarray] = []
        self._purity: list[float] = []
        self._from_ms3: list[bool] = []
        self._ms1: RawSpectrum | None = None
        self._ms1_peaks: tuple[np.ndarray, np.ndarray] | None = None
        self.ms1_scans = 0
        self.ms3_linked = 0
        self.ms3_unlinked = 0
        self.unreadable_ms1 = 0
        self.ms3_unreadable = 0
        self._empty = np.zeros(len(self.plex.mz)), np.full(len(self.plex.mz), np.nan)

    def fragment(self, raw: RawSpectrum, mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        plan = self.plan
        if plan.ms2_read:
            found, error = read_reporters(mz, intensity, self.plex, tolerance_ppm=plan.ms2_ppm,
                                          tolerance_da=plan.ms2_da)
        else:
            found, error = self._empty
        self._row[raw.id] = len(self._ids)
        self._ids.append(raw.id)
        self._intensity.append(found.astype(np.float32))
        self._error.append(error.astype(np.float32))
        self._purity.append(self._purity_of(raw))
        self._from_ms3.append(False)
        keep = ~reporter_mask(mz, self.plex, tolerance_ppm=plan.removal_ppm, tolerance_da=plan.removal_da)
        return (mz, intensity) if keep.all() else (mz[keep], intensity[keep])

    def other(self, raw: RawSpectrum) -> None:
        if raw.ms_level == 1:
            self._ms1, self._ms1_peaks = raw, None
            self.ms1_scans += 1
        elif raw.ms_level == 3:
            refs = {p.ref for p in raw.precursors if p.ref}
            row = next((self._row[r] for r in refs if r in self._row), None)
            if row is None:
                self.ms3_unlinked += 1
                return
            try:
                mz, intensity = raw.peaks()
            except SpectraFileError:
                self.ms3_unreadable += 1
                return
            found, error = read_reporters(mz, intensity, self.plex, tolerance_ppm=self.plan.ms3_ppm,
                                          tolerance_da=self.plan.ms3_da)
            self._intensity[row] = found.astype(np.float32)
            self._error[row] = error.astype(np.float32)
            self._from_ms3[row] = True
            self.ms3_linked += 1

    def _purity_of(self, raw: RawSpectrum) -> float:
        if self._ms1 is None or not raw.precursors:
            return math.nan
        if self._ms1_peaks is None:
            try:
                self._ms1_peaks = self._ms1.peaks()
            except SpectraFileError:
                self.unreadable_ms1 += 1
                self._ms1, self._ms1_peaks = None, None
                return math.nan
        precursor = raw.precursors[0]
        return precursor_purity(*self._ms1_peaks, precursor.mz, precursor.charge, precursor.isolation)

    def table(self) -> pd.DataFrame:
        """One row per MS2 spectrum: `spec_id`, `reporter_<channel>` (observed, before any
        correction), `reporter_mz_error_<channel>` (ppm), `precursor_purity`. In an SPS-MS3
        run (one where MS3 spectra name their MS2 scans) the reporters are those of the MS3
        spectra, and an MS2 spectrum without its MS3 has none."""
        import pandas as pd  # noqa: PLC0415

        channels = self.plex.channels
        n = len(self._ids)
        intensity = np.vstack(self._intensity) if n else np.zeros((0, len(channels)), dtype=np.float32)
        error = np.vstack(self._error) if n else np.zeros((0, len(channels)), dtype=np.float32)
        if self.ms3_linked:
            alone = ~np.asarray(self._from_ms3, dtype=bool)
            intensity[alone] = 0.0
            error[alone] = np.nan
        frame = {"spec_id": np.asarray(self._ids, dtype=object)}
        for i, channel in enumerate(channels):
            frame[f"reporter_{channel}"] = intensity[:, i].astype(np.float64)
        for i, channel in enumerate(channels):
            frame[f"reporter_mz_error_{channel}"] = error[:, i]
        frame["precursor_purity"] = np.asarray(self._purity, dtype=np.float64)
        return pd.DataFrame(frame)

    def _median_errors(self) -> dict[str, float | None]:
        """Each channel's median reporter m/z error (ppm) over the spectra that hold it: a
        shift here shows an uncalibrated reporter region; None for a channel never seen."""
        errors = np.vstack(self._error) if self._error else np.zeros((0, len(self.plex.channels)))
        if self.ms3_linked:
            errors = errors[np.asarray(self._from_ms3, dtype=bool)]
        return {c: _median_of(errors[:, i]) for i, c in enumerate(self.plex.channels)}

    def summary(self) -> dict[str, Any]:
        """What reading found: the reporter spectra and their window, the counts, the notes."""
        plan = self.plan
        if self.ms3_linked:
            level, window, notes = "MS3", _window_text(plan.ms3_ppm, plan.ms3_da), []
        else:
            level, window = "MS2", _window_text(plan.ms2_ppm, plan.ms2_da)
            notes = [plan.ms2_note] if plan.ms2_note else []
        if self.ms3_unlinked:
            notes.append(f"{plan.file}: {self.ms3_unlinked:,} MS3 spectra name no MS2 scan that was searched; their "
                         "reporters were not used")
        if self.unreadable_ms1 or self.ms3_unreadable:
            notes.append(f"{plan.file}: {self.unreadable_ms1:,} MS1 scans (purity unknown after them) and "
                         f"{self.ms3_unreadable:,} MS3 spectra could not be decoded")
        return {"plex": plan.plex, "reporter_spectra": level, "window": window,
                "median_mz_error_ppm": self._median_errors(),
                "ms2_spectra": len(self._ids), "ms1_scans": self.ms1_scans,
                "ms3_linked": self.ms3_linked, "ms3_unlinked": self.ms3_unlinked,
                "ms1_unreadable": self.unreadable_ms1,
                "ms3_unreadable": self.ms3_unreadable, "notes": notes}


class ReporterRemover:
    """A reader hook that only removes the reporter peaks of each MS2 spectrum (for a
    sample of the spectra, such as the calibration's), reading nothing else."""

    other_levels = False

    def __init__(self, plan: ReporterPlan):
        self.plan = plan
        self.plex = PLEXES[plan.plex]

    def fragment(self, raw: RawSpectrum, mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        keep = ~reporter_mask(mz, self.plex, tolerance_ppm=self.plan.removal_ppm, tolerance_da=self.plan.removal_da)
        return (mz, intensity) if keep.all() else (mz[keep], intensity[keep])

    def other(self, raw: RawSpectrum) -> None:
        return None


def _median_of(values: np.ndarray) -> float | None:
    found = values[np.isfinite(values)]
    return round(float(np.median(found)), 3) if found.size else None


def reporter_columns(plex: Plex) -> list[str]:
    """The reporter columns of the match table, in order."""
    return ([f"reporter_{c}" for c in plex.channels] + [f"reporter_mz_error_{c}" for c in plex.channels]
            + ["precursor_purity", "interference"])


@dataclass
class IsobaricResult:
    """The outcome of isobaric quantification: the match table with its reporter columns,
    the protein-group quantities (`proteins`: `group`, `accessions`, `lead`, `psms_used`,
    `peptides_used`, `intensity_<channel>`), the counts and the notes."""

    psms: Any
    proteins: Any
    counts: dict[str, int] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    #: Tells the writers apart from a label-free result (which has per-run tables and figures).
    isobaric: bool = True


def quantify_reporters(psms: pd.DataFrame, tables: Mapping[str, pd.DataFrame], groups: pd.DataFrame,
                       peptide_group: Mapping[str, int], *, plex_name: str, fdr: float,
                       impurities: np.ndarray | None = None, min_purity: float = 0.5,
                       method: str = "median-polish") -> IsobaricResult:
    """Adds the reporter columns to `psms` (from each file's collector table in `tables`,
    by file name; rows of other files hold NaN) and rolls the counted spectra up to the
    protein groups (`groups`: the protein table; `peptide_group`: accepted peptide -> group).

    The reporter columns hold the corrected intensities when `impurities` is given, else
    the observed ones."""
    import pandas as pd  # noqa: PLC0415

    plex = PLEXES[plex_name]
    intensity_columns = [f"reporter_{c}" for c in plex.channels]
    notes: list[str] = []
    frames = []
    for name, table in tables.items():
        repeated = table["spec_id"].duplicated()
        if repeated.any():
            # Two spectra of one id cannot be told apart in the match table: the first counts.
            notes.append(f"{name}: {int(repeated.sum()):,} spectra repeat the id of an earlier one; their reporters "
                         "were not used")
            table = table[~repeated]
        table = table.copy()
        if impurities is not None and len(table):
            table[intensity_columns] = correct_impurities(table[intensity_columns].to_numpy(), impurities)
        table.insert(0, "file", name)
        frames.append(table)
    columns = reporter_columns(plex)
    if frames:
        reporters = pd.concat(frames, ignore_index=True)
        reporters["interference"] = 1.0 - reporters["precursor_purity"]
        merged = psms.merge(reporters, on=["file", "spec_id"], how="left", sort=False, validate="many_to_one")
        merged.index = psms.index
    else:
        merged = psms.copy()
        for column in columns:
            merged[column] = np.nan
    if impurities is None:
        notes.append("reporter intensities not corrected for isotope impurities: no --impurities file given")

    accepted = ((merged["label"] == 1) & (merged["rank"] == 1) & (merged["spectrum_q"] <= fdr)
                & merged["file"].isin(list(tables)))
    values = merged[intensity_columns].to_numpy(dtype=np.float64)
    signal = np.nan_to_num(values).sum(axis=1) > 0
    purity = merged["precursor_purity"].to_numpy(dtype=np.float64)
    impure = accepted.to_numpy() & (purity < min_purity)
    unknown = accepted.to_numpy() & np.isnan(purity)
    silent = accepted.to_numpy() & ~impure & ~signal
    group = merged["peptide"].map(peptide_group)
    ungrouped = accepted.to_numpy() & ~impure & signal & group.isna().to_numpy()
    counted = accepted.to_numpy() & ~impure & signal & ~ungrouped
    counts = {"accepted_spectra": int(accepted.sum()), "below_purity": int(impure.sum()),
              "purity_unknown": int(unknown.sum()), "without_reporters": int(silent.sum()),
              "without_group": int(ungrouped.sum()), "quantified_spectra": int(counted.sum())}
    if impure.any():
        notes.append(f"{int(impure.sum()):,} accepted spectra left out of quantification: precursor purity below "
                     f"{min_purity:g}")
    if unknown.any():
        notes.append(f"{int(unknown.sum()):,} accepted spectra of unknown precursor purity (no MS1 scan before them, "
                     "no charge or no isolation window) were quantified")
    if ungrouped.any():
        notes.append(f"{int(ungrouped.sum()):,} accepted spectra of peptides that count for no protein group (not "
                     "accepted as peptides) were left out of the protein roll-up")
    if silent.any():
        notes.append(f"{int(silent.sum()):,} accepted spectra without any reporter signal were left out")

    numbers, quantities, used = roll_up(group.to_numpy()[counted].astype(np.int64), values[counted], method=method)
    peptides_used = (merged.loc[counted].assign(_group=group[counted].astype(np.int64).to_numpy())
                     .groupby("_group")["peptide"].nunique())
    lookup = groups.set_index("group") if len(groups) else None
    out: dict[str, Any] = {"group": numbers.astype(np.int64)}
    for column in ("accessions", "lead"):
        out[column] = (lookup[column].reindex(numbers).fillna("").astype(str).to_numpy() if lookup is not None
                       and column in lookup.columns else np.full(numbers.size, "", dtype=object))
    out["psms_used"] = used.astype(np.int64)
    out["peptides_used"] = peptides_used.reindex(numbers).fillna(0).astype(np.int64).to_numpy()
    for i, channel in enumerate(plex.channels):
        out[f"intensity_{channel}"] = quantities[:, i]
    return IsobaricResult(merged, pd.DataFrame(out), counts, notes)
