"""Searches from Python whose reported numbers are worked out by hand: spectra built from
the b and y ions of known peptides, chimeras of two peptides, damaged inputs, the printed
line, batches, PSM numbering and concurrent callers."""

from __future__ import annotations

import gc
import math
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _tovel_mesk as tm
from _search_support import (
    F32, ISOTOPE, PROTON, at_charge, database, delta_mass, exact_scorer, expmass, f32_sum, hyperscore, ladder,
    ladder_spectrum, mass_of, near_misses, pct, peptide, poisson, ppm, ppm_error_sum, precursor_mz, shift_ppm,
    spectrum, stdout_bytes, without_psm_id,
)

pytestmark = pytest.mark.usefixtures("real_core")

SEQ = "PEPTIDEK"            # 927.4549 Da
DECOY_SEQ = "PEDITPEK"      # its interior reversed
PARTNER = "WEAKLYGR"        # 1021.5345 Da, no fragment within 6000 ppm of a PEPTIDEK fragment
NAN = math.nan
INF = math.inf


def score_one(scorer, db, spec, entry):
    if entry == "single":
        return scorer.score_spectra(db, spec)
    (features,) = scorer.score_many_spectra(db, [spec])
    return features


ENTRIES = pytest.mark.parametrize("entry", ["single", "batch"])
MODES = pytest.mark.parametrize("chimera", [True, False], ids=["chimeric", "standard"])


# ---- one peptide, every number by hand ----

@MODES
@pytest.mark.parametrize("mobility", [None, 0.85], ids=["no-mobility", "mobility"])
def test_ladder_spectrum_gives_hand_computed_feature(chimera, mobility):
    mono = mass_of(SEQ)
    b, y = ladder(SEQ, mono)
    b_seen = [shift_ppm(m, 3.0) for m in b]        # b ions 3 ppm heavy, y ions 2 ppm light
    y_seen = [shift_ppm(m, -2.0) for m in y]
    b_int = [F32(100.0 * (i + 1)) for i in range(len(b))]
    y_int = [F32(50.0 * (i + 3)) for i in range(len(y))]
    peaks = sorted(zip(b_seen + y_seen, b_int + y_int))
    mz_value = precursor_mz(mono, 2)
    tic = 123456.0
    spec = spectrum([p[0] for p in peaks], [p[1] for p in peaks],
                    [tm.PyPrecursor(mz_value, charge=2, inverse_ion_mobility=mobility)],
                    spec_id="scan=7", file_id=3, rt=12.5, tic=tic)

    (f,) = exact_scorer(chimera=chimera).score_spectra(database(SEQ), spec)

    summed_b, summed_y = f32_sum(b_int), f32_sum(y_int)
    errors = ppm_error_sum(list(zip(b, b_seen, b_int)) + list(zip(y, y_seen, y_int)))
    score = hyperscore(7, 7, summed_b, summed_y)
    exp = expmass(mz_value, 2)
    ms2 = F32(summed_b + summed_y)
    expected = {
        "file_id": 3, "spec_id": "scan=7", "rank": 1, "sequence": SEQ, "modifications": [0.0] * 10,
        "label": 1, "hyperscore": score, "delta_mass": float(delta_mass(exp, mono, 0)), "matched_peaks": 14,
        "peptide_len": 8, "expmass": float(exp), "calcmass": float(mono), "charge": 2,
        "rt": float(F32(12.5)), "aligned_rt": float(F32(12.5)), "predicted_rt": 0.0,
        "delta_rt_model": float(F32(0.999)), "ims": 0.0 if mobility is None else float(F32(mobility)),
        "predicted_ims": 0.0, "delta_ims_model": float(F32(0.999)), "isotope_error": 0.0,
        "average_ppm": float(F32(errors / F32(summed_y + summed_b))), "delta_next": score, "delta_best": 0.0,
        "longest_b": 7, "longest_y": 7, "longest_y_pct": 0.875, "missed_cleavages": 0,
        "matched_intensity_pct": float(pct(ms2, tic)), "scored_candidates": 1,
        "poisson": poisson(14, 1, 14), "discriminant_score": 0.0, "posterior_error": 1.0, "spectrum_q": 1.0,
        "peptide_q": 1.0, "protein_q": 1.0, "ms2_intensity": float(ms2), "fragments": None,
    }
    got = f.to_dict()
    del got["psm_id"]
    assert got == expected
    assert f.peptide_idx == 0
    assert 2.0 < f.average_ppm < 3.0


def test_hyperscore_of_two_b_and_three_y_ions():
    b, y = ladder(SEQ, mass_of(SEQ))
    chosen = [(b[0], 40.0), (b[1], 60.0), (y[2], 50.0), (y[3], 70.0), (y[5], 80.0)]
    chosen.sort()
    spec = spectrum([m for m, _ in chosen], [i for _, i in chosen],
                    [tm.PyPrecursor(precursor_mz(mass_of(SEQ), 2), charge=2)])
    (f,) = exact_scorer().score_spectra(database(SEQ), spec)
    assert f.hyperscore == 13.230193187661955 == hyperscore(2, 3, 100.0, 200.0)
    assert (f.matched_peaks, f.longest_b, f.longest_y) == (5, 2, 2)
    assert f.ms2_intensity == 300.0
    assert f.longest_y_pct == 0.25


