"""Spectra from mzML and MGF files, ready to score.

`SpectraReader` (and its plain form `read_spectra`) streams a file in chunks of
`PyProcessedSpectrum` objects and counts what it read, kept and skipped; `make_spectrum`
builds one spectrum from arrays of your own. Both prepare the peaks the same way:

1. one proton mass (1.0072764) is subtracted from each m/z, in double precision, and the
   m/z and the intensity are rounded once to 32 bits;
2. peaks whose intensity is zero, negative or not finite, or whose m/z is not finite (also
   after the rounding), are dropped;
3. the `top_peaks` most intense remain; among equal intensities the lower m/z wins;
4. the peaks are sorted by m/z ascending into float32 arrays.

The precursor keeps its observed m/z (see `tovel_mesk.conventions` for why the two differ).

Files: mzML (indexed or plain; arrays zlib-compressed or uncompressed, 32- or 64-bit) and
MGF, either of them optionally gzip-compressed. Numpress and other compressions are refused.
"""

from __future__ import annotations

import dataclasses
import gzip
import io
import math
import os
import zlib
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Protocol

import numpy as np

import _tovel_mesk as tm

from .mgf import MgfReader
from .mzml import MzmlReader, peek_total
from ..errors import SpectraFileError
from .records import RawPrecursor, RawSpectrum
from ..conventions import PROTON_MASS

__all__ = ["SKIP_REASONS", "SpectraCounts", "SpectraFileError", "SpectraReader", "make_spectrum",
           "read_spectra"]

#: Why a spectrum read from a file is not scored, as the keys of `SpectraCounts.skipped`:
#: another MS level than asked for (or none stated); no precursor with a positive m/z; no
#: peak left after dropping zero and non-finite intensities.
SKIP_REASONS = ("other_ms_level", "no_precursor", "no_peaks")

_DESCRIPTIONS = {"other_ms_level": "of another MS level", "no_precursor": "without a precursor",
                 "no_peaks": "without peaks"}
_HEAD_BYTES = 1 << 17


class MassCorrection(Protocol):
    """A correction of a file's m/z values (see `tovel_mesk.search.calibration`): observed
    m/z in, corrected m/z out, given the spectrum's retention time in minutes."""

    def precursor_mz(self, mz: float, rt: float) -> float: ...

    def fragment_mz(self, mz: np.ndarray, rt: float) -> np.ndarray: ...


@dataclass
class SpectraCounts:
    """What one pass over a spectra file saw: `read` spectra in the file, `kept` (yielded),
    and `skipped` by reason (keys `SKIP_REASONS`). `read == kept + sum(skipped.values())`."""

    read: int = 0
    kept: int = 0
    skipped: dict[str, int] = field(default_factory=lambda: dict.fromkeys(SKIP_REASONS, 0))

    def __str__(self) -> str:
        skipped = ", ".join(f"{n} {_DESCRIPTIONS[reason]}" for reason, n in self.skipped.items() if n)
        return f"{self.read} spectra read, {self.kept} kept" + (f"; skipped: {skipped}" if skipped else "")


