"""What a format reader hands to `tovel_mesk.io.spectra`: one spectrum as the file states it,
with its peak arrays decoded only when asked for, and the package's error for bad files."""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np



@dataclass(frozen=True, slots=True)
class RawPrecursor:
    """A precursor as the file gives it: observed m/z, charge (None when unknown or
    ambiguous), intensity, and the isolated m/z range (lower, upper) when the file gives one."""

    mz: float
    charge: int | None = None
    intensity: float | None = None
    isolation: tuple[float, float] | None = None


@dataclass(slots=True)
class RawSpectrum:
    """One spectrum as read: native id, MS level (None when the file does not say), scan
    start time in minutes (NaN when absent), total ion current (None when absent), the
    precursors, and `peaks`, a function that decodes the (m/z, intensity) arrays."""

    id: str
    ms_level: int | None
    rt: float
    tic: float | None
    precursors: list[RawPrecursor]
    peaks: Callable[[], tuple[np.ndarray, np.ndarray]]


def charge_of(value: float, fail: Callable[[str], Exception]) -> int | None:
    """A precursor charge from a number in the file: 0 means unknown (None). Fractional,
    negative (negative-mode spectra are not searched) and out-of-range values are refused
    through `fail`."""
    if not math.isfinite(value) or value != int(value):
        raise fail(f"precursor charge {value} is not a whole number")
    if value < 0:
        raise fail(f"precursor charge {int(value)}: negative-mode spectra are not supported")
    if value > 255:
        raise fail(f"precursor charge {int(value)} is above 255")
    return int(value) or None
