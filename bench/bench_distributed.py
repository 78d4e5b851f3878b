"""Searching on a local Dask cluster against searching in one process, whole commands.

Eight copies of one generated run are searched by `tovel-mesk search` twice, in turn: in one
process with 2 threads, and on a local cluster of 2 worker processes with 1 thread each
(`--workers 2 --threads 1`). Prints files per minute for both, the cluster's overhead as a
share of the in-process time (target: at most 15%), whether the written tables are the same
bytes, and what the scaling model in the README is made of: the cost of one file on one
thread, the index build per worker, the cluster's start, the workers' idle time per file
(scheduling, transfer of the columns, uneven finish) and a worker's memory with the index
loaded.

The cluster's overhead is mostly fixed (its start, one index build per worker, its close),
so its share shrinks as runs grow; the default run of 5,000 spectra is still small beside an
instrument's. BENCH_SPECTRA, BENCH_PROTEINS and BENCH_ROUNDS change the run's size, the
proteome's size and the number of A/B rounds (the fastest round of each is quoted)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import synthetic  # noqa: E402
from mzml_writer import Ms2, write_mzml  # noqa: E402

SPECTRA = int(os.environ.get("BENCH_SPECTRA", "5000"))
PROTEINS = int(os.environ.get("BENCH_PROTEINS", "2000"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "2"))
COPIES = 8
OVERHEAD_TARGET = 0.15
TABLES = ("psms.parquet", "psms.tsv", "peptides.tsv", "proteins.tsv", "results.pin")

# Run in a child process: a one-worker local cluster searches one file; prints the worker's
# resident memory before any task and its peak after the search, in MiB.
MEMORY_PROBE = r"""
import logging, resource, sys
import distributed
from tovel_mesk.config import load_settings
from tovel_mesk.search.cluster import search_on_cluster

def rss():
    with open("/proc/self/status") as f:
        return {line.split(":")[0]: int(line.split()[1]) / 1024 for line in f if line.startswith(("VmRSS", "VmHWM"))}

if __name__ == "__main__":
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, host="127.0.0.1", dashboard_address=":0",
                                  silence_logs=logging.CRITICAL) as cluster, distributed.Client(cluster) as client:
        before = next(iter(client.run(rss).values()))["VmRSS"]
        search_on_cluster(load_settings({"fasta": sys.argv[1], "spectra": [sys.argv[2]], "quiet": True,
                                         "threads": 1}), client=client)
        after = next(iter(client.run(rss).values()))
        print(before, after["VmHWM"], after["VmRSS"])
"""


def write_inputs(folder: Path) -> tuple[Path, list[Path]]:
    """A random proteome as FASTA and eight copies of one run of its peptides."""
    rng = np.random.default_rng(7)
    proteins = synthetic.random_proteome(PROTEINS, seed=3)
    fasta = folder / "proteome.fasta"
    fasta.write_text("".join(f">sp|B{i:05d}|B{i:05d}_BENCH\n{p}\n" for i, p in enumerate(proteins)))
    records = [p for p in synthetic.peptide_records(synthetic.tryptic_peptides(proteins)) if 800 <= p.mass <= 4000]
    scans = []
    for n, index in enumerate(rng.choice(len(records), size=SPECTRA, replace=False)):
        s = synthetic.simulate_spectrum(rng, f"scan={n + 1}", [records[index]], int(rng.choice([2, 3])))
        scans.append(Ms2(s.id, 2.0 * n, s.precursor_mz, s.charge, s.mz.astype(np.float64) + synthetic.PROTON,
                         s.intensity))
    first = folder / "run01.mzML"
    write_mzml(first, scans)
    runs = [first]
    for copy in range(2, COPIES + 1):
        runs.append(folder / f"run{copy:02d}.mzML")
        os.link(first, runs[-1])
    return fasta, runs


def search(fasta: Path, runs: list[Path], output: Path, *options: str) -> float:
    """Wall seconds of one whole `tovel-mesk search` command."""
    command = [sys.executable, "-P", "-m", "tovel_mesk", "search", "--fasta", str(fasta), "--output", str(output),
               "--quiet", *options, *map(str, runs)]
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"bench_distributed: {' '.join(command)} failed:\n{done.stderr}")
    return seconds


def main() -> int:
    try:
        import distributed  # noqa: F401
    except ImportError:
        print("bench_distributed: skipped, Dask is not installed (pip install 'tovel-mesk[distributed]')")
        return 0
    with tempfile.TemporaryDirectory(prefix="bench-distributed-") as tmp:
        folder = Path(tmp)
        fasta, runs = write_inputs(folder)
        in_process, cluster = [], []
        for _ in range(ROUNDS):
            in_process.append(search(fasta, runs, folder / "in_process", "--threads", "2"))
            cluster.append(search(fasta, runs, folder / "cluster", "--workers", "2", "--threads", "1"))
        same = all((folder / "in_process" / t).read_bytes() == (folder / "cluster" / t).read_bytes() for t in TABLES)
        summary = json.loads((folder / "cluster" / "summary.json").read_text())
        probe = subprocess.run([sys.executable, "-P", "-c", MEMORY_PROBE, str(fasta), str(runs[0])],
                               capture_output=True, text=True, cwd=folder)
    a, b = min(in_process), min(cluster)
    overhead = b / a - 1.0
    stages, info, database = summary["stages"], summary["cluster"], summary["database"]
    builds = max(info["index_builds"], 1)
    per_file = (stages["reading"] + stages["scoring"]) / COPIES
    build = (stages["digest"] + stages["index"]) / builds
    busy = stages["reading"] + stages["scoring"] + stages["digest"] + stages["index"]
    idle = max(info["search_seconds"] * info["workers"] - busy, 0.0) / COPIES

    print(f"distributed: {COPIES} copies of a run of {SPECTRA:,} spectra; {PROTEINS:,} proteins, "
          f"{database['peptides']:,} peptides, {database['fragments']:,} fragments with decoys")
    print(f"  in one process, 2 threads:     {a:6.2f} s  {60 * COPIES / a:6.1f} files/min  (rounds: "
          + ", ".join(f"{t:.2f}" for t in in_process) + ")")
    print(f"  local cluster, 2 workers x 1:  {b:6.2f} s  {60 * COPIES / b:6.1f} files/min  (rounds: "
          + ", ".join(f"{t:.2f}" for t in cluster) + ")")
    print(f"  cluster overhead: {100 * overhead:+.1f}% of the in-process time (target <= {100 * OVERHEAD_TARGET:.0f}%) "
          f"{'ok' if overhead <= OVERHEAD_TARGET else 'OVER TARGET'}")
    print(f"  written tables identical: {'yes' if same else 'NO'}")
    print(f"  model inputs: one file on one thread {per_file:.2f} s; index build per worker {build:.2f} s "
          f"({info['index_builds']} builds); cluster start {info['start_seconds']:.2f} s; idle worker time "
          f"(scheduling, transfer, uneven finish) {idle:.3f} s per file")
    if probe.returncode == 0:
        before, peak, after = (float(v) for v in probe.stdout.split())
        print(f"  worker memory: {before:.0f} MiB at start, {after:.0f} MiB with the index after one file "
              f"(peak {peak:.0f} MiB)")
    else:
        print(f"  worker memory: probe failed: {probe.stderr.strip().splitlines()[-1:]}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
