"""Calls that fail (and a few that succeed) repeated many thousands of times: neither the
memory held by Python objects nor the C heap may grow, and the reference counts of the
argument objects must come back to where they were.
The check itself is in `_leaks`."""

from __future__ import annotations

import array
import ctypes

import numpy as np
import pytest

import _tovel_mesk as tm
from _leaks import ROUNDS, WARMUP, c_heap_in_use, check_steady
from _support import da, empty_db, spectrum

# Fewer rounds for calls that build an index or start a pool of threads each time; a leak
# there would be large anyway.
ROUNDS_FOR = {"score-many": 2_000, "index-build-fails": 5_000, "database-build": 5_000, "database-reads": 5_000,
              "feature": 5_000}


class Chained:
    """Its numeric conversions raise a TypeError with a cause."""

    root = KeyError("root")

    def __float__(self):
        raise TypeError("inner") from self.root

    __index__ = __float__


class Raising:
    def __float__(self):
        raise ValueError("not today")


def be_floats(n):
    return memoryview((ctypes.c_float.__ctype_be__ * n)())


def misaligned(n):
    return np.frombuffer(np.zeros(4 * n + 1, np.uint8).data, dtype=np.float32, count=n, offset=1)


def failing_cases():
    """(name, action, objects whose reference counts must not change)"""
    s, n, big, neg = "abc", 256, 2**64, -1
    a, b, c = 1.0, 2.0, 3.0
    f32 = np.arange(3, dtype=np.float32)
    f64 = np.arange(3, dtype=np.float64)
    strided = np.arange(6, dtype=np.float32)[::2]
    be = be_floats(3)
    bare = (ctypes.c_float * 3)()
    zero_d = np.array(1.0, np.float32)
    mis = misaligned(3)
    longer = np.arange(4, dtype=np.float32)
    raw = b"abcdefghijkl"
    mods = [1.0] * 50 + ["x"]
    pep = tm.PyPeptide("PEPTIDEK", 927.45, None)
    peps = [pep] * 20
    kind = tm.PyKind.B()
    kinds = [kind, tm.PyKind.Y()]
    tol = da()
    prec = tm.PyPrecursor(500.0, charge=2)
    chained, raising = Chained(), Raising()
    db = empty_db()
    no_precursor = spectrum("s", precursors=[])
    good = spectrum()
    scorer = tm.PyScorer(tol, tol)
    target = tm.PyPeptide("AK", 1.0, None)
    four = [1.0, 2.0, 3.0]
    return [
        ("too-many-positional-fast", lambda: tm.PyTolerance.Da(a, b, c), [a, b, c]),
        ("too-many-positional", lambda: tm.PyPrecursor(a, 1, b, tol, c, s), [a, b, c, s, tol]),
        ("missing-arguments", lambda: tm.PyPeptide(s), [s]),
        ("missing-arguments-fast", lambda: tm.PyTolerance.Ppm(plus=b), [b]),
        ("unexpected-keyword", lambda: tm.PyPrecursor(a, bogus=b), [a, b]),
        ("unexpected-keyword-fast", lambda: tm.PyTolerance.Da(a, b, bogus=c), [a, b, c]),
        ("multiple-values", lambda: tm.PyPrecursor(a, mz=b), [a, b]),
        ("multiple-values-fast", lambda: tm.PyTolerance.Da(a, minus=b), [a, b]),
        ("float-wrong-type", lambda: tm.PyPrecursor(s), [s]),
        ("float-type-error-with-cause", lambda: tm.PyTolerance.Da(chained, b), [chained, Chained.root]),
        ("float-other-error", lambda: tm.PyPrecursor(raising), [raising]),
        ("u8-out-of-range", lambda: tm.PyPrecursor(a, charge=n), [a, n]),
        ("u8-beyond-long", lambda: tm.PyPrecursor(a, charge=big), [big]),
        ("i8-out-of-range", lambda: tm.PyScorer(tol, tol, min_isotope_err=n), [tol, n]),
        ("u16-wrong-type", lambda: tm.PyScorer(tol, tol, min_matched_peaks=a), [tol, a]),
        ("u32-out-of-range", lambda: db.sequence_for(big), [db, big]),
        ("u64-negative", lambda: tm.PyScorer(tol, tol, report_psms=neg), [neg]),
        ("u64-too-big", lambda: tm.PyProcessedSpectrum(s, big, a, f32, f32, [], a), [s, big, f32]),
        ("index-type-error-with-cause", lambda: tm.PyPrecursor(a, charge=chained), [chained]),
        ("bool-wrong-type", lambda: tm.PyScorer(tol, tol, wide_window=1), [tol]),
        ("str-wrong-type", lambda: tm.PyPeptide(raw, a, None), [raw]),
        ("list-from-str", lambda: tm.PyPeptide(s, a, s), [s]),
        ("list-from-set", lambda: tm.PyPeptide(s, a, {1.0}), [s]),
        ("list-from-generator", lambda: tm.PyPeptide(s, a, (x for x in four)), [four]),
        ("list-bad-last-element", lambda: tm.PyPeptide(s, a, mods), [mods] + mods[:1]),
        ("class-wrong-type", lambda: tm.PyScorer(kind, tol), [kind, tol]),
        ("class-list-bad-element",
         lambda: tm.PyIndexedDatabase.from_peptides_and_config(peps + [kind], 1, kinds, 0, False, s, a, b),
         [pep, kind, s]),
        ("precursor-list-bad-element", lambda: tm.PyProcessedSpectrum(s, 0, a, f32, f32, [prec, 1], a), [prec, f32]),
        ("buffer-float64", lambda: tm.PyProcessedSpectrum(s, 0, a, f64, f32, [prec], a), [f64, f32, prec]),
        ("buffer-list", lambda: tm.PyProcessedSpectrum(s, 0, a, four, f32, [], a), [four, f32]),
        ("buffer-strided", lambda: tm.PyProcessedSpectrum(s, 0, a, strided, f32, [], a), [strided, f32]),
        ("buffer-big-endian", lambda: tm.PyProcessedSpectrum(s, 0, a, f32, be, [], a), [f32, be]),
        ("buffer-no-strides", lambda: tm.PyProcessedSpectrum(s, 0, a, bare, f32, [], a), [bare]),
        ("buffer-no-shape", lambda: tm.PyProcessedSpectrum(s, 0, a, zero_d, f32, [], a), [zero_d]),
        ("buffer-misaligned", lambda: tm.PyProcessedSpectrum(s, 0, a, f32, mis, [], a), [f32, mis]),
        ("buffer-different-lengths", lambda: tm.PyProcessedSpectrum(s, 0, a, f32, longer, [], a), [f32, longer]),
        ("buffer-bytes", lambda: tm.PyProcessedSpectrum(s, 0, a, raw, f32, [], a), [raw, f32]),
        ("mod-array-wrong-length", lambda: setattr(target, "mod_array", four), [target, four]),
        ("mod-array-wrong-type", lambda: setattr(target, "mod_array", [a, b, s, c]), [target, s]),
        ("mod-array-delete", lambda: delattr(target, "mod_array"), [target]),
        ("read-only-property", lambda: setattr(target, "sequence", s), [target, s]),
        ("no-constructor", lambda: tm.PyKind(a), [a]),
        ("index-build-fails",
         lambda: tm.PyIndexedDatabase.from_peptides_and_config(peps, 0, kinds, 0, True, s, a, b), [pep, kind, s]),
        ("score-without-precursor", lambda: scorer.score_spectra(db, no_precursor), [scorer, db, no_precursor]),
        ("score-many-bad-element", lambda: scorer.score_many_spectra(db, [good, good, 1]), [scorer, db, good]),
        ("score-wrong-database", lambda: scorer.score_spectra(good, good), [scorer, good]),
    ]


