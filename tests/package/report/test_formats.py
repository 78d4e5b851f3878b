"""The standard formats read back, by the field's own readers, as the table they were written
from: mzIdentML validates against the 1.2 schema; pyteomics and psm_utils find the same
matches, peptides, charges, scans and q-values as the match table."""

from __future__ import annotations

import importlib.util
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from _tables import match_table
from tovel_mesk.report.mzid import write_mzid
from tovel_mesk.report.mztab import write_mztab
from tovel_mesk.report.pepxml import write_pepxml
from tovel_mesk.report.peptidoforms import parse_peptidoform, scan_numbers, unimod

SCHEMA = Path(__file__).resolve().parents[2] / "data" / "mzIdentML1.2.0.xsd"
needs = pytest.mark.skipif(any(importlib.util.find_spec(m) is None for m in ("pyteomics", "psm_utils")),
                           reason="pyteomics and psm_utils are test dependencies")
SETTINGS = {"fasta": "/data/proteins.fasta", "enzyme": "trypsin", "missed_cleavages": 2,
            "fixed_mods": ["C:+57.021464"], "variable_mods": ["M:+15.994915", "protein-nterm:+42.010565"],
            "precursor_tol": "-10,20ppm", "fragment_tol": "0.5da", "fdr": 0.01}
FDR = 0.01


@pytest.fixture(scope="module")
def tables():
    psms = match_table(120, seed=3)
    psms["spec_id"] = psms["spec_id"].astype(str)
    peptides = psms.sort_values("discriminant_score", ascending=False).drop_duplicates("peptide")
    proteins = pd.DataFrame({"protein": ["sp|P00001|PROT1", "sp|P00002|PROT2", "rev_sp|P00003|PROT3"],
                             "label": [1, 1, -1], "protein_q": [0.0, 0.5, 1.0]})
    return psms, peptides.reset_index(drop=True), proteins


@pytest.fixture(scope="module")
def written(tables, tmp_path_factory):
    psms, peptides, proteins = tables
    folder = tmp_path_factory.mktemp("formats")
    files = ["/runs/run_a.mzML", "/runs/run_b.mzML"]
    write_mzid(folder / "psms.mzid", psms, proteins, SETTINGS, fdr=FDR, spectra_files=files)
    write_pepxml(folder / "psms.pep.xml", psms, SETTINGS, spectra_files=files)
    write_mztab(folder / "results.mztab", psms, peptides, proteins, SETTINGS, fdr=FDR, spectra_files=files)
    return folder


def _expected(psms: pd.DataFrame) -> pd.DataFrame:
    """(spectrum, rank) -> sequence, charge, scan, q-value, as the readers should find them."""
    return pd.DataFrame({
        "spec_id": psms["spec_id"].astype(str), "rank": psms["rank"].astype(int),
        "sequence": [parse_peptidoform(p).sequence for p in psms["peptide"]],
        "charge": psms["charge"].astype(int), "scan": scan_numbers(psms["spec_id"].to_numpy()),
        "q": psms["spectrum_q"].astype(float),
    }).sort_values(["spec_id", "rank"]).reset_index(drop=True)


def _same(found: pd.DataFrame, psms: pd.DataFrame, columns) -> None:
    expected = _expected(psms)
    found = found.sort_values(["spec_id", "rank"]).reset_index(drop=True)
    assert len(found) == len(expected)
    for column in columns:
        if column == "q":
            np.testing.assert_allclose(found[column].astype(float), expected[column], rtol=1e-6)
        else:
            assert found[column].tolist() == expected[column].tolist(), column


def test_mzidentml_validates_against_the_schema(written):
    etree = pytest.importorskip("lxml.etree")
    schema = etree.XMLSchema(etree.parse(str(SCHEMA)))
    document = etree.parse(str(written / "psms.mzid"))
    assert schema.validate(document), [e.message for e in schema.error_log][:5]


