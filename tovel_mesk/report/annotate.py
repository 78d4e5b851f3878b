"""Annotated spectra: a match's peaks with its b and y ions labelled, and the peptide's
fragment ladder, drawn as SVG.

The search keeps no peaks, so the few spectra drawn are read again from the input file by
their native id (`read_peaks`). An indexed mzML file is not read through: its index (the
spectrum offsets at its end) places each spectrum asked for, and only those are cut out and
parsed. Other files (plain mzML, MGF, compressed files, or an index that does not place a
spectrum at the offset it states) take one pass that decodes only the peaks asked for and
stops once it has them all; both ways give the same peaks. `annotate` finds each b and y ion of a peptide
(charges 1 up to one less than the precursor's, at most 3) among the peaks within the
fragment tolerance, taking the most intense peak in the window, and gives the signed mass
error of each, in daltons or ppm as the tolerance is given.
"""

from __future__ import annotations

import gzip
import html
import io
import mmap
import os
import re
import zlib
from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np

from ..conventions import Tolerance
from ..errors import SpectraFileError
from ..io.mzml import MzmlReader
from ..io.spectra import open_spectra, spectra_format, spectra_records
from .peptidoforms import fragment_ladder, parse_peptidoform
from .svg import Panel

__all__ = ["Peaks", "Annotation", "read_peaks", "annotate", "spectrum_svg", "draw_match", "svg_to_png",
           "B_COLOR", "Y_COLOR"]

B_COLOR, Y_COLOR, _PEAK_COLOR = "#1f77b4", "#d62728", "#9a9a9a"
#: Most ion labels written over a spectrum (the most intense matched peaks get them).
MAX_LABELS = 30


@dataclass(frozen=True)
class Peaks:
    """One spectrum's peaks as the file holds them (m/z, not shifted by a proton)."""

    id: str
    mz: np.ndarray
    intensity: np.ndarray
    precursor_mz: float | None
    charge: int | None


def read_peaks(path: str | os.PathLike, ids: Iterable[str], *, ms_level: int = 2) -> dict[str, Peaks]:
    """The peaks of the spectra with these native ids (mzML) or titles (MGF) in `path`
    (plain or gzip-compressed). Ids the file lacks are missing from the result; raises
    `SpectraFileError` for a damaged file and OSError when it cannot be opened."""
    path = os.fspath(path)
    wanted = set(ids)
    found: dict[str, Peaks] = {}
    if not wanted:
        return found
    document = indexed_spectra(path, wanted)
    if document is not None:
        for raw in MzmlReader(path, io.BytesIO(document), ms_level):
            if raw.id in wanted:
                found[raw.id] = _peaks(raw)
        if len(found) == len(wanted):
            return found
        found.clear()  # the index misled: read the file through
    try:
        with open_spectra(path) as opened:
            for raw in spectra_records(path, opened, spectra_format(path, opened), ms_level):
                if raw.id not in wanted:
                    continue
                found[raw.id] = _peaks(raw)
                if len(found) == len(wanted):
                    break
    except (EOFError, zlib.error, gzip.BadGzipFile) as error:
        raise SpectraFileError(path, None, f"the gzip compression is damaged ({error})") from error
    return found


def _peaks(raw) -> Peaks:
    mz, intensity = raw.peaks()
    precursor = raw.precursors[0] if raw.precursors else None
    return Peaks(raw.id, np.asarray(mz, np.float64), np.asarray(intensity, np.float64),
                 precursor.mz if precursor else None, precursor.charge if precursor else None)


#: Bytes at the end of a file searched for its index's offset.
_TAIL_BYTES = 4096
_INDEX_OFFSET = re.compile(rb"<indexListOffset>\s*(\d+)\s*</indexListOffset>")
_SPECTRUM_INDEX = re.compile(rb'<index\s+name="spectrum"\s*>(.*?)</index>', re.S)
_OFFSET = re.compile(rb'<offset\s+idRef="([^"]*)"\s*>\s*(\d+)\s*</offset>')
_SPECTRUM_ID = re.compile(rb'<spectrum\b[^>]*?\sid="([^"]*)"')
_SPECTRUM_END = b"</spectrum>"
_ENTITIES = {b"&quot;": b'"', b"&apos;": b"'", b"&lt;": b"<", b"&gt;": b">"}


def _unescape(text: bytes) -> str:
    for entity, char in _ENTITIES.items():
        text = text.replace(entity, char)
    return text.replace(b"&amp;", b"&").decode("utf-8", "replace")


