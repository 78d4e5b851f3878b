"""PyScorer settings seen through what a search reports: the defaults of an omitted argument,
each setting's effect on hand-built spectra, and the exact errors of bad arguments."""

from __future__ import annotations

import numpy as np
import pytest

import _tovel_mesk as tm
from tovel_mesk import _native
from _search_support import (
    F32, ISOTOPE, at_charge, database, exact_scorer, ladder, ladder_spectrum, mass_of, near_misses, ppm,
    precursor_mz, shift_ppm, spectrum, without_psm_id,
)
from _support import raises_exactly

pytestmark = pytest.mark.usefixtures("real_core")

SEQ = "PEPTIDEK"
MONO = mass_of(SEQ)
B, Y = ladder(SEQ, MONO)
OUT_OF_RANGE = "out of range integral type conversion attempted"

DEFAULTS = dict(wide_window=True, chimera=True, report_psms=5, min_isotope_err=-1, max_isotope_err=3,
                min_precursor_charge=2, max_precursor_charge=4, min_matched_peaks=3, annotate_matches=False,
                max_fragment_charge=2)


def test_the_core_reports_the_documented_defaults():
    assert _native.scorer_defaults() == DEFAULTS


def peaks_spectrum(peaks, mz_value, charge, spec_id="probe", **precursor):
    peaks = sorted(peaks)
    return spectrum([m for m, _ in peaks], [i for _, i in peaks],
                    [tm.PyPrecursor(mz_value, charge=charge, **precursor)], spec_id=spec_id)


def mixed_charge_spectrum(precursor_charge=4):
    """b1-b3 at fragment charge 1, b4-b7 at charge 3, every y ion at charge 2."""
    peaks = [(B[i], 100.0) for i in range(3)] + [(at_charge(B[i], 3), 50.0) for i in range(3, 7)]
    peaks += [(at_charge(m, 2), 80.0) for m in Y]
    lookups = [at_charge(m, c) for m in B + Y for c in (1, 2, 3)]
    assert len(near_misses(lookups, lookups, tol_ppm=50.0)) == len(lookups)     # each only near itself
    return peaks_spectrum(peaks, precursor_mz(MONO, precursor_charge), precursor_charge, spec_id="mixed")


def offset_spectrum(offset, charge=2, **precursor):
    """The full ladder, with a precursor `offset` daltons (neutral) above the peptide."""
    return peaks_spectrum([(m, 1000.0) for m in B + Y], precursor_mz(MONO + offset, charge), charge,
                          spec_id="offset", **precursor)


def partial_spectrum(count):
    """The first `count` b ions only."""
    return peaks_spectrum([(m, 100.0) for m in B[:count]], precursor_mz(MONO, 2), 2, spec_id=f"partial{count}")


def doubled_spectrum():
    """Two peaks in every fragment window: chimeric search reports the peptide twice."""
    peaks = [(m, 1000.0) for m in B + Y] + [(shift_ppm(m, 4.0), 500.0) for m in B + Y]
    return peaks_spectrum(peaks, precursor_mz(MONO, 2), 2, spec_id="doubled")


def probes():
    """Spectra on which every default setting makes a difference."""
    return [
        ladder_spectrum(SEQ, spec_id="ladder"),
        doubled_spectrum(),
        mixed_charge_spectrum(),
        offset_spectrum(3.0),
        offset_spectrum(-3.5),
        partial_spectrum(3),
        partial_spectrum(2),
        ladder_spectrum(SEQ, charge=5, spec_id="charge5"),
        ladder_spectrum(SEQ, charge=1, spec_id="charge1"),
        offset_spectrum(0.0, charge=3, isolation_window=tm.PyTolerance.Da(-0.1, 0.1)),
    ]


def search(scorer, spectra=None):
    db = database(SEQ, "WEAKLYGR")
    return [without_psm_id(r) for r in scorer.score_many_spectra(db, probes() if spectra is None else spectra)]


# ---- defaults ----

@pytest.mark.parametrize("overrides", [{}, {"chimera": False}, {"annotate_matches": True}, {"wide_window": False}],
                         ids=["defaults", "standard", "annotated", "narrow"])
