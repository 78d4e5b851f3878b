"""Scoring into columns: the same matches as `score_many_spectra`, the low-resolution
features against independent computations, and clean errors on bad arguments."""

from __future__ import annotations

import math

import numpy as np
import pytest

import _tovel_mesk as tm
from _search_support import database, ladder, ladder_spectrum, mass_of, precursor_mz, spectrum
from tovel_mesk import _native, peptide_proteins, proforma
from tovel_mesk.columns import CORE_FEATURES, DERIVED, IDENTITY, KEYS, LOW_RES_FEATURES, MASSES
from tovel_mesk.search.scoring import match_column_names, score_columns

PROTON = 1.0072764
# Anagrams share one mass, so one precursor window holds all of them and their decoys.
ANAGRAMS = ("PEPTIDEK", "EPPTIDEK", "PETPIDEK", "TEPPIDEK", "PEPDITEK", "DEPTIPEK")


def scorer(chimera, report_psms, **settings):
    base = dict(wide_window=False, chimera=chimera, report_psms=report_psms, min_isotope_err=0,
                max_isotope_err=0, min_matched_peaks=1)
    base.update(settings)
    return tm.PyScorer(tm.PyTolerance.Ppm(-10.0, 10.0), tm.PyTolerance.Da(-0.5, 0.5), **base)


def anagram_spectra():
    """A ladder of the first anagram, one of the third with a precursor charge of 3 and
    weaker peaks, noise, and a spectrum whose precursor matches no peptide."""
    noisy = ladder_spectrum(ANAGRAMS[2], charge=3, intensity=40.0, spec_id="scan=2", file_id=1, rt=3.5)
    masses, _ = zip(*noisy.peaks)
    rng = np.random.default_rng(7)
    mz = np.sort(np.concatenate([np.array(masses, np.float32),
                                 rng.uniform(150.0, 900.0, 25).astype(np.float32)]))
    intensity = rng.uniform(5.0, 60.0, mz.size).astype(np.float32)
    return [
        ladder_spectrum(ANAGRAMS[0], spec_id="scan=1", rt=1.25),
        spectrum(mz, intensity, [tm.PyPrecursor(precursor_mz(mass_of(ANAGRAMS[2]), 3), charge=3)],
                 spec_id="scan=2", file_id=1, rt=3.5),
        spectrum([200.0, 300.0, 400.0], [5.0, 6.0, 7.0], [tm.PyPrecursor(2500.0, charge=2)], spec_id="scan=3"),
    ]


@pytest.fixture(scope="module")
def anagram_db(real_core):
    return database(*ANAGRAMS, decoys=True)


# ---- the same matches as the batch entry point ----

@pytest.mark.parametrize("chimera", [True, False], ids=["chimeric", "standard"])
@pytest.mark.parametrize("report_psms", [1, 3, 20])
def test_columns_equal_score_many_spectra(anagram_db, chimera, report_psms):
    spectra = anagram_spectra()
    s = scorer(chimera, report_psms)
    reference = [dict(f.to_dict(), peptide_idx=f.peptide_idx)
                 for matches in s.score_many_spectra(anagram_db, spectra) for f in matches]
    columns = score_columns(s, anagram_db, spectra, threads=2, file=["a.mzML", "b.mzML"])

    assert list(columns) == list(match_column_names())
    assert all(len(values) == len(reference) for values in columns.values())
    assert reference, "the ladders were not matched"
    for name in ("rank", "label") + tuple(n for n in MASSES if n not in DERIVED) + CORE_FEATURES + ("peptide_idx",
                                                                                                      "file_id"):
        got = [v.item() for v in columns[name]]
        want = [d[name] for d in reference]
        assert _same(got, want), name
    assert list(columns["spec_id"]) == [d["spec_id"] for d in reference]
    # The columns derived per spectrum and per match: scan from the native id, the isotope offset in steps.
    assert list(columns["native_id"]) == list(columns["spec_id"])
    assert list(columns["scan"]) == [int(d["spec_id"].rsplit("=", 1)[1]) for d in reference]
    assert list(columns["isotope_step"]) == [round(d["isotope_error"] / 1.00335) for d in reference]
    assert list(columns["sequence"]) == [d["sequence"] for d in reference]
    # Labels are made once per distinct peptide and spread to its rows.
    assert list(columns["peptide"]) == [proforma(anagram_db, d["peptide_idx"]) for d in reference]
    assert list(columns["proteins"]) == [";".join(peptide_proteins(anagram_db, d["peptide_idx"]))
                                         for d in reference]
    assert list(columns["file"]) == [["a.mzML", "b.mzML"][d["file_id"]] for d in reference]
    assert len(set(columns["psm_id"].tolist())) == len(reference)
    assert "scan=3" not in set(columns["spec_id"])


