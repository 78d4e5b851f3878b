"""Streaming mzML reading: a native scanner, with lxml's incremental parser as the reference.

The file's head, up to the `<spectrumList>` start tag, is parsed by lxml; then the native
scanner (`_native.scan_spectra`) reads the spectra a chunk of the file at a time, without
the interpreter lock: it finds each `<spectrum>` element, takes its id, level, scan start
time, total ion current and precursors, and decodes its arrays, with exactly the semantics of
the reference path below. The scanner reads the plain form of XML that mzML writers produce;
where it meets anything else (a comment or CDATA inside a spectrum, a character reference,
non-ASCII text, a namespace prefix, a number outside the plain decimal form) or a fault of the
file, the reference path reads the file again from its start, skips the spectra already handed
on, and goes on from there: it reads the construct, or names the fault with its own message.
`MzmlReader.fallback` says when and why (the search's summary shows it).

The reference path reads one `<spectrum>` element at a time and clears it as soon as its values
are taken, so memory holds one spectrum's XML and not the file's. A spectrum's array text may
be longer than libxml2's usual 10 MB limit for one text node (profile spectra of a million
peaks and more); one array is bounded by `MAX_VALUES` instead. Indexed and plain files read
the same way: nothing after the spectrum list (the index of an indexed file) is needed, and
the scanner reads none of it. Peak arrays are decoded there only for the spectra that the
caller keeps, by a native decoder that runs without the interpreter lock (`decode_array`); it
takes well-formed arrays only and leaves any other to the decoder written here, the
reference, which names the fault.
"""

from __future__ import annotations

import base64
import io
import math
import re
import zlib
from collections.abc import Iterator
from typing import Any, BinaryIO, Protocol

import numpy as np
from lxml import etree

from .. import _native
from ..errors import SpectraFileError, quoted
from .records import RawPrecursor, RawSpectrum, charge_of

# Controlled-vocabulary accessions (PSI-MS, Unit Ontology) read here.
MS_LEVEL = "MS:1000511"
MS1_SPECTRUM = "MS:1000579"
CENTROID_SPECTRUM = "MS:1000127"
PROFILE_SPECTRUM = "MS:1000128"
TOTAL_ION_CURRENT = "MS:1000285"
SCAN_START_TIME = "MS:1000016"
SELECTED_ION_MZ = "MS:1000744"
CHARGE_STATE = "MS:1000041"
POSSIBLE_CHARGE_STATE = "MS:1000633"
PEAK_INTENSITY = "MS:1000042"
ISOLATION_TARGET = "MS:1000827"
ISOLATION_LOWER = "MS:1000828"
ISOLATION_UPPER = "MS:1000829"
MZ_ARRAY = "MS:1000514"
INTENSITY_ARRAY = "MS:1000515"
ZLIB = "MS:1000574"
NO_COMPRESSION = "MS:1000576"
DTYPES = {"MS:1000521": np.dtype("<f4"), "MS:1000523": np.dtype("<f8"),
          "MS:1000519": np.dtype("<i4"), "MS:1000522": np.dtype("<i8")}
NUMPRESS = frozenset({"MS:1002312", "MS:1002313", "MS:1002314", "MS:1002746", "MS:1002747", "MS:1002748"})
# Minutes per unit of scan start time, by unit accession and by unit name.
MINUTES_PER_UNIT = {"UO:0000010": 1 / 60, "UO:0000031": 1.0, "UO:0000028": 1 / 60000,
                    "second": 1 / 60, "minute": 1.0, "millisecond": 1 / 60000}

# Arrays declared longer than this are refused before anything is decompressed, which bounds
# the memory one array can take (1 GiB of 64-bit values) whatever its compressed size.
MAX_VALUES = 1 << 27

#: Bytes read at a time by the native scanner (more when one spectrum is longer).
SCAN_BYTES = 64 << 10
# The file's head, up to the spectrum list, is searched this far for the native scanner.
MAX_HEAD = 64 << 20
_SPECTRUM_LIST = re.compile(rb"<spectrumList[\s>/]")

_TAGS = ("{*}mzML", "{*}referenceableParamGroup", "{*}spectrumList", "{*}spectrum", "{*}chromatogram")

# One cvParam: (value, unit accession, unit name, name).
Param = tuple[str | None, str | None, str | None, str]