@pytest.mark.parametrize("b_positions, y_positions, longest_b, longest_y", [
    ([0, 1, 2, 5, 6], [], 3, 0),
    ([1, 3, 5], [0], 1, 1),
    ([], [0, 1, 2, 3, 4, 5, 6], 0, 7),
    ([6], [4, 5, 6, 0], 1, 3),
    ([0, 2, 3, 4], [1, 2], 3, 2),
])
def test_longest_runs_and_counts(b_positions, y_positions, longest_b, longest_y):
    b, y = ladder(SEQ, mass_of(SEQ))
    peaks = sorted([(b[i], 10.0 * (i + 1)) for i in b_positions] + [(y[i], 7.0 * (i + 2)) for i in y_positions])
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks],
                    [tm.PyPrecursor(precursor_mz(mass_of(SEQ), 2), charge=2)])
    (f,) = exact_scorer().score_spectra(database(SEQ), spec)
    summed_b = f32_sum(10.0 * (i + 1) for i in b_positions)
    summed_y = f32_sum(7.0 * (i + 2) for i in sorted(y_positions))
    assert (f.longest_b, f.longest_y) == (longest_b, longest_y)
    assert f.matched_peaks == len(b_positions) + len(y_positions)
    assert f.hyperscore == hyperscore(len(b_positions), len(y_positions), summed_b, summed_y)
    assert f.longest_y_pct == float(F32(F32(longest_y) / F32(8)))


def test_fragment_matched_at_two_charges_counts_twice_but_runs_once():
    """Precursor charge 3 looks fragments up at charges 1 and 2."""
    mono = mass_of(SEQ)
    b, y = ladder(SEQ, mono)
    peaks = sorted([(b[0], 100.0), (b[1], 100.0), (b[2], 100.0), (at_charge(b[2], 2), 30.0), (y[6], 5.0)])
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks], [tm.PyPrecursor(precursor_mz(mono, 3), charge=3)])
    (f,) = exact_scorer(annotate_matches=True).score_spectra(database(SEQ), spec)
    assert (f.matched_peaks, f.longest_b, f.longest_y, f.charge) == (5, 3, 1, 3)
    assert f.ms2_intensity == 335.0
    assert f.hyperscore == hyperscore(4, 1, 330.0, 5.0)
    assert f.fragments.charges == [1, 1, 1, 2, 1]
    assert f.fragments.fragment_ordinals == [1, 2, 3, 3, 1]
    assert f.expmass == float(expmass(precursor_mz(mono, 3), 3))


@MODES
@pytest.mark.parametrize("truth, peptide_idx, label", [(SEQ, 0, 1), (DECOY_SEQ, 1, -1)], ids=["target", "decoy"])
def test_target_and_decoy_labels(chimera, truth, peptide_idx, label):
    db = database(SEQ, decoys=True)
    assert [p.sequence for p in db.peptides] == [SEQ, DECOY_SEQ]
    mono = mass_of(SEQ)                 # a decoy keeps its target's mass
    b, y = ladder(truth, mono)
    other_b, other_y = ladder(SEQ if truth == DECOY_SEQ else DECOY_SEQ, mono)
    shared = len(near_misses(b + y, other_b + other_y))
    assert shared == 8                  # b1, b2, b6, b7 and y1, y2, y6, y7 coincide
    mz = np.sort(np.array(b + y, np.float32))
    spec = spectrum(mz, np.full(mz.shape, 1000.0, np.float32), [tm.PyPrecursor(precursor_mz(mono, 2), charge=2)])

    features = exact_scorer(chimera=chimera).score_spectra(db, spec)

    first = features[0]
    assert (first.peptide_idx, first.label, first.sequence, first.matched_peaks) == (peptide_idx, label, truth, 14)
    assert first.calcmass == float(mono)
    if chimera:
        # removing the reported ladder leaves nothing for the other sequence
        assert len(features) == 1
        return
    second = features[1]
    assert (second.peptide_idx, second.label, second.matched_peaks) == (1 - peptide_idx, -label, shared)
    h1, h2 = hyperscore(7, 7, 7000.0, 7000.0), hyperscore(4, 4, 4000.0, 4000.0)
    # 14 + 8 index hits over two scored candidates
    assert [f.poisson for f in features] == [poisson(22, 2, 14), poisson(22, 2, 8)]
    assert [f.hyperscore for f in features] == [h1, h2]
    assert [f.delta_next for f in features] == [h1 - h2, h2]
    assert [f.delta_best for f in features] == [0.0, h1 - h2]
    assert [f.scored_candidates for f in features] == [2, 2]


