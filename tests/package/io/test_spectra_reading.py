"""Reading spectra from mzML and MGF files written by hand: precursor values and prepared
peaks against values computed here, skipped spectra counted by reason, chunks, bounded
memory, and spectra that score as the file describes them."""

from __future__ import annotations

import itertools
import tracemalloc

import numpy as np
import pytest

import _tovel_mesk as tm
from _spectra_files import (PROTON, Ion, Scan, expected_peaks, mgf_text, mzml_text, sample_scans,
                            write)
from _support import MATCHED, f32, fragment_peaks, one_peptide_db, peptide_mass
from tovel_mesk import SpectraReader, read_spectra

KEPT = ["scan=2", "scan=3", "scan=4"]
SKIPPED = {"other_ms_level": 1, "no_precursor": 1, "precursor_mz": 0, "precursor_charge": 0, "no_peaks": 1}


def read_all(path, **options):
    reader = SpectraReader(path, **options)
    spectra = [spectrum for chunk in reader for spectrum in chunk]
    return reader, spectra


def precursor_values(spectrum):
    return [(p.mz, p.charge, p.intensity) for p in spectrum.precursors]


@pytest.mark.parametrize("indexed, compress, bits, gz", [
    (indexed, compress, bits, False)
    for indexed, compress, bits in itertools.product([True, False], [False, True], [(64, 32), (32, 64)])
] + [(True, True, (64, 32), True)])
def test_mzml_values_match_the_written_file(tmp_path, indexed, compress, bits, gz):
    scans = sample_scans()
    mz_bits, intensity_bits = bits
    path = write(tmp_path / "run.mzML", mzml_text(scans, indexed=indexed, compress=compress, mz_bits=mz_bits,
                                                  intensity_bits=intensity_bits), gz=gz)
    reader, spectra = read_all(path, top_peaks=3)

    assert [s.id for s in spectra] == KEPT
    assert (reader.counts.read, reader.counts.kept, reader.counts.skipped) == (6, 3, SKIPPED)
    assert reader.total == 6
    by_id = {scan.id: scan for scan in scans}
    for spectrum in spectra:
        scan = by_id[spectrum.id]
        assert spectrum.peaks == expected_peaks(scan.mz, scan.intensity, top=3, mz_bits=mz_bits)
    assert precursor_values(spectra[0]) == [(f32(445.12345678), 2, f32(1.5e6))]
    assert precursor_values(spectra[1]) == [(f32(612.3), None, None)]
    assert precursor_values(spectra[2]) == [(f32(512.5), None, None)]   # two possible charges
    assert spectra[0].precursors[0].isolation_window is not None
    assert spectra[2].precursors[0].isolation_window is None


def test_top_peaks_keep_the_most_intense_and_the_lower_mz_among_equals(tmp_path):
    rng = np.random.default_rng(3)
    mz = list(rng.uniform(100, 2000, 400))
    intensity = list(rng.integers(1, 40, 400).astype(float))      # many ties
    scan = Scan("scan=9", mz, intensity, precursors=[Ion(800.0, 2)])
    for top in (1, 150, None):
        _, (spectrum,) = read_all(write(tmp_path / "ties.mzML", mzml_text([scan])), top_peaks=top)
        assert spectrum.peaks == expected_peaks(mz, intensity, top=top)


def test_mgf_values_match_the_written_file(tmp_path):
    scans = [scan for scan in sample_scans() if scan.ms_level == 2 and scan.precursors]
    reader, spectra = read_all(write(tmp_path / "run.mgf", mgf_text(scans)), top_peaks=3)
    assert [s.id for s in spectra] == ["scan=2", "scan=3", "scan=4"]
    assert (reader.counts.read, reader.counts.kept, reader.counts.skipped["no_peaks"]) == (4, 3, 1)
    assert reader.total is None
    for spectrum, scan in zip(spectra, scans):
        assert spectrum.peaks == expected_peaks(scan.mz, scan.intensity, top=3)
        ion = scan.precursors[0]
        assert precursor_values(spectrum) == [(f32(ion.mz), ion.charge, None if ion.intensity is None
                                               else f32(ion.intensity))]


def test_mgf_conventions(tmp_path):
    text = (
        "# written by hand\r\nCHARGE=3+\r\nCOM=global parameters apply to every spectrum\r\n\r\n"
        "BEGIN IONS\r\nTITLE=first\r\nPEPMASS=500.5\t1000\r\n; a comment\r\n"
        "101.5 10 1+\r\n100.25 20\r\n\r\nEND IONS\r\n"
        "BEGIN IONS\r\nPEPMASS=600.5\r\nCHARGE=2+ and 3+\r\nRTINSECONDS=90\r\n100 1\r\nEND IONS\r\n"
        "BEGIN IONS\r\nTITLE=third\r\nPEPMASS=700.5\r\nCHARGE=2\r\n100 1\r\nEND IONS\r\n")
    _, spectra = read_all(write(tmp_path / "conventions.mgf", text.encode()))
    assert [s.id for s in spectra] == ["first", "index=1", "third"]
    assert precursor_values(spectra[0]) == [(500.5, 3, 1000.0)]        # the global charge
    assert precursor_values(spectra[1]) == [(600.5, None, None)]       # several charges: unknown
    assert precursor_values(spectra[2]) == [(700.5, 2, None)]
    assert spectra[0].peaks == [(f32(100.25 - PROTON), 20.0), (f32(101.5 - PROTON), 10.0)]


