"""Annotated spectra: peptides read from their ProForma text, b/y ions found among peaks
read again from the spectra file, and `tovel-mesk show` drawing one match to a file."""

from __future__ import annotations

import gzip

import json
import re
import shutil

import numpy as np
import pandas as pd
import pytest

from tovel_mesk import cli
from tovel_mesk import SpectraFileError
from tovel_mesk.report.annotate import annotate, draw_match, read_peaks, spectrum_svg
from tovel_mesk.report.peptidoforms import WATER_MASS, fragment_ladder, parse_peptidoform, residue_masses

PROTON = 1.0072764


def test_fragment_ladders_of_peptidoforms():
    ladder = fragment_ladder("PEPTIDEK")
    assert ladder["b"][1] == pytest.approx(97.05276 + 129.04259 + PROTON)
    assert ladder["y"][0] == pytest.approx(128.09496 + 18.010565 + PROTON)
    mass = residue_masses("PEPTIDEK").sum() + WATER_MASS
    # b(i) and y(n-i) add up to the peptide and two protons, at every cut and charge.
    for charge in (1, 2):
        ions = fragment_ladder("PEPTIDEK", charge)
        assert np.allclose((ions["b"] + ions["y"][::-1]) * charge, mass + 2 * charge * PROTON)
    # Residue, N-terminal and C-terminal masses land on the residues they modify.
    masses = residue_masses("[+42.0106]-AC[+57.0215]M[+15.9949]K-[-0.984]")
    assert masses - residue_masses("ACMK") == pytest.approx([42.0106, 57.0215, 15.9949, -0.984])
    assert fragment_ladder(parse_peptidoform("[+42.0106]-ACMK"))["b"][0] == pytest.approx(71.03711 + 42.0106 + PROTON)
    for bad in ("PEPTIDEX", "PEP[Oxidation]K", "", "pep", "PEP[+1]]K"):
        with pytest.raises(ValueError, match="peptide"):
            fragment_ladder(bad)


def _peaks(mz, intensity):
    from tovel_mesk.report.annotate import Peaks

    return Peaks("scan=1", np.asarray(mz, float), np.asarray(intensity, float), 500.0, 2)


@pytest.mark.parametrize("tolerance, shift, unit, error", [("0.5da", 0.2, "Da", 0.2), ("10ppm", -4e-6, "ppm", -4.0)])
def test_ions_are_found_within_the_tolerance_with_signed_errors(tolerance, shift, unit, error):
    ions = fragment_ladder("PEPTIDEK")
    b, y = ions["b"], ions["y"]
    # b ions shifted by the error (relative in ppm), y3 left out, noise far from any ion.
    observed_b = b + shift if unit == "Da" else b * (1 + shift)
    mz = np.concatenate([observed_b, np.delete(y, 2), [52.0, 1500.0]])
    intensity = np.concatenate([np.full(b.size, 50.0), np.full(y.size - 1, 80.0), [100.0, 100.0]])
    found = annotate(_peaks(mz, intensity), "PEPTIDEK", 2, tolerance)
    assert found.unit == unit and found.sequence == "PEPTIDEK"
    assert found.found("b") == set(range(1, 8)) and found.found("y") == set(range(1, 8)) - {3}
    singly = found.charges == 1
    kinds = np.array(found.kinds)
    assert np.allclose(found.errors[singly & (kinds == "b")], error, atol=1e-6 if unit == "Da" else 1e-3)
    assert np.allclose(found.errors[singly & (kinds == "y")], 0.0, atol=1e-6)
    # Each ion points at the peak that matched it.
    assert np.allclose(mz[found.peak_index], found.calculated + (found.errors if unit == "Da"
                                                                 else found.calculated * found.errors / 1e6))
    # Beyond the tolerance nothing matches; a spectrum without peaks draws its message.
    assert annotate(_peaks(b + 1.0, np.ones(b.size)), "PEPTIDEK", 2, "0.5da").kinds == []
    assert "holds no peaks" in spectrum_svg(annotate(_peaks([], []), "PEPTIDEK", 2, tolerance))


def _ladder_spectrum(peptide, extra=""):
    ions = fragment_ladder(peptide)
    peaks = "\n".join(f"{m:.5f} {100 + i}" for i, m in enumerate(np.sort(np.concatenate([ions["b"], ions["y"]]))))
    return f"BEGIN IONS\nTITLE=scan=7\nPEPMASS=500.5\nCHARGE=2+\n{extra}{peaks}\nEND IONS\n"