@pytest.mark.parametrize("mz_value, charge, mono, steps, lowest, highest", [
    (500.0, 2, 997.0, 1, 0, 1),       # 997.98547 - 1.00335 lies within 0.5 Da of 997.0
    (498.0, 2, 995.0, -1, -1, 0),     # 993.98547 + 1.00335
    (334.0, 3, 997.0, 2, 0, 3),       # 998.97815 - 2.0067
])
def test_isotope_error_expmass_and_delta_mass(mz_value, charge, mono, steps, lowest, highest):
    """Masses are the caller's: a PEPTIDEK ladder built on an arbitrary peptide mass."""
    b, y = ladder(SEQ, mono)
    mz = np.sort(np.array(b + y, np.float32))
    spec = spectrum(mz, np.full(mz.shape, 10.0, np.float32), [tm.PyPrecursor(mz_value, charge=charge)])
    scorer = tm.PyScorer(tm.PyTolerance.Da(-0.5, 0.5), ppm(), wide_window=False, chimera=False,
                         min_isotope_err=lowest, max_isotope_err=highest, max_fragment_charge=1)
    (f,) = scorer.score_spectra(database(peptide(SEQ, mono)), spec)
    exp = expmass(mz_value, charge)
    assert f.expmass == float(exp)
    assert f.calcmass == mono
    assert f.isotope_error == float(F32(F32(steps) * ISOTOPE))
    assert f.delta_mass == float(delta_mass(exp, mono, steps))
    assert f.charge == charge


def test_isotope_example_values():
    b, y = ladder(SEQ, 997.0)
    mz = np.sort(np.array(b + y, np.float32))
    spec = spectrum(mz, np.full(mz.shape, 10.0, np.float32), [tm.PyPrecursor(500.0, charge=2)])
    scorer = tm.PyScorer(tm.PyTolerance.Da(-0.5, 0.5), ppm(), wide_window=False, min_isotope_err=0, max_isotope_err=1)
    (f,) = scorer.score_spectra(database(peptide(SEQ, 997.0)), spec)
    assert f.expmass == float(F32(997.98547))
    assert f.isotope_error == float(F32(1.00335))
    assert f.delta_mass == pytest.approx(-17.930, abs=5e-4)


# ---- chimeras ----

def _chimera_spectrum(tic):
    """PEPTIDEK at 1000 per peak, WEAKLYGR at 300..950, and one unexplained peak."""
    mono = mass_of(SEQ)
    a_b, a_y = ladder(SEQ, mono)
    p_b, p_y = ladder(PARTNER, mass_of(PARTNER))
    assert not near_misses(a_b + a_y, p_b + p_y, tol_ppm=1000.0)
    partner_int = [300.0 + 50.0 * i for i in range(14)]
    peaks = [(m, 1000.0) for m in a_b + a_y] + list(zip(p_b + p_y, partner_int)) + [(F32(150.0), 275.0)]
    peaks.sort()
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks], [tm.PyPrecursor(precursor_mz(mono, 2), charge=2)],
                    spec_id="chimera", tic=tic)
    left_after_first = [i for _, i in peaks if i != 1000.0]
    return spec, partner_int, left_after_first


def _chimera_db():
    return database(SEQ, PARTNER)


def _chimera_scorer(**settings):
    return exact_scorer(precursor_tol=tm.PyTolerance.Da(-100.0, 100.0), **settings)


@ENTRIES
def test_chimera_reports_both_peptides(entry):
    tic = 1.0e6                           # deliberately not the sum of the intensities
    spec, partner_int, left = _chimera_spectrum(tic)
    features = score_one(_chimera_scorer(), _chimera_db(), spec, entry)

    assert [f.sequence for f in features] == [SEQ, PARTNER]
    assert [f.rank for f in features] == [1, 2]
    assert [f.delta_best for f in features] == [0.0, 0.0]
    assert features[0].psm_id < features[1].psm_id
    h_a = hyperscore(7, 7, 7000.0, 7000.0)
    h_p = hyperscore(7, 7, f32_sum(partner_int[:7]), f32_sum(partner_int[7:]))
    assert [f.hyperscore for f in features] == [h_a, h_p]
    # rank 1 measures the gap to the partner; on the thinned spectrum the partner is alone
    assert [f.delta_next for f in features] == [h_a - h_p, h_p]
    ms2_p = F32(f32_sum(partner_int[:7]) + f32_sum(partner_int[7:]))
    assert features[0].matched_intensity_pct == float(pct(14000.0, tic))
    recomputed = f32_sum(left, start=-0.0)
    assert recomputed == sum(partner_int) + 275.0
    assert features[1].matched_intensity_pct == float(pct(ms2_p, recomputed))
    # one preliminary search for the whole spectrum
    assert [f.scored_candidates for f in features] == [2, 2]
    assert [f.poisson for f in features] == [poisson(28, 2, 14)] * 2
    exp = expmass(precursor_mz(mass_of(SEQ), 2), 2)
    assert features[1].delta_mass == float(delta_mass(exp, mass_of(PARTNER), 0))


