"""mzIdentML 1.2: a search as public repositories take it.

The file names the software, the search database, the enzyme, the modifications (with
their Unimod accessions where known) and the tolerances; then every match, target and decoy
of every rank, with its PSM-level and peptide-level q-values under their PSI-MS terms
(the discriminant score, the posterior error and the hyperscore, which have no term of their
own, as user parameters); then the protein detection list, one ambiguity group per protein
group of the protein table.

The document is streamed: the sequence collection (databases sequences, peptides,
peptide evidence) from the distinct values of the match table, then the matches spectrum by
spectrum, each group of rows formatted and written at once; no element tree is built.
"""

from __future__ import annotations

import datetime as _dt
import math
import os
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np
import pandas as pd

from .._version import __version__
from .peptidoforms import mz_of, parse_peptidoform, unimod
from .rows import Template, coded, each, factorized, floats, ints, template, texts, when, write_rows

__all__ = ["write_mzid", "ENZYME_TERMS"]

#: PSI-MS terms of the enzymes the digestion knows; others are named in a user parameter.
ENZYME_TERMS = {
    "trypsin": ("MS:1001251", "Trypsin"), "trypsin/p": ("MS:1001313", "Trypsin/P"),
    "lys-c": ("MS:1001309", "Lys-C"), "lys-n": ("MS:1003093", "Lys-N"), "arg-c": ("MS:1001303", "Arg-C"),
    "asp-n": ("MS:1001304", "Asp-N"), "glu-c": ("MS:1001917", "glutamyl endopeptidase"),
    "chymotrypsin": ("MS:1001306", "Chymotrypsin"), "non-specific": ("MS:1001956", "unspecific cleavage"),
}
_NS = "http://psidev.info/psi/pi/mzIdentML/1.2"
_SOFTWARE = "AS_tovel_mesk"


def _cv(accession: str, name: str, value: object = "", ref: str = "PSI-MS", unit: tuple[str, str] | None = None) -> str:
    unit_text = ""
    if unit is not None:
        unit_ref = unit[0].split(":")[0]
        unit_text = f' unitCvRef="{unit_ref}" unitAccession="{unit[0]}" unitName="{unit[1]}"'
    return f'<cvParam cvRef="{ref}" accession="{accession}" name={quoteattr(name)} value={quoteattr(str(value))}{unit_text}/>'


def _user(name: str, value: object, kind: str = "xsd:double") -> str:
    return f'<userParam name={quoteattr(name)} value={quoteattr(str(value))} type="{kind}"/>'


def _tolerance(text: str) -> tuple[float, float, tuple[str, str]]:
    """(minus, plus, unit) of a tolerance such as '10ppm', '0.5da' or '-10,20ppm'."""
    body = str(text).strip().lower()
    unit = ("UO:0000169", "parts per million") if body.endswith("ppm") else ("UO:0000221", "dalton")
    values = [float(v) for v in body.rstrip("pmda").split(",")]
    if len(values) == 1:
        return abs(values[0]), abs(values[0]), unit
    return abs(values[0]), abs(values[1]), unit


def _split_mod(text: str) -> tuple[str, float]:
    site, _, mass = str(text).rpartition(":")
    return site, float(mass)


def _search_modifications(settings: Mapping) -> str:
    out = []
    for fixed, key in ((True, "fixed_mods"), (False, "variable_mods")):
        for text in settings.get(key) or ():
            site, mass = _split_mod(text)
            residues, _, terminus = site.partition("@")
            if residues in ("peptide-nterm", "peptide-cterm", "protein-nterm", "protein-cterm"):
                residues, terminus = ".", residues
            rule = {"peptide-nterm": ("MS:1001189", "modification specificity peptide N-term"),
                    "protein-nterm": ("MS:1002057", "modification specificity protein N-term"),
                    "peptide-cterm": ("MS:1001190", "modification specificity peptide C-term"),
                    "protein-cterm": ("MS:1002058", "modification specificity protein C-term")}.get(terminus)
            known = unimod(mass, residues[:1] if residues != "." else ".")
            name = (_cv(f"UNIMOD:{known[0]}", known[1], ref="UNIMOD") if known
                    else _cv("MS:1001460", "unknown modification"))
            spec = f"<SpecificityRules>{_cv(*rule)}</SpecificityRules>" if rule else ""
            out.append(f'<SearchModification fixedMod="{str(fixed).lower()}" massDelta="{mass!r}" '
                       f'residues="{" ".join(residues) or "."}">{spec}{name}</SearchModification>')
    return f"<ModificationParams>{''.join(out)}</ModificationParams>" if out else ""