@pytest.fixture
def finished_search(tmp_path):
    """An output folder as a search leaves it, for one MGF spectrum matched by two peptides."""
    spectra = tmp_path / "run.mgf"
    spectra.write_text("BEGIN IONS\nTITLE=scan=1\nPEPMASS=400\n100 1\nEND IONS\n" + _ladder_spectrum("PEPTIDEK"))
    out = tmp_path / "out"
    out.mkdir()
    pd.DataFrame({"file": ["run.mgf", "run.mgf"], "spec_id": ["scan=7", "scan=7"], "rank": [1, 2],
                  "peptide": ["PEPTIDEK", "PEPM[+15.9949]IDEK"], "charge": [2, 2], "label": [1, -1],
                  "hyperscore": [20.0, 5.0]}).to_csv(out / "psms.tsv", sep="\t", index=False)
    (out / "summary.json").write_text(json.dumps({"settings": {"spectra": [str(spectra)], "ms_level": 2,
                                                               "fragment_tol": "0.02da"}}))
    return out


def test_peaks_are_read_again_by_native_id(finished_search):
    path = finished_search.parent / "run.mgf"
    peaks = read_peaks(path, ["scan=7", "scan=99"])
    assert list(peaks) == ["scan=7"]
    assert peaks["scan=7"].charge == 2 and peaks["scan=7"].precursor_mz == 500.5
    assert peaks["scan=7"].mz.size == 14
    assert read_peaks(path, []) == {}
    # Through the readers' opener: compressed whatever the name, and a damaged compression is
    # the package's error naming the file, not a bare decompression error.
    packed = gzip.compress(path.read_bytes())
    (finished_search.parent / "packed.mgf").write_bytes(packed)
    assert read_peaks(finished_search.parent / "packed.mgf", ["scan=7"])["scan=7"].mz.size == 14
    damaged = finished_search.parent / "damaged.mgf.gz"
    damaged.write_bytes(packed[:len(packed) // 2])
    with pytest.raises(SpectraFileError, match="gzip compression is damaged") as info:
        read_peaks(damaged, ["scan=7"])
    assert info.value.path == str(damaged)


def _peaks_by_pass(path, ids, monkeypatch):
    """`read_peaks` with the index left unused: the one pass over the file, the reference."""
    from tovel_mesk.report import annotate as module

    with monkeypatch.context() as patch:
        patch.setattr(module, "indexed_spectra", lambda *args: None)
        return read_peaks(path, ids)


def _same_peaks(found, expected):
    assert sorted(found) == sorted(expected)
    for key, peaks in expected.items():
        other = found[key]
        assert (other.id, other.precursor_mz, other.charge) == (peaks.id, peaks.precursor_mz, peaks.charge)
        np.testing.assert_array_equal(other.mz, peaks.mz)
        np.testing.assert_array_equal(other.intensity, peaks.intensity)


@pytest.mark.parametrize("seed", range(4))
def test_indexed_mzml_spectra_are_cut_at_their_offsets_as_a_pass_reads_them(tmp_path, seed, monkeypatch):
    from _spectra_files import Ion, Scan, mzml_text
    from tovel_mesk.report.annotate import indexed_spectra

    rng = np.random.default_rng(seed)
    scans = []
    for k in range(int(rng.integers(5, 40))):
        n = int(rng.integers(0, 30))
        level = 1 if rng.random() < 0.2 else 2
        ions = [] if level == 1 else [Ion(float(rng.uniform(300, 1500)), int(rng.integers(1, 4)))]
        # Ids with characters the index escapes.
        scans.append(Scan(f"scan={k} name=&quot;x{k}&quot;" if k % 3 == 0 else f"scan={k}",
                          sorted(rng.uniform(100, 2000, n).tolist()), rng.uniform(1, 1e4, n).tolist(),
                          ms_level=level, precursors=ions))
    ids = [s.id.replace("&quot;", '"') for s in scans]
    wanted = list(rng.choice(ids, size=min(3, len(ids)), replace=False)) + ["scan=missing"]
    compress = bool(seed % 2)
    path = tmp_path / "run.mzML"
    path.write_bytes(mzml_text(scans, compress=compress))
    expected = _peaks_by_pass(path, wanted, monkeypatch)
    assert len(expected) == len(wanted) - 1
    assert indexed_spectra(path, wanted[:-1]) is not None and indexed_spectra(path, wanted) is None
    _same_peaks(read_peaks(path, wanted[:-1]), expected)
    _same_peaks(read_peaks(path, wanted), expected)
    # An index that misplaces its spectra, an unindexed or a compressed file: read through.
    text = path.read_bytes()
    stale = re.sub(rb'(<offset idRef="[^"]*">)(\d+)', lambda m: m.group(1) + str(int(m.group(2)) + 7).encode(), text)
    for name, data in (("stale.mzML", stale), ("plain.mzML", mzml_text(scans, indexed=False, compress=compress)),
                       ("packed.mzML", gzip.compress(text))):
        (tmp_path / name).write_bytes(data)
        assert indexed_spectra(tmp_path / name, wanted[:-1]) is None
        _same_peaks(read_peaks(tmp_path / name, wanted), expected)


def test_show_draws_a_match_of_a_finished_search(finished_search, tmp_path, capsys):
    out = tmp_path / "m.svg"
    assert cli.main(["show", str(finished_search), "scan=7", "--out", str(out)]) == 0
    svg = out.read_text()
    assert svg.startswith("<svg") and "PEPTIDEK (2+, rank 1, target)" in svg
    assert "b ions (7 of 7)" in svg and "y ions (7 of 7)" in svg
    labels = re.findall(r'fill="#(?:1f77b4|d62728)">([by]\d+)</text>', svg)
    assert {"b2", "y1", "y7"} <= set(labels)
    # The second match, a decoy, explains fewer ions.
    svg = draw_match(finished_search, "scan=7", rank=2)
    assert "rank 2, decoy" in svg and "b ions (3 of 7)" in svg and "y ions (4 of 7)" in svg
    # What is not there is named, with the usage status.
    capsys.readouterr()
    assert cli.main(["show", str(finished_search), "scan=8", "--out", str(out)]) == 2
    assert "no match of spectrum 'scan=8'" in capsys.readouterr().err
    assert cli.main(["show", str(finished_search), "scan=7", "--rank", "3", "--out", str(out)]) == 2
    assert "ranks: 1, 2" in capsys.readouterr().err
    assert cli.main(["show", str(tmp_path), "scan=7", "--out", str(out)]) == 2
    assert cli.main(["show", str(finished_search), "scan=7", "--out", str(tmp_path / "m.pdf")]) == 2
    # A spectra file gone since the search: a failure, named.
    (finished_search.parent / "run.mgf").unlink()
    assert cli.main(["show", str(finished_search), "scan=7", "--out", str(out)]) == 1
    assert "run.mgf" in capsys.readouterr().err


@pytest.mark.skipif(shutil.which("chromium") is None and shutil.which("rsvg-convert") is None,
                    reason="no SVG converter installed")
def test_show_writes_a_png(finished_search, tmp_path):
    from PIL import Image

    out = tmp_path / "m.png"
    assert cli.main(["show", str(finished_search), "scan=7", "--out", str(out)]) == 0
    with Image.open(out) as image:
        pixels = np.asarray(image.convert("RGB"), dtype=np.float64) / 255
    red = np.all(np.abs(pixels - np.array([0xD6, 0x27, 0x28]) / 255) < 0.1, axis=-1)
    assert red.mean() > 0.0005


def test_report_draws_accepted_matches_from_the_spectra_file(finished_search):
    from _tables import match_table
    from tovel_mesk.report import html as report

    psms = match_table(2, files=("run.mgf",))
    psms["spec_id"] = "scan=7"
    psms["peptide"] = ["PEPTIDEK", "PEPM[+15.9949]IDEK"]
    psms["charge"] = np.uint8(2)
    psms["label"] = np.array([1, -1], dtype=np.int32)
    psms["rank"] = np.array([1, 2], dtype=np.uint32)
    psms["spectrum_q"] = [0.001, 0.5]
    summary = json.loads((finished_search / "summary.json").read_text())
    page = report.render_report(psms, None, None, summary)
    section = page[page.index("<h2>Annotated spectra</h2>"):]
    # One accepted match: it is the best, the median and the weakest at once, drawn once.
    assert section.count("<figure>") == 1 and "best accepted match: PEPTIDEK (2+)" in section
    # Fragment errors from the peaks read again: signed, in the tolerance's unit.
    assert "fragment mass error, observed − calculated (Da)" in page
    assert "14 fragment ions of 1 match" in page
    # The spectra file gone: the page says so and falls back to the core's unsigned mean.
    (finished_search.parent / "run.mgf").unlink()
    page = report.render_report(psms, None, None, summary)
    assert "run.mgf" in page[page.index("<h2>Annotated spectra</h2>"):] and "No such file" in page
    assert "mean absolute fragment mass error (ppm, unsigned" in page
