"""The module object, its classes and members as Python sees them: names, registration
order, text signatures and documentation, class rules, and the internal-failure exception."""

from __future__ import annotations

import copy
import importlib
import inspect
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import _tovel_mesk as tm
from _support import DICT_KEYS, FEATURE_PROPERTIES, FRAGMENT_COLUMNS, da, empty_db, one_peptide_db, perfect_match, raises_exactly, spectrum

ALL = ["PyIndexedDatabase", "PyPeptide", "PyKind", "PyTolerance", "PyPrecursor",
       "PyProcessedSpectrum", "PyScorer", "PyFeature", "hello_py"]
CLASSES = ALL[:-1]
NO_CONSTRUCTOR = ["PyTolerance", "PyKind", "PyIndexedDatabase", "PyFeature"]

CLASS_SIGNATURES = {
    "PyPeptide": "(sequence, monoisotopic, modifications, nterm=None, cterm=None)",
    "PyPrecursor": "(mz, charge=None, intensity=None, isolation_window=None, inverse_ion_mobility=None)",
    "PyProcessedSpectrum": "(id, file_id, scan_start_time, mz_array, intensity_array, precursors, "
                           "total_ion_current)",
    "PyScorer": "(precursor_tol, fragment_tol, wide_window=True, chimera=True, report_psms=5, "
                "min_isotope_err=..., max_isotope_err=3, min_precursor_charge=2, max_precursor_charge=4, "
                "min_matched_peaks=3, annotate_matches=False, max_fragment_charge=2)",
}


# (class, member, kind, text signature, documentation body or None)
MEMBERS = [
    ("PyTolerance", "Da", "static", "(minus, plus)", None),
    ("PyTolerance", "Ppm", "static", "(minus, plus)", None),
    ("PyKind", "B", "static", "()", None),
    ("PyKind", "Y", "static", "()", None),
    ("PyIndexedDatabase", "from_peptides_and_config", "static",
     "(peptides, bucket_size, ion_kinds, min_ion_index, generate_decoys, decoy_tag, peptide_min_mass, "
     "peptide_max_mass)", None),
    ("PyIndexedDatabase", "sequence_for", "method", "($self, pep_index)", None),
    ("PyIndexedDatabase", "fragment_count", "method", "($self)", "Quick count of total fragments"),
    ("PyIndexedDatabase", "debug_fragment_summary", "method", "($self)",
     "Debug helper: return a summary of all indexed fragments"),
    ("PyScorer", "score_spectra", "method", "($self, db, spectrum)",
     "Executes the scoring logic against the built database and a single spectrum."),
    ("PyScorer", "score_many_spectra", "method", "($self, db, spectra)", None),
    ("PyFeature", "to_dict", "method", "($self)", None),
]

PROPERTIES = {
    "PyTolerance": [],
    "PyKind": [],
    "PyPeptide": ["sequence", "mod_array", "modifications"],
    "PyIndexedDatabase": ["peptides"],
    "PyPrecursor": ["mz", "charge", "intensity", "isolation_window"],
    "PyProcessedSpectrum": ["id", "peaks", "precursors"],
    "PyScorer": [],
    "PyFeature": FEATURE_PROPERTIES,
}


def public_members(cls):
    return [k for k in vars(cls) if not k.startswith("__")]


