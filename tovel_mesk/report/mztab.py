"""mzTab 1.0 (Summary, Identification; Summary, Quantification with label-free
quantities): a search as statistics packages read it.

The metadata section names the runs, the software, the modifications searched and the
scores; then the protein section (one row per protein group of the protein table, its other
accessions as ambiguity members), the peptide section (one row per peptide, with its best
match), and the PSM section (every match). Each section is built column by column, each
distinct text made once, and written a block of rows at a time.

With a label-free quantification, each quantified run is an assay (unlabelled, its own
ms_run) and each sample a study variable (its runs the assays it refers to; without an
experimental design each run is a sample of its own). Proteins then carry
`protein_abundance_assay[n]` (where the quantities are per run) and
`protein_abundance_study_variable[n]`, peptides `peptide_abundance_study_variable[n]`
(and `peptide_abundance_assay[n]` for per-run quantities); a quantity not measured is
`null`. The standard deviation and standard error columns the format asks beside a study
variable's abundance are `null`: one quantity per sample is reported, not a spread.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, MutableMapping
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from .._version import __version__
from .peptidoforms import mz_of, parse_peptidoform, unimod
from .rows import coded, factorized, ints, template, texts, write_rows

__all__ = ["write_mztab"]

def _param(ref: str, accession: str, name: str, value: object = "") -> str:
    return f"[{ref}, {accession}, {name}, {value}]"


def _mod_text(peptide: str) -> str:
    """mzTab's modifications of a ProForma peptide: `POSITION-UNIMOD:N` (or `CHEMMOD:MASS`),
    comma-separated; `null` when unmodified."""
    form = parse_peptidoform(peptide)
    parts = []
    for mod in form.modifications:
        known = unimod(mod.mass, mod.residue)
        parts.append(f"{mod.position}-" + (f"UNIMOD:{known[0]}" if known else f"CHEMMOD:{mod.mass:+.4f}"))
    return ",".join(parts) if parts else "null"


def _mods_metadata(settings: Mapping) -> list[str]:
    lines = []
    for kind, key, none in (("fixed_mod", "fixed_mods", ("MS:1002453", "No fixed modifications searched")),
                            ("variable_mod", "variable_mods", ("MS:1002454", "No variable modifications searched"))):
        entries = list(settings.get(key) or ())
        if not entries:
            lines.append(f"MTD\t{kind}[1]\t{_param('MS', none[0], none[1])}")
        for i, text in enumerate(entries, 1):
            site, _, mass_text = str(text).rpartition(":")
            mass = float(mass_text)
            residues = site.partition("@")[0]
            known = unimod(mass, residues[:1] if residues and not residues.endswith("term") else ".")
            param = (_param("UNIMOD", f"UNIMOD:{known[0]}", known[1]) if known
                     else _param("CHEMMOD", f"CHEMMOD:{mass:+.6f}", f"CHEMMOD:{mass:+.6f}"))
            lines.append(f"MTD\t{kind}[{i}]\t{param}")
            lines.append(f"MTD\t{kind}[{i}]-site\t{site}")
    return lines


class _Parts(list):
    """Texts and template columns that together make one cell of each row."""


def _cell(values: object, n: int) -> list:
    """One column of a section as parts of the row template: numbers as Arrow's cast to text
    writes them (float64 cells natively in the same layout), NaN and missing values as
    empty cells, text as it is."""
    if isinstance(values, str):
        return [values]
    if isinstance(values, tuple):          # a column of the row template
        return [values]
    if isinstance(values, _Parts):
        return list(values)
    if isinstance(values, pd.Series):
        values = values.to_numpy()
    if not isinstance(values, (pa.Array, pa.ChunkedArray)):
        array = np.asarray(values)
        if array.dtype == np.float64:
            return [("n", np.ascontiguousarray(array))]
        if array.dtype == np.bool_:
            return [coded(array.astype(np.int64), ["false", "true"])]
        if array.dtype.kind in "iu" and (array.dtype.itemsize < 8 or array.dtype.kind == "i"):
            return [ints(array)]
        if array.dtype == object:
            listed = array.tolist()
            if pd.api.types.infer_dtype(array, skipna=False) != "string":
                listed = [v if isinstance(v, str) else "" if v is None or v is pd.NA or v != v else str(v)
                          for v in listed]
            return [texts(listed)]
        values = pa.array(array, from_pandas=True)
    # Anything else (float32, unsigned 64-bit, dates): as Arrow writes it.
    cast = pc.cast(values, pa.string()).to_pylist()
    return [texts("" if v is None else v for v in cast)]


def _write_columns(out, columns: dict[str, object], n: int) -> None:
    """A section from whole columns (arrays, one text for every row, columns or parts of the
    row template), a block of rows at a time: cells separated by tabs, a double quote
    written as it is (it needs no quoting in a tab-separated mzTab line)."""
    parts: list = []
    for i, values in enumerate(columns.values()):
        parts += ["\t" if i else "", *_cell(values, n)]
    rows = template(*parts, "\n")
    if not rows.columns:   # every cell one text
        out.write(rows.pieces[0].encode() * n)
        return
    write_rows(out.write, rows, 0, n)


def _coded(values: list[str], codes: np.ndarray) -> tuple:
    """The text `values[code]` of each row's code, a column of the row template."""
    return coded(codes, values)