def _attr(text: str) -> str:
    """`text` as a quoted attribute value."""
    if "&" in text or "<" in text or '"' in text or ">" in text or "\n" in text or "\t" in text:
        return quoteattr(text)
    return f'"{text}"'


def _attrs(texts: list[str]) -> list[str]:
    """`_attr` of each text (checked at once: most need no escaping)."""
    joined = "".join(texts)
    if any(c in joined for c in '&<">\n\t'):
        return [_attr(text) for text in texts]
    return [f'"{text}"' for text in texts]


def _accessions(text: str) -> list[str]:
    return [a for a in str(text).split(";") if a]


def _modified_peptide(text: str) -> str:
    """A modified peptide's sequence and modifications: the rest of its `Peptide` element."""
    form = parse_peptidoform(text)
    mods = []
    for mod in form.modifications:
        known = unimod(mod.mass, mod.residue)
        name = (_cv(f"UNIMOD:{known[0]}", known[1], ref="UNIMOD") if known
                else _cv("MS:1001460", "unknown modification"))
        residue = f' residues="{mod.residue}"' if mod.residue != "." else ""
        mods.append(f'<Modification location="{mod.position}"{residue} monoisotopicMassDelta="{mod.mass!r}">'
                    f"{name}</Modification>")
    return f'{form.sequence}</PeptideSequence>{"".join(mods)}'


