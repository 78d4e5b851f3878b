"""Spectra files that once gave wrong results or unnamed errors: precursor values beyond what
the core holds or the search takes, arrays of different lengths, spectra beyond libxml2's
usual text limit, files that change while they are read, files without spectra, byte-order
marks and CR line ends, and titles too long for a message."""

from __future__ import annotations

import base64
import os
import re
import tracemalloc

import numpy as np
import pytest

from _spectra_files import PROTON, Ion, Scan, mgf_text, mzml_text, write
from tovel_mesk import SpectraFileError, SpectraReader, make_spectrum


def read_all(path, **options):
    reader = SpectraReader(path, **options)
    return reader, [spectrum for chunk in reader for spectrum in chunk]


def read_error(path, **options) -> SpectraFileError:
    with pytest.raises(SpectraFileError) as info:
        read_all(path, **options)
    assert str(info.value).startswith(str(path))
    return info.value


def written(tmp_path, kind: str, scans: list[Scan]):
    data = mzml_text(scans) if kind == "mzml" else mgf_text(scans)
    return write(tmp_path / f"run.{'mzML' if kind == 'mzml' else 'mgf'}", data)


# ---- precursors that cannot be searched are counted, not searched ----

@pytest.mark.parametrize("kind", ["mzml", "mgf"])
def test_unsearchable_precursors_are_skipped_by_reason(tmp_path, kind):
    def scan(name, mz, charge):
        return Scan(name, [100.0, 200.0], [1.0, 2.0], precursors=[Ion(mz, charge)])

    scans = [scan("ok", 500.0, 2),
             scan("overflow", 1e308, 2),     # finite as a double, infinite in 32 bits
             scan("zero", 0.0, 2), scan("negative", -5.0, 2),
             scan("underflow", 1e-50, 2),    # positive as a double, zero in 32 bits
             scan("charge-200", 500.0, 200), scan("charge-300", 500.0, 300),
             scan("ok-too", 3.4e38, 3)]      # the largest values still fit
    reader, spectra = read_all(written(tmp_path, kind, scans))
    assert [s.id for s in spectra] == ["ok", "ok-too"]
    assert reader.counts.skipped == {"other_ms_level": 0, "no_precursor": 0, "precursor_mz": 4,
                                     "precursor_charge": 2, "no_peaks": 0}
    assert str(reader.counts) == ("8 spectra read, 2 kept; skipped: 4 with a precursor m/z that is not positive "
                                  "and finite, 2 with a precursor charge above the highest searched")

    reader, spectra = read_all(written(tmp_path, kind, scans), max_charge=2)
    assert [s.id for s in spectra] == ["ok"] and reader.counts.skipped["precursor_charge"] == 3


def test_a_spectrum_keeps_its_searchable_precursors(tmp_path):
    scans = [Scan("two", [100.0], [1.0], precursors=[Ion(1e39, 2), Ion(600.0, 3)]),
             Scan("none", [100.0], [1.0], precursors=[Ion(1e39, 2), Ion(600.0, 250)])]
    reader, (spectrum,) = read_all(write(tmp_path / "two.mzML", mzml_text(scans)))
    assert [(p.mz, p.charge) for p in spectrum.precursors] == [(600.0, 3)]
    assert reader.counts.skipped["precursor_mz"] == 1  # the first reason met


@pytest.mark.parametrize("arguments, message", [
    ({"precursor_mz": 1e308}, "precursor_mz must be positive and finite as a 32-bit float"),
    ({"precursor_mz": 0.0}, "precursor_mz must be positive"),
    ({"precursor_mz": 1e-50}, "precursor_mz must be positive"),
    ({"precursor_mz": float("nan")}, "precursor_mz must be positive"),
    ({"precursor_intensity": 1e300}, "precursor_intensity 1e+300 lies beyond the range of 32-bit floats"),
    ({"rt": -1e300}, "rt -1e+300 lies beyond"),
    ({"total_ion_current": 1e39}, "total_ion_current 1e+39 lies beyond"),
    ({"isolation_window": (499.0, 1e300)}, "isolation window upper offset"),
])
def test_make_spectrum_refuses_values_the_core_cannot_hold(arguments, message):
    values = {"precursor_mz": 500.0, **arguments}
    with pytest.raises(ValueError, match=re.escape(message)):
        make_spectrum([100.0], [1.0], **values)


def test_make_spectrum_keeps_values_that_fit():
    spectrum = make_spectrum([100.0], [1.0], 3.4e38, rt=float("nan"), total_ion_current=float("inf"))
    assert spectrum.precursors[0].mz == np.float32(3.4e38)


# ---- every error names the file and the spectrum ----