def _peptide_columns(peptides: pd.Series, known: tuple | None = None) -> tuple[tuple, tuple, tuple]:
    """Each row's bare sequence and mzTab modifications as columns, and the distinct
    peptides with their two texts (made once per distinct peptide; those of `known`, the
    same triple of another section, reused)."""
    codes, distinct = factorized(peptides)
    listed = distinct.tolist()
    found = np.full(len(listed), -1) if known is None else pd.Index(known[0]).get_indexer(distinct)
    known_sequences, known_mods = (known[1], known[2]) if known is not None else ([], [])
    sequences, mods = [], []
    for text, at in zip(listed, found.tolist()):
        if at >= 0:
            sequences.append(known_sequences[at])
            mods.append(known_mods[at])
        elif text.isalpha():
            sequences.append(text)
            mods.append("null")
        else:
            sequences.append(parse_peptidoform(text).sequence)
            mods.append(_mod_text(text))
    return _coded(sequences, codes), _coded(mods, codes), (listed, sequences, mods)


def _first_accessions(proteins: pd.Series) -> tuple[tuple, np.ndarray]:
    """Each row's first accession (as a text cell) and whether it names one protein only."""
    codes, texts_ = factorized(proteins)
    listed = texts_.tolist()
    first = _text([text.split(";")[0] if isinstance(text, str) else text for text in listed])
    single = np.array([isinstance(text, str) and ";" not in text for text in listed], dtype=np.int64)
    return _coded(first.tolist(), codes), single[codes]


def _spectra_refs(frame: pd.DataFrame, runs: dict[str, int]) -> _Parts:
    """`ms_run[N]:NATIVE_ID` of each row, as parts of a cell."""
    file_codes, file_names = factorized(frame["file"])
    prefixes = [f"ms_run[{runs[name]}]:" for name in file_names.tolist()]
    native_ids = frame["spec_id"].astype(str).tolist()
    # Tabs and line breaks would break the line into cells or lines: written as spaces.
    joined = "".join(native_ids)
    if "\t" in joined or "\r" in joined or "\n" in joined:
        native_ids = [text.replace("\t", " ").replace("\r", " ").replace("\n", " ") for text in native_ids]
    return _Parts([coded(file_codes, prefixes), texts(native_ids)])


def _coded_text(values: pd.Series) -> tuple:
    """`_text` of a column with few distinct values, made once per value."""
    codes, uniques = pd.factorize(pd.Series(values, dtype="object").astype(str), sort=False, use_na_sentinel=False)
    return _coded(_text(uniques.tolist()).tolist(), codes)


def _text(values) -> np.ndarray:
    """Text cells: tabs and line breaks replaced, empty cells `null`."""
    listed = [v if isinstance(v, str) else str(v) for v in values]
    joined = "".join(listed)
    if "\t" in joined or "\r" in joined or "\n" in joined:
        listed = [v.replace("\t", " ").replace("\r", " ").replace("\n", " ") for v in listed]
    return np.array([v or "null" for v in listed], dtype=object)


