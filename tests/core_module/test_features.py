"""PyFeature and PyFragments: every property, the writable peptide, the dictionary exports,
the matched-ion annotation and the two-line text representation, including the renderings
of unusual stored values."""

from __future__ import annotations

import gc
import math

import numpy as np
import pytest

import _tovel_mesk as tm
from _search_support import (
    F32, ISOTOPE, PROTON, at_charge, database, delta_mass, exact_scorer, expmass, f32_sum, hyperscore, ladder,
    ladder_spectrum, mass_of, peptide, poisson, ppm, ppm_error_sum, precursor_mz, shift_ppm, spectrum,
)
from _support import DICT_KEYS, FEATURE_PROPERTIES, FRAGMENT_COLUMNS, raises_exactly

pytestmark = pytest.mark.usefixtures("real_core")

SEQ = "PEPTIDEK"
MONO = mass_of(SEQ)
NAN = math.nan
INF = math.inf

INT_PROPERTIES = {"rank", "matched_peaks", "peptide_idx", "psm_id", "peptide_len", "file_id", "label", "charge",
                  "longest_b", "longest_y", "missed_cleavages", "scored_candidates"}
FIXED = {"predicted_rt": 0.0, "delta_rt_model": 0.9990000128746033, "predicted_ims": 0.0,
         "delta_ims_model": 0.9990000128746033, "discriminant_score": 0.0, "posterior_error": 1.0,
         "spectrum_q": 1.0, "peptide_q": 1.0, "protein_q": 1.0}


# ---- renderings, written out by hand ----

def fixed(value, digits):
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return format(value, f".{digits}f")


def shortest_display(value):
    value = F32(value)
    if np.isnan(value):
        return "NaN"
    if np.isinf(value):
        return "inf" if value > 0 else "-inf"
    return np.format_float_positional(value, trim="-")


def shortest_debug(value):
    value = F32(value)
    if np.isnan(value):
        return "NaN"
    if np.isinf(value):
        return "inf" if value > 0 else "-inf"
    magnitude = abs(value)
    if magnitude != 0 and (magnitude < F32(1e-4) or magnitude >= F32(1e16)):
        return np.format_float_scientific(value, trim="-", exp_digits=1).replace("e+", "e")
    return np.format_float_positional(value, trim="0")


def expected_repr(spec_id, peptide_idx, rank, seq, mods, hyper, dmass, matched, iso, avg_ppm, pois):
    mods_text = "<None>" if mods is None else "[" + ", ".join(shortest_debug(m) for m in mods) + "]"
    return (f"Feature(spec={spec_id}, peptide_idx={peptide_idx}, rank={rank}, seq={'<None>' if seq is None else seq}, "
            f"mods={mods_text}, hyperscore={fixed(hyper, 3)}, delta_mass={fixed(float(dmass), 4)}, \n "
            f"matched_peaks={matched}, isotope error={shortest_display(iso)}, average_ppm={fixed(float(avg_ppm), 3)}, "
            f"poisson={fixed(pois, 4)})")


# ---- building features ----

def annotated_match():
    """PEPTIDEK against its own ladder, b ions 4 ppm heavy, y ions 1 ppm light, annotated."""
    b, y = ladder(SEQ, MONO)
    b_seen = [shift_ppm(m, 4.0) for m in b]
    y_seen = [shift_ppm(m, -1.0) for m in y]
    b_int = [F32(10.0 * (i + 2)) for i in range(7)]
    y_int = [F32(15.0 * (i + 1)) for i in range(7)]
    peaks = sorted(zip(b_seen + y_seen, b_int + y_int))
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks], [tm.PyPrecursor(precursor_mz(MONO, 2), charge=2)],
                    spec_id="scan=11", file_id=9, rt=33.25, tic=5000.0)
    (f,) = exact_scorer(annotate_matches=True).score_spectra(database(SEQ), spec)
    return f, (b, y, b_seen, y_seen, b_int, y_int)


@pytest.fixture
def match():
    return annotated_match()


@pytest.fixture
def feature(match):
    return match[0]


def standard_features(**settings):
    return tm.PyScorer(ppm(), ppm(), chimera=False, **settings).score_spectra(database(SEQ), ladder_spectrum(SEQ))


# ---- properties ----

