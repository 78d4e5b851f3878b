"""The index cache on a real run: one ion-trap run (BSA2.mzML) against the 9,439-protein
FASTA of `bench/realdata.py`, with the same search settings, measured as whole processes:

- off:  `--no-index-cache`, the index digested and built every time;
- cold: an empty cache folder, the index built and stored;
- warm: the same folder again, the index mapped and verified from the cache.

For each: the wall time of the command, the seconds it spent getting the index (the
digest and index stages of summary.json: hashing the FASTA, then mapping and verifying the
entry on a hit, or digesting, building and storing otherwise), and that share of the wall
time. Target: a warm call spends at most 5% of its wall time getting the index.

Usage: bench_index_cache.py [--repeats N] [--threads N] [--data DIR]. Skipped (exit 0) when
the real data are not installed.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from realdata import FASTA, search_arguments  # noqa: E402

DATA = Path("/usr/share/doc/openms/examples")
RUN = "BSA/BSA2.mzML"


def run(arguments: list[str], output: Path) -> tuple[float, dict]:
    if output.exists():
        shutil.rmtree(output)
    started = time.perf_counter()
    subprocess.run([sys.executable, "-P", "-m", "tovel_mesk", *arguments], check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - started
    return wall, json.loads((output / "summary.json").read_text())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3, help="runs of each kind (default: 3)")
    parser.add_argument("--threads", type=int, default=2, help="search threads (default: 2)")
    parser.add_argument("--data", type=Path, default=DATA, help=f"the examples folder (default: {DATA})")
    args = parser.parse_args()
    fasta, spectra = args.data / FASTA, args.data / RUN
    if not fasta.exists() or not spectra.exists():
        print(f"bench_index_cache: skipped, {fasta} or {spectra} is missing")
        return 0
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        output, cache = work / "out", work / "cache"
        base = search_arguments([spectra], fasta, output, args.threads)
        rows = []
        for kind in ("off", "cold", "warm") * args.repeats:
            if kind == "cold" and cache.exists():
                shutil.rmtree(cache)
            flags = ["--no-index-cache"] if kind == "off" else ["--index-cache", str(cache)]
            wall, summary = run([*base[:1], *flags, *base[1:]], output)
            stages = summary["stages"]
            index = stages.get("digest", 0.0) + stages.get("index", 0.0)
            record = summary.get("index_cache") or {}
            rows.append((kind, wall, index, record.get("status"), record.get("entry_bytes", 0)))
    print(f"index cache, {RUN} against {Path(FASTA).name}, --preset ion-trap, {args.threads} threads")
    print(f"{'kind':<6}{'status':>8}{'wall s':>9}{'index s':>9}{'share':>8}{'entry MiB':>11}")
    for kind, wall, index, status, size in rows:
        print(f"{kind:<6}{status or '-':>8}{wall:9.2f}{index:9.3f}{100 * index / wall:7.1f}%{size / 2**20:11.1f}")
    for kind in ("off", "cold", "warm"):
        picked = sorted((wall, index) for k, wall, index, _, _ in rows if k == kind)
        wall, index = picked[len(picked) // 2]
        print(f"median {kind}: wall {wall:.2f} s, getting the index {index:.3f} s ({100 * index / wall:.1f}% of wall)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
