"""Scoring spectra into a match table.

`score_columns` scores spectra with the search core in chunks and returns the matches as
columns (one numpy array per name of `tovel_mesk.columns`), never as one Python object per
match: numeric columns are views over the buffers the core fills, and string columns hold
one string object per spectrum or per peptide, shared by every row that refers to it.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import queue
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np

from .. import _native
from ..columns import match_column_names
from ..config import HIGH_RESOLUTION_FRAGMENT_TOL, SEARCH, SearchSettings
from ..conventions import Tolerance, isotope_steps, scan_number
from .interrupt import interruptible
from .outcome import FileResult

if TYPE_CHECKING:
    import _tovel_mesk as tm

    from ..io.spectra import HeldSpectra, MassCorrection
    from ..quant.isobaric import ReporterPlan


__all__ = ["score_columns", "match_column_names", "make_scorer", "search_file", "read_ahead", "window_xcorrs"]

#: Spectra scored per call into the core: bounds the memory the core's result records take.
DEFAULT_CHUNK_SIZE = 4096


def score_columns(scorer, db, spectra: Iterable, *, file: str | Sequence[str] | None = None,
                  threads: int | None = None, low_res: bool = True, min_ion_index: int = 0,
                  null_seed: int | None = None, adaptive_null: bool = True, delta_xcorr: bool = True,
                  chunk_size: int = DEFAULT_CHUNK_SIZE, progress: Callable[[int], None] | None = None,
                  scans: Sequence[int] | None = None) -> dict[str, np.ndarray]:
    """Scores `spectra` (an iterable of `PyProcessedSpectrum`) against `db` with `scorer`.

    The matches are exactly those of `scorer.score_many_spectra(db, spectra)`: same rows,
    same numbers, rows in spectrum order and by rank within a spectrum. The interpreter lock
    is released while the core scores.

    - `file`: the `file` column; one name for every spectrum, or a sequence of names indexed
      by the spectra's `file_id`. Left out, the column holds the `file_id` as text.
    - `threads`: worker threads; None or 0: one per processor this process may run on.
    - `low_res`: add the columns of `tovel_mesk.columns.LOW_RES_FEATURES`.
    - `min_ion_index`: fragment ions of this many residues or fewer are left out of the
      low-resolution features (0: every ion, as the search command does).
    - `null_seed`: seed of the generated peptides behind `log10_evalue` (None: the usual
      one). The features are deterministic for any seed; another seed shows how much a
      result owes to the draw.
    - `adaptive_null`: stop drawing generated peptides once the tail fit of a spectrum's
      null is stable (False: all 2,000 for every spectrum and charge, as earlier versions).
    - `delta_xcorr`: with `low_res`, score every candidate in the precursor windows for
      `delta_xcorr` (False: the column is left out, the candidates are only counted for
      `log10_evalue`, and every other column keeps its values to the bit). High-resolution
      spectra leave it out (`window_xcorrs`).
    - `chunk_size`: spectra per call into the core; memory is bounded by the chunk, not by
      the number of spectra, so a generator of spectra may be passed.
    - `progress`: called with the number of spectra scored so far after each chunk.
    - `scans`: the scan number of each spectrum by its position in `spectra` (a reader's
      `scan_numbers`, which may grow as spectra are drawn). Left out, scan numbers are read
      from the spectra's ids (`tovel_mesk.conventions.scan_number`); -1 where none is stated.

    Returns a dict from column name (`match_column_names(low_res)`, less `delta_xcorr` when
    it is not scored) to a numpy array, one
    row per match, typed as `tovel_mesk.columns.MATCH_DTYPES` says (text columns are object
    arrays of `str`).
    """
    threads = _default_threads() if threads is None or (_is_int(threads) and threads == 0) else threads
    threads = _positive("threads", threads)
    chunk_size = _positive("chunk_size", chunk_size)
    min_ion_index = _non_negative("min_ion_index", min_ion_index)
    if null_seed is not None:
        null_seed = _non_negative("null_seed", null_seed)

    chunks: list[dict[str, np.ndarray]] = []
    iterator = iter(spectra)
    done = 0
    while True:
        chunk = list(itertools.islice(iterator, chunk_size))
        if not chunk and chunks:
            break
        # Scored off the main thread, so that Ctrl-C is not held back by a large chunk.
        scored = interruptible(_native.score_columns, scorer, db, chunk, threads, bool(low_res), min_ion_index,
                               null_seed, bool(adaptive_null), False, bool(delta_xcorr))
        columns = {name: np.frombuffer(buffer, dtype=dtype) for name, dtype, buffer in scored}
        spec_ids = _objects([spectrum.id for spectrum in chunk])
        index = columns.pop("spectrum_index")
        columns["spec_id"] = spec_ids[index]
        columns["scan"] = _chunk_scans(chunk, spec_ids, scans, done)[index]
        chunks.append(columns)
        done += len(chunk)
        if progress is not None and chunk:
            progress(done)
        if not chunk:
            break

    merged = chunks[0] if len(chunks) == 1 else {
        name: np.concatenate([c[name] for c in chunks]) for name in chunks[0]}
    merged["file"] = _file_column(file, merged["file_id"])
    merged["sequence"], merged["peptide"], merged["proteins"] = _peptide_labels(db, merged["peptide_idx"])
    merged["native_id"] = merged["spec_id"]
    merged["isotope_step"] = isotope_steps(merged["isotope_error"])
    return {name: merged[name] for name in match_column_names(low_res) if delta_xcorr or name != "delta_xcorr"}


def _chunk_scans(chunk: list, spec_ids: np.ndarray, scans: Sequence[int] | None, first: int) -> np.ndarray:
    """The scan number of each spectrum of a chunk whose first spectrum is at position `first`."""
    if scans is None:
        return np.fromiter((scan_number(i) for i in spec_ids), dtype=np.int64, count=len(chunk))
    if len(scans) < first + len(chunk):
        raise ValueError(f"scans holds {len(scans)} scan numbers, fewer than the {first + len(chunk)} "
                         "spectra drawn")
    return np.asarray(scans[first:first + len(chunk)], dtype=np.int64)


def _default_threads() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not every platform can tell
        return os.cpu_count() or 1


def _is_int(value) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool)


def _positive(name: str, value) -> int:
    if not _is_int(value) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return int(value)


def _non_negative(name: str, value) -> int:
    if not _is_int(value) or value < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {value!r}")
    return int(value)


def _file_column(file, file_id: np.ndarray) -> np.ndarray:
    if file is None:
        unique, codes = np.unique(file_id, return_inverse=True)
        return _objects([str(int(i)) for i in unique])[codes]
    if isinstance(file, (str, os.PathLike)):
        return _objects([os.fspath(file)])[np.zeros(len(file_id), dtype=np.intp)]
    names = _objects([os.fspath(name) for name in file])
    if len(file_id) and int(file_id.max()) >= len(names):
        raise ValueError(f"a spectrum has file_id {int(file_id.max())}, but only {len(names)} file "
                         "names were given")
    return names[file_id.astype(np.intp)]


def _peptide_labels(db, peptide_idx: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Sequence, ProForma text and accessions of each match's peptide: one string object
    per distinct peptide, shared by the rows that refer to it."""
    unique, codes = np.unique(peptide_idx, return_inverse=True)
    sequences, proformas, proteins = _native.peptide_labels(db, unique.tolist())
    return _objects(sequences)[codes], _objects(proformas)[codes], _objects(proteins)[codes]