def write_mztab(path: str | os.PathLike, psms: pd.DataFrame, peptides: pd.DataFrame | None,
                proteins: pd.DataFrame | None, settings: Mapping, *, fdr: float,
                spectra_files: list[str] | None = None, descriptions: Mapping[str, str] | None = None,
                quant: Any = None) -> None:
    """Writes the search as an mzTab 1.0 Summary Identification file, or a Summary
    Quantification file with the abundances of `quant` (an `LfqResult`), when given."""
    descriptions = descriptions or {}
    names = factorized(psms["file"])[1].tolist() if len(psms) else []
    by_name = {Path(f).name: str(f) for f in (spectra_files or [])}
    runs = {name: i for i, name in enumerate(dict.fromkeys([*by_name, *names]), 1)}
    engine = f"[, , tovel-mesk, {__version__}]"
    lines = ["MTD\tmzTab-version\t1.0.0", "MTD\tmzTab-mode\tSummary", "MTD\tmzTab-type\tIdentification",
             "MTD\tmzTab-ID\ttovel-mesk", "MTD\tdescription\tPeptide search by tovel-mesk",
             f"MTD\tsoftware[1]\t{engine}",
             f"MTD\tsoftware[1]-setting[1]\tfasta = {settings.get('fasta')}",
             f"MTD\tsoftware[1]-setting[2]\tprecursor_tol = {settings.get('precursor_tol')}",
             f"MTD\tsoftware[1]-setting[3]\tfragment_tol = {settings.get('fragment_tol')}",
             f"MTD\tsoftware[1]-setting[4]\tfdr = {fdr}",
             f"MTD\tpsm_search_engine_score[1]\t{_param('MS', 'MS:1002354', 'PSM-level q-value')}",
             f"MTD\tpeptide_search_engine_score[1]\t{_param('MS', 'MS:1001868', 'distinct peptide-level q-value')}",
             f"MTD\tprotein_search_engine_score[1]\t{_param('MS', 'MS:1002373', 'protein group-level q-value')}",
             "MTD\tfalse_discovery_rate\t" + _param("MS", "MS:1002350", "PSM-level global FDR", fdr)]
    for name, index in runs.items():
        location = Path(by_name.get(name, name)).resolve().as_uri() if by_name.get(name) else f"file://{name}"
        lines.append(f"MTD\tms_run[{index}]-location\t{location}")
    lines += _mods_metadata(settings)
    layout = _QuantLayout(quant, runs) if quant is not None else None
    if layout is not None and layout.study_variables:
        lines[2] = "MTD\tmzTab-type\tQuantification"
        lines += layout.metadata()

    n = len(psms)
    charge = psms["charge"].to_numpy().astype(np.int64)
    database = Path(str(settings.get("fasta") or "")).name or "null"

    # The texts of each distinct peptide, made once for both sections.
    sequences, mods, known = _peptide_columns(psms["peptide"])

    with open(path, "wb") as out:
        out.write(("\n".join(lines) + "\n\n").encode())

        if proteins is not None and len(proteins):
            grouped = "accessions" in proteins
            members = (proteins["accessions"] if grouped else proteins["protein"]).astype(str).str.split(";")
            lead = proteins["lead"].astype(str) if "lead" in proteins else members.str[0]
            q = proteins["q"] if "q" in proteins else proteins["protein_q"]
            prt = {
                "PRH": "PRT", "accession": lead.to_numpy(),
                "description": _text([descriptions.get(a, "") for a in lead]),
                "taxid": "null", "species": "null", "database": database, "database_version": "null",
                "search_engine": engine, "best_search_engine_score[1]": q.to_numpy(dtype=np.float64),
                "ambiguity_members": _text([",".join(m[1:]) for m in members]), "modifications": "null",
                "protein_coverage": (proteins["coverage"].to_numpy(dtype=np.float64) if "coverage" in proteins
                                     else "null"),
            }
            if layout is not None:
                layout.add_protein_columns(prt, proteins["group"] if "group" in proteins else None, len(proteins))
            out.write(("\t".join(prt) + "\n").encode())
            _write_columns(out, prt, len(proteins))
            out.write(b"\n")

        if peptides is not None and len(peptides):
            p_charge = peptides["charge"].to_numpy().astype(np.int64)
            p_sequences, p_mods, _ = _peptide_columns(peptides["peptide"], known)
            p_accessions, p_unique = _first_accessions(peptides["proteins"])
            pep = {
                "PEH": "PEP", "sequence": p_sequences, "accession": p_accessions, "unique": p_unique,
                "database": database, "database_version": "null", "search_engine": engine,
                "best_search_engine_score[1]": peptides["peptide_q"].to_numpy(dtype=np.float64),
                "modifications": p_mods,
                "retention_time": peptides["rt"].to_numpy(dtype=np.float64) * 60.0,
                "charge": p_charge,
                "mass_to_charge": mz_of(peptides["expmass"].to_numpy(), p_charge),
                "uri": "null",
                "spectra_ref": _spectra_refs(peptides, runs),
            }
            if layout is not None:
                layout.add_peptide_columns(pep, peptides["peptide"].astype(str))
            out.write(("\t".join(pep) + "\n").encode())
            _write_columns(out, pep, len(peptides))
            out.write(b"\n")

        accessions, unique = _first_accessions(psms["proteins"])
        psm = {
            "PSH": "PSM",
            "sequence": sequences,
            "PSM_ID": np.arange(1, n + 1),
            "accession": accessions,
            "unique": unique,
            "database": database, "database_version": "null", "search_engine": engine,
            "search_engine_score[1]": psms["spectrum_q"].to_numpy(dtype=np.float64),
            "modifications": mods,
            "retention_time": psms["rt"].to_numpy(dtype=np.float64) * 60.0,
            "charge": charge,
            "exp_mass_to_charge": mz_of(psms["expmass"].to_numpy(), charge),
            "calc_mass_to_charge": mz_of(psms["calcmass"].to_numpy(), charge),
            "uri": "null",
            "spectra_ref": _spectra_refs(psms, runs),
            "pre": _coded_text(psms["prev_aa"]) if "prev_aa" in psms else "null",
            "post": _coded_text(psms["next_aa"]) if "next_aa" in psms else "null",
            "start": "null", "end": "null",
            "opt_global_cv_MS:1002217_decoy_peptide": (psms["label"].to_numpy() < 0).astype(int),
            "opt_global_rank": psms["rank"].to_numpy().astype(np.int64),
            "opt_global_peptide_q": psms["peptide_q"].to_numpy(dtype=np.float64),
            "opt_global_discriminant_score": psms["discriminant_score"].to_numpy(dtype=np.float64),
            "opt_global_posterior_error": psms["posterior_error"].to_numpy(dtype=np.float64),
        }
        if "scan" in psms:
            psm["opt_global_scan"] = psms["scan"].to_numpy()
        out.write(("\t".join(psm) + "\n").encode())
        _write_columns(out, psm, n)


