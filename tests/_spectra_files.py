"""Small mzML and MGF files written by hand for the reading tests and the fuzzer, and the
expected prepared peaks, computed without the package's code."""

from __future__ import annotations

import base64
import gzip
import math
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

PROTON = 1.0072764


@dataclass
class Ion:
    """A precursor: selected ion and, optionally, the isolation window around a target."""

    mz: float
    charge: int | None = None
    intensity: float | None = None
    target: float | None = None
    lower: float | None = None
    upper: float | None = None
    possible_charges: tuple[int, ...] = ()
    ref: str | None = None      # the spectrum it was selected from (spectrumRef)


@dataclass
class Scan:
    id: str
    mz: list[float]
    intensity: list[float]
    ms_level: int = 2
    precursors: list[Ion] = field(default_factory=list)
    rt_seconds: float | None = None
    tic: float | None = None


def _cv(accession: str, name: str, value=None, unit: tuple[str, str] | None = None) -> str:
    text = f'<cvParam cvRef="MS" accession="{accession}" name="{name}"'
    if value is not None:
        text += f' value="{value!r}"' if isinstance(value, float) else f' value="{value}"'
    if unit is not None:
        text += f' unitCvRef="UO" unitAccession="{unit[0]}" unitName="{unit[1]}"'
    return text + "/>"


def _array(values: list[float], accession: str, name: str, bits: int, compress: bool,
           encoding: tuple[str, str] | None = None) -> str:
    data = np.asarray(values, dtype="<f4" if bits == 32 else "<f8").tobytes()
    if compress:
        data = zlib.compress(data)
    text = base64.b64encode(data).decode()
    dtype = _cv("MS:1000521", "32-bit float") if bits == 32 else _cv("MS:1000523", "64-bit float")
    encoding = encoding or (("MS:1000574", "zlib compression") if compress else ("MS:1000576", "no compression"))
    return (f'<binaryDataArray encodedLength="{len(text)}">{_cv(accession, name)}{dtype}{_cv(*encoding)}'
            f"<binary>{text}</binary></binaryDataArray>")


def _precursor(ion: Ion) -> str:
    window = ""
    if ion.lower is not None:
        window = ("<isolationWindow>"
                  + (_cv("MS:1000827", "isolation window target m/z", ion.target) if ion.target is not None else "")
                  + _cv("MS:1000828", "isolation window lower offset", ion.lower)
                  + _cv("MS:1000829", "isolation window upper offset", ion.upper)
                  + "</isolationWindow>")
    params = _cv("MS:1000744", "selected ion m/z", ion.mz)
    if ion.charge is not None:
        params += _cv("MS:1000041", "charge state", ion.charge)
    for charge in ion.possible_charges:
        params += _cv("MS:1000633", "possible charge state", charge)
    if ion.intensity is not None:
        params += _cv("MS:1000042", "peak intensity", ion.intensity)
    ref = f' spectrumRef="{ion.ref}"' if ion.ref is not None else ""
    return (f"<precursor{ref}>{window}<selectedIonList count=\"1\"><selectedIon>{params}</selectedIon>"
            "</selectedIonList><activation>" + _cv("MS:1000133", "collision-induced dissociation")
            + "</activation></precursor>")


def mzml_text(scans: list[Scan], *, indexed: bool = True, compress: bool = False, mz_bits: int = 64,
              intensity_bits: int = 32, rt_unit: str = "second", mz_encoding=None,
              length_offset: int = 0, namespace: bool = True) -> bytes:
    """An mzML file; `length_offset` declares arrays longer (or shorter) than they are,
    `mz_encoding` replaces the m/z array's compression term."""
    unit = ("UO:0000010", "second") if rt_unit == "second" else ("UO:0000031", "minute")
    xmlns = ' xmlns="http://psi.hupo.org/ms/mzml"' if namespace else ""
    head = (f'<?xml version="1.0" encoding="utf-8"?>\n'
            + (f"<indexedmzML{xmlns}>\n" if indexed else "")
            + f'<mzML{xmlns} version="1.1.0">\n<cvList count="1"><cv id="MS" fullName="PSI-MS"/></cvList>\n'
            f'<run id="run1"><spectrumList count="{len(scans)}" defaultDataProcessingRef="dp">\n')
    parts = [head.encode()]
    size = len(parts[0])
    offsets = []
    for index, scan in enumerate(scans):
        offsets.append((scan.id, size))
        params = _cv("MS:1000511", "ms level", scan.ms_level)
        if scan.tic is not None:
            params += _cv("MS:1000285", "total ion current", scan.tic)
        scan_list = ""
        if scan.rt_seconds is not None:
            value = scan.rt_seconds if rt_unit == "second" else scan.rt_seconds / 60
            scan_list = f'<scanList count="1"><scan>{_cv("MS:1000016", "scan start time", value, unit)}</scan></scanList>'
        precursors = ""
        if scan.precursors:
            precursors = (f'<precursorList count="{len(scan.precursors)}">'
                          + "".join(_precursor(ion) for ion in scan.precursors) + "</precursorList>")
        arrays = (_array(scan.mz, "MS:1000514", "m/z array", mz_bits, compress, encoding=mz_encoding)
                  + _array(scan.intensity, "MS:1000515", "intensity array", intensity_bits, compress))
        parts.append((f'<spectrum index="{index}" id="{scan.id}" defaultArrayLength="{len(scan.mz) + length_offset}">\n'
                      f"{params}\n{scan_list}\n{precursors}\n"
                      f'<binaryDataArrayList count="2">\n{arrays}\n</binaryDataArrayList>\n</spectrum>\n').encode())
        size += len(parts[-1])
    body = b"".join(parts) + b"</spectrumList></run>\n</mzML>\n"
    if indexed:
        index_offset = len(body)
        body += b'<indexList count="1"><index name="spectrum">\n'
        body += b"".join(f'<offset idRef="{sid}">{offset}</offset>\n'.encode() for sid, offset in offsets)
        body += f"</index></indexList>\n<indexListOffset>{index_offset}</indexListOffset>\n</indexedmzML>\n".encode()
    return body


