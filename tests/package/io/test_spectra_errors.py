"""Bad spectra files and bad arguments: each a clear error that names the file and the
spectrum, never a crash, a wrong result or silent loss."""

from __future__ import annotations

import gzip

import pytest

from _spectra_files import Ion, Scan, mgf_text, mzml_text, sample_scans, write
from tovel_mesk import SpectraFileError, SpectraReader


def read_error(path, **options) -> SpectraFileError:
    with pytest.raises(SpectraFileError) as info:
        for _ in SpectraReader(path, **options):
            pass
    error = info.value
    assert isinstance(error, ValueError)
    assert str(error).startswith(str(path))
    return error


def two_ms2_scans():
    return [Scan("scan=1", [100.0, 200.0], [1.0, 2.0], precursors=[Ion(500.0, 2)]),
            Scan("scan=2", [100.0, 200.0], [1.0, 2.0], precursors=[Ion(600.0, 2)])]


@pytest.mark.parametrize("indexed", [True, False])
@pytest.mark.parametrize("cut_inside", ["<binary>", "</binaryDataArray>", "<selectedIon>"])
def test_mzml_truncated_inside_a_spectrum(tmp_path, indexed, cut_inside):
    data = mzml_text(two_ms2_scans(), indexed=indexed)
    second = data.index(b'id="scan=2"')
    cut = data.index(cut_inside.encode(), second) + len(cut_inside) + 3
    error = read_error(write(tmp_path / "cut.mzML", data[:cut]))
    assert error.spectrum == "scan=2"
    assert "malformed XML" in error.reason


def test_mzml_truncated_between_spectra_names_the_last_one_read(tmp_path):
    data = mzml_text(two_ms2_scans(), indexed=False)
    error = read_error(write(tmp_path / "cut.mzML", data[:data.index(b"</spectrumList>")]))
    assert error.spectrum is None and "after spectrum 'scan=2'" in str(error)


@pytest.mark.parametrize("offset, message", [(1, "holds 2 values where the spectrum declares 3"),
                                             (-1, "holds 2 values where the spectrum declares 1")])
@pytest.mark.parametrize("compress", [False, True])
def test_mzml_arrays_of_the_wrong_length(tmp_path, offset, message, compress):
    path = write(tmp_path / "length.mzML", mzml_text(two_ms2_scans(), length_offset=offset, compress=compress))
    error = read_error(path)
    assert error.spectrum == "scan=1"
    assert message in error.reason or "holds more than" in error.reason


@pytest.mark.parametrize("encoding", [("MS:1002312", "MS-Numpress linear prediction compression"),
                                      ("MS:1002746", "MS-Numpress linear prediction compression followed "
                                                     "by zlib compression"),
                                      ("MS:4000000", "delta bzip2 compression")])
def test_mzml_unsupported_encodings_are_refused(tmp_path, encoding):
    error = read_error(write(tmp_path / "numpress.mzML", mzml_text(two_ms2_scans(), mz_encoding=encoding)))
    assert error.spectrum == "scan=1"
    assert f"{encoding[1]} ({encoding[0]}), which is not supported" in error.reason


def test_unsupported_encoding_of_a_skipped_spectrum_does_not_fail(tmp_path):
    ms1 = [Scan("scan=1", [100.0], [1.0], ms_level=1)]
    reader = SpectraReader(write(tmp_path / "ms1.mzML", mzml_text(ms1, mz_encoding=("MS:1002312", "MS-Numpress"))))
    assert list(reader) == [] and reader.counts.skipped["other_ms_level"] == 1


@pytest.mark.parametrize("damage, reason", [
    ((b"<binary>", b"<binary>*"), "not valid base64"),
    ((b'accession="MS:1000523" name="64-bit float"', b'accession="MS:1000000" name="other"'), "no data type"),
    ((b'defaultArrayLength="2"', b'defaultArrayLength="two"'), "no valid length"),
    ((b'defaultArrayLength="2"', b'defaultArrayLength="99999999999999"'), "more than the"),
    ((b'name="ms level" value="2"', b'name="ms level" value="x"'), "ms level is not a number"),
    ((b'name="ms level" value="2"', b'name="ms level"'), "ms level is not a number: None"),
    ((b'name="charge state" value="2"', b'name="charge state" value="-2"'), "negative-mode"),
    ((b'name="charge state" value="2"', b'name="charge state" value="2.5"'), "not a whole number"),
    ((b"<cvParam", b"<referenceableParamGroupRef ref=\"nowhere\"/><cvParam"), "undefined referenceableParamGroup"),
])
def test_mzml_damaged_values(tmp_path, damage, reason):
    data = mzml_text(two_ms2_scans(), indexed=False)
    start = data.index(b"<spectrum ")
    damaged = data[:start] + data[start:].replace(*damage, 1)
    error = read_error(write(tmp_path / "damaged.mzML", damaged))
    assert error.spectrum == "scan=1" and reason in error.reason


