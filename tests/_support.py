"""Helpers shared by the Python-surface tests of `_tovel_mesk`."""

from __future__ import annotations

import contextlib

import numpy as np
import pytest

import _tovel_mesk as tm

PROTON = 1.0072764
WATER = 18.010565
RESIDUE = {
    "A": 71.03711, "C": 103.00919, "D": 115.02694, "E": 129.04259, "F": 147.0684,
    "G": 57.02146, "H": 137.05891, "I": 113.08406, "K": 128.09496, "L": 113.08406,
    "M": 131.0405, "N": 114.04293, "P": 97.05276, "Q": 128.05858, "R": 156.1011,
    "S": 87.03203, "T": 101.04768, "V": 99.06841, "W": 186.07932, "Y": 163.06332,
}


@contextlib.contextmanager
def raises_exactly(exc_type, message):
    """Like pytest.raises, but the type must be exactly `exc_type` (no subclass) and the
    message must equal `message` as a whole."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message


def f32(x: float) -> float:
    """The value a 32-bit float field reads back as."""
    return float(np.float32(x))


def da(lo=-0.02, hi=0.02):
    return tm.PyTolerance.Da(lo, hi)


def empty_db():
    return tm.PyIndexedDatabase.from_peptides_and_config([], 1, [], 0, False, "rev_", 0.0, 5000.0)


def spectrum(spec_id="scan=1", mz=None, intensity=None, precursors=None):
    mz = np.array([100.0, 200.0, 300.0], np.float32) if mz is None else mz
    intensity = np.array([1.0, 2.0, 3.0], np.float32) if intensity is None else intensity
    precursors = [tm.PyPrecursor(500.25, charge=2)] if precursors is None else precursors
    return tm.PyProcessedSpectrum(spec_id, 0, 1.0, mz, intensity, precursors, 6.0)


def peptide_mass(sequence: str) -> float:
    return sum(RESIDUE[r] for r in sequence) + WATER


def fragment_peaks(sequence: str):
    """Neutral b and y masses of an unmodified peptide, ascending (peaks are compared with
    neutral fragment masses, so these are the values of a perfect singly charged match)."""
    steps = [RESIDUE[r] for r in sequence]
    total = peptide_mass(sequence)
    b = np.cumsum(steps[:-1])
    y = total - b
    return np.sort(np.concatenate([b, y])).astype(np.float32)


MATCHED = "PEPTIDEK"


def one_peptide_db():
    pep = tm.PyPeptide(MATCHED, peptide_mass(MATCHED), None)
    return tm.PyIndexedDatabase.from_peptides_and_config(
        [pep], 8, [tm.PyKind.B(), tm.PyKind.Y()], 0, False, "rev_", 0.0, 5000.0)


def perfect_match(db, annotate=True):
    """Matches of a spectrum holding every singly charged b and y ion of MATCHED."""
    mz = fragment_peaks(MATCHED)
    intensity = np.full(mz.shape, 1000.0, np.float32)
    scan = tm.PyProcessedSpectrum(
        "scan=7", 3, 12.5, mz, intensity,
        [tm.PyPrecursor(peptide_mass(MATCHED) / 2 + PROTON, charge=2)], float(intensity.sum()))
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10, 10), tm.PyTolerance.Ppm(-10, 10), annotate_matches=annotate)
    return scorer.score_many_spectra(db, [scan])[0]


# The match record's Python faces: property order, export columns, annotation columns.
FEATURE_PROPERTIES = [
    "peptide", "sequence", "modifications", "hyperscore", "delta_mass", "rank", "matched_peaks",
    "peptide_idx", "psm_id", "peptide_len", "spec_id", "file_id", "label", "expmass", "calcmass",
    "charge", "rt", "aligned_rt", "predicted_rt", "delta_rt_model", "ims", "predicted_ims",
    "delta_ims_model", "isotope_error", "average_ppm", "delta_next", "delta_best", "longest_b",
    "longest_y", "longest_y_pct", "missed_cleavages", "matched_intensity_pct", "scored_candidates",
    "poisson", "discriminant_score", "posterior_error", "spectrum_q", "peptide_q", "protein_q",
    "ms2_intensity", "fragments",
]
DICT_KEYS = [
    "file_id", "spec_id", "psm_id", "rank", "sequence", "modifications", "label", "hyperscore", "delta_mass",
    "matched_peaks", "peptide_len", "expmass", "calcmass", "charge", "rt", "aligned_rt", "predicted_rt",
    "delta_rt_model", "ims", "predicted_ims", "delta_ims_model", "isotope_error", "average_ppm", "delta_next",
    "delta_best", "longest_b", "longest_y", "longest_y_pct", "missed_cleavages", "matched_intensity_pct",
    "scored_candidates", "poisson", "discriminant_score", "posterior_error", "spectrum_q", "peptide_q", "protein_q",
    "ms2_intensity", "fragments",
]
FRAGMENT_COLUMNS = ["charges", "kinds", "fragment_ordinals", "intensities", "mz_calculated",
                        "mz_experimental"]
