"""Which mass analyzer recorded a file's fragment spectra, read from the data.

`detect_analyzer(path)` looks at the head of an mzML or MGF file only (its header and its
first fragment spectra; never the whole file) and says whether the fragments were measured
at high resolution (Orbitrap, time-of-flight, FT-ICR) or at unit resolution (ion trap,
quadrupole), and how it knows:

1. mzML: each spectrum's filter string (cvParam MS:1000512, or the userParam that some
   converters write): ``ITMS`` is an ion trap, ``FTMS`` an Orbitrap or FT-ICR, ``ASTMS``
   an asymmetric-track time-of-flight; ``@cid``/``@hcd``/``@etd`` name the activation.
   A filter string wins over the instrument configuration, since a converter may list only
   one analyzer of a hybrid instrument.
2. mzML: the analyzer of the instrument configuration that the spectrum's scan refers to
   (`instrumentConfigurationRef`), or the run's default configuration. With several
   analyzers in one configuration, the last in order measures the fragments; an ion trap
   beside an Orbitrap or FT-ICR in one configuration says nothing (a hybrid that can
   measure fragments in either).
3. MGF: an ``INSTRUMENT=`` line (``ESI-TRAP``, ``ESI-QUAD-TOF``, ``ESI-FTICR``, ...), or a
   filter string in the spectra's titles.
4. Otherwise, a measured guess from the peak lists (`guess_from_peaks`): the mass
   differences between peaks that equal an amino-acid residue mass pile up within a few
   millidaltons of it on high-resolution spectra, and spread over tenths of a dalton on
   unit-resolution spectra. A guess is marked as one (`Detection.guessed`).
"""

from __future__ import annotations

import contextlib
import io
import math
import os
import re
import zlib
from collections import Counter
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, BinaryIO

import numpy as np

__all__ = ["Detection", "detect_analyzer", "guess_from_peaks", "HIGH", "LOW", "UNKNOWN"]

HIGH, LOW, UNKNOWN = "high", "low", "unknown"

#: Fragment spectra examined at most per file, and the bytes of the head of a file read at
#: most to find them (an mzML file may open with many survey scans).
MAX_SPECTRA = 200
MAX_HEAD_BYTES = 64 << 20

#: Analyzers by PSI-MS accession: (name, resolution of the fragment spectra they measure).
ANALYZERS: dict[str, tuple[str, str]] = {
    "MS:1000264": ("ion trap", LOW),
    "MS:1000082": ("quadrupole ion trap", LOW),
    "MS:1000083": ("radial ejection linear ion trap", LOW),
    "MS:1000078": ("axial ejection linear ion trap", LOW),
    "MS:1000291": ("linear ion trap", LOW),
    "MS:1000081": ("quadrupole", LOW),
    "MS:1000484": ("orbitrap", HIGH),
    "MS:1000084": ("time-of-flight", HIGH),
    "MS:1000079": ("fourier transform ion cyclotron resonance mass spectrometer", HIGH),
    "MS:1003379": ("asymmetric track lossless time-of-flight analyzer", HIGH),
}
#: The same by words of the name, for accessions not listed above.
_NAME_WORDS = (("ion trap", LOW), ("orbitrap", HIGH), ("time-of-flight", HIGH), ("cyclotron", HIGH),
               ("fourier transform", HIGH), ("quadrupole", LOW))
#: Analyzer field of a Thermo filter string.
FILTER_ANALYZERS = {"ITMS": ("ion trap", LOW), "FTMS": ("orbitrap", HIGH), "ASTMS": ("astral", HIGH),
                    "TOFMS": ("time-of-flight", HIGH), "SQMS": ("quadrupole", LOW), "TQMS": ("quadrupole", LOW)}
#: Mascot's INSTRUMENT values in MGF files, by the analyzer that measures the fragments.
MGF_INSTRUMENTS = {"TRAP": ("ion trap", LOW), "TOF": ("time-of-flight", HIGH), "FTICR": ("FT-ICR", HIGH),
                   "FTMS": ("orbitrap", HIGH), "ORBITRAP": ("orbitrap", HIGH), "QUAD": ("quadrupole", LOW)}
