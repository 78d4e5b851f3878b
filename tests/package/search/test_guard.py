"""The index size foreseen from the digestion settings, and the refusal of an index that
cannot fit before any memory is taken."""

from __future__ import annotations

import numpy as np
import pytest

from tovel_mesk.cli import main
from tovel_mesk.config import load_settings
from tovel_mesk.errors import ConfigError
from tovel_mesk.search import database, guard
from tovel_mesk.search.database import digest_fasta, digest_settings, prepare_database

LETTERS = "ACDEFGHIKLMNPQRSTVWY"


@pytest.fixture(scope="module")
def fasta(tmp_path_factory):
    rng = np.random.default_rng(8)
    path = tmp_path_factory.mktemp("guard") / "proteins.fasta"
    records = [f">P{i}\n{''.join(rng.choice(list(LETTERS), size=int(rng.integers(150, 400))))}\n" for i in range(60)]
    records.append(">rev_P0\nMKKKKAAAAAAAAAAAR\n")      # a decoy of the file: left out of both counts
    path.write_text("".join(records))
    return path


@pytest.mark.parametrize("changes", [
    {},
    {"remove_initiator_met": False, "missed_cleavages": 0},
    {"variable_mods": ["M:+15.994915"]},
    {"variable_mods": ["M:+15.994915", "STY:+79.966331"], "max_variable_mods": 3},
    {"variable_mods": ["Q@peptide-nterm:-17.026549", "protein-nterm:+42.010565", "peptide-cterm:+1.0"]},
    {"enzyme": "lys-n"},
    {"enzyme": "glu-c", "variable_mods": ["ST:+79.966331", "S:+42.0"]},
])
def test_estimate_bounds_the_digestion(fasta, changes):
    """The estimate counts every modified form without making them: never below what the
    digestion makes (without the mass range), and above it only by peptides that several
    proteins share."""
    settings = load_settings({"fasta": fasta, "min_mass": 0.0, "max_mass": 1e6, **changes})
    estimate = guard.estimate_index(settings, fasta.read_bytes())
    assert estimate is not None
    actual = digest_fasta(fasta, **digest_settings(settings)).peptide_count
    assert actual <= estimate.peptides <= 1.02 * actual
    assert estimate.peak_bytes > 0


def test_combinations_of_sites():
    # 3 sites of one modification, at most 2 on a peptide: 1 + 3 + 3 forms.
    assert guard._combinations([(np.array([3.0]), 1)], 2, 1).tolist() == [7.0]
    # Two modifications possible on each of 2 sites, at most 2: 1 + 4 + 4.
    assert guard._combinations([(np.array([2.0]), 2)], 2, 1).tolist() == [9.0]
    # Sites of two kinds combine: (1 + x)^2 (1 + x) = 1 + 3x + 3x^2 + x^3, at most 3: 8.
    assert guard._combinations([(np.array([2.0]), 1), (np.array([1.0]), 1)], 3, 1).tolist() == [8.0]


def test_refused_before_the_digestion(fasta, monkeypatch):
    settings = load_settings({"fasta": fasta, "variable_mods": ["STY:+79.966331", "M:+15.994915"],
                              "max_variable_mods": 10})
    monkeypatch.setattr(guard, "available_memory", lambda: 2.0 * 2**20)

    def digest(*args, **kwargs):
        raise AssertionError("the digestion ran")

    monkeypatch.setattr(database, "digest_fasta", digest)
    with pytest.raises(ConfigError) as info:
        prepare_database(settings)
    message = str(info.value)
    assert "will not fit in memory" in message and "10 variable modifications per peptide on M, STY" in message
    assert "2 MiB free" in message and "--max-variable-mods" in message


def test_the_command_names_the_cause(fasta, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(guard, "available_memory", lambda: 2.0 * 2**20)
    (tmp_path / "run.mgf").write_text("BEGIN IONS\nPEPMASS=500.0\nCHARGE=2+\n200.0 10.0\nEND IONS\n")
    status = main(["search", "--quiet", "--fasta", str(fasta), "--output", str(tmp_path / "out"),
                   "--variable-mods", "STY:+79.966331", "--max-variable-mods", "6", str(tmp_path / "run.mgf")])
    assert status == 2
    err = capsys.readouterr().err
    assert "will not fit in memory" in err and "STY" in err
    assert not (tmp_path / "out").exists()


def test_fits_when_memory_allows(fasta):
    settings = load_settings({"fasta": fasta, "variable_mods": ["M:+15.994915"]})
    estimate = guard.check_index_fits(settings, fasta.read_bytes(), available=1e12)
    assert estimate is not None and estimate.peptides > estimate.base
    assert guard.available_memory() is None or guard.available_memory() > 0