class SpectraReader:
    """Reads an mzML or MGF file in chunks of spectra ready to score.

    ``for chunk in SpectraReader(path): ...`` yields lists of at most `chunk_size`
    `_tovel_mesk.PyProcessedSpectrum` objects, in file order. Memory holds one chunk of
    prepared spectra and one spectrum's raw arrays, never the whole file.

    Arguments:
        path: the file; ``.gz`` files are decompressed on the fly.
        ms_level: the MS level to keep (MGF spectra count as level 2).
        top_peaks: how many of the most intense peaks to keep, or None for all.
        chunk_size: spectra per chunk.
        file_id: the `file_id` given to every spectrum, to tell files apart in results.
        format: "mzml" or "mgf"; by default from the file name, else from the content.
        calibration: a correction of the observed m/z values (`MassCorrection`), applied
            to the precursors and the peaks before they are prepared; None for none.

    After or during a pass, `counts` (`SpectraCounts`) tells how many spectra were read,
    kept and skipped by reason; each pass starts new counts. `total` is the number of
    spectra (of every MS level) that an mzML file states, for a progress bar; None for MGF,
    which states none.

    Spectra keep the file's native id (mzML) or TITLE (MGF; ``index=N`` without one) as `id`,
    the scan start time in minutes as `scan_start_time` (NaN when the file gives none), and
    the file's total ion current, or the sum of the kept-finite intensities when the file
    gives none. mzML precursors: the selected ion's m/z, charge (a single possible charge
    counts; several leave it None), intensity, and the isolation window from its target and
    offsets. MGF precursors: PEPMASS (m/z and optional intensity), CHARGE (``2+``; several,
    as in ``2+ and 3+``, leave it None), RTINSECONDS. A missing PEPMASS is an error.

    Raises `SpectraFileError` (a ValueError naming the file and the spectrum) for a
    malformed, truncated or unsupported file, and OSError when the file cannot be opened.
    A reader is not safe to iterate from several threads at once.
    """

    def __init__(self, path: str | os.PathLike, *, ms_level: int = 2, top_peaks: int | None = 150,
                 chunk_size: int = 1000, file_id: int = 0, format: str | None = None,
                 calibration: MassCorrection | None = None):
        self.path = os.fspath(path)
        self.calibration = calibration
        self.ms_level = _whole(ms_level, "ms_level", 1, 255)
        self.top_peaks = None if top_peaks is None else _whole(top_peaks, "top_peaks", 1)
        self.chunk_size = _whole(chunk_size, "chunk_size", 1)
        self.file_id = _whole(file_id, "file_id", 0)
        try:
            with _open(self.path) as stream:
                head = stream.read(_HEAD_BYTES)
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise _damaged(self.path, error) from error
        self.format = _format(self.path, format, head)
        self.total: int | None = peek_total(head) if self.format == "mzml" else None
        self.counts = SpectraCounts()

    def __iter__(self) -> Iterator[list[tm.PyProcessedSpectrum]]:
        counts = self.counts = SpectraCounts()
        chunk: list[tm.PyProcessedSpectrum] = []
        try:
            with _open(self.path) as stream:
                records: MzmlReader | MgfReader
                if self.format == "mzml":
                    records = MzmlReader(self.path, stream, self.ms_level)
                else:
                    records = MgfReader(self.path, io.TextIOWrapper(stream, "utf-8", errors="replace"))
                for raw in records:
                    counts.read += 1
                    spectrum = self._prepare(raw)
                    if isinstance(spectrum, str):
                        counts.skipped[spectrum] += 1
                        continue
                    counts.kept += 1
                    chunk.append(spectrum)
                    if len(chunk) == self.chunk_size:
                        yield chunk
                        chunk = []
                if records.total is not None:
                    self.total = records.total
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise _damaged(self.path, error) from error
        if chunk:
            yield chunk

    def _prepare(self, raw: RawSpectrum) -> tm.PyProcessedSpectrum | str:
        """The spectrum ready to score, or the reason it is skipped."""
        if raw.ms_level != self.ms_level:
            return "other_ms_level"
        if not raw.precursors:
            return "no_precursor"
        mz, intensity = raw.peaks()
        precursors = raw.precursors
        if self.calibration is not None:
            mz = self.calibration.fragment_mz(mz, raw.rt)
            precursors = [dataclasses.replace(p, mz=self.calibration.precursor_mz(p.mz, raw.rt)) for p in precursors]
        mz, intensity, summed = _prepare_peaks(mz, intensity, self.top_peaks)
        if not mz.size:
            return "no_peaks"
        return tm.PyProcessedSpectrum(
            raw.id, self.file_id, raw.rt, mz, intensity, [_precursor(p) for p in precursors],
            summed if raw.tic is None else raw.tic)


def read_spectra(path: str | os.PathLike, *, ms_level: int = 2, top_peaks: int | None = 150,
                 chunk_size: int = 1000, file_id: int = 0,
                 format: str | None = None) -> Iterator[list[tm.PyProcessedSpectrum]]:
    """Yields the spectra of an mzML or MGF file in chunks (lists of `PyProcessedSpectrum`).

    The same as iterating over `SpectraReader` with the same arguments (see there for
    what is read and how peaks are prepared); use the reader itself to see the counts of
    spectra read, kept and skipped.
    """
    yield from SpectraReader(path, ms_level=ms_level, top_peaks=top_peaks, chunk_size=chunk_size,
                             file_id=file_id, format=format)


