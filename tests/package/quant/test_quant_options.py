"""The quantification options: defaults, the command line, TOML both ways, refusals."""

from __future__ import annotations

import pytest

from tovel_mesk import cli
from tovel_mesk.config import ConfigError, SearchSettings, default_toml, load_settings, settings_toml


def _flags(argv):
    args = cli._parse(cli.build_parser(), ["search", *argv])
    args.pop("command")
    return args


def test_defaults_and_flags():
    settings = SearchSettings()
    assert (settings.quant, settings.mbr, settings.protein_quant, settings.design) == ("auto", None, "maxlfq", None)
    given = load_settings(_flags(["--quant", "lfq", "--no-mbr", "--protein-quant", "top3", "--design", "d.tsv"]))
    assert (given.quant, given.mbr, given.protein_quant, str(given.design)) == ("lfq", False, "top3", "d.tsv")
    assert load_settings(_flags(["--mbr"])).mbr is True


@pytest.mark.parametrize("mbr", [None, True, False])
def test_toml_reads_back_the_same_settings(tmp_path, mbr):
    path = tmp_path / "search.toml"
    settings = SearchSettings(quant="lfq", mbr=mbr, protein_quant="sum", design=tmp_path / "design.tsv")
    path.write_text(settings_toml(settings))
    assert load_settings(config=path) == settings
    assert "[quantification]" in path.read_text()
    path.write_text(default_toml())      # every setting at its default, commented
    assert load_settings(config=path) == SearchSettings()


@pytest.mark.parametrize("values, message", [
    ({"quant": "tmt9"}, "--quant must be auto, none, lfq, tmt6"),
    ({"protein_quant": "median"}, "--protein-quant must be maxlfq, top3, sum or median-polish, got 'median'"),
    ({"mbr": "yes"}, "mbr (in the settings) must be true or false, got 'yes'"),
    ({"quant": "none", "design": "d.tsv"}, "--design describes the runs of label-free quantification; it does not "
                                           "apply to --quant none"),
])
def test_bad_values_are_named(values, message):
    with pytest.raises(ConfigError, match=message.replace("(", r"\(").replace(")", r"\)")):
        SearchSettings(**values)


def test_help_groups_them(capsys):
    with pytest.raises(SystemExit):
        cli.build_parser().parse_args(["search", "--help"])
    text = capsys.readouterr().out
    start = text.index("quantification (how much of each peptide and protein)")
    section = text[start:text.index("\nrun:", start)]
    for flag in ("--quant METHOD", "--mbr, --no-mbr", "--protein-quant METHOD", "--design FILE"):
        assert flag in section
    flat = " ".join(section.split())
    assert "(default: on with 2 or more runs)" in flat and "(default: none)" not in flat
    assert "(default: auto)" in flat and "(default: maxlfq)" in flat
