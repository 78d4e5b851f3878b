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
Values are checked as the core holds them, in 32 bits: a precursor m/z of 1e308 is finite
in the file but infinite in 32 bits, and is no usable precursor.

Files: mzML (indexed or plain; arrays zlib-compressed or uncompressed, 32- or 64-bit) and
MGF, either of them optionally gzip-compressed. Numpress and other compressions are refused.
"""

from __future__ import annotations

import array
import dataclasses
import gzip
import io
import math
import os
import zlib
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager, nullcontext
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Protocol

import numpy as np

import _tovel_mesk as tm

from .. import _native
from .mgf import MgfReader
from .mzml import Ms1Sink, MzmlReader, peek_total
from ..errors import SpectraFileError, quoted
from .records import RawPrecursor, RawSpectrum, as_float32
from ..conventions import NO_SCAN, PROTON_MASS, scan_number

__all__ = ["MAX_PRECURSOR_CHARGE", "SKIP_REASONS", "HOLD_BYTES", "HeldSpectra", "SpectraCounts",
           "SpectraFileError", "SpectraReader", "make_spectrum", "read_spectra", "open_spectra", "spectra_records"]

#: Why a spectrum read from a file is not scored, as the keys of `SpectraCounts.skipped`:
#: another MS level than asked for (or none stated); no precursor stated; no precursor whose
#: m/z is positive and finite in 32 bits; no precursor whose charge the search takes (at
#: most the reader's `max_charge`); no peak left after dropping zero and non-finite
#: intensities.
SKIP_REASONS = ("other_ms_level", "no_precursor", "precursor_mz", "precursor_charge", "no_peaks")

#: Highest precursor charge a reader hands on by default. Peptides seldom carry more than
#: ten charges; a charge far above that is a damaged value, and searching it would only
#: look for masses that no peptide has.
MAX_PRECURSOR_CHARGE = 100

_DESCRIPTIONS = {"other_ms_level": "of another MS level", "no_precursor": "without a precursor",
                 "precursor_mz": "with a precursor m/z that is not positive and finite",
                 "precursor_charge": "with a precursor charge above the highest searched",
                 "no_peaks": "without peaks"}
_HEAD_BYTES = 1 << 17
_MAX_SCAN = (1 << 63) - 1

#: The most bytes of decoded peak arrays that a reader holds in memory when asked to keep a
#: pass for a later one (`SpectraReader(hold=True)`); a file with more is read again.
HOLD_BYTES = 512 << 20
# Bytes counted per held spectrum beside its arrays (its record, id and precursors).
_RECORD_BYTES = 400


class ReporterHook(Protocol):
    """Reads the reporter ions of a run in the reader's pass (see
    `tovel_mesk.quant.isobaric.ReporterCollector`): `fragment` gets each spectrum of the
    searched level before its peaks are calibrated and cut (observed m/z and intensity) and
    returns the peaks to keep; `other` gets every spectrum of another level (MS1 scans, MS3
    spectra) with its precursors and peaks, unless the hook's `other_levels` is False."""

    def fragment(self, raw: RawSpectrum, mz: np.ndarray,
                 intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]: ...

    def other(self, raw: RawSpectrum) -> None: ...


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


class HeldSpectra:
    """The spectra of one pass over a file, held in memory with their peaks decoded, so that a
    later pass (`SpectraReader(path, held=...)`) prepares them again without reading or
    decoding the file: the same records in the same order, hence the same spectra, counts
    and errors. `nbytes` counts what they take (the peak arrays and a fixed share per
    record)."""

    def __init__(self, path: str, format: str):
        self.path = path
        self.format = format
        self.total: int | None = None
        self.records: list[RawSpectrum] = []
        self.nbytes = 0
        #: The MS1 scans met in the holding pass (a `tovel_mesk.quant.ms1.Ms1Run`) and those
        #: left out of it, when that pass kept them (see `SpectraReader`'s `ms1`); a pass over
        #: held spectra hands no MS1 scan on.
        self.ms1: Any = None
        self.ms1_left_out: list[str] = []
        #: Why the holding pass read some of the file by the reference path (`SpectraReader.fallback`).
        self.fallback: str | None = None

    def add(self, raw: RawSpectrum, ms_level: int) -> RawSpectrum:
        """Holds `raw` with its peaks decoded now (for a spectrum of `ms_level` with a
        precursor; a decoding error is kept, to be raised where the peaks are asked for)
        and returns the held record."""
        if raw.ms_level == ms_level and raw.precursors:
            try:
                mz, intensity = raw.peaks()
            except (ValueError, TypeError, OverflowError) as error:
                raw.peaks = _Raises(error)
            else:
                raw.peaks = _Decoded(mz, intensity)
                self.nbytes += mz.nbytes + intensity.nbytes
        else:
            raw.peaks = _no_peaks
        self.nbytes += _RECORD_BYTES
        self.records.append(raw)
        return raw


