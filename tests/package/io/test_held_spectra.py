"""A pass held in memory (`SpectraReader(hold=True)`) and prepared again from there gives
what a second reading of the file gives: the same spectra to the bit, the same counts and
scan numbers, the same errors, with or without a mass correction."""

from __future__ import annotations

import random
import types

import numpy as np
import pytest

from _spectra_files import Ion, Scan, mgf_text, mzml_text, sample_scans, write
from tovel_mesk import SpectraFileError, SpectraReader
from tovel_mesk.io import spectra as spectra_module
from tovel_mesk.search.calibration import Calibration, ErrorModel


def _random_scans(seed: int, n: int = 60) -> list[Scan]:
    rng = random.Random(seed)
    scans = []
    for i in range(n):
        peaks = rng.choice([0, 3, 40, 200])
        mz = [rng.choice([500.0, rng.uniform(100, 2000)]) for _ in range(peaks)]  # ties in m/z too
        intensity = [rng.choice([0.0, 5.0, rng.uniform(0, 1e4)]) for _ in range(peaks)]
        precursors = [] if rng.random() < 0.1 else [Ion(rng.uniform(300, 1500), rng.choice([None, 2, 3]))]
        scans.append(Scan(f"scan={i + 1}", mz, intensity, ms_level=1 if rng.random() < 0.2 else 2,
                          precursors=precursors, rt_seconds=rng.uniform(0, 5000)))
    return scans


@pytest.fixture(autouse=True)
def _spectra_as_tuples(monkeypatch):
    """The reader's spectra as tuples of every argument the core would be given (the peak
    arrays as bytes), so that two passes compare to the bit."""
    fake = types.SimpleNamespace(
        PyProcessedSpectrum=lambda id, file_id, rt, mz, intensity, precursors, tic: (
            id, file_id, rt, mz.dtype.str, mz.tobytes(), intensity.dtype.str, intensity.tobytes(), precursors, tic),
        PyPrecursor=lambda *arguments: arguments,
        PyTolerance=types.SimpleNamespace(Da=lambda lower, upper: ("Da", lower, upper)))
    monkeypatch.setattr(spectra_module, "tm", fake)


def _spectra(reader: SpectraReader) -> list[tuple]:
    return [spectrum for chunk in reader for spectrum in chunk]


CORRECTION = Calibration(ErrorModel(4.0, (10.0, 50.0), (-2.0, 3.0), 1.5, 800.0),
                         ErrorModel(-3.0, (), (), 2.0, 600.0))


@pytest.mark.parametrize("kind", ["mzml-zlib", "mzml-32bit", "mgf", "sample"])
@pytest.mark.parametrize("calibration", [None, CORRECTION])
def test_held_pass_prepares_what_a_second_reading_prepares(tmp_path, kind, calibration):
    scans = sample_scans() if kind == "sample" else _random_scans(len(kind))
    if kind == "mgf":
        path = write(tmp_path / "run.mgf", mgf_text([s for s in scans if s.ms_level == 2 and s.precursors]))
    else:
        path = write(tmp_path / "run.mzML", mzml_text(scans, compress=kind != "mzml-32bit",
                                                       mz_bits=32 if kind == "mzml-32bit" else 64))
    options = dict(top_peaks=50, chunk_size=7, file_id=3)
    first = SpectraReader(path, hold=True, **options)
    uncorrected = _spectra(first)
    assert first.held is not None and not first.hold_refused and first.held.nbytes > 0
    replay = SpectraReader(path, held=first.held, calibration=calibration, **options)
    again = SpectraReader(path, calibration=calibration, **options)
    assert _spectra(replay) == _spectra(again)
    assert (replay.counts, replay.total, list(replay.scan_numbers)) == \
        (again.counts, again.total, list(again.scan_numbers))
    if calibration is None:
        assert uncorrected == _spectra(again)
    path.unlink()  # the held pass reads nothing from the file any more
    assert len(_spectra(SpectraReader(path, held=first.held, **options))) == first.counts.kept


def test_a_file_beyond_the_limit_is_not_held(tmp_path):
    path = write(tmp_path / "run.mzML", mzml_text(_random_scans(1)))
    reader = SpectraReader(path, hold=True, hold_bytes=5000)
    spectra = _spectra(reader)
    assert reader.held is None and reader.hold_refused
    assert spectra == _spectra(SpectraReader(path))
    unheld = SpectraReader(path)
    _spectra(unheld)
    assert unheld.held is None and not unheld.hold_refused


def test_a_damaged_array_fails_the_held_pass_where_it_fails_the_file(tmp_path):
    scans = [Scan(f"scan={i}", [100.0, 200.0], [1.0, 2.0], precursors=[Ion(500.0, 2)]) for i in (1, 2, 3)]
    # scan=2 has no searchable precursor (its m/z is not positive): its bad array is never
    # decoded, so it fails neither pass; scan=3's bad array fails both, by name.
    scans[1].precursors[0] = Ion(-5.0, 2)
    data = mzml_text(scans, compress=True)
    for spectrum in (b'id="scan=2"', b'id="scan=3"'):
        start = data.index(b"<binary>", data.index(spectrum)) + len(b"<binary>")
        data = data[:start + 4] + b"AAAA" + data[start + 8:]
    path = write(tmp_path / "bad.mzML", data)
    errors = []
    for hold in (False, True):
        reader = SpectraReader(path, hold=hold)
        with pytest.raises(SpectraFileError) as info:
            _spectra(reader)
        errors.append(str(info.value))
        assert info.value.spectrum == "scan=3"
    assert errors[0] == errors[1]
    held = SpectraReader(path, hold=True, chunk_size=1)
    first = next(iter(held))
    assert [s[0] for s in first] == ["scan=1"]


def test_held_spectra_of_another_file_are_refused(tmp_path):
    path = write(tmp_path / "a.mzML", mzml_text(sample_scans()))
    reader = SpectraReader(path, hold=True)
    _spectra(reader)
    with pytest.raises(ValueError, match="held spectra of"):
        SpectraReader(tmp_path / "b.mzML", held=reader.held)
