"""Searching on a Dask cluster: the same files as a search in one process, bad files and
lost workers reported or retried, the index cached per worker, nothing left running."""

from __future__ import annotations

import dataclasses
import importlib.util
import json
import logging
import os
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

from _cluster_support import KillOnFile, processes_marked, write_inputs, write_truncated
from tovel_mesk import cli
from tovel_mesk.config import ConfigError, SearchSettings, load_settings
from tovel_mesk.pipeline import run_search

HAVE_DASK = importlib.util.find_spec("distributed") is not None
needs_dask = pytest.mark.skipif(not HAVE_DASK, reason="needs tovel-mesk[distributed]")

#: The written files that must match byte for byte (the summary and report hold timings).
TABLES = ("psms.parquet", "psms.tsv", "peptides.tsv", "proteins.tsv", "results.pin")


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    fasta, runs = write_inputs(folder)
    return fasta, runs, write_truncated(runs[1], folder / "cut.mzML")


#: Tolerances wide enough that the runs' foreign spectra match decoys: the discriminant
#: trains (and is checked against the best single feature) over the matches of every file.
SEARCH = {"threads": 1, "preset": "ion-trap", "precursor_tol": "50ppm", "report_psms": 2}
SEARCH_FLAGS = [text for name, value in SEARCH.items() for text in (f"--{name.replace('_', '-')}", str(value))]


def settings_for(fasta, runs, **changes) -> SearchSettings:
    return load_settings({"fasta": fasta, "spectra": list(runs), "quiet": True, **SEARCH, **changes})


def written(outcome, folder: Path) -> Path:
    outcome.write(folder)
    return folder


def assert_same_tables(folder: Path, expected: Path) -> None:
    for name in TABLES:
        assert (folder / name).read_bytes() == (expected / name).read_bytes(), name


@pytest.fixture(scope="module")
def baseline(inputs, tmp_path_factory):
    """The four good runs searched in this process: outcome and written folder."""
    fasta, runs, _ = inputs
    outcome = run_search(settings_for(fasta, runs))
    return outcome, written(outcome, tmp_path_factory.mktemp("in_process"))


@pytest.fixture(scope="module")
def client():
    """A local cluster of two worker processes, one task slot each. A task may lose its
    worker once and run again; a second loss fails it."""
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


@needs_dask
def test_same_tables_as_in_process_and_one_index_per_worker(client, inputs, baseline, tmp_path):
    from tovel_mesk.search.cluster import search_on_cluster

    fasta, runs, _ = inputs
    expected, expected_folder = baseline
    outcome = search_on_cluster(settings_for(fasta, runs), client=client)
    assert outcome.ok
    assert_same_tables(written(outcome, tmp_path / "first"), expected_folder)
    assert outcome.summary.files == expected.summary.files
    assert outcome.summary.database == expected.summary.database
    assert 1 <= outcome.summary.cluster.index_builds <= 2

    # The workers keep their index for the next call with the same database and settings...
    again = search_on_cluster(settings_for(fasta, runs[:2]), client=client)
    assert again.summary.cluster.index_builds == 0
    # ...and build another for settings that shape it otherwise, with its own results.
    changed = search_on_cluster(settings_for(fasta, runs, missed_cleavages=0), client=client)
    assert changed.summary.cluster.index_builds >= 1
    in_process = run_search(settings_for(fasta, runs, missed_cleavages=0))
    assert changed.summary.database == in_process.summary.database != expected.summary.database
    assert_same_tables(written(changed, tmp_path / "changed"), written(in_process, tmp_path / "changed_ip"))