class _Decoded:
    """Peaks decoded once, handed out as they are."""

    __slots__ = ("arrays",)

    def __init__(self, mz: np.ndarray, intensity: np.ndarray):
        self.arrays = (mz, intensity)

    def __call__(self) -> tuple[np.ndarray, np.ndarray]:
        return self.arrays


class _Raises:
    """Peaks that could not be decoded: the error, raised each time they are asked for."""

    __slots__ = ("error",)

    def __init__(self, error: Exception):
        self.error = error

    def __call__(self) -> tuple[np.ndarray, np.ndarray]:
        raise self.error


def _no_peaks() -> tuple[np.ndarray, np.ndarray]:
    return np.empty(0), np.empty(0)


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
        max_charge: the highest precursor charge searched (1 to 255); a precursor stating
            a higher charge is not searched (see `SKIP_REASONS`).
        calibration: a correction of the observed m/z values (`MassCorrection`), applied
            to the precursors and the peaks before they are prepared; None for none.
        hold: keep each pass's records in memory, peaks decoded, as `held`
            (`HeldSpectra`), for a later pass over the same spectra; a file whose peaks take
            more than `hold_bytes` (default `HOLD_BYTES`) is not held (`held` None,
            `hold_refused` True).
        held: the spectra of an earlier pass (another reader's `held`): read from memory,
            not from the file, and prepared with this reader's settings.
        reporters: a `ReporterHook` that sees every spectrum of the pass: those of
            `ms_level` before their peaks are prepared (it may remove peaks, such as
            isobaric reporter ions, before they are cut for scoring) and, read in full,
            those of other levels; None for none.
        ms1: where the MS1 scans go (`tovel_mesk.io.mzml.Ms1Sink`, e.g. an
            `Ms1Builder`'s `add`), in the same pass that reads the spectra scored (from the file:
            a pass over held spectra hands none on): each scan decoded as it is met, with its observed (uncalibrated) m/z. MGF files hold
            no MS1 scans; nothing is handed on for them.

    During and after a pass, `scan_numbers` (an `array.array` of int64, emptied in place as
    each pass starts) holds the scan number of every spectrum kept so far, in the order yielded: from
    an MGF's ``SCANS``, else from the native id or ``TITLE``
    (`tovel_mesk.conventions.scan_number`), -1 where none is stated (or one beyond 64 bits).

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
    as in ``2+ and 3+``, leave it None), RTINSECONDS. A missing PEPMASS is an error. MGF text
    is UTF-8 (a byte-order mark is skipped), with LF, CRLF or CR line ends.

    Raises `SpectraFileError` (a ValueError naming the file and the spectrum) for a
    malformed, truncated or unsupported file, an MGF file without any spectrum, and a file
    that changes (in size or modification time) while a pass reads it; OSError when the
    file cannot be opened. A reader is not safe to iterate from several threads at once.
    """

    def __init__(self, path: str | os.PathLike, *, ms_level: int = 2, top_peaks: int | None = 150,
                 chunk_size: int = 1000, file_id: int = 0, format: str | None = None,
                 max_charge: int = MAX_PRECURSOR_CHARGE, calibration: MassCorrection | None = None,
                 hold: bool = False, hold_bytes: int | None = None, held: HeldSpectra | None = None,
                 reporters: ReporterHook | None = None, ms1: Ms1Sink | None = None):
        self.path = os.fspath(path)
        self.calibration = calibration
        self.hold = bool(hold)
        self.hold_bytes = HOLD_BYTES if hold_bytes is None else _whole(hold_bytes, "hold_bytes", 0)
        self.held: HeldSpectra | None = None
        self.hold_refused = False
        self._source = held
        self.reporters = reporters
        self.ms1 = ms1
        #: MS1 scans of the last pass that were left out of `ms1` (id and reason; see
        #: `MzmlReader`): without a start time, or with arrays that cannot be decoded.
        self.ms1_left_out: list[str] = []
        self.ms_level = _whole(ms_level, "ms_level", 1, 255)
        self.top_peaks = None if top_peaks is None else _whole(top_peaks, "top_peaks", 1)
        self.chunk_size = _whole(chunk_size, "chunk_size", 1)
        self.file_id = _whole(file_id, "file_id", 0)
        self.max_charge = _whole(max_charge, "max_charge", 1, 255)
        self.counts = SpectraCounts()
        self.scan_numbers = array.array("q")
        #: Why the last pass over an mzML file (or the pass that held its spectra) left some
        #: or all of it to the reference path instead of the native scanner; None when it did not.
        self.fallback: str | None = None if held is None else held.fallback
        self.total: int | None
        if held is not None:
            if held.path != self.path:
                raise ValueError(f"held spectra of {held.path} given for {self.path}")
            self.format, self.total = held.format, held.total
            return
        try:
            with open_spectra(self.path) as opened:
                head = opened.stream.read(_HEAD_BYTES)
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise _damaged(self.path, error) from error
        self.format = _format(self.path, format, head)
        self.total = peek_total(head) if self.format == "mzml" else None

    def __iter__(self) -> Iterator[list[tm.PyProcessedSpectrum]]:
        counts = self.counts = SpectraCounts()
        scans = self.scan_numbers
        del scans[:]
        chunk: list[tm.PyProcessedSpectrum] = []
        last: str | None = None
        holding = HeldSpectra(self.path, self.format) if self.hold and self._source is None else None
        self.held, self.hold_refused = None, False
        try:
            with self._records() as (records, unchanged):
                for raw in records:
                    counts.read += 1
                    last = raw.id
                    if holding is not None:
                        raw = holding.add(raw, self.ms_level)
                        if holding.nbytes > self.hold_bytes:
                            holding, self.hold_refused = None, True
                    spectrum = self._prepare(raw)
                    if isinstance(spectrum, str):
                        counts.skipped[spectrum] += 1
                        continue
                    counts.kept += 1
                    number = scan_number(raw.id) if raw.scan is None else raw.scan
                    # A number beyond 64 bits is no scan number the tables can hold: none stated.
                    scans.append(number if number <= _MAX_SCAN else NO_SCAN)
                    chunk.append(spectrum)
                    if len(chunk) == self.chunk_size:
                        unchanged()
                        yield chunk
                        chunk = []
                if records.total is not None:
                    self.total = records.total
                self.fallback = getattr(records, "fallback", None)
                unchanged()
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise _damaged(self.path, error) from error
        except SpectraFileError:
            raise
        except ValueError as error:  # from a reader's own parsing: named all the same
            where = "" if last is None else f" (after spectrum {quoted(last)})"
            raise SpectraFileError(self.path, None, f"{error}{where}") from error
        if holding is not None:
            holding.total = self.total
            holding.fallback = self.fallback
            self.held = holding
        if chunk:
            yield chunk

    @contextmanager
    def _records(self) -> Iterator[tuple[_Records, Callable[[], None]]]:
        """The raw records of one pass, from the held spectra or from the file, and the
        check that the file did not change meanwhile."""
        if self._source is not None:
            yield _Replay(self._source), lambda: None
            return
        with open_spectra(self.path) as stream:
            file = stream.file
            opened = _stamp(file)
            # Every level is read in full when a reporter hook wants the others too.
            others = self.reporters is not None and getattr(self.reporters, "other_levels", True)
            records = spectra_records(self.path, stream, self.format, None if others else self.ms_level, self.ms1)
            self.ms1_left_out = getattr(records, "ms1_left_out", [])
            yield records, lambda: self._unchanged(file, opened)

    def _unchanged(self, file: BinaryIO, opened: tuple[int, int]) -> None:
        """Fails the pass when the file's size or modification time differs from when it was
        opened: what was read may mix two versions of the file."""
        now = _stamp(file)
        if now != opened:
            raise SpectraFileError(
                self.path, None, f"the file changed while it was read (size {opened[0]:,} -> {now[0]:,} bytes, "
                                 "modification time " + ("changed" if now[1] != opened[1] else "unchanged")
                                 + "); read it again once it is complete")

    def _prepare(self, raw: RawSpectrum) -> tm.PyProcessedSpectrum | str:
        """The spectrum ready to score, or the reason it is skipped."""
        if raw.ms_level != self.ms_level:
            if self.reporters is not None:
                self.reporters.other(raw)
            return "other_ms_level"
        if not raw.precursors:
            return "no_precursor"
        try:
            precursors: list[tm.PyPrecursor] = []
            reason = ""
            for raw_precursor in raw.precursors:
                if self.calibration is not None:
                    raw_precursor = dataclasses.replace(
                        raw_precursor, mz=self.calibration.precursor_mz(raw_precursor.mz, raw.rt))
                problem = self._unsearchable(raw_precursor)
                if problem:
                    reason = reason or problem
                else:
                    precursors.append(_precursor(raw_precursor))
            if not precursors:
                return reason
            mz, intensity = raw.peaks()
            if self.reporters is not None:
                mz, intensity = self.reporters.fragment(raw, mz, intensity)
            if self.calibration is not None:
                mz = self.calibration.fragment_mz(mz, raw.rt)
            if raw.tic is None:  # the summed intensity stands in for it: the reference sums
                mz, intensity, tic = _prepare_peaks(mz, intensity, self.top_peaks)
            else:
                mz, intensity = _prepare_peaks_natively(mz, intensity, self.top_peaks)
                tic = _narrowed(raw.tic, "total ion current")
            if not mz.size:
                return "no_peaks"
            return tm.PyProcessedSpectrum(raw.id, self.file_id, _narrowed(raw.rt, "scan start time"), mz,
                                          intensity, precursors, tic)
        except SpectraFileError:
            raise
        except (ValueError, TypeError, OverflowError) as error:
            raise SpectraFileError(self.path, raw.id, str(error)) from error

    def _unsearchable(self, precursor: RawPrecursor) -> str:
        """Why a precursor cannot be searched (a key of `SKIP_REASONS`), or "" when it can."""
        if not 0.0 < as_float32(precursor.mz) < math.inf:
            return "precursor_mz"
        if precursor.charge is not None and precursor.charge > self.max_charge:
            return "precursor_charge"
        return ""


def read_spectra(path: str | os.PathLike, *, ms_level: int = 2, top_peaks: int | None = 150,
                 chunk_size: int = 1000, file_id: int = 0, format: str | None = None,
                 max_charge: int = MAX_PRECURSOR_CHARGE) -> Iterator[list[tm.PyProcessedSpectrum]]:
    """Yields the spectra of an mzML or MGF file in chunks (lists of `PyProcessedSpectrum`).

    The same as iterating over `SpectraReader` with the same arguments (see there for
    what is read and how peaks are prepared); use the reader itself to see the counts of
    spectra read, kept and skipped.
    """
    yield from SpectraReader(path, ms_level=ms_level, top_peaks=top_peaks, chunk_size=chunk_size,
                             file_id=file_id, format=format, max_charge=max_charge)


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

    Raises ValueError when `mz` and `intensity` are not one-dimensional arrays of one length,
    when `precursor_mz` is not positive and finite as a 32-bit float (the core's type), and
    when a finite `precursor_intensity`, `rt`, `total_ion_current` or isolation window
    overflows 32 bits.
    """
    mz = np.asarray(mz, dtype=np.float64)
    intensity = np.asarray(intensity, dtype=np.float64)
    if mz.ndim != 1 or intensity.shape != mz.shape:
        raise ValueError(f"mz and intensity must be one-dimensional and of one length, not of "
                         f"shapes {mz.shape} and {intensity.shape}")
    top_peaks = None if top_peaks is None else _whole(top_peaks, "top_peaks", 1)
    if isinstance(precursor_mz, (int, float, np.floating, np.integer)) and not isinstance(precursor_mz, bool):
        if not 0.0 < as_float32(float(precursor_mz)) < math.inf:
            raise ValueError(f"precursor_mz must be positive and finite as a 32-bit float, not {precursor_mz!r}")
    if isinstance(precursor_intensity, (float, np.floating)):
        precursor_intensity = _narrowed(float(precursor_intensity), "precursor_intensity")
    if isinstance(rt, (float, np.floating)):
        rt = _narrowed(float(rt), "rt")
    if isinstance(total_ion_current, (float, np.floating)):
        total_ion_current = _narrowed(float(total_ion_current), "total_ion_current")
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
        # Only peaks at least as intense as the top_peaks-th are ordered: the same peaks in
        # the same order as ordering all of them, without sorting a million-peak profile.
        cut = intensity.size - top_peaks
        candidates = np.flatnonzero(intensity >= np.partition(intensity, cut)[cut])
        strongest = candidates[np.lexsort((mz[candidates], -intensity[candidates]))[:top_peaks]]
        mz, intensity = mz[strongest], intensity[strongest]
    order = np.argsort(mz, kind="stable")
    return mz[order], intensity[order], summed