def test_standard_search_of_the_chimera_keeps_the_callers_total_ion_current():
    tic = 1.0e6
    spec, partner_int, _ = _chimera_spectrum(tic)
    features = _chimera_scorer(chimera=False).score_spectra(_chimera_db(), spec)
    h_a = hyperscore(7, 7, 7000.0, 7000.0)
    h_p = hyperscore(7, 7, f32_sum(partner_int[:7]), f32_sum(partner_int[7:]))
    assert [f.sequence for f in features] == [SEQ, PARTNER]
    assert [f.delta_best for f in features] == [0.0, h_a - h_p]
    assert [f.delta_next for f in features] == [h_a - h_p, h_p]
    assert features[1].matched_intensity_pct == float(pct(f32_sum(partner_int), tic))


@pytest.mark.parametrize("report_psms, expected", [(1, [SEQ]), (2, [SEQ, PARTNER]), (9, [SEQ, PARTNER])])
def test_chimera_stops_at_report_psms_or_when_nothing_is_left(report_psms, expected):
    spec, _, _ = _chimera_spectrum(1.0e6)
    features = _chimera_scorer(report_psms=report_psms).score_spectra(_chimera_db(), spec)
    assert [f.sequence for f in features] == expected


@pytest.mark.parametrize("first_intensity, second_intensity", [(1000.0, 500.0), (500.0, 1000.0), (700.0, 700.0)])
def test_chimera_reports_a_peptide_again_from_the_peaks_left_in_its_windows(first_intensity, second_intensity):
    """Two peaks per fragment window, 4 ppm apart: each iteration removes the most intense
    peak of every window (of equal ones the later), so the peptide comes back once."""
    b, y = ladder(SEQ, mass_of(SEQ))
    exact = [(m, first_intensity) for m in b + y]
    heavy = [(shift_ppm(m, 4.0), second_intensity) for m in b + y]
    peaks = sorted(exact + heavy)
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks],
                    [tm.PyPrecursor(precursor_mz(mass_of(SEQ), 2), charge=2)])
    features = exact_scorer(annotate_matches=True).score_spectra(database(SEQ), spec)
    taken_first = heavy if second_intensity >= first_intensity else exact
    taken_second = exact if taken_first is heavy else heavy
    assert [f.sequence for f in features] == [SEQ, SEQ]
    for f, taken in zip(features, (taken_first, taken_second)):
        intensity = taken[0][1]
        assert f.matched_peaks == 14
        assert f.hyperscore == hyperscore(7, 7, 7 * intensity, 7 * intensity)
        assert f.delta_next == f.hyperscore and f.delta_best == 0.0
        assert f.fragments.mz_experimental == [float(F32(m + PROTON)) for m, _ in taken]
    assert features[0].matched_intensity_pct == float(pct(14 * taken_first[0][1], 14 * (first_intensity +
                                                                                           second_intensity)))
    assert features[1].matched_intensity_pct == 100.0
    assert features[0].psm_id < features[1].psm_id


@pytest.mark.parametrize("precursor_charge, charge_two_removed", [(2, False), (3, True), (4, True)])
def test_chimera_removes_peaks_at_the_fragment_charges_it_searched(precursor_charge, charge_two_removed):
    """Every ion at charge 1 (1000, plus a 500 copy 4 ppm away) and at charge 2 (100): the
    second iteration finds the copies, and the total ion current it divides by shows
    whether the charge-2 peaks went with the first."""
    mono = mass_of(SEQ)
    b, y = ladder(SEQ, mono)
    peaks = sorted([(m, 1000.0) for m in b + y] + [(shift_ppm(m, 4.0), 500.0) for m in b + y]
                   + [(at_charge(m, 2), 100.0) for m in b + y])
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks],
                    [tm.PyPrecursor(precursor_mz(mono, precursor_charge), charge=precursor_charge)])
    first, second = exact_scorer(report_psms=2).score_spectra(database(SEQ), spec)
    assert first.matched_peaks == (28 if charge_two_removed else 14)
    assert second.matched_peaks == 14
    assert second.ms2_intensity == 7000.0
    left = 7000.0 if charge_two_removed else 7000.0 + 1400.0
    assert second.matched_intensity_pct == float(pct(7000.0, left))


