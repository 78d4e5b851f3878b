"""How arguments are bound to parameters and converted to core values, and the exact
errors a bad argument produces."""

from __future__ import annotations

import math

import numpy as np
import pytest

import _tovel_mesk as tm
from _support import da, empty_db, f32, raises_exactly, spectrum

F32 = np.array([1.0, 2.0], np.float32)

# (name shown in messages, callable, parameter names, number of required parameters)
BINDERS = [
    ("PyTolerance.Da()", lambda *a, **k: tm.PyTolerance.Da(*a, **k), ["minus", "plus"], 2),
    ("PyTolerance.Ppm()", lambda *a, **k: tm.PyTolerance.Ppm(*a, **k), ["minus", "plus"], 2),
    ("PyPeptide.__new__()", lambda *a, **k: tm.PyPeptide(*a, **k),
     ["sequence", "monoisotopic", "modifications", "nterm", "cterm"], 3),
    ("PyPrecursor.__new__()", lambda *a, **k: tm.PyPrecursor(*a, **k),
     ["mz", "charge", "intensity", "isolation_window", "inverse_ion_mobility"], 1),
    ("PyProcessedSpectrum.__new__()", lambda *a, **k: tm.PyProcessedSpectrum(*a, **k),
     ["id", "file_id", "scan_start_time", "mz_array", "intensity_array", "precursors", "total_ion_current"], 7),
    ("PyScorer.__new__()", lambda *a, **k: tm.PyScorer(*a, **k),
     ["precursor_tol", "fragment_tol", "wide_window", "chimera", "report_psms", "min_isotope_err",
      "max_isotope_err", "min_precursor_charge", "max_precursor_charge", "min_matched_peaks",
      "annotate_matches", "max_fragment_charge"], 2),
    ("PyIndexedDatabase.from_peptides_and_config()",
     lambda *a, **k: tm.PyIndexedDatabase.from_peptides_and_config(*a, **k),
     ["peptides", "bucket_size", "ion_kinds", "min_ion_index", "generate_decoys", "decoy_tag",
      "peptide_min_mass", "peptide_max_mass"], 8),
    ("PyIndexedDatabase.sequence_for()", lambda *a, **k: empty_db().sequence_for(*a, **k), ["pep_index"], 1),
    ("PyScorer.score_spectra()", lambda *a, **k: tm.PyScorer(da(), da()).score_spectra(*a, **k),
     ["db", "spectrum"], 2),
    ("PyScorer.score_many_spectra()", lambda *a, **k: tm.PyScorer(da(), da()).score_many_spectra(*a, **k),
     ["db", "spectra"], 2),
]
BINDER_IDS = [b[0] for b in BINDERS]


def quoted_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def missing_message(f, names):
    plural = "argument" if len(names) == 1 else "arguments"
    return f"{f} missing {len(names)} required positional {plural}: {quoted_list(names)}"


# ---- binding ----

@pytest.mark.parametrize("f, call, params, required", BINDERS, ids=BINDER_IDS)
def test_too_many_positional_arguments(f, call, params, required):
    n = len(params)
    if required == n:
        message = f"{f} takes {n} positional arguments but {n + 1} were given"
    else:
        message = f"{f} takes from {required} to {n} positional arguments but {n + 1} were given"
    with raises_exactly(TypeError, message):
        call(*([object()] * (n + 1)), bogus=1)


@pytest.mark.parametrize("f, call, params, required", BINDERS, ids=BINDER_IDS)
def test_missing_required_arguments(f, call, params, required):
    with raises_exactly(TypeError, missing_message(f, params[:required])):
        call()


@pytest.mark.parametrize("f, call, params, required", BINDERS, ids=BINDER_IDS)
def test_unexpected_keyword_argument(f, call, params, required):
    with raises_exactly(TypeError, f"{f} got an unexpected keyword argument 'bogus'"):
        call(bogus=1)


@pytest.mark.parametrize("f, call, params, required", BINDERS, ids=BINDER_IDS)
def test_multiple_values_for_argument(f, call, params, required):
    with raises_exactly(TypeError, f"{f} got multiple values for argument '{params[0]}'"):
        call(object(), **{params[0]: object()})


