"""Searching many spectra files on a Dask cluster, with results identical to a search in
one process.

    settings = load_settings({"fasta": "proteins.fasta", "spectra": runs, "output": "out",
                              "workers": 4})            # or "scheduler": "tcp://host:8786"
    outcome = run_search(settings)                      # dispatches here
    outcome = search_on_cluster(settings, client=client)  # or on a Client of your own

How the work is shared:

- Each task is one spectra file. It carries the file's path and the settings, never the
  index: the files (and the FASTA) must be readable at the same paths on every worker.
- Each worker process gets the index once, from the FASTA and the settings, and keeps it
  for every later task. The key is a hash of the FASTA's bytes and of every setting that
  shapes the index (see `index_key`), so another database or setting never reuses a stale
  index; a worker holds one index at a time. The worker gets it as a search in one process
  does (`prepare_database`): from the persistent index cache when the cache folder holds
  it (a folder shared by the machines serves them all), else built and stored there.
- A task returns the file's match columns (numpy arrays) and its reader's counts. The
  client gathers every file and runs error control once over all of them, exactly as a
  search in one process does (`tovel_mesk.pipeline.finish_search`): same rows, same bits.
- Faults: a file that cannot be read, or a task that raises, is reported by name with its
  error (`summary.failed_files`, `ok` False) and every other file is still searched, as
  in one process (with `fail_fast`, the first such file stops the search, as in one process).
  A worker that dies mid-task (killed by the system, for example) has its task run again
  on another worker; after `distributed.scheduler.allowed-failures` deaths (Dask's
  setting, 3 by default) the file is reported as failed. A FASTA that cannot be indexed
  stops the whole search, as it does in one process.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib.metadata
import logging
import os
import signal
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..config import INDEX_STAGES, SearchSettings, available_cores
from ..errors import ConfigError, FileSearchError, IndexBuildError, InputError, StoppedAtFileError, one_line
from .database import index_key, prepare_database
from .index_cache import fasta_sha256
from .finish import finish_search
from .outcome import FileResult, SearchOutcome
from .plan import plan_file
from .quantify import wants_ms1
from .scoring import make_scorer, search_file
from ..progress import Progress
from ..summary import ClusterSummary

__all__ = ["search_on_cluster", "index_key", "IndexBuildError", "INSTALL_HINT"]

INSTALL_HINT = "pip install 'tovel-mesk[distributed]'"

#: The topic on which tasks report how many spectra of their file they have scored.
PROGRESS_TOPIC = "tovel-mesk-progress"

#: How long the client waits for a scheduler to answer.
CONNECT_TIMEOUT = "20s"


def _import_distributed():
    try:
        import distributed  # noqa: PLC0415 - an optional dependency, imported only when asked for
    except ImportError:
        raise ImportError(f"searching on a Dask cluster (--scheduler, --workers) needs Dask's distributed "
                          f"scheduler: {INSTALL_HINT}") from None
    return distributed


# ----------------------------------------------------------------------------------------
# On a worker.

@dataclass
class _Index:
    key: str
    db: Any
    counts: dict[str, Any]


_index_lock = threading.Lock()
_index: _Index | None = None


def _worker_index(settings: SearchSettings, key: str, fasta_hash: str) -> tuple[_Index, dict[str, float]]:
    """This process's index for `key`, built on first use. Returns the index and the seconds
    that building it took by stage (empty when it was cached)."""
    global _index
    with _index_lock:
        if _index is not None and _index.key == key:
            return _index, {}
        _index = None  # one index at a time: the old one goes before the new one is built
        progress = Progress(False)
        try:
            if fasta_sha256(settings.require_fasta()) != fasta_hash:
                failure = IndexBuildError(f"{settings.fasta}: this worker reads other bytes than the client "
                                          "(the FASTA must be the same file on every machine)")
            else:
                db, counts = prepare_database(settings, progress)
                _index = _Index(key, db, counts)
                return _index, dict(progress.timings)
        except Exception as error:  # noqa: BLE001 - any failure to index stops the search, by name
            failure = IndexBuildError(f"the index cannot be built: {one_line(error)}")
    raise failure  # outside the handler: no chained error to pickle


@dataclass
class _TaskResult:
    file: FileResult
    database_counts: dict[str, Any]
    worker: str
    built_index: bool


def _search_task(settings: SearchSettings, key: str, fasta_hash: str, path: str, file_id: int,
                 threads: int, ms1: bool = False) -> _TaskResult:
    """One file on a worker: the cached index, then the file read and scored in chunks (and
    with `ms1`, its MS1 scans kept in the same pass; they travel back with the result)."""
    from distributed import get_worker  # noqa: PLC0415

    worker = get_worker()
    index, built = _worker_index(settings, key, fasta_hash)
    if not threads:
        threads = max(1, available_cores() // max(1, worker.state.nthreads))
    settings = dataclasses.replace(settings, threads=threads)

    def report(read: int, total: int) -> None:
        worker.log_event(PROGRESS_TOPIC, {"file_id": file_id, "read": read, "total": total})

    try:
        started = time.perf_counter()
        plan = plan_file(settings, path, db=index.db, file_id=file_id)
        planning = time.perf_counter() - started
        result = search_file(plan.settings, make_scorer(plan.settings), index.db, path, file_id, progress=report,
                             calibration=plan.calibration, held=plan.held, ms1=ms1,
                             reporters=plan.reporters)
        plan.held = None  # the file is searched: its spectra leave memory
        result.plan = {**plan.as_dict(), "record": plan.record()}
    except Exception as error:  # noqa: BLE001 - reported by file name on the client
        failure = FileSearchError(_failure_text(error))
    else:
        result.seconds.update(built)
        result.seconds["calibration"] = planning
        # A worker's first index of a key counts as built there, mapped from the cache or not
        # (summary.index_cache says which).
        return _TaskResult(result, index.counts, worker.address, bool(built))
    # Raised outside the handler, so that it carries no chained error: only the text travels
    # to the client (some errors hold parser state that cannot be pickled).
    raise failure


def dask_setup(worker) -> None:
    """Start-up of the worker processes of a local cluster (a Dask preload): they ignore
    Ctrl-C, which a terminal sends to every process of the command, and leave it to the
    command to close the cluster in order."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


