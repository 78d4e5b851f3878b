"""Fixtures shared by the Python-surface tests of `_tovel_mesk`."""

from __future__ import annotations

import numpy as np
import pytest

import _tovel_mesk as tm
from _support import PROTON, fragment_peaks, peptide_mass

MATCHED = "PEPTIDEK"


def _one_peptide_db():
    pep = tm.PyPeptide(MATCHED, peptide_mass(MATCHED), None)
    return tm.PyIndexedDatabase.from_peptides_and_config(
        [pep], 8, [tm.PyKind.B(), tm.PyKind.Y()], 0, False, "rev_", 0.0, 5000.0)


def _perfect_match(db):
    mz = fragment_peaks(MATCHED)
    intensity = np.full(mz.shape, 1000.0, np.float32)
    spec = tm.PyProcessedSpectrum(
        "scan=7", 3, 12.5, mz, intensity,
        [tm.PyPrecursor(peptide_mass(MATCHED) / 2 + PROTON, charge=2)], float(intensity.sum()))
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10, 10), tm.PyTolerance.Ppm(-10, 10), annotate_matches=True)
    return scorer.score_many_spectra(db, [spec])[0]


@pytest.fixture(scope="session")
def real_core():
    """Skips unless the module was built with the real search core: a one-peptide index
    with b and y ions must hold fragments."""
    if _one_peptide_db().fragment_count() == 0:
        pytest.skip("module built without the search core")


@pytest.fixture
def feature(real_core):
    """A fresh PyFeature (annotated) of a perfect match of PEPTIDEK against a one-peptide index."""
    features = _perfect_match(_one_peptide_db())
    assert features, "a perfect match of the only peptide was not reported"
    return features[0]