def test_chimera_with_no_threshold_repeats_the_last_peptide_up_to_the_ceiling():
    """With min_matched_peaks 0 a peptide whose peaks are gone still qualifies; an enormous
    report_psms is honoured up to 4096 features."""
    spec = ladder_spectrum(SEQ, tic=14000.0)
    features = exact_scorer(min_matched_peaks=0, report_psms=2**64 - 1, annotate_matches=True).score_spectra(
        database(SEQ), spec)
    assert len(features) == 4096
    assert [f.rank for f in features] == list(range(1, 4097))
    ids = [f.psm_id for f in features]
    assert ids == sorted(set(ids))
    first, later = features[0], features[1:]
    assert first.matched_peaks == 14 and first.matched_intensity_pct == 100.0
    for f in (later[0], later[-1]):
        assert (f.matched_peaks, f.longest_b, f.longest_y, f.ms2_intensity) == (0, 0, 0, 0.0)
        assert f.hyperscore == 2.0 == hyperscore(0, 0, 0.0, 0.0)
        assert f.delta_next == 2.0 and f.delta_best == 0.0
        assert math.isnan(f.average_ppm)
        assert math.isnan(f.matched_intensity_pct)      # 0 * 100 / -0.0
        assert f.poisson == poisson(14, 1, 0)
        assert f.poisson == pytest.approx(math.log10(math.exp(-14.0) / math.e), rel=1e-12)
        assert f.fragments.to_dict() == {k: [] for k in
                                         ("charges", "kinds", "fragment_ordinals", "intensities",
                                          "mz_calculated", "mz_experimental")}


@MODES
def test_huge_report_psms_scores_normally(chimera):
    features = exact_scorer(report_psms=2**64 - 1, chimera=chimera).score_spectra(database(SEQ), ladder_spectrum(SEQ))
    assert [(f.sequence, f.matched_peaks) for f in features] == [(SEQ, 14)]


# ---- nothing to report ----

@MODES
def test_report_psms_zero_gives_nothing(chimera):
    scorer = exact_scorer(report_psms=0, chimera=chimera)
    db, spec = database(SEQ), ladder_spectrum(SEQ)
    features, printed = stdout_bytes(lambda: scorer.score_spectra(db, spec))
    assert features == [] and printed == b"Scoring returned 0 features\n"
    assert scorer.score_many_spectra(db, [spec, spec]) == [[], []]


@MODES
@ENTRIES
def test_spectrum_without_peaks_gives_nothing(chimera, entry):
    spec = spectrum([], [], [tm.PyPrecursor(precursor_mz(mass_of(SEQ), 2), charge=2)])
    assert score_one(tm.PyScorer(ppm(), ppm(), chimera=chimera), database(SEQ), spec, entry) == []


@MODES
@ENTRIES
def test_empty_database_gives_nothing(chimera, entry):
    db = database()
    assert score_one(tm.PyScorer(ppm(), ppm(), chimera=chimera), db, ladder_spectrum(SEQ), entry) == []


# ---- failures ----

PANIC_IDS = ["scan=3", "", "spectre n° 5 ✓"]


def _panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "pyo3_runtime"
    assert not isinstance(exc, Exception)
    return exc


@MODES
@pytest.mark.parametrize("spec_id", PANIC_IDS)
def test_spectrum_without_precursor_raises_panic(chimera, spec_id):
    bare = spectrum(*_ladder_lists(), [], spec_id=spec_id)
    scorer = tm.PyScorer(ppm(), ppm(), chimera=chimera)
    exc, printed = stdout_bytes(lambda: _panic_of(lambda: scorer.score_spectra(database(SEQ), bare)))
    assert exc.args == ("missing MS1 precursor for " + spec_id,)
    assert printed == b""


@MODES
@pytest.mark.parametrize("position", [0, 1, 4])
def test_batch_with_one_spectrum_without_precursor_raises_and_returns_nothing(chimera, position):
    db = database(SEQ)
    spectra = [ladder_spectrum(SEQ, spec_id=f"good{i}") for i in range(5)]
    spectra[position] = spectrum([100.0], [1.0], [], spec_id="lonely")
    scorer = tm.PyScorer(ppm(), ppm(), chimera=chimera)
    result = "untouched"

    def call():
        nonlocal result
        result = scorer.score_many_spectra(db, spectra)

    exc = _panic_of(call)
    assert str(exc) == "missing MS1 precursor for lonely"
    assert result == "untouched"
    # the failed call leaves everything usable
    assert [len(r) for r in scorer.score_many_spectra(db, [s for s in spectra if s.id != "lonely"])] == \
        [1 if chimera else 5] * 4


# ---- damaged input never crashes ----

def _ladder_lists(seq=SEQ):
    b, y = ladder(seq, mass_of(seq))
    mz = sorted(float(m) for m in b + y)
    return mz, [1000.0] * len(mz)


DAMAGE = [
    ("nan-mz-at-end", lambda mz, i: (mz + [NAN], i + [500.0]), 14),
    ("inf-mz-at-end", lambda mz, i: (mz + [INF], i + [500.0]), 14),
    ("zero-and-negative-mz-first", lambda mz, i: ([-50.0, -0.0, 0.0] + mz, [7.0, 7.0, 7.0] + i), 14),
    ("nan-intensity", lambda mz, i: (mz, [NAN] + i[1:]), 13),
    ("negative-intensity", lambda mz, i: (mz, i[:3] + [-5.0] + i[4:]), 13),
    ("negative-zero-intensity", lambda mz, i: (mz, [-0.0] + i[1:]), 14),
    ("every-peak-twice", lambda mz, i: (sorted(mz + mz), i + i), 14),
    ("all-nan-mz", lambda mz, i: ([NAN] * len(mz), i), 0),
    ("all-negative-intensity", lambda mz, i: (mz, [-1.0] * len(i)), 0),
    ("descending", lambda mz, i: (mz[::-1], i), None),
    ("shuffled", lambda mz, i: ([mz[k] for k in (3, 0, 9, 12, 1, 7, 13, 2, 5, 11, 4, 8, 6, 10)], i), None),
    ("nan-in-the-middle", lambda mz, i: (mz[:7] + [NAN] + mz[7:], i[:7] + [1.0] + i[7:]), None),
]