# ----------------------------------------------------------------------------------------
# On the client.

def search_on_cluster(settings: SearchSettings, *, client: Any = None,
                      progress: Progress | None = None) -> SearchOutcome:
    """Searches `settings.spectra` on a Dask cluster and returns the outcome of the whole
    search, as `tovel_mesk.pipeline.run_search` does in one process.

    The cluster is `client` (a `distributed.Client`, left open) when given, else the
    scheduler at `settings.scheduler`, else a local cluster of `settings.workers` worker
    processes started for this call and closed at its end, Ctrl-C included.

    Files that fail are reported in the summary (their `error`, and `summary.failed_files`)
    and `ok` is False; every other file is searched. With `settings.fail_fast` the first
    failure stops the search instead (StoppedAtFileError).
    `summary.cluster` says where the search ran and how many indexes were built.

    Raises ImportError when Dask's distributed scheduler is not installed, ConfigError when
    the scheduler cannot be reached, IndexBuildError when the index cannot be built.
    """
    distributed = _import_distributed()
    progress = progress or Progress(enabled=not settings.quiet)
    fasta_hash = fasta_sha256(settings.require_fasta())
    key = index_key(settings, fasta_hash)
    with _cluster(distributed, settings, client, progress) as (client, info, threads):
        started = time.perf_counter()
        results, failures = _run_tasks(distributed, client, settings, key, fasta_hash, threads, progress)
        info.search_seconds = round(time.perf_counter() - started, 3)
    info.start_seconds = round(progress.timings.get("cluster", progress.timings.get("connect", 0.0)), 3)
    info.index_builds = sum(r.built_index for r in results.values())
    info.workers_used = len({r.worker for r in results.values()})
    counts = next(iter(results.values())).database_counts if results else {}
    outcome = finish_search(settings, [results[i].file for i in sorted(results)], counts, progress, failures)
    outcome.summary.cluster = info
    return outcome


