"""PyPeptide: construction, the mod array in both directions, sequences as UTF-8 bytes, and
the copies that databases and matches hold."""

from __future__ import annotations

import numpy as np
import pytest

import _tovel_mesk as tm
from _support import f32, raises_exactly


def build_db(peptides, kinds=(), decoys=False):
    return tm.PyIndexedDatabase.from_peptides_and_config(list(peptides), 8, list(kinds), 0, decoys, "rev_", 0.0, 1e5)


# ---- construction ----

@pytest.mark.parametrize("sequence, mods, nterm, cterm, expected", [
    ("PEPTIDE", None, None, None, [0.0] * 9),
    ("AK", None, 42.010565, None, [f32(42.010565), 0.0, 0.0, 0.0]),
    ("AK", None, None, -17.026548, [0.0, 0.0, 0.0, f32(-17.026548)]),
    ("AK", [15.994915, 0.0], 1.0, 2.0, [1.0, f32(15.994915), 0.0, 2.0]),
    ("AKR", [1.0], None, None, [0.0, 1.0, 0.0]),
    ("AK", [1.0, 2.0, 3.0, 4.0], None, None, [0.0, 1.0, 2.0, 3.0, 4.0, 0.0]),
    ("", None, None, None, [0.0, 0.0]),
    ("", None, 1.5, -2.5, [1.5, -2.5]),
    ("", [7.0], None, None, [0.0, 7.0, 0.0]),
    ("pepBJXZ", None, None, None, [0.0] * 9),
    ("A\x00K", None, None, None, [0.0] * 5),
])
def test_mod_array_of_a_new_peptide(sequence, mods, nterm, cterm, expected):
    pep = tm.PyPeptide(sequence, 1000.0, mods, nterm, cterm)
    assert pep.sequence == sequence
    assert pep.mod_array == expected
    assert pep.modifications == expected
    assert all(type(v) is float for v in pep.mod_array)


def test_nterm_reads_back_as_the_32_bit_value():
    assert tm.PyPeptide("AK", 1.0, None, nterm=42.010565).mod_array == [42.01056671142578, 0.0, 0.0, 0.0]


@pytest.mark.parametrize("sequence, n_bytes", [
    ("A", 1), ("é", 2), ("€", 3), ("\N{PARTY POPPER}", 4), ("AéK", 4), ("P€P\N{PARTY POPPER}", 9),
])
def test_one_modification_per_utf8_byte(sequence, n_bytes):
    pep = tm.PyPeptide(sequence, 1.0, None)
    assert pep.sequence == sequence
    assert pep.modifications == [0.0] * (n_bytes + 2)


def test_lists_are_new_on_every_read_and_not_shared():
    mods = [1.0, 2.0]
    pep = tm.PyPeptide("AK", 1.0, mods)
    mods[0] = 99.0
    first = pep.mod_array
    assert first is not pep.mod_array
    assert pep.modifications is not pep.modifications
    first[1] = 55.0
    assert pep.mod_array == [0.0, 1.0, 2.0, 0.0]
    assert pep.sequence is not None


# ---- writing the mod array ----

@pytest.mark.parametrize("value", [
    [1.0, 2.0, 3.0, 4.0], (1, 2, 3, 4), np.array([1, 2, 3, 4], np.float32), np.array([1, 2, 3, 4], np.float64),
])
def test_writing_the_mod_array(value):
    pep = tm.PyPeptide("AK", 100.0, None)
    pep.mod_array = value
    assert pep.mod_array == [1.0, 2.0, 3.0, 4.0]
    assert pep.modifications == [1.0, 2.0, 3.0, 4.0]
    assert pep.sequence == "AK"


def test_writing_zero_terminals_reads_back_the_same_list():
    pep = tm.PyPeptide("AK", 100.0, None, 5.0, 6.0)
    pep.mod_array = [0.0, 1.0, 2.0, 0.0]
    assert pep.mod_array == [0.0, 1.0, 2.0, 0.0]


def test_written_values_are_rounded_to_32_bits():
    pep = tm.PyPeptide("A", 100.0, None)
    pep.mod_array = [0.1, 1e39, -1e-46]
    assert pep.mod_array == [f32(0.1), float("inf"), -0.0]