def test_mzml_spectrum_inside_a_spectrum(tmp_path):
    data = mzml_text(two_ms2_scans(), indexed=False)
    second = data[data.index(b'<spectrum index="1"'):data.rindex(b"</spectrum>") + len(b"</spectrum>")]
    outer_opened = data.index(b">", data.index(b"<spectrum ")) + 1
    nested = data.replace(second, b"")
    nested = nested[:outer_opened] + second + nested[outer_opened:]
    error = read_error(write(tmp_path / "nested.mzML", nested))
    assert error.spectrum == "scan=1" and error.reason == "holds another <spectrum> inside it"


def test_mzml_corrupt_zlib_data(tmp_path):
    data = mzml_text(two_ms2_scans(), compress=True)
    start = data.index(b"<binary>") + len(b"<binary>")
    error = read_error(write(tmp_path / "zlib.mzML", data[:start] + b"AAAA" + data[start + 4:]))
    assert error.spectrum == "scan=1" and "zlib" in error.reason


def test_xml_that_is_not_mzml(tmp_path):
    error = read_error(write(tmp_path / "other.mzML", b"<?xml version='1.0'?><html><body/></html>"))
    assert "not an mzML file" in error.reason


def test_damaged_gzip(tmp_path):
    data = gzip.compress(mzml_text(sample_scans()))
    error = read_error(write(tmp_path / "cut.mzML.gz", data[: len(data) // 2]))
    assert "gzip" in error.reason


def mgf_error(tmp_path, text: str) -> SpectraFileError:
    return read_error(write(tmp_path / "bad.mgf", text.encode()))


def test_mgf_without_pepmass(tmp_path):
    error = mgf_error(tmp_path, "BEGIN IONS\nTITLE=ok\nPEPMASS=500\n100 1\nEND IONS\n\n"
                                "BEGIN IONS\nTITLE=lost\nCHARGE=2+\n100 1\nEND IONS\n")
    assert error.spectrum == "lost" and "line 7" in error.reason and "no PEPMASS" in error.reason


@pytest.mark.parametrize("text, spectrum, reason", [
    ("BEGIN IONS\nTITLE=a\nPEPMASS=500\n100 1\n", None, "no END IONS"),
    ("BEGIN IONS\nTITLE=a\nPEPMASS=500\n100 1\nBEGIN IONS\n", None, "line 5: BEGIN IONS before the END IONS"),
    ("END IONS\n", None, "line 1: END IONS without BEGIN IONS"),
    ("BEGIN IONS\nPEPMASS=500\nEND IONS\n101 2\n", None, "line 4: '101 2' lies outside"),
    ("BEGIN IONS\nTITLE=a\nPEPMASS=five\n100 1\nEND IONS\n", "a", "PEPMASS m/z is not a number"),
    ("BEGIN IONS\nTITLE=a\nPEPMASS=500\nCHARGE=2-\n100 1\nEND IONS\n", "a", "negative-mode"),
    ("BEGIN IONS\nTITLE=a\nPEPMASS=500\nCHARGE=two\n100 1\nEND IONS\n", "a", "is not a charge"),
    ("BEGIN IONS\nTITLE=a\nPEPMASS=500\nRTINSECONDS=soon\n100 1\nEND IONS\n", "a", "RTINSECONDS is not"),
    ("BEGIN IONS\nTITLE=a\nPEPMASS=500\n100 1\n101 x\nEND IONS\n", "a", "could not convert"),
    ("BEGIN IONS\nTITLE=a\nPEPMASS=500\n100 1\n101\nEND IONS\n", "a", "peak list"),
])
def test_mgf_malformed(tmp_path, text, spectrum, reason):
    error = mgf_error(tmp_path, text)
    assert error.spectrum == spectrum and reason in error.reason


def test_mgf_line_numbers_hold_across_read_blocks(tmp_path, monkeypatch):
    import tovel_mesk.io.mgf as mgf
    monkeypatch.setattr(mgf, "_BLOCK_CHARS", 7)
    scans = [Scan(f"s{n}", [100.0, 101.0], [1.0, 2.0], precursors=[Ion(500.0, 2)]) for n in range(5)]
    text = mgf_text(scans).decode() + "stray\n"
    line = text.split("\n").index("stray") + 1
    assert f"line {line}: 'stray'" in mgf_error(tmp_path, text).reason


@pytest.mark.parametrize("options, error", [
    ({"ms_level": 0}, ValueError), ({"top_peaks": 0}, ValueError), ({"chunk_size": 0}, ValueError),
    ({"file_id": -1}, ValueError), ({"format": "xml"}, ValueError), ({"top_peaks": 1.5}, TypeError),
])
def test_bad_arguments(tmp_path, options, error):
    path = write(tmp_path / "run.mgf", mgf_text(two_ms2_scans()))
    with pytest.raises(error):
        SpectraReader(path, **options)


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        SpectraReader(tmp_path / "absent.mzML")