def test_every_property_reads_with_its_python_type(feature):
    assert [name for name in FEATURE_PROPERTIES if not hasattr(feature, name)] == []
    for name in FEATURE_PROPERTIES:
        value = getattr(feature, name)
        if name in INT_PROPERTIES:
            assert type(value) is int, name
        elif name == "spec_id" or name == "sequence":
            assert type(value) is str, name
        elif name == "modifications":
            assert type(value) is list and all(type(v) is float for v in value)
        elif name == "peptide":
            assert type(value) is tm.PyPeptide
        elif name == "fragments":
            assert type(value).__name__ == "PyFragments"
        else:
            assert type(value) is float, name


def test_property_values_of_a_hand_checked_match(match):
    f, (b, y, b_seen, y_seen, b_int, y_int) = match
    summed_b, summed_y = f32_sum(b_int), f32_sum(y_int)
    score = hyperscore(7, 7, summed_b, summed_y)
    exp = expmass(precursor_mz(MONO, 2), 2)
    errors = ppm_error_sum(list(zip(b, b_seen, b_int)) + list(zip(y, y_seen, y_int)))
    assert (f.rank, f.peptide_idx, f.label, f.charge, f.file_id, f.spec_id) == (1, 0, 1, 2, 9, "scan=11")
    assert (f.matched_peaks, f.peptide_len, f.longest_b, f.longest_y, f.missed_cleavages) == (14, 8, 7, 7, 0)
    assert (f.sequence, f.modifications) == (SEQ, [0.0] * 10)
    assert f.hyperscore == score and f.delta_next == score and f.delta_best == 0.0
    assert f.expmass == float(exp) and f.calcmass == float(MONO)
    assert f.delta_mass == float(delta_mass(exp, MONO, 0)) and f.isotope_error == 0.0
    assert f.average_ppm == float(F32(errors / F32(summed_y + summed_b)))
    assert f.ms2_intensity == float(F32(summed_b + summed_y)) == 350.0 + 420.0
    assert f.matched_intensity_pct == float(F32(F32(F32(770.0) * F32(100.0)) / F32(5000.0)))
    assert f.longest_y_pct == 0.875
    assert f.poisson == poisson(14, 1, 14)
    assert f.scored_candidates == 1
    assert f.rt == f.aligned_rt == 33.25


@pytest.mark.parametrize("features", [
    lambda: standard_features(),
    lambda: [annotated_match()[0]],
    lambda: tm.PyScorer(ppm(), ppm(), chimera=False).score_spectra(database(SEQ, decoys=True), ladder_spectrum(SEQ)),
], ids=["isotope-passes", "annotated", "with-decoy"])
def test_fixed_values(features):
    for f in features():
        assert {name: getattr(f, name) for name in FIXED} == FIXED


@pytest.mark.parametrize("rt", [0.0, 12.5, -3.25, 0.1, 1e30, INF, NAN])
def test_rt_and_aligned_rt(rt):
    (f,) = exact_scorer().score_spectra(database(SEQ), ladder_spectrum(SEQ, rt=rt))
    expected = float(F32(rt))
    if math.isnan(rt):
        assert math.isnan(f.rt) and math.isnan(f.aligned_rt)
    else:
        assert f.rt == f.aligned_rt == expected


@pytest.mark.parametrize("mobility, expected", [(None, 0.0), (0.0, 0.0), (1.2345, float(F32(1.2345))),
                                                (-0.5, -0.5), (1e-40, float(F32(1e-40)))])
def test_ims_comes_from_the_first_precursor(mobility, expected):
    b, y = ladder(SEQ, MONO)
    mz = np.sort(np.array(b + y, np.float32))
    precursors = [tm.PyPrecursor(precursor_mz(MONO, 2), charge=2, inverse_ion_mobility=mobility),
                  tm.PyPrecursor(precursor_mz(MONO, 2), charge=2, inverse_ion_mobility=0.75)]
    (f,) = exact_scorer().score_spectra(database(SEQ), spectrum(mz, np.ones(mz.shape, np.float32), precursors))
    assert f.ims == expected
    assert f.predicted_ims == 0.0


# ---- the writable peptide ----

def test_peptide_reads_are_new_copies(feature):
    first, second = feature.peptide, feature.peptide
    assert first is not second
    assert first.sequence == SEQ and first.mod_array == [0.0] * 10
    first.mod_array = [1.0] * 10
    assert feature.modifications == [0.0] * 10
    assert feature.peptide.mod_array == [0.0] * 10


