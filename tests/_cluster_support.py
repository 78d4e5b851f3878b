"""Inputs and tools for the cluster tests: a generated proteome and runs, a worker plugin
that kills its own process when it starts a given file's task, and a scan for the
processes a command left behind. Workers import this module to unpickle the plugin."""

from __future__ import annotations

import os
import signal
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import synthetic  # noqa: E402
from mzml_writer import Ms2, write_mzml  # noqa: E402

try:
    from distributed import WorkerPlugin
except ImportError:  # the tests that need it skip
    WorkerPlugin = object


def write_inputs(folder: Path, runs: int = 4, spectra: int = 70) -> tuple[Path, list[Path]]:
    """A FASTA of 60 random proteins and `runs` mzML runs. Half of each run's spectra
    come from the FASTA's peptides, the rest from a proteome that is not searched, so error
    control sees decoys and wrong targets. Runs differ in size and content."""
    proteins = synthetic.random_proteome(60, seed=5, mean_length=300.0)
    fasta = folder / "proteins.fasta"
    fasta.write_text("".join(f">sp|T{i:04d}|T{i:04d}_TEST test protein {i}\n{p}\n" for i, p in enumerate(proteins)))
    present = synthetic.peptide_records(synthetic.tryptic_peptides(proteins))
    absent = synthetic.peptide_records(synthetic.tryptic_peptides(synthetic.random_proteome(40, seed=6)))
    present = [p for p in present if 700.0 <= p.mass <= 3500.0]
    absent = [p for p in absent if 700.0 <= p.mass <= 3500.0]
    paths = []
    for run in range(runs):
        rng = np.random.default_rng(100 + run)
        count = spectra + 10 * run
        scans = []
        for n in range(count):
            pool = present if n % 2 else absent
            peptide = pool[int(rng.integers(len(pool)))]
            charge = int(rng.choice([2, 3]))
            s = synthetic.simulate_spectrum(rng, f"scan={n + 1}", [peptide], charge)
            scans.append(Ms2(s.id, 4.0 * n, s.precursor_mz, s.charge, s.mz.astype(np.float64) + synthetic.PROTON,
                             s.intensity))
        path = folder / f"run{run}.mzML"
        write_mzml(path, scans)
        paths.append(path)
    return fasta, paths


def write_truncated(source: Path, target: Path) -> Path:
    """A copy of an mzML run cut off in the middle of a spectrum."""
    data = source.read_bytes()
    target.write_bytes(data[: len(data) * 2 // 3])
    return target


class KillOnFile(WorkerPlugin):
    """A worker plugin: the worker's process is killed (SIGKILL, as the system's
    out-of-memory killer does) when it starts the task of a file whose name holds `name`.
    With `once`, only the first such start anywhere kills, marked by creating `marker`."""

    def __init__(self, name: str, marker: str | None = None):
        self.name = name
        self.marker = marker

    def transition(self, key, start, finish, **kwargs) -> None:
        if finish != "executing" or self.name not in str(key):
            return
        if self.marker is not None:
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                return
        os.kill(os.getpid(), signal.SIGKILL)


def processes_marked(variable: str, value: str) -> list[tuple[int, list[str]]]:
    """Live processes (zombies aside) whose environment holds `variable=value`."""
    import psutil  # noqa: PLC0415 - comes with Dask's distributed scheduler

    found = []
    for process in psutil.process_iter():
        try:
            if process.environ().get(variable) == value and process.status() != psutil.STATUS_ZOMBIE:
                found.append((process.pid, process.cmdline()))
        except psutil.Error:
            continue
    return found
