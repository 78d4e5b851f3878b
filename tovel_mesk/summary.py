"""The summary of a search: what each file gave, the totals, the seconds per stage, the
database, the rescoring and the settings. One typed object, filled by the search stages
(both executors fill the same fields) and written as ``summary.json``; the console table
and the report's tables are made from the same object, so they always agree.

`stages` holds wall seconds on the search's path: spectra are read on a thread of their own,
ahead of scoring, so `reading` is the time scoring waited for them; each file's calibration
pass reads the file while the index is built (or the file before it is scored), so
`calibration` is the time spent calibrating once the index was ready (the pass's own time is
the file's `file_settings.<file>.calibration.sample_pass_seconds`). `writing` is the output
tables and formats; `report` the rendering of report.html, which shows the stages before it
(so only summary.json and the console hold `report`).

The fields do not depend on `--fdr`: the threshold is the field `fdr`, and the counts of
accepted spectra, peptides and proteins are `spectra_accepted`, `peptides_accepted` and
`protein_groups_accepted` (accepted: q-value at most `fdr`, targets only; proteins are
counted by group, see `tovel_mesk.fdr.groups`).

``summary.json``::

    {
      "status": "complete",            # "partial" when some files failed, "failed" when none searched
      "fdr": 0.01,
      "files": [{"file": "a.mzML", "spectra_read": 1166, "spectra_searched": 1102, "matches": 5510,
                 "spectra_accepted": 601, "peptides_accepted": 301, "protein_groups_accepted": 7,
                 "skipped": {"other_ms_level": 64}, "error": null}, ...],
      "failed_files": {"b.mzML": "b.mzML: spectrum 'scan=7': ..."},
      "totals": {"files": 2, "files_searched": 1, "spectra_read": 1166, ..., "protein_groups_accepted": 7},
      "stages": {"digest": 0.41, "index": 1.2, "reading": 0.8, "scoring": 5.1, "rescoring": 0.3,
                 "writing": 0.2},
      "database": {"indexed_peptides": ..., ...},
      "index_cache": {"status": "hit", "folder": "...", "entry": "<key>.tmidx", "entry_bytes": 79821568,
                      "seconds": 0.05, "reason": null, "evicted": []},
                                       # status: "hit" (mapped from the cache), "stored" (built and stored),
                                       # "rebuilt" (the cached file was damaged), "not-stored" (built; the
                                       # cache could not take it, see reason) or "off"
      "rescoring": {"method": "lda", "reason": null},
      "cluster": null,                 # or where a Dask search ran (see ClusterSummary)
      "file_settings": {"a.mzML": {"detected": {"resolution": "low", "analyzer": "ion trap", ...},
                                   "used": {"fragment_tol": "0.5da", ...}, "calibration": {...}}},
      "warnings": [],
      "quant": {"method": "lfq", "requested": "auto", "runs": ["a.mzML"], "ions": 601,
                "precursors_quantified": 580, "transfers_kept": 0, "ms1_bytes_per_peak": 8.01,
                "notes": ["match-between-runs off: only one run"], "seconds": 1.2, ...},
      "settings": {...}
    }
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any

__all__ = ["FileSummary", "Totals", "ClusterSummary", "Summary", "COMPLETE", "PARTIAL", "FAILED"]

#: Values of `Summary.status`.
COMPLETE, PARTIAL, FAILED = "complete", "partial", "failed"


@dataclass
class FileSummary:
    """One spectra file: what its reader counted, its matches and what error control accepted
    at the summary's `fdr`; or, for a file that could not be read, `error`."""

    file: str
    spectra_read: int = 0
    spectra_searched: int = 0
    matches: int = 0
    spectra_accepted: int = 0
    peptides_accepted: int = 0
    protein_groups_accepted: int = 0
    skipped: dict[str, int] = field(default_factory=dict)
    error: str | None = None
    #: How the file was searched, in a few words: the fragment analyzer read from its data,
    #: the tolerances used, and what mass calibration found (`file_settings` has the details).
    analyzer: str | None = None
    fragment_tol: str | None = None
    precursor_tol: str | None = None
    calibration: str | None = None

    @property
    def failed(self) -> bool:
        return self.error is not None


