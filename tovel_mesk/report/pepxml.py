"""pepXML: a search as post-processing tools read it (validators, spectral-library builders,
viewers).

One `msms_run_summary` per spectra file. Each spectrum and charge is one `spectrum_query`
named as such tools expect (`BASE.SCAN.SCAN.CHARGE`), with its native id, scan numbers,
precursor neutral mass and retention time; its matches are `search_hit`s in rank order, with
the flanking residues, the proteins, the modifications as `mod_aminoacid_mass` (the mass of
the modified residue) or terminal masses, and the search scores and q-values.

The document is streamed, one spectrum query at a time.
"""

from __future__ import annotations

import datetime as _dt
import os
from collections.abc import Mapping
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np
import pandas as pd

from .._version import __version__
from .peptidoforms import parse_peptidoform, scan_numbers
from .rows import coded, factorized, floats, ints, quoted, template, when, write_rows

__all__ = ["write_pepxml", "RESIDUE_MASS"]

#: Monoisotopic residue masses, for the mass of a modified residue.
RESIDUE_MASS = {
    "G": 57.021464, "A": 71.037114, "S": 87.032028, "P": 97.052764, "V": 99.068414, "T": 101.047679,
    "C": 103.009185, "L": 113.084064, "I": 113.084064, "N": 114.042927, "D": 115.026943, "Q": 128.058578,
    "K": 128.094963, "E": 129.042593, "M": 131.040485, "H": 137.058912, "F": 147.068414, "R": 156.101111,
    "Y": 163.06332, "W": 186.079313, "U": 150.95363, "O": 237.147727,
}
_N_TERMINUS = 1.007825   # H
_C_TERMINUS = 17.00274   # OH

#: Cleavage rules written in `sample_enzyme`: (cut, no_cut, sense).
_ENZYMES = {
    "trypsin": ("KR", "P", "C"), "trypsin/p": ("KR", "", "C"), "lys-c": ("K", "P", "C"), "lys-n": ("K", "", "N"),
    "arg-c": ("R", "P", "C"), "asp-n": ("D", "", "N"), "glu-c": ("E", "P", "C"), "chymotrypsin": ("FWYL", "P", "C"),
}
_SCORES = ("hyperscore", "discriminant_score", "posterior_error", "spectrum_q", "peptide_q", "protein_q",
           "xcorr", "delta_xcorr", "log10_evalue")


def _mod_info(peptide: str) -> tuple[str, str]:
    """(bare sequence, `modification_info` element or '') of a ProForma peptide."""
    if peptide.isalpha():
        return peptide, ""
    form = parse_peptidoform(peptide)
    if not form.modifications:
        return form.sequence, ""
    parts, attributes = [], []
    n = len(form.sequence)
    for mod in form.modifications:
        if mod.position == 0:
            attributes.append(f' mod_nterm_mass="{_N_TERMINUS + mod.mass:.6f}"')
        elif mod.position == n + 1:
            attributes.append(f' mod_cterm_mass="{_C_TERMINUS + mod.mass:.6f}"')
        else:
            mass = RESIDUE_MASS.get(mod.residue, 0.0) + mod.mass
            parts.append(f'<mod_aminoacid_mass position="{mod.position}" mass="{mass:.6f}"/>')
    return form.sequence, (f'<modification_info modified_peptide={quoteattr(peptide)}{"".join(attributes)}>'
                           f'{"".join(parts)}</modification_info>')