def mgf_text(scans: list[Scan], *, header: str = "", newline: str = "\n") -> bytes:
    """An MGF file: TITLE, PEPMASS (with intensity when given), CHARGE, RTINSECONDS."""
    lines = [header] if header else []
    for scan in scans:
        lines.append("BEGIN IONS")
        lines.append(f"TITLE={scan.id}")
        if scan.precursors:
            ion = scan.precursors[0]
            lines.append(f"PEPMASS={ion.mz!r}" + (f" {ion.intensity!r}" if ion.intensity is not None else ""))
            if ion.charge is not None:
                lines.append(f"CHARGE={ion.charge}+")
        if scan.rt_seconds is not None:
            lines.append(f"RTINSECONDS={scan.rt_seconds!r}")
        lines.extend(f"{m!r} {i!r}" for m, i in zip(scan.mz, scan.intensity))
        lines.append("END IONS")
        lines.append("")
    return newline.join(lines).encode()


def write(path: Path, data: bytes, gz: bool = False) -> Path:
    path.write_bytes(gzip.compress(data) if gz else data)
    return path


def expected_peaks(mz: list[float], intensity: list[float], top: int | None = 150,
                   mz_bits: int = 64) -> list[tuple[float, float]]:
    """Peaks as the core should get them: positive finite intensities (rounded to 32 bits),
    the `top` most intense (the lower m/z first among equals), m/z (as the file holds it)
    minus one proton rounded once to 32 bits, ascending."""
    with np.errstate(over="ignore"):
        shifted = [float(np.float32((float(np.float32(m)) if mz_bits == 32 else m) - PROTON)) for m in mz]
        rounded = [float(np.float32(v)) for v in intensity]
    kept = [(i, m) for m, i in zip(shifted, rounded) if math.isfinite(i) and i > 0 and math.isfinite(m)]
    kept.sort(key=lambda pair: (-pair[0], pair[1]))
    if top is not None:
        kept = kept[:top]
    kept.sort(key=lambda pair: pair[1])
    return [(m, i) for i, m in kept]


def sample_scans() -> list[Scan]:
    """An MS1 scan, MS2 scans with and without charge, with two possible charges, with an
    isolation window off its selected ion, and MS2 scans without precursor and without peaks."""
    return [
        Scan("scan=1", [300.0, 400.5, 500.25], [10.0, 20.0, 30.0], ms_level=1, rt_seconds=60.0, tic=60.0),
        Scan("scan=2", [150.125, 110.5, 175.0, 300.75, 120.0], [5.0, 0.0, 7.5, 7.5, 2.0],
             precursors=[Ion(445.12345678, 2, 1.5e6, target=445.12345678, lower=1.0, upper=1.0)],
             rt_seconds=63.0, tic=1234.5),
        Scan("scan=3", [200.5, 210.25, 220.125], [3.0, float("nan"), 1.0],
             precursors=[Ion(612.3, None, None, target=612.8, lower=0.75, upper=1.25)], rt_seconds=66.0),
        Scan("scan=4", [101.0, 102.0], [1.0, 2.0], precursors=[Ion(512.5, possible_charges=(2, 3))]),
        Scan("scan=5", [101.0, 102.0], [1.0, 2.0]),
        Scan("scan=6", [101.0, 102.0], [0.0, -3.0], precursors=[Ion(512.5, 2)]),
    ]