def _objects(strings: list) -> np.ndarray:
    """A 1-d object array of the given strings (numpy would make a fixed-width array)."""
    out = np.empty(len(strings), dtype=object)
    out[:] = strings
    return out


#: Fragments matched within this many daltons at 1,000 m/z are high-resolution ones (the
#: bound `tovel_mesk.search.plan` also holds a forced tolerance to).
HIGH_RESOLUTION_WIDTH_DA = 0.1


def window_xcorrs(settings: SearchSettings) -> bool:
    """Whether `delta_xcorr` is computed for a file searched with these settings: not when its
    fragments are matched within `HIGH_RESOLUTION_WIDTH_DA` at 1,000 m/z (high-resolution
    spectra). There the cross-correlation of every candidate in the precursor windows, on unit
    bins, took more than half the time of the features and added no correct spectrum at 1%
    on the simulated Orbitrap run; `xcorr` and `log10_evalue`, which did add some, are kept."""
    tol = settings.fragment_tol
    return not (isinstance(tol, Tolerance) and tol.width(1000.0) <= HIGH_RESOLUTION_WIDTH_DA)


def make_scorer(settings: SearchSettings) -> tm.PyScorer:
    """The scorer that the settings of the search stage describe. A `fragment_tol` of
    "auto", which a search settles for each file (`tovel_mesk.search.plan`), is taken as
    the high-resolution 10 ppm here, the fragment tolerance of earlier versions."""
    import _tovel_mesk as tm  # noqa: PLC0415

    arguments = settings.arguments(SEARCH)
    if not isinstance(arguments["fragment_tol"], Tolerance):
        arguments["fragment_tol"] = HIGH_RESOLUTION_FRAGMENT_TOL
    for name in ("precursor_tol", "fragment_tol"):
        arguments[name] = arguments[name].core()
    return tm.PyScorer(**arguments, annotate_matches=False)