def indexed_spectra(path: str | os.PathLike, ids: Iterable[str]) -> bytes | None:
    """A small mzML document with the head of the indexed mzML file at `path` (everything
    before its first spectrum) and the spectra with these native ids, cut out at the
    offsets its index states, in file order; closed as the file would be.

    None when that cannot be trusted, and the caller reads the file through: the file is
    compressed, empty or not indexed, its index is damaged or lacks an id, or an offset does
    not start the `<spectrum>` of that id."""
    wanted = set(ids)
    try:
        with open(path, "rb") as file:
            if os.fstat(file.fileno()).st_size < 2 or file.read(2) == b"\x1f\x8b":
                return None
            with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as view:
                return _cut(view, wanted)
    except (OSError, ValueError):
        return None


def _cut(view, wanted: set[str]) -> bytes | None:
    size = len(view)
    tail = _INDEX_OFFSET.findall(view[max(0, size - _TAIL_BYTES):])
    if not tail or not 0 < int(tail[-1]) < size:
        return None
    index = _SPECTRUM_INDEX.search(view, int(tail[-1]))
    if index is None:
        return None
    offsets = {_unescape(ref): int(at) for ref, at in _OFFSET.findall(index.group(1))}
    if not offsets or not wanted <= offsets.keys():
        return None
    first = min(offsets.values())
    head = view[:first]
    if b"<spectrumList" not in head:
        return None
    parts = [head]
    for spectrum_id in sorted(wanted, key=offsets.__getitem__):
        at = offsets[spectrum_id]
        end = view.find(_SPECTRUM_END, at) if at < size else -1
        found = _SPECTRUM_ID.match(view, at) if end >= 0 else None
        if found is None or _unescape(found.group(1)) != spectrum_id:
            return None
        parts.append(view[at:end + len(_SPECTRUM_END)] + b"\n")
    parts.append(b"</spectrumList></run></mzML>" + (b"</indexedmzML>" if b"<indexedmzML" in head else b""))
    return b"".join(parts)


@dataclass(frozen=True)
class Annotation:
    """The ions of a peptide found in a spectrum: per ion its series ("b" or "y"), ordinal,
    charge, calculated m/z, the index of the peak that matched it and its signed error
    (observed less calculated, in `unit`)."""

    peptide: str
    sequence: str
    peaks: Peaks
    kinds: list[str]
    ordinals: np.ndarray
    charges: np.ndarray
    calculated: np.ndarray
    peak_index: np.ndarray
    errors: np.ndarray
    unit: str

    def found(self, kind: str) -> set[int]:
        """The ordinals of the series `kind` found at any charge."""
        return {int(o) for k, o in zip(self.kinds, self.ordinals) if k == kind}


def annotate(peaks: Peaks, peptide: str, charge: int, tolerance: Tolerance | str) -> Annotation:
    """The b and y ions of `peptide` (ProForma with mass modifications) at charges 1 to
    ``min(charge - 1, 3)`` (at least 1) matched to `peaks` within `tolerance`."""
    tol = Tolerance.parse(tolerance) if isinstance(tolerance, str) else tolerance
    form = parse_peptidoform(peptide)
    order = np.argsort(peaks.mz, kind="stable")
    mz, intensity = peaks.mz[order], peaks.intensity[order]
    kinds: list[str] = []
    ordinals, charges, calculated, index, errors = [], [], [], [], []
    for z in range(1, max(1, min(int(charge) - 1, 3)) + 1):
        for kind, ions in fragment_ladder(form, z).items():
            scale = ions * 1e-6 if tol.unit == "ppm" else np.ones_like(ions)
            low = np.searchsorted(mz, ions + tol.lower * scale, side="left")
            high = np.searchsorted(mz, ions + tol.upper * scale, side="right")
            for i, (a, b) in enumerate(zip(low, high)):
                if a == b:
                    continue
                best = a + int(np.argmax(intensity[a:b]))
                error = mz[best] - ions[i]
                kinds.append(kind)
                ordinals.append(i + 1)
                charges.append(z)
                calculated.append(ions[i])
                index.append(int(order[best]))
                errors.append(error / ions[i] * 1e6 if tol.unit == "ppm" else error)
    return Annotation(peptide, form.sequence, peaks, kinds, np.array(ordinals, int), np.array(charges, int),
                      np.array(calculated, float), np.array(index, int), np.array(errors, float),
                      "ppm" if tol.unit == "ppm" else "Da")


def _ion_name(kind: str, ordinal: int, charge: int) -> str:
    return f"{kind}{ordinal}" + ("+" * charge if charge > 1 else "")