def test_omitted_arguments_behave_as_the_documented_defaults(overrides):
    explicit = {**DEFAULTS, **overrides}
    omitted = search(tm.PyScorer(ppm(), ppm(), **overrides))
    assert omitted == search(tm.PyScorer(ppm(), ppm(), **explicit))
    assert omitted == search(tm.PyScorer(ppm(), ppm(), *explicit.values()))


@pytest.mark.parametrize("name, other", [
    ("wide_window", False), ("chimera", False), ("report_psms", 1), ("min_isotope_err", 0), ("max_isotope_err", 2),
    ("min_precursor_charge", 1), ("max_precursor_charge", 5), ("min_matched_peaks", 2), ("annotate_matches", True),
    ("max_fragment_charge", None), ("max_fragment_charge", 3),
])
def test_every_default_shows_in_the_probes(name, other):
    """Keeps the comparison above meaningful: each other value changes some result."""
    assert search(tm.PyScorer(ppm(), ppm(), **{name: other})) != search(tm.PyScorer(ppm(), ppm()))


# ---- fragment charges ----

@pytest.mark.parametrize("cap, matched, charges", [
    ("omitted", 10, [1, 2]),
    (2, 10, [1, 2]),
    (None, 14, [1, 2, 3]),
    (3, 14, [1, 2, 3]),
    (255, 14, [1, 2, 3]),       # never above precursor charge - 1
    (1, 3, [1]),
    (0, 3, [1]),                # never below 1
])
def test_max_fragment_charge(cap, matched, charges):
    settings = {} if cap == "omitted" else {"max_fragment_charge": cap}
    (f,) = exact_scorer(annotate_matches=True, **settings).score_spectra(database(SEQ), mixed_charge_spectrum())
    assert f.matched_peaks == matched
    assert sorted(set(f.fragments.charges)) == charges
    assert f.charge == 4


@pytest.mark.parametrize("precursor_charge, matched", [(1, 3), (2, 3), (3, 10), (4, 10), (6, 10)])
def test_fragment_charges_follow_the_precursor_charge(precursor_charge, matched):
    """Charges run from 1 to precursor charge - 1 (at least 1), capped at 2 by default."""
    spec = mixed_charge_spectrum(precursor_charge)
    (f,) = exact_scorer().score_spectra(database(SEQ), spec)
    assert (f.charge, f.matched_peaks) == (precursor_charge, matched)


def test_omitted_cap_equals_two_and_none_equals_no_cap():
    spectra = [mixed_charge_spectrum(c) for c in (3, 4, 5, 6)]
    assert search(tm.PyScorer(ppm(), ppm()), spectra) == search(tm.PyScorer(ppm(), ppm(), max_fragment_charge=2),
                                                                 spectra)
    assert search(tm.PyScorer(ppm(), ppm(), max_fragment_charge=None), spectra) == \
        search(tm.PyScorer(ppm(), ppm(), max_fragment_charge=5), spectra)


# ---- precursor windows ----

@pytest.mark.parametrize("wide, tol, found", [
    (True, 0.01, True),         # the +-2.4 Da window per charge, not precursor_tol
    (True, 1.0, True),
    (False, 0.01, False),
    (False, 1.0, True),
    (np.True_, 0.01, True),
    (np.False_, 0.01, False),
])
def test_wide_window_replaces_the_precursor_tolerance(wide, tol, found):
    scorer = tm.PyScorer(tm.PyTolerance.Da(-tol, tol), ppm(), wide_window=wide, min_isotope_err=0, max_isotope_err=0)
    features = scorer.score_spectra(database(SEQ), offset_spectrum(0.6))
    assert [f.sequence for f in features] == ([SEQ] if found else [])


def test_precursor_tolerance_has_no_effect_under_the_wide_window():
    results = [search(tm.PyScorer(tol, ppm(), chimera=False)) for tol in
               (tm.PyTolerance.Da(0.0, 0.0), tm.PyTolerance.Da(-50.0, 50.0), tm.PyTolerance.Ppm(5.0, -5.0))]
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("window, found", [
    (None, True),                                   # +-2.4 Da times 2
    (tm.PyTolerance.Da(-0.1, 0.1), False),          # +-0.2 Da at charge 2
    (tm.PyTolerance.Da(-0.35, 0.35), True),         # +-0.7 Da
    (tm.PyTolerance.Da(-0.35, 0.0), True),          # the peptide lies 0.6 Da below the centre
    (tm.PyTolerance.Da(0.0, 0.35), False),
    (tm.PyTolerance.Ppm(-400.0, 400.0), True),      # 800 ppm of 928 Da: 0.74 Da
    (tm.PyTolerance.Ppm(-200.0, 200.0), False),     # 0.37 Da
])
def test_isolation_window_is_scaled_by_the_charge(window, found):
    spec = offset_spectrum(0.6, isolation_window=window)
    scorer = tm.PyScorer(ppm(), ppm(), min_isotope_err=0, max_isotope_err=0, min_precursor_charge=2,
                         max_precursor_charge=2)
    assert [f.sequence for f in scorer.score_spectra(database(SEQ), spec)] == ([SEQ] if found else [])


