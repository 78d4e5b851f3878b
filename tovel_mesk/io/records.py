"""What a format reader hands to `tovel_mesk.io.spectra`: one spectrum as the file states it,
with its peak arrays decoded only when asked for, and the package's error for bad files."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True, slots=True)
class RawPrecursor:
    """A precursor as the file gives it: observed m/z, charge (None when unknown or
    ambiguous), intensity, the isolated m/z range (lower, upper) when the file gives one,
    and `ref`, the native id of the spectrum it was selected from when the file names one
    (mzML's ``spectrumRef``: an MS1 scan, or the MS2 scan of an MS3 spectrum)."""

    mz: float
    charge: int | None = None
    intensity: float | None = None
    isolation: tuple[float, float] | None = None
    ref: str | None = None


@dataclass(slots=True)
class RawSpectrum:
    """One spectrum as read: native id, MS level (None when the file does not say), scan
    start time in minutes (NaN when absent), total ion current (None when absent), the
    precursors, `peaks`, a function that decodes the (m/z, intensity) arrays, and `scan`,
    the scan number when the format states it apart from the id (MGF ``SCANS``); None: read
    it from the id (`tovel_mesk.conventions.scan_number`)."""

    id: str
    ms_level: int | None
    rt: float
    tic: float | None
    precursors: list[RawPrecursor]
    peaks: Callable[[], tuple[np.ndarray, np.ndarray]]
    scan: int | None = None


def charge_of(value: float, fail: Callable[[str], Exception]) -> int | None:
    """A precursor charge from a number in the file: 0 means unknown (None). Fractional and
    negative values (negative-mode spectra are not searched) are refused through `fail`.
    A charge above what the search takes is returned as it is; the spectrum is then skipped."""
    if not math.isfinite(value) or value != int(value):
        raise fail(f"precursor charge {value} is not a whole number")
    if value < 0:
        raise fail(f"precursor charge {int(value)}: negative-mode spectra are not supported")
    return int(value) or None


# The smallest magnitude that rounds to infinity in 32 bits: the largest float32 plus half
# of its last step (round-half-to-even goes up there, its significand being odd).
_FLOAT32_OVERFLOW = 2.0 ** 128 - 2.0 ** 103


def as_float32(value: float) -> float:
    """`value` as the core holds it: rounded to the nearest 32-bit float (infinite beyond
    that range, zero below its smallest step), in double precision."""
    if abs(value) >= _FLOAT32_OVERFLOW:  # NaN compares false and stays NaN
        return math.copysign(math.inf, value)
    return float(np.float32(value))