@contextlib.contextmanager
def _cluster(distributed, settings: SearchSettings, client: Any,
             progress: Progress) -> Iterator[tuple[Any, ClusterSummary, int]]:
    """The client to submit to, facts about its cluster for the summary, and the scoring
    threads of each task (0: each worker shares out its cores among its task slots)."""
    if client is not None:
        _check_workers(client)
        yield client, ClusterSummary(client.scheduler.address), settings.threads
        return
    if settings.scheduler is not None:
        with progress.stage("connect"):
            client = _connect(distributed, settings.scheduler)
        with client:
            _check_workers(client)
            if progress.enabled:
                workers = len(client.scheduler_info().get("workers", {}))
                progress.message(f"Dask scheduler {settings.scheduler}: {workers} workers"
                                 + (" (the files wait for one to join)" if not workers else "")
                                 + f"; dashboard: {client.dashboard_link}")
            yield client, ClusterSummary(settings.scheduler), settings.threads
        return

    import dask  # noqa: PLC0415

    threads = settings.threads or max(1, available_cores() // settings.workers)
    cluster = None
    try:
        # One task at a time per worker, each with the worker's share of the cores; the
        # other tasks wait on the scheduler, not on a worker that might die with them.
        with progress.stage("cluster"), _ctrl_c_deferred(), \
                dask.config.set({"distributed.scheduler.worker-saturation": 1.0}):
            cluster = distributed.LocalCluster(n_workers=settings.workers, threads_per_worker=1, processes=True,
                                               host="127.0.0.1", dashboard_address="127.0.0.1:8787",
                                               silence_logs=logging.CRITICAL, preload=[__name__])
        dashboard = cluster.dashboard_link if "dashboard" in cluster.scheduler.services else None
        progress.message(f"local Dask cluster: {settings.workers} workers, {threads} threads each"
                         + (f"; dashboard: {dashboard}" if dashboard else ""))
        with distributed.Client(cluster, set_as_default=False) as client:
            yield client, ClusterSummary(cluster.scheduler_address, workers=settings.workers,
                                         threads_per_worker=threads, dashboard=dashboard), threads
    finally:
        if cluster is not None:
            cluster.close()


def _tls_configured() -> bool:
    import dask  # noqa: PLC0415

    return bool(dask.config.get("distributed.comm.tls.ca-file", None))


def _connect(distributed, address: str) -> Any:
    """A client of the scheduler at `address`, connected within `CONNECT_TIMEOUT` as a
    whole: the TCP connection, Dask's handshake and the client's registration. A port that
    accepts connections but never answers is reported, not waited on forever, and Ctrl-C
    ends the wait at any moment. Raises ConfigError when the scheduler cannot be used."""
    from dask.utils import parse_timedelta  # noqa: PLC0415

    where = f"--scheduler {address}"
    scheme = address.split("://", 1)[0].lower() if "://" in address else "tcp"
    if scheme == "tls" and not _tls_configured():
        raise ConfigError(f"{where}: a TLS scheduler needs certificates, which are set in Dask's configuration "
                          "(distributed.comm.tls.ca-file, distributed.comm.tls.client.cert and .key); none are set")
    seconds = float(parse_timedelta(CONNECT_TIMEOUT, default="seconds") or 0.0)
    found: dict[str, Any] = {}
    abandoned = threading.Event()

    def connect() -> None:
        try:
            client = distributed.Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False)
        except BaseException as error:  # noqa: BLE001 - handed to the waiting thread
            found["error"] = error
            return
        if abandoned.is_set():  # answered after the command gave up on it
            with contextlib.suppress(Exception):
                client.close()
            return
        found["client"] = client

    thread = threading.Thread(target=connect, name="tovel-mesk-connect", daemon=True)
    thread.start()
    deadline = time.monotonic() + seconds + 1.0  # the client's own timeout, then a margin
    try:
        while thread.is_alive() and time.monotonic() < deadline:
            thread.join(0.1)
    finally:
        if thread.is_alive():
            abandoned.set()
    if thread.is_alive():
        raise ConfigError(f"{where}: no answer from a Dask scheduler within {seconds:g} s (something accepts "
                          "connections at that address but does not answer as a Dask scheduler)")
    if "client" in found:
        return found["client"]
    error = found.get("error")
    if isinstance(error, (OSError, TimeoutError, ValueError, TypeError)):
        raise ConfigError(f"{where}: cannot reach the Dask scheduler ({one_line(error)})") from None
    raise error if error is not None else ConfigError(f"{where}: cannot reach the Dask scheduler")


def _installed_version() -> str:
    return importlib.metadata.version("tovel-mesk")