#: Activation cvParams of a precursor.
ACTIVATIONS = {"MS:1000133": "cid", "MS:1000422": "hcd", "MS:1000598": "etd", "MS:1002631": "ethcd",
               "MS:1000250": "ecd"}

FILTER_STRING = "MS:1000512"
MS_LEVEL = "MS:1000511"
_FILTER = re.compile(r"^\s*(ITMS|FTMS|ASTMS|TOFMS|SQMS|TQMS)\b")
_FILTER_ANYWHERE = re.compile(r"\b(ITMS|FTMS|ASTMS)\s+[+-]")
_FILTER_ACTIVATION = re.compile(r"@([a-z]+)\d", re.I)


@dataclass(frozen=True)
class Detection:
    """What a file says, or its peaks suggest, about its fragment spectra.

    `resolution`: "high", "low" or "unknown". `analyzer`: the analyzer's name ("" when
    unknown). `activation`: "cid", "hcd", "etd", ... or "". `source`: how it was found
    ("filter string", "instrument configuration", "MGF INSTRUMENT", "peak lists", or
    "nothing"). `guessed`: True for a measured guess. `spectra`: fragment spectra examined.
    `mixed`: spectra per analyzer when the examined spectra disagree. `evidence`: the
    measured figures behind a guess."""

    resolution: str
    analyzer: str = ""
    activation: str = ""
    source: str = "nothing"
    guessed: bool = False
    spectra: int = 0
    mixed: dict[str, int] = field(default_factory=dict)
    evidence: dict[str, float] = field(default_factory=dict)

    def describe(self) -> str:
        """One line: e.g. "ion trap (low resolution), cid, from the filter string"."""
        if self.resolution == UNKNOWN:
            return "unknown analyzer (nothing in the file says, and the peak lists do not tell)"
        what = f"{self.analyzer or 'an analyzer'} ({self.resolution} resolution)"
        if self.activation:
            what += f", {self.activation}"
        how = "guessed from the peak lists" if self.guessed else f"from the {self.source}"
        return f"{what}, {how}"

    def as_dict(self) -> dict[str, Any]:
        out: dict[str, Any] = {"resolution": self.resolution, "analyzer": self.analyzer,
                               "activation": self.activation, "source": self.source, "guessed": self.guessed,
                               "spectra_examined": self.spectra}
        if self.mixed:
            out["mixed"] = dict(self.mixed)
        if self.evidence:
            out["evidence"] = {k: round(v, 4) for k, v in self.evidence.items()}
        return out


def _resolution_of_name(name: str) -> str | None:
    lowered = name.lower()
    for words, resolution in _NAME_WORDS:
        if words in lowered:
            return resolution
    return None


@contextlib.contextmanager
def _open(path: str) -> Iterator[BinaryIO]:
    """The file's content, decompressed when gzip-compressed: the readers' opener."""
    from .spectra import open_spectra  # noqa: PLC0415 - the readers load numpy and the core

    with open_spectra(path) as opened:
        yield opened.stream


class _Capped(io.RawIOBase):
    """A binary stream that ends after `limit` bytes of another."""

    def __init__(self, stream, limit: int):
        self._stream = stream
        self._left = limit

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self._left <= 0:
            return 0
        data = self._stream.read(min(len(buffer), self._left))
        self._left -= len(data)
        buffer[:len(data)] = data
        return len(data)


def detect_analyzer(path: str | os.PathLike, *, ms_level: int = 2, max_spectra: int = MAX_SPECTRA,
                    format: str | None = None) -> Detection:
    """The fragment analyzer of one spectra file, from its head (module documentation).
    Never raises for a file it cannot make sense of: a damaged or unreadable head gives
    what was found before the damage, else a guess from the peak lists, else "unknown"
    (the search that reads the file reports its faults)."""
    path = os.fspath(path)
    try:
        with _open(path) as stream:
            head = stream.read(4096)
    except (OSError, EOFError, zlib.error):
        return Detection(UNKNOWN)
    kind = (format or "").lower() or _kind(path, head)
    stated = _from_mzml(path, ms_level, max_spectra) if kind == "mzml" else _from_mgf(path)
    if stated is not None and stated.resolution != UNKNOWN:
        return stated
    guessed = guess_from_peaks(_peak_lists(path, ms_level, max_spectra, kind))
    if stated is not None and stated.activation and not guessed.activation:
        guessed = Detection(guessed.resolution, guessed.analyzer, stated.activation, guessed.source,
                            guessed.guessed, guessed.spectra, guessed.mixed, guessed.evidence)
    return guessed


