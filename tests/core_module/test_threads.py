"""Several Python threads using the same scorer, index and spectra at once: the scoring
calls release the interpreter lock, and nothing they share may be disturbed by that."""

from __future__ import annotations

import threading

import numpy as np

import _tovel_mesk as tm
from _support import PROTON, fragment_peaks, peptide_mass

THREADS = 4
CALLS = 25


def test_concurrent_scoring_on_shared_objects(capfd):
    seqs = ["PEPTIDEK", "SAMPLERK", "GLYCINEK"]
    peps = sorted((tm.PyPeptide(s.replace("C", "G"), peptide_mass(s.replace("C", "G")), None) for s in seqs),
                  key=lambda p: peptide_mass(p.sequence))
    db = tm.PyIndexedDatabase.from_peptides_and_config(peps, 8, [tm.PyKind.B(), tm.PyKind.Y()], 0, True, "rev_",
                                                       0.0, 5000.0)
    spectra = []
    for i, p in enumerate(peps):
        mz = fragment_peaks(p.sequence)
        spectra.append(tm.PyProcessedSpectrum(f"scan={i}", 0, float(i), mz, np.full(mz.shape, 100.0, np.float32),
                                              [tm.PyPrecursor(peptide_mass(p.sequence) / 2 + PROTON, charge=2)],
                                              1.0))
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10, 10), tm.PyTolerance.Ppm(-10, 10), annotate_matches=True)
    expected = [[(f.sequence, f.rank) for f in fs] for fs in scorer.score_many_spectra(db, spectra)]
    barrier = threading.Barrier(THREADS)
    errors, results = [], []

    def work(k):
        try:
            barrier.wait()
            for i in range(CALLS):
                if (i + k) % 2:
                    batch = scorer.score_many_spectra(db, spectra)
                else:
                    batch = [scorer.score_spectra(db, s) for s in spectra]
                results.append([[(f.sequence, f.rank) for f in fs] for fs in batch])
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(results) == THREADS * CALLS
    assert all(r == expected for r in results)
    singles = sum(1 for k in range(THREADS) for i in range(CALLS) if not (i + k) % 2) * len(spectra)
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == singles
    assert all(line.startswith("Scoring returned ") and line.endswith(" features") for line in lines)
    assert [s.id for s in spectra] == ["scan=0", "scan=1", "scan=2"]
    assert len(db.peptides) >= len(peps)