@pytest.mark.parametrize("call, message", [
    (lambda: tm.PyPrecursor(),
     "PyPrecursor.__new__() missing 1 required positional argument: 'mz'"),
    (lambda: tm.PyPeptide("PEPTIDE"),
     "PyPeptide.__new__() missing 2 required positional arguments: 'monoisotopic' and 'modifications'"),
    (lambda: tm.PyPeptide(monoisotopic=1.0),
     "PyPeptide.__new__() missing 2 required positional arguments: 'sequence' and 'modifications'"),
    (lambda: tm.PyPeptide(modifications=None),
     "PyPeptide.__new__() missing 2 required positional arguments: 'sequence' and 'monoisotopic'"),
    (lambda: tm.PyPeptide(nterm=1.0),
     "PyPeptide.__new__() missing 3 required positional arguments: 'sequence', 'monoisotopic', and "
     "'modifications'"),
    (lambda: tm.PyProcessedSpectrum("x", mz_array=F32, total_ion_current=1.0),
     "PyProcessedSpectrum.__new__() missing 4 required positional arguments: 'file_id', "
     "'scan_start_time', 'intensity_array', and 'precursors'"),
    (lambda: tm.PyTolerance.Da(plus=1.0),
     "PyTolerance.Da() missing 1 required positional argument: 'minus'"),
    (lambda: tm.PyTolerance.Ppm(1.0, 2.0, 3.0),
     "PyTolerance.Ppm() takes 2 positional arguments but 3 were given"),
    (lambda: empty_db().sequence_for(1, 2),
     "PyIndexedDatabase.sequence_for() takes 1 positional arguments but 2 were given"),
    (lambda: tm.PyPrecursor(1.0, 2, 3.0, None, 4.0, 5),
     "PyPrecursor.__new__() takes from 1 to 5 positional arguments but 6 were given"),
    (lambda: tm.PyScorer(fragment_tol=da()),
     "PyScorer.__new__() missing 1 required positional argument: 'precursor_tol'"),
])
def test_binding_messages(call, message):
    with raises_exactly(TypeError, message):
        call()


@pytest.mark.parametrize("call, message", [
    # keywords are examined in the order given: the first bad one is reported
    (lambda: tm.PyPrecursor(1.0, zz=1, mz=2.0), "PyPrecursor.__new__() got an unexpected keyword argument 'zz'"),
    (lambda: tm.PyPrecursor(1.0, mz=2.0, zz=1), "PyPrecursor.__new__() got multiple values for argument 'mz'"),
    (lambda: tm.PyTolerance.Da(1.0, zz=1, minus=2.0), "PyTolerance.Da() got an unexpected keyword argument 'zz'"),
    (lambda: tm.PyTolerance.Da(1.0, minus=2.0, zz=1), "PyTolerance.Da() got multiple values for argument 'minus'"),
    (lambda: tm.PyPrecursor(1.0, **{"\u00e9t\u00e9": 1}),
     "PyPrecursor.__new__() got an unexpected keyword argument '\u00e9t\u00e9'"),
    (lambda: tm.PyTolerance.Ppm(**{"minus": 1.0, "PLUS": 2.0}), "PyTolerance.Ppm() got an unexpected keyword argument 'PLUS'"),
    # a bad keyword is reported before missing arguments, and binding before conversion
    (lambda: tm.PyPrecursor(zz=1), "PyPrecursor.__new__() got an unexpected keyword argument 'zz'"),
    (lambda: tm.PyPrecursor("not a number", zz=1), "PyPrecursor.__new__() got an unexpected keyword argument 'zz'"),
    (lambda: tm.PyTolerance.Da("x"), "PyTolerance.Da() missing 1 required positional argument: 'plus'"),
    # arguments are converted in parameter order, whatever order they were given in
    (lambda: tm.PyPrecursor(intensity="a", charge="b", mz=1.0),
     "argument 'charge': 'str' object cannot be interpreted as an integer"),
    (lambda: tm.PyScorer(fragment_tol=1, precursor_tol=2),
     "argument 'precursor_tol': 'int' object cannot be converted to 'PyTolerance'"),
    (lambda: tm.PyTolerance.Da(plus="p", minus="m"), "argument 'minus': must be real number, not str"),
])
def test_binding_and_conversion_order(call, message):
    with raises_exactly(TypeError, message):
        call()


