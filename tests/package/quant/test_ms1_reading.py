"""MS1 scans kept in the reader's one pass: what reaches the store, what is left out and
why, and the spectra scored unchanged by it."""

from __future__ import annotations

import base64
import zlib

import numpy as np
import pytest

from _quant_support import Scan, write_mzml
from tovel_mesk.io.spectra import SpectraReader
from tovel_mesk.quant.ms1 import Ms1Builder


def _run(tmp_path, *, profile=False, damaged=False, name="run.mzML"):
    rng = np.random.default_rng(3)
    scans = []
    for k in range(6):
        mz = np.sort(rng.uniform(400.0, 1200.0, 50))
        intensity = rng.uniform(1e3, 1e5, 50)
        if profile:  # each centroid as three profile points
            mz = (mz[:, None] + np.array([-0.002, 0.0, 0.002])).ravel()
            intensity = (intensity[:, None] * np.array([0.25, 0.5, 0.25])).ravel()
        scans.append(Scan(f"scan={2 * k + 1}", 1, 0.1 * k, mz, intensity, profile=profile))
        ms2 = np.sort(rng.uniform(150.0, 900.0, 30))
        scans.append(Scan(f"scan={2 * k + 2}", 2, 0.1 * k + 0.05, ms2, rng.uniform(1e2, 1e4, 30), 500.25 + k, 2))
    path = write_mzml(tmp_path / name, scans)
    if damaged:  # the first MS1 scan's m/z array is no valid zlib stream
        text = path.read_text()
        good = base64.b64encode(zlib.compress(np.asarray(scans[0].mz, "<f8").tobytes())).decode()
        path.write_text(text.replace(good, base64.b64encode(b"not zlib at all").decode(), 1))
    return path, scans


def _read(path, builder=None):
    reader = SpectraReader(path, ms1=None if builder is None else builder.add)
    spectra = [(s.id, [tuple(p) for p in s.peaks]) for chunk in reader for s in chunk]
    return reader, spectra


def test_ms1_scans_reach_the_store_and_ms2_is_unchanged(tmp_path):
    path, scans = _run(tmp_path)
    plain, plain_spectra = _read(path)
    builder = Ms1Builder(path.name)
    reader, spectra = _read(path, builder)
    run = builder.finish()
    assert spectra == plain_spectra and reader.counts == plain.counts
    assert reader.counts.skipped["other_ms_level"] == 6          # still counted as not searched
    ms1 = [s for s in scans if s.level == 1]
    assert run.scans == 6 and run.scan_ids == tuple(s.id for s in ms1)
    np.testing.assert_allclose(run.rt, [s.rt_minutes for s in ms1])   # minutes, from seconds in the file
    for i, s in enumerate(ms1):
        mz, intensity = run.scan(i)
        np.testing.assert_array_equal(mz, s.mz.astype(np.float32))
        np.testing.assert_array_equal(intensity, s.intensity.astype(np.float32))
    assert not reader.ms1_left_out
    # The compact store: 8 bytes per peak and 16 per scan.
    assert run.nbytes == 8 * run.peaks + 16 * run.scans + 8
    assert run.nbytes / run.peaks <= 12


def test_profile_scans_are_centroided_on_arrival(tmp_path):
    path, scans = _run(tmp_path, profile=True)
    builder = Ms1Builder(path.name)
    _read(path, builder)
    run = builder.finish()
    mz, intensity = run.scan(0)
    truth = scans[0].mz.reshape(-1, 3)[:, 1]
    assert run.peaks == 6 * 50                              # one centroid per profile peak
    np.testing.assert_allclose(mz, truth, atol=1e-4)
    np.testing.assert_allclose(intensity, scans[0].intensity.reshape(-1, 3).sum(axis=1), rtol=1e-5)


def test_a_damaged_ms1_scan_is_left_out_and_named(tmp_path):
    path, _ = _run(tmp_path, damaged=True)
    plain, plain_spectra = _read(path)      # without the store, the scan is never decoded
    builder = Ms1Builder(path.name)
    reader, spectra = _read(path, builder)
    assert spectra == plain_spectra
    assert builder.finish().scans == 5
    assert len(reader.ms1_left_out) == 1 and reader.ms1_left_out[0].startswith("scan=1: m/z array is not valid zlib")


@pytest.mark.parametrize("fmt", ["mgf", "mzml"])
def test_search_file_keeps_ms1_only_where_the_format_has_it(tmp_path, fmt):
    from _search_support import database, peptide
    from tovel_mesk.config import SearchSettings
    from tovel_mesk.search.scoring import make_scorer, search_file

    path, scans = _run(tmp_path)
    if fmt == "mgf":
        lines = []
        for s in scans:
            if s.level == 2:
                lines += ["BEGIN IONS", f"TITLE={s.id}", f"PEPMASS={s.precursor_mz}", "CHARGE=2+",
                          *(f"{m} {i}" for m, i in zip(s.mz, s.intensity)), "END IONS"]
        path = tmp_path / "run.mgf"
        path.write_text("\n".join(lines) + "\n")
    settings = SearchSettings(threads=1)
    db = database(peptide("PEPTIDEK"), decoys=True)
    result = search_file(settings, make_scorer(settings), db, path, 0, ms1=True)
    if fmt == "mgf":
        assert result.ms1 is None
        assert result.ms1_notes == ["run.mgf: MGF files hold no MS1 scans; not quantified"]
    else:
        assert result.ms1.scans == 6 and result.ms1.file == "run.mzML" and not result.ms1_notes
    assert result.precursor_tol == settings.precursor_tol and result.precursor_error is None
    # Not asked for: nothing kept.
    assert search_file(settings, make_scorer(settings), db, path, 0).ms1 is None



def test_the_pass_that_holds_spectra_for_the_search_keeps_the_same_ms1_scans(tmp_path):
    """With calibration the sample's pass is the file's only read: the MS1 store it keeps
    must be the one a search reading the file itself would have built, damaged scan and all."""
    from tovel_mesk.config import SearchSettings
    from tovel_mesk.search.calibration import read_sample

    path, _ = _run(tmp_path, damaged=True)
    settings = SearchSettings(quant="lfq")
    drawn = read_sample(settings, path, hold=True)
    assert drawn.held is not None and drawn.held.ms1 is not None
    builder = Ms1Builder(path.name)
    reader, _ = _read(path, builder)
    direct, held = builder.finish(), drawn.held.ms1
    assert held.scan_ids == direct.scan_ids and held.scans == 5
    for name in ("rt", "offsets", "mz", "intensity"):
        np.testing.assert_array_equal(getattr(held, name), getattr(direct, name))
    assert drawn.held.ms1_left_out == reader.ms1_left_out and len(reader.ms1_left_out) == 1
    # Without quantification the holding pass keeps no MS1 scans.
    assert read_sample(SearchSettings(quant="none"), path, hold=True).held.ms1 is None
