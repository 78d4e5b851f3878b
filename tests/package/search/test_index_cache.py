"""The persistent index cache: a mapped index searches exactly as the built one; damaged,
truncated and other-version entries are not used; concurrent writers, eviction and a
cache folder that cannot be written."""

from __future__ import annotations

import dataclasses
import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

from _cluster_support import write_inputs
import synthetic  # noqa: I001 - on the path that _cluster_support sets
from tovel_mesk import _native
from tovel_mesk.config import ConfigError, SearchSettings, format_size, load_settings, parse_size
from tovel_mesk.progress import Progress
from tovel_mesk.search import index_cache
from tovel_mesk.search.database import (build_database, digest_fasta, index_key, peptide_proteins, prepare_database,
                                        proforma)
from tovel_mesk.search.scoring import make_scorer, search_file


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cache-inputs")
    fasta, runs = write_inputs(folder, runs=1, spectra=60)
    return fasta, runs[0]


def settings_for(fasta: Path, cache: Path, **changes) -> SearchSettings:
    values = {"fasta": fasta, "index_cache": cache, "preset": "ion-trap", "threads": 1, "calibration": False}
    values.update(changes)
    return load_settings(values)


def prepare(settings: SearchSettings):
    progress = Progress(False)
    db, counts = prepare_database(settings, progress)
    return db, counts, progress.messages


def entry_of(cache: Path) -> Path:
    (entry,) = [p for p in cache.iterdir() if p.suffix == ".tmidx"]
    return entry


def same_columns(a: dict, b: dict) -> None:
    assert a.keys() == b.keys()
    for name in a.keys() - {"psm_id"}:  # psm_id counts the matches of the process
        x, y = np.asarray(a[name]), np.asarray(b[name])
        if x.dtype.kind in "fiub":
            assert x.dtype == y.dtype and x.tobytes() == y.tobytes(), name
        else:
            assert x.tolist() == y.tolist(), name


# ---------------------------------------------------------------- round trip

def test_a_mapped_index_is_the_built_one_bit_for_bit(tmp_path):
    """Random proteomes and index settings: every peptide's text and accessions, every
    indexed fragment and the search results of the mapped index equal the built one's."""
    rng = np.random.default_rng(7)
    for case in range(4):
        proteins = synthetic.random_proteome(int(rng.integers(5, 40)), seed=int(rng.integers(1 << 30)))
        fasta = tmp_path / f"p{case}.fasta"
        fasta.write_text("".join(f">P{i} protein {i}\n{p}\n" for i, p in enumerate(proteins)))
        variable = ["M:+15.994915"] if rng.random() < 0.5 else []
        digest = digest_fasta(fasta, variable_mods=variable, missed_cleavages=int(rng.integers(0, 3)),
                              fixed_mods=["C:+57.021464", "peptide-nterm:+0.5"] if case == 3 else ["C:+57.021464"])
        listed = bool(case % 2)
        built = build_database(digest, bucket_size=int(rng.choice([3, 64, 8192])), fragment_list=listed,
                               decoy_tag="rev_" if case else "DECOY_")
        path = tmp_path / f"e{case}.tmidx"
        _native.write_index(built, os.fsencode(path), b'{"case": %d}' % case)
        status, mapped, metadata, size = _native.map_index(os.fsencode(path))
        assert status == "ok" and json.loads(metadata) == {"case": case} and size == path.stat().st_size
        assert _native.index_storage(mapped) == "mapped" and _native.index_storage(built) == "built"
        assert _native.database_layout(mapped) == _native.database_layout(built)
        count = _native.database_layout(built)[0]
        assert [proforma(mapped, i) for i in range(count)] == [proforma(built, i) for i in range(count)]
        assert [peptide_proteins(mapped, i) for i in range(count)] == [peptide_proteins(built, i) for i in range(count)]
        pairs = np.array(built.debug_fragment_summary(), dtype=np.float32)
        assert pairs.tobytes() == np.array(mapped.debug_fragment_summary(), dtype=np.float32).tobytes()
        del built  # the mapped index stands on its own


