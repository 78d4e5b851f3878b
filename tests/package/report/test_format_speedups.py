"""The standard formats are written from whole columns, a block of rows at a time: the files
must be byte for byte those of the row-by-row writers (tests/_reference_formats) on
randomized tables, awkward texts and missing columns included; and the native row
formatter must write numbers exactly as Python does and refuse malformed templates."""

from __future__ import annotations

import re

import numpy as np
import pandas as pd
import pytest

from _reference_formats import mzid as reference_mzid
from _reference_formats import mztab as reference_mztab
from _reference_formats import pepxml as reference_pepxml
from _tables import match_table
from tovel_mesk import _native
from tovel_mesk.report import rows as text_rows
from tovel_mesk.report.mzid import write_mzid
from tovel_mesk.report.mztab import write_mztab
from tovel_mesk.report.pepxml import write_pepxml

SETTINGS = {"fasta": "/data/proteins.fasta", "enzyme": "trypsin", "missed_cleavages": 2,
            "fixed_mods": ["C:+57.021464"], "variable_mods": ["M:+15.994915", "protein-nterm:+42.010565"],
            "precursor_tol": "-10,20ppm", "fragment_tol": "0.5da", "fdr": 0.01}
# Texts that XML must escape or quote otherwise, and one beyond ASCII.
AWKWARD = ('id="1" & <2>', "it's", "tab\there", "ünïcode", 'both \' and "')