@MODES
@ENTRIES
@pytest.mark.parametrize("damage, matched", [d[1:] for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_damaged_peaks_do_not_crash(chimera, entry, damage, matched):
    mz, intensity = damage(*_ladder_lists())
    spec = spectrum(np.array(mz, np.float32), np.array(intensity, np.float32),
                    [tm.PyPrecursor(precursor_mz(mass_of(SEQ), 2), charge=2)], spec_id="damaged", tic=1.0)
    features = score_one(exact_scorer(chimera=chimera), database(SEQ), spec, entry)
    assert all(type(f) is tm.PyFeature and f.spec_id == "damaged" for f in features)
    assert [f.rank for f in features] == list(range(1, len(features) + 1))
    if matched == 0:
        assert features == []
    elif matched is not None:
        assert (features[0].sequence, features[0].matched_peaks) == (SEQ, matched)


@MODES
@ENTRIES
@pytest.mark.parametrize("mz_value", [NAN, INF, -INF, -500.0, 0.0, 1e30])
@pytest.mark.parametrize("charge", [None, 0, 2, 255])
def test_unusual_precursors_do_not_crash(chimera, entry, mz_value, charge):
    mz, intensity = _ladder_lists()
    spec = spectrum(mz, intensity, [tm.PyPrecursor(mz_value, charge=charge)])
    for scorer in (tm.PyScorer(ppm(), ppm(), chimera=chimera),
                   exact_scorer(chimera=chimera, min_precursor_charge=0, max_precursor_charge=3)):
        features = score_one(scorer, database(SEQ), spec, entry)
        assert [f.rank for f in features] == list(range(1, len(features) + 1))


@pytest.mark.parametrize("intensity", [INF, 3.0e38])
def test_huge_intensities_give_the_fallback_hyperscore(intensity):
    mz, inten = _ladder_lists()
    spec = spectrum(mz, [intensity] + inten[1:], [tm.PyPrecursor(precursor_mz(mass_of(SEQ), 2), charge=2)],
                    tic=1000.0)
    (f,) = exact_scorer(chimera=False).score_spectra(database(SEQ), spec)
    assert f.matched_peaks == 14
    if intensity == INF:
        assert f.hyperscore == 255.0 == hyperscore(7, 7, INF, 7000.0)
        assert f.ms2_intensity == INF and f.matched_intensity_pct == INF
        assert math.isnan(f.average_ppm)          # 0 ppm error times an infinite intensity
    else:
        assert f.hyperscore == hyperscore(7, 7, F32(3.0e38) + F32(6000.0), 7000.0)


def test_first_precursor_only():
    mono = mass_of(SEQ)
    mz, intensity = _ladder_lists()
    right = tm.PyPrecursor(precursor_mz(mono, 2), charge=2, inverse_ion_mobility=0.7)
    wrong = tm.PyPrecursor(precursor_mz(mono + 50.0, 2), charge=2, inverse_ion_mobility=1.3)
    scorer = tm.PyScorer(ppm(), ppm())
    (f,) = scorer.score_spectra(database(SEQ), spectrum(mz, intensity, [right, wrong]))
    assert f.ims == float(F32(0.7))
    assert scorer.score_spectra(database(SEQ), spectrum(mz, intensity, [wrong, right])) == []


# ---- standard and chimeric search of the same spectrum ----

def test_standard_search_reports_each_isotope_pass_chimeric_only_the_best():
    """Under the default wide window every isotope error from -1 to 3 brackets the peptide:
    the standard search ranks those five equal candidates in pass order, while chimeric
    search reports the first and then has no peaks left."""
    db, spec = database(SEQ), ladder_spectrum(SEQ)
    standard = tm.PyScorer(ppm(), ppm(), chimera=False).score_spectra(db, spec)
    chimeric = tm.PyScorer(ppm(), ppm()).score_spectra(db, spec)
    exp = expmass(precursor_mz(mass_of(SEQ), 2), 2)
    h = hyperscore(7, 7, 7000.0, 7000.0)
    assert [f.isotope_error for f in standard] == [float(F32(F32(e) * ISOTOPE)) for e in range(-1, 4)]
    assert [f.delta_mass for f in standard] == [float(delta_mass(exp, mass_of(SEQ), e)) for e in range(-1, 4)]
    assert [f.rank for f in standard] == [1, 2, 3, 4, 5]
    assert [f.delta_next for f in standard] == [0.0, 0.0, 0.0, 0.0, h]
    assert [f.delta_best for f in standard] == [0.0] * 5
    assert {f.scored_candidates for f in standard} == {5}
    assert {f.poisson for f in standard} == {poisson(70, 5, 14)}
    assert without_psm_id(chimeric) == without_psm_id(standard[:1])


@pytest.mark.parametrize("report_psms", [1, 3, 4])
def test_last_reported_feature_measures_its_gap_to_the_unreported_ones(report_psms):
    features = tm.PyScorer(ppm(), ppm(), chimera=False, report_psms=report_psms).score_spectra(
        database(SEQ), ladder_spectrum(SEQ))
    assert len(features) == report_psms
    assert [f.delta_next for f in features] == [0.0] * report_psms


# ---- the printed line ----

@pytest.mark.parametrize("report_psms, count", [(5, 5), (4, 4), (1, 1)])
def test_score_spectra_prints_the_number_of_features(report_psms, count):
    scorer = tm.PyScorer(ppm(), ppm(), chimera=False, report_psms=report_psms)
    db, spec = database(SEQ), ladder_spectrum(SEQ)
    features, printed = stdout_bytes(lambda: scorer.score_spectra(db, spec))
    assert printed == f"Scoring returned {count} features\n".encode()
    assert [f.rank for f in features] == list(range(1, count + 1))


def test_score_spectra_writes_to_the_descriptor_not_to_sys_stdout(capsys):
    db, spec = database(SEQ), ladder_spectrum(SEQ)
    _, printed = stdout_bytes(lambda: tm.PyScorer(ppm(), ppm()).score_spectra(db, spec))
    assert printed == b"Scoring returned 1 features\n"
    assert capsys.readouterr().out == ""


def test_spectrum_without_matches_prints_zero():
    spec = spectrum([50.0, 60.0], [1.0, 1.0], [tm.PyPrecursor(precursor_mz(mass_of(SEQ), 2), charge=2)])
    features, printed = stdout_bytes(lambda: tm.PyScorer(ppm(), ppm()).score_spectra(database(SEQ), spec))
    assert (features, printed) == ([], b"Scoring returned 0 features\n")


@pytest.mark.parametrize("spectra_count", [0, 1, 3])
def test_score_many_spectra_prints_nothing(spectra_count):
    db = database(SEQ)
    spectra = [ladder_spectrum(SEQ)] * spectra_count
    results, printed = stdout_bytes(lambda: tm.PyScorer(ppm(), ppm()).score_many_spectra(db, spectra))
    assert printed == b""
    assert [len(r) for r in results] == [1] * spectra_count


# ---- batches ----

LIBRARY = sorted(["PEPTIDEK", "SAMPLERK", "WEAKLYGR", "LGEYGFQNAK", "VHLTPEEK", "QWERTYK", "DRAGQNK", "MAGICHK"],
                 key=mass_of)


def _library_db():
    return database(*LIBRARY, decoys=True)


def _library_spectra(count):
    return [ladder_spectrum(LIBRARY[i % len(LIBRARY)], charge=2 + i % 2, spec_id=f"scan={i}", rt=0.5 * i,
                            intensity=100.0 + i)
            for i in range(count)]


def test_batch_keeps_input_order_and_matches_single_calls():
    db, spectra = _library_db(), _library_spectra(70)        # more spectra than batch threads
    scorer = tm.PyScorer(ppm(), ppm())
    results = scorer.score_many_spectra(db, spectra)
    assert len(results) == 70
    for i, features in enumerate(results):
        assert features[0].spec_id == f"scan={i}"
        assert features[0].sequence == LIBRARY[i % len(LIBRARY)]
        assert features[0].label == 1
        assert without_psm_id(features) == without_psm_id(scorer.score_spectra(db, spectra[i]))


def test_same_spectrum_twice_gives_equal_lists_but_new_psm_ids():
    db = _library_db()
    spec = _library_spectra(1)[0]
    first, second = tm.PyScorer(ppm(), ppm(), chimera=False).score_many_spectra(db, (spec, spec))
    assert len(first) > 1
    assert without_psm_id(first) == without_psm_id(second)
    assert not {f.psm_id for f in first} & {f.psm_id for f in second}


def test_batch_with_a_spectrum_without_psm_in_the_middle():
    db = _library_db()
    good = _library_spectra(2)
    nothing = spectrum([50.0], [1.0], [tm.PyPrecursor(400.0, charge=2)], spec_id="nothing")
    results = tm.PyScorer(ppm(), ppm()).score_many_spectra(db, [good[0], nothing, good[1]])
    assert [len(r) for r in results] == [1, 0, 1]
    assert [r[0].spec_id for r in results if r] == ["scan=0", "scan=1"]


def test_empty_batch():
    assert tm.PyScorer(ppm(), ppm()).score_many_spectra(_library_db(), []) == []
    assert tm.PyScorer(ppm(), ppm()).score_many_spectra(_library_db(), ()) == []


# ---- PSM numbering ----

def test_psm_ids_follow_rank_and_are_consecutive_in_one_call():
    db, spec = database(SEQ), ladder_spectrum(SEQ)
    scorer = tm.PyScorer(ppm(), ppm(), chimera=False)
    first = [f.psm_id for f in scorer.score_spectra(db, spec)]
    assert first == list(range(first[0], first[0] + 5))
    # a spectrum that reports nothing takes no number
    assert scorer.score_spectra(db, spectrum([50.0], [1.0], [tm.PyPrecursor(400.0, charge=2)])) == []
    second = [f.psm_id for f in scorer.score_many_spectra(db, [spec])[0]]
    assert second == list(range(first[-1] + 1, first[-1] + 6))


def test_psm_ids_are_unique_across_a_batch():
    results = tm.PyScorer(ppm(), ppm(), chimera=False).score_many_spectra(_library_db(), _library_spectra(60))
    ids = [f.psm_id for features in results for f in features]
    assert len(ids) == len(set(ids)) > 60
    for features in results:
        within = [f.psm_id for f in features]
        assert within == sorted(within)


def test_psm_ids_start_at_one_in_a_fresh_process():
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(__import__('pathlib').Path(__file__).resolve().parents[1])!r})
        from _search_support import database, ladder_spectrum, ppm
        import _tovel_mesk as tm
        db, spec = database("PEPTIDEK"), ladder_spectrum("PEPTIDEK")
        scorer = tm.PyScorer(ppm(), ppm(), chimera=False)
        print([f.psm_id for f in scorer.score_many_spectra(db, [spec])[0]], flush=True)
        print([f.psm_id for f in scorer.score_spectra(db, spec)], flush=True)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.splitlines() == ["[1, 2, 3, 4, 5]", "Scoring returned 5 features", "[6, 7, 8, 9, 10]"]