def test_writing_a_peptide_copies_it(feature):
    before = feature.to_dict()
    replacement = tm.PyPeptide("AK", 1.0, None, nterm=42.010565)
    feature.peptide = replacement
    replacement.mod_array = [1.0, 2.0, 3.0, 4.0]
    assert feature.sequence == "AK"
    assert feature.modifications == [42.01056671142578, 0.0, 0.0, 0.0]
    assert feature.peptide.mod_array == [42.01056671142578, 0.0, 0.0, 0.0]
    assert feature.peptide is not replacement
    after = feature.to_dict()
    assert after["sequence"] == "AK" and after["modifications"] == [42.01056671142578, 0.0, 0.0, 0.0]
    del before["sequence"], before["modifications"], after["sequence"], after["modifications"]
    assert after == before
    assert (feature.peptide_idx, feature.peptide_len, feature.calcmass) == (0, 8, float(MONO))
    assert "seq=AK, mods=[42.010567, 0.0, 0.0, 0.0]," in repr(feature)


def test_none_removes_the_peptide(feature):
    feature.peptide = None
    assert (feature.peptide, feature.sequence, feature.modifications) == (None, None, None)
    d = feature.to_dict()
    assert (d["sequence"], d["modifications"]) == (None, None)
    assert feature.peptide_idx == 0 and feature.peptide_len == 8
    assert ", seq=<None>, mods=<None>, " in repr(feature)
    feature.peptide = tm.PyPeptide(SEQ, 1.0, None)
    assert feature.sequence == SEQ


def test_deleting_the_peptide_is_refused(feature):
    with raises_exactly(AttributeError, "can't delete attribute"):
        del feature.peptide
    assert feature.sequence == SEQ


@pytest.mark.parametrize("value, type_name", [
    (5, "int"), ("AK", "str"), (b"AK", "bytes"), ([tm.PyPeptide("AK", 1.0, None)], "list"),
    (tm.PyKind.B(), "PyKind"), (tm.PyTolerance.Da(-1, 1), "PyTolerance"), (1.5, "float"),
])
def test_writing_something_else_is_a_type_error(feature, value, type_name):
    with raises_exactly(TypeError, f"argument 'peptide': '{type_name}' object cannot be converted to 'PyPeptide'"):
        feature.peptide = value
    assert feature.sequence == SEQ and feature.modifications == [0.0] * 10


def test_a_feature_is_not_a_peptide(feature):
    other = annotated_match()[0]
    with raises_exactly(TypeError, "argument 'peptide': 'PyFeature' object cannot be converted to 'PyPeptide'"):
        feature.peptide = other


def test_sequence_with_invalid_utf8_is_replaced_not_raised(feature):
    db = database(tm.PyPeptide("AéGK", 400.0, None), decoys=True)
    decoy = db.peptides[1]                        # the interior bytes reversed: A G \xa9 \xc3 K
    with pytest.raises(UnicodeError):
        decoy.sequence
    feature.peptide = decoy
    assert feature.sequence == "AG\ufffd\ufffdK"
    assert feature.to_dict()["sequence"] == "AG\ufffd\ufffdK"
    assert len(feature.modifications) == 7
    assert ", seq=AG\ufffd\ufffdK, mods=[0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]," in repr(feature)


def test_features_outlive_their_database_and_spectrum():
    db, spec = database(SEQ), ladder_spectrum(SEQ)
    features = exact_scorer(annotate_matches=True).score_spectra(db, spec)
    del db, spec
    gc.collect()
    (f,) = features
    assert f.sequence == SEQ and f.peptide.sequence == SEQ and len(f.fragments.charges) == 14


def test_modified_peptide_reports_its_mod_array():
    mods = [0.0, 0.984016, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]
    nterm = 42.010565
    mono = F32(MONO + F32(0.984016) + F32(nterm))
    b, y = ladder(SEQ, mono, mods=mods, nterm=nterm)
    mz = np.sort(np.array(b + y, np.float32))
    spec = spectrum(mz, np.full(mz.shape, 10.0, np.float32), [tm.PyPrecursor(precursor_mz(mono, 2), charge=2)])
    (f,) = exact_scorer().score_spectra(database(peptide(SEQ, mono, mods, nterm)), spec)
    assert f.matched_peaks == 14
    expected_mods = [float(F32(nterm))] + [float(F32(m)) for m in mods] + [0.0]
    assert f.modifications == expected_mods
    assert "mods=[42.010567, 0.0, 0.984016, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]," in repr(f)


# ---- dictionary export ----