@needs_dask
def test_bad_file_is_reported_and_the_others_written(client, inputs, tmp_path):
    fasta, runs, cut = inputs
    good = [runs[0], runs[2]]
    scheduler = client.scheduler.address
    command = [sys.executable, "-P", "-m", "tovel_mesk", "search", "--fasta", str(fasta), "--output",
               str(tmp_path / "out"), "--scheduler", scheduler, *SEARCH_FLAGS, str(good[0]), str(cut), str(good[1])]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stderr
    last = done.stderr.strip().splitlines()[-1]
    assert "1 of 3 files failed (cut.mzML)" in last and "Traceback" not in done.stderr
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert list(summary["failed_files"]) == ["cut.mzML"]
    assert "cut.mzML" in summary["failed_files"]["cut.mzML"]
    records = {r["file"]: r for r in summary["files"]}
    assert records["cut.mzML"]["error"] == summary["failed_files"]["cut.mzML"]
    assert "cut.mzML" in done.stdout  # the summary table names it too

    # The other files, with error control over just them, as in one process.
    expected = written(run_search(settings_for(fasta, good)), tmp_path / "expected")
    assert_same_tables(tmp_path / "out", expected)


@needs_dask
def test_killed_worker_has_its_task_run_again(client, inputs, baseline, tmp_path):
    from tovel_mesk.search.cluster import search_on_cluster

    fasta, runs, _ = inputs
    marker = tmp_path / "killed"
    client.register_plugin(KillOnFile("run2.mzML", str(marker)), name="kill-once")
    try:
        outcome = search_on_cluster(settings_for(fasta, runs), client=client)
    finally:
        client.unregister_worker_plugin("kill-once")
    assert marker.exists(), "no worker was killed"
    assert outcome.ok, outcome.summary.failed_files
    assert_same_tables(written(outcome, tmp_path / "out"), baseline[1])


@needs_dask
def test_file_whose_worker_always_dies_fails_after_bounded_tries(client, inputs, tmp_path):
    from tovel_mesk.search.cluster import search_on_cluster

    fasta, runs, _ = inputs
    client.register_plugin(KillOnFile("run3.mzML"), name="kill-always")
    try:
        # Without calibration's first pass the tasks are short, so that a worker is not still
        # holding another file's task when it meets run3 and dies (with one death allowed per
        # task, that file would fail too); calibration plays no part in what is tested here.
        outcome = search_on_cluster(settings_for(fasta, runs, calibration=False), client=client)
    finally:
        client.unregister_worker_plugin("kill-always")
    assert not outcome.ok
    assert list(outcome.summary.failed_files) == ["run3.mzML"]
    assert "died" in outcome.summary.failed_files["run3.mzML"]
    assert [f.name for f in outcome.files] == ["run0.mzML", "run1.mzML", "run2.mzML"]