@pytest.mark.parametrize("sequence, mods, given", [
    ("AK", None, 3), ("AK", None, 5), ("AK", None, 0), ("", None, 1), ("AKR", [1.0], 5), ("AKR", [1.0], 2),
])
def test_writing_a_mod_array_of_the_wrong_length(sequence, mods, given):
    pep = tm.PyPeptide(sequence, 1.0, mods, 7.0, 8.0)
    before = pep.mod_array
    expected = len(before)
    with raises_exactly(ValueError, f"mod_array length {given} must equal sequence length + 2 (= {expected})"):
        pep.mod_array = [9.0] * given
    assert pep.mod_array == before


def test_length_is_checked_against_the_stored_modifications_not_the_sequence():
    pep = tm.PyPeptide("AKR", 1.0, [1.0])
    pep.mod_array = [1.0, 2.0, 3.0]
    assert pep.mod_array == [1.0, 2.0, 3.0]
    with raises_exactly(ValueError, "mod_array length 5 must equal sequence length + 2 (= 3)"):
        pep.mod_array = [0.0] * 5


@pytest.mark.parametrize("value, exc_type, message", [
    ("ABCD", TypeError, "argument 'mods': Can't extract `str` to `Vec`"),
    (None, TypeError, "argument 'mods': 'NoneType' object cannot be converted to 'Sequence'"),
    (5, TypeError, "argument 'mods': 'int' object cannot be converted to 'Sequence'"),
    ({1.0, 2.0, 3.0, 4.0}, TypeError, "argument 'mods': 'set' object cannot be converted to 'Sequence'"),
    ([1.0, 2.0, "x", 4.0], TypeError, "argument 'mods': must be real number, not str"),
    ([1.0, 2.0, 3.0, None], TypeError, "argument 'mods': must be real number, not NoneType"),
    ([1.0, 10**400, 3.0, 4.0], OverflowError, "int too large to convert to float"),
])
def test_writing_a_mod_array_of_the_wrong_type(value, exc_type, message):
    pep = tm.PyPeptide("AK", 1.0, [1.0, 2.0])
    with raises_exactly(exc_type, message):
        pep.mod_array = value
    assert pep.mod_array == [0.0, 1.0, 2.0, 0.0]


def test_deleting_the_mod_array():
    pep = tm.PyPeptide("AK", 1.0, [1.0, 2.0])
    with raises_exactly(AttributeError, "can't delete attribute"):
        del pep.mod_array
    assert pep.mod_array == [0.0, 1.0, 2.0, 0.0]


@pytest.mark.parametrize("prop", ["sequence", "modifications"])
def test_other_properties_are_read_only(prop):
    pep = tm.PyPeptide("AK", 1.0, None)
    message = f"attribute '{prop}' of 'tovel_mesk.PyPeptide' objects is not writable"
    with raises_exactly(AttributeError, message):
        setattr(pep, prop, "GG" if prop == "sequence" else [0.0] * 4)
    with raises_exactly(AttributeError, message):
        delattr(pep, prop)
    assert pep.sequence == "AK"
    assert pep.modifications == [0.0] * 4


@pytest.mark.parametrize("name", ["monoisotopic", "nterm", "cterm", "proteins", "decoy"])
def test_no_other_attributes(name):
    assert not hasattr(tm.PyPeptide("AK", 1.0, None), name)


# ---- copies held by a database ----

def test_database_holds_copies_of_the_given_peptides():
    pep = tm.PyPeptide("PEPTIDE", 799.36, [1.0] * 7)
    db = build_db([pep])
    pep.mod_array = [5.0] * 9
    (stored,) = db.peptides
    assert stored.mod_array == [0.0] + [1.0] * 7 + [0.0]
    stored.mod_array = [7.0] * 9
    assert db.peptides[0].mod_array == [0.0] + [1.0] * 7 + [0.0]
    assert db.peptides[0] is not db.peptides[0]
    assert db.peptides is not db.peptides
    assert pep.mod_array == [5.0] * 9


def test_sequence_for():
    db = build_db([tm.PyPeptide("PEPTIDE", 799.36, None), tm.PyPeptide("AéK", 800.0, None)])
    assert db.sequence_for(0) == "PEPTIDE"
    assert db.sequence_for(1) == "AéK"
    assert db.sequence_for(2) is None
    assert db.sequence_for(2**32 - 1) is None
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        db.sequence_for(-1)
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        db.sequence_for(2**32)