@pytest.mark.parametrize("wide, declared, lowest, highest, expected_charge", [
    (True, 3, 2, 4, 2),         # the declared charge is ignored under the wide window
    (True, None, 2, 4, 2),
    (True, 2, 3, 4, None),
    (False, 3, 2, 4, None),     # the declared charge alone
    (False, 2, 3, 4, 2),        # ... whatever the configured range
    (False, None, 2, 4, 2),     # no charge: every charge of the range
    (False, None, 3, 4, None),
    (False, None, 4, 2, None),  # empty range
    (True, 2, 4, 2, None),
    (False, None, 0, 255, 2),
])
def test_which_precursor_charges_are_searched(wide, declared, lowest, highest, expected_charge):
    spec = peaks_spectrum([(m, 1000.0) for m in B + Y], precursor_mz(MONO, 2), declared)
    scorer = tm.PyScorer(ppm(), ppm(), wide_window=wide, min_isotope_err=0, max_isotope_err=0,
                         min_precursor_charge=lowest, max_precursor_charge=highest)
    features = scorer.score_spectra(database(SEQ), spec)
    assert [f.charge for f in features] == ([] if expected_charge is None else [expected_charge])


@pytest.mark.parametrize("highest, found", [(4, False), (5, True)])
def test_max_precursor_charge_is_inclusive(highest, found):
    features = tm.PyScorer(ppm(), ppm(), max_precursor_charge=highest).score_spectra(
        database(SEQ), ladder_spectrum(SEQ, charge=5))
    assert [f.charge for f in features] == ([5] if found else [])


# ---- isotope errors ----

@pytest.mark.parametrize("lowest, highest, steps", [
    (-1, 3, [-1, 0, 1, 2, 3]),
    (0, 0, [0]),
    (2, 2, [0]),                # one pass, unshifted
    (-128, -128, [0]),
    (3, 1, []),
    (-3, -2, [-3, -2]),
    (1, 5, [1, 2, 3, 4]),       # 5 isotope steps lie beyond the 4.8 Da window
    (-5, -4, [-4]),
    (127, -128, []),
])
def test_isotope_error_range(lowest, highest, steps):
    scorer = tm.PyScorer(ppm(), ppm(), chimera=False, report_psms=20, min_isotope_err=lowest, max_isotope_err=highest)
    features = scorer.score_spectra(database(SEQ), ladder_spectrum(SEQ))
    assert [f.isotope_error for f in features] == [float(F32(F32(e) * ISOTOPE)) for e in steps]


def test_full_isotope_range():
    scorer = tm.PyScorer(ppm(), ppm(), chimera=False, report_psms=20, min_isotope_err=-128, max_isotope_err=127)
    features = scorer.score_spectra(database(SEQ), ladder_spectrum(SEQ))
    assert sorted(f.isotope_error for f in features) == [float(F32(F32(e) * ISOTOPE)) for e in range(-4, 5)]


# ---- how many features ----

@pytest.mark.parametrize("report_psms, standard, chimeric", [
    (0, 0, 0), (1, 1, 1), (3, 3, 1), (5, 5, 1), (6, 5, 1), (2**64 - 1, 5, 1),
])
def test_report_psms(report_psms, standard, chimeric):
    db, spec = database(SEQ), ladder_spectrum(SEQ)
    assert len(tm.PyScorer(ppm(), ppm(), chimera=False, report_psms=report_psms).score_spectra(db, spec)) == standard
    assert len(tm.PyScorer(ppm(), ppm(), report_psms=report_psms).score_spectra(db, spec)) == chimeric