def _check_workers(client: Any) -> None:
    """Refuses a cluster whose workers lack this package or run another version of it: their
    results could differ from this machine's."""
    ours = _installed_version()
    for worker, theirs in client.run(importlib.metadata.version, "tovel-mesk", on_error="return").items():
        if isinstance(theirs, importlib.metadata.PackageNotFoundError):
            found = "is not installed"
        elif isinstance(theirs, str) and theirs != ours:
            found = f"is version {theirs}"
        else:
            continue  # the same version, or a worker that left meanwhile
        raise ConfigError(f"Dask worker {worker}: tovel-mesk {found}; every worker needs version {ours}, the client's")


@contextlib.contextmanager
def _ctrl_c_deferred() -> Iterator[None]:
    """Holds back Ctrl-C while a local cluster starts, and raises it when the start has
    ended, in place of any failure it caused (the workers, still starting, may die of it):
    a cluster interrupted mid-start cannot be closed in order, one that has started can."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield
        return
    caught = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught:
            raise KeyboardInterrupt  # noqa: B012 - the interrupt wins over a failure it caused


def _run_tasks(distributed, client: Any, settings: SearchSettings, key: str, fasta_hash: str, threads: int,
               progress: Progress) -> tuple[dict[int, _TaskResult], dict[str, str]]:
    """Submits one task per file, largest first, and gathers them as they finish. Returns
    the results by file id and the failures by file name, in file order."""
    paths = list(settings.spectra)
    largest_first = sorted(range(len(paths)), key=lambda i: -_size(paths[i]))
    # Workers may run elsewhere: the FASTA's absolute path, and no list of every file in each task.
    task_settings = settings.for_worker()
    token = f"{key[:12]}-{os.urandom(4).hex()}"
    pending = {}
    for rank, file_id in enumerate(largest_first):
        future = client.submit(_search_task, task_settings, key, fasta_hash, os.path.abspath(paths[file_id]),
                               file_id, threads, wants_ms1(settings),
                               key=f"tovel-mesk-search-{file_id}-{paths[file_id].name}-{token}", pure=False,
                               priority=len(paths) - rank)
        pending[future] = file_id

    results: dict[int, _TaskResult] = {}
    failures: dict[int, str] = {}
    scored: dict[int, int] = {}  # spectra scored by file
    finished: set[int] = set()
    lock = threading.Lock()      # progress events are handled on the client's event loop thread
    with progress.stage("searching", total=len(paths), unit="files", timed=False, scaled=False) as bar:
        def show(file_id: int, spectra: int, done: bool = False) -> None:
            with lock:
                if file_id in finished:
                    return
                scored[file_id] = spectra
                if done:
                    finished.add(file_id)
                bar.note(f"{sum(scored.values()):,} spectra scored")
                bar.advance(1 if done else 0)

        client.subscribe_topic(PROGRESS_TOPIC, lambda event: show(event[1]["file_id"], event[1]["read"]))
        try:
            for future in distributed.as_completed(list(pending), loop=client.loop):
                file_id = pending.pop(future)
                try:
                    results[file_id] = future.result()
                except IndexBuildError as error:
                    raise IndexBuildError(str(error)) from None
                except distributed.KilledWorker:
                    failures[file_id] = ("the worker searching this file died on every try (out of memory?); "
                                         "the file was not searched")
                except Exception as error:  # noqa: BLE001 - any failure of one file is reported by name
                    failures[file_id] = _failure_text(error)
                if file_id in failures and settings.fail_fast:
                    text = failures[file_id]
                    name = paths[file_id].name
                    raise StoppedAtFileError(text if name in text else f"{name}: {text}")
                future.release()  # the worker may drop the columns now
                show(file_id, results[file_id].file.spectra_read if file_id in results else 0, done=True)
        finally:
            client.unsubscribe_topic(PROGRESS_TOPIC)
            if pending:
                client.cancel(list(pending))
    return results, {paths[i].name: failures[i] for i in sorted(failures)}


def _failure_text(error: BaseException) -> str:
    if isinstance(error, (InputError, OSError, FileSearchError)):
        return one_line(error)
    return f"{type(error).__name__}: {one_line(error)}"


def _size(path: Path) -> int:
    try:
        return path.stat().st_size
    except OSError:
        return 0
