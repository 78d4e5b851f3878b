"""Writing the output folder: seconds for 100,000 and 1,000,000 generated matches.

Prints, per size, the wall and CPU seconds of each file family, of each standard format
(mzIdentML, pepXML, mzTab) and of `write_outputs` as a whole (report and every standard
format included), and the memory `write_outputs` takes beyond the input tables. Then the
ratio the formats are held to: the CPU seconds of the three standard formats together over
those of psms.tsv alone (target: at most 3).
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
from tovel_mesk.report.mzid import write_mzid  # noqa: E402
from tovel_mesk.report.mztab import write_mztab  # noqa: E402
from tovel_mesk.report.pepxml import write_pepxml  # noqa: E402


SETTINGS = {"fasta": "/data/proteins.fasta", "enzyme": "trypsin", "missed_cleavages": 2,
            "fixed_mods": ["C:+57.021464"], "variable_mods": ["M:+15.994915"], "precursor_tol": "10ppm",
            "fragment_tol": "0.02da", "fdr": 0.01}


def timed(label: str, action) -> float:
    """Runs `action`, prints its wall and CPU seconds and returns the CPU seconds."""
    wall, cpu = time.perf_counter(), time.process_time()
    action()
    spent = time.process_time() - cpu
    print(f"  {label:<28} {time.perf_counter() - wall:6.2f} s wall {spent:6.2f} s cpu")
    return spent


def main() -> int:
    sizes = [int(n) for n in os.environ.get("BENCH_MATCHES", "100000,1000000").split(",")]
    folder = Path(tempfile.mkdtemp(prefix="bench_outputs_"))
    try:
        for n in sizes:
            psms = match_table(n)
            peptides, proteins = best_per(psms, "peptide", "peptide_q"), best_per(psms, "proteins", "protein_q")
            # The peptide table of mzTab: each peptide's best match, with its match columns.
            peptide_rows = psms.sort_values("discriminant_score", ascending=False).drop_duplicates("peptide")
            proteins = proteins.rename(columns={"proteins": "protein"})
            print(f"{n:,} matches ({len(peptides):,} peptides, {len(proteins):,} proteins):")
            table = outputs.psm_table(psms)
            timed("arrow table", lambda: outputs.psm_table(psms))
            timed("psms.parquet", lambda: outputs.write_parquet(table, folder / "p.parquet"))
            tsv = timed("psms.tsv", lambda: outputs.write_tsv(table, folder / "p.tsv"))
            timed("results.pin", lambda: outputs.write_pin(table, folder / "p.pin"))
            timed("report.html", lambda: report.render_report(psms, peptides, proteins, {}))
            del table
            files = list(psms["file"].astype(str).unique())
            formats = timed("psms.mzid", lambda: write_mzid(folder / "p.mzid", psms, proteins, SETTINGS, fdr=0.01,
                                                            spectra_files=files))
            formats += timed("psms.pep.xml", lambda: write_pepxml(folder / "p.pep.xml", psms, SETTINGS,
                                                                 spectra_files=files))
            formats += timed("results.mztab", lambda: write_mztab(folder / "p.mztab", psms, peptide_rows, proteins,
                                                                 SETTINGS, fdr=0.01, spectra_files=files))
            print(f"  standard formats together: {formats:.2f} s cpu = {formats / tsv:.1f} x psms.tsv alone "
                  "(target: at most 3 x)")
            measured, before = reset_peak_rss(), rss_kib("VmRSS")
            timed("write_outputs (all files)",
                  lambda: outputs.write_outputs(folder / "out", psms, peptide_rows, proteins, {"settings": SETTINGS},
                                                formats=("mzid", "pepxml", "mztab"), spectra_files=files))
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