def _kind(path: str, head: bytes) -> str:
    name = path.lower().removesuffix(".gz")
    if name.endswith(".mzml"):
        return "mzml"
    if name.endswith(".mgf"):
        return "mgf"
    return "mzml" if head.lstrip().startswith(b"<") else "mgf"


# ----------------------------------------------------------------------------------------
# mzML

def _params(element, groups: dict[str, list[tuple[str, str, str]]]) -> list[tuple[str, str, str]]:
    """(accession, name, value) of the cvParams and userParams of an element, with those
    of the parameter groups it refers to."""
    out = []
    for child in element:
        tag = child.tag.rpartition("}")[2] if isinstance(child.tag, str) else ""
        if tag == "cvParam":
            out.append((child.get("accession", ""), child.get("name", ""), child.get("value", "") or ""))
        elif tag == "userParam":
            out.append(("", child.get("name", ""), child.get("value", "") or ""))
        elif tag == "referenceableParamGroupRef":
            out.extend(groups.get(child.get("ref", ""), []))
    return out


def _configuration(element, groups) -> tuple[str, str] | None:
    """(analyzer name, resolution) of an instrumentConfiguration, or None when it names no
    analyzer or pairs an ion trap with an Orbitrap or FT-ICR."""
    analyzers = []
    for analyzer in element.iter("{*}analyzer"):
        try:
            order = int(analyzer.get("order", "0"))
        except ValueError:
            order = 0
        for accession, name, _ in _params(analyzer, groups):
            known = ANALYZERS.get(accession)
            resolution = known[1] if known else _resolution_of_name(name)
            if resolution is not None and (known or "analyzer" in name.lower() or "trap" in name.lower()
                                           or "time-of-flight" in name.lower() or "quadrupole" in name.lower()):
                analyzers.append((order, known[0] if known else name, resolution))
    if not analyzers:
        return None
    analyzers.sort(key=lambda a: a[0])
    names = " ".join(a[1] for a in analyzers).lower()
    if "ion trap" in names and ("orbitrap" in names or "cyclotron" in names):
        return None
    return analyzers[-1][1], analyzers[-1][2]


def _from_mzml(path: str, ms_level: int, max_spectra: int) -> Detection | None:
    from lxml import etree  # noqa: PLC0415

    groups: dict[str, list[tuple[str, str, str]]] = {}
    configurations: dict[str, tuple[str, str] | None] = {}
    default_configuration = None
    per_spectrum: list[tuple[str, str, str, str]] = []   # (analyzer, resolution, activation, source)
    examined = 0
    try:
        with _open(path) as raw:
            stream = _Capped(raw, MAX_HEAD_BYTES)
            context = etree.iterparse(stream, events=("start", "end"), resolve_entities=False, no_network=True,
                                      load_dtd=False, huge_tree=False, remove_comments=True, remove_pis=True)
            for event, element in context:
                if not isinstance(element.tag, str):
                    continue
                name = element.tag.rpartition("}")[2]
                if event == "start":
                    if name == "run":
                        default_configuration = element.get("defaultInstrumentConfigurationRef")
                    continue
                if name == "referenceableParamGroup":
                    groups[element.get("id", "")] = _params(element, groups)
                elif name == "instrumentConfiguration":
                    configurations[element.get("id", "")] = _configuration(element, groups)
                elif name == "spectrum":
                    found = _spectrum(element, groups, ms_level, configurations, default_configuration)
                    element.clear()
                    if found is not None:
                        per_spectrum.append(found)
                        examined += 1
                        if examined >= max_spectra:
                            break
                elif name == "spectrumList":
                    break
    except (etree.LxmlError, OSError, EOFError, zlib.error, ValueError):
        pass  # what was found before the damage stands; the search reports the damage
    if not per_spectrum:
        # No fragment spectrum read: the run's default configuration may still say.
        stated = configurations.get(default_configuration or "") if default_configuration else None
        if stated is None and len(configurations) == 1:
            stated = next(iter(configurations.values()))
        if stated is None:
            return None
        return Detection(stated[1], stated[0], "", "instrument configuration")
    return _majority(per_spectrum)