def search_file(settings: SearchSettings, scorer: tm.PyScorer, db: tm.PyIndexedDatabase, path: str | Path,
                file_id: int, *, progress: Callable[[int, int], None] | None = None,
                null_seed: int | None = None, calibration: MassCorrection | None = None,
                held: HeldSpectra | None = None, reporters: ReporterPlan | None = None,
                ms1: bool = False) -> FileResult:
    """Reads and scores one spectra file in chunks. `progress`, when given, is called after
    each chunk with (spectra read so far, spectra in the file or 0 when unknown).
    `null_seed`: seed of the generated peptides behind `log10_evalue` (None: the usual one;
    see `tovel_mesk.search.scoring.score_columns`). `calibration`: the correction of the
    file's m/z values (`tovel_mesk.search.calibration`), None for none. `held`: the file's
    spectra as an earlier pass read them (`tovel_mesk.io.spectra.HeldSpectra`), prepared
    instead of reading the file again. `reporters`: how the file's isobaric reporter ions
    are read (`tovel_mesk.quant.isobaric`), in the same pass, and removed from the peaks
    before scoring; None for none. `ms1`: also keep the file's MS1 scans, met in the
    same pass (or in the pass that held the spectra), as the result's `ms1` (an mzML file's
    centroids; MGF files hold none, which the result's `ms1_notes` say).

    The spectra are read and prepared on a thread of their own, `READ_AHEAD` chunks ahead of
    the scoring (which runs without the interpreter lock), so reading overlaps scoring and
    memory holds a few chunks, never the file. The `reading` seconds of the result are the
    time the scoring waited for spectra."""
    from ..io.spectra import SpectraReader  # noqa: PLC0415

    path = Path(path)
    collector = None
    if reporters is not None:
        from ..quant.isobaric import ReporterCollector  # noqa: PLC0415

        collector = ReporterCollector(reporters)
    reader = SpectraReader(path, ms_level=settings.ms_level, top_peaks=settings.top_peaks,
                           chunk_size=settings.chunk_size, file_id=file_id, calibration=calibration, held=held,
                           reporters=collector)
    held_ms1 = None if held is None else held.ms1
    builder = None
    if ms1 and held is None and reader.format == "mzml" and settings.ms_level != 1:
        from ..quant.ms1 import Ms1Builder  # noqa: PLC0415

        builder = Ms1Builder(path.name)
        reader.ms1 = builder.add
    reading = 0.0

    def spectra(chunks: Iterator[list[tm.PyProcessedSpectrum]]) -> Iterator[tm.PyProcessedSpectrum]:
        nonlocal reading
        while True:
            started = time.perf_counter()
            chunk = next(chunks, None)
            reading += time.perf_counter() - started
            if chunk is None:
                return
            yield from chunk

    started = time.perf_counter()
    report = None if progress is None else (lambda _scored: progress(reader.counts.read, reader.total or 0))
    with read_ahead(iter(reader), READ_AHEAD) as chunks:
        columns = score_columns(scorer, db, spectra(chunks), file=path.name, threads=settings.thread_count,
                                min_ion_index=0, null_seed=null_seed, adaptive_null=settings.adaptive_null,
                                delta_xcorr=window_xcorrs(settings),
                                chunk_size=settings.chunk_size, progress=report, scans=reader.scan_numbers)
    total = time.perf_counter() - started
    counts = reader.counts
    result = FileResult(path.name, str(path), file_id, columns, counts.read, counts.kept, dict(counts.skipped),
                        {"reading": reading, "scoring": max(total - reading, 0.0)})
    if collector is not None:
        result.reporters = collector.table()
        result.reporter_summary = collector.summary()
    result.reading_fallback = reader.fallback
    result.precursor_tol = settings.precursor_tol
    result.precursor_error = getattr(calibration, "precursor", None)
    run, left_out = (builder.finish(), reader.ms1_left_out) if builder is not None else \
        (held_ms1, held.ms1_left_out if held is not None else [])
    if run is not None:
        result.ms1 = run if run.scans else None
        if left_out:
            result.ms1_notes.append(f"{path.name}: {len(left_out):,} MS1 scans left out of the chromatograms "
                                    f"(first: {left_out[0]})")
        if not run.scans:
            result.ms1_notes.append(f"{path.name}: no MS1 scans in the file; not quantified")
    elif ms1:
        why = "MGF files hold no MS1 scans" if reader.format == "mgf" else "MS1 spectra are the ones searched"
        result.ms1_notes.append(f"{path.name}: {why}; not quantified")
    return result