@pytest.mark.parametrize("call", [
    lambda: tm.PyTolerance.Ppm(minus=-5, plus=5),
    lambda: tm.PyTolerance.Da(plus=0.02, minus=-0.02),
    lambda: tm.PyPeptide(cterm=1.0, nterm=2.0, modifications=None, monoisotopic=1.0, sequence="AK"),
    lambda: tm.PyPrecursor(inverse_ion_mobility=1.0, isolation_window=da(), intensity=1.0, charge=2, mz=1.0),
    lambda: tm.PyScorer(fragment_tol=da(), precursor_tol=da(), max_fragment_charge=None),
    lambda: tm.PyIndexedDatabase.from_peptides_and_config(
        peptide_max_mass=1.0, peptide_min_mass=0.0, decoy_tag="d", generate_decoys=False, min_ion_index=0,
        ion_kinds=[], bucket_size=1, peptides=[]),
    lambda: empty_db().sequence_for(pep_index=0),
    lambda: tm.PyScorer(da(), da()).score_many_spectra(spectra=[], db=empty_db()),
])
def test_every_parameter_can_be_given_by_keyword(call):
    call()


# ---- integers ----

def u8(v):
    return tm.PyPrecursor(1.0, charge=v).charge


INT_SITES = [
    # (parameter, call with the value, lowest, highest, accepts None)
    ("charge", u8, 0, 255, True),
    ("min_precursor_charge", lambda v: tm.PyScorer(da(), da(), min_precursor_charge=v), 0, 255, False),
    ("max_precursor_charge", lambda v: tm.PyScorer(da(), da(), max_precursor_charge=v), 0, 255, False),
    ("max_fragment_charge", lambda v: tm.PyScorer(da(), da(), max_fragment_charge=v), 0, 255, True),
    ("min_isotope_err", lambda v: tm.PyScorer(da(), da(), min_isotope_err=v), -128, 127, False),
    ("max_isotope_err", lambda v: tm.PyScorer(da(), da(), max_isotope_err=v), -128, 127, False),
    ("min_matched_peaks", lambda v: tm.PyScorer(da(), da(), min_matched_peaks=v), 0, 65535, False),
    ("pep_index", lambda v: empty_db().sequence_for(v), 0, 2**32 - 1, False),
]
INT_IDS = [s[0] for s in INT_SITES]

OUT_OF_RANGE = "out of range integral type conversion attempted"
BEYOND_LONG = "Python int too large to convert to C long"


@pytest.mark.parametrize("name, call, lo, hi, optional", INT_SITES, ids=INT_IDS)
def test_narrow_integer_range(name, call, lo, hi, optional):
    call(lo)
    call(hi)
    for value in (lo - 1, hi + 1, 2**63 - 1, -2**63):
        with raises_exactly(OverflowError, OUT_OF_RANGE):
            call(value)
    for value in (2**63, -2**63 - 1, 10**30, -10**30):
        with raises_exactly(OverflowError, BEYOND_LONG):
            call(value)


@pytest.mark.parametrize("name, call, lo, hi, optional", INT_SITES, ids=INT_IDS)
@pytest.mark.parametrize("value, type_name", [(3.0, "float"), ("3", "str"), (None, "NoneType"), ([3], "list"),
                                              (np.float64(3.0), "numpy.float64")])
def test_narrow_integer_refuses_non_integers(name, call, lo, hi, optional, value, type_name):
    if value is None and optional:
        call(None)
        return
    with raises_exactly(TypeError, f"argument '{name}': '{type_name}' object cannot be interpreted as an integer"):
        call(value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value, expected", [
    (7, 7), (True, 1), (False, 0), (Index(200), 200), (np.int64(255), 255), (np.uint8(9), 9), (None, None),
])
def test_charge_accepts_integers_and_index_objects(value, expected):
    assert u8(value) == expected


def test_index_returning_out_of_range_value():
    with raises_exactly(OverflowError, OUT_OF_RANGE):
        u8(Index(256))
    with raises_exactly(OverflowError, BEYOND_LONG):
        u8(Index(2**64))


U64_SITES = [
    ("report_psms", lambda v: tm.PyScorer(da(), da(), report_psms=v)),
    ("bucket_size", lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], v, [], 0, False, "d", 0.0, 1.0)),
    ("min_ion_index", lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], 1, [], v, False, "d", 0.0, 1.0)),
    ("file_id", lambda v: tm.PyProcessedSpectrum("s", v, 0.0, F32, F32, [], 0.0)),
]
U64_IDS = [s[0] for s in U64_SITES]


@pytest.mark.parametrize("name, call", U64_SITES, ids=U64_IDS)
def test_machine_size_integer(name, call):
    call(1)
    call(Index(3))
    with raises_exactly(OverflowError, "can't convert negative int to unsigned"):
        call(-1)
    with raises_exactly(OverflowError, "can't convert negative int to unsigned"):
        call(-2**70)
    with raises_exactly(OverflowError, "int too big to convert"):
        call(2**64)
    with raises_exactly(OverflowError, "int too big to convert"):
        call(Index(2**64))
    for value, type_name in [(1.0, "float"), ("1", "str"), (None, "NoneType")]:
        with raises_exactly(TypeError, f"argument '{name}': '{type_name}' object cannot be interpreted as an integer"):
            call(value)