def write_mzid(path: str | os.PathLike, psms: pd.DataFrame, proteins: pd.DataFrame | None, settings: Mapping,
               *, fdr: float, spectra_files: Iterable[str] | None = None, descriptions: Mapping[str, str] | None = None,
               decoy_tag: str = "rev_") -> None:
    """Writes `psms` (the match table with error control filled) and the protein table as
    mzIdentML 1.2 to `path`. `settings` are the search's settings as plain values (the
    summary's), `fdr` the threshold that `passThreshold` marks."""
    descriptions = descriptions or {}
    peptide_codes, peptide_texts = factorized(psms["peptide"])
    text_codes, protein_texts = factorized(psms["proteins"])
    decoy = psms["label"].to_numpy() < 0
    # Each distinct (peptide, proteins, decoy) of the table once, in the order of first
    # appearance, and its accessions: the entries whose evidences the rows reference.
    # Accessions and evidences are numbered as the rows first meet them; an evidence is a
    # decoy as the last row that names it says.
    n_texts = max(len(protein_texts), 1)
    pair_codes, pairs = pd.factorize((peptide_codes.astype(np.int64) * n_texts + text_codes) * 2 + decoy, sort=False)
    last_row = np.zeros(len(pairs), dtype=np.int64)
    np.maximum.at(last_row, pair_codes, np.arange(len(pair_codes), dtype=np.int64))
    pair_values = np.asarray(pairs, dtype=np.int64)
    pair_peptide, pair_text = pair_values // 2 // n_texts, pair_values // 2 % n_texts
    split = [[a for a in text.split(";") if a] or ["UNKNOWN"] for text in protein_texts.tolist()]
    text_count = np.array([len(accessions) for accessions in split], dtype=np.int64)
    text_start = np.concatenate([[0], np.cumsum(text_count)]).astype(np.int64)
    # Texts enter the entries in the order of their codes, so accessions too.
    accession_codes, accession_names = pd.factorize(
        np.array([a for accessions in split for a in accessions], dtype=object), sort=False)
    accession_ids = {name: i for i, name in enumerate(accession_names.tolist())}
    count = text_count[pair_text]
    pair_start = np.concatenate([[0], np.cumsum(count)]).astype(np.int64)
    entry_pair = np.repeat(np.arange(len(pairs), dtype=np.int64), count)
    entry_accession = np.asarray(accession_codes, dtype=np.int64)[
        np.arange(len(entry_pair), dtype=np.int64) - pair_start[entry_pair] + text_start[pair_text[entry_pair]]]
    n_accessions = max(len(accession_names), 1)
    entry_evidence, evidence_keys = pd.factorize(pair_peptide[entry_pair] * n_accessions + entry_accession, sort=False)
    evidence_keys = np.asarray(evidence_keys, dtype=np.int64)
    evidence_peptide, evidence_accession = evidence_keys // n_accessions, evidence_keys % n_accessions
    evidence_decoy = np.zeros(len(evidence_keys), dtype=np.int64)
    by_evidence = np.lexsort((last_row[entry_pair], entry_evidence))
    final = np.ones(len(by_evidence), dtype=bool)
    final[:-1] = entry_evidence[by_evidence][1:] != entry_evidence[by_evidence][:-1]
    evidence_decoy[entry_evidence[by_evidence][final]] = (pair_values % 2)[entry_pair[by_evidence][final]]
    # Each evidence's number by its key (peptide code * accessions + accession number).
    evidence = dict(zip(evidence_keys.tolist(), range(len(evidence_keys))))
    evidence_refs = template('<PeptideEvidenceRef peptideEvidence_ref="PE_', ints(entry_evidence), '"/>')

    files = [str(f) for f in (spectra_files or [])]
    names = factorized(psms["file"])[1].tolist() if len(psms) else []
    by_name = {Path(f).name: f for f in files}
    for name in names:
        by_name.setdefault(name, name)
    spectra_ids = {name: f"SD_{i}" for i, name in enumerate(by_name)}

    fasta = str(settings.get("fasta") or "")
    enzyme = str(settings.get("enzyme") or "trypsin").lower()
    enzyme_term = ENZYME_TERMS.get(enzyme)
    enzyme_name = _cv(*enzyme_term) if enzyme_term else _user("enzyme", enzyme, "xsd:string")
    pre_minus, pre_plus, pre_unit = _tolerance(settings.get("precursor_tol", "10ppm"))
    frag_text = settings.get("fragment_tol", "10ppm")
    fragment = ""
    try:
        f_minus, f_plus, f_unit = _tolerance(frag_text)
    except ValueError:  # a tolerance chosen per file from the data: no one value to state
        pass
    else:
        fragment = (f"<FragmentTolerance>{_cv('MS:1001412', 'search tolerance plus value', f_plus, unit=f_unit)}"
                    f"{_cv('MS:1001413', 'search tolerance minus value', f_minus, unit=f_unit)}</FragmentTolerance>")

    with open(path, "wb") as out:
        def write(text: str) -> None:
            out.write(text.encode("utf-8"))

        write('<?xml version="1.0" encoding="UTF-8"?>\n')
        write(f'<MzIdentML xmlns="{_NS}" id="tovel_mesk_search" version="1.2.0" '
              f'creationDate="{_dt.datetime.now().replace(microsecond=0).isoformat()}">\n')
        write('<cvList><cv id="PSI-MS" fullName="PSI-MS" uri="https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/'
              'master/psi-ms.obo"/><cv id="UNIMOD" fullName="UNIMOD" uri="http://www.unimod.org/obo/unimod.obo"/>'
              '<cv id="UO" fullName="UNIT-ONTOLOGY" uri="https://raw.githubusercontent.com/bio-ontology-research-group/'
              'unit-ontology/master/unit.obo"/></cvList>\n')
        write(f'<AnalysisSoftwareList><AnalysisSoftware id="{_SOFTWARE}" name="tovel-mesk" version="{__version__}">'
              f'<SoftwareName>{_user("tovel-mesk", "", "xsd:string")}</SoftwareName>'
              '</AnalysisSoftware></AnalysisSoftwareList>\n')

        # Sequence collection: every accession, every peptide, every (peptide, accession) pair.
        write("<SequenceCollection>\n")
        write("".join(
            f'<DBSequence id="DBSeq_{index}" accession={_attr(accession)} searchDatabase_ref="SDB_1">'
            + (_cv("MS:1001088", "protein description", descriptions[accession]) if accession in descriptions else "")
            + "</DBSequence>\n" for accession, index in accession_ids.items()))
        # Peptides: the unmodified ones as they are, the modified ones with their modifications.
        plain = ~pd.Series(peptide_texts, dtype=object).str.contains("[", regex=False).to_numpy(dtype=bool)
        modified = [_modified_peptide(text) for text in peptide_texts[~plain].tolist()]
        modified_codes = np.zeros(len(peptide_texts), dtype=np.int64)
        modified_codes[~plain] = np.arange(1, len(modified) + 1)
        write_rows(out.write, template(
            '<Peptide id="PEP_', ints(np.arange(len(peptide_texts))), '"><PeptideSequence>',
            when(plain, template(texts(peptide_texts.tolist()), "</PeptideSequence>")),
            coded(modified_codes, ["", *modified]), "</Peptide>\n"), 0, len(peptide_texts))
        write_rows(out.write, template(
            '<PeptideEvidence id="PE_', ints(np.arange(len(evidence_peptide))), '" peptide_ref="PEP_',
            ints(evidence_peptide), '" dBSequence_ref="DBSeq_', ints(evidence_accession), '" isDecoy="',
            coded(evidence_decoy, ["false", "true"]), '"/>\n'), 0, len(evidence_peptide))
        write("</SequenceCollection>\n")

        write('<AnalysisCollection><SpectrumIdentification id="SI_1" spectrumIdentificationProtocol_ref="SIP_1" '
              'spectrumIdentificationList_ref="SIL_1">'
              + "".join(f'<InputSpectra spectraData_ref="{sid}"/>' for sid in spectra_ids.values())
              + '<SearchDatabaseRef searchDatabase_ref="SDB_1"/></SpectrumIdentification>'
              '<ProteinDetection id="PD_1" proteinDetectionProtocol_ref="PDP_1" proteinDetectionList_ref="PDL_1">'
              '<InputSpectrumIdentifications spectrumIdentificationList_ref="SIL_1"/></ProteinDetection>'
              "</AnalysisCollection>\n")
        write(f'<AnalysisProtocolCollection><SpectrumIdentificationProtocol id="SIP_1" analysisSoftware_ref="{_SOFTWARE}">'
              f'<SearchType>{_cv("MS:1001083", "ms-ms search")}</SearchType>'
              f'<AdditionalSearchParams>{_cv("MS:1001211", "parent mass type mono")}'
              f'{_cv("MS:1001256", "fragment mass type mono")}{_cv("MS:1001118", "param: b ion")}'
              f'{_cv("MS:1001262", "param: y ion")}</AdditionalSearchParams>'
              + _search_modifications(settings)
              + f'<Enzymes><Enzyme id="ENZ_1" missedCleavages="{int(settings.get("missed_cleavages", 2))}">'
              f"<EnzymeName>{enzyme_name}</EnzymeName></Enzyme></Enzymes>"
              + fragment
              + f"<ParentTolerance>{_cv('MS:1001412', 'search tolerance plus value', pre_plus, unit=pre_unit)}"
              f"{_cv('MS:1001413', 'search tolerance minus value', pre_minus, unit=pre_unit)}</ParentTolerance>"
              f"<Threshold>{_cv('MS:1002350', 'PSM-level global FDR', fdr)}</Threshold>"
              f'</SpectrumIdentificationProtocol><ProteinDetectionProtocol id="PDP_1" analysisSoftware_ref="{_SOFTWARE}">'
              f"<Threshold>{_cv('MS:1002369', 'protein group-level global FDR', fdr)}</Threshold>"
              "</ProteinDetectionProtocol></AnalysisProtocolCollection>\n")

        write("<DataCollection><Inputs>"
              f'<SearchDatabase id="SDB_1" location={quoteattr(fasta)}><FileFormat>{_cv("MS:1001348", "FASTA format")}'
              f"</FileFormat><DatabaseName>{_user(Path(fasta).name, '', 'xsd:string')}</DatabaseName>"
              f"{_cv('MS:1001283', 'decoy DB accession regexp', '^' + decoy_tag)}</SearchDatabase>")
        for name, sid in spectra_ids.items():
            location = by_name[name]
            mgf = location.lower().endswith((".mgf", ".mgf.gz"))
            file_format = _cv("MS:1001062", "Mascot MGF format") if mgf else _cv("MS:1000584", "mzML format")
            id_format = (_cv("MS:1000774", "multiple peak list nativeID format") if mgf
                         else _cv("MS:1001530", "mzML unique identifier"))
            write(f'<SpectraData id="{sid}" location={quoteattr(location)} name={quoteattr(name)}>'
                  f"<FileFormat>{file_format}</FileFormat><SpectrumIDFormat>{id_format}</SpectrumIDFormat>"
                  "</SpectraData>")
        write("</Inputs><AnalysisData>\n")
        item_ids = _write_results(out.write, write, psms, peptide_codes, (pair_codes, pair_start, evidence_refs),
                                  spectra_ids, fdr)
        _write_protein_groups(write, psms, proteins, accession_ids, evidence, peptide_codes, item_ids, fdr)
        write("</AnalysisData></DataCollection>\n</MzIdentML>\n")