#: Chunks of prepared spectra that the reading thread may have ready ahead of the scoring.
READ_AHEAD = 2

_T = TypeVar("_T")


@contextlib.contextmanager
def read_ahead(items: Iterator[_T], depth: int = READ_AHEAD) -> Iterator[Iterator[_T]]:
    """Draws `items` on a thread of its own, at most `depth` ahead of the consumer, and
    yields an iterator over them in order. An exception of `items` is raised to the
    consumer where the item would have come. Leaving the context (also early, or by an
    exception) stops the thread, closes `items` and waits for the thread to end."""
    slots: queue.Queue[tuple[str, Any]] = queue.Queue(maxsize=max(1, depth))
    stop = threading.Event()

    def put(entry: tuple[str, Any]) -> bool:
        while not stop.is_set():
            try:
                slots.put(entry, timeout=0.05)
                return True
            except queue.Full:
                continue
        return False

    def produce() -> None:
        try:
            for item in items:
                if not put(("item", item)):
                    return
            put(("end", None))
        except BaseException as error:  # noqa: BLE001 - handed to the consumer, raised there
            put(("error", error))
        finally:
            close = getattr(items, "close", None)
            if close is not None:
                close()

    thread = threading.Thread(target=produce, name="tovel-mesk-reader", daemon=True)

    def consume() -> Iterator[_T]:
        while True:
            kind, value = slots.get()
            if kind == "item":
                yield value
            elif kind == "end":
                return
            else:
                raise value

    thread.start()
    try:
        yield consume()
    finally:
        stop.set()
        thread.join()
