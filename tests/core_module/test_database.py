"""PyIndexedDatabase as seen from Python: its argument errors, a failing build, and the
empty index."""

from __future__ import annotations

import pytest

import _tovel_mesk as tm
from _support import raises_exactly

BUILD_FAILED = "Rust panic occurred during indexed database generation."


def build(peptides=(), bucket_size=1, kinds=(), min_ion_index=0, decoys=False, tag="rev_", lo=0.0, hi=5000.0):
    return tm.PyIndexedDatabase.from_peptides_and_config(list(peptides), bucket_size, list(kinds), min_ion_index,
                                                         decoys, tag, lo, hi)


def peptides(n):
    return [tm.PyPeptide("PEPTIDEK"[: 3 + i % 5], 300.0 + i, None) for i in range(n)]


@pytest.mark.parametrize("bucket_size", [1, 2, 8192, 2**40])
def test_empty_database(bucket_size):
    db = build(bucket_size=bucket_size, kinds=[tm.PyKind.B(), tm.PyKind.Y()], decoys=True)
    assert db.peptides == []
    assert db.fragment_count() == 0
    assert type(db.fragment_count()) is int
    assert db.debug_fragment_summary() == []
    assert db.sequence_for(0) is None


@pytest.mark.parametrize("n, kinds, decoys", [
    (0, [], False), (0, [tm.PyKind.B()], True), (1, [], False), (5, [tm.PyKind.B(), tm.PyKind.Y()], True),
])
def test_zero_bucket_size_fails_the_build(n, kinds, decoys):
    given = peptides(n)
    with raises_exactly(RuntimeError, BUILD_FAILED) as info:
        build(given, bucket_size=0, kinds=kinds, decoys=decoys)
    assert info.value.__cause__ is None
    assert [p.sequence for p in given] == ["PEPTIDEK"[: 3 + i % 5] for i in range(n)]


@pytest.mark.parametrize("kwargs, exc_type, message", [
    (dict(kinds=[1]), TypeError, "argument 'ion_kinds': 'int' object cannot be converted to 'PyKind'"),
    (dict(min_ion_index=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(decoys=1), TypeError, "argument 'generate_decoys': 'int' object cannot be converted to 'PyBool'"),
    (dict(tag=None), TypeError, "argument 'decoy_tag': 'NoneType' object cannot be converted to 'PyString'"),
    (dict(hi="x"), TypeError, "argument 'peptide_max_mass': must be real number, not str"),
])
def test_argument_errors_come_before_the_build(kwargs, exc_type, message):
    with raises_exactly(exc_type, message):
        build(peptides(2), bucket_size=0, **kwargs)


@pytest.mark.parametrize("value, message", [
    ("PEPTIDE", "argument 'peptides': Can't extract `str` to `Vec`"),
    ([tm.PyKind.B()], "argument 'peptides': 'PyKind' object cannot be converted to 'PyPeptide'"),
    (tm.PyPeptide("AK", 1.0, None), "argument 'peptides': 'PyPeptide' object cannot be converted to 'Sequence'"),
])
def test_peptides_argument(value, message):
    with raises_exactly(TypeError, message):
        tm.PyIndexedDatabase.from_peptides_and_config(value, 0, [], 0, False, "rev_", 0.0, 1.0)


def test_bucket_size_argument():
    with raises_exactly(OverflowError, "can't convert negative int to unsigned"):
        build(bucket_size=-1)
    with raises_exactly(OverflowError, "int too big to convert"):
        build(bucket_size=2**64)
    with raises_exactly(TypeError, "argument 'bucket_size': 'float' object cannot be interpreted as an integer"):
        build(bucket_size=1.0)


def test_given_peptides_are_untouched_by_the_build():
    given = peptides(3)
    db = build(given, kinds=[tm.PyKind.B(), tm.PyKind.Y()], decoys=True)
    assert all(type(p) is tm.PyPeptide for p in db.peptides)
    assert [p.sequence for p in given] == ["PEP", "PEPT", "PEPTI"]
    assert all(p.mod_array == [0.0] * (len(p.sequence) + 2) for p in given)


def test_kinds_list_may_hold_duplicates_and_be_a_tuple():
    b = tm.PyKind.B()
    tm.PyIndexedDatabase.from_peptides_and_config([], 1, (b, b, tm.PyKind.Y(), b), 0, False, "", 0.0, 0.0)