def _search_summary(settings: Mapping, base: str) -> str:
    enzyme = str(settings.get("enzyme") or "trypsin").lower()
    mods = []
    for variable, key in (("N", "fixed_mods"), ("Y", "variable_mods")):
        for text in settings.get(key) or ():
            site, _, mass_text = str(text).rpartition(":")
            delta = float(mass_text)
            residues, _, terminus = site.partition("@")
            if residues.endswith(("nterm", "cterm")):
                terminus, residues = residues, ""
            for residue in residues:
                mods.append(f'<aminoacid_modification aminoacid="{residue}" massdiff="{delta:.6f}" '
                            f'mass="{RESIDUE_MASS.get(residue, 0.0) + delta:.6f}" variable="{variable}"/>')
            if not residues and terminus:
                end = "n" if "nterm" in terminus else "c"
                base_mass = _N_TERMINUS if end == "n" else _C_TERMINUS
                mods.append(f'<terminal_modification terminus="{end}" massdiff="{delta:.6f}" '
                            f'mass="{base_mass + delta:.6f}" variable="{variable}" '
                            f'protein_terminus="{"Y" if terminus.startswith("protein") else "N"}"/>')
    params = "".join(f'<parameter name="{key}" value={quoteattr(str(settings.get(key)))}/>'
                     for key in ("precursor_tol", "fragment_tol", "isotope_errors", "charges", "fdr", "decoy_tag")
                     if key in settings)
    termini = "0" if enzyme == "non-specific" else "2"
    return (f'<search_summary base_name={quoteattr(base)} search_engine="tovel-mesk" '
            f'search_engine_version="{__version__}" precursor_mass_type="monoisotopic" '
            'fragment_mass_type="monoisotopic" search_id="1">'
            f'<search_database local_path={quoteattr(str(settings.get("fasta") or ""))} type="AA"/>'
            f'<enzymatic_search_constraint enzyme={quoteattr(enzyme)} '
            f'max_num_internal_cleavages="{int(settings.get("missed_cleavages", 2))}" min_number_termini="{termini}"/>'
            f'{"".join(mods)}{params}</search_summary>')


