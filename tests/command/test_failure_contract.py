"""The failure contract of `tovel-mesk search`: the same exit status, messages and outputs
whichever executor runs, in one process or on a Dask cluster.

    0    every file searched and written
    1    a file that cannot be read is named, the others searched and written; or nothing
         searched in any file (a line says why, nothing written)
    2    a usage or settings error found before any work, one line
    130  interrupted, nothing written
"""

from __future__ import annotations

import importlib.util
import json
import logging
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from _cluster_support import KillOnFile, write_inputs, write_truncated
from tovel_mesk import cli
from tovel_mesk.report.html import format_summary

HAVE_DASK = importlib.util.find_spec("distributed") is not None

TABLES = ("psms.parquet", "psms.tsv", "peptides.tsv", "proteins.tsv", "results.pin")
FLAGS = ["--threads", "1", "--preset", "ion-trap", "--precursor-tol", "50ppm", "--report-psms", "2"]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    fasta, runs = write_inputs(folder, runs=3)
    return fasta, runs, write_truncated(runs[1], folder / "cut.mzML")


@pytest.fixture(scope="module")
def scheduler():
    """The address of a local cluster of two worker processes (a task may lose its worker once)."""
    if not HAVE_DASK:
        pytest.skip("needs tovel-mesk[distributed]")
    import dask
    import distributed

    with dask.config.set({"distributed.scheduler.allowed-failures": 1,
                          "distributed.scheduler.worker-saturation": 1.0}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL)
    with cluster, distributed.Client(cluster, set_as_default=False) as client:
        yield client


EXECUTORS = ["here", pytest.param("cluster", marks=pytest.mark.skipif(not HAVE_DASK, reason="needs Dask"))]


def search(request, where: str, output: Path, *arguments: str) -> subprocess.CompletedProcess:
    """The command in its own process, in one process or on the module's cluster."""
    extra = []
    if where == "cluster":
        extra = ["--scheduler", request.getfixturevalue("scheduler").scheduler.address]
    command = [sys.executable, "-P", "-m", "tovel_mesk", "search", "--output", str(output), *FLAGS, *extra,
               *arguments]
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


def last_line(done: subprocess.CompletedProcess) -> str:
    return done.stderr.strip().splitlines()[-1]


@pytest.mark.parametrize("where", EXECUTORS)
def test_exit_status_table(request, inputs, tmp_path, where):
    fasta, runs, cut = inputs
    base = ["--fasta", str(fasta)]

    # 0: every file searched and written.
    done = search(request, where, tmp_path / "good", *base, str(runs[0]), str(runs[2]))
    assert done.returncode == 0, done.stderr

    # 1: the unreadable file named in the console summary and summary.json; the others searched.
    done = search(request, where, tmp_path / "bad", *base, str(runs[0]), str(cut), str(runs[2]))
    assert done.returncode == 1, done.stderr
    assert "1 of 3 files failed (cut.mzML); the others were searched and written" in last_line(done)
    assert "Traceback" not in done.stderr
    summary = json.loads((tmp_path / "bad" / "summary.json").read_text())
    assert summary["status"] == "partial" and list(summary["failed_files"]) == ["cut.mzML"]
    records = {r["file"]: r for r in summary["files"]}
    assert list(records) == ["run0.mzML", "cut.mzML", "run2.mzML"]  # the order of the command line
    assert "cut.mzML" in records["cut.mzML"]["error"] and records["run0.mzML"]["error"] is None
    assert summary["totals"]["files"] == 3 and summary["totals"]["files_searched"] == 2
    # The console table is the summary that was written, the seconds of writing included.
    assert "writing" in summary["stages"]
    assert format_summary(summary) in done.stdout
    for name in TABLES:  # the two good files, as if searched alone
        assert (tmp_path / "bad" / name).read_bytes() == (tmp_path / "good" / name).read_bytes(), name

    # 1 with --fail-fast: the first bad file stops the search, nothing is written.
    done = search(request, where, tmp_path / "fast", "--fail-fast", *base, str(cut), str(runs[0]))
    assert done.returncode == 1, done.stderr
    assert "cut.mzML" in last_line(done) and last_line(done).endswith(
        "stopped at the first file that could not be read (--fail-fast); nothing was written")
    assert not (tmp_path / "fast").exists()

    # 1: nothing searched in any file, with the reason; nothing written.
    done = search(request, where, tmp_path / "none", *base, str(cut))
    assert done.returncode == 1, done.stderr
    assert last_line(done) == ("tovel-mesk: error: nothing was searched: no file could be searched (cut.mzML); "
                               "nothing was written")
    assert "cut.mzML" in done.stdout  # its error in the console summary
    done = search(request, where, tmp_path / "none", "--ms-level", "3", *base, str(runs[0]))
    assert done.returncode == 1, done.stderr
    assert last_line(done).startswith("tovel-mesk: error: nothing was searched: none of the 70 spectra read "
                                      "could be searched: 70 other ms level (searching MS level 3")
    assert not (tmp_path / "none").exists()

    # 2: a usage error found before any work, on one line.
    done = search(request, where, tmp_path / "usage", *base, str(runs[0]), str(tmp_path / "missing.mzML"))
    assert done.returncode == 2
    assert done.stderr == f"tovel-mesk: error: {tmp_path / 'missing.mzML'}: no such file\n"
    assert not (tmp_path / "usage").exists()