# ---- concurrent callers ----

def _run_threads(count, target):
    barrier = threading.Barrier(count)
    outcomes = [None] * count

    def run(k):
        try:
            barrier.wait()
            outcomes[k] = ("ok", target(k))
        except BaseException as exc:  # noqa: BLE001 - reported below
            outcomes[k] = ("error", exc)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    errors = [o[1] for o in outcomes if o[0] == "error"]
    assert not errors, errors
    return [o[1] for o in outcomes]


def test_threads_scoring_the_same_objects_at_once():
    db, spectra = _library_db(), _library_spectra(24)
    scorer = tm.PyScorer(ppm(), ppm())
    expected_batch = [without_psm_id(r) for r in scorer.score_many_spectra(db, spectra)]

    def work(k):
        if k % 2:
            return [without_psm_id(r) for r in scorer.score_many_spectra(db, spectra)], None
        return None, [without_psm_id(scorer.score_spectra(db, s)) for s in spectra]

    for batch, singles in _run_threads(4, work):
        assert (batch or singles) == expected_batch


def test_psm_ids_stay_unique_under_concurrent_batches():
    db, spectra = _library_db(), _library_spectra(16)
    scorer = tm.PyScorer(ppm(), ppm(), chimera=False)
    outcomes = _run_threads(4, lambda k: [f.psm_id for r in scorer.score_many_spectra(db, spectra) for f in r])
    ids = [i for ids in outcomes for i in ids]
    assert len(ids) == len(set(ids))