class Ms1Sink(Protocol):
    """Where the MS1 scans met in a pass go (`tovel_mesk.quant.ms1.Ms1Builder.add` is one):
    the scan's start time in minutes, its decoded arrays, whether it is centroided (False
    for a profile scan) and its native id. The arrays are the reader's own; a sink keeps
    what it needs of them, not the arrays."""

    def __call__(self, rt: float, mz: np.ndarray, intensity: np.ndarray, *, centroided: bool,
                 scan_id: str) -> None: ...


class _Tags:
    """The qualified tags of the elements read, in the file's namespace: compared as whole
    strings, they spare splitting every tag. Each attribute holds the tag of its name."""

    cvParam: str
    referenceableParamGroupRef: str
    scanList: str
    scan: str
    precursorList: str
    precursor: str
    isolationWindow: str
    selectedIonList: str
    selectedIon: str
    binaryDataArrayList: str
    binaryDataArray: str
    binary: str

    def __init__(self, namespace: str):
        for name in _Tags.__annotations__:
            setattr(self, name, namespace + name)


def _local(element) -> str:
    """The element's name without its namespace."""
    return element.tag.rpartition("}")[2]


def _release(element) -> None:
    """Frees a read element and the already-read siblings before it."""
    element.clear()
    parent = element.getparent()
    if parent is not None:
        while element.getprevious() is not None:
            del parent[0]


def peek_total(head: bytes) -> int | None:
    """The spectrum count that the `spectrumList` start tag states, if `head` holds it."""
    start = head.find(b"spectrumList")
    end = head.find(b">", start)
    if start < 0 or end < 0:
        return None
    for attribute in head[start:end].split():
        if attribute.startswith(b"count="):
            digits = attribute[6:].strip(b"\"'/")
            return int(digits) if digits.isdigit() else None
    return None