def getset_names(cls):
    return [k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor" and not k.startswith("__")]


def make_instances():
    """One instance of every class that Python can create directly."""
    return {
        "PyTolerance": tm.PyTolerance.Ppm(-10, 10),
        "PyKind": tm.PyKind.B(),
        "PyPeptide": tm.PyPeptide("PEPTIDE", 799.36, None),
        "PyIndexedDatabase": empty_db(),
        "PyPrecursor": tm.PyPrecursor(500.25),
        "PyProcessedSpectrum": spectrum(),
        "PyScorer": tm.PyScorer(da(), da()),
    }


# ---- the module object ----

def test_module_is_created_once_and_reimport_gives_the_same_object():
    first = sys.modules["_tovel_mesk"]
    assert importlib.import_module("_tovel_mesk") is first
    assert importlib.reload(first) is first
    del sys.modules["_tovel_mesk"]
    try:
        again = importlib.import_module("_tovel_mesk")
    finally:
        sys.modules["_tovel_mesk"] = first
    assert again is first
    assert again.__all__ == ALL


def test_module_name_doc_and_all():
    assert tm.__name__ == "_tovel_mesk"
    assert tm.__doc__ == ""
    assert type(tm.__all__) is list
    assert tm.__all__ == ALL
    assert sorted(k for k in vars(tm) if not k.startswith("__")) == sorted(ALL)


def test_fragments_class_is_not_a_module_attribute():
    assert not hasattr(tm, "PyFragments")
    assert "PyFragments" not in tm.__all__
    assert "PyFragments" not in dir(tm)


def test_hello_py():
    text = tm.hello_py()
    assert text == "Hello from Rust + PyO3 \N{PARTY POPPER}"
    assert len(text) == 24
    assert len(text.encode("utf-8")) == 27
    assert tm.hello_py.__module__ == "_tovel_mesk"
    assert tm.hello_py.__self__ is tm
    assert tm.hello_py.__text_signature__ == "()"
    assert tm.hello_py.__doc__ is None
    with raises_exactly(TypeError, "_tovel_mesk.hello_py() takes no arguments (1 given)"):
        tm.hello_py(1)


# ---- classes ----

@pytest.mark.parametrize("name", CLASSES)
def test_class_names_and_base(name):
    cls = getattr(tm, name)
    assert cls.__module__ == "tovel_mesk"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'tovel_mesk.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)


@pytest.mark.parametrize("name", CLASSES)
def test_class_cannot_be_subclassed(name):
    cls = getattr(tm, name)
    with raises_exactly(TypeError, f"type 'tovel_mesk.{name}' is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", CLASSES)
def test_class_has_no_instance_dict_or_weakrefs(name):
    cls = getattr(tm, name)
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize("name", sorted(make_instances()))
def test_instances_have_no_dict_no_weakrefs_and_default_identity(name):
    obj = make_instances()[name]
    assert not hasattr(obj, "__dict__")
    with raises_exactly(AttributeError, f"'tovel_mesk.{name}' object has no attribute 'foo'"):
        obj.foo = 1
    with raises_exactly(TypeError, f"cannot create weak reference to 'tovel_mesk.{name}' object"):
        weakref.ref(obj)
    assert re.fullmatch(rf"<tovel_mesk\.{name} object at 0x[0-9a-f]+>", repr(obj))
    assert str(obj) == repr(obj)
    other = make_instances()[name]
    assert obj == obj and obj != other
    assert hash(obj) == hash(obj)


@pytest.mark.parametrize("name", CLASSES)
def test_class_documentation(name):
    cls = getattr(tm, name)
    if name in CLASS_SIGNATURES:
        assert cls.__doc__ == ""
        assert cls.__text_signature__ == CLASS_SIGNATURES[name]
    else:
        assert cls.__doc__ is None
        assert cls.__text_signature__ is None


def test_scorer_signature_is_introspectable():
    params = inspect.signature(tm.PyScorer).parameters
    assert list(params) == ["precursor_tol", "fragment_tol", "wide_window", "chimera", "report_psms",
                            "min_isotope_err", "max_isotope_err", "min_precursor_charge",
                            "max_precursor_charge", "min_matched_peaks", "annotate_matches",
                            "max_fragment_charge"]
    assert params["min_isotope_err"].default is Ellipsis
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
@pytest.mark.parametrize("call", [
    lambda cls: cls(),
    lambda cls: cls(1, 2, key="value"),
    lambda cls: cls.__new__(cls),
], ids=["no-args", "with-args", "dunder-new"])
def test_classes_without_constructor(name, call):
    with raises_exactly(TypeError, f"No constructor defined for {name}"):
        call(getattr(tm, name))


@pytest.mark.parametrize("name", CLASSES)
def test_object_new_cannot_bypass_the_constructor(name):
    with raises_exactly(TypeError, f"object.__new__(tovel_mesk.{name}) is not safe, "
                                   f"use tovel_mesk.{name}.__new__()"):
        object.__new__(getattr(tm, name))


@pytest.mark.parametrize("name", sorted(make_instances()))
def test_instances_cannot_be_copied_into_uninitialised_objects(name):
    obj = make_instances()[name]
    with pytest.raises(TypeError):
        copy.copy(obj)


@pytest.mark.parametrize("name", CLASSES)
def test_class_members(name):
    cls = getattr(tm, name)
    expected = [m for c, m, *_ in MEMBERS if c == name] + PROPERTIES[name]
    assert sorted(public_members(cls)) == sorted(expected)
    assert getset_names(cls) == PROPERTIES[name]


@pytest.mark.parametrize("cls_name, member, kind, signature, doc", MEMBERS,
                         ids=[f"{c}.{m}" for c, m, *_ in MEMBERS])
def test_member_signature_and_doc(cls_name, member, kind, signature, doc):
    cls = getattr(tm, cls_name)
    raw = vars(cls)[member]
    if kind == "static":
        assert isinstance(raw, staticmethod)
        fn = getattr(cls, member)
        assert fn.__self__ is None
    else:
        assert type(raw).__name__ == "method_descriptor"
        fn = raw
    assert fn.__name__ == member
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc


def test_feature_declares_41_properties_in_order():
    names = getset_names(tm.PyFeature)
    assert len(names) == 41
    assert names == FEATURE_PROPERTIES


@pytest.mark.parametrize("name", CLASSES)
def test_property_documentation(name):
    cls = getattr(tm, name)
    for prop in getset_names(cls):
        expected = ("Return combined mod array in the convention: [N-term, per-res..., C-term]"
                    if (name, prop) == ("PyPeptide", "mod_array") else None)
        assert vars(cls)[prop].__doc__ == expected, prop


@pytest.mark.parametrize("name, prop", [
    ("PyPeptide", "sequence"), ("PyPeptide", "modifications"),
    ("PyIndexedDatabase", "peptides"),
    ("PyPrecursor", "mz"), ("PyPrecursor", "charge"), ("PyPrecursor", "intensity"),
    ("PyPrecursor", "isolation_window"),
    ("PyProcessedSpectrum", "id"), ("PyProcessedSpectrum", "peaks"), ("PyProcessedSpectrum", "precursors"),
])
def test_read_only_properties_refuse_assignment_and_deletion(name, prop):
    obj = make_instances()[name]
    message = f"attribute '{prop}' of 'tovel_mesk.{name}' objects is not writable"
    with raises_exactly(AttributeError, message):
        setattr(obj, prop, None)
    with raises_exactly(AttributeError, message):
        delattr(obj, prop)


def test_static_factories_give_new_objects():
    assert tm.PyKind.B() is not tm.PyKind.B()
    assert type(tm.PyKind.Y()) is tm.PyKind
    assert type(tm.PyTolerance.Da(-1, 1)) is tm.PyTolerance
    assert tm.PyTolerance.Ppm(minus=-5, plus=5) is not tm.PyTolerance.Ppm(minus=-5, plus=5)


@pytest.mark.parametrize("call, message", [
    (lambda: tm.PyKind.B(1), "PyKind.B() takes no arguments (1 given)"),
    (lambda: tm.PyKind.Y(a=1), "PyKind.Y() takes no keyword arguments"),
    (lambda: empty_db().fragment_count(1), "PyIndexedDatabase.fragment_count() takes no arguments (1 given)"),
    (lambda: empty_db().debug_fragment_summary(x=1),
     "PyIndexedDatabase.debug_fragment_summary() takes no keyword arguments"),
])
def test_members_without_parameters_refuse_arguments(call, message):
    with raises_exactly(TypeError, message):
        call()


def test_instance_types_are_the_module_classes():
    pep = tm.PyPeptide("PEPTIDE", 799.36, None)
    db = tm.PyIndexedDatabase.from_peptides_and_config([pep], 4, [tm.PyKind.B()], 0, False, "rev_", 0.0, 1e4)
    assert type(db) is tm.PyIndexedDatabase
    assert all(type(p) is tm.PyPeptide for p in db.peptides)
    scan = spectrum()
    assert all(type(p) is tm.PyPrecursor for p in scan.precursors)
    window = tm.PyPrecursor(1.0, isolation_window=da()).isolation_window
    assert type(window) is tm.PyTolerance


# ---- internal failures ----

def _panic():
    with pytest.raises(BaseException) as info:
        tm.PyScorer(da(), da()).score_spectra(empty_db(), spectrum("scan=9", precursors=[]))
    return info.value


def test_panic_exception_shape():
    exc = _panic()
    cls = type(exc)
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__mro__ == (cls, BaseException, object)
    assert not isinstance(exc, Exception)
    assert exc.args == ("missing MS1 precursor for scan=9",)
    assert str(exc) == "missing MS1 precursor for scan=9"
    assert type(_panic()) is cls
    assert not any(getattr(tm, name) is cls for name in dir(tm))


def test_panic_is_not_caught_by_except_exception():
    caught = None
    try:
        try:
            tm.PyScorer(da(), da()).score_spectra(empty_db(), spectrum("s", precursors=[]))
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            caught = "Exception"
    except BaseException:  # noqa: BLE001
        caught = "BaseException"
    assert caught == "BaseException"


def test_scoring_a_spectrum_without_precursor_prints_nothing(capfd):
    with pytest.raises(BaseException):
        tm.PyScorer(da(), da()).score_spectra(empty_db(), spectrum("s", precursors=[]))
    assert capfd.readouterr().out == ""


def test_score_spectra_prints_one_line_to_standard_output(capfd):
    features = tm.PyScorer(da(), da()).score_spectra(empty_db(), spectrum())
    assert type(features) is list
    out = capfd.readouterr().out
    assert out == f"Scoring returned {len(features)} features\n"


def test_score_many_spectra_prints_nothing(capfd):
    results = tm.PyScorer(da(), da()).score_many_spectra(empty_db(), [spectrum(), spectrum()])
    assert type(results) is list and len(results) == 2
    assert all(type(r) is list for r in results)
    assert capfd.readouterr().out == ""


def test_batch_panic_on_worker_reaches_the_caller(real_core):
    spectra = [spectrum("ok"), spectrum("scan=3", precursors=[]), spectrum("ok2")]
    with pytest.raises(BaseException) as info:
        tm.PyScorer(da(), da()).score_many_spectra(empty_db(), spectra)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "missing MS1 precursor for scan=3"


# ---- results: features and fragment annotations ----

def test_feature_objects(feature):
    assert type(feature) is tm.PyFeature
    assert repr(feature).startswith("Feature(spec=scan=7, ")
    assert feature.peptide is not feature.peptide
    assert type(feature.peptide) is tm.PyPeptide
    for prop in FEATURE_PROPERTIES[1:]:
        with raises_exactly(AttributeError, f"attribute '{prop}' of 'tovel_mesk.PyFeature' objects is not writable"):
            setattr(feature, prop, None)
    assert list(feature.to_dict()) == DICT_KEYS
    assert feature.to_dict() is not feature.to_dict()


FEATURE_TYPES = {
    "peptide": tm.PyPeptide, "sequence": str, "modifications": list, "spec_id": str, "fragments": "PyFragments",
    **{name: int for name in ("rank", "matched_peaks", "peptide_idx", "psm_id", "peptide_len", "file_id", "label",
                              "charge", "longest_b", "longest_y", "missed_cleavages", "scored_candidates")},
}


def test_feature_property_types_and_dictionary_export(feature):
    exported = feature.to_dict()
    for name in FEATURE_PROPERTIES:
        value = getattr(feature, name)
        expected = FEATURE_TYPES.get(name, float)
        if expected == "PyFragments":
            assert type(value).__name__ == "PyFragments"
        else:
            assert type(value) is expected, name
        if name in exported:
            assert type(exported[name]) is (dict if name == "fragments" else expected), name
            if name == "fragments":
                assert exported[name] == value.to_dict()
            elif value == value:  # NaN compares unequal to itself
                assert exported[name] == value, name
    assert all(type(v) is float for v in feature.modifications)
    assert feature.modifications is not feature.modifications
    assert feature.label in (1, -1)


def test_fragments_class_surface(feature):
    fragments = feature.fragments
    cls = type(fragments)
    assert cls.__module__ == "tovel_mesk"
    assert cls.__name__ == cls.__qualname__ == "PyFragments"
    assert repr(cls) == "<class 'tovel_mesk.PyFragments'>"
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None and cls.__text_signature__ is None
    assert getset_names(cls) == FRAGMENT_COLUMNS
    assert sorted(public_members(cls)) == sorted(FRAGMENT_COLUMNS + ["to_dict"])
    assert vars(cls)["to_dict"].__text_signature__ == "($self)"
    assert vars(cls)["to_dict"].__doc__ == "Optional helper: return as Python dict for easier pandas conversion"
    assert all(vars(cls)[p].__doc__ is None for p in FRAGMENT_COLUMNS)
    assert not hasattr(tm, "PyFragments")
    with raises_exactly(TypeError, "No constructor defined for PyFragments"):
        cls()
    with raises_exactly(TypeError, "type 'tovel_mesk.PyFragments' is not an acceptable base type"):
        type("Sub", (cls,), {})
    assert not hasattr(fragments, "__dict__")
    with raises_exactly(TypeError, "cannot create weak reference to 'tovel_mesk.PyFragments' object"):
        weakref.ref(fragments)
    assert feature.fragments is not fragments
    assert type(feature.fragments) is cls
    assert list(fragments.to_dict()) == FRAGMENT_COLUMNS
    assert fragments.to_dict() == {p: getattr(fragments, p) for p in FRAGMENT_COLUMNS}
    assert fragments.charges is not fragments.charges
    for prop in FRAGMENT_COLUMNS:
        with raises_exactly(AttributeError, f"attribute '{prop}' of 'tovel_mesk.PyFragments' objects is not writable"):
            setattr(fragments, prop, [])


# ---- subinterpreters ----

def run_with_a_subinterpreter(body):
    """Runs `body` in a new interpreter process where `interpreters` and `sub`, a fresh
    subinterpreter, are defined; returns the lines it printed."""
    pytest.importorskip("_xxsubinterpreters")
    script = "import _xxsubinterpreters as interpreters\nsub = interpreters.create()\n" + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return result.stdout.splitlines()


def test_import_from_a_subinterpreter_is_refused():
    first, second = run_with_a_subinterpreter("""
        import _tovel_mesk
        try:
            interpreters.run_string(sub, "import _tovel_mesk")
        except interpreters.RunFailedError as exc:
            print(exc)
        else:
            print("imported")
        interpreters.destroy(sub)
        print(_tovel_mesk.hello_py().encode("unicode_escape").decode())
    """)
    prefix = "<class 'ImportError'>: PyO3 modules do not yet support subinterpreters, see "
    assert first.startswith(prefix)
    assert len(first) > len(prefix)
    assert second == "Hello from Rust + PyO3 \\U0001f389"


def test_a_subinterpreter_importing_first_does_not_lock_out_the_main_interpreter():
    assert run_with_a_subinterpreter("""
        try:
            interpreters.run_string(sub, "import _tovel_mesk")
        except interpreters.RunFailedError as exc:
            print("refused" if "subinterpreters" in str(exc) else exc)
        interpreters.destroy(sub)
        import _tovel_mesk
        print(_tovel_mesk.__all__[-1])
    """) == ["refused", "hello_py"]


def test_match_without_annotation_has_no_fragments(real_core):
    (feature, *_) = perfect_match(one_peptide_db(), annotate=False)
    assert feature.fragments is None
    assert feature.to_dict()["fragments"] is None