def _prepare_peaks_natively(mz: np.ndarray, intensity: np.ndarray,
                            top_peaks: int | None) -> tuple[np.ndarray, np.ndarray]:
    """The peaks of `_prepare_peaks`, to the bit, prepared without the interpreter lock
    (arrays of another kind than 32/64-bit floats and integers take the reference)."""
    prepared = _native.prepare_peaks(mz, intensity, top_peaks or 0, PROTON_MASS)
    if prepared is None:
        mz, intensity, _ = _prepare_peaks(mz, intensity, top_peaks)
        return mz, intensity
    return np.frombuffer(prepared[0], np.float32), np.frombuffer(prepared[1], np.float32)


def _window(mz: float, isolated: Sequence[float]) -> tm.PyTolerance:
    """The isolation window as the core applies it: offsets from the precursor m/z, which
    the core scales by each charge it tries, so the window covers the isolated m/z range."""
    lower, upper = isolated
    return tm.PyTolerance.Da(_narrowed(float(lower) - mz, "isolation window lower offset"),
                             _narrowed(float(upper) - mz, "isolation window upper offset"))


def _narrowed(value: float, what: str) -> float:
    """`value` unchanged, after checking that a finite one stays finite in 32 bits."""
    if math.isfinite(value) and math.isinf(as_float32(value)):
        raise ValueError(f"{what} {value!r} lies beyond the range of 32-bit floats")
    return value