def test_to_dict_keys_in_order(feature):
    d = feature.to_dict()
    assert list(d) == DICT_KEYS
    assert "peptide_idx" not in d and "peptide" not in d


@pytest.mark.parametrize("annotate", [False, True])
def test_to_dict_values_are_the_properties(annotate):
    for f in standard_features(annotate_matches=annotate):
        d = f.to_dict()
        for key in DICT_KEYS:
            if key == "fragments":
                continue
            assert d[key] == getattr(f, key), key
        assert d["fragments"] == (f.fragments.to_dict() if annotate else None)
        assert f.to_dict() is not d and f.to_dict()["modifications"] is not d["modifications"]


# ---- matched fragments ----

def test_fragments_absent_without_annotation():
    assert [f.fragments for f in standard_features()] == [None] * 5


def test_fragment_lists_of_a_hand_checked_match(match):
    f, (b, y, b_seen, y_seen, b_int, y_int) = match
    fr = f.fragments
    assert fr.kinds == ["B"] * 7 + ["Y"] * 7
    assert fr.fragment_ordinals == [1, 2, 3, 4, 5, 6, 7] + [7, 6, 5, 4, 3, 2, 1]
    assert fr.charges == [1] * 14
    assert fr.intensities == [float(i) for i in b_int + y_int]
    assert fr.mz_calculated == [float(F32(at_charge(m, 1) + PROTON)) for m in b + y]
    assert fr.mz_experimental == [float(F32(o + PROTON)) for o in b_seen + y_seen]
    assert fr.to_dict() == {k: getattr(fr, k) for k in FRAGMENT_COLUMNS}
    assert list(fr.to_dict()) == FRAGMENT_COLUMNS


def test_fragment_annotation_reads(feature):
    first, second = feature.fragments, feature.fragments
    assert first is not second
    assert type(first) is type(second)
    assert first.to_dict() == second.to_dict()
    assert first.kinds is not first.kinds
    cls = type(first)
    assert f"{cls.__module__}.{cls.__qualname__}" == "tovel_mesk.PyFragments"
    assert "PyFragments" not in vars(tm)
    assert all(type(k) is str for k in first.kinds)


def test_fragments_at_charge_two():
    """Precursor charge 3: y ions seen at half their mass."""
    b, y = ladder(SEQ, MONO)
    peaks = sorted([(b[0], 7.0), (b[1], 8.0)] + [(at_charge(m, 2), 9.0) for m in y[:3]])
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks], [tm.PyPrecursor(precursor_mz(MONO, 3), charge=3)])
    (f,) = exact_scorer(annotate_matches=True).score_spectra(database(SEQ), spec)
    fr = f.fragments
    assert fr.kinds == ["B", "B", "Y", "Y", "Y"]
    assert fr.charges == [1, 1, 2, 2, 2]
    assert fr.fragment_ordinals == [1, 2, 7, 6, 5]
    assert fr.mz_calculated == [float(F32(at_charge(m, c) + PROTON)) for m, c in
                                [(b[0], 1), (b[1], 1), (y[0], 2), (y[1], 2), (y[2], 2)]]
    assert fr.mz_experimental == fr.mz_calculated


@pytest.mark.parametrize("kinds, expected_kinds, ordinals", [
    (("Y", "B"), ["Y"] * 7 + ["B"] * 7, [7, 6, 5, 4, 3, 2, 1, 1, 2, 3, 4, 5, 6, 7]),
    (("B", "B"), ["B"] * 14, [1, 2, 3, 4, 5, 6, 7] * 2),
    (("Y",), ["Y"] * 7, [7, 6, 5, 4, 3, 2, 1]),
])
def test_fragments_follow_the_index_kinds(kinds, expected_kinds, ordinals):
    db = database(SEQ, kinds=kinds)
    (f,) = exact_scorer(annotate_matches=True).score_spectra(db, ladder_spectrum(SEQ))
    assert f.fragments.kinds == expected_kinds
    assert f.fragments.fragment_ordinals == ordinals
    assert f.matched_peaks == len(expected_kinds)


