"""Error control throughput: a generated match table of BENCH_MATCHES matches (default one
million: 200,000 spectra with five ranks each, 25 numeric features) through
`assign_confidence` with the built-in discriminant.

Prints wall and CPU seconds, matches per second, the path rescoring took, and the peak
memory that error control added to the table (resident set, from /proc)."""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from _match_tables import make_matches  # noqa: E402
from bench_scoring import reset_peak_rss, rss_kib  # noqa: E402
from tovel_mesk.fdr.confidence import assign_confidence  # noqa: E402


def main() -> int:
    matches = int(os.environ.get("BENCH_MATCHES", "1000000"))
    ranks = 5
    psms = make_matches(n_spectra=matches // ranks, ranks=ranks, peptides=200_000, proteins=20_000,
                        files=("a.mzML", "b.mzML", "c.mzML"), seed=3)
    rng = np.random.default_rng(4)
    for k in range(20):
        psms[f"extra_{k}"] = rng.standard_normal(len(psms)).astype(np.float32)
    reset_peak_rss()
    before = rss_kib("VmRSS")
    wall, cpu = time.perf_counter(), time.process_time()
    result = assign_confidence(psms)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    extra = (rss_kib("VmHWM") - before) / 1024
    print(f"error control: {len(psms):,} matches, {len(result.rescoring.features)} features, "
          f"{wall:.2f} s wall, {cpu:.2f} s CPU, {len(psms) / wall:,.0f} matches/s; "
          f"peak memory +{extra:.0f} MiB")
    print(f"rescoring: {result.rescoring.used} ({result.rescoring.reason}); totals at 1% FDR: {result.totals()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