@pytest.mark.parametrize("name, call", [s for s in U64_SITES if s[0] != "report_psms"],
                         ids=[i for i in U64_IDS if i != "report_psms"])
def test_machine_size_integer_full_range(name, call):
    call(0 if name != "bucket_size" else 1)
    call(2**64 - 1)


# ---- floats ----

FLOAT_SITES = [
    # (parameter, call with the value, read back or None)
    ("minus", lambda v: tm.PyTolerance.Da(v, 0.0), None),
    ("plus", lambda v: tm.PyTolerance.Ppm(0.0, v), None),
    ("monoisotopic", lambda v: tm.PyPeptide("AK", v, None), None),
    ("nterm", lambda v: tm.PyPeptide("AK", 1.0, None, nterm=v).mod_array[0], True),
    ("cterm", lambda v: tm.PyPeptide("AK", 1.0, None, cterm=v).mod_array[-1], True),
    ("mz", lambda v: tm.PyPrecursor(v).mz, True),
    ("intensity", lambda v: tm.PyPrecursor(1.0, intensity=v).intensity, True),
    ("inverse_ion_mobility", lambda v: tm.PyPrecursor(1.0, inverse_ion_mobility=v), None),
    ("scan_start_time", lambda v: tm.PyProcessedSpectrum("s", 0, v, F32, F32, [], 0.0), None),
    ("total_ion_current", lambda v: tm.PyProcessedSpectrum("s", 0, 0.0, F32, F32, [], v), None),
    ("peptide_min_mass", lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], 1, [], 0, False, "d", v, 1.0),
     None),
    ("peptide_max_mass", lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], 1, [], 0, False, "d", 0.0, v),
     None),
    ("modifications", lambda v: tm.PyPeptide("A", 1.0, [v]).mod_array[1], True),
]
FLOAT_IDS = [s[0] for s in FLOAT_SITES]
OPTIONAL_FLOATS = {"nterm", "cterm", "intensity", "inverse_ion_mobility"}


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("name, call, readable", FLOAT_SITES, ids=FLOAT_IDS)
@pytest.mark.parametrize("value, expected", [
    (1.5, 1.5), (3, 3.0), (True, 1.0), (-2**40, float(-2**40)), (Floaty(), 2.5), (Index(7), 7.0),
    (np.float32(0.25), 0.25), (np.float64(0.1), f32(0.1)), (np.int32(-4), -4.0),
    (0.1, f32(0.1)), (1e39, math.inf), (-1e39, -math.inf), (math.inf, math.inf), (3.4028235e38, f32(3.4028235e38)),
    (1e-46, 0.0),
])
def test_float_accepts_numbers_and_rounds_to_32_bits(name, call, readable, value, expected):
    result = call(value)
    if readable:
        assert result == expected
        assert type(result) is float


@pytest.mark.parametrize("name, call, readable", FLOAT_SITES, ids=FLOAT_IDS)
def test_float_nan_is_stored(name, call, readable):
    result = call(math.nan)
    if readable:
        assert math.isnan(result)


@pytest.mark.parametrize("name, call, readable", FLOAT_SITES, ids=FLOAT_IDS)
@pytest.mark.parametrize("value, type_name", [("1.0", "str"), ([1.0], "list"), (b"1", "bytes"), (None, "NoneType"),
                                              (1j, "complex")])
def test_float_refuses_non_numbers(name, call, readable, value, type_name):
    if value is None and name in OPTIONAL_FLOATS:
        call(None)
        return
    message = f"argument '{name}': must be real number, not {type_name}"
    with raises_exactly(TypeError, message):
        call(value)


@pytest.mark.parametrize("name, call, readable", FLOAT_SITES, ids=FLOAT_IDS)
def test_float_too_large_int_is_the_interpreters_overflow(name, call, readable):
    with raises_exactly(OverflowError, "int too large to convert to float"):
        call(10**400)


# ---- exceptions raised by the argument's own conversion methods ----