def _randomized(seed: int) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame, list[str]]:
    """A match table with the shapes a search gives and the ones it rarely does: awkward
    native ids, file names and accessions, empty protein lists, missing retention times,
    several ranks and charges per spectrum, flanks and scans present or not."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(50, 600))
    files = ("run_a.mzML", "b'run.mgf", 'c"run.mzML') if seed % 2 else ("run_a.mzML", "run_b.mzML")
    psms = match_table(n, seed=seed, files=files)
    spec = psms["spec_id"].astype(str).to_numpy(dtype=object)
    odd = rng.random(n) < 0.1
    spec[odd] = [f"{AWKWARD[i % len(AWKWARD)]} scan={i}" for i in np.flatnonzero(odd)]
    psms["spec_id"] = spec
    proteins = psms["proteins"].to_numpy(dtype=object)
    proteins[rng.random(n) < 0.03] = ""
    awkward = rng.random(n) < 0.05
    proteins[awkward] = [f"sp|{AWKWARD[i % len(AWKWARD)]}|X;{p}" for i, p in zip(np.flatnonzero(awkward),
                                                                                   proteins[awkward])]
    psms["proteins"] = proteins
    psms["rank"] = rng.integers(1, 4, n).astype(np.uint32)
    psms["charge"] = rng.integers(1, 5, n).astype(np.uint8)
    psms.loc[rng.random(n) < 0.05, "rt"] = np.nan
    psms.loc[rng.random(n) < 0.05, "posterior_error"] = np.float32(1e-7)   # exponent notation
    if seed % 3:
        psms["prev_aa"] = rng.choice(list("KR-"), n)
        psms["next_aa"] = rng.choice(list("ACDE-"), n)
    if seed % 4 == 1:
        psms["scan"] = rng.integers(-1, 5000, n)
    if seed % 5 == 2:
        psms = psms.drop(columns=["matched_peaks", "hyperscore"])
    peptides = psms.sort_values("discriminant_score", ascending=False).drop_duplicates("peptide")
    accessions = sorted({a for text in psms["proteins"] for a in str(text).split(";") if a})[:40]
    protein_table = pd.DataFrame({"protein": accessions, "label": [-1 if a.startswith("rev_") else 1
                                                                   for a in accessions],
                                  "protein_q": rng.random(len(accessions))})
    return psms, peptides.reset_index(drop=True), protein_table, [f"/runs/{f}" for f in files[:2]]


def _comparable(path) -> bytes:
    # The creation date and the file's own path are all that may differ.
    return re.sub(rb'(creationDate|date|summary_xml)="[^"]*"', b"", path.read_bytes())


def _unquoted(frame: pd.DataFrame) -> pd.DataFrame:
    # The row-by-row mzTab writer failed on a double quote or a tab in any text (see below).
    frame = frame.copy()
    for column in ("spec_id", "proteins", "protein"):
        if column in frame:
            frame[column] = frame[column].astype(str).str.replace('"', "'").str.replace("\t", " ")
    return frame


@pytest.mark.parametrize("seed", range(8))
def test_formats_are_the_row_by_row_writers_bytes(seed, tmp_path):
    psms, peptides, proteins, files = _randomized(seed)
    descriptions = {proteins["protein"].iat[0]: "a described protein & co <1>"} if len(proteins) else {}
    tab_psms, tab_peptides, tab_proteins = _unquoted(psms), _unquoted(peptides), _unquoted(proteins)
    for name, new, old, args, options in (
            ("mzid", write_mzid, reference_mzid.write_mzid, (psms, proteins, SETTINGS),
             {"fdr": 0.01, "spectra_files": files, "descriptions": descriptions}),
            ("pep.xml", write_pepxml, reference_pepxml.write_pepxml, (psms, SETTINGS), {"spectra_files": files}),
            ("mztab", write_mztab, reference_mztab.write_mztab, (tab_psms, tab_peptides, tab_proteins, SETTINGS),
             {"fdr": 0.01, "spectra_files": files, "descriptions": descriptions})):
        old(tmp_path / f"old.{name}", *args, **options)
        new(tmp_path / f"new.{name}", *args, **options)
        assert _comparable(tmp_path / f"new.{name}") == _comparable(tmp_path / f"old.{name}"), name


def test_formats_of_an_empty_table_are_the_row_by_row_writers_bytes(tmp_path):
    psms, _, proteins, files = _randomized(0)
    psms = psms.iloc[:0]
    for name, new, old, args in (("mzid", write_mzid, reference_mzid.write_mzid, (psms, proteins, SETTINGS)),
                                 ("pep.xml", write_pepxml, reference_pepxml.write_pepxml, (psms, SETTINGS))):
        options = {"fdr": 0.01} if name == "mzid" else {}
        old(tmp_path / f"old.{name}", *args, spectra_files=files, **options)
        new(tmp_path / f"new.{name}", *args, spectra_files=files, **options)
        assert _comparable(tmp_path / f"new.{name}") == _comparable(tmp_path / f"old.{name}"), name


def test_mztab_keeps_double_quotes_and_breaks_no_line(tmp_path):
    # A FASTA description, an accession or an MGF title may hold a double quote: written as
    # it is (the writer used to fail on it); tabs and line breaks become spaces.
    pytest.importorskip("pyteomics")
    from pyteomics import mztab

    psms, _, _, files = _randomized(1)
    psms = psms.iloc[:20].copy()
    psms["spec_id"] = ['title "quoted"\tscan=%d' % i for i in range(20)]
    psms["proteins"] = 'sp|P1|"Q"'
    proteins = pd.DataFrame({"protein": ['sp|P1|"Q"'], "label": [1], "protein_q": [0.0]})
    write_mztab(tmp_path / "r.mztab", psms, psms.drop_duplicates("peptide"), proteins, SETTINGS, fdr=0.01, spectra_files=files,
                descriptions={'sp|P1|"Q"': 'the "Q"\tprotein'})
    tab = mztab.MzTab(str(tmp_path / "r.mztab"))
    assert tab.protein_table["description"].tolist() == ['the "Q" protein']
    table = tab.spectrum_match_table
    assert len(table) == 20 and set(table["accession"]) == {'sp|P1|"Q"'}
    assert table["spectra_ref"].str.split(":", n=1).str[1].tolist() == ['title "quoted" scan=%d' % i
                                                                         for i in range(20)]


def test_numbers_are_written_as_python_writes_them():
    rng = np.random.default_rng(11)
    edges = [0.0, -0.0, 1.0, -1.5, 1e-4, 9.999e-5, 1e-5, 1e15, 9999999999999998.0, 1e16, 1e22, 2.5e-7,
             5e-324, 1.7976931348623157e308, np.nan, np.inf, -np.inf, 0.1 + 0.2, 123456789.0]
    values = np.concatenate([edges, rng.integers(0, 2**63, 20000).view(np.float64),
                             rng.normal(0, 1e3, 20000), rng.random(20000).astype(np.float32)])
    written = text_rows.template("", text_rows.floats(values), "\n").format().decode().split("\n")[:-1]
    assert written == [repr(v) for v in values.tolist()]
    # Table cells (mzTab) as Arrow's cast to text writes them, a missing value empty.
    import pyarrow as pa
    import pyarrow.compute as pc

    wide = np.concatenate([values, [1e-6, 9.99e-7, 1e9, 9999999999.5, 1e10, 1e21], 10.0 ** rng.uniform(-30, 30, 20000)])
    cells = text_rows.template("", ("n", wide), "\n").format().decode().split("\n")[:-1]
    assert cells == ["" if v is None else v for v in pc.cast(pa.array(wide, from_pandas=True), pa.string()).to_pylist()]
    integers = np.array([0, -1, 2**63 - 1, -2**63, 42])
    assert text_rows.template("", text_rows.ints(integers), ",").format() == b"".join(
        f"{i},".encode() for i in integers.tolist())


def test_templates_nest_and_write_in_blocks():
    n = 7
    items = text_rows.template("<i>", text_rows.ints(np.arange(10)), "</i>")
    starts = np.array([0, 2, 2, 5, 5, 5, 9])
    rows = text_rows.template(
        text_rows.when(np.arange(n) % 2 == 0, text_rows.template("[", text_rows.coded(np.arange(n) % 2, ["e", "o"]),
                                                                  "]")),
        text_rows.texts([f"r{i}" for i in range(n)]), text_rows.each(starts, starts + np.array([2, 0, 3, 0, 1, 4, 1]),
                                                                     items), ";")
    expected = "".join(("[e]" if i % 2 == 0 else "") + f"r{i}" + "".join(f"<i>{k}</i>" for k in range(a, a + c)) + ";"
                       for i, (a, c) in enumerate(zip(starts, [2, 0, 3, 0, 1, 4, 1])))
    assert rows.format().decode() == expected
    pieces: list[bytes] = []
    text_rows.write_rows(pieces.append, rows, 1, n, block=2)
    assert [len(p) > 0 for p in pieces] == [True] * 3 and b"".join(pieces) == rows.format(1, n)
    assert rows.format(3, 3) == b""


@pytest.mark.parametrize("pieces, columns, message", [
    (["a"], [], "at least one column"),
    (["a", "b"], [("f", np.zeros(2)), ("i", np.zeros(2, dtype=np.int64))], "pieces for 2 columns"),
    (["", "", ""], [("f", np.zeros(2)), ("i", np.zeros(3, dtype=np.int64))], "different lengths"),
    (["", ""], [("f", np.zeros(2, dtype=np.float32))], "float64"),
    (["", ""], [("i", np.zeros(2))], "int64"),
    (["", ""], [("c", np.array([0, 2]), ["a", "b"])], "code 2 at row 1 outside 2 texts"),
    (["", ""], [("s", ["a", 3])], "must be str"),
    (["", ""], [("x", np.zeros(2))], "unknown column kind"),
    (["", ""], [("l", np.array([0]), np.array([3]), ["", ""], [("i", np.zeros(2, dtype=np.int64))])],
     "outside columns of 2"),
    (["", ""], [("t", np.zeros(2, dtype=np.int64), [""], [])], "bool"),
])
def test_malformed_templates_are_refused(pieces, columns, message):
    with pytest.raises(ValueError, match=message):
        _native.format_rows(pieces, columns)


def test_rows_outside_the_columns_are_refused():
    with pytest.raises(ValueError, match="outside columns of 2"):
        _native.format_rows(["", ""], [("f", np.zeros(2))], 1, 3)


def test_rows_written_through_a_file_are_the_formatted_rows():
    # The template is read once and written block by block; a bad writer or block is refused.
    n = 9
    rows = text_rows.template("<r id=", text_rows.texts([f'"{i}"' for i in range(n)]), " q=",
                              text_rows.floats(np.linspace(0, 1, n)), "/>\n")
    for block in (1, 4, 100):
        pieces: list[bytes] = []
        _native.write_rows(rows.pieces, rows.columns, pieces.append, 2, n, block)
        assert b"".join(pieces) == rows.format(2, n) and len(pieces) == -(-(n - 2) // block)
    with pytest.raises(TypeError, match="callable"):
        _native.write_rows(rows.pieces, rows.columns, None)
    with pytest.raises(ValueError, match="block"):
        _native.write_rows(rows.pieces, rows.columns, pieces.append, 0, n, 0)


def test_scan_numbers_read_every_id_as_the_rule_does():
    # The common `... scan=N` id is read without the regular expression; every other shape
    # (other terms, a second scan term, a word or dot before it, non-ASCII digits) by the rule.
    from tovel_mesk.conventions import scan_number
    from tovel_mesk.report.peptidoforms import scan_numbers

    ids = ["controllerType=0 controllerNumber=1 scan=2442", "scan=7", "scan=7 scan=8", "x.scan=5", "xscan=5",
           "_scan=4", "ü scan=4", "üscan=4", "scan=", "scan=12a", "scan=\u0663", "scanId=3 scan=4", "spectrum=9 scan=4",
           "run.2442.2442.2", "index=5", "", "a scan=1 b", "scan=5\n", " scan=0012", "\tscan=4", "a\u00a0scan=4"]
    assert scan_numbers(np.array(ids, dtype=object)).tolist() == [scan_number(i) for i in ids]


@pytest.mark.parametrize("values", [
    pd.Series(pd.Categorical(["b", "a", "b", "c"], categories=["c", "z", "b", "a"])),   # unused category
    pd.Series(pd.Categorical(["b", None, "a"])),                                          # a missing value
    pd.Series(pd.Categorical([1, 2, 1])),                                                 # numbers as text
    pd.Series(["x", "y", "x"], dtype=object), pd.Series(["x", None, 3.5, "x"], dtype=object),
    pd.Series(["x", "y"], dtype="string"), pd.Series(pd.Categorical([], categories=["a"])),
])
def test_factorized_columns_are_the_factorized_texts(values):
    for sort in (False, True):
        codes, texts = text_rows.factorized(values, sort=sort)
        expected_codes, expected_texts = pd.factorize(values.astype(str), sort=sort)
        assert codes.tolist() == expected_codes.tolist() and list(texts) == list(expected_texts)


def test_mztab_cells_of_every_column_type_are_as_arrow_writes_them(tmp_path):
    # Whatever a section column holds (quantities of another stage included), its cells are
    # Arrow's text of the values, a missing value empty.
    import pyarrow as pa
    import pyarrow.compute as pc

    from tovel_mesk.report import mztab

    columns = {"f64": np.array([0.5, np.nan, 1e10, -0.0]), "f32": np.array([0.1, 2.5, np.nan, 1e-7], dtype=np.float32),
               "i8": np.array([-1, 0, 1, 127], dtype=np.int8), "u64": np.array([0, 1, 2**64 - 1, 7], dtype=np.uint64),
               "flag": np.array([True, False, True, False]), "text": np.array(["a", None, np.nan, 'q"t'], dtype=object),
               "fixed": "null"}
    with open(tmp_path / "cells", "wb") as out:
        mztab._write_columns(out, columns, 4)
    expected = []
    for values in columns.values():
        if isinstance(values, str):
            expected.append([values] * 4)
            continue
        array = pa.array(values, type=pa.string() if values.dtype == object else None, from_pandas=True)
        expected.append(["" if v is None else v for v in pc.cast(array, pa.string()).to_pylist()])
    assert (tmp_path / "cells").read_text().splitlines() == ["\t".join(row) for row in zip(*expected)]
