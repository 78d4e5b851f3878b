"""What a search returns: the per-file results of either executor and the outcome of the
whole search. Plain records, importable without numpy or pandas."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..config import SearchSettings
from ..errors import ConfigError, NothingSearchedError
from ..progress import Progress
from ..summary import COMPLETE, Summary

if TYPE_CHECKING:
    import numpy as np

__all__ = ["FileResult", "SearchOutcome"]


@dataclass
class FileResult:
    """One spectra file of a search: its match columns, what its reader counted, and how it
    was searched (`plan`)."""

    name: str
    path: str
    file_id: int
    columns: dict[str, np.ndarray]
    spectra_read: int
    spectra_searched: int
    skipped: dict[str, int]
    seconds: dict[str, float] = field(default_factory=dict)
    #: How the file was searched: the analyzer detected, the settings used, the
    #: calibration (`tovel_mesk.search.plan.FilePlan.as_dict`); empty when not planned.
    plan: dict[str, Any] = field(default_factory=dict)
    #: The reporter ions of each searched spectrum (`tovel_mesk.quant.isobaric.ReporterCollector.table`)
    #: and what reading them found (`reporter_summary`), when the search quantifies a plex.
    reporters: Any = None
    reporter_summary: dict[str, Any] = field(default_factory=dict)
    #: The file's MS1 scans (`tovel_mesk.quant.ms1.Ms1Run`), read in the same pass as its
    #: spectra when quantification needs them; None when not read or when it has none.
    ms1: Any = None
    #: What happened to the MS1 scans on the way (scans left out, a format without MS1).
    ms1_notes: list[str] = field(default_factory=list)
    #: Why the mzML reader read some or all of the file by its reference path rather than
    #: its native scanner (`tovel_mesk.io.spectra.SpectraReader.fallback`); None when it did not.
    reading_fallback: str | None = None
    #: The file's precursor tolerance as searched (after calibration) and its calibration's
    #: precursor error model (`tovel_mesk.search.calibration.ErrorModel`, ppm), None without one.
    precursor_tol: Any = None
    precursor_error: Any = None

    @property
    def matches(self) -> int:
        return len(self.columns.get("psm_id", ()))


@dataclass
class SearchOutcome:
    """What a search found: the match table with error control filled (`psms`), the
    peptide and protein tables, the per-file results and the summary (`Summary`: counts,
    failed files, stage timings, settings) that `summary.json` holds. `ok` is False when a
    file failed or nothing was searched."""

    settings: SearchSettings
    psms: Any            # pandas.DataFrame
    peptides: Any
    proteins: Any
    files: list[FileResult]
    summary: Summary
    #: The quantification (`tovel_mesk.quant.lfq.LfqResult`), None when none was made.
    quant: Any = None

    @property
    def ok(self) -> bool:
        return self.summary.status == COMPLETE

    def write(self, directory: str | Path | None = None, *, progress: Progress | None = None,
              overwrite: bool | None = None) -> list[Path]:
        """Publishes every output file into `directory` (default: the settings' output
        folder): all of them, or none when writing fails (see
        `tovel_mesk.report.tables.write_outputs`). The seconds of writing are part of the
        summary that is written.

        Raises NothingSearchedError when no spectrum was searched (older results stay),
        OutputError when another search holds the folder or when this search's results,
        with files that failed, would replace complete results of more files (unless
        `overwrite`, by default the settings' `overwrite`), ConfigError when neither
        argument nor settings name a folder, OSError when a file cannot be written."""
        from ..report.tables import write_outputs  # noqa: PLC0415 - pandas/pyarrow only when writing

        directory = directory if directory is not None else self.settings.output
        if directory is None:
            raise ConfigError("no output folder: pass a directory, or set the settings' output")
        if not self.summary.searched:
            raise NothingSearchedError(f"nothing was searched: {self.summary.why_nothing_searched()}; "
                                       "nothing was written")
        directory = Path(directory)
        progress = progress or Progress(False)
        overwrite = bool(getattr(self.settings, "overwrite", False)) if overwrite is None else overwrite
        with progress.stage("writing"):
            return write_outputs(directory, self.psms, self.peptides, self.proteins, self.summary,
                                 fdr=self.settings.fdr, overwrite=overwrite, formats=self.settings.formats,
                                 spectra_files=[str(p) for p in self.settings.spectra],
                                 split_by_file=bool(getattr(self.settings, "split_by_file", False)),
                                 quant=self.quant)