FAILING = failing_cases()


@pytest.mark.parametrize("name, action, watched", FAILING, ids=[c[0] for c in FAILING])
def test_failing_calls_do_not_leak(name, action, watched):
    check_steady(action, watched, ROUNDS_FOR.get(name, ROUNDS))


def succeeding_cases():
    f32 = np.linspace(100.0, 1000.0, 50, dtype=np.float32)
    tol = tm.PyTolerance.Ppm(-10, 10)
    prec = tm.PyPrecursor(500.0, charge=2, intensity=1.0, isolation_window=tol)
    seq, mods = "PEPTIDEK", [0.5] * 8
    pep = tm.PyPeptide(seq, 927.45, mods, 1.0, 2.0)
    db = tm.PyIndexedDatabase.from_peptides_and_config([pep] * 10, 4, [tm.PyKind.B(), tm.PyKind.Y()], 0, True,
                                                       "rev_", 0.0, 5000.0)
    good = tm.PyProcessedSpectrum("scan=1", 0, 1.0, f32, f32, [prec], 1.0)
    scorer = tm.PyScorer(tol, tol)
    arr = array.array("f", range(50))
    new_mods = [0.0] * 10

    def peptide_round_trip():
        p = tm.PyPeptide(seq, 927.45, mods)
        p.mod_array = new_mods
        return p.mod_array, p.modifications, p.sequence

    def spectrum_round_trip():
        sp = tm.PyProcessedSpectrum("scan=1", 7, 1.0, f32, arr, [prec, prec], 1.0)
        return sp.peaks, sp.precursors, sp.id, sp.precursors[1].isolation_window

    def database_reads():
        return db.peptides, db.sequence_for(0), db.sequence_for(10**6), db.fragment_count(), db.debug_fragment_summary()

    return [
        ("tolerances-and-kinds", lambda: (tm.PyTolerance.Da(-1, 1), tm.PyTolerance.Ppm(minus=-1, plus=1),
                                          tm.PyKind.B(), tm.PyKind.Y()), [tm.PyTolerance, tm.PyKind]),
        ("peptide", peptide_round_trip, [seq, mods, new_mods, tm.PyPeptide]),
        ("precursor", lambda: (tm.PyPrecursor(1.0, 2, 3.0, tol, 4.0).isolation_window, prec.mz, prec.charge),
         [tol, prec, tm.PyPrecursor, tm.PyTolerance]),
        ("spectrum", spectrum_round_trip, [f32, arr, prec, tm.PyProcessedSpectrum, tm.PyPrecursor]),
        ("database-build", lambda: tm.PyIndexedDatabase.from_peptides_and_config(
            [pep, pep], 4, [tm.PyKind.B()], 0, True, "rev_", 0.0, 5000.0), [pep, tm.PyIndexedDatabase]),
        ("database-reads", database_reads, [db, tm.PyPeptide]),
        ("scorer", lambda: tm.PyScorer(tol, tol, True, False, 3, -1, 2, 1, 3, 2, True, None), [tol, tm.PyScorer]),
        ("score-many", lambda: scorer.score_many_spectra(db, [good, good]), [scorer, db, good]),
    ]