@pytest.mark.parametrize("target", ["\N{PARTY POPPER}", "€€", "€€\N{PARTY POPPER}", "AéèK"])
def test_decoy_with_broken_utf8(real_core, target):
    raw = bytearray(target.encode("utf-8"))
    raw[1:-1] = raw[1:-1][::-1]
    raw = bytes(raw)
    with pytest.raises(UnicodeDecodeError) as info:
        raw.decode("utf-8")
    err = info.value
    assert err.reason != "unexpected end of data"
    message = f"invalid utf-8 sequence of {err.end - err.start} bytes from index {err.start}"

    db = build_db([tm.PyPeptide(target, 900.0, None)], decoys=True)
    target_copy, decoy = db.peptides
    assert target_copy.sequence == target
    with raises_exactly(UnicodeError, message):
        decoy.sequence
    assert decoy.mod_array == [0.0] * (len(raw) + 2)
    assert db.sequence_for(1) == raw.decode("utf-8", "replace")


def test_decoy_with_valid_multibyte_interior(real_core):
    target = "Aé¬"
    raw = bytearray(target.encode("utf-8"))
    raw[1:-1] = raw[1:-1][::-1]
    db = build_db([tm.PyPeptide(target, 900.0, None)], decoys=True)
    assert db.peptides[1].sequence == bytes(raw).decode("utf-8") == "A©ì"
    assert db.sequence_for(1) == "A©ì"


# ---- the peptide attached to a match ----

def test_match_peptide_is_a_new_copy_on_every_read(feature):
    first = feature.peptide
    assert type(first) is tm.PyPeptide
    assert first is not feature.peptide
    assert first.sequence == feature.sequence
    first.mod_array = [1.0] * len(first.mod_array)
    assert feature.modifications == [0.0] * len(first.mod_array)


def test_replacing_the_match_peptide(feature):
    idx = feature.peptide_idx
    replacement = tm.PyPeptide("AK", 200.0, [1.0, 2.0], 3.0)
    feature.peptide = replacement
    replacement.mod_array = [9.0] * 4
    assert feature.sequence == "AK"
    assert feature.modifications == [3.0, 1.0, 2.0, 0.0]
    assert feature.peptide.mod_array == [3.0, 1.0, 2.0, 0.0]
    assert feature.to_dict()["sequence"] == "AK"
    assert feature.to_dict()["modifications"] == [3.0, 1.0, 2.0, 0.0]
    assert feature.peptide_idx == idx
    assert "seq=AK, mods=[3.0, 1.0, 2.0, 0.0]" in repr(feature)


def test_removing_the_match_peptide(feature):
    idx = feature.peptide_idx
    feature.peptide = None
    assert feature.peptide is None
    assert feature.sequence is None
    assert feature.modifications is None
    assert feature.to_dict()["sequence"] is None
    assert feature.to_dict()["modifications"] is None
    assert feature.peptide_idx == idx
    assert "seq=<None>, mods=<None>" in repr(feature)


@pytest.mark.parametrize("value, type_name", [
    ("PEPTIDE", "str"), (1, "int"), (tm.PyKind.B(), "PyKind"), ([tm.PyPeptide("A", 1.0, None)], "list"),
])
def test_match_peptide_refuses_other_objects(feature, value, type_name):
    before = feature.sequence
    with raises_exactly(TypeError, f"argument 'peptide': '{type_name}' object cannot be converted to 'PyPeptide'"):
        feature.peptide = value
    assert feature.sequence == before


def test_match_peptide_cannot_be_deleted(feature):
    before = feature.sequence
    with raises_exactly(AttributeError, "can't delete attribute"):
        del feature.peptide
    assert feature.sequence == before


@pytest.mark.parametrize("value, text", [
    (0.0, "0.0"), (-0.0, "-0.0"), (100.0, "100.0"), (15.994915, "15.994915"), (-17.026548, "-17.026548"),
    (42.010565, "42.010567"), (1.00335, "1.00335"), (1e-4, "0.0001"), (1e-5, "1e-5"), (-2.5e-7, "-2.5e-7"),
    (2.5e16, "2.5e16"), (1e16, "1e16"), (9.999999e15, "9999999000000000.0"), (1e20, "1e20"),
    (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"),
])
def test_match_representation_shows_the_shortest_32_bit_modifications(feature, value, text):
    feature.peptide = tm.PyPeptide("AK", 1.0, [value, 0.0])
    assert f", seq=AK, mods=[0.0, {text}, 0.0, 0.0], hyperscore=" in repr(feature)


def test_mod_array_write_may_read_the_same_peptide_while_converting():
    peptide = tm.PyPeptide("AK", 217.0, None)

    class Reads:
        def __float__(self):
            return float(len(peptide.mod_array))

    peptide.mod_array = [Reads(), 1.0, 2.0, 3.0]
    assert peptide.mod_array == [4.0, 1.0, 2.0, 3.0]
