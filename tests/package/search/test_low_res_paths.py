"""The fast low-resolution features against the straightforward path on generated ion-trap
spectra: with the whole null they are the same to the bit (on one thread and on two), and
the adaptive null changes the expectation value alone, a little, while scoring fewer
generated peptides."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

import _tovel_mesk as tm
from tovel_mesk import _native
from tovel_mesk.columns import LOW_RES_FEATURES
from tovel_mesk.search.scoring import score_columns

sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "examples"))
import synthetic  # noqa: E402

pytestmark = pytest.mark.usefixtures("real_core")


@pytest.fixture(scope="module")
def workload(real_core):
    """A digest of 80 random proteins and 120 spectra: most of its peptides at ion-trap mass
    accuracy among noise, some of a proteome not searched, charges 2 and 3 given or not."""
    present = synthetic.peptide_records(synthetic.tryptic_peptides(synthetic.random_proteome(80, seed=3)))
    absent = synthetic.peptide_records(synthetic.tryptic_peptides(synthetic.random_proteome(20, seed=4)))
    present = [p for p in present if 600.0 <= p.mass <= 4000.0]
    absent = [p for p in absent if 600.0 <= p.mass <= 4000.0]
    db = tm.PyIndexedDatabase.from_peptides_and_config(
        [tm.PyPeptide(p.sequence, p.mass, p.modifications) for p in present], 64, [tm.PyKind.B(), tm.PyKind.Y()],
        0, True, "rev_", 500.0, 5000.0)
    rng = np.random.default_rng(8)
    spectra = []
    for n in range(120):
        pool = present if n % 4 else absent
        charge = 2 + n % 2
        s = synthetic.simulate_spectrum(rng, f"scan={n}", [pool[int(rng.integers(len(pool)))]], charge,
                                        ppm_noise=150.0, keep=0.6, noise_peaks=80)
        given = charge if n % 5 else None
        spectra.append(tm.PyProcessedSpectrum(s.id, 0, 0.0, s.mz, s.intensity,
                                              [tm.PyPrecursor(s.precursor_mz, charge=given)], float(s.intensity.sum())))
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-20.0, 20.0), tm.PyTolerance.Da(-0.5, 0.5), report_psms=5,
                         min_isotope_err=0, max_isotope_err=2)
    return scorer, db, spectra


def columns(workload, threads=1, **keywords):
    scorer, db, spectra = workload
    return score_columns(scorer, db, spectra, threads=threads, **keywords)


def test_the_fast_path_with_the_whole_null_equals_the_straightforward_one(workload):
    scorer, db, spectra = workload
    reference = {name: np.frombuffer(buffer, dtype=dtype)
                 for name, dtype, buffer in _native.score_columns(scorer, db, spectra, 1, reference=True,
                                                                  adaptive_null=False)}
    assert len(reference["xcorr"]) > 300 and np.count_nonzero(reference["log10_evalue"]) > 300
    for threads in (1, 2):
        fast = columns(workload, threads, adaptive_null=False)
        for name in (*LOW_RES_FEATURES, "peptide_idx", "hyperscore"):
            assert fast[name].tobytes() == reference[name].tobytes(), (name, threads)


def test_leaving_out_delta_xcorr_keeps_every_other_column_to_the_bit(workload):
    # High-resolution files count the candidates in the precursor windows instead of scoring
    # them: the expectation value still counts them, so it must not move.
    scorer, db, spectra = workload
    reference = {name: np.frombuffer(buffer, dtype=dtype)
                 for name, dtype, buffer in _native.score_columns(scorer, db, spectra, 1, reference=True,
                                                                  adaptive_null=False)}
    for threads, adaptive in ((1, False), (2, False), (2, True)):
        full = columns(workload, threads, adaptive_null=adaptive)
        lean = columns(workload, threads, adaptive_null=adaptive, delta_xcorr=False)
        assert "delta_xcorr" not in lean and list(lean) == [name for name in full if name != "delta_xcorr"]
        for name in (name for name in lean if name != "psm_id"):  # psm_id: a serial number of the process
            assert lean[name].tobytes() == full[name].tobytes() if lean[name].dtype != object \
                else list(lean[name]) == list(full[name]), (name, threads, adaptive)
            if not adaptive and name in LOW_RES_FEATURES:
                assert lean[name].tobytes() == reference[name].tobytes(), (name, threads)
    raw = dict((name, buffer) for name, _, buffer in _native.score_columns(scorer, db, spectra[:5], 1,
                                                                             delta_xcorr=False))
    assert "delta_xcorr" not in raw and "log10_evalue" in raw


def test_the_adaptive_null_moves_the_expectation_value_alone(workload):
    whole = columns(workload, adaptive_null=False)
    before = _native.null_counts()
    adaptive = columns(workload, 2)
    calibrations, drawn = (a - b for a, b in zip(_native.null_counts(), before))
    assert calibrations > 100 and drawn < 0.75 * 2000 * calibrations
    for name in LOW_RES_FEATURES:
        if name != "log10_evalue":
            assert adaptive[name].tobytes() == whole[name].tobytes(), name
    shift = np.abs(adaptive["log10_evalue"] - whole["log10_evalue"])
    assert np.isfinite(adaptive["log10_evalue"]).all()
    assert np.mean(shift <= 0.3) >= 0.9
    # The best match of each spectrum ranks the same way by either null.
    best = whole["rank"] == 1
    order_whole = np.argsort(whole["log10_evalue"][best], kind="stable")
    order_adaptive = np.argsort(adaptive["log10_evalue"][best], kind="stable")
    agreement = np.corrcoef(np.argsort(order_whole), np.argsort(order_adaptive))[0, 1]
    assert agreement > 0.95


def test_the_straightforward_path_takes_its_keywords_by_name(workload):
    scorer, db, spectra = workload
    with pytest.raises(TypeError):
        _native.score_columns(scorer, db, spectra[:2], 1, True, 0, None, True, False, True, "extra")
    before = _native.null_counts()
    _native.score_columns(scorer, db, spectra[:3], 1, low_res=False)
    assert _native.null_counts() == before