@dataclass
class Totals:
    """Sums over the files; the accepted counts are over the whole search (a peptide found in
    two files counts once)."""

    files: int = 0
    files_searched: int = 0
    spectra_read: int = 0
    spectra_searched: int = 0
    matches: int = 0
    spectra_accepted: int = 0
    peptides_accepted: int = 0
    protein_groups_accepted: int = 0


@dataclass
class ClusterSummary:
    """Where a search on a Dask cluster ran. `workers` and `threads_per_worker` are those of
    a local cluster the command started (None on a scheduler of one's own)."""

    scheduler: str
    workers: int | None = None
    threads_per_worker: int | None = None
    dashboard: str | None = None
    start_seconds: float = 0.0
    search_seconds: float = 0.0
    index_builds: int = 0
    workers_used: int = 0


@dataclass
class Summary:
    """The summary of one search (see the module's documentation for its JSON form)."""

    fdr: float
    files: list[FileSummary] = field(default_factory=list)
    totals: Totals = field(default_factory=Totals)
    stages: dict[str, float] = field(default_factory=dict)
    database: dict[str, Any] = field(default_factory=dict)
    rescoring: dict[str, Any] = field(default_factory=dict)
    settings: dict[str, Any] = field(default_factory=dict)
    cluster: ClusterSummary | None = None
    #: Per file: the analyzer detected, the settings used, the mass calibration's figures.
    file_settings: dict[str, dict[str, Any]] = field(default_factory=dict)
    #: What the user should know about how the files were searched.
    warnings: list[str] = field(default_factory=list)
    #: Where the index came from (`tovel_mesk.search.index_cache.CacheReport.as_dict`).
    index_cache: dict[str, Any] | None = None
    #: The quantification stage (`tovel_mesk.search.quantify.QuantStage.as_dict`): the
    #: method used and asked for, runs, ions quantified, transfers kept, the MS1 store's
    #: bytes per peak and every note; None when the search made no such record.
    quant: dict[str, Any] | None = None

    @property
    def failed_files(self) -> dict[str, str]:
        """The files that could not be read, with their errors, in file order."""
        return {f.file: f.error for f in self.files if f.error is not None}

    @property
    def searched(self) -> bool:
        """Whether any spectrum of any file was searched."""
        return self.totals.spectra_searched > 0

    @property
    def status(self) -> str:
        """`COMPLETE` (every file searched), `PARTIAL` (some files failed) or `FAILED`
        (nothing searched)."""
        if not self.searched:
            return FAILED
        return PARTIAL if self.failed_files else COMPLETE

    def record_stage(self, name: str, seconds: float) -> None:
        """Sets the seconds a stage took (rounded to milliseconds)."""
        self.stages[name] = round(float(seconds), 3)

    def why_nothing_searched(self) -> str:
        """Why no spectrum was searched, on one line (for a summary whose `searched` is False)."""
        failed = self.failed_files
        if self.files and len(failed) == len(self.files):
            return f"no file could be searched ({', '.join(failed)})"
        skipped: dict[str, int] = {}
        for f in self.files:
            for reason, n in f.skipped.items():
                skipped[reason] = skipped.get(reason, 0) + n
        if not self.totals.spectra_read:
            return "the spectra files hold no spectra"
        level = self.settings.get("ms_level")
        parts = [f"{n:,} {reason.replace('_', ' ')}" for reason, n in skipped.items() if n]
        hint = f" (searching MS level {level}; see --ms-level)" if skipped.get("other_ms_level") else ""
        return (f"none of the {self.totals.spectra_read:,} spectra read could be searched: "
                + ", ".join(parts) + hint)

    def as_dict(self) -> dict[str, Any]:
        """The summary as plain JSON values, in the order of ``summary.json``."""
        return {
            "status": self.status,
            "fdr": self.fdr,
            "files": [dataclasses.asdict(f) for f in self.files],
            "failed_files": self.failed_files,
            "totals": dataclasses.asdict(self.totals),
            "stages": dict(self.stages),
            "database": dict(self.database),
            "index_cache": dict(self.index_cache) if self.index_cache is not None else None,
            "rescoring": dict(self.rescoring),
            "cluster": dataclasses.asdict(self.cluster) if self.cluster is not None else None,
            "file_settings": dict(self.file_settings),
            "warnings": list(self.warnings),
            "quant": dict(self.quant) if self.quant is not None else None,
            "settings": dict(self.settings),
        }