def run_command(arguments, marker, **kwargs):
    env = dict(os.environ, TOVEL_MESK_TEST_RUN=marker)
    return subprocess.Popen([sys.executable, "-P", "-m", "tovel_mesk", "search", *arguments], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def assert_nothing_left(marker):
    # Processes on their way out may wait for a processor on a busy machine: the wait ends
    # as soon as they are gone, and only processes that stay take the whole minute.
    deadline = time.monotonic() + 60
    while processes_marked("TOVEL_MESK_TEST_RUN", marker) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert processes_marked("TOVEL_MESK_TEST_RUN", marker) == []


@needs_dask
def test_local_cluster_of_the_command_leaves_no_process(inputs, baseline, tmp_path):
    fasta, runs, _ = inputs
    marker = uuid.uuid4().hex
    process = run_command(["--fasta", str(fasta), "--output", str(tmp_path / "out"), "--workers", "2",
                           *SEARCH_FLAGS, *map(str, runs)], marker)
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    assert "local Dask cluster: 2 workers, 1 threads each; dashboard: http://127.0.0.1:" in err
    assert_same_tables(tmp_path / "out", baseline[1])
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["cluster"]["workers"] == 2 and summary["settings"]["workers"] == 2
    assert_nothing_left(marker)


@needs_dask
def test_ctrl_c_ends_the_local_cluster(inputs, tmp_path):
    fasta, runs, _ = inputs
    # Many small files, so that the search is still running when Ctrl-C comes.
    copies = []
    for i in range(300):
        copies.append(tmp_path / f"copy{i}.mzML")
        os.link(runs[0], copies[-1])
    marker = uuid.uuid4().hex
    process = run_command(["--fasta", str(fasta), "--output", str(tmp_path / "out"), "--workers", "2",
                           *map(str, copies)], marker, start_new_session=True)
    try:
        for line in process.stderr:
            if line.startswith("local Dask cluster"):
                break
        time.sleep(0.3)
        os.killpg(process.pid, signal.SIGINT)  # as a terminal does: to every process of the command
        _, err = process.communicate(timeout=300)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 130, err
    assert err.strip().splitlines()[-1] == "tovel-mesk: error: interrupted; nothing was written"
    assert not (tmp_path / "out").exists()
    assert_nothing_left(marker)


@needs_dask
def test_clusters_that_cannot_be_used(client, inputs, monkeypatch):
    from tovel_mesk.search import cluster as on_cluster
    from tovel_mesk.config import ConfigError

    fasta, runs, _ = inputs
    monkeypatch.setattr(on_cluster, "CONNECT_TIMEOUT", "1s")
    with pytest.raises(ConfigError, match="--scheduler tcp://127.0.0.1:9: cannot reach the Dask scheduler"):
        run_search(settings_for(fasta, runs, scheduler="tcp://127.0.0.1:9"))
    # Workers with another version of the package could give other results.
    monkeypatch.setattr(on_cluster, "_installed_version", lambda: "0.0.1")  # the client's, not the workers'
    with pytest.raises(ConfigError, match=r"Dask worker tcp://127\.0\.0\.1:\d+: tovel-mesk is version .+; every "
                                          r"worker needs version 0\.0\.1, the client's"):
        on_cluster.search_on_cluster(settings_for(fasta, runs), client=client)


@pytest.mark.parametrize("where", [{}, pytest.param({"workers": 2}, marks=needs_dask)], ids=["here", "cluster"])
def test_a_missing_database_or_output_folder_is_named(inputs, baseline, where):
    fasta, runs, _ = inputs
    with pytest.raises(ConfigError, match="no protein database: set the settings' fasta"):
        run_search(dataclasses.replace(settings_for(fasta, runs, **where), fasta=None))
    outcome, _ = baseline
    with pytest.raises(ConfigError, match="no output folder: pass a directory, or set the settings' output"):
        outcome.write()


def test_asking_for_a_cluster_without_dask(inputs, monkeypatch, capsys, tmp_path):
    fasta, runs, _ = inputs
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed now fails
    status = cli.main(["search", "--fasta", str(fasta), "--output", str(tmp_path / "out"), "--workers", "2",
                       "--quiet", str(runs[0])])
    err = capsys.readouterr().err
    assert status == 2
    assert err == ("tovel-mesk: error: searching on a Dask cluster (--scheduler, --workers) needs Dask's "
                   "distributed scheduler: pip install 'tovel-mesk[distributed]'\n")
    assert not (tmp_path / "out").exists()


def test_cluster_settings(tmp_path):
    config = tmp_path / "search.toml"
    config.write_text('[cluster]\nscheduler = "tcp://scheduler.example:8786"\n')
    assert load_settings(config=config).scheduler == "tcp://scheduler.example:8786"
    assert load_settings({"workers": 3}).distributed
    assert not load_settings().distributed
    with pytest.raises(ValueError, match="--scheduler and --workers exclude each other"):
        load_settings({"workers": 2}, config)
    with pytest.raises(ValueError, match="--workers must be a whole number from 0 to 4096"):
        load_settings({"workers": -1})
    with pytest.raises(ValueError, match="--scheduler must be a scheduler address"):
        load_settings({"scheduler": " "})


#: A valid value other than the default, for the settings whose type alone does not give one.
OTHER_VALUES = {"enzyme": "lys-c", "fragment_list": "on", "rescore": "hyperscore", "preset": "ion-trap",
                "fdr": 0.05, "scheduler": "tcp://scheduler.example:8786", "decoy_tag": "decoy_",
                "fixed_mods": ("C:+57.021464", "K:+8.014199"), "variable_mods": ("M:+15.994915",), "fragment_tol": "20ppm",
                "formats": ("mzid",), "quant": "none", "protein_quant": "top3", "mbr": True, "min_purity": 0.75}
#: Settings that another one needs beside it to be valid (an impurity file names a plex's reagents).
COMPANIONS = {"impurities": {"quant": "tmt10"}}


def other_value(settings: SearchSettings, name: str):
    from tovel_mesk.conventions import Tolerance

    value = getattr(settings, name)
    if name in OTHER_VALUES:
        return OTHER_VALUES[name]
    if isinstance(value, bool):
        return not value
    if isinstance(value, (int, float)):
        return value + 1
    if isinstance(value, Tolerance):
        return Tolerance(value.lower - 1, value.upper + 1, value.unit)
    if isinstance(value, tuple) and value and isinstance(value[0], int):
        return (value[0], value[1] + 1)
    if isinstance(value, tuple):
        return (*value, "X_")
    return Path("other")


def test_index_key_covers_what_shapes_the_index():
    from tovel_mesk.config import INDEX_STAGES, OPTIONS
    from tovel_mesk.search.cluster import index_key

    base = SearchSettings()
    key = index_key(base, "ab" * 32)
    assert index_key(SearchSettings(), "ab" * 32) == key
    assert index_key(base, "cd" * 32) != key
    for option in OPTIONS:
        changes = {option.name: other_value(base, option.name), **COMPANIONS.get(option.name, {})}
        changed = index_key(dataclasses.replace(base, **changes), "ab" * 32)
        # The settings of the digestion and the index are part of the key; so is the wide
        # window, while it decides whether the index lists its fragments.
        assert (changed != key) == (option.stage in INDEX_STAGES or option.name == "wide_window"), option.name
    assert index_key(dataclasses.replace(base, precursor_tol="0.5da"), "ab" * 32) != key  # auto lists then
    listed = dataclasses.replace(base, fragment_list="on")
    assert index_key(listed, "ab" * 32) == index_key(dataclasses.replace(listed, wide_window=True), "ab" * 32)
    # "auto" that resolves to a list is the same index as "on".
    assert index_key(dataclasses.replace(base, wide_window=True), "ab" * 32) == index_key(listed, "ab" * 32)


def test_worker_settings_keep_what_a_worker_needs(tmp_path):
    from tovel_mesk.config import WORKER_STAGES, OPTIONS

    fasta = tmp_path / "p.fasta"
    settings = load_settings({"fasta": str(fasta), "output": tmp_path / "out", "spectra": [tmp_path / "a.mzML"],
                              "preset": "ion-trap", "missed_cleavages": 1, "top_peaks": 99, "fdr": 0.05,
                              "threads": 3, "workers": 2, "fragment_list": "off"})
    worker = settings.for_worker()
    assert worker.fasta == fasta and worker.fasta.is_absolute()
    for option in OPTIONS:
        if option.stage in WORKER_STAGES:
            assert getattr(worker, option.name) == getattr(settings, option.name), option.name
        elif option.name != "fasta":
            assert getattr(worker, option.name) == option.default, option.name
    assert str(worker.fragment_tol) == "0.5da" and worker.report_psms == 5  # the preset's values stay


def test_worker_index_is_built_once_and_only_from_the_clients_fasta(inputs, tmp_path):
    from tovel_mesk.search import cluster as on_cluster

    fasta, runs, _ = inputs
    settings = settings_for(fasta, runs)
    digest = on_cluster.fasta_sha256(fasta)
    key = on_cluster.index_key(settings, digest)
    first, built = on_cluster._worker_index(settings, key, digest)
    assert set(built) == {"digest", "index"} and first.counts["indexed_peptides"] > 0
    again, built = on_cluster._worker_index(settings, key, digest)
    assert again is first and built == {}

    # A worker that reads other bytes at the FASTA's path, or a FASTA that cannot be
    # digested, stops the search with the reason.
    with pytest.raises(on_cluster.IndexBuildError, match="this worker reads other bytes than the client"):
        on_cluster._worker_index(settings, "another key", "0" * 64)
    broken = tmp_path / "broken.fasta"
    broken.write_text(fasta.read_text() + "PEP@TIDE\n")
    broken_settings = dataclasses.replace(settings, fasta=broken)
    digest = on_cluster.fasta_sha256(broken)
    with pytest.raises(on_cluster.IndexBuildError, match=r"the index cannot be built: .*broken.fasta, line \d+: "
                                                         "unexpected character '@'"):
        on_cluster._worker_index(broken_settings, on_cluster.index_key(broken_settings, digest), digest)

