"""Settings: made and checked once, typed, written back as TOML that reads back the same,
and the record of which stage takes each setting."""

from __future__ import annotations

import dataclasses
import inspect
from pathlib import Path

import _tovel_mesk as tm
import pytest

from tovel_mesk import _native
from tovel_mesk.config import (DEFAULTS, DIGESTION, INDEX, OPTIONS, READING, SEARCH, ConfigError, SearchSettings,
                               load_settings, modification_notes, settings_toml)
from tovel_mesk.conventions import Tolerance
from tovel_mesk.io.spectra import SpectraReader
from tovel_mesk.search.database import build_database, digest_fasta, digest_settings
from tovel_mesk.search.scoring import make_scorer


@pytest.mark.parametrize("text, expected, shown", [
    ("10ppm", Tolerance(-10, 10, "ppm"), "10ppm"),
    ("-10,20ppm", Tolerance(-10, 20, "ppm"), "-10,20ppm"),
    (" 0.5 Da ", Tolerance(-0.5, 0.5, "da"), "0.5da"),
    ("-0.01,0.02da", Tolerance(-0.01, 0.02, "da"), "-0.01,0.02da"),
    ("1e-3da", Tolerance(-0.001, 0.001, "da"), "0.001da"),
    ("0,0ppm", Tolerance(0.0, 0.0, "ppm"), "0,0ppm"),
])
def test_tolerance_reads_and_writes_its_text(text, expected, shown):
    tolerance = Tolerance.parse(text)
    assert tolerance == expected and str(tolerance) == shown
    assert Tolerance.parse(str(tolerance)) == tolerance  # bit for bit: the text is exact
    core = tolerance.core()
    assert isinstance(core, tm.PyTolerance)


@pytest.mark.parametrize("args, message", [
    ((1.0, 2.0, "ppm"), "excludes its own centre"),
    ((-1.0, -0.5, "da"), "excludes its own centre"),
    ((-1.0, 1.0, "mz"), "unit is 'ppm' or 'da'"),
    ((float("-inf"), 1.0, "da"), "not finite"),
])
def test_tolerance_refuses_a_window_that_cannot_match(args, message):
    with pytest.raises(ValueError, match=message):
        Tolerance(*args)


def test_settings_are_typed_and_checked_when_made():
    settings = SearchSettings(precursor_tol="-5,20ppm", isotope_errors="-2,1", charges=[1, 5],
                              fixed_mods=["C:+57.021464"], spectra=["a.mzML"], fasta="p.fasta")
    assert settings.precursor_tol == Tolerance(-5, 20, "ppm") and settings.isotope_errors == (-2, 1)
    assert settings.charges == (1, 5) and settings.fixed_mods == ("C:+57.021464",)
    assert settings.spectra == (Path("a.mzML"),) and settings.fasta == Path("p.fasta")
    assert SearchSettings(precursor_tol=Tolerance(-5, 20, "ppm")) == SearchSettings(precursor_tol="-5,20ppm")
    with pytest.raises(dataclasses.FrozenInstanceError):
        settings.threads = 2  # type: ignore[misc]
    # A derived copy is checked too.
    with pytest.raises(ConfigError, match="--min-length .* is above --max-length"):
        dataclasses.replace(settings, min_length=60)


@pytest.mark.parametrize("values, message", [
    ({"precursor_tol": "10"}, "--precursor-tol: cannot read the tolerance '10'"),
    ({"precursor_tol": 10}, "needs a unit"),
    ({"charges": "4,2"}, "--charges must be MIN,MAX with MIN <= MAX"),
    ({"charges": [0, 3]}, "--charges must lie within 1..255"),
    ({"isotope_errors": [1, 2, 3]}, r"--isotope-errors must be \[MIN, MAX\]"),
    ({"threads": True}, "threads .* must be a whole number"),
    ({"fdr": 1.5}, "--fdr must lie between 0 and 1"),
    ({"rescore": "svm"}, "--rescore must be lda, mokapot or hyperscore"),
    ({"enzyme": "pepsin"}, "pepsin"),                    # the digestion's own check, before any file
    ({"variable_mods": ["M+15.99"]}, "M\\+15.99"),
    ({"workers": 2, "scheduler": "tcp://x:1"}, "exclude each other"),
])
def test_bad_settings_are_named(values, message):
    with pytest.raises(ConfigError, match=message):
        SearchSettings(**values)


def test_a_fixed_modification_given_twice_is_refused():
    for mods in (["C:+57.021464", "C:+57.021464"], ["C:+57.021464", "C:57.02146"], ["STY:+79.966331", "S:+79.966331"]):
        with pytest.raises(ConfigError, match="--fixed-mods: .* would carry"):
            SearchSettings(fixed_mods=mods)
    # Different places or masses add up as documented.
    SearchSettings(fixed_mods=["C:+57.021464", "K:+8.014199", "peptide-nterm:+8.014199"])
    SearchSettings(fixed_mods=["C:+57.021464", "C:+1.0"])


def test_modifications_are_named_and_a_missing_carbamidomethyl_warned():
    line, warnings = modification_notes(SearchSettings(variable_mods=["M:+15.994915"]))
    assert line == "modifications: fixed C:+57.021464; variable M:+15.994915" and warnings == []
    line, warnings = modification_notes(SearchSettings(fixed_mods=["K:+8.014199"]))
    assert line == "modifications: fixed K:+8.014199; variable none"
    assert len(warnings) == 1 and "carbamidomethyl C" in warnings[0]
    assert modification_notes(SearchSettings(fixed_mods=[]))[1]