def _write_results(write_bytes, write, psms: pd.DataFrame, peptide_codes: np.ndarray,
                   evidence_refs: tuple[np.ndarray, np.ndarray, Template], spectra_ids: dict[str, str],
                   fdr: float) -> Callable[[np.ndarray], list[str]]:
    """The spectrum identification list, one result per spectrum with its matches in rank
    order, a block of matches at a time; returns the item ids of rows of `psms`.
    `evidence_refs`: each row's code, where each code's references start (one more than
    the codes) and the template of the references."""
    n = len(psms)
    file_codes, file_names = factorized(psms["file"], sort=True)
    spec_codes, spec_names = factorized(psms["spec_id"], sort=True)
    rank_array = psms["rank"].to_numpy().astype(np.int64)
    order = np.lexsort((rank_array, spec_codes, file_codes))
    files, spec = file_codes[order], spec_codes[order]
    first = np.ones(n, dtype=bool)
    first[1:] = (spec[1:] != spec[:-1]) | (files[1:] != files[:-1])
    last = np.ones(n, dtype=bool)
    last[:-1] = first[1:]
    result = np.cumsum(first) - 1
    position = np.arange(n) - np.flatnonzero(first)[result]

    def column(name: str, default: float = 1.0) -> np.ndarray:
        return psms[name].to_numpy().astype(np.float64)[order] if name in psms else np.full(n, default)

    charge_array = psms["charge"].to_numpy().astype(np.int64)[order]
    spectrum_q = psms["spectrum_q"].to_numpy().astype(np.float64)[order]
    passes = (psms["label"].to_numpy()[order] > 0) & (spectrum_q <= fdr)
    rt = column("rt", math.nan)
    pair_codes, pair_start, references = evidence_refs
    pair_codes = pair_codes[order]
    opening = template('<SpectrumIdentificationResult id="SIR_', ints(result), '" spectrumID=',
                       coded(spec, _attrs(spec_names.tolist())), ' spectraData_ref="',
                       coded(files, [spectra_ids[f] for f in file_names.tolist()]), '">')
    closing = template(when(last & (rt == rt), template(
        '<cvParam cvRef="PSI-MS" accession="MS:1000016" name="scan start time" value="', floats(rt),
        '" unitCvRef="UO" unitAccession="UO:0000031" unitName="minute"/>')), "</SpectrumIdentificationResult>\n")
    extras: list = []
    for name in ("discriminant_score", "posterior_error", "hyperscore"):
        if name in psms:
            extras += [f'<userParam name="{name}" type="xsd:double" value="', floats(column(name)), '"/>']
    rows = template(
        when(first, opening),
        '<SpectrumIdentificationItem id="SII_', ints(result), "_", ints(position), '" chargeState="',
        ints(charge_array), '" experimentalMassToCharge="', floats(mz_of(psms["expmass"].to_numpy()[order],
                                                                           charge_array)),
        '" calculatedMassToCharge="', floats(mz_of(psms["calcmass"].to_numpy()[order], charge_array)),
        '" peptide_ref="PEP_', ints(peptide_codes[order]), '" rank="', ints(rank_array[order]),
        '" passThreshold="', coded(passes, ["false", "true"]), '">', each(pair_start[pair_codes], pair_start[pair_codes + 1], references),
        '<cvParam cvRef="PSI-MS" accession="MS:1002354" name="PSM-level q-value" value="', floats(spectrum_q),
        '"/><cvParam cvRef="PSI-MS" accession="MS:1001868" name="distinct peptide-level q-value" value="',
        floats(column("peptide_q")), '"/>', *extras, "</SpectrumIdentificationItem>", when(last, closing))
    write('<SpectrumIdentificationList id="SIL_1">\n')
    write_rows(write_bytes, rows, 0, n)
    write("</SpectrumIdentificationList>\n")
    row_result, row_position = np.empty(n, dtype=np.int64), np.empty(n, dtype=np.int64)
    row_result[order], row_position[order] = result, position
    return lambda rows: [f"SII_{r}_{p}" for r, p in zip(row_result[rows].tolist(), row_position[rows].tolist())]


