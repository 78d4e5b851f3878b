"""The conventions of the search core, stated once, and the checks that keep inputs to them.

The core `_tovel_mesk` trusts its caller: inputs that break one of these rules give a wrong
or empty result, never an error. The package's functions produce inputs that follow them
(`read_spectra`, `make_spectrum`, the digestion) and the checks here refuse inputs that don't.

Peptide order
    `PyIndexedDatabase.from_peptides_and_config` needs its peptides in ascending order of
    `monoisotopic` mass. Shuffled or descending peptides silently lose candidates. The
    package's digestion returns them in that order and `build_database` checks it.

Mass range of the index
    The `peptide_min_mass` and `peptide_max_mass` arguments of the index filter nothing:
    every peptide given is indexed. The digestion applies the mass range.

Tolerance sign
    A `PyTolerance` holds two signed offsets added to the centre: the lower bound uses
    `minus`, the upper bound `plus`. A window of ±10 ppm is `PyTolerance.Ppm(-10, 10)`;
    `PyTolerance.Da(0.5, 0.5)` is a window from +0.5 to +0.5 Da above the centre and matches
    nothing at the centre. `parse_tolerance` reads the usual notations and refuses a window
    that excludes its own centre.

Proton mass
    A precursor takes the observed m/z: the core subtracts one proton mass (`PROTON_MASS`,
    1.0072764) and multiplies by the charge to get the neutral mass. Peaks take the observed
    m/z minus one proton mass, ascending by m/z: the core compares them with neutral fragment
    masses divided by the fragment charge and never subtracts the proton itself. Descending
    peaks find nothing. `read_spectra` and `make_spectrum` apply the shift and the order;
    `check_spectra` refuses unordered peaks and spectra without a precursor.

Isolation window
    A precursor's `isolation_window` is a `PyTolerance.Da` whose offsets are measured from
    the precursor m/z, in m/z units: the core scales both offsets by each charge it tries in
    wide-window mode. The package builds it from the isolated range, so the window lies where
    the instrument isolated even when the selected ion is off the isolation target.

Charge
    A precursor charge of None lets the scorer try every charge of its configured range.
    The readers leave it None when the file gives none, gives 0, or gives several possible
    charges (an MGF `CHARGE=2+ and 3+`).

Numbers of a match
    `label` is 1 for a target peptide and -1 for a decoy. `rt` is the spectrum's
    `scan_start_time` carried unchanged: the package reads it in minutes (seconds in the file
    are divided by 60), and NaN when the file gives none. `expmass` is the neutral precursor
    mass at the match's charge, `calcmass` the peptide's mass, `isotope_error` the mass of the
    assumed isotope offset (the isotope number times 1.00335 Da), and `delta_mass` the error
    in ppm after removing that offset:
    ``(expmass - calcmass - isotope_error) * 2e6 / (expmass - isotope_error + calcmass)``,
    that is relative to the mean of the corrected observed mass and the peptide mass.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable
from dataclasses import dataclass

import _tovel_mesk as tm

#: The proton mass, in daltons, that the core and the package use everywhere.
PROTON_MASS = 1.0072764

#: Spacing of precursor isotope peaks in daltons (13C less 12C): `isotope_error` is a whole
#: number of these steps.
ISOTOPE_SPACING = 1.00335

#: The mass difference of one 13C over 12C (Da): the spacing of isotope peaks that MS1
#: chromatograms and reporter-ion impurities are traced at.
C13_SPACING = 1.0033548

#: Scan numbers in a native id or an MGF title: a ``scan=2442`` (also ``scanId=``,
#: ``spectrum=``) term, as vendors' native ids write it.
_SCAN_TERM = re.compile(r"(?<![\w.])(?:scan|scanId|spectrum)=(\d+)(?!\w)")
#: The dotted title that many converters give MGF spectra: ``run.2442.2442.2`` (run, first
#: scan, last scan, charge), possibly followed by more text after a space.
_DOTTED_TITLE = re.compile(r"\.(\d+)\.(\d+)\.\d+(?:\s|$)")
#: An MGF ``SCANS`` value: one scan or a range of them (``2442`` or ``2442-2444``).
_SCANS_VALUE = re.compile(r"\s*(\d+)\s*(?:-\s*\d+\s*)?")

#: The scan number of a spectrum that states none.
NO_SCAN = -1


def scan_number(native_id: str | None, scans: str | None = None) -> int:
    """The instrument's scan number of a spectrum, or `NO_SCAN` (-1) when it states none.

    `scans`, an MGF spectrum's ``SCANS`` value, wins when it is a number (the first of a
    range such as ``2442-2444``). Otherwise the native id (an mzML id such as
    ``controllerType=0 controllerNumber=1 scan=2442`` or ``scan=7``, or an MGF ``TITLE``) is
    read: its ``scan=``, ``scanId=`` or ``spectrum=`` term, else a dotted title
    ``run.2442.2442.2`` (its first scan). Ids that carry only a position (``index=5``) give -1.
    """
    if scans:
        match = _SCANS_VALUE.fullmatch(scans)
        if match is not None:
            return int(match.group(1))
    if not native_id:
        return NO_SCAN
    match = _SCAN_TERM.search(native_id)
    if match is None:
        match = _DOTTED_TITLE.search(native_id)
    return int(match.group(1)) if match is not None else NO_SCAN


def isotope_steps(isotope_error):
    """The whole number of isotope steps (`ISOTOPE_SPACING`) in each `isotope_error` (Da),
    as int32: ``round(isotope_error / 1.00335)``; a missing error counts as 0 steps."""
    import numpy as np  # noqa: PLC0415

    steps = np.rint(np.asarray(isotope_error, dtype=np.float64) / ISOTOPE_SPACING)
    return np.nan_to_num(steps, nan=0.0, posinf=0.0, neginf=0.0).astype(np.int32)

_NUMBER = r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?"
_TOLERANCE = re.compile(rf"\s*({_NUMBER})\s*(?:,\s*({_NUMBER})\s*)?(ppm|da)\s*", re.IGNORECASE)
_ACCEPTED = ("a tolerance is one half-width ('10ppm', '0.5da') or a lower and an upper offset "
             "('-10,20ppm', '-0.5,0.5Da'); units ppm or Da, in any case")


def parse_tolerance(text: str) -> tm.PyTolerance:
    """Reads a mass tolerance, such as ``"10ppm"``, ``"-10,20ppm"`` or ``"0.5da"``.

    One number is a half-width: ``"10ppm"`` is ``PyTolerance.Ppm(-10, 10)``. Two numbers are
    the signed lower and upper offsets from the centre: ``"-10,20ppm"`` is
    ``PyTolerance.Ppm(-10, 20)``. The unit, ``ppm`` or ``da``, is case-insensitive.

    Raises ValueError, saying what is accepted, for malformed text, for numbers that are not
    finite, and for a window that excludes its own centre (a negative half-width, a lower
    offset above zero or an upper offset below zero): such a tolerance matches nothing.
    """
    return Tolerance.parse(text).core()


def _number_text(value: float) -> str:
    """The shortest text that reads back as `value` exactly (``10`` rather than ``10.0``)."""
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


@dataclass(frozen=True)
class Tolerance:
    """A mass tolerance: the signed offsets of the window's bounds from its centre, in ppm
    of the centre or in daltons. ``Tolerance(-10, 10, "ppm")`` is ``"10ppm"``. A window must
    hold its own centre (``lower <= 0 <= upper``); ValueError otherwise."""

    lower: float
    upper: float
    unit: str = "ppm"

    def __post_init__(self) -> None:
        for name in ("lower", "upper"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"a tolerance's {name} offset must be a number, not {type(value).__name__}")
            object.__setattr__(self, name, float(value))
        unit = self.unit.lower() if isinstance(self.unit, str) else self.unit
        if unit not in ("ppm", "da"):
            raise ValueError(f"a tolerance's unit is 'ppm' or 'da', not {self.unit!r}")
        object.__setattr__(self, "unit", unit)
        if not (math.isfinite(self.lower) and math.isfinite(self.upper)):
            raise ValueError(f"tolerance {self} is not finite")
        if self.lower > 0 or self.upper < 0:
            raise ValueError(f"tolerance {self} excludes its own centre: the lower offset must be "
                             f"at most 0 and the upper offset at least 0 ({_ACCEPTED})")

    @classmethod
    def parse(cls, text: str) -> Tolerance:
        """Reads a tolerance text (see `parse_tolerance`); raises as it does."""
        if not isinstance(text, str):
            raise TypeError(f"tolerance must be a str, not {type(text).__name__}")
        match = _TOLERANCE.fullmatch(text)
        if match is None:
            raise ValueError(f"cannot read the tolerance {text!r}: {_ACCEPTED}")
        first, second, unit = match.groups()
        if second is None:
            lower, upper = -float(first), float(first)
        else:
            lower, upper = float(first), float(second)
        if not (math.isfinite(lower) and math.isfinite(upper)):
            raise ValueError(f"tolerance {text!r} is not finite")
        if lower > 0 or upper < 0:
            raise ValueError(f"tolerance {text!r} excludes its own centre: the lower offset must be "
                             f"at most 0 and the upper offset at least 0 ({_ACCEPTED})")
        return cls(lower, upper, unit.lower())

    def __str__(self) -> str:
        """The text form, which `parse` reads back to an equal tolerance: ``10ppm`` for a
        symmetric window, ``-10,20ppm`` otherwise."""
        if repr(self.lower) == repr(-self.upper):
            return f"{_number_text(self.upper)}{self.unit}"
        return f"{_number_text(self.lower)},{_number_text(self.upper)}{self.unit}"

    def core(self) -> tm.PyTolerance:
        """The search core's `PyTolerance` of this window."""
        factory = tm.PyTolerance.Ppm if self.unit == "ppm" else tm.PyTolerance.Da
        return factory(self.lower, self.upper)

    def width(self, mass: float) -> float:
        """The width in daltons of the window around `mass`."""
        return (self.upper - self.lower) * (mass * 1e-6 if self.unit == "ppm" else 1.0)