def test_threads_and_chunks_change_nothing(anagram_db):
    spectra = anagram_spectra() * 3
    s = scorer(False, 5)
    one = score_columns(s, anagram_db, spectra, threads=1)
    for threads, chunk_size in [(3, 1), (2, 2), (0, 100)]:
        other = score_columns(s, anagram_db, iter(spectra), threads=threads, chunk_size=chunk_size)
        for name in one:
            if name != "psm_id":
                assert _same(one[name].tolist(), other[name].tolist()), (name, threads, chunk_size)


def test_null_seed_moves_only_the_expectation_value(anagram_db):
    spectra = anagram_spectra()
    s = scorer(False, 5)
    usual = score_columns(s, anagram_db, spectra)
    again = score_columns(s, anagram_db, spectra, null_seed=None, threads=1)
    other = score_columns(s, anagram_db, spectra, null_seed=12345)
    assert all(_same(usual[n].tolist(), again[n].tolist()) for n in usual if n != "psm_id")
    assert not np.array_equal(usual["log10_evalue"], other["log10_evalue"])
    for name in usual:
        if name not in ("psm_id", "log10_evalue"):
            assert _same(usual[name].tolist(), other[name].tolist()), name
    repeat = score_columns(s, anagram_db, spectra, null_seed=12345, chunk_size=1)
    assert np.array_equal(other["log10_evalue"], repeat["log10_evalue"])


def test_numeric_columns_are_views_of_native_buffers(anagram_db):
    columns = score_columns(scorer(False, 5), anagram_db, anagram_spectra())
    for name in ("hyperscore", "xcorr", "peptide_idx", "charge"):
        assert columns[name].base is not None and columns[name].flags.writeable


def test_progress_and_no_spectra(anagram_db):
    seen = []
    score_columns(scorer(False, 1), anagram_db, anagram_spectra() * 2, chunk_size=4, progress=seen.append)
    assert seen == [4, 6]
    empty = score_columns(scorer(False, 1), anagram_db, [])
    assert list(empty) == list(match_column_names())
    assert all(len(v) == 0 for v in empty.values())
    assert empty["hyperscore"].dtype == np.float64 and empty["spec_id"].dtype == object
    without = score_columns(scorer(False, 1), anagram_db, anagram_spectra(), low_res=False)
    assert list(without) == list(match_column_names(low_res=False))
    assert not set(LOW_RES_FEATURES) & set(without)


def test_column_groups_are_complete():
    names = match_column_names()
    assert set(IDENTITY + MASSES + CORE_FEATURES + LOW_RES_FEATURES + KEYS) <= set(names)
    assert len(set(names)) == len(names)


# ---- low-resolution features ----