@needs
def test_mzidentml_reads_back_with_both_readers(written, tables):
    from psm_utils.io import read_file
    from pyteomics import mzid

    psms = tables[0]
    rows = []
    for result in mzid.read(str(written / "psms.mzid"), retrieve_refs=True):
        for item in result["SpectrumIdentificationItem"]:
            rows.append({"spec_id": result["spectrumID"], "rank": item["rank"], "sequence": item["PeptideSequence"],
                         "charge": item["chargeState"], "q": item["PSM-level q-value"]})
    _same(pd.DataFrame(rows), psms, ("sequence", "charge", "q"))
    found = read_file(written / "psms.mzid", filetype="mzid")
    frame = pd.DataFrame({"spec_id": [p.spectrum_id for p in found], "rank": [p.rank for p in found],
                          "sequence": [p.peptidoform.sequence for p in found],
                          "charge": [p.peptidoform.precursor_charge for p in found], "q": [p.qvalue for p in found]})
    _same(frame, psms, ("sequence", "charge", "q"))


@needs
def test_pepxml_reads_back_with_both_readers(written, tables):
    from psm_utils.io import read_file
    from pyteomics import pepxml

    psms = tables[0]
    rows = []
    for query in pepxml.read(str(written / "psms.pep.xml")):
        for hit in query["search_hit"]:
            rows.append({"spec_id": query["spectrumNativeID"], "rank": hit["hit_rank"], "sequence": hit["peptide"],
                         "charge": query["assumed_charge"], "scan": query["start_scan"],
                         "q": hit["search_score"]["spectrum_q"]})
    _same(pd.DataFrame(rows), psms, ("sequence", "charge", "scan", "q"))
    found = read_file(written / "psms.pep.xml", filetype="pepxml")
    frame = pd.DataFrame({"spec_id": [p.spectrum_id for p in found], "rank": [p.rank for p in found],
                          "sequence": [p.peptidoform.sequence for p in found],
                          "charge": [p.peptidoform.precursor_charge for p in found]})
    _same(frame, psms, ("sequence", "charge"))
    # The modified residue's mass, not the modification's, as the format asks.
    text = (written / "psms.pep.xml").read_text()
    assert '<mod_aminoacid_mass position="4" mass="147.035385"/>' in text       # PEPM[+15.9949]K
    assert 'mod_nterm_mass="43.018425"' in text                                 # [+42.0106]-ACDEK


@needs
def test_mztab_reads_back(written, tables):
    from pyteomics import mztab

    psms, peptides, proteins = tables
    tab = mztab.MzTab(str(written / "results.mztab"))
    table = tab.spectrum_match_table
    frame = pd.DataFrame({"spec_id": table["spectra_ref"].str.split(":", n=1).str[1], "rank": table["opt_global_rank"],
                          "sequence": table["sequence"], "charge": table["charge"],
                          "q": table["search_engine_score[1]"]})
    _same(frame, psms, ("sequence", "charge", "q"))
    assert len(tab.peptide_table) == len(peptides)
    assert len(tab.protein_table) == len(proteins)
    assert "UNIMOD:4" in (written / "results.mztab").read_text()


def test_peptidoforms_and_unimod_names():
    form = parse_peptidoform("[+42.0106]-AC[+57.0215]DM[+15.9949]K-[-0.9840]")
    assert form.sequence == "ACDMK"
    assert [(m.position, m.residue) for m in form.modifications] == [(0, "."), (2, "C"), (4, "M"), (6, ".")]
    assert [m.unimod for m in form.modifications] == [(1, "Acetyl"), (4, "Carbamidomethyl"), (35, "Oxidation"),
                                                      (2, "Amidated")]
    assert unimod(-17.0265, "Q") == (28, "Gln->pyro-Glu") and unimod(-17.0265, "K") == (385, "Ammonia-loss")
    assert unimod(12.3456) is None
    for bad in ("PEP[+1.0", "[+1.0]PEP", "PE-PK", "PEP K"):
        with pytest.raises(ValueError):
            parse_peptidoform(bad)


def test_scan_numbers_from_native_ids():
    ids = np.array(["controllerType=0 controllerNumber=1 scan=2442", "scan=7", "index=3", "spectrum=12",
                    "merged=4 title", "file.1.1.2"], dtype=object)
    assert scan_numbers(ids).tolist() == [2442, 7, -1, 12, -1, 1]


def test_tolerances_and_thresholds_in_the_mzidentml(written):
    text = (written / "psms.mzid").read_text()
    assert 'name="search tolerance plus value" value="20.0"' in text
    assert 'name="search tolerance minus value" value="10.0"' in text
    assert 'accession="UNIMOD:35"' in text and 'accession="MS:1001251"' in text
    assert text.count('passThreshold="true"') > 0