def check_spectra(spectra: Iterable[tm.PyProcessedSpectrum]) -> None:
    """Refuses spectra that the core would score wrongly or not at all.

    Each spectrum must be a `PyProcessedSpectrum` with at least one precursor (the core
    cannot score one without) and peaks in ascending m/z order (the core searches them by
    binary search; descending peaks find nothing). Spectra from `read_spectra` and
    `make_spectrum` always pass. Raises TypeError or ValueError naming the first spectrum
    that fails, by its position and id.
    """
    import numpy as np  # noqa: PLC0415 - the command imports this module at start-up, before numpy

    for position, spectrum in enumerate(spectra):
        if not isinstance(spectrum, tm.PyProcessedSpectrum):
            raise TypeError(f"spectrum {position} is a {type(spectrum).__name__}, "
                            "not a PyProcessedSpectrum")
        where = f"spectrum {position} ({spectrum.id!r})"
        if not spectrum.precursors:
            raise ValueError(f"{where} has no precursor; the core scores a spectrum by its first one")
        peaks = spectrum.peaks
        if len(peaks) > 1:
            mz = np.array(peaks, dtype=np.float32)[:, 0]
            descending = np.flatnonzero(~(mz[1:] >= mz[:-1]))
            if descending.size:
                i = int(descending[0])
                raise ValueError(
                    f"{where}: peaks must ascend by m/z (and be numbers), but peak {i + 1} ({mz[i + 1]}) follows "
                    f"peak {i} ({mz[i]}); sort them, or build the spectrum with make_spectrum")
