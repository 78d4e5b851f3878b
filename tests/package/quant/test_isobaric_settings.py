"""The isobaric settings: presets bring the tag's fixed modifications, the roll-up must
suit the kind of quantification, and the quantification section of a TOML file reads its
paths relative to the file."""

from __future__ import annotations

import pytest

from tovel_mesk.config import ISOBARIC_QUANT, PRESETS, load_settings
from tovel_mesk.errors import ConfigError
from tovel_mesk.quant.reporters import PLEXES, TAG_MODS


@pytest.mark.parametrize("plex", ISOBARIC_QUANT)
def test_each_preset_fixes_its_tag_on_lysines_and_peptide_n_termini(plex):
    settings = load_settings({"preset": plex})
    assert settings.quant == plex
    assert settings.fixed_mods == ("C:+57.021464", *TAG_MODS[plex])
    assert set(PRESETS) >= set(PLEXES)
    # Flags still win over the preset.
    assert load_settings({"preset": plex, "fixed_mods": ["C:+57.021464"]}).fixed_mods == ("C:+57.021464",)


@pytest.mark.parametrize("flags, message", [
    ({"quant": "lfq", "protein_quant": "median-polish"}, "median-polish rolls up reporter ions"),
    ({"quant": "tmt10", "min_purity": 1.5}, "--min-purity must lie from 0 to 1"),
    ({"quant": "tmt10", "reporter_tol": "-10,20ppm"}, "--reporter-tol must be symmetric"),
    ({"quant": "tmt10", "reporter_tol": "0ppm"}, "wider than 0"),
    ({"quant": "tmt12"}, "--quant must be"),
    ({"quant": "tmt10", "protein_quant": "mean"}, "--protein-quant must be"),
])
def test_unsuitable_quantification_settings_refused(flags, message):
    with pytest.raises(ConfigError, match=message):
        load_settings(flags)


def test_impurity_file_in_toml_is_relative_to_the_file(tmp_path):
    config = tmp_path / "sub" / "search.toml"
    config.parent.mkdir()
    config.write_text('[quantification]\nquant = "tmt6"\nimpurities = "lot.tsv"\nprotein_quant = "sum"\n')
    settings = load_settings(config=config)
    assert settings.impurities == config.parent / "lot.tsv" and settings.protein_quant == "sum"
    assert load_settings(config=_written(tmp_path, settings.to_toml())).impurities == settings.impurities


def _written(folder, text):
    path = folder / "again.toml"
    path.write_text(text)
    return path


def test_a_plex_without_its_tag_among_the_fixed_modifications_is_warned_about():
    from tovel_mesk.config import modification_notes

    _, warnings = modification_notes(load_settings({"quant": "tmt10"}))
    assert any("K:+229.162932 peptide-nterm:+229.162932" in w and "--preset tmt10" in w for w in warnings)
    _, warnings = modification_notes(load_settings({"quant": "tmt10", "fixed_mods": [
        "C:+57.021464", "K:+229.1629", "peptide-nterm:+229.162932"]}))
    assert not warnings
