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

from tovel_mesk._version import __version__
from tovel_mesk.report.peptidoforms import parse_peptidoform, scan_numbers

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
    files = psms["file"].astype(str).to_numpy()
    spec = psms["spec_id"].astype(str).to_numpy()
    charge_array = psms["charge"].to_numpy().astype(np.int64)
    rank_array = psms["rank"].to_numpy().astype(np.int64)
    scans = (psms["scan"].to_numpy().astype(np.int64) if "scan" in psms else scan_numbers(spec)).tolist()
    charge, rank = charge_array.tolist(), rank_array.tolist()
    expmass = psms["expmass"].to_numpy().astype(np.float64).tolist()
    calcmass = psms["calcmass"].to_numpy().astype(np.float64).tolist()
    rt = (psms["rt"].to_numpy().astype(np.float64) * 60.0).tolist() if "rt" in psms else None
    matched = psms["matched_peaks"].to_numpy().astype(np.int64).tolist() if "matched_peaks" in psms else None
    missed = psms["missed_cleavages"].to_numpy().astype(np.int64).tolist() if "missed_cleavages" in psms else None
    prev_aa = psms["prev_aa"].astype(str).tolist() if "prev_aa" in psms else None
    next_aa = psms["next_aa"].astype(str).tolist() if "next_aa" in psms else None
    peptides = psms["peptide"].astype(str).tolist()
    proteins = psms["proteins"].astype(str).tolist()
    scores = [(name, psms[name].to_numpy().astype(np.float64).tolist()) for name in _SCORES if name in psms]
    mod_cache: dict[str, tuple[str, str]] = {}
    order = np.lexsort((rank_array, charge_array, spec, files)).tolist()

    with open(path, "w", encoding="utf-8", newline="\n") as out:
        write = out.write
        write('<?xml version="1.0" encoding="UTF-8"?>\n')
        write(f'<msms_pipeline_analysis date="{_dt.datetime.now().replace(microsecond=0).isoformat()}" '
              'xmlns="http://regis-web.systemsbiology.net/pepXML" '
              f'summary_xml={quoteattr(str(path))}>\n')
        n = len(order)
        i = 0
        index = 0
        current_file: str = ""
        while i < n:
            first = order[i]
            if files[first] != current_file:
                if current_file:
                    write("</msms_run_summary>\n")
                current_file = files[first]
                location = by_name.get(current_file, current_file)
                base = str(Path(location).with_suffix("")) if not location.endswith(".gz") else location[:-3]
                raw_type = Path(location).suffix.lower().lstrip(".") or "mzML"
                write(f'<msms_run_summary base_name={quoteattr(base)} raw_data_type={quoteattr(raw_type)} '
                      f'raw_data={quoteattr("." + raw_type)}>{sample_enzyme}{_search_summary(settings, base)}\n')
            j = i
            while (j < n and files[order[j]] == current_file and spec[order[j]] == spec[first]
                   and charge[order[j]] == charge[first]):
                j += 1
            index += 1
            scan = scans[first] if scans[first] >= 0 else index
            stem = Path(current_file).stem
            time_attr = f' retention_time_sec="{rt[first]!r}"' if rt is not None else ""
            parts = [f'<spectrum_query spectrum={quoteattr(f"{stem}.{scan}.{scan}.{charge[first]}")} '
                     f'spectrumNativeID={quoteattr(spec[first])} start_scan="{scan}" end_scan="{scan}" '
                     f'precursor_neutral_mass="{expmass[first]!r}" assumed_charge="{charge[first]}" '
                     f'index="{index}"{time_attr}><search_result>']
            for k in range(i, j):
                row = order[k]
                text = peptides[row]
                if text not in mod_cache:
                    mod_cache[text] = _mod_info(text)
                sequence, mod_info = mod_cache[text]
                accessions = [a for a in proteins[row].split(";") if a] or ["UNKNOWN"]
                alternatives = "".join(f"<alternative_protein protein={quoteattr(a)}/>" for a in accessions[1:])
                extra = ""
                if matched is not None:
                    extra += f' num_matched_ions="{matched[row]}"'
                if missed is not None:
                    extra += f' num_missed_cleavages="{missed[row]}"'
                score_text = "".join(f'<search_score name="{name}" value="{values[row]!r}"/>' for name, values in scores)
                parts.append(f'<search_hit hit_rank="{rank[row]}" peptide="{sequence}" '
                             f'peptide_prev_aa="{prev_aa[row] if prev_aa else "-"}" '
                             f'peptide_next_aa="{next_aa[row] if next_aa else "-"}" '
                             f'protein={quoteattr(accessions[0])} num_tot_proteins="{len(accessions)}" '
                             f'calc_neutral_pep_mass="{calcmass[row]!r}" '
                             f'massdiff="{expmass[row] - calcmass[row]!r}"{extra} is_rejected="0">'
                             f"{alternatives}{mod_info}{score_text}</search_hit>")
            parts.append("</search_result></spectrum_query>\n")
            write("".join(parts))
            i = j
        if current_file:
            write("</msms_run_summary>\n")
        write("</msms_pipeline_analysis>\n")