def _spectrum(element, groups, ms_level, configurations, default_configuration):
    params = _params(element, groups)
    level = next((value for accession, _, value in params if accession == MS_LEVEL), None)
    try:
        if level is None or int(float(level)) != ms_level:
            return None
    except ValueError:
        return None
    # Converters put the filter string on the scan or on the spectrum itself.
    filter_string = next((value for accession, name, value in params
                          if accession == FILTER_STRING or name.lower() == "filter string"), "")
    reference = None
    for scan in element.iter("{*}scan"):
        reference = scan.get("instrumentConfigurationRef") or reference
        for accession, name, value in _params(scan, groups):
            if accession == FILTER_STRING or name.lower() == "filter string":
                filter_string = filter_string or value
    activation = ""
    for activation_element in element.iter("{*}activation"):
        for accession, _, _ in _params(activation_element, groups):
            activation = activation or ACTIVATIONS.get(accession, "")
    found = _FILTER_ACTIVATION.search(filter_string)
    if found:
        activation = found.group(1).lower()
    match = _FILTER.match(filter_string)
    if match:
        name, resolution = FILTER_ANALYZERS[match.group(1)]
        return name, resolution, activation, "filter string"
    stated = configurations.get(reference or default_configuration or "")
    if stated is None and reference is None and default_configuration is None and len(configurations) == 1:
        stated = next(iter(configurations.values()))
    if stated is not None:
        return stated[0], stated[1], activation, "instrument configuration"
    return "", UNKNOWN, activation, "nothing"


def _majority(found: list[tuple[str, str, str, str]]) -> Detection:
    """One verdict for a file from the spectra examined: the most common resolution, with
    the spread recorded when they disagree. Spectra that state nothing are left aside
    unless nothing else is known."""
    stated = [f for f in found if f[1] != UNKNOWN] or found
    by_analyzer = Counter(f[0] or "unknown" for f in stated)
    by_resolution = Counter(f[1] for f in stated)
    resolution = by_resolution.most_common(1)[0][0]
    winners = [f for f in stated if f[1] == resolution]
    analyzer = Counter(f[0] for f in winners).most_common(1)[0][0]
    activation = Counter(f[2] for f in winners if f[2]).most_common(1)
    source = Counter(f[3] for f in winners).most_common(1)[0][0]
    return Detection(resolution, analyzer, activation[0][0] if activation else "", source,
                     spectra=len(found), mixed=dict(by_analyzer) if len(by_resolution) > 1 else {})


# ----------------------------------------------------------------------------------------
# MGF

_MGF_INSTRUMENT = re.compile(r"^[ \t]*INSTRUMENT[ \t]*=[ \t]*([^\r\n]*)", re.M | re.I)
_MGF_TITLE = re.compile(r"^[ \t]*TITLE[ \t]*=([^\r\n]*)", re.M | re.I)
_MGF_HEAD_BYTES = 1 << 20


def _from_mgf(path: str) -> Detection | None:
    try:
        with _open(path) as stream:
            text = stream.read(_MGF_HEAD_BYTES).decode("utf-8", "replace")
    except (OSError, EOFError, zlib.error):
        return None
    instrument = _MGF_INSTRUMENT.search(text)
    if instrument:
        value = instrument.group(1).strip().upper()
        # The last field names the analyzer that measures the fragments: ESI-QUAD-TOF is a TOF.
        for part in reversed(re.split(r"[-_ /]+", value)):
            if part in MGF_INSTRUMENTS:
                name, resolution = MGF_INSTRUMENTS[part]
                return Detection(resolution, name, "etd" if "ETD" in value else "", "MGF INSTRUMENT")
    found = []
    for title in _MGF_TITLE.findall(text)[:MAX_SPECTRA]:
        match = _FILTER_ANYWHERE.search(title)
        if match:
            name, resolution = FILTER_ANALYZERS[match.group(1)]
            activation = _FILTER_ACTIVATION.search(title[match.start():])
            found.append((name, resolution, activation.group(1).lower() if activation else "", "filter string"))
    return _majority(found) if found else None


# ----------------------------------------------------------------------------------------
# A measured guess

