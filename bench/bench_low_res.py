"""Processor time of the low-resolution features per spectrum on the real ion-trap runs: the
straightforward path (every score where it is needed, one ion at a time, the whole null of
2,000 generated peptides per calibration) against the fast path with the whole null (the
same numbers to the bit, checked here) and with the adaptive null, all in the same run.

For each development run (BSA2, BSA3 and the four fractions against the 18-protein FASTA,
searched as bench/realdata.py searches them: --preset ion-trap, 10 ppm, isotope errors 0 to
3, 5 matches per spectrum) the spectra are read once and scored on one thread without the
features and with each path; a path's feature time is its processor time less that of the
search without features (the best of `--repeat` tries each). Prints milliseconds of
processor time per spectrum, the ratio to the straightforward path, and the mean number of
null peptides the adaptive null drew per calibration. Skips (exit status 0) without the data.

Usage: python -P bench/bench_low_res.py [--runs BSA2,BSA3,...] [--repeat N]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from tovel_mesk import _native
from tovel_mesk.config import load_settings
from tovel_mesk.io.spectra import SpectraReader
from tovel_mesk.search.database import prepare_database
from tovel_mesk.search.scoring import make_scorer

EXAMPLES = Path("/usr/share/doc/openms/examples")
RUNS = {
    "BSA2": "BSA/BSA2.mzML", "BSA3": "BSA/BSA3.mzML",
    "BSA2_F1": "FRACTIONS/BSA2_F1.mzML", "BSA2_F2": "FRACTIONS/BSA2_F2.mzML",
    "BSA3_F1": "FRACTIONS/BSA3_F1.mzML", "BSA3_F2": "FRACTIONS/BSA3_F2.mzML",
}
FASTA = EXAMPLES / "TOPPAS/data/BSA_Identification/18Protein_SoCe_Tr_detergents_trace_target_decoy.fasta"
LOW_RES = ("xcorr", "delta_xcorr", "log10_evalue", "top_peaks_explained", "matched_ion_fraction")
# (label, score_columns keywords)
PATHS = [
    ("no features", dict(low_res=False)),
    ("straightforward", dict(low_res=True, adaptive_null=False, reference=True)),
    ("fast, whole null", dict(low_res=True, adaptive_null=False)),
    ("fast, adaptive null", dict(low_res=True, adaptive_null=True)),
]


def cpu_seconds(scorer, db, spectra, repeat: int, **keywords) -> tuple[float, dict]:
    best, columns = float("inf"), {}
    for _ in range(repeat):
        started = time.process_time()
        scored = _native.score_columns(scorer, db, spectra, 1, **keywords)
        best = min(best, time.process_time() - started)
        columns = {name: np.frombuffer(buffer, dtype=dtype) for name, dtype, buffer in scored}
    return best, columns


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", default=",".join(RUNS))
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    if not FASTA.exists():
        print("bench_low_res: needs Debian's openms-doc examples; skipped")
        return 0
    settings = load_settings({
        "fasta": FASTA, "preset": "ion-trap", "fragment_tol": "0.5da", "precursor_tol": "10ppm",
        "isotope_errors": "0,3", "min_mass": 400.0 - 1.0072764, "max_mass": 10000.0 - 1.0072764,
        "fixed_mods": ["C:+57.021464"], "max_fragment_charge": 2})
    db, counts = prepare_database(settings)
    scorer = make_scorer(settings)
    print(f"database: {counts['indexed_peptides']:,} peptides; one thread; processor ms per spectrum "
          f"of the low-resolution features (best of {args.repeat})")
    header = f"{'run':<8} {'spectra':>7} " + " ".join(f"{label:>20}" for label, _ in PATHS[1:]) + \
        f" {'ratio':>6} {'null drawn':>10}"
    print(header)
    print("-" * len(header))
    totals = np.zeros(len(PATHS) - 1)
    spectra_total = 0
    failures = []
    for name in args.runs.split(","):
        path = EXAMPLES / RUNS[name]
        spectra = [s for chunk in SpectraReader(path, ms_level=2, top_peaks=settings.top_peaks) for s in chunk]
        base, _ = cpu_seconds(scorer, db, spectra, args.repeat, **PATHS[0][1])
        costs, tables = [], []
        null_before = _native.null_counts()
        for label, keywords in PATHS[1:]:
            if label == "fast, adaptive null":
                null_before = _native.null_counts()
            seconds, columns = cpu_seconds(scorer, db, spectra, args.repeat, **keywords)
            costs.append(max(seconds - base, 0.0))
            tables.append(columns)
        calibrations, drawn = (a - b for a, b in zip(_native.null_counts(), null_before))
        for column in LOW_RES:
            if tables[0][column].tobytes() != tables[1][column].tobytes():
                failures.append(f"{name}: {column} of the fast path differs from the straightforward one")
        per = [1000.0 * c / len(spectra) for c in costs]
        totals += costs
        spectra_total += len(spectra)
        print(f"{name:<8} {len(spectra):>7} " + " ".join(f"{p:>20.3f}" for p in per) +
              f" {costs[0] / max(costs[2], 1e-9):>6.1f} {drawn / max(calibrations, 1):>10.0f}")
    per = 1000.0 * totals / max(spectra_total, 1)
    print(f"{'all':<8} {spectra_total:>7} " + " ".join(f"{p:>20.3f}" for p in per) +
          f" {totals[0] / max(totals[2], 1e-9):>6.1f}")
    print("ratio: straightforward over the fast path with the adaptive null; null drawn: mean generated "
          "peptides scored per calibration by the adaptive null (the whole null is 2,000)")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