class _ConversionSignal(list):
    """A list that tells when the scoring call has finished reading its elements."""

    def __init__(self, items, done):
        super().__init__(items)
        self.done = done

    def __iter__(self):
        yield from list.__iter__(self)
        self.done.set()


def test_objects_released_by_python_while_another_thread_scores_them():
    expected = [without_psm_id(r) for r in tm.PyScorer(ppm(), ppm()).score_many_spectra(
        _library_db(), _library_spectra(200))]
    converted = threading.Event()
    holder = {"db": _library_db(), "spectra": _ConversionSignal(_library_spectra(200), converted),
              "scorer": tm.PyScorer(ppm(), ppm())}
    spectra = holder["spectra"]

    def work(k):
        if k == 0:
            scorer = holder.pop("scorer")
            try:
                return [without_psm_id(r) for r in scorer.score_many_spectra(holder.pop("db"), holder.pop("spectra"))]
            finally:
                converted.set()      # never leave the other thread waiting
        converted.wait()
        spectra.clear()          # the spectrum objects are freed while the batch runs
        gc.collect()
        return None

    results, _ = _run_threads(2, work)
    assert holder == {} and spectra == []
    assert results == expected


def test_single_scoring_with_objects_dropped_by_the_caller():
    expected = without_psm_id(tm.PyScorer(ppm(), ppm()).score_spectra(_library_db(), _library_spectra(1)[0]))
    holders = [{"db": _library_db(), "spec": _library_spectra(1)[0]} for _ in range(3)]

    def work(k):
        h = holders[k]
        return without_psm_id(tm.PyScorer(ppm(), ppm()).score_spectra(h.pop("db"), h.pop("spec")))

    results = _run_threads(3, work)
    gc.collect()
    assert results == [expected] * 3
