"""Preparation of a search: the real 18-protein FASTA (Debian's openms-doc examples) to a ready
index with the default settings and decoys.

Prints, in one run, the time of digestion plus index build against the index build alone on
the same already-digested peptides (target: at most 1.5x), and the peak memory of the whole
preparation against the size of the finished index (target: within 2x). Memory is measured
in a fresh process: resident memory above the process's start, the index's share being what
stays resident once the digest is released."""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time

FASTA = os.environ.get(
    "BENCH_FASTA",
    "/usr/share/doc/openms/examples/TOPPAS/data/BSA_Identification/"
    "18Protein_SoCe_Tr_detergents_trace_target_decoy.fasta")
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
TIME_TARGET = 1.5
MEMORY_TARGET = 2.0

# Run in a child process: prints peak and index memory in MiB above the starting point.
MEMORY_PROBE = r"""
import ctypes, gc, sys
import tovel_mesk
libc = ctypes.CDLL("libc.so.6")

def status(field):
    libc.malloc_trim(0)
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(field)

start = status("VmRSS")
digest = tovel_mesk.digest_fasta(sys.argv[1])
db = tovel_mesk.build_database(digest)
peak = status("VmHWM")
del digest
gc.collect()
print(peak - start, status("VmRSS") - start, db.fragment_count())
"""


def timed(action):
    t0 = time.perf_counter()
    result = action()
    return time.perf_counter() - t0, result


def main() -> int:
    if not os.path.exists(FASTA):
        print(f"bench_prepare: skipped, {FASTA} is absent (Debian package openms-doc)")
        return 0
    import tovel_mesk

    digest_times, build_times, ratios = [], [], []
    for _ in range(ROUNDS):
        t_digest, digest = timed(lambda: tovel_mesk.digest_fasta(FASTA))
        t_build, db = timed(lambda: tovel_mesk.build_database(digest))
        digest_times.append(t_digest)
        build_times.append(t_build)
        ratios.append((t_digest + t_build) / t_build)
        fragments = db.fragment_count()
        del db
    print(f"prepare: {os.path.basename(FASTA)}: {digest.protein_count} target proteins "
          f"({digest.dropped_decoys} decoys of the file dropped), {len(digest)} peptides "
          f"({digest.skipped} skipped); index with decoys: {fragments} fragments")
    print(f"  digest {statistics.median(digest_times):.3f} s, index build {statistics.median(build_times):.3f} s "
          f"(medians of {ROUNDS})")
    ratio = statistics.median(ratios)
    print(f"  whole preparation / index build alone: {ratio:.2f}x (target <= {TIME_TARGET}x) "
          f"{'ok' if ratio <= TIME_TARGET else 'OVER TARGET'}")

    probe = subprocess.run([sys.executable, "-P", "-c", MEMORY_PROBE, FASTA], capture_output=True, text=True,
                           check=True)
    peak, index, _ = (float(v) for v in probe.stdout.split())
    print(f"  peak memory {peak:.0f} MiB, finished index {index:.0f} MiB: {peak / index:.2f}x "
          f"(target <= {MEMORY_TARGET}x) {'ok' if peak <= MEMORY_TARGET * index else 'OVER TARGET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