#: Residue masses (C carbamidomethylated, and unmodified), I and L as one.
_RESIDUES = np.unique(np.array([
    57.021464, 71.037114, 87.032028, 97.052764, 99.068414, 101.047679, 103.009185, 113.084064,
    114.042927, 115.026943, 128.058578, 128.094963, 129.042593, 131.040485, 137.058912, 147.068414,
    156.101111, 160.030649, 163.063329, 186.079313]))
#: Mass differences nearer a residue mass than `_NARROW` Da count as on it; those between
#: `_WING` and `_FAR` Da off as the background the narrow density is compared with.
_NARROW, _WING, _FAR = 0.005, 0.03, 0.15
_TOP = 50
#: High resolution: the narrow density is at least `_HIGH_RATIO` times the background, an
#: excess of at least `_MIN_Z` standard deviations of a count of noise; anything less is
#: unit resolution. With fewer than `_MIN_PAIRS` differences near a residue mass nothing is
#: concluded. (Measured: 4.5-4.9 on a simulated Orbitrap run, 0.9-1.3 on real ion-trap runs.)
_HIGH_RATIO, _MIN_Z, _MIN_PAIRS = 2.5, 4.0, 150


def guess_from_peaks(peak_lists: Iterable[np.ndarray]) -> Detection:
    """A measured guess of the fragment resolution from peak lists (m/z arrays, any order):
    among the differences between the `_TOP` most intense peaks of each list, those within
    0.15 Da of an amino-acid residue mass; on high-resolution spectra they crowd within
    0.005 Da of it, on unit-resolution spectra they spread evenly over that range."""
    narrow = wide = lists = 0
    for mz in peak_lists:
        mz = np.sort(np.asarray(mz, dtype=np.float64))
        if mz.size < 2:
            continue
        lists += 1
        diffs = (mz[None, :] - mz[:, None])[np.triu_indices(mz.size, 1)]
        diffs = diffs[(diffs > _RESIDUES[0] - _FAR) & (diffs < _RESIDUES[-1] + _FAR)]
        at = np.clip(np.searchsorted(_RESIDUES, diffs), 1, len(_RESIDUES) - 1)
        error = np.minimum(np.abs(diffs - _RESIDUES[at - 1]), np.abs(diffs - _RESIDUES[at]))
        narrow += int((error <= _NARROW).sum())
        wide += int(((error >= _WING) & (error <= _FAR)).sum())
    total = narrow + wide
    narrow_density = narrow / (2 * _NARROW)
    wide_density = wide / (2 * (_FAR - _WING))
    ratio = narrow_density / wide_density if wide_density else (math.inf if narrow else 0.0)
    evidence = {"ratio": float(min(ratio, 1e6)), "pairs": float(total), "peak_lists": float(lists)}
    if total < _MIN_PAIRS:
        return Detection(UNKNOWN, "", "", "peak lists", True, lists, evidence=evidence)
    expected = wide_density * 2 * _NARROW
    excess = (narrow - expected) / math.sqrt(expected) if expected > 0 else (math.inf if narrow else 0.0)
    evidence["excess_sd"] = float(min(excess, 1e6))
    if ratio >= _HIGH_RATIO and excess >= _MIN_Z:
        return Detection(HIGH, "high-resolution analyzer", "", "peak lists", True, lists, evidence=evidence)
    return Detection(LOW, "unit-resolution analyzer", "", "peak lists", True, lists, evidence=evidence)


def _peak_lists(path: str, ms_level: int, max_spectra: int, kind: str) -> Iterator[np.ndarray]:
    """The m/z arrays of the `_TOP` most intense peaks of the first fragment spectra."""
    from .spectra import SpectraReader  # noqa: PLC0415
    from ..errors import SpectraFileError  # noqa: PLC0415

    taken = 0
    try:
        for chunk in SpectraReader(path, ms_level=ms_level, top_peaks=_TOP, chunk_size=16, format=kind):
            for spectrum in chunk:
                peaks = spectrum.peaks
                if peaks:
                    yield np.fromiter((p[0] for p in peaks), dtype=np.float64, count=len(peaks))
                taken += 1
                if taken >= max_spectra:
                    return
    except (SpectraFileError, OSError, ValueError, EOFError, zlib.error):
        return