def test_search_results_of_a_cached_index_equal_a_built_one(inputs, tmp_path):
    """Randomized index and search settings: the matches of a search on the index mapped
    from the cache equal, bit for bit, those on the index built in memory."""
    fasta, run = inputs
    rng = np.random.default_rng(23)
    cases = [{}, {"fragment_list": "on", "bucket_size": 256}]
    for _ in range(3):
        cases.append({"fragment_list": str(rng.choice(["on", "off", "auto"])),
                      "bucket_size": int(rng.choice([16, 1024, 8192])),
                      "missed_cleavages": int(rng.integers(0, 3)),
                      "variable_mods": ["M:+15.994915"] if rng.random() < 0.5 else [],
                      "precursor_tol": str(rng.choice(["10ppm", "50ppm", "1da"])),
                      "wide_window": bool(rng.random() < 0.3), "chimera": bool(rng.random() < 0.3)})
    for changes in cases:
        settings = settings_for(fasta, tmp_path / "cache", **changes)
        built, counts, _ = prepare(dataclasses.replace(settings, index_cache="off"))
        assert counts["index_cache"]["status"] == "off"
        stored, stored_counts, _ = prepare(settings)
        cached, cached_counts, _ = prepare(settings)
        assert stored_counts["index_cache"]["status"] == "stored"
        assert cached_counts["index_cache"]["status"] == "hit"
        assert _native.index_storage(cached) == "mapped"
        strip = lambda c: {k: v for k, v in c.items() if k != "index_cache"}  # noqa: E731
        assert strip(cached_counts) == strip(counts) == strip(stored_counts)
        results = [search_file(settings, make_scorer(settings), db, run, 0).columns for db in (built, cached)]
        assert len(results[0]["peptide_idx"]) > 0
        same_columns(*results)


