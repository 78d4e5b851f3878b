"""What the command checks before any work: every input exists, each spectra file's format
told from its content, the output folder writable. One line, exit status 2, nothing made."""

from __future__ import annotations

import gzip
import os
from pathlib import Path

import pytest

from _spectra_files import Scan, mgf_text, mzml_text, sample_scans
from tovel_mesk import cli
from tovel_mesk.search.preflight import CONVERT_HINT, sniff_spectra


@pytest.fixture
def fasta(tmp_path):
    path = tmp_path / "proteins.fasta"
    path.write_text(">sp|P1|P1_TEST a protein\nMPEPTIDEKAAGGSSLLR\n")
    return path


def refused(tmp_path, capsys, fasta, *spectra, output=None):
    output = output or tmp_path / "out"
    existed = output.exists()
    status = cli.main(["search", "--quiet", "--fasta", str(fasta), "--output", str(output), *map(str, spectra)])
    err = capsys.readouterr().err
    assert status == 2, err
    assert err.count("\n") == 1 and err.startswith("tovel-mesk: error: ")
    assert output.exists() == existed
    return err


def test_formats_are_told_from_the_content_not_the_name(tmp_path):
    scans = sample_scans()
    # mzML and MGF under any name, plain or compressed, are left to the readers.
    (tmp_path / "run.txt").write_bytes(mzml_text(scans))
    (tmp_path / "run.mzML.gz").write_bytes(gzip.compress(mzml_text(scans)))
    (tmp_path / "peaks.mzML").write_bytes(mgf_text(scans))
    (tmp_path / "bom.mgf").write_bytes(b"\xef\xbb\xbf" + mgf_text(scans))
    for name in ("run.txt", "run.mzML.gz", "peaks.mzML", "bom.mgf"):
        assert sniff_spectra(tmp_path / name) is None, name

    thermo = tmp_path / "run.mzML"
    thermo.write_bytes(b"\x01\xa1" + "Finnigan".encode("utf-16-le") + bytes(range(256)) * 4)
    assert sniff_spectra(thermo) == f"a Thermo .raw file is not read; {CONVERT_HINT}"
    bruker = tmp_path / "run.d"
    bruker.mkdir()
    (bruker / "analysis.tdf").write_bytes(b"SQLite format 3\x00")
    assert sniff_spectra(bruker) == f"a Bruker .d folder is not read; {CONVERT_HINT}"
    fasta_named_mgf = tmp_path / "proteins.mgf"
    fasta_named_mgf.write_text(">sp|P1|P1_TEST\nPEPTIDEK\n")
    assert sniff_spectra(fasta_named_mgf) == "is a FASTA file (a protein database), not spectra; give it with --fasta"
    mzxml = tmp_path / "run.mzXML"
    mzxml.write_text('<?xml version="1.0"?>\n<mzXML xmlns="http://sashimi.sourceforge.net/schema/"></mzXML>\n')
    assert sniff_spectra(mzxml) == f"an mzXML file is not read; {CONVERT_HINT}"


def test_every_problem_is_named_at_once_and_no_bytes_are_printed(tmp_path, capsys, fasta):
    binary = tmp_path / "image.mzML"
    binary.write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(range(256)))
    raw = tmp_path / "run.raw"
    raw.write_bytes(b"\x01\xa1" + "Finnigan".encode("utf-16-le") + b"\x00" * 64)
    err = refused(tmp_path, capsys, fasta, binary, raw, fasta, tmp_path / "missing.mgf")
    assert f"{binary}: is a binary file, neither mzML nor MGF" in err
    assert f"{raw}: a Thermo .raw file is not read; convert it to mzML first (for example with ProteoWizard " \
           "msconvert)" in err
    assert f"{fasta}: is a FASTA file (a protein database), not spectra" in err
    assert f"{tmp_path / 'missing.mgf'}: no such file" in err
    assert "PNG" not in err and "\\x" not in err and "IHDR" not in err


def test_output_folder_that_cannot_be_used(tmp_path, capsys, fasta):
    run = tmp_path / "run.mgf"
    run.write_bytes(mgf_text([Scan("s1", [100.0, 200.0], [1.0, 2.0])]))
    a_file = tmp_path / "taken"
    a_file.write_text("not a folder")
    assert refused(tmp_path, capsys, fasta, run, output=a_file) == \
        f"tovel-mesk: error: {a_file}: exists and is not a folder\n"
    assert refused(tmp_path, capsys, fasta, run, output=a_file / "below").endswith(
        f"{a_file / 'below'}: cannot be created ({a_file} is not a folder)\n")
    if os.geteuid() != 0:  # permissions do not bind the superuser
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        try:
            assert "cannot be written" in refused(tmp_path, capsys, fasta, run, output=locked / "out")
        finally:
            locked.chmod(0o700)