def test_arrays_of_different_stated_lengths(tmp_path):
    data = mzml_text([Scan("scan=1", [100.0, 200.0, 300.0], [1.0, 2.0, 3.0], precursors=[Ion(500.0, 2)])])
    intensity = data.index(b"<binaryDataArray ", data.index(b"<binaryDataArray ") + 1)
    four = base64.b64encode(np.ones(4, "<f4").tobytes())
    data = data[:intensity] + b'<binaryDataArray arrayLength="4" ' + data[intensity + len(b"<binaryDataArray "):]
    start = data.index(b"<binary>", intensity) + len(b"<binary>")
    data = data[:start] + four + data[data.index(b"</binary>", start):]
    error = read_error(write(tmp_path / "lengths.mzML", data))
    assert error.spectrum == "scan=1"
    assert "m/z array holds 3 values and its intensity array 4" in error.reason


def test_long_titles_are_cut_in_messages(tmp_path):
    title = "spectrum " * 1000
    error = read_error(write(tmp_path / "long.mgf", f"BEGIN IONS\nTITLE={title}\nPEPMASS=five\n100 1\nEND IONS\n".encode()))
    assert error.spectrum == title.strip()
    assert len(str(error)) < 300 and "(8,999 characters)" in str(error)


# ---- large spectra ----

def test_a_spectrum_beyond_the_usual_xml_text_limit_is_read(tmp_path):
    # A million 64-bit m/z values: 10.7 MB of base64 in one text node (libxml2 refuses more
    # than 10 MB unless told otherwise).
    rng = np.random.default_rng(2)
    mz, intensity = rng.uniform(100, 2000, 1_000_000), rng.uniform(1, 1e6, 1_000_000)
    scan = Scan("profile", mz, intensity, precursors=[Ion(800.0, 2)])
    path = write(tmp_path / "large.mzML", mzml_text([scan], mz_bits=64, intensity_bits=32))
    array_bytes = mz.size * (8 + 4)
    tracemalloc.start()
    try:
        _, (spectrum,) = read_all(path, top_peaks=150)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # The 150 most intense in 32 bits (the lower m/z first among equals), as the core gets them.
    mz32, intensity32 = (mz - PROTON).astype(np.float32), intensity.astype(np.float32)
    strongest = np.lexsort((mz32, -intensity32))[:150]
    expected = sorted(zip(mz32[strongest].tolist(), intensity32[strongest].tolist()))
    assert spectrum.peaks == expected
    # One spectrum's text and arrays, a few times over: bounded by the spectrum, not the file.
    assert peak < 8 * array_bytes, f"peak {peak} bytes for {array_bytes} bytes of arrays"


# ---- files that change while they are read ----

def three_scans():
    return [Scan(f"s{n}", [100.0 + n], [1.0], precursors=[Ion(500.0 + n, 2)]) for n in range(3)]


@pytest.mark.parametrize("kind", ["mzml", "mgf"])
def test_a_file_growing_while_it_is_read_fails(tmp_path, kind):
    path = written(tmp_path, kind, three_scans())
    chunks = iter(SpectraReader(path, chunk_size=1))
    next(chunks)
    with open(path, "ab") as more:
        more.write(b"\n")
    with pytest.raises(SpectraFileError, match="the file changed while it was read") as info:
        list(chunks)
    assert info.value.path == str(path)


def test_a_file_rewritten_in_place_to_the_same_size_fails(tmp_path):
    path = written(tmp_path, "mgf", three_scans())
    reader = SpectraReader(path, chunk_size=1)
    chunks = iter(reader)
    next(chunks)
    stat = os.stat(path)
    with open(path, "r+b") as rewrite:
        rewrite.write(path.read_bytes().replace(b"TITLE=s2", b"TITLE=s9"))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 2_000_000_000))
    with pytest.raises(SpectraFileError, match=r"changed while it was read \(size .* modification time changed"):
        list(chunks)
    # Read again once it holds still, it is read whole.
    assert [s.id for chunk in reader for s in chunk] == ["s0", "s1", "s9"]


# ---- files without spectra, byte-order marks, line ends ----

@pytest.mark.parametrize("text", [b"", b"\n \n", b"# comments only\nCHARGE=2+\n"])
def test_an_mgf_without_spectra_is_refused(tmp_path, text):
    for name in ("empty.mgf", "empty"):
        error = read_error(write(tmp_path / name, text))
        assert error.spectrum is None and "holds no spectrum" in error.reason


@pytest.mark.parametrize("bom, newline", [(True, "\n"), (False, "\r"), (True, "\r"), (True, "\r\n")])
def test_mgf_byte_order_mark_and_line_ends(tmp_path, bom, newline):
    scans = three_scans()
    plain = [(s.id, s.peaks, s.precursors[0].mz) for s in read_all(written(tmp_path, "mgf", scans))[1]]
    data = (b"\xef\xbb\xbf" if bom else b"") + mgf_text(scans, header="CHARGE=2+", newline=newline)
    for name in ("other.mgf", "other"):
        _, spectra = read_all(write(tmp_path / name, data))
        assert [(s.id, s.peaks, s.precursors[0].mz) for s in spectra] == plain


def test_mzml_with_a_byte_order_mark_is_recognised_by_content(tmp_path):
    _, spectra = read_all(write(tmp_path / "run", b"\xef\xbb\xbf" + mzml_text(three_scans())))
    assert [s.id for s in spectra] == ["s0", "s1", "s2"]