def test_chunks_and_the_plain_function(tmp_path):
    scans = [Scan(f"scan={n}", [100.0 + n], [1.0], precursors=[Ion(500.0 + n, 2)]) for n in range(7)]
    path = write(tmp_path / "seven.mzML", mzml_text(scans))
    assert [[s.id for s in chunk] for chunk in SpectraReader(path, chunk_size=3)] == [
        ["scan=0", "scan=1", "scan=2"], ["scan=3", "scan=4", "scan=5"], ["scan=6"]]
    assert [len(chunk) for chunk in read_spectra(path, chunk_size=7)] == [7]
    reader = SpectraReader(path, ms_level=1)
    assert list(reader) == []
    assert reader.counts.skipped["other_ms_level"] == 7
    assert str(reader.counts) == "7 spectra read, 0 kept; skipped: 7 of another MS level"


def test_a_file_without_extension_is_recognised_by_content(tmp_path):
    scans = [Scan("scan=1", [100.0], [1.0], precursors=[Ion(500.0, 2)])]
    for name, data in (("a", mzml_text(scans)), ("b", mgf_text(scans))):
        _, spectra = read_all(write(tmp_path / name, data))
        assert [s.id for s in spectra] == ["scan=1"]


def test_memory_holds_a_chunk_not_the_file(tmp_path):
    rng = np.random.default_rng(5)
    scans = [Scan(f"scan={n}", list(rng.uniform(100, 2000, 500)), list(rng.uniform(1, 1e4, 500)),
                  precursors=[Ion(700.0, 2)]) for n in range(1000)]
    path = write(tmp_path / "many.mzML", mzml_text(scans))
    raw_bytes = 1000 * 500 * (8 + 4)
    tracemalloc.start()
    try:
        kept = sum(len(chunk) for chunk in SpectraReader(path, chunk_size=20, top_peaks=50))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert kept == 1000
    assert peak < raw_bytes / 10, f"peak {peak} bytes while reading {raw_bytes} bytes of arrays"


# Spectra read from files score as the files describe them.

def matching_scan(scan_id="scan=7", **ion):
    """Every singly charged b and y ion of MATCHED at its observed m/z (neutral mass plus a
    proton), as a spectrum of the precursor given."""
    mz = [float(m) + PROTON for m in fragment_peaks(MATCHED)]
    return Scan(scan_id, mz, [1000.0] * len(mz), precursors=[Ion(**ion)], rt_seconds=750.0, tic=1.0e5)


def score(spectra, **settings):
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10, 10), tm.PyTolerance.Ppm(-10, 10), **settings)
    return scorer.score_many_spectra(one_peptide_db(), spectra)


@pytest.mark.parametrize("kind", ["mzML", "mgf"])
def test_read_spectra_match_their_peptide(real_core, tmp_path, kind):
    scan = matching_scan(mz=peptide_mass(MATCHED) / 2 + PROTON, charge=2)
    data = mzml_text([scan], compress=True) if kind == "mzML" else mgf_text([scan])
    _, spectra = read_all(write(tmp_path / f"match.{kind}", data))
    (features,) = score(spectra, wide_window=False, chimera=False)
    best = features[0]
    assert (best.sequence, best.spec_id, best.charge) == (MATCHED, "scan=7", 2)
    assert best.matched_peaks == 2 * (len(MATCHED) - 1)
    assert best.rt == f32(12.5)                                         # 750 s in minutes
    if kind == "mzML":                                                   # the file's total ion current
        assert best.matched_intensity_pct == f32(f32(best.ms2_intensity * 100) / 1.0e5)


@pytest.mark.parametrize("target_offset, found", [(0.9, True), (0.0, False)])
def test_isolation_window_lies_where_the_instrument_isolated(real_core, tmp_path, target_offset, found):
    """The selected ion sits 0.9 m/z below the peptide's m/z; the instrument isolated
    ±0.5 m/z around its target. Only a window placed on the target reaches the peptide."""
    selected = peptide_mass(MATCHED) / 2 + PROTON - 0.9
    scan = matching_scan(mz=selected, target=selected + target_offset, lower=0.5, upper=0.5)
    _, spectra = read_all(write(tmp_path / "window.mzML", mzml_text([scan])))
    (features,) = score(spectra, wide_window=True, chimera=False, min_isotope_err=0, max_isotope_err=0,
                        min_precursor_charge=2, max_precursor_charge=2)
    assert any(f.sequence == MATCHED for f in features) is found