def make_spectrum(mz: Sequence[float] | np.ndarray, intensity: Sequence[float] | np.ndarray,
                  precursor_mz: float, charge: int | None = None, *,
                  precursor_intensity: float | None = None,
                  isolation_window: Sequence[float] | tm.PyTolerance | None = None,
                  id: str = "", file_id: int = 0, rt: float = math.nan,
                  total_ion_current: float | None = None,
                  top_peaks: int | None = 150) -> tm.PyProcessedSpectrum:
    """Builds a spectrum ready to score from arrays of your own.

    `mz` holds the peaks' m/z as observed (with the proton) and `intensity` their
    intensities, in any order. The peaks are prepared as the file readers prepare them
    (module documentation): non-positive and non-finite intensities dropped, the
    `top_peaks` most intense kept (None keeps all), one proton mass subtracted from each m/z,
    sorted ascending into float32.

    `precursor_mz` is the observed precursor m/z (no proton subtracted); `charge` its charge,
    or None to let the scorer try its charge range. `isolation_window` is the isolated m/z
    range ``(lower, upper)``, or a ready `PyTolerance` of offsets from `precursor_mz`, or
    None. `rt` is the retention time in minutes. `total_ion_current` defaults to the sum of
    the kept-finite intensities before the top-N cut.

    Raises ValueError when `mz` and `intensity` are not one-dimensional arrays of one length.
    """
    mz = np.asarray(mz, dtype=np.float64)
    intensity = np.asarray(intensity, dtype=np.float64)
    if mz.ndim != 1 or intensity.shape != mz.shape:
        raise ValueError(f"mz and intensity must be one-dimensional and of one length, not of "
                         f"shapes {mz.shape} and {intensity.shape}")
    top_peaks = None if top_peaks is None else _whole(top_peaks, "top_peaks", 1)
    mz, intensity, summed = _prepare_peaks(mz, intensity, top_peaks)
    if isolation_window is not None and not isinstance(isolation_window, tm.PyTolerance):
        isolation_window = _window(precursor_mz, isolation_window)
    precursor = tm.PyPrecursor(precursor_mz, charge, precursor_intensity, isolation_window)
    return tm.PyProcessedSpectrum(id, file_id, rt, mz, intensity, [precursor],
                                  summed if total_ion_current is None else total_ion_current)


def _prepare_peaks(mz: np.ndarray, intensity: np.ndarray,
                   top_peaks: int | None) -> tuple[np.ndarray, np.ndarray, float]:
    """Peaks as the core takes them (module documentation), and the summed intensity of
    the peaks kept before the top-N cut."""
    with np.errstate(over="ignore", invalid="ignore"):  # too large for 32 bits: infinite, dropped below
        intensity = np.asarray(intensity).astype(np.float32)
        mz = (np.asarray(mz, dtype=np.float64) - PROTON_MASS).astype(np.float32)
    keep = np.isfinite(intensity) & (intensity > 0) & np.isfinite(mz)
    if not keep.all():
        mz, intensity = mz[keep], intensity[keep]
    summed = float(intensity.sum(dtype=np.float64))
    if top_peaks is not None and intensity.size > top_peaks:
        strongest = np.lexsort((mz, -intensity))[:top_peaks]
        mz, intensity = mz[strongest], intensity[strongest]
    order = np.argsort(mz, kind="stable")
    return mz[order], intensity[order], summed


def _window(mz: float, isolated: Sequence[float]) -> tm.PyTolerance:
    """The isolation window as the core applies it: offsets from the precursor m/z, which
    the core scales by each charge it tries, so the window covers the isolated m/z range."""
    lower, upper = isolated
    return tm.PyTolerance.Da(float(lower) - mz, float(upper) - mz)


def _precursor(raw: RawPrecursor) -> tm.PyPrecursor:
    window = None if raw.isolation is None else _window(raw.mz, raw.isolation)
    return tm.PyPrecursor(raw.mz, raw.charge, raw.intensity, window)


def _whole(value: int, name: str, low: int, high: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low or (high is not None and value > high):
        bound = f"between {low} and {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{name} must be {bound}, not {value}")
    return value


def _open(path: str):
    """The file as a binary stream, decompressed when it is gzip-compressed."""
    with open(path, "rb") as probe:
        compressed = probe.read(2) == b"\x1f\x8b"
    return gzip.open(path, "rb") if compressed else open(path, "rb")


def _damaged(path: str, error: Exception) -> SpectraFileError:
    return SpectraFileError(path, None, f"the gzip compression is damaged ({error})")


def _format(path: str, given: str | None, head: bytes) -> str:
    if given is not None:
        if not isinstance(given, str) or given.lower() not in ("mzml", "mgf"):
            raise ValueError(f"format must be 'mzml', 'mgf' or None, not {given!r}")
        return given.lower()
    name = path.lower().removesuffix(".gz")
    if name.endswith(".mzml"):
        return "mzml"
    if name.endswith(".mgf"):
        return "mgf"
    return "mzml" if head.lstrip().startswith(b"<") else "mgf"