def test_annotation_without_matches_has_six_empty_lists():
    """A peak of negative intensity is found by the index but never matched in full scoring."""
    b, _ = ladder(SEQ, MONO)
    spec = spectrum([b[0]], [-5.0], [tm.PyPrecursor(precursor_mz(MONO, 2), charge=2)], tic=1.0)
    (f,) = exact_scorer(annotate_matches=True, chimera=False, min_matched_peaks=0).score_spectra(database(SEQ), spec)
    assert f.fragments.to_dict() == {k: [] for k in FRAGMENT_COLUMNS}
    assert f.to_dict()["fragments"] == {k: [] for k in FRAGMENT_COLUMNS}
    assert (f.matched_peaks, f.hyperscore, f.ms2_intensity, f.matched_intensity_pct) == (0, 2.0, 0.0, 0.0)
    assert math.isnan(f.average_ppm)
    assert f.poisson == poisson(1, 1, 0)
    assert repr(f).endswith(f", \n matched_peaks=0, isotope error=0, average_ppm=NaN, "
                            f"poisson={fixed(poisson(1, 1, 0), 4)})")


# ---- representation ----

def test_repr_of_a_hand_checked_match(match):
    f, (b, y, b_seen, y_seen, b_int, y_int) = match
    summed_b, summed_y = f32_sum(b_int), f32_sum(y_int)
    errors = ppm_error_sum(list(zip(b, b_seen, b_int)) + list(zip(y, y_seen, y_int)))
    exp = expmass(precursor_mz(MONO, 2), 2)
    text = expected_repr("scan=11", 0, 1, SEQ, [0.0] * 10, hyperscore(7, 7, summed_b, summed_y),
                         delta_mass(exp, MONO, 0), 14, 0.0, F32(errors / F32(summed_y + summed_b)), poisson(14, 1, 14))
    assert repr(f) == str(f) == text


def test_repr_of_each_isotope_pass():
    exp = expmass(precursor_mz(MONO, 2), 2)
    h = hyperscore(7, 7, 7000.0, 7000.0)
    for rank, (f, steps) in enumerate(zip(standard_features(), range(-1, 4)), start=1):
        iso = F32(F32(steps) * ISOTOPE)
        assert repr(f) == expected_repr("scan=1", 0, rank, SEQ, [0.0] * 10, h, delta_mass(exp, MONO, steps), 14,
                                        iso, 0.0, poisson(70, 5, 14))
    assert [shortest_display(F32(F32(e) * ISOTOPE)) for e in range(-1, 4)] == \
        ["-1.00335", "0", "1.00335", "2.0067", "3.01005"]


@pytest.mark.parametrize("spec_id", ["", "scan=1 of 2, (x)", "spectre n° 5 ✓", "a\nb"])
def test_repr_shows_the_spectrum_id_unchanged(spec_id):
    (f,) = exact_scorer().score_spectra(database(SEQ), ladder_spectrum(SEQ, spec_id=spec_id))
    assert repr(f).startswith(f"Feature(spec={spec_id}, peptide_idx=0, rank=1, seq={SEQ}, ")


@pytest.mark.parametrize("mods, nterm, cterm, text", [
    ([0.0, 0.0], 42.010565, None, "[42.010567, 0.0, 0.0, 0.0]"),
    ([15.994915, -17.026548], None, None, "[0.0, 15.994915, -17.026548, 0.0]"),
    ([NAN, -INF], INF, -0.0, "[inf, NaN, -inf, -0.0]"),
    ([1e-5, 2.5e16], 1e-4, 1e16, "[0.0001, 1e-5, 2.5e16, 1e16]"),
    ([1e20, -3e-7], 100.0, 0.5, "[100.0, 1e20, -3e-7, 0.5]"),
    ([1e-45, 3.4028235e38], -0.0001, 9999999999999998.0, "[-0.0001, 1e-45, 3.4028235e38, 1e16]"),
])
def test_repr_of_modifications(feature, mods, nterm, cterm, text):
    feature.peptide = tm.PyPeptide("AK", 1.0, mods, nterm, cterm)
    assert f", seq=AK, mods={text}, hyperscore=" in repr(feature)
    assert "[" + ", ".join(shortest_debug(m) for m in feature.peptide.mod_array) + "]" == text


def _b_ion_feature(mono, mz_value, charge, precursor_tol, tic=None):
    """A peptide of caller-given mass matched by its b ions alone."""
    b, _ = ladder(SEQ, mono)
    spec = spectrum(b, [10.0] * len(b), [tm.PyPrecursor(mz_value, charge=charge)], tic=tic)
    (f,) = exact_scorer(precursor_tol=precursor_tol, chimera=False).score_spectra(
        database(peptide(SEQ, mono)), spec)
    assert f.matched_peaks == 7
    return f


