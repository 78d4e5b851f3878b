"""Start-up and the stages before scoring, on the real ion-trap runs (Debian's openms-doc
examples) against the 18-protein FASTA (9,439 target proteins and their decoys).

Runs `tovel-mesk search` as a user does (a new process, progress on stderr) on BSA2 alone
and on all six runs in one call, each twice: with an empty index cache (cold: digest and
index built) and again with the cache the first call filled (warm). Prints per call:

- the time from the process's start to its first line on stderr (target: at most 0.3 s),
  with the processor seconds the process had used by then (the figure that a machine
  shared with other jobs leaves comparable), and to its first stage line (the digest's or
  the index's);
- the wall time of the whole call and the seconds of each stage (summary.json `stages`);
- cold: the digest's seconds against the index build's (target: at most half).

Then, in this process on the same worker threads, the digestion alone against the index
build alone (medians of a few rounds, wall and processor seconds), the figure the stage
seconds of a call blur with the imports that run beside them.

Environment: BENCH_THREADS (default 2), BENCH_ROUNDS (default 3), BENCH_CALLS ("bsa2,all"
by default; "bsa2" for one call only).
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EXAMPLES = Path("/usr/share/doc/openms/examples")
FASTA = EXAMPLES / "TOPPAS/data/BSA_Identification/18Protein_SoCe_Tr_detergents_trace_target_decoy.fasta"
RUNS = ["BSA/BSA2.mzML", "BSA/BSA3.mzML", "FRACTIONS/BSA2_F1.mzML", "FRACTIONS/BSA2_F2.mzML",
        "FRACTIONS/BSA3_F1.mzML", "FRACTIONS/BSA3_F2.mzML"]
THREADS = int(os.environ.get("BENCH_THREADS", "2"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
CALLS = os.environ.get("BENCH_CALLS", "bsa2,all").split(",")
FIRST_LINE_TARGET = 0.3
DIGEST_SHARE_TARGET = 0.5
#: The settings of bench/realdata.py's comparison with Comet.
SETTINGS = ["--preset", "ion-trap", "--precursor-tol", "10ppm", "--isotope-errors", "0,3", "--enzyme", "trypsin",
            "--missed-cleavages", "2", "--min-length", "7", "--max-length", "50", "--min-mass", "398.9927",
            "--max-mass", "9998.9927", "--remove-initiator-met", "--fixed-mods", "C:+57.021464",
            "--max-fragment-charge", "2"]
STAGE_LINE = ("digest:", "index:")


TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float | None:
    """Processor seconds (user and system) a running process has used, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / TICK


def call(runs: list[Path], output: Path, cache: Path) -> dict:
    """One search in a new process: seconds to the first stderr line and to the first stage
    line, wall seconds, and the summary's stage seconds."""
    command = [sys.executable, "-P", "-m", "tovel_mesk", "search", "--fasta", str(FASTA), "--output", str(output),
               *SETTINGS, "--threads", str(THREADS), "--index-cache", str(cache), *map(str, runs)]
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert process.stderr is not None
    first = first_stage = first_cpu = None
    for line in process.stderr:
        now = time.perf_counter() - started
        if first is None:
            first, first_cpu = now, cpu_seconds(process.pid)
        if first_stage is None and line.startswith(STAGE_LINE):
            first_stage = now
    status = process.wait()
    wall = time.perf_counter() - started
    if status != 0:
        raise SystemExit(f"bench_startup: the search failed ({status}): {' '.join(command)}")
    summary = json.loads((output / "summary.json").read_text())
    return {"first_line": first, "first_line_cpu": first_cpu, "first_stage_line": first_stage, "wall": wall,
            "stages": summary["stages"],
            "index_cache": summary.get("index_cache", {}).get("status")}


def stage_text(stages: dict) -> str:
    return ", ".join(f"{name} {seconds:.2f}" for name, seconds in stages.items() if name != "total")


def in_process() -> tuple[float, float, float, float]:
    """Medians of the digestion alone and of the index build (without the fragment list, as
    the ion-trap search builds it) on the same worker threads: wall seconds of each, then
    processor seconds of each."""
    os.environ.setdefault("RAYON_NUM_THREADS", str(THREADS))
    import tovel_mesk

    digests, builds, digest_cpu, build_cpu = [], [], [], []
    options = {"fixed_mods": ["C:+57.021464"], "min_mass": 398.9927, "max_mass": 9998.9927,
               "remove_initiator_met": True}
    for _ in range(ROUNDS):
        started, cpu = time.perf_counter(), time.process_time()
        digest = tovel_mesk.digest_fasta(FASTA, **options)
        digests.append(time.perf_counter() - started)
        digest_cpu.append(time.process_time() - cpu)
        started, cpu = time.perf_counter(), time.process_time()
        tovel_mesk.build_database(digest, fragment_list=False)
        builds.append(time.perf_counter() - started)
        build_cpu.append(time.process_time() - cpu)
        del digest
    return (statistics.median(digests), statistics.median(builds), statistics.median(digest_cpu),
            statistics.median(build_cpu))


def main() -> int:
    if not FASTA.exists():
        print(f"bench_startup: skipped, {FASTA} is absent (Debian package openms-doc)")
        return 0
    print(f"start-up: {FASTA.name}, {THREADS} threads, each call cold (empty index cache) then warm")
    with tempfile.TemporaryDirectory(prefix="tovel-startup-") as tmp:
        for name in CALLS:
            runs = [EXAMPLES / RUNS[0]] if name == "bsa2" else [EXAMPLES / r for r in RUNS]
            cache = Path(tmp) / f"cache-{name}"
            for temperature in ("cold", "warm"):
                figures = call(runs, Path(tmp) / f"out-{name}-{temperature}", cache)
                stages = figures["stages"]
                first = figures["first_line"]
                cpu = figures["first_line_cpu"]
                print(f"  {name:<4} {temperature}: first line {first:.3f} s "
                      f"({'ok' if first <= FIRST_LINE_TARGET else 'OVER TARGET'} <= {FIRST_LINE_TARGET} s; "
                      f"{'?' if cpu is None else f'{cpu:.2f}'} processor s), "
                      f"first stage line {figures['first_stage_line']:.2f} s, wall {figures['wall']:.2f} s, "
                      f"index {figures['index_cache']}")
                print(f"        stages (s): {stage_text(stages)}")
                if temperature == "cold" and stages.get("index"):
                    share = stages["digest"] / stages["index"]
                    print(f"        digest / index build: {share:.2f} "
                          f"({'ok' if share <= DIGEST_SHARE_TARGET else 'OVER TARGET'} <= {DIGEST_SHARE_TARGET})")
    digest, build, digest_cpu, build_cpu = in_process()
    share = digest / build
    print(f"  in one process: digest {digest:.3f} s, index build {build:.3f} s: {share:.2f} "
          f"({'ok' if share <= DIGEST_SHARE_TARGET else 'OVER TARGET'} <= {DIGEST_SHARE_TARGET}; medians of {ROUNDS}); "
          f"processor s: digest {digest_cpu:.3f}, index build {build_cpu:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
