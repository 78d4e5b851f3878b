"""The executor of one process: the index built here, then each spectra file read and
scored in turn with every worker thread.

Start-up is ordered so that native work starts first: the index is digested and built (or
mapped from the cache) on a thread of its own while this thread imports the modules of
the later stages and a background thread the table libraries; the FASTA's protein
catalogue is read beside the scoring. The modules imported at the top load no numpy or
table library."""

from __future__ import annotations

import importlib
import threading
import time
from collections.abc import Iterable, Iterator
from pathlib import Path

from typing import TYPE_CHECKING

from ..config import SearchSettings
from ..errors import InputError, StoppedAtFileError, one_line
from ..io.fasta import read_fasta_ahead
from ..progress import Progress
from .database import prepare_database
from .interrupt import start_interruptible
from .outcome import SearchOutcome

if TYPE_CHECKING:
    from .plan import FileDraft

__all__ = ["search_locally", "import_in_background"]


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


def search_locally(settings: SearchSettings, progress: Progress) -> SearchOutcome:
    """Searches every spectra file in this process, one after another.

    A file that cannot be read is reported in the summary with its error and the others are
    searched (the outcome's `ok` is False); with `settings.fail_fast` the search stops
    there with a StoppedAtFileError."""
    import_in_background()
    database = start_interruptible(prepare_database, settings, progress)
    # While the index is made: the modules of the later stages (numpy with them).
    from .finish import finish_search  # noqa: PLC0415
    from .plan import draft_file, plan_file  # noqa: PLC0415
    from .quantify import wants_ms1  # noqa: PLC0415
    from .scoring import make_scorer, read_ahead, search_file  # noqa: PLC0415

    calibrate = bool(settings.calibration)
    stop = threading.Event()

    def drafts() -> Iterator[tuple[int, str | Path, FileDraft | None, Exception | None]]:
        # Each file's head and calibration pass need no index: the first file's run while
        # the database is digested and indexed, each next one's while the one before is
        # scored. One draft waits at a time, so at most three files' spectra are held.
        for file_id, path in enumerate(settings.spectra):
            try:
                yield file_id, path, draft_file(settings, path, file_id, calibrate=calibrate,
                                                cancelled=stop.is_set), None
            except (InputError, OSError, ValueError) as error:
                yield file_id, path, None, error

    files = []
    failures: dict[str, str] = {}
    with read_ahead(drafts(), 1) as drafted:
        try:
            db, database_counts = database()
            read_fasta_ahead(settings.require_fasta())  # for the protein table, beside the scoring
            waiting = time.perf_counter()
            for file_id, path, draft, failure in drafted:
                # The wait for the file's calibration pass (its reading, on the read-ahead
                # thread) counts in the calibration stage, as the pass itself does.
                waited = time.perf_counter() - waiting
                name = Path(path).name
                try:
                    if failure is not None:
                        raise failure
                    started = time.perf_counter()
                    with progress.stage("calibration", timed=False):
                        plan = plan_file(settings, path, db=db, file_id=file_id, draft=draft)
                    planning = time.perf_counter() - started
                    with progress.stage(name[:24], unit="spectra", timed=False) as bar:
                        result = search_file(plan.settings, make_scorer(plan.settings), db, path, file_id,
                                             progress=bar.update_to, calibration=plan.calibration, held=plan.held,
                                             ms1=wants_ms1(settings), reporters=plan.reporters)
                    plan.held = None  # the file is searched: its spectra leave memory
                except (InputError, OSError, ValueError) as error:  # a file the readers could not read
                    if settings.fail_fast:
                        raise StoppedAtFileError(one_line(error)) from error
                    failures[name] = one_line(error)
                    continue
                finally:
                    draft = None
                    waiting = time.perf_counter()
                result.plan = {**plan.as_dict(), "record": plan.record()}
                result.seconds["calibration"] = waited + planning
                files.append(result)
        finally:
            stop.set()  # a file's pass under way stops at its next chunk

    return finish_search(settings, files, database_counts, progress, failures)