def test_the_key_covers_the_fasta_bytes_and_the_index_settings(inputs, tmp_path):
    fasta, _ = inputs
    settings = settings_for(fasta, tmp_path / "cache")
    key = index_key(settings, "ab" * 32)
    assert index_key(settings, "cd" * 32) != key
    assert index_key(dataclasses.replace(settings, missed_cleavages=1), "ab" * 32) != key
    assert index_key(dataclasses.replace(settings, threads=2, fdr=0.05), "ab" * 32) == key
    copy = tmp_path / "copy.fasta"
    copy.write_bytes(fasta.read_bytes())
    assert index_cache.fasta_fingerprint(copy) == index_cache.fasta_fingerprint(fasta)
    data = bytearray(fasta.read_bytes())
    data[len(data) // 2] ^= 1
    copy.write_bytes(bytes(data))
    assert index_cache.fasta_fingerprint(copy) != index_cache.fasta_fingerprint(fasta)
    copy.write_bytes(fasta.read_bytes() + b">X extra\nPEPTIDEK\n")
    assert index_cache.fasta_fingerprint(copy) != index_cache.fasta_fingerprint(fasta)


# ---------------------------------------------------------------- damaged and foreign entries

def _flip_payload_byte(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[len(data) - 100] ^= 0x40
    path.write_bytes(bytes(data))


def _truncate(path: Path) -> None:
    with open(path, "r+b") as f:
        f.truncate(path.stat().st_size // 2)


def _break_magic(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[0:4] = b"XXXX"
    path.write_bytes(bytes(data))


def _break_header(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[70] ^= 0x01  # the section table, covered by the header's checksum
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("damage, reason", [(_flip_payload_byte, "checksum mismatch in payload block"),
                                            (_truncate, "truncated"), (_break_magic, "not an index file"),
                                            (_break_header, "header checksum mismatch")])
def test_a_damaged_entry_is_rebuilt_and_reported(inputs, tmp_path, damage, reason):
    fasta, _ = inputs
    settings = settings_for(fasta, tmp_path / "cache")
    reference, _, _ = prepare(settings)
    entry = entry_of(tmp_path / "cache")
    damage(entry)
    db, counts, messages = prepare(settings)
    record = counts["index_cache"]
    assert record["status"] == "rebuilt" and reason in record["reason"] and entry.name in record["reason"]
    assert any(m.startswith("warning: index cache: the cached index was damaged") for m in messages)
    assert _native.index_storage(db) == "built"
    assert _native.database_layout(db) == _native.database_layout(reference)
    # The rebuilt entry replaced the damaged one and serves the next search.
    _, counts, _ = prepare(settings)
    assert counts["index_cache"]["status"] == "hit"
    assert [p.name for p in (tmp_path / "cache").iterdir()] == [entry.name]


def test_an_entry_of_another_format_version_is_ignored_and_replaced(inputs, tmp_path):
    fasta, _ = inputs
    settings = settings_for(fasta, tmp_path / "cache")
    prepare(settings)
    entry = entry_of(tmp_path / "cache")
    data = bytearray(entry.read_bytes())
    data[8:12] = (99).to_bytes(4, "little")  # the format version
    entry.write_bytes(bytes(data))
    status, message, _, _ = _native.map_index(os.fsencode(entry))
    assert status == "other-version" and "index file format 99" in message
    _, counts, messages = prepare(settings)
    assert counts["index_cache"]["status"] == "stored" and not any(m.startswith("warning") for m in messages)
    _, counts, _ = prepare(settings)
    assert counts["index_cache"]["status"] == "hit"


def test_another_cache_format_keys_another_entry(inputs, tmp_path, monkeypatch):
    fasta, _ = inputs
    settings = settings_for(fasta, tmp_path / "cache")
    prepare(settings)
    monkeypatch.setattr(index_cache, "CACHE_FORMAT", index_cache.CACHE_FORMAT + 1)
    _, counts, _ = prepare(settings)
    assert counts["index_cache"]["status"] == "stored"
    assert len(list((tmp_path / "cache").glob("*.tmidx"))) == 2


# ---------------------------------------------------------------- concurrency, eviction, failures

def test_two_processes_filling_one_entry_at_once_both_succeed(inputs, tmp_path):
    fasta, _ = inputs
    cache = tmp_path / "cache"
    start = tmp_path / "start"
    script = textwrap.dedent(f"""
        import json, os, sys, time
        from tovel_mesk.config import load_settings
        from tovel_mesk.search.database import prepare_database
        settings = load_settings({{"fasta": {str(fasta)!r}, "index_cache": {str(cache)!r}, "preset": "ion-trap",
                                   "variable_mods": ["M:+15.994915"], "fragment_list": "on", "threads": 1}})
        while not os.path.exists({str(start)!r}):  # both start building together
            time.sleep(0.01)
        db, counts = prepare_database(settings)
        print(json.dumps(counts["index_cache"]))
    """)
    workers = [subprocess.Popen([sys.executable, "-P", "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True) for _ in range(2)]
    start.touch()
    results = [w.communicate(timeout=300) for w in workers]
    assert [w.returncode for w in workers] == [0, 0], [err for _, err in results]
    statuses = [json.loads(out)["status"] for out, _ in results]
    assert set(statuses) <= {"stored", "hit"} and "stored" in statuses
    # One whole entry, no temporary file left, and it serves the next search.
    assert [p.suffix for p in cache.iterdir()] == [".tmidx"]
    _, counts, _ = prepare(settings_for(fasta, cache, variable_mods=["M:+15.994915"], fragment_list="on"))
    assert counts["index_cache"]["status"] == "hit"


def test_least_recently_used_entries_are_evicted_to_the_size_limit(inputs, tmp_path):
    fasta, _ = inputs
    cache = tmp_path / "cache"
    shapes = [{"missed_cleavages": 0}, {"missed_cleavages": 1}, {"missed_cleavages": 2}]
    sizes = []
    for shape in shapes:
        _, counts, _ = prepare(settings_for(fasta, tmp_path / "sizes", **shape))
        sizes.append(counts["index_cache"]["entry_bytes"])
    limit = sizes[0] + sizes[2] + sizes[1] // 2  # room for the first and the third, not all three
    first = prepare(settings_for(fasta, cache, index_cache_size=limit, **shapes[0]))[1]["index_cache"]["entry"]
    second = prepare(settings_for(fasta, cache, index_cache_size=limit, **shapes[1]))[1]["index_cache"]["entry"]
    # The first entry is used again after the second was stored: the second is the least recent.
    old = time.time() - 1000
    os.utime(cache / first, (old, old))
    os.utime(cache / second, (old + 10, old + 10))
    assert prepare(settings_for(fasta, cache, index_cache_size=limit, **shapes[0]))[1]["index_cache"]["status"] == "hit"
    record = prepare(settings_for(fasta, cache, index_cache_size=limit, **shapes[2]))[1]["index_cache"]
    assert record["status"] == "stored" and record["evicted"] == [second]
    assert sorted(p.name for p in cache.iterdir()) == sorted([first, record["entry"]])
    assert sum(p.stat().st_size for p in cache.iterdir()) <= limit
    # An index larger than the whole limit is not stored, and the search goes on.
    _, counts, messages = prepare(settings_for(fasta, cache, index_cache_size=1000, **shapes[1]))
    assert counts["index_cache"]["status"] == "not-stored" and "more than --index-cache-size" in \
        counts["index_cache"]["reason"]
    assert any("the index was not stored" in m for m in messages)
    assert sorted(p.name for p in cache.iterdir()) == sorted([first, record["entry"]])


def test_a_cache_folder_that_cannot_be_written_leaves_the_search_without_it(inputs, tmp_path):
    fasta, _ = inputs
    blocker = tmp_path / "a-file"
    blocker.write_text("not a folder")
    db, counts, messages = prepare(settings_for(fasta, blocker / "cache"))
    assert counts["index_cache"]["status"] == "not-stored" and str(blocker) in counts["index_cache"]["reason"]
    assert counts["indexed_peptides"] == _native.database_layout(db)[0] > 0
    assert any(m.startswith("warning: index cache: the index was not stored") for m in messages)


def test_the_cache_off_writes_nothing(inputs, tmp_path, monkeypatch):
    fasta, _ = inputs
    monkeypatch.setenv("TOVEL_MESK_INDEX_CACHE", str(tmp_path / "default"))
    _, counts, _ = prepare(settings_for(fasta, "off"))
    assert counts["index_cache"]["status"] == "off" and not (tmp_path / "default").exists()
    _, counts, _ = prepare(settings_for(fasta, "auto"))
    assert counts["index_cache"]["status"] == "stored" and counts["index_cache"]["folder"] == str(tmp_path / "default")


def test_the_tests_never_use_the_users_cache_folder(tmp_path_factory):
    assert index_cache.default_cache_folder().is_relative_to(tmp_path_factory.getbasetemp())


def test_default_folder_follows_the_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("TOVEL_MESK_INDEX_CACHE", str(tmp_path / "x"))
    assert index_cache.default_cache_folder() == tmp_path / "x"
    monkeypatch.delenv("TOVEL_MESK_INDEX_CACHE")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    if sys.platform.startswith("linux"):
        assert index_cache.default_cache_folder() == tmp_path / "xdg" / "tovel-mesk" / "index"


# ---------------------------------------------------------------- settings

def test_cache_settings_read_and_write_back(tmp_path):
    assert parse_size("8GiB") == 8 << 30 and parse_size("500MB") == 500_000_000 and parse_size("1.5k") == 1500
    assert parse_size(" 2 mib ") == 2 << 20 and parse_size(4096) == 4096 and parse_size("12") == 12
    for bad in ("", "8 GiBs", "-1GB", "GB", "1e3"):
        with pytest.raises(ConfigError, match="--index-cache-size"):
            load_settings({"index_cache_size": bad})
    with pytest.raises(ConfigError, match="at least 1 byte"):
        load_settings({"index_cache_size": 0})
    assert format_size(8 << 30) == "8GiB" and parse_size(format_size(3 << 20)) == 3 << 20
    defaults = SearchSettings()
    assert defaults.index_cache == "auto" and defaults.index_cache_size == 8 << 30
    assert load_settings({"index_cache": "off"}).index_cache == "off"
    assert load_settings({"index_cache": "OFF "}).index_cache == "off"
    settings = load_settings({"index_cache": str(tmp_path / "c"), "index_cache_size": "2GiB"})
    assert settings.index_cache == tmp_path / "c" and settings.index_cache_size == 2 << 30
    toml = tmp_path / "s.toml"
    toml.write_text(settings.to_toml())
    assert load_settings(config=toml) == settings
    toml.write_text('[run]\nindex_cache = "relative"\nindex_cache_size = "1GB"\n')
    read = load_settings(config=toml)
    assert read.index_cache == tmp_path / "relative" and read.index_cache_size == 10**9
    worker = load_settings({"fasta": "p.fasta", "index_cache": "rel"}).for_worker()
    assert Path(worker.index_cache).is_absolute()