def xcorr_by_hand(peaks_mz, intensities, ion_mz):
    """Unit bins (width 1.0005, offset 0.4) of square-rooted intensities, the strongest peak
    per bin; bins under 5% of the strongest dropped, the rest scaled to 50 within ten equal
    windows; less the mean of the 150 bins around each; 0.005 times the sum at the ions."""
    def bin_of(mz):
        return int(math.floor(mz / 1.0005 + 0.6))

    last = max(bin_of(m) for m in peaks_mz)
    raw = [0.0] * (last + 1)
    for m, i in zip(peaks_mz, intensities):
        raw[bin_of(m)] = max(raw[bin_of(m)], math.sqrt(i))
    floor = 0.05 * max(raw)
    width = -(-len(raw) // 10)
    scaled = [0.0] * (len(raw) + 75)
    for start in range(0, len(raw), width):
        top = max(raw[start:start + width])
        for k in range(start, min(len(raw), start + width)):
            if top > 0 and raw[k] > floor:
                scaled[k] = raw[k] / top * 50.0
    def processed(k):
        if k < 0 or k >= len(scaled):
            return 0.0
        around = sum(scaled[max(0, k - 75):k + 76]) - scaled[k]
        return scaled[k] - around / 150.0
    return 0.005 * sum(processed(bin_of(m)) for m in ion_mz)


def test_xcorr_and_explained_peaks_by_hand(real_core):
    sequence = "PEPTIDEK"
    mono = mass_of(sequence)
    b, y = ladder(sequence, mono)
    # Four b and three y ions with strong peaks, one weak peak under the noise floor and
    # strong peaks that belong to no ion.
    ions = [b[1], b[2], b[4], b[5], y[0], y[3], y[6]]
    masses = np.array(ions + [333.3, 450.7, 612.2, b[3]], np.float32)
    intensity = np.array([900, 400, 2500, 100, 1600, 625, 3600, 2000, 1200, 700, 1], np.float32)
    order = np.argsort(masses)
    spec = spectrum(masses[order], intensity[order], [tm.PyPrecursor(precursor_mz(mono, 2), charge=2)])
    db = database(sequence)
    (row,) = zip(*score_columns(scorer(False, 1), db, [spec], threads=1).values())
    columns = dict(zip(match_column_names(), row))

    theoretical = [float(m) + PROTON for m in b + y]
    want = xcorr_by_hand([float(m) + PROTON for m in masses], [float(i) for i in intensity], theoretical)
    assert columns["xcorr"] == pytest.approx(want, rel=1e-12)
    assert columns["top_peaks_explained"] == pytest.approx(8 / 11)
    assert columns["matched_ion_fraction"] == pytest.approx(columns["matched_peaks"] / 14)
    assert columns["abs_delta_mass"] == abs(columns["delta_mass"])
    # The only candidate: nothing else to beat, one candidate expected at most.
    assert columns["delta_xcorr"] == columns["xcorr"]
    assert columns["log10_evalue"] <= 0.0

    # min_ion_index leaves the shortest ions out: b1, b2 and y1, y2 (ordinals 1 and 2).
    kept = [float(m) + PROTON for m in b[2:] + y[:-2]]
    (row,) = zip(*score_columns(scorer(False, 1), db, [spec], min_ion_index=2).values())
    columns = dict(zip(match_column_names(), row))
    want = xcorr_by_hand([float(m) + PROTON for m in masses], [float(i) for i in intensity], kept)
    assert columns["xcorr"] == pytest.approx(want, rel=1e-12)


def test_true_peptide_stands_out_from_its_anagrams(anagram_db):
    columns = score_columns(scorer(False, 12), anagram_db, anagram_spectra()[:1])
    best = int(np.argmax(columns["xcorr"]))
    assert columns["sequence"][best] == ANAGRAMS[0]
    assert columns["delta_xcorr"][best] > 0
    others = np.delete(np.arange(len(columns["xcorr"])), best)
    assert (columns["delta_xcorr"][others] < 0).all()
    assert columns["log10_evalue"][best] == columns["log10_evalue"].min()


# ---- bad arguments ----

def test_bad_arguments_give_clean_errors(anagram_db):
    s = scorer(False, 1)
    spectra = anagram_spectra()
    with pytest.raises(TypeError, match="argument 'scorer'"):
        score_columns(object(), anagram_db, spectra)
    with pytest.raises(TypeError, match="argument 'db'"):
        score_columns(s, "index", spectra)
    with pytest.raises(TypeError, match="argument 'spectra'"):
        score_columns(s, anagram_db, [spectra[0], 3.5])
    for bad in (-1, 2.5, True, "2"):
        with pytest.raises(ValueError, match="threads must be a positive integer"):
            score_columns(s, anagram_db, spectra, threads=bad)
    with pytest.raises(ValueError, match="chunk_size must be a positive integer"):
        score_columns(s, anagram_db, spectra, chunk_size=0)
    with pytest.raises(ValueError, match="min_ion_index must be a non-negative integer"):
        score_columns(s, anagram_db, spectra, min_ion_index=-1)
    with pytest.raises(ValueError, match="null_seed must be a non-negative integer"):
        score_columns(s, anagram_db, spectra, null_seed=-3)
    with pytest.raises(OverflowError):
        score_columns(s, anagram_db, spectra, null_seed=1 << 64)
    with pytest.raises(ValueError, match="file_id 1, but only 1 file names"):
        score_columns(s, anagram_db, spectra, file=["only.mzML"])
    with pytest.raises(OverflowError):
        _native.score_columns(s, anagram_db, spectra, -1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'thread'"):
        _native.score_columns(s, anagram_db, spectra, thread=1)
    with pytest.raises(IndexError, match="peptide index 99 outside a database of 12 peptides"):
        _native.peptide_labels(anagram_db, [0, 99])


def _same(got, want):
    """Equal lists, NaN equal to NaN."""
    return len(got) == len(want) and all(
        g == w or (isinstance(g, float) and isinstance(w, float) and math.isnan(g) and math.isnan(w))
        for g, w in zip(got, want))


def test_scan_numbers_given_per_spectrum_win_over_the_ids(anagram_db):
    spectra = anagram_spectra()
    s = scorer(False, 2)
    parsed = score_columns(s, anagram_db, spectra, threads=1)
    # By position in the spectra, across chunks: as a reader's MGF SCANS would give them.
    given = score_columns(s, anagram_db, spectra, threads=1, chunk_size=1, scans=[101, 102, 103])
    position = {spectrum.id: i for i, spectrum in enumerate(spectra)}
    assert given["scan"].tolist() == [101 + position[i] for i in given["spec_id"]]
    assert parsed["scan"].tolist() == [int(i.split("=")[1]) for i in parsed["spec_id"]]
    assert given["scan"].dtype == parsed["scan"].dtype == np.int64
    with pytest.raises(ValueError, match="scans holds 2 scan numbers, fewer than the 3 spectra"):
        score_columns(s, anagram_db, spectra, threads=1, scans=[1, 2])
