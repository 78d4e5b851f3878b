"""The input conventions of the core as the package applies and checks them: tolerances
read from text, spectra built from arrays of one's own, and ready-made spectra refused when
the core would score them wrongly."""

from __future__ import annotations

import types

import numpy as np
import pytest

import _tovel_mesk as tm
import tovel_mesk.conventions as conventions
from _spectra_files import PROTON, expected_peaks
from _support import MATCHED, fragment_peaks, one_peptide_db, peptide_mass
from tovel_mesk import check_spectra, make_spectrum, parse_tolerance


@pytest.fixture
def recorded(monkeypatch):
    """parse_tolerance with the tolerance factories replaced by recorders, so that the
    parsed offsets can be read (a PyTolerance is opaque)."""
    fake = types.SimpleNamespace(PyTolerance=types.SimpleNamespace(
        Ppm=lambda minus, plus: ("ppm", minus, plus), Da=lambda minus, plus: ("da", minus, plus)))
    monkeypatch.setattr(conventions, "tm", fake)
    return conventions.parse_tolerance


@pytest.mark.parametrize("text, parsed", [
    ("10ppm", ("ppm", -10.0, 10.0)), ("-10,20ppm", ("ppm", -10.0, 20.0)), ("0.5da", ("da", -0.5, 0.5)),
    (" 0.5 Da ", ("da", -0.5, 0.5)), ("-0.02, +0.03 DA", ("da", -0.02, 0.03)), ("1e1PPM", ("ppm", -10.0, 10.0)),
    ("0ppm", ("ppm", -0.0, 0.0)), ("-5,0ppm", ("ppm", -5.0, 0.0)), (".5da", ("da", -0.5, 0.5)),
])
def test_tolerances_read(recorded, text, parsed):
    assert recorded(text) == parsed


@pytest.mark.parametrize("text, words", [
    ("10", "cannot read"), ("ppm", "cannot read"), ("10 mda", "cannot read"), ("10ppm ppm", "cannot read"),
    ("-10,20,30ppm", "cannot read"), ("", "cannot read"), ("nanppm", "cannot read"),
    ("1e400ppm", "not finite"),
    ("-10ppm", "excludes its own centre"), ("10,20ppm", "excludes its own centre"),
    ("-0.5,-0.1da", "excludes its own centre"), ("0.5,0.5da", "excludes its own centre"),
])
def test_tolerances_refused(text, words):
    with pytest.raises(ValueError, match=words) as info:
        parse_tolerance(text)
    assert "'-10,20ppm'" in str(info.value) or words == "not finite"


def test_tolerance_must_be_text():
    with pytest.raises(TypeError):
        parse_tolerance(10)


@pytest.mark.parametrize("error_ppm, found", [(9.0, True), (-9.0, True), (11.0, False), (-11.0, False)])
def test_parsed_tolerance_bounds_the_precursor_error(real_core, error_ppm, found):
    """"10ppm" accepts a precursor 9 ppm off on either side and refuses one 11 ppm off."""
    mass = peptide_mass(MATCHED)
    observed = mass * (1 + error_ppm * 1e-6)
    spectrum = make_spectrum(fragment_peaks(MATCHED) + PROTON, np.full(2 * len(MATCHED) - 2, 100.0),
                             observed / 2 + PROTON, 2, id="scan=1")
    scorer = tm.PyScorer(parse_tolerance("10ppm"), parse_tolerance("10ppm"), wide_window=False,
                         min_isotope_err=0, max_isotope_err=0)
    (features,) = scorer.score_many_spectra(one_peptide_db(), [spectrum])
    assert any(f.sequence == MATCHED for f in features) is found


def test_make_spectrum_prepares_observed_peaks():
    rng = np.random.default_rng(11)
    mz = rng.uniform(100, 1500, 300)
    intensity = rng.integers(0, 30, 300).astype(float)          # zeros and many ties
    intensity[:3] = [np.nan, np.inf, 1e39]                       # 1e39 is infinite in 32 bits
    mz[3:5] = [1e39, np.nan]
    spectrum = make_spectrum(mz, intensity, 600.5, 2, id="own", top_peaks=100)
    assert spectrum.id == "own"
    assert spectrum.peaks == expected_peaks(list(mz), list(intensity), top=100)
    (precursor,) = spectrum.precursors
    assert (precursor.mz, precursor.charge, precursor.isolation_window) == (600.5, 2, None)
    assert make_spectrum([], [], 500.0).peaks == []


def test_make_spectrum_window_and_argument_checks():
    spectrum = make_spectrum([100.0], [1.0], 500.0, isolation_window=[499.0, 501.5], precursor_intensity=7.0)
    (precursor,) = spectrum.precursors
    assert precursor.intensity == 7.0 and precursor.isolation_window is not None
    with pytest.raises(ValueError, match="one length"):
        make_spectrum([100.0, 200.0], [1.0], 500.0)
    with pytest.raises(ValueError, match="one-dimensional"):
        make_spectrum([[100.0]], [[1.0]], 500.0)


def test_check_spectra_refuses_what_the_core_would_miss():
    ordered = make_spectrum([300.0, 100.0, 200.0], [1.0, 2.0, 3.0], 500.0, 2, id="ordered")
    check_spectra([ordered, ordered])
    mz = np.array([300.0, 200.0, 100.0], np.float32)
    descending = tm.PyProcessedSpectrum("down", 0, 1.0, mz, np.ones(3, np.float32), [tm.PyPrecursor(500.0)], 3.0)
    with pytest.raises(ValueError, match=r"spectrum 1 \('down'\): peaks must ascend .* peak 1 \(200.0\) follows"):
        check_spectra([ordered, descending])
    bare = tm.PyProcessedSpectrum("bare", 0, 1.0, mz[::-1].copy(), np.ones(3, np.float32), [], 3.0)
    with pytest.raises(ValueError, match=r"spectrum 0 \('bare'\) has no precursor"):
        check_spectra([bare])
    with pytest.raises(TypeError, match="spectrum 0 is a str"):
        check_spectra(["scan=1"])