def test_the_summary_has_the_same_fields_whatever_the_threshold(inputs, tmp_path, capsys):
    fasta, runs, _ = inputs
    keys = []
    for fdr in ("0.01", "0.05"):
        out = tmp_path / fdr
        status = cli.main(["search", "--quiet", "--fasta", str(fasta), "--output", str(out), "--fdr", fdr, *FLAGS,
                           str(runs[0])])
        assert status == 0, capsys.readouterr().err
        summary = json.loads((out / "summary.json").read_text())
        assert summary["fdr"] == float(fdr)
        keys.append((list(summary), list(summary["files"][0]), list(summary["totals"])))
    assert keys[0] == keys[1]
    assert not any("%" in key for key in keys[0][1] + keys[0][2])


@pytest.fixture
def blocked_scoring(monkeypatch):
    """Scoring that never ends on its own: a call into the core that takes as long as it
    takes. Yields the events `started` and `ended` of the call."""
    from tovel_mesk import _native

    started, ended, release = threading.Event(), threading.Event(), threading.Event()

    def score_columns(*args, **kwargs):
        started.set()
        release.wait(120)
        ended.set()
        raise RuntimeError("released")

    monkeypatch.setattr(_native, "score_columns", score_columns)
    yield started, ended
    release.set()


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_interrupt_in_the_middle_of_a_chunk(inputs, tmp_path, capsys, blocked_scoring, signal_number):
    fasta, runs, _ = inputs
    started, ended = blocked_scoring

    def interrupt():
        if started.wait(120):
            os.kill(os.getpid(), signal_number)

    handler = signal.getsignal(signal.SIGTERM)
    sender = threading.Thread(target=interrupt, daemon=True)
    sender.start()
    status = cli.main(["search", "--quiet", "--fasta", str(fasta), "--output", str(tmp_path / "out"), *FLAGS,
                       str(runs[0])])
    sender.join()
    # The command ended while the core was still scoring the chunk.
    assert not ended.is_set()
    assert status == 130
    assert capsys.readouterr().err == "tovel-mesk: error: interrupted; nothing was written\n"
    assert not (tmp_path / "out").exists()
    assert signal.getsignal(signal.SIGTERM) == handler  # the command's handler is gone again


@pytest.mark.skipif(not HAVE_DASK, reason="needs tovel-mesk[distributed]")
def test_lost_results_never_replace_older_ones(request, inputs, tmp_path):
    """Every worker dies on every file (out of memory, say): every file fails, nothing is
    published, and the previous complete results stay."""
    fasta, runs, _ = inputs
    client = request.getfixturevalue("scheduler")
    out = tmp_path / "out"
    files = [str(runs[0]), str(runs[2])]
    done = search(request, "cluster", out, "--fasta", str(fasta), *files)
    assert done.returncode == 0, done.stderr
    before = {p.name: p.read_bytes() for p in out.iterdir()}

    client.register_plugin(KillOnFile("run"), name="kill-every-run")
    try:
        done = search(request, "cluster", out, "--fasta", str(fasta), *files)
    finally:
        client.unregister_worker_plugin("kill-every-run")
    assert done.returncode == 1, done.stderr
    assert last_line(done).startswith("tovel-mesk: error: nothing was searched: no file could be searched "
                                      "(run0.mzML, run2.mzML)")
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


def test_a_closed_stderr_pipe_does_not_stop_the_search(inputs, tmp_path):
    """A console piped to a reader that has gone (`... 2>&1 | head -1`): the progress lines
    are dropped, the search is written in full and the exit status says it succeeded."""
    fasta, runs, _ = inputs
    command = [sys.executable, "-P", "-m", "tovel_mesk", "search", "--output", str(tmp_path / "out"), *FLAGS,
               "--fasta", str(fasta), *map(str, runs)]
    read, write = os.pipe()
    os.close(read)  # the reader is gone before the first line
    try:
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=write, timeout=300)
    finally:
        os.close(write)
    assert done.returncode == 0
    assert all((tmp_path / "out" / name).is_file() for name in TABLES)