class ConversionFails:
    """Raises the given exception from both numeric conversion methods."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


RAISING_SITES = [
    ("minus", lambda v: tm.PyTolerance.Da(v, 1.0)),
    ("mz", lambda v: tm.PyPrecursor(v)),
    ("charge", lambda v: tm.PyPrecursor(1.0, charge=v)),
    ("min_isotope_err", lambda v: tm.PyScorer(da(), da(), min_isotope_err=v)),
    ("report_psms", lambda v: tm.PyScorer(da(), da(), report_psms=v)),
    ("file_id", lambda v: tm.PyProcessedSpectrum("s", v, 0.0, F32, F32, [], 0.0)),
    ("pep_index", lambda v: empty_db().sequence_for(v)),
    ("modifications", lambda v: tm.PyPeptide("AK", 1.0, [0.0, v])),
]
RAISING_IDS = [s[0] for s in RAISING_SITES]


@pytest.mark.parametrize("name, call", RAISING_SITES, ids=RAISING_IDS)
def test_type_error_from_conversion_is_prefixed_with_the_argument(name, call):
    with raises_exactly(TypeError, f"argument '{name}': boom") as info:
        call(ConversionFails(TypeError("boom")))
    assert info.value.__cause__ is None


@pytest.mark.parametrize("name, call", RAISING_SITES, ids=RAISING_IDS)
def test_prefixed_type_error_keeps_the_cause(name, call):
    root = KeyError("root cause")

    class Chained:
        def __float__(self):
            raise TypeError("inner") from root

        __index__ = __float__

    with raises_exactly(TypeError, f"argument '{name}': inner") as info:
        call(Chained())
    assert info.value.__cause__ is root


@pytest.mark.parametrize("name, call", RAISING_SITES, ids=RAISING_IDS)
@pytest.mark.parametrize("exc", [
    MyTypeError("subclass of TypeError"), ValueError("value"), ZeroDivisionError("zero"), KeyError("key"),
    KeyboardInterrupt(), ArithmeticError("arith"),
], ids=lambda e: type(e).__name__)
def test_other_exceptions_from_conversion_pass_unchanged(name, call, exc):
    with pytest.raises(BaseException) as info:
        call(ConversionFails(exc))
    assert info.value is exc
    assert info.value.args == exc.args


@pytest.mark.parametrize("name, call", [s for s in RAISING_SITES if s[0] in ("minus", "mz", "modifications")],
                         ids=["minus", "mz", "modifications"])
def test_float_method_returning_a_non_float(name, call):
    class Bad:
        def __float__(self):
            return 1

    with raises_exactly(TypeError, f"argument '{name}': Bad.__float__ returned non-float (type int)"):
        call(Bad())


@pytest.mark.parametrize("name, call", [s for s in RAISING_SITES if s[0] in ("charge", "report_psms", "pep_index")],
                         ids=["charge", "report_psms", "pep_index"])
def test_index_method_returning_a_non_int(name, call):
    with raises_exactly(TypeError, f"argument '{name}': __index__ returned non-int (type float)"):
        call(Index(1.5))


# ---- bools ----

BOOL_SITES = [
    ("wide_window", lambda v: tm.PyScorer(da(), da(), wide_window=v)),
    ("chimera", lambda v: tm.PyScorer(da(), da(), chimera=v)),
    ("annotate_matches", lambda v: tm.PyScorer(da(), da(), annotate_matches=v)),
    ("generate_decoys", lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], 1, [], 0, v, "d", 0.0, 1.0)),
]
BOOL_IDS = [s[0] for s in BOOL_SITES]


def numpy_lookalike(type_name, module, truth=True):
    return type(type_name, (), {"__module__": module, "__bool__": lambda self: truth})()


@pytest.mark.parametrize("name, call", BOOL_SITES, ids=BOOL_IDS)
@pytest.mark.parametrize("value", [
    True, False, np.True_, np.False_, np.bool_(1),
    numpy_lookalike("bool_", "numpy"), numpy_lookalike("bool", "numpy", False),
], ids=["True", "False", "np.True_", "np.False_", "np.bool_(1)", "numpy.bool_-named", "numpy.bool-named"])
def test_bool_accepts_python_and_numpy_bools(name, call, value):
    call(value)


@pytest.mark.parametrize("name, call", BOOL_SITES, ids=BOOL_IDS)
@pytest.mark.parametrize("value, type_name", [
    (1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"), (1.0, "float"), (np.int64(1), "int64"),
    (np.array([True]), "ndarray"), (numpy_lookalike("bool_", "other"), "bool_"),
    (numpy_lookalike("Bool", "numpy"), "Bool"),
])
def test_bool_refuses_everything_else(name, call, value, type_name):
    with raises_exactly(TypeError, f"argument '{name}': '{type_name}' object cannot be converted to 'PyBool'"):
        call(value)


@pytest.mark.parametrize("exc, prefixed", [(TypeError("no truth"), True), (ValueError("ambiguous"), False)])
def test_numpy_bool_lookalike_whose_truth_fails(exc, prefixed):
    def fail(self):
        raise exc

    value = type("bool_", (), {"__module__": "numpy", "__bool__": fail})()
    with pytest.raises(BaseException) as info:
        tm.PyScorer(da(), da(), chimera=value)
    if prefixed:
        assert type(info.value) is TypeError
        assert str(info.value) == "argument 'chimera': no truth"
    else:
        assert info.value is exc


@pytest.mark.parametrize("value, decoys", [
    (np.True_, True), (np.False_, False), (numpy_lookalike("bool_", "numpy", True), True),
    (numpy_lookalike("bool_", "numpy", False), False),
])
def test_numpy_bool_value_is_taken_from_its_truth(real_core, value, decoys):
    pep = tm.PyPeptide("PEPTIDEK", 927.45, None)
    db = tm.PyIndexedDatabase.from_peptides_and_config([pep], 8, [], 0, value, "rev_", 0.0, 5000.0)
    assert len(db.peptides) == (2 if decoys else 1)


# ---- strings ----

STR_SITES = [
    ("sequence", lambda v: tm.PyPeptide(v, 1.0, None).sequence),
    ("id", lambda v: spectrum(v).id),
    ("decoy_tag", lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], 1, [], 0, False, v, 0.0, 1.0)),
]
STR_IDS = [s[0] for s in STR_SITES]


class MyStr(str):
    pass


@pytest.mark.parametrize("name, call", STR_SITES, ids=STR_IDS)
@pytest.mark.parametrize("value", ["PEPTIDE", "", "Ä中\N{PARTY POPPER}", MyStr("AK")])
def test_str_accepts_str_and_subclasses(name, call, value):
    result = call(value)
    if name != "decoy_tag":
        assert result == value
        assert type(result) is str


@pytest.mark.parametrize("name, call", STR_SITES, ids=STR_IDS)
@pytest.mark.parametrize("value, type_name", [(b"AK", "bytes"), (1, "int"), (None, "NoneType"), (["A"], "list"),
                                              (bytearray(b"A"), "bytearray")])
def test_str_refuses_other_types(name, call, value, type_name):
    with raises_exactly(TypeError, f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'"):
        call(value)


@pytest.mark.parametrize("name, call", STR_SITES, ids=STR_IDS)
def test_str_that_cannot_be_encoded_raises_the_encoders_error(name, call):
    with pytest.raises(UnicodeEncodeError) as expected:
        "A\ud800".encode("utf-8")
    with raises_exactly(UnicodeEncodeError, str(expected.value)):
        call("A\ud800")


# ---- lists ----

class SeqWithLen:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class SeqWithoutLen(SeqWithLen):
    __len__ = None


class SeqWithBadLen(SeqWithLen):
    def __len__(self):
        raise RuntimeError("no length")


def gen(items):
    return (x for x in items)


@pytest.mark.parametrize("make", [
    list, tuple, SeqWithLen, SeqWithoutLen, SeqWithBadLen,
    lambda v: np.array(v, np.float32), lambda v: np.array(v, np.float64),
    lambda v: memoryview(np.array(v, np.float64)),
], ids=["list", "tuple", "sequence", "sequence-without-len", "sequence-with-failing-len", "ndarray-f32",
        "ndarray-f64", "memoryview"])
def test_float_list_accepts_sequences(make):
    pep = tm.PyPeptide("AKR", 1.0, make([1.5, -2.25, 3.0]))
    assert pep.mod_array == [0.0, 1.5, -2.25, 3.0, 0.0]


@pytest.mark.parametrize("value, expected", [(range(3), [0.0, 1.0, 2.0]), (b"ab", [97.0, 98.0]),
                                             ([], []), ((), [])])
def test_float_list_accepts_other_sequences(value, expected):
    assert tm.PyPeptide("", 1.0, value).mod_array == [0.0] + expected + [0.0]


LIST_SITES = [
    ("modifications", lambda v: tm.PyPeptide("", 1.0, v)),
    ("peptides", lambda v: tm.PyIndexedDatabase.from_peptides_and_config(v, 1, [], 0, False, "d", 0.0, 1.0)),
    ("ion_kinds", lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], 1, v, 0, False, "d", 0.0, 1.0)),
    ("precursors", lambda v: tm.PyProcessedSpectrum("s", 0, 0.0, F32, F32, v, 0.0)),
    ("spectra", lambda v: tm.PyScorer(da(), da()).score_many_spectra(empty_db(), v)),
]
LIST_IDS = [s[0] for s in LIST_SITES]


@pytest.mark.parametrize("name, call", LIST_SITES, ids=LIST_IDS)
@pytest.mark.parametrize("value, message", [
    ("", "Can't extract `str` to `Vec`"),
    ("AK", "Can't extract `str` to `Vec`"),
    (MyStr("AK"), "Can't extract `str` to `Vec`"),
    (set(), "'set' object cannot be converted to 'Sequence'"),
    (frozenset(), "'frozenset' object cannot be converted to 'Sequence'"),
    ({}, "'dict' object cannot be converted to 'Sequence'"),
    ({}.keys(), "'dict_keys' object cannot be converted to 'Sequence'"),
    (gen([]), "'generator' object cannot be converted to 'Sequence'"),
    (iter([]), "'list_iterator' object cannot be converted to 'Sequence'"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    (np.float64(1.0), "'float64' object cannot be converted to 'Sequence'"),
])
def test_list_refuses_str_and_non_sequences(name, call, value, message):
    with raises_exactly(TypeError, f"argument '{name}': {message}"):
        call(value)


@pytest.mark.parametrize("name, call", LIST_SITES, ids=LIST_IDS)
def test_list_accepts_empty_list_and_tuple(name, call):
    call([])
    call(())


def test_none_for_a_list_that_is_not_optional():
    with raises_exactly(TypeError, "argument 'peptides': 'NoneType' object cannot be converted to 'Sequence'"):
        tm.PyIndexedDatabase.from_peptides_and_config(None, 1, [], 0, False, "d", 0.0, 1.0)
    with raises_exactly(TypeError, "argument 'precursors': 'NoneType' object cannot be converted to 'Sequence'"):
        tm.PyProcessedSpectrum("s", 0, 0.0, F32, F32, None, 0.0)


def test_float_list_element_errors():
    with raises_exactly(TypeError, "argument 'modifications': must be real number, not str"):
        tm.PyPeptide("AKR", 1.0, [1.0, 2.0, "x"])
    with raises_exactly(TypeError, "argument 'modifications': must be real number, not NoneType"):
        tm.PyPeptide("AKR", 1.0, [None])
    with raises_exactly(OverflowError, "int too large to convert to float"):
        tm.PyPeptide("AKR", 1.0, [1.0, 10**400, "x"])
    with raises_exactly(TypeError, "argument 'modifications': must be real number, not str"):
        tm.PyPeptide("AKR", 1.0, [1.0, "x", 10**400])


def test_float_list_of_2d_array_fails_on_its_first_row():
    with pytest.raises(TypeError) as expected:
        float(np.zeros(2))
    with raises_exactly(TypeError, f"argument 'modifications': {expected.value}"):
        tm.PyPeptide("AK", 1.0, np.zeros((2, 2)))


def test_float_list_of_0d_array():
    with raises_exactly(TypeError, "argument 'modifications': iteration over a 0-d array"):
        tm.PyPeptide("AK", 1.0, np.array(1.0))


def test_sequence_whose_item_access_fails():
    class Failing(SeqWithLen):
        def __getitem__(self, i):
            if i == 1:
                raise self.items[1]
            return self.items[i]

    with raises_exactly(TypeError, "argument 'modifications': bad item"):
        tm.PyPeptide("AK", 1.0, Failing([1.0, TypeError("bad item"), 2.0]))
    error = ValueError("bad item")
    with pytest.raises(ValueError) as info:
        tm.PyPeptide("AK", 1.0, Failing([1.0, error, 2.0]))
    assert info.value is error


# ---- class instances ----

CLASS_SITES = [
    ("precursor_tol", "PyTolerance", lambda v: tm.PyScorer(v, da())),
    ("fragment_tol", "PyTolerance", lambda v: tm.PyScorer(da(), v)),
    ("isolation_window", "PyTolerance", lambda v: tm.PyPrecursor(1.0, isolation_window=v)),
    ("peptides", "PyPeptide",
     lambda v: tm.PyIndexedDatabase.from_peptides_and_config([tm.PyPeptide("A", 1.0, None), v], 1, [], 0, False,
                                                             "d", 0.0, 1.0)),
    ("ion_kinds", "PyKind",
     lambda v: tm.PyIndexedDatabase.from_peptides_and_config([], 1, (tm.PyKind.B(), v), 0, False, "d", 0.0, 1.0)),
    ("precursors", "PyPrecursor", lambda v: tm.PyProcessedSpectrum("s", 0, 0.0, F32, F32, [tm.PyPrecursor(1.0), v],
                                                                   0.0)),
    ("db", "PyIndexedDatabase", lambda v: tm.PyScorer(da(), da()).score_spectra(v, spectrum())),
    ("spectrum", "PyProcessedSpectrum", lambda v: tm.PyScorer(da(), da()).score_spectra(empty_db(), v)),
    ("db", "PyIndexedDatabase", lambda v: tm.PyScorer(da(), da()).score_many_spectra(v, [])),
    ("spectra", "PyProcessedSpectrum", lambda v: tm.PyScorer(da(), da()).score_many_spectra(empty_db(), [v])),
]
CLASS_IDS = [f"{s[0]}-{i}" for i, s in enumerate(CLASS_SITES)]

WRONG_OBJECTS = [
    (lambda: tm.PyKind.B(), "PyKind"),
    (lambda: tm.PyTolerance.Da(0, 0), "PyTolerance"),
    (lambda: tm.PyPeptide("A", 1.0, None), "PyPeptide"),
    (lambda: tm.PyPrecursor(1.0), "PyPrecursor"),
    (lambda: spectrum(), "PyProcessedSpectrum"),
    (lambda: empty_db(), "PyIndexedDatabase"),
    (lambda: tm.PyScorer(da(), da()), "PyScorer"),
    (lambda: 1, "int"),
    (lambda: "PyKind", "str"),
    (lambda: tm.PyKind, "type"),
    (lambda: object(), "object"),
]


@pytest.mark.parametrize("name, cls_name, call", CLASS_SITES, ids=CLASS_IDS)
@pytest.mark.parametrize("make, type_name", WRONG_OBJECTS, ids=[w[1] for w in WRONG_OBJECTS])
def test_class_conversion(name, cls_name, call, make, type_name):
    value = make()
    if type_name == cls_name:
        call(value)
        return
    message = f"argument '{name}': '{type_name}' object cannot be converted to '{cls_name}'"
    with raises_exactly(TypeError, message):
        call(value)


@pytest.mark.parametrize("name, cls_name, call", [s for s in CLASS_SITES if s[0] != "isolation_window"],
                         ids=[i for s, i in zip(CLASS_SITES, CLASS_IDS) if s[0] != "isolation_window"])
def test_none_is_not_an_instance(name, cls_name, call):
    with raises_exactly(TypeError, f"argument '{name}': 'NoneType' object cannot be converted to '{cls_name}'"):
        call(None)


# ---- optional values and defaults ----

@pytest.mark.parametrize("call", [
    lambda: tm.PyPrecursor(1.0, None, None, None, None),
    lambda: tm.PyPeptide("AK", 1.0, None, None, None),
    lambda: tm.PyScorer(da(), da(), max_fragment_charge=None),
])
def test_none_gives_an_absent_optional_value(call):
    call()


def test_precursor_optionals_read_back_as_none():
    p = tm.PyPrecursor(1.0, None, None, None, None)
    assert (p.charge, p.intensity, p.isolation_window) == (None, None, None)
    assert tm.PyPeptide("AK", 1.0, None, None, None).mod_array == [0.0] * 4


@pytest.mark.parametrize("name, value, message", [
    ("wide_window", None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("chimera", None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("annotate_matches", None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("report_psms", None, "'NoneType' object cannot be interpreted as an integer"),
    ("min_isotope_err", None, "'NoneType' object cannot be interpreted as an integer"),
    ("min_matched_peaks", None, "'NoneType' object cannot be interpreted as an integer"),
    ("max_fragment_charge", "2", "'str' object cannot be interpreted as an integer"),
])
def test_none_for_a_defaulted_parameter_that_is_not_optional(name, value, message):
    with raises_exactly(TypeError, f"argument '{name}': {message}"):
        tm.PyScorer(da(), da(), **{name: value})


def test_scorer_accepts_every_parameter_at_its_limits():
    tm.PyScorer(da(), da(), False, False, 0, -128, 127, 0, 255, 0, True, 0)
    tm.PyScorer(da(), da(), True, True, 5, 127, -128, 255, 0, 65535, False, 255)
    tm.PyScorer(da(), da(), min_isotope_err=-1, max_isotope_err=3, min_precursor_charge=2,
                max_precursor_charge=4, min_matched_peaks=3, max_fragment_charge=2)