class MzmlReader:
    """Iterates over the spectra of one mzML stream as `RawSpectrum` records. `total` is
    the spectrum count that the file states, once its `spectrumList` has been reached.
    Spectra of another level than `ms_level` (when given) come with their id and level only.
    With `ms1` given, every MS1 scan is decoded as it is met and handed to it, in the same
    pass (its record is still yielded, as a spectrum of another level when `ms_level` is not 1)."""

    def __init__(self, path: str, stream: BinaryIO, ms_level: int | None = None, ms1: Ms1Sink | None = None,
                 *, native: bool = True):
        self.path = path
        self.stream = stream
        self.ms_level = ms_level
        self.ms1 = ms1
        self.ms1_left_out: list[str] = []
        self.total: int | None = None
        #: Whether the pass reads the spectra with the native scanner (`native`); where the
        #: scanner leaves a file to the reference path, `fallback` says why and from which
        #: spectrum on (None when it read the whole file, or when `native` is False).
        self.native = native
        self.fallback: str | None = None
        self._groups: dict[str, dict[str, Param]] = {}
        self._current: str | None = None
        self._previous: str | None = None
        self._tags = _Tags("")

    def _fail(self, reason: str, spectrum: str | None = None) -> SpectraFileError:
        spectrum = spectrum if spectrum is not None else self._current
        if spectrum is None and self._previous is not None:
            reason = f"{reason} (after spectrum {quoted(self._previous)})"
        return SpectraFileError(self.path, spectrum, reason)

    def __iter__(self) -> Iterator[RawSpectrum]:
        if self.native and self.stream.seekable():
            return self._scanned()
        return self._parsed()

    def _scanned(self) -> Iterator[RawSpectrum]:
        """The records read by the native scanner (`_native.scan_spectra`): the file's head
        up to its `<spectrumList>` start tag by lxml as in the reference path, then the
        spectra in chunks of `SCAN_BYTES`. Where the scanner stops (a construct it leaves to
        the reference, or a fault of the file), the reference path reads the file again
        from its start, hands on the records from there and names any fault."""
        head, groups = self._head()
        if head is None:
            yield from self._fall_back(0, groups)
            return
        data, final, position = head, False, 0
        sink, left_out = self.ms1, self.ms1_left_out
        wanted, no_peaks = self.ms_level, _no_peaks
        while True:
            records, consumed, status, reason = _native.scan_spectra(
                data, final, position, wanted, sink is not None, groups)
            for sid, level, full, rt, tic, precursors, peaks, ms1, centroided in records:
                position += 1
                if peaks is None:
                    decoded = no_peaks
                else:
                    decoded = _Peaks(np.frombuffer(peaks[0], _DTYPE_CODES[peaks[1]]),
                                     np.frombuffer(peaks[2], _DTYPE_CODES[peaks[3]]))
                if ms1 == 1:
                    mz, intensity = decoded()
                    sink(rt, mz, intensity, centroided=bool(centroided), scan_id=sid)  # type: ignore[misc]
                elif ms1 == 2:
                    left_out.append(f"{sid}: no scan start time")
                self._previous = sid
                if not full:
                    yield RawSpectrum(sid, level, math.nan, None, [], no_peaks)
                else:
                    if rt != rt:  # no scan start time: the one NaN the reference path gives too
                        rt = math.nan
                    yield RawSpectrum(sid, level, rt, tic, [RawPrecursor(*p) for p in precursors], decoded)
            if status == 1:
                return
            if status == 2:
                yield from self._fall_back(position, reason or "this spectrum")
                return
            data = data[consumed:]
            more = self.stream.read(max(SCAN_BYTES, len(data)))
            if more:
                data += more
            else:
                final = True

    def _head(self) -> tuple[bytes | None, Any]:
        """The bytes after the `<spectrumList>` start tag (None and the reason when the head
        is not one the scanner reads after, or is faulty); the file's parameter groups. The
        head is parsed by lxml with the reference's settings, and sets `total`."""
        head = self.stream.read(4)
        if head.startswith((b"\xff\xfe", b"\xfe\xff")) or b"\x00" in head:
            return None, "a file encoded in UTF-16 or UTF-32"
        while True:
            found = _SPECTRUM_LIST.search(head)
            if found:
                break
            more = self.stream.read(SCAN_BYTES)
            if not more or len(head) > MAX_HEAD:
                return None, "no <spectrumList> start tag in the file's head"
            head += more
        if b"<!DOCTYPE" in head[:found.start()] or b"<!ENTITY" in head[:found.start()]:
            return None, "a document type declaration"
        close = head.find(b">", found.end())
        while close < 0:
            more = self.stream.read(SCAN_BYTES)
            if not more:
                return None, "an unfinished <spectrumList> start tag"
            head += more
            close = head.find(b">", found.end())
        if head[close - 1:close] == b"/":
            return None, "an empty spectrum list"
        # The head alone, parsed as the reference parses the file: its events, then the one
        # fault expected of a document cut after the spectrumList start tag.
        events = []
        try:
            for event, element in etree.iterparse(
                    io.BytesIO(head[:close + 1]), events=("start", "end"), tag=_TAGS, resolve_entities=False,
                    no_network=True, load_dtd=False, huge_tree=True, remove_comments=True, remove_pis=True):
                events.append((event, element))
        except etree.XMLSyntaxError as error:
            if not str(error).startswith("Premature end of data in tag spectrumList"):
                return None, "a fault in the file's head"
        else:
            return None, "a fault in the file's head"
        try:
            if len(events) < 2 or events[0][0] != "start" or _local(events[0][1]) != "mzML":
                return None, "a spectrum list outside the plain mzML layout"
            namespace = events[0][1].tag[:-4]
            self._tags = _Tags(namespace)
            for event, element in events[1:-1]:
                if _local(element) != "referenceableParamGroup":
                    return None, "a spectrum list outside the plain mzML layout"
                if event == "end":
                    self._groups[element.get("id", "")] = self._params(element)
        except SpectraFileError:
            return None, "a fault in the file's head"
        last = events[-1]
        if last[0] != "start" or last[1].tag != namespace + "spectrumList":
            return None, "a spectrum list outside the plain mzML layout"
        count = last[1].get("count", "")
        self.total = int(count) if count.isdigit() else None
        groups = {}
        for ref, params in self._groups.items():
            entries = [(accession, *param) for accession, param in params.items()]
            if not all(s is None or s.isascii() for entry in entries for s in entry) or not ref.isascii():
                return None, "non-ASCII text in a parameter group"
            groups[ref] = entries
        return head[close + 1:], groups

    def _fall_back(self, skip: int, reason: str) -> Iterator[RawSpectrum]:
        """The records from the `skip`-th on, read by the reference path from the file's
        start (the first `skip` were handed on already, MS1 scans included)."""
        where = "from the file's start" if skip == 0 else f"from spectrum {skip + 1} on"
        self.fallback = f"read by the reference path {where}: the native scanner does not read {reason}"
        self.stream.seek(0)
        reference = MzmlReader(self.path, self.stream, self.ms_level, None, native=False)
        records = iter(reference)
        if skip == 0:
            reference.ms1, reference.ms1_left_out = self.ms1, self.ms1_left_out
        else:
            for handed, _ in enumerate(records, 1):
                if handed == skip:
                    reference.ms1, reference.ms1_left_out = self.ms1, self.ms1_left_out
                    break
        try:
            yield from records
        finally:
            self.total = reference.total if reference.total is not None else self.total

    def _parsed(self) -> Iterator[RawSpectrum]:
        context = etree.iterparse(
            self.stream, events=("start", "end"), tag=_TAGS, resolve_entities=False,
            no_network=True, load_dtd=False, huge_tree=True, remove_comments=True, remove_pis=True)
        in_mzml = False
        position = 0
        try:
            for event, element in context:
                name = _local(element)
                if event == "start":
                    if name == "mzML":
                        in_mzml = True
                        self._tags = _Tags(element.tag[:-4])
                    elif name == "spectrum":
                        if self._current is not None:
                            # Reading the inner one would free the outer one's values read so far.
                            raise self._fail("holds another <spectrum> inside it")
                        self._current = element.get("id") or f"index={element.get('index', position)}"
                    elif name == "spectrumList":
                        count = element.get("count", "")
                        self.total = int(count) if count.isdigit() else None
                    continue
                if name == "spectrum":
                    if not in_mzml:
                        raise self._fail("not an mzML file: <spectrum> outside <mzML>")
                    assert self._current is not None  # set at the spectrum's start, which came first
                    record = self._spectrum(element, self._current)
                    _release(element)
                    position += 1
                    self._previous, self._current = self._current, None
                    yield record
                elif name == "referenceableParamGroup":
                    self._groups[element.get("id", "")] = self._params(element)
                elif name == "spectrumList":
                    return  # every spectrum is read; nothing after the list is needed
                elif name == "chromatogram":
                    _release(element)
        except etree.LxmlError as error:
            raise self._fail(f"malformed XML: {error}") from error
        if not in_mzml:
            raise self._fail("not an mzML file: no <mzML> element")

    def _params(self, element) -> dict[str, Param]:
        """The cvParams of an element, by accession, including those of the parameter
        groups it refers to."""
        params: dict[str, Param] = {}
        cv_param = self._tags.cvParam
        for child in element.iterchildren(cv_param, self._tags.referenceableParamGroupRef):
            if child.tag == cv_param:
                get = child.get
                params[get("accession", "")] = (get("value"), get("unitAccession"), get("unitName"),
                                                get("name", ""))
            else:
                ref = child.get("ref", "")
                group = self._groups.get(ref)
                if group is None:
                    raise self._fail(f"refers to an undefined referenceableParamGroup {quoted(ref)}")
                params.update(group)
        return params

    def _number(self, params: dict[str, Param], accession: str, what: str) -> float | None:
        param = params.get(accession)
        if param is None:
            return None
        value = param[0]
        if value is not None:  # a cvParam without a value is no number either
            try:
                return float(value)
            except ValueError:
                pass
        raise self._fail(f"{what} is not a number: {quoted(value) if value is not None else None}")

    def _spectrum(self, element, spectrum_id: str) -> RawSpectrum:
        params = self._params(element)
        level = self._number(params, MS_LEVEL, "ms level")
        if level is None:
            ms_level = 1 if MS1_SPECTRUM in params else None
        elif math.isfinite(level) and level == int(level) and 0 <= level < 256:
            ms_level = int(level)
        else:
            raise self._fail(f"ms level {level} is not a level")
        if self.ms1 is not None and ms_level == 1:
            self._hand_on_ms1(element, spectrum_id, params)
        if self.ms_level is not None and ms_level != self.ms_level:
            return RawSpectrum(spectrum_id, ms_level, math.nan, None, [], _no_peaks)
        rt = math.nan
        precursors: list[RawPrecursor] = []
        arrays: dict[str, tuple] = {}
        tags = self._tags
        for child in element.iterchildren(tags.scanList, tags.precursorList, tags.binaryDataArrayList):
            tag = child.tag
            if tag == tags.scanList:
                if math.isnan(rt):
                    rt = self._scan_start_time(child)
            elif tag == tags.precursorList:
                for precursor in child.iterchildren(tags.precursor):
                    precursors.extend(self._precursors(precursor))
            else:
                for array in child.iterchildren(tags.binaryDataArray):
                    self._array(array, arrays)
        default_length = element.get("defaultArrayLength")
        return RawSpectrum(
            spectrum_id, ms_level, rt, self._number(params, TOTAL_ION_CURRENT, "total ion current"),
            precursors, lambda: self._decode_peaks(spectrum_id, default_length, arrays))

    def _hand_on_ms1(self, element, spectrum_id: str, params: dict[str, Param]) -> None:
        """Decodes an MS1 scan and hands it to the `ms1` sink. A scan without a start time
        cannot be placed on a chromatogram, and one whose arrays cannot be decoded has no
        peaks to give: both are left out and listed in `ms1_left_out` (id and reason)."""
        assert self.ms1 is not None
        rt = math.nan
        arrays: dict[str, tuple] = {}
        tags = self._tags
        for child in element.iterchildren(tags.scanList, tags.binaryDataArrayList):
            if child.tag == tags.scanList:
                if math.isnan(rt):
                    rt = self._scan_start_time(child)
            else:
                for array in child.iterchildren(tags.binaryDataArray):
                    self._array(array, arrays)
        if math.isnan(rt):
            self.ms1_left_out.append(f"{spectrum_id}: no scan start time")
            return
        try:
            mz, intensity = self._decode_peaks(spectrum_id, element.get("defaultArrayLength"), arrays)
        except SpectraFileError as error:
            # Only the chromatograms lose this scan; the spectra scored do not depend on it.
            self.ms1_left_out.append(f"{spectrum_id}: {error.reason}")
            return
        self.ms1(rt, mz, intensity, centroided=PROFILE_SPECTRUM not in params, scan_id=spectrum_id)

    def _scan_start_time(self, scan_list) -> float:
        for scan in scan_list.iterchildren(self._tags.scan):
            params = self._params(scan)
            value = self._number(params, SCAN_START_TIME, "scan start time")
            if value is None:
                return math.nan
            _, unit_accession, unit_name, _ = params[SCAN_START_TIME]
            if unit_accession is None and unit_name is None:
                return value  # no unit given: taken as minutes
            factor = MINUTES_PER_UNIT.get(unit_accession or "", MINUTES_PER_UNIT.get(unit_name or ""))
            if factor is None:
                raise self._fail(f"scan start time in an unknown unit {quoted(str(unit_accession or unit_name))}")
            return value * factor
        return math.nan

    def _precursors(self, precursor) -> list[RawPrecursor]:
        """One record per selected ion that has an m/z, each with the precursor's
        isolated range."""
        window: dict[str, Param] = {}
        ions = []
        tags = self._tags
        for child in precursor.iterchildren(tags.isolationWindow, tags.selectedIonList):
            if child.tag == tags.isolationWindow:
                window = self._params(child)
            else:
                ions.extend(child.iterchildren(tags.selectedIon))
        target = self._number(window, ISOLATION_TARGET, "isolation window target m/z")
        lower = self._number(window, ISOLATION_LOWER, "isolation window lower offset")
        upper = self._number(window, ISOLATION_UPPER, "isolation window upper offset")
        if lower is not None and upper is not None and not (lower >= 0 and upper >= 0
                                                             and math.isfinite(lower + upper)):
            raise self._fail(f"isolation window offsets {lower}, {upper} are not both finite and "
                             "non-negative")
        found = []
        for ion in ions:
            params = self._params(ion)
            mz = self._number(params, SELECTED_ION_MZ, "selected ion m/z")
            if mz is None:
                continue
            if not (math.isfinite(mz) and mz > 0):
                found.append(RawPrecursor(mz, ref=precursor.get("spectrumRef")))  # not searched; counted by the caller
                continue
            charge = self._number(params, CHARGE_STATE, "charge state")
            if charge is None:
                possible = [c for c in ion.iterchildren(tags.cvParam)
                            if c.get("accession") == POSSIBLE_CHARGE_STATE]
                if len(possible) == 1:
                    charge = self._number(params, POSSIBLE_CHARGE_STATE, "possible charge state")
            intensity = self._number(params, PEAK_INTENSITY, "selected ion intensity")
            isolation = None
            if lower is not None and upper is not None:
                centre = mz if target is None or not math.isfinite(target) else target
                isolation = (centre - lower, centre + upper)
            found.append(RawPrecursor(mz, None if charge is None else charge_of(charge, self._fail),
                                      intensity, isolation, precursor.get("spectrumRef")))
        return found

    def _array(self, array, arrays: dict[str, tuple]) -> None:
        """Notes the encoding and text of an m/z or intensity array; other arrays are
        ignored. Refusals wait until the array is decoded, so an array of a skipped spectrum
        never fails the file."""
        params = self._params(array)
        if MZ_ARRAY in params:
            kind = "m/z array"
        elif INTENSITY_ARRAY in params:
            kind = "intensity array"
        else:
            return
        dtype = next((DTYPES[a] for a in params if a in DTYPES), None)
        compression = ZLIB if ZLIB in params else NO_COMPRESSION
        problem = None
        for accession, (_, _, _, name) in params.items():
            lowered = name.lower()
            if accession in NUMPRESS or (accession not in (ZLIB, NO_COMPRESSION)
                                         and ("compression" in lowered or "numpress" in lowered)):
                problem = (f"{kind} is encoded with {name or accession} ({accession}), which is not "
                           "supported; convert the file with zlib or no compression")
        if kind in arrays:
            problem = f"holds two {kind}s"
        text = "".join(child.text or "" for child in array.iterchildren(self._tags.binary))
        arrays[kind] = (text, dtype, compression, array.get("arrayLength"), problem)

    def _decode_peaks(self, spectrum_id: str, default_length: str | None,
                      arrays: dict[str, tuple]) -> tuple[np.ndarray, np.ndarray]:
        fail = lambda reason: self._fail(reason, spectrum_id)  # noqa: E731
        if not arrays and default_length in ("0", None):
            return _no_peaks()
        missing = [kind for kind in ("m/z array", "intensity array") if kind not in arrays]
        if missing:
            raise fail(f"has no {missing[0]}")
        mz = _decode(arrays["m/z array"], "m/z array", default_length, fail)
        intensity = _decode(arrays["intensity array"], "intensity array", default_length, fail)
        if mz.size != intensity.size:
            raise fail(f"its m/z array holds {mz.size} values and its intensity array {intensity.size}; "
                       "each peak needs both")
        return mz, intensity


