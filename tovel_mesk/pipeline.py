"""A whole search, as the `tovel-mesk search` command runs it, callable from Python.

    settings = load_settings({"fasta": "proteins.fasta", "spectra": ["run.mzML"], "output": "out"})
    outcome = run_search(settings)          # digest, index, read and score, error control
    outcome.write(settings.output)          # the output files, all or none

Data flows one way: FASTA -> `Digest` -> index; each spectra file -> chunks of spectra ->
match columns; the columns of every file -> one table -> error control -> outputs. Files
are searched one after another, each with every worker thread; memory holds one chunk of
spectra at a time, plus the match columns (a few hundred bytes per match). With
`settings.scheduler` or `settings.workers` set, the files are searched on a Dask cluster
instead (`tovel_mesk.search.cluster`), with the same results.
"""

from __future__ import annotations

from .config import SearchSettings
from .progress import Progress
from .search.outcome import FileResult, SearchOutcome

__all__ = ["SearchOutcome", "FileResult", "run_search"]


def run_search(settings: SearchSettings, *, progress: Progress | None = None) -> SearchOutcome:
    """Runs a whole search (everything but writing the outputs) and returns its outcome.
    Progress bars go to stderr unless the settings say quiet or `progress` is given.

    Before any work, the inputs are checked in one pass
    (`tovel_mesk.search.preflight.check_inputs`): a ConfigError names every problem.
    Then, in this process or on a cluster (`settings.scheduler` or `settings.workers`)
    alike, a spectra file that cannot be read is reported in the summary with its error,
    the others are searched, and the outcome's `ok` is False; with `settings.fail_fast`
    the first such file stops the search with a StoppedAtFileError (an InputError)."""
    from .search.preflight import check_inputs  # noqa: PLC0415

    check_inputs(settings)
    progress = progress or Progress(enabled=not settings.quiet)
    if settings.distributed:
        from .search.cluster import search_on_cluster  # noqa: PLC0415 - Dask only when asked for

        return search_on_cluster(settings, progress=progress)
    from .search.local import search_locally  # noqa: PLC0415

    return search_locally(settings, progress)