@pytest.mark.parametrize("mz_value, nudge, expected", [
    (2.0, False, "inf"),            # mass m against a peptide of mass -m: zero denominator
    (0.5, False, "-inf"),
    (2.0, True, None),              # one step off -m: a finite value with 14 integer digits
])
def test_delta_mass_with_a_vanishing_denominator(mz_value, nudge, expected):
    m = F32(F32(mz_value) - PROTON)
    mono = np.nextafter(-m, F32(0.0)) if nudge else -m
    f = _b_ion_feature(mono, mz_value, 1, tm.PyTolerance.Da(-5.0, 5.0))
    value = delta_mass(expmass(mz_value, 1), mono, 0)
    assert f.delta_mass == float(value)
    if expected is None:
        assert 1e13 < value < 1e14
        expected = format(float(value), ".4f")
    assert f", delta_mass={expected}, \n" in repr(f)


def test_nan_delta_mass():
    f = _b_ion_feature(F32(0.0), float(PROTON), 2, tm.PyTolerance.Da(-1.0, 1.0))
    assert math.isnan(f.delta_mass) and f.expmass == 0.0
    assert ", delta_mass=NaN, \n" in repr(f)


@pytest.mark.parametrize("tic, expected", [(0.0, INF), (-0.0, -INF), (NAN, NAN), (1e-45, INF), (7000.0, 100.0)])
def test_matched_intensity_pct_against_the_total_ion_current(tic, expected):
    (f,) = exact_scorer(chimera=False).score_spectra(database(SEQ), ladder_spectrum(SEQ, intensity=500.0, tic=tic))
    got = f.matched_intensity_pct
    assert (math.isnan(got) and math.isnan(expected)) or got == expected
    assert (f.to_dict()["matched_intensity_pct"] == got) or math.isnan(got)


def test_negative_hyperscore_renders_with_its_sign():
    """One b and one y ion of tiny intensity: two count terms of -0.0810615 outweigh the
    intensity term, leaving a hyperscore just below zero."""
    target = 0.0002
    intensity = F32(math.exp((2 * 0.08106146679532726 - target) / 2) - 1.0)
    score = hyperscore(1, 1, intensity, intensity)
    assert -0.0005 < score < 0.0
    b, y = ladder(SEQ, MONO)
    peaks = sorted([(b[2], intensity), (y[4], intensity)])
    spec = spectrum([m for m, _ in peaks], [i for _, i in peaks], [tm.PyPrecursor(precursor_mz(MONO, 2), charge=2)])
    (f,) = exact_scorer(min_matched_peaks=2).score_spectra(database(SEQ), spec)
    assert f.hyperscore == score
    assert ", hyperscore=-0.000, delta_mass=" in repr(f)


def test_infinite_intensity_gives_the_fallback_hyperscore():
    b, y = ladder(SEQ, MONO)
    mz = sorted(b + y)
    spec = spectrum(mz, [INF] + [1.0] * 13, [tm.PyPrecursor(precursor_mz(MONO, 2), charge=2)], tic=10.0)
    (f,) = exact_scorer().score_spectra(database(SEQ), spec)
    assert f.hyperscore == 255.0
    assert f.ms2_intensity == INF and f.matched_intensity_pct == INF
    assert ", hyperscore=255.000, " in repr(f) and ", average_ppm=NaN, " in repr(f)


@pytest.mark.parametrize("sequence, copies, rendering", [
    (SEQ, 60, "-inf"),              # 840 index hits on one candidate: exp(-840) is 0
    (SEQ * 7, 8, "NaN"),            # ... and 864 ** 110 overflows: infinity times zero
])
def test_poisson_beyond_the_float_range(sequence, copies, rendering):
    mono = mass_of(sequence)
    b, y = ladder(sequence, mono)
    mz = np.sort(np.repeat(np.array(b + y, np.float32), copies))
    spec = spectrum(mz, np.full(mz.shape, 3.0, np.float32), [tm.PyPrecursor(precursor_mz(mono, 2), charge=2)])
    (f,) = exact_scorer(chimera=False).score_spectra(database(peptide(sequence, mono)), spec)
    k = f.matched_peaks
    hits = len(mz)                      # every peak lies on exactly one fragment
    assert k == 2 * (len(sequence) - 1)
    expected = poisson(hits, 1, k)
    assert (math.isnan(expected) and math.isnan(f.poisson)) or f.poisson == expected
    assert fixed(expected, 4) == rendering
    assert repr(f).endswith(f", poisson={rendering})")
