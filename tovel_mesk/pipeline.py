"""A whole search, as the `tovel-mesk search` command runs it, callable from Python.

    settings = load_settings({"fasta": "proteins.fasta", "spectra": ["run.mzML"], "output": "out"})
    outcome = run_search(settings)          # digest, index, read and score, error control
    outcome.write(settings.output)          # the output files, all or none

Data flows one way: FASTA -> `Digest` -> index; each spectra file -> chunks of spectra ->
match columns; the columns of every file -> one table -> error control -> outputs. Files
are searched one after another, each with every worker thread; memory holds one chunk of
spectra at a time, plus the match columns (a few hundred bytes per match). With
`settings.scheduler` or `settings.workers` set, the files are searched on a Dask cluster
instead (`tovel_mesk.distributed`), with the same results.
"""

from __future__ import annotations

import importlib
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .config import ConfigError, SearchSettings, parse_int_range
from .progress import Progress

if TYPE_CHECKING:
    import numpy as np

    import _tovel_mesk as tm

__all__ = ["SearchOutcome", "FileResult", "run_search", "prepare_database", "make_scorer", "search_file",
           "digest_settings"]

#: Fragment ions of this many residues or fewer are not indexed (b1, b2, y1, y2). The
#: low-resolution features use every ion: on unit bins, b2 and y1, y2 are among the
#: strongest peaks of a tryptic peptide.
MIN_ION_INDEX = 2


@dataclass
class FileResult:
    """One spectra file of a search: its match columns and what its reader counted."""

    name: str
    path: str
    file_id: int
    columns: dict[str, np.ndarray]
    spectra_read: int
    spectra_searched: int
    skipped: dict[str, int]
    seconds: dict[str, float] = field(default_factory=dict)

    @property
    def matches(self) -> int:
        return len(self.columns.get("psm_id", ()))


@dataclass
class SearchOutcome:
    """What a search found: the match table with error control filled (`psms`), the
    peptide and protein tables, the per-file results and the summary (counts, stage
    timings, settings) that `summary.json` holds. `ok` is False when a file failed."""

    settings: SearchSettings
    psms: Any            # pandas.DataFrame
    peptides: Any
    proteins: Any
    files: list[FileResult]
    summary: dict[str, Any]
    ok: bool = True

    def write(self, directory: str | Path | None = None, *, progress: Progress | None = None) -> list[Path]:
        """Writes every output file into `directory` (default: the settings' output
        folder): all of them, or none when writing fails. ConfigError when neither names a folder."""
        from .outputs import write_outputs  # noqa: PLC0415 - pandas/pyarrow only when writing

        directory = directory if directory is not None else self.settings.output
        if directory is None:
            raise ConfigError("no output folder: pass a directory, or set the settings' output")
        directory = Path(directory)
        progress = progress or Progress(False)
        with progress.stage("writing"):
            paths = write_outputs(directory, self.psms, self.peptides, self.proteins, self.summary,
                                  fdr=self.settings.fdr)
        self.summary["stages"]["writing"] = round(progress.timings["writing"], 3)
        return paths


def digest_settings(settings: SearchSettings) -> dict[str, Any]:
    """The keyword arguments of `digest_fasta` that the settings give."""
    return dict(enzyme=settings.enzyme, missed_cleavages=settings.missed_cleavages,
                min_length=settings.min_length, max_length=settings.max_length, min_mass=settings.min_mass,
                max_mass=settings.max_mass, fixed_mods=list(settings.fixed_mods),
                variable_mods=list(settings.variable_mods), max_variable_mods=settings.max_variable_mods,
                remove_initiator_met=settings.remove_initiator_met,
                decoy_prefixes=list(settings.fasta_decoy_prefixes),
                decoy_suffixes=list(settings.fasta_decoy_suffixes))