def _precursor(raw: RawPrecursor) -> tm.PyPrecursor:
    window = None if raw.isolation is None else _window(raw.mz, raw.isolation)
    intensity = None if raw.intensity is None else _narrowed(raw.intensity, "precursor intensity")
    return tm.PyPrecursor(raw.mz, raw.charge, intensity, window)


def _whole(value: int, name: str, low: int, high: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low or (high is not None and value > high):
        bound = f"between {low} and {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{name} must be {bound}, not {value}")
    return value


class _Records(Protocol):
    @property
    def total(self) -> int | None: ...

    def __iter__(self) -> Iterator[RawSpectrum]: ...


class _Replay:
    """The records of held spectra, as a format reader hands them out."""

    def __init__(self, held: HeldSpectra):
        self.total = held.total
        self.fallback = held.fallback
        self._records = held.records

    def __iter__(self) -> Iterator[RawSpectrum]:
        return iter(self._records)


class SpectraStream:
    """An opened spectra file (`open_spectra`): `stream` reads its content, decompressed when
    the file is gzip-compressed; `file` is the file itself."""

    def __init__(self, file: BinaryIO, stream: BinaryIO):
        self.file = file
        self.stream = stream


@contextmanager
def open_spectra(path: str | os.PathLike) -> Iterator[SpectraStream]:
    """Opens a spectra file for reading, plain or gzip-compressed (told by its first bytes,
    whatever its name). Raises OSError when it cannot be opened; a damaged compression shows
    as EOFError, zlib.error or gzip.BadGzipFile while reading."""
    with open(path, "rb") as file, _decompressed(file) as stream:
        yield SpectraStream(file, stream)


