"""The schema of a search's tables: every column's name, place and dtype.

A search produces its matches as columns (one array per name below), never as one Python
object per match. Every stage after scoring (error control, tables, the report) reads and
adds columns by these names, so they are defined once, here, with their numpy dtypes
(`MATCH_DTYPES`, `PROTEIN_DTYPES`) and the order a search returns them in
(`match_column_names`). A few columns of the match records are kept in memory but never
written (`NOT_WRITTEN`).

The dtypes of the columns the search core fills are those of its match record's fields;
a test holds the two together for every feature set.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from types import MappingProxyType
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np

#: Which spectrum, and where the match ranks among that spectrum's matches.
#: `file` is the spectra file's name; `spec_id` the spectrum's native id (an mzML id, an MGF
#: TITLE or ``index=N``), which identifies it in every table; `scan` the instrument's scan
#: number read from the native id or the MGF ``SCANS``/``TITLE`` (-1 where the spectrum
#: states none); `native_id` the native id once more under the name other tools look for;
#: `rank` starts at 1; `label` is 1 for a target peptide and -1 for a decoy.
IDENTITY = ("file", "spec_id", "scan", "native_id", "rank", "label")

#: The matched peptide: `peptide` in ProForma notation with every modification written as a
#: signed mass (`PEPM[+15.9949]K`, `[+42.0106]-ACDK`), the bare `sequence`, and `proteins`,
#: the accessions joined by ";" (a decoy's accessions carry the decoy tag in front).
PEPTIDE = ("peptide", "sequence", "proteins")

#: The residues before (`prev_aa`) and after (`next_aa`) the peptide in its first protein,
#: ``-`` at a protein terminus (see `tovel_mesk.search.flanks`). Added with error control's
#: tables from the FASTA file; the scored match table has none.
FLANKS = ("prev_aa", "next_aa")

#: Masses in daltons (neutral), charge, and retention time in minutes.
#: `expmass` is the neutral precursor mass observed at the match's charge, `calcmass` the
#: peptide's mass; `delta_mass` is their difference in ppm after the isotope correction.
#: `isotope_error` is the assumed isotope offset in daltons, `isotope_step` the same offset
#: as a whole number of isotope peaks (``round(isotope_error / 1.00335)``).
MASSES = ("charge", "expmass", "calcmass", "delta_mass", "isotope_error", "isotope_step", "rt")

#: Numeric features that the search core reports for every match (the last six are
#: `PLACEHOLDERS`, never written).
CORE_FEATURES = (
    "hyperscore", "delta_next", "delta_best", "matched_peaks", "longest_b", "longest_y",
    "longest_y_pct", "peptide_len", "missed_cleavages", "matched_intensity_pct",
    "scored_candidates", "poisson", "average_ppm", "ms2_intensity",
    "aligned_rt", "predicted_rt", "delta_rt_model", "ims", "predicted_ims", "delta_ims_model",
)

#: Bookkeeping integers: unique per match (`psm_id`), position of the peptide in the index
#: (`peptide_idx`) and of the file in the call (`file_id`). Never used as features.
KEYS = ("psm_id", "peptide_idx", "file_id")

#: Numeric columns that the package derives from the spectra and the core's records, not
#: the core itself. Never used as features.
DERIVED = ("scan", "isotope_step")

#: Filled by error control.
ERROR_CONTROL = ("discriminant_score", "posterior_error", "spectrum_q", "peptide_q", "protein_q")

#: Numeric features that hold up on low-resolution (ion-trap) fragment spectra, computed for
#: the reported matches; fragment m/z values are put on unit bins (width 1.0005, offset 0.4).
LOW_RES_FEATURES = (
    # Fast cross-correlation of the peptide's ions with the binned, window-normalised
    # spectrum less its background (the mean over +-75 bins); higher is better.
    "xcorr",
    # xcorr less the best xcorr of any other candidate in the precursor window (0 if none is positive).
    "delta_xcorr",
    # log10 of the number of candidates expected to reach this xcorr by chance: the share of a
    # null of 2000 generated peptides of the precursor's mass expected at or above it (an
    # exponential tail fitted over the null's top tenth) times the candidates in the precursor
    # windows, counted as at least 2000; lower is better. The generated peptides draw their
    # residues, and their C-terminal residue apart, from the database's peptides.
    "log10_evalue",
    # Share of the 20 most intense peaks within the fragment tolerance of one of the peptide's ions.
    "top_peaks_explained",
    # Matched peaks over the theoretical ions the search looked up (kinds x bonds x fragment charges).
    "matched_ion_fraction",
    # Absolute precursor mass error in ppm, after the isotope correction.
    "abs_delta_mass",
)

#: The protein table of error control: one row per target protein group (see
#: `tovel_mesk.fdr.groups`). `group` numbers the groups from 1, best first; `accessions` holds
#: the group's proteins joined by ";", the `lead` first; `description` is the lead's FASTA
#: header after its accession. `peptides_unique` and `peptides_razor` count the accepted
#: peptides unique to the group and the shared ones counted for it, `spectra` the accepted
#: spectra of those peptides; `coverage` is the share of the lead's residues covered by its
#: accepted peptides; `q` is the group's q-value from picked competition with its decoy group.
PROTEIN_TABLE = (
    "group", "accessions", "lead", "description", "peptides_unique", "peptides_razor", "spectra",
    "coverage", "q",
)

#: Columns of the core's match records that say nothing about a match: no output file holds
#: them and rescoring never reads them. `predicted_ims` and `delta_ims_model` stand in for an
#: ion-mobility model the search does not have (the same constant in every match); `ims` is
#: the precursor's ion mobility, which no spectra reader fills (0 in every match);
#: `aligned_rt` repeats `rt`. The match table in memory keeps them, as the core's records do.
#: (`predicted_rt` and `delta_rt_model` come as placeholders from the core too, but error
#: control fills them from its retention-time model, so they are written.)
PLACEHOLDERS = ("aligned_rt", "ims", "predicted_ims", "delta_ims_model")

#: Columns of the match and peptide tables that no output file holds.
NOT_WRITTEN = KEYS + PLACEHOLDERS

#: Text columns: numpy object arrays of `str`.
TEXT = "object"

#: The numpy dtype of every column of a match table (and of the peptide table, whose rows
#: are matches). The core's columns take the type of their match record's field.
MATCH_DTYPES: Mapping[str, str] = MappingProxyType({
    # IDENTITY
    "file": TEXT, "spec_id": TEXT, "scan": "int64", "native_id": TEXT, "rank": "uint32", "label": "int32",
    # PEPTIDE
    "peptide": TEXT, "sequence": TEXT, "proteins": TEXT,
    # FLANKS
    "prev_aa": TEXT, "next_aa": TEXT,
    # MASSES
    "charge": "uint8", "expmass": "float32", "calcmass": "float32", "delta_mass": "float32",
    "isotope_error": "float32", "isotope_step": "int32", "rt": "float32",
    # CORE_FEATURES
    "hyperscore": "float64", "delta_next": "float64", "delta_best": "float64", "matched_peaks": "uint32",
    "longest_b": "uint32", "longest_y": "uint32", "longest_y_pct": "float32", "peptide_len": "uint64",
    "missed_cleavages": "uint8", "matched_intensity_pct": "float32", "scored_candidates": "uint32",
    "poisson": "float64", "average_ppm": "float32", "ms2_intensity": "float32",
    "aligned_rt": "float32", "predicted_rt": "float32", "delta_rt_model": "float32", "ims": "float32",
    "predicted_ims": "float32", "delta_ims_model": "float32",
    # LOW_RES_FEATURES
    "xcorr": "float64", "delta_xcorr": "float64", "log10_evalue": "float64", "top_peaks_explained": "float32",
    "matched_ion_fraction": "float32", "abs_delta_mass": "float32",
    # KEYS
    "psm_id": "uint64", "peptide_idx": "uint32", "file_id": "uint64",
    # ERROR_CONTROL
    "discriminant_score": "float64", "posterior_error": "float64", "spectrum_q": "float64",
    "peptide_q": "float64", "protein_q": "float64",
})

#: The numpy dtype of every column of the protein table (`PROTEIN_TABLE`).
PROTEIN_DTYPES: Mapping[str, str] = MappingProxyType({
    "group": "int64", "accessions": TEXT, "lead": TEXT, "description": TEXT, "peptides_unique": "int64",
    "peptides_razor": "int64", "spectra": "int64", "coverage": "float64", "q": "float64",
})


def match_column_names(low_res: bool = True) -> tuple[str, ...]:
    """The columns of a search's match table before error control, in order; `low_res`
    adds `LOW_RES_FEATURES`."""
    return IDENTITY + PEPTIDE + MASSES + CORE_FEATURES + (LOW_RES_FEATURES if low_res else ()) + KEYS


def empty_match_columns(low_res: bool = True) -> dict[str, np.ndarray]:
    """Match columns without rows, named, ordered and typed as a search returns them
    (`match_column_names`): the table of a search that matched nothing."""
    import numpy as np  # noqa: PLC0415 - the command starts its native work before numpy loads

    return {name: np.empty(0, dtype=MATCH_DTYPES[name]) for name in match_column_names(low_res)}


def written(names: Iterable[str]) -> list[str]:
    """The names, in the order given, less those no output file holds (`NOT_WRITTEN`)."""
    return [name for name in names if name not in NOT_WRITTEN]