def prepare_database(settings: SearchSettings, progress: Progress | None = None):
    """Digests the FASTA and builds the index with reversed decoys, with or without its
    fragment list as `settings.lists_fragments` says. Returns the index and a dict of
    counts (proteins, peptides, skipped peptides, indexed peptides, fragments) and whether
    the index lists its fragments (`fragment_list`)."""
    from . import _native  # noqa: PLC0415
    from .digest import build_database, digest_fasta  # noqa: PLC0415

    progress = progress or Progress(False)
    with progress.stage("digest") as bar:
        digest = digest_fasta(settings.require_fasta(), **digest_settings(settings))
        bar.note(f"{digest.peptide_count:,} peptides from {digest.protein_count:,} proteins")
    with progress.stage("index") as bar:
        db = build_database(digest, bucket_size=settings.bucket_size, min_ion_index=MIN_ION_INDEX,
                            generate_decoys=True, decoy_tag=settings.decoy_tag,
                            fragment_index=settings.lists_fragments)
        indexed, fragments, fragment_list = _native.database_layout(db)
        bar.note(f"{indexed:,} peptides, " + (f"{fragments:,} fragments" if fragment_list else "no fragment list"))
    counts = {"proteins": digest.protein_count, "peptides": digest.peptide_count,
              "skipped_peptides": digest.skipped, "indexed_peptides": indexed, "fragments": fragments,
              "fragment_list": fragment_list}
    return db, counts


def make_scorer(settings: SearchSettings) -> tm.PyScorer:
    """The scorer that the settings describe."""
    import _tovel_mesk as tm  # noqa: PLC0415

    from .conventions import parse_tolerance  # noqa: PLC0415

    min_iso, max_iso = parse_int_range(settings.isotope_errors, "--isotope-errors")
    min_z, max_z = parse_int_range(settings.charges, "--charges")
    return tm.PyScorer(parse_tolerance(settings.precursor_tol), parse_tolerance(settings.fragment_tol),
                       wide_window=settings.wide_window, chimera=settings.chimera,
                       report_psms=settings.report_psms, min_isotope_err=min_iso, max_isotope_err=max_iso,
                       min_precursor_charge=min_z, max_precursor_charge=max_z,
                       min_matched_peaks=settings.min_matched_peaks, annotate_matches=False,
                       max_fragment_charge=settings.max_fragment_charge)


def search_file(settings: SearchSettings, scorer: tm.PyScorer, db: tm.PyIndexedDatabase, path: str | Path,
                file_id: int, *, progress: Callable[[int, int], None] | None = None,
                null_seed: int | None = None) -> FileResult:
    """Reads and scores one spectra file in chunks. `progress`, when given, is called after
    each chunk with (spectra read so far, spectra in the file or 0 when unknown).
    `null_seed`: seed of the generated peptides behind `log10_evalue` (None: the usual one;
    see `tovel_mesk.search.score_columns`)."""
    from .search import score_columns  # noqa: PLC0415
    from .spectra import SpectraReader  # noqa: PLC0415

    path = Path(path)
    reader = SpectraReader(path, ms_level=settings.ms_level, top_peaks=settings.top_peaks,
                           chunk_size=settings.chunk_size, file_id=file_id)
    reading = 0.0

    def spectra() -> Iterator[tm.PyProcessedSpectrum]:
        nonlocal reading
        chunks = iter(reader)
        while True:
            started = time.perf_counter()
            chunk = next(chunks, None)
            reading += time.perf_counter() - started
            if chunk is None:
                return
            yield from chunk

    started = time.perf_counter()
    report = None if progress is None else (lambda _scored: progress(reader.counts.read, reader.total or 0))
    columns = score_columns(scorer, db, spectra(), file=path.name, threads=settings.thread_count,
                            min_ion_index=0, null_seed=null_seed, chunk_size=settings.chunk_size,
                            progress=report)
    total = time.perf_counter() - started
    counts = reader.counts
    return FileResult(path.name, str(path), file_id, columns, counts.read, counts.kept, dict(counts.skipped),
                      {"reading": reading, "scoring": max(total - reading, 0.0)})


#: Libraries of the stages after the index (reading, scoring, error control, tables),
#: imported while the database is digested and indexed: those run in native code without
#: the interpreter lock, so the imports take no time of their own.
LATER_IMPORTS = ("numpy", "lxml.etree", "pandas", "pyarrow", "pyarrow.compute", "pyarrow.csv",
                 "pyarrow.parquet")


def import_in_background(modules: Iterable[str] = LATER_IMPORTS) -> threading.Thread:
    """Starts importing `modules` on a daemon thread and returns it. A failed import is
    left for the code that needs the module to meet and report."""
    def load() -> None:
        for name in modules:
            try:
                importlib.import_module(name)
            except Exception:  # noqa: BLE001,S112 - the stage that needs it raises it properly
                continue

    thread = threading.Thread(target=load, name="tovel-mesk-imports", daemon=True)
    thread.start()
    return thread