def _ladder(annotation: Annotation, width: float) -> str:
    """The peptide's residues in a row, with a b mark below the gap after each residue whose
    b ion was found and a y mark above the gap whose y ion was found."""
    sequence = annotation.sequence
    n = len(sequence)
    step = min(34.0, (width - 80) / max(n, 1))
    x0 = (width - step * n) / 2
    b_found, y_found = annotation.found("b"), annotation.found("y")
    out = []
    for i, residue in enumerate(sequence):
        out.append(f'<text x="{x0 + step * (i + 0.5):.1f}" y="42" text-anchor="middle" font-size="18" '
                   f'font-family="monospace">{residue}</text>')
    for i in range(1, n):
        x = x0 + step * i
        if i in b_found:   # b_i: the first i residues
            out.append(f'<path d="M{x:.1f},30V50h-7" stroke="{B_COLOR}" stroke-width="2" fill="none"/>'
                       f'<text x="{x - 4:.1f}" y="64" font-size="10" fill="{B_COLOR}" text-anchor="middle">'
                       f'b{i}</text>')
        if n - i in y_found:   # y_(n-i): the last n-i residues
            out.append(f'<path d="M{x:.1f},50V30h7" stroke="{Y_COLOR}" stroke-width="2" fill="none"/>'
                       f'<text x="{x + 4:.1f}" y="24" font-size="10" fill="{Y_COLOR}" text-anchor="middle">'
                       f'y{n - i}</text>')
    return "".join(out)


def spectrum_svg(annotation: Annotation, title: str = "", width: int = 900, height: int = 440) -> str:
    """The annotated spectrum as one SVG element: the title (its lines split at newlines),
    the fragment ladder, and the peaks (grey; b ions blue, y ions red, the most intense matched ones labelled)."""
    peaks = annotation.peaks
    panel = Panel(width, height - 84)
    top = float(peaks.intensity.max()) if peaks.intensity.size else 1.0
    relative = peaks.intensity / (top or 1.0) * 100
    matched = np.zeros(peaks.mz.size, bool)
    matched[annotation.peak_index] = True
    panel.sticks(peaks.mz[~matched], relative[~matched], _PEAK_COLOR, "unmatched peak")
    kinds = np.array(annotation.kinds, dtype=object)
    for kind, color in (("b", B_COLOR), ("y", Y_COLOR)):
        chosen = np.unique(annotation.peak_index[kinds == kind]) if kinds.size else np.zeros(0, int)
        panel.sticks(peaks.mz[chosen], relative[chosen], color,
                     f"{kind} ions ({len(annotation.found(kind))} of {len(annotation.sequence) - 1})", width=1.6)
    # Labels for the most intense matched peaks, one per peak (the lowest charge first).
    # A label is left out where it would overlap one already placed (about 4% of the m/z
    # range apart and 7% of the height).
    labelled: dict[int, str] = {}
    span = float(np.ptp(peaks.mz)) if peaks.mz.size else 1.0
    for j in np.argsort(-relative[annotation.peak_index], kind="stable") if kinds.size else []:
        peak = int(annotation.peak_index[j])
        if peak in labelled or len(labelled) >= MAX_LABELS:
            continue
        if any(abs(peaks.mz[peak] - peaks.mz[other]) < 0.04 * span and abs(relative[peak] - relative[other]) < 7
               for other in labelled):
            continue
        labelled[peak] = _ion_name(annotation.kinds[j], int(annotation.ordinals[j]), int(annotation.charges[j]))
    for peak, name in labelled.items():
        panel.label(peaks.mz[peak], relative[peak], name, B_COLOR if name[0] == "b" else Y_COLOR)
    panel.ylim = (0.0, 112.0)
    panel.xlabel = "m/z"
    panel.ylabel = "relative intensity (%)"
    if not peaks.mz.size:
        panel.empty("the spectrum holds no peaks")
    # The title: one line per part given (the drawing grows to hold them), long ones cut.
    lines = [line if len(line) <= 120 else line[:119] + "…" for line in title.split("\n") if line]
    head = 16 * len(lines)
    texts = "".join(f'<text x="10" y="{14 + 16 * i}" font-size="13">{html.escape(line)}</text>'
                    for i, line in enumerate(lines))
    total = height + head
    return (f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width} {total}" width="{width}" '
            f'height="{total}" font-family="sans-serif">'
            f'<rect width="{width}" height="{total}" fill="#fff"/>{texts}'
            f'<g transform="translate(0,{head})">{_ladder(annotation, width)}</g>'
            f'<svg y="{head + 70}" width="{width}" height="{height - 84}">{panel.svg()}</svg></svg>')