def spectra_records(path: str, opened: SpectraStream, format: str, ms_level: int | None = None,
                    ms1: Ms1Sink | None = None) -> _Records:
    """The format reader of an opened file (`open_spectra`): mzML (spectra of another level
    than `ms_level`, when given, come without peaks; MS1 scans go to `ms1` when given) or
    MGF (UTF-8)."""
    if format == "mzml":
        return MzmlReader(path, opened.stream, ms_level, ms1)
    return MgfReader(path, io.TextIOWrapper(opened.stream, "utf-8-sig", errors="replace"))


def spectra_format(path: str | os.PathLike, opened: SpectraStream) -> str:
    """The format of an opened file, from its name, else from its first bytes (left unread)."""
    peek = getattr(opened.stream, "peek", None)
    head = peek(_HEAD_BYTES)[:_HEAD_BYTES] if peek is not None else b""
    return _format(os.fspath(path), None, head)


def _decompressed(file: BinaryIO) -> AbstractContextManager[BinaryIO]:
    """The open file as a binary stream, decompressed when it is gzip-compressed; leaving
    its context leaves `file` open."""
    compressed = file.read(2) == b"\x1f\x8b"
    file.seek(0)
    if compressed:
        return gzip.GzipFile(fileobj=file, mode="rb")  # type: ignore[return-value]
    return nullcontext(file)


def _stamp(file: BinaryIO) -> tuple[int, int]:
    """Size and modification time (ns) of an open file."""
    status = os.fstat(file.fileno())
    return status.st_size, status.st_mtime_ns


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
    return "mzml" if head.removeprefix(b"\xef\xbb\xbf").lstrip().startswith(b"<") else "mgf"
