"""The command's options: negative values, short and older spellings, misspellings,
`config --show`, and the modifications named at the start of a search."""

from __future__ import annotations

import tomllib

import pytest

from tovel_mesk import cli, pipeline
from tovel_mesk.config import load_settings


def run(capsys, *argv: str) -> tuple[int, str, str]:
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def shown(capsys, *argv: str) -> dict:
    status, out, err = run(capsys, "config", "--show", *argv)
    assert status == 0, err
    return tomllib.loads(out)


def test_values_starting_with_a_minus_sign(capsys):
    data = shown(capsys, "--precursor-tol", "-10,20ppm", "--fragment-tol", "-0.5,0.5da", "--isotope-errors", "-1,3",
                 "--min-mass", "-.5")
    assert data["search"]["precursor_tol"] == "-10,20ppm" and data["search"]["fragment_tol"] == "0.5da"
    assert data["search"]["isotope_errors"] == [-1, 3] and data["digestion"]["min_mass"] == -0.5
    assert shown(capsys, "--precursor-tol=-10,20ppm")["search"]["precursor_tol"] == "-10,20ppm"
    # A flag that lacks its value still says so.
    status, _, err = run(capsys, "config", "--show", "--precursor-tol", "--threads", "2")
    assert status == 2 and "--precursor-tol: expected one argument" in err


def test_short_and_older_spellings(capsys, tmp_path):
    data = shown(capsys, "-o", str(tmp_path / "out"), "--fragment-index", "off", "--fail-fast")
    assert data["input"]["output"] == str(tmp_path / "out")
    assert data["index"]["fragment_list"] == "off" and data["run"]["fail_fast"] is True
    assert shown(capsys, "--fragment-list", "on")["index"]["fragment_list"] == "on"
    assert "fragment_index" not in shown(capsys)["index"]


@pytest.mark.parametrize("argv, expected", [
    (["search", "--precursor-tl", "10ppm", "a.mzML"], "unrecognized option --precursor-tl; did you mean "
                                                       "--precursor-tol?"),
    (["search", "--fixd-mods=C:+57.021464"], "unrecognized option --fixd-mods; did you mean --fixed-mods?"),
    (["config", "--show", "--threds", "2"], "did you mean --threads?"),
    (["search", "--zzzz"], "unrecognized option --zzzz (see"),
])
def test_misspelt_flags_get_the_closest_one(capsys, argv, expected):
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == "" and expected in err and err.count("\n") == 1


def test_config_show_reads_back_through_the_command(capsys, tmp_path):
    config = tmp_path / "given.toml"
    config.write_text('[search]\nprecursor_tol = "-5,15ppm"\n[digestion]\nvariable_mods = ["M:+15.994915"]\n')
    status, first, _ = run(capsys, "config", "--show", "--config", str(config), "--preset", "ion-trap",
                           "--threads", "2", "--fasta", str(tmp_path / "p.fasta"), str(tmp_path / "a.mzML"))
    assert status == 0
    saved = tmp_path / "shown.toml"
    saved.write_text(first)
    assert run(capsys, "config", "--show", "--config", str(saved))[1] == first
    settings = load_settings(config=saved)
    assert settings == load_settings({"preset": "ion-trap", "threads": 2, "fasta": tmp_path / "p.fasta",
                                      "spectra": [tmp_path / "a.mzML"]}, config)
    # --defaults prints the defaults alone, and one of the two is needed.
    assert run(capsys, "config", "--defaults", "--threads", "2")[0] == 2
    status, _, err = run(capsys, "config", "--show", "--config", str(tmp_path / "missing.toml"))
    assert status == 2 and "cannot read config file" in err


def test_help_says_that_modification_flags_replace_the_default(capsys):
    with pytest.raises(SystemExit):
        cli.main(["search", "--help"])
    out = " ".join(capsys.readouterr().out.split())
    assert "The flags given replace the default list, so keep C:+57.021464" in out
    assert "-o DIR, --output DIR" in out and "--fragment-index" in out and "--fail-fast" in out


@pytest.fixture
def search_inputs(tmp_path, monkeypatch):
    """Inputs that pass the checks, and a search that stops as soon as it is called."""
    fasta, spectra = tmp_path / "p.fasta", tmp_path / "a.mgf"
    fasta.write_text(">P1\nPEPTIDEK\n")
    spectra.write_text("BEGIN IONS\nPEPMASS=500\n100 1\nEND IONS\n")

    def interrupted(settings, **_):
        raise KeyboardInterrupt

    monkeypatch.setattr(pipeline, "run_search", interrupted)
    return ["search", "--fasta", str(fasta), "-o", str(tmp_path / "out"), str(spectra)]


def test_modifications_are_named_at_the_start(capsys, search_inputs):
    status, _, err = run(capsys, *search_inputs, "--variable-mods", "M:+15.994915")
    assert status == 130
    assert err.splitlines()[0] == "modifications: fixed C:+57.021464; variable M:+15.994915"
    assert "warning" not in err

    # A list without carbamidomethyl C is warned about, even when quiet.
    status, _, err = run(capsys, *search_inputs, "--fixed-mods", "K:+8.014199", "--quiet")
    assert status == 130 and "modifications:" not in err
    assert err.splitlines()[0].startswith("tovel-mesk: warning: the fixed modifications leave out carbamidomethyl C")

    status, _, err = run(capsys, *search_inputs, "--fixed-mods", "C:+57.021464", "--fixed-mods", "C:+57.021464")
    assert status == 2 and "'C:+57.021464' is given twice" in err and "modifications:" not in err
