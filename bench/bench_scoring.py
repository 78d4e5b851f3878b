"""Scoring throughput: 2,000 simulated spectra against the full synthetic database, through
the batch entry point and through the single-spectrum entry point on one thread.

Prints spectra per second for both, their ratio, the mean number of candidates the
preliminary search hit per spectrum, and peak memory beyond the finished index."""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import _tovel_mesk as tm  # noqa: E402
import synthetic  # noqa: E402


def rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def main() -> int:
    n_proteins = int(os.environ.get("BENCH_PROTEINS", "20000"))
    n_spectra = int(os.environ.get("BENCH_SPECTRA", "2000"))
    rng = np.random.default_rng(7)

    t0 = time.perf_counter()
    records = synthetic.peptide_records(synthetic.tryptic_peptides(synthetic.random_proteome(n_proteins, seed=1)))
    peptides = [tm.PyPeptide(p.sequence, p.mass, p.modifications) for p in records]
    db = tm.PyIndexedDatabase.from_peptides_and_config(
        peptides, 8192, [tm.PyKind.B(), tm.PyKind.Y()], 2, True, "rev_", 500.0, 5000.0)
    del peptides
    print(f"database: {len(records)} targets, {db.fragment_count()} fragments "
          f"(built in {time.perf_counter() - t0:.1f} s from Python)")

    simulated = []
    for n in range(n_spectra):
        index = int(rng.integers(len(records)))
        charge = int(rng.integers(2, 5))
        signal = 2 * (len(records[index].sequence) - 1) * min(2, max(charge - 1, 1))
        simulated.append(synthetic.simulate_spectrum(
            rng, f"scan={n}", [records[index]], charge, keep=0.8, noise_peaks=max(150 - int(0.7 * signal), 20)))
    spectra = [
        tm.PyProcessedSpectrum(s.id, 0, 0.0, s.mz, s.intensity, [tm.PyPrecursor(s.precursor_mz, charge=s.charge)],
                               float(s.intensity.sum()))
        for s in simulated
    ]
    print(f"spectra: {len(spectra)}, mean peaks {np.mean([s.mz.size for s in simulated]):.0f}, charges 2-4")

    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10.0, 10.0), tm.PyTolerance.Ppm(-10.0, 10.0))
    rss_before = rss_kib("VmRSS")
    peak_known = reset_peak_rss()

    t0 = time.perf_counter()
    batch = scorer.score_many_spectra(db, spectra)
    batch_seconds = time.perf_counter() - t0
    peak_after_batch = rss_kib("VmHWM")

    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        t0 = time.perf_counter()
        single = [scorer.score_spectra(db, s) for s in spectra]
        single_seconds = time.perf_counter() - t0
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)

    batch_rate = len(spectra) / batch_seconds
    single_rate = len(spectra) / single_seconds
    top = [fs[0] for fs in batch if fs]
    correct = sum(1 for s, fs in zip(simulated, batch) if fs and fs[0].sequence == s.truth[0])
    same = sum(1 for a, b in zip(batch, single)
               if [f.sequence for f in a] == [f.sequence for f in b] and
               [f.hyperscore for f in a] == [f.hyperscore for f in b])
    print(f"batch (score_many_spectra): {batch_rate:8.1f} spectra/s")
    print(f"single thread (score_spectra loop): {single_rate:8.1f} spectra/s")
    print(f"ratio batch / single: {batch_rate / single_rate:.2f}  (target >= 1.8 on 2 cores)")
    print(f"mean candidates hit by the preliminary search per spectrum: "
          f"{np.mean([f.scored_candidates for f in top]):.0f}")
    print(f"mean PSMs reported per spectrum: {np.mean([len(fs) for fs in batch]):.2f}")
    print(f"true peptide at rank 1: {correct} of {len(spectra)}; batch and single results equal: {same}")
    if peak_known:
        print(f"peak memory beyond the index during the batch: {(peak_after_batch - rss_before) / 1024:.1f} MiB "
              f"(target < 100 MB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
