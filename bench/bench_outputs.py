"""Writing the output folder: seconds for 100,000 and 1,000,000 generated matches.

Prints, per size, the wall and CPU seconds of each file family and of `write_outputs` as a
whole (report included), and the memory `write_outputs` takes beyond the input tables.
Set BENCH_MATCHES to a comma-separated list of sizes to change them."""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from _tables import best_per, match_table  # noqa: E402
from bench_scoring import reset_peak_rss, rss_kib  # noqa: E402
from tovel_mesk.report import html as report  # noqa: E402
from tovel_mesk.report import tables as outputs  # noqa: E402


def timed(label: str, action) -> None:
    wall, cpu = time.perf_counter(), time.process_time()
    action()
    print(f"  {label:<28} {time.perf_counter() - wall:6.2f} s wall {time.process_time() - cpu:6.2f} s cpu")


def main() -> int:
    sizes = [int(n) for n in os.environ.get("BENCH_MATCHES", "100000,1000000").split(",")]
    folder = Path(tempfile.mkdtemp(prefix="bench_outputs_"))
    try:
        for n in sizes:
            psms = match_table(n)
            peptides, proteins = best_per(psms, "peptide", "peptide_q"), best_per(psms, "proteins", "protein_q")
            print(f"{n:,} matches ({len(peptides):,} peptides, {len(proteins):,} proteins):")
            table = outputs.psm_table(psms)
            timed("arrow table", lambda: outputs.psm_table(psms))
            timed("psms.parquet", lambda: outputs.write_parquet(table, folder / "p.parquet"))
            timed("psms.tsv", lambda: outputs.write_tsv(table, folder / "p.tsv"))
            timed("results.pin", lambda: outputs.write_pin(table, folder / "p.pin"))
            timed("report.html", lambda: report.render_report(psms, peptides, proteins, {}))
            del table
            measured, before = reset_peak_rss(), rss_kib("VmRSS")
            timed("write_outputs (all files)",
                  lambda: outputs.write_outputs(folder / "out", psms, peptides, proteins, {}))
            if measured:
                print(f"  memory beyond the input tables: {(rss_kib('VmHWM') - before) / 1024:.0f} MiB at peak")
            sizes_mb = {p.name: p.stat().st_size / 1e6 for p in (folder / "out").iterdir()}
            print("  sizes (MB): " + ", ".join(f"{k} {v:.1f}" for k, v in sorted(sizes_mb.items())))
            del psms
    finally:
        shutil.rmtree(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