def _write_protein_groups(write, psms: pd.DataFrame, proteins: pd.DataFrame | None, accession_ids: dict[str, int],
                          evidence: dict[int, int], peptide_codes: np.ndarray,
                          item_ids: Callable[[np.ndarray], list[str]], fdr: float) -> None:
    """One ambiguity group per row of the protein table (a protein group, or a protein where
    the table has no groups), with the accepted matches of each of its proteins."""
    write('<ProteinDetectionList id="PDL_1">\n')
    n_accessions = max(len(accession_ids), 1)
    if proteins is not None and len(proteins):
        accepted = (psms["label"].to_numpy() > 0) & (psms["spectrum_q"].to_numpy() <= fdr)
        rows_accepted = np.flatnonzero(accepted)
        accepted_codes = peptide_codes[rows_accepted].tolist()
        accepted_items = item_ids(rows_accepted)
        by_accession: dict[str, list[int]] = {}   # positions in the accepted rows
        split: dict[str, list[str]] = {}
        for i, text in enumerate(psms["proteins"].astype(str).to_numpy()[rows_accepted].tolist()):
            accessions = split.get(text)
            if accessions is None:
                accessions = split[text] = _accessions(text)
            for accession in accessions:
                by_accession.setdefault(accession, []).append(i)
        grouped = "accessions" in proteins
        members = proteins["accessions"] if grouped else proteins["protein"]
        q_values = proteins["q"] if "q" in proteins else proteins.get("protein_q")
        labels = proteins["label"] if "label" in proteins else pd.Series(1, index=proteins.index)
        for g, (text, q, label) in enumerate(zip(members.astype(str), q_values, labels)):
            hypotheses = []
            for h, accession in enumerate(_accessions(text)):
                rows = by_accession.get(accession, [])
                if accession not in accession_ids or not rows:
                    continue
                number = accession_ids[accession]
                peptides: dict[int, list[str]] = {}
                for i in rows:
                    peptides.setdefault(accepted_codes[i], []).append(accepted_items[i])
                body = "".join(
                    f'<PeptideHypothesis peptideEvidence_ref="PE_{evidence[code * n_accessions + number]}">'
                    + "".join(f'<SpectrumIdentificationItemRef spectrumIdentificationItem_ref="{item}"/>' for item in items)
                    + "</PeptideHypothesis>" for code, items in peptides.items())
                lead = _cv("MS:1002401", "leading protein") if h == 0 else ""
                hypotheses.append(f'<ProteinDetectionHypothesis id="PDH_{g}_{h}" '
                                  f'dBSequence_ref="DBSeq_{number}" '
                                  f'passThreshold="{str(bool(q <= fdr and label > 0)).lower()}">{body}{lead}'
                                  "</ProteinDetectionHypothesis>")
            if hypotheses:
                write(f'<ProteinAmbiguityGroup id="PAG_{g}">{"".join(hypotheses)}'
                      f'{_cv("MS:1002373", "protein group-level q-value", float(q))}'
                      f'{_cv("MS:1002415", "protein group passes threshold", str(bool(q <= fdr and label > 0)).lower())}'
                      "</ProteinAmbiguityGroup>\n")
    write("</ProteinDetectionList>\n")