def draw_match(directory: str | os.PathLike, spec_id: str, *, rank: int = 1, file: str | None = None) -> str:
    """The annotated spectrum of one match of a finished search in `directory` (its
    psms.parquet or psms.tsv and summary.json), as SVG text. `file` picks the spectra file
    when several hold a spectrum with this id. Raises LookupError (naming what was looked
    for) for a folder without results and a match the tables lack, and OSError or
    `SpectraFileError` when its spectra file cannot be read."""
    import json
    from pathlib import Path

    import pandas as pd

    folder = Path(directory)
    parquet, tsv, summary_path = folder / "psms.parquet", folder / "psms.tsv", folder / "summary.json"
    if not summary_path.is_file() or not (parquet.is_file() or tsv.is_file()):
        raise LookupError(f"{folder}: no finished search here (psms.parquet or psms.tsv, and summary.json)")
    summary = json.loads(summary_path.read_text(encoding="utf-8"))
    settings = summary.get("settings") or {}
    columns = ["file", "spec_id", "rank", "peptide", "charge", "label"]
    if parquet.is_file():
        table = pd.read_parquet(parquet, columns=columns, filters=[("spec_id", "==", spec_id)])
    else:
        table = pd.concat(chunk[chunk["spec_id"].astype(str) == spec_id]
                          for chunk in pd.read_csv(tsv, sep="\t", usecols=columns, chunksize=200_000))
    table = table[table["spec_id"].astype(str) == spec_id]
    if file is not None:
        table = table[table["file"].astype(str) == file]
    if table.empty:
        raise LookupError(f"{folder}: no match of spectrum {spec_id!r}" + (f" in {file}" if file else ""))
    files = sorted(set(table["file"].astype(str)))
    if len(files) > 1:
        raise LookupError(f"{folder}: spectrum {spec_id!r} is in several files ({', '.join(files)}); "
                          "name one with --file")
    chosen = table[table["rank"].astype(int) == int(rank)]
    if chosen.empty:
        ranks = ", ".join(str(r) for r in sorted(set(table["rank"].astype(int))))
        raise LookupError(f"{folder}: spectrum {spec_id!r} has no match of rank {rank} (ranks: {ranks})")
    row = chosen.iloc[0]
    paths = settings.get("spectra") or []
    path = next((str(p) for p in ([paths] if isinstance(paths, str) else paths) if Path(str(p)).name == files[0]),
                None)
    if path is None:
        raise LookupError(f"{folder}: the summary names no searched file {files[0]!r}")
    peaks = read_peaks(path, [spec_id], ms_level=int(settings.get("ms_level", 2)))
    if spec_id not in peaks:
        raise LookupError(f"{path}: no spectrum {spec_id!r} of MS level {settings.get('ms_level', 2)}")
    annotation = annotate(peaks[spec_id], str(row["peptide"]), int(row["charge"]),
                          str(settings.get("fragment_tol", "10ppm")))
    kind = "decoy" if int(row["label"]) < 0 else "target"
    title = f"{row['peptide']} ({int(row['charge'])}+, rank {int(row['rank'])}, {kind})\n{files[0]}, {spec_id}"
    return spectrum_svg(annotation, title)


def svg_to_png(svg: str, path: str | os.PathLike) -> str:
    """Writes `svg` as a PNG file with the first converter found: rsvg-convert, the cairosvg
    package, or a headless Chromium; returns the converter's name. RuntimeError when none is
    available or the conversion fails."""
    import re
    import shutil
    import subprocess
    import tempfile

    path = os.fspath(path)
    if shutil.which("rsvg-convert"):
        subprocess.run(["rsvg-convert", "-f", "png", "-o", path], input=svg.encode(), check=True, timeout=120)
        return "rsvg-convert"
    try:
        import cairosvg  # type: ignore[import-not-found]
    except ImportError:
        pass
    else:
        cairosvg.svg2png(bytestring=svg.encode(), write_to=path)
        return "cairosvg"
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        raise RuntimeError("no SVG to PNG converter found (rsvg-convert, the cairosvg package or chromium); "
                           "write an .svg file instead")
    size = re.search(r'width="(\d+)" height="(\d+)"', svg)
    width, height = (size.group(1), size.group(2)) if size else ("900", "440")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    with tempfile.TemporaryDirectory() as folder:
        page = os.path.join(folder, "match.html")
        with open(page, "w", encoding="utf-8") as out:
            out.write(f'<!DOCTYPE html><html><body style="margin:0">{svg}</body></html>')
        result = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                                 f"--window-size={width},{height}", f"--screenshot={os.path.abspath(path)}",
                                 "file://" + page], capture_output=True, timeout=120, env=env)
    if result.returncode != 0 or not os.path.isfile(path):
        raise RuntimeError(f"chromium could not draw the PNG: {result.stderr.decode(errors='replace')[-300:]}")
    return "chromium"
