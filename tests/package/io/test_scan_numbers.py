"""Scan numbers: read from native ids, MGF SCANS and titles, and carried per spectrum."""

from __future__ import annotations

import pytest

from _spectra_files import Ion, Scan, mgf_text, mzml_text, write
from tovel_mesk import SpectraReader
from tovel_mesk.conventions import NO_SCAN, scan_number


@pytest.mark.parametrize(("native_id", "scans", "expected"), [
    ("controllerType=0 controllerNumber=1 scan=2442", None, 2442),
    ("scan=7", None, 7),
    ("spectrum=2442", None, 2442),
    ("sample=1 period=1 cycle=3 experiment=2 scanId=55", None, 55),
    ("run.2442.2442.2", None, 2442),
    ("run.01.2442.2444.3 File:\"run.raw\", NativeID:\"x\"", None, 2442),
    ('run.100.100.2 File:"run.raw", NativeID:"controllerType=0 controllerNumber=1 scan=100"', None, 100),
    ("index=5", None, NO_SCAN),
    ("my spectrum", None, NO_SCAN),
    ("", None, NO_SCAN),
    (None, None, NO_SCAN),
    # Not a scan term: part of another key, or not a whole number.
    ("subscan=3", None, NO_SCAN),
    ("scan=12abc", None, NO_SCAN),
    # SCANS wins over the title; a range gives its first scan; a non-number is ignored.
    ("run.5.5.2", "2442", 2442),
    ("index=0", "2442-2444", 2442),
    ("run.5.5.2", "n/a", 5),
])
def test_scan_number(native_id, scans, expected):
    assert scan_number(native_id, scans) == expected


def _scan(spectrum_id: str, level: int = 2) -> Scan:
    return Scan(spectrum_id, [200.0, 300.0, 400.0], [10.0, 20.0, 30.0], ms_level=level,
                precursors=[Ion(500.0, 2)] if level == 2 else [])


def test_mzml_reader_carries_the_scan_of_each_kept_spectrum(tmp_path):
    scans = [_scan("controllerType=0 controllerNumber=1 scan=1", level=1),
             _scan("controllerType=0 controllerNumber=1 scan=2442"),
             _scan("scan=7"), _scan("index=3")]
    path = write(tmp_path / "run.mzML", mzml_text(scans))
    reader = SpectraReader(path, chunk_size=2)
    ids = [s.id for chunk in reader for s in chunk]
    assert ids == [s.id for s in scans[1:]]
    assert list(reader.scan_numbers) == [2442, 7, NO_SCAN]
    # A second pass starts over, in the same array.
    carried = reader.scan_numbers
    assert sum(len(c) for c in reader) == 3 and reader.scan_numbers is carried and len(carried) == 3


def test_a_scan_number_beyond_64_bits_counts_as_none(tmp_path):
    """The id still reads as it is; the pass does not fail on a number the array cannot hold."""
    scans = [_scan("scan=18446744073709551616"), _scan("scan=9223372036854775807")]
    path = write(tmp_path / "run.mzML", mzml_text(scans))
    reader = SpectraReader(path)
    assert [s.id for chunk in reader for s in chunk] == [s.id for s in scans]
    assert list(reader.scan_numbers) == [NO_SCAN, (1 << 63) - 1]
    text = mgf_text([_scan("run.1.1.2")]).decode().replace("TITLE=run.1.1.2\n", "TITLE=run.1.1.2\nSCANS=99999999999999999999\n")
    reader = SpectraReader(write(tmp_path / "run.mgf", text.encode()))
    assert sum(len(c) for c in reader) == 1 and list(reader.scan_numbers) == [NO_SCAN]


def test_mgf_scans_win_over_the_title(tmp_path):
    text = mgf_text([_scan("run.2442.2442.2"), _scan("scan=9"), _scan("plain title")]).decode()
    # SCANS on the second spectrum; the third has no title at all.
    text = text.replace("TITLE=scan=9\n", "TITLE=scan=9\nSCANS=31-33\n").replace("TITLE=plain title\n", "")
    path = write(tmp_path / "run.mgf", text.encode())
    reader = SpectraReader(path)
    ids = [s.id for chunk in reader for s in chunk]
    assert ids == ["run.2442.2442.2", "scan=9", "index=2"]
    assert list(reader.scan_numbers) == [2442, 31, NO_SCAN]