def test_each_stage_takes_its_settings_with_the_same_defaults():
    """The record of stages names real keywords, and the functions' own defaults are the
    settings' defaults."""
    def defaults_of(function, keywords):
        params = inspect.signature(function).parameters
        assert set(keywords) <= set(params), function
        return {k: params[k].default for k in keywords}

    defaults = SearchSettings()
    digestion = digest_settings(defaults)
    assert {k: tuple(v) if isinstance(v, list) else v for k, v in digestion.items()} == \
        {k: tuple(v) if isinstance(v, list) else v for k, v in defaults_of(digest_fasta, digestion).items()}
    index = defaults.arguments(INDEX)
    assert set(index) == {"decoy_tag", "bucket_size", "fragment_list"}
    assert defaults_of(build_database, ["decoy_tag", "bucket_size"]) == {
        "decoy_tag": DEFAULTS["decoy_tag"], "bucket_size": DEFAULTS["bucket_size"]}
    search = defaults.arguments(SEARCH)
    assert set(search) <= set(inspect.signature(tm.PyScorer).parameters)
    assert search["min_isotope_err"] == -1 and search["max_precursor_charge"] == 4
    assert defaults_of(SpectraReader, defaults.arguments(READING)) == defaults.arguments(READING)
    assert all(o.stage != DIGESTION or o.keywords for o in OPTIONS)
    assert isinstance(make_scorer(SearchSettings(precursor_tol="-5,20ppm", charges="1,6")), tm.PyScorer)


def test_native_digest_defaults_are_the_settings_defaults():
    native = _native.digest_defaults()
    expected = digest_settings(SearchSettings())
    # One default differs on purpose: the package adds carbamidomethyl C, the core nothing.
    assert native.pop("fixed_mods") == [] and list(expected["fixed_mods"]) == ["C:+57.021464"]
    for name, value in native.items():
        if name in expected:
            assert (list(value) if isinstance(value, tuple) else value) == expected[name], name


def test_settings_are_checked_once_on_the_way_in(monkeypatch):
    calls = []
    check = SearchSettings._check
    monkeypatch.setattr(SearchSettings, "_check", lambda self: (calls.append(1), check(self))[1])
    settings = load_settings({"precursor_tol": "20ppm", "isotope_errors": "0,2"})
    assert len(calls) == 1
    assert settings.validate() is settings and len(calls) == 1


def test_toml_sections_and_keys(tmp_path):
    config = tmp_path / "search.toml"

    def read(text: str) -> SearchSettings:
        config.write_text(text)
        return load_settings(config=config)

    with pytest.raises(ConfigError, match=r"unknown section \[serach\]; did you mean 'search'\?"):
        read('[serach]\nprecursor_tol = "20ppm"\n')
    with pytest.raises(ConfigError, match="unknown setting 'precursor_tl'; did you mean 'precursor_tol'"):
        read('[search]\nprecursor_tl = "20ppm"\n')
    with pytest.raises(ConfigError, match="unknown setting 'nothing_like_it'$"):
        read('nothing_like_it = 1\n')
    # A key in another known section than its own, or at the top level, is read all the same.
    assert read('[search]\nenzyme = "lys-c"\ntop_peaks = 50\n').enzyme == "lys-c"
    assert read('fdr = 0.05\n').fdr == 0.05
    # The older name of the fragment list, and one setting given under both names.
    assert read('[index]\nfragment-index = "on"\n').fragment_list == "on"
    with pytest.raises(ConfigError, match="'fragment_list' is set twice"):
        read('[index]\nfragment_index = "on"\nfragment_list = "off"\n')
    assert read('[search]\nisotope_errors = [-2, 2]\ncharges = "1,3"\n').isotope_errors == (-2, 2)
    with pytest.raises(ConfigError, match="the command line: unknown setting 'thread'; did you mean 'threads'"):
        load_settings({"thread": 2})


def test_effective_settings_read_back_the_same(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    config = tmp_path / "sub" / "given.toml"
    config.write_text('preset = "ion-trap"\nfasta = "proteins.fasta"\nspectra = ["a.mzML", "/data/b.mgf"]\n'
                      '[search]\nprecursor_tol = "-7.5,12.25ppm"\n')
    settings = load_settings({"decoy_tag": 'tag "q" \\ \x7f', "fixed_mods": ["C:+57.021464", "K:+8.014199"],
                              "variable_mods": [], "isotope_errors": "-1,1", "fdr": 0.1, "output": "out",
                              "fragment_index": "off", "fail_fast": True, "quiet": True}, config)
    assert settings.fasta == tmp_path / "sub" / "proteins.fasta" and settings.report_psms == 5
    shown = tmp_path / "shown.toml"
    shown.write_text(settings_toml(settings))
    again = load_settings(config=shown)
    assert again == dataclasses.replace(settings, output=tmp_path / "out")
    assert settings_toml(again) == shown.read_text()
    assert again.as_dict()["precursor_tol"] == "-7.5,12.25ppm" and again.as_dict()["isotope_errors"] == [-1, 1]