SUCCEEDING = succeeding_cases()


@pytest.mark.parametrize("name, action, watched", SUCCEEDING, ids=[c[0] for c in SUCCEEDING])
def test_succeeding_calls_do_not_leak(name, action, watched):
    check_steady(action, watched, ROUNDS_FOR.get(name, ROUNDS))


def test_single_spectrum_scoring_does_not_leak(capfd):
    scorer = tm.PyScorer(da(), da())
    db, good = empty_db(), spectrum()
    check_steady(lambda: scorer.score_spectra(db, good), [scorer, db, good])
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == 2 * WARMUP + ROUNDS
    assert set(lines) == {"Scoring returned 0 features"}


def test_feature_reads_and_writes_do_not_leak(feature):
    pep = tm.PyPeptide("AK", 1.0, None)

    def use():
        feature.peptide = pep
        try:
            feature.peptide = 1
        except TypeError:
            pass
        return (feature.to_dict(), repr(feature), feature.peptide, feature.fragments.to_dict(),
                [getattr(feature, name) for name in ("hyperscore", "spec_id", "modifications", "fragments")])

    check_steady(use, [feature, pep, tm.PyFeature, tm.PyPeptide], ROUNDS_FOR["feature"])


def test_the_check_finds_a_leak_of_either_kind():
    kept = []
    with pytest.raises(AssertionError, match="Python memory grew in every block"):
        check_steady(lambda: kept.append(object()), rounds=3_000)
    if not c_heap_in_use():
        pytest.skip("the C library does not count its heap")
    malloc = ctypes.CDLL(None).malloc
    malloc.restype, malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    with pytest.raises(AssertionError, match="the C heap grew in every block"):
        check_steady(lambda: malloc(24), rounds=3_000)