def run_search(settings: SearchSettings, *, progress: Progress | None = None) -> SearchOutcome:
    """Runs a whole search (everything but writing the outputs) and returns its outcome.
    Progress bars go to stderr unless the settings say quiet or `progress` is given.

    In this process, the first file that cannot be read stops the search (its InputError is
    raised). On a cluster (`settings.scheduler` or `settings.workers`), such a file is
    reported in the summary, the others are searched, and the outcome's `ok` is False."""
    settings.validate()
    progress = progress or Progress(enabled=not settings.quiet)
    if settings.distributed:
        from .distributed import search_on_cluster  # noqa: PLC0415 - Dask only when asked for

        return search_on_cluster(settings, progress=progress)
    import_in_background()
    db, database_counts = prepare_database(settings, progress)
    scorer = make_scorer(settings)

    files = []
    for file_id, path in enumerate(settings.spectra):
        with progress.stage(Path(path).name[:24], unit="spectra", timed=False) as bar:
            files.append(search_file(settings, scorer, db, path, file_id, progress=bar.update_to))

    return finish_search(settings, files, database_counts, progress)


def _no_matches(settings: SearchSettings) -> dict[str, np.ndarray]:
    """Match columns without rows, typed as a search types them (when every file failed)."""
    from .digest import build_database  # noqa: PLC0415
    from .search import score_columns  # noqa: PLC0415

    return score_columns(make_scorer(settings), build_database([]), [], threads=1, min_ion_index=MIN_ION_INDEX)


def finish_search(settings: SearchSettings, files: list[FileResult], database_counts: dict[str, Any],
                  progress: Progress, failures: dict[str, str] | None = None) -> SearchOutcome:
    """Error control over the matches of every file, and the summary."""
    import numpy as np  # noqa: PLC0415
    import pandas as pd  # noqa: PLC0415

    from .confidence import assign_confidence  # noqa: PLC0415

    with progress.stage("rescoring"):
        frames = [pd.DataFrame(f.columns) for f in files] or [pd.DataFrame(_no_matches(settings))]
        psms = pd.concat(frames, ignore_index=True)
        if "psm_id" in psms.columns:
            # The core numbers matches as worker threads report them, which varies from run
            # to run; the table numbers them in file, spectrum and rank order instead.
            psms["psm_id"] = np.arange(1, len(psms) + 1, dtype=np.uint64)
        confidence = assign_confidence(psms, method=settings.rescore, decoy_tag=settings.decoy_tag)
    counts = confidence.counts(settings.fdr)
    percent = f"{100 * settings.fdr:g}%"
    records = []
    for f in files:
        at_fdr = counts.loc[f.name] if f.name in counts.index else {"spectra": 0, "peptides": 0, "proteins": 0}
        records.append({"file": f.name, "spectra_read": f.spectra_read, "spectra_searched": f.spectra_searched,
                        "matches": f.matches, f"spectra_at_{percent}": int(at_fdr["spectra"]),
                        f"peptides_at_{percent}": int(at_fdr["peptides"]),
                        f"proteins_at_{percent}": int(at_fdr["proteins"])})
    for name, reason in (failures or {}).items():
        records.append({"file": name, "error": reason})
    stages = {"digest": 0.0, "index": 0.0, "reading": 0.0, "scoring": 0.0}
    stages.update({k: v for k, v in progress.timings.items() if k in ("digest", "index")})
    for f in files:
        for k, v in f.seconds.items():
            stages[k] = stages.get(k, 0.0) + v
    stages["rescoring"] = progress.timings.get("rescoring", 0.0)
    totals = confidence.totals(settings.fdr)
    rescoring = confidence.rescoring
    summary = {
        "files": records,
        "stages": {k: round(v, 3) for k, v in stages.items()},
        "totals": {"spectra_read": sum(f.spectra_read for f in files),
                   "spectra_searched": sum(f.spectra_searched for f in files),
                   "matches": int(len(confidence.psms)), **{f"{k}_at_{percent}": int(v) for k, v in totals.items()}},
        "database": database_counts,
        "rescoring": {"method": rescoring.used, "reason": rescoring.reason},
        "settings": settings.as_dict(),
    }
    if failures:
        summary["failed_files"] = dict(failures)
    return SearchOutcome(settings, confidence.psms, confidence.peptides, confidence.proteins, files, summary,
                         ok=not failures)