@pytest.mark.parametrize("present, threshold, reported", [
    (3, "omitted", 1),
    (2, "omitted", 0),
    (3, 4, 0),
    (2, 2, 1),
    (1, 0, 1),
    (7, 7, 1),
    (7, 8, 0),
    (7, 65535, 0),
])
def test_min_matched_peaks(present, threshold, reported):
    settings = {} if threshold == "omitted" else {"min_matched_peaks": threshold}
    features = exact_scorer(chimera=False, **settings).score_spectra(database(SEQ), partial_spectrum(present))
    assert [f.matched_peaks for f in features] == [present] * reported


@pytest.mark.parametrize("settings, annotated", [({}, False), ({"annotate_matches": False}, False),
                                                 ({"annotate_matches": True}, True)])
def test_annotate_matches(settings, annotated):
    (f,) = tm.PyScorer(ppm(), ppm(), **settings).score_spectra(database(SEQ), ladder_spectrum(SEQ))
    assert (f.fragments is not None) == annotated
    assert (f.to_dict()["fragments"] is not None) == annotated


def test_one_scorer_serves_several_databases():
    scorer = tm.PyScorer(ppm(), ppm())
    spec = ladder_spectrum(SEQ)
    assert [f.sequence for f in scorer.score_spectra(database(SEQ), spec)] == [SEQ]
    assert scorer.score_spectra(database("WEAKLYGR"), spec) == []
    assert [f.peptide_idx for f in scorer.score_spectra(database("WEAKLYGR", SEQ), spec)] == [1]


# ---- bad arguments ----

@pytest.mark.parametrize("kwargs, exc, message", [
    ({"wide_window": 1}, TypeError, "argument 'wide_window': 'int' object cannot be converted to 'PyBool'"),
    ({"chimera": 0}, TypeError, "argument 'chimera': 'int' object cannot be converted to 'PyBool'"),
    ({"annotate_matches": None}, TypeError, "argument 'annotate_matches': 'NoneType' object cannot be converted to "
                                            "'PyBool'"),
    ({"min_isotope_err": 200}, OverflowError, OUT_OF_RANGE),
    ({"max_isotope_err": -129}, OverflowError, OUT_OF_RANGE),
    ({"min_precursor_charge": -1}, OverflowError, OUT_OF_RANGE),
    ({"max_precursor_charge": 256}, OverflowError, OUT_OF_RANGE),
    ({"min_matched_peaks": 65536}, OverflowError, OUT_OF_RANGE),
    ({"max_fragment_charge": 256}, OverflowError, OUT_OF_RANGE),
    ({"max_fragment_charge": 2.0}, TypeError, "argument 'max_fragment_charge': 'float' object cannot be interpreted "
                                              "as an integer"),
    ({"report_psms": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"report_psms": 2**64}, OverflowError, "int too big to convert"),
    ({"report_psms": 5.0}, TypeError, "argument 'report_psms': 'float' object cannot be interpreted as an integer"),
    ({"fragment_tol": tm.PyKind.B()}, TypeError, "argument 'fragment_tol': 'PyKind' object cannot be converted to "
                                                 "'PyTolerance'"),
    ({"min_peaks": 3}, TypeError, "PyScorer.__new__() got an unexpected keyword argument 'min_peaks'"),
])
def test_bad_arguments(kwargs, exc, message):
    args = {"precursor_tol": ppm(), "fragment_tol": ppm(), **kwargs}
    with raises_exactly(exc, message):
        tm.PyScorer(**args)


@pytest.mark.parametrize("args, message", [
    ((), "PyScorer.__new__() missing 2 required positional arguments: 'precursor_tol' and 'fragment_tol'"),
    ((ppm(),), "PyScorer.__new__() missing 1 required positional argument: 'fragment_tol'"),
    ((ppm(),) * 2 + (True,) * 11, "PyScorer.__new__() takes from 2 to 12 positional arguments but 13 were given"),
])
def test_wrong_number_of_arguments(args, message):
    with raises_exactly(TypeError, message):
        tm.PyScorer(*args)


def test_first_bad_argument_in_parameter_order_is_reported():
    with raises_exactly(TypeError, "argument 'chimera': 'int' object cannot be converted to 'PyBool'"):
        tm.PyScorer(ppm(), ppm(), min_isotope_err=200, chimera=1)
