"""MGF reading.

The text is read in large blocks and cut at the `BEGIN IONS` and `END IONS` lines. A
spectrum's parameters are taken by regular expression and its peak list by numpy's text
parser, so no Python code runs per peak, and memory holds one block of the file at a time.
"""

from __future__ import annotations

import io
import math
import re
from collections.abc import Iterator
from typing import TextIO

import numpy as np

from ..conventions import scan_number
from ..errors import SpectraFileError, quoted
from .records import RawPrecursor, RawSpectrum, charge_of

_BLOCK_CHARS = 1 << 20
_MARKER = re.compile(r"^[ \t]*(BEGIN IONS|END IONS)[ \t]*$", re.M)
_PARAM = re.compile(r"^[ \t]*([^\s=#;!/][^=\n]*?)[ \t]*=[ \t]*([^\n]*?)[ \t]*$", re.M)
_NOT_PEAKS = re.compile(r"^[^\n=]*=[^\n]*$|^[ \t]*[#;!/][^\n]*$", re.M)
_CHARGE_SEPARATOR = re.compile(r"\s*(?:,|\band\b)\s*")
_ONE_CHARGE = re.compile(r"([+-]?)(\d+)([+-]?)")


class MgfReader:
    """Iterates over the spectra of one MGF text stream as `RawSpectrum` records. Every
    spectrum is taken as MS level 2. `total` is None: the format states no count. The stream
    is expected with its line ends made LF (a text stream's universal newlines read LF, CRLF
    and CR alike). A file without any spectrum is refused."""

    total = None

    def __init__(self, path: str, stream: TextIO):
        self.path = path
        self.stream = stream
        self._default_charge: int | None = None
        self._lines = 1        # line number at self._counted
        self._counted = 0      # position in the buffer up to which lines are counted

    def _fail(self, reason: str, spectrum: str | None = None) -> SpectraFileError:
        return SpectraFileError(self.path, spectrum, reason)

    def _line_at(self, buffer: str, index: int) -> int:
        self._lines += buffer.count("\n", self._counted, index)
        self._counted = index
        return self._lines

    def __iter__(self) -> Iterator[RawSpectrum]:
        buffer = ""
        scan = 0               # next position to look for a marker
        block = None           # (start of the open block's text, its BEGIN IONS line)
        position = 0
        while True:
            chunk = self.stream.read(_BLOCK_CHARS)
            buffer += chunk
            end = len(buffer) if not chunk else buffer.rfind("\n") + 1
            for marker in _MARKER.finditer(buffer, scan, end):
                after_previous = self._line_at(buffer, scan)
                line = self._line_at(buffer, marker.start())
                if marker.group(1) == "BEGIN IONS":
                    if block is not None:
                        raise self._fail(f"line {line}: BEGIN IONS before the END IONS of the "
                                         f"spectrum that starts on line {block[1]}")
                    self._outside(buffer[scan:marker.start()], after_previous)
                    block = (marker.end(), line)
                else:
                    if block is None:
                        raise self._fail(f"line {line}: END IONS without BEGIN IONS")
                    yield self._spectrum(buffer[block[0]:marker.start()], block[1], position)
                    position += 1
                    block = None
                scan = marker.end()
            if not chunk:
                break
            if block is None:
                self._outside(buffer[scan:end], self._line_at(buffer, scan))
                scan = end
            keep = scan if block is None else block[0]
            if self._counted < keep:
                self._line_at(buffer, keep)
            buffer, scan, self._counted = buffer[keep:], scan - keep, self._counted - keep
            if block is not None:
                block = (0, block[1])
        if block is not None:
            raise self._fail(f"the file ends inside the spectrum that starts on line {block[1]}: "
                             "no END IONS (truncated?)")
        self._outside(buffer[scan:], self._line_at(buffer, scan))
        if not position:
            raise self._fail("holds no spectrum (no BEGIN IONS ... END IONS block)")

    def _outside(self, text: str, first_line: int) -> None:
        """Checks the text between spectra: blank lines, comments and global parameters,
        of which CHARGE sets the charge of spectra that give none."""
        for offset, line in enumerate(text.split("\n")):
            stripped = line.strip()
            if not stripped or stripped[0] in "#;!/":
                continue
            key, equals, value = stripped.partition("=")
            if not equals:
                raise self._fail(f"line {first_line + offset}: {stripped[:60]!r} lies outside every "
                                 "BEGIN IONS ... END IONS block")
            if key.strip().upper() == "CHARGE":
                self._default_charge = self._charge(value.strip(), None)

    def _charge(self, value: str, spectrum: str | None) -> int | None:
        """One charge (`2+`, `2`, `+2`); several (`2+ and 3+`, `2+,3+`) give None, so that
        the scorer tries each charge of its range."""
        charges = []
        for part in _CHARGE_SEPARATOR.split(value):
            match = _ONE_CHARGE.fullmatch(part)
            if match is None or (match.group(1) and match.group(3)):
                raise self._fail(f"CHARGE={quoted(value)} is not a charge such as 2+ or '2+ and 3+'", spectrum)
            sign = -1 if "-" in (match.group(1) + match.group(3)) else 1
            charges.append(charge_of(sign * float(match.group(2)), lambda r: self._fail(r, spectrum)))
        return charges[0] if len(charges) == 1 else None

    def _spectrum(self, block: str, line: int, position: int) -> RawSpectrum:
        params: dict[str, str] = {}
        for key, value in _PARAM.findall(block):
            params.setdefault(key.upper(), value)
        spectrum_id = params.get("TITLE") or f"index={position}"
        fail = lambda reason: self._fail(reason, spectrum_id)  # noqa: E731

        def number(text: str, what: str) -> float:
            try:
                return float(text)
            except ValueError:
                raise fail(f"{what} is not a number: {quoted(text)}") from None

        if "PEPMASS" not in params:
            raise fail(f"the spectrum that starts on line {line} has no PEPMASS")
        pepmass = params["PEPMASS"].split()
        if not 1 <= len(pepmass) <= 3:
            raise fail(f"PEPMASS={quoted(params['PEPMASS'])} is not 'm/z' or 'm/z intensity'")
        mz = number(pepmass[0], "PEPMASS m/z")
        intensity = number(pepmass[1], "PEPMASS intensity") if len(pepmass) > 1 else None
        charge = self._charge(params["CHARGE"], spectrum_id) if "CHARGE" in params else self._default_charge
        rt = number(params["RTINSECONDS"], "RTINSECONDS") / 60 if "RTINSECONDS" in params else math.nan
        precursors = [RawPrecursor(mz, charge, intensity)]
        peak_text = _NOT_PEAKS.sub("", block)

        def peaks() -> tuple[np.ndarray, np.ndarray]:
            if not peak_text.strip():
                return np.empty(0), np.empty(0)
            try:
                table = np.loadtxt(io.StringIO(peak_text), dtype=np.float64, usecols=(0, 1),
                                   ndmin=2, comments=None)
            except ValueError as error:
                raise fail(f"peak list of the spectrum that starts on line {line}: {error}") from None
            return table[:, 0], table[:, 1]

        return RawSpectrum(spectrum_id, 2, rt, None, precursors, peaks,
                           scan_number(params.get("TITLE"), params.get("SCANS")))