def _no_peaks() -> tuple[np.ndarray, np.ndarray]:
    return np.empty(0), np.empty(0)


class _Peaks:
    """Peaks decoded by the scanner, handed out as they are."""

    __slots__ = ("arrays",)

    def __init__(self, mz: np.ndarray, intensity: np.ndarray):
        self.arrays = (mz, intensity)

    def __call__(self) -> tuple[np.ndarray, np.ndarray]:
        return self.arrays


# The scanner's codes of the arrays' numeric types.
_DTYPE_CODES = (np.dtype("<f4"), np.dtype("<f8"), np.dtype("<i4"), np.dtype("<i8"))


def _decode(entry: tuple, kind: str, default_length: str | None, fail, native: bool = True) -> np.ndarray:
    """Decodes one base64 array (zlib-compressed or not) and checks its length: natively when
    `native` and the array is well formed, else by the reference below (same values, and the
    one place where faults are named)."""
    text, dtype, compression, array_length, problem = entry
    if problem:
        raise fail(problem)
    if dtype is None:
        raise fail(f"{kind} states no data type (32- or 64-bit float expected)")
    declared = array_length if array_length is not None else default_length
    if declared is None or not declared.strip().isdigit():
        raise fail(f"{kind} has no valid length (defaultArrayLength {quoted(declared) if declared is not None else None})")
    length = int(declared)
    if length > MAX_VALUES:
        raise fail(f"{kind} declares {length} values, more than the {MAX_VALUES} a spectrum may hold")
    if native:
        data = _native.decode_array(text, dtype.itemsize, compression == ZLIB, length)
        if data is not None:
            return np.frombuffer(data, dtype)
    return _decode_reference(text, dtype, compression, length, kind, fail)


def _decode_reference(text: str, dtype: np.dtype, compression: str, length: int, kind: str,
                      fail) -> np.ndarray:
    try:
        data = base64.b64decode(text, validate=True)
    except ValueError:
        try:  # line breaks and spaces may separate the characters; nothing else may
            data = base64.b64decode("".join(text.split()), validate=True)
        except ValueError as error:
            raise fail(f"{kind} is not valid base64 ({error})") from None
    if compression == ZLIB:
        inflater = zlib.decompressobj()
        try:
            data = inflater.decompress(data, length * dtype.itemsize + 1)
        except zlib.error as error:
            raise fail(f"{kind} is not valid zlib data ({error})") from None
        if len(data) > length * dtype.itemsize:
            raise fail(f"{kind} holds more than the {length} values the spectrum declares")
        if not inflater.eof:
            raise fail(f"{kind}: the zlib data is truncated")
    if len(data) % dtype.itemsize:
        raise fail(f"{kind} holds {len(data)} bytes, not a whole number of {8 * dtype.itemsize}-bit values")
    values = np.frombuffer(data, dtype)
    if values.size != length:
        raise fail(f"{kind} holds {values.size} values where the spectrum declares {length}")
    return values
