"""The index cache seen from the command: a second search is served from the cache with the
same tables; a damaged entry is rebuilt and said so on the console, in summary.json and in
the report; --no-index-cache and the cache settings in `config --show` and `--help`."""

from __future__ import annotations

import json

import pytest

from _cluster_support import write_inputs
from tovel_mesk import cli

FLAGS = ["--threads", "1", "--preset", "ion-trap", "--precursor-tol", "50ppm", "--no-calibration"]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cache-command")
    fasta, runs = write_inputs(folder, runs=1, spectra=50)
    return fasta, runs


def search(fasta, runs, out, *flags):
    status = cli.main(["search", "--fasta", str(fasta), "--output", str(out), *FLAGS, *flags, *map(str, runs)])
    assert status == 0
    return json.loads((out / "summary.json").read_text())


def test_a_second_search_is_served_from_the_cache(inputs, tmp_path, capfd):
    fasta, runs = inputs
    cache = tmp_path / "cache"
    first = search(fasta, runs, tmp_path / "a", "--index-cache", str(cache))
    assert first["index_cache"]["status"] == "stored"
    assert "index: built and stored in the cache" in capfd.readouterr().err
    second = search(fasta, runs, tmp_path / "b", "--index-cache", str(cache))
    record = second["index_cache"]
    assert record["status"] == "hit" and record["folder"] == str(cache)
    assert "index: from the cache" in capfd.readouterr().err
    assert second["stages"]["digest"] == 0.0
    assert "Index: mapped from the index cache" in (tmp_path / "b" / "report.html").read_text()
    assert (tmp_path / "a" / "psms.tsv").read_bytes() == (tmp_path / "b" / "psms.tsv").read_bytes()
    assert (tmp_path / "a" / "proteins.tsv").read_bytes() == (tmp_path / "b" / "proteins.tsv").read_bytes()
    assert first["database"] == second["database"]

    # A damaged entry: rebuilt, the same tables, and said so everywhere.
    (entry,) = cache.glob("*.tmidx")
    data = bytearray(entry.read_bytes())
    data[-10] ^= 0xFF
    entry.write_bytes(bytes(data))
    third = search(fasta, runs, tmp_path / "c", "--index-cache", str(cache))
    record = third["index_cache"]
    assert record["status"] == "rebuilt" and "checksum mismatch" in record["reason"]
    assert any("the cached index was damaged" in w for w in third["warnings"])
    assert "warning: index cache: the cached index was damaged" in capfd.readouterr().err
    report = (tmp_path / "c" / "report.html").read_text()
    assert "Index: rebuilt, because the cached index was damaged" in report
    assert (tmp_path / "a" / "psms.tsv").read_bytes() == (tmp_path / "c" / "psms.tsv").read_bytes()


def test_no_index_cache_builds_and_stores_nothing(inputs, tmp_path, monkeypatch):
    fasta, runs = inputs
    monkeypatch.setenv("TOVEL_MESK_INDEX_CACHE", str(tmp_path / "default"))
    summary = search(fasta, runs, tmp_path / "out", "--no-index-cache")
    assert summary["index_cache"]["status"] == "off"
    assert summary["settings"]["index_cache"] == "off"
    assert not (tmp_path / "default").exists()
    assert "Index: built (the index cache is off)" in (tmp_path / "out" / "report.html").read_text()


def test_cache_settings_in_help_and_config_show(tmp_path, capsys):
    with pytest.raises(SystemExit):
        cli.main(["search", "--help"])
    text = capsys.readouterr().out
    for flag in ("--index-cache DIR", "--no-index-cache", "--index-cache-size SIZE", "(default: 8GiB)"):
        assert flag in text
    assert cli.main(["config", "--show", "--index-cache", str(tmp_path / "c"), "--index-cache-size", "500MB"]) == 0
    shown = capsys.readouterr().out
    assert f'index_cache = "{tmp_path / "c"}"' in shown and "index_cache_size = 500000000" in shown
    assert cli.main(["config", "--show", "--no-index-cache"]) == 0
    assert 'index_cache = "off"' in capsys.readouterr().out
    assert cli.main(["search", "--index-cache-size", "lots", "--fasta", "x.fasta", "--output", str(tmp_path)]) == 2
    assert "--index-cache-size must be a size" in capsys.readouterr().err