def write_pepxml(path: str | os.PathLike, psms: pd.DataFrame, settings: Mapping, *,
                 spectra_files: list[str] | None = None) -> None:
    """Writes `psms` as pepXML to `path`: one run summary per spectra file."""
    by_name = {Path(f).name: str(f) for f in (spectra_files or [])}
    enzyme = str(settings.get("enzyme") or "trypsin").lower()
    cut = _ENZYMES.get(enzyme)
    sample_enzyme = (f'<sample_enzyme name={quoteattr(enzyme)}><specificity cut="{cut[0]}" '
                     f'no_cut="{cut[1]}" sense="{cut[2]}"/></sample_enzyme>' if cut else
                     f'<sample_enzyme name={quoteattr(enzyme)}/>')
    n = len(psms)
    file_codes, file_names = factorized(psms["file"], sort=True)
    spec_codes, spec_names = factorized(psms["spec_id"], sort=True)
    charge_array = psms["charge"].to_numpy().astype(np.int64)
    rank_array = psms["rank"].to_numpy().astype(np.int64)
    order = np.lexsort((rank_array, charge_array, spec_codes, file_codes))
    files, spec, charge = file_codes[order], spec_codes[order], charge_array[order]
    # A spectrum query is a run of rows of one file, spectrum and charge.
    first = np.ones(n, dtype=bool)
    first[1:] = (files[1:] != files[:-1]) | (spec[1:] != spec[:-1]) | (charge[1:] != charge[:-1])
    last = np.ones(n, dtype=bool)
    last[:-1] = first[1:]
    index = np.cumsum(first)
    scans = psms["scan"].to_numpy().astype(np.int64)[order] if "scan" in psms else scan_numbers(spec_names)[spec]
    scans = np.where(scans >= 0, scans, index)
    expmass = psms["expmass"].to_numpy().astype(np.float64)[order]
    calcmass = psms["calcmass"].to_numpy().astype(np.float64)[order]
    peptide_codes, peptide_texts = factorized(psms["peptide"])
    forms = [(text, "") if text.isalpha() else _mod_info(text) for text in peptide_texts.tolist()]
    protein_codes, protein_texts = factorized(psms["proteins"])
    protein_parts = []
    split = [[a for a in text.split(";") if a] or ["UNKNOWN"] for text in protein_texts.tolist()]
    all_names = quoted([a for accessions in split for a in accessions])   # quoted at once
    at = 0
    for accessions in split:
        names = all_names[at:at + len(accessions)]
        at += len(accessions)
        protein_parts.append((f'protein={names[0]} num_tot_proteins="{len(names)}"',
                              "".join(f"<alternative_protein protein={a}/>" for a in names[1:])))

    spec_ids = coded(spec, quoted(spec_names.tolist()))

    def flank(name: str) -> list:
        if name not in psms:
            return ["-"]
        codes, values = factorized(psms[name])
        return [codes[order], values.tolist()]

    extra: list = []
    if "matched_peaks" in psms:
        extra += [' num_matched_ions="', ints(psms["matched_peaks"].to_numpy().astype(np.int64)[order]), '"']
    if "missed_cleavages" in psms:
        extra += [' num_missed_cleavages="', ints(psms["missed_cleavages"].to_numpy().astype(np.int64)[order]), '"']
    scores: list = []
    for name in _SCORES:
        if name in psms:
            scores += [f'<search_score name="{name}" value="', floats(psms[name].to_numpy().astype(np.float64)[order]),
                       '"/>']
    time_attr: list = []
    if "rt" in psms:
        time_attr = [' retention_time_sec="', floats((psms["rt"].to_numpy().astype(np.float64) * 60.0)[order]), '"']
    codes = peptide_codes[order]
    proteins_of = protein_codes[order]
    prev_aa, next_aa = flank("prev_aa"), flank("next_aa")
    hit = [
        '<search_hit hit_rank="', ints(rank_array[order]), '" peptide="', coded(codes, [f[0] for f in forms]),
        '" peptide_prev_aa="', coded(*prev_aa) if len(prev_aa) == 2 else "-",
        '" peptide_next_aa="', coded(*next_aa) if len(next_aa) == 2 else "-",
        '" ', coded(proteins_of, [p[0] for p in protein_parts]),
        ' calc_neutral_pep_mass="', floats(calcmass), '" massdiff="', floats(expmass - calcmass), '"', *extra,
        ' is_rejected="0">', coded(proteins_of, [p[1] for p in protein_parts]), coded(codes, [f[1] for f in forms]),
        *scores, "</search_hit>"]

    with open(path, "wb") as out:
        def write(text: str) -> None:
            out.write(text.encode("utf-8"))

        write('<?xml version="1.0" encoding="UTF-8"?>\n')
        write(f'<msms_pipeline_analysis date="{_dt.datetime.now().replace(microsecond=0).isoformat()}" '
              'xmlns="http://regis-web.systemsbiology.net/pepXML" '
              f'summary_xml={quoteattr(str(path))}>\n')
        bounds = np.searchsorted(files, np.arange(len(file_names) + 1))
        for f, current_file in enumerate(file_names.tolist()):
            start, stop = int(bounds[f]), int(bounds[f + 1])
            if start == stop:
                continue
            location = by_name.get(current_file, current_file)
            base = str(Path(location).with_suffix("")) if not location.endswith(".gz") else location[:-3]
            raw_type = Path(location).suffix.lower().lstrip(".") or "mzML"
            write(f'<msms_run_summary base_name={quoteattr(base)} raw_data_type={quoteattr(raw_type)} '
                  f'raw_data={quoteattr("." + raw_type)}>{sample_enzyme}{_search_summary(settings, base)}\n')
            # The query's name, `STEM.SCAN.SCAN.CHARGE`, quoted as its stem asks.
            stem = quoteattr(Path(current_file).stem + ".0")
            quote, stem_text = stem[0], stem[1:-3]
            query = template(
                "<spectrum_query spectrum=", quote, stem_text, ".", ints(scans), ".", ints(scans), ".", ints(charge),
                quote, " spectrumNativeID=", spec_ids,
                ' start_scan="', ints(scans), '" end_scan="', ints(scans), '" precursor_neutral_mass="',
                floats(expmass), '" assumed_charge="', ints(charge), '" index="', ints(index), '"', *time_attr,
                "><search_result>")
            rows = template(when(first, query), *hit, when(last, template("</search_result></spectrum_query>\n")))
            write_rows(out.write, rows, start, stop)
            write("</msms_run_summary>\n")
        write("</msms_pipeline_analysis>\n")