#: Label-free quantification and its reagent, as the format's metadata names them.
_LFQ = _param("MS", "MS:1001834", "LC-MS label-free quantitation analysis")
_UNLABELLED = _param("MS", "MS:1002038", "unlabeled sample")
_UNIT = _param("PRIDE", "PRIDE:0000393", "Relative quantification unit")
_INTENSITY = "intensity_"


class _QuantLayout:
    """The assays and study variables of a quantification and their abundance columns."""

    def __init__(self, quant: Any, runs: Mapping[str, int]):
        self.quant = quant
        proteins = getattr(quant, "proteins", None)
        peptides = getattr(quant, "peptides", None)
        self.proteins = proteins if isinstance(proteins, pd.DataFrame) else pd.DataFrame()
        self.peptides = peptides if isinstance(peptides, pd.DataFrame) else pd.DataFrame()
        names = [c[len(_INTENSITY):] for c in self.proteins.columns if str(c).startswith(_INTENSITY)]
        if not names:
            names = [c[len(_INTENSITY):] for c in self.peptides.columns if str(c).startswith(_INTENSITY)]
        # Assays: the quantified runs, numbered as their ms_run; study variables: samples.
        self.assays = {run: i for i, run in enumerate((r for r in runs if self._quantified(r)), 1)}
        self.runs = dict(runs)
        self.study_variables = {name: i for i, name in enumerate(names, 1)}
        samples = getattr(quant, "samples", None) or (getattr(quant, "diagnostics", None) or {}).get("samples")
        self.members: dict[str, list[str]] = {}
        for name in self.study_variables:
            if isinstance(samples, Mapping) and name in samples:
                self.members[name] = [str(r) for r in samples[name] if str(r) in self.assays]
            elif name in self.assays:
                self.members[name] = [name]
            else:
                self.members[name] = list(self.assays)

    def _quantified(self, run: str) -> bool:
        column = _INTENSITY + run
        precursors = getattr(self.quant, "precursors", None)
        return any(column in frame.columns for frame in (self.proteins, self.peptides,
                                                         precursors if isinstance(precursors, pd.DataFrame)
                                                         else pd.DataFrame()))

    def metadata(self) -> list[str]:
        lines = [f"MTD\tquantification_method\t{_LFQ}", f"MTD\tprotein-quantification_unit\t{_UNIT}",
                 f"MTD\tpeptide-quantification_unit\t{_UNIT}"]
        for run, index in self.assays.items():
            lines.append(f"MTD\tassay[{index}]-quantification_reagent\t{_UNLABELLED}")
            lines.append(f"MTD\tassay[{index}]-ms_run_ref\tms_run[{self.runs[run]}]")
        for name, index in self.study_variables.items():
            refs = ",".join(f"assay[{self.assays[r]}]" for r in self.members[name])
            if refs:
                lines.append(f"MTD\tstudy_variable[{index}]-assay_refs\t{refs}")
            lines.append(f"MTD\tstudy_variable[{index}]-description\t{_clean(name)}")
        return lines

    def _add(self, section: MutableMapping[str, Any], n: int, prefix: str, frame: pd.DataFrame,
             key: pd.Series | None, frame_key: str) -> None:
        """Adds the abundance columns of `n` rows to `section` (a mapping of column name to
        values), the quantities of `frame` looked up by `key` in its column `frame_key`."""
        if key is None or frame.empty or frame_key not in frame.columns:
            found = pd.DataFrame(index=range(n))
        else:
            table = frame.drop_duplicates(frame_key).set_index(frame_key)
            found = table.reindex(key.to_numpy()).reset_index(drop=True)
        for run, index in self.assays.items():
            column = _INTENSITY + run
            if column in found.columns:
                section[f"{prefix}_abundance_assay[{index}]"] = _numbers(found[column])
        for name, index in self.study_variables.items():
            column = _INTENSITY + name
            values = _numbers(found[column]) if column in found.columns else np.full(n, "null", object)
            section[f"{prefix}_abundance_study_variable[{index}]"] = values
            section[f"{prefix}_abundance_stdev_study_variable[{index}]"] = "null"
            section[f"{prefix}_abundance_std_error_study_variable[{index}]"] = "null"

    def add_protein_columns(self, section: MutableMapping[str, Any], groups: pd.Series | None, n: int) -> None:
        key = "protein_group" if "protein_group" in self.proteins.columns else "group"
        self._add(section, n, "protein", self.proteins, groups, key)

    def add_peptide_columns(self, section: MutableMapping[str, Any], peptides: pd.Series) -> None:
        self._add(section, len(peptides), "peptide", self.peptides, peptides, "peptide")


def _numbers(values: pd.Series) -> np.ndarray:
    """Quantities as text, `null` where none was measured."""
    numbers = pd.to_numeric(values, errors="coerce").to_numpy(dtype=np.float64)
    return np.array([repr(float(v)) if np.isfinite(v) else "null" for v in numbers], dtype=object)


def _clean(text: str) -> str:
    return str(text).replace("\t", " ").replace("\n", " ").replace("\r", " ")
