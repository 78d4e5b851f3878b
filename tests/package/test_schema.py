"""The one schema of the search's tables (`tovel_mesk.columns`): the columns the search core
fills, the match table a search returns, an empty result and the tables of error control
all carry the names, order and dtypes it declares."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import _tovel_mesk as tm
from _search_support import database, ladder_spectrum
from tovel_mesk import _native, columns
from tovel_mesk.columns import MATCH_DTYPES, PROTEIN_DTYPES, TEXT, empty_match_columns, match_column_names
from tovel_mesk.fdr.confidence import assign_confidence
from tovel_mesk.search.scoring import score_columns

FEATURE_SETS = pytest.mark.parametrize("low_res", [True, False], ids=["low-res", "core-only"])
# Anagrams share a mass: each spectrum matches its peptide, the other anagrams and decoys.
SEQUENCES = ("PEPTIDEK", "EPPTIDEK", "PETPIDEK", "SAMPLERK", "MASPLERK", "LAMPSERK")


@pytest.fixture(scope="module")
def search(real_core):
    db = database(*SEQUENCES, decoys=True)
    spectra = [ladder_spectrum(seq, spec_id=f"scan={i}", file_id=i % 2) for i, seq in enumerate(SEQUENCES)]
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10.0, 10.0), tm.PyTolerance.Da(-0.5, 0.5), chimera=False,
                         report_psms=4, min_isotope_err=0, max_isotope_err=0, min_matched_peaks=1)
    return scorer, db, spectra


def dtypes(table) -> dict[str, np.dtype]:
    if isinstance(table, pd.DataFrame):
        return {name: table[name].dtype for name in table.columns}
    return {name: values.dtype for name, values in table.items()}


def declared(names, schema=MATCH_DTYPES) -> dict[str, np.dtype]:
    return {name: np.dtype(schema[name]) for name in names}


def test_every_named_column_has_one_dtype():
    groups = (columns.IDENTITY + columns.PEPTIDE + columns.FLANKS + columns.MASSES + columns.CORE_FEATURES
              + columns.LOW_RES_FEATURES + columns.KEYS + columns.ERROR_CONTROL)
    assert len(set(groups)) == len(groups)
    assert set(MATCH_DTYPES) == set(groups)
    assert tuple(PROTEIN_DTYPES) == columns.PROTEIN_TABLE
    assert set(columns.PLACEHOLDERS) <= set(columns.CORE_FEATURES)
    assert columns.written(match_column_names()) == [
        name for name in match_column_names() if name not in columns.KEYS + columns.PLACEHOLDERS]


@FEATURE_SETS
@pytest.mark.parametrize("matched", [True, False], ids=["matches", "no-spectra"])
def test_native_columns_carry_the_declared_dtypes(search, low_res, matched):
    scorer, db, spectra = search
    triples = _native.score_columns(scorer, db, spectra if matched else [], 1, low_res)
    native = {name: np.dtype(dtype) for name, dtype, _ in triples}
    assert len(native) == len(triples)
    assert np.dtype(native.pop("spectrum_index")).kind == "u"
    # Every numeric column of the schema but the derived ones comes from the core, with the
    # type declared for it; the text columns are made from the spectra and the index afterwards.
    numeric = [name for name in match_column_names(low_res)
               if MATCH_DTYPES[name] != TEXT and name not in columns.DERIVED]
    assert native == declared(numeric)
    if matched:
        assert all(len(buffer) for _, _, buffer in triples)


@FEATURE_SETS
def test_a_search_and_an_empty_result_have_the_declared_columns(search, low_res):
    scorer, db, spectra = search
    found = score_columns(scorer, db, spectra, threads=1, low_res=low_res)
    nothing = score_columns(scorer, db, [], threads=1, low_res=low_res)
    empty = empty_match_columns(low_res)
    assert len(found["psm_id"]) > len(spectra) and (found["label"] < 0).any()
    for table in (found, nothing, empty):
        assert list(table) == list(match_column_names(low_res))
        assert dtypes(table) == declared(table)
    assert all(len(values) == 0 for values in empty.values())


@pytest.mark.parametrize("rows", ["matches", "empty"])
def test_error_control_tables_have_the_declared_dtypes(search, rows):
    scorer, db, spectra = search
    found = score_columns(scorer, db, spectra, threads=1) if rows == "matches" else empty_match_columns()
    confidence = assign_confidence(pd.DataFrame(found), method="hyperscore")
    for table in (confidence.psms, confidence.peptides):
        assert list(table.columns) == list(match_column_names()) + list(columns.ERROR_CONTROL)
        assert dtypes(table) == declared(table.columns)
    assert list(confidence.proteins.columns) == list(columns.PROTEIN_TABLE)
    assert dtypes(confidence.proteins) == declared(columns.PROTEIN_TABLE, PROTEIN_DTYPES)
    if rows == "matches":
        assert len(confidence.peptides) and len(confidence.proteins)
